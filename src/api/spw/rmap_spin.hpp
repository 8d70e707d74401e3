// SPDX-License-Identifier: MIT
// A waiter's brief spin before it blocks: a reply on loopback or a near
// link often arrives within microseconds, sooner than a sleeping thread is
// woken. Only as many threads spin as leave a core for the reader.
#ifndef ORWIN_RMAP_SPIN_HPP
#define ORWIN_RMAP_SPIN_HPP

#include <atomic>

namespace orw::spacewire::rmap {

/** Spin until `flag` is true or the spin budget is spent (then the caller
 *  blocks as usual). @return the flag's last value */
bool spin_until(const std::atomic<bool> &flag);
/** As above, until `ready(arg)` is true. */
bool spin_until(bool (*ready)(const void *arg), const void *arg);

} // namespace orw::spacewire::rmap

#endif
