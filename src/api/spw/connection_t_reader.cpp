// SPDX-License-Identifier: MIT
// connection_t: the reader thread, which reads the unit with a bounded
// time-out and hands every piece of every packet to its link's dispatcher.
#include "Orwin.hpp"
#include "read_token.hpp"

#include <chrono>
#include <exception>
#include <sys/socket.h>

namespace orw {
namespace spacewire {

namespace {

// The connection whose reader runs on this thread, if any.
thread_local const connection_t *reading_connection = nullptr;

// Makes the dispatch sequence odd while a piece is being dispatched, also
// when an instance throws.
struct dispatching {
    explicit dispatching(std::atomic<uint64_t> &seq) : seq(seq)
    {
        seq.fetch_add(1, std::memory_order_seq_cst);
    }
    ~dispatching() { seq.fetch_add(1, std::memory_order_seq_cst); }
    std::atomic<uint64_t> &seq;
};

} // namespace

const connection_t *exchange_reading_connection(const connection_t *ifc)
{
    const connection_t *before = reading_connection;
    reading_connection = ifc;
    return before;
}

const connection_t *reading_connection_here()
{
    return reading_connection;
}

bool connection_t::on_reader_thread() const
{
    return reading_connection == this;
}

void connection_t::start_server()
{
    ORW_SPW_TRACE(8, this, "Checking for read handler");
    if (on_reader_thread()) {
        // Asked from a callback: the running reader just carries on.
        thread_enabled = true;
        return;
    }
    require_alive();
    std::lock_guard<std::mutex> guard(server_lock);
    if (thread_enabled)
        return;
    if (!connection::device) {
        // Dispatchers of a connection without a unit may still be fed directly.
        ORW_SPW_TRACE(8, this, "no unit to read");
        return;
    }
    // A reader that ended by itself is joined before the next one starts.
    if (rt.joinable())
        rt.join();
    ORW_SPW_TRACE(2, this, "Starting reader thread");
    failed = false;
    thread_enabled = true;
    thread_running = true;
    try {
        rt = std::thread([this] {
            ORW_SPW_TRACE(8, this, "started reader thread");
            reader();
        });
    } catch (const std::system_error &) {
        thread_enabled = false;
        thread_running = false;
        throw error(addr, Error_CaptureThread_Failed, "unable to start reader thread");
    }
    ORW_SPW_TRACE(2, this, "Created reader thread");
}

void connection_t::stop_server()
{
    ORW_SPW_TRACE(2, this, "Shutting down server");
    if (!thread_enabled)
        return;
    ORW_SPW_TRACE(2, this, "aborting reader");
    shutdown();
    if (on_reader_thread())
        return;
    ORW_SPW_TRACE(2, this, "wait for completion");
    // A reader stuck in a send (a target's reply to a unit that stopped
    // reading) is released by shutting the socket down.
    const int stuck_ms = reader_timeout_ms + (send_timeout_ms > 0 ? send_timeout_ms : reader_timeout_ms);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(stuck_ms);
    while (thread_running && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (thread_running && connection::device && live) {
        ORW_SPW_TRACE(1, this, "ERROR reader does not stop; shutting the socket down");
        ::shutdown(Orwin_get_socket(connection::device), SHUT_RDWR);
    }
    wait();
}

void connection_t::shutdown()
{
    ORW_SPW_TRACE(8, this, "shutdown ifc listener");
    thread_enabled = false;
}

void connection_t::wait()
{
    if (on_reader_thread())
        return;
    std::lock_guard<std::mutex> guard(server_lock);
    if (!rt.joinable())
        return;
    ORW_SPW_TRACE(2, this, "waiting for reader to complete");
    rt.join();
    ORW_SPW_TRACE(2, this, "reader completed");
}

void connection_t::reader()
{
    ORW_SPW_TRACE(8, this, "reader thread");
    reading_connection = this;
    try {
        // A recording file cannot be waited on, and its reads never block.
        int rc = Orwin_set_rx_timeout(connection::device, reader_timeout_ms);
        if (rc < 0 && live)
            throw error(addr, rc, Orwin_get_error_text());
        token->reader_loop();
    } catch (const error &e) {
        keep_failure(e);
    } catch (const std::exception &) {
        keep_failure(error(addr, Error_Not_Known, "exception in the reader thread"));
    } catch (...) {
        keep_failure(error(addr, Error_Not_Known, "exception in the reader thread"));
    }
    reading_connection = nullptr;
    thread_running = false;
}

void connection_t::keep_failure(const error &e)
{
    {
        // A connection already lost keeps the failure that lost it.
        std::lock_guard<std::mutex> guard(failure_lock);
        if (!lost)
            failure.reset(new error(e));
    }
    failed = true;
    try {
        reader_failed(e);
    } catch (...) {
        // The hook must not take the process down with the thread.
    }
    // Nothing more will be dispatched: no reply can reach a waiter.
    lose(e);
    rmap::end_transactions(this, rmap::transaction_outcome::connection_lost);
}

void connection_t::lose(const error &e)
{
    {
        std::lock_guard<std::mutex> guard(failure_lock);
        if (lost)
            return;
        if (!failure)
            failure.reset(new error(e));
        lost = true;
    }
    ORW_SPW_TRACE(1, this, "ERROR connection lost: %d %s", e.get(), e.text() ? e.text() : "");
    // Readers and senders stuck on the socket see its end at once. A
    // running reader then ends the transactions (a sender may hold the
    // write lock here, and completion hooks must not run under it).
    if (connection::device && live)
        ::shutdown(Orwin_get_socket(connection::device), SHUT_RDWR);
    if (!thread_running)
        rmap::end_transactions(this, rmap::transaction_outcome::connection_lost);
    wake_reconnector();
}

void connection_t::require_alive() const
{
    if (!lost)
        return;
    std::lock_guard<std::mutex> guard(failure_lock);
    throw error(*failure);
}

bool connection_t::is_lost() const
{
    return lost;
}

void connection_t::reader_failed(const error &e)
{
    ORW_SPW_TRACE(1, this, "ERROR reader stopped: %s: %d %s", e.name().c_str(), e.get(),
                  e.text() ? e.text() : "");
}

const error *connection_t::reader_error() const
{
    if (thread_running || !failed)
        return nullptr;
    return failure.get();
}

bool connection_t::read_packet()
{
    for (;;) {
        ssize_t n = 0;
        uint32_t type = 0;
        switch (read_once(data.get(), packet_buffer_size, CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA, n,
                          type)) {
        case read_result::ended:
            return false;
        case read_result::idle:
            return true;
        case read_result::piece:
            dispatch(n, static_cast<int>(type));
            return true;
        }
    }
}

void connection_t::dispatch(ssize_t n, int t)
{
    if (t != EOP && t != EEP && t != PART_EOP_EEP) {
        ORW_SPW_TRACE(8, this, "not dispatching type %d", t);
        return;
    }
    if (rx_link >= static_cast<unsigned>(max_links)) {
        ORW_SPW_TRACE(1, this, "ERROR data for link %u, which has no dispatcher", rx_link);
        return;
    }
    // Which links have a packet open, to end it should the stream be lost.
    open_packets = t == PART_EOP_EEP ? open_packets | (1u << rx_link) : open_packets & ~(1u << rx_link);
    dispatching guard(dispatch_seq);
    links[rx_link].read_packet(data.get(), static_cast<size_t>(n), t);
}

// After an instance or handler was unregistered from another thread, wait
// until the reader is past any dispatch that may still have held it.
void connection_t::quiesce()
{
    if (on_reader_thread() || !thread_running)
        return;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint64_t seq = dispatch_seq.load(std::memory_order_acquire);
    if ((seq & 1u) == 0)
        return;
    while (dispatch_seq.load(std::memory_order_acquire) == seq && thread_running)
        std::this_thread::yield();
}

} // namespace spacewire
} // namespace orw
