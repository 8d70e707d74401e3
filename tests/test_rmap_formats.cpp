// SPDX-License-Identifier: MIT
// RMAP CRC, header builder limits and instruction classification, against the
// standard's example packets and a bit-serial CRC from the polynomial.
#include "Orwin_RMAP_formats.hpp"
#include "Orwin_Utils.hpp"
#include "crc_agreement.hpp"
#include "rmap_reference.hpp"

#include <gtest/gtest.h>

namespace rmap = orw::spacewire::rmap;

TEST(RmapCrc, TableIsThePolynomialsAndExamplesCheckOut)
{
    for (int b = 0; b < 256; ++b) {
        uint8_t byte = static_cast<uint8_t>(b);
        ASSERT_EQ(rmap::RMAP_CRC_TABLE[b], rmap_ref::serial_crc(&byte, 1)) << b;
    }
    EXPECT_EQ(rmap::RMAP_CRC_TABLE[1], 0x91);
    rmap::crc_calc empty;
    EXPECT_EQ(empty.calculate(nullptr, 0), 0x00);
    // Header CRCs of the examples, and the data CRC; folding the CRC byte
    // itself into the running CRC gives 0.
    struct row {
        const rmap_ref::bytes &packet;
        size_t header; // bytes covered by the header CRC
    } rows[] = {{rmap_ref::write_command, 15},
                {rmap_ref::write_reply, 7},
                {rmap_ref::read_command, 15},
                {rmap_ref::read_reply, 11}};
    for (const row &r : rows) {
        rmap::crc_calc c;
        EXPECT_EQ(c.calculate(r.packet.data(), r.header), r.packet[r.header]);
        EXPECT_EQ(c.add(r.packet[r.header]), 0x00);
        std::vector<uint8_t> covered(r.packet.begin(), r.packet.begin() + static_cast<long>(r.header));
        rmap::crc_calc v;
        EXPECT_EQ(v.calculate(covered), r.packet[r.header]);
    }
    EXPECT_EQ(rmap::crc_of(rmap_ref::example_data.data(), 16), rmap_ref::example_data_crc);
    // The fast paths agree with the bit-serial CRC at every length,
    // alignment and starting value, and so does the running calculator.
    EXPECT_TRUE(test::crc_agrees_with_serial(rmap::crc_of));
    EXPECT_TRUE(test::crc_agrees_with_serial([](const uint8_t *p, size_t n, uint8_t start) {
        rmap::crc_calc seeded;
        seeded.crc_v = start;
        return seeded.calculate(p, n);
    }));
    rmap::crc_calc c;
    c.add(0x55);
    c.reset();
    EXPECT_EQ(c.get(), 0);
}

TEST(RmapFormats, HeaderBuilderRefusesWhatDoesNotFit)
{
    rmap::net_header h;
    std::vector<uint8_t> path(40, 0x01);
    h.set_header(path.data(), path.size());
    for (int i = 0; i < 24; ++i)
        h.write(0xAA);
    EXPECT_EQ(h.sz, 64u);
    EXPECT_THROW(h.write(0x00), orw::spacewire::address_error);
    EXPECT_THROW(h.write_nocrc(0x00), orw::spacewire::address_error);
    EXPECT_EQ(h.sz, 64u);
    std::vector<uint8_t> long_path(65, 0x01);
    EXPECT_THROW(h.set_header(long_path.data(), long_path.size()), orw::spacewire::address_error);
    rmap::net_header nocrc;
    nocrc.set_header(path.data(), 3);
    nocrc.write_nocrc(0x42);
    EXPECT_EQ(nocrc.get(), 0) << "path bytes and write_nocrc are not CRC-covered";
    nocrc.write(0x42);
    EXPECT_EQ(nocrc.get(), rmap::RMAP_CRC_TABLE[0x42]);
}

TEST(RmapFormats, ClassificationAndReplyForms)
{
    struct row {
        uint8_t pt;
        rmap::rmap_command kind;
        uint8_t reply;
    } rows[] = {
        {0x6C, rmap::rmap_write, 0x2C},
        {0x4D, rmap::rmap_read, 0x0D},
        {0x5C, rmap::rmap_read_modify_write, 0x1C},
        {0x48, rmap::rmap_read, 0x08},
        {0x74, rmap::rmap_write, 0x34},
        {0x7F, rmap::rmap_write, 0x3F},
        {0x58, rmap::rmap_read, 0x18},
        {0x1C, rmap::rmap_read_modify_write, 0x1C},
    };
    for (const row &r : rows) {
        EXPECT_EQ(rmap::classify(r.pt), r.kind) << std::hex << int(r.pt);
        EXPECT_EQ(rmap::reply_instruction(r.pt), r.reply) << std::hex << int(r.pt);
    }
    rmap::rmap_hdr h;
    h.pasz = 8;
    uint8_t pad[8] = {0, 0, 0, 0, 0, 0, 3, 7};
    std::copy(pad, pad + 8, h.pad);
    uint8_t out[16];
    ASSERT_EQ(rmap::reply_path(h, out), 2u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[1], 7);
    h.pasz = 0;
    EXPECT_EQ(rmap::reply_path(h, out), 0u);
}
