// SPDX-License-Identifier: MIT
// The first bytes of a packet as printed messages show them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orw {
namespace spacewire {

/** " %02x" for each of the first 16 bytes at most (none for null data). */
class hex_preview {
  public:
    static constexpr size_t max_bytes = 16;

    hex_preview(const uint8_t *data, size_t sz);
    const char *c_str() const { return text; }

  private:
    char text[max_bytes * 3 + 1];
};

} // namespace spacewire
} // namespace orw
