// connection_t: the reader thread, which reads the unit with a bounded
// time-out and hands every piece of every packet to its link's dispatcher.
#include "Orwin.hpp"

#include <exception>
#include <vector>

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
        while (thread_enabled) {
            ORW_SPW_TRACE(8, this, "reading packet");
            if (!read_packet()) {
                // A unit that hangs up is a failure; a recording just ends.
                if (live && thread_enabled)
                    keep_failure(error(addr, Error_Receiver_Shutdown, "Connection closed by the unit"));
                break;
            }
        }
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
    failure.reset(new error(e));
    failed = true;
    try {
        reader_failed(*failure);
    } catch (...) {
        // The hook must not take the process down with the thread.
    }
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
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(connection::device, data.get(), packet_buffer_size, &type,
                                           CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA);
        // An application may have asked for time-outs as errors; to the
        // reader a time-out is only the chance to test its flag.
        if (n == Error_Receiver_Timeout)
            return true;
        if (n < 0) {
            if (n != Error_Receiver_Shutdown)
                throw error(addr, static_cast<int>(n), Orwin_get_error_text());
            if (filelist.empty())
                return false;
            addr = filelist.front();
            filelist.pop();
            ORW_SPW_TRACE(2, this, "next file '%s'", addr.c_str());
            std::vector<char> name(addr.begin(), addr.end());
            name.push_back('\0');
            check(Orwin_File(connection::device, name.data()));
            continue;
        }
        const int t = static_cast<int>(type);
        // Time-outs and pieces that a decoding callback cut short are empty
        // and not packets.
        if (n == 0 && (t == PART_EOP_EEP || t == TIMEOUT))
            return true;
        if (t != EOP && t != EEP && t != PART_EOP_EEP) {
            ORW_SPW_TRACE(8, this, "not dispatching type %d", t);
            return true;
        }
        if (rx_link >= static_cast<unsigned>(max_links)) {
            ORW_SPW_TRACE(1, this, "ERROR data for link %u, which has no dispatcher", rx_link);
            return true;
        }
        dispatching guard(dispatch_seq);
        links[rx_link].read_packet(data.get(), static_cast<size_t>(n), t);
        return true;
    }
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
