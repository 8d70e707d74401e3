// SPDX-License-Identifier: MIT
// Nothing lost: every packet the unit sends on eight links is captured into
// rotated files that replay, in order, to exactly what was sent; stopping in
// the middle of a burst leaves every file finished under its final name.
#include "Orwin_Capture.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"
#include "nothing_lost_traffic.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using test::mixed_traffic;
using test::packets_per_link;

// Replays each finished file on its own, in order, and checks each link's
// packets against the generator's (a packet's tail or head standing alone
// shows as a mismatch or in `cut`); returns the packets seen per link.
std::vector<size_t> replay_and_compare(const orw::trc::capture &c, const orw::unitsim::traffic &t,
                                       size_t &mismatches, size_t *cut = nullptr)
{
    std::vector<size_t> next(9, 0);
    mismatches = 0;
    for (size_t f = 0; f < c.capture_files(); ++f) {
        std::string file = c.capture_file(static_cast<int>(f));
        EXPECT_EQ(file.find(".tmp"), std::string::npos) << file;
        int rc = test::replay(
            file,
            [&](int link, const uint8_t *data, size_t size, bool eep) {
                if (link < 1 || link > 8) {
                    ++mismatches;
                    return;
                }
                size_t i = next[static_cast<size_t>(link)]++;
                std::vector<uint8_t> expected =
                    orw::unitsim::traffic_payload(link, i, orw::unitsim::traffic_size(t, link, i));
                if (size != expected.size() || eep != orw::unitsim::traffic_eep(t, i) ||
                    std::memcmp(data, expected.data(), size) != 0)
                    ++mismatches;
            },
            cut);
        EXPECT_EQ(rc, 0) << file;
    }
    return next;
}

} // namespace

TEST(CaptureNothingLost, EightLinksReplayToExactlyWhatWasSent)
{
    test::scratch_dir dir;
    orw::unitsim::config unit = orw::unitsim::recording_unit("TRC-8");
    unit.keep_history = false;
    orw::unitsim::simulator sim(unit);
    test::capture_probe c(sim.address().c_str(), (dir / "all.trc").c_str(), 0, 1);
    c.fileindex = true;
    c.start(1);
    ASSERT_TRUE(test::eventually([&] { return c.capture_thread_running.load(); }));

    const orw::unitsim::traffic t = mixed_traffic(packets_per_link());
    ASSERT_EQ(sim.generate(t), t.count);
    const uint64_t total = 8 * t.count;
    ASSERT_TRUE(test::eventually([&] { return c.packets >= total; }, 120000)) << c.packets.load();
    c.stop();
    c.wait();

    uint64_t bytes = 0;
    for (int link = 1; link <= 8; ++link) {
        uint64_t link_bytes = 0, eeps = 0;
        for (size_t i = 0; i < t.count; ++i) {
            link_bytes += orw::unitsim::traffic_size(t, link, i);
            eeps += orw::unitsim::traffic_eep(t, i);
        }
        EXPECT_EQ(c.status.links[link].eop.total + c.status.links[link].eep.total, t.count) << link;
        EXPECT_EQ(c.status.links[link].eep.total, eeps) << link;
        EXPECT_EQ(c.status.links[link].bytes.total, link_bytes) << link;
        bytes += link_bytes;
    }
    EXPECT_EQ(c.status.bytes.total, bytes);
    EXPECT_GT(c.capture_files(), bytes / (1u << 20) - 1); // rotated at about 1 MiB

    size_t mismatches = 0;
    std::vector<size_t> seen = replay_and_compare(c, t, mismatches);
    EXPECT_EQ(mismatches, 0u);
    for (int link = 1; link <= 8; ++link)
        EXPECT_EQ(seen[static_cast<size_t>(link)], t.count) << link;
    EXPECT_EQ(dir.files().size(), c.capture_files()); // no .tmp left behind
}

TEST(CaptureNothingLost, InterleavedPartialFramesRotateOnlyBetweenPacketsOfEveryLink)
{
    test::scratch_dir dir;
    orw::unitsim::config unit = orw::unitsim::recording_unit("TRC-8");
    unit.keep_history = false;
    orw::unitsim::simulator sim(unit);
    test::capture_probe c(sim.address().c_str(), (dir / "mixed.trc").c_str(), 0, 1);
    c.record_file_size = 300 * 1024;
    c.fileindex = true;
    c.start(1);
    ASSERT_TRUE(test::eventually([&] { return c.capture_thread_running.load(); }));

    orw::unitsim::traffic t = mixed_traffic(std::max<size_t>(packets_per_link() / 30, 2000));
    t.interleave = 40;
    ASSERT_EQ(sim.generate(t), t.count);
    ASSERT_TRUE(test::eventually([&] { return c.packets >= 8 * t.count; }, 120000)) << c.packets.load();
    c.stop();
    c.wait();

    size_t mismatches = 0, cut = 0;
    std::vector<size_t> seen = replay_and_compare(c, t, mismatches, &cut);
    EXPECT_GT(c.capture_files(), 4u);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(cut, 0u);
    for (int link = 1; link <= 8; ++link)
        EXPECT_EQ(seen[static_cast<size_t>(link)], t.count) << link;
}

TEST(CaptureNothingLost, StoppingInABurstFinishesEveryFile)
{
    test::scratch_dir dir;
    orw::unitsim::config unit = orw::unitsim::recording_unit("TRC-8");
    unit.keep_history = false;
    orw::unitsim::simulator sim(unit);
    auto c = std::make_unique<test::capture_probe>(sim.address().c_str(), (dir / "out").c_str(), 0, 1);
    c->start(1);
    ASSERT_TRUE(test::eventually([&] { return c->capture_thread_running.load(); }));

    std::atomic<bool> cancel{false};
    orw::unitsim::traffic t = mixed_traffic(1000000);
    t.cancel = &cancel;
    std::thread sender([&] { sim.generate(t); });
    EXPECT_TRUE(test::eventually([&] { return c->packets >= 20000; }, 60000));
    c->stop();
    c->wait();
    cancel = true;

    size_t mismatches = 0;
    std::vector<size_t> seen = replay_and_compare(*c, t, mismatches);
    EXPECT_EQ(mismatches, 0u); // every link an unbroken prefix of what was sent
    size_t replayed = 0;
    for (size_t n : seen)
        replayed += n;
    // The last file also keeps what was received but not yet parsed.
    EXPECT_GE(replayed, c->packets.load());
    EXPECT_EQ(dir.files("out").size(), c->capture_files());
    for (const std::string &f : dir.files("out"))
        EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
    c.reset();
    sender.join();
}
