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
 * Every layer is checked against its diff id while it is extracted; shared
 * directories are built aside, renamed into place when complete, and reused
 * only for layer blobs that have been checked.
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

#include "ozJson.h"
#include "ozOwners.h"
#include "ozcDigest.h"
#include "ozcOverlayLib.h"
#include "ozcTarLib.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"

namespace {

constexpr const char *kManifestTypes[] = {
    "application/vnd.oci.image.manifest.v1+json",
    "application/vnd.oci.image.index.v1+json",
};
constexpr const char *kConfigType = "application/vnd.oci.image.config.v1+json";
/* Layers the extractor takes: tar archives, plain, gzip- or
 * zstd-compressed (the compression is told by the data itself). */
constexpr const char *kLayerTypes[] = {
    "application/vnd.oci.image.layer.v1.tar",
    "application/vnd.oci.image.layer.v1.tar+gzip",
    "application/vnd.oci.image.layer.v1.tar+zstd",
    "application/vnd.oci.image.layer.nondistributable.v1.tar",
    "application/vnd.oci.image.layer.nondistributable.v1.tar+gzip",
    "application/vnd.oci.image.layer.nondistributable.v1.tar+zstd",
    "application/vnd.docker.image.rootfs.diff.tar.gzip",
};
constexpr const char *kRefNameKey = "org.opencontainers.image.ref.name";
constexpr size_t kCmpMax = 256;

using oz::FdCloser;
using oz::JsonPtr;

} // namespace

using ozc::failNull;
using ozc::failWith;
using ozc::pathAppend;
using ozc::pathCopy;

extern "C" {

/* ------------------------------------------------------------------------
 * Small comparisons and validators
 * ------------------------------------------------------------------------ */
static BOOL strEqual(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return FALSE;
    return strnlen(a, kCmpMax) == strnlen(b, kCmpMax) && strncmp(a, b, kCmpMax) == 0;
}

static BOOL strHasPrefix(const char *s, const char *p)
{
    if (s == nullptr || p == nullptr)
        return FALSE;
    return strncmp(s, p, strnlen(p, kCmpMax)) == 0;
}

static BOOL validateJsonString(const cJSON *item)
{
    return cJSON_IsString(item) && item->valuestring != nullptr;
}

static BOOL validateJsonSchemaVersion(const cJSON *item)
{
    return cJSON_IsNumber(item) && cJSON_integer64_value(item) == 2 && item->valuedouble == 2.0;
}

static BOOL validateJsonMediatype(const cJSON *item, const char *const *types, size_t n)
{
    if (!validateJsonString(item))
        return FALSE;
    for (size_t i = 0; i < n; i++)
        if (strEqual(item->valuestring, types[i]))
            return TRUE;
    return FALSE;
}

/* The file must have exactly the size the JSON number gives. */
static BOOL validateJsonFileSize(const char *fileName, const cJSON *size)
{
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

/* The file's content must match "alg:hex" (sha256 or sha512). */
static BOOL validateJsonDigest(const char *fileName, const cJSON *digest)
{
    if (!validateJsonString(digest))
        return FALSE;
    char text[256];
    const ozc::DigestAlg *alg;
    uint8_t want[ozc::kDigestMax], got[ozc::kDigestMax];
    if (!pathCopy(text, sizeof(text), digest->valuestring) || !ozc::digestTextParse(text, &alg, want))
        return FALSE;
    int fd = open(fileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return FALSE;
    FdCloser closer{fd};
    ozc::Digest d(alg);
    auto buf = std::make_unique<uint8_t[]>(256 * 1024);
    ssize_t n;
    while ((n = read(fd, buf.get(), 256 * 1024)) > 0)
        d.update(buf.get(), (size_t)n);
    return n == 0 && d.finish(got) && memcmp(got, want, alg->bytes) == 0;
}

/* Layout file names: "oci-layout", "index.json", or "blobs/alg/hex". */
static STATUS composeFileName(const char *ociPath, JSON_FILE_TYPE type, const cJSON *digest, char *out, size_t outLen)
{
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
OCI_IMAGE *ozcImageInfoCreate(const char *ociPath)
{
    auto *p = static_cast<OCI_IMAGE *>(calloc(1, sizeof(OCI_IMAGE)));
    if (p == nullptr) {
        return failNull(ENOMEM);
    }
    p->ociPath = ociPath;
    p->manifestsIndex = -1;
    return p;
}

void ozcImageInfoDelete(OCI_IMAGE *pImage)
{
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

static STATUS ozcImageParseLayout(OCI_IMAGE *pImage)
{
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

/* One step of a chain id: chain = SHA-256 of (chain when withPrev) and the
 * hexadecimal text of a diff id. */
static STATUS ozcImageChainStep(uint8_t chain[32], bool withPrev, const char *hex)
{
    ozc::Digest d(ozc::digestAlgFind("sha256", 6));
    if (!d.valid())
        return failWith(ENOMEM);
    if (withPrev)
        d.update(chain, 32);
    d.update(hex, strlen(hex));
    return d.finish(chain) ? OK : failWith(ENOMEM);
}

/* Sets the chain id of the diff ids: c0 = H(hex0), ci = H(ci-1 || hexi). */
static STATUS ozcImageParseImageConfigRootfs(OZC_IMAGE_CONFIG *cfg, cJSON *rootfs)
{
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
        if (!((strncmp(s, "sha256", 6) == 0 && hexLen == 64) || (strncmp(s, "sha512", 6) == 0 && hexLen == 128)))
            return ERROR;
        r->diffId[i] = const_cast<char *>(colon + 1);
        if (ozcImageChainStep(chain, i > 0, colon + 1) != OK)
            return ERROR;
        r->diffIdCount = (uint32_t)(i + 1);
    }
    memcpy(r->chainId, chain, sizeof(chain));
    return OK;
}

static STATUS ozcImageParseImageConfig(OZC_IMAGE_MANIFEST_CONFIG *mc)
{
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

static STATUS ozcImageParseManifest(OCI_IMAGE *pImage, OZC_IMAGE_MANIFEST *m)
{
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
        composeFileName(pImage->ociPath, CONFIGJSON, mc->digest, mc->configFileName, sizeof(mc->configFileName)) !=
            OK ||
        !validateJsonDigest(mc->configFileName, mc->digest) || mc->size == nullptr ||
        !validateJsonFileSize(mc->configFileName, mc->size))
        return failWith(OZC_ERR_MANIFEST_INVALID);
    if (ozcImageParseImageConfig(mc) != OK)
        return ERROR;

    cJSON *layers = cJSON_GetObjectItem(m->manifestJson, "layers");
    int n = cJSON_IsArray(layers) ? cJSON_GetArraySize(layers) : 0;
    if (n <= 0)
        return failWith(OZC_ERR_MANIFEST_INVALID);
    m->manifestLayers = static_cast<OZC_IMAGE_MANIFEST_LAYER *>(calloc((size_t)n, sizeof(OZC_IMAGE_MANIFEST_LAYER)));
    if (m->manifestLayers == nullptr)
        return failWith(ENOMEM);
    m->manifestLayersCount = n;
    for (int i = 0; i < n; i++) {
        cJSON *l = cJSON_GetArrayItem(layers, i);
        OZC_IMAGE_MANIFEST_LAYER *ml = &m->manifestLayers[i];
        ml->mediaType = cJSON_GetObjectItem(l, "mediaType");
        ml->digest = cJSON_GetObjectItem(l, "digest");
        ml->size = cJSON_GetObjectItem(l, "size");
        if (!validateJsonMediatype(ml->mediaType, kLayerTypes, std::size(kLayerTypes))) {
            ozcUtilDiag("layer %d: media type %s%s%s is not supported (tar layers: plain, "
                        "gzip or zstd)",
                        i, validateJsonString(ml->mediaType) ? "\"" : "",
                        validateJsonString(ml->mediaType) ? ml->mediaType->valuestring : "(none)",
                        validateJsonString(ml->mediaType) ? "\"" : "");
            return failWith(OZC_ERR_MANIFEST_INVALID);
        }
        if (ml->digest == nullptr || ml->size == nullptr ||
            composeFileName(pImage->ociPath, LAYERJSON, ml->digest, ml->layerFileName, sizeof(ml->layerFileName)) !=
                OK ||
            !validateJsonDigest(ml->layerFileName, ml->digest) || !validateJsonFileSize(ml->layerFileName, ml->size))
            return failWith(OZC_ERR_MANIFEST_INVALID);
    }
    /* One diff id per layer: each layer is checked against its own. */
    if (mc->imageConfig.imageCfgRootfs.diffIdCount != (uint32_t)n) {
        ozcUtilDiag("the image config names %u diff ids for %d layers", mc->imageConfig.imageCfgRootfs.diffIdCount, n);
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    }
    return OK;
}

static STATUS ozcImageParseManifests(OCI_IMAGE *pImage, cJSON *manifests)
{
    int n = cJSON_GetArraySize(manifests);
    pImage->manifests = static_cast<OZC_IMAGE_MANIFEST *>(calloc((size_t)n, sizeof(OZC_IMAGE_MANIFEST)));
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
            !validateJsonFileSize(m->manifestFileName, m->size) || !validateJsonDigest(m->manifestFileName, m->digest))
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

static STATUS ozcImageParseIndex(OCI_IMAGE *pImage)
{
    if (composeFileName(pImage->ociPath, INDEXJSON, nullptr, pImage->indexFileName, sizeof(pImage->indexFileName)) !=
        OK)
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

STATUS ozcImageParse(OCI_IMAGE *pImage)
{
    if (pImage == nullptr || pImage->ociPath == nullptr)
        return failWith(EINVAL);
    if (ozcImageParseLayout(pImage) != OK)
        return ERROR;
    return ozcImageParseIndex(pImage);
}

static BOOL jsonStrEquals(const cJSON *item, const char *want)
{
    return validateJsonString(item) && strEqual(item->valuestring, want);
}

STATUS ozcImageFindManifest(OCI_IMAGE *pImage, const char *os, const char *arch, const char *tag)
{
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
int ozcImageRootfsTypeVerify(unsigned int rootfsArg)
{
    BOOL ovl = ozcOvlFsAvailable();
    if ((rootfsArg & OZC_UNPACK_FLATTEN) == 0)
        return ovl ? LAYERED_ROOTFS : RAW_ROOTFS;
    return ovl ? FLATTENDED_ROOTFS : -1;
}

/* The chain id of the first count layers as 64 hexadecimal characters. */
static STATUS ozcImageChainIdHex(const OZC_IMAGE_MANIFEST *m, int count, char *out, size_t outLen)
{
    const OZC_IMAGE_CFG_ROOTFS *r = &m->manifestConfig.imageConfig.imageCfgRootfs;
    uint8_t chain[32];
    for (int i = 0; i < count; i++)
        if (ozcImageChainStep(chain, i > 0, r->diffId[i]) != OK)
            return ERROR;
    return ozcUtilBinToHex(out, outLen, chain, sizeof(chain));
}

static STATUS ozcImageGetStringChainID(const OZC_IMAGE_MANIFEST *m, char *out, size_t outLen)
{
    return ozcUtilBinToHex(out, outLen, const_cast<uint8_t *>(m->manifestConfig.imageConfig.imageCfgRootfs.chainId),
                           32);
}

/* The diff id of layer i as the image config writes it ("sha256:<hex>"). */
static const char *ozcImageDiffId(const OZC_IMAGE_MANIFEST *m, int i)
{
    return m->manifestConfig.imageConfig.imageCfgRootfs.diffId[i] - (sizeof("sha256:") - 1);
}

/* Extracts layer i into dir and checks that the uncompressed layer is the
 * one the image config names by its diff id: a layer that is not fails
 * with OZC_ERR_IMAGE_CONFIG_INVALID (what it wrote stays for the caller
 * to remove). */
static STATUS ozcImageExtractLayer(const OZC_IMAGE_MANIFEST *m, int i, const char *dir, OZC_TAR_OPTS *opts)
{
    const char *diffId = ozcImageDiffId(m, i);
    const ozc::DigestAlg *alg;
    uint8_t want[ozc::kDigestMax];
    if (!ozc::digestTextParse(diffId, &alg, want))
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    opts->digestAlg = alg->name;
    if (ozcTarExtractEx(m->manifestLayers[i].layerFileName, dir, opts) != OK)
        return ERROR;
    if (opts->digestLen != alg->bytes || memcmp(opts->digest, want, alg->bytes) != 0) {
        ozcUtilDiag("layer %s is not the layer %s the image config names", m->manifestLayers[i].digest->valuestring,
                    diffId);
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    }
    return OK;
}

/* Every layer, in manifest order, applied to dir. */
static STATUS ozcImageExtractLayers(const OZC_IMAGE_MANIFEST *m, const char *dir)
{
    for (int i = 0; i < m->manifestLayersCount; i++) {
        OZC_TAR_OPTS opts{};
        opts.bFactor = OZC_UNTAR_BFACTOR;
        if (ozcImageExtractLayer(m, i, dir, &opts) != OK)
            return ERROR;
    }
    return OK;
}

/* Verified layers: once a layer blob has been read through and found to
 * be the layer its diff id names, the layer store keeps a record of it,
 * store + "/.verified/<alg>-<hex>", a symbolic link whose target is the
 * diff id. A shared directory built from layers is reused for an image
 * only when every layer blob of the image has such a record naming the
 * image's own diff id: an image cannot borrow what others unpacked by
 * naming their diff ids. */
static STATUS ozcImageLayerRecordPath(const char *store, const OZC_IMAGE_MANIFEST *m, int i, char *out, size_t len)
{
    const char *d = m->manifestLayers[i].digest->valuestring;
    const char *colon = strchr(d, ':');
    int n = snprintf(out, len, "%s/.verified/%.*s-%s", store, (int)(colon - d), d, colon + 1);
    return n > 0 && (size_t)n < len ? OK : failWith(ENAMETOOLONG);
}

static BOOL ozcImageLayerVerified(const char *store, const OZC_IMAGE_MANIFEST *m, int i)
{
    char path[OZC_IMAGE_PATH_LEN], target[256];
    if (ozcImageLayerRecordPath(store, m, i, path, sizeof(path)) != OK)
        return FALSE;
    ssize_t n = readlink(path, target, sizeof(target) - 1);
    if (n <= 0)
        return FALSE;
    target[n] = '\0';
    return strcmp(target, ozcImageDiffId(m, i)) == 0 ? TRUE : FALSE;
}

static STATUS ozcImageLayerRecord(const char *store, const OZC_IMAGE_MANIFEST *m, int i)
{
    char path[OZC_IMAGE_PATH_LEN], tmp[OZC_IMAGE_PATH_LEN + 64];
    static int64_t seq;
    if (ozcImageLayerRecordPath(store, m, i, path, sizeof(path)) != OK)
        return ERROR;
    std::string dir(path, strrchr(path, '/'));
    if (ozMkdirP(dir.c_str(), 0700) != OK)
        return ERROR;
    snprintf(tmp, sizeof(tmp), "%s.%ld-%lld", path, (long)getpid(), (long long)ozAtomic64Inc(&seq));
    if (symlink(ozcImageDiffId(m, i), tmp) != 0)
        return ERROR;
    if (rename(tmp, path) != 0) {
        int saved = errno;
        unlink(tmp);
        return failWith(saved);
    }
    return OK;
}

/* Makes sure layer blob i is the layer its diff id names: by its record,
 * else by reading it through (without extracting) and recording it. */
static STATUS ozcImageLayerVerify(const char *store, const OZC_IMAGE_MANIFEST *m, int i)
{
    if (ozcImageLayerVerified(store, m, i))
        return OK;
    const char *diffId = ozcImageDiffId(m, i);
    const ozc::DigestAlg *alg;
    uint8_t want[ozc::kDigestMax], got[ozc::kDigestMax];
    size_t len = 0;
    if (!ozc::digestTextParse(diffId, &alg, want))
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    if (ozcTarStreamDigest(m->manifestLayers[i].layerFileName, alg->name, got, &len) != OK)
        return ERROR;
    if (len != alg->bytes || memcmp(got, want, len) != 0) {
        ozcUtilDiag("layer %s is not the layer %s the image config names", m->manifestLayers[i].digest->valuestring,
                    diffId);
        return failWith(OZC_ERR_IMAGE_CONFIG_INVALID);
    }
    return ozcImageLayerRecord(store, m, i);
}

/* A private sibling of a shared directory to build it in, its root mode
 * 0755. */
static STATUS ozcImagePartDir(const char *dir, std::string *part)
{
    static int64_t seq;
    char tmp[OZC_IMAGE_PATH_LEN];
    if (snprintf(tmp, sizeof(tmp), "%s.part-%ld-%lld", dir, (long)getpid(), (long long)ozAtomic64Inc(&seq)) >=
        (int)sizeof(tmp))
        return failWith(ENAMETOOLONG);
    if (ozMkdirP(tmp, 0700) != OK || chmod(tmp, 0755) != 0)
        return ERROR;
    *part = tmp;
    return OK;
}

/* Puts a built directory in place by renaming it: a shared directory is
 * either complete, built from verified layers, or absent, whatever happens
 * to this process or others that build the same one. When another build
 * put it in place first, this one goes. */
static STATUS ozcImagePartPublish(const std::string &part, const char *dir)
{
    struct stat st;
    if (rename(part.c_str(), dir) == 0)
        return OK;
    STATUS rc = (errno == EEXIST || errno == ENOTEMPTY) && stat(dir, &st) == 0 ? OK : ERROR;
    int saved = errno;
    ozcUtilXdelete(part.c_str());
    errno = saved;
    return rc;
}

static void ozcImagePartsDelete(const std::string *parts, int n)
{
    int saved = errno;
    for (int i = 0; i < n; i++)
        if (!parts[i].empty())
            ozcUtilXdelete(parts[i].c_str());
    errno = saved;
}

static bool ozcImageDirExists(const char *dir)
{
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

/* Layer store: one directory per layer in the overlay driver's form (its
 * whiteouts and opaque directories), named by the chain id of the layers
 * up to it, since what it holds may depend on the layers below (the
 * attributes of directories it does not list, hard links to files below).
 * The missing layers are all extracted and checked before any of them is
 * put in place, so a failed unpack leaves nothing in the store. Several
 * layers are stacked by a read-only overlay device named by the image's
 * chain id. */
static STATUS ozcImageExtractLayersEx(const OZC_IMAGE_MANIFEST *m, char *rootPath, size_t rootLen)
{
    char store[OZC_IMAGE_PATH_LEN];
    if (ozcBasePathGet(store, sizeof(store), OZC_LAYER_PATH) == 0)
        return ERROR;
    int n = m->manifestLayersCount;
    auto dirs = std::make_unique<std::string[]>((size_t)n);
    auto parts = std::make_unique<std::string[]>((size_t)n);
    auto where = std::make_unique<const char *[]>((size_t)n); /* topmost first */
    STATUS rc = OK;
    for (int i = 0; rc == OK && i < n; i++) {
        char chain[65];
        rc = ozcImageChainIdHex(m, i + 1, chain, sizeof(chain));
        if (rc != OK)
            break;
        dirs[i] = std::string(store) + "/" + chain;
        if (dirs[i].size() > OZC_IMAGE_PATH_LEN - 1) {
            rc = failWith(ENAMETOOLONG);
        } else if (ozcImageDirExists(dirs[i].c_str())) {
            where[n - 1 - i] = dirs[i].c_str();
            rc = ozcImageLayerVerify(store, m, i);
        } else if ((rc = ozcImagePartDir(dirs[i].c_str(), &parts[i])) == OK) {
            where[n - 1 - i] = parts[i].c_str();
            OZC_TAR_OPTS opts{};
            opts.bFactor = OZC_UNTAR_BFACTOR;
            opts.whiteouts = OZC_TAR_WHITEOUT_OVERLAY;
            opts.lowerDirs = where.get() + (n - i);
            opts.lowerNum = (unsigned)i;
            rc = ozcImageExtractLayer(m, i, parts[i].c_str(), &opts);
        }
    }
    /* All there and checked: in place, bottom up. */
    for (int i = 0; rc == OK && i < n; i++) {
        if (!parts[i].empty()) {
            rc = ozcImageLayerRecord(store, m, i) == OK ? ozcImagePartPublish(parts[i], dirs[i].c_str()) : ERROR;
            parts[i].clear();
        }
        where[n - 1 - i] = dirs[i].c_str();
    }
    if (rc != OK) {
        ozcImagePartsDelete(parts.get(), n);
        return ERROR;
    }
    if (n == 1)
        return pathCopy(rootPath, rootLen, where[0]) ? OK : failWith(ENAMETOOLONG);
    char chain[65];
    if (ozcImageGetStringChainID(m, chain, sizeof(chain)) != OK)
        return ERROR;
    rootPath[0] = '\0';
    if (!pathCopy(rootPath, rootLen, ozOvlDevDirGet()) || !pathAppend(rootPath, rootLen, chain))
        return failWith(ENAMETOOLONG);
    if (ozcCreateOvlRootfsDev(rootPath, where.get(), (uint32_t)n, FALSE) != OK) {
        /* The device of this chain stacks the same store directories: an
         * existing one is shared by every bundle of the image. */
        if (errno != EEXIST)
            return ERROR;
    }
    return OK;
}

/* Flattened: every layer applied, in manifest order, to one directory per
 * chain. */
static STATUS ozcCreateOciStRootfs(const OZC_IMAGE_MANIFEST *m, char *rootPath, size_t rootLen)
{
    char chain[65], store[OZC_IMAGE_PATH_LEN];
    if (ozcImageGetStringChainID(m, chain, sizeof(chain)) != OK)
        return ERROR;
    if (ozcBasePathGet(store, sizeof(store), OZC_LAYER_PATH) == 0 ||
        ozcBasePathGet(rootPath, rootLen, OZC_FLATTENED_PATH) == 0)
        return ERROR;
    if (!pathAppend(rootPath, rootLen, chain))
        return failWith(ENAMETOOLONG);
    if (ozcImageDirExists(rootPath)) {
        for (int i = 0; i < m->manifestLayersCount; i++)
            if (ozcImageLayerVerify(store, m, i) != OK)
                return ERROR;
        return OK;
    }
    std::string part;
    if (ozcImagePartDir(rootPath, &part) != OK)
        return ERROR;
    STATUS rc = ozcImageExtractLayers(m, part.c_str());
    for (int i = 0; rc == OK && i < m->manifestLayersCount; i++)
        rc = ozcImageLayerRecord(store, m, i);
    if (rc != OK) {
        ozcImagePartsDelete(&part, 1);
        return ERROR;
    }
    return ozcImagePartPublish(part, rootPath);
}

static STATUS ozcCreateOciRootfs(const OZC_IMAGE_MANIFEST *m, int kind, const char *rootfs, char *rootPath,
                                 size_t rootLen)
{
    switch (kind) {
    case RAW_ROOTFS:
        /* The root is the image's, whatever the caller's umask: 0755 unless
         * a layer lists "./". A failure removes every layer written. */
        if (chmod(rootfs, 0755) != 0)
            return ERROR;
        if (ozcImageExtractLayers(m, rootfs) != OK) {
            int saved = errno;
            if (ozcUtilXdelete(rootfs) == OK)
                mkdir(rootfs, 0755);
            return failWith(saved);
        }
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
static bool usrPartIsNumber(const std::string &part)
{
    if (part.empty())
        return true;
    char *end = nullptr;
    strtoul(part.c_str(), &end, 0);
    return end != nullptr && *end == '\0' && isdigit((unsigned char)part[0]);
}

static void ozcImageGetUsrInfo(const cJSON *user, cJSON *usr)
{
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

STATUS ozcImageGetMountInfo(const char *volume, cJSON *mount)
{
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
            std::string o = name.substr(c2 + 1, c3 == std::string::npos ? std::string::npos : c3 - c2 - 1);
            type = c3 == std::string::npos ? "" : name.substr(c3 + 1);
            size_t pos = 0;
            while (!o.empty() && pos <= o.size()) {
                size_t comma = o.find(',', pos);
                std::string one = o.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
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

static cJSON *jsonStringArrayCopy(cJSON *dst, const cJSON *src)
{
    const cJSON *e;
    cJSON_ArrayForEach(e, src)
    {
        if (validateJsonString(e))
            cJSON_AddItemToArray(dst, cJSON_CreateString(e->valuestring));
    }
    return dst;
}

static STATUS ozcCreateOciBundleConfigProcess(cJSON *doc, const cJSON *cfg)
{
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
static BOOL ozcImageMountIsSafe(const cJSON *m)
{
    static constexpr const char *kTypes[] = {"tmpfs", "mqueue", "devpts"};
    const cJSON *dst = cJSON_GetObjectItem(m, "destination");
    const cJSON *src = cJSON_GetObjectItem(m, "source");
    const cJSON *type = cJSON_GetObjectItem(m, "type");
    if (!validateJsonString(dst) || dst->valuestring[0] != '/' || !validateJsonString(type) || !cJSON_IsString(src) ||
        strchr(src->valuestring, '/') != nullptr)
        return FALSE;
    BOOL known = FALSE;
    for (const char *t : kTypes)
        known = known || strcmp(type->valuestring, t) == 0;
    const cJSON *opt;
    cJSON_ArrayForEach(opt, cJSON_GetObjectItem(m, "options"))
    {
        if (!cJSON_IsString(opt) || strcmp(opt->valuestring, "bind") == 0 || strcmp(opt->valuestring, "rbind") == 0)
            return FALSE;
    }
    return known;
}

static STATUS ozcCreateOciBundleConfigMounts(cJSON *doc, const cJSON *cfg)
{
    cJSON *mounts = cJSON_AddArrayToObject(doc, "mounts");
    if (mounts == nullptr)
        return ERROR;
    const cJSON *vol;
    cJSON_ArrayForEach(vol, cJSON_GetObjectItem(cfg, "Volumes"))
    {
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

static STATUS ozcCreateOciBundleConfigAnnotations(cJSON *doc, const cJSON *img, const cJSON *cfg)
{
    cJSON *ann = cJSON_AddObjectToObject(doc, "annotations");
    if (ann == nullptr)
        return ERROR;
    const cJSON *e;
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cfg, "ExposedPorts"))
    {
        if (e->string != nullptr)
            cJSON_AddStringToObject(ann, "org.opencontainers.image.exposedPorts", e->string);
    }
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cfg, "Labels"))
    {
        if (e->string != nullptr && !strHasPrefix(e->string, OZC_RTP_LABEL_PREFIX) && validateJsonString(e))
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

static STATUS ozcCreateOciBundleConfigOrrery(cJSON *doc, const cJSON *cfg)
{
    cJSON *os = cJSON_AddObjectToObject(doc, "orrery");
    if (os == nullptr || cJSON_AddObjectToObject(os, "resources") == nullptr)
        return ERROR;
    cJSON *rtp = cJSON_AddObjectToObject(os, "rtp");
    if (rtp == nullptr)
        return ERROR;
    const size_t plen = strlen(OZC_RTP_LABEL_PREFIX);
    const cJSON *e;
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cfg, "Labels"))
    {
        /* The key is what follows the prefix and its separator; a label
         * that is only the prefix names no key. */
        if (e->string == nullptr || !strHasPrefix(e->string, OZC_RTP_LABEL_PREFIX) || strlen(e->string) <= plen + 1 ||
            !validateJsonString(e))
            continue;
        cJSON_AddStringToObject(rtp, e->string + plen + 1, e->valuestring);
    }
    return OK;
}

/* The image's own host name, else "Orrery". */
static const char *ozcImageHostname(const cJSON *cfg)
{
    const cJSON *h = cJSON_GetObjectItem(cfg, "Hostname");
    return validateJsonString(h) && h->valuestring[0] != '\0' ? h->valuestring : "Orrery";
}

static STATUS ozcCreateOciBundleConfig(const char *configPath, const OZC_IMAGE_MANIFEST *m, const char *rootPath)
{
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

static STATUS ozcImageGenerateBundle(const char *bundlePath, const OZC_IMAGE_MANIFEST *m, int kind)
{
    BOOL created = FALSE;
    if (mkdir(bundlePath, 0777) == 0)
        created = TRUE;
    else if (errno != EEXIST)
        return ERROR;
    /* A bundle directory this call made goes again when it fails. */
    ozc::ScopeGuard undo([bundlePath, created] {
        if (created)
            ozcUtilXdelete(bundlePath);
    });
    char rootfs[OZC_IMAGE_PATH_LEN], config[OZC_IMAGE_PATH_LEN], rootPath[OZC_IMAGE_PATH_LEN];
    if (!pathCopy(rootfs, sizeof(rootfs), bundlePath) || !pathAppend(rootfs, sizeof(rootfs), "rootfs") ||
        !pathCopy(config, sizeof(config), bundlePath) || !pathAppend(config, sizeof(config), "config.json"))
        return failWith(OZC_ERR_BUNDLE_PATH_TOO_LONG);
    if (access(rootfs, F_OK) == 0)
        return failWith(OZC_ERR_BUNDLE_ROOTFS_EXISTS);
    if (mkdir(rootfs, 0777) != 0 || ozcCreateOciRootfs(m, kind, rootfs, rootPath, sizeof(rootPath)) != OK)
        return ERROR;
    if (access(config, F_OK) == 0)
        return failWith(OZC_ERR_BUNDLE_CONFIG_EXISTS);
    if (ozcCreateOciBundleConfig(config, m, rootPath) != OK)
        return ERROR;
    undo.dismiss();
    return OK;
}

STATUS ozcImageUnpack(const char *bundlePath, const char *ociPath, const char *tag, unsigned int option,
                      const OZC_BUNDLE_ATTR *pAttr)
{
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

STATUS ozcImageBundleDelete(const char *pBundlePath)
{
    if (pBundlePath == nullptr || access(pBundlePath, F_OK) != 0)
        return failWith(pBundlePath == nullptr ? EINVAL : ENOENT);
    return ozcUtilXdelete(pBundlePath);
}

/* ------------------------------------------------------------------------
 * Image inspection
 * ------------------------------------------------------------------------ */
static void ozcJsonCopyItem(const cJSON *src, const char *srcName, cJSON *dst, const char *dstName)
{
    const cJSON *item = src ? cJSON_GetObjectItem(src, srcName) : nullptr;
    cJSON *copy = item ? cJSON_Duplicate(item, 1) : cJSON_CreateString("");
    if (copy != nullptr)
        cJSON_AddItemToObject(dst, dstName, copy);
}

static cJSON *ozcInspectImageConfig(const cJSON *cfg)
{
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddStringToObject(o, "Hostname", "Orrery");
    cJSON_AddStringToObject(o, "Domainname", "");
    for (const char *k : {"User", "ExposedPorts", "Env", "Cmd", "Entrypoint", "WorkingDir", "Image", "Volumes",
                          "OnBuild", "Labels", "StopSignal"})
        ozcJsonCopyItem(cfg, k, o, k);
    return o;
}

static cJSON *ozcInspectImageContainer(const OZC_IMAGE_MANIFEST *m)
{
    const cJSON *img = m->manifestConfig.imageConfig.imageConfigJson;
    cJSON *o = cJSON_CreateObject();
    if (o == nullptr)
        return nullptr;
    cJSON_AddItemToObject(
        o, "Id", m->manifestConfig.digest ? cJSON_Duplicate(m->manifestConfig.digest, 1) : cJSON_CreateString(""));
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

int ozcImageInspect(const char *ociPath, cJSON *array)
{
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
static const char *ozcDefaultPlatformPart(const char *env, const char *host)
{
    thread_local char buf[2][64];
    char *out = buf[strcmp(env, "OZC_PLATFORM_OS") == 0 ? 0 : 1];
    if (ozEnvGet(env, out, sizeof(buf[0])) == OK && out[0] != '\0')
        return out;
    return host;
}

const char *ozcDefaultOs(void)
{
    return ozcDefaultPlatformPart("OZC_PLATFORM_OS", ozSysOsNameGet());
}
const char *ozcDefaultArchitecture(void)
{
    return ozcDefaultPlatformPart("OZC_PLATFORM_ARCH", ozSysArchNameGet());
}
const char *ozcDefaultTag(void)
{
    return "latest";
}

} /* extern "C" */
