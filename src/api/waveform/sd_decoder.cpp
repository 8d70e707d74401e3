// SPDX-License-Identifier: MIT
// Data-strobe decoder: edges of one direction of an error waveform, and the
// bits and SpaceWire characters they carry.
#include "Orwin_Waveform.hpp"

#include "Orwin_Trace.h"

#include <algorithm>
#include <cstdio>

namespace orw {
namespace waveform {

namespace {

constexpr int words_decoded = ring_words - 1;
constexpr int max_count = 65535;
constexpr int parity_checks = 10;
constexpr int candidates = 12;
constexpr int control_length = 4;
constexpr int data_length = 10;
constexpr int value_fct = 256;
constexpr int value_esc = 259;

int word_index(int value)
{
    return ((value % ring_words) + ring_words) % ring_words;
}
int line(const int *w, int x)
{
    return w[x] & 0x3F;
}

const char *const control_tokens[4] = {"fct", "eep", "eop", "esc"};
const char *const control_names[3] = {"FCT", "EEP", "EOP"};

} // namespace

int sd_decoder::count_bits(unsigned value)
{
    int n = 0;
    for (; value; value &= value - 1)
        ++n;
    return n;
}

int sd_decoder::bit_time(int i) const
{
    if (i < 0 || i + 1 >= timelength)
        return 0;
    return (time[i + 1] - time[i]) * 8 / 6;
}

void sd_decoder::scan_edges(const int *d, const int *s, int error_index_)
{
    ORW_WFM_TRACE(1, this, "Scanning edges from %d", error_index_);
    error_index = word_index(error_index_);
    start = (error_index + 251) % ring_words;
    ORW_WFM_TRACE(1, this, "starting from %d", start);
    std::fill(std::begin(edges), std::end(edges), 0);
    N = 1;
    int prev_d = line(d, start) & 1, prev_s = line(s, start) & 1;
    for (int i = 0; i < words_decoded; ++i) {
        int x = (start + i) % ring_words;
        int wd = line(d, x), ws = line(s, x);
        int shifted_d = ((wd << 1) & 0x3E) | prev_d;
        int shifted_s = ((ws << 1) & 0x3E) | prev_s;
        edges[x] = static_cast<uint8_t>((wd ^ shifted_d) | (ws ^ shifted_s));
        N += count_bits(edges[x]);
        prev_d = (wd >> 5) & 1;
        prev_s = (ws >> 5) & 1;
        ORW_WFM_TRACE(8, this, "    edge %d N %d", x, N);
    }
}

void sd_decoder::extract_info(const int *count, const int *d, const int *s)
{
    // Sized from the edges themselves, so a second call stays consistent.
    int found = 0;
    for (int i = 0; i < words_decoded; ++i)
        found += count_bits(edges[(start + i) % ring_words]);
    N = found + 2;
    ORW_WFM_TRACE(2, this, "Creating %d items of data", N);
    time.assign(N, 0);
    D.assign(N, 0);
    S.assign(N, 0);
    bit.assign(N, '0');
    PC.assign(N, ' ');
    token.assign(N, std::string());
    spw.assign(N, std::string());
    characters.clear();

    D[0] = line(d, start) & 1;
    S[0] = line(s, start) & 1;
    bit[0] = D[0] ? '1' : '0';
    int a = 1, t = 0;
    error_time = 0;
    error_abs_index = 0;
    for (int i = 0; i < words_decoded; ++i) {
        int x = (start + i) % ring_words;
        if (x == error_index) {
            error_time = t;
            error_abs_index = a;
            ORW_WFM_TRACE(4, this, "    eid index %d", a);
            ORW_WFM_TRACE(4, this, "    eid time %d", t);
        }
        t += std::clamp(count[x], 0, max_count) * subsamples_per_word;
        for (int j = 0; j < subsamples_per_word; ++j) {
            if (!(edges[x] >> j & 1))
                continue;
            D[a] = line(d, x) >> j & 1;
            S[a] = line(s, x) >> j & 1;
            bit[a] = D[a] ? '1' : '0';
            time[a] = t + j;
            ORW_WFM_TRACE(8, this, "    eid %d %d", a, time[a]);
            ++a;
        }
        t += subsamples_per_word;
    }
    // The closing entry holds the end of the ring.
    D[a] = D[a - 1];
    S[a] = S[a - 1];
    bit[a] = bit[a - 1];
    time[a] = t;
    Dlength = a;
    timelength = a + 1;
    sz = static_cast<size_t>(N);
    decode_characters();
    name_characters();
}

bool sd_decoder::breaks_before(int i) const
{
    return i > 0 && i < Dlength && time[i] - time[i - 1] > gap_limit;
}

// Parity walk: from each candidate flag bit, ten characters in a row must
// each leave an odd number of ones over their code bits and the next
// character's parity and flag. After twelve failed candidates the search
// moves on to the next stream break. @return first bit, or -1
int sd_decoder::synchronise(int base) const
{
    for (;;) {
        for (int f = base + 1; f <= base + candidates; ++f) {
            int z = f, passed = 0;
            while (passed < parity_checks) {
                if (z >= Dlength)
                    return -1;
                int length = D[z] ? control_length : data_length;
                if (z + length >= Dlength)
                    return -1;
                int ones = 0;
                for (int k = z + 1; k <= z + length; ++k)
                    ones += D[k];
                if (!(ones & 1))
                    break;
                ++passed;
                z += length;
            }
            if (passed == parity_checks)
                return f - 1;
        }
        int next = base + 1;
        while (next < Dlength && !breaks_before(next))
            ++next;
        if (next >= Dlength)
            return -1;
        base = next;
    }
}

// First bit, at or after `from`, of a NULL (ESC 1 1 1, then FCT with parity
// 0: 0 1 0 0) with no break inside it. @return its first bit, or -1
int sd_decoder::find_null(int from) const
{
    static const int pattern[7] = {1, 1, 1, 0, 1, 0, 0};
    for (int p = std::max(from, 0); p + 7 < Dlength; ++p) {
        bool match = true;
        for (int k = 0; k < 7 && match; ++k)
            match = D[p + 1 + k] == pattern[k] && !breaks_before(p + 1 + k);
        if (match)
            return p;
    }
    return -1;
}

void sd_decoder::decode_characters()
{
    int z = synchronise(0);
    // Ones over the previous character's code bits; -1 when there is no
    // previous character to check the parity against (the first one, and
    // the first after a resynchronisation).
    int previous = -1;
    while (z >= 0 && z + 1 < Dlength) {
        int length = D[z + 1] ? control_length : data_length;
        if (z + length > Dlength) {
            characters.push_back({-1, z});
            break;
        }
        int cut = -1;
        for (int k = previous < 0 ? z + 1 : z; k < z + length && cut < 0; ++k)
            if (breaks_before(k))
                cut = k;
        if (cut >= 0) {
            int resume = find_null(cut);
            ORW_WFM_TRACE(4, this, "    tok r %d", resume);
            characters.push_back({-1, resume >= 0 ? resume : cut});
            z = resume;
            previous = -1;
            continue;
        }
        int ones = 0, value = 0;
        for (int k = z + 2; k < z + length; ++k)
            ones += D[k];
        if (previous >= 0)
            PC[z] = ((previous + D[z] + D[z + 1]) & 1) ? 'P' : 'X';
        PC[z + 1] = 'C';
        for (int k = z + 2; k < z + length; ++k)
            PC[k] = static_cast<char>('a' + (k - z - 2));
        if (length == control_length) {
            int code = D[z + 2] + 2 * D[z + 3];
            token[z] = control_tokens[code];
            value = value_fct + code;
        } else {
            token[z] = "data";
            for (int k = 0; k < 8; ++k)
                value |= D[z + 2 + k] << k;
        }
        ORW_WFM_TRACE(8, this, "    tok pos %d", z);
        ORW_WFM_TRACE(8, this, "    tok val %d", value);
        ORW_WFM_TRACE(8, this, "    tok parity %c", PC[z]);
        characters.push_back({value, z});
        previous = ones;
        z += length;
    }
}

void sd_decoder::name_characters()
{
    char name[32];
    for (size_t i = 0; i < characters.size(); ++i) {
        const character &c = characters[i];
        if (c.value < 0)
            continue;
        if (c.value < value_fct) {
            std::snprintf(name, sizeof name, "DATA 0x%02x", c.value);
        } else if (c.value < value_esc) {
            std::snprintf(name, sizeof name, "%s", control_names[c.value - value_fct]);
        } else {
            // An escape names itself together with what follows it.
            if (i + 1 >= characters.size() || characters[i + 1].value < 0)
                continue;
            int next = characters[++i].value;
            if (next == value_fct)
                std::snprintf(name, sizeof name, "NULL");
            else if (next > value_fct)
                std::snprintf(name, sizeof name, "X");
            else
                std::snprintf(name, sizeof name, "TIME %d:%d:%d", next >> 7 & 1, next >> 6 & 1, next & 0x3F);
        }
        spw[c.index] = name;
    }
}

} // namespace waveform
} // namespace orw
