/*
 * ozcTarLib.cpp - ustar extraction into an existing directory.
 *
 * Safety rules of the extractor:
 *  - an entry path is condensed (separators collapsed, "." dropped); a ".."
 *    component refuses the entry, a leading separator stays inside the
 *    target;
 *  - every parent of an entry must be a real directory (lstat), so nothing
 *    is ever written through a symbolic link on the way; parents are never
 *    created;
 *  - a regular file or link replaces whatever non-directory stands at its
 *    own path and is created exclusively without following links, so a link
 *    or a hard link planted there earlier is never written through;
 *  - modification times are set without following links.
 *
 * Directory times are set after all entries: they are recorded in a small
 * record file while extracting, so memory does not grow with the archive.
 */
#include "ozcTarLib.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "ozOwners.h"

namespace {

static_assert(sizeof(MT_HBLOCK) == TBLOCK, "a header is one block");
static_assert(offsetof(struct hblock::header, prefix) == 345, "ustar header layout");
static_assert(sizeof(DIR_TAR) == 264, "directory-times records are 264 bytes");

constexpr uint64_t kMaxEntrySize = 1ULL << 32;    /* 4 GiB: refused */
constexpr size_t kDirRecordRoom = 16;             /* "/.tard@#xxxx.sto" */
constexpr int kMaxBFactor = INT_MAX / TBLOCK;
constexpr const char kNullDevice[] = "/dev/null";

template <typename T> using CBuf = oz::MallocPtr<T>;

inline bool pathIsSep(char c) { return c == '/' || c == '\\'; }

/* Reads a numeric header field: octal digits after optional blanks, ended
 * by NUL, a blank or the field's end; or the base-256 form (high bit of the
 * first byte set) used for large values. false when unreadable or negative. */
bool tarFieldGet(const char *field, size_t len, uint64_t *value)
{
    const auto *p = reinterpret_cast<const unsigned char *>(field);
    if (len > 0 && (p[0] & 0x80) != 0) {
        if (p[0] == 0xff) /* negative */
            return false;
        uint64_t v = p[0] & 0x7f;
        for (size_t i = 1; i < len; i++) {
            if (v > (UINT64_MAX >> 8))
                return false;
            v = (v << 8) | p[i];
        }
        *value = v;
        return true;
    }
    size_t i = 0;
    while (i < len && p[i] == ' ')
        i++;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < len && p[i] >= '0' && p[i] <= '7'; i++, digits++) {
        if (v > (UINT64_MAX >> 3))
            return false;
        v = (v << 3) | (uint64_t)(p[i] - '0');
    }
    if (digits == 0 || (i < len && p[i] != '\0' && p[i] != ' '))
        return false;
    *value = v;
    return true;
}

/* Fills the buffer with up to bytes bytes from the archive: the count, 0 at
 * the end, -1 on an error (errno set). */
ssize_t tarReadBatch(MT_TAR_SOFT *ctrl, size_t bytes)
{
    char *buf = reinterpret_cast<char *>(ctrl->pBuf);
    size_t done = 0;
    while (done < bytes) {
        ssize_t n;
        if (ctrl->tc != nullptr) {
            n = ctrl->tc->read(ctrl->tc, buf + done, bytes - done);
        } else {
            n = read(ctrl->fd, buf + done, bytes - done);
            if (n < 0 && errno == EINTR)
                continue;
        }
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

/* Refills the block buffer: the number of blocks, 0 at the end, -1 on an
 * error or a count that is not a whole number of blocks. */
int tarFill(MT_TAR_SOFT *ctrl)
{
    ssize_t n = tarReadBatch(ctrl, (size_t)ctrl->bFactor * TBLOCK);
    if (n <= 0)
        return (int)n;
    if (n % TBLOCK != 0) {
        errno = EBADMSG; /* the archive stops inside a block */
        return -1;
    }
    ctrl->bValid = (int)(n / TBLOCK);
    ctrl->pBnext = ctrl->pBuf;
    return ctrl->bValid;
}

} // namespace

/* Hands out up to n blocks as a pointer into the block buffer (valid until
 * the next refill): the number handed out, 0 at the end, -1 on an error. */
static int tarRdBlks(MT_TAR_SOFT *ctrl, MT_HBLOCK **blk, int n)
{
    if (ctrl->bValid == 0) {
        int r = tarFill(ctrl);
        if (r <= 0)
            return r;
    }
    int m = n < ctrl->bValid ? n : ctrl->bValid;
    *blk = ctrl->pBnext;
    ctrl->pBnext += m;
    ctrl->bValid -= m;
    return m;
}

static BOOL ozcTarBlockIsZero(const MT_HBLOCK *blk)
{
    for (size_t i = 0; i < TBLOCK; i++)
        if (blk->dummy[i] != 0)
            return FALSE;
    return TRUE;
}

/* Header checksum: every byte as an unsigned value, the checksum field
 * counted as eight blanks. */
static unsigned long mtChecksum(const MT_HBLOCK *blk)
{
    const auto *p = reinterpret_cast<const unsigned char *>(blk->dummy);
    unsigned long sum = 0;
    for (size_t i = 0; i < TBLOCK; i++)
        sum += p[i];
    for (size_t i = 0; i < sizeof(blk->header.chksum); i++)
        sum -= (unsigned char)blk->header.chksum[i];
    return sum + sizeof(blk->header.chksum) * ' ';
}

/* Appends the condensed form of an archive path (len bytes at most) at
 * *pOut, never past outEnd: separators collapsed, each component written as
 * '/' and its characters, "." dropped, a trailing separator kept. 0, or -1
 * with EPERM for a ".." component and ENAMETOOLONG when the output is full.
 * *pOut is advanced to the closing NUL. */
static int tarCopyCondense(char **pOut, char *outEnd, const char *in, size_t len)
{
    char *o = *pOut;
    const char *p = in;
    const char *end = static_cast<const char *>(memchr(in, '\0', len));
    if (end == nullptr)
        end = in + len;
    auto put = [&](char c) -> bool {
        if (o >= outEnd - 1)
            return false;
        *o++ = c;
        return true;
    };
    while (p < end) {
        if (pathIsSep(*p)) {
            p++;
            continue;
        }
        const char *comp = p;
        while (p < end && !pathIsSep(*p))
            p++;
        size_t clen = (size_t)(p - comp);
        if (clen == 1 && comp[0] == '.') {
            if (p == end)
                break; /* a final lone "." ends the path */
            continue;
        }
        if (clen == 2 && comp[0] == '.' && comp[1] == '.') {
            *o = '\0';
            *pOut = o;
            errno = EPERM;
            return -1;
        }
        bool ok = put('/');
        for (size_t i = 0; ok && i < clen; i++)
            ok = put(comp[i]);
        if (!ok) {
            *o = '\0';
            *pOut = o;
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    if (end > in && pathIsSep(end[-1]) && !put('/')) {
        *o = '\0';
        *pOut = o;
        errno = ENAMETOOLONG;
        return -1;
    }
    *o = '\0';
    *pOut = o;
    return 0;
}

/* Verifies that every parent of the current entry (targetDir after
 * targetDirLen, "/a/b/name") is a real directory. Parents matching the
 * cache of verified directories are taken as checked; the others must pass
 * lstat() as directories (ENOTDIR for a link or any other file). Returns
 * the position of the last component, or NULL with errno set. */
static char *mtAccess(MT_TAR_SOFT *ctrl)
{
    char *path = ctrl->targetDir + ctrl->targetDirLen;
    char *last = strrchr(path, '/');
    if (last == nullptr)
        return path;

    /* Components of the parent path (path + 1 .. last) against the cache. */
    const char *c = ctrl->goodPathCache;
    char *p = path + 1;
    while (p < last) {
        char *compEnd = p;
        while (compEnd < last && *compEnd != '/')
            compEnd++;
        size_t clen = (size_t)(compEnd - p);
        if (*c != '\0' && strncmp(c, p, clen) == 0 && (c[clen] == '/' || c[clen] == '\0')) {
            c += clen;
            if (*c == '/')
                c++;
            p = compEnd + 1;
            continue;
        }
        break;
    }
    /* Check the rest of the parents on disk. */
    while (p < last) {
        char *compEnd = p;
        while (compEnd < last && *compEnd != '/')
            compEnd++;
        char saved = *compEnd;
        *compEnd = '\0';
        struct stat st;
        int rc = lstat(ctrl->targetDir, &st);
        int err = errno;
        *compEnd = saved;
        if (rc != 0) {
            errno = err;
            return nullptr;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return nullptr;
        }
        p = compEnd + 1;
    }
    /* Remember the verified parent path. */
    size_t plen = (size_t)(last - (path + 1));
    if (last > path && plen < TAR_GOOD_PATH_CACHE_SIZE) {
        memcpy(ctrl->goodPathCache, path + 1, plen);
        ctrl->goodPathCache[plen] = '\0';
    } else {
        ctrl->goodPathCache[0] = '\0';
    }
    return last + 1;
}

/* Sets the modification time of path, keeping its access time; a link is
 * never followed. */
static void tarSetMtime(const char *path, time_t mtime)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = mtime;
    times[1].tv_nsec = 0;
    (void)utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

/* Removes a non-directory standing at path, so that a new entry replaces
 * it instead of writing through it. */
static void tarRemoveExisting(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISDIR(st.st_mode))
        (void)unlink(path);
}

/* Records a newly created directory for the time setting at the end. The
 * first directory holds the record file, which is unlinked at once: its
 * descriptor is all the extractor needs, and no archive entry can meet it. */
static int tarRecordDir(MT_TAR_SOFT *ctrl, time_t mtime)
{
    const char *rel = ctrl->targetDir + ctrl->targetDirLen + 1;
    DIR_TAR rec;
    memset(&rec, 0, sizeof(rec));
    size_t rlen = strlen(rel);
    if (rlen >= sizeof(rec.name)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(rec.name, rel, rlen);
    rec.mtime = mtime;

    if (ctrl->dir_fd < 0) {
        size_t len = strlen(ctrl->targetDir);
        if (len + kDirRecordRoom >= TAR_PATH_MAX) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (ctrl->dir_fname == nullptr) {
            ctrl->dir_fname = static_cast<char *>(malloc(TAR_PATH_MAX));
            if (ctrl->dir_fname == nullptr) {
                errno = ENOMEM;
                return -1;
            }
        }
        struct timespec now;
        if (clock_gettime(CLOCK_REALTIME, &now) != 0)
            return -1;
        snprintf(ctrl->dir_fname, TAR_PATH_MAX, "%s/.tard@#%4.4x.sto", ctrl->targetDir,
                 (unsigned)(now.tv_nsec & 0xffff));
        ctrl->dir_fd = open(ctrl->dir_fname, O_RDWR | O_CREAT | O_TRUNC | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0777);
        if (ctrl->dir_fd < 0)
            return -1;
        (void)unlink(ctrl->dir_fname);
    }
    ssize_t n = write(ctrl->dir_fd, &rec, sizeof(rec));
    if (n != (ssize_t)sizeof(rec)) {
        if (n > 0)
            (void)lseek(ctrl->dir_fd, -n, SEEK_CUR);
        if (n >= 0)
            errno = ENOSPC;
        return -1;
    }
    ctrl->dir_cnt++;
    return 0;
}

/* Sets the recorded directory times, the last directory first and the first
 * one last, then closes the record file. */
static void tarProcDirs(MT_TAR_SOFT *ctrl)
{
    if (ctrl->dir_fd >= 0) {
        char path[TAR_PATH_MAX];
        for (int i = ctrl->dir_cnt - 1; i >= 0; i--) {
            DIR_TAR rec;
            if (pread(ctrl->dir_fd, &rec, sizeof(rec), (off_t)i * (off_t)sizeof(rec)) !=
                (ssize_t)sizeof(rec))
                break;
            rec.name[sizeof(rec.name) - 1] = '\0';
            int n = snprintf(path, sizeof(path), "%.*s/%s", (int)ctrl->targetDirLen,
                             ctrl->targetDir, rec.name);
            if (n > 0 && (size_t)n < sizeof(path))
                tarSetMtime(path, rec.mtime);
        }
        close(ctrl->dir_fd);
        ctrl->dir_fd = -1;
    }
    free(ctrl->dir_fname);
    ctrl->dir_fname = nullptr;
    ctrl->dir_cnt = 0;
}

/* Writes a regular file's data from the block buffer. A file that cannot
 * be created is drained into the null device so that extraction goes on. */
static int tarExtractRegularFile(MT_TAR_SOFT *ctrl, mode_t mode, uint64_t size, time_t mtime)
{
    const char *path = ctrl->targetDir;
    tarRemoveExisting(path);
    bool discard = false;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode & 07777);
    if (fd < 0) {
        discard = true;
        fd = open(kNullDevice, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return -1;
    }
    uint64_t bytesLeft = size;
    int blocksLeft = (int)((size + TBLOCK - 1) / TBLOCK);
    int rc = 0;
    while (blocksLeft > 0) {
        MT_HBLOCK *blk;
        int m = tarRdBlks(ctrl, &blk, blocksLeft);
        if (m <= 0) {
            if (m == 0)
                errno = EBADMSG; /* the archive ends inside a file */
            rc = -1;
            break;
        }
        size_t want = (size_t)m * TBLOCK;
        if (want > bytesLeft)
            want = (size_t)bytesLeft;
        const char *src = blk->dummy;
        size_t done = 0;
        while (done < want) {
            ssize_t w = write(fd, src + done, want - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                if (w == 0)
                    errno = EIO;
                rc = -1;
                break;
            }
            done += (size_t)w;
        }
        if (rc != 0)
            break;
        blocksLeft -= m;
        bytesLeft -= want;
    }
    if (rc == 0 && !discard) {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = mtime;
        times[1].tv_nsec = 0;
        (void)futimens(fd, times);
    }
    int e = errno;
    if (close(fd) != 0 && rc == 0)
        return -1;
    errno = e;
    return rc;
}

/* Extracts one entry whose header is blk. */
static int tarExtractFile(MT_TAR_SOFT *ctrl, MT_HBLOCK *blk)
{
    auto *h = &blk->header;
    uint64_t chksum;
    if (!tarFieldGet(h->chksum, sizeof(h->chksum), &chksum) || chksum != mtChecksum(blk)) {
        errno = EBADMSG; /* corrupt, or not a tar archive */
        return -1;
    }
    uint64_t mode, size, mtime;
    if (!tarFieldGet(h->mode, sizeof(h->mode), &mode) ||
        !tarFieldGet(h->size, sizeof(h->size), &size) ||
        !tarFieldGet(h->mtime, sizeof(h->mtime), &mtime)) {
        errno = EBADMSG;
        return -1;
    }
    if (size >= kMaxEntrySize) {
        errno = EFBIG;
        return -1;
    }
    char linkflag = h->linkflag;

    /* Path: target directory, the ustar prefix (POSIX archives only), the
     * name. */
    char *out = ctrl->targetDir + ctrl->targetDirLen;
    char *outEnd = ctrl->targetDir + TAR_PATH_MAX;
    *out = '\0';
    if (h->prefix[0] != '\0' && memcmp(h->indicator, "ustar", 6) == 0) {
        if (tarCopyCondense(&out, outEnd, h->prefix, sizeof(h->prefix)) != 0)
            return -1;
    }
    if (tarCopyCondense(&out, outEnd, h->name, sizeof(h->name)) != 0)
        return -1;

    bool isDirName = false;
    size_t len = (size_t)(out - ctrl->targetDir);
    if (len > ctrl->targetDirLen && ctrl->targetDir[len - 1] == '/') {
        ctrl->targetDir[--len] = '\0';
        isDirName = true;
    }
    if (len == ctrl->targetDirLen)
        return 0; /* the target directory itself */

    if (mtAccess(ctrl) == nullptr)
        return -1;

    if ((size == 0 && isDirName) || linkflag == DIRTYPE) {
        if (mkdir(ctrl->targetDir, (mode_t)(mode & 07777)) != 0)
            return 0; /* exists already, for instance: done */
        /* The new directory is real: it extends the verified path. */
        const char *name = ctrl->targetDir + ctrl->targetDirLen + 1;
        size_t nlen = strlen(name);
        if (nlen < TAR_GOOD_PATH_CACHE_SIZE)
            memcpy(ctrl->goodPathCache, name, nlen + 1);
        return tarRecordDir(ctrl, (time_t)mtime);
    }

    switch (linkflag) {
    case REGTYPE0:
    case ' ':
    case REGTYPE:
    case CONTTYPE:
        return tarExtractRegularFile(ctrl, (mode_t)mode, size, (time_t)mtime);
    case SYMTYPE: {
        char target[NAMSIZ + 1];
        memcpy(target, h->linkname, NAMSIZ);
        target[NAMSIZ] = '\0';
        tarRemoveExisting(ctrl->targetDir);
        return symlink(target, ctrl->targetDir) == 0 ? 0 : -1;
    }
    default:
        /* Hard links, devices, FIFOs and extension headers are passed over
         * without reading past the header. */
        return 0;
    }
}

STATUS ozcTarExtract(const char *pTape, const char *targetDir, size_t bfactor, BOOL verbose)
{
    if (pTape == nullptr || targetDir == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    if (bfactor > (size_t)kMaxBFactor) {
        errno = EINVAL;
        return ERROR;
    }
    struct stat st;
    if (stat(targetDir, &st) != 0)
        return ERROR;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return ERROR;
    }

    MT_TAR_SOFT ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    ctrl.dir_fd = -1;
    ctrl.verbose = verbose;

    GZ_ARCHIVE *gz = ozcGzArchiveCreate(pTape);
    if (gz != nullptr) {
        ctrl.tc = &gz->tc;
    } else {
        ctrl.fd = open(pTape, O_RDONLY | O_CLOEXEC);
        if (ctrl.fd < 1) {
            if (ctrl.fd == 0)
                close(0);
            return ERROR;
        }
    }

    ctrl.bFactor = bfactor == 0 ? TAR_DEFAULT_BFACTOR : (int)bfactor;
    CBuf<MT_HBLOCK> blocks(static_cast<MT_HBLOCK *>(malloc((size_t)ctrl.bFactor * TBLOCK)));
    CBuf<char> pathBuf(static_cast<char *>(malloc(TAR_PATH_MAX)));
    CBuf<char> cache(static_cast<char *>(calloc(1, TAR_GOOD_PATH_CACHE_SIZE)));
    ctrl.pBuf = blocks.get();
    ctrl.pBnext = ctrl.pBuf;
    ctrl.targetDir = pathBuf.get();
    ctrl.goodPathCache = cache.get();

    STATUS result = ERROR;
    int err = 0;
    do {
        if (!blocks || !pathBuf || !cache) {
            err = ENOMEM;
            break;
        }
        size_t tlen = strlen(targetDir);
        if (tlen >= TAR_PATH_MAX) {
            err = ENAMETOOLONG;
            break;
        }
        memcpy(ctrl.targetDir, targetDir, tlen + 1);
        ctrl.targetDirLen = tlen;

        int first = tarFill(&ctrl);
        if (first <= 0) {
            err = first == 0 ? ENODATA : errno; /* an empty archive */
            break;
        }
        ctrl.bFactor = first;

        for (;;) {
            MT_HBLOCK *blk;
            int n = tarRdBlks(&ctrl, &blk, 1);
            if (n != 1) {
                err = n == 0 ? EBADMSG : errno; /* ends before its end-of-archive block */
                break;
            }
            if (ozcTarBlockIsZero(blk)) {
                /* Drain the rest: a gzip stream is checked to its end. */
                while ((n = tarRdBlks(&ctrl, &blk, ctrl.bFactor)) > 0)
                    ;
                if (n < 0)
                    err = errno;
                else
                    result = OK;
                break;
            }
            if (tarExtractFile(&ctrl, blk) != 0) {
                err = errno;
                break;
            }
        }
    } while (false);

    tarProcDirs(&ctrl);
    if (ctrl.fd > 0)
        close(ctrl.fd);
    ozcGzArchiveDelete(gz);
    if (result != OK)
        errno = err;
    return result;
}
