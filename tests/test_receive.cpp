// SPDX-License-Identifier: MIT
// Receive framing: streams fed to the parser alone at every split point, and
// through a socket pair into a wrapped link for waits, time-outs and
// callbacks. SOCK_SEQPACKET keeps every write a read of its own, so a stream
// written in two pieces arrives in exactly those two pieces.
#include "OrwinInternal.h"
#include "rx_feed.hpp"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using rx_feed::bytes;
using rx_feed::kEnd;
using rx_feed::result;

bytes seq(size_t n, uint8_t seed)
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

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

struct framing_case {
    const char *name;
    bytes stream;
    size_t buffer;
    int sda;
    std::vector<result> expected;
};

const bytes abcde{'a', 'b', 'c', 'd', 'e'};
const bytes p100 = seq(100, 1), p256 = seq(256, 2), p64k = seq(65536, 3), tt = seq(8, 0x10);
const bytes sp61 = seq(61, 4), huge10 = seq(10, 5);

std::vector<framing_case> framing_cases()
{
    constexpr int RS = RETURN_SPECIAL_DATA, RE = RETURN_EXTENSION_DATA;
    return {
        {"short EOP", cat({{0x45}, abcde}), 64, 0, {{5, Orwin_EOP, abcde}, kEnd}},
        {"short EEP", cat({{0x85}, abcde}), 64, 0, {{5, Orwin_EEP, abcde}, kEnd}},
        {"partials joined", {0x02, 'a', 'b', 0x41, 'c'}, 64, 0, {{3, Orwin_EOP, {'a', 'b', 'c'}}, kEnd}},
        {"read immediate", {0x02, 'a', 'b', 0x41, 'c'}, 64, READ_IMMEDIATE,
         {{2, Orwin_PART_EOP_EEP, {'a', 'b'}}, {1, Orwin_EOP, {'c'}}, kEnd}},
        {"one length byte", cat({{0x7D, 0x3D}, seq(61, 9)}), 300, 0, {{61, Orwin_EOP, seq(61, 9)}, kEnd}},
        {"two length bytes", cat({{0x7E, 0x01, 0x00}, p256}), 300, 0, {{256, Orwin_EOP, p256}, kEnd}},
        {"three length bytes", cat({{0xBF, 0x01, 0x00, 0x00}, p64k}), 70000, 0, {{65536, Orwin_EEP, p64k}, kEnd}},
        {"empty packets and filler", {0x00, 0x40, 0x00, 0x00, 0x80, 0x41, 'x', 0x00}, 8, 0,
         {{0, Orwin_EOP, {}}, {0, Orwin_EEP, {}}, {1, Orwin_EOP, {'x'}}, kEnd}},
        // An empty EOP frame in the long form (a packet sent in pieces) still
        // ends its packet; an empty partial frame is skipped.
        {"long-form empty frames", {0x02, 'a', 'b', 0x3D, 0x00, 0x7F, 0, 0, 0, 0x41, 'c'}, 64, 0,
         {{2, Orwin_EOP, {'a', 'b'}}, {1, Orwin_EOP, {'c'}}, kEnd}},
        {"small buffer", cat({{0x7D, 100}, p100}), 40, 0,
         {{40, Orwin_PART_EOP_EEP, bytes(p100.begin(), p100.begin() + 40)},
          {40, Orwin_PART_EOP_EEP, bytes(p100.begin() + 40, p100.begin() + 80)},
          {20, Orwin_EOP, bytes(p100.begin() + 80, p100.end())},
          kEnd}},
        {"buffer exactly full before EOP", {0x02, 'a', 'b', 0x40, 0x42, 'c', 'd'}, 2, 0,
         {{2, Orwin_EOP, {'a', 'b'}}, {2, Orwin_EOP, {'c', 'd'}}, kEnd}},
        {"special after held data", {0x02, 'a', 'b', 0xC3, 1, 2, 3, 0x41, 'c'}, 64, RS,
         {{2, Orwin_PART_EOP_EEP, {'a', 'b'}}, {3, Orwin_SPECIAL, {1, 2, 3}}, {1, Orwin_EOP, {'c'}}, kEnd}},
        {"special discarded", {0xC3, 1, 2, 3, 0x41, 'c'}, 64, 0, {{1, Orwin_EOP, {'c'}}, kEnd}},
        {"special in pieces", {0xC5, 1, 2, 3, 4, 5}, 2, RS,
         {{2, Orwin_PART_SPECIAL, {1, 2}}, {2, Orwin_PART_SPECIAL, {3, 4}}, {1, Orwin_SPECIAL, {5}}, kEnd}},
        {"long special", cat({{0xFD, 0x3D}, sp61}), 64, RS, {{61, Orwin_SPECIAL, sp61}, kEnd}},
        {"extensions returned", cat({{0xC0, 0x88}, tt, {0xC0, 0x45, 0xC0, 0x91, 0x2A}}), 64, RE,
         {{9, Orwin_EXTN, cat({{0x88}, tt})}, {1, Orwin_EXTN, {0x45}}, {2, Orwin_EXTN, {0x91, 0x2A}}, kEnd}},
        {"extension in pieces", cat({{0xC0, 0x88}, tt}), 4, RE,
         {{4, Orwin_PART_EXTN, cat({{0x88}, bytes(tt.begin(), tt.begin() + 3)})},
          {4, Orwin_PART_EXTN, bytes(tt.begin() + 3, tt.begin() + 7)},
          {1, Orwin_EXTN, {tt[7]}},
          kEnd}},
        {"extensions discarded", cat({{0xC0, 0x88}, tt, {0xC0, 0x45, 0x41, 'z'}}), 64, 0,
         {{1, Orwin_EOP, {'z'}}, kEnd}},
        // A declared length far beyond the data: parts, then end of data.
        {"truncated huge frame", cat({{0x7F, 0xFF, 0xFF, 0xFF}, huge10}), 4, 0,
         {{4, Orwin_PART_EOP_EEP, bytes(huge10.begin(), huge10.begin() + 4)},
          {4, Orwin_PART_EOP_EEP, bytes(huge10.begin() + 4, huge10.begin() + 8)},
          {2, Orwin_PART_EOP_EEP, bytes(huge10.begin() + 8, huge10.end())},
          kEnd}},
        {"end inside length bytes", {0x7F, 0x01}, 16, 0, {kEnd}},
        {"end inside special", {0xC5, 1, 2}, 16, RS, {{2, Orwin_PART_SPECIAL, {1, 2}}, kEnd}},
    };
}

TEST(Receive, FramingAtEverySplitPoint)
{
    for (const auto &c : framing_cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(read_through_socket(c.stream, c.stream.size() / 2, c.buffer, c.sda), c.expected);
        for (size_t split = 0; split <= c.stream.size(); ++split) {
            rx_feed::feeder two_pieces(c.stream.data(), {split, c.stream.size()});
            ASSERT_EQ(two_pieces.read_all(c.buffer, c.sda), c.expected) << "split at " << split;
        }
        std::vector<size_t> every_byte(c.stream.size());
        for (size_t i = 0; i < every_byte.size(); ++i)
            every_byte[i] = i + 1;
        rx_feed::feeder byte_by_byte(c.stream.data(), every_byte);
        ASSERT_EQ(byte_by_byte.read_all(c.buffer, c.sda), c.expected) << "one byte at a time";
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
    const std::pair<int, const char *> names[] = {
        {Orwin_EEP, "Orwin_EEP"}, {Orwin_EOP, "Orwin_EOP"}, {Orwin_PART_EOP_EEP, "Orwin_PART_EOP_EEP"},
        {Orwin_SPECIAL, "Orwin_SPECIAL"}, {Orwin_EXTN, "?"}, {0, "?"}};
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

// The parser alone: callbacks and the extension-byte hook see the same calls
// wherever the stream is split, each extension's bytes with the count still
// due, then 0 once.
struct hook_call {
    int cmd, due, byte;
    bool operator==(const hook_call &o) const { return cmd == o.cmd && due == o.due && byte == o.byte; }
};

TEST(ReceiveCallback, ParserCallsAtEverySplitPoint)
{
    const bytes stream{0xC3, 9, 8, 7, 0xC0, 0x45, 0xC0, 0x82, 0xAB, 0xCD, 0x41, 'q'};
    const std::vector<hook_call> expected_hook{{0x45, 1, 0x45}, {0x45, 0, 0},    {0x82, 3, 0x82},
                                               {0x82, 2, 0xAB}, {0x82, 1, 0xCD}, {0x82, 0, 0}};
    for (size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        recorder rec;
        g_rec = &rec;
        uint8_t sbuf[8], ebuf[8];
        const ORW_CB_INFO special{sbuf, sizeof sbuf, record_cb}, extension{ebuf, sizeof ebuf, record_cb};
        const ORW_CB_INFO *const special_slot = &special, *const extension_slot = &extension;
        orw_rx_parser parser;
        orw_rx_reset(&parser);
        std::vector<hook_call> hook;
        struct hook_context {
            orw_rx_parser *parser;
            std::vector<hook_call> *calls;
        } context{&parser, &hook};
        orw_rx_read rd{};
        uint8_t out[16];
        rd.buffer = out;
        rd.length = sizeof out;
        rd.action = CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA;
        rd.special_cb = &special_slot;
        rd.extension_cb = &extension_slot;
        rd.context = &context;
        rd.extension_byte = [](void *c, int byte) {
            auto *hc = static_cast<hook_context *>(c);
            hc->calls->push_back({orw_rx_extension_command(hc->parser), orw_rx_extension_due(hc->parser), byte});
        };
        orw_rx_status s = orw_rx_feed(&parser, stream.data(), split, &rd);
        if (s == ORW_RX_NEED_INPUT)
            s = orw_rx_feed(&parser, stream.data() + split, stream.size() - split, &rd);
        ASSERT_EQ(s, ORW_RX_BYTES);
        EXPECT_EQ((result{rd.stored, rd.type, bytes(out, out + rd.stored)}), (result{1, Orwin_EOP, {'q'}}));
        EXPECT_EQ(rec.calls, (std::vector<bytes>{{9, 8, 7}, {0x45}, {0x82, 0xAB, 0xCD}}));
        EXPECT_EQ(rec.complete, (std::vector<int>{1, 1, 1}));
        EXPECT_TRUE(hook == expected_hook);
        g_rec = nullptr;
    }
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
    rx.feed(cat({{0xC0, 0x42, 0xC0, 0x88}, tt, {0xC0, 0x43, 0xC0, 0x88}, t2, {0xC0, 0x82, 0xAB, 0xCD, 0x40}}));
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
