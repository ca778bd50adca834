/*
 * ozcTarLib.h - extraction of a tar archive (plain, gzip- or
 * zstd-compressed) into an existing directory, as image layers are
 * extracted.
 *
 * Formats: ustar, POSIX pax (extended and global headers) and GNU (long
 * names and link names, base-256 numbers). Entries: regular files,
 * directories, symbolic and hard links, device nodes and FIFOs, with their
 * exact modes, owners (when running as root), extended attributes and
 * times; directory attributes are set after their contents. Layer
 * whiteouts and opaque directories are either applied to what the target
 * holds or written in the overlay driver's form.
 *
 * Paths that climb out of the target or run through anything but real
 * directories are refused; nothing is ever written through a link. Memory
 * is fixed per extraction (the block buffer, the path and extended-header
 * buffers and the decompressor's).
 */
#ifndef OZC_TAR_LIB_H
#define OZC_TAR_LIB_H

#include <stddef.h>
#include <time.h>

#include "ozPlatform.h"
#include "ozcGzLib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TBLOCK              512 /* bytes per tar block */
#define NAMSIZ              100 /* name field */
#define TAR_PREFIX_SIZE     155 /* ustar prefix field */
#define TAR_DEFAULT_BFACTOR 20
#define TAR_PATH_MAX        1024 /* target directory + entry path */

/* Header block: 512 raw bytes or the ustar header. */
typedef union hblock {
    char dummy[TBLOCK];
    struct header {
        char name[NAMSIZ];            /*   0 */
        char mode[8];                 /* 100 */
        char uid[8];                  /* 108 */
        char gid[8];                  /* 116 */
        char size[12];                /* 124 */
        char mtime[12];               /* 136 */
        char chksum[8];               /* 148 */
        char linkflag;                /* 156 */
        char linkname[NAMSIZ];        /* 157 */
        char indicator[6];            /* 257: "ustar" NUL for POSIX archives */
        char version[2];              /* 263 */
        char uname[32];               /* 265 */
        char gname[32];               /* 297 */
        char major[8];                /* 329 */
        char minor[8];                /* 337 */
        char prefix[TAR_PREFIX_SIZE]; /* 345 */
    } header;
} hblock, MT_HBLOCK;

/* Entry types (linkflag). The system's <tar.h> defines the same names as
 * macros with the same values. */
#ifndef _TAR_H
enum tarEntryType {
    REGTYPE = '0',
    REGTYPE0 = '\0',
    LNKTYPE = '1',
    SYMTYPE = '2',
    CHRTYPE = '3',
    BLKTYPE = '4',
    DIRTYPE = '5',
    FIFOTYPE = '6',
    CONTTYPE = '7'
};
#endif

/* Entry types of the pax and GNU formats. */
#define TAR_PAX_TYPE        'x' /* extended header of the next entry */
#define TAR_PAX_GLOBAL_TYPE 'g' /* extended header of all following entries */
#define TAR_GNU_LONGNAME    'L' /* the next entry's name */
#define TAR_GNU_LONGLINK    'K' /* the next entry's link name */
#define TAR_GNU_DUMPDIR     'D' /* a directory with a listing of its content */
#define TAR_GNU_VOLHDR      'V' /* volume label */
#define TAR_GNU_SPARSE      'S' /* sparse file: not supported */
#define TAR_GNU_MULTIVOL    'M' /* continuation of a file: not supported */

/* Largest pax extended header (the records of one entry) and GNU long
 * name or link name taken; larger ones are refused with EFBIG. */
#define TAR_PAX_MAX      (256 * 1024)
#define TAR_LONGNAME_MAX 4096

/* How layer whiteouts (".wh.<name>") and opaque markers (".wh..wh..opq")
 * are written. */
typedef enum ozcTarWhiteoutForm {
    /* Applied: a whiteout removes the entry below it, an opaque marker
     * removes the directory's content from below; what this archive
     * itself wrote stays. */
    OZC_TAR_WHITEOUT_APPLY = 0,
    /* The overlay driver's form, for a layer directory of an overlay
     * device: whiteouts become whiteout entries, opaque markers opaque
     * directories (bottom layer: dropped, nothing lies below). */
    OZC_TAR_WHITEOUT_OVERLAY = 1
} OZC_TAR_WHITEOUT_FORM;

/* Options of ozcTarExtractEx. */
typedef struct ozcTarOpts {
    size_t bFactor; /* blocks per read, 0: 20 */
    OZC_TAR_WHITEOUT_FORM whiteouts;
    /* Overlay form: the layer directories below this one, topmost first
     * (none for the bottom layer). Directories the archive does not list
     * take their attributes from below, the root included, and a hard link
     * may name a file below. */
    const char *const *lowerDirs;
    unsigned lowerNum;
    /* When set ("sha256" or "sha512"): the digest of the whole uncompressed
     * archive is computed into digest (digestLen bytes). */
    const char *digestAlg;
    unsigned char digest[64];
    size_t digestLen;
    /* Device nodes skipped for lack of privilege (set by the extraction). */
    unsigned skippedNodes;
} OZC_TAR_OPTS;

/* Environment variable of the disk reserve: extraction stops with ENOSPC
 * before the file system holding the target has less free space than
 * this. "N%" of the file system's size, or a size in bytes with an
 * optional K, M, G or T suffix (powers of 1024); "0" disables the reserve.
 * Unset: 5% of the file system, at most 256 MiB. */
#define OZC_DISK_RESERVE_ENV "OZC_DISK_RESERVE"

/* Extracts the archive file pTape (plain, gzip- or zstd-compressed) into
 * the existing directory targetDir reading bfactor blocks at a time (0
 * means 20), whiteouts applied. 0, or -1 at the first failing entry with
 * errno: EINVAL bad arguments, ENAMETOOLONG a path of 1024 characters or
 * more, EFBIG an entry of 4 GiB or more or an oversized extended header,
 * EPERM a ".." component, ENOTDIR a parent that is not a real directory,
 * ENOENT a hard link to nothing, ENOTSUP an entry type that cannot be
 * extracted (sparse, multi-volume, unknown), ENOSPC the disk reserve
 * reached, EBADMSG a corrupt or truncated archive, or the errno of the
 * failing call. Entries written before a failure stay. */
STATUS ozcTarExtract(const char *pTape, const char *targetDir, size_t bfactor, BOOL verbose);

/* ozcTarExtract with options (NULL: the defaults). */
STATUS ozcTarExtractEx(const char *pTape, const char *targetDir, OZC_TAR_OPTS *opts);

/* The digest ("sha256" or "sha512") of the uncompressed content of the
 * archive file pTape, without extracting it: out receives *outLen bytes. */
STATUS ozcTarStreamDigest(const char *pTape, const char *alg, unsigned char *out, size_t *outLen);

#ifdef __cplusplus
}
#endif

#endif /* OZC_TAR_LIB_H */
