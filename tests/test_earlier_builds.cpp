// SPDX-License-Identifier: MIT
// What tells the three C-interface builds apart, run against the library
// this binary is linked with: exported functions, version string, send
// errors, status requests, connecting and the opening time-out.
#include "OrwinInternal.h"
#include "c_interface_names.hpp"
#include "orwin_unitsim.hpp"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using orw::unitsim::family;
using orw::unitsim::simulator;

namespace {

#if defined(ORWIN_MACOS_BUILD)
constexpr unsigned this_build = c_interface::macos;
#elif defined(ORWIN_EARLIER_BUILD)
constexpr unsigned this_build = c_interface::earlier;
#else
constexpr unsigned this_build = c_interface::full;
#endif
constexpr bool earlier = this_build != c_interface::full;

struct exports {
    std::set<std::string> c_names;     // unmangled functions
    std::set<std::string> cxx_library; // mangled names of the library's own code
};

exports exported_functions(const char *library)
{
    exports out;
    std::string command = std::string("nm -D --defined-only ") + library;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        char address[64], type[8], name[3900];
        if (sscanf(line, "%63s %7s %3899s", address, type, name) != 3)
            continue;
        const std::string n = name;
        if (n.rfind("_Z", 0) == 0) {
            // A mangled name of ours: a length, then "orw" (orw_... or orw::).
            static const std::regex ours("[0-9]orw");
            if (std::regex_search(n, ours))
                out.cxx_library.insert(n);
        } else if (std::string(type) == "T") {
            out.c_names.insert(n);
        }
    }
    pclose(p);
    return out;
}

bytes_t special(const bytes_t &payload)
{
    bytes_t frame(payload.size() + 1, static_cast<uint8_t>(0xC0 + payload.size()));
    std::copy(payload.begin(), payload.end(), frame.begin() + 1);
    return frame;
}

std::string loopback(uint16_t port, const std::string &suffix = "")
{
    return "127.0.0.1:" + std::to_string(port) + suffix;
}

// A port nothing listens on.
uint16_t closed_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

} // namespace

TEST(Build, ExportsExactlyItsFunctions)
{
    const exports got = exported_functions(ORWIN_LIBRARY_PATH);
    ASSERT_FALSE(got.c_names.empty()) << "nm found nothing in " ORWIN_LIBRARY_PATH;
    const auto wanted = c_interface::expected(this_build, true);
    for (const std::string &name : c_interface::expected(this_build, false))
        EXPECT_EQ(got.c_names.count(name), 0u) << name << " must not be exported";
    if (earlier) {
        // Nothing but the C interface: no internal helper, C or C++.
        EXPECT_EQ(got.c_names, wanted);
        EXPECT_TRUE(got.cxx_library.empty()) << *got.cxx_library.begin();
    } else {
        for (const std::string &name : wanted)
            EXPECT_EQ(got.c_names.count(name), 1u) << name << " missing";
    }
}

TEST(Build, VersionString)
{
    const std::string version = Orwin_get_version();
#if defined(ORWIN_MACOS_BUILD)
    EXPECT_EQ(version, "MacOS 19.0.0");
#elif defined(ORWIN_EARLIER_BUILD)
    EXPECT_EQ(version, "CentOS-7 v34.86.1573649585");
#else
    EXPECT_TRUE(std::regex_match(version, std::regex(R"(\S+ v35\.21\.\d{9,})"))) << version;
#endif
}

// A send inside a packet function (a buffer filled exactly) and a flush,
// both to a peer that has gone.
TEST(Build, SendErrors)
{
    struct send_case {
        const char *name;
        size_t packet;
        bool flush;
        int code, earlier_code;
        const char *text, *earlier_text;
    } const cases[] = {
        {"packet fills the buffer", ORW_TX_BUFFER_SIZE - 4, false, Error_RecFile_Open, Error_Network,
         "Unable to send data", "unable to send data"},
        {"flush", 5, true, Error_Network, Error_Network, "Unable to send on network",
         "error sending network data"},
    };
    for (const send_case &c : cases) {
        SCOPED_TRACE(c.name);
        unit_pair u(SYSTEM_TYPE_Vex, {0, Orwin_MODULE_LINK, Orwin_MODULE_ram_rw});
        ASSERT_NE(u.link, nullptr);
        close(u.peer);
        u.peer = -1;
        bytes_t packet(c.packet, 0x5A);
        int rc = Orwin_write_packet(u.link, packet.data(), packet.size(), Orwin_EOP);
        if (c.flush) {
            ASSERT_EQ(rc, 0);
            rc = Orwin_flush(u.link);
        }
        EXPECT_EQ(rc, earlier ? c.earlier_code : c.code);
        EXPECT_EQ(Orwin_get_error(), rc);
        EXPECT_STREQ(Orwin_get_error_text(), earlier ? c.earlier_text : c.text);
    }
}

// The same request bytes from every build (the macOS one routes them through
// Orwin_request_stat), and the macOS request itself on both families.
TEST(Build, StatusRequestBytes)
{
    const std::vector<int> tor = {0, Orwin_MODULE_LINK, Orwin_MODULE_LINK_SPEED};
    const std::vector<int> vex = {0, Orwin_MODULE_LINK, Orwin_MODULE_ram_rw};
    struct request_case {
        const char *name;
        int family;
        int (*call)(Orwin);
        bytes_t sent;
        int rc;
        const char *text;
    };
    std::vector<request_case> cases = {
        {"Tor link status", SYSTEM_TYPE_Tor, Orwin_request_link_status, special({1}), 0, nullptr},
        {"Tor tx speed", SYSTEM_TYPE_Tor, Orwin_request_tx_speed, special({2}), 0, nullptr},
        {"Vex link status", SYSTEM_TYPE_Vex, Orwin_request_link_status, special({2, 5, 3, 0, 0, 0, 4}), 0,
         nullptr},
        {"Vex tx speed", SYSTEM_TYPE_Vex, Orwin_request_tx_speed, special({2, 4, 3, 0x87, 0xFD, 0, 2}), 0,
         nullptr},
        {"unknown family",
         SYSTEM_TYPE_INVALID,
         Orwin_request_link_status,
         {},
         Error_Unknown_System_Type,
         "System type not correct"},
    };
#ifdef ORWIN_MACOS_BUILD
    const std::vector<request_case> direct = {
        {"Tor, module without a slot", SYSTEM_TYPE_Tor,
         [](Orwin l) { return Orwin_request_stat(l, Orwin_MODULE_CR, 0, 4); }, special({0}), 0, nullptr},
        {"Vex, any register", SYSTEM_TYPE_Vex,
         [](Orwin l) { return Orwin_request_stat(l, Orwin_MODULE_TT, 0xFFFF, 0x0102); },
         special({2, 7, 3, 0xFF, 0xFF, 0x01, 0x02}), 0, nullptr},
        {"Vex, address too high",
         SYSTEM_TYPE_Vex,
         [](Orwin l) { return Orwin_request_stat(l, 5, 0x10000, 1); },
         {},
         Error_Parameter_RangeIncorrect,
         "IFCaddress not in range"},
        {"Vex, count too high",
         SYSTEM_TYPE_Vex,
         [](Orwin l) { return Orwin_request_stat(l, 5, 0, 0x10000); },
         {},
         Error_Parameter_RangeIncorrect,
         "IFCbytes not in range"},
    };
    cases.insert(cases.end(), direct.begin(), direct.end());
#endif
    for (const request_case &c : cases) {
        SCOPED_TRACE(c.name);
        unit_pair u(c.family, c.family == SYSTEM_TYPE_Vex ? vex : tor);
        ASSERT_NE(u.link, nullptr);
        u.record()->current_port = 3;
        EXPECT_EQ(c.call(u.link), c.rc);
        if (c.text) {
            EXPECT_STREQ(Orwin_get_error_text(), c.text);
        }
        EXPECT_EQ(u.sent(), c.sent) << "requests go out at once";
    }
}

#ifdef ORWIN_EARLIER_BUILD
TEST(Build, RegisterWriteFlushesOnlyWithAutoFlush)
{
    unit_pair u(SYSTEM_TYPE_Vex, {0, Orwin_MODULE_LINK, Orwin_MODULE_ram_rw});
    ASSERT_NE(u.link, nullptr);
    u.record()->auto_flush = 0;
    const uint8_t data[] = {0xAB, 0xCD};
    EXPECT_EQ(ram_io_write_bytes(u.link, 4, 0x0050, data, 2), 0);
    EXPECT_TRUE(u.sent().empty());
    EXPECT_EQ(Orwin_flush(u.link), 0);
    EXPECT_EQ(u.sent(), special({2, 0, 4, 0x00, 0x50, 0x80, 0x02, 0xAB, 0xCD}));
    EXPECT_EQ(ram_io_write_bytes(u.link, -1, 0, data, 1), Error_Parameter_RangeIncorrect);
    EXPECT_EQ(ram_io_write_bytes(u.link, 1, 0, data, -5), Error_Parameter_RangeIncorrect);
    EXPECT_TRUE(u.sent().empty());
}
#endif

// Local binding and the socket environment exist in the full build only;
// an unreachable unit fails alike whichever way the build waits.
TEST(Build, ConnectingToAUnit)
{
    simulator sim;
    struct connect_case {
        const char *name;
        std::string address;
        const char *busy_poll;
        bool opens, earlier_opens;
        int code;
        const char *text;
    } const cases[] = {
        {"plain", loopback(sim.port()), nullptr, true, true, 0, nullptr},
        {"bound to a local address", loopback(sim.port(), "@127.0.0.1"), nullptr, true, false,
         Error_Host_Unresolvable, "Unable to resolve host"},
        {"invalid busy poll", loopback(sim.port()), "-1", false, true, Error_Network,
         "Unable to set busy flag"},
        {"nobody listening", loopback(closed_port()), nullptr, false, false, Error_Host_Unresponsive,
         "Connection not made: Connection refused"},
    };
    for (const connect_case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.busy_poll)
            setenv("ORW_BUSY_POLL", c.busy_poll, 1);
        Orwin link = Orwin_open_flagged(const_cast<char *>(c.address.c_str()), 0, 2000);
        unsetenv("ORW_BUSY_POLL");
        if (earlier ? c.earlier_opens : c.opens) {
            ASSERT_NE(link, nullptr) << Orwin_get_error_text();
            EXPECT_EQ(Orwin_get_number_of_links(link), 8);
            Orwin_close(link);
        } else {
            EXPECT_EQ(link, nullptr);
            EXPECT_EQ(Orwin_get_error(), c.code);
            EXPECT_STREQ(Orwin_get_error_text(), c.text);
        }
    }
}

// A packet sent on link 1 of either family arrives on link 2, read with a
// receive time-out (epoll or select), and an idle link then times out.
TEST(Build, PacketsAndTimeOutsAgainstTheSimulator)
{
    for (family kind : {family::tor, family::vex}) {
        SCOPED_TRACE(kind == family::tor ? "Tor" : "Vex");
        orw::unitsim::config cfg;
        cfg.kind = kind;
        cfg.links = 4;
        simulator sim(cfg);
        std::string address = sim.address();
        Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
        ASSERT_NE(link, nullptr) << Orwin_get_error_text();
        EXPECT_EQ(Orwin_get_number_of_links(link), 4);
        ASSERT_EQ(Orwin_set_active_link(link, 1), 0);
        char text[] = "across the unit";
        ASSERT_EQ(Orwin_write_packet(link, text, sizeof text, Orwin_EOP | Orwin_FLUSH), 0);
        ASSERT_EQ(Orwin_set_rx_timeout(link, 2000), 0);
        uint8_t buffer[256];
        uint32_t type = 0;
        ssize_t n;
        do {
            n = Orwin_read_packet(link, buffer, sizeof buffer, &type);
        } while (n >= 0 && type != Orwin_EOP && type != Orwin_TIMEOUT);
        ASSERT_EQ(type, static_cast<uint32_t>(Orwin_EOP));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), static_cast<size_t>(n)),
                  std::string(text, sizeof text));
        EXPECT_EQ(orw_link(link)->extn_link, 2);

        ASSERT_EQ(Orwin_set_rx_timeout(link, 150), 0);
        for (int action : {Receiver_Timeout_Returns_Zero_Part_Pkt, Receiver_Timeout_Returns_Error}) {
            Orwin_set_rx_timeout_action(link, action);
            const auto start = steady_clock::now();
            n = Orwin_read_packet(link, buffer, sizeof buffer, &type);
            const auto waited = steady_clock::now() - start;
            EXPECT_GE(waited, milliseconds(140));
            EXPECT_LT(waited, milliseconds(1500));
            if (action == Receiver_Timeout_Returns_Error) {
                EXPECT_EQ(n, Error_Receiver_Timeout);
            } else {
                EXPECT_EQ(n, 0);
                EXPECT_EQ(type, static_cast<uint32_t>(Orwin_TIMEOUT));
            }
        }
        Orwin_close(link);
    }
}

#ifdef ORWIN_EARLIER_BUILD
// The earlier builds' Orwin_open waits for the capability reply past the
// full build's five seconds.
TEST(Build, OpenWaitsForTheCapabilityReply)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    std::thread unit([listener] {
        int fd = accept(listener, nullptr, nullptr);
        uint8_t request[2];
        if (recv(fd, request, sizeof request, MSG_WAITALL) == 2) {
            std::this_thread::sleep_for(milliseconds(5300));
            // One slot, the capabilities: a Tor unit with one link.
            const uint8_t reply[] = {0xC3, 0x00, 0x01, 0x00};
            send(fd, reply, sizeof reply, MSG_NOSIGNAL);
            while (recv(fd, request, 1, 0) > 0) {
            }
        }
        close(fd);
    });
    std::string address = loopback(ntohs(a.sin_port));
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    EXPECT_NE(link, nullptr) << Orwin_get_error_text();
    if (link) {
        EXPECT_EQ(Orwin_get_number_of_links(link), 1);
        EXPECT_EQ(Orwin_get_rx_timeout(link), 0);
    }
    Orwin_close(link);
    unit.join();
    close(listener);
}
#endif
