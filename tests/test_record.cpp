// Record files: header and re-synchronisation records, the switch between
// files, replay of a file started mid-frame, and replacing a replay file.
#include "OrwinInternal.h"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>
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

bytes_t slice(const bytes_t &b, size_t from, size_t n) { return bytes_t(b.begin() + from, b.begin() + from + n); }

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
    ASSERT_EQ(r->rx_buffer_content, static_cast<ssize_t>(stream.size())) << "one read took the whole stream";
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
    EXPECT_EQ(Orwin_set_tx_record_file(u.link, missing_dir), Error_RecFile_Open);
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
