// SPDX-License-Identifier: MIT
// Standard output for what the user asked for only: the tool writes its
// results to the stream returned, and anything else the process prints
// through descriptor 1 goes to standard error instead.
#ifndef ORWIN_TOOLS_OWN_STDOUT_HPP
#define ORWIN_TOOLS_OWN_STDOUT_HPP

#include <cstdio>
#include <unistd.h>

namespace tool {

inline FILE *own_stdout()
{
    std::fflush(stdout);
    const int fd = dup(1);
    FILE *own = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (own == nullptr)
        return stdout;
    dup2(2, 1);
    return own;
}

} // namespace tool

#endif // ORWIN_TOOLS_OWN_STDOUT_HPP
