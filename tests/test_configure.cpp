// SPDX-License-Identifier: MIT
// Configuration commands of both unit families: the exact packets, the
// flushing classes, range and module checks, link selection and port masks.
#include "orwin_unitsim.hpp"
#include "unit_pair.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <dlfcn.h>
#include <functional>
#include <string>

namespace {

// The earlier builds carry the same block register write under another name.
int block_write(Orwin link, int port, int address, void *data, int size)
{
#ifdef ORWIN_EARLIER_BUILD
    return ram_io_write_bytes(link, port, address, data, size);
#else
    return Orwin_RGVex_control(link, port, address, data, size);
#endif
}

const std::vector<int> vex_slots = {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK, Orwin_MODULE_ram_rw};
constexpr uint8_t ram_io = 2;

using command = std::function<int(Orwin)>;

// Vex register write of `data` at `address` on link 1.
bytes_t vex_write(uint16_t address, bytes_t data)
{
    bytes_t packet = {ram_io,
                      0x00,
                      0x01,
                      static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address),
                      static_cast<uint8_t>(0x80),
                      static_cast<uint8_t>(data.size())};
    packet.insert(packet.end(), data.begin(), data.end());
    return special_frame(packet);
}

enum class rule { automatic, settle, always, twice_if_auto };

// Sends on one descriptor can be made to fail a number of times, to see how
// the library goes on after a failed flush.
std::atomic<int> failing_send_fd{-1};
std::atomic<int> failing_sends{0};

} // namespace

extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    using send_fn = ssize_t (*)(int, const void *, size_t, int);
    static const send_fn real = reinterpret_cast<send_fn>(dlsym(RTLD_NEXT, "send"));
    if (fd == failing_send_fd && failing_sends > 0) {
        --failing_sends;
        errno = EPIPE;
        return -1;
    }
    return real(fd, buf, len, flags);
}

TEST(VexConfigure, SetModeQueuesFlushesAndSettles)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Orwin_set_mode(unit.link, LINK_mode_normal), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(unit.sent(), (bytes_t{0xC8, 0x02, 0x00, 0x01, 0x00, 0x00, 0x80, 0x01, 0x02}));
    EXPECT_GE(elapsed, std::chrono::milliseconds(5));
}

// The settle flush runs twice with auto_flush on, the second even after the
// first failed, and gives the last flush's result.
TEST(VexConfigure, SettleFlushesAgainAfterAFailedFlush)
{
    const bytes_t mode = {0xC8, 0x02, 0x00, 0x01, 0x00, 0x00, 0x80, 0x01, 0x02};
    for (int failures : {0, 1, 2}) {
        SCOPED_TRACE(failures);
        unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
        ASSERT_TRUE(unit.link);
        failing_send_fd = unit.record()->sock;
        failing_sends = failures;
        const int rc = Orwin_set_mode(unit.link, LINK_mode_normal);
        failing_send_fd = -1;
        EXPECT_EQ(rc, failures < 2 ? 0 : Error_Network);
        EXPECT_EQ(unit.sent(), failures < 2 ? mode : bytes_t{});
        EXPECT_EQ(unit.record()->tx_buffer_content, failures < 2 ? 0u : mode.size());
    }
}

TEST(VexConfigure, RegisterWritesAndTheirFlushingClass)
{
    struct {
        const char *name;
        command call;
        bytes_t wire;
        rule flushing;
    } cases[] = {
        {"TT EOP", [](Orwin l) { return Orwin_TT_enable_reporting(l, TT_report_EOP); },
         vex_write(0x0030, {0x01, 0x00}), rule::settle},
        {"ER", [](Orwin l) { return Orwin_ER_enable_reporting(l, ER_report_time_code); },
         vex_write(0x0020, {0x00, 0x80}), rule::settle},
        {"EW", [](Orwin l) { return Orwin_EW_enable_reporting(l, EW_capture_nchar); },
         vex_write(0x0060, {0x40, 0x00}), rule::settle},
        {"observe", [](Orwin l) { return Orwin_Observe(l, Orwin_report_EOP | Orwin_report_FCT); },
         vex_write(0x0020, {0x01, 0x40}), rule::settle},
        {"EW source", [](Orwin l) { return Orwin_EW_source(l, EW_Source_port_8 | EW_Source_barrier); },
         vex_write(0x0070, {0x01, 0x01}), rule::settle},
        {"speed", [](Orwin l) { return Orwin_set_speed(l, 100); }, vex_write(0x87FD, {0xA0, 0x64}),
         rule::automatic},
        {"speed double", [](Orwin l) { return Orwin_set_speed_double(l, 2500000.0); },
         vex_write(0x87FD, {0x98, 0xFA}), rule::automatic},
        {"ignore", [](Orwin l) { return Orwin_EI_ignore_events(l, EI_ignore_parity_error); },
         vex_write(0x0040, {0x00, 0x10}), rule::automatic},
        {"flow control", [](Orwin l) { return Orwin_EI_flow_control(l, 7, EI_transmit_anyway); },
         vex_write(0x0050, {39}), rule::automatic},
        {"ATI", [](Orwin l) { return Orwin_ATI_calibrate(l, 0x5A); }, vex_write(0x0100, {0x5A}),
         rule::automatic},
        {"SMA", [](Orwin l) { return Orwin_sma_56_pulse_width(l, 9); }, vex_write(0x00F0, {9}),
         rule::automatic},
        {"max data", [](Orwin l) { return Orwin_set_max_packet_data(l, 1000); }, vex_write(0x0010, {255}),
         rule::twice_if_auto},
        {"max data negative", [](Orwin l) { return Orwin_set_max_packet_data(l, -1); },
         vex_write(0x0010, {255}), rule::twice_if_auto},
        {"EW reset", [](Orwin l) { return Orwin_EW_reset(l, 4); },
         special_frame({ram_io, 0, 4, 0x10, 0x00, 0x80, 0x01, 0x00}), rule::automatic},
        {"EW clear negated", [](Orwin l) { return Orwin_EW_clear(l, -3); },
         special_frame({ram_io, 0, 3, 0x10, 0x00, 0x80, 0x01, 0x00}), rule::automatic},
        {"EW data", [](Orwin l) { return Orwin_EW_request_data(l, 7); },
         special_frame({ram_io, 0, 7, 0x10, 0x00, 0x08, 0x16}), rule::always},
    };
    for (auto &c : cases) {
        for (int auto_flush : {1, 0}) {
            unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
            ASSERT_TRUE(unit.link);
            unit.record()->auto_flush = auto_flush;
            ASSERT_EQ(c.call(unit.link), 0) << c.name;
            bool flushed = auto_flush || c.flushing == rule::settle || c.flushing == rule::always;
            EXPECT_EQ(unit.sent(), flushed ? c.wire : bytes_t{}) << c.name << " auto_flush " << auto_flush;
            ASSERT_EQ(Orwin_flush(unit.link), 0);
            EXPECT_EQ(unit.sent(), flushed ? bytes_t{} : c.wire) << c.name << " auto_flush " << auto_flush;
        }
    }
}

TEST(VexConfigure, RegisterBlockWrite)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    uint8_t data[] = {0xDE, 0xAD, 0xBE};
    EXPECT_EQ(block_write(unit.link, 5, 0x9000, data, sizeof data), 0);
    EXPECT_EQ(unit.sent(), special_frame({ram_io, 0, 5, 0x90, 0x00, 0x80, 0x03, 0xDE, 0xAD, 0xBE}));

    std::vector<uint8_t> large(300, 0x11);
    EXPECT_EQ(block_write(unit.link, 1, 0x2000, large.data(), 300), 0);
    bytes_t wire = unit.sent();
    ASSERT_EQ(wire.size(), 3u + 7 + 300);
    EXPECT_EQ(bytes_t(wire.begin(), wire.begin() + 10),
              (bytes_t{0xFE, 0x01, 0x33, ram_io, 0, 1, 0x20, 0x00, 0x81, 0x2C}));
}

TEST(VexConfigure, OutOfRangeArgumentsQueueNothing)
{
    struct {
        const char *name;
        command call;
        int code;
        const char *text;
    } cases[] = {
        {"clear 300", [](Orwin l) { return Orwin_EW_clear(l, 300); }, Error_Parameter_RangeIncorrect,
         "EW error not in range"},
        {"clear INT_MIN", [](Orwin l) { return Orwin_EW_clear(l, INT_MIN); }, Error_Parameter_RangeIncorrect,
         "EW error not in range"},
        {"reset 256", [](Orwin l) { return Orwin_EW_reset(l, 256); }, Error_Parameter_RangeIncorrect,
         "port not in range"},
        {"data -1", [](Orwin l) { return Orwin_EW_request_data(l, -1); }, Error_Parameter_RangeIncorrect,
         "port not in range"},
        {"fcts 16", [](Orwin l) { return Orwin_EI_flow_control(l, 16, 0); }, Error_Parameter_RangeIncorrect,
         "fcts not in range"},
        {"link 9 of 8", [](Orwin l) { return Orwin_set_active_link(l, 9); }, Error_Invalid_Link,
         "link not present in device"},
        {"link -1", [](Orwin l) { return Orwin_set_active_link(l, -1); }, Error_Invalid_Link,
         "link not present in device"},
        {"block of 32768",
         [](Orwin l) {
             static uint8_t big[32768];
             return block_write(l, 1, 0, big, sizeof big);
         },
         Error_Parameter_RangeIncorrect, "IFCbytes not in range"},
        {"block without data", [](Orwin l) { return block_write(l, 1, 0, nullptr, 4); },
         Error_Parameter_RangeIncorrect, "IFCbytes not in range"},
        {"block address",
         [](Orwin l) {
             uint8_t one = 1;
             return block_write(l, 1, 0x10000, &one, 1);
         },
         Error_Parameter_RangeIncorrect, "IFCaddress not in range"},
    };
    for (auto &c : cases) {
        unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
        ASSERT_TRUE(unit.link);
        unit.record()->current_port = 2;
        EXPECT_EQ(c.call(unit.link), c.code) << c.name;
        EXPECT_STREQ(Orwin_get_error_text(), c.text) << c.name;
        EXPECT_EQ(unit.record()->tx_buffer_content, 0u) << c.name;
        EXPECT_EQ(unit.record()->current_port, 2) << c.name;
        EXPECT_EQ(unit.sent(), bytes_t{}) << c.name;
    }
}

TEST(VexConfigure, LinkSelectionIsAnUnflushedExtension)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_set_active_link(unit.link, 3), 0);
    EXPECT_EQ(unit.record()->current_port, 3);
    EXPECT_EQ(unit.sent(), bytes_t{});
    ASSERT_EQ(Orwin_flush(unit.link), 0);
    EXPECT_EQ(unit.sent(), (bytes_t{0xC0, 0x43}));
}

TEST(VexConfigure, LinkBeyondThePortSelectRangeIsRefused)
{
    // A unit may report more links than one extension byte can select.
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots, 200);
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_set_active_link(unit.link, 63), 0);
    EXPECT_EQ(Orwin_set_active_link(unit.link, 64), Error_Invalid_Link);
    EXPECT_EQ(unit.record()->current_port, 63);
    Orwin_flush(unit.link);
    EXPECT_EQ(unit.sent(), (bytes_t{0xC0, 0x7F}));
}

TEST(PortMask, SelectsLinksLowestFirstAndFlushesOnce)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots);
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_set_mode_portmask(unit.link, LINK_mode_disabled, 0x0A), 0);
    bytes_t expected = {0xC0, 0x41};
    bytes_t mode1 = special_frame({ram_io, 0, 1, 0, 0, 0x80, 1, LINK_mode_disabled});
    bytes_t mode3 = special_frame({ram_io, 0, 3, 0, 0, 0x80, 1, LINK_mode_disabled});
    expected.insert(expected.end(), mode1.begin(), mode1.end());
    expected.insert(expected.end(), {0xC0, 0x43});
    expected.insert(expected.end(), mode3.begin(), mode3.end());
    EXPECT_EQ(unit.sent(), expected);
    EXPECT_EQ(unit.record()->auto_flush, 1);

    EXPECT_EQ(Orwin_set_mode_portmask(unit.link, LINK_mode_normal, 0), 0);
    EXPECT_EQ(unit.sent(), bytes_t{});
}

TEST(PortMask, FailureOnALinkIsReturnedAndAutoFlushRestored)
{
    unit_pair unit(SYSTEM_TYPE_Vex, vex_slots, 2);
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_set_mode_portmask(unit.link, LINK_mode_normal, 0x0A), Error_Invalid_Link);
    EXPECT_EQ(unit.record()->auto_flush, 1);
    EXPECT_EQ(unit.record()->current_port, 1);

    unit_pair tor(SYSTEM_TYPE_Tor, {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK});
    ASSERT_TRUE(tor.link);
    EXPECT_EQ(Orwin_set_mode_portmask(tor.link, LINK_mode_normal, 0x06), Error_Module_Not_Present);
    EXPECT_EQ(tor.record()->auto_flush, 1);
}

TEST(TorConfigure, ModuleCommands)
{
    const std::vector<int> slots = {
        Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK_SPEED, Orwin_MODULE_LINK, Orwin_MODULE_TT_64,
        Orwin_MODULE_ER,           Orwin_MODULE_EW_RT,      Orwin_MODULE_CR};
    struct {
        const char *name;
        command call;
        bytes_t wire;
        bool flushed;
    } cases[] = {
        {"mode", [](Orwin l) { return Orwin_set_mode(l, LINK_mode_normal); }, {0xC2, 2, 2}, false},
        {"link", [](Orwin l) { return Orwin_set_active_link(l, 5); }, {0xC2, 6, 5}, false},
        {"speed", [](Orwin l) { return Orwin_set_speed(l, 100); }, {0xC3, 1, 0xA0, 0x64}, true},
        {"speed double", [](Orwin l) { return Orwin_set_speed_double(l, 2.5); }, {0xC3, 1, 0x98, 0xFA}, true},
        {"TT", [](Orwin l) { return Orwin_TT_enable_reporting(l, TT_report_EOP); }, {0xC2, 3, 0x04}, true},
        {"ER",
         [](Orwin l) { return Orwin_ER_enable_reporting(l, ER_report_time_code); },
         {0xC2, 4, 0x80},
         true},
        {"EW",
         [](Orwin l) { return Orwin_EW_enable_reporting(l, EW_capture_first_null); },
         {0xC2, 5, 0x02},
         true},
        {"EW reset", [](Orwin l) { return Orwin_EW_reset(l, 9); }, {0xC2, 9, 0x80}, true},
        {"EW clear", [](Orwin l) { return Orwin_EW_clear(l, -9); }, {0xC2, 9, 0x80}, true},
    };
    for (auto &c : cases) {
        unit_pair unit(SYSTEM_TYPE_Tor, slots);
        ASSERT_TRUE(unit.link);
        ASSERT_EQ(c.call(unit.link), 0) << c.name;
        EXPECT_EQ(unit.sent(), c.flushed ? c.wire : bytes_t{}) << c.name;
        Orwin_flush(unit.link);
        EXPECT_EQ(unit.sent(), c.flushed ? bytes_t{} : c.wire) << c.name;
    }
}

TEST(TorConfigure, MissingModulesAndVexOnlyCommands)
{
    struct {
        command call;
        const char *text;
    } cases[] = {
        {[](Orwin l) { return Orwin_TT_enable_reporting(l, TT_report_EOP); }, "timetag module not present"},
        {[](Orwin l) { return Orwin_ER_enable_reporting(l, 0); }, "er module not present"},
        {[](Orwin l) { return Orwin_EW_enable_reporting(l, 0); }, "waveform module not present"},
        {[](Orwin l) { return Orwin_Observe(l, 0); }, "observe module not present"},
        {[](Orwin l) { return Orwin_EW_source(l, 1); }, "waveform module not present"},
        {[](Orwin l) { return Orwin_EW_request_data(l, 1); }, "waveform module not present"},
        {[](Orwin l) { return Orwin_EI_ignore_events(l, 0); }, "ei module not present"},
        {[](Orwin l) { return Orwin_EI_flow_control(l, 1, 0); }, "ei module not present"},
        {[](Orwin l) { return Orwin_ATI_calibrate(l, 1); }, "ATI module not present"},
        {[](Orwin l) { return Orwin_sma_56_pulse_width(l, 1); }, "SMA module not present"},
        {[](Orwin l) { return Orwin_set_max_packet_data(l, 10); }, "module not present"},
        {[](Orwin l) { return Orwin_set_active_link(l, 2); }, "cr module not present"},
    };
    for (auto &c : cases) {
        unit_pair unit(SYSTEM_TYPE_Tor, {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK});
        ASSERT_TRUE(unit.link);
        EXPECT_EQ(c.call(unit.link), Error_Module_Not_Present) << c.text;
        EXPECT_STREQ(Orwin_get_error_text(), c.text);
        Orwin_flush(unit.link);
        EXPECT_EQ(unit.sent(), bytes_t{}) << c.text;
    }
}

TEST(TorConfigure, WithoutCrModuleLinkOneNeedsNothing)
{
    unit_pair unit(SYSTEM_TYPE_Tor, {Orwin_MODULE_CAPABILITIES, Orwin_MODULE_LINK});
    ASSERT_TRUE(unit.link);
    EXPECT_EQ(Orwin_set_active_link(unit.link, 1), 0);
    EXPECT_EQ(unit.record()->current_port, 1);
    Orwin_flush(unit.link);
    EXPECT_EQ(unit.sent(), bytes_t{});
}

TEST(ConfigureDispatch, UnknownFamilyFailsEveryCommand)
{
    unit_pair unit(SYSTEM_TYPE_INVALID, {});
    ASSERT_TRUE(unit.link);
    for (int rc :
         {Orwin_set_active_link(unit.link, 1), Orwin_set_mode(unit.link, 2), Orwin_set_speed(unit.link, 1),
          Orwin_set_speed_double(unit.link, 1.0), Orwin_TT_enable_reporting(unit.link, 0),
          Orwin_ER_enable_reporting(unit.link, 0), Orwin_EW_enable_reporting(unit.link, 0),
          Orwin_Observe(unit.link, 0), Orwin_EW_source(unit.link, 0), Orwin_EW_request_data(unit.link, 0),
          Orwin_EW_reset(unit.link, 0), Orwin_EW_clear(unit.link, 0), Orwin_EI_ignore_events(unit.link, 0),
          Orwin_EI_flow_control(unit.link, 0, 0), Orwin_ATI_calibrate(unit.link, 0),
          Orwin_sma_56_pulse_width(unit.link, 0), Orwin_set_max_packet_data(unit.link, 0),
          Orwin_set_mode_portmask(unit.link, 2, 1)})
        EXPECT_EQ(rc, Error_Unknown_System_Type);
    Orwin_flush(unit.link);
    EXPECT_EQ(unit.sent(), bytes_t{});
}

TEST(ConfigureOnSimulator, ModeAndSpeedReachTheUnit)
{
    orw::unitsim::simulator sim;
    Orwin link = Orwin_open(const_cast<char *>(sim.address().c_str()));
    ASSERT_TRUE(link);
    ASSERT_EQ(Orwin_set_active_link(link, 3), 0);
    ASSERT_EQ(Orwin_set_speed(link, 100), 0);
    ASSERT_EQ(Orwin_set_mode(link, LINK_mode_normal), 0);
    // The unit parses on its own thread; give it a moment.
    for (int i = 0; i < 100 && sim.link_mode(3) != LINK_mode_normal; ++i)
        usleep(10000);
    EXPECT_EQ(sim.link_mode(3), LINK_mode_normal);
    EXPECT_EQ(sim.link_speed_code(3), 0xA064);
    EXPECT_EQ(sim.current_link(), 3);
    Orwin_close(link);
}
