// SPDX-License-Identifier: MIT
// Platform helpers: named pipes for live viewers, child processes, time-zone
// offset and the stdio helpers.
#include "Orwin_Platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string default_pipe_name()
{
    return "/tmp/wireshark_" + std::to_string(getpid());
}

// Opens the FIFO for reading as soon as it exists; -1 after ~5 s.
int open_reader(const std::string &path)
{
    for (int i = 0; i < 5000; ++i) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
            int fd = open(path.c_str(), O_RDONLY);
            if (fd >= 0)
                return fd;
        }
        usleep(1000);
    }
    return -1;
}

} // namespace

TEST(Platform, PipeWithDefaultNameIsUnlinkedOnceReaderOpens)
{
    const std::string path = default_pipe_name();
    int reader_fd = -1;
    std::thread reader([&] { reader_fd = open_reader(path); });
    ORW_PIPE_DATA *pipe = orw_open_pipe(nullptr);
    reader.join();
    ASSERT_NE(pipe, nullptr);
    ASSERT_GE(reader_fd, 0);
    EXPECT_STREQ(pipe->filename, path.c_str());
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0) << "the name goes once the reader is there";

    const char msg[] = "capture bytes";
    EXPECT_EQ(orw_write_pipe(msg, sizeof msg, pipe), 1);
    char got[sizeof msg] = {};
    EXPECT_EQ(read(reader_fd, got, sizeof got), static_cast<ssize_t>(sizeof msg));
    EXPECT_STREQ(got, msg);

    // A viewer that went away fails the write; the process carries on.
    close(reader_fd);
    EXPECT_EQ(orw_write_pipe(msg, sizeof msg, pipe), 0);
    EXPECT_EQ(orw_close_pipe(pipe), nullptr);
}

TEST(Platform, PipeCallbackCanRefuse)
{
    static std::string seen;
    orw_create_pipe_cb([](const char *p) {
        seen = p;
        return 1;
    });
    char name[] = "/tmp/orwin-refused-pipe";
    EXPECT_EQ(orw_open_pipe(name), nullptr);
    orw_create_pipe_cb(nullptr);
    EXPECT_EQ(seen, name);
    struct stat st;
    EXPECT_NE(stat(name, &st), 0) << "a refused FIFO is removed";
}

// Closing a pipe never removes a newer FIFO that took the same name.
TEST(Platform, ClosingAPipeLeavesANewerNamesake)
{
    const std::string path = "/tmp/orwin-namesake-" + std::to_string(getpid());
    int reader_fd = -1;
    std::thread reader([&] { reader_fd = open_reader(path); });
    ORW_PIPE_DATA *pipe = orw_open_pipe(path.c_str());
    reader.join();
    ASSERT_NE(pipe, nullptr);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    orw_close_pipe(pipe);
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    unlink(path.c_str());
    close(reader_fd);
}

TEST(Platform, ChildProcessRunsOrEndsButNeverContinuesAsCopy)
{
    char marker[] = "/tmp/orwin-child-XXXXXX";
    int fd = mkstemp(marker);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(marker);
    const std::string script = std::string("echo started > ") + marker;
    ASSERT_EQ(orw_create_process("sh", "-c", script.c_str(), nullptr), 0);
    struct stat st;
    for (int i = 0; i < 500 && stat(marker, &st) != 0; ++i)
        usleep(10000);
    EXPECT_EQ(stat(marker, &st), 0) << "the program ran";
    unlink(marker);

    // Whoever returns from the call reports its pid; only the caller may.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t me = getpid();
    int rc = orw_create_process("/nonexistent/viewer", "a", "b", "c");
    pid_t who = getpid();
    ASSERT_EQ(write(fds[1], &who, sizeof who), static_cast<ssize_t>(sizeof who));
    if (who != me)
        _exit(0);
    EXPECT_EQ(rc, 0);
    usleep(200000);
    close(fds[1]);
    pid_t seen;
    int reports = 0;
    while (read(fds[0], &seen, sizeof seen) == static_cast<ssize_t>(sizeof seen)) {
        EXPECT_EQ(seen, me);
        ++reports;
    }
    close(fds[0]);
    EXPECT_EQ(reports, 1);
}

TEST(Platform, TimeZoneOffset)
{
    const char *old = getenv("TZ");
    const std::string saved = old ? old : "";
    struct {
        const char *tz;
        int offset;
    } const zones[] = {{"UTC0", 0}, {"EST5", -5 * 3600}, {"IST-5:30", 5 * 3600 + 1800}};
    for (const auto &z : zones) {
        setenv("TZ", z.tz, 1);
        tzset();
        EXPECT_EQ(orw_gmt_time_offset(), z.offset) << z.tz;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Platform, FilesAndDirectories)
{
    char dir[] = "/tmp/orwin-dir-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string sub = std::string(dir) + "/sub";
    const mode_t mask = umask(022);
    EXPECT_EQ(orw_mkdir(sub.c_str()), 0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    std::string file = sub + "/text";
    FILE *f = orw_open_text(const_cast<char *>(file.c_str()));
    ASSERT_NE(f, nullptr);
    fputs("line\n", f);
    EXPECT_EQ(orw_flush(f), 0);
    EXPECT_EQ(orw_close(f), nullptr);
    f = orw_open_rd(const_cast<char *>(file.c_str()));
    ASSERT_NE(f, nullptr);
    char buf[16] = {};
    EXPECT_NE(fgets(buf, sizeof buf, f), nullptr);
    EXPECT_STREQ(buf, "line\n");
    orw_close(f);

    char dash[] = "-";
    EXPECT_EQ(orw_open_text(dash), stdout);
    orw_close(stdout);
    EXPECT_NE(fcntl(fileno(stdout), F_GETFD), -1) << "standard output stays open";

    unlink(file.c_str());
    rmdir(sub.c_str());
    rmdir(dir);
}
