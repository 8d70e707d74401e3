// SPDX-License-Identifier: MIT
// orwin.Capture: a capture of every link of a recording unit into pcap or
// native files, with packet and byte counts per link.
#include "bindings.hpp"
#include "errors.hpp"

#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"
#include "capture_monitor.hpp"

#include <pybind11/stl.h>

#include <memory>

namespace orwin_py {

namespace {

class capture {
  public:
    capture(const std::string &address, const std::string &target, const std::string &format,
            uint32_t rotate_mib, const py::object &config, const py::object &waveforms)
    {
        if (format != "pcap" && format != "native")
            throw py::value_error("format must be \"pcap\" or \"native\"");
        std::string cfg_file = config.is_none() ? std::string() : py::str(config).cast<std::string>();
        std::string wf_dir = waveforms.is_none() ? std::string() : py::str(waveforms).cast<std::string>();
        py::gil_scoped_release nogil;
        if (format == "pcap")
            start(std::make_unique<tool::monitored<orw::trc::pcap_capture>>(address.c_str(), target.c_str(),
                                                                            0, rotate_mib),
                  cfg_file, wf_dir);
        else
            start(std::make_unique<tool::monitored<orw::trc::trc_capture>>(address.c_str(), target.c_str(), 0,
                                                                           rotate_mib),
                  cfg_file, wf_dir);
    }

    /** Stop, join and raise what ended the capture, once. */
    void stop()
    {
        if (!running)
            return;
        running = false;
        py::gil_scoped_release nogil;
        unit->stop();
        unit->wait();
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < unit->capture_files(); ++i)
            out.push_back(unit->capture_file(static_cast<int>(i)));
        return out;
    }
    py::dict stats() const
    {
        py::dict out;
        for (int l = 0; l < tool::links; ++l) {
            const tool::link_counts &c = (*counts)[l];
            uint64_t packets = c.packets.load(), bytes = c.bytes.load();
            if (packets || bytes) {
                py::dict d;
                d["packets"] = packets;
                d["bytes"] = bytes;
                out[py::int_(l)] = d;
            }
        }
        return out;
    }
    bool is_running() const { return running && unit->running; }

  private:
    template <class Capture>
    void start(std::unique_ptr<Capture> c, const std::string &cfg_file, const std::string &wf)
    {
        c->set_wf_dir(wf);
        if (c->live) {
            orw::trc::config cfg;
            if (!cfg_file.empty())
                cfg.load(cfg_file);
            else
                cfg.defaults(false, c->no_ports);
            c->set_config(&cfg);
        } else if (!cfg_file.empty()) {
            throw failure(failure_kind::error, Error_Set_Option_File,
                          "can't set capture config on live file");
        }
        c->start(1);
        counts = &c->counts;
        unit = std::move(c);
        running = true;
    }

    std::unique_ptr<orw::trc::capture> unit;
    const tool::link_counts (*counts)[tool::links] = nullptr;
    bool running = false;
};

} // namespace

void bind_capture(py::module_ &m)
{
    py::class_<capture>(m, "Capture", R"(A capture of every link of a recording unit.

Starts at once, into ``target``: pcap files (``format="pcap"``) or native
recordings (``format="native"``), rotated every ``rotate_mib`` MiB (0: one
file). ``config`` names a capture configuration file (default: every link);
``waveforms`` a directory for error waveforms (None: none are written).
A context manager: leaving it stops the capture and raises Error if the
capture failed.)")
        .def(py::init<const std::string &, const std::string &, const std::string &, uint32_t,
                      const py::object &, const py::object &>(),
             py::arg("address"), py::arg("target"), py::arg("format") = "pcap", py::arg("rotate_mib") = 0,
             py::arg("config") = py::none(), py::arg("waveforms") = py::none())
        .def("stop", &capture::stop, "Stop the capture and wait for it; raises Error if it failed.")
        .def_property_readonly("running", &capture::is_running, "True until it is stopped or has ended.")
        .def_property_readonly("files", &capture::files, "The finished files, in order.")
        .def_property_readonly("stats", &capture::stats,
                               "Per link that carried traffic: {link: {\"packets\": n, \"bytes\": n}}.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](capture &c, const py::object &type, const py::object &, const py::object &) {
            if (type.is_none()) {
                c.stop();
                return;
            }
            // Already leaving with an exception: stop without hiding it.
            try {
                c.stop();
            } catch (...) {
            }
        });
}

} // namespace orwin_py
