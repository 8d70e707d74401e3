// SPDX-License-Identifier: MIT
// Reads a unit stream through the receive parser alone, fed in pieces, the
// way a link's reads feed it what each socket read returned: a read that
// has parsed every piece so far takes the next one, and after the last the
// stream has ended. No socket, no link record.
#ifndef ORWIN_TESTS_RX_FEED_HPP
#define ORWIN_TESTS_RX_FEED_HPP

#include "OrwinInternal.h"

#include <cstdint>
#include <ostream>
#include <vector>

namespace rx_feed {

using bytes = std::vector<uint8_t>;

// What one read returned: its result, type and the bytes it handed back.
struct result {
    ssize_t r;
    uint32_t type;
    bytes data;
    bool operator==(const result &o) const { return r == o.r && type == o.type && data == o.data; }
};

inline std::ostream &operator<<(std::ostream &os, const result &x)
{
    return os << "{" << x.r << ", " << x.type << ", " << x.data.size() << " bytes}";
}

// What a read of an ended stream returns when it holds nothing.
const result kEnd{Error_Receiver_Shutdown, 0, {}};

class feeder {
  public:
    // The stream arrives in pieces ending at each of `ends` (ascending, the
    // last one the stream's size).
    feeder(const uint8_t *stream, std::vector<size_t> ends) : stream_(stream), ends_(std::move(ends))
    {
        orw_rx_reset(&parser);
    }

    // One read of at most `length` bytes stored from `offset` (payload) or
    // from the start (special and extension bytes) of a buffer of
    // offset + length bytes.
    result read(size_t length, int sda, size_t offset = 0)
    {
        bytes buffer(offset + length);
        orw_rx_read rd{};
        rd.buffer = buffer.data();
        rd.offset = static_cast<ssize_t>(offset);
        rd.length = static_cast<ssize_t>(length);
        rd.action = sda;
        rd.special_cb = &special_cb;
        rd.extension_cb = &extension_cb;
        const uint8_t *piece = nullptr;
        size_t piece_length = 0;
        for (;;) {
            const orw_rx_status s = orw_rx_feed(&parser, piece, piece_length, &rd);
            if (s == ORW_RX_VALUE)
                return {rd.value, rd.type, {}};
            if (s == ORW_RX_BYTES)
                return handed_back(buffer, offset, rd.stored, rd.type);
            if (next_ == ends_.size())
                return rd.stored > 0 ? handed_back(buffer, offset, rd.stored,
                                                   static_cast<uint32_t>(orw_rx_held_type(&parser)))
                                     : kEnd;
            piece = stream_ + fed_;
            piece_length = ends_[next_] - fed_;
            fed_ = ends_[next_++];
        }
    }

    // Every read until the stream has ended (at most `limit`).
    std::vector<result> read_all(size_t length, int sda, size_t limit = 1000)
    {
        std::vector<result> out;
        while (out.size() < limit) {
            out.push_back(read(length, sda));
            if (out.back().r < 0)
                break;
        }
        return out;
    }

    orw_rx_parser parser;
    const ORW_CB_INFO *special_cb = nullptr;
    const ORW_CB_INFO *extension_cb = nullptr;

  private:
    static result handed_back(const bytes &buffer, size_t offset, ssize_t n, uint32_t type)
    {
        const bool own_bytes = type == Orwin_SPECIAL || type == Orwin_PART_SPECIAL || type == Orwin_EXTN ||
                               type == Orwin_PART_EXTN;
        const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(own_bytes ? 0 : offset);
        return {n, type, bytes(from, from + n)};
    }

    const uint8_t *stream_;
    std::vector<size_t> ends_;
    size_t next_ = 0;
    size_t fed_ = 0;
};

} // namespace rx_feed

#endif // ORWIN_TESTS_RX_FEED_HPP
