// SPDX-License-Identifier: MIT
// The receive parser alone, with no socket and no link: the reference
// streams at every split point and one byte at a time, and the calls it
// makes on the way.
#include "OrwinInternal.h"
#include "framing_cases.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace framing;

TEST(RxParser, FramingAtEverySplitPoint)
{
    for (const auto &c : framing_cases()) {
        SCOPED_TRACE(c.name);
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

std::vector<bytes> *g_calls = nullptr;

int record_call(Orwin, void *data, int length, int complete, int)
{
    auto *p = static_cast<uint8_t *>(data);
    g_calls->emplace_back(p, p + length);
    g_calls->back().push_back(static_cast<uint8_t>(complete));
    return 1;
}

// The parser alone: callbacks and the extension-byte hook see the same calls
// wherever the stream is split, each extension's bytes with the count still
// due, then 0 once.
struct hook_call {
    int cmd, due, byte;
    bool operator==(const hook_call &o) const { return cmd == o.cmd && due == o.due && byte == o.byte; }
};

TEST(RxParser, CallsAtEverySplitPoint)
{
    const bytes stream{0xC3, 9, 8, 7, 0xC0, 0x45, 0xC0, 0x82, 0xAB, 0xCD, 0x41, 'q'};
    const std::vector<hook_call> expected_hook{{0x45, 1, 0x45}, {0x45, 0, 0},    {0x82, 3, 0x82},
                                               {0x82, 2, 0xAB}, {0x82, 1, 0xCD}, {0x82, 0, 0}};
    for (size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        std::vector<bytes> calls;
        g_calls = &calls;
        uint8_t sbuf[8], ebuf[8];
        const ORW_CB_INFO special{sbuf, sizeof sbuf, record_call}, extension{ebuf, sizeof ebuf, record_call};
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
            hc->calls->push_back(
                {orw_rx_extension_command(hc->parser), orw_rx_extension_due(hc->parser), byte});
        };
        orw_rx_status s = orw_rx_feed(&parser, stream.data(), split, &rd);
        if (s == ORW_RX_NEED_INPUT)
            s = orw_rx_feed(&parser, stream.data() + split, stream.size() - split, &rd);
        ASSERT_EQ(s, ORW_RX_BYTES);
        EXPECT_EQ((result{rd.stored, rd.type, bytes(out, out + rd.stored)}), (result{1, Orwin_EOP, {'q'}}));
        // Each call's bytes, then its completion flag.
        EXPECT_EQ(calls, (std::vector<bytes>{{9, 8, 7, 1}, {0x45, 1}, {0x82, 0xAB, 0xCD, 1}}));
        EXPECT_TRUE(hook == expected_hook);
        g_calls = nullptr;
    }
}

} // namespace
