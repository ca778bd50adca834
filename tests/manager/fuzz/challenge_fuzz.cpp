/* libFuzzer harness: authentication challenge parsing. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ozcMgr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    char method[32], realm[2048], service[32];
    if (httpHeaderAuthGet(text.c_str(), method, sizeof(method), realm, sizeof(realm), service, sizeof(service)) == 0) {
        if (strnlen(method, sizeof(method)) == sizeof(method) || strnlen(realm, sizeof(realm)) == sizeof(realm) ||
            strnlen(service, sizeof(service)) == sizeof(service))
            abort();
        if (strchr(realm, '"') != nullptr || strchr(service, '"') != nullptr)
            abort();
    }
    return 0;
}
