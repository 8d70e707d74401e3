// SPDX-License-Identifier: MIT
// Receiving CCSDS packets: the transfer bytes, then the primary header
// decoded as it arrives, then the rest of the packet.
#include "ccsds_transfer.hpp"

#include <algorithm>
#include <cstdio>

namespace orw {
namespace spacewire {
namespace ccsds {

void handler::start(uint8_t sla_, uint8_t pid_)
{
    sla = sla_;
    pid = pid_;
    reset();
}

void handler::reset()
{
    ORW_SPW_TRACE(8, this, "resetting link");
    status = ccsdsresv;
    sz = 0;
    hdr = primary_header();
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
        case ccsdsresv:
            reserved = d[i++];
            ORW_SPW_TRACE(8, this, "reserved id %02x", reserved);
            status = ccsdsapplication;
            break;
        case ccsdsapplication:
            applicationid = d[i++];
            ORW_SPW_TRACE(8, this, "application id %02x", applicationid);
            status = ccsdsheader;
            break;
        case ccsdsheader: {
            size_t take = std::min(n - i, primary_header_size - sz);
            if (!ccsds_transfer::gather(*this, sz, d + i, take, dropped)) {
                status = ccsdserror;
                return false;
            }
            i += take;
            hdr = decode_primary(data, sz);
            if (sz == primary_header_size)
                status = ccsdsdata;
            break;
        }
        case ccsdsdata:
            // The declared length is not enforced: whatever arrives is kept.
            if (!ccsds_transfer::gather(*this, sz, d + i, n - i, dropped)) {
                status = ccsdserror;
                return false;
            }
            i = n;
            break;
        case ccsdserror:
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
    if (status == ccsdserror) {
        // Dropped and counted when it did not fit; the next packet starts afresh.
        reset();
        return;
    }
    ORW_SPW_TRACE(8, this, "calling handler reserved %02x and application id %02x with %zu bytes of data", reserved,
                  applicationid, sz);
    // Only bytes that arrived are handed on, never what an earlier packet
    // left in the buffer beyond them.
    size_t after_header = sz > primary_header_size ? sz - primary_header_size : 0;
    uint32_t field = static_cast<uint32_t>(std::min<size_t>(hdr.sz, after_header));
    unsigned char *field_data = data ? data + primary_header_size : nullptr;
    request(reserved, applicationid, data, static_cast<uint32_t>(sz), hdr, nullptr, field_data, field);
}

void handler::request(uint8_t reserved_, uint8_t application, unsigned char *, uint32_t, primary_header &h,
                      secondary_header *, unsigned char *d, uint32_t n)
{
    ORW_SPW_TRACE(2, this, "reserved %02x application %02x  size %d", reserved_, application, static_cast<int>(n));
    std::printf("server->ccsds reserved %02x application %02x\n", reserved_, application);
    std::printf("              version %d type %d sechdr %d apid %d sf %d sq %d sz %d\n", h.version, h.type ? 1 : 0,
                h.sechdr ? 1 : 0, h.apid, h.seqfl, h.seqcnt, static_cast<int>(h.sz));
    std::printf("              size %d %s\n", static_cast<int>(n), ccsds_transfer::first_bytes(d, n).c_str());
    std::fflush(stdout);
}

} // namespace ccsds
} // namespace spacewire
} // namespace orw
