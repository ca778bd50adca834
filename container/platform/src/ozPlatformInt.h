/*
 * ozPlatformInt.h - what the Linux units of the platform share: the kernel
 * lock, the task control block, wait queues and tick conversions.
 *
 * Every in-process kernel object (task, semaphore, anonymous queue) is
 * guarded by one kernel lock. A task that blocks waits on the condition
 * variable of its own control block; whoever satisfies the wait (a give, a
 * send, a deletion) records the result in the waiter's block and wakes it.
 * This gives exact FIFO or priority hand-over and lets a deletion wake a
 * task from any wait.
 */
#ifndef OZ_PLATFORM_INT_H
#define OZ_PLATFORM_INT_H

#include "ozPlatform.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>
#include <pthread.h>

namespace oz {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

/* The kernel lock. */
std::mutex &kernelMutex();

struct Tcb;

/* A queue of blocked tasks, FIFO or by task priority (lower value first). */
struct WaitQueue {
    bool byPriority = false;
    std::deque<Tcb *> waiters;

    void insert(Tcb *t);
    void remove(Tcb *t);
    Tcb *popFirst();
    bool empty() const { return waiters.empty(); }
};

constexpr int WAKE_PENDING = -1;

/* Task control block. Fields are guarded by the kernel lock unless noted. */
struct Tcb {
    TASK_ID id = TASK_ID_NULL;
    std::string name;
    int priority = 100;
    int options = 0;
    OZ_TASK_ENTRY entry = nullptr;
    void *arg = nullptr;
    bool adopted = false; /* a thread not made by taskSpawn */
    bool activated = false;
    bool ended = false;
    bool exiting = false; /* unwinding after a deletion */
    bool deletePending = false;
    int safeCount = 0;   /* taskSafe nesting */
    int safeMutexes = 0; /* deletion-safe mutexes held */
    int exitCode = 0;
    pthread_t thread{}; /* valid while threadKnown and not ended */
    bool threadKnown = false;
    std::condition_variable cv;
    /* the current wait */
    int wakeResult = WAKE_PENDING;
    WaitQueue *waitQ = nullptr;
    std::vector<char> xfer; /* message handed over to/from the task */
    int xferPriority = MSG_PRI_NORMAL;
    /* mutexes held, released when the task ends */
    std::vector<struct ::ozSemaphore *> held;
    WaitQueue joinQ; /* tasks waiting for the end */
};

/* The calling task's block (a thread not made by taskSpawn is adopted). */
Tcb *taskSelf();

/* Block the calling task (kernel lock held through `lk`) until woken, the
 * time-out in ticks passes, or a deletion ends it. When `q` is not null the
 * caller has inserted `self` into it; it is removed on time-out and deletion.
 * Returns the waker's result (0 or an errno value) or ETIMEDOUT. */
int kernelWait(Lock &lk, Tcb *self, int ticks, WaitQueue *q);
/* Wake a task blocked in kernelWait with `result`. */
void kernelWake(Tcb *t, int result);
/* True when a pending deletion may end the task now. */
bool taskDeletable(const Tcb *t);
/* End the calling task because of a deletion (kernel lock held; released
 * before unwinding). Does not return. */
[[noreturn]] void taskExitDeleted(Lock &lk, Tcb *self);
/* A deletion point outside the kernel lock: ends the caller when a
 * deletion is pending and allowed. */
void taskDeletionPoint();
/* Release every mutex the task holds (kernel lock held). */
void semReleaseAllHeld(Tcb *t);

/* Real-time length of `ticks` clock ticks at the current speed-up. */
Clock::duration ticksToDuration(int64_t ticks);
/* Deadline of a wait of `ticks` from now; nullopt for WAIT_FOREVER. */
std::optional<Clock::time_point> ticksDeadline(int ticks);

/* A wait in the kernel (queue descriptors, process descriptors): poll
 * `fds` until one is ready or the deadline (nullopt: none) passes. It
 * blocks without waking in between; a deletion of the calling task
 * interrupts it through the platform's wake signal and ends the task there.
 * Returns the number of ready descriptors, 0 at the deadline, or -1 with
 * errno. */
int sysWait(pollfd *fds, nfds_t count, std::optional<Clock::time_point> deadline);

/* Wait for a child of this process, retrying on EINTR. */
pid_t childWait(pid_t pid, int *status, int options);
/* read() retried on EINTR. */
ssize_t readRetry(int fd, void *buf, size_t len);
/* True when `path` (not followed if a link) is the root of a mount. */
bool isMountPoint(const char *path);

/* A file descriptor closed when its owner goes. */
struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    UniqueFd(UniqueFd &&o) noexcept : fd(o.release()) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd &operator=(UniqueFd &&) = delete;
    ~UniqueFd();
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

/* Container namespaces (ozNs.cpp), shared with the spawn unit. */

/* Descriptors of the namespaces a process of the container enters. */
struct NsFds {
    UniqueFd pid, mnt, ipc, uts;
};
/* Open the namespaces of `nsId`: 0, EINVAL for an id that names no
 * namespace, ENOENT when the namespace has ended (its holder is gone). */
int nsFdsOpen(int nsId, NsFds *fds);
/* fork() with the child in the PID namespace `pidNsFd` (-1: the caller's).
 * The child is the caller's child; the calling thread's own namespaces are
 * as before when this returns in the parent. */
pid_t forkIntoPidNs(int pidNsFd);
/* In a forked child: enter the mount, IPC and UTS namespaces (the mount
 * namespace makes the container root the root and current directory).
 * System calls only. Returns 0 or an errno value. */
int nsEnter(const NsFds &fds);
/* The root file system path given to ozNsRootfsSetup, empty when none. */
std::string nsRootGet(int nsId);

/* Credentials of a container's processes (ozNsUserSet). */
constexpr int kNsMaxGroups = 256;
struct NsCred {
    uid_t uid = 0;
    gid_t gid = 0;
    int groupCount = 0;
    gid_t groups[kNsMaxGroups] = {};
};
/* The credentials recorded for `nsId`; root without groups when none. */
NsCred nsCredGet(int nsId);

} // namespace oz

#endif
