// SPDX-License-Identifier: MIT
// orwin-rmap speedtest: many reads or writes of one size to one address,
// one at a time or with several in flight, timed one by one.
#ifndef ORWIN_TOOLS_RMAP_SPEEDTEST_HPP
#define ORWIN_TOOLS_RMAP_SPEEDTEST_HPP

#include "Orwin.hpp"
#include "rmap_script.hpp"
#include "rmap_session.hpp"
#include "stop_watch.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tool {

struct speedtest_settings {
    std::string op = "read"; // read or write
    uint32_t address = 0;
    size_t size = 4;
    unsigned long count = 10000;
    unsigned long in_flight = 1; // 1: each operation waits for its reply
};

/** What a run came to: latencies of the completed operations, in seconds. */
struct speedtest_result {
    std::vector<double> latency;
    double seconds = 0;
    std::string failure;
    int code = 0;
};

namespace detail {

// Completions from the reader and timer threads, as slot numbers.
class completion_queue {
  public:
    void push(size_t slot)
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            done.push_back(slot);
        }
        woken.notify_one();
    }
    /** The next completed slot; false when a stop was asked for first. */
    bool pop(size_t &slot)
    {
        std::unique_lock<std::mutex> hold(lock);
        while (done.empty()) {
            if (stop_requested())
                return false;
            woken.wait_for(hold, std::chrono::milliseconds(100));
        }
        slot = done.front();
        done.pop_front();
        return true;
    }

  private:
    std::mutex lock;
    std::condition_variable woken;
    std::deque<size_t> done;
};

// Tells the queue which slot ended; the issuing thread never blocks on it.
class slot_signal : public orw::spacewire::rmap::synchronous {
  public:
    slot_signal(completion_queue &q, size_t n) : queue(q), slot(n) {}
    void wait() override {}
    void completed() override { queue.push(slot); }

  private:
    completion_queue &queue;
    size_t slot;
};

} // namespace detail

/** Runs the test on an open session; library failures are thrown. */
inline speedtest_result run_speedtest(rmap_session &s, const speedtest_settings &t)
{
    namespace rmap = orw::spacewire::rmap;
    using clock = std::chrono::steady_clock;
    speedtest_result out;
    out.latency.reserve(t.count);
    rmap_command c;
    c.op = t.op;
    c.address = t.address;
    c.size = t.size;
    if (t.op == "write")
        for (size_t i = 0; i < t.size; ++i)
            c.data.push_back(static_cast<uint8_t>(i));
    const clock::time_point begin = clock::now();
    auto seconds_since = [](clock::time_point from) {
        return std::chrono::duration<double>(clock::now() - from).count();
    };
    if (t.in_flight <= 1) {
        for (unsigned long i = 0; i < t.count && !stop_requested(); ++i) {
            const clock::time_point sent = clock::now();
            rmap_outcome r = s.run(c);
            if (!r.failure.empty()) {
                out.failure = r.failure;
                out.code = r.replied ? r.status : r.code;
                break;
            }
            out.latency.push_back(seconds_since(sent));
        }
        out.seconds = seconds_since(begin);
        return out;
    }

    const rmap_target &target = s.settings();
    const size_t slots = std::min<size_t>(t.in_flight, t.count);
    detail::completion_queue queue;
    std::vector<std::unique_ptr<detail::slot_signal>> signals;
    std::vector<std::unique_ptr<rmap::transaction_response>> responses;
    std::vector<clock::time_point> sent(slots);
    for (size_t i = 0; i < slots; ++i) {
        signals.emplace_back(new detail::slot_signal(queue, i));
        responses.emplace_back(new rmap::transaction_response(
            static_cast<uint32_t>((target.timeout_ms + 9) / 10), signals.back().get()));
        responses.back()->verbose(false);
    }
    const uint8_t flags = static_cast<uint8_t>((target.increment ? rmap::instr_increment : 0) |
                                               (target.verify ? rmap::instr_verify : 0));
    size_t live = 0;
    unsigned long issued = 0;
    auto issue = [&](size_t i) {
        sent[i] = clock::now();
        ++live;
        ++issued;
        try {
            if (t.op == "read")
                s.device().rmap_read(target.key, flags, target.ext, t.address, t.size, responses[i].get());
            else
                s.device().rmap_write(target.key, flags, target.ext, t.address, c.data.data(), c.data.size(),
                                      responses[i].get());
        } catch (...) {
            --live; // cancelled before it was sent, or already ended and queued
            throw;
        }
    };
    // A failure stops new operations; those in flight still end (by reply
    // or time-out) before their responses go.
    std::exception_ptr thrown;
    try {
        for (size_t i = 0; i < slots; ++i)
            issue(i);
    } catch (...) {
        thrown = std::current_exception();
    }
    size_t slot = 0;
    while (live > 0 && queue.pop(slot)) {
        --live;
        const rmap::transaction_response &r = *responses[slot];
        if (out.failure.empty()) {
            rmap_outcome o;
            describe(r, target.timeout_ms, o);
            if (o.failure.empty()) {
                out.latency.push_back(seconds_since(sent[slot]));
            } else {
                out.failure = o.failure;
                out.code = o.replied ? o.status : o.code;
            }
        }
        if (out.failure.empty() && !thrown && issued < t.count && !stop_requested()) {
            try {
                issue(slot);
            } catch (...) {
                thrown = std::current_exception();
            }
        }
    }
    out.seconds = seconds_since(begin);
    if (live > 0) {
        // Interrupted: the watch ends the process if these do not end soon.
        for (auto &r : responses)
            r->cancel();
    }
    if (thrown)
        std::rethrow_exception(thrown);
    return out;
}

/** Latency at quantile `q` (0..1) of sorted values, nearest rank. */
inline double quantile(const std::vector<double> &sorted, double q)
{
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

} // namespace tool

#endif // ORWIN_TOOLS_RMAP_SPEEDTEST_HPP
