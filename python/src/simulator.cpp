// SPDX-License-Identifier: MIT
// orwin.Simulator: the project's unit simulator in this process, on a free
// loopback port, for tests that need no hardware.
#include "bindings.hpp"
#include "connection.hpp"
#include "errors.hpp"
#include "interruptible.hpp"

#include "orwin_unitsim.hpp"

#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

namespace orwin_py {

namespace sim = orw::unitsim;

namespace {

class simulator {
  public:
    simulator(const std::string &family, int links, const std::vector<std::pair<int, int>> &wire,
              const std::vector<int> &echo, const py::object &rmap_targets, const py::object &recording_unit,
              const std::vector<int> &ccsds)
    {
        sim::family kind;
        if (family == "vex")
            kind = sim::family::vex;
        else if (family == "tor")
            kind = sim::family::tor;
        else
            throw py::value_error("family must be \"vex\" or \"tor\"");
        sim::config cfg = recording_unit.is_none()
                              ? sim::config{}
                              : sim::recording_unit(recording_unit.cast<std::string>(), kind);
        cfg.kind = kind;
        cfg.links = links;
        for (const auto &w : wire) {
            cfg.wiring[w.first] = w.second;
            cfg.wiring[w.second] = w.first;
        }
        for (int l : echo)
            cfg.nodes[l] = sim::node_kind::echo;
        for (int l : ccsds)
            cfg.nodes[l] = sim::node_kind::ccsds;
        if (!rmap_targets.is_none())
            for (auto item : rmap_targets.cast<py::dict>())
                cfg.rmap_targets[item.first.cast<int>()] = target_of(item.second.cast<py::dict>());
        py::gil_scoped_release nogil;
        try {
            unit = std::make_shared<sim::simulator>(cfg);
        } catch (const std::runtime_error &e) {
            throw py::value_error(e.what());
        }
    }

    /** The simulator, kept alive for a call that may outlast a close() from another thread. */
    std::shared_ptr<sim::simulator> get() const
    {
        std::shared_ptr<sim::simulator> held = unit;
        if (!held)
            throw failure(failure_kind::error, Error_NO_Connection, "simulator is closed");
        return held;
    }
    void close()
    {
        std::shared_ptr<sim::simulator> last = std::move(unit);
        py::gil_scoped_release nogil;
        last.reset();
    }
    bool closed() const { return !unit; }

  private:
    static sim::rmap_target_config target_of(const py::dict &d)
    {
        sim::rmap_target_config t;
        for (auto item : d) {
            const std::string k = item.first.cast<std::string>();
            const py::handle v = item.second;
            if (k == "key")
                t.key = v.cast<uint8_t>();
            else if (k == "memory_size")
                t.memory_size = v.cast<uint32_t>();
            else if (k == "logical_address")
                t.logical_address = v.cast<uint8_t>();
            else if (k == "base_address")
                t.base_address = v.cast<uint32_t>();
            else if (k == "reply_delay_ms")
                t.reply_delay_ms = v.cast<int>();
            else if (k == "drop_replies")
                t.drop_replies = v.cast<bool>();
            else if (k == "damage_replies")
                t.damage_replies = v.cast<bool>();
            else
                throw py::value_error("unknown RMAP target setting '" + k + "'");
        }
        return t;
    }

    std::shared_ptr<sim::simulator> unit;
};

py::bytes as_bytes(const std::vector<uint8_t> &v)
{
    return py::bytes(reinterpret_cast<const char *>(v.data()), v.size());
}

std::vector<uint8_t> vector_of(const py::buffer &b)
{
    std::string s = bytes_of(b);
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

void bind_simulator(py::module_ &m)
{
    py::class_<simulator>(m, "Simulator", R"(The unit simulator, in this process on a free loopback port.

``wire`` is pairs of links wired to each other (a packet sent on one
arrives on the other); ``echo`` links with an echo node (it sends every
packet back with the first and third bytes swapped); ``ccsds`` links with
a CCSDS node; ``rmap_targets`` a dict ``{link: {"key": int,
"memory_size": int}}`` of RMAP target nodes (also ``logical_address``,
``base_address``, ``reply_delay_ms``, ``drop_replies``, ``damage_replies``);
``recording_unit`` a product name such as "TRC-8" makes it a recording
unit that captures accept. Without ``wire``, links pair up 1-2, 3-4...
A context manager; close() stops it.)")
        .def(py::init<const std::string &, int, const std::vector<std::pair<int, int>> &,
                      const std::vector<int> &, const py::object &, const py::object &,
                      const std::vector<int> &>(),
             py::arg("family") = "vex", py::arg("links") = 6,
             py::arg("wire") = std::vector<std::pair<int, int>>(), py::arg("echo") = std::vector<int>(),
             py::arg("rmap_targets") = py::none(), py::arg("recording_unit") = py::none(),
             py::arg("ccsds") = std::vector<int>())
        .def_property_readonly(
            "address", [](simulator &s) { return s.get()->address(); },
            "\"127.0.0.1:PORT\", for Connection and the others.")
        .def_property_readonly(
            "port", [](simulator &s) { return s.get()->port(); }, "The TCP port it listens on.")
        .def_property_readonly("closed", &simulator::closed, "True once close() was called.")
        .def(
            "memory",
            [](simulator &s, int link, uint32_t address, size_t size) {
                return as_bytes(s.get()->rmap_memory(link, address, size));
            },
            py::arg("link"), py::arg("address"), py::arg("size"),
            "Bytes of the memory of the RMAP target on ``link``.")
        .def(
            "set_memory",
            [](simulator &s, int link, uint32_t address, const py::buffer &data) {
                s.get()->set_rmap_memory(link, address, vector_of(data));
            },
            py::arg("link"), py::arg("address"), py::arg("data"),
            "Set bytes of the memory of the RMAP target on ``link``.")
        .def(
            "set_drop_replies",
            [](simulator &s, int link, bool drop) { s.get()->set_rmap_drop_replies(link, drop); },
            py::arg("link"), py::arg("drop") = true,
            "Make the RMAP target on ``link`` execute commands without replying.")
        .def(
            "set_reply_delay",
            [](simulator &s, int link, int ms) { s.get()->set_rmap_reply_delay(link, ms); }, py::arg("link"),
            py::arg("ms"), "Delay the replies of the RMAP target on ``link`` by ``ms`` milliseconds.")
        .def(
            "emit_packet",
            [](simulator &s, int link, const py::buffer &data, bool eop) {
                auto bytes = vector_of(data);
                auto unit = s.get();
                py::gil_scoped_release nogil;
                unit->emit_packet(link, bytes, !eop);
            },
            py::arg("link"), py::arg("data"), py::arg("eop") = true,
            "Send ``data`` to clients as received on ``link``.")
        .def(
            "generate",
            [](simulator &s, size_t count, size_t size, const std::vector<int> &links) {
                sim::traffic t;
                t.count = count;
                t.sizes = {size};
                t.links = links;
                auto unit = s.get();
                py::gil_scoped_release nogil;
                return unit->generate(t);
            },
            py::arg("count"), py::arg("size") = 64, py::arg("links") = std::vector<int>(),
            R"(Send ``count`` numbered packets of ``size`` bytes as received on each of
``links`` (default: every link) to every connected client; returns the
packets sent per link.)")
        .def(
            "wait_for_clients",
            [](simulator &s, size_t n, double timeout) {
                deadline_after(timeout);
                auto unit = s.get();
                py::gil_scoped_release nogil;
                return unit->wait_for_clients(n, static_cast<int>(timeout * 1000));
            },
            py::arg("n") = 1, py::arg("timeout") = 5.0, "True once ``n`` clients are connected at once.")
        .def(
            "ccsds_received",
            [](simulator &s, int link) {
                py::list out;
                for (const auto &p : s.get()->ccsds_received(link)) {
                    py::dict d;
                    d["apid"] = p.apid;
                    d["type"] = p.telecommand ? 1 : 0;
                    d["sequence_flags"] = p.sequence_flags;
                    d["count"] = p.sequence_count;
                    d["application"] = p.application;
                    d["secondary_header"] =
                        p.has_secondary
                            ? py::object(py::bytes(reinterpret_cast<const char *>(p.secondary.data()),
                                                   p.secondary.size()))
                            : py::none();
                    d["data"] = as_bytes(p.user_data);
                    d["well_formed"] = p.well_formed;
                    out.append(d);
                }
                return out;
            },
            py::arg("link"), "CCSDS packets the CCSDS node on ``link`` received, decoded, oldest first.")
        .def(
            "set_link_up", [](simulator &s, int link, bool up) { s.get()->set_link_up(link, up); },
            py::arg("link"), py::arg("up") = true, "Bring ``link`` up or down.")
        .def(
            "drop_connections",
            [](simulator &s) {
                auto unit = s.get();
                py::gil_scoped_release nogil;
                unit->drop_connections();
            },
            "Close every client connection, as a unit that went away would.")
        .def("close", &simulator::close, "Stop the simulator; closing twice does nothing.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](simulator &s, const py::object &, const py::object &, const py::object &) { s.close(); })
        .def("__repr__", [](simulator &s) {
            return s.closed() ? std::string("<orwin.Simulator closed>")
                              : "<orwin.Simulator " + s.get()->address() + ">";
        });
}

} // namespace orwin_py
