// SPDX-License-Identifier: MIT
// Value change dump of a waveform: both directions' Data and Strobe lines and
// a trigger wire that rises at the error, in whole picoseconds so that every
// reader places the edges where the unit saw them.
#include "Orwin_Waveform.hpp"

#include "Orwin.h"

#include <algorithm>
#include <string>

namespace orw {

void VCD::header(const char *date, const char *version, const char *comment, const char *timescale,
                 const char *scope)
{
    std::fprintf(file,
                 "$date\n%s$end\n$version trc2pcap %s\n$end\n$comment\n%s\n$end\n$timescale %s $end\n"
                 "$scope module %s $end\n",
                 date, version, comment, timescale, scope);
}

int VCD::add_var(int bits, const char *name)
{
    // Identifiers run from '#' through the printable characters.
    if (novars >= 96 || '#' + novars > '~')
        return -1;
    vcd_vars[novars] = static_cast<uint8_t>('#' + novars);
    vcd_nobits[novars] = static_cast<uint8_t>(bits);
    std::fprintf(file, "$var wire %d %c %s $end\n", bits, vcd_vars[novars], name);
    return novars++;
}

void VCD::end_definitions()
{
    std::fputs("$upscope $end\n$enddefinitions $end\n", file);
}

void VCD::at(long long time)
{
    std::fprintf(file, "#%lld\n", time);
}

void VCD::value(int var, int v)
{
    if (var >= 0 && var < novars)
        std::fprintf(file, "%d%c\n", v & 1, vcd_vars[var]);
}

namespace waveform {

namespace {

// Nearest whole picosecond of a time in sub-samples (4/3 ns each).
long long picoseconds(int t)
{
    return (static_cast<long long>(t) * 4000 + 1) / 3;
}

// A comment must not close itself early.
std::string comment_text(const std::string &cause)
{
    std::string text = cause;
    for (char &c : text)
        if (c == '$')
            c = '_';
    return text;
}

} // namespace

bool write_vcd(const waveform &wf, FILE *out, const char *date)
{
    VCD vcd(out);
    vcd.header(date, Orwin_get_version(), comment_text(wf.cause).c_str(), "1ps", "errorwaveform");
    const int tx_s = vcd.add_var(1, "tx_s");
    const int tx_d = vcd.add_var(1, "tx_d");
    const int rx_s = vcd.add_var(1, "rx_s");
    const int rx_d = vcd.add_var(1, "rx_d");
    const int trigger = vcd.add_var(1, "trigger");
    vcd.end_definitions();

    const sd_decoder &rx = wf.rx, &tx = wf.tx;
    vcd.at(0);
    vcd.value(rx_s, rx.Dlength ? rx.S[0] : 0);
    vcd.value(rx_d, rx.Dlength ? rx.D[0] : 0);
    vcd.value(tx_s, tx.Dlength ? tx.S[0] : 0);
    vcd.value(tx_d, tx.Dlength ? tx.D[0] : 0);
    vcd.value(trigger, 0);

    // The trigger rises with the first receive edge of the error word; when
    // that word and all after it had none, at the end of the ring.
    const int trigger_edge = rx.error_abs_index;
    const int rx_end =
        trigger_edge >= rx.Dlength && trigger_edge < rx.timelength ? rx.timelength : rx.Dlength;
    bool triggered = false;
    int r = 1, t = 1;
    while (r < rx_end || t < tx.Dlength) {
        long long tr = r < rx_end ? rx.time[r] : -1;
        long long tt = t < tx.Dlength ? tx.time[t] : -1;
        long long now = tr < 0 ? tt : (tt < 0 ? tr : std::min(tr, tt));
        vcd.at(picoseconds(static_cast<int>(now)));
        if (tr == now) {
            if (r < rx.Dlength) {
                if (rx.S[r] != rx.S[r - 1])
                    vcd.value(rx_s, rx.S[r]);
                if (rx.D[r] != rx.D[r - 1])
                    vcd.value(rx_d, rx.D[r]);
            }
            if (!triggered && r >= trigger_edge) {
                vcd.value(trigger, 1);
                triggered = true;
            }
            ++r;
        }
        if (tt == now) {
            if (tx.S[t] != tx.S[t - 1])
                vcd.value(tx_s, tx.S[t]);
            if (tx.D[t] != tx.D[t - 1])
                vcd.value(tx_d, tx.D[t]);
            ++t;
        }
    }
    return vcd.good();
}

} // namespace waveform
} // namespace orw
