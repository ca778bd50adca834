// Helpers shared by the platform tests.
#ifndef OZ_PLATFORM_TEST_UTIL_H
#define OZ_PLATFORM_TEST_UTIL_H

#include "ozPlatform.h"
#include "testutil/testutil.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <cstdio>
#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ozt {

using Ms = std::chrono::milliseconds;

inline long elapsedMs(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - since).count());
}

// Poll `cond` for up to `limitMs`.
inline bool waitFor(const std::function<bool()> &cond, int limitMs = 5000)
{
    auto start = std::chrono::steady_clock::now();
    while (!cond()) {
        if (elapsedMs(start) > limitMs)
            return false;
        usleep(1000);
    }
    return true;
}

// A task running a std::function (owned by the task).
inline int runFunction(void *arg)
{
    // Owned by the frame, so a deleted task frees it while unwinding.
    std::unique_ptr<std::function<int()>> fn(static_cast<std::function<int()> *>(arg));
    return (*fn)();
}

inline TASK_ID spawn(const char *name, std::function<int()> fn, int priority = 100)
{
    return taskSpawn(name, priority, 0, 64 * 1024, runFunction, new std::function<int()>(std::move(fn)));
}

// Spawn a task that blocks at once in `fn` (a take or receive that cannot
// be satisfied yet) and return only when its thread sleeps there, so tasks
// spawned one after another queue up in that order, however loaded the
// machine is.
inline TASK_ID spawnBlocked(const char *name, std::function<int()> fn, int priority = 100)
{
    auto tid = std::make_shared<std::atomic<pid_t>>(0);
    TASK_ID t = spawn(
        name,
        [tid, fn = std::move(fn)] {
            *tid = gettid();
            return fn();
        },
        priority);
    if (t == TASK_ID_NULL)
        return t;
    waitFor([&] {
        if (*tid == 0)
            return false;
        std::string stat = oztest::readFile("/proc/self/task/" + std::to_string(tid->load()) + "/stat");
        size_t close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
    });
    return t;
}

// A name unique to this process and call, for named queues.
inline std::string uniqueName(const char *tag)
{
    static std::atomic<int> n{0};
    return "/oztest_" + std::string(tag) + "_" + std::to_string(getpid()) + "_" + std::to_string(n++);
}

// Why a test that needs root and the static busybox cannot run here, or
// empty when it can.
inline std::string rootTestBlocker()
{
    if (geteuid() != 0)
        return "needs root (namespaces, mounts and overlays are made for real)";
    if (access("/bin/busybox", X_OK) != 0)
        return "needs /bin/busybox (Debian package busybox-static)";
    return "";
}

using oztest::readFile;
using oztest::TempDir;
using oztest::writeFile;

// A minimal container root: the static busybox and links to it.
inline bool makeBusyboxRoot(const std::string &root)
{
    if (ozMkdirP((root + "/bin").c_str(), 0755) != OK)
        return false;
    std::ifstream in("/bin/busybox", std::ios::binary);
    std::ofstream out(root + "/bin/busybox", std::ios::binary);
    out << in.rdbuf();
    out.close();
    if (!out || chmod((root + "/bin/busybox").c_str(), 0755) != 0)
        return false;
    // The shell reads /dev/null for background jobs.
    if (ozMkdirP((root + "/dev").c_str(), 0755) != OK ||
        mknod((root + "/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        return false;
    for (const char *tool : {"sh", "cat", "sleep", "ls", "echo", "pwd", "touch", "true"})
        if (symlink("/bin/busybox", (root + "/bin/" + tool).c_str()) != 0)
            return false;
    return true;
}

// True when `pid` is a zombie child of this process.
inline bool isZombieChild(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    char state = stat[close + 2];
    int ppid = std::atoi(stat.c_str() + close + 4);
    return state == 'Z' && ppid == getpid();
}

// Zombie children of this process, counted from /proc.
inline int zombieChildren()
{
    int n = 0;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        int pid = std::atoi(e->d_name);
        if (pid > 0 && isZombieChild(pid))
            n++;
    }
    closedir(d);
    return n;
}

// Spawn busybox's shell with `script` in namespace `nsId` (-1: here).
// Returns the spawn's error (0 on success) and the process id in *pid.
inline int shellSpawn(int nsId, const std::string &script, pid_t *pid, const char *cwd = "/")
{
    OZ_SPAWN_ATTR a;
    ozSpawnAttrInit(&a);
    ozSpawnAttrNsSet(&a, nsId);
    ozSpawnAttrCwdSet(&a, cwd);
    std::string sh = "sh", c = "-c", text = script, path = "PATH=/bin";
    char *argv[] = {sh.data(), c.data(), text.data(), nullptr};
    char *envp[] = {path.data(), nullptr};
    int rc = ozSpawn(pid, "/bin/sh", &a, argv, envp);
    ozSpawnAttrDestroy(&a);
    return rc;
}

// Run `script` to its end; the exit status, 128 + signal when killed, or
// -1 when it could not be spawned.
inline int shellRun(int nsId, const std::string &script, const char *cwd = "/")
{
    pid_t pid = 0;
    if (shellSpawn(nsId, script, &pid, cwd) != 0)
        return -1;
    int st = 0;
    if (ozProcWait(pid, &st, 0) != pid)
        return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace ozt

#endif
