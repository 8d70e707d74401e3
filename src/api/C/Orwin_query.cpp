// Unit queries that opening needs: control-packet exchange with a module
// slot, register reads through the RAM-I/O module, slot table, link count
// and options.
#include "OrwinInternal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int max_register_read = 2048;
constexpr size_t register_reply_buffer = 2100;
constexpr int reply_search_packets = 10;
constexpr int options_length = 32;

int system_type_error() { return orw_set_error(Error_Unknown_System_Type, "System type not correct"); }

} // namespace

int ram_io_read_bytes(Orwin handle, int address, void *buffer, int count)
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
    int rc = Orwin_sendPacket(link, request, 0, sizeof request, Orwin_SPECIAL | Orwin_FLUSH);
    if (rc < 0)
        return rc;
    if (buffer == nullptr)
        return 0;
    ssize_t reply = -1;
    for (int i = 0; i < reply_search_packets; ++i) {
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(link, link->cmd_buffer, register_reply_buffer, &type,
                                           RETURN_SPECIAL_DATA);
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

int ram_io_get_int(Orwin handle, int address, int count)
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
    int rc = Orwin_sendPacket(link, link->cmd_buffer, 0, 1, Orwin_SPECIAL | Orwin_FLUSH);
    if (rc < 0)
        return rc;
    uint32_t type = 0;
    ssize_t n = Orwin_read_packet_full(link, link->cmd_buffer, ORW_CMD_BUFFER_SIZE, &type,
                                       RETURN_SPECIAL_DATA);
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

int Orwin_get_number_of_links_Tor(Orwin handle)
{
    ORW *link = orw_link(handle);
    if (link->number_of_links > 0)
        return link->number_of_links;
    int slot = Orwin_get_module_slot(link, Orwin_MODULE_CR);
    if (slot == 0) {
        link->number_of_links = 1;
        return 1;
    }
    int n = Orwin_get_control_packet(link, nullptr, 0, slot);
    if (n < 0)
        return n;
    if (n < 3)
        return orw_set_error(-1, "Not enough data received");
    link->number_of_links = link->cmd_buffer[2];
    return link->number_of_links;
}

int Orwin_get_number_of_links_Vex(Orwin handle)
{
    ORW *link = orw_link(handle);
    if (link->number_of_links > 0)
        return link->number_of_links;
    link->partialframesz = 0;
    int rc = ram_io_get_int(link, Orwin_NLINKS_address, 1);
    if (rc < 0)
        return rc;
    link->number_of_links = link->ram_io_int;
    return link->number_of_links;
}

int Orwin_get_number_of_links(Orwin handle)
{
    switch (orw_link(handle)->system_type) {
    case SYSTEM_TYPE_Tor:
        return Orwin_get_number_of_links_Tor(handle);
    case SYSTEM_TYPE_Vex:
        return Orwin_get_number_of_links_Vex(handle);
    default:
        return system_type_error();
    }
}

char *Orwin_get_options_string_Tor(Orwin) { return strdup(""); }

char *Orwin_get_options_string_Vex(Orwin handle)
{
    char options[options_length + 1] = {};
    if (ram_io_read_bytes(handle, Orwin_OPTIONS_address, options, options_length) < 0)
        return nullptr;
    return strdup(options);
}

char *Orwin_get_options_string(Orwin handle)
{
    switch (orw_link(handle)->system_type) {
    case SYSTEM_TYPE_Tor:
        return Orwin_get_options_string_Tor(handle);
    case SYSTEM_TYPE_Vex:
        return Orwin_get_options_string_Vex(handle);
    default:
        system_type_error();
        return nullptr;
    }
}

} // extern "C"
