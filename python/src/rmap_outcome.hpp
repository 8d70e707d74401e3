// SPDX-License-Identifier: MIT
// One RMAP transaction made from Python: its response, which waits without
// the GIL, lets Ctrl-C through and notices a closed or lost connection; and
// the mapping of its outcome to the exception raised.
#pragma once

#include "connection.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace orwin_py {

class rmap_response : public orw::spacewire::rmap::transaction_response {
  public:
    /** A reply is awaited for `timeout` seconds (timer ticks of 10 ms). */
    rmap_response(connection_core &core, double timeout);
    ~rmap_response() override;

    void timedout() override { timed_out = true; }
    void write_reply(uint8_t) override {}
    void read_reply(uint8_t, const uint8_t *d, uint32_t sz) override { data.assign(d, d + sz); }
    void read_modify_write_reply(uint8_t, const uint8_t *d, uint32_t sz) override { data.assign(d, d + sz); }

    std::vector<uint8_t> data;
    bool timed_out = false;
    bool closed = false;
    const orw::error *lost = nullptr;
    const double seconds;
    /** The connection's reader error, once it has ended. */
    const orw::error *core_lost() const { return core.lost(); }

  private:
    class waiter : public orw::spacewire::rmap::synchronous {
      public:
        explicit waiter(rmap_response &owner) : owner(owner) {}
        void wait() override;
        bool interruptible = true;

      private:
        rmap_response &owner;
    };
    /** Leave the transaction unfinished: cancel it without waiting interruptibly. */
    void abandon();

    connection_core &core;
    std::chrono::steady_clock::time_point deadline;
    waiter sync_waiter;
};

/**
 * Raises the exception for a finished transaction, or returns for a good
 * reply. `expected` is the number of data bytes the reply must carry (-1
 * when it carries none). check_result() below is the one place where
 * outcomes become exceptions.
 */
void check_outcome(const rmap_response &r, const char *what, long expected);

/** The same for a result the library delivered, with the connection's
 *  reader error `lost` (null while it runs) and the time-out in `seconds`. */
void check_result(orw::spacewire::rmap::transaction_outcome outcome, uint8_t status, size_t size,
                  double seconds, const orw::error *lost, const char *what, long expected);

/** Timer ticks for a time-out of `seconds`; refuses one that is not positive. */
uint32_t timeout_ticks(double seconds);

} // namespace orwin_py
