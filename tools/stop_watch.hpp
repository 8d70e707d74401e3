// SPDX-License-Identifier: MIT
// Prompt stops for the tools: SIGINT and SIGTERM set a flag the tools poll,
// and a watch bounds the library calls that cannot be interrupted (connecting
// to a unit and negotiating with it) by a deadline and by those signals.
#ifndef ORWIN_TOOLS_STOP_WATCH_HPP
#define ORWIN_TOOLS_STOP_WATCH_HPP

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tool {

/** Set by SIGINT or SIGTERM once catch_stop_signals() has run. */
inline std::atomic<bool> &stop_requested()
{
    static std::atomic<bool> flag{false};
    return flag;
}

namespace detail {
extern "C" inline void on_stop_signal(int)
{
    stop_requested() = true;
}
} // namespace detail

inline void catch_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = detail::on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

/**
 * Runs `give_up` with a reason when `timeout_ms` pass (0: never), or
 * `grace_ms` after a stop signal, before done() is called. `give_up` reports
 * and ends the process: the calls being watched cannot be abandoned any
 * other way. The grace lets work that polls the stop flag end in order.
 */
class connect_watch {
  public:
    connect_watch(int timeout_ms, std::function<void(const std::string &)> give_up, int grace_ms = 0)
        : thread([this, timeout_ms, give_up, grace_ms] {
              using clock = std::chrono::steady_clock;
              const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
              auto stop_by = clock::time_point::max();
              std::unique_lock<std::mutex> guard(lock);
              while (!finished) {
                  if (stop_requested() && stop_by == clock::time_point::max())
                      stop_by = clock::now() + std::chrono::milliseconds(grace_ms);
                  if (clock::now() >= stop_by) {
                      give_up("interrupted");
                      return;
                  }
                  if (timeout_ms > 0 && clock::now() >= deadline) {
                      give_up("no answer within " + std::to_string(timeout_ms) + " ms");
                      return;
                  }
                  woken.wait_for(guard, std::chrono::milliseconds(20));
              }
          })
    {
    }
    ~connect_watch() { done(); }
    connect_watch(const connect_watch &) = delete;
    connect_watch &operator=(const connect_watch &) = delete;

    /** The watched calls have returned. */
    void done()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            finished = true;
        }
        woken.notify_all();
        if (thread.joinable())
            thread.join();
    }

  private:
    std::mutex lock;
    std::condition_variable woken;
    bool finished = false;
    std::thread thread;
};

} // namespace tool

#endif // ORWIN_TOOLS_STOP_WATCH_HPP
