// Environment, directory trees, console echo, CPUs and the atomic counter.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

/* What the system tells about itself: the same figures and identities as
 * the kernel's own interfaces. */
TEST(SysTest, MemoryStorageAndIdentities)
{
    uint64_t mem = 0;
    ASSERT_EQ(ozSysMemSizeGet(&mem), OK);
    uint64_t pages = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    EXPECT_GT(mem, 0u);
    EXPECT_LE(mem, pages + (1u << 20)); /* MemTotal leaves out what the kernel keeps */
    EXPECT_GT(mem, pages / 2);
    EXPECT_EQ(ozSysMemSizeGet(nullptr), ERROR);

    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(dir.c_str(), &vfs), 0);
    uint64_t want = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    for (const std::string &path : {dir, dir + "/", dir + "/not/yet/made", dir + "/not/yet/made/"}) {
        uint64_t size = 0;
        EXPECT_EQ(ozSysStorageSizeGet(path.c_str(), &size), OK) << path;
        EXPECT_EQ(size, want) << path;
    }
    std::string file = dir + "/file";
    std::ofstream(file) << "x";
    uint64_t size = 0;
    EXPECT_EQ(ozSysStorageSizeGet((file + "/below").c_str(), &size), OK); /* a file on the way: its file system */
    EXPECT_EQ(size, want);
    EXPECT_EQ(ozSysStorageSizeGet("", &size), ERROR);
    EXPECT_EQ(ozSysStorageSizeGet(nullptr, &size), ERROR);
    unlink(file.c_str());
    rmdir(dir.c_str());

    struct Id {
        const char *file;
        STATUS (*get)(char *, size_t);
    } ids[] = {{"/proc/sys/kernel/random/boot_id", ozSysBootIdGet}, {"/etc/machine-id", ozSysMachineIdGet}};
    for (const auto &id : ids) {
        std::string text;
        std::getline(std::ifstream(id.file), text);
        char buf[128];
        if (text.empty()) {
            EXPECT_EQ(id.get(buf, sizeof buf), ERROR) << id.file;
            EXPECT_EQ(errno, ENOENT);
            continue;
        }
        ASSERT_EQ(id.get(buf, sizeof buf), OK) << id.file;
        EXPECT_EQ(std::string(buf), text);
        char small[8] = "x";
        EXPECT_EQ(id.get(small, sizeof small), ERROR);
        EXPECT_EQ(errno, ERANGE);
        EXPECT_STREQ(small, "");
    }
}

} // namespace
