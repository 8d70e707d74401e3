// SPDX-License-Identifier: MIT
// CCSDS and SpW-CCSDS packet transfer: packets built by a device are checked
// byte for byte at the simulator's CCSDS node, and received packets are fed
// to the handlers through a link dispatcher at every split point.
#include "Orwin.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using orw::spacewire::connection_t;
using orw::spacewire::device_t;
using orw::spacewire::linkinfo;
namespace ccsds = orw::spacewire::ccsds;
namespace spwccsds = orw::spacewire::spwccsds;

constexpr int node_link = 1;
constexpr int EOP = orw::connection::EOP;
constexpr int EEP = orw::connection::EEP;
constexpr int PART = orw::connection::PART_EOP_EEP;

const bytes user4 = {0xA1, 0xB2, 0xC3, 0xD4};
const bytes user3 = {0xA1, 0xB2, 0xC3};

// Secondary header fields: time 0x01020304, fine 5, time id 1, r1 1, packet
// type 2, r2 3, service APID 0x155, r3 7, tid 8.
void add_secondary(device_t &d, bool checkword)
{
    d.ccsds_secondary_header(0x01020304, 5, 1, checkword, 1, 2, 3, 0x155, 7, 8);
}
// ... and its 10 bytes: byte 5 = time id 01, checkword, r1 1, 0, pt 010.
bytes secondary_bytes(bool checkword)
{
    return {0x01, 0x02, 0x03, 0x04, 0x05, static_cast<uint8_t>(checkword ? 0x72 : 0x52),
            0x19, 0x55, 0x07, 0x08};
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct CcsdsUnit : ::testing::Test {
    CcsdsUnit() : sim(make_config()), conn(sim.address(), 100.0) {}

    static orw::unitsim::config make_config()
    {
        orw::unitsim::config cfg;
        cfg.links = 4;
        cfg.nodes[node_link] = orw::unitsim::node_kind::ccsds;
        return cfg;
    }

    std::unique_ptr<device_t> logical()
    {
        return std::unique_ptr<device_t>(conn.device("n", "t", node_link, 0xFE, 0x20));
    }
    std::unique_ptr<device_t> routed()
    {
        const uint8_t path[] = {0x00, 0x00, 0x05};
        const uint8_t rpath[] = {0x01};
        return std::unique_ptr<device_t>(conn.device("n", "t", node_link, path, 3, rpath, 1, 0xFE, 0x20));
    }

    // SpaceWire packets the node's link carried since the test began.
    std::vector<bytes> node_packets(size_t expect)
    {
        sim.wait_for_node_packets(node_link, expect, 2000);
        std::vector<bytes> out;
        for (const auto &p : sim.packets_from_clients())
            if (p.link == node_link && !p.eep)
                out.push_back(p.data);
        return out;
    }

    orw::unitsim::simulator sim;
    connection_t conn;
};

// ---- Sending ---------------------------------------------------------------------

TEST_F(CcsdsUnit, BuiltPacketsAreByteExactAtTheNode)
{
    struct sample {
        const char *what;
        bool secondary, checkword;
        bytes user;
        bytes expected; // after FE 02 00 10
    };
    const bytes primary = {0x01, 0x23, 0xD2, 0x34};
    const std::vector<sample> samples = {
        {"user data only", false, false, user4, cat({{0x01, 0x23, 0xD2, 0x34, 0x00, 0x03}, user4})},
        {"secondary header, no checkword", true, false, user4,
         cat({primary, {0x00, 0x0D}, secondary_bytes(false), user4})},
        // The sum of the words 0923 D234 000F, 0102 0304 0572 1955 0708 and
        // A1B2 C3D4 is 0x6AC1.
        {"secondary header with checkword", true, true, user4,
         cat({primary, {0x00, 0x0F}, secondary_bytes(true), user4, {0x6A, 0xC1}})},
        // Odd user data: its last byte C3 counts as the word C300.
        {"checksum over odd user data", true, true, user3,
         cat({primary, {0x00, 0x0E}, secondary_bytes(true), user3, {0x69, 0xEC}})},
        {"secondary header alone", true, false, {}, cat({primary, {0x00, 0x09}, secondary_bytes(false)})},
    };
    auto dev = logical();
    for (const sample &s : samples) {
        dev->ccsds_header(0, false, 0x123, 3, 0x1234);
        if (s.secondary)
            add_secondary(*dev, s.checkword);
        dev->ccsds_user_data(s.user.data(), s.user.size());
        dev->ccsds_send(0x10, 0x00);
    }
    std::vector<bytes> got = node_packets(samples.size());
    ASSERT_EQ(got.size(), samples.size());
    std::vector<orw::unitsim::ccsds_packet> decoded = sim.ccsds_received(node_link);
    for (size_t i = 0; i < samples.size(); ++i) {
        bytes expected = samples[i].expected;
        if (samples[i].secondary)
            expected[0] |= 0x08; // the primary header flags the secondary one
        EXPECT_EQ(got[i], cat({{0xFE, 0x02, 0x00, 0x10}, expected})) << samples[i].what;
        EXPECT_TRUE(decoded[i].well_formed) << samples[i].what;
        EXPECT_EQ(decoded[i].has_checksum, samples[i].checkword) << samples[i].what;
    }
}

TEST_F(CcsdsUnit, OrderOfPiecesAndResendingGiveTheSamePacket)
{
    auto dev = logical();
    dev->ccsds_header(1, true, 0x7FF, 1, 0x3FFF);
    add_secondary(*dev, true);
    dev->ccsds_user_data(user3.data(), user3.size());
    dev->ccsds_send(0x22, 0x11);
    dev->ccsds_send(0x22, 0x11); // the kept packet, its checksum not counted twice
    dev->ccsds_header(1, true, 0x7FF, 1, 0x3FFF);
    dev->ccsds_user_data(user3.data(), user3.size());
    add_secondary(*dev, true); // out of order: the user data still ends the packet
    dev->ccsds_send(0x22, 0x11);
    std::vector<bytes> got = node_packets(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(got[2], got[0]);
    auto decoded = sim.ccsds_received(node_link);
    ASSERT_EQ(decoded.size(), 3u);
    const auto &p = decoded[0];
    EXPECT_TRUE(p.well_formed && p.checksum_ok);
    EXPECT_EQ(p.reserved, 0x11);
    EXPECT_EQ(p.application, 0x22);
    EXPECT_EQ(p.version, 1);
    EXPECT_TRUE(p.telecommand);
    EXPECT_EQ(p.apid, 0x7FF);
    EXPECT_EQ(p.sequence_flags, 1);
    EXPECT_EQ(p.sequence_count, 0x3FFF);
    EXPECT_EQ(p.user_data, user3);
}

TEST_F(CcsdsUnit, PathBytesAndEmptyPackets)
{
    auto dev = routed();
    dev->ccsds_header(0, false, 0x123, 3, 0x1234);
    dev->ccsds_send(0x10, 0x00); // no piece: nothing goes out
    dev->ccsds_user_data(user4.data(), user4.size());
    dev->ccsds_send(0x10, 0x00);
    const bytes packet = cat({{0x01, 0x23, 0xD2, 0x34, 0x00, 0x03}, user4});
    dev->spwccsds_send(0x10, 0x00, packet.data(), packet.size());
    dev->raw_send(0x07, user4.data(), user4.size());
    std::vector<bytes> got = node_packets(3);
    ASSERT_EQ(got.size(), 3u);
    // Leading zero path bytes are skipped for both CCSDS sides, kept for raw.
    EXPECT_EQ(got[0], cat({{0x05, 0xFE, 0x02, 0x00, 0x10}, packet}));
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(got[2], cat({{0x00, 0x00, 0x05, 0xFE, 0x07}, user4}));
}

TEST_F(CcsdsUnit, DataFieldBeyond65536OctetsIsRefusedBeforeSending)
{
    struct limit {
        bool secondary, checkword;
        size_t user;
        bool accepted;
    };
    const std::vector<limit> limits = {
        {false, false, 65536, true}, {false, false, 65537, false}, {true, false, 65526, true},
        {true, false, 65527, false}, {true, true, 65524, true},    {true, true, 65525, false},
    };
    auto dev = logical();
    bytes big(65537, 0x5A);
    size_t sent = 0;
    for (const limit &l : limits) {
        dev->ccsds_header(0, false, 1, 3, 0);
        if (l.secondary)
            add_secondary(*dev, l.checkword);
        dev->ccsds_user_data(big.data(), l.user);
        if (l.accepted) {
            EXPECT_NO_THROW(dev->ccsds_send(1, 0)) << l.user;
            ++sent;
        } else {
            try {
                dev->ccsds_send(1, 0);
                ADD_FAILURE() << l.user << " was sent";
            } catch (const orw::error &e) {
                EXPECT_EQ(e.get(), Error_Request_Too_Large);
            }
        }
    }
    // A refused packet leaves nothing behind: the next one is whole.
    dev->ccsds_header(0, false, 1, 3, 0);
    dev->ccsds_user_data(user4.data(), user4.size());
    dev->ccsds_send(1, 0);
    ++sent;
    ASSERT_TRUE(sim.wait_for_node_packets(node_link, sent, 5000));
    auto decoded = sim.ccsds_received(node_link);
    ASSERT_EQ(decoded.size(), sent);
    for (const auto &p : decoded)
        EXPECT_TRUE(p.well_formed);
    EXPECT_EQ(decoded[0].length_field, 0xFFFF);
    EXPECT_EQ(decoded.back().user_data, user4);
}

// ---- Receiving -------------------------------------------------------------------

struct ccsds_recorder : ccsds::handler {
    struct got {
        uint8_t reserved, application;
        bytes raw;
        ccsds::primary_header hdr;
        bytes field;
    };
    void request(uint8_t r, uint8_t a, unsigned char *raw, uint32_t rawsz, ccsds::primary_header &h,
                 ccsds::secondary_header *, unsigned char *d, uint32_t n) override
    {
        packets.push_back({r, a, bytes(raw, raw + rawsz), h, bytes(d, d + n)});
        ++count;
    }
    std::vector<got> packets; // read once the reader is stopped
    std::atomic<size_t> count{0};
};

struct spwccsds_recorder : spwccsds::handler {
    void request(uint8_t r, uint8_t a, unsigned char *d, uint32_t n) override
    {
        packets.push_back(cat({{r, a}, bytes(d, d + n)}));
    }
    std::vector<bytes> packets;
};

// A dispatcher for one link with `h` registered for protocol 2.
struct fed_link {
    explicit fed_link(orw::spacewire::protocol_instance &h)
    {
        li.set_link(nullptr, 1);
        h.set_ifc(nullptr, 1);
        li.register_protocol(2, &h);
    }
    // `spw` cut at `cuts`, the last piece ending with `end`.
    void feed(bytes spw, const std::vector<size_t> &cuts, int end = EOP)
    {
        size_t from = 0;
        for (size_t cut : cuts) {
            li.read_packet(spw.data() + from, cut - from, PART);
            from = cut;
        }
        li.read_packet(spw.data() + from, spw.size() - from, end);
    }
    linkinfo li;
};

// FE 02, reserved 0x5A, application 0x3C, then a telecommand of APID 0x2AB,
// sequence flags 2, count 0x2ABC (all 14 bits) and a 7-octet data field.
const bytes received = {0xFE, 0x02, 0x5A, 0x3C, 0x1A, 0xAB, 0xAA, 0xBC, 0x00,
                        0x06, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16};

void expect_received(const ccsds_recorder::got &g, const std::string &where)
{
    SCOPED_TRACE(where);
    EXPECT_EQ(g.reserved, 0x5A);
    EXPECT_EQ(g.application, 0x3C);
    EXPECT_EQ(g.raw, bytes(received.begin() + 4, received.end()));
    EXPECT_EQ(g.hdr.version, 0);
    EXPECT_TRUE(g.hdr.type);
    EXPECT_TRUE(g.hdr.sechdr);
    EXPECT_EQ(g.hdr.apid, 0x2AB);
    EXPECT_EQ(g.hdr.seqfl, 2);
    EXPECT_EQ(g.hdr.seqcnt, 0x2ABC);
    EXPECT_EQ(g.hdr.sz, 7u);
    EXPECT_EQ(g.field, bytes(received.begin() + 10, received.end()));
}

TEST(CcsdsHandler, EverySplitDecodesTheSame)
{
    for (size_t a = 0; a <= received.size(); ++a) {
        for (size_t b = a; b <= received.size(); ++b) {
            ccsds_recorder h;
            spwccsds_recorder s;
            fed_link lc(h), ls(s);
            lc.feed(received, {a, b});
            lc.feed(received, {b}); // a second packet right after the first
            ls.feed(received, {a, b});
            std::string where = "cuts " + std::to_string(a) + "," + std::to_string(b);
            ASSERT_EQ(h.packets.size(), 2u) << where;
            expect_received(h.packets[0], where);
            expect_received(h.packets[1], where);
            ASSERT_EQ(s.packets.size(), 1u) << where;
            EXPECT_EQ(s.packets[0], bytes(received.begin() + 2, received.end())) << where;
        }
    }
}

TEST(CcsdsHandler, EepAndShortPacketsNeverLeakEarlierBytes)
{
    ccsds_recorder h;
    spwccsds_recorder s;
    fed_link l(h), ls(s);
    // An EEP drops the half packet; the handler starts afresh with the next one.
    l.feed(received, {12}, EEP);
    l.feed(received, {});
    ls.feed(received, {12}, EEP);
    ls.feed(received, {});
    ASSERT_EQ(h.packets.size(), 1u);
    expect_received(h.packets[0], "after EEP");
    EXPECT_EQ(s.packets, std::vector<bytes>{bytes(received.begin() + 2, received.end())});
    // Told of the EEP directly, the handler resets as well.
    EXPECT_FALSE(h.body(const_cast<uint8_t *>(received.data()), 3, EEP));
    EXPECT_EQ(h.status, ccsds::handler::ccsdsresv);
    EXPECT_EQ(h.sz, 0u);

    // Shorter than declared, and shorter than a primary header: only bytes
    // that arrived are handed on.
    l.feed(bytes(received.begin(), received.begin() + 13), {});
    l.feed({0xFE, 0x02, 0x01, 0x02, 0x1A, 0xAB, 0xAA}, {});
    l.feed({0xFE, 0x02}, {});
    ASSERT_EQ(h.packets.size(), 4u);
    EXPECT_EQ(h.packets[1].hdr.sz, 7u);
    EXPECT_EQ(h.packets[1].field, bytes(received.begin() + 10, received.begin() + 13));
    EXPECT_EQ(h.packets[2].hdr.seqcnt, 0x2A00);
    EXPECT_EQ(h.packets[2].hdr.sz, 0u);
    EXPECT_TRUE(h.packets[2].field.empty());
    EXPECT_EQ(h.packets[3].raw, bytes());
    EXPECT_EQ(h.packets[3].hdr.apid, 0);
}

TEST(CcsdsHandler, OversizedPacketsAreDroppedAndCounted)
{
    ccsds_recorder h;
    spwccsds_recorder s;
    fed_link lc(h), ls(s);
    // The instance buffer holds 1 MiB after the address, protocol and the
    // two transfer bytes.
    bytes big(received.begin(), received.begin() + 10);
    big.resize(4 + orw::spacewire::packet_buffer_size + 1, 0xEE);
    bytes fits(big.begin(), big.end() - 1);
    for (fed_link *l : {&lc, &ls}) {
        l->feed(big, {100, 700000});
        l->feed(fits, {});
        l->feed(received, {});
    }
    EXPECT_EQ(h.oversized(), 1u);
    EXPECT_EQ(s.oversized(), 1u);
    ASSERT_EQ(h.packets.size(), 2u);
    EXPECT_EQ(h.packets[0].raw.size(), orw::spacewire::packet_buffer_size);
    expect_received(h.packets[1], "after an oversized packet");
    ASSERT_EQ(s.packets.size(), 2u);
    EXPECT_EQ(s.packets[0].size(), 2 + orw::spacewire::packet_buffer_size);
    EXPECT_EQ(s.packets[1], bytes(received.begin() + 2, received.end()));

    // Fed by hand past the point where it was dropped, a packet is still
    // never delivered, not even as an empty one.
    for (ccsds::transfer_handler *t :
         {static_cast<ccsds::transfer_handler *>(&h), static_cast<ccsds::transfer_handler *>(&s)}) {
        t->start(0xFE, 2);
        EXPECT_FALSE(t->body(big.data() + 2, big.size() - 2, PART));
        EXPECT_FALSE(t->body(big.data() + 2, 4, EOP));
        t->eop(1);
        EXPECT_EQ(t->oversized(), 2u);
    }
    EXPECT_EQ(h.packets.size(), 2u);
    EXPECT_EQ(s.packets.size(), 2u);
}

// The default handlers print each packet with at most its first 16 bytes.
TEST(CcsdsHandler, DefaultHandlersPrintTheFirst16Bytes)
{
    bytes packet = {0xFE, 0x02, 0x5A, 0x3C, 0x1A, 0xAB, 0xAA, 0xBC, 0x00, 0x13};
    for (uint8_t i = 0; i < 20; ++i)
        packet.push_back(i);
    ccsds::handler parsed;
    spwccsds::handler whole;
    const struct {
        orw::spacewire::protocol_instance &h;
        const char *printed;
    } rows[] = {
        {parsed, "server->ccsds reserved 5a application 3c\n"
                 "              version 0 type 1 sechdr 1 apid 683 sf 2 sq 10940 sz 20\n"
                 "              size 20  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"},
        {whole, "server->ccsds reserved 5a application 3c size 26  1a ab aa bc 00 13 00 01 02 03 04 05 06 07 "
                "08 09\n"},
    };
    for (const auto &r : rows) {
        fed_link l(r.h);
        ::testing::internal::CaptureStdout();
        l.feed(packet, {});
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), r.printed);
    }
}

// End to end: the node's packets, in several frames, reach a handler derived
// by the application; a link without one makes a CCSDS handler on demand.
TEST_F(CcsdsUnit, NodePacketsReachHandlersThroughTheReader)
{
    ccsds_recorder h;
    conn.register_protocol(node_link, 2, &h);
    orw::unitsim::ccsds_packet p;
    p.reserved = 0x5A;
    p.application = 0x3C;
    p.apid = 0x155;
    p.sequence_count = 0x3FFE;
    p.user_data = user3;
    sim.send_ccsds(node_link, p, 3);
    p.has_secondary = true;
    auto sec = secondary_bytes(true);
    std::copy(sec.begin(), sec.end(), p.secondary.begin());
    sim.send_ccsds(node_link, p, 5);
    sim.send_packet(3, received, {1, 5}); // link 3 has no registration
    for (int i = 0; i < 200 && (h.count < 2 || !conn.get_protocol(3, 2)); ++i)
        usleep(10000);
    conn.stop_server();
    ASSERT_EQ(h.packets.size(), 2u);
    EXPECT_EQ(h.packets[0].hdr.seqcnt, 0x3FFE);
    EXPECT_EQ(h.packets[0].field, user3);
    EXPECT_EQ(h.packets[1].field, cat({sec, user3, {0x97, 0xE8}}));
    EXPECT_TRUE(h.packets[1].hdr.sechdr);
    EXPECT_NE(dynamic_cast<ccsds::handler *>(conn.get_protocol(3, 2)), nullptr);
}

} // namespace
