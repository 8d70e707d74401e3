// SPDX-License-Identifier: MIT
// Orwin_RMAP.hpp - the RMAP handler of a link: parses commands and replies
// fed piece by piece, delivers replies to their transactions and answers
// commands through overridable target callbacks. Included by Orwin.hpp.
// Orwin.hpp includes this header where its layers need it; included on its
// own, it comes in the same way.
#include "Orwin.hpp"

#ifndef ORWIN_RMAP_HPP
#define ORWIN_RMAP_HPP

#include "Orwin_Export.h"

#include "Orwin_RMAP_formats.hpp"
#include "Orwin_RMAP_initiator.hpp"
#include "Orwin_RMAP_transactions.hpp"
#include "Orwin_SpaceWire_protocol.hpp"

namespace orw::spacewire::rmap {

/**
 * The RMAP protocol instance of one link. The parser never touches the link:
 * it is fed through start(), body() and eop() or eep(), keeps the data field
 * in the instance's 1 MiB buffer (a longer command is read to its end without
 * being kept), and at a CRC-correct end of packet either completes the
 * matching transaction (a reply) or calls the target callbacks and sends the
 * reply (a command).
 *
 * The base callbacks form a demonstration target: reads give 0, 1, 2, ...
 * with status 0x33, writes status 0x66, read-modify-writes status 0x99.
 * Replies carry the command's instruction in reply form (packet type 00).
 * The reply area is cleared before a read or read-modify-write callback
 * runs. Commands are checked before any callback, and only those asking
 * for a reply are answered; a refused command gets a reply without data:
 * unused command code or reserved packet type, status 2; a damaged write or
 * read-modify-write, status 4 (data CRC), 5 (early EOP), 6 (too much data)
 * or 7 (EEP); a read-modify-write whose data length is not 0, 2, 4, 6 or 8,
 * status 11; a write whose data would not fit the buffer, status 9 when
 * verified, else 10; a read whose reply would not fit, status 10. A read
 * command cut by EEP or followed by more bytes is discarded. A reply to the
 * initiator may carry up to 16 MiB - 1 bytes: the buffer grows for it and
 * returns to its usual size at the next packet.
 */
class ORWIN_API handler : public protocol_instance {
  public:
    handler() = default;

    void start(uint8_t sla, uint8_t pid) override;
    bool body(unsigned char *data, size_t n, int term) override;
    void eop(int rxlink) override;
    void eep() override;
    void reset() override;
    ~handler() override = default;

    // ---- Target callbacks, in slot order; each returns the reply status --------
    /** Read command: reply data goes to `buffer` (`sz` bytes). */
    virtual uint8_t read(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz,
                         uint8_t *buffer);
    /** Write command carrying `sz` bytes at `buffer`. */
    virtual uint8_t write(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz,
                          const uint8_t *buffer);
    /** Read-modify-write of `sz` bytes: `data`, `mask`, and `reply` for the old data. */
    virtual uint8_t readmodifywrite(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr,
                                    uint32_t sz, const uint8_t *data, const uint8_t *mask, uint8_t *reply);
    /** Core forms: use get_data(), get_mask(), set_data(). */
    virtual uint8_t read(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz);
    virtual uint8_t write(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr, uint32_t sz);
    virtual uint8_t readmodifywrite(uint8_t pkt, uint8_t sla, uint8_t key, uint8_t era, uint32_t addr,
                                    uint32_t sz);

    /** Classification of the parsed instruction byte. */
    rmap_command type() const { return classify(hdr.pt); }
    state parser_state() const { return status; }
    const rmap_hdr &header_fields() const { return hdr; }

    // ---- Helpers for the core callbacks ----------------------------------------
    void get_data(uint8_t *dst, size_t n) const;
    void get_mask(uint8_t *dst, size_t n) const;
    void set_data(const uint8_t *src, size_t n);
    bool ack() const { return (hdr.pt & instr_reply) != 0; }
    uint16_t tid() const { return ack() ? hdr.tid : 0; }
    bool auto_increment() const;

  protected:
    /**
     * Send one reply on the handler's link: `header` (reply path first), then
     * `body` (data and its CRC; empty for a write reply), ending with EOP,
     * under the connection's write lock, and flush. Without a connection it
     * does nothing.
     * @throws orw::error when sending or flushing fails
     */
    virtual void send_reply(const uint8_t *header, size_t hsz, const uint8_t *body, size_t bsz);

    crc_calc crc;
    state status = header;
    const uint8_t *mdata = nullptr;
    const uint8_t *mmask = nullptr;
    uint8_t *mreply = nullptr;
    rmap_hdr hdr;

  private:
    void parse_header(const uint8_t *d, size_t n, size_t &i);
    void parse_command(const uint8_t *d, size_t n, size_t &i, bool write, bool with_reply_address);
    void command_byte(size_t index, uint8_t b, bool write);
    void parse_body(const uint8_t *d, size_t n, size_t &i);
    void parse_data_crc(uint8_t b);

    void rmap_reply_eop(int rxlink);
    bool reply_room();
    void end_command(bool eep);
    uint8_t command_refusal(bool eep) const;
    void refuse_command(uint8_t st);
    void damaged_reply();
    void serve_command();
    size_t reply_header(uint8_t *out, uint8_t pt, uint8_t st, bool with_length, uint32_t length) const;
    void send_data_reply(uint8_t pt, uint8_t st, uint8_t *reply, uint32_t length);

    // What was wrong with the data of the command being parsed (status 4 or
    // 6), 0 while nothing is.
    uint8_t data_fault = 0;
    // Size of the receive buffer when it was enlarged for a long reply, else 0.
    size_t room = 0;
};

} // namespace orw::spacewire::rmap

#endif // ORWIN_RMAP_HPP
