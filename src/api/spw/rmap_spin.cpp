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

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

} // namespace

bool spin_until(const std::atomic<bool> &flag)
{
    if (spinners.fetch_add(1, std::memory_order_relaxed) >= spinner_limit()) {
        spinners.fetch_sub(1, std::memory_order_relaxed);
        return flag.load(std::memory_order_acquire);
    }
    const auto until = std::chrono::steady_clock::now() + spin_budget;
    bool set = false;
    for (unsigned n = 1;; ++n) {
        if ((set = flag.load(std::memory_order_acquire)))
            break;
        relax();
        if (n % 64 == 0 && std::chrono::steady_clock::now() >= until)
            break;
    }
    spinners.fetch_sub(1, std::memory_order_relaxed);
    return set;
}

} // namespace orw::spacewire::rmap
