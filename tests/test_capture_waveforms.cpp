// SPDX-License-Identifier: MIT
// Error waveforms through a running capture: requested on an error event,
// kept, the port re-armed, and written as five files by the timer thread.
#include "Orwin_Capture.hpp"
#include "capture_files.hpp"
#include "capture_probe.hpp"
#include "child_check.hpp"
#include "waveform_records.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using test::eventually;

struct waveform_probe : test::capture_probe {
    using capture_probe::capture_probe;
    std::atomic<int> completed{0}, saved{0};
    std::vector<std::string> files; // written on the timer thread, read after wait()

    void waveform_complete(int port, orw::waveform::waveform *wf) override
    {
        ++completed;
        capture_probe::waveform_complete(port, wf);
    }
    void waveform_saved(orw::waveform::waveform *wf) override
    {
        ++saved;
        capture_probe::waveform_saved(wf);
    }
    void waveform_file_saved(const char *file, orw::waveform::waveform *wf) override
    {
        files.push_back(file);
        capture_probe::waveform_file_saved(file, wf);
    }
};

orw::unitsim::waveform_config port3_waveform()
{
    orw::unitsim::ds_waveform w;
    w.rx.chars = test::nulls(30);
    w.rx.chars[12] = {test::spw_char::time_code, 0x45};
    w.tx.chars = test::nulls(32);
    w.event_byte = 0x43;
    w.error_index = 7;
    orw::unitsim::waveform_config cfg = orw::unitsim::encode_ds_waveform(w).waveform;
    cfg.samples[0] = 9; // a count the unit's re-arming clears
    return cfg;
}

} // namespace

TEST(CaptureWaveforms, TwoWaveformsOnPort3GiveFiveFilesEach)
{
    test::scratch_dir dir;
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    const orw::unitsim::waveform_config held = port3_waveform();
    sim.set_waveform(3, held);
    waveform_probe c(sim.address().c_str(), "", 0, 0);
    c.tick_length = std::chrono::milliseconds(10);
    c.set_wf_dir(dir.path);
    c.start(1);
    ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
    sim.emit_event(3, orw::unitsim::event_error);
    ASSERT_TRUE(eventually([&] { return c.saved >= 1; }));
    EXPECT_EQ(sim.register_bytes(3, 0x1000, 1), std::vector<uint8_t>{0}) << "the port is re-armed";
    sim.emit_event(3, orw::unitsim::event_error);
    ASSERT_TRUE(eventually([&] { return c.completed >= 2; }));
    c.stop();
    c.wait(); // saves what is still queued
    EXPECT_EQ(c.saved.load(), 2);
    EXPECT_TRUE(c.savedwf.empty());

    const std::vector<std::string> names = dir.files();
    ASSERT_EQ(names.size(), 10u);
    const std::regex form("[0-9]+_port3_3_([12])\\.(swf|txt|svg|csv|vcd)");
    std::map<std::string, int> per_id;
    for (const std::string &n : names) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(n, m, form)) << n;
        ++per_id[m[1]];
    }
    EXPECT_EQ(per_id, (std::map<std::string, int>{{"1", 5}, {"2", 5}}));
    ASSERT_EQ(c.files.size(), 10u);
    EXPECT_EQ(c.files[0].substr(0, dir.path.size() + 1), dir.path + "/");

    // The first holds what the decoder makes of the record the unit held.
    auto expected = test::decoded(test::record_of(held, 3), "parity_error on port 3");
    std::string base = c.files[0].substr(0, c.files[0].size() - 4);
    EXPECT_EQ(test::slurp(base + ".txt"),
              test::written([&](FILE *f) { return orw::waveform::write_txt(*expected, f); }));
    EXPECT_EQ(test::slurp(base + ".csv"),
              test::written([&](FILE *f) { return orw::waveform::write_csv(*expected, f); }));
    EXPECT_EQ(test::slurp(base + ".swf"),
              test::written([&](FILE *f) { return orw::waveform::write_swf(*expected, f); }));
    EXPECT_NE(test::slurp(base + ".svg").find(">TIME 0:1:5<"), std::string::npos);
    EXPECT_NE(test::slurp(base + ".vcd").find("$comment\nparity_error on port 3\n$end\n"), std::string::npos);
}

TEST(CaptureWaveforms, NoDirectoryNoWaveform)
{
    test::scratch_dir dir;
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    sim.set_waveform(3, port3_waveform());
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path); // "." would be the default
    waveform_probe c(sim.address().c_str(), "", 0, 0);
    c.tick_length = std::chrono::milliseconds(10);
    c.set_wf_dir("");
    c.start(1);
    ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
    sim.emit_event(3, orw::unitsim::event_error);
    ASSERT_TRUE(eventually([&] { return c.waveforms >= 1; }));
    c.stop();
    c.wait();
    std::filesystem::current_path(cwd);
    EXPECT_EQ(c.completed.load(), 0) << "no waveform object";
    EXPECT_EQ(c.saved.load(), 0);
    EXPECT_TRUE(dir.files().empty());
    EXPECT_EQ(sim.register_bytes(3, 0x1000, 1), std::vector<uint8_t>{9}) << "nothing re-armed";
}

TEST(CaptureWaveforms, DirectoryIsCreatedAndTakenFromTheEnvironment)
{
    test::scratch_dir dir;
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    setenv("ORW_WF_DIR", (dir / "from_env").c_str(), 1);
    waveform_probe c(sim.address().c_str(), "", 0, 0);
    unsetenv("ORW_WF_DIR");
    EXPECT_EQ(c.wf_dir, dir / "from_env/");
    struct stat st {};
    EXPECT_TRUE(stat((dir / "from_env").c_str(), &st) == 0 && S_ISDIR(st.st_mode));

    c.set_wf_dir(dir / "missing");
    EXPECT_EQ(c.wf_dir, dir / "missing/");
    EXPECT_TRUE(stat((dir / "missing").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    c.set_wf_dir(dir / "missing/");
    EXPECT_EQ(c.wf_dir, dir / "missing/") << "one slash";
    test::write_file(dir / "plain", {1});
    try {
        c.set_wf_dir(dir / "plain/sub");
        FAIL() << "no directory can be made under a file";
    } catch (const orw::error &e) {
        EXPECT_EQ(e.get(), -33);
        EXPECT_STREQ(e.text(), "Can't create capture directory");
    }
}

TEST(CaptureWaveforms, AFloodKeepsAtMostTheCapWaitingAndCountsTheRest)
{
    test::scratch_dir dir;
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    sim.set_waveform(3, port3_waveform());
    waveform_probe c(sim.address().c_str(), "", 0, 0);
    c.tick_length = std::chrono::hours(1); // nothing is written while the flood lasts
    c.set_wf_dir(dir.path);
    c.start(1);
    ASSERT_TRUE(eventually([&] { return c.capture_thread_running.load(); }));
    constexpr int flood = 150;
    for (int i = 0; i < flood; ++i)
        sim.emit_event(3, orw::unitsim::event_error);
    ASSERT_TRUE(eventually([&] { return c.completed >= flood; }, 20000)) << c.completed.load();
    {
        std::lock_guard<std::mutex> guard(c.wflock);
        EXPECT_EQ(c.savedwf.size(), orw::trc::capture::max_saved_waveforms);
    }
    EXPECT_EQ(c.waveforms_dropped.load(), flood - orw::trc::capture::max_saved_waveforms);
    const auto begin = std::chrono::steady_clock::now();
    c.stop();
    c.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_EQ(static_cast<size_t>(c.saved.load()), orw::trc::capture::max_saved_waveforms);
    EXPECT_EQ(dir.files().size(), 5 * orw::trc::capture::max_saved_waveforms);
}

namespace {

// In a child whose files may grow to 16 KiB, a waveform's picture cannot be
// written whole. Returns 0, or the number of the first check that failed.
int waveform_under_file_limit(const std::string &dir)
{
    rlimit rl = {16 * 1024, 16 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
        return 1;
    orw::unitsim::simulator sim(orw::unitsim::recording_unit("TRC-8"));
    sim.set_waveform(3, port3_waveform());
    waveform_probe c(sim.address().c_str(), "", 0, 0);
    c.tick_length = std::chrono::milliseconds(10);
    c.set_wf_dir(dir);
    c.start(1);
    if (!eventually([&] { return c.capture_thread_running.load(); }))
        return 2;
    sim.emit_event(3, orw::unitsim::event_error);
    if (!eventually([&] { return c.saved >= 1; }))
        return 3;
    c.stop();
    try {
        c.wait();
        return 4; // the lost file went unreported
    } catch (const orw::error &e) {
        if (e.name() != dir + "/" || std::string(e.text()) != "waveform files could not be written")
            return 5;
    }
    return c.files.size() < 5 ? 0 : 6;
}

} // namespace

// A waveform file that cannot be written whole never appears under its final
// name, and the capture's stop reports the directory.
TEST(CaptureWaveforms, FilesNotWrittenWholeAreReportedAndNeverLeftBehind)
{
    test::scratch_dir dir;
    test::expect_child_passes([&] { return waveform_under_file_limit(dir.path); });
    const std::vector<std::string> names = dir.files();
    EXPECT_FALSE(names.empty()) << "the small files are still written";
    for (const std::string &n : names) {
        EXPECT_TRUE(std::regex_match(n, std::regex("[0-9]+_port3_3_1\\.(swf|txt|csv|vcd)"))) << n;
        struct stat st;
        EXPECT_TRUE(stat((dir / n).c_str(), &st) == 0 && st.st_size > 0) << n;
    }
}
