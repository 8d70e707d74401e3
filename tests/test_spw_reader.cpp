// SPDX-License-Identifier: MIT
// The reader thread of connection_t against the simulator: one thread per
// connection, bounded stops, time-outs never dispatched, recordings followed
// across queued files, and a unit that hangs up.
#include "Orwin.hpp"
#include "deadline.hpp"
#include "orwin_unitsim.hpp"
#include "spw_reference.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace spwtest;
using orw::spacewire::connection_t;
using clock_type = std::chrono::steady_clock;

namespace {

orw::unitsim::config echo_on_link_1()
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    cfg.nodes[1] = orw::unitsim::node_kind::echo;
    return cfg;
}

template <class Pred> bool eventually(Pred pred, int timeout_ms = 5000)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (clock_type::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

long elapsed_ms(clock_type::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count());
}

struct temp_file {
    std::string path;
    explicit temp_file(const bytes &content)
    {
        char name[] = "/tmp/orwin_spw_reader_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
            close(fd);
        }
    }
    ~temp_file() { unlink(path.c_str()); }
};

// A link selection, then one EOP packet of up to 60 bytes.
bytes stream_packet(int link, const bytes &p)
{
    bytes out(3 + p.size());
    out[0] = 0xC0;
    out[1] = static_cast<uint8_t>(0x40 + link);
    out[2] = static_cast<uint8_t>(0x40 + p.size());
    std::copy(p.begin(), p.end(), out.begin() + 3);
    return out;
}

struct failing_connection : connection_t {
    using connection_t::connection_t;
    failing_connection() = default;
    std::atomic<int> failures{0};
    int code = 0;
    void reader_failed(const orw::error &e) override
    {
        code = e.get();
        ++failures;
    }
    ~failing_connection() override { stop_server(); }
};

} // namespace

TEST(SpaceWireReader, StartsOnceStopsWithinOneTimeoutAndNeverDispatchesTimeouts)
{
    orw::unitsim::simulator sim(echo_on_link_1());
    connection_t c(sim.address(), 100.0);

    auto t0 = clock_type::now();
    c.stop_server();
    EXPECT_LT(elapsed_ms(t0), 50) << "a reader that never started";
    EXPECT_FALSE(c.thread_running.load());

    piece_log raw;
    recording_instance inst;
    c.register_generic(1, &raw);
    std::thread::id first = c.rt.get_id();
    c.register_protocol(2, test_pid, &inst);
    c.use_default(2, true);
    EXPECT_EQ(c.rt.get_id(), first) << "one reader for every registration";
    EXPECT_TRUE(c.thread_running.load());

    // Several receive time-outs pass with nothing to read.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * connection_t::reader_timeout_ms + 100));
    EXPECT_TRUE(raw.snapshot().empty()) << "a time-out is not a piece";
    sim.inject({0xC0, 0x41, /* empty EOP frame */ 0x40});
    ASSERT_TRUE(eventually([&] { return !raw.snapshot().empty(); }));
    auto pieces = raw.snapshot();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_TRUE(pieces[0].data.empty());
    EXPECT_EQ(pieces[0].terminator, connection::EOP);

    t0 = clock_type::now();
    c.stop_server();
    EXPECT_LT(elapsed_ms(t0), connection_t::reader_timeout_ms + 200);
    EXPECT_FALSE(c.thread_running.load());
    EXPECT_FALSE(c.thread_enabled.load());
    EXPECT_EQ(c.reader_error(), nullptr);
}

TEST(SpaceWireReader, RecordingContinuesWithTheQueuedFilesThenEndsQuietly)
{
    temp_file first(stream_packet(1, {0xFE, test_pid, 1}));
    temp_file second(stream_packet(2, {0xFE, test_pid, 2}));
    temp_file third(stream_packet(1, {0xFE, test_pid, 3}));
    connection_t c("-" + first.path, 100.0);
    EXPECT_EQ(c.lbitmask, 0u) << "no link of a recording is connected";
    c.filelist.push(second.path);
    c.filelist.push(third.path);
    recording_instance one, two;
    // Both in place before the reader, which the registration starts, runs.
    two.set_ifc(&c, 2);
    c.links[2].register_protocol(test_pid, &two);
    c.register_protocol(1, test_pid, &one);
    ASSERT_TRUE(eventually([&] { return !c.thread_running.load(); }));
    EXPECT_EQ(one.eops, 2);
    EXPECT_EQ(two.eops, 1);
    EXPECT_EQ(one.received, bytes{3});
    EXPECT_EQ(c.addr, third.path);
    EXPECT_EQ(c.reader_error(), nullptr)
        << "the end of a recording is no failure: " << (c.reader_error() ? c.reader_error()->what() : "");
    EXPECT_TRUE(c.thread_enabled.load()) << "ended by itself";
    c.start_server();
    EXPECT_FALSE(c.thread_running.load()) << "not restarted";

    // A queued file that cannot be opened is a failure that ends the reader.
    failing_connection d;
    d.connect("-" + first.path);
    d.filelist.push("/nonexistent/orwin/recording");
    d.register_protocol(1, test_pid, &one);
    ASSERT_TRUE(eventually([&] { return !d.thread_running.load(); }));
    EXPECT_EQ(d.failures.load(), 1);
    EXPECT_EQ(d.code, connection::Error_File_Not_Present);
    ASSERT_NE(d.reader_error(), nullptr);
    EXPECT_EQ(d.reader_error()->name(), "/nonexistent/orwin/recording");
}

TEST(SpaceWireReader, UnitHangingUpEndsTheReaderThroughTheErrorHook)
{
    orw::unitsim::simulator sim(echo_on_link_1());
    auto c = std::make_unique<failing_connection>(sim.address(), 100.0);
    piece_log raw;
    c->register_generic(1, &raw);
    ASSERT_TRUE(sim.wait_for_clients(1, 2000));
    sim.drop_connections();
    ASSERT_TRUE(eventually([&] { return !c->thread_running.load(); }));
    EXPECT_EQ(c->failures.load(), 1);
    EXPECT_EQ(c->code, connection::Error_Receiver_Shutdown);
    ASSERT_NE(c->reader_error(), nullptr);
    EXPECT_EQ(c->reader_error()->name(), sim.address());
    c.reset();
}

// The loop every reading object shares: queued recordings read on, empty
// reads are skipped, the stop flag is seen, a unit hanging up is a loss.
TEST(SharedReadLoop, FollowsRecordingsStopsOnItsFlagAndReportsAHangUp)
{
    temp_file first(stream_packet(1, {0xFE, test_pid, 1}));
    temp_file second(stream_packet(2, {0xFE, test_pid, 2}));
    orw::connection c("-" + first.path);
    c.filelist.push(second.path);
    bytes buffer(4096);
    std::atomic<bool> keep{true};
    std::vector<bytes> pieces;
    EXPECT_FALSE(c.read_stream(buffer.data(), buffer.size(), 0, keep, [&](ssize_t n, int type) {
        if (type == connection::EOP)
            pieces.emplace_back(buffer.begin(), buffer.begin() + n);
    })) << "the last recording ended";
    EXPECT_EQ(pieces, (std::vector<bytes>{{0xFE, test_pid, 1}, {0xFE, test_pid, 2}}));

    orw::unitsim::simulator sim(echo_on_link_1());
    orw::connection live(sim.address());
    Orwin_set_rx_timeout(live.device, 50);
    keep = false;
    auto t0 = clock_type::now();
    EXPECT_TRUE(live.read_stream(buffer.data(), buffer.size(), 0, keep, [](ssize_t, int) {}));
    keep = true;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        keep = false;
    });
    EXPECT_TRUE(live.read_stream(buffer.data(), buffer.size(), 0, keep, [](ssize_t, int) {}));
    stopper.join();
    EXPECT_LT(elapsed_ms(t0), 120 + 50 + 200) << "the flag is seen after every bounded read";

    ASSERT_TRUE(sim.wait_for_clients(1, 2000));
    sim.drop_connections();
    keep = true;
    try {
        live.read_stream(buffer.data(), buffer.size(), 0, keep, [](ssize_t, int) {});
        ADD_FAILURE() << "a unit that hangs up is a lost connection";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), connection::Error_Receiver_Shutdown);
        EXPECT_STREQ(e.text(), "Connection closed by the unit");
    }
}

// Events that keep arriving (their callbacks saying "go on") never hold a
// read past its receive time-out, nor the reader's stop.
TEST(SpaceWireReader, EventFloodDoesNotHoldTheReadOrTheStop)
{
    deadline guard(std::chrono::seconds(20), "reads under an event flood");
    orw::unitsim::simulator sim(echo_on_link_1());
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        for (uint8_t tc = 0; flooding; ++tc) {
            sim.emit_uncertainty(tc);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    {
        struct counting : orw::connection {
            using orw::connection::connection;
            int codes = 0;
            bool timetag_uncertainty(uint32_t) override { return ++codes > 0; }
        } c(sim.address());
        Orwin_set_rx_timeout(c.device, 100);
        bytes buffer(4096);
        uint32_t type = 0;
        ssize_t n = -1;
        for (int i = 0; i < 5 && type != static_cast<uint32_t>(connection::TIMEOUT); ++i) {
            auto t0 = clock_type::now();
            n = Orwin_read_packet_full(c.device, buffer.data(), buffer.size(), &type,
                                       connection::CALLBACK_EXTENSION_DATA);
            EXPECT_LT(elapsed_ms(t0), 100 + 50);
        }
        EXPECT_EQ(n, 0);
        EXPECT_EQ(type, static_cast<uint32_t>(connection::TIMEOUT));
        EXPECT_GT(c.codes, 0) << "the events are still handled";

        connection_t ifc(sim.address(), 100.0);
        piece_log raw;
        ifc.register_generic(1, &raw);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto t0 = clock_type::now();
        ifc.stop_server();
        EXPECT_LT(elapsed_ms(t0), connection_t::reader_timeout_ms + 100);
    }
    flooding = false;
    flood.join();
}
