// SPDX-License-Identifier: MIT
// orw::connection: opening, callback registration, default callbacks,
// configuration wrappers, status records and the timetag time base.
#include "Orwin.hpp"
#include "OrwinInternal.h"

#include <vector>

namespace orw {

// The class constants must agree with the C interface's.
static_assert(connection::EEP == Orwin_EEP && connection::EOP == Orwin_EOP, "packet types");
static_assert(connection::PART_EOP_EEP == Orwin_PART_EOP_EEP && connection::SPECIAL == Orwin_SPECIAL,
              "packet types");
static_assert(connection::TIMEOUT == Orwin_TIMEOUT && connection::FLUSH == Orwin_FLUSH, "packet types");
static_assert(connection::CALLBACK_SPECIAL_DATA == ::CALLBACK_SPECIAL_DATA &&
                  connection::CALLBACK_EXTENSION_DATA == ::CALLBACK_EXTENSION_DATA,
              "actions");
static_assert(connection::ram_rw == Orwin_MODULE_ram_rw && connection::barrier == Orwin_MODULE_barrier,
              "module types");
static_assert(connection::SYSTEM_TYPE_Vex == ::SYSTEM_TYPE_Vex, "families");
static_assert(connection::Error_CaptureThread_Failed == ::Error_CaptureThread_Failed &&
                  connection::Error_Incorrect_Device == ::Error_Incorrect_Device,
              "error codes");
static_assert(connection::LINK_mode_slow_speed == ::LINK_mode_slow_speed, "link modes");
static_assert(connection::TX_SPEED_address == Orwin_TX_SPEED_address, "register addresses");

// ---- Status records ----------------------------------------------------------

void portstatus::copy(const portstatus &o)
{
    *this = o;
}

void portstatus::copyreset(portstatus &o)
{
    portno = o.portno;
    runstatus = o.runstatus;
    rxspeed = o.rxspeed;
    active = o.active;
    connected = o.connected;
    timecode = o.timecode;
    bytes.copyreset(o.bytes);
    eop.copyreset(o.eop);
    eep.copyreset(o.eep);
    eecs.copyreset(o.eecs);
    timeout.copyreset(o.timeout);
    parity.copyreset(o.parity);
    missed.copyreset(o.missed);
    error1.copyreset(o.error1);
    error2.copyreset(o.error2);
}

void devstatus::copy(const devstatus &o)
{
    *this = o;
}

void devstatus::copyreset(devstatus &o)
{
    linkstatus = o.linkstatus;
    runtime = o.runtime;
    uncertainty = o.uncertainty;
    rawbytes.copyreset(o.rawbytes);
    bytes.copyreset(o.bytes);
    eop.copyreset(o.eop);
    eep.copyreset(o.eep);
    eecs.copyreset(o.eecs);
    missed.copyreset(o.missed);
    timeout.copyreset(o.timeout);
    parity.copyreset(o.parity);
    error1.copyreset(o.error1);
    error2.copyreset(o.error2);
    for (int i = 0; i < max_links; ++i)
        links[i].copyreset(o.links[i]);
}

// ---- Opening and closing -------------------------------------------------------

connection::connection(const std::string &address)
{
    connect(address);
}

connection::~connection()
{
    if (device)
        Orwin_close(device);
    device = nullptr;
}

void connection::connect(const std::string &address)
{
    if (address.empty())
        throw error(address, Error_Incorrect_Device, "Address is empty");
    addr = address;
    live = address[0] != '-';
    open_handle(open_timeout_ms);
}

void connection::open_handle(int timeout_ms)
{
    if (device) {
        Orwin_close(device);
        device = nullptr;
    }
    rx_link = 1;
    yeartime = 0;
    starttime = 0;
    t0start = false;
    baseclock = orwhires();
    for (timestamp &ts : timestamps)
        ts = timestamp();

    if (!live) {
        // The C interface takes a mutable string.
        std::vector<char> name(addr.begin(), addr.end());
        name.push_back('\0');
        device = Orwin_open_flagged(name.data(), CONNECT_FILE, 0);
    } else {
        // A sample of both clocks at connection; the first timetag re-bases.
        clock_gettime(CLOCK_REALTIME, &baseclock.now);
        clock_gettime(CLOCK_MONOTONIC, &baseclock.t0s);
        device = orw_open_within(addr.c_str(), timeout_ms);
    }
    if (!device)
        throw error(addr, Orwin_get_error(), Orwin_get_error_text());

    ORW_SPW_TRACE(2, this, "opened '%s' (%s)", addr.c_str(), live ? "unit" : "recording");
    Orwin_set_context(device, this);
    Orwin_read_packet_special_callback(device, special_data_buffer, sizeof special_data_buffer,
                                       special_data_s);
    Orwin_read_packet_extension_callback(device, extn_data_buffer, sizeof extn_data_buffer, extn_data_s);
}

int connection::special_data_s(Orwin lnk_, void *data_, int length_, int complete_, int data_buffer_position_)
{
    connection *owner = static_cast<connection *>(Orwin_get_context(lnk_));
    if (!owner)
        return 1;
    return owner->special_data(data_, length_, complete_, data_buffer_position_);
}

int connection::extn_data_s(Orwin lnk_, void *data_, int length_, int complete_, int data_buffer_position_)
{
    connection *owner = static_cast<connection *>(Orwin_get_context(lnk_));
    if (!owner)
        return 1;
    return owner->extn_data(data_, length_, complete_, data_buffer_position_);
}

// ---- Default callbacks -----------------------------------------------------------

void connection::reported_version(uint8_t, uint8_t) {}
void connection::startdate(time_t, uint32_t) {}
bool connection::timetag_uncertainty(uint32_t)
{
    return true;
}
bool connection::missing_data()
{
    return true;
}
bool connection::esc_eep()
{
    return true;
}
bool connection::received_fct()
{
    return true;
}
bool connection::received_esc_fct()
{
    return true;
}
bool connection::esc_eop()
{
    return true;
}
bool connection::esc_esc()
{
    return true;
}
void connection::link_selected(int) {}
bool connection::link_timeout()
{
    return true;
}
bool connection::port_status(int, double, bool, int)
{
    return true;
}
bool connection::port_status(int, bool, int)
{
    return true;
}
bool connection::link_tx_speed(int, double)
{
    return true;
}
bool connection::parity_error()
{
    return true;
}
bool connection::error_event()
{
    return true;
}
bool connection::perror1()
{
    return true;
}
bool connection::perror2()
{
    return true;
}
bool connection::timecode(uint8_t, uint8_t, uint8_t, uint8_t)
{
    return true;
}
void connection::timetag(uint64_t) {}
void connection::timezero(double) {}
void connection::err(double, int, int) {}
bool connection::barrier_lifted(uint64_t)
{
    return true;
}
bool connection::waveform_data(int, int, int, int, int, char *, unsigned char *, size_t)
{
    return true;
}
bool connection::unknown_ram_data(void *, int, int, int)
{
    return true;
}
bool connection::unknown_special_data(void *, int, int, int)
{
    return true;
}
bool connection::unknown_extn_data(void *, int, int, int)
{
    return true;
}

// ---- Configuration wrappers ---------------------------------------------------------

int connection::check(int result) const
{
    if (result < 0)
        throw error(addr, result, Orwin_get_error_text());
    return result;
}

void connection::require_device() const
{
    // The C interface does not accept a null handle.
    if (!device)
        throw error(addr, Error_NO_Connection, "Not connected");
}

void connection::active_port(unsigned int link_)
{
    require_device();
    check(Orwin_set_active_link(device, static_cast<int>(link_)));
    tx_link = link_;
}

void connection::mode(int mode_)
{
    require_device();
    check(Orwin_set_mode(device, mode_));
}

void connection::TT_reporting(int when_)
{
    require_device();
    check(Orwin_TT_enable_reporting(device, when_));
}

void connection::ER_reporting(int when_)
{
    require_device();
    check(Orwin_ER_enable_reporting(device, when_));
}

void connection::EW_reporting(int when_)
{
    require_device();
    check(Orwin_EW_enable_reporting(device, when_));
}

void connection::EW_source(int source_)
{
    require_device();
    check(Orwin_EW_source(device, source_));
}

void connection::flush()
{
    require_device();
    check(Orwin_flush(device));
}

unsigned int connection::nolinks()
{
    require_device();
    return static_cast<unsigned int>(check(Orwin_get_number_of_links(device)));
}

// ---- Time base -------------------------------------------------------------------------

void connection::compute_time(uint64_t count)
{
    constexpr uint64_t ns_per_s = 1000000000ull;
    constexpr uint64_t counts_per_s = 10000000000ull; // 0.1 ns units
    // Unsigned arithmetic throughout: counts and the base come from the
    // stream and must not overflow a signed type.
    uint64_t s;
    uint64_t ns;
    if (t0start) {
        uint64_t base_s = static_cast<uint64_t>(baseclock.now.tv_sec);
        uint64_t base_ns = static_cast<uint64_t>(baseclock.now.tv_nsec);
        if (base_ns >= ns_per_s) // only if a derived class set a bad base
            base_ns %= ns_per_s;
        uint64_t d = count > baseclock.t0 ? count - baseclock.t0 : baseclock.t0 - count;
        uint64_t d_ns = (d / 10) % ns_per_s;
        uint64_t d_s = d / counts_per_s;
        if (count > baseclock.t0) {
            ns = base_ns + d_ns;
            s = base_s + d_s;
            if (ns >= ns_per_s) {
                ns -= ns_per_s;
                s += 1;
            }
        } else {
            s = base_s - d_s;
            if (base_ns >= d_ns) {
                ns = base_ns - d_ns;
            } else {
                ns = base_ns + ns_per_s - d_ns;
                s -= 1;
            }
        }
    } else {
        if (!live && starttime != 0) {
            baseclock.now.tv_sec = starttime;
            baseclock.now.tv_nsec = 0;
        } else {
            clock_gettime(CLOCK_REALTIME, &baseclock.now);
        }
        baseclock.t0 = count;
        t0start = true;
        s = static_cast<uint64_t>(baseclock.now.tv_sec);
        ns = static_cast<uint64_t>(baseclock.now.tv_nsec);
    }
    if (rx_link < static_cast<unsigned>(max_timestamps)) {
        timestamp &ts = timestamps[rx_link];
        ts.time = static_cast<time_t>(s);
        ts.ns = static_cast<unsigned long>(ns);
        ts.active = true;
    }
}

void connection::reported_time(uint64_t t_, bool tt_)
{
    compute_time(t_);
    if (tt_)
        timetag(t_);
    else
        timezero(static_cast<double>(t_));
}

} // namespace orw
