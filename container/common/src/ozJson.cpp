/*
 * ozJson.cpp - JSON file and integer helpers on top of cJSON.
 */
#include "ozJson.h"
#include "ozOwners.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using oz::FdCloser;
using oz::FreeDeleter;

bool writeAll(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

template <typename T>
T clampedInteger(const cJSON *item)
{
    if (!cJSON_IsNumber(item)) {
        errno = EINVAL;
        return 0;
    }
    double v = item->valuedouble;
    if (std::isnan(v))
        return 0;
    v = std::trunc(v);
    /* The limits as doubles: the maximum rounds up to 2^63 (or stays exact
     * for 32 bits), so compare with >= for it. */
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (v <= lo)
        return std::numeric_limits<T>::min();
    if (v >= hi)
        return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

} // namespace

cJSON *cJSON_load_from_file(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    FdCloser closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0)
        return nullptr;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return nullptr;
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<size_t>(n) > OZ_JSON_FILE_MAX) {
            errno = EFBIG;
            return nullptr;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    const char *end = nullptr;
    cJSON *json = cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, 0);
    if (json == nullptr) {
        errno = EBADMSG;
        return nullptr;
    }
    /* Only white space may follow the document. */
    const char *stop = text.data() + text.size();
    while (end != nullptr && end < stop &&
           (*end == ' ' || *end == '\n' || *end == '\r' || *end == '\t' || *end == '\0'))
        end++;
    if (end != stop) {
        cJSON_Delete(json);
        errno = EBADMSG;
        return nullptr;
    }
    return json;
}

int cJSON_dump_to_file(const cJSON *item, const char *path, mode_t mode)
{
    if (item == nullptr || path == nullptr || *path == '\0') {
        errno = EINVAL;
        return -1;
    }
    std::unique_ptr<char, FreeDeleter> text(cJSON_Print(item));
    if (!text) {
        errno = ENOMEM;
        return -1;
    }
    std::string tmp = std::string(path) + ".tmpXXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    bool ok = fchmod(fd, mode & 07777) == 0 && writeAll(fd, text.get(), std::strlen(text.get())) &&
              writeAll(fd, "\n", 1) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

int32_t cJSON_integer32_value(const cJSON *item)
{
    return clampedInteger<int32_t>(item);
}

int64_t cJSON_integer64_value(const cJSON *item)
{
    return clampedInteger<int64_t>(item);
}

int cJSON_IsInteger(const cJSON *item)
{
    if (!cJSON_IsNumber(item))
        return 0;
    double v = item->valuedouble;
    return std::isfinite(v) && std::trunc(v) == v ? 1 : 0;
}

cJSON *cJSON_CreateInteger64(int64_t value)
{
    return cJSON_CreateNumber(static_cast<double>(value));
}
