// SPDX-License-Identifier: MIT
#include "connection.hpp"

#include "errors.hpp"
#include "interruptible.hpp"

#include <pybind11/stl.h>

namespace orwin_py {

namespace spw = orw::spacewire;

void link_queue::read_packet(unsigned char *data, size_t sz, int terminator)
{
    partial.append(reinterpret_cast<const char *>(data), sz);
    if (terminator != orw::connection::EOP && terminator != orw::connection::EEP)
        return;
    owner.deliver(packet{link, std::move(partial), terminator == orw::connection::EOP});
    partial.clear();
}

connection_core::connection_core(const std::string &address, double speed)
    : address(address), ifc(std::make_unique<spw::connection_t>(address, speed))
{
}

connection_core::~connection_core()
{
    close();
}

namespace {

spw::connection_t &open_one(connection_core &c, const std::unique_ptr<spw::connection_t> &ifc)
{
    if (c.closing || !ifc)
        throw failure(failure_kind::error, Error_NO_Connection, "connection is closed");
    // Operations after the unit went away fail as the loss they are.
    if (const orw::error *e = c.lost())
        raise_lost(*e);
    return *ifc;
}

} // namespace

connection_core::use::use(connection_core &c) : held(c.life), ifc(open_one(c, c.ifc)) {}

void connection_core::deliver(packet &&p)
{
    {
        std::lock_guard<std::mutex> guard(qlock);
        auto &q = received[p.link];
        if (q.size() >= queue_limit) {
            q.pop_front();
            ++dropped_packets;
        }
        q.push_back(std::move(p));
    }
    qready.notify_all();
}

void connection_core::listen(int link)
{
    if (link < 0 || link >= spw::max_links)
        throw failure(failure_kind::error, Error_Invalid_Link, "link not present in device");
    use u(*this);
    std::lock_guard<std::mutex> guard(listen_lock);
    if (queues[link])
        return;
    queues[link] = std::make_unique<link_queue>(*this, link);
    u.ifc.register_generic(static_cast<uint8_t>(link), queues[link].get());
}

packet connection_core::receive(int link, double timeout)
{
    auto deadline = deadline_after(timeout);
    listen(link);
    use u(*this);
    std::unique_lock<std::mutex> guard(qlock);
    auto &q = received[link];
    wait_interruptibly(guard, qready, deadline, [&] { return !q.empty() || closing || lost(); });
    if (!q.empty()) {
        packet p = std::move(q.front());
        q.pop_front();
        return p;
    }
    if (closing)
        throw failure(failure_kind::error, Error_NO_Connection, "connection is closed");
    if (const orw::error *e = lost())
        raise_lost(*e);
    throw failure(failure_kind::timeout, Error_Receiver_Timeout,
                  "no packet on link " + std::to_string(link) + " within the time-out");
}

void connection_core::send(int link, const std::string &data, bool eop)
{
    if (link < 0 || link >= spw::max_links)
        throw failure(failure_kind::error, Error_Invalid_Link, "link not present in device");
    use u(*this);
    spw::writelock guard(&u.ifc);
    u.ifc.writeport(link, data.data(), data.size(), eop ? orw::connection::EOP : orw::connection::EEP);
    int rc = Orwin_flush(u.ifc.handle());
    if (rc < 0)
        throw orw::error(address, rc, Orwin_get_error_text());
}

void connection_core::close()
{
    closing = true;
    qready.notify_all();
    std::unique_lock<std::shared_mutex> held(life);
    // The reader stops with the connection, before the queues it fills go.
    ifc.reset();
    for (auto &q : queues)
        q.reset();
}

std::string bytes_of(const py::buffer &b)
{
    py::buffer_info info = b.request();
    if (info.ndim > 1 && !(info.strides.empty() || info.strides.back() == info.itemsize))
        throw py::value_error("data must be contiguous");
    return std::string(static_cast<const char *>(info.ptr), static_cast<size_t>(info.size * info.itemsize));
}

void raise_lost(const orw::error &e)
{
    throw failure(failure_kind::connection_lost, e.get(),
                  std::string("connection lost: ") + (e.text() ? e.text() : "read failed"));
}

} // namespace orwin_py

#include "bindings.hpp"
#include "device.hpp"

namespace orwin_py {

namespace {

std::shared_ptr<connection_core> open_connection(const std::string &address, double speed)
{
    py::gil_scoped_release nogil;
    return std::make_shared<connection_core>(address, speed);
}

std::string to_string(const py::object &b)
{
    return b.is_none() ? std::string() : bytes_of(b.cast<py::buffer>());
}

} // namespace

void bind_connection(py::module_ &m)
{
    py::class_<packet>(m, "Packet", "A packet received on a link.")
        .def_readonly("link", &packet::link, "Link it arrived on.")
        .def_property_readonly(
            "data", [](const packet &p) { return py::bytes(p.data); }, "Its bytes, as received.")
        .def_readonly("eop", &packet::eop, "True when it ended with EOP, False for EEP.")
        .def("__repr__", [](const packet &p) {
            return "<orwin.Packet link " + std::to_string(p.link) + ", " + std::to_string(p.data.size()) +
                   " bytes, " + (p.eop ? "EOP" : "EEP") + ">";
        });

    py::class_<connection_core, std::shared_ptr<connection_core>>(
        m, "Connection",
        R"(A connection to a unit at the SpaceWire level.

Opening prepares every link at ``speed`` Mbit/s. One reader thread serves
RMAP replies and fills a packet queue for every link that receive() has
been called on or listen() named. Use it as a context manager, or call
close(); methods may be called from several threads at once.)")
        .def(py::init(&open_connection), py::arg("address"), py::arg("speed") = 100.0,
             "Open the unit at ``address`` (\"host[:port]\").")
        .def_readonly("address", &connection_core::address, "The address it was opened with.")
        .def(
            "device",
            [](const std::shared_ptr<connection_core> &c, int link, uint8_t dest, uint8_t key,
               const py::object &path, const py::object &return_path, uint8_t src) {
                std::string p = to_string(path), rp = to_string(return_path);
                py::gil_scoped_release nogil;
                return std::make_shared<device>(c, link, dest, key, src, p, rp);
            },
            py::arg("link"), py::arg("dest") = 0xFE, py::arg("key") = 0, py::arg("path") = py::bytes(),
            py::arg("return_path") = py::bytes(), py::arg("src") = 0x67,
            R"(A remote node behind ``link``: logical address ``dest``, RMAP ``key``;
``path`` bytes (0-31) go before ``dest``, replies come back along
``return_path`` (at most 12 bytes) to the logical address ``src``.
Raises Error for a link that is not connected.)")
        .def(
            "send",
            [](connection_core &c, int link, const py::buffer &data, bool eop) {
                std::string bytes = bytes_of(data);
                py::gil_scoped_release nogil;
                c.send(link, bytes, eop);
            },
            py::arg("link"), py::arg("data"), py::arg("eop") = true,
            "Send ``data`` as one packet on ``link``, ended by EOP (or EEP when ``eop`` is False).")
        .def(
            "listen",
            [](connection_core &c, int link) {
                py::gil_scoped_release nogil;
                c.listen(link);
            },
            py::arg("link"),
            R"(Start queueing every packet that arrives on ``link`` (receive() does
this too, but packets that came before are not kept). The link's traffic
then goes to the queue only, RMAP replies included.)")
        .def(
            "receive",
            [](connection_core &c, int link, double timeout) {
                py::gil_scoped_release nogil;
                return c.receive(link, timeout);
            },
            py::arg("link"), py::arg("timeout") = 1.0,
            "The next packet received on ``link``; raises Timeout when none came within ``timeout`` seconds.")
        .def_property_readonly("dropped", &connection_core::dropped,
                               "Packets dropped because a link's queue was full (65,536 packets).")
        .def_property_readonly("closed", &connection_core::closed, "True once close() was called.")
        .def(
            "close",
            [](connection_core &c) {
                py::gil_scoped_release nogil;
                c.close();
            },
            "Close the connection; calls still waiting end with Error. Closing twice does nothing.")
        .def("__enter__", [](const std::shared_ptr<connection_core> &c) { return c; })
        .def("__exit__",
             [](connection_core &c, const py::object &, const py::object &, const py::object &) {
                 py::gil_scoped_release nogil;
                 c.close();
             })
        .def("__repr__", [](const connection_core &c) {
            return "<orwin.Connection " + c.address + (c.closed() ? " closed>" : ">");
        });
}

} // namespace orwin_py
