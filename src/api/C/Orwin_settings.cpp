// SPDX-License-Identifier: MIT
// Accessors and small per-link settings.
#include "OrwinInternal.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#ifndef ORWIN_EARLIER_BUILD
#include <sys/syscall.h>
#endif
#include <unistd.h>

#define ORWIN_STR2(x) #x
#define ORWIN_STR(x) ORWIN_STR2(x)

int orw_set_blocking(int fd, bool blocking)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return -1;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags);
}

int orw_socket(int domain, int type, int protocol)
{
#ifdef SOCK_CLOEXEC
    return socket(domain, type | SOCK_CLOEXEC, protocol);
#else
    int fd = socket(domain, type, protocol);
    if (fd >= 0)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#endif
}

extern "C" {

void Orwin_set_debug(int, int) {}

#if defined(ORWIN_EARLIER_BUILD) && defined(ORWIN_MACOS_BUILD)
char *Orwin_get_version(void)
{
    return const_cast<char *>("MacOS 19.0.0");
}
#elif defined(ORWIN_EARLIER_BUILD)
char *Orwin_get_version(void)
{
    return const_cast<char *>("CentOS-7 v34.86.1573649585");
}
#else
char *Orwin_get_version(void)
{
    // The build time is fixed when this file is compiled.
    static char version[64];
    static const bool filled = [] {
        struct tm tm_build = {};
        // __DATE__ "Mmm dd yyyy", __TIME__ "hh:mm:ss"
        static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
        char mon[4] = {};
        int day = 0, year = 0, hour = 0, min = 0, sec = 0;
        sscanf(__DATE__, "%3s %d %d", mon, &day, &year);
        sscanf(__TIME__, "%d:%d:%d", &hour, &min, &sec);
        for (int m = 0; m < 12; ++m)
            if (mon[0] == months[3 * m] && mon[1] == months[3 * m + 1] && mon[2] == months[3 * m + 2])
                tm_build.tm_mon = m;
        tm_build.tm_mday = day;
        tm_build.tm_year = year - 1900;
        tm_build.tm_hour = hour;
        tm_build.tm_min = min;
        tm_build.tm_sec = sec;
        snprintf(version, sizeof version, "Linux v%s.%s.%lld", ORWIN_STR(ORWIN_VERSION_MAJOR),
                 ORWIN_STR(ORWIN_VERSION_MINOR), static_cast<long long>(timegm(&tm_build)));
        return true;
    }();
    (void)filled;
    return version;
}
#endif

int Orwin_get_socket(Orwin link)
{
    return orw_link(link)->sock;
}

void Orwin_set_context(Orwin link, void *context)
{
    orw_link(link)->context = context;
}

void *Orwin_get_context(Orwin link)
{
    return orw_link(link)->context;
}

#ifndef ORWIN_EARLIER_BUILD
void Orwin_set_number_of_links(Orwin link, unsigned number)
{
    orw_link(link)->number_of_links = static_cast<int>(number);
}
#endif

void Orwin_system_type(Orwin link, int type)
{
    orw_link(link)->system_type = type;
}

int Orwin_device_type(Orwin link)
{
    return orw_link(link)->system_type;
}

int Orwin_get_options(Orwin link)
{
    return orw_link(link)->option;
}

void Orwin_set_EINTR(Orwin link, int enabled)
{
    orw_link(link)->eintr_enabled = enabled;
}

void Orwin_set_rx_timeout_action(Orwin link, int action)
{
    orw_link(link)->rx_timeout_returns_error = action;
}

int Orwin_set_rx_timeout(Orwin link, int ms)
{
    ORW *l = orw_link(link);
    if (l->rx_timeout == ms)
        return 0;
    l->rx_timeout = ms;
    // The descriptor does not depend on the time-out: a thread that reads in
    // shorter slices now and then keeps it.
    if (l->epollfd >= 0 && ms > 0)
        return 0;
    if (l->epollfd >= 0) {
        // The next read that needs it re-creates the descriptor.
        orw_drop_input_waiter(l);
        return 0;
    }
    if (ms <= 0)
        return 0;
    return orw_input_waiter(l);
}

int Orwin_get_rx_timeout(Orwin link)
{
    return orw_link(link)->rx_timeout;
}

#ifndef ORWIN_EARLIER_BUILD
void Orwin_set_tx_timeout(Orwin link, int ms)
{
    orw_link(link)->tx_stall_ms = ms < 0 ? 0 : ms;
}

int Orwin_get_tx_timeout(Orwin link)
{
    return orw_link(link)->tx_stall_ms;
}
#endif

void Orwin_read_stats(Orwin link, uint64_t *calls, uint64_t *io)
{
    ORW *l = orw_link(link);
    if (calls)
        *calls += l->read_calls;
    if (io)
        *io += l->read_io_calls;
    l->read_calls = 0;
    l->read_io_calls = 0;
}

#ifndef ORWIN_EARLIER_BUILD
long Orwin_gettid(void)
{
    return static_cast<long>(syscall(SYS_gettid));
}

int Orwin_Non_Blocking(Orwin link, int nonblocking)
{
    ORW *l = orw_link(link);
    l->nonblocking = nonblocking;
    if (orw_set_blocking(l->sock, nonblocking == 0) < 0)
        return orw_set_error(Error_Network, "not able to go non blocking");
    return 0;
}
#endif

} // extern "C"

int64_t orw_monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
