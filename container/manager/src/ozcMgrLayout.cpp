/* ozcMgrLayout.cpp - the local OCI image layout a pull writes: its place
 * under the image base, the lock that lets one pull at a time write it,
 * blobs streamed into temporary files and renamed into place once their
 * digest verifies, the leftovers of killed pulls, and "oci-layout" and
 * "index.json", replaced atomically with each tag's entry side by side.
 *
 * Readers (the runtime's unpack, other tools) never see a partial file: a
 * blob appears under its digest only complete and verified, and the index
 * that names a manifest is written after everything it names.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "ozJson.h"
#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrInt.h"

namespace ozcmgr {

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0660;
constexpr size_t kPathReserve = 45;
/* Temporary files of a pull, in the blob directory. */
constexpr char kPartialPrefix[] = ".partial-";
constexpr char kIndexFile[] = "index.json";
constexpr char kLayoutFile[] = "oci-layout";
/* Download file of the manifest in earlier versions of the library. */
constexpr char kOldManifestFile[] = "manifest.json";
constexpr char kRefNameKey[] = "org.opencontainers.image.ref.name";
constexpr char kImageNameKey[] = "org.orrery.image.name";

/* "<layout>/<name>" into out; false when it does not fit. */
bool layoutPathGet(const REGISTRY_CTX *ctx, const char *name, char *out, size_t size)
{
    int n = snprintf(out, size, "%s/%s", ctx->image_local_path, name);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool startsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

/* Removes the entries of dir whose names begin with one of the prefixes. */
void entriesRemove(const char *dir, std::initializer_list<const char *> prefixes)
{
    DIR *d = opendir(dir);
    if (d == nullptr)
        return;
    while (const struct dirent *e = readdir(d)) {
        for (const char *prefix : prefixes) {
            if (startsWith(e->d_name, prefix)) {
                char path[kPathSize];
                int n = snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
                if (n > 0 && static_cast<size_t>(n) < sizeof(path) && unlink(path) == 0)
                    ozcMgrUtilOut("removed %s, left by an earlier pull\n", path);
                break;
            }
        }
    }
    closedir(d);
}

/* The layout's index, or null when it is missing or does not parse. */
oz::JsonPtr indexLoad(const REGISTRY_CTX *ctx)
{
    char path[kPathSize];
    if (!layoutPathGet(ctx, kIndexFile, path, sizeof(path)))
        return nullptr;
    int savedErrno = errnoGet();
    oz::JsonPtr index(cJSON_load_from_file(path));
    errnoSet(savedErrno);
    if (!index || !cJSON_IsObject(index.get()) ||
        !cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(index.get(), "manifests")))
        return nullptr;
    return index;
}

/* A string annotation of an index entry, or null. */
const char *annotationGet(const cJSON *entry, const char *key)
{
    return jsonStringGet(cJSON_GetObjectItemCaseSensitive(entry, "annotations"), key);
}

/* True when the entry stands for the ref name: the same ref name, or, for
 * "latest", no ref name at all (the runtime reads such an entry as latest). */
bool entryIsRef(const cJSON *entry, const std::string &ref)
{
    const char *name = annotationGet(entry, kRefNameKey);
    return name != nullptr ? ref == name : ref == "latest";
}

/* "<base>/.<name><suffix>": files of a layout that lie beside it. */
bool besideLayoutPathGet(const REGISTRY_CTX *ctx, const char *suffix, char *out, size_t size)
{
    const char *slash = strrchr(ctx->image_local_path, '/');
    if (slash == nullptr)
        return false;
    int n = snprintf(out, size, "%.*s/.%s%s", static_cast<int>(slash - ctx->image_local_path), ctx->image_local_path,
                     slash + 1, suffix);
    return n > 0 && static_cast<size_t>(n) < size;
}

std::string stampOf(const struct stat &st)
{
    char text[128];
    snprintf(text, sizeof(text), "%llu:%llu:%lld:%lld.%09ld", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
             static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    return text;
}

struct SemTaken {
    SEM_ID sem;
    explicit SemTaken(void *s) : sem(static_cast<SEM_ID>(s)) { semTake(sem, WAIT_FOREVER); }
    ~SemTaken() { semGive(sem); }
};

} /* namespace */

/* ---- Lock ------------------------------------------------------------------- */

LayoutLock::~LayoutLock()
{
    if (id_ >= 0)
        ozFileLockGive(id_);
}

int LayoutLock::take(const REGISTRY_CTX *ctx)
{
    /* The lock file lies beside the layout, so that a failed first pull can
     * remove the whole layout directory while others wait for its lock. */
    char path[kPathSize];
    if (!besideLayoutPathGet(ctx, ".lock", path, sizeof(path)))
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    id_ = ozFileLockTake(path, NO_WAIT);
    if (id_ < 0 && errnoGet() == S_objLib_OBJ_UNAVAILABLE) {
        ozcMgrUtilOut("waiting for another pull of %s to end\n", ctx->image_local_path);
        id_ = ozFileLockTake(path, WAIT_FOREVER);
    }
    if (id_ < 0) {
        ozcMgrUtilErr("cannot lock %s: %s\n", path, strerror(errnoGet()));
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    }
    return 0;
}

/* ---- Blobs ------------------------------------------------------------------ */

bool blobPathGet(const REGISTRY_CTX *ctx, const std::string &digest, char *out, size_t size)
{
    const char *hex = ozcMgrHashGetFromDigest(digest.c_str());
    int n = hex == nullptr ? -1 : snprintf(out, size, "%s/%s/%s", ctx->image_local_path, kBlobsDir, hex);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool blobPresent(const REGISTRY_CTX *ctx, const std::string &digest, long long size, VerifiedBlobs &known, bool mayHash)
{
    char path[kPathSize];
    struct stat st;
    if (!blobPathGet(ctx, digest, path, sizeof(path)) || lstat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
        (size >= 0 && st.st_size != size))
        return false;
    std::string hex = ozcMgrHashGetFromDigest(digest.c_str());
    if (known.unchanged(hex, st))
        return true;
    if (!mayHash)
        return false;
    char hash[kHexSize];
    int savedErrno = errnoGet();
    bool same = ozcMgrFileSha256HexGet(path, hash, sizeof(hash)) == 0 && hex == hash;
    errnoSet(savedErrno);
    if (same)
        known.add(hex, st);
    return same;
}

/* ---- Verified blobs --------------------------------------------------------- */

VerifiedBlobs::VerifiedBlobs() : mutex_(semMCreate(SEM_Q_PRIORITY | SEM_DELETE_SAFE)) {}

VerifiedBlobs::~VerifiedBlobs()
{
    semDelete(static_cast<SEM_ID>(mutex_));
}

void VerifiedBlobs::load(const REGISTRY_CTX *ctx)
{
    char path[kPathSize];
    if (!besideLayoutPathGet(ctx, ".verified", path, sizeof(path)))
        return;
    int savedErrno = errnoGet();
    oz::JsonPtr record(cJSON_load_from_file(path));
    errnoSet(savedErrno);
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, record.get())
    {
        if (cJSON_IsString(item) && item->string != nullptr)
            stamps_.emplace_back(item->string, item->valuestring);
    }
}

bool VerifiedBlobs::unchanged(const std::string &hex, const struct stat &st)
{
    std::string stamp = stampOf(st);
    SemTaken lock(mutex_);
    for (const auto &s : stamps_) {
        if (s.first == hex)
            return s.second == stamp;
    }
    return false;
}

void VerifiedBlobs::add(const std::string &hex, const struct stat &st)
{
    std::string stamp = stampOf(st);
    SemTaken lock(mutex_);
    changed_ = true;
    for (auto &s : stamps_) {
        if (s.first == hex) {
            s.second = stamp;
            return;
        }
    }
    stamps_.emplace_back(hex, stamp);
}

void VerifiedBlobs::save(const REGISTRY_CTX *ctx)
{
    /* A record is a cache: writing it never changes what the pull reports. */
    struct ErrnoKept {
        int err = errnoGet();
        ~ErrnoKept() { errnoSet(err); }
    } kept;
    char path[kPathSize];
    oz::JsonPtr record(cJSON_CreateObject());
    if (!changed_ || !record || !besideLayoutPathGet(ctx, ".verified", path, sizeof(path)))
        return;
    for (const auto &s : stamps_) {
        char blob[kPathSize];
        struct stat st;
        int n = snprintf(blob, sizeof(blob), "%s/%s/%s", ctx->image_local_path, kBlobsDir, s.first.c_str());
        if (n > 0 && static_cast<size_t>(n) < sizeof(blob) && lstat(blob, &st) == 0 && stampOf(st) == s.second)
            cJSON_AddStringToObject(record.get(), s.first.c_str(), s.second.c_str());
    }
    if (cJSON_dump_to_file(record.get(), path, kFileMode) != 0)
        ozcMgrUtilErr("cannot write %s: %s\n", path, strerror(errnoGet()));
    changed_ = false;
}

BlobWriter::BlobWriter(const REGISTRY_CTX *ctx, const std::string &digest, long long size,
                       const std::atomic<bool> *stop, VerifiedBlobs *known)
    : digest_(digest), size_(size), stop_(stop), known_(known)
{
    char path[kPathSize];
    if (blobPathGet(ctx, digest, path, sizeof(path))) {
        final_ = path;
        size_t slash = final_.rfind('/');
        temp_ = final_.substr(0, slash + 1) + kPartialPrefix + final_.substr(slash + 1);
    }
}

BlobWriter::~BlobWriter()
{
    if (fd_ >= 0)
        close(fd_);
    if (!committed_ && !temp_.empty())
        unlink(temp_.c_str());
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(sha_));
}

int BlobWriter::open()
{
    if (temp_.empty())
        return failWith(OZC_MGR_ERR_INVALID_ARG);
    auto *sha = EVP_MD_CTX_new();
    sha_ = sha;
    if (sha == nullptr || EVP_DigestInit_ex(sha, EVP_sha256(), nullptr) != 1)
        return failWith(OZC_MGR_ERR_NO_MEMORY);
    unlink(temp_.c_str());
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (fd_ < 0) {
        int err = errnoGet();
        ozcMgrUtilErr("open file %s failed: %s\n", temp_.c_str(), strerror(err));
        return failWith(err);
    }
    return 0;
}

bool BlobWriter::write(const char *data, size_t len)
{
    if (writeErrno_ != 0)
        return false;
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(sha_), data, len);
    received_ += static_cast<long long>(len);
    while (len > 0) {
        ssize_t n = ::write(fd_, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            writeErrno_ = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

size_t BlobWriter::sink(const char *data, size_t len, void *arg)
{
    auto *w = static_cast<BlobWriter *>(arg);
    /* Another download of the pull failed: this one ends too. */
    if (w->stop_ != nullptr && w->stop_->load())
        return 0;
    return w->write(data, len) ? len : 0;
}

int BlobWriter::commit()
{
    if (writeErrno_ != 0) {
        ozcMgrUtilErr("write of %s failed: %s\n", temp_.c_str(), strerror(writeErrno_));
        return failWith(writeErrno_);
    }
    if (size_ >= 0 && received_ != size_) {
        ozcMgrUtilErr("blob %s has %lld bytes, its manifest says %lld\n", digest_.c_str(), received_, size_);
        return failWith(OZC_MGR_ERR_INTEGRITY);
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    char hex[kHexSize];
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(sha_), md, &mdLen) != 1 ||
        bin2hex(md, mdLen, hex, sizeof(hex)) != 0)
        return failWith(OZC_MGR_ERR_INTEGRITY);
    const char *expected = ozcMgrHashGetFromDigest(digest_.c_str());
    if (strcmp(hex, expected) != 0) {
        ozcMgrUtilOut("integrity check failed for file %s, expected hash: %s, calculated hash: "
                      "%s\n",
                      temp_.c_str(), expected, hex);
        return failWith(OZC_MGR_ERR_INTEGRITY);
    }
    /* On disk before it carries its name, so that no crash leaves a blob
     * whose bytes are not those of its digest. */
    if (fdatasync(fd_) != 0 || close(fd_) != 0) {
        int err = errnoGet();
        fd_ = -1;
        ozcMgrUtilErr("write of %s failed: %s\n", temp_.c_str(), strerror(err));
        return failWith(err);
    }
    fd_ = -1;
    if (rename(temp_.c_str(), final_.c_str()) != 0) {
        int err = errnoGet();
        ozcMgrUtilErr("rename of %s failed: %s\n", temp_.c_str(), strerror(err));
        return failWith(err);
    }
    committed_ = true;
    struct stat st;
    if (known_ != nullptr && lstat(final_.c_str(), &st) == 0)
        known_->add(expected, st);
    ozcMgrUtilOut("integrity check passed for file %s\n", final_.c_str());
    return 0;
}

/* ---- Layout ------------------------------------------------------------------ */

void layoutLeftoversClean(const REGISTRY_CTX *ctx)
{
    char blobs[kPathSize];
    if (layoutPathGet(ctx, kBlobsDir, blobs, sizeof(blobs)))
        entriesRemove(blobs, {kPartialPrefix});
    /* The JSON files are replaced through temporary files beside them. */
    entriesRemove(ctx->image_local_path, {"index.json.tmp", "oci-layout.tmp", kOldManifestFile});
}

bool layoutHasIndex(const REGISTRY_CTX *ctx)
{
    char path[kPathSize];
    struct stat st;
    return layoutPathGet(ctx, kIndexFile, path, sizeof(path)) && stat(path, &st) == 0;
}

std::string imageFullName(const REGISTRY_CTX *ctx)
{
    /* "<registry>/<repository path>", the form the node agent builds from the
     * same parts to find an image; the repository path ends in the image's
     * own name. */
    std::string registry = ctx->registry;
    return registry + "/" + (ctx->repository[0] == '\0' ? ctx->image : ctx->repository);
}

std::string imageRefName(const REGISTRY_CTX *ctx)
{
    return ctx->tag;
}

int layoutNameCheck(const REGISTRY_CTX *ctx)
{
    oz::JsonPtr index = indexLoad(ctx);
    if (!index)
        return 0;
    std::string mine = imageFullName(ctx);
    const cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, cJSON_GetObjectItemCaseSensitive(index.get(), "manifests"))
    {
        const char *other = annotationGet(entry, kImageNameKey);
        if (other != nullptr && mine != other) {
            ozcMgrUtilErr("local image %s holds %s; %s has the same name and cannot be "
                          "stored beside it\n",
                          ctx->image_local_path, other, mine.c_str());
            return failWith(OZC_MGR_ERR_NAME_TAKEN);
        }
    }
    return 0;
}

int ozcMgrOCILayeroutFileCreate(const REGISTRY_CTX *ctx)
{
    char path[kPathSize];
    if (!layoutPathGet(ctx, kLayoutFile, path, sizeof(path))) {
        ozcMgrUtilErr("construct oci-layout file failed\n");
        return -1;
    }
    oz::JsonPtr layout(cJSON_CreateObject());
    if (!layout || cJSON_AddStringToObject(layout.get(), "imageLayoutVersion", "1.0.0") == nullptr) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }
    int savedErrno = errnoGet();
    oz::JsonPtr present(cJSON_load_from_file(path));
    errnoSet(savedErrno);
    if (present && cJSON_Compare(present.get(), layout.get(), 1))
        return 0;
    if (cJSON_dump_to_file(layout.get(), path, kFileMode) != 0) {
        ozcMgrUtilErr("construct oci-layout file failed\n");
        return -1;
    }
    return 0;
}

int ozcMgrOCIIndexFileCreate(const REGISTRY_CTX *ctx, const std::string &manifestDigest, long long manifestSize)
{
    std::string ref = imageRefName(ctx);
    std::string name = imageFullName(ctx);
    oz::JsonPtr entry(cJSON_CreateObject());
    cJSON *annotations = nullptr;
    if (!entry || cJSON_AddStringToObject(entry.get(), "mediaType", MEDIA_TYPE_OCI_IMAGE_MANIFEST) == nullptr ||
        cJSON_AddStringToObject(entry.get(), "digest", manifestDigest.c_str()) == nullptr ||
        cJSON_AddNumberToObject(entry.get(), "size", static_cast<double>(manifestSize)) == nullptr ||
        (annotations = cJSON_AddObjectToObject(entry.get(), "annotations")) == nullptr ||
        cJSON_AddStringToObject(annotations, kRefNameKey, ref.c_str()) == nullptr ||
        cJSON_AddStringToObject(annotations, kImageNameKey, name.c_str()) == nullptr) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }

    /* The other tags' entries stay as they are; this tag's entry is
     * replaced where it stands, or added at the end. */
    oz::JsonPtr before = indexLoad(ctx);
    oz::JsonPtr index(before ? cJSON_Duplicate(before.get(), 1) : cJSON_CreateObject());
    if (!index) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }
    if (!before && (cJSON_AddNumberToObject(index.get(), "schemaVersion", 2) == nullptr ||
                    cJSON_AddArrayToObject(index.get(), "manifests") == nullptr)) {
        ozcMgrUtilErr("cJSON_object failed");
        return -1;
    }
    cJSON *manifests = cJSON_GetObjectItemCaseSensitive(index.get(), "manifests");
    bool placed = false;
    for (int i = cJSON_GetArraySize(manifests) - 1; i >= 0; --i) {
        if (!entryIsRef(cJSON_GetArrayItem(manifests, i), ref))
            continue;
        if (!placed) {
            cJSON_ReplaceItemInArray(manifests, i, entry.release());
            placed = true;
        } else {
            cJSON_DeleteItemFromArray(manifests, i);
        }
    }
    if (!placed)
        cJSON_AddItemToArray(manifests, entry.release());
    if (before && cJSON_Compare(before.get(), index.get(), 1))
        return 0;

    char path[kPathSize];
    if (!layoutPathGet(ctx, kIndexFile, path, sizeof(path)) || cJSON_dump_to_file(index.get(), path, kFileMode) != 0) {
        ozcMgrUtilErr("construct index.json file failed\n");
        return -1;
    }
    return 0;
}

} /* namespace ozcmgr */

using namespace ozcmgr;

extern "C" {

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

} /* extern "C" */
