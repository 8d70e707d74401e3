// SPDX-License-Identifier: MIT
// device_t's CCSDS and SpW-CCSDS operations: its own sending sides, with the
// device itself as the target.
#include "Orwin.hpp"

namespace orw {
namespace spacewire {

void device_t::ccsds_header(uint8_t version, bool type, uint16_t apid, uint8_t seqfl, uint16_t seqcnt)
{
    ccsds.header(version, type, apid, seqfl, seqcnt);
}

void device_t::ccsds_secondary_header(uint32_t time, uint8_t fine, uint8_t timeid, bool checkword, uint8_t r1,
                                      uint8_t pt, uint8_t r2, uint16_t sapid, uint8_t r3, uint8_t tid)
{
    ccsds.secondary_header(time, fine, timeid, checkword, r1, pt, r2, sapid, r3, tid);
}

void device_t::ccsds_user_data(const unsigned char *data, size_t sz)
{
    ccsds.user_data(data, sz);
}

void device_t::ccsds_send(uint8_t application, uint8_t reserved)
{
    ccsds.send(this, application, reserved);
}

void device_t::spwccsds_send(uint8_t application, uint8_t reserved, const unsigned char *data, size_t sz)
{
    spwccsds.send(this, application, reserved, data, sz);
}

} // namespace spacewire
} // namespace orw
