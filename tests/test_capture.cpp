// SPDX-License-Identifier: MIT
// Capture engine against the simulator: the unit check, link-status polling,
// run-time limit, replays, rotation at packet ends, stopping, errors and
// waveform requests.
#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"
#include "child_check.hpp"
#include "deadline.hpp"
#include "orwin_unitsim.hpp"
#include "pcap_reader.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace {

using test::capture_probe;
using test::eventually;
using clock_type = std::chrono::steady_clock;
constexpr std::chrono::milliseconds short_tick{10};

// Link-status requests the unit received per link (RAM-I/O reads of four
// bytes at address 0).
std::map<int, int> status_requests(const orw::unitsim::simulator &sim)
{
    std::map<int, int> out;
    for (const auto &sp : sim.specials_from_clients())
        if (sp.size() == 7 && sp[3] == 0 && sp[4] == 0 && sp[5] == 0 && sp[6] == 4)
            ++out[sp[2]];
    return out;
}

double seconds_since(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

} // namespace

TEST(CaptureEngine, OnlyRecordingUnitsAreAccepted)
{
    struct {
        const char *product;
        bool accepted;
        bool linkstatus;
    } cases[] = {
        {"TRC-8", true, true},   {"VGL-3U", true, false},
        {"VGL-8", true, true},   {"ORW-test", true, true},
        {"VGL-3Ux", true, true}, {"XTRC", false, false},
        {"TR", false, false},    {"Orwin Unit Simulator", false, false},
    };
    for (const auto &k : cases) {
        // Tor units name their product in a module, Vex units in their description.
        auto kind = k.product[0] == 'V' ? orw::unitsim::family::tor : orw::unitsim::family::vex;
        orw::unitsim::simulator sim(orw::unitsim::recording_unit(k.product, kind));
        try {
            capture_probe c(sim.address().c_str(), "", 0, 0);
            EXPECT_TRUE(k.accepted) << k.product;
            EXPECT_EQ(c.linkstatus, k.linkstatus) << k.product;
            EXPECT_EQ(c.no_ports, 8) << k.product;
            EXPECT_FALSE(c.threads_started());
        } catch (const orw::error &e) {
            EXPECT_FALSE(k.accepted) << k.product;
            EXPECT_EQ(e.get(), -29);
            EXPECT_STREQ(e.text(), "Device is not TRC/VGL");
        }
    }
    EXPECT_THROW(capture_probe("", "", 0, 0), orw::error);
}

TEST(CaptureEngine, LinkStatusIsPolledAndSnapshotsSayWhetherTheUnitReportsIt)
{
    for (const char *product : {"VGL-3U", "TRC-8"}) {
        orw::unitsim::simulator sim(orw::unitsim::recording_unit(product));
        capture_probe c(sim.address().c_str(), "", 0, 0);
        c.tick_length = short_tick;
        orw::trc::config cfg;
        cfg.defaults(false, c.no_ports);
        c.set_config(&cfg);
        c.start(1);
        EXPECT_TRUE(eventually([&] { return c.snapshots >= 3; })) << product;
        c.stop();
        c.wait();
        EXPECT_EQ(c.snapshot_linkstatus.load(), std::string(product) != "VGL-3U") << product;
        std::map<int, int> polls = status_requests(sim);
        for (int port = 1; port <= 8; ++port)
            EXPECT_GE(polls[port], 3) << product << " port " << port;
        EXPECT_TRUE(c.status.links[8].connected) << product; // wired pairs run
        EXPECT_EQ(c.status.links[8].portno, 8);
        EXPECT_GE(c.status.runtime, 3u);
    }
}

TEST(CaptureEngine, RunTimeLimitTakesEffectAtTheFirstIntervalReachingIt)
{
    struct {
        int interval;
        uint32_t runtime;
        int ticks;
        int polls;
    } cases[] = {{1, 10, 10, 9}, {3, 10, 12, 3}, {0, 3, 3, 2}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.interval);
        orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
        capture_probe c(sim.address().c_str(), "", 0, 0);
        c.tick_length = std::chrono::milliseconds(20);
        c.set_runtime(k.runtime);
        auto begin = clock_type::now();
        c.start(k.interval);
        ASSERT_TRUE(eventually([&] { return !c.running; }));
        double took = seconds_since(begin);
        EXPECT_GE(took, 0.020 * k.ticks * 0.95);
        EXPECT_LT(took, 0.020 * k.ticks + 1.0);
        c.wait();
        // Port 2 is never asked by the wake-up of wait().
        EXPECT_TRUE(eventually([&] { return status_requests(sim)[2] >= k.polls; }, 2000));
        EXPECT_EQ(status_requests(sim)[2], k.polls);
    }
}

TEST(CaptureEngine, ReplayReadsEveryQueuedFileThenEndsByItself)
{
    test::scratch_dir dir;
    std::vector<uint8_t> first = test::recording_header(), second = test::recording_header();
    for (int i = 0; i < 3; ++i)
        test::append_small_packet(first, 2, std::vector<uint8_t>(10 + i, static_cast<uint8_t>(i)));
    for (int i = 0; i < 2; ++i)
        test::append_small_packet(second, 5, std::vector<uint8_t>(20, 0xAA));
    test::write_file(dir / "a.rec", first);
    test::write_file(dir / "b.rec", second);

    capture_probe c(("-" + dir / "a.rec").c_str(), "", 0, 0);
    EXPECT_FALSE(c.live);
    orw::trc::config cfg;
    try {
        c.set_config(&cfg);
        ADD_FAILURE() << "configuration accepted on a recording";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), -35);
        EXPECT_STREQ(e.text(), "can't set capture config on live file");
    }
    c.filelist.push(dir / "b.rec");
    c.start(1);
    ASSERT_TRUE(eventually([&] { return !c.running; }));
    c.wait();
    EXPECT_EQ(c.packets.load(), 5u);
    EXPECT_EQ(c.status.eop.total, 5u);
    EXPECT_EQ(c.status.links[2].eop.total, 3u);
    EXPECT_EQ(c.status.links[2].bytes.total, 33u);
    EXPECT_EQ(c.status.links[5].eop.total, 2u);
    EXPECT_EQ(c.status.bytes.total, 73u);
    EXPECT_TRUE(c.filelist.empty());
}

TEST(CaptureEngine, RotatesAtTheFirstPacketEndAtOrAfterTheThreshold)
{
    test::scratch_dir dir;
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    capture_probe c(sim.address().c_str(), (dir / "rot.trc").c_str(), 0, 1);
    c.fileindex = true;
    c.start(1);
    ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
    orw::unitsim::traffic t;
    t.links = {3};
    t.count = 30;
    t.sizes = {100 * 1024};
    sim.generate(t);
    ASSERT_TRUE(eventually([&] { return c.packets >= 30; }));
    c.stop();
    c.wait();
    // 10 packets make 1,024,000 bytes, below 1 MiB: the eleventh ends a file.
    std::vector<size_t> per_file;
    for (size_t i = 0; i < c.capture_files(); ++i) {
        size_t n = 0;
        EXPECT_EQ(test::replay(c.capture_file(static_cast<int>(i)),
                               [&](int link, const uint8_t *, size_t size, bool) {
                                   EXPECT_EQ(link, 3);
                                   EXPECT_EQ(size, 100u * 1024);
                                   ++n;
                               }),
                  0);
        per_file.push_back(n);
    }
    EXPECT_EQ(per_file, (std::vector<size_t>{11, 11, 8}));
    EXPECT_EQ(dir.files(),
              (std::vector<std::string>{"rot_00000001.trc", "rot_00000002.trc", "rot_00000003.trc"}));
}

TEST(CaptureEngine, RotationSizesCountTheBytesWrittenHeadersIncluded)
{
    // One-byte packets: the files hold many times the data they carry.
    for (bool pcap_files : {false, true}) {
        SCOPED_TRACE(pcap_files ? "pcap" : "native");
        test::scratch_dir dir;
        orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
        std::unique_ptr<orw::trc::capture> c;
        std::function<uint64_t()> packets;
        if (pcap_files) {
            auto *p = new orw::trc::pcap_capture(sim.address().c_str(), (dir / "r.pcap").c_str(), 0, 1);
            c.reset(p);
            packets = [p] { return p->records.load(); };
        } else {
            auto *p = new capture_probe(sim.address().c_str(), (dir / "r.trc").c_str(), 0, 1);
            c.reset(p);
            packets = [p] { return p->packets.load(); };
        }
        c->fileindex = true;
        c->start(1);
        ASSERT_TRUE(eventually([&] { return c->capture_thread_running.load(); }));
        orw::unitsim::traffic t;
        t.count = 40000;
        t.sizes = {1};
        sim.generate(t);
        ASSERT_TRUE(eventually([&] { return packets() >= 8 * t.count; }, 30000));
        c->stop();
        c->wait();
        ASSERT_GE(c->capture_files(), 2u);
        for (size_t i = 0; i + 1 < c->capture_files(); ++i) {
            const auto size = std::filesystem::file_size(c->capture_file(static_cast<int>(i)));
            EXPECT_GE(size, 1048576u) << i;
            EXPECT_LT(size, 1048576u + 65536u) << i;
        }
    }
}

TEST(CaptureEngine, StopAndDestructionAreBoundedWhateverTheUnitDoes)
{
    // Reads and commands carry their own time-outs, so neither a quiet unit
    // nor one that floods the stream or stops reading can hold a stop.
    enum class flood { none, timecodes, events };
    const struct {
        const char *what;
        bool silent, reading;
        flood kind;
    } faults[] = {
        {"quiet", false, true, flood::none},
        {"silent", true, true, flood::none},
        {"not reading", false, false, flood::none},
        {"flooding time-codes", false, true, flood::timecodes},
        {"flooding error events", false, true, flood::events},
        {"flooding error events, not reading", false, false, flood::events},
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.what);
        deadline limit(std::chrono::seconds(20), f.what);
        orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
        test::scratch_dir dir;
        auto c = std::make_unique<capture_probe>(sim.address().c_str(), (dir / "unit.trc").c_str(), 0, 0);
        c->tick_length = short_tick; // link-status polls all the time
        c->set_wf_dir("");
        c->start(1);
        ASSERT_TRUE(eventually([&] { return c->capture_thread_running.load(); }));
        std::atomic<bool> cancel{false};
        std::thread flooder([&] {
            for (uint8_t n = 0; f.kind != flood::none && !cancel; ++n) {
                if (f.kind == flood::timecodes)
                    sim.emit_timecode(1 + n % 8, n & 0x3F);
                else
                    sim.emit_event(1 + n % 8, orw::unitsim::event_error);
            }
        });
        sim.set_silent(f.silent);
        sim.set_reading(f.reading);
        if (!f.reading) {
            // Fill the socket buffers, so that the capture's own commands
            // stall until their send deadline.
            std::lock_guard<std::mutex> guard(c->txlock);
            std::vector<uint8_t> junk(1 << 20, 0);
            for (int i = 0; i < 256; ++i)
                if (Orwin_write_packet(c->device, junk.data(), junk.size(), orw::connection::EOP) < 0 ||
                    Orwin_flush(c->device) < 0)
                    break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto begin = clock_type::now();
        c->stop();
        try {
            c->wait(); // a unit that stopped reading may fail a command: the bound is what counts here
        } catch (const orw::error &) {
        }
        EXPECT_FALSE(c->capture_thread_running.load());
        c.reset();
        EXPECT_LT(seconds_since(begin), 2.0);
        cancel = true;
        flooder.join();
        sim.set_reading(true);
        EXPECT_EQ(dir.files(), std::vector<std::string>{"unit.trc"});
    }
}

TEST(CaptureEngine, AUnitThatHangsUpEndsTheCaptureAsLost)
{
    // A live unit going away before the stop loses whatever it would have
    // sent: the capture fails, its files still finished. A recording's end
    // is a normal end (ReplayReadsEveryQueuedFileThenEndsByItself).
    deadline limit(std::chrono::seconds(20), "capture of a unit that hangs up");
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    test::scratch_dir dir;
    capture_probe c(sim.address().c_str(), (dir / "lost.trc").c_str(), 0, 0);
    c.start(1);
    ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
    sim.stream(2, 100, 10);
    ASSERT_TRUE(eventually([&] { return c.packets == 10; }));
    sim.drop_connections();
    ASSERT_TRUE(eventually([&] { return !c.running; }, 2000));
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            c.wait();
            ADD_FAILURE() << "a lost connection ended the capture as a success at wait " << attempt;
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), Error_Receiver_Shutdown);
            EXPECT_STREQ(e.text(), "Connection closed by the unit");
        }
    }
    EXPECT_TRUE(c.connection_lost.load());
    EXPECT_EQ(c.errors.load(), 1);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"lost.trc"});
}

TEST(CaptureEngine, CaptureThreadErrorsAreStoredAndRethrownByWait)
{
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    test::scratch_dir dir;
    capture_probe c(sim.address().c_str(), (dir / "missing/dir/x.trc").c_str(), 0, 0);
    c.start(1);
    ASSERT_TRUE(eventually([&] { return !c.running; }));
    for (int attempt = 0; attempt < 2; ++attempt) { // joined, it still reports its failure
        try {
            c.wait();
            ADD_FAILURE() << "the capture thread's failure was lost at wait " << attempt;
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), -1);
            EXPECT_STREQ(e.text(), "Couldn't open recording file");
        }
    }
    EXPECT_EQ(c.errors.load(), 1);
    EXPECT_EQ(c.error, -1);
    EXPECT_EQ(c.errortext, "Couldn't open recording file");
}

TEST(CaptureEngine, ErrorEventAsksTheUnitForItsWaveform)
{
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    orw::unitsim::waveform_config wf;
    wf.event_byte = 0x43; // parity error on port 3
    wf.samples.assign(2048, 0x11);
    sim.set_waveform(3, wf);
    capture_probe c(sim.address().c_str(), "", 0, 0);
    c.set_wf_dir(""); // only the request is checked here: no files in the working directory
    c.start(1);
    ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
    sim.emit_event(3, orw::unitsim::event_error);
    EXPECT_TRUE(eventually([&] { return c.waveforms >= 1; }));
    c.stop();
    c.wait();
    EXPECT_EQ(c.waveforms.load(), 1);
    EXPECT_EQ(c.waveform_port.load(), 3);
    EXPECT_TRUE(c.savedwf.empty());
}

TEST(CaptureEngine, OwnsItsConfigurationAndIsStoppedWhenDestroyed)
{
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    test::scratch_dir dir;
    {
        capture_probe c(sim.address().c_str(), (dir / "d.trc").c_str(), 0, 0);
        {
            orw::trc::config cfg;
            cfg.defaults(false, 8);
            cfg.set_ports(0x06);
            c.set_config(&cfg);
        } // the caller's configuration is gone before the capture thread applies it
        c.start(1);
        ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
        EXPECT_TRUE(eventually([&] { return sim.link_mode(2) == 2 && sim.link_mode(3) == 1; }));
        EXPECT_EQ(sim.link_mode(1), 2);
    } // destroyed while running
    EXPECT_EQ(dir.files(), std::vector<std::string>{"d.trc"});
}

TEST(CaptureEngine, LinksAbove8KeepTheirNumberInNativeAndPcapFiles)
{
    test::scratch_dir dir;
    orw::unitsim::config unit = orw::unitsim::recording_unit("TRC-12");
    unit.links = 12;
    orw::unitsim::simulator sim(unit);
    const std::vector<int> links = {3, 9, 12, 8};
    const std::string native = dir / "links.trc", pcap_file = dir / "links.pcap";
    auto native_capture = std::make_unique<capture_probe>(sim.address().c_str(), native.c_str(), 0, 0);
    auto pcap_capture =
        std::make_unique<orw::trc::pcap_capture>(sim.address().c_str(), pcap_file.c_str(), 0, 0);
    EXPECT_EQ(native_capture->no_ports, 12);
    native_capture->start(1);
    pcap_capture->start(1);
    ASSERT_TRUE(eventually([&] {
        return native_capture->capture_thread_running.load() && pcap_capture->capture_thread_running.load();
    }));
    for (int link : links)
        sim.emit_packet(link, std::vector<uint8_t>(10, static_cast<uint8_t>(link)), false, {4});
    ASSERT_TRUE(eventually([&] { return native_capture->packets >= links.size(); }));
    ASSERT_TRUE(eventually([&] { return pcap_capture->records >= 2 * links.size(); })); // two pieces each
    native_capture.reset();
    pcap_capture.reset();

    std::vector<int> replayed;
    EXPECT_EQ(test::replay(native,
                           [&](int link, const uint8_t *data, size_t size, bool) {
                               EXPECT_EQ(size, 10u);
                               EXPECT_EQ(data[0], link);
                               replayed.push_back(link);
                           }),
              0);
    EXPECT_EQ(replayed, links);
    std::map<int, std::vector<test::joined_packet>> joined;
    std::map<int, std::vector<uint8_t>> open;
    test::join_packets(test::read_pcap(pcap_file).records, joined, open);
    for (int link : links) {
        ASSERT_EQ(joined[link].size(), 1u) << link;
        EXPECT_EQ(joined[link][0].data, std::vector<uint8_t>(10, static_cast<uint8_t>(link))) << link;
    }
    EXPECT_EQ(joined.size(), links.size());
}

TEST(CaptureEngine, AStreamTheUnitCannotHaveSentEndsTheCaptureSayingWhere)
{
    const std::vector<uint8_t> good = {0xC0, 0x41, 0x43, 'a', 'b', 'c'};
    std::vector<uint8_t> endless = {0xC0, 0x42}; // partial frames of 60 bytes, 180 in all
    for (int i = 0; i < 3; ++i) {
        endless.push_back(0x3C);
        endless.insert(endless.end(), 60, 0x55);
    }
    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *text;
    } cases[] = {
        {"link 12 of 8", {0xC0, 0x4C, 0x42, 'x', 'y'}, "a link the unit does not have"},
        {"slot 200", {0xC3, 200, 1, 2}, "a special packet from a slot the unit does not have"},
        {"extension 0xE5", {0xC0, 0xE5, 0x41, 'z'}, "an extension that does not exist"},
        {"a packet too long", endless, "a packet longer than the unit can send"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
        test::scratch_dir dir;
        capture_probe c(sim.address().c_str(), (dir / "x.trc").c_str(), 0, 0);
        c.longest_packet = 100;
        c.start(1);
        ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
        std::vector<uint8_t> stream = good;
        stream.insert(stream.end(), k.bytes.begin(), k.bytes.end());
        stream.insert(stream.end(), good.begin(), good.end());
        sim.inject(stream);
        ASSERT_TRUE(eventually([&] { return !c.running; }));
        try {
            c.wait();
            ADD_FAILURE() << "the broken stream ended ok";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), Error_Network_Format_Error);
            EXPECT_NE(std::string(e.text()).find(k.text), std::string::npos) << e.text();
            EXPECT_NE(e.name().find(" at byte "), std::string::npos) << e.name();
        }
        EXPECT_EQ(c.framing_faults.load(), 1u);
        EXPECT_EQ(c.errors.load(), 1);
        EXPECT_EQ(c.packets.load(), 1u); // nothing after the fault became a packet
    }
}

TEST(CaptureEngine, StartsTwentyTimesOutOfTwentyUnderTrafficOnEveryLink)
{
    orw::unitsim::config unit = orw::unitsim::recording_unit("TRC-8");
    unit.keep_history = false;
    orw::unitsim::simulator sim(unit);
    std::atomic<bool> cancel{false};
    std::thread traffic([&] {
        orw::unitsim::traffic t;
        t.count = 100000000;
        t.sizes = {64, 1000, 3};
        t.rate = 2000;
        t.cancel = &cancel;
        while (!cancel) {
            if (!sim.wait_for_clients(1, 100))
                continue;
            sim.generate(t);
        }
    });
    int started = 0;
    for (int i = 0; i < 20; ++i) {
        try {
            capture_probe c(sim.address().c_str(), "", 0, 0);
            orw::trc::config cfg;
            cfg.defaults(false, c.no_ports);
            c.set_config(&cfg);
            c.tick_length = short_tick;
            c.start(1);
            EXPECT_TRUE(eventually([&] { return c.packets >= 10 || !c.running; }));
            c.stop();
            c.wait();
            ++started;
        } catch (const std::exception &e) {
            ADD_FAILURE() << "start " << i << ": " << e.what();
        }
    }
    cancel = true;
    traffic.join();
    EXPECT_EQ(started, 20);
}

namespace {

// In a child whose files may grow to 200 KiB, a numbered capture rotating
// at 1 MiB fills its first file past the limit. Returns 0, or the number of
// the first check that failed.
int capture_under_file_limit(const std::string &dir, bool pcap)
{
    rlimit rl = {200 * 1024, 200 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
        return 1;
    setenv("ORW_FILE_INDEX", "1", 1);
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    const std::string target = dir + (pcap ? "/cap.pcap" : "/cap.trc");
    std::unique_ptr<orw::trc::capture> c;
    if (pcap)
        c.reset(new orw::trc::pcap_capture(sim.address().c_str(), target.c_str(), 0, 1));
    else
        c.reset(new orw::trc::trc_capture(sim.address().c_str(), target.c_str(), 0, 1));
    c->start(1);
    if (!test::eventually([&] { return c->capture_thread_running.load(); }))
        return 2;
    orw::unitsim::traffic t;
    t.links = {2};
    t.count = 30;
    t.sizes = {20 * 1024};
    sim.generate(t);
    test::eventually([&] { return !c->running; }, 1000);
    c->stop();
    try {
        c->wait();
        return 3; // the loss went unreported
    } catch (const orw::error &e) {
        if (e.get() != Error_RecFile_Write || e.name() != dir + "/cap_00000001.tmp")
            return 4; // the error names the file that failed
    }
    if (c->capture_files() != 0)
        return 5;
    c.reset();
    struct stat st;
    if (stat((dir + "/cap_00000001.tmp").c_str(), &st) != 0 || stat(target.c_str(), &st) == 0)
        return 6; // cut short: kept under its in-progress name only
    return 0;
}

} // namespace

TEST(CaptureEngine, AFileCutShortIsNamedAndNeverFinished)
{
    for (bool pcap : {false, true}) {
        SCOPED_TRACE(pcap);
        test::scratch_dir dir;
        test::expect_child_passes([&] { return capture_under_file_limit(dir.path, pcap); });
        EXPECT_EQ(dir.files(), std::vector<std::string>{"cap_00000001.tmp"});
    }
}
