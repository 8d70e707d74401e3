// SPDX-License-Identifier: MIT
// Checks a unit address "HOST[:PORT][@BIND]" before anything is sent, so
// that a port or local binding that cannot work is a bad argument.
#ifndef ORWIN_TOOLS_UNIT_ADDRESS_HPP
#define ORWIN_TOOLS_UNIT_ADDRESS_HPP

#include "numbers.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tool {

namespace detail {
// Whether this host has the IPv4 address `text` to bind to.
inline bool bindable(const std::string &text)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, text.c_str(), &a.sin_addr) != 1)
        return false;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    const bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}
} // namespace detail

/** @throws bad_arguments for an empty host, a bad port or an unusable binding */
inline void check_unit_address(const std::string &address)
{
    std::string rest = address;
    const size_t at = rest.find('@');
    if (at != std::string::npos) {
        const std::string binding = rest.substr(at + 1);
        rest.resize(at);
        const bool usable = !binding.empty() &&
                            (binding[0] >= '0' && binding[0] <= '9' ? detail::bindable(binding)
                                                                    : if_nametoindex(binding.c_str()) != 0);
        if (!usable)
            throw bad_arguments("unusable bind address '" + binding + "'");
    }
    const size_t colon = rest.find(':');
    if (colon == 0 || rest.empty())
        throw bad_arguments("no host in '" + address + "'");
    if (colon != std::string::npos && number(rest.substr(colon + 1), 65535, "port") == 0)
        throw bad_arguments("bad port '0'");
}

} // namespace tool

#endif // ORWIN_TOOLS_UNIT_ADDRESS_HPP
