// SPDX-License-Identifier: MIT
// The library's event decoding and configuration commands against the unit
// simulator: what the unit reports reaches the right callbacks and counters,
// and what the library configures is kept by the unit per link.
#include "Orwin.hpp"
#include "callback_recorder.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using orw::unitsim::family;
using orw::unitsim::simulator;
using bytes = std::vector<uint8_t>;
using conn = orw::connection;

using listener = test::recorder;

constexpr int callbacks = conn::CALLBACK_SPECIAL_DATA | conn::CALLBACK_EXTENSION_DATA;

// Reads with callbacks until `done` holds or three seconds pass.
bool read_until(orw::connection &c, const std::function<bool()> &done)
{
    static unsigned char buffer[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(c.device, buffer, sizeof buffer, &type, callbacks);
        if (n < 0 && n != conn::Error_Receiver_Timeout)
            return done();
    }
    return true;
}

// The unit handles commands on its own thread.
bool eventually(const std::function<bool()> &done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

orw::unitsim::config unit_of(family kind, std::vector<uint8_t> modules = {})
{
    orw::unitsim::config cfg;
    cfg.kind = kind;
    cfg.links = 8;
    cfg.modules = std::move(modules);
    return cfg;
}

void connect(listener &c, const simulator &sim)
{
    c.connect(sim.address());
    ASSERT_EQ(Orwin_set_rx_timeout(c.device, 100), 0);
}

} // namespace

TEST(SimEvents, TimetagsAndEventsReachTheirLinks)
{
    simulator sim(unit_of(family::vex));
    listener c;
    connect(c, sim);
    sim.emit_timetag(3, 10000);
    sim.emit_timetag_delta(3, 16);
    sim.emit_timetag_delta(4, 16); // link 4 has no full timetag yet: ignored
    sim.emit_event(5, orw::unitsim::event_parity_error);
    sim.emit_event(5, orw::unitsim::event_timeout);
    sim.emit_event(6, orw::unitsim::event_missing_data);
    sim.emit_event(6, orw::unitsim::event_esc_eep);
    sim.emit_event(7, orw::unitsim::event_error);
    sim.emit_timecode(2, 0x85);
    sim.emit_uncertainty(7);
    sim.emit_time_zero(5000);
    ASSERT_TRUE(read_until(c, [&] { return c.has("timezero 5000"); }));

    EXPECT_EQ(c.timetags, (std::vector<uint64_t>{10000, 10016}));
    EXPECT_TRUE(c.timestamps[3].present);
    EXPECT_EQ(c.timestamps[3].raw, 10016u);
    EXPECT_FALSE(c.timestamps[4].present);
    EXPECT_TRUE(c.has_on("parity", 5));
    EXPECT_TRUE(c.has_on("error_event", 7));
    EXPECT_TRUE(c.has_on("timecode 133 1 0 5", 2));
    EXPECT_TRUE(c.has("uncertainty 7"));
    EXPECT_EQ(c.uncertainty, 7u);
    EXPECT_EQ(c.status.links[5].parity.total, 1u);
    EXPECT_EQ(c.status.links[5].timeout.total, 1u);
    EXPECT_EQ(c.status.links[6].missed.total, 1u);
    EXPECT_EQ(c.status.links[6].eecs.total, 1u);
    EXPECT_EQ(c.status.parity.total, 1u);
    EXPECT_EQ(c.status.links[2].timecode, 0x85);
    EXPECT_EQ(c.status.links[3].parity.total, 0u);
    EXPECT_EQ(c.rx_link, 2u);
    for (int link : {3, 4, 5, 6, 7, 2})
        EXPECT_TRUE(c.has("link_selected " + std::to_string(link))) << link;
}

TEST(SimEvents, RecordingHeaderDateAndBarrier)
{
    simulator sim(unit_of(family::vex, {0, 5, 21, 22}));
    listener c;
    connect(c, sim);
    sim.emit_recording_header(2, 1700000000, 250000000);
    orw::unitsim::calendar date;
    date.year = 2026;
    date.month = 6;
    date.day = 1;
    date.hour = 12;
    sim.emit_date(date);
    ASSERT_TRUE(sim.emit_barrier(0x0102030405060708ull));
    ASSERT_TRUE(read_until(c, [&] { return c.has("barrier 102030405060708"); }));

    EXPECT_TRUE(c.has("reported_version 0 2"));
    EXPECT_TRUE(c.has("startdate 1700000000 250000000"));
    // The header came first, so the date does not move the start.
    EXPECT_EQ(c.yeartime, 1700000000);
    EXPECT_EQ(c.timestamps[5].time, 1700000000);
    EXPECT_EQ(c.timestamps[5].ns, 250000000u);
    tm local = {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 5;
    local.tm_mday = 1;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    time_t expected = mktime(&local);
    bool dated = false;
    for (const std::string &call : c.calls) {
        long long t = 0;
        unsigned ns = 1;
        if (sscanf(call.c_str(), "startdate %lld %u", &t, &ns) == 2 && ns == 0)
            dated = t >= expected - 3600 && t <= expected + 3600;
    }
    EXPECT_TRUE(dated) << "the date reaches startdate as local time";
}

TEST(SimEvents, WaveformRequestAnsweredWithTheChosenRecord)
{
    struct {
        uint8_t event_byte;
        int port;
        const char *cause;
    } cases[] = {
        {0x43, 3, "parity_error on port 3"},
        {0x0A, 4, "rising edge on SMA 3-4"},
        {0x00, 1, "synchronization barrier lifting"},
        {0xF8, 8, "EEP on port 8"},
    };
    simulator sim(unit_of(family::vex));
    listener c;
    connect(c, sim);
    for (const auto &k : cases) {
        orw::unitsim::waveform_config w = orw::unitsim::waveform_config{};
        w.event_byte = k.event_byte;
        w.unit = 0x0203;
        w.error_index = 300;
        for (int i = 0; i < 2048; ++i)
            w.samples.push_back(uint8_t(i * 7 + k.port));
        sim.set_waveform(k.port, w);
        c.calls.clear();
        ASSERT_EQ(Orwin_EW_request_data(c.device, k.port), 0);
        ASSERT_TRUE(read_until(c, [&] { return !c.causes.empty(); })) << k.cause;
        char expected[64];
        snprintf(expected, sizeof expected, "waveform 300 515 %d %d %d 2075", k.port, k.event_byte & 0x0F,
                 k.event_byte >> 4);
        EXPECT_EQ(c.calls.back(), expected);
        EXPECT_EQ(c.causes.back(), k.cause);
        ASSERT_EQ(c.waveform_body.size(), 2075u);
        EXPECT_EQ(bytes(c.waveform_body.begin() + 5, c.waveform_body.begin() + 5 + 2048), w.samples);
        c.causes.clear();
    }
    // The unit family without the register interface refuses the request.
    simulator tor(unit_of(family::tor));
    listener t;
    connect(t, tor);
    EXPECT_EQ(Orwin_EW_request_data(t.device, 1), -24);
}

TEST(SimEvents, LinkStatusAndSpeedRepliesReachTheirCallbacks)
{
    simulator sim(unit_of(family::vex));
    listener c;
    connect(c, sim);
    // Link 3 disabled (ErrorReset); links 1 and 2 wired and running.
    ASSERT_EQ(Orwin_set_active_link(c.device, 3), 0);
    ASSERT_EQ(Orwin_set_mode(c.device, conn::LINK_mode_disabled), 0);
    ASSERT_EQ(Orwin_request_link_status_port(c.device, 1, 1), 0);
    ASSERT_EQ(Orwin_request_link_status_port(c.device, 2, 0), 0);
    ASSERT_EQ(Orwin_request_link_status_port(c.device, 3, 0), 0);
    ASSERT_EQ(Orwin_request_tx_speed(c.device), 0);
    ASSERT_TRUE(read_until(c, [&] { return c.has("tx_speed 3 100000000"); }));
    EXPECT_TRUE(c.has("port_status 1 100000000 1 5"));
    EXPECT_TRUE(c.has("port_status 2 1 5"));
    EXPECT_TRUE(c.has("port_status 3 0 0"));
}

TEST(SimEvents, VexConfigurationKeptPerLink)
{
    simulator sim(unit_of(family::vex));
    listener c;
    connect(c, sim);
    Orwin d = c.device;
    ASSERT_EQ(Orwin_set_active_link(d, 2), 0);
    ASSERT_EQ(Orwin_TT_enable_reporting(d, conn::TT_report_EOP), 0);
    ASSERT_EQ(Orwin_set_speed(d, 2), 0);
    ASSERT_EQ(Orwin_EI_flow_control(d, 3, conn::EI_no_automatic_FCT), 0);
    ASSERT_EQ(Orwin_set_active_link(d, 6), 0);
    ASSERT_EQ(Orwin_ER_enable_reporting(d, conn::ER_report_parity_error), 0);
    orw::unitsim::waveform_config held;
    held.samples = {0xAA, 0xBB};
    sim.set_waveform(7, held);
    sim.set_waveform(5, held);
    ASSERT_EQ(Orwin_EW_reset(d, 7), 0);
    ASSERT_EQ(Orwin_set_mode_portmask(d, conn::LINK_mode_normal, 0x0A), 0);
    ASSERT_TRUE(eventually([&] { return sim.link_mode(3) == conn::LINK_mode_normal; }));

    EXPECT_EQ(sim.register_bytes(2, 0x30, 2), (bytes{0x01, 0x00}));
    EXPECT_EQ(sim.register_bytes(6, 0x30, 2), (bytes{0x00, 0x00}));
    EXPECT_EQ(sim.register_bytes(2, 0x87FD, 2), (bytes{0x98, 0xC8}));
    EXPECT_EQ(sim.link_speed_code(2), 0x98C8);
    EXPECT_EQ(sim.register_bytes(2, 0x50, 1), (bytes{19}));
    EXPECT_EQ(sim.register_bytes(6, 0x20, 2), (bytes{0x00, 0x10}));
    EXPECT_EQ(sim.register_bytes(2, 0x20, 2), (bytes{0x00, 0x00}));
    EXPECT_EQ(sim.link_mode(1), conn::LINK_mode_normal);
    EXPECT_EQ(sim.link_mode(2), 0) << "not in the mask";
    EXPECT_EQ(sim.register_bytes(1, 0x0000, 1), (bytes{conn::LINK_mode_normal}));
    EXPECT_EQ(sim.register_bytes(7, 0x1000, 2), (bytes{0x00, 0xBB})) << "waveform reset";
    EXPECT_EQ(sim.register_bytes(5, 0x1000, 2), (bytes{0xAA, 0xBB}));
    EXPECT_EQ(sim.current_link(), 3);
}

TEST(SimEvents, TorConfigurationKeptPerLink)
{
    simulator sim(unit_of(family::tor));
    listener c;
    connect(c, sim);
    Orwin d = c.device;
    ASSERT_EQ(Orwin_set_active_link(d, 3), 0);
    ASSERT_EQ(Orwin_TT_enable_reporting(d, conn::TT_report_EOP), 0);
    ASSERT_EQ(Orwin_set_speed(d, 100), 0);
    ASSERT_EQ(Orwin_set_active_link(d, 4), 0);
    ASSERT_EQ(Orwin_ER_enable_reporting(d, conn::ER_report_parity_error | 0x10), 0);
    EXPECT_EQ(Orwin_EI_flow_control(d, 3, conn::EI_no_automatic_FCT), -24);
    ASSERT_EQ(Orwin_set_mode_portmask(d, conn::LINK_mode_disabled, 0x06), 0);
    ASSERT_TRUE(eventually([&] { return sim.link_mode(2) == conn::LINK_mode_disabled; }));

    using orw::unitsim::module_er;
    using orw::unitsim::module_link;
    using orw::unitsim::module_link_speed;
    using orw::unitsim::module_tt;
    EXPECT_EQ(sim.module_setting(3, module_tt), (bytes{0x04}));
    EXPECT_TRUE(sim.module_setting(4, module_tt).empty());
    EXPECT_EQ(sim.module_setting(3, module_link_speed), (bytes{0xA0, 0x64}));
    EXPECT_EQ(sim.link_speed_code(3), 0xA064);
    EXPECT_EQ(sim.module_setting(4, module_er), (bytes{0x10}));
    // Mask 0x06: links 1 then 2.
    EXPECT_EQ(sim.module_setting(1, module_link), (bytes{conn::LINK_mode_disabled}));
    EXPECT_EQ(sim.module_setting(2, module_link), (bytes{conn::LINK_mode_disabled}));
    EXPECT_TRUE(sim.module_setting(4, module_link).empty());
    EXPECT_EQ(sim.link_mode(1), conn::LINK_mode_disabled);
    EXPECT_EQ(sim.link_mode(3), 0) << "not in the mask";
    EXPECT_EQ(sim.current_link(), 2);
}
