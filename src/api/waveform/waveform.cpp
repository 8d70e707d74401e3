// SPDX-License-Identifier: MIT
// The error-waveform record as the unit sends it: a 2,053-byte body (5-byte
// reply head, then 512 samples of 4 bytes) followed by a 16-byte header.
#include "Orwin_Waveform.hpp"

#include "Orwin_Trace.h"

#include "../orw_wire_format.hpp"

#include <algorithm>
#include <cstring>

namespace orw {
namespace waveform {

namespace {

namespace layout = orw::wire::waveform_record;
static_assert(record_body_size == layout::header && record_header_size == layout::header_size &&
                  ring_words == static_cast<int>(layout::sample_count),
              "waveform record layout");

constexpr size_t samples_offset = layout::samples;
constexpr size_t sample_bytes = layout::sample_size;

// The record's names, as the start of a sentence.
std::string capitalised(const char *name)
{
    std::string text = name;
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

} // namespace

waveform::waveform(int error_index_, int unit_, int port_, int ew_port_, int event_, const char *cause_,
                   int id_)
    : error_index(error_index_), unit(unit_), port(port_), ew_port(ew_port_), event(event_),
      cause(cause_ ? cause_ : ""), id(id_)
{
}

size_t waveform::append(const uint8_t *bytes, size_t n)
{
    if (!bytes || sz >= record_capacity)
        return 0;
    size_t kept = std::min(n, record_capacity - sz);
    std::memcpy(networkdata + sz, bytes, kept);
    sz += kept;
    ORW_WFM_TRACE(4, this, "Added %zu bytes size is now %zu", kept, sz);
    return kept;
}

std::string waveform::cause_text(int ew_event_, int ew_port_)
{
    const int first_sma = static_cast<int>(layout::first_sma_port);
    std::string text = capitalised(layout::event_names[ew_event_ & 0x0F]);
    if (ew_port_ == 0)
        return capitalised(layout::barrier_place);
    if (ew_port_ >= 1 && ew_port_ <= static_cast<int>(layout::last_link_port))
        return text + " on port " + std::to_string(ew_port_);
    if (ew_port_ >= first_sma && ew_port_ < first_sma + 4)
        return capitalised(layout::sma_places[ew_port_ - first_sma]);
    return text;
}

bool waveform::order()
{
    ORW_WFM_TRACE(2, this, "Ordering data into swf format");
    if (sz < record_size) {
        ORW_WFM_TRACE(1, this, "record of %zu bytes is short of %zu", sz, record_size);
        return false;
    }
    std::memcpy(ordereddata, networkdata, record_size);
    std::memcpy(header, ordereddata + record_body_size, record_header_size);
    std::memcpy(data, ordereddata, record_body_size);
    sz = record_body_size;

    code = static_cast<int>(orw::wire::get_be16(header + layout::code));
    ew_event = static_cast<int>(layout::event_code(static_cast<unsigned>(code)));
    ew_port = static_cast<int>(layout::event_port(static_cast<unsigned>(code)));
    unit = static_cast<int>(orw::wire::get_be16(header + layout::unit));
    tt = orw::wire::get_be(header + layout::timetag, layout::timetag_size);
    error_index = static_cast<int>(orw::wire::get_be16(header + layout::erridx));
    ORW_WFM_TRACE(4, this, "Code is %d", code);
    ORW_WFM_TRACE(4, this, "Unit is %d", unit);
    ORW_WFM_TRACE(4, this, "Error index %d", error_index);

    maxt = 0;
    for (address = 0, idx = samples_offset; address < ring_words; ++address, idx += sample_bytes) {
        const uint8_t *sample = data + idx;
        count[address] = sample[0];
        maxt = std::max(maxt, count[address]);
        const unsigned v = layout::sample_lines(sample);
        tx_s[address] = static_cast<int>(v >> layout::tx_strobe_shift & layout::line_mask);
        tx_d[address] = static_cast<int>(v >> layout::tx_data_shift & layout::line_mask);
        rx_s[address] = static_cast<int>(v >> layout::rx_strobe_shift & layout::line_mask);
        rx_d[address] = static_cast<int>(v >> layout::rx_data_shift & layout::line_mask);
    }
    ORW_WFM_TRACE(4, this, "cause is %s", cause_text(ew_event, ew_port).c_str());
    return true;
}

void waveform::decode()
{
    rx.scan_edges(rx_d, rx_s, error_index);
    rx.extract_info(count, rx_d, rx_s);
    tx.scan_edges(tx_d, tx_s, error_index);
    tx.extract_info(count, tx_d, tx_s);
}

} // namespace waveform
} // namespace orw
