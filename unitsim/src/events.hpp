// SPDX-License-Identifier: MIT
// Byte layouts of what the unit reports on its own: timing extensions,
// dates, recording headers, and the error-waveform buffer. No I/O.
#pragma once

#include "orwin_unitsim.hpp"

#include <cstdint>
#include <vector>

namespace orw::unitsim {

constexpr uint8_t command_timetag_uncertainty = 0x81;
constexpr uint8_t command_timetag_delta = 0x82;
constexpr uint8_t command_timetag = 0x88;
constexpr uint8_t command_timecode = 0x91;
constexpr uint8_t command_time_zero = 0x98;
constexpr uint8_t command_year = 0xC8;
constexpr uint8_t command_header = 0xCE;

/// Timetag or time-zero (`command` 0x88 or 0x98): bits 58..0 of `count`,
/// bits 58..56 in the first byte, most significant first.
void append_timetag(std::vector<uint8_t> &out, uint8_t command, uint64_t count);
void append_timetag_delta(std::vector<uint8_t> &out, uint16_t delta);
void append_date(std::vector<uint8_t> &out, const calendar &date);
/// C0 CE 00 type, seconds (8 bytes), nanoseconds (4 bytes).
void append_recording_header(std::vector<uint8_t> &out, uint8_t system_type, uint64_t seconds, uint32_t ns);

/// The 2,070 bytes a unit holds from 0x1000 for `w`: sample body first,
/// then the 16-byte waveform header whose fields start 2,048 bytes in.
/// Throws std::invalid_argument when the samples do not fit.
std::vector<uint8_t> waveform_buffer(const waveform_config &w);

/// A plausible waveform for demonstrations: a parity error on `port`, both
/// directions carrying the same pseudo-random data-strobe bit stream.
waveform_config synthetic_waveform(int port, uint16_t unit);

} // namespace orw::unitsim
