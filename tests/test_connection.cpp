// SPDX-License-Identifier: MIT
// orw::connection: streams of extensions and special packets replayed from a
// recording through a derived connection that records its callbacks.
#include "Orwin.hpp"
#include "callback_recorder.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// ---- Stream builders ----------------------------------------------------------

bytes ext(std::initializer_list<uint8_t> command)
{
    bytes out(1 + command.size(), 0xC0);
    std::copy(command.begin(), command.end(), out.begin() + 1);
    return out;
}

bytes timetag_ext(uint8_t command, uint64_t count)
{
    bytes out{0xC0, command};
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(count >> shift));
    out[2] &= 0x07;
    return out;
}

bytes header_ext(uint8_t version, uint8_t type, uint64_t seconds, uint32_t ns)
{
    bytes out{0xC0, 0xCE, version, type};
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(seconds >> shift));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(ns >> shift));
    return out;
}

bytes special(const bytes &body)
{
    bytes out;
    size_t n = body.size();
    if (n <= 60) {
        out.push_back(static_cast<uint8_t>(0xC0 + n));
    } else {
        out = {0xFE, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A waveform record: reply head, then the event, unit and index fields.
bytes waveform_record(size_t size, uint8_t port, uint8_t event_byte, uint16_t unit, uint16_t erridx)
{
    bytes r(size, 0);
    r[0] = 2;
    r[2] = port;
    r[3] = 0x10;
    r[4] = 0x00;
    if (size > 2068) {
        r[2056] = event_byte;
        r[2057] = static_cast<uint8_t>(unit >> 8);
        r[2058] = static_cast<uint8_t>(unit);
        r[2067] = static_cast<uint8_t>(erridx >> 8);
        r[2068] = static_cast<uint8_t>(erridx);
    }
    return r;
}

class recording {
  public:
    explicit recording(const bytes &stream)
    {
        char name[] = "/tmp/orwin_connection_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
            close(fd);
        }
    }
    ~recording() { unlink(path.c_str()); }
    std::string address() const { return "-" + path; }

  private:
    std::string path;
};

using test::recorder;

constexpr int callbacks = orw::connection::CALLBACK_SPECIAL_DATA | orw::connection::CALLBACK_EXTENSION_DATA;

// One read with callbacks on; returns its result and type.
std::pair<ssize_t, uint32_t> read_once(orw::connection &c)
{
    static unsigned char buffer[65536];
    uint32_t type = 0;
    ssize_t n = Orwin_read_packet_full(c.device, buffer, sizeof buffer, &type, callbacks);
    return {n, type};
}

// Reads until the recording ends.
void drain(orw::connection &c)
{
    for (int i = 0; i < 1000; ++i)
        if (read_once(c).first < 0)
            return;
    FAIL() << "recording did not end";
}

bool logged(const recorder &c, const std::string &call)
{
    for (const std::string &s : c.calls)
        if (s == call)
            return true;
    return false;
}

// ---- Extensions ------------------------------------------------------------------------

TEST(ConnectionExtensions, LinkSelectionStopsTheReadAndMovesCounters)
{
    recording rec(ext({0x45}) + ext({0x09}));
    recorder c;
    c.connect(rec.address());
    EXPECT_EQ(c.rx_link, 1u);

    auto first = read_once(c);
    EXPECT_EQ(first.first, 0);
    EXPECT_EQ(first.second, static_cast<uint32_t>(orw::connection::PART_EOP_EEP));
    EXPECT_EQ(c.rx_link, 5u);
    EXPECT_EQ(c.status.parity.total, 0u) << "the selection must end the read before the event";

    drain(c);
    EXPECT_TRUE(logged(c, "link_selected 5"));
    EXPECT_EQ(c.status.parity.total, 1u);
    EXPECT_EQ(c.status.links[5].parity.total, 1u);
    EXPECT_EQ(c.status.links[1].parity.total, 0u);
}

TEST(ConnectionExtensions, EventsRaiseDeviceAndLinkCounters)
{
    using counter = orw::stats orw::portstatus::*;
    using dcounter = orw::stats orw::devstatus::*;
    struct row {
        uint8_t command;
        const char *callback;
        dcounter device;
        counter link;
    };
    const row rows[] = {
        {0x00, "fct", nullptr, nullptr},
        {0x04, "esc_fct", nullptr, nullptr},
        {0x05, "esc_eep", &orw::devstatus::eecs, &orw::portstatus::eecs},
        {0x06, "esc_eop", &orw::devstatus::eecs, &orw::portstatus::eecs},
        {0x07, "esc_esc", &orw::devstatus::eecs, &orw::portstatus::eecs},
        {0x08, "link_timeout", &orw::devstatus::timeout, &orw::portstatus::timeout},
        {0x09, "parity", &orw::devstatus::parity, &orw::portstatus::parity},
        {0x0A, "perror1", &orw::devstatus::error1, &orw::portstatus::error1},
        {0x0B, "perror2", &orw::devstatus::error2, &orw::portstatus::error2},
        {0x13, "error_event", nullptr, nullptr},
        {0x14, "missing_data", &orw::devstatus::missed, &orw::portstatus::missed},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.callback);
        recording rec(ext({0x43}) + ext({r.command}) + ext({r.command}));
        recorder c;
        c.connect(rec.address());
        drain(c);
        ASSERT_EQ(c.calls.size(), 3u);
        EXPECT_EQ(c.calls[1], r.callback);
        if (r.device) {
            EXPECT_EQ((c.status.*r.device).total, 2u);
            EXPECT_EQ((c.status.links[3].*r.link).total, 2u);
            EXPECT_EQ((c.status.links[1].*r.link).total, 0u);
        }
    }
}

TEST(ConnectionExtensions, CallbackReturningFalseStopsTheRead)
{
    recording rec(ext({0x09}) + bytes{0x43, 'a', 'b', 'c'});
    recorder c;
    c.parity_result = false;
    c.connect(rec.address());
    auto stopped = read_once(c);
    EXPECT_EQ(stopped.first, 0);
    EXPECT_EQ(stopped.second, static_cast<uint32_t>(orw::connection::PART_EOP_EEP));
    auto packet = read_once(c);
    EXPECT_EQ(packet.first, 3);
    EXPECT_EQ(packet.second, static_cast<uint32_t>(orw::connection::EOP));
}

TEST(ConnectionExtensions, TimecodeUncertaintyAndUnknownCommands)
{
    recording rec(ext({0x42}) + ext({0x91, 0xC5}) + ext({0x81, 0x07}) + ext({0x0C}) +
                  ext({0x99, 1, 2, 3, 4, 5, 6, 7, 8, 9}) +
                  ext({0xCE, 1, 2, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0}));
    recorder c;
    c.connect(rec.address());
    drain(c);
    EXPECT_TRUE(logged(c, "timecode 197 1 1 5"));
    EXPECT_EQ(c.status.links[2].timecode, 0xC5);
    EXPECT_EQ(c.uncertainty, 7u);
    EXPECT_TRUE(logged(c, "unknown_extn 1"));
    EXPECT_TRUE(logged(c, "unknown_extn 10"));
    // A header of another version is ignored.
    EXPECT_FALSE(logged(c, "reported_version 0 2"));
    EXPECT_EQ(c.yeartime, 0);
}

TEST(ConnectionExtensions, ShortExtensionHandedOnUndecoded)
{
    recorder c; // no handle: decoding only
    unsigned char timetag[] = {0x88, 0, 0};
    EXPECT_EQ(c.extn_data(timetag, 3, 1, 0), 1);
    EXPECT_TRUE(logged(c, "unknown_extn 3"));
    EXPECT_TRUE(c.timetags.empty());
    EXPECT_FALSE(c.t0start);
    EXPECT_EQ(c.extn_data(timetag, 0, 1, 0), 1);
    EXPECT_EQ(c.extn_data(timetag, 3, 0, 0), 1) << "an incomplete extension is not decoded";
    EXPECT_EQ(c.extn_data_sz, 3u);
}

// ---- Time --------------------------------------------------------------------------------

TEST(ConnectionTime, LiveTimetagsMapToRealTimeWithCarryAndBorrow)
{
    const uint64_t first = 1000000000000ull;
    recording rec(timetag_ext(0x88, first) + ext({0x41}) + timetag_ext(0x88, first + 25000000000ull) +
                  ext({0x41}) + timetag_ext(0x88, first - 5000000000ull));
    recorder c;
    c.connect(rec.address());
    c.live = true; // time base from the real-time clock, as for a unit

    timespec before;
    clock_gettime(CLOCK_REALTIME, &before);
    read_once(c);
    ASSERT_TRUE(c.t0start);
    EXPECT_EQ(c.baseclock.t0, first);
    EXPECT_TRUE(c.timestamps[1].active);
    EXPECT_TRUE(c.timestamps[1].present);
    EXPECT_EQ(c.timestamps[1].raw, first);
    EXPECT_LE(std::llabs(static_cast<long long>(c.timestamps[1].time - before.tv_sec)), 2);

    // Pin the base so that adding 0.5 s carries and subtracting it borrows.
    c.baseclock.now.tv_sec = 1000;
    c.baseclock.now.tv_nsec = 700000000;
    read_once(c);
    EXPECT_EQ(c.timestamps[1].time, 1003);
    EXPECT_EQ(c.timestamps[1].ns, 200000000ul);

    c.baseclock.now.tv_nsec = 200000000;
    read_once(c);
    EXPECT_EQ(c.timestamps[1].time, 999);
    EXPECT_EQ(c.timestamps[1].ns, 700000000ul);
    EXPECT_EQ(c.timetags.size(), 3u);
}

TEST(ConnectionTime, IncrementIgnoredBeforeAFullTimetag)
{
    recording rec(ext({0x82, 0x00, 0x10}) + ext({0x41}) + timetag_ext(0x88, 5000) + ext({0x82, 0x00, 0x10}));
    recorder c;
    c.connect(rec.address());
    read_once(c);
    EXPECT_TRUE(c.timetags.empty());
    EXPECT_FALSE(c.timestamps[1].active);
    EXPECT_FALSE(c.t0start);
    drain(c);
    ASSERT_EQ(c.timetags.size(), 2u);
    EXPECT_EQ(c.timetags[1], 5016u);
    EXPECT_EQ(c.timestamps[1].raw, 5016u);
}

TEST(ConnectionTime, RecordingHeaderSetsFamilyAndEveryTimestamp)
{
    const uint64_t seconds = 1600000000;
    recording rec(header_ext(0, 2, seconds, 250) + header_ext(0, 2, seconds + 100, 0) + ext({0x43}) +
                  timetag_ext(0x88, 77));
    recorder c;
    c.connect(rec.address());
    Orwin_system_type(c.device, orw::connection::SYSTEM_TYPE_Tor);
    drain(c);
    EXPECT_EQ(Orwin_device_type(c.device), orw::connection::SYSTEM_TYPE_Vex);
    EXPECT_TRUE(logged(c, "reported_version 0 2"));
    EXPECT_TRUE(logged(c, "startdate 1600000000 250"));
    EXPECT_EQ(c.yeartime, static_cast<time_t>(seconds)) << "only the first header sets the start";
    EXPECT_EQ(c.starttime, static_cast<time_t>(seconds));
    for (int link : {0, 1, 2, 8, 31}) {
        EXPECT_EQ(c.timestamps[link].time, static_cast<time_t>(seconds));
        EXPECT_EQ(c.timestamps[link].ns, 250ul);
    }
    // A recording's first timetag is placed at the start time.
    EXPECT_EQ(c.timestamps[3].time, static_cast<time_t>(seconds));
    EXPECT_EQ(c.timestamps[3].ns, 0ul);
}

TEST(ConnectionTime, DateSetsStartOnce)
{
    recording rec(ext({0xC8, 0x07, 0xE4, 6, 15, 12, 30, 45, 0}) + ext({0xC8, 0x07, 0xE5, 1, 1, 0, 0, 0, 0}));
    recorder c;
    c.connect(rec.address());
    drain(c);
    struct tm when = {};
    when.tm_year = 2020 - 1900;
    when.tm_mon = 5;
    when.tm_mday = 15;
    when.tm_hour = 12;
    when.tm_min = 30;
    when.tm_sec = 45;
    time_t expected = mktime(&when);
    EXPECT_EQ(c.yeartime, expected);
    EXPECT_EQ(c.timestamps[4].time, expected);
    EXPECT_TRUE(logged(c, "startdate " + std::to_string(static_cast<long long>(expected)) + " 0"));
}

TEST(ConnectionTime, HostileCountsAndStartTimesStayDefined)
{
    // Extreme header time and counts at both ends of the 59-bit range: the
    // mapping must wrap without undefined behaviour.
    recording rec(header_ext(0, 2, ~0ull, 999999999) + timetag_ext(0x88, 0) +
                  timetag_ext(0x88, 0x07FFFFFFFFFFFFFFull) + ext({0x82, 0xFF, 0xFF}) +
                  timetag_ext(0x98, 0x07FFFFFFFFFFFFFFull) + timetag_ext(0x88, 0));
    recorder c;
    c.connect(rec.address());
    drain(c);
    EXPECT_EQ(c.timetags.size(), 4u);
    EXPECT_LT(c.timestamps[1].ns, 1000000000ul);
}

// ---- Special packets -------------------------------------------------------------------------

TEST(ConnectionSpecial, LinkStatusAndSpeedReplies)
{
    recording rec(special({2, 5, 3, 0, 0, 0x70}) + special({2, 5, 3, 0, 0, 0x30}) +
                  special({2, 5, 4, 0, 0, 0x50, 0xA0, 0x64, 0}) + special({2, 4, 6, 0x87, 0xFD, 0xA0, 0x64}) +
                  special({2, 5, 3, 0, 0, 0x50, 0}) + special({2, 0, 1, 0x12, 0x34, 1}) + special({2, 0}));
    recorder c;
    c.connect(rec.address());
    drain(c);
    const std::vector<std::string> expected = {
        "port_status 3 1 7",     "port_status 3 0 3",     "port_status 4 100000000 1 5",
        "tx_speed 6 100000000",  "unknown_special 7 1 7", "unknown_special 6 1 0",
        "unknown_special 2 1 0",
    };
    EXPECT_EQ(c.calls, expected);
}

TEST(ConnectionSpecial, BarrierFromAnnouncedModule)
{
    recording rec(ext({0x92, 3, orw::connection::barrier}) +
                  special({3, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}) + special({3, 1, 2}));
    recorder c;
    c.connect(rec.address());
    drain(c);
    EXPECT_TRUE(logged(c, "barrier 123456789abcdef"));
    EXPECT_TRUE(logged(c, "unknown_special 3 1 0")) << "a short barrier reply is not decoded";
}

TEST(ConnectionSpecial, WaveformCauseTexts)
{
    struct row {
        unsigned event_byte;
        const char *cause;
    };
    const row rows[] = {
        {0x43, "parity_error on port 3"},
        {0x0A, "rising edge on SMA 3-4"},
        {0x00, "synchronization barrier lifting"},
        {0x79, "rising edge on SMA 1-2"},
        {0xCC, "rising edge on SMA 7-8"},
        {0xF8, "EEP on port 8"},
        {0x91, "event in transmit stream on port 1"},
        {0x5D, ""},
        {0x2F, ""},
    };
    for (const row &r : rows) {
        char cause[256];
        orw::connection::waveform_cause(r.event_byte, cause, sizeof cause);
        EXPECT_STREQ(cause, r.cause) << std::hex << r.event_byte;
    }
}

TEST(ConnectionSpecial, WaveformRecordDecodedOnlyAtItsExactSize)
{
    recording rec(special(waveform_record(2075, 4, 0x43, 0x0102, 0x0304)) +
                  special(waveform_record(2074, 4, 0x43, 1, 1)) +
                  special(waveform_record(2076, 4, 0x43, 1, 1)));
    recorder c;
    c.connect(rec.address());
    drain(c);
    const std::vector<std::string> expected = {
        "waveform 772 258 4 3 4 2075",
        "unknown_special 2074 1 0",
        "unknown_special 2076 1 0",
    };
    EXPECT_EQ(c.calls, expected);
    ASSERT_EQ(c.causes.size(), 1u);
    EXPECT_EQ(c.causes[0], "parity_error on port 3");

    recorder direct;
    unsigned char record[10] = {};
    direct.raw_waveform_data(record, sizeof record);
    EXPECT_EQ(direct.calls, std::vector<std::string>{"unknown_special 10 1 10"});
}

// ---- Opening and configuration --------------------------------------------------------------

TEST(ConnectionOpen, FailuresThrowWithTheAddress)
{
    recorder c;
    try {
        c.connect("");
        FAIL() << "empty address accepted";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), orw::connection::Error_Incorrect_Device);
        EXPECT_STREQ(e.text(), "Address is empty");
    }
    try {
        c.connect("-/nonexistent/orwin/recording");
        FAIL() << "missing recording opened";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.name(), "-/nonexistent/orwin/recording");
    }
    EXPECT_EQ(c.device, nullptr);
    // Without a handle the wrappers throw instead of calling the C interface.
    EXPECT_THROW(c.flush(), orw::error);
    EXPECT_THROW(c.mode(orw::connection::LINK_mode_normal), orw::error);
    EXPECT_THROW(c.active_port(1), orw::error);
}

TEST(ConnectionOpen, RecordingRegistersCallbacksAndWrapperErrorsThrow)
{
    recording rec(ext({0x09}));
    recorder c;
    c.connect(rec.address());
    EXPECT_FALSE(c.live);
    EXPECT_EQ(Orwin_get_context(c.device), &c);
    // A replay has no links, so selecting one fails in the C interface.
    try {
        c.active_port(1);
        FAIL() << "link selection on a replay succeeded";
    } catch (const orw::error &e) {
        EXPECT_LT(e.get(), 0);
        EXPECT_EQ(e.name(), rec.address());
    }
    EXPECT_EQ(c.tx_link, 0u);
}

TEST(ConnectionOpen, LiveUnitWrappersAndFirstTimetag)
{
    orw::unitsim::simulator sim;
    recorder c;
    c.connect(sim.address());
    EXPECT_TRUE(c.live);
    EXPECT_EQ(c.rx_link, 1u);
    EXPECT_EQ(c.nolinks(), 8u);

    c.active_port(3);
    EXPECT_EQ(c.tx_link, 3u);
    c.mode(orw::connection::LINK_mode_normal);
    c.flush();
    EXPECT_THROW(c.active_port(9), orw::error) << "the unit has 8 links";
    EXPECT_EQ(c.tx_link, 3u);

    ASSERT_EQ(Orwin_set_rx_timeout(c.device, 500), 0);
    sim.inject(ext({0x42}) + timetag_ext(0x88, 123456789));
    timespec before;
    clock_gettime(CLOCK_REALTIME, &before);
    EXPECT_EQ(read_once(c).first, 0);
    EXPECT_EQ(c.rx_link, 2u);
    read_once(c);
    ASSERT_EQ(c.timetags, std::vector<uint64_t>{123456789});
    EXPECT_LE(std::llabs(static_cast<long long>(c.timestamps[2].time - before.tv_sec)), 2);
    EXPECT_EQ(sim.link_mode(3), orw::connection::LINK_mode_normal);
}

TEST(ConnectionStatus, SnapshotsHandOverIntervals)
{
    orw::devstatus live;
    live.parity.total = 5;
    live.links[2].eop.total = 7;
    live.links[2].connected = true;
    orw::devstatus snapshot;
    snapshot.copyreset(live);
    EXPECT_EQ(snapshot.parity.total, 5u);
    EXPECT_EQ(snapshot.parity.last, 0u);
    EXPECT_EQ(live.parity.last, 5u);
    EXPECT_EQ(live.links[2].eop.last, 7u);
    EXPECT_TRUE(snapshot.links[2].connected);

    live.parity.total = 8;
    snapshot.copyreset(live);
    EXPECT_EQ(snapshot.parity.total - snapshot.parity.last, 3u);

    orw::devstatus copy(live);
    EXPECT_EQ(copy.links[2].eop.total, 7u);
    EXPECT_EQ(copy.parity.last, live.parity.last);
}

} // namespace
