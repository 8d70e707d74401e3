// SPDX-License-Identifier: MIT
// orwin-unitsim: runs a simulated interface unit until SIGINT or SIGTERM.
#include "events.hpp"
#include "orwin_unitsim.hpp"
#include "unit_address.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <getopt.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const char usage[] =
    "usage: orwin-unitsim [options]\n"
    "  -p, --port N        TCP port to listen on (default 4949; 0 = any free port)\n"
    "  --bind ADDR         IPv4 address to listen on (default 127.0.0.1)\n"
    "  --family tor|vex    unit family (default vex)\n"
    "  --links N           number of SpaceWire links, 1..30 (default 8)\n"
    "  --wire A:B          cable between links A and B, both directions; repeatable,\n"
    "                      replaces the default pairs 1-2, 3-4, ...\n"
    "  --echo N            an echo node on link N (1..30), which sends every packet\n"
    "                      back with its first and third bytes swapped; repeatable\n"
    "  --down N            link N starts not connected; repeatable\n"
    "  --rmap-target N     an RMAP target node at the far end of link N (logical\n"
    "                      address 0xFE, key 0x20, 1 MiB of memory from address 0)\n"
    "  --options TEXT      options text (Vex)\n"
    "  --product TEXT      product string (Tor)\n"
    "  --manufacturer TEXT manufacturer string (Tor)\n"
    "  --description TEXT  description text (Vex)\n"
    "  --modules T0,T1,... module type of each slot, slot 0 first (0..255 each;\n"
    "                      default: the family's layout)\n"
    "  --hwa XX:XX:XX:XX:XX:XX  hardware address (default 00:50:C2:21:20:05)\n"
    "  --emit-every MS     every MS milliseconds (1..3600000), send what --emit names\n"
    "                      to every connected client\n"
    "  --emit KIND         repeatable, needs --emit-every; KIND is one of\n"
    "                      timetag   a timetag on every link, advancing by MS each time\n"
    "                      timecode  a time-code on link 1, counting 0..63\n"
    "                      events    ESC-EEP, time-out, parity error, error event and\n"
    "                                missing data on one link, the next link each time\n"
    "                      waveform  (vex) every link holds a parity-error waveform for\n"
    "                                the waveform request; an error event is sent on\n"
    "                                one link, the next link each time\n"
    "  --recording-unit PRODUCT  report PRODUCT (e.g. TRC-8 or VGL-3U) as a recording\n"
    "                      unit does, in the description (vex) or PRODUCT module (tor)\n"
    "  --traffic COUNT:SIZE[:RATE]  once a client is connected, send COUNT numbered\n"
    "                      packets of SIZE bytes on every link, RATE packets per second\n"
    "                      per link (default 0: as fast as the client takes them)\n"
    "  --awake-us N        after its last work, look for input for N microseconds\n"
    "                      (0..100000) before sleeping, as a unit that is always\n"
    "                      awake answers; costs a core while busy (default 0)\n"
    "  -h, --help          this text\n"
    "  -V, --version       the simulator's version\n"
    "Numbers are decimal or 0x-prefixed hex (a leading zero is still decimal).\n"
    "Runs until SIGINT or SIGTERM. Exit status: 0 stopped, 1 could not start, 2 bad arguments.\n";

// What the schedule sends each period.
struct schedule {
    long period_ms = 0;
    bool timetag = false;
    bool timecode = false;
    bool events = false;
    bool waveform = false;
    bool any() const { return timetag || timecode || events || waveform; }
};

// Decimal, or hexadecimal after 0x; a leading zero is not octal.
bool parse_int(const std::string &text, long low, long high, long &value)
{
    try {
        const long v = static_cast<long>(tool::number(text, static_cast<unsigned long>(high), "number"));
        if (v < low)
            return false;
        value = v;
        return true;
    } catch (const tool::bad_arguments &) {
        return false;
    }
}

bool parse_wire(const char *text, int &a, int &b)
{
    const char *colon = std::strchr(text, ':');
    if (colon == nullptr)
        return false;
    std::string left(text, colon);
    long x = 0, y = 0;
    if (!parse_int(left, 1, 30, x) || !parse_int(colon + 1, 1, 30, y))
        return false;
    a = static_cast<int>(x);
    b = static_cast<int>(y);
    return true;
}

// "0,1,2,..." into module types, slot 0 first.
bool parse_modules(const char *text, std::vector<uint8_t> &modules)
{
    std::vector<uint8_t> out;
    std::string list = text;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        long type = 0;
        if (!parse_int(item, 0, 255, type) || out.size() == 255)
            return false;
        out.push_back(static_cast<uint8_t>(type));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    modules = out;
    return true;
}

// Six hexadecimal byte pairs separated by colons.
bool parse_hwa(const char *text, std::array<uint8_t, 6> &hwa)
{
    std::array<uint8_t, 6> out{};
    const char *p = text;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i > 0 && *p++ != ':')
            return false;
        unsigned value = 0;
        for (int digit = 0; digit < 2; ++digit, ++p) {
            char c = *p;
            unsigned v = c >= '0' && c <= '9'   ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : 16u;
            if (v == 16u)
                return false;
            value = value << 4 | v;
        }
        out[i] = static_cast<uint8_t>(value);
    }
    if (*p != '\0')
        return false;
    hwa = out;
    return true;
}

// One period of the schedule; `tick` counts periods from 1.
void emit_period(orw::unitsim::simulator &sim, const orw::unitsim::config &cfg, const schedule &plan,
                 uint64_t tick)
{
    using namespace orw::unitsim;
    constexpr uint64_t counts_per_ms = 10000000; // timetags count 0.1 ns
    int link = static_cast<int>((tick - 1) % static_cast<uint64_t>(cfg.links)) + 1;
    if (plan.timetag)
        for (int l = 1; l <= cfg.links; ++l)
            sim.emit_timetag(l, tick * static_cast<uint64_t>(plan.period_ms) * counts_per_ms);
    if (plan.timecode)
        sim.emit_timecode(1, static_cast<uint8_t>((tick - 1) & 0x3F));
    if (plan.events)
        for (uint8_t event :
             {event_esc_eep, event_timeout, event_parity_error, event_error, event_missing_data})
            sim.emit_event(link, event);
    else if (plan.waveform)
        sim.emit_event(link, event_error);
}

// Waits for SIGINT or SIGTERM, sending the schedule's events meanwhile.
void serve(orw::unitsim::simulator &sim, const orw::unitsim::config &cfg, const schedule &plan,
           const sigset_t &stop)
{
    if (!plan.any()) {
        int signal = 0;
        sigwait(&stop, &signal);
        return;
    }
    if (plan.waveform)
        for (int link = 1; link <= cfg.links; ++link)
            sim.set_waveform(link, orw::unitsim::synthetic_waveform(link, 1));
    const timespec period = {plan.period_ms / 1000, (plan.period_ms % 1000) * 1000000L};
    for (uint64_t tick = 0;;) {
        if (sigtimedwait(&stop, nullptr, &period) >= 0)
            return; // only the stop signals are waited for
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return;
        emit_period(sim, cfg, plan, ++tick);
    }
}

// "COUNT:SIZE[:RATE]"
bool parse_traffic(const char *text, orw::unitsim::traffic &t)
{
    std::string spec = text;
    size_t first = spec.find(':');
    if (first == std::string::npos)
        return false;
    size_t second = spec.find(':', first + 1);
    std::string size_text =
        spec.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    long count = 0, size = 0, rate = 0;
    if (!parse_int(spec.substr(0, first), 1, 1000000000L, count) || !parse_int(size_text, 0, 0xFFFFFF, size))
        return false;
    if (second != std::string::npos && !parse_int(spec.substr(second + 1), 0, 100000000L, rate))
        return false;
    t.count = static_cast<size_t>(count);
    t.sizes = {static_cast<size_t>(size)};
    t.rate = static_cast<double>(rate);
    return true;
}

int bad_usage(const char *message, const char *arg)
{
    std::fprintf(stderr, "orwin-unitsim: %s%s%s\n%s", message, arg ? ": " : "", arg ? arg : "", usage);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    orw::unitsim::config cfg;
    cfg.port = 4949;
    cfg.keep_history = false;
    schedule plan;
    bool emit_named = false;
    orw::unitsim::traffic traffic;
    enum {
        bind = 256,
        family,
        links,
        wire,
        echo,
        down,
        rmap_target,
        options,
        product,
        manufacturer,
        description,
        modules,
        hwa,
        emit_every,
        emit,
        recording_unit,
        traffic_option,
        awake_us
    };
    static const option longs[] = {{"port", required_argument, nullptr, 'p'},
                                   {"bind", required_argument, nullptr, bind},
                                   {"family", required_argument, nullptr, family},
                                   {"links", required_argument, nullptr, links},
                                   {"wire", required_argument, nullptr, wire},
                                   {"echo", required_argument, nullptr, echo},
                                   {"down", required_argument, nullptr, down},
                                   {"rmap-target", required_argument, nullptr, rmap_target},
                                   {"options", required_argument, nullptr, options},
                                   {"product", required_argument, nullptr, product},
                                   {"manufacturer", required_argument, nullptr, manufacturer},
                                   {"description", required_argument, nullptr, description},
                                   {"modules", required_argument, nullptr, modules},
                                   {"hwa", required_argument, nullptr, hwa},
                                   {"emit-every", required_argument, nullptr, emit_every},
                                   {"emit", required_argument, nullptr, emit},
                                   {"recording-unit", required_argument, nullptr, recording_unit},
                                   {"traffic", required_argument, nullptr, traffic_option},
                                   {"awake-us", required_argument, nullptr, awake_us},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":p:hV", longs, nullptr)) != -1;) {
        if (c == 'h') {
            std::fputs(usage, stdout);
            return 0;
        }
        if (c == 'V') {
            std::puts("orwin-unitsim " ORWIN_TOOL_VERSION);
            return 0;
        }
        if (c == ':')
            return bad_usage("missing value", argv[optind - 1]);
        if (c == '?')
            return bad_usage("unknown option", argv[optind - 1]);
        const std::string option = std::string("--") + (c == 'p' ? "port" : longs[c - bind + 1].name);
        const char *value = optarg;
        long n = 0;
        if (option == "--port") {
            if (!parse_int(value, 0, 65535, n))
                return bad_usage("invalid port", value);
            cfg.port = static_cast<uint16_t>(n);
        } else if (option == "--bind") {
            if (!tool::detail::bindable(value))
                return bad_usage("unusable bind address", value);
            cfg.bind_address = value;
        } else if (option == "--family") {
            if (std::strcmp(value, "tor") == 0)
                cfg.kind = orw::unitsim::family::tor;
            else if (std::strcmp(value, "vex") == 0)
                cfg.kind = orw::unitsim::family::vex;
            else
                return bad_usage("family must be tor or vex", value);
        } else if (option == "--links") {
            if (!parse_int(value, 1, 30, n))
                return bad_usage("links must be 1..30", value);
            cfg.links = static_cast<int>(n);
        } else if (option == "--wire") {
            int a = 0, b = 0;
            if (!parse_wire(value, a, b))
                return bad_usage("wire must be A:B with links 1..30", value);
            cfg.wiring[a] = b;
            cfg.wiring[b] = a;
        } else if (option == "--echo" || option == "--down" || option == "--rmap-target") {
            if (!parse_int(value, 1, 30, n))
                return bad_usage("link must be 1..30", value);
            if (option == "--rmap-target")
                cfg.rmap_targets[static_cast<int>(n)] = orw::unitsim::rmap_target_config{};
            else if (option == "--echo")
                cfg.nodes[static_cast<int>(n)] = orw::unitsim::node_kind::echo;
            else
                cfg.links_down.insert(static_cast<int>(n));
        } else if (option == "--awake-us") {
            if (!parse_int(value, 0, 100000, n))
                return bad_usage("awake-us must be 0..100000", value);
            cfg.awake_us = static_cast<unsigned>(n);
        } else if (option == "--options") {
            cfg.options = value;
        } else if (option == "--product") {
            cfg.product = value;
        } else if (option == "--manufacturer") {
            cfg.manufacturer = value;
        } else if (option == "--description") {
            cfg.description = value;
        } else if (option == "--modules") {
            if (!parse_modules(value, cfg.modules))
                return bad_usage("modules must be 1..255 types 0..255 separated by commas", value);
        } else if (option == "--hwa") {
            if (!parse_hwa(value, cfg.hwa))
                return bad_usage("hardware address must be six hex pairs separated by colons", value);
        } else if (option == "--recording-unit") {
            orw::unitsim::config recorder = orw::unitsim::recording_unit(value, cfg.kind);
            cfg.product = recorder.product;
            cfg.description = recorder.description;
        } else if (option == "--traffic") {
            if (!parse_traffic(value, traffic))
                return bad_usage("traffic must be COUNT:SIZE[:RATE]", value);
        } else if (option == "--emit-every") {
            if (!parse_int(value, 1, 3600000, n))
                return bad_usage("emit period must be 1..3600000 ms", value);
            plan.period_ms = n;
        } else if (option == "--emit") {
            std::string kind = value;
            if (kind == "timetag")
                plan.timetag = true;
            else if (kind == "timecode")
                plan.timecode = true;
            else if (kind == "events")
                plan.events = true;
            else if (kind == "waveform")
                plan.waveform = true;
            else
                return bad_usage("emit must be timetag, timecode, events or waveform", value);
            emit_named = true;
        }
    }
    if (optind < argc)
        return bad_usage("unexpected argument", argv[optind]);

    if (emit_named && plan.period_ms == 0)
        return bad_usage("--emit needs --emit-every", nullptr);
    if (plan.period_ms > 0 && !emit_named)
        return bad_usage("--emit-every needs at least one --emit", nullptr);
    if (plan.waveform && cfg.kind != orw::unitsim::family::vex)
        return bad_usage("--emit waveform needs a vex unit", nullptr);

    // Block the stop signals before the simulator's thread starts, so that
    // only sigwait() below receives them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    try {
        orw::unitsim::simulator sim(cfg);
        std::printf("orwin-unitsim: %s unit with %d links listening on %s\n",
                    cfg.kind == orw::unitsim::family::tor ? "tor" : "vex", cfg.links, sim.address().c_str());
        std::fflush(stdout);
        std::atomic<bool> cancel{false};
        traffic.cancel = &cancel;
        std::thread sender;
        if (traffic.count > 0)
            sender = std::thread([&] {
                while (!cancel && !sim.wait_for_clients(1, 200)) {
                }
                if (!cancel)
                    sim.generate(traffic);
            });
        serve(sim, cfg, plan, stop);
        cancel = true;
        if (sender.joinable())
            sender.join();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
