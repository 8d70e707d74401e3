// SPDX-License-Identifier: MIT
// orwin-capture: capture every link of a recording unit into pcap or native
// files, with live progress on a terminal and a summary at the end.
//
//   orwin-capture [--pcap | --native] [--config FILE] [--rotate MIB]
//                 [--duration S] [--waveforms DIR] [--quiet] [--json] UNIT TARGET
#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"
#include "capture_monitor.hpp"
#include "numbers.hpp"
#include "own_stdout.hpp"
#include "stop_watch.hpp"
#include "unit_address.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: orwin-capture [options] UNIT TARGET\n"
    "Capture every link of the recording unit UNIT (HOST[:PORT], or -FILE to convert a\n"
    "native recording; a FILE of letters only goes after --, as in -- -rec) into\n"
    "TARGET: pcap files (\"-\" = standard output, \"pipe:PATH\" a named pipe) or native\n"
    "files, a file name, template or, for native files, a directory.\n"
    "  -p, --pcap              pcap files (default)\n"
    "  -n, --native            native recording files\n"
    "  -c, --config FILE       capture configuration, JSON or native text (default:\n"
    "                          every link)\n"
    "  -r, --rotate MIB        start a new file after MIB MiB, at a packet end (0: one file)\n"
    "  -d, --duration S        stop after S seconds (0: until SIGINT or SIGTERM)\n"
    "  -w, --waveforms DIR     write error waveforms there (none without it)\n"
    "      --connect-timeout MS  give up connecting after MS milliseconds (default 5000)\n"
    "  -q, --quiet             no status line\n"
    "  -j, --json              list the finished files and the summary as JSON\n"
    "  -h, --help              this text\n"
    "  -V, --version           the tool's and the library's versions\n"
    "Numbers are decimal or 0x-prefixed hex. Exit status: 0 done, 1 the unit cannot be\n"
    "reached, is not a recording unit or the capture failed, 2 bad arguments,\n"
    "130 interrupted while connecting.";

constexpr int start_wait_ms = 2000;
constexpr int poll_ms = 50;

struct options {
    bool pcap = true;
    std::string config;
    uint32_t rotate = 0;
    uint32_t duration = 0;
    std::string waveforms;
    bool quiet = false;
    bool json = false;
    int connect_timeout_ms = 5000;
    std::string unit, target;
};

using tool::bad_arguments;

uint32_t whole_number(const char *text, const char *option)
{
    try {
        return static_cast<uint32_t>(tool::number(text, 0xFFFFFFFFul, option));
    } catch (const bad_arguments &) {
        throw bad_arguments(std::string(option) + " needs a whole number, not '" + text + "'");
    }
}

// A recording is named with a leading '-': one that cannot be an option
// ("-/path", "-./name") is marked so that the option parser leaves it.
constexpr char recording_mark = '\x01';

options parse(int argc, char **argv)
{
    enum { connect_timeout = 256 };
    static const option longs[] = {{"pcap", no_argument, nullptr, 'p'},
                                   {"native", no_argument, nullptr, 'n'},
                                   {"config", required_argument, nullptr, 'c'},
                                   {"rotate", required_argument, nullptr, 'r'},
                                   {"duration", required_argument, nullptr, 'd'},
                                   {"waveforms", required_argument, nullptr, 'w'},
                                   {"connect-timeout", required_argument, nullptr, connect_timeout},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    std::vector<std::string> marked;
    marked.reserve(static_cast<size_t>(argc)); // args keeps pointers into it
    std::vector<char *> args(argv, argv + argc);
    bool after_options = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string a = args[i];
        after_options = after_options || a == "--";
        if (!after_options && a.size() > 1 && a[0] == '-' && (a[1] == '/' || a[1] == '.')) {
            marked.push_back(recording_mark + a);
            args[i] = &marked.back()[0];
        }
    }
    options o;
    bool pcap = false, native = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, args.data(), ":pnc:r:d:w:qjhV", longs, nullptr)) != -1;) {
        switch (c) {
        case 'p':
            pcap = true;
            break;
        case 'n':
            native = true;
            break;
        case 'c':
            o.config = optarg;
            break;
        case 'r':
            o.rotate = whole_number(optarg, "--rotate");
            break;
        case 'd':
            o.duration = whole_number(optarg, "--duration");
            break;
        case 'w':
            o.waveforms = optarg;
            break;
        case connect_timeout:
            o.connect_timeout_ms = static_cast<int>(tool::connect_timeout_ms(optarg));
            break;
        case 'q':
            o.quiet = true;
            break;
        case 'j':
            o.json = true;
            break;
        case 'h':
            std::printf("%s\n", usage);
            std::exit(0);
        case 'V':
            std::printf("orwin-capture " ORWIN_TOOL_VERSION " (library %s)\n", Orwin_get_version());
            std::exit(0);
        case ':':
            throw bad_arguments(std::string(args[optind - 1]) + " needs a value");
        default:
            throw bad_arguments(std::string("unknown option ") + args[optind - 1]);
        }
    }
    if (pcap && native)
        throw bad_arguments("--pcap and --native together");
    o.pcap = !native;
    if (argc - optind != 2)
        throw bad_arguments("UNIT and TARGET are both needed");
    auto unmarked = [](std::string a) { return !a.empty() && a[0] == recording_mark ? a.substr(1) : a; };
    o.unit = unmarked(args[optind]);
    o.target = unmarked(args[optind + 1]);
    if (o.unit.empty() || o.target.empty())
        throw bad_arguments("UNIT and TARGET are both needed");
    if (o.unit[0] != '-')
        tool::check_unit_address(o.unit);
    if (o.target == "-" && o.rotate != 0)
        throw bad_arguments("standard output cannot be rotated");
    struct stat st;
    if (o.pcap && ::stat(o.target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw bad_arguments("TARGET " + o.target + " is a directory; name a file in it");
    return o;
}

// Status line and summaries; standard error when the capture itself goes to
// standard output.
FILE *report = stdout;

double mib(uint64_t bytes)
{
    return static_cast<double>(bytes) / 1048576.0;
}

// A count in at most four characters: 999, 12k, 3.4M, 56M, 7.8G.
std::string short_count(uint64_t n)
{
    char text[16];
    const double v = static_cast<double>(n);
    if (n < 1000)
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
    else if (n < 10000)
        std::snprintf(text, sizeof text, "%.1fk", v / 1e3);
    else if (n < 1000000)
        std::snprintf(text, sizeof text, "%.0fk", v / 1e3);
    else if (n < 10000000)
        std::snprintf(text, sizeof text, "%.1fM", v / 1e6);
    else if (n < 1000000000)
        std::snprintf(text, sizeof text, "%.0fM", v / 1e6);
    else
        std::snprintf(text, sizeof text, "%.1fG", v / 1e9);
    return text;
}

constexpr size_t status_columns = 79;

// One status line, drawn over the last: time, volume, rate, finished files,
// then per link in order its packet count, or "-" while it is down.
template <class C> void show_status(const C &c, double elapsed)
{
    uint64_t bytes = 0;
    const orw::devstatus s = c.snapshot();
    std::string per_link;
    for (int k = 1; k < tool::links && k <= c.no_ports; ++k) {
        bytes += c.counts[k].bytes.load();
        per_link += " " + (s.links[k].connected ? short_count(c.counts[k].packets.load()) : std::string("-"));
    }
    char head[96];
    std::snprintf(head, sizeof head, "%5.0fs %8.2f MiB %7.2f MiB/s %3zu files |", elapsed, mib(bytes),
                  elapsed > 0 ? mib(bytes) / elapsed : 0.0, c.capture_files());
    const std::string line = (head + per_link).substr(0, status_columns);
    std::fprintf(report, "\r%s\x1b[K", line.c_str());
    std::fflush(report);
}

template <class C>
nlohmann::json summary(const C &c, const options &o, double elapsed, const std::string &failure)
{
    nlohmann::json j;
    j["unit"] = o.unit;
    j["target"] = o.target;
    j["format"] = o.pcap ? "pcap" : "native";
    j["elapsed_s"] = elapsed;
    j["files"] = nlohmann::json::array();
    for (size_t i = 0; i < c.capture_files(); ++i)
        j["files"].push_back(c.capture_file(static_cast<int>(i)));
    uint64_t packets = 0, bytes = 0, errors = 0;
    j["links"] = nlohmann::json::array();
    for (int k = 1; k < tool::links && k <= c.no_ports; ++k) {
        const orw::portstatus &p = c.status.links[k];
        nlohmann::json l;
        l["link"] = k;
        l["packets"] = p.eop.total + p.eep.total;
        l["eop"] = p.eop.total;
        l["eep"] = p.eep.total;
        l["bytes"] = p.bytes.total;
        l["errors"] = tool::link_errors(p);
        packets += p.eop.total + p.eep.total;
        bytes += p.bytes.total;
        errors += tool::link_errors(p);
        j["links"].push_back(l);
    }
    j["packets"] = packets;
    j["bytes"] = bytes;
    j["errors"] = errors;
    j["waveforms"] = c.waveforms.load();
    j["waveforms_dropped"] = c.waveforms_dropped.load();
    if (failure.empty())
        j["status"] = "ok";
    else
        j["status"] = failure;
    return j;
}

void print_summary(const nlohmann::json &j)
{
    std::fprintf(report, "finished files:\n");
    for (const auto &f : j["files"])
        std::fprintf(report, "  %s\n", f.get<std::string>().c_str());
    std::fprintf(
        report,
        "%.1f s, %llu packets, %llu bytes (%.2f MiB), %llu errors, %llu waveforms (%llu dropped): %s\n",
        j["elapsed_s"].get<double>(), j["packets"].get<unsigned long long>(),
        j["bytes"].get<unsigned long long>(), mib(j["bytes"].get<uint64_t>()),
        j["errors"].get<unsigned long long>(), j["waveforms"].get<unsigned long long>(),
        j["waveforms_dropped"].get<unsigned long long>(), j["status"].get<std::string>().c_str());
    for (const auto &l : j["links"])
        std::fprintf(report, "  link %d: %llu packets (%llu EEP), %llu bytes, %llu errors\n",
                     l["link"].get<int>(), l["packets"].get<unsigned long long>(),
                     l["eep"].get<unsigned long long>(), l["bytes"].get<unsigned long long>(),
                     l["errors"].get<unsigned long long>());
}

// A failure before the capture ran: one line on standard error, and with
// --json also one JSON document.
int fail(const options &o, int code, const std::string &text, int status)
{
    if (o.json) {
        const nlohmann::json j = {{"unit", o.unit}, {"outcome", "failed"}, {"code", code}, {"text", text}};
        std::fprintf(report, "%s\n", j.dump(2).c_str());
        std::fflush(report);
    }
    std::fprintf(stderr, "orwin-capture: %s\n", text.c_str());
    return status;
}

template <class Capture> int run(const options &o)
{
    using clock = std::chrono::steady_clock;
    std::unique_ptr<tool::monitored<Capture>> c;
    {
        tool::connect_watch watch(o.connect_timeout_ms, [&](const std::string &why) {
            const int status =
                fail(o, Error_Host_Unresponsive, o.unit + ": " + why, tool::stop_requested() ? 130 : 1);
            std::fflush(nullptr);
            std::_Exit(status);
        });
        c = std::make_unique<tool::monitored<Capture>>(o.unit.c_str(), o.target.c_str(), 0, o.rotate);
    }
    c->set_wf_dir(o.waveforms);
    if (c->live) {
        orw::trc::config cfg;
        if (!o.config.empty()) {
            cfg.load(o.config);
            for (const std::string &w : cfg.warnings())
                std::fprintf(stderr, "orwin-capture: warning: %s\n", w.c_str());
        } else
            cfg.defaults(false, c->no_ports);
        c->set_config(&cfg);
    } else if (!o.config.empty()) {
        throw orw::error(o.unit, Error_Set_Option_File, "can't set capture config on live file");
    }
    c->set_runtime(o.duration);
    const auto started = clock::now();
    c->start(1);
    for (int waited = 0;
         !c->capture_thread_running && c->running && !tool::stop_requested() && waited < start_wait_ms;
         waited += poll_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));

    const bool progress = !o.quiet && !o.json && isatty(fileno(report));
    bool shown = false;
    auto next_line = started + std::chrono::milliseconds(250);
    while (c->running && !tool::stop_requested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
        // The first line waits for the links' first status (at most 2 s),
        // so that it shows them up or down as they are.
        const bool known = c->seen_status || clock::now() - started > std::chrono::seconds(2);
        if (progress && known && clock::now() >= next_line) {
            show_status(*c, std::chrono::duration<double>(clock::now() - started).count());
            shown = true;
            next_line = clock::now() + std::chrono::milliseconds(500);
        }
    }
    if (shown)
        std::fputs("\n", report);
    std::string failure;
    try {
        c->stop();
        c->wait();
    } catch (const std::exception &e) {
        failure = e.what();
        if (c->connection_lost)
            failure = "connection to the unit lost: " + failure;
    }
    const double elapsed = std::chrono::duration<double>(clock::now() - started).count();
    if (failure.empty() && c->capture_files() == 0 && !o.target.empty())
        failure = "no file was finished";
    nlohmann::json j = summary(*c, o, elapsed, failure);
    if (o.json)
        std::fprintf(report, "%s\n", j.dump(2).c_str());
    else if (!o.quiet || !failure.empty())
        print_summary(j);
    if (!failure.empty())
        std::fprintf(stderr, "orwin-capture: %s\n", failure.c_str());
    return failure.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const options o = tool::parse_or_exit(parse, argc, argv, "orwin-capture", usage);
    if (o.target == "-")
        report = stderr; // the recording alone goes to standard output
    else
        report = tool::own_stdout();
    tool::catch_stop_signals();
    try {
        return o.pcap ? run<orw::trc::pcap_capture>(o) : run<orw::trc::trc_capture>(o);
    } catch (const orw::error &e) {
        const std::string text = e.name() + ": " + (e.text() ? e.text() : "error " + std::to_string(e.get()));
        return fail(o, e.get(), text, 1);
    } catch (const std::exception &e) {
        return fail(o, -1, e.what(), 1);
    }
}
