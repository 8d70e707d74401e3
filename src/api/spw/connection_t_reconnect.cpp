// SPDX-License-Identifier: MIT
// connection_t: opening the unit again once the connection is lost, on
// request or from a thread of the connection's own with a growing back-off.
#include "Orwin.hpp"
#include "read_token.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace orw {
namespace spacewire {

namespace {

// The connection whose reconnection thread runs on this thread, if any.
thread_local const connection_t *reconnecting_connection = nullptr;

} // namespace

void connection_t::reconnect()
{
    ORW_SPW_TRACE(2, this, "Reconnecting to host '%s'", addr.c_str());
    reopen(open_timeout_ms, false);
    reconnected();
}

// The steps of reconnect(); with `only_when_lost`, nothing is done (false)
// for a connection that works.
bool connection_t::reopen(int timeout_ms, bool only_when_lost)
{
    if (on_reader_thread())
        throw error(addr, Error_ReadHandler_Running, "cannot reconnect from the reader thread");
    if (addr.empty() || !live)
        throw error(addr, Error_NO_Connection, "no unit to reconnect");
    std::lock_guard<std::mutex> serial(reopen_lock);
    if (only_when_lost && !lost)
        return false;
    // Wanted before the loss, or before an earlier attempt that failed.
    resume_reader = resume_reader || thread_enabled;
    lose(error(addr, Error_NO_Connection, "connection closed to reconnect"));
    stop_server();
    wait();
    // A reader told to stop may have missed the end of the stream.
    rmap::end_transactions(this, rmap::transaction_outcome::connection_lost);
    end_open_packets();
    {
        // No sender may touch the handle while it is replaced.
        std::lock_guard<std::mutex> writers(write_lock);
        token->sends.forget();
        open_handle(timeout_ms);
        initialise(link_speed);
        std::lock_guard<std::mutex> guard(failure_lock);
        lost = false;
        failed = false;
        failure.reset();
    }
    ORW_SPW_TRACE(2, this, "Reconnected to host '%s'", addr.c_str());
    if (resume_reader) {
        resume_reader = false;
        start_server();
    }
    return true;
}

// A packet the lost stream cut short ends with EEP, so that the next one
// starts afresh at its instance.
void connection_t::end_open_packets()
{
    for (int l = 0; l < max_links; ++l) {
        if ((open_packets >> l) & 1u) {
            ORW_SPW_TRACE(2, this, "link %d: a packet cut short ends with EEP", l);
            links[l].read_packet(data.get(), 0, EEP);
        }
    }
    open_packets = 0;
}

void connection_t::auto_reconnect(bool on, unsigned max_backoff_ms)
{
    std::unique_lock<std::mutex> lock(reconnect_lock);
    reconnect_max_ms = max_backoff_ms;
    if (reconnecting_connection == this) {
        // From a hook: the loop sees the flag; the thread is joined later.
        reconnect_wanted = on;
        return;
    }
    if (on && reconnect_wanted && reconnector.joinable())
        return;
    // A thread switched off from its own hook may still be finishing.
    reconnect_wanted = false;
    std::thread ending = std::move(reconnector);
    lock.unlock();
    reconnect_cv.notify_all();
    if (ending.joinable())
        ending.join();
    if (!on)
        return;
    lock.lock();
    if (reconnector.joinable())
        return; // started meanwhile by another caller
    reconnect_wanted = true;
    try {
        reconnector = std::thread([this] {
            reconnecting_connection = this;
            reconnect_loop();
        });
    } catch (const std::system_error &) {
        reconnect_wanted = false;
        throw error(addr, Error_CaptureThread_Failed, "unable to start reconnection thread");
    }
}

void connection_t::wake_reconnector()
{
    {
        std::lock_guard<std::mutex> lock(reconnect_lock);
        if (!reconnect_wanted)
            return;
    }
    reconnect_cv.notify_all();
}

void connection_t::reconnect_loop()
{
    std::unique_lock<std::mutex> lock(reconnect_lock);
    for (;;) {
        reconnect_cv.wait(lock, [this] { return !reconnect_wanted || lost.load(); });
        if (!reconnect_wanted)
            return;
        std::unique_ptr<error> why;
        {
            std::lock_guard<std::mutex> guard(failure_lock);
            why.reset(failure ? new error(*failure)
                              : new error(addr, Error_NO_Connection, "connection lost"));
        }
        lock.unlock();
        try {
            connection_lost(*why);
        } catch (...) {
            // A hook must not end the thread that reconnects.
        }
        lock.lock();
        uint64_t backoff = first_backoff_ms;
        while (reconnect_wanted && lost) {
            const uint64_t most = std::max<uint64_t>(reconnect_max_ms, first_backoff_ms);
            backoff = std::min(backoff, most);
            if (reconnect_cv.wait_for(lock, std::chrono::milliseconds(backoff),
                                      [this] { return !reconnect_wanted; }))
                return;
            lock.unlock();
            bool done = false;
            try {
                done = reopen(std::min(open_timeout_ms, reconnect_attempt_ms), true);
            } catch (const error &e) {
                ORW_SPW_TRACE(2, this, "reconnection failed: %d %s", e.get(), e.text() ? e.text() : "");
            } catch (...) {
                ORW_SPW_TRACE(1, this, "ERROR reconnection failed");
            }
            if (done) {
                try {
                    reconnected();
                } catch (...) {
                    // As above.
                }
            }
            lock.lock();
            backoff *= 2;
        }
    }
}

void connection_t::connection_lost(const error &e)
{
    ORW_SPW_TRACE(2, this, "connection lost, reconnecting: %d %s", e.get(), e.text() ? e.text() : "");
}

void connection_t::reconnected()
{
    ORW_SPW_TRACE(2, this, "reconnected to '%s'", addr.c_str());
}

} // namespace spacewire
} // namespace orw
