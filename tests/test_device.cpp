// SPDX-License-Identifier: MIT
// device_t and connection_t against the simulator: address checks, return
// path padding, links connected at initialise, and raw packets byte for byte.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"
#include "spw_reference.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace spwtest;
using orw::spacewire::address_error;
using orw::spacewire::connection_t;
using orw::spacewire::device_t;

namespace {

struct address_case {
    const char *name;
    bytes path, rpath;
    uint8_t dest, src;
    const char *error; // null: accepted
    int value;
};

std::unique_ptr<device_t> make(const address_case &c)
{
    if (c.path.empty() && c.rpath.empty())
        return std::make_unique<device_t>("d", "t", nullptr, 1, c.dest, c.src);
    return std::make_unique<device_t>("d", "t", nullptr, 1, c.path.data(), c.path.size(), c.rpath.data(),
                                      c.rpath.size(), c.dest, c.src);
}

} // namespace

TEST(Device, AddressChecksWithTheirTextsAndValues)
{
    const address_case cases[] = {
        {"dest below 0x20", {}, {}, 0x1F, 0x20, "dest address is invalid", 31},
        {"dest 0x20", {}, {}, 0x20, 0xFE, nullptr, 0},
        {"src below 0x20", {}, {}, 0xFE, 0x00, "src address is invalid", 0},
        {"path dest checked first", {0x20}, {}, 0x10, 0x20, "dest address is invalid", 16},
        {"path byte 0x20", {0x01, 0x20}, {}, 0xFE, 0xFE, "path address byte is invalid ", 32},
        {"path bytes 0..31", {0x00, 0x1F}, {0x1F, 0x00}, 0xFE, 0xFE, nullptr, 0},
        {"return path beginning with 0", {}, {0x00, 0x05}, 0xFE, 0xFE, "return path begins with 0", 0},
        {"return path 0", {0x01}, {0x00}, 0xFE, 0xFE, "return path begins with 0", 0},
        {"return path byte 0xFF", {0x01}, {0x02, 0xFF}, 0xFE, 0xFE, "path address byte is invalid ", 255},
        {"return path of 12", {}, bytes(12, 1), 0xFE, 0xFE, nullptr, 0},
        {"return path of 13", {}, bytes(13, 1), 0xFE, 0xFE, "return path is too long", 13},
    };
    for (const address_case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.error) {
            EXPECT_NO_THROW(make(c));
            continue;
        }
        try {
            make(c);
            ADD_FAILURE() << "accepted";
        } catch (const address_error &e) {
            EXPECT_STREQ(e.text(), c.error);
            EXPECT_EQ(e.value(), c.value);
        }
    }
}

TEST(Device, ReturnPathsArePaddedToWholeWords)
{
    struct {
        bytes rpath;
        uint8_t words;
        bytes padded;
    } cases[] = {
        {{}, 0, {}},
        {{0x07}, 1, {0, 0, 0, 0x07}},
        {{1, 2, 3, 4}, 1, {1, 2, 3, 4}},
        {{1, 2, 3, 4, 5}, 2, {0, 0, 0, 1, 2, 3, 4, 5}},
        {bytes(12, 9), 3, bytes(12, 9)},
    };
    const bytes path{0x00, 0x00, 0x05};
    for (auto &c : cases) {
        device_t d("name", "type", nullptr, 2, path.data(), path.size(), c.rpath.data(), c.rpath.size(), 0xFE,
                   0x21);
        const uint8_t *p = nullptr;
        uint8_t words = 0, lsrc = 0;
        d.reply(p, words, lsrc);
        EXPECT_EQ(words, c.words);
        EXPECT_EQ(lsrc, 0x21);
        EXPECT_EQ(p ? bytes(p, p + 4 * words) : bytes{}, c.padded);
        size_t n = 0;
        uint8_t ldest = 0;
        d.dest(p, n, ldest);
        EXPECT_EQ(bytes(p, p + n), path);
        EXPECT_EQ(ldest, 0xFE);
        EXPECT_EQ(d.link(), 2);
        EXPECT_EQ(d.name() + d.type(), "nametype");
    }
}

namespace {

// Link 1 has an echo node, links 3 and 4 a cable whose far end (4) is down,
// link 2 nothing: only link 1 is connected.
orw::unitsim::config four_links()
{
    orw::unitsim::config cfg;
    cfg.links = 4;
    cfg.nodes[1] = orw::unitsim::node_kind::echo;
    cfg.wiring = {{3, 4}, {4, 3}};
    cfg.links_down = {4};
    return cfg;
}

size_t link_selections(const orw::unitsim::simulator &sim, int link)
{
    auto ext = sim.extensions_from_clients();
    return static_cast<size_t>(std::count_if(
        ext.begin(), ext.end(), [&](const bytes &e) { return e.size() == 1 && e[0] == 0x40 + link; }));
}

} // namespace

TEST(SpaceWireConnection, InitialisePreparesEveryLinkAndRecordsTheConnectedOnes)
{
    EXPECT_THROW(
        {
            try {
                connection_t c("", 100.0);
            } catch (const orw::error &e) {
                EXPECT_EQ(e.get(), -29);
                EXPECT_STREQ(e.text(), "Address is empty");
                throw;
            }
        },
        orw::error);

    orw::unitsim::simulator sim(four_links());
    connection_t c(sim.address(), 100.0);
    for (int l = 1; l <= 4; ++l)
        EXPECT_EQ(sim.link_mode(l), 2) << l;
    EXPECT_EQ(c.lbitmask, 1u << 1);
    EXPECT_TRUE(c.active_link(1));
    for (int l : {0, 2, 3, 4, 33, 65, -31, 32})
        EXPECT_FALSE(c.active_link(l)) << l;
    // No aliases of link 1: a link outside 1-31 is refused when the device is made.
    const uint8_t one[] = {1};
    for (int l : {0, 32, 33, 65, -31}) {
        try {
            std::unique_ptr<device_t> d(c.device("n", "t", l, 0xFE, 0x20));
            ADD_FAILURE() << "device on link " << l << " made";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), Error_Invalid_Link) << l;
        }
        EXPECT_THROW(std::unique_ptr<device_t>(c.device("n", "t", l, one, 1, one, 1, 0xFE, 0x20)), orw::error)
            << l;
    }

    // Not connected at initialise: refused, also once it comes up.
    sim.set_link_up(4, true);
    c.active_port(3);
    EXPECT_EQ(Orwin_link_connected(c.handle()), 1) << "the unit reports it up now";
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            std::unique_ptr<device_t> d(c.device("n", "t", 3, 0xFE, 0x20));
            ADD_FAILURE() << "device on link 3 made";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), -49);
            EXPECT_STREQ(e.text(), "Link is not connected");
            EXPECT_EQ(e.name(), sim.address());
        }
        const uint8_t path[] = {1};
        EXPECT_THROW(std::unique_ptr<device_t>(c.device("n", "t", 3, path, 1, path, 1, 0xFE, 0x20)),
                     orw::error);
    }
}

TEST(SpaceWireConnection, RawSendsProduceExactlyTheDocumentedBytes)
{
    orw::unitsim::simulator sim(four_links());
    connection_t c(sim.address(), 100.0);
    const bytes path{0x00, 0x00, 0x05};
    const bytes rpath{0x01};
    std::unique_ptr<device_t> logical(c.device("echo", "node", 1, 0xFE, 0x20));
    std::unique_ptr<device_t> routed(
        c.device("echo", "node", 1, path.data(), path.size(), rpath.data(), rpath.size(), 0xFE, 0x20));
    const size_t selections = link_selections(sim, 1);
    const size_t before = sim.packets_from_clients().size();
    const bytes data{0x21, 0x01, 0x02, 0x03};
    logical->raw_send(0x42, data.data(), data.size());
    routed->raw_send(0x43, data.data(), data.size());
    logical->raw_send(0x44, nullptr, 0);
    ASSERT_TRUE(sim.wait_for_node_packets(1, 3, 5000));

    const std::vector<bytes> on_link = {
        {/* ldest */ 0xFE, /* pid */ 0x42, /* data */ 0x21, 0x01, 0x02, 0x03},
        {/* all path bytes */ 0x00, 0x00, 0x05, 0xFE, 0x43, 0x21, 0x01, 0x02, 0x03},
        {0xFE, 0x44},
    };
    auto sent = sim.packets_from_clients();
    ASSERT_EQ(sent.size(), before + 3);
    for (size_t i = 0; i < on_link.size(); ++i) {
        EXPECT_EQ(sent[before + i].link, 1);
        EXPECT_EQ(sent[before + i].data, on_link[i]) << i;
        EXPECT_FALSE(sent[before + i].eep);
    }
    auto at_node = sim.node_packets(1);
    ASSERT_EQ(at_node.size(), 3u);
    EXPECT_EQ(at_node[1].data, (bytes{0xFE, 0x43, 0x21, 0x01, 0x02, 0x03})) << "path consumed on the way";
    EXPECT_EQ(sim.node_packet_count(1), 3u);
    EXPECT_EQ(link_selections(sim, 1), selections + 1) << "the selected link is not selected again";

    // A failing write leaves the write lock free.
    device_t nowhere("none", "node", &c, 9, 0xFE, 0x20);
    EXPECT_THROW(nowhere.raw_send(0x42, data.data(), data.size()), orw::error);
    ASSERT_TRUE(c.write_lock.try_lock());
    c.write_lock.unlock();
}
