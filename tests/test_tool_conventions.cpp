// SPDX-License-Identifier: MIT
// Every command-line tool: --help on standard output with status 0,
// --version, and status 2 with the usage on standard error for bad
// arguments.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct outcome {
    int status;
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

outcome run(const std::string &tool, const std::string &args)
{
    char dir[] = "/tmp/orwin-tool-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return {-1, "", ""};
    const std::string out = std::string(dir) + "/out", err = std::string(dir) + "/err";
    const int status = std::system((tool + " " + args + " >" + out + " 2>" + err + " </dev/null").c_str());
    outcome o{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    unlink(out.c_str());
    unlink(err.c_str());
    rmdir(dir);
    return o;
}

const char *const tools[] = {
    ORWIN_INFO_PATH,
    ORWIN_UNITSIM_PATH,
#ifdef ORWIN_RMAP_PATH
    ORWIN_RMAP_PATH,
#endif
#ifdef ORWIN_CAPTURE_PATH
    ORWIN_CAPTURE_PATH,
#endif
};

} // namespace

TEST(ToolConventions, HelpVersionAndBadArguments)
{
    struct call {
        const char *args;
        int status;
        bool usage_on_stdout, usage_on_stderr;
    } const calls[] = {
        {"--help", 0, true, false},
        {"--no-such-option", 2, false, true},
        {"--no-such-option 127.0.0.1", 2, false, true},
    };
    for (const char *tool : tools) {
        for (const call &c : calls) {
            SCOPED_TRACE(std::string(tool) + " " + c.args);
            const outcome o = run(tool, c.args);
            EXPECT_EQ(o.status, c.status);
            EXPECT_EQ(o.out.find("usage:") != std::string::npos, c.usage_on_stdout) << o.out;
            EXPECT_EQ(o.err.find("usage:") != std::string::npos, c.usage_on_stderr) << o.err;
            if (c.status == 0) {
                EXPECT_TRUE(o.err.empty()) << o.err;
                EXPECT_NE(o.out.find("--version"), std::string::npos) << "--help names every option";
            }
        }
        const outcome v = run(tool, "--version");
        EXPECT_EQ(v.status, 0) << tool;
        EXPECT_NE(v.out.find("35.21"), std::string::npos) << tool << ": " << v.out;
    }
}
