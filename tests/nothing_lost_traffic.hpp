// SPDX-License-Identifier: MIT
// The load of the nothing-lost tests: eight links of mixed packet sizes,
// some ending in EEP; fewer packets under the sanitizers, which run far
// slower, unless ORWIN_NOTHING_LOST_PACKETS says otherwise.
#ifndef ORWIN_TESTS_NOTHING_LOST_TRAFFIC_HPP
#define ORWIN_TESTS_NOTHING_LOST_TRAFFIC_HPP

#include "orwin_unitsim.hpp"

#include <cstdlib>

namespace test {

#ifdef ORWIN_SANITIZED_BUILD
constexpr size_t default_packets = 10000;
#else
constexpr size_t default_packets = 100000;
#endif

inline size_t packets_per_link()
{
    const char *v = std::getenv("ORWIN_NOTHING_LOST_PACKETS");
    long n = v ? std::strtol(v, nullptr, 10) : 0;
    return n > 0 ? static_cast<size_t>(n) : default_packets;
}

inline orw::unitsim::traffic mixed_traffic(size_t count)
{
    orw::unitsim::traffic t;
    t.count = count;
    t.sizes = {1, 3, 16, 60, 61, 100, 255, 4, 1000};
    t.eep_every = 13;
    return t;
}

} // namespace test

#endif // ORWIN_TESTS_NOTHING_LOST_TRAFFIC_HPP
