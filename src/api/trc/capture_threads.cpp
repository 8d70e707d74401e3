// SPDX-License-Identifier: MIT
// orw::trc::capture: the capture thread's read loop, the timer thread, and
// the unit events they answer (link status replies, error events).
#include "Orwin_Capture.hpp"

#include "OrwinInternal.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace orw {
namespace trc {

void capture::capture_thread()
{
    ORW_TRCAPI_TRACE(2, this, "starting capture data");
    try {
        acquire_data();
        ORW_TRCAPI_TRACE(2, this, "capture complete ... shutting down");
        running = false;
    } catch (const orw::error &e) {
        ORW_TRCAPI_TRACE(1, this, "error capturing data %d (%s)", e.get(), e.text());
        // A command the unit could not be sent also means it is gone.
        if (live && e.get() == Error_Network)
            connection_lost = true;
        running = false;
        capture_thread_running = false;
        eaddr = e.name();
        error = e.get() != 0 ? e.get() : Error_Not_Known;
        error_static = e.text();
        errortext = e.text() ? e.text() : "";
        oserr = e.oserr();
        capture_error(error);
    } catch (const std::exception &e) {
        // Anything else (out of memory, a hook's own exception) must not
        // take the process down from this thread: stored like a failure.
        ORW_TRCAPI_TRACE(1, this, "error capturing data (%s)", e.what());
        running = false;
        capture_thread_running = false;
        eaddr = addr;
        error = Error_Not_Known;
        error_static = "capture thread failed";
        errortext = e.what();
        oserr = 0;
        capture_error(error);
    }
}

void capture::acquire_data()
{
    start_recording(filename.c_str(), record_file_size);
    timetag_count = 0;
    currentsize = 0;
    open_packets = 0;
    std::fill(std::begin(open_length), std::end(open_length), 0);
    apply_config();
    follow_stream_link();
    capture_thread_running = true;

    uint8_t *buffer = packet_data.get();
    const size_t size = static_cast<size_t>(packet_data_size);
    try {
        read_loop(buffer, size);
    } catch (...) {
        // A failed capture still finishes its files under their final names.
        capture_thread_running = false;
        try {
            close();
        } catch (const std::exception &e) {
            ORW_TRCAPI_TRACE(1, this, "could not finish the capture files (%s)", e.what());
        }
        throw;
    }
    capture_thread_running = false;
    ORW_TRCAPI_TRACE(2, this, "capture thread finished");
    close();
}

void capture::read_loop(uint8_t *buffer, size_t size)
{
    constexpr int actions = CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA;
    if (live) {
        // Every read is bounded, so a stop is seen within this time whatever
        // the unit does (silent, flooding events, ignoring a half-close).
        int rc = Orwin_set_rx_timeout(device, read_timeout_ms);
        if (rc < 0)
            throw orw::error(addr, rc, Orwin_get_error_text());
    }
    // The shared loop opens the next queued recording by itself: a change
    // in the queue's length shows that the next piece starts a new one.
    size_t recordings_left = filelist.size();
    bool counting = false; // a failure while counting carries its own name
    try {
        read_stream(buffer, size, actions, running, [&](ssize_t n, int type) {
            if (filelist.size() != recordings_left) {
                recordings_left = filelist.size();
                open_packets = 0; // a new recording starts between packets
                std::fill(std::begin(open_length), std::end(open_length), 0);
            }
            read_flags = static_cast<uint32_t>(type);
            counting = true;
            count_piece(buffer, n);
            counting = false;
        });
    } catch (const orw::error &e) {
        if (counting)
            throw;
        if (e.get() == Error_RecFile_Write)
            throw orw::error(currentfile, e.get(), e.text(), e.oserr());
        if (framing_error)
            throw_framing_error();
        connection_lost = live;
        throw;
    }
    if (framing_error)
        throw_framing_error();
    ORW_TRCAPI_TRACE(2, this, "capture thread has been terminated");
    running = false;
}

void capture::count_piece(const uint8_t *buffer, ssize_t n)
{
    if (framing_error)
        throw_framing_error();
    check_packet_length(static_cast<size_t>(n));
    if (framing_error)
        throw_framing_error();
    const uint64_t bytes = static_cast<uint64_t>(n);
    portstatus *link =
        rx_link < static_cast<unsigned>(devstatus::max_links) ? &status.links[rx_link] : nullptr;
    // Rotation sizes count what reached the native file, record headers
    // included; a writer of its own counts its own bytes; without
    // either, the data count.
    if (!counts_own_writes) {
        uint64_t in_file = 0;
        currentsize = orw_record_size_parsed(device, in_file) ? static_cast<size_t>(in_file)
                                                              : currentsize + static_cast<size_t>(n);
    }
    status.bytes.total += bytes;
    if (link)
        link->bytes.total += bytes;
    const uint64_t link_bit = rx_link < 64 ? uint64_t{1} << rx_link : 0;
    if (read_flags == EOP) {
        ++status.eop.total;
        if (link)
            ++link->eop.total;
        open_packets &= ~link_bit;
        rotate_between_packets();
    } else if (read_flags == EEP) {
        open_packets &= ~link_bit;
        rotate_between_packets();
        ++status.eep.total;
        if (link)
            ++link->eep.total;
    } else if (read_flags == PART_EOP_EEP) {
        open_packets |= link_bit;
    }
    acquired_data(buffer, n, static_cast<int>(read_flags));
}

void capture::rotate_between_packets()
{
    // A file cut while another link has a packet open would end with its
    // head and the next would start with its tail: wait until every link is
    // between packets, unless one link keeps a packet open for so long that
    // the file would grow without bound.
    if (record_file_size == 0 || currentsize < record_file_size)
        return;
    if (open_packets != 0) {
        if (currentsize / forced_rotation_factor < record_file_size)
            return;
        ORW_TRCAPI_TRACE(1, this, "rotating with packets open on links %#llx",
                         static_cast<unsigned long long>(open_packets));
    }
    check_file_swap_over();
}

void capture::sleep_tick()
{
    std::unique_lock<std::mutex> guard(tick_lock);
    tick_wake.wait_for(guard, tick_length, [this] { return !running; });
}

int capture::poll_link_status()
{
    std::lock_guard<std::mutex> guard(txlock);
    for (int port = 1; port <= no_ports && running; ++port) {
        int rc = Orwin_request_link_status_port(device, port, 1);
        if (rc < 0)
            return rc;
    }
    return Orwin_flush(device);
}

void capture::capture_timer()
{
    // An interval of 0 would make the loop spin without sleeping: poll once
    // a tick instead.
    const uint32_t interval = reportinginterval > 0 ? reportinginterval : 1;
    uint32_t elapsed = 0;
    while (running) {
        for (uint32_t i = 0; i < interval && running; ++i) {
            sleep_tick();
            do_waveforms();
        }
        elapsed += interval;
        ORW_TRCAPI_TRACE(8, this, "Current runtime '%u'", elapsed);
        if (running && runtime != 0 && elapsed >= runtime) {
            ORW_TRCAPI_TRACE(2, this, "runtime exceeded");
            running = false;
        } else if (running && live) {
            int rc = poll_link_status();
            if (rc < 0)
                ORW_TRCAPI_TRACE(1, this, "error %d requesting link status (%s)", rc, Orwin_get_error_text());
        }
    }
    ORW_TRCAPI_TRACE(2, this, "timer thread finished");
}

bool capture::port_status(int port, double rxspeed, bool connected, int runstatus)
{
    if (port < 0 || port >= devstatus::max_links)
        return running;
    portstatus &link = status.links[port];
    link.connected = connected;
    link.runstatus = runstatus;
    link.portno = port;
    link.rxspeed = static_cast<float>(rxspeed);
    // The last port of a poll ends it; settings stop at port 8.
    const int last = no_ports < devstatus::max_links ? no_ports : devstatus::max_links - 1;
    if (port == last) {
        status.rawbytes.total = Orwin_get_total_raw_bytes_received(device);
        status.runtime += reportinginterval > 0 ? reportinginterval : 1;
        status.uncertainty = uncertainty;
        status.linkstatus = linkstatus;
        devstatus *snapshot = new devstatus;
        snapshot->copyreset(status);
        update_status(snapshot);
    }
    return running;
}

bool capture::error_event()
{
    ORW_TRCAPI_TRACE(2, this, "error event on port %u", rx_link);
    std::lock_guard<std::mutex> guard(txlock);
    if (live && running) {
        ORW_TRCAPI_TRACE(2, this, "requesting waveform on %u", rx_link);
        int rc = Orwin_EW_request_data(device, static_cast<int>(rx_link));
        if (rc < 0)
            throw orw::error(addr, rc, Orwin_get_error_text());
        ORW_TRCAPI_TRACE(2, this, "requested waveform waveform on %u", rx_link);
    }
    return true;
}

} // namespace trc
} // namespace orw
