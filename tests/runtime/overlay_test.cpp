/*
 * overlay_test.cpp - overlay availability in both modes (device directory
 * present or not) and overlay devices with and without a writable upper
 * layer, on real overlay mounts (root only).
 */
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "ozcOverlayLib.h"

using namespace oztest;

namespace {

class OverlayTest : public ::testing::Test {
protected:
    ScratchDir s;
    std::string devDir = s.base + "/overlay";
    std::string upper = s.base + "/upper";
    std::string lower1 = s.base + "/lower1";
    std::string lower2 = s.base + "/lower2";
    std::string dev = devDir + "/rootfs0";

    void SetUp() override
    {
        for (const auto &d : {devDir, upper, lower1, lower2})
            ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
        writeFile(lower1 + "/a", "top");
        writeFile(lower2 + "/a", "bottom");
        writeFile(lower2 + "/b", "only below");
        ozOvlDevDirSet(devDir.c_str());
    }
    void TearDown() override
    {
        (void)ozcRemoveOvlRootfsDev(dev.c_str());
        ozOvlDevDirSet(nullptr);
        EXPECT_EQ(readFile(lower1 + "/a"), "top");
        EXPECT_EQ(listDir(lower1), std::set<std::string>{"a"});
        EXPECT_EQ(listDir(lower2), (std::set<std::string>{"a", "b"}));
        s.expectOutsideUntouched();
    }
    bool overlaysWork() { return geteuid() == 0 && readFile("/proc/filesystems").find("overlay") != std::string::npos; }
};

TEST_F(OverlayTest, AvailabilityFollowsTheDeviceDirectory)
{
    EXPECT_EQ(ozcOvlFsAvailable(), TRUE);
    /* Asked afresh: the directory going away switches overlays off. */
    ASSERT_EQ(rmdir(devDir.c_str()), 0);
    EXPECT_EQ(ozcOvlFsAvailable(), FALSE);
    ASSERT_EQ(mkdir(devDir.c_str(), 0755), 0);
    EXPECT_EQ(ozcOvlFsAvailable(), TRUE);
    /* An empty override disables overlays; the environment names the
     * directory when nothing is set in-process. */
    ozOvlDevDirSet("");
    EXPECT_EQ(ozcOvlFsAvailable(), FALSE);
    ozOvlDevDirSet(nullptr);
    ASSERT_EQ(setenv("OZ_OVERLAY_DEV_DIR", devDir.c_str(), 1), 0);
    EXPECT_EQ(ozcOvlFsAvailable(), TRUE);
    ASSERT_EQ(setenv("OZ_OVERLAY_DEV_DIR", (s.base + "/absent").c_str(), 1), 0);
    EXPECT_EQ(ozcOvlFsAvailable(), FALSE);
    unsetenv("OZ_OVERLAY_DEV_DIR");
    ozOvlDevDirSet(devDir.c_str());
}

TEST_F(OverlayTest, DeviceWithUpperLayerTakesWrites)
{
    if (!overlaysWork())
        GTEST_SKIP() << "needs root and overlay support";
    const char *dirs[] = {upper.c_str(), lower1.c_str(), lower2.c_str()};
    ASSERT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), dirs, 3, TRUE), OK) << strerror(errno);
    EXPECT_EQ(readFile(dev + "/a"), "top"); /* topmost lower layer first */
    EXPECT_EQ(readFile(dev + "/b"), "only below");
    writeFile(dev + "/new", "written");
    writeFile(dev + "/b", "changed");
    EXPECT_EQ(readFile(upper + "/new"), "written");
    EXPECT_EQ(readFile(upper + "/b"), "changed");
    EXPECT_EQ(readFile(lower2 + "/b"), "only below");
    /* The device exists once. */
    errno = 0;
    EXPECT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), dirs, 3, TRUE), ERROR);
    EXPECT_NE(errno, 0);

    ASSERT_EQ(ozcRemoveOvlRootfsDev(dev.c_str()), OK) << strerror(errno);
    EXPECT_FALSE(isRegular(dev + "/a"));
    EXPECT_EQ(ozcRemoveOvlRootfsDev(dev.c_str()), ERROR);
}

TEST_F(OverlayTest, DeviceWithoutUpperLayerIsReadOnly)
{
    if (!overlaysWork())
        GTEST_SKIP() << "needs root and overlay support";
    const char *dirs[] = {lower1.c_str(), lower2.c_str()};
    ASSERT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), dirs, 2, FALSE), OK) << strerror(errno);
    EXPECT_EQ(readFile(dev + "/a"), "top");
    EXPECT_EQ(readFile(dev + "/b"), "only below");
    errno = 0;
    int fd = open((dev + "/new").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(errno, EROFS);
    if (fd >= 0)
        close(fd);
    ASSERT_EQ(ozcRemoveOvlRootfsDev(dev.c_str()), OK) << strerror(errno);
    EXPECT_TRUE(listDir(upper).empty());
}

TEST_F(OverlayTest, BadArgumentsAndNoOverlays)
{
    const char *dirs[] = {upper.c_str(), lower1.c_str()};
    const char *withNull[] = {lower1.c_str(), nullptr};
    errno = 0;
    EXPECT_EQ(ozcCreateOvlRootfsDev(nullptr, dirs, 2, TRUE), ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), nullptr, 2, TRUE), ERROR);
    EXPECT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), dirs, 0, FALSE), ERROR);
    EXPECT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), withNull, 2, FALSE), ERROR);
    /* An upper layer needs a lower layer below it. */
    EXPECT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), dirs, 1, TRUE), ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ozcRemoveOvlRootfsDev(nullptr), ERROR);
    EXPECT_EQ(errno, EINVAL);

    ozOvlDevDirSet("");
    EXPECT_EQ(ozcCreateOvlRootfsDev(dev.c_str(), dirs, 2, TRUE), ERROR);
    EXPECT_TRUE(listDir(upper).empty());
}

} // namespace
