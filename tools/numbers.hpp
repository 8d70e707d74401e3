// SPDX-License-Identifier: MIT
// Numbers on the command lines and in the scripts of the tools: decimal, or
// hexadecimal after 0x. A leading zero is an ordinary digit, never octal.
#ifndef ORWIN_TOOLS_NUMBERS_HPP
#define ORWIN_TOOLS_NUMBERS_HPP

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace tool {

/** A command-line or script word that cannot be used; exit status 2. */
struct bad_arguments : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/**
 * `parse(argc, argv)`; a bad_arguments from it ends the process with status
 * 2 after "NAME: complaint" and the usage on standard error.
 */
template <class Parse>
auto parse_or_exit(Parse parse, int argc, char **argv, const char *name, const char *usage)
{
    try {
        return parse(argc, argv);
    } catch (const bad_arguments &e) {
        const std::string text = usage;
        std::fprintf(stderr, "%s: %s\n%s%s", name, e.what(), usage,
                     !text.empty() && text.back() == '\n' ? "" : "\n");
        std::exit(2);
    }
}

/** `text` as a number from 0 to `high`; else bad_arguments naming `what`. */
inline unsigned long number(const std::string &text, unsigned long high, const std::string &what)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    unsigned long v = 0;
    bool ok = !text.empty() && text != "0x" && text != "0X";
    for (size_t i = hex ? 2 : 0; ok && i < text.size(); ++i) {
        const char c = text[i];
        const unsigned d = c >= '0' && c <= '9'          ? unsigned(c - '0')
                           : hex && c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                           : hex && c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                         : 16u;
        ok = d < base && v <= (high - d) / base;
        v = v * base + d;
    }
    if (!ok)
        throw bad_arguments("bad " + what + " '" + text + "'");
    return v;
}

/** The value of --connect-timeout: 1 ms to an hour. */
inline long connect_timeout_ms(const std::string &text)
{
    const unsigned long ms = number(text, 3600000, "connect time-out");
    if (ms == 0)
        throw bad_arguments("bad connect time-out '0'");
    return static_cast<long>(ms);
}

/** A comma-separated list of numbers up to `high` each. */
inline std::vector<uint8_t> byte_list(const std::string &text, unsigned long high, const std::string &what)
{
    std::vector<uint8_t> out;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        out.push_back(static_cast<uint8_t>(number(text.substr(from, comma - from), high, what)));
        if (comma == std::string::npos)
            return out;
        from = comma + 1;
    }
}

/** Pairs of hexadecimal digits; spaces and colons between them are ignored. */
inline std::vector<uint8_t> hex_bytes(const std::string &text, const std::string &what)
{
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':')
            continue;
        const int v = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (v < 0)
            throw bad_arguments("bad " + what + ": '" + text + "' is not hex");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        throw bad_arguments("bad " + what + ": odd number of hex digits");
    return out;
}

} // namespace tool

#endif // ORWIN_TOOLS_NUMBERS_HPP
