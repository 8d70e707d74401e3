// SPDX-License-Identifier: MIT
// orw::trc::capture: construction and the unit check, configuration,
// starting, stopping, and the default hooks.
#include "Orwin_Capture.hpp"

#include "Orwin_Platform.h"
#include "Orwin_Waveform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace orw {
namespace trc {

namespace {

const char *const recording_products[] = {"TRC", "VGL", "ORW"};

bool recording_unit(const char *product)
{
    for (const char *prefix : recording_products)
        if (std::strncmp(product, prefix, 3) == 0)
            return true;
    return false;
}

} // namespace

capture::capture(const char *host, const char *target, uint32_t, uint32_t rfs)
{
    running = true;
    connect(host ? host : "");
    record_file_size = static_cast<size_t>(rfs) * 1048576u;
    filename = target ? target : "";
    ORW_TRCAPI_TRACE(2, this, "Connected to host '%s' recording to '%s' file limit is %u", addr.c_str(),
                     filename.c_str(), rfs);

    if (live) {
        Orwin_set_tx_timeout(device, send_timeout_ms);
        char *product = Orwin_get_product_string(device);
        if (!product)
            throw orw::error(addr, Orwin_get_error(), Orwin_get_error_text());
        std::string name = product;
        std::free(product);
        ORW_TRCAPI_TRACE(2, this, "Device is %s", name.c_str());
        if (!recording_unit(name.c_str()))
            throw orw::error(addr, Error_Incorrect_Device, "Device is not TRC/VGL");
        linkstatus = name != "VGL-3U";
        ORW_TRCAPI_TRACE(2, this,
                         linkstatus ? "product capable of getting link status"
                                    : "product INCAPABLE of getting link status");
    } else {
        // A recording has no unit to ask: its family and links are only
        // known once its header has been read.
        ORW_TRCAPI_TRACE(2, this, "replaying a recording: no product check");
    }
    initialise();
    if (live) {
        no_ports = static_cast<uint8_t>(std::min(nolinks(), 255u));
    } else {
        int n = Orwin_get_number_of_links(device);
        no_ports = static_cast<uint8_t>(n > 0 && n < 256 ? n : devstatus::max_links - 1);
    }
    ORW_TRCAPI_TRACE(2, this, "Device has %d links", no_ports);
}

capture::~capture()
{
    join_threads();
}

void capture::join_threads()
{
    // Threads still running would call into a freed object.
    if (!threads_started())
        return;
    stop();
    try {
        wait();
    } catch (const std::exception &e) {
        ORW_TRCAPI_TRACE(1, this, "capture ended with %s", e.what());
    }
}

void capture::initialise()
{
    runtime = 0;
    fileindex = std::getenv("ORW_FILE_INDEX") != nullptr;
    const char *dir = std::getenv("ORW_WF_DIR");
    set_wf_dir(dir ? dir : ".");
    packet_data.reset(new uint8_t[static_cast<size_t>(packet_data_size)]);
}

void capture::set_wf_dir(const std::string &dir)
{
    wf_dir = dir;
    if (wf_dir.empty())
        return;
    ORW_WFM_TRACE(2, this, "Checking if %s is a directory", wf_dir.c_str());
    if (!isdir(wf_dir.c_str())) {
        ORW_WFM_TRACE(2, this, "Directory '%s' does not exist", wf_dir.c_str());
        if (orw_mkdir(wf_dir.c_str()) != 0 && !isdir(wf_dir.c_str())) {
            int e = errno;
            ORW_WFM_TRACE(1, this, "Error %d creating directory '%s'", e, wf_dir.c_str());
            throw orw::error(wf_dir, Error_WaveForm_Dir_Create, "Can't create capture directory", e);
        }
    }
    if (wf_dir.back() != '/')
        wf_dir += '/';
}

void capture::set_config(const config *c)
{
    if (!live)
        throw orw::error(addr, Error_Set_Option_File, "can't set capture config on live file");
    // A copy: the caller's object may be gone before the capture thread
    // applies it.
    if (c) {
        own_config = *c;
        captureconfig = &own_config;
    } else {
        captureconfig = nullptr;
    }
}

void capture::start(int interval)
{
    reportinginterval = interval > 0 ? static_cast<uint32_t>(interval) : 0;
    try {
        start_run();
    } catch (const orw::error &e) {
        ORW_TRCAPI_TRACE(1, this, "could not start capture error '%d' (%s)", e.get(), e.text());
        throw;
    }
}

void capture::apply_config()
{
    if (!captureconfig)
        return;
    {
        std::lock_guard<std::mutex> guard(txlock);
        captureconfig->apply(this, no_ports);
    }
    for (int port = 1; port <= no_ports && port < devstatus::max_links; ++port)
        status.links[port].active = (captureconfig->active_ports >> port) & 1u;
}

void capture::start_run()
{
    if (threads_started())
        throw orw::error(addr, Error_CaptureThread_Failed, "capture already started");
    running = true;
    timetag_count = 0;
    currentsize = 0;
    error = 0;
    framing_error = nullptr;
    framing_faults = 0;
    connection_lost = false;
    waveform_files_failed = false;
    apply_config();
    {
        std::lock_guard<std::mutex> guard(txlock);
        if (live)
            flush();
    }
    capture_thr = std::thread(run, this);
    try {
        timer_thr = std::thread(timer, this);
    } catch (...) {
        stop();
        capture_thr.join();
        throw;
    }
}

void *capture::run(void *self)
{
    static_cast<capture *>(self)->capture_thread();
    return nullptr;
}

void *capture::timer(void *self)
{
    static_cast<capture *>(self)->capture_timer();
    return nullptr;
}

void capture::stop()
{
    {
        std::lock_guard<std::mutex> guard(tick_lock);
        running = false;
    }
    tick_wake.notify_all();
}

void capture::wait()
{
    // The error that ended the capture thread stays its result: every later
    // wait reports it again.
    auto report = [this] {
        if (error != 0)
            throw orw::error(eaddr, error, error_static ? error_static : "capture failed", oserr);
        if (waveform_files_failed)
            throw orw::error(wf_dir, Error_RecFile_Write, "waveform files could not be written", 0);
    };
    if (!threads_started())
        return report();
    // The timer sleeps in ticks that end as soon as `running` is cleared.
    stop();
    ORW_TRCAPI_TRACE(2, this, "waiting for timer thread to terminate");
    if (timer_thr.joinable())
        timer_thr.join();
    // Its reads and sends are bounded: it sees `running` cleared within a
    // read or a send time-out.
    running = false;
    ORW_TRCAPI_TRACE(2, this, "waiting for capture thread to terminate");
    if (capture_thr.joinable())
        capture_thr.join();
    do_waveforms();
    report();
}

// ---- Hooks -------------------------------------------------------------------------

void capture::set_file(const char *file, bool p1, bool p2)
{
    char *name = nullptr;
    std::vector<char> copy;
    if (file && strcasecmp(file, "null") != 0) {
        copy.assign(file, file + std::strlen(file) + 1);
        name = copy.data();
    }
    // The timer thread's status requests flush the record file: never
    // while it is being switched.
    std::lock_guard<std::mutex> guard(txlock);
    // A file that lost bytes is named as the one that failed, before the
    // switch could blame the next one.
    int rc = Orwin_flush_record_file(device);
    if (rc < 0)
        throw orw::error(currentfile, rc, Orwin_get_error_text());
    rc = Orwin_set_record_file(device, name);
    if (rc < 0)
        throw orw::error(name ? name : currentfile, rc, Orwin_get_error_text());
    if (p1)
        Orwin_record_writes(device);
    Orwin_check_record_writes(device, p2 ? 1 : 0);
}

void capture::capture_error(int code)
{
    ORW_TRCAPI_TRACE(1, this, "error %d capturing data", code);
}

void capture::acquired_data(const uint8_t *, ssize_t, int) {}

void capture::timetag_module_missing()
{
    ORW_TRCAPI_TRACE(2, this, "time tag module missing");
}

void capture::timetag_module_present()
{
    ORW_TRCAPI_TRACE(2, this, "time tag module present");
}

void capture::update_link_status(const devstatus *)
{
    ORW_TRCAPI_TRACE(8, this, "display link status");
}

void capture::update_status(devstatus *s)
{
    std::unique_ptr<devstatus> owned(s);
    update_link_status(owned.get());
}

void capture::waveform_saved(orw::waveform::waveform *wf)
{
    ORW_WFM_TRACE(2, this, "default waveform save on %p", static_cast<void *>(wf));
}

void capture::waveform_file_saved(const char *file, orw::waveform::waveform *wf)
{
    ORW_WFM_TRACE(2, this, "default file %s saved on %p", file ? file : "(null)", static_cast<void *>(wf));
}

void capture::waveform_complete(int port, orw::waveform::waveform *wf)
{
    ORW_WFM_TRACE(2, this, "default waveform handler on %d:%p", port, static_cast<void *>(wf));
    if (wf_dir.empty()) {
        ORW_WFM_TRACE(2, this, "not generating waveform files");
        return;
    }
    bool dropped = false;
    {
        std::lock_guard<std::mutex> guard(wflock);
        dropped = savedwf.size() >= max_saved_waveforms;
        if (!dropped)
            savedwf.push_back(wf);
    }
    if (dropped) {
        // A unit flooding error waveforms must not grow memory or the time
        // a stop takes to write them.
        const uint64_t n = ++waveforms_dropped;
        ORW_WFM_TRACE(n == 1 ? 1 : 8, this, "waveform %d dropped: %zu waiting to be written (%llu dropped)",
                      wf->id, max_saved_waveforms, static_cast<unsigned long long>(n));
        delete wf;
    }
    // The port is re-armed either way, so that it goes on taking waveforms.
    if (live && running) {
        std::lock_guard<std::mutex> guard(txlock);
        int rc = Orwin_EW_clear(device, port);
        if (rc >= 0)
            rc = Orwin_flush(device);
        if (rc < 0)
            throw orw::error(addr, rc, Orwin_get_error_text());
    }
}

} // namespace trc
} // namespace orw
