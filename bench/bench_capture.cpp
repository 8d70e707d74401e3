// SPDX-License-Identifier: MIT
// Capture engine throughput: native and pcap capture of 64 KiB packets from
// the simulator into rotated files, against a plain loop that recv()s the same
// stream and fwrite()s it into a file in the same directory; and the packet
// rate the engine counts from a replayed recording of 16-byte packets.
#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"
#include "capture_bench.hpp"
#include "orwin_unitsim.hpp"
#include "plain_socket.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t packet_size = 65536;
constexpr size_t packets_per_batch = 256;
constexpr size_t wire_bytes_per_packet = packet_size + 6; // link announcement, frame header
constexpr uint32_t rotation_mib = 16;
constexpr size_t recv_buffer_size = 1 << 20; // the engine's read buffer

using bench::counted;
using bench::out_dir;
using bench::quiet_recorder;
using bench::replay_file;
using bench::replay_packets;
using counted_capture = counted<orw::trc::trc_capture>;

// 64 KiB packets on one link captured by `Capture` into rotated files.
template <class Capture>
void capture_rotated_64k(benchmark::State &state, const char *where, const char *file)
{
    out_dir dir(where);
    orw::unitsim::simulator sim(quiet_recorder());
    counted<Capture> c(sim.address().c_str(), (dir.path + file).c_str(), 0, rotation_mib);
    c.start(1);
    while (!c.capture_thread_running)
        std::this_thread::yield();
    uint64_t target = 0;
    for (auto _ : state) {
        target += packets_per_batch;
        sim.stream(1, packet_size, packets_per_batch);
        // Sleeping, not spinning: the two cores belong to the sender and
        // the capture thread, as the baseline's belong to sender and reader.
        while (c.packets.load() < target)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    c.stop();
    c.wait();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packets_per_batch * packet_size));
    state.counters["files"] = static_cast<double>(c.capture_files());
}

void BM_CaptureNativeRotated64K(benchmark::State &state)
{
    capture_rotated_64k<orw::trc::trc_capture>(state, "bench_capture_native", "/cap.trc");
}
BENCHMARK(BM_CaptureNativeRotated64K)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CapturePcapRotated64K(benchmark::State &state)
{
    capture_rotated_64k<orw::trc::pcap_capture>(state, "bench_capture_pcap", "/cap.pcap");
}
BENCHMARK(BM_CapturePcapRotated64K)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PlainRecvFwrite64K(benchmark::State &state)
{
    out_dir dir("bench_capture_plain");
    orw::unitsim::simulator sim(quiet_recorder());
    int fd = bench::connect_plain(sim.port());
    FILE *out = std::fopen((dir.path + "/plain.trc").c_str(), "wb");
    if (fd < 0 || !out || !sim.wait_for_clients(1, 2000)) {
        state.SkipWithError("cannot connect to the simulator");
        if (fd >= 0)
            close(fd);
        if (out)
            std::fclose(out);
        return;
    }
    std::vector<unsigned char> buffer(recv_buffer_size);
    const size_t batch_bytes = packets_per_batch * wire_bytes_per_packet;
    for (auto _ : state) {
        std::thread sender([&] { sim.stream(1, packet_size, packets_per_batch); });
        if (!bench::recv_bytes(fd, buffer, batch_bytes,
                               [out](const unsigned char *data, size_t n) { std::fwrite(data, 1, n, out); }))
            state.SkipWithError("recv failed");
        sender.join();
    }
    std::fclose(out);
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packets_per_batch * packet_size));
}
BENCHMARK(BM_PlainRecvFwrite64K)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CaptureReplayCount16B(benchmark::State &state)
{
    const std::string host = "-" + replay_file();
    uint64_t counted = 0;
    for (auto _ : state) {
        counted_capture c(host.c_str(), "", 0, 0);
        c.start(1);
        while (c.running)
            std::this_thread::yield();
        c.wait();
        if (c.status.eop.total != replay_packets)
            state.SkipWithError("packets missing from the count");
        counted += c.status.eop.total;
    }
    state.counters["packets_per_second"] =
        benchmark::Counter(static_cast<double>(counted), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CaptureReplayCount16B)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
