// SPDX-License-Identifier: MIT
// The simulator's RMAP target node, driven over a raw link with the standard's
// example packets and deliberately broken commands; and its initiator, driven
// against a hand-written client.
#include "../unitsim/src/rmap_node.hpp"
#include "Orwin.h"
#include "crc_agreement.hpp"
#include "orwin_unitsim.hpp"
#include "rmap_reference.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

using rmap_ref::bytes;

namespace {

constexpr int node_link = 1;

struct raw_client {
    Orwin link = nullptr;

    explicit raw_client(orw::unitsim::simulator &sim, int ms = 1000)
    {
        std::string address = sim.address();
        link = Orwin_open(address.data());
        if (link) {
            Orwin_set_active_link(link, node_link);
            Orwin_set_rx_timeout(link, ms);
        }
    }
    ~raw_client()
    {
        if (link)
            Orwin_close(link);
    }
    void send(bytes p) { Orwin_write_packet(link, p.data(), p.size(), Orwin_EOP | Orwin_FLUSH); }
    // The next data packet, or nothing when the receive time-out passes first.
    std::optional<bytes> next()
    {
        bytes in(1 << 16);
        for (;;) {
            uint32_t type = 0;
            ssize_t n = Orwin_read_packet_full(link, in.data(), in.size(), &type, 0);
            if (n < 0 || type == Orwin_TIMEOUT)
                return std::nullopt;
            if (type == Orwin_EOP)
                return bytes(in.begin(), in.begin() + n);
        }
    }
};

orw::unitsim::config node_config()
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    orw::unitsim::rmap_target_config node;
    node.key = 0x00;
    node.base_address = 0xA0000000;
    node.memory_size = 64;
    cfg.rmap_targets[node_link] = node;
    return cfg;
}

bytes cat(bytes a, const bytes &b, const bytes &c)
{
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

bytes with_crc(bytes header)
{
    header.push_back(rmap_ref::crc(header, 0, header.size()));
    return header;
}

} // namespace

TEST(UnitsimRmap, CrcAgreesWithTheBitSerialOne)
{
    EXPECT_TRUE(test::crc_agrees_with_serial(orw::unitsim::rmap_crc));
}

TEST(UnitsimRmap, AnswersTheStandardExamplesByteForByte)
{
    orw::unitsim::simulator sim(node_config());
    raw_client c(sim);
    ASSERT_NE(c.link, nullptr);
    c.send(rmap_ref::write_command);
    EXPECT_EQ(c.next(), rmap_ref::write_reply);
    EXPECT_EQ(sim.rmap_memory(node_link, 0xA0000000, 16), rmap_ref::example_data);
    c.send(rmap_ref::read_command);
    EXPECT_EQ(c.next(), rmap_ref::read_reply);
}

// Commands built from the write example with one field changed, and the
// status byte (or no reply) the node gives each.
TEST(UnitsimRmap, ErrorStatusCodes)
{
    bytes wc = rmap_ref::write_command;
    auto write_with = [&](size_t at, uint8_t value) {
        bytes p(wc.begin(), wc.begin() + 15);
        p[at] = value;
        p = with_crc(p);
        p.insert(p.end(), wc.begin() + 16, wc.end());
        return p;
    };
    bytes bad_data_crc = wc;
    bad_data_crc.back() ^= 0x01;
    bytes bad_header_crc = wc;
    bad_header_crc[15] ^= 0x80;
    bytes short_data(wc.begin(), wc.end() - 3);
    bytes long_data = wc;
    long_data.insert(long_data.end() - 1, 0x00);
    struct row {
        const char *name;
        bytes command;
        int status; // -1: no reply
    } rows[] = {
        {"bad key", write_with(3, 0x21), 3},
        {"bad data CRC", bad_data_crc, 4},
        {"bad header CRC", bad_header_crc, -1},
        {"early EOP", short_data, 5},
        {"too much data", long_data, 6},
        {"out of memory", write_with(8, 0xB0), 10},
        {"wrong extended address", write_with(7, 0x01), 10},
        {"wrong target address", write_with(0, 0xFD), 12},
        {"unused command code",
         with_crc({0xFE, 0x01, 0x58, 0x00, 0x67, 0x00, 0x09, 0x00, 0xA0, 0, 0, 0, 0, 0, 4}), 2},
        {"reserved bit", with_crc({0xFE, 0x01, 0xCC, 0x00, 0x67, 0x00, 0x09, 0x00, 0xA0, 0, 0, 0, 0, 0, 4}),
         2},
        {"rmw data length",
         with_crc({0xFE, 0x01, 0x5C, 0x00, 0x67, 0x00, 0x09, 0x00, 0xA0, 0, 0, 0, 0, 0, 0}), 0},
        {"no reply asked", write_with(2, 0x64), -1},
    };
    // The rmw of length 0 carries its data CRC; give it one.
    rows[10].command.push_back(0x00);
    orw::unitsim::simulator sim(node_config());
    raw_client c(sim, 300);
    ASSERT_NE(c.link, nullptr);
    for (const row &r : rows) {
        c.send(r.command);
        std::optional<bytes> reply = c.next();
        if (r.status < 0) {
            EXPECT_FALSE(reply) << r.name;
            continue;
        }
        ASSERT_TRUE(reply) << r.name;
        ASSERT_GE(reply->size(), 8u) << r.name;
        EXPECT_EQ((*reply)[3], r.status) << r.name;
        EXPECT_EQ((*reply)[2], r.command[2] & 0xBF) << r.name;
    }
    EXPECT_EQ(sim.rmap_memory(node_link, 0xA0000000, 16), rmap_ref::example_data)
        << "only the valid write without reply may change memory";
    EXPECT_EQ(sim.rmap_commands(node_link), std::size(rows));
}

TEST(UnitsimRmap, AddressingModesReplyAddressAndReadModifyWrite)
{
    orw::unitsim::simulator sim(node_config());
    raw_client c(sim);
    ASSERT_NE(c.link, nullptr);
    // Non-incrementing write of four bytes: all land on one address.
    bytes single = with_crc({0xFE, 0x01, 0x68, 0x00, 0x67, 0x00, 0x05, 0x00, 0xA0, 0, 0, 0x04, 0, 0, 4});
    bytes four = {0xAA, 0xBB, 0xCC, 0xDD};
    single.insert(single.end(), four.begin(), four.end());
    single.push_back(rmap_ref::serial_crc(four.data(), four.size()));
    c.send(single);
    ASSERT_TRUE(c.next());
    EXPECT_EQ(sim.rmap_memory(node_link, 0xA0000003, 3), (bytes{0x00, 0xDD, 0x00}));
    // Non-incrementing read repeats it.
    c.send(with_crc({0xFE, 0x01, 0x48, 0x00, 0x67, 0x00, 0x06, 0x00, 0xA0, 0, 0, 0x04, 0, 0, 3}));
    std::optional<bytes> r = c.next();
    ASSERT_TRUE(r);
    EXPECT_EQ(bytes(r->begin() + 12, r->end() - 1), (bytes{0xDD, 0xDD, 0xDD}));

    // A path byte in front and a reply address 00 00 03 07: the node sees
    // its logical address, and its reply loses its path on the way back.
    sim.set_rmap_memory(node_link, 0xA0000000, {0x10, 0x20, 0x30, 0x40});
    bytes pa = with_crc(
        {0xFE, 0x01, 0x4D, 0x00, 0x00, 0x00, 0x03, 0x07, 0x67, 0x00, 0x07, 0x00, 0xA0, 0, 0, 0, 0, 0, 2});
    pa.insert(pa.begin(), 0x05);
    c.send(pa);
    r = c.next();
    ASSERT_TRUE(r);
    bytes data = {0x10, 0x20};
    EXPECT_EQ(*r, cat(with_crc({0x67, 0x01, 0x0D, 0x00, 0xFE, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02}), data,
                      {rmap_ref::serial_crc(data.data(), 2)}));

    // Read-modify-write returns the old data and merges under the mask.
    c.send(rmap_ref::rmw_command());
    r = c.next();
    ASSERT_TRUE(r);
    bytes old = {0x10, 0x20, 0x30, 0x40};
    EXPECT_EQ(*r, cat(with_crc({0x67, 0x01, 0x1C, 0x00, 0xFE, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04}), old,
                      {rmap_ref::serial_crc(old.data(), 4)}));
    EXPECT_EQ(sim.rmap_memory(node_link, 0xA0000000, 4), (bytes{0x10, 0x22, 0x33, 0x40}));
}

TEST(UnitsimRmap, DelaysAndDropsReplies)
{
    orw::unitsim::simulator sim(node_config());
    raw_client c(sim, 1000);
    ASSERT_NE(c.link, nullptr);
    sim.set_rmap_reply_delay(node_link, 150);
    auto t0 = std::chrono::steady_clock::now();
    c.send(rmap_ref::read_command);
    EXPECT_TRUE(c.next());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    sim.set_rmap_reply_delay(node_link, 0);
    sim.set_rmap_drop_replies(node_link, true);
    c.send(rmap_ref::write_command);
    Orwin_set_rx_timeout(c.link, 200);
    EXPECT_FALSE(c.next());
    EXPECT_EQ(sim.rmap_memory(node_link, 0xA0000000, 16), rmap_ref::example_data) << "the command still ran";
    EXPECT_THROW(sim.rmap_memory(2, 0, 1), std::invalid_argument);
}

// The simulator's initiator against a client that answers by hand: a right
// reply passes, and each kind of wrong reply is named.
TEST(UnitsimRmap, InitiatorChecksReplies)
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    cfg.rmap_initiator_links = {node_link};
    orw::unitsim::simulator sim(cfg);
    raw_client c(sim);
    ASSERT_NE(c.link, nullptr);
    orw::unitsim::rmap_request read;
    read.what = orw::unitsim::rmap_request::op::read;
    read.initiator_address = 0x67;
    read.tid = 1;
    read.address = 0xA0000000;
    read.length = 16;
    struct row {
        const char *name;
        bytes reply;
        std::string problem;
    } rows[] = {
        {"right", rmap_ref::read_reply, ""},
        {"bad data CRC", cat(bytes(rmap_ref::read_reply.begin(), rmap_ref::read_reply.end() - 1), {}, {0x00}),
         "bad data CRC"},
        {"not reply form",
         cat(with_crc({0x67, 0x01, 0x4C, 0x00, 0xFE, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10}),
             rmap_ref::example_data, {rmap_ref::example_data_crc}),
         "instruction is not the command's in reply form"},
    };
    for (const row &r : rows) {
        std::thread answer([&] {
            std::optional<bytes> command = c.next();
            if (command && *command == rmap_ref::read_command)
                c.send(r.reply);
        });
        orw::unitsim::rmap_result res = sim.rmap_transact(node_link, read, 1000);
        answer.join();
        EXPECT_TRUE(res.replied) << r.name;
        EXPECT_EQ(res.problem, r.problem) << r.name;
    }
    orw::unitsim::rmap_result none = sim.rmap_transact(node_link, read, 100);
    EXPECT_FALSE(none.replied);
    EXPECT_EQ(none.problem, "no reply");
}
