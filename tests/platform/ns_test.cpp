// Container namespaces, for real as root: a busybox root made the root of a
// persistent mount namespace, what its processes can see, the in-use query,
// signal-all, mounts into the namespace, teardown and deletion.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

namespace {

constexpr unsigned kNsFlags = 0x1001;

class NsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = ozt::rootTestBlocker();
        if (!why.empty())
            GTEST_SKIP() << "skipped: " << why;
        ASSERT_FALSE(tmp.path.empty());
        root = tmp.path + "/root";
        ASSERT_TRUE(ozt::makeBusyboxRoot(root));
        nsId = ozNsCreate(kNsFlags);
        ASSERT_GE(nsId, 0) << strerror(errno);
        ASSERT_EQ(OK, ozNsRootfsSetup(nsId, root.c_str(), "nstest")) << strerror(errno);
    }

    void TearDown() override
    {
        if (nsId >= 0) {
            ozNsKillAll(nsId, SIGKILL);
            ozt::waitFor([this] {
                BOOL inUse = TRUE;
                return ozNsInUse(nsId, &inUse) != OK || !inUse;
            });
            ozNsRootfsTeardown(nsId, root.c_str(), "nstest");
            ozNsDelete(nsId);
        }
    }

    bool inUse(int id)
    {
        BOOL v = FALSE;
        EXPECT_EQ(OK, ozNsInUse(id, &v));
        return v == TRUE;
    }

    ozt::TempDir tmp;
    std::string root;
    int nsId = -1;
};

TEST_F(NsTest, ProcessSeesOnlyItsRoot)
{
    // A host file, reachable from the container neither by its path nor
    // through an absolute link that names it.
    const std::string secret = tmp.path + "/secret.txt";
    ASSERT_TRUE(ozt::writeFile(secret, "host only\n"));
    ASSERT_EQ(0, symlink(secret.c_str(), (root + "/escape").c_str()));
    ASSERT_EQ(0, symlink("/etc/hostname", (root + "/hostlink").c_str()));
    ASSERT_TRUE(ozt::writeFile(root + "/inside.txt", "inside\n"));

    std::string script = "cat /inside.txt > /got-inside; echo $? > /rc-inside;"
                         "cat /escape > /got-escape 2>/err; echo $? > /rc-escape;"
                         "cat " + secret + " > /got-path 2>/err; echo $? > /rc-path;"
                         "cat /hostlink > /got-link 2>/err; echo $? > /rc-link;"
                         "ls / > /listing";
    ASSERT_EQ(0, ozt::shellRun(nsId, script));

    EXPECT_EQ("0\n", ozt::readFile(root + "/rc-inside"));
    EXPECT_EQ("inside\n", ozt::readFile(root + "/got-inside"));
    EXPECT_NE("0\n", ozt::readFile(root + "/rc-escape"));
    EXPECT_EQ("", ozt::readFile(root + "/got-escape"));
    EXPECT_NE("0\n", ozt::readFile(root + "/rc-path"));
    EXPECT_EQ("", ozt::readFile(root + "/got-path"));
    EXPECT_NE("0\n", ozt::readFile(root + "/rc-link"));
    // The root the process lists is the container's, not the host's.
    std::string listing = ozt::readFile(root + "/listing");
    EXPECT_NE(std::string::npos, listing.find("inside.txt"));
    EXPECT_EQ(std::string::npos, listing.find("etc"));
    EXPECT_EQ(std::string::npos, listing.find("usr"));
    // The root is set up once.
    EXPECT_EQ(ERROR, ozNsRootfsSetup(nsId, root.c_str(), "nstest"));
    EXPECT_EQ(EBUSY, errno);
}

TEST_F(NsTest, InUseAndKillAllReachExactlyTheMembers)
{
    EXPECT_FALSE(inUse(nsId));

    // A second container and a host process, both with the same program.
    ozt::TempDir other;
    std::string otherRoot = other.path + "/root";
    ASSERT_TRUE(ozt::makeBusyboxRoot(otherRoot));
    int otherNs = ozNsCreate(kNsFlags);
    ASSERT_GE(otherNs, 0);
    ASSERT_NE(nsId, otherNs);
    ASSERT_EQ(OK, ozNsRootfsSetup(otherNs, otherRoot.c_str(), "other"));

    pid_t member = 0, bystander = 0, host = 0;
    // The member forks a grandchild that kill-all must reach as well.
    ASSERT_EQ(0, ozt::shellSpawn(nsId, "sleep 100 & sleep 100", &member));
    ASSERT_EQ(0, ozt::shellSpawn(otherNs, "sleep 100", &bystander));
    ASSERT_EQ(0, ozt::shellSpawn(-1, "exec /bin/busybox sleep 100", &host));
    EXPECT_TRUE(ozt::waitFor([&] { return inUse(nsId); }));
    EXPECT_TRUE(inUse(otherNs));

    ASSERT_EQ(OK, ozNsKillAll(nsId, SIGKILL));
    int st = 0;
    ASSERT_EQ(member, ozProcWait(member, &st, 0));
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    // The grandchild went too: nothing lives in the namespace any more.
    EXPECT_TRUE(ozt::waitFor([&] { return !inUse(nsId); }));

    // Nothing else was touched.
    EXPECT_EQ(0, ozProcWait(bystander, &st, WNOHANG));
    EXPECT_EQ(0, ozProcWait(host, &st, WNOHANG));
    EXPECT_TRUE(inUse(otherNs));

    ASSERT_EQ(OK, ozNsKillAll(otherNs, SIGTERM));
    ASSERT_EQ(bystander, ozProcWait(bystander, &st, 0));
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    kill(host, SIGKILL);
    ozProcWait(host, &st, 0);

    EXPECT_EQ(OK, ozNsRootfsTeardown(otherNs, otherRoot.c_str(), "other"));
    EXPECT_EQ(OK, ozNsDelete(otherNs));
    // Signal-all of an empty namespace has nothing to do and succeeds.
    EXPECT_EQ(OK, ozNsKillAll(nsId, SIGKILL));
}

TEST_F(NsTest, MountsAreMadeInsideTheNamespaceOnly)
{
    const std::string share = tmp.path + "/share";
    ASSERT_EQ(OK, ozMkdirP(share.c_str(), 0755));
    ASSERT_TRUE(ozt::writeFile(share + "/data.txt", "shared\n"));
    const std::string hostFile = tmp.path + "/config.txt";
    ASSERT_TRUE(ozt::writeFile(hostFile, "one file\n"));

    const char *roBind[] = {"rbind", "ro"};
    ASSERT_EQ(OK, ozNsMount(nsId, root.c_str(), share.c_str(), "/mnt/share", "bind", roBind, 2))
        << strerror(errno);
    const char *fileBind[] = {"bind"};
    ASSERT_EQ(OK, ozNsMount(nsId, root.c_str(), hostFile.c_str(), "/etc/config.txt", "none",
                            fileBind, 1));
    const char *tmpfsOpts[] = {"nosuid", "nodev", "mode=1777", "size=1m"};
    ASSERT_EQ(OK, ozNsMount(nsId, root.c_str(), "tmpfs", "/tmp", "tmpfs", tmpfsOpts, 4));
    ASSERT_EQ(OK, ozNsMount(nsId, root.c_str(), "proc", "/proc", "proc", nullptr, 0));

    std::string script = "cat /mnt/share/data.txt > /got-share;"
                         "touch /mnt/share/new 2>/err; echo $? > /rc-write;"
                         "cat /etc/config.txt > /got-file;"
                         "touch /tmp/scratch; echo $? > /rc-tmp;"
                         "cat /proc/self/stat > /got-proc";
    ASSERT_EQ(0, ozt::shellRun(nsId, script));
    EXPECT_EQ("shared\n", ozt::readFile(root + "/got-share"));
    EXPECT_NE("0\n", ozt::readFile(root + "/rc-write")); // read-only bind
    EXPECT_NE(0, access((share + "/new").c_str(), F_OK));
    EXPECT_EQ("one file\n", ozt::readFile(root + "/got-file"));
    EXPECT_EQ("0\n", ozt::readFile(root + "/rc-tmp"));
    EXPECT_FALSE(ozt::readFile(root + "/got-proc").empty());
    // The host sees the mount points, never the mounts.
    EXPECT_NE(0, access((root + "/tmp/scratch").c_str(), F_OK));
    EXPECT_NE(0, access((root + "/mnt/share/data.txt").c_str(), F_OK));

    EXPECT_EQ(OK, ozNsUnmount(nsId, root.c_str(), "/proc"));
    EXPECT_EQ(OK, ozNsUnmount(nsId, root.c_str(), "/tmp"));
    EXPECT_EQ(OK, ozNsUnmount(nsId, root.c_str(), "/etc/config.txt"));
    EXPECT_EQ(OK, ozNsUnmount(nsId, root.c_str(), "/mnt/share"));
    EXPECT_EQ(1, ozt::shellRun(nsId, "cat /mnt/share/data.txt 2>/err || exit 1"));
    // Unmounting what is not mounted fails.
    EXPECT_EQ(ERROR, ozNsUnmount(nsId, root.c_str(), "/mnt/share"));
    // A bind of a missing source fails cleanly.
    EXPECT_EQ(ERROR, ozNsMount(nsId, root.c_str(), (tmp.path + "/missing").c_str(), "/mnt/x",
                               "bind", roBind, 2));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(NsTest, TeardownAndDeleteReleaseEverything)
{
    int id = nsId;
    ASSERT_EQ(OK, ozNsRootfsTeardown(id, root.c_str(), "nstest"));
    // The namespace no longer holds the root: nothing of it is left to run.
    pid_t pid = 0;
    EXPECT_EQ(ENOENT, ozt::shellSpawn(id, "true", &pid));
    ASSERT_EQ(OK, ozNsDelete(id));
    nsId = -1;
    // The id is gone for every operation.
    BOOL v = FALSE;
    EXPECT_EQ(ERROR, ozNsInUse(id, &v));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozNsDelete(id));
    EXPECT_EQ(ERROR, ozNsKillAll(id, SIGKILL));
    EXPECT_EQ(EINVAL, ozt::shellSpawn(id, "true", &pid));
    // Ids are not handed out again at once.
    int next = ozNsCreate(kNsFlags);
    ASSERT_GE(next, 0);
    EXPECT_NE(id, next);
    EXPECT_EQ(OK, ozNsDelete(next));
}

TEST(NsArgs, BadArgumentsAreRefused)
{
    BOOL v = FALSE;
    EXPECT_EQ(ERROR, ozNsInUse(-1, &v));
    EXPECT_EQ(ERROR, ozNsInUse(0, nullptr));
    EXPECT_EQ(ERROR, ozNsRootfsSetup(-5, "/tmp", "x"));
    EXPECT_EQ(ERROR, ozNsMount(-1, "/", "/tmp", "relative", "bind", nullptr, 0));
    EXPECT_EQ(ERROR, ozNsKillAll(-1, SIGKILL));
    EXPECT_EQ(ERROR, ozNsKillAll(0, 1000));
}

} // namespace
