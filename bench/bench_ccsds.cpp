// SPDX-License-Identifier: MIT
// CCSDS packets built from their fields and sent to the simulator's CCSDS
// node, against raw packets of the same size on the link sent the same way;
// separately, and interleaved in batches so that both see the same load.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using orw::spacewire::connection_t;
using orw::spacewire::device_t;

// Address, protocol, the two transfer bytes and the primary header.
constexpr size_t ccsds_overhead = 2 + 2 + 6;

struct ccsds_unit {
    explicit ccsds_unit(size_t user)
        : sim(config()), conn(sim.address(), 100.0), dev(conn.device("node", "ccsds", 1, 0xFE, 0x20)),
          user_data(user, 0x5A), raw_data(user + ccsds_overhead - 2, 0x5A)
    {
    }
    static orw::unitsim::config config()
    {
        orw::unitsim::config cfg;
        cfg.links = 2;
        cfg.nodes[1] = orw::unitsim::node_kind::ccsds;
        cfg.keep_history = false;
        return cfg;
    }
    void send_ccsds()
    {
        dev->ccsds_header(0, false, 0x123, 3, count++);
        dev->ccsds_user_data(user_data.data(), user_data.size());
        dev->ccsds_send(0x10, 0x00);
    }
    // The baseline: a raw packet as long on the link as the CCSDS one.
    void send_raw() { dev->raw_send(0x02, raw_data.data(), raw_data.size()); }

    orw::unitsim::simulator sim;
    connection_t conn;
    std::unique_ptr<device_t> dev;
    std::vector<unsigned char> user_data, raw_data;
    uint16_t count = 0;
};

void report(benchmark::State &state, size_t user)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (user + ccsds_overhead)));
}

void BM_CcsdsBuildAndSend(benchmark::State &state)
{
    const size_t user = static_cast<size_t>(state.range(0));
    ccsds_unit u(user);
    for (auto _ : state)
        u.send_ccsds();
    report(state, user);
}
BENCHMARK(BM_CcsdsBuildAndSend)->Arg(64)->Arg(4096)->UseRealTime();

void BM_RawSendSameBytes(benchmark::State &state)
{
    const size_t user = static_cast<size_t>(state.range(0));
    ccsds_unit u(user);
    for (auto _ : state)
        u.send_raw();
    report(state, user);
}
BENCHMARK(BM_RawSendSameBytes)->Arg(64)->Arg(4096)->UseRealTime();

// Batches of each in turn; `ratio` is CCSDS packets per second over raw ones.
void BM_CcsdsAgainstRawInterleaved(benchmark::State &state)
{
    constexpr int batch = 64;
    ccsds_unit u(static_cast<size_t>(state.range(0)));
    using clock = std::chrono::steady_clock;
    clock::duration ccsds_time{}, raw_time{};
    for (auto _ : state) {
        auto t0 = clock::now();
        for (int i = 0; i < batch; ++i)
            u.send_ccsds();
        auto t1 = clock::now();
        for (int i = 0; i < batch; ++i)
            u.send_raw();
        raw_time += clock::now() - t1;
        ccsds_time += t1 - t0;
    }
    const double n = static_cast<double>(state.iterations()) * batch;
    const double ccsds_s = std::chrono::duration<double>(ccsds_time).count();
    const double raw_s = std::chrono::duration<double>(raw_time).count();
    state.counters["ccsds_per_s"] = ccsds_s > 0 ? n / ccsds_s : 0;
    state.counters["raw_per_s"] = raw_s > 0 ? n / raw_s : 0;
    state.counters["ratio"] = ccsds_s > 0 ? raw_s / ccsds_s : 0;
}
BENCHMARK(BM_CcsdsAgainstRawInterleaved)->Arg(64)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
