// SPDX-License-Identifier: MIT
// The CCSDS space packet's primary header and its 16-bit word sum.
#include "Orwin.hpp"

namespace orw {
namespace spacewire {
namespace ccsds {

primary_header decode_primary(const unsigned char *b, size_t n)
{
    primary_header h;
    if (n >= 1) {
        h.version = static_cast<uint8_t>(b[0] >> 5);
        h.type = (b[0] & 0x10) != 0;
        h.sechdr = (b[0] & 0x08) != 0;
        h.apid = static_cast<uint16_t>((b[0] & 0x07) << 8);
    }
    if (n >= 2)
        h.apid = static_cast<uint16_t>(h.apid | b[1]);
    if (n >= 3) {
        h.seqfl = static_cast<uint8_t>(b[2] >> 6);
        h.seqcnt = static_cast<uint16_t>((b[2] & 0x3F) << 8);
    }
    if (n >= 4)
        h.seqcnt = static_cast<uint16_t>(h.seqcnt | b[3]);
    if (n >= 6)
        h.sz = (static_cast<uint32_t>(b[4]) << 8 | b[5]) + 1;
    return h;
}

void encode_primary(unsigned char *b, uint8_t version, bool type, uint16_t apid, uint8_t seqfl,
                    uint16_t seqcnt)
{
    b[0] = static_cast<unsigned char>((version << 5) | (type ? 0x10 : 0) | ((apid >> 8) & 0x07));
    b[1] = static_cast<unsigned char>(apid & 0xFF);
    b[2] = static_cast<unsigned char>((seqfl << 6) | ((seqcnt >> 8) & 0x3F));
    b[3] = static_cast<unsigned char>(seqcnt & 0xFF);
}

uint16_t add_words(uint16_t sum, const unsigned char *b, size_t n)
{
    uint32_t s = sum;
    size_t i = 0;
    for (; i + 1 < n; i += 2)
        s += static_cast<uint32_t>(b[i]) << 8 | b[i + 1];
    if (i < n)
        s += static_cast<uint32_t>(b[i]) << 8;
    // Any wrap of the 32-bit total is a multiple of 2^16: the low half is the sum.
    return static_cast<uint16_t>(s);
}

} // namespace ccsds
} // namespace spacewire
} // namespace orw
