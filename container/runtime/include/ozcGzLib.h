/*
 * ozcGzLib.h - a gzip file exposed to the tar extractor as a read function.
 */
#ifndef OZC_GZ_LIB_H
#define OZC_GZ_LIB_H

#include <stddef.h>
#include <sys/types.h>

#include "gzlib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Read function of an archive: (handle, buffer, maximum bytes) gives the
 * number of bytes produced, 0 at the end of the data and -1 on an error
 * (errno set). */
typedef struct tarCompress {
    ssize_t (*read)(void *handle, void *buffer, size_t maxbytes);
} tarCompress, TAR_COMPRESS;

/* A gzip archive; tc comes first, so the archive is its own read handle. */
typedef struct gzArchive {
    tarCompress tc; /* tc.read == ozcGzRead */
    gzFile file;
} gzArchive, GZ_ARCHIVE;

/* ugzopen(fileName, "rb") wrapped in an archive handle; NULL on failure. */
GZ_ARCHIVE *ozcGzArchiveCreate(const char *fileName);

/* ugzread on the handle's file: the count, 0 at the end or for a NULL
 * argument, -1 (errno set) when the stream is corrupt. */
ssize_t ozcGzRead(void *handle, void *buffer, size_t maxbytes);

/* Closes the file and frees the handle; NULL is accepted. */
void ozcGzArchiveDelete(void *handle);

#ifdef __cplusplus
}
#endif

#endif /* OZC_GZ_LIB_H */
