// SPDX-License-Identifier: MIT
// orwin-info end to end against both simulator families.
#include "orwin_unitsim.hpp"
#include "run_command.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

run_result run_info(const std::string &args)
{
    return run_command(std::string(ORWIN_INFO_PATH) + " " + args);
}

orw::unitsim::config unit_of(orw::unitsim::family kind)
{
    orw::unitsim::config cfg;
    cfg.kind = kind;
    cfg.links = 2;
    cfg.product = "Bench Unit";
    cfg.manufacturer = "Acme";
    cfg.description = "Function=Router;Product=Bench Unit;Manufacturer=Acme";
    cfg.hwa = {0x00, 0x50, 0xC2, 0x21, 0x2F, 0xA0};
    return cfg;
}

} // namespace

TEST(OrwinInfo, JsonDescribesBothFamilies)
{
    for (auto kind : {orw::unitsim::family::vex, orw::unitsim::family::tor}) {
        orw::unitsim::simulator sim(unit_of(kind));
        run_result r = run_info("--json " + sim.address());
        ASSERT_EQ(r.status, 0) << r.out;
        auto unit = nlohmann::json::parse(r.out);
        bool vex = kind == orw::unitsim::family::vex;
        EXPECT_EQ(unit["family"], vex ? "Vex" : "Tor");
        EXPECT_EQ(unit["product"], "Bench Unit");
        EXPECT_EQ(unit["manufacturer"], "Acme");
        EXPECT_EQ(unit["hardware_address"], "00:50:C2:21:2F:A0");
        EXPECT_EQ(unit["serial_number"], "C4000");
        EXPECT_EQ(unit["number_of_links"], 2);
        ASSERT_EQ(unit["links"].size(), 2u);
        EXPECT_EQ(unit["links"][0]["link"], 1);
        EXPECT_TRUE(unit["links"][0]["state"].is_string());
        EXPECT_GE(unit["links"][0]["rx_speed_mbps"].get<double>(), 0.0);
        // A query leaves the unit's links as they were.
        EXPECT_NE(sim.link_mode(1), 1);
    }
}

TEST(OrwinInfo, TextOutputListsEveryField)
{
    orw::unitsim::simulator sim(unit_of(orw::unitsim::family::vex));
    run_result r = run_info(sim.address());
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char *expected :
         {"family: Vex", "product: Bench Unit", "manufacturer: Acme", "serial_number: C4000",
          "number_of_links: 2", "link 1: ", "link 2: ", "Mbit/s"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
}

TEST(OrwinInfo, UnreachableUnitGivesOneLineError)
{
    uint16_t port;
    {
        orw::unitsim::simulator gone;
        port = gone.port();
    }
    const std::string unit = "127.0.0.1:" + std::to_string(port);
    run_result r = run_split(std::string(ORWIN_INFO_PATH) + " " + unit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "orwin-info: " + unit + ": cannot open: Connection not made: Connection refused\n");
    r = run_split(std::string(ORWIN_INFO_PATH) + " --json " + unit);
    EXPECT_EQ(r.status, 1);
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["outcome"], "failed");
    EXPECT_EQ(j["code"], -32);

    // A unit that never answers is given up after --connect-timeout.
    orw::unitsim::simulator silent;
    silent.set_silent(true);
    const auto start = std::chrono::steady_clock::now();
    r = run_split("timeout -k 1 10 " + std::string(ORWIN_INFO_PATH) + " --connect-timeout=300 " +
                  silent.address());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "orwin-info: " + silent.address() + ": cannot open: no answer within 300 ms\n");
}
