/*
 * ozcTarLib.h - extraction of a (gzip-compressed or plain) ustar archive
 * into an existing directory.
 *
 * Paths that climb out of the target or run through anything but real
 * directories are refused; regular files, symbolic links and directories
 * are written; files and directories get the archive's modification times.
 * Memory is fixed per extraction (the block buffer, two path buffers and
 * the gzip reader's buffers).
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

#define TBLOCK          512   /* bytes per tar block */
#define NAMSIZ          100   /* name field */
#define TAR_PREFIX_SIZE 155   /* ustar prefix field */
#define TAR_DEFAULT_BFACTOR 20
#define TAR_PATH_MAX    1024  /* target directory + entry path */
#define TAR_GOOD_PATH_CACHE_SIZE 257
#define TAR_DIR_NAME_SIZE 256

/* Header block: 512 raw bytes or the ustar header. */
typedef union hblock {
    char dummy[TBLOCK];
    struct header {
        char name[NAMSIZ];      /*   0 */
        char mode[8];           /* 100 */
        char uid[8];            /* 108 */
        char gid[8];            /* 116 */
        char size[12];          /* 124 */
        char mtime[12];         /* 136 */
        char chksum[8];         /* 148 */
        char linkflag;          /* 156 */
        char linkname[NAMSIZ];  /* 157 */
        char indicator[6];      /* 257: "ustar" NUL for POSIX archives */
        char version[2];        /* 263 */
        char uname[32];         /* 265 */
        char gname[32];         /* 297 */
        char major[8];          /* 329 */
        char minor[8];          /* 337 */
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

/* Extraction control. */
typedef struct mtTarSoft {
    tarCompress *tc;       /* the gzip archive, or NULL for a plain file */
    int fd;                /* the plain tar file (0 when reading through tc) */
    int bFactor;           /* blocks per read */
    int bValid;            /* blocks left in the buffer */
    int recurseCnt;        /* reserved */
    MT_HBLOCK *pBuf;       /* bFactor x 512 bytes */
    MT_HBLOCK *pBnext;     /* next unread block in pBuf */
    int dir_fd;            /* the directory-times record file, -1 when none */
    int dir_cnt;           /* directories recorded in it */
    char *dir_fname;       /* name of the record file (1024 bytes) */
    char *targetDir;       /* target directory, then the current entry's path (1024 bytes) */
    size_t targetDirLen;   /* length of the target directory in targetDir */
    char *goodPathCache;   /* archive path last verified as real directories (257 bytes) */
    BOOL verbose;          /* stored; produces no output */
} mtTarSoft, MT_TAR_SOFT;

/* Directory-times record, 264 bytes, native byte order. */
typedef struct DIR_TAR {
    char name[TAR_DIR_NAME_SIZE]; /* archive-relative path, no leading separator */
    time_t mtime;
} DIR_TAR;

/* Extracts the archive file pTape (gzip-compressed or plain) into the
 * existing directory targetDir reading bfactor blocks at a time (0 means
 * 20). 0, or -1 at the first failing entry with errno: EINVAL bad
 * arguments, ENAMETOOLONG a path of 1024 characters or more, EFBIG an entry
 * of 4 GiB or more, EPERM a ".." component, ENOTDIR a parent that is not a
 * real directory, EBADMSG a corrupt or truncated archive, or the errno of
 * the failing call. */
STATUS ozcTarExtract(const char *pTape, const char *targetDir, size_t bfactor,
                     BOOL verbose);

#ifdef __cplusplus
}
#endif

#endif /* OZC_TAR_LIB_H */
