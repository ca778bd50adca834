/* ozcMgrUtil.cpp - error codes, their texts and the console output of the
 * image manager library. */
#include "ozcMgrUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ozPlatform.h"

extern "C" {

int _ozcMgrVerboseFlag = 0;

const ozcMgrUtilError ozcMgrUtilErrorTable[OZC_MGR_UTIL_ERROR_COUNT] = {
    {0, "No error"},
    {OZC_MGR_ERR_CURL_FAILED, "Curl operation failed"},
    {OZC_MGR_ERR_HTTP_NOT_OK, "HTTP response code is not OK"},
    {OZC_MGR_ERR_TOKEN_FETCH, "Token fetch failed"},
    {OZC_MGR_ERR_AUTH_HEADER, "HTTP response authentication header is invalid"},
    {OZC_MGR_ERR_INTEGRITY, "File integrity check failed"},
    {OZC_MGR_ERR_PLATFORM_NOT_FOUND,
     "Orrery OS or specified architecture not found in manifest list"},
    {OZC_MGR_ERR_OCI_TRANSFORM, "Transform the downloaded image to OCI format failed"},
    {OZC_MGR_ERR_INVALID_ARG, "Invalid argument"},
    {OZC_MGR_ERR_MANIFEST_PARSE, "Manifest or manifest list parse failed"},
    {OZC_MGR_ERR_TAGS_PARSE, "Image tags parse failed"},
    {OZC_MGR_ERR_JSON_LOAD, "Json load failed"},
    {OZC_MGR_ERR_SIGNATURE_MISSING, "signature missing for signed container image"},
    {OZC_MGR_ERR_SIGNATURE_VERIFY, "signature verify failed"},
    {OZC_MGR_ERR_NO_MEMORY, "No memory"},
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
