/*
 * ozcContainerLib.cpp - the container list and each container's life:
 * create from an OCI bundle (specification, root file system, namespace and
 * mounts), start parameters, signals, the running check and delete; plus the
 * info-line sender towards the client whose request is being served.
 *
 * Lock order: the list mutex first; a container's mutex is only tried
 * without waiting while the list mutex is held.
 */
#include "ozcContainerLib.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ozcOverlayLib.h"
#include "ozcPathUtil.h"
#include "ozcRuntimeSpec.h"
#include "ozcUtil.h"

using ozc::failWith;
using ozc::pathAppend;
using ozc::pathCopy;
using ozc::pathIsSep;

namespace {

constexpr int kMutexOptions = SEM_Q_PRIORITY | SEM_DELETE_SAFE | SEM_INVERSION_SAFE;
/* A started container whose process handle has not been reported yet is
 * still being spawned by its client for this long. */
constexpr int kSpawnGraceSec = 10;
/* After SIGKILL to a namespace, how long delete waits for it to empty. */
constexpr int kKillWaitMs = 2000;

struct ContainerList {
    CONTAINER_CTX *head;
    CONTAINER_CTX *tail;
};

BOOL isInitialized;
ContainerList ozcContainersList;
SEM_ID ozcContainerSem;
uint32_t ozcMsgVerbosity = 2;
char infoMsgQ[OZC_INFO_MSGQ_NAME_LEN];

} // namespace

extern "C" {

/* ------------------------------------------------------------------------
 * Info lines to the requesting client
 * ------------------------------------------------------------------------ */
void ozcSendMsg(uint32_t lvl, char *info, ...) {
    if (info == nullptr || lvl == 0 || lvl > ozcMsgVerbosity || infoMsgQ[0] == '\0')
        return;
    int saved = errno;
    MSG_Q_ID q = msgQOpen(infoMsgQ, OZC_INFO_MSGQ_DEPTH, OZC_INFO_MSG_LEN, MSG_Q_FIFO, 0);
    if (q != nullptr) {
        char line[OZC_INFO_MSG_LEN];
        va_list ap;
        va_start(ap, info);
        vsnprintf(line, sizeof(line), info, ap);
        va_end(ap);
        msgQSend(q, line, strlen(line) + 1, NO_WAIT, MSG_PRI_NORMAL);
        msgQClose(q);
    }
    errno = saved;
}

void ozcMsgQnameSet(const char *msgQname) {
    if (msgQname == nullptr || snprintf_s(infoMsgQ, sizeof(infoMsgQ), "%s_%s", msgQname, "info") < 0)
        infoMsgQ[0] = '\0';
}

void ozcMsgLvlSet(uint8_t lvl) {
    if (lvl < 3)
        ozcMsgVerbosity = lvl;
}

/* ------------------------------------------------------------------------
 * Validation and the list
 * ------------------------------------------------------------------------ */
static BOOL pathCompIsValid(const char *comp) {
    return strcmp(comp, ".") != 0 && strcmp(comp, "..") != 0;
}

static BOOL ozcContainerIdValid(const char *id) {
    if (id == nullptr || id[0] == '\0')
        return FALSE;
    size_t len = strnlen(id, OZC_CONTAINER_ID_LEN + 1);
    if (len > OZC_CONTAINER_ID_LEN)
        return FALSE;
    for (size_t i = 0; i < len; i++)
        if (pathIsSep(id[i]))
            return FALSE;
    return pathCompIsValid(id);
}

static BOOL ozcBundlePathValid(const char *path) {
    return path != nullptr && pathIsSep(path[0]);
}

static STATUS ozcContainerListLock(void) {
    if (ozcContainerSem == nullptr)
        return ERROR;
    return semTake(ozcContainerSem, 5 * sysClkRateGet());
}

static STATUS ozcContainerListUnlock(void) {
    if (ozcContainerSem == nullptr)
        return ERROR;
    return semGive(ozcContainerSem);
}

STATUS ozcContainerInit(void) {
    if (isInitialized)
        return OK;
    ozcContainersList = {nullptr, nullptr};
    ozcContainerSem = semMCreate(kMutexOptions);
    if (ozcContainerSem == nullptr)
        return ERROR;
    isInitialized = TRUE;
    return OK;
}

static BOOL idEqual(const char *a, const char *b) {
    return strncmp(a, b, OZC_CONTAINER_ID_LEN) == 0;
}

/* Finds a container by id or bundle path and returns it with its mutex
 * taken; a container locked elsewhere counts as not found. */
static CONTAINER_CTX *ozcContainerFindAndLock(const char *matchName, BOOL isBundle) {
    char bundle[OZC_PATH_LEN] = "";
    if (matchName == nullptr)
        return nullptr;
    if (isBundle && !pathAppend(bundle, sizeof(bundle), matchName))
        return nullptr;
    if (ozcContainerListLock() != OK)
        return nullptr;
    CONTAINER_CTX *found = nullptr;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr; c = c->containerNode) {
        bool match = isBundle ? strncmp(c->state.bundlePath, bundle, OZC_PATH_LEN) == 0
                              : idEqual(c->state.containerId, matchName);
        if (match) {
            if (semTake(c->sem, NO_WAIT) == OK)
                found = c;
            break;
        }
    }
    ozcContainerListUnlock();
    return found;
}

static CONTAINER_CTX *ozcContainerFindAndLockById(const char *id) {
    return ozcContainerFindAndLock(id, FALSE);
}

/* The container with this id, locked; null with errno EINVAL for an id that
 * cannot be one, ENODEV when no container has it. */
static CONTAINER_CTX *ozcContainerLockValidId(const char *id) {
    if (!ozcContainerIdValid(id)) {
        failWith(EINVAL);
        return nullptr;
    }
    CONTAINER_CTX *ctx = ozcContainerFindAndLockById(id);
    if (ctx == nullptr)
        failWith(ENODEV);
    return ctx;
}

static CONTAINER_CTX *ozcContainerFindAndLockByBundle(const char *bundle) {
    return ozcContainerFindAndLock(bundle, TRUE);
}

static void ozcContainerUnlock(CONTAINER_CTX *c) {
    semGive(c->sem);
}

/* TRUE when a listed container has this id, locked or not. */
static BOOL ozcContainerListed(const char *id) {
    BOOL listed = FALSE;
    if (ozcContainerListLock() != OK)
        return FALSE;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr && !listed; c = c->containerNode)
        listed = idEqual(c->state.containerId, id);
    ozcContainerListUnlock();
    return listed;
}

static STATUS ozcContainerAdd(CONTAINER_CTX *ctx) {
    if (ozcContainerListLock() != OK)
        return ERROR;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr; c = c->containerNode) {
        if (idEqual(c->state.containerId, ctx->state.containerId)) {
            ozcContainerListUnlock();
            return failWith(OZC_ERR_CONTAINER_EXISTS);
        }
    }
    ctx->containerNode = nullptr;
    if (ozcContainersList.tail != nullptr)
        ozcContainersList.tail->containerNode = ctx;
    else
        ozcContainersList.head = ctx;
    ozcContainersList.tail = ctx;
    ozcContainerListUnlock();
    return OK;
}

static void ozcContainerFree(CONTAINER_CTX *ctx) {
    ozcDestroyRuntimeSpec(ctx->pConfig);
    if (ctx->sem != nullptr)
        semDelete(ctx->sem);
    free(ctx);
}

static STATUS ozcContainerRemove(CONTAINER_CTX *ctx) {
    if (ozcContainerListLock() != OK)
        return ERROR;
    CONTAINER_CTX *prev = nullptr;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr; prev = c, c = c->containerNode) {
        if (c != ctx)
            continue;
        if (prev != nullptr)
            prev->containerNode = c->containerNode;
        else
            ozcContainersList.head = c->containerNode;
        if (ozcContainersList.tail == c)
            ozcContainersList.tail = prev;
        break;
    }
    ozcContainerListUnlock();
    ozcContainerFree(ctx);
    return OK;
}

/* ------------------------------------------------------------------------
 * Root file system, namespace and mounts
 * ------------------------------------------------------------------------ */
/* The root directory named by the bundle: root.path when absolute, else
 * relative to the bundle. */
static STATUS ozcContainerBundleRootGet(const CONTAINER_CTX *ctx, char *out, size_t len) {
    const char *root = ctx->pConfig->root->path;
    out[0] = '\0';
    if (pathIsSep(root[0]))
        return pathCopy(out, len, root) ? OK : failWith(OZC_ERR_BUNDLE_PATH_TOO_LONG);
    if (!pathCopy(out, len, ctx->state.bundlePath) || !pathAppend(out, len, root))
        return failWith(OZC_ERR_BUNDLE_PATH_TOO_LONG);
    return OK;
}

static STATUS ozcContainerOvlDevName(const CONTAINER_CTX *ctx, char *out, size_t len) {
    out[0] = '\0';
    if (!pathCopy(out, len, ozOvlDevDirGet()) || !pathAppend(out, len, ctx->state.containerId))
        return failWith(ENAMETOOLONG);
    return OK;
}

static STATUS ozcContainerDirGet(const CONTAINER_CTX *ctx, char *out, size_t len) {
    if (ozcBasePathGet(out, len, OZC_CONTAINERS_PATH) == 0)
        return ERROR;
    if (!pathAppend(out, len, ctx->state.containerId))
        return failWith(ENAMETOOLONG);
    return OK;
}

/* Writable overlay of one container: its upper directory under the
 * containers base path, the bundle's root as the lower layer. */
static STATUS ozcContainerOvlfsRootfsCreate(CONTAINER_CTX *ctx, char *rootfs, size_t len) {
    char upper[OZC_PATH_LEN], lower[OZC_PATH_LEN];
    if (ozcContainerDirGet(ctx, upper, sizeof(upper)) != OK)
        return ERROR;
    if (!pathAppend(upper, sizeof(upper), "/upper"))
        return failWith(ENAMETOOLONG);
    if (ozcContainerOvlDevName(ctx, rootfs, len) != OK)
        return ERROR;
    if (ozMkdirP(upper, 0777) != OK)
        return ERROR;
    if (ozcContainerBundleRootGet(ctx, lower, sizeof(lower)) != OK)
        return ERROR;
    const char *dirs[2] = {upper, lower};
    if (ozcCreateOvlRootfsDev(rootfs, dirs, 2, TRUE) != OK) {
        int saved = errno;
        char dir[OZC_PATH_LEN];
        if (ozcContainerDirGet(ctx, dir, sizeof(dir)) == OK)
            ozcUtilXdelete(dir);
        errno = saved;
        return ERROR;
    }
    return OK;
}

static STATUS ozcContainerRootfsCreate(CONTAINER_CTX *ctx, char *rootfs, size_t len) {
    if (ozcOvlFsAvailable())
        return ozcContainerOvlfsRootfsCreate(ctx, rootfs, len);
    return ozcContainerBundleRootGet(ctx, rootfs, len);
}

/* Removes the container's overlay device and its writable directories. */
static STATUS ozcContainerRemoveUpLayer(CONTAINER_CTX *ctx) {
    char dev[OZC_PATH_LEN], dir[OZC_PATH_LEN];
    STATUS rc = OK;
    if (ozcContainerOvlDevName(ctx, dev, sizeof(dev)) == OK && ozcRemoveOvlRootfsDev(dev) != OK &&
        errno != ENOENT && errno != EINVAL)
        rc = ERROR;
    if (ozcContainerDirGet(ctx, dir, sizeof(dir)) != OK || ozcUtilXdelete(dir) != OK)
        rc = ERROR;
    return rc;
}

static STATUS ozcContainerAppPathSet(CONTAINER_CTX *ctx, const char *rootfs) {
    const runtimeSpecConfigProcess *p = ctx->pConfig->process;
    ctx->appPath[0] = '\0';
    if (!pathCopy(ctx->appPath, sizeof(ctx->appPath), rootfs) ||
        (!pathIsSep(p->args[0][0]) && !pathAppend(ctx->appPath, sizeof(ctx->appPath), p->cwd)) ||
        !pathAppend(ctx->appPath, sizeof(ctx->appPath), p->args[0]))
        return failWith(OZC_ERR_OCI_ARG_INVALID);
    return OK;
}

static int optionCount(char **opt) {
    int n = 0;
    while (opt != nullptr && opt[n] != nullptr)
        n++;
    return n;
}

static STATUS ozcContainerUmount(CONTAINER_CTX *ctx) {
    if (!ctx->mounted)
        return OK;
    BOOL ovl = ozcOvlFsAvailable();
    char rootfs[OZC_PATH_LEN];
    if ((ovl ? ozcContainerOvlDevName(ctx, rootfs, sizeof(rootfs))
             : ozcContainerBundleRootGet(ctx, rootfs, sizeof(rootfs))) != OK)
        return failWith(ENAMETOOLONG);
    if (ctx->nsId == -1)
        return ERROR;
    runtimeSpecConfigMounts *mounts = ctx->pConfig->mounts;
    while (ctx->mountCount > 0) {
        runtimeSpecConfigMount *m = mounts->mount[ctx->mountCount - 1];
        if (ozNsUnmount(ctx->nsId, rootfs, m->dst) != OK) {
            ctx->mounted = FALSE;
            return ERROR;
        }
        ctx->mountCount--;
    }
    STATUS rc = ozNsRootfsTeardown(ctx->nsId, rootfs, ctx->state.containerId);
    if (rc == OK) {
        if (ozNsDelete(ctx->nsId) == OK)
            ctx->nsId = -1;
        if (ovl)
            rc = ozcContainerRemoveUpLayer(ctx);
    }
    ctx->mounted = FALSE;
    return rc;
}

static STATUS ozcContainerMount(CONTAINER_CTX *ctx) {
    if (ctx->mounted)
        return OK;
    char rootfs[OZC_PATH_LEN] = "";
    BOOL ovl = ozcOvlFsAvailable();
    if (ozcContainerRootfsCreate(ctx, rootfs, sizeof(rootfs)) != OK) {
        ozcSendMsg(1, (char *)"Container rootfs create failed : %s", rootfs);
        return failWith(OZC_ERR_ROOTFS_CREATE_FAILED);
    }
    int code = 0;
    do {
        if (ozcContainerAppPathSet(ctx, rootfs) != OK) {
            code = OZC_ERR_OCI_ARG_INVALID;
            break;
        }
        ctx->nsId = ozNsCreate(OZC_NS_CREATE_FLAGS);
        if (ctx->nsId < 0) {
            ctx->nsId = -1;
            code = OZC_ERR_NS_CREATE_FAILED;
            break;
        }
        if (ozNsRootfsSetup(ctx->nsId, rootfs, ctx->state.containerId) != OK) {
            code = OZC_ERR_ROOTFS_CREATE_FAILED;
            break;
        }
        ctx->mounted = TRUE;
        runtimeSpecConfigMounts *mounts = ctx->pConfig->mounts;
        int n = mounts != nullptr ? mounts->count : 0;
        for (int i = 0; i < n; i++) {
            runtimeSpecConfigMount *m = mounts->mount[i];
            if (m == nullptr ||
                ozNsMount(ctx->nsId, rootfs, m->src, m->dst, m->type,
                          (const char *const *)m->opt, optionCount(m->opt)) != OK) {
                ozcSendMsg(1, (char *)"Container additional mount failed for rootfs path: %s src: %s dest: %s",
                           rootfs, m && m->src ? m->src : "", m && m->dst ? m->dst : "");
                code = OZC_ERR_ADDITIONAL_MOUNT_FAILED;
                break;
            }
            ctx->mountCount = (uint32_t)(i + 1);
        }
    } while (false);
    if (code == 0)
        return OK;
    /* Undo everything this mount made, also what unmount does not see:
     * a namespace without root file system and the container's overlay. */
    if (ctx->mounted) {
        ozcContainerUmount(ctx);
    } else {
        if (ctx->nsId != -1 && ozNsDelete(ctx->nsId) == OK)
            ctx->nsId = -1;
        if (ovl)
            ozcContainerRemoveUpLayer(ctx);
    }
    ctx->mounted = FALSE;
    return failWith(code);
}

/* ------------------------------------------------------------------------
 * Operations
 * ------------------------------------------------------------------------ */
STATUS ozcContainerCreate(const char *containerId, const char *bundlePath, unsigned option,
                          OZC_ATTR *pAttr) {
    (void)option;
    (void)pAttr;
    if (!isInitialized || !ozcContainerIdValid(containerId) || !ozcBundlePathValid(bundlePath))
        return failWith(EINVAL);
    if (ozcContainerListed(containerId))
        return failWith(OZC_ERR_CONTAINER_EXISTS);
    CONTAINER_CTX *sameBundle = ozcOvlFsAvailable() ? nullptr : ozcContainerFindAndLockByBundle(bundlePath);
    if (sameBundle != nullptr) {
        ozcContainerUnlock(sameBundle);
        ozcSendMsg(1, (char *)"The bundle '%s' is already in use.", bundlePath);
        return failWith(OZC_ERR_BUNDLE_IN_USE);
    }
    auto *ctx = static_cast<CONTAINER_CTX *>(calloc(1, sizeof(CONTAINER_CTX)));
    if (ctx == nullptr)
        return failWith(ENOMEM);
    ctx->state.status = STATE_CREATING;
    ctx->nsId = -1;
    int code = 0;
    do {
        char specPath[OZC_PATH_LEN];
        if (!pathAppend(ctx->state.bundlePath, sizeof(ctx->state.bundlePath), bundlePath) ||
            !pathCopy(specPath, sizeof(specPath), ctx->state.bundlePath) ||
            !pathAppend(specPath, sizeof(specPath), "config.json")) {
            code = OZC_ERR_BUNDLE_PATH_TOO_LONG;
            break;
        }
        errno = 0;
        ctx->pConfig = ozcInitializeRuntimeSpec(specPath);
        if (ctx->pConfig == nullptr) {
            if (errno == ENOENT) {
                ozcSendMsg(1, (char *)"OCI bundle config.json not exists in %s", ctx->state.bundlePath);
                code = OZC_ERR_BUNDLE_CONFIG_NOT_EXISTS;
            } else {
                code = OZC_ERR_RUNTIME_CONFIG_LOAD_FAILED;
            }
            break;
        }
        const runtimeSpecConfig *cfg = ctx->pConfig;
        if (cfg->version == nullptr || cfg->version[0] == '\0') {
            code = OZC_ERR_OCI_VERSION_INVALID;
            break;
        }
        if (!pathCopy(ctx->state.ver, sizeof(ctx->state.ver), cfg->version)) {
            code = OZC_ERR_OCI_VERSION_INVALID;
            break;
        }
        strncpy(ctx->state.containerId, containerId, OZC_CONTAINER_ID_LEN - 1);
        ctx->state.containerId[OZC_CONTAINER_ID_LEN - 1] = '\0';
        if (cfg->root == nullptr || cfg->root->path == nullptr || cfg->root->path[0] == '\0') {
            code = OZC_ERR_OCI_ROOT_INVALID;
            break;
        }
        const runtimeSpecConfigProcess *p = cfg->process;
        if (p == nullptr || p->cwd == nullptr || !pathIsSep(p->cwd[0])) {
            code = OZC_ERR_OCI_CWD_INVALID;
            break;
        }
        if (p->argCount <= 0 || p->args == nullptr || p->args[0] == nullptr || p->args[0][0] == '\0') {
            code = OZC_ERR_OCI_ARG_INVALID;
            break;
        }
        ctx->sem = semMCreate(kMutexOptions);
        if (ctx->sem == nullptr) {
            code = errno ? errno : ENOMEM;
            break;
        }
        ctx->state.status = STATE_CREATED;
        ctx->mounted = FALSE;
        if (ozcContainerMount(ctx) != OK) {
            code = errno;
            break;
        }
        if (ozcContainerAdd(ctx) != OK) {
            code = errno;
            break;
        }
    } while (false);
    if (code != 0) {
        ozcContainerUmount(ctx);
        ozcContainerFree(ctx);
        return failWith(code);
    }
    ctx->state.pCtx = ctx;
    ctx->state.createdTime = time(nullptr);
    return OK;
}

/* Called with the container locked: a running container whose namespace
 * has emptied becomes stopped. */
static BOOL ozcContainerCheckRunning(CONTAINER_CTX *ctx) {
    if (ctx->state.status != STATE_RUNNING)
        return FALSE;
    BOOL inUse = FALSE;
    if (ozNsInUse(ctx->nsId, &inUse) == OK && inUse)
        return TRUE;
    /* Start hands out the parameters before the client spawns: until the
     * client reports the process, an empty namespace is still starting. */
    if (ctx->pidHandle == 0 &&
        tickGet() - ctx->startTick < (uint64_t)kSpawnGraceSec * (uint64_t)sysClkRateGet())
        return TRUE;
    ctx->state.status = STATE_STOPPED;
    return FALSE;
}

STATUS ozcContainerStart(const char *containerId, CONTAINER_START_PARM *param) {
    if (param == nullptr)
        return failWith(EINVAL);
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    if (ctx->state.status != STATE_CREATED) {
        ozcContainerUnlock(ctx);
        return failWith(EBUSY);
    }
    const runtimeSpecConfig *cfg = ctx->pConfig;
    memset(param, 0, sizeof(*param));
    param->appPath = ctx->appPath;
    param->option = cfg->orrery->option;
    param->priority = cfg->orrery->priority;
    param->stackSize = cfg->orrery->stackSize;
    param->taskOption = cfg->orrery->taskOption;
    param->nsId = ctx->nsId;
    param->cwd = cfg->process->cwd;
    param->posixFlags = OZC_POSIX_FLAGS;
    param->arg = cfg->process->args;
    param->argNum = cfg->process->argCount;
    param->env = cfg->process->env;
    param->envNum = cfg->process->envCount;
    ctx->state.status = STATE_RUNNING;
    ctx->startTick = tickGet();
    ozcContainerUnlock(ctx);
    return OK;
}

STATUS ozcContainerKill(const char *containerId, int signo, unsigned option) {
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    STATUS rc = OK;
    if (ozcContainerCheckRunning(ctx)) {
        /* Without a reported process handle only the container's own
         * processes may be reached, never a process group of the caller. */
        if ((option & OZC_KILL_ALL) != 0 || ctx->pidHandle <= 0)
            rc = ozNsKillAll(ctx->nsId, signo);
        else
            rc = kill((pid_t)ctx->pidHandle, signo);
    }
    int saved = errno;
    ozcContainerUnlock(ctx);
    errno = saved;
    return rc;
}

static void ozcContainerWaitEmpty(CONTAINER_CTX *ctx) {
    int step = sysClkRateGet() / 100 > 0 ? sysClkRateGet() / 100 : 1;
    for (int waited = 0; waited < kKillWaitMs; waited += 10) {
        BOOL inUse = FALSE;
        if (ozNsInUse(ctx->nsId, &inUse) != OK || !inUse)
            return;
        taskDelay(step);
    }
}

STATUS ozcContainerDelete(const char *containerId, unsigned option) {
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    int code = 0;
    if (ctx->state.status == STATE_CREATING) {
        code = EBUSY;
    } else if (ozcContainerCheckRunning(ctx)) {
        if ((option & OZC_DELETE_FORCE) == 0)
            code = EBUSY;
        else if (ozNsKillAll(ctx->nsId, SIGKILL) != OK)
            code = errno;
        else
            ozcContainerWaitEmpty(ctx);
    }
    if (code == 0 && ozcContainerUmount(ctx) != OK) {
        ozcSendMsg(1, (char *)"Unmount failed containerId: %s", ctx->state.containerId);
        code = OZC_ERR_UNMOUNT_FAILED;
    }
    if (code != 0) {
        ozcContainerUnlock(ctx);
        return failWith(code);
    }
    return ozcContainerRemove(ctx);
}

STATUS ozcContainerStorePidHandle(const char *containerId, OBJ_HANDLE pidHandle) {
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    ctx->pidHandle = pidHandle;
    ozcContainerUnlock(ctx);
    return OK;
}

STATUS ozcContainerStateGet(char *containerId, CONTAINER_STATE *pState) {
    if (containerId == nullptr || pState == nullptr)
        return failWith(EINVAL);
    CONTAINER_CTX *ctx = ozcContainerFindAndLockById(containerId);
    if (ctx == nullptr)
        return failWith(ENODEV);
    ozcContainerCheckRunning(ctx);
    *pState = ctx->state;
    ozcContainerUnlock(ctx);
    return OK;
}

BOOL ozcContainerNext(char *containerId) {
    if (containerId == nullptr || strnlen(containerId, OZC_CONTAINER_ID_LEN + 1) > OZC_CONTAINER_ID_LEN) {
        errno = EINVAL;
        return FALSE;
    }
    if (ozcContainerListLock() != OK)
        return FALSE;
    const char *best = nullptr;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr; c = c->containerNode) {
        const char *id = c->state.containerId;
        if (strncmp(id, containerId, OZC_CONTAINER_ID_LEN) > 0 &&
            (best == nullptr || strncmp(id, best, OZC_CONTAINER_ID_LEN) < 0))
            best = id;
    }
    if (best != nullptr)
        snprintf(containerId, OZC_CONTAINER_ID_LEN + 1, "%s", best);
    ozcContainerListUnlock();
    return best != nullptr;
}

} /* extern "C" */

