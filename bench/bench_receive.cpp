// SPDX-License-Identifier: MIT
// Receive framing throughput: the state machine parsing a stream already held
// in the receive buffer, against a plain memcpy of the same payload bytes.
#include "OrwinInternal.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kBigPacket = 65536;
constexpr size_t kBigCount = 64;
constexpr size_t kSmallPacket = 16;
constexpr size_t kSmallCount = 65536;

// A link wrapped around one end of a socket pair, its receive buffer loaded
// with `stream`; nothing is ever read from the socket.
class LoadedLink {
  public:
    explicit LoadedLink(const std::vector<uint8_t> &stream)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            link_ = orw_link(Orwin_open_as_server(sv[0]));
            peer_ = sv[1];
        }
        if (link_ && stream.size() <= link_->rx_buffer_length) {
            memcpy(link_->rx_buffer, stream.data(), stream.size());
            size_ = stream.size();
        }
    }
    ~LoadedLink()
    {
        if (link_)
            Orwin_close(link_);
        if (peer_ >= 0)
            close(peer_);
    }
    bool ok() const { return size_ > 0; }
    void rewind()
    {
        orw_rx_reset(&link_->rx);
        orw_rx_set_input(&link_->rx, link_->rx_buffer, size_);
    }
    Orwin handle() const { return link_; }

  private:
    ORW *link_ = nullptr;
    int peer_ = -1;
    size_t size_ = 0;
};

std::vector<uint8_t> big_stream()
{
    std::vector<uint8_t> s;
    for (size_t p = 0; p < kBigCount; ++p) {
        s.insert(s.end(), {0x7F, static_cast<uint8_t>(kBigPacket >> 16),
                           static_cast<uint8_t>(kBigPacket >> 8), static_cast<uint8_t>(kBigPacket)});
        for (size_t i = 0; i < kBigPacket; ++i)
            s.push_back(static_cast<uint8_t>(i + p));
    }
    return s;
}

std::vector<uint8_t> small_stream()
{
    std::vector<uint8_t> s;
    for (size_t p = 0; p < kSmallCount; ++p) {
        s.push_back(static_cast<uint8_t>(0x40 + kSmallPacket));
        for (size_t i = 0; i < kSmallPacket; ++i)
            s.push_back(static_cast<uint8_t>(i + p));
    }
    return s;
}

void read_packets(benchmark::State &state, const std::vector<uint8_t> &stream, size_t packet, size_t count)
{
    LoadedLink rx(stream);
    if (!rx.ok()) {
        state.SkipWithError("could not open a link");
        return;
    }
    std::vector<uint8_t> buffer(packet);
    uint32_t flags = 0;
    for (auto _ : state) {
        rx.rewind();
        for (size_t p = 0; p < count; ++p) {
            ssize_t r = Orwin_read_packet(rx.handle(), buffer.data(), buffer.size(), &flags);
            if (r != static_cast<ssize_t>(packet) || flags != Orwin_EOP) {
                state.SkipWithError("unexpected read result");
                return;
            }
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * packet));
}

// The same payload bytes copied packet by packet from the same layout.
void copy_packets(benchmark::State &state, const std::vector<uint8_t> &stream, size_t header, size_t packet,
                  size_t count)
{
    std::vector<uint8_t> buffer(packet);
    for (auto _ : state) {
        const uint8_t *src = stream.data();
        for (size_t p = 0; p < count; ++p) {
            src += header;
            memcpy(buffer.data(), src, packet);
            src += packet;
            benchmark::DoNotOptimize(buffer.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * packet));
}

void BM_read_64KiB_packets(benchmark::State &state)
{
    static const std::vector<uint8_t> stream = big_stream();
    read_packets(state, stream, kBigPacket, kBigCount);
}

void BM_memcpy_64KiB_packets(benchmark::State &state)
{
    static const std::vector<uint8_t> stream = big_stream();
    copy_packets(state, stream, 4, kBigPacket, kBigCount);
}

void BM_read_16B_packets(benchmark::State &state)
{
    static const std::vector<uint8_t> stream = small_stream();
    read_packets(state, stream, kSmallPacket, kSmallCount);
}

void BM_memcpy_16B_packets(benchmark::State &state)
{
    static const std::vector<uint8_t> stream = small_stream();
    copy_packets(state, stream, 1, kSmallPacket, kSmallCount);
}

} // namespace

BENCHMARK(BM_read_64KiB_packets);
BENCHMARK(BM_memcpy_64KiB_packets);
BENCHMARK(BM_read_16B_packets);
BENCHMARK(BM_memcpy_16B_packets);
