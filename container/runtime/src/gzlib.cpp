/*
 * gzlib.cpp - streaming gzip reader.
 *
 * One open file holds a fixed amount of memory: the reader state with its
 * 4096-byte compressed-input buffer and the 32 KiB inflate window (handed to
 * the inflater through its allocator), plus the inflater's own small state.
 * Uncompressed bytes are inflated straight into the caller's buffer.
 *
 * The inflater checks the header, the CRC-32 and the length of every member;
 * a corrupt or truncated stream makes ugzread() fail with EBADMSG instead of
 * delivering bytes that never came.
 */

/* zlib names its own gzip handle gzFile as well; keep its declarations out
 * of the way of ours. */
#define gzFile_s zlibGzFile_s
#define gzFile   zlibGzFile
#include <zlib.h>
#undef gzFile
#undef gzFile_s

#include "gzlib.h"
#include "ozcUtilInternal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

using ozc::failNull;
using ozc::failWith;

struct gzFile_s {
    z_stream d;                              /* inflater: input and output windows, CRC */
    int fd;                                  /* the open file */
    size_t outOffset;                        /* uncompressed bytes delivered so far */
    unsigned char source[GZ_INPUT_BUF_SIZE]; /* compressed input */
    size_t slen;                             /* bytes of the file not yet read into source */
    size_t outlen;                           /* ISIZE of the trailer: length mod 2^32 */
    unsigned char dict[GZ_DICT_SIZE];        /* the inflater's window */
    size_t dictLen;                          /* reserved */
    bool dictInUse;                          /* dict handed to the inflater */
    bool inflateReady;                       /* inflateInit2 succeeded */
    bool ended;                              /* the last member ended */
    int err;                                 /* sticky error (errno value) */
    gz_header head;                          /* header fields (only "done" is used) */
};

namespace {

/* The inflater asks for its window as one block of 1 << windowBits bytes;
 * that block is the reader's own dict buffer, everything else is small. */
voidpf gzAlloc(voidpf opaque, uInt items, uInt size)
{
    auto *file = static_cast<gzFile_s *>(opaque);
    if ((size_t)items * size == GZ_DICT_SIZE && !file->dictInUse) {
        file->dictInUse = true;
        return file->dict;
    }
    return calloc(items, size);
}

void gzFree(voidpf opaque, voidpf address)
{
    auto *file = static_cast<gzFile_s *>(opaque);
    if (address == file->dict) {
        file->dictInUse = false;
        return;
    }
    free(address);
}

/* Reads the next piece of the file into the input buffer, after the input
 * bytes not consumed yet (moved to the buffer's start). Returns the count
 * of bytes read, 0 at the end of the file, -1 on a read error (errno set). */
ssize_t ugzreadCallback(gzFile file)
{
    size_t keep = file->d.avail_in;
    if (keep > 0 && file->d.next_in != file->source)
        memmove(file->source, file->d.next_in, keep);
    file->d.next_in = file->source;
    if (keep >= sizeof(file->source))
        return 0;
    ssize_t n;
    do {
        n = read(file->fd, file->source + keep, sizeof(file->source) - keep);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return n;
    file->slen = (size_t)n > file->slen ? 0 : file->slen - (size_t)n;
    file->d.avail_in = (uInt)(keep + (size_t)n);
    return n;
}

void gzFileFree(gzFile file)
{
    if (file->inflateReady)
        inflateEnd(&file->d);
    if (file->fd >= 0)
        close(file->fd);
    free(file);
}

int gzFail(gzFile file, int err)
{
    file->err = err;
    return failWith(err);
}

} // namespace

gzFile ugzopen(const char *fileName, const char *mode)
{
    if (fileName == nullptr || mode == nullptr) {
        return failNull(EINVAL);
    }
    auto *file = static_cast<gzFile>(calloc(1, sizeof(gzFile_s)));
    if (file == nullptr)
        return nullptr;
    file->fd = open(fileName, O_RDONLY | O_CLOEXEC);
    if (file->fd < 0) {
        int e = errno;
        free(file);
        return failNull(e);
    }
    auto fail = [file](int err) -> gzFile {
        gzFileFree(file);
        return failNull(err);
    };

    struct stat st;
    if (fstat(file->fd, &st) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode))
        return fail(EINVAL);
    file->slen = (size_t)st.st_size;
    if (file->slen <= 3)
        return fail(EBADMSG);

    /* ISIZE: the uncompressed length modulo 2^32, little-endian. */
    unsigned char isize[4];
    if (pread(file->fd, isize, sizeof(isize), st.st_size - 4) != (ssize_t)sizeof(isize))
        return fail(errno ? errno : EBADMSG);
    file->outlen = (size_t)isize[0] | (size_t)isize[1] << 8 | (size_t)isize[2] << 16 | (size_t)isize[3] << 24;

    file->d.zalloc = gzAlloc;
    file->d.zfree = gzFree;
    file->d.opaque = file;
    if (inflateInit2(&file->d, 15 + 16) != Z_OK) /* gzip wrapper only */
        return fail(ENOMEM);
    file->inflateReady = true;
    if (inflateGetHeader(&file->d, &file->head) != Z_OK)
        return fail(EINVAL);

    /* Parse the whole gzip header now, so that a file that is not gzip is
     * refused at open. Z_BLOCK stops right after the header. */
    unsigned char none;
    while (file->head.done != 1) {
        if (file->d.avail_in == 0) {
            ssize_t n = ugzreadCallback(file);
            if (n < 0)
                return fail(errno);
            if (n == 0)
                return fail(EBADMSG);
        }
        file->d.next_out = &none;
        file->d.avail_out = 0;
        int ret = inflate(&file->d, Z_BLOCK);
        if (ret != Z_OK && ret != Z_BUF_ERROR)
            return fail(EBADMSG);
    }
    file->outOffset = 0;
    return file;
}

int ugzread(gzFile file, void *buf, unsigned int len)
{
    if (file == nullptr || buf == nullptr || len == 0) {
        return failWith(EINVAL);
    }
    if (file->err != 0) {
        return failWith(file->err);
    }
    if (file->ended)
        return 0;
    if (len > INT_MAX)
        len = INT_MAX;

    file->d.next_out = static_cast<Bytef *>(buf);
    file->d.avail_out = len;
    while (file->d.avail_out > 0) {
        if (file->d.avail_in == 0) {
            ssize_t n = ugzreadCallback(file);
            if (n < 0)
                return gzFail(file, errno);
            if (n == 0)
                return gzFail(file, EBADMSG); /* the stream stops before its end */
        }
        int ret = inflate(&file->d, Z_NO_FLUSH);
        if (ret == Z_STREAM_END) {
            /* A further member may follow (concatenated gzip streams); its
             * two magic bytes may straddle the end of the input buffer. */
            if (file->d.avail_in < 2) {
                ssize_t n = ugzreadCallback(file);
                if (n < 0)
                    return gzFail(file, errno);
            }
            if (file->d.avail_in >= 2 && file->d.next_in[0] == 0x1f && file->d.next_in[1] == 0x8b) {
                if (inflateReset(&file->d) != Z_OK)
                    return gzFail(file, EBADMSG);
                continue;
            }
            file->ended = true;
            break;
        }
        if (ret == Z_MEM_ERROR)
            return gzFail(file, ENOMEM);
        if (ret != Z_OK && ret != Z_BUF_ERROR)
            return gzFail(file, EBADMSG);
    }
    size_t produced = len - file->d.avail_out;
    file->outOffset += produced;
    return (int)produced;
}

int ugzclose(gzFile file)
{
    if (file == nullptr) {
        return failWith(EINVAL);
    }
    gzFileFree(file);
    return 0;
}
