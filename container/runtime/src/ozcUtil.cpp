/*
 * ozcUtil.cpp - utilities of the container runtime library: error table
 * and display, base directories, layer extraction entry, recursive delete,
 * signal and state names, hexadecimal conversion, digest text validation
 * and the credential prompt.
 */
#include "ozcUtil.h"
#include "ozOwners.h"
#include "ozcTarLib.h"
#include "ozcUtilInternal.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

using ozc::failWith;

const ozcUtilError ozcUtilErrorMap[OZC_UTIL_ERROR_COUNT] = {
    {OZC_ERR_OCI_LAYOUT_NOT_FOUND, "File oci-layout not found"},
    {OZC_ERR_OCI_LAYOUT_INVALID, "Json file oci-layout invalid"},
    {OZC_ERR_INDEX_NOT_FOUND, "File index.json not found"},
    {OZC_ERR_INDEX_INVALID, "File index.json invalid"},
    {OZC_ERR_PLATFORM_NOT_FOUND, "Specified platform or architecture or tag not found"},
    {OZC_ERR_NO_IMAGE_CONFIG, "No image config found"},
    {OZC_ERR_IMAGE_CONFIG_INVALID, "Image config invalid"},
    {OZC_ERR_NO_MANIFEST, "No manifest found"},
    {OZC_ERR_MANIFEST_INVALID, "Manifest invalid"},
    {OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID, "OCI bundle config.json parameter invalid"},
    {OZC_ERR_BUNDLE_ROOTFS_EXISTS, "OCI bundle rootfs already exists"},
    {OZC_ERR_BUNDLE_CONFIG_EXISTS, "OCI bundle config.json already exists"},
    {OZC_ERR_BUNDLE_CONFIG_NOT_EXISTS, "OCI bundle config.json not exists"},
    {OZC_ERR_OCI_VERSION_INVALID, "OCI version invalid"},
    {OZC_ERR_OCI_ROOT_INVALID, "OCI root parameter invalid"},
    {OZC_ERR_OCI_CWD_INVALID, "OCI cwd parameter invalid"},
    {OZC_ERR_OCI_ARG_INVALID, "OCI arg parameter invalid"},
    {OZC_ERR_RTP_SPAWN_FAILED, "RTP spawn failed"},
    {OZC_ERR_RUNTIME_CONFIG_LOAD_FAILED, "OCI runtime config.json not found or load failed"},
    {OZC_ERR_MOUNT_FAILED, "Mount failed"},
    {OZC_ERR_UNMOUNT_FAILED, "Unmount failed"},
    {ENODEV, "Container does not exist"},
    {EBUSY, "Container in use"},
    {EINVAL, "Invalid parameter"},
    {OZC_ERR_CONTAINER_EXISTS, "Container already exists"},
    {OZC_ERR_BUNDLE_IN_USE, "The bundle is already in use"},
    {OZC_ERR_BUNDLE_PATH_TOO_LONG, "Container bundle path is too long"},
    {OZC_ERR_NS_CREATE_FAILED, "Container name space ID create failed"},
    {OZC_ERR_ROOTFS_CREATE_FAILED, "Container rootfs create failed"},
    {OZC_ERR_ADDITIONAL_MOUNT_FAILED, "Container additional mount failed"},
    {OZC_ERR_INVALID_FORMAT_OPTION, "invalid format option"},
    {EEXIST, "Target file or directory already exists"},
    {ESRCH, "The process is not running"},
    {OZC_ERR_RTP_NOT_RUNNING, "The process is not running"},
    {EROFS, "Write to read-only file system"},
    {EISDIR, "Target is a directory"},
    {ENOSPC, "No space left on device"},
    {OZC_ERR_DAEMON_NOT_RUNNING, "The daemon is not running"},
    {OZC_ERR_SIGNATURE_MISSING, "signature missing for signed container image"},
    {OZC_ERR_SIGNATURE_VERIFY_FAILED, "signature verify failed"},
};

/* The signal names of the target, with the numbers of the OS this build
 * runs on (from the platform); a name the OS has no signal for has -1. */
#define OZC_SIG(name)                                                                                                  \
    {                                                                                                                  \
        ozSysSignalNoGet(name), name                                                                                   \
    }
const signalmap signalList[OZC_SIGNAL_COUNT] = {
    OZC_SIG("HUP"),  OZC_SIG("INT"),  OZC_SIG("QUIT"), OZC_SIG("ILL"),  OZC_SIG("TRAP"),  OZC_SIG("ABRT"),
    OZC_SIG("EMT"),  OZC_SIG("FPE"),  OZC_SIG("KILL"), OZC_SIG("BUS"),  OZC_SIG("SEGV"),  OZC_SIG("FMT"),
    OZC_SIG("PIPE"), OZC_SIG("ALRM"), OZC_SIG("TERM"), OZC_SIG("CNCL"), OZC_SIG("STOP"),  OZC_SIG("TSTP"),
    OZC_SIG("CONT"), OZC_SIG("CHLD"), OZC_SIG("TTIN"), OZC_SIG("TTOU"), OZC_SIG("RES1"),  OZC_SIG("RES2"),
    OZC_SIG("RES3"), OZC_SIG("RES4"), OZC_SIG("RES5"), OZC_SIG("RES6"), OZC_SIG("RES7"),  OZC_SIG("USR1"),
    OZC_SIG("USR2"), OZC_SIG("POLL"), OZC_SIG("PROF"), OZC_SIG("SYS"),  OZC_SIG("URG"),   OZC_SIG("VTALRM"),
    OZC_SIG("XCPU"), OZC_SIG("XFSZ"), OZC_SIG("EVTS"), OZC_SIG("EVTD"), OZC_SIG("RTMIN"), OZC_SIG("RTMAX"),
};
#undef OZC_SIG

const char *const ozcStateString[OZC_STATE_COUNT] = {"creating", "created", "running", "stopped", "unknown"};

namespace {

constexpr size_t kSigNameCmpMax = 10;
constexpr size_t kErrTextMax = 256;

} // namespace

/* ------------------------------------------------------------------------
 * Base directories
 * ------------------------------------------------------------------------ */
size_t ozcBasePathGet(char *path, size_t bufLen, uint32_t type)
{
    if (path == nullptr || bufLen == 0) {
        return failWith(EINVAL, 0);
    }
    const char *suffix;
    switch (type) {
    case OZC_LAYER_PATH:
        suffix = "/layers";
        break;
    case OZC_FLATTENED_PATH:
        suffix = "/flattened/";
        break;
    case OZC_CONTAINERS_PATH:
        suffix = "/containers/";
        break;
    case OZC_RUN_PATH:
        suffix = "/run/";
        break;
    default:
        return failWith(ENOTSUP, 0);
    }

    char base[OZC_PATH_MAX];
    if (ozEnvGet(OZC_BASE_ENV, base, sizeof(base)) != OK || base[0] != '/') {
        ozc::pathCopy(base, sizeof(base), OZC_BASE_PATH_DEFAULT);
    } else {
        size_t len = strlen(base);
        while (len > 0 && base[len - 1] == '/')
            base[--len] = '\0';
    }
    int n = snprintf(path, bufLen, "%s%s", base, suffix);
    if (n < 0 || (size_t)n >= bufLen) {
        path[0] = '\0';
        return failWith(ENAMETOOLONG, 0);
    }
    if (ozMkdirP(path, 0700) != OK)
        return 0;
    return (size_t)n;
}

/* ------------------------------------------------------------------------
 * Error display
 * ------------------------------------------------------------------------ */
void ozcUtilShowErr(int errCode)
{
    if (errCode == 0)
        return;
    for (const auto &e : ozcUtilErrorMap) {
        if (e.errCode == errCode) {
            printf("Error: %s.\n", e.errMsg);
            return;
        }
    }
    char text[kErrTextMax];
    if (strerror_s(text, sizeof(text), errCode) != 0)
        snprintf(text, sizeof(text), "Unknown error %d", errCode);
    printf("Error: %s.\n", text);
}

void ozcUtilDiag(const char *fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    fprintf(stderr, "ozc: %s\n", line);
}

/* ------------------------------------------------------------------------
 * Layer extraction
 * ------------------------------------------------------------------------ */
STATUS ozcUtilUntar(const char *srcTarFile, const char *desPath)
{
    return ozcTarExtract(srcTarFile, desPath, OZC_UNTAR_BFACTOR, FALSE);
}

/* ------------------------------------------------------------------------
 * Recursive delete
 * ------------------------------------------------------------------------ */
BOOL ozcUtilNameIsDir(const char *pName, BOOL link)
{
    if (pName == nullptr || pName[0] == '\0')
        return FALSE;
    struct stat st;
    int rc = link ? lstat(pName, &st) : stat(pName, &st);
    return rc == 0 && S_ISDIR(st.st_mode) ? TRUE : FALSE;
}

STATUS ozcUtilFindSubDirAndClean(const char *pName, char *pSubDir, int pSubDirLen, BOOL clean)
{
    if (pName == nullptr) {
        return failWith(EINVAL);
    }
    oz::DirPtr dir(opendir(pName));
    if (!dir)
        return ERROR;
    char path[OZC_PATH_MAX];
    int baseLen = snprintf(path, sizeof(path), "%s", pName);
    if (baseLen < 0 || (size_t)baseLen >= sizeof(path) - 1) {
        return failWith(ENAMETOOLONG);
    }
    if (baseLen == 0 || path[baseLen - 1] != '/') {
        path[baseLen++] = '/';
        path[baseLen] = '\0';
    }
    for (;;) {
        errno = 0;
        struct dirent *ent = readdir(dir.get());
        if (ent == nullptr)
            return ERROR; /* no sub-directory */
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0)
            continue;
        int n = snprintf(path + baseLen, sizeof(path) - (size_t)baseLen, "%s", ent->d_name);
        if (n < 0 || (size_t)n >= sizeof(path) - (size_t)baseLen) {
            return failWith(ENAMETOOLONG);
        }
        if (ozcUtilNameIsDir(path, TRUE)) {
            if (pSubDir != nullptr) {
                if (pSubDirLen <= 0 || strlen(path) >= (size_t)pSubDirLen) {
                    return failWith(ENAMETOOLONG);
                }
                memcpy(pSubDir, path, strlen(path) + 1);
            }
            return OK;
        }
        if (clean && unlink(path) != 0)
            return ERROR;
    }
}

STATUS ozcUtilXdelete(const char *source)
{
    if (source == nullptr) {
        return failWith(EINVAL);
    }
    /* Anything but a real directory, a symbolic link included, is removed
     * itself; a link is never followed. */
    if (!ozcUtilNameIsDir(source, TRUE))
        return unlink(source) == 0 ? OK : ERROR;
    if (strlen(source) >= OZC_PATH_MAX) {
        return failWith(ENAMETOOLONG);
    }

    char bufA[OZC_PATH_MAX];
    char bufB[OZC_PATH_MAX];
    for (;;) {
        {
            oz::DirPtr top(opendir(source));
            if (!top)
                return ERROR;
        }
        char *cur = bufA;
        char *next = bufB;
        memcpy(cur, source, strlen(source) + 1);
        bool atTop = true;
        /* Walk down the first sub-directory of each level, removing files. */
        while (ozcUtilFindSubDirAndClean(cur, next, OZC_PATH_MAX, TRUE) == OK) {
            std::swap(cur, next);
            atTop = false;
        }
        /* cur has no sub-directory left (or cannot be cleaned). */
        (void)ozcUtilFindSubDirAndClean(cur, nullptr, 0, TRUE);
        if (rmdir(cur) != 0)
            return ERROR;
        if (atTop)
            return OK;
    }
}

/* ------------------------------------------------------------------------
 * Credential prompt
 * ------------------------------------------------------------------------ */
STATUS ozcUtilCredGetFromStdin(char *credential, size_t credential_size, const char *prompt_info)
{
    if (credential == nullptr || credential_size == 0) {
        return failWith(EINVAL);
    }
    credential[0] = '\0';
    if (prompt_info != nullptr)
        printf("%s", prompt_info);
    fflush(stdout);

    BOOL echoOn = FALSE;
    if (ozConsoleEchoGet(STDIN_FILENO, &echoOn) != OK)
        return ERROR;
    if (ozConsoleEchoSet(STDIN_FILENO, FALSE) != OK)
        return ERROR;

    int size = credential_size > INT_MAX ? INT_MAX : (int)credential_size;
    STATUS result = ERROR;
    if (fgets(credential, size, stdin) != nullptr) {
        size_t len = strlen(credential);
        if (len > 0 && credential[len - 1] == '\n')
            credential[--len] = '\0';
        if (len > 0 && credential[len - 1] == '\r')
            credential[--len] = '\0';
        result = OK;
    } else {
        credential[0] = '\0';
    }
    printf("\n");
    fflush(stdout);
    (void)ozConsoleEchoSet(STDIN_FILENO, echoOn);
    return result;
}

/* ------------------------------------------------------------------------
 * Names and conversions
 * ------------------------------------------------------------------------ */
int ozcUtilSignalNo(const char *sigstr)
{
    if (sigstr == nullptr)
        return -1;
    for (const auto &s : signalList) {
        if (strncmp(s.sigstr, sigstr, kSigNameCmpMax) == 0 && strlen(sigstr) < kSigNameCmpMax)
            return s.signo;
    }
    return -1;
}

const char *ozcUtilStateIdToString(int state)
{
    if (state < 0 || state >= OZC_STATE_COUNT)
        return ozcStateString[OZC_STATE_COUNT - 1];
    return ozcStateString[state];
}

STATUS ozcUtilBinToHex(char *output, size_t outBufSize, uint8_t *input, size_t len)
{
    if (output == nullptr || input == nullptr || outBufSize == 0 || len == 0 || len > (SIZE_MAX - 1) / 2 ||
        outBufSize < 2 * len + 1) {
        return failWith(EINVAL);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < len; i++) {
        output[2 * i] = kHex[input[i] >> 4];
        output[2 * i + 1] = kHex[input[i] & 0x0f];
    }
    output[2 * len] = '\0';
    return OK;
}

STATUS ozcUtilDigestValidate(const char *digest)
{
    if (digest == nullptr) {
        return failWith(EINVAL);
    }
    size_t hexLen;
    const char *hex;
    if (strncmp(digest, "sha256:", 7) == 0) {
        hexLen = 64;
        hex = digest + 7;
    } else if (strncmp(digest, "sha512:", 7) == 0) {
        hexLen = 128;
        hex = digest + 7;
    } else {
        return failWith(EINVAL);
    }
    size_t i = 0;
    for (; hex[i] != '\0'; i++) {
        char c = hex[i];
        if (i >= hexLen || !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return failWith(EINVAL);
        }
    }
    if (i != hexLen) {
        return failWith(EINVAL);
    }
    return OK;
}
