// SPDX-License-Identifier: MIT
// The extension module orwin._orwin; the package orwin re-exports it.
#include "bindings.hpp"

PYBIND11_MODULE(_orwin, m)
{
    m.doc() = "Client library for Orwin interface units: SpaceWire packets, RMAP, CCSDS and captures.";
    m.attr("__version__") = ORWIN_PYTHON_VERSION;
    orwin_py::bind_errors(m);
    orwin_py::bind_connection(m);
    orwin_py::bind_async(m);
    orwin_py::bind_device(m);
    orwin_py::bind_simulator(m);
    orwin_py::bind_capture(m);
    orwin_py::bind_unit_info(m);
}
