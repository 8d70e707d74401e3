// SPDX-License-Identifier: MIT
// Waveform record ordering and the five waveform files: exact text forms,
// and readers from outside the library for the SVG and VCD.
#include "capture_files.hpp"
#include "waveform_records.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using orw::waveform::waveform;
using test::decoded;
using test::nulls;
using test::slurp;
using test::spw_char;
using test::written;

namespace {

struct sample {
    int word, count, tx_s, tx_d, rx_s, rx_d;
};

// A record with the given samples (all others zero) and a fixed header.
std::vector<uint8_t> known_record(const std::vector<sample> &samples, uint8_t event_byte = 0x43)
{
    orw::unitsim::waveform_config w;
    w.event_byte = event_byte;
    w.unit = 0x0203;
    w.timetag = 0x0102030405060708ull;
    w.error_index = 261; // the oldest word is word 0
    w.samples.assign(2048, 0);
    for (const sample &s : samples) {
        uint32_t v = s.tx_s | s.tx_d << 6 | s.rx_s << 12 | s.rx_d << 18;
        uint8_t *at = &w.samples[4 * s.word];
        at[0] = static_cast<uint8_t>(s.count);
        at[1] = static_cast<uint8_t>(v), at[2] = static_cast<uint8_t>(v >> 8),
        at[3] = static_cast<uint8_t>(v >> 16);
    }
    return test::record_of(w, 3);
}

// Three receive edges (t 0, 21, 74 sub-samples) and three transmit ones (0, 30, 31).
std::vector<uint8_t> small_record()
{
    std::vector<sample> s;
    for (int k = 0; k < 512; ++k)
        s.push_back({k, k == 0 ? 2 : 0, k == 3 ? 0x01 : 0, 0, k == 10 ? 0x3C : (k > 10 ? 0x3F : 0),
                     k == 1 ? 0x38 : (k >= 2 ? 0x3F : 0)});
    return known_record(s);
}

std::string run(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    return pclose(p) == 0 ? out : "failed: " + out;
}

// A lively waveform: packets with an escape, a time-code and a parity error.
orw::unitsim::ds_waveform lively_spec()
{
    orw::unitsim::ds_waveform w;
    w.rx.chars = nulls(8);
    for (uint8_t v : {0x00, 0x45, 0xFF, 0x80})
        w.rx.chars.push_back({spw_char::data, v});
    w.rx.chars.push_back({spw_char::eop});
    w.rx.chars.push_back({spw_char::time_code, 0x45});
    auto more = nulls(20);
    w.rx.chars.insert(w.rx.chars.end(), more.begin(), more.end());
    w.rx.parity_error_at = 14;
    w.tx.chars = nulls(30);
    w.tx.bit_period = 7;
    w.error_index = 400;
    return w;
}

std::unique_ptr<waveform> lively(const char *cause = "parity_error on port 3",
                                 const orw::unitsim::ds_waveform &w = lively_spec())
{
    return decoded(test::record_of(orw::unitsim::encode_ds_waveform(w).waveform, 3), cause, 2);
}

} // namespace

TEST(WaveformRecord, OrderingUnpackingAndCauseTexts)
{
    std::vector<uint8_t> r =
        known_record({{0, 7, 0x01, 0x02, 0x03, 0x04}, {511, 200, 0x3F, 0, 0x3F, 0}}, 0x43);
    waveform wf(9, 9, 3, 9, 9, "given", 1);
    EXPECT_EQ(wf.append(r.data(), r.size()), 2075u);
    EXPECT_EQ(wf.append(r.data(), r.size()), 925u) << "at most 3,000 bytes are kept";
    ASSERT_TRUE(wf.order());
    EXPECT_EQ(wf.sz, 2053u);
    EXPECT_EQ(wf.code, 0x43);
    EXPECT_EQ(wf.ew_event, 4);
    EXPECT_EQ(wf.ew_port, 3);
    EXPECT_EQ(wf.unit, 0x0203);
    EXPECT_EQ(wf.tt, 0x0102030405060708ull);
    EXPECT_EQ(wf.error_index, 261);
    EXPECT_EQ(wf.address, 512);
    EXPECT_EQ(wf.maxt, 200);
    EXPECT_EQ(wf.cause, "given") << "the cause stays the one announced";
    EXPECT_EQ((std::vector<int>{wf.count[0], wf.tx_s[0], wf.tx_d[0], wf.rx_s[0], wf.rx_d[0]}),
              (std::vector<int>{7, 1, 2, 3, 4}));
    EXPECT_EQ((std::vector<int>{wf.count[511], wf.tx_s[511], wf.rx_s[511]}), (std::vector<int>{200, 63, 63}));
    EXPECT_EQ(std::vector<uint8_t>(wf.header, wf.header + 16),
              std::vector<uint8_t>(r.begin() + 2053, r.begin() + 2069));

    waveform short_one;
    short_one.append(r.data(), 2068);
    EXPECT_FALSE(short_one.order()) << "a record short of its header is not unpacked";

    struct {
        int event, source;
        const char *text;
    } causes[] = {
        {4, 3, "Parity_error on port 3"},
        {9, 8, "Event in transmit stream on port 8"},
        {0, 1, "Timeout on port 1"},
        {7, 0, "Synchronization barrier lifting"},
        {2, 10, "Rising edge on SMA 3-4"},
        {1, 12, "Rising edge on SMA 7-8"},
        {15, 13, "EEP"},
        {14, 15, "Data, EOP or EEP"},
    };
    for (const auto &c : causes)
        EXPECT_EQ(waveform::cause_text(c.event, c.source), c.text);
}

TEST(WaveformFiles, TextFormsOfAKnownRecord)
{
    const std::vector<uint8_t> r = small_record();
    auto wf = decoded(r);
    EXPECT_EQ(written([&](FILE *f) { return orw::waveform::write_txt(*wf, f); }),
              "RX\n"
              "time 0.000000 28.000000 98.666667\n"
              "D    0 1 1\n"
              "S    0 0 1\n"
              "PC        \n"
              "bit   0 1 1\n"
              "TX\n"
              "time 0.000000 40.000000 41.333333\n"
              "D    0 0 0\n"
              "S    0 1 0\n"
              "PC        \n"
              "bit   0 0 0\n"
              "ERROR 2104.000000\n");
    EXPECT_EQ(written([&](FILE *f) { return orw::waveform::write_csv(*wf, f); }),
              "t,,0.000000,28.000000,98.666667\nd,,0,1,1\ns,,0,0,1\n"
              "t,,0.000000,40.000000,41.333333\nd,,0,0,0\ns,,0,1,0\n"
              "e 2104.000000\n");
    std::string swf = "00000043020301020304050607080105\n";
    for (int k = 0; k < 64; ++k) {
        char hex[3];
        for (int j = 0; j < 34; ++j) {
            std::snprintf(hex, sizeof hex, "%02X", r[3 + 32 * k + j]);
            swf += hex;
        }
        swf += "\n";
    }
    EXPECT_EQ(written([&](FILE *f) { return orw::waveform::write_swf(*wf, f); }), swf);
    EXPECT_EQ(swf.substr(33, 12), "100002000000") << "line 0 starts at body byte 3";
}

TEST(WaveformFiles, VcdIsReadBackWithTheDecodersEdges)
{
    test::scratch_dir dir;
    auto wf = lively();
    ASSERT_EQ(orw::waveform::save_files(*wf, dir.path + "/w"), 5);
    const std::string vcd = slurp(dir.path + "/w.vcd");
    EXPECT_EQ(vcd.rfind("$date\n", 0), 0u);
    EXPECT_NE(vcd.find("$version trc2pcap "), std::string::npos);
    EXPECT_NE(
        vcd.find("$comment\nparity_error on port 3\n$end\n$timescale 1ps $end\n"
                 "$scope module errorwaveform $end\n"
                 "$var wire 1 # tx_s $end\n$var wire 1 $ tx_d $end\n$var wire 1 % rx_s $end\n"
                 "$var wire 1 & rx_d $end\n$var wire 1 ' trigger $end\n$upscope $end\n$enddefinitions $end\n"
                 "#0\n"),
        std::string::npos);
    size_t wires = 0;
    for (size_t at = vcd.find("$var"); at != std::string::npos; at = vcd.find("$var", at + 1))
        ++wires;
    EXPECT_EQ(wires, 5u);

    // The independent reader: convert to its own format and dump it again.
    const std::string fst = dir.path + "/w.fst";
    ASSERT_EQ(run("vcd2fst '" + dir.path + "/w.vcd' '" + fst + "' >/dev/null 2>&1 && echo ok"), "ok\n");
    std::istringstream dump(run("fst2vcd '" + fst + "' 2>/dev/null"));
    std::map<std::string, std::string> name_of;
    std::set<std::tuple<long long, std::string, int>> seen;
    std::string line, timescale;
    long long now = 0;
    while (std::getline(dump, line)) {
        char id[8], name[32];
        int width;
        if (std::sscanf(line.c_str(), "$var wire %d %7s %31s $end", &width, id, name) == 3)
            name_of[id] = name;
        else if (line.rfind("$timescale", 0) == 0)
            std::getline(dump, timescale);
        else if (line[0] == '#')
            now = std::atoll(line.c_str() + 1);
        else if ((line[0] == '0' || line[0] == '1') && now > 0)
            seen.insert({now, name_of[line.substr(1)], line[0] - '0'});
    }
    ASSERT_EQ(name_of.size(), 5u);
    std::set<std::tuple<long long, std::string, int>> expected;
    for (auto [d, prefix] : {std::pair{&wf->rx, "rx_"}, std::pair{&wf->tx, "tx_"}}) {
        for (int i = 1; i < d->Dlength; ++i) {
            const long long ps = (d->time[i] * 4000LL + 1) / 3;
            if (d->D[i] != d->D[i - 1])
                expected.insert({ps, prefix + std::string("d"), d->D[i]});
            if (d->S[i] != d->S[i - 1])
                expected.insert({ps, prefix + std::string("s"), d->S[i]});
        }
    }
    expected.insert({(wf->rx.time[wf->rx.error_abs_index] * 4000LL + 1) / 3, "trigger", 1});
    EXPECT_GT(expected.size(), 500u);
    EXPECT_EQ(seen, expected);
}

TEST(WaveformFiles, SvgIsWellFormedAndRenders)
{
    test::scratch_dir dir;
    auto wf = lively("cause <with> \"markup\" & more\x01\xff");
    ASSERT_EQ(orw::waveform::save_files(*wf, dir.path + "/w"), 5);
    const std::string svg = slurp(dir.path + "/w.svg");
    EXPECT_EQ(svg.rfind("<svg width=\"", 0), 0u);
    EXPECT_NE(
        svg.find("<rect width=\"10\" height=\"240\" style=\"fill:yellow;stroke-width:3;stroke:yellow\""),
        std::string::npos);
    for (const char *part : {"<!-- Division error time ", "<!-- Error bar-->\n", "   <g>\n", ">NULL<",
                             ">TIME 0:1:5<", ">DATA 0x45<", ">EOP<", ">X<", "+ ", "- "})
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_EQ(run("xmllint --noout '" + dir.path + "/w.svg' 2>&1 && echo ok"), "ok\n");

    // Rendered, it holds far more than an empty picture of the same size.
    const std::string open_tag = svg.substr(0, svg.find('\n') + 1);
    std::ofstream(dir.path + "/blank.svg") << open_tag << "</svg>\n";
    for (const char *name : {"w", "blank"})
        ASSERT_EQ(run("rsvg-convert -b white -o '" + dir.path + "/" + name + ".png' '" + dir.path + "/" +
                      name + ".svg' 2>&1 && echo ok"),
                  "ok\n")
            << name;
    struct stat picture {
    }, blank{};
    ASSERT_EQ(stat((dir.path + "/w.png").c_str(), &picture), 0);
    ASSERT_EQ(stat((dir.path + "/blank.png").c_str(), &blank), 0);
    EXPECT_GT(picture.st_size, 4 * blank.st_size);
}

TEST(WaveformFiles, EachFileIsWrittenOrSkippedOnItsOwn)
{
    test::scratch_dir dir;
    auto wf = lively();
    std::vector<std::string> saved;
    const std::string base = dir.path + "/w";
    // A directory in the way of one file costs only that file.
    ASSERT_EQ(mkdir((base + ".csv").c_str(), 0700), 0);
    EXPECT_EQ(orw::waveform::save_files(*wf, base, [&](const std::string &f) { saved.push_back(f); }), 4);
    EXPECT_EQ(saved, (std::vector<std::string>{base + ".swf", base + ".txt", base + ".svg", base + ".vcd"}));
    EXPECT_EQ(orw::waveform::save_files(*wf, dir.path + "/missing/w"), 0);
}

TEST(WaveformFiles, SvgDrawsALongPauseShortAndKeepsTheCharactersSpaced)
{
    test::scratch_dir dir;
    orw::unitsim::ds_waveform spec = lively_spec();
    spec.rx.gap_at = 4;
    spec.rx.gap = 150000; // 200 us of held lines among 8-ns bits
    struct picture {
        double width = 0;
        std::vector<double> nulls; // x of the receive side's first NULL labels
        double longest_pause = 0;  // ns, as labelled
        std::string svg;
    } plain, paused;
    for (auto [pic, w] : {std::pair{&plain, lively_spec()}, std::pair{&paused, spec}}) {
        ASSERT_EQ(orw::waveform::save_files(*lively("pause", w), dir.path + "/w"), 5);
        pic->svg = slurp(dir.path + "/w.svg");
        pic->width = std::stod(pic->svg.substr(std::strlen("<svg width=\"")));
        for (size_t at = pic->svg.find(">NULL</text>"); at != std::string::npos && pic->nulls.size() < 3;
             at = pic->svg.find(">NULL</text>", at + 1)) {
            const size_t x = pic->svg.rfind("<text x=\"", at) + std::strlen("<text x=\"");
            pic->nulls.push_back(std::stod(pic->svg.substr(x)));
        }
        ASSERT_EQ(pic->nulls.size(), 3u);
        for (size_t at = pic->svg.find(">pause "); at != std::string::npos;
             at = pic->svg.find(">pause ", at + 1))
            pic->longest_pause = std::max(pic->longest_pause, std::stod(pic->svg.substr(at + 7)));
        EXPECT_EQ(run("xmllint --noout '" + dir.path + "/w.svg' 2>&1 && echo ok"), "ok\n");
    }
    // Spaced as without the pause, which takes a small part of the picture.
    EXPECT_NEAR(paused.nulls[1] - paused.nulls[0], plain.nulls[1] - plain.nulls[0], 0.5);
    EXPECT_NEAR(paused.nulls[2] - paused.nulls[1], plain.nulls[2] - plain.nulls[1], 0.5);
    EXPECT_LT(paused.width, 2 * plain.width);
    EXPECT_NEAR(paused.longest_pause, 200000, 5000);
    EXPECT_LT(plain.longest_pause, 5000); // at most the idle end of the record
}
