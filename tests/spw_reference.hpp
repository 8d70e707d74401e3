// SPDX-License-Identifier: MIT
// Reference SpaceWire packets and a recording protocol instance, shared by
// the dispatch, device and reader tests.
#ifndef ORWIN_TESTS_SPW_REFERENCE_HPP
#define ORWIN_TESTS_SPW_REFERENCE_HPP

#include "Orwin.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace spwtest {

using bytes = std::vector<uint8_t>;
using orw::connection;

struct reference_packet {
    const char *name;
    bytes packet; // as it arrives on the link, path bytes included
    bool drop_pa; // link setting it is parsed with
    uint8_t sla;  // what the instance is started with
    uint8_t pid;
    bytes body; // what reaches the instance's body()
};

// Protocol identifiers the tests register their own instances for (the
// reference packets use them all), and one whose factory the tests enter in
// the process-wide table.
constexpr uint8_t test_pid = 0x42;
constexpr uint8_t registered_pids[] = {test_pid, 0x01, 0x07};
constexpr uint8_t factory_pid = 0xF1;

inline const std::vector<reference_packet> &reference_packets()
{
    static const std::vector<reference_packet> packets = {
        {"rmap-like command",
         {0xFE, test_pid, 0x4C, 0x20, 0x00, 0x01, 0x02, 0x03},
         false,
         0xFE,
         test_pid,
         /* instruction, key, address */ {0x4C, 0x20, 0x00, 0x01, 0x02, 0x03}},
        {"path bytes dropped",
         {0x03, 0x07, 0xFE, test_pid, 0xAA, 0xBB},
         true,
         0xFE,
         test_pid,
         /* path 03 07 skipped */ {0xAA, 0xBB}},
        {"address and pid only", {0x20, test_pid}, false, 0x20, test_pid, {}},
        {"one body byte", {0xFF, test_pid, 0x00}, false, 0xFF, test_pid, {0x00}},
        {"path byte kept as address", {0x05, test_pid, 0x01, 0x02}, false, 0x05, test_pid, {0x01, 0x02}},
        {"path dropped: SLA FE, PID 1", {0x03, 0x07, 0xFE, 0x01, 0x55}, true, 0xFE, 0x01, {0x55}},
        {"path kept: SLA 03, PID 7", {0x03, 0x07, 0xFE, 0x01, 0x55}, false, 0x03, 0x07, {0xFE, 0x01, 0x55}},
    };
    return packets;
}

// Logs what a dispatcher tells it, one string per call.
struct recording_instance : orw::spacewire::protocol_instance {
    std::vector<std::string> calls;
    bytes received;
    bool accept = true;
    int stop_after = -1;   // stop() at this eop count
    int finish_after = -1; // finis() at this eop count
    int eops = 0;
    static inline int live = 0;

    recording_instance() { ++live; }
    ~recording_instance() override { --live; }

    void start(uint8_t sla, uint8_t pid) override
    {
        calls.push_back("start " + std::to_string(sla) + " " + std::to_string(pid));
        received.clear();
    }
    bool body(unsigned char *data, size_t sz, int terminator) override
    {
        calls.push_back("body " + std::to_string(sz) + " " + std::to_string(terminator));
        received.insert(received.end(), data, data + sz);
        return accept;
    }
    void eop(int link) override
    {
        calls.push_back("eop " + std::to_string(link));
        ++eops;
        if (eops == stop_after)
            stop();
        if (eops == finish_after)
            finis();
    }
    void eep() override { calls.push_back("eep"); }
};

// Keeps every piece a raw handler is given.
struct piece_log : orw::spacewire::raw::handler {
    struct piece {
        bytes data;
        int terminator;
    };
    std::mutex m;
    std::vector<piece> pieces;

    void read_packet(unsigned char *data, size_t sz, int terminator) override
    {
        std::lock_guard<std::mutex> lock(m);
        pieces.push_back({bytes(data, data + sz), terminator});
    }
    std::vector<piece> snapshot()
    {
        std::lock_guard<std::mutex> lock(m);
        return pieces;
    }
};

struct recording_factory : orw::spacewire::protocol_factory {
    orw::spacewire::protocol_instance *new_instance() override { return new recording_instance(); }
};

} // namespace spwtest

#endif // ORWIN_TESTS_SPW_REFERENCE_HPP
