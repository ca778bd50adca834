/*
 * ozcOverlayLib.cpp - overlay root file systems through the OS's overlay
 * driver: availability, device creation over a directory list and device
 * removal.
 */
#include "ozcOverlayLib.h"
#include "ozcUtilInternal.h"

#include <errno.h>

using ozc::failWith;

BOOL ozcOvlFsAvailable(void)
{
    return ozOvlAvailable() ? TRUE : FALSE;
}

STATUS ozcCreateOvlRootfsDev(const char *pDevName, const char **pDirsPath, uint32_t dirNum, BOOL hasUpper)
{
    if (pDevName == nullptr || pDirsPath == nullptr || dirNum == 0) {
        return failWith(EINVAL);
    }
    for (uint32_t i = 0; i < dirNum; i++) {
        if (pDirsPath[i] == nullptr) {
            return failWith(EINVAL);
        }
    }
    /* An upper layer needs at least one lower layer under it. */
    if (hasUpper && dirNum < 2) {
        return failWith(EINVAL);
    }
    ovlDirs dirs = {pDirsPath, dirNum};
    return ozOvlDevCreate(pDevName, dirs.pDirs, dirs.num, hasUpper ? TRUE : FALSE) == OK ? OK : ERROR;
}

STATUS ozcRemoveOvlRootfsDev(const char *pDevName)
{
    if (pDevName == nullptr) {
        return failWith(EINVAL);
    }
    return ozOvlDevRemove(pDevName) == OK ? OK : ERROR;
}
