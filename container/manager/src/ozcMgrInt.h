/* ozcMgrInt.h - what the units of libozcMgr share inside the library: the
 * C functions and tables the library does not export (transfer bounds,
 * reason phrases, error table and output, ECR exchange and signing, the
 * pull command), error and field helpers, the OS-wide number settings, the clone of a
 * context for a parallel transfer, registry requests with their retry and
 * re-authentication, the manifest rules, the layout store and the limits
 * of a pull. Nothing here is exported.
 */
#ifndef OZC_MGR_INT_H
#define OZC_MGR_INT_H

#include <atomic>
#include <cstddef>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <string_view>
#include <vector>

#include <cjson/cJSON.h>

#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrCurlLib.h"
#include "ozcMgrLib.h"
#include "ozcMgrUtil.h"

/* ---- C functions internal to the library ------------------------------
 * Not exported (libozcMgr.map); the units and the tests call them. */
#ifdef __cplusplus
extern "C" {
#endif

/* Transfer layer (ozcMgrCurlLib.cpp) */
/* For the next request only: a body longer than `limit` bytes ends the
 * transfer (-1, curl_errno CURLE_WRITE_ERROR) and sets body_cut. */
int curlCtxBodyLimitSet(CURL_CTX *ctx, long long limit);
/* For the next GET only: the body goes to sink(arg) instead of the output
 * file or the response text. */
int curlCtxBodySinkSet(CURL_CTX *ctx, HTTP_BODY_SINK sink, void *arg);
int curlCtxBodyCutGet(const CURL_CTX *ctx);
extern const TransferProtocolHandlerSt transferProtocolHandlerMap[3];

/* Reason phrases (ozcMgrHttpLib.cpp) */
/* One reason phrase of the table. */
typedef struct ResponseCodeSt {
    long code_id;
    const char *code_string;
} ResponseCodeSt, RESPONSE_CODE;

#define HTTP_RESPONSE_CODE_COUNT 61
extern const ResponseCodeSt response_code_table[HTTP_RESPONSE_CODE_COUNT];

/* Error texts and output (ozcMgrUtil.cpp) */
/* One row of the error table. */
typedef struct ozcMgrUtilError {
    int errCode;
    const char *errMsg;
} ozcMgrUtilError, OZC_MGR_UTIL_ERROR;

#define OZC_MGR_UTIL_ERROR_COUNT 17
extern const ozcMgrUtilError ozcMgrUtilErrorTable[OZC_MGR_UTIL_ERROR_COUNT];

/* Output helpers of the library's units: print only under the verbosity
 * flag; Out to standard output (progress), Err to standard error. */
void ozcMgrUtilOut(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void ozcMgrUtilErr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Registry context and pull (ozcMgrLib.cpp, ozcMgrPull.cpp) */
/* Registry id and region of an ECR host "<id>.dkr.ecr.<region>.<domain>". */
int ozcMgrAwsEcrRegistryParse(const char *registry, char *registry_id, size_t id_size, char *region,
                              size_t region_size);
/* Endpoints of the registry's API root and of an image's tag list. */
int ozcMgrEndpointBaseUrlGet(REGISTRY_CTX *ctx, char *buf, size_t size);
int ozcMgrEndpointTagsUrlGet(REGISTRY_CTX *ctx, char *buf, size_t size);
/* The pull command of the function table. */
int ozcImagePullCmd(const char *image_ref, const char *user, const char *password, int insecure, int verbose,
                    IMAGE_INFO *image_info);
/* A digest usable as a blob name: "sha256:" and exactly 64 lower-case hex
 * digits. 1 / 0. */
int ozcMgrDigestIsValid(const char *digest);

/* Lower-case hex SHA-256 of a file into hash (hash_size >= 65). 0 / -1. */
int ozcMgrFileSha256HexGet(const char *file_name, char *hash, size_t hash_size);
/* 0 when the file's SHA-256 matches the digest, -1 otherwise. */
int ozcMgrFileDigestVerify(const char *file_name, const char *digest);

/* Amazon ECR exchange and signing (ozcMgrAwsEcrLib.cpp) */
/* The signed GetAuthorizationToken call; 0 with `token` filled, or -1 with
 * errno 0xE00001 (transport), 0xE00002 (status not 200), 0xE00003 (token
 * reply unusable) or 0xE00008 (bad endpoint). */
int ozcMgrAwsEcrAuthTokenGet(AWS_ECR_CLIENT *client);

/* Password from a GetAuthorizationToken reply body: 0 with the text after
 * "AWS:" of the decoded token copied into out, or -1. */
int ozcMgrAwsEcrTokenFromJson(const char *user_token, char *out, size_t out_size);

/* ECR API host of a region into host (at least 256 bytes is plenty):
 * "api.ecr.<region>.amazonaws.com", ".amazonaws.com.cn" for "cn-" regions.
 * 0 / -1 (null argument, empty region or no room). */
int ozcMgrAwsEcrApiHostGet(const char *region, char *host, size_t host_size);

/* Endpoint URL ("https://<host>/", 256 bytes suffice) and the host the
 * request goes to (also the signed host header) for a region, honouring
 * OZC_AWS_ECR_ENDPOINT. 0 / -1 (errno 0xE00008 for a malformed override). */
int ozcMgrAwsEcrEndpointGet(const char *region, char *endpoint, size_t endpoint_size, char *host, size_t host_size);

/* Steps of the signed call up to its headers: for the UTC time `utc` and the
 * host the request goes to, writes the request time ("%Y%m%dT%H%M%SZ",
 * at least 17 bytes) and the Authorization value (at least 1024 bytes is
 * plenty) of the GetAuthorizationToken request. 0 / -1. */
int ozcMgrAwsEcrRequestSign(const AWS_ECR_CLIENT *client, const char *host, const struct tm *utc, char *request_time,
                            size_t request_time_size, char *authorization, size_t authorization_size);

/* Clock of the request time; null restores time(). Test seam. */
typedef time_t (*AWS_ECR_CLOCK_FUNC)(time_t *);
void ozcMgrAwsEcrClockSet(AWS_ECR_CLOCK_FUNC clock_func);

/* Release of a deleted client's record, called after the record has been
 * wiped; null restores free(). Test seam (lets a test see the wiped record). */
typedef void (*AWS_ECR_RELEASE_FUNC)(void *record, size_t size);
void ozcMgrAwsEcrReleaseSet(AWS_ECR_RELEASE_FUNC release_func);

/* ---- Signature Version 4 building blocks ------------------------------ */

/* Lower-case hex SHA-256 of data into out (out_size >= 65). 0 / -1. */
int sha256HexGet(const void *data, size_t len, char *out, size_t out_size);
/* HMAC-SHA256 of data under key into out (32 bytes); *out_len gets the
 * length written. 0 / -1. */
int hmacSha256Get(const void *key, size_t key_len, const void *data, size_t len, unsigned char *out,
                  unsigned int *out_len);
/* "%02x" of every byte into out (out_size >= 2 * count + 1). 0 / -1. */
int bin2hex(const unsigned char *bytes, size_t count, char *out, size_t out_size);
/* Signing key: HMAC chain "AWS4"+secret -> date -> region -> service ->
 * "aws4_request" into out (32 bytes); *out_len gets 32. 0 / -1. */
int signingKeyDerive(const char *secret, const char *date_stamp, const char *region, const char *service,
                     unsigned char *out, unsigned int *out_len);

/* Canonical request "method\npath\nquery\nheaders\nsigned\npayload_hash"
 * (canonical_headers end in '\n'). 0 / -1 when it does not fit. */
int ozcMgrAwsEcrCanonicalRequestBuild(const char *method, const char *path, const char *query,
                                      const char *canonical_headers, const char *signed_headers,
                                      const char *payload_hash, char *out, size_t out_size);
/* String to sign "AWS4-HMAC-SHA256\ntime\nscope\nhex(sha256(canonical))". */
int ozcMgrAwsEcrStringToSignBuild(const char *request_time, const char *scope, const char *canonical_request, char *out,
                                  size_t out_size);
/* 64 lower-case hex digits of HMAC-SHA256(signing key, string to sign). */
int ozcMgrAwsEcrSignatureGet(const unsigned char *signing_key, size_t key_len, const char *string_to_sign, char *out,
                             size_t out_size);

#ifdef __cplusplus
}
#endif

/* Hidden: the library exports its C interface only. */
namespace [[gnu::visibility("hidden")]] ozcmgr {

/* Manifests, manifest lists and indexes larger than this are refused. */
constexpr long long kManifestMax = 4LL * 1024 * 1024;
constexpr size_t kMediaTypeSize = 256;
constexpr size_t kPathSize = REGISTRY_CTX_PATH_SIZE;
constexpr size_t kHexSize = 65;
constexpr char kBlobsDir[] = "blobs/sha256";

/* The library's one way to fail: errno set to err (one of its codes, or
 * 12), then -1 (failWith) or null (failNull). */
int failWith(int err);
std::nullptr_t failNull(int err);
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
    long long limit = -1;  /* longest body, or -1 */
    const char *what = ""; /* names the request in the error line */
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
    void *mutex_; /* SEM_ID */
    std::vector<std::pair<std::string, std::string>> stamps_;
    bool changed_ = false;
};

/* A blob file being written: streamed into a temporary file of the blob
 * directory and hashed on the way; committed under its digest only when the
 * bytes match size and digest (and then recorded in `known` when given).
 * Removed when not committed. */
class BlobWriter {
public:
    BlobWriter(const REGISTRY_CTX *ctx, const std::string &digest, long long size, const std::atomic<bool> *stop,
               VerifiedBlobs *known);
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
bool blobPresent(const REGISTRY_CTX *ctx, const std::string &digest, long long size, VerifiedBlobs &known,
                 bool mayHash = true);
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
int ozcMgrOCIIndexFileCreate(const REGISTRY_CTX *ctx, const std::string &manifestDigest, long long manifestSize);

} /* namespace ozcmgr */

#endif /* OZC_MGR_INT_H */
