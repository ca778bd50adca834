/*
 * ozOwners.h - owners for the C++ units of the node libraries: what they
 * hold (heap blocks, cJSON trees and texts, streams, directory streams,
 * file descriptors,
 * records with their own release function) is released on every return
 * path.
 */
#ifndef OZ_OWNERS_H
#define OZ_OWNERS_H

#ifdef __cplusplus

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <unistd.h>

#include <cjson/cJSON.h>

namespace oz {

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
struct JsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
struct JsonTextDeleter {
    void operator()(char *p) const { cJSON_free(p); }
};
struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
/* Releases a record with the record's own release function. */
template <typename T, void (*Release)(T *)>
struct FnDeleter {
    void operator()(T *p) const { Release(p); }
};

/* A malloc'd block or text. */
template <typename T = char>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
/* A cJSON tree. */
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;
/* A text printed by cJSON. */
using JsonText = std::unique_ptr<char, JsonTextDeleter>;
/* An open stdio stream. */
using FilePtr = std::unique_ptr<FILE, FileCloser>;
/* An open directory stream. */
using DirPtr = std::unique_ptr<DIR, DirCloser>;
/* A record freed by Release. */
template <typename T, void (*Release)(T *)>
using Owner = std::unique_ptr<T, FnDeleter<T, Release>>;

/* Closes a file descriptor (negative: none) when it goes out of scope. */
struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace oz

#endif /* __cplusplus */

#endif /* OZ_OWNERS_H */
