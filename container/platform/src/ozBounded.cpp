/*
 * ozBounded.cpp - the bounds-checking string and output functions.
 *
 * Standard semantics of the bounds-checking interfaces: a runtime-constraint
 * violation (null pointer, zero or oversized bound, a copy that does not fit,
 * overlapping copies, a "%n" conversion) fails with a non-zero or negative
 * result, and a destination that can be written is left empty. snprintf_s,
 * like snprintf, truncates and returns the length the full text would have.
 */
#include "ozPlatformInt.h"

#include <cstdarg>
#include <cstring>

namespace {

/* True when the format holds a "%n" conversion, which the bounded output
 * functions refuse. */
bool formatHasN(const char *fmt)
{
    for (const char *p = fmt; *p != '\0'; p++) {
        if (*p != '%')
            continue;
        p++;
        if (*p == '%')
            continue;
        while (*p != '\0' && std::strchr("-+ #0'123456789.*$hlLqjzt", *p) != nullptr)
            p++;
        if (*p == 'n')
            return true;
        if (*p == '\0')
            break;
    }
    return false;
}

bool overlaps(const char *a, size_t an, const char *b, size_t bn)
{
    return a < b + bn && b < a + an;
}

} // namespace

errno_t strncpy_s(char *dest, rsize_t destsz, const char *src, rsize_t count)
{
    if (dest == nullptr || destsz == 0 || destsz > RSIZE_MAX)
        return EINVAL;
    if (src == nullptr || count > RSIZE_MAX) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strnlen(src, count);
    if (len >= destsz) { /* would not fit with its terminator */
        dest[0] = '\0';
        return ERANGE;
    }
    if (overlaps(dest, destsz, src, len + 1)) {
        dest[0] = '\0';
        return EINVAL;
    }
    std::memcpy(dest, src, len);
    dest[len] = '\0';
    return 0;
}

int snprintf_s(char *s, rsize_t n, const char *format, ...)
{
    if (s == nullptr || n == 0 || n > RSIZE_MAX)
        return -1;
    if (format == nullptr || formatHasN(format)) {
        s[0] = '\0';
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    int rc = std::vsnprintf(s, n, format, ap);
    va_end(ap);
    if (rc < 0)
        s[0] = '\0';
    return rc;
}

int printf_s(const char *format, ...)
{
    if (format == nullptr || formatHasN(format))
        return -1;
    va_list ap;
    va_start(ap, format);
    int rc = std::vprintf(format, ap);
    va_end(ap);
    return rc;
}

int fprintf_s(FILE *stream, const char *format, ...)
{
    if (stream == nullptr || format == nullptr || formatHasN(format))
        return -1;
    va_list ap;
    va_start(ap, format);
    int rc = std::vfprintf(stream, format, ap);
    va_end(ap);
    return rc;
}

errno_t strerror_s(char *s, rsize_t maxsize, errno_t errnum)
{
    if (s == nullptr || maxsize == 0 || maxsize > RSIZE_MAX)
        return EINVAL;
    char buf[256];
    const char *msg = strerror_r(errnum, buf, sizeof buf); /* GNU variant */
    size_t len = std::strlen(msg);
    if (len < maxsize) {
        std::memcpy(s, msg, len + 1);
        return 0;
    }
    /* Too long: as much as fits, ending in "..." where there is room. */
    std::memcpy(s, msg, maxsize - 1);
    s[maxsize - 1] = '\0';
    if (maxsize > 3)
        std::memcpy(s + maxsize - 4, "...", 3);
    return ERANGE;
}

struct tm *localtime_s(const time_t *timer, struct tm *result)
{
    if (timer == nullptr || result == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return localtime_r(timer, result);
}

struct tm *gmtime_s(const time_t *timer, struct tm *result)
{
    if (timer == nullptr || result == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return gmtime_r(timer, result);
}
