// SPDX-License-Identifier: MIT
// orw::connection: decoding of the unit's extensions (events, link
// selections, timetags, time-codes, module announcements, dates and the
// recording header).
#include "Orwin.hpp"

#include "../orw_wire_format.hpp"

#include <cstring>

namespace orw {

namespace extn = wire::extn;

void connection::set_all_timestamps(time_t t, unsigned long ns)
{
    for (timestamp &ts : timestamps) {
        ts.time = t;
        ts.ns = ns;
    }
}

bool connection::decode_date(const unsigned char *b)
{
    struct tm when = {};
    when.tm_year = static_cast<int>(wire::get_be16(b + wire::date::year)) - 1900;
    when.tm_mon = b[wire::date::month] - 1;
    when.tm_mday = b[wire::date::day];
    when.tm_hour = b[wire::date::hour];
    when.tm_min = b[wire::date::minute];
    when.tm_sec = b[wire::date::second];
    when.tm_isdst = b[wire::date::dst];
    time_t t = mktime(&when);
    if (yeartime == 0) {
        yeartime = starttime = t;
        set_all_timestamps(t, 0);
    }
    startdate(t, 0);
    return true;
}

bool connection::decode_header(const unsigned char *b)
{
    namespace head = wire::recording_header;
    if (b[head::version] != 0)
        return true; // a header version this library does not know
    const unsigned char system_type = b[head::system_type];
    if (device)
        Orwin_system_type(device, system_type);
    reported_version(0, system_type);
    time_t t = static_cast<time_t>(wire::get_be(b + head::seconds, head::seconds_size));
    uint32_t ns = static_cast<uint32_t>(wire::get_be(b + head::nanoseconds, head::nanoseconds_size));
    if (yeartime == 0) {
        yeartime = starttime = t;
        set_all_timestamps(t, ns);
    }
    startdate(t, ns);
    return true;
}

int connection::extn_data(void *data_, int length_, int complete_, int data_buffer_position_)
{
    extn_data_sz = length_ > 0 ? static_cast<size_t>(length_) : 0;
    if (complete_ == 0)
        return 1;

    // A caller may hand its own copy; decoding always works on our buffer.
    size_t held = extn_data_sz < sizeof extn_data_buffer ? extn_data_sz : sizeof extn_data_buffer;
    if (data_ && data_ != extn_data_buffer && held > 0)
        std::memmove(extn_data_buffer, data_, held);

    const unsigned char *b = extn_data_buffer;
    // A short or oversized extension cannot be decoded safely.
    if (held == 0 || static_cast<int>(held) != wire::extension_size(b[0]))
        return unknown_extn_data(data_, length_, complete_, data_buffer_position_);

    if (wire::is_link_select(b[0])) {
        // Every link number a selection can carry, also above 8.
        rx_link = wire::link_of_select(b[0]);
        link_selected(static_cast<int>(rx_link));
        // The read returns so its caller sees the new link before more data.
        return 0;
    }
    portstatus *port = rx_port();
    switch (b[0]) {
    case extn::FCT:
        return received_fct();
    case extn::ESC_FCT:
        return received_esc_fct();
    case extn::ESC_EEP:
    case extn::ESC_EOP:
    case extn::ESC_ESC:
        status.eecs.total++;
        if (port)
            port->eecs.total++;
        return b[0] == extn::ESC_EEP ? esc_eep() : b[0] == extn::ESC_EOP ? esc_eop() : esc_esc();
    case extn::Timeout:
        status.timeout.total++;
        if (port)
            port->timeout.total++;
        return link_timeout();
    case extn::ParityError:
        status.parity.total++;
        if (port)
            port->parity.total++;
        return parity_error();
    case extn::PERROR1:
        status.error1.total++;
        if (port)
            port->error1.total++;
        return perror1();
    case extn::PERROR2:
        status.error2.total++;
        if (port)
            port->error2.total++;
        return perror2();
    case extn::EVENT:
        return error_event();
    case extn::Missing_data:
        status.missed.total++;
        if (port)
            port->missed.total++;
        return missing_data();
    case extn::TimeTag_uncertainty:
        uncertainty = b[1];
        return timetag_uncertainty(b[1]);
    case extn::TimeTag_delta:
        if (rx_link < static_cast<unsigned>(max_timestamps) && timestamps[rx_link].present) {
            timestamp &ts = timestamps[rx_link];
            ts.raw += wire::get_be(b + wire::timetag::increment, wire::timetag::increment_size);
            compute_time(ts.raw);
            timetag(ts.raw);
        }
        return 1;
    case extn::TimeTag: {
        // Without a handle there is no family to ask: the 59-bit count.
        uint64_t count = device ? Orwin_extract_timetag_ns(device, extn_data_buffer) : wire::timetag_count(b);
        if (rx_link < static_cast<unsigned>(max_timestamps)) {
            timestamps[rx_link].present = true;
            timestamps[rx_link].raw = count;
        }
        compute_time(count);
        timetag(count);
        return 1;
    }
    case extn::TimeCode:
        if (port)
            port->timecode = b[1];
        return timecode(b[1], b[1] >> 7, (b[1] >> 6) & 1, b[1] & 0x3F);
    case extn::Module:
        if (device)
            Orwin_set_slot(device, b[wire::module_extn::slot], b[wire::module_extn::type]);
        return 1;
    case extn::TimeZero: {
        uint64_t count = device ? Orwin_extract_timetag_ns(device, extn_data_buffer) : wire::timetag_count(b);
        compute_time(count);
        timezero(static_cast<double>(count));
        return 1;
    }
    case extn::Year:
        return decode_date(b);
    case extn::Header:
        return decode_header(b);
    default:
        return unknown_extn_data(data_, length_, complete_, data_buffer_position_);
    }
}

} // namespace orw
