/*
 * ozcGzLib.cpp - a gzip file as the tar extractor's read function.
 */
#include "ozcGzLib.h"
#include "ozcUtilInternal.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

using ozc::failNull;

GZ_ARCHIVE *ozcGzArchiveCreate(const char *fileName)
{
    gzFile file = ugzopen(fileName, "rb");
    if (file == nullptr)
        return nullptr;
    auto *archive = static_cast<GZ_ARCHIVE *>(calloc(1, sizeof(GZ_ARCHIVE)));
    if (archive == nullptr) {
        ugzclose(file);
        return failNull(ENOMEM);
    }
    archive->tc.read = ozcGzRead;
    archive->file = file;
    return archive;
}

ssize_t ozcGzRead(void *handle, void *buffer, size_t maxbytes)
{
    if (handle == nullptr || buffer == nullptr || maxbytes == 0)
        return 0;
    auto *archive = static_cast<GZ_ARCHIVE *>(handle);
    /* ugzread takes an unsigned int; read in pieces of at most INT_MAX. */
    size_t done = 0;
    while (done < maxbytes) {
        size_t want = maxbytes - done;
        if (want > INT_MAX)
            want = INT_MAX;
        int n = ugzread(archive->file, static_cast<char *>(buffer) + done, (unsigned)want);
        if (n < 0)
            return -1; /* corrupt stream: errno set, never taken as the end */
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

void ozcGzArchiveDelete(void *handle)
{
    if (handle == nullptr)
        return;
    auto *archive = static_cast<GZ_ARCHIVE *>(handle);
    ugzclose(archive->file);
    free(archive);
}
