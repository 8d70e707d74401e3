// SPDX-License-Identifier: MIT
// The stream format's one home: frame headers against known bytes and read
// back as a receiver does, extension sizes and known commands against the
// command table, the recording header, and the object layers' numbering.
#include "../orw_wire_format.hpp"

#include "Orwin.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace wire = orw::wire;
namespace extn = orw::wire::extn;
using bytes_t = std::vector<unsigned char>;

// Payload length as a receiver reads it back from a header.
size_t read_length(const unsigned char *h)
{
    const unsigned code = wire::length_code(h[0]);
    const unsigned extra = wire::length_bytes(code);
    return extra == 0 ? code : static_cast<size_t>(wire::get_be(h + 1, extra));
}

TEST(WireFormat, FrameHeadersMatchKnownBytesAndReadBack)
{
    struct {
        unsigned kind;
        size_t len;
        bytes_t bytes;
    } const cases[] = {
        {wire::kind_eop, 0, {0x40}},
        {wire::kind_eop, 5, {0x45}},
        {wire::kind_partial, 60, {0x3C}},
        {wire::kind_eep, 61, {0xBD, 0x3D}},
        {wire::kind_eop, 255, {0x7D, 0xFF}},
        {wire::kind_eop, 256, {0x7E, 0x01, 0x00}},
        {wire::kind_eep, 65535, {0xBE, 0xFF, 0xFF}},
        {wire::kind_eep, 65536, {0xBF, 0x01, 0x00, 0x00}},
        {wire::kind_partial, wire::max_frame_payload, {0x3F, 0xFF, 0xFF, 0xFF}},
        {wire::kind_extended, 7, {0xC7}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        unsigned char out[wire::max_header_size] = {};
        const size_t n = wire::put_header(c.kind, c.len, out);
        EXPECT_EQ(bytes_t(out, out + n), c.bytes);
        EXPECT_EQ(n, wire::header_size(c.len));
        EXPECT_EQ(wire::kind_of(out[0]), c.kind);
        EXPECT_EQ(read_length(out), c.len);

        // The long form carries the same length in three bytes.
        EXPECT_EQ(wire::put_long_header(c.kind, c.len, out), wire::max_header_size);
        EXPECT_EQ(out[0], c.kind | 0x3F);
        EXPECT_EQ(read_length(out), c.len);
    }
    EXPECT_EQ(wire::packet_type_of_kind(wire::kind_of(0x45)), Orwin_EOP);
    EXPECT_EQ(wire::packet_type_of_kind(wire::kind_of(0x81)), Orwin_EEP);
    EXPECT_EQ(wire::packet_type_of_kind(wire::kind_of(0x02)), Orwin_PART_EOP_EEP);
    for (int type : {Orwin_EOP, Orwin_EEP, Orwin_PART_EOP_EEP})
        EXPECT_EQ(wire::packet_type_of_kind(wire::kind_of_type(type)), type);
}

TEST(WireFormat, ExtensionSizesAndKnownCommandsFollowTheCommandTable)
{
    // Command byte, bytes with the command, known to the unit.
    struct {
        unsigned x;
        int size;
        bool known;
    } const cases[] = {
        {extn::FCT, 1, true},
        {0x01, 1, false},
        {0x02, 1, false},
        {extn::Missing_data, 1, true},
        {0x15, 1, false},
        {0x2E, 1, false},
        {extn::HOLD, 1, true},
        {extn::Delay + 15, 1, true},
        {extn::PortSelect + 5, 1, true},
        {extn::PortSelect_max, 1, true},
        {extn::Multi_byte_extn_start, 1, false},
        {extn::TimeTag_uncertainty, 2, true},
        {extn::TimeTag_delta, 3, true},
        {extn::TimeTag, 9, true},
        {extn::TimeCode, 2, true},
        {extn::Module, 3, true},
        {extn::TimeZero, 9, true},
        {extn::REPEAT_3, 4, true},
        {extn::Year, 9, true},
        {extn::Header, 15, true},
        {0xFF, 16, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.x);
        EXPECT_EQ(wire::extension_size(c.x), c.size);
        EXPECT_EQ(wire::is_known_command(c.x), c.known);
        EXPECT_LE(wire::extension_size(c.x), wire::max_extension_size);
    }
    EXPECT_TRUE(wire::is_link_select(0x40));
    EXPECT_FALSE(wire::is_link_select(0x3F));
    EXPECT_FALSE(wire::is_link_select(0x80));
    EXPECT_EQ(wire::link_of_select(wire::link_select(63)), 63u);
}

TEST(WireFormat, RecordingHeaderAndTimetagFields)
{
    unsigned char header[wire::recording_header::file_size];
    wire::put_recording_header(header, 2, 0x0102030405060708ull, 0x0A0B0C0Du);
    const bytes_t expected = {0xC0, 0xCE, 0x00, 0x02, 0x01, 0x02, 0x03, 0x04,
                              0x05, 0x06, 0x07, 0x08, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(bytes_t(header, header + sizeof header), expected);

    // A timetag count keeps the 59 bits a unit counts.
    const unsigned char tt[] = {0x88, 0xFF, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(wire::timetag_count(tt), 0x0701020304050607ull);
}

// The object layers number the same commands 256 + the command byte.
TEST(WireFormat, ObjectLayerCommandCodesAreTheCommandBytes)
{
    struct {
        unsigned x;
        int code;
    } const cases[] = {
        {extn::FCT, orw::connection::FCT},
        {extn::ESC, orw::connection::ESC},
        {extn::ESC_FCT, orw::connection::ESC_FCT},
        {extn::ESC_EEP, orw::connection::ESC_EEP},
        {extn::ESC_EOP, orw::connection::ESC_EOP},
        {extn::ESC_ESC, orw::connection::ESC_ESC},
        {extn::Timeout, orw::connection::Timeout},
        {extn::ParityError, orw::connection::ParityError},
        {extn::PERROR1, orw::connection::PERROR1},
        {extn::PERROR2, orw::connection::PERROR2},
        {extn::STORE, orw::connection::STORE},
        {extn::FORWARD, orw::connection::FORWARD},
        {extn::ATOM, orw::connection::ATOM},
        {extn::MOTA, orw::connection::MOTA},
        {extn::JOIN, orw::connection::JOIN},
        {extn::BARRIER, orw::connection::BARRIER},
        {extn::RESIGN, orw::connection::RESIGN},
        {extn::EVENT, orw::connection::EVENT},
        {extn::Missing_data, orw::connection::Missing_data},
        {extn::HOLD, orw::connection::HOLD},
        {extn::Delay, orw::connection::Delay},
        {extn::PortSelect, orw::connection::PortSelect},
        {extn::PortSelect_max, orw::connection::PortSelect_max},
        {extn::Multi_byte_extn_start, orw::connection::Multi_byte_extn_start},
        {extn::TimeTag_uncertainty, orw::connection::TimeTag_uncertainty},
        {extn::TimeTag_delta, orw::connection::TimeTag_delta},
        {extn::TimeTag, orw::connection::TimeTag},
        {extn::TimeCode, orw::connection::TimeCode},
        {extn::Module, orw::connection::Module},
        {extn::TimeZero, orw::connection::TimeZero},
        {extn::TRUNCATE_1, orw::connection::TRUNCATE_1},
        {extn::TRUNCATE_2, orw::connection::TRUNCATE_2},
        {extn::REPEAT_1, orw::connection::REPEAT_1},
        {extn::REPEAT_2, orw::connection::REPEAT_2},
        {extn::REPEAT_3, orw::connection::REPEAT_3},
        {extn::Year, orw::connection::Year},
        {extn::Header, orw::connection::Header},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wire::command_code(c.x), c.code) << c.x;
}

} // namespace
