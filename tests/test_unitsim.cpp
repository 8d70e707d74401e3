// SPDX-License-Identifier: MIT
// The unit simulator, driven through plain sockets with hand-written byte
// streams, so that it stays an independent reference for the library.
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using orw::unitsim::config;
using orw::unitsim::family;
using orw::unitsim::simulator;
using bytes = std::vector<uint8_t>;

namespace {

class client {
  public:
    explicit client(const simulator &sim) : client(sim.port()) {}
    explicit client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        // Each send() leaves as its own segment, so the simulator sees the splits.
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~client()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const bytes &b) const
    {
        ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // Up to n bytes; fewer when nothing more arrives within timeout_ms.
    bytes read(size_t n, int timeout_ms = 3000) const
    {
        bytes got(n);
        size_t have = 0;
        while (have < n) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0)
                break;
            ssize_t k = recv(fd_, got.data() + have, n - have, 0);
            if (k <= 0)
                break;
            have += size_t(k);
        }
        got.resize(have);
        return got;
    }
    // Sends a request and returns exactly as many bytes as the expected answer.
    bytes ask(const bytes &request, size_t answer_size, int timeout_ms = 3000) const
    {
        send(request);
        return read(answer_size, timeout_ms);
    }
    bool closed_by_peer() const
    {
        pollfd p = {fd_, POLLIN, 0};
        char c;
        return poll(&p, 1, 3000) == 1 && recv(fd_, &c, 1, 0) == 0;
    }

  private:
    int fd_ = -1;
};

config with(family kind, int links = 4)
{
    config cfg;
    cfg.kind = kind;
    cfg.links = links;
    return cfg;
}

bytes text(const std::string &s)
{
    return bytes(s.begin(), s.end());
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

TEST(UnitSim, CapabilityReplyListsSlotsHighestFirst)
{
    struct {
        family kind;
        bytes reply;
    } cases[] = {
        {family::vex, {0xC5, 0x00, 0x03, 0x15, 0x05, 0x00}},
        {family::tor, {0xCC, 0x00, 0x0A, 0x09, 0x08, 0x07, 0x0E, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00}},
    };
    for (const auto &c : cases) {
        simulator sim(with(c.kind));
        client cl(sim);
        ASSERT_TRUE(cl.ok());
        EXPECT_EQ(cl.ask({0xC1, 0x00}, c.reply.size() + 1, 300), c.reply) << "nothing else may follow";
    }
}

TEST(UnitSim, VexRegistersReadAndWrite)
{
    simulator sim(with(family::vex, 4));
    client cl(sim);
    // Number of links: [ram_io 2, tag 0, link 1, 8F FF, count 1].
    EXPECT_EQ(cl.ask({0xC7, 2, 0, 1, 0x8F, 0xFF, 0, 1}, 7), (bytes{0xC6, 2, 0, 1, 0x8F, 0xFF, 4}));
    // Hardware address, and a register nobody set reads as zeros.
    EXPECT_EQ(cl.ask({0xC7, 2, 7, 3, 0x88, 0x00, 0, 6}, 12),
              (bytes{0xCB, 2, 7, 3, 0x88, 0x00, 0x00, 0x50, 0xC2, 0x21, 0x20, 0x05}));
    EXPECT_EQ(cl.ask({0xC7, 2, 0, 1, 0x40, 0x00, 0, 3}, 9), (bytes{0xC8, 2, 0, 1, 0x40, 0x00, 0, 0, 0}));
    // Options: 32 bytes, zero padded.
    bytes options = cl.ask({0xC7, 2, 0, 1, 0x8F, 0x60, 0, 32}, 38);
    ASSERT_EQ(options.size(), 38u);
    EXPECT_EQ(bytes(options.begin(), options.begin() + 8), (bytes{0xE5, 2, 0, 1, 0x8F, 0x60, 'S', 'O'}));
    EXPECT_EQ(options[8], 0);
    EXPECT_EQ(options.back(), 0);

    // Link 1 is wired to link 2 and runs: state 5, buffer empty, 100 Mbit/s.
    const bytes status_1 = {0xC7, 2, 5, 1, 0x00, 0x00, 0, 4};
    EXPECT_EQ(cl.ask(status_1, 10), (bytes{0xC9, 2, 5, 1, 0, 0, 0x58, 0xA0, 0x64, 0}));
    // Disabling link 1 stops it; its receive speed then reads 0.
    cl.send({0xC8, 2, 0, 1, 0x00, 0x00, 0x80, 0x01, 0x01});
    EXPECT_EQ(cl.ask(status_1, 10), (bytes{0xC9, 2, 5, 1, 0, 0, 0x08, 0, 0, 0}));
    EXPECT_EQ(sim.link_mode(1), 1);
    EXPECT_EQ(sim.link_mode(2), 0);
    // Link 2 transmits at 2 Mbit/s; link 1, enabled again, receives at that speed.
    cl.send({0xC9, 2, 0, 2, 0x87, 0xFD, 0x80, 0x02, 0x98, 0xC8});
    cl.send({0xC8, 2, 0, 1, 0x00, 0x00, 0x80, 0x01, 0x02});
    EXPECT_EQ(cl.ask({0xC7, 2, 4, 2, 0x87, 0xFD, 0, 2}, 8), (bytes{0xC7, 2, 4, 2, 0x87, 0xFD, 0x98, 0xC8}));
    EXPECT_EQ(cl.ask(status_1, 10), (bytes{0xC9, 2, 5, 1, 0, 0, 0x58, 0x98, 0xC8, 0}));
    EXPECT_EQ(sim.link_speed_code(2), 0x98C8);
    EXPECT_EQ(sim.link_speed_code(1), 0);
    EXPECT_EQ(sim.link_mode(1), 2);
    // Link selection by extension.
    // Link selection by extension; the answer to the next request shows it was seen.
    cl.send({0xC0, 0x43});
    EXPECT_EQ(cl.ask({0xC7, 2, 0, 1, 0x8F, 0xFF, 0, 1}, 7), (bytes{0xC6, 2, 0, 1, 0x8F, 0xFF, 4}));
    EXPECT_EQ(sim.current_link(), 3);
}

TEST(UnitSim, TorModulesAnswerBySlot)
{
    config cfg = with(family::tor, 6);
    cfg.manufacturer = "Abc";
    simulator sim(cfg);
    client cl(sim);
    EXPECT_EQ(cl.ask({0xC1, 6}, 4), (bytes{0xC3, 6, 0, 6}));                                  // CR: links
    EXPECT_EQ(cl.ask({0xC1, 1}, 9), (bytes{0xC8, 1, 3, 0, 'A', 0, 'b', 0, 'c'}));             // manufacturer
    EXPECT_EQ(cl.ask({0xC1, 3}, 9), (bytes{0xC8, 3, 0, 0x00, 0x50, 0xC2, 0x21, 0x20, 0x05})); // HWA
    EXPECT_EQ(cl.ask({0xC1, 5}, 5), (bytes{0xC4, 5, 0x58, 0xA0, 0x64}));                      // LINK, link 1
    EXPECT_EQ(cl.ask({0xC1, 4}, 5), (bytes{0xC4, 4, 0, 0xA0, 0x64}));                         // LINK_SPEED
    // Select link 3 through CR, disable it, set its speed.
    cl.send({0xC2, 6, 3, 0xC2, 5, 1, 0xC3, 4, 0x98, 0xC8});
    EXPECT_EQ(cl.ask({0xC1, 5}, 5), (bytes{0xC4, 5, 0x08, 0, 0}));
    EXPECT_EQ(cl.ask({0xC1, 4}, 5), (bytes{0xC4, 4, 0, 0x98, 0xC8}));
    EXPECT_EQ(sim.current_link(), 3);
    EXPECT_EQ(sim.link_mode(3), 1);
    EXPECT_EQ(sim.link_speed_code(3), 0x98C8);
    // A timetag module setting is kept but not answered; a link-select
    // extension means nothing to this family.
    cl.send({0xC2, 7, 4, 0xC0, 0x45});
    EXPECT_EQ(cl.ask({0xC1, 6}, 4), (bytes{0xC3, 6, 0, 6}));
    EXPECT_EQ(sim.current_link(), 3);
    EXPECT_EQ(sim.specials_from_clients().at(10), (bytes{7, 4}));
}

TEST(UnitSim, PacketReachesEveryClientOnTheWiredLink)
{
    simulator sim(with(family::vex, 4));
    client a(sim), b(sim);
    ASSERT_TRUE(sim.wait_for_clients(2, 3000));
    a.send(cat({{0xC0, 0x43}, {0x45}, text("hello")}));
    const bytes expected = cat({{0xC0, 0x44, 0x45}, text("hello")});
    EXPECT_EQ(a.read(expected.size()), expected);
    EXPECT_EQ(b.read(expected.size()), expected);
    auto packets = sim.packets_from_clients();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].link, 3);
    EXPECT_EQ(packets[0].data, text("hello"));
    EXPECT_FALSE(packets[0].eep);

    // The delivered frames use the shortest length form.
    struct {
        size_t size;
        bool eep;
        bytes header;
    } forms[] = {
        {0, false, {0x40}},
        {60, false, {0x7C}},
        {61, false, {0x7D, 0x3D}},
        {300, true, {0xBE, 0x01, 0x2C}},
        {70000, false, {0x7F, 0x01, 0x11, 0x70}},
    };
    for (const auto &f : forms) {
        bytes payload(f.size);
        for (size_t i = 0; i < f.size; ++i)
            payload[i] = uint8_t(i * 7);
        // Sent from link 2 as partial frames of one byte each where possible.
        bytes stream = {0xC0, 0x42};
        for (size_t i = 0; i + 1 < f.size && i < 20; ++i)
            stream.insert(stream.end(), {0x01, payload[i]});
        size_t rest = f.size > 20 ? f.size - 20 : (f.size > 0 ? 1 : 0);
        stream.insert(stream.end(),
                      {uint8_t(f.eep ? 0xBF : 0x7F), uint8_t(rest >> 16), uint8_t(rest >> 8), uint8_t(rest)});
        stream.insert(stream.end(), payload.end() - long(rest), payload.end());
        b.send(stream);
        const bytes want = cat({{0xC0, 0x41}, f.header, payload});
        EXPECT_EQ(b.read(want.size()), want) << f.size;
        EXPECT_EQ(a.read(want.size()), want) << f.size;
    }
}

TEST(UnitSim, ParsesEveryFrameFormEvenOneByteAtATime)
{
    const bytes stream = cat({
        {0x45},
        text("abcde"), // short EOP
        {0x00, 0x00, 0x02},
        text("ab"),
        {0x41, 'c'}, // filler, partial frames joined
        {0x7D, 0x03},
        text("xyz"), // one length byte
        {0xBE, 0x00, 0x02},
        text("pq"),                                 // two length bytes, EEP
        {0x7F, 0x00, 0x00, 0x01, 'z'},              // three length bytes
        {0x40, 0x80},                               // empty EOP, empty EEP
        {0x01, 'a', 0x7D, 0x00},                    // zero length in a length byte still ends the packet
        {0xC0, 0x91, 0x2A, 0xC0, 0x05, 0xC0, 0x80}, // extensions of 2, 1 and 1 bytes
        {0xC0, 0x88, 1, 2, 3, 4, 5, 6, 7, 8},       // extension of 9 bytes
        {0xC3, 0x01, 0x02, 0x03},                   // special to slot 1
        {0xFD, 0x02, 0x01, 0x09},                   // special with a length byte
    });
    const std::vector<std::pair<bytes, bool>> packets = {
        {text("abcde"), false}, {text("abc"), false}, {text("xyz"), false}, {text("pq"), true},
        {text("z"), false},     {{}, false},          {{}, true},           {text("a"), false},
    };
    const std::vector<bytes> extensions = {{0x91, 0x2A}, {0x05}, {0x80}, {0x88, 1, 2, 3, 4, 5, 6, 7, 8}};
    const std::vector<bytes> specials = {{1, 2, 3}, {1, 9}};

    for (bool bytewise : {false, true}) {
        simulator sim(with(family::vex, 1)); // one unwired link: nothing comes back
        client cl(sim);
        if (bytewise) {
            for (uint8_t byte : stream) {
                cl.send({byte});
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        } else {
            cl.send(stream);
        }
        ASSERT_TRUE(sim.wait_for_bytes(stream.size(), 3000));
        EXPECT_EQ(sim.received_bytes(), stream);
        auto got = sim.packets_from_clients();
        ASSERT_EQ(got.size(), packets.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].data, packets[i].first) << i;
            EXPECT_EQ(got[i].eep, packets[i].second) << i;
            EXPECT_EQ(got[i].link, 1);
        }
        EXPECT_EQ(sim.extensions_from_clients(), extensions);
        EXPECT_EQ(sim.specials_from_clients(), specials);
    }
}

TEST(UnitSim, StreamSplitsPacketsLongerThanOneFrame)
{
    simulator sim;
    client cl(sim);
    ASSERT_TRUE(sim.wait_for_clients(1, 3000));
    const size_t size = 0xFFFFFF + 5;
    std::thread sender([&] { sim.stream(3, size, 1); });
    bytes got = cl.read(2 + 4 + 0xFFFFFF + 1 + 5);
    sender.join();
    ASSERT_EQ(got.size(), 2 + 4 + 0xFFFFFF + 1 + 5u);
    EXPECT_EQ(bytes(got.begin(), got.begin() + 6), (bytes{0xC0, 0x43, 0x3F, 0xFF, 0xFF, 0xFF}));
    const size_t second = 6 + 0xFFFFFF;
    EXPECT_EQ(got[second - 1], uint8_t((0xFFFFFF - 1) & 0xFF));
    EXPECT_EQ(bytes(got.begin() + second, got.end()), (bytes{0x45, 0xFF, 0x00, 0x01, 0x02, 0x03}));
}

TEST(UnitSim, SilenceInjectionAndDroppedConnections)
{
    simulator sim;
    client cl(sim);
    sim.set_silent(true);
    cl.send({0xC1, 0x00});
    ASSERT_TRUE(sim.wait_for_bytes(2, 3000));
    EXPECT_TRUE(cl.read(1, 200).empty());
    EXPECT_TRUE(sim.specials_from_clients().empty());
    sim.set_silent(false);
    EXPECT_EQ(cl.ask({0xC1, 0x00}, 6), (bytes{0xC5, 0x00, 0x03, 0x15, 0x05, 0x00}));

    sim.inject({0xDE, 0xAD, 0x00});
    EXPECT_EQ(cl.read(3), (bytes{0xDE, 0xAD, 0x00}));
    sim.drop_connections();
    EXPECT_TRUE(cl.closed_by_peer());
    EXPECT_FALSE(sim.wait_for_clients(1, 50));
}

TEST(UnitSim, SurvivesGarbage)
{
    simulator sim(with(family::vex, 8));
    std::mt19937 random(1234);
    {
        std::vector<std::unique_ptr<client>> clients;
        size_t sent = 0;
        for (int c = 0; c < 3; ++c) {
            clients.push_back(std::make_unique<client>(sim));
            bytes junk(100000);
            for (uint8_t &b : junk)
                b = uint8_t(random());
            clients.back()->send(junk);
            sent += junk.size();
        }
        // Frames that promise far more than ever arrives, then the client leaves.
        clients.front()->send({0x3F, 0xFF, 0xFF, 0xFF, 1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF});
        sent += 11;
        ASSERT_TRUE(sim.wait_for_bytes(sent, 5000));
    }
    client fresh(sim);
    EXPECT_EQ(fresh.ask({0xC1, 0x00}, 6), (bytes{0xC5, 0x00, 0x03, 0x15, 0x05, 0x00}));
}

TEST(UnitSim, RejectsUnusableConfigurations)
{
    config bad_links = with(family::vex, 31);
    EXPECT_THROW(simulator{bad_links}, std::runtime_error);
    config bad_wire = with(family::vex, 4);
    bad_wire.wiring[1] = 5;
    EXPECT_THROW(simulator{bad_wire}, std::runtime_error);
    config bad_bind;
    bad_bind.bind_address = "not-an-address";
    EXPECT_THROW(simulator{bad_bind}, std::runtime_error);
}

TEST(UnitSim, VexRegisterSettingsKeptPerLink)
{
    simulator sim(with(family::vex, 4));
    client cl(sim);
    // [ram_io 2, tag 0, link, address hi, lo, 0x80 | count hi, count lo, data...]
    cl.send(cat({
        {0xC9, 2, 0, 2, 0x00, 0x30, 0x80, 0x02, 0x01, 0x00}, // timetag reporting, link 2
        {0xC9, 2, 0, 3, 0x00, 0x30, 0x80, 0x02, 0x81, 0x00}, // the same register, link 3
        {0xC8, 2, 0, 3, 0x00, 0x50, 0x80, 0x01, 0x13},       // flow control, link 3
        {0xC8, 2, 0, 4, 0x10, 0x00, 0x80, 0x01, 0x00},       // waveform reset, link 4
        {0xC9, 2, 0, 1, 0x90, 0x00, 0x80, 0x02, 0xAB, 0xCD}, // a unit-wide register
        {0xC8, 2, 0, 9, 0x00, 0x30, 0x80, 0x01, 0x77},       // a link the unit lacks
    }));
    // A read behind the writes proves they were all handled.
    EXPECT_EQ(cl.ask({0xC7, 2, 0, 1, 0x8F, 0xFF, 0, 1}, 7), (bytes{0xC6, 2, 0, 1, 0x8F, 0xFF, 4}));

    EXPECT_EQ(sim.register_bytes(2, 0x30, 2), (bytes{0x01, 0x00}));
    EXPECT_EQ(sim.register_bytes(3, 0x30, 2), (bytes{0x81, 0x00}));
    EXPECT_EQ(sim.register_bytes(1, 0x30, 2), (bytes{0x00, 0x00}));
    EXPECT_EQ(sim.register_bytes(3, 0x50, 1), (bytes{0x13}));
    EXPECT_EQ(sim.register_bytes(2, 0x50, 1), (bytes{0x00}));
    EXPECT_EQ(sim.register_bytes(4, 0x1000, 1), (bytes{0x00}));
    // Unit-wide registers ignore the link; the transmit speed is per link.
    EXPECT_EQ(sim.register_bytes(1, 0x9000, 2), (bytes{0xAB, 0xCD}));
    EXPECT_EQ(sim.register_bytes(4, 0x9000, 2), (bytes{0xAB, 0xCD}));
    EXPECT_EQ(sim.register_bytes(3, 0x87FD, 2), (bytes{0xA0, 0x64}));
    // What the unit does not hold reads as zeros, never beyond its space.
    EXPECT_EQ(sim.register_bytes(9, 0x30, 1), (bytes{0x00}));
    EXPECT_EQ(sim.register_bytes(1, 0xFFFF, 3), (bytes{0x00, 0x00, 0x00}));
    EXPECT_EQ(sim.register_bytes(1, -1, 2), (bytes{0x00, 0x00}));
}

TEST(UnitSim, TorModuleSettingsKeptPerCurrentLink)
{
    simulator sim(with(family::tor, 4)); // slots: 4 LINK_SPEED, 5 LINK, 6 CR, 7 TT, 8 ER
    client cl(sim);
    cl.send(cat({
        {0xC2, 7, 0x04},       // TT on link 1
        {0xC2, 6, 3},          // select link 3
        {0xC2, 7, 0x40},       // TT on link 3
        {0xC2, 8, 0x08},       // ER on link 3
        {0xC3, 4, 0x98, 0xC8}, // speed on link 3
        {0xC1, 7},             // a request is not a setting
    }));
    EXPECT_EQ(cl.ask({0xC1, 6}, 4), (bytes{0xC3, 6, 0, 4}));
    using orw::unitsim::module_er;
    using orw::unitsim::module_link_speed;
    using orw::unitsim::module_tt;
    EXPECT_EQ(sim.module_setting(1, module_tt), (bytes{0x04}));
    EXPECT_EQ(sim.module_setting(3, module_tt), (bytes{0x40}));
    EXPECT_EQ(sim.module_setting(3, module_er), (bytes{0x08}));
    EXPECT_TRUE(sim.module_setting(1, module_er).empty());
    EXPECT_TRUE(sim.module_setting(2, module_tt).empty());
    EXPECT_EQ(sim.module_setting(3, module_link_speed), (bytes{0x98, 0xC8}));
    EXPECT_EQ(sim.link_speed_code(3), 0x98C8);

    // An oversized setting keeps only its start.
    bytes big = {0xFE, 0x03, 0xE9, 8};
    big.resize(4 + 1000, 0x5A);
    cl.send(big);
    EXPECT_EQ(cl.ask({0xC1, 6}, 4), (bytes{0xC3, 6, 0, 4}));
    EXPECT_EQ(sim.module_setting(3, module_er), bytes(256, 0x5A));
}

TEST(UnitSim, EmittedEventsReachEveryClientByteExact)
{
    config cfg = with(family::vex, 4);
    cfg.modules = {0, 5, 21, 22}; // barrier module in slot 3
    simulator sim(cfg);
    client a(sim), b(sim);
    ASSERT_TRUE(sim.wait_for_clients(2, 3000));
    orw::unitsim::calendar date;
    date.year = 2026;
    date.month = 12;
    date.day = 7;
    date.hour = 21;
    date.minute = 30;
    date.second = 5;
    date.daylight_saving = true;

    struct {
        const char *what;
        std::function<void()> emit;
        bytes expected;
    } cases[] = {
        {"timetag, bits above 58 dropped",
         [&] { sim.emit_timetag(3, 0xF800000000002710ull | (7ull << 56)); },
         {0xC0, 0x43, 0xC0, 0x88, 0x07, 0, 0, 0, 0, 0, 0x27, 0x10}},
        {"increment", [&] { sim.emit_timetag_delta(2, 0x0110); }, {0xC0, 0x42, 0xC0, 0x82, 0x01, 0x10}},
        {"uncertainty", [&] { sim.emit_uncertainty(9); }, {0xC0, 0x81, 0x09}},
        {"time zero",
         [&] { sim.emit_time_zero(0x0102030405060708ull); },
         {0xC0, 0x98, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
        {"date", [&] { sim.emit_date(date); }, {0xC0, 0xC8, 0x07, 0xEA, 12, 7, 21, 30, 5, 1}},
        {"recording header",
         [&] { sim.emit_recording_header(2, 0x0000000065A0B0C0ull, 123456789); },
         {0xC0, 0xCE, 0x00, 0x02, 0, 0, 0, 0, 0x65, 0xA0, 0xB0, 0xC0, 0x07, 0x5B, 0xCD, 0x15}},
        {"time-code", [&] { sim.emit_timecode(1, 0x85); }, {0xC0, 0x41, 0xC0, 0x91, 0x85}},
        {"parity error",
         [&] { sim.emit_event(4, orw::unitsim::event_parity_error); },
         {0xC0, 0x44, 0xC0, 0x09}},
        {"FCT", [&] { sim.emit_event(2, orw::unitsim::event_fct); }, {0xC0, 0x42, 0xC0, 0x00}},
        {"link select", [&] { sim.emit_link_select(63); }, {0xC0, 0x7F}},
        {"barrier",
         [&] { EXPECT_TRUE(sim.emit_barrier(0x1122334455667788ull)); },
         {0xC9, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
    };
    for (const auto &c : cases) {
        c.emit();
        EXPECT_EQ(a.read(c.expected.size()), c.expected) << c.what;
        EXPECT_EQ(b.read(c.expected.size()), c.expected) << c.what;
    }

    // Nothing that would break the stream's framing is ever sent.
    EXPECT_THROW(sim.emit_event(1, 0x88), std::invalid_argument);
    EXPECT_THROW(sim.emit_link_select(64), std::invalid_argument);
    EXPECT_THROW(sim.emit_timetag(-1, 1), std::invalid_argument);
    EXPECT_THROW(sim.emit_recording_header(256, 0, 0), std::invalid_argument);
    simulator plain(with(family::vex, 4));
    client c(plain);
    ASSERT_TRUE(plain.wait_for_clients(1, 3000));
    EXPECT_FALSE(plain.emit_barrier(1)) << "no barrier module";
    sim.emit_link_select(1);
    plain.emit_link_select(2);
    EXPECT_EQ(a.read(3, 200), (bytes{0xC0, 0x41}));
    EXPECT_EQ(c.read(3, 200), (bytes{0xC0, 0x42}));
}

TEST(UnitSim, WaveformAnswersItsRequestPerLink)
{
    simulator sim(with(family::vex, 4));
    client cl(sim);
    orw::unitsim::waveform_config w;
    w.event_byte = 0x43;
    w.unit = 0x0102;
    w.error_index = 0x01F4;
    w.timetag = 0x1122334455667788ull;
    for (int i = 0; i < 2048; ++i)
        w.samples.push_back(uint8_t(i * 13));
    sim.set_waveform(3, w);

    // [ram_io, 0, port, 0x10, 0x00, 0x08, 0x16]: 2,070 bytes from 0x1000.
    const bytes request = {0xC7, 2, 0, 3, 0x10, 0x00, 0x08, 0x16};
    bytes got = cl.ask(request, 3 + 2075 + 1, 500);
    ASSERT_EQ(got.size(), 3 + 2075u) << "one special of 2,075 bytes and nothing more";
    EXPECT_EQ(bytes(got.begin(), got.begin() + 8), (bytes{0xFE, 0x08, 0x1B, 2, 0, 3, 0x10, 0x00}));
    bytes record(got.begin() + 3, got.end());
    EXPECT_EQ(bytes(record.begin() + 5, record.begin() + 5 + 2048), w.samples);
    EXPECT_EQ(record[2056], 0x43);
    EXPECT_EQ(bytes(record.begin() + 2057, record.begin() + 2059), (bytes{0x01, 0x02}));
    EXPECT_EQ(bytes(record.begin() + 2059, record.begin() + 2067),
              (bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(bytes(record.begin() + 2067, record.begin() + 2069), (bytes{0x01, 0xF4}));

    // Another link holds no waveform; a shorter body is zero padded.
    bytes other = cl.ask({0xC7, 2, 0, 1, 0x10, 0x00, 0x08, 0x16}, 3 + 2075);
    ASSERT_EQ(other.size(), 3 + 2075u);
    EXPECT_EQ(other[3 + 2056], 0);
    w.samples = {9, 9, 9};
    sim.set_waveform(3, w);
    got = cl.ask(request, 3 + 2075);
    ASSERT_EQ(got.size(), 3 + 2075u);
    EXPECT_EQ(bytes(got.begin() + 8, got.begin() + 12), (bytes{9, 9, 9, 0}));

    w.samples.assign(2049, 0);
    EXPECT_THROW(sim.set_waveform(3, w), std::invalid_argument);
    w.samples.clear();
    EXPECT_THROW(sim.set_waveform(5, w), std::invalid_argument);
}

namespace {

// The simulator executable, run with `args`; its first line of output names
// the port it listens on.
class unitsim_process {
  public:
    explicit unitsim_process(std::vector<std::string> args)
    {
        args.insert(args.begin(), ORWIN_UNITSIM_PATH);
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            int quiet = open("/dev/null", O_WRONLY); // usage texts of the refusals
            if (quiet >= 0)
                dup2(quiet, 2);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~unitsim_process()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    // The port from "... listening on ADDR:PORT", or 0.
    uint16_t port()
    {
        std::string line;
        char c;
        pollfd p = {out_, POLLIN, 0};
        while (line.size() < 200 && poll(&p, 1, 5000) == 1 && read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        size_t colon = line.rfind(':');
        return colon == std::string::npos ? 0 : uint16_t(std::stoul(line.substr(colon + 1)));
    }
    // Exit status after SIGTERM (or on its own), -1 if it did not end normally.
    int stop()
    {
        kill(pid_, SIGTERM);
        return wait_exit();
    }
    int wait_exit()
    {
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status))
            return status_ = -1, -1;
        return status_ = WEXITSTATUS(status);
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
};

} // namespace

TEST(UnitSim, CommandLineModulesHardwareAddressAndSchedule)
{
    unitsim_process unit({"--port", "0", "--links", "2", "--modules", "0,5,21,22", "--hwa",
                          "00:50:c2:21:2F:A0", "--emit-every", "20", "--emit", "timetag", "--emit",
                          "timecode"});
    uint16_t port = unit.port();
    ASSERT_NE(port, 0);
    client cl(port);
    ASSERT_TRUE(cl.ok());
    // The first period may already be on its way: look for the replies
    // among whatever arrives.
    cl.send({0xC1, 0x00, 0xC7, 2, 0, 1, 0x88, 0x00, 0, 6});
    bytes got = cl.read(400, 500);
    auto contains = [&](const bytes &part) {
        return std::search(got.begin(), got.end(), part.begin(), part.end()) != got.end();
    };
    EXPECT_TRUE(contains({0xC6, 0x00, 0x04, 22, 21, 5, 0}));
    EXPECT_TRUE(contains({0xCB, 2, 0, 1, 0x88, 0x00, 0x00, 0x50, 0xC2, 0x21, 0x2F, 0xA0}));
    // Each period: a timetag per link advancing by 20 ms (2e8 counts), a time-code on link 1.
    EXPECT_TRUE(contains({0xC0, 0x41, 0xC0, 0x88, 0, 0, 0, 0, 0x0B, 0xEB, 0xC2, 0x00}));
    EXPECT_TRUE(contains({0xC0, 0x42, 0xC0, 0x88, 0, 0, 0, 0, 0x0B, 0xEB, 0xC2, 0x00}));
    EXPECT_TRUE(contains({0xC0, 0x41, 0xC0, 0x91, 0x01}));
    EXPECT_EQ(unit.stop(), 0);
}

TEST(UnitSim, CommandLineRecordingUnitAndTraffic)
{
    // Numbers in hex, or decimal with leading zeros; options in either form.
    unitsim_process unit({"-p", "0x0", "--links=0x2", "--recording-unit", "VGL-3U", "--traffic", "03:05",
                          "--awake-us", "200"});
    uint16_t port = unit.port();
    ASSERT_NE(port, 0);
    client cl(port);
    ASSERT_TRUE(cl.ok());
    cl.send({0xC7, 2, 0, 0, 0x88, 0x0B, 0x00, 0x40}); // the description's first 64 bytes
    bytes got = cl.read(3 * 2 * 8 + 2 + 69, 2000);
    auto contains = [&](const bytes &part) {
        return std::search(got.begin(), got.end(), part.begin(), part.end()) != got.end();
    };
    const std::string product = "Product=VGL-3U;";
    EXPECT_TRUE(contains(bytes(product.begin(), product.end())));
    // Numbered packets, the links taking turns.
    for (int link = 1; link <= 2; ++link)
        for (size_t i = 0; i < 3; ++i) {
            bytes frame = {0xC0, static_cast<uint8_t>(0x40 + link), 0x45};
            bytes data = orw::unitsim::traffic_payload(link, i, 5);
            frame.insert(frame.end(), data.begin(), data.end());
            EXPECT_TRUE(contains(frame)) << link << ":" << i;
        }
    EXPECT_EQ(unit.stop(), 0);
}

TEST(UnitSim, CommandLineRejectsBadOptions)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--traffic", "3"},
        {"--traffic", "0:5"},
        {"--traffic", "3:5:x"},
        {"--traffic", "3:-1"},
        {"--modules", "0,256"},
        {"--modules", "0,,5"},
        {"--hwa", "00:50:C2:21:20"},
        {"--hwa", "00:50:C2:21:20:0G"},
        {"--emit", "timetag"},
        {"--emit-every", "10"},
        {"--emit-every", "0", "--emit", "timetag"},
        {"--emit-every", "5", "--emit", "sometimes"},
        {"--family", "tor", "--emit-every", "5", "--emit", "waveform"},
        {"--links", "031"}, // 31 links, not octal 25
        {"--links", "0x"},
        {"--bind", "192.0.2.77"},
        {"--echo"},
        {"--links", "2", "stray"},
        {"--awake-us", "100001"},
        {"--awake-us", "-1"},
    };
    for (const auto &args : bad) {
        std::vector<std::string> with_port = {"--port", "0"};
        with_port.insert(with_port.end(), args.begin(), args.end());
        unitsim_process unit(with_port);
        EXPECT_EQ(unit.wait_exit(), 2) << args[0] << " " << args.back();
    }
}
