// SPDX-License-Identifier: MIT
// A native capture that counts what its threads see in atomics, so that a
// test thread can watch a running capture without racing it.
#ifndef ORWIN_TESTS_CAPTURE_PROBE_HPP
#define ORWIN_TESTS_CAPTURE_PROBE_HPP

#include "Orwin_Capture.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace test {

struct capture_probe : orw::trc::trc_capture {
    using trc_capture::trc_capture;
    ~capture_probe() override { join_threads(); }

    std::atomic<uint64_t> packets{0};
    std::atomic<int> snapshots{0};
    std::atomic<bool> snapshot_linkstatus{true};
    std::atomic<int> waveforms{0};
    std::atomic<int> waveform_port{0};
    std::atomic<int> errors{0};

    void acquired_data(const uint8_t *, ssize_t, int flags) override
    {
        if (flags == EOP || flags == EEP)
            ++packets;
    }
    void update_link_status(const orw::devstatus *s) override
    {
        snapshot_linkstatus = s->linkstatus;
        ++snapshots;
    }
    bool waveform_data(int erridx, int unit, int port, int ew_port, int event, char *cause,
                       unsigned char *data, size_t sz) override
    {
        waveform_port = port;
        ++waveforms;
        return trc_capture::waveform_data(erridx, unit, port, ew_port, event, cause, data, sz);
    }
    void capture_error(int) override { ++errors; }
};

/** Polls `pred` every millisecond for up to `ms`. */
template <class Pred> bool eventually(Pred pred, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace test

#endif // ORWIN_TESTS_CAPTURE_PROBE_HPP
