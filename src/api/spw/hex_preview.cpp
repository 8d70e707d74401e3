// SPDX-License-Identifier: MIT
// The first bytes of a packet as printed messages show them.
#include "hex_preview.hpp"

#include <cstdio>

namespace orw {
namespace spacewire {

hex_preview::hex_preview(const uint8_t *data, size_t sz)
{
    text[0] = '\0';
    for (size_t i = 0; data && i < sz && i < max_bytes; ++i)
        std::snprintf(text + 3 * i, 4, " %02x", data[i]);
}

} // namespace spacewire
} // namespace orw
