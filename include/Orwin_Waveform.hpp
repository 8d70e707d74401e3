// SPDX-License-Identifier: MIT
// Orwin_Waveform.hpp - error waveforms: the data-strobe decoder that turns a
// direction's sampled Data and Strobe lines into edges, bits and SpaceWire
// characters, the waveform record as the unit sends it, and the five files
// written for each waveform (.swf, .txt, .csv, .svg, .vcd).
#ifndef ORWIN_WAVEFORM_HPP
#define ORWIN_WAVEFORM_HPP

#include "Orwin_Export.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace orw {
namespace waveform {

/// Sample words in the unit's ring, per line.
constexpr int ring_words = 512;
/// Sub-samples per sample word; one sub-sample is 4/3 ns.
constexpr int subsamples_per_word = 6;
/// Largest distance, in sub-samples, between the edges of two consecutive
/// bits of one stream (a bit time of 850 ns); a larger one breaks the stream.
constexpr int gap_limit = 638;
/// Nanoseconds per sub-sample.
constexpr double ns_per_unit = 1.3333333333333333;

/**
 * Decoder of one direction of a data-strobe waveform. Works over the
 * caller's 512-entry arrays only: whatever their contents, it never indexes
 * outside them or outside its own arrays.
 *
 * Use: scan_edges(), then extract_info(). Afterwards edge i (0 = the state
 * at the start of the ring) has time[i], D[i], S[i] and bit[i]; each edge is
 * one bit of the stream, labelled by PC[i] and, at a character's first bit,
 * by token[i] and spw[i]. Entry Dlength (the last of timelength entries)
 * closes the ring with its end time and repeats the last levels.
 */
class ORWIN_API sd_decoder {
  public:
    /// A decoded character: its value (0..255 data, 256 + control code,
    /// -1 for one cut by a stream break) and the index of its first bit.
    struct ORWIN_API character {
        int value;
        int index;
    };

    uint8_t edges[ring_words] = {};
    int N = 1;
    int start = 0;
    int error_index = 0;
    int error_abs_index = 0;
    std::vector<int> time;
    int timelength = 0;
    std::vector<int> D;
    int Dlength = 0;
    std::vector<int> S;
    std::vector<char> bit;
    std::vector<char> PC;
    std::vector<std::string> token;
    std::vector<std::string> spw;
    int error_time = 0;
    size_t sz = 0;
    /// Every character in stream order, cut ones included.
    std::vector<character> characters;

    /**
     * Find the edges of the ring. Decoding starts 251 words after the error
     * word (the oldest sample) and covers 511 words.
     * @param D, S Data and Strobe sample words (bits 0..5 used), 512 each
     * @param error_index word of the error in the ring (taken modulo 512)
     */
    void scan_edges(const int *D, const int *S, int error_index);

    /**
     * Build the edge list from the edges found by scan_edges() and decode
     * the characters it carries.
     * @param count repeat count per word (512 entries; clamped to 0..65535)
     * @param D, S the same sample words as given to scan_edges()
     */
    void extract_info(const int *count, const int *D, const int *S);

    /** Duration of bit i in ns (integer division); 0 outside the list. */
    int bit_time(int i) const;
    /** Number of set bits of a 32-bit value. */
    static int count_bits(unsigned value);

  private:
    bool breaks_before(int i) const;
    int synchronise(int base) const;
    int find_null(int from) const;
    void decode_characters();
    void name_characters();
};

/// Bytes of a complete error-waveform record: sample body, then header.
constexpr size_t record_body_size = 2053;
constexpr size_t record_header_size = 16;
constexpr size_t record_size = record_body_size + record_header_size;
constexpr size_t record_capacity = 3000;

/**
 * One error waveform of a capture, from the record as received to its
 * decoded directions.
 */
class ORWIN_API waveform {
  public:
    int error_index = 0;
    int unit = 0;
    int port = 0;
    int maxt = 0;
    int ew_port = 0;
    int event = 0;
    std::string cause;
    uint8_t header[record_header_size] = {};
    uint8_t data[record_capacity] = {};
    uint8_t networkdata[record_capacity] = {};
    uint8_t ordereddata[record_capacity] = {};
    uint64_t tt = 0;
    size_t sz = 0;
    int code = 0;
    int ew_event = 0;
    int count[ring_words] = {};
    int address = 0;
    int tx_s[ring_words] = {};
    int tx_d[ring_words] = {};
    int rx_s[ring_words] = {};
    int rx_d[ring_words] = {};
    size_t idx = 0;
    int id = 0;
    sd_decoder tx;
    sd_decoder rx;

    waveform() = default;
    /** A waveform announced by the unit; the record bytes follow by append(). */
    waveform(int error_index, int unit, int port, int ew_port, int event, const char *cause, int id);

    /** Append received bytes (at most 3,000 are kept). @return bytes kept */
    size_t append(const uint8_t *bytes, size_t n);

    /**
     * Split the received record into header and body and unpack the 512
     * samples and their repeat counts. The header's code, unit, timetag and
     * error index replace the values given at construction.
     * @return false (nothing changed) when fewer than 2,069 bytes arrived
     */
    bool order();

    /** Decode both directions (after order()). */
    void decode();

    /** Event text of the unit's event index and source (traced only). */
    static std::string cause_text(int ew_event, int ew_port);

  private:
    waveform(const waveform &) = delete;
    waveform &operator=(const waveform &) = delete;
};

/** Time in ns of sub-sample count t, as the files print it. */
inline double unit_ns(int t)
{
    return t * ns_per_unit;
}

// Writers of the five files. Each returns false when the output failed.
ORWIN_API bool write_swf(const waveform &wf, FILE *out);
ORWIN_API bool write_txt(const waveform &wf, FILE *out);
ORWIN_API bool write_csv(const waveform &wf, FILE *out);
ORWIN_API bool write_svg(const waveform &wf, FILE *out);
/** @param date the date line as ctime() gives it (newline included) */
ORWIN_API bool write_vcd(const waveform &wf, FILE *out, const char *date);

/** Files written per waveform. */
constexpr int files_per_waveform = 5;

/**
 * Write the five files "<base>.swf", ".txt", ".svg", ".csv" and ".vcd" of an
 * ordered and decoded waveform. Each is written under "<name>.tmp" and
 * renamed when whole; one that cannot be written whole is traced, removed
 * and skipped; the others are still written.
 * @param saved called with the name of each file written
 * @return number of files written
 */
ORWIN_API int save_files(const waveform &wf, const std::string &base,
                         const std::function<void(const std::string &)> &saved = nullptr);

} // namespace waveform

/**
 * Value-change-dump writer: variables of up to 96 one-character identifiers
 * ('#' first), times in whole numbers of the declared time unit.
 */
class ORWIN_API VCD {
  public:
    uint8_t vcd_vars[96] = {};
    uint8_t vcd_nobits[96] = {};
    FILE *file = nullptr;
    int novars = 0;

    VCD() = default;
    explicit VCD(FILE *out) : file(out) {}
    VCD(const VCD &) = delete;
    VCD &operator=(const VCD &) = delete;

    /** Header up to the opening of the scope `scope`. */
    void header(const char *date, const char *version, const char *comment, const char *timescale,
                const char *scope);
    /** Declare a wire; @return its index, or -1 when all 96 are taken */
    int add_var(int bits, const char *name);
    /** Close the scope and the definitions. */
    void end_definitions();
    /** Start the values at `time`. */
    void at(long long time);
    /** Value of a one-bit variable. */
    void value(int var, int v);
    /** True when nothing failed so far. */
    bool good() const { return file && !std::ferror(file); }
};

} // namespace orw

#endif // ORWIN_WAVEFORM_HPP
