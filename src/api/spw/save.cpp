// SPDX-License-Identifier: MIT
// Saving a received buffer (with an optional header block) to a file.
#include "Orwin_Trace.h"
#include "Orwin_Utils.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orw {
namespace spacewire {
namespace utils {

namespace {

// Writes all of a block, resuming after partial writes and interrupts.
bool write_all(int fd, const void *block, size_t size)
{
    const unsigned char *p = static_cast<const unsigned char *>(block);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool save(const std::string &file, const void *data, size_t size, const void *header, size_t header_size)
{
    ORW_SPW_TRACE(8, nullptr, "writing %u bytes of data to %s", static_cast<unsigned>(size), file.c_str());
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    // Only a regular file may be removed after a failed write; a device or
    // pipe given as the target is left alone.
    struct stat st;
    const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd < 0) {
        int e = errno;
        std::fprintf(stderr, "Error opening %s (%d)\n", file.c_str(), e);
        ORW_SPW_TRACE(1, nullptr, "error %d writing to file file %s (%d)", -1, file.c_str(), e);
        return true;
    }
    bool ok =
        (header_size == 0 || write_all(fd, header, header_size)) && (size == 0 || write_all(fd, data, size));
    int e = errno;
    // A failing close can mean the data never reached the disk.
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        std::fprintf(stderr, "Error writing to %s (%d)\n", file.c_str(), e);
        ORW_SPW_TRACE(1, nullptr, "error %d writing to file file %s (%d)", -1, file.c_str(), e);
        if (regular)
            ::unlink(file.c_str());
        return true;
    }
    return false;
}

} // namespace utils
} // namespace spacewire
} // namespace orw
