// SPDX-License-Identifier: MIT
// Orwin_record.cpp - record files (a copy of every byte received, preceded by
// a header and re-synchronisation records so that each file replays on its
// own), transmit record files, and replay bookkeeping.
#include "OrwinInternal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace wire = orw::wire;

bool is_stdout_name(const char *name)
{
    return name[0] == '-' && name[1] == '\0';
}

// "-" is standard output, unbuffered so that a reader sees bytes at once.
FILE *open_output(const char *name)
{
    if (is_stdout_name(name)) {
        setvbuf(stdout, nullptr, _IONBF, 0);
        return stdout;
    }
    return fopen(name, "wb");
}

// Offset between the real-time and the monotonic clock, taken once so that
// every link of the process shares one time base.
struct timespec clock_offset()
{
    static struct timespec offset;
    static std::once_flag once;
    std::call_once(once, [] {
        struct timespec rt, mono;
        clock_gettime(CLOCK_REALTIME, &rt);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        int64_t ns =
            (static_cast<int64_t>(rt.tv_sec) - mono.tv_sec) * 1000000000LL + (rt.tv_nsec - mono.tv_nsec);
        offset.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        offset.tv_nsec = static_cast<long>(ns % 1000000000LL);
    });
    return offset;
}

void take_start_time(ORW *link)
{
    if (link->timedata != 0)
        return;
    struct timespec mono;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const struct timespec off = clock_offset();
    int64_t ns = (static_cast<int64_t>(mono.tv_sec) + off.tv_sec) * 1000000000LL + mono.tv_nsec + off.tv_nsec;
    link->timedata = static_cast<uint64_t>(ns / 1000000000LL);
    link->timedata_ns = static_cast<uint32_t>(ns % 1000000000LL);
}

// Append to the record file. With checking on, the bytes go straight to the
// descriptor (after anything stdio still holds), so a short write, a full disk
// or a file-size limit shows at once and recordsize counts only what the file
// took. Returns false when checking is on and not every byte was taken.
bool write_record(ORW *link, const void *data, size_t length)
{
    FILE *f = link->record_file;
    if (!link->check_record_writes) {
        const size_t done = fwrite(data, 1, length, f);
        link->recordsize += done;
        // Unchecked, the read goes on; the loss is reported when the file
        // is flushed, switched or closed.
        if (done != length)
            link->record_lost = 1;
        return true;
    }
    if (fflush(f) != 0) {
        link->record_lost = 1;
        return false;
    }
    const int fd = fileno(f);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t w = write(fd, p + done, length - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += static_cast<size_t>(w);
    }
    link->recordsize += done;
    if (done != length)
        link->record_lost = 1;
    return done == length;
}

int record_write_error()
{
    return orw_set_error(Error_RecFile_Write, "error writing to record file");
}

// Records 1-5 of a new record file: slot announcements, time zero, link
// timing entries, link re-selection, then the bytes not yet parsed.
int write_resync(ORW *link)
{
    const int slots =
        link->number_of_slots < ORW_SLOT_TABLE_ENTRIES ? link->number_of_slots : ORW_SLOT_TABLE_ENTRIES;
    for (int i = 0; i < slots && link->slot_content; ++i) {
        const unsigned char rec[wire::module_record_size] = {
            wire::extension_start, wire::extn::Module, static_cast<unsigned char>(i),
            static_cast<unsigned char>(link->slot_content[i])};
        if (!write_record(link, rec, sizeof rec))
            record_write_error();
    }
    const unsigned char *tb = link->time_buffer;
    if (link->timezero && tb &&
        !write_record(link, tb + wire::time_image::time_zero, wire::time_zero_record_size))
        record_write_error();
    for (int n = wire::time_image::first_link; n <= wire::time_image::last_link && tb; ++n) {
        const unsigned char *entry = tb + wire::time_image::entry_offset(n);
        if (entry[wire::time_image::valid] == wire::extension_start &&
            !write_record(link, entry, wire::time_image::entry_size))
            return record_write_error();
    }
    const unsigned char reselect[wire::link_select_record_size] = {
        wire::extension_start, wire::link_select(static_cast<unsigned>(link->extn_link))};
    if (!write_record(link, reselect, sizeof reselect))
        return record_write_error();
    // A frame the parser is inside of is announced again, so the new file
    // carries it whole.
    unsigned char prefix[ORW_RX_RESUME_MAX];
    const size_t p = orw_rx_resume_prefix(&link->rx, prefix);
    if (p > 0 && !write_record(link, prefix, p))
        return record_write_error();
    const size_t unparsed = orw_rx_unparsed(&link->rx);
    if (unparsed > 0 && !write_record(link, orw_rx_unparsed_bytes(&link->rx), unparsed))
        return record_write_error();
    return 0;
}

// Write the header to a newly opened record file. A file that cannot take it
// is closed (and removed if this call created a regular file); returns null
// then, else the file.
FILE *start_record_file(ORW *link, FILE *f, const char *file_name)
{
    take_start_time(link);
    unsigned char header[wire::recording_header::file_size];
    wire::put_recording_header(header, link->system_type, link->timedata, link->timedata_ns);
    // Flushed at once so that a file that cannot be written is caught here.
    if (fwrite(header, 1, sizeof header, f) == sizeof header && fflush(f) == 0)
        return f;
    if (f != stdout) {
        // Only a file this call created is removed, never a device or pipe.
        struct stat st;
        const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
        fclose(f);
        if (regular)
            remove(file_name);
    }
    return nullptr;
}

// The unparsed bytes will go to the new file, so the old one loses them.
void cut_unparsed(FILE *old, size_t unparsed)
{
    fflush(old);
    struct stat st;
    const int fd = fileno(old);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const off_t size =
        st.st_size > static_cast<off_t>(unparsed) ? st.st_size - static_cast<off_t>(unparsed) : 0;
    if (ftruncate(fd, size) == 0)
        fseeko(old, 0, SEEK_END);
}

// True when `name` is the file `stream` writes to.
bool names_file_of(FILE *stream, const char *name)
{
    struct stat a, b;
    return stream && !is_stdout_name(name) && fstat(fileno(stream), &a) == 0 && stat(name, &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

int orw_record_received(ORW *link, const unsigned char *data, size_t length)
{
    if (link->record_file == nullptr)
        return 0;
    return write_record(link, data, length) ? 0 : Error_RecFile_Write;
}

extern "C" {

int Orwin_set_record_file(Orwin handle, char *file_name)
{
    ORW *link = orw_link(handle);
    // The new file is opened before the old one is cut: when it cannot be
    // opened, the old file keeps the unparsed bytes, so they are in a file.
    FILE *f = nullptr;
    // Reopening the file being written would truncate it under the old
    // stream: that one is finished first, as a plain stop.
    if (file_name && names_file_of(link->record_file, file_name)) {
        orw_close_stream(link->record_file);
        link->record_file = nullptr;
    }
    if (file_name) {
        f = open_output(file_name);
        if (f != nullptr)
            f = start_record_file(link, f, file_name);
    }
    bool old_whole = true;
    if (link->record_file) {
        const size_t unparsed = orw_rx_unparsed(&link->rx);
        if (f && unparsed > 0)
            cut_unparsed(link->record_file, unparsed);
        old_whole = orw_finish_stream(link->record_file, link->record_lost);
        link->record_file = nullptr;
        link->recordsize = 0;
        link->record_lost = 0;
    }
    if (f == nullptr && file_name != nullptr)
        return orw_set_error(Error_RecFile_Open, "Couldn't open recording file");
    if (f != nullptr) {
        link->record_file = f;
        link->recordsize = 0;
        const int rc = write_resync(link);
        if (rc < 0)
            return rc;
    }
    // The switch is done, but the file it ended is not whole.
    return old_whole ? 0 : record_write_error();
}

FILE *Orwin_get_record_file(Orwin link)
{
    return orw_link(link)->record_file;
}

uint64_t Orwin_get_record_size(Orwin link)
{
    return orw_link(link)->recordsize;
}

int Orwin_flush_record_file(Orwin handle)
{
    ORW *link = orw_link(handle);
    FILE *f = link->record_file;
    if (f == nullptr)
        return 0;
    if (fflush(f) != 0 || ferror(f))
        link->record_lost = 1;
    return link->record_lost ? record_write_error() : 0;
}

void Orwin_check_record_writes(Orwin link, int on)
{
    orw_link(link)->check_record_writes = on;
}

int Orwin_record_writes(Orwin link)
{
    return orw_link(link)->check_record_writes;
}

#ifndef ORWIN_EARLIER_BUILD
int Orwin_set_tx_record_file(Orwin handle, char *file_name)
{
    ORW *link = orw_link(handle);
    const bool old_whole = orw_finish_stream(link->tx_record_file, link->tx_record_lost);
    link->tx_record_file = nullptr;
    link->tx_record_lost = 0;
    if (file_name != nullptr) {
        FILE *f = open_output(file_name);
        if (f == nullptr)
            return orw_set_error(Error_RecFile_Open, "Couldn't open recording file");
        link->tx_record_file = f;
    }
    return old_whole ? 0 : record_write_error();
}
#endif

int Orwin_File(Orwin handle, char *file_)
{
    ORW *link = orw_link(handle);
    // The new file is opened first so that a failure leaves the handle as it was.
    int fd = file_ ? open(file_, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return orw_set_error(Error_File_Not_Present, "unable to open file data");
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return orw_set_error(Error_Invalid_File, "unable to stat file data");
    }
    orw_drop_input_waiter(link);
    if (link->sock >= 0)
        close(link->sock);
    link->sock = fd;
    link->file = fd;
    link->filesize = static_cast<uint64_t>(st.st_size);
    // Bytes of the old stream must not be parsed as the start of the new one.
    orw_reset_receive(link);
    link->total_raw_bytes_received = ~static_cast<uint64_t>(0);
    return 0;
}

double Orwin_get_percent_file_read(Orwin handle)
{
    const ORW *link = orw_link(handle);
    if (link->filesize == 0)
        return 0.0;
    return static_cast<double>(link->total_raw_bytes_received) * 1000.0 / static_cast<double>(link->filesize);
}

uint64_t Orwin_get_total_raw_bytes_received(Orwin link)
{
    return orw_link(link)->total_raw_bytes_received;
}

} // extern "C"
