// Process spawn into a namespace: the program path is resolved inside the
// container root, the working directory and attributes apply, the exit
// status comes back through the wait, and nothing is left as a zombie.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

namespace {

class SpawnTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = ozt::rootTestBlocker();
        if (!why.empty())
            GTEST_SKIP() << "skipped: " << why;
        root = tmp.path() + "/root";
        ASSERT_TRUE(ozt::makeBusyboxRoot(root));
        nsId = ozNsCreate(0x1001);
        ASSERT_GE(nsId, 0);
        ASSERT_EQ(OK, ozNsRootfsSetup(nsId, root.c_str(), "spawntest"));
    }

    void TearDown() override
    {
        if (nsId < 0)
            return;
        ozNsKillAll(nsId, SIGKILL);
        ozt::waitFor([this] {
            BOOL inUse = TRUE;
            return ozNsInUse(nsId, &inUse) != OK || !inUse;
        });
        ozNsRootfsTeardown(nsId, root.c_str(), "spawntest");
        ozNsDelete(nsId);
    }

    int spawn(const std::string &path, std::vector<std::string> args, pid_t *pid, OZ_SPAWN_ATTR *attr = nullptr)
    {
        OZ_SPAWN_ATTR local;
        if (attr == nullptr) {
            ozSpawnAttrInit(&local);
            ozSpawnAttrNsSet(&local, nsId);
            attr = &local;
        }
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string pathEnv = "PATH=/bin";
        char *envp[] = {pathEnv.data(), nullptr};
        return ozSpawn(pid, path.c_str(), attr, argv.data(), envp);
    }

    int waitExit(pid_t pid)
    {
        int st = 0;
        if (ozProcWait(pid, &st, 0) != pid)
            return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    ozt::TempDir tmp;
    std::string root;
    int nsId = -1;
};

TEST_F(SpawnTest, ProgramPathIsResolvedInsideTheRoot)
{
    // A host program that leaves a mark when it runs, and a container link
    // that names it by its absolute host path.
    const std::string hostProg = tmp.path() + "/hostprog";
    const std::string mark = tmp.path() + "/ran-on-host";
    ASSERT_TRUE(ozt::writeFile(hostProg, "#!/bin/sh\ntouch " + mark + "\n"));
    ASSERT_EQ(0, chmod(hostProg.c_str(), 0755));
    ASSERT_EQ(0, symlink(hostProg.c_str(), (root + "/bin/evil").c_str()));

    pid_t pid = 0;
    EXPECT_EQ(ENOENT, spawn("/bin/evil", {"evil"}, &pid));
    EXPECT_EQ(ENOENT, spawn(hostProg, {"hostprog"}, &pid));
    // A host program that the container does not have.
    EXPECT_EQ(ENOENT, spawn("/usr/bin/env", {"env"}, &pid));
    EXPECT_NE(0, access(mark.c_str(), F_OK));

    // The container's own program, named inside the root or by its path
    // under the root file system path, as the runtime passes it.
    ASSERT_EQ(0, spawn("/bin/sh", {"sh", "-c", "exit 7"}, &pid));
    EXPECT_EQ(7, waitExit(pid));
    ASSERT_EQ(0, spawn(root + "/bin/sh", {"sh", "-c", "echo hi > /hello"}, &pid));
    EXPECT_EQ(0, waitExit(pid));
    EXPECT_EQ("hi\n", ozt::readFile(root + "/hello"));
    // An absolute link inside the container resolves inside it.
    ASSERT_EQ(0, symlink("/bin/busybox", (root + "/bin/tool").c_str()));
    ASSERT_EQ(0, spawn("/bin/tool", {"true"}, &pid));
    EXPECT_EQ(0, waitExit(pid));
}

TEST_F(SpawnTest, WorkingDirectoryAndAttributesApply)
{
    ASSERT_EQ(OK, ozMkdirP((root + "/work/dir").c_str(), 0755));
    OZ_SPAWN_ATTR a;
    ASSERT_EQ(0, ozSpawnAttrInit(&a));
    ASSERT_EQ(0, ozSpawnAttrNsSet(&a, nsId));
    ASSERT_EQ(0, ozSpawnAttrCwdSet(&a, "/work/dir"));
    ASSERT_EQ(0, ozSpawnAttrPrioritySet(&a, 255));
    ASSERT_EQ(0, ozSpawnAttrStackSizeSet(&a, 64u << 20));
    ASSERT_EQ(0, ozSpawnAttrOptionsSet(&a, 0x40));
    ASSERT_EQ(0, ozSpawnAttrTaskOptionsSet(&a, 0x100));
    ASSERT_EQ(0, ozSpawnAttrFlagsSet(&a, POSIX_SPAWN_SETSID));

    pid_t pid = 0;
    ASSERT_EQ(0,
              spawn("/bin/sh", {"sh", "-c", "pwd > cwd; ulimit -s > /stack; touch /ready; exec sleep 30"}, &pid, &a));
    ASSERT_TRUE(ozt::waitFor([&] { return access((root + "/ready").c_str(), F_OK) == 0; }));
    EXPECT_EQ("/work/dir\n", ozt::readFile(root + "/work/dir/cwd"));
    EXPECT_EQ("65536\n", ozt::readFile(root + "/stack"));
    // From the host: the lowest priority is the highest nice value, and
    // the process leads its own session.
    std::string stat = ozt::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f;
    for (std::string w; fields >> w;)
        f.push_back(w);
    ASSERT_GT(f.size(), 17u);
    EXPECT_EQ(std::to_string(pid), f[3]); // session id
    EXPECT_EQ("19", f[16]);               // nice
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitExit(pid));

    // A missing working directory fails the spawn and leaves no child.
    ASSERT_EQ(0, ozSpawnAttrCwdSet(&a, "/no/such/dir"));
    int before = ozt::zombieChildren();
    EXPECT_EQ(ENOENT, spawn("/bin/sh", {"sh", "-c", "true"}, &pid, &a));
    EXPECT_EQ(before, ozt::zombieChildren());
    ozSpawnAttrDestroy(&a);
}

TEST_F(SpawnTest, BlockedAndIgnoredSignalsAreNotInherited)
{
    // The node agent's main task blocks SIGTERM; its containers must still
    // stop on it.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &term, &old));
    struct sigaction ign {
    }, oldInt{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ign, &oldInt);
    pid_t a = 0, b = 0;
    int rcA = spawn("/bin/sleep", {"sleep", "30"}, &a);
    int rcB = spawn("/bin/sleep", {"sleep", "30"}, &b);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    ASSERT_EQ(0, rcA);
    ASSERT_EQ(0, rcB);
    kill(a, SIGTERM);
    kill(b, SIGINT);
    EXPECT_EQ(128 + SIGTERM, waitExit(a));
    EXPECT_EQ(128 + SIGINT, waitExit(b));
}

TEST_F(SpawnTest, DetachedProcessesLeaveNoZombies)
{
    pid_t quick = 0, slow = 0;
    ASSERT_EQ(0, spawn("/bin/true", {"true"}, &quick));
    ASSERT_EQ(0, spawn("/bin/sleep", {"sleep", "0.2"}, &slow));
    ASSERT_EQ(OK, ozProcDetach(quick));
    ASSERT_EQ(OK, ozProcDetach(slow));
    EXPECT_TRUE(ozt::waitFor([&] {
        return access(("/proc/" + std::to_string(quick)).c_str(), F_OK) != 0 &&
               access(("/proc/" + std::to_string(slow)).c_str(), F_OK) != 0;
    }));
    // Many at once, ending together.
    std::vector<pid_t> pids(20);
    for (pid_t &p : pids) {
        ASSERT_EQ(0, spawn("/bin/sleep", {"sleep", "0.1"}, &p));
        ASSERT_EQ(OK, ozProcDetach(p));
    }
    EXPECT_TRUE(ozt::waitFor([&] {
        for (pid_t p : pids)
            if (access(("/proc/" + std::to_string(p)).c_str(), F_OK) == 0)
                return false;
        return true;
    }));
    EXPECT_EQ(0, ozt::zombieChildren());
    // A failed exec leaves nothing either.
    pid_t none = 0;
    EXPECT_EQ(ENOENT, spawn("/bin/missing", {"missing"}, &none));
    EXPECT_EQ(0, ozt::zombieChildren());
}

TEST_F(SpawnTest, DetachedProcessesKeepTheirExitStatusForTheSpawner)
{
    struct Case {
        const char *script;
        int code;
    } cases[] = {
        {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -TERM $$", 128 + SIGTERM}, {"kill -KILL $$", 137},
    };
    std::vector<pid_t> pids;
    for (const Case &c : cases) {
        pid_t pid = 0;
        ASSERT_EQ(0, spawn("/bin/sh", {"sh", "-c", c.script}, &pid)) << c.script;
        ASSERT_EQ(OK, ozProcDetach(pid));
        pids.push_back(pid);
    }
    for (size_t i = 0; i < pids.size(); i++) {
        int code = -1;
        /* asked at once or after the reaper's turn, the answer is the same */
        EXPECT_TRUE(ozt::waitFor([&] { return ozProcExitStatusGet(pids[i], &code) == OK; })) << cases[i].script;
        EXPECT_EQ(cases[i].code, code) << cases[i].script;
        EXPECT_EQ(OK, ozProcExitStatusGet(pids[i], &code)); /* kept, not consumed */
        EXPECT_EQ(cases[i].code, code);
    }
    EXPECT_EQ(0, ozt::zombieChildren());

    /* running, unknown and invalid */
    pid_t running = 0;
    ASSERT_EQ(0, spawn("/bin/sleep", {"sleep", "30"}, &running));
    ASSERT_EQ(OK, ozProcDetach(running));
    int code = -1;
    errno = 0;
    EXPECT_EQ(ERROR, ozProcExitStatusGet(running, &code));
    EXPECT_EQ(EBUSY, errno);
    kill(running, SIGKILL);
    EXPECT_TRUE(ozt::waitFor([&] { return ozProcExitStatusGet(running, &code) == OK; }));
    EXPECT_EQ(137, code);
    errno = 0;
    EXPECT_EQ(ERROR, ozProcExitStatusGet(getpid(), &code));
    EXPECT_EQ(ESRCH, errno);
    EXPECT_EQ(ERROR, ozProcExitStatusGet(0, &code));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozProcExitStatusGet(running, nullptr));
}

TEST_F(SpawnTest, TaskDeletedWhileWaitingForAProcessEnds)
{
    pid_t pid = 0;
    ASSERT_EQ(0, spawn("/bin/sleep", {"sleep", "30"}, &pid));
    std::atomic<int> returned{0};
    TASK_ID t = ozt::spawn("tProcWait", [&] {
        int st = 0;
        ozProcWait(pid, &st, 0);
        returned = 1;
        return 0;
    });
    ASSERT_NE(TASK_ID_NULL, t);
    taskDelay(5);
    ASSERT_EQ(OK, taskDelete(t));
    EXPECT_EQ(OK, taskWait(t, 5 * sysClkRateGet(), nullptr));
    EXPECT_EQ(0, returned.load());
    // The process is still there for its owner to reap.
    int st = 0;
    EXPECT_EQ(0, ozProcWait(pid, &st, WNOHANG));
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitExit(pid));
}

TEST(SpawnArgs, AttributesAndHandlesAreChecked)
{
    OZ_SPAWN_ATTR a;
    ASSERT_EQ(0, ozSpawnAttrInit(&a));
    EXPECT_EQ(-1, a.nsId);
    EXPECT_EQ(EINVAL, ozSpawnAttrPrioritySet(&a, 256));
    EXPECT_EQ(EINVAL, ozSpawnAttrPrioritySet(&a, -1));
    EXPECT_EQ(EINVAL, ozSpawnAttrNsSet(&a, -2));
    EXPECT_EQ(EINVAL, ozSpawnAttrCwdSet(&a, nullptr));
    EXPECT_EQ(ENAMETOOLONG, ozSpawnAttrCwdSet(&a, std::string(1024, 'a').c_str()));
    EXPECT_EQ(EINVAL, ozSpawnAttrInit(nullptr));

    pid_t pid = 0;
    char arg0[] = "x";
    char *argv[] = {arg0, nullptr};
    EXPECT_EQ(EINVAL, ozSpawn(nullptr, "/bin/true", &a, argv, nullptr));
    EXPECT_EQ(EINVAL, ozSpawn(&pid, "", &a, argv, nullptr));
    EXPECT_EQ(EINVAL, ozSpawn(&pid, "/bin/true", &a, nullptr, nullptr));

    // Without a namespace the program runs here, with the caller's root.
    char sh[] = "sh", c[] = "-c", script[] = "exit 3";
    char *shArgv[] = {sh, c, script, nullptr};
    ASSERT_EQ(0, ozSpawn(&pid, "/bin/sh", &a, shArgv, nullptr));
    int st = 0;
    ASSERT_EQ(pid, ozProcWait(pid, &st, 0));
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(3, WEXITSTATUS(st));

    // Only this process's own children can be waited for or detached.
    EXPECT_EQ(-1, ozProcWait(-1, &st, 0));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozProcDetach(1));
    EXPECT_EQ(ECHILD, errno);
    EXPECT_EQ(ERROR, ozProcDetach(pid)); // already reaped
}

} // namespace
