// Runs a command line through the shell and keeps its exit status and its
// standard output and error together, for end-to-end tests of the tools.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

struct run_result {
    int status; // exit status; -1 when it did not exit normally
    std::string out;
};

inline run_result run_command(const std::string &command)
{
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    run_result result{-1, ""};
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
