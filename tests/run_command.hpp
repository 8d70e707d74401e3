// SPDX-License-Identifier: MIT
// Runs a command line through the shell and keeps its exit status and its
// standard output and error together, for end-to-end tests of the tools;
// run_split keeps standard error apart.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct run_result {
    int status; // exit status; -1 when it did not exit normally
    std::string out;
    std::string err; // run_split only
};

// `shell_line` through the shell, its standard output read.
inline run_result run_shell(const std::string &shell_line)
{
    FILE *pipe = popen(shell_line.c_str(), "r");
    run_result result{-1, "", ""};
    if (pipe == nullptr)
        return result;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.out.append(chunk, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline run_result run_command(const std::string &command)
{
    return run_shell(command + " 2>&1");
}

inline run_result run_split(const std::string &command)
{
    char name[] = "/tmp/orwin_run_err_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return {-1, "", ""};
    close(fd);
    run_result result = run_shell(command + " 2>" + name);
    if (FILE *f = std::fopen(name, "r")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            result.err.append(chunk, n);
        std::fclose(f);
    }
    unlink(name);
    return result;
}
