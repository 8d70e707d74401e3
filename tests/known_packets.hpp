// SPDX-License-Identifier: MIT
// Reference SpaceWire packets with every byte named, shared by the pcap
// tests and the dissector tests: RMAP commands and replies with their CRCs,
// a CCSDS packet transfer, and the 8-bit RMAP CRC computed bit by bit (an
// independent form of the table the protocol code uses).
#ifndef ORWIN_TESTS_KNOWN_PACKETS_HPP
#define ORWIN_TESTS_KNOWN_PACKETS_HPP

#include <cstdint>
#include <vector>

namespace test {

inline uint8_t rmap_crc(const std::vector<uint8_t> &bytes, size_t from = 0, size_t to = SIZE_MAX)
{
    uint8_t c = 0;
    for (size_t i = from; i < bytes.size() && i < to; ++i) {
        c ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? static_cast<uint8_t>((c >> 1) ^ 0xE0) : static_cast<uint8_t>(c >> 1);
    }
    return c;
}

/** Path byte 3, then an RMAP write command (reply requested, increment)
 *  to logical address 0xFE, key 0x20, from 0x67, TID 5, address 0x1000,
 *  four data bytes 01 02 03 04. */
inline std::vector<uint8_t> rmap_write_command()
{
    std::vector<uint8_t> p = {
        0x03,                   // path address
        0xFE,                   // target logical address
        0x01,                   // protocol identifier: RMAP
        0x6C,                   // command, write, reply, increment, no reply address
        0x20,                   // key
        0x67,                   // initiator logical address
        0x00, 0x05,             // transaction identifier
        0x00,                   // extended address
        0x00, 0x00, 0x10, 0x00, // address
        0x00, 0x00, 0x04,       // data length
    };
    p.push_back(rmap_crc(p, 1)); // header CRC from the logical address
    const std::vector<uint8_t> data = {0x01, 0x02, 0x03, 0x04};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(rmap_crc(data));
    return p;
}

/** The write reply to rmap_write_command(): status 0. */
inline std::vector<uint8_t> rmap_write_reply()
{
    std::vector<uint8_t> p = {
        0x67,       // initiator logical address
        0x01,       // protocol identifier
        0x2C,       // reply, write, reply, increment
        0x00,       // status
        0xFE,       // target logical address
        0x00, 0x05, // transaction identifier
    };
    p.push_back(rmap_crc(p));
    return p;
}

/** A read reply of three bytes, TID 0x1234, whose data CRC is wrong. */
inline std::vector<uint8_t> rmap_read_reply_bad_data_crc()
{
    std::vector<uint8_t> p = {
        0x67,             // initiator logical address
        0x01,             // protocol identifier
        0x0C,             // reply, read, reply, increment
        0x00,             // status
        0xFE,             // target logical address
        0x12, 0x34,       // transaction identifier
        0x00,             // reserved
        0x00, 0x00, 0x03, // data length
    };
    p.push_back(rmap_crc(p));
    const std::vector<uint8_t> data = {0xAA, 0xBB, 0xCC};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(static_cast<uint8_t>(rmap_crc(data) ^ 0x5A));
    return p;
}

/** CCSDS packet transfer to 0x20: telecommand, APID 42, unsegmented,
 *  sequence count 7, four data octets. */
inline std::vector<uint8_t> ccsds_packet()
{
    return {
        0x20,       // target logical address
        0x02,       // protocol identifier: CCSDS packet transfer
        0x00,       // reserved
        0x01,       // user application
        0x18, 0x2A, // version 0, telecommand, secondary header, APID 42
        0xC0, 0x07, // unsegmented, sequence count 7
        0x00, 0x03, // data length - 1
        0x09, 0x08, 0x07, 0x06,
    };
}

} // namespace test

#endif // ORWIN_TESTS_KNOWN_PACKETS_HPP
