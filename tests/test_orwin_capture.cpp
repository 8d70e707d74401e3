// SPDX-License-Identifier: MIT
// orwin-capture end to end against the simulator: a timed, rotated pcap
// capture whose JSON summary counts what the unit sent, a capture stopped by
// SIGINT with every file finished, progress lines on a pseudo-terminal, the
// link type from the environment, and refused arguments and units.
#include "capture_files.hpp"
#include "deadline.hpp"
#include "orwin_unitsim.hpp"
#include "pcap_reader.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct tool_run {
    pid_t pid = -1;
    int out = -1; // standard output (and error, on a terminal)
    int err = -1;
};

// Starts orwin-capture with `args`; `env` entries are added to its
// environment; `terminal` gives it a pseudo-terminal as standard output.
tool_run start_tool(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                    bool terminal = false)
{
    std::vector<char *> argv;
    std::vector<std::string> all = {ORWIN_CAPTURE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    tool_run r;
    int out[2], err[2];
    if (pipe(err) != 0)
        return r;
    if (terminal) {
        int master = -1;
        r.pid = forkpty(&master, nullptr, nullptr, nullptr);
        r.out = master;
    } else {
        if (pipe(out) != 0)
            return r;
        r.pid = fork();
        if (r.pid == 0)
            dup2(out[1], 1);
        else {
            close(out[1]);
            r.out = out[0];
        }
    }
    if (r.pid == 0) {
        dup2(err[1], 2);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    r.err = err[0];
    return r;
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

struct tool_result {
    int status = -1;
    std::string out, err;
};

tool_result finish(tool_run r)
{
    tool_result res;
    // Read both sides at once: either may fill its pipe first.
    std::thread e([&] { res.err = drain(r.err); });
    res.out = drain(r.out);
    e.join();
    int st = 0;
    waitpid(r.pid, &st, 0);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return res;
}

orw::unitsim::config recorder()
{
    orw::unitsim::config cfg = orw::unitsim::recording_unit("TRC-8");
    cfg.keep_history = false;
    return cfg;
}

orw::unitsim::traffic some_traffic(size_t count)
{
    orw::unitsim::traffic t;
    t.count = count;
    t.sizes = {1, 17, 300, 1000};
    t.eep_every = 5;
    return t;
}

// The summary's per-link counts against what `t` sent.
void expect_counts(const nlohmann::json &j, const orw::unitsim::traffic &t)
{
    ASSERT_EQ(j["links"].size(), 8u);
    uint64_t total = 0;
    for (const auto &l : j["links"]) {
        const int link = l["link"].get<int>();
        uint64_t bytes = 0, eeps = 0;
        for (size_t i = 0; i < t.count; ++i) {
            bytes += orw::unitsim::traffic_size(t, link, i);
            eeps += orw::unitsim::traffic_eep(t, i);
        }
        EXPECT_EQ(l["packets"].get<uint64_t>(), t.count) << link;
        EXPECT_EQ(l["eep"].get<uint64_t>(), eeps) << link;
        EXPECT_EQ(l["bytes"].get<uint64_t>(), bytes) << link;
        total += bytes;
    }
    EXPECT_EQ(j["bytes"].get<uint64_t>(), total);
    EXPECT_EQ(j["packets"].get<uint64_t>(), 8 * t.count);
    EXPECT_EQ(j["status"], "ok");
}

} // namespace

TEST(OrwinCapture, TimedRotatedPcapCaptureCountsWhatTheUnitSent)
{
    orw::unitsim::simulator sim(recorder());
    test::scratch_dir dir;
    tool_run r =
        start_tool({"--pcap", "--rotate", "1", "--duration", "2", "--json", sim.address(), dir / "cap.pcap"},
                   {"ORW_PCAP_ID=200", "ORW_FILE_INDEX=1"});
    ASSERT_TRUE(sim.wait_for_clients(1, 10000));
    const orw::unitsim::traffic t = some_traffic(1500);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the configuration is applied first
    EXPECT_EQ(sim.generate(t), t.count);
    tool_result res = finish(r);
    ASSERT_EQ(res.status, 0) << res.err;
    nlohmann::json j = nlohmann::json::parse(res.out);
    expect_counts(j, t);
    EXPECT_GE(j["elapsed_s"].get<double>(), 2.0);
    ASSERT_GE(j["files"].size(), 2u) << res.out;
    uint64_t packet_records = 0;
    for (const auto &f : j["files"]) {
        test::pcap_contents got = test::read_pcap(f.get<std::string>());
        EXPECT_EQ(got.error, "") << f;
        EXPECT_EQ(got.linktype, 200) << f;
        for (const test::pcap_record &rec : got.records)
            packet_records += rec.type() == 1 || rec.type() == 2;
    }
    EXPECT_EQ(packet_records, 8 * t.count);
    EXPECT_EQ(dir.files().size(), j["files"].size());
}

TEST(OrwinCapture, SigintStopsWithEveryFileFinished)
{
    orw::unitsim::simulator sim(recorder());
    test::scratch_dir dir;
    tool_run r = start_tool({"--rotate", "1", "--json", sim.address(), dir / "out"});
    ASSERT_TRUE(sim.wait_for_clients(1, 10000));
    const orw::unitsim::traffic t = some_traffic(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sim.generate(t), t.count);
    ASSERT_TRUE(sim.wait_until_sent(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(r.pid, SIGINT);
    tool_result res = finish(r);
    ASSERT_EQ(res.status, 0) << res.err;
    nlohmann::json j = nlohmann::json::parse(res.out);
    expect_counts(j, t);
    EXPECT_EQ(dir.files("out").size(), j["files"].size());
    for (const std::string &f : dir.files("out"))
        EXPECT_NE(f.find(".pcap"), std::string::npos) << f; // no .tmp left
}

TEST(OrwinCapture, ALostUnitFailsTheRunAndSigtermIsBoundedWhenTheUnitStopsReading)
{
    deadline limit(std::chrono::seconds(30), "orwin-capture against a faulty unit");
    test::scratch_dir dir;
    {
        orw::unitsim::simulator sim(recorder());
        tool_run r = start_tool({"--json", sim.address(), dir / "lost.pcap"});
        ASSERT_TRUE(sim.wait_for_clients(1, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // past the start's commands
        sim.drop_connections();
        tool_result res = finish(r); // ends by itself
        EXPECT_EQ(res.status, 1) << res.err;
        const nlohmann::json j = nlohmann::json::parse(res.out);
        EXPECT_NE(j["status"], "ok");
        EXPECT_NE(res.err.find("connection to the unit lost"), std::string::npos) << res.err;
        EXPECT_NE(res.err.find("Connection closed by the unit"), std::string::npos) << res.err;
    }
    for (int sig : {SIGINT, SIGTERM}) {
        orw::unitsim::simulator sim(recorder());
        tool_run r = start_tool({"--json", sim.address(), dir / ("deaf" + std::to_string(sig) + ".pcap")});
        ASSERT_TRUE(sim.wait_for_clients(1, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sim.set_reading(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // a link-status poll blocked
        const auto begin = std::chrono::steady_clock::now();
        kill(r.pid, sig);
        tool_result res = finish(r);
        EXPECT_LT(ms_since(begin), 2500) << sig;
        EXPECT_EQ(res.status, 0) << res.err;
        sim.set_reading(true);
    }
}

TEST(OrwinCapture, ShowsProgressOnATerminalAndNothingElsewhere)
{
    orw::unitsim::simulator sim(recorder());
    test::scratch_dir dir;
    for (bool terminal : {true, false}) {
        tool_run r =
            start_tool({"--native", "--duration", "2", sim.address(), dir / "cap.trc"}, {}, terminal);
        tool_result res = finish(r);
        EXPECT_EQ(res.status, 0) << res.err;
        const size_t progress = res.out.find("MiB/s");
        if (terminal) {
            // One line drawn over itself: each redraw fits 80 columns and
            // shows all eight links up, from the first.
            std::string lines = res.out.substr(0, res.out.find('\n'));
            if (!lines.empty() && lines.back() == '\r') // the terminal's own line end
                lines.pop_back();
            ASSERT_EQ(lines.compare(0, 1, "\r"), 0) << lines;
            size_t redraws = 0;
            for (size_t at = 0; at != std::string::npos; at = lines.find('\r', at + 1), ++redraws) {
                const std::string one = lines.substr(at + 1, lines.find("\x1b[K", at) - at - 1);
                EXPECT_LT(one.size(), 80u) << one;
                EXPECT_EQ(one.substr(one.find('|')), "| 0 0 0 0 0 0 0 0") << one;
                EXPECT_NE(one.find("MiB/s   1 files"), std::string::npos) << one;
            }
            EXPECT_GE(redraws, 2u);
        } else {
            EXPECT_EQ(progress, std::string::npos) << res.out;
        }
        EXPECT_NE(res.out.find("finished files:"), std::string::npos) << res.out;
        EXPECT_NE(res.out.find(dir / "cap.trc"), std::string::npos) << res.out;
    }
}

// A native recording to standard output is the recording alone, the
// summary going to standard error; a directory is never removed; a silent
// unit is given up after --connect-timeout, and SIGINT stops the tool while
// it connects.
TEST(OrwinCapture, CleanOutputsAndPromptStops)
{
    orw::unitsim::simulator sim(recorder());
    test::scratch_dir dir;
    tool_run r = start_tool({"--native", "--duration", "1", sim.address(), "-"});
    ASSERT_TRUE(sim.wait_for_clients(1, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sim.stream(3, 100, 10);
    tool_result res = finish(r);
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_NE(res.err.find("finished files:"), std::string::npos) << res.err;
    EXPECT_EQ(res.out.find("finished"), std::string::npos);
    // What standard output carried replays as the packets the unit sent.
    {
        std::ofstream(dir / "replay.trc", std::ios::binary) << res.out;
        std::string name = dir / "replay.trc";
        Orwin replay = Orwin_open_file(&name[0]);
        ASSERT_NE(replay, nullptr) << Orwin_get_error_text();
        std::vector<unsigned char> buf(4096);
        size_t packets = 0;
        for (int i = 0; i < 1000; ++i) {
            uint32_t type = 0;
            ssize_t n = Orwin_read_packet_full(replay, buf.data(), buf.size(), &type, 0);
            if (n <= 0 && type == 0)
                break;
            packets += n == 100 && buf[99] == 99;
        }
        Orwin_close(replay);
        EXPECT_EQ(packets, 10u);
    }

    const std::string kept = dir / "kept";
    ASSERT_EQ(mkdir(kept.c_str(), 0700), 0);
    const struct {
        std::vector<std::string> args;
        std::string first_line;
    } refused[] = {
        {{"--pcap", "--native", sim.address(), dir / "x"}, "orwin-capture: --pcap and --native together"},
        {{"-r", "1", sim.address(), "-"}, "orwin-capture: standard output cannot be rotated"},
        {{sim.address(), kept}, "orwin-capture: TARGET " + kept + " is a directory; name a file in it"},
        {{"127.0.0.1:1@192.0.2.77", dir / "x"}, "orwin-capture: unusable bind address '192.0.2.77'"},
        {{"--rotate=08", "--duration", "0x", sim.address(), dir / "x"},
         "orwin-capture: --duration needs a whole number, not '0x'"},
    };
    for (const auto &k : refused) {
        res = finish(start_tool(k.args));
        EXPECT_EQ(res.status, 2);
        EXPECT_EQ(res.err.substr(0, res.err.find('\n')), k.first_line);
    }
    struct stat st;
    EXPECT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    sim.set_silent(true);
    auto start = std::chrono::steady_clock::now();
    res = finish(start_tool({"--connect-timeout", "300", sim.address(), dir / "y.pcap"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.err, "orwin-capture: " + sim.address() + ": no answer within 300 ms\n");
    res = finish(start_tool({"--json", "--connect-timeout=300", sim.address(), dir / "y.pcap"}));
    EXPECT_EQ(res.status, 1);
    const nlohmann::json failed = nlohmann::json::parse(res.out);
    EXPECT_EQ(failed["outcome"], "failed");
    EXPECT_EQ(failed["text"], sim.address() + ": no answer within 300 ms");
    r = start_tool({sim.address(), dir / "z.pcap"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    start = std::chrono::steady_clock::now();
    kill(r.pid, SIGINT);
    res = finish(r);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(res.status, 130);
    EXPECT_EQ(res.err, "orwin-capture: " + sim.address() + ": interrupted\n");
}

TEST(OrwinCapture, RefusesBadArgumentsAndUnitsInOneLine)
{
    orw::unitsim::simulator plain; // not a recording unit
    test::scratch_dir dir;
    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{}, 2, "UNIT and TARGET"},
        {{"unit-only"}, 2, "UNIT and TARGET"},
        {{"--rotate", "x", "u", "t"}, 2, "--rotate needs a whole number"},
        {{"--duration"}, 2, "--duration needs a value"},
        {{"--bogus", "u", "t"}, 2, "unknown option --bogus"},
        {{"127.0.0.1:1", dir / "x.pcap"}, 1, "127.0.0.1:1"},
        {{plain.address(), dir / "x.pcap"}, 1, "Device is not TRC/VGL"},
        {{"--config", dir / "none.json", "-" + dir / "rec", dir / "x.pcap"}, 1, "orwin-capture:"},
    };
    for (const auto &k : cases) {
        tool_result res = finish(start_tool(k.args));
        EXPECT_EQ(res.status, k.status) << k.message;
        EXPECT_NE(res.err.find(k.message), std::string::npos) << res.err;
        EXPECT_EQ(res.err.compare(0, 14, "orwin-capture:"), 0) << res.err;
        // One line, followed by the usage for bad arguments.
        const size_t lines = static_cast<size_t>(std::count(res.err.begin(), res.err.end(), '\n'));
        if (k.status == 2) {
            EXPECT_EQ(res.err.find("usage: orwin-capture"), res.err.find('\n') + 1) << res.err;
        } else {
            EXPECT_EQ(lines, 1u) << res.err;
        }
    }
    EXPECT_EQ(dir.files().size(), 0u);
}

TEST(OrwinCapture, WarnsOfSkippedSettingsAndIgnoresALinkTypeBeyondSixteenBits)
{
    orw::unitsim::simulator sim(recorder());
    test::scratch_dir dir;
    const std::string conf = dir / "conf.json";
    const std::string text = R"({"timetags": [{"port": 1, "setting": ["TT_report_EOP", "TT_report_eop"]}]})";
    test::write_file(conf, std::vector<uint8_t>(text.begin(), text.end()));
    for (const std::string id : {"70000", "200x"}) {
        const std::string target = dir / ("cap" + id + ".pcap");
        tool_result res =
            finish(start_tool({"--pcap", "--config", conf, "--duration", "1", sim.address(), target},
                              {"ORW_PCAP_ID=" + id, "ORW_PCAP_DEBUG_FILE=-", "ORW_PCAP_DEBUG_LEVEL=1"}));
        ASSERT_EQ(res.status, 0) << res.err;
        EXPECT_NE(res.err.find("orwin-capture: warning: " + conf + ": unknown option 'TT_report_eop'"),
                  std::string::npos)
            << res.err;
        EXPECT_NE(res.err.find("ORW_PCAP_ID '" + id + "'"), std::string::npos) << res.err;
        EXPECT_EQ(test::read_pcap(target).linktype, 147) << id;
    }
}
