/*
 * ozSem.cpp - mutual-exclusion and binary semaphores.
 *
 * Both kinds are kernel objects under the kernel lock with a queue of
 * blocked tasks (FIFO, or by task priority with SEM_Q_PRIORITY). A give
 * hands the semaphore straight to the first waiter, so no later taker can
 * overtake it. Mutexes are owner-recursive; a deletion-safe mutex protects
 * its owner from deletion while held. Priorities are recorded but not
 * applied to the threads (tasks run under the normal time-sharing policy,
 * where there is no priority to inherit).
 */
#include "ozPlatformInt.h"

#include <algorithm>
#include <unordered_set>

using oz::Lock;
using oz::Tcb;

struct ozSemaphore {
    bool isMutex = false;
    int options = 0;
    bool full = false;    /* binary */
    Tcb *owner = nullptr; /* mutex */
    int count = 0;        /* mutex recursion depth */
    oz::WaitQueue q;
};

namespace {

/* Live semaphores, so that a stale or null handle is refused. */
std::unordered_set<ozSemaphore *> &liveSems()
{
    static auto *s = new std::unordered_set<ozSemaphore *>;
    return *s;
}

bool validLocked(ozSemaphore *s)
{
    return s != nullptr && liveSems().count(s) != 0;
}

void mutexAcquire(ozSemaphore *s, Tcb *t)
{
    s->owner = t;
    s->count = 1;
    t->held.push_back(s);
    if (s->options & SEM_DELETE_SAFE)
        t->safeMutexes++;
}

/* The owner gives the mutex up completely; the first waiter gets it. */
void mutexRelease(ozSemaphore *s)
{
    Tcb *t = s->owner;
    if (t != nullptr) {
        auto it = std::find(t->held.begin(), t->held.end(), s);
        if (it != t->held.end())
            t->held.erase(it);
        if (s->options & SEM_DELETE_SAFE)
            t->safeMutexes--;
        if (oz::taskDeletable(t))
            t->cv.notify_all(); /* a pending deletion may proceed now */
    }
    s->owner = nullptr;
    s->count = 0;
    if (Tcb *w = s->q.popFirst()) {
        mutexAcquire(s, w);
        oz::kernelWake(w, 0);
    }
}

SEM_ID semCreate(bool isMutex, int options, bool full)
{
    auto *s = new (std::nothrow) ozSemaphore;
    if (s == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    s->isMutex = isMutex;
    s->options = options;
    s->full = full;
    s->q.byPriority = (options & SEM_Q_PRIORITY) != 0;
    Lock lk(oz::kernelMutex());
    liveSems().insert(s);
    return s;
}

} // namespace

namespace oz {

void semReleaseAllHeld(Tcb *t)
{
    while (!t->held.empty())
        mutexRelease(t->held.back());
}

} // namespace oz

SEM_ID semMCreate(int options)
{
    return semCreate(true, options, false);
}

SEM_ID semBCreate(int options, SEM_B_STATE initialState)
{
    if (initialState != SEM_EMPTY && initialState != SEM_FULL) {
        errno = EINVAL;
        return nullptr;
    }
    return semCreate(false, options, initialState == SEM_FULL);
}

STATUS semTake(SEM_ID sem, int timeoutTicks)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    if (!validLocked(sem)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (sem->isMutex) {
        if (sem->owner == nullptr) {
            mutexAcquire(sem, self);
            return OK;
        }
        if (sem->owner == self) {
            sem->count++;
            return OK;
        }
    } else if (sem->full) {
        sem->full = false;
        return OK;
    }
    if (timeoutTicks == NO_WAIT) {
        errno = S_objLib_OBJ_UNAVAILABLE;
        return ERROR;
    }
    sem->q.insert(self);
    int r = oz::kernelWait(lk, self, timeoutTicks, &sem->q);
    if (r != 0) {
        errno = r;
        return ERROR;
    }
    return OK;
}

STATUS semGive(SEM_ID sem)
{
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    if (!validLocked(sem)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (sem->isMutex) {
        if (sem->owner != self) {
            errno = EPERM; /* only the owner gives a mutex */
            return ERROR;
        }
        if (--sem->count == 0)
            mutexRelease(sem);
        return OK;
    }
    if (Tcb *w = sem->q.popFirst())
        oz::kernelWake(w, 0);
    else
        sem->full = true;
    return OK;
}

STATUS semDelete(SEM_ID sem)
{
    Lock lk(oz::kernelMutex());
    if (!validLocked(sem)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    liveSems().erase(sem);
    if (sem->isMutex && sem->owner != nullptr) {
        Tcb *t = sem->owner;
        auto it = std::find(t->held.begin(), t->held.end(), sem);
        if (it != t->held.end())
            t->held.erase(it);
        if (sem->options & SEM_DELETE_SAFE)
            t->safeMutexes--;
        if (oz::taskDeletable(t))
            t->cv.notify_all();
    }
    while (Tcb *w = sem->q.popFirst())
        oz::kernelWake(w, S_objLib_OBJ_DELETED);
    delete sem;
    return OK;
}
