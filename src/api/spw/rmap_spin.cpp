// SPDX-License-Identifier: MIT
// Bounded spinning of RMAP waiters.
#include "rmap_spin.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace orw::spacewire::rmap {

namespace {

constexpr auto spin_budget = std::chrono::microseconds(50);
std::atomic<unsigned> spinners{0};

unsigned spinner_limit()
{
    static const unsigned limit = std::max(1u, std::thread::hardware_concurrency() - 1);
    return limit;
}

} // namespace

bool spin_until(bool (*ready)(const void *arg), const void *arg)
{
    if (spinners.fetch_add(1, std::memory_order_relaxed) >= spinner_limit()) {
        spinners.fetch_sub(1, std::memory_order_relaxed);
        return ready(arg);
    }
    const auto until = std::chrono::steady_clock::now() + spin_budget;
    bool set = false;
    // Yielding rather than pausing: on a loaded machine the reader that
    // brings the reply may be waiting for this very core.
    while (!(set = ready(arg)) && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    spinners.fetch_sub(1, std::memory_order_relaxed);
    return set;
}

bool spin_until(const std::atomic<bool> &flag)
{
    return spin_until(
        [](const void *f) {
            return static_cast<const std::atomic<bool> *>(f)->load(std::memory_order_acquire);
        },
        &flag);
}

} // namespace orw::spacewire::rmap
