/*
 * ozcOwners.h - owners of heap memory and cJSON trees for the runtime
 * library's units: what they hold is released on every return path.
 */
#ifndef OZC_OWNERS_H
#define OZC_OWNERS_H

#include <cstdlib>
#include <memory>

#include <cjson/cJSON.h>

namespace ozc {

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
struct JsonDeleter {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
/* A malloc'd block or text. */
template <typename T = char>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
/* A cJSON tree. */
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

} // namespace ozc

#endif /* OZC_OWNERS_H */
