// SPDX-License-Identifier: MIT
// The CCSDS space packet format as a node at the end of a SpaceWire link
// sees it: encoding packets to send and decoding those received. No I/O.
#pragma once

#include "orwin_unitsim.hpp"

#include <cstdint>
#include <vector>

namespace orw::unitsim {

/// The SpaceWire packet carrying `p`: logical address, protocol 2, the two
/// transfer bytes, primary header, secondary header, user data and, when
/// the secondary header flags it, the checksum.
std::vector<uint8_t> encode_ccsds(const ccsds_packet &p);

/// Decodes a SpaceWire packet that reached the node (its path consumed); a
/// malformed packet comes back with `well_formed` false and whatever fields
/// could be read.
ccsds_packet decode_ccsds(const std::vector<uint8_t> &spw);

/// Wrap-around sum of big-endian 16-bit words; an odd last byte is the high
/// byte of its word.
uint16_t word_sum(uint16_t sum, const uint8_t *b, size_t n);

} // namespace orw::unitsim
