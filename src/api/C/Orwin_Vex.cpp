// Vex-family commands: register writes through the RAM-I/O module and link
// selection by extension.
#include "OrwinInternal.h"

#include <unistd.h>

namespace {
constexpr useconds_t settle_time_us = 5000;
}

int orw_vex_write(ORW *link, int port, int address, const unsigned char *data, int count)
{
    unsigned char packet[7 + 2];
    packet[0] = static_cast<unsigned char>(link->ram_io);
    packet[1] = 0x00;
    packet[2] = static_cast<unsigned char>(port);
    packet[3] = static_cast<unsigned char>(address >> 8);
    packet[4] = static_cast<unsigned char>(address);
    packet[5] = static_cast<unsigned char>(0x80 | ((count >> 8) & 0x7F));
    packet[6] = static_cast<unsigned char>(count);
    for (int i = 0; i < count && i < 2; ++i)
        packet[7 + i] = data[i];
    return Orwin_sendPacket(link, packet, 0, static_cast<size_t>(7 + count), Orwin_SPECIAL);
}

int orw_flush_auto(ORW *link) { return link->auto_flush ? Orwin_flush(link) : 0; }

int orw_flush_settle(ORW *link)
{
    if (link->auto_flush) {
        int rc = Orwin_flush(link);
        if (rc < 0)
            return rc;
    }
    int rc = Orwin_flush(link);
    usleep(settle_time_us); // the unit applies the setting before the next command
    return rc;
}

extern "C" {

int Orwin_set_active_link_Vex(Orwin handle, int n)
{
    ORW *link = orw_link(handle);
    if (n < 0 || n > link->number_of_links)
        return orw_set_error(Error_Invalid_Link, "link not present in device");
    int rc = Orwin_write_EXTN(link, 0x40 + n);
    if (rc < 0)
        return rc;
    link->current_port = n;
    return 0;
}

int Orwin_set_mode_Vex(Orwin handle, int mode)
{
    ORW *link = orw_link(handle);
    link->partialframesz = 0;
    unsigned char value = static_cast<unsigned char>(mode);
    int rc = orw_vex_write(link, link->current_port, Orwin_LINK_address, &value, 1);
    if (rc < 0)
        return rc;
    return orw_flush_settle(link);
}

} // extern "C"
