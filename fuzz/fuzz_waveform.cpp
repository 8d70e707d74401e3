// SPDX-License-Identifier: MIT
// Fuzz target for error waveforms: a 2,075-byte record through ordering,
// unpacking, decoding of both directions and all five writers.
//
//   byte 0: bit 0 clear: the rest is the record as received (short ones
//           included); bit 0 set: the rest describes character streams that
//           the simulator's encoder turns into a record, so that the decoder
//           also meets streams it can synchronise on, with breaks and
//           parity errors
#include "Orwin_Waveform.hpp"
#include "waveform_records.hpp"

#include <cstdio>
#include <stdexcept>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

struct reader {
    const uint8_t *p;
    size_t n;
    uint8_t next() { return n ? (--n, *p++) : 0; }
};

orw::unitsim::ds_stream stream_from(reader &r)
{
    orw::unitsim::ds_stream s;
    s.bit_period = 1 + r.next() % 16;
    s.parity_error_at = r.next() % 64 - 1;
    s.gap_at = r.next() % 64 - 1;
    s.gap_bit = r.next() % 14;
    s.gap = r.next() * 8;
    for (int i = 0, count = r.next() % 80; i < count; ++i) {
        uint8_t kind = r.next();
        s.chars.push_back({static_cast<test::spw_char::kind_t>(kind % 7), r.next()});
    }
    return s;
}

std::vector<uint8_t> record_from(const uint8_t *data, size_t size)
{
    if (size == 0 || !(data[0] & 1))
        return std::vector<uint8_t>(data + (size ? 1 : 0), data + std::min<size_t>(size, 2076));
    reader r{data + 1, size - 1};
    orw::unitsim::ds_waveform w;
    w.error_index = static_cast<uint16_t>((r.next() << 8 | r.next()) % 512);
    w.event_byte = r.next();
    w.rx = stream_from(r);
    w.tx = stream_from(r);
    return test::record_of(orw::unitsim::encode_ds_waveform(w).waveform, w.event_byte & 0x0F);
}

void check_decoder(const orw::waveform::sd_decoder &d)
{
    check(d.Dlength >= 1 && d.timelength == d.Dlength + 1 && static_cast<int>(d.time.size()) >= d.timelength);
    for (int i = 1; i < d.timelength; ++i)
        check(d.time[i] >= d.time[i - 1]);
    for (const auto &c : d.characters)
        check(c.index >= 0 && c.index < d.Dlength && c.value >= -1 && c.value < 260);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = std::fopen("/dev/null", "w");
    const std::vector<uint8_t> record = record_from(data, size);
    orw::waveform::waveform wf(0, 0, 1, 1, 4, "fuzz <&> $end", 1);
    wf.append(record.data(), record.size());
    if (!wf.order())
        return 0;
    wf.decode();
    check_decoder(wf.rx);
    check_decoder(wf.tx);
    check(orw::waveform::write_swf(wf, sink));
    check(orw::waveform::write_txt(wf, sink));
    check(orw::waveform::write_csv(wf, sink));
    check(orw::waveform::write_svg(wf, sink));
    check(orw::waveform::write_vcd(wf, sink, "now\n"));
    return 0;
}
