/* ozcMgrCurlLib.h - HTTP transfer layer of the image manager.
 *
 * A transfer context carries credentials, the TLS policy, an optional output
 * file and the last response. GET, HEAD and POST run one libcurl easy handle
 * each; nothing is kept between requests. A request method returns 0 when
 * the transfer completed at the transport level, whatever the HTTP status
 * (read it with curlCtxHttpRespCodeGet), and -1 otherwise.
 *
 * TLS: with `secure` set, HTTPS verifies the peer and its host name against
 * the CA named by the OS-wide variables OZC_TLS_CA_CERT_FILE /
 * OZC_TLS_CA_CERT_PATH, else against libcurl's default store. A variable
 * that names something missing or unreadable fails the request (libcurl
 * code CURLE_SSL_CACERT_BADFILE) with a message naming it.
 *
 * Bounds of every request (OS-wide variables, read per request; a value
 * that is not a number in range fails the request with
 * CURLE_BAD_FUNCTION_ARGUMENT and a message naming it):
 *   OZC_HTTP_CONNECT_TIMEOUT  seconds to connect, TLS included (30)
 *   OZC_HTTP_LOW_SPEED_LIMIT  bytes per second ... (1024)
 *   OZC_HTTP_LOW_SPEED_TIME   ... below which for this many seconds the
 *                             transfer fails with CURLE_OPERATION_TIMEDOUT (60)
 *   OZC_HTTP_RETRIES          repeats of a GET or HEAD answered 429 or 503 (3)
 *   OZC_HTTP_RETRY_WAIT_MAX   longest wait before a repeat, in seconds (30);
 *                             the wait is the reply's Retry-After (seconds
 *                             or HTTP date), else 1, 2, 4... seconds
 * Redirects: at most 10, and never from HTTPS to plain HTTP. Bodies of
 * answers other than 2xx always go to the response text (for the error
 * message), never into the output file or body sink.
 */
#ifndef OZC_MGR_CURL_LIB_H
#define OZC_MGR_CURL_LIB_H

#include <stdio.h>
#include <stddef.h>
#include <curl/curl.h>
#include "ozcMgrHttpLib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CURL_CTX_USER_SIZE      256
#define CURL_CTX_PASSWORD_SIZE  4096
#define CURL_CTX_TOKEN_SIZE     4096
#define CURL_CTX_FILE_NAME_SIZE 1024
#define HTTP_RESPONSE_SIZE      8192

typedef enum { HTTP_AUTH_METHOD_BASIC = 0, HTTP_AUTH_METHOD_DIGEST = 1, HTTP_AUTH_METHOD_BEARER = 2 } HTTP_AUTH_METHOD;

typedef enum {
    HTTP_REQUEST_METHOD_GET = 0,
    HTTP_REQUEST_METHOD_HEAD = 1,
    HTTP_REQUEST_METHOD_POST = 2,
    HTTP_REQUEST_METHOD_PUT = 3
} HTTP_REQUEST_METHOD;

typedef enum {
    TRANSFER_PROTOCOL_HTTP = 0,
    TRANSFER_PROTOCOL_HTTPS = 1,
    TRANSFER_PROTOCOL_FTP = 2,
    TRANSFER_PROTOCOL_UNKNOWN = 3
} TRANSFER_PROTOCOL;

/* Response text: always NUL-terminated; `size` counts the bytes appended
 * during the running transfer and is reset to 0 after it. */
typedef struct HttpResponseSt {
    char str[HTTP_RESPONSE_SIZE];
    size_t size;
} HttpResponseSt, HTTP_RESPONSE;

/* Request body consumed by the read callback. */
typedef struct PostDataSt {
    const char *data;
    size_t size;
} PostDataSt, POST_DATA;

/* Body sink of a request: takes each chunk of a 2xx body; returns `len` to
 * go on, anything else ends the transfer with a write error. */
typedef size_t (*HTTP_BODY_SINK)(const char *data, size_t len, void *arg);

typedef struct CurlCtxSt {
    HTTP_AUTH_METHOD http_auth_method;
    char user[CURL_CTX_USER_SIZE];
    char password[CURL_CTX_PASSWORD_SIZE];
    char bearer_token[CURL_CTX_TOKEN_SIZE];
    HTTP_REQUEST_METHOD http_request_method;
    int secure;
    int verbose;
    int save_to_file;
    char file_name[CURL_CTX_FILE_NAME_SIZE];
    FILE *stream;
    HTTP_RESPONSE response_header;
    HTTP_RESPONSE response_body;
    CURLcode curl_errno;
    long http_response_code;
    /* Bound and destination of the next request's body; the request clears
     * them (an unbounded body of the response text stops at its size). */
    int body_limited;
    long long body_limit;
    HTTP_BODY_SINK body_sink;
    void *body_sink_arg;
    /* Set by the last request when its body went beyond body_limit. */
    int body_cut;
} CurlCtxSt, CURL_CTX;

/* Protocol handler: one transfer of the context's request method. */
typedef int (*TRANSFER_PROTOCOL_HANDLER)(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header);
typedef struct TransferProtocolHandlerSt {
    TRANSFER_PROTOCOL protocol;
    TRANSFER_PROTOCOL_HANDLER handler;
} TransferProtocolHandlerSt, TRANSFER_PROTOCOL_HANDLER_ST;

/* Context life. */
CURL_CTX *curlCtxCreate(void);
void curlCtxDelete(CURL_CTX *ctx);

/* Setters: 0 / -1. Texts are copied only when they fit their field. */
int curlCtxUserNameSet(CURL_CTX *ctx, const char *name, size_t len);
int curlCtxUserPwdSet(CURL_CTX *ctx, const char *pwd, size_t len);
int curlCtxBearerTokenSet(CURL_CTX *ctx, const char *token, size_t len);
int curlCtxFileNameSet(CURL_CTX *ctx, const char *file_name, size_t len);
int curlCtxAuthMethodSet(CURL_CTX *ctx, HTTP_AUTH_METHOD method);
int curlCtxSecureSet(CURL_CTX *ctx, int secure);
int curlCtxVerboseSet(CURL_CTX *ctx, int verbose);

/* Getters. */
int curlCtxSecureGet(const CURL_CTX *ctx);
const char *curlCtxUserNameGet(const CURL_CTX *ctx);
const char *curlCtxUserPwdGet(const CURL_CTX *ctx);
CURLcode curlCtxErrnoGet(const CURL_CTX *ctx);
long curlCtxHttpRespCodeGet(const CURL_CTX *ctx);
HTTP_RESPONSE *curlCtxRespHeaderGet(CURL_CTX *ctx);
HTTP_RESPONSE *curlCtxRespBodyGet(CURL_CTX *ctx);

/* Requests; header may be null. */
int ozcMgrCurlGet(const char *url, CURL_CTX *ctx, HTTP_HEADER *header);
int ozcMgrCurlHead(const char *url, CURL_CTX *ctx, HTTP_HEADER *header);
int ozcMgrCurlPost(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header);

/* The two protocol handlers of the map. */
int ozcMgrCurlMethodByHTTP(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header);
int ozcMgrCurlMethodByHTTPS(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_CURL_LIB_H */
