// SPDX-License-Identifier: MIT
// Tor-family queries: a one-byte special packet to a module's slot, answered
// by a special packet from that slot.
#include "Orwin_family.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int hwa_length = 6;
constexpr int hwa_reply_offset = 2;

int too_short()
{
    return orw_set_error(-1, "Not enough data received");
}

// Module string reply: byte 1 holds the character count L, then L two-byte
// characters, most significant byte first; the low bytes form the text.
char *module_string(ORW *link, int module)
{
    int n = orw_tor_module_reply(link, module, 2);
    if (n < 0)
        return nullptr;
    const unsigned char *reply = link->cmd_buffer;
    // A count larger than the reply would read past it: keep what arrived.
    int count = reply[1];
    if (count > (n - 2) / 2)
        count = (n - 2) / 2;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(count) + 1));
    if (text == nullptr) {
        orw_set_error(Error_Memory, "Unable to allocate memory");
        return nullptr;
    }
    for (int i = 0; i < count; ++i)
        text[i] = static_cast<char>(reply[3 + 2 * i]);
    text[count] = '\0';
    return text;
}

} // namespace

int orw_tor_module_reply(ORW *link, int module, int min_length)
{
    // Slot 0 would answer with the capability list, which no caller can use
    // as this module's reply.
    int slot = Orwin_get_module_slot(link, module);
    if (slot == 0)
        return orw_set_error(Error_Module_Not_Present, "module not present");
    int n = Orwin_get_control_packet(link, nullptr, 0, slot);
    if (n < 0)
        return n;
    if (n < min_length)
        return too_short();
    return n;
}

int orw_tor_request(ORW *link, int module)
{
    unsigned char slot = static_cast<unsigned char>(Orwin_get_module_slot(link, module));
    return orw_send_command(link, &slot, 1, true);
}

int orw_tor_count_links(ORW *link)
{
    if (Orwin_get_module_slot(link, Orwin_MODULE_CR) == 0)
        return 1;
    int n = orw_tor_module_reply(link, Orwin_MODULE_CR, 3);
    return n < 0 ? n : link->cmd_buffer[2];
}

int orw_tor_link_status(ORW *link)
{
    int n = orw_tor_module_reply(link, Orwin_MODULE_LINK, 2);
    return n < 0 ? n : link->cmd_buffer[1];
}

#ifdef ORWIN_MACOS_BUILD
int orw_tor_queue_status_request(ORW *link, int module, unsigned, unsigned)
{
    unsigned char slot = static_cast<unsigned char>(Orwin_get_module_slot(link, module));
    return orw_send_command(link, &slot, 1, false);
}
#endif

extern "C" {

int Orwin_get_number_of_links_Tor(Orwin link)
{
    return orw_get_number_of_links(&orw_tor_ops, link);
}

char *Orwin_get_options_string_Tor(Orwin)
{
    return strdup("");
}

char *Orwin_get_module_string_Tor(Orwin handle, int module)
{
    return module_string(orw_link(handle), module);
}

char *Orwin_get_manufacturer_string_Tor(Orwin handle)
{
    return module_string(orw_link(handle), Orwin_MODULE_MANUFACTURER);
}

char *Orwin_get_product_string_Tor(Orwin handle)
{
    return module_string(orw_link(handle), Orwin_MODULE_PRODUCT);
}

#ifndef ORWIN_EARLIER_BUILD
char *Orwin_get_device_description_Tor(Orwin handle)
{
    return module_string(orw_link(handle), Orwin_MODULE_PRODUCT);
}
#endif

int Orwin_get_HWA_Tor(Orwin handle, unsigned char *hwa)
{
    ORW *link = orw_link(handle);
    int n = orw_tor_module_reply(link, Orwin_MODULE_HWA, 0);
    if (n < 0)
        return orw_set_error(n, "error communicating with device");
    if (n < hwa_reply_offset + hwa_length)
        return orw_set_error(Error_Network_Format_Error, "not enough data to read hw address");
    if (hwa)
        memcpy(hwa, link->cmd_buffer + hwa_reply_offset, hwa_length);
    return 0;
}

int Orwin_link_connected_Tor(Orwin link)
{
    return orw_link_connected(&orw_tor_ops, link);
}

int Orwin_write_buffer_empty_Tor(Orwin link)
{
    return orw_write_buffer_empty(&orw_tor_ops, link);
}

int Orwin_get_receive_speed_Tor(Orwin handle)
{
    ORW *link = orw_link(handle);
    int n = orw_tor_module_reply(link, Orwin_MODULE_LINK, 4);
    if (n < 0)
        return n;
    return static_cast<int>(orw::wire::get_be16(link->cmd_buffer + 2));
}

int Orwin_request_link_status_Tor(Orwin handle)
{
    return orw_tor_request(orw_link(handle), Orwin_MODULE_LINK);
}

#ifndef ORWIN_EARLIER_BUILD
int Orwin_request_link_status_port_Tor(Orwin handle, int port, int)
{
    ORW *link = orw_link(handle);
    if (port != link->current_port) {
        int rc = Orwin_set_active_link_Tor(link, port);
        if (rc < 0)
            return rc;
    }
    return orw_tor_request(link, Orwin_MODULE_LINK);
}
#endif

int Orwin_request_rx_speed_Tor(Orwin handle)
{
    return Orwin_request_link_status_Tor(handle);
}

int Orwin_request_tx_speed_Tor(Orwin handle)
{
    return orw_tor_request(orw_link(handle), Orwin_MODULE_LINK_SPEED);
}

} // extern "C"
