// SPDX-License-Identifier: MIT
// Vex-family queries: register reads through the RAM-I/O module and the
// asynchronous status requests whose replies arrive later in the stream.
#include "OrwinInternal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int options_length = 32;
constexpr int description_length = 256;
// Only the first 255 of the 256 bytes read count as text.
constexpr size_t description_used = 255;
constexpr int hwa_length = 6;

// Request tags the unit echoes in its reply.
constexpr unsigned char tag_link_status = Orwin_MODULE_LINK;
constexpr unsigned char tag_link_speed = Orwin_MODULE_LINK_SPEED;

// Read the description text into `text` (terminated). Returns 0 or an error.
int read_description(ORW *link, char (&text)[description_length + 1])
{
    memset(text, 0, sizeof text);
    int rc = ram_io_read_bytes(link, Orwin_DESCRIPTION_address, text, description_length);
    text[description_used] = '\0';
    return rc;
}

char *description_field(Orwin handle, const char *token, const char *default_value)
{
    char text[description_length + 1];
    if (read_description(orw_link(handle), text) < 0)
        return nullptr;
    return orw_product_string(token, text, description_used, default_value);
}

// Read one link status byte of the current link. Returns it or an error.
int link_status_byte(ORW *link)
{
    int rc = ram_io_get_int(link, Orwin_LINK_address, 1);
    return rc < 0 ? rc : link->ram_io_int;
}

// Queue a status request, then flush the record file and the link so the
// reply is not held back on either side.
int status_request(ORW *link, unsigned char tag, int port, int address, int count)
{
    unsigned char request[7] = {static_cast<unsigned char>(link->ram_io),
                                tag,
                                static_cast<unsigned char>(port),
                                static_cast<unsigned char>(address >> 8),
                                static_cast<unsigned char>(address),
                                static_cast<unsigned char>(count >> 8),
                                static_cast<unsigned char>(count)};
    int rc = orw_send_command(link, request, sizeof request, false);
    if (rc < 0)
        return rc;
    if (link->record_file)
        fflush(link->record_file);
    return Orwin_flush(link);
}

} // namespace

extern "C" {

int Orwin_get_number_of_links_Vex(Orwin handle)
{
    ORW *link = orw_link(handle);
    if (link->number_of_links > 0)
        return link->number_of_links;
    int rc = ram_io_get_int(link, Orwin_NLINKS_address, 1);
    if (rc < 0)
        return rc;
    link->number_of_links = link->ram_io_int;
    return link->number_of_links;
}

char *Orwin_get_options_string_Vex(Orwin handle)
{
    char options[options_length + 1] = {};
    if (ram_io_read_bytes(handle, Orwin_OPTIONS_address, options, options_length) < 0)
        return nullptr;
    return strdup(options);
}

char *Orwin_get_module_string_Vex(Orwin handle, int)
{
    return description_field(handle, "Function", "?");
}

char *Orwin_get_manufacturer_string_Vex(Orwin handle)
{
    return description_field(handle, "Manufacturer", "Tarvik Limited");
}

char *Orwin_get_product_string_Vex(Orwin handle) { return description_field(handle, "Product", "?"); }

#ifndef ORWIN_EARLIER_BUILD
char *Orwin_get_device_description_Vex(Orwin handle)
{
    char text[description_length + 1];
    if (read_description(orw_link(handle), text) < 0)
        return nullptr;
    return strdup(text);
}
#endif

int Orwin_get_HWA_Vex(Orwin handle, unsigned char *hwa)
{
    unsigned char bytes[hwa_length];
    int rc = ram_io_read_bytes(handle, Orwin_HWA_address, bytes, hwa_length);
    if (rc < 0)
        return rc;
    if (hwa)
        memcpy(hwa, bytes, hwa_length);
    return 0;
}

int Orwin_link_connected_Vex(Orwin handle)
{
    int status = link_status_byte(orw_link(handle));
    if (status < 0)
        return status;
    return ((status >> LINK_state_offset) & 0x07) == SpaceWire_state_Run;
}

int Orwin_write_buffer_empty_Vex(Orwin handle)
{
    int status = link_status_byte(orw_link(handle));
    if (status < 0)
        return status;
    return (status & LINK_tx_buffer_empty) != 0;
}

int Orwin_get_receive_speed_Vex(Orwin handle)
{
    ORW *link = orw_link(handle);
    int rc = ram_io_get_int(link, Orwin_RX_SPEED_address, 2);
    return rc < 0 ? rc : link->ram_io_int;
}

int Orwin_request_link_status_Vex(Orwin handle)
{
    ORW *link = orw_link(handle);
    return status_request(link, tag_link_status, link->current_port, Orwin_LINK_address, 4);
}

#ifndef ORWIN_EARLIER_BUILD
int Orwin_request_link_status_port_Vex(Orwin handle, int port, int speed)
{
    // The link number travels in one byte.
    if (port < 0 || port > 255)
        return orw_set_error(Error_Parameter_RangeIncorrect, "port not in range");
    return status_request(orw_link(handle), tag_link_status, port, Orwin_LINK_address, speed ? 4 : 1);
}
#endif

int Orwin_request_rx_speed_Vex(Orwin handle) { return Orwin_request_link_status_Vex(handle); }

int Orwin_request_tx_speed_Vex(Orwin handle)
{
    ORW *link = orw_link(handle);
    return status_request(link, tag_link_speed, link->current_port, Orwin_TX_SPEED_address, 2);
}

} // extern "C"
