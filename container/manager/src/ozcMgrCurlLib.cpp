/* ozcMgrCurlLib.cpp - HTTP transfer layer of the image manager: the transfer
 * context and the GET, HEAD and POST requests, one libcurl easy handle each.
 */
#include "ozcMgrCurlLib.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "ozPlatform.h"
#include "ozcMgrUtil.h"

namespace {

constexpr size_t kSchemeMax = 32;
constexpr size_t kEnvValueSize = 1024;
constexpr size_t kUserPwdSize = 4352;

/* libcurl's global state is set up once when the library is loaded, so the
 * initialise/clean-up pair of each request only counts references and never
 * tears the state down under another caller. */
struct CurlGlobalHolder {
    CurlGlobalHolder() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobalHolder() { curl_global_cleanup(); }
};
const CurlGlobalHolder curlGlobalHolder;

/* Copies a length-checked text into a fixed field; refuses what does not fit. */
int fieldSet(char *field, size_t fieldSize, const char *value, size_t len)
{
    if (len >= fieldSize)
        return -1;
    memcpy(field, value, len);
    field[len] = '\0';
    return 0;
}

/* Response header and body text: chunks that would reach the buffer's size
 * are dropped but reported as consumed, so a long reply does not fail the
 * transfer; later chunks that fit are still appended. */
size_t bufferCallback(char *ptr, size_t size, size_t count, void *userdata)
{
    auto *resp = static_cast<HTTP_RESPONSE *>(userdata);
    size_t n = size * count;
    if (resp->size + n >= HTTP_RESPONSE_SIZE)
        return n;
    memcpy(resp->str + resp->size, ptr, n);
    resp->size += n;
    resp->str[resp->size] = '\0';
    return n;
}

size_t fileCallback(char *ptr, size_t size, size_t count, void *userdata)
{
    auto *stream = static_cast<FILE *>(userdata);
    if (stream == nullptr)
        return size * count;
    return fwrite(ptr, size, count, stream) * size;
}

size_t readCallback(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *body = static_cast<POST_DATA *>(userdata);
    size_t room = size * count;
    size_t n = body->size < room ? body->size : room;
    if (n == 0)
        return 0;
    memcpy(buffer, body->data, n);
    body->data += n;
    body->size -= n;
    return n;
}

bool fileExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

/* True when the caller's header list carries its own Authorization line,
 * which then takes the place of the context's credentials. */
bool headerHasAuthorization(const HTTP_HEADER *header)
{
    if (header == nullptr)
        return false;
    for (const struct curl_slist *l = header->list; l != nullptr; l = l->next) {
        if (strncasecmp(l->data, "Authorization:", 14) == 0)
            return true;
    }
    return false;
}

struct EasyDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

/* Common options; false when the request cannot be sent. */
bool commonOptionsSet(CURL *h, const char *url, CURL_CTX *ctx, POST_DATA *body,
                      HTTP_HEADER *header, char *userPwd)
{
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_HEADER, 0L);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    switch (ctx->http_request_method) {
    case HTTP_REQUEST_METHOD_HEAD:
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        break;
    case HTTP_REQUEST_METHOD_GET:
    case HTTP_REQUEST_METHOD_POST:
        if (ctx->save_to_file) {
            ctx->stream = fopen(ctx->file_name, "wb");
            if (ctx->stream == nullptr) {
                ozcMgrUtilErr("open file %s failed\n", ctx->file_name);
                return false;
            }
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, fileCallback);
            curl_easy_setopt(h, CURLOPT_WRITEDATA, ctx->stream);
        } else {
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, bufferCallback);
            curl_easy_setopt(h, CURLOPT_WRITEDATA, &ctx->response_body);
        }
        break;
    default:
        ozcMgrUtilErr("http method %d not implementated yet\n",
                      static_cast<int>(ctx->http_request_method));
        return false;
    }
    if (ctx->http_request_method == HTTP_REQUEST_METHOD_POST && body != nullptr) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, readCallback);
        curl_easy_setopt(h, CURLOPT_READDATA, body);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size));
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, bufferCallback);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &ctx->response_header);
    if (!headerHasAuthorization(header)) {
        if (ctx->http_auth_method == HTTP_AUTH_METHOD_BASIC && ctx->user[0] != '\0' &&
            ctx->password[0] != '\0') {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            snprintf(userPwd, kUserPwdSize, "%s:%s", ctx->user, ctx->password);
            curl_easy_setopt(h, CURLOPT_USERPWD, userPwd);
        } else if (ctx->http_auth_method == HTTP_AUTH_METHOD_BEARER &&
                   ctx->bearer_token[0] != '\0') {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER));
            curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, ctx->bearer_token);
        }
    }
    if (header != nullptr)
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, header->list);
    curl_easy_setopt(h, CURLOPT_VERBOSE, static_cast<long>(ctx->verbose));
    return true;
}

void tlsOptionsSet(CURL *h, const CURL_CTX *ctx)
{
    if (!ctx->secure) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
        return;
    }
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    char value[kEnvValueSize] = {0};
    if (ozEnvGet("OZC_TLS_CA_CERT_FILE", value, sizeof(value)) == 0 && value[0] != '\0' &&
        fileExists(value))
        curl_easy_setopt(h, CURLOPT_CAINFO, value); /* libcurl copies the text */
    memset(value, 0, sizeof(value));
    if (ozEnvGet("OZC_TLS_CA_CERT_PATH", value, sizeof(value)) == 0 && value[0] != '\0' &&
        fileExists(value))
        curl_easy_setopt(h, CURLOPT_CAPATH, value);
}

int transfer(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header,
             bool https)
{
    int result = -1;
    /* The texts of the previous transfer must not pass for this one's when
     * it brings no header or body text (HEAD, a reply that did not fit). */
    ctx->response_header.str[0] = '\0';
    ctx->response_body.str[0] = '\0';
    curl_global_init(CURL_GLOBAL_ALL);
    {
        EasyHandle h(curl_easy_init());
        if (h) {
            char userPwd[kUserPwdSize] = {0};
            char errBuf[CURL_ERROR_SIZE] = {0};
            if (commonOptionsSet(h.get(), url, ctx, body, header, userPwd)) {
                if (https)
                    tlsOptionsSet(h.get(), ctx);
                curl_easy_setopt(h.get(), CURLOPT_ERRORBUFFER, errBuf);
                ctx->curl_errno = curl_easy_perform(h.get());
                if (ctx->curl_errno != CURLE_OK) {
                    ctx->http_response_code = 0;
                    ozcMgrUtilErr("libcurl error %d: %s, %s\n", static_cast<int>(ctx->curl_errno),
                                  curl_easy_strerror(ctx->curl_errno), errBuf);
                } else {
                    long code = 0;
                    curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
                    ctx->http_response_code = code;
                    result = 0;
                }
            } else {
                ctx->http_response_code = 0;
            }
            /* The credentials formatted for libcurl do not outlive the request. */
            memset(userPwd, 0, sizeof(userPwd));
        }
    }
    if (ctx->stream != nullptr) {
        if (fclose(ctx->stream) != 0 && result == 0) {
            ozcMgrUtilErr("close file %s failed\n", ctx->file_name);
            result = -1;
        }
        ctx->stream = nullptr;
    }
    ctx->save_to_file = 0;
    ctx->response_header.size = 0;
    ctx->response_body.size = 0;
    curl_global_cleanup();
    return result;
}

int dispatch(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header,
             HTTP_REQUEST_METHOD method)
{
    if (url == nullptr || ctx == nullptr) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        return -1;
    }
    ctx->http_request_method = method;
    ozcMgrUtilOut("Requesting %s\n", url);
    const char *colon = strchr(url, ':');
    if (colon == nullptr)
        return -1;
    size_t len = static_cast<size_t>(colon - url);
    if (len >= kSchemeMax) {
        ozcMgrUtilErr("transfer_protocol length is too long\n");
        return -1;
    }
    char scheme[kSchemeMax] = {0};
    memcpy(scheme, url, len);
    TRANSFER_PROTOCOL protocol = TRANSFER_PROTOCOL_UNKNOWN;
    if (strcmp(scheme, "http") == 0)
        protocol = TRANSFER_PROTOCOL_HTTP;
    else if (strcmp(scheme, "https") == 0)
        protocol = TRANSFER_PROTOCOL_HTTPS;
    if (protocol == TRANSFER_PROTOCOL_UNKNOWN) {
        ozcMgrUtilErr("unknown transfer transport protocol %s\n", scheme);
        return -1;
    }
    for (const TransferProtocolHandlerSt &entry : transferProtocolHandlerMap) {
        if (entry.handler == nullptr)
            break;
        if (entry.protocol == protocol)
            return entry.handler(url, ctx, body, header);
    }
    return -1;
}

} /* namespace */

extern "C" {

const TransferProtocolHandlerSt transferProtocolHandlerMap[3] = {
    {TRANSFER_PROTOCOL_HTTP, ozcMgrCurlMethodByHTTP},
    {TRANSFER_PROTOCOL_HTTPS, ozcMgrCurlMethodByHTTPS},
    {TRANSFER_PROTOCOL_HTTP, nullptr},
};

CURL_CTX *curlCtxCreate(void)
{
    auto *ctx = static_cast<CURL_CTX *>(calloc(1, sizeof(CURL_CTX)));
    if (ctx == nullptr)
        ozcMgrUtilErr("malloc failed for CURL_CTX\n");
    return ctx;
}

void curlCtxDelete(CURL_CTX *ctx)
{
    if (ctx == nullptr)
        return;
    if (ctx->stream != nullptr)
        fclose(ctx->stream);
    /* Credentials and tokens must not stay in freed memory. */
    explicit_bzero(ctx, sizeof(*ctx));
    free(ctx);
}

int curlCtxUserNameSet(CURL_CTX *ctx, const char *name, size_t len)
{
    if (ctx == nullptr || name == nullptr || len == 0) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        return -1;
    }
    if (fieldSet(ctx->user, sizeof(ctx->user), name, len) != 0) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        ozcMgrUtilErr("user_name_len is too long\n");
        return -1;
    }
    return 0;
}

int curlCtxUserPwdSet(CURL_CTX *ctx, const char *pwd, size_t len)
{
    if (ctx == nullptr || pwd == nullptr || len == 0) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        return -1;
    }
    if (fieldSet(ctx->password, sizeof(ctx->password), pwd, len) != 0) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        ozcMgrUtilErr("user_pwd_len is too long\n");
        return -1;
    }
    return 0;
}

int curlCtxBearerTokenSet(CURL_CTX *ctx, const char *token, size_t len)
{
    if (ctx == nullptr || token == nullptr || len == 0)
        return -1;
    if (fieldSet(ctx->bearer_token, sizeof(ctx->bearer_token), token, len) != 0) {
        ozcMgrUtilErr("token_len is too long\n");
        return -1;
    }
    return 0;
}

int curlCtxFileNameSet(CURL_CTX *ctx, const char *file_name, size_t len)
{
    if (ctx == nullptr || file_name == nullptr || len == 0)
        return -1;
    if (fieldSet(ctx->file_name, sizeof(ctx->file_name), file_name, len) != 0) {
        ozcMgrUtilErr("file_name_len is too long\n");
        return -1;
    }
    ctx->save_to_file = 1;
    return 0;
}

int curlCtxAuthMethodSet(CURL_CTX *ctx, HTTP_AUTH_METHOD method)
{
    if (ctx == nullptr)
        return -1;
    ctx->http_auth_method = method;
    return 0;
}

int curlCtxSecureSet(CURL_CTX *ctx, int secure)
{
    if (ctx == nullptr)
        return -1;
    ctx->secure = secure;
    return 0;
}

int curlCtxVerboseSet(CURL_CTX *ctx, int verbose)
{
    if (ctx == nullptr)
        return -1;
    ctx->verbose = verbose;
    return 0;
}

int curlCtxSecureGet(const CURL_CTX *ctx) { return ctx->secure; }
const char *curlCtxUserNameGet(const CURL_CTX *ctx) { return ctx->user; }
const char *curlCtxUserPwdGet(const CURL_CTX *ctx) { return ctx->password; }
CURLcode curlCtxErrnoGet(const CURL_CTX *ctx) { return ctx->curl_errno; }
long curlCtxHttpRespCodeGet(const CURL_CTX *ctx) { return ctx->http_response_code; }
HTTP_RESPONSE *curlCtxRespHeaderGet(CURL_CTX *ctx) { return &ctx->response_header; }
HTTP_RESPONSE *curlCtxRespBodyGet(CURL_CTX *ctx) { return &ctx->response_body; }

int ozcMgrCurlGet(const char *url, CURL_CTX *ctx, HTTP_HEADER *header)
{
    return dispatch(url, ctx, nullptr, header, HTTP_REQUEST_METHOD_GET);
}

int ozcMgrCurlHead(const char *url, CURL_CTX *ctx, HTTP_HEADER *header)
{
    return dispatch(url, ctx, nullptr, header, HTTP_REQUEST_METHOD_HEAD);
}

int ozcMgrCurlPost(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header)
{
    return dispatch(url, ctx, body, header, HTTP_REQUEST_METHOD_POST);
}

int ozcMgrCurlMethodByHTTP(const char *url, CURL_CTX *ctx, POST_DATA *body,
                           HTTP_HEADER *header)
{
    return transfer(url, ctx, body, header, false);
}

int ozcMgrCurlMethodByHTTPS(const char *url, CURL_CTX *ctx, POST_DATA *body,
                            HTTP_HEADER *header)
{
    return transfer(url, ctx, body, header, true);
}

} /* extern "C" */
