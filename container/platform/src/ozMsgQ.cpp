/*
 * ozMsgQ.cpp - message queues.
 *
 * Anonymous queues are kernel objects: a bounded list of messages with
 * queues of blocked receivers and senders. A send to a waiting receiver or
 * a receive that frees room for a waiting sender hands the message over
 * directly, so waiters are served in their queue's order (FIFO, or by task
 * priority with MSG_Q_PRIORITY). MSG_PRI_URGENT messages go to the head.
 *
 * Named public queues are POSIX message queues, shared between processes.
 * Their descriptors are non-blocking; a wait for one is a platform wait in
 * the kernel (see sysWait), which a task deletion interrupts.
 */
#include "ozPlatformInt.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <mqueue.h>
#include <unordered_set>

using oz::Lock;
using oz::Tcb;

struct ozMsgQ {
    bool named = false;
    int maxMsgs = 0;
    int maxLen = 0;
    int options = 0;
    /* anonymous */
    std::deque<std::vector<char>> msgs;
    oz::WaitQueue recvQ;
    oz::WaitQueue sendQ;
    /* named */
    mqd_t mqd = (mqd_t)-1;
};

namespace {

std::unordered_set<ozMsgQ *> &liveQueues()
{
    static auto *s = new std::unordered_set<ozMsgQ *>;
    return *s;
}

bool validLocked(ozMsgQ *q)
{
    return q != nullptr && liveQueues().count(q) != 0;
}

void enqueueLocked(ozMsgQ *q, std::vector<char> &&msg, int priority)
{
    if (priority == MSG_PRI_URGENT)
        q->msgs.push_front(std::move(msg));
    else
        q->msgs.push_back(std::move(msg));
}

ssize_t copyOut(const std::vector<char> &msg, char *buffer, size_t maxNBytes)
{
    size_t n = std::min(msg.size(), maxNBytes);
    if (n > 0)
        std::memcpy(buffer, msg.data(), n);
    return static_cast<ssize_t>(n);
}

bool validName(const char *name)
{
    if (name == nullptr || name[0] != '/' || name[1] == '\0')
        return false;
    if (std::strchr(name + 1, '/') != nullptr)
        return false;
    return std::strlen(name) < NAME_MAX;
}

/* Run a named queue operation with the platform's time-out rules: the
 * descriptor is non-blocking, and the wait for it to become ready is a
 * platform wait (no waking in between; a deletion of the calling task ends
 * it). NO_WAIT fails at once with EAGAIN, a time-out gives ETIMEDOUT. */
template <typename Op>
ssize_t namedTimed(mqd_t mqd, short events, int timeoutTicks, Op op)
{
    std::optional<oz::Clock::time_point> deadline = oz::ticksDeadline(timeoutTicks);
    for (;;) {
        ssize_t rc = op();
        if (rc >= 0)
            return rc;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return -1;
        if (timeoutTicks == NO_WAIT) {
            errno = S_objLib_OBJ_UNAVAILABLE;
            return -1;
        }
        pollfd p{mqd, events, 0};
        int r = oz::sysWait(&p, 1, deadline);
        if (r < 0)
            return -1;
        if (r == 0) {
            errno = S_objLib_OBJ_TIMEOUT;
            return -1;
        }
        /* Ready, though another reader or writer may be first: try again. */
    }
}

} // namespace

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options)
{
    if (maxMsgs <= 0 || maxMsgLength < 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto *q = new (std::nothrow) ozMsgQ;
    if (q == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    q->maxMsgs = maxMsgs;
    q->maxLen = maxMsgLength;
    q->options = options;
    q->recvQ.byPriority = q->sendQ.byPriority = (options & MSG_Q_PRIORITY) != 0;
    Lock lk(oz::kernelMutex());
    liveQueues().insert(q);
    return q;
}

MSG_Q_ID msgQOpen(const char *name, int maxMsgs, int maxMsgLength, int options, int mode)
{
    if (!validName(name)) {
        errno = EINVAL;
        return nullptr;
    }
    int oflag = O_RDWR | O_NONBLOCK;
    if (mode & OM_CREATE) {
        oflag |= O_CREAT;
        if (mode & OM_EXCL)
            oflag |= O_EXCL;
        if (maxMsgs <= 0 || maxMsgLength <= 0) {
            errno = EINVAL;
            return nullptr;
        }
    }
    mq_attr attr{};
    attr.mq_maxmsg = maxMsgs;
    attr.mq_msgsize = maxMsgLength;
    mqd_t mqd = mq_open(name, oflag, 0660, (mode & OM_CREATE) ? &attr : nullptr);
    if (mqd == (mqd_t)-1)
        return nullptr;
    mq_attr actual{};
    if (mq_getattr(mqd, &actual) != 0) {
        int err = errno;
        mq_close(mqd);
        errno = err;
        return nullptr;
    }
    auto *q = new (std::nothrow) ozMsgQ;
    if (q == nullptr) {
        mq_close(mqd);
        errno = ENOMEM;
        return nullptr;
    }
    q->named = true;
    q->mqd = mqd;
    q->maxMsgs = static_cast<int>(actual.mq_maxmsg);
    q->maxLen = static_cast<int>(actual.mq_msgsize);
    q->options = options;
    Lock lk(oz::kernelMutex());
    liveQueues().insert(q);
    return q;
}

STATUS msgQDelete(MSG_Q_ID q)
{
    Lock lk(oz::kernelMutex());
    if (!validLocked(q)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    liveQueues().erase(q);
    while (Tcb *w = q->recvQ.popFirst())
        oz::kernelWake(w, S_objLib_OBJ_DELETED);
    while (Tcb *w = q->sendQ.popFirst())
        oz::kernelWake(w, S_objLib_OBJ_DELETED);
    lk.unlock();
    if (q->named)
        mq_close(q->mqd);
    delete q;
    return OK;
}

STATUS msgQClose(MSG_Q_ID q)
{
    {
        Lock lk(oz::kernelMutex());
        if (!validLocked(q) || !q->named) {
            errno = S_objLib_OBJ_ID_ERROR;
            return ERROR;
        }
    }
    return msgQDelete(q);
}

STATUS msgQUnlink(const char *name)
{
    if (!validName(name)) {
        errno = EINVAL;
        return ERROR;
    }
    return mq_unlink(name) == 0 ? OK : ERROR;
}

STATUS msgQSend(MSG_Q_ID q, const char *buffer, size_t nBytes, int timeoutTicks, int priority)
{
    if (buffer == nullptr && nBytes > 0) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    if (!validLocked(q)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (nBytes > static_cast<size_t>(q->maxLen)) {
        errno = EMSGSIZE;
        return ERROR;
    }
    if (q->named) {
        mqd_t mqd = q->mqd;
        lk.unlock();
        unsigned prio = priority == MSG_PRI_URGENT ? 1 : 0;
        ssize_t rc =
            namedTimed(mqd, POLLOUT, timeoutTicks, [&]() -> ssize_t { return mq_send(mqd, buffer, nBytes, prio); });
        return rc < 0 ? ERROR : OK;
    }
    std::vector<char> msg(buffer, buffer + nBytes);
    if (Tcb *r = q->recvQ.popFirst()) {
        r->xfer = std::move(msg);
        oz::kernelWake(r, 0);
        return OK;
    }
    if (q->msgs.size() < static_cast<size_t>(q->maxMsgs)) {
        enqueueLocked(q, std::move(msg), priority);
        return OK;
    }
    if (timeoutTicks == NO_WAIT) {
        errno = S_objLib_OBJ_UNAVAILABLE;
        return ERROR;
    }
    self->xfer = std::move(msg);
    self->xferPriority = priority;
    q->sendQ.insert(self);
    int r = oz::kernelWait(lk, self, timeoutTicks, &q->sendQ);
    self->xfer.clear();
    if (r != 0) {
        errno = r;
        return ERROR;
    }
    return OK;
}

ssize_t msgQReceive(MSG_Q_ID q, char *buffer, size_t maxNBytes, int timeoutTicks)
{
    if (buffer == nullptr && maxNBytes > 0) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb *self = oz::taskSelf();
    Lock lk(oz::kernelMutex());
    if (!validLocked(q)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (q->named) {
        mqd_t mqd = q->mqd;
        std::vector<char> tmp(static_cast<size_t>(q->maxLen) + 1);
        lk.unlock();
        ssize_t n = namedTimed(mqd, POLLIN, timeoutTicks,
                               [&]() -> ssize_t { return mq_receive(mqd, tmp.data(), tmp.size(), nullptr); });
        if (n < 0)
            return ERROR;
        tmp.resize(static_cast<size_t>(n));
        return copyOut(tmp, buffer, maxNBytes);
    }
    if (!q->msgs.empty()) {
        std::vector<char> msg = std::move(q->msgs.front());
        q->msgs.pop_front();
        if (Tcb *s = q->sendQ.popFirst()) {
            enqueueLocked(q, std::move(s->xfer), s->xferPriority);
            oz::kernelWake(s, 0);
        }
        return copyOut(msg, buffer, maxNBytes);
    }
    if (timeoutTicks == NO_WAIT) {
        errno = S_objLib_OBJ_UNAVAILABLE;
        return ERROR;
    }
    q->recvQ.insert(self);
    int r = oz::kernelWait(lk, self, timeoutTicks, &q->recvQ);
    if (r != 0) {
        errno = r;
        return ERROR;
    }
    std::vector<char> msg = std::move(self->xfer);
    self->xfer.clear();
    return copyOut(msg, buffer, maxNBytes);
}

int msgQNumMsgs(MSG_Q_ID q)
{
    Lock lk(oz::kernelMutex());
    if (!validLocked(q)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (!q->named)
        return static_cast<int>(q->msgs.size());
    mq_attr attr{};
    if (mq_getattr(q->mqd, &attr) != 0)
        return ERROR;
    return static_cast<int>(attr.mq_curmsgs);
}

namespace {

bool readProcInt(const char *path, int *value)
{
    FILE *f = std::fopen(path, "re");
    if (f == nullptr)
        return false;
    int v = 0;
    bool ok = std::fscanf(f, "%d", &v) == 1;
    std::fclose(f);
    if (ok)
        *value = v;
    return ok;
}

} // namespace

STATUS msgQSystemLimitsGet(int *maxMsgs, int *maxMsgLength)
{
    if (maxMsgs == nullptr || maxMsgLength == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    if (!readProcInt("/proc/sys/fs/mqueue/msg_max", maxMsgs) ||
        !readProcInt("/proc/sys/fs/mqueue/msgsize_max", maxMsgLength)) {
        errno = ENOSYS;
        return ERROR;
    }
    return OK;
}
