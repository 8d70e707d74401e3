// SPDX-License-Identifier: MIT
// Orwin_Filewriter.hpp - where captured data goes: one file, or a series of
// files rotated at packet ends once a size threshold is reached. Files are
// written under a ".tmp" name and renamed when finished.
#ifndef ORWIN_FILEWRITER_HPP
#define ORWIN_FILEWRITER_HPP

#include "Orwin_Export.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orw {
namespace utils {

/**
 * Names, rotates and finishes capture files. It writes no data itself: the
 * capture engine counts bytes into `currentsize` and calls
 * check_file_swap_over() after every packet end; derived classes open,
 * switch and close the real files through the virtual hooks. Everything
 * but capture_file() and capture_files() runs on the capture thread.
 */
class ORWIN_API filewriter {
  public:
    static constexpr size_t template_size = 8192;
    static constexpr size_t name_size = 8320;

    size_t record_file_size = 0;                   ///< rotation threshold in bytes; 0 = one single file
    size_t currentsize = 0;                        ///< bytes counted into the current file
    char record_file_template[template_size] = {}; ///< path template of rotated files, no extension
    const char *record_file_suffix = nullptr;      ///< extension taken from the template, or null
    uint32_t record_file_generation = 0;           ///< rotated files created so far
    char currentfile[name_size] = {};              ///< the file being written
    char nextfile[name_size] = {};                 ///< the name being prepared
    bool fileindex = false;                        ///< number the files instead of time-stamping them
    std::string name;

    filewriter() = default;
    filewriter(const filewriter &) = delete;
    filewriter &operator=(const filewriter &) = delete;

    // ---- Hooks, in slot order ---------------------------------------------------
    /** A new file `name` was opened; traces it. */
    virtual void new_capture_file(const char *name);
    /** File `name` was finished under its final name; traces it. */
    virtual void archived_capture_file(const char *name);
    /** Switch the output to `name` (null: close only); the base only traces. */
    virtual void set_file(const char *name, bool p1, bool p2);
    /** Open the first file: set_file(name, false, true). */
    virtual void file_start(const char *name, int gen);
    /** file_end(nullptr). */
    virtual void finished();
    /** End the current file and continue in `next` (null: none). */
    virtual void file_end(const char *next);
    /** Extension of finished files: the template's, else ".trc". */
    virtual const char *file_suffix();
    virtual ~filewriter();

    /**
     * Begin a recording into `filename`: a single file when `rfs` is 0, else
     * rotated files of about `rfs` bytes named from `filename` (a path with
     * an extension, or a directory that is created when missing). An empty
     * name with `rfs` 0 records nothing.
     * A single target must be a regular file or new; numbered rotated files
     * continue after the highest number the target already holds.
     * @throws orw::error -1 "No record size and no capture file",
     *         "can't open record file directory", "record file name too long",
     *         "capture target is a directory (...)" or "capture target is not
     *         a regular file"
     */
    void start_recording(const char *filename, size_t rfs);
    /** Open the next rotated file, finishing the current one. */
    void create_record_file();
    /** Rotate when `currentsize` has reached the threshold. */
    void check_file_swap_over();
    /**
     * End the current rotated file (continuing in `next`), rename it to its
     * final name stamped with `now` (never replacing a file) and add it to
     * the finished files. A file that cannot be ended whole keeps its
     * ".tmp" name and is never finished, not even by close().
     * @throws orw::error from file_end(); -37 "can't rename file"
     */
    void finished_file(const char *next, const std::string &now);
    /**
     * End the recording: finish the last file.
     * @throws orw::error -2 "capture file was removed during the capture"
     *         when the single file is gone (it is then no longer listed)
     */
    void close();
    /** True when `path` is an existing directory. */
    static bool isdir(const char *path);
    /** The finished file at `idx` (0 = first), or "" when there is none. */
    std::string capture_file(int idx) const;
    /** Number of finished files. */
    size_t capture_files() const;
    /** Local time now, "YYYYMMDDhhmmss" and four digits of milliseconds. */
    static std::string time_to_string();
    /**
     * `in` with every "${NAME}" replaced by that environment variable's
     * value (nothing when unset); an unclosed "${" ends the expansion.
     * @return false when the result does not fit `size` bytes with its NUL
     */
    static bool expand_environment(const char *in, char *out, size_t size);

  protected:
    /** Adds a finished file name; guarded against concurrent readers. */
    void add_finished(const std::string &file);
    /** Takes `file` off the finished files (it turned out not to be whole). */
    void drop_finished(const std::string &file);

  private:
    mutable std::mutex filenames_lock;
    std::vector<std::string> filenames; // finished files, in order
    std::string last_stamp;             // start stamp of the last time-stamped file
    uint32_t index_base = 0;            // highest number already used in the target
    bool current_failed = false;        // the current file failed: never renamed as finished
    bool single_known = false;          // single_dev/single_ino identify the single file
    uint64_t single_dev = 0, single_ino = 0;

    void check_single_target(const char *filename) const;
    void remember_single_file(const char *filename);
    void check_single_file_kept(const char *filename);
    uint32_t highest_index(const char *expansion);
    unsigned stamp_repeat = 0; // files started within that same millisecond
};

} // namespace utils
} // namespace orw

#endif // ORWIN_FILEWRITER_HPP
