// SPDX-License-Identifier: MIT
// RMAP against the simulator's target node: a 4-byte read round trip, with a
// plain TCP ping-pong of the same byte counts on loopback as its baseline;
// writes of 1 KiB and 64 KiB with reply (compare with the framed loopback
// read of bench_loopback.cpp); reads from 1 and 8 threads at once; the read
// and the large write again against a unit that never sleeps.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <future>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace rmap = orw::spacewire::rmap;

constexpr int node_link = 1;
constexpr uint32_t timeout_ticks = 200;
// Bytes of a 4-byte read on the wire: the command (16 bytes in a one-byte
// frame header) and the reply (17 bytes in its frame, after a 2-byte link
// announcement).
constexpr size_t command_wire_bytes = 17;
constexpr size_t reply_wire_bytes = 20;

struct rmap_unit {
    orw::unitsim::simulator sim;
    orw::spacewire::connection_t ifc;
    std::unique_ptr<orw::spacewire::device_t> node;

    explicit rmap_unit(unsigned awake_us = 0) : sim(config(awake_us)), ifc(sim.address(), 100.0)
    {
        node.reset(ifc.device("node", "memory", node_link, 0xFE, 0x67));
    }
    static orw::unitsim::config config(unsigned awake_us)
    {
        orw::unitsim::config cfg;
        cfg.awake_us = awake_us;
        cfg.links = 2;
        cfg.keep_history = false;
        orw::unitsim::rmap_target_config t;
        t.key = 0;
        t.memory_size = 1u << 20;
        cfg.rmap_targets[node_link] = t;
        return cfg;
    }
};

// One unit shared by the threads of a multi-threaded run.
rmap_unit &shared_unit()
{
    static std::once_flag once;
    static std::unique_ptr<rmap_unit> unit;
    std::call_once(once, [] { unit = std::make_unique<rmap_unit>(); });
    return *unit;
}

void read_loop(benchmark::State &state, rmap_unit &u)
{
    rmap::synchronous_response r(timeout_ticks);
    r.verbose(false);
    for (auto _ : state) {
        u.node->rmap_read(0, rmap::instr_increment, 0, 0x100, 4, &r);
        if (!r.ok()) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_RmapRead4(benchmark::State &state)
{
    rmap_unit u;
    read_loop(state, u);
}
BENCHMARK(BM_RmapRead4)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Against a unit that never sleeps: the library's own share of a round trip,
// without the simulator's wake-up.
constexpr unsigned awake_unit_us = 50;

void BM_RmapRead4AwakeUnit(benchmark::State &state)
{
    rmap_unit u(awake_unit_us);
    read_loop(state, u);
}
BENCHMARK(BM_RmapRead4AwakeUnit)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same byte counts as a 4-byte read, as a plain ping-pong between two
// loopback TCP sockets with no framing or RMAP at either end.
void BM_TcpPingPongOfRead4(benchmark::State &state)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), len) < 0 ||
        listen(listener, 1) < 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) < 0) {
        state.SkipWithError("no listener");
        return;
    }
    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        state.SkipWithError("no connection");
        return;
    }
    int server = accept(listener, nullptr, nullptr);
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto exact = [](int fd, void *buf, size_t n, bool sending) {
        size_t done = 0;
        while (done < n) {
            ssize_t k = sending ? send(fd, static_cast<char *>(buf) + done, n - done, MSG_NOSIGNAL)
                                : recv(fd, static_cast<char *>(buf) + done, n - done, 0);
            if (k <= 0)
                return false;
            done += static_cast<size_t>(k);
        }
        return true;
    };
    std::thread peer([&] {
        char in[command_wire_bytes], out[reply_wire_bytes] = {};
        while (exact(server, in, sizeof in, false) && exact(server, out, sizeof out, true)) {
        }
    });
    char out[command_wire_bytes] = {}, in[reply_wire_bytes];
    for (auto _ : state) {
        if (!exact(client, out, sizeof out, true) || !exact(client, in, sizeof in, false)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    shutdown(client, SHUT_RDWR);
    peer.join();
    close(client);
    close(server);
    close(listener);
}
BENCHMARK(BM_TcpPingPongOfRead4)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One thread keeping state.range(0) reads in flight through their futures:
// each completed read is replaced by a new one at once.
void BM_RmapRead4InFlight(benchmark::State &state)
{
    rmap_unit u;
    const size_t window = static_cast<size_t>(state.range(0));
    std::vector<std::future<rmap::result>> ring;
    for (size_t i = 0; i < window; ++i)
        ring.push_back(u.node->rmap_read_async(0, 0x100, 4, timeout_ticks));
    size_t next = 0;
    for (auto _ : state) {
        if (!ring[next].get().ok()) {
            state.SkipWithError("read failed");
            break;
        }
        ring[next] = u.node->rmap_read_async(0, 0x100, 4, timeout_ticks);
        next = (next + 1) % window;
    }
    for (auto &f : ring)
        if (f.valid())
            f.wait();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RmapRead4InFlight)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

void write_loop(benchmark::State &state, rmap_unit &u)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> block(size, 0xA5);
    rmap::synchronous_response r(timeout_ticks);
    r.verbose(false);
    for (auto _ : state) {
        u.node->rmap_write(0, rmap::instr_increment, 0, 0, block.data(), size, &r);
        if (!r.ok() || r.status_code() != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
void BM_RmapWriteWithReply(benchmark::State &state)
{
    rmap_unit u;
    write_loop(state, u);
}
BENCHMARK(BM_RmapWriteWithReply)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RmapWriteWithReplyAwakeUnit(benchmark::State &state)
{
    rmap_unit u(awake_unit_us);
    write_loop(state, u);
}
BENCHMARK(BM_RmapWriteWithReplyAwakeUnit)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Reads from several threads over one connection at once; items per second
// of Threads(8) against Threads(1) shows how far transactions overlap.
void BM_RmapRead4Threads(benchmark::State &state)
{
    read_loop(state, shared_unit());
}
BENCHMARK(BM_RmapRead4Threads)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
