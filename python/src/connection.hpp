// SPDX-License-Identifier: MIT
// A connection as Python sees it: the SpaceWire-level connection, queues of
// received packets filled on its reader thread, and the lock that lets
// close() wait for the calls still using it.
#pragma once

#include "Orwin.hpp"

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace orwin_py {

namespace py = pybind11;

/** One received packet. */
struct packet {
    int link = 0;
    std::string data;
    bool eop = true;
};

/** Packets kept per link before the oldest are dropped. */
constexpr size_t queue_limit = 65536;

class connection_core;

/** Collects a link's packets, piece by piece, on the reader thread. */
class link_queue : public orw::spacewire::raw::handler {
  public:
    link_queue(connection_core &owner, int link) : owner(owner), link(link) {}
    void read_packet(unsigned char *data, size_t sz, int terminator) override;

  private:
    connection_core &owner;
    int link;
    std::string partial; // pieces of the packet still open
};

class connection_core {
  public:
    /** Opens and prepares the unit; the GIL is released by the caller. */
    connection_core(const std::string &address, double speed);
    ~connection_core();

    /** Holds the connection open for the life of one call. */
    class use {
      public:
        explicit use(connection_core &c);

      private:
        std::shared_lock<std::shared_mutex> held;

      public:
        orw::spacewire::connection_t &ifc;
    };

    void listen(int link);
    packet receive(int link, double timeout);
    void send(int link, const std::string &data, bool eop);
    void close();
    bool closed() const { return closing; }
    uint64_t dropped() const { return dropped_packets; }
    /** The failure that ended the reader, as the exception to raise; null while it runs. */
    const orw::error *lost() const { return ifc ? ifc->reader_error() : nullptr; }
    /** The connection has failed (its reader may still be ending). */
    bool is_lost() const { return ifc && ifc->is_lost(); }
    /** Calls `f(closed(), lost())` while close() cannot take the connection away. */
    template <class F> void with_state(F f)
    {
        std::shared_lock<std::shared_mutex> held(life);
        f(closed(), lost());
    }

    const std::string address;
    std::atomic<bool> closing{false};

  private:
    friend class link_queue;
    void deliver(packet &&p);

    std::unique_ptr<link_queue> queues[orw::spacewire::max_links];
    std::unique_ptr<orw::spacewire::connection_t> ifc;
    std::shared_mutex life;
    std::mutex listen_lock; // registration of the queues
    std::mutex qlock;       // the packets in them
    std::condition_variable qready;
    std::deque<packet> received[orw::spacewire::max_links];
    std::atomic<uint64_t> dropped_packets{0};
};

/** The bytes of a bytes-like object (bytes, bytearray, memoryview...). */
std::string bytes_of(const py::buffer &b);

[[noreturn]] void raise_lost(const orw::error &e);

} // namespace orwin_py
