// SPDX-License-Identifier: MIT
#include "interruptible.hpp"

#include <pybind11/pybind11.h>

#include <cmath>

namespace orwin_py {

python_interrupt::python_interrupt()
{
    PyErr_Fetch(&type, &value, &traceback);
}

python_interrupt::python_interrupt(python_interrupt &&other) noexcept
    : type(other.type), value(other.value), traceback(other.traceback)
{
    other.type = other.value = other.traceback = nullptr;
}

python_interrupt::~python_interrupt()
{
    // Normally restored; one dropped on the way must still release its error.
    if (type || value || traceback) {
        pybind11::gil_scoped_acquire gil;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
}

void python_interrupt::restore()
{
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
}

void throw_if_interrupted()
{
    pybind11::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0)
        throw python_interrupt();
}

std::chrono::steady_clock::time_point deadline_after(double seconds)
{
    if (!(seconds > 0) || !std::isfinite(seconds) || seconds > 86400.0)
        throw pybind11::value_error("timeout must be a positive number of seconds (at most a day)");
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(seconds));
}

} // namespace orwin_py
