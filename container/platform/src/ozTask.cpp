/*
 * ozTask.cpp - tasks on Linux threads.
 *
 * A task is a detached thread with a control block (Tcb). Deletion is
 * deferred: taskDelete() marks the task and wakes it; the task ends only at
 * a platform wait (semaphore take, queue receive, delay, task wait, process
 * wait), never inside a library call, and never while taskSafe() or a
 * deletion-safe mutex protects it. A task that ends that way unwinds its
 * stack (so C++ owners release what they hold) and the platform releases
 * every mutex it still holds. The deleting task waits until the end.
 *
 * Threads that the platform did not create (the process's main thread,
 * foreign threads) get a control block the first time they use a platform
 * wait, so they can take semaphores and wait for tasks like any task.
 *
 * Waits in the kernel (named queues, process ends) block in ppoll() without
 * waking. The platform reserves one real-time signal (SIGRTMIN + 5), blocked
 * in every task and let through only inside those waits: a deletion sends it
 * to the task, which wakes with EINTR and ends at that wait. A signal sent
 * just before the task enters its wait stays pending and ends the wait at
 * once, so no deletion is missed.
 */
#include "ozPlatformInt.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_map>

#include <sched.h>
#include <signal.h>

namespace {

using oz::Lock;
using oz::Tcb;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kMinStack = 4u << 20;
#else
/* glibc name resolution, libcurl and OpenSSL need more than the target's
 * task stacks; the Linux port raises small requests to this. */
constexpr size_t kMinStack = 512u << 10;
#endif
/* Ended tasks nobody waited for are kept this long for taskWait(). */
constexpr size_t kMaxUnreclaimed = 1024;

struct Registry {
    std::unordered_map<TASK_ID, std::shared_ptr<Tcb>> tasks;
    std::deque<TASK_ID> ended;
    TASK_ID nextId = 1;
};

/* Guarded by the kernel lock. */
Registry &registry()
{
    static Registry *r = new Registry; /* never destroyed: threads may outlive exit */
    return *r;
}

std::shared_ptr<Tcb> findLocked(TASK_ID tid)
{
    auto &tasks = registry().tasks;
    auto it = tasks.find(tid);
    return it == tasks.end() ? nullptr : it->second;
}

thread_local Tcb *tlsSelf = nullptr;

int wakeSignal()
{
    return SIGRTMIN + 5;
}

void wakeHandler(int) {}

/* The wake signal's handler is installed once per process, before any
 * task can be sent the signal. */
void wakeSignalInstall()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        struct sigaction sa {};
        sa.sa_handler = wakeHandler;
        sa.sa_flags = SA_RESTART; /* only the platform's waits see EINTR */
        sigemptyset(&sa.sa_mask);
        sigaction(wakeSignal(), &sa, nullptr);
    });
}

/* The calling thread becomes a task: the wake signal is held back except
 * inside platform waits, and the thread can be sent it. Kernel lock held. */
void threadRecordLocked(Tcb *t)
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, wakeSignal());
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    t->thread = pthread_self();
    t->threadKnown = true;
}

/* The end of a task (kernel lock held): release what it holds, wake the
 * tasks waiting for it. */
void taskEndLocked(Tcb *t)
{
    t->ended = true;
    oz::semReleaseAllHeld(t);
    while (Tcb *w = t->joinQ.popFirst())
        oz::kernelWake(w, 0);
    Registry &r = registry();
    if (t->adopted) {
        r.tasks.erase(t->id);
        return;
    }
    r.ended.push_back(t->id);
    while (r.ended.size() > kMaxUnreclaimed) {
        auto it = r.tasks.find(r.ended.front());
        if (it != r.tasks.end() && it->second->ended)
            r.tasks.erase(it);
        r.ended.pop_front();
    }
}

/* Keeps an adopted thread's block and ends it when the thread exits. */
struct AdoptedHolder {
    std::shared_ptr<Tcb> tcb;
    ~AdoptedHolder()
    {
        if (!tcb)
            return;
        Lock lk(oz::kernelMutex());
        taskEndLocked(tcb.get());
        tlsSelf = nullptr;
    }
};
thread_local AdoptedHolder tlsAdopted;

struct StartBlock {
    std::shared_ptr<Tcb> tcb;
};

void *taskMain(void *p)
{
    std::shared_ptr<Tcb> sp = std::move(static_cast<StartBlock *>(p)->tcb);
    delete static_cast<StartBlock *>(p);
    Tcb *t = sp.get();
    tlsSelf = t;
    {
        Lock lk(oz::kernelMutex());
        threadRecordLocked(t);
    }
    /* Runs on return and when a deletion unwinds the stack. */
    struct EndGuard {
        Tcb *t;
        ~EndGuard()
        {
            Lock lk(oz::kernelMutex());
            taskEndLocked(t);
            tlsSelf = nullptr;
        }
    } guard{t};
    {
        Lock lk(oz::kernelMutex());
        while (!t->activated && !t->deletePending)
            t->cv.wait(lk);
        if (!t->activated) {
            t->exitCode = ERROR;
            return nullptr;
        }
    }
    int rc = t->entry(t->arg);
    Lock lk(oz::kernelMutex());
    t->exitCode = rc;
    return nullptr;
}

} // namespace

namespace oz {

std::mutex &kernelMutex()
{
    static std::mutex *m = new std::mutex; /* never destroyed, see registry() */
    return *m;
}

void WaitQueue::insert(Tcb *t)
{
    if (byPriority) {
        auto it = std::find_if(waiters.begin(), waiters.end(), [t](const Tcb *w) { return w->priority > t->priority; });
        waiters.insert(it, t);
    } else {
        waiters.push_back(t);
    }
}

void WaitQueue::remove(Tcb *t)
{
    auto it = std::find(waiters.begin(), waiters.end(), t);
    if (it != waiters.end())
        waiters.erase(it);
}

Tcb *WaitQueue::popFirst()
{
    if (waiters.empty())
        return nullptr;
    Tcb *t = waiters.front();
    waiters.pop_front();
    return t;
}

Tcb *taskSelf()
{
    if (tlsSelf != nullptr)
        return tlsSelf;
    wakeSignalInstall();
    auto t = std::make_shared<Tcb>();
    t->adopted = true;
    t->activated = true;
    {
        Lock lk(kernelMutex());
        Registry &r = registry();
        t->id = r.nextId++;
        t->name = "tThread" + std::to_string(t->id);
        r.tasks[t->id] = t;
        threadRecordLocked(t.get());
    }
    tlsSelf = t.get();
    tlsAdopted.tcb = std::move(t);
    return tlsSelf;
}

bool taskDeletable(const Tcb *t)
{
    return t->deletePending && t->safeCount == 0 && t->safeMutexes == 0 && !t->exiting && !t->ended;
}

void taskExitDeleted(Lock &lk, Tcb *self)
{
    self->exiting = true;
    self->exitCode = ERROR;
    lk.unlock();
    pthread_exit(nullptr);
}

void taskDeletionPoint()
{
    Tcb *self = taskSelf();
    Lock lk(kernelMutex());
    if (taskDeletable(self))
        taskExitDeleted(lk, self);
}

int sysWait(pollfd *fds, nfds_t count, std::optional<Clock::time_point> deadline)
{
    Tcb *self = taskSelf();
    sigset_t open;
    pthread_sigmask(SIG_SETMASK, nullptr, &open);
    sigdelset(&open, wakeSignal());
    for (;;) {
        {
            Lock lk(kernelMutex());
            if (taskDeletable(self))
                taskExitDeleted(lk, self);
        }
        timespec ts{};
        timespec *limit = nullptr;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now());
            if (left.count() < 0)
                left = std::chrono::nanoseconds::zero();
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            limit = &ts;
        }
        int r = ppoll(fds, count, limit, &open);
        if (r >= 0 || errno != EINTR)
            return r;
        /* A deletion, or another signal: look again. */
    }
}

void kernelWake(Tcb *t, int result)
{
    t->wakeResult = result;
    t->waitQ = nullptr;
    t->cv.notify_all();
}

int kernelWait(Lock &lk, Tcb *self, int ticks, WaitQueue *q)
{
    self->wakeResult = WAKE_PENDING;
    self->waitQ = q;
    std::optional<Clock::time_point> deadline = ticksDeadline(ticks);
    for (;;) {
        if (self->wakeResult != WAKE_PENDING) {
            int r = self->wakeResult;
            self->wakeResult = WAKE_PENDING;
            self->waitQ = nullptr;
            return r;
        }
        if (taskDeletable(self)) {
            if (q != nullptr)
                q->remove(self);
            self->waitQ = nullptr;
            taskExitDeleted(lk, self);
        }
        if (!deadline) {
            self->cv.wait(lk);
        } else if (self->cv.wait_until(lk, *deadline) == std::cv_status::timeout && self->wakeResult == WAKE_PENDING &&
                   !taskDeletable(self)) {
            if (q != nullptr)
                q->remove(self);
            self->waitQ = nullptr;
            return ETIMEDOUT;
        }
    }
}

} // namespace oz

TASK_ID taskCreate(const char *name, int priority, int options, size_t stackSize, OZ_TASK_ENTRY entry, void *arg)
{
    wakeSignalInstall();
    if (entry == nullptr || priority < 0 || priority > 255) {
        errno = EINVAL;
        return TASK_ID_NULL;
    }
    auto t = std::make_shared<Tcb>();
    t->priority = priority;
    t->options = options;
    t->entry = entry;
    t->arg = arg;
    {
        Lock lk(oz::kernelMutex());
        Registry &r = registry();
        t->id = r.nextId++;
        t->name = (name != nullptr && *name != '\0') ? std::string(name) : "t" + std::to_string(t->id);
        r.tasks[t->id] = t;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, std::max(stackSize, kMinStack));
    auto *start = new StartBlock{t};
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, taskMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        Lock lk(oz::kernelMutex());
        registry().tasks.erase(t->id);
        errno = rc;
        return TASK_ID_NULL;
    }
    /* The OS shows at most 15 characters of a thread's name: it gets the
     * name's first 15 on purpose (lookups use the full name kept above). */
    char shortName[16];
    if (strncpy_s(shortName, sizeof shortName, t->name.c_str(), sizeof shortName - 1) != 0)
        shortName[0] = '\0';
    pthread_setname_np(thread, shortName);
    return t->id;
}

STATUS taskActivate(TASK_ID tid)
{
    Lock lk(oz::kernelMutex());
    std::shared_ptr<Tcb> t = findLocked(tid);
    if (!t || t->adopted || t->activated || t->ended) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    t->activated = true;
    t->cv.notify_all();
    return OK;
}

TASK_ID taskSpawn(const char *name, int priority, int options, size_t stackSize, OZ_TASK_ENTRY entry, void *arg)
{
    TASK_ID tid = taskCreate(name, priority, options, stackSize, entry, arg);
    if (tid != TASK_ID_NULL)
        taskActivate(tid);
    return tid;
}

STATUS taskDelete(TASK_ID tid)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    std::shared_ptr<Tcb> t = findLocked(tid);
    if (!t) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (t->ended)
        return OK;
    t->deletePending = true;
    if (t.get() == self) {
        if (oz::taskDeletable(self))
            oz::taskExitDeleted(lk, self);
        return OK; /* protected: ends at its first wait once unprotected */
    }
    t->cv.notify_all();
    /* A task waiting in the kernel wakes through the signal; one that is
     * running finds it pending at its next wait. */
    if (t->threadKnown)
        pthread_kill(t->thread, wakeSignal());
    while (!t->ended) {
        t->joinQ.insert(self);
        oz::kernelWait(lk, self, WAIT_FOREVER, &t->joinQ);
    }
    return OK;
}

STATUS taskWait(TASK_ID tid, int timeoutTicks, int *exitCode)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    std::shared_ptr<Tcb> t = findLocked(tid);
    if (t && t.get() == self) {
        errno = EDEADLK;
        return ERROR;
    }
    if (!t || t->adopted) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (!t->ended) {
        if (timeoutTicks == NO_WAIT) {
            errno = ETIMEDOUT;
            return ERROR;
        }
        t->joinQ.insert(self);
        int r = oz::kernelWait(lk, self, timeoutTicks, &t->joinQ);
        if (!t->ended) {
            errno = r != 0 ? r : ETIMEDOUT;
            return ERROR;
        }
    }
    if (exitCode != nullptr)
        *exitCode = t->exitCode;
    registry().tasks.erase(tid);
    return OK;
}

STATUS taskDelay(int ticks)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    if (ticks == 0 || (ticks < 0 && ticks != WAIT_FOREVER)) {
        if (oz::taskDeletable(self))
            oz::taskExitDeleted(lk, self);
        lk.unlock();
        sched_yield();
        return OK;
    }
    oz::kernelWait(lk, self, ticks, nullptr);
    return OK;
}

TASK_ID taskIdSelf(void)
{
    return oz::taskSelf()->id;
}

const char *taskName(TASK_ID tid)
{
    Lock lk(oz::kernelMutex());
    std::shared_ptr<Tcb> t = findLocked(tid);
    return t ? t->name.c_str() : nullptr;
}

STATUS taskSafe(void)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    self->safeCount++;
    return OK;
}

STATUS taskUnsafe(void)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    if (self->safeCount == 0) {
        errno = EINVAL;
        return ERROR;
    }
    self->safeCount--;
    return OK;
}

BOOL taskDeletePending(void)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    return self->deletePending ? TRUE : FALSE;
}
