// SPDX-License-Identifier: MIT
// Bounded waits with the GIL released that a signal handler raising in
// Python (Ctrl-C) ends: the wait is cut into short slices, and between them
// the GIL is taken just long enough to run pending signal handlers.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace orwin_py {

/** Longest stretch between two looks at pending signals. */
constexpr std::chrono::milliseconds signal_slice{50};

/** A Python exception raised by a signal handler during a wait; carried
 *  out of the wait and set again once the GIL is back. */
class python_interrupt : public std::exception {
  public:
    /** Takes the current Python error; the GIL is held. */
    python_interrupt();
    python_interrupt(python_interrupt &&other) noexcept;
    python_interrupt(const python_interrupt &) = delete;
    ~python_interrupt() override;
    /** Sets the error again; the GIL is held. */
    void restore();
    const char *what() const noexcept override { return "interrupted"; }

  private:
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
};

/** Called without the GIL: runs pending signal handlers and throws
 *  python_interrupt when one raised. */
void throw_if_interrupted();

/**
 * Waits on `cv` with `guard` locked until `ready()` or `deadline`; the GIL
 * must be released. @return ready()
 * @throws python_interrupt (with `guard` locked again)
 */
template <class Ready>
bool wait_interruptibly(std::unique_lock<std::mutex> &guard, std::condition_variable &cv,
                        std::chrono::steady_clock::time_point deadline, Ready ready)
{
    while (!ready()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        cv.wait_until(guard, std::min(deadline, now + signal_slice));
        if (!ready()) {
            guard.unlock();
            try {
                throw_if_interrupted();
            } catch (...) {
                guard.lock();
                throw;
            }
            guard.lock();
        }
    }
    return true;
}

/** `seconds` from now; refuses waits that are not positive and finite. */
std::chrono::steady_clock::time_point deadline_after(double seconds);

} // namespace orwin_py
