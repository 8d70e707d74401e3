// SPDX-License-Identifier: MIT
// orw::utils::filewriter: names, rotation and finishing of capture files.
#include "Orwin_Filewriter.hpp"

#include "Orwin.h"
#include "Orwin_Platform.h"
#include "Orwin_Trace.h"
#include "Orwin_Utils.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

namespace orw {
namespace utils {

namespace {

const char name_too_long[] = "record file name too long";

const char in_progress[] = ".tmp";
constexpr size_t in_progress_length = sizeof in_progress - 1;

bool file_exists(const char *path)
{
    struct stat st;
    return ::lstat(path, &st) == 0;
}

// Standard output, a pipe or no recording: nothing on disk to check.
bool names_no_file(const char *name)
{
    return std::strcmp(name, "-") == 0 || strncasecmp(name, "pipe:", 5) == 0 || strcasecmp(name, "null") == 0;
}

// Rename that never replaces an existing file.
int rename_new(const char *from, const char *to)
{
    int rc = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the no-replace flag: check, then rename.
        if (file_exists(to)) {
            errno = EEXIST;
            return -1;
        }
        rc = std::rename(from, to);
    }
    return rc;
}

} // namespace

filewriter::~filewriter() = default;

void filewriter::new_capture_file(const char *file)
{
    ORW_TRCAPI_TRACE(2, this, "created new capture file %s", file ? file : "(null)");
}

void filewriter::archived_capture_file(const char *file)
{
    ORW_TRCAPI_TRACE(2, this, "archive capture file %s", file ? file : "(null)");
}

void filewriter::set_file(const char *file, bool, bool)
{
    ORW_TRCAPI_TRACE(2, this, "set file '%s'", file ? file : "(null)");
}

void filewriter::file_start(const char *file, int gen)
{
    ORW_TRCAPI_TRACE(2, this, "starting capture file '%s' generation %d", file ? file : "(null)", gen);
    set_file(file, false, true);
}

void filewriter::finished()
{
    file_end(nullptr);
}

void filewriter::file_end(const char *next)
{
    ORW_TRCAPI_TRACE(2, this, "terminating current capture file and starting '%s':%p", next ? next : "(null)",
                     static_cast<const void *>(next));
    set_file(next, false, true);
}

const char *filewriter::file_suffix()
{
    return record_file_suffix ? record_file_suffix : ".trc";
}

bool filewriter::isdir(const char *path)
{
    struct stat st;
    return path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string filewriter::time_to_string()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%04ld", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000L);
    return text;
}

bool filewriter::expand_environment(const char *in, char *out, size_t size)
{
    if (size == 0)
        return false;
    size_t used = 0;
    auto put = [&](const char *text, size_t n) {
        if (n >= size - used)
            return false;
        std::memcpy(out + used, text, n);
        used += n;
        return true;
    };
    for (const char *p = in; *p;) {
        if (p[0] == '$' && p[1] == '{') {
            const char *close = std::strchr(p + 2, '}');
            if (!close)
                break; // an unclosed reference ends the name
            std::string variable(p + 2, close);
            const char *value = variable.empty() ? nullptr : std::getenv(variable.c_str());
            if (value && !put(value, std::strlen(value)))
                return false;
            p = close + 1;
        } else {
            if (!put(p, 1))
                return false;
            ++p;
        }
    }
    out[used] = '\0';
    return true;
}

void filewriter::add_finished(const std::string &file)
{
    std::lock_guard<std::mutex> guard(filenames_lock);
    filenames.push_back(file);
}

void filewriter::drop_finished(const std::string &file)
{
    std::lock_guard<std::mutex> guard(filenames_lock);
    for (auto it = filenames.begin(); it != filenames.end(); ++it)
        if (*it == file) {
            filenames.erase(it);
            return;
        }
}

std::string filewriter::capture_file(int idx) const
{
    std::lock_guard<std::mutex> guard(filenames_lock);
    if (idx < 0 || static_cast<size_t>(idx) >= filenames.size())
        return std::string();
    return filenames[static_cast<size_t>(idx)];
}

size_t filewriter::capture_files() const
{
    std::lock_guard<std::mutex> guard(filenames_lock);
    return filenames.size();
}

void filewriter::start_recording(const char *filename, size_t rfs)
{
    record_file_generation = 0;
    record_file_size = rfs;
    record_file_suffix = nullptr;
    last_stamp.clear();
    stamp_repeat = 0;
    index_base = 0;
    currentfile[0] = '\0';
    current_failed = false;
    single_known = false;
    if (!filename || !*filename) {
        if (rfs != 0)
            throw error("", Error_RecFile_Open, "No record size and no capture file");
        ORW_TRCAPI_TRACE(2, this, "no filename so null capturing");
        return;
    }
    if (rfs == 0) {
        check_single_target(filename);
        if (std::strlen(filename) >= sizeof currentfile)
            throw error(filename, Error_RecFile_Open, name_too_long);
        std::strcpy(currentfile, filename);
        file_start(filename, 0);
        remember_single_file(filename);
        add_finished(filename);
        return;
    }

    size_t length = std::strlen(filename);
    if (length >= sizeof record_file_template)
        throw error(filename, Error_RecFile_Open, name_too_long);
    std::memcpy(record_file_template, filename, length + 1);
    char *slash = std::strrchr(record_file_template, '/');
    char *dot = std::strchr(slash ? slash : record_file_template, '.');
    if (dot) {
        // The suffix keeps its dot and lives after the template's end.
        if (length + 2 > sizeof record_file_template)
            throw error(filename, Error_RecFile_Open, name_too_long);
        std::memmove(dot + 1, dot, std::strlen(dot) + 1);
        *dot = '\0';
        record_file_suffix = dot + 1;
    } else {
        if (!isdir(filename) && orw_mkdir(filename) != 0 && !isdir(filename))
            throw error(filename, Error_RecFile_Open, "can't open record file directory");
        const char *leaf = length > 0 && filename[length - 1] == '/' ? "trccapture" : "/trccapture";
        if (length + std::strlen(leaf) >= sizeof record_file_template)
            throw error(filename, Error_RecFile_Open, name_too_long);
        std::strcat(record_file_template, leaf);
    }
    if (fileindex) {
        char expansion[template_size];
        if (!expand_environment(record_file_template, expansion, sizeof expansion))
            throw error(record_file_template, Error_RecFile_Open, name_too_long);
        index_base = highest_index(expansion);
    }
    create_record_file();
}

void filewriter::check_single_target(const char *filename) const
{
    if (names_no_file(filename))
        return;
    // Only a regular file is replaced: a directory, device, socket or FIFO
    // is never removed nor written as if it were one.
    struct stat st;
    if (::stat(filename, &st) != 0 || S_ISREG(st.st_mode))
        return;
    if (S_ISDIR(st.st_mode))
        throw error(filename, Error_RecFile_Open,
                    "capture target is a directory (give a file size to rotate into it)");
    throw error(filename, Error_RecFile_Open, "capture target is not a regular file");
}

void filewriter::remember_single_file(const char *filename)
{
    struct stat st;
    single_known = !names_no_file(filename) && ::stat(filename, &st) == 0 && S_ISREG(st.st_mode);
    if (single_known) {
        single_dev = static_cast<uint64_t>(st.st_dev);
        single_ino = static_cast<uint64_t>(st.st_ino);
    }
}

void filewriter::check_single_file_kept(const char *filename)
{
    if (!single_known)
        return;
    single_known = false;
    struct stat st;
    if (::stat(filename, &st) == 0 && static_cast<uint64_t>(st.st_dev) == single_dev &&
        static_cast<uint64_t>(st.st_ino) == single_ino)
        return;
    ORW_TRCAPI_TRACE(1, this, "capture file '%s' was removed during the capture", filename);
    drop_finished(filename);
    throw error(filename, Error_RecFile_Write, "capture file was removed during the capture");
}

uint32_t filewriter::highest_index(const char *expansion)
{
    // Numbers continue after the highest one a file of this series already
    // has, so that a new capture never reuses a finished file's name.
    std::string path = expansion;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string leaf = (slash == std::string::npos ? path : path.substr(slash + 1)) + "_";
    const std::string suffix = file_suffix();
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return 0;
    uint32_t highest = 0;
    while (struct dirent *e = ::readdir(d)) {
        const char *n = e->d_name;
        if (std::strncmp(n, leaf.c_str(), leaf.size()) != 0)
            continue;
        const char *digits = n + leaf.size();
        const char *end = digits;
        while (*end >= '0' && *end <= '9')
            ++end;
        if (end - digits < 8 || (std::strcmp(end, in_progress) != 0 && suffix != end))
            continue;
        unsigned long long v = std::strtoull(digits, nullptr, 10);
        if (v > highest)
            highest = v > 0xFFFF0000ull ? 0xFFFF0000u : static_cast<uint32_t>(v);
    }
    ::closedir(d);
    return highest;
}

void filewriter::create_record_file()
{
    std::string t = time_to_string();
    char expansion[template_size];
    if (!expand_environment(record_file_template, expansion, sizeof expansion))
        throw error(record_file_template, Error_RecFile_Open, name_too_long);

    int n;
    if (fileindex) {
        n = std::snprintf(nextfile, sizeof nextfile, "%s_%08u.tmp", expansion,
                          index_base + record_file_generation + 1);
    } else {
        // Two files started within one millisecond would share a name and the
        // second would overwrite the first: later ones get "-1", "-2", ...
        stamp_repeat = t == last_stamp ? stamp_repeat + 1 : 0;
        last_stamp = t;
        for (;;) {
            if (stamp_repeat == 0)
                n = std::snprintf(nextfile, sizeof nextfile, "%s_%s.tmp", expansion, t.c_str());
            else
                n = std::snprintf(nextfile, sizeof nextfile, "%s_%s-%u.tmp", expansion, t.c_str(),
                                  stamp_repeat);
            if (n < 0 || static_cast<size_t>(n) >= sizeof nextfile || !file_exists(nextfile))
                break;
            ++stamp_repeat;
        }
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof nextfile)
        throw error(expansion, Error_RecFile_Open, name_too_long);
    nextfile[sizeof nextfile - 1] = '\0';
    if (file_exists(nextfile))
        throw error(nextfile, Error_RecFile_Open, "capture file already exists");

    uint32_t generation = record_file_generation++;
    if (generation == 0) {
        file_start(nextfile, 1);
    } else {
        ORW_TRCAPI_TRACE(2, this, "close down extant file");
        finished_file(nextfile, t);
    }
    std::memcpy(currentfile, nextfile, sizeof currentfile);
    new_capture_file(currentfile);
}

void filewriter::finished_file(const char *next, const std::string &now)
{
    try {
        file_end(next);
    } catch (...) {
        // A file that could not be ended whole keeps its in-progress name.
        current_failed = true;
        throw;
    }

    // Only the suffix this writer added marks the file in progress.
    std::string final_name = currentfile;
    const size_t length = final_name.size();
    if (length >= in_progress_length &&
        final_name.compare(length - in_progress_length, in_progress_length, in_progress) == 0) {
        final_name.erase(length - in_progress_length);
        if (!fileindex)
            final_name += "_" + now;
        final_name += file_suffix();
    }
    if (rename_new(currentfile, final_name.c_str()) != 0) {
        int e = errno;
        ORW_TRCAPI_TRACE(1, this, "Error renaming '%s' to '%s' error %d", currentfile, final_name.c_str(), e);
        throw error(final_name, Error_File_Move, "can't rename file", e);
    }
    add_finished(final_name);
    archived_capture_file(final_name.c_str());
}

void filewriter::check_file_swap_over()
{
    if (record_file_size != 0 && currentsize >= record_file_size) {
        currentsize = 0;
        create_record_file();
    }
}

void filewriter::close()
{
    ORW_TRCAPI_TRACE(2, this, "Closing down capture");
    if (record_file_size != 0) {
        if (record_file_generation == 0)
            return;                 // nothing was opened
        record_file_generation = 0; // a second close finds nothing open
        if (current_failed) {
            // Whatever is still open is closed; nothing is listed as finished.
            try {
                file_end(nullptr);
            } catch (const std::exception &e) {
                ORW_TRCAPI_TRACE(1, this, "closing after a failed file: %s", e.what());
            }
            return;
        }
        ORW_TRCAPI_TRACE(2, this, "terminating current file '%s'", currentfile);
        finished_file(nullptr, time_to_string());
    } else {
        ORW_TRCAPI_TRACE(2, this, "closing down single file");
        try {
            file_end(nullptr);
        } catch (...) {
            drop_finished(currentfile);
            single_known = false;
            throw;
        }
        check_single_file_kept(currentfile);
    }
}

} // namespace utils
} // namespace orw
