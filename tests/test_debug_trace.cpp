// SPDX-License-Identifier: MIT
// Trace channels of the object layers: set-up from the environment, level
// masks, the line format, and whole lines under concurrent writers.
#include "Orwin.h"
#include "Orwin_Trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Sets (or, with null, removes) an environment variable for one test.
class scoped_env {
  public:
    scoped_env(const char *name, const char *value) : name(name)
    {
        const char *old = std::getenv(name);
        had = old != nullptr;
        if (had)
            previous = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~scoped_env()
    {
        if (had)
            setenv(name.c_str(), previous.c_str(), 1);
        else
            unsetenv(name.c_str());
    }

  private:
    std::string name;
    std::string previous;
    bool had = false;
};

std::string temp_path()
{
    char name[] = "/tmp/orwin_trace_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    return name;
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Redirects standard error to a file while alive.
class stderr_capture {
  public:
    stderr_capture() : path(temp_path())
    {
        fflush(stderr);
        saved = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        dup2(fd, 2);
        close(fd);
    }
    std::vector<std::string> finish()
    {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        saved = -1;
        return lines_of(path);
    }
    ~stderr_capture()
    {
        if (saved >= 0)
            finish();
        unlink(path.c_str());
    }

  private:
    std::string path;
    int saved = -1;
};

// Emits one statement per level bit; the message names the bit.
void emit_all_bits(const orw::debug &channel)
{
    ORW_TRACE(channel, 1, nullptr, "bit %d", 1);
    ORW_TRACE(channel, 2, nullptr, "bit %d", 2);
    ORW_TRACE(channel, 4, nullptr, "bit %d", 4);
    ORW_TRACE(channel, 8, nullptr, "bit %d", 8);
}

std::string message_of(const std::string &line)
{
    // tid:function:line:object:message -- the message follows the 4th colon.
    size_t pos = 0;
    for (int i = 0; i < 4 && pos != std::string::npos; ++i)
        pos = line.find(':', pos) + 1;
    return pos == std::string::npos ? std::string() : line.substr(pos);
}

TEST(DebugTrace, ChannelNeedsBothFileAndLevel)
{
    {
        scoped_env file("ORW_TSTA_DEBUG_FILE", nullptr);
        scoped_env level("ORW_TSTA_DEBUG_LEVEL", "15");
        orw::debug channel;
        channel.init("TSTA");
        EXPECT_EQ(channel.level, 0);
    }
    {
        scoped_env file("ORW_TSTA_DEBUG_FILE", "-");
        scoped_env level("ORW_TSTA_DEBUG_LEVEL", nullptr);
        orw::debug channel;
        channel.init("TSTA");
        EXPECT_EQ(channel.level, 0);
    }
    scoped_env file("ORW_TSTA_DEBUG_FILE", "-");
    scoped_env level("ORW_TSTA_DEBUG_LEVEL", "15");
    EXPECT_STREQ(orw::debug::envv("TSTA", "LEVEL"), "15");
    EXPECT_EQ(orw::debug::envv("TSTA", "NOPE"), nullptr);
}

TEST(DebugTrace, LevelMasksSelectExactlyTheirStatements)
{
    struct row {
        const char *level;
        std::vector<std::string> expected;
    };
    const row rows[] = {
        {"15", {"bit 1", "bit 2", "bit 4", "bit 8"}},
        {"1", {"bit 1"}},
        {"6", {"bit 2", "bit 4"}},
        {"8", {"bit 8"}},
        {"0", {}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.level);
        scoped_env file("ORW_TSTB_DEBUG_FILE", "-");
        scoped_env level("ORW_TSTB_DEBUG_LEVEL", r.level);
        orw::debug channel;
        channel.init("TSTB");
        EXPECT_EQ(channel.file, 2);
        stderr_capture capture;
        emit_all_bits(channel);
        std::vector<std::string> messages;
        for (const std::string &line : capture.finish())
            messages.push_back(message_of(line));
        EXPECT_EQ(messages, r.expected);
    }
}

TEST(DebugTrace, LineFormatAppendAndErrno)
{
    std::string path = temp_path();
    {
        std::ofstream existing(path);
        existing << "kept\n";
    }
    scoped_env file("ORW_TSTC_DEBUG_FILE", path.c_str());
    scoped_env level("ORW_TSTC_DEBUG_LEVEL", "2");
    orw::debug channel;
    channel.init("TSTC");
    ASSERT_GE(channel.file, 0);

    int object = 0;
    errno = EAGAIN;
    ORW_TRACE(channel, 2, &object, "value %d", 42);
    int line = __LINE__ - 1;
    EXPECT_EQ(errno, EAGAIN);

    // A statement whose bit is off must not evaluate its arguments.
    int evaluated = 0;
    ORW_TRACE(channel, 8, nullptr, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);

    std::vector<std::string> lines = lines_of(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "kept");
    std::ostringstream expected;
    char object_text[32];
    std::snprintf(object_text, sizeof object_text, "%p", static_cast<void *>(&object));
    expected << Orwin_gettid() << ":TestBody:" << line << ":" << object_text << ":value 42";
    EXPECT_EQ(lines[1], expected.str());

    // A channel whose file could not be opened drops lines quietly.
    orw::debug broken;
    broken.level = 15;
    errno = EINTR;
    ORW_TRACE(broken, 1, nullptr, "lost");
    EXPECT_EQ(errno, EINTR);
    unlink(path.c_str());
}

TEST(DebugTrace, LongMessageTruncatedToOneLine)
{
    std::string path = temp_path();
    scoped_env file("ORW_TSTD_DEBUG_FILE", path.c_str());
    scoped_env level("ORW_TSTD_DEBUG_LEVEL", "1");
    orw::debug channel;
    channel.init("TSTD");
    std::string huge(20000, 'y');
    ORW_TRACE(channel, 1, nullptr, "%s", huge.c_str());
    ORW_TRACE(channel, 1, nullptr, "after");
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t first_end = all.find('\n');
    EXPECT_EQ(first_end, 8191u);
    EXPECT_EQ(message_of(all.substr(first_end + 1)), "after\n");
    unlink(path.c_str());
}

TEST(DebugTrace, LinesFromManyThreadsNeverInterleave)
{
    std::string path = temp_path();
    scoped_env file("ORW_TSTE_DEBUG_FILE", path.c_str());
    scoped_env level("ORW_TSTE_DEBUG_LEVEL", "8");
    orw::debug channel;
    channel.init("TSTE");

    constexpr int threads = 8;
    constexpr int per_thread = 300;
    const std::string filler(1500, 'w');
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i)
                ORW_TRACE(channel, 8, nullptr, "T%d:%d:%s:end", t, i, filler.c_str());
        });
    for (std::thread &w : writers)
        w.join();

    std::vector<std::string> lines = lines_of(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
    std::vector<int> next(threads, 0);
    for (const std::string &line : lines) {
        std::string message = message_of(line);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(message.c_str(), "T%d:%d:", &t, &i), 2) << line.substr(0, 80);
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread out of order";
        std::string tail = ":" + filler + ":end";
        ASSERT_GE(message.size(), tail.size());
        EXPECT_EQ(message.compare(message.size() - tail.size(), tail.size(), tail), 0);
    }
    unlink(path.c_str());
}

// The library's own channels are set up when it is loaded: run a child
// process with the environment in place and check them there.
TEST(DebugTraceAtLoad, ChildSeesConfiguredChannel)
{
    if (!std::getenv("ORWIN_TRACE_LOAD_CHILD"))
        GTEST_SKIP() << "runs in a child process";
    EXPECT_EQ(orw::tracing::SPW::debug.level, 6);
    EXPECT_EQ(orw::tracing::SPW::debug.file, 2);
    EXPECT_EQ(orw::tracing::WFM::debug.level, 0);
    EXPECT_EQ(orw::tracing::PCAP::debug.level, 0);
    EXPECT_EQ(orw::tracing::TRCAPI::debug.level, 0);
}

TEST(DebugTraceAtLoad, ChannelsReadTheEnvironmentAtLoad)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("ORWIN_TRACE_LOAD_CHILD", "1", 1);
        setenv("ORW_SPW_DEBUG_FILE", "-", 1);
        setenv("ORW_SPW_DEBUG_LEVEL", "6", 1);
        unsetenv("ORW_WFM_DEBUG_FILE");
        unsetenv("ORW_PCAP_DEBUG_LEVEL");
        unsetenv("ORW_TRCAPI_DEBUG_LEVEL");
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        execl("/proc/self/exe", "orwin_tests", "--gtest_filter=DebugTraceAtLoad.ChildSeesConfiguredChannel",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
