// SPDX-License-Identifier: MIT
#include "nodes.hpp"

#include <algorithm>
#include <utility>

namespace orw::unitsim {

namespace {

constexpr uint8_t first_logical_address = 0x20;
// Destination logical address, protocol identifier, source logical address.
constexpr size_t source_address_index = 2;

} // namespace

std::vector<uint8_t> strip_path(const std::vector<uint8_t> &packet)
{
    auto first =
        std::find_if(packet.begin(), packet.end(), [](uint8_t b) { return b >= first_logical_address; });
    return std::vector<uint8_t>(first, packet.end());
}

bool node_reply(node_kind kind, const std::vector<uint8_t> &arrived, bool eep, std::vector<uint8_t> &reply)
{
    switch (kind) {
    case node_kind::echo:
        // A node drops a packet that ended in error, as SpaceWire nodes do.
        if (eep || arrived.empty())
            return false;
        reply = arrived;
        if (reply.size() > source_address_index)
            std::swap(reply[0], reply[source_address_index]);
        return true;
    case node_kind::ccsds:
        return false;
    }
    return false;
}

} // namespace orw::unitsim
