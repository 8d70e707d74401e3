// SPDX-License-Identifier: MIT
// Trace channels of the object layers: set-up from the environment and the
// single-write trace line.
#include "Orwin_Trace.h"

#include "Orwin.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace orw {

namespace {

bool debug_debug()
{
    return std::getenv("ORW_DEBUG_DEBUG") != nullptr;
}

constexpr size_t trace_line_size = 8192;

} // namespace

const char *debug::envv(const char *name, const char *type)
{
    char variable[1025];
    std::snprintf(variable, sizeof variable, "ORW_%s_DEBUG_%s", name, type);
    if (debug_debug()) {
        std::printf("Looking for %s\n", variable);
        std::fflush(stdout);
    }
    return std::getenv(variable);
}

void debug::init(const char *name)
{
    // A re-read must not leak the descriptor of an earlier set-up.
    if (file > 2)
        ::close(file);
    level = 0;
    file = -1;

    const char *file_value = envv(name, "FILE");
    const char *level_value = envv(name, "LEVEL");
    if (!file_value || !level_value) {
        if (debug_debug())
            std::printf("Debug %p:%s Not enabled\n", static_cast<void *>(this), name);
        return;
    }
    if (debug_debug())
        std::printf("Debug %p:%s %s:%s\n", static_cast<void *>(this), name, file_value, level_value);

    if (file_value[0] == '-' && file_value[1] == '\0')
        file = 2;
    else
        file = ::open(file_value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);

    long value = std::strtol(level_value, nullptr, 10);
    if (value < 0 || value > 0x7FFFFFFF)
        value = 0;
    level = static_cast<int>(value);
}

void debug::print(const char *function, int line, const void *object, const char *format, ...) const
{
    int saved_errno = errno;
    char buffer[trace_line_size];

    int prefix = std::snprintf(buffer, sizeof buffer, "%ld:%s:%d:%p:", Orwin_gettid(),
                               function ? function : "?", line, object);
    if (prefix < 0)
        prefix = 0;
    // Leave room for the newline whatever the prefix and message lengths.
    size_t used =
        static_cast<size_t>(prefix) < trace_line_size - 1 ? static_cast<size_t>(prefix) : trace_line_size - 1;
    va_list args;
    va_start(args, format);
    int message = std::vsnprintf(buffer + used, trace_line_size - used, format, args);
    va_end(args);
    if (message > 0)
        used += static_cast<size_t>(message);
    if (used > trace_line_size - 1)
        used = trace_line_size - 1;
    buffer[used++] = '\n';

    ssize_t written = ::write(file, buffer, used);
    (void)written; // a trace that cannot be written is dropped
    errno = saved_errno;
}

namespace tracing {

#define ORW_TRACE_DEFINE_CHANNEL(NAME)                                                                       \
    namespace NAME {                                                                                         \
    ::orw::debug debug;                                                                                      \
    init_t::init_t()                                                                                         \
    {                                                                                                        \
        debug.init(#NAME);                                                                                   \
    }                                                                                                        \
    static init_t initializer;                                                                               \
    }
ORW_TRACE_DEFINE_CHANNEL(SPW)
ORW_TRACE_DEFINE_CHANNEL(WFM)
ORW_TRACE_DEFINE_CHANNEL(TRCAPI)
ORW_TRACE_DEFINE_CHANNEL(PCAP)
#undef ORW_TRACE_DEFINE_CHANNEL

} // namespace tracing

} // namespace orw
