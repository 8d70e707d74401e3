// SPDX-License-Identifier: MIT
// pcap::capture: packet records per link (joined, split at the snap length,
// time-stamped from the unit's timetags or the host clock) and event records.
#include "Orwin_Pcap.hpp"

#include <algorithm>
#include <cstring>

namespace pcap {

unsigned capture::record_link() const
{
    // A selection names links 0..63; anything else would index past the buffers.
    return rx_link < static_cast<unsigned>(links) ? rx_link : 0;
}

orw::timestamp &capture::link_timestamp(unsigned k)
{
    // Timetags are kept for fewer links than a selection can name.
    return k < static_cast<unsigned>(max_timestamps) ? timestamps[k] : untimed;
}

void capture::host_time(pcap_pkthdr &h) const
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t s = static_cast<int64_t>(now.tv_sec) + clock_offset.tv_sec;
    int64_t ns = static_cast<int64_t>(now.tv_nsec) + clock_offset.tv_nsec;
    if (ns >= 1000000000) {
        ns -= 1000000000;
        s += 1;
    }
    h.tv_sec = s;
    h.tv_nsec = ns;
}

void capture::stamp(pcap_pkthdr &h, const orw::timestamp &ts)
{
    constexpr int64_t ns_per_s = 1000000000;
    if (live) {
        // The host clock at arrival; a timetag only while it is fresh, so
        // that one from long ago never dates a packet.
        host_time(h);
        if (ts.active && ts.time != 0) {
            const int64_t gap = (static_cast<int64_t>(ts.time) - h.tv_sec) * ns_per_s +
                                (static_cast<int64_t>(ts.ns) - h.tv_nsec);
            if (gap > -fresh_timetag_ns && gap < fresh_timetag_ns) {
                h.tv_sec = static_cast<int64_t>(ts.time);
                h.tv_nsec = static_cast<int64_t>(ts.ns);
            }
        }
    } else if (ts.time != 0) {
        // A recording dates its records itself: the link's last timetag.
        h.tv_sec = static_cast<int64_t>(ts.time);
        h.tv_nsec = static_cast<int64_t>(ts.ns);
    } else {
        h.tv_sec = static_cast<int64_t>(starttime); // its start, or 0 when it has none
        h.tv_nsec = 0;
    }
}

void capture::in_order(pcap_pkthdr &h)
{
    // Readers expect a file's records in time order; a joined packet is
    // written at its end, after records of other links begun later.
    if (h.tv_sec < last_stamp.tv_sec || (h.tv_sec == last_stamp.tv_sec && h.tv_nsec < last_stamp.tv_nsec)) {
        h.tv_sec = last_stamp.tv_sec;
        h.tv_nsec = last_stamp.tv_nsec;
    }
    last_stamp.tv_sec = h.tv_sec;
    last_stamp.tv_nsec = h.tv_nsec;
}

void capture::start_record(unsigned k, uint8_t type)
{
    pcap_pkthdr &h = heads[k];
    orw::timestamp &ts = link_timestamp(k);
    stamp(h, ts);
    ts.active = false;
    if (!lnkpkt[k])
        lnkpkt[k].reset(new uint8_t[pkt_data_size]); // links above 8 are rare
    uint8_t *rec = lnkpkt[k].get();
    rec[header_size] = static_cast<uint8_t>(k);
    rec[header_size + 1] = type;
    h.caplen = h.len = 2;
    lnksz[k] = body_offset;
}

void capture::record_lost()
{
    if (lost_records++ == 0)
        ORW_PCAP_TRACE(1, this, "error %d writing to '%s': records are being lost", errno, filename.c_str());
}

void capture::save(pcap_pkthdr &h, const uint8_t *body)
{
    in_order(h);
    if (pcap_save_data(file, pipe, &h, body)) {
        records.fetch_add(1, std::memory_order_relaxed);
        currentsize += header_size + h.caplen;
    } else
        record_lost();
}

void capture::save_packet(int link)
{
    if (link < 0 || link >= links)
        return;
    const unsigned k = static_cast<unsigned>(link);
    if (lnksz[k] > 0 && file) {
        // The stored header goes in front of the body: one write per record.
        uint8_t *rec = lnkpkt[k].get();
        pcap_pkthdr &h = heads[k];
        in_order(h);
        const pcap_sf_pkthdr sf = {static_cast<int32_t>(h.tv_sec), static_cast<int32_t>(h.tv_nsec), h.caplen,
                                   h.len};
        std::memcpy(rec, &sf, sizeof sf);
        if (std::fwrite(rec, header_size + h.caplen, 1, file) == 1) {
            records.fetch_add(1, std::memory_order_relaxed);
            currentsize += header_size + h.caplen;
        } else {
            record_lost();
        }
    } else if (lnksz[k] > 0 && pipe) {
        save(heads[k], lnkpkt[k].get() + header_size);
    }
    lnksz[k] = 0;
}

void capture::write_packet(const uint8_t *data, size_t size, uint8_t type)
{
    const unsigned k = record_link();
    orw::timestamp &ts = link_timestamp(k);
    for (;;) {
        if (lnksz[k] == 0) {
            start_record(k, type);
        } else if (!(options & AGGREGATE_PACKETS)) {
            save_packet(static_cast<int>(k));
            start_record(k, type);
        } else if (type > record_eop) {
            save_packet(static_cast<int>(k));
            ts.active = false;
            start_record(k, type);
        } else if (ts.active) {
            // A timetag inside the packet: the timestamp options start a new
            // record there, which the timetag dates (and uses up).
            if ((options & RECORD_TIMESTAMPS) || ((options & RECORD_EOP_TIMESTAMPS) && type != record_part)) {
                save_packet(static_cast<int>(k));
                start_record(k, type);
            } else {
                ts.active = false;
            }
        }
        uint8_t *rec = lnkpkt[k].get();
        const size_t n = std::min(size, pkt_data_size - lnksz[k]);
        if (n > 0)
            std::memcpy(rec + lnksz[k], data, n);
        heads[k].caplen += static_cast<uint32_t>(n);
        heads[k].len = heads[k].caplen;
        lnksz[k] += n;
        data += n;
        size -= n;
        if (size > 0) {
            // A full record: it continues in the next one.
            rec[header_size + 1] = record_part;
            save_packet(static_cast<int>(k));
            continue;
        }
        if (type != record_part) {
            rec[header_size + 1] = type;
            ORW_PCAP_TRACE(8, this, "completed frame");
            save_packet(static_cast<int>(k));
        }
        return;
    }
}

// ---- Event records --------------------------------------------------------------------

void capture::event_record(const uint8_t *body, uint32_t n)
{
    // The clock of the packet records; a fresh timetag is not used up here:
    // the packet record that follows keeps it too.
    pcap_pkthdr h;
    stamp(h, link_timestamp(record_link()));
    h.caplen = h.len = n;
    if (file || pipe)
        save(h, body);
}

void capture::error_code(int code)
{
    const uint8_t body[] = {static_cast<uint8_t>(record_link()), static_cast<uint8_t>(code)};
    event_record(body, sizeof body);
}

void capture::data_tag(int type, uint8_t data)
{
    const uint8_t body[] = {static_cast<uint8_t>(record_link()), static_cast<uint8_t>(type), data};
    event_record(body, sizeof body);
}

} // namespace pcap
