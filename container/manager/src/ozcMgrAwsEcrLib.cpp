/* ozcMgrAwsEcrLib.cpp - Amazon ECR authorization tokens.
 *
 * The registry authentication hands the access key id and secret access key
 * of an ECR registry to this unit. It calls the ECR API action
 * GetAuthorizationToken, signed with AWS Signature Version 4, and extracts
 * the registry password from the base64 token of the reply ("AWS:<pw>").
 *
 * Signing: canonical headers, payload hash, canonical request, credential
 * scope, string to sign, the signing key derived from the secret through the
 * HMAC chain date -> region -> "ecr" -> "aws4_request", and the signature
 * over the string to sign. The host signed is always the host the request
 * goes to: both come from one string (the regional API host, or the host of
 * the operator's OZC_AWS_ECR_ENDPOINT).
 *
 * Secrets (the secret key, derived keys, the decoded token) are wiped from
 * every buffer that held them before the buffer is released.
 */
/* The digest and MAC calls used here are the long-standing low-level ones. */
#define OPENSSL_SUPPRESS_DEPRECATED
#include "ozcMgrAwsEcrLib.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <cjson/cJSON.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgrCurlLib.h"
#include "ozcMgrInt.h"
#include "ozcMgrUtil.h"

namespace {

/* Fixed values of the GetAuthorizationToken request. */
constexpr const char *kMethod = "POST";
constexpr const char *kPath = "/";
constexpr const char *kQuery = "";
constexpr const char *kService = "ecr";
constexpr const char *kContentType = "application/x-amz-json-1.1";
constexpr const char *kTarget = "AmazonEC2ContainerRegistry_V20150921.GetAuthorizationToken";
constexpr const char *kSignedHeaders = "content-type;host;x-amz-date;x-amz-target";
constexpr const char *kAlgorithm = "AWS4-HMAC-SHA256";
constexpr const char *kTerminator = "aws4_request";
constexpr const char *kRegistryUser = "AWS";

constexpr size_t kWorkSize = 1024;    /* every working string */
constexpr size_t kEndpointSize = 256; /* endpoint URL and host */
constexpr size_t kKeyTextSize = 128;  /* "AWS4" + secret */
constexpr size_t kRequestTimeSize = 32;
constexpr size_t kDateStampSize = 16;
constexpr size_t kHashHexSize = 65; /* 64 hex digits + NUL */
constexpr size_t kMacSize = 32;     /* HMAC-SHA256 output */

std::atomic<AWS_ECR_CLOCK_FUNC> gClock{nullptr};
std::atomic<AWS_ECR_RELEASE_FUNC> gRelease{nullptr};

/* snprintf_s result check: the whole text fitted into size bytes. */
bool fits(int n, size_t size)
{
    return n >= 0 && static_cast<size_t>(n) < size;
}

/* A heap working string that is wiped and freed on every path. */
class WorkBuf {
public:
    WorkBuf(size_t size, const char *name) : p_(static_cast<char *>(std::calloc(1, size))), n_(size)
    {
        if (p_ == nullptr) {
            ozcMgrUtilErr("malloc failed for %s\n", name);
        }
    }
    ~WorkBuf()
    {
        if (p_ != nullptr) {
            OPENSSL_cleanse(p_, n_);
            std::free(p_);
        }
    }
    WorkBuf(const WorkBuf &) = delete;
    WorkBuf &operator=(const WorkBuf &) = delete;
    explicit operator bool() const { return p_ != nullptr; }
    char *get() const { return p_; }
    size_t size() const { return n_; }

private:
    char *p_;
    size_t n_;
};

/* Wipes a small stack secret when it goes out of scope. */
template <size_t N>
struct Secret {
    unsigned char b[N] = {};
    ~Secret() { OPENSSL_cleanse(b, N); }
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isLower(char c)
{
    return c >= 'a' && c <= 'z';
}
bool isUpper(char c)
{
    return c >= 'A' && c <= 'Z';
}

/* A non-empty text whose every character passes ok. */
template <typename Ok>
bool textOf(const char *s, Ok ok)
{
    if (*s == '\0') {
        return false;
    }
    for (; *s != '\0'; s++) {
        if (!ok(*s)) {
            return false;
        }
    }
    return true;
}

/* An AWS account id: decimal digits only (it travels inside the JSON body). */
bool registryIdValid(const char *s)
{
    return textOf(s, isDigit);
}

/* A region name: lower-case letters, digits and '-' (it becomes a label of
 * the API host, so nothing may end the host early or add user info). */
bool regionValid(const char *s)
{
    return *s != '-' && textOf(s, [](char c) { return isLower(c) || isDigit(c) || c == '-'; });
}

/* An access key id: letters, digits and '_' (it goes into the
 * Authorization header, so no separators or line breaks). */
bool accessKeyIdValid(const char *s)
{
    return textOf(s, [](char c) { return isLower(c) || isUpper(c) || isDigit(c) || c == '_'; });
}

/* The authority of an operator endpoint: host name, IPv4 or bracketed IPv6
 * literal, optional port; no user info, path, query or fragment. */
bool authorityValid(const char *s)
{
    return *s != ':' && textOf(s, [](char c) {
        return isLower(c) || isUpper(c) || isDigit(c) || c == '-' || c == '.' || c == ':' || c == '[' || c == ']';
    });
}

/* Request time "YYYYMMDDTHHMMSSZ" and date stamp "YYYYMMDD" of a UTC time. */
int timeFormat(const struct tm *utc, char *request_time, size_t rt_size, char *date_stamp, size_t ds_size)
{
    if (!fits(snprintf_s(request_time, rt_size, "%d%02d%02dT%02d%02d%02dZ", utc->tm_year + 1900, utc->tm_mon + 1,
                         utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec),
              rt_size)) {
        return -1;
    }
    if (!fits(snprintf_s(date_stamp, ds_size, "%d%02d%02d", utc->tm_year + 1900, utc->tm_mon + 1, utc->tm_mday),
              ds_size)) {
        return -1;
    }
    return 0;
}

/* The request body, sent exactly with these spaces. */
int payloadFormat(const AWS_ECR_CLIENT *client, char *out, size_t size)
{
    return fits(snprintf_s(out, size,
                           "{\"Action\": \"GetAuthorizationToken\", \"Version\": \"2015-09-21\", "
                           "\"registryIds\": [\"%s\"]}",
                           client->registry_id),
                size)
               ? 0
               : -1;
}

/* Steps from the canonical headers to the Authorization value. */
int requestSign(const AWS_ECR_CLIENT *client, const char *host, const char *request_time, const char *date_stamp,
                const char *payload, char *authorization, size_t authorization_size)
{
    WorkBuf canonical_headers(kWorkSize, "canonical_headers");
    if (!canonical_headers) {
        return -1;
    }
    if (!fits(snprintf_s(canonical_headers.get(), canonical_headers.size(),
                         "content-type:%s\nhost:%s\nx-amz-date:%s\nx-amz-target:%s\n", kContentType, host, request_time,
                         kTarget),
              canonical_headers.size())) {
        ozcMgrUtilErr("canonical_headers is too long\n");
        return -1;
    }

    char payload_hash[kHashHexSize];
    if (sha256HexGet(payload, strlen(payload), payload_hash, sizeof(payload_hash)) != 0) {
        return -1;
    }

    WorkBuf canonical_request(kWorkSize, "canonical_request");
    if (!canonical_request) {
        return -1;
    }
    if (ozcMgrAwsEcrCanonicalRequestBuild(kMethod, kPath, kQuery, canonical_headers.get(), kSignedHeaders, payload_hash,
                                          canonical_request.get(), canonical_request.size()) != 0) {
        return -1;
    }

    WorkBuf credential_scope(kWorkSize, "credential_scope");
    if (!credential_scope) {
        return -1;
    }
    if (!fits(snprintf_s(credential_scope.get(), credential_scope.size(), "%s/%s/%s/%s", date_stamp, client->region,
                         kService, kTerminator),
              credential_scope.size())) {
        return -1;
    }

    WorkBuf string_to_sign(kWorkSize, "string_to_sign");
    if (!string_to_sign) {
        return -1;
    }
    if (ozcMgrAwsEcrStringToSignBuild(request_time, credential_scope.get(), canonical_request.get(),
                                      string_to_sign.get(), string_to_sign.size()) != 0) {
        return -1;
    }

    Secret<kMacSize> signing_key;
    unsigned int key_len = 0;
    if (signingKeyDerive(client->secret_access_key, date_stamp, client->region, kService, signing_key.b, &key_len) !=
        0) {
        return -1;
    }
    char signature[kHashHexSize];
    if (ozcMgrAwsEcrSignatureGet(signing_key.b, key_len, string_to_sign.get(), signature, sizeof(signature)) != 0) {
        return -1;
    }

    if (!fits(snprintf_s(authorization, authorization_size, "%s Credential=%s/%s, SignedHeaders=%s, Signature=%s",
                         kAlgorithm, client->access_key_id, credential_scope.get(), kSignedHeaders, signature),
              authorization_size)) {
        ozcMgrUtilErr("authorization_header is too long\n");
        return -1;
    }
    return 0;
}

/* Appends one formatted header line through the header_item buffer. */
int headerLineAppend(HTTP_HEADER *header, char *item, size_t item_size, const char *name, const char *value)
{
    if (!fits(snprintf_s(item, item_size, "%s: %s", name, value), item_size)) {
        return -1;
    }
    return httpHeaderAppend(header, item);
}

/* Standard base64 (with or without line breaks) into a NUL-terminated heap
 * buffer; *out_len gets the decoded length. libcurl keeps its decoder
 * private in the packaged library, so OpenSSL's is used. */
unsigned char *base64Decode(const char *in, size_t in_len, size_t *alloc_len, size_t *out_len)
{
    if (in_len == 0 || in_len > INT_MAX / 2) {
        return nullptr;
    }
    size_t cap = (in_len / 4 + 1) * 3 + 1;
    auto *out = static_cast<unsigned char *>(std::calloc(1, cap));
    if (out == nullptr) {
        return nullptr;
    }
    EVP_ENCODE_CTX *ctx = EVP_ENCODE_CTX_new();
    int n1 = 0;
    int n2 = 0;
    bool ok = ctx != nullptr;
    if (ok) {
        EVP_DecodeInit(ctx);
        ok = EVP_DecodeUpdate(ctx, out, &n1, reinterpret_cast<const unsigned char *>(in), static_cast<int>(in_len)) >=
                 0 &&
             EVP_DecodeFinal(ctx, out + n1, &n2) == 1;
        EVP_ENCODE_CTX_free(ctx);
    }
    if (!ok || n1 + n2 <= 0) {
        OPENSSL_cleanse(out, cap);
        std::free(out);
        return nullptr;
    }
    *alloc_len = cap;
    *out_len = static_cast<size_t>(n1 + n2);
    out[*out_len] = '\0';
    return out;
}

} // namespace

extern "C" {

/* ---- Signature Version 4 building blocks ------------------------------ */

int bin2hex(const unsigned char *bytes, size_t count, char *out, size_t out_size)
{
    static constexpr char kHex[] = "0123456789abcdef";
    if (out == nullptr || (bytes == nullptr && count != 0) || count > (SIZE_MAX - 1) / 2 || out_size < 2 * count + 1) {
        ozcMgrUtilErr("value_size is too small\n");
        return -1;
    }
    for (size_t i = 0; i < count; i++) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 0x0f];
    }
    out[2 * count] = '\0';
    return 0;
}

int sha256HexGet(const void *data, size_t len, char *out, size_t out_size)
{
    if (out == nullptr || out_size < kHashHexSize) {
        ozcMgrUtilErr("hash_hex_size is too small\n");
        return -1;
    }
    if (data == nullptr && len != 0) {
        return -1;
    }
    SHA256_CTX sha;
    unsigned char md[SHA256_DIGEST_LENGTH];
    if (SHA256_Init(&sha) != 1 || SHA256_Update(&sha, data, len) != 1 || SHA256_Final(md, &sha) != 1) {
        OPENSSL_cleanse(&sha, sizeof(sha));
        return -1;
    }
    OPENSSL_cleanse(&sha, sizeof(sha));
    return bin2hex(md, sizeof(md), out, out_size);
}

int hmacSha256Get(const void *key, size_t key_len, const void *data, size_t len, unsigned char *out,
                  unsigned int *out_len)
{
    if (key == nullptr || out == nullptr || out_len == nullptr || key_len > INT_MAX || (data == nullptr && len != 0)) {
        return -1;
    }
    HMAC_CTX *ctx = HMAC_CTX_new();
    if (ctx == nullptr) {
        ozcMgrUtilErr("malloc failed for ctx\n");
        return -1;
    }
    int ok = HMAC_Init_ex(ctx, key, static_cast<int>(key_len), EVP_sha256(), nullptr) == 1 &&
             HMAC_Update(ctx, static_cast<const unsigned char *>(data), len) == 1 && HMAC_Final(ctx, out, out_len) == 1;
    HMAC_CTX_free(ctx);
    return ok ? 0 : -1;
}

int signingKeyDerive(const char *secret, const char *date_stamp, const char *region, const char *service,
                     unsigned char *out, unsigned int *out_len)
{
    if (secret == nullptr || date_stamp == nullptr || region == nullptr || service == nullptr || out == nullptr ||
        out_len == nullptr) {
        return -1;
    }
    char key_text[kKeyTextSize];
    /* A secret that does not fit is refused: a cut key signs wrongly. */
    if (!fits(snprintf_s(key_text, sizeof(key_text), "AWS4%s", secret), sizeof(key_text))) {
        OPENSSL_cleanse(key_text, sizeof(key_text));
        ozcMgrUtilErr("secret_access_key length is too long\n");
        return -1;
    }
    Secret<EVP_MAX_MD_SIZE> k_date;
    Secret<EVP_MAX_MD_SIZE> k_region;
    Secret<EVP_MAX_MD_SIZE> k_service;
    unsigned int l_date = 0;
    unsigned int l_region = 0;
    unsigned int l_service = 0;
    int rc = -1;
    if (hmacSha256Get(key_text, strlen(key_text), date_stamp, strlen(date_stamp), k_date.b, &l_date) == 0 &&
        hmacSha256Get(k_date.b, l_date, region, strlen(region), k_region.b, &l_region) == 0 &&
        hmacSha256Get(k_region.b, l_region, service, strlen(service), k_service.b, &l_service) == 0 &&
        hmacSha256Get(k_service.b, l_service, kTerminator, strlen(kTerminator), out, out_len) == 0) {
        rc = 0;
    }
    OPENSSL_cleanse(key_text, sizeof(key_text));
    return rc;
}

int ozcMgrAwsEcrCanonicalRequestBuild(const char *method, const char *path, const char *query,
                                      const char *canonical_headers, const char *signed_headers,
                                      const char *payload_hash, char *out, size_t out_size)
{
    if (method == nullptr || path == nullptr || query == nullptr || canonical_headers == nullptr ||
        signed_headers == nullptr || payload_hash == nullptr || out == nullptr) {
        return -1;
    }
    if (!fits(snprintf_s(out, out_size, "%s\n%s\n%s\n%s\n%s\n%s", method, path, query, canonical_headers,
                         signed_headers, payload_hash),
              out_size)) {
        ozcMgrUtilErr("canonical_request is too long\n");
        return -1;
    }
    return 0;
}

int ozcMgrAwsEcrStringToSignBuild(const char *request_time, const char *scope, const char *canonical_request, char *out,
                                  size_t out_size)
{
    if (request_time == nullptr || scope == nullptr || canonical_request == nullptr || out == nullptr) {
        return -1;
    }
    char hash[kHashHexSize];
    if (sha256HexGet(canonical_request, strlen(canonical_request), hash, sizeof(hash)) != 0) {
        return -1;
    }
    if (!fits(snprintf_s(out, out_size, "%s\n%s\n%s\n%s", kAlgorithm, request_time, scope, hash), out_size)) {
        ozcMgrUtilErr("string_to_sign is too long\n");
        return -1;
    }
    return 0;
}

int ozcMgrAwsEcrSignatureGet(const unsigned char *signing_key, size_t key_len, const char *string_to_sign, char *out,
                             size_t out_size)
{
    if (signing_key == nullptr || string_to_sign == nullptr) {
        return -1;
    }
    Secret<EVP_MAX_MD_SIZE> mac;
    unsigned int mac_len = 0;
    if (hmacSha256Get(signing_key, key_len, string_to_sign, strlen(string_to_sign), mac.b, &mac_len) != 0) {
        return -1;
    }
    return bin2hex(mac.b, mac_len, out, out_size);
}

/* ---- Endpoint ---------------------------------------------------------- */

int ozcMgrAwsEcrApiHostGet(const char *region, char *host, size_t host_size)
{
    if (region == nullptr || host == nullptr || !regionValid(region)) {
        return -1;
    }
    const char *domain = strncmp(region, "cn-", 3) == 0 ? ".amazonaws.com.cn" : ".amazonaws.com";
    if (!fits(snprintf_s(host, host_size, "api.ecr.%s%s", region, domain), host_size)) {
        return -1;
    }
    return 0;
}

int ozcMgrAwsEcrEndpointGet(const char *region, char *endpoint, size_t endpoint_size, char *host, size_t host_size)
{
    if (region == nullptr || endpoint == nullptr || host == nullptr) {
        return ozcmgr::invalidArgument();
    }
    char value[kEndpointSize] = {};
    bool overridden = false;
    if (ozEnvGet(AWS_ECR_ENDPOINT_ENV, value, sizeof(value)) == 0) {
        overridden = value[0] != '\0';
    } else if (errnoGet() == ERANGE) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        ozcMgrUtilErr("%s is too long\n", AWS_ECR_ENDPOINT_ENV);
        return -1;
    }

    if (overridden) {
        /* "https://authority[/]": the credentials go only over TLS, and the
         * path is the fixed "/" that the signature covers. */
        static constexpr char kScheme[] = "https://";
        char authority[kEndpointSize] = {};
        const char *rest = value + sizeof(kScheme) - 1;
        const char *slash = nullptr;
        bool ok = strncmp(value, kScheme, sizeof(kScheme) - 1) == 0;
        if (ok) {
            slash = strchr(rest, '/');
            size_t len = slash != nullptr ? static_cast<size_t>(slash - rest) : strlen(rest);
            ok = len < sizeof(authority) && (slash == nullptr || strcmp(slash, "/") == 0);
            if (ok) {
                memcpy(authority, rest, len);
                authority[len] = '\0';
                ok = authorityValid(authority);
            }
        }
        if (!ok) {
            errnoSet(OZC_MGR_ERR_INVALID_ARG);
            ozcMgrUtilErr("%s value %s is not an https endpoint\n", AWS_ECR_ENDPOINT_ENV, value);
            return -1;
        }
        /* The transport leaves the default port out of the Host header. */
        size_t alen = strlen(authority);
        if (alen > 4 && strcmp(authority + alen - 4, ":443") == 0) {
            authority[alen - 4] = '\0';
        }
        if (!ozcmgr::fieldCopy(host, host_size, authority, strlen(authority))) {
            return ozcmgr::invalidArgument();
        }
    } else if (ozcMgrAwsEcrApiHostGet(region, host, host_size) != 0) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
        ozcMgrUtilErr("region %s has no ECR API host\n", region);
        return -1;
    }

    if (!fits(snprintf_s(endpoint, endpoint_size, "https://%s/", host), endpoint_size)) {
        return ozcmgr::invalidArgument();
    }
    return 0;
}

void ozcMgrAwsEcrClockSet(AWS_ECR_CLOCK_FUNC clock_func)
{
    gClock.store(clock_func);
}

void ozcMgrAwsEcrReleaseSet(AWS_ECR_RELEASE_FUNC release_func)
{
    gRelease.store(release_func);
}

/* ---- Client ------------------------------------------------------------ */

AWS_ECR_CLIENT *ozcMgrAwsEcrClientCreate(const char *registry_id, const char *region, const char *access_key_id,
                                         const char *secret_access_key, struct CurlCtxSt *curl_ctx)
{
    if (registry_id == nullptr || region == nullptr || access_key_id == nullptr || secret_access_key == nullptr ||
        curl_ctx == nullptr) {
        ozcmgr::invalidArgument();
        return nullptr;
    }
    auto *client = static_cast<AWS_ECR_CLIENT *>(std::calloc(1, sizeof(AWS_ECR_CLIENT)));
    if (client == nullptr) {
        errnoSet(OZC_MGR_ERR_NO_MEMORY);
        ozcMgrUtilErr("malloc failed for aws_ecr_client\n");
        return nullptr;
    }
    struct Field {
        char *dest;
        size_t size;
        const char *src;
        const char *too_long;
    };
    const Field fields[] = {
        {client->registry_id, sizeof(client->registry_id), registry_id, "registry_id length is too long\n"},
        {client->region, sizeof(client->region), region, "region length is too long\n"},
        {client->access_key_id, sizeof(client->access_key_id), access_key_id, "user_name length is too long\n"},
        {client->secret_access_key, sizeof(client->secret_access_key), secret_access_key,
         "user_password length is too long\n"},
    };
    for (const Field &f : fields) {
        size_t len = strnlen(f.src, f.size);
        if (!ozcmgr::fieldCopy(f.dest, f.size, f.src, len)) {
            ozcMgrUtilErr("%s", f.too_long);
            ozcMgrAwsEcrClientDelete(client);
            return ozcmgr::failNull(OZC_MGR_ERR_INVALID_ARG);
        }
    }
    const char *bad = nullptr;
    if (!registryIdValid(client->registry_id)) {
        bad = "registry_id is not an AWS account id\n";
    } else if (!regionValid(client->region)) {
        bad = "region is not an AWS region name\n";
    } else if (!accessKeyIdValid(client->access_key_id)) {
        bad = "user_name is not an AWS access key id\n";
    }
    if (bad != nullptr) {
        ozcMgrUtilErr("%s", bad);
        ozcMgrAwsEcrClientDelete(client);
        return ozcmgr::failNull(OZC_MGR_ERR_INVALID_ARG);
    }
    client->curl_ctx = curl_ctx;
    return client;
}

void ozcMgrAwsEcrClientDelete(AWS_ECR_CLIENT *client)
{
    if (client == nullptr) {
        return;
    }
    OPENSSL_cleanse(client, sizeof(*client));
    AWS_ECR_RELEASE_FUNC release = gRelease.load();
    if (release != nullptr) {
        release(client, sizeof(*client));
    } else {
        std::free(client);
    }
}

/* ---- Exchange ---------------------------------------------------------- */

int ozcMgrAwsEcrRequestSign(const AWS_ECR_CLIENT *client, const char *host, const struct tm *utc, char *request_time,
                            size_t request_time_size, char *authorization, size_t authorization_size)
{
    if (client == nullptr || host == nullptr || utc == nullptr || request_time == nullptr || authorization == nullptr) {
        return ozcmgr::invalidArgument();
    }
    char date_stamp[kDateStampSize];
    if (timeFormat(utc, request_time, request_time_size, date_stamp, sizeof(date_stamp)) != 0) {
        return -1;
    }
    WorkBuf payload(kWorkSize, "payload");
    if (!payload || payloadFormat(client, payload.get(), payload.size()) != 0) {
        return -1;
    }
    return requestSign(client, host, request_time, date_stamp, payload.get(), authorization, authorization_size);
}

int ozcMgrAwsEcrAuthTokenGet(AWS_ECR_CLIENT *client)
{
    if (client == nullptr || client->curl_ctx == nullptr) {
        return ozcmgr::invalidArgument();
    }
    OPENSSL_cleanse(client->token, sizeof(client->token));

    /* 1. Request time and date stamp. */
    AWS_ECR_CLOCK_FUNC clock_func = gClock.load();
    time_t now = clock_func != nullptr ? clock_func(nullptr) : time(nullptr);
    struct tm utc;
    if (now == static_cast<time_t>(-1) || gmtime_r(&now, &utc) == nullptr) {
        ozcMgrUtilErr("gmtime failed\n");
        return -1;
    }
    char request_time[kRequestTimeSize];
    char date_stamp[kDateStampSize];
    if (timeFormat(&utc, request_time, sizeof(request_time), date_stamp, sizeof(date_stamp)) != 0) {
        ozcMgrUtilErr("gmtime failed\n");
        return -1;
    }

    /* Endpoint and the host that is both connected to and signed. */
    WorkBuf endpoint(kEndpointSize, "endpoint");
    if (!endpoint) {
        return -1;
    }
    char host[kEndpointSize];
    if (ozcMgrAwsEcrEndpointGet(client->region, endpoint.get(), endpoint.size(), host, sizeof(host)) != 0) {
        return -1;
    }

    /* 2.-9. Body and signature. */
    WorkBuf payload(kWorkSize, "payload");
    if (!payload) {
        return -1;
    }
    if (payloadFormat(client, payload.get(), payload.size()) != 0) {
        return -1;
    }
    WorkBuf authorization_header(kWorkSize, "authorization_header");
    if (!authorization_header) {
        return -1;
    }
    if (requestSign(client, host, request_time, date_stamp, payload.get(), authorization_header.get(),
                    authorization_header.size()) != 0) {
        return -1;
    }

    /* 10. Header list; the Authorization line replaces whatever the
     * transport would build from the context's credentials. */
    oz::Owner<HTTP_HEADER, httpHeaderFree> http_header(httpHeaderCreate());
    if (!http_header) {
        ozcMgrUtilErr("malloc failed for http_header\n");
        return -1;
    }
    WorkBuf header_item(kWorkSize, "header_item");
    if (!header_item) {
        return -1;
    }
    if (headerLineAppend(http_header.get(), header_item.get(), header_item.size(), "Content-Type", kContentType) != 0 ||
        headerLineAppend(http_header.get(), header_item.get(), header_item.size(), "X-Amz-Date", request_time) != 0 ||
        headerLineAppend(http_header.get(), header_item.get(), header_item.size(), "X-Amz-Target", kTarget) != 0 ||
        headerLineAppend(http_header.get(), header_item.get(), header_item.size(), "Authorization",
                         authorization_header.get()) != 0) {
        return -1;
    }

    /* 11. POST through the transfer layer with the context's TLS policy. */
    POST_DATA body = {payload.get(), strlen(payload.get())};
    CURL_CTX *ctx = client->curl_ctx;
    if (ozcMgrCurlPost(endpoint.get(), ctx, &body, http_header.get()) != 0) {
        return ozcmgr::failWith(OZC_MGR_ERR_CURL_FAILED);
    }

    /* 12. Status and token. */
    HTTP_RESPONSE *reply = curlCtxRespBodyGet(ctx);
    if (curlCtxHttpRespCodeGet(ctx) != 200) {
        ozcMgrUtilErr("ozcMgrAwsEcrAuthTokenGet error : %s\n", reply->str);
        return ozcmgr::failWith(OZC_MGR_ERR_HTTP_NOT_OK);
    }
    int rc = ozcMgrAwsEcrTokenFromJson(reply->str, client->token, sizeof(client->token));
    /* The reply holds the password in base64: it does not outlive this call. */
    OPENSSL_cleanse(reply->str, sizeof(reply->str));
    if (rc != 0) {
        OPENSSL_cleanse(client->token, sizeof(client->token));
        return ozcmgr::failWith(OZC_MGR_ERR_TOKEN_FETCH);
    }
    return 0;
}

int ozcMgrAwsEcrTokenFromJson(const char *user_token, char *out, size_t out_size)
{
    if (user_token == nullptr || out == nullptr || out_size == 0) {
        ozcMgrUtilErr("Invalid argument\n");
        return -1;
    }
    oz::JsonPtr root(cJSON_Parse(user_token));
    if (!root) {
        ozcMgrUtilErr("cJSON_Parse failed\n");
        return -1;
    }
    if (!cJSON_IsObject(root.get())) {
        ozcMgrUtilErr("user_token is not an object\n");
        return -1;
    }
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(root.get(), "authorizationData");
    if (!cJSON_IsArray(data)) {
        ozcMgrUtilErr("authorizationData is not an array\n");
        return -1;
    }
    const cJSON *first = cJSON_GetArrayItem(data, 0);
    cJSON *token = first != nullptr ? cJSON_GetObjectItemCaseSensitive(first, "authorizationToken") : nullptr;
    if (!cJSON_IsString(token) || token->valuestring == nullptr) {
        ozcMgrUtilErr("authorizationToken not found\n");
        return -1;
    }
    /* The token text is the password in base64: wipe it with the tree. */
    struct TokenWipe {
        char *s;
        ~TokenWipe() { OPENSSL_cleanse(s, strlen(s)); }
    } token_wipe{token->valuestring};

    size_t alloc_len = 0;
    size_t decoded_len = 0;
    unsigned char *decoded = base64Decode(token->valuestring, strlen(token->valuestring), &alloc_len, &decoded_len);
    if (decoded == nullptr) {
        ozcMgrUtilErr("curlx_base64_decode error\n");
        return -1;
    }
    auto wipe_free = [alloc_len](unsigned char *p) {
        OPENSSL_cleanse(p, alloc_len);
        std::free(p);
    };
    std::unique_ptr<unsigned char, decltype(wipe_free)> decoded_owner(decoded, wipe_free);
    const char *text = reinterpret_cast<const char *>(decoded);

    /* "AWS:<password>": the user name must be the whole first field, so the
     * password starts right after its colon and never beyond the text. */
    size_t user_len = strlen(kRegistryUser);
    if (memchr(text, '\0', decoded_len) != nullptr || decoded_len <= user_len ||
        strncmp(text, kRegistryUser, user_len) != 0 || text[user_len] != ':') {
        ozcMgrUtilErr("no user name %s found in user_token_str\n", kRegistryUser);
        return -1;
    }
    const char *password = text + user_len + 1;
    size_t password_len = decoded_len - user_len - 1;
    if (password_len == 0) {
        ozcMgrUtilErr("no password found in user_token_str\n");
        return -1;
    }
    if (!ozcmgr::fieldCopy(out, out_size, password, password_len)) {
        ozcMgrUtilErr("token_str length is too long\n");
        return -1;
    }
    return 0;
}

char *ozcMgrAwsEcrPasswordGet(AWS_ECR_CLIENT *client)
{
    if (client == nullptr) {
        ozcmgr::invalidArgument();
        return nullptr;
    }
    if (ozcMgrAwsEcrAuthTokenGet(client) != 0) {
        return nullptr;
    }
    return client->token;
}

} // extern "C"
