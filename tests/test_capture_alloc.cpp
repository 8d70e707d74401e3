// SPDX-License-Identifier: MIT
// The capture thread's read loop allocates nothing: malloc and friends are
// interposed for this binary and count the calls made on the capture thread
// between its first and its last packet of a replayed recording.
#include "Orwin_Capture.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <pthread.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {

std::atomic<bool> watching{false};
std::atomic<pthread_t> watched{};
std::atomic<uint64_t> allocations{0};

inline void note()
{
    if (watching.load(std::memory_order_relaxed) && pthread_equal(pthread_self(), watched.load()))
        allocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

extern "C" {
void *malloc(size_t n)
{
    note();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    note();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    note();
    return __libc_realloc(p, n);
}
void free(void *p)
{
    __libc_free(p);
}
}

namespace {

// Notes the allocation count at every packet the capture thread hands on.
struct watched_capture : orw::trc::trc_capture {
    using trc_capture::trc_capture;
    ~watched_capture() override { join_threads(); }
    uint64_t at_first = 0, at_last = 0, packets = 0;
    void acquired_data(const uint8_t *, ssize_t, int flags) override
    {
        if (flags != EOP && flags != EEP)
            return;
        if (packets++ == 0) {
            watched = pthread_self();
            watching = true;
            at_first = allocations.load();
        }
        at_last = allocations.load();
    }
};

} // namespace

TEST(CaptureAllocation, ReadLoopAllocatesNothingPerPacket)
{
    test::scratch_dir dir;
    // Packets on every link, with the events the callbacks decode between
    // them: parity errors, time-codes, timetags.
    std::vector<uint8_t> stream = test::recording_header();
    constexpr int packets = 20000;
    for (int i = 0; i < packets; ++i) {
        int link = 1 + i % 8;
        test::append_small_packet(stream, link, std::vector<uint8_t>(1 + i % 60, static_cast<uint8_t>(i)));
        if (i % 7 == 0)
            stream.insert(stream.end(), {0xC0, 0x09, 0xC0, 0x91, static_cast<uint8_t>(i & 0x3F)});
        if (i % 11 == 0)
            stream.insert(stream.end(), {0xC0, 0x88, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(i >> 8), 1});
    }
    test::write_file(dir / "in.rec", stream);
    watched_capture c(("-" + dir / "in.rec").c_str(), (dir / "copy.trc").c_str(), 0, 0);
    c.start(1);
    ASSERT_TRUE(test::eventually([&] { return !c.running; }));
    c.wait();
    watching = false;
    EXPECT_EQ(c.packets, static_cast<uint64_t>(packets));
    EXPECT_EQ(c.at_last - c.at_first, 0u);
    EXPECT_EQ(c.status.parity.total, static_cast<uint64_t>((packets + 6) / 7));
}
