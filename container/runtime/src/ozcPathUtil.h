/*
 * ozcPathUtil.h - the library's two bounded path operations (private to the
 * runtime library's units): a copy and a component append that report a
 * result that does not fit instead of cutting it.
 */
#ifndef OZC_PATH_UTIL_H
#define OZC_PATH_UTIL_H

#include <cerrno>
#include <cstring>

namespace ozc {

inline bool pathIsSep(char c) { return c == '/' || c == '\\'; }

/* Copies src into dst (size bytes with the NUL); false and dst emptied when
 * it does not fit. */
inline bool pathCopy(char *dst, size_t size, const char *src) {
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
inline bool pathAppend(char *dst, size_t size, const char *comp) {
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

/* Sets errno and gives the failure result. */
inline int failWith(int code) {
    errno = code;
    return -1;
}

} // namespace ozc

#endif /* OZC_PATH_UTIL_H */
