// SPDX-License-Identifier: MIT
// The C interface keeps no state shared between links: several threads, each
// with its own link to one unit, exchange packets at the same time while the
// simulator serves them all.
#include "Orwin.h"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

TEST(ThreadsLink, IndependentLinksExchangePacketsConcurrently)
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    cfg.keep_history = false;
    orw::unitsim::simulator sim(cfg);
    constexpr int threads = 4;
    constexpr int packets = 200;
    std::atomic<int> failures{0};
    std::atomic<int> opened{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::string address = sim.address();
            Orwin link = Orwin_open(address.data());
            ++opened;
            // Traffic starts once every link is negotiated: a register reply
            // is only looked for within a few packets.
            while (opened.load() < threads)
                std::this_thread::yield();
            if (!link) {
                ++failures;
                return;
            }
            // Every thread sends on link 1, which the unit delivers on link 2
            // to every client; count only this thread's own packets.
            Orwin_set_active_link(link, 1);
            Orwin_set_rx_timeout(link, 2000);
            std::vector<unsigned char> out(32, static_cast<unsigned char>(t));
            std::vector<unsigned char> in(4096);
            int own = 0;
            for (int i = 0; i < packets; ++i)
                if (Orwin_write_packet(link, out.data(), out.size(), Orwin_EOP | Orwin_FLUSH) < 0)
                    ++failures;
            while (own < packets) {
                uint32_t type = 0;
                ssize_t n = Orwin_read_packet_full(link, in.data(), in.size(), &type, 0);
                if (n < 0 || type == Orwin_TIMEOUT) {
                    ++failures;
                    break;
                }
                if (type == Orwin_EOP && n == 32 && in[0] == t)
                    ++own;
            }
            Orwin_close(link);
        });
    }
    for (auto &th : pool)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}
