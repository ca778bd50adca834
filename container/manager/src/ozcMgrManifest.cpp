/* ozcMgrManifest.cpp - manifests of the image manager: media types, the
 * platform entry of a manifest list or index, the blobs an image manifest
 * names (with the layer types the runtime can unpack), the restatement of a
 * Docker manifest in OCI media types, and digests of files.
 */
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <openssl/sha.h>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrInt.h"

namespace ozcmgr {

namespace {

constexpr size_t kFileChunk = 4096;

/* Layer media types the runtime unpacks: tar, gzip- and zstd-compressed
 * tar, and Docker's gzip layer. */
constexpr const char *kLayerTypes[] = {
    "application/vnd.oci.image.layer.v1.tar",
    "application/vnd.oci.image.layer.v1.tar+gzip",
    "application/vnd.oci.image.layer.v1.tar+zstd",
    "application/vnd.docker.image.rootfs.diff.tar.gzip",
};

/* Docker media types and their OCI counterparts; what is not listed stays. */
struct MediaTypeMap {
    const char *docker;
    const char *oci;
};
constexpr MediaTypeMap kDockerToOci[] = {
    {"application/vnd.docker.container.image.v1+json", "application/vnd.oci.image.config.v1+json"},
    {"application/vnd.docker.image.rootfs.diff.tar.gzip", "application/vnd.oci.image.layer.v1.tar+gzip"},
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

/* A descriptor's byte count: a whole number from 0 to 2^53. */
bool sizeGet(const cJSON *obj, long long *size)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, "size");
    if (!cJSON_IsInteger(item))
        return false;
    int64_t n = cJSON_integer64_value(item);
    if (n < 0 || n > (1LL << 53))
        return false;
    *size = n;
    return true;
}

/* Digest, size and media type of a descriptor, checked: the config's
 * (index -1) or layer index's. */
int descriptorGet(const cJSON *obj, Descriptor *d, int index)
{
    const char *digest = jsonStringGet(obj, "digest");
    if (digest == nullptr) {
        if (index < 0)
            ozcMgrUtilErr("digest not found\n");
        else
            ozcMgrUtilErr("digest %d is not a string\n", index);
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (!ozcMgrDigestIsValid(digest)) {
        ozcMgrUtilErr("digest format error\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (!sizeGet(obj, &d->size)) {
        ozcMgrUtilErr("size of %s is not a byte count\n", digest);
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    d->digest = digest;
    const char *type = jsonStringGet(obj, "mediaType");
    d->mediaType = type != nullptr ? type : "";
    return 0;
}

} /* namespace */

bool mediaTypeIs(const char *type, const char *wanted)
{
    return strncmp(type, wanted, kMediaTypeSize) == 0;
}

bool isManifestList(const char *type)
{
    return mediaTypeIs(type, MEDIA_TYPE_DOCKER_MANIFEST_LIST) || mediaTypeIs(type, MEDIA_TYPE_OCI_IMAGE_INDEX);
}

bool isSchema1(const char *type)
{
    return mediaTypeIs(type, MEDIA_TYPE_DOCKER_MANIFEST_V2S1) ||
           mediaTypeIs(type, MEDIA_TYPE_DOCKER_MANIFEST_V2S1_SIGNED);
}

bool layerMediaTypeSupported(const char *type)
{
    for (const char *t : kLayerTypes) {
        if (mediaTypeIs(type, t))
            return true;
    }
    return false;
}

int manifestBlobsGet(const cJSON *manifest, Descriptor *config, std::vector<Descriptor> *layers)
{
    const cJSON *configItem = cJSON_GetObjectItemCaseSensitive(manifest, "config");
    if (!cJSON_IsObject(configItem)) {
        ozcMgrUtilErr("config is not an object\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (descriptorGet(configItem, config, -1) != 0)
        return -1;
    const cJSON *layerItems = cJSON_GetObjectItemCaseSensitive(manifest, "layers");
    if (!cJSON_IsArray(layerItems)) {
        ozcMgrUtilErr("fsLayers is not an array\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (cJSON_GetArraySize(layerItems) == 0) {
        ozcMgrUtilErr("layers has zero layer\n");
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    layers->clear();
    int index = 0;
    const cJSON *layer = nullptr;
    cJSON_ArrayForEach(layer, layerItems)
    {
        if (!cJSON_IsObject(layer)) {
            ozcMgrUtilErr("layer %d is not an object\n", index);
            return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        Descriptor d;
        if (descriptorGet(layer, &d, index) != 0)
            return -1;
        /* A layer the runtime cannot unpack fails the pull now, before any
         * download, rather than the unpack later. */
        if (!layerMediaTypeSupported(d.mediaType.c_str())) {
            ozcMgrUtilErr("layer %d has media type \"%s\", which the runtime cannot unpack\n", index,
                          d.mediaType.c_str());
            return failWith(OZC_MGR_ERR_LAYER_TYPE);
        }
        layers->push_back(std::move(d));
        ++index;
    }
    return 0;
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

const char *ozcMgrHashGetFromDigest(const char *digest)
{
    const char *colon = strchr(digest, ':');
    return colon == nullptr ? nullptr : colon + 1;
}

std::string dockerManifestToOci(const cJSON *manifest)
{
    oz::JsonPtr oci(cJSON_Duplicate(manifest, 1));
    if (!oci)
        return {};
    cJSON *type = cJSON_GetObjectItemCaseSensitive(oci.get(), "mediaType");
    if (cJSON_IsString(type))
        cJSON_SetValuestring(type, MEDIA_TYPE_OCI_IMAGE_MANIFEST);
    mediaTypeToOci(cJSON_GetObjectItemCaseSensitive(oci.get(), "config"));
    cJSON *layer = nullptr;
    cJSON_ArrayForEach(layer, cJSON_GetObjectItemCaseSensitive(oci.get(), "layers"))
    {
        mediaTypeToOci(layer);
    }
    /* The text as the layout's JSON files are written: formatted, one final
     * newline, so the same manifest always gives the same digest. */
    oz::JsonText text(cJSON_Print(oci.get()));
    if (!text)
        return {};
    return std::string(text.get()) + "\n";
}

} /* namespace ozcmgr */

using namespace ozcmgr;

extern "C" {

cJSON *ozcMgrManifestExtract(cJSON *manifest_list)
{
    /* The platform of this build: the images a node runs are its own. */
    const char *wantedOs = ozSysOsNameGet();
    const char *wantedArch = ozSysArchNameGet();
    const cJSON *manifests = cJSON_GetObjectItemCaseSensitive(manifest_list, "manifests");
    if (!cJSON_IsArray(manifests)) {
        ozcMgrUtilErr("manifest_list is not an array\n");
        return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (cJSON_GetArraySize(manifests) == 0) {
        ozcMgrUtilErr("manifest_list has zero manifest\n");
        return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, manifests)
    {
        const cJSON *platform = cJSON_GetObjectItemCaseSensitive(entry, "platform");
        if (!cJSON_IsObject(platform)) {
            ozcMgrUtilErr("platform not found\n");
            return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        const cJSON *os = cJSON_GetObjectItemCaseSensitive(platform, "os");
        if (!cJSON_IsString(os)) {
            ozcMgrUtilErr("os not found\n");
            return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        const cJSON *arch = cJSON_GetObjectItemCaseSensitive(platform, "architecture");
        if (!cJSON_IsString(arch)) {
            ozcMgrUtilErr("architecture not found\n");
            return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        if (os->valuestring == nullptr || arch->valuestring == nullptr) {
            ozcMgrUtilErr("the string of os or architecture is NULL\n");
            return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
        }
        if (strncmp(os->valuestring, wantedOs, 256) == 0 && strncmp(arch->valuestring, wantedArch, 256) == 0) {
            if (!cJSON_IsObject(entry)) {
                ozcMgrUtilErr("manifest is not an object\n");
                return failNull(OZC_MGR_ERR_MANIFEST_PARSE);
            }
            return entry;
        }
    }
    ozcMgrUtilErr("no image found for os %s and arch %s\n", wantedOs, wantedArch);
    return failNull(OZC_MGR_ERR_PLATFORM_NOT_FOUND);
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
    oz::FilePtr file(fopen(file_name, "rb"));
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
    return bin2hex(md, sizeof(md), hash, hash_size);
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
    ozcMgrUtilOut("integrity check failed for file %s, expected hash: %s, calculated hash: %s\n", file_name,
                  expectedHex, hash);
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
        ozcMgrUtilErr("Not support %.*s digest verification\n", static_cast<int>(algorithm.size()), algorithm.data());
        return -1;
    }
    return ozcMgrFileSha256Check(file_name, colon + 1);
}

} /* extern "C" */
