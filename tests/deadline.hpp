// SPDX-License-Identifier: MIT
// A watchdog for hang tests: a scope that outlives its limit ends the
// process with a message, so a regression fails instead of hanging CI.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

class deadline {
  public:
    deadline(std::chrono::milliseconds limit, const char *what)
    {
        watcher = std::thread([this, limit, what] {
            std::unique_lock<std::mutex> guard(m);
            if (!cv.wait_for(guard, limit, [this] { return done; })) {
                std::fprintf(stderr, "hang: %s did not end within %lld ms\n", what,
                             static_cast<long long>(limit.count()));
                std::fflush(stderr);
                std::_Exit(3);
            }
        });
    }
    ~deadline()
    {
        {
            std::lock_guard<std::mutex> guard(m);
            done = true;
        }
        cv.notify_all();
        watcher.join();
    }
    deadline(const deadline &) = delete;
    deadline &operator=(const deadline &) = delete;

  private:
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watcher;
};

// Milliseconds since `t0`.
inline long long ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
        .count();
}
