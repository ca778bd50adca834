/*
 * ozcUtil.h - shared utilities of the container runtime library: the
 * library's error codes and their messages, the runtime's base directories,
 * the layer extraction entry, recursive delete, signal and state names,
 * binary-to-hexadecimal conversion, digest text validation and the
 * credential prompt.
 *
 * Error codes travel in the calling task's errno.
 */
#ifndef OZC_UTIL_H
#define OZC_UTIL_H

#include <stddef.h>
#include <stdint.h>

#include "ozPlatform.h"
#include "ozcOverlayLib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Error codes of the runtime library (errno values)
 * ------------------------------------------------------------------------ */
#define OZC_ERR_OCI_LAYOUT_NOT_FOUND        0xDF0001 /* File oci-layout not found */
#define OZC_ERR_OCI_LAYOUT_INVALID          0xDF0002 /* Json file oci-layout invalid */
#define OZC_ERR_INDEX_NOT_FOUND             0xDF0003 /* File index.json not found */
#define OZC_ERR_INDEX_INVALID               0xDF0004 /* File index.json invalid */
#define OZC_ERR_PLATFORM_NOT_FOUND          0xDF0005 /* Specified platform or architecture or tag not found */
#define OZC_ERR_NO_IMAGE_CONFIG             0xDF0006 /* No image config found */
#define OZC_ERR_IMAGE_CONFIG_INVALID        0xDF0007 /* Image config invalid */
#define OZC_ERR_NO_MANIFEST                 0xDF0008 /* No manifest found */
#define OZC_ERR_MANIFEST_INVALID            0xDF0009 /* Manifest invalid */
#define OZC_ERR_BUNDLE_PATH_TOO_LONG        0xDF000A /* Container bundle path is too long */
#define OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID 0xDF000B /* OCI bundle config.json parameter invalid */
#define OZC_ERR_BUNDLE_ROOTFS_EXISTS        0xDF000C /* OCI bundle rootfs already exists */
#define OZC_ERR_BUNDLE_CONFIG_EXISTS        0xDF000D /* OCI bundle config.json already exists */
#define OZC_ERR_BUNDLE_CONFIG_NOT_EXISTS    0xDF000E /* OCI bundle config.json not exists */
#define OZC_ERR_OCI_VERSION_INVALID         0xDF000F /* OCI version invalid */
#define OZC_ERR_OCI_ROOT_INVALID            0xDF0010 /* OCI root parameter invalid */
#define OZC_ERR_OCI_CWD_INVALID             0xDF0011 /* OCI cwd parameter invalid */
#define OZC_ERR_OCI_ARG_INVALID             0xDF0012 /* OCI arg parameter invalid */
#define OZC_ERR_RTP_SPAWN_FAILED            0xDF0013 /* RTP spawn failed */
#define OZC_ERR_RUNTIME_CONFIG_LOAD_FAILED  0xDF0014 /* OCI runtime config.json not found or load failed */
#define OZC_ERR_MOUNT_FAILED                0xDF0015 /* Mount failed */
#define OZC_ERR_UNMOUNT_FAILED              0xDF0016 /* Unmount failed */
#define OZC_ERR_CONTAINER_EXISTS            0xDF0017 /* Container already exists */
#define OZC_ERR_BUNDLE_IN_USE               0xDF0018 /* The bundle is already in use */
#define OZC_ERR_NS_CREATE_FAILED            0xDF0019 /* Container name space ID create failed */
#define OZC_ERR_ROOTFS_CREATE_FAILED        0xDF001A /* Container rootfs create failed */
#define OZC_ERR_ADDITIONAL_MOUNT_FAILED     0xDF001B /* Container additional mount failed */
#define OZC_ERR_INVALID_FORMAT_OPTION       0xDF001E /* invalid format option */
#define OZC_ERR_DAEMON_NOT_RUNNING          0xDF001F /* The daemon is not running */
#define OZC_ERR_SIGNATURE_MISSING           0xDF0020 /* signature missing for signed container image */
#define OZC_ERR_SIGNATURE_VERIFY_FAILED     0xDF0021 /* signature verify failed */
/* The OS process library's "not running" code, shown like ESRCH. */
#define OZC_ERR_RTP_NOT_RUNNING 0xB20004

/* One entry of the error table. */
typedef struct ozcUtilError {
    int errCode;
    const char *errMsg;
} ozcUtilError, OZC_UTIL_ERROR;

#define OZC_UTIL_ERROR_COUNT 40
/* The error table, searched in order by ozcUtilShowErr(). */
extern const ozcUtilError ozcUtilErrorMap[OZC_UTIL_ERROR_COUNT];

/* ------------------------------------------------------------------------
 * Signal names and container state names
 * ------------------------------------------------------------------------ */
typedef struct signalmap {
    int signo;
    const char *sigstr; /* name without the "SIG" prefix */
} signalmap, SIGNAL_MAP;

#define OZC_SIGNAL_COUNT 42

#define OZC_STATE_COUNT 5
/* "creating", "created", "running", "stopped", "unknown", indexed by the
 * container status value. */
extern const char *const ozcStateString[OZC_STATE_COUNT];

/* ------------------------------------------------------------------------
 * Base directories of the runtime
 * ------------------------------------------------------------------------ */
typedef enum ozcBasePathType {
    OZC_LAYER_PATH = 0,      /* base + "/layers"           */
    OZC_FLATTENED_PATH = 1,  /* base + "/flattened/"       */
    OZC_CONTAINERS_PATH = 2, /* base + "/containers/"      */
    OZC_VFSDEV_PATH = 3,     /* not served: ENOTSUP        */
    OZC_RUN_PATH = 4         /* base + "/run/": what the runtime daemon
                              * records about its running containers */
} ozcBasePathType;

/* Default base directory when "OZC_BASE" is unset, too long or relative. */
#define OZC_BASE_PATH_DEFAULT "/ram0/ozc"
#define OZC_BASE_ENV          "OZC_BASE"
/* Size of the library's path buffers. */
#define OZC_PATH_MAX 1024

/* Writes the directory of the given kind into path (at most bufLen bytes
 * with the NUL), creates it with its parents (mode 0700) and returns its
 * length; 0 on failure (ENOTSUP unknown kind, ENAMETOOLONG truncation, or
 * the errno of the directory creation). */
size_t ozcBasePathGet(char *path, size_t bufLen, uint32_t type);

/* ------------------------------------------------------------------------
 * Operations
 * ------------------------------------------------------------------------ */
/* Prints "Error: <message>.\n" for a non-zero code: the table's message, or
 * the OS's text for codes outside the table. Code 0 prints nothing. */
void ozcUtilShowErr(int errCode);

/* Blocks per read of layer extraction (102400 bytes). */
#define OZC_UNTAR_BFACTOR 200

/* Extracts a tar archive (plain, gzip- or zstd-compressed) into the
 * existing directory desPath with OZC_UNTAR_BFACTOR blocks per read. */
STATUS ozcUtilUntar(const char *srcTarFile, const char *desPath);

/* Deletes a file, a symbolic link (never its target) or a whole directory
 * tree. EINVAL for NULL. */
STATUS ozcUtilXdelete(const char *source);

/* Prompts with prompt_info and reads one line from the console into
 * credential without echo. 0, or -1 when nothing could be read or the
 * console options cannot be read or changed. */
STATUS ozcUtilCredGetFromStdin(char *credential, size_t credential_size, const char *prompt_info);

/* The signal number for a name of the signal table ("TERM" gives 15);
 * -1 for NULL or an unknown name. */
int ozcUtilSignalNo(const char *sigstr);

/* The container state name; values outside 0..4 give "unknown". */
const char *ozcUtilStateIdToString(int state);

/* Two lower-case hexadecimal digits per byte and a closing NUL. EINVAL when
 * an argument is NULL or 0 or outBufSize < 2 * len + 1. */
STATUS ozcUtilBinToHex(char *output, size_t outBufSize, uint8_t *input, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* OZC_UTIL_H */
