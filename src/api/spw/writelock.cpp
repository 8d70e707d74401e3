// SPDX-License-Identifier: MIT
// writelock: the scope guard over a connection's write lock.
#include "Orwin.hpp"

namespace orw {
namespace spacewire {

writelock::writelock(connection_t *ifc_, bool lock_now) : ifc(ifc_)
{
    if (lock_now)
        acquire();
}

writelock::writelock(device_t *dev, bool lock_now) : writelock(dev->connection(), lock_now) {}

writelock::~writelock()
{
    release();
}

void writelock::acquire()
{
    if (locked)
        return;
    ifc->acquire_write_lock();
    locked = true;
}

void writelock::release()
{
    if (!locked)
        return;
    locked = false;
    ifc->release_write_lock();
}

} // namespace spacewire
} // namespace orw
