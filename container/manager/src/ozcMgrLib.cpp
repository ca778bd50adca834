/* ozcMgrLib.cpp - registry contexts, registry authentication (anonymous,
 * basic, bearer token, Amazon ECR) and the pull of an image into a local OCI
 * image layout with verified digests; manifest and tag queries; the
 * library's function table.
 */
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "ozcMgrLib.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <sys/stat.h>

#include <cjson/cJSON.h>
#include <openssl/sha.h>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrUtil.h"

namespace {

constexpr char kDefaultRegistry[] = "registry-1.docker.io";
constexpr char kAwsDomainSuffix[] = "amazonaws.com";
constexpr char kManifestFileName[] = "manifest.json";
constexpr char kBlobsDir[] = "blobs/sha256";
constexpr char kOrreryOs[] = "orrery";
constexpr char kOrreryArch[] = "amd64";
constexpr size_t kMediaTypeSize = 256;
constexpr size_t kHexSize = 65;
constexpr size_t kPathSize = REGISTRY_CTX_PATH_SIZE;
constexpr size_t kPathReserve = 45;
constexpr size_t kFileChunk = 4096;
constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0660;
constexpr long kCurlSslConnectError = 35;

using oz::FilePtr;
using oz::JsonPtr;
using oz::JsonText;

int failWith(int err)
{
    errnoSet(err);
    return -1;
}

int invalidArgument()
{
    ozcMgrUtilErr("Invalid argument\n");
    return failWith(OZC_MGR_ERR_INVALID_ARG);
}

/* Copies [text, text+len) into a fixed field; refuses what does not fit. */
bool fieldCopy(char *field, size_t fieldSize, const char *text, size_t len)
{
    if (len >= fieldSize)
        return false;
    memcpy(field, text, len);
    field[len] = '\0';
    return true;
}

bool pathExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

/* The image name names a directory of its own under the image base: it must
 * not be empty nor climb out of the base. */
bool imageNameIsSafe(std::string_view image)
{
    return !image.empty() && image != "." && image != ".." &&
           image.find('/') == std::string_view::npos;
}

bool mediaTypeIs(const char *type, const char *wanted)
{
    return strncmp(type, wanted, kMediaTypeSize) == 0;
}

bool isManifestList(const char *type)
{
    return mediaTypeIs(type, MEDIA_TYPE_DOCKER_MANIFEST_LIST) ||
           mediaTypeIs(type, MEDIA_TYPE_OCI_IMAGE_INDEX);
}

bool isSchema1(const char *type)
{
    return mediaTypeIs(type, MEDIA_TYPE_DOCKER_MANIFEST_V2S1) ||
           mediaTypeIs(type, MEDIA_TYPE_DOCKER_MANIFEST_V2S1_SIGNED);
}

/* "<layout>/<name>" into out; false when it does not fit. */
bool layoutPathGet(const REGISTRY_CTX *ctx, const char *name, char *out, size_t size)
{
    int n = snprintf(out, size, "%s/%s", ctx->image_local_path, name);
    return n > 0 && static_cast<size_t>(n) < size;
}

/* Text of a JSON string member, or null. */
const char *jsonStringGet(const cJSON *obj, const char *name)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

/* The ECR road of the authentication: exchange the AWS access key stored as
 * user name and password for the registry password, then log in as "AWS". */
int registryAwsEcrLogin(REGISTRY_CTX *ctx)
{
    char registryId[AWS_ECR_REGISTRY_ID_SIZE] = {0};
    char region[AWS_ECR_REGION_SIZE] = {0};
    if (ozcMgrAwsEcrRegistryParse(ctx->registry, registryId, sizeof(registryId), region,
                                  sizeof(region)) != 0) {
        ozcMgrUtilErr("AWS ECR registry url format error\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    oz::Owner<AWS_ECR_CLIENT, ozcMgrAwsEcrClientDelete> client(ozcMgrAwsEcrClientCreate(
        registryId, region, curlCtxUserNameGet(ctx->curl_ctx),
        curlCtxUserPwdGet(ctx->curl_ctx), ctx->curl_ctx));
    if (!client)
        return -1;
    const char *password = ozcMgrAwsEcrPasswordGet(client.get());
    if (password == nullptr)
        return -1;
    static const char awsUser[] = "AWS";
    if (curlCtxUserNameSet(ctx->curl_ctx, awsUser, strlen(awsUser)) != 0)
        return -1;
    return curlCtxUserPwdSet(ctx->curl_ctx, password,
                             strnlen(password, CURL_CTX_PASSWORD_SIZE));
}

/* Bearer token from the token service named by the challenge. */
int bearerTokenFetch(REGISTRY_CTX *ctx, const char *realm, const char *service)
{
    char tokenUrl[OZC_MGR_URL_SIZE];
    int n = snprintf(tokenUrl, sizeof(tokenUrl), "%s?service=%s&scope=repository:%s:pull",
                     realm, service, ctx->repository);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(tokenUrl)) {
        ozcMgrUtilErr("token url is too long\n");
        return failWith(OZC_MGR_ERR_AUTH_HEADER);
    }
    if (ozcMgrCurlGet(tokenUrl, ctx->curl_ctx, nullptr) != 0)
        return failWith(OZC_MGR_ERR_CURL_FAILED);
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

/* Hex part of a digest ("algorithm:hex"), or null without ':'. */
/* Send one request for url, HEAD or GET, and go on only with a 200 answer;
 * `what` (and `subject`) name the request in the error line. */
int registryRequest(REGISTRY_CTX *ctx, const char *url, HTTP_HEADER *header, bool head,
                    const char *what, const char *subject = nullptr)
{
    if ((head ? ozcMgrCurlHead : ozcMgrCurlGet)(url, ctx->curl_ctx, header) != 0)
        return failWith(OZC_MGR_ERR_CURL_FAILED);
    long status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
    if (status != 200) {
        ozcMgrUtilErr("%s%s%s failed with response code %ld %s\n", what, subject ? " " : "",
                      subject ? subject : "", status, httpResponseCodeStrGet(status));
        return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
    }
    return 0;
}

/* Sign in to the registry, build the URL with urlGet and send the request
 * with the context's extra headers. */
int registryAsk(REGISTRY_CTX *ctx, char (&url)[OZC_MGR_URL_SIZE],
                int (*urlGet)(REGISTRY_CTX *, char *, size_t), bool head, const char *what)
{
    if (ozcMgrRegistryAuthenticate(ctx) != 0)
        return -1;
    if (urlGet(ctx, url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    return registryRequest(ctx, url, ctx->extra_http_header, head, what);
}

int tagManifestUrlGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    return ozcMgrEndpointManifestUrlGet(ctx, ctx->tag, buf, size);
}

/* The reply body as JSON; null (errno set) when it does not parse. */
JsonPtr replyJsonGet(REGISTRY_CTX *ctx)
{
    JsonPtr reply(cJSON_Parse(curlCtxRespBodyGet(ctx->curl_ctx)->str));
    if (!reply) {
        ozcMgrUtilErr("cJSON_Parse failed\n");
        errnoSet(OZC_MGR_ERR_JSON_LOAD);
    }
    return reply;
}

const char *ozcMgrHashGetFromDigest(const char *digest)
{
    const char *colon = strchr(digest, ':');
    return colon == nullptr ? nullptr : colon + 1;
}

/* Downloads one blob into the layout's blob store (path: its file) and
 * verifies it. */
int blobDownload(REGISTRY_CTX *ctx, const char *digest, char (&path)[kPathSize])
{
    if (!ozcMgrDigestIsValid(digest)) {
        ozcMgrUtilErr("digest format error\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointBlobUrlGet(ctx, digest, url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    int n = snprintf(path, sizeof(path), "%s/%s/%s", ctx->image_local_path, kBlobsDir,
                     ozcMgrHashGetFromDigest(digest));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (curlCtxFileNameSet(ctx->curl_ctx, path, strlen(path)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (registryRequest(ctx, url, nullptr, false, "download blob", digest) != 0)
        return -1;
    if (ozcMgrFileDigestVerify(path, digest) != 0)
        return failWith(OZC_MGR_ERR_INTEGRITY);
    return 0;
}

long long fileSizeGet(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

int ozcMgrManifestTypeSet(REGISTRY_CTX *ctx, const char *mediaType)
{
    if (mediaTypeIs(mediaType, MEDIA_TYPE_OCI_IMAGE_MANIFEST))
        ctx->image_config.manifest_type = OCI_IMAGE_MANIFEST_V1;
    else if (mediaTypeIs(mediaType, MEDIA_TYPE_DOCKER_MANIFEST_V2S2))
        ctx->image_config.manifest_type = DOCKER_MANIFEST_V2S2;
    else if (isSchema1(mediaType))
        ctx->image_config.manifest_type = DOCKER_MANIFEST_V2S1;
    return 0;
}

/* Config and layers of a schema 2 or OCI manifest already on disk. */
int ozcMgrManifestV2S2Process(REGISTRY_CTX *ctx, const char *manifestPath)
{
    JsonPtr manifest(cJSON_load_from_file(manifestPath));
    if (!manifest) {
        ozcMgrUtilErr("cJSON_load_from_file manifest %s failed\n", manifestPath);
        return failWith(OZC_MGR_ERR_JSON_LOAD);
    }
    const cJSON *config = cJSON_GetObjectItemCaseSensitive(manifest.get(), "config");
    if (!cJSON_IsObject(config)) {
        ozcMgrUtilErr("config is not an object\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    const char *configDigest = jsonStringGet(config, "digest");
    if (configDigest == nullptr) {
        ozcMgrUtilErr("digest not found\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (ozcMgrHashGetFromDigest(configDigest) == nullptr) {
        ozcMgrUtilErr("digest format error\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    char path[kPathSize];
    if (blobDownload(ctx, configDigest, path) != 0)
        return -1;

    const cJSON *layers = cJSON_GetObjectItemCaseSensitive(manifest.get(), "layers");
    if (!cJSON_IsArray(layers)) {
        ozcMgrUtilErr("fsLayers is not an array\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    int count = cJSON_GetArraySize(layers);
    if (count == 0) {
        ozcMgrUtilErr("layers has zero layer\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    ozcMgrUtilOut("Number of layers: %d\n", count);
    int index = 0;
    const cJSON *layer = nullptr;
    cJSON_ArrayForEach(layer, layers)
    {
        if (!cJSON_IsObject(layer)) {
            ozcMgrUtilErr("layer %d is not an object\n", index);
            return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        const char *digest = jsonStringGet(layer, "digest");
        if (digest == nullptr) {
            ozcMgrUtilErr("digest %d is not a string\n", index);
            return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        ozcMgrUtilOut("Layer %d, downloading %s\n", index, digest);
        if (blobDownload(ctx, digest, path) != 0)
            return -1;
        ozcMgrUtilOut("Layer %d done: %lld bytes %s\n", index, fileSizeGet(path), digest);
        ++index;
    }
    return 0;
}

/* Classifies the manifest in the layout's download file, verifies it and
 * downloads what it names. */
int ozcMgrManifestProcess(REGISTRY_CTX *ctx, const char *mediaType, const char *digest)
{
    ozcMgrManifestTypeSet(ctx, mediaType);
    MANIFEST_TYPE type = ctx->image_config.manifest_type;
    if (type != DOCKER_MANIFEST_V2S2 && type != OCI_IMAGE_MANIFEST_V1) {
        ozcMgrUtilErr("unsupported manifest type %s\n", mediaType);
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    char manifestPath[kPathSize];
    if (!layoutPathGet(ctx, kManifestFileName, manifestPath, sizeof(manifestPath)))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (ozcMgrFileDigestVerify(manifestPath, digest) != 0)
        return failWith(OZC_MGR_ERR_INTEGRITY);
    return ozcMgrManifestV2S2Process(ctx, manifestPath);
}

/* Picks the orrery/amd64 entry of the list in the download file and fetches
 * its manifest in place of the list. */
int ozcMgrManifestListProcess(REGISTRY_CTX *ctx)
{
    char manifestPath[kPathSize];
    if (!layoutPathGet(ctx, kManifestFileName, manifestPath, sizeof(manifestPath)))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    JsonPtr list(cJSON_load_from_file(manifestPath));
    if (!list) {
        ozcMgrUtilErr("cJSON_load_from_file manifest list %s failed\n", manifestPath);
        return failWith(OZC_MGR_ERR_JSON_LOAD);
    }
    const cJSON *entry = ozcMgrManifestExtract(list.get());
    if (entry == nullptr)
        return -1;
    const char *digest = jsonStringGet(entry, "digest");
    if (digest == nullptr) {
        ozcMgrUtilErr("digest not found\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    const char *mediaType = jsonStringGet(entry, "mediaType");
    if (mediaType == nullptr) {
        ozcMgrUtilErr("media_type not found\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (!ozcMgrDigestIsValid(digest)) {
        ozcMgrUtilErr("digest format error\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointManifestUrlGet(ctx, digest, url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (curlCtxFileNameSet(ctx->curl_ctx, manifestPath, strlen(manifestPath)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (ozcMgrCurlGet(url, ctx->curl_ctx, ctx->extra_http_header) != 0)
        return failWith(OZC_MGR_ERR_CURL_FAILED);
    return ozcMgrManifestProcess(ctx, mediaType, digest);
}

int ozcMgrOCILayeroutFileCreate(REGISTRY_CTX *ctx)
{
    JsonPtr layout(cJSON_CreateObject());
    if (!layout || cJSON_AddStringToObject(layout.get(), "imageLayoutVersion", "1.0.0") ==
                       nullptr) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }
    char path[kPathSize];
    if (!layoutPathGet(ctx, "oci-layout", path, sizeof(path)) ||
        cJSON_dump_to_file(layout.get(), path, kFileMode) != 0) {
        ozcMgrUtilErr("construct oci-layout file failed\n");
        return -1;
    }
    return 0;
}

int ozcMgrOCIIndexFileCreate(REGISTRY_CTX *ctx)
{
    char manifestPath[kPathSize];
    if (!layoutPathGet(ctx, kManifestFileName, manifestPath, sizeof(manifestPath)) ||
        !pathExists(manifestPath)) {
        ozcMgrUtilErr("manifest file %s not exist\n", manifestPath);
        return -1;
    }
    long long size = fileSizeGet(manifestPath);
    char hex[kHexSize];
    if (size < 0 || ozcMgrFileSha256HexGet(manifestPath, hex, sizeof(hex)) != 0)
        return -1;
    char digest[kHexSize + 8];
    snprintf(digest, sizeof(digest), "sha256:%s", hex);

    JsonPtr index(cJSON_CreateObject());
    cJSON *manifests = nullptr;
    cJSON *entry = nullptr;
    if (!index || cJSON_AddNumberToObject(index.get(), "schemaVersion", 2) == nullptr ||
        (manifests = cJSON_AddArrayToObject(index.get(), "manifests")) == nullptr ||
        (entry = cJSON_CreateObject()) == nullptr) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }
    cJSON_AddItemToArray(manifests, entry);
    if (cJSON_AddStringToObject(entry, "mediaType", MEDIA_TYPE_OCI_IMAGE_MANIFEST) == nullptr ||
        cJSON_AddStringToObject(entry, "digest", digest) == nullptr ||
        cJSON_AddNumberToObject(entry, "size", static_cast<double>(size)) == nullptr) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }
    char indexPath[kPathSize];
    if (!layoutPathGet(ctx, "index.json", indexPath, sizeof(indexPath)) ||
        cJSON_dump_to_file(index.get(), indexPath, kFileMode) != 0) {
        ozcMgrUtilErr("construct index.json file failed\n");
        return -1;
    }
    char blobPath[kPathSize];
    int n = snprintf(blobPath, sizeof(blobPath), "%s/%s/%s", ctx->image_local_path, kBlobsDir,
                     hex);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(blobPath) ||
        rename(manifestPath, blobPath) != 0) {
        ozcMgrUtilErr("rename DOWNLOAD_IMAGE_MANIFEST_NAME failed\n");
        return -1;
    }
    return 0;
}

/* Docker media types and their OCI counterparts; what is not listed stays. */
struct MediaTypeMap {
    const char *docker;
    const char *oci;
};
constexpr MediaTypeMap kDockerToOci[] = {
    {"application/vnd.docker.container.image.v1+json", "application/vnd.oci.image.config.v1+json"},
    {"application/vnd.docker.image.rootfs.diff.tar.gzip",
     "application/vnd.oci.image.layer.v1.tar+gzip"},
    {"application/vnd.docker.image.rootfs.foreign.diff.tar.gzip",
     "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip"},
};

void mediaTypeToOci(cJSON *obj)
{
    cJSON *type = cJSON_GetObjectItemCaseSensitive(obj, "mediaType");
    if (!cJSON_IsString(type) || type->valuestring == nullptr)
        return;
    for (const MediaTypeMap &m : kDockerToOci) {
        if (strcmp(type->valuestring, m.docker) == 0) {
            cJSON_SetValuestring(type, m.oci);
            return;
        }
    }
}

/* The runtime reads OCI media types only: a Docker schema 2 manifest is
 * restated in them (same config and layers, so the same image) and becomes
 * the layout's manifest; the manifest as the registry served it stays in the
 * blob store under its own digest. */
int ozcMgrDockerManifestToOci(REGISTRY_CTX *ctx)
{
    char manifestPath[kPathSize];
    char hex[kHexSize];
    char servedPath[kPathSize];
    if (!layoutPathGet(ctx, kManifestFileName, manifestPath, sizeof(manifestPath)) ||
        ozcMgrFileSha256HexGet(manifestPath, hex, sizeof(hex)) != 0)
        return -1;
    int n = snprintf(servedPath, sizeof(servedPath), "%s/%s/%s", ctx->image_local_path, kBlobsDir,
                     hex);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(servedPath))
        return -1;
    JsonPtr manifest(cJSON_load_from_file(manifestPath));
    if (!manifest) {
        ozcMgrUtilErr("cJSON_load_from_file manifest %s failed\n", manifestPath);
        return -1;
    }
    cJSON *type = cJSON_GetObjectItemCaseSensitive(manifest.get(), "mediaType");
    if (cJSON_IsString(type))
        cJSON_SetValuestring(type, MEDIA_TYPE_OCI_IMAGE_MANIFEST);
    mediaTypeToOci(cJSON_GetObjectItemCaseSensitive(manifest.get(), "config"));
    cJSON *layer = nullptr;
    cJSON_ArrayForEach(layer, cJSON_GetObjectItemCaseSensitive(manifest.get(), "layers"))
    {
        mediaTypeToOci(layer);
    }
    if (rename(manifestPath, servedPath) != 0 ||
        cJSON_dump_to_file(manifest.get(), manifestPath, kFileMode) != 0) {
        ozcMgrUtilErr("construct OCI manifest failed\n");
        return -1;
    }
    return 0;
}

int ozcMgrOCIImageTransform(REGISTRY_CTX *ctx)
{
    MANIFEST_TYPE type = ctx->image_config.manifest_type;
    if (type != DOCKER_MANIFEST_V2S2 && type != OCI_IMAGE_MANIFEST_V1)
        return -1;
    if (type == DOCKER_MANIFEST_V2S2 && ozcMgrDockerManifestToOci(ctx) != 0)
        return -1;
    if (ozcMgrOCILayeroutFileCreate(ctx) != 0)
        return -1;
    return ozcMgrOCIIndexFileCreate(ctx);
}

int ozcMgrImageInfoInit(const REGISTRY_CTX *ctx, IMAGE_INFO *info)
{
    if (!fieldCopy(info->image_name, sizeof(info->image_name), ctx->image,
                   strnlen(ctx->image, sizeof(ctx->image))) ||
        !fieldCopy(info->image_tag, sizeof(info->image_tag), ctx->tag,
                   strnlen(ctx->tag, sizeof(ctx->tag))) ||
        !fieldCopy(info->image_path, sizeof(info->image_path), ctx->image_local_path,
                   strnlen(ctx->image_local_path, sizeof(ctx->image_local_path))))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    return 0;
}

/* Indented JSON text of a reply into the caller's buffer. */
int jsonTextCopy(const cJSON *json, char *buf, size_t size, int err, const char *emptyMsg)
{
    JsonText text(cJSON_Print(json));
    if (!text) {
        ozcMgrUtilErr("cJSON_dumps failed\n");
        return failWith(err);
    }
    size_t len = strnlen(text.get(), HTTP_RESPONSE_SIZE);
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

OZC_MGR_LIB_FUNCS ozcMgr_lib_funcs;

} /* namespace */

extern "C" {

OZC_MGR_LIB_FUNCS *ozcMgrLibFuncs = nullptr;

/* Publishes the function table when the library is loaded. */
__attribute__((constructor)) static void ozcMgrLibInit(void)
{
    ozcMgr_lib_funcs.imagePull = ozcImagePullCmd;
    ozcMgrLibFuncs = &ozcMgr_lib_funcs;
}

void ozcMgrEnable(void) {}

/* ---- Registry context ---------------------------------------------------- */

REGISTRY_CTX *ozcRegistryCtxCreate(void)
{
    auto *ctx = static_cast<REGISTRY_CTX *>(calloc(1, sizeof(REGISTRY_CTX)));
    if (ctx == nullptr) {
        ozcMgrUtilErr("malloc failed for registry_ctx\n");
        errnoSet(OZC_MGR_ERR_NO_MEMORY);
        return nullptr;
    }
    int savedErrno = errnoGet();
    if (ozEnvGet(OZC_DEFAULT_REGISTRY_ENV, ctx->registry, sizeof(ctx->registry)) != 0 ||
        ctx->registry[0] == '\0')
        snprintf(ctx->registry, sizeof(ctx->registry), "%s", kDefaultRegistry);
    errnoSet(savedErrno);
    snprintf(ctx->tag, sizeof(ctx->tag), "latest");
    snprintf(ctx->transfer_protocol, sizeof(ctx->transfer_protocol), "https");
    ctx->curl_ctx = curlCtxCreate();
    ctx->extra_http_header = httpHeaderCreate();
    char accept[512];
    snprintf(accept, sizeof(accept), "Accept: %s,%s,%s,%s", MEDIA_TYPE_DOCKER_MANIFEST_LIST,
             MEDIA_TYPE_OCI_IMAGE_INDEX, MEDIA_TYPE_OCI_IMAGE_MANIFEST,
             MEDIA_TYPE_DOCKER_MANIFEST_V2S2);
    if (ctx->curl_ctx == nullptr || ctx->extra_http_header == nullptr ||
        httpHeaderAppend(ctx->extra_http_header, accept) != 0) {
        ozcRegistryCtxDelete(ctx);
        errnoSet(OZC_MGR_ERR_NO_MEMORY);
        return nullptr;
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
    return curlCtxUserNameSet(ctx->curl_ctx, user_name,
                              strnlen(user_name, CURL_CTX_USER_SIZE));
}

int ozcRegistryCtxUserPwdSet(REGISTRY_CTX *ctx, const char *password)
{
    if (ctx == nullptr || ctx->curl_ctx == nullptr || password == nullptr)
        return invalidArgument();
    return curlCtxUserPwdSet(ctx->curl_ctx, password,
                             strnlen(password, CURL_CTX_PASSWORD_SIZE));
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

    /* Tag or digest. */
    std::string_view repository = rest;
    size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
        std::string_view tag;
        if (colon >= 7 && rest.substr(colon - 7, 7) == "@sha256") {
            repository = rest.substr(0, colon - 7);
            tag = rest.substr(colon - 6);
        } else {
            repository = rest.substr(0, colon);
            tag = rest.substr(colon + 1);
        }
        if (!fieldCopy(ctx->repository, sizeof(ctx->repository), repository.data(),
                       repository.size())) {
            ozcMgrUtilErr("repository length is too long\n");
            return failWith(OZC_MGR_ERR_INVALID_ARG);
        }
        if (!fieldCopy(ctx->tag, sizeof(ctx->tag), tag.data(), tag.size())) {
            ozcMgrUtilErr("tag length is too long\n");
            return failWith(OZC_MGR_ERR_INVALID_ARG);
        }
    } else if (!fieldCopy(ctx->repository, sizeof(ctx->repository), repository.data(),
                          repository.size())) {
        ozcMgrUtilErr("repository length is too long\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }

    /* Image: the last path element of the repository. */
    size_t last = repository.rfind('/');
    std::string_view image =
        last == std::string_view::npos ? repository : repository.substr(last + 1);
    if (!fieldCopy(ctx->image, sizeof(ctx->image), image.data(), image.size())) {
        ozcMgrUtilErr(last == std::string_view::npos ? "repository/image length is too long\n"
                                                     : "image length is too long\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    if (!imageNameIsSafe(image)) {
        ozcMgrUtilErr("invalid image name %s\n", ctx->image);
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    ozcMgrUtilOut("registry:%s, repository:%s, image:%s, tag:%s\n", ctx->registry,
                  ctx->repository, ctx->image, ctx->tag);
    return 0;
}

int ozcImageRegistryInfoGet(REGISTRY_CTX *ctx, char *registry, size_t registry_size,
                            char *repository, size_t repository_size, char *image,
                            size_t image_size, char *tag, size_t tag_size)
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
    snprintf(line, sizeof(line), "\nlibcurl error %d : %s", static_cast<int>(code),
             curl_easy_strerror(code));
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
    return endpointFormat(
        snprintf(buf, size, "%s://%s/v2/", ctx->transfer_protocol, ctx->registry), size);
}

int ozcMgrEndpointManifestUrlGet(REGISTRY_CTX *ctx, const char *reference, char *buf,
                                 size_t size)
{
    if (ctx == nullptr || reference == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(snprintf(buf, size, "%s://%s/v2/%s/manifests/%s",
                                   ctx->transfer_protocol, ctx->registry, ctx->repository,
                                   reference),
                          size);
}

int ozcMgrEndpointBlobUrlGet(REGISTRY_CTX *ctx, const char *digest, char *buf, size_t size)
{
    if (ctx == nullptr || digest == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(snprintf(buf, size, "%s://%s/v2/%s/blobs/%s", ctx->transfer_protocol,
                                   ctx->registry, ctx->repository, digest),
                          size);
}

int ozcMgrEndpointTagsUrlGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size == 0)
        return -1;
    return endpointFormat(snprintf(buf, size, "%s://%s/v2/%s/tags/list", ctx->transfer_protocol,
                                   ctx->registry, ctx->repository),
                          size);
}

/* ---- Authentication -------------------------------------------------------- */

int ozcMgrAwsEcrRegistryParse(const char *registry, char *registry_id, size_t id_size,
                              char *region, size_t region_size)
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
    if (!fieldCopy(region, region_size, regionBegin,
                   static_cast<size_t>(regionEnd - regionBegin))) {
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
    if (rc != 0 && curlCtxErrnoGet(ctx->curl_ctx) == kCurlSslConnectError &&
        !curlCtxSecureGet(ctx->curl_ctx)) {
        ozcMgrUtilOut("HTTPS connection failed and fallback to HTTP\n");
        snprintf(ctx->transfer_protocol, sizeof(ctx->transfer_protocol), "http");
        if (ozcMgrEndpointBaseUrlGet(ctx, baseUrl, sizeof(baseUrl)) != 0)
            return failWith(OZC_MGR_ERR_INVALID_ARG);
        rc = ozcMgrCurlGet(baseUrl, ctx->curl_ctx, nullptr);
    }
    if (rc != 0)
        return failWith(OZC_MGR_ERR_CURL_FAILED);
    long status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
    if (status == 200)
        return 0;

    if (status == 401) {
        char method[32];
        char realm[OZC_MGR_URL_SIZE];
        char service[32];
        const char *header = curlCtxRespHeaderGet(ctx->curl_ctx)->str;
        if (httpHeaderAuthGet(header, method, sizeof(method), realm, sizeof(realm), service,
                              sizeof(service)) != 0) {
            /* A basic challenge carries no service: the credentials were
             * refused (or missing), which is not a malformed header. */
            if (challengeIsBasic(header)) {
                ozcMgrUtilErr("Unauthorized access to %s\n", baseUrl);
                return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
            }
            ozcMgrUtilErr("Unauthorized access to %s, but get www-authenticate field failed.\n",
                          baseUrl);
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
        return failWith(OZC_MGR_ERR_CURL_FAILED);
    status = curlCtxHttpRespCodeGet(ctx->curl_ctx);
    if (status != 200) {
        ozcMgrUtilErr("Access error to %s with response code %ld\n", baseUrl, status);
        return failWith(OZC_MGR_ERR_HTTP_NOT_OK);
    }
    return 0;
}

/* ---- Digests ------------------------------------------------------------ */

int ozcMgrDigestIsValid(const char *digest)
{
    static const char prefix[] = "sha256:";
    if (digest == nullptr || strncmp(digest, prefix, sizeof(prefix) - 1) != 0)
        return 0;
    const char *hex = digest + sizeof(prefix) - 1;
    for (int i = 0; i < 64; ++i) {
        char c = hex[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return 0;
    }
    return hex[64] == '\0' ? 1 : 0;
}

int ozcMgrFileSha256HexGet(const char *file_name, char *hash, size_t hash_size)
{
    if (file_name == nullptr || hash == nullptr)
        return -1;
    if (hash_size < kHexSize) {
        ozcMgrUtilErr("hashBufferSize is too small %s\n", file_name);
        return -1;
    }
    FilePtr file(fopen(file_name, "rb"));
    if (!file) {
        ozcMgrUtilErr("fopen failed for file %s\n", file_name);
        return -1;
    }
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kFileChunk]);
    if (!chunk) {
        ozcMgrUtilErr("malloc failed\n");
        return -1;
    }
    SHA256_CTX sha;
    SHA256_Init(&sha);
    size_t n;
    while ((n = fread(chunk.get(), 1, kFileChunk, file.get())) > 0)
        SHA256_Update(&sha, chunk.get(), n);
    if (ferror(file.get())) {
        ozcMgrUtilErr("fread failed for file %s\n", file_name);
        return -1;
    }
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256_Final(md, &sha);
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i)
        snprintf(hash + 2 * i, 3, "%02x", md[i]);
    return 0;
}

/* Compares the file's hash with the hex digits of the digest. */
static int ozcMgrFileSha256Check(const char *file_name, const char *expectedHex)
{
    char hash[kHexSize];
    if (ozcMgrFileSha256HexGet(file_name, hash, sizeof(hash)) != 0)
        return -1;
    if (strlen(expectedHex) == 64 && strncmp(hash, expectedHex, 64) == 0) {
        ozcMgrUtilOut("integrity check passed for file %s\n", file_name);
        return 0;
    }
    ozcMgrUtilOut("integrity check failed for file %s, expected hash: %s, calculated hash: %s\n",
                  file_name, expectedHex, hash);
    return -1;
}

int ozcMgrFileDigestVerify(const char *file_name, const char *digest)
{
    if (file_name == nullptr || digest == nullptr)
        return -1;
    const char *colon = strchr(digest, ':');
    if (colon == nullptr) {
        ozcMgrUtilErr("digest format error\n");
        return -1;
    }
    std::string_view algorithm(digest, static_cast<size_t>(colon - digest));
    if (algorithm != "sha256") {
        ozcMgrUtilErr("Not support %.*s digest verification\n", static_cast<int>(algorithm.size()),
                      algorithm.data());
        return -1;
    }
    return ozcMgrFileSha256Check(file_name, colon + 1);
}

/* ---- Manifest list ------------------------------------------------------ */

cJSON *ozcMgrManifestExtract(cJSON *manifest_list)
{
    const cJSON *manifests = cJSON_GetObjectItemCaseSensitive(manifest_list, "manifests");
    if (!cJSON_IsArray(manifests)) {
        ozcMgrUtilErr("manifest_list is not an array\n");
        errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
        return nullptr;
    }
    if (cJSON_GetArraySize(manifests) == 0) {
        ozcMgrUtilErr("manifest_list has zero manifest\n");
        errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
        return nullptr;
    }
    cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, manifests)
    {
        const cJSON *platform = cJSON_GetObjectItemCaseSensitive(entry, "platform");
        if (!cJSON_IsObject(platform)) {
            ozcMgrUtilErr("platform not found\n");
            errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
            return nullptr;
        }
        const cJSON *os = cJSON_GetObjectItemCaseSensitive(platform, "os");
        if (!cJSON_IsString(os)) {
            ozcMgrUtilErr("os not found\n");
            errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
            return nullptr;
        }
        const cJSON *arch = cJSON_GetObjectItemCaseSensitive(platform, "architecture");
        if (!cJSON_IsString(arch)) {
            ozcMgrUtilErr("architecture not found\n");
            errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
            return nullptr;
        }
        if (os->valuestring == nullptr || arch->valuestring == nullptr) {
            ozcMgrUtilErr("the string of os or architecture is NULL\n");
            errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
            return nullptr;
        }
        if (strncmp(os->valuestring, kOrreryOs, 256) == 0 &&
            strncmp(arch->valuestring, kOrreryArch, 256) == 0) {
            if (!cJSON_IsObject(entry)) {
                ozcMgrUtilErr("manifest is not an object\n");
                errnoSet(OZC_MGR_ERR_MANIFEST_PARSE);
                return nullptr;
            }
            return entry;
        }
    }
    ozcMgrUtilErr("no image found for os %s and arch %s\n", kOrreryOs, kOrreryArch);
    errnoSet(OZC_MGR_ERR_PLATFORM_NOT_FOUND);
    return nullptr;
}

/* ---- Pull ----------------------------------------------------------------- */

int ozcMgrImageLocalPathInit(REGISTRY_CTX *ctx, const char *sub_dir)
{
    if (ctx == nullptr)
        return invalidArgument();
    const char *name = sub_dir != nullptr ? sub_dir : ctx->image;
    if (!imageNameIsSafe(name)) {
        ozcMgrUtilErr("invalid image name %s\n", name);
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    char base[kPathSize] = {0};
    int savedErrno = errnoGet();
    if (ozEnvGet(OZC_IMAGE_PATH_ENV, base, sizeof(base)) != 0 || base[0] == '\0')
        snprintf(base, sizeof(base), "%s", OZC_IMAGE_PATH_DEFAULT);
    errnoSet(savedErrno);
    size_t baseLen = strlen(base);
    const char *sep = (base[baseLen - 1] == '/' || base[baseLen - 1] == '\\') ? "" : "/";
    char path[kPathSize];
    int n = snprintf(path, sizeof(path), "%s%s%s", base, sep, name);
    if (n < 0 || static_cast<size_t>(n) + kPathReserve > sizeof(path)) {
        ozcMgrUtilErr("path is too long\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    memcpy(ctx->image_local_path, path, static_cast<size_t>(n) + 1);
    if (ozMkdirP(ctx->image_local_path, kDirMode) != 0) {
        ozcMgrUtilErr("failed to create directory %s\n", ctx->image_local_path);
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    return 0;
}

int ozcImagePullInternal(REGISTRY_CTX *ctx)
{
    if (ctx == nullptr)
        return invalidArgument();
    /* The kind of an earlier pull on this context must not stand in for a
     * manifest type this pull does not know. */
    ctx->image_config.manifest_type = MANIFEST_TYPE_UNKNOWN;
    char url[OZC_MGR_URL_SIZE];
    if (registryAsk(ctx, url, tagManifestUrlGet, true, "download manifest") != 0)
        return -1;
    const char *header = curlCtxRespHeaderGet(ctx->curl_ctx)->str;
    char contentType[kMediaTypeSize];
    if (httpHeaderValGet(header, "content-type", contentType, sizeof(contentType)) != 0)
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    if (isSchema1(contentType)) {
        ozcMgrUtilErr("Not support docker image Manifest Version 2, Schema 1\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    char digest[kMediaTypeSize];
    if (httpHeaderValGet(header, "docker-content-digest", digest, sizeof(digest)) != 0)
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    if (!ozcMgrDigestIsValid(digest)) {
        ozcMgrUtilErr("digest format error\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    /* A pull by digest trusts no other manifest than the one it named. */
    if (strncmp(ctx->tag, "sha256:", 7) == 0 && strcmp(ctx->tag, digest) != 0) {
        ozcMgrUtilErr("integrity check failed for manifest %s, registry sent %s\n", ctx->tag,
                      digest);
        return failWith(OZC_MGR_ERR_INTEGRITY);
    }

    char manifestPath[kPathSize];
    if (!layoutPathGet(ctx, kManifestFileName, manifestPath, sizeof(manifestPath)) ||
        curlCtxFileNameSet(ctx->curl_ctx, manifestPath, strlen(manifestPath)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (ozcMgrCurlGet(url, ctx->curl_ctx, ctx->extra_http_header) != 0)
        return failWith(OZC_MGR_ERR_CURL_FAILED);

    int rc;
    if (isManifestList(contentType)) {
        if (ozcMgrFileDigestVerify(manifestPath, digest) != 0)
            return failWith(OZC_MGR_ERR_INTEGRITY);
        rc = ozcMgrManifestListProcess(ctx);
    } else {
        rc = ozcMgrManifestProcess(ctx, contentType, digest);
    }
    if (rc != 0) {
        ozcMgrUtilErr("manifest processing error\n");
        return -1;
    }
    return 0;
}

int ozcImagePull(REGISTRY_CTX *ctx, IMAGE_INFO *image_info)
{
    if (ctx == nullptr)
        return invalidArgument();
    if (ozcMgrImageLocalPathInit(ctx, nullptr) != 0)
        return -1;

    int rc = -1;
    char blobsPath[kPathSize];
    if (!layoutPathGet(ctx, kBlobsDir, blobsPath, sizeof(blobsPath))) {
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
    } else if (!pathExists(blobsPath) && ozMkdirP(blobsPath, kDirMode) != 0) {
        ozcMgrUtilErr("failed to create directory %s for image %s\n", blobsPath, ctx->image);
        errnoSet(OZC_MGR_ERR_INVALID_ARG);
    } else {
        ozcMgrUtilOut("Trying to pull %s from %s://%s/v2/\n", ctx->repository,
                      ctx->transfer_protocol, ctx->registry);
        if (ozcImagePullInternal(ctx) != 0) {
            /* errno set by the failing step */
        } else if (ozcMgrOCIImageTransform(ctx) != 0) {
            ozcMgrUtilErr("ozcMgrOCIImageTransform error\n");
            errnoSet(OZC_MGR_ERR_OCI_TRANSFORM);
        } else if (image_info != nullptr && ozcMgrImageInfoInit(ctx, image_info) != 0) {
            ozcMgrUtilErr("init for image_info failed\n");
        } else {
            ozcMgrUtilOut("Pull Success: %s\n", ctx->image_local_path);
            rc = 0;
        }
    }
    if (rc != 0 && pathExists(ctx->image_local_path)) {
        /* Nothing of a failed pull stays; the cause stays in errno. */
        int savedErrno = errnoGet();
        ozRmTree(ctx->image_local_path);
        errnoSet(savedErrno);
    }
    return rc;
}

int ozcManifestListGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size < 2) {
        ozcMgrUtilErr("invalid argument\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    memset(buf, 0, size);
    char url[OZC_MGR_URL_SIZE];
    if (registryAsk(ctx, url, tagManifestUrlGet, false, "get manifest") != 0)
        return -1;
    char contentType[kMediaTypeSize];
    if (httpHeaderValGet(curlCtxRespHeaderGet(ctx->curl_ctx)->str, "content-type", contentType,
                         sizeof(contentType)) != 0)
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    if (!isManifestList(contentType) && !mediaTypeIs(contentType, MEDIA_TYPE_DOCKER_MANIFEST_V2S2) &&
        !mediaTypeIs(contentType, MEDIA_TYPE_OCI_IMAGE_MANIFEST)) {
        snprintf(buf, size,
                 "%s is not a valid manifest list, OCI image index type or single mainfest type\n",
                 contentType);
        return 0;
    }
    JsonPtr reply = replyJsonGet(ctx);
    if (!reply)
        return -1;
    return jsonTextCopy(reply.get(), buf, size, OZC_MGR_ERR_MANIFEST_PARSE,
                        "Manifest or manifest list parse failed\n");
}

int ozcImageTagsGet(REGISTRY_CTX *ctx, char *buf, size_t size)
{
    if (ctx == nullptr || buf == nullptr || size < 2) {
        ozcMgrUtilErr("invalid argument\n");
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    memset(buf, 0, size);
    char url[OZC_MGR_URL_SIZE];
    if (registryAsk(ctx, url, ozcMgrEndpointTagsUrlGet, false, "get tags") != 0)
        return -1;
    JsonPtr reply = replyJsonGet(ctx);
    if (!reply)
        return -1;
    if (!cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(reply.get(), "tags"))) {
        ozcMgrUtilErr("tags is not an array\n");
        return failWith(OZC_MGR_ERR_TAGS_PARSE);
    }
    return jsonTextCopy(reply.get(), buf, size, OZC_MGR_ERR_TAGS_PARSE,
                        "Image tags parse failed\n");
}

int ozcImagePullCmd(const char *image_ref, const char *user, const char *password,
                    int insecure, int verbose, IMAGE_INFO *image_info)
{
    oz::Owner<REGISTRY_CTX, ozcRegistryCtxDelete> ctx(ozcRegistryCtxCreate());
    if (!ctx)
        return -1;
    if (ozcRegistryCtxImageSet(ctx.get(), image_ref) != 0)
        return -1;
    if (user != nullptr && ozcRegistryCtxUserNameSet(ctx.get(), user) != 0)
        return -1;
    if (password != nullptr && ozcRegistryCtxUserPwdSet(ctx.get(), password) != 0)
        return -1;
    ozcRegistryCtxSecureSet(ctx.get(), insecure ? 0 : 1);
    ozcRegistryCtxVerboseSet(ctx.get(), verbose);
    _ozcMgrVerboseFlag = 1;
    int rc = ozcImagePull(ctx.get(), image_info);
    _ozcMgrVerboseFlag = 0;
    return rc == 0 ? 0 : -1;
}

} /* extern "C" */
