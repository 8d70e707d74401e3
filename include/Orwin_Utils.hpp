// SPDX-License-Identifier: MIT
// Orwin_Utils.hpp - error types, the recursive lock and the buffer saver
// shared by the object layers.
#ifndef ORWIN_UTILS_HPP
#define ORWIN_UTILS_HPP

#include "Orwin_Export.h"

#include <cstddef>
#include <exception>
#include <mutex>
#include <string>

namespace orw {

/**
 * A call of the C interface failed. `code` is its negative error code, `txt`
 * its static error text (not copied), `err` the errno of the moment.
 */
class ORWIN_API error : public std::exception {
  public:
    /** Records the current errno as the operating-system error. */
    error(const std::string &addr, int code, const char *txt);
    error(const std::string &addr, int code, const char *txt, int oserr);

    const std::string &name() const { return addr; }
    int get() const { return code; }
    int oserr() const { return err; }
    const char *text() const { return txt; }
    /** "<addr>: error <code>: <text>" */
    const char *what() const noexcept override { return message.c_str(); }

    std::string addr;
    int code;
    int err;
    const char *txt;

  private:
    std::string message;
};

namespace spacewire {

/** An invalid SpaceWire address byte `v`; `txt` is a static text. */
class ORWIN_API address_error : public std::exception {
  public:
    address_error(const char *text, int value) : txt(text), v(value) {}
    const char *text() const { return txt; }
    int value() const { return v; }
    const char *what() const noexcept override { return txt ? txt : "address error"; }

    const char *txt;
    int v;
};

namespace utils {

/**
 * Write `header` (may be empty) and then `data` to a new file.
 * @return true on failure (the file is then removed), false when all was
 *         written.
 */
ORWIN_API bool save(const std::string &file, const void *data, size_t size, const void *header,
                    size_t header_size);

} // namespace utils
} // namespace spacewire

namespace utils {

/** A recursive mutex: the owning thread may acquire it again. */
class ORWIN_API lock {
  public:
    lock() = default;
    lock(const lock &) = delete;
    lock &operator=(const lock &) = delete;

    void acquire()
    {
        // Held for a few table operations at a time: a short spin is far
        // cheaper than sleeping and being woken.
        for (int spin = 0; spin < spin_tries; ++spin) {
            if (l.try_lock())
                return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        l.lock();
    }
    void release()
    {
        l.unlock();
    }

    std::recursive_mutex l;

  private:
    static constexpr int spin_tries = 64;
};

/** Holds a lock for the lifetime of the guard, exceptions included. */
class ORWIN_API scopelock {
  public:
    explicit scopelock(lock &target) : held(target) { held.acquire(); }
    ~scopelock() { held.release(); }
    scopelock(const scopelock &) = delete;
    scopelock &operator=(const scopelock &) = delete;

  private:
    lock &held;
};

} // namespace utils
} // namespace orw

#endif // ORWIN_UTILS_HPP
