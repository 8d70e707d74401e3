// SPDX-License-Identifier: MIT
// The right to read a connection's stream, shared by its reader thread and
// the threads blocked on an RMAP reply. A waiter that finds nobody reading
// reads the stream itself and dispatches everything it reads (others'
// replies, raw packets, events) as the reader would, which spares a thread
// hand-off per round trip; the reader thread parks meanwhile and reads again
// once no waiter has been about for a moment.
#ifndef ORWIN_READ_TOKEN_HPP
#define ORWIN_READ_TOKEN_HPP

#include "Orwin.hpp"
#include "send_gate.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace orw::spacewire {

class read_token {
  public:
    explicit read_token(connection_t &ifc) : sends(ifc, ifc.write_lock), ifc(ifc) {}
    read_token(const read_token &) = delete;
    read_token &operator=(const read_token &) = delete;

    /** The reader thread's loop: reads and dispatches while the reader is
     *  enabled, only while it holds the token. Throws as read_stream(). */
    void reader_loop();
    /** Block until `s` is completed, reading the stream on this thread
     *  while nobody else reads it. */
    void wait(rmap::synchronous &s);

    /** The token of the connection an RMAP operation on this thread is
     *  about to wait for (null: none), taken so that it serves one wait. */
    static std::shared_ptr<read_token> take();
    /** The send gate of `ifc`, shared by its writers and its readers. */
    static send_gate &sends_of(connection_t &ifc) { return ifc.token->sends; }

    send_gate sends;
    /** Keeps the token of `ifc` from the start of an operation, while the
     *  connection is sure to exist; arm() makes the next wait on this thread
     *  one for it, until the scope ends. */
    class scope {
      public:
        explicit scope(connection_t *ifc);
        ~scope();
        scope(const scope &) = delete;
        scope &operator=(const scope &) = delete;
        void arm();

      private:
        std::shared_ptr<read_token> kept;
        std::shared_ptr<read_token> previous;
    };

  private:
    struct follower {
        rmap::synchronous *s;
        bool nudged = false;
    };

    bool take_for_reader(std::unique_lock<std::mutex> &lock);
    void lead(rmap::synchronous &s);
    bool read_and_dispatch();
    bool holds_input() const;
    void start_turn();
    void hand_on();
    void close();
    static bool done(rmap::synchronous &s);

    connection_t &ifc;
    std::mutex m;
    std::condition_variable reader_cv;
    bool held = false;                 // somebody reads the stream now
    bool open = false;                 // the reader thread runs and shares the token
    std::vector<follower *> followers; // waiters blocked while another reads
    std::chrono::steady_clock::time_point last_waiter{};
    std::exception_ptr handed; // a waiter's failed read, for the reader to end with
};

/** Makes `ifc` the connection whose reader runs on this thread (null: none);
 *  returns the one before. */
const connection_t *exchange_reading_connection(const connection_t *ifc);
/** The connection whose reader runs on this thread (null: none). */
const connection_t *reading_connection_here();

} // namespace orw::spacewire

#endif
