// SPDX-License-Identifier: MIT
// Unit queries and reply decoders: speed codes, serial numbers, description
// fields, link-status and timetag decoding, and the exchanges with both unit
// families, including malformed replies.
#include "orwin_unitsim.hpp"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

using c_string = std::unique_ptr<char, decltype(&free)>;
c_string own(char *text)
{
    return c_string(text, &free);
}
std::string text_of(char *text)
{
    c_string owned = own(text);
    return owned ? std::string(owned.get()) : std::string("<null>");
}

// Slot layouts, slot 0 first.
const std::vector<int> vex_slots = {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK, Orwin_MODULE_ram_rw};
const std::vector<int> tor_slots = {
    Orwin_MODULE_CAPABILITIES, Orwin_MODULE_MANUFACTURER, Orwin_MODULE_PRODUCT, Orwin_MODULE_HWA,
    Orwin_MODULE_LINK_SPEED,   Orwin_MODULE_LINK,         Orwin_MODULE_TT,      Orwin_MODULE_ER};
constexpr uint8_t ram_io = 2;

} // namespace

// ---- speed code ---------------------------------------------------------

TEST(SpeedCode, DecodesMantissaTimesPowerOfTen)
{
    EXPECT_DOUBLE_EQ(orw_speed_code_value(0xA064), 100e6);
    EXPECT_DOUBLE_EQ(orw_speed_code_value(0x98C8), 2e6);
    EXPECT_DOUBLE_EQ(orw_speed_code_value(0x98FA), 2.5e6);
    EXPECT_DOUBLE_EQ(orw_speed_code_value(0), 0.0);
}

TEST(SpeedCode, EncodesWholeAndRealSpeeds)
{
    struct {
        int mbps;
        unsigned code;
    } whole[] = {{100, 0xA064},           {2, 0x98C8},  {0, 0x9864}, {-7, 0x9864},
                 {1234, 41 * 1024 + 123}, {400, 0xA190}};
    for (auto &c : whole)
        EXPECT_EQ(orw_speed_code_from_mbps(c.mbps), c.code) << c.mbps;

    struct {
        double speed;
        unsigned code;
    } real[] = {{2500000.0, 0x98FA}, {2.5, 0x98FA},  {100.0, 0xA064},
                {0.0, 0x9864},       {-1.0, 0x9864}, {NAN, 0x9864}};
    for (auto &c : real)
        EXPECT_EQ(orw_speed_code_from_double(c.speed), c.code) << c.speed;
}

TEST(SpeedCode, ExtremeRealSpeedsStayInsideTheCode)
{
    // An infinite or tiny speed must neither hang nor spill into other bits.
    unsigned huge = orw_speed_code_from_double(INFINITY);
    EXPECT_LE(huge, 0xFFFFu);
    EXPECT_EQ(huge >> 10, 63u);
    EXPECT_LE(orw_speed_code_from_double(1e300), 0xFFFFu);
    EXPECT_LE(orw_speed_code_from_double(1e-300), 0xFFFFu);
}

TEST(SpeedCode, WholeSpeedsRoundTripToThreeDigits)
{
    for (int mbps : {1, 2, 10, 99, 100, 200, 999, 1000, 1005, 40000}) {
        double back = orw_speed_code_value(orw_speed_code_from_mbps(mbps)) / 1e6;
        EXPECT_NEAR(back, mbps, mbps * 0.01) << mbps;
    }
}

// ---- serial numbers and description fields --------------------------------

TEST(SerialNumber, OnlyTheUnitAddressRangeHasOne)
{
    struct {
        uint8_t hwa[6];
        const char *text;
    } cases[] = {
        {{0x00, 0x50, 0xC2, 0x21, 0x2F, 0xA0}, "C4000"}, {{0x00, 0x50, 0xC2, 0x21, 0x20, 0x05}, "A05"},
        {{0x00, 0x50, 0xC2, 0x21, 0x21, 0x00}, "A256"},  {{0x00, 0x50, 0xC2, 0x21, 0x20, 0x64}, "A100"},
        {{0x00, 0x50, 0xC2, 0x21, 0x23, 0xE8}, "C1000"}, {{0x00, 0x50, 0xC2, 0x21, 0x23, 0xE7}, "A999"},
        {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, "?"},     {{0x00, 0x50, 0xC2, 0x21, 0x30, 0x05}, "?"},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_of(Orwin_HWA_to_serial_number_string(c.hwa)), c.text);
    EXPECT_EQ(text_of(Orwin_HWA_to_serial_number_string(nullptr)), "?");
}

TEST(DescriptionFields, NamedFieldOrDefault)
{
    const std::string full = "Function=Router;Product=Box;;Manufacturer=Acme";
    struct {
        std::string data;
        const char *token, *fallback, *expected;
    } cases[] = {
        {full, "Function", "?", "Router"},
        {full, "Product", "?", "Box"},
        {full, "Manufacturer", "Tarvik Limited", "Acme"},
        {"Function=Router;Product=Box", "Manufacturer", "Tarvik Limited", "Tarvik Limited"},
        {"Function=Router;;Manufacturer=Acme", "Product", "?", "?"},
        {"Product=A;Product=B", "Product", "?", "B"},   // a later field wins
        {"Productname=X;Product=", "Product", "?", ""}, // the name must end at "="
        {"", "Product", "?", "?"},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_of(orw_product_string(c.token, c.data.c_str(), c.data.size(), c.fallback)), c.expected)
            << c.data << " / " << c.token;
}

TEST(DescriptionFields, StopsAtTheGivenSizeWithoutATerminator)
{
    char data[8] = {'P', 'r', 'o', 'd', 'u', 'c', 't', '='};
    EXPECT_EQ(text_of(orw_product_string("Product", data, sizeof data, "?")), "");
    EXPECT_EQ(text_of(orw_product_string("Product", data, 4, "?")), "?");
}

// ---- reply decoders ---------------------------------------------------------

TEST(ReplyDecoders, LinkStateFromAStatusReply)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    uint8_t reply[] = {ram_io, 5, 3, 0, 0, 0x50};
    int port = -1;
    EXPECT_EQ(Orwin_extract_link_state(unit.link, reply, sizeof reply, &port), SpaceWire_state_Run);
    EXPECT_EQ(port, 3);

    port = -1;
    EXPECT_EQ(Orwin_extract_link_state(unit.link, reply, 5, &port), Error_Response_Too_Small);
    EXPECT_STREQ(Orwin_get_error_text(), "not enough data in buffer");
    uint8_t other[] = {ram_io, 4, 3, 0x87, 0xFD, 0x50};
    EXPECT_EQ(Orwin_extract_link_state(unit.link, other, sizeof other, &port), Error_Response_Mismatch);
    EXPECT_STREQ(Orwin_get_error_text(), "link address state not returned");
    EXPECT_EQ(port, -1);
}

TEST(ReplyDecoders, SpeedsOnlyFromTheirOwnRegisters)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    uint8_t rx[] = {ram_io, 5, 4, 0, 0, 0x58, 0xA0, 0x64, 0};
    uint8_t tx[] = {ram_io, 4, 6, 0x87, 0xFD, 0x98, 0xFA};
    int port = -1;
    EXPECT_DOUBLE_EQ(Orwin_extract_rx_speed(unit.link, rx, sizeof rx, &port), 100e6);
    EXPECT_EQ(port, 4);
    EXPECT_DOUBLE_EQ(Orwin_extract_tx_speed(unit.link, tx, sizeof tx, &port), 2.5e6);
    EXPECT_EQ(port, 6);

    port = -1;
    EXPECT_EQ(Orwin_extract_rx_speed(unit.link, rx, 7, &port), 0.0);
    EXPECT_EQ(Orwin_extract_rx_speed(unit.link, tx, sizeof tx, &port), 0.0);
    EXPECT_EQ(Orwin_extract_tx_speed(unit.link, tx, 6, &port), 0.0);
    EXPECT_EQ(Orwin_extract_tx_speed(unit.link, rx, sizeof rx, &port), 0.0);
    EXPECT_EQ(port, -1);
}

TEST(ReplyDecoders, TimetagExtension)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    uint8_t tag[] = {0x88, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x27, 0x10};
    EXPECT_EQ(Orwin_extract_timetag_ns(unit.link, tag), 10000u);
    EXPECT_DOUBLE_EQ(Orwin_extract_timetag(unit.link, tag), 1e-6);
    EXPECT_DOUBLE_EQ(Orwin_get_timetag_Vex(unit.link, tag), 1e-6);
    EXPECT_DOUBLE_EQ(Orwin_get_timetag_Tor(unit.link, tag), 1e-6);

    // Only bits 2-0 of byte 1 belong to the 59-bit count.
    uint8_t top[] = {0x98, 0xFF, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(Orwin_extract_timetag_ns(unit.link, top), (uint64_t{7} << 56) | 1);
    // A time-zero extension is not a timetag for the get_timetag functions.
    EXPECT_EQ(Orwin_get_timetag_Vex(unit.link, top), 0.0);
}

TEST(ReplyDecoders, TorModuleTimeByModuleType)
{
    // Slot 1 TT (time at offset 1), slot 2 ER (offset 4), slot 3 LINK (none).
    unit_pair unit(SYSTEM_TYPE_Tor,
                   {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_TT, Orwin_MODULE_ER, Orwin_MODULE_LINK});
    ASSERT_TRUE(unit.link);
    // Period code 0x5864: 100 x 10^(22-34) s = 0.1 ns, so the count is the result.
    const uint8_t time[10] = {0x58, 0x64, 0, 0, 0, 0x02, 0x54, 0x0B, 0xE4, 0x00}; // 10,000,000,000
    uint8_t reply[32] = {};
    reply[0] = 1;
    memcpy(reply + 1, time, sizeof time);
    EXPECT_EQ(Orwin_extract_timetag_ns(unit.link, reply), 10000000000u);
    EXPECT_DOUBLE_EQ(Orwin_extract_timetag(unit.link, reply), 1.0);

    memset(reply, 0, sizeof reply);
    reply[0] = 2;
    memcpy(reply + 4, time, sizeof time);
    EXPECT_EQ(Orwin_extract_timetag_ns(unit.link, reply), 10000000000u);

    reply[0] = 3; // a module without a time
    EXPECT_EQ(Orwin_extract_timetag_ns(unit.link, reply), 0u);
    reply[0] = 200; // outside the slot table
    EXPECT_EQ(Orwin_extract_timetag(unit.link, reply), 0.0);

    // A 1 s period with the largest count saturates instead of wrapping.
    uint8_t big[32] = {1, 0x90, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Orwin_extract_timetag_ns(unit.link, big), UINT64_MAX);
}

TEST(ReplyDecoders, ModuleTypeOfAReplySlot)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    uint8_t reply[] = {2, 0};
    EXPECT_EQ(Orwin_get_module_type(unit.link, reply), Orwin_MODULE_ram_rw);
    reply[0] = 3;
    EXPECT_EQ(Orwin_get_module_type(unit.link, reply), Error_Function_Not_Supported);
    EXPECT_STREQ(Orwin_get_error_text(), "slot is not in range");
}

// ---- family dispatch ----------------------------------------------------------

TEST(QueryDispatch, UnknownFamilyFailsEveryQuery)
{
    unit_pair unit(SYSTEM_TYPE_INVALID, {});
    ASSERT_TRUE(unit.link);
    unsigned char hwa[6];
    uint8_t tag[9] = {0x88};
    for (char *text : {Orwin_get_module_string(unit.link, 1), Orwin_get_manufacturer_string(unit.link),
                       Orwin_get_product_string(unit.link), Orwin_get_device_description(unit.link),
                       Orwin_get_options_string(unit.link)}) {
        EXPECT_EQ(text, nullptr);
        free(text);
    }
    for (int rc : {Orwin_get_HWA(unit.link, hwa), Orwin_link_connected(unit.link),
                   Orwin_write_buffer_empty(unit.link), Orwin_get_receive_speed(unit.link),
                   Orwin_request_link_status(unit.link), Orwin_request_link_status_port(unit.link, 1, 1),
                   Orwin_request_rx_speed(unit.link), Orwin_request_tx_speed(unit.link)})
        EXPECT_EQ(rc, Error_Unknown_System_Type);
    EXPECT_EQ(Orwin_extract_timetag(unit.link, tag), -41.0);
    EXPECT_EQ(Orwin_get_error(), Error_Unknown_System_Type);
    EXPECT_STREQ(Orwin_get_error_text(), "System type not correct");
    EXPECT_EQ(unit.sent(), bytes_t{});
}

namespace {

// A call's result as text, so that every operation compares alike.
std::string outcome(int rc)
{
    return std::to_string(rc);
}
std::string outcome(double value)
{
    return std::to_string(value);
}
std::string outcome(uint64_t value)
{
    return std::to_string(value);
}
std::string outcome(char *text)
{
    return text_of(text);
}

uint8_t timetag_extension[9] = {0x88, 0, 0, 0, 0, 0, 0, 0x27, 0x10};
unsigned char hwa_out[6];

// The link count as the unit gives it, the cached one forgotten.
std::string links_asked(int (*count)(Orwin), Orwin link)
{
    orw_link(link)->number_of_links = 0;
    return outcome(count(link));
}

// The generic function and its two family variants with the same arguments.
// clang-format off
#define FAMILY_VARIANTS(fn, ...)                                          \
    {#fn, [](Orwin l) { return outcome(fn(l, ##__VA_ARGS__)); },          \
          [](Orwin l) { return outcome(fn##_Tor(l, ##__VA_ARGS__)); },    \
          [](Orwin l) { return outcome(fn##_Vex(l, ##__VA_ARGS__)); }}
// clang-format on

} // namespace

// Each generic function reaches the operation of the link's family: the same
// result, error, link state and bytes as calling that family's variant.
TEST(FamilyDispatch, GenericFunctionsActAsTheFamilyVariant)
{
    using call = std::string (*)(Orwin);
    struct {
        const char *name;
        call generic, tor, vex;
    } cases[] = {
        FAMILY_VARIANTS(Orwin_set_active_link, 3),
        FAMILY_VARIANTS(Orwin_set_mode, LINK_mode_normal),
        FAMILY_VARIANTS(Orwin_set_speed, 100),
        FAMILY_VARIANTS(Orwin_set_speed_double, 2.5),
        FAMILY_VARIANTS(Orwin_TT_enable_reporting, TT_report_EOP),
        FAMILY_VARIANTS(Orwin_ER_enable_reporting, ER_report_time_code),
        FAMILY_VARIANTS(Orwin_EW_enable_reporting, EW_capture_nchar),
        FAMILY_VARIANTS(Orwin_Observe, Orwin_report_EOP),
        FAMILY_VARIANTS(Orwin_EW_source, EW_Source_port_8),
        FAMILY_VARIANTS(Orwin_EW_request_data, 7),
        FAMILY_VARIANTS(Orwin_EW_request_data, 256),
        FAMILY_VARIANTS(Orwin_EW_reset, 4),
        FAMILY_VARIANTS(Orwin_EW_reset, -1),
        FAMILY_VARIANTS(Orwin_EW_clear, -3),
        FAMILY_VARIANTS(Orwin_EW_clear, 300),
        FAMILY_VARIANTS(Orwin_EI_ignore_events, EI_ignore_parity_error),
        FAMILY_VARIANTS(Orwin_EI_flow_control, 7, EI_transmit_anyway),
        FAMILY_VARIANTS(Orwin_ATI_calibrate, 0x5A),
        FAMILY_VARIANTS(Orwin_sma_56_pulse_width, 9),
        FAMILY_VARIANTS(Orwin_set_max_packet_data, 1000),
        FAMILY_VARIANTS(Orwin_set_mode_portmask, LINK_mode_disabled, 0x0Au),
        FAMILY_VARIANTS(Orwin_get_number_of_links),
        {"links asked of the unit", [](Orwin l) { return links_asked(Orwin_get_number_of_links, l); },
         [](Orwin l) { return links_asked(Orwin_get_number_of_links_Tor, l); },
         [](Orwin l) { return links_asked(Orwin_get_number_of_links_Vex, l); }},
        FAMILY_VARIANTS(Orwin_get_options_string),
        FAMILY_VARIANTS(Orwin_get_module_string, Orwin_MODULE_PRODUCT),
        FAMILY_VARIANTS(Orwin_get_manufacturer_string),
        FAMILY_VARIANTS(Orwin_get_product_string),
        FAMILY_VARIANTS(Orwin_get_device_description),
        FAMILY_VARIANTS(Orwin_get_HWA, hwa_out),
        FAMILY_VARIANTS(Orwin_link_connected),
        FAMILY_VARIANTS(Orwin_write_buffer_empty),
        FAMILY_VARIANTS(Orwin_get_receive_speed),
        FAMILY_VARIANTS(Orwin_request_link_status),
        FAMILY_VARIANTS(Orwin_request_link_status_port, 2, 0),
        FAMILY_VARIANTS(Orwin_request_rx_speed),
        FAMILY_VARIANTS(Orwin_request_tx_speed),
        FAMILY_VARIANTS(Orwin_extract_timetag, timetag_extension),
        FAMILY_VARIANTS(Orwin_extract_timetag_ns, timetag_extension),
    };
    // One reply that answers every query of its family: a module reply long
    // enough for any module, a register reply long enough for any read.
    const bytes_t tor_reply = {5, 3, 0xA0, 0x64, 0, 'a', 0, 'b', 0, 'c', 0x22, 0x33};
    bytes_t vex_reply = {ram_io, 0, 1, 0, 0, 0x58, 0xA0, 0x64};
    const std::string description = "Function=F;Product=P;Manufacturer=M";
    vex_reply.insert(vex_reply.end(), description.begin(), description.end());
    vex_reply.resize(5 + 256 + 1, 0);
    std::vector<int> tor_with_cr = tor_slots;
    tor_with_cr.push_back(Orwin_MODULE_CR);

    struct result {
        std::string value;
        int error;
        std::string text;
        int port;
        bytes_t sent;
        bool operator==(const result &o) const
        {
            return value == o.value && error == o.error && text == o.text && port == o.port && sent == o.sent;
        }
    };
    for (int family : {SYSTEM_TYPE_Tor, SYSTEM_TYPE_Vex}) {
        const bool tor = family == SYSTEM_TYPE_Tor;
        auto run = [&](call fn) {
            unit_pair unit(family, tor ? tor_with_cr : vex_slots);
            unit.reply(tor ? tor_reply : vex_reply);
            orw_restore_error(0, nullptr);
            result r{fn(unit.link),
                     Orwin_get_error(),
                     Orwin_get_error_text() ? Orwin_get_error_text() : "",
                     unit.record()->current_port,
                     {}};
            Orwin_flush(unit.link);
            r.sent = unit.sent();
            return r;
        };
        for (auto &c : cases) {
            const result generic = run(c.generic);
            const result variant = run(tor ? c.tor : c.vex);
            EXPECT_TRUE(generic == variant) << c.name << (tor ? " Tor: " : " Vex: ") << generic.value << " / "
                                            << variant.value << ", " << generic.text << " / " << variant.text;
        }
    }
}

// ---- Vex-family register reads -------------------------------------------------

TEST(VexRegisterRead, SendsTheRequestAndCopiesTheData)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    unit.record()->current_port = 3;
    unit.write_raw({0x42, 0x12, 0x34}); // data packets before the reply are skipped
    unit.reply({ram_io, 0, 3, 0x88, 0x00, 0x00, 0x50, 0xC2, 0x21, 0x2F, 0xA0});
    unsigned char hwa[6] = {};
    ASSERT_EQ(Orwin_get_HWA(unit.link, hwa), 0);
    EXPECT_EQ(bytes_t(hwa, hwa + 6), (bytes_t{0x00, 0x50, 0xC2, 0x21, 0x2F, 0xA0}));
    EXPECT_EQ(unit.sent(), special_frame({ram_io, 0, 3, 0x88, 0x00, 0x00, 0x06}));
}

TEST(VexRegisterRead, MalformedRepliesFailWithoutReadingPastThem)
{
    struct {
        const char *what;
        bytes_t reply;
        int code;
        const char *text;
    } cases[] = {
        {"too short",
         {ram_io, 0, 1, 0x88, 0x00, 0x00, 0x50},
         Error_Response_Too_Small,
         "Not enough data received"},
        {"other slot",
         {3, 0, 1, 0x88, 0x00, 1, 2, 3, 4, 5, 6},
         Error_Response_Mismatch,
         "Response does not match request"},
        {"other tag",
         {ram_io, 5, 1, 0x88, 0x00, 1, 2, 3, 4, 5, 6},
         Error_Response_Mismatch,
         "Response does not match request"},
    };
    for (auto &c : cases) {
        unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
        ASSERT_TRUE(unit.link);
        unit.reply(c.reply);
        unsigned char hwa[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(Orwin_get_HWA(unit.link, hwa), c.code) << c.what;
        EXPECT_STREQ(Orwin_get_error_text(), c.text) << c.what;
        EXPECT_EQ(hwa[0], 0xEE) << c.what;
    }
}

TEST(VexRegisterRead, TheReplyIsFoundAmongTheDataOfABusyUnit)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    for (int i = 0; i < 200; ++i) // far more than a fixed count of packets would pass over
        unit.write_raw({0x41, static_cast<uint8_t>(i)});
    unit.reply({ram_io, 0, 1, 0x88, 0x00, 1, 2, 3, 4, 5, 6});
    unsigned char hwa[6];
    EXPECT_EQ(Orwin_get_HWA(unit.link, hwa), 0);
    EXPECT_EQ(hwa[0], 1);
}

TEST(VexRegisterRead, OversizedReadsAreRefusedBeforeSending)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    std::vector<unsigned char> buffer(4096);
    EXPECT_EQ(ram_io_read_bytes(unit.link, 0, buffer.data(), 2049), Error_Request_Too_Large);
    EXPECT_EQ(ram_io_get_int(unit.link, 0, 5), Error_Request_Too_Large);
    EXPECT_STREQ(Orwin_get_error_text(), "asked to read more than supported number of bytes from ram");
    EXPECT_EQ(unit.sent(), bytes_t{});
}

TEST(VexQueries, LinkStatusAndSpeedRegisters)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    unit.reply({ram_io, 0, 1, 0, 0, 0x58}); // running, transmit buffer empty
    unit.reply({ram_io, 0, 1, 0, 0, 0x58});
    unit.reply({ram_io, 0, 1, 0, 1, 0xA0, 0x64});
    unit.reply({ram_io, 0, 1, 0, 0, 0x30}); // started, buffer not empty
    unit.reply({ram_io, 0, 1, 0, 0, 0x30});
    EXPECT_EQ(Orwin_link_connected(unit.link), 1);
    EXPECT_EQ(Orwin_write_buffer_empty(unit.link), 1);
    EXPECT_EQ(Orwin_get_receive_speed(unit.link), 0xA064);
    EXPECT_EQ(Orwin_link_connected(unit.link), 0);
    EXPECT_EQ(Orwin_write_buffer_empty(unit.link), 0);
}

TEST(VexQueries, DescriptionFieldsAndDefaults)
{
    std::string text = "Function=Router;Product=Box;;Manufacturer=Acme";
    bytes_t reply = {ram_io, 0, 1, 0x88, 0x0B};
    reply.insert(reply.end(), text.begin(), text.end());
    reply.resize(5 + 256, 0);
    bytes_t bare = {ram_io, 0, 1, 0x88, 0x0B};
    std::string function_only = "Function=Router";
    bare.insert(bare.end(), function_only.begin(), function_only.end());
    bare.resize(5 + 256, 0);

    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    for (int i = 0; i < 4; ++i)
        unit.reply(reply);
    unit.reply(bare);
    unit.reply(bare);
    EXPECT_EQ(text_of(Orwin_get_module_string(unit.link, 0)), "Router");
    EXPECT_EQ(text_of(Orwin_get_product_string(unit.link)), "Box");
    EXPECT_EQ(text_of(Orwin_get_manufacturer_string(unit.link)), "Acme");
    EXPECT_EQ(text_of(Orwin_get_device_description(unit.link)), text);
    EXPECT_EQ(text_of(Orwin_get_manufacturer_string(unit.link)), "Tarvik Limited");
    EXPECT_EQ(text_of(Orwin_get_product_string(unit.link)), "?");
}

TEST(VexQueries, DescriptionWithoutTerminatorIsCutAt255)
{
    bytes_t reply = {ram_io, 0, 1, 0x88, 0x0B};
    reply.resize(5 + 256, 'x');
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    unit.reply(reply);
    EXPECT_EQ(text_of(Orwin_get_device_description(unit.link)), std::string(255, 'x'));
}

TEST(VexRequests, StatusRequestsAreQueuedAndFlushed)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    unit.record()->current_port = 2;
    EXPECT_EQ(Orwin_request_link_status(unit.link), 0);
    EXPECT_EQ(unit.sent(), special_frame({ram_io, 5, 2, 0x00, 0x00, 0x00, 0x04}));
    EXPECT_EQ(Orwin_request_link_status_port(unit.link, 7, 0), 0);
    EXPECT_EQ(unit.sent(), special_frame({ram_io, 5, 7, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Orwin_request_link_status_port(unit.link, 7, 1), 0);
    EXPECT_EQ(unit.sent(), special_frame({ram_io, 5, 7, 0x00, 0x00, 0x00, 0x04}));
    EXPECT_EQ(Orwin_request_tx_speed(unit.link), 0);
    EXPECT_EQ(unit.sent(), special_frame({ram_io, 4, 2, 0x87, 0xFD, 0x00, 0x02}));
    EXPECT_EQ(Orwin_request_link_status_port(unit.link, 256, 1), Error_Parameter_RangeIncorrect);
    EXPECT_EQ(unit.sent(), bytes_t{});
}

// ---- Tor-family module exchanges -------------------------------------------------

TEST(TorQueries, ModuleStringsTakeTheLowBytes)
{
    unit_pair unit(SYSTEM_TYPE_Tor, tor_slots);
    ASSERT_TRUE(unit.link);
    unit.reply({1, 4, 0, 'A', 0, 'c', 0, 'm', 0, 'e'});
    EXPECT_EQ(text_of(Orwin_get_manufacturer_string(unit.link)), "Acme");
    EXPECT_EQ(unit.sent(), special_frame({1}));
    unit.reply({2, 3, 0, 'B', 0, 'o', 0, 'x'});
    EXPECT_EQ(text_of(Orwin_get_device_description(unit.link)), "Box");
    EXPECT_EQ(unit.sent(), special_frame({2}));
}

TEST(TorQueries, CharacterCountBeyondTheReplyIsCut)
{
    unit_pair unit(SYSTEM_TYPE_Tor, tor_slots);
    ASSERT_TRUE(unit.link);
    unit.reply({2, 200, 0, 'B', 0, 'o', 0}); // claims 200 characters, holds 2.5
    EXPECT_EQ(text_of(Orwin_get_product_string(unit.link)), "Bo");
    unit.reply({2});
    EXPECT_EQ(Orwin_get_product_string(unit.link), nullptr);
}

TEST(TorQueries, AbsentModuleIsNotAskedThroughSlotZero)
{
    unit_pair unit(SYSTEM_TYPE_Tor, {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK});
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_get_manufacturer_string(unit.link), nullptr);
    EXPECT_EQ(Orwin_get_error(), Error_Module_Not_Present);
    EXPECT_EQ(unit.sent(), bytes_t{});
}

TEST(TorQueries, HardwareAddress)
{
    unit_pair unit(SYSTEM_TYPE_Tor, tor_slots);
    ASSERT_TRUE(unit.link);
    unit.reply({3, 0, 0x00, 0x50, 0xC2, 0x21, 0x20, 0x05});
    unsigned char hwa[6] = {};
    ASSERT_EQ(Orwin_get_HWA(unit.link, hwa), 0);
    EXPECT_EQ(text_of(Orwin_HWA_to_serial_number_string(hwa)), "A05");
    EXPECT_EQ(unit.sent(), special_frame({3}));

    unit.reply({3, 0, 0x00, 0x50, 0xC2, 0x21, 0x20}); // 7 bytes
    EXPECT_EQ(Orwin_get_HWA(unit.link, hwa), Error_Network_Format_Error);
    EXPECT_STREQ(Orwin_get_error_text(), "not enough data to read hw address");

    unit.write_raw({0x41, 0x00}); // the unit's data before the reply is passed over
    unit.reply({3, 0, 0x00, 0x50, 0xC2, 0x21, 0x20, 0x07});
    ASSERT_EQ(Orwin_get_HWA(unit.link, hwa), 0);
    EXPECT_EQ(hwa[5], 0x07);
}

TEST(TorQueries, LinkModuleReplies)
{
    unit_pair unit(SYSTEM_TYPE_Tor, tor_slots);
    ASSERT_TRUE(unit.link);
    unit.reply({5, 0x58, 0xA0, 0x64});
    unit.reply({5, 0x58});
    unit.reply({5, 0x58, 0xA0, 0x64});
    EXPECT_EQ(Orwin_link_connected(unit.link), 1);
    EXPECT_EQ(Orwin_write_buffer_empty(unit.link), 1);
    EXPECT_EQ(Orwin_get_receive_speed(unit.link), 0xA064);

    // Short replies: under 2 bytes for the state, under 4 for the speed.
    unit.reply({5});
    unit.reply({5});
    unit.reply({5, 0x58, 0xA0});
    EXPECT_EQ(Orwin_link_connected(unit.link), -1);
    EXPECT_EQ(Orwin_write_buffer_empty(unit.link), -1);
    EXPECT_EQ(Orwin_get_receive_speed(unit.link), -1);
}

TEST(TorQueries, LinkCountWithoutCrModuleNeedsNoExchange)
{
    unit_pair unit(SYSTEM_TYPE_Tor, tor_slots, 0);
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_get_number_of_links(unit.link), 1);
    EXPECT_EQ(Orwin_get_number_of_links(unit.link), 1);
    EXPECT_EQ(unit.sent(), bytes_t{});
}

TEST(TorQueries, LinkCountFromCrModule)
{
    unit_pair unit(SYSTEM_TYPE_Tor, {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_CR}, 0);
    ASSERT_TRUE(unit.link);
    unit.reply({1, 0});
    EXPECT_EQ(Orwin_get_number_of_links(unit.link), -1);
    unit.reply({1, 0, 4});
    EXPECT_EQ(Orwin_get_number_of_links(unit.link), 4);
    EXPECT_EQ(Orwin_get_number_of_links(unit.link), 4); // cached
    EXPECT_EQ(unit.sent(), (bytes_t{0xC1, 1, 0xC1, 1}));
}

TEST(TorRequests, OneByteToTheModuleSlot)
{
    unit_pair unit(SYSTEM_TYPE_Tor,
                   {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK_SPEED, Orwin_MODULE_LINK, Orwin_MODULE_CR});
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_request_link_status(unit.link), 0);
    EXPECT_EQ(Orwin_request_tx_speed(unit.link), 0);
    EXPECT_EQ(unit.sent(), (bytes_t{0xC1, 2, 0xC1, 1}));
    // Another port is selected first through the CR module.
    EXPECT_EQ(Orwin_request_link_status_port(unit.link, 4, 1), 0);
    EXPECT_EQ(unit.sent(), (bytes_t{0xC2, 3, 4, 0xC1, 2}));
    EXPECT_EQ(unit.record()->current_port, 4);
}

// ---- against the unit simulator -------------------------------------------------

TEST(QueriesOnSimulator, IdentityOfBothFamilies)
{
    for (auto kind : {orw::unitsim::family::vex, orw::unitsim::family::tor}) {
        orw::unitsim::config cfg;
        cfg.kind = kind;
        cfg.description = "Function=Router;Product=Box;Manufacturer=Acme";
        cfg.manufacturer = "Acme";
        cfg.product = "Box";
        cfg.hwa = {0x00, 0x50, 0xC2, 0x21, 0x2F, 0xA0};
        orw::unitsim::simulator sim(cfg);
        Orwin link = Orwin_open(const_cast<char *>(sim.address().c_str()));
        ASSERT_TRUE(link);
        EXPECT_EQ(text_of(Orwin_get_manufacturer_string(link)), "Acme");
        EXPECT_EQ(text_of(Orwin_get_product_string(link)), "Box");
        unsigned char hwa[6] = {};
        ASSERT_EQ(Orwin_get_HWA(link, hwa), 0);
        EXPECT_EQ(text_of(Orwin_HWA_to_serial_number_string(hwa)), "C4000");
        Orwin_close(link);
    }
}

// A special packet longer than the reply buffer is one packet: its tail is
// never taken for a reply of its own, whatever it looks like.
TEST(Replies, TailOfAnOverlongSpecialIsNotAReply)
{
    // `size` bytes from `slot`, ending in `tail`.
    auto overlong = [](size_t size, uint8_t slot, const bytes_t &tail) {
        bytes_t p(size, 0x11);
        p[0] = slot;
        std::copy(tail.begin(), tail.end(), p.end() - static_cast<long>(tail.size()));
        return p;
    };
    auto padded = [](bytes_t b, size_t n) {
        b.resize(n, 0);
        return b;
    };
    struct reply_case {
        const char *name;
        int family;
        std::vector<int> slots;
        bytes_t packet;    // the over-long special
        bytes_t reply;     // the real reply after it
        int first, second; // expected results of two calls
        std::function<int(Orwin)> call;
    };
    const reply_case cases[] = {
        {"capability reply",
         SYSTEM_TYPE_Tor,
         {},
         overlong(8195, 0x07, {0x00, 0x01, 0x00}),
         {0x00, 0x02, 0x05, 0x00},
         2,
         2,
         [](Orwin l) { return Orwin_negotiate(l) < 0 ? -1 : orw_link(l)->number_of_slots; }},
        {"register read",
         SYSTEM_TYPE_Vex,
         vex_slots,
         overlong(2138, 0x09, padded({ram_io, 0, 1, 0x8F, 0xFF, 200}, 2138 - 2100)),
         {ram_io, 0, 1, 0x8F, 0xFF, 4},
         4,
         4,
         [](Orwin l) {
             Orwin_set_number_of_links(l, 0);
             return Orwin_get_number_of_links(l);
         }},
        {"control packet",
         SYSTEM_TYPE_Tor,
         {0, Orwin_MODULE_CR},
         overlong(8195, 1, {1, 0, 200}),
         {1, 0, 4},
         Error_Sequence_Error,
         4,
         [](Orwin l) {
             Orwin_set_number_of_links(l, 0);
             return Orwin_get_number_of_links(l);
         }},
    };
    for (const reply_case &c : cases) {
        SCOPED_TRACE(c.name);
        unit_pair unit(c.family, c.slots);
        ASSERT_TRUE(unit.link);
        Orwin_set_rx_timeout(unit.link, 300);
        unit.reply(c.packet);
        unit.reply(c.reply);
        EXPECT_EQ(c.call(unit.link), c.first);
        if (c.first != c.second) {
            unit.reply(c.reply);
            EXPECT_EQ(c.call(unit.link), c.second);
        }
    }
}
