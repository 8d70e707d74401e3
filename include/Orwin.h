/*
 * SPDX-License-Identifier: MIT
 * Orwin.h - C interface to Orwin interface units.
 *
 * A link handle (`Orwin`) carries one TCP connection to a unit, or one
 * recorded stream replayed from a file. Every function returns a
 * non-negative result or a negative error code; the code and a static text
 * are kept per thread (Orwin_get_error, Orwin_get_error_text). Functions
 * returning a handle return NULL on failure. Strings returned by queries are
 * newly allocated and owned by the caller (release them with free()).
 *
 * One thread reads a link at a time; writers on one link are serialised by
 * the caller.
 */
#ifndef ORWIN_H
#define ORWIN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Programs built against the earlier C-only libraries (orwin_c,
 * orwin_c_macos) may define ORWIN_EARLIER_BUILD (and ORWIN_MACOS_BUILD for
 * the latter): the header then declares exactly what those libraries export.
 */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/** Opaque link handle. */
typedef void *Orwin;

/** Special or extension callback: non-zero lets the read go on, 0 stops it. */
typedef int (*ORW_CALLBACK)(Orwin link, void *data, int length, int complete, int data_buffer_position);

/** Called with the signal number when SIGHUP arrives. */
typedef void (*ORW_HUP)(int signal);

/** Callback registration for special packets or extensions. */
typedef struct ORW_CB_INFO {
    unsigned char *buffer;
    size_t length;
    ORW_CALLBACK function;
} ORW_CB_INFO;

/** Packet types reported by reads and accepted by sends. */
enum {
    Orwin_EEP = 257,
    Orwin_EOP = 258,
    Orwin_PART_EOP_EEP = 1000,
    Orwin_SPECIAL = 1003,
    Orwin_PART_SPECIAL = 1004,
    Orwin_EXTN = 1005,
    Orwin_PART_EXTN = 1006,
    Orwin_TRUNCATED = 1007,
    Orwin_INCOMPLETE = 1008,
    Orwin_SPECIAL_SIZE = 1009,
    Orwin_EXTENSION_SIZE = 1010,
    Orwin_TIMEOUT = 1011,
    Orwin_FLUSH = 2048
};

/** Special-data action flags (the `sda` argument of the reads). */
enum {
    DISCARD_SPECIAL_DATA = 0,
    REPORT_SPECIAL_DATA = 1,
    RETURN_SPECIAL_DATA = 2,
    CALLBACK_SPECIAL_DATA = 3,
    SPECIAL_DATA_FLAGS = 3,
    DISCARD_EXTENSION_DATA = 0,
    REPORT_EXTENSION_DATA = 16,
    RETURN_EXTENSION_DATA = 32,
    CALLBACK_EXTENSION_DATA = 48,
    EXTENSION_DATA_FLAGS = 48,
    READ_IMMEDIATE = 64
};

/** Unit families. */
enum { SYSTEM_TYPE_INVALID = 0, SYSTEM_TYPE_Tor = 1, SYSTEM_TYPE_Vex = 2 };

/** Module types held in the slot table. */
enum {
    Orwin_MODULE_CAPABILITIES = 0,
    Orwin_MODULE_MANUFACTURER = 1,
    Orwin_MODULE_PRODUCT = 2,
    Orwin_MODULE_HWA = 3,
    Orwin_MODULE_LINK_SPEED = 4,
    Orwin_MODULE_LINK = 5,
    Orwin_MODULE_SF = 6,
    Orwin_MODULE_TT = 7,
    Orwin_MODULE_ER = 8,
    Orwin_MODULE_EW = 9,
    Orwin_MODULE_TC_rx = 10,
    Orwin_MODULE_TC_tx = 11,
    Orwin_MODULE_EW_RT = 13,
    Orwin_MODULE_CR = 14,
    Orwin_MODULE_TT_64 = 15,
    Orwin_MODULE_ER_64 = 16,
    Orwin_MODULE_TC_rx_64 = 17,
    Orwin_MODULE_router_cs = 18,
    Orwin_MODULE_router_tables = 19,
    Orwin_MODULE_router_stats = 20,
    Orwin_MODULE_ram_rw = 21,
    Orwin_MODULE_barrier = 22,
    Orwin_MODULE_TT_now = 23
};

/** Register addresses of a Vex-family unit. */
enum {
    Orwin_LINK_address = 0x0000,
    Orwin_RX_SPEED_address = 0x0001,
    Orwin_HWA_address = 0x8800,
    Orwin_DESCRIPTION_address = 0x880B,
    Orwin_TX_SPEED_address = 0x87FD,
    Orwin_OPTIONS_address = 0x8F60,
    Orwin_NLINKS_address = 0x8FFF
};

/** Link modes. */
enum {
    LINK_mode_disabled = 1,
    LINK_mode_normal = 2,
    LINK_mode_legacy = 4,
    LINK_mode_master = 6,
    LINK_mode_long_timeout = 64,
    LINK_mode_fixed_speed = 128,
    LINK_mode_slow_speed = 192
};

/** Flags of Orwin_open_flagged. */
enum { CONNECT_FILE = 1 };

/** Time-out behaviour of the reads (Orwin_set_rx_timeout_action). */
enum { Receiver_Timeout_Returns_Zero_Part_Pkt = 0, Receiver_Timeout_Returns_Error = 1 };

/** Value of Orwin_get_options when the unit's options contain "SO". */
enum { Option_SO = 1 };

/** Error codes. */
enum {
    Error_RecFile_Open = -1,
    Error_RecFile_Write = -2,
    Error_LogFile_Open = -3,
    Error_LogFile_Write = -4,
    Error_Receiver_Timeout = -10,
    Error_Receiver_Shutdown = -11,
    Error_IO_Error = -12,
    Error_SaveBuf_Overflow_Save = -15,
    Error_SaveBuf_Overflow_Restore = -16,
    Error_Function_Not_Supported = -17,
    Error_Network = -18,
    Error_Network_Format_Error = -19,
    Error_Request_Too_Large = -20,
    Error_Sequence_Error = -21,
    Error_Response_Too_Small = -22,
    Error_Response_Mismatch = -23,
    Error_Module_Not_Present = -24,
    Error_Parameter_RangeIncorrect = -25,
    Error_File_Not_Present = -26,
    Error_EINTR = -27,
    Error_Link_Incorrect = -28,
    Error_Incorrect_Device = -29,
    Error_Memory = -30,
    Error_Host_Unresolvable = -31,
    Error_Host_Unresponsive = -32,
    Error_WaveForm_Dir_Create = -33,
    Error_Zero_Read = -34,
    Error_Set_Option_File = -35,
    Error_Invalid_Device = -36,
    Error_File_Move = -37,
    Error_Invalid_File = -38,
    Error_Callback_Return = -39,
    Error_FileList_Empty = -40,
    Error_Unknown_System_Type = -41,
    Error_Not_Known = -42,
    Error_EXE_Start_Failed = -43,
    Error_NO_Connection = -44,
    Error_Invalid_Link = -45,
    Error_Would_Block = -48,
    Error_Link_Not_Connected = -49,
    Error_ReadHandler_Running = -50,
    Error_Buffer_Full = -51,
    Error_CaptureThread_Failed = -52
};

/* ---- Opening and closing ------------------------------------------------ */

/** Connect to a unit ("host[:port][@bind]"), negotiate with a 5 s time-out. */
Orwin Orwin_open(char *address);
/** As Orwin_open; CONNECT_FILE opens a recording; timeout (ms) bounds negotiation. */
Orwin Orwin_open_flagged(char *address, unsigned flags, int timeout);
/** Open a recorded stream for replay ("-" or "" after a leading '-' = stdin). */
Orwin Orwin_open_file(char *filename);
/** Wrap an already connected socket (not negotiated). */
Orwin Orwin_open_as_server(int sock);
#ifndef ORWIN_EARLIER_BUILD
/** Connect without negotiation, for raw byte transfer. */
Orwin Orwin_connect_raw(char *address);
#endif
/** Ask the unit for its modules and links. Returns 0 or an error code. */
int Orwin_negotiate(Orwin link);
/** Orderly close: disables every link of a live unit, flushes, closes. Returns NULL. */
void *Orwin_close(Orwin link);
/** As Orwin_close, but shuts the socket down instead of flushing. Returns NULL. */
void *Orwin_shutdown(Orwin link);
/** Half-close the sending side so a blocked reader sees end of data. */
int Orwin_abort(Orwin link);
/** Make the close reset the connection. Returns the setsockopt result. */
int Orwin_fastclose(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
/** Switch the socket to (non-)blocking mode. */
int Orwin_Non_Blocking(Orwin link, int nonblocking);
#endif

/* ---- Errors, version and small settings ---------------------------------- */

int Orwin_get_error(void);
char *Orwin_get_error_text(void);
void Orwin_set_debug(int level, int output);
char *Orwin_get_version(void);
int Orwin_get_socket(Orwin link);
void Orwin_set_context(Orwin link, void *context);
void *Orwin_get_context(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
void Orwin_set_number_of_links(Orwin link, unsigned number);
#endif
void Orwin_system_type(Orwin link, int type);
int Orwin_device_type(Orwin link);
int Orwin_get_options(Orwin link);
void Orwin_set_EINTR(Orwin link, int enabled);
void Orwin_set_rx_timeout_action(Orwin link, int action);
int Orwin_set_rx_timeout(Orwin link, int ms);
int Orwin_get_rx_timeout(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
/** Fail a send with -18 when the unit accepts no byte for `ms` (0 = wait for ever, the default). */
void Orwin_set_tx_timeout(Orwin link, int ms);
int Orwin_get_tx_timeout(Orwin link);
#endif
void Orwin_read_stats(Orwin link, uint64_t *calls, uint64_t *io);
#ifndef ORWIN_EARLIER_BUILD
long Orwin_gettid(void);
#endif
void Orwin_set_crash_handler(ORW_HUP hup);

/* ---- Receive ------------------------------------------------------------ */

/** Read the next packet, part, special packet or extension (see the sda flags). */
ssize_t Orwin_get_packet(Orwin link, void *userbuffer, ssize_t offset, ssize_t buffer_length, int sda);
ssize_t Orwin_read_packet_full(Orwin link, void *buffer, size_t buffer_length, uint32_t *rx_flags,
                               int special_data_action);
ssize_t Orwin_read_packet(Orwin link, void *buffer, size_t buffer_length, uint32_t *rx_flags);
int Orwin_get_rx_flags(Orwin link);
void Orwin_read_packet_special_callback(Orwin link, void *callback_buffer, size_t callback_buffer_length,
                                        ORW_CALLBACK callback);
void Orwin_read_packet_extension_callback(Orwin link, void *callback_buffer, size_t callback_buffer_length,
                                          ORW_CALLBACK callback);
#ifndef ORWIN_EARLIER_BUILD
const char *Orwin_pkttype_to_str(int type);
#endif

/* ---- Transmit ----------------------------------------------------------- */

int Orwin_sendPacket(Orwin link, void *userbuffer, size_t offset, size_t length, uint32_t flags);
int Orwin_write_packet(Orwin link, void *userbuffer, size_t length, uint32_t flags);
int Orwin_flush(Orwin link);
int Orwin_write_EXTN(Orwin link, int extn);
ssize_t Orwin_send(Orwin link, void *buffer, size_t len, int flags);
#ifndef ORWIN_EARLIER_BUILD
ssize_t Orwin_write_raw(Orwin link, void *buffer, size_t sz);
ssize_t Orwin_read_raw(Orwin link, void *buffer, size_t sz);
#endif
int Orwin_send_timecode(Orwin link, uint8_t tc);
int Orwin_delay(Orwin link, uint8_t delay);
int Orwin_send_ESC(Orwin link);
int Orwin_send_ESC_FCT(Orwin link);
int Orwin_send_ESC_EEP(Orwin link);
int Orwin_send_ESC_EOP(Orwin link);
int Orwin_send_ESC_ESC(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
int Orwin_send_parity_error(Orwin link);
#endif
int Orwin_SO_STORE(Orwin link);
int Orwin_SO_FORWARD(Orwin link);
int Orwin_SO_JOIN(Orwin link);
int Orwin_SO_BARRIER(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
int Orwin_hold_data(Orwin link);
#endif

/* ---- Unit queries needed by opening -------------------------------------- */

/** Send a one-byte special to `slot`; the reply is left in the command buffer. */
int Orwin_get_control_packet(Orwin link, void *control_buffer, size_t buffer_length, int slot);
int Orwin_get_module_slot(Orwin link, int module);
#ifndef ORWIN_EARLIER_BUILD
/**
 * Read `count` (at most 2,048) bytes of a Vex-family unit's register space at
 * `address` on the current link into `buffer`. A null buffer only sends the
 * request. Returns 0 or a negative error code.
 */
int ram_io_read_bytes(Orwin link, int address, void *buffer, int count);
#else
/**
 * Queue the register write [ram_io, 0, port, address, 0x80 | count, data]
 * (count 0..32767, address 0..0xFFFF, port 0..255; -25 otherwise) and flush
 * when auto-flush is on. Returns 0, the flush's result, or -1 when the
 * packet could not be allocated or queued.
 */
int ram_io_write_bytes(Orwin link, int port, int address, const void *buffer, int count);
#endif
#ifdef ORWIN_MACOS_BUILD
/**
 * Status request for `module` (Tor family: to its slot; Vex family:
 * [ram_io, module, current_port, address, count], address and count below
 * 65,536), then flush the record file and the link.
 */
int Orwin_request_stat(Orwin link, int module, unsigned address, unsigned count);
#endif
/**
 * Read 1-4 register bytes at `address` as one integer, most significant
 * first, into the link's integer result. Returns 0 or a negative error code.
 */
int ram_io_get_int(Orwin link, int address, int count);
int Orwin_get_slot(Orwin link, int i);
void Orwin_set_slot(Orwin link, int index, int type);
int Orwin_get_number_of_links(Orwin link);
int Orwin_get_number_of_links_Tor(Orwin link);
int Orwin_get_number_of_links_Vex(Orwin link);
char *Orwin_get_options_string(Orwin link);
char *Orwin_get_options_string_Tor(Orwin link);
char *Orwin_get_options_string_Vex(Orwin link);
/** Select the link addressed by later per-link commands. */
int Orwin_set_active_link(Orwin link, int n);
/** Set the mode of the current link (LINK_mode_*). */
int Orwin_set_mode(Orwin link, int mode);
int Orwin_set_active_link_Tor(Orwin link, int n);
int Orwin_set_active_link_Vex(Orwin link, int n);
int Orwin_set_mode_Tor(Orwin link, int mode);
int Orwin_set_mode_Vex(Orwin link, int mode);

/* ---- Unit queries ------------------------------------------------------- */

/** Further register addresses of a Vex-family unit. */
enum {
    Orwin_max_packet_data = 0x0010,
    Orwin_OBSERVE_address = 0x0020,
    Orwin_TIMETAG_address = 0x0030,
    Orwin_IGNORE_address = 0x0040,
    Orwin_FLOW_CONTROL_address = 0x0050,
    Orwin_Event_cause_address = 0x0060,
    Orwin_EW_source_address = 0x0070,
    Orwin_SMA_56_pulse_width_address = 0x00F0,
    Orwin_ATI_address = 0x0100,
    Orwin_EW_address = 0x1000,
    Orwin_PC_address = 0x2000,
    Orwin_PG_address = 0x4000,
    Orwin_VERSION_address = 0x880A,
    Orwin_VIFC_CONTROL_address = 0x9000
};

/** Link status byte: state in bits 6-4, transmit buffer empty in bit 3. */
enum {
    SpaceWire_state_ErrorReset = 0,
    SpaceWire_state_ErrorWait = 1,
    SpaceWire_state_Ready = 2,
    SpaceWire_state_Started = 3,
    SpaceWire_state_Connecting = 4,
    SpaceWire_state_Run = 5,
    TRC_state_NC = 6,
    TRC_state_Connected = 7,
    LINK_tx_buffer_empty = 8,
    LINK_state_offset = 4
};

/** Module type of the slot named in byte 0 of a special packet; -17 outside the slot table. */
int Orwin_get_module_type(Orwin link, void *buffer);

/** Identity strings: newly allocated, owned by the caller; NULL on failure. */
char *Orwin_get_module_string(Orwin link, int module);
char *Orwin_get_module_string_Tor(Orwin link, int module);
char *Orwin_get_module_string_Vex(Orwin link, int module);
char *Orwin_get_manufacturer_string(Orwin link);
char *Orwin_get_manufacturer_string_Tor(Orwin link);
char *Orwin_get_manufacturer_string_Vex(Orwin link);
char *Orwin_get_product_string(Orwin link);
char *Orwin_get_product_string_Tor(Orwin link);
char *Orwin_get_product_string_Vex(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
char *Orwin_get_device_description(Orwin link);
char *Orwin_get_device_description_Tor(Orwin link);
char *Orwin_get_device_description_Vex(Orwin link);
#endif

/** Copy the unit's 6-byte hardware address to `hwa`. Returns 0 or an error code. */
int Orwin_get_HWA(Orwin link, unsigned char *hwa);
int Orwin_get_HWA_Tor(Orwin link, unsigned char *hwa);
int Orwin_get_HWA_Vex(Orwin link, unsigned char *hwa);
/** Serial number ("C1234", "A123", "A05") of a hardware address, else "?"; caller frees. */
char *Orwin_HWA_to_serial_number_string(unsigned char *hwa);

/** 1 when the current link is running, 0 when not, or an error code. */
int Orwin_link_connected(Orwin link);
int Orwin_link_connected_Tor(Orwin link);
int Orwin_link_connected_Vex(Orwin link);
/** 1 when the current link's transmit buffer is empty, 0 when not, or an error code. */
int Orwin_write_buffer_empty(Orwin link);
int Orwin_write_buffer_empty_Tor(Orwin link);
int Orwin_write_buffer_empty_Vex(Orwin link);
/** Receive-speed code of the current link (decode with Orwin_extract_rx_speed), or an error code. */
int Orwin_get_receive_speed(Orwin link);
int Orwin_get_receive_speed_Tor(Orwin link);
int Orwin_get_receive_speed_Vex(Orwin link);

/** Status requests: queued and flushed; the reply arrives later as a special packet. */
int Orwin_request_link_status(Orwin link);
int Orwin_request_link_status_Tor(Orwin link);
int Orwin_request_link_status_Vex(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
/** Status of `port`; with `speed` non-zero the reply includes the receive speed. */
int Orwin_request_link_status_port(Orwin link, int port, int speed);
int Orwin_request_link_status_port_Tor(Orwin link, int port, int speed);
int Orwin_request_link_status_port_Vex(Orwin link, int port, int speed);
#endif
int Orwin_request_rx_speed(Orwin link);
int Orwin_request_rx_speed_Tor(Orwin link);
int Orwin_request_rx_speed_Vex(Orwin link);
int Orwin_request_tx_speed(Orwin link);
int Orwin_request_tx_speed_Tor(Orwin link);
int Orwin_request_tx_speed_Vex(Orwin link);

/**
 * Decode a link-status reply of `buflen` bytes: sets *port and returns the
 * link state (SpaceWire_state_*), -22 when too short, -23 when not a reply
 * from Orwin_LINK_address.
 */
int Orwin_extract_link_state(Orwin link, void *buf, size_t buflen, int *port);
/** Receive / transmit speed in bit/s from a status reply; 0.0 when it is not one. */
double Orwin_extract_rx_speed(Orwin link, void *buf, size_t buflen, int *port);
double Orwin_extract_tx_speed(Orwin link, void *buf, size_t buflen, int *port);
/**
 * Time carried by a module reply (Tor family) or a timetag extension (Vex
 * family), in seconds (-41.0 for an unknown family) or in 0.1 ns units
 * (0 for an unknown family). `buf` holds the whole reply or extension.
 */
double Orwin_extract_timetag(Orwin link, void *buf);
double Orwin_extract_timetag_Tor(Orwin link, void *buf);
double Orwin_extract_timetag_Vex(Orwin link, void *buf);
uint64_t Orwin_extract_timetag_ns(Orwin link, void *buf);
uint64_t Orwin_extract_timetag_ns_Tor(Orwin link, void *buf);
uint64_t Orwin_extract_timetag_ns_Vex(Orwin link, void *buf);
/** Seconds of a 9-byte timetag extension (byte 0 0x88), else 0.0. */
double Orwin_get_timetag_Tor(Orwin link, void *buf);
double Orwin_get_timetag_Vex(Orwin link, void *buf);

/* ---- Unit configuration -------------------------------------------------- */

/**
 * Reporting bits: bits 7-0 are the Tor-family module byte, bits 23-8 the
 * Vex-family register bits.
 */
enum {
    Orwin_report_EEP = 0x800000,
    Orwin_report_nchar = 0x400000,
    Orwin_report_first_null = 0x200000,
    Orwin_report_excess_FCT = 0x100000,
    Orwin_report_excess_data = 0x80000,
    Orwin_report_first_byte = 0x40000,
    Orwin_report_mid_bytes = 0x20000,
    Orwin_report_EOP = 0x10000,
    Orwin_report_time_code = 0x8000,
    Orwin_report_FCT = 0x4000,
    Orwin_report_NULL = 0x2000,
    Orwin_report_parity_error = 0x1000,
    Orwin_report_ESC_EOP = 0x800,
    Orwin_report_ESC_EEP = 0x400,
    Orwin_report_ESC_ESC = 0x200,
    Orwin_report_timeout = 0x100,
    Orwin_report_delta = 0x400000
};

/** Timetag reporting (Orwin_TT_enable_reporting). */
enum {
    TT_report_nothing = 0,
    TT_report_first_byte = 0x40001,
    TT_report_intermediate_bytes = 0x20002,
    TT_report_EOP_EEP = 0x810004,
    TT_report_EEP = 0x800004,
    TT_report_EOP = 0x10004,
    TT_report_time_code = 0x8000,
    TT_report_fct = 0x4000,
    TT_report_null = 0x2000,
    TT_report_parity_error = 0x1000,
    TT_report_ESC_EOP = 0x800,
    TT_report_ESC_EEP = 0x400,
    TT_report_ESC_ESC = 0x200,
    TT_report_timeout = 0x100
};

/** Error reporting (Orwin_ER_enable_reporting). */
enum {
    ER_report_nothing = 0,
    ER_report_first_null = 2,
    ER_report_first_fct = 4,
    ER_report_running_error = 0x1F08,
    ER_report_starting_error = 0x10,
    ER_report_nchar = 0x40,
    ER_report_time_code = 0x8080,
    ER_report_fct = 0x4000,
    ER_report_null = 0x2000,
    ER_report_parity_error = 0x1000,
    ER_report_ESC_EOP = 0x800,
    ER_report_ESC_EEP = 0x400,
    ER_report_ESC_ESC = 0x200,
    ER_report_timeout = 0x100
};

/** Error-waveform capture causes (Orwin_EW_enable_reporting). */
enum {
    EW_capture_nothing = 0,
    EW_capture_first_null = 0x200002,
    EW_capture_first_fct = 4,
    EW_capture_running_error = 0x1F08,
    EW_capture_starting_error = 0x10,
    EW_capture_nchar = 0x400040,
    EW_capture_time_code = 0x8080,
    EW_capture_EOP = 0x10000,
    EW_capture_EEP = 0x800000,
    EW_capture_FCT = 0x4000,
    EW_capture_excess_FCT = 0x100000,
    EW_capture_excess_data = 0x80000,
    EW_capture_null = 0x2000,
    EW_capture_parity_error = 0x1000,
    EW_capture_ESC_EOP = 0x800,
    EW_capture_ESC_EEP = 0x400,
    EW_capture_ESC_ESC = 0x200,
    EW_capture_timeout = 0x100
};

/** Error-waveform trigger sources (Orwin_EW_source), a 16-bit set. */
enum {
    EW_Source_barrier = 1,
    EW_Source_port_1 = 2,
    EW_Source_port_2 = 4,
    EW_Source_port_3 = 8,
    EW_Source_port_4 = 16,
    EW_Source_port_5 = 32,
    EW_Source_port_6 = 64,
    EW_Source_port_7 = 128,
    EW_Source_port_8 = 256,
    EW_Source_SMA_12 = 512,
    EW_Source_SMA_34 = 1024,
    EW_Source_SMA_56 = 2048,
    EW_Source_SMA_78 = 4096,
    EW_Source_local_clock = 32768
};

/** Ignored events (Orwin_EI_ignore_events) and flow control (Orwin_EI_flow_control). */
enum {
    EI_ignore_excess_FCT = 0x100000,
    EI_ignore_excess_data = 0x80000,
    EI_ignore_parity_error = 0x1000,
    EI_ignore_ESC_EOP = 0x800,
    EI_ignore_ESC_EEP = 0x400,
    EI_ignore_ESC_ESC = 0x200,
    EI_ignore_timeout = 0x100,
    EI_normal_flow_control = 0,
    EI_no_automatic_FCT = 16,
    EI_transmit_anyway = 32
};

/** Module settings sent by applications as special packets to the module's slot. */
enum {
    SF_disabled = 0,
    SF_enabled = 128,
    TC_rx_silent = 0,
    TC_rx_report_enabled = 8,
    TC_rx_time_stamp_enabled = 64,
    TC_tx_trigger_mask = 3,
    TC_tx_no_trigger = 0,
    TC_tx_one_code = 1,
    TC_tx_external_trigger = 2,
    TC_tx_regular_trigger = 3,
    TC_tx_update_interval = 4,
    TC_tx_update_code = 8,
    TC_tx_format_mask = 48,
    TC_tx_no_increment = 0,
    TC_tx_increment_6_bits = 16,
    TC_tx_increment_7_bits = 32,
    TC_tx_increment_8_bits = 48,
    TC_tx_report_transmission = 64
};

/*
 * Configuration commands. Each returns 0 or a negative error code: -41 for an
 * unknown family, -24 when a Tor-family unit lacks the module, -25 for an
 * argument out of range. Commands not flushed here reach the unit with the
 * next flush.
 */
/** Link speed in Mbit/s (values <= 0 count as 1). */
int Orwin_set_speed(Orwin link, int speed);
int Orwin_set_speed_Tor(Orwin link, int speed);
int Orwin_set_speed_Vex(Orwin link, int speed);
/** Link speed in Mbit/s, or in bit/s from 1,000,000 up. */
int Orwin_set_speed_double(Orwin link, double speed);
int Orwin_set_speed_double_Tor(Orwin link, double speed);
int Orwin_set_speed_double_Vex(Orwin link, double speed);
/** What the unit timetags (TT_report_*). */
int Orwin_TT_enable_reporting(Orwin link, int when);
int Orwin_TT_enable_reporting_Tor(Orwin link, int when);
int Orwin_TT_enable_reporting_Vex(Orwin link, int when);
/** Which errors the unit reports (ER_report_*). */
int Orwin_ER_enable_reporting(Orwin link, int what);
int Orwin_ER_enable_reporting_Tor(Orwin link, int what);
int Orwin_ER_enable_reporting_Vex(Orwin link, int what);
/** Which events capture an error waveform (EW_capture_*). */
int Orwin_EW_enable_reporting(Orwin link, int what);
int Orwin_EW_enable_reporting_Tor(Orwin link, int what);
int Orwin_EW_enable_reporting_Vex(Orwin link, int what);
/** Observe / error-report selection (Vex family only). */
int Orwin_Observe(Orwin link, int what);
int Orwin_Observe_Tor(Orwin link, int what);
int Orwin_Observe_Vex(Orwin link, int what);
/** Error-waveform trigger sources (EW_Source_*; Vex family only). */
int Orwin_EW_source(Orwin link, int sources);
int Orwin_EW_source_Tor(Orwin link, int sources);
int Orwin_EW_source_Vex(Orwin link, int sources);
/** Ask for the error waveform of `port` (0..255; Vex family only); it arrives as a special packet. */
int Orwin_EW_request_data(Orwin link, int port);
int Orwin_EW_request_data_Tor(Orwin link, int port);
int Orwin_EW_request_data_Vex(Orwin link, int port);
/** Re-arm the error waveform of `port` (0..255). */
int Orwin_EW_reset(Orwin link, int port);
int Orwin_EW_reset_Tor(Orwin link, int port);
int Orwin_EW_reset_Vex(Orwin link, int port);
/** As Orwin_EW_reset; a negative port is negated first. */
int Orwin_EW_clear(Orwin link, int port);
int Orwin_EW_clear_Tor(Orwin link, int port);
int Orwin_EW_clear_Vex(Orwin link, int port);
/** Link events the unit ignores (EI_ignore_*; Vex family only). */
int Orwin_EI_ignore_events(Orwin link, int what);
int Orwin_EI_ignore_events_Tor(Orwin link, int what);
int Orwin_EI_ignore_events_Vex(Orwin link, int what);
/** Initial FCTs (0..15) and flow control (EI_*_flow_control...; Vex family only). */
int Orwin_EI_flow_control(Orwin link, int initial_fcts, int flow_control);
int Orwin_EI_flow_control_Tor(Orwin link, int initial_fcts, int flow_control);
int Orwin_EI_flow_control_Vex(Orwin link, int initial_fcts, int flow_control);
/** ATI calibration value (Vex family only). */
int Orwin_ATI_calibrate(Orwin link, int v);
int Orwin_ATI_calibrate_Tor(Orwin link, int v);
int Orwin_ATI_calibrate_Vex(Orwin link, int v);
/** SMA 5-6 pulse width (Vex family only). */
int Orwin_sma_56_pulse_width(Orwin link, int width);
int Orwin_sma_56_pulse_width_Tor(Orwin link, int width);
int Orwin_sma_56_pulse_width_Vex(Orwin link, int width);
/** Maximum packet data; values outside 0..255 become 255 (Vex family only). */
int Orwin_set_max_packet_data(Orwin link, int n);
int Orwin_set_max_packet_data_Tor(Orwin link, int n);
int Orwin_set_max_packet_data_Vex(Orwin link, int n);
/** Set `mode` on every link whose bit is set in `ports`, lowest first; stops at the first error. */
int Orwin_set_mode_portmask(Orwin link, int mode, uint32_t ports);
int Orwin_set_mode_portmask_Tor(Orwin link, int mode, uint32_t ports);
int Orwin_set_mode_portmask_Vex(Orwin link, int mode, uint32_t ports);
#ifndef ORWIN_EARLIER_BUILD
/**
 * Write `sz` (0..32767) bytes from `userbuffer` to register `address`
 * (0..0xFFFF) of link `port` (0..255) through the RAM-I/O module; no family
 * check. -25 for an argument out of range, -30 when out of memory.
 */
int Orwin_RGVex_control(Orwin link, int port, int address, void *userbuffer, int sz);
#endif

/* ---- Record, replay and trace files --------------------------------------- */

/* Bytes that did not reach a record, transmit record or log file (a full
 * disk, a file-size limit) are reported, with or without the write check,
 * at the latest by Orwin_flush_record_file and when the file is switched or
 * closed: -2 "error writing to record file" (the switch itself is done),
 * -4 "error writing to log file" for the log file. */

int Orwin_set_record_file(Orwin link, char *file_name);
FILE *Orwin_get_record_file(Orwin link);
uint64_t Orwin_get_record_size(Orwin link);
int Orwin_flush_record_file(Orwin link);
void Orwin_check_record_writes(Orwin link, int on);
int Orwin_record_writes(Orwin link);
#ifndef ORWIN_EARLIER_BUILD
int Orwin_set_tx_record_file(Orwin link, char *file_name);
#endif
int Orwin_set_log_file(Orwin link, char *file_name);
int Orwin_File(Orwin link, char *file_);
double Orwin_get_percent_file_read(Orwin link);
uint64_t Orwin_get_total_raw_bytes_received(Orwin link);
int Orwin_dump(Orwin link, char *file_name, char *note);
void Orwin_dump_max(Orwin link, int dump_max);
void Orwin_dump_status(Orwin link);

/* ---- Capture ------------------------------------------------------------- */
#ifndef ORWIN_EARLIER_BUILD
/*
 * Captures of every link of a recording unit, named by the device string
 * they were started with (one per string, of either kind). These functions
 * return 0 or 1, never a negative code; a failure's reason is only traced.
 * They may be called from several threads.
 */

/**
 * Start a native capture of `device_` into `target_` (a file, a template
 * or a directory), rotating every `rfs_` MiB (0: one file), with the
 * configuration file `config_` ("" for defaults). A capture already running
 * under this name is closed first; starts under one name from several
 * threads take turns, so one capture is left with its own link settings.
 * @return 0 when the capture runs, 1 on any failure
 */
int Orwin_Capture_TRC(const char *device_, const char *config_, const char *target_, int rfs_);
/**
 * As Orwin_Capture_TRC, writing pcap files; `target_` may also be "-"
 * (standard output) or "pipe:" followed by a named pipe's path.
 * @return 0 when the capture runs, 1 on any failure
 */
int Orwin_Capture_PCAP(const char *device_, const char *config_, const char *target_, int rfs_);
/**
 * Stop the capture named `device_`; its finished files stay listed.
 * @return 0 when it was found and stopped cleanly, 1 when none was found
 *         or the capture had failed (at this and every later stop)
 */
int Orwin_Stop_Capture(const char *device_);
/**
 * Stop and delete the capture named `device_`, finishing its last file. A
 * capture that had failed is deleted too, and its failure reported.
 * @return 0 when it was found, stopped cleanly and deleted, 1 when none was
 *         found or the capture had failed
 */
int Orwin_Close_Capture(const char *device_);
/**
 * Copy the name of finished file `idx_` (0 = first) of capture `device_`,
 * with its NUL, into `file_`, which must hold 8,320 bytes; "" when there is
 * no such capture or file.
 * @return 0 when a name was copied, 1 when the empty string was
 */
int Orwin_Capture_File(const char *device_, int idx_, char *file_);
#endif

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORWIN_H */
