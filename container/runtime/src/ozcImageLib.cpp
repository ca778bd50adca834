/*
 * ozcImageLib.cpp - OCI image layouts: parse and validate every file used
 * against the sizes and digests that refer to it, select the manifest for an
 * OS, architecture and tag, build a bundle (root file system from the layers,
 * config.json from the image configuration), and describe images.
 *
 * Root file systems: without overlays the layers are extracted into the
 * bundle (RAW); with overlays each layer is extracted once into the shared
 * layer store and stacked by a read-only overlay device (LAYERED), or the
 * layers of one chain are extracted into one shared directory (FLATTENED).
 */
#include "ozcImageLib.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/sha256.h>
#include <mbedtls/sha512.h>

#include <mbedtls/version.h>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozcOverlayLib.h"
#include "ozcPathUtil.h"
#include "ozcUtil.h"

namespace {

constexpr const char *kManifestTypes[] = {
    "application/vnd.oci.image.manifest.v1+json",
    "application/vnd.oci.image.index.v1+json",
};
constexpr const char *kConfigType = "application/vnd.oci.image.config.v1+json";
constexpr const char *kLayerTypes[] = {
    "application/vnd.oci.image.layer.v1.tar",
    "application/vnd.oci.image.layer.v1.tar+gzip",
    "application/vnd.oci.image.layer.nondistributable.v1.tar",
    "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip",
};
constexpr const char *kRefNameKey = "org.opencontainers.image.ref.name";
constexpr size_t kCmpMax = 256;

using oz::FdCloser;
using oz::JsonPtr;

} // namespace

/* mbedTLS 2.x names its status-returning digest calls with "_ret"; 3.x
 * gives the plain names that status. */
#if MBEDTLS_VERSION_MAJOR < 3
#define OZC_SHA256_STARTS mbedtls_sha256_starts_ret
#define OZC_SHA256_UPDATE mbedtls_sha256_update_ret
#define OZC_SHA256_FINISH mbedtls_sha256_finish_ret
#define OZC_SHA512_STARTS mbedtls_sha512_starts_ret
#define OZC_SHA512_UPDATE mbedtls_sha512_update_ret
#define OZC_SHA512_FINISH mbedtls_sha512_finish_ret
#else
#define OZC_SHA256_STARTS mbedtls_sha256_starts
#define OZC_SHA256_UPDATE mbedtls_sha256_update
#define OZC_SHA256_FINISH mbedtls_sha256_finish
#define OZC_SHA512_STARTS mbedtls_sha512_starts
#define OZC_SHA512_UPDATE mbedtls_sha512_update
#define OZC_SHA512_FINISH mbedtls_sha512_finish
#endif

using ozc::failWith;
using ozc::pathAppend;
using ozc::pathCopy;

extern "C" {

/* ------------------------------------------------------------------------
 * Small comparisons and validators
 * ------------------------------------------------------------------------ */
static BOOL strEqual(const char *a, const char *b) {
    if (a == nullptr || b == nullptr)
        return FALSE;
    return strnlen(a, kCmpMax) == strnlen(b, kCmpMax) && strncmp(a, b, kCmpMax) == 0;
}

static BOOL strHasPrefix(const char *s, const char *p) {
    if (s == nullptr || p == nullptr)
        return FALSE;
    return strncmp(s, p, strnlen(p, kCmpMax)) == 0;
}

static BOOL validateJsonString(const cJSON *item) {
    return cJSON_IsString(item) && item->valuestring != nullptr;
}

static BOOL validateJsonSchemaVersion(const cJSON *item) {
    return cJSON_IsNumber(item) && cJSON_integer64_value(item) == 2 &&
           item->valuedouble == 2.0;
}

static BOOL validateJsonMediatype(const cJSON *item, const char *const *types, size_t n) {
    if (!validateJsonString(item))
        return FALSE;
    for (size_t i = 0; i < n; i++)
        if (strEqual(item->valuestring, types[i]))
            return TRUE;
    return FALSE;
}

/* The file must have exactly the size the JSON number gives. */
static BOOL validateJsonFileSize(const char *fileName, const cJSON *size) {
    if (!cJSON_IsNumber(size))
        return FALSE;
    int fd = open(fileName, O_RDONLY);
    if (fd < 0)
        return FALSE;
    FdCloser closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return FALSE;
    return (int64_t)st.st_size == cJSON_integer64_value(size);
}

/* Whether the digest of the file's content, made with one hash's functions,
 * equals the N bytes of want. */
extern "C++" {
template <size_t N, typename Ctx>
static BOOL validateDigest(const char *fileName, const uint8_t *want, void (*init)(Ctx *),
                           int (*starts)(Ctx *, int),
                           int (*update)(Ctx *, const unsigned char *, size_t),
                           int (*finish)(Ctx *, unsigned char *), void (*release)(Ctx *)) {
    int fd = open(fileName, O_RDONLY);
    if (fd < 0)
        return FALSE;
    FdCloser closer{fd};
    Ctx ctx;
    init(&ctx);
    starts(&ctx, 0);
    uint8_t buf[1024 * 64];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        update(&ctx, buf, (size_t)n);
    uint8_t out[N];
    finish(&ctx, out);
    release(&ctx);
    return n == 0 && memcmp(out, want, sizeof(out)) == 0;
}
} // extern "C++"

static int hexNibble(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* The file's content must match "alg:hex" (sha256 or sha512). */
static BOOL validateJsonDigest(const char *fileName, const cJSON *digest) {
    if (!validateJsonString(digest))
        return FALSE;
    char text[256];
    if (!pathCopy(text, sizeof(text), digest->valuestring))
        return FALSE;
    char *colon = strchr(text, ':');
    if (colon == nullptr)
        return FALSE;
    *colon = '\0';
    const char *hex = colon + 1;
    size_t bytes;
    if (strcmp(text, "sha256") == 0)
        bytes = 32;
    else if (strcmp(text, "sha512") == 0)
        bytes = 64;
    else
        return FALSE;
    if (strlen(hex) < bytes * 2)
        return FALSE;
    uint8_t want[64];
    for (size_t i = 0; i < bytes; i++) {
        int hi = hexNibble(hex[2 * i]), lo = hexNibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return FALSE;
        want[i] = (uint8_t)(hi << 4 | lo);
    }
    if (bytes == 32)
        return validateDigest<32>(fileName, want, mbedtls_sha256_init, OZC_SHA256_STARTS,
                                  OZC_SHA256_UPDATE, OZC_SHA256_FINISH, mbedtls_sha256_free);
    return validateDigest<64>(fileName, want, mbedtls_sha512_init, OZC_SHA512_STARTS,
                              OZC_SHA512_UPDATE, OZC_SHA512_FINISH, mbedtls_sha512_free);
}

/* Layout file names: "oci-layout", "index.json", or "blobs/alg/hex". */
static STATUS composeFileName(const char *ociPath, JSON_FILE_TYPE type, const cJSON *digest,
                              char *out, size_t outLen) {
    out[0] = '\0';
    if (!pathCopy(out, outLen, ociPath))
        return failWith(ENAMETOOLONG);
    if (type == OCILAYOUTJSON || type == INDEXJSON) {
        if (!pathAppend(out, outLen, type == OCILAYOUTJSON ? "oci-layout" : "index.json"))
            return failWith(ENAMETOOLONG);
        return OK;
    }
    if (!validateJsonString(digest))
        return failWith(ENAMETOOLONG);
    const char *d = digest->valuestring;
    /* A digest names a file inside the layout: only a known algorithm and
     * its lower-case hex form, so no separator or dot component can lead
     * elsewhere. */
    if (ozcUtilDigestValidate(d) != OK)
        return failWith(EINVAL);
    const char *colon = strchr(d, ':');
    std::string rel = std::string("blobs/") + std::string(d, colon) + "/" + (colon + 1);
    if (!pathAppend(out, outLen, rel.c_str()))
        return failWith(ENAMETOOLONG);
    return OK;
}

/* ------------------------------------------------------------------------
 * Layout parsing
 * ------------------------------------------------------------------------ */
OCI_IMAGE *ozcImageInfoCreate(const char *ociPath) {
    auto *p = static_cast<OCI_IMAGE *>(calloc(1, sizeof(OCI_IMAGE)));
    if (p == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    p->ociPath = ociPath;
    p->manifestsIndex = -1;
    return p;
}

void ozcImageInfoDelete(OCI_IMAGE *pImage) {
    if (pImage == nullptr)
        return;
    for (int i = 0; pImage->manifests != nullptr && i < pImage->manifestsCount; i++) {
        OZC_IMAGE_MANIFEST *m = &pImage->manifests[i];
        free(m->manifestConfig.imageConfig.imageCfgRootfs.diffId);
        cJSON_Delete(m->manifestConfig.imageConfig.imageConfigJson);
        free(m->manifestLayers);
        cJSON_Delete(m->manifestJson);
    }
    free(pImage->manifests);
    cJSON_Delete(pImage->rootIndexJson);
    free(pImage);
}

static STATUS ozcImageParseLayout(OCI_IMAGE *pImage) {
    char name[OZC_IMAGE_PATH_LEN];
    if (composeFileName(pImage->ociPath, OCILAYOUTJSON, nullptr, name, sizeof(name)) != OK)
        return ERROR;
    if (access(name, F_OK) != 0)
        return failWith(OZC_ERR_OCI_LAYOUT_NOT_FOUND);
    JsonPtr layout(cJSON_load_from_file(name));
    cJSON *ver = layout ? cJSON_GetObjectItem(layout.get(), "imageLayoutVersion") : nullptr;
    if (!validateJsonString(ver) || strcmp(ver->valuestring, "1.0.0") != 0)
        return failWith(OZC_ERR_OCI_LAYOUT_INVALID);
    return OK;
}

/* Sets the chain id of the diff ids: c0 = H(hex0), ci = H(ci-1 || hexi). */
static STATUS ozcImageParseImageConfigRootfs(OZC_IMAGE_CONFIG *cfg, cJSON *rootfs) {
    cJSON *ids = cJSON_GetObjectItem(rootfs, "diff_ids");
    int n = cJSON_IsArray(ids) ? cJSON_GetArraySize(ids) : 0;
    if (n <= 0)
        return ERROR;
    OZC_IMAGE_CFG_ROOTFS *r = &cfg->imageCfgRootfs;
    r->diffId = static_cast<char **>(calloc((size_t)n, sizeof(char *)));
    if (r->diffId == nullptr)
        return ERROR;
    uint8_t chain[32];
    for (int i = 0; i < n; i++) {
        cJSON *e = cJSON_GetArrayItem(ids, i);
        if (!validateJsonString(e))
            return ERROR;
        const char *s = e->valuestring;
        size_t len = strnlen(s, 200);
        if (len < 1 || len > 199)
            return ERROR;
        const char *colon = strchr(s, ':');
        if (colon == nullptr || colon - s != 6)
            return ERROR;
        size_t hexLen = strlen(colon + 1);
        if (!((strncmp(s, "sha256", 6) == 0 && hexLen == 64) ||
              (strncmp(s, "sha512", 6) == 0 && hexLen == 128)))
            return ERROR;
        r->diffId[i] = const_cast<char *>(colon + 1);
        mbedtls_sha256_context ctx;
        mbedtls_sha256_init(&ctx);
        OZC_SHA256_STARTS(&ctx, 0);
        if (i > 0)
            OZC_SHA256_UPDATE(&ctx, chain, sizeof(chain));
        OZC_SHA256_UPDATE(&ctx, reinterpret_cast<const uint8_t *>(colon + 1), hexLen);
        OZC_SHA256_FINISH(&ctx, chain);
        mbedtls_sha256_free(&ctx);
        r->diffIdCount = (uint32_t)(i + 1);
    }
    memcpy(r->chainId, chain, sizeof(chain));
    return OK;
}

static STATUS ozcImageParseImageConfig(OZC_IMAGE_MANIFEST_CONFIG *mc) {
    if (access(mc->configFileName, F_OK) != 0)
        return failWith(OZC_ERR_NO_IMAGE_CONFIG);
    OZC_IMAGE_CONFIG *cfg = &mc->imageConfig;
    cfg->imageConfigJson = cJSON_load_from_file(mc->configFileName);
    if (cfg->imageConfigJson == nullptr)
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    cfg->architecture = cJSON_GetObjectItem(cfg->imageConfigJson, "architecture");
    cfg->os = cJSON_GetObjectItem(cfg->imageConfigJson, "os");
    cJSON *rootfs = cJSON_GetObjectItem(cfg->imageConfigJson, "rootfs");
    if (cfg->architecture == nullptr || cfg->os == nullptr || rootfs == nullptr ||
        ozcImageParseImageConfigRootfs(cfg, rootfs) != OK)
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    return OK;
}

static STATUS ozcImageParseManifest(OCI_IMAGE *pImage, OZC_IMAGE_MANIFEST *m) {
    if (access(m->manifestFileName, F_OK) != 0)
        return failWith(OZC_ERR_NO_MANIFEST);
    m->manifestJson = cJSON_load_from_file(m->manifestFileName);
    if (m->manifestJson == nullptr)
        return failWith(OZC_ERR_MANIFEST_INVALID);
    m->schemaVersion = cJSON_GetObjectItem(m->manifestJson, "schemaVersion");
    if (!validateJsonSchemaVersion(m->schemaVersion))
        return failWith(OZC_ERR_MANIFEST_INVALID);

    cJSON *config = cJSON_GetObjectItem(m->manifestJson, "config");
    OZC_IMAGE_MANIFEST_CONFIG *mc = &m->manifestConfig;
    if (!cJSON_IsObject(config))
        return failWith(OZC_ERR_MANIFEST_INVALID);
    mc->mediaType = cJSON_GetObjectItem(config, "mediaType");
    mc->digest = cJSON_GetObjectItem(config, "digest");
    mc->size = cJSON_GetObjectItem(config, "size");
    if (!validateJsonMediatype(mc->mediaType, &kConfigType, 1) || mc->digest == nullptr ||
        composeFileName(pImage->ociPath, CONFIGJSON, mc->digest, mc->configFileName,
                        sizeof(mc->configFileName)) != OK ||
        !validateJsonDigest(mc->configFileName, mc->digest) || mc->size == nullptr ||
        !validateJsonFileSize(mc->configFileName, mc->size))
        return failWith(OZC_ERR_MANIFEST_INVALID);
    if (ozcImageParseImageConfig(mc) != OK)
        return ERROR;

    cJSON *layers = cJSON_GetObjectItem(m->manifestJson, "layers");
    int n = cJSON_IsArray(layers) ? cJSON_GetArraySize(layers) : 0;
    if (n <= 0)
        return failWith(OZC_ERR_MANIFEST_INVALID);
    m->manifestLayers =
        static_cast<OZC_IMAGE_MANIFEST_LAYER *>(calloc((size_t)n, sizeof(OZC_IMAGE_MANIFEST_LAYER)));
    if (m->manifestLayers == nullptr)
        return failWith(ENOMEM);
    m->manifestLayersCount = n;
    for (int i = 0; i < n; i++) {
        cJSON *l = cJSON_GetArrayItem(layers, i);
        OZC_IMAGE_MANIFEST_LAYER *ml = &m->manifestLayers[i];
        ml->mediaType = cJSON_GetObjectItem(l, "mediaType");
        ml->digest = cJSON_GetObjectItem(l, "digest");
        ml->size = cJSON_GetObjectItem(l, "size");
        if (!validateJsonMediatype(ml->mediaType, kLayerTypes, std::size(kLayerTypes)) ||
            ml->digest == nullptr || ml->size == nullptr ||
            composeFileName(pImage->ociPath, LAYERJSON, ml->digest, ml->layerFileName,
                            sizeof(ml->layerFileName)) != OK ||
            !validateJsonDigest(ml->layerFileName, ml->digest) ||
            !validateJsonFileSize(ml->layerFileName, ml->size))
            return failWith(OZC_ERR_MANIFEST_INVALID);
    }
    return OK;
}

static STATUS ozcImageParseManifests(OCI_IMAGE *pImage, cJSON *manifests) {
    int n = cJSON_GetArraySize(manifests);
    pImage->manifests =
        static_cast<OZC_IMAGE_MANIFEST *>(calloc((size_t)n, sizeof(OZC_IMAGE_MANIFEST)));
    if (pImage->manifests == nullptr)
        return failWith(ENOMEM);
    pImage->manifestsCount = n;
    for (int i = 0; i < n; i++) {
        cJSON *e = cJSON_GetArrayItem(manifests, i);
        OZC_IMAGE_MANIFEST *m = &pImage->manifests[i];
        m->mediaType = cJSON_GetObjectItem(e, "mediaType");
        m->size = cJSON_GetObjectItem(e, "size");
        m->digest = cJSON_GetObjectItem(e, "digest");
        if (m->mediaType == nullptr || m->size == nullptr || m->digest == nullptr ||
            !validateJsonMediatype(m->mediaType, kManifestTypes, std::size(kManifestTypes)))
            return failWith(OZC_ERR_INDEX_INVALID);
        if (composeFileName(pImage->ociPath, MANIFESTJSON, m->digest, m->manifestFileName,
                            sizeof(m->manifestFileName)) != OK ||
            !validateJsonFileSize(m->manifestFileName, m->size) ||
            !validateJsonDigest(m->manifestFileName, m->digest))
            return failWith(OZC_ERR_INDEX_INVALID);
        m->annotations = cJSON_GetObjectItem(e, "annotations");
        cJSON *platform = cJSON_GetObjectItem(e, "platform");
        if (platform != nullptr) {
            m->architecture = cJSON_GetObjectItem(platform, "architecture");
            m->os = cJSON_GetObjectItem(platform, "os");
        }
        if (ozcImageParseManifest(pImage, m) != OK)
            return ERROR;
    }
    return OK;
}

static STATUS ozcImageParseIndex(OCI_IMAGE *pImage) {
    if (composeFileName(pImage->ociPath, INDEXJSON, nullptr, pImage->indexFileName,
                        sizeof(pImage->indexFileName)) != OK)
        return ERROR;
    if (access(pImage->indexFileName, F_OK) != 0)
        return failWith(OZC_ERR_INDEX_NOT_FOUND);
    pImage->rootIndexJson = cJSON_load_from_file(pImage->indexFileName);
    if (pImage->rootIndexJson == nullptr)
        return failWith(OZC_ERR_INDEX_INVALID);
    pImage->schemaVersion = cJSON_GetObjectItem(pImage->rootIndexJson, "schemaVersion");
    cJSON *manifests = cJSON_GetObjectItem(pImage->rootIndexJson, "manifests");
    if (!validateJsonSchemaVersion(pImage->schemaVersion) || !cJSON_IsArray(manifests) ||
        cJSON_GetArraySize(manifests) == 0)
        return failWith(OZC_ERR_INDEX_INVALID);
    return ozcImageParseManifests(pImage, manifests);
}

STATUS ozcImageParse(OCI_IMAGE *pImage) {
    if (pImage == nullptr || pImage->ociPath == nullptr)
        return failWith(EINVAL);
    if (ozcImageParseLayout(pImage) != OK)
        return ERROR;
    return ozcImageParseIndex(pImage);
}

static BOOL jsonStrEquals(const cJSON *item, const char *want) {
    return validateJsonString(item) && strEqual(item->valuestring, want);
}

STATUS ozcImageFindManifest(OCI_IMAGE *pImage, const char *os, const char *arch,
                            const char *tag) {
    if (pImage == nullptr || os == nullptr || arch == nullptr || tag == nullptr)
        return failWith(EINVAL);
    for (int i = 0; i < pImage->manifestsCount; i++) {
        OZC_IMAGE_MANIFEST *m = &pImage->manifests[i];
        cJSON *ref = m->annotations ? cJSON_GetObjectItem(m->annotations, kRefNameKey) : nullptr;
        if (strEqual(tag, "latest")) {
            if (ref != nullptr && !jsonStrEquals(ref, "latest"))
                continue;
        } else if (!jsonStrEquals(ref, tag)) {
            continue;
        }
        if (m->os != nullptr && !jsonStrEquals(m->os, os))
            continue;
        if (m->architecture != nullptr && !jsonStrEquals(m->architecture, arch))
            continue;
        const OZC_IMAGE_CONFIG *cfg = &m->manifestConfig.imageConfig;
        if (!jsonStrEquals(cfg->os, os) || !jsonStrEquals(cfg->architecture, arch))
            continue;
        pImage->manifestsIndex = i;
        return OK;
    }
    return failWith(OZC_ERR_INDEX_INVALID);
}

/* ------------------------------------------------------------------------
 * Root file system
 * ------------------------------------------------------------------------ */
int ozcImageRootfsTypeVerify(unsigned int rootfsArg) {
    BOOL ovl = ozcOvlFsAvailable();
    if ((rootfsArg & OZC_UNPACK_FLATTEN) == 0)
        return ovl ? LAYERED_ROOTFS : RAW_ROOTFS;
    return ovl ? FLATTENDED_ROOTFS : -1;
}

static STATUS ozcImageGetStringChainID(const OZC_IMAGE_MANIFEST *m, char *out, size_t outLen) {
    return ozcUtilBinToHex(out, outLen,
                           const_cast<uint8_t *>(m->manifestConfig.imageConfig.imageCfgRootfs.chainId),
                           32);
}

static STATUS ozcImageExtractLayers(const OZC_IMAGE_MANIFEST *m, const char *dir) {
    for (int i = 0; i < m->manifestLayersCount; i++)
        if (ozcUtilUntar(m->manifestLayers[i].layerFileName, dir) != OK)
            return ERROR;
    return OK;
}

/* Extracts into a private sibling directory and renames it into place, so a
 * shared directory is either complete or absent, whatever happens to this
 * process or others that unpack the same layers. */
static STATUS ozcImageExtractOnce(const char *dir, const OZC_IMAGE_MANIFEST *m, int layer) {
    struct stat st;
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
        return OK; /* complete: reused as it is */
    static int64_t seq;
    char tmp[OZC_IMAGE_PATH_LEN];
    if (snprintf(tmp, sizeof(tmp), "%s.part-%ld-%lld", dir, (long)getpid(),
                 (long long)ozAtomic64Inc(&seq)) >= (int)sizeof(tmp))
        return failWith(ENAMETOOLONG);
    if (ozMkdirP(tmp, 0700) != OK)
        return ERROR;
    STATUS rc = layer >= 0 ? ozcUtilUntar(m->manifestLayers[layer].layerFileName, tmp)
                           : ozcImageExtractLayers(m, tmp);
    if (rc == OK && rename(tmp, dir) != 0) {
        /* Another unpack completed the same directory first. */
        rc = (errno == EEXIST || errno == ENOTEMPTY) && stat(dir, &st) == 0 ? OK : ERROR;
    }
    int saved = errno;
    if (access(tmp, F_OK) == 0)
        ozcUtilXdelete(tmp);
    errno = saved;
    return rc;
}

/* Layer store: one directory per layer; several layers are stacked by a
 * read-only overlay device named by the chain id. */
static STATUS ozcImageExtractLayersEx(const OZC_IMAGE_MANIFEST *m, char *rootPath,
                                      size_t rootLen) {
    char store[OZC_IMAGE_PATH_LEN];
    if (ozcBasePathGet(store, sizeof(store), OZC_LAYER_PATH) == 0)
        return ERROR;
    int n = m->manifestLayersCount;
    auto dirs = std::make_unique<std::string[]>((size_t)n);
    auto ptrs = std::make_unique<const char *[]>((size_t)n);
    for (int i = n - 1, k = 0; i >= 0; i--, k++) {
        const char *slash = strrchr(m->manifestLayers[i].layerFileName, '/');
        if (slash == nullptr)
            return failWith(EINVAL);
        dirs[k] = std::string(store) + slash;
        if (dirs[k].size() > OZC_IMAGE_PATH_LEN - 1)
            return failWith(ENAMETOOLONG);
        ptrs[k] = dirs[k].c_str();
        if (ozcImageExtractOnce(ptrs[k], m, i) != OK)
            return ERROR;
    }
    if (n == 1)
        return pathCopy(rootPath, rootLen, ptrs[0]) ? OK : failWith(ENAMETOOLONG);
    char chain[65];
    if (ozcImageGetStringChainID(m, chain, sizeof(chain)) != OK)
        return ERROR;
    rootPath[0] = '\0';
    if (!pathCopy(rootPath, rootLen, ozOvlDevDirGet()) || !pathAppend(rootPath, rootLen, chain))
        return failWith(ENAMETOOLONG);
    if (ozcCreateOvlRootfsDev(rootPath, ptrs.get(), (uint32_t)n, FALSE) != OK) {
        /* The device of this chain stacks the same store directories: an
         * existing one is shared by every bundle of the image. */
        if (errno != EEXIST)
            return ERROR;
    }
    return OK;
}

static STATUS ozcCreateOciStRootfs(const OZC_IMAGE_MANIFEST *m, char *rootPath, size_t rootLen) {
    char chain[65];
    if (ozcImageGetStringChainID(m, chain, sizeof(chain)) != OK)
        return ERROR;
    if (ozcBasePathGet(rootPath, rootLen, OZC_FLATTENED_PATH) == 0)
        return ERROR;
    if (!pathAppend(rootPath, rootLen, chain))
        return failWith(ENAMETOOLONG);
    return ozcImageExtractOnce(rootPath, m, -1);
}

static STATUS ozcCreateOciRootfs(const OZC_IMAGE_MANIFEST *m, int kind, const char *rootfs,
                                 char *rootPath, size_t rootLen) {
    switch (kind) {
    case RAW_ROOTFS:
        if (ozcImageExtractLayers(m, rootfs) != OK)
            return ERROR;
        return pathCopy(rootPath, rootLen, "rootfs") ? OK : failWith(ENAMETOOLONG);
    case FLATTENDED_ROOTFS:
        if (m->manifestLayersCount > 1)
            return ozcCreateOciStRootfs(m, rootPath, rootLen);
        return ozcImageExtractLayersEx(m, rootPath, rootLen);
    case LAYERED_ROOTFS:
        return ozcImageExtractLayersEx(m, rootPath, rootLen);
    default:
        return failWith(EINVAL);
    }
}

/* ------------------------------------------------------------------------
 * config.json
 * ------------------------------------------------------------------------ */
/* A part of User that reads as a number (base 0, as strtoul takes it);
 * an empty part counts as 0. */
static bool usrPartIsNumber(const std::string &part) {
    if (part.empty())
        return true;
    char *end = nullptr;
    strtoul(part.c_str(), &end, 0);
    return end != nullptr && *end == '\0' && isdigit((unsigned char)part[0]);
}

static void ozcImageGetUsrInfo(const cJSON *user, cJSON *usr) {
    if (!validateJsonString(user))
        return;
    std::string u = user->valuestring;
    size_t colon = u.find(':');
    std::string a = u.substr(0, colon);
    std::string b = colon == std::string::npos ? "" : u.substr(colon + 1);
    unsigned long uid = strtoul(a.c_str(), nullptr, 0);
    unsigned long gid = strtoul(b.c_str(), nullptr, 0);
    cJSON_AddNumberToObject(usr, "uid", (double)uid);
    cJSON_AddNumberToObject(usr, "gid", (double)gid);
    /* A user or group by name: the text itself, which the runtime looks up
     * in the image's own /etc/passwd and /etc/group (the numbers above
     * would make every name root). */
    if (!usrPartIsNumber(a) || !usrPartIsNumber(b))
        cJSON_AddStringToObject(usr, "user", user->valuestring);
}

STATUS ozcImageGetMountInfo(const char *volume, cJSON *mount) {
    if (volume == nullptr || mount == nullptr)
        return failWith(EINVAL);
    std::string name(volume, strnlen(volume, 255));
    std::string src, dst, type = "unknown";
    cJSON *opts = cJSON_CreateArray();
    if (opts == nullptr)
        return failWith(ENOMEM);
    size_t c1 = name.find(':');
    if (c1 == std::string::npos) {
        src = name;
    } else {
        src = name.substr(0, c1);
        size_t c2 = name.find(':', c1 + 1);
        dst = name.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
        if (c2 != std::string::npos) {
            size_t c3 = name.find(':', c2 + 1);
            std::string o = name.substr(c2 + 1, c3 == std::string::npos ? std::string::npos
                                                                        : c3 - c2 - 1);
            type = c3 == std::string::npos ? "" : name.substr(c3 + 1);
            size_t pos = 0;
            while (!o.empty() && pos <= o.size()) {
                size_t comma = o.find(',', pos);
                std::string one = o.substr(pos, comma == std::string::npos ? std::string::npos
                                                                           : comma - pos);
                cJSON_AddItemToArray(opts, cJSON_CreateString(one.c_str()));
                if (comma == std::string::npos)
                    break;
                pos = comma + 1;
            }
        }
    }
    if (cJSON_AddStringToObject(mount, "destination", dst.c_str()) == nullptr ||
        cJSON_AddStringToObject(mount, "source", src.c_str()) == nullptr ||
        cJSON_AddStringToObject(mount, "type", type.c_str()) == nullptr) {
        cJSON_Delete(opts);
        return failWith(ENOMEM);
    }
    cJSON_AddItemToObject(mount, "options", opts);
    return OK;
}

static cJSON *jsonStringArrayCopy(cJSON *dst, const cJSON *src) {
    const cJSON *e;
    cJSON_ArrayForEach(e, src) {
        if (validateJsonString(e))
            cJSON_AddItemToArray(dst, cJSON_CreateString(e->valuestring));
    }
    return dst;
}

static STATUS ozcCreateOciBundleConfigProcess(cJSON *doc, const cJSON *cfg) {
    cJSON *proc = cJSON_AddObjectToObject(doc, "process");
    if (proc == nullptr)
        return ERROR;
    jsonStringArrayCopy(cJSON_AddArrayToObject(proc, "env"), cJSON_GetObjectItem(cfg, "Env"));
    /* Without a working directory the process starts in "/", as images
     * expect; an empty cwd would make the bundle unusable. */
    cJSON *wd = cJSON_GetObjectItem(cfg, "WorkingDir");
    const char *cwd = validateJsonString(wd) && wd->valuestring[0] != '\0' ? wd->valuestring : "/";
    cJSON_AddStringToObject(proc, "cwd", cwd);
    cJSON *args = cJSON_AddArrayToObject(proc, "args");
    jsonStringArrayCopy(args, cJSON_GetObjectItem(cfg, "Entrypoint"));
    jsonStringArrayCopy(args, cJSON_GetObjectItem(cfg, "Cmd"));
    cJSON *usr = cJSON_AddObjectToObject(proc, "usr");
    if (usr == nullptr)
        return ERROR;
    ozcImageGetUsrInfo(cJSON_GetObjectItem(cfg, "User"), usr);
    return OK;
}

/* Volumes come from the image, which anybody may have built: one of them
 * becomes a mount of the container only when it can neither reach the
 * host's files nor make the container impossible to create. That is a
 * file system of its own (tmpfs, mqueue, devpts) at an absolute
 * destination, from a source that is no path, never a bind mount. A plain
 * volume name ("/data": no destination, type "unknown") could never be
 * mounted and is left out too. */
static BOOL ozcImageMountIsSafe(const cJSON *m) {
    static constexpr const char *kTypes[] = {"tmpfs", "mqueue", "devpts"};
    const cJSON *dst = cJSON_GetObjectItem(m, "destination");
    const cJSON *src = cJSON_GetObjectItem(m, "source");
    const cJSON *type = cJSON_GetObjectItem(m, "type");
    if (!validateJsonString(dst) || dst->valuestring[0] != '/' || !validateJsonString(type) ||
        !cJSON_IsString(src) || strchr(src->valuestring, '/') != nullptr)
        return FALSE;
    BOOL known = FALSE;
    for (const char *t : kTypes)
        known = known || strcmp(type->valuestring, t) == 0;
    const cJSON *opt;
    cJSON_ArrayForEach(opt, cJSON_GetObjectItem(m, "options")) {
        if (!cJSON_IsString(opt) || strcmp(opt->valuestring, "bind") == 0 ||
            strcmp(opt->valuestring, "rbind") == 0)
            return FALSE;
    }
    return known;
}

static STATUS ozcCreateOciBundleConfigMounts(cJSON *doc, const cJSON *cfg) {
    cJSON *mounts = cJSON_AddArrayToObject(doc, "mounts");
    if (mounts == nullptr)
        return ERROR;
    const cJSON *vol;
    cJSON_ArrayForEach(vol, cJSON_GetObjectItem(cfg, "Volumes")) {
        if (vol->string == nullptr)
            continue;
        cJSON *m = cJSON_CreateObject();
        if (m == nullptr || ozcImageGetMountInfo(vol->string, m) != OK || !ozcImageMountIsSafe(m)) {
            cJSON_Delete(m);
            continue; /* left out */
        }
        cJSON_AddItemToArray(mounts, m);
    }
    return OK;
}

static STATUS ozcCreateOciBundleConfigAnnotations(cJSON *doc, const cJSON *img, const cJSON *cfg) {
    cJSON *ann = cJSON_AddObjectToObject(doc, "annotations");
    if (ann == nullptr)
        return ERROR;
    const cJSON *e;
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cfg, "ExposedPorts")) {
        if (e->string != nullptr)
            cJSON_AddStringToObject(ann, "org.opencontainers.image.exposedPorts", e->string);
    }
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cfg, "Labels")) {
        if (e->string != nullptr && !strHasPrefix(e->string, OZC_RTP_LABEL_PREFIX) &&
            validateJsonString(e))
            cJSON_AddStringToObject(ann, e->string, e->valuestring);
    }
    const cJSON *v = cJSON_GetObjectItem(img, "author");
    if (validateJsonString(v))
        cJSON_AddStringToObject(ann, "org.opencontainers.image.author", v->valuestring);
    v = cJSON_GetObjectItem(img, "created");
    if (validateJsonString(v))
        cJSON_AddStringToObject(ann, "org.opencontainers.image.created", v->valuestring);
    v = cJSON_GetObjectItem(cfg, "StopSignal");
    if (validateJsonString(v))
        cJSON_AddStringToObject(ann, "org.opencontainers.image.stopSignal", v->valuestring);
    return OK;
}

static STATUS ozcCreateOciBundleConfigOrrery(cJSON *doc, const cJSON *cfg) {
    cJSON *os = cJSON_AddObjectToObject(doc, "orrery");
    if (os == nullptr || cJSON_AddObjectToObject(os, "resources") == nullptr)
        return ERROR;
    cJSON *rtp = cJSON_AddObjectToObject(os, "rtp");
    if (rtp == nullptr)
        return ERROR;
    const size_t plen = strlen(OZC_RTP_LABEL_PREFIX);
    const cJSON *e;
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cfg, "Labels")) {
        /* The key is what follows the prefix and its separator; a label
         * that is only the prefix names no key. */
        if (e->string == nullptr || !strHasPrefix(e->string, OZC_RTP_LABEL_PREFIX) ||
            strlen(e->string) <= plen + 1 || !validateJsonString(e))
            continue;
        cJSON_AddStringToObject(rtp, e->string + plen + 1, e->valuestring);
    }
    return OK;
}

/* The image's own host name, else "Orrery". */
static const char *ozcImageHostname(const cJSON *cfg) {
    const cJSON *h = cJSON_GetObjectItem(cfg, "Hostname");
    return validateJsonString(h) && h->valuestring[0] != '\0' ? h->valuestring : "Orrery";
}

static STATUS ozcCreateOciBundleConfig(const char *configPath, const OZC_IMAGE_MANIFEST *m,
                                       const char *rootPath) {
    const cJSON *img = m->manifestConfig.imageConfig.imageConfigJson;
    const cJSON *cfg = cJSON_GetObjectItem(img, "config");
    if (!cJSON_IsObject(cfg))
        return failWith(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID);
    JsonPtr doc(cJSON_CreateObject());
    if (!doc || cJSON_AddStringToObject(doc.get(), "ociVersion", "1.0.0") == nullptr ||
        ozcCreateOciBundleConfigProcess(doc.get(), cfg) != OK)
        return failWith(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID);
    cJSON *root = cJSON_AddObjectToObject(doc.get(), "root");
    if (root == nullptr || cJSON_AddStringToObject(root, "path", rootPath) == nullptr ||
        cJSON_AddFalseToObject(root, "readonly") == nullptr ||
        cJSON_AddStringToObject(doc.get(), "hostname", ozcImageHostname(cfg)) == nullptr ||
        ozcCreateOciBundleConfigMounts(doc.get(), cfg) != OK ||
        ozcCreateOciBundleConfigAnnotations(doc.get(), img, cfg) != OK ||
        ozcCreateOciBundleConfigOrrery(doc.get(), cfg) != OK)
        return failWith(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID);
    if (cJSON_dump_to_file(doc.get(), configPath, 0660) != 0)
        return failWith(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID);
    return OK;
}

static STATUS ozcImageGenerateBundle(const char *bundlePath, const OZC_IMAGE_MANIFEST *m, int kind) {
    BOOL created = FALSE;
    if (mkdir(bundlePath, 0777) == 0)
        created = TRUE;
    else if (errno != EEXIST)
        return ERROR;
    STATUS rc = ERROR;
    char rootfs[OZC_IMAGE_PATH_LEN], config[OZC_IMAGE_PATH_LEN], rootPath[OZC_IMAGE_PATH_LEN];
    do {
        if (!pathCopy(rootfs, sizeof(rootfs), bundlePath) ||
            !pathAppend(rootfs, sizeof(rootfs), "rootfs") ||
            !pathCopy(config, sizeof(config), bundlePath) ||
            !pathAppend(config, sizeof(config), "config.json")) {
            errno = OZC_ERR_BUNDLE_PATH_TOO_LONG;
            break;
        }
        if (access(rootfs, F_OK) == 0) {
            errno = OZC_ERR_BUNDLE_ROOTFS_EXISTS;
            break;
        }
        if (mkdir(rootfs, 0777) != 0)
            break;
        if (ozcCreateOciRootfs(m, kind, rootfs, rootPath, sizeof(rootPath)) != OK)
            break;
        if (access(config, F_OK) == 0) {
            errno = OZC_ERR_BUNDLE_CONFIG_EXISTS;
            break;
        }
        rc = ozcCreateOciBundleConfig(config, m, rootPath);
    } while (false);
    if (rc != OK && created) {
        int saved = errno;
        ozcUtilXdelete(bundlePath);
        errno = saved;
    }
    return rc;
}

STATUS ozcImageUnpack(const char *bundlePath, const char *ociPath, const char *tag,
                      unsigned int option, const OZC_BUNDLE_ATTR *pAttr) {
    if (bundlePath == nullptr || ociPath == nullptr)
        return failWith(EINVAL);
    int kind = ozcImageRootfsTypeVerify(option);
    if (kind < 0)
        return failWith(EINVAL);
    const char *os = pAttr && pAttr->platform ? pAttr->platform : ozcDefaultOs();
    const char *arch = pAttr && pAttr->arch ? pAttr->arch : ozcDefaultArchitecture();
    if (tag == nullptr)
        tag = ozcDefaultTag();
    OCI_IMAGE *img = ozcImageInfoCreate(ociPath);
    if (img == nullptr)
        return ERROR;
    STATUS rc = ozcImageParse(img);
    if (rc == OK)
        rc = ozcImageFindManifest(img, os, arch, tag);
    if (rc == OK)
        rc = ozcImageGenerateBundle(bundlePath, &img->manifests[img->manifestsIndex], kind);
    int saved = errno;
    ozcImageInfoDelete(img);
    errno = saved;
    return rc;
}

STATUS ozcImageBundleDelete(const char *pBundlePath) {
    if (pBundlePath == nullptr || access(pBundlePath, F_OK) != 0)
        return failWith(pBundlePath == nullptr ? EINVAL : ENOENT);
    return ozcUtilXdelete(pBundlePath);
}

/* ------------------------------------------------------------------------
 * Image inspection
 * ------------------------------------------------------------------------ */
static void ozcJsonCopyItem(const cJSON *src, const char *srcName, cJSON *dst, const char *dstName) {
    const cJSON *item = src ? cJSON_GetObjectItem(src, srcName) : nullptr;
    cJSON *copy = item ? cJSON_Duplicate(item, 1) : cJSON_CreateString("");
    if (copy != nullptr)
        cJSON_AddItemToObject(dst, dstName, copy);
}

static cJSON *ozcInspectImageConfig(const cJSON *cfg) {
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddStringToObject(o, "Hostname", "Orrery");
    cJSON_AddStringToObject(o, "Domainname", "");
    for (const char *k : {"User", "ExposedPorts", "Env", "Cmd", "Entrypoint", "WorkingDir", "Image",
                          "Volumes", "OnBuild", "Labels", "StopSignal"})
        ozcJsonCopyItem(cfg, k, o, k);
    return o;
}

static cJSON *ozcInspectImageContainer(const OZC_IMAGE_MANIFEST *m) {
    const cJSON *img = m->manifestConfig.imageConfig.imageConfigJson;
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddItemToObject(o, "Id", m->manifestConfig.digest ? cJSON_Duplicate(m->manifestConfig.digest, 1)
                                                            : cJSON_CreateString(""));
    ozcJsonCopyItem(m->manifestJson, "RepoTags", o, "RepoTags");
    ozcJsonCopyItem(img, "created", o, "Created");
    ozcJsonCopyItem(img, "container", o, "Container");
    ozcJsonCopyItem(img, "container_config", o, "ContainerConfig");
    cJSON_AddStringToObject(o, "ozcVersion", "1.0.1.8");
    ozcJsonCopyItem(img, "author", o, "Author");
    cJSON *config = ozcInspectImageConfig(cJSON_GetObjectItem(img, "config"));
    if (config == nullptr) {
        cJSON_Delete(o);
        return nullptr;
    }
    cJSON_AddItemToObject(o, "Config", config);
    ozcJsonCopyItem(img, "architecture", o, "Architecture");
    ozcJsonCopyItem(img, "os", o, "Os");
    double size = 0;
    for (int i = 0; i < m->manifestLayersCount; i++)
        size += (double)cJSON_integer64_value(m->manifestLayers[i].size);
    cJSON_AddNumberToObject(o, "Size", size);
    cJSON_AddNumberToObject(o, "VirtualSize", size);
    ozcJsonCopyItem(img, "rootfs", o, "RootFS");
    if (m->annotations != nullptr)
        cJSON_AddItemToObject(o, "annotations", cJSON_Duplicate(m->annotations, 1));
    return o;
}

int ozcImageInspect(const char *ociPath, cJSON *array) {
    if (ociPath == nullptr || array == nullptr)
        return EINVAL;
    OCI_IMAGE *img = ozcImageInfoCreate(ociPath);
    if (img == nullptr)
        return errno;
    int code = 0;
    if (ozcImageParse(img) != OK) {
        code = errno;
    } else {
        int before = cJSON_GetArraySize(array);
        for (int i = 0; i < img->manifestsCount; i++) {
            cJSON *o = ozcInspectImageContainer(&img->manifests[i]);
            if (o == nullptr) {
                code = errno ? errno : ENOMEM;
                while (cJSON_GetArraySize(array) > before)
                    cJSON_DeleteItemFromArray(array, before);
                break;
            }
            cJSON_AddItemToArray(array, o);
        }
    }
    ozcImageInfoDelete(img);
    return code;
}

/* The platform this build runs on, unless the OS-wide environment names
 * another one ("OZC_PLATFORM_OS", "OZC_PLATFORM_ARCH"). */
static const char *ozcDefaultPlatformPart(const char *env, const char *host) {
    thread_local char buf[2][64];
    char *out = buf[strcmp(env, "OZC_PLATFORM_OS") == 0 ? 0 : 1];
    if (ozEnvGet(env, out, sizeof(buf[0])) == OK && out[0] != '\0')
        return out;
    return host;
}

const char *ozcDefaultOs(void) { return ozcDefaultPlatformPart("OZC_PLATFORM_OS", ozSysOsNameGet()); }
const char *ozcDefaultArchitecture(void) {
    return ozcDefaultPlatformPart("OZC_PLATFORM_ARCH", ozSysArchNameGet());
}
const char *ozcDefaultTag(void) { return "latest"; }

} /* extern "C" */
