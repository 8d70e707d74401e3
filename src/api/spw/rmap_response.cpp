// SPDX-License-Identifier: MIT
// RMAP response objects and the waiter that blocks an initiator until its
// transaction is completed by a reply or a time-out.
#include "Orwin_RMAP_formats.hpp"
#include "Orwin_RMAP_transactions.hpp"
#include "Orwin_Trace.h"
#include "hex_preview.hpp"
#include "rmap_spin.hpp"

#include <cstdio>
#include <cstring>

namespace orw::spacewire::rmap {

const char *outcome_text(transaction_outcome o)
{
    switch (o) {
    case transaction_outcome::pending:
        return "pending";
    case transaction_outcome::replied:
        return "replied";
    case transaction_outcome::timed_out:
        return "timed out";
    case transaction_outcome::crc_error:
        return "CRC error";
    case transaction_outcome::invalid_reply:
        return "invalid reply";
    case transaction_outcome::connection_lost:
        return "connection lost";
    case transaction_outcome::cancelled:
        return "cancelled";
    }
    return "unknown";
}

void synchronous::wait()
{
    ORW_SPW_TRACE(8, this, "waiting for reply");
    if (!ready.load(std::memory_order_acquire))
        spin_until(ready);
    std::unique_lock<std::mutex> guard(mlock);
    if (signalled)
        ORW_SPW_TRACE(8, this, "event has been signalled");
    while (!signalled) {
        ORW_SPW_TRACE(8, this, "on condition lock");
        msignal.wait(guard);
        ORW_SPW_TRACE(8, this, "off condition lock");
    }
    signalled = false;
    ready.store(false, std::memory_order_relaxed);
    ORW_SPW_TRACE(8, this, "reply received");
}

void synchronous::completed()
{
    ORW_SPW_TRACE(8, this, "completed %p waking up", static_cast<void *>(this));
    std::lock_guard<std::mutex> guard(mlock);
    signalled = true;
    ready.store(true, std::memory_order_release);
    ORW_SPW_TRACE(8, this, "sending signal");
    // Signalled under the lock: once the waiter wakes it may destroy us.
    msignal.notify_one();
    ORW_SPW_TRACE(8, this, "sent signal");
}

transaction_response::transaction_response(synchronous *sync) : sync(sync)
{
    ORW_SPW_TRACE(8, this, "Creating transaction waiter %p", static_cast<void *>(this));
}

transaction_response::transaction_response(uint32_t timeout, synchronous *sync)
    : sync(sync), timeout_count(timeout), timeout(timeout)
{
    ORW_SPW_TRACE(8, this, "Creating transaction waiter %p timeout %u", static_cast<void *>(this), timeout);
}

transaction_response::~transaction_response()
{
    forget();
    delete[] rdata;
}

void transaction_response::timedout()
{
    if (print) {
        std::printf("message %d (%s): timedout\n", mid, id.c_str());
        std::fflush(stdout);
    }
}

void transaction_response::crc_error()
{
    if (print) {
        std::printf("crc error\n");
        std::fflush(stdout);
    }
}

void transaction_response::failed(transaction_outcome why)
{
    if (print) {
        std::printf("message %d (%s): %s\n", mid, id.c_str(), outcome_text(why));
        std::fflush(stdout);
    }
}

void transaction_response::write_reply(uint8_t st)
{
    if (print) {
        std::printf("message %d (%s): client->write reply %02x\n", mid, id.c_str(), st);
        std::fflush(stdout);
    }
}

void transaction_response::keep(const char *what, uint8_t st, const uint8_t *data, uint32_t sz)
{
    sdata = data;
    if (copydata) {
        delete[] rdata;
        rdata = new uint8_t[sz ? sz : 1];
        if (sz)
            std::memcpy(rdata, data, sz);
    }
    rsz = sz;
    if (!file.empty())
        ioerror = orw::spacewire::utils::save(file, data, sz, nullptr, 0);
    if (print) {
        std::printf(what, mid, id.c_str(), sz, st, hex_preview(data, sz).c_str());
        std::fflush(stdout);
    }
}

void transaction_response::read_reply(uint8_t st, const uint8_t *data, uint32_t sz)
{
    keep("message %d (%s): client->read %u bytes of data read status %02x :%s\n", st, data, sz);
    read_reply(st, sz);
    sdata = nullptr;
}

void transaction_response::read_modify_write_reply(uint8_t st, const uint8_t *data, uint32_t sz)
{
    keep("message %d (%s) client->readmodifywrite %u bytes of data read status %02x :%s\n", st, data, sz);
    read_modify_write_reply(st, sz);
    sdata = nullptr;
}

void transaction_response::read_reply(uint8_t, uint32_t) {}

void transaction_response::read_modify_write_reply(uint8_t, uint32_t) {}

void transaction_response::wait()
{
    ORW_SPW_TRACE(8, this, "waiting for response %p", static_cast<void *>(this));
    if (sync) {
        sync->wait();
        ORW_SPW_TRACE(8, this, "%p completed", static_cast<void *>(this));
    }
}

void transaction_response::start()
{
    set_status(false, 0);
    tx = nullptr;
    mid = 0;
    // Nothing of the previous transaction may pass for this one's reply.
    rsz = 0;
    delete[] rdata;
    rdata = nullptr;
    ioerror = false;
    owner = nullptr;
    expected_pt = 0;
    expected_ds = 0;
    set_outcome(transaction_outcome::pending);
}

bool transaction_response::fits(uint8_t pt, uint32_t ds, uint8_t st) const
{
    if (expected_pt == 0)
        return true; // registered without a command to compare with
    if ((pt & (instr_command | 0x80)) != 0 || (pt & instr_reply) == 0)
        return false;
    const rmap_command kind = classify(pt);
    if (kind != classify(expected_pt))
        return false;
    if (kind == rmap_write)
        return true;
    // A target that fails may return less data than asked for, never more.
    return ds == expected_ds || (st != 0 && ds < expected_ds);
}

void transaction_response::set_mid(transinfo *table, uint16_t id_)
{
    ORW_SPW_TRACE(8, this, "Setting message %p:%u", static_cast<void *>(table), id_);
    tx = table;
    mid = id_;
}

bool transaction_response::expired()
{
    ORW_SPW_TRACE(8, this, "checking for timer expiry %u", timeout);
    if (timeout == 0)
        return false;
    if (--timeout != 0)
        return false;
    ORW_SPW_TRACE(8, this, "timer has timed out");
    return true;
}

void transaction_response::timed_out()
{
    transinfo *t = tx.load();
    if (!t)
        return;
    t->find(mid);
    set_status(true, 0);
    set_outcome(transaction_outcome::timed_out);
    timedout();
    completed();
}

void transaction_response::fail(transaction_outcome why, uint8_t st, bool tid_freed)
{
    transinfo *t = tx.load();
    if (!t)
        return;
    if (!tid_freed)
        t->find(mid);
    set_status(true, st);
    set_outcome(why);
    if (why == transaction_outcome::crc_error)
        crc_error();
    else
        failed(why);
    completed();
}

void transaction_response::cancel()
{
    transinfo *t = tx.load();
    if (!t)
        return;
    if (t->find(mid)) {
        // Not live any more: a second cancel, or the destructor's, is a no-op.
        tx = nullptr;
        return;
    }
    // A reply or the timer holds the transaction; let it finish first, and
    // consume its signal so that the next wait() does not return early.
    if (sync)
        sync->wait();
    else
        while (tx.load())
            std::this_thread::yield();
}

// A response destroyed while its transaction is live must not be completed
// afterwards by a reply or the timer: take it out of its table and the
// registry. (One being completed right now is the destroyer's race to avoid.)
void transaction_response::forget()
{
    if (transinfo *t = tx.exchange(nullptr))
        t->find(mid);
}

void transaction_response::completed()
{
    ORW_SPW_TRACE(8, this, "completed %p", static_cast<void *>(this));
    synchronous *s = sync;
    tx = nullptr;
    if (s)
        s->completed();
}

void transaction_response::set_status(bool error, uint8_t st)
{
    ORW_SPW_TRACE(8, this, "setting status %d:%d", error, st);
    err = error;
    status = st;
}

uint8_t transaction_response::status_code() const
{
    ORW_SPW_TRACE(8, this, "status %d", status);
    return status;
}

bool transaction_response::ok() const
{
    ORW_SPW_TRACE(8, this, "return error %d status", err);
    return !err;
}

void transaction_response::set_verbose(bool on)
{
    ORW_SPW_TRACE(8, this, "Setting verbosity %d", on);
    print = on;
}

void transaction_response::set_copydata(bool on)
{
    copydata = on;
    if (!on) {
        delete[] rdata;
        rdata = nullptr;
    }
}

synchronous_response::synchronous_response(uint32_t timeout) : transaction_response(timeout, &syncinfo)
{
    ORW_SPW_TRACE(8, this, "timeout %u", timeout);
    copydata = true;
}

synchronous_response::~synchronous_response()
{
    forget();
}

} // namespace orw::spacewire::rmap
