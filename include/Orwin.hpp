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
    uint64_t raw = 0;       // last timetag count, 0.1 ns units
    time_t time = 0;        // seconds of the real time computed for it
    unsigned long ns = 0;   // nanoseconds of that time
    bool active = false;    // a time was computed
    bool present = false;   // a full timetag has been seen on this link
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
    // ---- Packet types -------------------------------------------------------
    static constexpr int EEP = 257;
    static constexpr int EOP = 258;
    static constexpr int PART_EOP_EEP = 1000;
    static constexpr int SPECIAL = 1003;
    static constexpr int PART_SPECIAL = 1004;
    static constexpr int EXTN = 1005;
    static constexpr int PART_EXTN = 1006;
    static constexpr int TRUNCATED = 1007;
    static constexpr int INCOMPLETE = 1008;
    static constexpr int SPECIAL_SIZE = 1009;
    static constexpr int EXTENSION_SIZE = 1010;
    static constexpr int TIMEOUT = 1011;
    static constexpr int FLUSH = 2048;

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
    static constexpr int DISCARD_SPECIAL_DATA = 0;
    static constexpr int REPORT_SPECIAL_DATA = 1;
    static constexpr int RETURN_SPECIAL_DATA = 2;
    static constexpr int CALLBACK_SPECIAL_DATA = 3;
    static constexpr int SPECIAL_DATA_FLAGS = 3;
    static constexpr int DISCARD_EXTENSION_DATA = 0;
    static constexpr int REPORT_EXTENSION_DATA = 16;
    static constexpr int RETURN_EXTENSION_DATA = 32;
    static constexpr int CALLBACK_EXTENSION_DATA = 48;
    static constexpr int EXTENSION_DATA_FLAGS = 48;
    static constexpr int READ_IMMEDIATE = 64;

    // ---- Opening, families, time-outs ----------------------------------------
    static constexpr int CONNECT_FILE = 1;
    static constexpr int SYSTEM_TYPE_INVALID = 0;
    static constexpr int SYSTEM_TYPE_Tor = 1;
    static constexpr int SYSTEM_TYPE_Vex = 2;
    static constexpr int Receiver_Timeout_Returns_Zero_Part_Pkt = 0;
    static constexpr int Receiver_Timeout_Returns_Error = 1;
    static constexpr int Option_SO = 1;

    // ---- Module types --------------------------------------------------------
    static constexpr int CAPABILITIES = 0;
    static constexpr int MANUFACTURER = 1;
    static constexpr int PRODUCT = 2;
    static constexpr int HWA = 3;
    static constexpr int LINK_SPEED = 4;
    static constexpr int LINK = 5;
    static constexpr int SF = 6;
    static constexpr int TT = 7;
    static constexpr int ER = 8;
    static constexpr int EW = 9;
    static constexpr int TC_rx = 10;
    static constexpr int TC_tx = 11;
    static constexpr int EW_RT = 13;
    static constexpr int CR = 14;
    static constexpr int TT_64 = 15;
    static constexpr int ER_64 = 16;
    static constexpr int TC_rx_64 = 17;
    static constexpr int router_cs = 18;
    static constexpr int router_tables = 19;
    static constexpr int router_stats = 20;
    static constexpr int ram_rw = 21;
    static constexpr int barrier = 22;
    static constexpr int TT_now = 23;

    // ---- Register addresses (Vex family) -------------------------------------
    static constexpr int LINK_address = 0x0000;
    static constexpr int RX_SPEED_address = 0x0001;
    static constexpr int max_packet_data = 0x0010;
    static constexpr int OBSERVE_address = 0x0020;
    static constexpr int TIMETAG_address = 0x0030;
    static constexpr int IGNORE_address = 0x0040;
    static constexpr int FLOW_CONTROL_address = 0x0050;
    static constexpr int Event_cause_address = 0x0060;
    static constexpr int EW_source_address = 0x0070;
    static constexpr int SMA_56_pulse_width_address = 0x00F0;
    static constexpr int ATI_address = 0x0100;
    static constexpr int EW_address = 0x1000;
    static constexpr int PC_address = 0x2000;
    static constexpr int PG_address = 0x4000;
    static constexpr int HWA_address = 0x8800;
    static constexpr int VERSION_address = 0x880A;
    static constexpr int DESCRIPTION_address = 0x880B;
    static constexpr int TX_SPEED_address = 0x87FD;
    static constexpr int OPTIONS_address = 0x8F60;
    static constexpr int NLINKS_address = 0x8FFF;
    static constexpr int VIFC_CONTROL_address = 0x9000;

    // ---- Link status byte ----------------------------------------------------
    static constexpr int SpaceWire_state_ErrorReset = 0;
    static constexpr int SpaceWire_state_ErrorWait = 1;
    static constexpr int SpaceWire_state_Ready = 2;
    static constexpr int SpaceWire_state_Started = 3;
    static constexpr int SpaceWire_state_Connecting = 4;
    static constexpr int SpaceWire_state_Run = 5;
    static constexpr int TRC_state_NC = 6;
    static constexpr int TRC_state_Connected = 7;
    static constexpr int LINK_tx_buffer_empty = 8;
    static constexpr int LINK_state_offset = 4;

    // ---- Error codes -----------------------------------------------------------
    static constexpr int Error_RecFile_Open = -1;
    static constexpr int Error_RecFile_Write = -2;
    static constexpr int Error_LogFile_Open = -3;
    static constexpr int Error_LogFile_Write = -4;
    static constexpr int Error_Receiver_Timeout = -10;
    static constexpr int Error_Receiver_Shutdown = -11;
    static constexpr int Error_IO_Error = -12;
    static constexpr int Error_SaveBuf_Overflow_Save = -15;
    static constexpr int Error_SaveBuf_Overflow_Restore = -16;
    static constexpr int Error_Function_Not_Supported = -17;
    static constexpr int Error_Network = -18;
    static constexpr int Error_Network_Format_Error = -19;
    static constexpr int Error_Request_Too_Large = -20;
    static constexpr int Error_Sequence_Error = -21;
    static constexpr int Error_Response_Too_Small = -22;
    static constexpr int Error_Response_Mismatch = -23;
    static constexpr int Error_Module_Not_Present = -24;
    static constexpr int Error_Parameter_RangeIncorrect = -25;
    static constexpr int Error_File_Not_Present = -26;
    static constexpr int Error_EINTR = -27;
    static constexpr int Error_Link_Incorrect = -28;
    static constexpr int Error_Incorrect_Device = -29;
    static constexpr int Error_Memory = -30;
    static constexpr int Error_Host_Unresolvable = -31;
    static constexpr int Error_Host_Unresponsive = -32;
    static constexpr int Error_WaveForm_Dir_Create = -33;
    static constexpr int Error_Zero_Read = -34;
    static constexpr int Error_Set_Option_File = -35;
    static constexpr int Error_Invalid_Device = -36;
    static constexpr int Error_File_Move = -37;
    static constexpr int Error_Invalid_File = -38;
    static constexpr int Error_Callback_Return = -39;
    static constexpr int Error_FileList_Empty = -40;
    static constexpr int Error_Unknown_System_Type = -41;
    static constexpr int Error_Not_Known = -42;
    static constexpr int Error_EXE_Start_Failed = -43;
    static constexpr int Error_NO_Connection = -44;
    static constexpr int Error_Invalid_Link = -45;
    static constexpr int Error_Would_Block = -48;
    static constexpr int Error_Link_Not_Connected = -49;
    static constexpr int Error_ReadHandler_Running = -50;
    static constexpr int Error_Buffer_Full = -51;
    static constexpr int Error_CaptureThread_Failed = -52;

    // ---- Event reporting (bits 7-0 Tor module byte, 23-8 Vex register) -------
    static constexpr int report_EEP = 0x800000;
    static constexpr int report_nchar = 0x400000;
    static constexpr int report_first_null = 0x200000;
    static constexpr int report_excess_FCT = 0x100000;
    static constexpr int report_excess_data = 0x80000;
    static constexpr int report_first_byte = 0x40000;
    static constexpr int report_mid_bytes = 0x20000;
    static constexpr int report_EOP = 0x10000;
    static constexpr int report_time_code = 0x8000;
    static constexpr int report_FCT = 0x4000;
    static constexpr int report_NULL = 0x2000;
    static constexpr int report_parity_error = 0x1000;
    static constexpr int report_ESC_EOP = 0x800;
    static constexpr int report_ESC_EEP = 0x400;
    static constexpr int report_ESC_ESC = 0x200;
    static constexpr int report_timeout = 0x100;
    static constexpr int report_delta = 0x400000;

    static constexpr int TT_report_nothing = 0;
    static constexpr int TT_report_first_byte = 0x40001;
    static constexpr int TT_report_intermediate_bytes = 0x20002;
    static constexpr int TT_report_EOP_EEP = 0x810004;
    static constexpr int TT_report_EEP = 0x800004;
    static constexpr int TT_report_EOP = 0x10004;
    static constexpr int TT_report_time_code = 0x8000;
    static constexpr int TT_report_fct = 0x4000;
    static constexpr int TT_report_null = 0x2000;
    static constexpr int TT_report_parity_error = 0x1000;
    static constexpr int TT_report_ESC_EOP = 0x800;
    static constexpr int TT_report_ESC_EEP = 0x400;
    static constexpr int TT_report_ESC_ESC = 0x200;
    static constexpr int TT_report_timeout = 0x100;

    static constexpr int ER_report_nothing = 0;
    static constexpr int ER_report_first_null = 2;
    static constexpr int ER_report_first_fct = 4;
    static constexpr int ER_report_running_error = 0x1F08;
    static constexpr int ER_report_starting_error = 0x10;
    static constexpr int ER_report_nchar = 0x40;
    static constexpr int ER_report_time_code = 0x8080;
    static constexpr int ER_report_fct = 0x4000;
    static constexpr int ER_report_null = 0x2000;
    static constexpr int ER_report_parity_error = 0x1000;
    static constexpr int ER_report_ESC_EOP = 0x800;
    static constexpr int ER_report_ESC_EEP = 0x400;
    static constexpr int ER_report_ESC_ESC = 0x200;
    static constexpr int ER_report_timeout = 0x100;

    static constexpr int EW_capture_nothing = 0;
    static constexpr int EW_capture_first_null = 0x200002;
    static constexpr int EW_capture_first_fct = 4;
    static constexpr int EW_capture_running_error = 0x1F08;
    static constexpr int EW_capture_starting_error = 0x10;
    static constexpr int EW_capture_nchar = 0x400040;
    static constexpr int EW_capture_time_code = 0x8080;
    static constexpr int EW_capture_EOP = 0x10000;
    static constexpr int EW_capture_EEP = 0x800000;
    static constexpr int EW_capture_FCT = 0x4000;
    static constexpr int EW_capture_excess_FCT = 0x100000;
    static constexpr int EW_capture_excess_data = 0x80000;
    static constexpr int EW_capture_null = 0x2000;
    static constexpr int EW_capture_parity_error = 0x1000;
    static constexpr int EW_capture_ESC_EOP = 0x800;
    static constexpr int EW_capture_ESC_EEP = 0x400;
    static constexpr int EW_capture_ESC_ESC = 0x200;
    static constexpr int EW_capture_timeout = 0x100;

    static constexpr int EW_Source_barrier = 1;
    static constexpr int EW_Source_port_1 = 2;
    static constexpr int EW_Source_port_2 = 4;
    static constexpr int EW_Source_port_3 = 8;
    static constexpr int EW_Source_port_4 = 16;
    static constexpr int EW_Source_port_5 = 32;
    static constexpr int EW_Source_port_6 = 64;
    static constexpr int EW_Source_port_7 = 128;
    static constexpr int EW_Source_port_8 = 256;
    static constexpr int EW_Source_SMA_12 = 512;
    static constexpr int EW_Source_SMA_34 = 1024;
    static constexpr int EW_Source_SMA_56 = 2048;
    static constexpr int EW_Source_SMA_78 = 4096;
    static constexpr int EW_Source_local_clock = 32768;

    static constexpr int EI_ignore_excess_FCT = 0x100000;
    static constexpr int EI_ignore_excess_data = 0x80000;
    static constexpr int EI_ignore_parity_error = 0x1000;
    static constexpr int EI_ignore_ESC_EOP = 0x800;
    static constexpr int EI_ignore_ESC_EEP = 0x400;
    static constexpr int EI_ignore_ESC_ESC = 0x200;
    static constexpr int EI_ignore_timeout = 0x100;
    static constexpr int EI_normal_flow_control = 0;
    static constexpr int EI_no_automatic_FCT = 16;
    static constexpr int EI_transmit_anyway = 32;

    // ---- Link modes and module settings --------------------------------------
    static constexpr int LINK_mode_disabled = 1;
    static constexpr int LINK_mode_normal = 2;
    static constexpr int LINK_mode_legacy = 4;
    static constexpr int LINK_mode_master = 6;
    static constexpr int LINK_mode_long_timeout = 64;
    static constexpr int LINK_mode_fixed_speed = 128;
    static constexpr int LINK_mode_slow_speed = 192;
    static constexpr int SF_disabled = 0;
    static constexpr int SF_enabled = 128;
    static constexpr int TC_rx_silent = 0;
    static constexpr int TC_rx_report_enabled = 8;
    static constexpr int TC_rx_time_stamp_enabled = 64;
    static constexpr int TC_tx_trigger_mask = 3;
    static constexpr int TC_tx_no_trigger = 0;
    static constexpr int TC_tx_one_code = 1;
    static constexpr int TC_tx_external_trigger = 2;
    static constexpr int TC_tx_regular_trigger = 3;
    static constexpr int TC_tx_update_interval = 4;
    static constexpr int TC_tx_update_code = 8;
    static constexpr int TC_tx_format_mask = 48;
    static constexpr int TC_tx_no_increment = 0;
    static constexpr int TC_tx_increment_6_bits = 16;
    static constexpr int TC_tx_increment_7_bits = 32;
    static constexpr int TC_tx_increment_8_bits = 48;
    static constexpr int TC_tx_report_transmission = 64;

    // ---- Sizes -----------------------------------------------------------------
    static constexpr size_t callback_buffer_size = 4096;
    static constexpr size_t waveform_record_size = 2075;
    static constexpr int max_timestamps = 32;
    static constexpr int open_timeout_ms = 60000;

    // ---- State -------------------------------------------------------------
    unsigned tx_link = 0;       // link last selected for sending
    unsigned rx_link = 1;       // link the unit last reported data for
    uint32_t read_flags = 0;
    uint32_t uncertainty = 0;   // last reported timetag uncertainty
    time_t yeartime = 0;        // 0 until a date or recording header arrives
    time_t starttime = 0;
    bool t0start = false;       // the time base is set
    timestamp timestamps[max_timestamps];
    devstatus status;
    std::atomic<bool> running{false};
    orwhires baseclock;
    bool live = false;          // a unit rather than a recording
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
    static int special_data_s(Orwin lnk_, void *data_, int length_, int complete_,
                              int data_buffer_position_);
    static int extn_data_s(Orwin lnk_, void *data_, int length_, int complete_,
                           int data_buffer_position_);

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
    virtual bool unknown_special_data(void *data_, int length_, int complete_,
                                      int data_buffer_position_);
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

#include "Orwin_SpaceWire.hpp"
#include "Orwin_RMAP.hpp"

#endif // ORWIN_HPP
