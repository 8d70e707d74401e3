// SPDX-License-Identifier: MIT
// Orwin_receive.cpp - reads: refill the receive buffer from the socket or
// replayed file, then feed it to the link's parser (orw_rx_parser.cpp) until
// the read ends. Time-outs and failures of the refill are handled here.
#include "OrwinInternal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace {

// Result of a refill when no error occurred.
enum RefillResult { kFilled = 1, kTimedOut = 0, kEnd = 2 };

// A failed refill: code and static text, recorded by the caller only when the
// read has nothing to hand back.
struct RefillError {
    int code;
    const char *text;
};

// Every return that hands bytes to the caller ends here: set rxinfo and trace.
// Without a log file only the received-link number of a link selection is
// kept up to date, so the common case costs one branch.
inline ssize_t deliver(ORW *link, unsigned char *userbuffer, ssize_t offset, ssize_t n, int type)
{
    link->rxinfo = static_cast<uint32_t>(type);
    const bool special_or_extn =
        type == Orwin_SPECIAL || type == Orwin_PART_SPECIAL || type == Orwin_EXTN || type == Orwin_PART_EXTN;
    unsigned char *data = special_or_extn ? userbuffer : userbuffer + offset;
    if (link->log_file) {
        orw_log_packet(link, ORW_DIRECTION_RX, data, static_cast<size_t>(n), type);
    } else if (type == Orwin_EXTN && n > 0 && (data[0] & 0xC0) == 0x40) {
        link->log_rx_port = data[0] - 0x40;
    }
    return n;
}

// Wait for input for at most `timeout_ms`. Returns 1 when input is ready,
// 0 on time-out, or fills *err and returns -1.
int wait_for_input(ORW *link, int timeout_ms, RefillError *err)
{
    if (orw_input_waiter(link) < 0) {
        *err = {Error_Network, "error on selecting input stream"};
        return -1;
    }
    const int64_t deadline = orw_monotonic_ms() + timeout_ms;
    int wait_ms = timeout_ms;
    for (;;) {
        int r = orw_wait_input(link, wait_ms);
        if (r > 0)
            return 1;
        if (r == 0)
            return 0;
        // A signal is not a broken descriptor: treat it as an interrupted read.
        if (errno == EINTR) {
            if (link->eintr_enabled) {
                *err = {Error_EINTR, "recv error"};
                return -1;
            }
            int64_t left = deadline - orw_monotonic_ms();
            if (left <= 0)
                return 0;
            wait_ms = static_cast<int>(left);
            continue;
        }
        *err = {Error_Network, "error on selecting input stream"};
        return -1;
    }
}

// Refill rx_buffer with one read and hand it to the parser. Returns kFilled, kTimedOut, kEnd,
// or -1 with *err filled. A short record write keeps the bytes just read, so
// the next read parses them and nothing is lost.
int refill(ORW *link, int64_t read_deadline, RefillError *err)
{
    int wait_ms = link->file < 0 ? link->rx_timeout : 0;
    if (link->before_wait && link->file < 0)
        link->before_wait(link->before_wait_arg);
    // A read deadline (this read's time-out, or negotiation's) bounds the
    // wait whatever arrives, so a unit that keeps sending events cannot hold
    // the read open.
    int64_t deadline = link->rx_deadline_ms;
    if (read_deadline > 0 && (deadline <= 0 || read_deadline < deadline))
        deadline = read_deadline;
    if (deadline > 0 && link->file < 0) {
        const int64_t left = deadline - orw_monotonic_ms();
        if (left <= 0)
            return kTimedOut;
        if (wait_ms <= 0 || left < wait_ms)
            wait_ms = static_cast<int>(left);
    }
    if (wait_ms > 0) {
        int w = wait_for_input(link, wait_ms, err);
        if (w < 0) {
            orw_rx_set_input(&link->rx, link->rx_buffer, 0);
            return -1;
        }
        if (w == 0)
            return kTimedOut;
    }
    link->read_io_calls++;
    // Whatever the read gives, the bytes held before are all parsed.
    orw_rx_set_input(&link->rx, link->rx_buffer, 0);
    for (;;) {
        ssize_t k = read(link->sock, link->rx_buffer, link->rx_buffer_length);
        if (k > 0) {
            link->total_raw_bytes_received += static_cast<uint64_t>(k);
            orw_rx_set_input(&link->rx, link->rx_buffer, static_cast<size_t>(k));
            int r = orw_record_received(link, link->rx_buffer, static_cast<size_t>(k));
            if (r < 0) {
                *err = {r, "error writing to record file"};
                return -1;
            }
            return kFilled;
        }
        if (k == 0)
            return kEnd;
        const bool would_block = errno == EAGAIN || errno == EWOULDBLOCK;
        if (would_block && link->nonblocking) {
            *err = {Error_Would_Block, "I/O call will block"};
            return -1;
        }
        if (errno == EINTR || would_block) {
            if (link->eintr_enabled) {
                *err = {Error_EINTR, "recv error"};
                return -1;
            }
            continue;
        }
        *err = {Error_IO_Error, "error reading data"};
        return -1;
    }
}

void time_image_byte(void *link, int byte)
{
    orw_time_image_update(static_cast<ORW *>(link), byte);
}

} // namespace

void orw_reset_receive(ORW *link)
{
    orw_rx_reset(&link->rx);
    orw_rx_set_input(&link->rx, link->rx_buffer, 0);
}

extern "C" {

ssize_t Orwin_get_packet(Orwin handle, void *userbuffer_, ssize_t offset, ssize_t buffer_length, int sda)
{
    if (buffer_length < 1)
        return orw_set_error(Error_Zero_Read, "Zero sized buffer");
    ORW *link = orw_link(handle);
    unsigned char *const userbuffer = static_cast<unsigned char *>(userbuffer_);
    link->read_calls++;
    link->rxinfo = 0;
    if (link->record_error_pending) {
        link->record_error_pending = 0;
        return orw_set_error(Error_RecFile_Write, "error writing to record file");
    }
    const int64_t read_deadline =
        link->file < 0 && link->rx_timeout > 0 ? orw_monotonic_ms() + link->rx_timeout : 0;
    // Field by field: zeroing it whole merges stores that the parser's first
    // loads straddle, which costs more than a small packet's read.
    orw_rx_read rd;
    rd.buffer = userbuffer;
    rd.offset = offset;
    rd.length = buffer_length;
    rd.action = sda;
    rd.handle = link;
    rd.special_cb = &link->special_cb;
    rd.extension_cb = &link->extension_cb;
    rd.extension_byte = time_image_byte;
    rd.context = link;
    rd.stored = 0;
    rd.type = 0;
    rd.value = 0;

    for (;;) {
        const orw_rx_status s = orw_rx_feed(&link->rx, nullptr, 0, &rd);
        link->rxinfo = rd.type;
        if (s == ORW_RX_BYTES)
            return deliver(link, userbuffer, offset, rd.stored, static_cast<int>(rd.type));
        if (s == ORW_RX_VALUE)
            return rd.value;

        RefillError err{0, nullptr};
        const int r = refill(link, read_deadline, &err);
        if (r == kFilled)
            continue;
        // Bytes already taken from the stream are handed back in every
        // case; the condition shows again on the next read.
        if (rd.stored > 0) {
            // A lost record write must still reach the caller.
            if (r < 0 && err.code == Error_RecFile_Write)
                link->record_error_pending = 1;
            return deliver(link, userbuffer, offset, rd.stored, orw_rx_held_type(&link->rx));
        }
        if (r == kEnd)
            return orw_set_error(Error_Receiver_Shutdown, "End of Data");
        if (r == kTimedOut) {
            if (!link->rx_timeout_returns_error) {
                link->rxinfo = Orwin_TIMEOUT;
                return 0;
            }
            link->rxinfo = 0;
            return orw_set_error(Error_Receiver_Timeout, "timeout");
        }
        return orw_set_error(err.code, err.text);
    }
}

ssize_t Orwin_read_packet_full(Orwin link, void *buffer, size_t buffer_length, uint32_t *rx_flags,
                               int special_data_action)
{
    const ssize_t len =
        buffer_length > static_cast<size_t>(SSIZE_MAX) ? SSIZE_MAX : static_cast<ssize_t>(buffer_length);
    ssize_t r = Orwin_get_packet(link, buffer, 0, len, special_data_action);
    if (rx_flags)
        *rx_flags = orw_link(link)->rxinfo;
    return r;
}

ssize_t Orwin_read_packet(Orwin link, void *buffer, size_t buffer_length, uint32_t *rx_flags)
{
    return Orwin_read_packet_full(link, buffer, buffer_length, rx_flags, 0);
}

int Orwin_get_rx_flags(Orwin link)
{
    return static_cast<int>(orw_link(link)->rxinfo);
}

} // extern "C"

namespace {

// Replace a registration; a null buffer, zero length or null function leaves
// none, as does a failed allocation.
void set_registration(ORW_CB_INFO **slot, void *buffer, size_t length, ORW_CALLBACK function)
{
    free(*slot);
    *slot = nullptr;
    if (!buffer || length == 0 || !function)
        return;
    auto *cb = static_cast<ORW_CB_INFO *>(malloc(sizeof(ORW_CB_INFO)));
    if (!cb)
        return;
    cb->buffer = static_cast<unsigned char *>(buffer);
    cb->length = length;
    cb->function = function;
    *slot = cb;
}

} // namespace

extern "C" {

void Orwin_read_packet_special_callback(Orwin link, void *callback_buffer, size_t callback_buffer_length,
                                        ORW_CALLBACK callback)
{
    set_registration(&orw_link(link)->special_cb, callback_buffer, callback_buffer_length, callback);
}

void Orwin_read_packet_extension_callback(Orwin link, void *callback_buffer, size_t callback_buffer_length,
                                          ORW_CALLBACK callback)
{
    set_registration(&orw_link(link)->extension_cb, callback_buffer, callback_buffer_length, callback);
}

#ifndef ORWIN_EARLIER_BUILD
const char *Orwin_pkttype_to_str(int type)
{
    switch (type) {
    case Orwin_EEP:
        return "Orwin_EEP";
    case Orwin_EOP:
        return "Orwin_EOP";
    case Orwin_PART_EOP_EEP:
        return "Orwin_PART_EOP_EEP";
    case Orwin_SPECIAL:
        return "Orwin_SPECIAL";
    default:
        return "?";
    }
}
#endif

} // extern "C"
