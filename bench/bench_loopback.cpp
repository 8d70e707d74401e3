// SPDX-License-Identifier: MIT
// End to end over loopback TCP: the simulator streams 64 KiB packets; the
// library's framed read is compared with plain recv() of the same bytes
// from the same sender.
#include "Orwin.h"
#include "orwin_unitsim.hpp"
#include "plain_socket.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t packet_size = 65536;
constexpr size_t packets_per_batch = 256;
// The library refills with reads of up to 20 MiB; the baseline gets the same.
constexpr size_t recv_buffer_size = 20 * 1024 * 1024;
// What the simulator puts on the wire per packet: link announcement (2 bytes)
// and a frame header with three length bytes (4 bytes).
constexpr size_t wire_bytes_per_packet = packet_size + 6;

void BM_LoopbackLibraryRead64K(benchmark::State &state)
{
    orw::unitsim::simulator sim;
    std::string address = sim.address();
    Orwin link = Orwin_open(const_cast<char *>(address.c_str()));
    if (link == nullptr) {
        state.SkipWithError("cannot open the simulator");
        return;
    }
    std::vector<unsigned char> buffer(packet_size);
    for (auto _ : state) {
        std::thread sender([&] { sim.stream(2, packet_size, packets_per_batch); });
        size_t packets = 0;
        while (packets < packets_per_batch) {
            uint32_t type = 0;
            ssize_t n = Orwin_read_packet(link, buffer.data(), buffer.size(), &type);
            if (n < 0) {
                state.SkipWithError("read failed");
                break;
            }
            if (type == Orwin_EOP)
                ++packets;
        }
        sender.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packets_per_batch * packet_size));
    Orwin_close(link);
}
BENCHMARK(BM_LoopbackLibraryRead64K)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LoopbackPlainRecv64K(benchmark::State &state)
{
    orw::unitsim::simulator sim;
    int fd = bench::connect_plain(sim.port());
    if (fd < 0 || !sim.wait_for_clients(1, 2000)) {
        state.SkipWithError("cannot connect to the simulator");
        return;
    }
    std::vector<unsigned char> buffer(recv_buffer_size);
    const size_t batch_bytes = packets_per_batch * wire_bytes_per_packet;
    for (auto _ : state) {
        std::thread sender([&] { sim.stream(2, packet_size, packets_per_batch); });
        if (!bench::recv_bytes(fd, buffer, batch_bytes, [](const unsigned char *, size_t) {}))
            state.SkipWithError("recv failed");
        sender.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packets_per_batch * packet_size));
    close(fd);
}
BENCHMARK(BM_LoopbackPlainRecv64K)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
