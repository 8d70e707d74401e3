// SPDX-License-Identifier: MIT
// Data-strobe encoder of the simulated unit: characters to line bits with
// odd parity, bits to Data and Strobe levels (Strobe changes whenever Data
// does not), levels to the unit's sample words with repeat counts.
#include "orwin_unitsim_ds.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

namespace orw::unitsim {

namespace {

constexpr int words = 512;
constexpr int words_read = 511; // a decoder skips the newest word
constexpr int error_word = 261; // the oldest word is 251 after the error
constexpr int per_word = 6;
constexpr int max_repeat = 255;

struct line_bit {
    long time;
    int value;
};

struct encoded_stream {
    std::vector<line_bit> bits;
    std::vector<size_t> last_bit; // per character, index of its last bit
};

// Code bits after the flag, in line order.
std::vector<int> control_code(spw_char::kind_t kind)
{
    switch (kind) {
    case spw_char::fct:
        return {0, 0};
    case spw_char::eop:
        return {0, 1};
    case spw_char::eep:
        return {1, 0};
    default:
        return {1, 1}; // ESC
    }
}

std::vector<int> data_code(uint8_t value)
{
    std::vector<int> code;
    for (int k = 0; k < 8; ++k)
        code.push_back(value >> k & 1);
    return code;
}

encoded_stream encode_stream(const ds_stream &s)
{
    if (s.bit_period < 1)
        throw std::invalid_argument("unitsim: a bit period must be at least one sub-sample");
    if (s.gap < 0)
        throw std::invalid_argument("unitsim: a gap cannot be negative");
    encoded_stream out;
    int previous_ones = 0;
    long delay = 0;
    for (int v : s.noise)
        out.bits.push_back({static_cast<long>(out.bits.size()) * s.bit_period, v & 1});
    for (size_t c = 0; c < s.chars.size(); ++c) {
        const spw_char &ch = s.chars[c];
        // Characters on the line: (flag, code bits), one or two of them.
        std::vector<std::pair<int, std::vector<int>>> parts;
        switch (ch.kind) {
        case spw_char::data:
            parts.push_back({0, data_code(ch.value)});
            break;
        case spw_char::null:
            parts = {{1, control_code(spw_char::esc)}, {1, control_code(spw_char::fct)}};
            break;
        case spw_char::time_code:
            parts = {{1, control_code(spw_char::esc)}, {0, data_code(ch.value)}};
            break;
        default:
            parts.push_back({1, control_code(ch.kind)});
            break;
        }
        int bit_in_char = 0;
        for (size_t p = 0; p < parts.size(); ++p) {
            const int flag = parts[p].first;
            const std::vector<int> &code = parts[p].second;
            // Odd parity over the previous code bits, this parity bit and the flag.
            int parity = 1 ^ ((previous_ones + flag) & 1);
            if (static_cast<int>(c) == s.parity_error_at && p == 0)
                parity ^= 1;
            std::vector<int> line = {parity, flag};
            line.insert(line.end(), code.begin(), code.end());
            for (int v : line) {
                if (static_cast<int>(c) == s.gap_at && bit_in_char == s.gap_bit)
                    delay += s.gap;
                const long index = static_cast<long>(out.bits.size());
                out.bits.push_back({index * s.bit_period + delay, v});
                ++bit_in_char;
            }
            previous_ones = static_cast<int>(std::count(code.begin(), code.end(), 1));
        }
        out.last_bit.push_back(out.bits.size() - 1);
    }
    return out;
}

// Data and Strobe levels of a stream, sub-sample by sub-sample.
class levels {
  public:
    explicit levels(const encoded_stream &s) : s(s) {}

    // Called with non-decreasing times.
    void at(long t, int &d, int &strobe)
    {
        while (next < s.bits.size() && s.bits[next].time <= t) {
            const int v = s.bits[next].value;
            if (next > 0 && v == data)
                this->strobe ^= 1;
            data = v;
            ++next;
        }
        d = data;
        strobe = this->strobe;
    }

    long end(int period) const { return s.bits.empty() ? 0 : s.bits.back().time + period; }

  private:
    const encoded_stream &s;
    size_t next = 0;
    int data = 0, strobe = 0;
};

struct word {
    int count;
    std::array<int, 4> lines; // tx_s, tx_d, rx_s, rx_d
};

size_t complete(const encoded_stream &s, long seen_until)
{
    size_t n = 0;
    while (n < s.last_bit.size() && s.bits[s.last_bit[n]].time < seen_until)
        ++n;
    return n;
}

} // namespace

std::string spw_char::name() const
{
    char text[32] = "";
    switch (kind) {
    case data:
        std::snprintf(text, sizeof text, "DATA 0x%02x", value);
        break;
    case fct:
        return "FCT";
    case eop:
        return "EOP";
    case eep:
        return "EEP";
    case esc:
        return "";
    case null:
        return "NULL";
    case time_code:
        std::snprintf(text, sizeof text, "TIME %d:%d:%d", value >> 7, value >> 6 & 1, value & 0x3F);
        break;
    }
    return text;
}

int spw_char::bits() const
{
    switch (kind) {
    case data:
        return 10;
    case null:
        return 8;
    case time_code:
        return 14;
    default:
        return 4;
    }
}

ds_encoded encode_ds_waveform(const ds_waveform &spec)
{
    if (spec.error_index >= words)
        throw std::invalid_argument("unitsim: the error index must lie in the 512-word ring");
    const encoded_stream rx = encode_stream(spec.rx), tx = encode_stream(spec.tx);
    levels rx_levels(rx), tx_levels(tx);
    const long horizon = std::max(rx_levels.end(spec.rx.bit_period), tx_levels.end(spec.tx.bit_period));

    std::vector<word> ring;
    std::array<int, 4> previous{}; // last sub-sample of each line
    int idle = 0;
    for (long w = 0; ring.size() < static_cast<size_t>(words); ++w) {
        std::array<int, 4> lines{};
        for (int j = 0; j < per_word; ++j) {
            int rd, rs, td, ts;
            rx_levels.at(w * per_word + j, rd, rs);
            tx_levels.at(w * per_word + j, td, ts);
            const int sub[4] = {ts, td, rs, rd};
            for (int l = 0; l < 4; ++l)
                lines[l] |= sub[l] << j;
        }
        bool steady = !ring.empty();
        for (int l = 0; l < 4 && steady; ++l)
            steady = lines[l] == (previous[l] ? 0x3F : 0);
        // Past the end of both streams the words are kept as they come.
        if (steady && idle < max_repeat && w * per_word < horizon) {
            ++idle;
            continue;
        }
        ring.push_back({idle, lines});
        idle = 0;
        for (int l = 0; l < 4; ++l)
            previous[l] = lines[l] >> 5 & 1;
    }

    ds_encoded out;
    long t = 0;
    for (int i = 0; i < words_read; ++i) {
        if (i == error_word)
            out.error_time = t;
        t += (ring[i].count + 1) * per_word;
    }
    out.rx_complete = complete(rx, t);
    out.tx_complete = complete(tx, t);

    waveform_config &wf = out.waveform;
    wf.event_byte = spec.event_byte;
    wf.unit = spec.unit;
    wf.error_index = spec.error_index;
    wf.timetag = spec.timetag;
    wf.samples.assign(waveform_sample_bytes, 0);
    for (int i = 0; i < words; ++i) {
        const size_t at = static_cast<size_t>((spec.error_index + 251 + i) % words) * 4;
        const word &x = ring[i];
        const uint32_t v =
            static_cast<uint32_t>(x.lines[0] | x.lines[1] << 6 | x.lines[2] << 12 | x.lines[3] << 18);
        wf.samples[at] = static_cast<uint8_t>(x.count);
        wf.samples[at + 1] = static_cast<uint8_t>(v);
        wf.samples[at + 2] = static_cast<uint8_t>(v >> 8);
        wf.samples[at + 3] = static_cast<uint8_t>(v >> 16);
    }
    return out;
}

} // namespace orw::unitsim
