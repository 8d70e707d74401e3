// SPDX-License-Identifier: MIT
// A derived connection that logs every callback it receives, shared by the
// event-decoding tests.
#ifndef ORWIN_TESTS_CALLBACK_RECORDER_HPP
#define ORWIN_TESTS_CALLBACK_RECORDER_HPP

#include "Orwin.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace test {

struct recorder : orw::connection {
    std::vector<std::string> calls;
    std::vector<uint64_t> timetags;
    std::vector<unsigned> call_links; // rx_link when each call was logged
    std::vector<std::string> causes;
    std::vector<uint8_t> waveform_body;
    bool parity_result = true;

    void log(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char line[256];
        va_list args;
        va_start(args, format);
        vsnprintf(line, sizeof line, format, args);
        va_end(args);
        calls.push_back(line);
        call_links.push_back(rx_link);
    }

    bool has(const std::string &call) const
    {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }

    // The call was logged while the unit reported data for `link`.
    bool has_on(const std::string &call, unsigned link) const
    {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == call && call_links[i] == link)
                return true;
        return false;
    }

    void reported_version(uint8_t v, uint8_t t) override { log("reported_version %d %d", v, t); }
    void startdate(time_t t, uint32_t ns) override { log("startdate %lld %u", (long long)t, ns); }
    bool timetag_uncertainty(uint32_t u) override
    {
        log("uncertainty %u", u);
        return true;
    }
    bool missing_data() override
    {
        log("missing_data");
        return true;
    }
    bool esc_eep() override
    {
        log("esc_eep");
        return true;
    }
    bool received_fct() override
    {
        log("fct");
        return true;
    }
    bool received_esc_fct() override
    {
        log("esc_fct");
        return true;
    }
    bool esc_eop() override
    {
        log("esc_eop");
        return true;
    }
    bool esc_esc() override
    {
        log("esc_esc");
        return true;
    }
    void link_selected(int l) override { log("link_selected %d", l); }
    bool link_timeout() override
    {
        log("link_timeout");
        return true;
    }
    bool port_status(int l, double s, bool c, int r) override
    {
        log("port_status %d %.0f %d %d", l, s, c, r);
        return true;
    }
    bool port_status(int l, bool c, int r) override
    {
        log("port_status %d %d %d", l, c, r);
        return true;
    }
    bool link_tx_speed(int l, double s) override
    {
        log("tx_speed %d %.0f", l, s);
        return true;
    }
    bool parity_error() override
    {
        log("parity");
        return parity_result;
    }
    bool error_event() override
    {
        log("error_event");
        return true;
    }
    bool perror1() override
    {
        log("perror1");
        return true;
    }
    bool perror2() override
    {
        log("perror2");
        return true;
    }
    bool timecode(uint8_t tc, uint8_t a, uint8_t b, uint8_t t) override
    {
        log("timecode %d %d %d %d", tc, a, b, t);
        return true;
    }
    void timetag(uint64_t t) override { timetags.push_back(t); }
    void timezero(double t) override { log("timezero %.0f", t); }
    bool barrier_lifted(uint64_t t) override
    {
        log("barrier %llx", (unsigned long long)t);
        return true;
    }
    bool waveform_data(int erridx, int unit, int port, int ew_port, int event, char *cause,
                       unsigned char *data, size_t sz) override
    {
        log("waveform %d %d %d %d %d %zu", erridx, unit, port, ew_port, event, sz);
        causes.push_back(cause);
        waveform_body.assign(data, data + sz);
        return true;
    }
    bool unknown_special_data(void *, int length, int complete, int position) override
    {
        log("unknown_special %d %d %d", length, complete, position);
        return true;
    }
    bool unknown_extn_data(void *, int length, int, int) override
    {
        log("unknown_extn %d", length);
        return true;
    }
};

} // namespace test

#endif // ORWIN_TESTS_CALLBACK_RECORDER_HPP
