/* ozcMgrLib.cpp - registry contexts and image references, registry
 * endpoints, authentication (anonymous, basic, bearer token, Amazon ECR),
 * the requests of a registry conversation with their re-authentication,
 * manifest and tag queries. The pull itself, with the pull command and the
 * library's function table, is in ozcMgrPull.cpp, the layout it writes in
 * ozcMgrLayout.cpp, the manifest rules in ozcMgrManifest.cpp.
 */
#include "ozcMgrLib.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <cjson/cJSON.h>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrInt.h"
#include "ozcMgrUtil.h"

namespace ozcmgr {

int failWith(int err)
{
    errnoSet(err);
    return -1;
}

std::nullptr_t failNull(int err)
{
    errnoSet(err);
    return nullptr;
}

int invalidArgument()
{
    ozcMgrUtilErr("Invalid argument\n");
    return failWith(OZC_MGR_ERR_INVALID_ARG);
}

bool fieldCopy(char *field, size_t fieldSize, const char *text, size_t len)
{
    if (len >= fieldSize)
        return false;
    memcpy(field, text, len);
    field[len] = '\0';
    return true;
}

bool imageNameIsSafe(std::string_view image)
{
    return !image.empty() && image != "." && image != ".." && image.find('/') == std::string_view::npos;
}

const char *jsonStringGet(const cJSON *obj, const char *name)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

const char *manifestReference(const REGISTRY_CTX *ctx)
{
    return ctx->digest[0] != '\0' ? ctx->digest : ctx->tag;
}

int transferFailed(const REGISTRY_CTX *ctx)
{
    CURLcode code = curlCtxErrnoGet(ctx->curl_ctx);
    bool refusedSetting = code == CURLE_SSL_CACERT_BADFILE || code == CURLE_BAD_FUNCTION_ARGUMENT;
    return failWith(refusedSetting ? OZC_MGR_ERR_INVALID_ARG : OZC_MGR_ERR_CURL_FAILED);
}

REGISTRY_CTX *registryCtxClone(const REGISTRY_CTX *ctx)
{
    auto *copy = static_cast<REGISTRY_CTX *>(malloc(sizeof(REGISTRY_CTX)));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, ctx, sizeof(REGISTRY_CTX));
    copy->extra_http_header = nullptr;
    copy->curl_ctx = curlCtxClone(ctx->curl_ctx);
    if (copy->curl_ctx == nullptr) {
        ozcRegistryCtxDelete(copy);
        return nullptr;
    }
    return copy;
}

namespace {

constexpr char kDefaultRegistry[] = "registry-1.docker.io";
constexpr char kAwsDomainSuffix[] = "amazonaws.com";
constexpr long kCurlSslConnectError = 35;

using oz::JsonPtr;
using oz::JsonText;

/* The ECR road of the authentication: exchange the AWS access key stored as
 * user name and password for the registry password, then log in as "AWS". */
int registryAwsEcrLogin(REGISTRY_CTX *ctx)
{
    char registryId[AWS_ECR_REGISTRY_ID_SIZE] = {0};
    char region[AWS_ECR_REGION_SIZE] = {0};
    if (ozcMgrAwsEcrRegistryParse(ctx->registry, registryId, sizeof(registryId), region, sizeof(region)) != 0) {
        ozcMgrUtilErr("AWS ECR registry url format error\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    oz::Owner<AWS_ECR_CLIENT, ozcMgrAwsEcrClientDelete> client(ozcMgrAwsEcrClientCreate(
        registryId, region, curlCtxUserNameGet(ctx->curl_ctx), curlCtxUserPwdGet(ctx->curl_ctx), ctx->curl_ctx));
    if (!client)
        return -1;
    const char *password = ozcMgrAwsEcrPasswordGet(client.get());
    if (password == nullptr)
        return -1;
    static const char awsUser[] = "AWS";
    if (curlCtxUserNameSet(ctx->curl_ctx, awsUser, strlen(awsUser)) != 0)
        return -1;
    return curlCtxUserPwdSet(ctx->curl_ctx, password, strnlen(password, CURL_CTX_PASSWORD_SIZE));
}

/* Bearer token from the token service named by the challenge. */
int bearerTokenFetch(REGISTRY_CTX *ctx, const char *realm, const char *service)
{
    char tokenUrl[OZC_MGR_URL_SIZE];
    int n =
        snprintf(tokenUrl, sizeof(tokenUrl), "%s?service=%s&scope=repository:%s:pull", realm, service, ctx->repository);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(tokenUrl)) {
        ozcMgrUtilErr("token url is too long\n");
        return failWith(OZC_MGR_ERR_AUTH_HEADER);
    }
    if (ozcMgrCurlGet(tokenUrl, ctx->curl_ctx, nullptr) != 0)
        return transferFailed(ctx);
    if (curlCtxHttpRespCodeGet(ctx->curl_ctx) == 401) {
        ozcMgrUtilErr("Unauthorized access to %s\n", tokenUrl);
        return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
    }
    JsonPtr reply(cJSON_Parse(curlCtxRespBodyGet(ctx->curl_ctx)->str));
    if (!reply) {
        ozcMgrUtilErr("Bearer token error: cJSON_Parse token failed\n");
        return failWith(OZC_MGR_ERR_JSON_LOAD);
    }
    if (!cJSON_IsObject(reply.get())) {
        ozcMgrUtilErr("Bearer token error: token is not an json object\n");
        return failWith(OZC_MGR_ERR_TOKEN_FETCH);
    }
    const cJSON *token = cJSON_GetObjectItemCaseSensitive(reply.get(), "token");
    if (token == nullptr)
        token = cJSON_GetObjectItemCaseSensitive(reply.get(), "access_token");
    if (!cJSON_IsString(token) || token->valuestring == nullptr) {
        ozcMgrUtilErr("Bearer token error: no token value found\n");
        return failWith(OZC_MGR_ERR_TOKEN_FETCH);
    }
    size_t len = strnlen(token->valuestring, CURL_CTX_TOKEN_SIZE);
    if (curlCtxBearerTokenSet(ctx->curl_ctx, token->valuestring, len) != 0)
        return failWith(OZC_MGR_ERR_TOKEN_FETCH);
    curlCtxAuthMethodSet(ctx->curl_ctx, HTTP_AUTH_METHOD_BEARER);
    return 0;
}

/* The scheme word of the first challenge, whatever its parameters. */
bool challengeIsBasic(const char *header)
{
    static const char fieldName[] = "www-authenticate: ";
    for (const char *p = header; *p != '\0'; ++p) {
        if (strncasecmp(p, fieldName, sizeof(fieldName) - 1) == 0)
            return strncmp(p + sizeof(fieldName) - 1, "Basic", 5) == 0 &&
                   (p[sizeof(fieldName) + 4] == ' ' || p[sizeof(fieldName) + 4] == '\r');
    }
    return false;
}

/* The challenge of a 401 answer, when it asks for a bearer token: a new
 * token from its realm, with the context's credentials as at the start. */
int bearerTokenRenew(REGISTRY_CTX *ctx)
{
    char method[32];
    char realm[OZC_MGR_URL_SIZE];
    char service[256];
    if (httpHeaderAuthGet(curlCtxRespHeaderGet(ctx->curl_ctx)->str, method, sizeof(method), realm, sizeof(realm),
                          service, sizeof(service)) != 0 ||
        strcmp(method, "Bearer") != 0)
        return failWith(OZC_MGR_ERR_AUTH_HEADER);
    ozcMgrUtilOut("token refused by the registry, fetching a new one\n");
    curlCtxAuthMethodSet(ctx->curl_ctx, HTTP_AUTH_METHOD_BASIC);
    if (bearerTokenFetch(ctx, realm, service) != 0) {
        curlCtxAuthMethodSet(ctx->curl_ctx, HTTP_AUTH_METHOD_BEARER);
        return -1;
    }
    return 0;
}

/* The reply body as JSON; null (errno set) when it does not parse. */
JsonPtr replyJsonGet(const char *text)
{
    JsonPtr reply(cJSON_Parse(text));
    if (!reply) {
        ozcMgrUtilErr("cJSON_Parse failed\n");
        errnoSet(OZC_MGR_ERR_JSON_LOAD);
    }
    return reply;
}

/* A body sink that keeps the body in a text. */
size_t textSink(const char *data, size_t len, void *arg)
{
    static_cast<std::string *>(arg)->append(data, len);
    return len;
}

/* Indented JSON text of a reply into the caller's buffer. */
int jsonTextCopy(const cJSON *json, char *buf, size_t size, int err, const char *emptyMsg)
{
    JsonText text(cJSON_Print(json));
    if (!text) {
        ozcMgrUtilErr("cJSON_dumps failed\n");
        return failWith(err);
    }
    size_t len = strnlen(text.get(), size);
    if (len == 0) {
        ozcMgrUtilErr("%s", emptyMsg);
        return failWith(err);
    }
    if (len > size - 1)
        len = size - 1;
    memcpy(buf, text.get(), len);
    buf[len] = '\0';
    return 0;
}

} /* namespace */

int registryRequest(REGISTRY_CTX *ctx, const RegistryAsk &ask)
{
    for (bool renewed = false;; renewed = true) {
        if (ask.limit >= 0)
            curlCtxBodyLimitSet(ctx->curl_ctx, ask.limit);
        if (ask.sink != nullptr)
            curlCtxBodySinkSet(ctx->curl_ctx, ask.sink, ask.sinkArg);
        if ((ask.head ? ozcMgrCurlHead : ozcMgrCurlGet)(ask.url, ctx->curl_ctx, ask.header) != 0)
            return transferFailed(ctx);
        long status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
        /* A token that expired during the pull: one new token, one more try. */
        if (status == 401 && !renewed && ctx->curl_ctx->http_auth_method == HTTP_AUTH_METHOD_BEARER &&
            bearerTokenRenew(ctx) == 0)
            continue;
        if (status != 200) {
            ozcMgrUtilErr("%s%s%s failed with response code %ld %s\n", ask.what, ask.subject ? " " : "",
                          ask.subject ? ask.subject : "", status, httpResponseCodeStrGet(status));
            return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
        }
        return 0;
    }
}

} /* namespace ozcmgr */

using namespace ozcmgr;

extern "C" {

/* ---- Registry context ---------------------------------------------------- */

REGISTRY_CTX *ozcRegistryCtxCreate(void)
{
    auto *ctx = static_cast<REGISTRY_CTX *>(calloc(1, sizeof(REGISTRY_CTX)));
    if (ctx == nullptr) {
        ozcMgrUtilErr("malloc failed for registry_ctx\n");
        return failNull(OZC_MGR_ERR_NO_MEMORY);
    }
    int savedErrno = errnoGet();
    if (ozEnvGet(OZC_DEFAULT_REGISTRY_ENV, ctx->registry, sizeof(ctx->registry)) != 0 || ctx->registry[0] == '\0')
        snprintf(ctx->registry, sizeof(ctx->registry), "%s", kDefaultRegistry);
    errnoSet(savedErrno);
    snprintf(ctx->tag, sizeof(ctx->tag), "latest");
    snprintf(ctx->transfer_protocol, sizeof(ctx->transfer_protocol), "https");
    ctx->curl_ctx = curlCtxCreate();
    ctx->extra_http_header = httpHeaderCreate();
    char accept[512];
    snprintf(accept, sizeof(accept), "Accept: %s,%s,%s,%s", MEDIA_TYPE_DOCKER_MANIFEST_LIST, MEDIA_TYPE_OCI_IMAGE_INDEX,
             MEDIA_TYPE_OCI_IMAGE_MANIFEST, MEDIA_TYPE_DOCKER_MANIFEST_V2S2);
    if (ctx->curl_ctx == nullptr || ctx->extra_http_header == nullptr ||
        httpHeaderAppend(ctx->extra_http_header, accept) != 0) {
        ozcRegistryCtxDelete(ctx);
        return failNull(OZC_MGR_ERR_NO_MEMORY);
    }
    curlCtxSecureSet(ctx->curl_ctx, 1);
    return ctx;
}

void ozcRegistryCtxDelete(REGISTRY_CTX *ctx)
{
    if (ctx == nullptr)
        return;
    httpHeaderFree(ctx->extra_http_header);
    curlCtxDelete(ctx->curl_ctx);
    explicit_bzero(ctx, sizeof(*ctx));
    free(ctx);
}

int ozcRegistryCtxUserNameSet(REGISTRY_CTX *ctx, const char *user_name)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr || user_name == nullptr)
        return invalidArgument();
    return curlCtxUserNameSet(ctx->curl_ctx, user_name, strnlen(user_name, CURL_CTX_USER_SIZE));
}

int ozcRegistryCtxUserPwdSet(REGISTRY_CTX *ctx, const char *password)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr || password == nullptr)
        return invalidArgument();
    return curlCtxUserPwdSet(ctx->curl_ctx, password, strnlen(password, CURL_CTX_PASSWORD_SIZE));
}

int ozcRegistryCtxSecureSet(REGISTRY_CTX *ctx, int secure)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr)
        return invalidArgument();
    return curlCtxSecureSet(ctx->curl_ctx, secure);
}

int ozcRegistryCtxVerboseSet(REGISTRY_CTX *ctx, int verbose)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr)
        return invalidArgument();
    return curlCtxVerboseSet(ctx->curl_ctx, verbose != 0 ? 1 : 0);
}

int ozcRegistryCtxImageSet(REGISTRY_CTX *ctx, const char *image_ref)
{
    if (ctx == nullptr || image_ref == nullptr || image_ref[0] == '\0')
        return invalidArgument();
    std::string_view rest(image_ref);

    /* Registry: the first path element when it looks like a host (holds a
     * '.' or a ':' before the first '/'). */
    size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        size_t first = rest.find_first_of("/.:");
        if (rest[first] != '/') {
            if (!fieldCopy(ctx->registry, sizeof(ctx->registry), rest.data(), slash)) {
                ozcMgrUtilErr("registry length is too long\n");
                return failWith(OZC_MGR_ERR_INVALID_ARG);
            }
            rest.remove_prefix(slash + 1);
        }
    }

    /* Digest: what follows '@' pins the manifest, with or without a tag. */
    std::string_view name = rest;
    std::string digest;
    size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        name = rest.substr(0, at);
        digest = rest.substr(at + 1);
        if (!ozcMgrDigestIsValid(digest.c_str())) {
            ozcMgrUtilErr("invalid digest %s: sha256 and 64 lower-case hex digits expected\n", digest.c_str());
            return failWith(OZC_MGR_ERR_INVALID_ARG);
        }
    }

    /* Tag: after the ':' of the name; "latest", or the digest, without. */
    std::string_view repository = name;
    std::string_view tag = digest.empty() ? std::string_view("latest") : std::string_view(digest);
    size_t colon = name.find(':');
    if (colon != std::string_view::npos) {
        repository = name.substr(0, colon);
        tag = name.substr(colon + 1);
    }
    if (!fieldCopy(ctx->repository, sizeof(ctx->repository), repository.data(), repository.size())) {
        ozcMgrUtilErr("repository length is too long\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    if (!fieldCopy(ctx->tag, sizeof(ctx->tag), tag.data(), tag.size())) {
        ozcMgrUtilErr("tag length is too long\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    /* A tag is a word of the registry's grammar: it goes into a URL and
     * into the layout's index as it is. */
    if (colon != std::string_view::npos &&
        (tag.empty() || tag[0] == '.' || tag[0] == '-' ||
         tag.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-") !=
             std::string_view::npos)) {
        ozcMgrUtilErr("invalid tag %s\n", ctx->tag);
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    fieldCopy(ctx->digest, sizeof(ctx->digest), digest.data(), digest.size());

    /* Image: the last path element of the repository. */
    size_t last = repository.rfind('/');
    std::string_view image = last == std::string_view::npos ? repository : repository.substr(last + 1);
    if (!fieldCopy(ctx->image, sizeof(ctx->image), image.data(), image.size())) {
        ozcMgrUtilErr(last == std::string_view::npos ? "repository/image length is too long\n"
                                                     : "image length is too long\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    if (!imageNameIsSafe(image)) {
        ozcMgrUtilErr("invalid image name %s\n", ctx->image);
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    ozcMgrUtilOut("registry:%s, repository:%s, image:%s, tag:%s\n", ctx->registry, ctx->repository, ctx->image,
                  ctx->tag);
    return 0;
}

int ozcImageRegistryInfoGet(REGISTRY_CTX *ctx, char *registry, size_t registry_size, char *repository,
                            size_t repository_size, char *image, size_t image_size, char *tag, size_t tag_size)
{
    if (ctx == nullptr)
        return invalidArgument();
    struct Pair {
        char *buf;
        size_t size;
        const char *value;
        const char *tooSmall;
    };
    const Pair pairs[] = {
        {registry, registry_size, ctx->registry, "buffer is too small for registry!"},
        {repository, repository_size, ctx->repository, "buffer is too small for repository!"},
        {image, image_size, ctx->image, "buffer is too small for image name!"},
        {tag, tag_size, ctx->tag, "buffer is too small for image tag!"},
    };
    for (const Pair &p : pairs) {
        if (p.buf == nullptr || p.size == 0)
            continue;
        if (!fieldCopy(p.buf, p.size, p.value, strlen(p.value))) {
            ozcMgrUtilErr("%s", p.tooSmall);
            return failWith(OZC_MGR_ERR_INVALID_ARG);
        }
    }
    return 0;
}

int ozcRegistryCtxErrorStrGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr) {
        ozcMgrUtilErr("invalid registry_ctx\n");
        return -1;
    }
    if (buf == nullptr || size < 2) {
        ozcMgrUtilErr("invalid errbuf or errbuf_len\n");
        return -1;
    }
    memset(buf, 0, size);
    char line[512];
    CURLcode code = curlCtxErrnoGet(ctx->curl_ctx);
    snprintf(line, sizeof(line), "\nlibcurl error %d : %s", static_cast<int>(code), curl_easy_strerror(code));
    size_t len = strnlen(line, size - 1);
    memcpy(buf, line, len);
    long status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
    if (status != 0) {
        size_t room = size - 1 - len;
        if (room == 0) {
            ozcMgrUtilErr("the size of errbuf is too small\n");
            return -1;
        }
        snprintf(line, sizeof(line), "\nHTTP response %d : %s", static_cast<int>(status),
                 httpResponseCodeStrGet(status));
        size_t add = strnlen(line, room);
        memcpy(buf + len, line, add);
    }
    return 0;
}

/* ---- Endpoints --------------------------------------------------------- */

static int endpointFormat(int n, size_t size)
{
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

int ozcMgrEndpointBaseUrlGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(snprintf(buf, size, "%s://%s/v2/", ctx->transfer_protocol, ctx->registry), size);
}

int ozcMgrEndpointManifestUrlGet(REGISTRY_CTX *ctx, const char *reference, char *buf, size_t size)
{
    if (ctx == nullptr || reference == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(snprintf(buf, size, "%s://%s/v2/%s/manifests/%s", ctx->transfer_protocol, ctx->registry,
                                   ctx->repository, reference),
                          size);
}

int ozcMgrEndpointBlobUrlGet(REGISTRY_CTX *ctx, const char *digest, char *buf, size_t size)
{
    if (ctx == nullptr || digest == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(
        snprintf(buf, size, "%s://%s/v2/%s/blobs/%s", ctx->transfer_protocol, ctx->registry, ctx->repository, digest),
        size);
}

int ozcMgrEndpointTagsUrlGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(
        snprintf(buf, size, "%s://%s/v2/%s/tags/list", ctx->transfer_protocol, ctx->registry, ctx->repository), size);
}

/* ---- Authentication -------------------------------------------------------- */

int ozcMgrAwsEcrRegistryParse(const char *registry, char *registry_id, size_t id_size, char *region, size_t region_size)
{
    static const char marker[] = ".dkr.ecr.";
    if (registry == nullptr || registry_id == nullptr || region == nullptr)
        return -1;
    const char *match = strstr(registry, marker);
    if (match == nullptr)
        return -1;
    const char *regionBegin = match + strlen(marker);
    const char *regionEnd = strchr(regionBegin, '.');
    if (regionEnd == nullptr)
        return -1;
    if (!fieldCopy(registry_id, id_size, registry, static_cast<size_t>(match - registry))) {
        ozcMgrUtilErr("registry_id length is too long\n");
        return -1;
    }
    if (!fieldCopy(region, region_size, regionBegin, static_cast<size_t>(regionEnd - regionBegin))) {
        ozcMgrUtilErr("region length is too long\n");
        return -1;
    }
    return 0;
}

int ozcMgrRegistryAuthenticate(REGISTRY_CTX *ctx)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr)
        return invalidArgument();
    if (strstr(ctx->registry, kAwsDomainSuffix) != nullptr && registryAwsEcrLogin(ctx) != 0)
        return -1;

    char baseUrl[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointBaseUrlGet(ctx, baseUrl, sizeof(baseUrl)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    curlCtxAuthMethodSet(ctx->curl_ctx, HTTP_AUTH_METHOD_BASIC);
    int rc = ozcMgrCurlGet(baseUrl, ctx->curl_ctx, nullptr);
    if (rc != 0 && curlCtxErrnoGet(ctx->curl_ctx) == kCurlSslConnectError && !curlCtxSecureGet(ctx->curl_ctx)) {
        ozcMgrUtilOut("HTTPS connection failed and fallback to HTTP\n");
        snprintf(ctx->transfer_protocol, sizeof(ctx->transfer_protocol), "http");
        if (ozcMgrEndpointBaseUrlGet(ctx, baseUrl, sizeof(baseUrl)) != 0)
            return failWith(OZC_MGR_ERR_INVALID_ARG);
        rc = ozcMgrCurlGet(baseUrl, ctx->curl_ctx, nullptr);
    }
    if (rc != 0)
        return transferFailed(ctx);
    long status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
    if (status == 200)
        return 0;

    if (status == 401) {
        char method[32];
        char realm[OZC_MGR_URL_SIZE];
        char service[32];
        const char *header = curlCtxRespHeaderGet(ctx->curl_ctx)->str;
        if (httpHeaderAuthGet(header, method, sizeof(method), realm, sizeof(realm), service, sizeof(service)) != 0) {
            /* A basic challenge carries no service: the credentials were
             * refused (or missing), which is not a malformed header. */
            if (challengeIsBasic(header)) {
                ozcMgrUtilErr("Unauthorized access to %s\n", baseUrl);
                return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
            }
            ozcMgrUtilErr("Unauthorized access to %s, but get www-authenticate field failed.\n", baseUrl);
            return failWith(OZC_MGR_ERR_AUTH_HEADER);
        }
        if (strcmp(method, "Basic") == 0) {
            ozcMgrUtilErr("Unauthorized access to %s\n", baseUrl);
            return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
        }
        if (strcmp(method, "Bearer") != 0) {
            ozcMgrUtilErr("Unknown authentication method %s\n", method);
            return failWith(OZC_MGR_ERR_AUTH_HEADER);
        }
        if (bearerTokenFetch(ctx, realm, service) != 0)
            return -1;
    }

    if (ozcMgrCurlGet(baseUrl, ctx->curl_ctx, nullptr) != 0)
        return transferFailed(ctx);
    status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
    if (status != 200) {
        ozcMgrUtilErr("Access error to %s with response code %ld\n", baseUrl, status);
        return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
    }
    return 0;
}

int ozcManifestListGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size < 2) {
        ozcMgrUtilErr("invalid argument\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    memset(buf, 0, size);
    if (ozcMgrRegistryAuthenticate(ctx) != 0)
        return -1;
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointManifestUrlGet(ctx, manifestReference(ctx), url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    /* Manifests are read up to the bound of a pull, not the response text. */
    std::string body;
    RegistryAsk ask{url};
    ask.header = ctx->extra_http_header;
    ask.sink = textSink;
    ask.sinkArg = &body;
    ask.limit = kManifestMax;
    ask.what = "get manifest";
    if (registryRequest(ctx, ask) != 0) {
        if (curlCtxBodyCutGet(ctx->curl_ctx)) {
            ozcMgrUtilErr("manifest %s is larger than %lld bytes\n", url, kManifestMax);
            return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        return -1;
    }
    char contentType[kMediaTypeSize];
    if (httpHeaderValGet(curlCtxRespHeaderGet(ctx->curl_ctx)->str, "content-type", contentType, sizeof(contentType)) !=
        0)
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    if (!isManifestList(contentType) && !mediaTypeIs(contentType, MEDIA_TYPE_DOCKER_MANIFEST_V2S2) &&
        !mediaTypeIs(contentType, MEDIA_TYPE_OCI_IMAGE_MANIFEST)) {
        snprintf(buf, size, "%s is not a valid manifest list, OCI image index type or single mainfest type\n",
                 contentType);
        return 0;
    }
    JsonPtr reply = replyJsonGet(body.c_str());
    if (!reply)
        return -1;
    return jsonTextCopy(reply.get(), buf, size, OZC_MGR_ERR_MANIFEST_PARSE, "Manifest or manifest list parse failed\n");
}

int ozcImageTagsGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size < 2) {
        ozcMgrUtilErr("invalid argument\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    memset(buf, 0, size);
    if (ozcMgrRegistryAuthenticate(ctx) != 0)
        return -1;
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointTagsUrlGet(ctx, url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    RegistryAsk ask{url};
    ask.header = ctx->extra_http_header;
    ask.what = "get tags";
    if (registryRequest(ctx, ask) != 0)
        return -1;
    JsonPtr reply = replyJsonGet(curlCtxRespBodyGet(ctx->curl_ctx)->str);
    if (!reply)
        return -1;
    if (!cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(reply.get(), "tags"))) {
        ozcMgrUtilErr("tags is not an array\n");
        return failWith(OZC_MGR_ERR_TAGS_PARSE);
    }
    return jsonTextCopy(reply.get(), buf, size, OZC_MGR_ERR_TAGS_PARSE, "Image tags parse failed\n");
}

} /* extern "C" */