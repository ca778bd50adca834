/*
 * ozSpawn.cpp - process spawn into a container namespace, process wait and
 * the reaper of detached processes.
 *
 * The child is forked into the namespace's PID namespace (so it stays the
 * spawner's child, which keeps its exit status), enters the mount, IPC and
 * UTS namespaces (the mount namespace makes the container root its root and
 * current directory), changes to the working directory, takes the
 * namespace's user and groups, the default capability set of OCI runtimes
 * and no new privileges, and execs the program with only its standard
 * descriptors. The program path is resolved by the kernel inside the
 * container root, so no path or symbolic link of the container can lead to
 * a host file. A path under the root file system path the namespace was set
 * up from is taken relative to that root.
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
#include <deque>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kDefaultPriority = 100;
constexpr int kMaxNice = 19;
/* What OCI runtimes give a container that asks for nothing more: sending
 * signals, binding ports below 1024, writing to the audit log. */
constexpr uint64_t kDefaultCaps = (1ULL << CAP_KILL) | (1ULL << CAP_NET_BIND_SERVICE) | (1ULL << CAP_AUDIT_WRITE);
/* Capabilities the kernel may know of; the bounding set drop stops at the
 * first one it does not. */
constexpr int kCapMax = 63;

int niceOfPriority(int priority)
{
    return priority * (kMaxNice + 1) / 256;
}

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

/* Detached processes, reaped when they end; the exit results of the last
 * OZ_PROC_EXIT_KEPT of them are kept by process id for their spawner. */
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
            std::thread([this] {
                pthread_setname_np(pthread_self(), "ozReaper");
                run();
            }).detach();
        }
        /* the id may be a reused one: an older result is not this process's */
        forgetLocked(pid);
        watched_.push_back({pid, pfd});
        uint64_t one = 1;
        if (write(wakeFd_, &one, sizeof one) < 0) {
            /* the counter is saturated: the thread wakes anyway */
        }
        return OK;
    }

    STATUS exitStatus(pid_t pid, int *exitCode)
    {
        std::lock_guard<std::mutex> g(m_);
        if (resultLocked(pid, exitCode))
            return OK;
        for (const Watched &w : watched_)
            if (w.pid == pid) {
                /* ended, but the thread has not come round to it yet */
                if (reapLocked(pid) && resultLocked(pid, exitCode))
                    return OK;
                errno = EBUSY;
                return ERROR;
            }
        errno = ESRCH;
        return ERROR;
    }

private:
    struct Watched {
        pid_t pid;
        int pfd;
    };
    struct Exited {
        pid_t pid;
        int code;
    };

    bool resultLocked(pid_t pid, int *exitCode) const
    {
        for (const Exited &e : exited_)
            if (e.pid == pid) {
                *exitCode = e.code;
                return true;
            }
        return false;
    }

    void forgetLocked(pid_t pid)
    {
        for (size_t k = 0; k < exited_.size(); k++)
            if (exited_[k].pid == pid) {
                exited_.erase(exited_.begin() + (long)k);
                return;
            }
    }

    /* Reaps a watched process that has ended and keeps its result; false
     * while it runs. Called with m_ held, so the status is never lost
     * between the reap and the record. */
    bool reapLocked(pid_t pid)
    {
        int status = 0;
        pid_t r = oz::childWait(pid, &status, WNOHANG);
        if (r == 0)
            return false; /* readable but not yet reapable */
        if (r == pid) {
            int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            if (exited_.size() >= OZ_PROC_EXIT_KEPT)
                exited_.pop_front();
            exited_.push_back({pid, code});
        }
        for (size_t k = 0; k < watched_.size(); k++)
            if (watched_[k].pid == pid) {
                close(watched_[k].pfd);
                watched_.erase(watched_.begin() + (long)k);
                break;
            }
        return true;
    }

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
                std::lock_guard<std::mutex> g(m_);
                for (const Watched &w : watched_)
                    if (w.pid == copy[i - 1].pid && w.pfd == copy[i - 1].pfd) {
                        reapLocked(w.pid);
                        break;
                    }
            }
        }
    }

    std::mutex m_;
    int wakeFd_ = -1;
    std::vector<Watched> watched_;
    std::deque<Exited> exited_;
};

Reaper &reaper()
{
    static auto *r = new Reaper; /* lives as long as its thread */
    return *r;
}

/* What the child does, with every input prepared by the parent: it only
 * makes system calls. Returns an errno value when it cannot exec. */
struct ChildPlan {
    const oz::NsFds *ns; /* null: the caller's namespaces */
    const oz::NsCred *cred;
    const char *cwd;
    const char *path;
    char *const *argv;
    char *const *envp;
    int nice;
    size_t stackSize;
    short flags;
};

/* The privileges of a container process: only the standard descriptors
 * pass the exec, the bounding set keeps the default capabilities, the
 * user and groups are the namespace's, and no exec can gain privileges.
 * Root keeps the default set over the exec; another user has none. */
int childConfine(const oz::NsCred &cred)
{
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        return errno;
    for (int cap = 0; cap <= kCapMax; cap++) {
        if ((kDefaultCaps & (1ULL << cap)) != 0)
            continue;
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            if (errno == EINVAL)
                break; /* beyond the kernel's last capability */
            return errno;
        }
    }
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || setgroups((size_t)cred.groupCount, cred.groups) != 0 ||
        setresgid(cred.gid, cred.gid, cred.gid) != 0 || setresuid(cred.uid, cred.uid, cred.uid) != 0 ||
        prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0)
        return errno;
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    data[0].effective = data[0].permitted = (uint32_t)kDefaultCaps;
    data[1].effective = data[1].permitted = (uint32_t)(kDefaultCaps >> 32);
    if (syscall(SYS_capset, &hdr, data) != 0)
        return errno;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return errno;
    return 0;
}

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
    if ((p.flags & POSIX_SPAWN_SETPGROUP) != 0 && (p.flags & POSIX_SPAWN_SETSID) == 0 && setpgid(0, 0) != 0)
        return errno;
    if (p.ns != nullptr) {
        if (int rc = oz::nsEnter(*p.ns); rc != 0)
            return rc;
    }
    if (p.cwd[0] != '\0' && chdir(p.cwd) != 0)
        return errno;
    if (p.nice > 0 && setpriority(PRIO_PROCESS, 0, p.nice) != 0)
        return errno;
    if (p.stackSize > 0) {
        struct rlimit rl;
        if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < p.stackSize) {
            rl.rlim_cur = p.stackSize;
            if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < p.stackSize)
                rl.rlim_max = p.stackSize;
            if (setrlimit(RLIMIT_STACK, &rl) != 0)
                return errno;
        }
    }
    if (p.ns != nullptr) {
        if (int rc = childConfine(*p.cred); rc != 0)
            return rc;
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

int ozSpawnAttrDestroy(OZ_SPAWN_ATTR *attr)
{
    return attr == nullptr ? EINVAL : 0;
}

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

int ozSpawn(pid_t *pid, const char *path, const OZ_SPAWN_ATTR *attr, char *const argv[], char *const envp[])
{
    if (pid == nullptr || path == nullptr || path[0] == '\0' || argv == nullptr)
        return EINVAL;
    OZ_SPAWN_ATTR defaults;
    if (attr == nullptr) {
        ozSpawnAttrInit(&defaults);
        attr = &defaults;
    }
    if (memchr(attr->cwd, '\0', sizeof attr->cwd) == nullptr || attr->priority < 0 || attr->priority > 255)
        return EINVAL;
    std::string prog = path;
    oz::NsFds ns;
    oz::NsCred cred;
    if (attr->nsId >= 0) {
        if (int rc = oz::nsFdsOpen(attr->nsId, &ns); rc != 0)
            return rc;
        prog = pathInRoot(path, oz::nsRootGet(attr->nsId));
        cred = oz::nsCredGet(attr->nsId);
    }
    const bool inNs = attr->nsId >= 0;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return errno;
    const ChildPlan plan{inNs ? &ns : nullptr,
                         &cred,
                         attr->cwd,
                         prog.c_str(),
                         argv,
                         envp != nullptr ? envp : environ,
                         niceOfPriority(attr->priority),
                         attr->stackSize,
                         attr->flags};
    pid_t child = oz::forkIntoPidNs(inNs ? ns.pid.fd : -1);
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

STATUS ozProcExitStatusGet(pid_t pid, int *exitCode)
{
    if (pid <= 0 || exitCode == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    return reaper().exitStatus(pid, exitCode);
}
