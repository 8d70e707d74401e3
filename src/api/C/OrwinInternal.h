// SPDX-License-Identifier: MIT
// OrwinInternal.h - the link record and the helpers the C interface's files
// share. Never installed.
#ifndef ORWIN_INTERNAL_H
#define ORWIN_INTERNAL_H

#include "../orw_wire_format.hpp"
#include "Orwin.h"
#include "orw_rx_parser.h"

// Build variants. ORWIN_EARLIER_BUILD makes the earlier C-only libraries
// (fewer functions, no local binding, older send errors); ORWIN_MACOS_BUILD
// the macOS one among them, which waits with select. A native macOS build
// always waits with select, as the platform has no epoll.
#if defined(ORWIN_MACOS_BUILD) || defined(__APPLE__)
#define ORWIN_WAIT_SELECT 1
#else
#define ORWIN_WAIT_SELECT 0
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

// Sizes fixed by the unit protocol and the record layout.
constexpr size_t ORW_TX_BUFFER_SIZE = 1048576;
constexpr size_t ORW_RX_BUFFER_SIZE = 20971520;
constexpr size_t ORW_CMD_BUFFER_SIZE = 8192;
constexpr size_t ORW_TIME_IMAGE_SIZE = 592;
constexpr int ORW_SLOT_TABLE_ENTRIES = 256;
constexpr int ORW_MAX_FRAME_PAYLOAD = static_cast<int>(orw::wire::max_frame_payload);
constexpr int ORW_DIRECTION_TX = 0;
constexpr int ORW_DIRECTION_RX = 1;

// The link record behind an `Orwin` handle.
struct ORW {
    int sock;
    size_t sent;
    unsigned char *tx_buffer;
    size_t tx_buffer_length;
    size_t tx_buffer_content;
    unsigned char *rx_buffer;
    size_t rx_buffer_length;
    // Parses what each refill reads into rx_buffer.
    orw_rx_parser rx;
    int rx_timeout;
    int extn_link;
    unsigned char *cmd_buffer;
    unsigned char *time_buffer;
    ORW_CB_INFO *special_cb;
    ORW_CB_INFO *extension_cb;
    int number_of_links;
    int number_of_slots;
    int *slot_content;
    FILE *tx_record_file;
    FILE *record_file;
    FILE *log_file;
    int max_length;
    int log_rx_port;
    int log_tx_port;
    int ram_io;
    int current_port;
    int check_record_writes;
    // Set when bytes meant for the file were not all taken; reported when the
    // file is flushed, switched or closed.
    int record_lost;
    int tx_record_lost;
    int log_lost;
    uint64_t total_raw_bytes_received;
    char *options;
    int option;
    int ORW_error_errno;
    int rx_timeout_returns_error;
    int max_dumps;
    void *context;
    uint32_t rxinfo;
    uint64_t read_calls;
    uint64_t read_io_calls;
    int file;
    uint64_t filesize;
    uint64_t recordsize;
    int ram_io_int;
    int eintr_enabled;
    size_t timezero;
    uint64_t timedata;
    uint32_t timedata_ns;
    size_t partialframesz;
    size_t partialframe_offset;
    int system_type;
    int auto_flush;
    int live;
    int nonblocking;
    int epollfd;
    // Monotonic milliseconds after which reads (negotiation) or blocking
    // sends (closing) give up; 0 = no deadline.
    int64_t rx_deadline_ms;
    int64_t tx_deadline_ms;
    // How long a blocking send may see no byte accepted before it fails;
    // 0 = no limit.
    int tx_stall_ms;
    // A record-file write failed while the read had bytes to hand back; the
    // next read reports it.
    int record_error_pending;
    // Called before a read waits on the socket for more bytes: a reader that
    // took on sending what others queued meanwhile does it here, before it
    // may block.
    void (*before_wait)(void *arg);
    void *before_wait_arg;
};

// Monotonic clock in milliseconds (Orwin_settings.cpp).
int64_t orw_monotonic_ms();

inline ORW *orw_link(Orwin handle)
{
    return static_cast<ORW *>(handle);
}

// Bytes of the current record file up to what the reads have parsed: what
// the file keeps when it is switched now (the rest moves to the next file).
// False when no record file is open.
inline bool orw_record_size_parsed(Orwin handle, uint64_t &size)
{
    const ORW *link = orw_link(handle);
    if (!link->record_file)
        return false;
    const uint64_t ahead = orw_rx_unparsed(&link->rx);
    size = link->recordsize > ahead ? link->recordsize - ahead : 0;
    return true;
}

// Errors (Orwin_error.cpp): record code and static text for this thread and
// return the code; a zero code is recorded as Error_Not_Known.
int orw_set_error(int code, const char *text);
/** As orw_set_error, the text being "`what`: " and the operating system's words for errno. */
int orw_set_system_error(int code, const char *what);
// Put back a state saved earlier, "no error" (0, null) included.
void orw_restore_error(int code, const char *text);

// Opening (Orwin_open.cpp).
ORW *orw_connect(const char *address);
// As orw_connect, waiting at most `wait_ms` for each address to answer.
ORW *orw_connect(const char *address, int wait_ms);
// Orwin_open_flagged for a unit, where the time-out (when positive) bounds
// the connection wait as well as the negotiation: an attempt that must end
// in time.
Orwin orw_open_within(const char *address, int timeout_ms);
// Allocate buffers and set every field to its starting value. On failure the
// socket is closed, the record released and -30 recorded; returns false.
bool orw_initialise_link(ORW *link);
// Release buffers, files and descriptors, then the record (not the socket).
void orw_release_link(ORW *link);

// Close a stdio stream of the link; the standard streams are only flushed.
void orw_close_stream(FILE *file);
// As orw_close_stream; false when the stream had lost bytes (`lost`, a write
// error) or could not be flushed or closed.
bool orw_finish_stream(FILE *file, int lost);

// Receive (Orwin_receive.cpp): forget any unparsed bytes and partial frame,
// so the next read starts at a frame header of fresh input.
void orw_reset_receive(ORW *link);

// Time image (Orwin_time_image.cpp).
void orw_time_image_init(ORW *link);
// Called for every extension byte the parser consumes (bytes due including
// it) and once more with 0 bytes due after the last.
void orw_time_image_update(ORW *link, int byte);

// Record files (Orwin_record.cpp): append bytes just read from the socket.
// Returns 0, or -2 when check_record_writes is on and the write was short.
int orw_record_received(ORW *link, const unsigned char *data, size_t length);

// Trace (Orwin_trace.cpp).
void orw_log_packet(ORW *link, int direction, const void *buffer, size_t length, int type);

// Transmit (Orwin_transmit.cpp).
ssize_t orw_send(ORW *link, const void *buffer, size_t len, int flags);
// Queue a module or register request the library builds itself as a special
// packet of its own: an open partial frame of the caller's is closed as a
// partial first, so the request never becomes the tail of that frame.
int orw_send_command(ORW *link, const void *packet, size_t length, bool flush);
// Orwin_flush for a thread that must not wait for room on the socket: what
// the socket does not take now stays queued, with Error_Would_Block.
int orw_flush_without_waiting(ORW *link);

// Read one packet into cmd_buffer (special packets returned) for a reply. A
// special packet longer than `buffer_length` is read to its end and, like the
// tail of one an earlier read left part-way, reported as PART_SPECIAL: no
// piece of a packet is ever taken for a whole reply (Orwin_query.cpp).
ssize_t orw_read_reply(ORW *link, size_t buffer_length, uint32_t *type);

// Family commands (Orwin_Tor.cpp, Orwin_Vex.cpp). A Tor command is a special
// packet [slot, data...]; a Vex register write is [ram_io, 0, port, address,
// 0x80 | count, data...]. Both carry at most 2 data bytes.
int orw_tor_command(ORW *link, int slot, const unsigned char *data, int count, bool flush);
int orw_vex_write(ORW *link, int port, int address, const unsigned char *data, int count);
// The header every RAM-I/O request starts with: [ram_io, tag, port, address
// high, address low, count high, count low]; a write has orw_vex_write_flag
// in `count`.
constexpr size_t orw_vex_header_size = 7;
constexpr int orw_vex_write_flag = 0x8000;
void orw_vex_header(unsigned char *packet, const ORW *link, int tag, int port, int address, int count);
// Flushing classes of Vex commands.
int orw_flush_auto(ORW *link);
int orw_flush_settle(ORW *link);

// Readiness waiting (Orwin_wait.cpp). Both waits return >0 when ready, 0 on
// time-out (-1 = for ever), <0 with errno set. *failed tells that the
// connection attempt ended in an error or hang-up.
int orw_wait_connected(int sock, int timeout_ms, bool *failed);
// Make sure the link has what orw_wait_input needs; 0 or -1.
int orw_input_waiter(ORW *link);
void orw_drop_input_waiter(ORW *link);
int orw_wait_input(ORW *link, int timeout_ms);

#ifdef ORWIN_EARLIER_BUILD
// The earlier builds keep the register read for their own queries only.
extern "C" int ram_io_read_bytes(Orwin link, int address, void *buffer, int count);
#endif

// Descriptor helpers (Orwin_settings.cpp).
int orw_set_blocking(int fd, bool blocking);
// A socket closed on exec.
int orw_socket(int domain, int type, int protocol);

// Speed code (Orwin_decode.cpp): 16 bits, exponent E in bits 15-10 and
// mantissa M in bits 9-0, value M x 10^(E - 34) bit/s.
double orw_speed_code_value(unsigned code);
unsigned orw_speed_code_from_mbps(int mbps);
// Bits per second from 1,000,000 up, megabits per second below.
unsigned orw_speed_code_from_double(double speed);
// Value of the field `token`=value in a "field;field;..." description of at
// most `size` bytes, or a copy of `default_value`. Caller frees.
char *orw_product_string(const char *token, const char *data, size_t size, const char *default_value);

// Exchange a control packet with the slot of `module` on a Tor-family unit
// and check the reply holds at least `min_length` bytes (-1 otherwise).
// Returns the reply length (reply in cmd_buffer) or a negative code.
int orw_tor_module_reply(ORW *link, int module, int min_length);
// Queue a one-byte status request for the slot of `module` and flush.
int orw_tor_request(ORW *link, int module);

// Configuration helpers (Orwin_configure.cpp).
// Block register write [ram_io, 0, port, address, 0x80 | sz, data...]:
// check the fields fit (0 or -25 recorded), then queue it unflushed
// (0, a send error, or 1 when the packet could not be allocated).
int orw_vex_block_check(int port, int address, const void *data, int sz);
int orw_vex_block_write(ORW *link, int port, int address, const void *data, int sz);

#endif // ORWIN_INTERNAL_H
