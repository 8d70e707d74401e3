// SPDX-License-Identifier: MIT
// orw_wire_format.hpp - the unit's stream format, written once: frame headers,
// extension commands and their sizes, big-endian fields, the record-file
// header and re-synchronisation records, the time image and the
// error-waveform record. Every layer that reads or writes these bytes uses
// this header. Internal, never installed.
#ifndef ORW_WIRE_FORMAT_HPP
#define ORW_WIRE_FORMAT_HPP

#include "Orwin.h"

#include <cstddef>
#include <cstdint>

namespace orw {
namespace wire {

// ---- Big-endian fields ------------------------------------------------------

// The `bytes` (at most 8) bytes at `p`, most significant first.
constexpr uint64_t get_be(const unsigned char *p, size_t bytes)
{
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

constexpr unsigned get_be16(const unsigned char *p)
{
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

// The low `bytes` (at most 8) bytes of `v` to `out`, most significant first.
inline void put_be(unsigned char *out, uint64_t v, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * (bytes - 1 - i)));
}

// ---- Frame headers ----------------------------------------------------------
// A header byte: the kind in the top two bits, a length code in the low six.
// Codes 1..60 are the payload length; 61..63 announce 1..3 length bytes.

constexpr unsigned kind_mask = 0xC0;
constexpr unsigned length_mask = 0x3F;
constexpr unsigned kind_partial = 0x00;  // packet continues in a later frame
constexpr unsigned kind_eop = 0x40;      // packet ends with EOP
constexpr unsigned kind_eep = 0x80;      // packet ends with EEP
constexpr unsigned kind_extended = 0xC0; // extension (length 0) or special packet
constexpr unsigned filler = 0x00;
constexpr unsigned extension_start = kind_extended;
constexpr unsigned short_length_max = 60;
constexpr unsigned long_form_3 = 0x3F; // length code: three length bytes follow
constexpr size_t max_frame_payload = 16777215;
constexpr size_t max_header_size = 4;

constexpr unsigned kind_of(unsigned header)
{
    return header & kind_mask;
}
constexpr unsigned length_code(unsigned header)
{
    return header & length_mask;
}
// Length bytes after a header with this length code (0 for a short form).
constexpr unsigned length_bytes(unsigned code)
{
    return code > short_length_max ? code - short_length_max : 0;
}

// Packet type a data frame of this kind ends its packet with.
constexpr int packet_type_of_kind(unsigned kind)
{
    return kind == kind_eop ? Orwin_EOP : kind == kind_eep ? Orwin_EEP : Orwin_PART_EOP_EEP;
}

// Header kind that frames a packet of this type; other types are pieces.
constexpr unsigned kind_of_type(int type)
{
    return type == Orwin_EOP       ? kind_eop
           : type == Orwin_EEP     ? kind_eep
           : type == Orwin_SPECIAL ? kind_extended
                                   : kind_partial;
}

// Header size, length bytes included, for a payload of `len` bytes.
constexpr size_t header_size(size_t len)
{
    return len <= short_length_max ? 1 : len < 256 ? 2 : len < 65536 ? 3 : 4;
}

// Header of the shortest form for `len` (<= max_frame_payload) payload bytes;
// returns its size, 1..4.
inline size_t put_header(unsigned kind, size_t len, unsigned char *out)
{
    const size_t size = header_size(len);
    if (size == 1) {
        out[0] = static_cast<unsigned char>(kind + len);
        return 1;
    }
    out[0] = static_cast<unsigned char>(kind + short_length_max + (size - 1));
    put_be(out + 1, len, size - 1);
    return size;
}

// Header with three length bytes whatever `len` is: one whose length can be
// rewritten in place while the frame grows. Returns max_header_size.
inline size_t put_long_header(unsigned kind, size_t len, unsigned char *out)
{
    out[0] = static_cast<unsigned char>(kind | long_form_3);
    put_be(out + 1, len, 3);
    return max_header_size;
}

// ---- Extensions ---------------------------------------------------------------
// An extension frame is 0xC0 then a command byte X; a multi-byte command
// (bit 7 set) carries (X & 0x0F) more bytes.

namespace extn {
constexpr unsigned FCT = 0x00;
constexpr unsigned ESC = 0x03;
constexpr unsigned ESC_FCT = 0x04;
constexpr unsigned ESC_EEP = 0x05;
constexpr unsigned ESC_EOP = 0x06;
constexpr unsigned ESC_ESC = 0x07;
constexpr unsigned Timeout = 0x08;
constexpr unsigned ParityError = 0x09;
constexpr unsigned PERROR1 = 0x0A;
constexpr unsigned PERROR2 = 0x0B;
constexpr unsigned STORE = 0x0C;
constexpr unsigned FORWARD = 0x0D;
constexpr unsigned ATOM = 0x0E;
constexpr unsigned MOTA = 0x0F;
constexpr unsigned JOIN = 0x10;
constexpr unsigned BARRIER = 0x11;
constexpr unsigned RESIGN = 0x12;
constexpr unsigned EVENT = 0x13;
constexpr unsigned Missing_data = 0x14;
constexpr unsigned HOLD = 0x2F;
constexpr unsigned Delay = 0x30;
constexpr unsigned Delay_max = 0x3F;
constexpr unsigned PortSelect = 0x40;
constexpr unsigned PortSelect_max = 0x7F;
constexpr unsigned Multi_byte_extn_start = 0x80;
constexpr unsigned TimeTag_uncertainty = 0x81;
constexpr unsigned TimeTag_delta = 0x82;
constexpr unsigned TimeTag = 0x88;
constexpr unsigned TimeCode = 0x91;
constexpr unsigned Module = 0x92;
constexpr unsigned TimeZero = 0x98;
constexpr unsigned TRUNCATE_1 = 0xA1;
constexpr unsigned TRUNCATE_2 = 0xA2;
constexpr unsigned REPEAT_1 = 0xB1;
constexpr unsigned REPEAT_2 = 0xB2;
constexpr unsigned REPEAT_3 = 0xB3;
constexpr unsigned Year = 0xC8;
constexpr unsigned Header = 0xCE;
} // namespace extn

// Bytes of an extension with command byte x, the command included.
constexpr int extension_size(unsigned x)
{
    return x >= extn::Multi_byte_extn_start ? static_cast<int>(x & 0x0F) + 1 : 1;
}
constexpr int max_extension_size = 16;

// The object layers number commands 256 + command byte, sharing one number
// space with the packet types.
constexpr int command_code(unsigned x)
{
    return 0x100 + static_cast<int>(x);
}

constexpr bool is_link_select(unsigned x)
{
    return x >= extn::PortSelect && x <= extn::PortSelect_max;
}
constexpr unsigned link_of_select(unsigned x)
{
    return x - extn::PortSelect;
}
constexpr unsigned char link_select(unsigned link)
{
    return static_cast<unsigned char>(extn::PortSelect + link);
}

// Commands the unit sends or a recording holds; 0x01 and 0x02 are packet
// ends, not commands.
constexpr bool is_known_command(unsigned x)
{
    if (x <= extn::Missing_data)
        return x != 0x01 && x != 0x02;
    if (x == extn::HOLD || (x >= extn::Delay && x <= extn::PortSelect_max))
        return true;
    switch (x) {
    case extn::TimeTag_uncertainty:
    case extn::TimeTag_delta:
    case extn::TimeTag:
    case extn::TimeCode:
    case extn::Module:
    case extn::TimeZero:
    case extn::TRUNCATE_1:
    case extn::TRUNCATE_2:
    case extn::REPEAT_1:
    case extn::REPEAT_2:
    case extn::REPEAT_3:
    case extn::Year:
    case extn::Header:
        return true;
    default:
        return false;
    }
}

// Field offsets inside extensions, the command byte at 0.
namespace timetag {
constexpr size_t count = 1; // TimeTag and TimeZero: 8 bytes
constexpr size_t count_size = 8;
constexpr uint64_t count_mask = 0x07FFFFFFFFFFFFFFull; // the 59 bits a Vex-family unit counts
constexpr size_t increment = 1;                        // TimeTag_delta: 2 bytes
constexpr size_t increment_size = 2;
} // namespace timetag

namespace module_extn {
constexpr size_t slot = 1;
constexpr size_t type = 2;
} // namespace module_extn

namespace date {
constexpr size_t year = 1; // 2 bytes
constexpr size_t month = 3;
constexpr size_t day = 4;
constexpr size_t hour = 5;
constexpr size_t minute = 6;
constexpr size_t second = 7;
constexpr size_t dst = 8;
} // namespace date

// The 59-bit count of a TimeTag or TimeZero extension.
constexpr uint64_t timetag_count(const unsigned char *x)
{
    return get_be(x + timetag::count, timetag::count_size) & timetag::count_mask;
}

// ---- Record files -------------------------------------------------------------
// A record file starts with a Header extension frame, then re-synchronisation
// records; every one is an extension frame, 0xC0 included.

namespace recording_header {
// Offsets in the extension (command byte at 0); in the file add 1 for 0xC0.
constexpr size_t version = 1;
constexpr size_t system_type = 2;
constexpr size_t seconds = 3;
constexpr size_t seconds_size = 8;
constexpr size_t nanoseconds = 11;
constexpr size_t nanoseconds_size = 4;
constexpr size_t file_size = 1 + static_cast<size_t>(extension_size(extn::Header)); // 16
} // namespace recording_header

// The 16-byte recording header of a record file.
inline void put_recording_header(unsigned char out[recording_header::file_size], int system_type,
                                 uint64_t seconds, uint32_t nanoseconds)
{
    unsigned char *x = out + 1;
    out[0] = static_cast<unsigned char>(extension_start);
    x[0] = static_cast<unsigned char>(extn::Header);
    x[recording_header::version] = 0;
    x[recording_header::system_type] = static_cast<unsigned char>(system_type);
    put_be(x + recording_header::seconds, seconds, recording_header::seconds_size);
    put_be(x + recording_header::nanoseconds, nanoseconds, recording_header::nanoseconds_size);
}

constexpr size_t module_record_size =
    1 + static_cast<size_t>(extension_size(extn::Module)); // C0 92 slot type
constexpr size_t time_zero_record_size =
    1 + static_cast<size_t>(extension_size(extn::TimeZero)); // C0 98 t0..t7
constexpr size_t link_select_record_size = 2;                // C0 40+n

// The time image: what the receiver keeps of the timing extensions, ready to
// be copied into a new record file. Offset 0 holds the time-zero record; link
// n (first_link..last_link) has a 16-byte entry at entry_base + 16 n, three
// extension frames: select link n, its last timetag, its last increment.
namespace time_image {
constexpr size_t time_zero = 0;
constexpr size_t entry_base = 64;
constexpr size_t entry_size = 16;
constexpr int first_link = 1;
constexpr int last_link = 30;
// Inside an entry.
constexpr size_t valid = 0; // 0xC0 once the entry holds a timetag, else 0
constexpr size_t select = 1;
constexpr size_t timetag = 2;    // C0 88, then the 8 count bytes
constexpr size_t increment = 12; // C0 82, then the 2 increment bytes
constexpr size_t entry_offset(int link)
{
    return entry_base + entry_size * static_cast<size_t>(link);
}
} // namespace time_image

// ---- RAM-I/O replies and the error-waveform record ------------------------------

// Head of a RAM-I/O reply (a special packet); the data read follows it.
namespace ram_reply {
constexpr size_t slot = 0;
constexpr size_t port = 2;
constexpr size_t address = 3; // 2 bytes
constexpr size_t data = 5;
constexpr size_t head_size = 5;
} // namespace ram_reply

// An error waveform is read as one RAM-I/O reply: the head, then 512 samples
// of 4 bytes (an edge count and four 6-bit line fields, least significant
// first), then a 16-byte header, then bytes the record does not use.
namespace waveform_record {
constexpr size_t samples = ram_reply::data;
constexpr size_t sample_size = 4;
constexpr size_t sample_count = 512;
constexpr size_t header = samples + sample_size * sample_count; // 2053
constexpr size_t header_size = 16;
// Inside the header.
constexpr size_t code = 2;  // 2 bytes; its low byte is the event byte
constexpr size_t event = 3; // high nibble the event code, low nibble ew_port
constexpr unsigned event_code(unsigned event_byte)
{
    return (event_byte >> 4) & 0x0F;
}
constexpr unsigned event_port(unsigned event_byte)
{
    return event_byte & 0x0F;
}
constexpr size_t unit = 4;    // 2 bytes
constexpr size_t timetag = 6; // 8 bytes
constexpr size_t timetag_size = 8;
constexpr size_t erridx = 14;                               // 2 bytes
constexpr size_t read_length = 2070;                        // bytes read from the waveform buffer
constexpr size_t size = ram_reply::head_size + read_length; // 2075
// A sample's 24 line bits; each line is 6 bits, at these shifts.
constexpr unsigned sample_lines(const unsigned char *sample)
{
    return static_cast<unsigned>(sample[1]) | static_cast<unsigned>(sample[2]) << 8 |
           static_cast<unsigned>(sample[3]) << 16;
}
constexpr unsigned tx_strobe_shift = 0;
constexpr unsigned tx_data_shift = 6;
constexpr unsigned rx_strobe_shift = 12;
constexpr unsigned rx_data_shift = 18;
constexpr unsigned line_mask = 0x3F;
// Names of the event codes, and of the places the sources other than a
// link (1..8) stand for: 0 the barrier, 9..12 the SMA inputs.
inline constexpr const char *event_names[16] = {
    "timeout",
    "ESC-ESC",
    "ESC-EOP",
    "ESC_EEP",
    "parity_error",
    "Null",
    "FCT",
    "time-code",
    "EOP",
    "event in transmit stream",
    "first byte in packet",
    "excess data",
    "excess FCT",
    "first null",
    "data, EOP or EEP",
    "EEP",
};
constexpr unsigned last_link_port = 8;
constexpr unsigned first_sma_port = 9;
inline constexpr const char *barrier_place = "synchronization barrier lifting";
inline constexpr const char *sma_places[4] = {
    "rising edge on SMA 1-2",
    "rising edge on SMA 3-4",
    "rising edge on SMA 5-6",
    "rising edge on SMA 7-8",
};
} // namespace waveform_record

} // namespace wire
} // namespace orw

#endif // ORW_WIRE_FORMAT_HPP
