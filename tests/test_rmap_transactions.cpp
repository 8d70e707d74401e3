// SPDX-License-Identifier: MIT
// RMAP transaction tables alone: allocation order, wrap, exhaustion, seeding,
// user handlers, look-up and cancellation; waiters that keep their signal.
#include "Orwin.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace rmap = orw::spacewire::rmap;

namespace {

struct quiet : rmap::transaction_response {
    quiet() { verbose(false); }
};

// Registers `n` responses and returns them with their TIDs.
std::vector<std::unique_ptr<quiet>> take(rmap::transinfo &t, size_t n, std::vector<uint16_t> &ids)
{
    std::vector<std::unique_ptr<quiet>> out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(std::make_unique<quiet>());
        ids.push_back(t.transaction(out.back().get()));
    }
    return out;
}

void release(rmap::transinfo &t, const std::vector<uint16_t> &ids)
{
    for (uint16_t id : ids)
        t.find(id);
}

// Records what it was told; hands out even TIDs only.
struct even_tids : rmap::transinfo {
    std::vector<uint16_t> freed;
    std::vector<uint16_t> seeds;
    uint16_t tid() override
    {
        uint16_t t = transinfo::tid();
        if (t % 2) {
            t = transinfo::tid();
        }
        return t;
    }
    void released(uint16_t id) override { freed.push_back(id); }
    void seed(uint16_t s) override
    {
        seeds.push_back(s);
        transinfo::seed(s);
    }
};

} // namespace

TEST(RmapTids, AllocationOrderWrapAndSkipping)
{
    struct row {
        const char *name;
        uint16_t seed;
        std::vector<uint16_t> live; // taken first and kept live
        std::vector<uint16_t> expect;
    } rows[] = {
        {"fresh", 1, {}, {1, 2, 3}},
        {"wrap", 0xFFFF, {}, {0xFFFF, 0, 1}},
        {"skips live", 5, {5, 6}, {7, 8}},
    };
    for (const row &r : rows) {
        rmap::transinfo t;
        std::vector<uint16_t> held;
        std::vector<std::unique_ptr<quiet>> keep;
        for (uint16_t id : r.live) {
            t.seed(id);
            keep.push_back(std::make_unique<quiet>());
            held.push_back(t.transaction(keep.back().get()));
        }
        t.seed(r.seed);
        std::vector<uint16_t> got;
        auto more = take(t, r.expect.size(), got);
        EXPECT_EQ(got, r.expect) << r.name;
        release(t, got);
        release(t, held);
        EXPECT_EQ(t.live(), 0u) << r.name;
    }
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

TEST(RmapTids, ExhaustionThrowsAndLeavesTheResponseIdle)
{
    rmap::transinfo t;
    std::vector<uint16_t> ids;
    auto all = take(t, 0x10000, ids);
    EXPECT_EQ(t.live(), 0x10000u);
    quiet extra;
    try {
        t.transaction(&extra);
        ADD_FAILURE() << "a 65,537th transaction was accepted";
    } catch (rmap::nofreetid *e) {
        delete e;
    }
    EXPECT_EQ(extra.tx.load(), nullptr);
    // One freed identifier is the only one handed out again.
    t.find(0x1234);
    quiet again;
    EXPECT_EQ(t.transaction(&again), 0x1234);
    ids.push_back(0x1234);
    release(t, ids);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

TEST(RmapTids, UserHandlersSeedingFindAndCancel)
{
    rmap::transinfo t;
    EXPECT_FALSE(t.enabled());
    even_tids h;
    t.set_user_handler(&h);
    EXPECT_TRUE(t.enabled());
    t.seed(11);
    EXPECT_EQ(h.seeds, std::vector<uint16_t>{11});
    quiet a, b;
    uint16_t ta = t.transaction(&a);
    uint16_t tb = t.transaction(&b);
    EXPECT_EQ(ta, 12);
    EXPECT_EQ(tb, 14);
    EXPECT_EQ(h.live(), 2u) << "the handler's table holds the transactions";
    EXPECT_EQ(a.tx.load(), &t) << "the response remembers the table it was registered through";
    EXPECT_EQ(t.find(ta), &a);
    EXPECT_EQ(t.find(ta), nullptr) << "found once only";
    b.cancel();
    EXPECT_EQ(t.find(tb), nullptr) << "a cancelled transaction is not found";
    EXPECT_EQ(h.freed, (std::vector<uint16_t>{12, 14}));
    EXPECT_EQ(b.tx.load(), nullptr);
    b.cancel(); // twice: a no-op
    uint16_t gone_id = 0;
    {
        quiet gone;
        gone_id = t.transaction(&gone);
    }
    EXPECT_EQ(t.find(gone_id), nullptr) << "a destroyed response left its transaction live";
    t.set_user_handler(nullptr);
    EXPECT_TRUE(t.enabled()) << "clearing the handler leaves the scope enabled";
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

TEST(RmapResponses, CompletionBeforeWaitAndReplyData)
{
    rmap::synchronous_response r(0);
    r.verbose(false);
    EXPECT_FALSE(r.timer());
    r.completed();
    r.wait(); // returns at once: the signal was kept
    testing::internal::CaptureStdout();
    rmap::transaction_response p;
    p.set_id("x");
    p.read_reply(0x33, reinterpret_cast<const uint8_t *>("\x00\x01\x02"), 3);
    p.write_reply(0x66);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "message 0 (x): client->read 3 bytes of data read status 33 : 00 01 02\n"
                   "message 0 (x): client->write reply 66\n");
    EXPECT_EQ(p.size(), 3u);
    size_t n = 1;
    EXPECT_EQ(p.info(n), nullptr) << "no copy kept without copydata";
    uint8_t st = 0;
    p.set_status(true, 7);
    EXPECT_TRUE(p.response(st));
    EXPECT_EQ(st, 7);
    p.start();
    EXPECT_TRUE(p.ok());
    EXPECT_EQ(p.status_code(), 0);
}
