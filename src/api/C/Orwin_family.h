// SPDX-License-Identifier: MIT
// Orwin_family.h - the operations a unit family provides. Each family has one
// constant table (Orwin_Tor.cpp, Orwin_Vex.cpp); the generic functions look
// up the table of the link's family and call through it. Never installed.
#ifndef ORWIN_FAMILY_H
#define ORWIN_FAMILY_H

#include "OrwinInternal.h"

// Most entries are the family's exported `_Tor`/`_Vex` variants; the others
// leave to the generic code what both families share (argument checks, speed
// conversion, the link-count cache, decoding the status byte), so it is
// written once.
struct orw_family_ops {
    // Configuration.
    int (*set_active_link)(Orwin link, int n);
    int (*set_mode)(Orwin link, int mode);
    // Send a speed code (the caller converts the speed).
    int (*set_speed_code)(ORW *link, unsigned code);
    int (*TT_enable_reporting)(Orwin link, int when);
    int (*ER_enable_reporting)(Orwin link, int what);
    int (*EW_enable_reporting)(Orwin link, int what);
    int (*Observe)(Orwin link, int what);
    int (*EW_source)(Orwin link, int sources);
    // `port` already checked to be 0..255.
    int (*EW_request_data)(ORW *link, int port);
    int (*EW_reset)(ORW *link, int port);
    int (*EI_ignore_events)(Orwin link, int what);
    int (*EI_flow_control)(Orwin link, int initial_fcts, int flow_control);
    int (*ATI_calibrate)(Orwin link, int v);
    int (*sma_56_pulse_width)(Orwin link, int width);
    int (*set_max_packet_data)(Orwin link, int n);

    // Queries.
    // The number of links the unit reports (the caller caches it).
    int (*count_links)(ORW *link);
    char *(*get_options_string)(Orwin link);
    char *(*get_module_string)(Orwin link, int module);
    char *(*get_manufacturer_string)(Orwin link);
    char *(*get_product_string)(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
    char *(*get_device_description)(Orwin link);
#endif
    int (*get_HWA)(Orwin link, unsigned char *hwa);
    // The current link's status byte, or a negative code.
    int (*link_status)(ORW *link);
    int (*get_receive_speed)(Orwin link);
    int (*request_link_status)(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
    int (*request_link_status_port)(Orwin link, int port, int speed);
#endif
    int (*request_tx_speed)(Orwin link);
#ifdef ORWIN_MACOS_BUILD
    // Queue, unflushed, the general status request of the macOS build.
    int (*queue_status_request)(ORW *link, int module, unsigned address, unsigned count);
#endif

    // Decoding.
    double (*extract_timetag)(Orwin link, void *buf);
    uint64_t (*extract_timetag_ns)(Orwin link, void *buf);
};

extern const orw_family_ops orw_tor_ops;
extern const orw_family_ops orw_vex_ops;

// Entries of the tables defined with the families' queries
// (Orwin_query_Tor.cpp, Orwin_query_Vex.cpp).
int orw_tor_count_links(ORW *link);
int orw_vex_count_links(ORW *link);
int orw_tor_link_status(ORW *link);
int orw_vex_link_status(ORW *link);
#ifdef ORWIN_MACOS_BUILD
int orw_tor_queue_status_request(ORW *link, int module, unsigned address, unsigned count);
int orw_vex_queue_status_request(ORW *link, int module, unsigned address, unsigned count);
#endif
// After queueing a status request: flush the record file and the link, so the
// reply is held back on neither side.
int orw_flush_status_request(ORW *link);

// The table of the link's family; null, with -41 recorded, when the family
// is unknown.
const orw_family_ops *orw_family(Orwin link);

template <typename T> struct orw_type_of {
    using type = T;
};

// Call `op` of the link's family, or return `failure` when the family is
// unknown (the look-up recorded why).
template <typename R, typename... P, typename... A>
R orw_dispatch(Orwin link, R (*orw_family_ops::*op)(Orwin, P...), typename orw_type_of<R>::type failure,
               A... args)
{
    const orw_family_ops *ops = orw_family(link);
    return ops ? (ops->*op)(link, args...) : failure;
}

// Operations whose checks both families share, over a family's table (null:
// the look-up failed and recorded -41). The generic functions pass the link's
// table, the `_Tor` and `_Vex` variants their own (Orwin_configure.cpp,
// Orwin_query.cpp).
int orw_EW_request_data(const orw_family_ops *ops, Orwin link, int port);
int orw_EW_reset(const orw_family_ops *ops, Orwin link, int port);
int orw_EW_clear(const orw_family_ops *ops, Orwin link, int port);
int orw_set_speed(const orw_family_ops *ops, Orwin link, int speed);
int orw_set_speed_double(const orw_family_ops *ops, Orwin link, double speed);
int orw_set_mode_portmask(const orw_family_ops *ops, Orwin link, int mode, uint32_t ports);
int orw_get_number_of_links(const orw_family_ops *ops, Orwin link);
int orw_link_connected(const orw_family_ops *ops, Orwin link);
int orw_write_buffer_empty(const orw_family_ops *ops, Orwin link);

#endif // ORWIN_FAMILY_H
