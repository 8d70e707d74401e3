// orwin-capture: capture every link of a recording unit into pcap or native
// files, with live progress on a terminal and a summary at the end.
//
//   orwin-capture [--pcap | --native] [--config FILE] [--rotate MIB]
//                 [--duration S] [--waveforms DIR] [--quiet] [--json] UNIT TARGET
#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"
#include "capture_monitor.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: orwin-capture [--pcap | --native] [--config FILE] [--rotate MIB] [--duration S] "
    "[--waveforms DIR] [--quiet] [--json] UNIT TARGET\n"
    "Capture every link of the recording unit UNIT (HOST[:PORT], or -FILE to convert a\n"
    "native recording) into TARGET: pcap files (\"-\" = standard output, \"pipe:PATH\" a\n"
    "named pipe) or native files, a file name, template or directory.\n"
    "  --pcap          pcap files (default)\n"
    "  --native        native recording files\n"
    "  --config FILE   capture configuration, JSON or native text (default: every link)\n"
    "  --rotate MIB    start a new file after MIB MiB, at a packet end (0: one file)\n"
    "  --duration S    stop after S seconds (0: until SIGINT or SIGTERM)\n"
    "  --waveforms DIR write error waveforms there (none without it)\n"
    "  --quiet         no progress lines\n"
    "  --json          list the finished files and the summary as JSON\n"
    "  --help          this text\n"
    "  --version       the tool's and the library's versions\n"
    "Exit status: 0 done, 1 the unit cannot be reached, is not a recording unit or the\n"
    "capture failed, 2 bad arguments.";

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
    std::string unit, target;
};

struct bad_arguments {
    std::string why;
};

uint32_t number(const char *text, const char *option)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || errno != 0 || v > 0xFFFFFFFFul || text[0] == '-')
        throw bad_arguments{std::string(option) + " needs a whole number, not '" + text + "'"};
    return static_cast<uint32_t>(v);
}

options parse(int argc, char **argv)
{
    options o;
    std::vector<std::string> free;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                throw bad_arguments{a + " needs a value"};
            return argv[++i];
        };
        if (a == "--help") {
            std::printf("%s\n", usage);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("orwin-capture " ORWIN_TOOL_VERSION " (library %s)\n", Orwin_get_version());
            std::exit(0);
        } else if (a == "--pcap")
            o.pcap = true;
        else if (a == "--native")
            o.pcap = false;
        else if (a == "--config")
            o.config = value();
        else if (a == "--rotate")
            o.rotate = number(value(), "--rotate");
        else if (a == "--duration")
            o.duration = number(value(), "--duration");
        else if (a == "--waveforms")
            o.waveforms = value();
        else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--json")
            o.json = true;
        else if (a.size() > 2 && a.compare(0, 2, "--") == 0)
            throw bad_arguments{"unknown option " + a};
        else
            free.push_back(a); // a UNIT may start with '-': a recording
    }
    if (free.size() != 2)
        throw bad_arguments{"UNIT and TARGET are both needed"};
    o.unit = free[0];
    o.target = free[1];
    return o;
}

std::atomic<bool> interrupted{false};
// Progress and summaries; standard error when the capture itself goes to
// standard output.
FILE *report = stdout;

extern "C" void on_signal(int) { interrupted = true; }

void catch_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

double mib(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

template <class C> void show_progress(const C &c, double elapsed)
{
    uint64_t bytes = 0, packets = 0, errors = 0;
    const orw::devstatus s = c.snapshot();
    std::string per_link;
    for (int k = 1; k < tool::links && k <= c.no_ports; ++k) {
        const uint64_t p = c.counts[k].packets.load(), b = c.counts[k].bytes.load();
        const uint64_t e = tool::link_errors(s.links[k]);
        packets += p;
        bytes += b;
        errors += e;
        char one[96];
        std::snprintf(one, sizeof one, " L%d %s %llu/%llu", k, s.links[k].connected ? "up" : "down",
                      static_cast<unsigned long long>(p), static_cast<unsigned long long>(e));
        per_link += one;
    }
    std::fprintf(report, "%6.0fs %9.2f MiB %10llu pkts %8.2f MiB/s |%s | errors %llu waveforms %llu\n", elapsed, mib(bytes),
                static_cast<unsigned long long>(packets), elapsed > 0 ? mib(bytes) / elapsed : 0.0,
                per_link.c_str(), static_cast<unsigned long long>(errors),
                static_cast<unsigned long long>(c.waveforms.load()));
    std::fflush(report);
}

template <class C> nlohmann::json summary(const C &c, const options &o, double elapsed, const std::string &failure)
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
    std::fprintf(report, "%.1f s, %llu packets, %llu bytes (%.2f MiB), %llu errors, %llu waveforms: %s\n",
                j["elapsed_s"].get<double>(), j["packets"].get<unsigned long long>(),
                j["bytes"].get<unsigned long long>(), mib(j["bytes"].get<uint64_t>()),
                j["errors"].get<unsigned long long>(), j["waveforms"].get<unsigned long long>(),
                j["status"].get<std::string>().c_str());
    for (const auto &l : j["links"])
        std::fprintf(report, "  link %d: %llu packets (%llu EEP), %llu bytes, %llu errors\n", l["link"].get<int>(),
                    l["packets"].get<unsigned long long>(), l["eep"].get<unsigned long long>(),
                    l["bytes"].get<unsigned long long>(), l["errors"].get<unsigned long long>());
}

template <class Capture> int run(const options &o)
{
    using clock = std::chrono::steady_clock;
    auto c = std::make_unique<tool::monitored<Capture>>(o.unit.c_str(), o.target.c_str(), 0, o.rotate);
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
    for (int waited = 0; !c->capture_thread_running && c->running && waited < start_wait_ms; waited += poll_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));

    const bool progress = !o.quiet && !o.json && isatty(fileno(report));
    auto next_line = started + std::chrono::seconds(1);
    while (c->running && !interrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
        if (progress && clock::now() >= next_line) {
            show_progress(*c, std::chrono::duration<double>(clock::now() - started).count());
            next_line += std::chrono::seconds(1);
        }
    }
    std::string failure;
    try {
        c->stop();
        c->wait();
    } catch (const std::exception &e) {
        failure = e.what();
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
    options o;
    try {
        o = parse(argc, argv);
    } catch (const bad_arguments &e) {
        std::fprintf(stderr, "orwin-capture: %s\n%s\n", e.why.c_str(), usage);
        return 2;
    }
    if (o.pcap && o.target == "-")
        report = stderr;
    catch_signals();
    try {
        return o.pcap ? run<orw::trc::pcap_capture>(o) : run<orw::trc::trc_capture>(o);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "orwin-capture: %s\n", e.what());
        return 1;
    }
}
