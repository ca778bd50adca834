/*
 * ozcRuntimeApi.h - the exported runtime API: container operations through
 * the runtime daemon, image operations in the caller's process.
 */
#ifndef OZC_RUNTIME_API_H
#define OZC_RUNTIME_API_H

#include <stdint.h>

#include <cjson/cJSON.h>

#include "ozPlatform.h"
#include "ozcContainerLib.h"
#include "ozcImageLib.h"
#include "ozcRuntimeCSLib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* option bits */
#define OZC_START_DETACH 0x4 /* ozcStart: return after the spawn */

STATUS ozcCreate(const char *containerId, const char *bundlePath, unsigned option,
                 const OZC_ATTR *pAttr);
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
STATUS ozcUnpack(const char *bundlePath, const char *ociPath, const char *tag,
                 unsigned option, const OZC_BUNDLE_ATTR *pAttr);

#ifdef __cplusplus
}
#endif

#endif /* OZC_RUNTIME_API_H */
