// SPDX-License-Identifier: MIT
// The RMAP handler fed the reference packets whole, at every split point and
// with every single bit flipped; and its target side byte for byte.
#include "rmap_probe.hpp"

#include <gtest/gtest.h>

namespace {

// What one feed of a packet produced: the target's replies, or for a reply
// packet whether its transaction was completed, with status and data.
struct outcome {
    std::vector<bytes> replies;
    size_t calls = 0; // target callbacks run
    bool delivered = false;
    uint8_t status = 0;
    bytes data;
    bool operator==(const outcome &o) const
    {
        return replies == o.replies && calls == o.calls && delivered == o.delivered && status == o.status &&
               data == o.data;
    }
};

bytes with_crc(bytes b)
{
    b.push_back(rmap_ref::crc(b, 0, b.size()));
    return b;
}

// A read or read-modify-write reply: header with its CRC, data, data CRC.
bytes data_reply(const bytes &head, const bytes &d)
{
    bytes r = with_crc(head);
    r.insert(r.end(), d.begin(), d.end());
    r.push_back(rmap_ref::serial_crc(d.data(), d.size()));
    return r;
}

// A command from 0x67 to 0xFE, TID 4, with instruction `pt` and data length
// `ds`, followed by `n` data bytes 0x5A and, when `n` is `ds`, their CRC.
bytes command(uint8_t pt, uint32_t ds, size_t n = 0)
{
    bytes p =
        with_crc({0xFE, 0x01, pt, 0x00, 0x67, 0x00, 0x04, 0x00, 0, 0, 0, 0, static_cast<uint8_t>(ds >> 16),
                  static_cast<uint8_t>(ds >> 8), static_cast<uint8_t>(ds)});
    bytes d(n, 0x5A);
    p.insert(p.end(), d.begin(), d.end());
    if (n == ds && (pt & rmap::instr_write || rmap::classify(pt) == rmap::rmap_read_modify_write))
        p.push_back(rmap_ref::serial_crc(d.data(), d.size()));
    return p;
}

// The replies a refused command gets: no data, status `st`, TID 4.
bytes write_refusal(uint8_t pt, uint8_t st)
{
    return with_crc({0x67, 0x01, static_cast<uint8_t>(pt & 0x3F), st, 0xFE, 0x00, 0x04});
}
bytes data_refusal(uint8_t pt, uint8_t st)
{
    return data_reply({0x67, 0x01, static_cast<uint8_t>(pt & 0x3F), st, 0xFE, 0x00, 0x04, 0x00, 0, 0, 0}, {});
}

uint16_t reply_tid(const bytes &p)
{
    return p.size() < 7 ? 0 : static_cast<uint16_t>(p[5] << 8 | p[6]);
}

outcome run(const bytes &p, const std::vector<size_t> &cuts, int end = orw::connection::EOP)
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
    h.feed(p, cuts, 1, end);
    out.replies = h.replies;
    out.calls = h.calls.size();
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

// A flipped bit never runs a callback or delivers a reply: in a header its
// CRC drops the packet; in the data of a command it is answered with status 4.
TEST(RmapHandler, AnyFlippedBitIsNeverExecutedNorDelivered)
{
    for (const auto &[name, p] : rmap_ref::all_packets()) {
        for (size_t at = 0; at < p.size(); ++at) {
            if (at == 1)
                continue; // the protocol identifier picks the handler
            for (int bit = 0; bit < 8; ++bit) {
                bytes bad = p;
                bad[at] ^= static_cast<uint8_t>(1u << bit);
                outcome o = run(bad, {});
                SCOPED_TRACE(name + " byte " + std::to_string(at) + " bit " + std::to_string(bit));
                EXPECT_FALSE(o.delivered);
                EXPECT_EQ(o.calls, 0u);
                const bool with_data =
                    (p[2] & rmap::instr_command) && rmap::classify(p[2]) != rmap::rmap_read;
                if (at < 16 || !with_data) {
                    EXPECT_TRUE(o.replies.empty());
                } else {
                    ASSERT_EQ(o.replies.size(), 1u);
                    EXPECT_EQ(o.replies[0][3], rmap::status_invalid_data_crc);
                }
            }
        }
    }
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Cut short, ended by EEP or followed by more bytes: never executed; a write
// or read-modify-write whose header came whole is answered with status 5, 7
// or 6, a read is discarded, a reply is not delivered.
TEST(RmapHandler, TruncatedEepAndTrailingBytes)
{
    for (const auto &[name, p] : rmap_ref::all_packets()) {
        const bool with_data = (p[2] & rmap::instr_command) && rmap::classify(p[2]) != rmap::rmap_read;
        // A copy: a structured binding cannot be captured before C++20.
        auto expect = [&, name = name](const outcome &o, size_t header_bytes, uint8_t st,
                                       const std::string &what) {
            EXPECT_FALSE(o.delivered) << name << what;
            EXPECT_EQ(o.calls, 0u) << name << what;
            if (!with_data || header_bytes < 16) {
                EXPECT_TRUE(o.replies.empty()) << name << what;
            } else {
                ASSERT_EQ(o.replies.size(), 1u) << name << what;
                EXPECT_EQ(o.replies[0][3], st) << name << what;
            }
        };
        for (size_t len = 3; len < p.size(); ++len)
            expect(run(bytes(p.begin(), p.begin() + static_cast<long>(len)), {}), len, rmap::status_early_eop,
                   " cut to " + std::to_string(len));
        for (size_t cut : {size_t(3), std::min<size_t>(16, p.size() - 1), p.size() - 1})
            expect(run(p, {cut}, orw::connection::EEP), p.size(), rmap::status_eep,
                   " EEP, cut at " + std::to_string(cut));
        bytes longer = p;
        longer.push_back(0x00);
        if (p[2] & rmap::instr_command)
            expect(run(longer, {}), p.size(), rmap::status_too_much_data, " one byte more");
    }
    // A zero-length read reply still needs its data CRC byte.
    bytes empty_reply = {0x67, 0x01, 0x0C, 0x00, 0xFE, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00};
    empty_reply.push_back(rmap_ref::crc(empty_reply, 0, empty_reply.size()));
    EXPECT_FALSE(run(empty_reply, {}).delivered);
    empty_reply.push_back(0x00);
    EXPECT_TRUE(run(empty_reply, {}).delivered);
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

// Commands the target refuses before any callback, each answered (when it
// asks for a reply) as the standard prescribes: its status and no data. And
// the largest each kind this target serves.
TEST(RmapTarget, RefusedCommandsGetTheStandardsStatusAndNoData)
{
    using orw::connection;
    auto flipped = [](bytes p) {
        p.back() ^= 0x01;
        return p;
    };
    bytes zero_reply_address = with_crc(
        {0xFE, 0x01, 0x4D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x67, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 4});
    bytes counting(0xFFFFF);
    for (size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<uint8_t>(i);
    struct row {
        const char *name;
        bytes command;
        int end;
        bytes reply; // empty: no reply
        bool served;
    } rows[] = {
        {"read without reply bit", command(0x44, 4), connection::EOP, {}, false},
        {"read single without reply bit", command(0x40, 4), connection::EOP, {}, false},
        {"rmw without reply bit", command(0x54, 8), connection::EOP, {}, false},
        {"unused code 0110", command(0x58, 4), connection::EOP, data_refusal(0x58, 2), false},
        {"reserved packet type 11", command(0xCC, 4), connection::EOP, data_refusal(0xCC, 2), false},
        {"reserved packet type 11, write", command(0xEC, 4, 4), connection::EOP, write_refusal(0xEC, 2),
         false},
        {"reserved packet type 11, no reply", command(0xE4, 4, 4), connection::EOP, {}, false},
        {"reserved packet type 10 is a reply, not a command",
         command(0xAC, 4, 4),
         connection::EOP,
         {},
         false},
        {"write data CRC", flipped(command(0x6C, 4, 4)), connection::EOP, write_refusal(0x6C, 4), false},
        {"verified write data CRC", flipped(command(0x7C, 4, 4)), connection::EOP, write_refusal(0x7C, 4),
         false},
        {"damaged write, no reply", flipped(command(0x64, 4, 4)), connection::EOP, {}, false},
        {"write early EOP", command(0x6C, 4, 2), connection::EOP, write_refusal(0x6C, 5), false},
        {"write too much data", command(0x6C, 4, 4) + bytes{0}, connection::EOP, write_refusal(0x6C, 6),
         false},
        {"write EEP", command(0x6C, 4, 4), connection::EEP, write_refusal(0x6C, 7), false},
        {"write EEP after the header", command(0x6C, 4), connection::EEP, write_refusal(0x6C, 7), false},
        {"rmw data CRC", flipped(command(0x5C, 8, 8)), connection::EOP, data_refusal(0x5C, 4), false},
        {"rmw EEP", command(0x5C, 8, 8), connection::EEP, data_refusal(0x5C, 7), false},
        {"rmw of 3", command(0x5C, 3, 3), connection::EOP, data_refusal(0x5C, 11), false},
        {"rmw of 10", command(0x5C, 10, 10), connection::EOP, data_refusal(0x5C, 11), false},
        {"rmw of 6", command(0x5C, 6, 6), connection::EOP,
         data_reply({0x67, 0x01, 0x1C, 0x99, 0xFE, 0x00, 0x04, 0x00, 0, 0, 3}, {0, 1, 2}), true},
        {"read cut by EEP", command(0x4C, 4), connection::EEP, {}, false},
        {"read followed by a byte", command(0x4C, 4) + bytes{0}, connection::EOP, {}, false},
        {"largest read", command(0x4C, 0xFFFFF), connection::EOP,
         data_reply({0x67, 0x01, 0x0C, 0x33, 0xFE, 0x00, 0x04, 0x00, 0x0F, 0xFF, 0xFF}, counting), true},
        {"read of the whole buffer", command(0x4C, 0x100000), connection::EOP, data_refusal(0x4C, 10), false},
        {"read of 16 MiB - 1", command(0x4C, 0xFFFFFF), connection::EOP, data_refusal(0x4C, 10), false},
        {"write of the whole buffer", command(0x6C, 0x100000, 0x100000), connection::EOP,
         write_refusal(0x6C, 10), false},
        {"verified write of the whole buffer", command(0x7C, 0x100000, 0x100000), connection::EOP,
         write_refusal(0x7C, 9), false},
        {"write of 16 MiB - 1 cut short", command(0x6C, 0xFFFFFF, 4096), connection::EOP,
         write_refusal(0x6C, 5), false},
        {"all-zero reply address", zero_reply_address, connection::EOP,
         bytes{0x00} + data_reply({0x67, 0x01, 0x0D, 0x33, 0xFE, 0x00, 0x04, 0x00, 0, 0, 4}, {0, 1, 2, 3}),
         true},
    };
    for (const row &r : rows) {
        rmap_probe h;
        h.feed(r.command, {}, 1, r.end);
        EXPECT_EQ(h.calls.size(), r.served ? 1u : 0u) << r.name;
        if (r.reply.empty()) {
            EXPECT_TRUE(h.replies.empty()) << r.name;
        } else {
            ASSERT_EQ(h.replies.size(), 1u) << r.name;
            EXPECT_TRUE(h.replies[0] == r.reply) << r.name;
        }
    }
}

// A callback that refuses without writing sends zeros, never the bytes a
// previous packet left in the buffer.
TEST(RmapTarget, RepliesCarryOnlyWhatTheCallbackWrote)
{
    rmap_probe h;
    h.own_answers = true;
    h.answer_status = rmap::status_not_authorised;
    bytes big_write = command(0x6C, 64, 64);
    h.feed(big_write);
    h.feed(command(0x4C, 16));
    h.feed(rmap_ref::rmw_command());
    ASSERT_EQ(h.replies.size(), 3u);
    EXPECT_EQ(h.replies[1],
              data_reply({0x67, 0x01, 0x0C, 10, 0xFE, 0x00, 0x04, 0x00, 0, 0, 16}, bytes(16, 0)));
    EXPECT_EQ(h.replies[2], data_reply({0x67, 0x01, 0x1C, 10, 0xFE, 0x00, 0x02, 0x00, 0, 0, 4}, bytes(4, 0)));
}

// Through the link dispatcher: a command ended by EEP, in one piece or two,
// reaches the target, which answers it with status 7.
TEST(RmapTarget, EepOnTheLinkIsAnsweredWithStatus7)
{
    orw::spacewire::connection_t ifc; // no unit: the dispatcher is fed directly
    ifc.set_verbose(3, false);
    rmap_probe h;
    ifc.register_protocol(3, rmap::protocol_id, &h);
    bytes p = command(0x6C, 4, 4);
    ifc.links[3].read_packet(p.data(), p.size(), orw::connection::EEP);
    ifc.links[3].read_packet(p.data(), 18, orw::connection::PART_EOP_EEP);
    ifc.links[3].read_packet(p.data() + 18, 0, orw::connection::EEP);
    ifc.links[3].read_packet(p.data(), p.size(), orw::connection::EOP);
    // The same command whole is served by the demonstration callback.
    EXPECT_EQ(h.replies, (std::vector<bytes>{write_refusal(0x6C, 7), write_refusal(0x6C, 7),
                                             write_refusal(0x6C, 0x66)}));
    ifc.unregister_protocol(3, rmap::protocol_id);
}
