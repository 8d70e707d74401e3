// SPDX-License-Identifier: MIT
// orwin-rmap end to end against the simulator's RMAP target node.
#include "orwin_unitsim.hpp"
#include "run_command.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Every run is killed after 10 s, so that a hang fails instead of hanging.
const std::string rmap_tool = std::string("timeout -k 1 10 ") + ORWIN_RMAP_PATH + " ";

run_result run_rmap(const std::string &args)
{
    return run_command(rmap_tool + args);
}
run_result rmap_split(const std::string &args)
{
    return run_split(rmap_tool + args);
}

orw::unitsim::config unit_with_nodes()
{
    orw::unitsim::config cfg;
    cfg.links = 4;
    orw::unitsim::rmap_target_config node;
    node.base_address = 0x1000;
    node.memory_size = 256;
    cfg.rmap_targets[1] = node;
    cfg.rmap_targets[3] = node;
    return cfg;
}

std::string temp_file(const std::string &content)
{
    char name[] = "/tmp/orwin_rmap_tool_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
    }
    return name;
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

// Numbers are decimal or 0x hex whatever option or word they are in, and
// options take every conventional form.
TEST(OrwinRmap, ReadWriteAndReadModifyWrite)
{
    orw::unitsim::simulator sim(unit_with_nodes());
    std::string unit = sim.address();
    const std::string file = temp_file("ABCD");
    struct row {
        std::string args;
        std::string out;
    } rows[] = {
        {"--key 0x20 " + unit + " write 0x1000 '01 23 45:67'", "written\n"},
        {"--key=32 " + unit + " read 4096 5",
         "00001000  01 23 45 67 00                                   |.#Eg.|\n"},
        {"-k 0x20 " + unit + " write 0x1010 @" + file, "written\n"},
        {"-k0x20 --no-reply " + unit + " write 0x1020 ff", ""},
        {"-k 32 --path 5 --return-path 1,2 " + unit + " rmw 0x1010 6162 0f0f",
         "00001010  41 42                                            |AB|\n"},
        // A leading zero is decimal: 04196 is 0x1064, never octal.
        {"--key 032 --link=01 " + unit + " write 04196 5a", "written\n"},
    };
    for (const row &r : rows) {
        run_result res = rmap_split(r.args);
        EXPECT_EQ(res.status, 0) << r.args << "\n" << res.err;
        EXPECT_EQ(res.out, r.out) << r.args;
        EXPECT_EQ(res.err, "") << r.args;
    }
    unlink(file.c_str());
    EXPECT_EQ(sim.rmap_memory(1, 0x1010, 4), (std::vector<uint8_t>{0x41, 0x42, 'C', 'D'}));
    EXPECT_EQ(sim.rmap_memory(1, 0x1064, 1)[0], 0x5A);
    for (int i = 0; i < 100 && sim.rmap_memory(1, 0x1020, 1)[0] != 0xFF; ++i)
        usleep(10000);
    EXPECT_EQ(sim.rmap_memory(1, 0x1020, 1)[0], 0xFF);

    run_result json = rmap_split("-jk 0x20 --link 3 " + unit + " read 0x1000 2");
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["data"], "0000");
    EXPECT_EQ(j["operation"], "read");
    EXPECT_EQ(j["outcome"], "ok");
}

// Every failure names itself in one line and a non-zero status; --json
// gives one JSON document on standard output for failures too; bad
// arguments send nothing at all.
TEST(OrwinRmap, FailuresAreNamed)
{
    orw::unitsim::config cfg = unit_with_nodes();
    cfg.rmap_targets[4] = cfg.rmap_targets[1];
    cfg.rmap_targets[4].damage_replies = true;
    orw::unitsim::simulator sim(cfg);
    sim.set_rmap_drop_replies(3, true);
    std::string unit = sim.address();
    uint16_t gone_port = 0;
    {
        orw::unitsim::simulator gone(orw::unitsim::config{});
        gone_port = gone.port();
    }
    const std::string gone = "127.0.0.1:" + std::to_string(gone_port);
    struct row {
        std::string args;
        int status;
        std::string err;
        int code; // of the JSON outcome
    } rows[] = {
        {unit + " read 0x1000 4", 1, "orwin-rmap: reply status 3: invalid key\n", 3},
        {"--key 0x20 " + unit + " read 0x2000 4", 1,
         "orwin-rmap: reply status 10: RMAP command not implemented or not authorised\n", 10},
        {"--key 0x20 --link 3 --timeout 50 " + unit + " read 0x1000 4", 1,
         "orwin-rmap: no reply within 50 ms\n", -10},
        {"--link 2 " + unit + " read 0 4", 1, "orwin-rmap: " + unit + ": link 2 is not connected\n", -1},
        {"--link 9 " + unit + " read 0 4", 1, "orwin-rmap: " + unit + ": the unit has no link 9 (it has 4)\n",
         -1},
        {"--key 0x20 --link 4 --timeout 5000 " + unit + " read 0x1000 4", 1,
         "orwin-rmap: reply damaged (CRC error)\n", -23},
        {"--key 0x20 " + unit + " write 0x1000 @/nonexistent", 1,
         "orwin-rmap: " + unit + ": /nonexistent: No such file or directory\n", -1},
        {gone + " read 0 4", 1, "orwin-rmap: " + gone + ": Connection not made: Connection refused\n", -32},
    };
    for (const row &r : rows) {
        run_result res = rmap_split(r.args);
        EXPECT_EQ(res.status, r.status) << r.args;
        EXPECT_EQ(res.err, r.err) << r.args;
        EXPECT_EQ(res.out, "") << r.args;
        run_result json = rmap_split("--json " + r.args);
        EXPECT_EQ(json.status, r.status) << r.args;
        EXPECT_EQ(json.err, "") << r.args;
        nlohmann::json j;
        ASSERT_NO_THROW(j = nlohmann::json::parse(json.out)) << r.args << ": " << json.out;
        EXPECT_EQ(j["outcome"], "failed") << r.args;
        EXPECT_EQ(j["code"], r.code) << r.args;
        EXPECT_EQ("orwin-rmap: " + j["text"].get<std::string>() + "\n", r.err) << r.args;
    }

    const size_t sent_before = sim.received_bytes().size();
    const std::string script = temp_file("read 0x1000 4\nwrite 0x1000 00\nexpect 0x1000\n");
    const struct {
        std::string args, first_line;
    } bad[] = {
        {unit + " read 0x1000", "read takes 2 arguments after HOST"},
        {unit + " poke 0 1", "unknown operation 'poke' (read, write, rmw, wait or expect)"},
        {unit + " write 0 abc", "bad data: odd number of hex digits"},
        {unit + " rmw 0 0102 01", "rmw needs as many mask bytes as data bytes, at most 4"},
        {unit + " rmw 0 0102030405 0102030405", "rmw needs as many mask bytes as data bytes, at most 4"},
        {unit + " read 0 0x1000000", "bad size '0x1000000'"},
        {unit + " read 08x 4", "bad address '08x'"},
        {"--path 32 " + unit + " read 0 4", "bad path byte '32'"},
        {"--frobnicate " + unit + " read 0 4", "unknown option --frobnicate"},
        {"--dest 0x1f " + unit + " read 0 4", "bad logical address '0x1f' (0x20..0xFF)"},
        {"--return-path 1,2,3,4,5,6,7,8,9,10,11,12,13 " + unit + " read 0 4",
         "return path of more than 12 bytes"},
        {"--link 0 " + unit + " read 0 4", "bad link '0' (links count from 1)"},
        {"--speed 0 " + unit + " read 0 4", "bad speed '0' (1..400 Mbit/s)"},
        {unit + "@192.0.2.77 read 0 4", "unusable bind address '192.0.2.77'"},
        {"--timeout " + unit + " read 0 4", "bad time-out '" + unit + "'"},
        {"--script " + script + " " + unit, script + ":3: expect needs an address and data"},
        {"--script /nonexistent " + unit, "cannot read script /nonexistent"},
    };
    for (const auto &b : bad) {
        run_result res = rmap_split(b.args);
        EXPECT_EQ(res.status, 2) << b.args;
        EXPECT_EQ(res.out, "") << b.args;
        EXPECT_EQ(res.err.substr(0, res.err.find('\n')), "orwin-rmap: " + b.first_line) << b.args;
        EXPECT_EQ(res.err.find("\nusage: orwin-rmap"), res.err.find('\n')) << b.args;
    }
    unlink(script.c_str());
    EXPECT_EQ(sim.received_bytes().size(), sent_before) << "bad arguments sent something";
}

// The unit is left as found: no link disabled at exit, no speed set unless
// asked and then on the chosen link, no mode set unless asked.
// And no reply comes from the library's own demonstration target through a
// loopback cable.
TEST(OrwinRmap, LeavesTheUnitAsFoundAndNeverAnswersItself)
{
    orw::unitsim::simulator sim(unit_with_nodes());
    const std::string unit = sim.address();
    ASSERT_EQ(run_rmap("-k 0x20 " + unit + " read 0x1000 1").status, 0);
    for (int l = 1; l <= 4; ++l) {
        EXPECT_EQ(sim.link_mode(l), 0) << "link " << l;
        EXPECT_EQ(sim.link_speed_code(l), 0) << "link " << l;
    }
    ASSERT_EQ(run_rmap("-k 0x20 --link 3 --speed 50 " + unit + " read 0x1000 1").status, 0);
    EXPECT_EQ(sim.link_speed_code(1), 0);
    EXPECT_NE(sim.link_speed_code(3), 0);
    ASSERT_EQ(run_rmap("--link 2 " + unit + " read 0 1").status, 1); // link 2 is not running
    for (int l = 1; l <= 4; ++l)
        EXPECT_EQ(sim.link_mode(l), 0) << "link " << l;
    ASSERT_EQ(run_rmap("--enable --link 2 " + unit + " read 0 1").status, 1);
    EXPECT_EQ(sim.link_mode(2), 2) << "enabled on request";

    orw::unitsim::config looped;
    looped.links = 4;
    looped.wiring = {{1, 2}, {2, 1}};
    orw::unitsim::simulator loop(looped);
    for (const char *options : {"", "--json "}) {
        run_result res = rmap_split(std::string(options) + "--timeout 200 " + loop.address() + " read 0 4");
        EXPECT_EQ(res.status, 1) << res.out << res.err;
        if (*options == '\0') {
            EXPECT_EQ(res.out, "");
            EXPECT_EQ(res.err, "orwin-rmap: no reply within 200 ms\n");
        } else {
            EXPECT_EQ(nlohmann::json::parse(res.out)["text"], "no reply within 200 ms");
        }
    }
}

// A finished command returns at once; a silent unit is given up after
// --connect-timeout; SIGINT stops the tool within a second at any point.
TEST(OrwinRmap, StopsPromptly)
{
    orw::unitsim::simulator sim(unit_with_nodes());
    const std::string unit = sim.address();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(run_rmap("-k 0x20 " + unit + " write 0x1000 01").status, 0);
    EXPECT_LT(seconds_since(start), 1.2) << "five writes wait for nothing";

    sim.set_silent(true);
    start = std::chrono::steady_clock::now();
    run_result slow = rmap_split("--connect-timeout 300 " + unit + " read 0x1000 1");
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_EQ(slow.status, 1);
    EXPECT_EQ(slow.err, "orwin-rmap: " + unit + ": no answer within 300 ms\n");

    start = std::chrono::steady_clock::now();
    run_result stopped = run_split("timeout --preserve-status -s INT 0.3 " + rmap_tool +
                                   "--connect-timeout 60000 " + unit + " read 0 1");
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_EQ(stopped.status, 130);
    EXPECT_EQ(stopped.err, "orwin-rmap: " + unit + ": interrupted\n");

    sim.set_silent(false);
    const std::string script = temp_file("read 0x1000 1\nwait 60000\nread 0x1000 1\n");
    start = std::chrono::steady_clock::now();
    stopped = run_split("timeout --preserve-status -s INT 0.5 " + rmap_tool + "-k 0x20 --script " + script +
                        " " + unit);
    EXPECT_LT(seconds_since(start), 1.7);
    EXPECT_EQ(stopped.status, 130);
    EXPECT_EQ(stopped.out, "00001000  01                                               |.|\n");
    unlink(script.c_str());
}

// The example script: writes, reads and an expect that passes over one
// connection, then an expect that fails and stops the script, or not with
// --keep-going; --json gives one object per command; "-" reads standard input.
TEST(OrwinRmap, Scripts)
{
    orw::unitsim::config cfg;
    cfg.links = 2;
    cfg.rmap_targets[1] = orw::unitsim::rmap_target_config{};
    orw::unitsim::simulator sim(cfg);
    const std::string unit = sim.address();
    const std::string script = ORWIN_RMAP_SCRIPT_EXAMPLE;
    const std::string shown = "00000100  de ad be ef                                      |....|\n"
                              "00000100  de ad                                            |..|\n";
    const std::string failed = "orwin-rmap: " + script + ":9: expect 0x00000104: read 00, expected 01\n";

    run_result res = rmap_split("--key 0x20 --script " + script + " " + unit);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.out, "written\n" + shown);
    EXPECT_EQ(res.err, failed);
    EXPECT_EQ(sim.rmap_memory(1, 0x100, 4), (std::vector<uint8_t>{0xD0, 0xAF, 0xBE, 0xEF}));

    res = rmap_split("--key 0x20 --keep-going --script - " + unit + " < " + script);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.out,
              "written\n" + shown + "00000104  00                                               |.|\n");
    EXPECT_EQ(res.err, "orwin-rmap: -:9: expect 0x00000104: read 00, expected 01\n");

    res = rmap_split("--json --key 0x20 --script " + script + " " + unit);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.err, "");
    nlohmann::json all = nlohmann::json::parse(res.out);
    ASSERT_EQ(all.size(), 6u) << res.out;
    const char *ops[] = {"write", "read", "rmw", "wait", "expect", "expect"};
    const int lines[] = {4, 5, 6, 7, 8, 9};
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i]["operation"], ops[i]);
        EXPECT_EQ(all[i]["line"], lines[i]);
        EXPECT_EQ(all[i]["outcome"], i < 5 ? "ok" : "failed");
    }
    EXPECT_EQ(all[1]["data"], "deadbeef");
    EXPECT_EQ(all[5]["text"], "expect 0x00000104: read 00, expected 01");
    EXPECT_EQ(sim.wait_for_clients(1, 0), false) << "the tool has hung up";
}

// A speed test reports rates and latencies that hang together, with one
// operation in flight or many, in text and JSON; writes land in memory; a
// failing target ends it with the failure's words.
TEST(OrwinRmap, SpeedTest)
{
    orw::unitsim::config cfg = unit_with_nodes();
    orw::unitsim::simulator sim(cfg);
    sim.set_rmap_drop_replies(3, true);
    const std::string unit = sim.address();
    const struct {
        std::string args;
        size_t size, count;
        unsigned in_flight;
    } rows[] = {
        {"--key 0x20 --count 200 " + unit + " speedtest read 0x1000", 4, 200, 1},
        {"--key 0x20 --count 300 --in-flight 16 " + unit + " speedtest read 0x1000 64", 64, 300, 16},
        {"--key 0x20 --count=100 --in-flight=4 " + unit + " speedtest write 0x1080 32", 32, 100, 4},
        {"--key 0x20 --count 50 " + unit + " speedtest write 0x1000 16", 16, 50, 1},
    };
    for (const auto &r : rows) {
        run_result json = rmap_split("--json " + r.args);
        ASSERT_EQ(json.status, 0) << r.args << "\n" << json.err;
        nlohmann::json j = nlohmann::json::parse(json.out, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << json.out;
        EXPECT_EQ(j["outcome"], "ok");
        EXPECT_EQ(j["completed"], r.count) << r.args;
        EXPECT_EQ(j["size"], r.size);
        EXPECT_EQ(j["in_flight"], r.in_flight);
        const double ops = j["operations_per_second"], seconds = j["seconds"];
        EXPECT_NEAR(ops * seconds, static_cast<double>(r.count), 0.01 * static_cast<double>(r.count))
            << r.args;
        EXPECT_DOUBLE_EQ(j["bytes_per_second"].get<double>(), ops * static_cast<double>(r.size));
        const nlohmann::json &l = j["latency_us"];
        EXPECT_GT(l["min"].get<double>(), 0) << r.args;
        EXPECT_LE(l["min"].get<double>(), l["median"].get<double>());
        EXPECT_LE(l["median"].get<double>(), l["p99"].get<double>());
        EXPECT_LE(l["p99"].get<double>(), l["max"].get<double>());
        EXPECT_LE(l["max"].get<double>(), seconds * 1e6);

        run_result text = rmap_split(r.args);
        EXPECT_EQ(text.status, 0) << r.args << "\n" << text.err;
        EXPECT_EQ(text.err, "");
        EXPECT_NE(
            text.out.find(std::to_string(r.count) + " done, " + std::to_string(r.in_flight) + " in flight"),
            std::string::npos)
            << text.out;
        EXPECT_NE(text.out.find(" operations/s, "), std::string::npos) << text.out;
        EXPECT_NE(text.out.find("latency min "), std::string::npos) << text.out;
        EXPECT_NE(text.out.find(", 99th percentile "), std::string::npos) << text.out;
    }
    EXPECT_EQ(sim.rmap_memory(1, 0x1080, 4), (std::vector<uint8_t>{0, 1, 2, 3}));

    const struct {
        std::string args, err;
        int code;
    } failing[] = {
        {"--count 10 --in-flight 4 " + unit + " speedtest read 0x1000", "reply status 3: invalid key", 3},
        {"--key 0x20 --link 3 --timeout 50 --count 10 --in-flight 4 " + unit + " speedtest read 0x1000",
         "no reply within 50 ms", -10},
        {"--key 0x20 --link 3 --timeout 50 --count 10 " + unit + " speedtest write 0x1000",
         "no reply within 50 ms", -10},
    };
    for (const auto &f : failing) {
        run_result res = rmap_split("--json " + f.args);
        EXPECT_EQ(res.status, 1) << f.args;
        nlohmann::json j = nlohmann::json::parse(res.out, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << res.out;
        EXPECT_EQ(j["outcome"], "failed") << f.args;
        EXPECT_EQ(j["text"], f.err) << f.args;
        EXPECT_EQ(j["code"], f.code) << f.args;
        EXPECT_EQ(j["completed"], 0) << f.args;
        run_result text = rmap_split(f.args);
        EXPECT_EQ(text.status, 1);
        EXPECT_EQ(text.err, "orwin-rmap: speedtest: " + f.err + " after 0 operations\n") << f.args;
    }

    const std::string bad[][2] = {
        {unit + " speedtest poke 0", "speedtest takes read|write ADDRESS [SIZE]"},
        {unit + " speedtest read 0 0", "bad size '0'"},
        {"--in-flight 0 " + unit + " speedtest read 0", "bad in-flight '0' (1..1024)"},
        {"--count 0 " + unit + " speedtest read 0", "bad count '0'"},
        {"--no-reply " + unit + " speedtest write 0", "speedtest times replies; --no-reply does not fit"},
    };
    for (const auto &b : bad) {
        run_result res = rmap_split(b[0]);
        EXPECT_EQ(res.status, 2) << b[0];
        EXPECT_EQ(res.err.substr(0, res.err.find('\n')), "orwin-rmap: " + b[1]) << b[0];
    }
}
