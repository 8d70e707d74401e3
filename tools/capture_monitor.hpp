// SPDX-License-Identifier: MIT
// A capture of either kind that keeps what a progress display needs where
// another thread may read it: packet and byte counts per link in atomics,
// the last link-status snapshot under a lock, and the waveforms saved.
#ifndef ORWIN_TOOLS_CAPTURE_MONITOR_HPP
#define ORWIN_TOOLS_CAPTURE_MONITOR_HPP

#include "Orwin_Capture.hpp"

#include <atomic>
#include <mutex>

namespace tool {

constexpr int links = orw::devstatus::max_links;

struct link_counts {
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> bytes{0};
};

template <class Capture> class monitored : public Capture {
  public:
    using Capture::Capture;
    ~monitored() override { this->join_threads(); }

    link_counts counts[links];
    std::atomic<uint64_t> waveforms{0};
    std::atomic<bool> seen_status{false}; // a link-status snapshot has come

    /** The last link-status snapshot (zeros before the first poll). */
    orw::devstatus snapshot() const
    {
        std::lock_guard<std::mutex> guard(snapshot_lock);
        return last;
    }

    void acquired_data(const uint8_t *data, ssize_t length, int flags) override
    {
        Capture::acquired_data(data, length, flags);
        const unsigned k = this->rx_link < static_cast<unsigned>(links) ? this->rx_link : 0;
        counts[k].bytes.fetch_add(length > 0 ? static_cast<uint64_t>(length) : 0, std::memory_order_relaxed);
        if (flags == orw::connection::EOP || flags == orw::connection::EEP)
            counts[k].packets.fetch_add(1, std::memory_order_relaxed);
    }
    void update_link_status(const orw::devstatus *s) override
    {
        std::lock_guard<std::mutex> guard(snapshot_lock);
        last = *s;
        seen_status = true;
    }
    void waveform_saved(orw::waveform::waveform *wf) override
    {
        Capture::waveform_saved(wf);
        ++waveforms;
    }

  private:
    mutable std::mutex snapshot_lock;
    orw::devstatus last;
};

/** Link errors a link's counters hold. */
inline uint64_t link_errors(const orw::portstatus &p)
{
    return p.parity.total + p.timeout.total + p.missed.total + p.error1.total + p.error2.total + p.eecs.total;
}

} // namespace tool

#endif // ORWIN_TOOLS_CAPTURE_MONITOR_HPP
