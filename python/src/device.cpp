// SPDX-License-Identifier: MIT
#include "device.hpp"

#include "async_port.hpp"
#include "bindings.hpp"
#include "errors.hpp"
#include "rmap_outcome.hpp"

#include <pybind11/stl.h>

#include <cmath>

namespace orwin_py {

namespace {

// A command that finds the connection lost fails as that loss.
template <class Op> void on_node(connection_core &core, Op op)
{
    try {
        rmap_guarded(op);
    } catch (const orw::error &e) {
        if (core.is_lost())
            raise_lost(e);
        throw;
    }
}

} // namespace

namespace spw = orw::spacewire;
namespace rmap = orw::spacewire::rmap;

device::device(std::shared_ptr<connection_core> core_, int link, uint8_t dest, uint8_t key, uint8_t src,
               const std::string &path, const std::string &return_path)
    : link(link), dest(dest), key(key), core(std::move(core_))
{
    if (link < 0 || link >= spw::max_links)
        throw failure(failure_kind::error, Error_Invalid_Link, "link not present in device");
    connection_core::use u(*core);
    auto bytes = [](const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); };
    node.reset(path.empty() && return_path.empty()
                   ? u.ifc.device("node", "python", link, dest, src)
                   : u.ifc.device("node", "python", link, bytes(path), path.size(), bytes(return_path),
                                  return_path.size(), dest, src));
}

py::bytes device::read(uint32_t address, size_t size, double timeout, bool increment)
{
    rmap_response r(*core, timeout);
    {
        py::gil_scoped_release nogil;
        connection_core::use u(*core);
        on_node(*core,
                [&] { node->rmap_read(key, increment ? rmap::instr_increment : 0, 0, address, size, &r); });
        // While the connection is held: the reader's error belongs to it.
        check_outcome(r, "RMAP read", static_cast<long>(size));
    }
    return py::bytes(reinterpret_cast<const char *>(r.data.data()), r.data.size());
}

void device::read_loop(uint32_t address, size_t size, double timeout, size_t count)
{
    // As a C++ program reads: one library response, reused.
    rmap::synchronous_response r(static_cast<uint32_t>(std::ceil(timeout * 1e6 / rmap::timer_tick_us)));
    r.verbose(false);
    py::gil_scoped_release nogil;
    connection_core::use u(*core);
    for (size_t i = 0; i < count; ++i) {
        on_node(*core, [&] { node->rmap_read(key, rmap::instr_increment, 0, address, size, &r); });
        if (!r.ok() || r.status_code() != 0)
            throw failure(failure_kind::error, Error_Receiver_Timeout, "RMAP read failed");
    }
}

namespace {

uint8_t write_flags(bool verify, bool increment)
{
    return static_cast<uint8_t>((increment ? rmap::instr_increment : 0) | (verify ? rmap::instr_verify : 0));
}

void check_rmw(const std::string &d, const std::string &m)
{
    if (d.size() != m.size() || d.size() > 8)
        throw py::value_error("read-modify-write needs as many mask bytes as data bytes, at most 8");
}

const uint8_t *u8(const std::string &s)
{
    return reinterpret_cast<const uint8_t *>(s.data());
}

} // namespace

void device::write(uint32_t address, const py::buffer &data, double timeout, bool reply, bool verify,
                   bool increment)
{
    const std::string bytes = bytes_of(data);
    const auto *d = u8(bytes);
    const uint8_t flags = write_flags(verify, increment);
    rmap_response r(*core, timeout);
    {
        py::gil_scoped_release nogil;
        connection_core::use u(*core);
        on_node(*core, [&] {
            if (reply)
                node->rmap_write(key, flags, 0, address, d, bytes.size(), &r);
            else
                node->rmap_write_noreply(key, flags, 0, address, d, bytes.size());
        });
        if (reply)
            check_outcome(r, "RMAP write", -1);
    }
}

py::bytes device::rmw(uint32_t address, const py::buffer &data, const py::buffer &mask, double timeout)
{
    const std::string d = bytes_of(data), m = bytes_of(mask);
    check_rmw(d, m);
    rmap_response r(*core, timeout);
    {
        py::gil_scoped_release nogil;
        connection_core::use u(*core);
        on_node(*core, [&] { node->rmap_readmodifywrite(key, 0, address, u8(d), u8(m), d.size(), &r); });
        check_outcome(r, "RMAP read-modify-write", static_cast<long>(d.size()));
    }
    return py::bytes(reinterpret_cast<const char *>(r.data.data()), r.data.size());
}

// The command is sent before these return; a failure before or while sending
// raises at once, the outcome of the transaction comes through the future.
template <class Send> py::object device::issue_async(async_call &call, Send send)
{
    {
        py::gil_scoped_release nogil;
        connection_core::use u(*core);
        on_node(*core, [&] { send(call.completion()); });
    }
    return call.future();
}

py::object device::read_async(uint32_t address, size_t size, double timeout, bool increment)
{
    async_call call(core, "RMAP read", static_cast<long>(size), timeout);
    return issue_async(call, [&](rmap::completion done) {
        node->rmap_read_async(key, address, size, std::move(done), call.ticks,
                              increment ? rmap::instr_increment : 0);
    });
}

py::object device::write_async(uint32_t address, const py::buffer &data, double timeout, bool reply,
                               bool verify, bool increment)
{
    if (!reply) {
        py::object sent = ready_future(py::none());
        write(address, data, timeout, false, verify, increment);
        return sent;
    }
    const std::string bytes = bytes_of(data);
    async_call call(core, "RMAP write", -1, timeout);
    return issue_async(call, [&](rmap::completion done) {
        node->rmap_write_async(key, address, u8(bytes), bytes.size(), std::move(done), call.ticks,
                               write_flags(verify, increment));
    });
}

py::object device::rmw_async(uint32_t address, const py::buffer &data, const py::buffer &mask, double timeout)
{
    const std::string d = bytes_of(data), m = bytes_of(mask);
    check_rmw(d, m);
    async_call call(core, "RMAP read-modify-write", static_cast<long>(d.size()), timeout);
    return issue_async(call, [&](rmap::completion done) {
        node->rmap_rmw_async(key, address, u8(d), u8(m), d.size(), std::move(done), call.ticks);
    });
}

namespace {

// Fields of a secondary header given as a dict; anything else is refused.
struct secondary_fields {
    uint32_t time = 0;
    uint8_t fine = 0, time_id = 0, packet_type = 0, task_id = 0;
    bool checkword = false;
    uint16_t service_apid = 0;
};

secondary_fields secondary_of(const py::dict &d)
{
    secondary_fields f;
    for (auto item : d) {
        const std::string k = py::cast<std::string>(item.first);
        const py::handle v = item.second;
        if (k == "time")
            f.time = py::cast<uint32_t>(v);
        else if (k == "fine")
            f.fine = py::cast<uint8_t>(v);
        else if (k == "time_id")
            f.time_id = py::cast<uint8_t>(v);
        else if (k == "checkword")
            f.checkword = py::cast<bool>(v);
        else if (k == "packet_type")
            f.packet_type = py::cast<uint8_t>(v);
        else if (k == "service_apid")
            f.service_apid = py::cast<uint16_t>(v);
        else if (k == "task_id")
            f.task_id = py::cast<uint8_t>(v);
        else
            throw py::value_error("unknown secondary header field '" + k + "'");
    }
    return f;
}

void in_range(long v, long high, const char *what)
{
    if (v < 0 || v > high)
        throw py::value_error(std::string(what) + " must be 0.." + std::to_string(high));
}

} // namespace

void device::ccsds_send(uint16_t apid, const py::buffer &data, int type, int sequence_flags, int count,
                        int application, const py::object &secondary_header)
{
    in_range(apid, 0x7FF, "apid");
    in_range(type, 1, "type");
    in_range(sequence_flags, 3, "sequence_flags");
    in_range(count, 0x3FFF, "count");
    in_range(application, 255, "application");
    const bool with_secondary = !secondary_header.is_none();
    const secondary_fields sec =
        with_secondary ? secondary_of(secondary_header.cast<py::dict>()) : secondary_fields{};
    const std::string bytes = bytes_of(data);
    py::gil_scoped_release nogil;
    connection_core::use u(*core);
    std::lock_guard<std::mutex> guard(ccsds_lock);
    node->ccsds_header(0, type != 0, apid, static_cast<uint8_t>(sequence_flags),
                       static_cast<uint16_t>(count));
    if (with_secondary)
        node->ccsds_secondary_header(sec.time, sec.fine, sec.time_id, sec.checkword, 0, sec.packet_type, 0,
                                     sec.service_apid, 0, sec.task_id);
    node->ccsds_user_data(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    node->ccsds_send(static_cast<uint8_t>(application), 0);
}

} // namespace orwin_py

namespace orwin_py {

void bind_device(py::module_ &m)
{
    py::class_<device, std::shared_ptr<device>>(m, "Device",
                                                R"(A remote SpaceWire node behind one link of a Connection.

Made by Connection.device(). RMAP operations wait for their reply with the
GIL released; any number of threads may use one device or connection.)")
        .def_readonly("link", &device::link, "Link of the unit the node is reached by.")
        .def_readonly("dest", &device::dest, "The node's logical address.")
        .def_readonly("key", &device::key, "RMAP key sent with every command.")
        .def("read", &device::read, py::arg("address"), py::arg("size"), py::arg("timeout") = 1.0,
             py::arg("increment") = true,
             R"(Read ``size`` bytes of the node's memory from ``address``.

Raises Timeout when no reply came within ``timeout`` seconds, RmapError for
a reply with a non-zero status, ConnectionLost, CrcError or InvalidReply.)")
        .def("write", &device::write, py::arg("address"), py::arg("data"), py::arg("timeout") = 1.0,
             py::arg("reply") = true, py::arg("verify") = false, py::arg("increment") = true,
             R"(Write ``data`` to the node's memory at ``address``.

With ``reply`` (the default) waits for the reply and raises as read() does;
without it returns once the command is sent.)")
        .def("rmw", &device::rmw, py::arg("address"), py::arg("data"), py::arg("mask"),
             py::arg("timeout") = 1.0,
             R"(Read-modify-write of up to 8 bytes at ``address``: bits set in ``mask``
take the value of ``data``. Returns the data read before the write.)")
        .def("read_async", &device::read_async, py::arg("address"), py::arg("size"), py::arg("timeout") = 1.0,
             py::arg("increment") = true,
             R"(As read(), without waiting: sends the command and returns an asyncio
future of the running event loop, which the reply sets (or the exception
read() would raise). Any number may be in flight; call it from a coroutine.)")
        .def("write_async", &device::write_async, py::arg("address"), py::arg("data"),
             py::arg("timeout") = 1.0, py::arg("reply") = true, py::arg("verify") = false,
             py::arg("increment") = true,
             "As write(), returning a future of the running event loop as read_async() does.")
        .def("rmw_async", &device::rmw_async, py::arg("address"), py::arg("data"), py::arg("mask"),
             py::arg("timeout") = 1.0,
             "As rmw(), returning a future of the running event loop as read_async() does.")
        .def("ccsds_send", &device::ccsds_send, py::arg("apid"), py::arg("data"), py::arg("type") = 0,
             py::arg("sequence_flags") = 3, py::arg("count") = 0, py::arg("application") = 0,
             py::arg("secondary_header") = py::none(),
             R"(Send a CCSDS space packet to the node (SpaceWire protocol identifier 2).

``type`` 1 marks a telecommand; ``secondary_header`` is None or a dict of
``time``, ``fine``, ``time_id``, ``checkword``, ``packet_type``,
``service_apid`` and ``task_id`` (missing fields are 0).)")
        .def("_read_loop", &device::read_loop, py::arg("address"), py::arg("size"), py::arg("timeout"),
             py::arg("count"), "Read ``count`` times without returning to Python (benchmark baseline).")
        .def("__repr__", [](const device &d) {
            return "<orwin.Device link " + std::to_string(d.link) + " dest " + std::to_string(d.dest) + ">";
        });
}

} // namespace orwin_py
