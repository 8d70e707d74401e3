// SPDX-License-Identifier: MIT
// Vex-family queries: register reads through the RAM-I/O module and the
// asynchronous status requests whose replies arrive later in the stream.
#include "Orwin_family.h"

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

// One register byte of the current link, or a negative code.
int register_byte(ORW *link, int address)
{
    int rc = ram_io_get_int(link, address, 1);
    return rc < 0 ? rc : link->ram_io_int;
}

int queue_status_request(ORW *link, int tag, int port, int address, int count)
{
    unsigned char request[orw_vex_header_size];
    orw_vex_header(request, link, tag, port, address, count);
    return orw_send_command(link, request, sizeof request, false);
}

int status_request(ORW *link, int tag, int port, int address, int count)
{
    int rc = queue_status_request(link, tag, port, address, count);
    return rc < 0 ? rc : orw_flush_status_request(link);
}

} // namespace

int orw_flush_status_request(ORW *link)
{
    if (link->record_file)
        fflush(link->record_file);
    return Orwin_flush(link);
}

int orw_vex_count_links(ORW *link)
{
    return register_byte(link, Orwin_NLINKS_address);
}

int orw_vex_link_status(ORW *link)
{
    return register_byte(link, Orwin_LINK_address);
}

#ifdef ORWIN_MACOS_BUILD
int orw_vex_queue_status_request(ORW *link, int module, unsigned address, unsigned count)
{
    // Wider values would not fit the request's 16-bit fields.
    constexpr unsigned max_field = 0xFFFF;
    if (address > max_field)
        return orw_set_error(Error_Parameter_RangeIncorrect, "IFCaddress not in range");
    if (count > max_field)
        return orw_set_error(Error_Parameter_RangeIncorrect, "IFCbytes not in range");
    return queue_status_request(link, module, link->current_port, static_cast<int>(address),
                                static_cast<int>(count));
}
#endif

extern "C" {

int Orwin_get_number_of_links_Vex(Orwin link)
{
    return orw_get_number_of_links(&orw_vex_ops, link);
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

char *Orwin_get_product_string_Vex(Orwin handle)
{
    return description_field(handle, "Product", "?");
}

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

int Orwin_link_connected_Vex(Orwin link)
{
    return orw_link_connected(&orw_vex_ops, link);
}

int Orwin_write_buffer_empty_Vex(Orwin link)
{
    return orw_write_buffer_empty(&orw_vex_ops, link);
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

int Orwin_request_rx_speed_Vex(Orwin handle)
{
    return Orwin_request_link_status_Vex(handle);
}

int Orwin_request_tx_speed_Vex(Orwin handle)
{
    ORW *link = orw_link(handle);
    return status_request(link, tag_link_speed, link->current_port, Orwin_TX_SPEED_address, 2);
}

} // extern "C"
