// SPDX-License-Identifier: MIT
// Orwin_CCSDS.hpp - CCSDS space packets over SpaceWire (protocol identifier
// 2): the sending side that builds a packet from its fields, the sending side
// for packets the application built itself, and the receiving handlers.
// Included by Orwin_SpaceWire.hpp.
// Orwin.hpp includes this header where its layers need it; included on its
// own, it comes in the same way.
#include "Orwin.hpp"

#ifndef ORWIN_CCSDS_HPP
#define ORWIN_CCSDS_HPP

#include "Orwin_Export.h"

#include "Orwin_SpaceWire_protocol.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orw {
namespace spacewire {

class device_t;

namespace ccsds {

/** Protocol identifier of CCSDS packet transfer on SpaceWire. */
constexpr uint8_t protocol_id = 2;
/** Bytes of a primary header. */
constexpr size_t primary_header_size = 6;
/** Bytes of the secondary header this library builds. */
constexpr size_t secondary_header_size = 10;
/** Largest data field of a space packet (its length field holds octets - 1). */
constexpr size_t max_data_field = 65536;

/** A decoded primary header. */
struct ORWIN_API primary_header {
    uint8_t version = 0; // packet version number, 3 bits
    bool type = false;   // packet type: true for a telecommand
    bool sechdr = false; // a secondary header follows
    uint16_t apid = 0;   // application process identifier, 11 bits
    uint8_t seqfl = 0;   // sequence flags, 2 bits
    uint16_t seqcnt = 0; // sequence count, 14 bits
    uint32_t sz = 0;     // data field octets (the length field + 1)
};

/** Fields of the secondary header this library builds. */
struct ORWIN_API secondary_header {
    uint32_t course = 0; // coarse time
    uint8_t finet = 0;   // fine time
    uint8_t timeid = 0;  // time identifier, 2 bits
    bool checkword = false;
    uint8_t r1 = 0;
    uint8_t pt = 0;     // packet type, 3 bits
    uint8_t r2 = 0;     // 5 bits
    uint16_t sapid = 0; // service application identifier, 10 bits
    uint8_t r3 = 0;
    uint8_t tid = 0;
};

/**
 * Decode the first `n` bytes of a primary header (at most 6 are read);
 * fields whose bytes are missing stay zero.
 */
ORWIN_API primary_header decode_primary(const unsigned char *b, size_t n);
/** The first four bytes of a primary header (the length field is left alone). */
ORWIN_API void encode_primary(unsigned char *b, uint8_t version, bool type, uint16_t apid, uint8_t seqfl,
                              uint16_t seqcnt);
/**
 * Add `n` bytes, taken as big-endian 16-bit words, to the wrap-around sum
 * `sum`; an odd last byte is the high byte of a word whose low byte is zero.
 */
ORWIN_API uint16_t add_words(uint16_t sum, const unsigned char *b, size_t n);

/**
 * Builds and sends CCSDS space packets: header(), then optionally
 * secondary_header() and user_data(), then send(). Also the factory of
 * protocol 2 in the process-wide table. One object keeps one packet under
 * assembly, so it is not to be used from two threads at once.
 */
class ORWIN_API protocol : public protocol_factory {
  public:
    protocol() = default;
    protocol(const protocol &) = delete;
    protocol &operator=(const protocol &) = delete;

    /** A new ccsds::handler, owned by the caller. */
    protocol_instance *new_instance() override;

    /**
     * Start a new packet: forget every piece and fill the primary header.
     * @param version packet version number (3 bits)
     * @param type    packet type bit (true: telecommand)
     * @param apid    application process identifier (11 bits)
     * @param seqfl   sequence flags (2 bits)
     * @param seqcnt  sequence count (14 bits)
     */
    void header(uint8_t version, bool type, uint16_t apid, uint8_t seqfl, uint16_t seqcnt);
    /**
     * Add the 10-byte secondary header and set the primary header's flag for
     * it. With `checkword` set, send() appends the packet's checksum.
     */
    void secondary_header(uint32_t time, uint8_t fine, uint8_t timeid, bool checkword, uint8_t r1, uint8_t pt,
                          uint8_t r2, uint16_t sapid, uint8_t r3, uint8_t tid);
    /**
     * Use `sz` bytes at `data` as the user data. They are not copied and must
     * stay valid until send().
     */
    void user_data(const unsigned char *data, size_t sz);
    /**
     * Send the assembled packet to `device` under its connection's write
     * lock, and flush. A packet with no secondary header and no user data is
     * not sent. The packet is kept and may be sent again.
     * @param application user application byte of the transfer header
     * @param reserved    reserved byte of the transfer header
     * @throws orw::error Error_Request_Too_Large when the data field would pass
     *         65,536 octets (nothing is sent), or a failing write or flush
     */
    void send(device_t *device, uint8_t application, uint8_t reserved);

    /** Octets of the data field send() would declare (0: nothing to send). */
    size_t data_field_size() const;
    /** The checksum of the assembled packet as send() computes it. */
    uint16_t checksum() const;

    const unsigned char *data[5] = {}; // 0 secondary header, 1 user data, 2 checksum
    size_t sz[5] = {};
    unsigned char packet[8] = {}; // primary header (6 bytes used)
    int lastid = -1;
    unsigned char sechdr[secondary_header_size] = {};
    unsigned char csum[2] = {};

  private:
    bool with_checkword() const;
    void fill_length();
};

/**
 * What both receiving sides of CCSDS packet transfer build on: the reserved
 * and application bytes, then the space packet gathered in the instance
 * buffer, the first `header_size` bytes of it as its header, and deliver()
 * at the end of the packet. A packet ended by EEP is dropped; one longer
 * than the 1 MiB buffer is dropped and counted.
 */
class ORWIN_API transfer_handler : public protocol_instance {
  public:
    /** Where the parse of a packet stands. */
    enum step { transfer_reserved, transfer_application, packet_header, packet_data, dropping };

    void start(uint8_t sla, uint8_t pid) override;
    bool body(unsigned char *data, size_t sz, int terminator) override;
    void eop(int link) override;
    void eep() override;
    void reset() override;

    /** Packets dropped because they did not fit the 1 MiB buffer. */
    uint64_t oversized() const { return dropped.load(std::memory_order_relaxed); }

    uint8_t sla = 0;
    uint8_t pid = 0;
    uint8_t reserved = 0;
    uint8_t applicationid = 0;
    size_t sz = 0; // bytes of the space packet in the instance buffer

  protected:
    explicit transfer_handler(size_t header_bytes) : header_size(header_bytes) {}
    /** The step the handler's public state stands at. */
    virtual step current() const = 0;
    /** Move the handler's public state to `s`. */
    virtual void enter(step s) = 0;
    /** A packet ended with EOP and all of it is in the buffer: hand it on. */
    virtual void deliver() = 0;

  private:
    bool gather(const unsigned char *d, size_t n);

    const size_t header_size;
    std::atomic<uint64_t> dropped{0};
};

/**
 * Receives CCSDS packets on a link: the transfer bytes, the primary header
 * and everything after it are gathered in the instance buffer, and
 * request() is called at the end of each packet. Derive and override
 * request() to take the packets; the default prints them.
 */
class ORWIN_API handler : public transfer_handler {
  public:
    enum state { ccsdsresv = 0, ccsdsapplication = 1, ccsdsheader = 2, ccsdserror = 3, ccsdsdata = 4 };

    handler() : transfer_handler(primary_header_size) {}
    void reset() override;

    /**
     * One received packet.
     * @param reserved    reserved byte of the transfer header
     * @param application user application byte
     * @param raw         the space packet as received, primary header first
     * @param rawsz       its size
     * @param hdr         the decoded primary header
     * @param sec         null: the secondary header, when present, starts `data`
     * @param data        the data field, right after the primary header
     * @param sz          its size: the declared size, or less when fewer bytes arrived
     */
    virtual void request(uint8_t reserved, uint8_t application, unsigned char *raw, uint32_t rawsz,
                         primary_header &hdr, secondary_header *sec, unsigned char *data, uint32_t sz);

    state status = ccsdsresv;
    primary_header hdr;

  protected:
    step current() const override;
    void enter(step s) override;
    void deliver() override;
};

} // namespace ccsds

namespace spwccsds {

/** Sends CCSDS space packets that the application built itself. */
class ORWIN_API protocol : public protocol_factory {
  public:
    /**
     * Send the transfer header and the complete space packet `data` to
     * `device` under its connection's write lock, and flush.
     * @throws orw::error for a failing write or flush
     */
    void send(device_t *device, uint8_t application, uint8_t reserved, const unsigned char *data, size_t sz);
};

/**
 * Receives SpaceWire CCSDS transfers unparsed: the two transfer bytes, then
 * the packet, handed to request() at its end. Register it on a link for
 * protocol 2 and override request().
 */
class ORWIN_API handler : public ccsds::transfer_handler {
  public:
    enum state { spwccsdsresv = 0, spwccsdsapplication = 1, spwccsdsdata = 2, spwccsdserror = 3 };

    handler() : transfer_handler(0) {}
    /** One received packet: `data` is the space packet, `sz` its size. The default prints it. */
    virtual void request(uint8_t reserved, uint8_t application, unsigned char *data, uint32_t sz);

    state status = spwccsdsresv;

  protected:
    step current() const override;
    void enter(step s) override;
    void deliver() override;
};

} // namespace spwccsds
} // namespace spacewire
} // namespace orw

#endif // ORWIN_CCSDS_HPP
