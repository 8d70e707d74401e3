// SPDX-License-Identifier: MIT
#include "async_port.hpp"

#include "bindings.hpp"
#include "errors.hpp"
#include "rmap_outcome.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orwin_py {

namespace rmap = orw::spacewire::rmap;

/** Results on their way to one loop; filled on any thread, drained on the loop's. */
struct mailbox {
    using item = std::pair<uint64_t, rmap::result>;

    mailbox() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (fd < 0)
            throw failure(failure_kind::error, Error_IO_Error, "no event descriptor for the asyncio loop");
    }
    ~mailbox() { ::close(fd); }
    mailbox(const mailbox &) = delete;
    mailbox &operator=(const mailbox &) = delete;

    void post(uint64_t id, rmap::result &&r)
    {
        bool wake;
        {
            std::lock_guard<std::mutex> guard(m);
            wake = done.empty(); // otherwise a wake-up is on its way already
            done.emplace_back(id, std::move(r));
        }
        if (wake) {
            const uint64_t one = 1;
            while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }

    std::vector<item> take()
    {
        // Consumed before the swap: a result posted after it wakes the loop again.
        uint64_t count;
        while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::vector<item> out;
        std::lock_guard<std::mutex> guard(m);
        out.swap(done);
        return out;
    }

    const int fd;

  private:
    std::mutex m;
    std::vector<item> done;
};

/** The operations in flight for one event loop (used with the GIL held). */
class async_port {
  public:
    struct pending {
        py::object future;
        std::shared_ptr<connection_core> core;
        const char *what;
        long expected;
        double seconds;
    };

    async_port() : box(std::make_shared<mailbox>()) {}

    uint64_t expect(pending p)
    {
        waiting.emplace(++last, std::move(p));
        return last;
    }
    void forget(uint64_t id) { waiting.erase(id); }

    /** Sets the future of every result that came. */
    void drain()
    {
        for (auto &done : box->take()) {
            auto it = waiting.find(done.first);
            if (it == waiting.end())
                continue;
            pending p = std::move(it->second);
            waiting.erase(it);
            try {
                if (!p.future.attr("done")().cast<bool>()) // else cancelled by whoever awaited it
                    settle(p, done.second);
            } catch (py::error_already_set &e) {
                e.discard_as_unraisable("orwin: completing an RMAP future");
            }
        }
    }

    const std::shared_ptr<mailbox> box;

  private:
    static void settle(const pending &p, const rmap::result &r)
    {
        try {
            p.core->with_state([&](bool closed, const orw::error *lost) {
                if (closed && r.outcome == rmap::transaction_outcome::cancelled)
                    throw failure(failure_kind::error, Error_NO_Connection,
                                  std::string(p.what) + ": connection closed while waiting");
                check_result(r.outcome, r.status, r.data.size(), p.seconds, lost, p.what, p.expected);
            });
        } catch (const failure &f) {
            p.future.attr("set_exception")(exception_of(f));
            return;
        }
        if (p.expected < 0)
            p.future.attr("set_result")(py::none());
        else
            p.future.attr("set_result")(
                py::bytes(reinterpret_cast<const char *>(r.data.data()), r.data.size()));
    }

    std::unordered_map<uint64_t, pending> waiting;
    uint64_t last = 0;
};

namespace {

// Owned by the module for the life of the interpreter.
struct loop_glue {
    py::object get_running_loop, ports, port_type;
};
loop_glue *glue = nullptr;

py::object running_loop()
{
    return glue->get_running_loop();
}

// The port of `loop`, made and watched by the loop on first use; it lives as
// long as the loop does.
py::object port_of(const py::object &loop)
{
    py::object port = glue->ports.attr("get")(loop);
    if (port.is_none()) {
        port = glue->port_type();
        loop.attr("add_reader")(port.cast<async_port &>().box->fd, port.attr("_drain"));
        glue->ports[loop] = port;
    }
    return port;
}

} // namespace

async_call::async_call(std::shared_ptr<connection_core> core, const char *what, long expected, double timeout)
    : ticks(timeout_ticks(timeout))
{
    py::object loop = running_loop();
    port_object = port_of(loop);
    port = &port_object.cast<async_port &>();
    box = port->box;
    fut = loop.attr("create_future")();
    id = port->expect({fut, std::move(core), what, expected, timeout});
}

async_call::~async_call()
{
    if (!issued)
        port->forget(id);
}

rmap::completion async_call::completion() const
{
    return [box = box, id = id](rmap::result r) { box->post(id, std::move(r)); };
}

py::object async_call::future()
{
    issued = true;
    return fut;
}

py::object ready_future(const py::object &value)
{
    py::object f = running_loop().attr("create_future")();
    f.attr("set_result")(value);
    return f;
}

void bind_async(py::module_ &m)
{
    py::class_<async_port>(m, "_AsyncPort", "Completions of asynchronous RMAP operations for one event loop.")
        .def(py::init<>())
        .def("_drain", &async_port::drain, "Set the futures of the results that came.");
    glue = new loop_glue{py::module_::import("asyncio").attr("get_running_loop"),
                         py::module_::import("weakref").attr("WeakKeyDictionary")(), m.attr("_AsyncPort")};
}

} // namespace orwin_py
