// SPDX-License-Identifier: MIT
// Receiving CCSDS packet transfer, for both the parsed and the unparsed
// side: the two transfer bytes, then the space packet gathered in the
// instance buffer, its header first, handed on at the end of the packet.
#include "Orwin.hpp"

#include <algorithm>

namespace orw {
namespace spacewire {
namespace ccsds {

void transfer_handler::start(uint8_t sla_, uint8_t pid_)
{
    sla = sla_;
    pid = pid_;
    reset();
}

void transfer_handler::reset()
{
    ORW_SPW_TRACE(8, this, "resetting link");
    enter(transfer_reserved);
    sz = 0;
}

// The dispatcher ends the packet with eep() as well; telling it here too
// leaves a handler fed by hand just as ready for the next packet.
bool transfer_handler::body(unsigned char *d, size_t n, int terminator)
{
    ORW_SPW_TRACE(8, this, "read packet of size %zu terminator %s", n, Orwin_pkttype_to_str(terminator));
    if (terminator == connection::EEP) {
        eep();
        return false;
    }
    size_t i = 0;
    while (i < n) {
        switch (current()) {
        case transfer_reserved:
            reserved = d[i++];
            ORW_SPW_TRACE(8, this, "reserved id %02x", reserved);
            enter(transfer_application);
            break;
        case transfer_application:
            applicationid = d[i++];
            ORW_SPW_TRACE(8, this, "application id %02x", applicationid);
            enter(header_size ? packet_header : packet_data);
            break;
        case packet_header: {
            size_t take = std::min(n - i, header_size - sz);
            if (!gather(d + i, take))
                return false;
            i += take;
            if (sz == header_size)
                enter(packet_data);
            break;
        }
        case packet_data:
            // The declared length is not enforced: whatever arrives is kept.
            if (!gather(d + i, n - i))
                return false;
            i = n;
            break;
        case dropping:
            ORW_SPW_TRACE(8, this, "dropping traffic as in error state");
            return false;
        }
    }
    return true;
}

bool transfer_handler::gather(const unsigned char *d, size_t n)
{
    if (data && n <= packet_buffer_size - sz) {
        std::copy(d, d + n, data + sz);
        sz += n;
        return true;
    }
    dropped.fetch_add(1, std::memory_order_relaxed);
    ORW_SPW_TRACE(1, this, "ERROR packet of more than %zu bytes dropped on link %d", sz + n, linkno);
    enter(dropping);
    return false;
}

void transfer_handler::eop(int)
{
    if (current() == dropping) {
        // Dropped and counted when it did not fit; the next packet starts afresh.
        reset();
        return;
    }
    ORW_SPW_TRACE(8, this, "calling handler reserved %02x and application id %02x with %zu bytes of data",
                  reserved, applicationid, sz);
    deliver();
}

void transfer_handler::eep()
{
    ORW_SPW_TRACE(8, this, "EEP received so resetting link");
    reset();
}

} // namespace ccsds
} // namespace spacewire
} // namespace orw
