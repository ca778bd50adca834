/* libFuzzer harness: response header value lookup. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ozcMgr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    static const char *const fields[] = {"content-type", "docker-content-digest", "x", "location"};
    for (const char *field : fields) {
        char out[64];
        memset(out, 0x55, sizeof(out));
        if (httpHeaderValGet(text.c_str(), field, out, sizeof(out)) == 0) {
            size_t len = strnlen(out, sizeof(out));
            if (len == sizeof(out) || text.find(out) == std::string::npos)
                abort();
        }
    }
    return 0;
}
