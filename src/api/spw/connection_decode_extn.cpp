// SPDX-License-Identifier: MIT
// orw::connection: decoding of the unit's extensions (events, link
// selections, timetags, time-codes, module announcements, dates and the
// recording header).
#include "Orwin.hpp"

#include <cstring>

namespace orw {

namespace {

// Bytes an extension with command byte x carries, command included.
inline int extension_size(unsigned x) { return x >= 0x80 ? static_cast<int>(x & 0x0F) + 1 : 1; }

inline uint64_t big_endian(const unsigned char *b, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | b[i];
    return v;
}

// The 59-bit count of a timetag extension, for a connection without a handle.
inline uint64_t timetag_count(const unsigned char *b) { return big_endian(b + 1, 8) & 0x07FFFFFFFFFFFFFFull; }

} // namespace

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
    when.tm_year = static_cast<int>(b[1] * 256 + b[2]) - 1900;
    when.tm_mon = b[3] - 1;
    when.tm_mday = b[4];
    when.tm_hour = b[5];
    when.tm_min = b[6];
    when.tm_sec = b[7];
    when.tm_isdst = b[8];
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
    if (b[1] != 0)
        return true; // a header version this library does not know
    if (device)
        Orwin_system_type(device, b[2]);
    reported_version(0, b[2]);
    time_t t = static_cast<time_t>(big_endian(b + 3, 8));
    uint32_t ns = static_cast<uint32_t>(big_endian(b + 11, 4));
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
    if (held == 0 || static_cast<int>(held) != extension_size(b[0]))
        return unknown_extn_data(data_, length_, complete_, data_buffer_position_);

    if (b[0] >= 0x40 && b[0] <= 0x7F) {
        // Every link number a selection can carry, also above 8.
        rx_link = b[0] - 0x40u;
        link_selected(static_cast<int>(rx_link));
        // The read returns so its caller sees the new link before more data.
        return 0;
    }
    portstatus *port = rx_port();
    switch (b[0]) {
    case 0x00:
        return received_fct();
    case 0x04:
        return received_esc_fct();
    case 0x05:
    case 0x06:
    case 0x07:
        status.eecs.total++;
        if (port)
            port->eecs.total++;
        return b[0] == 0x05 ? esc_eep() : b[0] == 0x06 ? esc_eop() : esc_esc();
    case 0x08:
        status.timeout.total++;
        if (port)
            port->timeout.total++;
        return link_timeout();
    case 0x09:
        status.parity.total++;
        if (port)
            port->parity.total++;
        return parity_error();
    case 0x0A:
        status.error1.total++;
        if (port)
            port->error1.total++;
        return perror1();
    case 0x0B:
        status.error2.total++;
        if (port)
            port->error2.total++;
        return perror2();
    case 0x13:
        return error_event();
    case 0x14:
        status.missed.total++;
        if (port)
            port->missed.total++;
        return missing_data();
    case 0x81:
        uncertainty = b[1];
        return timetag_uncertainty(b[1]);
    case 0x82:
        if (rx_link < static_cast<unsigned>(max_timestamps) && timestamps[rx_link].present) {
            timestamp &ts = timestamps[rx_link];
            ts.raw += static_cast<uint64_t>(b[1]) * 256 + b[2];
            compute_time(ts.raw);
            timetag(ts.raw);
        }
        return 1;
    case 0x88: {
        uint64_t count = device ? Orwin_extract_timetag_ns(device, extn_data_buffer) : timetag_count(b);
        if (rx_link < static_cast<unsigned>(max_timestamps)) {
            timestamps[rx_link].present = true;
            timestamps[rx_link].raw = count;
        }
        compute_time(count);
        timetag(count);
        return 1;
    }
    case 0x91:
        if (port)
            port->timecode = b[1];
        return timecode(b[1], b[1] >> 7, (b[1] >> 6) & 1, b[1] & 0x3F);
    case 0x92:
        if (device)
            Orwin_set_slot(device, b[1], b[2]);
        return 1;
    case 0x98: {
        uint64_t count = device ? Orwin_extract_timetag_ns(device, extn_data_buffer) : timetag_count(b);
        compute_time(count);
        timezero(static_cast<double>(count));
        return 1;
    }
    case 0xC8:
        return decode_date(b);
    case 0xCE:
        return decode_header(b);
    default:
        return unknown_extn_data(data_, length_, complete_, data_buffer_position_);
    }
}

} // namespace orw
