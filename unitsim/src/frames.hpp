// SPDX-License-Identifier: MIT
// The unit's framed stream, both directions: a parser fed arbitrary pieces
// of a client's stream, and builders for what the unit sends back. No I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orw::unitsim {

/// Largest payload of one frame (three length bytes).
constexpr size_t max_frame_payload = 0xFFFFFF;

/// One complete thing a client sent.
struct frame_item {
    enum class kind { packet, special, extension };
    kind what;
    std::vector<uint8_t> data; // packet payload, special bytes, or extension command byte first
    bool eep = false;          // packets only: ended with EEP
};

class frame_parser {
  public:
    /// Parses `n` bytes and appends every item they complete to `out`.
    /// Any byte sequence is accepted; memory grows only with bytes given.
    void feed(const uint8_t *bytes, size_t n, std::vector<frame_item> &out);
    /// Forgets any half-parsed frame and any open packet.
    void reset();

  private:
    enum class state { header, length, payload, special, ext_command, ext_bytes };
    void frame_done(std::vector<frame_item> &out);

    state state_ = state::header;
    int kind_ = 0;                // top two header bits: 0 partial, 1 EOP, 2 EEP, 3 special
    int length_bytes_ = 0;        // length bytes still to read
    size_t count_ = 0;            // payload bytes still due in this frame
    std::vector<uint8_t> packet_; // payload of the packet being joined
    std::vector<uint8_t> item_;   // special packet or extension being gathered
};

/// Appends a data packet as frames: 0x40/0x80 + length form, split into
/// partial frames when longer than one frame can carry.
void append_packet(std::vector<uint8_t> &out, const uint8_t *data, size_t n, bool eep);
/// Appends `n` bytes of a packet that goes on in a later frame (partial
/// frames; nothing when `n` is 0).
void append_partial(std::vector<uint8_t> &out, const uint8_t *data, size_t n);
/// Appends a special packet (0xC0 + length form); `n` must be 1..max_frame_payload.
void append_special(std::vector<uint8_t> &out, const uint8_t *data, size_t n);
inline void append_special(std::vector<uint8_t> &out, const std::vector<uint8_t> &data)
{
    append_special(out, data.data(), data.size());
}
/// Appends the one-byte extension announcing that what follows came from `link`.
void append_link_select(std::vector<uint8_t> &out, int link);
/// Appends an extension: 0xC0, `command`, then `n` bytes. A command with bit 7
/// set must carry exactly (command & 0x0F) bytes, any other none; the
/// receiver's framing depends on it.
void append_extension(std::vector<uint8_t> &out, uint8_t command, const uint8_t *data = nullptr,
                      size_t n = 0);

} // namespace orw::unitsim
