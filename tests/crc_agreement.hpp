// SPDX-License-Identifier: MIT
// Checks a fast RMAP CRC against the bit-serial one on every length up to a
// few hundred bytes, every alignment within a 64-byte line, a spread of
// starting values, and long lengths around the folding strides.
#pragma once

#include "rmap_reference.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test {

template <class Crc>::testing::AssertionResult crc_agrees_with_serial(Crc crc)
{
    constexpr size_t longest = 65536 + 200;
    alignas(64) static uint8_t noise[longest + 64];
    uint32_t x = 0x12345678;
    for (uint8_t &b : noise) {
        x = x * 1664525 + 1013904223;
        b = static_cast<uint8_t>(x >> 24);
    }
    const size_t long_lengths[] = {511, 512, 513, 1023, 4096, 4099, 65535, 65536, 65536 + 127, longest};
    std::vector<uint8_t> prefix(longest + 1);
    for (size_t align = 0; align < 64; ++align) {
        const uint8_t *p = noise + align;
        prefix[0] = 0;
        for (size_t n = 0; n < longest; ++n)
            prefix[n + 1] = rmap_ref::serial_crc(p + n, 1, prefix[n]);
        for (size_t n = 0; n <= 400; ++n) {
            uint8_t start = static_cast<uint8_t>(n * 37 + align);
            if (crc(p, n, uint8_t{0}) != prefix[n] || crc(p, n, start) != rmap_ref::serial_crc(p, n, start))
                return ::testing::AssertionFailure() << "length " << n << " alignment " << align;
        }
        for (size_t n : long_lengths)
            if (crc(p, n, uint8_t{0}) != prefix[n] ||
                crc(p, n, uint8_t{0xA5}) != rmap_ref::serial_crc(p, n, 0xA5))
                return ::testing::AssertionFailure() << "length " << n << " alignment " << align;
    }
    return ::testing::AssertionSuccess();
}

} // namespace test
