// SPDX-License-Identifier: MIT
// RMAP as a SpaceWire node speaks it: a target with its own memory that
// answers commands with the standard's status codes, and the builder and
// checker the simulator's initiator uses. Written from the standard alone and
// free of I/O; it shares nothing with the library.
#pragma once

#include "orwin_unitsim.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orw::unitsim {

/// The RMAP 8-bit CRC (x^8 + x^2 + x + 1, least significant bit first),
/// continued from `crc`.
uint8_t rmap_crc(const uint8_t *data, size_t n, uint8_t crc = 0);

class rmap_node {
  public:
    explicit rmap_node(const rmap_target_config &cfg);

    /// Acts on one packet as it arrives over the link. Returns true when a
    /// reply is due; `reply` then holds it as the node sends it, reply path
    /// bytes first.
    bool handle(const std::vector<uint8_t> &packet, bool eep, std::vector<uint8_t> &reply);

    std::vector<uint8_t> read(uint32_t address, size_t count) const;
    void write(uint32_t address, const std::vector<uint8_t> &bytes);

    rmap_target_config cfg;
    uint64_t commands = 0;

  private:
    bool in_memory(uint8_t era, uint32_t address, uint32_t length, bool increment) const;
    uint8_t &cell(uint32_t address) { return memory_[address - cfg.base_address]; }

    std::vector<uint8_t> memory_;
};

/// The command packet for `r`, starting with its target logical address.
std::vector<uint8_t> build_rmap_command(const rmap_request &r);

/// Checks `packet` (as the client sent it, reply path included) as the
/// reply to `r`; fills everything but `replied`.
rmap_result check_rmap_reply(const rmap_request &r, const std::vector<uint8_t> &packet);

/// The TID of a reply packet sent for `r`; false when `packet` is too short
/// to hold one.
bool rmap_reply_tid(const rmap_request &r, const std::vector<uint8_t> &packet, uint16_t &tid);

} // namespace orw::unitsim
