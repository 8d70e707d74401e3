// SPDX-License-Identifier: MIT
// orwin-rmap: read, write or read-modify-write a remote node's memory over
// RMAP through a unit, one command or a script of many over one connection.
//
//   orwin-rmap [options] HOST[:PORT] read ADDRESS SIZE
//   orwin-rmap [options] HOST[:PORT] write ADDRESS HEX|@FILE
//   orwin-rmap [options] HOST[:PORT] rmw ADDRESS DATA-HEX MASK-HEX
//   orwin-rmap [options] --script FILE|- HOST[:PORT]
//   orwin-rmap [options] HOST[:PORT] speedtest read|write ADDRESS [SIZE]
#include "Orwin.hpp"
#include "own_stdout.hpp"
#include "rmap_script.hpp"
#include "rmap_session.hpp"
#include "rmap_speedtest.hpp"
#include "stop_watch.hpp"
#include "unit_address.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <getopt.h>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace rmap = orw::spacewire::rmap;
using tool::bad_arguments;

const char usage[] =
    "usage: orwin-rmap [options] HOST[:PORT] read ADDRESS SIZE\n"
    "       orwin-rmap [options] HOST[:PORT] write ADDRESS HEX|@FILE\n"
    "       orwin-rmap [options] HOST[:PORT] rmw ADDRESS DATA-HEX MASK-HEX\n"
    "       orwin-rmap [options] --script FILE|- HOST[:PORT]\n"
    "       orwin-rmap [options] HOST[:PORT] speedtest read|write ADDRESS [SIZE]\n"
    "  -l, --link N          link of the unit the node is reached by (default 1)\n"
    "  -d, --dest LA         node's logical address, 0x20..0xFF (default 0xFE)\n"
    "  -s, --src LA          our logical address, where replies go (default 0x67)\n"
    "  -p, --path B,B,...    path bytes before the logical address (0..31 each)\n"
    "  -r, --return-path B,B,...  path the reply takes back (0..31 each, at most 12)\n"
    "  -k, --key K           RMAP key (default 0)\n"
    "  -e, --ext E           extended address (default 0)\n"
    "      --no-increment    keep the address fixed instead of incrementing it\n"
    "      --verify          writes: verify data before writing\n"
    "      --no-reply        writes: ask for no reply\n"
    "  -t, --timeout MS      wait at most MS milliseconds for each reply (default 1000;\n"
    "                        0 waits for ever)\n"
    "      --connect-timeout MS  give up connecting after MS milliseconds (default 5000)\n"
    "      --speed MBITS     set the link's speed (1..400) for the run, then put it back\n"
    "      --enable          put the link in normal mode if it is not running, and leave it\n"
    "  -f, --script FILE     run the commands of FILE (\"-\": standard input), one a\n"
    "                        line: read ADDRESS SIZE, write ADDRESS HEX, rmw ADDRESS\n"
    "                        DATA MASK, wait MS, expect ADDRESS HEX; '#' starts a comment\n"
    "      --keep-going      scripts: carry on after a failed command\n"
    "      --count N         speedtest: operations to time (default 10000)\n"
    "      --in-flight W     speedtest: keep W operations in flight (default 1: each\n"
    "                        waits for its reply); SIZE defaults to 4 bytes\n"
    "  -j, --json            print outcomes as JSON (an array of them for a script)\n"
    "  -h, --help            this text\n"
    "  -V, --version         the tool's and the library's versions\n"
    "Numbers are decimal or 0x-prefixed hex (a leading zero is still decimal); HEX data\n"
    "is pairs of hex digits (spaces and colons allowed). Links are left as they were\n"
    "found but for --enable. Exit status: 0 done, 1 failure, 2 bad arguments,\n"
    "130 interrupted.\n";

struct options {
    tool::rmap_target target;
    long connect_timeout_ms = 5000;
    bool json = false, keep_going = false;
    std::string host, script;
    std::vector<tool::rmap_command> commands;
    bool speedtest = false;
    tool::speedtest_settings speed;
};

options parse(int argc, char **argv)
{
    enum {
        no_increment = 256,
        verify,
        no_reply,
        speed,
        enable,
        connect_timeout,
        keep_going,
        count,
        in_flight
    };
    static const option longs[] = {{"link", required_argument, nullptr, 'l'},
                                   {"dest", required_argument, nullptr, 'd'},
                                   {"src", required_argument, nullptr, 's'},
                                   {"path", required_argument, nullptr, 'p'},
                                   {"return-path", required_argument, nullptr, 'r'},
                                   {"key", required_argument, nullptr, 'k'},
                                   {"ext", required_argument, nullptr, 'e'},
                                   {"no-increment", no_argument, nullptr, no_increment},
                                   {"verify", no_argument, nullptr, verify},
                                   {"no-reply", no_argument, nullptr, no_reply},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"speed", required_argument, nullptr, speed},
                                   {"enable", no_argument, nullptr, enable},
                                   {"connect-timeout", required_argument, nullptr, connect_timeout},
                                   {"script", required_argument, nullptr, 'f'},
                                   {"keep-going", no_argument, nullptr, keep_going},
                                   {"count", required_argument, nullptr, count},
                                   {"in-flight", required_argument, nullptr, in_flight},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    options o;
    tool::rmap_target &t = o.target;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":l:d:s:p:r:k:e:t:f:jhV", longs, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        switch (c) {
        case 'h':
            std::fputs(usage, stdout);
            std::exit(0);
        case 'V':
            std::printf("orwin-rmap " ORWIN_TOOL_VERSION " (library %s)\n", Orwin_get_version());
            std::exit(0);
        case 'l':
            t.link = static_cast<int>(tool::number(value, 31, "link"));
            if (t.link == 0)
                throw bad_arguments("bad link '0' (links count from 1)");
            break;
        case 'd':
        case 's': {
            const unsigned long la = tool::number(value, 255, "logical address");
            if (la < 0x20)
                throw bad_arguments("bad logical address '" + value + "' (0x20..0xFF)");
            (c == 'd' ? t.dest : t.src) = static_cast<uint8_t>(la);
            break;
        }
        case 'p':
            t.path = tool::byte_list(value, 31, "path byte");
            break;
        case 'r':
            t.return_path = tool::byte_list(value, 31, "return path byte");
            if (t.return_path.size() > 12)
                throw bad_arguments("return path of more than 12 bytes");
            break;
        case 'k':
            t.key = static_cast<uint8_t>(tool::number(value, 255, "key"));
            break;
        case 'e':
            t.ext = static_cast<uint8_t>(tool::number(value, 255, "extended address"));
            break;
        case no_increment:
            t.increment = false;
            break;
        case verify:
            t.verify = true;
            break;
        case no_reply:
            t.reply = false;
            break;
        case 't':
            t.timeout_ms = static_cast<long>(tool::number(value, 3600000, "time-out"));
            break;
        case speed:
            t.speed = static_cast<double>(tool::number(value, 400, "speed"));
            if (t.speed == 0)
                throw bad_arguments("bad speed '" + value + "' (1..400 Mbit/s)");
            break;
        case enable:
            t.enable = true;
            break;
        case connect_timeout:
            o.connect_timeout_ms = static_cast<long>(tool::connect_timeout_ms(value));
            break;
        case 'f':
            o.script = value;
            break;
        case keep_going:
            o.keep_going = true;
            break;
        case count:
            o.speed.count = tool::number(value, 100000000, "count");
            if (o.speed.count == 0)
                throw bad_arguments("bad count '0'");
            break;
        case in_flight:
            o.speed.in_flight = tool::number(value, 1024, "in-flight");
            if (o.speed.in_flight == 0)
                throw bad_arguments("bad in-flight '0' (1..1024)");
            break;
        case 'j':
            o.json = true;
            break;
        case ':':
            throw bad_arguments(std::string(argv[optind - 1]) + " needs a value");
        default:
            throw bad_arguments(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    std::vector<std::string> words(argv + optind, argv + argc);
    if (words.empty())
        throw bad_arguments("needs HOST");
    o.host = words[0];
    tool::check_unit_address(o.host);
    words.erase(words.begin());
    if (!o.script.empty()) {
        if (!words.empty())
            throw bad_arguments("--script takes no command on the command line");
        std::ifstream file;
        if (o.script != "-") {
            file.open(o.script);
            if (!file)
                throw bad_arguments("cannot read script " + o.script);
        }
        o.commands = tool::parse_script(o.script == "-" ? std::cin : file, o.script);
    } else {
        if (words.empty())
            throw bad_arguments("needs an operation after HOST");
        if (words[0] == "speedtest") {
            if (words.size() < 3 || words.size() > 4 || (words[1] != "read" && words[1] != "write"))
                throw bad_arguments("speedtest takes read|write ADDRESS [SIZE]");
            if (!o.target.reply)
                throw bad_arguments("speedtest times replies; --no-reply does not fit");
            o.speedtest = true;
            o.speed.op = words[1];
            o.speed.address = static_cast<uint32_t>(tool::number(words[2], 0xFFFFFFFFul, "address"));
            if (words.size() == 4)
                o.speed.size = tool::number(words[3], tool::rmap_max_read, "size");
            if (o.speed.size == 0)
                throw bad_arguments("bad size '0'");
            return o;
        }
        if (words[0] == "wait" || words[0] == "expect")
            throw bad_arguments(words[0] + " is for scripts");
        if (words[0] == "read" && words.size() != 3)
            throw bad_arguments("read takes 2 arguments after HOST");
        o.commands.push_back(tool::parse_command(words));
    }
    return o;
}

// Results only; see own_stdout().
FILE *out = stdout;

std::string hex(const std::vector<uint8_t> &d)
{
    std::string s;
    char b[4];
    for (uint8_t v : d) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

// Lines of 16 bytes: address, hex bytes, printable characters.
void hex_dump(uint32_t address, const std::vector<uint8_t> &d)
{
    for (size_t at = 0; at < d.size(); at += 16) {
        std::fprintf(out, "%08x ", static_cast<unsigned>(address + at));
        std::string text;
        for (size_t i = 0; i < 16; ++i) {
            if (at + i < d.size()) {
                std::fprintf(out, " %02x", d[at + i]);
                text += d[at + i] >= 0x20 && d[at + i] < 0x7F ? static_cast<char>(d[at + i]) : '.';
            } else {
                std::fputs("   ", out);
            }
        }
        std::fprintf(out, "  |%s|\n", text.c_str());
    }
}

std::string where(const options &o, const tool::rmap_command &c)
{
    return c.line > 0 ? o.script + ":" + std::to_string(c.line) + ": " : "";
}

// One command on an open session: its outcome printed, true when it succeeded.
bool perform(tool::rmap_session &s, const options &o, const tool::rmap_command &c, nlohmann::json &record)
{
    nlohmann::json j = {{"operation", c.op}};
    if (c.line > 0)
        j["line"] = c.line;
    if (c.op != "wait") {
        j["link"] = o.target.link;
        j["address"] = c.address;
    }
    std::string failure;
    tool::rmap_outcome r;
    int code = 0;
    if (c.op == "wait") {
        for (unsigned long waited = 0; waited < c.ms && !tool::stop_requested(); waited += 10)
            usleep(10000);
    } else {
        r = s.run(c);
        failure = r.failure;
        code = r.replied ? static_cast<int>(r.status) : r.code;
        j["replied"] = r.replied;
        if (r.replied) {
            j["status"] = r.status;
            j["status_text"] = rmap::status_text(r.status);
        }
        if (c.op != "write")
            j["data"] = hex(r.data);
    }
    if (failure.empty() && c.op == "expect" && r.data != c.data) {
        char at[16];
        std::snprintf(at, sizeof at, "0x%08x", static_cast<unsigned>(c.address));
        failure = std::string("expect ") + at + ": read " + hex(r.data) + ", expected " + hex(c.data);
        code = 1;
        j["expected"] = hex(c.data);
    }
    j["outcome"] = failure.empty() ? "ok" : "failed";
    j["code"] = code;
    j["text"] = failure.empty() ? "done" : failure;
    record.push_back(j);
    if (!failure.empty()) {
        if (!o.json)
            std::fprintf(stderr, "orwin-rmap: %s%s\n", where(o, c).c_str(), failure.c_str());
        return false;
    }
    if (o.json)
        return true;
    if (c.op == "read" || c.op == "rmw")
        hex_dump(c.address, r.data);
    else if (c.op == "write" && o.target.reply)
        std::fputs("written\n", out);
    return true;
}

// A speed test on an open session: rates and latencies printed, true when
// every operation succeeded.
bool perform_speedtest(tool::rmap_session &s, const options &o, nlohmann::json &record)
{
    const tool::speedtest_settings &t = o.speed;
    tool::speedtest_result r = tool::run_speedtest(s, t);
    std::vector<double> &l = r.latency;
    std::sort(l.begin(), l.end());
    const double done = static_cast<double>(l.size());
    const double ops = r.seconds > 0 ? done / r.seconds : 0;
    const double us = 1e6;
    const double min = l.empty() ? 0 : l.front() * us, median = tool::quantile(l, 0.5) * us,
                 p99 = tool::quantile(l, 0.99) * us, max = l.empty() ? 0 : l.back() * us;
    nlohmann::json j = {{"operation", "speedtest"},
                        {"direction", t.op},
                        {"link", o.target.link},
                        {"address", t.address},
                        {"size", t.size},
                        {"count", t.count},
                        {"in_flight", t.in_flight},
                        {"completed", l.size()},
                        {"seconds", r.seconds},
                        {"operations_per_second", ops},
                        {"bytes_per_second", ops * static_cast<double>(t.size)},
                        {"latency_us", {{"min", min}, {"median", median}, {"p99", p99}, {"max", max}}},
                        {"outcome", r.failure.empty() ? "ok" : "failed"},
                        {"code", r.failure.empty() ? 0 : r.code},
                        {"text", r.failure.empty() ? "done" : r.failure}};
    record.push_back(j);
    if (!r.failure.empty() && !o.json)
        std::fprintf(stderr, "orwin-rmap: speedtest: %s after %zu operations\n", r.failure.c_str(), l.size());
    if (!o.json && !l.empty()) {
        std::fprintf(out, "%s of %zu bytes at 0x%08x, %zu done, %lu in flight, in %.3f s\n", t.op.c_str(),
                     t.size, static_cast<unsigned>(t.address), l.size(), t.in_flight, r.seconds);
        std::fprintf(out, "%.1f operations/s, %.1f bytes/s\n", ops, ops * static_cast<double>(t.size));
        std::fprintf(out, "latency min %.1f us, median %.1f us, 99th percentile %.1f us, max %.1f us\n", min,
                     median, p99, max);
    }
    return r.failure.empty();
}

// The text of a failure the library threw, and its code.
std::string failure_text(int &code)
{
    try {
        throw;
    } catch (const orw::error &e) {
        code = e.get();
        return e.name() + ": " + (e.text() ? e.text() : "error " + std::to_string(e.get()));
    } catch (const orw::spacewire::address_error &e) {
        code = e.value();
        return e.text();
    } catch (const std::exception *e) {
        std::string what = e->what();
        if (auto *f = dynamic_cast<const rmap::nosuchfile *>(e))
            what += ": " + f->f;
        delete e;
        code = -1;
        return what;
    } catch (const std::exception &e) {
        code = -1;
        return e.what();
    }
}

void print_json(const options &o, const nlohmann::json &record)
{
    const std::string text = o.script.empty() ? record.at(0).dump() : record.dump();
    std::fprintf(out, "%s\n", text.c_str());
}

int run(const options &o)
{
    nlohmann::json record = nlohmann::json::array();
    auto fail = [&](const std::string &text, int code, int status) {
        if (o.json) {
            record.push_back({{"outcome", "failed"}, {"code", code}, {"text", text}});
            print_json(o, record);
        } else {
            std::fprintf(stderr, "orwin-rmap: %s\n", text.c_str());
        }
        std::fflush(out);
        return status;
    };
    // From the watch's thread: the record may be in use, so the report
    // stands alone.
    auto give_up = [&](const std::string &why) {
        const std::string text = o.host + ": " + why;
        if (o.json)
            std::fprintf(
                out, "%s\n",
                nlohmann::json({{"outcome", "failed"}, {"code", Error_Host_Unresponsive}, {"text", text}})
                    .dump()
                    .c_str());
        else
            std::fprintf(stderr, "orwin-rmap: %s\n", text.c_str());
        std::fflush(nullptr);
        std::_Exit(tool::stop_requested() ? 130 : 1);
    };
    std::unique_ptr<tool::rmap_session> session;
    try {
        tool::connect_watch watch(static_cast<int>(o.connect_timeout_ms), give_up);
        session.reset(new tool::rmap_session(o.host, o.target));
    } catch (...) {
        int code = 0;
        const std::string text = failure_text(code);
        return fail(text.compare(0, o.host.size(), o.host) == 0 ? text : o.host + ": " + text, code, 1);
    }
    // A reply that never comes cannot hold a stop for long.
    tool::connect_watch watch(0, give_up, 900);
    int status = 0;
    if (o.speedtest) {
        try {
            if (!perform_speedtest(*session, o, record))
                status = 1;
        } catch (...) {
            int code = 0;
            const std::string text = o.host + ": " + failure_text(code);
            record.push_back(
                {{"operation", "speedtest"}, {"outcome", "failed"}, {"code", code}, {"text", text}});
            if (!o.json)
                std::fprintf(stderr, "orwin-rmap: %s\n", text.c_str());
            status = 1;
        }
    }
    for (const tool::rmap_command &c : o.commands) {
        if (tool::stop_requested()) {
            status = 130;
            break;
        }
        try {
            if (!perform(*session, o, c, record))
                status = 1;
        } catch (...) {
            int code = 0;
            const std::string text = o.host + ": " + failure_text(code);
            nlohmann::json j = {{"operation", c.op}, {"outcome", "failed"}, {"code", code}, {"text", text}};
            if (c.line > 0)
                j["line"] = c.line;
            record.push_back(j);
            if (!o.json)
                std::fprintf(stderr, "orwin-rmap: %s%s\n", where(o, c).c_str(), text.c_str());
            status = 1;
        }
        if (status != 0 && !o.keep_going)
            break;
    }
    session.reset();
    watch.done();
    if (o.json)
        print_json(o, record);
    std::fflush(out);
    return tool::stop_requested() ? 130 : status;
}

} // namespace

int main(int argc, char **argv)
{
    const options o = tool::parse_or_exit(parse, argc, argv, "orwin-rmap", usage);
    out = tool::own_stdout();
    tool::catch_stop_signals();
    return run(o);
}
