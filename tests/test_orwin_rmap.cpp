// orwin-rmap end to end against the simulator's RMAP target node.
#include "orwin_unitsim.hpp"
#include "run_command.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

run_result run_rmap(const std::string &args)
{
    return run_command(std::string(ORWIN_RMAP_PATH) + " " + args);
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

} // namespace

TEST(OrwinRmap, ReadWriteAndReadModifyWrite)
{
    orw::unitsim::simulator sim(unit_with_nodes());
    std::string unit = sim.address();
    char name[] = "/tmp/orwin_rmap_tool_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "ABCD", 4), 4);
    close(fd);
    struct row {
        std::string args;
        int status;
        std::string out;
    } rows[] = {
        {"--key 0x20 " + unit + " write 0x1000 '01 23 45:67'", 0, "written\n"},
        {"--key 0x20 " + unit + " read 0x1000 5", 0,
         "00001000  01 23 45 67 00                                   |.#Eg.|\n"},
        {"--key 0x20 " + unit + " write 0x1010 @" + std::string(name), 0, "written\n"},
        {"--key 0x20 --no-reply " + unit + " write 0x1020 ff", 0, ""},
        {"--key 0x20 --path 5 --return-path 1,2 " + unit + " rmw 0x1010 6162 0f0f", 0,
         "00001010  41 42                                            |AB|\n"},
    };
    for (const row &r : rows) {
        run_result res = run_rmap(r.args);
        EXPECT_EQ(res.status, r.status) << r.args << "\n" << res.out;
        EXPECT_EQ(res.out, r.out) << r.args;
    }
    unlink(name);
    EXPECT_EQ(sim.rmap_memory(1, 0x1010, 4), (std::vector<uint8_t>{0x41, 0x42, 'C', 'D'}));
    for (int i = 0; i < 100 && sim.rmap_memory(1, 0x1020, 1)[0] != 0xFF; ++i)
        usleep(10000);
    EXPECT_EQ(sim.rmap_memory(1, 0x1020, 1)[0], 0xFF);

    run_result json = run_rmap("--json --key 0x20 --link 3 " + unit + " read 0x1000 2");
    ASSERT_EQ(json.status, 0) << json.out;
    nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["data"], "0000");
    EXPECT_EQ(j["operation"], "read");
}

// Every failure gives one line naming it and a non-zero exit status.
TEST(OrwinRmap, FailuresAreNamed)
{
    orw::unitsim::config cfg = unit_with_nodes();
    cfg.rmap_targets[4] = cfg.rmap_targets[1];
    cfg.rmap_targets[4].damage_replies = true;
    orw::unitsim::simulator sim(cfg);
    sim.set_rmap_drop_replies(3, true);
    std::string unit = sim.address();
    struct row {
        std::string args;
        int status;
        std::string out;
    } rows[] = {
        {unit + " read 0x1000 4", 1, "orwin-rmap: reply status 3: invalid key\n"},
        {"--key 0x20 " + unit + " read 0x2000 4", 1,
         "orwin-rmap: reply status 10: RMAP command not implemented or not authorised\n"},
        {"--key 0x20 --link 3 --timeout 50 " + unit + " read 0x1000 4", 1,
         "orwin-rmap: no reply within 50 ms\n"},
        {"--key 0x20 --link 4 --timeout 5000 " + unit + " read 0x1000 4", 1,
         "orwin-rmap: reply damaged (CRC error)\n"},
        {"--link 2 " + unit + " read 0 4", 1, "orwin-rmap: " + unit + ": error -49: Link is not connected\n"},
        {"--key 0x20 " + unit + " write 0x1000 @/nonexistent", 1,
         "orwin-rmap: RMAP data file cannot be read: /nonexistent\n"},
        {unit + " read 0x1000", 2,
         "orwin-rmap: read takes 2 arguments after HOST\n"},
        {unit + " poke 0 1", 2,
         "orwin-rmap: unknown operation 'poke' (read, write or rmw)\n"},
        {unit + " write 0 abc", 2,
         "orwin-rmap: bad data: odd number of hex digits\n"},
        {unit + " rmw 0 0102 01", 2,
         "orwin-rmap: rmw needs as many mask bytes as data bytes, at most 8\n"},
        {"--path 32 " + unit + " read 0 4", 2, "orwin-rmap: bad path byte '32'\n"},
        {"--frobnicate " + unit + " read 0 4", 2,
         "orwin-rmap: unknown option --frobnicate\n"},
        {unit + " read 0 0x1000000", 2, "orwin-rmap: bad size '0x1000000'\n"},
    };
    for (const row &r : rows) {
        run_result res = run_rmap(r.args);
        EXPECT_EQ(res.status, r.status) << r.args;
        // Bad arguments are followed by the usage.
        const std::string tail = r.status == 2 ? "usage: orwin-rmap" : "";
        EXPECT_EQ(res.out.substr(0, r.out.size() + tail.size()), r.out + tail) << r.args;
        if (r.status != 2) {
            EXPECT_EQ(res.out, r.out) << r.args;
        }
    }
    run_result help = run_rmap("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: orwin-rmap"), std::string::npos);
    // No unit listening.
    orw::unitsim::config none;
    uint16_t port = 0;
    {
        orw::unitsim::simulator gone(none);
        port = gone.port();
    }
    run_result unreachable = run_rmap("127.0.0.1:" + std::to_string(port) + " read 0 4");
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_EQ(unreachable.out.rfind("orwin-rmap: 127.0.0.1:" + std::to_string(port) + ": error ", 0), 0u)
        << unreachable.out;
}
