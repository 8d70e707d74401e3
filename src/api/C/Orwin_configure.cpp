// SPDX-License-Identifier: MIT
// Unit configuration: each generic command dispatches on the unit family to
// its variant in Orwin_Tor.cpp or Orwin_Vex.cpp.
#include "OrwinInternal.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#define ORWIN_DISPATCH(link, tor_call, vex_call) \
    ORWIN_DISPATCH_OR(link, tor_call, vex_call, Error_Unknown_System_Type)

namespace {

constexpr int max_port = 255;
constexpr int vex_write_header = 7;
// The byte count of a register write has 15 bits.
constexpr int max_block_write = 0x7FFF;
constexpr int max_register_address = 0xFFFF;

// Restores auto_flush however the port-mask command ends.
struct auto_flush_off {
    ORW *link;
    int saved;
    explicit auto_flush_off(ORW *l) : link(l), saved(l->auto_flush) { link->auto_flush = 0; }
    ~auto_flush_off() { link->auto_flush = saved; }
    auto_flush_off(const auto_flush_off &) = delete;
    auto_flush_off &operator=(const auto_flush_off &) = delete;
};

int range_error(const char *text) { return orw_set_error(Error_Parameter_RangeIncorrect, text); }

} // namespace

int orw_vex_block_check(int port, int address, const void *data, int sz)
{
    // Values that do not fit their header fields would frame a different
    // write than the caller asked for.
    if (port < 0 || port > max_port)
        return range_error("port not in range");
    if (address < 0 || address > max_register_address)
        return range_error("IFCaddress not in range");
    if (sz < 0 || sz > max_block_write || (sz > 0 && data == nullptr))
        return range_error("IFCbytes not in range");
    return 0;
}

int orw_vex_block_write(ORW *link, int port, int address, const void *data, int sz)
{
    size_t total = static_cast<size_t>(sz) + vex_write_header;
    unsigned char *packet = static_cast<unsigned char *>(malloc(total));
    if (packet == nullptr)
        return 1;
    packet[0] = static_cast<unsigned char>(link->ram_io);
    packet[1] = 0x00;
    packet[2] = static_cast<unsigned char>(port);
    packet[3] = static_cast<unsigned char>(address >> 8);
    packet[4] = static_cast<unsigned char>(address);
    packet[5] = static_cast<unsigned char>(0x80 | (sz >> 8));
    packet[6] = static_cast<unsigned char>(sz);
    if (sz > 0)
        memcpy(packet + vex_write_header, data, static_cast<size_t>(sz));
    int rc = orw_send_command(link, packet, total, false);
    free(packet);
    return rc;
}

int orw_ew_clear_port(int port)
{
    if (port < 0 && port != INT_MIN)
        port = -port;
    if (port < 0 || port > max_port)
        return range_error("EW error not in range");
    return port;
}

int orw_set_mode_portmask(ORW *link, int mode, uint32_t ports, int (*select)(Orwin, int),
                          int (*set_mode)(Orwin, int))
{
    bool any = false;
    {
        auto_flush_off guard(link);
        for (int i = 0; i < 32; ++i) {
            if (!(ports & (uint32_t{1} << i)))
                continue;
            int rc = select(link, i);
            if (rc < 0)
                return rc;
            rc = set_mode(link, mode);
            if (rc < 0)
                return rc;
            any = true;
        }
    }
    return any ? Orwin_flush(link) : 0;
}

extern "C" {

int Orwin_set_active_link(Orwin link, int n)
{
    ORWIN_DISPATCH(link, Orwin_set_active_link_Tor(link, n), Orwin_set_active_link_Vex(link, n))
}

int Orwin_set_mode(Orwin link, int mode)
{
    ORWIN_DISPATCH(link, Orwin_set_mode_Tor(link, mode), Orwin_set_mode_Vex(link, mode))
}

int Orwin_set_speed(Orwin link, int speed)
{
    ORWIN_DISPATCH(link, Orwin_set_speed_Tor(link, speed), Orwin_set_speed_Vex(link, speed))
}

int Orwin_set_speed_double(Orwin link, double speed)
{
    ORWIN_DISPATCH(link, Orwin_set_speed_double_Tor(link, speed), Orwin_set_speed_double_Vex(link, speed))
}

int Orwin_TT_enable_reporting(Orwin link, int when)
{
    ORWIN_DISPATCH(link, Orwin_TT_enable_reporting_Tor(link, when), Orwin_TT_enable_reporting_Vex(link, when))
}

int Orwin_ER_enable_reporting(Orwin link, int what)
{
    ORWIN_DISPATCH(link, Orwin_ER_enable_reporting_Tor(link, what), Orwin_ER_enable_reporting_Vex(link, what))
}

int Orwin_EW_enable_reporting(Orwin link, int what)
{
    ORWIN_DISPATCH(link, Orwin_EW_enable_reporting_Tor(link, what), Orwin_EW_enable_reporting_Vex(link, what))
}

int Orwin_Observe(Orwin link, int what)
{
    ORWIN_DISPATCH(link, Orwin_Observe_Tor(link, what), Orwin_Observe_Vex(link, what))
}

int Orwin_EW_source(Orwin link, int sources)
{
    ORWIN_DISPATCH(link, Orwin_EW_source_Tor(link, sources), Orwin_EW_source_Vex(link, sources))
}

int Orwin_EW_request_data(Orwin link, int port)
{
    ORWIN_DISPATCH(link, Orwin_EW_request_data_Tor(link, port), Orwin_EW_request_data_Vex(link, port))
}

int Orwin_EW_reset(Orwin link, int port)
{
    ORWIN_DISPATCH(link, Orwin_EW_reset_Tor(link, port), Orwin_EW_reset_Vex(link, port))
}

int Orwin_EW_clear(Orwin link, int port)
{
    ORWIN_DISPATCH(link, Orwin_EW_clear_Tor(link, port), Orwin_EW_clear_Vex(link, port))
}

int Orwin_EI_ignore_events(Orwin link, int what)
{
    ORWIN_DISPATCH(link, Orwin_EI_ignore_events_Tor(link, what), Orwin_EI_ignore_events_Vex(link, what))
}

int Orwin_EI_flow_control(Orwin link, int initial_fcts, int flow_control)
{
    ORWIN_DISPATCH(link, Orwin_EI_flow_control_Tor(link, initial_fcts, flow_control),
                   Orwin_EI_flow_control_Vex(link, initial_fcts, flow_control))
}

int Orwin_ATI_calibrate(Orwin link, int v)
{
    ORWIN_DISPATCH(link, Orwin_ATI_calibrate_Tor(link, v), Orwin_ATI_calibrate_Vex(link, v))
}

int Orwin_sma_56_pulse_width(Orwin link, int width)
{
    ORWIN_DISPATCH(link, Orwin_sma_56_pulse_width_Tor(link, width), Orwin_sma_56_pulse_width_Vex(link, width))
}

int Orwin_set_max_packet_data(Orwin link, int n)
{
    ORWIN_DISPATCH(link, Orwin_set_max_packet_data_Tor(link, n), Orwin_set_max_packet_data_Vex(link, n))
}

int Orwin_set_mode_portmask(Orwin link, int mode, uint32_t ports)
{
    ORWIN_DISPATCH(link, Orwin_set_mode_portmask_Tor(link, mode, ports),
                   Orwin_set_mode_portmask_Vex(link, mode, ports))
}

#ifndef ORWIN_EARLIER_BUILD
int Orwin_RGVex_control(Orwin handle, int port, int address, void *userbuffer, int sz)
{
    int rc = orw_vex_block_check(port, address, userbuffer, sz);
    if (rc < 0)
        return rc;
    ORW *link = orw_link(handle);
    rc = orw_vex_block_write(link, port, address, userbuffer, sz);
    if (rc == 1)
        return orw_set_error(Error_Memory, "Unable to allocate memory");
    return rc < 0 ? rc : orw_flush_auto(link);
}
#endif

} // extern "C"
