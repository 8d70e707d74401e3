// SPDX-License-Identifier: MIT
// One connection of orwin-rmap to a unit, reaching one node over one link.
// It changes no more of the unit than it is asked to: a link's mode only
// with `enable` (and then for good), its speed only with `speed`, and then
// puts the speed back. The library's demonstration RMAP target stays off on
// every other link, so that a link cabled to another never answers this
// tool's own commands.
#ifndef ORWIN_TOOLS_RMAP_SESSION_HPP
#define ORWIN_TOOLS_RMAP_SESSION_HPP

#include "Orwin.hpp"
#include "rmap_script.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tool {

struct rmap_target {
    int link = 1;
    uint8_t dest = 0xFE, src = 0x67, key = 0, ext = 0;
    std::vector<uint8_t> path, return_path;
    bool increment = true, verify = false, reply = true;
    long timeout_ms = 1000;
    double speed = 0;    // Mbit/s; 0 leaves the link's speed alone
    bool enable = false; // put a link that is not running in normal mode, and leave it so
};

/** What one command came to; `failure` is empty when it succeeded. */
struct rmap_outcome {
    bool replied = false;
    uint8_t status = 0;
    std::vector<uint8_t> data;
    std::string failure;
    int code = Error_Receiver_Timeout; // when no usable reply came
};

/** Fills `out` (but for data) from a transaction that has ended. */
inline void describe(const orw::spacewire::rmap::transaction_response &r, long timeout_ms, rmap_outcome &out)
{
    namespace rmap = orw::spacewire::rmap;
    if (!r.ok()) {
        // Each way of ending without a usable reply in its own words.
        switch (r.outcome()) {
        case rmap::transaction_outcome::timed_out:
        case rmap::transaction_outcome::pending:
            out.failure = "no reply within " + std::to_string(timeout_ms) + " ms";
            break;
        case rmap::transaction_outcome::crc_error:
            out.failure = "reply damaged (CRC error)";
            out.code = Error_Response_Mismatch;
            break;
        case rmap::transaction_outcome::invalid_reply:
            out.failure = "reply does not fit the command";
            out.code = Error_Response_Mismatch;
            break;
        default:
            out.failure = rmap::outcome_text(r.outcome());
            out.code = Error_Receiver_Shutdown;
            break;
        }
        return;
    }
    out.replied = true;
    out.status = r.status_code();
    if (out.status != 0)
        out.failure = "reply status " + std::to_string(out.status) + ": " + rmap::status_text(out.status);
}

class rmap_session {
  public:
    /** Connects (the caller bounds this) and prepares the target's link. */
    rmap_session(const std::string &host, const rmap_target &t) : target(t)
    {
        ifc.connect(host);
        try {
            prepare();
        } catch (...) {
            close();
            throw;
        }
    }

    ~rmap_session() { close(); }

    rmap_session(const rmap_session &) = delete;
    rmap_session &operator=(const rmap_session &) = delete;

    /** Runs one command; library failures are thrown. */
    rmap_outcome run(const rmap_command &c)
    {
        namespace rmap = orw::spacewire::rmap;
        rmap_outcome out;
        if (c.op == "wait")
            return out;
        rmap::synchronous_response r(static_cast<uint32_t>((target.timeout_ms + 9) / 10));
        r.verbose(false);
        const uint8_t flags = static_cast<uint8_t>((target.increment ? rmap::instr_increment : 0) |
                                                   (target.verify ? rmap::instr_verify : 0));
        const bool waits = c.op != "write" || target.reply;
        if (c.op == "read" || c.op == "expect") {
            dev->rmap_read(target.key, flags, target.ext, c.address, c.op == "read" ? c.size : c.data.size(),
                           &r);
        } else if (c.op == "rmw") {
            dev->rmap_readmodifywrite(target.key, target.ext, c.address, c.data.data(), c.mask.data(),
                                      c.data.size(), &r);
        } else if (!c.file.empty()) {
            if (std::FILE *f = std::fopen(c.file.c_str(), "rb"))
                std::fclose(f);
            else
                throw std::runtime_error(c.file + ": " + std::strerror(errno));
            dev->rmap_write_file(target.key, flags, target.ext, c.address, c.file, waits ? &r : nullptr);
        } else if (!waits) {
            dev->rmap_write_noreply(target.key, flags, target.ext, c.address, c.data.data(), c.data.size());
        } else {
            dev->rmap_write(target.key, flags, target.ext, c.address, c.data.data(), c.data.size(), &r);
        }
        if (!waits)
            return out;
        describe(r, target.timeout_ms, out);
        if (out.replied && c.op != "write") {
            size_t n = 0;
            const uint8_t *d = r.info(n);
            if (d != nullptr)
                out.data.assign(d, d + n);
        }
        return out;
    }

    orw::spacewire::device_t &device() { return *dev; }
    const rmap_target &settings() const { return target; }

  private:
    /** Restores the link and hangs up without waiting for the reader's time-out
     *  and without the close's disabling of every link. */
    void close()
    {
        dev.reset();
        try {
            restore();
        } catch (...) {
            // Closing goes ahead whatever the unit makes of the restore.
        }
        ifc.shutdown();
        if (ifc.handle() != nullptr)
            Orwin_abort(ifc.handle()); // the unit hangs up and the reader sees it at once
    }

    Orwin unit() const { return ifc.handle(); }

    int checked(int rc) const
    {
        if (rc < 0)
            throw orw::error(ifc.addr, rc, Orwin_get_error_text());
        return rc;
    }

    void prepare()
    {
        if (!ifc.live)
            throw std::runtime_error(ifc.addr + ": a recording cannot be commanded");
        const int links = checked(Orwin_get_number_of_links(unit()));
        if (target.link > links)
            throw std::runtime_error(ifc.addr + ": the unit has no link " + std::to_string(target.link) +
                                     " (it has " + std::to_string(links) + ")");
        checked(Orwin_set_active_link(unit(), target.link));
        vex = Orwin_device_type(unit()) == SYSTEM_TYPE_Vex;
        if (target.speed > 0) {
            uint8_t code[2] = {};
            if (vex && ram_io_read_bytes(unit(), Orwin_TX_SPEED_address, code, 2) == 0)
                old_speed_code = static_cast<unsigned>(code[0] << 8 | code[1]);
            checked(Orwin_set_speed_double(unit(), target.speed));
            speed_changed = true;
        }
        // A link's mode cannot be read back, so it is only changed on request.
        if (checked(Orwin_link_connected(unit())) <= 0 && target.enable) {
            checked(Orwin_set_mode(unit(), LINK_mode_normal));
            checked(Orwin_flush(unit()));
            // A link takes a moment to start after it is enabled.
            for (int i = 0; i < 10 && checked(Orwin_link_connected(unit())) <= 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (checked(Orwin_link_connected(unit())) <= 0)
            throw std::runtime_error(ifc.addr + ": link " + std::to_string(target.link) +
                                     " is not connected");
        ifc.lbitmask |= 1u << target.link;
        ifc.rmap_transactions.set_enabled(true);
        for (uint8_t l = 0; l < orw::spacewire::max_links; ++l) {
            ifc.set_verbose(l, false);
            if (l != target.link)
                ifc.use_default(l, false);
        }
        dev.reset(target.path.empty() && target.return_path.empty()
                      ? ifc.device("node", "rmap", target.link, target.dest, target.src)
                      : ifc.device("node", "rmap", target.link, target.path.data(), target.path.size(),
                                   target.return_path.data(), target.return_path.size(), target.dest,
                                   target.src));
    }

    // Writes only: the reader may be running and takes any reply.
    void restore()
    {
        if (!speed_changed)
            return;
        orw::spacewire::writelock hold(&ifc);
        Orwin_set_active_link(unit(), target.link);
        if (speed_changed && old_speed_code != 0) {
            // mantissa x 10^(exponent - 34) bit/s
            double bps = (old_speed_code & 0x3FF);
            for (int e = static_cast<int>(old_speed_code >> 10) - 34; e > 0; --e)
                bps *= 10;
            for (int e = static_cast<int>(old_speed_code >> 10) - 34; e < 0; ++e)
                bps /= 10;
            if (bps >= 1e6) // below that the unit takes the number as Mbit/s
                Orwin_set_speed_double(unit(), bps);
        }
        Orwin_flush(unit());
    }

    rmap_target target;
    orw::spacewire::connection_t ifc;
    std::unique_ptr<orw::spacewire::device_t> dev;
    bool vex = false;
    bool speed_changed = false;
    unsigned old_speed_code = 0;
};

} // namespace tool

#endif // ORWIN_TOOLS_RMAP_SESSION_HPP
