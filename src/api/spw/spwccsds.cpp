// SPDX-License-Identifier: MIT
// SpaceWire CCSDS packet transfer of packets the application built: the
// transfer header and the packet as given, and a handler that receives them
// unparsed.
#include "ccsds_transfer.hpp"
#include "hex_preview.hpp"

#include <cstdio>

namespace orw {
namespace spacewire {
namespace spwccsds {

void protocol::send(device_t *device, uint8_t application, uint8_t reserved, const unsigned char *d, size_t n)
{
    ccsds_transfer::prefix p = ccsds_transfer::make_prefix(device, application, reserved);
    writelock lock(device);
    ccsds_transfer::write_prefix(device, p, connection::INCOMPLETE);
    ORW_SPW_TRACE(8, device, "sending ccsds data %zu bytes", n);
    device->write(d, n, connection::EOP);
    device->flush();
}

ccsds::transfer_handler::step handler::current() const
{
    switch (status) {
    case spwccsdsresv:
        return transfer_reserved;
    case spwccsdsapplication:
        return transfer_application;
    case spwccsdsdata:
        return packet_data;
    default:
        return dropping;
    }
}

void handler::enter(step s)
{
    // No header step: the whole packet is data.
    static constexpr state states[] = {spwccsdsresv, spwccsdsapplication, spwccsdsdata, spwccsdsdata,
                                       spwccsdserror};
    status = states[s];
}

void handler::deliver()
{
    request(reserved, applicationid, data, static_cast<uint32_t>(sz));
}

void handler::request(uint8_t reserved_, uint8_t application, unsigned char *d, uint32_t n)
{
    ORW_SPW_TRACE(2, this, "reserved %02x application %02x  size %d", reserved_, application,
                  static_cast<int>(n));
    std::printf("server->ccsds reserved %02x application %02x size %d %s\n", reserved_, application,
                static_cast<int>(n), hex_preview(d, n).c_str());
    std::fflush(stdout);
}

} // namespace spwccsds
} // namespace spacewire
} // namespace orw
