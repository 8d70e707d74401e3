// SPDX-License-Identifier: MIT
// The SpaceWire layer: raw packets to the simulator's echo node and back
// through a raw handler on the reader thread, against the same round trip
// with the C interface alone (write, flush, read); and dispatch alone, in
// memory, of 16-byte packets to a registered instance.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using orw::connection;
using namespace orw::spacewire;

constexpr uint8_t node_address = 0xFE;
constexpr uint8_t pid = 0x42;
constexpr uint8_t source_address = 0x20;

orw::unitsim::config echo_unit()
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    cfg.nodes[1] = orw::unitsim::node_kind::echo;
    cfg.keep_history = false;
    return cfg;
}

// The whole packet on the link: address, protocol, source address, filler.
std::vector<unsigned char> echo_packet(size_t size)
{
    std::vector<unsigned char> p(size);
    p[0] = node_address;
    p[1] = pid;
    p[2] = source_address;
    for (size_t i = 3; i < size; ++i)
        p[i] = static_cast<unsigned char>(i);
    return p;
}

// One echo round trip with the C interface alone: write, flush, read.
struct bare_echo {
    orw::unitsim::simulator sim{echo_unit()};
    Orwin link = nullptr;
    std::vector<unsigned char> out;
    std::vector<unsigned char> in = std::vector<unsigned char>(packet_buffer_size);

    explicit bare_echo(size_t size) : out(echo_packet(size))
    {
        std::string address = sim.address();
        link = Orwin_open(address.data());
        if (!link)
            return;
        Orwin_set_active_link(link, 1);
        Orwin_set_rx_timeout(link, 2000);
    }
    ~bare_echo()
    {
        if (link)
            Orwin_close(link);
    }
    bool round_trip()
    {
        Orwin_write_packet(link, out.data(), out.size(), connection::EOP);
        Orwin_flush(link);
        for (;;) {
            uint32_t type = 0;
            ssize_t n = Orwin_read_packet_full(link, in.data(), in.size(), &type, 0);
            if (n < 0 || type == connection::TIMEOUT)
                return false;
            if (type == connection::EOP && static_cast<size_t>(n) == out.size())
                return true;
        }
    }
};

// Wakes the sending thread for every echo the reader delivers.
struct echo_waiter : raw::handler {
    std::mutex m;
    std::condition_variable cv;
    uint64_t echoes = 0;

    void read_packet(unsigned char *, size_t, int terminator) override
    {
        if (terminator != connection::EOP)
            return;
        {
            std::lock_guard<std::mutex> lock(m);
            ++echoes;
        }
        cv.notify_one();
    }
    bool wait_for(uint64_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(2), [&] { return echoes >= n; });
    }
};

// The same round trip through a device and a raw handler on the reader thread.
struct spacewire_echo {
    orw::unitsim::simulator sim{echo_unit()};
    connection_t ifc{sim.address(), 100.0};
    echo_waiter waiter;
    std::unique_ptr<device_t> dev;
    std::vector<unsigned char> out;
    uint64_t sent = 0;

    explicit spacewire_echo(size_t size) : out(echo_packet(size))
    {
        ifc.register_generic(1, &waiter);
        dev.reset(ifc.device("echo", "node", 1, node_address, source_address));
    }
    ~spacewire_echo() { ifc.stop_server(); }
    bool round_trip()
    {
        // raw_send adds the address and protocol bytes itself.
        dev->raw_send(pid, out.data() + 2, out.size() - 2);
        return waiter.wait_for(++sent);
    }
};

template <class Echo> void BM_Echo(benchmark::State &state)
{
    Echo echo(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        if (!echo.round_trip()) {
            state.SkipWithError("no echo");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK_TEMPLATE(BM_Echo, bare_echo)->Name("BM_EchoBareLink")->Arg(16)->Arg(4096)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Echo, spacewire_echo)->Name("BM_EchoSpaceWire")->Arg(16)->Arg(4096)->UseRealTime();

// Both round trips alternately, in batches, so that a busy machine slows
// both alike; `ratio` is the SpaceWire layer's time over the bare link's.
void BM_EchoInterleaved(benchmark::State &state)
{
    constexpr int batch = 32;
    const size_t size = static_cast<size_t>(state.range(0));
    bare_echo bare(size);
    spacewire_echo spw(size);
    using clock = std::chrono::steady_clock;
    clock::duration bare_time{}, spw_time{};
    for (auto _ : state) {
        auto t0 = clock::now();
        bool ok = true;
        for (int i = 0; i < batch && ok; ++i)
            ok = bare.round_trip();
        auto t1 = clock::now();
        for (int i = 0; i < batch && ok; ++i)
            ok = spw.round_trip();
        auto t2 = clock::now();
        if (!ok) {
            state.SkipWithError("no echo");
            break;
        }
        bare_time += t1 - t0;
        spw_time += t2 - t1;
    }
    const double n = static_cast<double>(state.iterations()) * batch;
    const double bare_s = std::chrono::duration<double>(bare_time).count();
    const double spw_s = std::chrono::duration<double>(spw_time).count();
    state.counters["bare_per_s"] = bare_s > 0 ? n / bare_s : 0;
    state.counters["spw_per_s"] = spw_s > 0 ? n / spw_s : 0;
    state.counters["ratio"] = bare_s > 0 ? spw_s / bare_s : 0;
}
BENCHMARK(BM_EchoInterleaved)->Arg(16)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

struct sink : protocol_instance {
    size_t bytes = 0;
    bool body(unsigned char *, size_t sz, int) override
    {
        bytes += sz;
        return true;
    }
};

void BM_DispatchInMemory16(benchmark::State &state)
{
    connection_t ifc; // no unit: the dispatcher is fed directly
    sink instance;
    ifc.register_protocol(1, pid, &instance);
    linkinfo &link = ifc.links[1];
    std::vector<unsigned char> packet = echo_packet(16);
    for (auto _ : state)
        link.read_packet(packet.data(), packet.size(), connection::EOP);
    benchmark::DoNotOptimize(instance.bytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DispatchInMemory16);

} // namespace
