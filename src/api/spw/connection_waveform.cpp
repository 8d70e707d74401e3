// SPDX-License-Identifier: MIT
// orw::connection: the error-waveform record (a 5-byte RAM-I/O reply head
// followed by 2,070 bytes read from the waveform buffer) and its cause text.
#include "Orwin.hpp"

#include "../orw_wire_format.hpp"

#include <climits>
#include <cstdio>

namespace orw {

namespace {

namespace record = wire::waveform_record;
static_assert(connection::waveform_record_size == record::size, "waveform record size");

// Offsets in the record, reply head included.
constexpr size_t port_offset = wire::ram_reply::port;
constexpr size_t event_offset = record::header + record::event;
constexpr size_t unit_offset = record::header + record::unit;
constexpr size_t erridx_offset = record::header + record::erridx;

} // namespace

void connection::waveform_cause(unsigned event_byte, char *cause, size_t size)
{
    if (!cause || size == 0)
        return;
    unsigned event = record::event_code(event_byte);
    unsigned ew_port = record::event_port(event_byte);
    const char *name = "";
    char place[32] = "";
    if (ew_port >= 1 && ew_port <= record::last_link_port) {
        name = record::event_names[event];
        std::snprintf(place, sizeof place, " on port %u", ew_port);
    } else if (ew_port == 0) {
        std::snprintf(place, sizeof place, "%s", record::barrier_place);
    } else if (ew_port - record::first_sma_port < 4) {
        std::snprintf(place, sizeof place, "%s", record::sma_places[ew_port - record::first_sma_port]);
    }
    std::snprintf(cause, size, "%s%s", name, place);
}

bool connection::raw_waveform_data(unsigned char *special_, size_t sz_)
{
    // A truncated or oversized record would be read out of place or beyond
    // its end; hand it on undecoded.
    if (!special_ || sz_ != waveform_record_size) {
        int n = sz_ > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(sz_);
        return unknown_special_data(special_, n, 1, n);
    }
    int port = special_[port_offset];
    unsigned event_byte = special_[event_offset];
    int unit = static_cast<int>(wire::get_be16(special_ + unit_offset));
    int erridx = static_cast<int>(wire::get_be16(special_ + erridx_offset));
    char cause[256];
    waveform_cause(event_byte, cause, sizeof cause);
    ORW_SPW_TRACE(4, this, "waveform %d from unit %d port %d: %s", erridx, unit, port, cause);
    return waveform_data(erridx, unit, port, static_cast<int>(record::event_port(event_byte)),
                         static_cast<int>(record::event_code(event_byte)), cause, special_, sz_);
}

} // namespace orw
