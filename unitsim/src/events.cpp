// SPDX-License-Identifier: MIT
#include "events.hpp"

#include "frames.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orw::unitsim {

namespace {

constexpr uint64_t timetag_mask = (uint64_t{1} << 59) - 1;

// Offsets in the waveform buffer (0x1000 is offset 0) of the header fields.
constexpr size_t wf_code = waveform_sample_bytes + 2; // code word, event byte low
constexpr size_t wf_unit = waveform_sample_bytes + 4;
constexpr size_t wf_timetag = waveform_sample_bytes + 6;
constexpr size_t wf_error_index = waveform_sample_bytes + 14;

void put_be(uint8_t *at, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

} // namespace

void append_timetag(std::vector<uint8_t> &out, uint8_t command, uint64_t count)
{
    uint8_t body[8];
    put_be(body, count & timetag_mask, 8);
    append_extension(out, command, body, sizeof body);
}

void append_timetag_delta(std::vector<uint8_t> &out, uint16_t delta)
{
    uint8_t body[2];
    put_be(body, delta, 2);
    append_extension(out, command_timetag_delta, body, sizeof body);
}

void append_date(std::vector<uint8_t> &out, const calendar &date)
{
    const uint8_t body[8] = {static_cast<uint8_t>(date.year >> 8),
                             static_cast<uint8_t>(date.year & 0xFF),
                             date.month,
                             date.day,
                             date.hour,
                             date.minute,
                             date.second,
                             static_cast<uint8_t>(date.daylight_saving ? 1 : 0)};
    append_extension(out, command_year, body, sizeof body);
}

void append_recording_header(std::vector<uint8_t> &out, uint8_t system_type, uint64_t seconds, uint32_t ns)
{
    uint8_t body[14] = {0x00, system_type};
    put_be(body + 2, seconds, 8);
    put_be(body + 10, ns, 4);
    append_extension(out, command_header, body, sizeof body);
}

std::vector<uint8_t> waveform_buffer(const waveform_config &w)
{
    if (w.samples.size() > waveform_sample_bytes)
        throw std::invalid_argument("unitsim: waveform samples exceed " +
                                    std::to_string(waveform_sample_bytes) + " bytes");
    std::vector<uint8_t> buffer(waveform_buffer_bytes, 0);
    std::copy(w.samples.begin(), w.samples.end(), buffer.begin());
    buffer[wf_code + 1] = w.event_byte;
    put_be(&buffer[wf_unit], w.unit, 2);
    put_be(&buffer[wf_timetag], w.timetag, 8);
    put_be(&buffer[wf_error_index], w.error_index, 2);
    return buffer;
}

waveform_config synthetic_waveform(int port, uint16_t unit)
{
    constexpr unsigned parity_error_event = 4;
    constexpr int words = static_cast<int>(waveform_sample_bytes / 4);
    waveform_config w;
    w.event_byte = static_cast<uint8_t>(parity_error_event << 4 | (port & 0x0F));
    w.unit = unit;
    w.error_index = words / 2;
    w.samples.reserve(waveform_sample_bytes);
    uint32_t lfsr = 0xACE1u + static_cast<uint32_t>(port);
    unsigned d = 0, s = 0;
    for (int k = 0; k < words; ++k) {
        // Two bits per word, three sub-samples each; Strobe changes
        // whenever Data does not, as data-strobe encoding has it.
        uint32_t dw = 0, sw = 0;
        for (int half = 0; half < 2; ++half) {
            unsigned bit = lfsr & 1u;
            lfsr = (lfsr >> 1) ^ ((0u - (lfsr & 1u)) & 0xB400u);
            if (bit == d)
                s ^= 1u;
            else
                d = bit;
            for (int j = 0; j < 3; ++j) {
                dw |= d << (half * 3 + j);
                sw |= s << (half * 3 + j);
            }
        }
        uint32_t v = sw | dw << 6 | sw << 12 | dw << 18; // tx_s, tx_d, rx_s, rx_d
        w.samples.insert(w.samples.end(), {0, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                           static_cast<uint8_t>(v >> 16)});
    }
    return w;
}

} // namespace orw::unitsim
