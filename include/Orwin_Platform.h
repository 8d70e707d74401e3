/*
 * SPDX-License-Identifier: MIT
 * Orwin_Platform.h - small platform helpers shared by the library's layers:
 * named pipes for live viewers, child processes, directories, sleeping,
 * time-zone offset and stdio file helpers.
 */
#ifndef ORWIN_PLATFORM_H
#define ORWIN_PLATFORM_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/** A named pipe opened for writing. */
typedef struct ORW_PIPE_DATA {
    int handle;     /**< write descriptor */
    char *filename; /**< copy of the pipe's path */
} ORW_PIPE_DATA;

/**
 * Create a FIFO (NULL or "" = "/tmp/wireshark_<pid>") and wait for a reader.
 * The name is removed once the reader has opened it. NULL on failure or when
 * the pipe callback refuses the path.
 */
ORW_PIPE_DATA *orw_open_pipe(const char *filename_);
#ifndef ORWIN_EARLIER_BUILD
/**
 * As orw_open_pipe, waiting at most `timeout_ms_` ms for a reader (negative:
 * no limit) and giving up as soon as `cancel_(arg_)` returns non-zero (null:
 * never). NULL with errno ENXIO when no reader came, ECANCELED when given up.
 */
ORW_PIPE_DATA *orw_open_pipe_wait(const char *filename_, int timeout_ms_, int (*cancel_)(void *), void *arg_);
#endif
/** 1 if all `sz_` bytes were written, else 0. */
int orw_write_pipe(const void *data_, size_t sz_, ORW_PIPE_DATA *pipe_);
/** Close the pipe, remove its path if still held, release it. Returns NULL. */
ORW_PIPE_DATA *orw_close_pipe(ORW_PIPE_DATA *pipe_);
/** Process-wide callback called with a pipe's path before it is opened. */
void orw_create_pipe_cb(int (*cb_)(const char *));
/** Start `name_` with three arguments in a child. 0 in the parent, -1 on failure. */
int orw_create_process(const char *name_, const char *a1_, const char *a2_, const char *a3_);
/** mkdir with mode 0755. */
int orw_mkdir(const char *dir_);
/** Sleep `ms_` milliseconds. */
void orw_delay(int ms_);
/** Local time minus UTC, in seconds, daylight saving applied. */
int orw_gmt_time_offset(void);
/** Open for reading. */
FILE *orw_open_rd(char *name);
/** Open for writing ("-" = standard output). */
FILE *orw_open_text(char *name);
/** Close if not NULL; returns NULL. */
FILE *orw_close(FILE *file);
int orw_flush(FILE *file);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORWIN_PLATFORM_H */
