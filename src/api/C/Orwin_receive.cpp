// SPDX-License-Identifier: MIT
// Orwin_receive.cpp - the receive state machine: turns the unit's framed byte
// stream into packets, special packets and extensions.
//
// The parser works over rx_buffer only; refilling it is one separate step
// (refill), so every state resumes exactly where the last read returned.
#include "OrwinInternal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// Header kind (top two bits) to the packet type of a data frame.
constexpr int kDataKindType[3] = {Orwin_PART_EOP_EEP, Orwin_EOP, Orwin_EEP};

inline bool is_special_or_extn(int type)
{
    return type == Orwin_SPECIAL || type == Orwin_PART_SPECIAL || type == Orwin_EXTN ||
           type == Orwin_PART_EXTN;
}

// Every return that hands bytes to the caller ends here: set rxinfo and trace.
// Without a log file only the received-link number of a link selection is
// kept up to date, so the common case costs one branch.
inline ssize_t deliver(ORW *link, unsigned char *userbuffer, ssize_t offset, ssize_t n,
                       int type)
{
    link->rxinfo = static_cast<uint32_t>(type);
    unsigned char *data = is_special_or_extn(type) ? userbuffer : userbuffer + offset;
    if (link->log_file) {
        orw_log_packet(link, ORW_DIRECTION_RX, data, static_cast<size_t>(n), type);
    } else if (type == Orwin_EXTN && n > 0 && (data[0] & 0xC0) == 0x40) {
        link->log_rx_port = data[0] - 0x40;
    }
    return n;
}

// Type of the bytes a read already holds when it has to stop early (time-out,
// end of data, failed refill): special and extension bytes keep their own
// part types so they are never mistaken for packet data.
inline int held_type(const ORW *link)
{
    if (link->rx_state == RX_SPECIAL)
        return Orwin_PART_SPECIAL;
    if (link->rx_state == RX_EXTN_BYTES)
        return Orwin_PART_EXTN;
    return Orwin_PART_EOP_EEP;
}

inline bool registration_usable(const ORW_CB_INFO *cb)
{
    return cb && cb->buffer && cb->length > 0 && cb->function;
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

// Step R: refill rx_buffer with one read. Returns kFilled, kTimedOut, kEnd,
// or -1 with *err filled. A short record write keeps the bytes just read, so
// the next read parses them and nothing is lost.
int refill(ORW *link, int64_t read_deadline, RefillError *err)
{
    int wait_ms = link->file < 0 ? link->rx_timeout : 0;
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
            link->rx_buffer_content = 0;
            link->rx_buffer_ptr = 0;
            return -1;
        }
        if (w == 0)
            return kTimedOut;
    }
    link->read_io_calls++;
    link->rx_buffer_ptr = 0;
    for (;;) {
        ssize_t k = read(link->sock, link->rx_buffer, link->rx_buffer_length);
        if (k > 0) {
            link->total_raw_bytes_received += static_cast<uint64_t>(k);
            link->rx_buffer_content = k;
            int r = orw_record_received(link, link->rx_buffer, static_cast<size_t>(k));
            if (r < 0) {
                *err = {r, "error writing to record file"};
                return -1;
            }
            return kFilled;
        }
        link->rx_buffer_content = 0;
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

// Append bytes of a special packet or extension to a callback registration.
// The registration's buffer is never overrun: bytes beyond its length are
// dropped. Returns the number dropped.
size_t gather(ORW_CB_INFO *cb, int *stored, const unsigned char *src, size_t count)
{
    const size_t have = static_cast<size_t>(*stored);
    size_t take = have < cb->length ? cb->length - have : 0;
    if (take > count)
        take = count;
    memcpy(cb->buffer + have, src, take);
    *stored += static_cast<int>(take);
    return count - take;
}

// Call a registration once per special packet or extension: at its end with
// complete = 1, or, when it does not fit the registration's buffer, as soon as
// that buffer is full with complete = 0 (the rest is then skipped).
// extn_byte counts the bytes gathered, across reads, so a packet split by a
// time-out still reaches the callback whole. Returns the callback's result,
// or 1 when it was not due.
int run_callback(ORW *link, ORW_CB_INFO *cb, bool was_full, bool dropped, bool done, ssize_t n)
{
    if (was_full)
        return 1;
    const bool full = static_cast<size_t>(link->extn_byte) >= cb->length;
    const bool truncated = full && (dropped || !done);
    if (!done && !truncated)
        return 1;
    return cb->function(link, cb->buffer, link->extn_byte, truncated ? 0 : 1, static_cast<int>(n));
}

// Consume one extension byte: the time image sees it first, and once more
// (with extn_count 0) after the last byte of the extension.
inline unsigned take_extn_byte(ORW *link)
{
    const unsigned b = link->rx_buffer[link->rx_buffer_ptr++];
    link->extn_bytes[(link->extn_size - link->extn_count) & 15] = static_cast<unsigned char>(b);
    orw_time_image_update(link, static_cast<int>(b));
    if (--link->extn_count <= 0) {
        link->extn_count = 0;
        orw_time_image_update(link, 0);
        link->rx_state = RX_HEADER;
    }
    return b;
}

// A callback asked the read to stop.
inline ssize_t callback_stop(ORW *link)
{
    link->rxinfo = Orwin_PART_EOP_EEP;
    return 0;
}

} // namespace

void orw_reset_receive(ORW *link)
{
    link->rx_buffer_content = 0;
    link->rx_buffer_ptr = 0;
    link->rx_state = RX_HEADER;
    link->rx_count = 0;
    link->rx_param = 0;
    link->rx_final_flags = 0;
    link->extn_count = 0;
    link->extn_size = 0;
    link->extn_cmd = 0;
    link->extn_byte = 0;
}

extern "C" {

ssize_t Orwin_get_packet(Orwin handle, void *userbuffer_, ssize_t offset,
                         ssize_t buffer_length, int sda)
{
    if (buffer_length < 1)
        return orw_set_error(Error_Zero_Read, "Zero sized buffer");
    ORW *link = orw_link(handle);
    unsigned char *const userbuffer = static_cast<unsigned char *>(userbuffer_);
    unsigned char *const data = userbuffer + offset;
    link->read_calls++;
    link->rxinfo = 0;
    if (link->record_error_pending) {
        link->record_error_pending = 0;
        return orw_set_error(Error_RecFile_Write, "error writing to record file");
    }
    ssize_t n = 0;
    const int64_t read_deadline =
        link->file < 0 && link->rx_timeout > 0 ? orw_monotonic_ms() + link->rx_timeout : 0;

    for (;;) {
        if (link->rx_buffer_ptr >= link->rx_buffer_content) {
            // A size report consumes nothing, so it needs no fresh input.
            const bool report_only =
                (link->rx_state == RX_SPECIAL && (sda & SPECIAL_DATA_FLAGS) == REPORT_SPECIAL_DATA) ||
                (link->rx_state == RX_EXTN_BYTES &&
                 (sda & EXTENSION_DATA_FLAGS) == REPORT_EXTENSION_DATA);
            if (!report_only) {
                RefillError err{0, nullptr};
                const int r = refill(link, read_deadline, &err);
                if (r != kFilled) {
                    // Bytes already taken from the stream are handed back in
                    // every case; the condition shows again on the next read.
                    if (n > 0) {
                        // A lost record write must still reach the caller.
                        if (r < 0 && err.code == Error_RecFile_Write)
                            link->record_error_pending = 1;
                        return deliver(link, userbuffer, offset, n, held_type(link));
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
        }

        switch (link->rx_state) {
        case RX_HEADER: {
            const unsigned h = link->rx_buffer[link->rx_buffer_ptr];
            const int len = static_cast<int>(h & 0x3F);
            link->rx_param = len;
            if (h == 0) {
                link->rx_buffer_ptr++;
                break;
            }
            if (h >= 0xC0) {
                link->rx_buffer_ptr++;
                link->rx_final_flags = Orwin_SPECIAL;
                link->rx_count = 0;
                link->extn_byte = 0;
                if (len == 0) {
                    link->rx_state = RX_EXTN_START;
                } else if (len > 60) {
                    link->rx_state = RX_LENGTH;
                    link->rx_param = len - 60;
                } else {
                    link->rx_state = RX_SPECIAL;
                    link->rx_count = len;
                }
                if (n > 0)
                    return deliver(link, userbuffer, offset, n, Orwin_PART_EOP_EEP);
                break;
            }
            const int type = kDataKindType[h >> 6];
            link->rx_final_flags = type;
            link->rx_count = 0;
            if (len == 0) {
                link->rx_buffer_ptr++;
                return deliver(link, userbuffer, offset, n, type);
            }
            if (n == buffer_length)
                return deliver(link, userbuffer, offset, n, Orwin_PART_EOP_EEP);
            link->rx_buffer_ptr++;
            if (len <= 60) {
                link->rx_state = RX_PAYLOAD;
                link->rx_count = len;
            } else {
                link->rx_state = RX_LENGTH;
                link->rx_param = len - 60;
            }
            break;
        }

        case RX_LENGTH:
            link->rx_count = link->rx_count * 256 + link->rx_buffer[link->rx_buffer_ptr++];
            if (--link->rx_param > 0)
                break;
            if (link->rx_count > 0) {
                link->rx_state = link->rx_final_flags == Orwin_SPECIAL ? RX_SPECIAL : RX_PAYLOAD;
                break;
            }
            // An empty frame: skipped, except that an empty EOP or EEP frame
            // still ends its packet (a packet sent in pieces may end so).
            link->rx_state = RX_HEADER;
            link->rxinfo = static_cast<uint32_t>(link->rx_final_flags);
            if (link->rx_final_flags == Orwin_EOP || link->rx_final_flags == Orwin_EEP)
                return deliver(link, userbuffer, offset, n, link->rx_final_flags);
            break;

        case RX_PAYLOAD: {
            size_t count = static_cast<size_t>(link->rx_count);
            const size_t avail = static_cast<size_t>(link->rx_buffer_content - link->rx_buffer_ptr);
            const size_t room = static_cast<size_t>(buffer_length - n);
            if (count > avail)
                count = avail;
            if (count > room)
                count = room;
            memcpy(data + n, link->rx_buffer + link->rx_buffer_ptr, count);
            link->rx_buffer_ptr += static_cast<int>(count);
            link->rx_count -= static_cast<int>(count);
            n += static_cast<ssize_t>(count);
            if (link->rx_count > 0) {
                if (n == buffer_length)
                    return deliver(link, userbuffer, offset, n, Orwin_PART_EOP_EEP);
                break;
            }
            link->rx_state = RX_HEADER;
            if (link->rx_final_flags != Orwin_PART_EOP_EEP)
                return deliver(link, userbuffer, offset, n, link->rx_final_flags);
            if (sda & READ_IMMEDIATE)
                return deliver(link, userbuffer, offset, n, Orwin_PART_EOP_EEP);
            break;
        }

        case RX_SPECIAL: {
            if (link->rx_count <= 0) {
                link->rx_state = RX_HEADER;
                break;
            }
            int action = sda & SPECIAL_DATA_FLAGS;
            if (action == REPORT_SPECIAL_DATA) {
                link->rxinfo = Orwin_SPECIAL_SIZE;
                return link->rx_count;
            }
            if (action == CALLBACK_SPECIAL_DATA && !registration_usable(link->special_cb))
                action = DISCARD_SPECIAL_DATA;
            size_t count = static_cast<size_t>(link->rx_count);
            const size_t avail = static_cast<size_t>(link->rx_buffer_content - link->rx_buffer_ptr);
            if (count > avail)
                count = avail;
            const unsigned char *src = link->rx_buffer + link->rx_buffer_ptr;

            if (action == RETURN_SPECIAL_DATA) {
                const size_t room = static_cast<size_t>(buffer_length - n);
                if (count > room)
                    count = room;
                memcpy(userbuffer + n, src, count);
                n += static_cast<ssize_t>(count);
                // Counted as for callbacks, so a later read can tell a
                // packet's tail from a packet of its own.
                link->extn_byte += static_cast<int>(count);
            }
            link->rx_buffer_ptr += static_cast<int>(count);
            link->rx_count -= static_cast<int>(count);
            const bool done = link->rx_count == 0;
            if (done)
                link->rx_state = RX_HEADER;

            if (action == RETURN_SPECIAL_DATA) {
                if (done)
                    return deliver(link, userbuffer, offset, n, Orwin_SPECIAL);
                if (n == buffer_length)
                    return deliver(link, userbuffer, offset, n, Orwin_PART_SPECIAL);
            } else if (action == CALLBACK_SPECIAL_DATA) {
                ORW_CB_INFO *cb = link->special_cb;
                const bool was_full = static_cast<size_t>(link->extn_byte) >= cb->length;
                const size_t dropped = gather(cb, &link->extn_byte, src, count);
                if (run_callback(link, cb, was_full, dropped > 0, done, n) == 0)
                    return callback_stop(link);
            }
            break;
        }

        case RX_EXTN_START: {
            const int x = link->rx_buffer[link->rx_buffer_ptr];
            link->extn_cmd = x;
            link->extn_byte = 0;
            link->extn_size = link->extn_count = x >= 0x80 ? (x & 0x0F) + 1 : 1;
            link->rxinfo = Orwin_EXTN;
            link->rx_state = RX_EXTN_BYTES;
            break;
        }

        case RX_EXTN_BYTES: {
            if (link->extn_count <= 0) {
                link->rx_state = RX_HEADER;
                break;
            }
            int action = sda & EXTENSION_DATA_FLAGS;
            if (action == REPORT_EXTENSION_DATA) {
                link->rxinfo = Orwin_EXTENSION_SIZE;
                return link->extn_count;
            }
            if (action == CALLBACK_EXTENSION_DATA && !registration_usable(link->extension_cb))
                action = DISCARD_EXTENSION_DATA;

            if (action == RETURN_EXTENSION_DATA) {
                while (link->rx_state == RX_EXTN_BYTES && n < buffer_length &&
                       link->rx_buffer_ptr < link->rx_buffer_content)
                    userbuffer[n++] = static_cast<unsigned char>(take_extn_byte(link));
                if (link->rx_state == RX_HEADER)
                    return deliver(link, userbuffer, offset, n, Orwin_EXTN);
                if (n == buffer_length)
                    return deliver(link, userbuffer, offset, n, Orwin_PART_EXTN);
            } else if (action == CALLBACK_EXTENSION_DATA) {
                ORW_CB_INFO *cb = link->extension_cb;
                const bool was_full = static_cast<size_t>(link->extn_byte) >= cb->length;
                size_t dropped = 0;
                while (link->rx_state == RX_EXTN_BYTES &&
                       link->rx_buffer_ptr < link->rx_buffer_content) {
                    const unsigned char b = static_cast<unsigned char>(take_extn_byte(link));
                    dropped += gather(cb, &link->extn_byte, &b, 1);
                }
                const bool done = link->rx_state == RX_HEADER;
                if (run_callback(link, cb, was_full, dropped > 0, done, n) == 0)
                    return callback_stop(link);
            } else {
                while (link->rx_state == RX_EXTN_BYTES &&
                       link->rx_buffer_ptr < link->rx_buffer_content)
                    take_extn_byte(link);
            }
            break;
        }

        default:
            // Not a state this parser leaves behind; start again at a header.
            link->rx_state = RX_HEADER;
            break;
        }
    }
}

ssize_t Orwin_read_packet_full(Orwin link, void *buffer, size_t buffer_length,
                               uint32_t *rx_flags, int special_data_action)
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

void Orwin_read_packet_special_callback(Orwin link, void *callback_buffer,
                                        size_t callback_buffer_length, ORW_CALLBACK callback)
{
    set_registration(&orw_link(link)->special_cb, callback_buffer, callback_buffer_length,
                     callback);
}

void Orwin_read_packet_extension_callback(Orwin link, void *callback_buffer,
                                          size_t callback_buffer_length, ORW_CALLBACK callback)
{
    set_registration(&orw_link(link)->extension_cb, callback_buffer, callback_buffer_length,
                     callback);
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
