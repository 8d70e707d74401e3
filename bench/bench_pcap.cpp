// SPDX-License-Identifier: MIT
// PCAP output: records per second written from a replayed recording of
// 16-byte packets, and the resident memory one pcap capture adds while all
// eight links carry 64 KiB packets.
#include "Orwin_Pcap.hpp"
#include "capture_bench.hpp"

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <thread>

namespace {

// Resident set of this process, in bytes.
double resident_bytes()
{
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            in >> kib;
            return kib * 1024.0;
        }
        in.ignore(1 << 12, '\n');
    }
    return 0;
}

void BM_PcapReplayRecords16B(benchmark::State &state)
{
    bench::out_dir dir("bench_pcap_replay");
    const std::string host = "-" + bench::replay_file();
    uint64_t records = 0;
    for (auto _ : state) {
        bench::counted<orw::trc::pcap_capture> c(host.c_str(), (dir.path + "/replay.pcap").c_str(), 0, 0);
        c.start(1);
        while (c.running)
            std::this_thread::yield();
        c.wait();
        if (c.records != bench::replay_packets)
            state.SkipWithError("records missing");
        records += c.records;
    }
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PcapReplayRecords16B)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PcapResidentMemory8Links(benchmark::State &state)
{
    constexpr size_t packet_size = 65536;
    constexpr size_t packets_per_link = 32;
    bench::out_dir dir("bench_pcap_memory");
    orw::unitsim::simulator sim(bench::quiet_recorder());
    // Measured against the first run's start: later runs reuse the memory
    // earlier ones freed.
    static const double before = resident_bytes();
    static double peak = before;
    {
        bench::counted<orw::trc::pcap_capture> c(sim.address().c_str(), (dir.path + "/mem.pcap").c_str(), 0,
                                                 16);
        c.start(1);
        while (!c.capture_thread_running)
            std::this_thread::yield();
        uint64_t target = 0;
        for (auto _ : state) {
            for (int link = 1; link <= 8; ++link) {
                sim.stream(link, packet_size, packets_per_link);
                target += packets_per_link;
            }
            while (c.packets.load() < target)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            peak = std::max(peak, resident_bytes());
        }
        c.stop();
        c.wait();
    }
    state.counters["capture_resident_MiB"] = (peak - before) / 1048576.0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 8 * packets_per_link * packet_size));
}
BENCHMARK(BM_PcapResidentMemory8Links)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
