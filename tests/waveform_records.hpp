// SPDX-License-Identifier: MIT
// Error-waveform records for the waveform tests: the 2,075-byte record a
// unit sends for a simulator waveform, and waveforms decoded from it.
#pragma once

#include "Orwin_Waveform.hpp"
#include "orwin_unitsim_ds.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace test {

using orw::unitsim::spw_char;

// Reply head (slot, 0, port, address 0x1000), samples, 16-byte header, padding.
inline std::vector<uint8_t> record_of(const orw::unitsim::waveform_config &w, int port)
{
    std::vector<uint8_t> r(2075, 0);
    r[2] = static_cast<uint8_t>(port);
    r[3] = 0x10;
    for (size_t i = 0; i < w.samples.size() && i < 2048; ++i)
        r[5 + i] = w.samples[i];
    uint8_t *h = r.data() + 2053;
    h[3] = w.event_byte;
    h[4] = static_cast<uint8_t>(w.unit >> 8);
    h[5] = static_cast<uint8_t>(w.unit);
    for (int i = 0; i < 8; ++i)
        h[6 + i] = static_cast<uint8_t>(w.timetag >> (56 - 8 * i));
    h[14] = static_cast<uint8_t>(w.error_index >> 8);
    h[15] = static_cast<uint8_t>(w.error_index);
    return r;
}

// A waveform ordered and decoded from `record`.
inline std::unique_ptr<orw::waveform::waveform> decoded(const std::vector<uint8_t> &record,
                                                        const char *cause = "", int id = 1)
{
    auto wf =
        std::make_unique<orw::waveform::waveform>(0, 0, record.size() > 2 ? record[2] : 0, 0, 0, cause, id);
    wf->append(record.data(), record.size());
    if (wf->order())
        wf->decode();
    return wf;
}

inline std::unique_ptr<orw::waveform::waveform> decoded(const orw::unitsim::ds_waveform &spec, int port = 1)
{
    return decoded(record_of(orw::unitsim::encode_ds_waveform(spec).waveform, port));
}

// Names of the decoded characters in stream order; "?" for a cut one.
inline std::vector<std::string> names(const orw::waveform::sd_decoder &d)
{
    std::vector<std::string> out;
    for (const auto &c : d.characters) {
        if (c.value < 0)
            out.push_back("?");
        else if (!d.spw[c.index].empty())
            out.push_back(d.spw[c.index]);
    }
    return out;
}

inline std::vector<std::string> names(const std::vector<spw_char> &chars, size_t n)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < n && i < chars.size(); ++i)
        if (!chars[i].name().empty())
            out.push_back(chars[i].name());
    return out;
}

// First bit of character `n` of a stream that starts at bit `first`.
inline int first_bit(const std::vector<spw_char> &chars, size_t n, int first = 0)
{
    for (size_t i = 0; i < n; ++i)
        first += chars[i].bits();
    return first;
}

// What a writer puts out, as text.
inline std::string written(const std::function<bool(FILE *)> &writer, bool *ok = nullptr)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    bool good = writer(out);
    std::fclose(out);
    if (ok)
        *ok = good;
    std::string s(text, size);
    std::free(text);
    return s;
}

inline std::string slurp(const std::string &file)
{
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<spw_char> nulls(size_t n)
{
    return std::vector<spw_char>(n, spw_char{spw_char::null, 0});
}

} // namespace test
