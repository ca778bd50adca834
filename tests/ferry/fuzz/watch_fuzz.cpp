/*
 * watch_fuzz.cpp - libFuzzer harness of the pod watch stream parser: any
 * bytes as the received body of a watch; the parser must return a list,
 * release the body and leak nothing.
 *
 * Build and run: tests/ferry/fuzz/run_fuzz.sh [seconds]
 */
#include "ozkClient.h"
#include "ozkLog.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ozkVerboseLevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    apiClient_t *api = apiClient_create_with_base_path("https://127.0.0.1:1", nullptr, nullptr);
    if (api == nullptr) {
        return 0;
    }
    /* the client library keeps a terminator after the body */
    char *body = static_cast<char *>(malloc(size + 1));
    memcpy(body, data, size);
    body[size] = '\0';
    api->dataReceived = body;
    api->dataReceivedLen = static_cast<long>(size);
    SL_LIST *list = ozkParsePodWatchRspFromWatchReq(api);
    if (list == nullptr || api->dataReceived != nullptr || api->dataReceivedLen != 0) {
        abort();
    }
    for (SL_NODE *node = sllFirst(list); node != nullptr; node = sllNext(node)) {
        const POD_WATCH_INFO &info = reinterpret_cast<CACHE_WATCH_INFO_ENTRY *>(node)->watchInfoItem;
        if (strnlen(info.eventType, sizeof(info.eventType)) == sizeof(info.eventType)) {
            abort(); /* the type must be terminated inside its field */
        }
    }
    ozkPodWatchListFree(list);
    apiClient_free(api);
    return 0;
}
