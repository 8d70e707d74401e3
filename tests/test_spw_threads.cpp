// SPDX-License-Identifier: MIT
// Many application threads sending raw packets through one connection to
// the simulator's echo node: every packet reaches the wire whole, and every
// echo comes back to the handler of its sender.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using orw::spacewire::connection_t;
using orw::spacewire::device_t;
using bytes = std::vector<uint8_t>;

namespace {

constexpr int senders = 8;
constexpr uint32_t per_sender = 10000;
constexpr uint8_t first_pid = 0x80;
constexpr uint8_t node_address = 0xFE;
constexpr uint8_t first_source = 0x40;

// Packet of sender t, number i: ldest, pid, source address, t, i (4 bytes).
bytes payload(int t, uint32_t i)
{
    return {static_cast<uint8_t>(first_source + t), static_cast<uint8_t>(t),
            static_cast<uint8_t>(i >> 24),          static_cast<uint8_t>(i >> 16),
            static_cast<uint8_t>(i >> 8),           static_cast<uint8_t>(i)};
}

// Receives one sender's echoes, which must come back in order and whole.
struct echo_counter : orw::spacewire::protocol_instance {
    int sender = 0;
    bytes packet;
    uint8_t sla = 0;
    std::atomic<uint32_t> good{0};
    std::atomic<uint32_t> bad{0};

    void start(uint8_t sla_, uint8_t) override
    {
        sla = sla_;
        packet.clear();
    }
    bool body(unsigned char *data, size_t sz, int) override
    {
        packet.insert(packet.end(), data, data + sz);
        return true;
    }
    void eop(int) override
    {
        bytes expected = payload(sender, good.load());
        expected[0] = node_address; // the echo swapped the addresses
        if (sla == first_source + sender && packet == expected)
            ++good;
        else
            ++bad;
    }
};

} // namespace

TEST(SpaceWireThreads, ConcurrentRawSendersNeverInterleaveAndEchoesReachTheirHandler)
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    cfg.nodes[1] = orw::unitsim::node_kind::echo;
    orw::unitsim::simulator sim(cfg);
    connection_t c(sim.address(), 100.0);

    std::vector<std::unique_ptr<echo_counter>> counters;
    std::vector<std::unique_ptr<device_t>> devices;
    for (int t = 0; t < senders; ++t) {
        counters.push_back(std::make_unique<echo_counter>());
        counters.back()->sender = t;
        c.register_protocol(1, static_cast<uint8_t>(first_pid + t), counters.back().get());
        devices.emplace_back(
            c.device("echo", "node", 1, node_address, static_cast<uint8_t>(first_source + t)));
    }
    std::atomic<int> send_failures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < senders; ++t) {
        pool.emplace_back([&, t] {
            try {
                for (uint32_t i = 0; i < per_sender; ++i) {
                    bytes p = payload(t, i);
                    devices[t]->raw_send(static_cast<uint8_t>(first_pid + t), p.data(), p.size());
                }
            } catch (const orw::error &) {
                ++send_failures;
            }
        });
    }
    for (auto &th : pool)
        th.join();
    EXPECT_EQ(send_failures.load(), 0);

    const size_t total = static_cast<size_t>(senders) * per_sender;
    ASSERT_TRUE(sim.wait_for_node_packets(1, total, 60000));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto echoed = [&] {
        uint32_t n = 0;
        for (auto &k : counters)
            n += k->good + k->bad;
        return n;
    };
    while (echoed() < total && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    c.stop_server();

    // At the node: each sender's packets whole and in its own order.
    std::vector<uint32_t> next(senders, 0);
    size_t broken = 0;
    for (const auto &p : sim.node_packets(1)) {
        const bytes &d = p.data;
        int t = d.size() == 8 ? d[1] - first_pid : -1;
        if (t < 0 || t >= senders || d[0] != node_address) {
            ++broken;
            continue;
        }
        bytes expected = payload(t, next[t]);
        if (p.eep || !std::equal(expected.begin(), expected.end(), d.begin() + 2))
            ++broken;
        else
            ++next[t];
    }
    EXPECT_EQ(broken, 0u);
    for (int t = 0; t < senders; ++t) {
        EXPECT_EQ(next[t], per_sender) << t;
        EXPECT_EQ(counters[t]->good.load(), per_sender) << t;
        EXPECT_EQ(counters[t]->bad.load(), 0u) << t;
    }
}
