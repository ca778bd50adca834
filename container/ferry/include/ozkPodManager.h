/*
 * ozkPodManager.h - the pod manager: the caches of pods, containers,
 * pending pod events and worker tasks, the pod event queue and the loop of
 * the task "podManager".
 */
#ifndef OZK_POD_MANAGER_H
#define OZK_POD_MANAGER_H

#include <ozPlatform.h>
#include <stdint.h>

#include "kubeModels.h"
#include "ozkList.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ozkConf OZK_CONF;
typedef struct ozkCtrl OZK_CTRL;
typedef struct ozkClientCtrl OZK_CLIENT_CTRL;

#define OZK_POD_UID_LEN           48
#define OZK_RESOURCE_VERSION_LEN  32
#define OZK_POD_EVENT_QUEUE_DEPTH 10
#define OZK_POD_TASK_PRIORITY     150
#define OZK_POD_TASK_STACK        (64 * 1024)
#define OZK_POD_TASK_EXIT_WAIT    3 /* seconds before the monitor is deleted */

typedef enum {
    POD_UNKNOWN = 0,
    POD_INIT = 1,
    POD_ADDED = 2,
    POD_MODIFIED = 3,
    POD_DELETE = 4,
    POD_DELETED = 5,
    POD_ERROR = 6,
    POD_UPDATE = 7,
    POD_BOOKMARK = 8,
} POD_EVENT_TYPE;

typedef struct containerInfoLocal {
    char containerName[256]; /* key: pod UID ":" container name */
    char containerId[256];
    char imageId[256];
    char imagePath[256];
    char bundlePath[1024];
    char startAt[256];
    int32_t restartCnt;
} CONTAINER_INFO_LOCAL;

typedef struct podEvent {
    char podUID[OZK_POD_UID_LEN];
    uint32_t eventType; /* POD_EVENT_TYPE */
} POD_EVENT;

typedef struct cachePodEntry {
    SL_NODE cacheNode;
    v1_pod_t *podItem;
} CACHE_POD_ENTRY;

typedef struct cacheContainerEntry {
    SL_NODE cacheNode;
    CONTAINER_INFO_LOCAL containerItem;
} CACHE_CONTAINER_ENTRY;

typedef struct cachePodEventEntry {
    SL_NODE cacheNode;
    POD_EVENT podEvent;
} CACHE_POD_EVENT_ENTRY;

typedef struct podWorkerTaskInfo {
    char podUID[OZK_POD_UID_LEN];
    TASK_ID podWorkerTaskId;
} POD_WORKER_TASK_INFO;

typedef struct cacheWorkerTaskEntry {
    SL_NODE cacheNode;
    POD_WORKER_TASK_INFO workerTaskItem;
} CACHE_WORKER_TASK_ENTRY;

typedef struct ozkPodManagerCtrl {
    OZK_CLIENT_CTRL *clientCtrl;
    OZK_CONF *kubeConf;
    TASK_ID podMonitorTaskId;
    TASK_ID podManagerTaskId;
    char resourceVersion[OZK_RESOURCE_VERSION_LEN];
    SEM_ID semSyncLoop;
    SEM_ID semCached;
    MSG_Q_ID podEventMqId;
    SL_LIST cachedPodList;
    SL_LIST cachedContainerList;
    SL_LIST cachedPodEventList;
    SL_LIST cachedPodWorkerTaskList;
    SEM_ID semContainerCached;
    SEM_ID semImagePull;
    SEM_ID semPodWorkerTask;
} OZK_POD_MANAGER_CTRL;

typedef struct podEventHandle {
    OZK_POD_MANAGER_CTRL *podManagerCtrl;
    v1_pod_t *podItem;
    uint32_t eventType; /* POD_EVENT_TYPE */
} POD_EVENT_HANDLE;

STATUS ozkPodManagerStart(OZK_CTRL *ctrl);
STATUS ozkPodManagerDestroy(OZK_POD_MANAGER_CTRL *podManagerCtrl);
STATUS ozkPodCacheNumberGet(OZK_POD_MANAGER_CTRL *podManagerCtrl, uint32_t *podNum);

#ifdef __cplusplus
}
#endif

#endif /* OZK_POD_MANAGER_H */
