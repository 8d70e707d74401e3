// SPDX-License-Identifier: MIT
// Error types, the recursive lock and its guard, and saving buffers to files.
#include "Orwin_Utils.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

TEST(Errors, CarryAddressCodeTextAndErrno)
{
    errno = ENOENT;
    orw::error e("unit-7:4949", -49, "Link is not connected");
    errno = 0;
    EXPECT_EQ(e.get(), -49);
    EXPECT_EQ(e.oserr(), ENOENT);
    EXPECT_EQ(e.name(), "unit-7:4949");
    EXPECT_STREQ(e.text(), "Link is not connected");
    std::string what = e.what();
    EXPECT_NE(what.find("unit-7:4949"), std::string::npos);
    EXPECT_NE(what.find("-49"), std::string::npos);
    EXPECT_NE(what.find("Link is not connected"), std::string::npos);

    orw::error explicit_errno("file", -2, nullptr, EIO);
    EXPECT_EQ(explicit_errno.oserr(), EIO);
    EXPECT_NE(std::string(explicit_errno.what()).find("file"), std::string::npos) << "null text accepted";

    // Caught as the standard exception.
    try {
        throw orw::error("x", -10, "timeout");
    } catch (const std::exception &any) {
        EXPECT_NE(std::string(any.what()).find("timeout"), std::string::npos);
    }

    orw::spacewire::address_error a("dest address is invalid", 0x1F);
    EXPECT_STREQ(a.text(), "dest address is invalid");
    EXPECT_EQ(a.value(), 0x1F);
    EXPECT_STREQ(a.what(), "dest address is invalid");
}

TEST(Locks, RecursiveForOwnerExclusiveForOthers)
{
    orw::utils::lock l;
    l.acquire();
    {
        orw::utils::scopelock again(l); // the owner may lock again
        std::atomic<bool> other_got_it{true};
        std::thread other([&] { other_got_it = l.l.try_lock(); });
        other.join();
        EXPECT_FALSE(other_got_it);
    }
    l.release();

    std::atomic<bool> free_now{false};
    std::thread other([&] {
        free_now = l.l.try_lock();
        if (free_now)
            l.l.unlock();
    });
    other.join();
    EXPECT_TRUE(free_now);
}

TEST(Locks, ScopeGuardReleasesOnException)
{
    orw::utils::lock l;
    try {
        orw::utils::scopelock guard(l);
        throw std::runtime_error("inside");
    } catch (const std::runtime_error &) {
    }
    std::atomic<bool> got{false};
    std::thread other([&] {
        got = l.l.try_lock();
        if (got)
            l.l.unlock();
    });
    other.join();
    EXPECT_TRUE(got);
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Save : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/orwin_save_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override
    {
        unlink((dir + "/out").c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

TEST_F(Save, HeaderThenDataOrDataAlone)
{
    const std::string path = dir + "/out";
    const std::string data = "payload-bytes";
    const std::string header = "HDR:";
    EXPECT_FALSE(orw::spacewire::utils::save(path, data.data(), data.size(), header.data(), header.size()));
    EXPECT_EQ(slurp(path), "HDR:payload-bytes");

    // Saving again truncates; an empty header writes the data alone.
    EXPECT_FALSE(orw::spacewire::utils::save(path, data.data(), data.size(), nullptr, 0));
    EXPECT_EQ(slurp(path), data);

    std::vector<char> big(3 << 20, 'z');
    EXPECT_FALSE(orw::spacewire::utils::save(path, big.data(), big.size(), nullptr, 0));
    EXPECT_EQ(slurp(path).size(), big.size());
}

TEST_F(Save, FailureReportedAndNoFileLeft)
{
    const std::string missing_dir = dir + "/no/such/dir/out";
    EXPECT_TRUE(orw::spacewire::utils::save(missing_dir, "x", 1, nullptr, 0));
    struct stat st;
    EXPECT_NE(stat(missing_dir.c_str(), &st), 0);
    // A device that refuses the data is reported, never removed.
    if (stat("/dev/full", &st) == 0) {
        EXPECT_TRUE(orw::spacewire::utils::save("/dev/full", "x", 1, nullptr, 0));
        EXPECT_EQ(stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

} // namespace
