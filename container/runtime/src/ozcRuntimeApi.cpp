/*
 * ozcRuntimeApi.cpp - the exported runtime API. Container operations are
 * requests to the runtime daemon; starting a container spawns its process
 * here, in the caller's process, with the parameters the daemon hands out.
 * Image operations run here without the daemon.
 */
#include "ozcRuntimeApi.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ozJson.h"
#include "ozcRuntimeClient.h"
#include "ozOwners.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"

using ozc::failNull;
using ozc::failWith;

namespace {

using oz::FreeDeleter;
using oz::JsonPtr;

ozcParam strParam(const char *name, const char *value)
{
    return ozcParam{STRING, name, OZC_DATA_PTR(value), 0};
}
ozcParam intParam(const char *name, int64_t value)
{
    return ozcParam{INTEGER, name, (ozcData)value, 0};
}

/* One request; on success the parsed reply is returned. NULL with errno
 * set to the daemon's code, or EBADMSG for an unparsable reply. */
cJSON *ozcRequest(int cmd, ozcParam *p, int n, int *code = nullptr)
{
    char *text = nullptr;
    if (ozcCall(cmd, p, n, &text) != OK)
        return nullptr;
    std::unique_ptr<char, FreeDeleter> owner(text);
    JsonPtr root(cJSON_Parse(text));
    if (!root) {
        return failNull(EBADMSG);
    }
    int err = 0;
    if (ozcResponseCheck(root.get(), &err, nullptr) != OK) {
        if (code != nullptr)
            *code = err;
        return failNull(err);
    }
    return root.release();
}

/* The reply body of one request as text, formatted or on one line; null
 * with errno set on failure (EBADMSG for a reply without a body). */
char *ozcBodyRequest(int cmd, ozcParam *p, int n, bool formatted)
{
    JsonPtr root(ozcRequest(cmd, p, n));
    if (!root)
        return nullptr;
    cJSON *body = cJSON_GetObjectItem(root.get(), "body");
    if (body == nullptr) {
        return failNull(EBADMSG);
    }
    return formatted ? cJSON_Print(body) : cJSON_PrintUnformatted(body);
}

/* True, with errno EINVAL, when a required argument is missing. */
bool argMissing(const void *arg)
{
    if (arg != nullptr)
        return false;
    return failWith(EINVAL, true);
}

STATUS ozcSimpleRequest(int cmd, ozcParam *p, int n)
{
    JsonPtr root(ozcRequest(cmd, p, n));
    return root ? OK : ERROR;
}

} // namespace

extern "C" {

STATUS ozcCreate(const char *containerId, const char *bundlePath, unsigned option, const OZC_ATTR *pAttr)
{
    (void)pAttr;
    if (argMissing(containerId) || argMissing(bundlePath))
        return ERROR;
    char abs[PATH_MAX];
    const char *bundle = bundlePath;
    if (bundlePath[0] != '/') {
        if (realpath(bundlePath, abs) == nullptr)
            return ERROR;
        bundle = abs;
    }
    ozcParam p[] = {strParam("containerId", containerId), strParam("bundle", bundle), intParam("option", option)};
    return ozcSimpleRequest(OZC_CREATE, p, 3);
}

STATUS ozcKill(const char *containerId, int signo, unsigned option)
{
    if (argMissing(containerId))
        return ERROR;
    ozcParam p[] = {strParam("containerId", containerId), intParam("signo", signo), intParam("option", option)};
    return ozcSimpleRequest(OZC_KILL, p, 3);
}

STATUS ozcDelete(const char *containerId, unsigned option)
{
    if (argMissing(containerId))
        return ERROR;
    ozcParam p[] = {strParam("containerId", containerId), intParam("option", option)};
    return ozcSimpleRequest(OZC_DELETE, p, 2);
}

STATUS ozcContextObjHandleStore(const char *containerId, OBJ_HANDLE objHandle)
{
    if (argMissing(containerId))
        return ERROR;
    ozcParam p[] = {strParam("containerId", containerId), intParam("handle", objHandle)};
    return ozcSimpleRequest(OZC_STORE_STATE, p, 2);
}

char *ozcState(const char *containerId)
{
    if (argMissing(containerId))
        return nullptr;
    ozcParam p[] = {strParam("containerId", containerId)};
    JsonPtr root(ozcRequest(OZC_STATE, p, 1));
    if (!root)
        return nullptr;
    cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(root.get(), "body"), 0);
    char *text = first != nullptr ? cJSON_PrintUnformatted(first) : nullptr;
    if (text == nullptr)
        errno = EBADMSG;
    return text;
}

CONTAINER_STATUS ozcStatusIntConvert(int32_t statusInt)
{
    if (statusInt >= STATE_CREATING && statusInt <= STATE_STOPPED)
        return (CONTAINER_STATUS)statusInt;
    return STATE_UNKNOWN;
}

CONTAINER_STATUS ozcStatusGet(const char *containerId)
{
    if (containerId == nullptr)
        return STATE_UNKNOWN;
    ozcParam p[] = {strParam("containerId", containerId)};
    JsonPtr root(ozcRequest(OZC_STATE, p, 1));
    if (!root)
        return STATE_UNKNOWN;
    cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(root.get(), "body"), 0);
    cJSON *status = cJSON_GetObjectItemCaseSensitive(first, "status");
    if (!cJSON_IsNumber(status))
        return STATE_UNKNOWN;
    return ozcStatusIntConvert(cJSON_integer32_value(status));
}

/* The list comes in pages, each as large as a reply holds: the next page
 * starts after the last id of the one before, until a page is empty. */
char *ozcList(void)
{
    JsonPtr all(cJSON_CreateArray());
    if (!all) {
        return failNull(ENOMEM);
    }
    std::string after;
    for (;;) {
        ozcParam p[] = {strParam("after", after.c_str())};
        JsonPtr root(ozcRequest(OZC_LIST, p, after.empty() ? 0 : 1));
        if (!root)
            return nullptr;
        cJSON *body = cJSON_GetObjectItem(root.get(), "body");
        if (!cJSON_IsArray(body)) {
            return failNull(EBADMSG);
        }
        std::string last;
        while (cJSON *e = cJSON_DetachItemFromArray(body, 0)) {
            cJSON *id = cJSON_GetObjectItem(e, "id");
            if (cJSON_IsString(id))
                last = id->valuestring;
            cJSON_AddItemToArray(all.get(), e);
        }
        /* An empty page, or one that did not get past the last id (a
         * daemon that sends everything at once), ends the list. */
        if (last.empty() || last <= after)
            break;
        after = last;
    }
    return cJSON_PrintUnformatted(all.get());
}

char *ozcPrune(void)
{
    return ozcBodyRequest(OZC_PRUNE, nullptr, 0, false);
}

char *ozcContainerInfoGet(const char *containerId)
{
    if (argMissing(containerId))
        return nullptr;
    ozcParam p[] = {strParam("Id", containerId)};
    return ozcBodyRequest(OZC_INSPECT, p, 1, true);
}

BOOL ozcDaemonIsAlive(void)
{
    MSG_Q_ID q = msgQOpen(ozcDaemonQueueName(), OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, 0);
    if (q == nullptr)
        return FALSE;
    JsonPtr root(ozcRequest(OZC_ALIVE, nullptr, 0));
    msgQClose(q);
    return root ? TRUE : FALSE;
}

/* Spawns the container's process from the start parameters in array[0];
 * without OZC_START_DETACH waits for it, its wait status in *waitStatus
 * when that is not null. */
static STATUS ozcContextSpawn(const char *containerId, cJSON *array, unsigned option, int *waitStatus)
{
    cJSON *obj = cJSON_GetArrayItem(array, 0);
    if (obj == nullptr) {
        return failWith(EBADMSG);
    }
    ozcParam p[] = {
        {STRING, "appPath", 0, 0},     {STRING_ARRAY, "arg", 0, 0}, {STRING_ARRAY, "env", 0, 0},
        {INTEGER, "option", 0, 0},     {INTEGER, "priority", 0, 0}, {INTEGER, "stackSize", 0, 0},
        {INTEGER, "taskOption", 0, 0}, {INTEGER, "nsId", 0, 0},     {STRING, "cwd", 0, 0},
        {INTEGER, "posixFlags", 0, 0},
    };
    constexpr unsigned n = sizeof(p) / sizeof(p[0]);
    if (ozcParamObjGet(obj, p, n) != OK)
        return ERROR;
    struct Arrays {
        ozcParam *p;
        ~Arrays() { ozcParamObjDestroy(p, n); }
    } arrays{p};
    bool allZero = true;
    for (const ozcParam &one : p)
        allZero = allZero && one.value == 0;
    if (allZero)
        return OK;
    const char *appPath = OZC_DATA_STR(p[0].value);
    char **argv = OZC_DATA_ARR(p[1].value);
    char **envp = OZC_DATA_ARR(p[2].value);
    if (appPath == nullptr || argv == nullptr) {
        return failWith(OZC_ERR_RTP_SPAWN_FAILED);
    }
    OZ_SPAWN_ATTR attr;
    if (ozSpawnAttrInit(&attr) != 0) {
        return failWith(OZC_ERR_RTP_SPAWN_FAILED);
    }
    struct AttrOwner {
        OZ_SPAWN_ATTR *a;
        ~AttrOwner() { ozSpawnAttrDestroy(a); }
    } attrOwner{&attr};
    const char *cwd = OZC_DATA_STR(p[8].value);
    int rc = ozSpawnAttrPrioritySet(&attr, (int)(int64_t)p[4].value);
    if (rc == 0)
        rc = ozSpawnAttrStackSizeSet(&attr, (size_t)(int64_t)p[5].value);
    if (rc == 0)
        rc = ozSpawnAttrOptionsSet(&attr, (int)(int64_t)p[3].value | 0x40);
    if (rc == 0)
        rc = ozSpawnAttrTaskOptionsSet(&attr, (int)(int64_t)p[6].value);
    if (rc == 0)
        rc = ozSpawnAttrNsSet(&attr, (int)(int64_t)p[7].value);
    if (rc == 0)
        rc = ozSpawnAttrCwdSet(&attr, cwd != nullptr ? cwd : "/");
    if (rc == 0)
        rc = ozSpawnAttrFlagsSet(&attr, (short)(int64_t)p[9].value);
    pid_t pid = 0;
    static char *const emptyEnv[] = {nullptr};
    if (rc == 0)
        rc = ozSpawn(&pid, appPath, &attr, argv, envp != nullptr ? envp : emptyEnv);
    if (rc != 0) {
        return failWith(OZC_ERR_RTP_SPAWN_FAILED);
    }
    if (pid == 0 || ozcContextObjHandleStore(containerId, (OBJ_HANDLE)pid) != OK) {
        if (pid != 0)
            ozProcDetach(pid);
        ozcKill(containerId, 15, OZC_KILL_ALL);
        return failWith(OZC_ERR_RTP_SPAWN_FAILED);
    }
    if (option & OZC_START_DETACH) {
        ozProcDetach(pid);
        return OK;
    }
    int status = 0;
    pid_t ended = ozProcWait(pid, &status, 0);
    if (waitStatus != nullptr)
        *waitStatus = status;
    return (STATUS)ended;
}

STATUS ozcContextStart(const char *containerId, cJSON *array, unsigned option)
{
    return ozcContextSpawn(containerId, array, option, nullptr);
}

static STATUS ozcStartSpawn(const char *containerId, unsigned option, int *waitStatus)
{
    if (argMissing(containerId))
        return ERROR;
    ozcParam p[] = {strParam("containerId", containerId), intParam("option", option)};
    JsonPtr root(ozcRequest(OZC_START, p, 2));
    if (!root)
        return ERROR;
    cJSON *body = cJSON_GetObjectItem(root.get(), "body");
    if (body == nullptr) {
        return failWith(EBADMSG);
    }
    return ozcContextSpawn(containerId, body, option, waitStatus);
}

STATUS ozcStart(const char *containerId, unsigned option)
{
    return ozcStartSpawn(containerId, option, nullptr);
}

STATUS ozcStartWait(const char *containerId, int *waitStatus)
{
    if (argMissing(waitStatus))
        return ERROR;
    *waitStatus = 0;
    return ozcStartSpawn(containerId, 0, waitStatus);
}

char *ozcImageInfoGet(const char *ociPath)
{
    if (argMissing(ociPath))
        return nullptr;
    JsonPtr arr(cJSON_CreateArray());
    if (!arr) {
        return failNull(ENOMEM);
    }
    int code = ozcImageInspect(ociPath, arr.get());
    if (code != 0) {
        return failNull(code);
    }
    return cJSON_Print(arr.get());
}

STATUS ozcUnpack(const char *bundlePath, const char *ociPath, const char *tag, unsigned option,
                 const OZC_BUNDLE_ATTR *pAttr)
{
    if (argMissing(bundlePath) || argMissing(ociPath))
        return ERROR;
    return ozcImageUnpack(bundlePath, ociPath, tag, option, pAttr);
}

} /* extern "C" */
