/*
 * ozkPodManager.h - the pod manager: the caches of pods, containers,
 * pending pod events and worker tasks, the pod event queue and the loop of
 * the task "podManager", with the start and admission of the pod workers.
 *
 * Locks: semCached guards the pod cache and the pods in it, semContainerCached
 * the container cache, semPodWorkerTask the worker list and the links of the
 * pending list (which only the pod manager task changes, and which the
 * monitor reads for emptiness). The only nesting is semCached before
 * semContainerCached.
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
#define OZK_POD_WORKER_MAX        9 /* workers running at a time */

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
    POD_RESTART = 9, /* a container of the pod exited and its policy restarts it */
} POD_EVENT_TYPE;

typedef struct containerInfoLocal {
    char containerName[256]; /* key: pod UID ":" container name */
    char containerId[256];
    char imageId[256];
    char imagePath[256];
    char bundlePath[1024];
    char startAt[256];
    int32_t restartCnt;
    /* The restart policy of the container's pod and where the container
     * stands in it (OZK_RESTART_*): the pod manager task notices an exit,
     * the pod's worker starts the container again once its back-off is
     * over. */
    char restartPolicy[16];
    int32_t restartState;
    uint32_t backOffSteps;   /* exits in a row without a long run */
    uint32_t backOffSeconds; /* the wait before the pending start */
    uint64_t runStartTick;   /* tick of the current run's start */
    uint64_t restartDueTick; /* tick from which the next start is due */
    /* The previous run's end, reported as the container's last state. */
    char lastContainerId[256];
    char lastStartedAt[48];
    char lastFinishedAt[48];
    char lastReason[32];
    int32_t lastExitCode;
} CONTAINER_INFO_LOCAL;

/* Restart states of a cached container. */
#define OZK_RESTART_NONE    0 /* its policy starts it no more */
#define OZK_RESTART_WATCH   1 /* running: an exit is looked for */
#define OZK_RESTART_BACKOFF 2 /* exited: waits out its back-off */
#define OZK_RESTART_DUE     3 /* exited: its next start is due */

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

/* The argument of a worker task, released by the worker. podItem is the
 * worker's own deep copy of the cached pod, so that neither the monitor's
 * merges nor another worker's removal of the cached pod reach it. */
typedef struct podEventHandle {
    OZK_POD_MANAGER_CTRL *podManagerCtrl;
    v1_pod_t *podItem;
    uint32_t eventType; /* POD_EVENT_TYPE */
} POD_EVENT_HANDLE;

#define OZK_POD_MANAGER_RETRY 5 /* seconds between passes while work is outstanding */
#define OZK_CONTAINER_KEY_LEN 256
#define OZK_TASK_NAME_LEN     256

/* ---- Pod manager ---------------------------------------------------------- */
STATUS ozkPodManagerStart(OZK_CTRL *ctrl);
STATUS ozkPodManagerDestroy(OZK_POD_MANAGER_CTRL *podManagerCtrl);
STATUS ozkPodCacheNumberGet(OZK_POD_MANAGER_CTRL *podManagerCtrl, uint32_t *podNum);
/* Copies the cached container record of a key ("<pod uid>:<container
 * name>") into *containerLocal; ERROR when none is cached. */
STATUS ozkContainerLocalGetByName(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *containerName,
                                  CONTAINER_INFO_LOCAL *containerLocal);
/* A deep copy of the cached pod with that uid, made under the pod cache's
 * lock and owned by the caller (v1_pod_free); null when none is cached. */
v1_pod_t *ozkPodGetByUid(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podUid);
/* Creates the pod event queue and the semaphores (the first part of the
 * start, also used by the tests). */
STATUS ozkPodManagerInit(OZK_POD_MANAGER_CTRL *podManagerCtrl);
/* The task entry of "podManager". */
int ozkPodManagerLoop(void *podManagerCtrl);
/* One pass over the pending events: starts a worker for each one that may
 * run now. Runs in the pod manager task only. */
void ozkCachedPodEventHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl);
/* Appends an event of a cached pod to the pending list. */
STATUS ozkPodEventHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const POD_EVENT *podEvent, const v1_pod_t *podItem);
/* ERROR when an event of the same pod is pending before position eventIndex
 * (1-based) of the pending list. */
STATUS ozkPodEventExistCheck(OZK_POD_MANAGER_CTRL *podManagerCtrl, int eventIndex, const char *podUid);
/* Records a worker task of a pod in the worker list. */
STATUS ozkCacheWorkerTaskInfo(OZK_POD_MANAGER_CTRL *podManagerCtrl, TASK_ID taskId, const char *podUid);
/* Appends a RESTART event of a cached pod to the pending list unless one
 * is pending already; runs in the pod manager task, which alone changes
 * the pending list. */
STATUS ozkPodRestartEventPost(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podUid);
/* True when the pending list or the worker list holds an entry. */
BOOL ozkPodWorkOutstanding(OZK_POD_MANAGER_CTRL *podManagerCtrl);

/* ---- Worker start and admission ------------------------------------------- */
/* Starts a worker task for a pending event: OK when it runs (the worker
 * then owns podItem, a copy of the cached pod), ERROR when the event must
 * stay pending (podItem stays the caller's). */
STATUS ozkPodWorkerTaskStart(OZK_POD_MANAGER_CTRL *podManagerCtrl, const POD_EVENT *podEvent, v1_pod_t *podItem,
                             int eventIndex);
/* Admission: ERROR while a worker of the pod runs or 9 workers run. */
STATUS ozkPodWorkerTaskPreHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const POD_EVENT *podEvent);

#ifdef __cplusplus
}
#endif

#endif /* OZK_POD_MANAGER_H */
