/* ozcMgrUtil.cpp - error codes, their texts and the console output of the
 * image manager library. */
#include "ozcMgrUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ozPlatform.h"
#include "ozcMgrInt.h"

extern "C" {

int _ozcMgrVerboseFlag = 0;

const ozcMgrUtilError ozcMgrUtilErrorTable[OZC_MGR_UTIL_ERROR_COUNT] = {
    {0, "No error"},
    {OZC_MGR_ERR_CURL_FAILED, "Curl operation failed"},
    {OZC_MGR_ERR_HTTP_NOT_OK, "HTTP response code is not OK"},
    {OZC_MGR_ERR_TOKEN_FETCH, "Token fetch failed"},
    {OZC_MGR_ERR_AUTH_HEADER, "HTTP response authentication header is invalid"},
    {OZC_MGR_ERR_INTEGRITY, "File integrity check failed"},
    {OZC_MGR_ERR_PLATFORM_NOT_FOUND, "Orrery OS or specified architecture not found in manifest list"},
    {OZC_MGR_ERR_OCI_TRANSFORM, "Transform the downloaded image to OCI format failed"},
    {OZC_MGR_ERR_INVALID_ARG, "Invalid argument"},
    {OZC_MGR_ERR_MANIFEST_PARSE, "Manifest or manifest list parse failed"},
    {OZC_MGR_ERR_TAGS_PARSE, "Image tags parse failed"},
    {OZC_MGR_ERR_JSON_LOAD, "Json load failed"},
    {OZC_MGR_ERR_SIGNATURE_MISSING, "signature missing for signed container image"},
    {OZC_MGR_ERR_SIGNATURE_VERIFY, "signature verify failed"},
    {OZC_MGR_ERR_NO_MEMORY, "No memory"},
    {OZC_MGR_ERR_NAME_TAKEN, "Local image name is used by another repository"},
    {OZC_MGR_ERR_LAYER_TYPE, "Unsupported layer media type"},
};

int ozcErrnoStrGet(int errCode, char *buf, size_t size)
{
    if (buf == nullptr || size < 2) {
        ozcMgrUtilErr("invalid errbuf or errbuf_len\n");
        return -1;
    }
    memset(buf, 0, size);
    for (const ozcMgrUtilError &row : ozcMgrUtilErrorTable) {
        if (row.errCode == errCode) {
            size_t len = strnlen(row.errMsg, size - 1);
            memcpy(buf, row.errMsg, len);
            return 0;
        }
    }
    /* Not one of ours: the system's text, cut to the buffer. */
    char sys[256] = {0};
    if (strerror_s(sys, sizeof(sys), errCode) != 0 && sys[0] == '\0')
        snprintf(sys, sizeof(sys), "Unknown error %d", errCode);
    size_t len = strnlen(sys, size - 1);
    memcpy(buf, sys, len);
    return 0;
}

void ozcMgrUtilOut(const char *fmt, ...)
{
    if (_ozcMgrVerboseFlag == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stdout, fmt, ap);
    va_end(ap);
    fflush(stdout);
}

void ozcMgrUtilErr(const char *fmt, ...)
{
    if (_ozcMgrVerboseFlag == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

} /* extern "C" */

namespace ozcmgr {

bool envNumberGet(const char *name, long min, long max, long def, long *out)
{
    char value[32] = {0};
    int savedErrno = errnoGet();
    STATUS rc = ozEnvGet(name, value, sizeof(value));
    bool tooLong = rc != OK && errnoGet() == ERANGE;
    errnoSet(savedErrno);
    if (!tooLong && value[0] == '\0') {
        *out = def;
        return true;
    }
    char *end = nullptr;
    long n = tooLong ? 0 : strtol(value, &end, 10);
    if (tooLong || end == value || *end != '\0' || n < min || n > max) {
        ozcMgrUtilErr("%s=%s is not a whole number from %ld to %ld\n", name, tooLong ? "(too long)" : value, min, max);
        return false;
    }
    *out = n;
    return true;
}

} /* namespace ozcmgr */
