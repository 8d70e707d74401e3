// SPDX-License-Identifier: MIT
// The exported functions of the C interface, and which of the three builds
// carry each: the full library, the earlier C-only build and its macOS twin.
#pragma once

#include <set>
#include <string>

namespace c_interface {

enum builds : unsigned { full = 1, earlier = 2, macos = 4, every = full | earlier | macos };

struct name_set {
    const char *name;
    unsigned builds;
    bool family_variants; // also exported with the suffixes _Tor and _Vex
};

// Functions of the platform helpers and the device link.
inline const name_set names[] = {
    {"Orwin_open", every, false},
    {"Orwin_open_flagged", every, false},
    {"Orwin_open_file", every, false},
    {"Orwin_open_as_server", every, false},
    {"Orwin_connect_raw", full, false},
    {"Orwin_negotiate", every, false},
    {"Orwin_close", every, false},
    {"Orwin_shutdown", every, false},
    {"Orwin_abort", every, false},
    {"Orwin_fastclose", every, false},
    {"Orwin_Non_Blocking", full, false},
    {"Orwin_get_error", every, false},
    {"Orwin_get_error_text", every, false},
    {"Orwin_set_debug", every, false},
    {"Orwin_get_version", every, false},
    {"Orwin_get_socket", every, false},
    {"Orwin_set_context", every, false},
    {"Orwin_get_context", every, false},
    {"Orwin_set_number_of_links", full, false},
    {"Orwin_system_type", every, false},
    {"Orwin_device_type", every, false},
    {"Orwin_get_options", every, false},
    {"Orwin_set_EINTR", every, false},
    {"Orwin_set_rx_timeout_action", every, false},
    {"Orwin_set_rx_timeout", every, false},
    {"Orwin_set_tx_timeout", full, false},
    {"Orwin_get_tx_timeout", full, false},
    {"Orwin_get_rx_timeout", every, false},
    {"Orwin_read_stats", every, false},
    {"Orwin_gettid", full, false},
    {"Orwin_set_crash_handler", every, false},
    // Receive.
    {"Orwin_get_packet", every, false},
    {"Orwin_read_packet_full", every, false},
    {"Orwin_read_packet", every, false},
    {"Orwin_get_rx_flags", every, false},
    {"Orwin_read_packet_special_callback", every, false},
    {"Orwin_read_packet_extension_callback", every, false},
    {"Orwin_pkttype_to_str", full, false},
    // Transmit.
    {"Orwin_sendPacket", every, false},
    {"Orwin_write_packet", every, false},
    {"Orwin_flush", every, false},
    {"Orwin_write_EXTN", every, false},
    {"Orwin_send", every, false},
    {"Orwin_write_raw", full, false},
    {"Orwin_read_raw", full, false},
    {"Orwin_send_timecode", every, false},
    {"Orwin_delay", every, false},
    {"Orwin_send_ESC", every, false},
    {"Orwin_send_ESC_FCT", every, false},
    {"Orwin_send_ESC_EEP", every, false},
    {"Orwin_send_ESC_EOP", every, false},
    {"Orwin_send_ESC_ESC", every, false},
    {"Orwin_send_parity_error", full, false},
    {"Orwin_SO_STORE", every, false},
    {"Orwin_SO_FORWARD", every, false},
    {"Orwin_SO_JOIN", every, false},
    {"Orwin_SO_BARRIER", every, false},
    {"Orwin_hold_data", full, false},
    // Queries.
    {"Orwin_get_control_packet", every, false},
    {"Orwin_get_module_slot", every, false},
    {"Orwin_get_module_type", every, false},
    {"Orwin_get_slot", every, false},
    {"Orwin_set_slot", every, false},
    {"ram_io_read_bytes", full, false},
    {"ram_io_write_bytes", earlier | macos, false},
    {"ram_io_get_int", every, false},
    {"Orwin_get_module_string", every, true},
    {"Orwin_get_manufacturer_string", every, true},
    {"Orwin_get_product_string", every, true},
    {"Orwin_get_device_description", full, true},
    {"Orwin_get_options_string", every, true},
    {"Orwin_get_HWA", every, true},
    {"Orwin_HWA_to_serial_number_string", every, false},
    {"Orwin_get_number_of_links", every, true},
    {"Orwin_link_connected", every, true},
    {"Orwin_write_buffer_empty", every, true},
    {"Orwin_get_receive_speed", every, true},
    {"Orwin_request_link_status", every, true},
    {"Orwin_request_link_status_port", full, true},
    {"Orwin_request_rx_speed", every, true},
    {"Orwin_request_tx_speed", every, true},
    {"Orwin_request_stat", macos, false},
    {"Orwin_extract_link_state", every, false},
    {"Orwin_extract_rx_speed", every, false},
    {"Orwin_extract_tx_speed", every, false},
    {"Orwin_extract_timetag", every, true},
    {"Orwin_extract_timetag_ns", every, true},
    {"Orwin_get_timetag_Tor", every, false},
    {"Orwin_get_timetag_Vex", every, false},
    // Configuration.
    {"Orwin_set_active_link", every, true},
    {"Orwin_set_mode", every, true},
    {"Orwin_set_speed", every, true},
    {"Orwin_set_speed_double", every, true},
    {"Orwin_TT_enable_reporting", every, true},
    {"Orwin_ER_enable_reporting", every, true},
    {"Orwin_EW_enable_reporting", every, true},
    {"Orwin_Observe", every, true},
    {"Orwin_EW_source", every, true},
    {"Orwin_EW_request_data", every, true},
    {"Orwin_EW_reset", every, true},
    {"Orwin_EW_clear", every, true},
    {"Orwin_EI_ignore_events", every, true},
    {"Orwin_EI_flow_control", every, true},
    {"Orwin_ATI_calibrate", every, true},
    {"Orwin_sma_56_pulse_width", every, true},
    {"Orwin_set_max_packet_data", every, true},
    {"Orwin_set_mode_portmask", every, true},
    {"Orwin_RGVex_control", full, false},
    // Record, replay and trace files.
    {"Orwin_set_record_file", every, false},
    {"Orwin_get_record_file", every, false},
    {"Orwin_get_record_size", every, false},
    {"Orwin_flush_record_file", every, false},
    {"Orwin_check_record_writes", every, false},
    {"Orwin_record_writes", every, false},
    {"Orwin_set_tx_record_file", full, false},
    {"Orwin_set_log_file", every, false},
    {"Orwin_File", every, false},
    {"Orwin_get_percent_file_read", every, false},
    {"Orwin_get_total_raw_bytes_received", every, false},
    {"Orwin_dump", every, false},
    {"Orwin_dump_max", every, false},
    {"Orwin_dump_status", every, false},
    // Platform helpers.
    {"orw_open_pipe", every, false},
    {"orw_write_pipe", every, false},
    {"orw_close_pipe", every, false},
    {"orw_create_pipe_cb", every, false},
    {"orw_create_process", every, false},
    {"orw_mkdir", every, false},
    {"orw_delay", every, false},
    {"orw_gmt_time_offset", every, false},
    {"orw_open_rd", every, false},
    {"orw_open_text", every, false},
    {"orw_close", every, false},
    {"orw_flush", every, false},
};

// Every exported name of `build` (present = true) or of the other builds
// only (present = false).
inline std::set<std::string> expected(unsigned build, bool present)
{
    std::set<std::string> out;
    for (const name_set &n : names) {
        if (((n.builds & build) != 0) != present)
            continue;
        out.insert(n.name);
        if (n.family_variants) {
            out.insert(std::string(n.name) + "_Tor");
            out.insert(std::string(n.name) + "_Vex");
        }
    }
    return out;
}

} // namespace c_interface
