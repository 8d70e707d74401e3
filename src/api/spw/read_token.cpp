// SPDX-License-Identifier: MIT
// The read token of a connection: the reader thread and RMAP waiters take
// turns at reading the stream (leader and followers).
#include "read_token.hpp"

#include "OrwinInternal.h"
#include "rmap_spin.hpp"

#include <algorithm>
#include <poll.h>

namespace orw::spacewire {

namespace {

using clock = std::chrono::steady_clock;

// After the last waiter the reader stays parked this long: the next
// operation of a thread that does one after another usually comes sooner,
// and reads its reply itself.
constexpr auto waiter_grace = std::chrono::milliseconds(1);
// How often a parked reader looks whether it is still wanted.
constexpr auto park_check = std::chrono::milliseconds(10);
// A waiter reads in slices this long, so that a time-out, a lost connection
// or a stopped reader ends its turn within one timer tick.
constexpr int lead_read_ms = 10;

constexpr int read_actions = CALLBACK_SPECIAL_DATA | CALLBACK_EXTENSION_DATA;

// Bytes to parse: held by the link already, or waiting on its socket.
bool input_waiting(const void *handle)
{
    const ORW *link = static_cast<const ORW *>(handle);
    if (orw_rx_unparsed(&link->rx) > 0)
        return true;
    pollfd in{link->sock, POLLIN, 0};
    return ::poll(&in, 1, 0) != 0;
}

thread_local std::shared_ptr<read_token> waiting_for;
// The token this thread reads with now: a wait from a callback it runs
// cannot read again.
thread_local read_token *reading_with = nullptr;

} // namespace

std::shared_ptr<read_token> read_token::take()
{
    return std::move(waiting_for);
}

read_token::scope::scope(connection_t *ifc)
{
    if (ifc)
        kept = ifc->token;
}

void read_token::scope::arm()
{
    previous = std::move(waiting_for);
    waiting_for = kept;
}

read_token::scope::~scope()
{
    waiting_for = std::move(previous);
}

bool read_token::done(rmap::synchronous &s)
{
    std::lock_guard<std::mutex> guard(s.mlock);
    return s.signalled;
}

// One bounded read and its dispatch, with the token held.
// @return false when the last recording ended
bool read_token::read_and_dispatch()
{
    ssize_t n = 0;
    uint32_t type = 0;
    switch (ifc.read_once(ifc.data.get(), packet_buffer_size, read_actions, n, type)) {
    case connection::read_result::piece:
        sends.reader_busy();
        ifc.dispatch(n, static_cast<int>(type));
        break;
    case connection::read_result::idle:
        break;
    case connection::read_result::ended:
        if (ifc.live && ifc.thread_enabled.load())
            throw error(ifc.addr, connection::Error_Receiver_Shutdown, "Connection closed by the unit");
        return false;
    }
    return true;
}

// Bytes read but not yet dispatched: the reader goes on with them before it
// lets another thread read.
bool read_token::holds_input() const
{
    return ifc.live && orw_rx_unparsed(&static_cast<const ORW *>(ifc.handle())->rx) > 0;
}

// A turn at reading, with the token held: the link calls back before it
// waits for more bytes.
void read_token::start_turn()
{
    if (!ifc.live)
        return;
    ORW *link = static_cast<ORW *>(ifc.handle());
    link->before_wait = [](void *gate) { static_cast<send_gate *>(gate)->reader_idle(); };
    link->before_wait_arg = &sends;
}

void read_token::reader_loop()
{
    {
        std::lock_guard<std::mutex> guard(m);
        handed = nullptr;
        // A recording has no RMAP peer and is read by its reader alone.
        open = ifc.live;
    }
    struct closing {
        read_token &t;
        ~closing()
        {
            t.sends.reader_idle();
            t.close();
        }
    } at_end{*this};
    while (ifc.thread_enabled.load(std::memory_order_relaxed)) {
        {
            std::unique_lock<std::mutex> lock(m);
            if (!take_for_reader(lock))
                continue;
        }
        bool more = false;
        start_turn();
        try {
            do
                more = read_and_dispatch();
            while (more && holds_input() && ifc.thread_enabled.load(std::memory_order_relaxed));
            sends.reader_idle();
        } catch (...) {
            std::lock_guard<std::mutex> guard(m);
            held = false;
            throw;
        }
        std::lock_guard<std::mutex> guard(m);
        held = false;
        // A waiter that came meanwhile reads on from here.
        hand_on();
        if (!more)
            return;
    }
}

// The reader's turn: false to look at the enabled flag again.
bool read_token::take_for_reader(std::unique_lock<std::mutex> &lock)
{
    if (handed) {
        std::exception_ptr e = handed;
        handed = nullptr;
        std::rethrow_exception(e);
    }
    if (held) {
        reader_cv.wait_for(lock, park_check);
        return false;
    }
    const auto now = clock::now();
    if (open && followers.empty() && now < last_waiter + waiter_grace) {
        reader_cv.wait_until(lock, std::min(last_waiter + waiter_grace, now + park_check));
        return false;
    }
    held = true;
    return true;
}

// With `m` held and the token free: the first follower still waiting takes
// it; with none, the reader takes it when its park ends.
void read_token::hand_on()
{
    if (handed) {
        reader_cv.notify_all();
        return;
    }
    for (follower *f : followers) {
        std::lock_guard<std::mutex> guard(f->s->mlock);
        if (f->s->signalled)
            continue;
        f->nudged = true;
        f->s->msignal.notify_all();
        return;
    }
}

void read_token::close()
{
    std::unique_lock<std::mutex> lock(m);
    open = false;
    // A waiter's turn ends within one read slice once the reader is disabled.
    while (held)
        reader_cv.wait_for(lock, std::chrono::milliseconds(1));
    // Followers wait for their completion as any waiter without a reader.
    for (follower *f : followers) {
        std::lock_guard<std::mutex> guard(f->s->mlock);
        f->nudged = true;
        f->s->msignal.notify_all();
    }
}

void read_token::wait(rmap::synchronous &s)
{
    if (reading_with) {
        s.wait();
        return;
    }
    std::unique_lock<std::mutex> lock(m);
    if (!open) {
        lock.unlock();
        s.wait();
        return;
    }
    last_waiter = clock::now();
    follower me{&s};
    for (;;) {
        const bool nudged = me.nudged;
        me.nudged = false;
        if (!open || done(s)) {
            if (nudged && !held && open)
                hand_on();
            break;
        }
        if (!held && !handed) {
            held = true;
            lock.unlock();
            lead(s);
            lock.lock();
            held = false;
            hand_on();
            break;
        }
        followers.push_back(&me);
        lock.unlock();
        {
            std::unique_lock<std::mutex> sl(s.mlock);
            s.msignal.wait(sl, [&] { return s.signalled || me.nudged; });
        }
        lock.lock();
        followers.erase(std::find(followers.begin(), followers.end(), &me));
        if (!me.nudged)
            break;
    }
    // The grace counts from the end of the last wait.
    last_waiter = clock::now();
    lock.unlock();
    // Completed by now, unless this turn ended early: then as any waiter.
    s.wait();
}

void read_token::lead(rmap::synchronous &s)
{
    reading_with = this;
    const connection_t *before = exchange_reading_connection(&ifc);
    Orwin_set_rx_timeout(ifc.handle(), lead_read_ms);
    start_turn();
    // A reply that comes within microseconds is taken before this core goes
    // idle: waking from a blocking wait costs more than the round trip.
    if (ifc.live)
        rmap::spin_until(input_waiting, ifc.handle());
    try {
        while (ifc.thread_enabled.load(std::memory_order_relaxed) && !done(s) && read_and_dispatch()) {
        }
    } catch (...) {
        // The reader ends with it, as if it had read the failure itself.
        std::lock_guard<std::mutex> guard(m);
        handed = std::current_exception();
    }
    sends.reader_idle();
    Orwin_set_rx_timeout(ifc.handle(), connection_t::reader_timeout_ms);
    exchange_reading_connection(before);
    reading_with = nullptr;
}

} // namespace orw::spacewire
