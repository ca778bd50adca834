/*
 * ozcZstdLib.cpp - a zstd-compressed file as the tar extractor's read
 * function.
 *
 * The compressed file is read through a 4096-byte buffer and decompressed
 * straight into the caller's buffer; the decoder keeps only the window of
 * the current frame. Concatenated and skippable frames follow each other;
 * every frame's checksum, when it has one, is checked by the decoder. The
 * data must end at the end of a frame.
 */
#include "ozcZstdLib.h"
#include "ozcUtilInternal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <zstd.h>
#include <zstd_errors.h>

using ozc::failNull;
using ozc::failWith;

struct zstdArchive {
    tarCompress tc; /* first: the archive is its own read handle */
    int fd;
    ZSTD_DStream *ds;
    ZSTD_inBuffer in;
    size_t frameLeft; /* the decoder's last hint: 0 when a frame just ended */
    bool eof;         /* the file is read to its end */
    int err;          /* sticky errno */
    unsigned char src[ZSTD_INPUT_BUF_SIZE];
};

namespace {

int zstdFail(ZSTD_ARCHIVE *a, int err)
{
    a->err = err;
    return failWith(err);
}

int zstdErrno(size_t code)
{
    return ZSTD_getErrorCode(code) == ZSTD_error_frameParameter_windowTooLarge ? ENOMEM : EBADMSG;
}

/* Refills the input buffer when it is empty: false on a read error. */
bool zstdRefill(ZSTD_ARCHIVE *a)
{
    if (a->in.pos < a->in.size || a->eof)
        return true;
    ssize_t n;
    do {
        n = read(a->fd, a->src, sizeof(a->src));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    a->in.src = a->src;
    a->in.size = (size_t)n;
    a->in.pos = 0;
    a->eof = n == 0;
    return true;
}

} // namespace

ZSTD_ARCHIVE *ozcZstdArchiveCreate(const char *fileName)
{
    if (fileName == nullptr) {
        return failNull(EINVAL);
    }
    auto *a = static_cast<ZSTD_ARCHIVE *>(calloc(1, sizeof(ZSTD_ARCHIVE)));
    if (a == nullptr)
        return nullptr;
    a->tc.read = ozcZstdRead;
    a->fd = open(fileName, O_RDONLY | O_CLOEXEC);
    a->frameLeft = 1;
    int err = 0;
    if (a->fd < 0) {
        err = errno;
    } else if (!zstdRefill(a)) {
        err = errno;
    } else if (a->in.size < 4 || memcmp(a->src, ZSTD_FRAME_MAGIC, 4) != 0) {
        err = EBADMSG;
    } else if ((a->ds = ZSTD_createDStream()) == nullptr) {
        err = ENOMEM;
    } else if (ZSTD_isError(ZSTD_DCtx_setParameter(a->ds, ZSTD_d_windowLogMax, ZSTD_WINDOW_LOG_MAX))) {
        err = EINVAL;
    }
    if (err != 0) {
        ozcZstdArchiveDelete(a);
        return failNull(err);
    }
    return a;
}

ssize_t ozcZstdRead(void *handle, void *buffer, size_t maxbytes)
{
    auto *a = static_cast<ZSTD_ARCHIVE *>(handle);
    if (a == nullptr || buffer == nullptr || maxbytes == 0)
        return 0;
    if (a->err != 0) {
        return failWith(a->err);
    }
    ZSTD_outBuffer out = {buffer, maxbytes, 0};
    while (out.pos < out.size) {
        if (!zstdRefill(a))
            return zstdFail(a, errno);
        bool atEnd = a->in.pos == a->in.size; /* the file is read to its end */
        if (atEnd && a->frameLeft == 0)
            break; /* right after a whole frame: the end of the data */
        size_t before = out.pos;
        size_t r = ZSTD_decompressStream(a->ds, &out, &a->in);
        if (ZSTD_isError(r))
            return zstdFail(a, zstdErrno(r));
        a->frameLeft = r;
        /* Without input the decoder may still flush what it holds; when it
         * cannot, the file stops inside a frame. */
        if (atEnd && out.pos == before && r != 0)
            return zstdFail(a, EBADMSG);
    }
    return (ssize_t)out.pos;
}

void ozcZstdArchiveDelete(void *handle)
{
    auto *a = static_cast<ZSTD_ARCHIVE *>(handle);
    if (a == nullptr)
        return;
    ZSTD_freeDStream(a->ds);
    if (a->fd >= 0)
        close(a->fd);
    free(a);
}
