// SPDX-License-Identifier: MIT
// SpaceWire nodes behind the unit's links: what reaches a node once routers
// on the way have consumed the path address, and what the node answers.
#pragma once

#include "orwin_unitsim.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orw::unitsim {

/// Leading bytes below 0x20 are path addresses; each router on the way
/// consumes one, so none is left when the packet reaches the node.
std::vector<uint8_t> strip_path(const std::vector<uint8_t> &packet);

/// The reply of a node of `kind` to a packet that reached it (ended with EOP
/// unless `eep`); false when it sends none.
bool node_reply(node_kind kind, const std::vector<uint8_t> &arrived, bool eep, std::vector<uint8_t> &reply);

/// Packets a node received: counted always, kept when history is kept.
struct node_traffic {
    size_t count = 0;
    std::vector<packet> kept;
};

} // namespace orw::unitsim
