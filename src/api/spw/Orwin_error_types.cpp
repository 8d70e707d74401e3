// SPDX-License-Identifier: MIT
// Exception types of the object layers.
#include "Orwin_Utils.hpp"

#include <cerrno>

namespace orw {

namespace {

std::string describe(const std::string &addr, int code, const char *txt)
{
    std::string message = addr;
    message += ": error ";
    message += std::to_string(code);
    message += ": ";
    message += txt ? txt : "(no text)";
    return message;
}

} // namespace

error::error(const std::string &addr, int code, const char *txt) : error(addr, code, txt, errno) {}

error::error(const std::string &addr, int code, const char *txt, int oserr)
    : addr(addr), code(code), err(oserr), txt(txt), message(describe(addr, code, txt))
{
}

} // namespace orw
