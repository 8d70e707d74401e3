// SPDX-License-Identifier: MIT
// Thread-local error reporting shared by every function of the C interface.
#include "OrwinInternal.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {
thread_local int last_error_code = 0;
thread_local const char *last_error_text = nullptr;
// The text of the last failure the operating system explained.
thread_local std::string system_text;
} // namespace

int orw_set_system_error(int code, const char *what)
{
    const int cause = errno;
    system_text = std::string(what) + ": " + std::strerror(cause);
    return orw_set_error(code, system_text.c_str());
}

int orw_set_error(int code, const char *text)
{
    if (code == 0)
        code = Error_Not_Known;
    last_error_code = code;
    last_error_text = text;
    return code;
}

extern "C" int Orwin_get_error(void)
{
    return last_error_code;
}

extern "C" char *Orwin_get_error_text(void)
{
    return const_cast<char *>(last_error_text);
}

void orw_restore_error(int code, const char *text)
{
    last_error_code = code;
    last_error_text = text;
}
