// SPDX-License-Identifier: MIT
// Capture configuration: option tables, native and JSON files, defaults, and
// the commands apply() sends, both as calls and as what a unit receives.
#include "Orwin_Capture.hpp"
#include "capture_files.hpp"
#include "orwin_unitsim.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <sys/stat.h>

namespace {

using orw::trc::config;
namespace opt = orw::trc::options;

struct setting_check {
    const char *name;
    const orw::trc::capture_settings *array;
    int port;
    uint32_t setting;
};

// One file of every section, in native and JSON form.
const char native_twin[] = "timetags {\n"
                           "port 1 TT_report_EOP TT_report_EEP\n"
                           "port 3 TT_report_intermediate_bytes\n"
                           "}\n"
                           "errors {\n"
                           "port 2 ER_report_parity_error ER_report_null\n"
                           "}\n"
                           "sources {\n"
                           "port 4 EW_Source_barrier EW_Source_port_8\n"
                           "}\n"
                           "capture {\n"
                           "port 8 EW_capture_FCT\n"
                           "}\n";
const char json_twin[] = R"({
  "timetags": [{"port": 1, "setting": ["TT_report_EOP", "TT_report_EEP"]},
               {"port": 3, "setting": ["TT_report_intermediate_bytes"]}],
  "errors": {"a": {"port": 2, "setting": {"x": "ER_report_parity_error", "y": "ER_report_null"}}},
  "sources": [{"port": 4, "setting": ["EW_Source_barrier", "EW_Source_port_8"]}, {"comment": 1}],
  "capture": [{"port": 8, "setting": ["EW_capture_FCT"]}]
})";

std::vector<uint8_t> bytes_of(const std::string &text)
{
    return {text.begin(), text.end()};
}

void expect_twin_settings(const config &c)
{
    EXPECT_EQ(c.timetags[1].setting, opt::tt::EOP | opt::tt::EEP);
    EXPECT_EQ(c.timetags[3].setting, opt::tt::intermediate_bytes);
    EXPECT_EQ(c.errors[2].setting, opt::er::parity_error | opt::er::null);
    EXPECT_EQ(c.sources[4].setting, opt::ew_ports::barrier | opt::ew_ports::port_8);
    EXPECT_EQ(c.captures[8].setting, opt::ew_capture::FCT);
    EXPECT_EQ(c.timetags[2].setting | c.errors[1].setting | c.sources[1].setting | c.captures[1].setting, 0u);
}

} // namespace

TEST(CaptureConfig, TablesMapSettingBitsToTheUnitsRegisterBits)
{
    config c;
    struct row {
        const orw::trc::capture_option *table;
        size_t rows;
        uint32_t setting;
        uint32_t native;
        const char *first_name;
    } rows[] = {
        {c.get_tt_options(), opt::tt::nooptions, opt::tt::EOP | opt::tt::EEP, 0x810004,
         "TT_report_first_byte"},
        {c.get_tt_options(), opt::tt::nooptions, opt::tt::intermediate_bytes | opt::tt::first_byte, 0x60003,
         "TT_report_first_byte"},
        {c.get_er_options(), opt::er::nooptions, opt::er::time_code | opt::er::null, 0xA080,
         "ER_report_time_code"},
        {c.get_ew_ports_options(), opt::ew_ports::nooptions, opt::ew_ports::barrier | opt::ew_ports::port_1,
         0x0003, "EW_Source_port_1"},
        {c.get_ew_ports_options(), opt::ew_ports::nooptions, opt::ew_ports::SMA_78, 0x1000,
         "EW_Source_port_1"},
        {c.get_ew_capture_options(), opt::ew_capture::nooptions,
         opt::ew_capture::EEP | opt::ew_capture::excess_FCT | opt::ew_capture::time_code, 0x908080,
         "EW_capture_parity_error"},
        // Bits beyond the table select nothing.
        {c.get_er_options(), opt::er::nooptions, 0xFFFFFF00u, 0, "ER_report_time_code"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(config::native_setting(r.table, r.rows, r.setting), r.native) << std::hex << r.setting;
        EXPECT_STREQ(r.table[0].name, r.first_name);
    }
    EXPECT_STREQ(c.get_tt_options()[11].name, "TT_report_intermediate_bytes");
    EXPECT_STREQ(c.get_ew_capture_options()[10].name, "EW_capture_FCT");
}

TEST(CaptureConfig, NativeLinesSelectRowsPerSectionAndPort)
{
    config c;
    struct {
        const char *text;
        std::vector<setting_check> expect;
    } cases[] = {
        {"", {}},
        {"port 2 TT_report_EOP\n", {}},                                 // outside any section
        {"other {\nport 2 TT_report_EOP\n}\n", {}},                     // a section of another name
        {"timetags {\nport 2 TT_report_EOP\nport 2 TT_report_EEP\n}\n", // lines add up
         {{"tt2", c.timetags, 2, 0x006}}},
        {"timetags\nport 0 TT_report_null nonsense tt_report_eop\n}\nport 1 TT_report_null\n",
         {{"tt0", c.timetags, 0, opt::tt::null}}}, // case matters; "}" ends it
        {"errors { ignored words\n  port 7 ER_report_fct\n}\ncapture {\nport 7 ER_report_fct "
         "EW_capture_EOP\n}\n",
         {{"er7", c.errors, 7, opt::er::fct}, {"ewc7", c.captures, 7, opt::ew_capture::EOP}}},
        {"sources {\nport 5\nport 5 EW_Source_SMA_12\n", {{"ews5", c.sources, 5, opt::ew_ports::SMA_12}}},
    };
    for (const auto &k : cases) {
        std::istringstream in(k.text);
        c.set_ports(0x1E);
        c.timetags[4].setting = 0xFFF; // reset by every load
        c.load(in);
        EXPECT_EQ(c.active_ports, 0x1Eu) << k.text;
        uint32_t others = 0;
        for (int n = 0; n < config::ports; ++n)
            others |=
                c.timetags[n].setting | c.errors[n].setting | c.sources[n].setting | c.captures[n].setting;
        uint32_t expected = 0;
        for (const setting_check &e : k.expect) {
            EXPECT_EQ(e.array[e.port].setting, e.setting) << k.text << " " << e.name;
            expected |= e.setting;
        }
        EXPECT_EQ(others, expected) << k.text; // nothing else set
    }
    EXPECT_EQ(config::native_setting(c.tt_options, opt::tt::nooptions, 0x006), 0x810004u);
}

TEST(CaptureConfig, DefaultsCoverPortsOneToN)
{
    config c;
    c.sources[2].setting = 1;
    c.defaults(false, 4);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(c.timetags[n].setting, 0x1FFu);
        EXPECT_EQ(c.errors[n].setting, 0x3Fu);
        EXPECT_EQ(c.captures[n].setting, 0x20Fu);
    }
    for (int n = 0; n < config::ports; ++n)
        EXPECT_EQ(c.sources[n].setting, 0u);
    for (int n : {0, 5, 6, 7, 8})
        EXPECT_EQ(c.timetags[n].setting | c.errors[n].setting | c.captures[n].setting, 0u) << n;
    EXPECT_EQ(c.active_ports, 0u);
    c.defaults(true, 8);
    EXPECT_EQ(c.timetags[8].setting, 0x3FFu);
    EXPECT_EQ(c.errors[8].setting, 0x7Fu);
    c.defaults(true, 100); // more links than settings: ports 1..8
    EXPECT_EQ(c.timetags[8].setting, 0x3FFu);
    c.set_option(c.timetags, c.tt_options, opt::tt::nooptions, 0x6, 0xFFFF);
    EXPECT_EQ(c.timetags[1].setting, 0xFFFu); // replaced, only the table's bits
    EXPECT_EQ(c.timetags[2].setting, 0xFFFu);
    c.allports(4);
    EXPECT_EQ(c.active_ports, 0x1Eu);
}

TEST(CaptureConfig, FilesJsonAndNativeTwinsAgree)
{
    test::scratch_dir dir;
    const std::vector<std::pair<std::string, const char *>> files = {
        {"twin.txt", native_twin}, {"twin.json", json_twin}, {"twin.JSON", json_twin}};
    for (const auto &[leaf, text] : files) {
        test::write_file(dir / leaf, std::vector<uint8_t>(text, text + std::strlen(text)));
        config c;
        c.load(dir / leaf);
        SCOPED_TRACE(leaf);
        expect_twin_settings(c);
    }
    // JSON loading ORs into what is there.
    config twice;
    twice.timetags[1].setting = opt::tt::null;
    std::istringstream twin_stream(json_twin);
    twice.load_json(twin_stream);
    EXPECT_EQ(twice.timetags[1].setting, opt::tt::null | opt::tt::EOP | opt::tt::EEP);
}

TEST(CaptureConfig, FilesThatCannotBeConfigurationsAreRefusedNamingTheFile)
{
    test::scratch_dir dir;
    ASSERT_EQ(mkdir((dir / "folder.json").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.txt").c_str(), 0600), 0); // no writer: reads as empty
    const struct {
        const char *leaf;
        std::string text; // written unless the file is prepared above
        int code;
        const char *why;   // in the error's text
        const char *where; // in the error's address, after the path
    } cases[] = {
        {"missing.txt", "", -26, "can't open", ""},
        {"folder.json", "", -38, "directory", ""},
        {"fifo.txt", "", -38, "empty", ""},
        {"empty.txt", "", -38, "empty", ""},
        {"blank.json", " \n\t\n", -38, "empty", ""},
        {"binary.txt", std::string("timetags {\nport 1 TT_report_EOP\0\x01\x02\n}\n", 38), -38, "not text",
         ""},
        {"nothing.txt", "# no section here\n", -38, "no recognised setting", ""},
        {"nothing.json", R"({"other": {"port": 1}})", -38, "no recognised setting", ""},
        {"array.json", "[1, 2]", -38, "no recognised setting", ""},
        {"twin.Json", json_twin, -38, "no recognised setting", ""}, // not a JSON name: native lines
        {"cut.json", R"({"timetags": [)", -38, "malformed JSON", ": parse error at line 1, column 15"},
        {"comma.json", "{\n \"timetags\": [\n  {\"port\": 1,,}\n ]\n}", -38, "malformed JSON",
         ": parse error at line 3, column 14"},
        {"p9.txt", "timetags {\nport 9 TT_report_EOP\n}\n", -25, "not in range", ": port 9"},
        {"pneg.txt", "errors {\nport -1\n}\n", -25, "not in range", ": port -1"},
        {"px.txt", "capture {\nport x EW_capture_FCT\n}\n", -25, "not an integer", ": port x"},
        {"phalf.txt", "capture {\nport 1.5\n}\n", -25, "not an integer", ": port 1.5"},
        {"pnone.txt", "capture {\nport\n}\n", -25, "not an integer", ": port (missing)"},
        {"p12.json", R"({"sources": [{"port": 12, "setting": []}]})", -25, "not in range", ": port 12"},
        {"pbig.json", R"({"timetags": [{"port": 1e300}]})", -25, "not in range", ": port 1e+300"},
        {"ptext.json", R"({"timetags": [{"port": "one"}]})", -25, "not an integer", ": port \"one\""},
        {"pnull.json", R"({"timetags": [{"port": null}]})", -25, "not an integer", ": port null"},
        {"phalf.json", R"({"timetags": [{"port": 1.5}]})", -25, "not an integer", ": port 1.5"},
        {"pbool.json", R"({"timetags": [{"port": true}]})", -25, "not an integer", ": port true"},
        {"opt.json", R"({"errors": [{"port": 1, "setting": [7]}]})", -25, "not a name", ": option 7"},
    };
    for (const auto &k : cases) {
        const std::string path = dir / k.leaf;
        if (!k.text.empty() || std::string(k.leaf).find("empty") != std::string::npos)
            test::write_file(path, std::vector<uint8_t>(k.text.begin(), k.text.end()));
        config c;
        try {
            c.load(path);
            ADD_FAILURE() << k.leaf << " loaded";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), k.code) << k.leaf;
            EXPECT_NE(std::string(e.text()).find(k.why), std::string::npos) << k.leaf << ": " << e.text();
            EXPECT_EQ(e.name().rfind(path + k.where, 0), 0u) << k.leaf << ": " << e.name();
        }
    }
    // A port with no fraction is a port.
    test::write_file(dir / "whole.json",
                     bytes_of(R"({"timetags": [{"port": 2.0, "setting": ["TT_report_EOP"]}]})"));
    config c;
    c.load(dir / "whole.json");
    EXPECT_EQ(c.timetags[2].setting, opt::tt::EOP);
}

TEST(CaptureConfig, UnknownSectionsAndOptionsAreWarnedAboutNamingTheFile)
{
    test::scratch_dir dir;
    const struct {
        const char *leaf;
        const char *text;
        std::vector<std::string> warnings; // after "<path>: "
    } cases[] = {
        {"native.txt",
         "timetag {\nport 1 TT_report_EOP\n}\ntimetags {\nport 1 TT_report_EOP tt_report_eep\n"
         "port 2 tt_report_eep\n}\ncapture {\nport 7 ER_report_fct EW_capture_EOP\n}\n",
         {"unknown section 'timetag' skipped", "unknown option 'tt_report_eep' in section 'timetags' skipped",
          "unknown option 'ER_report_fct' in section 'capture' skipped"}},
        {"doc.json",
         R"({"timetags": [{"port": 1, "setting": ["TT_report_EOP", "TT_report_eop"]}], "error": [],
             "capture": {"a": {"port": 7, "setting": {"x": "EW_capture_EOP", "y": "ER_report_fct"}}}})",
         {"unknown section 'error' skipped", "unknown option 'TT_report_eop' in section 'timetags' skipped",
          "unknown option 'ER_report_fct' in section 'capture' skipped"}},
        {"clean.json", json_twin, {}},
    };
    for (const auto &k : cases) {
        test::write_file(dir / k.leaf, bytes_of(k.text));
        config c;
        c.load(dir / k.leaf);
        std::vector<std::string> expected;
        for (const std::string &w : k.warnings)
            expected.push_back(dir / k.leaf + ": " + w);
        EXPECT_EQ(c.warnings(), expected) << k.leaf;
        EXPECT_TRUE(c.timetags[1].setting & opt::tt::EOP) << k.leaf; // the known names still count
    }
}

namespace {

// Logs the configuration operations instead of sending them.
struct logging_connection : orw::connection {
    std::vector<std::string> calls;
    void put(const char *what, long v) { calls.push_back(std::string(what) + " " + std::to_string(v)); }
    void active_port(unsigned int link_) override { put("port", link_); }
    void mode(int mode_) override { put("mode", mode_); }
    void TT_reporting(int when_) override { put("tt", when_); }
    void ER_reporting(int when_) override { put("er", when_); }
    void EW_reporting(int when_) override { put("ewc", when_); }
    void EW_source(int source_) override { put("ews", source_); }
};

} // namespace

TEST(CaptureConfig, ApplySendsEachPortsCommandsInOrder)
{
    config c;
    c.timetags[2].setting = 0x006;
    c.errors[2].setting = opt::er::parity_error;
    c.sources[2].setting = opt::ew_ports::port_3;
    c.captures[2].setting = opt::ew_capture::timeout;
    c.timetags[1].setting = 0x1; // port 1 is not chosen: never sent
    c.set_ports(0x4);
    logging_connection conn;
    c.apply(&conn, 3);
    const std::vector<std::string> expected = {"port 1", "mode 1",  "port 2", "tt 8454148", "er 4096",
                                               "ews 8",  "ewc 256", "mode 2", "port 3",     "mode 1"};
    EXPECT_EQ(conn.calls, expected);

    config all;
    logging_connection four;
    all.apply(&four, 4);
    EXPECT_EQ(all.active_ports, 0x1Eu);
    EXPECT_EQ(std::count(four.calls.begin(), four.calls.end(), "mode 2"), 4);
}

TEST(CaptureConfig, ApplyReachesTheUnitsRegistersPerLink)
{
    orw::unitsim::config unit_cfg;
    unit_cfg.links = 4;
    orw::unitsim::simulator sim(unit_cfg);
    orw::connection conn(sim.address());
    config c;
    c.defaults(false, 4);
    c.sources[3].setting = opt::ew_ports::port_3 | opt::ew_ports::barrier;
    c.set_ports(0x0E); // ports 1..3; port 4 disabled
    c.apply(&conn, 4);
    conn.flush();
    // Register images: timetag (0x30) and error (0x20) and capture-event
    // (0x60) bits 23..8, the sources (0x70) as 16 bits.
    struct expect_reg {
        int link;
        int address;
        std::vector<uint8_t> bytes;
    } regs[] = {
        {1, 0x30, {0x85, 0x9F}}, {1, 0x20, {0x00, 0x9F}}, {1, 0x60, {0x00, 0x1F}}, {1, 0x70, {0x00, 0x00}},
        {3, 0x30, {0x85, 0x9F}}, {3, 0x70, {0x00, 0x09}}, {4, 0x30, {0x00, 0x00}}, {4, 0x60, {0x00, 0x00}},
    };
    for (const expect_reg &r : regs)
        EXPECT_EQ(sim.register_bytes(r.link, r.address, 2), r.bytes) << r.link << " @" << r.address;
    for (int link = 1; link <= 4; ++link)
        EXPECT_EQ(sim.link_mode(link), link == 4 ? 1 : 2) << link;
}
