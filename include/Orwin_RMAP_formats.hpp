// SPDX-License-Identifier: MIT
// Orwin_RMAP_formats.hpp - RMAP byte layouts: the 8-bit CRC, the outgoing
// header under construction and the record of a header being parsed.
#ifndef ORWIN_RMAP_FORMATS_HPP
#define ORWIN_RMAP_FORMATS_HPP

#include "Orwin_Export.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orw::spacewire::rmap {

/** Protocol identifier of RMAP. */
constexpr uint8_t protocol_id = 0x01;

/** Instruction byte bits. */
constexpr uint8_t instr_command = 0x40;     ///< 1 = command, 0 = reply
constexpr uint8_t instr_write = 0x20;       ///< 1 = write, 0 = read
constexpr uint8_t instr_verify = 0x10;      ///< verify data before writing
constexpr uint8_t instr_reply = 0x08;       ///< reply requested
constexpr uint8_t instr_increment = 0x04;   ///< incrementing addresses
constexpr uint8_t instr_pa_mask = 0x03;     ///< reply address length in 4-byte units
constexpr uint8_t instr_packet_type = 0xC0; ///< 01 command, 00 reply, 10 and 11 reserved

/** Instruction bytes of the commands the initiator sends (before the
 *  reply-address length is added). */
constexpr uint8_t instr_read_command = 0x48;
constexpr uint8_t instr_write_command = 0x60;
constexpr uint8_t instr_rmw_command = 0x5C;

/** Largest data length the 24-bit field carries. */
constexpr uint32_t max_data_length = 0xFFFFFF;

/** Status codes of the standard carried in replies. */
enum status_code : uint8_t {
    status_success = 0,
    status_general_error = 1,
    status_unused_type = 2,
    status_invalid_key = 3,
    status_invalid_data_crc = 4,
    status_early_eop = 5,
    status_too_much_data = 6,
    status_eep = 7,
    status_verify_buffer_overrun = 9,
    status_not_authorised = 10,
    status_rmw_data_length = 11,
    status_invalid_logical_address = 12,
};

/** The standard's name of a reply status ("unknown status" for others). */
ORWIN_API const char *status_text(uint8_t status);

/** Classification of an instruction byte. */
enum rmap_command { rmap_read = 1, rmap_write = 2, rmap_read_modify_write = 3 };

/** rmap_command of an instruction byte: write bit first, then the
 *  verify+reply+increment pattern of read-modify-write, else read. */
inline rmap_command classify(uint8_t pt)
{
    if (pt & instr_write)
        return rmap_write;
    if ((pt & 0x1C) == 0x1C)
        return rmap_read_modify_write;
    return rmap_read;
}

/** Reply instruction for a command: the command's own bits with the
 *  packet-type bits set to reply (00, also for a reserved type). */
inline uint8_t reply_instruction(uint8_t command_pt)
{
    return command_pt & 0x3F;
}

/** A packet a target has to answer for rather than a reply: the command
 *  bit decides. Of the two reserved types, 11 is a reserved command (refused
 *  with status 2) and 10 a reply with its reserved bit set (never a valid
 *  reply: it ends a live transaction of its TID as invalid). */
inline bool command_type(uint8_t pt)
{
    return (pt & instr_command) != 0;
}

/** A command the standard defines: packet type command and a used command
 *  code (every write; read single or incrementing, which need the reply
 *  bit; read-modify-write incrementing with the reply bit). */
inline bool valid_command(uint8_t pt)
{
    if ((pt & instr_packet_type) != instr_command)
        return false;
    unsigned code = (pt >> 2) & 0x0F;
    return (code & 0x8) || code == 0x2 || code == 0x3 || code == 0x7;
}

/** The standard's 256-entry CRC table (polynomial x^8 + x^2 + x + 1, bits
 *  taken least significant first). */
extern ORWIN_API const uint8_t RMAP_CRC_TABLE[256];

/** The running 8-bit RMAP CRC: initial value 0, no final inversion. */
class ORWIN_API crc_calc {
  public:
    crc_calc() = default;

    /** Back to 0. */
    void reset();
    /** Fold one byte; @return the new value. */
    uint8_t add(uint8_t b);
    /** Fold every byte in order (no reset first); @return the value. */
    uint8_t calculate(const uint8_t *data, size_t n);
    uint8_t calculate(const std::vector<uint8_t> &data) { return calculate(data.data(), data.size()); }
    uint8_t get() const { return crc_v; }

    uint8_t crc_v = 0;
};

/** CRC of `n` bytes from 0, without tracing (for hot paths). */
ORWIN_API uint8_t crc_of(const uint8_t *data, size_t n, uint8_t start = 0);

/**
 * An outgoing header: destination path bytes (no CRC), then CRC-covered
 * bytes. The 64-byte array bounds the whole header; a byte that would not
 * fit throws address_error, so an oversized path is refused before anything
 * is sent.
 */
class ORWIN_API net_header : public crc_calc {
  public:
    static constexpr size_t capacity = 64;

    net_header() = default;

    /** Copy the destination path bytes, without CRC. */
    void set_header(const uint8_t *path, size_t n);
    /** Append `b` and fold it into the CRC. */
    void write(uint8_t b)
    {
        room(1);
        add(b);
        data[sz++] = b;
    }
    /** Append `b` without CRC. */
    void write_nocrc(uint8_t b)
    {
        room(1);
        data[sz++] = b;
    }

    uint8_t data[capacity] = {};
    size_t sz = 0;

  private:
    void room(size_t n) const;
};

/** The header being parsed (commands and replies alike). */
struct ORWIN_API rmap_hdr {
    size_t hdrstate = 0; ///< index of the next header byte (logical address is 0)
    uint32_t address = 0;
    uint8_t dkey = 0;
    uint8_t pid = 0;
    uint8_t pt = 0;
    uint32_t ds = 0; ///< data length from the header
    uint32_t sz = 0; ///< data bytes received so far
    uint8_t rstatus = 0;
    uint8_t pasz = 0; ///< reply-address length in bytes
    uint8_t pad[16] = {};
    uint8_t pard = 0; ///< reply-address bytes received so far
    uint8_t dla = 0;  ///< target logical address
    uint8_t sla = 0;  ///< initiator logical address
    uint8_t era = 0;
    uint16_t tid = 0;
};

/** Parser states; the values are fixed. */
enum state {
    header = 0,
    bodydata = 1,
    trailer = 2,
    finalcrc = 3,
    command_header_read = 4,
    command_header_write = 5,
    command_header_read_pa = 6,
    command_header_write_pa = 7,
    err = 8,
};

/**
 * The reply path of a command: its reply-address bytes without their
 * leading zero bytes; an all-zero reply address gives the single path
 * byte 0x00.
 * @return the number of bytes stored at `out` (at most 12)
 */
ORWIN_API size_t reply_path(const rmap_hdr &h, uint8_t *out);

} // namespace orw::spacewire::rmap

#endif // ORWIN_RMAP_FORMATS_HPP
