/*
 * ozcContainerLib.cpp - the container list and each container's life:
 * create from an OCI bundle (specification, root file system, namespace and
 * mounts), start parameters, signals, the running check and delete; plus the
 * info-line sender towards the client whose request is being served.
 *
 * Each container gets a namespace of its own (processes, mounts, IPC, host
 * name); its processes run as the image's user, looked up in the image's
 * own /etc/passwd and /etc/group. A small record per container under the
 * run directory lets a daemon started again adopt what still runs.
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
#include <dirent.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozcOverlayLib.h"
#include "ozcRuntimeSpec.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"

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
/* Largest /etc/passwd or /etc/group of an image that is read. */
constexpr size_t kIdFileMax = 1u << 20;
/* Largest user or group id (the one above means "none"). */
constexpr double kIdMax = 4294967294.0;

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
void ozcSendMsg(uint32_t lvl, char *info, ...)
{
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

void ozcMsgQnameSet(const char *msgQname)
{
    if (msgQname == nullptr || snprintf_s(infoMsgQ, sizeof(infoMsgQ), "%s_%s", msgQname, "info") < 0)
        infoMsgQ[0] = '\0';
}

void ozcMsgLvlSet(uint8_t lvl)
{
    if (lvl < 3)
        ozcMsgVerbosity = lvl;
}

/* ------------------------------------------------------------------------
 * Validation and the list
 * ------------------------------------------------------------------------ */
static BOOL pathCompIsValid(const char *comp)
{
    return strcmp(comp, ".") != 0 && strcmp(comp, "..") != 0;
}

static BOOL ozcContainerIdValid(const char *id)
{
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

static BOOL ozcBundlePathValid(const char *path)
{
    return path != nullptr && pathIsSep(path[0]);
}

static STATUS ozcContainerListLock(void)
{
    if (ozcContainerSem == nullptr)
        return ERROR;
    return semTake(ozcContainerSem, 5 * sysClkRateGet());
}

static STATUS ozcContainerListUnlock(void)
{
    if (ozcContainerSem == nullptr)
        return ERROR;
    return semGive(ozcContainerSem);
}

STATUS ozcContainerInit(void)
{
    if (isInitialized)
        return OK;
    ozcContainersList = {nullptr, nullptr};
    ozcContainerSem = semMCreate(kMutexOptions);
    if (ozcContainerSem == nullptr)
        return ERROR;
    isInitialized = TRUE;
    return OK;
}

static BOOL idEqual(const char *a, const char *b)
{
    return strncmp(a, b, OZC_CONTAINER_ID_LEN) == 0;
}

/* Finds a container by id or bundle path and returns it with its mutex
 * taken; a container locked elsewhere counts as not found. */
static CONTAINER_CTX *ozcContainerFindAndLock(const char *matchName, BOOL isBundle)
{
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

static CONTAINER_CTX *ozcContainerFindAndLockById(const char *id)
{
    return ozcContainerFindAndLock(id, FALSE);
}

/* The container with this id, locked; null with errno EINVAL for an id that
 * cannot be one, ENODEV when no container has it. */
static CONTAINER_CTX *ozcContainerLockValidId(const char *id)
{
    if (!ozcContainerIdValid(id)) {
        failWith(EINVAL);
        return nullptr;
    }
    CONTAINER_CTX *ctx = ozcContainerFindAndLockById(id);
    if (ctx == nullptr)
        failWith(ENODEV);
    return ctx;
}

static CONTAINER_CTX *ozcContainerFindAndLockByBundle(const char *bundle)
{
    return ozcContainerFindAndLock(bundle, TRUE);
}

static void ozcContainerUnlock(CONTAINER_CTX *c)
{
    semGive(c->sem);
}

/* Releases the container and fails with code. */
static STATUS ozcContainerUnlockFail(CONTAINER_CTX *c, int code)
{
    ozcContainerUnlock(c);
    return failWith(code);
}

/* TRUE when a listed container has this id, locked or not. */
static BOOL ozcContainerListed(const char *id)
{
    BOOL listed = FALSE;
    if (ozcContainerListLock() != OK)
        return FALSE;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr && !listed; c = c->containerNode)
        listed = idEqual(c->state.containerId, id);
    ozcContainerListUnlock();
    return listed;
}

static STATUS ozcContainerAdd(CONTAINER_CTX *ctx)
{
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

static void ozcContainerFree(CONTAINER_CTX *ctx)
{
    ozcDestroyRuntimeSpec(ctx->pConfig);
    if (ctx->sem != nullptr)
        semDelete(ctx->sem);
    free(ctx);
}

static STATUS ozcContainerRemove(CONTAINER_CTX *ctx)
{
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
static STATUS ozcContainerBundleRootGet(const CONTAINER_CTX *ctx, char *out, size_t len)
{
    const char *root = ctx->pConfig->root->path;
    out[0] = '\0';
    if (pathIsSep(root[0]))
        return pathCopy(out, len, root) ? OK : failWith(OZC_ERR_BUNDLE_PATH_TOO_LONG);
    if (!pathCopy(out, len, ctx->state.bundlePath) || !pathAppend(out, len, root))
        return failWith(OZC_ERR_BUNDLE_PATH_TOO_LONG);
    return OK;
}

static STATUS ozcContainerOvlDevName(const CONTAINER_CTX *ctx, char *out, size_t len)
{
    out[0] = '\0';
    if (!pathCopy(out, len, ozOvlDevDirGet()) || !pathAppend(out, len, ctx->state.containerId))
        return failWith(ENAMETOOLONG);
    return OK;
}

static STATUS ozcContainerDirGet(const CONTAINER_CTX *ctx, char *out, size_t len)
{
    if (ozcBasePathGet(out, len, OZC_CONTAINERS_PATH) == 0)
        return ERROR;
    if (!pathAppend(out, len, ctx->state.containerId))
        return failWith(ENAMETOOLONG);
    return OK;
}

/* Writable overlay of one container: its upper directory under the
 * containers base path, the bundle's root as the lower layer. */
static STATUS ozcContainerOvlfsRootfsCreate(CONTAINER_CTX *ctx, char *rootfs, size_t len)
{
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

static STATUS ozcContainerRootfsCreate(CONTAINER_CTX *ctx, char *rootfs, size_t len)
{
    if (ozcOvlFsAvailable())
        return ozcContainerOvlfsRootfsCreate(ctx, rootfs, len);
    return ozcContainerBundleRootGet(ctx, rootfs, len);
}

/* Removes the container's overlay device and its writable directories. */
static STATUS ozcContainerRemoveUpLayer(CONTAINER_CTX *ctx)
{
    char dir[OZC_PATH_LEN];
    STATUS rc = OK;
    if (ctx->rootfs[0] != '\0' && ozcRemoveOvlRootfsDev(ctx->rootfs) != OK && errno != ENOENT && errno != EINVAL)
        rc = ERROR;
    if (ozcContainerDirGet(ctx, dir, sizeof(dir)) != OK || ozcUtilXdelete(dir) != OK)
        rc = ERROR;
    return rc;
}

static STATUS ozcContainerAppPathSet(CONTAINER_CTX *ctx, const char *rootfs)
{
    const runtimeSpecConfigProcess *p = ctx->pConfig->process;
    ctx->appPath[0] = '\0';
    if (!pathCopy(ctx->appPath, sizeof(ctx->appPath), rootfs) ||
        (!pathIsSep(p->args[0][0]) && !pathAppend(ctx->appPath, sizeof(ctx->appPath), p->cwd)) ||
        !pathAppend(ctx->appPath, sizeof(ctx->appPath), p->args[0]))
        return failWith(OZC_ERR_OCI_ARG_INVALID);
    return OK;
}

static int optionCount(char **opt)
{
    int n = 0;
    while (opt != nullptr && opt[n] != nullptr)
        n++;
    return n;
}

/* ------------------------------------------------------------------------
 * The user and groups of the container's processes
 * ------------------------------------------------------------------------ */
/* One line of /etc/passwd ("name:x:uid:gid:...") or /etc/group
 * ("name:x:gid:member,member"). */
struct IdLine {
    std::string name;
    std::string id;
    std::string gid;     /* passwd: the primary group */
    std::string members; /* group: the member list */
};

static std::vector<IdLine> idFileParse(const char *text, bool group)
{
    std::vector<IdLine> lines;
    for (const char *p = text; *p != '\0';) {
        const char *eol = strchr(p, '\n');
        std::string line(p, eol != nullptr ? (size_t)(eol - p) : strlen(p));
        p = eol != nullptr ? eol + 1 : p + line.size();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        for (size_t at = 0;;) {
            size_t colon = line.find(':', at);
            f.push_back(line.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
            if (colon == std::string::npos)
                break;
            at = colon + 1;
        }
        if (f.size() < (group ? 3u : 4u) || f[0].empty())
            continue;
        lines.push_back(group ? IdLine{f[0], f[2], "", f.size() > 3 ? f[3] : ""} : IdLine{f[0], f[2], f[3], ""});
    }
    return lines;
}

/* A user or group id written in decimal within range. */
static bool idParse(const std::string &text, unsigned long *id)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if ((double)v > kIdMax)
        return false;
    *id = v;
    return true;
}

static bool idNumberValid(double v)
{
    return v >= 0 && v <= kIdMax && v == (double)(unsigned long)v;
}

/* An id file of the container's root (an absent one reads as empty). */
static STATUS ozcContainerIdFileRead(const CONTAINER_CTX *ctx, const char *path, std::vector<IdLine> *out)
{
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kIdFileMax]);
    if (!buf)
        return failWith(ENOMEM);
    if (ozNsFileRead(ctx->nsId, path, buf.get(), kIdFileMax) < 0) {
        if (errno != ENOENT)
            return ERROR;
        buf[0] = '\0';
    }
    *out = idFileParse(buf.get(), strcmp(path, "/etc/group") == 0);
    return OK;
}

struct ContainerCred {
    unsigned long uid = 0, gid = 0;
    std::vector<gid_t> groups;
};

/* The credentials of the process: the numbers of the OCI "user" as they
 * are, or the image's User ("name" or "uid", optionally ":group") looked
 * up in the image's own /etc/passwd and /etc/group, never the host's. A
 * user given without a group also gets the groups that list it. No user
 * at all is root. 0, or an error code after an info line. */
static int ozcContainerUserResolve(const CONTAINER_CTX *ctx, ContainerCred *cred)
{
    const runtimeSpecConfigUser *u = ctx->pConfig->process->user;
    if (u != nullptr && u->invalid) {
        ozcSendMsg(1, (char *)"The user of container %s in config.json is not valid", ctx->state.containerId);
        return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
    }
    if (u != nullptr && u->idsGiven) {
        bool ok = idNumberValid(u->uid) && idNumberValid(u->gid) && u->gidCount <= 256;
        for (int i = 0; ok && i < u->gidCount; i++)
            ok = idNumberValid(u->gids[i]);
        if (!ok) {
            ozcSendMsg(1, (char *)"The user or group ids of container %s are out of range", ctx->state.containerId);
            return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
        }
        cred->uid = (unsigned long)u->uid;
        cred->gid = (unsigned long)u->gid;
        for (int i = 0; i < u->gidCount; i++)
            cred->groups.push_back((gid_t)u->gids[i]);
        return 0;
    }
    std::string spec = u != nullptr && u->user != nullptr ? u->user : "";
    size_t colon = spec.find(':');
    std::string user = spec.substr(0, colon);
    std::string group = colon == std::string::npos ? "" : spec.substr(colon + 1);
    bool groupGiven = colon != std::string::npos && !group.empty();
    std::vector<IdLine> passwd, groups;
    if (ozcContainerIdFileRead(ctx, "/etc/passwd", &passwd) != OK ||
        ozcContainerIdFileRead(ctx, "/etc/group", &groups) != OK) {
        int code = errno;
        ozcSendMsg(1, (char *)"The image's /etc/passwd or /etc/group cannot be read: %s", strerror(code));
        return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
    }
    std::string name = user.empty() ? "root" : user;
    bool found = false;
    if (idParse(user, &cred->uid)) {
        name.clear();
        for (const IdLine &l : passwd) {
            unsigned long id;
            if (idParse(l.id, &id) && id == cred->uid && idParse(l.gid, &cred->gid)) {
                name = l.name;
                break;
            }
        }
    } else {
        for (const IdLine &l : passwd) {
            if (l.name == name && idParse(l.id, &cred->uid) && idParse(l.gid, &cred->gid)) {
                found = true;
                break;
            }
        }
        if (!found && name != "root") {
            ozcSendMsg(1, (char *)"User '%s' not found in the image's /etc/passwd", name.c_str());
            return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
        }
    }
    if (groupGiven) {
        if (!idParse(group, &cred->gid)) {
            found = false;
            for (const IdLine &l : groups)
                if (l.name == group && idParse(l.id, &cred->gid)) {
                    found = true;
                    break;
                }
            if (!found) {
                ozcSendMsg(1, (char *)"Group '%s' not found in the image's /etc/group", group.c_str());
                return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
            }
        }
        return 0;
    }
    /* The groups whose member list names the user. */
    for (const IdLine &l : groups) {
        unsigned long gid;
        std::string members = "," + l.members + ",";
        if (!name.empty() && members.find("," + name + ",") != std::string::npos && idParse(l.id, &gid))
            cred->groups.push_back((gid_t)gid);
    }
    if (cred->groups.size() > 256) {
        ozcSendMsg(1, (char *)"User '%s' is in more than 256 groups", name.c_str());
        return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
    }
    return 0;
}

/* The container's host name and user, set in its namespace. */
static int ozcContainerIdentitySet(const CONTAINER_CTX *ctx)
{
    const runtimeSpecConfig *cfg = ctx->pConfig;
    if (cfg->hostName != nullptr && ozNsHostnameSet(ctx->nsId, cfg->hostName) != OK) {
        ozcSendMsg(1, (char *)"Container hostname '%s' cannot be set", cfg->hostName);
        return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
    }
    ContainerCred cred;
    if (int code = ozcContainerUserResolve(ctx, &cred); code != 0)
        return code;
    if (ozNsUserSet(ctx->nsId, (uid_t)cred.uid, (gid_t)cred.gid, cred.groups.data(), (int)cred.groups.size()) != OK)
        return OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID;
    return 0;
}

/* Mounts a bundle may ask for: file systems of the container's own. The
 * platform gives a proc and a sysfs as masked, read-only views and an
 * mqueue with the container's own queues; no host directory is bound in. */
static BOOL ozcContainerMountAllowed(const runtimeSpecConfigMount *m)
{
    static constexpr const char *kTypes[] = {"tmpfs", "devpts", "mqueue", "proc", "sysfs"};
    if (m == nullptr || m->type == nullptr || m->dst == nullptr || !pathIsSep(m->dst[0]))
        return FALSE;
    for (char **o = m->opt; o != nullptr && *o != nullptr; o++)
        if (strcmp(*o, "bind") == 0 || strcmp(*o, "rbind") == 0)
            return FALSE;
    for (const char *t : kTypes)
        if (strcmp(m->type, t) == 0)
            return TRUE;
    return FALSE;
}

static STATUS ozcContainerUmount(CONTAINER_CTX *ctx)
{
    if (!ctx->mounted)
        return OK;
    const char *rootfs = ctx->rootfs;
    if (ctx->nsId == -1)
        return ERROR;
    runtimeSpecConfigMounts *mounts = ctx->pConfig != nullptr ? ctx->pConfig->mounts : nullptr;
    while (ctx->mountCount > 0 && mounts != nullptr) {
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
        if (ctx->ovl)
            rc = ozcContainerRemoveUpLayer(ctx);
    }
    ctx->mounted = FALSE;
    return rc;
}

static STATUS ozcContainerMount(CONTAINER_CTX *ctx)
{
    if (ctx->mounted)
        return OK;
    char *rootfs = ctx->rootfs;
    rootfs[0] = '\0';
    ctx->ovl = ozcOvlFsAvailable();
    if (ozcContainerRootfsCreate(ctx, rootfs, sizeof(ctx->rootfs)) != OK) {
        ozcSendMsg(1, (char *)"Container rootfs create failed : %s", rootfs);
        return failWith(OZC_ERR_ROOTFS_CREATE_FAILED);
    }
    /* On a failure, undo everything this mount made, also what unmount
     * does not see: a namespace without root file system and the
     * container's overlay. */
    ozc::ScopeGuard undo([ctx] {
        if (ctx->mounted) {
            ozcContainerUmount(ctx);
        } else {
            if (ctx->nsId != -1 && ozNsDelete(ctx->nsId) == OK)
                ctx->nsId = -1;
            if (ctx->ovl)
                ozcContainerRemoveUpLayer(ctx);
        }
        ctx->mounted = FALSE;
    });
    if (ozcContainerAppPathSet(ctx, rootfs) != OK)
        return failWith(OZC_ERR_OCI_ARG_INVALID);
    ctx->nsId = ozNsCreate(OZC_NS_CREATE_FLAGS);
    if (ctx->nsId < 0) {
        ctx->nsId = -1;
        return failWith(OZC_ERR_NS_CREATE_FAILED);
    }
    if (ozNsRootfsSetup(ctx->nsId, rootfs, ctx->state.containerId) != OK)
        return failWith(OZC_ERR_ROOTFS_CREATE_FAILED);
    ctx->mounted = TRUE;
    if (int code = ozcContainerIdentitySet(ctx); code != 0)
        return failWith(code);
    runtimeSpecConfigMounts *mounts = ctx->pConfig->mounts;
    int n = mounts != nullptr ? mounts->count : 0;
    for (int i = 0; i < n; i++) {
        runtimeSpecConfigMount *m = mounts->mount[i];
        BOOL allowed = ozcContainerMountAllowed(m);
        if (!allowed)
            ozcSendMsg(1,
                       (char *)"Container mount of type '%s' at %s is not allowed (tmpfs, devpts, "
                               "mqueue, proc and sysfs are)",
                       m && m->type ? m->type : "", m && m->dst ? m->dst : "");
        if (!allowed || ozNsMount(ctx->nsId, rootfs, m->src, m->dst, m->type, (const char *const *)m->opt,
                                  optionCount(m->opt)) != OK) {
            ozcSendMsg(1, (char *)"Container additional mount failed for rootfs path: %s src: %s dest: %s", rootfs,
                       m && m->src ? m->src : "", m && m->dst ? m->dst : "");
            return failWith(OZC_ERR_ADDITIONAL_MOUNT_FAILED);
        }
        ctx->mountCount = (uint32_t)(i + 1);
    }
    undo.dismiss();
    return OK;
}

/* ------------------------------------------------------------------------
 * State records under the run directory: one small file per container,
 * named by its id, written whole under a temporary name and renamed into
 * place, so a daemon started again reads every record whole or not at all.
 * They describe containers of this run of the machine only (the namespace
 * key tells), so they are not forced to disk.
 * ------------------------------------------------------------------------ */
static STATUS ozcRecordDir(const char *sub, char *out, size_t len)
{
    if (ozcBasePathGet(out, len, OZC_RUN_PATH) == 0)
        return ERROR;
    if (!pathAppend(out, len, sub))
        return failWith(ENAMETOOLONG);
    return ozMkdirP(out, 0700);
}

static STATUS ozcRecordPath(const char *sub, const char *id, char *out, size_t len)
{
    if (ozcRecordDir(sub, out, len) != OK)
        return ERROR;
    return pathAppend(out, len, id) ? OK : failWith(ENAMETOOLONG);
}

static STATUS ozcContainerRecordWrite(const CONTAINER_CTX *ctx)
{
    char key[64];
    if (ozNsKeyGet(ctx->nsId, key, sizeof(key)) != OK)
        return ERROR;
    oz::JsonPtr rec(cJSON_CreateObject());
    cJSON *o = rec.get();
    if (o == nullptr || cJSON_AddStringToObject(o, "id", ctx->state.containerId) == nullptr ||
        cJSON_AddStringToObject(o, "bundle", ctx->state.bundlePath) == nullptr ||
        cJSON_AddNumberToObject(o, "status", ctx->state.status) == nullptr ||
        cJSON_AddNumberToObject(o, "created", (double)ctx->state.createdTime) == nullptr ||
        cJSON_AddNumberToObject(o, "nsId", ctx->nsId) == nullptr ||
        cJSON_AddStringToObject(o, "nsKey", key) == nullptr ||
        cJSON_AddNumberToObject(o, "pid", ctx->pidHandle) == nullptr ||
        cJSON_AddNumberToObject(o, "mountCount", ctx->mountCount) == nullptr ||
        cJSON_AddBoolToObject(o, "overlay", ctx->ovl) == nullptr ||
        cJSON_AddStringToObject(o, "rootfs", ctx->rootfs) == nullptr)
        return failWith(ENOMEM);
    oz::MallocPtr<char> text(cJSON_PrintUnformatted(o));
    char tmp[OZC_PATH_LEN], path[OZC_PATH_LEN];
    if (!text)
        return failWith(ENOMEM);
    if (ozcRecordPath("new", ctx->state.containerId, tmp, sizeof(tmp)) != OK ||
        ozcRecordPath("state", ctx->state.containerId, path, sizeof(path)) != OK)
        return ERROR;
    FILE *f = fopen(tmp, "we");
    if (f == nullptr)
        return ERROR;
    size_t len = strlen(text.get());
    bool ok = fwrite(text.get(), 1, len, f) == len;
    if (fclose(f) != 0 || !ok || rename(tmp, path) != 0) {
        int saved = errno != 0 ? errno : EIO;
        unlink(tmp);
        return failWith(saved);
    }
    return OK;
}

static void ozcContainerRecordRemove(const char *id)
{
    char path[OZC_PATH_LEN];
    if (ozcRecordPath("state", id, path, sizeof(path)) == OK)
        unlink(path);
}

/* ------------------------------------------------------------------------
 * Operations
 * ------------------------------------------------------------------------ */
STATUS ozcContainerCreate(const char *containerId, const char *bundlePath, unsigned option, OZC_ATTR *pAttr)
{
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
    /* On a failure, undo the mount and free the record. */
    ozc::ScopeGuard undo([ctx] {
        ozcContainerUmount(ctx);
        ozcContainerFree(ctx);
    });
    char specPath[OZC_PATH_LEN];
    if (!pathAppend(ctx->state.bundlePath, sizeof(ctx->state.bundlePath), bundlePath) ||
        !pathCopy(specPath, sizeof(specPath), ctx->state.bundlePath) ||
        !pathAppend(specPath, sizeof(specPath), "config.json"))
        return failWith(OZC_ERR_BUNDLE_PATH_TOO_LONG);
    /* The record keeps at most OZC_CONTAINER_ID_LEN - 1 characters: a
     * longer id is refused, not kept cut (it would be found under no name
     * its creator knows, and two ids could become one). */
    if (!pathCopy(ctx->state.containerId, sizeof(ctx->state.containerId), containerId)) {
        ozcSendMsg(1, (char *)"Container id longer than %d characters", OZC_CONTAINER_ID_LEN - 1);
        return failWith(EINVAL);
    }
    errno = 0;
    ctx->pConfig = ozcInitializeRuntimeSpec(specPath);
    if (ctx->pConfig == nullptr) {
        if (errno != ENOENT)
            return failWith(OZC_ERR_RUNTIME_CONFIG_LOAD_FAILED);
        ozcSendMsg(1, (char *)"OCI bundle config.json not exists in %s", ctx->state.bundlePath);
        return failWith(OZC_ERR_BUNDLE_CONFIG_NOT_EXISTS);
    }
    const runtimeSpecConfig *cfg = ctx->pConfig;
    if (cfg->version == nullptr || cfg->version[0] == '\0' ||
        !pathCopy(ctx->state.ver, sizeof(ctx->state.ver), cfg->version))
        return failWith(OZC_ERR_OCI_VERSION_INVALID);
    if (cfg->root == nullptr || cfg->root->path == nullptr || cfg->root->path[0] == '\0')
        return failWith(OZC_ERR_OCI_ROOT_INVALID);
    const runtimeSpecConfigProcess *p = cfg->process;
    if (p == nullptr || p->cwd == nullptr || !pathIsSep(p->cwd[0]))
        return failWith(OZC_ERR_OCI_CWD_INVALID);
    if (p->argCount <= 0 || p->args == nullptr || p->args[0] == nullptr || p->args[0][0] == '\0')
        return failWith(OZC_ERR_OCI_ARG_INVALID);
    ctx->sem = semMCreate(kMutexOptions);
    if (ctx->sem == nullptr)
        return failWith(errno ? errno : ENOMEM);
    ctx->state.status = STATE_CREATED;
    ctx->mounted = FALSE;
    if (ozcContainerMount(ctx) != OK)
        return failWith(errno);
    ctx->state.pCtx = ctx;
    ctx->state.createdTime = time(nullptr);
    /* Recorded before it is listed: a daemon that ends at any point
     * leaves nothing that a daemon started again does not find. */
    if (ozcContainerRecordWrite(ctx) != OK)
        return failWith(errno);
    if (ozcContainerAdd(ctx) != OK) {
        int err = errno;
        ozcContainerRecordRemove(ctx->state.containerId);
        return failWith(err);
    }
    undo.dismiss();
    return OK;
}

/* Called with the container locked: a running container whose namespace
 * has emptied becomes stopped. */
static BOOL ozcContainerCheckRunning(CONTAINER_CTX *ctx)
{
    if (ctx->state.status != STATE_RUNNING)
        return FALSE;
    BOOL inUse = FALSE;
    if (ozNsInUse(ctx->nsId, &inUse) == OK && inUse)
        return TRUE;
    /* Start hands out the parameters before the client spawns: until the
     * client reports the process, an empty namespace is still starting. */
    if (ctx->pidHandle == 0 && tickGet() - ctx->startTick < (uint64_t)kSpawnGraceSec * (uint64_t)sysClkRateGet())
        return TRUE;
    ctx->state.status = STATE_STOPPED;
    return FALSE;
}

/* The start parameters of a container: they point into its record and
 * specification. */
static void ozcContainerStartParmFill(CONTAINER_CTX *ctx, CONTAINER_START_PARM *param)
{
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
}

STATUS ozcContainerStart(const char *containerId, CONTAINER_START_PARM *param)
{
    if (param == nullptr)
        return failWith(EINVAL);
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    if (ctx->state.status != STATE_CREATED)
        return ozcContainerUnlockFail(ctx, EBUSY);
    ozcContainerStartParmFill(ctx, param);
    ctx->state.status = STATE_RUNNING;
    ctx->startTick = tickGet();
    /* A daemon started again must not hand out the parameters twice. */
    if (ozcContainerRecordWrite(ctx) != OK) {
        ctx->state.status = STATE_CREATED;
        return ozcContainerUnlockFail(ctx, errno);
    }
    ozcContainerUnlock(ctx);
    return OK;
}

STATUS ozcContainerStartParmGet(const char *containerId, CONTAINER_START_PARM *param)
{
    if (param == nullptr)
        return failWith(EINVAL);
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    ozcContainerStartParmFill(ctx, param);
    ozcContainerUnlock(ctx);
    return OK;
}

STATUS ozcContainerKill(const char *containerId, int signo, unsigned option)
{
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    STATUS rc = OK;
    if (ozcContainerCheckRunning(ctx)) {
        /* Without a reported process handle only the container's own
         * processes may be reached, never a process group of the caller. */
        if ((option & OZC_KILL_ALL) != 0 || ctx->pidHandle <= 0)
            rc = ozNsKillAll(ctx->nsId, signo);
        else /* only while it is a process of the container */
            rc = ozNsProcKill(ctx->nsId, (pid_t)ctx->pidHandle, signo);
    }
    int saved = errno;
    ozcContainerUnlock(ctx);
    errno = saved;
    return rc;
}

static void ozcContainerWaitEmpty(CONTAINER_CTX *ctx)
{
    int step = sysClkRateGet() / 100 > 0 ? sysClkRateGet() / 100 : 1;
    for (int waited = 0; waited < kKillWaitMs; waited += 10) {
        BOOL inUse = FALSE;
        if (ozNsInUse(ctx->nsId, &inUse) != OK || !inUse)
            return;
        taskDelay(step);
    }
}

STATUS ozcContainerDelete(const char *containerId, unsigned option)
{
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
    if (code != 0)
        return ozcContainerUnlockFail(ctx, code);
    ozcContainerRecordRemove(ctx->state.containerId);
    return ozcContainerRemove(ctx);
}

STATUS ozcContainerStorePidHandle(const char *containerId, OBJ_HANDLE pidHandle)
{
    CONTAINER_CTX *ctx = ozcContainerLockValidId(containerId);
    if (ctx == nullptr)
        return ERROR;
    /* Only a process of this container: a kill of the stored handle must
     * never reach a process of the host or of another container. */
    if (ctx->state.status != STATE_RUNNING || ozNsProcCheck(ctx->nsId, (pid_t)pidHandle) != OK)
        return ozcContainerUnlockFail(ctx, ESRCH);
    OBJ_HANDLE before = ctx->pidHandle;
    ctx->pidHandle = pidHandle;
    if (ozcContainerRecordWrite(ctx) != OK) {
        ctx->pidHandle = before;
        return ozcContainerUnlockFail(ctx, errno);
    }
    ozcContainerUnlock(ctx);
    return OK;
}

STATUS ozcContainerStateGet(char *containerId, CONTAINER_STATE *pState)
{
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

BOOL ozcContainerNext(char *containerId)
{
    if (containerId == nullptr || strnlen(containerId, OZC_CONTAINER_ID_LEN + 1) > OZC_CONTAINER_ID_LEN) {
        return failWith(EINVAL, FALSE);
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
        pathCopy(containerId, OZC_CONTAINER_ID_LEN + 1, best);
    ozcContainerListUnlock();
    return best != nullptr;
}

/* ------------------------------------------------------------------------
 * Adoption of the containers of a daemon before this one
 * ------------------------------------------------------------------------ */
/* What is left of a container whose namespace is gone: its overlay device
 * and its writable directories. */
static void ozcContainerLeftoversRemove(const char *id, BOOL ovl, const char *rootfs)
{
    if (ovl && rootfs[0] != '\0')
        ozcRemoveOvlRootfsDev(rootfs);
    char dir[OZC_PATH_LEN];
    if (ozcBasePathGet(dir, sizeof(dir), OZC_CONTAINERS_PATH) != 0 && pathAppend(dir, sizeof(dir), id) &&
        access(dir, F_OK) == 0)
        ozcUtilXdelete(dir);
}

static const char *recordString(const cJSON *rec, const char *key)
{
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(rec, key);
    return cJSON_IsString(v) ? v->valuestring : nullptr;
}

static bool recordInt(const cJSON *rec, const char *key, int64_t *out)
{
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(rec, key);
    if (!cJSON_IsNumber(v))
        return false;
    *out = cJSON_integer64_value(v);
    return true;
}

/* The container of one record listed again, or what is left of it
 * removed. The record goes when the container does. */
static void ozcContainerAdoptOne(const char *recordPath)
{
    oz::JsonPtr rec(cJSON_load_from_file(recordPath));
    const char *id = recordString(rec.get(), "id");
    const char *bundle = recordString(rec.get(), "bundle");
    const char *key = recordString(rec.get(), "nsKey");
    const char *rootfs = recordString(rec.get(), "rootfs");
    int64_t status = 0, created = 0, nsId = -1, pid = 0, mountCount = 0;
    /* An id, bundle or root that would not fit the record whole is not
     * taken over cut: such a record is not one this daemon wrote. */
    bool ok = id != nullptr && ozcContainerIdValid(id) && strlen(id) < OZC_CONTAINER_ID_LEN && bundle != nullptr &&
              ozcBundlePathValid(bundle) && strlen(bundle) < OZC_PATH_LEN && key != nullptr && rootfs != nullptr &&
              strlen(rootfs) < OZC_PATH_LEN && recordInt(rec.get(), "status", &status) && status >= STATE_CREATED &&
              status <= STATE_STOPPED && recordInt(rec.get(), "created", &created) &&
              recordInt(rec.get(), "nsId", &nsId) && nsId >= 0 && nsId <= INT32_MAX &&
              recordInt(rec.get(), "pid", &pid) && pid >= 0 && pid <= INT32_MAX &&
              recordInt(rec.get(), "mountCount", &mountCount) && mountCount >= 0;
    if (!ok) {
        unlink(recordPath);
        return;
    }
    BOOL ovl = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(rec.get(), "overlay"));
    char now[64];
    if (ozNsKeyGet((int)nsId, now, sizeof(now)) != OK || strcmp(now, key) != 0) {
        /* The namespace is gone (or the id is another one's now). */
        ozcContainerLeftoversRemove(id, ovl, rootfs);
        unlink(recordPath);
        return;
    }
    auto *ctx = static_cast<CONTAINER_CTX *>(calloc(1, sizeof(CONTAINER_CTX)));
    if (ctx == nullptr)
        return; /* kept for the next start */
    pathCopy(ctx->state.containerId, sizeof(ctx->state.containerId), id);
    pathCopy(ctx->state.bundlePath, sizeof(ctx->state.bundlePath), bundle);
    pathCopy(ctx->rootfs, sizeof(ctx->rootfs), rootfs);
    ctx->nsId = (int)nsId;
    ctx->ovl = ovl;
    ctx->mounted = TRUE;
    ctx->state.status = (int)status;
    ctx->state.createdTime = (time_t)created;
    ctx->pidHandle = (OBJ_HANDLE)pid;
    ctx->state.pCtx = ctx;
    /* Started but not yet reported: the spawn gets its grace again. */
    ctx->startTick = tickGet();
    char specPath[OZC_PATH_LEN];
    if (pathCopy(specPath, sizeof(specPath), bundle) && pathAppend(specPath, sizeof(specPath), "config.json"))
        ctx->pConfig = ozcInitializeRuntimeSpec(specPath);
    const runtimeSpecConfig *cfg = ctx->pConfig;
    bool usable = cfg != nullptr && cfg->version != nullptr && cfg->root != nullptr && cfg->process != nullptr &&
                  cfg->process->cwd != nullptr && cfg->process->argCount > 0 && cfg->process->args[0] != nullptr &&
                  pathCopy(ctx->state.ver, sizeof(ctx->state.ver), cfg->version) &&
                  ozcContainerAppPathSet(ctx, rootfs) == OK && (ctx->sem = semMCreate(kMutexOptions)) != nullptr;
    if (usable) {
        int mounts = cfg->mounts != nullptr ? cfg->mounts->count : 0;
        ctx->mountCount = (uint32_t)(mountCount < mounts ? mountCount : mounts);
        if (ozcContainerAdd(ctx) == OK)
            return;
    }
    /* A container whose bundle can no longer be read cannot be described,
     * started or inspected: it ends, and nothing of it is left. */
    ozNsKillAll(ctx->nsId, SIGKILL);
    ctx->mountCount = 0;
    ozcContainerUmount(ctx);
    ozcContainerLeftoversRemove(id, ovl, rootfs);
    unlink(recordPath);
    ozcContainerFree(ctx);
}

/* The entries of a directory, but "." and "..". */
static std::vector<std::string> dirEntries(const char *dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

STATUS ozcContainerAdopt(void)
{
    if (!isInitialized)
        return failWith(EINVAL);
    char dir[OZC_PATH_LEN], path[OZC_PATH_LEN];
    /* Records a daemon was writing when it ended. */
    if (ozcRecordDir("new", dir, sizeof(dir)) != OK)
        return ERROR;
    for (const std::string &name : dirEntries(dir))
        if (pathCopy(path, sizeof(path), dir) && pathAppend(path, sizeof(path), name.c_str()))
            unlink(path);
    if (ozcRecordDir("state", dir, sizeof(dir)) != OK)
        return ERROR;
    for (const std::string &name : dirEntries(dir))
        if (pathCopy(path, sizeof(path), dir) && pathAppend(path, sizeof(path), name.c_str()))
            ozcContainerAdoptOne(path);
    return OK;
}

/* ------------------------------------------------------------------------
 * Prune of shared root file systems no one uses
 * ------------------------------------------------------------------------ */
/* A layer chain id names shared overlays and flattened trees. */
static bool isChainName(const std::string &name)
{
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

/* The root directory a bundle's config.json names, when it has one. */
static void bundleRootAdd(const char *bundle, std::set<std::string> *roots)
{
    char path[OZC_PATH_LEN];
    if (!pathCopy(path, sizeof(path), bundle) || !pathAppend(path, sizeof(path), "config.json") ||
        access(path, F_OK) != 0)
        return;
    runtimeSpecConfig *cfg = ozcInitializeRuntimeSpec(path);
    if (cfg != nullptr && cfg->root != nullptr && cfg->root->path != nullptr) {
        char root[OZC_PATH_LEN] = "";
        if (pathIsSep(cfg->root->path[0])
                ? pathCopy(root, sizeof(root), cfg->root->path)
                : (pathCopy(root, sizeof(root), bundle) && pathAppend(root, sizeof(root), cfg->root->path)))
            roots->insert(root);
    }
    ozcDestroyRuntimeSpec(cfg);
}

STATUS ozcContainerPrune(OZC_PRUNE_FUNC fn, void *arg)
{
    if (!isInitialized)
        return failWith(EINVAL);
    /* In use: the roots of this daemon's containers, and those of the
     * bundles directly under the base directory (unpacked for containers
     * not created yet). */
    std::set<std::string> roots, ids;
    if (ozcContainerListLock() != OK)
        return ERROR;
    for (CONTAINER_CTX *c = ozcContainersList.head; c != nullptr; c = c->containerNode) {
        ids.insert(c->state.containerId);
        char root[OZC_PATH_LEN];
        if (ozcContainerBundleRootGet(c, root, sizeof(root)) == OK)
            roots.insert(root);
    }
    ozcContainerListUnlock();
    /* The base directory: the layer store's parent. */
    char base[OZC_PATH_LEN], path[OZC_PATH_LEN];
    size_t len = ozcBasePathGet(base, sizeof(base), OZC_LAYER_PATH);
    if (len == 0)
        return ERROR;
    base[len - strlen("/layers")] = '\0';
    for (const std::string &name : dirEntries(base))
        if (pathCopy(path, sizeof(path), base) && pathAppend(path, sizeof(path), name.c_str()))
            bundleRootAdd(path, &roots);
    auto removed = [&](const char *p) {
        if (fn != nullptr)
            fn(p, arg);
    };
    STATUS rc = OK;
    /* Layer-chain overlays under the device directory. */
    const char *devDir = ozOvlDevDirGet();
    for (const std::string &name : devDir[0] != '\0' ? dirEntries(devDir) : std::vector<std::string>{}) {
        path[0] = '\0';
        if (!isChainName(name) || !pathCopy(path, sizeof(path), devDir) ||
            !pathAppend(path, sizeof(path), name.c_str()) || roots.count(path) != 0)
            continue;
        if (ozcRemoveOvlRootfsDev(path) == OK)
            removed(path);
        else if (errno != EINVAL && errno != ENOENT)
            rc = ERROR;
    }
    /* Flattened trees (and what an unpack that ended early left). */
    char flat[OZC_PATH_LEN];
    if (ozcBasePathGet(flat, sizeof(flat), OZC_FLATTENED_PATH) != 0) {
        for (const std::string &name : dirEntries(flat)) {
            if (!isChainName(name.substr(0, 64)) || !pathCopy(path, sizeof(path), flat) ||
                !pathAppend(path, sizeof(path), name.c_str()) || roots.count(path) != 0)
                continue;
            if (name.size() > 64 && name.find(".part-") == 64) {
                /* Extracting now, or left by a process that is gone. */
                long owner = strtol(name.c_str() + 70, nullptr, 10);
                if (owner > 0 && kill((pid_t)owner, 0) == 0)
                    continue;
            }
            if (ozcUtilXdelete(path) == OK)
                removed(path);
            else
                rc = ERROR;
        }
    }
    /* The overlays and writable directories of containers no one lists:
     * left by creations that did not complete. */
    char dirs[OZC_PATH_LEN];
    if (ozcBasePathGet(dirs, sizeof(dirs), OZC_CONTAINERS_PATH) != 0) {
        for (const std::string &name : dirEntries(dirs)) {
            if (ids.count(name) != 0 || !pathCopy(path, sizeof(path), dirs) ||
                !pathAppend(path, sizeof(path), name.c_str()))
                continue;
            char dev[OZC_PATH_LEN] = "";
            if (devDir[0] != '\0' && pathCopy(dev, sizeof(dev), devDir) && pathAppend(dev, sizeof(dev), name.c_str()) &&
                ozcRemoveOvlRootfsDev(dev) == OK)
                removed(dev);
            if (ozcUtilXdelete(path) == OK)
                removed(path);
            else
                rc = ERROR;
        }
    }
    return rc;
}

} /* extern "C" */
