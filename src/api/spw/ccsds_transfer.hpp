// SPDX-License-Identifier: MIT
// What the CCSDS and SpW-CCSDS sides share: the transfer header ahead of a
// space packet on the link, and gathering a received packet into an
// instance buffer that must never be overrun.
#pragma once

#include "Orwin.hpp"

#include <string>

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

/**
 * Append `n` bytes to the instance buffer holding `sz` bytes. When they do
 * not fit (or the instance has no buffer), nothing is written, `dropped` is
 * counted and false returned.
 */
bool gather(protocol_instance &pi, size_t &sz, const unsigned char *d, size_t n, std::atomic<uint64_t> &dropped);

/** " %02x" for each of the first 16 bytes at most, as the default printers show them. */
std::string first_bytes(const unsigned char *d, size_t n);

} // namespace ccsds_transfer
} // namespace spacewire
} // namespace orw
