// SPDX-License-Identifier: MIT
// The RMAP receive state machine: commands and replies, with and without
// reply addresses, fed in pieces of any size, and replies delivered to their
// transactions. Both CRCs are checked before anything is delivered; the data
// field never grows past the instance buffer, which a long reply enlarges
// for itself.
#include "Orwin.hpp"

#include <new>

namespace orw::spacewire::rmap {

namespace {

const char *terminator_name(int term)
{
    switch (term) {
    case connection::EOP:
        return "EOP";
    case connection::EEP:
        return "EEP";
    default:
        return "none";
    }
}

} // namespace

void handler::start(uint8_t sla, uint8_t pid)
{
    ORW_SPW_TRACE(2, this, "starting RMAP message (sla %02x protocol %02x)", sla, pid);
    reset();
    if (room) {
        // The long reply of the last packet has been delivered.
        delete[] data;
        data = new unsigned char[packet_buffer_size];
        room = 0;
    }
    hdr.pid = pid;
    hdr.sla = sla;
    crc.reset();
    crc.add(sla);
    crc.add(pid);
    status = header;
    hdr.hdrstate = 2;
}

void handler::reset()
{
    ORW_SPW_TRACE(8, this, "resetting link");
    status = header;
    hdr.address = 0;
    hdr.hdrstate = 0;
    hdr.ds = 0;
    hdr.sz = 0;
    hdr.pard = 0;
    hdr.pasz = 0;
    hdr.tid = 0;
    hdr.pt = 0;
    data_fault = 0;
    crc.reset();
}

// A command whose header was complete is answered for; a reply whose
// header was intact ends its transaction; anything else is dropped. The
// packet is over either way.
void handler::eep()
{
    if (status == err)
        return;
    ORW_SPW_TRACE(8, this, "EEP received so resetting link");
    if (command_type(hdr.pt))
        end_command(true);
    else
        damaged_reply();
    reset();
    status = err;
}

// A reply whose header (and so its TID) was intact but whose data is not
// ends its transaction now rather than leaving it to its time-out.
void handler::damaged_reply()
{
    if (command_type(hdr.pt) || (status != bodydata && status != finalcrc && status != trailer))
        return;
    ORW_SPW_TRACE(1, this, "ERROR damaged reply for tid %04x", hdr.tid);
    status = err;
    transaction_response *tr = ifc ? ifc->rmap_tx(linkno, hdr.tid) : global_transactions.find(hdr.tid);
    if (tr)
        tr->fail(transaction_outcome::crc_error, hdr.rstatus, true);
}

bool handler::body(unsigned char *d, size_t n, int term)
{
    ORW_SPW_TRACE(8, this, "read packet of size %zu terminator %s", n, terminator_name(term));
    size_t i = 0;
    while (i < n) {
        switch (status) {
        case header:
            ORW_SPW_TRACE(8, this, "calling header %zu", i);
            parse_header(d, n, i);
            break;
        case bodydata:
            parse_body(d, n, i);
            break;
        case trailer:
            ORW_SPW_TRACE(8, this, "More data found when EOP expected");
            if (command_type(hdr.pt)) {
                data_fault = status_too_much_data;
                i = n;
                break;
            }
            damaged_reply();
            break;
        case finalcrc:
            parse_data_crc(d[i++]);
            break;
        case command_header_read:
            ORW_SPW_TRACE(8, this, "calling read header %zu", i);
            parse_command(d, n, i, false, false);
            break;
        case command_header_write:
            ORW_SPW_TRACE(8, this, "command header write pa %zu:%02x", i, d[i]);
            parse_command(d, n, i, true, false);
            break;
        case command_header_read_pa:
            ORW_SPW_TRACE(8, this, "calling read header pa %zu", i);
            parse_command(d, n, i, false, true);
            break;
        case command_header_write_pa:
            ORW_SPW_TRACE(8, this, "calling write header pa %zu", i);
            parse_command(d, n, i, true, true);
            break;
        case err:
        default:
            ORW_SPW_TRACE(8, this, "dropping traffic as in error state");
            if (term == connection::EOP) {
                ORW_SPW_TRACE(8, this, "EEP/EOP received so resetting link");
                reset();
            }
            return false;
        }
    }
    if (status == err) {
        ORW_SPW_TRACE(8, this, "dropping traffic as in error state");
        return false;
    }
    return true;
}

// Replies, and the instruction byte of commands.
void handler::parse_header(const uint8_t *d, size_t n, size_t &i)
{
    while (i < n && status == header) {
        uint8_t b = d[i++];
        size_t index = hdr.hdrstate++;
        switch (index) {
        case 2:
            hdr.pt = b;
            crc.add(b);
            ORW_SPW_TRACE(4, this, "packet type is %02x", b);
            // Reserved packet types are parsed as commands, to be refused.
            if (command_type(b)) {
                ORW_SPW_TRACE(8, this, "this is an RMAP command %02x", b);
                hdr.pasz = static_cast<uint8_t>((b & instr_pa_mask) * 4);
                if (type() == rmap_read) {
                    ORW_SPW_TRACE(8, this, "this is an RMAP read");
                    hdr.dla = hdr.sla;
                    status = hdr.pasz ? command_header_read_pa : command_header_read;
                } else {
                    ORW_SPW_TRACE(8, this,
                                  type() == rmap_write ? "this is an RMAP write"
                                                       : "this is an RMAP read modify write");
                    status = hdr.pasz ? command_header_write_pa : command_header_write;
                }
                ORW_SPW_TRACE(8, this, "it has %d bytes of path addressing", hdr.pasz);
                return;
            }
            ORW_SPW_TRACE(2, this,
                          type() == rmap_write  ? "this is an RMAP write response"
                          : type() == rmap_read ? "this is an RMAP read response"
                                                : "this is an RMAP read modify write response");
            break;
        case 3:
            hdr.rstatus = b;
            crc.add(b);
            ORW_SPW_TRACE(4, this, "status is %02x", b);
            break;
        case 4:
            hdr.dla = b;
            crc.add(b);
            ORW_SPW_TRACE(4, this, "dla is %02x", b);
            break;
        case 5:
            hdr.tid = static_cast<uint16_t>(b << 8);
            crc.add(b);
            ORW_SPW_TRACE(4, this, "tid MSB is %04x", hdr.tid);
            break;
        case 6:
            hdr.tid = static_cast<uint16_t>(hdr.tid | b);
            crc.add(b);
            ORW_SPW_TRACE(4, this, "tid is %04x", hdr.tid);
            break;
        case 7:
            if (type() == rmap_write) {
                ORW_SPW_TRACE(8, this, "write reply frame type");
                if (b != crc.get()) {
                    ORW_SPW_TRACE(1, this, "ERROR CRC error on write reply");
                    status = err;
                } else {
                    ORW_SPW_TRACE(8, this, "valid CRC transitioning to EOP");
                    status = trailer;
                }
            } else {
                ORW_SPW_TRACE(8, this, type() == rmap_read ? "read reply" : "read modify write reply");
                crc.add(b);
            }
            break;
        case 8:
        case 9:
        case 10:
            hdr.ds |= static_cast<uint32_t>(b) << ((10 - index) * 8);
            crc.add(b);
            ORW_SPW_TRACE(4, this, "read ds @ byte %zu (%zu) is  %06x", index, i, hdr.ds);
            break;
        case 11:
            ORW_SPW_TRACE(8, this, "checking read reply CRC");
            if (b != crc.get()) {
                ORW_SPW_TRACE(2, this, "ERROR read reply CRC invalid");
                status = err;
            } else {
                ORW_SPW_TRACE(8, this, "transitioning to reading the body of size %d", hdr.ds);
                status = hdr.ds ? bodydata : finalcrc;
                crc.reset();
            }
            break;
        default:
            break; // indices 0, 1 (after a reset mid-packet) and above 11
        }
    }
}

void handler::parse_command(const uint8_t *d, size_t n, size_t &i, bool write, bool with_reply_address)
{
    const state entered = status;
    while (i < n && status == entered) {
        uint8_t b = d[i++];
        size_t index = hdr.hdrstate++;
        if (with_reply_address && index > 3 && index < 4u + hdr.pasz) {
            crc.add(b);
            if (hdr.pard < sizeof hdr.pad)
                hdr.pad[hdr.pard++] = b;
            if (write)
                ORW_SPW_TRACE(4, this, "path address %u is %02x", hdr.pard, b);
            else
                ORW_SPW_TRACE(4, this, "path address %u:%u is %02x", hdr.pard, hdr.pasz, b);
            continue;
        }
        if (with_reply_address && index > 3)
            index -= hdr.pasz;
        command_byte(index, b, write);
    }
}

// One command header byte at its index as if there were no reply address.
void handler::command_byte(size_t index, uint8_t b, bool write)
{
    if (index >= 3 && index <= 14)
        crc.add(b);
    switch (index) {
    case 3:
        hdr.dkey = b;
        ORW_SPW_TRACE(4, this, write ? "dkey is %02x" : "destination key is %02x", b);
        break;
    case 4:
        if (write)
            hdr.dla = hdr.sla;
        hdr.sla = b;
        ORW_SPW_TRACE(4, this, "sla is %02x", b);
        break;
    case 5:
        hdr.tid = static_cast<uint16_t>(b << 8);
        ORW_SPW_TRACE(4, this, "tid MSB is %04x", hdr.tid);
        break;
    case 6:
        hdr.tid = static_cast<uint16_t>(hdr.tid | b);
        ORW_SPW_TRACE(4, this, "tid is %04x", hdr.tid);
        break;
    case 7:
        hdr.era = b;
        ORW_SPW_TRACE(4, this, write ? "ewa is %02x" : "era is %02x", b);
        break;
    case 8:
    case 9:
    case 10:
    case 11:
        hdr.address |= static_cast<uint32_t>(b) << ((11 - index) * 8);
        ORW_SPW_TRACE(4, this,
                      write ? "write address @ byte %zu (%zu) is %04x"
                            : "read address @ byte %zu (%zu) is %04x",
                      index, index, hdr.address);
        break;
    case 12:
    case 13:
    case 14:
        hdr.ds |= static_cast<uint32_t>(b) << ((14 - index) * 8);
        ORW_SPW_TRACE(4, this,
                      write ? "write size @ byte %zu (%zu) is %04x" : "read size @ byte %zu (%zu) is %04x",
                      index, index, hdr.ds);
        break;
    case 15:
        if (!write) {
            ORW_SPW_TRACE(8, this, "checking read command CRC");
            if (b == crc.get()) {
                ORW_SPW_TRACE(8, this, "transitioning to eop handling %d", hdr.ds);
                status = trailer;
            } else {
                ORW_SPW_TRACE(1, this, "ERROR command CRC invalid is %02x expected %02x", b, crc.get());
                status = err;
            }
        } else {
            ORW_SPW_TRACE(8, this, "checking write command CRC expecting %02x got %02x", crc.get(), b);
            if (b == crc.get()) {
                ORW_SPW_TRACE(8, this, "write command CRC valid transitioning to reading the body of size %d",
                              hdr.ds);
                status = hdr.ds ? bodydata : finalcrc;
                crc.reset();
            } else {
                ORW_SPW_TRACE(1, this, "ERROR write command CRC invalid expected %02x got %02x ", crc.get(),
                              b);
                status = err;
            }
        }
        break;
    default:
        break;
    }
}

void handler::parse_body(const uint8_t *d, size_t n, size_t &i)
{
    // The data field lives in the instance buffer; one byte stays free for
    // the CRC a target reply puts after its data. A command too long for it
    // is still read to its end, to be answered; a reply gets a larger buffer.
    const bool command = command_type(hdr.pt);
    if (!data || (!command && !reply_room())) {
        ORW_SPW_TRACE(1, this, "ERROR data length %u does not fit the receive buffer", hdr.ds);
        status = err;
        return;
    }
    size_t take = hdr.ds - hdr.sz;
    if (take > n - i)
        take = n - i;
    crc.calculate(d + i, take);
    if (!command || hdr.ds < packet_buffer_size)
        std::copy(d + i, d + i + take, data + hdr.sz);
    hdr.sz += static_cast<uint32_t>(take);
    i += take;
    if (hdr.sz == hdr.ds) {
        ORW_SPW_TRACE(8, this, "read the data transitioning to read the crc (%d)", hdr.sz);
        status = finalcrc;
    }
}

void handler::parse_data_crc(uint8_t b)
{
    if (b == crc.get()) {
        ORW_SPW_TRACE(8, this, "crc valid now looking for EOP");
        status = trailer;
    } else {
        ORW_SPW_TRACE(1, this, "ERROR CRC is invalid expected %02x got %02x", crc.get(), b);
        if (command_type(hdr.pt)) {
            // Answered at the end of the packet, never executed.
            data_fault = status_invalid_data_crc;
            status = trailer;
            return;
        }
        damaged_reply();
        status = err;
    }
}

bool handler::reply_room()
{
    size_t need = static_cast<size_t>(hdr.ds) + 1;
    if (need <= packet_buffer_size || need <= room)
        return true;
    unsigned char *larger = new (std::nothrow) unsigned char[need];
    if (!larger)
        return false;
    delete[] data;
    data = larger;
    room = need;
    return true;
}

void handler::eop(int rxlink)
{
    ORW_SPW_TRACE(8, this, "EOP handler called");
    if (command_type(hdr.pt)) {
        ORW_SPW_TRACE(8, this, "processing server command type %02x", hdr.pt);
        end_command(false);
        return;
    }
    if (status != trailer) {
        ORW_SPW_TRACE(8, this, "invalid state to be handling EOP");
        damaged_reply(); // ended before its data and CRC
        return;
    }
    ORW_SPW_TRACE(8, this, "command response %02x", hdr.pt);
    rmap_reply_eop(rxlink);
}

// A reply whose CRCs and length are right completes its transaction.
void handler::rmap_reply_eop(int rxlink)
{
    ORW_SPW_TRACE(8, this, "correct EOP in reply sequence handling reply for tid %04x", hdr.tid);
    transaction_response *tr = ifc ? ifc->rmap_tx(rxlink, hdr.tid) : global_transactions.find(hdr.tid);
    ORW_SPW_TRACE(8, this, "Found transaction %p for %04x", static_cast<void *>(tr), hdr.tid);
    if (!tr) {
        ORW_SPW_TRACE(8, this, "Found %04x not found on handler %p  ifc %p link %d", hdr.tid,
                      static_cast<void *>(this), static_cast<void *>(ifc), rxlink);
        return;
    }
    if (!tr->fits(hdr.pt, hdr.ds, hdr.rstatus)) {
        ORW_SPW_TRACE(1, this, "ERROR reply %02x with %u bytes does not fit the command of tid %04x", hdr.pt,
                      hdr.ds, hdr.tid);
        tr->fail(transaction_outcome::invalid_reply, hdr.rstatus, true);
        return;
    }
    tr->set_status(false, hdr.rstatus);
    tr->set_outcome(transaction_outcome::replied);
    switch (type()) {
    case rmap_write:
        ORW_SPW_TRACE(8, this, "write reply %02x", hdr.rstatus);
        tr->write_reply(hdr.rstatus);
        break;
    case rmap_read_modify_write:
        ORW_SPW_TRACE(8, this, "read modify write reply %d bytes", hdr.ds);
        tr->read_modify_write_reply(hdr.rstatus, data, hdr.ds);
        break;
    default:
        ORW_SPW_TRACE(8, this, "read reply %d bytes", hdr.ds);
        tr->read_reply(hdr.rstatus, data, hdr.ds);
        break;
    }
    tr->completed();
}

} // namespace orw::spacewire::rmap
