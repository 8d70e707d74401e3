// SPDX-License-Identifier: MIT
// Orwin.hpp - object layer over the C interface: orw::connection decodes a
// unit's events into virtual callbacks, keeps per-link time bases and status
// counters, and wraps configuration calls (throwing orw::error on failure).
#ifndef ORWIN_HPP
#define ORWIN_HPP

#include "Orwin_Export.h"

#include "Orwin.h"
#include "Orwin_Trace.h"
#include "Orwin_Utils.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <queue>
#include <string>

namespace orw {

/** A counter with the total at the last snapshot. */
struct ORWIN_API stats {
    uint64_t total = 0;
    uint64_t last = 0;

    /** Take both values of `o`. */
    void copy(const stats &o)
    {
        total = o.total;
        last = o.last;
    }
    /** Take both values of the live counter `o`, then start its next
     *  interval (its `last` becomes its current total). */
    void copyreset(stats &o)
    {
        copy(o);
        o.last = o.total;
    }
};

/** Status of one link. */
struct ORWIN_API portstatus {
    int portno = 0;
    int runstatus = 0;
    float rxspeed = 0;
    bool active = false;
    bool connected = false;
    stats bytes, eop, eep, eecs, timeout, parity, missed, error1, error2;
    uint8_t timecode = 0; // last time-code seen

    void copy(const portstatus &o);
    void copyreset(portstatus &o);
};

/** Status of one unit; `links` is indexed by link number (1..8). */
struct ORWIN_API devstatus {
    static constexpr int max_links = 9;

    bool linkstatus = false;
    uint32_t runtime = 0;
    uint32_t uncertainty = 0;
    stats rawbytes, bytes, eop, eep, eecs, missed, timeout, parity, error1, error2;
    portstatus links[max_links];

    devstatus() = default;
    devstatus(const devstatus &o) = default;
    devstatus &operator=(const devstatus &o) = default;

    void copy(const devstatus &o);
    void copyreset(devstatus &o);
};

/** Time of the last timetag of one link. */
struct ORWIN_API timestamp {
    uint64_t raw = 0;     // last timetag count, 0.1 ns units
    time_t time = 0;      // seconds of the real time computed for it
    unsigned long ns = 0; // nanoseconds of that time
    bool active = false;  // a time was computed
    bool present = false; // a full timetag has been seen on this link
};

/** Time base: the real time `now` that the raw count `t0` stands for. */
struct ORWIN_API orwhires {
    timespec now{};
    uint64_t t0 = 0;
    timespec t0s{};
};

/**
 * Base of every object that owns a unit link. Extension and special frames
 * read with CALLBACK_EXTENSION_DATA / CALLBACK_SPECIAL_DATA are decoded into
 * the virtual callbacks below, which run on the reading thread inside the
 * read. A decoding callback returning false makes that read return 0 with
 * type PART_EOP_EEP.
 */
class ORWIN_API connection {
  public:
    // The constants the C interface has too are its enumerators, so the two
    // layers cannot drift apart.

    // ---- Packet types -------------------------------------------------------
    static constexpr int EEP = ::Orwin_EEP;
    static constexpr int EOP = ::Orwin_EOP;
    static constexpr int PART_EOP_EEP = ::Orwin_PART_EOP_EEP;
    static constexpr int SPECIAL = ::Orwin_SPECIAL;
    static constexpr int PART_SPECIAL = ::Orwin_PART_SPECIAL;
    static constexpr int EXTN = ::Orwin_EXTN;
    static constexpr int PART_EXTN = ::Orwin_PART_EXTN;
    static constexpr int TRUNCATED = ::Orwin_TRUNCATED;
    static constexpr int INCOMPLETE = ::Orwin_INCOMPLETE;
    static constexpr int SPECIAL_SIZE = ::Orwin_SPECIAL_SIZE;
    static constexpr int EXTENSION_SIZE = ::Orwin_EXTENSION_SIZE;
    static constexpr int TIMEOUT = ::Orwin_TIMEOUT;
    static constexpr int FLUSH = ::Orwin_FLUSH;

    // ---- Extension commands (256 + command byte) ----------------------------
    static constexpr int FCT = 0x100;
    static constexpr int ESC = 0x103;
    static constexpr int ESC_FCT = 0x104;
    static constexpr int ESC_EEP = 0x105;
    static constexpr int ESC_EOP = 0x106;
    static constexpr int ESC_ESC = 0x107;
    static constexpr int Timeout = 0x108;
    static constexpr int ParityError = 0x109;
    static constexpr int PERROR1 = 0x10A;
    static constexpr int PERROR2 = 0x10B;
    static constexpr int STORE = 0x10C;
    static constexpr int FORWARD = 0x10D;
    static constexpr int ATOM = 0x10E;
    static constexpr int MOTA = 0x10F;
    static constexpr int JOIN = 0x110;
    static constexpr int BARRIER = 0x111;
    static constexpr int RESIGN = 0x112;
    static constexpr int EVENT = 0x113;
    static constexpr int Missing_data = 0x114;
    static constexpr int HOLD = 0x12F;
    static constexpr int Delay = 0x130;
    static constexpr int PortSelect = 0x140;
    static constexpr int PortSelect_max = 0x17F;
    static constexpr int Multi_byte_extn_start = 0x180;
    static constexpr int TimeTag_uncertainty = 0x181;
    static constexpr int TimeTag_delta = 0x182;
    static constexpr int TimeTag = 0x188;
    static constexpr int TimeCode = 0x191;
    static constexpr int Module = 0x192;
    static constexpr int TimeZero = 0x198;
    static constexpr int TRUNCATE_1 = 0x1A1;
    static constexpr int TRUNCATE_2 = 0x1A2;
    static constexpr int REPEAT_1 = 0x1B1;
    static constexpr int REPEAT_2 = 0x1B2;
    static constexpr int REPEAT_3 = 0x1B3;
    static constexpr int Year = 0x1C8;
    static constexpr int Header = 0x1CE;

    // ---- Special-data actions ------------------------------------------------
    static constexpr int DISCARD_SPECIAL_DATA = ::DISCARD_SPECIAL_DATA;
    static constexpr int REPORT_SPECIAL_DATA = ::REPORT_SPECIAL_DATA;
    static constexpr int RETURN_SPECIAL_DATA = ::RETURN_SPECIAL_DATA;
    static constexpr int CALLBACK_SPECIAL_DATA = ::CALLBACK_SPECIAL_DATA;
    static constexpr int SPECIAL_DATA_FLAGS = ::SPECIAL_DATA_FLAGS;
    static constexpr int DISCARD_EXTENSION_DATA = ::DISCARD_EXTENSION_DATA;
    static constexpr int REPORT_EXTENSION_DATA = ::REPORT_EXTENSION_DATA;
    static constexpr int RETURN_EXTENSION_DATA = ::RETURN_EXTENSION_DATA;
    static constexpr int CALLBACK_EXTENSION_DATA = ::CALLBACK_EXTENSION_DATA;
    static constexpr int EXTENSION_DATA_FLAGS = ::EXTENSION_DATA_FLAGS;
    static constexpr int READ_IMMEDIATE = ::READ_IMMEDIATE;

    // ---- Opening, families, time-outs ----------------------------------------
    static constexpr int CONNECT_FILE = ::CONNECT_FILE;
    static constexpr int SYSTEM_TYPE_INVALID = ::SYSTEM_TYPE_INVALID;
    static constexpr int SYSTEM_TYPE_Tor = ::SYSTEM_TYPE_Tor;
    static constexpr int SYSTEM_TYPE_Vex = ::SYSTEM_TYPE_Vex;
    static constexpr int Receiver_Timeout_Returns_Zero_Part_Pkt = ::Receiver_Timeout_Returns_Zero_Part_Pkt;
    static constexpr int Receiver_Timeout_Returns_Error = ::Receiver_Timeout_Returns_Error;
    static constexpr int Option_SO = ::Option_SO;

    // ---- Module types --------------------------------------------------------
    static constexpr int CAPABILITIES = ::Orwin_MODULE_CAPABILITIES;
    static constexpr int MANUFACTURER = ::Orwin_MODULE_MANUFACTURER;
    static constexpr int PRODUCT = ::Orwin_MODULE_PRODUCT;
    static constexpr int HWA = ::Orwin_MODULE_HWA;
    static constexpr int LINK_SPEED = ::Orwin_MODULE_LINK_SPEED;
    static constexpr int LINK = ::Orwin_MODULE_LINK;
    static constexpr int SF = ::Orwin_MODULE_SF;
    static constexpr int TT = ::Orwin_MODULE_TT;
    static constexpr int ER = ::Orwin_MODULE_ER;
    static constexpr int EW = ::Orwin_MODULE_EW;
    static constexpr int TC_rx = ::Orwin_MODULE_TC_rx;
    static constexpr int TC_tx = ::Orwin_MODULE_TC_tx;
    static constexpr int EW_RT = ::Orwin_MODULE_EW_RT;
    static constexpr int CR = ::Orwin_MODULE_CR;
    static constexpr int TT_64 = ::Orwin_MODULE_TT_64;
    static constexpr int ER_64 = ::Orwin_MODULE_ER_64;
    static constexpr int TC_rx_64 = ::Orwin_MODULE_TC_rx_64;
    static constexpr int router_cs = ::Orwin_MODULE_router_cs;
    static constexpr int router_tables = ::Orwin_MODULE_router_tables;
    static constexpr int router_stats = ::Orwin_MODULE_router_stats;
    static constexpr int ram_rw = ::Orwin_MODULE_ram_rw;
    static constexpr int barrier = ::Orwin_MODULE_barrier;
    static constexpr int TT_now = ::Orwin_MODULE_TT_now;

    // ---- Register addresses (Vex family) -------------------------------------
    static constexpr int LINK_address = ::Orwin_LINK_address;
    static constexpr int RX_SPEED_address = ::Orwin_RX_SPEED_address;
    static constexpr int max_packet_data = ::Orwin_max_packet_data;
    static constexpr int OBSERVE_address = ::Orwin_OBSERVE_address;
    static constexpr int TIMETAG_address = ::Orwin_TIMETAG_address;
    static constexpr int IGNORE_address = ::Orwin_IGNORE_address;
    static constexpr int FLOW_CONTROL_address = ::Orwin_FLOW_CONTROL_address;
    static constexpr int Event_cause_address = ::Orwin_Event_cause_address;
    static constexpr int EW_source_address = ::Orwin_EW_source_address;
    static constexpr int SMA_56_pulse_width_address = ::Orwin_SMA_56_pulse_width_address;
    static constexpr int ATI_address = ::Orwin_ATI_address;
    static constexpr int EW_address = ::Orwin_EW_address;
    static constexpr int PC_address = ::Orwin_PC_address;
    static constexpr int PG_address = ::Orwin_PG_address;
    static constexpr int HWA_address = ::Orwin_HWA_address;
    static constexpr int VERSION_address = ::Orwin_VERSION_address;
    static constexpr int DESCRIPTION_address = ::Orwin_DESCRIPTION_address;
    static constexpr int TX_SPEED_address = ::Orwin_TX_SPEED_address;
    static constexpr int OPTIONS_address = ::Orwin_OPTIONS_address;
    static constexpr int NLINKS_address = ::Orwin_NLINKS_address;
    static constexpr int VIFC_CONTROL_address = ::Orwin_VIFC_CONTROL_address;

    // ---- Link status byte ----------------------------------------------------
    static constexpr int SpaceWire_state_ErrorReset = ::SpaceWire_state_ErrorReset;
    static constexpr int SpaceWire_state_ErrorWait = ::SpaceWire_state_ErrorWait;
    static constexpr int SpaceWire_state_Ready = ::SpaceWire_state_Ready;
    static constexpr int SpaceWire_state_Started = ::SpaceWire_state_Started;
    static constexpr int SpaceWire_state_Connecting = ::SpaceWire_state_Connecting;
    static constexpr int SpaceWire_state_Run = ::SpaceWire_state_Run;
    static constexpr int TRC_state_NC = ::TRC_state_NC;
    static constexpr int TRC_state_Connected = ::TRC_state_Connected;
    static constexpr int LINK_tx_buffer_empty = ::LINK_tx_buffer_empty;
    static constexpr int LINK_state_offset = ::LINK_state_offset;

    // ---- Error codes -----------------------------------------------------------
    static constexpr int Error_RecFile_Open = ::Error_RecFile_Open;
    static constexpr int Error_RecFile_Write = ::Error_RecFile_Write;
    static constexpr int Error_LogFile_Open = ::Error_LogFile_Open;
    static constexpr int Error_LogFile_Write = ::Error_LogFile_Write;
    static constexpr int Error_Receiver_Timeout = ::Error_Receiver_Timeout;
    static constexpr int Error_Receiver_Shutdown = ::Error_Receiver_Shutdown;
    static constexpr int Error_IO_Error = ::Error_IO_Error;
    static constexpr int Error_SaveBuf_Overflow_Save = ::Error_SaveBuf_Overflow_Save;
    static constexpr int Error_SaveBuf_Overflow_Restore = ::Error_SaveBuf_Overflow_Restore;
    static constexpr int Error_Function_Not_Supported = ::Error_Function_Not_Supported;
    static constexpr int Error_Network = ::Error_Network;
    static constexpr int Error_Network_Format_Error = ::Error_Network_Format_Error;
    static constexpr int Error_Request_Too_Large = ::Error_Request_Too_Large;
    static constexpr int Error_Sequence_Error = ::Error_Sequence_Error;
    static constexpr int Error_Response_Too_Small = ::Error_Response_Too_Small;
    static constexpr int Error_Response_Mismatch = ::Error_Response_Mismatch;
    static constexpr int Error_Module_Not_Present = ::Error_Module_Not_Present;
    static constexpr int Error_Parameter_RangeIncorrect = ::Error_Parameter_RangeIncorrect;
    static constexpr int Error_File_Not_Present = ::Error_File_Not_Present;
    static constexpr int Error_EINTR = ::Error_EINTR;
    static constexpr int Error_Link_Incorrect = ::Error_Link_Incorrect;
    static constexpr int Error_Incorrect_Device = ::Error_Incorrect_Device;
    static constexpr int Error_Memory = ::Error_Memory;
    static constexpr int Error_Host_Unresolvable = ::Error_Host_Unresolvable;
    static constexpr int Error_Host_Unresponsive = ::Error_Host_Unresponsive;
    static constexpr int Error_WaveForm_Dir_Create = ::Error_WaveForm_Dir_Create;
    static constexpr int Error_Zero_Read = ::Error_Zero_Read;
    static constexpr int Error_Set_Option_File = ::Error_Set_Option_File;
    static constexpr int Error_Invalid_Device = ::Error_Invalid_Device;
    static constexpr int Error_File_Move = ::Error_File_Move;
    static constexpr int Error_Invalid_File = ::Error_Invalid_File;
    static constexpr int Error_Callback_Return = ::Error_Callback_Return;
    static constexpr int Error_FileList_Empty = ::Error_FileList_Empty;
    static constexpr int Error_Unknown_System_Type = ::Error_Unknown_System_Type;
    static constexpr int Error_Not_Known = ::Error_Not_Known;
    static constexpr int Error_EXE_Start_Failed = ::Error_EXE_Start_Failed;
    static constexpr int Error_NO_Connection = ::Error_NO_Connection;
    static constexpr int Error_Invalid_Link = ::Error_Invalid_Link;
    static constexpr int Error_Would_Block = ::Error_Would_Block;
    static constexpr int Error_Link_Not_Connected = ::Error_Link_Not_Connected;
    static constexpr int Error_ReadHandler_Running = ::Error_ReadHandler_Running;
    static constexpr int Error_Buffer_Full = ::Error_Buffer_Full;
    static constexpr int Error_CaptureThread_Failed = ::Error_CaptureThread_Failed;

    // ---- Event reporting (bits 7-0 Tor module byte, 23-8 Vex register) -------
    static constexpr int report_EEP = ::Orwin_report_EEP;
    static constexpr int report_nchar = ::Orwin_report_nchar;
    static constexpr int report_first_null = ::Orwin_report_first_null;
    static constexpr int report_excess_FCT = ::Orwin_report_excess_FCT;
    static constexpr int report_excess_data = ::Orwin_report_excess_data;
    static constexpr int report_first_byte = ::Orwin_report_first_byte;
    static constexpr int report_mid_bytes = ::Orwin_report_mid_bytes;
    static constexpr int report_EOP = ::Orwin_report_EOP;
    static constexpr int report_time_code = ::Orwin_report_time_code;
    static constexpr int report_FCT = ::Orwin_report_FCT;
    static constexpr int report_NULL = ::Orwin_report_NULL;
    static constexpr int report_parity_error = ::Orwin_report_parity_error;
    static constexpr int report_ESC_EOP = ::Orwin_report_ESC_EOP;
    static constexpr int report_ESC_EEP = ::Orwin_report_ESC_EEP;
    static constexpr int report_ESC_ESC = ::Orwin_report_ESC_ESC;
    static constexpr int report_timeout = ::Orwin_report_timeout;
    static constexpr int report_delta = ::Orwin_report_delta;

    static constexpr int TT_report_nothing = ::TT_report_nothing;
    static constexpr int TT_report_first_byte = ::TT_report_first_byte;
    static constexpr int TT_report_intermediate_bytes = ::TT_report_intermediate_bytes;
    static constexpr int TT_report_EOP_EEP = ::TT_report_EOP_EEP;
    static constexpr int TT_report_EEP = ::TT_report_EEP;
    static constexpr int TT_report_EOP = ::TT_report_EOP;
    static constexpr int TT_report_time_code = ::TT_report_time_code;
    static constexpr int TT_report_fct = ::TT_report_fct;
    static constexpr int TT_report_null = ::TT_report_null;
    static constexpr int TT_report_parity_error = ::TT_report_parity_error;
    static constexpr int TT_report_ESC_EOP = ::TT_report_ESC_EOP;
    static constexpr int TT_report_ESC_EEP = ::TT_report_ESC_EEP;
    static constexpr int TT_report_ESC_ESC = ::TT_report_ESC_ESC;
    static constexpr int TT_report_timeout = ::TT_report_timeout;

    static constexpr int ER_report_nothing = ::ER_report_nothing;
    static constexpr int ER_report_first_null = ::ER_report_first_null;
    static constexpr int ER_report_first_fct = ::ER_report_first_fct;
    static constexpr int ER_report_running_error = ::ER_report_running_error;
    static constexpr int ER_report_starting_error = ::ER_report_starting_error;
    static constexpr int ER_report_nchar = ::ER_report_nchar;
    static constexpr int ER_report_time_code = ::ER_report_time_code;
    static constexpr int ER_report_fct = ::ER_report_fct;
    static constexpr int ER_report_null = ::ER_report_null;
    static constexpr int ER_report_parity_error = ::ER_report_parity_error;
    static constexpr int ER_report_ESC_EOP = ::ER_report_ESC_EOP;
    static constexpr int ER_report_ESC_EEP = ::ER_report_ESC_EEP;
    static constexpr int ER_report_ESC_ESC = ::ER_report_ESC_ESC;
    static constexpr int ER_report_timeout = ::ER_report_timeout;

    static constexpr int EW_capture_nothing = ::EW_capture_nothing;
    static constexpr int EW_capture_first_null = ::EW_capture_first_null;
    static constexpr int EW_capture_first_fct = ::EW_capture_first_fct;
    static constexpr int EW_capture_running_error = ::EW_capture_running_error;
    static constexpr int EW_capture_starting_error = ::EW_capture_starting_error;
    static constexpr int EW_capture_nchar = ::EW_capture_nchar;
    static constexpr int EW_capture_time_code = ::EW_capture_time_code;
    static constexpr int EW_capture_EOP = ::EW_capture_EOP;
    static constexpr int EW_capture_EEP = ::EW_capture_EEP;
    static constexpr int EW_capture_FCT = ::EW_capture_FCT;
    static constexpr int EW_capture_excess_FCT = ::EW_capture_excess_FCT;
    static constexpr int EW_capture_excess_data = ::EW_capture_excess_data;
    static constexpr int EW_capture_null = ::EW_capture_null;
    static constexpr int EW_capture_parity_error = ::EW_capture_parity_error;
    static constexpr int EW_capture_ESC_EOP = ::EW_capture_ESC_EOP;
    static constexpr int EW_capture_ESC_EEP = ::EW_capture_ESC_EEP;
    static constexpr int EW_capture_ESC_ESC = ::EW_capture_ESC_ESC;
    static constexpr int EW_capture_timeout = ::EW_capture_timeout;

    static constexpr int EW_Source_barrier = ::EW_Source_barrier;
    static constexpr int EW_Source_port_1 = ::EW_Source_port_1;
    static constexpr int EW_Source_port_2 = ::EW_Source_port_2;
    static constexpr int EW_Source_port_3 = ::EW_Source_port_3;
    static constexpr int EW_Source_port_4 = ::EW_Source_port_4;
    static constexpr int EW_Source_port_5 = ::EW_Source_port_5;
    static constexpr int EW_Source_port_6 = ::EW_Source_port_6;
    static constexpr int EW_Source_port_7 = ::EW_Source_port_7;
    static constexpr int EW_Source_port_8 = ::EW_Source_port_8;
    static constexpr int EW_Source_SMA_12 = ::EW_Source_SMA_12;
    static constexpr int EW_Source_SMA_34 = ::EW_Source_SMA_34;
    static constexpr int EW_Source_SMA_56 = ::EW_Source_SMA_56;
    static constexpr int EW_Source_SMA_78 = ::EW_Source_SMA_78;
    static constexpr int EW_Source_local_clock = ::EW_Source_local_clock;

    static constexpr int EI_ignore_excess_FCT = ::EI_ignore_excess_FCT;
    static constexpr int EI_ignore_excess_data = ::EI_ignore_excess_data;
    static constexpr int EI_ignore_parity_error = ::EI_ignore_parity_error;
    static constexpr int EI_ignore_ESC_EOP = ::EI_ignore_ESC_EOP;
    static constexpr int EI_ignore_ESC_EEP = ::EI_ignore_ESC_EEP;
    static constexpr int EI_ignore_ESC_ESC = ::EI_ignore_ESC_ESC;
    static constexpr int EI_ignore_timeout = ::EI_ignore_timeout;
    static constexpr int EI_normal_flow_control = ::EI_normal_flow_control;
    static constexpr int EI_no_automatic_FCT = ::EI_no_automatic_FCT;
    static constexpr int EI_transmit_anyway = ::EI_transmit_anyway;

    // ---- Link modes and module settings --------------------------------------
    static constexpr int LINK_mode_disabled = ::LINK_mode_disabled;
    static constexpr int LINK_mode_normal = ::LINK_mode_normal;
    static constexpr int LINK_mode_legacy = ::LINK_mode_legacy;
    static constexpr int LINK_mode_master = ::LINK_mode_master;
    static constexpr int LINK_mode_long_timeout = ::LINK_mode_long_timeout;
    static constexpr int LINK_mode_fixed_speed = ::LINK_mode_fixed_speed;
    static constexpr int LINK_mode_slow_speed = ::LINK_mode_slow_speed;
    static constexpr int SF_disabled = ::SF_disabled;
    static constexpr int SF_enabled = ::SF_enabled;
    static constexpr int TC_rx_silent = ::TC_rx_silent;
    static constexpr int TC_rx_report_enabled = ::TC_rx_report_enabled;
    static constexpr int TC_rx_time_stamp_enabled = ::TC_rx_time_stamp_enabled;
    static constexpr int TC_tx_trigger_mask = ::TC_tx_trigger_mask;
    static constexpr int TC_tx_no_trigger = ::TC_tx_no_trigger;
    static constexpr int TC_tx_one_code = ::TC_tx_one_code;
    static constexpr int TC_tx_external_trigger = ::TC_tx_external_trigger;
    static constexpr int TC_tx_regular_trigger = ::TC_tx_regular_trigger;
    static constexpr int TC_tx_update_interval = ::TC_tx_update_interval;
    static constexpr int TC_tx_update_code = ::TC_tx_update_code;
    static constexpr int TC_tx_format_mask = ::TC_tx_format_mask;
    static constexpr int TC_tx_no_increment = ::TC_tx_no_increment;
    static constexpr int TC_tx_increment_6_bits = ::TC_tx_increment_6_bits;
    static constexpr int TC_tx_increment_7_bits = ::TC_tx_increment_7_bits;
    static constexpr int TC_tx_increment_8_bits = ::TC_tx_increment_8_bits;
    static constexpr int TC_tx_report_transmission = ::TC_tx_report_transmission;

    // ---- Sizes -----------------------------------------------------------------
    static constexpr size_t callback_buffer_size = 4096;
    static constexpr size_t waveform_record_size = 2075;
    static constexpr int max_timestamps = 32;
    static constexpr int open_timeout_ms = 60000;

    // ---- State -------------------------------------------------------------
    unsigned tx_link = 0; // link last selected for sending
    unsigned rx_link = 1; // link the unit last reported data for
    uint32_t read_flags = 0;
    uint32_t uncertainty = 0; // last reported timetag uncertainty
    time_t yeartime = 0;      // 0 until a date or recording header arrives
    time_t starttime = 0;
    bool t0start = false; // the time base is set
    timestamp timestamps[max_timestamps];
    devstatus status;
    std::atomic<bool> running{false};
    orwhires baseclock;
    bool live = false; // a unit rather than a recording
    std::string addr;
    std::string sno;
    size_t special_data_sz = 0;
    size_t extn_data_sz = 0;
    unsigned char extn_data_buffer[callback_buffer_size] = {};
    unsigned char special_data_buffer[callback_buffer_size] = {};
    std::queue<std::string> filelist;
    unsigned char file_buffer[callback_buffer_size] = {};
    unsigned char mac_buffer[6] = {};
    Orwin device = nullptr;

    /** Not connected; connect() opens a unit or recording later. */
    connection() = default;
    /** Connects to `address` at once (see connect()). */
    explicit connection(const std::string &address);
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;

    /**
     * Open a unit ("host[:port]", 60 s negotiation time-out) or, when the
     * address begins with "-", a recording. Registers this object as the
     * handle's context and its buffers for special and extension callbacks.
     * A handle already open is closed first.
     * @throws orw::error with the address, code and text of the failure
     */
    void connect(const std::string &address);

    /** Registered with the link: route to the owning connection. */
    static int special_data_s(Orwin lnk_, void *data_, int length_, int complete_, int data_buffer_position_);
    static int extn_data_s(Orwin lnk_, void *data_, int length_, int complete_, int data_buffer_position_);

    // ---- Callbacks, in slot order ---------------------------------------------
    virtual void reported_version(uint8_t version_, uint8_t type_);
    virtual void startdate(time_t lnow_, uint32_t ns_);
    virtual bool timetag_uncertainty(uint32_t uncertainty_);
    virtual bool missing_data();
    virtual bool esc_eep();
    virtual bool received_fct();
    virtual bool received_esc_fct();
    virtual bool esc_eop();
    virtual bool esc_esc();
    virtual void link_selected(int link_);
    virtual bool link_timeout();
    virtual bool port_status(int link_, double rxspeed_, bool connected_, int runstatnus_);
    virtual bool port_status(int link_, bool connected_, int runstatnus_);
    virtual bool link_tx_speed(int link_, double txspeed_);
    virtual bool parity_error();
    virtual bool error_event();
    virtual bool perror1();
    virtual bool perror2();
    virtual bool timecode(uint8_t tc_, uint8_t a_, uint8_t b_, uint8_t t_);
    virtual void timetag(uint64_t time_);
    virtual void timezero(double time_);
    virtual void err(double time_, int state_, int error_bits_);
    virtual bool barrier_lifted(uint64_t t_);
    virtual bool waveform_data(int erridx, int unit, int port, int ew_port, int event, char *cause,
                               unsigned char *data_, size_t sz);
    virtual bool unknown_ram_data(void *data_, int length_, int complete_, int data_buffer_position_);
    virtual bool unknown_special_data(void *data_, int length_, int complete_, int data_buffer_position_);
    virtual bool unknown_extn_data(void *data_, int length_, int complete_, int data_buffer_position_);
    /** Decode a RAM-I/O reply held in special_data_buffer. */
    virtual int ram_rw_data(void *data_, int length_, int complete_, int data_buffer_position_);
    /** Decode a special packet held in special_data_buffer. */
    virtual int special_data(void *data_, int length_, int complete_, int data_buffer_position_);
    /** Decode an extension held in extn_data_buffer. */
    virtual int extn_data(void *data_, int length_, int complete_, int data_buffer_position_);
    /** Closes the handle. */
    virtual ~connection();
    /** Select the link later sends go to; records it in tx_link. */
    virtual void active_port(unsigned int link_);
    virtual void mode(int mode_);
    virtual void TT_reporting(int when_);
    virtual void ER_reporting(int when_);
    virtual void EW_reporting(int when_);
    virtual void EW_source(int source_);

    // ---- The shared read loop ----------------------------------------------------
    /** What one bounded read of the stream gave. */
    enum class read_result {
        piece, ///< `n` bytes of type `type` to hand on (a packet piece, or an event left to the caller)
        idle,  ///< a time-out or an empty piece cut short by a callback: nothing to hand on
        ended, ///< the stream ended: the last queued recording, or the unit hung up
    };
    /**
     * One bounded read (the handle's receive time-out) into `buffer`, with
     * the special/extension `actions`. The end of a recording opens the next
     * one queued in `filelist` and reads on.
     * @throws orw::error with the code and text of any failed read but end of data
     */
    read_result read_once(unsigned char *buffer, size_t size, int actions, ssize_t &n, uint32_t &type);
    /**
     * The read loop of every object that reads its unit on a thread: reads
     * with read_once() while `keep_reading` holds, testing it after every
     * bounded read, and hands each piece to `deliver(n, type)`.
     * @return false when the last recording ended, true when stopped
     * @throws orw::error when the connection is lost: a failed read (its
     *         code and text), or a live unit that hung up while still read
     *         (-11 "Connection closed by the unit")
     */
    template <class Deliver>
    bool read_stream(unsigned char *buffer, size_t size, int actions, const std::atomic<bool> &keep_reading,
                     Deliver &&deliver)
    {
        while (keep_reading.load(std::memory_order_relaxed)) {
            ssize_t n = 0;
            uint32_t type = 0;
            switch (read_once(buffer, size, actions, n, type)) {
            case read_result::piece:
                deliver(n, static_cast<int>(type));
                break;
            case read_result::idle:
                break;
            case read_result::ended:
                if (live && keep_reading.load())
                    throw error(addr, Error_Receiver_Shutdown, "Connection closed by the unit");
                return false;
            }
        }
        return true;
    }

    // ---- Other operations -----------------------------------------------------
    void flush();
    unsigned int nolinks();
    /** Map count `t_` to real time for rx_link, then timetag() or timezero(). */
    void reported_time(uint64_t t_, bool tt_);
    /**
     * Decode a 2,075-byte error-waveform record and call waveform_data();
     * any other size goes to unknown_special_data().
     */
    bool raw_waveform_data(unsigned char *special_, size_t sz_);
    /** Cause text of a waveform event byte (low nibble port, high nibble
     *  event) into `cause` (at most `size` bytes, terminated). */
    static void waveform_cause(unsigned event_byte, char *cause, size_t size);

  protected:
    /**
     * Open `addr` again (closing the handle open first), as connect() does;
     * for a unit, `timeout_ms` bounds the connection wait and the
     * negotiation. @throws orw::error
     */
    void open_handle(int timeout_ms);
    /** Throw orw::error for a negative result of the C interface. */
    int check(int result) const;
    /** Throw unless a handle is open. */
    void require_device() const;
    /** Map a timetag count to real time and store it for rx_link. */
    void compute_time(uint64_t count);

  private:
    bool decode_date(const unsigned char *b);
    bool decode_header(const unsigned char *b);
    void set_all_timestamps(time_t t, unsigned long ns);
    portstatus *rx_port()
    {
        return rx_link < static_cast<unsigned>(devstatus::max_links) ? &status.links[rx_link] : nullptr;
    }
};

} // namespace orw

#include "Orwin_RMAP.hpp"
#include "Orwin_SpaceWire.hpp"

#endif // ORWIN_HPP
