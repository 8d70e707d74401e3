// SPDX-License-Identifier: MIT
// Commands sent close together leave the host in one send. The thread that
// ends a command under the connection's write lock may leave its flush to a
// thread bound to send soon: one already waiting for the write lock (it
// flushes its own command and everything queued before it), or, for a
// command that expects a reply, the thread reading the stream while it
// still dispatches bytes it holds (it flushes before it waits for more, and
// the reply cannot come before it reads again; it never waits for room on
// the socket, and what the socket does not take goes with the next flush or
// its next try). Whoever last lets go of the duty sends, so no command is
// stranded in the buffer.
#ifndef ORWIN_SEND_GATE_HPP
#define ORWIN_SEND_GATE_HPP

#include <atomic>
#include <mutex>

namespace orw::spacewire {

class connection_t;

class send_gate {
  public:
    send_gate(connection_t &ifc, std::mutex &write_lock) : ifc(ifc), write_lock(write_lock) {}
    send_gate(const send_gate &) = delete;
    send_gate &operator=(const send_gate &) = delete;

    /** Take and give back the write lock; giving it back sends what was
     *  left to send when nobody else will. */
    void lock();
    void unlock();
    /** With the write lock held, at the end of a packet: send the buffer now
     *  or leave it to a thread bound to send it. Throws as
     *  connection_t::flush when it sends. */
    void flush(bool reply_expected);

    /** The reader dispatches bytes it holds: commands may wait for it. */
    void reader_busy();
    /** The reader is about to wait for more bytes or stops reading: it sends
     *  what was left to it. Never throws; a failed send loses the
     *  connection. */
    void reader_idle();
    /** The buffer went with its connection: nothing is owed any more. */
    void forget() { owed.store(false); }

  private:
    void settle();
    void send_owed();

    connection_t &ifc;
    std::mutex &write_lock;
    std::atomic<unsigned> waiting{0}; // threads blocked on the write lock
    std::atomic<bool> owed{false};    // the buffer holds bytes whose flush was left
    std::atomic<bool> busy{false};    // the reader took on the flush
};

} // namespace orw::spacewire

#endif
