// SPDX-License-Identifier: MIT
// Transmit throughput: packets queued through the library's transmit buffer
// against one plain send() per packet, over a socket pair whose other end a
// thread drains (reads and discards) for both.
#include "OrwinInternal.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A socket pair with a thread reading and discarding everything sent.
class DrainedPair {
  public:
    DrainedPair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return;
        sender_ = sv[0];
        receiver_ = sv[1];
        drain_ = std::thread([this] {
            std::vector<uint8_t> sink(1 << 20);
            while (read(receiver_, sink.data(), sink.size()) > 0) {
            }
        });
    }
    ~DrainedPair()
    {
        if (sender_ >= 0)
            shutdown(sender_, SHUT_WR);
        if (drain_.joinable())
            drain_.join();
        if (sender_ >= 0)
            close(sender_);
        if (receiver_ >= 0)
            close(receiver_);
    }
    // Hands the sending end to a link, which then owns it.
    Orwin open_link()
    {
        Orwin link = Orwin_open_as_server(dup(sender_));
        return link;
    }
    int sender() const { return sender_; }

  private:
    int sender_ = -1;
    int receiver_ = -1;
    std::thread drain_;
};

void library_packets(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    DrainedPair pair;
    Orwin link = pair.open_link();
    if (link == nullptr) {
        state.SkipWithError("no link");
        return;
    }
    std::vector<uint8_t> payload(size, 0x5A);
    for (auto _ : state) {
        if (Orwin_write_packet(link, payload.data(), size, Orwin_EOP) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    Orwin_flush(link);
    Orwin_close(link);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The baseline: the same frames, each handed to the kernel on its own.
void plain_send(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    DrainedPair pair;
    std::vector<uint8_t> frame(size + (size <= 60 ? 1 : 4), 0x5A);
    frame[0] = size <= 60 ? static_cast<uint8_t>(0x40 + size) : 0x7F;
    for (auto _ : state) {
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t k = send(pair.sender(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (k <= 0) {
                state.SkipWithError("send failed");
                return;
            }
            done += static_cast<size_t>(k);
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

} // namespace

BENCHMARK(library_packets)->Name("Transmit/library")->Arg(16)->Arg(65536)->UseRealTime();
BENCHMARK(plain_send)->Name("Transmit/plain_send")->Arg(16)->Arg(65536)->UseRealTime();
