// SPDX-License-Identifier: MIT
// Unit queries: control-packet exchange with a module slot, register reads
// through the RAM-I/O module, the slot table, and the generic queries that
// call through the operations table of the link's family (variants in
// Orwin_query_Tor.cpp and Orwin_query_Vex.cpp).
#include "Orwin_family.h"

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

const orw_family_ops *orw_family(Orwin link)
{
    switch (orw_link(link)->system_type) {
    case SYSTEM_TYPE_Tor:
        return &orw_tor_ops;
    case SYSTEM_TYPE_Vex:
        return &orw_vex_ops;
    default:
        orw_set_error(Error_Unknown_System_Type, "System type not correct");
        return nullptr;
    }
}

int orw_get_number_of_links(const orw_family_ops *ops, Orwin handle)
{
    if (ops == nullptr)
        return Error_Unknown_System_Type;
    ORW *link = orw_link(handle);
    if (link->number_of_links > 0)
        return link->number_of_links;
    int n = ops->count_links(link);
    if (n < 0)
        return n;
    link->number_of_links = n;
    return n;
}

namespace {

// The current link's status byte, or a negative code.
int link_status(const orw_family_ops *ops, Orwin link)
{
    return ops ? ops->link_status(orw_link(link)) : Error_Unknown_System_Type;
}

} // namespace

int orw_link_connected(const orw_family_ops *ops, Orwin link)
{
    int status = link_status(ops, link);
    return status < 0 ? status : ((status >> LINK_state_offset) & 0x07) == SpaceWire_state_Run;
}

int orw_write_buffer_empty(const orw_family_ops *ops, Orwin link)
{
    int status = link_status(ops, link);
    return status < 0 ? status : (status & LINK_tx_buffer_empty) != 0;
}

extern "C" int ram_io_read_bytes(Orwin handle, int address, void *buffer, int count)
{
    ORW *link = orw_link(handle);
    if (count > max_register_read || count < 0)
        return orw_set_error(Error_Request_Too_Large,
                             "asked to read more than supported number of bytes from ram");
    unsigned char request[7] = {static_cast<unsigned char>(link->ram_io),
                                0x00,
                                static_cast<unsigned char>(link->current_port),
                                static_cast<unsigned char>(address >> 8),
                                static_cast<unsigned char>(address),
                                static_cast<unsigned char>(count >> 8),
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
    if (reply < count + static_cast<ssize_t>(orw::wire::ram_reply::data))
        return orw_set_error(Error_Response_Too_Small, "Not enough data received");
    if (link->cmd_buffer[0] != link->ram_io || link->cmd_buffer[1] != 0)
        return orw_set_error(Error_Response_Mismatch, "Response does not match request");
    memmove(buffer, link->cmd_buffer + orw::wire::ram_reply::data, static_cast<size_t>(count));
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
    link->ram_io_int = static_cast<int>(orw::wire::get_be(link->cmd_buffer, static_cast<size_t>(count)));
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
    return orw_get_number_of_links(orw_family(link), link);
}

char *Orwin_get_options_string(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::get_options_string, nullptr);
}

char *Orwin_get_module_string(Orwin link, int module)
{
    return orw_dispatch(link, &orw_family_ops::get_module_string, nullptr, module);
}

char *Orwin_get_manufacturer_string(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::get_manufacturer_string, nullptr);
}

char *Orwin_get_product_string(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::get_product_string, nullptr);
}

#ifndef ORWIN_EARLIER_BUILD
char *Orwin_get_device_description(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::get_device_description, nullptr);
}
#endif

int Orwin_get_HWA(Orwin link, unsigned char *hwa)
{
    return orw_dispatch(link, &orw_family_ops::get_HWA, Error_Unknown_System_Type, hwa);
}

int Orwin_link_connected(Orwin link)
{
    return orw_link_connected(orw_family(link), link);
}

int Orwin_write_buffer_empty(Orwin link)
{
    return orw_write_buffer_empty(orw_family(link), link);
}

int Orwin_get_receive_speed(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::get_receive_speed, Error_Unknown_System_Type);
}

#ifdef ORWIN_MACOS_BUILD
// The macOS build sends both status requests through its general request.
int Orwin_request_link_status(Orwin link)
{
    return Orwin_request_stat(link, Orwin_MODULE_LINK, Orwin_LINK_address, 4);
}

int Orwin_request_tx_speed(Orwin link)
{
    return Orwin_request_stat(link, Orwin_MODULE_LINK_SPEED, Orwin_TX_SPEED_address, 2);
}
#else
int Orwin_request_link_status(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::request_link_status, Error_Unknown_System_Type);
}

int Orwin_request_tx_speed(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::request_tx_speed, Error_Unknown_System_Type);
}
#endif

#ifndef ORWIN_EARLIER_BUILD
int Orwin_request_link_status_port(Orwin link, int port, int speed)
{
    return orw_dispatch(link, &orw_family_ops::request_link_status_port, Error_Unknown_System_Type, port,
                        speed);
}
#endif

// The receive speed comes with the link status, on either family.
int Orwin_request_rx_speed(Orwin link)
{
    return orw_dispatch(link, &orw_family_ops::request_link_status, Error_Unknown_System_Type);
}

} // extern "C"
