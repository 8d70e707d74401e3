// SPDX-License-Identifier: MIT
// Reads through a link: the reference streams fed through a socket pair into
// a wrapped link, waits, time-outs and callbacks. SOCK_SEQPACKET keeps every
// write a read of its own, so a stream written in two pieces arrives in
// exactly those two pieces.
#include "OrwinInternal.h"
#include "framing_cases.hpp"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace framing;

class RxLink {
  public:
    RxLink()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        link = Orwin_open_as_server(sv[0]);
        peer = sv[1];
        EXPECT_NE(link, nullptr);
    }
    ~RxLink()
    {
        if (peer >= 0)
            close(peer);
        Orwin_close(link);
    }
    void feed(const bytes &b)
    {
        if (!b.empty()) {
            ASSERT_EQ(write(peer, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        }
    }
    void end()
    {
        close(peer);
        peer = -1;
    }
    result read(size_t length, int sda = 0)
    {
        bytes buf(length);
        uint32_t flags = 0xFFFF;
        ssize_t r = Orwin_read_packet_full(link, buf.data(), length, &flags, sda);
        buf.resize(r > 0 && flags != Orwin_SPECIAL_SIZE && flags != Orwin_EXTENSION_SIZE ? r : 0);
        return {r, r == Error_Receiver_Shutdown ? 0u : flags, buf};
    }
    ORW *rec() { return orw_link(link); }

    Orwin link = nullptr;
    int peer = -1;
};

// Feed `stream` to a link in two writes split at `split`, then end it; read
// until end of data.
std::vector<result> read_through_socket(const bytes &stream, size_t split, size_t buffer, int sda)
{
    RxLink rx;
    rx.feed(bytes(stream.begin(), stream.begin() + split));
    rx.feed(bytes(stream.begin() + split, stream.end()));
    rx.end();
    std::vector<result> out;
    for (int i = 0; i < 1000; ++i) {
        out.push_back(rx.read(buffer, sda));
        if (out.back().r < 0)
            break;
    }
    return out;
}

TEST(Receive, FramingThroughTheLink)
{
    for (const auto &c : framing_cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(read_through_socket(c.stream, c.stream.size() / 2, c.buffer, c.sda), c.expected);
    }
}

TEST(Receive, SizeReportsConsumeNothing)
{
    RxLink rx;
    rx.feed({0xC7, 1, 2, 3, 4, 5, 6, 7, 0xC0, 0x88});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(rx.read(16, REPORT_SPECIAL_DATA), (result{7, Orwin_SPECIAL_SIZE, {}}));
    EXPECT_EQ(rx.read(16, RETURN_SPECIAL_DATA), (result{7, Orwin_SPECIAL, {1, 2, 3, 4, 5, 6, 7}}));
    // The timetag's bytes have not arrived yet: the report needs none of them.
    EXPECT_EQ(rx.read(16, REPORT_EXTENSION_DATA), (result{9, Orwin_EXTENSION_SIZE, {}}));
    rx.feed(tt);
    EXPECT_EQ(rx.read(16, RETURN_EXTENSION_DATA), (result{9, Orwin_EXTN, cat({{0x88}, tt})}));
}

TEST(Receive, ErrorsAndTypeNames)
{
    RxLink rx;
    uint8_t b[4];
    EXPECT_EQ(Orwin_get_packet(rx.link, b, 0, 0, 0), Error_Zero_Read);
    EXPECT_STREQ(Orwin_get_error_text(), "Zero sized buffer");
    rx.end();
    EXPECT_EQ(Orwin_get_packet(rx.link, b, 0, 4, 0), Error_Receiver_Shutdown);
    EXPECT_STREQ(Orwin_get_error_text(), "End of Data");

#ifndef ORWIN_EARLIER_BUILD
    const std::pair<int, const char *> names[] = {{Orwin_EEP, "Orwin_EEP"},
                                                  {Orwin_EOP, "Orwin_EOP"},
                                                  {Orwin_PART_EOP_EEP, "Orwin_PART_EOP_EEP"},
                                                  {Orwin_SPECIAL, "Orwin_SPECIAL"},
                                                  {Orwin_EXTN, "?"},
                                                  {0, "?"}};
    for (const auto &n : names)
        EXPECT_STREQ(Orwin_pkttype_to_str(n.first), n.second);
#endif
}

TEST(Receive, PayloadGoesToOffset)
{
    RxLink rx;
    rx.feed({0x43, 'x', 'y', 'z'});
    uint8_t b[8] = {};
    EXPECT_EQ(Orwin_get_packet(rx.link, b, 5, 3, 0), 3);
    EXPECT_EQ(bytes(b + 5, b + 8), (bytes{'x', 'y', 'z'}));
}

// ---- Callbacks ----

struct recorder {
    std::vector<bytes> calls;
    std::vector<int> complete;
    int result = 1;
};
recorder *g_rec = nullptr;

int record_cb(Orwin, void *data, int length, int complete, int)
{
    auto *p = static_cast<uint8_t *>(data);
    g_rec->calls.emplace_back(p, p + length);
    g_rec->complete.push_back(complete);
    return g_rec->result;
}

TEST(ReceiveCallback, SpecialsAndExtensionsReachTheirCallbacks)
{
    recorder rec;
    g_rec = &rec;
    RxLink rx;
    uint8_t sbuf[64], ebuf[16];
    Orwin_read_packet_special_callback(rx.link, sbuf, sizeof sbuf, record_cb);
    Orwin_read_packet_extension_callback(rx.link, ebuf, sizeof ebuf, record_cb);
    const int sda = CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA;
    rx.feed({0xC3, 9, 8, 7, 0xC0, 0x45, 0x41, 'q'});
    EXPECT_EQ(rx.read(16, sda), (result{1, Orwin_EOP, {'q'}}));
    EXPECT_EQ(rec.calls, (std::vector<bytes>{{9, 8, 7}, {0x45}}));
    EXPECT_EQ(rec.complete, (std::vector<int>{1, 1}));

    // A zero result stops the read; the stream resumes after the special.
    rec = recorder{};
    rec.result = 0;
    rx.feed({0xC1, 5, 0x41, 'r'});
    EXPECT_EQ(rx.read(16, sda), (result{0, Orwin_PART_EOP_EEP, {}}));
    EXPECT_EQ(rx.read(16, sda), (result{1, Orwin_EOP, {'r'}}));

    // A special split by a time-out still reaches the callback whole.
    rec = recorder{};
    Orwin_set_rx_timeout(rx.link, 30);
    rx.feed({0xC4, 1, 2});
    EXPECT_EQ(rx.read(16, sda), (result{0, Orwin_TIMEOUT, {}}));
    EXPECT_TRUE(rec.calls.empty());
    rx.feed({3, 4, 0x41, 's'});
    EXPECT_EQ(rx.read(16, sda), (result{1, Orwin_EOP, {'s'}}));
    EXPECT_EQ(rec.calls, (std::vector<bytes>{{1, 2, 3, 4}}));
    g_rec = nullptr;
}

TEST(ReceiveCallback, SmallRegistrationsAreNeverOverrun)
{
    recorder rec;
    g_rec = &rec;
    RxLink rx;
    // Guard bytes after the registered 4 bytes must stay untouched.
    uint8_t sbuf[8], ebuf[8];
    memset(sbuf, 0xEE, sizeof sbuf);
    memset(ebuf, 0xEE, sizeof ebuf);
    Orwin_read_packet_special_callback(rx.link, sbuf, 4, record_cb);
    Orwin_read_packet_extension_callback(rx.link, ebuf, 4, record_cb);
    const int sda = CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA;
    const bytes s10 = seq(10, 1);
    rx.feed(cat({{0xCA}, s10, {0xC0, 0x88}, tt, {0xC4, 1, 2, 3, 4, 0x42, 'o', 'k'}}));
    EXPECT_EQ(rx.read(16, sda), (result{2, Orwin_EOP, {'o', 'k'}}));
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[0], bytes(s10.begin(), s10.begin() + 4));
    EXPECT_EQ(rec.calls[1], (bytes{0x88, tt[0], tt[1], tt[2]}));
    EXPECT_EQ(rec.calls[2], (bytes{1, 2, 3, 4}));
    EXPECT_EQ(rec.complete, (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(sbuf[4], 0xEE);
    EXPECT_EQ(ebuf[4], 0xEE);
    g_rec = nullptr;
}

TEST(ReceiveCallback, EmptyRegistrationCountsAsNone)
{
    recorder rec;
    g_rec = &rec;
    RxLink rx;
    uint8_t buf[8];
    Orwin_read_packet_special_callback(rx.link, nullptr, 8, record_cb);
    Orwin_read_packet_extension_callback(rx.link, buf, 0, record_cb);
    EXPECT_EQ(rx.rec()->special_cb, nullptr);
    EXPECT_EQ(rx.rec()->extension_cb, nullptr);
    rx.feed({0xC2, 1, 2, 0xC0, 0x45, 0x41, 'k'});
    EXPECT_EQ(rx.read(16, CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA), (result{1, Orwin_EOP, {'k'}}));
    EXPECT_TRUE(rec.calls.empty());
    g_rec = nullptr;
}

// ---- Time-outs and non-blocking reads ----

TEST(ReceiveTimeout, BothModesAndHeldData)
{
    RxLink rx;
    ASSERT_EQ(Orwin_set_rx_timeout(rx.link, 30), 0);
    EXPECT_EQ(rx.read(16), (result{0, Orwin_TIMEOUT, {}}));
    Orwin_set_rx_timeout_action(rx.link, Receiver_Timeout_Returns_Error);
    EXPECT_EQ(rx.read(16).r, Error_Receiver_Timeout);
    EXPECT_EQ(Orwin_get_rx_flags(rx.link), 0);
    EXPECT_STREQ(Orwin_get_error_text(), "timeout");

    // Held bytes come back as a part; the packet continues afterwards.
    rx.feed({0x02, 'a', 'b'});
    EXPECT_EQ(rx.read(16), (result{2, Orwin_PART_EOP_EEP, {'a', 'b'}}));
    rx.feed({0x41, 'c'});
    EXPECT_EQ(rx.read(16), (result{1, Orwin_EOP, {'c'}}));

    // Special bytes held at a time-out keep their own type.
    rx.feed({0xC4, 1, 2});
    EXPECT_EQ(rx.read(16, RETURN_SPECIAL_DATA), (result{2, Orwin_PART_SPECIAL, {1, 2}}));
    rx.feed({3, 4});
    EXPECT_EQ(rx.read(16, RETURN_SPECIAL_DATA), (result{2, Orwin_SPECIAL, {3, 4}}));
}

#ifndef ORWIN_EARLIER_BUILD
TEST(ReceiveTimeout, NonBlockingKeepsHeldData)
{
    RxLink rx;
    ASSERT_EQ(Orwin_Non_Blocking(rx.link, 1), 0);
    EXPECT_EQ(rx.read(16).r, Error_Would_Block);
    EXPECT_STREQ(Orwin_get_error_text(), "I/O call will block");
    rx.feed({0x02, 'a', 'b'});
    EXPECT_EQ(rx.read(16), (result{2, Orwin_PART_EOP_EEP, {'a', 'b'}}));
    rx.feed({0x41, 'c'});
    EXPECT_EQ(rx.read(16), (result{1, Orwin_EOP, {'c'}}));
}
#endif

// ---- Time image ----

TEST(TimeImage, TimetagsFillLinkEntriesAndTimeZeroOnce)
{
    RxLink rx;
    const unsigned char *tb = rx.rec()->time_buffer;
    EXPECT_EQ(bytes(tb, tb + 2), (bytes{0xC0, 0x98}));
    EXPECT_EQ(bytes(tb + 96, tb + 112),
              (bytes{0, 0x42, 0xC0, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x82, 0, 0}));

    const bytes t2 = seq(8, 0x30);
    rx.feed(
        cat({{0xC0, 0x42, 0xC0, 0x88}, tt, {0xC0, 0x43, 0xC0, 0x88}, t2, {0xC0, 0x82, 0xAB, 0xCD, 0x40}}));
    EXPECT_EQ(rx.read(16), (result{0, Orwin_EOP, {}}));
    EXPECT_EQ(rx.rec()->timezero, 1u);
    EXPECT_EQ(rx.rec()->extn_link, 3);
    EXPECT_EQ(bytes(tb, tb + 10), cat({{0xC0, 0x98}, tt}));
    EXPECT_EQ(bytes(tb + 96, tb + 112), cat({{0xC0, 0x42, 0xC0, 0x88}, tt, {0xC0, 0x82, 0, 0}}));
    EXPECT_EQ(bytes(tb + 112, tb + 128), cat({{0xC0, 0x43, 0xC0, 0x88}, t2, {0xC0, 0x82, 0xAB, 0xCD}}));
    EXPECT_EQ(orw_rx_extension_command(&rx.rec()->rx), 0);
}

TEST(TimeImage, LinkOutsideTheImageWritesNothing)
{
    RxLink rx;
    const bytes before(rx.rec()->time_buffer, rx.rec()->time_buffer + ORW_TIME_IMAGE_SIZE);
    rx.rec()->timezero = 1;
    rx.rec()->extn_link = 99;
    rx.feed(cat({{0xC0, 0x88}, tt, {0xC0, 0x82, 1, 2, 0x40}}));
    EXPECT_EQ(rx.read(16), (result{0, Orwin_EOP, {}}));
    EXPECT_EQ(bytes(rx.rec()->time_buffer, rx.rec()->time_buffer + ORW_TIME_IMAGE_SIZE), before);
}

TEST(TimeImage, ReturnedLinkSelectionUpdatesTraceLink)
{
    RxLink rx;
    rx.feed({0xC0, 0x45});
    EXPECT_EQ(rx.read(16, RETURN_EXTENSION_DATA), (result{1, Orwin_EXTN, {0x45}}));
    EXPECT_EQ(rx.rec()->log_rx_port, 5);
    EXPECT_EQ(rx.rec()->extn_link, 5);
}

} // namespace
