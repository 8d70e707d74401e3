// SPDX-License-Identifier: MIT
// Failures reaching Python: the package's exception classes (defined in
// orwin/_errors.py) and the translation of the library's C++ exceptions.
#pragma once

#include "Orwin.hpp"

#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <string>
#include <type_traits>

namespace orwin_py {

namespace py = pybind11;

enum class failure_kind { error, timeout, connection_lost, rmap_status, crc_error, invalid_reply };

/** A failure raised as the orwin exception of its kind. */
struct failure : std::exception {
    failure(failure_kind kind, int code, std::string text, int status = 0)
        : kind(kind), code(code), text(std::move(text)), status(status)
    {
    }
    const char *what() const noexcept override { return text.c_str(); }

    failure_kind kind;
    int code;
    std::string text;
    int status; // RMAP reply status, for rmap_status
};

/** The orwin exception instance of `f` (the GIL is held). */
py::object exception_of(const failure &f);

/**
 * Runs `op`, turning the library's pointer-thrown RMAP exceptions into
 * failures (the objects are deleted).
 */
template <class Op> auto rmap_guarded(Op op) -> decltype(op())
{
    namespace rmap = orw::spacewire::rmap;
    auto refuse = [](auto *p) -> failure {
        std::unique_ptr<std::remove_pointer_t<decltype(p)>> owned(p);
        return failure(failure_kind::error, Error_Parameter_RangeIncorrect, owned->what());
    };
    try {
        return op();
    } catch (rmap::nofreetid *p) {
        throw refuse(p);
    } catch (rmap::transactionrequired *p) {
        throw refuse(p);
    } catch (rmap::toomuchrmwdata *p) {
        throw refuse(p);
    } catch (rmap::nosuchfile *p) {
        throw refuse(p);
    } catch (rmap::tidnotenabled *p) {
        throw refuse(p);
    }
}

} // namespace orwin_py
