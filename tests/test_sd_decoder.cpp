// SPDX-License-Identifier: MIT
// Data-strobe decoder: edges, bits and characters of hand-made rings, and
// round trips against the simulator's own encoder.
#include "waveform_records.hpp"

#include <gtest/gtest.h>

using orw::unitsim::ds_waveform;
using orw::waveform::sd_decoder;
using test::decoded;
using test::names;
using test::nulls;
using test::spw_char;

namespace {

// Entry of the first character cut by a break, or null.
const sd_decoder::character *cut(const sd_decoder &d)
{
    for (const auto &c : d.characters)
        if (c.value < 0)
            return &c;
    return nullptr;
}

struct ring {
    int d[512] = {}, s[512] = {}, count[512] = {};
};

// error_index 261 puts the oldest word at 0.
constexpr int oldest_first = 261;

sd_decoder decode(const ring &r, int error_index = oldest_first)
{
    sd_decoder dec;
    dec.scan_edges(r.d, r.s, error_index);
    dec.extract_info(r.count, r.d, r.s);
    return dec;
}

ds_waveform on_rx(std::vector<spw_char> chars, int period = 6)
{
    ds_waveform w;
    w.rx.chars = std::move(chars);
    w.rx.bit_period = period;
    w.error_index = 100;
    return w;
}

} // namespace

TEST(SdDecoder, EdgesOfHandMadeRings)
{
    {
        ring r; // no transitions at all
        sd_decoder dec;
        dec.scan_edges(r.d, r.s, oldest_first);
        EXPECT_EQ(dec.N, 1);
        EXPECT_EQ(dec.start, 0);
        dec.extract_info(r.count, r.d, r.s);
        EXPECT_EQ(dec.Dlength, 1) << "one edge entry: the starting state";
        EXPECT_EQ(dec.timelength, 2);
        EXPECT_EQ(dec.time[1], 511 * 6);
        EXPECT_TRUE(dec.characters.empty());
    }
    {
        ring r; // Data and Strobe take turns every word: one edge per 8 ns
        for (int k = 0; k < 512; ++k) {
            r.d[k] = ((k + 1) / 2 & 1) ? 0x3F : 0;
            r.s[k] = (k / 2 & 1) ? 0x3F : 0;
        }
        sd_decoder dec = decode(r);
        ASSERT_EQ(dec.Dlength, 511);
        for (int i = 1; i < dec.Dlength; ++i) {
            ASSERT_EQ(dec.time[i], 6 * i);
            ASSERT_EQ(dec.bit_time(i - 1), 8);
            ASSERT_EQ(dec.D[i] ^ dec.S[i], i & 1) << i;
        }
    }
    {
        ring r; // repeat counts stretch time; the ring starts 251 after the error
        r.count[300] = 4;
        r.d[301] = 0x3C; // rises at sub-sample 2
        for (int k = 0; k < 512; ++k)
            if (k != 300 && k != 301)
                r.d[k] = 0x3F;
        sd_decoder dec = decode(r, 49);
        EXPECT_EQ(dec.start, 300);
        ASSERT_EQ(dec.Dlength, 2);
        EXPECT_EQ(dec.time[1], 4 * 6 + 6 + 2);
        EXPECT_EQ(dec.error_time, 4 * 6 + 261 * 6);
        // Error word 49 is 261 words after the oldest; no edge lies past it.
        EXPECT_EQ(dec.error_abs_index, 2);
    }
}

TEST(SdDecoder, IndicesStayInsideWhateverTheInput)
{
    ring r;
    for (int k = 0; k < 512; ++k) {
        r.d[k] = static_cast<int>(k * 0x9E3779B1u);
        r.s[k] = -k;
        r.count[k] = k % 3 ? -7 : 1 << 30;
    }
    for (int error_index : {-1, 511, 512, 65535, -70000}) {
        sd_decoder dec = decode(r, error_index);
        EXPECT_GE(dec.start, 0);
        EXPECT_LT(dec.start, 512);
        EXPECT_EQ(dec.timelength, dec.Dlength + 1);
        EXPECT_EQ(static_cast<int>(dec.time.size()), dec.N);
        for (const auto &c : dec.characters)
            EXPECT_TRUE(c.index >= 0 && c.index < dec.Dlength);
        EXPECT_EQ(dec.bit_time(-1), 0);
        EXPECT_EQ(dec.bit_time(dec.Dlength), 0);
    }
}

TEST(SdDecoder, CharacterNamesOfEncodedStreams)
{
    const std::vector<spw_char> tail = nulls(12);
    struct {
        const char *what;
        std::vector<spw_char> chars;
        int period;
    } cases[] = {
        {"NULLs", nulls(30), 6},
        {"time-code 0x45", {spw_char{spw_char::time_code, 0x45}}, 6},
        {"packet",
         {{spw_char::data, 0x00}, {spw_char::data, 0xFF}, {spw_char::data, 0xA5}, {spw_char::eop}},
         7},
        {"error end and flow control",
         {{spw_char::fct}, {spw_char::data, 0x12}, {spw_char::eep}, {spw_char::fct}},
         13},
        {"escape then end of packet", {{spw_char::esc}, {spw_char::eop}, {spw_char::data, 0x80}}, 6},
        {"two bits per word", {{spw_char::time_code, 0xC1}, {spw_char::data, 0x3C}, {spw_char::eop}}, 3},
        {"one bit per sub-sample", {{spw_char::data, 0x01}, {spw_char::time_code, 0x7F}}, 1},
    };
    for (const auto &c : cases) {
        ds_waveform w = on_rx(nulls(3), c.period);
        w.rx.chars.insert(w.rx.chars.end(), c.chars.begin(), c.chars.end());
        w.rx.chars.insert(w.rx.chars.end(), tail.begin(), tail.end());
        w.tx.chars = nulls(40);
        const auto encoded = orw::unitsim::encode_ds_waveform(w);
        ASSERT_GE(encoded.rx_complete, 3 + c.chars.size() + 10) << c.what;
        auto wf = decoded(test::record_of(encoded.waveform, 1));
        std::vector<std::string> expected = names(w.rx.chars, encoded.rx_complete);
        if (std::string(c.what) == "escape then end of packet") // ESC EOP is one name
            expected[3] = "X";
        EXPECT_EQ(names(wf->rx), expected) << c.what;
        EXPECT_GE(expected.size(), 15u) << c.what;
        EXPECT_EQ(names(wf->tx), names(w.tx.chars, encoded.tx_complete)) << c.what;
        EXPECT_EQ(wf->rx.characters.at(0).index, 0) << c.what << ": first flag bit is bit 1";
        if (std::string(c.what) == "time-code 0x45") {
            EXPECT_EQ(wf->rx.spw[test::first_bit(w.rx.chars, 3)], "TIME 0:1:5");
        }
        // Every parity holds; labels of a data character run C a b c..h.
        for (int i = 0; i < wf->rx.Dlength; ++i)
            ASSERT_NE(wf->rx.PC[i], 'X') << c.what << " bit " << i;
    }
    std::vector<spw_char> packet = nulls(12);
    packet.insert(packet.begin(), spw_char{spw_char::data, 0xA5});
    auto wf = decoded(on_rx(packet));
    EXPECT_EQ(std::string(wf->rx.PC.begin(), wf->rx.PC.begin() + 10), " Cabcdefgh");
    EXPECT_EQ(wf->rx.token[0], "data");
    EXPECT_EQ(wf->rx.token[10], "esc");
    EXPECT_EQ(std::string(wf->rx.PC.begin() + 10, wf->rx.PC.begin() + 18), "PCabPCab");
}

TEST(SdDecoder, ParityErrorIsMarkedAtItsCharacter)
{
    for (int at : {12, 20, 31}) {
        ds_waveform w = on_rx(nulls(40));
        w.rx.chars[20] = {spw_char::data, 0x5A};
        w.rx.parity_error_at = at;
        auto wf = decoded(w);
        const int bad = test::first_bit(w.rx.chars, at);
        EXPECT_EQ(wf->rx.PC.at(bad), 'X') << at;
        for (int i = 0; i < wf->rx.Dlength; ++i)
            if (wf->rx.PC[i] == 'P' || wf->rx.PC[i] == 'X') {
                ASSERT_EQ(wf->rx.PC[i], i == bad ? 'X' : 'P') << "error at " << at << ", bit " << i;
            }
    }
}

TEST(SdDecoder, StreamBreaksAndSynchronisation)
{
    // Bit-to-bit distance = period + gap; 639 breaks the character, 638 not.
    for (int distance : {638, 639, 2000}) {
        ds_waveform w = on_rx(nulls(40));
        w.rx.chars[15] = {spw_char::data, 0x33};
        w.rx.gap_at = 15;
        w.rx.gap_bit = 4;
        w.rx.gap = distance - 6;
        auto wf = decoded(w);
        std::vector<std::string> expected = names(w.rx.chars, 40);
        if (distance > 638) // cut, then resumed at the next NULL
            expected[15] = "?";
        EXPECT_EQ(names(wf->rx), expected) << distance;
        if (distance > 638) {
            ASSERT_NE(cut(wf->rx), nullptr);
            EXPECT_EQ(cut(wf->rx)->index, test::first_bit(w.rx.chars, 16)) << "resumes at the next NULL";
        } else {
            EXPECT_EQ(cut(wf->rx), nullptr);
        }
    }
    // A break between characters and one inside an escape also resume at a NULL.
    {
        ds_waveform w = on_rx(nulls(40));
        w.rx.gap_at = 20, w.rx.gap_bit = 0, w.rx.gap = 900;
        EXPECT_EQ(names(decoded(w)->rx)[20], "?");
        w.rx.gap_at = 20, w.rx.gap_bit = 6;
        auto wf = decoded(w);
        EXPECT_EQ(names(wf->rx)[20], "?");
        ASSERT_NE(cut(wf->rx), nullptr);
        const int resumed = cut(wf->rx)->index;
        EXPECT_EQ(resumed, test::first_bit(w.rx.chars, 21));
        EXPECT_EQ(wf->rx.PC[resumed], ' ') << "no character to check the first parity after a break against";
        EXPECT_EQ(wf->rx.PC[test::first_bit(w.rx.chars, 22)], 'P');
    }
    // Noise that fails all twelve candidates: the walk starts again after the
    // next break; without a break nothing is decoded.
    for (int gap : {0, 700}) {
        ds_waveform w = on_rx(nulls(30));
        w.rx.noise.assign(40, 0);
        w.rx.gap_at = 0, w.rx.gap = gap;
        auto wf = decoded(w);
        if (gap == 0) {
            EXPECT_TRUE(wf->rx.characters.empty());
        } else {
            ASSERT_FALSE(wf->rx.characters.empty());
            EXPECT_EQ(wf->rx.characters[0].index, 40);
            EXPECT_EQ(wf->rx.spw[40], "NULL");
        }
    }
    // Too short a stream for ten checks decodes nothing.
    EXPECT_TRUE(decoded(on_rx(nulls(4)))->rx.characters.empty());
}
