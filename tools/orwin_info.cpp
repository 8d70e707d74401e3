// SPDX-License-Identifier: MIT
// orwin-info: print who a unit is and how its links stand.
//
//   orwin-info [--json] [--connect-timeout MS] HOST[:PORT]
#include "Orwin.h"
#include "numbers.hpp"
#include "own_stdout.hpp"
#include "stop_watch.hpp"
#include "unit_address.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int reply_timeout_ms = 2000;
constexpr int max_packets_per_reply = 16;

struct failure {
    std::string what;
    int code;
    std::string text;
};

[[noreturn]] void fail(const std::string &what)
{
    const char *text = Orwin_get_error_text();
    throw failure{what, Orwin_get_error(), text ? text : "unknown error"};
}

std::string take_string(char *text, const char *what)
{
    if (text == nullptr)
        fail(what);
    std::unique_ptr<char, decltype(&free)> owned(text, &free);
    return owned.get();
}

const char *state_name(int state)
{
    static const char *const names[] = {"ErrorReset", "ErrorWait", "Ready",        "Started",
                                        "Connecting", "Run",       "NotConnected", "Connected"};
    return state >= 0 && state < 8 ? names[state] : "?";
}

double mbps(double bps)
{
    return bps / 1e6;
}

// Speed code of a Tor-family module reply: mantissa x 10^(exponent - 34) bit/s.
double speed_code_bps(unsigned code)
{
    if (code == 0)
        return 0.0;
    return (code & 0x3FF) * std::pow(10.0, static_cast<int>(code >> 10) - 34);
}

// Reads until a special packet that `match` accepts arrives.
std::vector<unsigned char> await_reply(Orwin link, bool (*match)(const std::vector<unsigned char> &, int),
                                       int arg, const char *what)
{
    std::vector<unsigned char> buffer(8192);
    for (int i = 0; i < max_packets_per_reply; ++i) {
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(link, buffer.data(), buffer.size(), &type, RETURN_SPECIAL_DATA);
        if (n < 0)
            fail(what);
        if (type != Orwin_SPECIAL)
            continue;
        std::vector<unsigned char> reply(buffer.begin(), buffer.begin() + n);
        if (match(reply, arg))
            return reply;
    }
    throw failure{what, Error_Sequence_Error, "no reply from the unit"};
}

struct link_info {
    int number;
    int state;
    double rx_bps;
    double tx_bps;
};

link_info vex_link(Orwin link, int n)
{
    link_info info{n, 0, 0.0, 0.0};
    if (Orwin_request_link_status_port(link, n, 1) < 0)
        fail("link status request");
    auto status = await_reply(
        link,
        [](const std::vector<unsigned char> &r, int port) {
            return r.size() >= 3 && r[1] == 5 && r[2] == port;
        },
        n, "link status");
    int port = 0;
    info.state = Orwin_extract_link_state(link, status.data(), status.size(), &port);
    if (info.state < 0)
        fail("link status");
    info.rx_bps = Orwin_extract_rx_speed(link, status.data(), status.size(), &port);
    if (Orwin_set_active_link(link, n) < 0 || Orwin_request_tx_speed(link) < 0)
        fail("transmit speed request");
    auto speed = await_reply(
        link,
        [](const std::vector<unsigned char> &r, int port) {
            return r.size() >= 3 && r[1] == 4 && r[2] == port;
        },
        n, "transmit speed");
    info.tx_bps = Orwin_extract_tx_speed(link, speed.data(), speed.size(), &port);
    return info;
}

link_info tor_link(Orwin link, int n)
{
    link_info info{n, 0, 0.0, 0.0};
    int link_slot = Orwin_get_module_slot(link, Orwin_MODULE_LINK);
    int speed_slot = Orwin_get_module_slot(link, Orwin_MODULE_LINK_SPEED);
    if (Orwin_set_active_link(link, n) < 0 || Orwin_request_link_status(link) < 0)
        fail("link status request");
    auto status = await_reply(
        link, [](const std::vector<unsigned char> &r, int slot) { return r.size() >= 4 && r[0] == slot; },
        link_slot, "link status");
    info.state = (status[1] >> LINK_state_offset) & 7;
    info.rx_bps = speed_code_bps(static_cast<unsigned>(status[2] << 8 | status[3]));
    if (speed_slot != 0) {
        if (Orwin_request_tx_speed(link) < 0)
            fail("transmit speed request");
        auto speed = await_reply(
            link, [](const std::vector<unsigned char> &r, int slot) { return r.size() >= 4 && r[0] == slot; },
            speed_slot, "transmit speed");
        info.tx_bps = speed_code_bps(static_cast<unsigned>(speed[2] << 8 | speed[3]));
    }
    return info;
}

nlohmann::json query_unit(Orwin link)
{
    nlohmann::json unit;
    bool vex = Orwin_device_type(link) == SYSTEM_TYPE_Vex;
    unit["family"] = vex ? "Vex" : "Tor";
    unit["product"] = take_string(Orwin_get_product_string(link), "product");
    unit["manufacturer"] = take_string(Orwin_get_manufacturer_string(link), "manufacturer");
    unit["description"] = take_string(Orwin_get_device_description(link), "description");
    unit["options"] = take_string(Orwin_get_options_string(link), "options");
    unsigned char hwa[6] = {};
    if (Orwin_get_HWA(link, hwa) < 0)
        fail("hardware address");
    char hwa_text[18];
    snprintf(hwa_text, sizeof hwa_text, "%02X:%02X:%02X:%02X:%02X:%02X", hwa[0], hwa[1], hwa[2], hwa[3],
             hwa[4], hwa[5]);
    unit["hardware_address"] = hwa_text;
    unit["serial_number"] = take_string(Orwin_HWA_to_serial_number_string(hwa), "serial number");
    int links = Orwin_get_number_of_links(link);
    if (links < 0)
        fail("number of links");
    unit["number_of_links"] = links;
    unit["links"] = nlohmann::json::array();
    Orwin_set_rx_timeout(link, reply_timeout_ms);
    Orwin_set_rx_timeout_action(link, Receiver_Timeout_Returns_Error);
    for (int n = 1; n <= links; ++n) {
        link_info info = vex ? vex_link(link, n) : tor_link(link, n);
        unit["links"].push_back({{"link", info.number},
                                 {"state", state_name(info.state)},
                                 {"rx_speed_mbps", mbps(info.rx_bps)},
                                 {"tx_speed_mbps", mbps(info.tx_bps)}});
    }
    return unit;
}

void print_text(FILE *out, const nlohmann::json &unit)
{
    for (const char *key : {"address", "family", "product", "manufacturer", "description", "options",
                            "hardware_address", "serial_number", "number_of_links"}) {
        const auto &value = unit[key];
        std::fprintf(out, "%s: %s\n", key,
                     (value.is_string() ? value.get<std::string>() : value.dump()).c_str());
    }
    for (const auto &l : unit["links"]) {
        char line[128];
        snprintf(line, sizeof line, "link %d: %s, rx %.3f Mbit/s, tx %.3f Mbit/s", l["link"].get<int>(),
                 l["state"].get<std::string>().c_str(), l["rx_speed_mbps"].get<double>(),
                 l["tx_speed_mbps"].get<double>());
        std::fprintf(out, "%s\n", line);
    }
}

const char usage[] = "usage: orwin-info [options] HOST[:PORT]\n"
                     "Print who an Orwin interface unit is and how its links stand: family,\n"
                     "manufacturer, product, serial number, hardware address, options and, per\n"
                     "link, state and receive and transmit speeds. The unit's links are left as\n"
                     "they were. PORT defaults to 4949.\n"
                     "  -j, --json                print one JSON object instead of text\n"
                     "      --connect-timeout MS  give up connecting after MS milliseconds (default 5000)\n"
                     "  -h, --help                this text\n"
                     "  -V, --version             the tool's and the library's versions\n"
                     "Exit status: 0 success, 1 the unit could not be opened or queried, 2 bad arguments,\n"
                     "130 interrupted.\n";

struct options {
    bool json = false;
    int connect_timeout_ms = 5000;
    std::string address;
};

options parse(int argc, char **argv)
{
    enum { connect_timeout = 256 };
    static const option longs[] = {{"json", no_argument, nullptr, 'j'},
                                   {"connect-timeout", required_argument, nullptr, connect_timeout},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    options o;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":jhV", longs, nullptr)) != -1;) {
        switch (c) {
        case 'j':
            o.json = true;
            break;
        case connect_timeout:
            o.connect_timeout_ms = static_cast<int>(tool::connect_timeout_ms(optarg));
            break;
        case 'h':
            std::cout << usage;
            std::exit(0);
        case 'V':
            std::cout << "orwin-info " ORWIN_TOOL_VERSION " (library " << Orwin_get_version() << ")\n";
            std::exit(0);
        case ':':
            throw tool::bad_arguments(std::string(argv[optind - 1]) + " needs a value");
        default:
            throw tool::bad_arguments(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (optind == argc)
        throw tool::bad_arguments("no unit given");
    if (argc - optind > 1)
        throw tool::bad_arguments(std::string("more than one unit: ") + argv[optind + 1]);
    o.address = argv[optind];
    tool::check_unit_address(o.address);
    return o;
}

void report_failure(FILE *out, const options &o, const std::string &what, int code, const std::string &text)
{
    if (o.json) {
        nlohmann::json j = {
            {"address", o.address}, {"outcome", "failed"}, {"code", code}, {"text", what + ": " + text}};
        std::fprintf(out, "%s\n", j.dump(2).c_str());
        std::fflush(out);
    }
    std::fprintf(stderr, "orwin-info: %s: %s: %s\n", o.address.c_str(), what.c_str(), text.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const options o = tool::parse_or_exit(parse, argc, argv, "orwin-info", usage);
    FILE *out = tool::own_stdout();
    tool::catch_stop_signals();
    std::string addr = o.address;
    Orwin link = nullptr;
    {
        tool::connect_watch watch(o.connect_timeout_ms, [&](const std::string &why) {
            report_failure(out, o, "cannot open", Error_Host_Unresponsive, why);
            std::fflush(nullptr);
            std::_Exit(tool::stop_requested() ? 130 : 1);
        });
        link = Orwin_open_flagged(&addr[0], 0, o.connect_timeout_ms);
    }
    if (link == nullptr) {
        const char *text = Orwin_get_error_text();
        const int code = Orwin_get_error();
        report_failure(out, o, "cannot open", code,
                       code == Error_Receiver_Timeout
                           ? "no answer within " + std::to_string(o.connect_timeout_ms) + " ms"
                       : text ? text
                              : "unknown error");
        return 1;
    }
    int status = 0;
    {
        // Each reply is bounded; a stop waits at most for the one under way.
        tool::connect_watch watch(
            0,
            [&](const std::string &why) {
                report_failure(out, o, "query", 1, why);
                std::fflush(nullptr);
                std::_Exit(130);
            },
            900);
        try {
            nlohmann::json unit = query_unit(link);
            unit["address"] = addr;
            if (o.json)
                std::fprintf(out, "%s\n", unit.dump(2).c_str());
            else
                print_text(out, unit);
        } catch (const failure &f) {
            report_failure(out, o, f.what, f.code, f.text);
            status = 1;
        }
    }
    std::fflush(out);
    Orwin_abort(link); // a query tool leaves the unit's links as they were
    Orwin_close(link);
    return status;
}
