// SPDX-License-Identifier: MIT
// Shared by the capture benchmarks: an output directory on local disk, a
// capture counting whole packets, a quiet recording unit, and a recording
// of 16-byte packets to replay.
#ifndef ORWIN_BENCH_CAPTURE_BENCH_HPP
#define ORWIN_BENCH_CAPTURE_BENCH_HPP

#include "Orwin_Capture.hpp"
#include "orwin_unitsim.hpp"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

constexpr size_t replay_packets = 2000000;

// Files go to a directory beside the working directory: local disk.
struct out_dir {
    std::string path;
    explicit out_dir(const char *name) : path(name)
    {
        std::filesystem::remove_all(path);
        std::filesystem::create_directory(path);
    }
    ~out_dir() { std::filesystem::remove_all(path); }
};

// Counts whole packets where the benchmark can see them.
template <class Capture> struct counted : Capture {
    using Capture::Capture;
    ~counted() override { this->join_threads(); }
    std::atomic<uint64_t> packets{0};
    void acquired_data(const uint8_t *data, ssize_t length, int flags) override
    {
        Capture::acquired_data(data, length, flags);
        if (flags == orw::connection::EOP || flags == orw::connection::EEP)
            packets.fetch_add(1, std::memory_order_relaxed);
    }
};

inline orw::unitsim::config quiet_recorder()
{
    orw::unitsim::config cfg = orw::unitsim::recording_unit("TRC-8");
    cfg.keep_history = false;
    return cfg;
}

// A recording of 16-byte EOP packets on link 1, removed at exit.
struct replay_recording {
    std::string path = "bench_capture_replay.rec";
    replay_recording()
    {
        std::vector<uint8_t> bytes = {0xC0, 0xCE, 0x00, 0x02, 0, 0, 0, 0,    0,
                                      0,    0,    100,  0,    0, 0, 0, 0xC0, 0x41};
        bytes.reserve(bytes.size() + replay_packets * 17);
        for (size_t i = 0; i < replay_packets; ++i) {
            bytes.push_back(0x40 + 16);
            for (int j = 0; j < 16; ++j)
                bytes.push_back(static_cast<uint8_t>(i + static_cast<size_t>(j)));
        }
        FILE *f = std::fopen(path.c_str(), "wb");
        if (f) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    ~replay_recording() { std::remove(path.c_str()); }
};

inline const std::string &replay_file()
{
    static const replay_recording recording;
    return recording.path;
}

} // namespace bench

#endif // ORWIN_BENCH_CAPTURE_BENCH_HPP
