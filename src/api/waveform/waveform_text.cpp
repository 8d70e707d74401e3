// SPDX-License-Identifier: MIT
// Waveform files for people and scripts: the record in hexadecimal (.swf),
// the decoded edges as text (.txt) and as comma-separated values (.csv).
#include "Orwin_Waveform.hpp"

namespace orw {
namespace waveform {

namespace {

constexpr int swf_lines = 64;
constexpr int swf_line_bytes = 34;
constexpr int swf_step = 32;
constexpr int swf_first = 3;

// The ERROR/e time: when the error word began on the receive direction.
double error_ns(const waveform &wf)
{
    return unit_ns(wf.rx.error_time);
}

void txt_direction(const sd_decoder &d, const char *title, FILE *out)
{
    std::fprintf(out, "%s\n", title);
    std::fputs("time", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, " %f", unit_ns(d.time[i]));
    std::fputs("\nD   ", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, " %d", d.D[i]);
    std::fputs("\nS   ", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, " %d", d.S[i]);
    std::fputs("\nPC  ", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, " %c", d.PC[i]);
    std::fputs("\nbit  ", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, " %c", d.bit[i]);
    std::fputs("\n", out);
}

void csv_direction(const sd_decoder &d, FILE *out)
{
    std::fputs("t,", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, ",%f", unit_ns(d.time[i]));
    std::fputs("\nd,", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, ",%d", d.D[i]);
    std::fputs("\ns,", out);
    for (int i = 0; i < d.Dlength; ++i)
        std::fprintf(out, ",%d", d.S[i]);
    std::fputs("\n", out);
}

} // namespace

bool write_swf(const waveform &wf, FILE *out)
{
    for (uint8_t b : wf.header)
        std::fprintf(out, "%02X", b);
    std::fputs("\n", out);
    // Each line repeats the last two bytes of the one before.
    for (int k = 0; k < swf_lines; ++k) {
        const uint8_t *line = wf.data + swf_first + swf_step * k;
        for (int j = 0; j < swf_line_bytes; ++j)
            std::fprintf(out, "%02X", line[j]);
        std::fputs("\n", out);
    }
    return !std::ferror(out);
}

bool write_txt(const waveform &wf, FILE *out)
{
    txt_direction(wf.rx, "RX", out);
    txt_direction(wf.tx, "TX", out);
    std::fprintf(out, "ERROR %f\n", error_ns(wf));
    return !std::ferror(out);
}

bool write_csv(const waveform &wf, FILE *out)
{
    csv_direction(wf.rx, out);
    csv_direction(wf.tx, out);
    std::fprintf(out, "e %f\n", error_ns(wf));
    return !std::ferror(out);
}

} // namespace waveform
} // namespace orw
