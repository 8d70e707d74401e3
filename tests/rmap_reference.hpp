// SPDX-License-Identifier: MIT
// Reference RMAP packets shared by the format, parser, target, simulator and
// fuzz tests: the standard's worked examples (target 0xFE, initiator 0x67,
// address 0xA0000000, 16 bytes) and a few built around the same fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rmap_ref {

using bytes = std::vector<uint8_t>;

// A bit-serial CRC straight from the polynomial, independent of any table,
// continued from `c`.
inline uint8_t serial_crc(const uint8_t *p, size_t n, uint8_t c = 0)
{
    for (size_t i = 0; i < n; ++i)
        for (int bit = 0; bit < 8; ++bit) {
            bool in = ((p[i] >> bit) & 1) != (c & 1);
            c = static_cast<uint8_t>(c >> 1);
            if (in)
                c ^= 0xE0;
        }
    return c;
}

inline uint8_t crc(const bytes &b, size_t from, size_t to)
{
    return serial_crc(b.data() + from, to - from);
}

// The 16 data bytes of the examples, and their data CRC.
inline const bytes example_data = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                   0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
constexpr uint8_t example_data_crc = 0x56;

inline bytes with_data(bytes header)
{
    header.insert(header.end(), example_data.begin(), example_data.end());
    header.push_back(example_data_crc);
    return header;
}

// Write command, incrementing, reply wanted, TID 0.
inline const bytes write_command = with_data({
    0xFE,                   // target logical address
    0x01,                   // protocol identifier
    0x6C,                   // instruction: command, write, reply, increment
    0x00,                   // key
    0x67,                   // initiator logical address
    0x00, 0x00,             // transaction identifier
    0x00,                   // extended address
    0xA0, 0x00, 0x00, 0x00, // address
    0x00, 0x00, 0x10,       // data length 16
    0x9F,                   // header CRC
});

// Its reply: status 0.
inline const bytes write_reply = {
    0x67,       // initiator logical address
    0x01,       // protocol identifier
    0x2C,       // instruction: reply, write, reply, increment
    0x00,       // status
    0xFE,       // target logical address
    0x00, 0x00, // transaction identifier
    0xED,       // header CRC
};

// Read command, incrementing, TID 1, 16 bytes.
inline const bytes read_command = {
    0xFE, 0x01,
    0x4C,                                     // instruction: command, read, reply, increment
    0x00,                                     // key
    0x67,                                     // initiator logical address
    0x00, 0x01,                               // transaction identifier
    0x00,                                     // extended address
    0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, // data length 16
    0xC9,                                     // header CRC
};

// Its reply carrying the example data.
inline const bytes read_reply = with_data({
    0x67, 0x01,
    0x0C,             // instruction: reply, read, reply, increment
    0x00,             // status
    0xFE,             // target logical address
    0x00, 0x01,       // transaction identifier
    0x00,             // reserved
    0x00, 0x00, 0x10, // data length 16
    0x6D,             // header CRC
});

// Read-modify-write command, TID 2, 4 data bytes and 4 mask bytes at
// 0xA0000000 (data length 8).
inline bytes rmw_command()
{
    bytes p = {0xFE, 0x01, 0x5C, 0x00, 0x67, 0x00, 0x02, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08};
    p.push_back(crc(p, 0, p.size()));
    bytes body = {0x11, 0x22, 0x33, 0x44, 0xF0, 0x0F, 0xFF, 0x00}; // data then mask
    p.insert(p.end(), body.begin(), body.end());
    p.push_back(serial_crc(body.data(), body.size()));
    return p;
}

// Read command with reply address 00 00 03 07 (instruction 0x4D), TID 3,
// 4 bytes at 0x1000 with key 0x20.
inline bytes read_command_with_reply_address()
{
    bytes p = {0xFE, 0x01, 0x4D, 0x20, 0x00, 0x00, 0x03, 0x07, 0xFE, 0x00,
               0x03, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04};
    p.push_back(crc(p, 0, p.size()));
    return p;
}

struct named_packet {
    std::string name;
    bytes packet;
};

// Every reference packet, for tests that run over all of them.
inline std::vector<named_packet> all_packets()
{
    return {{"write_command", write_command},
            {"write_reply", write_reply},
            {"read_command", read_command},
            {"read_reply", read_reply},
            {"rmw_command", rmw_command()},
            {"read_command_with_reply_address", read_command_with_reply_address()}};
}

} // namespace rmap_ref

// Concatenation, for building expected packets from their parts.
inline rmap_ref::bytes operator+(rmap_ref::bytes a, const rmap_ref::bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
