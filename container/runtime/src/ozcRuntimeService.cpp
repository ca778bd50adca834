/*
 * ozcRuntimeService.cpp - the runtime daemon: a single task that owns the
 * container list and serves requests from its public request queue one
 * after another, replying on each client's own reply queue.
 */
#include "ozcRuntimeService.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <csignal>

#include "ozJson.h"
#include "ozcContainerLib.h"
#include "ozcRuntimeSpec.h"
#include "ozOwners.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"

using ozc::failWith;
using ozc::pathCopy;

namespace {

using oz::FreeDeleter;
using oz::JsonPtr;

std::atomic<bool> stopRequested{false};
std::atomic<bool> serving{false};
char servedQueue[64];

/* The frame of a reply around its body's one item:
 * {"errno":<code>,"body":[ ... ]} with the longest code. */
constexpr size_t kReplyFrameLen = 40;

int codeOf(STATUS rc)
{
    if (rc == OK)
        return 0;
    return errno != 0 ? errno : -1;
}

char *paramStr(const ozcParam &p)
{
    return OZC_DATA_STR(p.value);
}
int paramInt(const ozcParam &p)
{
    return (int)(int64_t)p.value;
}

} // namespace

extern "C" {

/* ------------------------------------------------------------------------
 * Reply
 * ------------------------------------------------------------------------ */
static STATUS ozcMessageSend(MSG_Q_ID q, const char *buf, size_t len)
{
    for (size_t off = 0; off < len; off += OZC_MSG_SIZE) {
        size_t piece = len - off < OZC_MSG_SIZE ? len - off : OZC_MSG_SIZE;
        if (msgQSend(q, buf + off, piece, sysClkRateGet(), MSG_PRI_NORMAL) != OK)
            return ERROR;
    }
    return OK;
}

STATUS ozcReplyMessage(char *name, int cmdId, cJSON *body, int errCode)
{
    if (name == nullptr || name[0] == '\0')
        return ERROR;
    MSG_Q_ID q = msgQOpen(name, OZC_REPLY_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_FIFO, 0);
    if (q == nullptr)
        return ERROR;
    STATUS rc = ERROR;
    JsonPtr reply(cJSON_CreateObject());
    if (reply && cJSON_AddNumberToObject(reply.get(), "errno", errCode) != nullptr &&
        cJSON_AddItemReferenceToObject(reply.get(), "body", body)) {
        std::unique_ptr<char, FreeDeleter> text(cJSON_PrintUnformatted(reply.get()));
        size_t len = text ? strlen(text.get()) : OZC_REPLY_TEXT_MAX;
        if (len < OZC_REPLY_TEXT_MAX) {
            std::unique_ptr<char, FreeDeleter> msg(static_cast<char *>(calloc(1, len + OZC_MSG_HDR_LEN)));
            if (msg) {
                auto *hdr = reinterpret_cast<OZC_MESSAGE *>(msg.get());
                memcpy(hdr->name, name, strnlen(name, OZC_MSG_NAME_LEN - 1));
                hdr->cmdId = cmdId;
                hdr->dataLen = (uint32_t)len;
                memcpy(hdr->data, text.get(), len);
                rc = ozcMessageSend(q, msg.get(), len + OZC_MSG_HDR_LEN);
            }
        }
    }
    msgQClose(q);
    return rc;
}

/* Length of the unformatted text of a reply whose body holds `item`;
 * SIZE_MAX when it cannot be printed. */
static size_t ozcReplyLength(const cJSON *item)
{
    std::unique_ptr<char, FreeDeleter> text(item != nullptr ? cJSON_PrintUnformatted(item) : nullptr);
    /* {"errno":<code>,"body":[<item>]} */
    return text ? strlen(text.get()) + kReplyFrameLen : SIZE_MAX;
}

/* ------------------------------------------------------------------------
 * Body builders
 * ------------------------------------------------------------------------ */
/* The state of one container; "pid" (the process its starter spawned, as
 * the starter reported it) once there is one. */
static cJSON *ozcMsgBodyInitByState(const CONTAINER_STATE *st)
{
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    OBJ_HANDLE pid = st->pCtx != nullptr ? st->pCtx->pidHandle : 0;
    if (cJSON_AddStringToObject(o, "ociVersion", st->ver) == nullptr ||
        cJSON_AddStringToObject(o, "id", st->containerId) == nullptr ||
        cJSON_AddNumberToObject(o, "status", st->status) == nullptr ||
        (pid > 0 && cJSON_AddNumberToObject(o, "pid", (double)pid) == nullptr) ||
        cJSON_AddStringToObject(o, "bundle", st->bundlePath) == nullptr) {
        cJSON_Delete(o);
        return nullptr;
    }
    return o;
}

static cJSON *ozcInspectContainerState(int status)
{
    static const char *const order[4][3] = {
        {nullptr, nullptr, nullptr},
        {"Created", "Running", "Stopped"},
        {"Running", "Stopped", "Created"},
        {"Stopped", "Running", "Created"},
    };
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr || status < STATE_CREATED || status > STATE_STOPPED)
        return o;
    for (int i = 0; i < 3; i++)
        cJSON_AddBoolToObject(o, order[status][i], i == 0);
    return o;
}

static cJSON *ozcInspectHostConfig(const runtimeSpecConfig *cfg)
{
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddNumberToObject(o, "option", cfg->orrery->option);
    cJSON_AddNumberToObject(o, "priority", cfg->orrery->priority);
    cJSON_AddNumberToObject(o, "taskOption", cfg->orrery->taskOption);
    cJSON_AddNumberToObject(o, "stackSize", cfg->orrery->stackSize);
    return o;
}

static cJSON *ozcInspectContainerConfig(const runtimeSpecConfig *cfg)
{
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON *proc = cfg->process->tree;
    if (cfg->hostName != nullptr)
        cJSON_AddStringToObject(o, "Hostname", cfg->hostName);
    ozcJsonCopy(proc, (char *)"env", o, (char *)"Env");
    ozcJsonCopy(proc, (char *)"args", o, (char *)"Cmd");
    ozcJsonCopy(cfg->tree, (char *)"mounts", o, (char *)"Volumes");
    ozcJsonCopy(proc, (char *)"cwd", o, (char *)"WorkingDir");
    cJSON_AddStringToObject(o, "Entrypoint", cfg->process->args[0] ? cfg->process->args[0] : "");
    ozcJsonCopy(cfg->tree, (char *)"annotations", o, (char *)"Labels");
    return o;
}

/* ------------------------------------------------------------------------
 * Request handlers: each returns 0 or the errno of the operation.
 * ------------------------------------------------------------------------ */
/* The start-parameter object of a reply. */
static cJSON *ozcStartParmObj(const CONTAINER_START_PARM *sp)
{
    JsonPtr o(cJSON_CreateObject());
    if (!o)
        return nullptr;
    cJSON_AddStringToObject(o.get(), "appPath", sp->appPath);
    cJSON *arg = cJSON_CreateStringArray(const_cast<const char *const *>(sp->arg), sp->argNum);
    cJSON_AddItemToObject(o.get(), "arg", arg ? arg : cJSON_CreateArray());
    if (sp->env != nullptr && sp->envNum > 0)
        cJSON_AddItemToObject(o.get(), "env",
                              cJSON_CreateStringArray(const_cast<const char *const *>(sp->env), sp->envNum));
    cJSON_AddNumberToObject(o.get(), "option", sp->option);
    cJSON_AddNumberToObject(o.get(), "priority", sp->priority);
    cJSON_AddNumberToObject(o.get(), "stackSize", sp->stackSize);
    cJSON_AddNumberToObject(o.get(), "taskOption", sp->taskOption);
    cJSON_AddNumberToObject(o.get(), "nsId", sp->nsId);
    cJSON_AddStringToObject(o.get(), "cwd", sp->cwd ? sp->cwd : "");
    cJSON_AddNumberToObject(o.get(), "posixFlags", sp->posixFlags);
    return o.release();
}

static int ozcStartContainer(cJSON *data, cJSON *body)
{
    ozcParam p[] = {{STRING, "containerId", 0, 0}, {INTEGER, "option", 0, 0}};
    if (ozcParamObjGet(data, p, 2) != OK)
        return codeOf(ERROR);
    CONTAINER_START_PARM sp;
    if (ozcContainerStart(paramStr(p[0]), &sp) != OK)
        return codeOf(ERROR);
    cJSON *o = ozcStartParmObj(&sp);
    if (o == nullptr)
        return ENOMEM;
    cJSON_AddItemToArray(body, o);
    return 0;
}

static int ozcKillContainer(cJSON *data, cJSON *body)
{
    (void)body;
    ozcParam p[] = {{STRING, "containerId", 0, 0}, {INTEGER, "signo", 15, 0}, {INTEGER, "option", 0, 0}};
    if (ozcParamObjGet(data, p, 3) != OK)
        return codeOf(ERROR);
    return codeOf(ozcContainerKill(paramStr(p[0]), paramInt(p[1]), (unsigned)paramInt(p[2])));
}

static int ozcDeleteContainer(cJSON *data, cJSON *body)
{
    (void)body;
    ozcParam p[] = {{STRING, "containerId", 0, 0}, {INTEGER, "option", 0, 0}};
    if (ozcParamObjGet(data, p, 2) != OK)
        return codeOf(ERROR);
    return codeOf(ozcContainerDelete(paramStr(p[0]), (unsigned)paramInt(p[1])));
}

/* The state object of container id; null with *code set on failure. */
static cJSON *ozcStateObj(char *id, int *code)
{
    CONTAINER_STATE st;
    if (ozcContainerStateGet(id, &st) != OK) {
        *code = codeOf(ERROR);
        return nullptr;
    }
    cJSON *o = ozcMsgBodyInitByState(&st);
    *code = o != nullptr ? 0 : ENOMEM;
    return o;
}

/* Add the state of container id to the reply body. */
static int ozcStateAppend(char *id, cJSON *body)
{
    int code = 0;
    cJSON *o = ozcStateObj(id, &code);
    if (o != nullptr)
        cJSON_AddItemToArray(body, o);
    return code;
}

static int ozcQueryContainerState(cJSON *data, cJSON *body)
{
    ozcParam p[] = {{STRING, "containerId", 0, 0}};
    if (ozcParamObjGet(data, p, 1) != OK)
        return codeOf(ERROR);
    return ozcStateAppend(paramStr(p[0]), body);
}

/* The containers after "after" (all from the first without it), in id
 * order, as many as a reply holds: a client asks again from the last id
 * it got until a page comes back empty. */
static int ozcQueryContainerList(cJSON *data, cJSON *body)
{
    ozcParam p[] = {{STRING, "after", 0, 0}};
    char id[OZC_CONTAINER_ID_LEN + 1] = "";
    if (data != nullptr && cJSON_GetObjectItem(data, "after") != nullptr) {
        if (ozcParamObjGet(data, p, 1) != OK)
            return codeOf(ERROR);
        if (!pathCopy(id, sizeof(id), paramStr(p[0])))
            return codeOf(failWith(EINVAL));
    }
    size_t used = kReplyFrameLen;
    while (ozcContainerNext(id)) {
        int code = 0;
        cJSON *o = ozcStateObj(id, &code);
        if (o == nullptr)
            return code;
        size_t len = ozcReplyLength(o) - kReplyFrameLen + 1;
        if (used + len >= OZC_REPLY_TEXT_MAX && cJSON_GetArraySize(body) > 0) {
            cJSON_Delete(o);
            break;
        }
        used += len;
        cJSON_AddItemToArray(body, o);
    }
    return 0;
}

/* The inspect object of a container; null with *code set on failure. */
static cJSON *ozcInspectObj(const CONTAINER_STATE *st, int *code)
{
    /* The record stays in the list: the daemon task is its only user. */
    const runtimeSpecConfig *cfg = st->pCtx->pConfig;
    *code = ENOMEM;
    JsonPtr o(cJSON_CreateObject());
    if (!o)
        return nullptr;
    struct tm tmv;
    char created[64] = "";
    if (localtime_s(&st->createdTime, &tmv) != nullptr)
        snprintf(created, sizeof(created), "%d-%02d-%02dT%02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                 tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    cJSON *args = cJSON_CreateArray();
    if (args == nullptr)
        return nullptr;
    for (int i = 1; i < cfg->process->argCount; i++)
        if (cfg->process->args[i] != nullptr)
            cJSON_AddItemToArray(args, cJSON_CreateString(cfg->process->args[i]));
    cJSON_AddStringToObject(o.get(), "Id", st->containerId);
    cJSON_AddStringToObject(o.get(), "Created", created);
    cJSON_AddStringToObject(o.get(), "Path", cfg->process->args[0] ? cfg->process->args[0] : "");
    cJSON_AddItemToObject(o.get(), "args", args);
    cJSON *state = ozcInspectContainerState(st->status);
    cJSON *host = ozcInspectHostConfig(cfg);
    cJSON *config = ozcInspectContainerConfig(cfg);
    if (state == nullptr || host == nullptr || config == nullptr) {
        cJSON_Delete(state);
        cJSON_Delete(host);
        cJSON_Delete(config);
        return nullptr;
    }
    cJSON_AddItemToObject(o.get(), "State", state);
    cJSON_AddStringToObject(o.get(), "Platform", "orrery");
    cJSON_AddStringToObject(o.get(), "Name", st->containerId);
    cJSON_AddItemToObject(o.get(), "HostConfig", host);
    cJSON_AddItemToObject(o.get(), "Config", config);
    *code = 0;
    return o.release();
}

static int ozcInspectContainer(cJSON *data, cJSON *body)
{
    ozcParam p[] = {{STRING, "Id", 0, 0}};
    if (ozcParamObjGet(data, p, 1) != OK)
        return codeOf(ERROR);
    CONTAINER_STATE st;
    if (ozcContainerStateGet(paramStr(p[0]), &st) != OK)
        return codeOf(ERROR);
    int code = 0;
    cJSON *o = ozcInspectObj(&st, &code);
    if (o == nullptr)
        return code;
    cJSON_AddItemToArray(body, o);
    return 0;
}

static int ozcStorePidHandleContainer(cJSON *data, cJSON *body)
{
    (void)body;
    ozcParam p[] = {{STRING, "containerId", 0, 0}, {INTEGER, "handle", 0, 0}};
    if (ozcParamObjGet(data, p, 2) != OK)
        return codeOf(ERROR);
    return codeOf(ozcContainerStorePidHandle(paramStr(p[0]), (OBJ_HANDLE)paramInt(p[1])));
}

/* A container is created only when the replies about it fit: its start
 * parameters and its inspect object. One that could never be started or
 * inspected is deleted again and refused with E2BIG. */
static int ozcCreatedRepliesFit(char *id)
{
    CONTAINER_START_PARM sp;
    CONTAINER_STATE st;
    if (ozcContainerStartParmGet(id, &sp) != OK || ozcContainerStateGet(id, &st) != OK)
        return codeOf(ERROR);
    JsonPtr start(ozcStartParmObj(&sp));
    int code = 0;
    JsonPtr inspect(ozcInspectObj(&st, &code));
    if (!start || !inspect)
        return code != 0 ? code : ENOMEM;
    size_t need = std::max(ozcReplyLength(start.get()), ozcReplyLength(inspect.get()));
    if (need < OZC_REPLY_TEXT_MAX)
        return 0;
    ozcSendMsg(1,
               (char *)"Container %s: its start parameters or description take %zu bytes, a reply "
                       "holds at most %d",
               id, need, OZC_REPLY_TEXT_MAX - 1);
    return E2BIG;
}

static int ozcCreateContainer(cJSON *data, cJSON *body)
{
    (void)body;
    ozcParam p[] = {{STRING, "containerId", 0, 0}, {STRING, "bundle", 0, 0}, {INTEGER, "option", 0, 0}};
    if (ozcParamObjGet(data, p, 3) != OK)
        return codeOf(ERROR);
    char *id = paramStr(p[0]);
    if (ozcContainerCreate(id, paramStr(p[1]), (unsigned)paramInt(p[2]), nullptr) != OK)
        return codeOf(ERROR);
    int code = ozcCreatedRepliesFit(id);
    if (code != 0)
        ozcContainerDelete(id, OZC_DELETE_FORCE);
    return code;
}

static void ozcPrunedAppend(const char *path, void *arg)
{
    cJSON_AddItemToArray(static_cast<cJSON *>(arg), cJSON_CreateString(path));
}

static int ozcPruneContainers(cJSON *data, cJSON *body)
{
    (void)data;
    return codeOf(ozcContainerPrune(ozcPrunedAppend, body));
}

typedef int (*ozcRequestHandler)(cJSON *data, cJSON *body);

static const ozcRequestHandler ozcHandlers[] = {
    ozcCreateContainer,         /* OZC_CREATE */
    ozcStartContainer,          /* OZC_START */
    ozcKillContainer,           /* OZC_KILL */
    ozcDeleteContainer,         /* OZC_DELETE */
    ozcQueryContainerState,     /* OZC_STATE */
    ozcQueryContainerList,      /* OZC_LIST */
    nullptr,                    /* OZC_UNPACK: runs in the client */
    ozcInspectContainer,        /* OZC_INSPECT */
    ozcStorePidHandleContainer, /* OZC_STORE_STATE */
    nullptr,                    /* OZC_ALIVE */
    ozcPruneContainers,         /* OZC_PRUNE */
};

/* ------------------------------------------------------------------------
 * Queues of clients that died
 * ------------------------------------------------------------------------ */
/* A client removes its reply and info queues after the exchange; one that
 * dies first (killed while it waited) leaves them in the system. The
 * daemon remembers the clients it answered last and, after each request,
 * removes the queues of those whose process is gone. */
namespace {
struct ClientTrace {
    char name[OZC_MSG_NAME_LEN];
    pid_t pid;
};
constexpr unsigned kTracedClients = 64;
/* static: inside extern "C" the compiler would export these names. */
static ClientTrace tracedClients[kTracedClients];
static unsigned tracedNext;
} // namespace

/* The process id in a reply queue name "<request queue>-u-<pid>-<seq>";
 * 0 when the name is not of that form. */
static pid_t ozcClientPidOf(const char *name)
{
    size_t len = strlen(servedQueue);
    if (strncmp(name, servedQueue, len) != 0 || strncmp(name + len, "-u-", 3) != 0)
        return 0;
    char *end = nullptr;
    unsigned long pid = strtoul(name + len + 3, &end, 10);
    if (end == name + len + 3 || *end != '-' || pid == 0 || pid > 0x7fffffffUL)
        return 0;
    return (pid_t)pid;
}

static void ozcClientQueuesSweep(const char *answered)
{
    /* A name that does not fit is not traced: its queues would be removed
     * under a cut name, which may be another client's. */
    ClientTrace next{};
    next.pid = ozcClientPidOf(answered);
    if (next.pid != 0 && pathCopy(next.name, sizeof(next.name), answered))
        tracedClients[tracedNext++ % kTracedClients] = next;
    int saved = errno;
    for (ClientTrace &t : tracedClients) {
        if (t.pid == 0 || kill(t.pid, 0) == 0 || errno != ESRCH)
            continue;
        char info[OZC_MSG_NAME_LEN];
        msgQUnlink(t.name);
        if (snprintf_s(info, sizeof(info), "%s_%s", t.name, "info") >= 0)
            msgQUnlink(info);
        t.pid = 0;
    }
    errno = saved;
}

/* ------------------------------------------------------------------------
 * The loop
 * ------------------------------------------------------------------------ */
static void ozcMessageProcess(OZC_MESSAGE *msg)
{
    ozcMsgQnameSet(msg->name);
    ozcMsgLvlSet(msg->msgLvl);
    JsonPtr body(cJSON_CreateArray());
    if (!body)
        return;
    int code = 0;
    JsonPtr data(cJSON_Parse(msg->data));
    if (data && msg->cmdId >= 0 && msg->cmdId < (int)(sizeof(ozcHandlers) / sizeof(ozcHandlers[0])) &&
        ozcHandlers[msg->cmdId] != nullptr) {
        errno = 0;
        code = ozcHandlers[msg->cmdId](data.get(), body.get());
    }
    ozcReplyMessage(msg->name, msg->cmdId, body.get(), code);
    ozcClientQueuesSweep(msg->name);
}

/* A message may come from anyone who can open the queue: it must hold a
 * whole header, a data length within what arrived, and a reply queue name
 * that is terminated and is not the request queue itself. */
static bool ozcMessageUsable(const OZC_MESSAGE *msg, ssize_t len)
{
    if (len < OZC_MSG_HDR_LEN || msg->dataLen > OZC_MSG_DATA_MAX ||
        (size_t)len < OZC_MSG_HDR_LEN + (size_t)msg->dataLen)
        return false;
    if (memchr(msg->name, '\0', OZC_MSG_NAME_LEN) == nullptr || msg->name[0] != '/')
        return false;
    return strcmp(msg->name, servedQueue) != 0;
}

STATUS ozcDaemonTask(void)
{
    taskSafe();
    pathCopy(servedQueue, sizeof(servedQueue), ozcDaemonQueueName()); /* both 64 bytes */
    if (ozcContainerInit() != OK) {
        taskUnsafe();
        return ERROR;
    }
    /* Containers a daemon before this one left running are ours now. */
    ozcContainerAdopt();
    MSG_Q_ID q = msgQOpen(servedQueue, OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, OM_CREATE | OM_EXCL);
    if (q == nullptr) {
        taskUnsafe();
        return ERROR;
    }
    stopRequested = false;
    serving = true;
    std::unique_ptr<char, FreeDeleter> buf(static_cast<char *>(malloc(OZC_MSG_SIZE + 1)));
    while (buf) {
        ssize_t n = msgQReceive(q, buf.get(), OZC_MSG_SIZE, WAIT_FOREVER);
        if (n < 0 || stopRequested)
            break;
        auto *msg = reinterpret_cast<OZC_MESSAGE *>(buf.get());
        if (ozcMessageUsable(msg, n)) {
            msg->data[msg->dataLen] = '\0';
            ozcMessageProcess(msg);
        }
        errno = 0;
    }
    serving = false;
    msgQUnlink(servedQueue);
    msgQClose(q);
    taskUnsafe();
    return ERROR;
}

STATUS ozcDaemonStop(void)
{
    if (!serving) {
        return failWith(ESRCH);
    }
    stopRequested = true;
    /* Wake the loop with a message of no meaning. */
    MSG_Q_ID q = msgQOpen(servedQueue, OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, 0);
    if (q == nullptr)
        return ERROR;
    char wake = 0;
    STATUS rc = msgQSend(q, &wake, 1, sysClkRateGet(), MSG_PRI_URGENT);
    msgQClose(q);
    return rc;
}

} /* extern "C" */
