// SPDX-License-Identifier: MIT
// What the CCSDS and SpW-CCSDS sending sides share: the transfer header
// ahead of a space packet on the link.
#pragma once

#include "Orwin.hpp"

namespace orw {
namespace spacewire {
namespace ccsds_transfer {

/**
 * Bytes ahead of the space packet: the device's path without its leading
 * zero bytes, then `head` (logical address, protocol 2, reserved,
 * application). `head` has room for the primary and secondary headers too,
 * so that one write carries them all.
 */
struct prefix {
    const uint8_t *path = nullptr;
    size_t pathsz = 0;
    unsigned char head[4 + ccsds::primary_header_size + ccsds::secondary_header_size];
    size_t headsz = 0;
};

prefix make_prefix(device_t *device, uint8_t application, uint8_t reserved);

/** Write the prefix's path (when any) and then its head with `flags`. */
void write_prefix(device_t *device, const prefix &p, uint32_t flags);

} // namespace ccsds_transfer
} // namespace spacewire
} // namespace orw
