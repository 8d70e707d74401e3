// SPDX-License-Identifier: MIT
// Trace lines and buffer dumps: the exact text written for each kind of
// packet, the link numbers shown, and the dump limit.
#include "OrwinInternal.h"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct temp_name {
    char name[32] = "/tmp/orwin-log-XXXXXX";
    temp_name()
    {
        int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
    }
    ~temp_name() { unlink(name); }
    std::string text() const
    {
        std::string out;
        FILE *f = fopen(name, "r");
        if (!f)
            return out;
        int c;
        while ((c = fgetc(f)) != EOF)
            out.push_back(static_cast<char>(c));
        fclose(f);
        return out;
    }
};

bytes_t counting(size_t n)
{
    bytes_t b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i);
    return b;
}

} // namespace

TEST(Trace, ReceivedPacketLine)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    temp_name log;
    ASSERT_EQ(Orwin_set_log_file(u.link, log.name), 0);
    bytes_t frame = {0x40 + 20};
    bytes_t data = counting(20);
    frame.insert(frame.end(), data.begin(), data.end());
    u.write_raw(frame);
    uint8_t buf[64];
    uint32_t type;
    ASSERT_EQ(Orwin_read_packet(u.link, buf, sizeof buf, &type), 20);
    ASSERT_EQ(Orwin_set_log_file(u.link, nullptr), 0);
    EXPECT_EQ(log.text(),
              "Rx@1 (len=  20) [   0] #00 #01 #02 #03  #04 #05 #06 #07  #08 #09 #0A #0B  #0C #0D #0E #0F"
              " \\\n                [  16] #10 #11 #12 #13 EOP\n");
}

TEST(Trace, LinesByPacketKind)
{
    const bytes_t timetag = {0x88, 0, 0, 0, 0, 0, 0, 0x27, 0x10};
    struct {
        int direction;
        bytes_t data;
        int type;
        const char *line;
    } const cases[] = {
        {ORW_DIRECTION_TX, {1, 0xAB}, Orwin_SPECIAL, "Tx@1 // SPECIAL_PACKET (len=2): #01 #AB\n"},
        {ORW_DIRECTION_RX, timetag, Orwin_EXTN, "Rx@1 // timetag {1000.0ns}\n"},
        {ORW_DIRECTION_TX, {0x91, 0x2A}, Orwin_EXTN, "Tx@1 // EXTN_PACKET (len=2): #91 #2A\n"},
        {ORW_DIRECTION_TX, {0x45}, Orwin_EXTN, "Tx@5 // Set active link = 5\n"},
        {ORW_DIRECTION_TX, {1, 2, 3, 4}, Orwin_EEP, "Tx@1 (len=   4) [   0] #01 #02 #03 #04 EEP\n"},
        {ORW_DIRECTION_RX,
         {9, 8, 7, 6, 5},
         Orwin_PART_EOP_EEP,
         "Rx@1 (len=   5) [   0] #09 #08 #07 #06  #05\n"},
        {ORW_DIRECTION_RX, {}, Orwin_EOP, "Rx@1 (len=   0) [   0] EOP\n"},
        {ORW_DIRECTION_RX, {0x88, 1}, Orwin_PART_EXTN, "Rx@1"},
        {ORW_DIRECTION_RX, {0x88, 1}, Orwin_EXTN, "Rx@1 // EXTN_PACKET (len=2): #88 #01\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        unit_pair u(SYSTEM_TYPE_Tor, {});
        temp_name log;
        ASSERT_EQ(Orwin_set_log_file(u.link, log.name), 0);
        orw_log_packet(u.record(), c.direction, c.data.data(), c.data.size(), c.type);
        ASSERT_EQ(Orwin_set_log_file(u.link, nullptr), 0);
        EXPECT_EQ(log.text(), c.line);
    }
}

TEST(Trace, SentPacketsAreTracedBeforeQueueingAndFollowLinkSelection)
{
    unit_pair u(SYSTEM_TYPE_Vex, {Orwin_MODULE_ram_rw});
    // Without a log file the link numbers still follow selections.
    ASSERT_EQ(Orwin_write_EXTN(u.link, 0x43), 0);
    EXPECT_EQ(u.record()->log_tx_port, 3);
    u.write_raw({0xC0, 0x46, 0x41, 'x'});
    uint8_t buf[16];
    uint32_t type;
    ASSERT_EQ(Orwin_read_packet_full(u.link, buf, sizeof buf, &type, RETURN_EXTENSION_DATA), 1);
    ASSERT_EQ(type, static_cast<uint32_t>(Orwin_EXTN));
    EXPECT_EQ(u.record()->log_rx_port, 6);

    temp_name log;
    ASSERT_EQ(Orwin_set_log_file(u.link, log.name), 0);
    uint8_t one = 0x5A;
    ASSERT_EQ(Orwin_write_packet(u.link, &one, 1, Orwin_EOP), 0);
    EXPECT_EQ(log.text(), "Tx@3 (len=   1) [   0] #5A EOP\n")
        << "the line is written when the packet is queued";
    ASSERT_EQ(Orwin_set_log_file(u.link, nullptr), 0);

    char bad[] = "/nonexistent-dir/log";
    EXPECT_EQ(Orwin_set_log_file(u.link, bad), Error_LogFile_Open);
}

// Hold the first `held` bytes of the receive buffer and read `read` bytes of
// them, as a read that took them from the socket would.
void parse_held(ORW *r, size_t held, ssize_t read)
{
    std::vector<unsigned char> out(static_cast<size_t>(read));
    orw_rx_read rd{};
    rd.buffer = out.data();
    rd.length = read;
    ASSERT_EQ(orw_rx_feed(&r->rx, r->rx_buffer, held, &rd), ORW_RX_BYTES);
    ASSERT_EQ(rd.stored, read);
}

TEST(Dump, FormatAndLimit)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    ORW *r = u.record();
    for (int i = 0; i < 20; ++i)
        r->rx_buffer[i] = static_cast<unsigned char>(0xA0 + i);
    // A two-byte read of the 32-byte EEP frame A0 parses its header and two
    // payload bytes, so 3 of the 20 held are parsed.
    parse_held(r, 20, 2);
    temp_name dump;
    ASSERT_EQ(Orwin_dump(u.link, dump.name, nullptr), 0);
    EXPECT_EQ(dump.text(), "rx_buffer_content = #20X\nrx_buffer_ptr = #3 \nrx_buffer: "
                           "\n#000000: #A0 #A1 #A2 #A3 #A4 #A5 #A6 #A7 #A8 #A9 #AA #AB #AC #AD #AE #AF "
                           "\n#000010: #B0 #B1 #B2 #B3 "
                           "\n\n-----------------------------------------------------\n\n");

    // Six dumps by default, the first included; later calls are ignored.
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(Orwin_dump(u.link, dump.name, nullptr), 0);
    std::string text = dump.text();
    size_t count = 0;
    for (size_t at = text.find("-----\n"); at != std::string::npos; at = text.find("-----\n", at + 1))
        ++count;
    EXPECT_EQ(count, 6u);
}

// The window shown starts up to 128 bytes before the parse position, on a
// 16-byte boundary, and stops 255 bytes after it.
TEST(Dump, WindowAroundTheParsePosition)
{
    unit_pair u(SYSTEM_TYPE_Tor, {});
    ORW *r = u.record();
    // An EOP frame of 996 bytes: its read parses 1000 of the 4000 held.
    const unsigned char header[] = {0x7F, 0x00, 0x03, 0xE4};
    memcpy(r->rx_buffer, header, sizeof header);
    parse_held(r, 4000, 996);
    temp_name dump;
    ASSERT_EQ(Orwin_dump(u.link, dump.name, nullptr), 0);
    std::string text = dump.text();
    EXPECT_NE(text.find("\n#000360: "), std::string::npos); // (1000 - 128) rounded down to 16
    EXPECT_EQ(text.find("\n#000350: "), std::string::npos);
    EXPECT_NE(text.find("\n#0004E0: "), std::string::npos); // last row holds byte 1255
    EXPECT_EQ(text.find("\n#0004F0: "), std::string::npos);
    size_t bytes = 0;
    for (size_t at = text.find(" #"); at != std::string::npos; at = text.find(" #", at + 1))
        ++bytes;
    EXPECT_EQ(bytes, 2 + (1256u - 864u)); // two in the header lines
}
