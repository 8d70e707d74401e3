// SPDX-License-Identifier: MIT
// Nothing lost in pcap form: the eight-link load captured into rotated pcap
// files reads back through libpcap, joined per link across the files, as
// exactly the packets the unit sent.
#include "Orwin_Pcap.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"
#include "nothing_lost_traffic.hpp"
#include "orwin_unitsim.hpp"
#include "pcap_reader.hpp"

#include <gtest/gtest.h>

namespace {

struct counted_pcap : orw::trc::pcap_capture {
    using pcap_capture::pcap_capture;
    ~counted_pcap() override { join_threads(); }
    std::atomic<uint64_t> packets{0};
    void acquired_data(const uint8_t *data, ssize_t length, int flags) override
    {
        pcap_capture::acquired_data(data, length, flags);
        if (flags == EOP || flags == EEP)
            ++packets;
    }
};

} // namespace

TEST(PcapNothingLost, EightLinksReadBackFromRotatedFilesAsExactlyWhatWasSent)
{
    test::scratch_dir dir;
    orw::unitsim::config unit = orw::unitsim::recording_unit("TRC-8");
    unit.keep_history = false;
    orw::unitsim::simulator sim(unit);
    counted_pcap c(sim.address().c_str(), (dir / "all.pcap").c_str(), 0, 1);
    c.fileindex = true;
    c.start(1);
    ASSERT_TRUE(test::eventually([&] { return c.capture_thread_running.load(); }));

    const orw::unitsim::traffic t = test::mixed_traffic(test::packets_per_link());
    ASSERT_EQ(sim.generate(t), t.count);
    ASSERT_TRUE(test::eventually([&] { return c.packets >= 8 * t.count; }, 120000)) << c.packets.load();
    c.stop();
    c.wait();
    EXPECT_EQ(c.lost_records.load(), 0u);

    std::map<int, std::vector<test::joined_packet>> packets;
    std::map<int, std::vector<uint8_t>> open;
    uint64_t records = 0;
    ASSERT_GT(c.capture_files(), 1u);
    for (size_t f = 0; f < c.capture_files(); ++f) {
        const std::string file = c.capture_file(static_cast<int>(f));
        EXPECT_NE(file.find(".pcap"), std::string::npos) << file;
        test::pcap_contents got = test::read_pcap(file);
        EXPECT_EQ(got.error, "") << file;
        records += got.records.size();
        test::join_packets(got.records, packets, open);
    }
    EXPECT_EQ(records, c.records.load());
    EXPECT_EQ(dir.files().size(), c.capture_files()); // no .tmp left behind
    for (int link = 1; link <= 8; ++link) {
        const std::vector<test::joined_packet> &got = packets[link];
        ASSERT_EQ(got.size(), t.count) << link;
        size_t mismatches = 0;
        for (size_t i = 0; i < t.count; ++i)
            mismatches +=
                got[i].eep != orw::unitsim::traffic_eep(t, i) ||
                got[i].data != orw::unitsim::traffic_payload(link, i, orw::unitsim::traffic_size(t, link, i));
        EXPECT_EQ(mismatches, 0u) << link;
        EXPECT_TRUE(open[link].empty()) << link;
    }
}
