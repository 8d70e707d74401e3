// SPDX-License-Identifier: MIT
// Fuzz target for the receive parser. The first five bytes choose how the
// stream is read; the rest is the stream itself. It is read three ways,
// which must agree read for read and callback for callback: by the parser
// alone fed in pieces of the chosen length, by the parser fed it whole, and
// by a link reading it from a packet socket pair in chunks.
//
//   byte 0: bits 0-1 special action, bits 2-3 extension action (x16),
//           bit 4 READ_IMMEDIATE, bit 5 callbacks stop the read
//   byte 1: caller's buffer length - 1
//   byte 2: callback buffer length (0 = no registration)
//   byte 3: piece length - 1 (raised for the socket so that at most 64
//           chunks are written)
//   byte 4: bits 0-2 payload offset in the caller's buffer, bit 3 time-outs
//           are errors; bits 4-7 all set: instead, only a link on a stream
//           socket with a 1 ms receive time-out, fed one chunk (of at most
//           three) per time-out, recording to /dev/null and switching the
//           record file at every time-out, so waits, time-outs, parts after
//           them and record switches in any receive state are reached
#include "fuzz_link.hpp"
#include "rx_feed.hpp"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using fuzz::check;
using rx_feed::bytes;
using rx_feed::result;

struct Registration {
    unsigned char *buffer;
    size_t length;
    int result;
};

Registration g_special, g_extension;

// Every callback of one way of reading, in order.
struct Call {
    bool special;
    bytes data;
    int complete;
    bool operator==(const Call &o) const
    {
        return special == o.special && data == o.data && complete == o.complete;
    }
};
std::vector<Call> g_calls;

int on_callback(const Registration &reg, bool special, void *data, int length, int complete, int position)
{
    check(data == reg.buffer);
    check(length > 0 && static_cast<size_t>(length) <= reg.length);
    check(complete == 0 || complete == 1);
    check(position == 0);
    g_calls.push_back({special, bytes(reg.buffer, reg.buffer + length), complete});
    return reg.result;
}

int special_cb(Orwin, void *data, int length, int complete, int position)
{
    return on_callback(g_special, true, data, length, complete, position);
}

int extension_cb(Orwin, void *data, int length, int complete, int position)
{
    return on_callback(g_extension, false, data, length, complete, position);
}

bool valid_type(uint32_t t)
{
    switch (t) {
    case Orwin_EEP:
    case Orwin_EOP:
    case Orwin_PART_EOP_EEP:
    case Orwin_SPECIAL:
    case Orwin_PART_SPECIAL:
    case Orwin_EXTN:
    case Orwin_PART_EXTN:
    case Orwin_SPECIAL_SIZE:
    case Orwin_EXTENSION_SIZE:
    case Orwin_TIMEOUT:
        return true;
    default:
        return false;
    }
}

// Check one read's result; a size report switches the action to returning
// what it reported, so the stream moves on.
void check_read(ssize_t r, uint32_t type, ssize_t length, int &sda)
{
    check(valid_type(type));
    if (type == Orwin_SPECIAL_SIZE) {
        check(r >= 1 && r <= ORW_MAX_FRAME_PAYLOAD);
        sda = (sda & ~SPECIAL_DATA_FLAGS) | RETURN_SPECIAL_DATA;
    } else if (type == Orwin_EXTENSION_SIZE) {
        check(r >= 1 && r <= 16);
        sda = (sda & ~EXTENSION_DATA_FLAGS) | RETURN_EXTENSION_DATA;
    } else {
        check(r <= length);
    }
    if (type == Orwin_EXTN || type == Orwin_PART_EXTN)
        check(r >= 1 && r <= 16);
}

struct Reading {
    std::vector<result> reads;
    std::vector<Call> calls;
};

// The parser alone, fed the stream in pieces ending at `ends`.
Reading read_by_parser(const uint8_t *stream, std::vector<size_t> ends, int sda, ssize_t length,
                       size_t offset, size_t max_reads)
{
    g_calls.clear();
    rx_feed::feeder f(stream, std::move(ends));
    ORW_CB_INFO special{g_special.buffer, g_special.length, special_cb};
    ORW_CB_INFO extension{g_extension.buffer, g_extension.length, extension_cb};
    if (g_special.length) {
        f.special_cb = &special;
        f.extension_cb = &extension;
    }
    Reading out;
    for (;;) {
        check(out.reads.size() < max_reads);
        out.reads.push_back(f.read(static_cast<size_t>(length), sda, offset));
        const result &x = out.reads.back();
        if (x.r < 0) {
            check(x == rx_feed::kEnd);
            break;
        }
        check_read(x.r, x.type, length, sda);
    }
    out.calls = g_calls;
    return out;
}

// What a link's read handed back, as the parser's reads report it.
result link_result(ssize_t r, uint32_t type, const unsigned char *buffer, ssize_t offset)
{
    if (r < 0)
        return {r, 0, {}};
    const bool sized = type == Orwin_SPECIAL_SIZE || type == Orwin_EXTENSION_SIZE;
    if (sized || r == 0)
        return {r, type, {}};
    const bool own_bytes =
        type == Orwin_SPECIAL || type == Orwin_PART_SPECIAL || type == Orwin_EXTN || type == Orwin_PART_EXTN;
    const unsigned char *from = own_bytes ? buffer : buffer + offset;
    return {r, type, bytes(from, from + r)};
}

// A link reading the stream from a socket pair, written in chunks of at
// least `chunk` bytes; `waiting` as byte 4 describes.
Reading read_by_link(const uint8_t *stream, size_t stream_size, size_t chunk, bool waiting,
                     bool timeout_errors, int sda, ssize_t length, ssize_t offset, size_t max_reads)
{
    const size_t most_chunks = waiting ? 3 : 64;
    if (chunk < stream_size / most_chunks + 1)
        chunk = stream_size / most_chunks + 1;
    Reading out;
    int sv[2];
    if (socketpair(AF_UNIX, waiting ? SOCK_STREAM : SOCK_SEQPACKET, 0, sv) != 0)
        return out;
    size_t fed = 0;
    auto feed = [&] {
        const size_t n = stream_size - fed < chunk ? stream_size - fed : chunk;
        check(write(sv[1], stream + fed, n) == static_cast<ssize_t>(n));
        fed += n;
        if (fed == stream_size && sv[1] >= 0) {
            close(sv[1]);
            sv[1] = -1;
        }
    };
    if (stream_size == 0) {
        close(sv[1]);
        sv[1] = -1;
    }
    while (sv[1] >= 0 && (!waiting || fed == 0))
        feed();

    ORW *link = fuzz::reusable_link(sv[0]);
    static char dev_null[] = "/dev/null";
    if (waiting) {
        Orwin_set_rx_timeout(link, 1);
        Orwin_set_rx_timeout_action(link, timeout_errors ? Receiver_Timeout_Returns_Error
                                                         : Receiver_Timeout_Returns_Zero_Part_Pkt);
        Orwin_check_record_writes(link, 1);
        check(Orwin_set_record_file(link, dev_null) == 0);
    }
    Orwin_read_packet_special_callback(link, g_special.buffer, g_special.length, special_cb);
    Orwin_read_packet_extension_callback(link, g_extension.buffer, g_extension.length, extension_cb);
    g_calls.clear();

    unsigned char *buffer = static_cast<unsigned char *>(malloc(static_cast<size_t>(offset + length)));
    // Every read but a size report moves on, so the stream ends within
    // max_reads (a time-out moves on by feeding the next chunk).
    for (;;) {
        check(out.reads.size() < max_reads);
        const ssize_t r = Orwin_get_packet(link, buffer, offset, length, sda);
        const bool timed_out = r == Error_Receiver_Timeout || (r == 0 && link->rxinfo == Orwin_TIMEOUT);
        out.reads.push_back(link_result(r, link->rxinfo, buffer, offset));
        if (timed_out) {
            // The time-out bounds a whole read, so it may also end one that
            // was handling buffered events after the stream was all sent.
            check(waiting);
            check(Orwin_set_record_file(link, dev_null) == 0);
            if (sv[1] >= 0)
                feed();
            continue;
        }
        if (r < 0) {
            check(r == Error_Receiver_Shutdown);
            break;
        }
        check_read(r, link->rxinfo, length, sda);
    }
    check(link->extn_link >= 0 && link->extn_link <= 63);
    if (waiting)
        check(Orwin_set_record_file(link, nullptr) == 0);
    Orwin_read_packet_special_callback(link, nullptr, 0, nullptr);
    Orwin_read_packet_extension_callback(link, nullptr, 0, nullptr);
    free(buffer);
    out.calls = g_calls;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const int mode = data[0];
    const int sda = (mode & 3) | (((mode >> 2) & 3) << 4) | (mode & 0x10 ? READ_IMMEDIATE : 0);
    const ssize_t length = data[1] + 1;
    const size_t cb_length = data[2];
    const size_t piece = static_cast<size_t>(data[3]) + 1;
    const ssize_t offset = data[4] & 7;
    const bool waiting = (data[4] & 0xF0) == 0xF0;
    const uint8_t *stream = data + 5;
    const size_t stream_size = size - 5;
    const size_t max_reads = 2 * stream_size + 16;

    // Exactly sized heap buffers, so any overrun is caught.
    unsigned char *special_buffer = cb_length ? static_cast<unsigned char *>(malloc(cb_length)) : nullptr;
    unsigned char *extension_buffer = cb_length ? static_cast<unsigned char *>(malloc(cb_length)) : nullptr;
    const int cb_result = mode & 0x20 ? 0 : 1;
    g_special = {special_buffer, cb_length, cb_result};
    g_extension = {extension_buffer, cb_length, cb_result};

    const Reading by_link =
        read_by_link(stream, stream_size, piece, waiting, data[4] & 8, sda, length, offset, max_reads);
    if (!waiting) {
        std::vector<size_t> ends;
        for (size_t end = piece; end < stream_size; end += piece)
            ends.push_back(end);
        ends.push_back(stream_size);
        const Reading in_pieces =
            read_by_parser(stream, ends, sda, length, static_cast<size_t>(offset), max_reads);
        const Reading whole =
            read_by_parser(stream, {stream_size}, sda, length, static_cast<size_t>(offset), max_reads);
        check(in_pieces.reads == whole.reads && in_pieces.calls == whole.calls);
        check(by_link.reads == whole.reads && by_link.calls == whole.calls);
    }
    free(special_buffer);
    free(extension_buffer);
    return 0;
}
