/*
 * ozcContainerLib.h - the runtime's container list and container lifecycle:
 * create from an OCI bundle, start parameters, kill, delete, state, and the
 * info-line sender towards the requesting client.
 *
 * These operations run on the runtime daemon's task; other processes reach
 * them through the runtime API (ozcRuntimeApi.h), which holds the types and
 * option bits the two share. Private to the library's units and its tests
 * (not installed).
 */
#ifndef OZC_CONTAINER_LIB_H
#define OZC_CONTAINER_LIB_H

#include <stdint.h>
#include <time.h>

#include "ozPlatform.h"
#include "ozcRuntimeApi.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef OZC_OBJ_HANDLE_DEFINED
#define OZC_OBJ_HANDLE_DEFINED
typedef int OBJ_HANDLE; /* handle of a started process */
#endif

#define OZC_CONTAINER_ID_LEN   255  /* containerState.containerId */
#define OZC_PATH_LEN           1024 /* path buffers */
#define OZC_VERSION_LEN        64
#define OZC_INFO_MSGQ_NAME_LEN 192
#define OZC_INFO_MSG_LEN       255
#define OZC_INFO_MSGQ_DEPTH    20

/* option bits (OZC_KILL_ALL, OZC_DELETE_FORCE: ozcRuntimeApi.h) */
#define OZC_NS_CREATE_FLAGS 0x1001
#define OZC_POSIX_FLAGS     0x180

struct containerCtx;
struct runtimeSpecConfig;

typedef struct containerState {
    char *owner;               /* reserved; always empty */
    int status;                /* a containerStatus value */
    struct containerCtx *pCtx; /* owning container record */
    time_t createdTime;
    char ver[OZC_VERSION_LEN];
    char containerId[OZC_CONTAINER_ID_LEN];
    char bundlePath[OZC_PATH_LEN];
} CONTAINER_STATE;

typedef struct containerCtx {
    struct containerCtx *containerNode; /* next record of the list */
    char appPath[OZC_PATH_LEN];
    SEM_ID sem;
    OBJ_HANDLE pidHandle;
    BOOL mounted;
    uint32_t mountCount;
    int nsId;
    CONTAINER_STATE state;
    struct runtimeSpecConfig *pConfig;
    uint64_t startTick;        /* tick of the start; a started container
                                  * whose process is not yet reported is
                                  * not taken for stopped at once */
    BOOL ovl;                  /* the root file system is the container's
                                  * own overlay device */
    char rootfs[OZC_PATH_LEN]; /* the root file system path mounted */
} CONTAINER_CTX;

typedef struct containerStartParm {
    char *appPath;
    int option;
    int priority;
    int stackSize;
    int taskOption;
    int nsId;
    char *cwd;
    short posixFlags;
    char **arg;
    int argNum;
    char **env;
    int envNum;
} CONTAINER_START_PARM;

STATUS ozcContainerInit(void);
STATUS ozcContainerCreate(const char *containerId, const char *bundlePath, unsigned option, OZC_ATTR *pAttr);
STATUS ozcContainerStart(const char *containerId, CONTAINER_START_PARM *param);
STATUS ozcContainerKill(const char *containerId, int signo, unsigned option);
STATUS ozcContainerDelete(const char *containerId, unsigned option);
STATUS ozcContainerStorePidHandle(const char *containerId, OBJ_HANDLE pidHandle);
STATUS ozcContainerStateGet(char *containerId, CONTAINER_STATE *pState);
BOOL ozcContainerNext(char *containerId);

/* The start parameters of a created container as start would hand them
 * out, without starting it (to check that they fit a reply). */
STATUS ozcContainerStartParmGet(const char *containerId, CONTAINER_START_PARM *param);

/* Takes over the containers that a daemon before this one left running,
 * from their records under the run directory (OZC_BASE "/run"): those
 * whose namespace still exists are listed again as they were; what is
 * left of the others (records, overlays, writable directories) is removed.
 * Call once after ozcContainerInit(). */
STATUS ozcContainerAdopt(void);

/* Removes the shared root file systems no container of this daemon and no
 * bundle directly under OZC_BASE uses: layer-chain overlay devices, the
 * flattened trees, and what failed creations left of containers. fn is
 * told each path removed. */
typedef void (*OZC_PRUNE_FUNC)(const char *path, void *arg);
STATUS ozcContainerPrune(OZC_PRUNE_FUNC fn, void *arg);

void ozcSendMsg(uint32_t lvl, char *info, ...) __attribute__((format(printf, 2, 3)));
void ozcMsgQnameSet(const char *msgQname);
void ozcMsgLvlSet(uint8_t lvl);

#ifdef __cplusplus
}
#endif

#endif /* OZC_CONTAINER_LIB_H */
