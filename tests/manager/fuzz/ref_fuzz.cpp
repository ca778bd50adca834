/* libFuzzer harness: image reference parsing of the registry context. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ozcMgr.h"
#include "ozcMgrInt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static REGISTRY_CTX *ctx = ozcRegistryCtxCreate();
    std::string ref(reinterpret_cast<const char *>(data), size);
    REGISTRY_CTX before = *ctx;
    if (ozcRegistryCtxImageSet(ctx, ref.c_str()) == 0) {
        /* Every field stays a terminated text within its size; the image
         * names one directory of its own. */
        if (strnlen(ctx->registry, sizeof(ctx->registry)) == sizeof(ctx->registry) ||
            strnlen(ctx->repository, sizeof(ctx->repository)) == sizeof(ctx->repository) ||
            strnlen(ctx->image, sizeof(ctx->image)) == sizeof(ctx->image) ||
            strnlen(ctx->tag, sizeof(ctx->tag)) == sizeof(ctx->tag) ||
            strnlen(ctx->digest, sizeof(ctx->digest)) == sizeof(ctx->digest))
            abort();
        /* A pinned digest is one the pull can verify and name a file by. */
        if (ctx->digest[0] != '\0' && !ozcMgrDigestIsValid(ctx->digest))
            abort();
        if (strchr(ctx->image, '/') != nullptr || strcmp(ctx->image, "..") == 0 || strcmp(ctx->image, ".") == 0 ||
            ctx->image[0] == '\0')
            abort();
        char url[OZC_MGR_URL_SIZE];
        if (ozcMgrEndpointManifestUrlGet(ctx, ctx->digest[0] ? ctx->digest : ctx->tag, url, sizeof(url)) != 0)
            abort();
    }
    *ctx = before;
    return 0;
}
