// SPDX-License-Identifier: MIT
// orw_rx_parser.cpp - the receive state machine over bytes fed to it.
#include "orw_rx_parser.h"

#include <cstdio>
#include <cstring>

namespace {

namespace wire = orw::wire;

// Packet type of a data frame by its kind's number (kind >> 6), looked up:
// every packet header passes here.
constexpr int kKindShift = 6;
constexpr int kDataKindType[3] = {wire::packet_type_of_kind(wire::kind_partial),
                                  wire::packet_type_of_kind(wire::kind_eop),
                                  wire::packet_type_of_kind(wire::kind_eep)};
static_assert(wire::kind_eop >> kKindShift == 1 && wire::kind_eep >> kKindShift == 2, "kinds number 0 to 3");

inline const ORW_CB_INFO *registration(const ORW_CB_INFO *const *slot)
{
    return slot ? *slot : nullptr;
}

// The read's action for special or extension bytes (`flags` masks it): the
// callback action, all bits of the mask, discards without a usable
// registration.
inline int pending_action(const orw_rx_read *r, int flags, const ORW_CB_INFO *cb)
{
    const int action = r->action & flags;
    const bool usable = cb && cb->buffer && cb->length > 0 && cb->function;
    return action == flags && !usable ? 0 : action;
}
static_assert(CALLBACK_SPECIAL_DATA == SPECIAL_DATA_FLAGS &&
                  CALLBACK_EXTENSION_DATA == EXTENSION_DATA_FLAGS && DISCARD_SPECIAL_DATA == 0 &&
                  DISCARD_EXTENSION_DATA == 0,
              "the callback actions are their masks, discarding is 0");

inline orw_rx_status hand_back(orw_rx_read *r, int type)
{
    r->type = static_cast<uint32_t>(type);
    return ORW_RX_BYTES;
}

inline orw_rx_status return_value(orw_rx_read *r, ssize_t value, int type)
{
    r->type = static_cast<uint32_t>(type);
    r->value = value;
    return ORW_RX_VALUE;
}

// A callback asked the read to stop.
inline orw_rx_status callback_stop(orw_rx_read *r)
{
    return return_value(r, 0, Orwin_PART_EOP_EEP);
}

// Append bytes of a special packet or extension to a callback registration.
// The registration's buffer is never overrun: bytes beyond its length are
// dropped. Returns the number dropped.
size_t gather(const ORW_CB_INFO *cb, int *stored, const unsigned char *src, size_t count)
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
// extn_byte counts the bytes gathered, across feeds and reads, so a packet
// split by a time-out still reaches the callback whole. Returns the
// callback's result, or 1 when it was not due.
int run_callback(const orw_rx_parser *p, const orw_rx_read *r, const ORW_CB_INFO *cb, bool was_full,
                 bool dropped, bool done)
{
    if (was_full)
        return 1;
    const bool full = static_cast<size_t>(p->extn_byte) >= cb->length;
    const bool truncated = full && (dropped || !done);
    if (!done && !truncated)
        return 1;
    return cb->function(r->handle, cb->buffer, p->extn_byte, truncated ? 0 : 1, static_cast<int>(r->stored));
}

// Consume one extension byte: the extension-byte hook sees it first, and
// once more (with extn_count 0) after the last byte of the extension.
inline unsigned take_extn_byte(orw_rx_parser *p, const orw_rx_read *r)
{
    const unsigned b = p->input[p->pos++];
    p->extn_bytes[(p->extn_size - p->extn_count) & (wire::max_extension_size - 1)] =
        static_cast<unsigned char>(b);
    if (r->extension_byte)
        r->extension_byte(r->context, static_cast<int>(b));
    if (--p->extn_count <= 0) {
        p->extn_count = 0;
        if (r->extension_byte)
            r->extension_byte(r->context, 0);
        p->state = RX_HEADER;
    }
    return b;
}

inline size_t held(const orw_rx_parser *p)
{
    return p->length - p->pos;
}

// One header byte. Returns true when the read ends (status in *out).
bool parse_header(orw_rx_parser *p, orw_rx_read *r, orw_rx_status *out)
{
    const unsigned h = p->input[p->pos];
    const int len = static_cast<int>(wire::length_code(h));
    p->param = len;
    if (h == wire::filler) {
        p->pos++;
        return false;
    }
    if (wire::kind_of(h) == wire::kind_extended) {
        p->pos++;
        p->final_flags = Orwin_SPECIAL;
        p->count = 0;
        p->extn_byte = 0;
        if (len == 0) {
            p->state = RX_EXTN_START;
        } else if (len > static_cast<int>(wire::short_length_max)) {
            p->state = RX_LENGTH;
            p->param = static_cast<int>(wire::length_bytes(static_cast<unsigned>(len)));
        } else {
            p->state = RX_SPECIAL;
            p->count = len;
        }
        // Data held so far goes back as a part; the special or extension
        // is the next read's.
        if (r->stored > 0) {
            *out = hand_back(r, Orwin_PART_EOP_EEP);
            return true;
        }
        return false;
    }
    const int type = kDataKindType[wire::kind_of(h) >> kKindShift];
    p->final_flags = type;
    p->count = 0;
    if (len == 0) {
        p->pos++;
        *out = hand_back(r, type);
        return true;
    }
    if (r->stored == r->length) {
        *out = hand_back(r, Orwin_PART_EOP_EEP);
        return true;
    }
    p->pos++;
    if (len <= static_cast<int>(wire::short_length_max)) {
        p->state = RX_PAYLOAD;
        p->count = len;
    } else {
        p->state = RX_LENGTH;
        p->param = static_cast<int>(wire::length_bytes(static_cast<unsigned>(len)));
    }
    return false;
}

bool parse_length(orw_rx_parser *p, orw_rx_read *r, orw_rx_status *out)
{
    p->count = p->count * 256 + p->input[p->pos++];
    if (--p->param > 0)
        return false;
    if (p->count > 0) {
        p->state = p->final_flags == Orwin_SPECIAL ? RX_SPECIAL : RX_PAYLOAD;
        return false;
    }
    // An empty frame: skipped, except that an empty EOP or EEP frame still
    // ends its packet (a packet sent in pieces may end so).
    p->state = RX_HEADER;
    r->type = static_cast<uint32_t>(p->final_flags);
    if (p->final_flags == Orwin_EOP || p->final_flags == Orwin_EEP) {
        *out = hand_back(r, p->final_flags);
        return true;
    }
    return false;
}

bool parse_payload(orw_rx_parser *p, orw_rx_read *r, orw_rx_status *out)
{
    size_t count = static_cast<size_t>(p->count);
    const size_t avail = held(p);
    const size_t room = static_cast<size_t>(r->length - r->stored);
    if (count > avail)
        count = avail;
    if (count > room)
        count = room;
    memcpy(r->buffer + r->offset + r->stored, p->input + p->pos, count);
    p->pos += count;
    p->count -= static_cast<int>(count);
    r->stored += static_cast<ssize_t>(count);
    if (p->count > 0) {
        if (r->stored == r->length) {
            *out = hand_back(r, Orwin_PART_EOP_EEP);
            return true;
        }
        return false;
    }
    p->state = RX_HEADER;
    if (p->final_flags != Orwin_PART_EOP_EEP) {
        *out = hand_back(r, p->final_flags);
        return true;
    }
    if (r->action & READ_IMMEDIATE) {
        *out = hand_back(r, Orwin_PART_EOP_EEP);
        return true;
    }
    return false;
}

bool parse_special(orw_rx_parser *p, orw_rx_read *r, orw_rx_status *out)
{
    if (p->count <= 0) {
        p->state = RX_HEADER;
        return false;
    }
    const int action = pending_action(r, SPECIAL_DATA_FLAGS, registration(r->special_cb));
    if (action == REPORT_SPECIAL_DATA) {
        *out = return_value(r, p->count, Orwin_SPECIAL_SIZE);
        return true;
    }
    size_t count = static_cast<size_t>(p->count);
    if (count > held(p))
        count = held(p);
    const unsigned char *src = p->input + p->pos;

    if (action == RETURN_SPECIAL_DATA) {
        const size_t room = static_cast<size_t>(r->length - r->stored);
        if (count > room)
            count = room;
        memcpy(r->buffer + r->stored, src, count);
        r->stored += static_cast<ssize_t>(count);
        // Counted as for callbacks, so a later read can tell a packet's
        // tail from a packet of its own.
        p->extn_byte += static_cast<int>(count);
    }
    p->pos += count;
    p->count -= static_cast<int>(count);
    const bool done = p->count == 0;
    if (done)
        p->state = RX_HEADER;

    if (action == RETURN_SPECIAL_DATA) {
        if (done) {
            *out = hand_back(r, Orwin_SPECIAL);
            return true;
        }
        if (r->stored == r->length) {
            *out = hand_back(r, Orwin_PART_SPECIAL);
            return true;
        }
    } else if (action == CALLBACK_SPECIAL_DATA) {
        const ORW_CB_INFO *cb = *r->special_cb;
        const bool was_full = static_cast<size_t>(p->extn_byte) >= cb->length;
        const size_t dropped = gather(cb, &p->extn_byte, src, count);
        if (run_callback(p, r, cb, was_full, dropped > 0, done) == 0) {
            *out = callback_stop(r);
            return true;
        }
    }
    return false;
}

void start_extension(orw_rx_parser *p, orw_rx_read *r)
{
    // The command byte is not consumed here: it is the extension's first byte.
    const int x = p->input[p->pos];
    p->extn_cmd = x;
    p->extn_byte = 0;
    p->extn_size = p->extn_count = wire::extension_size(static_cast<unsigned>(x));
    r->type = Orwin_EXTN;
    p->state = RX_EXTN_BYTES;
}

bool parse_extension(orw_rx_parser *p, orw_rx_read *r, orw_rx_status *out)
{
    if (p->extn_count <= 0) {
        p->state = RX_HEADER;
        return false;
    }
    const int action = pending_action(r, EXTENSION_DATA_FLAGS, registration(r->extension_cb));
    if (action == REPORT_EXTENSION_DATA) {
        *out = return_value(r, p->extn_count, Orwin_EXTENSION_SIZE);
        return true;
    }

    if (action == RETURN_EXTENSION_DATA) {
        while (p->state == RX_EXTN_BYTES && r->stored < r->length && p->pos < p->length)
            r->buffer[r->stored++] = static_cast<unsigned char>(take_extn_byte(p, r));
        if (p->state == RX_HEADER) {
            *out = hand_back(r, Orwin_EXTN);
            return true;
        }
        if (r->stored == r->length) {
            *out = hand_back(r, Orwin_PART_EXTN);
            return true;
        }
    } else if (action == CALLBACK_EXTENSION_DATA) {
        const ORW_CB_INFO *cb = *r->extension_cb;
        const bool was_full = static_cast<size_t>(p->extn_byte) >= cb->length;
        size_t dropped = 0;
        while (p->state == RX_EXTN_BYTES && p->pos < p->length) {
            const unsigned char b = static_cast<unsigned char>(take_extn_byte(p, r));
            dropped += gather(cb, &p->extn_byte, &b, 1);
        }
        const bool done = p->state == RX_HEADER;
        if (run_callback(p, r, cb, was_full, dropped > 0, done) == 0) {
            *out = callback_stop(r);
            return true;
        }
    } else {
        while (p->state == RX_EXTN_BYTES && p->pos < p->length)
            take_extn_byte(p, r);
    }
    return false;
}

// A size report consumes nothing, so it needs no input.
inline bool report_only(const orw_rx_parser *p, int action)
{
    return (p->state == RX_SPECIAL && (action & SPECIAL_DATA_FLAGS) == REPORT_SPECIAL_DATA) ||
           (p->state == RX_EXTN_BYTES && (action & EXTENSION_DATA_FLAGS) == REPORT_EXTENSION_DATA);
}

} // namespace

orw_rx_status orw_rx_feed(orw_rx_parser *p, const unsigned char *data, size_t length, orw_rx_read *r)
{
    if (data)
        orw_rx_set_input(p, data, length);
    for (;;) {
        if (p->pos >= p->length && !report_only(p, r->action))
            return ORW_RX_NEED_INPUT;
        orw_rx_status out = ORW_RX_NEED_INPUT;
        bool ends = false;
        switch (p->state) {
        case RX_HEADER:
            ends = parse_header(p, r, &out);
            break;
        case RX_LENGTH:
            ends = parse_length(p, r, &out);
            break;
        case RX_PAYLOAD:
            ends = parse_payload(p, r, &out);
            break;
        case RX_SPECIAL:
            ends = parse_special(p, r, &out);
            break;
        case RX_EXTN_START:
            start_extension(p, r);
            break;
        case RX_EXTN_BYTES:
            ends = parse_extension(p, r, &out);
            break;
        default:
            // Not a state this parser leaves behind; start again at a header.
            p->state = RX_HEADER;
            break;
        }
        if (ends)
            return out;
    }
}

int orw_rx_held_type(const orw_rx_parser *p)
{
    if (p->state == RX_SPECIAL)
        return Orwin_PART_SPECIAL;
    if (p->state == RX_EXTN_BYTES)
        return Orwin_PART_EXTN;
    return Orwin_PART_EOP_EEP;
}

bool orw_rx_special_begun(const orw_rx_parser *p)
{
    return p->state == RX_SPECIAL && p->extn_byte > 0;
}

size_t orw_rx_resume_prefix(const orw_rx_parser *p, unsigned char out[ORW_RX_RESUME_MAX])
{
    const unsigned kind = wire::kind_of_type(p->final_flags);
    switch (p->state) {
    case RX_LENGTH: {
        // Re-announce three length bytes: the ones already read, then the
        // `param` still to come from the stream.
        const int missing = p->param;
        if (missing < 1 || missing > 3)
            return 0;
        out[0] = static_cast<unsigned char>(kind | wire::long_form_3);
        wire::put_be(out + 1, static_cast<uint64_t>(p->count), static_cast<size_t>(3 - missing));
        return static_cast<size_t>(1 + 3 - missing);
    }
    case RX_PAYLOAD:
    case RX_SPECIAL: {
        const size_t left = static_cast<size_t>(p->count);
        if (left == 0)
            return 0;
        const unsigned k = p->state == RX_SPECIAL ? wire::kind_extended : kind;
        if (left <= wire::short_length_max) {
            out[0] = static_cast<unsigned char>(k + left);
            return 1;
        }
        return wire::put_long_header(k, left, out);
    }
    case RX_EXTN_START:
        out[0] = wire::extension_start;
        return 1;
    case RX_EXTN_BYTES: {
        // Repeat the extension's bytes already consumed, so the new stream
        // carries it whole rather than a tail read as frame headers.
        const int consumed = p->extn_size - p->extn_count;
        if (p->extn_count <= 0 || consumed < 0 || consumed > wire::max_extension_size)
            return 0;
        out[0] = wire::extension_start;
        memcpy(out + 1, p->extn_bytes, static_cast<size_t>(consumed));
        return static_cast<size_t>(1 + consumed);
    }
    default:
        return 0;
    }
}

int orw_rx_describe(const orw_rx_parser *p, char *out, size_t size)
{
    return snprintf(out, size, "STATE %d RXPARAM %d EXTN_CMD %d EXTN BYTE %d COUNT %u\n", p->state, p->param,
                    p->extn_cmd, p->extn_byte, static_cast<unsigned>(p->count));
}
