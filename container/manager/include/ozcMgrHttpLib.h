/* ozcMgrHttpLib.h - request header lists, response header parsing and HTTP
 * reason phrases of the image manager's transfer layer.
 */
#ifndef OZC_MGR_HTTP_LIB_H
#define OZC_MGR_HTTP_LIB_H

#include <stddef.h>
#include <curl/curl.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A list of complete request header lines ("Name: value"). */
typedef struct HttpHeaderSt {
    struct curl_slist *list;
} HttpHeaderSt, HTTP_HEADER;

/* New empty list, or null ("malloc failed for header\n"). */
HTTP_HEADER *httpHeaderCreate(void);
/* Appends a copy of line. 0 / -1. */
int httpHeaderAppend(HTTP_HEADER *header, const char *line);
/* Frees the lines and the record; null is accepted. */
void httpHeaderFree(HTTP_HEADER *header);

/* Value of a response header field (name case-insensitive) found in the
 * accumulated header text, copied into out. 0 / -1. */
int httpHeaderValGet(const char *header, const char *field, char *out, size_t out_size);

/* Method, realm and service of the first authentication challenge in the
 * accumulated header text. 0 / -1. */
int httpHeaderAuthGet(const char *header, char *method, size_t method_size, char *realm, size_t realm_size,
                      char *service, size_t service_size);

/* IANA reason phrase of a status code, or "Unknown response code". */
const char *httpResponseCodeStrGet(long code);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_HTTP_LIB_H */
