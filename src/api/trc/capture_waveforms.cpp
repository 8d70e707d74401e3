// SPDX-License-Identifier: MIT
// orw::trc::capture: error waveforms. The capture thread keeps each record
// the unit sends; the timer thread decodes the queued ones and writes their
// five files into the waveform directory.
#include "Orwin_Capture.hpp"
#include "Orwin_Waveform.hpp"

#include <cstdio>
#include <ctime>
#include <exception>
#include <limits.h>
#include <memory>

namespace orw {
namespace trc {

bool capture::waveform_data(int erridx, int unit, int port, int ew_port, int event, char *cause,
                            unsigned char *data, size_t sz)
{
    ORW_WFM_TRACE(2, this, "waveform start on port %d:%d error index %d unit %d event %08x %s %zu data bytes",
                  port, ew_port, erridx, unit, static_cast<unsigned>(event), cause ? cause : "", sz);
    if (wf_dir.empty()) {
        ORW_WFM_TRACE(2, this, "not generating waveform files");
        return true;
    }
    auto *wf = new orw::waveform::waveform(erridx, unit, port, ew_port, event, cause, ++wfid);
    ORW_WFM_TRACE(2, this, "Waveform on from %d:%d error index %d cause '%s'", port, ew_port, erridx,
                  wf->cause.c_str());
    wf->append(data, sz);
    waveform_complete(port, wf);
    return true;
}

void capture::do_waveforms()
{
    ORW_WFM_TRACE(8, this, "checking aquired waveforms");
    std::vector<orw::waveform::waveform *> taken;
    {
        std::lock_guard<std::mutex> guard(wflock);
        taken.swap(savedwf);
    }
    ORW_WFM_TRACE(8, this, "got %zu waveforms", taken.size());
    // Every waveform taken is released here, whatever happens to the others.
    std::vector<std::unique_ptr<orw::waveform::waveform>> owned(taken.begin(), taken.end());
    for (auto &wf : owned) {
        char base[PATH_MAX];
        int n = std::snprintf(base, sizeof base, "%s%lu_port%d_%d_%d", wf_dir.c_str(),
                              static_cast<unsigned long>(std::time(nullptr)), wf->port, wf->ew_port, wf->id);
        ORW_WFM_TRACE(2, this, "checking waveform %d %d", wf->port, wf->id);
        if (n < 0 || static_cast<size_t>(n) >= sizeof base) {
            ORW_WFM_TRACE(1, this, "no file name for waveform %d in '%s'", wf->id, wf_dir.c_str());
            stop();
            if (device)
                Orwin_abort(device);
            continue;
        }
        try {
            if (wf->order()) {
                wf->decode();
                int written = orw::waveform::save_files(
                    *wf, base, [&](const std::string &file) { waveform_file_saved(file.c_str(), wf.get()); });
                if (written < orw::waveform::files_per_waveform)
                    waveform_files_failed = true;
            } else {
                ORW_WFM_TRACE(1, this, "waveform %d: record of %zu bytes is incomplete", wf->id, wf->sz);
            }
            waveform_saved(wf.get());
        } catch (const std::exception &e) {
            // The timer thread must go on ticking; the stop reports it.
            ORW_WFM_TRACE(1, this, "waveform %d not saved: %s", wf->id, e.what());
            waveform_files_failed = true;
        }
    }
    ORW_WFM_TRACE(8, this, "finished");
}

} // namespace trc
} // namespace orw
