// pcap::capture: packet records per link (joined, split at the snap length,
// time-stamped from the unit's timetags or the host clock) and event records.
#include "Orwin_Pcap.hpp"

#include <algorithm>
#include <cstring>

namespace pcap {

unsigned capture::record_link() const
{
    // Decoding only selects links 1..8; anything else is kept on link 0
    // rather than indexing past the buffers.
    return rx_link < static_cast<unsigned>(links) ? rx_link : 0;
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

void capture::start_record(unsigned k, uint8_t type)
{
    pcap_pkthdr &h = heads[k];
    orw::timestamp &ts = timestamps[k];
    if (ts.time != 0) {
        h.tv_sec = static_cast<int64_t>(ts.time);
        h.tv_nsec = static_cast<int64_t>(ts.ns);
    } else if (live) {
        if (ts.active) {
            h.tv_sec = 0;
            h.tv_nsec = static_cast<int64_t>(ts.ns);
        } else {
            host_time(h);
        }
    } else {
        // A replay gives no time before its link's first timetag.
        h.tv_sec = 0;
        h.tv_nsec = 0;
    }
    ts.active = false;
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

void capture::save(const pcap_pkthdr &h, const uint8_t *body)
{
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
        const pcap_pkthdr &h = heads[k];
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
    orw::timestamp &ts = timestamps[k];
    uint8_t *rec = lnkpkt[k].get();
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
            // record there so that it keeps the unit's time.
            ts.active = false;
            if ((options & RECORD_TIMESTAMPS) || ((options & RECORD_EOP_TIMESTAMPS) && type != record_part)) {
                save_packet(static_cast<int>(k));
                start_record(k, type);
            }
        }
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
    // The link's last timetag when one is fresh (or in a replay), without
    // using it up: the packet record that follows keeps it too.
    pcap_pkthdr h;
    const orw::timestamp &ts = timestamps[record_link()];
    if (ts.active || !live) {
        h.tv_sec = static_cast<int64_t>(ts.time);
        h.tv_nsec = static_cast<int64_t>(ts.ns);
    } else {
        host_time(h);
    }
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
