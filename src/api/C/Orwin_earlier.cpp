// SPDX-License-Identifier: MIT
// Functions only the earlier C-only builds export: the block register write
// and, in the macOS build, the general status request.
#include "Orwin_family.h"

extern "C" {

int ram_io_write_bytes(Orwin handle, int port, int address, const void *buffer, int count)
{
    // Fields that do not fit the header would frame another write.
    int rc = orw_vex_block_check(port, address, buffer, count);
    if (rc < 0)
        return rc;
    ORW *link = orw_link(handle);
    if (orw_vex_block_write(link, port, address, buffer, count) != 0)
        return -1;
    return link->auto_flush == 1 ? Orwin_flush(link) : 0;
}

#ifdef ORWIN_MACOS_BUILD
int Orwin_request_stat(Orwin handle, int module, unsigned address, unsigned count)
{
    const orw_family_ops *ops = orw_family(handle);
    if (ops == nullptr)
        return Error_Unknown_System_Type;
    ORW *link = orw_link(handle);
    int rc = ops->queue_status_request(link, module, address, count);
    return rc < 0 ? rc : orw_flush_status_request(link);
}
#endif

} // extern "C"
