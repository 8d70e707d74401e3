// SPDX-License-Identifier: MIT
// orwin-unitsim: data-strobe encoding of SpaceWire character sequences into
// the error waveform a unit records, so that tests know the truth a waveform
// decoder must find.
#pragma once

#include "orwin_unitsim.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orw::unitsim {

/// One SpaceWire character as a link sends it. `null` is ESC followed by
/// FCT; `time_code` is ESC followed by the data character `value`.
struct spw_char {
    enum kind_t : uint8_t { data, fct, eop, eep, esc, null, time_code };
    kind_t kind = null;
    uint8_t value = 0;

    /// How a decoder names it: "DATA 0x%02x", "FCT", "EOP", "EEP", "NULL",
    /// "TIME %d:%d:%d"; a lone ESC has no name of its own ("").
    std::string name() const;
    /// Bits on the line: 4 per control character, 10 per data character.
    int bits() const;
};

/// One direction of the link: the characters from the oldest sample on.
struct ds_stream {
    std::vector<spw_char> chars;
    std::vector<int> noise;   // line bits (0/1) sent before the characters
    int bit_period = 6;       // sub-samples (4/3 ns each) per bit, >= 1
    int parity_error_at = -1; // character whose parity bit is inverted; -1 none
    int gap_at = -1;          // character with a pause before one of its bits; -1 none
    int gap_bit = 0;          // bit of that character (0 = its parity bit)
    int gap = 0;              // sub-samples of pause, the lines held
};

struct ds_waveform {
    ds_stream rx;
    ds_stream tx;
    uint8_t event_byte = 0x41; // parity error on port 1
    uint16_t unit = 1;
    uint16_t error_index = 0; // ring word of the error (0..511)
    uint64_t timetag = 0;
};

struct ds_encoded {
    waveform_config waveform;
    /// Leading characters of each stream whose every bit falls inside the
    /// 511 sample words a decoder reads.
    size_t rx_complete = 0;
    size_t tx_complete = 0;
    /// Sub-sample time, from the oldest sample, of the error word.
    long error_time = 0;
};

/// Encode both directions onto one time base, six sub-samples per sample
/// word, runs of unchanged words folded into repeat counts (at most 255),
/// and lay the words out in the ring so that the oldest sample follows the
/// error word by 251 words. Throws std::invalid_argument for a bit period
/// below 1, a negative gap or an error index outside the ring.
ds_encoded encode_ds_waveform(const ds_waveform &spec);

} // namespace orw::unitsim
