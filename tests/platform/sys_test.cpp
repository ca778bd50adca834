// Environment, directory trees, console echo, CPUs and the atomic counter.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ozt;

namespace {

std::string makeTempDir()
{
    char tmpl[] = "/tmp/ozsysXXXXXX";
    return mkdtemp(tmpl) != nullptr ? tmpl : "";
}

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

TEST(SysTest, EnvironmentGetSetAndBounds)
{
    std::string name = "OZ_TEST_ENV_" + std::to_string(getpid());
    char buf[8] = "junk";
    errno = 0;
    EXPECT_EQ(ozEnvGet(name.c_str(), buf, sizeof buf), ERROR);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_STREQ(buf, "");
    ASSERT_EQ(ozEnvSet(name.c_str(), "1234567"), OK);
    EXPECT_EQ(ozEnvGet(name.c_str(), buf, sizeof buf), OK);
    EXPECT_STREQ(buf, "1234567");
    ASSERT_EQ(ozEnvSet(name.c_str(), "12345678"), OK);
    errno = 0;
    EXPECT_EQ(ozEnvGet(name.c_str(), buf, sizeof buf), ERROR);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(buf, "") << "a value that does not fit leaves the buffer empty";
    EXPECT_EQ(ozEnvSet(name.c_str(), nullptr), OK);
    EXPECT_EQ(ozEnvGet(name.c_str(), buf, sizeof buf), ERROR);
    EXPECT_EQ(ozEnvSet("A=B", "x"), ERROR);
    EXPECT_EQ(ozEnvSet("", "x"), ERROR);
    EXPECT_EQ(errnoSet(1234), OK);
    EXPECT_EQ(errnoGet(), 1234);
}

TEST(SysTest, MkdirPAndRmTreeStayInsideTheTree)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string deep = dir + "/a/b//c/d/";
    ASSERT_EQ(ozMkdirP(deep.c_str(), 0700), OK);
    struct stat st;
    ASSERT_EQ(stat((dir + "/a/b/c/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ozMkdirP(deep.c_str(), 0700), OK); // existing is fine
    std::ofstream(dir + "/a/file") << "x";
    errno = 0;
    EXPECT_EQ(ozMkdirP((dir + "/a/file/sub").c_str(), 0700), ERROR);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(ozMkdirP("", 0700), ERROR);

    // A tree with links pointing outside: the outside survives.
    std::string outside = makeTempDir();
    std::ofstream(outside + "/precious") << "keep";
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/a/b/linkdir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/precious").c_str(), (dir + "/a/linkfile").c_str()), 0);
    ASSERT_EQ(ozMkdirP((dir + "/a/ro").c_str(), 0500), OK); // unwritable dir, empty
    EXPECT_EQ(ozRmTree((dir + "/a").c_str()), OK);
    EXPECT_FALSE(exists(dir + "/a"));
    EXPECT_TRUE(exists(outside + "/precious"));
    EXPECT_EQ(ozRmTree((dir + "/missing").c_str()), OK);
    // A link given as the tree itself is removed, not followed.
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/top").c_str()), 0);
    EXPECT_EQ(ozRmTree((dir + "/top").c_str()), OK);
    EXPECT_TRUE(exists(outside + "/precious"));
    EXPECT_EQ(ozRmTree(dir.c_str()), OK);
    EXPECT_EQ(ozRmTree(outside.c_str()), OK);
    EXPECT_FALSE(exists(outside));
}

TEST(SysTest, ConsoleEchoOnATerminal)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    BOOL on = FALSE;
    ASSERT_EQ(ozConsoleEchoGet(slave, &on), OK);
    EXPECT_TRUE(on);
    ASSERT_EQ(ozConsoleEchoSet(slave, FALSE), OK);
    ASSERT_EQ(ozConsoleEchoGet(slave, &on), OK);
    EXPECT_FALSE(on);
    ASSERT_EQ(ozConsoleEchoSet(slave, TRUE), OK);
    ASSERT_EQ(ozConsoleEchoGet(slave, &on), OK);
    EXPECT_TRUE(on);
    close(master);
    close(slave);
    int fd = open("/dev/null", O_RDONLY);
    errno = 0;
    EXPECT_EQ(ozConsoleEchoGet(fd, &on), ERROR);
    EXPECT_EQ(errno, ENOTTY);
    close(fd);
}

TEST(SysTest, AtomicIncrementFromManyTasksAndCpuSet)
{
    int64_t counter = 0;
    std::vector<TASK_ID> tasks;
    for (int i = 0; i < 4; i++)
        tasks.push_back(spawn("tInc", [&counter] {
            for (int k = 0; k < 20000; k++)
                ozAtomic64Inc(&counter);
            return 0;
        }));
    for (TASK_ID t : tasks)
        EXPECT_EQ(taskWait(t, 10 * sysClkRateGet(), nullptr), OK);
    EXPECT_EQ(counter, 80000);
    int64_t big = INT64_C(0x7ffffffffffffff0);
    EXPECT_EQ(ozAtomic64Inc(&big), INT64_C(0x7ffffffffffffff0));
    EXPECT_EQ(big, INT64_C(0x7ffffffffffffff1));

    uint64_t cpus = ozCpuEnabledSetGet();
    EXPECT_NE(cpus, 0u);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_LE(__builtin_popcountll(cpus), online > 64 ? 64 : online);
}

} // namespace

namespace {

/* The host platform names must be the ones the OS's own package tools use
 * for images and nodes of this machine. */
TEST(SysTest, HostPlatformNamesMatchTheDistribution)
{
    EXPECT_STREQ(ozSysOsNameGet(), "linux");
    std::string dpkgArch;
    if (oztest::sh("dpkg --print-architecture 2>/dev/null", &dpkgArch) != 0 || dpkgArch.empty())
        GTEST_SKIP() << "no dpkg to compare with";
    while (!dpkgArch.empty() && (dpkgArch.back() == '\n' || dpkgArch.back() == ' '))
        dpkgArch.pop_back();
    if (dpkgArch == "armhf" || dpkgArch == "armel")
        dpkgArch = "arm";
    if (dpkgArch == "i386")
        dpkgArch = "386";
    EXPECT_EQ(std::string(ozSysArchNameGet()), dpkgArch);
}

} // namespace
