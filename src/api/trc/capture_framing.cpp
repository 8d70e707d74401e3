// SPDX-License-Identifier: MIT
// orw::trc::capture: a stream the unit cannot have sent (a link it does not
// have, a special packet from a slot it does not have, an extension that
// does not exist, a packet longer than it can send) ends the capture with an
// error that says where, instead of being decoded into bogus packets.
#include "Orwin_Capture.hpp"

#include "OrwinInternal.h"

namespace orw {
namespace trc {

bool capture::framing_broken(const char *what, unsigned value)
{
    // Only the capture thread's reads are judged: queries before it runs
    // handle their own replies.
    if (!capture_thread_running || !device)
        return true;
    ++framing_faults;
    // Bytes the parser has taken so far; the received count starts at all ones.
    const ORW *link = orw_link(device);
    const uint64_t unparsed = orw_rx_unparsed(&link->rx);
    const uint64_t offset = link->total_raw_bytes_received + 1 - unparsed;
    ORW_TRCAPI_TRACE(1, this, "stream framing broken at byte %llu: %s (%u)",
                     static_cast<unsigned long long>(offset), what, value);
    if (!framing_error) {
        framing_error = what;
        framing_where = addr + " at byte " + std::to_string(offset);
    }
    running = false; // a read cut short hands nothing on: the loop sees this
    return false;    // the read stops; the loop ends the capture
}

void capture::link_selected(int link_)
{
    // A recording may not say how many links its unit had.
    if (live && link_ > no_ports)
        framing_broken("stream framing broken: a link the unit does not have", static_cast<unsigned>(link_));
}

int capture::special_data(void *data_, int length_, int complete_, int data_buffer_position_)
{
    const int slots = device ? orw_link(device)->number_of_slots : 0;
    const unsigned char *b = static_cast<const unsigned char *>(data_);
    if (complete_ != 0 && length_ > 0 && b && slots > 0 && b[0] >= slots)
        return framing_broken("stream framing broken: a special packet from a slot the unit does not have",
                              b[0])
                   ? 1
                   : 0;
    return connection::special_data(data_, length_, complete_, data_buffer_position_);
}

bool capture::unknown_extn_data(void *data_, int length_, int complete_, int data_buffer_position_)
{
    const unsigned char *b = static_cast<const unsigned char *>(data_);
    // Anything but a known command means the stream lost its framing.
    if (length_ > 0 && b && !wire::is_known_command(b[0]))
        return framing_broken("stream framing broken: an extension that does not exist", b[0]);
    return connection::unknown_extn_data(data_, length_, complete_, data_buffer_position_);
}

void capture::check_packet_length(size_t n)
{
    const unsigned k = rx_link < max_open_lengths ? rx_link : 0;
    open_length[k] += n;
    if (open_length[k] > longest_packet)
        framing_broken("stream framing broken: a packet longer than the unit can send", rx_link);
    if (read_flags == EOP || read_flags == EEP)
        open_length[k] = 0;
}

void capture::follow_stream_link()
{
    // Queries at start read past link selections of a unit already sending:
    // the stream's own current link is the one its next data belongs to.
    if (device)
        rx_link = static_cast<unsigned>(orw_link(device)->extn_link);
}

void capture::throw_framing_error()
{
    throw orw::error(framing_where, Error_Network_Format_Error, framing_error, 0);
}

} // namespace trc
} // namespace orw
