// SPDX-License-Identifier: MIT
// Capture file writer: names from templates, ".tmp" files renamed when
// finished, rotation only when the engine reports a packet end.
#include "Orwin_Filewriter.hpp"
#include "Orwin_Utils.hpp"
#include "capture_files.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Creates each file it is switched to, as a real capture would, and logs
// the hooks.
struct file_log : orw::utils::filewriter {
    std::vector<std::string> opened, archived;
    bool create = true;
    bool fail_end = false; // ending the current file fails, as on a full disk
    void set_file(const char *name, bool, bool) override
    {
        if (fail_end && !opened.empty())
            throw orw::error(currentfile, -2, "error writing to record file");
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
        {dir / "out", false, dir / "out/trccapture_" + stamp + "\\.tmp",
         dir / "out/trccapture_" + stamp + "_" + stamp + "\\.trc",
         dir / "out/trccapture_" + stamp + "(-[0-9]+)?_" + stamp + "\\.trc"},
        {dir / "num/", true, dir / "num/trccapture_00000001\\.tmp", dir / "num/trccapture_00000001\\.trc",
         dir / "num/trccapture_00000002\\.trc"},
        {dir / "run.dat", true, dir / "run_00000001\\.tmp", dir / "run_00000001\\.dat",
         dir / "run_00000002\\.dat"},
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
    ASSERT_TRUE(
        std::regex_match(done[0], m, std::regex(".*/fast_(" + stamp + ")(-[0-9]+)?_(" + stamp + ")\\.trc")));
    // A file's finish stamp is the next file's start stamp.
    std::smatch n;
    ASSERT_TRUE(
        std::regex_match(done[1], n, std::regex(".*/fast_(" + stamp + ")(-[0-9]+)?_(" + stamp + ")\\.trc")));
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

namespace {

std::string contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(FileWriter, FinishedFilesAreNeverOverwrittenNorMoved)
{
    test::scratch_dir dir;
    // Numbers continue after the highest a file of the same series has
    // (finished or in progress); other series and suffixes do not count.
    for (const char *f : {"run_00000001.dat", "run_00000007.dat", "run_00000003.tmp", "run_00000009.other",
                          "runx_00000020.dat", "run_12.dat"})
        test::write_file(dir / f, {9});
    file_log w;
    w.fileindex = true;
    w.start_recording((dir / "run.dat").c_str(), 10);
    w.rotate();
    w.close();
    EXPECT_EQ(w.finished_list(),
              (std::vector<std::string>{dir / "run_00000008.dat", dir / "run_00000009.dat"}));
    EXPECT_EQ(contents(dir / "run_00000007.dat"), "\x09");

    // A directory named with ".tmp" keeps the files: only the writer's own
    // suffix marks a file in progress.
    file_log t;
    t.fileindex = true;
    t.start_recording((dir / "cap.tmp.d/").c_str(), 10);
    t.close();
    EXPECT_EQ(t.finished_list(), std::vector<std::string>{dir / "cap.tmp.d/trccapture_00000001.trc"});

    // A final name taken meanwhile is never replaced: the rename fails and
    // the data stays under its in-progress name.
    file_log r;
    r.fileindex = true;
    r.start_recording((dir / "race.trc").c_str(), 10);
    test::write_file(dir / "race_00000001.trc", {7});
    EXPECT_THROW(r.close(), orw::error);
    EXPECT_EQ(r.capture_files(), 0u);
    EXPECT_EQ(contents(dir / "race_00000001.trc"), "\x07");
    EXPECT_TRUE(std::filesystem::exists(dir / "race_00000001.tmp"));
}

TEST(FileWriter, AFileThatFailsIsNeverListedAsFinished)
{
    test::scratch_dir dir;
    for (bool rotating : {true, false}) {
        SCOPED_TRACE(rotating);
        file_log w;
        w.fileindex = true;
        const std::string target = dir / (rotating ? "rot.trc" : "one.trc");
        w.start_recording(target.c_str(), rotating ? 10 : 0);
        w.fail_end = true;
        try {
            if (rotating)
                w.rotate();
            else
                w.close();
            FAIL() << "a failed file was not reported";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), -2);
            EXPECT_EQ(e.name(), rotating ? dir / "rot_00000001.tmp" : target);
        }
        if (rotating) {
            EXPECT_NO_THROW(w.close()); // closes, finishes nothing
        }
        EXPECT_EQ(w.capture_files(), 0u);
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "rot_00000001.tmp"));
    EXPECT_FALSE(std::filesystem::exists(dir / "rot_00000001.trc"));
}

TEST(FileWriter, SingleTargetMustBeARegularFileThatStays)
{
    test::scratch_dir dir;
    std::filesystem::create_directory(dir / "adir");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", (dir / "sock").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    struct {
        std::string target;
        const char *text;
    } refused[] = {
        {dir / "adir", "capture target is a directory (give a file size to rotate into it)"},
        {dir / "fifo", "capture target is not a regular file"},
        {dir / "sock", "capture target is not a regular file"},
        {"/dev/null", "capture target is not a regular file"},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.target);
        file_log w;
        try {
            w.start_recording(r.target.c_str(), 0);
            ADD_FAILURE() << "accepted";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.get(), -1);
            EXPECT_STREQ(e.text(), r.text);
        }
        EXPECT_TRUE(w.opened.empty());
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(r.target)));
    }
    close(sock);

    // The output removed during the run, alone or with its directory, ends
    // the recording with an error and is not listed.
    for (bool whole_dir : {false, true}) {
        SCOPED_TRACE(whole_dir);
        std::filesystem::create_directory(dir / "sub");
        const std::string target = dir / "sub/out.trc";
        file_log w;
        w.start_recording(target.c_str(), 0);
        ASSERT_EQ(w.capture_files(), 1u);
        if (whole_dir)
            std::filesystem::remove_all(dir / "sub");
        else
            std::filesystem::remove(target);
        try {
            w.close();
            ADD_FAILURE() << "the lost output was not reported";
        } catch (const orw::error &e) {
            EXPECT_EQ(e.name(), target);
            EXPECT_STREQ(e.text(), "capture file was removed during the capture");
        }
        EXPECT_EQ(w.capture_files(), 0u);
    }
}
