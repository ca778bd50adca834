/*
 * ozkPodMonitor.cpp - the task "podMonitor": lists the pods bound to this
 * node once, then watches them in short cycles, merges every change into the
 * pod cache, turns the kind of change into a pod event for the pod manager,
 * relists when the watch's version has expired, and every third cycle syncs
 * the status of the cached pods while no pod event is being handled.
 */
#define OZK_LOG_UNIT "ozkPodMonitor"
#include "ozkClient.h"
#include "ozkContainer.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkPodMonitor.h"
#include "ozkPodInt.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

using ozk::CStr;
using ozk::Json;
using ozk::JsonText;
using ozk::Pod;
using ozk::PodList;
using ozk::podUidOf;

namespace {

struct EventName {
    uint32_t type;
    const char *name;
};
constexpr EventName kEventNames[] = {
    {POD_UNKNOWN, "UNKNOWN"},   {POD_INIT, "INIT"},       {POD_ADDED, "ADDED"}, {POD_MODIFIED, "MODIFIED"},
    {POD_DELETE, "DELETE"},     {POD_DELETED, "DELETED"}, {POD_ERROR, "ERROR"}, {POD_UPDATE, "UPDATE"},
    {POD_BOOKMARK, "BOOKMARK"}, {POD_RESTART, "RESTART"},
};
/* The watch type texts the reverse mapping knows ("UPDATE" is not one). */
constexpr EventName kWatchTypes[] = {
    {POD_ADDED, "ADDED"}, {POD_MODIFIED, "MODIFIED"}, {POD_DELETE, "DELETE"}, {POD_DELETED, "DELETED"},
    {POD_ERROR, "ERROR"}, {POD_BOOKMARK, "BOOKMARK"}, {POD_INIT, "INIT"},
};

/* Copies a resource version into the control block; one that does not fit
 * leaves it empty, and the next watch goes without one. */
void resourceVersionKeep(OZK_POD_MANAGER_CTRL *ctrl, const char *version)
{
    if (version != nullptr && !ozk::fieldCopy(ctrl->resourceVersion, version)) {
        OZK_WARN("resource version %s is too long to keep; the next watch starts without one", version);
    }
}

STATUS eventSend(OZK_POD_MANAGER_CTRL *ctrl, const char *podUid, uint32_t eventType)
{
    POD_EVENT event{};
    if (!ozk::fieldCopy(event.podUID, podUid)) {
        OZK_ERR("pod uid %s is too long for an event!", podUid != nullptr ? podUid : "(null)");
        return ERROR;
    }
    event.eventType = eventType;
    return msgQSend(ctrl->podEventMqId, reinterpret_cast<const char *>(&event), sizeof(event), WAIT_FOREVER,
                    MSG_PRI_NORMAL);
}

/* The watch's own time-out follows the platform clock like every other
 * wait of the monitor. */
uint32_t watchSecondsGet(uint32_t seconds)
{
    uint32_t speedup = ozClockSpeedupGet();
    uint32_t scaled = speedup > 1 ? seconds / speedup : seconds;
    return scaled > 0 ? scaled : 1;
}

/* TRUE once the node agent stops (its requests are then refused or
 * aborted) or this task is being deleted: a step that failed then failed
 * because of it, and says nothing. */
bool podMonitorStopping(const OZK_POD_MANAGER_CTRL *ctrl)
{
    return ozkClientStopped(ctrl->clientCtrl) || taskDeletePending();
}

/* The node's pods; the list's version becomes the one to watch from. */
PodList podListGet(OZK_POD_MANAGER_CTRL *ctrl, const char *fieldSelect)
{
    PodList list(ozkClientPodsList(ctrl->clientCtrl, fieldSelect));
    if (!list) {
        if (!podMonitorStopping(ctrl))
            OZK_ERR("list podlist fail!");
    } else if (list->metadata != nullptr) {
        resourceVersionKeep(ctrl, list->metadata->resource_version);
    }
    return list;
}

/* The end of the monitor after a failure: quietly while the node agent
 * stops (the pod manager destroy waits for this task), else the end of the
 * process. */
int podMonitorExit(const OZK_POD_MANAGER_CTRL *ctrl)
{
    if (podMonitorStopping(ctrl))
        return OK;
    OZK_ERR("pod monitor task exit exception!");
    ozkForceShutDown();
    return ERROR;
}

} // namespace

/* ------------------------------------------------------------------------
 * Names and helpers
 * ------------------------------------------------------------------------ */
extern "C" const char *ozkPodEventTypeStrGet(uint32_t eventType)
{
    for (const EventName &e : kEventNames) {
        if (e.type == eventType) {
            return e.name;
        }
    }
    return "UNKNOWN";
}

extern "C" uint32_t ozkPodEventTypeGet(const char *eventType)
{
    for (const EventName &e : kWatchTypes) {
        if (ozk::textEquals(eventType, e.name)) {
            return e.type;
        }
    }
    return POD_UNKNOWN;
}

extern "C" uint32_t ozkTimeoutSecondsGet(uint32_t seed)
{
    srand(static_cast<unsigned>(time(nullptr)));
    return static_cast<uint32_t>(rand()) % seed + seed;
}

extern "C" v1_pod_t *ozkPodDeepCopy(v1_pod_t *podItem)
{
    Json json(v1_pod_convertToJSON(podItem));
    if (!json) {
        OZK_ERR("convert pod to json fail!");
        return nullptr;
    }
    v1_pod_t *copy = v1_pod_parseFromJSON(json.get());
    if (copy == nullptr) {
        OZK_ERR("parse pod from json fail!");
    }
    return copy;
}

/* ------------------------------------------------------------------------
 * Initial list
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodListItemCache(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_list_t *podList)
{
    listEntry_t *item = nullptr;
    list_ForEach(item, podList->items)
    {
        Pod copy(ozkPodDeepCopy(static_cast<v1_pod_t *>(item->data)));
        if (!copy) {
            return ERROR;
        }
        oz::MallocPtr<CACHE_POD_ENTRY> entry(static_cast<CACHE_POD_ENTRY *>(calloc(1, sizeof(CACHE_POD_ENTRY))));
        if (!entry) {
            OZK_ERR("create cache entry for pod fail!");
            return ERROR;
        }
        if (semTake(podManagerCtrl->semCached, WAIT_FOREVER) != OK) {
            OZK_ERR("semtake for cached pod list fail!");
            return ERROR;
        }
        entry->podItem = copy.release();
        sllPutAtTail(&podManagerCtrl->cachedPodList, &entry.release()->cacheNode);
        if (semGive(podManagerCtrl->semCached) != OK) {
            OZK_ERR("semGive cached pod list fail!");
            return ERROR;
        }
    }
    return OK;
}

extern "C" STATUS ozkDispatchPodListEvent(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_list_t *podList,
                                          const char *eventType)
{
    uint32_t type = ozkPodEventTypeGet(eventType);
    if (type == POD_UNKNOWN) {
        OZK_ERR("get invalid event type!");
        return ERROR;
    }
    STATUS result = OK;
    listEntry_t *item = nullptr;
    list_ForEach(item, podList->items)
    {
        auto *pod = static_cast<v1_pod_t *>(item->data);
        if (pod == nullptr || pod->metadata == nullptr || pod->metadata->name == nullptr) {
            OZK_ERR("pod metadata without name!");
            continue;
        }
        uint32_t sent = type;
        if (type == POD_INIT) {
            sent = pod->metadata->deletion_timestamp != nullptr ? POD_DELETE : POD_ADDED;
        }
        result = eventSend(podManagerCtrl, pod->metadata->uid, sent);
        if (result != OK) {
            OZK_ERR("listPod send msgQ to pod manager task fail, name:%s", pod->metadata->name);
        }
    }
    return result;
}

extern "C" STATUS ozkPodListHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *fieldSelect)
{
    PodList list = podListGet(podManagerCtrl, fieldSelect);
    if (!list) {
        return ERROR;
    }
    if (list->items != nullptr && list->items->count > 0) {
        if (ozkPodListItemCache(podManagerCtrl, list.get()) != OK ||
            ozkDispatchPodListEvent(podManagerCtrl, list.get(), "INIT") != OK) {
            OZK_ERR("post list handle fail!");
            return ERROR;
        }
    }
    return OK;
}

/* ------------------------------------------------------------------------
 * Merging a pod into the cache
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodSpecUpdate(v1_pod_t *newPod, v1_pod_t *cachedPod, int32_t *specChanged)
{
    if (newPod->spec == nullptr || cachedPod->spec == nullptr) {
        OZK_ERR("invalid pod items!");
        return ERROR;
    }
    Json newJson(v1_pod_spec_convertToJSON(newPod->spec));
    Json cachedJson(v1_pod_spec_convertToJSON(cachedPod->spec));
    if (!newJson || !cachedJson) {
        OZK_ERR("pod spec convert to json fail!");
        return ERROR;
    }
    JsonText newText(cJSON_PrintUnformatted(newJson.get()));
    JsonText cachedText(cJSON_PrintUnformatted(cachedJson.get()));
    if (newText && cachedText && strcmp(newText.get(), cachedText.get()) != 0) {
        OZK_DEBUG("pod spec changed !");
        *specChanged = 1;
        v1_pod_spec_t *spec = v1_pod_spec_parseFromJSON(newJson.get());
        if (spec == nullptr) {
            OZK_ERR("parse spec update fail!");
            return ERROR;
        }
        v1_pod_spec_free(cachedPod->spec);
        cachedPod->spec = spec;
    }
    return OK;
}

extern "C" STATUS ozkCachedPodUpdate(v1_pod_t *cachedPod, v1_pod_t *newPod, int32_t *deletionCnt)
{
    if (cachedPod->kind == nullptr && newPod->kind != nullptr) {
        cachedPod->kind = strdup(newPod->kind);
        if (cachedPod->kind == nullptr) {
            OZK_ERR("strdup pod kind fail!");
            return ERROR;
        }
    }
    if (cachedPod->metadata == nullptr) {
        OZK_DEBUG("invalid metadata!");
        return ERROR;
    }
    v1_object_meta_t *cached = cachedPod->metadata;
    const v1_object_meta_t *fresh = newPod->metadata;
    if (fresh != nullptr && fresh->deletion_timestamp != nullptr) {
        char *stamp = strdup(fresh->deletion_timestamp);
        if (stamp == nullptr) {
            OZK_ERR("strdup deletion_timestamp fail!");
            return ERROR;
        }
        if (cached->deletion_timestamp != nullptr) {
            *deletionCnt = 1;
        }
        free(cached->deletion_timestamp);
        cached->deletion_timestamp = stamp;
    }
    if (fresh != nullptr && fresh->resource_version != nullptr) {
        char *version = strdup(fresh->resource_version);
        if (version == nullptr) {
            OZK_ERR("strdup pod resource version fail!");
            return ERROR;
        }
        free(cached->resource_version);
        cached->resource_version = version;
    }
    if (newPod->status != nullptr) {
        Json json(v1_pod_status_convertToJSON(newPod->status));
        if (!json) {
            OZK_DEBUG("pod status convert to json fail!");
            return OK;
        }
        v1_pod_status_t *status = v1_pod_status_parseFromJSON(json.get());
        if (status == nullptr) {
            OZK_DEBUG("pod status parse from json fail!");
            return OK;
        }
        v1_pod_status_free(cachedPod->status);
        cachedPod->status = status;
    }
    return OK;
}

/* Merges a copy into the cache; called with semCached held. */
static STATUS ozkCachePodListUpdate(OZK_POD_MANAGER_CTRL *ctrl, Pod &copy, OZK_POD_UPDATE_FLAG *updateFlag)
{
    const char *uid = podUidOf(copy.get());
    auto *found = ozk::listFind<CACHE_POD_ENTRY>(
        &ctrl->cachedPodList, [uid](const CACHE_POD_ENTRY &e) { return ozk::textEquals(podUidOf(e.podItem), uid); });
    if (found != nullptr) {
        OZK_DEBUG("find watch rsp old item!");
    }
    if (found == nullptr) {
        auto *entry = static_cast<CACHE_POD_ENTRY *>(calloc(1, sizeof(CACHE_POD_ENTRY)));
        if (entry == nullptr) {
            OZK_ERR("calloc for cache entry of pod fail!");
            return ERROR;
        }
        entry->podItem = copy.release();
        sllPutAtTail(&ctrl->cachedPodList, &entry->cacheNode);
        updateFlag->specChanged = 2;
        return OK;
    }
    if (ozkPodSpecUpdate(copy.get(), found->podItem, &updateFlag->specChanged) != OK ||
        ozkCachedPodUpdate(found->podItem, copy.get(), &updateFlag->deletionCnt) != OK) {
        OZK_ERR("update cache pod list fail!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkPodWatchPodHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podCopy,
                                       OZK_POD_UPDATE_FLAG *updateFlag)
{
    Pod copy(podCopy);
    if (semTake(podManagerCtrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached pod list fail!");
        return ERROR;
    }
    STATUS result = ozkCachePodListUpdate(podManagerCtrl, copy, updateFlag);
    if (semGive(podManagerCtrl->semCached) != OK) {
        OZK_ERR("semGive cached pod fail!");
        return ERROR;
    }
    return result;
}

/* ------------------------------------------------------------------------
 * Dispatch of watch events
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkDispatchPodWatchEvent(OZK_POD_MANAGER_CTRL *podManagerCtrl, const OZK_POD_UPDATE_FLAG *updateFlag,
                                           v1_pod_t *podItem, const char *eventType)
{
    uint32_t type = ozkPodEventTypeGet(eventType);
    if (type == POD_UNKNOWN) {
        OZK_ERR("get invalid event type!");
        return ERROR;
    }
    if (podUidOf(podItem) == nullptr) {
        return ERROR;
    }
    uint32_t sent = type;
    if (type == POD_MODIFIED) {
        bool deleting = podItem->metadata->deletion_timestamp != nullptr;
        if (!deleting && updateFlag->specChanged == 1) {
            sent = POD_UPDATE;
        } else if (deleting && updateFlag->deletionCnt == 0) {
            sent = POD_DELETE;
        } else {
            OZK_DEBUG("pod spec unchanged. don't need to handle the pod event!!");
            return OK;
        }
    }
    if (eventSend(podManagerCtrl, podItem->metadata->uid, sent) != OK) {
        OZK_ERR("watch podlist send mq to pod manager task fail!");
        return ERROR;
    }
    return OK;
}

/* ------------------------------------------------------------------------
 * Relist after the watch's version expired
 * ------------------------------------------------------------------------ */
/* Cached pods that the new list no longer holds were deleted while the
 * watch was broken: their DELETED event will never come, so it is made
 * here, and their containers go like those of any deleted pod. */
static STATUS ozkCachedPodGoneDispatch(OZK_POD_MANAGER_CTRL *ctrl, v1_pod_list_t *podList)
{
    std::vector<std::pair<std::string, std::string>> gone; /* uid, name */
    if (semTake(ctrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached pod list fail!");
        return ERROR;
    }
    for (SL_NODE *node = sllFirst(&ctrl->cachedPodList); node != nullptr; node = sllNext(node)) {
        const v1_pod_t *cached = reinterpret_cast<CACHE_POD_ENTRY *>(node)->podItem;
        const char *uid = podUidOf(cached);
        if (uid == nullptr) {
            continue;
        }
        bool listed = false;
        listEntry_t *item = nullptr;
        list_ForEach(item, podList->items)
        {
            listed = listed || ozk::textEquals(podUidOf(static_cast<v1_pod_t *>(item->data)), uid);
        }
        if (!listed) {
            const char *name = cached->metadata->name;
            gone.emplace_back(uid, name != nullptr ? name : "(null)");
        }
    }
    if (semGive(ctrl->semCached) != OK) {
        OZK_ERR("semGive cached pod list fail!");
        return ERROR;
    }
    STATUS result = OK;
    for (const auto &pod : gone) {
        OZK_WARN("cached pod %s is no longer listed, handle it as deleted, uid:%s", pod.second.c_str(),
                 pod.first.c_str());
        if (eventSend(ctrl, pod.first.c_str(), POD_DELETED) != OK) {
            OZK_ERR("watch podlist send mq to pod manager task fail!");
            result = ERROR;
        }
    }
    return result;
}

extern "C" STATUS ozkUpdateCachedPodList(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *fieldSelect)
{
    PodList list = podListGet(podManagerCtrl, fieldSelect);
    if (!list) {
        return ERROR;
    }
    STATUS result = OK;
    bool walkFailed = false;
    listEntry_t *item = nullptr;
    list_ForEach(item, list->items)
    {
        auto *pod = static_cast<v1_pod_t *>(item->data);
        v1_pod_t *copy = ozkPodDeepCopy(pod);
        if (copy == nullptr) {
            result = ERROR;
            walkFailed = true;
            break;
        }
        OZK_POD_UPDATE_FLAG flags{};
        if (ozkPodWatchPodHandle(podManagerCtrl, copy, &flags) != OK) {
            OZK_ERR("watch pod fail!");
            result = ERROR;
            walkFailed = true;
            break;
        }
        const char *type = flags.specChanged == 1 ? "MODIFIED" : flags.specChanged == 2 ? "ADDED" : nullptr;
        /* a deletion that began while the watch was broken is seen here
         * first: as MODIFIED it becomes the pod's DELETE */
        if (pod->metadata != nullptr && pod->metadata->deletion_timestamp != nullptr && flags.deletionCnt == 0) {
            type = "MODIFIED";
        }
        if (type == nullptr) {
            OZK_DEBUG("no update for this pod!");
            continue;
        }
        if (ozkDispatchPodWatchEvent(podManagerCtrl, &flags, pod, type) != OK) {
            OZK_ERR("dispatch pod event fail!,podName:%s",
                    pod->metadata != nullptr && pod->metadata->name != nullptr ? pod->metadata->name : "(null)");
            result = ERROR;
        }
    }
    if (walkFailed) {
        OZK_ERR("post list handle fail!");
    } else if (ozkCachedPodGoneDispatch(podManagerCtrl, list.get()) != OK) {
        result = ERROR;
    }
    return result;
}

/* ------------------------------------------------------------------------
 * Watch cycles
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodWatchItemHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, SL_LIST *watchList,
                                        const char *fieldSelect)
{
    STATUS result = OK;
    for (SL_NODE *node = sllFirst(watchList); node != nullptr; node = sllNext(node)) {
        POD_WATCH_INFO &info = reinterpret_cast<CACHE_WATCH_INFO_ENTRY *>(node)->watchInfoItem;
        OZK_POD_UPDATE_FLAG flags{};
        if (info.statusCode == 410) {
            result = ozkUpdateCachedPodList(podManagerCtrl, fieldSelect);
            OZK_WARN("watch rsp with 410 gone!");
            break;
        }
        if (info.pod == nullptr) {
            continue;
        }
        Pod copy(ozkPodDeepCopy(info.pod));
        if (!copy) {
            continue;
        }
        if (copy->metadata != nullptr) {
            resourceVersionKeep(podManagerCtrl, copy->metadata->resource_version);
        }
        if (ozk::textEquals(info.eventType, "BOOKMARK")) {
            continue;
        }
        if (ozkPodWatchPodHandle(podManagerCtrl, copy.release(), &flags) != OK) {
            OZK_ERR("watch pod handle fail!");
            return ERROR;
        }
        if (ozkDispatchPodWatchEvent(podManagerCtrl, &flags, info.pod, info.eventType) != OK) {
            OZK_ERR("dispatch pod event fail!,podName:%s",
                    info.pod->metadata != nullptr && info.pod->metadata->name != nullptr ? info.pod->metadata->name
                                                                                         : "(null)");
            result = ERROR;
        }
    }
    return result;
}

extern "C" STATUS ozkPodWatchHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *fieldSelect,
                                    uint32_t watchTimeout, uint32_t *cycleWait)
{
    SL_LIST *list = ozkClientPodsWatch(podManagerCtrl->clientCtrl, podManagerCtrl->resourceVersion, fieldSelect,
                                       watchSecondsGet(watchTimeout));
    if (list == nullptr) {
        OZK_ERR("pod watch list empty!");
        *cycleWait = OZK_WATCH_WAIT_FAILED;
        return OK;
    }
    std::unique_ptr<SL_LIST, void (*)(SL_LIST *)> owner(list, ozkPodWatchListFree);
    STATUS result = OK;
    if (sllFirst(list) != nullptr) {
        result = ozkPodWatchItemHandle(podManagerCtrl, list, fieldSelect);
    }
    *cycleWait = OZK_WATCH_WAIT_RETURNED;
    return result;
}

/* ------------------------------------------------------------------------
 * Batch status sync
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodSyncBatch(OZK_POD_MANAGER_CTRL *podManagerCtrl)
{
    if (ozkPodWorkOutstanding(podManagerCtrl)) {
        OZK_DEBUG("pod event is still handling!");
        return OK;
    }
    if (semTake(podManagerCtrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached pod list fail!");
        return ERROR;
    }
    STATUS result = OK;
    for (SL_NODE *node = sllFirst(&podManagerCtrl->cachedPodList); node != nullptr; node = sllNext(node)) {
        if (ozkPodStatusSync(podManagerCtrl, reinterpret_cast<CACHE_POD_ENTRY *>(node)->podItem) != OK) {
            OZK_ERR("container status sync fail!");
            result = ERROR;
        }
    }
    if (semGive(podManagerCtrl->semCached) != OK) {
        OZK_ERR("semGive cached pod list fail!");
        result = ERROR;
    }
    OZK_DEBUG("pod sync batch finish!");
    return result;
}

/* ------------------------------------------------------------------------
 * The loop
 * ------------------------------------------------------------------------ */
extern "C" int ozkPodMonitorLoop(void *arg)
{
    auto *ctrl = static_cast<OZK_POD_MANAGER_CTRL *>(arg);
    uint32_t cycleWait = ozkTimeoutSecondsGet(OZK_WATCH_SEED);
    int waitTicks = sysClkRateGet() * static_cast<int>(cycleWait);
    char fieldSelect[OZK_FIELD_SELECT_LEN];
    const char *nodeName = ctrl->kubeConf != nullptr ? ctrl->kubeConf->nodeName : nullptr;
    if (nodeName == nullptr || !ozk::formatInto(fieldSelect, sizeof(fieldSelect), "spec.nodeName=%s", nodeName)) {
        OZK_ERR("gen field select for list watch pod fail!");
        return podMonitorExit(ctrl);
    }
    if (ozkPodListHandle(ctrl, fieldSelect) != OK) {
        if (podMonitorStopping(ctrl))
            return OK;
        OZK_ERR("pod list fail!");
        return podMonitorExit(ctrl);
    }
    uint32_t watchTimeout = ozkTimeoutSecondsGet(OZK_WATCH_SEED);
    int cycles = 0;
    for (;;) {
        if (semTake(ctrl->semSyncLoop, waitTicks) == OK) {
            return OK; /* the pod manager is being destroyed */
        }
        if (errnoGet() != S_objLib_OBJ_TIMEOUT) {
            OZK_ERR("semTake sync loop fail!");
            return podMonitorExit(ctrl);
        }
        if (ozkPodWatchHandle(ctrl, fieldSelect, watchTimeout, &cycleWait) != OK) {
            if (podMonitorStopping(ctrl))
                return OK;
            OZK_ERR("pod watch handle fail!");
            return podMonitorExit(ctrl);
        }
        if (++cycles == OZK_SYNC_CYCLES) {
            cycles = 0;
            if (ozkPodSyncBatch(ctrl) != OK) {
                if (podMonitorStopping(ctrl))
                    return OK;
                OZK_ERR("pod sync fail!");
                return podMonitorExit(ctrl);
            }
        }
        waitTicks = sysClkRateGet() * static_cast<int>(cycleWait);
        watchTimeout = OZK_WATCH_TIMEOUT;
    }
}
