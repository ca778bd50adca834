/*
 * ozcUtilInternal.h - what the runtime library's units share and do not
 * export (libozcontainer.map): the internal steps of the runtime API, the
 * image parsing, the signal table, digest validation, the helpers of the
 * recursive delete and the library's diagnostic line; and, for the C++
 * units, the one way a failure is written (failWith, failNull), the bounded
 * path copy and append that fail instead of cutting, and a scope guard for
 * undo-on-failure. Tests reach them through the object library
 * ozcontainer_units.
 */
#ifndef OZC_UTIL_INTERNAL_H
#define OZC_UTIL_INTERNAL_H

#include "ozcContainerLib.h"
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
STATUS ozcImageFindManifest(OCI_IMAGE *pImage, const char *os, const char *arch, const char *tag);
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

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace ozc {

/* A failure: errno set to code, then -1 (ERROR). */
inline int failWith(int code)
{
    errno = code;
    return -1;
}

/* A failure of a function whose failure result is not -1: errno set to
 * code, then result (FALSE, 0). */
template <typename T>
inline T failWith(int code, T result)
{
    errno = code;
    return result;
}

/* A failure: errno set to code, then null. */
inline std::nullptr_t failNull(int code)
{
    errno = code;
    return nullptr;
}

inline bool pathIsSep(char c)
{
    return c == '/' || c == '\\';
}

/* Copies src into dst (size bytes with the NUL); false and dst emptied when
 * it does not fit. The library's one bounded copy of a text. */
inline bool pathCopy(char *dst, size_t size, const char *src)
{
    size_t n = strlen(src);
    if (n >= size) {
        if (size > 0)
            dst[0] = '\0';
        return false;
    }
    memcpy(dst, src, n + 1);
    return true;
}

/* Joins comp to the path in dst with exactly one separator (an empty dst
 * takes comp as it is); false and dst unchanged when it does not fit. */
inline bool pathAppend(char *dst, size_t size, const char *comp)
{
    size_t len = strlen(dst);
    if (len > 0) {
        while (pathIsSep(*comp))
            comp++;
    }
    bool sep = len > 0 && !pathIsSep(dst[len - 1]) && *comp != '\0';
    size_t clen = strlen(comp);
    if (len + (sep ? 1 : 0) + clen >= size)
        return false;
    if (sep)
        dst[len++] = '/';
    memcpy(dst + len, comp, clen + 1);
    return true;
}

/* Runs an undo step when the scope ends unless dismiss() was called: the
 * clean-up of a multi-step operation that failed half way. The undo keeps
 * errno as the failure set it, so the caller sees the failure's code, not
 * one of the clean-up's. */
template <typename F>
class ScopeGuard {
public:
    explicit ScopeGuard(F undo) : undo_(std::move(undo)) {}
    ~ScopeGuard()
    {
        if (!armed_)
            return;
        int saved = errno;
        undo_();
        errno = saved;
    }
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;
    void dismiss() { armed_ = false; }

private:
    F undo_;
    bool armed_ = true;
};

} // namespace ozc

#endif /* __cplusplus */

#endif /* OZC_UTIL_INTERNAL_H */
