// The RMAP handler fed the reference packets whole, at every split point and
// with every single bit flipped; and its target side byte for byte.
#include "rmap_probe.hpp"

#include <gtest/gtest.h>

namespace {

// What one feed of a packet produced: the target's replies, or for a reply
// packet whether its transaction was completed, with status and data.
struct outcome {
    std::vector<bytes> replies;
    bool delivered = false;
    uint8_t status = 0;
    bytes data;
    bool operator==(const outcome &o) const
    {
        return replies == o.replies && delivered == o.delivered && status == o.status && data == o.data;
    }
};

uint16_t reply_tid(const bytes &p)
{
    return p.size() < 7 ? 0 : static_cast<uint16_t>(p[5] << 8 | p[6]);
}

outcome run(const bytes &p, const std::vector<size_t> &cuts)
{
    rmap_probe h;
    h.own_answers = true;
    h.answer_data = rmap_ref::example_data;
    outcome out;
    bool reply = !(p[2] & rmap::instr_command);
    rmap::transaction_response tr;
    tr.verbose(false);
    tr.set_copydata(true);
    if (reply) {
        rmap::global_transactions.seed(reply_tid(p));
        rmap::global_transactions.transaction(&tr);
    }
    h.feed(p, cuts);
    out.replies = h.replies;
    if (reply) {
        out.delivered = tr.tx.load() == nullptr && tr.ok();
        out.status = tr.status;
        size_t n = 0;
        const uint8_t *d = tr.info(n);
        if (d)
            out.data.assign(d, d + n);
        tr.cancel(); // not delivered: leave nothing live behind
    }
    return out;
}

} // namespace

TEST(RmapHandler, EveryReferencePacketParsesTheSameAtEverySplitPoint)
{
    for (const auto &[name, p] : rmap_ref::all_packets()) {
        outcome whole = run(p, {});
        if (p[2] & rmap::instr_command)
            EXPECT_EQ(whole.replies.size(), 1u) << name;
        else
            EXPECT_TRUE(whole.delivered) << name;
        for (size_t cut = 3; cut < p.size(); ++cut)
            EXPECT_TRUE(run(p, {cut}) == whole) << name << " cut at " << cut;
        std::vector<size_t> bytewise;
        for (size_t cut = 3; cut < p.size(); ++cut)
            bytewise.push_back(cut);
        EXPECT_TRUE(run(p, bytewise) == whole) << name << " byte by byte";
    }
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

TEST(RmapHandler, AnyFlippedBitEndsInErrorWithoutDelivery)
{
    for (const auto &[name, p] : rmap_ref::all_packets()) {
        for (size_t at = 0; at < p.size(); ++at) {
            if (at == 1)
                continue; // the protocol identifier picks the handler
            for (int bit = 0; bit < 8; ++bit) {
                bytes bad = p;
                bad[at] ^= static_cast<uint8_t>(1u << bit);
                outcome o = run(bad, {});
                EXPECT_TRUE(o.replies.empty() && !o.delivered) << name << " byte " << at << " bit " << bit;
            }
        }
    }
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

TEST(RmapHandler, TruncatedEepAndTrailingBytes)
{
    for (const auto &[name, p] : rmap_ref::all_packets()) {
        for (size_t len = 3; len < p.size(); ++len) {
            outcome o = run(bytes(p.begin(), p.begin() + static_cast<long>(len)), {});
            EXPECT_TRUE(o.replies.empty() && !o.delivered) << name << " cut to " << len;
        }
        rmap_probe h;
        h.start(p[0], p[1]);
        bytes rest(p.begin() + 2, p.end());
        EXPECT_FALSE(h.body(rest.data(), rest.size(), orw::connection::EEP));
        h.eop(1);
        EXPECT_TRUE(h.replies.empty()) << name;
    }
    // A zero-length read reply still needs its data CRC byte.
    bytes empty_reply = {0x67, 0x01, 0x0C, 0x00, 0xFE, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00};
    empty_reply.push_back(rmap_ref::crc(empty_reply, 0, empty_reply.size()));
    EXPECT_FALSE(run(empty_reply, {}).delivered);
    empty_reply.push_back(0x00);
    EXPECT_TRUE(run(empty_reply, {}).delivered);
    // Bytes after a complete command restart the parse and nothing is served.
    bytes doubled = rmap_ref::read_command;
    doubled.push_back(0x00);
    EXPECT_TRUE(run(doubled, {}).replies.empty());
}

TEST(RmapHandler, OversizedDataIsDroppedWithoutWritingPastTheBuffer)
{
    // A write command announcing 16 MiB - 1 bytes: the body parser refuses
    // it at its first data byte.
    bytes p = {0xFE, 0x01, 0x6C, 0x00, 0x67, 0x00, 0x00, 0x00, 0xA0, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
    p.push_back(rmap_ref::crc(p, 0, p.size()));
    rmap_probe h;
    h.start(p[0], p[1]);
    bytes head(p.begin() + 2, p.end());
    ASSERT_TRUE(h.body(head.data(), head.size(), orw::connection::PART_EOP_EEP));
    EXPECT_EQ(h.parser_state(), rmap::bodydata);
    bytes chunk(4096, 0xAB);
    EXPECT_FALSE(h.body(chunk.data(), chunk.size(), orw::connection::PART_EOP_EEP));
    EXPECT_EQ(h.parser_state(), rmap::err);
    h.eop(1);
    EXPECT_TRUE(h.calls.empty());
}

TEST(RmapHandler, ParsesHeaderFieldsWithReplyAddress)
{
    rmap_probe h;
    h.feed(rmap_ref::read_command_with_reply_address());
    const rmap::rmap_hdr &f = h.header_fields();
    EXPECT_EQ(f.pasz, 4);
    EXPECT_EQ(bytes(f.pad, f.pad + 4), (bytes{0x00, 0x00, 0x03, 0x07}));
    EXPECT_EQ(f.sla, 0xFE);
    EXPECT_EQ(f.dla, 0xFE);
    EXPECT_EQ(f.dkey, 0x20);
    EXPECT_EQ(f.tid, 3);
    EXPECT_EQ(f.address, 0x1000u);
    EXPECT_EQ(f.ds, 4u);
    // Reply-address length 2: eight bytes, then the initiator address.
    bytes two = {0xFE, 0x01, 0x4E, 0x20, 1, 2, 3,    4, 5, 6, 7, 8,
                 0x99, 0x00, 0x04, 0x00, 0, 0, 0x10, 0, 0, 0, 4};
    two.push_back(rmap_ref::crc(two, 0, two.size()));
    rmap_probe h2;
    h2.feed(two);
    EXPECT_EQ(h2.header_fields().pard, 8);
    EXPECT_EQ(bytes(h2.header_fields().pad, h2.header_fields().pad + 8), (bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(h2.header_fields().sla, 0x99);
    ASSERT_EQ(h2.replies.size(), 1u);
    EXPECT_EQ(h2.replies[0][0], 1) << "reply path is the whole reply address";
}

// The demonstration target's answers, checked byte for byte.
TEST(RmapTarget, BaseCallbacksAndConformantReplies)
{
    auto with_crc = [](bytes b) {
        b.push_back(rmap_ref::crc(b, 0, b.size()));
        return b;
    };
    auto data_reply = [&](bytes head, const bytes &d) {
        bytes r = with_crc(head);
        r.insert(r.end(), d.begin(), d.end());
        r.push_back(rmap_ref::serial_crc(d.data(), d.size()));
        return r;
    };
    bytes write_noreply = rmap_ref::write_command;
    write_noreply[2] = 0x64;
    write_noreply[15] = rmap_ref::crc(write_noreply, 0, 15);
    struct row {
        const char *name;
        bytes command;
        bytes reply; // empty: no reply
    } rows[] = {
        {"write with reply", rmap_ref::write_command, with_crc({0x67, 0x01, 0x2C, 0x66, 0xFE, 0x00, 0x00})},
        {"write without reply", write_noreply, {}},
        {"read of 4", rmap_ref::read_command_with_reply_address(),
         bytes{0x03, 0x07} +
             data_reply({0xFE, 0x01, 0x0D, 0x33, 0xFE, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04}, {0, 1, 2, 3})},
        {"rmw of 8", rmap_ref::rmw_command(),
         data_reply({0x67, 0x01, 0x1C, 0x99, 0xFE, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04}, {0, 1, 2, 3})},
    };
    for (const row &r : rows) {
        rmap_probe h;
        h.feed(r.command);
        ASSERT_EQ(h.calls.size(), 1u) << r.name;
        if (r.reply.empty()) {
            EXPECT_TRUE(h.replies.empty()) << r.name;
            EXPECT_EQ(h.calls[0].tid, 0) << r.name << ": tid() without a reply";
        } else {
            ASSERT_EQ(h.replies.size(), 1u) << r.name;
            EXPECT_EQ(h.replies[0], r.reply) << r.name;
        }
    }
    rmap_probe h;
    h.feed(rmap_ref::rmw_command());
    const rmap_probe::call &c = h.calls[0];
    EXPECT_EQ(c.sz, 4u);
    EXPECT_EQ(c.data, (bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(c.mask, (bytes{0xF0, 0x0F, 0xFF, 0x00}));
    EXPECT_EQ(c.pkt, 0x5C);
    EXPECT_EQ(c.addr, 0xA0000000u);
}

TEST(RmapTarget, AnswersTheStandardExamplesExactly)
{
    rmap_probe h;
    h.own_answers = true;
    h.answer_data = rmap_ref::example_data;
    h.feed(rmap_ref::write_command);
    h.feed(rmap_ref::read_command);
    ASSERT_EQ(h.replies.size(), 2u);
    EXPECT_EQ(h.replies[0], rmap_ref::write_reply);
    EXPECT_EQ(h.replies[1], rmap_ref::read_reply);
    EXPECT_EQ(h.calls[0].data, rmap_ref::example_data);
}

// Reads and read-modify-writes whose reply would overrun the buffer are
// refused with a status and no data, without calling the callbacks.
TEST(RmapTarget, OversizedRequestsGetAnErrorStatus)
{
    auto command = [](uint8_t pt, uint32_t ds, bool body) {
        bytes p = {0xFE, 0x01, pt, 0x00, 0x67, 0x00, 0x04, 0x00, 0, 0, 0, 0};
        p.insert(p.end(),
                 {static_cast<uint8_t>(ds >> 16), static_cast<uint8_t>(ds >> 8), static_cast<uint8_t>(ds)});
        p.push_back(rmap_ref::crc(p, 0, p.size()));
        if (body) {
            bytes d(ds, 0x5A);
            p.insert(p.end(), d.begin(), d.end());
            p.push_back(rmap_ref::serial_crc(d.data(), d.size()));
        }
        return p;
    };
    struct row {
        const char *name;
        bytes command;
        int status; // -1: served by the callback
    } rows[] = {
        {"largest read", command(0x4C, 0xFFFFF, false), -1},
        {"read of the whole buffer", command(0x4C, 0x100000, false), rmap::status_not_authorised},
        {"read of 16 MiB", command(0x4C, 0xFFFFFF, false), rmap::status_not_authorised},
        {"rmw overrunning", command(0x5C, 0xAAAAC, true), rmap::status_rmw_data_length},
        {"largest rmw", command(0x5C, 0xAAAA8, true), -1},
    };
    for (const row &r : rows) {
        rmap_probe h;
        h.feed(r.command);
        ASSERT_EQ(h.replies.size(), 1u) << r.name;
        const bytes &rep = h.replies[0];
        if (r.status < 0) {
            EXPECT_EQ(h.calls.size(), 1u) << r.name;
            continue;
        }
        EXPECT_TRUE(h.calls.empty()) << r.name;
        EXPECT_EQ(rep[3], r.status) << r.name;
        EXPECT_EQ(rep.size(), 13u) << r.name << ": header, no data, data CRC";
        EXPECT_EQ(bytes(rep.begin() + 8, rep.begin() + 11), (bytes{0, 0, 0})) << r.name;
    }
}
