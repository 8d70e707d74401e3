// SPDX-License-Identifier: MIT
// Reference streams for the receive framing tests, each with the reads it
// must give whatever the pieces it arrives in: driven through the parser
// alone and through a link.
#ifndef ORWIN_TESTS_FRAMING_CASES_HPP
#define ORWIN_TESTS_FRAMING_CASES_HPP

#include "rx_feed.hpp"

#include <initializer_list>
#include <vector>

namespace framing {

using rx_feed::bytes;
using rx_feed::kEnd;
using rx_feed::result;

inline bytes seq(size_t n, uint8_t seed)
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct framing_case {
    const char *name;
    bytes stream;
    size_t buffer;
    int sda;
    std::vector<result> expected;
};

const bytes abcde{'a', 'b', 'c', 'd', 'e'};
const bytes p100 = seq(100, 1), p256 = seq(256, 2), p64k = seq(65536, 3), tt = seq(8, 0x10);
const bytes sp61 = seq(61, 4), huge10 = seq(10, 5);

inline std::vector<framing_case> framing_cases()
{
    constexpr int RS = RETURN_SPECIAL_DATA, RE = RETURN_EXTENSION_DATA;
    return {
        {"short EOP", cat({{0x45}, abcde}), 64, 0, {{5, Orwin_EOP, abcde}, kEnd}},
        {"short EEP", cat({{0x85}, abcde}), 64, 0, {{5, Orwin_EEP, abcde}, kEnd}},
        {"partials joined", {0x02, 'a', 'b', 0x41, 'c'}, 64, 0, {{3, Orwin_EOP, {'a', 'b', 'c'}}, kEnd}},
        {"read immediate",
         {0x02, 'a', 'b', 0x41, 'c'},
         64,
         READ_IMMEDIATE,
         {{2, Orwin_PART_EOP_EEP, {'a', 'b'}}, {1, Orwin_EOP, {'c'}}, kEnd}},
        {"one length byte", cat({{0x7D, 0x3D}, seq(61, 9)}), 300, 0, {{61, Orwin_EOP, seq(61, 9)}, kEnd}},
        {"two length bytes", cat({{0x7E, 0x01, 0x00}, p256}), 300, 0, {{256, Orwin_EOP, p256}, kEnd}},
        {"three length bytes",
         cat({{0xBF, 0x01, 0x00, 0x00}, p64k}),
         70000,
         0,
         {{65536, Orwin_EEP, p64k}, kEnd}},
        {"empty packets and filler",
         {0x00, 0x40, 0x00, 0x00, 0x80, 0x41, 'x', 0x00},
         8,
         0,
         {{0, Orwin_EOP, {}}, {0, Orwin_EEP, {}}, {1, Orwin_EOP, {'x'}}, kEnd}},
        // An empty EOP frame in the long form (a packet sent in pieces) still
        // ends its packet; an empty partial frame is skipped.
        {"long-form empty frames",
         {0x02, 'a', 'b', 0x3D, 0x00, 0x7F, 0, 0, 0, 0x41, 'c'},
         64,
         0,
         {{2, Orwin_EOP, {'a', 'b'}}, {1, Orwin_EOP, {'c'}}, kEnd}},
        {"small buffer",
         cat({{0x7D, 100}, p100}),
         40,
         0,
         {{40, Orwin_PART_EOP_EEP, bytes(p100.begin(), p100.begin() + 40)},
          {40, Orwin_PART_EOP_EEP, bytes(p100.begin() + 40, p100.begin() + 80)},
          {20, Orwin_EOP, bytes(p100.begin() + 80, p100.end())},
          kEnd}},
        {"buffer exactly full before EOP",
         {0x02, 'a', 'b', 0x40, 0x42, 'c', 'd'},
         2,
         0,
         {{2, Orwin_EOP, {'a', 'b'}}, {2, Orwin_EOP, {'c', 'd'}}, kEnd}},
        {"special after held data",
         {0x02, 'a', 'b', 0xC3, 1, 2, 3, 0x41, 'c'},
         64,
         RS,
         {{2, Orwin_PART_EOP_EEP, {'a', 'b'}}, {3, Orwin_SPECIAL, {1, 2, 3}}, {1, Orwin_EOP, {'c'}}, kEnd}},
        {"special discarded", {0xC3, 1, 2, 3, 0x41, 'c'}, 64, 0, {{1, Orwin_EOP, {'c'}}, kEnd}},
        {"special in pieces",
         {0xC5, 1, 2, 3, 4, 5},
         2,
         RS,
         {{2, Orwin_PART_SPECIAL, {1, 2}}, {2, Orwin_PART_SPECIAL, {3, 4}}, {1, Orwin_SPECIAL, {5}}, kEnd}},
        {"long special", cat({{0xFD, 0x3D}, sp61}), 64, RS, {{61, Orwin_SPECIAL, sp61}, kEnd}},
        {"extensions returned",
         cat({{0xC0, 0x88}, tt, {0xC0, 0x45, 0xC0, 0x91, 0x2A}}),
         64,
         RE,
         {{9, Orwin_EXTN, cat({{0x88}, tt})}, {1, Orwin_EXTN, {0x45}}, {2, Orwin_EXTN, {0x91, 0x2A}}, kEnd}},
        {"extension in pieces",
         cat({{0xC0, 0x88}, tt}),
         4,
         RE,
         {{4, Orwin_PART_EXTN, cat({{0x88}, bytes(tt.begin(), tt.begin() + 3)})},
          {4, Orwin_PART_EXTN, bytes(tt.begin() + 3, tt.begin() + 7)},
          {1, Orwin_EXTN, {tt[7]}},
          kEnd}},
        {"extensions discarded",
         cat({{0xC0, 0x88}, tt, {0xC0, 0x45, 0x41, 'z'}}),
         64,
         0,
         {{1, Orwin_EOP, {'z'}}, kEnd}},
        // A declared length far beyond the data: parts, then end of data.
        {"truncated huge frame",
         cat({{0x7F, 0xFF, 0xFF, 0xFF}, huge10}),
         4,
         0,
         {{4, Orwin_PART_EOP_EEP, bytes(huge10.begin(), huge10.begin() + 4)},
          {4, Orwin_PART_EOP_EEP, bytes(huge10.begin() + 4, huge10.begin() + 8)},
          {2, Orwin_PART_EOP_EEP, bytes(huge10.begin() + 8, huge10.end())},
          kEnd}},
        {"end inside length bytes", {0x7F, 0x01}, 16, 0, {kEnd}},
        {"end inside special", {0xC5, 1, 2}, 16, RS, {{2, Orwin_PART_SPECIAL, {1, 2}}, kEnd}},
    };
}

} // namespace framing

#endif // ORWIN_TESTS_FRAMING_CASES_HPP
