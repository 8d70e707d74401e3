// SPDX-License-Identifier: MIT
// The parts of the extension module, each bound by its own function.
#pragma once

#include <pybind11/pybind11.h>

namespace orwin_py {

namespace py = pybind11;

void bind_errors(py::module_ &m);
void bind_connection(py::module_ &m);
void bind_device(py::module_ &m);
void bind_async(py::module_ &m);
void bind_simulator(py::module_ &m);
void bind_capture(py::module_ &m);
void bind_unit_info(py::module_ &m);

} // namespace orwin_py
