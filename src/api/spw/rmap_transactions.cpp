// SPDX-License-Identifier: MIT
// RMAP transaction tables, the process-wide registry of live transactions and
// the time-out thread. A transaction is completed by whoever removes it from
// the registry first (reply delivery or the timer), so it completes once.
#include "Orwin_RMAP_transactions.hpp"
#include "Orwin_Trace.h"

#include <chrono>
#include <condition_variable>
#include <vector>

namespace orw::spacewire::rmap {

namespace {

// Defined before the tables and the timer so that they are destroyed after
// them: the timer thread is joined while the registry still exists.
orw::utils::lock timerl;
// Each live transaction, with whether it counts in timed_live.
std::map<transaction_response *, bool> rmap_tx;
// Live transactions that have a time-out; the timer sleeps while there is
// none. Changed under timerl; the timer waits for it under idle_m.
std::atomic<size_t> timed_live{0};
std::mutex idle_m;
std::condition_variable idle_cv;
// Whether the timer waits for a timed transaction (under idle_m): only then
// does a new one wake it, not during the tick it sleeps anyway.
bool timer_idle = false;
// Held by the timer thread while it completes what it took from the
// registry, so that an owner going away can wait for those completions.
std::mutex timer_completing;
std::atomic<std::thread::id> timer_thread_id{};

// Every removal from the registry goes through here (under timerl).
void left_registry(bool timed)
{
    if (timed)
        timed_live.fetch_sub(1, std::memory_order_relaxed);
}

void enter_registry(transaction_response *tr)
{
    bool wake = false;
    {
        orw::utils::scopelock guard(timerl);
        const bool timed = tr->timer();
        if (rmap_tx.emplace(tr, timed).second && timed)
            wake = timed_live.fetch_add(1, std::memory_order_relaxed) == 0;
    }
    if (wake) {
        std::lock_guard<std::mutex> guard(idle_m);
        if (timer_idle)
            idle_cv.notify_all();
    }
}

bool leave_registry(transaction_response *tr)
{
    orw::utils::scopelock guard(timerl);
    auto it = rmap_tx.find(tr);
    if (it == rmap_tx.end())
        return false;
    left_registry(it->second);
    rmap_tx.erase(it);
    return true;
}

} // namespace

transinfo global_transactions;
rmap_timer timer;

size_t live_transactions()
{
    orw::utils::scopelock guard(timerl);
    return rmap_tx.size();
}

size_t end_transactions(const void *owner, transaction_outcome why)
{
    std::vector<transaction_response *> mine;
    {
        orw::utils::scopelock guard(timerl);
        for (auto it = rmap_tx.begin(); it != rmap_tx.end();) {
            if (it->first->owner.load() == owner) {
                mine.push_back(it->first);
                left_registry(it->second);
                it = rmap_tx.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (transaction_response *tr : mine)
        tr->fail(why);
    // One the timer took out just before is being completed right now.
    if (timer_thread_id.load() != std::this_thread::get_id()) {
        std::lock_guard<std::mutex> wait_for_timer(timer_completing);
    }
    return mine.size();
}

void transinfo::released(uint16_t) {}

uint16_t transinfo::tid()
{
    ORW_SPW_TRACE(2, this, "trying to generate a tid");
    uint16_t t = transaction_id;
    for (unsigned tried = 0; tried < 0x10000; ++tried, ++t) {
        if (is_free(t)) {
            transaction_id = static_cast<uint16_t>(t + 1);
            ORW_SPW_TRACE(2, this, "transaction id %d", t);
            return t;
        }
    }
    ORW_SPW_TRACE(2, this, "no free transactions");
    throw new nofreetid();
}

void transinfo::seed(uint16_t s)
{
    if (user_handler)
        user_handler->seed(s);
    orw::utils::scopelock guard(tlock);
    transaction_id = s;
}

void transinfo::set_user_handler(transinfo *h)
{
    user_handler = h;
    if (h)
        en = true;
}

uint16_t transinfo::transaction(transaction_response *tr)
{
    ORW_SPW_TRACE(8, this, "creating a transaction for response %p", static_cast<void *>(tr));
    tr->timer_reset();
    uint16_t id;
    {
        orw::utils::scopelock guard(tlock);
        transinfo *t = user_handler ? user_handler : this;
        id = t->tid();
        if (!t->is_free(id))
            throw new nofreetid();
        t->rmap_transactions[id] = tr;
        ORW_SPW_TRACE(8, this, "transaction id is %04x for %p", id, static_cast<void *>(tr));
        tr->set_mid(this, id);
    }
    enter_registry(tr);
    return id;
}

transaction_response *transinfo::findi(uint16_t id)
{
    auto it = rmap_transactions.find(id);
    if (it == rmap_transactions.end())
        return nullptr;
    transaction_response *tr = it->second;
    rmap_transactions.erase(it);
    return tr;
}

transaction_response *transinfo::find(uint16_t id)
{
    ORW_SPW_TRACE(8, this, "Looking for transaction on %04x", id);
    transaction_response *tr;
    {
        orw::utils::scopelock guard(tlock);
        transinfo *t = user_handler ? user_handler : this;
        tr = t->findi(id);
        if (tr)
            t->released(id);
    }
    if (!tr)
        return nullptr;
    // Gone from the registry: the timer has already expired it.
    return leave_registry(tr) ? tr : nullptr;
}

size_t transinfo::live()
{
    orw::utils::scopelock guard(tlock);
    return (user_handler ? user_handler : this)->rmap_transactions.size();
}

void rmap_timer::start()
{
    if (running.load(std::memory_order_acquire))
        return; // the common case, without call_once's cost on every wait
    std::call_once(once, [this] {
        ORW_SPW_TRACE(2, this, "starting timer");
        running = true;
        timert = std::thread([this] { run(); });
        ORW_SPW_TRACE(2, this, "started timer");
    });
}

void rmap_timer::run()
{
    ORW_SPW_TRACE(2, this, "timer thread running");
    timer_thread_id = std::this_thread::get_id();
    std::vector<transaction_response *> due;
    while (running) {
        std::unique_lock<std::mutex> completing(timer_completing);
        {
            orw::utils::scopelock guard(timerl);
            for (auto it = rmap_tx.begin(); it != rmap_tx.end();) {
                ORW_SPW_TRACE(8, this, "checking timer %p", static_cast<void *>(it->first));
                if (it->first->expired()) {
                    due.push_back(it->first);
                    left_registry(it->second);
                    it = rmap_tx.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (transaction_response *tr : due)
            tr->timed_out();
        due.clear();
        completing.unlock();
        // Idle until a transaction with a time-out is live, then one whole
        // tick, so that a time-out of N still ends on the N-th tick.
        std::unique_lock<std::mutex> idle(idle_m);
        timer_idle = true;
        idle_cv.wait(idle, [this] { return !running || timed_live.load(std::memory_order_relaxed) != 0; });
        timer_idle = false;
        idle_cv.wait_for(idle, std::chrono::microseconds(timer_tick_us), [this] { return !running.load(); });
        ticks.fetch_add(1, std::memory_order_relaxed);
    }
    ORW_SPW_TRACE(2, this, "timer thread terminated");
}

rmap_timer::~rmap_timer()
{
    if (timert.joinable()) {
        ORW_SPW_TRACE(2, this, "timer is running");
        {
            std::lock_guard<std::mutex> guard(idle_m);
            running = false;
        }
        idle_cv.notify_all();
        timert.join();
    }
}

} // namespace orw::spacewire::rmap
