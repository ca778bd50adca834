// The overlay driver on real overlayfs: devices with and without a writable
// upper layer, several lower layers, exclusive creation, removal, and the
// device directory override that switches overlays off.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace {

class OvlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = ozt::rootTestBlocker();
        if (!why.empty())
            GTEST_SKIP() << "skipped: " << why;
        devDir = tmp.path() + "/overlay";
        ASSERT_EQ(OK, ozMkdirP(devDir.c_str(), 0755));
        ozOvlDevDirSet(devDir.c_str());
        for (const char *layer : {"l1", "l2", "l3"})
            ASSERT_EQ(OK, ozMkdirP((tmp.path() + "/" + layer).c_str(), 0755));
        // l1 is topmost: its version of shared.txt wins.
        ASSERT_TRUE(ozt::writeFile(tmp.path() + "/l1/shared.txt", "from l1\n"));
        ASSERT_TRUE(ozt::writeFile(tmp.path() + "/l2/shared.txt", "from l2\n"));
        ASSERT_TRUE(ozt::writeFile(tmp.path() + "/l2/only2.txt", "two\n"));
        ASSERT_TRUE(ozt::writeFile(tmp.path() + "/l3/only3.txt", "three\n"));
    }

    void TearDown() override { ozOvlDevDirSet(nullptr); }

    std::string layer(const char *name) { return tmp.path() + "/" + name; }

    ozt::TempDir tmp;
    std::string devDir;
};

TEST_F(OvlTest, WritableDeviceOverUpperAndLowers)
{
    ASSERT_TRUE(ozOvlAvailable());
    const std::string upper = tmp.path() + "/ctr/upper";
    ASSERT_EQ(OK, ozMkdirP(upper.c_str(), 0755));
    const std::string dev = devDir + "/ctr";
    std::string l1 = layer("l1"), l2 = layer("l2");
    const char *dirs[] = {upper.c_str(), l1.c_str(), l2.c_str()};
    ASSERT_EQ(OK, ozOvlDevCreate(dev.c_str(), dirs, 3, TRUE)) << strerror(errno);

    EXPECT_EQ("from l1\n", ozt::readFile(dev + "/shared.txt"));
    EXPECT_EQ("two\n", ozt::readFile(dev + "/only2.txt"));
    // Writes land in the upper layer; the lower layers stay as they were.
    ASSERT_TRUE(ozt::writeFile(dev + "/shared.txt", "changed\n"));
    ASSERT_TRUE(ozt::writeFile(dev + "/new.txt", "new\n"));
    EXPECT_EQ("changed\n", ozt::readFile(upper + "/shared.txt"));
    EXPECT_EQ("new\n", ozt::readFile(upper + "/new.txt"));
    EXPECT_EQ("from l1\n", ozt::readFile(l1 + "/shared.txt"));
    // The work directory is beside the upper one.
    struct stat st;
    EXPECT_EQ(0, stat((upper + ".work").c_str(), &st));

    // Exclusive.
    EXPECT_EQ(ERROR, ozOvlDevCreate(dev.c_str(), dirs, 3, TRUE));
    EXPECT_EQ(EEXIST, errno);

    ASSERT_EQ(OK, ozOvlDevRemove(dev.c_str()));
    EXPECT_NE(0, access((dev + "/new.txt").c_str(), F_OK));
    EXPECT_EQ("new\n", ozt::readFile(upper + "/new.txt"));
    EXPECT_EQ(ERROR, ozOvlDevRemove(dev.c_str()));
    EXPECT_EQ(ENOENT, errno);

    // The same upper can carry a new device after removal.
    ASSERT_EQ(OK, ozOvlDevCreate(dev.c_str(), dirs, 3, TRUE));
    EXPECT_EQ("changed\n", ozt::readFile(dev + "/shared.txt"));
    EXPECT_EQ(OK, ozOvlDevRemove(dev.c_str()));
}

TEST_F(OvlTest, ReadOnlyDeviceOverSeveralLowers)
{
    const std::string dev = devDir + "/chain";
    std::string l1 = layer("l1"), l2 = layer("l2"), l3 = layer("l3");
    const char *dirs[] = {l1.c_str(), l2.c_str(), l3.c_str()};
    ASSERT_EQ(OK, ozOvlDevCreate(dev.c_str(), dirs, 3, FALSE)) << strerror(errno);
    EXPECT_EQ("from l1\n", ozt::readFile(dev + "/shared.txt"));
    EXPECT_EQ("two\n", ozt::readFile(dev + "/only2.txt"));
    EXPECT_EQ("three\n", ozt::readFile(dev + "/only3.txt"));
    int fd = open((dev + "/x").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(EROFS, errno);
    if (fd >= 0)
        close(fd);
    // A device still in use is detached and goes with its last user.
    int held = open((dev + "/only3.txt").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    EXPECT_EQ(OK, ozOvlDevRemove(dev.c_str()));
    char c;
    EXPECT_EQ(1, read(held, &c, 1));
    close(held);
    EXPECT_NE(0, access((dev + "/only3.txt").c_str(), F_OK));

    // One read-only layer.
    const char *one[] = {l3.c_str()};
    ASSERT_EQ(OK, ozOvlDevCreate(dev.c_str(), one, 1, FALSE)) << strerror(errno);
    EXPECT_EQ("three\n", ozt::readFile(dev + "/only3.txt"));
    fd = open((dev + "/y").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_LT(fd, 0);
    if (fd >= 0)
        close(fd);
    EXPECT_EQ(OK, ozOvlDevRemove(dev.c_str()));
}

TEST_F(OvlTest, BadRequestsAreRefused)
{
    std::string l1 = layer("l1"), l2 = layer("l2");
    const char *dirs[] = {l1.c_str(), l2.c_str()};
    // Outside the device directory, or climbing out of it.
    EXPECT_EQ(ERROR, ozOvlDevCreate((tmp.path() + "/elsewhere").c_str(), dirs, 2, FALSE));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozOvlDevCreate((devDir + "/../escape").c_str(), dirs, 2, FALSE));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozOvlDevCreate(devDir.c_str(), dirs, 2, FALSE));
    // An upper layer needs a lower one; layers must be directories.
    EXPECT_EQ(ERROR, ozOvlDevCreate((devDir + "/d").c_str(), dirs, 1, TRUE));
    EXPECT_EQ(EINVAL, errno);
    const char *missing[] = {l1.c_str(), "/no/such/layer"};
    EXPECT_EQ(ERROR, ozOvlDevCreate((devDir + "/d").c_str(), missing, 2, FALSE));
    EXPECT_EQ(ENOENT, errno);
    // A failed creation leaves no device directory behind.
    EXPECT_NE(0, access((devDir + "/d").c_str(), F_OK));
    // Removing what is not a device.
    ASSERT_EQ(OK, ozMkdirP((devDir + "/plain").c_str(), 0755));
    EXPECT_EQ(ERROR, ozOvlDevRemove((devDir + "/plain").c_str()));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(OvlTest, DeviceDirectoryOverride)
{
    EXPECT_EQ(devDir, ozOvlDevDirGet());
    EXPECT_TRUE(ozOvlAvailable());
    // The environment is followed while there is no explicit override.
    ozOvlDevDirSet(nullptr);
    ASSERT_EQ(OK, ozEnvSet("OZ_OVERLAY_DEV_DIR", nullptr));
    EXPECT_STREQ("/overlay", ozOvlDevDirGet());
    ASSERT_EQ(OK, ozEnvSet("OZ_OVERLAY_DEV_DIR", (tmp.path() + "/missing").c_str()));
    EXPECT_EQ(tmp.path() + "/missing", ozOvlDevDirGet());
    EXPECT_FALSE(ozOvlAvailable()); // the directory does not exist
    // Empty switches overlays off.
    ASSERT_EQ(OK, ozEnvSet("OZ_OVERLAY_DEV_DIR", ""));
    EXPECT_STREQ("", ozOvlDevDirGet());
    EXPECT_FALSE(ozOvlAvailable());
    std::string l1 = layer("l1"), l2 = layer("l2");
    const char *dirs[] = {l1.c_str(), l2.c_str()};
    EXPECT_EQ(ERROR, ozOvlDevCreate("/x", dirs, 2, FALSE));
    EXPECT_EQ(ENODEV, errno);
    ASSERT_EQ(OK, ozEnvSet("OZ_OVERLAY_DEV_DIR", nullptr));
    // An explicit override wins over the environment.
    ozOvlDevDirSet("");
    EXPECT_FALSE(ozOvlAvailable());
    ozOvlDevDirSet(devDir.c_str());
    EXPECT_TRUE(ozOvlAvailable());
}

} // namespace
