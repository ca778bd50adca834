/*
 * ozkPodMonitor.h - the pod monitor: the task "podMonitor" that lists and
 * watches the pods bound to this node, keeps the pod cache in step with the
 * API server, turns changes into pod events for the pod manager and runs
 * the batch status sync.
 */
#ifndef OZK_POD_MONITOR_H
#define OZK_POD_MONITOR_H

#include <ozPlatform.h>
#include <stdint.h>

#include "kubeModels.h"
#include "ozkList.h"
#include "ozkPodManager.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OZK_FIELD_SELECT_LEN    256
#define OZK_WATCH_WAIT_RETURNED 5  /* seconds between cycles after a watch that returned */
#define OZK_WATCH_WAIT_FAILED   30 /* seconds after a watch that failed */
#define OZK_WATCH_TIMEOUT       5  /* seconds of a watch after the first one */
#define OZK_WATCH_SEED          5  /* first wait and first watch: 5..9 s */
#define OZK_SYNC_CYCLES         3  /* batch status sync every third cycle */

/* Filled while a pod is merged into the cache, read by the dispatch. */
typedef struct ozkPodUpdateFlag {
    int32_t specChanged; /* 0 unchanged, 1 the cached spec was replaced, 2 newly cached */
    int32_t deletionCnt; /* 1 when the cached pod already carried a deletion timestamp */
} OZK_POD_UPDATE_FLAG;

/* The task entry of "podMonitor"; ends with OK once semSyncLoop is given. */
int ozkPodMonitorLoop(void *podManagerCtrl);
/* The name of an event type ("UNKNOWN" for a value outside 1..8). */
const char *ozkPodEventTypeStrGet(uint32_t eventType);
/* The event type of a watch type text; POD_UNKNOWN for any other text. */
uint32_t ozkPodEventTypeGet(const char *eventType);
/* A random value in seed..2*seed-1. */
uint32_t ozkTimeoutSecondsGet(uint32_t seed);
/* A deep copy of a pod (through its JSON), or null. */
v1_pod_t *ozkPodDeepCopy(v1_pod_t *podItem);

/* Steps of the loop, exported for the tests. */
STATUS ozkPodListHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *fieldSelect);
STATUS ozkPodListItemCache(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_list_t *podList);
STATUS ozkDispatchPodListEvent(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_list_t *podList, const char *eventType);
/* One watch cycle; *cycleWait becomes the seconds until the next one. */
STATUS ozkPodWatchHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *fieldSelect, uint32_t watchTimeout,
                         uint32_t *cycleWait);
STATUS ozkPodWatchItemHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, SL_LIST *watchList, const char *fieldSelect);
STATUS ozkUpdateCachedPodList(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *fieldSelect);
/* Merges a copy into the cache (taking it over in every case). */
STATUS ozkPodWatchPodHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podCopy, OZK_POD_UPDATE_FLAG *updateFlag);
STATUS ozkPodSpecUpdate(v1_pod_t *newPod, v1_pod_t *cachedPod, int32_t *specChanged);
STATUS ozkCachedPodUpdate(v1_pod_t *cachedPod, v1_pod_t *newPod, int32_t *deletionCnt);
STATUS ozkDispatchPodWatchEvent(OZK_POD_MANAGER_CTRL *podManagerCtrl, const OZK_POD_UPDATE_FLAG *updateFlag,
                                v1_pod_t *podItem, const char *eventType);
STATUS ozkPodSyncBatch(OZK_POD_MANAGER_CTRL *podManagerCtrl);

#ifdef __cplusplus
}
#endif

#endif /* OZK_POD_MONITOR_H */
