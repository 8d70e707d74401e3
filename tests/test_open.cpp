// Opening, negotiating and closing links, address parsing and error state.
#include "OrwinInternal.h"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

Orwin open_raw(const std::string &address) { return Orwin_connect_raw(const_cast<char *>(address.c_str())); }

} // namespace

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
}

TEST(OpenAddress, ErrorStateIsPerThread)
{
    EXPECT_EQ(open_raw("no-such-host.invalid:1"), nullptr);
    int code_in_other_thread = 1;
    std::thread([&] { code_in_other_thread = Orwin_get_error(); }).join();
    EXPECT_EQ(code_in_other_thread, 0);
    EXPECT_EQ(Orwin_get_error(), Error_Host_Unresolvable);
}

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
    Orwin_set_number_of_links(link, 4);
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
    EXPECT_EQ(Orwin_open_file(const_cast<char *>("/nonexistent/orwin.rec")), nullptr);
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

TEST(Version, HasPlatformWordAndThreeNumbers)
{
    std::string version = Orwin_get_version();
    EXPECT_TRUE(std::regex_match(version, std::regex(R"(\S+ v35\.21\.\d{9,})"))) << version;
}
