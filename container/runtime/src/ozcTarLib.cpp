/*
 * ozcTarLib.cpp - tar extraction into an existing directory, as image
 * layers are extracted.
 *
 * Safety rules of the extractor:
 *  - an entry path is condensed (separators collapsed, "." dropped); a ".."
 *    component refuses the entry, a leading separator stays inside the
 *    target; the same holds for hard-link targets and whiteout names;
 *  - every parent of an entry must be a real directory (lstat), so nothing
 *    is ever written through a symbolic link on the way; a missing parent
 *    is created as a real directory;
 *  - an entry replaces whatever stands at its own path (a directory only by
 *    a directory) and is created exclusively without following links, so a
 *    link or a hard link planted there earlier is never written through;
 *  - a hard link names a file inside the target (or, in overlay form, in
 *    the layers below), reached through real directories only;
 *  - attributes are set on open descriptors or without following links,
 *    directory attributes at the end through a walk that follows none.
 *
 * Directory attributes (owner, mode, times) are set after all entries, so
 * that writing into a directory neither changes its time nor needs its
 * final permissions: they are recorded in a small record file while
 * extracting, so memory does not grow with the archive.
 *
 * Layers: ".wh.<name>" deletes <name> from the layers below and
 * ".wh..wh..opq" hides a directory's content from below. Applied, what lay
 * below is told from what this archive wrote by the change time: before
 * the first entry the file system's clock is moved past every change time
 * the target holds. In overlay form the markers become the overlay
 * driver's whiteouts and opaque directories.
 */
#include "ozcTarLib.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "ozOwners.h"
#include "ozcDigest.h"
#include "ozcUtilInternal.h"
#include "ozcZstdLib.h"

namespace {

static_assert(sizeof(MT_HBLOCK) == TBLOCK, "a header is one block");
static_assert(offsetof(struct hblock::header, prefix) == 345, "ustar header layout");

constexpr uint64_t kMaxEntrySize = 1ULL << 32; /* 4 GiB: refused */
constexpr int kMaxBFactor = INT_MAX / TBLOCK;
constexpr size_t kMaxXattrs = 128;              /* per entry */
constexpr size_t kLookMax = 2 * TAR_PATH_MAX;   /* lower layer + entry path */
constexpr uint64_t kBlock = 4096;               /* space estimate granule */
constexpr uint64_t kRecheckBytes = 32ULL << 20; /* free space asked again after this much */
constexpr uint64_t kReserveMax = 256ULL << 20;  /* default reserve: 5%, at most this */
constexpr mode_t kImplicitDirMode = 0755;
constexpr const char kWhiteoutPrefix[] = ".wh.";
constexpr const char kOpaqueMarker[] = ".wh..wh..opq";
constexpr const char kMetaPrefix[] = ".wh..wh.";

template <typename T>
using CBuf = oz::MallocPtr<T>;

using ozc::failNull;
using ozc::pathIsSep;

} // namespace

/* One extended attribute of the entry: the name NUL-terminated in the
 * extended header, the value with its length. */
struct tarXattr {
    const char *name;
    const char *value;
    size_t len;
};

/* The entry being extracted: its header with what the extended headers
 * before it said. */
struct tarEntry {
    char type;
    uint64_t mode, uid, gid, size, devMajor, devMinor;
    int64_t mtime;
    long mtimeNsec;
    const char *path; /* the pax or GNU long name; NULL: the header's */
    size_t pathLen;
    const char *link; /* the pax or GNU long link name; NULL: the header's */
    size_t linkLen;
    tarXattr xattrs[kMaxXattrs];
    size_t xattrCount;
};

/* Values that extended headers set for the next entry (pax "x", GNU "L"
 * and "K") or for all following entries (pax "g"). */
struct tarPending {
    const char *path, *link;
    size_t pathLen, linkLen;
    bool hasSize, hasMtime, hasUid, hasGid;
    uint64_t size, uid, gid;
    int64_t mtime;
    long mtimeNsec;
    tarXattr xattrs[kMaxXattrs];
    size_t xattrCount;
};

/* Forgets what extended headers said for the next entry (the attribute
 * table is only as long as its count says). */
static void tarPendingClear(tarPending *p)
{
    p->path = p->link = nullptr;
    p->pathLen = p->linkLen = 0;
    p->hasSize = p->hasMtime = p->hasUid = p->hasGid = false;
    p->xattrCount = 0;
}

/* Extraction control. */
struct mtTarSoft {
    tarCompress *tc; /* the compressed archive, or NULL for a plain file */
    void (*tcDelete)(void *);
    int fd;              /* the plain tar file (-1 when reading through tc) */
    int bFactor;         /* blocks per read */
    int bValid;          /* blocks left in the buffer */
    MT_HBLOCK *pBuf;     /* bFactor x 512 bytes */
    MT_HBLOCK *pBnext;   /* next unread block in pBuf */
    ozc::Digest *digest; /* of every byte read, when asked */
    int dir_fd;          /* the directory record file, -1 when none */
    off_t dirEnd;        /* bytes written to it */
    char *targetDir;     /* target directory, then the current entry's path */
    size_t targetDirLen; /* length of the target directory in targetDir */
    char *goodPathCache; /* archive path last verified as real directories */
    char *lookBuf;       /* lookups in the layers (kLookMax bytes) */
    char *linkBuf;       /* hard-link target path (TAR_PATH_MAX bytes) */
    char *paxBuf;        /* the last pax extended header (TAR_PAX_MAX + 1) */
    char *longName;      /* GNU long name (TAR_LONGNAME_MAX + 1) */
    char *longLink;      /* GNU long link name (TAR_LONGNAME_MAX + 1) */
    tarPending next;     /* for the next entry */
    tarPending global;   /* for every following entry */
    OZC_TAR_WHITEOUT_FORM whiteouts;
    const char *const *lowerDirs;
    unsigned lowerNum;
    bool bottom;           /* overlay form without layers below */
    bool below;            /* applied: the target held something before */
    struct timespec t0;    /* applied: change times up to t0 lay below */
    bool asRoot;           /* owners are set */
    unsigned skippedNodes; /* device nodes not made for lack of privilege */
    int64_t spaceLeft;     /* bytes that may still be written before the reserve */
    uint64_t reserve;
    uint64_t sinceCheck; /* bytes estimated written since the last look */
    BOOL verbose;        /* stored; produces no output */
};
using MT_TAR_SOFT = mtTarSoft;

/* Directory record: the attributes a directory gets after all entries,
 * followed by its archive-relative path (nameLen bytes, "" for the
 * target itself). */
struct tarDirRecord {
    int64_t mtime;
    int64_t mtimeNsec;
    uint32_t mode, uid, gid, nameLen;
};

namespace {

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

/* A field that archivers may leave empty (owner, device numbers): 0 then. */
uint64_t tarFieldOrZero(const char *field, size_t len)
{
    uint64_t v = 0;
    return tarFieldGet(field, len, &v) ? v : 0;
}

/* Fills the buffer with up to bytes bytes from the archive: the count, 0 at
 * the end, -1 on an error (errno set). Every byte read goes into the
 * digest. */
ssize_t tarReadBatch(MT_TAR_SOFT *ctrl, char *buf, size_t bytes)
{
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
    if (ctrl->digest != nullptr)
        ctrl->digest->update(buf, done);
    return (ssize_t)done;
}

/* Refills the block buffer: the number of blocks, 0 at the end, -1 on an
 * error or a count that is not a whole number of blocks. */
int tarFill(MT_TAR_SOFT *ctrl)
{
    ssize_t n = tarReadBatch(ctrl, reinterpret_cast<char *>(ctrl->pBuf), (size_t)ctrl->bFactor * TBLOCK);
    if (n <= 0)
        return (int)n;
    if (n % TBLOCK != 0) {
        return ozc::failWith(EBADMSG); /* the archive stops inside a block */
    }
    ctrl->bValid = (int)(n / TBLOCK);
    ctrl->pBnext = ctrl->pBuf;
    return ctrl->bValid;
}

/* Reads the rest of the archive (after its end-of-archive block): a
 * compressed stream is checked to its end and the digest covers it all. */
int tarDrain(MT_TAR_SOFT *ctrl)
{
    ctrl->bValid = 0;
    ssize_t n;
    while ((n = tarReadBatch(ctrl, reinterpret_cast<char *>(ctrl->pBuf), (size_t)ctrl->bFactor * TBLOCK)) > 0)
        ;
    return n < 0 ? -1 : 0;
}

bool timeAfter(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

bool isDotOrDotDot(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

/* Whether an errno from setting an attribute means "not taken here"
 * rather than a failure of the extraction. */
bool attrNotTaken(int err)
{
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM || err == EACCES || err == EINVAL;
}

/* Parses a decimal number of a pax record; false when it is none. */
bool paxNumber(const char *v, uint64_t *out)
{
    if (*v == '\0')
        return false;
    uint64_t n = 0;
    for (; *v >= '0' && *v <= '9'; v++) {
        if (n > (UINT64_MAX - 9) / 10)
            return false;
        n = n * 10 + (uint64_t)(*v - '0');
    }
    *out = n;
    return *v == '\0';
}

/* A pax time: seconds with an optional sign and fraction. */
bool paxTime(const char *v, int64_t *sec, long *nsec)
{
    bool neg = *v == '-';
    if (neg)
        v++;
    const char *dot = strchr(v, '.');
    char whole[24];
    size_t wlen = dot != nullptr ? (size_t)(dot - v) : strlen(v);
    if (wlen == 0 || wlen >= sizeof(whole))
        return false;
    memcpy(whole, v, wlen);
    whole[wlen] = '\0';
    uint64_t s;
    if (!paxNumber(whole, &s) || s > (uint64_t)INT64_MAX)
        return false;
    long ns = 0;
    if (dot != nullptr) {
        const char *f = dot + 1;
        int digits = 0;
        for (; *f >= '0' && *f <= '9'; f++, digits++)
            if (digits < 9)
                ns = ns * 10 + (*f - '0');
        if (*f != '\0')
            return false;
        for (; digits < 9; digits++)
            ns *= 10;
    }
    *sec = neg ? -(int64_t)s : (int64_t)s;
    *nsec = neg ? -ns : ns;
    if (*nsec < 0) {
        *nsec += 1000000000L;
        *sec -= 1;
    }
    return true;
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

/* Header checksum: every byte, the checksum field counted as eight blanks;
 * archivers that added the bytes as signed values are accepted too. */
static bool mtChecksum(const MT_HBLOCK *blk, uint64_t want)
{
    const auto *p = reinterpret_cast<const unsigned char *>(blk->dummy);
    unsigned long sum = 0;
    long ssum = 0;
    for (size_t i = 0; i < TBLOCK; i++) {
        bool inField = i >= 148 && i < 156;
        sum += inField ? ' ' : p[i];
        ssum += inField ? ' ' : (signed char)p[i];
    }
    return want == sum || (ssum >= 0 && want == (uint64_t)ssum);
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
            return ozc::failWith(EPERM);
        }
        bool ok = put('/');
        for (size_t i = 0; ok && i < clen; i++)
            ok = put(comp[i]);
        if (!ok) {
            *o = '\0';
            *pOut = o;
            return ozc::failWith(ENAMETOOLONG);
        }
    }
    if (end > in && pathIsSep(end[-1]) && !put('/')) {
        *o = '\0';
        *pOut = o;
        return ozc::failWith(ENAMETOOLONG);
    }
    *o = '\0';
    *pOut = o;
    return 0;
}

/* ------------------------------------------------------------------------
 * Disk reserve
 * ------------------------------------------------------------------------ */

/* The reserve in bytes for a file system of total bytes, from the
 * environment: 0, or -1 with EINVAL for a value that is not one. */
static int tarReserveGet(uint64_t total, uint64_t *reserve)
{
    char text[64];
    if (ozEnvGet(OZC_DISK_RESERVE_ENV, text, sizeof(text)) != OK || text[0] == '\0') {
        uint64_t pct = total / 20;
        *reserve = pct < kReserveMax ? pct : kReserveMax;
        return 0;
    }
    const char *p = text;
    uint64_t n = 0;
    size_t digits = 0;
    for (; *p >= '0' && *p <= '9'; p++, digits++) {
        if (n > UINT64_MAX / 10 - 9)
            return ozc::failWith(EINVAL);
        n = n * 10 + (uint64_t)(*p - '0');
    }
    if (digits == 0)
        return ozc::failWith(EINVAL);
    if (*p == '%' && p[1] == '\0') {
        if (n > 100)
            return ozc::failWith(EINVAL);
        *reserve = (uint64_t)((unsigned __int128)total * n / 100);
        return 0;
    }
    static const char kUnits[] = "KMGT";
    unsigned shift = 0;
    if (*p != '\0') {
        const char *u = strchr(kUnits, *p & ~0x20);
        if (u == nullptr || p[1] != '\0')
            return ozc::failWith(EINVAL);
        shift = 10 * (unsigned)(u - kUnits + 1);
    }
    if (shift > 0 && n > (UINT64_MAX >> shift))
        return ozc::failWith(EINVAL);
    *reserve = n << shift;
    return 0;
}

/* Asks the file system for its free space again. */
static int tarSpaceLook(MT_TAR_SOFT *ctrl)
{
    char root[TAR_PATH_MAX];
    memcpy(root, ctrl->targetDir, ctrl->targetDirLen);
    root[ctrl->targetDirLen] = '\0';
    uint64_t total, avail;
    if (ozFsSpaceGet(root, &total, &avail) != OK)
        return -1;
    ctrl->spaceLeft = (int64_t)avail - (int64_t)ctrl->reserve;
    ctrl->sinceCheck = 0;
    return 0;
}

/* Accounts for bytes about to be written: -1 with ENOSPC when they would
 * take the file system below the reserve. */
static int tarSpaceTake(MT_TAR_SOFT *ctrl, uint64_t bytes)
{
    uint64_t need = (bytes + kBlock - 1) / kBlock * kBlock + kBlock;
    if ((int64_t)need > ctrl->spaceLeft || ctrl->sinceCheck + need > kRecheckBytes) {
        if (tarSpaceLook(ctrl) != 0)
            return -1;
        if ((int64_t)need > ctrl->spaceLeft)
            return ozc::failWith(ENOSPC);
    }
    ctrl->spaceLeft -= (int64_t)need;
    ctrl->sinceCheck += need;
    return 0;
}

/* ------------------------------------------------------------------------
 * Extended headers
 * ------------------------------------------------------------------------ */

/* Reads size bytes of entry data into buf (cap bytes, NUL-terminated). */
static int tarReadData(MT_TAR_SOFT *ctrl, char *buf, size_t cap, uint64_t size)
{
    if (size > cap)
        return ozc::failWith(EFBIG);
    size_t done = 0;
    int blocks = (int)((size + TBLOCK - 1) / TBLOCK);
    while (blocks > 0) {
        MT_HBLOCK *blk;
        int m = tarRdBlks(ctrl, &blk, blocks);
        if (m <= 0)
            return ozc::failWith(m == 0 ? EBADMSG : errno);
        size_t take = (size_t)m * TBLOCK;
        if (take > size - done)
            take = (size_t)(size - done);
        memcpy(buf + done, blk->dummy, take);
        done += take;
        blocks -= m;
    }
    buf[done] = '\0';
    return 0;
}

/* Passes over size bytes of entry data. */
static int tarSkipData(MT_TAR_SOFT *ctrl, uint64_t size)
{
    uint64_t blocks = (size + TBLOCK - 1) / TBLOCK;
    while (blocks > 0) {
        MT_HBLOCK *blk;
        int m = tarRdBlks(ctrl, &blk, blocks > (uint64_t)INT_MAX ? INT_MAX : (int)blocks);
        if (m <= 0)
            return ozc::failWith(m == 0 ? EBADMSG : errno);
        blocks -= (uint64_t)m;
    }
    return 0;
}

/* Parses the records "<length> <key>=<value>\n" of a pax extended header
 * in buf (len bytes) into pend. Values are NUL-terminated in place and
 * stay in buf. */
static int tarPaxParse(char *buf, size_t len, tarPending *pend, bool global)
{
    size_t pos = 0;
    while (pos < len) {
        size_t rlen = 0, i = pos;
        for (; i < len && buf[i] >= '0' && buf[i] <= '9'; i++) {
            rlen = rlen * 10 + (size_t)(buf[i] - '0');
            if (rlen > len)
                return ozc::failWith(EBADMSG);
        }
        if (i == pos || i >= len || buf[i] != ' ' || rlen <= i - pos + 1 || rlen > len - pos ||
            buf[pos + rlen - 1] != '\n')
            return ozc::failWith(EBADMSG);
        char *key = buf + i + 1;
        char *end = buf + pos + rlen - 1;
        char *eq = static_cast<char *>(memchr(key, '=', (size_t)(end - key)));
        if (eq == nullptr || eq == key)
            return ozc::failWith(EBADMSG);
        *eq = '\0';
        *end = '\0';
        char *value = eq + 1;
        size_t vlen = (size_t)(end - value);
        pos += rlen;

        if (strncmp(key, "GNU.sparse.", 11) == 0)
            return ozc::failWith(ENOTSUP);
        if (strcmp(key, "mtime") == 0) {
            if (!paxTime(value, &pend->mtime, &pend->mtimeNsec))
                return ozc::failWith(EBADMSG);
            pend->hasMtime = true;
        } else if (strcmp(key, "uid") == 0 || strcmp(key, "gid") == 0) {
            uint64_t id;
            if (!paxNumber(value, &id) || id > UINT32_MAX)
                return ozc::failWith(EBADMSG);
            if (key[0] == 'u') {
                pend->uid = id;
                pend->hasUid = true;
            } else {
                pend->gid = id;
                pend->hasGid = true;
            }
        } else if (global) {
            continue; /* names, sizes and attributes are per entry */
        } else if (strcmp(key, "path") == 0) {
            pend->path = value;
            pend->pathLen = vlen;
        } else if (strcmp(key, "linkpath") == 0) {
            pend->link = value;
            pend->linkLen = vlen;
        } else if (strcmp(key, "size") == 0) {
            if (!paxNumber(value, &pend->size))
                return ozc::failWith(EBADMSG);
            pend->hasSize = true;
        } else if (strncmp(key, "SCHILY.xattr.", 13) == 0 && key[13] != '\0') {
            if (pend->xattrCount == kMaxXattrs)
                return ozc::failWith(E2BIG);
            pend->xattrs[pend->xattrCount++] = {key + 13, value, vlen};
        }
    }
    return 0;
}

/* Reads an extended header entry (pax "x" or "g", GNU "L" or "K"). */
static int tarExtendedHeader(MT_TAR_SOFT *ctrl, char type, uint64_t size)
{
    if (type == TAR_GNU_LONGNAME || type == TAR_GNU_LONGLINK) {
        char *buf = type == TAR_GNU_LONGNAME ? ctrl->longName : ctrl->longLink;
        if (tarReadData(ctrl, buf, TAR_LONGNAME_MAX, size) != 0)
            return -1;
        size_t n = strnlen(buf, (size_t)size);
        if (type == TAR_GNU_LONGNAME) {
            ctrl->next.path = buf;
            ctrl->next.pathLen = n;
        } else {
            ctrl->next.link = buf;
            ctrl->next.linkLen = n;
        }
        return 0;
    }
    if (ctrl->paxBuf == nullptr) {
        ctrl->paxBuf = static_cast<char *>(malloc(TAR_PAX_MAX + 1));
        if (ctrl->paxBuf == nullptr)
            return ozc::failWith(ENOMEM);
    }
    if (tarReadData(ctrl, ctrl->paxBuf, TAR_PAX_MAX, size) != 0)
        return -1;
    if (type == TAR_PAX_GLOBAL_TYPE)
        return tarPaxParse(ctrl->paxBuf, (size_t)size, &ctrl->global, true);
    /* A second pax header before one entry replaces the first (its values
     * lived in the same buffer); GNU long names stay. */
    tarPending &n = ctrl->next;
    const char *path = n.path == ctrl->longName ? n.path : nullptr;
    const char *link = n.link == ctrl->longLink ? n.link : nullptr;
    size_t pathLen = n.pathLen, linkLen = n.linkLen;
    tarPendingClear(&n);
    if (path != nullptr) {
        n.path = path;
        n.pathLen = pathLen;
    }
    if (link != nullptr) {
        n.link = link;
        n.linkLen = linkLen;
    }
    return tarPaxParse(ctrl->paxBuf, (size_t)size, &ctrl->next, false);
}

/* The entry of header h with the pending extended values applied; they
 * are used up. */
static int tarEntryDecode(MT_TAR_SOFT *ctrl, const MT_HBLOCK *blk, tarEntry *e)
{
    const auto *h = &blk->header;
    e->type = h->linkflag;
    if (!tarFieldGet(h->mode, sizeof(h->mode), &e->mode) || !tarFieldGet(h->size, sizeof(h->size), &e->size))
        return ozc::failWith(EBADMSG);
    uint64_t mtime;
    if (!tarFieldGet(h->mtime, sizeof(h->mtime), &mtime))
        return ozc::failWith(EBADMSG);
    e->mtime = (int64_t)(mtime > (uint64_t)INT64_MAX ? INT64_MAX : mtime);
    e->mtimeNsec = 0;
    e->uid = tarFieldOrZero(h->uid, sizeof(h->uid));
    e->gid = tarFieldOrZero(h->gid, sizeof(h->gid));
    e->devMajor = tarFieldOrZero(h->major, sizeof(h->major));
    e->devMinor = tarFieldOrZero(h->minor, sizeof(h->minor));
    e->path = e->link = nullptr;
    e->pathLen = e->linkLen = 0;
    e->xattrCount = 0;
    for (const tarPending *p : {&ctrl->global, &ctrl->next}) {
        if (p->hasMtime) {
            e->mtime = p->mtime;
            e->mtimeNsec = p->mtimeNsec;
        }
        if (p->hasUid)
            e->uid = p->uid;
        if (p->hasGid)
            e->gid = p->gid;
    }
    const tarPending &n = ctrl->next;
    if (n.hasSize)
        e->size = n.size;
    if (n.path != nullptr) {
        e->path = n.path;
        e->pathLen = n.pathLen;
    }
    if (n.link != nullptr) {
        e->link = n.link;
        e->linkLen = n.linkLen;
    }
    memcpy(e->xattrs, n.xattrs, n.xattrCount * sizeof(tarXattr));
    e->xattrCount = n.xattrCount;
    tarPendingClear(&ctrl->next);
    if (e->size >= kMaxEntrySize)
        return ozc::failWith(EFBIG);
    return 0;
}

/* ------------------------------------------------------------------------
 * Paths and the layers below
 * ------------------------------------------------------------------------ */

/* Looks rel ("a/b/c") up as the overlay driver would: in this layer first
 * when self, then in the layers below, topmost first. A whiteout or a
 * non-directory on the way ends the search (nothing there), an opaque
 * directory ends it after its own layer. Found: its lstat() result in *st,
 * its real path in ctrl->lookBuf and, when asked, whether it is in this
 * layer in *here. */
static bool tarLayersFind(MT_TAR_SOFT *ctrl, const char *rel, bool self, struct stat *st, bool *here = nullptr)
{
    unsigned layers = (self ? 1U : 0U) + ctrl->lowerNum;
    bool overlay = ctrl->whiteouts == OZC_TAR_WHITEOUT_OVERLAY;
    size_t rlen = strlen(rel);
    for (unsigned k = 0; k < layers; k++) {
        char *out = ctrl->lookBuf;
        size_t blen;
        if (self && k == 0) {
            blen = ctrl->targetDirLen;
            memcpy(out, ctrl->targetDir, blen);
        } else {
            const char *base = ctrl->lowerDirs[k - (self ? 1 : 0)];
            blen = strlen(base);
            if (blen >= kLookMax)
                return false;
            memcpy(out, base, blen);
        }
        if (blen + 1 + rlen >= kLookMax)
            return false;
        out[blen] = '/';
        memcpy(out + blen + 1, rel, rlen + 1);
        bool opaque = false;
        for (char *p = out + blen + 1;;) {
            char *slash = strchr(p, '/');
            if (slash != nullptr)
                *slash = '\0';
            struct stat cst;
            if (lstat(out, &cst) != 0) {
                if (errno != ENOENT)
                    return false;
                break; /* not in this layer: the next one decides */
            }
            if (overlay && ozOvlWhiteoutIs(cst.st_mode, cst.st_rdev))
                return false;
            if (slash == nullptr) {
                *st = cst;
                if (here != nullptr)
                    *here = self && k == 0;
                return true;
            }
            if (!S_ISDIR(cst.st_mode))
                return false;
            if (overlay && ozOvlOpaqueIs(out))
                opaque = true;
            *slash = '/';
            p = slash + 1;
        }
        if (opaque)
            return false;
    }
    return false;
}

/* Gives a directory made in overlay form the owner, mode and extended
 * attributes of the directory that path names in lookBuf (from below). */
static int tarAttrsCopy(MT_TAR_SOFT *ctrl, const char *dir, const struct stat &from)
{
    if (ctrl->asRoot && lchown(dir, from.st_uid, from.st_gid) != 0)
        return -1;
    if (chmod(dir, from.st_mode & 07777) != 0)
        return -1;
    char names[4096];
    ssize_t n = ozFileXattrList(ctrl->lookBuf, names, sizeof(names));
    for (ssize_t i = 0; n > 0 && i < n; i += (ssize_t)strlen(names + i) + 1) {
        const char *name = names + i;
        char value[4096];
        if (ozOvlXattrReserved(name))
            continue;
        ssize_t v = ozFileXattrGet(ctrl->lookBuf, name, value, sizeof(value));
        if (v >= 0 && ozFileXattrSet(-1, dir, name, value, (size_t)v) != OK && !attrNotTaken(errno))
            return -1;
    }
    return 0;
}

/* Makes the missing directory ctrl->targetDir (a parent the archive did not
 * list): in overlay form with the attributes it has below, else mode 0755. */
static int tarImplicitDir(MT_TAR_SOFT *ctrl)
{
    if (tarSpaceTake(ctrl, 0) != 0)
        return -1;
    if (mkdir(ctrl->targetDir, 0700) != 0)
        return -1;
    if (ctrl->lowerNum > 0) {
        struct stat st;
        const char *rel = ctrl->targetDir + ctrl->targetDirLen + 1;
        if (tarLayersFind(ctrl, rel, false, &st)) {
            if (!S_ISDIR(st.st_mode))
                return ozc::failWith(ENOTDIR); /* a file below, as the applied form finds it */
            return tarAttrsCopy(ctrl, ctrl->targetDir, st);
        }
    }
    return chmod(ctrl->targetDir, kImplicitDirMode) == 0 ? 0 : -1;
}

/* Verifies that every parent of the current entry (targetDir after
 * targetDirLen, "/a/b/name") is a real directory, making the missing ones.
 * Parents matching the cache of verified directories are taken as
 * checked; the others must pass lstat() as directories (ENOTDIR for a link
 * or any other file). In overlay form a whiteout on the way (this layer
 * deleted the directory) becomes an opaque directory. Returns the
 * position of the last component, or NULL with errno set. */
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
        if (rc != 0 && errno == ENOENT) {
            rc = tarImplicitDir(ctrl);
        } else if (rc == 0 && ctrl->whiteouts == OZC_TAR_WHITEOUT_OVERLAY && ozOvlWhiteoutIs(st.st_mode, st.st_rdev)) {
            rc = unlink(ctrl->targetDir) == 0 && mkdir(ctrl->targetDir, kImplicitDirMode) == 0 &&
                         chmod(ctrl->targetDir, kImplicitDirMode) == 0 && ozOvlOpaqueSet(ctrl->targetDir) == OK
                     ? 0
                     : -1;
        } else if (rc == 0 && !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            rc = -1;
        }
        int err = errno;
        *compEnd = saved;
        if (rc != 0) {
            return failNull(err);
        }
        p = compEnd + 1;
    }
    /* Remember the verified parent path. */
    size_t plen = (size_t)(last - (path + 1));
    if (last > path && plen < TAR_PATH_MAX) {
        memcpy(ctrl->goodPathCache, path + 1, plen);
        ctrl->goodPathCache[plen] = '\0';
    } else {
        ctrl->goodPathCache[0] = '\0';
    }
    return last + 1;
}

/* Whether an object the target holds lay there before this archive (the
 * applied form: only that is removed by whiteouts and opaque markers). */
static bool tarFromBelow(const MT_TAR_SOFT *ctrl, const struct stat &st)
{
    return ctrl->below && !timeAfter(st.st_ctim, ctrl->t0);
}

/* Removes what stands at path: a directory with all it holds, never
 * following links. The cache of verified directories is dropped, as it may
 * name what went. */
static int tarRemove(MT_TAR_SOFT *ctrl, const char *path, const struct stat &st)
{
    if (S_ISDIR(st.st_mode)) {
        ctrl->goodPathCache[0] = '\0';
        return ozRmTree(path) == OK ? 0 : -1;
    }
    return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
}

/* Clears the way for a new non-directory at the entry's path: whatever
 * stands there goes, a directory with its content. */
static int tarRemoveExisting(MT_TAR_SOFT *ctrl)
{
    struct stat st;
    if (lstat(ctrl->targetDir, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    return tarRemove(ctrl, ctrl->targetDir, st);
}

/* ------------------------------------------------------------------------
 * Attributes
 * ------------------------------------------------------------------------ */

/* Sets the entry's extended attributes on fd (or, fd < 0, on path
 * itself). Names the overlay driver interprets are never set from an
 * archive; attributes the file system does not take are left out. */
static int tarXattrsSet(const tarEntry &e, int fd, const char *path)
{
    for (size_t i = 0; i < e.xattrCount; i++) {
        const tarXattr &x = e.xattrs[i];
        if (ozOvlXattrReserved(x.name))
            continue;
        if (ozFileXattrSet(fd, path, x.name, x.value, x.len) != OK && !attrNotTaken(errno))
            return -1;
    }
    return 0;
}

/* A directory listed again keeps only the extended attributes its entry
 * names (those the overlay driver set stay). */
static int tarXattrsReplace(const tarEntry &e, const char *path)
{
    char names[4096];
    ssize_t n = ozFileXattrList(path, names, sizeof(names));
    if (n < 0)
        return attrNotTaken(errno) ? 0 : -1;
    for (ssize_t i = 0; i < n; i += (ssize_t)strlen(names + i) + 1) {
        const char *name = names + i;
        bool listed = ozOvlXattrReserved(name);
        for (size_t k = 0; !listed && k < e.xattrCount; k++)
            listed = strcmp(e.xattrs[k].name, name) == 0;
        if (!listed && ozFileXattrRemove(path, name) != OK && errno != ENODATA && !attrNotTaken(errno))
            return -1;
    }
    return 0;
}

/* Owner (when running as root), exact mode, extended attributes and
 * modification time of a non-directory, through fd when it has one. The
 * owner comes first: changing it clears the set-user-ID and set-group-ID
 * bits and file capabilities. */
static int tarMetaSet(MT_TAR_SOFT *ctrl, const tarEntry &e, int fd, bool isLink)
{
    const char *path = ctrl->targetDir;
    if (ctrl->asRoot) {
        int rc = fd >= 0 ? fchown(fd, (uid_t)e.uid, (gid_t)e.gid) : lchown(path, (uid_t)e.uid, (gid_t)e.gid);
        if (rc != 0 && !attrNotTaken(errno))
            return -1;
    }
    if (!isLink) {
        int rc = fd >= 0 ? fchmod(fd, (mode_t)(e.mode & 07777)) : fchmodat(AT_FDCWD, path, (mode_t)(e.mode & 07777), 0);
        if (rc != 0)
            return -1;
    }
    if (tarXattrsSet(e, fd, path) != 0)
        return -1;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = (time_t)e.mtime;
    times[1].tv_nsec = e.mtimeNsec;
    (void)(fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW));
    return 0;
}

/* Opens the record file of directory attributes (unlinked at once: its
 * descriptor is all the extractor needs, and no archive entry can meet
 * it) in the target directory. */
static int tarDirFileOpen(MT_TAR_SOFT *ctrl)
{
    if (ctrl->dir_fd >= 0)
        return 0;
    char name[TAR_PATH_MAX];
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return -1;
    for (unsigned i = 0; i < 16; i++) {
        int n = snprintf(name, sizeof(name), "%.*s/.tard@#%4.4x.sto", (int)ctrl->targetDirLen, ctrl->targetDir,
                         (unsigned)((now.tv_nsec + i * 7919) & 0xffff));
        if (n < 0 || (size_t)n >= sizeof(name))
            return ozc::failWith(ENAMETOOLONG);
        ctrl->dir_fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (ctrl->dir_fd >= 0) {
            (void)unlink(name);
            ctrl->dirEnd = 0;
            return 0;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

/* Records the attributes the directory at the current path gets at the
 * end. */
static int tarRecordDir(MT_TAR_SOFT *ctrl, const tarEntry &e)
{
    const char *rel = ctrl->targetDir + ctrl->targetDirLen;
    if (*rel == '/')
        rel++;
    tarDirRecord rec{};
    rec.mtime = e.mtime;
    rec.mtimeNsec = e.mtimeNsec;
    rec.mode = (uint32_t)(e.mode & 07777);
    rec.uid = (uint32_t)e.uid;
    rec.gid = (uint32_t)e.gid;
    rec.nameLen = (uint32_t)strlen(rel);
    if (tarDirFileOpen(ctrl) != 0 || tarSpaceTake(ctrl, sizeof(rec) + rec.nameLen) != 0)
        return -1;
    char buf[sizeof(rec) + TAR_PATH_MAX];
    memcpy(buf, &rec, sizeof(rec));
    memcpy(buf + sizeof(rec), rel, rec.nameLen);
    size_t len = sizeof(rec) + rec.nameLen;
    ssize_t n = pwrite(ctrl->dir_fd, buf, len, ctrl->dirEnd);
    if (n != (ssize_t)len)
        return ozc::failWith(n >= 0 ? ENOSPC : errno);
    ctrl->dirEnd += (off_t)len;
    return 0;
}

/* Opens the directory rel below the directory rootFd, following no link
 * on the way; -1 when any component is not a real directory. */
static int tarDirOpen(int rootFd, const char *rel)
{
    int fd = dup(rootFd);
    char comp[NAME_MAX + 1];
    while (fd >= 0 && *rel != '\0') {
        const char *slash = strchr(rel, '/');
        size_t len = slash != nullptr ? (size_t)(slash - rel) : strlen(rel);
        if (len == 0 || len > NAME_MAX) {
            close(fd);
            return -1;
        }
        memcpy(comp, rel, len);
        comp[len] = '\0';
        int next = openat(fd, comp, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
        rel += len + (slash != nullptr ? 1 : 0);
    }
    return fd;
}

/* Gives the recorded directories their owner, mode and time, in archive
 * order (a directory listed twice gets its last attributes), then closes
 * the record file. A directory that is no longer a real one is left. */
static void tarProcDirs(MT_TAR_SOFT *ctrl)
{
    if (ctrl->dir_fd < 0)
        return;
    char root[TAR_PATH_MAX];
    memcpy(root, ctrl->targetDir, ctrl->targetDirLen);
    root[ctrl->targetDirLen] = '\0';
    int rootFd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    off_t pos = 0;
    tarDirRecord rec;
    char name[TAR_PATH_MAX];
    while (rootFd >= 0 && pos < ctrl->dirEnd && pread(ctrl->dir_fd, &rec, sizeof(rec), pos) == (ssize_t)sizeof(rec) &&
           rec.nameLen < sizeof(name) &&
           pread(ctrl->dir_fd, name, rec.nameLen, pos + (off_t)sizeof(rec)) == (ssize_t)rec.nameLen) {
        pos += (off_t)(sizeof(rec) + rec.nameLen);
        name[rec.nameLen] = '\0';
        int fd = tarDirOpen(rootFd, name);
        if (fd < 0)
            continue;
        if (ctrl->asRoot)
            (void)fchown(fd, rec.uid, rec.gid);
        (void)fchmod(fd, rec.mode);
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = (time_t)rec.mtime;
        times[1].tv_nsec = (long)rec.mtimeNsec;
        (void)futimens(fd, times);
        close(fd);
    }
    if (rootFd >= 0)
        close(rootFd);
    close(ctrl->dir_fd);
    ctrl->dir_fd = -1;
}

/* ------------------------------------------------------------------------
 * Entries
 * ------------------------------------------------------------------------ */

/* Writes a regular file's data from the block buffer. */
static int tarExtractRegularFile(MT_TAR_SOFT *ctrl, const tarEntry &e)
{
    if (tarSpaceTake(ctrl, e.size) != 0 || tarRemoveExisting(ctrl) != 0)
        return -1;
    int fd = open(ctrl->targetDir, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    oz::FdCloser closer{fd};
    uint64_t bytesLeft = e.size;
    uint64_t blocksLeft = (e.size + TBLOCK - 1) / TBLOCK;
    while (blocksLeft > 0) {
        MT_HBLOCK *blk;
        int m = tarRdBlks(ctrl, &blk, blocksLeft > (uint64_t)INT_MAX ? INT_MAX : (int)blocksLeft);
        if (m <= 0)
            return ozc::failWith(m == 0 ? EBADMSG : errno); /* the archive ends inside a file */
        size_t want = (size_t)m * TBLOCK;
        if (want > bytesLeft)
            want = (size_t)bytesLeft;
        const char *src = blk->dummy;
        size_t done = 0;
        while (done < want) {
            ssize_t w = write(fd, src + done, want - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return ozc::failWith(w == 0 ? EIO : errno);
            done += (size_t)w;
        }
        blocksLeft -= (uint64_t)m;
        bytesLeft -= want;
    }
    if (tarMetaSet(ctrl, e, fd, false) != 0)
        return -1;
    closer.fd = -1;
    return close(fd) == 0 ? 0 : -1;
}

/* A directory: made when missing (replacing a non-directory), its
 * attributes recorded for the end. */
static int tarExtractDir(MT_TAR_SOFT *ctrl, const tarEntry &e)
{
    const char *path = ctrl->targetDir;
    bool isRoot = ctrl->targetDir[ctrl->targetDirLen] == '\0';
    struct stat st;
    bool made = false;
    if (!isRoot) {
        if (lstat(path, &st) != 0) {
            if (errno != ENOENT)
                return -1;
            if (tarSpaceTake(ctrl, 0) != 0 || mkdir(path, 0700) != 0)
                return -1;
            made = true;
        } else if (!S_ISDIR(st.st_mode)) {
            /* Replaces a file: in overlay form what lay below it is gone
             * for good, the new directory hides it. */
            if (tarRemove(ctrl, path, st) != 0 || mkdir(path, 0700) != 0)
                return -1;
            if (ctrl->whiteouts == OZC_TAR_WHITEOUT_OVERLAY && !ctrl->bottom && ozOvlOpaqueSet(path) != OK)
                return -1;
            made = true;
        }
    }
    if (made) {
        /* The new directory is real: it extends the verified path. */
        const char *name = path + ctrl->targetDirLen + 1;
        size_t nlen = strlen(name);
        if (nlen < TAR_PATH_MAX)
            memcpy(ctrl->goodPathCache, name, nlen + 1);
    }
    if ((!made && tarXattrsReplace(e, path) != 0) || tarXattrsSet(e, -1, path) != 0)
        return -1;
    return tarRecordDir(ctrl, e);
}

static int tarExtractSymlink(MT_TAR_SOFT *ctrl, const tarEntry &e, const char *target)
{
    if (tarSpaceTake(ctrl, 0) != 0 || tarRemoveExisting(ctrl) != 0)
        return -1;
    if (symlink(target, ctrl->targetDir) != 0)
        return -1;
    return tarMetaSet(ctrl, e, -1, true);
}

/* A hard link to a file the target holds (or, in overlay form, that a
 * layer below holds), reached through real directories only. */
static int tarExtractHardLink(MT_TAR_SOFT *ctrl, const char *link, size_t linkLen)
{
    char *out = ctrl->linkBuf;
    *out = '\0';
    if (tarCopyCondense(&out, ctrl->linkBuf + TAR_PATH_MAX, link, linkLen) != 0)
        return -1;
    const char *rel = ctrl->linkBuf[0] == '/' ? ctrl->linkBuf + 1 : ctrl->linkBuf;
    if (out > ctrl->linkBuf && out[-1] == '/')
        *--out = '\0';
    if (*rel == '\0')
        return ozc::failWith(EPERM); /* the target directory itself */
    struct stat st;
    if (!tarLayersFind(ctrl, rel, true, &st))
        return ozc::failWith(ENOENT);
    if (S_ISDIR(st.st_mode))
        return ozc::failWith(EPERM);
    if (strcmp(rel, ctrl->targetDir + ctrl->targetDirLen + 1) == 0)
        return 0; /* a link to itself: it is there */
    if (tarSpaceTake(ctrl, 0) != 0 || tarRemoveExisting(ctrl) != 0)
        return -1;
    /* The file found is in lookBuf; a link to a symbolic link links the
     * link itself, never what it points to. */
    return linkat(AT_FDCWD, ctrl->lookBuf, AT_FDCWD, ctrl->targetDir, 0) == 0 ? 0 : -1;
}

/* A device node or FIFO. Device nodes need the privilege to make them;
 * without it they are counted and left out. */
static int tarExtractNode(MT_TAR_SOFT *ctrl, const tarEntry &e)
{
    mode_t kind = e.type == CHRTYPE ? S_IFCHR : e.type == BLKTYPE ? S_IFBLK : S_IFIFO;
    dev_t dev = kind == S_IFIFO ? 0 : makedev((unsigned)e.devMajor, (unsigned)e.devMinor);
    if (tarSpaceTake(ctrl, 0) != 0 || tarRemoveExisting(ctrl) != 0)
        return -1;
    if (mknod(ctrl->targetDir, kind | 0600, dev) != 0) {
        if (errno != EPERM || kind == S_IFIFO)
            return -1;
        ctrl->skippedNodes++;
        return 0;
    }
    return tarMetaSet(ctrl, e, -1, false);
}

/* Applied: the names of dir (a path in lookBuf) that lay below go, with
 * everything in them; directories this archive wrote into are searched
 * for what lay below them. */
static int tarOpaqueApply(MT_TAR_SOFT *ctrl, size_t len)
{
    oz::DirPtr d(opendir(ctrl->lookBuf));
    if (!d)
        return errno == ENOENT ? 0 : -1;
    while (struct dirent *de = readdir(d.get())) {
        if (isDotOrDotDot(de->d_name))
            continue;
        size_t nlen = strlen(de->d_name);
        if (len + 1 + nlen >= kLookMax)
            return ozc::failWith(ENAMETOOLONG);
        ctrl->lookBuf[len] = '/';
        memcpy(ctrl->lookBuf + len + 1, de->d_name, nlen + 1);
        struct stat st;
        int rc = 0;
        if (lstat(ctrl->lookBuf, &st) != 0)
            rc = -1;
        else if (tarFromBelow(ctrl, st))
            rc = tarRemove(ctrl, ctrl->lookBuf, st);
        else if (S_ISDIR(st.st_mode))
            rc = tarOpaqueApply(ctrl, len + 1 + nlen);
        ctrl->lookBuf[len] = '\0';
        if (rc != 0)
            return rc;
    }
    return 0;
}

/* A whiteout entry at the current path, whose last component (at name)
 * is ".wh.<deleted>" or the opaque marker. A marker for what is not there
 * does nothing, and makes no directory. */
static int tarWhiteout(MT_TAR_SOFT *ctrl, char *name)
{
    bool overlay = ctrl->whiteouts == OZC_TAR_WHITEOUT_OVERLAY;
    bool opaque = strcmp(name, kOpaqueMarker) == 0;
    if (!opaque && strncmp(name, kMetaPrefix, sizeof(kMetaPrefix) - 1) == 0)
        return 0; /* other markers of that form carry no meaning here */
    if (!opaque) {
        const char *deleted = name + sizeof(kWhiteoutPrefix) - 1;
        if (*deleted == '\0' || isDotOrDotDot(deleted))
            return ozc::failWith(EPERM);
        memmove(name, deleted, strlen(deleted) + 1);
    } else {
        name[-1] = '\0'; /* the directory holding the marker */
    }
    const char *rel = ctrl->targetDir + ctrl->targetDirLen;
    if (*rel == '\0') {
        /* The marker in the target itself: applied, everything below goes. */
        if (overlay || !ctrl->below)
            return 0;
        memcpy(ctrl->lookBuf, ctrl->targetDir, ctrl->targetDirLen + 1);
        return tarOpaqueApply(ctrl, ctrl->targetDirLen);
    }
    rel++;
    struct stat st;
    bool here = false;
    if ((overlay && ctrl->bottom) || !tarLayersFind(ctrl, rel, true, &st, &here))
        return 0;
    if (!overlay) {
        if (opaque)
            return S_ISDIR(st.st_mode) && ctrl->below ? tarOpaqueApply(ctrl, strlen(ctrl->lookBuf)) : 0;
        return tarFromBelow(ctrl, st) ? tarRemove(ctrl, ctrl->lookBuf, st) : 0;
    }
    if (opaque) {
        if (!S_ISDIR(st.st_mode))
            return 0;
        if (!here) {
            /* The directory is below only: made here (with its parents) to
             * carry the mark. */
            name[-1] = '/';
            if (mtAccess(ctrl) == nullptr)
                return -1;
            name[-1] = '\0';
        }
        return ozOvlOpaqueSet(ctrl->targetDir) == OK ? 0 : -1;
    }
    if (here)
        return 0; /* this layer's own entry of that name stays */
    if (mtAccess(ctrl) == nullptr || tarSpaceTake(ctrl, 0) != 0)
        return -1;
    return ozOvlWhiteoutCreate(ctrl->targetDir) == OK ? 0 : -1;
}

/* Extracts one entry whose header is blk. */
static int tarExtractFile(MT_TAR_SOFT *ctrl, MT_HBLOCK *blk)
{
    auto *h = &blk->header;
    uint64_t chksum;
    if (!tarFieldGet(h->chksum, sizeof(h->chksum), &chksum) || !mtChecksum(blk, chksum))
        return ozc::failWith(EBADMSG); /* corrupt, or not a tar archive */
    char type = h->linkflag;
    if (type == TAR_PAX_TYPE || type == TAR_PAX_GLOBAL_TYPE || type == TAR_GNU_LONGNAME || type == TAR_GNU_LONGLINK) {
        uint64_t size;
        if (!tarFieldGet(h->size, sizeof(h->size), &size))
            return ozc::failWith(EBADMSG);
        return tarExtendedHeader(ctrl, type, size);
    }
    tarEntry e;
    if (tarEntryDecode(ctrl, blk, &e) != 0)
        return -1;

    /* Path: target directory, then the long name, or the ustar prefix
     * (POSIX archives only) and the name. */
    char *out = ctrl->targetDir + ctrl->targetDirLen;
    char *outEnd = ctrl->targetDir + TAR_PATH_MAX;
    *out = '\0';
    if (e.path != nullptr) {
        if (tarCopyCondense(&out, outEnd, e.path, e.pathLen) != 0)
            return -1;
    } else {
        if (h->prefix[0] != '\0' && memcmp(h->indicator, "ustar", 6) == 0 &&
            tarCopyCondense(&out, outEnd, h->prefix, sizeof(h->prefix)) != 0)
            return -1;
        if (tarCopyCondense(&out, outEnd, h->name, sizeof(h->name)) != 0)
            return -1;
    }
    bool isDirName = false;
    size_t len = (size_t)(out - ctrl->targetDir);
    if (len > ctrl->targetDirLen && ctrl->targetDir[len - 1] == '/') {
        ctrl->targetDir[--len] = '\0';
        isDirName = true;
    }
    bool isDir = type == DIRTYPE || type == TAR_GNU_DUMPDIR ||
                 (isDirName && e.size == 0 && (type == REGTYPE || type == REGTYPE0 || type == ' ' || type == CONTTYPE));
    /* Entries that write no file data pass over whatever data they have. */
    auto done = [&](int rc) { return rc != 0 ? rc : tarSkipData(ctrl, e.size); };

    if (len == ctrl->targetDirLen) /* the target directory itself */
        return done(isDir ? tarExtractDir(ctrl, e) : 0);
    if (type == TAR_GNU_VOLHDR)
        return done(0);
    if (type == TAR_GNU_SPARSE || type == TAR_GNU_MULTIVOL)
        return ozc::failWith(ENOTSUP);

    char *name = strrchr(ctrl->targetDir + ctrl->targetDirLen, '/') + 1;
    if (strncmp(name, kWhiteoutPrefix, sizeof(kWhiteoutPrefix) - 1) == 0)
        return done(tarWhiteout(ctrl, name));
    if (mtAccess(ctrl) == nullptr)
        return -1;
    if (isDir)
        return done(tarExtractDir(ctrl, e));

    char target[NAMSIZ + 1];
    const char *link = e.link;
    size_t linkLen = e.linkLen;
    if (link == nullptr) {
        memcpy(target, h->linkname, NAMSIZ);
        target[NAMSIZ] = '\0';
        link = target;
        linkLen = strlen(target);
    }
    switch (type) {
    case REGTYPE0:
    case ' ':
    case REGTYPE:
    case CONTTYPE:
        return tarExtractRegularFile(ctrl, e);
    case SYMTYPE:
        return done(tarExtractSymlink(ctrl, e, link));
    case LNKTYPE:
        return done(tarExtractHardLink(ctrl, link, linkLen));
    case CHRTYPE:
        if (e.devMajor == 0 && e.devMinor == 0) {
            /* The overlay driver's own whiteout form in an archive: the
             * same as a ".wh." entry of that name. */
            char wh[NAME_MAX + 1];
            if (snprintf(wh, sizeof(wh), "%s%s", kWhiteoutPrefix, name) >= (int)sizeof(wh) ||
                (size_t)(name - ctrl->targetDir) + strlen(wh) >= TAR_PATH_MAX)
                return ozc::failWith(ENAMETOOLONG);
            memcpy(name, wh, strlen(wh) + 1);
            return done(tarWhiteout(ctrl, name));
        }
        return done(tarExtractNode(ctrl, e));
    case BLKTYPE:
    case FIFOTYPE:
        return done(tarExtractNode(ctrl, e));
    default:
        return ozc::failWith(ENOTSUP);
    }
}

/* ------------------------------------------------------------------------
 * Archives
 * ------------------------------------------------------------------------ */

/* Opens the archive by its first bytes: gzip, zstd, else a plain tar
 * file. */
static int tarArchiveOpen(MT_TAR_SOFT *ctrl, const char *pTape)
{
    unsigned char magic[4] = {0};
    int fd = open(pTape, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, magic, sizeof(magic));
    int err = errno;
    if (n < 0) {
        close(fd);
        return ozc::failWith(err);
    }
    if (n >= 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
        close(fd);
        GZ_ARCHIVE *gz = ozcGzArchiveCreate(pTape);
        if (gz == nullptr)
            return ozc::failWith(errno == 0 ? EBADMSG : errno);
        ctrl->tc = &gz->tc;
        ctrl->tcDelete = ozcGzArchiveDelete;
        return 0;
    }
    if (n == 4 && memcmp(magic, ZSTD_FRAME_MAGIC, 4) == 0) {
        close(fd);
        ZSTD_ARCHIVE *z = ozcZstdArchiveCreate(pTape);
        if (z == nullptr)
            return -1;
        ctrl->tc = reinterpret_cast<tarCompress *>(z);
        ctrl->tcDelete = ozcZstdArchiveDelete;
        return 0;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        err = errno;
        close(fd);
        return ozc::failWith(err);
    }
    ctrl->fd = fd;
    return 0;
}

static void tarArchiveClose(MT_TAR_SOFT *ctrl)
{
    if (ctrl->fd >= 0)
        close(ctrl->fd);
    ctrl->fd = -1;
    if (ctrl->tc != nullptr)
        ctrl->tcDelete(ctrl->tc);
    ctrl->tc = nullptr;
}

/* Whether the directory holds any entry. */
static bool tarDirHasEntries(const char *dir)
{
    DIR *d = opendir(dir);
    if (d == nullptr)
        return false;
    bool any = false;
    while (!any) {
        struct dirent *de = readdir(d);
        if (de == nullptr)
            break;
        any = !isDotOrDotDot(de->d_name);
    }
    closedir(d);
    return any;
}

/* Applied form on a target that holds something: notes the file system's
 * time t0 and waits until its clock has passed it, so that every change
 * time this archive leaves is later than every one below. */
static int tarLayerStart(MT_TAR_SOFT *ctrl)
{
    if (tarDirFileOpen(ctrl) != 0)
        return -1;
    struct stat st;
    if (fstat(ctrl->dir_fd, &st) != 0)
        return -1;
    ctrl->t0 = st.st_ctim;
    /* File system clocks tick coarsely (a few milliseconds); give up after
     * two seconds of a clock that does not move. */
    for (int i = 0; i < 10000; i++) {
        if (futimens(ctrl->dir_fd, nullptr) != 0 || fstat(ctrl->dir_fd, &st) != 0)
            return -1;
        if (timeAfter(st.st_ctim, ctrl->t0))
            break;
        struct timespec pause = {0, 200000};
        nanosleep(&pause, nullptr);
    }
    ctrl->below = true;
    return 0;
}

/* Overlay form: the root of this layer has the attributes of the root
 * below it when the archive does not list "./". */
static int tarOverlayRoot(MT_TAR_SOFT *ctrl)
{
    if (ctrl->lowerNum == 0)
        return 0;
    size_t blen = strlen(ctrl->lowerDirs[0]);
    if (blen >= kLookMax)
        return ozc::failWith(ENAMETOOLONG);
    memcpy(ctrl->lookBuf, ctrl->lowerDirs[0], blen + 1);
    struct stat st;
    if (lstat(ctrl->lookBuf, &st) != 0)
        return -1;
    char root[TAR_PATH_MAX];
    memcpy(root, ctrl->targetDir, ctrl->targetDirLen);
    root[ctrl->targetDirLen] = '\0';
    return tarAttrsCopy(ctrl, root, st);
}

/* The extraction's steps between setting up and clearing away: room for
 * the layer, the archive, the layer's start, then every entry up to the
 * end-of-archive block. 0, or -1 with errno. */
static int tarExtractRun(MT_TAR_SOFT *ctrl, const char *pTape)
{
    uint64_t total, avail;
    if (ozFsSpaceGet(ctrl->targetDir, &total, &avail) != OK || tarReserveGet(total, &ctrl->reserve) != 0 ||
        tarSpaceLook(ctrl) != 0)
        return -1;
    if (tarArchiveOpen(ctrl, pTape) != 0)
        return -1;
    if ((ctrl->whiteouts == OZC_TAR_WHITEOUT_APPLY && tarDirHasEntries(ctrl->targetDir) && tarLayerStart(ctrl) != 0) ||
        (ctrl->whiteouts == OZC_TAR_WHITEOUT_OVERLAY && tarOverlayRoot(ctrl) != 0))
        return -1;
    int first = tarFill(ctrl);
    if (first <= 0)
        return first == 0 ? ozc::failWith(ENODATA) : -1; /* an empty archive */
    ctrl->bFactor = first;
    for (;;) {
        MT_HBLOCK *blk;
        int n = tarRdBlks(ctrl, &blk, 1);
        if (n != 1)
            return n == 0 ? ozc::failWith(EBADMSG) : -1; /* ends before its end-of-archive block */
        if (ozcTarBlockIsZero(blk))
            return tarDrain(ctrl);
        if (tarExtractFile(ctrl, blk) != 0)
            return -1;
    }
}

STATUS ozcTarExtractEx(const char *pTape, const char *targetDir, OZC_TAR_OPTS *opts)
{
    OZC_TAR_OPTS defaults{};
    if (opts == nullptr)
        opts = &defaults;
    if (pTape == nullptr || targetDir == nullptr || opts->bFactor > (size_t)kMaxBFactor ||
        (opts->lowerNum > 0 && opts->lowerDirs == nullptr) ||
        (opts->lowerNum > 0 && opts->whiteouts != OZC_TAR_WHITEOUT_OVERLAY)) {
        return ozc::failWith(EINVAL);
    }
    opts->digestLen = 0;
    opts->skippedNodes = 0;
    const ozc::DigestAlg *alg = nullptr;
    if (opts->digestAlg != nullptr && (alg = ozc::digestAlgFind(opts->digestAlg, strlen(opts->digestAlg))) == nullptr) {
        return ozc::failWith(EINVAL);
    }
    struct stat st;
    if (stat(targetDir, &st) != 0)
        return ERROR;
    if (!S_ISDIR(st.st_mode)) {
        return ozc::failWith(ENOTDIR);
    }
    size_t tlen = strlen(targetDir);
    while (tlen > 1 && targetDir[tlen - 1] == '/')
        tlen--;
    if (tlen >= TAR_PATH_MAX) {
        return ozc::failWith(ENAMETOOLONG);
    }

    MT_TAR_SOFT ctrl{};
    ctrl.fd = -1;
    ctrl.dir_fd = -1;
    ctrl.whiteouts = opts->whiteouts;
    ctrl.lowerDirs = opts->lowerDirs;
    ctrl.lowerNum = opts->lowerNum;
    ctrl.bottom = opts->lowerNum == 0;
    ctrl.asRoot = geteuid() == 0;
    ctrl.bFactor = opts->bFactor == 0 ? TAR_DEFAULT_BFACTOR : (int)opts->bFactor;
    std::unique_ptr<ozc::Digest> digest;
    if (alg != nullptr) {
        digest = std::make_unique<ozc::Digest>(alg);
        if (!digest->valid()) {
            return ozc::failWith(ENOMEM);
        }
        ctrl.digest = digest.get();
    }

    CBuf<MT_HBLOCK> blocks(static_cast<MT_HBLOCK *>(malloc((size_t)ctrl.bFactor * TBLOCK)));
    CBuf<char> pathBuf(static_cast<char *>(malloc(TAR_PATH_MAX)));
    CBuf<char> cache(static_cast<char *>(calloc(1, TAR_PATH_MAX)));
    CBuf<char> look(static_cast<char *>(malloc(kLookMax)));
    CBuf<char> linkBuf(static_cast<char *>(malloc(TAR_PATH_MAX)));
    CBuf<char> longName(static_cast<char *>(malloc(TAR_LONGNAME_MAX + 1)));
    CBuf<char> longLink(static_cast<char *>(malloc(TAR_LONGNAME_MAX + 1)));
    if (!blocks || !pathBuf || !cache || !look || !linkBuf || !longName || !longLink) {
        return ozc::failWith(ENOMEM);
    }
    ctrl.pBuf = blocks.get();
    ctrl.pBnext = ctrl.pBuf;
    ctrl.targetDir = pathBuf.get();
    ctrl.goodPathCache = cache.get();
    ctrl.lookBuf = look.get();
    ctrl.linkBuf = linkBuf.get();
    ctrl.longName = longName.get();
    ctrl.longLink = longLink.get();
    memcpy(ctrl.targetDir, targetDir, tlen);
    ctrl.targetDir[tlen] = '\0';
    ctrl.targetDirLen = tlen;

    STATUS result = OK;
    int err = 0;
    if (tarExtractRun(&ctrl, pTape) != 0) {
        result = ERROR;
        err = errno;
    }

    tarProcDirs(&ctrl);
    tarArchiveClose(&ctrl);
    free(ctrl.paxBuf);
    opts->skippedNodes = ctrl.skippedNodes;
    if (ctrl.skippedNodes > 0)
        ozcUtilDiag("%s: %u device node(s) left out: no privilege to make them", pTape, ctrl.skippedNodes);
    if (result == OK && digest != nullptr) {
        if (!digest->finish(opts->digest)) {
            result = ERROR;
            err = ENOMEM;
        } else {
            opts->digestLen = alg->bytes;
        }
    }
    if (result != OK)
        errno = err;
    return result;
}

STATUS ozcTarExtract(const char *pTape, const char *targetDir, size_t bfactor, BOOL verbose)
{
    (void)verbose;
    OZC_TAR_OPTS opts{};
    opts.bFactor = bfactor;
    return ozcTarExtractEx(pTape, targetDir, &opts);
}

STATUS ozcTarStreamDigest(const char *pTape, const char *alg, unsigned char *out, size_t *outLen)
{
    const ozc::DigestAlg *a = alg != nullptr ? ozc::digestAlgFind(alg, strlen(alg)) : nullptr;
    if (pTape == nullptr || a == nullptr || out == nullptr || outLen == nullptr) {
        return ozc::failWith(EINVAL);
    }
    ozc::Digest digest(a);
    CBuf<MT_HBLOCK> blocks(static_cast<MT_HBLOCK *>(malloc((size_t)TAR_DEFAULT_BFACTOR * TBLOCK * 10)));
    if (!digest.valid() || !blocks) {
        return ozc::failWith(ENOMEM);
    }
    MT_TAR_SOFT ctrl{};
    ctrl.fd = -1;
    ctrl.bFactor = TAR_DEFAULT_BFACTOR * 10;
    ctrl.pBuf = blocks.get();
    ctrl.digest = &digest;
    if (tarArchiveOpen(&ctrl, pTape) != 0)
        return ERROR;
    int rc = tarDrain(&ctrl);
    int err = errno;
    tarArchiveClose(&ctrl);
    if (rc != 0 || !digest.finish(out)) {
        return ozc::failWith(rc != 0 ? err : ENOMEM);
    }
    *outLen = a->bytes;
    return OK;
}
