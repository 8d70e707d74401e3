// SPDX-License-Identifier: MIT
// SpaceWire CCSDS packet transfer of packets the application built: the
// transfer header and the packet as given, and a handler that receives them
// unparsed.
#include "ccsds_transfer.hpp"

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

void handler::start(uint8_t sla_, uint8_t pid_)
{
    sla = sla_;
    pid = pid_;
    reset();
}

void handler::reset()
{
    ORW_SPW_TRACE(8, this, "resetting link");
    status = spwccsdsresv;
    sz = 0;
}

bool handler::body(unsigned char *d, size_t n, int terminator)
{
    ORW_SPW_TRACE(8, this, "read packet of size %zu terminator %s", n, Orwin_pkttype_to_str(terminator));
    if (terminator == connection::EEP) {
        ORW_SPW_TRACE(8, this, "EEP received so resetting link");
        reset();
        return false;
    }
    size_t i = 0;
    while (i < n) {
        switch (status) {
        case spwccsdsresv:
            reserved = d[i++];
            status = spwccsdsapplication;
            break;
        case spwccsdsapplication:
            applicationid = d[i++];
            status = spwccsdsdata;
            break;
        case spwccsdsdata:
            if (!ccsds_transfer::gather(*this, sz, d + i, n - i, dropped)) {
                status = spwccsdserror;
                return false;
            }
            i = n;
            break;
        case spwccsdserror:
            ORW_SPW_TRACE(8, this, "dropping traffic as in error state");
            if (terminator == connection::EOP)
                reset();
            return false;
        }
    }
    return true;
}

void handler::eop(int)
{
    if (status == spwccsdserror) {
        reset();
        return;
    }
    request(reserved, applicationid, data, static_cast<uint32_t>(sz));
}

void handler::request(uint8_t reserved_, uint8_t application, unsigned char *d, uint32_t n)
{
    ORW_SPW_TRACE(2, this, "reserved %02x application %02x  size %d", reserved_, application, static_cast<int>(n));
    std::printf("server->ccsds reserved %02x application %02x size %d %s\n", reserved_, application,
                static_cast<int>(n), ccsds_transfer::first_bytes(d, n).c_str());
    std::fflush(stdout);
}

} // namespace spwccsds
} // namespace spacewire
} // namespace orw
