// SPDX-License-Identifier: MIT
// The commands of orwin-rmap, from its command line or, one a line, from a
// script: read, write, rmw, wait and expect; '#' starts a comment.
#ifndef ORWIN_TOOLS_RMAP_SCRIPT_HPP
#define ORWIN_TOOLS_RMAP_SCRIPT_HPP

#include "Orwin.hpp"
#include "numbers.hpp"

#include <istream>
#include <sstream>
#include <string>
#include <vector>

namespace tool {

/** Most bytes one read may ask for (the 24-bit data length). */
constexpr unsigned long rmap_max_read = 0xFFFFFF;

struct rmap_command {
    std::string op; // read, write, rmw, wait or expect
    uint32_t address = 0;
    size_t size = 0;           // read
    std::vector<uint8_t> data; // write, rmw, expect
    std::vector<uint8_t> mask; // rmw
    std::string file;          // write @FILE
    unsigned long ms = 0;      // wait
    int line = 0;              // script line; 0 on the command line
};

/** `words` as one command (operation first); bad_arguments says what is wrong. */
inline rmap_command parse_command(const std::vector<std::string> &words, int line = 0)
{
    rmap_command c;
    c.line = line;
    c.op = words.empty() ? "" : words[0];
    // Data may be written with spaces between the bytes in a script.
    auto rest = [&](size_t from) {
        std::string all;
        for (size_t i = from; i < words.size(); ++i)
            all += words[i];
        return all;
    };
    const size_t n = words.size();
    if (c.op == "wait") {
        if (n != 2)
            throw bad_arguments("wait takes MS");
        c.ms = number(words[1], 3600000, "wait");
        return c;
    }
    if (c.op != "read" && c.op != "write" && c.op != "rmw" && c.op != "expect")
        throw bad_arguments("unknown operation '" + c.op + "' (read, write, rmw, wait or expect)");
    if (n < 3)
        throw bad_arguments(c.op + " needs an address and " + (c.op == "read" ? "a size" : "data"));
    c.address = static_cast<uint32_t>(number(words[1], 0xFFFFFFFFul, "address"));
    if (c.op == "read") {
        if (n != 3)
            throw bad_arguments("read takes ADDRESS SIZE");
        c.size = number(words[2], rmap_max_read, "size");
    } else if (c.op == "rmw") {
        if (n != 4)
            throw bad_arguments("rmw takes ADDRESS DATA MASK");
        c.data = hex_bytes(words[2], "data");
        c.mask = hex_bytes(words[3], "mask");
        if (c.data.size() != c.mask.size() || c.data.size() > orw::spacewire::rmap::max_rmw_data)
            throw bad_arguments("rmw needs as many mask bytes as data bytes, at most 4");
    } else if (c.op == "write" && n == 3 && words[2].size() > 1 && words[2][0] == '@') {
        c.file = words[2].substr(1);
    } else {
        c.data = hex_bytes(rest(2), "data");
        if (c.data.empty())
            throw bad_arguments(c.op + " needs at least one byte");
    }
    return c;
}

/** Every command of a script; `name` and the line number prefix any complaint. */
inline std::vector<rmap_command> parse_script(std::istream &in, const std::string &name)
{
    std::vector<rmap_command> out;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        text = text.substr(0, text.find('#'));
        std::istringstream split(text);
        std::vector<std::string> words;
        for (std::string w; split >> w;)
            words.push_back(w);
        if (words.empty())
            continue;
        try {
            out.push_back(parse_command(words, line));
        } catch (const bad_arguments &e) {
            throw bad_arguments(name + ":" + std::to_string(line) + ": " + e.what());
        }
    }
    return out;
}

} // namespace tool

#endif // ORWIN_TOOLS_RMAP_SCRIPT_HPP
