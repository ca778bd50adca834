/*
 * ozcUtilInternal.h - what the runtime library's units share and do not
 * export (libozcontainer.map): the internal steps of the runtime API, the
 * image parsing, the signal table, digest validation, the helpers of the
 * recursive delete and the library's diagnostic line. Tests reach them
 * through the object library ozcontainer_units.
 */
#ifndef OZC_UTIL_INTERNAL_H
#define OZC_UTIL_INTERNAL_H

#include "ozcImageLib.h"
#include "ozcRuntimeApi.h"
#include "ozcUtil.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Runtime API steps: the status value of a state's number, the store of a
 * started process's handle, and the spawn of a container's process. */
CONTAINER_STATUS ozcStatusIntConvert(int32_t statusInt);
STATUS ozcContextObjHandleStore(const char *containerId, OBJ_HANDLE objHandle);
STATUS ozcContextStart(const char *containerId, cJSON *array, unsigned option);

/* Image layout parsing and validation. */
OCI_IMAGE *ozcImageInfoCreate(const char *ociPath);
void ozcImageInfoDelete(OCI_IMAGE *pImage);
STATUS ozcImageParse(OCI_IMAGE *pImage);
STATUS ozcImageFindManifest(OCI_IMAGE *pImage, const char *os, const char *arch,
                            const char *tag);
STATUS ozcImageGetMountInfo(const char *volume, cJSON *mount);

/* Signal names and numbers of ozcUtilSignalNo(): the target's names with
 * the numbers of the OS the build runs on (-1 for a name that OS has no
 * signal for). */
extern const signalmap signalList[OZC_SIGNAL_COUNT];

/* Validates a content digest text before it is used to form a file name:
 * "sha256:" followed by exactly 64, or "sha512:" followed by exactly 128,
 * lower-case hexadecimal digits. 0, or -1 with EINVAL. */
STATUS ozcUtilDigestValidate(const char *digest);

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
