// SPDX-License-Identifier: MIT
// The capture functions of the C interface against the simulator: one
// capture per name, the 0/1 results, finished files after a stop, refused
// starts leaving nothing behind, pending parts written at close, and calls
// from several threads at once.
#include "Orwin.h"
#include "Orwin_Pcap.hpp"
#include "capture_files.hpp"
#include "deadline.hpp"
#include "orwin_unitsim.hpp"
#include "pcap_reader.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string file_of(const char *device, int idx, int &rc)
{
    std::vector<char> buf(orw::utils::filewriter::name_size, 'x');
    rc = Orwin_Capture_File(device, idx, buf.data());
    return buf.data();
}

struct recorder_unit {
    orw::unitsim::simulator sim{orw::unitsim::recording_unit("TRC-8")};
    std::string address = sim.address();
    const char *name() const { return address.c_str(); }
};

} // namespace

TEST(CaptureInterface, OneCapturePerNameAndItsFilesAfterAStop)
{
    recorder_unit u;
    test::scratch_dir dir;
    const std::string trc = dir / "first.trc", pcap = dir / "second.pcap";
    int rc = 0;
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);
    ASSERT_EQ(Orwin_Capture_TRC(u.name(), "", trc.c_str(), 0), 0);
    EXPECT_EQ(file_of(u.name(), 0, rc), trc);
    // The second start closes the first, of the other kind.
    ASSERT_EQ(Orwin_Capture_PCAP(u.name(), "", pcap.c_str(), 0), 0);
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 0);
    EXPECT_EQ(file_of(u.name(), 0, rc), pcap);
    EXPECT_EQ(rc, 0);
    for (int idx : {-1, 1, 1000}) {
        EXPECT_EQ(file_of(u.name(), idx, rc), "") << idx;
        EXPECT_EQ(rc, 1) << idx;
    }
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 0); // stopping again is harmless
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 0);
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 1); // nothing is left under the name
    EXPECT_EQ(file_of(u.name(), 0, rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(test::read_pcap(pcap).error, "");
}

TEST(CaptureInterface, RefusedStartsReturnOneAndLeaveNothingBehind)
{
    recorder_unit u;
    test::scratch_dir dir;
    const std::string target = dir / "never.pcap";
    test::write_file(dir / "rec.rec", test::recording_header());
    const std::string replay = "-" + dir / "rec.rec";
    // Targets that are not regular files are refused and left as they are.
    std::filesystem::create_directory(dir / "adir");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        const char *why;
        std::string device, config, target;
    } cases[] = {
        {"missing configuration", u.address, dir / "no-such.json", target},
        {"recorded file", replay, "", target},
        {"unreachable unit", "127.0.0.1:1", "", target},
        {"uncreatable file", u.address, "", dir / "no/such/dir/x.pcap"},
        {"directory", u.address, "", dir / "adir"},
        {"FIFO", u.address, "", dir / "fifo"},
        {"device", u.address, "", "/dev/null"},
    };
    for (const auto &k : cases) {
        for (auto start : {Orwin_Capture_PCAP, Orwin_Capture_TRC}) {
            EXPECT_EQ(start(k.device.c_str(), k.config.c_str(), k.target.c_str(), 0), 1) << k.why;
            int rc = 0;
            EXPECT_EQ(file_of(k.device.c_str(), 0, rc), "") << k.why;
            EXPECT_EQ(Orwin_Stop_Capture(k.device.c_str()), 1) << k.why;
        }
    }
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"adir", "fifo", "rec.rec"}));
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo"));
}

// A single output removed during the run, alone or with its directory, makes
// the stop fail, and the file is not listed.
TEST(CaptureInterface, OutputRemovedDuringTheRunIsAFailure)
{
    recorder_unit u;
    test::scratch_dir dir;
    for (auto start : {Orwin_Capture_PCAP, Orwin_Capture_TRC})
        for (bool whole_dir : {false, true}) {
            SCOPED_TRACE(whole_dir);
            std::filesystem::create_directory(dir / "out");
            const std::string target = dir / "out/cap.file";
            ASSERT_EQ(start(u.name(), "", target.c_str(), 0), 0);
            u.sim.emit_packet(2, {1, 2, 3});
            ASSERT_TRUE(u.sim.wait_until_sent(2000));
            std::filesystem::remove_all(whole_dir ? dir / "out" : target);
            EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);
            int rc = 0;
            EXPECT_EQ(file_of(u.name(), 0, rc), "");
            EXPECT_EQ(Orwin_Close_Capture(u.name()), 1); // the failure again, and the capture is gone
            std::filesystem::remove_all(dir / "out");
        }
}

// A pcap pipe waits about 2 s for its reader, then the start fails; the FIFO
// it made is its owner's only and is gone afterwards. A reader arriving in
// time gets the capture.
TEST(CaptureInterface, PipeStartWaitsForAReaderAtMostTwoSeconds)
{
    recorder_unit u;
    test::scratch_dir dir;
    const std::string path = dir / "view";
    const std::string target = "pipe:" + path;
    for (bool reader : {false, true}) {
        SCOPED_TRACE(reader);
        std::atomic<bool> done{false};
        std::atomic<int> mode{-1};
        std::atomic<size_t> header{0};
        // Watches the FIFO appear; reads it when asked to, or after 8 s so a
        // start that never gives up is freed and fails on its time.
        std::thread viewer([&] {
            auto rescue = std::chrono::steady_clock::now() + std::chrono::seconds(8);
            struct stat st;
            while (!done && stat(path.c_str(), &st) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (done)
                return;
            mode = static_cast<int>(st.st_mode & 0777);
            while (!reader && !done && std::chrono::steady_clock::now() < rescue)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (done)
                return;
            int fd = open(path.c_str(), O_RDONLY);
            char buf[24];
            ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
            header = n > 0 ? static_cast<size_t>(n) : 0;
            while (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (fd >= 0)
                close(fd);
        });
        auto begin = std::chrono::steady_clock::now();
        int rc = Orwin_Capture_PCAP(u.name(), "", target.c_str(), 0);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (rc == 0) {
            EXPECT_EQ(Orwin_Close_Capture(u.name()), 0);
        }
        done = true;
        viewer.join();
        EXPECT_EQ(mode.load(), 0600);
        EXPECT_EQ(rc, reader ? 0 : 1);
        EXPECT_LT(took, reader ? 1.5 : 3.5);
        EXPECT_EQ(header.load(), reader ? 24u : 0u);
        EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);
        EXPECT_TRUE(dir.files().empty());
    }

    // A stop while the pipe waits ends the wait at once, and says so.
    orw::trc::pcap_capture c(u.name(), target.c_str(), 0, 0);
    c.start(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto begin = std::chrono::steady_clock::now();
    c.stop();
    try {
        c.wait();
        ADD_FAILURE() << "a capture that never had its pipe ended without an error";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.name(), path);
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 0.5);
    EXPECT_TRUE(dir.files().empty());
}

TEST(CaptureInterface, ClosingWritesAPendingPartOfAPacket)
{
    recorder_unit u;
    test::scratch_dir dir;
    const std::string pcap = dir / "part.pcap";
    ASSERT_EQ(Orwin_Capture_PCAP(u.name(), "", pcap.c_str(), 0), 0);
    // A partial frame cut short by the next announcement: the read returns
    // it as a part, and no end follows.
    u.sim.inject({0xC0, 0x44, 0x05, 1, 2, 3, 4, 5, 0xC0, 0x44});
    u.sim.emit_packet(2, {9, 9, 9});
    ASSERT_TRUE(u.sim.wait_until_sent(2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 0);

    test::pcap_contents got = test::read_pcap(pcap);
    EXPECT_EQ(got.error, "");
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[0].body, (std::vector<uint8_t>{2, 2, 9, 9, 9}));
    EXPECT_EQ(got.records[1].body, (std::vector<uint8_t>{4, 0, 1, 2, 3, 4, 5}));
}

TEST(CaptureInterface, CallsFromSeveralThreadsAtOnce)
{
    constexpr int units = 3;
    std::vector<std::unique_ptr<recorder_unit>> u;
    for (int i = 0; i < units; ++i)
        u.push_back(std::make_unique<recorder_unit>());
    test::scratch_dir dir;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    // Two threads per unit: one restarts its capture, the other lists,
    // stops and closes it meanwhile; the link type is fixed by whichever
    // capture comes first.
    for (int i = 0; i < units; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                std::string target = dir / ("c" + std::to_string(i) + "_" + std::to_string(round) + ".pcap");
                if (Orwin_Capture_PCAP(u[i]->name(), "", target.c_str(), 0) != 0)
                    ++failures;
            }
        });
        threads.emplace_back([&, i] {
            for (int round = 0; round < 20; ++round) {
                int rc = 0;
                file_of(u[i]->name(), 0, rc);
                if (round % 7 == 6)
                    Orwin_Stop_Capture(u[i]->name());
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(pcap::pcap_id.load(), 147);
    for (int i = 0; i < units; ++i) {
        EXPECT_EQ(Orwin_Close_Capture(u[i]->name()), 0) << i;
        EXPECT_EQ(Orwin_Close_Capture(u[i]->name()), 1) << i;
    }
}

TEST(CaptureInterface, ConcurrentRestartsLeaveOneCaptureWithItsLinksEnabled)
{
    recorder_unit u;
    test::scratch_dir dir;
    constexpr int starters = 4, rounds = 2;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    // Each restart closes the capture before it (which disables every link
    // of the unit) and applies its own configuration (every link normal).
    for (int i = 0; i < starters; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < rounds; ++round) {
                std::string target = dir / ("r" + std::to_string(i) + "_" + std::to_string(round));
                auto start = (i + round) % 2 ? Orwin_Capture_TRC : Orwin_Capture_PCAP;
                if (start(u.name(), "", (target + ((i + round) % 2 ? ".trc" : ".pcap")).c_str(), 0) != 0)
                    ++failures;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    for (int link = 1; link <= 8; ++link)
        EXPECT_EQ(u.sim.link_mode(link), 2) << "link " << link;
    // Exactly one capture is left, and it still records.
    int rc = 0;
    const std::string survivor = file_of(u.name(), 0, rc);
    ASSERT_EQ(rc, 0);
    u.sim.emit_packet(3, {7, 7, 7});
    ASSERT_TRUE(u.sim.wait_until_sent(2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 0);
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 1);
    uint64_t packets = 0;
    if (survivor.size() > 5 && survivor.compare(survivor.size() - 5, 5, ".pcap") == 0) {
        for (const auto &r : test::read_pcap(survivor).records)
            packets += r.body.size() == 5 && r.body[0] == 3;
    } else {
        test::replay(survivor, [&](int link, const uint8_t *, size_t size, bool) {
            packets += link == 3 && size == 3;
        });
    }
    EXPECT_EQ(packets, 1u) << survivor;
    EXPECT_EQ(dir.files().size(), static_cast<size_t>(starters * rounds)); // every capture finished its file
}

TEST(CaptureInterface, AFailedCaptureFailsEveryStopAndIsStillClosed)
{
    recorder_unit u;
    test::scratch_dir dir;
    // Rotated files are finished by a rename into their directory: removed
    // meanwhile, the capture cannot finish its file and fails.
    const std::string folder = dir / "gone";
    ASSERT_EQ(Orwin_Capture_TRC(u.name(), "", folder.c_str(), 1), 0);
    u.sim.emit_packet(1, {1, 2, 3});
    ASSERT_TRUE(u.sim.wait_until_sent(2000));
    std::filesystem::remove_all(folder);
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);  // the failure stays the capture's result
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 1); // reported, yet the capture is gone
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 1);
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);
    // A restart after a failed capture leaves the unit's links to the new one.
    ASSERT_EQ(Orwin_Capture_PCAP(u.name(), "", (dir / "next.pcap").c_str(), 0), 0);
    for (int link = 1; link <= 8; ++link)
        EXPECT_EQ(u.sim.link_mode(link), 2) << "link " << link;
    EXPECT_EQ(Orwin_Stop_Capture(u.name()), 0);
    EXPECT_EQ(Orwin_Close_Capture(u.name()), 0);
}

TEST(CaptureInterface, AUnitThatHangsUpFailsTheStopAndAUnitNotReadingCannotHoldIt)
{
    deadline limit(std::chrono::seconds(30), "capture stops against a faulty unit");
    test::scratch_dir dir;
    for (bool pcap : {false, true}) {
        SCOPED_TRACE(pcap);
        recorder_unit u;
        const std::string target = dir / (pcap ? "lost.pcap" : "lost.trc");
        ASSERT_EQ((pcap ? Orwin_Capture_PCAP : Orwin_Capture_TRC)(u.name(), "", target.c_str(), 0), 0);
        u.sim.emit_packet(1, {1, 2, 3});
        ASSERT_TRUE(u.sim.wait_until_sent(2000));
        u.sim.drop_connections();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(Orwin_Stop_Capture(u.name()), 1);
        EXPECT_EQ(Orwin_Close_Capture(u.name()), 1);
        EXPECT_TRUE(std::filesystem::exists(target));

        const std::string next = dir / (pcap ? "deaf.pcap" : "deaf.trc");
        ASSERT_EQ((pcap ? Orwin_Capture_PCAP : Orwin_Capture_TRC)(u.name(), "", next.c_str(), 0), 0);
        u.sim.set_reading(false);
        auto begin = std::chrono::steady_clock::now();
        Orwin_Stop_Capture(u.name());
        Orwin_Close_Capture(u.name());
        EXPECT_LT(ms_since(begin), 2000);
        u.sim.set_reading(true);
    }
}
