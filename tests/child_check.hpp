// SPDX-License-Identifier: MIT
// Runs a check in a forked child, for checks that change process-wide limits
// (a file-size limit, say) or may hang: the child has 30 s, then SIGALRM.
#ifndef ORWIN_TESTS_CHILD_CHECK_HPP
#define ORWIN_TESTS_CHILD_CHECK_HPP

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace test {

/** Runs `check` (0 = passed, else the number of the check that failed) in a child. */
template <class Check> void expect_child_passes(Check check)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(30);
        _exit(check());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "check that failed in the child";
}

} // namespace test

#endif // ORWIN_TESTS_CHILD_CHECK_HPP
