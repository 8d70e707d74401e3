// SPDX-License-Identifier: MIT
// Decoders of the unit's replies: link status and speed replies, the 16-bit
// decimal speed code, timetags, serial numbers and description fields. None
// of them talks to the unit.
#include "Orwin_family.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr int speed_code_exponent_bias = 34;
constexpr int speed_code_start_exponent = 40;
constexpr int speed_code_max_exponent = 63;
constexpr unsigned speed_code_mantissa_mask = 0x3FF;
// Counts of 0.1 ns per second.
constexpr double ticks_per_second = 1e10;
constexpr int tick_exponent_offset = 24; // 10^(E - 34) s in 0.1 ns units is 10^(E - 24)

namespace wire = orw::wire;
namespace reply = orw::wire::ram_reply;

struct bytes {
    const unsigned char *p;
    unsigned operator[](size_t i) const { return p[i]; }
};

// Register address of a RAM-I/O reply.
int reply_address(const unsigned char *b)
{
    return static_cast<int>(wire::get_be16(b + reply::address));
}

// Offset of the time in a module's reply, by module type; -1 when the
// module carries none.
int module_time_offset(int type)
{
    switch (type) {
    case Orwin_MODULE_TT:
    case Orwin_MODULE_TT_64:
    case Orwin_MODULE_TT_now:
        return 1;
    case Orwin_MODULE_ER:
    case Orwin_MODULE_EW_RT:
    case Orwin_MODULE_ER_64:
        return 4;
    case Orwin_MODULE_TC_tx:
        return 10;
    case Orwin_MODULE_TC_rx_64:
        return 3;
    default:
        return -1;
    }
}

// Offset of the time in a Tor-family module reply, or -1.
int tor_time_offset(ORW *link, const unsigned char *buf)
{
    if (link == nullptr || buf == nullptr)
        return -1;
    int slot = buf[0];
    if (slot >= link->number_of_slots)
        return -1;
    return module_time_offset(link->slot_content[slot]);
}

uint64_t saturated(unsigned __int128 value)
{
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    return value > max ? max : static_cast<uint64_t>(value);
}

// period (speed code) x count in 0.1 ns units, computed exactly so that a
// 0.1 ns tick period gives back the count itself.
uint64_t ticks_of(unsigned code, uint64_t count)
{
    if (code == 0)
        return 0;
    int exponent = static_cast<int>(code >> 10) - tick_exponent_offset;
    unsigned __int128 value = static_cast<unsigned __int128>(count) * (code & speed_code_mantissa_mask);
    constexpr unsigned __int128 limit = std::numeric_limits<uint64_t>::max();
    for (; exponent > 0 && value != 0; --exponent) {
        if (value > limit)
            return saturated(value);
        value *= 10;
    }
    for (; exponent < 0 && value != 0; ++exponent)
        value /= 10;
    return saturated(value);
}

} // namespace

double orw_speed_code_value(unsigned code)
{
    code &= 0xFFFF;
    if (code == 0)
        return 0.0;
    int exponent = static_cast<int>(code >> 10) - speed_code_exponent_bias;
    return (code & speed_code_mantissa_mask) * std::pow(10.0, exponent);
}

unsigned orw_speed_code_from_mbps(int mbps)
{
    long long value = mbps <= 0 ? 1 : mbps;
    int exponent = speed_code_start_exponent;
    while (value >= 1000) {
        value /= 10;
        ++exponent;
    }
    while (value < 100) {
        value *= 10;
        --exponent;
    }
    return static_cast<unsigned>(exponent * 1024 + value);
}

unsigned orw_speed_code_from_double(double speed)
{
    // NaN and non-positive values both become 1 Mbit/s.
    if (!(speed > 0))
        speed = 1;
    else if (speed >= 1000000)
        speed /= 1000000;
    int exponent = speed_code_start_exponent;
    // The exponent has six bits: saturate rather than spill into other bits.
    while (speed >= 1000 && exponent < speed_code_max_exponent) {
        speed /= 10;
        ++exponent;
    }
    while (speed < 100 && exponent > 0) {
        speed *= 10;
        --exponent;
    }
    unsigned mantissa = speed >= 1000 ? 999 : static_cast<unsigned>(speed);
    return static_cast<unsigned>(exponent) * 1024 + mantissa;
}

char *orw_product_string(const char *token, const char *data, size_t size, const char *default_value)
{
    std::string text = data ? std::string(data, strnlen(data, size)) : std::string();
    std::string prefix = std::string(token) + "=";
    std::string value;
    bool found = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start && text.compare(start, prefix.size(), prefix) == 0 && end - start >= prefix.size()) {
            value = text.substr(start + prefix.size(), end - start - prefix.size());
            found = true; // a later field of the same name wins
        }
        start = end + 1;
    }
    return strdup(found ? value.c_str() : default_value);
}

extern "C" {

int Orwin_extract_link_state(Orwin, void *buf, size_t buflen, int *port)
{
    if (buf == nullptr || buflen < 6)
        return orw_set_error(Error_Response_Too_Small, "not enough data in buffer");
    bytes b{static_cast<const unsigned char *>(buf)};
    if (reply_address(b.p) != Orwin_LINK_address)
        return orw_set_error(Error_Response_Mismatch, "link address state not returned");
    if (port)
        *port = static_cast<int>(b[reply::port]);
    return static_cast<int>((b[reply::data] >> LINK_state_offset) & 0x07);
}

double Orwin_extract_rx_speed(Orwin, void *buf, size_t buflen, int *port)
{
    if (buf == nullptr || buflen < 8)
        return 0.0;
    const unsigned char *b = static_cast<const unsigned char *>(buf);
    if (reply_address(b) != Orwin_LINK_address)
        return 0.0;
    if (port)
        *port = static_cast<int>(b[reply::port]);
    // The state byte, then the speed code.
    return orw_speed_code_value(wire::get_be16(b + reply::data + 1));
}

double Orwin_extract_tx_speed(Orwin, void *buf, size_t buflen, int *port)
{
    if (buf == nullptr || buflen < 7)
        return 0.0;
    const unsigned char *b = static_cast<const unsigned char *>(buf);
    if (reply_address(b) != Orwin_TX_SPEED_address)
        return 0.0;
    if (port)
        *port = static_cast<int>(b[reply::port]);
    return orw_speed_code_value(wire::get_be16(b + reply::data));
}

double Orwin_get_timetag_Tor(Orwin, void *buf)
{
    const unsigned char *b = static_cast<const unsigned char *>(buf);
    if (b == nullptr || b[0] != wire::extn::TimeTag)
        return 0.0;
    return static_cast<double>(wire::timetag_count(b)) / ticks_per_second;
}

double Orwin_get_timetag_Vex(Orwin link, void *buf)
{
    return Orwin_get_timetag_Tor(link, buf);
}

double Orwin_extract_timetag_Tor(Orwin handle, void *buf)
{
    const unsigned char *b = static_cast<const unsigned char *>(buf);
    int k = tor_time_offset(orw_link(handle), b);
    if (k < 0)
        return 0.0;
    double period = orw_speed_code_value(static_cast<unsigned>(wire::get_be(b + k, 2)));
    return period * static_cast<double>(wire::get_be(b + k + 2, 8));
}

double Orwin_extract_timetag_Vex(Orwin, void *buf)
{
    if (buf == nullptr)
        return 0.0;
    return static_cast<double>(wire::timetag_count(static_cast<const unsigned char *>(buf))) /
           ticks_per_second;
}

uint64_t Orwin_extract_timetag_ns_Tor(Orwin handle, void *buf)
{
    const unsigned char *b = static_cast<const unsigned char *>(buf);
    int k = tor_time_offset(orw_link(handle), b);
    if (k < 0)
        return 0;
    return ticks_of(static_cast<unsigned>(wire::get_be(b + k, 2)), wire::get_be(b + k + 2, 8));
}

uint64_t Orwin_extract_timetag_ns_Vex(Orwin, void *buf)
{
    if (buf == nullptr)
        return 0;
    return wire::timetag_count(static_cast<const unsigned char *>(buf));
}

double Orwin_extract_timetag(Orwin link, void *buf)
{
    return orw_dispatch(link, &orw_family_ops::extract_timetag, double{Error_Unknown_System_Type}, buf);
}

// No negative value fits the result: an unknown family records the error and
// gives 0.
uint64_t Orwin_extract_timetag_ns(Orwin link, void *buf)
{
    return orw_dispatch(link, &orw_family_ops::extract_timetag_ns, uint64_t{0}, buf);
}

char *Orwin_HWA_to_serial_number_string(unsigned char *hwa)
{
    static const unsigned char prefix[4] = {0x00, 0x50, 0xC2, 0x21};
    if (hwa == nullptr || memcmp(hwa, prefix, sizeof prefix) != 0 || (hwa[4] >> 4) != 2)
        return strdup("?");
    int id = (hwa[4] & 0x0F) * 256 + hwa[5];
    char text[8];
    if (id >= 1000)
        snprintf(text, sizeof text, "C%04d", id);
    else if (id >= 100)
        snprintf(text, sizeof text, "A%03d", id);
    else
        snprintf(text, sizeof text, "A%02d", id);
    return strdup(text);
}

} // extern "C"
