/* ozcMgrUtil.h - error codes, error texts and console output of the image
 * manager library.
 *
 * Every failing operation of the library leaves one of the codes below (or
 * 12, out of memory) in the calling task's errno; ozcErrnoStrGet() turns a
 * code into its text. The library prints plain lines only while the exported
 * flag _ozcMgrVerboseFlag is non-zero: errors on standard error, progress on
 * standard output, without any prefix.
 */
#ifndef OZC_MGR_UTIL_H
#define OZC_MGR_UTIL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OZC_MGR_ERR_CURL_FAILED        0xE00001 /* Curl operation failed */
#define OZC_MGR_ERR_HTTP_NOT_OK        0xE00002 /* HTTP response code is not OK */
#define OZC_MGR_ERR_TOKEN_FETCH        0xE00003 /* Token fetch failed */
#define OZC_MGR_ERR_AUTH_HEADER        0xE00004 /* authentication header is invalid */
#define OZC_MGR_ERR_INTEGRITY          0xE00005 /* File integrity check failed */
#define OZC_MGR_ERR_PLATFORM_NOT_FOUND 0xE00006 /* no Orrery/arch entry in the list */
#define OZC_MGR_ERR_OCI_TRANSFORM      0xE00007 /* OCI layout could not be written */
#define OZC_MGR_ERR_INVALID_ARG        0xE00008 /* Invalid argument */
#define OZC_MGR_ERR_MANIFEST_PARSE     0xE00009 /* Manifest or manifest list parse failed */
#define OZC_MGR_ERR_TAGS_PARSE         0xE0000A /* Image tags parse failed */
#define OZC_MGR_ERR_JSON_LOAD          0xE0000B /* Json load failed */
#define OZC_MGR_ERR_SIGNATURE_MISSING  0xE0000C /* signature missing */
#define OZC_MGR_ERR_SIGNATURE_VERIFY   0xE0000D /* signature verify failed */
#define OZC_MGR_ERR_NO_MEMORY          12       /* the system's ENOMEM */
#define OZC_MGR_ERR_NAME_TAKEN         0xE0000E /* the local image name holds another repository */
#define OZC_MGR_ERR_LAYER_TYPE         0xE0000F /* a layer of a media type the runtime cannot unpack */

/* Library verbosity: 0 at load; non-zero prints the library's messages. */
extern int _ozcMgrVerboseFlag;

/* Text of an error code into buf (cut to size - 1); codes outside the table
 * get the system's text. 0, or -1 for a null buffer or size below 2. */
int ozcErrnoStrGet(int errCode, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_UTIL_H */
