// SPDX-License-Identifier: MIT
// Record files: header and re-synchronisation records, the switch between
// files, replay of a file started mid-frame, and replacing a replay file.
#include "OrwinInternal.h"
#include "child_check.hpp"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct temp_file {
    char name[32] = "/tmp/orwin-rec-XXXXXX";
    temp_file()
    {
        int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
    }
    ~temp_file() { unlink(name); }
    bytes_t read() const
    {
        bytes_t out;
        FILE *f = fopen(name, "rb");
        if (!f)
            return out;
        int c;
        while ((c = fgetc(f)) != EOF)
            out.push_back(static_cast<uint8_t>(c));
        fclose(f);
        return out;
    }
};

bytes_t eop_frame(size_t n, uint8_t seed)
{
    bytes_t f;
    if (n <= 60)
        f.push_back(static_cast<uint8_t>(0x40 + n));
    else
        f = {0x7E, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    for (size_t i = 0; i < n; ++i)
        f.push_back(static_cast<uint8_t>(seed + i));
    return f;
}

uint64_t be(const bytes_t &b, size_t at, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | b[at + i];
    return v;
}

bytes_t slice(const bytes_t &b, size_t from, size_t n)
{
    return bytes_t(b.begin() + from, b.begin() + from + n);
}

bytes_t concat_bytes(bytes_t a, const bytes_t &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(Record, HeaderSlotsAndLinkReselection)
{
    unit_pair u(SYSTEM_TYPE_Vex, {0, 5, Orwin_MODULE_ram_rw});
    ASSERT_NE(u.link, nullptr);
    temp_file file;
    const time_t before = time(nullptr);
    ASSERT_EQ(Orwin_set_record_file(u.link, file.name), 0);
    ASSERT_EQ(Orwin_flush_record_file(u.link), 0);
    bytes_t b = file.read();
    ASSERT_EQ(b.size(), 16u + 12 + 2);
    EXPECT_EQ(slice(b, 0, 4), (bytes_t{0xC0, 0xCE, 0x00, 0x02}));
    const uint64_t seconds = be(b, 4, 8);
    EXPECT_GE(seconds + 1, static_cast<uint64_t>(before));
    EXPECT_LE(seconds, static_cast<uint64_t>(time(nullptr)) + 1);
    EXPECT_LT(be(b, 12, 4), 1000000000u);
    EXPECT_EQ(slice(b, 16, 14), (bytes_t{0xC0, 0x92, 0, 0, 0xC0, 0x92, 1, 5, 0xC0, 0x92, 2, 21, 0xC0, 0x41}));
    EXPECT_EQ(Orwin_get_record_size(u.link), 14u);

    // The start time is taken once per link.
    temp_file second;
    ASSERT_EQ(Orwin_set_record_file(u.link, second.name), 0);
    ASSERT_EQ(Orwin_set_record_file(u.link, nullptr), 0);
    EXPECT_EQ(Orwin_get_record_file(u.link), nullptr);
    EXPECT_EQ(slice(second.read(), 0, 16), slice(b, 0, 16));
}

TEST(Record, TimetagGivesTimeZeroAndLinkEntry)
{
    unit_pair u(SYSTEM_TYPE_Vex, {Orwin_MODULE_ram_rw});
    const bytes_t tt = {1, 2, 3, 4, 5, 6, 7, 8};
    bytes_t stream = {0xC0, 0x42, 0xC0, 0x88};
    stream.insert(stream.end(), tt.begin(), tt.end());
    const bytes_t packet = eop_frame(4, 9);
    stream.insert(stream.end(), packet.begin(), packet.end());
    u.write_raw(stream);
    uint8_t buf[64];
    uint32_t type = 0;
    ASSERT_EQ(Orwin_read_packet(u.link, buf, sizeof buf, &type), 4);
    ASSERT_EQ(type, static_cast<uint32_t>(Orwin_EOP));

    temp_file file;
    ASSERT_EQ(Orwin_set_record_file(u.link, file.name), 0);
    ASSERT_EQ(Orwin_set_record_file(u.link, nullptr), 0);
    bytes_t b = file.read();
    bytes_t expected = {0xC0, 0x92, 0, 21, 0xC0, 0x98};
    expected.insert(expected.end(), tt.begin(), tt.end());
    expected.insert(expected.end(), {0xC0, 0x42, 0xC0, 0x88});
    expected.insert(expected.end(), tt.begin(), tt.end());
    expected.insert(expected.end(), {0xC0, 0x82, 0, 0, 0xC0, 0x42});
    ASSERT_GE(b.size(), 16u);
    EXPECT_EQ(bytes_t(b.begin() + 16, b.end()), expected);
}

// The bytes read but not yet parsed move from the old file to the new one.
TEST(Record, SwitchMovesUnparsedBytesToTheNewFile)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    temp_file old_file, new_file;
    ASSERT_EQ(Orwin_set_record_file(u.link, old_file.name), 0);
    const uint64_t resync = Orwin_get_record_size(u.link);
    bytes_t stream;
    for (int i = 0; i < 10; ++i) {
        bytes_t f = eop_frame(10 + i, static_cast<uint8_t>(i));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    u.write_raw(stream);
    uint8_t buf[64];
    uint32_t type;
    ASSERT_EQ(Orwin_read_packet(u.link, buf, sizeof buf, &type), 10);
    const ORW *r = u.record();
    ASSERT_EQ(orw_rx_input_length(&r->rx), stream.size()) << "one read took the whole stream";
    const size_t unparsed = stream.size() - 11;

    ASSERT_EQ(Orwin_set_record_file(u.link, new_file.name), 0);
    bytes_t old_bytes = old_file.read();
    EXPECT_EQ(old_bytes.size(), 16 + resync + 11);
    EXPECT_EQ(slice(old_bytes, old_bytes.size() - 11, 11), slice(stream, 0, 11));
    ASSERT_EQ(Orwin_flush_record_file(u.link), 0);
    bytes_t new_bytes = new_file.read();
    ASSERT_GE(new_bytes.size(), unparsed);
    EXPECT_EQ(slice(new_bytes, new_bytes.size() - unparsed, unparsed), slice(stream, 11, unparsed));
    EXPECT_EQ(Orwin_get_record_size(u.link), 2 + unparsed);
    ASSERT_EQ(Orwin_set_record_file(u.link, nullptr), 0);
}

// A switch while the reader is inside a frame (its buffer filled first) must
// still give a file that replays the rest of that packet and what follows.
TEST(Record, FileStartedMidFrameReplaysTheRestOfThePacket)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    bytes_t stream = eop_frame(100, 0);
    bytes_t second = eop_frame(300, 50);
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), {0x02, 'a', 'b', 0xC0, 0x43, 0x41, 'c'});
    u.write_raw(stream);
    uint8_t buf[512];
    uint32_t type;
    ASSERT_EQ(Orwin_read_packet(u.link, buf, 40, &type), 40);
    ASSERT_EQ(type, static_cast<uint32_t>(Orwin_PART_EOP_EEP));

    temp_file file;
    ASSERT_EQ(Orwin_set_record_file(u.link, file.name), 0);
    std::vector<bytes_t> live;
    for (int i = 0; i < 4; ++i) {
        ssize_t n = Orwin_read_packet(u.link, buf, sizeof buf, &type);
        ASSERT_GE(n, 0);
        live.push_back(bytes_t(buf, buf + n));
    }
    ASSERT_EQ(Orwin_set_record_file(u.link, nullptr), 0);

    Orwin replay = Orwin_open_file(file.name);
    ASSERT_NE(replay, nullptr);
    for (size_t i = 0; i < live.size(); ++i) {
        ssize_t n = Orwin_read_packet(replay, buf, sizeof buf, &type);
        ASSERT_GE(n, 0) << "packet " << i;
        EXPECT_EQ(bytes_t(buf, buf + n), live[i]) << "packet " << i;
    }
    Orwin_close(replay);
}

TEST(Record, UnwritableFilesFail)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    char missing_dir[] = "/nonexistent-dir/record";
    EXPECT_EQ(Orwin_set_record_file(u.link, missing_dir), Error_RecFile_Open);
    EXPECT_EQ(Orwin_get_record_file(u.link), nullptr);
#ifndef ORWIN_EARLIER_BUILD
    EXPECT_EQ(Orwin_set_tx_record_file(u.link, missing_dir), Error_RecFile_Open);
#endif
    EXPECT_EQ(Orwin_flush_record_file(u.link), 0);

    // A header that cannot be written fails the open; a device is never removed.
    struct stat st;
    if (stat("/dev/full", &st) == 0) {
        char full[] = "/dev/full";
        EXPECT_EQ(Orwin_set_record_file(u.link, full), Error_RecFile_Open);
        EXPECT_EQ(Orwin_get_record_file(u.link), nullptr);
        EXPECT_EQ(stat("/dev/full", &st), 0);
    }
}

TEST(Record, FileReplacesTheReplayDescriptor)
{
    temp_file first, second;
    {
        FILE *f = fopen(first.name, "wb");
        bytes_t a = eop_frame(100, 1);
        fwrite(a.data(), 1, a.size(), f);
        fclose(f);
        f = fopen(second.name, "wb");
        bytes_t b = eop_frame(4, 7);
        fwrite(b.data(), 1, b.size(), f);
        fclose(f);
    }
    Orwin link = Orwin_open_file(first.name);
    ASSERT_NE(link, nullptr);
    uint8_t buf[256];
    uint32_t type;
    ASSERT_EQ(Orwin_read_packet(link, buf, 30, &type), 30) << "leave the old file mid-packet";

    char missing[] = "/nonexistent-dir/replay";
    EXPECT_EQ(Orwin_File(link, missing), Error_File_Not_Present);
    ASSERT_EQ(Orwin_File(link, second.name), 0);
    EXPECT_EQ(Orwin_read_packet(link, buf, sizeof buf, &type), 4);
    EXPECT_EQ(type, static_cast<uint32_t>(Orwin_EOP));
    EXPECT_EQ(bytes_t(buf, buf + 4), (bytes_t{7, 8, 9, 10}));
    EXPECT_NEAR(Orwin_get_percent_file_read(link), 5 * 1000.0 / 5, 1000.0 / 5);
    Orwin_close(link);
}

namespace {

struct piece {
    uint32_t type;
    bytes_t data;
    bool operator==(const piece &o) const { return type == o.type && data == o.data; }
};

bytes_t extension_seen; // filled by the extension callback below
int keep_extension(Orwin, void *data, int length, int, int)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    extension_seen.assign(p, p + length);
    return 1;
}

void watch_extensions(Orwin link)
{
    static uint8_t cb_buffer[64];
    Orwin_read_packet_extension_callback(link, cb_buffer, sizeof cb_buffer, keep_extension);
}

// Everything a link delivers with `sda` until it times out or ends;
// callback extensions are listed as EXTN.
std::vector<piece> read_all(Orwin link, int sda)
{
    watch_extensions(link);
    std::vector<piece> out;
    uint8_t buf[512];
    for (;;) {
        uint32_t type = 0;
        extension_seen.clear();
        ssize_t n = Orwin_read_packet_full(link, buf, sizeof buf, &type, sda);
        if (!extension_seen.empty())
            out.push_back({Orwin_EXTN, extension_seen});
        if (n < 0)
            return out;
        if (n > 0 || type == Orwin_EOP || type == Orwin_EEP)
            out.push_back({type, bytes_t(buf, buf + n)});
    }
}

bool ends_with(const std::vector<piece> &all, const std::vector<piece> &tail)
{
    return all.size() >= tail.size() && std::equal(tail.begin(), tail.end(), all.end() - tail.size());
}

} // namespace

// A file started while the receiver is inside an extension replays the
// packets the live link delivered from the switch on: the extension whole,
// never a tail read as frame headers.
TEST(Record, SwitchInsideAnExtensionReplaysIt)
{
    const bytes_t timetag = {0xC0, 0x88, 0, 0, 0, 0, 0, 0, 0x27, 0x10};
    const bytes_t rest = {0x43, 'a', 'b', 'c', 0xC0, 0x45, 0x41, 'x'};
    struct scenario {
        const char *name;
        int sda;
        size_t first_read; // bytes of the extension the caller's buffer takes
        bool stall;        // the rest of the extension arrives after a time-out
    };
    const scenario scenarios[] = {
        {"after a size report", REPORT_EXTENSION_DATA, 64, false},
        {"after a part returned", RETURN_EXTENSION_DATA, 4, false},
        {"after a time-out, callbacks", CALLBACK_EXTENSION_DATA, 64, true},
    };
    for (const scenario &s : scenarios) {
        SCOPED_TRACE(s.name);
        unit_pair u(SYSTEM_TYPE_Vex, {0, 5, Orwin_MODULE_ram_rw});
        Orwin_set_rx_timeout(u.link, 100);
        watch_extensions(u.link);
        const size_t sent_first = s.stall ? 5 : timetag.size();
        u.write_raw(slice(timetag, 0, sent_first));
        uint8_t buf[64];
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(u.link, buf, s.first_read, &type, s.sda);
        bytes_t before(buf, buf + (n > 0 && s.sda == RETURN_EXTENSION_DATA ? n : 0));
        if (s.stall) {
            EXPECT_EQ(n, Error_Receiver_Timeout);
        }
        temp_file file;
        ASSERT_EQ(Orwin_set_record_file(u.link, file.name), 0);
        u.write_raw(concat_bytes(slice(timetag, sent_first, timetag.size() - sent_first), rest));
        const int later_sda = s.sda == REPORT_EXTENSION_DATA ? RETURN_EXTENSION_DATA : s.sda;
        std::vector<piece> live = read_all(u.link, later_sda);
        ASSERT_EQ(Orwin_set_record_file(u.link, nullptr), 0);
        ASSERT_GE(live.size(), 3u);
        // The replay carries the extension whole where the live link handed
        // over only its tail after a part.
        std::vector<piece> expected = live;
        expected[0].data.insert(expected[0].data.begin(), before.begin(), before.end());
        EXPECT_EQ(expected[0].data, slice(timetag, 1, 9));

        Orwin replay = Orwin_open_file(file.name);
        ASSERT_NE(replay, nullptr);
        std::vector<piece> replayed = read_all(replay, later_sda);
        Orwin_close(replay);
        EXPECT_TRUE(ends_with(replayed, expected)) << "replayed " << replayed.size() << " pieces";
        for (const piece &p : replayed)
            EXPECT_NE(p.type, static_cast<uint32_t>(Orwin_EEP)) << "no packet is invented";
    }
}

// A switch whose new file cannot be opened leaves the unparsed bytes in the
// old file, which is closed whole.
TEST(Record, FailedSwitchKeepsTheUnparsedBytes)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    temp_file old_file;
    ASSERT_EQ(Orwin_set_record_file(u.link, old_file.name), 0);
    // Starting the same file again gives a fresh file, not one cut under it.
    ASSERT_EQ(Orwin_set_record_file(u.link, old_file.name), 0);
    const uint64_t resync = Orwin_get_record_size(u.link);
    bytes_t stream = concat_bytes(eop_frame(10, 1), eop_frame(100, 2));
    u.write_raw(stream);
    uint8_t buf[128];
    uint32_t type;
    ASSERT_EQ(Orwin_read_packet(u.link, buf, sizeof buf, &type), 10);
    char missing[] = "/nonexistent-dir/record";
    EXPECT_EQ(Orwin_set_record_file(u.link, missing), Error_RecFile_Open);
    EXPECT_EQ(Orwin_get_record_file(u.link), nullptr);
    bytes_t old_bytes = old_file.read();
    ASSERT_EQ(old_bytes.size(), 16 + resync + stream.size());
    EXPECT_EQ(slice(old_bytes, 16 + resync, stream.size()), stream);
}

// Selections of links 9-30 move the time image like those of 1-8: a later
// timetag lands in the selected link's entry and the re-selection names it.
TEST(Record, TimeImageFollowsEveryLinkSelection)
{
    for (int n : {2, 9, 17, 30}) {
        SCOPED_TRACE(n);
        unit_pair u(SYSTEM_TYPE_Tor, {});
        const bytes_t tt = {0, 0, 0, 0, 0, 0, 0x12, static_cast<uint8_t>(n)};
        bytes_t stream = {0xC0, static_cast<uint8_t>(0x40 + n), 0xC0, 0x88};
        stream.insert(stream.end(), tt.begin(), tt.end());
        stream = concat_bytes(stream, eop_frame(3, 0));
        u.write_raw(stream);
        uint8_t buf[16];
        uint32_t type;
        ASSERT_EQ(Orwin_read_packet(u.link, buf, sizeof buf, &type), 3);
        EXPECT_EQ(u.record()->extn_link, n);
        temp_file file;
        ASSERT_EQ(Orwin_set_record_file(u.link, file.name), 0);
        ASSERT_EQ(Orwin_set_record_file(u.link, nullptr), 0);
        bytes_t entry = {0xC0, static_cast<uint8_t>(0x40 + n), 0xC0, 0x88};
        entry.insert(entry.end(), tt.begin(), tt.end());
        entry.insert(entry.end(), {0xC0, 0x82, 0, 0});
        bytes_t b = file.read();
        ASSERT_GE(b.size(), 16 + 10 + entry.size() + 2);
        EXPECT_EQ(slice(b, 16 + 10, entry.size()), entry) << "only the selected link's entry is valid";
        EXPECT_EQ(slice(b, b.size() - 2, 2), (bytes_t{0xC0, static_cast<uint8_t>(0x40 + n)}));
    }
}

namespace {

// Run in a child whose file-size limit lets the record file grow to `limit`
// bytes: a stream of `packets` frames, each read from its own socket read,
// then a packet whose second half arrives while the read already holds the
// first. Returns 0, or the number of the first check that failed.
int record_under_file_limit(const char *path, off_t limit)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit rl = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
        return 1;
    unit_pair u(SYSTEM_TYPE_Tor, {});
    Orwin_check_record_writes(u.link, 1);
    if (Orwin_set_record_file(u.link, const_cast<char *>(path)) != 0)
        return 2;
    const uint64_t start = 16 + Orwin_get_record_size(u.link);
    const int packets = 400;
    const size_t frame = eop_frame(100, 0).size();
    uint8_t buf[256];
    uint32_t type;
    int failures = 0, delivered = 0;
    for (int i = 0; i < packets; ++i) {
        u.write_raw(eop_frame(100, static_cast<uint8_t>(i)));
        ssize_t n = Orwin_read_packet(u.link, buf, sizeof buf, &type);
        if (n == Error_RecFile_Write) {
            ++failures;
            n = Orwin_read_packet(u.link, buf, sizeof buf, &type); // the bytes were kept
        }
        if (n == 100 && buf[0] == static_cast<uint8_t>(i))
            ++delivered;
    }
    const uint64_t fitting = (static_cast<uint64_t>(limit) - start) / frame;
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size != limit)
        return 3;
    if (Orwin_get_record_size(u.link) != static_cast<uint64_t>(limit) - 16)
        return 4; // only bytes the file took are counted
    if (delivered != packets)
        return 5;
    if (static_cast<uint64_t>(failures) != packets - fitting)
        return 6; // every read whose bytes missed the file failed once

    // Held bytes first, the error on the next read, then the rest.
    bytes_t split = eop_frame(100, 7);
    u.write_raw(slice(split, 0, 50));
    if (Orwin_read_packet(u.link, buf, sizeof buf, &type) != Error_RecFile_Write)
        return 7;
    std::thread late([&] {
        usleep(50000);
        u.write_raw(slice(split, 50, split.size() - 50));
    });
    ssize_t held = Orwin_read_packet(u.link, buf, sizeof buf, &type);
    late.join();
    if (held != 47 || type != Orwin_PART_EOP_EEP)
        return 8;
    if (Orwin_read_packet(u.link, buf, sizeof buf, &type) != Error_RecFile_Write)
        return 9;
    if (Orwin_read_packet(u.link, buf, sizeof buf, &type) != 53 || type != Orwin_EOP)
        return 10;
    return 0;
}

} // namespace

TEST(Record, CheckedWritesReportEveryLossUnderAFileSizeLimit)
{
    temp_file file;
    test::expect_child_passes([&] { return record_under_file_limit(file.name, 16 * 1024 + 37); });
}

namespace {

// In a child whose file-size limit is `limit`, each of the three files a
// link writes is overfilled with checking off; every call may return 0 on
// the way, but flushing, switching or closing the file reports the loss.
// Returns 0, or the number of the first check that failed.
int unchecked_losses_under_file_limit(const std::string &dir, off_t limit)
{
    rlimit rl = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
        return 1;
    unit_pair u(SYSTEM_TYPE_Tor, {});
    const std::string rx = dir + "/rx", tx = dir + "/tx", log = dir + "/log", next = dir + "/next";
    if (Orwin_set_record_file(u.link, const_cast<char *>(rx.c_str())) != 0 ||
        Orwin_set_log_file(u.link, const_cast<char *>(log.c_str())) != 0)
        return 2;
#ifndef ORWIN_EARLIER_BUILD
    if (Orwin_set_tx_record_file(u.link, const_cast<char *>(tx.c_str())) != 0)
        return 2;
#endif
    uint8_t buf[256];
    uint32_t type;
    const int packets = 1 + static_cast<int>(limit / 100);
    for (int i = 0; i < packets; ++i) {
        u.write_raw(eop_frame(100, static_cast<uint8_t>(i)));
        if (Orwin_read_packet(u.link, buf, sizeof buf, &type) != 100)
            return 3; // received data still reaches the caller
        if (Orwin_write_packet(u.link, buf, 100, Orwin_EOP) < 0 || Orwin_flush(u.link) < 0)
            return 4;
    }
    if (Orwin_flush_record_file(u.link) != Error_RecFile_Write ||
        std::string(Orwin_get_error_text()) != "error writing to record file")
        return 5;
    // Switching reports the loss of the file it ends, and the new file runs.
    if (Orwin_set_record_file(u.link, const_cast<char *>(next.c_str())) != Error_RecFile_Write ||
        Orwin_get_record_file(u.link) == nullptr)
        return 6;
    if (Orwin_set_record_file(u.link, nullptr) != 0 || Orwin_flush_record_file(u.link) != 0)
        return 7; // the new file was whole
#ifndef ORWIN_EARLIER_BUILD
    if (Orwin_set_tx_record_file(u.link, nullptr) != Error_RecFile_Write)
        return 8;
#endif
    if (Orwin_set_log_file(u.link, nullptr) != Error_LogFile_Write)
        return 9;
    return 0;
}

} // namespace

// The library ignores SIGXFSZ: a write past the file-size limit fails with
// EFBIG like a full disk instead of ending the process.
TEST(Record, UncheckedLossesAreReportedByFlushSwitchAndClose)
{
    {
        unit_pair u(SYSTEM_TYPE_Tor, {});
        struct sigaction sa = {};
        ASSERT_EQ(sigaction(SIGXFSZ, nullptr, &sa), 0);
        EXPECT_EQ(sa.sa_handler, SIG_IGN);
    }
    char dir[] = "/tmp/orwin-loss-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    test::expect_child_passes([&] { return unchecked_losses_under_file_limit(dir, 8 * 1024 + 5); });
    for (const char *leaf : {"/rx", "/tx", "/log", "/next"})
        unlink((std::string(dir) + leaf).c_str());
    rmdir(dir);
}
