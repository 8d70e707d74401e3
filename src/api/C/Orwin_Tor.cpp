// Tor-family commands: special packets addressed to a module's slot.
#include "OrwinInternal.h"

int orw_tor_command(ORW *link, int slot, const unsigned char *data, int count, bool flush)
{
    unsigned char packet[3];
    packet[0] = static_cast<unsigned char>(slot);
    for (int i = 0; i < count && i < 2; ++i)
        packet[1 + i] = data[i];
    return Orwin_sendPacket(link, packet, 0, static_cast<size_t>(1 + count),
                            Orwin_SPECIAL | (flush ? Orwin_FLUSH : 0));
}

extern "C" {

int Orwin_set_active_link_Tor(Orwin handle, int n)
{
    ORW *link = orw_link(handle);
    int slot = Orwin_get_module_slot(link, Orwin_MODULE_CR);
    if (slot == 0) {
        if (n != 1)
            return orw_set_error(Error_Module_Not_Present, "cr module not present");
    } else {
        unsigned char value = static_cast<unsigned char>(n);
        int rc = orw_tor_command(link, slot, &value, 1, false);
        if (rc < 0)
            return rc;
    }
    link->current_port = n;
    return 0;
}

int Orwin_set_mode_Tor(Orwin handle, int mode)
{
    ORW *link = orw_link(handle);
    unsigned char value = static_cast<unsigned char>(mode);
    return orw_tor_command(link, Orwin_get_module_slot(link, Orwin_MODULE_LINK), &value, 1, false);
}

} // extern "C"
