// orwin-unitsim: runs a simulated interface unit until SIGINT or SIGTERM.
#include "orwin_unitsim.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <string>

namespace {

const char usage[] =
    "usage: orwin-unitsim [options]\n"
    "  --port N            TCP port to listen on (default 4949; 0 = any free port)\n"
    "  --bind ADDR         IPv4 address to listen on (default 127.0.0.1)\n"
    "  --family tor|vex    unit family (default vex)\n"
    "  --links N           number of SpaceWire links, 1..30 (default 8)\n"
    "  --wire A:B          cable between links A and B, both directions; repeatable,\n"
    "                      replaces the default pairs 1-2, 3-4, ...\n"
    "  --options TEXT      options text (Vex)\n"
    "  --product TEXT      product string (Tor)\n"
    "  --manufacturer TEXT manufacturer string (Tor)\n"
    "  --description TEXT  description text (Vex)\n"
    "  --help              this text\n";

bool parse_int(const char *text, long low, long high, long &value)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool parse_wire(const char *text, int &a, int &b)
{
    const char *colon = std::strchr(text, ':');
    if (colon == nullptr)
        return false;
    std::string left(text, colon);
    long x = 0, y = 0;
    if (!parse_int(left.c_str(), 1, 30, x) || !parse_int(colon + 1, 1, 30, y))
        return false;
    a = static_cast<int>(x);
    b = static_cast<int>(y);
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
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (i + 1 >= argc)
            return bad_usage("missing value or unknown option", argv[i]);
        const char *value = argv[++i];
        long n = 0;
        if (option == "--port") {
            if (!parse_int(value, 0, 65535, n))
                return bad_usage("invalid port", value);
            cfg.port = static_cast<uint16_t>(n);
        } else if (option == "--bind") {
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
        } else if (option == "--options") {
            cfg.options = value;
        } else if (option == "--product") {
            cfg.product = value;
        } else if (option == "--manufacturer") {
            cfg.manufacturer = value;
        } else if (option == "--description") {
            cfg.description = value;
        } else {
            return bad_usage("unknown option", argv[i - 1]);
        }
    }

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
        int signal = 0;
        sigwait(&stop, &signal);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
