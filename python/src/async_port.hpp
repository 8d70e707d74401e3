// SPDX-License-Identifier: MIT
// Asynchronous RMAP from asyncio: an operation returns a future of the
// running event loop, and its result reaches that loop without the library's
// threads ever waiting for the interpreter. The library's completion (on the
// reader or timer thread) only queues the result in the loop's mailbox and
// wakes the loop through an eventfd it watches; on the loop's own thread,
// with the GIL it already holds, the mailbox is drained and the futures set.
#pragma once

#include "connection.hpp"

#include <cstdint>
#include <memory>

namespace orwin_py {

class async_port;
struct mailbox;

/**
 * One asynchronous operation being issued (the GIL held at construction and
 * destruction): completion() goes to the library's call, made with the GIL
 * released; future() then hands out the awaitable. Dropped without
 * future() (the call threw), it forgets the operation.
 */
class async_call {
  public:
    /** @throws RuntimeError outside a running event loop, ValueError for a bad time-out */
    async_call(std::shared_ptr<connection_core> core, const char *what, long expected, double timeout);
    ~async_call();
    async_call(const async_call &) = delete;
    async_call &operator=(const async_call &) = delete;

    /** The library's time-out, in timer ticks. */
    const uint32_t ticks;
    /** The library's callback for this operation (needs no GIL). */
    orw::spacewire::rmap::completion completion() const;
    py::object future();

  private:
    py::object port_object;
    async_port *port;
    std::shared_ptr<mailbox> box;
    py::object fut;
    uint64_t id = 0;
    bool issued = false;
};

/** A future of the running loop that is already set to `value`. */
py::object ready_future(const py::object &value);

void bind_async(py::module_ &m);

} // namespace orwin_py
