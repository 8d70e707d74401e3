// SPDX-License-Identifier: MIT
// Several threads send CCSDS packets through their own devices on two links
// of one connection at once; the write lock keeps every packet whole, which
// the simulator's CCSDS nodes check by decoding each one.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using orw::spacewire::device_t;

uint8_t pattern(int thread, int packet, size_t k)
{
    return static_cast<uint8_t>(thread * 31 + packet + k);
}

TEST(ThreadsCcsds, PacketsFromManyThreadsNeverInterleave)
{
    orw::unitsim::config cfg;
    cfg.links = 4;
    cfg.nodes[1] = orw::unitsim::node_kind::ccsds;
    cfg.nodes[3] = orw::unitsim::node_kind::ccsds;
    orw::unitsim::simulator sim(cfg);
    orw::spacewire::connection_t conn(sim.address(), 100.0);
    constexpr int threads = 4;
    constexpr int packets = 400;
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::unique_ptr<device_t> dev(conn.device("n", "t", t % 2 ? 3 : 1, 0xFE, 0x20));
            std::vector<uint8_t> user(300);
            // All start together, so that their sends overlap.
            ++ready;
            while (ready.load() < threads)
                std::this_thread::yield();
            for (int i = 0; i < packets; ++i) {
                size_t n = static_cast<size_t>(i * 7 % 290) + 1;
                for (size_t k = 0; k < n; ++k)
                    user[k] = pattern(t, i, k);
                dev->ccsds_header(0, false, static_cast<uint16_t>(t), 3, static_cast<uint16_t>(i));
                // Half the threads add a secondary header and a checksum.
                if (t >= 2)
                    dev->ccsds_secondary_header(static_cast<uint32_t>(i), 0, 0, true, 0, 0, 0, 0, 0, 0);
                dev->ccsds_user_data(user.data(), n);
                dev->ccsds_send(0, 0);
            }
        });
    }
    for (auto &th : pool)
        th.join();
    const size_t per_link = packets * threads / 2;
    ASSERT_TRUE(sim.wait_for_node_packets(1, per_link, 5000));
    ASSERT_TRUE(sim.wait_for_node_packets(3, per_link, 5000));
    for (int link : {1, 3}) {
        std::map<int, int> next; // per thread (APID), the packet expected next
        for (const auto &p : sim.ccsds_received(link)) {
            ASSERT_TRUE(p.well_formed) << "link " << link;
            int t = p.apid;
            int i = p.sequence_count;
            ASSERT_EQ(i, next[t]++) << "thread " << t;
            EXPECT_EQ(p.has_checksum, t >= 2);
            ASSERT_EQ(p.user_data.size(), static_cast<size_t>(i * 7 % 290) + 1);
            for (size_t k = 0; k < p.user_data.size(); ++k)
                ASSERT_EQ(p.user_data[k], pattern(t, i, k)) << "thread " << t << " packet " << i;
        }
        EXPECT_EQ(next.size(), 2u);
        for (const auto &[t, n] : next)
            EXPECT_EQ(n, packets) << "thread " << t;
    }
}

} // namespace
