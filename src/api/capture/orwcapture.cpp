// SPDX-License-Identifier: MIT
// The capture functions of the C interface: captures of either kind named by
// their device string, started, stopped, deleted and asked for their files.
// Every exception ends here as the result 1.
#include "Orwin.h"
#include "Orwin_Capture.hpp"
#include "Orwin_Pcap.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Polls of a new capture's thread before it is given up.
constexpr int start_polls = 20;
constexpr int start_poll_ms = 100;
constexpr int status_interval_s = 1;

// One capture. `op` serialises what callers do to it, so that two threads
// never stop, delete or list it at the same time.
struct entry {
    std::mutex op;
    std::unique_ptr<orw::trc::capture> c;
};
using capture_map = std::map<std::string, std::shared_ptr<entry>>;

// The maps; `maps_lock` is held only to look up, add or remove entries,
// never while a capture connects or stops.
std::mutex maps_lock;
capture_map s_trc;
capture_map s_pcap;

// One lock per device string, held by a start from closing the old capture
// to storing the new one: closing a capture disables the unit's links, so
// it must never overlap the configuration of the capture that replaces it.
std::map<std::string, std::shared_ptr<std::mutex>> name_locks;

class name_guard {
  public:
    explicit name_guard(const std::string &device) : device(device)
    {
        {
            std::lock_guard<std::mutex> guard(maps_lock);
            std::shared_ptr<std::mutex> &slot = name_locks[device];
            if (!slot)
                slot = std::make_shared<std::mutex>();
            held = slot;
        }
        held->lock();
    }
    ~name_guard()
    {
        held->unlock();
        std::lock_guard<std::mutex> guard(maps_lock);
        auto it = name_locks.find(device);
        held.reset();
        if (it != name_locks.end() && it->second.use_count() == 1)
            name_locks.erase(it);
    }
    name_guard(const name_guard &) = delete;
    name_guard &operator=(const name_guard &) = delete;

  private:
    std::string device;
    std::shared_ptr<std::mutex> held;
};

std::shared_ptr<entry> find(const std::string &device)
{
    std::lock_guard<std::mutex> guard(maps_lock);
    for (capture_map *m : {&s_pcap, &s_trc}) {
        auto it = m->find(device);
        if (it != m->end())
            return it->second;
    }
    return nullptr;
}

void forget(const std::string &device, const std::shared_ptr<entry> &e)
{
    std::lock_guard<std::mutex> guard(maps_lock);
    for (capture_map *m : {&s_pcap, &s_trc}) {
        auto it = m->find(device);
        if (it != m->end() && it->second == e)
            m->erase(it);
    }
}

// Stops the capture; the error that ended its capture thread, if any,
// comes out of wait().
void stop(orw::trc::capture &c)
{
    c.stop();
    c.wait();
}

void traced_failure(const char *what, const char *device, const char *why)
{
    ORW_TRCAPI_TRACE(1, nullptr, "%s '%s' failed: %s", what, device, why);
}

// Stops and deletes the named capture of either kind. It is deleted even
// when its stop reports the error that ended it: the error is stored for
// good, so keeping it would leave a capture that can never be closed.
// False when there was none or its stop failed.
bool close_capture(const std::string &device)
{
    bool ok = false;
    for (std::shared_ptr<entry> e = find(device); e; e = find(device)) {
        {
            std::lock_guard<std::mutex> guard(e->op);
            if (e->c) {
                ok = true;
                try {
                    stop(*e->c);
                } catch (const std::exception &x) {
                    traced_failure("closing capture of", device.c_str(), x.what());
                    ok = false;
                } catch (...) {
                    ok = false;
                }
                e->c.reset(); // ends and closes its current file
            }
        }
        forget(device, e);
    }
    return ok;
}

template <class Capture>
int start_capture(capture_map &map, const char *device_, const char *config_, const char *target_, int rfs_)
{
    if (!device_ || !target_)
        return 1;
    name_guard starting(device_);
    close_capture(device_);
    std::unique_ptr<Capture> c;
    try {
        c.reset(new Capture(device_, target_, 0, rfs_ > 0 ? static_cast<uint32_t>(rfs_) : 0));
        orw::trc::config configuration;
        if (config_ && *config_) {
            configuration.load(config_);
        } else {
            int n = Orwin_get_number_of_links(c->device);
            if (n < 0)
                throw orw::error(c->addr, n, Orwin_get_error_text());
            configuration.defaults(false, static_cast<uint32_t>(n));
        }
        c->set_config(&configuration);
        c->start(status_interval_s);
        for (int i = 0; i < start_polls && !c->capture_thread_running && c->running; ++i)
            orw_delay(start_poll_ms);
        if (!c->capture_thread_running) {
            // The reason the thread ended (a file or pipe that could not be
            // opened) comes out of wait() when there is one.
            stop(*c);
            throw orw::error(c->addr, Error_CaptureThread_Failed, "capture thread not running");
        }
    } catch (const std::exception &e) {
        traced_failure("starting capture of", device_, e.what());
        c.reset(); // stops and joins any threads it started
        return 1;
    } catch (...) {
        traced_failure("starting capture of", device_, "unknown exception");
        c.reset();
        return 1;
    }

    auto e = std::make_shared<entry>();
    e->c = std::move(c);
    std::lock_guard<std::mutex> guard(maps_lock);
    map[device_] = e; // the name is free: closed above, and starts under it wait
    return 0;
}

// Runs `action` on the named capture under its lock; the entry when it ran
// without an exception, else null (no such capture, or it failed).
template <class Action>
std::shared_ptr<entry> with_capture(const char *device_, const char *what, Action action)
{
    if (!device_)
        return nullptr;
    std::shared_ptr<entry> e = find(device_);
    if (!e)
        return nullptr;
    std::lock_guard<std::mutex> guard(e->op);
    if (!e->c)
        return nullptr;
    try {
        action(*e);
    } catch (const std::exception &x) {
        traced_failure(what, device_, x.what());
        return nullptr;
    } catch (...) {
        return nullptr;
    }
    return e;
}

// Nothing may leave a C function as an exception (the locks above allocate).
template <class Call> int guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        return 1;
    }
}

} // namespace

extern "C" {

int Orwin_Capture_TRC(const char *device_, const char *config_, const char *target_, int rfs_)
{
    return guarded(
        [&] { return start_capture<orw::trc::trc_capture>(s_trc, device_, config_, target_, rfs_); });
}

int Orwin_Capture_PCAP(const char *device_, const char *config_, const char *target_, int rfs_)
{
    return guarded(
        [&] { return start_capture<orw::trc::pcap_capture>(s_pcap, device_, config_, target_, rfs_); });
}

int Orwin_Stop_Capture(const char *device_)
{
    return with_capture(device_, "stopping capture of", [](entry &e) { stop(*e.c); }) ? 0 : 1;
}

int Orwin_Close_Capture(const char *device_)
{
    if (!device_)
        return 1;
    return guarded([&] {
        name_guard closing(device_); // after a start under way, never amid it
        return close_capture(device_) ? 0 : 1;
    });
}

int Orwin_Capture_File(const char *device_, int idx_, char *file_)
{
    if (!file_)
        return 1;
    std::string name;
    try {
        std::shared_ptr<entry> e = device_ ? find(device_) : nullptr;
        if (e) {
            std::lock_guard<std::mutex> guard(e->op);
            if (e->c)
                name = e->c->capture_file(idx_);
        }
    } catch (...) {
        name.clear();
    }
    // Finished names are built in buffers of this size.
    const size_t n = std::min(name.size(), orw::utils::filewriter::name_size - 1);
    std::memcpy(file_, name.data(), n);
    file_[n] = '\0';
    return n == 0 ? 1 : 0;
}

} // extern "C"
