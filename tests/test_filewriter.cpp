// Capture file writer: names from templates, ".tmp" files renamed when
// finished, rotation only when the engine reports a packet end.
#include "Orwin_Filewriter.hpp"
#include "Orwin_Utils.hpp"
#include "capture_files.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace {

// Creates each file it is switched to, as a real capture would, and logs
// the hooks.
struct file_log : orw::utils::filewriter {
    std::vector<std::string> opened, archived;
    bool create = true;
    void set_file(const char *name, bool, bool) override
    {
        if (!name)
            return;
        opened.push_back(name);
        if (create)
            test::write_file(name, {1, 2, 3});
    }
    void archived_capture_file(const char *name) override { archived.push_back(name); }
    std::vector<std::string> finished_list() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < capture_files(); ++i)
            out.push_back(capture_file(static_cast<int>(i)));
        return out;
    }
    void rotate()
    {
        currentsize = record_file_size;
        check_file_swap_over();
    }
};

const std::string stamp = "[0-9]{18}";

} // namespace

TEST(FileWriter, EmptyNameRecordsNothingUnlessASizeIsAsked)
{
    file_log w;
    w.start_recording("", 0);
    w.close();
    EXPECT_TRUE(w.opened.empty());
    EXPECT_EQ(w.capture_files(), 0u);
    try {
        w.start_recording("", 5u << 20);
        FAIL() << "a size without a name was accepted";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), -1);
        EXPECT_STREQ(e.text(), "No record size and no capture file");
    }
    EXPECT_TRUE(w.opened.empty());
}

TEST(FileWriter, SingleFileIsListedFromTheStart)
{
    test::scratch_dir dir;
    file_log w;
    w.start_recording((dir / "one.trc").c_str(), 0);
    EXPECT_EQ(w.capture_file(0), dir / "one.trc");
    EXPECT_EQ(w.capture_file(-1), "");
    EXPECT_EQ(w.capture_file(1), "");
    w.rotate(); // no threshold: never rotates
    w.close();
    EXPECT_EQ(w.opened, std::vector<std::string>{dir / "one.trc"});
    EXPECT_EQ(w.finished_list(), std::vector<std::string>{dir / "one.trc"});
}

TEST(FileWriter, RotatedNamesStampedNumberedOrFromTheEnvironment)
{
    test::scratch_dir dir;
    setenv("ORW_TEST_CAPTURE_DIR", dir.path.c_str(), 1);
    unsetenv("ORW_TEST_UNSET");
    struct {
        std::string target;
        bool numbered;
        std::string tmp_pattern;   // first file while written
        std::string final_pattern; // first and second finished file
        std::string second_final;
    } cases[] = {
        {dir / "out", false, dir / "out/trccapture_" + stamp + "\\.tmp", dir / "out/trccapture_" + stamp + "_" + stamp + "\\.trc",
         dir / "out/trccapture_" + stamp + "(-[0-9]+)?_" + stamp + "\\.trc"},
        {dir / "num/", true, dir / "num/trccapture_00000001\\.tmp", dir / "num/trccapture_00000001\\.trc",
         dir / "num/trccapture_00000002\\.trc"},
        {dir / "run.dat", true, dir / "run_00000001\\.tmp", dir / "run_00000001\\.dat", dir / "run_00000002\\.dat"},
        {"${ORW_TEST_CAPTURE_DIR}/env${ORW_TEST_UNSET}.x.y", true, dir / "env_00000001\\.tmp",
         dir / "env_00000001\\.x\\.y", dir / "env_00000002\\.x\\.y"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.target);
        if (k.target == dir / "num/")
            std::filesystem::create_directory(dir / "num");
        file_log w;
        w.fileindex = k.numbered;
        w.start_recording(k.target.c_str(), 1000);
        ASSERT_EQ(w.opened.size(), 1u);
        EXPECT_TRUE(std::regex_match(w.opened[0], std::regex(k.tmp_pattern))) << w.opened[0];
        EXPECT_EQ(w.capture_files(), 0u);
        w.currentsize = 999;
        w.check_file_swap_over(); // below the threshold
        EXPECT_EQ(w.opened.size(), 1u);
        w.rotate();
        w.close();
        std::vector<std::string> done = w.finished_list();
        ASSERT_EQ(done.size(), 2u);
        EXPECT_TRUE(std::regex_match(done[0], std::regex(k.final_pattern))) << done[0];
        EXPECT_TRUE(std::regex_match(done[1], std::regex(k.second_final))) << done[1];
        EXPECT_EQ(w.archived, done);
        for (const std::string &f : done)
            EXPECT_TRUE(std::filesystem::exists(f)) << f;
        EXPECT_EQ(w.record_file_generation, 0u);
    }
    unsetenv("ORW_TEST_CAPTURE_DIR");
}

TEST(FileWriter, StampedFinishJoinsStartAndEndAndNeverReusesAName)
{
    test::scratch_dir dir;
    file_log w;
    w.start_recording((dir / "fast.trc").c_str(), 1);
    // Far more rotations than milliseconds pass: every file keeps its own name.
    for (int i = 0; i < 20; ++i)
        w.rotate();
    w.close();
    std::vector<std::string> done = w.finished_list();
    ASSERT_EQ(done.size(), 21u);
    std::set<std::string> unique(done.begin(), done.end());
    EXPECT_EQ(unique.size(), done.size());
    EXPECT_EQ(dir.files().size(), done.size()); // nothing overwritten, no .tmp left
    std::smatch m;
    ASSERT_TRUE(std::regex_match(done[0], m, std::regex(".*/fast_(" + stamp + ")(-[0-9]+)?_(" + stamp + ")\\.trc")));
    // A file's finish stamp is the next file's start stamp.
    std::smatch n;
    ASSERT_TRUE(std::regex_match(done[1], n, std::regex(".*/fast_(" + stamp + ")(-[0-9]+)?_(" + stamp + ")\\.trc")));
    EXPECT_EQ(m[3].str(), n[1].str());
}

TEST(FileWriter, FailuresAreReportedAndNothingIsListed)
{
    test::scratch_dir dir;
    file_log w;
    w.create = false; // the data file vanished: renaming must fail
    w.fileindex = true;
    w.start_recording((dir / "gone.trc").c_str(), 10);
    try {
        w.close();
        FAIL() << "a failed rename was not reported";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), -37);
        EXPECT_STREQ(e.text(), "can't rename file");
    }
    EXPECT_EQ(w.capture_files(), 0u);

    const std::string blocker = dir / "plainfile";
    test::write_file(blocker, {0});
    const std::string long_name(9000, 'a');
    setenv("ORW_TEST_LONG", long_name.c_str(), 1);
    struct {
        std::string target;
        const char *text;
    } refused[] = {
        {blocker + "/sub", "can't open record file directory"},
        {dir / "${ORW_TEST_LONG}.trc", "record file name too long"},
        {dir / long_name, "record file name too long"},
    };
    for (const auto &r : refused) {
        file_log f;
        try {
            f.start_recording(r.target.c_str(), 10);
            ADD_FAILURE() << r.target.substr(0, 80) << " accepted";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), -1);
            EXPECT_STREQ(e.text(), r.text);
        }
        EXPECT_TRUE(f.opened.empty());
    }
    unsetenv("ORW_TEST_LONG");
    char out[8];
    EXPECT_TRUE(orw::utils::filewriter::expand_environment("${}ab${X", out, sizeof out));
    EXPECT_STREQ(out, "ab");
    EXPECT_FALSE(orw::utils::filewriter::expand_environment("12345678", out, sizeof out));
}
