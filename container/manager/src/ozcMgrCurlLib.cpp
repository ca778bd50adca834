/* ozcMgrCurlLib.cpp - HTTP transfer layer of the image manager: the transfer
 * context and the GET, HEAD and POST requests, one libcurl easy handle each.
 */
#include "ozcMgrCurlLib.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "ozPlatform.h"
#include "ozcMgrInt.h"
#include "ozcMgrUtil.h"

namespace {

constexpr size_t kSchemeMax = 32;
constexpr size_t kEnvValueSize = 1024;
constexpr size_t kUserPwdSize = 4352;
constexpr long kMaxRedirects = 10;

/* The OS-wide settings of the transfers, with their defaults. */
struct Setting {
    const char *name;
    long min, max, def;
};
constexpr Setting kConnectTimeout{"OZC_HTTP_CONNECT_TIMEOUT", 1, 3600, 30};
constexpr Setting kLowSpeedLimit{"OZC_HTTP_LOW_SPEED_LIMIT", 0, 1L << 30, 1024};
constexpr Setting kLowSpeedTime{"OZC_HTTP_LOW_SPEED_TIME", 1, 3600, 60};
constexpr Setting kRetries{"OZC_HTTP_RETRIES", 0, 10, 3};
constexpr Setting kRetryWaitMax{"OZC_HTTP_RETRY_WAIT_MAX", 0, 3600, 30};

bool settingGet(const Setting &s, long *out)
{
    return ozcmgr::envNumberGet(s.name, s.min, s.max, s.def, out);
}

/* What the body callback of one transfer needs. */
struct Transfer {
    CURL *handle;
    CURL_CTX *ctx;
    long long received;
};

/* libcurl's global state is set up once when the library is loaded, so the
 * initialise/clean-up pair of each request only counts references and never
 * tears the state down under another caller. */
struct CurlGlobalHolder {
    CurlGlobalHolder() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobalHolder() { curl_global_cleanup(); }
};
const CurlGlobalHolder curlGlobalHolder;

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

/* The body of a transfer: a 2xx body goes to the sink, the output file or
 * the response text, within the body bound; any other answer's body goes to
 * the response text, where its error message can be read. */
size_t bodyCallback(char *ptr, size_t size, size_t count, void *userdata)
{
    auto *t = static_cast<Transfer *>(userdata);
    CURL_CTX *ctx = t->ctx;
    size_t n = size * count;
    long code = 0;
    curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &code);
    if (code < 200 || code > 299)
        return bufferCallback(ptr, 1, n, &ctx->response_body);
    if (ctx->body_limited && t->received + static_cast<long long>(n) > ctx->body_limit) {
        ctx->body_cut = 1;
        return 0;
    }
    t->received += static_cast<long long>(n);
    if (ctx->body_sink != nullptr)
        return ctx->body_sink(ptr, n, ctx->body_sink_arg);
    if (ctx->stream != nullptr)
        return fileCallback(ptr, 1, n, ctx->stream);
    return bufferCallback(ptr, 1, n, &ctx->response_body);
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

/* A CA setting of the environment: unset or empty gives false with *bad
 * clear; a value that is too long or names nothing readable of the wanted
 * kind gives false with *bad set (after a message naming it). */
bool caSettingGet(const char *name, bool directory, char *value, size_t size, bool *bad)
{
    *bad = false;
    int savedErrno = errnoGet();
    STATUS rc = ozEnvGet(name, value, size);
    bool tooLong = rc != OK && errnoGet() == ERANGE;
    errnoSet(savedErrno);
    if (tooLong) {
        ozcMgrUtilErr("%s is longer than %zu characters\n", name, size - 1);
        *bad = true;
        return false;
    }
    if (value[0] == '\0')
        return false;
    struct stat st;
    if (stat(value, &st) != 0 || (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) ||
        access(value, R_OK) != 0) {
        ozcMgrUtilErr("%s names %s, which is not a readable %s\n", name, value, directory ? "directory" : "file");
        *bad = true;
        return false;
    }
    return true;
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

/* Time-outs of the transfer; false (curl_errno set) for a refused setting. */
bool boundsSet(CURL *h, CURL_CTX *ctx)
{
    long connect = 0, speedLimit = 0, speedTime = 0;
    if (!settingGet(kConnectTimeout, &connect) || !settingGet(kLowSpeedLimit, &speedLimit) ||
        !settingGet(kLowSpeedTime, &speedTime)) {
        ctx->curl_errno = CURLE_BAD_FUNCTION_ARGUMENT;
        return false;
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, speedLimit);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, speedTime);
    return true;
}

/* Common options; false when the request cannot be sent. */
bool commonOptionsSet(CURL *h, const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header, char *userPwd,
                      Transfer *t, bool https)
{
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    /* A redirect loop ends, and an HTTPS request never goes on in clear. */
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
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
        }
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, bodyCallback);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, t);
        break;
    default:
        ozcMgrUtilErr("http method %d not implementated yet\n", static_cast<int>(ctx->http_request_method));
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
        if (ctx->http_auth_method == HTTP_AUTH_METHOD_BASIC && ctx->user[0] != '\0' && ctx->password[0] != '\0') {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            snprintf(userPwd, kUserPwdSize, "%s:%s", ctx->user, ctx->password);
            curl_easy_setopt(h, CURLOPT_USERPWD, userPwd);
        } else if (ctx->http_auth_method == HTTP_AUTH_METHOD_BEARER && ctx->bearer_token[0] != '\0') {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER));
            curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, ctx->bearer_token);
        }
    }
    if (header != nullptr)
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, header->list);
    curl_easy_setopt(h, CURLOPT_VERBOSE, static_cast<long>(ctx->verbose));
    return true;
}

/* The CA settings a secure HTTPS transfer used, for its error message. */
struct CaUsed {
    char file[kEnvValueSize] = {0};
    char path[kEnvValueSize] = {0};
};

/* TLS verification; false (curl_errno set) when a CA setting names nothing
 * usable: a pull must not go on with another trust than the one asked. */
bool tlsOptionsSet(CURL *h, CURL_CTX *ctx, CaUsed *ca)
{
    if (!ctx->secure) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
        return true;
    }
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    bool bad = false;
    if (caSettingGet("OZC_TLS_CA_CERT_FILE", false, ca->file, sizeof(ca->file), &bad))
        curl_easy_setopt(h, CURLOPT_CAINFO, ca->file); /* libcurl copies the text */
    if (!bad && caSettingGet("OZC_TLS_CA_CERT_PATH", true, ca->path, sizeof(ca->path), &bad))
        curl_easy_setopt(h, CURLOPT_CAPATH, ca->path);
    if (bad) {
        ctx->curl_errno = CURLE_SSL_CACERT_BADFILE;
        return false;
    }
    return true;
}

/* A failed transfer's own words, and ours where libcurl's do not name the
 * setting or the rule that refused it. */
void transferErrorShow(const CURL_CTX *ctx, const char *url, const char *errBuf, const CaUsed &ca)
{
    ozcMgrUtilErr("libcurl error %d: %s, %s\n", static_cast<int>(ctx->curl_errno), curl_easy_strerror(ctx->curl_errno),
                  errBuf);
    if (ctx->body_cut) {
        ozcMgrUtilErr("the reply of %s is longer than %lld bytes and was cut off\n", url, ctx->body_limit);
    } else if (ctx->curl_errno == CURLE_SSL_CACERT_BADFILE) {
        if (ca.file[0] != '\0')
            ozcMgrUtilErr("OZC_TLS_CA_CERT_FILE names %s, which holds no usable CA certificate\n", ca.file);
        else if (ca.path[0] != '\0')
            ozcMgrUtilErr("OZC_TLS_CA_CERT_PATH names %s, which holds no usable CA certificate\n", ca.path);
    } else if (ctx->curl_errno == CURLE_UNSUPPORTED_PROTOCOL && strncmp(url, "https:", 6) == 0) {
        ozcMgrUtilErr("redirect of %s to plain HTTP refused\n", url);
    } else if (ctx->curl_errno == CURLE_OPERATION_TIMEDOUT) {
        ozcMgrUtilErr("%s timed out (OZC_HTTP_CONNECT_TIMEOUT, OZC_HTTP_LOW_SPEED_LIMIT and "
                      "OZC_HTTP_LOW_SPEED_TIME bound a transfer)\n",
                      url);
    }
}

int transfer(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header, bool https)
{
    int result = -1;
    /* The texts of the previous transfer must not pass for this one's when
     * it brings no header or body text (HEAD, a reply that did not fit). */
    ctx->response_header.str[0] = '\0';
    ctx->response_body.str[0] = '\0';
    ctx->response_header.size = 0;
    ctx->response_body.size = 0;
    ctx->body_cut = 0;
    curl_global_init(CURL_GLOBAL_ALL);
    {
        EasyHandle h(curl_easy_init());
        if (h) {
            char userPwd[kUserPwdSize] = {0};
            char errBuf[CURL_ERROR_SIZE] = {0};
            Transfer t{h.get(), ctx, 0};
            CaUsed ca;
            /* A setting that is refused is this request's failure. */
            ctx->curl_errno = CURLE_OK;
            if (boundsSet(h.get(), ctx) && commonOptionsSet(h.get(), url, ctx, body, header, userPwd, &t, https) &&
                (!https || tlsOptionsSet(h.get(), ctx, &ca))) {
                curl_easy_setopt(h.get(), CURLOPT_ERRORBUFFER, errBuf);
                ctx->curl_errno = curl_easy_perform(h.get());
                if (ctx->curl_errno != CURLE_OK) {
                    ctx->http_response_code = 0;
                    transferErrorShow(ctx, url, errBuf, ca);
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
    ctx->response_header.size = 0;
    ctx->response_body.size = 0;
    curl_global_cleanup();
    return result;
}

/* What a request sets up for itself ends with it. */
void requestEnd(CURL_CTX *ctx)
{
    ctx->save_to_file = 0;
    ctx->body_limited = 0;
    ctx->body_limit = 0;
    ctx->body_sink = nullptr;
    ctx->body_sink_arg = nullptr;
}

bool isLineStart(const char *text, const char *p)
{
    return p == text || p[-1] == '\n';
}

/* Seconds a 429 or 503 answer asks to wait (Retry-After: seconds or an HTTP
 * date), or -1 when it does not say. The last answer's field counts. */
long retryAfterGet(const char *header)
{
    static const char field[] = "retry-after:";
    const char *last = nullptr;
    for (const char *p = header; *p != '\0'; ++p) {
        if (isLineStart(header, p) && strncasecmp(p, field, sizeof(field) - 1) == 0)
            last = p;
    }
    if (last == nullptr)
        return -1;
    char value[64];
    if (httpHeaderValGet(last, "retry-after", value, sizeof(value)) != 0)
        return -1;
    size_t len = strlen(value);
    while (len > 0 && isspace(static_cast<unsigned char>(value[len - 1])))
        value[--len] = '\0';
    if (len > 0 && strspn(value, "0123456789") == len)
        return len > 7 ? 9999999 : strtol(value, nullptr, 10);
    time_t when = curl_getdate(value, nullptr);
    if (when == static_cast<time_t>(-1))
        return -1;
    time_t now = time(nullptr);
    return when > now ? static_cast<long>(when - now) : 0;
}

int dispatch(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header, HTTP_REQUEST_METHOD method)
{
    if (url == nullptr || ctx == nullptr) {
        return ozcmgr::failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    /* The request's own settings (output file, sink, bound) end with it on
     * every path, a deletion of the task in a retry wait included. */
    struct RequestScope {
        CURL_CTX *ctx;
        ~RequestScope() { requestEnd(ctx); }
    } scope{ctx};
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
    TRANSFER_PROTOCOL_HANDLER handler = nullptr;
    for (const TransferProtocolHandlerSt &entry : transferProtocolHandlerMap) {
        if (entry.handler == nullptr)
            break;
        if (entry.protocol == protocol) {
            handler = entry.handler;
            break;
        }
    }
    if (handler == nullptr)
        return -1;
    long retries = 0, waitMax = 0;
    if (!settingGet(kRetries, &retries) || !settingGet(kRetryWaitMax, &waitMax)) {
        ctx->curl_errno = CURLE_BAD_FUNCTION_ARGUMENT;
        ctx->http_response_code = 0;
        return -1;
    }
    /* A registry that is busy (429) or unavailable (503) is asked again a
     * few times, after the wait it names (within bounds) or growing waits.
     * A POST is not repeated: its body is spent. */
    for (long attempt = 0;; ++attempt) {
        int rc = handler(url, ctx, body, header);
        long status = ctx->http_response_code;
        if (rc != 0 || method == HTTP_REQUEST_METHOD_POST || (status != 429 && status != 503) || attempt >= retries)
            return rc;
        long wait = retryAfterGet(ctx->response_header.str);
        if (wait < 0)
            wait = 1L << attempt;
        wait = std::min(wait, waitMax);
        ozcMgrUtilOut("%s answered %ld %s, asking again in %ld s\n", url, status, httpResponseCodeStrGet(status), wait);
        taskDelay(static_cast<int>(wait * sysClkRateGet()));
    }
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
        return ozcmgr::failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    if (!ozcmgr::fieldCopy(ctx->user, sizeof(ctx->user), name, len)) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        ozcMgrUtilErr("user_name_len is too long\n");
        return -1;
    }
    return 0;
}

int curlCtxUserPwdSet(CURL_CTX *ctx, const char *pwd, size_t len)
{
    if (ctx == nullptr || pwd == nullptr || len == 0) {
        return ozcmgr::failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    if (!ozcmgr::fieldCopy(ctx->password, sizeof(ctx->password), pwd, len)) {
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
    if (!ozcmgr::fieldCopy(ctx->bearer_token, sizeof(ctx->bearer_token), token, len)) {
        ozcMgrUtilErr("token_len is too long\n");
        return -1;
    }
    return 0;
}

int curlCtxFileNameSet(CURL_CTX *ctx, const char *file_name, size_t len)
{
    if (ctx == nullptr || file_name == nullptr || len == 0)
        return -1;
    if (!ozcmgr::fieldCopy(ctx->file_name, sizeof(ctx->file_name), file_name, len)) {
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

int curlCtxBodyLimitSet(CURL_CTX *ctx, long long limit)
{
    if (ctx == nullptr || limit < 0)
        return -1;
    ctx->body_limited = 1;
    ctx->body_limit = limit;
    return 0;
}

int curlCtxBodySinkSet(CURL_CTX *ctx, HTTP_BODY_SINK sink, void *arg)
{
    if (ctx == nullptr)
        return -1;
    ctx->body_sink = sink;
    ctx->body_sink_arg = arg;
    return 0;
}

int curlCtxBodyCutGet(const CURL_CTX *ctx)
{
    return ctx->body_cut;
}
int curlCtxSecureGet(const CURL_CTX *ctx)
{
    return ctx->secure;
}
const char *curlCtxUserNameGet(const CURL_CTX *ctx)
{
    return ctx->user;
}
const char *curlCtxUserPwdGet(const CURL_CTX *ctx)
{
    return ctx->password;
}
CURLcode curlCtxErrnoGet(const CURL_CTX *ctx)
{
    return ctx->curl_errno;
}
long curlCtxHttpRespCodeGet(const CURL_CTX *ctx)
{
    return ctx->http_response_code;
}
HTTP_RESPONSE *curlCtxRespHeaderGet(CURL_CTX *ctx)
{
    return &ctx->response_header;
}
HTTP_RESPONSE *curlCtxRespBodyGet(CURL_CTX *ctx)
{
    return &ctx->response_body;
}

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

int ozcMgrCurlMethodByHTTP(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header)
{
    return transfer(url, ctx, body, header, false);
}

int ozcMgrCurlMethodByHTTPS(const char *url, CURL_CTX *ctx, POST_DATA *body, HTTP_HEADER *header)
{
    return transfer(url, ctx, body, header, true);
}

} /* extern "C" */

namespace ozcmgr {

CURL_CTX *curlCtxClone(const CURL_CTX *ctx)
{
    if (ctx == nullptr)
        return nullptr;
    auto *copy = static_cast<CURL_CTX *>(malloc(sizeof(CURL_CTX)));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, ctx, sizeof(CURL_CTX));
    copy->stream = nullptr;
    requestEnd(copy);
    copy->body_cut = 0;
    copy->response_header.size = 0;
    copy->response_body.size = 0;
    return copy;
}

} /* namespace ozcmgr */
