// SPDX-License-Identifier: MIT
// Sends of several commands in one: the duty to flush and who holds it.
//
// `owed` and `busy` pair as a store-then-load handshake: a writer that
// leaves its flush stores `owed` before it looks at `busy`, and the reader
// clears `busy` before it looks at `owed`, so at least one of them sees the
// other and sends.
#include "send_gate.hpp"

#include "Orwin.hpp"
#include "OrwinInternal.h"
#include "read_token.hpp"

namespace orw::spacewire {

void send_gate::lock()
{
    if (write_lock.try_lock())
        return;
    waiting.fetch_add(1);
    write_lock.lock();
    waiting.fetch_sub(1);
}

void send_gate::unlock()
{
    write_lock.unlock();
    // A holder that failed before its flush leaves what others queued.
    if (owed.load() && waiting.load() == 0 && !busy.load())
        settle();
}

void send_gate::flush(bool reply_expected)
{
    // A waiter cannot leave without taking the lock, and sends at its end.
    if (waiting.load() > 0) {
        owed.store(true);
        return;
    }
    // The reader itself cannot wait for its own flush.
    if (reply_expected && reading_connection_here() != &ifc) {
        owed.store(true);
        if (busy.load())
            return;
    }
    ifc.flush();
    owed.store(false);
}

void send_gate::reader_busy()
{
    if (!busy.load(std::memory_order_relaxed))
        busy.store(true);
}

void send_gate::reader_idle()
{
    // Only the thread reading the stream took on the duty; a query that
    // reads its reply on another thread has none.
    if (reading_connection_here() != &ifc)
        return;
    if (busy.load(std::memory_order_relaxed))
        busy.store(false);
    if (owed.load())
        settle();
}

// Sends what is owed unless another thread holds the lock: that one sends
// it with its own packet, or looks again when it lets go.
void send_gate::settle()
{
    if (!write_lock.try_lock())
        return;
    if (owed.load()) {
        try {
            send_owed();
            owed.store(false);
        } catch (...) {
            // Still owed when the socket had no room: the reader tries again
            // before its next wait, and any writer's flush takes it along.
            // Otherwise the connection is lost, and with it every transaction
            // whose command was in the buffer.
        }
    }
    write_lock.unlock();
}

// The reader never waits for room to send: a unit that stopped reading until
// its own output is read would wait for it for ever.
void send_gate::send_owed()
{
    if (reading_connection_here() != &ifc) {
        ifc.flush();
        return;
    }
    ifc.require_device();
    ifc.require_alive();
    ifc.checked_send(orw_flush_without_waiting(static_cast<ORW *>(ifc.handle())));
}

} // namespace orw::spacewire
