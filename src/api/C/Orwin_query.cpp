// SPDX-License-Identifier: MIT
// Unit queries: control-packet exchange with a module slot, register reads
// through the RAM-I/O module, the slot table, and the generic queries that
// dispatch on the unit family (variants in Orwin_query_Tor.cpp and
// Orwin_query_Vex.cpp).
#include "OrwinInternal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int max_register_read = 2048;
constexpr size_t register_reply_buffer = 2100;
constexpr int reply_search_packets = 10;
// A unit already busy on its links sends data between a command and its
// reply: the search passes over it for this long (and at least the packets
// above), rather than giving up after a fixed count.
constexpr int64_t reply_search_ms = 5000;

// True while a reply search that began at `start` and has seen `seen`
// packets may go on.
bool keep_searching(int64_t start, int seen)
{
    return seen < reply_search_packets || orw_monotonic_ms() - start < reply_search_ms;
}

} // namespace

ssize_t orw_read_reply(ORW *link, size_t buffer_length, uint32_t *type)
{
    for (;;) {
        // Bytes of the current special packet already went to an earlier
        // read: what follows is its tail.
        const bool tail = orw_rx_special_begun(&link->rx);
        ssize_t n = Orwin_read_packet_full(link, link->cmd_buffer, buffer_length, type, RETURN_SPECIAL_DATA);
        if (n < 0)
            return n;
        if (*type == Orwin_PART_SPECIAL)
            continue;
        if (tail && *type == Orwin_SPECIAL)
            *type = Orwin_PART_SPECIAL;
        return n;
    }
}

int orw_system_type_error() { return orw_set_error(Error_Unknown_System_Type, "System type not correct"); }

extern "C" int ram_io_read_bytes(Orwin handle, int address, void *buffer, int count)
{
    ORW *link = orw_link(handle);
    if (count > max_register_read || count < 0)
        return orw_set_error(Error_Request_Too_Large,
                             "asked to read more than supported number of bytes from ram");
    unsigned char request[7] = {
        static_cast<unsigned char>(link->ram_io),        0x00,
        static_cast<unsigned char>(link->current_port),  static_cast<unsigned char>(address >> 8),
        static_cast<unsigned char>(address),             static_cast<unsigned char>(count >> 8),
        static_cast<unsigned char>(count)};
    int rc = orw_send_command(link, request, sizeof request, true);
    if (rc < 0)
        return rc;
    if (buffer == nullptr)
        return 0;
    ssize_t reply = -1;
    const int64_t start = orw_monotonic_ms();
    for (int seen = 0; keep_searching(start, seen); ++seen) {
        uint32_t type = 0;
        ssize_t n = orw_read_reply(link, register_reply_buffer, &type);
        if (n < 0)
            return static_cast<int>(n);
        if (type == Orwin_SPECIAL) {
            reply = n;
            break;
        }
    }
    if (reply < 0)
        return orw_set_error(Error_Sequence_Error,
                             "Not received notification within the required number of packets");
    if (reply < count + 5)
        return orw_set_error(Error_Response_Too_Small, "Not enough data received");
    if (link->cmd_buffer[0] != link->ram_io || link->cmd_buffer[1] != 0)
        return orw_set_error(Error_Response_Mismatch, "Response does not match request");
    memmove(buffer, link->cmd_buffer + 5, static_cast<size_t>(count));
    return 0;
}

extern "C" int ram_io_get_int(Orwin handle, int address, int count)
{
    ORW *link = orw_link(handle);
    link->ram_io_int = 0;
    if (count > 4)
        return orw_set_error(Error_Request_Too_Large,
                             "asked to read more than supported number of bytes from ram");
    int rc = ram_io_read_bytes(link, address, link->cmd_buffer, count);
    if (rc < 0)
        return rc;
    int value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | link->cmd_buffer[i];
    link->ram_io_int = value;
    return 0;
}

extern "C" {

int Orwin_get_control_packet(Orwin handle, void *, size_t, int slot)
{
    ORW *link = orw_link(handle);
    link->cmd_buffer[0] = static_cast<unsigned char>(slot);
    int rc = orw_send_command(link, link->cmd_buffer, 1, true);
    if (rc < 0)
        return rc;
    const int64_t start = orw_monotonic_ms();
    uint32_t type = 0;
    ssize_t n = 0;
    for (int seen = 0; keep_searching(start, seen); ++seen) {
        n = orw_read_reply(link, ORW_CMD_BUFFER_SIZE, &type);
        // Only the unit's data is passed over; anything else is the answer.
        const bool data = type == Orwin_EOP || type == Orwin_EEP || type == Orwin_PART_EOP_EEP;
        if (n <= 0 || !data)
            break;
    }
    if (n <= 0 || type == Orwin_SPECIAL)
        return static_cast<int>(n);
    return orw_set_error(Error_Sequence_Error,
                         "Not received notification within the required number of packets");
}

int Orwin_get_module_slot(Orwin handle, int module)
{
    ORW *link = orw_link(handle);
    for (int slot = 1; slot < link->number_of_slots; ++slot)
        if (link->slot_content[slot] == module)
            return slot;
    return 0;
}

int Orwin_get_slot(Orwin handle, int i)
{
    ORW *link = orw_link(handle);
    int index = link->number_of_slots - 1 - i;
    if (index < 0 || index >= link->number_of_slots)
        return orw_set_error(Error_Function_Not_Supported, "slot is not in range");
    return link->slot_content[index];
}

int Orwin_get_module_type(Orwin handle, void *buffer)
{
    ORW *link = orw_link(handle);
    if (buffer == nullptr)
        return orw_set_error(Error_Function_Not_Supported, "slot is not in range");
    int slot = *static_cast<const unsigned char *>(buffer);
    if (slot >= link->number_of_slots)
        return orw_set_error(Error_Function_Not_Supported, "slot is not in range");
    return link->slot_content[slot];
}

int Orwin_get_number_of_links(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_number_of_links_Tor(link), Orwin_get_number_of_links_Vex(link),
                      Error_Unknown_System_Type)
}

char *Orwin_get_options_string(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_options_string_Tor(link), Orwin_get_options_string_Vex(link), nullptr)
}

char *Orwin_get_module_string(Orwin link, int module)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_module_string_Tor(link, module),
                      Orwin_get_module_string_Vex(link, module), nullptr)
}

char *Orwin_get_manufacturer_string(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_manufacturer_string_Tor(link),
                      Orwin_get_manufacturer_string_Vex(link), nullptr)
}

char *Orwin_get_product_string(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_product_string_Tor(link), Orwin_get_product_string_Vex(link), nullptr)
}

#ifndef ORWIN_EARLIER_BUILD
char *Orwin_get_device_description(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_device_description_Tor(link),
                      Orwin_get_device_description_Vex(link), nullptr)
}
#endif

int Orwin_get_HWA(Orwin link, unsigned char *hwa)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_HWA_Tor(link, hwa), Orwin_get_HWA_Vex(link, hwa),
                      Error_Unknown_System_Type)
}

int Orwin_link_connected(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_link_connected_Tor(link), Orwin_link_connected_Vex(link),
                      Error_Unknown_System_Type)
}

int Orwin_write_buffer_empty(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_write_buffer_empty_Tor(link), Orwin_write_buffer_empty_Vex(link),
                      Error_Unknown_System_Type)
}

int Orwin_get_receive_speed(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_get_receive_speed_Tor(link), Orwin_get_receive_speed_Vex(link),
                      Error_Unknown_System_Type)
}

#ifdef ORWIN_MACOS_BUILD
// The macOS build sends both status requests through its general request.
int Orwin_request_link_status(Orwin link) { return Orwin_request_stat(link, Orwin_MODULE_LINK, Orwin_LINK_address, 4); }

int Orwin_request_tx_speed(Orwin link)
{
    return Orwin_request_stat(link, Orwin_MODULE_LINK_SPEED, Orwin_TX_SPEED_address, 2);
}
#else
int Orwin_request_link_status(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_request_link_status_Tor(link), Orwin_request_link_status_Vex(link),
                      Error_Unknown_System_Type)
}
#endif

#ifndef ORWIN_EARLIER_BUILD
int Orwin_request_link_status_port(Orwin link, int port, int speed)
{
    ORWIN_DISPATCH_OR(link, Orwin_request_link_status_port_Tor(link, port, speed),
                      Orwin_request_link_status_port_Vex(link, port, speed), Error_Unknown_System_Type)
}
#endif

int Orwin_request_rx_speed(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_request_rx_speed_Tor(link), Orwin_request_rx_speed_Vex(link),
                      Error_Unknown_System_Type)
}

#ifndef ORWIN_MACOS_BUILD
int Orwin_request_tx_speed(Orwin link)
{
    ORWIN_DISPATCH_OR(link, Orwin_request_tx_speed_Tor(link), Orwin_request_tx_speed_Vex(link),
                      Error_Unknown_System_Type)
}
#endif

} // extern "C"
