// SPDX-License-Identifier: MIT
// The simulator's RMAP CRC, written from the polynomial: a byte table for
// short runs and, where the processor multiplies without carries, folding
// of 64-byte strides for long data.
#include "rmap_node.hpp"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace orw::unitsim {

namespace {

// The register holds x^0 in bit 7 and x^7 in bit 0; shifting right
// multiplies by x, and x^8 comes back as x^2 + x + 1 (0xE0).
uint8_t times_x(uint8_t r)
{
    return static_cast<uint8_t>((r & 1) ? (r >> 1) ^ 0xE0 : r >> 1);
}

// The table is derived from the polynomial by running the bit-serial
// shift register over every byte value.
std::array<uint8_t, 256> make_crc_table()
{
    std::array<uint8_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        uint8_t crc = static_cast<uint8_t>(value);
        for (int bit = 0; bit < 8; ++bit)
            crc = times_x(crc);
        table[static_cast<size_t>(value)] = crc;
    }
    return table;
}

const std::array<uint8_t, 256> &crc_table()
{
    static const std::array<uint8_t, 256> table = make_crc_table();
    return table;
}

// Four bytes per step: the register is linear in its input, so a byte's
// effect k bytes before the end is the one-byte table applied k more times
// with zero bytes, and the four effects combine by XOR.
struct word_tables {
    uint8_t after[4][256];
};

const word_tables &word_table()
{
    static const word_tables tables = [] {
        const std::array<uint8_t, 256> &one = crc_table();
        word_tables t{};
        for (int x = 0; x < 256; ++x) {
            uint8_t v = one[static_cast<size_t>(x)];
            for (int k = 0; k < 4; ++k) {
                t.after[k][x] = v;
                v = one[v];
            }
        }
        return t;
    }();
    return tables;
}

uint8_t crc_by_table(const uint8_t *data, size_t n, uint8_t crc)
{
    const std::array<uint8_t, 256> &table = crc_table();
    const word_tables &w = word_table();
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        crc = static_cast<uint8_t>(w.after[3][crc ^ data[i]] ^ w.after[2][data[i + 1]] ^
                                   w.after[1][data[i + 2]] ^ w.after[0][data[i + 3]]);
    for (; i < n; ++i)
        crc = table[crc ^ data[i]];
    return crc;
}

#if defined(__x86_64__) || defined(__i386__)

// A 16-byte lane followed by `bits` more message bits stands for its value
// times x^bits; its two 8-byte halves are multiplied by x^bits reduced
// (times x^64 for the earlier half), which keeps the remainder. The
// product of two bit-reversed halves lands one bit low, hence one power
// less in each multiplier. A multiplier in register form sits in the top
// byte of its 64-bit half.
struct lane_multipliers {
    alignas(16) uint64_t stride[2], merge[3][2];
    lane_multipliers()
    {
        put(stride, 512);
        for (unsigned k = 0; k < 3; ++k)
            put(merge[k], 128 * (3 - k));
    }
    static uint64_t power(unsigned e)
    {
        uint8_t r = 0x80;
        while (e--)
            r = times_x(r);
        return uint64_t{r} << 56;
    }
    static void put(uint64_t *m, unsigned bits)
    {
        m[0] = power(bits + 63);
        m[1] = power(bits - 1);
    }
};

__attribute__((target("pclmul,sse2"))) inline __m128i advance(__m128i lane, const uint64_t *m)
{
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(m));
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) uint8_t crc_by_folding(const uint8_t *data, size_t n, uint8_t crc)
{
    static const lane_multipliers m;
    const __m128i *in = reinterpret_cast<const __m128i *>(data);
    __m128i lane[4];
    for (int k = 0; k < 4; ++k)
        lane[k] = _mm_loadu_si128(in + k);
    // Continuing from a CRC is the same as starting from 0 with the CRC
    // added to the first byte.
    lane[0] = _mm_xor_si128(lane[0], _mm_set_epi64x(0, crc));
    size_t blocks = n / 64;
    // Unrolled so that the lanes stay in registers.
    for (size_t b = 1; b < blocks; ++b) {
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k)
            lane[k] = _mm_xor_si128(advance(lane[k], m.stride), _mm_loadu_si128(in + 4 * b + k));
    }
    __m128i sum = lane[3];
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k)
        sum = _mm_xor_si128(sum, advance(lane[k], m.merge[k]));
    alignas(16) uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(folded), sum);
    size_t done = blocks * 64;
    return crc_by_table(data + done, n - done, crc_by_table(folded, sizeof folded, 0));
}

bool can_fold()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul");
}

#else

bool can_fold()
{
    return false;
}

uint8_t crc_by_folding(const uint8_t *data, size_t n, uint8_t crc)
{
    return crc_by_table(data, n, crc);
}

#endif

} // namespace

uint8_t rmap_crc(const uint8_t *data, size_t n, uint8_t crc)
{
    static const bool fold = can_fold();
    if (fold && n >= 256)
        return crc_by_folding(data, n, crc);
    return crc_by_table(data, n, crc);
}

} // namespace orw::unitsim
