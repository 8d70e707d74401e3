// SPDX-License-Identifier: MIT
// The transfer header of CCSDS packets on SpaceWire.
#include "ccsds_transfer.hpp"

namespace orw {
namespace spacewire {
namespace ccsds_transfer {

prefix make_prefix(device_t *device, uint8_t application, uint8_t reserved)
{
    prefix p;
    uint8_t ldest = 0;
    device->dest(p.path, p.pathsz, ldest);
    // Leading zero path bytes would address the first router's own port.
    while (p.pathsz > 0 && p.path[0] == 0) {
        ++p.path;
        --p.pathsz;
    }
    if (p.pathsz)
        ORW_SPW_TRACE(8, device, "adding %zu bytes of path addressing", p.pathsz);
    p.head[0] = ldest;
    p.head[1] = ccsds::protocol_id;
    p.head[2] = reserved;
    p.head[3] = application;
    p.headsz = 4;
    return p;
}

void write_prefix(device_t *device, const prefix &p, uint32_t flags)
{
    ORW_SPW_TRACE(4, device, "sending ccsds header of %zu bytes", p.pathsz + p.headsz);
    if (p.pathsz)
        device->write(p.path, p.pathsz, connection::INCOMPLETE);
    device->write(p.head, p.headsz, flags);
}

} // namespace ccsds_transfer
} // namespace spacewire
} // namespace orw
