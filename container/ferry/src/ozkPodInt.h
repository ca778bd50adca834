/*
 * ozkPodInt.h - owners and small helpers shared by the pod units of the node
 * agent (pod manager, pod monitor, pod workers, container integration).
 * Private to libferry.
 */
#ifndef OZK_POD_INT_H
#define OZK_POD_INT_H

#include <cstring>

#include "kubeModels.h"
#include "ozkList.h"
#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozkText.h"

namespace ozk {

using CStr = oz::MallocPtr<char>;
using Json = oz::JsonPtr;
using JsonText = oz::JsonText;
using Pod = oz::Owner<v1_pod_t, v1_pod_free>;
using PodList = oz::Owner<v1_pod_list_t, v1_pod_list_free>;
using PodSpec = oz::Owner<v1_pod_spec_t, v1_pod_spec_free>;
using PodStatus = oz::Owner<v1_pod_status_t, v1_pod_status_free>;
using Secret = oz::Owner<v1_secret_t, v1_secret_free>;
using ObjectMeta = oz::Owner<v1_object_meta_t, v1_object_meta_free>;
using Preconditions = oz::Owner<v1_preconditions_t, v1_preconditions_free>;
using DeleteOptions = oz::Owner<v1_delete_options_t, v1_delete_options_free>;
using Body = oz::Owner<object_t, object_free>;

/* A heap copy of a text (null for null or when out of memory). */
inline CStr strDup(const char *text)
{
    return CStr(text != nullptr ? strdup(text) : nullptr);
}

/* The container cache key "<pod uid>:<container name>". */
inline bool containerKeyGet(char *key, size_t size, const char *podUid, const char *containerName)
{
    return formatInto(key, size, "%s:%s", podUid, containerName);
}

/* The first entry of a cache list that `match` accepts, or null. */
template <typename Entry, typename Match>
Entry *listFind(const SL_LIST *list, Match match)
{
    for (SL_NODE *node = sllFirst(list); node != nullptr; node = sllNext(node)) {
        auto *entry = reinterpret_cast<Entry *>(node);
        if (match(*entry)) {
            return entry;
        }
    }
    return nullptr;
}

/* Unlinks the first entry that `match` accepts and hands it back (null when
 * none does). */
template <typename Entry, typename Match>
Entry *listUnlink(SL_LIST *list, Match match)
{
    SL_NODE *prev = nullptr;
    for (SL_NODE *node = sllFirst(list); node != nullptr; prev = node, node = sllNext(node)) {
        if (match(*reinterpret_cast<Entry *>(node))) {
            sllRemove(list, node, prev);
            return reinterpret_cast<Entry *>(node);
        }
    }
    return nullptr;
}

/* Strict standard base64 into a new NUL-terminated text (null when the
 * input is not base64); *length (may be null) gets the decoded size. */
CStr base64Decode(const char *in, size_t *length);

/* The uid of a pod, or null. */
inline const char *podUidOf(const v1_pod_t *pod)
{
    return pod != nullptr && pod->metadata != nullptr ? pod->metadata->uid : nullptr;
}

} // namespace ozk

#endif /* OZK_POD_INT_H */
