// SPDX-License-Identifier: MIT
// Reconnection against a simulated unit that is switched off and on again
// on the same port: transactions in flight end, operations while it is down
// fail at once, and afterwards RMAP, raw sends and registrations work with
// nothing done by the application; destroying a connection that is
// reconnecting is bounded.
#include "capture_probe.hpp" // eventually()
#include "deadline.hpp"
#include "rmap_unit.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace rmap_unit;
using outcome = rmap::transaction_outcome;
using test::eventually;

namespace {

// Links 7 and 8 are wired to each other: a raw packet sent on 7 comes back
// as received on 8.
constexpr int raw_out = 7;
constexpr int raw_in = 8;

orw::unitsim::config restartable_unit()
{
    orw::unitsim::config cfg = config(false);
    cfg.links = 8;
    return cfg;
}

// A connection that counts its reconnection hooks.
struct watched : orw::spacewire::connection_t {
    using connection_t::connection_t;
    ~watched() override { auto_reconnect(false); }
    void connection_lost(const orw::error &e) override
    {
        last_code = e.get();
        ++lost;
    }
    void reconnected() override { ++back; }
    std::atomic<int> lost{0};
    std::atomic<int> back{0};
    std::atomic<int> last_code{0};
};

// Every whole packet of a link, unparsed.
struct collector : orw::spacewire::raw::handler {
    void read_packet(unsigned char *data, size_t sz, int terminator) override
    {
        std::lock_guard<std::mutex> lock(m);
        open.insert(open.end(), data, data + sz);
        if (terminator == orw::connection::PART_EOP_EEP)
            return;
        whole.push_back({open, terminator});
        open.clear();
    }
    size_t open_bytes()
    {
        std::lock_guard<std::mutex> lock(m);
        return open.size();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(m);
        return whole.size();
    }
    std::mutex m;
    bytes open;
    std::vector<std::pair<bytes, int>> whole;
};

// The unit answers a read, and a raw packet sent on raw_out reaches the
// registration on raw_in.
void expect_working(orw::spacewire::connection_t &ifc, orw::spacewire::device_t &node, collector &in,
                    int round)
{
    rmap::result r = node.rmap_read_async(0, base, 4, 300).get();
    EXPECT_TRUE(r.ok()) << "round " << round << ": " << rmap::outcome_text(r.outcome);
    std::unique_ptr<orw::spacewire::device_t> out(ifc.device("out", "raw", raw_out, 0x40, 0x41));
    const size_t before = in.count();
    const bytes payload = {uint8_t(round), 1, 2, 3};
    out->raw_send(0x99, payload.data(), payload.size());
    EXPECT_TRUE(eventually([&] { return in.count() > before; }, 3000)) << "round " << round;
}

void expect_fails_at_once(const std::function<void()> &op)
{
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(op(), orw::error);
    EXPECT_LT(ms_since(t0), 100);
}

} // namespace

// Restarted three times in a row under a connection with auto_reconnect on.
TEST(Reconnect, RestartedUnitComesBackByItself)
{
    deadline guard(std::chrono::seconds(90), "reconnection");
    orw::unitsim::simulator sim(restartable_unit());
    collector in; // outlives the connection's reader
    watched ifc(sim.address(), 100.0);
    std::unique_ptr<orw::spacewire::device_t> node(ifc.device("node", "memory", node_link, 0xFE, 0x67));
    std::unique_ptr<orw::spacewire::device_t> slow(ifc.device("slow", "memory", slow_link, 0xFE, 0x67));
    ifc.register_generic(raw_in, &in);
    ifc.auto_reconnect(true, 400);
    expect_working(ifc, *node, in, 0);

    for (int round = 1; round <= 3; ++round) {
        sim.set_rmap_drop_replies(slow_link, true);
        std::vector<std::future<rmap::result>> in_flight;
        for (int i = 0; i < 3; ++i)
            in_flight.push_back(slow->rmap_read_async(0, base, 4, i == 0 ? 0 : 3000));
        ASSERT_TRUE(eventually([&] { return sim.rmap_commands(slow_link) >= 3u * round; }, 3000));

        sim.stop();
        for (auto &f : in_flight) {
            ASSERT_EQ(f.wait_for(std::chrono::seconds(1)), std::future_status::ready) << "round " << round;
            EXPECT_EQ(f.get().outcome, outcome::connection_lost) << "round " << round;
        }
        ASSERT_TRUE(eventually([&] { return ifc.lost.load() == round; }, 3000)) << "round " << round;
        EXPECT_EQ(ifc.last_code.load(), orw::connection::Error_Receiver_Shutdown);
        expect_fails_at_once([&] { node->rmap_read_async(0, base, 4, 300); });
        expect_fails_at_once([&] { node->raw_send(0x99, rmap_ref::example_data.data(), 4); });
        EXPECT_EQ(ifc.back.load(), round - 1) << "nothing to reconnect to";

        sim.set_rmap_drop_replies(slow_link, false);
        sim.start();
        ASSERT_TRUE(eventually([&] { return ifc.back.load() == round; }, 5000)) << "round " << round;
        EXPECT_FALSE(ifc.is_lost());
        expect_working(ifc, *node, in, round);
    }
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// reconnect() by hand, then destruction while the reconnection thread waits
// out a back-off and while it is in an attempt that the unit never answers.
TEST(Reconnect, ByHandAndDestroyedWhileReconnecting)
{
    deadline guard(std::chrono::seconds(60), "destroyed while reconnecting");
    orw::unitsim::simulator sim(restartable_unit());
    {
        collector in;
        watched ifc(sim.address(), 100.0);
        std::unique_ptr<orw::spacewire::device_t> node(ifc.device("node", "memory", node_link, 0xFE, 0x67));
        ifc.register_generic(raw_in, &in);
        // A packet the unit began (link selection, then a partial frame)
        // ends with EEP when the stream is lost, not joined to the next one.
        sim.inject({0xC0, 0x40 + raw_in, 0x03, 'a', 'b', 'c'});
        ASSERT_TRUE(eventually([&] { return in.open_bytes() == 3; }, 3000));
        sim.stop();
        EXPECT_THROW(ifc.reconnect(), orw::error) << "no unit to reach";
        EXPECT_TRUE(ifc.is_lost());
        sim.start();
        ifc.reconnect();
        EXPECT_EQ(ifc.back.load(), 1);
        EXPECT_EQ(ifc.lost.load(), 0) << "the hook belongs to the reconnection thread";
        sim.inject({0xC0, 0x40 + raw_in, 0x43, 'd', 'e', 'f'});
        ASSERT_TRUE(eventually([&] { return in.count() == 2; }, 3000));
        EXPECT_EQ(in.whole[0], std::make_pair(bytes{'a', 'b', 'c'}, int(orw::connection::EEP)));
        EXPECT_EQ(in.whole[1], std::make_pair(bytes{'d', 'e', 'f'}, int(orw::connection::EOP)));
        expect_working(ifc, *node, in, 1);
    }

    // During a back-off: the unit stays off and the waits have grown long.
    {
        std::unique_ptr<watched> ifc(new watched(sim.address(), 100.0));
        ifc->start_server(); // the reader notices the loss
        ifc->auto_reconnect(true, 5000);
        sim.stop();
        ASSERT_TRUE(eventually([&] { return ifc->lost.load() == 1; }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const auto t0 = std::chrono::steady_clock::now();
        ifc.reset();
        EXPECT_LT(ms_since(t0), 1000);
    }

    // During an attempt: the port is taken by a listener that never answers.
    {
        sim.start();
        std::unique_ptr<watched> ifc(new watched(sim.address(), 100.0));
        ifc->start_server();
        ifc->auto_reconnect(true, 100);
        sim.stop();
        int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(silent, 0);
        int on = 1;
        setsockopt(silent, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(sim.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(silent, 4), 0);
        int caller = accept(silent, nullptr, nullptr); // an attempt has begun
        ASSERT_GE(caller, 0);
        const auto t0 = std::chrono::steady_clock::now();
        ifc.reset();
        EXPECT_LT(ms_since(t0), 1200);
        close(caller);
        close(silent);
    }
}
