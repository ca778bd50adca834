/*
 * ozcRuntimeApi.h - the exported runtime API: container operations through
 * the runtime daemon, image operations in the caller's process.
 */
#ifndef OZC_RUNTIME_API_H
#define OZC_RUNTIME_API_H

#include <stdint.h>

#include <cjson/cJSON.h>

#include "ozPlatform.h"
#include "ozcImageLib.h"
#include "ozcRuntimeCSLib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* option bits */
#define OZC_START_DETACH 0x4 /* ozcStart: return after the spawn */
#define OZC_KILL_ALL     0x2 /* ozcKill: every process of the container */
#define OZC_DELETE_FORCE 0x2 /* ozcDelete: also a running container */

/* A container's state (ozcStatusGet; "status" of ozcState). */
typedef enum containerStatus {
    STATE_CREATING = 0,
    STATE_CREATED = 1,
    STATE_RUNNING = 2,
    STATE_STOPPED = 3,
    STATE_UNKNOWN = 4
} CONTAINER_STATUS;

/* Create attributes: reserved, pass NULL. */
typedef struct ozcAttr {
    char *reserve;
} OZC_ATTR;

STATUS ozcCreate(const char *containerId, const char *bundlePath, unsigned option, const OZC_ATTR *pAttr);
STATUS ozcStart(const char *containerId, unsigned option);
STATUS ozcKill(const char *containerId, int signo, unsigned option);
STATUS ozcDelete(const char *containerId, unsigned option);
char *ozcState(const char *containerId);
CONTAINER_STATUS ozcStatusGet(const char *containerId);
char *ozcList(void);
/* Starts the process of a created container and waits for its end: the
 * process id, its wait status in *waitStatus (as waitpid gives it). */
STATUS ozcStartWait(const char *containerId, int *waitStatus);
/* Removes the shared root file systems no container and no bundle under
 * OZC_BASE uses (layer-chain overlays, flattened trees) and what failed
 * creations left; the paths removed, as an unformatted JSON array the
 * caller frees. NULL on failure. */
char *ozcPrune(void);
char *ozcContainerInfoGet(const char *containerId);
BOOL ozcDaemonIsAlive(void);
char *ozcImageInfoGet(const char *ociPath);
STATUS ozcUnpack(const char *bundlePath, const char *ociPath, const char *tag, unsigned option,
                 const OZC_BUNDLE_ATTR *pAttr);

#ifdef __cplusplus
}
#endif

#endif /* OZC_RUNTIME_API_H */
