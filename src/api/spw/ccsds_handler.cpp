// SPDX-License-Identifier: MIT
// Receiving CCSDS packets parsed: the primary header decoded and the data
// field after it handed on with it.
#include "Orwin.hpp"
#include "hex_preview.hpp"

#include <algorithm>
#include <cstdio>

namespace orw {
namespace spacewire {
namespace ccsds {

void handler::reset()
{
    transfer_handler::reset();
    hdr = primary_header();
}

transfer_handler::step handler::current() const
{
    switch (status) {
    case ccsdsresv:
        return transfer_reserved;
    case ccsdsapplication:
        return transfer_application;
    case ccsdsheader:
        return packet_header;
    case ccsdsdata:
        return packet_data;
    default:
        return dropping;
    }
}

void handler::enter(step s)
{
    static constexpr state states[] = {ccsdsresv, ccsdsapplication, ccsdsheader, ccsdsdata, ccsdserror};
    status = states[s];
}

void handler::deliver()
{
    // Only bytes that arrived are handed on, never what an earlier packet
    // left in the buffer beyond them.
    hdr = decode_primary(data, std::min(sz, primary_header_size));
    size_t after_header = sz > primary_header_size ? sz - primary_header_size : 0;
    uint32_t field = static_cast<uint32_t>(std::min<size_t>(hdr.sz, after_header));
    unsigned char *field_data = data ? data + primary_header_size : nullptr;
    request(reserved, applicationid, data, static_cast<uint32_t>(sz), hdr, nullptr, field_data, field);
}

void handler::request(uint8_t reserved_, uint8_t application, unsigned char *, uint32_t, primary_header &h,
                      secondary_header *, unsigned char *d, uint32_t n)
{
    ORW_SPW_TRACE(2, this, "reserved %02x application %02x  size %d", reserved_, application,
                  static_cast<int>(n));
    std::printf("server->ccsds reserved %02x application %02x\n", reserved_, application);
    std::printf("              version %d type %d sechdr %d apid %d sf %d sq %d sz %d\n", h.version,
                h.type ? 1 : 0, h.sechdr ? 1 : 0, h.apid, h.seqfl, h.seqcnt, static_cast<int>(h.sz));
    std::printf("              size %d %s\n", static_cast<int>(n), hex_preview(d, n).c_str());
    std::fflush(stdout);
}

} // namespace ccsds
} // namespace spacewire
} // namespace orw
