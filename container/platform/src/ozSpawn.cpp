/*
 * ozSpawn.cpp - process spawn into a container namespace, process wait and
 * the reaper of detached processes.
 *
 * The child is forked, enters the namespace (which makes the namespace's
 * root its root and current directory), changes to the working directory
 * and execs the program. The program path is resolved by the kernel inside
 * the container root, so no path or symbolic link of the container can lead
 * to a host file. A path under the root file system path the namespace was
 * set up from is taken relative to that root.
 *
 * Attributes: the priority 0 (highest) .. 255 maps onto nice values 0 .. 19
 * (a container never runs above normal priority); the user stack size
 * raises the stack limit when it is larger; the process and task options
 * are kept for the target and have no effect here; of the flags,
 * POSIX_SPAWN_SETSID and POSIX_SPAWN_SETPGROUP are honoured. The child starts
 * with an empty signal mask and default signal dispositions, whatever the
 * spawning task blocked or ignored.
 *
 * A spawned process is reaped by ozProcWait (a platform wait: a task
 * deleted while it waits ends there) or, once handed over with
 * ozProcDetach, by the reaper thread, which watches pid descriptors.
 */
#include "ozPlatformInt.h"

/* glibc 2.36 declares the pid descriptor calls without C linkage. */
extern "C" {
#include <sys/pidfd.h>
}

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kDefaultPriority = 100;
constexpr int kMaxNice = 19;

int niceOfPriority(int priority) { return priority * (kMaxNice + 1) / 256; }

/* The program's path inside the container root. */
std::string pathInRoot(const char *path, const std::string &root)
{
    if (root.empty() || root == "/")
        return path;
    size_t n = root.size();
    if (strncmp(path, root.c_str(), n) == 0 && (path[n] == '/' || path[n] == '\0'))
        return path[n] == '\0' ? std::string("/") : std::string(path + n);
    return path;
}

/* Detached processes, reaped when they end. */
class Reaper {
public:
    STATUS adopt(pid_t pid)
    {
        int pfd = pidfd_open(pid, 0);
        if (pfd < 0)
            return ERROR;
        std::lock_guard<std::mutex> g(m_);
        if (wakeFd_ < 0) {
            wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (wakeFd_ < 0) {
                int e = errno;
                close(pfd);
                errno = e;
                return ERROR;
            }
            std::thread([this] { run(); }).detach();
        }
        watched_.push_back({pid, pfd});
        uint64_t one = 1;
        if (write(wakeFd_, &one, sizeof one) < 0) {
            /* the counter is saturated: the thread wakes anyway */
        }
        return OK;
    }

private:
    struct Watched {
        pid_t pid;
        int pfd;
    };

    [[noreturn]] void run()
    {
        std::vector<pollfd> fds;
        std::vector<Watched> copy;
        for (;;) {
            int wake;
            {
                std::lock_guard<std::mutex> g(m_);
                copy = watched_;
                wake = wakeFd_;
            }
            fds.assign(1, pollfd{wake, POLLIN, 0});
            for (const Watched &w : copy)
                fds.push_back(pollfd{w.pfd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0)
                continue;
            if (fds[0].revents != 0) {
                uint64_t v;
                (void)!read(wake, &v, sizeof v);
            }
            for (size_t i = 1; i < fds.size(); i++) {
                if (fds[i].revents == 0)
                    continue;
                const Watched w = copy[i - 1];
                if (oz::childWait(w.pid, nullptr, WNOHANG) == 0)
                    continue; /* readable but not yet reapable */
                std::lock_guard<std::mutex> g(m_);
                for (size_t k = 0; k < watched_.size(); k++)
                    if (watched_[k].pid == w.pid) {
                        close(watched_[k].pfd);
                        watched_.erase(watched_.begin() + (long)k);
                        break;
                    }
            }
        }
    }

    std::mutex m_;
    int wakeFd_ = -1;
    std::vector<Watched> watched_;
};

Reaper &reaper()
{
    static auto *r = new Reaper; /* lives as long as its thread */
    return *r;
}

/* What the child does, with every input prepared by the parent: it only
 * makes system calls. Returns an errno value when it cannot exec. */
struct ChildPlan {
    int nsFd;
    const char *cwd;
    const char *path;
    char *const *argv;
    char *const *envp;
    int nice;
    size_t stackSize;
    short flags;
};

int childRun(const ChildPlan &p)
{
    sigset_t none;
    sigemptyset(&none);
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction old;
        if (sig == SIGKILL || sig == SIGSTOP || sigaction(sig, nullptr, &old) != 0)
            continue;
        if (old.sa_handler == SIG_IGN) {
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigaction(sig, &dfl, nullptr);
        }
    }
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0)
        return errno;
    if ((p.flags & POSIX_SPAWN_SETSID) != 0 && setsid() < 0)
        return errno;
    if ((p.flags & POSIX_SPAWN_SETPGROUP) != 0 && (p.flags & POSIX_SPAWN_SETSID) == 0 &&
        setpgid(0, 0) != 0)
        return errno;
    /* Entering a mount namespace needs a file-system context of our own
     * (a sanitizer runtime may have added a thread to the child). */
    if (p.nsFd >= 0 && (unshare(CLONE_FS) != 0 || setns(p.nsFd, CLONE_NEWNS) != 0))
        return errno;
    if (p.cwd[0] != '\0' && chdir(p.cwd) != 0)
        return errno;
    if (p.nice > 0 && setpriority(PRIO_PROCESS, 0, p.nice) != 0)
        return errno;
    if (p.stackSize > 0) {
        struct rlimit rl;
        if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
            rl.rlim_cur < p.stackSize) {
            rl.rlim_cur = p.stackSize;
            if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < p.stackSize)
                rl.rlim_max = p.stackSize;
            if (setrlimit(RLIMIT_STACK, &rl) != 0)
                return errno;
        }
    }
    execve(p.path, p.argv, p.envp);
    return errno;
}

} // namespace

int ozSpawnAttrInit(OZ_SPAWN_ATTR *attr)
{
    if (attr == nullptr)
        return EINVAL;
    memset(attr, 0, sizeof *attr);
    attr->priority = kDefaultPriority;
    attr->nsId = -1;
    return 0;
}

int ozSpawnAttrDestroy(OZ_SPAWN_ATTR *attr) { return attr == nullptr ? EINVAL : 0; }

int ozSpawnAttrPrioritySet(OZ_SPAWN_ATTR *attr, int priority)
{
    if (attr == nullptr || priority < 0 || priority > 255)
        return EINVAL;
    attr->priority = priority;
    return 0;
}

int ozSpawnAttrStackSizeSet(OZ_SPAWN_ATTR *attr, size_t stackSize)
{
    if (attr == nullptr)
        return EINVAL;
    attr->stackSize = stackSize;
    return 0;
}

int ozSpawnAttrOptionsSet(OZ_SPAWN_ATTR *attr, int options)
{
    if (attr == nullptr)
        return EINVAL;
    attr->options = options;
    return 0;
}

int ozSpawnAttrTaskOptionsSet(OZ_SPAWN_ATTR *attr, int taskOptions)
{
    if (attr == nullptr)
        return EINVAL;
    attr->taskOptions = taskOptions;
    return 0;
}

int ozSpawnAttrNsSet(OZ_SPAWN_ATTR *attr, int nsId)
{
    if (attr == nullptr || nsId < -1)
        return EINVAL;
    attr->nsId = nsId;
    return 0;
}

int ozSpawnAttrCwdSet(OZ_SPAWN_ATTR *attr, const char *cwd)
{
    if (attr == nullptr || cwd == nullptr)
        return EINVAL;
    size_t len = strlen(cwd);
    if (len >= sizeof attr->cwd)
        return ENAMETOOLONG;
    memcpy(attr->cwd, cwd, len + 1);
    return 0;
}

int ozSpawnAttrFlagsSet(OZ_SPAWN_ATTR *attr, short flags)
{
    if (attr == nullptr)
        return EINVAL;
    attr->flags = flags;
    return 0;
}

int ozSpawn(pid_t *pid, const char *path, const OZ_SPAWN_ATTR *attr, char *const argv[],
            char *const envp[])
{
    if (pid == nullptr || path == nullptr || path[0] == '\0' || argv == nullptr)
        return EINVAL;
    OZ_SPAWN_ATTR defaults;
    if (attr == nullptr) {
        ozSpawnAttrInit(&defaults);
        attr = &defaults;
    }
    if (memchr(attr->cwd, '\0', sizeof attr->cwd) == nullptr || attr->priority < 0 ||
        attr->priority > 255)
        return EINVAL;
    int nsFd = -1;
    std::string prog = path;
    if (attr->nsId >= 0) {
        nsFd = oz::nsPinOpen(attr->nsId);
        if (nsFd < 0)
            return errno;
        prog = pathInRoot(path, oz::nsRootGet(attr->nsId));
    }
    oz::UniqueFd nsOwner(nsFd);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return errno;
    const ChildPlan plan{nsFd,  attr->cwd, prog.c_str(), argv, envp != nullptr ? envp : environ,
                         niceOfPriority(attr->priority), attr->stackSize, attr->flags};
    pid_t child = fork();
    if (child < 0) {
        int e = errno;
        close(p[0]);
        close(p[1]);
        return e;
    }
    if (child == 0) {
        close(p[0]);
        int rc = childRun(plan);
        if (write(p[1], &rc, sizeof rc) < 0)
            _exit(127);
        _exit(127);
    }
    close(p[1]);
    int rc = 0;
    ssize_t n = oz::readRetry(p[0], &rc, sizeof rc);
    close(p[0]);
    if (n == (ssize_t)sizeof rc) {
        /* The exec failed: the child is ours to reap. */
        oz::childWait(child, nullptr, 0);
        return rc != 0 ? rc : ECHILD;
    }
    *pid = child;
    return 0;
}

pid_t ozProcWait(pid_t pid, int *status, int options)
{
    if (pid <= 0) {
        errno = EINVAL; /* only a spawned process, never "any child" */
        return -1;
    }
    if ((options & WNOHANG) != 0)
        return oz::childWait(pid, status, options);
    /* A blocking wait is a platform wait: a deleted task ends in it. */
    oz::UniqueFd pfd(pidfd_open(pid, 0));
    if (pfd.fd < 0)
        return oz::childWait(pid, status, options); /* reports the error */
    for (;;) {
        pid_t r = oz::childWait(pid, status, options | WNOHANG);
        if (r != 0)
            return r;
        pollfd p{pfd.fd, POLLIN, 0};
        if (oz::sysWait(&p, 1, std::nullopt) < 0)
            return -1;
    }
}

STATUS ozProcDetach(pid_t pid)
{
    if (pid <= 0) {
        errno = EINVAL;
        return ERROR;
    }
    siginfo_t info{};
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return ERROR; /* ECHILD: not a child of this process */
    return reaper().adopt(pid);
}
