// SPDX-License-Identifier: MIT
// Opening, negotiating and closing links, address parsing and error state.
#include "OrwinInternal.h"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using bytes_vec = std::vector<uint8_t>;
using orw::unitsim::config;
using orw::unitsim::family;
using orw::unitsim::simulator;

namespace {

// A TCP listener that accepts and then never answers: a silent unit.
struct silent_peer {
    int listener = -1;
    uint16_t port = 0;
    silent_peer(const char *bind_ip = "127.0.0.1", uint16_t wanted_port = 0)
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(wanted_port);
        inet_pton(AF_INET, bind_ip, &addr.sin_addr);
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(listener, 4) < 0) {
            close(listener);
            listener = -1;
            return;
        }
        socklen_t len = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~silent_peer()
    {
        if (listener >= 0)
            close(listener);
    }
    // Accepts one connection and returns the peer's address.
    std::string accept_peer(int *fd_out = nullptr)
    {
        sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        int fd = accept(listener, reinterpret_cast<sockaddr *>(&peer), &len);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        if (fd_out)
            *fd_out = fd;
        else if (fd >= 0)
            close(fd);
        return text;
    }
};

std::string address_of(uint16_t port, const std::string &suffix = "")
{
    return "127.0.0.1:" + std::to_string(port) + suffix;
}

#ifndef ORWIN_EARLIER_BUILD
Orwin open_raw(const std::string &address)
{
    return Orwin_connect_raw(const_cast<char *>(address.c_str()));
}
#endif

} // namespace

#ifndef ORWIN_EARLIER_BUILD
TEST(OpenAddress, PortAfterColonAndBindingAfterAtSign)
{
    silent_peer peer;
    ASSERT_GE(peer.listener, 0);

    Orwin link = open_raw(address_of(peer.port));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    EXPECT_EQ(peer.accept_peer(), "127.0.0.1");
    Orwin_close(link);

    // A local IPv4 binding chooses the source address of the connection.
    link = open_raw(address_of(peer.port, "@127.0.0.7"));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    EXPECT_EQ(peer.accept_peer(), "127.0.0.7");
    Orwin_close(link);

    // An interface name binds to the device.
    link = open_raw(address_of(peer.port, "@lo"));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    peer.accept_peer();
    Orwin_close(link);
}
#endif

#ifndef ORWIN_EARLIER_BUILD
TEST(OpenAddress, DefaultServiceIs4949)
{
    silent_peer peer("127.0.0.1", 4949);
    if (peer.listener < 0)
        GTEST_SKIP() << "port 4949 is in use";
    Orwin link = open_raw("127.0.0.1");
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    peer.accept_peer();
    Orwin_close(link);
}
#endif

#ifndef ORWIN_EARLIER_BUILD
TEST(OpenAddress, Failures)
{
    silent_peer peer;
    EXPECT_EQ(open_raw(address_of(peer.port, "@1.2.3.4.5.6")), nullptr);
    EXPECT_EQ(Orwin_get_error(), Error_Host_Unresolvable);
    EXPECT_STREQ(Orwin_get_error_text(), "Unable to parse bind address");

    EXPECT_EQ(open_raw("no-such-host.invalid:1"), nullptr);
    EXPECT_EQ(Orwin_get_error(), Error_Host_Unresolvable);
    EXPECT_STREQ(Orwin_get_error_text(), "Unable to resolve host");

    // With ORW_ALLOW_AT the at sign belongs to the host text, which then
    // does not resolve.
    setenv("ORW_ALLOW_AT", "1", 1);
    EXPECT_EQ(open_raw(address_of(peer.port, "@127.0.0.1")), nullptr);
    EXPECT_EQ(Orwin_get_error(), Error_Host_Unresolvable);
    unsetenv("ORW_ALLOW_AT");

    // Nothing listens on a closed listener's port.
    uint16_t closed_port = 0;
    {
        silent_peer gone;
        closed_port = gone.port;
    }
    EXPECT_EQ(open_raw(address_of(closed_port)), nullptr);
    EXPECT_LT(Orwin_get_error(), 0);
    EXPECT_STREQ(Orwin_get_error_text(), "Connection not made: Connection refused");
}
#endif

#ifndef ORWIN_EARLIER_BUILD
TEST(OpenAddress, ErrorStateIsPerThread)
{
    EXPECT_EQ(open_raw("no-such-host.invalid:1"), nullptr);
    int code_in_other_thread = 1;
    std::thread([&] { code_in_other_thread = Orwin_get_error(); }).join();
    EXPECT_EQ(code_in_other_thread, 0);
    EXPECT_EQ(Orwin_get_error(), Error_Host_Unresolvable);
}
#endif

#ifndef ORWIN_EARLIER_BUILD
TEST(Open, SilentUnitTimesOutAfterFiveSeconds)
{
    silent_peer peer;
    auto start = std::chrono::steady_clock::now();
    std::string address = address_of(peer.port);
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(link, nullptr);
    EXPECT_EQ(Orwin_get_error(), Error_Receiver_Timeout);
    EXPECT_STREQ(Orwin_get_error_text(), "timeout");
    EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(8000));
}
#endif

TEST(Open, FlaggedOpenHonoursItsTimeout)
{
    silent_peer peer;
    std::string address = address_of(peer.port);
    Orwin link = Orwin_open_flagged(const_cast<char *>(address.c_str()), 0, 200);
    EXPECT_EQ(link, nullptr);
    EXPECT_EQ(Orwin_get_error(), Error_Receiver_Timeout);
}

TEST(Open, VexCapabilityReplyFillsTheSlotTable)
{
    config cfg;
    cfg.kind = family::vex;
    cfg.links = 4;
    cfg.modules = {0, 5, 21}; // reply 00 03 15 05 00
    cfg.options = "XX SO YY";
    simulator sim(cfg);
    std::string address = sim.address();
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    ORW *record = orw_link(link);
    EXPECT_EQ(Orwin_device_type(link), SYSTEM_TYPE_Vex);
    EXPECT_EQ(record->number_of_slots, 3);
    EXPECT_EQ(record->slot_content[2], 21);
    EXPECT_EQ(record->slot_content[1], 5);
    EXPECT_EQ(record->slot_content[0], 0);
    EXPECT_EQ(record->ram_io, 2);
    EXPECT_EQ(Orwin_get_slot(link, 0), 21); // capability-reply order
    EXPECT_EQ(Orwin_get_module_slot(link, Orwin_MODULE_LINK), 1);
    EXPECT_EQ(Orwin_get_number_of_links(link), 4);
    EXPECT_EQ(Orwin_get_options(link), Option_SO);
    EXPECT_EQ(record->live, 1);
    EXPECT_EQ(Orwin_get_rx_timeout(link), 0);
    EXPECT_EQ(record->rx_timeout_returns_error, 0);
    ASSERT_FALSE(sim.specials_from_clients().empty());
    EXPECT_EQ(sim.specials_from_clients().front(), std::vector<uint8_t>{0x00});
    Orwin_close(link);
}

TEST(Open, TorUnitLearnsLinksFromItsCrModule)
{
    config cfg;
    cfg.kind = family::tor;
    cfg.links = 6;
    simulator sim(cfg);
    std::string address = sim.address();
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    EXPECT_EQ(Orwin_device_type(link), SYSTEM_TYPE_Tor);
    EXPECT_EQ(Orwin_get_number_of_links(link), 6);
    char *options = Orwin_get_options_string(link);
    ASSERT_NE(options, nullptr);
    EXPECT_STREQ(options, "");
    free(options);
    Orwin_close(link);
}

TEST(Close, LiveLinkDisablesEveryLink)
{
    for (family kind : {family::vex, family::tor}) {
        config cfg;
        cfg.kind = kind;
        cfg.links = 3;
        simulator sim(cfg);
        std::string address = sim.address();
        Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
        ASSERT_NE(link, nullptr) << Orwin_get_error_text();
        Orwin_close(link);
        // The simulator sees the connection end once it has parsed everything.
        for (int i = 0; i < 200 && sim.link_mode(3) != LINK_mode_disabled; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int n = 1; n <= 3; ++n)
            EXPECT_EQ(sim.link_mode(n), LINK_mode_disabled) << "link " << n;
    }
}

TEST(Close, AbortedOrUnnegotiatedLinkSendsNothing)
{
    simulator sim;
    std::string address = sim.address();
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    ASSERT_NE(link, nullptr) << Orwin_get_error_text();
    size_t before = sim.received_bytes().size();
    EXPECT_EQ(Orwin_abort(link), 0);
    Orwin_close(link);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim.received_bytes().size(), before);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    link = Orwin_open_as_server(pair[0]);
    ASSERT_NE(link, nullptr);
    orw_link(link)->number_of_links = 4;
    Orwin_system_type(link, SYSTEM_TYPE_Vex);
    Orwin_close(link);
    char byte;
    EXPECT_EQ(read(pair[1], &byte, 1), 0);
    close(pair[1]);
}

TEST(Close, NullHandleIsIgnored)
{
    EXPECT_EQ(Orwin_close(nullptr), nullptr);
    EXPECT_EQ(Orwin_shutdown(nullptr), nullptr);
}

TEST(OpenFile, ReplaysStandardInputAndHonoursSystemType)
{
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const unsigned char stream[] = {0x45, 'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(write(pipefd[1], stream, sizeof stream), static_cast<ssize_t>(sizeof stream));
    close(pipefd[1]);
    int saved_stdin = dup(STDIN_FILENO);
    dup2(pipefd[0], STDIN_FILENO);
    close(pipefd[0]);

    setenv("ORW_SYSTEM_TYPE", "1", 1);
    Orwin link = Orwin_open_file(const_cast<char *>("-"));
    unsetenv("ORW_SYSTEM_TYPE");
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(Orwin_device_type(link), SYSTEM_TYPE_Tor);
    unsigned char buffer[16];
    uint32_t type = 0;
    EXPECT_EQ(Orwin_read_packet(link, buffer, sizeof buffer, &type), 5);
    EXPECT_EQ(type, static_cast<uint32_t>(Orwin_EOP));
    EXPECT_EQ(Orwin_read_packet(link, buffer, sizeof buffer, &type), Error_Receiver_Shutdown);
    Orwin_close(link);
}

TEST(OpenFile, MissingFileGivesNullAndRegularFileIsVex)
{
    // A recording that cannot be opened is named, in the system's words.
    const struct {
        const char *name, *text;
    } missing[] = {
        {"/nonexistent/orwin.rec", "/nonexistent/orwin.rec: No such file or directory"},
        {"-/etc/passwd/orwin.rec", "/etc/passwd/orwin.rec: Not a directory"},
    };
    for (const auto &m : missing) {
        EXPECT_EQ(Orwin_open_file(const_cast<char *>(m.name)), nullptr);
        EXPECT_EQ(Orwin_get_error(), Error_File_Not_Present);
        ASSERT_NE(Orwin_get_error_text(), nullptr);
        EXPECT_STREQ(Orwin_get_error_text(), m.text);
        EXPECT_EQ(Orwin_open_flagged(const_cast<char *>(m.name), CONNECT_FILE, 0), nullptr);
        EXPECT_STREQ(Orwin_get_error_text(), m.text);
    }
    char name[] = "/tmp/orwin-open-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "\x40", 1), 1);
    close(fd);
    Orwin link = Orwin_open_file(name);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(Orwin_device_type(link), SYSTEM_TYPE_Vex);
    EXPECT_EQ(orw_link(link)->filesize, 1u);
    Orwin_close(link);
    unlink(name);
}

#ifndef ORWIN_EARLIER_BUILD
TEST(Version, HasPlatformWordAndThreeNumbers)
{
    std::string version = Orwin_get_version();
    EXPECT_TRUE(std::regex_match(version, std::regex(R"(\S+ v35\.21\.\d{9,})"))) << version;
}
#endif

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A unit played by the test over TCP: it accepts one connection and runs
// `behave` on its own thread. `going()` turns false when the test ends or
// `cap` has passed; the connection is then closed, so a library call that
// hangs on it returns and the test fails on its timing instead of hanging.
struct hostile_unit {
    using behaviour = std::function<void(int fd, const std::function<bool()> &going)>;
    silent_peer peer;
    std::atomic<bool> stop{false};
    std::thread thread;
    hostile_unit(behaviour behave, milliseconds cap)
    {
        const auto until = steady_clock::now() + cap;
        thread = std::thread([this, behave, until] {
            int fd = -1;
            peer.accept_peer(&fd);
            if (fd < 0)
                return;
            behave(fd, [this, until] { return !stop && steady_clock::now() < until; });
            close(fd);
        });
    }
    ~hostile_unit()
    {
        stop = true;
        // Unblocks an accept that never got its connection.
        shutdown(peer.listener, SHUT_RDWR);
        thread.join();
    }
    std::string address() const { return address_of(peer.port); }
};

// Send `chunk` again and again without ever blocking for long.
void flood(int fd, const bytes_vec &chunk, const std::function<bool()> &going)
{
    while (going()) {
        ssize_t k = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        if (k < 0)
            usleep(1000);
    }
}

bytes_vec repeated(const bytes_vec &unit, size_t times)
{
    bytes_vec out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

void idle(const std::function<bool()> &going)
{
    while (going())
        usleep(5000);
}

} // namespace

// Negotiation ends at its deadline whatever the unit sends meanwhile.
TEST(Open, NegotiationHasADeadlineWhateverTheUnitSends)
{
    struct unit_case {
        const char *name;
        int timeout_ms; // 0: Orwin_open and its 5 s
        hostile_unit::behaviour behave;
    };
#ifdef ORWIN_EARLIER_BUILD
    // The earlier builds' Orwin_open waits for ever; their flagged open does not.
    constexpr int open_timeout = 600;
#else
    constexpr int open_timeout = 0;
#endif
    const unit_case cases[] = {
        {"extension flood", open_timeout,
         [](int fd, const std::function<bool()> &g) {
             flood(fd, repeated({0xC0, 0x03}, 32768), g);
         }},
        {"endless data frames", 600,
         [](int fd, const std::function<bool()> &g) {
             flood(fd, repeated({0x45, 'a', 'b', 'c', 'd', 'e'}, 8192), g);
         }},
        {"specials that are not the reply", 600,
         [](int fd, const std::function<bool()> &g) {
             flood(fd, repeated({0xC3, 0x05, 0x01, 0x02}, 8192), g);
         }},
        {"16 MiB announced, then a stall", 600,
         [](int fd, const std::function<bool()> &g) {
             const uint8_t header[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00};
             send(fd, header, sizeof header, MSG_NOSIGNAL);
             idle(g);
         }},
        {"a byte now and then", 600,
         [](int fd, const std::function<bool()> &g) {
             const uint8_t filler = 0x00;
             while (g() && send(fd, &filler, 1, MSG_NOSIGNAL) == 1)
                 usleep(400000);
         }},
    };
    for (const unit_case &c : cases) {
        SCOPED_TRACE(c.name);
        const int deadline = c.timeout_ms ? c.timeout_ms : 5000;
        hostile_unit unit(c.behave, milliseconds(deadline + 4000));
        std::string address = unit.address();
        const auto start = steady_clock::now();
        Orwin link = c.timeout_ms ? Orwin_open_flagged(const_cast<char *>(address.c_str()), 0, c.timeout_ms)
                                  : Orwin_open(const_cast<char *>(address.c_str()));
        const auto elapsed = steady_clock::now() - start;
        EXPECT_EQ(link, nullptr);
        EXPECT_EQ(Orwin_get_error(), Error_Receiver_Timeout);
        EXPECT_STREQ(Orwin_get_error_text(), "timeout");
        EXPECT_GE(elapsed, milliseconds(deadline - 50));
        EXPECT_LT(elapsed, milliseconds(deadline + 1000));
        if (link)
            Orwin_shutdown(link);
    }
}

#ifndef ORWIN_EARLIER_BUILD
// Closing a live link whose unit has stopped reading ends within about a
// second, in blocking and non-blocking mode, orderly or not.
TEST(Close, UnitThatStopsReadingCannotHoldTheClose)
{
    struct close_case {
        const char *name;
        bool nonblocking;
        void *(*close)(Orwin);
    };
    const close_case cases[] = {
        {"close, blocking", false, Orwin_close},
        {"close, non-blocking", true, Orwin_close},
        {"shutdown, blocking", false, Orwin_shutdown},
    };
    for (const close_case &c : cases) {
        SCOPED_TRACE(c.name);
        // Answers the capability request (Tor, a LINK module, one link), then
        // never reads again.
        hostile_unit unit(
            [](int fd, const std::function<bool()> &g) {
                uint8_t request[2];
                if (recv(fd, request, sizeof request, MSG_WAITALL) != 2)
                    return;
                const uint8_t reply[] = {0xC4, 0x00, 0x02, Orwin_MODULE_LINK, 0x00};
                send(fd, reply, sizeof reply, MSG_NOSIGNAL);
                idle(g);
            },
            milliseconds(8000));
        std::string address = unit.address();
        Orwin link = Orwin_open_flagged(const_cast<char *>(address.c_str()), 0, 2000);
        ASSERT_NE(link, nullptr) << Orwin_get_error_text();
        ASSERT_EQ(Orwin_Non_Blocking(link, 1), 0);
        bytes_vec packet(60000, 0x55);
        int rc = 0;
        for (int i = 0; i < 100000 && rc == 0; ++i) {
            rc = Orwin_write_packet(link, packet.data(), packet.size(), Orwin_EOP);
            if (rc == 0)
                rc = Orwin_flush(link);
        }
        ASSERT_EQ(rc, Error_Would_Block) << "the unit's side is full";
        if (!c.nonblocking) {
            ASSERT_EQ(Orwin_Non_Blocking(link, 0), 0);
        }
        const auto start = steady_clock::now();
        c.close(link);
        EXPECT_LT(steady_clock::now() - start, milliseconds(2500));
    }
}
#endif

// Closing leaves the caller's error state exactly as it was, "no error"
// included, even when the link-disable commands fail.
TEST(Close, ErrorStateIsLeftAsItWas)
{
    for (bool had_error : {false, true}) {
        SCOPED_TRACE(had_error);
        std::thread([had_error] {
            int pair[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            Orwin link = Orwin_open_as_server(pair[0]);
            ASSERT_NE(link, nullptr);
            Orwin_system_type(link, SYSTEM_TYPE_Vex);
            Orwin_set_slot(link, 2, Orwin_MODULE_ram_rw);
            orw_link(link)->number_of_links = 2;
            orw_link(link)->live = 1;
            close(pair[1]); // every command of the close fails
            uint8_t byte;
            if (had_error)
                Orwin_read_packet(link, &byte, 0, nullptr);
            const int code = Orwin_get_error();
            const char *text = Orwin_get_error_text();
            Orwin_close(link);
            EXPECT_EQ(Orwin_get_error(), code);
            EXPECT_EQ(Orwin_get_error_text(), text);
            EXPECT_EQ(code, had_error ? Error_Zero_Read : 0);
        }).join();
    }
}
