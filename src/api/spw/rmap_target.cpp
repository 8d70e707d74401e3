// SPDX-License-Identifier: MIT
// RMAP target side of the handler: command dispatch to the callbacks, the
// demonstration callbacks, and the three reply forms.
#include "Orwin.hpp"
#include "hex_preview.hpp"

#include <cstdio>
#include <cstring>

namespace orw::spacewire::rmap {

namespace {

void counting_pattern(uint8_t *out, size_t n)
{
    for (size_t i = 0; out && i < n; ++i)
        out[i] = static_cast<uint8_t>(i & 0xFF);
}

// Reply header: path, initiator, protocol, instruction, status, target,
// TID, and for data replies the reserved byte and the data length.
constexpr size_t max_reply_header = 12 + 12;

} // namespace

// The end (EOP, or EEP when `eep`) of a packet parsed as a command. Only a
// header that arrived whole with its CRC right says where a reply goes.
void handler::end_command(bool eep)
{
    if (status != bodydata && status != finalcrc && status != trailer) {
        ORW_SPW_TRACE(8, this, "invalid state to be handling EOP");
        return;
    }
    if (!data)
        return; // not bound to a link: nowhere to build a reply
    if (valid_command(hdr.pt) && type() == rmap_read && (eep || data_fault)) {
        // A read has no data status to report: one cut by EEP or followed by
        // more bytes is discarded.
        ORW_SPW_TRACE(1, this, "ERROR read command %02x discarded", hdr.pt);
        return;
    }
    uint8_t st = command_refusal(eep);
    if (st == status_success) {
        serve_command();
        return;
    }
    ORW_SPW_TRACE(1, this, "ERROR command %02x refused with status %d", hdr.pt, st);
    if (ack())
        refuse_command(st);
}

// Why a command is not to be executed, or status_success: unused codes
// first, then the shape of the packet, then the lengths this target takes.
uint8_t handler::command_refusal(bool eep) const
{
    if (!valid_command(hdr.pt))
        return status_unused_type;
    if (type() == rmap_read)
        return static_cast<size_t>(hdr.ds) + 1 > packet_buffer_size ? status_not_authorised : status_success;
    if (eep)
        return status_eep;
    if (status != trailer)
        return status_early_eop;
    if (data_fault)
        return data_fault;
    if (type() == rmap_read_modify_write && (hdr.ds > 8 || hdr.ds % 2))
        return status_rmw_data_length;
    if (type() == rmap_write && hdr.ds >= packet_buffer_size)
        return (hdr.pt & instr_verify) ? status_verify_buffer_overrun : status_not_authorised;
    return status_success;
}

// The reply to a command refused before any callback: its status and no data.
void handler::refuse_command(uint8_t st)
{
    if (hdr.pt & instr_write) {
        uint8_t out[max_reply_header];
        size_t n = reply_header(out, reply_instruction(hdr.pt), st, false, 0);
        send_reply(out, n, nullptr, 0);
    } else {
        send_data_reply(reply_instruction(hdr.pt), st, data, 0);
    }
}

void handler::serve_command()
{
    switch (type()) {
    case rmap_write:
        ORW_SPW_TRACE(2, this, "write command sla %02x key %02x address %02x:%08x size %d", hdr.sla, hdr.dkey,
                      hdr.era, hdr.address, hdr.ds);
        hdr.rstatus = write(hdr.pt, hdr.sla, hdr.dkey, hdr.era, hdr.address, hdr.ds, data);
        if (hdr.pt & instr_reply) {
            ORW_SPW_TRACE(8, this, "need to send write reply for tid %04x", hdr.tid);
            ORW_SPW_TRACE(2, this, "write command reply status %02x tid %04x on link %d", hdr.rstatus,
                          hdr.tid, linkno);
            uint8_t out[max_reply_header];
            size_t n = reply_header(out, reply_instruction(hdr.pt), hdr.rstatus, false, 0);
            send_reply(out, n, nullptr, 0);
        }
        break;
    case rmap_read_modify_write: {
        ORW_SPW_TRACE(2, this, "readmodifywrite command sla %02x key %02x address %02x:%08x size %d", hdr.sla,
                      hdr.dkey, hdr.era, hdr.address, hdr.ds);
        uint32_t half = hdr.ds / 2;
        // The reply carries only what the callback writes.
        std::memset(data + hdr.ds, 0, half);
        hdr.rstatus = readmodifywrite(hdr.pt, hdr.sla, hdr.dkey, hdr.era, hdr.address, half, data,
                                      data + half, data + hdr.ds);
        send_data_reply(reply_instruction(hdr.pt), hdr.rstatus, data + hdr.ds, half);
        break;
    }
    case rmap_read:
    default:
        ORW_SPW_TRACE(2, this, "read command sla %02x key %02x address %02x:%08x size %d", hdr.sla, hdr.dkey,
                      hdr.era, hdr.address, hdr.ds);
        std::memset(data, 0, hdr.ds);
        ORW_SPW_TRACE(8, this, "calling read handler");
        hdr.rstatus = read(hdr.pt, hdr.sla, hdr.dkey, hdr.era, hdr.address, hdr.ds, data);
        ORW_SPW_TRACE(8, this, "called read handler result %d", hdr.rstatus);
        send_data_reply(reply_instruction(hdr.pt), hdr.rstatus, data, hdr.ds);
        break;
    }
}

size_t handler::reply_header(uint8_t *out, uint8_t pt, uint8_t st, bool with_length, uint32_t length) const
{
    size_t n = reply_path(hdr, out);
    size_t from = n;
    out[n++] = hdr.sla;
    out[n++] = protocol_id;
    out[n++] = pt;
    out[n++] = st;
    out[n++] = hdr.dla;
    out[n++] = static_cast<uint8_t>(hdr.tid >> 8);
    out[n++] = static_cast<uint8_t>(hdr.tid);
    if (with_length) {
        out[n++] = 0x00;
        out[n++] = static_cast<uint8_t>(length >> 16);
        out[n++] = static_cast<uint8_t>(length >> 8);
        out[n++] = static_cast<uint8_t>(length);
    }
    out[n] = crc_of(out + from, n - from);
    return n + 1;
}

// Read and read-modify-write replies: `reply` holds `length` data bytes and
// has room for the CRC after them.
void handler::send_data_reply(uint8_t pt, uint8_t st, uint8_t *reply, uint32_t length)
{
    ORW_SPW_TRACE(2, this, "read command reply id %04x sla %02x key %02x address %02x:%08x size %d", hdr.tid,
                  hdr.sla, hdr.dkey, hdr.era, hdr.address, length);
    uint8_t out[max_reply_header];
    size_t n = reply_header(out, pt, st, true, length);
    uint8_t none = 0;
    if (!reply)
        reply = &none;
    reply[length] = crc_of(reply, length);
    send_reply(out, n, reply, static_cast<size_t>(length) + 1);
}

void handler::send_reply(const uint8_t *hbytes, size_t hsz, const uint8_t *body_bytes, size_t bsz)
{
    if (!ifc)
        return;
    ORW_SPW_TRACE(8, this, "sending reply to %p", static_cast<void *>(ifc));
    writelock guard(ifc);
    ifc->writeport(linkno, hbytes, hsz, bsz ? connection::INCOMPLETE : connection::EOP);
    if (bsz)
        ifc->writeport(linkno, body_bytes, bsz, connection::EOP);
    ifc->flush();
    ORW_SPW_TRACE(8, this, "sent reply of %zu bytes", hsz + bsz);
}

// ---- Callbacks ---------------------------------------------------------------------

uint8_t handler::read(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz,
                      uint8_t *buffer)
{
    ORW_SPW_TRACE(2, this, "read flags %02x from %02x key %02x address %02x:%04x size %d", pkt, sla, key, era,
                  addr, sz);
    mreply = buffer;
    ORW_SPW_TRACE(8, this, "calling core read method");
    uint8_t st = read(pkt, sla, key, era, addr, sz);
    ORW_SPW_TRACE(8, this, "called core read method returning %d", st);
    mreply = nullptr;
    return st;
}

uint8_t handler::write(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz,
                       const uint8_t *buffer)
{
    ORW_SPW_TRACE(2, this, "serverwrite flags %02x from %02x key %02x address %02x:%04x size %d", pkt, sla,
                  key, era, addr, sz);
    mdata = buffer;
    uint8_t st = write(pkt, sla, key, era, addr, sz);
    mdata = nullptr;
    return st;
}

uint8_t handler::readmodifywrite(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr,
                                 uint32_t sz, const uint8_t *d, const uint8_t *mask, uint8_t *reply)
{
    ORW_SPW_TRACE(2, this, "serverwrite flags %02x from %02x key %02x address %02x:%04x size %d", pkt, sla,
                  key, era, addr, sz);
    mdata = d;
    mmask = mask;
    mreply = reply;
    uint8_t st = readmodifywrite(pkt, sla, key, era, addr, sz);
    mdata = mmask = nullptr;
    mreply = nullptr;
    return st;
}

uint8_t handler::read(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz)
{
    if (verbose()) {
        std::printf("server->read (%d) type %02x from %02x key %02x address %02x:%04x size %d\n", tid(), pkt,
                    sla, key, era, addr, sz);
        std::fflush(stdout);
    }
    counting_pattern(mreply, sz);
    return 0x33;
}

uint8_t handler::write(uint8_t, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz)
{
    if (verbose()) {
        std::printf("server->write (%d)  from %02x key %02x address %02x:%04x size %d data%s\n", tid(), sla,
                    key, era, addr, sz, hex_preview(mdata, sz).c_str());
        std::fflush(stdout);
    }
    return 0x66;
}

uint8_t handler::readmodifywrite(uint8_t, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz)
{
    // The preview is of the data as it came, before the reply area is filled.
    hex_preview shown(mdata, sz);
    counting_pattern(mreply, sz);
    if (verbose()) {
        std::printf("server->readmodifywrite (%d) from %02x key %02x address %02x:%04x size %d data%s\n",
                    tid(), sla, key, era, addr, sz, shown.c_str());
        std::fflush(stdout);
    }
    return 0x99;
}

void handler::get_data(uint8_t *dst, size_t n) const
{
    if (mdata && dst && n)
        std::memcpy(dst, mdata, n);
}

void handler::get_mask(uint8_t *dst, size_t n) const
{
    if (mmask && dst && n)
        std::memcpy(dst, mmask, n);
}

void handler::set_data(const uint8_t *src, size_t n)
{
    if (mreply && src && n)
        std::memcpy(mreply, src, n);
}

bool handler::auto_increment() const
{
    ORW_SPW_TRACE(8, this, "flags are %02x", hdr.pt);
    bool ai = (hdr.pt & instr_increment) != 0;
    ORW_SPW_TRACE(8, this, ai ? "ai is present" : "ai is not present");
    return ai;
}

} // namespace orw::spacewire::rmap
