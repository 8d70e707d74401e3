// SPDX-License-Identifier: MIT
// Event decoding: a replayed stream dense with timetags and events, read with
// extensions decoded into a derived connection's callbacks, against the same
// stream read with extensions skipped (action 0).
#include "Orwin.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t blocks = 200000;

// One block: full timetag, two increments, parity error, time-code, link
// time-out, uncertainty -- 29 bytes, 6 extensions.
void append_block(std::vector<unsigned char> &s, uint64_t count)
{
    s.push_back(0xC0);
    s.push_back(0x88);
    for (int shift = 56; shift >= 0; shift -= 8)
        s.push_back(static_cast<unsigned char>(count >> shift));
    s[s.size() - 8] &= 0x07;
    const unsigned char rest[] = {0xC0, 0x82, 0x01, 0x00, 0xC0, 0x09, 0xC0, 0x82, 0x00,
                                  0x40, 0xC0, 0x91, 0x2A, 0xC0, 0x08, 0xC0, 0x81, 0x03};
    s.insert(s.end(), rest, rest + sizeof rest);
}

class stream_file {
  public:
    stream_file()
    {
        std::vector<unsigned char> s;
        uint64_t count = 1000000000000ull;
        for (size_t i = 0; i < blocks; ++i, count += 123456)
            append_block(s, count);
        size = s.size();
        char name[] = "/tmp/orwin_bench_decode_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd < 0 || write(fd, s.data(), s.size()) != static_cast<ssize_t>(s.size()))
            std::abort();
        close(fd);
    }
    ~stream_file() { unlink(path.c_str()); }
    std::string path;
    size_t size;
};

const stream_file &stream()
{
    static stream_file file;
    return file;
}

struct counting : orw::connection {
    uint64_t tags = 0;
    uint64_t events = 0;
    void timetag(uint64_t) override { ++tags; }
    bool parity_error() override
    {
        ++events;
        return true;
    }
    bool link_timeout() override
    {
        ++events;
        return true;
    }
    bool timecode(uint8_t, uint8_t, uint8_t, uint8_t) override
    {
        ++events;
        return true;
    }
};

std::vector<unsigned char> &buffer()
{
    static std::vector<unsigned char> b(1 << 16);
    return b;
}

void read_to_end(Orwin link, int action)
{
    uint32_t type = 0;
    while (Orwin_read_packet_full(link, buffer().data(), buffer().size(), &type, action) >= 0) {
    }
}

void BM_decode_into_callbacks(benchmark::State &state)
{
    const stream_file &file = stream();
    for (auto _ : state) {
        state.PauseTiming();
        auto c = std::make_unique<counting>();
        c->connect("-" + file.path);
        state.ResumeTiming();
        read_to_end(c->device,
                    orw::connection::CALLBACK_SPECIAL_DATA | orw::connection::CALLBACK_EXTENSION_DATA);
        state.PauseTiming();
        if (c->tags != 3 * blocks || c->events != 3 * blocks)
            state.SkipWithError("callbacks missed");
        c.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}

void BM_skip_extensions(benchmark::State &state)
{
    const stream_file &file = stream();
    std::string name = "-" + file.path;
    for (auto _ : state) {
        state.PauseTiming();
        Orwin link = Orwin_open_file(&name[0]);
        state.ResumeTiming();
        read_to_end(link, 0);
        state.PauseTiming();
        Orwin_close(link);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}

BENCHMARK(BM_decode_into_callbacks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_skip_extensions)->Unit(benchmark::kMillisecond);

} // namespace
