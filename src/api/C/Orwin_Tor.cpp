// SPDX-License-Identifier: MIT
// Tor-family commands: special packets addressed to a module's slot.
#include "Orwin_family.h"

namespace {

constexpr unsigned char ew_reset_command = 0x80;

int not_present(const char *text)
{
    return orw_set_error(Error_Module_Not_Present, text);
}

// First slot holding `first`, else the first holding `second`; 0 if neither.
int slot_of_either(ORW *link, int first, int second)
{
    int slot = Orwin_get_module_slot(link, first);
    return slot != 0 ? slot : Orwin_get_module_slot(link, second);
}

// One flushed byte to the reporting module found among `first`/`second`.
int enable_reporting(ORW *link, int first, int second, int value, const char *absent_text)
{
    int slot = slot_of_either(link, first, second);
    if (slot == 0)
        return not_present(absent_text);
    unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    return orw_tor_command(link, slot, &byte, 1, true);
}

int send_speed_code(ORW *link, unsigned code)
{
    unsigned char data[2] = {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code)};
    return orw_tor_command(link, Orwin_get_module_slot(link, Orwin_MODULE_LINK_SPEED), data, 2, true);
}

int ew_request_data(ORW *, int)
{
    return not_present("waveform module not present");
}

int ew_reset(ORW *link, int port)
{
    return orw_tor_command(link, port, &ew_reset_command, 1, true);
}

} // namespace

int orw_tor_command(ORW *link, int slot, const unsigned char *data, int count, bool flush)
{
    unsigned char packet[3];
    packet[0] = static_cast<unsigned char>(slot);
    for (int i = 0; i < count && i < 2; ++i)
        packet[1 + i] = data[i];
    return orw_send_command(link, packet, static_cast<size_t>(1 + count), flush);
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
        // The link number travels in one byte; a larger one would select
        // another link than current_port names.
        if (n < 0 || n > 255)
            return orw_set_error(Error_Invalid_Link, "link not present in device");
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

int Orwin_set_speed_Tor(Orwin link, int speed)
{
    return orw_set_speed(&orw_tor_ops, link, speed);
}

int Orwin_set_speed_double_Tor(Orwin link, double speed)
{
    return orw_set_speed_double(&orw_tor_ops, link, speed);
}

int Orwin_TT_enable_reporting_Tor(Orwin handle, int when)
{
    return enable_reporting(orw_link(handle), Orwin_MODULE_TT, Orwin_MODULE_TT_64, when,
                            "timetag module not present");
}

int Orwin_ER_enable_reporting_Tor(Orwin handle, int what)
{
    return enable_reporting(orw_link(handle), Orwin_MODULE_ER, Orwin_MODULE_ER_64, what,
                            "er module not present");
}

int Orwin_EW_enable_reporting_Tor(Orwin handle, int what)
{
    return enable_reporting(orw_link(handle), Orwin_MODULE_EW, Orwin_MODULE_EW_RT, what,
                            "waveform module not present");
}

int Orwin_Observe_Tor(Orwin, int)
{
    return not_present("observe module not present");
}

int Orwin_EW_source_Tor(Orwin, int)
{
    return not_present("waveform module not present");
}

int Orwin_EW_request_data_Tor(Orwin link, int port)
{
    return orw_EW_request_data(&orw_tor_ops, link, port);
}

int Orwin_EW_reset_Tor(Orwin link, int port)
{
    return orw_EW_reset(&orw_tor_ops, link, port);
}

int Orwin_EW_clear_Tor(Orwin link, int port)
{
    return orw_EW_clear(&orw_tor_ops, link, port);
}

int Orwin_EI_ignore_events_Tor(Orwin, int)
{
    return not_present("ei module not present");
}

int Orwin_EI_flow_control_Tor(Orwin, int, int)
{
    return not_present("ei module not present");
}

int Orwin_ATI_calibrate_Tor(Orwin, int)
{
    return not_present("ATI module not present");
}

int Orwin_sma_56_pulse_width_Tor(Orwin, int)
{
    return not_present("SMA module not present");
}

int Orwin_set_max_packet_data_Tor(Orwin, int)
{
    return not_present("module not present");
}

int Orwin_set_mode_portmask_Tor(Orwin link, int mode, uint32_t ports)
{
    return orw_set_mode_portmask(&orw_tor_ops, link, mode, ports);
}

} // extern "C"

const orw_family_ops orw_tor_ops = {
    Orwin_set_active_link_Tor,
    Orwin_set_mode_Tor,
    send_speed_code,
    Orwin_TT_enable_reporting_Tor,
    Orwin_ER_enable_reporting_Tor,
    Orwin_EW_enable_reporting_Tor,
    Orwin_Observe_Tor,
    Orwin_EW_source_Tor,
    ew_request_data,
    ew_reset,
    Orwin_EI_ignore_events_Tor,
    Orwin_EI_flow_control_Tor,
    Orwin_ATI_calibrate_Tor,
    Orwin_sma_56_pulse_width_Tor,
    Orwin_set_max_packet_data_Tor,
    orw_tor_count_links,
    Orwin_get_options_string_Tor,
    Orwin_get_module_string_Tor,
    Orwin_get_manufacturer_string_Tor,
    Orwin_get_product_string_Tor,
#ifndef ORWIN_EARLIER_BUILD
    Orwin_get_device_description_Tor,
#endif
    Orwin_get_HWA_Tor,
    orw_tor_link_status,
    Orwin_get_receive_speed_Tor,
    Orwin_request_link_status_Tor,
#ifndef ORWIN_EARLIER_BUILD
    Orwin_request_link_status_port_Tor,
#endif
    Orwin_request_tx_speed_Tor,
#ifdef ORWIN_MACOS_BUILD
    orw_tor_queue_status_request,
#endif
    Orwin_extract_timetag_Tor,
    Orwin_extract_timetag_ns_Tor,
};
