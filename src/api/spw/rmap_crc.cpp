// SPDX-License-Identifier: MIT
// The RMAP CRC and the outgoing header record.
#include "Orwin_RMAP_formats.hpp"
#include "Orwin_Trace.h"
#include "Orwin_Utils.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace orw::spacewire::rmap {

const uint8_t RMAP_CRC_TABLE[256] = {
    0x00, 0x91, 0xe3, 0x72, 0x07, 0x96, 0xe4, 0x75, 0x0e, 0x9f, 0xed, 0x7c, 0x09, 0x98, 0xea, 0x7b,
    0x1c, 0x8d, 0xff, 0x6e, 0x1b, 0x8a, 0xf8, 0x69, 0x12, 0x83, 0xf1, 0x60, 0x15, 0x84, 0xf6, 0x67,
    0x38, 0xa9, 0xdb, 0x4a, 0x3f, 0xae, 0xdc, 0x4d, 0x36, 0xa7, 0xd5, 0x44, 0x31, 0xa0, 0xd2, 0x43,
    0x24, 0xb5, 0xc7, 0x56, 0x23, 0xb2, 0xc0, 0x51, 0x2a, 0xbb, 0xc9, 0x58, 0x2d, 0xbc, 0xce, 0x5f,
    0x70, 0xe1, 0x93, 0x02, 0x77, 0xe6, 0x94, 0x05, 0x7e, 0xef, 0x9d, 0x0c, 0x79, 0xe8, 0x9a, 0x0b,
    0x6c, 0xfd, 0x8f, 0x1e, 0x6b, 0xfa, 0x88, 0x19, 0x62, 0xf3, 0x81, 0x10, 0x65, 0xf4, 0x86, 0x17,
    0x48, 0xd9, 0xab, 0x3a, 0x4f, 0xde, 0xac, 0x3d, 0x46, 0xd7, 0xa5, 0x34, 0x41, 0xd0, 0xa2, 0x33,
    0x54, 0xc5, 0xb7, 0x26, 0x53, 0xc2, 0xb0, 0x21, 0x5a, 0xcb, 0xb9, 0x28, 0x5d, 0xcc, 0xbe, 0x2f,
    0xe0, 0x71, 0x03, 0x92, 0xe7, 0x76, 0x04, 0x95, 0xee, 0x7f, 0x0d, 0x9c, 0xe9, 0x78, 0x0a, 0x9b,
    0xfc, 0x6d, 0x1f, 0x8e, 0xfb, 0x6a, 0x18, 0x89, 0xf2, 0x63, 0x11, 0x80, 0xf5, 0x64, 0x16, 0x87,
    0xd8, 0x49, 0x3b, 0xaa, 0xdf, 0x4e, 0x3c, 0xad, 0xd6, 0x47, 0x35, 0xa4, 0xd1, 0x40, 0x32, 0xa3,
    0xc4, 0x55, 0x27, 0xb6, 0xc3, 0x52, 0x20, 0xb1, 0xca, 0x5b, 0x29, 0xb8, 0xcd, 0x5c, 0x2e, 0xbf,
    0x90, 0x01, 0x73, 0xe2, 0x97, 0x06, 0x74, 0xe5, 0x9e, 0x0f, 0x7d, 0xec, 0x99, 0x08, 0x7a, 0xeb,
    0x8c, 0x1d, 0x6f, 0xfe, 0x8b, 0x1a, 0x68, 0xf9, 0x82, 0x13, 0x61, 0xf0, 0x85, 0x14, 0x66, 0xf7,
    0xa8, 0x39, 0x4b, 0xda, 0xaf, 0x3e, 0x4c, 0xdd, 0xa6, 0x37, 0x45, 0xd4, 0xa1, 0x30, 0x42, 0xd3,
    0xb4, 0x25, 0x57, 0xc6, 0xb3, 0x22, 0x50, 0xc1, 0xba, 0x2b, 0x59, 0xc8, 0xbd, 0x2c, 0x5e, 0xcf,
};

void crc_calc::reset()
{
    ORW_SPW_TRACE(8, this, "resetting CRC");
    crc_v = 0;
}

uint8_t crc_calc::add(uint8_t b)
{
    crc_v = RMAP_CRC_TABLE[b ^ crc_v];
    ORW_SPW_TRACE(8, this, "adding %02x current CRC %02x", b, crc_v);
    return crc_v;
}

uint8_t crc_calc::calculate(const uint8_t *data, size_t n)
{
    crc_v = crc_of(data, n, crc_v);
    return crc_v;
}

namespace {

// The CRC is linear, so eight bytes can be folded with eight independent
// look-ups: table k gives the effect of a byte followed by k zero bytes.
// Same result as the byte-by-byte table, several times faster on long data.
struct sliced_tables {
    uint8_t t[8][256];
    sliced_tables()
    {
        for (int x = 0; x < 256; ++x) {
            t[0][x] = RMAP_CRC_TABLE[x];
            for (int k = 1; k < 8; ++k)
                t[k][x] = RMAP_CRC_TABLE[t[k - 1][x]];
        }
    }
};

const sliced_tables &sliced()
{
    static const sliced_tables tables;
    return tables;
}

uint8_t crc_sliced(const uint8_t *data, size_t n, uint8_t start)
{
    uint8_t c = start;
    size_t i = 0;
    if (n >= 16) {
        const sliced_tables &s = sliced();
        for (; i + 8 <= n; i += 8) {
            const uint8_t *d = data + i;
            c = static_cast<uint8_t>(s.t[7][d[0] ^ c] ^ s.t[6][d[1]] ^ s.t[5][d[2]] ^ s.t[4][d[3]] ^
                                     s.t[3][d[4]] ^ s.t[2][d[5]] ^ s.t[1][d[6]] ^ s.t[0][d[7]]);
        }
    }
    for (; i < n; ++i)
        c = RMAP_CRC_TABLE[data[i] ^ c];
    return c;
}

#if defined(__x86_64__) || defined(__i386__)

// Folding with carry-less multiplication. A 16-byte block X followed by D
// more bits of message contributes X * x^D, and X * x^D is congruent to a
// short product of X's halves with x^(D+64) and x^D reduced by the
// polynomial. Folding keeps the message length and its remainder, so at
// the end the last 16-byte accumulator goes through the table in place of
// everything before it. Registers hold the bits reflected (first bit in
// bit 0), which shifts a product by one bit: the constants absorb it.
constexpr unsigned crc_poly = 0x107; // x^8 + x^2 + x + 1

uint64_t reflected_power(unsigned e)
{
    unsigned r = 1; // x^0
    for (unsigned i = 0; i < e; ++i) {
        r <<= 1;
        if (r & 0x100)
            r ^= crc_poly;
    }
    uint64_t out = 0; // degree d in bit 63 - d
    for (unsigned d = 0; d < 8; ++d)
        if (r >> d & 1)
            out |= uint64_t{1} << (63 - d);
    return out;
}

struct fold_constants {
    uint64_t by512[2], by384[2], by256[2], by128[2];
    fold_constants()
    {
        set(by512, 512);
        set(by384, 384);
        set(by256, 256);
        set(by128, 128);
    }
    static void set(uint64_t *k, unsigned bits)
    {
        k[0] = reflected_power(bits + 63); // multiplies the first 8 bytes
        k[1] = reflected_power(bits - 1);  // multiplies the last 8 bytes
    }
};

const fold_constants &folds()
{
    static const fold_constants k;
    return k;
}

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i constant(const uint64_t *k)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(k));
}

__attribute__((target("pclmul,sse2"))) inline __m128i load(const uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

__attribute__((target("pclmul,sse2"))) uint8_t crc_folded(const uint8_t *data, size_t n, uint8_t start)
{
    if (n < 128)
        return crc_sliced(data, n, start);
    const fold_constants &k = folds();
    // The running CRC enters as a change to the first byte.
    __m128i a0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(start));
    __m128i a1 = load(data + 16), a2 = load(data + 32), a3 = load(data + 48);
    size_t i = 64;
    const __m128i k512 = constant(k.by512);
    for (; i + 64 <= n; i += 64) {
        a0 = _mm_xor_si128(fold(a0, k512), load(data + i));
        a1 = _mm_xor_si128(fold(a1, k512), load(data + i + 16));
        a2 = _mm_xor_si128(fold(a2, k512), load(data + i + 32));
        a3 = _mm_xor_si128(fold(a3, k512), load(data + i + 48));
    }
    const __m128i k128 = constant(k.by128);
    __m128i a = _mm_xor_si128(_mm_xor_si128(fold(a0, constant(k.by384)), fold(a1, constant(k.by256))),
                              _mm_xor_si128(fold(a2, k128), a3));
    for (; i + 16 <= n; i += 16)
        a = _mm_xor_si128(fold(a, k128), load(data + i));
    alignas(16) uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(last), a);
    return crc_sliced(data + i, n - i, crc_sliced(last, sizeof last, 0));
}

using crc_function = uint8_t (*)(const uint8_t *, size_t, uint8_t);

crc_function chosen()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") ? crc_folded : crc_sliced;
}

#else

using crc_function = uint8_t (*)(const uint8_t *, size_t, uint8_t);

crc_function chosen()
{
    return crc_sliced;
}

#endif

} // namespace

uint8_t crc_of(const uint8_t *data, size_t n, uint8_t start)
{
    static const crc_function f = chosen();
    return f(data, n, start);
}

void net_header::room(size_t n) const
{
    if (sz + n > capacity)
        throw address_error("path and reply address do not fit the RMAP header", static_cast<int>(sz + n));
}

void net_header::set_header(const uint8_t *path, size_t n)
{
    if (n > capacity)
        throw address_error("path and reply address do not fit the RMAP header", static_cast<int>(n));
    for (size_t i = 0; i < n; ++i)
        data[i] = path[i];
    sz = n;
}

const char *status_text(uint8_t status)
{
    switch (status) {
    case status_success:
        return "command executed successfully";
    case status_general_error:
        return "general error";
    case status_unused_type:
        return "unused RMAP packet type or command code";
    case status_invalid_key:
        return "invalid key";
    case status_invalid_data_crc:
        return "invalid data CRC";
    case status_early_eop:
        return "early EOP";
    case status_too_much_data:
        return "too much data";
    case status_eep:
        return "EEP";
    case status_verify_buffer_overrun:
        return "verify buffer overrun";
    case status_not_authorised:
        return "RMAP command not implemented or not authorised";
    case status_rmw_data_length:
        return "RMW data length error";
    case status_invalid_logical_address:
        return "invalid target logical address";
    default:
        return "unknown status";
    }
}

size_t reply_path(const rmap_hdr &h, uint8_t *out)
{
    size_t n = h.pasz < sizeof h.pad ? h.pasz : sizeof h.pad;
    size_t first = 0;
    // Leading zeros are dropped, but an all-zero address still means the
    // one path byte 0x00.
    while (first + 1 < n && h.pad[first] == 0)
        ++first;
    for (size_t i = first; i < n; ++i)
        out[i - first] = h.pad[i];
    return n - first;
}

} // namespace orw::spacewire::rmap
