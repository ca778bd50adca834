/* ozcMgrInt.h - what the units of libozcMgr share inside the library:
 * error and field helpers, the OS-wide number settings, the clone of a
 * context for a parallel transfer, registry requests with their retry and
 * re-authentication, the manifest rules, the layout store and the limits
 * of a pull. Nothing here is exported.
 */
#ifndef OZC_MGR_INT_H
#define OZC_MGR_INT_H

#include <atomic>
#include <cstddef>
#include <string>
#include <sys/stat.h>
#include <string_view>
#include <vector>

#include <cjson/cJSON.h>

#include "ozcMgrCurlLib.h"
#include "ozcMgrLib.h"
#include "ozcMgrUtil.h"

/* Hidden: the library exports its C interface only. */
namespace ozcmgr __attribute__((visibility("hidden"))) {

/* Manifests, manifest lists and indexes larger than this are refused. */
constexpr long long kManifestMax = 4LL * 1024 * 1024;
constexpr size_t kMediaTypeSize = 256;
constexpr size_t kPathSize = REGISTRY_CTX_PATH_SIZE;
constexpr size_t kHexSize = 65;
constexpr char kBlobsDir[] = "blobs/sha256";

/* Sets errno to err; -1. */
int failWith(int err);
/* "Invalid argument\n" and 0xE00008; -1. */
int invalidArgument();
/* An image name names a directory of its own under the image base: not
 * empty, no '/', not "." or "..". */
bool imageNameIsSafe(std::string_view image);
/* Copies [text, text+len) into a fixed field; refuses what does not fit. */
bool fieldCopy(char *field, size_t fieldSize, const char *text, size_t len);
/* Text of a JSON string member, or null. */
const char *jsonStringGet(const cJSON *obj, const char *name);

/* An OS-wide number setting: `def` when unset or empty; false (with a
 * message naming it) when it is not a whole number from min to max. */
bool envNumberGet(const char *name, long min, long max, long def, long *out);

/* A copy of a transfer context (credentials included) for another task;
 * no output file, sink or bound. Null when out of memory. */
CURL_CTX *curlCtxClone(const CURL_CTX *ctx);
/* A copy of a registry context with its own transfer context and no extra
 * headers, for a task that downloads blobs. Freed by ozcRegistryCtxDelete. */
REGISTRY_CTX *registryCtxClone(const REGISTRY_CTX *ctx);

/* One request of a registry conversation that must be answered 200. */
struct RegistryAsk {
    const char *url;
    HTTP_HEADER *header = nullptr; /* null: no extra headers */
    bool head = false;
    HTTP_BODY_SINK sink = nullptr; /* GET: the 2xx body; null: response text */
    void *sinkArg = nullptr;
    long long limit = -1;          /* longest body, or -1 */
    const char *what = "";         /* names the request in the error line */
    const char *subject = nullptr;
};
/* Sends the request; a 401 while a bearer token is in use fetches a new
 * token from the reply's challenge once and sends the request again. 0 on a
 * 200 answer; -1 with errno 0xE00002 (and the status in the error line),
 * 0xE00001 for a transport failure, 0xE00008 for a refused TLS or transfer
 * setting. A body cut at `limit` leaves curlCtxBodyCutGet set. */
int registryRequest(REGISTRY_CTX *ctx, const RegistryAsk &ask);
/* errno of a failed transfer: 0xE00008 for refused settings, else 0xE00001;
 * -1. */
int transferFailed(const REGISTRY_CTX *ctx);
/* The reference of the manifest a context names: its digest when pinned,
 * else its tag. */
const char *manifestReference(const REGISTRY_CTX *ctx);

/* ---- Manifests (ozcMgrManifest.cpp) ---------------------------------- */
bool mediaTypeIs(const char *type, const char *wanted);
bool isManifestList(const char *type);
bool isSchema1(const char *type);
/* Classifies an image manifest's media type into ctx's manifest type. */
int ozcMgrManifestTypeSet(REGISTRY_CTX *ctx, const char *mediaType);
/* Hex part of a digest ("algorithm:hex"), or null without ':'. */
const char *ozcMgrHashGetFromDigest(const char *digest);
/* True for the layer media types the runtime can unpack. */
bool layerMediaTypeSupported(const char *type);

/* A blob a manifest names. */
struct Descriptor {
    std::string digest;
    long long size = 0;
    std::string mediaType;
};
/* Config and layers of a parsed image manifest, checked: digests of the
 * sha256 form, sizes, layer media types the runtime can unpack. -1 with
 * errno and the error line otherwise. */
int manifestBlobsGet(const cJSON *manifest, Descriptor *config, std::vector<Descriptor> *layers);
/* The manifest restated in OCI media types, as the text stored in the
 * layout; empty when out of memory. */
std::string dockerManifestToOci(const cJSON *manifest);

/* ---- Layout store (ozcMgrLayout.cpp) --------------------------------- */
/* The layout's lock, taken for the pull's life; released by the owner. */
class LayoutLock {
public:
    LayoutLock() = default;
    ~LayoutLock();
    LayoutLock(const LayoutLock &) = delete;
    LayoutLock &operator=(const LayoutLock &) = delete;
    /* Waits for the lock of the context's layout. 0 / -1 (errno). */
    int take(const REGISTRY_CTX *ctx);

private:
    int id_ = -1;
};

/* The blobs of a layout whose digest this library has checked, with the
 * identity their file had then (device, inode, size, change time): a blob
 * whose file has not changed since is trusted without hashing it again;
 * any write to it, or a new file in its place, has it hashed again. Kept
 * beside the layout (".<name>.verified") and shared by a pull's tasks. */
class VerifiedBlobs {
public:
    VerifiedBlobs();
    ~VerifiedBlobs();
    VerifiedBlobs(const VerifiedBlobs &) = delete;
    VerifiedBlobs &operator=(const VerifiedBlobs &) = delete;
    /* Reads the layout's record; a missing or broken one is empty. */
    void load(const REGISTRY_CTX *ctx);
    /* True when the blob's file is the one that was verified. */
    bool unchanged(const std::string &hex, const struct stat &st);
    /* Records the file of a blob just verified. */
    void add(const std::string &hex, const struct stat &st);
    /* Writes the record when it changed, without blobs that are gone. */
    void save(const REGISTRY_CTX *ctx);

private:
    void *mutex_;                              /* SEM_ID */
    std::vector<std::pair<std::string, std::string>> stamps_;
    bool changed_ = false;
};

/* A blob file being written: streamed into a temporary file of the blob
 * directory and hashed on the way; committed under its digest only when the
 * bytes match size and digest (and then recorded in `known` when given).
 * Removed when not committed. */
class BlobWriter {
public:
    BlobWriter(const REGISTRY_CTX *ctx, const std::string &digest, long long size,
               const std::atomic<bool> *stop, VerifiedBlobs *known);
    ~BlobWriter();
    BlobWriter(const BlobWriter &) = delete;
    BlobWriter &operator=(const BlobWriter &) = delete;
    /* Opens the temporary file. 0 / -1 (errno set). */
    int open();
    /* The transfer layer's body sink (arg: the writer). */
    static size_t sink(const char *data, size_t len, void *arg);
    /* Writes all of a text, as a sink would. */
    bool write(const char *data, size_t len);
    /* Checks length and digest, flushes and renames the file into place.
     * 0, or -1 with 0xE00005 and the error line. */
    int commit();
    long long received() const { return received_; }
    /* The system's errno of a failed write of the file, or 0. */
    int writeErrno() const { return writeErrno_; }
    /* Path of the committed blob. */
    const std::string &path() const { return final_; }

private:
    std::string digest_, temp_, final_;
    long long size_;
    const std::atomic<bool> *stop_;
    VerifiedBlobs *known_;
    int fd_ = -1;
    void *sha_ = nullptr;
    long long received_ = 0;
    int writeErrno_ = 0;
    bool committed_ = false;
};

/* Full path of the blob of a digest into out. */
bool blobPathGet(const REGISTRY_CTX *ctx, const std::string &digest, char *out, size_t size);
/* True when the blob is in the store with that size (-1: any) and its bytes
 * are the digest's: unchanged since they were verified, or (mayHash) hashed
 * now and then recorded. */
bool blobPresent(const REGISTRY_CTX *ctx, const std::string &digest, long long size,
                 VerifiedBlobs &known, bool mayHash = true);
/* Removes what killed pulls left (temporary blob and JSON files). */
void layoutLeftoversClean(const REGISTRY_CTX *ctx);
/* True when the layout has an index. */
bool layoutHasIndex(const REGISTRY_CTX *ctx);
/* The image's name without tag as the layout records it, from the parts
 * ozcImageRegistryInfoGet gives: "<registry>/<repository>/<image>", or
 * "<registry>/<image>" when the repository is empty. */
std::string imageFullName(const REGISTRY_CTX *ctx);
/* The ref name of the pull: its tag, or the digest of a pull by digest. */
std::string imageRefName(const REGISTRY_CTX *ctx);
/* Fails (0xE0000E, a message naming both) when the layout holds another
 * repository's image under the same name. */
int layoutNameCheck(const REGISTRY_CTX *ctx);
/* Writes "oci-layout" unless it is there as it should be. 0 / -1. */
int ozcMgrOCILayeroutFileCreate(const REGISTRY_CTX *ctx);
/* Puts the manifest into "index.json" under the pull's ref name and the
 * image's full name, replacing that ref name's entry where it stands; the
 * file is replaced atomically (and not rewritten when nothing changes).
 * 0 / -1. */
int ozcMgrOCIIndexFileCreate(const REGISTRY_CTX *ctx, const std::string &manifestDigest,
                             long long manifestSize);

} /* namespace ozcmgr */

#endif /* OZC_MGR_INT_H */
