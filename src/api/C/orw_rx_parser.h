// SPDX-License-Identifier: MIT
// orw_rx_parser.h - the receive parser: turns the unit's framed byte stream
// into packets, special packets and extensions. It is fed bytes and knows
// nothing of sockets, files or time-outs, so whatever reads the stream (a
// socket, a replayed file, a test) drives it the same way.
#ifndef ORW_RX_PARSER_H
#define ORW_RX_PARSER_H

#include "../orw_wire_format.hpp"
#include "Orwin.h"

#include <cstddef>
#include <sys/types.h>

// Parser states.
enum { RX_HEADER = 0, RX_LENGTH = 1, RX_PAYLOAD = 2, RX_SPECIAL = 3, RX_EXTN_START = 4, RX_EXTN_BYTES = 5 };

// Header and length bytes that re-announce a frame the parser is inside of,
// at most 0xC0 and the bytes of the longest extension.
constexpr size_t ORW_RX_RESUME_MAX = 1 + orw::wire::max_extension_size;

// State that persists between reads, so a packet, special packet or
// extension may be handed out across several of them.
struct orw_rx_parser {
    // Input not yet parsed: input[pos .. length). The bytes belong to the
    // feeder and must stay valid until they are parsed.
    const unsigned char *input;
    size_t length;
    size_t pos;
    int state;
    int count;       // payload or special bytes still due, or the length so far
    int param;       // length bytes still due
    int final_flags; // type of the current frame
    int extn_count;  // extension bytes still due
    int extn_size;
    int extn_cmd;
    int extn_byte; // special or extension bytes gathered so far
    // Bytes of the current extension consumed so far, command byte first.
    unsigned char extn_bytes[ORW_RX_RESUME_MAX - 1];
};

// One read: where its bytes go and what it does with special packets and
// extensions. The caller fills the first group, zeroes the second once per
// read and keeps the struct across the feeds of that read.
struct orw_rx_read {
    unsigned char *buffer; // special and extension bytes go from here,
    ssize_t offset;        // packet payload from buffer + offset,
    ssize_t length;        // at most this many in all
    int action;            // special-data action (sda)
    Orwin handle;          // first argument of the callbacks
    // Where the registrations are (null: none), looked up for each packet:
    // a callback may replace them.
    const ORW_CB_INFO *const *special_cb;
    const ORW_CB_INFO *const *extension_cb;
    // Sees every extension byte consumed, then 0 after the last one.
    void (*extension_byte)(void *context, int byte);
    void *context;

    ssize_t stored; // bytes stored in buffer so far
    uint32_t type;  // the type the read reports so far
    ssize_t value;  // the result of ORW_RX_VALUE
};

enum orw_rx_status {
    // Every byte fed is parsed and the read goes on: feed more.
    ORW_RX_NEED_INPUT = 0,
    // The read ends handing back `stored` bytes of type `type`.
    ORW_RX_BYTES = 1,
    // The read ends returning `value` (a size report, or 0 when a callback
    // stopped it) with type `type`; nothing is handed back.
    ORW_RX_VALUE = 2
};

// Start again at a frame header with no input held.
inline void orw_rx_reset(orw_rx_parser *p)
{
    *p = orw_rx_parser{};
    p->state = RX_HEADER;
}

// Hold `length` new bytes at `data`, none of them parsed; the bytes held so
// far are dropped.
inline void orw_rx_set_input(orw_rx_parser *p, const unsigned char *data, size_t length)
{
    p->input = data;
    p->length = length;
    p->pos = 0;
}

// Parse what is held, after taking `length` new bytes at `data` when `data`
// is not null (the bytes held before must all be parsed then). Returns when
// the read ends or every byte is parsed.
orw_rx_status orw_rx_feed(orw_rx_parser *p, const unsigned char *data, size_t length, orw_rx_read *read);

// Bytes held and not yet parsed, and where they start.
inline size_t orw_rx_unparsed(const orw_rx_parser *p)
{
    return p->length > p->pos ? p->length - p->pos : 0;
}
inline const unsigned char *orw_rx_unparsed_bytes(const orw_rx_parser *p)
{
    return p->input + p->pos;
}
// The input last taken, from its start, and how much of it is parsed.
inline const unsigned char *orw_rx_input(const orw_rx_parser *p)
{
    return p->input;
}
inline size_t orw_rx_input_length(const orw_rx_parser *p)
{
    return p->length;
}
inline size_t orw_rx_parsed(const orw_rx_parser *p)
{
    return p->pos;
}

// Type of the bytes a read holds when it has to stop early (time-out, end of
// data, failed refill): special and extension bytes keep their own part
// types so they are never mistaken for packet data.
int orw_rx_held_type(const orw_rx_parser *p);

// True when bytes of the special packet being parsed already went to an
// earlier read, so what follows is its tail.
bool orw_rx_special_begun(const orw_rx_parser *p);

// The extension being consumed: its command byte and the bytes still due
// (the current one included while it is being passed on, 0 after the last).
inline int orw_rx_extension_command(const orw_rx_parser *p)
{
    return p->extn_cmd;
}
inline int orw_rx_extension_due(const orw_rx_parser *p)
{
    return p->extn_count;
}
// Forget the extension's command once its bytes have been used.
inline void orw_rx_clear_extension_command(orw_rx_parser *p)
{
    p->extn_cmd = 0;
    p->extn_size = 0;
}

// Header and length bytes that let a new stream pick up the frame the parser
// is inside of; the rest of the frame follows in the unparsed bytes and later
// input. Returns the number of bytes written to `out` (0 between frames).
size_t orw_rx_resume_prefix(const orw_rx_parser *p, unsigned char out[ORW_RX_RESUME_MAX]);

// The state as the diagnostic line "STATE %d RXPARAM %d EXTN_CMD %d EXTN BYTE
// %d COUNT %u\n", written to `out` as snprintf does.
int orw_rx_describe(const orw_rx_parser *p, char *out, size_t size);

#endif // ORW_RX_PARSER_H
