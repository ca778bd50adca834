/* ozcMgrLib.h - registry contexts, registry authentication and image pull of
 * the image manager library.
 *
 * A registry context names one image in one registry: the parsed reference,
 * the scheme, the local layout directory, its transfer context (credentials,
 * TLS policy) and the Accept line of manifest requests. A context serves one
 * pull, manifest query or tag query at a time; ozcRegistryCtxDelete() wipes
 * credentials and tokens.
 *
 * A pull writes an OCI image layout under the OS-wide variable
 * OZC_IMAGE_PATH (default "/ram0/ozc/images"), one directory per image name
 * (the last element of the repository), with every blob verified against
 * its SHA-256 digest. Tags of one image live side by side: each entry of the
 * layout's index.json carries "org.opencontainers.image.ref.name" (the tag
 * as pulled, "latest" when none, the digest text for a pull by digest) and
 * "org.orrery.image.name" (the image without tag, from the parts
 * ozcImageRegistryInfoGet gives: "<registry>/<repository>/<image>"); a pull of another repository into a layout of the same name
 * fails with 0xE0000E. A pull locks its layout (the file ".<name>.lock"
 * beside it) against other pulls in any process, writes blobs through
 * temporary files and replaces index.json last; a failed pull leaves the
 * image that was there as it was, and a failed first pull leaves no
 * directory behind. OZC_PULL_PARALLEL (1-16, default 3) blobs are
 * downloaded at once; blobs already in the layout are not downloaded again.
 */
#ifndef OZC_MGR_LIB_H
#define OZC_MGR_LIB_H

#include <stddef.h>
#include "ozcMgrCurlLib.h"
#include "ozcMgrHttpLib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REGISTRY_CTX_REGISTRY_SIZE   256
#define REGISTRY_CTX_REPOSITORY_SIZE 256
#define REGISTRY_CTX_IMAGE_SIZE      128
#define REGISTRY_CTX_TAG_SIZE        128
#define REGISTRY_CTX_PATH_SIZE       1024
#define REGISTRY_CTX_PROTOCOL_SIZE   16
#define REGISTRY_CTX_DIGEST_SIZE     72
#define OZC_MGR_URL_SIZE             2048

#define OZC_DEFAULT_REGISTRY_ENV "OZC_DEFAULT_REGISTRY"
#define OZC_IMAGE_PATH_ENV       "OZC_IMAGE_PATH"
#define OZC_IMAGE_PATH_DEFAULT   "/ram0/ozc/images"

/* Media types of manifests. */
#define MEDIA_TYPE_DOCKER_MANIFEST_LIST        "application/vnd.docker.distribution.manifest.list.v2+json"
#define MEDIA_TYPE_OCI_IMAGE_INDEX             "application/vnd.oci.image.index.v1+json"
#define MEDIA_TYPE_DOCKER_MANIFEST_V2S2        "application/vnd.docker.distribution.manifest.v2+json"
#define MEDIA_TYPE_OCI_IMAGE_MANIFEST          "application/vnd.oci.image.manifest.v1+json"
#define MEDIA_TYPE_DOCKER_MANIFEST_V2S1        "application/vnd.docker.distribution.manifest.v1+json"
#define MEDIA_TYPE_DOCKER_MANIFEST_V2S1_SIGNED "application/vnd.docker.distribution.manifest.v1+prettyjws"

typedef enum {
    MANIFEST_TYPE_UNKNOWN = 0,
    DOCKER_MANIFEST_V2S1 = 1,
    DOCKER_MANIFEST_SIGNED_V2S1 = 2,
    DOCKER_MANIFEST_V2S2 = 3,
    OCI_IMAGE_MANIFEST_V1 = 4
} MANIFEST_TYPE;

typedef struct ImageConfigSt {
    MANIFEST_TYPE manifest_type;
} ImageConfigSt, IMAGE_CONFIG;

typedef struct RegistryCtxSt {
    char registry[REGISTRY_CTX_REGISTRY_SIZE];
    char repository[REGISTRY_CTX_REPOSITORY_SIZE];
    char image[REGISTRY_CTX_IMAGE_SIZE];
    char tag[REGISTRY_CTX_TAG_SIZE];
    char image_local_path[REGISTRY_CTX_PATH_SIZE];
    char transfer_protocol[REGISTRY_CTX_PROTOCOL_SIZE];
    CURL_CTX *curl_ctx;
    HTTP_HEADER *extra_http_header;
    IMAGE_CONFIG image_config;
    /* The manifest digest a reference pins ("sha256:<hex>"), or empty: for
     * name@digest the tag holds the digest too, for name:tag@digest the
     * tag keeps the tag, which the layout records. */
    char digest[REGISTRY_CTX_DIGEST_SIZE];
} RegistryCtxSt, REGISTRY_CTX;

/* Filled for the caller after a successful pull. */
typedef struct ImageInfoSt {
    char image_name[128];
    char image_tag[128];
    char image_path[1024];
} ImageInfoSt, IMAGE_INFO;

/* Function table for other components. */
typedef int (*ozcImagePullFun)(const char *image_ref, const char *user, const char *password, int insecure, int verbose,
                               IMAGE_INFO *image_info);
typedef struct ozcMgrLibFuncsSt {
    ozcImagePullFun imagePull;
} ozcMgrLibFuncsSt, OZC_MGR_LIB_FUNCS;

/* Set by the library's static initialiser when the library is loaded. */
extern OZC_MGR_LIB_FUNCS *ozcMgrLibFuncs;

/* ---- Registry context ---------------------------------------------------- */
REGISTRY_CTX *ozcRegistryCtxCreate(void);
void ozcRegistryCtxDelete(REGISTRY_CTX *ctx);
int ozcRegistryCtxUserNameSet(REGISTRY_CTX *ctx, const char *user_name);
int ozcRegistryCtxUserPwdSet(REGISTRY_CTX *ctx, const char *password);
int ozcRegistryCtxSecureSet(REGISTRY_CTX *ctx, int secure);
int ozcRegistryCtxVerboseSet(REGISTRY_CTX *ctx, int verbose);
/* Parses [host[:port]/]path/name[:tag][@sha256:<hex>]. */
int ozcRegistryCtxImageSet(REGISTRY_CTX *ctx, const char *image_ref);
int ozcImageRegistryInfoGet(REGISTRY_CTX *ctx, char *registry, size_t registry_size, char *repository,
                            size_t repository_size, char *image, size_t image_size, char *tag, size_t tag_size);
/* libcurl and HTTP status texts of the last transfer. */
int ozcRegistryCtxErrorStrGet(REGISTRY_CTX *ctx, char *buf, size_t size);

/* Authenticates against the registry (anonymous, basic, bearer token, ECR). */
int ozcMgrRegistryAuthenticate(REGISTRY_CTX *ctx);

/* Endpoints of a manifest and of a blob, formatted from transfer_protocol,
 * registry and repository. */
int ozcMgrEndpointManifestUrlGet(REGISTRY_CTX *ctx, const char *reference, char *buf, size_t size);
int ozcMgrEndpointBlobUrlGet(REGISTRY_CTX *ctx, const char *digest, char *buf, size_t size);

/* ---- Image pull and queries -------------------------------------------- */
int ozcImagePull(REGISTRY_CTX *ctx, IMAGE_INFO *image_info);
int ozcImagePullInternal(REGISTRY_CTX *ctx);
int ozcMgrImageLocalPathInit(REGISTRY_CTX *ctx, const char *sub_dir);
int ozcManifestListGet(REGISTRY_CTX *ctx, char *buf, size_t size);
int ozcImageTagsGet(REGISTRY_CTX *ctx, char *buf, size_t size);

/* Selected orrery/amd64 entry of a parsed manifest list or index, or null.
 * (cJSON is the library's JSON representation.) */
struct cJSON;
struct cJSON *ozcMgrManifestExtract(struct cJSON *manifest_list);

/* Forces the library to be linked; does nothing. */
void ozcMgrEnable(void);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_LIB_H */
