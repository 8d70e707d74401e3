// SPDX-License-Identifier: MIT
// Orwin_transmit.cpp - the transmit path: frames gathered in the 1 MiB
// transmit buffer, packets handed over in pieces, flushing, and raw socket
// transfer.
//
// Invariant kept by every function here: the bytes that leave the buffer
// always match the frame headers they carry. A header still in the buffer may
// be rewritten (an open partial frame); once the buffer has been sent, the
// frame is treated as closed, so no stale header offset is ever reused.
#include "OrwinInternal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using orw::wire::kind_partial;
constexpr size_t kMaxFramePayload = orw::wire::max_frame_payload;
// An open partial frame always has three length bytes, so they can be
// rewritten in place as it grows.
constexpr size_t kOpenFrameHeader = orw::wire::max_header_size;
constexpr uint32_t kTypeMask = 0x7FF;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// Bytes queued for a whole packet of `len` bytes: frames longer than a
// header can announce go out as full partial frames before the last one.
size_t framed_size(size_t len)
{
    size_t total = 0;
    while (len > kMaxFramePayload) {
        total += kOpenFrameHeader + kMaxFramePayload;
        len -= kMaxFramePayload;
    }
    return total + orw::wire::header_size(len) + len;
}

// Bytes queued for a piece appended to the open partial frame (or opening
// one).
size_t piece_size(const ORW *link, size_t len)
{
    size_t room = link->partialframesz ? kMaxFramePayload - link->partialframesz : 0;
    size_t first = std::min(len, room);
    size_t rest = len - first;
    size_t frames = (rest + kMaxFramePayload - 1) / kMaxFramePayload;
    return len + kOpenFrameHeader * frames;
}

// Send every queued byte and empty the buffer. Once the buffer is handed to
// the socket, part of it (an open frame's header included) may be on the wire
// whatever the outcome, so that frame counts as closed: a later piece opens a
// frame of its own instead of rewriting a header already sent.
int send_queued(ORW *link)
{
    link->partialframesz = 0;
    ssize_t r = orw_send(link, link->tx_buffer, link->tx_buffer_content, 0);
    if (r < 0)
        return static_cast<int>(r);
    link->tx_buffer_content = 0;
    return 0;
}

#ifdef ORWIN_EARLIER_BUILD
// The earlier builds report their send failures as network errors.
constexpr int kSendFailed = Error_Network;
int send_failed()
{
    return orw_set_error(Error_Network, "unable to send data");
}
int flush_failed(int)
{
    return orw_set_error(Error_Network, "error sending network data");
}
#else
constexpr int kSendFailed = Error_RecFile_Open;
int send_failed()
{
    return orw_set_error(Error_RecFile_Open, "Unable to send data");
}
int flush_failed(int code)
{
    return orw_set_error(code, "Unable to send on network");
}
#endif

// Make sure `need` (<= the buffer size) contiguous bytes are free.
int make_room(ORW *link, size_t need)
{
    if (link->tx_buffer_length - link->tx_buffer_content >= need)
        return 0;
    return send_queued(link) < 0 ? send_failed() : 0;
}

int queue_bytes(ORW *link, const unsigned char *data, size_t len)
{
    if (make_room(link, len) < 0)
        return kSendFailed;
    memcpy(link->tx_buffer + link->tx_buffer_content, data, len);
    link->tx_buffer_content += len;
    return 0;
}

// Block-copy payload, sending the buffer whole each time it is full.
int queue_payload(ORW *link, const unsigned char *data, size_t len)
{
    while (len > 0) {
        if (link->tx_buffer_content == link->tx_buffer_length && send_queued(link) < 0)
            return send_failed();
        size_t take = std::min(len, link->tx_buffer_length - link->tx_buffer_content);
        memcpy(link->tx_buffer + link->tx_buffer_content, data, take);
        link->tx_buffer_content += take;
        data += take;
        len -= take;
    }
    return 0;
}

// A buffer left exactly full goes out at once. On a non-blocking socket the
// packet is already queued, so a send that would block is not its failure:
// the bytes and the progress wait for the next flush.
int settle_full(ORW *link)
{
    if (link->tx_buffer_content < link->tx_buffer_length)
        return 0;
    int rc = send_queued(link);
    if (rc == Error_Would_Block && link->nonblocking)
        return 0;
    return rc < 0 ? send_failed() : 0;
}

// A whole packet in its own frame(s).
int queue_packet(ORW *link, unsigned kind, const unsigned char *data, size_t len)
{
    unsigned char header[orw::wire::max_header_size];
    while (len > kMaxFramePayload) {
        orw::wire::put_header(kind_partial, kMaxFramePayload, header);
        if (queue_bytes(link, header, kOpenFrameHeader) < 0 ||
            queue_payload(link, data, kMaxFramePayload) < 0)
            return kSendFailed;
        data += kMaxFramePayload;
        len -= kMaxFramePayload;
    }
    size_t h = orw::wire::put_header(kind, len, header);
    if (queue_bytes(link, header, h) < 0 || queue_payload(link, data, len) < 0)
        return kSendFailed;
    return settle_full(link);
}

// Append a piece to the open partial frame, opening one when needed.
// `closing_kind` < 0 for a piece that leaves the packet open. The length
// bytes are rewritten before the payload is copied, so a send in the middle
// of the piece carries a header that already counts every byte that follows.
int append_piece(ORW *link, const unsigned char *data, size_t len, int closing_kind)
{
    if (len == 0 && closing_kind < 0)
        return 0;
    do {
        if (link->partialframesz == 0) {
            if (make_room(link, kOpenFrameHeader) < 0)
                return kSendFailed;
            link->partialframe_offset = link->tx_buffer_content;
            link->tx_buffer_content +=
                orw::wire::put_long_header(kind_partial, 0, link->tx_buffer + link->tx_buffer_content);
        }
        const size_t take = std::min(len, kMaxFramePayload - link->partialframesz);
        const bool last = take == len;
        unsigned char *h = link->tx_buffer + link->partialframe_offset;
        if (last && closing_kind >= 0)
            h[0] = static_cast<unsigned char>(h[0] | closing_kind);
        link->partialframesz += take;
        orw::wire::put_be(h + 1, link->partialframesz, kOpenFrameHeader - 1);
        if (queue_payload(link, data, take) < 0)
            return kSendFailed;
        data += take;
        len -= take;
        // A full frame ends here; the rest of the piece opens the next one.
        if (!last || closing_kind >= 0)
            link->partialframesz = 0;
    } while (len > 0);
    return settle_full(link);
}

// Bytes the packet will occupy in the buffer, for the non-blocking room check.
size_t queued_size(const ORW *link, int type, size_t len)
{
    if (type == Orwin_EXTN)
        return 1 + len;
    if (type == Orwin_INCOMPLETE || link->partialframesz != 0)
        return piece_size(link, len);
    return framed_size(len);
}

// A blocking socket with a send or receive time-out reports "would block":
// wait for it rather than spin. With a send deadline set (closing), the wait
// ends there; returns false once it has passed.
// With a stall limit, the wait for room ends there too; returns false when
// the socket took nothing in that time (a unit that stopped reading).
bool wait_ready(const ORW *link, short events)
{
    int wait = -1;
    if (events == POLLOUT && link->tx_deadline_ms > 0) {
        const int64_t left = link->tx_deadline_ms - orw_monotonic_ms();
        if (left <= 0)
            return false;
        wait = static_cast<int>(left);
    }
    if (events == POLLOUT && link->tx_stall_ms > 0 && (wait < 0 || link->tx_stall_ms < wait))
        wait = link->tx_stall_ms;
    pollfd p{};
    p.fd = link->sock;
    p.events = events;
    int r = poll(&p, 1, wait);
    if (r < 0 && errno == EINTR)
        return true;
    return r != 0 || wait < 0;
}

// Send p[*done .. len), advancing *done by every chunk the socket accepts
// (each also goes to the transmit record file). Returns 0 when all is sent,
// or a negative code (recorded) with *done telling how far it got.
int send_bytes(ORW *link, const unsigned char *p, size_t len, int flags, size_t *done)
{
    // With a stall limit a blocking socket is written without blocking, so
    // that the wait for room can be bounded; every accepted byte restarts it.
    const int stall_flags = link->tx_stall_ms > 0 || link->nonblocking ? MSG_DONTWAIT : 0;
    while (*done < len) {
        ssize_t k = send(link->sock, p + *done, len - *done, flags | kSendFlags | stall_flags);
        if (k > 0) {
            if (link->tx_record_file &&
                fwrite(p + *done, 1, static_cast<size_t>(k), link->tx_record_file) != static_cast<size_t>(k))
                link->tx_record_lost = 1;
            *done += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (link->nonblocking)
                return orw_set_error(Error_Would_Block, "send I/O call will block");
            if (wait_ready(link, POLLOUT))
                continue;
            if (link->tx_stall_ms > 0 && link->tx_deadline_ms <= 0)
                return orw_set_error(Error_Network, "send timed out: the unit accepts no data");
        }
        return orw_set_error(Error_Network, "send call failed");
    }
    return 0;
}

// A direct send keeps its own progress, apart from the buffer's. While a
// flush of the buffer is part-way through a frame its bytes would land inside
// that frame, so it is refused until the buffer has gone out. A non-blocking
// socket that takes only part of it gives the count it took.
ssize_t send_direct(ORW *link, const void *buffer, size_t len, int flags)
{
    if (link->sent > 0)
        return orw_set_error(Error_Would_Block, "send I/O call will block");
    size_t done = 0;
    const int rc = send_bytes(link, static_cast<const unsigned char *>(buffer), len, flags, &done);
    if (rc == Error_Would_Block && done > 0)
        return static_cast<ssize_t>(done);
    return rc < 0 ? rc : static_cast<ssize_t>(len);
}

} // namespace

ssize_t orw_send(ORW *link, const void *buffer, size_t len, int flags)
{
    size_t done = std::min(link->sent, len);
    // The progress stays on failure, so queued bytes are never sent twice.
    const int rc = send_bytes(link, static_cast<const unsigned char *>(buffer), len, flags, &done);
    link->sent = rc < 0 ? done : 0;
    return rc < 0 ? rc : static_cast<ssize_t>(len);
}

int orw_send_command(ORW *link, const void *packet, size_t length, bool flush)
{
    link->partialframesz = 0;
    return Orwin_sendPacket(link, const_cast<void *>(packet), 0, length,
                            Orwin_SPECIAL | (flush ? Orwin_FLUSH : 0));
}

int orw_flush_without_waiting(ORW *link)
{
    const int was = link->nonblocking;
    link->nonblocking = 1;
    const int rc = Orwin_flush(link);
    link->nonblocking = was;
    return rc;
}

extern "C" {

int Orwin_sendPacket(Orwin handle, void *userbuffer, size_t offset, size_t length, uint32_t flags)
{
    ORW *link = orw_link(handle);
    const int type = static_cast<int>(flags & kTypeMask);
    const unsigned char *data = static_cast<const unsigned char *>(userbuffer);
    if (type != Orwin_EXTN && data)
        data += offset;
    // An empty extension would queue a bare 0xC0 that takes the next
    // frame's header as its command.
    if (type == Orwin_EXTN && length == 0)
        return orw_set_error(Error_Zero_Read, "Zero sized buffer");
    if (link->log_file || type == Orwin_EXTN)
        orw_log_packet(link, ORW_DIRECTION_TX, data, length, type);

    if (type == Orwin_SPECIAL && length == 0)
        return 0;
    if (type == Orwin_SPECIAL && length > kMaxFramePayload && link->partialframesz == 0)
        return orw_set_error(Error_Buffer_Full, "Buffer is too big");
    if (link->nonblocking &&
        link->tx_buffer_length - link->tx_buffer_content < queued_size(link, type, length))
        return orw_set_error(Error_Buffer_Full, "Buffer is too big");

    int rc;
    if (type == Orwin_EXTN) {
        // An extension never lands inside a frame's payload: the open frame
        // ends here as a partial frame and the packet continues in a new one.
        link->partialframesz = 0;
        const unsigned char start = orw::wire::extension_start;
        rc = queue_bytes(link, &start, 1);
        if (rc == 0)
            rc = queue_payload(link, data, length);
        if (rc == 0)
            rc = settle_full(link);
    } else if (type == Orwin_INCOMPLETE) {
        rc = append_piece(link, data, length, -1);
    } else if (link->partialframesz != 0) {
        rc = append_piece(link, data, length, static_cast<int>(orw::wire::kind_of_type(type)));
    } else {
        rc = queue_packet(link, orw::wire::kind_of_type(type), data, length);
    }
    if (rc < 0)
        return rc;
    return (flags & Orwin_FLUSH) ? Orwin_flush(handle) : 0;
}

int Orwin_write_packet(Orwin link, void *userbuffer, size_t length, uint32_t flags)
{
    return Orwin_sendPacket(link, userbuffer, 0, length, flags);
}

int Orwin_flush(Orwin handle)
{
    ORW *link = orw_link(handle);
    // An open partial frame stays a partial frame; the packet goes on in the
    // next frame.
    link->partialframesz = 0;
    if (link->tx_buffer_content > 0) {
        int rc = send_queued(link);
        if (rc < 0)
            return flush_failed(rc);
    }
    if (link->log_file && fflush(link->log_file) != 0)
        link->log_lost = 1;
    return 0;
}

ssize_t Orwin_send(Orwin link, void *buffer, size_t len, int flags)
{
    return send_direct(orw_link(link), buffer, len, flags);
}

#ifndef ORWIN_EARLIER_BUILD
ssize_t Orwin_write_raw(Orwin link, void *buffer, size_t sz)
{
    return send_direct(orw_link(link), buffer, sz, 0);
}

ssize_t Orwin_read_raw(Orwin handle, void *buffer, size_t sz)
{
    ORW *link = orw_link(handle);
    for (;;) {
        ssize_t k = read(link->sock, buffer, sz);
        if (k >= 0) {
            link->total_raw_bytes_received += static_cast<uint64_t>(k);
            return k;
        }
        const bool would_block = errno == EAGAIN || errno == EWOULDBLOCK;
        if (would_block && link->nonblocking)
            return orw_set_error(Error_Would_Block, "I/O call will block");
        if (errno == EINTR || would_block) {
            if (link->eintr_enabled)
                return orw_set_error(Error_EINTR, "recv error");
            if (would_block)
                wait_ready(link, POLLIN);
            continue;
        }
        return orw_set_error(Error_IO_Error, "error reading data");
    }
}
#endif

} // extern "C"
