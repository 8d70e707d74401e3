// SPDX-License-Identifier: MIT
// Error waveforms: ordering, unpacking and decoding one record (both
// directions), and that plus writing its five files. A unit sends at most a
// few waveforms a second per port, so one timer thread serving all eight
// ports needs some tens of waveforms a second.
#include "Orwin_Waveform.hpp"
#include "waveform_records.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Both directions busy over the whole ring: packets between NULLs, a
// time-code and a parity error on the receive side. `period` is the bit
// time in sub-samples: 6 is 125 Mbit/s, 2 (375 Mbit/s) about the fastest
// link, with three times the edges.
std::vector<uint8_t> busy_record(int period)
{
    orw::unitsim::ds_waveform w;
    w.rx.bit_period = w.tx.bit_period = period;
    for (int p = 0; p < 6 * 6 / period; ++p) {
        auto n = test::nulls(3);
        w.rx.chars.insert(w.rx.chars.end(), n.begin(), n.end());
        for (int i = 0; i < 4; ++i)
            w.rx.chars.push_back({test::spw_char::data, static_cast<uint8_t>(p * 37 + i * 11)});
        w.rx.chars.push_back({test::spw_char::eop});
    }
    w.rx.chars.push_back({test::spw_char::time_code, 0x45});
    auto tail = test::nulls(40 * 6 / period);
    w.rx.chars.insert(w.rx.chars.end(), tail.begin(), tail.end());
    w.rx.parity_error_at = 30;
    w.tx.chars = test::nulls(70 * 6 / period);
    w.error_index = 300;
    return test::record_of(orw::unitsim::encode_ds_waveform(w).waveform, 3);
}

void decode(const std::vector<uint8_t> &record, orw::waveform::waveform &wf)
{
    wf.sz = 0;
    wf.append(record.data(), record.size());
    wf.order();
    wf.decode();
}

void BM_WaveformDecode(benchmark::State &state)
{
    const std::vector<uint8_t> record = busy_record(static_cast<int>(state.range(0)));
    auto wf = std::make_unique<orw::waveform::waveform>(300, 1, 3, 3, 4, "Parity_error on port 3", 1);
    for (auto _ : state) {
        decode(record, *wf);
        benchmark::DoNotOptimize(wf->rx.characters.data());
    }
    state.counters["edges"] = wf->rx.Dlength + wf->tx.Dlength;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WaveformDecode)->Arg(6)->Arg(2);

void BM_WaveformDecodeAndWriteFiles(benchmark::State &state)
{
    const std::vector<uint8_t> record = busy_record(static_cast<int>(state.range(0)));
    char name[] = "/tmp/orwin_bench_wf_XXXXXX";
    const std::string dir = mkdtemp(name);
    auto wf = std::make_unique<orw::waveform::waveform>(300, 1, 3, 3, 4, "Parity_error on port 3", 1);
    for (auto _ : state) {
        decode(record, *wf);
        if (orw::waveform::save_files(*wf, dir + "/w") != 5)
            state.SkipWithError("files not written");
    }
    state.counters["edges"] = wf->rx.Dlength + wf->tx.Dlength;
    std::filesystem::remove_all(dir);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WaveformDecodeAndWriteFiles)->Arg(6)->Arg(2);

} // namespace
