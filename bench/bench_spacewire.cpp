// The SpaceWire layer: raw packets to the simulator's echo node and back
// through a raw handler on the reader thread, against the same round trip
// with the C interface alone (write, flush, read); and dispatch alone, in
// memory, of 16-byte packets to a registered instance.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <benchmark/benchmark.h>

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

void BM_EchoBareLink(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    orw::unitsim::simulator sim(echo_unit());
    std::string address = sim.address();
    Orwin link = Orwin_open(address.data());
    if (!link) {
        state.SkipWithError("cannot open the simulator");
        return;
    }
    Orwin_set_active_link(link, 1);
    Orwin_set_rx_timeout(link, 2000);
    std::vector<unsigned char> out = echo_packet(size);
    std::vector<unsigned char> in(packet_buffer_size);
    for (auto _ : state) {
        Orwin_write_packet(link, out.data(), out.size(), connection::EOP);
        Orwin_flush(link);
        for (;;) {
            uint32_t type = 0;
            ssize_t n = Orwin_read_packet_full(link, in.data(), in.size(), &type, 0);
            if (n < 0 || type == connection::TIMEOUT) {
                state.SkipWithError("no echo");
                break;
            }
            if (type == connection::EOP && static_cast<size_t>(n) == size)
                break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    Orwin_close(link);
}
BENCHMARK(BM_EchoBareLink)->Arg(16)->Arg(4096)->UseRealTime();

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

void BM_EchoSpaceWire(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    orw::unitsim::simulator sim(echo_unit());
    connection_t ifc(sim.address(), 100.0);
    echo_waiter waiter;
    ifc.register_generic(1, &waiter);
    std::unique_ptr<device_t> dev(ifc.device("echo", "node", 1, node_address, source_address));
    // raw_send adds the address and protocol bytes itself.
    std::vector<unsigned char> out = echo_packet(size);
    uint64_t sent = 0;
    for (auto _ : state) {
        dev->raw_send(pid, out.data() + 2, out.size() - 2);
        if (!waiter.wait_for(++sent)) {
            state.SkipWithError("no echo");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_EchoSpaceWire)->Arg(16)->Arg(4096)->UseRealTime();

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
