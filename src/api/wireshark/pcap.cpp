// SPDX-License-Identifier: MIT
// pcap::capture: options, record buffers, opening, switching and closing
// pcap files and pipes, and the unit's events as records.
#include "Orwin_Pcap.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pcap {

std::atomic<int> pcap_id{0};

namespace {

constexpr size_t file_buffer_size = 64 * 1024;
constexpr const char pipe_prefix[] = "pipe:";

// How long a pipe waits for its reader.
constexpr int pipe_reader_wait_ms = 2000;

int pipe_wait_cancelled(void *self)
{
    return static_cast<capture *>(self)->running ? 0 : 1;
}

bool set_in_environment(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v;
}

} // namespace

int fix_link_type()
{
    static std::once_flag once;
    std::call_once(once, [] {
        int id = default_link_type;
        if (const char *v = std::getenv("ORW_PCAP_ID")) {
            char *end = nullptr;
            errno = 0;
            long n = std::strtol(v, &end, 10);
            // Link types are 16 bits: larger values would be read as other
            // flags by analysers. 0 stays the mark of "not yet fixed".
            if (end != v && *end == '\0' && errno == 0 && n > 0 && n <= 0xFFFF)
                id = static_cast<int>(n);
            else
                ORW_PCAP_TRACE(1, nullptr, "ORW_PCAP_ID '%s' is not a link type in 1..65535: ignored", v);
        }
        pcap_id = id;
        ORW_PCAP_TRACE(2, nullptr, "PCAP ID is %d", id);
    });
    return pcap_id;
}

capture::capture(const char *host, const char *target, uint32_t opts, uint32_t rfs)
    : orw::trc::capture(host, target, opts, rfs)
{
    counts_own_writes = true;
    initialise();
}

capture::~capture()
{
    // The threads write records: they stop before anything is released.
    join_threads();
    try {
        file_end(nullptr);
    } catch (const std::exception &e) {
        ORW_PCAP_TRACE(1, this, "closing the capture: %s", e.what());
    }
}

void capture::initialise()
{
    if (set_in_environment("ORW_PCAP_AGGREGATE"))
        options |= AGGREGATE_PACKETS;
    if (set_in_environment("ORW_PCAP_RECORD_TS"))
        options |= AGGREGATE_PACKETS | RECORD_TIMESTAMPS;
    if (set_in_environment("ORW_PCAP_RECORD_EOP_TS"))
        options |= AGGREGATE_PACKETS | RECORD_EOP_TIMESTAMPS;
    // Records are cut at the snap length, so a buffer holds one full record.
    pkt_data_size = header_size + snap_length;
    fix_link_type();
    for (int k = 0; k < links; ++k) {
        lastp[k] = 0;
        lnksz[k] = 0;
        if (!lnkpkt[k] && k <= 8)
            lnkpkt[k].reset(new uint8_t[pkt_data_size]);
    }
    tzconv = -orw_gmt_time_offset();
    // Host times follow the monotonic clock from the real time sampled with
    // it at connection.
    clock_offset.tv_sec = baseclock.now.tv_sec - baseclock.t0s.tv_sec;
    clock_offset.tv_nsec = baseclock.now.tv_nsec - baseclock.t0s.tv_nsec;
    if (clock_offset.tv_nsec < 0) {
        clock_offset.tv_nsec += 1000000000L;
        clock_offset.tv_sec -= 1;
    }
}

bool capture::write_header()
{
    pcap_file_header h;
    h.magic = magic_nanoseconds;
    h.version_major = 2;
    h.version_minor = 4;
    h.thiszone = tzconv;
    h.sigfigs = 0;
    h.snaplen = snap_length;
    h.linktype = static_cast<uint32_t>(pcap_id.load());
    if (pipe)
        return orw_write_pipe(&h, sizeof h, pipe) == 1;
    if (std::fwrite(&h, sizeof h, 1, file) != 1)
        return false;
    // Standard output is unbuffered: nothing to flush.
    return true;
}

void capture::new_file(const char *name)
{
    if (pcap_id == 0)
        initialise();
    if (!name)
        name = "";
    ORW_PCAP_TRACE(2, this, "Wanting to save to pcap file '%s'", name);
    if (file || pipe)
        close_output();

    if (strncasecmp(name, pipe_prefix, sizeof pipe_prefix - 1) == 0) {
        const char *path = name + sizeof pipe_prefix - 1;
        // A stop while no reader has come ends the wait at once.
        pipe = orw_open_pipe_wait(path, pipe_reader_wait_ms, &pipe_wait_cancelled, this);
        int e = errno;
        if (!pipe && (e == ENXIO || e == ECANCELED)) {
            ORW_PCAP_TRACE(1, this, "no reader on pipe %s", path);
            throw orw::error(path, Error_NO_Connection,
                             e == ENXIO ? "no reader on pipe" : "stopped while waiting for a reader on pipe",
                             e);
        }
        if (pipe && !write_header()) {
            e = errno;
            pipe = orw_close_pipe(pipe);
        }
        if (!pipe) {
            ORW_PCAP_TRACE(1, this, "Unable to open pcap stream %s error '%d'", path, e);
            throw orw::error(path, e, "Unable to open pipe", e);
        }
    } else if (std::strcmp(name, "-") == 0) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        file = stdout;
        stdout_output = true;
        write_header();
    } else {
        // Only a regular file is replaced; anything else is left alone.
        struct stat st;
        if (::lstat(name, &st) == 0) {
            if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
                ORW_PCAP_TRACE(1, this, "Unable to create pcap file %s: not a regular file", name);
                throw orw::error(name, Error_RecFile_Open, "capture target is not a regular file", 0);
            }
            std::remove(name);
        }
        file = std::fopen(name, "wb");
        int e = errno;
        if (file) {
            std::setvbuf(file, nullptr, _IOFBF, file_buffer_size);
            if (!write_header() || std::fflush(file) != 0) {
                e = errno;
                std::fclose(file);
                file = nullptr;
                std::remove(name);
            }
        }
        if (!file) {
            ORW_PCAP_TRACE(1, this, "Unable to create pcap file %s error '%d'", name, e);
            throw orw::error(name, e, "Unable to create file", e);
        }
    }
    filename = name;
    currentsize = sizeof(pcap_file_header);
    lost_before_file = lost_records;
}

void capture::close_output()
{
    if (file) {
        if (stdout_output) {
            std::fflush(file);
        } else if (std::fclose(file) != 0) {
            // Buffered records that fail to reach the disk are lost.
            ORW_PCAP_TRACE(1, this, "error %d closing '%s'", errno, filename.c_str());
            ++lost_records;
        }
        file = nullptr;
        stdout_output = false;
    }
    if (pipe)
        pipe = orw_close_pipe(pipe);
}

void capture::file_start(const char *name, int)
{
    new_file(name);
}

void capture::file_end(const char *next)
{
    ORW_PCAP_TRACE(2, this, "Ending current file %p:%p", static_cast<void *>(file),
                   static_cast<void *>(pipe));
    if ((file || pipe) && !next) {
        for (int k = 0; k < links; ++k)
            if (lnksz[k] > 0) {
                ORW_PCAP_TRACE(8, this, "saving packet data");
                save_packet(k);
            }
    }
    if (file || pipe) {
        close_output(); // at a rotation, pending records continue in the next file
        // A file that lost records is not whole: the capture ends naming it
        // rather than finishing it as if it were.
        if (lost_records > lost_before_file) {
            lost_before_file = lost_records;
            throw orw::error(filename, Error_RecFile_Write, "pcap records could not be written", 0);
        }
    }
    if (next)
        new_file(next);
}

const char *capture::file_suffix()
{
    return ".pcap";
}

void capture::acquired_data(const uint8_t *data, ssize_t length, int flags)
{
    if (!file && !pipe) {
        ORW_PCAP_TRACE(1, this, "file not created");
        throw orw::error("", errno, "No data filee");
    }
    const uint8_t type = flags == EOP ? record_eop : flags == EEP ? record_eep : record_part;
    write_packet(data, length > 0 ? static_cast<size_t>(length) : 0, type);
}

// ---- Unit events ----------------------------------------------------------------------

bool capture::parity_error()
{
    ORW_PCAP_TRACE(8, this, "Parity error");
    error_code(record_parity_error);
    return true;
}

bool capture::missing_data()
{
    ORW_PCAP_TRACE(8, this, "Missing data");
    error_code(record_missing_data);
    return true;
}

bool capture::link_timeout()
{
    ORW_PCAP_TRACE(8, this, "Link Timeout");
    error_code(record_link_timeout);
    return true;
}

bool capture::perror1()
{
    ORW_PCAP_TRACE(8, this, "PError 1");
    error_code(record_perror1);
    return true;
}

bool capture::perror2()
{
    ORW_PCAP_TRACE(8, this, "PError 2");
    error_code(record_perror2);
    return true;
}

bool capture::esc_esc()
{
    ORW_PCAP_TRACE(8, this, "ESC ESC");
    error_code(record_esc_esc);
    return true;
}

bool capture::esc_eop()
{
    ORW_PCAP_TRACE(8, this, "ESC EOP");
    error_code(record_esc_eop);
    return true;
}

bool capture::esc_eep()
{
    ORW_PCAP_TRACE(8, this, "ESC EEP");
    error_code(record_esc_eep);
    return true;
}

bool capture::received_fct()
{
    ORW_PCAP_TRACE(8, this, "Recevied FCT");
    error_code(record_fct);
    return true;
}

bool capture::received_esc_fct()
{
    ORW_PCAP_TRACE(8, this, "Recevied ECT FCT");
    error_code(record_esc_fct);
    return true;
}

bool capture::timecode(uint8_t tc_, uint8_t a_, uint8_t b_, uint8_t t_)
{
    ORW_PCAP_TRACE(8, this, "Timecode %d (%d:%d:%d)", tc_, a_, b_, t_);
    data_tag(record_timecode, tc_);
    return true;
}

} // namespace pcap

namespace orw {
namespace trc {

pcap_capture::pcap_capture(const char *host, const char *target, uint32_t opts, uint32_t rfs)
    : pcap::capture(host, target, opts, rfs)
{
    ORW_PCAP_TRACE(2, this, "Capturing from host '%s' tp '%s'", addr.c_str(),
                   orw::trc::capture::filename.c_str());
}

// Stopped here, while this object is whole: the threads call its hooks.
pcap_capture::~pcap_capture()
{
    join_threads();
}

} // namespace trc
} // namespace orw
