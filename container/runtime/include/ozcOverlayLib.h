/*
 * ozcOverlayLib.h - overlay root file systems: whether the OS offers
 * overlays, and creation and removal of an overlay device stacking
 * directories.
 */
#ifndef OZC_OVERLAY_LIB_H
#define OZC_OVERLAY_LIB_H

#include <stdint.h>

#include "ozPlatform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Directory list handed to the overlay driver, topmost first. */
typedef struct ovlDirs {
    const char **pDirs;
    uint32_t num;
} ovlDirs, OVL_DIRS;

/* TRUE when overlay file systems can be used (asked afresh at every call). */
BOOL ozcOvlFsAvailable(void);

/* Creates the overlay device pDevName (a path under the overlay device
 * directory) over dirNum directories, topmost first. With hasUpper the first
 * directory is the writable upper layer and the others read-only lower
 * layers; without, all are read-only lower layers. 0 or -1 (errno). */
STATUS ozcCreateOvlRootfsDev(const char *pDevName, const char **pDirsPath, uint32_t dirNum, BOOL hasUpper);

/* Unmounts and removes the overlay device. 0 or -1 (errno). */
STATUS ozcRemoveOvlRootfsDev(const char *pDevName);

#ifdef __cplusplus
}
#endif

#endif /* OZC_OVERLAY_LIB_H */
