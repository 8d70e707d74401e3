// SPDX-License-Identifier: MIT
// Crash and hang-up handlers that print a back-trace before exiting.
#include "OrwinInternal.h"

#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace {
constexpr int max_frames = 20;
volatile ORW_HUP hup_handler = nullptr;

// Only async-signal-safe calls from here on.
void write_text(const char *text)
{
    (void)!write(STDERR_FILENO, text, strlen(text));
}

void write_backtrace()
{
    void *frames[max_frames];
    int count = backtrace(frames, max_frames);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

void crash_signal(int sig)
{
    char line[32] = "Error: signal ";
    size_t len = strlen(line);
    char digits[12];
    int n = 0;
    for (int v = sig; v > 0 && n < 11; v /= 10)
        digits[n++] = static_cast<char>('0' + v % 10);
    while (n > 0)
        line[len++] = digits[--n];
    line[len++] = ':';
    line[len++] = '\n';
    line[len] = '\0';
    write_text(line);
    write_backtrace();
    _exit(1);
}

void hangup_signal(int sig)
{
    write_text("HUP Received\n");
    write_backtrace();
    ORW_HUP hup = hup_handler;
    if (hup)
        hup(sig);
    _exit(1);
}
} // namespace

extern "C" void Orwin_set_crash_handler(ORW_HUP hup)
{
    // Load the unwinder now: backtrace() may allocate on its first call.
    void *warm[1];
    backtrace(warm, 1);
    signal(SIGSEGV, crash_signal);
    signal(SIGABRT, crash_signal);
    if (hup) {
        hup_handler = hup;
        signal(SIGHUP, hangup_signal);
    }
}
