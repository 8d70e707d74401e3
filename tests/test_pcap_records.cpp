// SPDX-License-Identifier: MIT
// PCAP records written by the capture's record code, read back with libpcap:
// packets whole, in parts, joined and split at the snap length; event and
// time-code records; pending parts at the end of a file and across a
// rotation; standard output and pipe outputs; refused files.
#include "Orwin_Pcap.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"
#include "orwin_unitsim.hpp"
#include "pcap_reader.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

using pcap::capture;

struct read_step {
    int link;
    size_t size;
    uint8_t type; // 0 part, 1 EEP, 2 EOP
};

struct expected_record {
    int link;
    int type;
    size_t caplen;
};

// Bytes of read `step` of a case: distinct per link and position.
std::vector<uint8_t> step_bytes(int link, size_t index, size_t size)
{
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(link * 31 + index * 7 + i);
    return b;
}

// A pcap capture of a simulated unit whose records the test drives itself.
struct record_writer {
    orw::unitsim::simulator sim{orw::unitsim::recording_unit("TRC-8")};
    orw::trc::pcap_capture c{sim.address().c_str(), "", 0, 0};
};

constexpr size_t full = pcap::snap_length - 2; // data bytes of a full record

// A timetag that arrived just now, `ms` ahead of the host clock.
orw::timestamp fresh_timetag(int ms)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    now.tv_nsec += ms * 1000000L;
    if (now.tv_nsec >= 1000000000L) {
        now.tv_nsec -= 1000000000L;
        now.tv_sec += 1;
    }
    return {0, now.tv_sec, static_cast<unsigned long>(now.tv_nsec), true, true};
}

} // namespace

TEST(PcapRecords, PacketsBecomeRecordsWholeJoinedOrSplitAtTheSnapLength)
{
    const struct {
        const char *name;
        uint32_t options;
        std::vector<read_step> reads;
        std::vector<expected_record> records;
    } cases[] = {
        {"one piece", 0, {{1, 100, 2}}, {{1, 2, 102}}},
        {"EEP", 0, {{4, 10, 1}}, {{4, 1, 12}}},
        {"three parts", 0, {{1, 40, 0}, {1, 30, 0}, {1, 30, 2}}, {{1, 0, 42}, {1, 0, 32}, {1, 2, 32}}},
        {"three parts joined",
         capture::AGGREGATE_PACKETS,
         {{1, 40, 0}, {1, 30, 0}, {1, 30, 2}},
         {{1, 2, 102}}},
        {"empty end", 0, {{2, 5, 0}, {2, 0, 2}}, {{2, 0, 7}, {2, 2, 2}}},
        {"links interleaved, joined",
         capture::AGGREGATE_PACKETS,
         {{1, 50, 0}, {2, 20, 2}, {1, 50, 1}},
         {{2, 2, 22}, {1, 1, 102}}},
        {"200 KiB",
         0,
         {{3, 200 * 1024, 2}},
         {{3, 0, 65536}, {3, 0, 65536}, {3, 0, 65536}, {3, 2, 200 * 1024 - 3 * full + 2}}},
        {"200 KiB joined from parts",
         capture::AGGREGATE_PACKETS,
         {{5, 70000, 0}, {5, 70000, 0}, {5, 64800, 2}},
         {{5, 0, 65536}, {5, 0, 65536}, {5, 0, 65536}, {5, 2, 200 * 1024 - 3 * full + 2}}},
        {"exactly full", 0, {{6, full, 2}}, {{6, 2, 65536}}},
        {"one byte over", 0, {{6, full + 1, 2}}, {{6, 0, 65536}, {6, 2, 3}}},
    };
    test::scratch_dir dir;
    for (const auto &k : cases) {
        record_writer w;
        w.c.options = k.options;
        const std::string path = dir / "records.pcap";
        w.c.new_file(path.c_str());
        std::map<int, std::vector<uint8_t>> sent;
        for (size_t i = 0; i < k.reads.size(); ++i) {
            const read_step &r = k.reads[i];
            std::vector<uint8_t> b = step_bytes(r.link, i, r.size);
            sent[r.link].insert(sent[r.link].end(), b.begin(), b.end());
            w.c.rx_link = static_cast<unsigned>(r.link);
            w.c.write_packet(b.data(), b.size(), r.type);
        }
        w.c.file_end(nullptr);

        test::pcap_contents got = test::read_pcap(path);
        EXPECT_EQ(got.error, "") << k.name;
        EXPECT_EQ(got.linktype, 147) << k.name;
        EXPECT_EQ(got.snaplen, 65536) << k.name;
        ASSERT_EQ(got.records.size(), k.records.size()) << k.name;
        for (size_t i = 0; i < k.records.size(); ++i) {
            EXPECT_EQ(got.records[i].link(), k.records[i].link) << k.name << " record " << i;
            EXPECT_EQ(got.records[i].type(), k.records[i].type) << k.name << " record " << i;
            EXPECT_EQ(got.records[i].body.size(), k.records[i].caplen) << k.name << " record " << i;
        }
        std::map<int, std::vector<test::joined_packet>> packets;
        std::map<int, std::vector<uint8_t>> open;
        test::join_packets(got.records, packets, open);
        for (const auto &[link, bytes] : sent) {
            ASSERT_EQ(packets[link].size(), 1u) << k.name << " link " << link;
            EXPECT_EQ(packets[link][0].data, bytes) << k.name << " link " << link;
        }
        EXPECT_EQ(w.c.records.load(), k.records.size());
    }
}

TEST(PcapRecords, EventsAndTimeCodesAreRecordsOfTheirLink)
{
    record_writer w;
    test::scratch_dir dir;
    const std::string path = dir / "events.pcap";
    w.c.new_file(path.c_str());
    // Plain functions rather than member pointers, which the bounds
    // sanitizer misreads in a table.
    const struct {
        bool (*event)(capture &);
        int code;
    } events[] = {
        {[](capture &c) { return c.parity_error(); }, 3},
        {[](capture &c) { return c.missing_data(); }, 4},
        {[](capture &c) { return c.link_timeout(); }, 5},
        {[](capture &c) { return c.perror1(); }, 6},
        {[](capture &c) { return c.perror2(); }, 7},
        {[](capture &c) { return c.esc_esc(); }, 8},
        {[](capture &c) { return c.esc_eop(); }, 9},
        {[](capture &c) { return c.esc_eep(); }, 10},
        {[](capture &c) { return c.received_fct(); }, 12},
        {[](capture &c) { return c.received_esc_fct(); }, 13},
    };
    // A pending part stays pending: events are written at once around it.
    w.c.rx_link = 2;
    std::vector<uint8_t> part = step_bytes(2, 0, 9);
    w.c.write_packet(part.data(), part.size(), 0);
    for (size_t i = 0; i < std::size(events); ++i) {
        w.c.rx_link = static_cast<unsigned>(1 + i % 8);
        EXPECT_TRUE(events[i].event(w.c));
    }
    w.c.rx_link = 3;
    EXPECT_TRUE(w.c.timecode(0x2A, 0, 0, 0x2A));
    w.c.file_end(nullptr);

    test::pcap_contents got = test::read_pcap(path);
    EXPECT_EQ(got.error, "");
    ASSERT_EQ(got.records.size(), std::size(events) + 2);
    for (size_t i = 0; i < std::size(events); ++i)
        EXPECT_EQ(got.records[i].body, (std::vector<uint8_t>{static_cast<uint8_t>(1 + i % 8),
                                                             static_cast<uint8_t>(events[i].code)}))
            << i;
    EXPECT_EQ(got.records[std::size(events)].body, (std::vector<uint8_t>{0x03, 0x0B, 0x2A}));
    // Stopping with a part pending writes it, typed 0.
    EXPECT_EQ(got.records.back().link(), 2);
    EXPECT_EQ(got.records.back().type(), 0);
    EXPECT_EQ(got.records.back().body.size(), 11u);
}

TEST(PcapRecords, PendingPartsContinueInTheNextFileOfARotation)
{
    record_writer w;
    test::scratch_dir dir;
    w.c.options = capture::AGGREGATE_PACKETS;
    w.c.new_file((dir / "a.pcap").c_str());
    w.c.rx_link = 1;
    std::vector<uint8_t> head = step_bytes(1, 0, 30), tail = step_bytes(1, 1, 20);
    w.c.write_packet(head.data(), head.size(), 0);
    w.c.file_end((dir / "b.pcap").c_str());
    w.c.write_packet(tail.data(), tail.size(), 2);
    w.c.file_end(nullptr);

    EXPECT_EQ(test::read_pcap(dir / "a.pcap").records.size(), 0u);
    test::pcap_contents b = test::read_pcap(dir / "b.pcap");
    ASSERT_EQ(b.records.size(), 1u);
    EXPECT_EQ(b.records[0].type(), 2);
    head.insert(head.end(), tail.begin(), tail.end());
    EXPECT_EQ(std::vector<uint8_t>(b.records[0].body.begin() + 2, b.records[0].body.end()), head);
}

TEST(PcapRecords, LiveTimesAreTheHostClockOrAFreshTimetagAndNeverGoBack)
{
    record_writer w;
    test::scratch_dir dir;
    const std::string path = dir / "times.pcap";
    w.c.options = capture::AGGREGATE_PACKETS;
    w.c.new_file(path.c_str());
    uint8_t byte = 7;
    const orw::timestamp fresh = fresh_timetag(5);
    w.c.rx_link = 4;
    w.c.write_packet(&byte, 1, 0); // begun now, written at its end below
    w.c.rx_link = 1;
    w.c.write_packet(&byte, 1, 2); // no timetag: host time
    w.c.timestamps[2] = fresh;
    w.c.rx_link = 2;
    w.c.parity_error();                                   // a fresh timetag stamps events without using it up
    w.c.write_packet(&byte, 1, 2);                        // and then the packet, which uses it up
    w.c.write_packet(&byte, 1, 2);                        // used up: host time again
    w.c.timestamps[3] = {0, 1234, 567890123, true, true}; // active but from long ago
    w.c.rx_link = 3;
    w.c.write_packet(&byte, 1, 2);
    w.c.timecode(0x2A, 0, 0, 0x2A);
    w.c.rx_link = 4;
    w.c.write_packet(&byte, 1, 2);
    w.c.file_end(nullptr);

    test::pcap_contents got = test::read_pcap(path);
    ASSERT_EQ(got.records.size(), 7u);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    for (size_t i = 0; i < got.records.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(got.records[i].sec), static_cast<double>(now.tv_sec), 2.0) << i;
        if (i > 0) {
            EXPECT_GE(got.records[i].sec * 1000000000 + got.records[i].nsec,
                      got.records[i - 1].sec * 1000000000 + got.records[i - 1].nsec)
                << i;
        }
    }
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(got.records[i].sec, fresh.time) << i;
        EXPECT_EQ(got.records[i].nsec, static_cast<int64_t>(fresh.ns)) << i;
    }
    EXPECT_FALSE(w.c.timestamps[2].active);
}

TEST(PcapRecords, AConvertedRecordingTakesItsTimesFromTheRecording)
{
    test::scratch_dir dir;
    const std::string native = dir / "timed.trc", converted = dir / "timed.pcap";
    {
        orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
        test::capture_probe c(sim.address().c_str(), native.c_str(), 0, 0);
        c.start(1);
        ASSERT_TRUE(test::eventually([&] { return c.capture_thread_running.load(); }));
        sim.emit_timetag(1, 0); // the recording's time base
        sim.emit_packet(1, {1});
        sim.emit_packet(1, {2});
        sim.emit_timetag(2, 25000000000ull); // 2.5 s later
        sim.emit_packet(2, {3});
        sim.emit_timetag(1, 10000000000ull); // 1 s: earlier than link 2's last
        sim.emit_packet(1, {4});
        ASSERT_TRUE(test::eventually([&] { return c.packets >= 4; }));
        c.stop();
        c.wait();
    }
    orw::trc::pcap_capture p(("-" + native).c_str(), converted.c_str(), 0, 0);
    p.start(1);
    ASSERT_TRUE(test::eventually([&] { return !p.running; }));
    p.wait();

    test::pcap_contents got = test::read_pcap(converted);
    ASSERT_EQ(got.records.size(), 4u);
    std::vector<int64_t> ns;
    for (const auto &r : got.records)
        ns.push_back(r.sec * 1000000000 + r.nsec);
    EXPECT_EQ(ns[1] - ns[0], 0); // both dated by the first timetag
    EXPECT_EQ(ns[2] - ns[1], 2500000000);
    EXPECT_EQ(ns[3], ns[2]); // never back in time
}

TEST(PcapRecords, OutputsStandardOutputAndPipes)
{
    test::scratch_dir dir;
    uint8_t data[100];
    for (size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<uint8_t>(i);

    // "-": the records go to file descriptor 1.
    {
        record_writer w;
        const std::string path = dir / "stdout.pcap";
        std::fflush(stdout);
        int saved = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
        w.c.new_file("-");
        w.c.write_packet(data, sizeof data, 2);
        w.c.file_end(nullptr);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        test::pcap_contents got = test::read_pcap(path);
        EXPECT_EQ(got.error, "");
        ASSERT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.records[0].body.size(), 102u);
    }

    // "pipe:": a reader opens the pipe as soon as it is made.
    {
        static std::string fifo;
        static std::thread reader;
        static std::vector<uint8_t> piped;
        fifo = dir / "live";
        piped.clear();
        orw_create_pipe_cb([](const char *path) {
            std::string p = path;
            reader = std::thread([p] {
                int fd = open(p.c_str(), O_RDONLY);
                uint8_t chunk[4096];
                ssize_t n;
                while (fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0)
                    piped.insert(piped.end(), chunk, chunk + n);
                if (fd >= 0)
                    close(fd);
            });
            return 0;
        });
        record_writer w;
        w.c.new_file(("PIPE:" + fifo).c_str());
        w.c.write_packet(data, sizeof data, 2);
        w.c.file_end(nullptr);
        reader.join();
        orw_create_pipe_cb(nullptr);
        test::write_file(dir / "piped.pcap", piped);
        test::pcap_contents got = test::read_pcap(dir / "piped.pcap");
        EXPECT_EQ(got.error, "");
        ASSERT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.records[0].body.size(), 102u);
    }
}

TEST(PcapRecords, OutputsThatCannotBeOpenedAreRefused)
{
    record_writer w;
    test::scratch_dir dir;
    const struct {
        std::string name;
        const char *text;
    } cases[] = {
        {dir / "missing/dir/x.pcap", "Unable to create file"},
        {"pipe:" + dir / "missing/dir/fifo", "Unable to open pipe"},
    };
    for (const auto &k : cases) {
        try {
            w.c.new_file(k.name.c_str());
            ADD_FAILURE() << k.name;
        } catch (const orw::error &e) {
            EXPECT_STREQ(e.text(), k.text);
            EXPECT_EQ(e.get(), ENOENT) << k.name;
        }
        EXPECT_EQ(w.c.file, nullptr);
        EXPECT_EQ(w.c.pipe, nullptr);
    }
    uint8_t byte = 0;
    try {
        w.c.acquired_data(&byte, 1, orw::connection::EOP);
        ADD_FAILURE() << "data without a file";
    } catch (const orw::error &e) {
        EXPECT_STREQ(e.text(), "No data filee");
    }
}

TEST(PcapRecords, TimestampOptionsStartANewRecordWhereTheUnitTimetaggedAPacket)
{
    const uint32_t agg = capture::AGGREGATE_PACKETS;
    const struct {
        uint32_t options;
        size_t timetag_before; // read index the timetag arrives before
        std::vector<expected_record> records;
    } cases[] = {
        {agg, 1, {{1, 2, 27}}},
        {agg | capture::RECORD_TIMESTAMPS, 1, {{1, 0, 12}, {1, 2, 17}}},
        {agg | capture::RECORD_EOP_TIMESTAMPS, 1, {{1, 2, 27}}},
        {agg | capture::RECORD_EOP_TIMESTAMPS, 2, {{1, 0, 22}, {1, 2, 7}}},
    };
    const read_step reads[] = {{1, 10, 0}, {1, 10, 0}, {1, 5, 2}};
    test::scratch_dir dir;
    for (const auto &k : cases) {
        record_writer w;
        w.c.options = k.options;
        const std::string path = dir / "tt.pcap";
        w.c.new_file(path.c_str());
        w.c.rx_link = 1;
        for (size_t i = 0; i < std::size(reads); ++i) {
            if (i == k.timetag_before)
                w.c.timestamps[1] = fresh_timetag(5);
            std::vector<uint8_t> b = step_bytes(1, i, reads[i].size);
            w.c.write_packet(b.data(), b.size(), reads[i].type);
        }
        w.c.file_end(nullptr);
        test::pcap_contents got = test::read_pcap(path);
        ASSERT_EQ(got.records.size(), k.records.size()) << k.options << " " << k.timetag_before;
        for (size_t i = 0; i < k.records.size(); ++i) {
            EXPECT_EQ(got.records[i].type(), k.records[i].type) << k.options << " record " << i;
            EXPECT_EQ(got.records[i].body.size(), k.records[i].caplen) << k.options << " record " << i;
        }
        // A record started at the timetag carries its time.
        if (k.records.size() == 2) {
            EXPECT_EQ(got.records[1].sec, w.c.timestamps[1].time) << k.options;
            EXPECT_EQ(got.records[1].nsec, static_cast<int64_t>(w.c.timestamps[1].ns)) << k.options;
        }
    }
}
