/*
 * ozcZstdLib.h - a zstd-compressed file exposed to the tar extractor as a
 * read function, streaming with fixed buffers like the gzip reader.
 */
#ifndef OZC_ZSTD_LIB_H
#define OZC_ZSTD_LIB_H

#include <stddef.h>
#include <sys/types.h>

#include "ozcGzLib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZSTD_INPUT_BUF_SIZE 4096
/* Largest window a frame may ask for: 2^27 bytes (128 MiB), the limit the
 * zstd tools apply by default. A frame that needs more is refused. */
#define ZSTD_WINDOW_LOG_MAX 27

/* The four magic bytes a zstd frame begins with (28 b5 2f fd). */
#define ZSTD_FRAME_MAGIC "\x28\xb5\x2f\xfd"

typedef struct zstdArchive zstdArchive, ZSTD_ARCHIVE;

/* Opens a zstd-compressed file for streaming; NULL on failure (EBADMSG
 * for a file that does not begin with a zstd frame). Memory: the
 * 4096-byte input buffer, the decoder's state and the window the frame
 * declares (at most 2^ZSTD_WINDOW_LOG_MAX bytes). */
ZSTD_ARCHIVE *ozcZstdArchiveCreate(const char *fileName);

/* The next decompressed bytes: the count, 0 at the end of the data, -1
 * (errno set) for a corrupt or truncated stream (EBADMSG) or a frame whose
 * window exceeds the limit (ENOMEM). A failed stream keeps failing. */
ssize_t ozcZstdRead(void *handle, void *buffer, size_t maxbytes);

/* Closes the file and frees the handle; NULL is accepted. */
void ozcZstdArchiveDelete(void *handle);

#ifdef __cplusplus
}
#endif

#endif /* OZC_ZSTD_LIB_H */
