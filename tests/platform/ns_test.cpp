// Container namespaces, for real as root: a busybox root made the root of a
// persistent mount namespace, what its processes can see, the in-use query,
// signal-all, mounts into the namespace, teardown and deletion.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace {

constexpr unsigned kNsFlags = 0x1001;

class NsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = ozt::rootTestBlocker();
        if (!why.empty())
            GTEST_SKIP() << "skipped: " << why;
        ASSERT_FALSE(tmp.path().empty());
        root = tmp.path() + "/root";
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
    const std::string secret = tmp.path() + "/secret.txt";
    ASSERT_TRUE(ozt::writeFile(secret, "host only\n"));
    ASSERT_EQ(0, symlink(secret.c_str(), (root + "/escape").c_str()));
    ASSERT_EQ(0, symlink("/etc/hostname", (root + "/hostlink").c_str()));
    ASSERT_TRUE(ozt::writeFile(root + "/inside.txt", "inside\n"));

    std::string script = "cat /inside.txt > /got-inside; echo $? > /rc-inside;"
                         "cat /escape > /got-escape 2>/err; echo $? > /rc-escape;"
                         "cat " +
                         secret +
                         " > /got-path 2>/err; echo $? > /rc-path;"
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
    std::string otherRoot = other.path() + "/root";
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
    const std::string share = tmp.path() + "/share";
    ASSERT_EQ(OK, ozMkdirP(share.c_str(), 0755));
    ASSERT_TRUE(ozt::writeFile(share + "/data.txt", "shared\n"));
    const std::string hostFile = tmp.path() + "/config.txt";
    ASSERT_TRUE(ozt::writeFile(hostFile, "one file\n"));
    // Where the caller is: its mount namespace, root and working directory.
    auto whereAmI = [] {
        struct stat ns {
        }, rootDir{}, cwd{};
        stat("/proc/thread-self/ns/mnt", &ns);
        stat("/", &rootDir);
        stat(".", &cwd);
        return std::vector<ino_t>{ns.st_ino, rootDir.st_ino, cwd.st_ino};
    };
    const std::vector<ino_t> before = whereAmI();

    const char *roBind[] = {"rbind", "ro"};
    ASSERT_EQ(OK, ozNsMount(nsId, root.c_str(), share.c_str(), "/mnt/share", "bind", roBind, 2)) << strerror(errno);
    const char *fileBind[] = {"bind"};
    ASSERT_EQ(OK, ozNsMount(nsId, root.c_str(), hostFile.c_str(), "/etc/config.txt", "none", fileBind, 1));
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
    // The helpers that mounted inside left the caller where it was.
    EXPECT_EQ(before, whereAmI());
    // Unmounting what is not mounted fails.
    EXPECT_EQ(ERROR, ozNsUnmount(nsId, root.c_str(), "/mnt/share"));
    // A bind of a missing source fails cleanly.
    EXPECT_EQ(ERROR, ozNsMount(nsId, root.c_str(), (tmp.path() + "/missing").c_str(), "/mnt/x", "bind", roBind, 2));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(NsTest, DetachedMembersKeepTheirExitStatusForTheSpawner)
{
    // The node agent detaches the container processes it spawns and reads
    // how they ended by pid: a process of the container namespace is still
    // the spawner's child, whatever ended it.
    struct Case {
        const char *script;
        int code;
    } cases[] = {{"exit 3", 3}, {"kill -TERM $$", 128 + SIGTERM}, {"exec sleep 60", 137}};
    std::vector<pid_t> pids;
    for (const Case &c : cases) {
        pid_t pid = 0;
        ASSERT_EQ(0, ozt::shellSpawn(nsId, c.script, &pid)) << c.script;
        ASSERT_EQ(OK, ozProcDetach(pid));
        pids.push_back(pid);
    }
    // The last one runs until the whole namespace is killed.
    ASSERT_TRUE(ozt::waitFor([&] {
        int code = 0;
        return ozProcExitStatusGet(pids[0], &code) == OK && ozProcExitStatusGet(pids[1], &code) == OK;
    }));
    ASSERT_EQ(OK, ozNsKillAll(nsId, SIGKILL));
    for (size_t i = 0; i < pids.size(); i++) {
        int code = -1;
        EXPECT_TRUE(ozt::waitFor([&] { return ozProcExitStatusGet(pids[i], &code) == OK; })) << cases[i].script;
        EXPECT_EQ(cases[i].code, code) << cases[i].script;
    }
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

TEST_F(NsTest, KillAllReachesNamespacesMadeInside)
{
    // A process with every privilege enters the namespace and makes mount
    // and PID namespaces of its own below it: signal-all still ends it.
    std::string pin = "/run/orrery/ns/" + std::to_string(nsId);
    int pidNs = open((pin + "/1/ns/pid").c_str(), O_RDONLY | O_CLOEXEC);
    int mntNs = open((pin + "/1/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(pidNs, 0);
    ASSERT_GE(mntNs, 0);
    // outer stays on the host and reports how its child in the namespace
    // ended; that child makes the namespaces and a process inside them.
    pid_t outer = fork();
    if (outer == 0) {
        if (setns(pidNs, CLONE_NEWPID) != 0 || unshare(CLONE_FS) != 0 || setns(mntNs, CLONE_NEWNS) != 0)
            _exit(1);
        pid_t inner = fork();
        if (inner == 0) {
            if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
                _exit(2);
            if (fork() == 0)
                execl("/bin/busybox", "sleep", "100", (char *)nullptr);
            pause();
            _exit(0);
        }
        int st = 0;
        waitpid(inner, &st, 0);
        _exit(WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st));
    }
    close(pidNs);
    close(mntNs);
    ASSERT_GT(outer, 0);
    EXPECT_TRUE(ozt::waitFor([&] { return inUse(nsId); }));
    ASSERT_EQ(OK, ozNsKillAll(nsId, SIGKILL));
    int st = 0;
    ASSERT_EQ(outer, waitpid(outer, &st, 0));
    EXPECT_EQ(128 + SIGKILL, WEXITSTATUS(st));
    EXPECT_TRUE(ozt::waitFor([&] {
        BOOL v = TRUE;
        return ozNsInUse(nsId, &v) == OK && !v;
    }));
    // The namespace ends: nothing can be started in it any more.
    EXPECT_TRUE(ozt::waitFor([&] {
        pid_t pid = 0;
        int rc = ozt::shellSpawn(nsId, "true", &pid);
        if (rc == 0)
            ozProcWait(pid, &st, 0);
        return rc == ENOENT;
    }));
}

TEST_F(NsTest, ProcessesAreConfinedAndKnownAsMembers)
{
    // Host name, user and groups of what is spawned; files of the root
    // read as the container sees them.
    ASSERT_EQ(OK, ozNsHostnameSet(nsId, "inside"));
    const gid_t groups[] = {44, 55};
    ASSERT_EQ(OK, ozNsUserSet(nsId, 1000, 1001, groups, 2));
    ASSERT_EQ(0, chmod(root.c_str(), 0777));
    ASSERT_TRUE(ozt::writeFile(root + "/secret", "root only\n"));
    ASSERT_EQ(0, chmod((root + "/secret").c_str(), 0600));
    pid_t member = 0;
    ASSERT_EQ(0, ozt::shellSpawn(nsId,
                                 "cat /secret > /read 2>/dev/null; echo $? > /rc; "
                                 "hostname > /host; exec sleep 100",
                                 &member));
    ASSERT_TRUE(ozt::waitFor([&] { return !ozt::readFile(root + "/host").empty(); }));
    EXPECT_EQ("inside\n", ozt::readFile(root + "/host"));
    EXPECT_NE("0\n", ozt::readFile(root + "/rc")) << "user 1000 read a root-only file";
    std::string status = ozt::readFile("/proc/" + std::to_string(member) + "/status");
    EXPECT_NE(std::string::npos, status.find("Uid:\t1000\t1000\t1000\t1000")) << status;
    EXPECT_NE(std::string::npos, status.find("Gid:\t1001\t1001\t1001\t1001")) << status;
    EXPECT_NE(std::string::npos, status.find("Groups:\t44 55")) << status;
    EXPECT_NE(std::string::npos, status.find("CapBnd:\t0000000020000420")) << status;
    EXPECT_NE(std::string::npos, status.find("CapEff:\t0000000000000000")) << status;
    EXPECT_NE(std::string::npos, status.find("NoNewPrivs:\t1")) << status;
    // The host keeps its own name.
    char host[256] = "";
    gethostname(host, sizeof(host));
    EXPECT_STRNE("inside", host);

    // Members: the spawned process, never the holder, a host process or
    // one of another namespace; a kill reaches members only.
    EXPECT_EQ(OK, ozNsProcCheck(nsId, member));
    EXPECT_EQ(ERROR, ozNsProcCheck(nsId, getpid()));
    EXPECT_EQ(ESRCH, errno);
    pid_t holder = (pid_t)std::stoi(ozt::readFile("/run/orrery/ns/" + std::to_string(nsId) + ".holder"));
    EXPECT_EQ(ERROR, ozNsProcCheck(nsId, holder));
    EXPECT_EQ(ERROR, ozNsProcKill(nsId, getpid(), 0));
    EXPECT_EQ(OK, ozNsProcKill(nsId, member, SIGKILL));
    int st = 0;
    ASSERT_EQ(member, ozProcWait(member, &st, 0));
    EXPECT_EQ(ERROR, ozNsProcCheck(nsId, member)) << "reaped: no longer a member";

    // A file read inside the root: absolute links stay in it.
    ASSERT_TRUE(ozt::writeFile(tmp.path() + "/hostfile", "host\n"));
    ASSERT_EQ(0, symlink((tmp.path() + "/hostfile").c_str(), (root + "/link").c_str()));
    ASSERT_EQ(0, symlink("/secret", (root + "/inner").c_str()));
    char buf[64];
    EXPECT_EQ(ERROR, ozNsFileRead(nsId, "/link", buf, sizeof(buf)));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(10, ozNsFileRead(nsId, "/inner", buf, sizeof(buf)));
    EXPECT_STREQ("root only\n", buf);
    EXPECT_EQ(ERROR, ozNsFileRead(nsId, "/secret", buf, 4));
    EXPECT_EQ(EFBIG, errno);
    EXPECT_EQ(ERROR, ozNsUserSet(nsId, 0, 0, groups, 257));
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
