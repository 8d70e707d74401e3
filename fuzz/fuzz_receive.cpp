// SPDX-License-Identifier: MIT
// Fuzz target for the receive state machine. The first five bytes choose how
// the stream is read; the rest is the stream itself, delivered through a
// packet socket pair in chunks so refills fall at varying points.
//
//   byte 0: bits 0-1 special action, bits 2-3 extension action (x16),
//           bit 4 READ_IMMEDIATE, bit 5 callbacks stop the read
//   byte 1: caller's buffer length - 1
//   byte 2: callback buffer length (0 = no registration)
//   byte 3: chunk length - 1 (raised so that at most 64 chunks are written)
//   byte 4: bits 0-2 payload offset in the caller's buffer, bit 3 time-outs
//           are errors; bits 4-7 all set: a stream socket with a 1 ms
//           receive time-out, fed one chunk (of at most three) per time-out,
//           recording to /dev/null and switching the record file at every
//           time-out, so waits, time-outs, parts after them and record
//           switches in any receive state are reached
#include "fuzz_link.hpp"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using fuzz::check;

struct Registration {
    unsigned char *buffer;
    size_t length;
    int result;
};

Registration g_special, g_extension;

int on_callback(const Registration &reg, void *data, int length, int complete, int position)
{
    check(data == reg.buffer);
    check(length > 0 && static_cast<size_t>(length) <= reg.length);
    check(complete == 0 || complete == 1);
    check(position == 0);
    return reg.result;
}

int special_cb(Orwin, void *data, int length, int complete, int position)
{
    return on_callback(g_special, data, length, complete, position);
}

int extension_cb(Orwin, void *data, int length, int complete, int position)
{
    return on_callback(g_extension, data, length, complete, position);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const int mode = data[0];
    int sda = (mode & 3) | (((mode >> 2) & 3) << 4) | (mode & 0x10 ? READ_IMMEDIATE : 0);
    const ssize_t length = data[1] + 1;
    const size_t cb_length = data[2];
    const ssize_t offset = data[4] & 7;
    const uint8_t *stream = data + 5;
    const size_t stream_size = size - 5;
    const bool waiting = (data[4] & 0xF0) == 0xF0;
    const size_t most_chunks = waiting ? 3 : 64;
    size_t chunk = static_cast<size_t>(data[3]) + 1;
    if (chunk < stream_size / most_chunks + 1)
        chunk = stream_size / most_chunks + 1;

    int sv[2];
    if (socketpair(AF_UNIX, waiting ? SOCK_STREAM : SOCK_SEQPACKET, 0, sv) != 0)
        return 0;
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
        Orwin_set_rx_timeout_action(link, data[4] & 8 ? Receiver_Timeout_Returns_Error
                                                      : Receiver_Timeout_Returns_Zero_Part_Pkt);
        Orwin_check_record_writes(link, 1);
        check(Orwin_set_record_file(link, dev_null) == 0);
    }
    // Exactly sized heap buffers, so any overrun is caught.
    unsigned char *special_buffer = cb_length ? static_cast<unsigned char *>(malloc(cb_length)) : nullptr;
    unsigned char *extension_buffer = cb_length ? static_cast<unsigned char *>(malloc(cb_length)) : nullptr;
    const int cb_result = mode & 0x20 ? 0 : 1;
    g_special = {special_buffer, cb_length, cb_result};
    g_extension = {extension_buffer, cb_length, cb_result};
    Orwin_read_packet_special_callback(link, special_buffer, cb_length, special_cb);
    Orwin_read_packet_extension_callback(link, extension_buffer, cb_length, extension_cb);

    unsigned char *buffer = static_cast<unsigned char *>(malloc(static_cast<size_t>(offset + length)));
    // Every read but a size report moves on, so the stream ends within this.
    // (a time-out moves on by feeding the next chunk).
    const size_t max_reads = 2 * stream_size + 16;
    size_t reads = 0;
    for (;; ++reads) {
        check(reads < max_reads);
        const ssize_t r = Orwin_get_packet(link, buffer, offset, length, sda);
        const bool timed_out = r == Error_Receiver_Timeout || (r == 0 && link->rxinfo == Orwin_TIMEOUT);
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
        const uint32_t type = link->rxinfo;
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
    check(link->extn_link >= 0 && link->extn_link <= 63);
    if (waiting)
        check(Orwin_set_record_file(link, nullptr) == 0);

    Orwin_read_packet_special_callback(link, nullptr, 0, nullptr);
    Orwin_read_packet_extension_callback(link, nullptr, 0, nullptr);
    free(buffer);
    free(special_buffer);
    free(extension_buffer);
    return 0;
}
