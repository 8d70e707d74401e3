// CCSDS packets built from their fields and sent to the simulator's CCSDS
// node, against raw packets of the same size on the link sent the same way.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

using orw::spacewire::connection_t;
using orw::spacewire::device_t;

// Address, protocol, the two transfer bytes and the primary header.
constexpr size_t ccsds_overhead = 2 + 2 + 6;

struct ccsds_unit {
    ccsds_unit() : sim(config()), conn(sim.address(), 100.0), dev(conn.device("node", "ccsds", 1, 0xFE, 0x20)) {}
    static orw::unitsim::config config()
    {
        orw::unitsim::config cfg;
        cfg.links = 2;
        cfg.nodes[1] = orw::unitsim::node_kind::ccsds;
        cfg.keep_history = false;
        return cfg;
    }
    orw::unitsim::simulator sim;
    connection_t conn;
    std::unique_ptr<device_t> dev;
};

void BM_CcsdsBuildAndSend(benchmark::State &state)
{
    const size_t user = static_cast<size_t>(state.range(0));
    ccsds_unit u;
    std::vector<unsigned char> data(user, 0x5A);
    uint16_t count = 0;
    for (auto _ : state) {
        u.dev->ccsds_header(0, false, 0x123, 3, count++);
        u.dev->ccsds_user_data(data.data(), data.size());
        u.dev->ccsds_send(0x10, 0x00);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (user + ccsds_overhead)));
}
BENCHMARK(BM_CcsdsBuildAndSend)->Arg(64)->Arg(4096)->UseRealTime();

// The baseline: raw packets as long on the link as the CCSDS ones above.
void BM_RawSendSameBytes(benchmark::State &state)
{
    const size_t user = static_cast<size_t>(state.range(0));
    ccsds_unit u;
    std::vector<unsigned char> data(user + ccsds_overhead - 2, 0x5A);
    for (auto _ : state)
        u.dev->raw_send(0x02, data.data(), data.size());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (user + ccsds_overhead)));
}
BENCHMARK(BM_RawSendSameBytes)->Arg(64)->Arg(4096)->UseRealTime();

} // namespace
