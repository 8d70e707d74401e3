// SPDX-License-Identifier: MIT
#include "errors.hpp"
#include "bindings.hpp"

#include "Orwin.hpp"
#include "interruptible.hpp"

namespace orwin_py {

namespace {

// Owned by the module for the life of the interpreter.
struct exception_classes {
    py::object error, timeout, connection_lost, rmap_error, crc_error, invalid_reply;
};
exception_classes *classes = nullptr;

py::object class_of(failure_kind kind)
{
    switch (kind) {
    case failure_kind::timeout:
        return classes->timeout;
    case failure_kind::connection_lost:
        return classes->connection_lost;
    case failure_kind::rmap_status:
        return classes->rmap_error;
    case failure_kind::crc_error:
        return classes->crc_error;
    case failure_kind::invalid_reply:
        return classes->invalid_reply;
    case failure_kind::error:
        break;
    }
    return classes->error;
}

void raise(const py::object &cls, const py::object &instance)
{
    PyErr_SetObject(cls.ptr(), instance.ptr());
}

} // namespace

py::object exception_of(const failure &f)
{
    py::object cls = class_of(f.kind);
    if (f.kind == failure_kind::rmap_status)
        return cls(f.text, f.code, f.status,
                   orw::spacewire::rmap::status_text(static_cast<uint8_t>(f.status)));
    return cls(f.text, f.code);
}

void bind_errors(py::module_ &m)
{
    py::module_ defs = py::module_::import("orwin._errors");
    classes =
        new exception_classes{defs.attr("Error"),     defs.attr("Timeout"),  defs.attr("ConnectionLost"),
                              defs.attr("RmapError"), defs.attr("CrcError"), defs.attr("InvalidReply")};
    for (const char *name : {"Error", "Timeout", "ConnectionLost", "RmapError", "CrcError", "InvalidReply"})
        m.attr(name) = defs.attr(name);

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            std::rethrow_exception(p);
        } catch (python_interrupt &e) {
            e.restore();
        } catch (const failure &f) {
            raise(class_of(f.kind), exception_of(f));
        } catch (const orw::error &e) {
            const char *text = e.text() ? e.text() : "unknown error";
            py::object cls = e.get() == Error_Receiver_Timeout ? classes->timeout : classes->error;
            raise(cls, cls(text, e.get(), e.what()));
        } catch (const orw::spacewire::address_error &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

} // namespace orwin_py
