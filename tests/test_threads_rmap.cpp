// SPDX-License-Identifier: MIT
// RMAP over a connection against the simulator: the initiator's packets byte
// for byte, its refusals, time-outs and late replies, the library's target
// answering the simulator's initiator, and many threads at once.
#include "capture_probe.hpp" // eventually()
#include "deadline.hpp"
#include "rmap_unit.hpp"
#include "spw_reference.hpp" // piece_log

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace rmap_unit;

namespace {

bytes with_crc(bytes b)
{
    b.push_back(rmap_ref::crc(b, 0, b.size()));
    return b;
}

// A quiet response with its own waiter and a time-out of `ticks`.
struct quiet_response : rmap::synchronous_response {
    explicit quiet_response(uint32_t ticks = 100) : synchronous_response(ticks) { verbose(false); }
};

} // namespace

TEST(RmapInitiator, PacketsMatchTheStandardExamplesAndRepliesDeliver)
{
    unit u;
    u.ifc.tid_seed(0, 0);
    quiet_response w;
    u.node->rmap_write(0x00, rmap::instr_increment, 0x00, base, rmap_ref::example_data.data(), 16, &w);
    EXPECT_TRUE(w.ok());
    EXPECT_EQ(w.status_code(), 0);
    quiet_response r;
    u.node->rmap_read(0x00, rmap::instr_increment, 0x00, base, 16, &r);
    ASSERT_TRUE(r.ok());
    size_t n = 0;
    const uint8_t *d = r.info(n);
    EXPECT_EQ(bytes(d, d + n), rmap_ref::example_data);
    std::vector<orw::unitsim::packet> sent = u.sent(node_link);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, rmap_ref::write_command);
    EXPECT_EQ(sent[1].data, rmap_ref::read_command);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Commands of the initiator and the packet each puts on the link.
TEST(RmapInitiator, CommandLayouts)
{
    unit u;
    const uint8_t rpath[5] = {1, 2, 3, 4, 5};
    const uint8_t path[2] = {0x07, 0x03};
    std::unique_ptr<orw::spacewire::device_t> routed(
        u.ifc.device("routed", "memory", node_link, path, 2, rpath, 5, 0xFE, 0x67));
    u.ifc.tid_seed(0, 0x1234);
    const bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    struct row {
        const char *name;
        std::function<void(quiet_response &)> op;
        bytes packet;
    } rows[] = {
        {"read 4 at 0x1000",
         [&](quiet_response &t) {
             std::unique_ptr<orw::spacewire::device_t> fe(u.ifc.device("fe", "t", node_link, 0xFE, 0xFE));
             fe->rmap_read(0x20, 0, 0x00, 0x1000, 4, &t);
         },
         with_crc(
             {0xFE, 0x01, 0x48, 0x20, 0xFE, 0x12, 0x34, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04})},
        {"write of nothing", [&](quiet_response &t) { u.node->rmap_write(0, 0, 0, base, nullptr, 0, &t); },
         with_crc({0xFE, 0x01, 0x68, 0x00, 0x67, 0x12, 0x35, 0x00, 0xA0, 0, 0, 0, 0, 0, 0}) + bytes{0x00}},
        {"write without reply, all flags",
         [&](quiet_response &) { u.node->rmap_write_noreply(0, 0xFF, 0, base, eight.data(), 1); },
         with_crc({0xFE, 0x01, 0x74, 0x00, 0x67, 0x00, 0x00, 0x00, 0xA0, 0, 0, 0, 0, 0, 1}) + bytes{1, 0x91}},
        {"rmw of 4",
         [&](quiet_response &t) {
             u.node->rmap_readmodifywrite(0, 0, base, eight.data(), eight.data() + 4, 4, &t);
         },
         with_crc({0xFE, 0x01, 0x5C, 0x00, 0x67, 0x12, 0x36, 0x00, 0xA0, 0, 0, 0, 0, 0, 8}) + eight +
             bytes{rmap_ref::crc(eight, 0, 8)}},
        {"path and two-word return path",
         [&](quiet_response &t) { routed->rmap_autoincrement(0, 0, base, 2, &t); },
         bytes{0x07, 0x03} + with_crc({0xFE, 0x01, 0x4E, 0x00, 0,    0, 0, 1, 2, 3, 4, 5,
                                       0x67, 0x12, 0x37, 0x00, 0xA0, 0, 0, 0, 0, 0, 2})},
    };
    for (const row &r : rows) {
        size_t before = u.sent(node_link).size();
        quiet_response t(5);
        r.op(t);
        std::vector<orw::unitsim::packet> sent = u.sent(node_link, before + 1);
        ASSERT_EQ(sent.size(), before + 1) << r.name;
        EXPECT_EQ(sent.back().data, r.packet) << r.name;
    }
}

TEST(RmapInitiator, RefusalsBeforeAnythingIsSent)
{
    unit u;
    quiet_response t;
    bytes nine(9, 0);
    auto pointer_thrown = [](auto op) -> bool {
        try {
            op();
        } catch (std::exception *e) {
            delete e;
            return true;
        }
        return false;
    };
    EXPECT_TRUE(pointer_thrown([&] { u.node->rmap_read(0, 0, 0, base, 4, nullptr); }));
    // Data length 10: more than the 4 data bytes a read-modify-write carries.
    try {
        u.node->rmap_readmodifywrite(0, 0, base, nine.data(), nine.data(), 5, &t);
        ADD_FAILURE() << "a read-modify-write of 5 data bytes was accepted";
    } catch (rmap::toomuchrmwdata *e) {
        delete e;
    }
    EXPECT_TRUE(pointer_thrown(
        [&] { u.node->rmap_readmodifywrite(0, 0, base, nine.data(), nine.data(), 4, nullptr); }));
    EXPECT_TRUE(pointer_thrown([&] { u.node->rmap_write_file(0, 0, 0, base, "/nonexistent/file", &t); }));
    try {
        u.node->rmap_read(0, 0, 0, base, 0x1000000, &t);
        ADD_FAILURE() << "a 16 MiB read was accepted";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), Error_Request_Too_Large);
    }
    EXPECT_EQ(u.sent(node_link).size(), 0u);
    EXPECT_EQ(rmap::live_transactions(), 0u);
    // A path that leaves no room for the header in 64 bytes.
    bytes long_path(49, 0x01);
    std::unique_ptr<orw::spacewire::device_t> far(
        u.ifc.device("far", "t", node_link, long_path.data(), long_path.size(), nullptr, 0, 0xFE, 0x67));
    EXPECT_THROW(far->rmap_read(0, 0, 0, base, 4, &t), orw::spacewire::address_error);
    EXPECT_EQ(rmap::live_transactions(), 0u);
    EXPECT_THROW(u.ifc.tid_scope(32, true), orw::error);
    EXPECT_THROW(u.ifc.tid_handler(40, nullptr), orw::error);
    EXPECT_THROW(u.ifc.tid_seed(0x100, 1), orw::error);
    EXPECT_TRUE(pointer_thrown([&] { u.ifc.tid_seed(3, 7); }));
    u.ifc.tid_scope(3, true);
    EXPECT_FALSE(pointer_thrown([&] { u.ifc.tid_seed(3, 7); }));
}

TEST(RmapInitiator, WritesFromFilesAndFailingDescriptors)
{
    unit u;
    char name[] = "/tmp/orwin_rmap_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    bytes content(40000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    quiet_response t;
    u.node->rmap_write_file(0, rmap::instr_increment, 0, base, name, &t);
    EXPECT_TRUE(t.ok());
    EXPECT_EQ(u.sim.rmap_memory(node_link, base, content.size()), content);

    // A descriptor that cannot be read: the packet ends with EEP, the
    // transaction is cancelled and the call throws instead of hanging.
    int wronly = open(name, O_WRONLY);
    ASSERT_GE(wronly, 0);
    EXPECT_THROW(u.node->rmap_write_fd(0, 0, 0, base, wronly, &t), orw::error);
    close(wronly);
    unlink(name);
    EXPECT_EQ(rmap::live_transactions(), 0u);
    std::vector<orw::unitsim::packet> sent = u.sent(node_link, 2);
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(sent.back().eep);
    // The connection goes on working.
    quiet_response r;
    u.node->rmap_read(0, rmap::instr_increment, 0, base, 4, &r);
    EXPECT_TRUE(r.ok());
}

// Descriptors that announce no size (pipe, FIFO, /proc file) are read to
// their end and sent whole; a directory is refused before anything is sent.
// The writers fit the pipe buffer, so a regression fails instead of hanging.
TEST(RmapInitiator, WritesFromPipesFifosAndProcFiles)
{
    unit u;
    bytes content(60000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>(i * 13 + 1);
    auto write_all = [&](int fd) {
        for (size_t done = 0; done < content.size();) {
            ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    };
    std::string fifo = "/tmp/orwin_rmap_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    bytes version(4096);
    int vfd = open("/proc/version", O_RDONLY);
    ASSERT_GE(vfd, 0);
    version.resize(static_cast<size_t>(std::max<ssize_t>(0, ::read(vfd, version.data(), version.size()))));
    close(vfd);
    struct row {
        const char *name;
        std::function<void(quiet_response &)> send;
        const bytes &expected;
    } rows[] = {
        {"pipe",
         [&](quiet_response &t) {
             int fds[2];
             ASSERT_EQ(pipe(fds), 0);
             write_all(fds[1]);
             u.node->rmap_write_fd(0, rmap::instr_increment, 0, base, fds[0], &t);
             close(fds[0]);
         },
         content},
        {"FIFO",
         [&](quiet_response &t) {
             std::thread writer([&] { write_all(open(fifo.c_str(), O_WRONLY)); });
             u.node->rmap_write_file(0, rmap::instr_increment, 0, base, fifo, &t);
             writer.join();
         },
         content},
        {"/proc file",
         [&](quiet_response &t) {
             u.node->rmap_write_file(0, rmap::instr_increment, 0, base, "/proc/version", &t);
         },
         version},
    };
    for (const row &r : rows) {
        quiet_response t;
        r.send(t);
        EXPECT_TRUE(t.ok()) << r.name;
        EXPECT_EQ(u.sim.rmap_memory(node_link, base, r.expected.size()), r.expected) << r.name;
        u.sim.set_rmap_memory(node_link, base, bytes(content.size(), 0));
    }
    unlink(fifo.c_str());
    ASSERT_FALSE(version.empty());

    size_t before = u.sent(node_link, 3).size();
    quiet_response d;
    try {
        u.node->rmap_write_file(0, 0, 0, base, "/tmp", &d);
        ADD_FAILURE() << "a directory was sent";
    } catch (rmap::nosuchfile *e) {
        EXPECT_EQ(e->f, "/tmp");
        delete e;
    }
    EXPECT_EQ(u.sent(node_link).size(), before);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Reads from just under 1 MiB to the largest the 24-bit length allows
// deliver all their data.
TEST(RmapInitiator, ReadsOfAMebibyteAndMoreDeliverTheirData)
{
    orw::unitsim::config cfg = config(false);
    cfg.rmap_targets[node_link].memory_size = 1u << 24;
    orw::unitsim::simulator sim(cfg);
    orw::spacewire::connection_t ifc(sim.address(), 100.0);
    std::unique_ptr<orw::spacewire::device_t> node(ifc.device("node", "memory", node_link, 0xFE, 0x67));
    bytes memory(rmap::max_data_length);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16));
    sim.set_rmap_memory(node_link, base, memory);
    for (size_t n : {size_t(0xFFFFF), size_t(0x100000), size_t(0x100001), size_t(rmap::max_data_length)}) {
        quiet_response r(1000);
        r.set_copydata(true);
        node->rmap_read(0, rmap::instr_increment, 0, base, n, &r);
        ASSERT_TRUE(r.ok()) << n;
        size_t got = 0;
        const uint8_t *d = r.info(got);
        ASSERT_EQ(got, n);
        EXPECT_TRUE(std::equal(d, d + n, memory.begin())) << n;
    }
    // The next short read still works after the buffer went back to its size.
    quiet_response r;
    node->rmap_read(0, rmap::instr_increment, 0, base, 4, &r);
    EXPECT_TRUE(r.ok());
}

TEST(RmapTransactions, TimeOutThenLateReplyIsDropped)
{
    unit u;
    u.sim.set_rmap_drop_replies(slow_link, true);
    quiet_response t(50);
    auto t0 = std::chrono::steady_clock::now();
    u.slow->rmap_read(0, 0, 0, base, 4, &t);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_FALSE(t.ok());
    EXPECT_EQ(t.status_code(), 0);
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::milliseconds(2000));

    u.sim.set_rmap_drop_replies(slow_link, false);
    u.sim.set_rmap_reply_delay(slow_link, 200);
    quiet_response late(5);
    u.slow->rmap_read(0, 0, 0, base, 4, &late);
    EXPECT_FALSE(late.ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(late.ok()) << "the late reply completed a timed-out transaction";
    EXPECT_EQ(rmap::live_transactions(), 0u);

    // Printing on: the time-out line names the TID and the label.
    quiet_response shown(3);
    shown.verbose(true);
    shown.set_id("probe");
    testing::internal::CaptureStdout();
    u.slow->rmap_read(0, 0, 0, base, 4, &shown);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "message " + std::to_string(shown.get_mid()) + " (probe): timedout\n");
}

TEST(RmapTarget, ServesTheSimulatorsInitiator)
{
    unit u;
    rmap::handler target;
    u.ifc.set_verbose(initiator_link, false);
    u.ifc.rmap_server(initiator_link, &target);
    using op = orw::unitsim::rmap_request::op;
    orw::unitsim::rmap_request read;
    read.what = op::read;
    read.tid = 0x0102;
    read.length = 4;
    read.reply_address = {0x00, 0x00, 0x03, 0x07};
    orw::unitsim::rmap_request write = read;
    write.what = op::write;
    write.reply_address.clear();
    write.data = {9, 8, 7};
    orw::unitsim::rmap_request rmw = write;
    rmw.what = op::rmw;
    rmw.data = {1, 2, 3, 4, 5, 6, 7, 8};
    struct row {
        const char *name;
        orw::unitsim::rmap_request request;
        uint8_t status;
        bytes data;
    } rows[] = {
        {"read with reply address", read, 0x33, {0, 1, 2, 3}},
        {"write", write, 0x66, {}},
        {"read-modify-write", rmw, 0x99, {0, 1, 2, 3}},
    };
    for (const row &r : rows) {
        orw::unitsim::rmap_result res = u.sim.rmap_transact(initiator_link, r.request, 2000);
        EXPECT_TRUE(res.replied) << r.name;
        EXPECT_EQ(res.problem, "") << r.name;
        EXPECT_EQ(res.status, r.status) << r.name;
        EXPECT_EQ(res.data, r.data) << r.name;
    }
    write.reply = false;
    orw::unitsim::rmap_result none = u.sim.rmap_transact(initiator_link, write, 200);
    EXPECT_FALSE(none.replied);
    EXPECT_EQ(none.problem, "");
    u.ifc.unregister_protocol(initiator_link, 1);
}

// Many threads share one connection: most reads go to the prompt node, some
// to the slow one, whose replies come after the time-out. Every response
// completes exactly once, with the data of its own request.
TEST(RmapTransactions, ManyThreadsCompleteEveryResponseExactlyOnce)
{
    unit u(false);
    constexpr int threads = 8;
    constexpr int per_thread = 10000;
    constexpr int slow_every = 1000;
    bytes pattern(threads * 64);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 13 + 5);
    u.sim.set_rmap_memory(node_link, base, pattern);
    u.sim.set_rmap_reply_delay(slow_link, 250); // well after the 2-tick time-out, even under load

    struct counting : quiet_response {
        using quiet_response::quiet_response;
        using quiet_response::read_reply;
        std::atomic<int> completions{0};
        void read_reply(uint8_t, uint32_t) override { ++completions; }
        void timedout() override { ++completions; }
    };
    std::atomic<int> wrong{0}, timeouts{0}, unexpected{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            counting c(200);
            counting late(2);
            for (int i = 0; i < per_thread; ++i) {
                bool slow = i % slow_every == slow_every - 1;
                counting &r = slow ? late : c;
                r.completions = 0;
                uint32_t offset = static_cast<uint32_t>(t * 64 + (i % 60));
                (slow ? u.slow : u.node)->rmap_read(0, rmap::instr_increment, 0, base + offset, 4, &r);
                if (r.completions != 1)
                    ++wrong;
                if (slow) {
                    timeouts += r.ok() ? 0 : 1;
                    continue;
                }
                size_t n = 0;
                const uint8_t *d = r.info(n);
                if (!r.ok() || n != 4 || !std::equal(d, d + 4, pattern.begin() + offset))
                    ++unexpected;
            }
        });
    }
    for (auto &th : pool)
        th.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // late replies drain
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(timeouts.load(), threads * (per_thread / slow_every));
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// A reply delivered around the timer's tick: whichever removes the
// transaction first completes it, the other finds nothing.
TEST(RmapTransactions, ReplyRacingTheTimeOutCompletesOnce)
{
    struct counting : rmap::transaction_response {
        std::atomic<int> n{0};
        counting() : transaction_response(1, nullptr) { verbose(false); }
        void timedout() override { ++n; }
        void write_reply(uint8_t) override { ++n; }
    };
    rmap::timer.start();
    rmap::transinfo table;
    int replied = 0, expired = 0;
    for (int i = 0; i < 200; ++i) {
        counting r;
        uint16_t id = table.transaction(&r);
        std::this_thread::sleep_for(std::chrono::microseconds((i % 25) * 500));
        rmap::transaction_response *tr = table.find(id);
        if (tr) {
            tr->set_status(false, 0);
            tr->write_reply(0);
            tr->completed();
        }
        (tr ? replied : expired) += 1;
        while (r.tx.load())
            std::this_thread::yield();
        ASSERT_EQ(r.n.load(), 1) << "iteration " << i;
        EXPECT_EQ(r.ok(), tr != nullptr) << "iteration " << i;
    }
    EXPECT_GT(replied, 0);
    EXPECT_GT(expired, 0);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// ---- Faults: every wait ends, every reply is checked against its command ----

namespace {

using outcome = rmap::transaction_outcome;

using test::eventually;

// A reply from the slow node (0xFE) to the client (0x67): header with its
// CRC and, unless it is a write reply, data with its CRC.
bytes reply_packet(uint8_t pt, uint16_t tid, const bytes &data, uint8_t status = 0)
{
    bytes p =
        with_crc({0x67, 0x01, pt, status, 0xFE, static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid)});
    if (pt & rmap::instr_write)
        return p;
    p.pop_back();
    const uint32_t n = static_cast<uint32_t>(data.size());
    p = with_crc(p + bytes{0x00, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                           static_cast<uint8_t>(n)});
    return p + data + bytes{rmap_ref::crc(data, 0, data.size())};
}

// An asynchronous response that counts its CRC-error calls.
struct async_response : rmap::transaction_response {
    std::atomic<int> crc_errors{0};
    async_response() : transaction_response(300, nullptr)
    {
        verbose(false);
        set_copydata(true);
    }
    void crc_error() override { ++crc_errors; }
};

bytes eight()
{
    return {1, 2, 3, 4, 5, 6, 7, 8};
}

// An asynchronous response is the caller's again once its completion is
// over, which clears its table last.
bool ended(const rmap::transaction_response &r)
{
    return r.outcome() != outcome::pending && !r.tx.load();
}

} // namespace

// Replies arriving for a command of the slow node (which executes commands
// but never answers): damaged ones end their transaction at once as CRC
// errors, ones that do not fit the command as invalid, never as a success.
TEST(RmapFaults, RepliesAreCheckedAgainstTheirCommand)
{
    deadline guard(std::chrono::seconds(60), "checked replies");
    unit u;
    u.sim.set_rmap_drop_replies(slow_link, true);
    auto flip_last = [](bytes b) {
        b.back() ^= 0xFF;
        return b;
    };
    struct row {
        const char *what;
        char op; // 'r' read of 8, 'w' write with reply, 'm' read-modify-write of 4
        std::function<bytes(uint16_t)> reply;
        bool eep;
        outcome want;
    } rows[] = {
        {"good read", 'r', [](uint16_t t) { return reply_packet(0x08, t, eight()); }, false,
         outcome::replied},
        {"data CRC wrong", 'r', [&](uint16_t t) { return flip_last(reply_packet(0x08, t, eight())); }, false,
         outcome::crc_error},
        {"fewer data bytes than its length", 'r',
         [](uint16_t t) {
             bytes p = reply_packet(0x08, t, eight());
             p.resize(p.size() - 5);
             return p;
         },
         false, outcome::crc_error},
        {"ends with EEP", 'r', [](uint16_t t) { return reply_packet(0x08, t, eight()); }, true,
         outcome::crc_error},
        {"bytes after the data CRC", 'r',
         [](uint16_t t) { return reply_packet(0x08, t, eight()) + bytes{0}; }, false, outcome::crc_error},
        {"write reply to a read", 'r', [](uint16_t t) { return reply_packet(0x28, t, {}); }, false,
         outcome::invalid_reply},
        {"32 bytes for 8", 'r', [](uint16_t t) { return reply_packet(0x08, t, bytes(32, 9)); }, false,
         outcome::invalid_reply},
        {"2 bytes for 8 with status 0", 'r',
         [](uint16_t t) {
             return reply_packet(0x08, t, {1, 2});
         },
         false, outcome::invalid_reply},
        {"2 bytes for 8 with a failure status", 'r',
         [](uint16_t t) {
             return reply_packet(0x08, t, {1, 2}, 10);
         },
         false, outcome::replied},
        {"reserved bit set", 'r', [](uint16_t t) { return reply_packet(0x88, t, eight()); }, false,
         outcome::invalid_reply},
        {"reply bit clear", 'r', [](uint16_t t) { return reply_packet(0x00, t, eight()); }, false,
         outcome::invalid_reply},
        {"good write", 'w', [](uint16_t t) { return reply_packet(0x28, t, {}); }, false, outcome::replied},
        {"read reply to a write", 'w', [](uint16_t t) { return reply_packet(0x08, t, {}); }, false,
         outcome::invalid_reply},
        {"bytes after a write reply", 'w', [](uint16_t t) { return reply_packet(0x28, t, {}) + bytes{0}; },
         false, outcome::crc_error},
        {"good read-modify-write", 'm',
         [](uint16_t t) {
             return reply_packet(0x1C, t, {1, 2, 3, 4});
         },
         false, outcome::replied},
        {"read-modify-write answered with data and mask", 'm',
         [](uint16_t t) { return reply_packet(0x1C, t, eight()); }, false, outcome::invalid_reply},
    };
    const bytes four = {1, 2, 3, 4};
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        async_response a;
        if (r.op == 'r')
            u.slow->rmap_read(0, 0, 0, base, 8, &a);
        else if (r.op == 'w')
            u.slow->rmap_write(0, 0, 0, base, four.data(), 4, &a);
        else
            u.slow->rmap_readmodifywrite(0, 0, base, four.data(), four.data(), 4, &a);
        u.sim.emit_packet(slow_link, r.reply(a.get_mid()), r.eep);
        ASSERT_TRUE(eventually([&] { return ended(a); }, 1000)) << "left to its time-out";
        EXPECT_EQ(a.outcome(), r.want) << rmap::outcome_text(a.outcome());
        EXPECT_EQ(a.ok(), r.want == outcome::replied);
        EXPECT_EQ(a.crc_errors.load(), r.want == outcome::crc_error ? 1 : 0);
    }

    // A damaged header is no reply at all: the transaction waits on.
    async_response a;
    u.slow->rmap_read(0, 0, 0, base, 8, &a);
    bytes bad_header = reply_packet(0x08, a.get_mid(), eight());
    bad_header[11] ^= 0xFF;
    u.sim.emit_packet(slow_link, bad_header);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(a.outcome(), outcome::pending);
    a.cancel();

    // A reused response starts empty: a mismatched reply leaves no data of
    // the previous one behind.
    rmap::transaction_response again(300, nullptr);
    again.verbose(false);
    again.set_copydata(true);
    u.node->rmap_read(0, rmap::instr_increment, 0, base, 8, &again);
    ASSERT_TRUE(eventually([&] { return ended(again); }, 1000));
    ASSERT_EQ(again.outcome(), outcome::replied);
    u.slow->rmap_read(0, 0, 0, base, 8, &again);
    EXPECT_EQ(again.size(), 0u);
    size_t n = 1;
    EXPECT_EQ(again.info(n), nullptr);
    u.sim.emit_packet(slow_link, reply_packet(0x28, again.get_mid(), {}));
    ASSERT_TRUE(eventually([&] { return ended(again); }, 1000));
    EXPECT_EQ(again.outcome(), outcome::invalid_reply);
    EXPECT_EQ(again.size(), 0u);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// The unit drops the connection: every waiter wakes at once with
// "connection lost", whatever its time-out, and later operations fail at
// once with the reader's code and text.
TEST(RmapFaults, LostConnectionEndsEveryTransactionAtOnce)
{
    deadline guard(std::chrono::seconds(20), "lost connection");
    unit u;
    u.sim.set_rmap_drop_replies(slow_link, true);
    const uint32_t ticks[] = {0, 1000, 3000};
    std::vector<std::unique_ptr<quiet_response>> waiting;
    std::vector<std::thread> waiters;
    std::atomic<long long> latest{0};
    const auto t0 = std::chrono::steady_clock::now();
    for (uint32_t t : ticks) {
        waiting.emplace_back(new quiet_response(t));
        quiet_response *r = waiting.back().get();
        waiters.emplace_back([&, r] {
            u.slow->rmap_read(0, 0, 0, base, 4, r);
            long long at = ms_since(t0);
            long long seen = latest.load();
            while (at > seen && !latest.compare_exchange_weak(seen, at)) {
            }
        });
    }
    ASSERT_TRUE(eventually([&] { return u.sim.rmap_commands(slow_link) >= 3; }, 2000));
    const long long dropped = ms_since(t0);
    u.sim.drop_connections();
    for (auto &w : waiters)
        w.join();
    EXPECT_LT(latest.load() - dropped, 100);
    for (auto &r : waiting) {
        EXPECT_EQ(r->outcome(), outcome::connection_lost) << rmap::outcome_text(r->outcome());
        EXPECT_FALSE(r->ok());
    }
    EXPECT_TRUE(u.ifc.is_lost());

    const auto t1 = std::chrono::steady_clock::now();
    quiet_response later(0);
    auto expect_lost = [](const std::function<void()> &op) {
        try {
            op();
            ADD_FAILURE() << "an operation on a lost connection went through";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), orw::connection::Error_Receiver_Shutdown);
            EXPECT_STREQ(e.text(), "Connection closed by the unit");
        }
    };
    expect_lost([&] { u.node->rmap_read(0, 0, 0, base, 4, &later); });
    expect_lost([&] { u.node->rmap_write_noreply(0, 0, 0, base, rmap_ref::example_data.data(), 4); });
    expect_lost([&] { u.node->raw_send(0x99, rmap_ref::example_data.data(), 4); });
    EXPECT_LT(ms_since(t1), 100);
    EXPECT_EQ(later.outcome(), outcome::pending) << "refused before it was registered";
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Destroying a connection with transactions in flight ends each of them
// before its tables go, also while the timer is expiring some of them.
TEST(RmapFaults, DestroyingTheConnectionEndsItsTransactionsFirst)
{
    deadline guard(std::chrono::seconds(60), "destroyed connection");
    orw::unitsim::simulator sim(config(false));
    sim.set_rmap_drop_replies(slow_link, true);
    for (uint32_t round = 0; round < 6; ++round) {
        auto ifc = std::make_unique<orw::spacewire::connection_t>(sim.address(), 100.0);
        std::unique_ptr<orw::spacewire::device_t> slow(ifc->device("slow", "memory", slow_link, 0xFE, 0x67));
        const uint32_t ticks[] = {0, 1000, 1 + round};
        std::vector<std::unique_ptr<quiet_response>> waiting;
        std::vector<std::thread> waiters;
        const uint64_t before = sim.rmap_commands(slow_link);
        for (uint32_t t : ticks) {
            waiting.emplace_back(new quiet_response(t));
            quiet_response *r = waiting.back().get();
            waiters.emplace_back([&slow, r] { slow->rmap_read(0, 0, 0, base, 4, r); });
        }
        ASSERT_TRUE(eventually([&] { return sim.rmap_commands(slow_link) >= before + 3; }, 2000));
        // Their sends are over (the unit has the commands); taking the write
        // lock once orders them before the destruction.
        ifc->acquire_write_lock();
        ifc->release_write_lock();
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
        ifc.reset();
        for (auto &w : waiters)
            w.join();
        EXPECT_EQ(waiting[0]->outcome(), outcome::cancelled);
        EXPECT_EQ(waiting[1]->outcome(), outcome::cancelled);
        EXPECT_TRUE(waiting[2]->outcome() == outcome::cancelled ||
                    waiting[2]->outcome() == outcome::timed_out)
            << rmap::outcome_text(waiting[2]->outcome());
    }
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// A unit that stops reading: the send gives up after the send time-out with
// no byte accepted, the connection is lost, and its waiters wake.
TEST(RmapFaults, AUnitThatStopsReadingFailsTheSendAndLosesTheConnection)
{
    deadline guard(std::chrono::seconds(30), "unit that stops reading");
    auto u = std::make_unique<unit>(false);
    u->sim.set_rmap_drop_replies(slow_link, true);
    u->ifc.set_send_timeout(300);
    EXPECT_EQ(u->ifc.send_timeout(), 300);
    quiet_response waiting(0);
    std::thread waiter([&] { u->slow->rmap_read(0, 0, 0, base, 4, &waiting); });
    ASSERT_TRUE(eventually([&] { return u->sim.rmap_commands(slow_link) >= 1; }, 2000));
    u->sim.set_reading(false);
    bytes big(rmap::max_data_length, 0x5A);
    quiet_response w(0);
    auto t0 = std::chrono::steady_clock::now();
    try {
        u->node->rmap_write(0, 0, 0, base, big.data(), big.size(), &w);
        ADD_FAILURE() << "a send to a unit that reads nothing went through";
    } catch (const orw::error &e) {
        // The transmit path's failure of a send.
        EXPECT_EQ(e.get(), orw::connection::Error_RecFile_Open);
        EXPECT_STREQ(e.text(), "Unable to send data");
    }
    EXPECT_GE(ms_since(t0), 300);
    EXPECT_LT(ms_since(t0), 3000);
    waiter.join();
    EXPECT_EQ(waiting.outcome(), outcome::connection_lost);
    // Its own failed send cancels it, unless the reader's sweep came first.
    EXPECT_TRUE(w.outcome() == outcome::pending || w.outcome() == outcome::connection_lost);
    EXPECT_TRUE(u->ifc.is_lost());
    EXPECT_THROW(u->node->rmap_read(0, 0, 0, base, 4, &w), orw::error);
    t0 = std::chrono::steady_clock::now();
    u.reset();
    EXPECT_LT(ms_since(t0), 2000);
}

// Eight threads issue mixed operations while the unit drops the connection;
// then the connection goes. Every operation returns, none is left pending.
TEST(RmapFaults, MixedThreadsThroughADropAndADestruction)
{
    deadline guard(std::chrono::seconds(60), "threads through a drop");
    auto u = std::make_unique<unit>(false);
    u->sim.set_rmap_reply_delay(slow_link, 30);
    std::atomic<int> pending{0}, failures{0}, done{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 8; ++t) {
        pool.emplace_back([&, t] {
            quiet_response r(t % 2 ? 0 : 5);
            const bytes four = {1, 2, 3, 4};
            for (int i = 0;; ++i) {
                orw::spacewire::device_t *dev = (i + t) % 3 ? u->node.get() : u->slow.get();
                try {
                    switch ((i + t) % 4) {
                    case 0:
                        dev->rmap_read(0, rmap::instr_increment, 0, base, 4, &r);
                        break;
                    case 1:
                        dev->rmap_write(0, rmap::instr_increment, 0, base, four.data(), 4, &r);
                        break;
                    case 2:
                        dev->rmap_readmodifywrite(0, 0, base, four.data(), four.data(), 2, &r);
                        break;
                    default:
                        dev->rmap_write_noreply(0, rmap::instr_increment, 0, base, four.data(), 4);
                        continue;
                    }
                } catch (const orw::error &) {
                    ++failures;
                    break;
                }
                if (r.outcome() == outcome::pending)
                    ++pending;
                if (r.outcome() == outcome::connection_lost)
                    break;
            }
            ++done;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    u->sim.drop_connections();
    ASSERT_TRUE(eventually([&] { return done.load() == 8; }, 5000));
    for (auto &th : pool)
        th.join();
    u.reset();
    EXPECT_EQ(pending.load(), 0);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Hundreds of reads, writes and read-modify-writes in flight from one thread
// through futures: each ends with its own data, and the ones that cannot be
// answered end by time-out, lost connection or destruction, never silently.
TEST(RmapAsync, ManyInFlightFromOneThreadEndWithTheirOwnResult)
{
    deadline guard(std::chrono::seconds(60), "asynchronous transactions");
    unit u(false);
    constexpr size_t n = 300;
    bytes memory(4 * n);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    u.sim.set_rmap_memory(node_link, base, memory);

    std::vector<std::future<rmap::result>> reads, writes;
    const bytes written = {0xDE, 0xAD, 0xBE, 0xEF};
    for (size_t i = 0; i < n; ++i) {
        reads.push_back(u.node->rmap_read_async(0, base + static_cast<uint32_t>(4 * i), 4, 500));
        if (i % 10 == 0)
            writes.push_back(
                u.node->rmap_write_async(0, base + 0x10000 + static_cast<uint32_t>(i), written.data(), 4));
    }
    const bytes data = {0xFF, 0x00, 0xFF, 0x00}, mask = {0x0F, 0x0F, 0xF0, 0xF0};
    auto rmw = u.node->rmap_rmw_async(0, base, data.data(), mask.data(), 4, 500);
    for (size_t i = 0; i < n; ++i) {
        rmap::result r = reads[i].get();
        ASSERT_TRUE(r.ok()) << i << " " << rmap::outcome_text(r.outcome);
        EXPECT_EQ(r.data, bytes(memory.begin() + 4 * i, memory.begin() + 4 * i + 4)) << i;
    }
    for (auto &w : writes) {
        rmap::result r = w.get();
        EXPECT_TRUE(r.ok());
        EXPECT_TRUE(r.data.empty());
    }
    rmap::result m = rmw.get();
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m.data, bytes(memory.begin(), memory.begin() + 4))
        << "a read-modify-write returns the old value";
    EXPECT_EQ(u.sim.rmap_memory(node_link, base + 0x10000 + 10, 4), written);

    // A target's failure is a reply with its status, not a success.
    rmap::result denied = u.node->rmap_read_async(0x55, base, 4, 500).get();
    EXPECT_EQ(denied.outcome, outcome::replied);
    EXPECT_NE(denied.status, 0);
    EXPECT_FALSE(denied.ok());

    // Unanswered: a time-out ends one, losing the connection ends the rest.
    u.sim.set_rmap_drop_replies(slow_link, true);
    EXPECT_EQ(u.slow->rmap_read_async(0, base, 4, 3).get().outcome, outcome::timed_out);
    std::vector<std::future<rmap::result>> stuck;
    for (int i = 0; i < 50; ++i)
        stuck.push_back(u.slow->rmap_read_async(0, base, 4, i % 2 ? 0 : 3000));
    ASSERT_TRUE(eventually([&] { return u.sim.rmap_commands(slow_link) >= 51; }, 2000));
    u.sim.drop_connections();
    for (auto &f : stuck) {
        ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(f.get().outcome, outcome::connection_lost);
    }
    EXPECT_THROW(u.node->rmap_read_async(0, base, 4), orw::error);
    EXPECT_THROW(
        {
            try {
                u.node->rmap_rmw_async(0, base, data.data(), mask.data(), 5);
            } catch (rmap::toomuchrmwdata *e) {
                delete e;
                throw std::runtime_error("refused");
            }
        },
        std::runtime_error);

    // Destroying a connection ends what is in flight on it.
    orw::unitsim::simulator sim(config(false));
    sim.set_rmap_drop_replies(slow_link, true);
    auto ifc = std::make_unique<orw::spacewire::connection_t>(sim.address(), 100.0);
    std::unique_ptr<orw::spacewire::device_t> slow(ifc->device("slow", "memory", slow_link, 0xFE, 0x67));
    std::vector<std::future<rmap::result>> pending;
    for (int i = 0; i < 20; ++i)
        pending.push_back(slow->rmap_read_async(0, base, 4));
    ASSERT_TRUE(eventually([&] { return sim.rmap_commands(slow_link) >= 20; }, 2000));
    ifc.reset();
    for (auto &f : pending)
        EXPECT_EQ(f.get().outcome, outcome::cancelled);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Callbacks in flight from one thread: each runs exactly once, on the thread
// that ended its transaction, with its own outcome; one that throws leaves
// the reader serving the rest, and a call that throws never runs its own.
TEST(RmapAsync, CallbacksRunOnceEachWithTheirOwnOutcome)
{
    deadline guard(std::chrono::seconds(60), "asynchronous callbacks");
    unit u(false);
    constexpr size_t reads = 200, timed = 10, untimed = 20, total = reads + 2 + timed + untimed;
    bytes memory(4 * reads);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    u.sim.set_rmap_memory(node_link, base, memory);
    u.sim.set_rmap_drop_replies(slow_link, true);

    struct slot {
        std::atomic<int> calls{0};
        rmap::result r;
        std::thread::id on;
    };
    std::vector<slot> slots(total);
    std::atomic<size_t> ended{0};
    auto into = [&](size_t i) {
        return [&, i](rmap::result r) {
            slots[i].r = std::move(r);
            slots[i].on = std::this_thread::get_id();
            slots[i].calls.fetch_add(1);
            ended.fetch_add(1);
            if (i % 7 == 3)
                throw std::runtime_error("a careless callback");
            if (i % 7 == 5)
                throw 5;
        };
    };
    const bytes written = {0xC0, 0xFF, 0xEE, 0x00}, data = {0xFF, 0x00}, mask = {0xF0, 0xF0};
    size_t at = 0;
    for (; at < reads; ++at)
        u.node->rmap_read_async(0, base + static_cast<uint32_t>(4 * at), 4, into(at), 500);
    u.node->rmap_write_async(0, base + 0x10000, written.data(), 4, into(at++), 500);
    u.node->rmap_rmw_async(0, base + 4, data.data(), mask.data(), 2, into(at++), 500);
    for (; at < reads + 2 + timed; ++at)
        u.slow->rmap_read_async(0, base, 4, into(at), 3);
    for (; at < total; ++at)
        u.slow->rmap_read_async(0, base, 4, into(at));
    ASSERT_TRUE(eventually([&] { return ended.load() == reads + 2 + timed; }, 10000));
    ASSERT_TRUE(eventually([&] { return u.sim.rmap_commands(slow_link) >= timed + untimed; }, 2000));
    u.sim.drop_connections();
    ASSERT_TRUE(eventually([&] { return ended.load() == total; }, 5000));

    const std::thread::id me = std::this_thread::get_id();
    for (size_t i = 0; i < total; ++i) {
        const rmap::result &r = slots[i].r;
        EXPECT_EQ(slots[i].calls.load(), 1) << i;
        EXPECT_NE(slots[i].on, me) << i;
        if (i < reads) {
            ASSERT_TRUE(r.ok()) << i << " " << rmap::outcome_text(r.outcome);
            EXPECT_EQ(r.data, bytes(memory.begin() + 4 * i, memory.begin() + 4 * i + 4)) << i;
        } else if (i < reads + 2) {
            EXPECT_TRUE(r.ok()) << i;
        } else if (i < reads + 2 + timed) {
            EXPECT_EQ(r.outcome, outcome::timed_out) << i;
            EXPECT_EQ(slots[i].on, rmap::timer.timert.get_id()) << i;
        } else {
            EXPECT_EQ(r.outcome, outcome::connection_lost) << i;
        }
    }
    EXPECT_EQ(slots[reads + 1].r.data, bytes(memory.begin() + 4, memory.begin() + 6));
    EXPECT_EQ(u.sim.rmap_memory(node_link, base + 0x10000, 4), written);

    // Refused or failed calls throw and never call back.
    std::atomic<int> refused{0};
    auto count = [&](rmap::result) { refused.fetch_add(1); };
    EXPECT_THROW(u.node->rmap_read_async(0, base, 4, count), orw::error);
    try {
        u.node->rmap_rmw_async(0, base, data.data(), mask.data(), 5, count);
        ADD_FAILURE() << "five bytes accepted";
    } catch (rmap::toomuchrmwdata *e) {
        delete e;
    }

    // Destroying the connection ends and frees the callbacks still pending.
    orw::unitsim::simulator sim(config(false));
    sim.set_rmap_drop_replies(slow_link, true);
    auto ifc = std::make_unique<orw::spacewire::connection_t>(sim.address(), 100.0);
    std::unique_ptr<orw::spacewire::device_t> slow(ifc->device("slow", "memory", slow_link, 0xFE, 0x67));
    auto token = std::make_shared<int>(0);
    std::atomic<int> cancelled{0};
    for (int i = 0; i < 20; ++i)
        slow->rmap_read_async(0, base, 4, [&, token](rmap::result r) {
            cancelled.fetch_add(r.outcome == outcome::cancelled ? 1 : 100);
        });
    ASSERT_TRUE(eventually([&] { return sim.rmap_commands(slow_link) >= 20; }, 2000));
    ifc.reset();
    EXPECT_EQ(cancelled.load(), 20);
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// The timer ticks only while a transaction with a time-out is live.
TEST(RmapTransactions, TimerSleepsWhileNoTimedTransactionIsLive)
{
    deadline guard(std::chrono::seconds(20), "idle timer");
    unit u(false);
    u.sim.set_rmap_drop_replies(slow_link, true);
    quiet_response timed(2);
    u.slow->rmap_read(0, 0, 0, base, 4, &timed); // starts the timer
    EXPECT_EQ(timed.outcome(), outcome::timed_out);
    auto quiet_for = [](int ms) {
        const uint64_t before = rmap::timer.ticks.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return rmap::timer.ticks.load() == before;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // the last tick of that one
    EXPECT_TRUE(quiet_for(80));
    auto untimed = u.slow->rmap_read_async(0, base, 4, 0);
    EXPECT_TRUE(quiet_for(80)) << "a transaction without time-out woke the timer";
    const uint64_t before = rmap::timer.ticks.load();
    EXPECT_EQ(u.slow->rmap_read_async(0, base, 4, 3).get().outcome, outcome::timed_out);
    EXPECT_GE(rmap::timer.ticks.load() - before, 3u);
    u.sim.drop_connections();
    EXPECT_EQ(untimed.get().outcome, outcome::connection_lost);
}

// Threads that wait for their replies read the stream themselves while no
// other thread reads it: everything else that arrives meanwhile still
// reaches its handler, whole and in order, and stopping the reader ends
// their turn at once.
TEST(RmapTransactions, WaitersThatReadDeliverEverythingElseAndStopWithTheReader)
{
    deadline guard(std::chrono::seconds(60), "waiters reading the stream");
    constexpr int raw_link = 4;
    constexpr int packets = 2000;
    unit u(false);
    spwtest::piece_log raw;
    u.ifc.register_generic(raw_link, &raw);
    bytes memory(64);
    for (size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<uint8_t>(i * 3 + 1);
    u.sim.set_rmap_memory(node_link, base, memory);

    std::atomic<bool> reading{true};
    std::atomic<int> wrong{0}, reads{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 3; ++t)
        pool.emplace_back([&, t] {
            quiet_response r(200);
            for (uint32_t i = 0; reading; ++i, ++reads) {
                const uint32_t at = (i * 4 + static_cast<uint32_t>(t)) % 60;
                u.node->rmap_read(0, rmap::instr_increment, 0, base + at, 4, &r);
                size_t n = 0;
                const uint8_t *d = r.info(n);
                if (!r.ok() || n != 4 || !std::equal(d, d + 4, memory.begin() + at))
                    ++wrong;
            }
        });
    for (int i = 0; i < packets; ++i)
        u.sim.emit_packet(raw_link, {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0x5A});
    ASSERT_TRUE(eventually([&] { return raw.snapshot().size() >= packets; }, 10000));
    reading = false;
    for (auto &th : pool)
        th.join();
    std::vector<spwtest::piece_log::piece> got = raw.snapshot();
    ASSERT_EQ(got.size(), static_cast<size_t>(packets));
    for (int i = 0; i < packets; ++i)
        ASSERT_EQ(got[i].data, bytes({static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0x5A})) << i;
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(reads.load(), 0);

    // A waiter whose reply is late (most likely reading the stream itself,
    // right after another read) when the reader stops: the stop is bounded
    // as ever, and the read ends by its time-out as with no reader.
    u.sim.set_rmap_reply_delay(slow_link, 400);
    quiet_response late(20);
    std::thread waiter([&] {
        quiet_response quick(200);
        u.node->rmap_read(0, 0, 0, base, 4, &quick);
        u.slow->rmap_read(0, 0, 0, base, 4, &late);
    });
    ASSERT_TRUE(eventually([&] { return u.sim.rmap_commands(slow_link) >= 1; }, 2000));
    auto t0 = std::chrono::steady_clock::now();
    u.ifc.stop_server();
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(orw::spacewire::connection_t::reader_timeout_ms + 100));
    waiter.join();
    EXPECT_EQ(late.outcome(), rmap::transaction_outcome::timed_out);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// Commands issued close together leave in shared sends: threads queue
// behind each other and behind the reader. Every command must still reach
// the target promptly, whichever thread ends up sending it: synchronous reads
// from several threads, a window of futures from another, and writes without
// reply checked by reading them back. A stranded command would time out.
TEST(RmapTransactions, CommandsSentTogetherAllReachTheTarget)
{
    deadline limit(std::chrono::seconds(60), "commands sent together");
    unit u(false);
    u.ifc.start_server();
    constexpr int readers = 4, rounds = 2000, window = 32;
    constexpr uint32_t ticks = 200; // 2 s: far beyond any batching delay
    bytes pattern(256);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 7 + 3);
    u.sim.set_rmap_memory(node_link, base, pattern);
    std::atomic<int> failures{0};
    auto expect_pattern = [&](const uint8_t *d, size_t n, uint32_t offset) {
        if (n != 4 || !std::equal(d, d + 4, pattern.begin() + offset))
            ++failures;
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < readers; ++t)
        pool.emplace_back([&, t] {
            quiet_response r(ticks);
            for (int i = 0; i < rounds; ++i) {
                const uint32_t offset = static_cast<uint32_t>((t * 61 + i) % 252);
                u.node->rmap_read(0, rmap::instr_increment, 0, base + offset, 4, &r);
                size_t n = 0;
                const uint8_t *d = r.info(n);
                if (!r.ok())
                    ++failures;
                else
                    expect_pattern(d, n, offset);
            }
        });
    pool.emplace_back([&] {
        std::vector<std::pair<std::future<rmap::result>, uint32_t>> ring;
        for (int i = 0; i < rounds; ++i) {
            const uint32_t offset = static_cast<uint32_t>(i % 252);
            ring.emplace_back(u.node->rmap_read_async(0, base + offset, 4, ticks), offset);
            if (ring.size() < window)
                continue;
            rmap::result res = ring.front().first.get();
            if (res.ok())
                expect_pattern(res.data.data(), res.data.size(), ring.front().second);
            else
                ++failures;
            ring.erase(ring.begin());
        }
        for (auto &[f, offset] : ring) {
            rmap::result res = f.get();
            if (res.ok())
                expect_pattern(res.data.data(), res.data.size(), offset);
            else
                ++failures;
        }
    });
    pool.emplace_back([&] {
        quiet_response r(ticks);
        for (uint32_t i = 0; i < rounds / 4; ++i) {
            const uint8_t word[4] = {uint8_t(i), uint8_t(i >> 8), 0x5A, 0xA5};
            const uint32_t at = base + 0x1000 + 4 * (i % 64);
            u.node->rmap_write_noreply(0, rmap::instr_increment, 0, at, word, 4);
            u.node->rmap_read(0, rmap::instr_increment, 0, at, 4, &r);
            size_t n = 0;
            const uint8_t *d = r.info(n);
            if (!r.ok() || n != 4 || !std::equal(d, d + 4, word))
                ++failures;
        }
    });
    for (auto &th : pool)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rmap::live_transactions(), 0u);
}

// A command left to the reader while the unit reads nothing: the reader
// must not wait for room on the socket (the unit may be waiting for its own
// output to be read), so what the unit sends keeps arriving; once the unit
// reads again the command goes out and its reply comes.
TEST(RmapTransactions, TheReaderNeverWaitsForRoomToSend)
{
    deadline guard(std::chrono::seconds(60), "reader sending to a unit that reads nothing");
    constexpr int raw_link = 4;
    unit u(false);
    u.ifc.set_send_timeout(4000);
    struct holding_log : spwtest::piece_log {
        std::promise<void> entered, release;
        std::shared_future<void> go = release.get_future().share();
        void read_packet(unsigned char *data, size_t sz, int terminator) override
        {
            if (sz == 1 && data[0] == 0xAA) {
                entered.set_value();
                go.wait(); // the reader is busy dispatching meanwhile
            }
            piece_log::read_packet(data, sz, terminator);
        }
    } raw;
    u.ifc.register_generic(raw_link, &raw);
    u.ifc.start_server();

    // The unit stops reading and the socket towards it fills up.
    u.sim.set_reading(false);
    Orwin link = u.ifc.handle();
    {
        orw::spacewire::writelock hold(&u.ifc);
        ASSERT_EQ(Orwin_Non_Blocking(link, 1), 0);
    }
    bytes block(4000, 0x11);
    // Full once the socket has taken nothing for a while.
    for (int refused = 0; refused < 10;) {
        orw::spacewire::writelock hold(&u.ifc);
        int rc = Orwin_flush(link);
        if (rc == 0)
            rc = Orwin_write_packet(link, block.data(), block.size(), Orwin_EOP | Orwin_FLUSH);
        ASSERT_TRUE(rc == 0 || rc == orw::connection::Error_Would_Block) << rc;
        refused = rc == 0 ? 0 : refused + 1;
        if (rc != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        orw::spacewire::writelock hold(&u.ifc);
        ASSERT_EQ(Orwin_Non_Blocking(link, 0), 0);
    }

    // A write issued while the reader is held in a callback is left to it;
    // the socket has no room for it.
    u.sim.emit_packet(raw_link, {0xAA});
    raw.entered.get_future().wait();
    bytes data(64 * 1024, 0x5A);
    std::future<rmap::result> write = u.node->rmap_write_async(0, base, data.data(), data.size(), 0);
    raw.release.set_value();

    u.sim.emit_packet(raw_link, {0xBB});
    EXPECT_TRUE(eventually([&] { return raw.snapshot().size() == 2; }, 1000))
        << "the reader stopped reading while the unit read nothing";
    u.sim.set_reading(true);
    ASSERT_EQ(write.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(write.get().ok());
    EXPECT_EQ(u.sim.rmap_memory(node_link, base, data.size()), data);
    EXPECT_FALSE(u.ifc.is_lost());
}
