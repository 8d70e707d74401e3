// SPDX-License-Identifier: MIT
// The RMAP data CRC at both ends (library and simulator) against copying
// the same bytes.
#include "../unitsim/src/rmap_node.hpp"
#include "Orwin_RMAP_formats.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> bytes_of(benchmark::State &state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 167 + 13);
    return data;
}

void BM_RmapDataCrc(benchmark::State &state)
{
    const std::vector<uint8_t> data = bytes_of(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(orw::spacewire::rmap::crc_of(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RmapDataCrc)->Arg(1024)->Arg(65536);

void BM_UnitsimDataCrc(benchmark::State &state)
{
    const std::vector<uint8_t> data = bytes_of(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(orw::unitsim::rmap_crc(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_UnitsimDataCrc)->Arg(1024)->Arg(65536);

void BM_MemcpyOfCrcBytes(benchmark::State &state)
{
    const std::vector<uint8_t> data = bytes_of(state);
    std::vector<uint8_t> copy(data.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MemcpyOfCrcBytes)->Arg(1024)->Arg(65536);

} // namespace
