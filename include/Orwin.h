/*
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

/** Opaque link handle. */
typedef void *Orwin;

/** Special or extension callback: non-zero lets the read go on, 0 stops it. */
typedef int (*ORW_CALLBACK)(Orwin link, void *data, int length, int complete,
                            int data_buffer_position);

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
enum {
    SYSTEM_TYPE_INVALID = 0,
    SYSTEM_TYPE_Tor = 1,
    SYSTEM_TYPE_Vex = 2
};

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
enum {
    Receiver_Timeout_Returns_Zero_Part_Pkt = 0,
    Receiver_Timeout_Returns_Error = 1
};

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
/** Connect without negotiation, for raw byte transfer. */
Orwin Orwin_connect_raw(char *address);
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
/** Switch the socket to (non-)blocking mode. */
int Orwin_Non_Blocking(Orwin link, int nonblocking);

/* ---- Errors, version and small settings ---------------------------------- */

int Orwin_get_error(void);
char *Orwin_get_error_text(void);
void Orwin_set_debug(int level, int output);
char *Orwin_get_version(void);
int Orwin_get_socket(Orwin link);
void Orwin_set_context(Orwin link, void *context);
void *Orwin_get_context(Orwin link);
void Orwin_set_number_of_links(Orwin link, unsigned number);
void Orwin_system_type(Orwin link, int type);
int Orwin_device_type(Orwin link);
int Orwin_get_options(Orwin link);
void Orwin_set_EINTR(Orwin link, int enabled);
void Orwin_set_rx_timeout_action(Orwin link, int action);
int Orwin_set_rx_timeout(Orwin link, int ms);
int Orwin_get_rx_timeout(Orwin link);
void Orwin_read_stats(Orwin link, uint64_t *calls, uint64_t *io);
long Orwin_gettid(void);
void Orwin_set_crash_handler(ORW_HUP hup);

/* ---- Receive ------------------------------------------------------------ */

/** Read the next packet, part, special packet or extension (see the sda flags). */
ssize_t Orwin_get_packet(Orwin link, void *userbuffer, ssize_t offset,
                         ssize_t buffer_length, int sda);
ssize_t Orwin_read_packet_full(Orwin link, void *buffer, size_t buffer_length,
                               uint32_t *rx_flags, int special_data_action);
ssize_t Orwin_read_packet(Orwin link, void *buffer, size_t buffer_length,
                          uint32_t *rx_flags);
int Orwin_get_rx_flags(Orwin link);
void Orwin_read_packet_special_callback(Orwin link, void *callback_buffer,
                                        size_t callback_buffer_length,
                                        ORW_CALLBACK callback);
void Orwin_read_packet_extension_callback(Orwin link, void *callback_buffer,
                                          size_t callback_buffer_length,
                                          ORW_CALLBACK callback);
const char *Orwin_pkttype_to_str(int type);

/* ---- Transmit ----------------------------------------------------------- */

int Orwin_sendPacket(Orwin link, void *userbuffer, size_t offset, size_t length,
                     uint32_t flags);
int Orwin_write_packet(Orwin link, void *userbuffer, size_t length, uint32_t flags);
int Orwin_flush(Orwin link);
int Orwin_write_EXTN(Orwin link, int extn);
ssize_t Orwin_send(Orwin link, void *buffer, size_t len, int flags);
ssize_t Orwin_write_raw(Orwin link, void *buffer, size_t sz);
ssize_t Orwin_read_raw(Orwin link, void *buffer, size_t sz);
int Orwin_send_timecode(Orwin link, uint8_t tc);
int Orwin_delay(Orwin link, uint8_t delay);
int Orwin_send_ESC(Orwin link);
int Orwin_send_ESC_FCT(Orwin link);
int Orwin_send_ESC_EEP(Orwin link);
int Orwin_send_ESC_EOP(Orwin link);
int Orwin_send_ESC_ESC(Orwin link);
int Orwin_send_parity_error(Orwin link);
int Orwin_SO_STORE(Orwin link);
int Orwin_SO_FORWARD(Orwin link);
int Orwin_SO_JOIN(Orwin link);
int Orwin_SO_BARRIER(Orwin link);
int Orwin_hold_data(Orwin link);

/* ---- Unit queries needed by opening -------------------------------------- */

/** Send a one-byte special to `slot`; the reply is left in the command buffer. */
int Orwin_get_control_packet(Orwin link, void *control_buffer, size_t buffer_length,
                             int slot);
int Orwin_get_module_slot(Orwin link, int module);
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

/* ---- Record, replay and trace files --------------------------------------- */

int Orwin_set_record_file(Orwin link, char *file_name);
FILE *Orwin_get_record_file(Orwin link);
uint64_t Orwin_get_record_size(Orwin link);
int Orwin_flush_record_file(Orwin link);
void Orwin_check_record_writes(Orwin link, int on);
int Orwin_record_writes(Orwin link);
int Orwin_set_tx_record_file(Orwin link, char *file_name);
int Orwin_set_log_file(Orwin link, char *file_name);
int Orwin_File(Orwin link, char *file_);
double Orwin_get_percent_file_read(Orwin link);
uint64_t Orwin_get_total_raw_bytes_received(Orwin link);
int Orwin_dump(Orwin link, char *file_name, char *note);
void Orwin_dump_max(Orwin link, int dump_max);
void Orwin_dump_status(Orwin link);

#ifdef __cplusplus
}
#endif

#endif /* ORWIN_H */
