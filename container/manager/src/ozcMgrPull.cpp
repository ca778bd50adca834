/* ozcMgrPull.cpp - the pull of an image into its local OCI layout: the
 * manifest of the tag or digest (the platform entry of a list or index),
 * its config and layers, several at once, each verified as it streams in,
 * blobs already in the store used as they are, and the layout's index
 * written last. The layout is locked for the pull; a failed pull leaves the
 * image that was there as it was.
 *
 * The steps read in the order the pull takes them: the local path, the
 * authentication and the reference's manifest, list or index, the index's
 * entry for this platform, the image manifest, its blobs, the OCI form of
 * the manifest and index.json; then the library's entries (the pull, the
 * pull of an already prepared context, the pull command and the function
 * table).
 */
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrInt.h"

namespace ozcmgr {

namespace {

constexpr mode_t kDirMode = 0700;
/* Blobs downloaded at once (OS-wide setting OZC_PULL_PARALLEL). */
constexpr char kParallelEnv[] = "OZC_PULL_PARALLEL";
constexpr long kParallelDefault = 3;
constexpr long kParallelMax = 16;
constexpr int kBlobTaskPriority = 150;
constexpr size_t kBlobTaskStack = 256 * 1024;

/* What one pull has found and written so far. */
struct PullState {
    oz::JsonPtr manifest;       /* the image manifest */
    std::string manifestDigest; /* its digest as served */
    long long manifestSize = 0;
    std::vector<std::string> added; /* blobs this pull put into the store */
    VerifiedBlobs known;            /* blobs whose digest was checked */
};

/* One blob to bring into the store: the config (layer -1) or a layer. */
struct BlobJob {
    Descriptor d;
    int layer;
};

/* The blob downloads of a pull, shared by the tasks that run them. */
struct BlobWork {
    REGISTRY_CTX *ctx;
    PullState *st;
    std::vector<BlobJob> jobs;
    std::vector<size_t> pending; /* the jobs left to the tasks */
    SEM_ID mutex = nullptr;
    size_t next = 0;              /* first pending job not yet started */
    size_t shown = 0;             /* first job whose end is not yet shown */
    std::vector<long long> bytes; /* per job: -1 running, else its size */
    std::vector<char> present;    /* per job: found in the store */
    int err = 0;                  /* errno of the first failure */
    std::atomic<bool> stop{false};
};

/* Keeps the calling task from deletion while tasks use its frame. */
struct SafeScope {
    SafeScope() { taskSafe(); }
    ~SafeScope() { taskUnsafe(); }
};

/* The steps, in the order the pull takes them; defined below in that
 * order, before the library's entries at the end. */
int layoutPrepare(REGISTRY_CTX *ctx);
int pullFetch(REGISTRY_CTX *ctx, PullState &st);
int manifestFetch(REGISTRY_CTX *ctx, PullState &st, const char *url, const std::string &digest, long long size,
                  oz::JsonPtr *out);
int ozcMgrManifestListProcess(REGISTRY_CTX *ctx, PullState &st, cJSON *list);
int ozcMgrManifestProcess(REGISTRY_CTX *ctx, PullState &st, const char *mediaType, const std::string &digest,
                          long long size, const char *url);
int ozcMgrManifestV2S2Process(REGISTRY_CTX *ctx, PullState &st);
int blobsFetch(REGISTRY_CTX *ctx, PullState &st, const Descriptor &config, const std::vector<Descriptor> &layers);
void blobWorkRun(BlobWork *work);
int blobTask(void *arg);
int blobFetch(REGISTRY_CTX *ctx, const BlobJob &job, PullState &st, const std::atomic<bool> *stop, std::string *added,
              bool *present);
void progressShow(BlobWork *work);
int ozcMgrOCIImageTransform(REGISTRY_CTX *ctx, PullState &st);
int ozcMgrImageInfoInit(const REGISTRY_CTX *ctx, IMAGE_INFO *info);
void pullUndo(REGISTRY_CTX *ctx, const PullState &st, bool hadImage);

/* The table other components reach the pull command through. */
OZC_MGR_LIB_FUNCS ozcMgr_lib_funcs;

/* ---- Local path ---------------------------------------------------------- */

/* With the layout locked: its blob directory, the leftovers of killed
 * pulls gone. */
int layoutPrepare(REGISTRY_CTX *ctx)
{
    char blobs[kPathSize];
    int n = snprintf(blobs, sizeof(blobs), "%s/%s", ctx->image_local_path, kBlobsDir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(blobs))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    if (ozMkdirP(blobs, kDirMode) != 0) {
        ozcMgrUtilErr("failed to create directory %s for image %s\n", blobs, ctx->image);
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    layoutLeftoversClean(ctx);
    return 0;
}

/* ---- Authenticate, then the reference's manifest, list or index ---------- */

/* Authenticates, resolves the reference and brings the manifest and every
 * blob it names into the layout's store; the index is not touched. */
int pullFetch(REGISTRY_CTX *ctx, PullState &st)
{
    /* The kind of an earlier pull on this context must not stand in for a
     * manifest type this pull does not know. */
    ctx->image_config.manifest_type = MANIFEST_TYPE_UNKNOWN;
    if (ozcMgrRegistryAuthenticate(ctx) != 0)
        return -1;
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointManifestUrlGet(ctx, manifestReference(ctx), url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    RegistryAsk head{url};
    head.header = ctx->extra_http_header;
    head.head = true;
    head.what = "download manifest";
    if (registryRequest(ctx, head) != 0)
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
    if (ctx->digest[0] != '\0' && strcmp(ctx->digest, digest) != 0) {
        ozcMgrUtilErr("integrity check failed for manifest %s, registry sent %s\n", ctx->digest, digest);
        return failWith(OZC_MGR_ERR_INTEGRITY);
    }

    int rc;
    if (isManifestList(contentType)) {
        oz::JsonPtr list;
        rc = manifestFetch(ctx, st, url, digest, -1, &list);
        if (rc == 0)
            rc = ozcMgrManifestListProcess(ctx, st, list.get());
    } else {
        rc = ozcMgrManifestProcess(ctx, st, contentType, digest, -1, url);
    }
    if (rc != 0) {
        ozcMgrUtilErr("manifest processing error\n");
        return -1;
    }
    return 0;
}

/* Brings a manifest, list or index into the store unless it is there,
 * fetching it from url (bounded by size when known, else by the manifest
 * bound), and returns it parsed. */
int manifestFetch(REGISTRY_CTX *ctx, PullState &st, const char *url, const std::string &digest, long long size,
                  oz::JsonPtr *out)
{
    if (size > kManifestMax) {
        ozcMgrUtilErr("manifest %s has %lld bytes, more than the %lld a manifest may have\n", digest.c_str(), size,
                      kManifestMax);
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (!blobPresent(ctx, digest, size, st.known)) {
        BlobWriter w(ctx, digest, size, nullptr, &st.known);
        if (w.open() != 0)
            return -1;
        RegistryAsk ask{url};
        ask.header = ctx->extra_http_header;
        ask.sink = BlobWriter::sink;
        ask.sinkArg = &w;
        ask.limit = size >= 0 ? size : kManifestMax;
        ask.what = "download manifest";
        if (registryRequest(ctx, ask) != 0) {
            if (curlCtxBodyCutGet(ctx->curl_ctx) && size < 0) {
                ozcMgrUtilErr("manifest %s is larger than %lld bytes\n", url, kManifestMax);
                return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
            }
            if (curlCtxBodyCutGet(ctx->curl_ctx))
                return failWith(OZC_MGR_ERR_INTEGRITY);
            return -1;
        }
        if (w.commit() != 0)
            return -1;
        st.added.push_back(w.path());
    }
    char path[kPathSize];
    if (!blobPathGet(ctx, digest, path, sizeof(path)))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    out->reset(cJSON_load_from_file(path));
    if (!*out) {
        ozcMgrUtilErr("cJSON_load_from_file manifest %s failed\n", path);
        return failWith(OZC_MGR_ERR_JSON_LOAD);
    }
    return 0;
}

/* ---- Index: this platform's entry ---------------------------------------- */

/* Picks this platform's entry of the list and pulls its manifest. */
int ozcMgrManifestListProcess(REGISTRY_CTX *ctx, PullState &st, cJSON *list)
{
    const cJSON *entry = ozcMgrManifestExtract(list);
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
    const cJSON *sizeItem = cJSON_GetObjectItemCaseSensitive(entry, "size");
    long long size =
        cJSON_IsInteger(sizeItem) && cJSON_integer64_value(sizeItem) >= 0 ? cJSON_integer64_value(sizeItem) : -1;
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointManifestUrlGet(ctx, digest, url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    return ozcMgrManifestProcess(ctx, st, mediaType, digest, size, url);
}

/* ---- Manifest ------------------------------------------------------------ */

/* Classifies the image manifest of digest, fetches it from url and then
 * what it names. */
int ozcMgrManifestProcess(REGISTRY_CTX *ctx, PullState &st, const char *mediaType, const std::string &digest,
                          long long size, const char *url)
{
    ozcMgrManifestTypeSet(ctx, mediaType);
    MANIFEST_TYPE type = ctx->image_config.manifest_type;
    if (type != DOCKER_MANIFEST_V2S2 && type != OCI_IMAGE_MANIFEST_V1) {
        ozcMgrUtilErr("unsupported manifest type %s\n", mediaType);
        return failWith(OZC_MGR_ERR_MANIFEST_PARSE);
    }
    if (manifestFetch(ctx, st, url, digest, size, &st.manifest) != 0)
        return -1;
    char path[kPathSize];
    struct stat sb;
    if (!blobPathGet(ctx, digest, path, sizeof(path)) || stat(path, &sb) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    st.manifestDigest = digest;
    st.manifestSize = sb.st_size;
    return ozcMgrManifestV2S2Process(ctx, st);
}

/* Config and layers of the image manifest in st. */
int ozcMgrManifestV2S2Process(REGISTRY_CTX *ctx, PullState &st)
{
    Descriptor config;
    std::vector<Descriptor> layers;
    if (manifestBlobsGet(st.manifest.get(), &config, &layers) != 0)
        return -1;
    ozcMgrUtilOut("Number of layers: %d\n", static_cast<int>(layers.size()));
    return blobsFetch(ctx, st, config, layers);
}

/* ---- Blobs --------------------------------------------------------------- */

/* Brings the config and the layers into the store, up to OZC_PULL_PARALLEL
 * at once: the calling task and tasks of its own, each with its own
 * transfer context. The first failure stops the others. */
int blobsFetch(REGISTRY_CTX *ctx, PullState &st, const Descriptor &config, const std::vector<Descriptor> &layers)
{
    long parallel = 0;
    if (!envNumberGet(kParallelEnv, 1, kParallelMax, kParallelDefault, &parallel))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    BlobWork work;
    work.ctx = ctx;
    work.st = &st;
    work.jobs.push_back({config, -1});
    for (size_t i = 0; i < layers.size(); ++i) {
        bool seen = std::any_of(work.jobs.begin(), work.jobs.end(),
                                [&](const BlobJob &j) { return j.d.digest == layers[i].digest; });
        if (!seen)
            work.jobs.push_back({layers[i], static_cast<int>(i)});
    }
    work.bytes.assign(work.jobs.size(), -1);
    work.present.assign(work.jobs.size(), 0);
    /* Blobs unchanged since they were verified need neither a task nor a
     * transfer: the re-pull of an unchanged image ends here. */
    for (size_t i = 0; i < work.jobs.size(); ++i) {
        if (blobPresent(ctx, work.jobs[i].d.digest, work.jobs[i].d.size, st.known, false)) {
            work.present[i] = 1;
            work.bytes[i] = work.jobs[i].d.size;
        } else {
            work.pending.push_back(i);
        }
    }
    progressShow(&work);
    if (work.pending.empty())
        return 0;
    work.mutex = semMCreate(SEM_Q_PRIORITY | SEM_DELETE_SAFE | SEM_INVERSION_SAFE);
    if (work.mutex == nullptr)
        return failWith(OZC_MGR_ERR_NO_MEMORY);
    {
        SafeScope safe;
        std::vector<TASK_ID> tasks;
        size_t helpers = std::min<size_t>(static_cast<size_t>(parallel), work.pending.size()) - 1;
        for (size_t k = 0; k < helpers; ++k) {
            TASK_ID tid = taskSpawn("ozcMgrBlob", kBlobTaskPriority, 0, kBlobTaskStack, blobTask, &work);
            if (tid == TASK_ID_NULL)
                break; /* fewer at once, not a failure */
            tasks.push_back(tid);
        }
        blobWorkRun(&work);
        for (TASK_ID tid : tasks)
            taskWait(tid, WAIT_FOREVER, nullptr);
    }
    semDelete(work.mutex);
    return work.err != 0 ? failWith(work.err) : 0;
}

/* Takes jobs until none is left or one has failed. */
void blobWorkRun(BlobWork *work)
{
    oz::Owner<REGISTRY_CTX, ozcRegistryCtxDelete> own(registryCtxClone(work->ctx));
    for (;;) {
        semTake(work->mutex, WAIT_FOREVER);
        if (!own && work->err == 0) {
            work->err = OZC_MGR_ERR_NO_MEMORY;
            work->stop = true;
        }
        if (work->stop || work->next == work->pending.size()) {
            semGive(work->mutex);
            return;
        }
        size_t i = work->pending[work->next++];
        semGive(work->mutex);

        std::string added;
        bool present = false;
        errnoSet(0);
        int rc = blobFetch(own.get(), work->jobs[i], *work->st, &work->stop, &added, &present);
        int err = errnoGet();

        semTake(work->mutex, WAIT_FOREVER);
        if (rc != 0) {
            if (work->err == 0 && !work->stop)
                work->err = err != 0 ? err : OZC_MGR_ERR_CURL_FAILED;
            work->stop = true;
        } else {
            if (!added.empty())
                work->st->added.push_back(added);
            work->present[i] = present ? 1 : 0;
            work->bytes[i] = work->jobs[i].d.size;
            progressShow(work);
        }
        semGive(work->mutex);
    }
}

int blobTask(void *arg)
{
    blobWorkRun(static_cast<BlobWork *>(arg));
    return 0;
}

/* Brings one blob into the store: used as it is when present and intact,
 * else downloaded into a temporary file, verified and renamed into place. */
int blobFetch(REGISTRY_CTX *ctx, const BlobJob &job, PullState &st, const std::atomic<bool> *stop, std::string *added,
              bool *present)
{
    *present = blobPresent(ctx, job.d.digest, job.d.size, st.known);
    if (*present)
        return 0;
    if (job.layer >= 0)
        ozcMgrUtilOut("Layer %d, downloading %s\n", job.layer, job.d.digest.c_str());
    char url[OZC_MGR_URL_SIZE];
    if (ozcMgrEndpointBlobUrlGet(ctx, job.d.digest.c_str(), url, sizeof(url)) != 0)
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    BlobWriter w(ctx, job.d.digest, job.d.size, stop, &st.known);
    if (w.open() != 0)
        return -1;
    RegistryAsk ask{url};
    ask.sink = BlobWriter::sink;
    ask.sinkArg = &w;
    ask.limit = job.d.size;
    ask.what = "download blob";
    ask.subject = job.d.digest.c_str();
    if (registryRequest(ctx, ask) != 0) {
        if (curlCtxBodyCutGet(ctx->curl_ctx)) {
            ozcMgrUtilErr("blob %s is longer than the %lld bytes its manifest declares\n", job.d.digest.c_str(),
                          job.d.size);
            return failWith(OZC_MGR_ERR_INTEGRITY);
        }
        if (w.writeErrno() != 0)
            return w.commit(); /* says what the file system refused */
        return -1;
    }
    if (w.commit() != 0)
        return -1;
    *added = w.path();
    return 0;
}

/* Progress lines of the jobs that ended, in the manifest's order. */
void progressShow(BlobWork *work)
{
    while (work->shown < work->jobs.size() && work->bytes[work->shown] >= 0) {
        const BlobJob &job = work->jobs[work->shown];
        if (job.layer >= 0)
            ozcMgrUtilOut(work->present[work->shown] ? "Layer %d already present: %lld bytes %s\n"
                                                     : "Layer %d done: %lld bytes %s\n",
                          job.layer, work->bytes[work->shown], job.d.digest.c_str());
        ++work->shown;
    }
}

/* ---- OCI form and index.json --------------------------------------------- */

std::string digestOf(const std::string &text)
{
    char hex[kHexSize];
    if (sha256HexGet(text.data(), text.size(), hex, sizeof(hex)) != 0)
        return {};
    return std::string("sha256:") + hex;
}

/* The layout's manifest: the one served, or for a Docker schema 2 manifest
 * its restatement in OCI media types (the runtime reads those only), put
 * into the store beside it; then "oci-layout" and "index.json". */
int ozcMgrOCIImageTransform(REGISTRY_CTX *ctx, PullState &st)
{
    MANIFEST_TYPE type = ctx->image_config.manifest_type;
    if (type != DOCKER_MANIFEST_V2S2 && type != OCI_IMAGE_MANIFEST_V1)
        return -1;
    std::string digest = st.manifestDigest;
    long long size = st.manifestSize;
    if (type == DOCKER_MANIFEST_V2S2) {
        std::string text = dockerManifestToOci(st.manifest.get());
        digest = digestOf(text);
        if (text.empty() || digest.empty()) {
            ozcMgrUtilErr("construct OCI manifest failed\n");
            return -1;
        }
        size = static_cast<long long>(text.size());
        if (!blobPresent(ctx, digest, size, st.known)) {
            BlobWriter w(ctx, digest, size, nullptr, &st.known);
            if (w.open() != 0 || !w.write(text.data(), text.size()) || w.commit() != 0) {
                ozcMgrUtilErr("construct OCI manifest failed\n");
                return -1;
            }
            st.added.push_back(w.path());
        }
    }
    if (ozcMgrOCILayeroutFileCreate(ctx) != 0)
        return -1;
    return ozcMgrOCIIndexFileCreate(ctx, digest, size);
}

/* ---- What the caller gets, and the undo of a failed pull ----------------- */

int ozcMgrImageInfoInit(const REGISTRY_CTX *ctx, IMAGE_INFO *info)
{
    if (!fieldCopy(info->image_name, sizeof(info->image_name), ctx->image, strnlen(ctx->image, sizeof(ctx->image))) ||
        !fieldCopy(info->image_tag, sizeof(info->image_tag), ctx->tag, strnlen(ctx->tag, sizeof(ctx->tag))) ||
        !fieldCopy(info->image_path, sizeof(info->image_path), ctx->image_local_path,
                   strnlen(ctx->image_local_path, sizeof(ctx->image_local_path))))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    return 0;
}

/* A failed pull takes back what it added: a layout that had no image goes
 * as a whole, else only the blobs this pull put into the store. */
void pullUndo(REGISTRY_CTX *ctx, const PullState &st, bool hadImage)
{
    int savedErrno = errnoGet();
    if (!hadImage) {
        ozRmTree(ctx->image_local_path);
    } else {
        for (const std::string &path : st.added)
            unlink(path.c_str());
    }
    errnoSet(savedErrno);
}

} /* namespace */

} /* namespace ozcmgr */

using namespace ozcmgr;

extern "C" {

int ozcImagePull(REGISTRY_CTX *ctx, IMAGE_INFO *image_info)
{
    if (ctx == nullptr)
        return invalidArgument();
    if (ozcMgrImageLocalPathInit(ctx, nullptr) != 0)
        return -1;
    /* One pull at a time writes a layout, whichever process runs it. */
    LayoutLock lock;
    if (lock.take(ctx) != 0)
        return -1;
    bool hadImage = layoutHasIndex(ctx);
    PullState st;
    st.known.load(ctx);
    int rc = -1;
    ozcMgrUtilOut("Trying to pull %s from %s://%s/v2/\n", ctx->repository, ctx->transfer_protocol, ctx->registry);
    if (layoutPrepare(ctx) != 0 || layoutNameCheck(ctx) != 0) {
        /* errno set; nothing was written */
    } else if (pullFetch(ctx, st) != 0) {
        /* errno set by the failing step */
    } else if (image_info != nullptr && ozcMgrImageInfoInit(ctx, image_info) != 0) {
        ozcMgrUtilErr("init for image_info failed\n");
    } else if (ozcMgrOCIImageTransform(ctx, st) != 0) {
        ozcMgrUtilErr("ozcMgrOCIImageTransform error\n");
        errnoSet(OZC_MGR_ERR_OCI_TRANSFORM);
    } else {
        ozcMgrUtilOut("Pull Success: %s\n", ctx->image_local_path);
        rc = 0;
    }
    if (rc != 0)
        pullUndo(ctx, st, hadImage);
    st.known.save(ctx);
    return rc;
}

int ozcImagePullInternal(REGISTRY_CTX *ctx)
{
    if (ctx == nullptr || ctx->image_local_path[0] == '\0')
        return invalidArgument();
    LayoutLock lock;
    if (lock.take(ctx) != 0 || layoutPrepare(ctx) != 0)
        return -1;
    PullState st;
    st.known.load(ctx);
    int rc = pullFetch(ctx, st);
    if (rc != 0)
        pullUndo(ctx, st, true);
    st.known.save(ctx);
    return rc;
}

/* The pull command of the function table: one pull of a reference, with
 * the library's messages printed. */
int ozcImagePullCmd(const char *image_ref, const char *user, const char *password, int insecure, int verbose,
                    IMAGE_INFO *image_info)
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

OZC_MGR_LIB_FUNCS *ozcMgrLibFuncs = nullptr;

/* Publishes the function table when the library is loaded. */
__attribute__((constructor)) static void ozcMgrLibInit(void)
{
    ozcMgr_lib_funcs.imagePull = ozcImagePullCmd;
    ozcMgrLibFuncs = &ozcMgr_lib_funcs;
}

void ozcMgrEnable(void) {}

} /* extern "C" */
