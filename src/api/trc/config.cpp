// SPDX-License-Identifier: MIT
// orw::trc::config: option tables, per-port settings, defaults and applying
// them to a unit.
#include "Orwin_Capture.hpp"

#include <algorithm>

namespace orw {
namespace trc {

namespace {

using c = orw::connection;

const capture_option tt_table[options::tt::nooptions] = {
    {"TT_report_first_byte", c::TT_report_first_byte},
    {"TT_report_EOP", c::TT_report_EOP},
    {"TT_report_EEP", c::TT_report_EEP},
    {"TT_report_time_code", c::TT_report_time_code},
    {"TT_report_parity_error", c::TT_report_parity_error},
    {"TT_report_ESC_ESC", c::TT_report_ESC_ESC},
    {"TT_report_ESC_EOP", c::TT_report_ESC_EOP},
    {"TT_report_ESC_EEP", c::TT_report_ESC_EEP},
    {"TT_report_timeout", c::TT_report_timeout},
    {"TT_report_fct", c::TT_report_fct},
    {"TT_report_null", c::TT_report_null},
    {"TT_report_intermediate_bytes", c::TT_report_intermediate_bytes},
};

const capture_option er_table[options::er::nooptions] = {
    {"ER_report_time_code", c::ER_report_time_code},
    {"ER_report_parity_error", c::ER_report_parity_error},
    {"ER_report_ESC_ESC", c::ER_report_ESC_ESC},
    {"ER_report_ESC_EOP", c::ER_report_ESC_EOP},
    {"ER_report_ESC_EEP", c::ER_report_ESC_EEP},
    {"ER_report_timeout", c::ER_report_timeout},
    {"ER_report_fct", c::ER_report_fct},
    {"ER_report_null", c::ER_report_null},
};

const capture_option ews_table[options::ew_ports::nooptions] = {
    {"EW_Source_port_1", c::EW_Source_port_1},   {"EW_Source_port_2", c::EW_Source_port_2},
    {"EW_Source_port_3", c::EW_Source_port_3},   {"EW_Source_port_4", c::EW_Source_port_4},
    {"EW_Source_port_5", c::EW_Source_port_5},   {"EW_Source_port_6", c::EW_Source_port_6},
    {"EW_Source_port_7", c::EW_Source_port_7},   {"EW_Source_port_8", c::EW_Source_port_8},
    {"EW_Source_SMA_12", c::EW_Source_SMA_12},   {"EW_Source_SMA_34", c::EW_Source_SMA_34},
    {"EW_Source_SMA_56", c::EW_Source_SMA_56},   {"EW_Source_SMA_78", c::EW_Source_SMA_78},
    {"EW_Source_barrier", c::EW_Source_barrier},
};

const capture_option ewc_table[options::ew_capture::nooptions] = {
    {"EW_capture_parity_error", c::EW_capture_parity_error},
    {"EW_capture_ESC_EOP", c::EW_capture_ESC_EOP},
    {"EW_capture_ESC_EEP", c::EW_capture_ESC_EEP},
    {"EW_capture_ESC_ESC", c::EW_capture_ESC_ESC},
    {"EW_capture_EOP", c::EW_capture_EOP},
    {"EW_capture_EEP", c::EW_capture_EEP},
    {"EW_capture_time_code", c::EW_capture_time_code},
    {"EW_capture_excess_data", c::EW_capture_excess_data},
    {"EW_capture_excess_FCT", c::EW_capture_excess_FCT},
    {"EW_capture_timeout", c::EW_capture_timeout},
    {"EW_capture_FCT", c::EW_capture_FCT},
};

uint32_t rows_mask(size_t rows)
{
    return rows >= 32 ? ~0u : (1u << rows) - 1;
}

} // namespace

config::config()
{
    init_options();
    active_ports = 0;
    reset();
}

void config::init_options()
{
    std::copy(std::begin(tt_table), std::end(tt_table), tt_options);
    std::copy(std::begin(er_table), std::end(er_table), er_options);
    std::copy(std::begin(ews_table), std::end(ews_table), ews_options);
    std::copy(std::begin(ewc_table), std::end(ewc_table), ewc_options);
}

void config::reset(capture_settings *s)
{
    for (int n = 0; n < ports; ++n)
        s[n].setting = 0;
}

void config::reset()
{
    reset(timetags);
    reset(errors);
    reset(sources);
    reset(captures);
}

uint32_t config::native_setting(const capture_option *table, size_t rows, uint32_t setting)
{
    uint32_t native = 0;
    for (size_t i = 0; i < rows && i < 32; ++i)
        if (setting & (1u << i))
            native |= table[i].value;
    return native;
}

void config::set_option(capture_settings *s, const capture_option *table, size_t rows, uint32_t port_mask,
                        uint32_t v)
{
    uint32_t setting = v & rows_mask(rows);
    ORW_TRCAPI_TRACE(4, this, "ports %#x setting %#x native %#x", port_mask, setting,
                     native_setting(table, rows, setting));
    for (int n = 0; n < ports; ++n)
        if (port_mask & (1u << n))
            s[n].setting = setting;
}

void config::tt_reporting(uint32_t port_mask, uint32_t v)
{
    set_option(timetags, tt_options, options::tt::nooptions, port_mask, v);
}

void config::er_reporting(uint32_t port_mask, uint32_t v)
{
    set_option(errors, er_options, options::er::nooptions, port_mask, v);
}

void config::ew_sources(uint32_t port_mask, uint32_t v)
{
    set_option(sources, ews_options, options::ew_ports::nooptions, port_mask, v);
}

void config::ew_capture(uint32_t port_mask, uint32_t v)
{
    set_option(captures, ewc_options, options::ew_capture::nooptions, port_mask, v);
}

void config::allports(int n)
{
    // Ports 1..n; a count beyond the settings' ports chooses them all.
    if (n < 0)
        n = 0;
    if (n >= 31)
        n = 31;
    set_ports(static_cast<uint32_t>((2ull << n) - 2));
}

void config::defaults(bool fcts, uint32_t numports)
{
    reset();
    const uint32_t timetag_word = fcts ? 0x3FF : 0x1FF;
    const uint32_t error_word = fcts ? 0x7F : 0x3F;
    const uint32_t capture_word = options::ew_capture::parity_error | options::ew_capture::ESC_EOP |
                                  options::ew_capture::ESC_EEP | options::ew_capture::ESC_ESC |
                                  options::ew_capture::timeout;
    for (uint32_t n = 1; n <= numports && n < static_cast<uint32_t>(ports); ++n) {
        tt_reporting(1u << n, timetag_word);
        er_reporting(1u << n, error_word);
        ew_capture(1u << n, capture_word);
    }
}

void config::apply(orw::connection *conn, int no_ports)
{
    if (active_ports == 0) {
        ORW_TRCAPI_TRACE(2, this, "Defaulting to capture on all %d links", no_ports);
        allports(no_ports);
    }
    for (int n = 1; n <= no_ports; ++n) {
        conn->active_port(static_cast<unsigned>(n));
        // Settings exist for ports 1..8 only; a larger unit's other ports
        // are never chosen.
        if (n < ports && (active_ports & (1u << n))) {
            conn->TT_reporting(
                static_cast<int>(native_setting(tt_options, options::tt::nooptions, timetags[n].setting)));
            conn->ER_reporting(
                static_cast<int>(native_setting(er_options, options::er::nooptions, errors[n].setting)));
            conn->EW_source(static_cast<int>(
                native_setting(ews_options, options::ew_ports::nooptions, sources[n].setting)));
            conn->EW_reporting(static_cast<int>(
                native_setting(ewc_options, options::ew_capture::nooptions, captures[n].setting)));
            ORW_TRCAPI_TRACE(2, this, "Enabling link");
            conn->mode(orw::connection::LINK_mode_normal);
        } else {
            ORW_TRCAPI_TRACE(2, this, "disabling port %d", n);
            conn->mode(orw::connection::LINK_mode_disabled);
        }
    }
}

} // namespace trc
} // namespace orw
