// SPDX-License-Identifier: MIT
// Unit configuration: each generic command calls through the operations
// table of the link's family (Orwin_Tor.cpp, Orwin_Vex.cpp).
#include "Orwin_family.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int max_port = 255;
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

int range_error(const char *text)
{
    return orw_set_error(Error_Parameter_RangeIncorrect, text);
}

constexpr int unknown_family = Error_Unknown_System_Type;

// A waveform operation on link `port`, which must be 0..255.
int on_port(const orw_family_ops *ops, Orwin link, int port, int (*orw_family_ops::*op)(ORW *, int))
{
    if (ops == nullptr)
        return unknown_family;
    if (port < 0 || port > max_port)
        return range_error("port not in range");
    return (ops->*op)(orw_link(link), port);
}

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
    size_t total = static_cast<size_t>(sz) + orw_vex_header_size;
    unsigned char *packet = static_cast<unsigned char *>(malloc(total));
    if (packet == nullptr)
        return 1;
    orw_vex_header(packet, link, 0, port, address, orw_vex_write_flag | sz);
    if (sz > 0)
        memcpy(packet + orw_vex_header_size, data, static_cast<size_t>(sz));
    int rc = orw_send_command(link, packet, total, false);
    free(packet);
    return rc;
}

int orw_set_speed(const orw_family_ops *ops, Orwin link, int speed)
{
    return ops ? ops->set_speed_code(orw_link(link), orw_speed_code_from_mbps(speed)) : unknown_family;
}

int orw_set_speed_double(const orw_family_ops *ops, Orwin link, double speed)
{
    return ops ? ops->set_speed_code(orw_link(link), orw_speed_code_from_double(speed)) : unknown_family;
}

int orw_EW_request_data(const orw_family_ops *ops, Orwin link, int port)
{
    return on_port(ops, link, port, &orw_family_ops::EW_request_data);
}

int orw_EW_reset(const orw_family_ops *ops, Orwin link, int port)
{
    return on_port(ops, link, port, &orw_family_ops::EW_reset);
}

int orw_EW_clear(const orw_family_ops *ops, Orwin link, int port)
{
    if (ops == nullptr)
        return unknown_family;
    // A negative link number is taken as its negation.
    if (port < 0 && port != INT_MIN)
        port = -port;
    if (port < 0 || port > max_port)
        return range_error("EW error not in range");
    return ops->EW_reset(orw_link(link), port);
}

int orw_set_mode_portmask(const orw_family_ops *ops, Orwin handle, int mode, uint32_t ports)
{
    if (ops == nullptr)
        return unknown_family;
    ORW *link = orw_link(handle);
    bool any = false;
    {
        auto_flush_off guard(link);
        for (int i = 0; i < 32; ++i) {
            if (!(ports & (uint32_t{1} << i)))
                continue;
            int rc = ops->set_active_link(link, i);
            if (rc < 0)
                return rc;
            rc = ops->set_mode(link, mode);
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
    return orw_dispatch(link, &orw_family_ops::set_active_link, unknown_family, n);
}

int Orwin_set_mode(Orwin link, int mode)
{
    return orw_dispatch(link, &orw_family_ops::set_mode, unknown_family, mode);
}

int Orwin_set_speed(Orwin link, int speed)
{
    return orw_set_speed(orw_family(link), link, speed);
}

int Orwin_set_speed_double(Orwin link, double speed)
{
    return orw_set_speed_double(orw_family(link), link, speed);
}

int Orwin_TT_enable_reporting(Orwin link, int when)
{
    return orw_dispatch(link, &orw_family_ops::TT_enable_reporting, unknown_family, when);
}

int Orwin_ER_enable_reporting(Orwin link, int what)
{
    return orw_dispatch(link, &orw_family_ops::ER_enable_reporting, unknown_family, what);
}

int Orwin_EW_enable_reporting(Orwin link, int what)
{
    return orw_dispatch(link, &orw_family_ops::EW_enable_reporting, unknown_family, what);
}

int Orwin_Observe(Orwin link, int what)
{
    return orw_dispatch(link, &orw_family_ops::Observe, unknown_family, what);
}

int Orwin_EW_source(Orwin link, int sources)
{
    return orw_dispatch(link, &orw_family_ops::EW_source, unknown_family, sources);
}

int Orwin_EW_request_data(Orwin link, int port)
{
    return orw_EW_request_data(orw_family(link), link, port);
}

int Orwin_EW_reset(Orwin link, int port)
{
    return orw_EW_reset(orw_family(link), link, port);
}

int Orwin_EW_clear(Orwin link, int port)
{
    return orw_EW_clear(orw_family(link), link, port);
}

int Orwin_EI_ignore_events(Orwin link, int what)
{
    return orw_dispatch(link, &orw_family_ops::EI_ignore_events, unknown_family, what);
}

int Orwin_EI_flow_control(Orwin link, int initial_fcts, int flow_control)
{
    return orw_dispatch(link, &orw_family_ops::EI_flow_control, unknown_family, initial_fcts, flow_control);
}

int Orwin_ATI_calibrate(Orwin link, int v)
{
    return orw_dispatch(link, &orw_family_ops::ATI_calibrate, unknown_family, v);
}

int Orwin_sma_56_pulse_width(Orwin link, int width)
{
    return orw_dispatch(link, &orw_family_ops::sma_56_pulse_width, unknown_family, width);
}

int Orwin_set_max_packet_data(Orwin link, int n)
{
    return orw_dispatch(link, &orw_family_ops::set_max_packet_data, unknown_family, n);
}

int Orwin_set_mode_portmask(Orwin link, int mode, uint32_t ports)
{
    return orw_set_mode_portmask(orw_family(link), link, mode, ports);
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
