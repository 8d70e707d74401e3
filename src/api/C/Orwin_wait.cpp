// SPDX-License-Identifier: MIT
// Readiness waiting for connecting and receiving. Linux builds keep an epoll
// descriptor per link; the macOS build has none and waits with select, which
// is why every waiter goes through here.
#include "OrwinInternal.h"

#include <cerrno>
#include <unistd.h>
#if ORWIN_WAIT_SELECT
#include <sys/select.h>
#else
#include <sys/epoll.h>
#endif

namespace {

#if ORWIN_WAIT_SELECT
// A descriptor select cannot hold is an error, never a write past fd_set.
int select_one(int fd, bool output, int timeout_ms, bool *failed)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set ready, broken;
    FD_ZERO(&ready);
    FD_ZERO(&broken);
    FD_SET(fd, &ready);
    FD_SET(fd, &broken);
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(fd + 1, output ? nullptr : &ready, output ? &ready : nullptr, &broken,
                   timeout_ms < 0 ? nullptr : &tv);
    if (n > 0 && failed)
        *failed = FD_ISSET(fd, &broken) && !FD_ISSET(fd, &ready);
    return n;
}
#else
int epoll_watching(int sock, unsigned events)
{
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0)
        return -1;
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.fd = sock;
    if (epoll_ctl(fd, EPOLL_CTL_ADD, sock, &ev) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}
#endif

} // namespace

int orw_wait_connected(int sock, int timeout_ms, bool *failed)
{
    *failed = false;
#if ORWIN_WAIT_SELECT
    return select_one(sock, true, timeout_ms, failed);
#else
    int fd = epoll_watching(sock, EPOLLOUT);
    if (fd < 0)
        return -1;
    struct epoll_event got = {};
    int n = epoll_wait(fd, &got, 1, timeout_ms);
    const int saved = errno;
    close(fd);
    errno = saved;
    if (n > 0)
        *failed = (got.events & (EPOLLERR | EPOLLHUP)) != 0;
    return n;
#endif
}

int orw_input_waiter(ORW *link)
{
#if ORWIN_WAIT_SELECT
    (void)link;
    return 0;
#else
    if (link->epollfd >= 0)
        return 0;
    link->epollfd = epoll_watching(link->sock, EPOLLIN);
    return link->epollfd < 0 ? -1 : 0;
#endif
}

void orw_drop_input_waiter(ORW *link)
{
    if (link->epollfd >= 0)
        close(link->epollfd);
    link->epollfd = -1;
}

int orw_wait_input(ORW *link, int timeout_ms)
{
#if ORWIN_WAIT_SELECT
    return select_one(link->sock, false, timeout_ms, nullptr);
#else
    struct epoll_event ev;
    return epoll_wait(link->epollfd, &ev, 1, timeout_ms);
#endif
}
