// SPDX-License-Identifier: MIT
// Orwin_platform.cpp - small platform helpers: named pipes for live viewers,
// child processes, directories, sleeping, time-zone offset, stdio files.
#include "Orwin_Platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::atomic<int (*)(const char *)> pipe_callback{nullptr};

// Write everything, with SIGPIPE held back for this thread: a viewer that
// goes away must fail the write, not end the process.
bool write_all(int fd, const unsigned char *p, size_t sz)
{
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    bool ok = true;
    while (sz > 0) {
        ssize_t n = write(fd, p, sz);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        sz -= static_cast<size_t>(n);
    }
    if (!ok && errno == EPIPE) {
        // Consume the SIGPIPE this write raised before unblocking.
#ifdef __APPLE__
        // No sigtimedwait there: take it only when it is pending.
        sigset_t pending;
        int taken = 0;
        while (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1)
            sigwait(&pipe_only, &taken);
#else
        const struct timespec zero = {0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &zero) == SIGPIPE) {
        }
#endif
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

ORW_PIPE_DATA *open_pipe(const char *filename_, int timeout_ms_, int (*cancel_)(void *), void *arg_)
{
    std::string path = (filename_ && filename_[0]) ? filename_ : "/tmp/wireshark_" + std::to_string(getpid());
    // Only an earlier FIFO is replaced; any other file of that name stays
    // and makes the creation fail.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0)
        return nullptr;
    int (*cb)(const char *) = pipe_callback.load();
    if (cb && cb(path.c_str()) != 0) {
        unlink(path.c_str());
        return nullptr;
    }
    // Without a reader a non-blocking open fails with ENXIO: poll for one,
    // so the wait can end on time or when the caller gives up.
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int fd = -1;
    int e = 0;
    for (;;) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            break;
        e = errno;
        if (e != ENXIO && e != EINTR)
            break;
        if (cancel_ && cancel_(arg_)) {
            e = ECANCELED;
            break;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (timeout_ms_ >= 0 && waited >= timeout_ms_) {
            e = ENXIO;
            break;
        }
        usleep(10000);
    }
    unlink(path.c_str());
    if (fd < 0) {
        errno = e;
        return nullptr;
    }
    // Writes block again once the reader is there.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ORW_PIPE_DATA *pipe = static_cast<ORW_PIPE_DATA *>(malloc(sizeof(ORW_PIPE_DATA)));
    char *name = strdup(path.c_str());
    if (pipe == nullptr || name == nullptr) {
        free(pipe);
        free(name);
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    pipe->handle = fd;
    pipe->filename = name;
    return pipe;
}

} // namespace

extern "C" {

ORW_PIPE_DATA *orw_open_pipe(const char *filename_)
{
    return open_pipe(filename_, -1, nullptr, nullptr);
}

#ifndef ORWIN_EARLIER_BUILD
ORW_PIPE_DATA *orw_open_pipe_wait(const char *filename_, int timeout_ms_, int (*cancel_)(void *), void *arg_)
{
    return open_pipe(filename_, timeout_ms_, cancel_, arg_);
}
#endif

int orw_write_pipe(const void *data_, size_t sz_, ORW_PIPE_DATA *pipe_)
{
    if (pipe_ == nullptr || pipe_->handle < 0)
        return 0;
    return write_all(pipe_->handle, static_cast<const unsigned char *>(data_), sz_) ? 1 : 0;
}

ORW_PIPE_DATA *orw_close_pipe(ORW_PIPE_DATA *pipe_)
{
    if (pipe_ == nullptr)
        return nullptr;
    if (pipe_->filename) {
        // The name was removed when the reader came; remove it only if it is
        // still this pipe, never a newer FIFO that reuses the name.
        struct stat ours, named;
        if (pipe_->handle >= 0 && fstat(pipe_->handle, &ours) == 0 && stat(pipe_->filename, &named) == 0 &&
            ours.st_dev == named.st_dev && ours.st_ino == named.st_ino)
            unlink(pipe_->filename);
        free(pipe_->filename);
    }
    if (pipe_->handle >= 0)
        close(pipe_->handle);
    free(pipe_);
    return nullptr;
}

void orw_create_pipe_cb(int (*cb_)(const char *))
{
    pipe_callback.store(cb_);
}

int orw_create_process(const char *name_, const char *a1_, const char *a2_, const char *a3_)
{
    if (name_ == nullptr)
        return -1;
    char *const argv[] = {const_cast<char *>(name_), const_cast<char *>(a1_), const_cast<char *>(a2_),
                          const_cast<char *>(a3_), nullptr};
    // The program runs in a grandchild, reparented at once, so that no
    // zombie is left behind; the intermediate child is reaped here.
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        pid_t grandchild = fork();
        if (grandchild == 0) {
            execvp(name_, argv);
            _exit(127); // never go on as a copy of the caller
        }
        _exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

int orw_mkdir(const char *dir_)
{
    return mkdir(dir_, 0755);
}

void orw_delay(int ms_)
{
    if (ms_ <= 0)
        return;
    struct timespec req = {ms_ / 1000, static_cast<long>(ms_ % 1000) * 1000000L};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

int orw_gmt_time_offset(void)
{
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr)
        return 0;
    return static_cast<int>(local.tm_gmtoff);
}

FILE *orw_open_rd(char *name)
{
    return name ? fopen(name, "r") : nullptr;
}

FILE *orw_open_text(char *name)
{
    if (name == nullptr)
        return nullptr;
    if (name[0] == '-' && name[1] == '\0')
        return stdout;
    return fopen(name, "w");
}

FILE *orw_close(FILE *file)
{
    // Standard output handed out by orw_open_text stays open.
    if (file == stdout || file == stderr)
        fflush(file);
    else if (file)
        fclose(file);
    return nullptr;
}

int orw_flush(FILE *file)
{
    return file ? fflush(file) : 0;
}

} // extern "C"
