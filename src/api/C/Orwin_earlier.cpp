// SPDX-License-Identifier: MIT
// Functions only the earlier C-only builds export: the block register write
// and, in the macOS build, the general status request.
#include "OrwinInternal.h"

namespace {
constexpr unsigned max_field = 0xFFFF;
}

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
    ORW *link = orw_link(handle);
    int rc;
    switch (link->system_type) {
    case SYSTEM_TYPE_Tor: {
        unsigned char slot = static_cast<unsigned char>(Orwin_get_module_slot(link, module));
        rc = orw_send_command(link, &slot, 1, false);
        break;
    }
    case SYSTEM_TYPE_Vex: {
        if (address > max_field)
            return orw_set_error(Error_Parameter_RangeIncorrect, "IFCaddress not in range");
        if (count > max_field)
            return orw_set_error(Error_Parameter_RangeIncorrect, "IFCbytes not in range");
        const unsigned char request[7] = {static_cast<unsigned char>(link->ram_io),
                                          static_cast<unsigned char>(module),
                                          static_cast<unsigned char>(link->current_port),
                                          static_cast<unsigned char>(address >> 8),
                                          static_cast<unsigned char>(address),
                                          static_cast<unsigned char>(count >> 8),
                                          static_cast<unsigned char>(count)};
        rc = orw_send_command(link, request, sizeof request, false);
        break;
    }
    default:
        return orw_system_type_error();
    }
    if (rc < 0)
        return rc;
    // The reply must not wait behind buffered bytes on either side.
    if (link->record_file)
        fflush(link->record_file);
    return Orwin_flush(link);
}
#endif

} // extern "C"
