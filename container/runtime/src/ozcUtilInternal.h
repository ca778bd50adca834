/*
 * ozcUtilInternal.h - helpers of the recursive delete and the library's
 * diagnostic line, used inside the runtime library only.
 */
#ifndef OZC_UTIL_INTERNAL_H
#define OZC_UTIL_INTERNAL_H

#include "ozcUtil.h"

#ifdef __cplusplus
extern "C" {
#endif

/* TRUE for a directory. With link TRUE a symbolic link is judged itself
 * (lstat), else the object it points to (stat). FALSE for NULL, an empty
 * name or a failed test. */
BOOL ozcUtilNameIsDir(const char *pName, BOOL link);

/* Looks for a sub-directory of pName (links are not directories here). On
 * the way, with clean, every other entry is removed. 0 with the
 * sub-directory's full path in pSubDir (when given); -1 when there is none,
 * or on an error. */
STATUS ozcUtilFindSubDirAndClean(const char *pName, char *pSubDir, int pSubDirLen, BOOL clean);

/* Writes one diagnostic line, "ozc: " and the formatted text, to the
 * standard error of the calling process: what an error code alone cannot
 * say (which media type, which layer, what was skipped). */
void ozcUtilDiag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif /* OZC_UTIL_INTERNAL_H */
