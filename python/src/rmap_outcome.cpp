// SPDX-License-Identifier: MIT
#include "rmap_outcome.hpp"

#include "errors.hpp"
#include "interruptible.hpp"

#include <cmath>
#include <cstdio>

namespace orwin_py {

namespace {

// The library's timer runs the time-out; this margin only bounds the wait
// should it never fire.
constexpr double timer_margin_s = 1.0;

} // namespace

uint32_t timeout_ticks(double seconds)
{
    deadline_after(seconds); // refuses a time-out that is not positive
    return static_cast<uint32_t>(std::ceil(seconds * 1e6 / orw::spacewire::rmap::timer_tick_us));
}

rmap_response::rmap_response(connection_core &core, double timeout)
    : transaction_response(timeout_ticks(timeout), nullptr), seconds(timeout), core(core),
      deadline(deadline_after(timeout + timer_margin_s)), sync_waiter(*this)
{
    sync = &sync_waiter;
    verbose(false);
}

rmap_response::~rmap_response()
{
    abandon();
}

void rmap_response::abandon()
{
    sync_waiter.interruptible = false;
    cancel();
}

void rmap_response::waiter::wait()
{
    if (!interruptible) {
        synchronous::wait();
        return;
    }
    std::unique_lock<std::mutex> guard(mlock);
    bool done;
    try {
        done = wait_interruptibly(guard, msignal, owner.deadline,
                                  [&] { return signalled || owner.core.closing || owner.core.lost(); });
    } catch (...) {
        guard.unlock();
        owner.abandon();
        throw;
    }
    if (signalled) {
        signalled = false;
        return;
    }
    guard.unlock();
    owner.abandon();
    if (done) {
        owner.closed = owner.core.closing;
        owner.lost = owner.core.lost();
    } else {
        owner.timed_out = true;
    }
}

void check_outcome(const rmap_response &r, const char *what, long expected)
{
    namespace rmap = orw::spacewire::rmap;
    if (r.closed)
        throw failure(failure_kind::error, Error_NO_Connection,
                      std::string(what) + ": connection closed while waiting");
    if (r.lost)
        raise_lost(*r.lost);
    // The binding's own bound cancels a transaction the timer never ended.
    const rmap::transaction_outcome outcome = r.timed_out && r.outcome() != rmap::transaction_outcome::replied
                                                  ? rmap::transaction_outcome::timed_out
                                                  : r.outcome();
    check_result(outcome, r.status_code(), r.data.size(), r.seconds, r.core_lost(), what, expected);
}

void check_result(orw::spacewire::rmap::transaction_outcome outcome, uint8_t status, size_t size,
                  double seconds, const orw::error *lost, const char *what, long expected)
{
    namespace rmap = orw::spacewire::rmap;
    const std::string op(what);
    switch (outcome) {
    case rmap::transaction_outcome::replied:
        break;
    case rmap::transaction_outcome::crc_error:
        throw failure(failure_kind::crc_error, Error_Network_Format_Error,
                      op + ": reply damaged (CRC error)");
    case rmap::transaction_outcome::invalid_reply:
        throw failure(failure_kind::invalid_reply, Error_Response_Mismatch,
                      op + ": reply does not fit the command");
    case rmap::transaction_outcome::connection_lost:
    case rmap::transaction_outcome::cancelled:
        if (lost)
            raise_lost(*lost);
        throw failure(failure_kind::connection_lost, Error_Receiver_Shutdown,
                      op + ": " + rmap::outcome_text(outcome));
    default: {
        char s[32];
        std::snprintf(s, sizeof s, "%g", seconds);
        throw failure(failure_kind::timeout, Error_Receiver_Timeout, op + ": no reply within " + s + " s");
    }
    }
    if (status != 0)
        throw failure(failure_kind::rmap_status, Error_Response_Mismatch, op + ": reply with an error status",
                      status);
    if (expected >= 0 && size != static_cast<size_t>(expected))
        throw failure(failure_kind::invalid_reply, Error_Response_Too_Small,
                      op + ": reply with " + std::to_string(size) + " data bytes instead of " +
                          std::to_string(expected));
}

} // namespace orwin_py
