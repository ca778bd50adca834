/*
 * ozcRuntimeClient.cpp - one request/reply exchange with the runtime daemon.
 *
 * Each request has its own reply queue ("<request queue>-u-<pid>-<seq>")
 * and info queue ("<reply queue>_info"), so any number of tasks in any
 * process can call at once without their replies crossing.
 */
#include "ozcRuntimeClient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "ozcContainerLib.h"
#include "ozOwners.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"

using ozc::failWith;

namespace {

int64_t msgQId; /* per-process request sequence number */

using oz::FreeDeleter;
using oz::JsonDeleter;

/* A named queue this client created: closed and unlinked on every path. */
struct OwnedQueue {
    MSG_Q_ID q = nullptr;
    const char *name = nullptr;
    ~OwnedQueue()
    {
        if (q != nullptr) {
            msgQClose(q);
            msgQUnlink(name);
        }
    }
};

struct OpenQueue {
    MSG_Q_ID q = nullptr;
    ~OpenQueue()
    {
        if (q != nullptr)
            msgQClose(q);
    }
};

/* "OZC_VERBOSE" as an unsigned decimal number, low 8 bits; 2 when unset. */
uint8_t ozcClientVerbosity()
{
    char buf[32];
    if (ozEnvGet("OZC_VERBOSE", buf, sizeof(buf)) != OK)
        return 2;
    return (uint8_t)(strtoul(buf, nullptr, 10) & 0xff);
}

} // namespace

extern "C" {

/* Receives one reply: the first piece, then the rest piece by piece until
 * dataLen + 204 bytes are in. *ppBuf holds the reply with room for a NUL
 * after the data. */
static STATUS ozcMessageRecv(MSG_Q_ID q, char **ppBuf, int timeout)
{
    std::unique_ptr<char, FreeDeleter> buf(static_cast<char *>(malloc(OZC_MSG_SIZE + 1)));
    if (!buf) {
        return failWith(ENOMEM);
    }
    ssize_t n = msgQReceive(q, buf.get(), OZC_MSG_SIZE, timeout);
    if (n < OZC_MSG_HDR_LEN)
        return ERROR;
    auto *hdr = reinterpret_cast<OZC_MESSAGE *>(buf.get());
    size_t total = (size_t)hdr->dataLen + OZC_MSG_HDR_LEN;
    /* A daemon never sends a text of 65536 characters or more. */
    if (hdr->dataLen >= OZC_REPLY_TEXT_MAX || (size_t)n > total)
        return ERROR;
    if ((size_t)n < total) {
        /* Room for a whole piece at the end: a piece longer than announced
         * is refused below, never written past the buffer. */
        char *big = static_cast<char *>(realloc(buf.get(), total + OZC_MSG_SIZE + 1));
        if (big == nullptr) {
            return failWith(ENOMEM);
        }
        (void)buf.release();
        buf.reset(big);
        size_t have = (size_t)n;
        while (have < total) {
            ssize_t k = msgQReceive(q, buf.get() + have, OZC_MSG_SIZE, timeout);
            if (k <= 0 || have + (size_t)k > total)
                return ERROR;
            have += (size_t)k;
        }
    }
    *ppBuf = buf.release();
    return OK;
}

/* Prints the daemon's info lines waiting in the info queue. */
static void ozcMessagesPrint(MSG_Q_ID infoQ)
{
    char line[OZC_INFO_MSG_LEN + 1];
    ssize_t n;
    while ((n = msgQReceive(infoQ, line, OZC_INFO_MSG_LEN, NO_WAIT)) > 0) {
        line[n] = '\0';
        printf("%s.\n", line);
    }
    fflush(stdout);
}

STATUS ozcCallQ(const char *msgQHandle, int cmdId, struct ozcParam *param, int count, char **ppResp)
{
    if (msgQHandle == nullptr) {
        return failWith(EINVAL);
    }
    std::unique_ptr<cJSON, JsonDeleter> req(ozcParamObjInit(param, count));
    if (!req) {
        return failWith(ENOMEM);
    }
    std::unique_ptr<char, FreeDeleter> text(cJSON_PrintUnformatted(req.get()));
    if (!text) {
        return failWith(ENOMEM);
    }
    size_t len = strlen(text.get());
    if (len >= OZC_MSG_DATA_MAX + 1) {
        return failWith(ENOMEM);
    }
    std::unique_ptr<char, FreeDeleter> msg(static_cast<char *>(calloc(1, OZC_MSG_SIZE)));
    if (!msg) {
        return failWith(ENOMEM);
    }
    auto *hdr = reinterpret_cast<OZC_MESSAGE *>(msg.get());
    hdr->cmdId = cmdId;
    hdr->dataLen = (uint32_t)len;
    memcpy(hdr->data, text.get(), len);

    unsigned long seq = (unsigned long)ozAtomic64Inc(&msgQId);
    char infoName[OZC_MSG_NAME_LEN];
    if (snprintf_s(hdr->name, sizeof(hdr->name), "%s-u-%lu-%lu", msgQHandle, (unsigned long)getpid(), seq) < 0 ||
        snprintf_s(infoName, sizeof(infoName), "%s_%s", hdr->name, "info") < 0) {
        return failWith(ENAMETOOLONG);
    }

    OpenQueue reqQ;
    reqQ.q = msgQOpen(msgQHandle, OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, 0);
    if (reqQ.q == nullptr) {
        return failWith(OZC_ERR_DAEMON_NOT_RUNNING);
    }
    OwnedQueue replyQ, infoQ;
    replyQ.name = hdr->name;
    infoQ.name = infoName;
    replyQ.q = msgQOpen(hdr->name, OZC_REPLY_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_FIFO, OM_CREATE | OM_EXCL);
    if (replyQ.q != nullptr)
        infoQ.q = msgQOpen(infoName, OZC_INFO_MSGQ_DEPTH, OZC_INFO_MSG_LEN, MSG_Q_FIFO, OM_CREATE | OM_EXCL);
    if (replyQ.q == nullptr || infoQ.q == nullptr) {
        errno = 0;
        return ERROR;
    }
    hdr->msgLvl = ozcClientVerbosity();

    if (msgQSend(reqQ.q, msg.get(), OZC_MSG_SIZE, WAIT_FOREVER, MSG_PRI_NORMAL) != OK) {
        errno = 0;
        return ERROR;
    }
    char *reply = nullptr;
    /* The daemon's answer takes real time: a clock sped up for tests must
     * not shorten the wait for it. */
    int timeout = OZC_REPLY_TIMEOUT_SEC * sysClkRateGet() * static_cast<int>(ozClockSpeedupGet());
    if (ozcMessageRecv(replyQ.q, &reply, timeout) != OK) {
        ozcMessagesPrint(infoQ.q);
        errno = 0;
        return ERROR;
    }
    std::unique_ptr<char, FreeDeleter> replyOwner(reply);
    auto *rh = reinterpret_cast<OZC_MESSAGE *>(reply);
    rh->data[rh->dataLen] = '\0';
    if (ppResp != nullptr) {
        char *copy = static_cast<char *>(malloc((size_t)rh->dataLen + 1));
        if (copy == nullptr) {
            return failWith(ENOMEM);
        }
        memcpy(copy, rh->data, (size_t)rh->dataLen + 1);
        *ppResp = copy;
    }
    ozcMessagesPrint(infoQ.q);
    return OK;
}

STATUS ozcCall(int cmdId, struct ozcParam *param, int count, char **ppResp)
{
    return ozcCallQ(ozcDaemonQueueName(), cmdId, param, count, ppResp);
}

} /* extern "C" */
