// SPDX-License-Identifier: MIT
// Vex-family commands: register writes through the RAM-I/O module and link
// selection by extension.
#include "Orwin_family.h"

#include <unistd.h>

namespace {

constexpr useconds_t settle_time_us = 5000;
constexpr int port_select_extension = orw::wire::extn::PortSelect;
// The highest link a port-select extension can name (command byte 0x7F).
constexpr int port_select_max = orw::wire::link_of_select(orw::wire::extn::PortSelect_max);
constexpr int max_packet_data_limit = 255;
constexpr int max_initial_fcts = 15;
// Error-waveform buffer read: 2,070 bytes from EW_address.
constexpr int ew_data_length = static_cast<int>(orw::wire::waveform_record::read_length);

enum class flush_rule { automatic, settle, always };

int finish(ORW *link, flush_rule rule)
{
    switch (rule) {
    case flush_rule::settle:
        return orw_flush_settle(link);
    case flush_rule::always:
        return Orwin_flush(link);
    case flush_rule::automatic:
        break;
    }
    return orw_flush_auto(link);
}

// Register write on the current link, abandoning any open partial frame
// first so the command is framed on its own.
int write_register(ORW *link, int address, const unsigned char *data, int count, flush_rule rule)
{
    int rc = orw_vex_write(link, link->current_port, address, data, count);
    return rc < 0 ? rc : finish(link, rule);
}

int write_byte(ORW *link, int address, int value, flush_rule rule)
{
    unsigned char byte = static_cast<unsigned char>(value);
    return write_register(link, address, &byte, 1, rule);
}

// The reporting constants keep the Vex-family register bits in bits 23-8.
int write_report_bits(ORW *link, int address, int value, flush_rule rule)
{
    unsigned char data[2] = {static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8)};
    return write_register(link, address, data, 2, rule);
}

int write_speed_code(ORW *link, unsigned code)
{
    unsigned char data[2] = {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code)};
    return write_register(link, Orwin_TX_SPEED_address, data, 2, flush_rule::automatic);
}

int ew_request_data(ORW *link, int port)
{
    unsigned char request[orw_vex_header_size];
    orw_vex_header(request, link, 0, port, Orwin_EW_address, ew_data_length);
    int rc = orw_send_command(link, request, sizeof request, false);
    return rc < 0 ? rc : Orwin_flush(link);
}

// Clearing a link's error waveform: one zero byte at EW_address on that link.
int ew_reset(ORW *link, int port)
{
    const unsigned char zero = 0;
    int rc = orw_vex_write(link, port, Orwin_EW_address, &zero, 1);
    return rc < 0 ? rc : orw_flush_auto(link);
}

} // namespace

void orw_vex_header(unsigned char *packet, const ORW *link, int tag, int port, int address, int count)
{
    packet[0] = static_cast<unsigned char>(link->ram_io);
    packet[1] = static_cast<unsigned char>(tag);
    packet[2] = static_cast<unsigned char>(port);
    packet[3] = static_cast<unsigned char>(address >> 8);
    packet[4] = static_cast<unsigned char>(address);
    packet[5] = static_cast<unsigned char>(count >> 8);
    packet[6] = static_cast<unsigned char>(count);
}

int orw_vex_write(ORW *link, int port, int address, const unsigned char *data, int count)
{
    unsigned char packet[orw_vex_header_size + 2];
    orw_vex_header(packet, link, 0, port, address, orw_vex_write_flag | (count & 0x7FFF));
    for (int i = 0; i < count && i < 2; ++i)
        packet[orw_vex_header_size + i] = data[i];
    return orw_send_command(link, packet, orw_vex_header_size + static_cast<size_t>(count), false);
}

int orw_flush_auto(ORW *link)
{
    return link->auto_flush ? Orwin_flush(link) : 0;
}

int orw_flush_settle(ORW *link)
{
    // The second flush runs even after a failed first one: a non-blocking
    // link may get the rest out, and its result is the one that counts.
    if (link->auto_flush)
        Orwin_flush(link);
    int rc = Orwin_flush(link);
    usleep(settle_time_us); // the unit applies the setting before the next command
    return rc;
}

extern "C" {

int Orwin_set_active_link_Vex(Orwin handle, int n)
{
    ORW *link = orw_link(handle);
    // Beyond port_select_max the extension byte would turn into another
    // command, so such a link cannot be selected whatever the unit reports.
    if (n < 0 || n > link->number_of_links || n > port_select_max)
        return orw_set_error(Error_Invalid_Link, "link not present in device");
    int rc = Orwin_write_EXTN(link, port_select_extension + n);
    if (rc < 0)
        return rc;
    link->current_port = n;
    return 0;
}

int Orwin_set_mode_Vex(Orwin handle, int mode)
{
    return write_byte(orw_link(handle), Orwin_LINK_address, mode, flush_rule::settle);
}

int Orwin_set_speed_Vex(Orwin link, int speed)
{
    return orw_set_speed(&orw_vex_ops, link, speed);
}

int Orwin_set_speed_double_Vex(Orwin link, double speed)
{
    return orw_set_speed_double(&orw_vex_ops, link, speed);
}

int Orwin_TT_enable_reporting_Vex(Orwin handle, int when)
{
    return write_report_bits(orw_link(handle), Orwin_TIMETAG_address, when, flush_rule::settle);
}

int Orwin_ER_enable_reporting_Vex(Orwin handle, int what)
{
    return write_report_bits(orw_link(handle), Orwin_OBSERVE_address, what, flush_rule::settle);
}

int Orwin_EW_enable_reporting_Vex(Orwin handle, int what)
{
    return write_report_bits(orw_link(handle), Orwin_Event_cause_address, what, flush_rule::settle);
}

int Orwin_Observe_Vex(Orwin handle, int what)
{
    return write_report_bits(orw_link(handle), Orwin_OBSERVE_address, what, flush_rule::settle);
}

int Orwin_EW_source_Vex(Orwin handle, int sources)
{
    // The trigger sources are a plain 16-bit set, not a two-family constant.
    unsigned char data[2] = {static_cast<unsigned char>(sources >> 8), static_cast<unsigned char>(sources)};
    return write_register(orw_link(handle), Orwin_EW_source_address, data, 2, flush_rule::settle);
}

int Orwin_EW_request_data_Vex(Orwin link, int port)
{
    return orw_EW_request_data(&orw_vex_ops, link, port);
}

int Orwin_EW_reset_Vex(Orwin link, int port)
{
    return orw_EW_reset(&orw_vex_ops, link, port);
}

int Orwin_EW_clear_Vex(Orwin link, int port)
{
    return orw_EW_clear(&orw_vex_ops, link, port);
}

int Orwin_EI_ignore_events_Vex(Orwin handle, int what)
{
    return write_report_bits(orw_link(handle), Orwin_IGNORE_address, what, flush_rule::automatic);
}

int Orwin_EI_flow_control_Vex(Orwin handle, int initial_fcts, int flow_control)
{
    if (initial_fcts < 0 || initial_fcts > max_initial_fcts)
        return orw_set_error(Error_Parameter_RangeIncorrect, "fcts not in range");
    return write_byte(orw_link(handle), Orwin_FLOW_CONTROL_address, initial_fcts + flow_control,
                      flush_rule::automatic);
}

int Orwin_ATI_calibrate_Vex(Orwin handle, int v)
{
    return write_byte(orw_link(handle), Orwin_ATI_address, v, flush_rule::automatic);
}

int Orwin_sma_56_pulse_width_Vex(Orwin handle, int width)
{
    return write_byte(orw_link(handle), Orwin_SMA_56_pulse_width_address, width, flush_rule::automatic);
}

int Orwin_set_max_packet_data_Vex(Orwin handle, int n)
{
    ORW *link = orw_link(handle);
    if (n < 0 || n > max_packet_data_limit)
        n = max_packet_data_limit;
    int rc = write_byte(link, Orwin_max_packet_data, n, flush_rule::automatic);
    // With auto_flush on this command is flushed twice; with it off, not at all.
    if (rc < 0 || !link->auto_flush)
        return rc;
    return Orwin_flush(link);
}

int Orwin_set_mode_portmask_Vex(Orwin link, int mode, uint32_t ports)
{
    return orw_set_mode_portmask(&orw_vex_ops, link, mode, ports);
}

} // extern "C"

const orw_family_ops orw_vex_ops = {
    Orwin_set_active_link_Vex,
    Orwin_set_mode_Vex,
    write_speed_code,
    Orwin_TT_enable_reporting_Vex,
    Orwin_ER_enable_reporting_Vex,
    Orwin_EW_enable_reporting_Vex,
    Orwin_Observe_Vex,
    Orwin_EW_source_Vex,
    ew_request_data,
    ew_reset,
    Orwin_EI_ignore_events_Vex,
    Orwin_EI_flow_control_Vex,
    Orwin_ATI_calibrate_Vex,
    Orwin_sma_56_pulse_width_Vex,
    Orwin_set_max_packet_data_Vex,
    orw_vex_count_links,
    Orwin_get_options_string_Vex,
    Orwin_get_module_string_Vex,
    Orwin_get_manufacturer_string_Vex,
    Orwin_get_product_string_Vex,
#ifndef ORWIN_EARLIER_BUILD
    Orwin_get_device_description_Vex,
#endif
    Orwin_get_HWA_Vex,
    orw_vex_link_status,
    Orwin_get_receive_speed_Vex,
    Orwin_request_link_status_Vex,
#ifndef ORWIN_EARLIER_BUILD
    Orwin_request_link_status_port_Vex,
#endif
    Orwin_request_tx_speed_Vex,
#ifdef ORWIN_MACOS_BUILD
    orw_vex_queue_status_request,
#endif
    Orwin_extract_timetag_Vex,
    Orwin_extract_timetag_ns_Vex,
};
