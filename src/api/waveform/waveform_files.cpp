// SPDX-License-Identifier: MIT
// The five files of a waveform, each opened, written and closed on its own so
// that one failing file does not cost the others.
#include "Orwin_Waveform.hpp"

#include "Orwin_Trace.h"

#include <ctime>

namespace orw {
namespace waveform {

namespace {

// Written under a temporary name and renamed once whole, so a final name
// never shows an empty or cut file.
bool write_file(const std::string &name, const std::function<bool(FILE *)> &writer)
{
    const std::string partial = name + ".tmp";
    FILE *out = std::fopen(partial.c_str(), "w");
    if (!out) {
        ORW_WFM_TRACE(1, nullptr, "Could not open file '%s'\n", partial.c_str());
        return false;
    }
    // A picture runs to some hundred kilobytes: fewer, larger writes.
    static thread_local char buffer[65536];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    bool ok = writer(out);
    ok = std::fflush(out) == 0 && !std::ferror(out) && ok;
    ok = std::fclose(out) == 0 && ok;
    ok = ok && std::rename(partial.c_str(), name.c_str()) == 0;
    if (!ok) {
        ORW_WFM_TRACE(1, nullptr, "Could not write file '%s'\n", name.c_str());
        std::remove(partial.c_str());
    }
    return ok;
}

} // namespace

int save_files(const waveform &wf, const std::string &base,
               const std::function<void(const std::string &)> &saved)
{
    char date[64] = "\n";
    time_t now = std::time(nullptr);
    ctime_r(&now, date);

    struct output {
        const char *extension;
        std::function<bool(FILE *)> writer;
    };
    const output outputs[] = {
        {"swf", [&](FILE *f) { return write_swf(wf, f); }},
        {"txt", [&](FILE *f) { return write_txt(wf, f); }},
        {"svg", [&](FILE *f) { return write_svg(wf, f); }},
        {"csv", [&](FILE *f) { return write_csv(wf, f); }},
        {"vcd", [&](FILE *f) { return write_vcd(wf, f, date); }},
    };
    int written = 0;
    for (const output &o : outputs) {
        ORW_WFM_TRACE(2, &wf, "saving %s", o.extension);
        const std::string name = base + "." + o.extension;
        if (o.extension == std::string("vcd"))
            ORW_WFM_TRACE(2, &wf, "Saving vcd to file '%s'\n", name.c_str());
        if (!write_file(name, o.writer))
            continue;
        ++written;
        if (saved)
            saved(name);
    }
    return written;
}

} // namespace waveform
} // namespace orw
