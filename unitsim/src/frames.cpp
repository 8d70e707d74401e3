// SPDX-License-Identifier: MIT
#include "frames.hpp"

#include <algorithm>

namespace orw::unitsim {

namespace {

constexpr uint8_t kind_partial = 0x00;
constexpr uint8_t kind_eop = 0x40;
constexpr uint8_t kind_eep = 0x80;
constexpr uint8_t kind_special = 0xC0;
constexpr uint8_t extension_header = 0xC0;

// Header byte and length bytes for a frame of `n` payload bytes.
void append_header(std::vector<uint8_t> &out, uint8_t kind, size_t n)
{
    if (n <= 60) {
        out.push_back(static_cast<uint8_t>(kind + n));
        return;
    }
    int k = n < 0x100 ? 1 : n < 0x10000 ? 2 : 3;
    out.push_back(static_cast<uint8_t>(kind + 60 + k));
    for (int i = k - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(n >> (8 * i)));
}

} // namespace

void frame_parser::reset()
{
    state_ = state::header;
    kind_ = 0;
    length_bytes_ = 0;
    count_ = 0;
    packet_.clear();
    item_.clear();
}

void frame_parser::frame_done(std::vector<frame_item> &out)
{
    state_ = state::header;
    if (kind_ == 1 || kind_ == 2) {
        out.push_back({frame_item::kind::packet, std::move(packet_), kind_ == 2});
        packet_.clear();
    } else if (kind_ == 3) {
        // A special packet whose length bytes say 0 carries nothing to answer.
        if (!item_.empty())
            out.push_back({frame_item::kind::special, std::move(item_), false});
        item_.clear();
    }
}

namespace {
// A frame announcing more than this grows as its bytes arrive.
constexpr size_t reserve_limit = 1u << 20;
} // namespace

void frame_parser::feed(const uint8_t *bytes, size_t n, std::vector<frame_item> &out)
{
    size_t i = 0;
    while (i < n) {
        switch (state_) {
        case state::header: {
            uint8_t h = bytes[i++];
            if (h == 0x00)
                break; // filler
            if (h == extension_header) {
                state_ = state::ext_command;
                break;
            }
            kind_ = h >> 6;
            size_t l = h & 0x3F;
            if (l == 0) {
                frame_done(out); // zero-length EOP or EEP frame ends the packet
            } else if (l > 60) {
                length_bytes_ = static_cast<int>(l - 60);
                count_ = 0;
                state_ = state::length;
            } else {
                count_ = l;
                state_ = kind_ == 3 ? state::special : state::payload;
            }
            break;
        }
        case state::length:
            count_ = count_ << 8 | bytes[i++];
            if (--length_bytes_ > 0)
                break;
            // A zero length given in length bytes still ends an EOP/EEP
            // packet: dropping the end would merge two packets.
            if (count_ == 0)
                frame_done(out);
            else
                state_ = kind_ == 3 ? state::special : state::payload;
            break;
        case state::payload:
        case state::special:
        case state::ext_bytes: {
            size_t take = std::min(count_, n - i);
            std::vector<uint8_t> &into = state_ == state::payload ? packet_ : item_;
            // The frame's length is known: grow once, not by doubling as
            // its pieces arrive.
            const size_t whole = into.size() + std::min(count_, reserve_limit);
            if (into.capacity() < whole)
                into.reserve(whole);
            into.insert(into.end(), bytes + i, bytes + i + take);
            i += take;
            count_ -= take;
            if (count_ > 0)
                break;
            if (state_ == state::ext_bytes) {
                out.push_back({frame_item::kind::extension, std::move(item_), false});
                item_.clear();
                state_ = state::header;
            } else {
                frame_done(out);
            }
            break;
        }
        case state::ext_command: {
            uint8_t x = bytes[i++];
            item_.assign(1, x);
            count_ = (x & 0x80) ? (x & 0x0F) : 0;
            if (count_ > 0) {
                state_ = state::ext_bytes;
            } else {
                out.push_back({frame_item::kind::extension, std::move(item_), false});
                item_.clear();
                state_ = state::header;
            }
            break;
        }
        }
    }
}

void append_packet(std::vector<uint8_t> &out, const uint8_t *data, size_t n, bool eep)
{
    while (n > max_frame_payload) {
        append_header(out, kind_partial, max_frame_payload);
        out.insert(out.end(), data, data + max_frame_payload);
        data += max_frame_payload;
        n -= max_frame_payload;
    }
    append_header(out, eep ? kind_eep : kind_eop, n);
    out.insert(out.end(), data, data + n);
}

void append_partial(std::vector<uint8_t> &out, const uint8_t *data, size_t n)
{
    while (n > 0) {
        size_t k = std::min(n, max_frame_payload);
        append_header(out, kind_partial, k);
        out.insert(out.end(), data, data + k);
        data += k;
        n -= k;
    }
}

void append_special(std::vector<uint8_t> &out, const uint8_t *data, size_t n)
{
    if (n == 0 || n > max_frame_payload)
        return; // not expressible as one special frame
    append_header(out, kind_special, n);
    out.insert(out.end(), data, data + n);
}

void append_link_select(std::vector<uint8_t> &out, int link)
{
    out.push_back(extension_header);
    out.push_back(static_cast<uint8_t>(0x40 + (link & 0x3F)));
}

void append_extension(std::vector<uint8_t> &out, uint8_t command, const uint8_t *data, size_t n)
{
    size_t due = (command & 0x80) ? (command & 0x0F) : 0;
    if (n != due)
        return; // would shift every later frame of the stream
    out.push_back(extension_header);
    out.push_back(command);
    if (n > 0)
        out.insert(out.end(), data, data + n);
}

} // namespace orw::unitsim
