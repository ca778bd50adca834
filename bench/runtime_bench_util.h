/*
 * runtime_bench_util.h - small helpers of the runtime benchmarks: clocks,
 * percentiles, shell commands, a scratch directory, fixture images and a
 * private runtime daemon (ozcd) in a process of its own.
 */
#ifndef OZ_BENCH_RUNTIME_UTIL_H
#define OZ_BENCH_RUNTIME_UTIL_H

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ozcontainer.h"

extern char **environ;

namespace rtbench {

inline double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

/* The p-th percentile (0..100) of the samples, nearest rank. */
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p / 100.0 * (double)(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline int sh(const std::string &cmd)
{
    int rc = system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool have(const char *tool)
{
    return sh(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0;
}

struct Scratch {
    std::string path;
    Scratch()
    {
        char t[] = "/tmp/ozcbench.XXXXXX";
        if (mkdtemp(t) != nullptr)
            path = t;
    }
    ~Scratch()
    {
        if (!path.empty())
            ozRmTree(path.c_str());
    }
    std::string operator/(const std::string &rel) const { return path + "/" + rel; }
};

inline bool mkimage(const std::string &layout, const std::string &args)
{
    return sh(std::string(OZ_SOURCE_DIR) + "/tests/fixtures/mkimage.sh " + args + " " + layout + " >/dev/null") == 0;
}

/* ozcd serving a private queue; the clients of this process use it too. */
struct Daemon {
    pid_t pid = -1;
    bool start()
    {
        std::string queue = "/ozcbench-" + std::to_string(getpid());
        setenv("OZC_DAEMON_QUEUE", queue.c_str(), 1);
        std::string path = std::string(OZ_BINARY_DIR) + "/container/runtime/tools/ozcd";
        char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return false;
        for (int i = 0; i < 300; i++) {
            MSG_Q_ID q = msgQOpen(queue.c_str(), OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, 0);
            if (q != nullptr) {
                msgQClose(q);
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    ~Daemon()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

} // namespace rtbench

#endif /* OZ_BENCH_RUNTIME_UTIL_H */
