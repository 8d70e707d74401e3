// SPDX-License-Identifier: MIT
// Fuzz target for the RMAP handler: commands and replies, whole or in pieces,
// ended by EOP or EEP, with the target side answering. Replies the target
// builds must be well formed (CRCs right, reply instruction, sizes within the
// buffer), one per packet at most; a command refused before its callback is
// answered with a refusal status and no data, one ended by EEP runs no
// callback, and a read reply carries nothing its callback did not write.
// Reply packets complete only live transactions, each at most once: as a
// success only with a reply that fits its command, else as a CRC error or
// invalid.
//
// Input: a mode byte, then
//   mode even: records of [control, bytes...]; control bit 7 starts a packet
//              (next byte its address), bits 0-1 the piece's terminator (1 EOP,
//              2 EEP, else more follows), bits 2-6 the piece length;
//   mode odd:  a reference packet (next byte picks it), a cut point, then
//              (position, xor) pairs applied to it; mode bit 1 ends it with
//              EEP instead of EOP.
#include "Orwin.hpp"
#include "rmap_reference.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

namespace rmap = orw::spacewire::rmap;
using orw::connection;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// What a callback wrote: reads fill this many bytes, the rest stays zero.
constexpr size_t read_fill = 64;

bool refusal_status(uint8_t st)
{
    switch (st) {
    case rmap::status_unused_type:
    case rmap::status_invalid_data_crc:
    case rmap::status_early_eop:
    case rmap::status_too_much_data:
    case rmap::status_eep:
    case rmap::status_verify_buffer_overrun:
    case rmap::status_not_authorised:
    case rmap::status_rmw_data_length:
        return true;
    default:
        return false;
    }
}

struct checked_target : rmap::handler {
    int replies = 0; // in the current packet
    int calls = 0;
    bool read_call = false;

    checked_target() { set_ifc(nullptr, 1); }
    void start(uint8_t sla, uint8_t pid) override
    {
        replies = calls = 0;
        read_call = false;
        handler::start(sla, pid);
    }
    void send_reply(const uint8_t *h, size_t hn, const uint8_t *b, size_t bn) override
    {
        check(++replies == 1);
        check(hn >= 8 && hn <= 24);
        check(bn <= orw::spacewire::packet_buffer_size);
        // A data reply's header is 12 bytes after its path, a write reply's 8.
        size_t fixed = bn ? 12 : 8;
        check(hn >= fixed && hn - fixed <= 12);
        size_t path = hn - fixed;
        const uint8_t *r = h + path;
        size_t rn = hn - path;
        check(r[1] == rmap::protocol_id && !(r[2] & rmap::instr_command));
        check(rmap::crc_of(r, rn - 1) == r[rn - 1]);
        if (bn) {
            uint32_t length = static_cast<uint32_t>(r[8] << 16 | r[9] << 8 | r[10]);
            check(length + 1 == bn);
            check(rmap::crc_of(b, bn - 1) == b[bn - 1]);
        }
        if (calls == 0)
            check(refusal_status(r[3]) && bn <= 1);
        for (size_t i = read_fill; read_call && i + 1 < bn; ++i)
            check(b[i] == 0);
    }
    // The demonstration callbacks print; these answer quietly.
    uint8_t read(uint8_t, uint8_t, uint8_t, uint8_t, uint32_t, uint32_t sz) override
    {
        check(sz < orw::spacewire::packet_buffer_size);
        ++calls;
        read_call = true;
        std::vector<uint8_t> pattern(sz < read_fill ? sz : read_fill, 0x5A);
        set_data(pattern.data(), pattern.size());
        return 0;
    }
    uint8_t write(uint8_t, uint8_t, uint8_t, uint8_t, uint32_t, uint32_t) override
    {
        ++calls;
        return 0;
    }
    uint8_t readmodifywrite(uint8_t, uint8_t, uint8_t, uint8_t, uint32_t, uint32_t sz) override
    {
        check(sz <= rmap::max_rmw_data);
        ++calls;
        std::vector<uint8_t> d(sz), m(sz);
        get_data(d.data(), sz);
        get_mask(m.data(), sz);
        set_data(d.data(), sz);
        return 0;
    }
    using handler::read;
    using handler::readmodifywrite;
    using handler::write;
};

// A transaction of a known command: every way it can end is counted, and a
// reply that completes it as a success must fit that command.
struct counted : rmap::transaction_response {
    int completions = 0;
    counted() { verbose(false); }
    void write_reply(uint8_t) override { replied(rmap::rmap_write, 0); }
    void read_reply(uint8_t, uint32_t sz) override
    {
        check(sz < orw::spacewire::packet_buffer_size);
        replied(rmap::rmap_read, sz);
    }
    void read_modify_write_reply(uint8_t, uint32_t sz) override { replied(rmap::rmap_read_modify_write, sz); }
    void crc_error() override { ended(rmap::transaction_outcome::crc_error); }
    void failed(rmap::transaction_outcome why) override { ended(why); }
    void timedout() override { ++completions; }
    using transaction_response::read_modify_write_reply;
    using transaction_response::read_reply;

  private:
    void replied(rmap::rmap_command kind, uint32_t sz)
    {
        ++completions;
        check(ok() && outcome() == rmap::transaction_outcome::replied);
        check(kind == rmap::classify(expected_pt) && (kind == rmap::rmap_write || sz <= expected_ds));
        check(sz == expected_ds || status_code() != 0 || kind == rmap::rmap_write);
    }
    void ended(rmap::transaction_outcome why)
    {
        ++completions;
        check(!ok() && outcome() == why && size() == 0);
    }
};

// The commands the live transactions stand for: read of 8, write, read of
// 16 with incrementing addresses, read-modify-write of 4.
constexpr struct {
    uint8_t reply_pt;
    uint32_t length;
} commands[4] = {{0x08, 8}, {0x28, 0}, {0x0C, 16}, {0x1C, 4}};

void feed_piece(checked_target &h, std::vector<uint8_t> piece, int term, bool &open)
{
    if (!open)
        return;
    if (term == connection::EEP) {
        // As the link's dispatcher does: the bytes, then the bad news.
        h.body(piece.data(), piece.size(), connection::PART_EOP_EEP);
        h.eep();
        open = false;
        return;
    }
    if (!h.body(piece.data(), piece.size(), term) || term != connection::PART_EOP_EEP) {
        if (term == connection::EOP)
            h.eop(1);
        if (term == connection::EEP) {
            h.eep();
            check(h.calls == 0);
        }
        if (term != connection::PART_EOP_EEP)
            open = false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static checked_target *target = new checked_target();
    checked_target &h = *target;
    counted live[4];
    rmap::global_transactions.seed(0);
    for (int i = 0; i < 4; ++i) {
        live[i].start();
        live[i].expect(commands[i].reply_pt, commands[i].length);
        rmap::global_transactions.transaction(&live[i]);
    }

    bool open = false;
    if (data[0] & 1) {
        std::vector<rmap_ref::named_packet> refs = rmap_ref::all_packets();
        rmap_ref::bytes p = refs[data[1] % refs.size()].packet;
        size_t cut = size > 2 ? 2 + data[2] % (p.size() - 2) : p.size();
        for (size_t i = 3; i + 1 < size; i += 2)
            p[data[i] % p.size()] ^= data[i + 1];
        h.start(p[0], p[1]);
        open = true;
        feed_piece(h, rmap_ref::bytes(p.begin() + 2, p.begin() + static_cast<long>(cut)),
                   connection::PART_EOP_EEP, open);
        feed_piece(h, rmap_ref::bytes(p.begin() + static_cast<long>(cut), p.end()),
                   (data[0] & 2) ? connection::EEP : connection::EOP, open);
    } else {
        for (size_t i = 1; i < size;) {
            uint8_t control = data[i++];
            if (control & 0x80) {
                if (i >= size)
                    break;
                h.start(data[i++], rmap::protocol_id);
                open = true;
            }
            size_t n = (control >> 2) & 0x1F;
            if (n > size - i)
                n = size - i;
            int term = (control & 3) == 1   ? connection::EOP
                       : (control & 3) == 2 ? connection::EEP
                                            : connection::PART_EOP_EEP;
            feed_piece(h, rmap_ref::bytes(data + i, data + i + n), term, open);
            i += n;
        }
    }
    for (counted &c : live) {
        check(c.completions <= 1);
        c.cancel();
    }
    check(rmap::live_transactions() == 0);
    return 0;
}
