/*
 * SPDX-License-Identifier: MIT
 * Orwin_Trace.h - per-channel tracing of the object layers.
 *
 * Each channel ("SPW", "WFM", "TRCAPI", "PCAP") is a static orw::debug
 * object, set up once at library load from the environment:
 *   ORW_<channel>_DEBUG_FILE   a path (appended to), or "-" for stderr
 *   ORW_<channel>_DEBUG_LEVEL  a decimal bit mask: 1 errors, 2 set-up and
 *                              lifecycle, 4 protocol parsing, 8 per-packet
 * A channel stays off unless both are set. ORW_DEBUG_DEBUG makes the set-up
 * report what it looked for on stdout.
 *
 * A trace line is "tid:function:line:object:" followed by the message and a
 * newline, written with one write() call so that lines of different threads
 * never interleave; errno is preserved.
 */
#ifndef ORWIN_TRACE_H
#define ORWIN_TRACE_H

#include "Orwin_Export.h"

#ifndef __cplusplus
#error "Orwin_Trace.h is a C++ header"
#endif

namespace orw {

class ORWIN_API debug {
  public:
    int level = 0; // bit mask of enabled statements; 0 = off
    int file = -1; // descriptor receiving the lines

    /**
     * Read the channel's settings from the environment.
     * @param name channel name, e.g. "SPW"
     * Calling it again re-reads the environment (a file it opened before is
     * closed first).
     */
    void init(const char *name);

    /**
     * Value of the environment variable "ORW_<name>_DEBUG_<type>", or null.
     * With ORW_DEBUG_DEBUG set, prints "Looking for <variable>" to stdout.
     */
    static const char *envv(const char *name, const char *type);

    /**
     * Format and write one trace line (used through ORW_TRACE).
     * @param function name of the calling function
     * @param line source line of the statement
     * @param object object concerned, or null
     */
    void print(const char *function, int line, const void *object, const char *format, ...) const
        __attribute__((format(printf, 5, 6)));
};

namespace tracing {
// Channels are zero-initialised (off) before any constructor runs, so a
// statement executed by another static initialiser is simply not traced.
#define ORW_TRACE_DECLARE_CHANNEL(NAME)                                                                      \
    namespace NAME {                                                                                         \
    extern ORWIN_API ::orw::debug debug;                                                                     \
    class ORWIN_API init_t {                                                                                 \
      public:                                                                                                \
        init_t();                                                                                            \
    };                                                                                                       \
    }
ORW_TRACE_DECLARE_CHANNEL(SPW)
ORW_TRACE_DECLARE_CHANNEL(WFM)
ORW_TRACE_DECLARE_CHANNEL(TRCAPI)
ORW_TRACE_DECLARE_CHANNEL(PCAP)
#undef ORW_TRACE_DECLARE_CHANNEL
} // namespace tracing

} // namespace orw

#if defined(__GNUC__)
#define ORW_TRACE_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ORW_TRACE_UNLIKELY(x) (x)
#endif

/**
 * Trace through a channel object when its level has `bit`. An off channel
 * costs one load and one predicted-not-taken branch; the arguments are not
 * evaluated.
 */
#define ORW_TRACE(channel, bit, object, ...)                                                                 \
    do {                                                                                                     \
        if (ORW_TRACE_UNLIKELY((channel).level & (bit)))                                                     \
            (channel).print(__func__, __LINE__, (object), __VA_ARGS__);                                      \
    } while (0)

#define ORW_SPW_TRACE(bit, object, ...) ORW_TRACE(::orw::tracing::SPW::debug, bit, object, __VA_ARGS__)
#define ORW_WFM_TRACE(bit, object, ...) ORW_TRACE(::orw::tracing::WFM::debug, bit, object, __VA_ARGS__)
#define ORW_TRCAPI_TRACE(bit, object, ...) ORW_TRACE(::orw::tracing::TRCAPI::debug, bit, object, __VA_ARGS__)
#define ORW_PCAP_TRACE(bit, object, ...) ORW_TRACE(::orw::tracing::PCAP::debug, bit, object, __VA_ARGS__)

#endif /* ORWIN_TRACE_H */
