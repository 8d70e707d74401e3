// SPDX-License-Identifier: MIT
// A simulated unit for RMAP over a real connection: link 1 ends in an RMAP
// target node (logical address 0xFE, key 0, 1 MiB from 0xA0000000), link 3
// in the simulator's RMAP initiator, link 5 in a second node whose replies
// can be delayed or dropped.
#pragma once

#include "Orwin.hpp"
#include "orwin_unitsim.hpp"
#include "rmap_reference.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace rmap_unit {

namespace rmap = orw::spacewire::rmap;
using rmap_ref::bytes;

constexpr int node_link = 1;
constexpr int initiator_link = 3;
constexpr int slow_link = 5;
constexpr uint32_t base = 0xA0000000;

inline orw::unitsim::config config(bool history = true)
{
    orw::unitsim::config cfg;
    cfg.links = 6;
    cfg.keep_history = history;
    orw::unitsim::rmap_target_config node;
    node.key = 0x00;
    node.base_address = base;
    cfg.rmap_targets[node_link] = node;
    cfg.rmap_targets[slow_link] = node;
    cfg.rmap_initiator_links = {initiator_link};
    return cfg;
}

struct unit {
    orw::unitsim::simulator sim;
    orw::spacewire::connection_t ifc;
    std::unique_ptr<orw::spacewire::device_t> node;
    std::unique_ptr<orw::spacewire::device_t> slow;

    explicit unit(bool history = true) : sim(config(history)), ifc(sim.address(), 100.0)
    {
        node.reset(ifc.device("node", "memory", node_link, 0xFE, 0x67));
        slow.reset(ifc.device("slow", "memory", slow_link, 0xFE, 0x67));
    }

    // Packets the client sent on `link` (history must be on), once at least
    // `at_least` of them have arrived or a second has passed.
    std::vector<orw::unitsim::packet> sent(int link, size_t at_least = 0) const
    {
        std::vector<orw::unitsim::packet> out;
        for (int tries = 0; tries < 100; ++tries) {
            out.clear();
            for (auto &p : sim.packets_from_clients())
                if (p.link == link)
                    out.push_back(p);
            if (out.size() >= at_least)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return out;
    }
};

} // namespace rmap_unit
