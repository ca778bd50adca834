/*
 * ozkPodManager.cpp - the pod manager: its caches and their locks, the pod
 * event queue, the task "podManager" that keeps the pending events and
 * hands them to worker tasks in per-pod order, the start and admission of
 * the workers, the pod count for the node manager, and the destroy.
 */
#define OZK_LOG_UNIT "ozkPodManager"
#include "ozkPodManager.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkContainer.h"
#include "ozkPodMonitor.h"
#include "ozkPodWorker.h"
#include "ozkPodInt.h"

#include <cstdlib>
#include <vector>

using ozk::Pod;
using ozk::podUidOf;

namespace {

constexpr int kMutexOptions = SEM_Q_PRIORITY | SEM_DELETE_SAFE | SEM_INVERSION_SAFE;

template <typename Entry, typename Release>
void ozkListRelease(SL_LIST *list, Release release)
{
    while (SL_NODE *node = sllGet(list)) {
        release(reinterpret_cast<Entry *>(node));
    }
}

/* Guards the handle semCached itself (not the list): the node manager counts
 * the cache until it stops, and it stops after the pod manager, whose
 * destruction deletes the semaphore and clears the handle. Created once and
 * never deleted, so it outlives every pod manager and every count. */
SEM_ID ozkPodCacheHandleGuard()
{
    static const SEM_ID guard = semMCreate(kMutexOptions);
    return guard;
}

const char *podNameOf(const v1_pod_t *pod)
{
    return pod != nullptr && pod->metadata != nullptr && pod->metadata->name != nullptr ? pod->metadata->name
                                                                                        : "(null)";
}

/* The pending list's links change under semPodWorkerTask, so that the
 * monitor's emptiness test never reads them half-written. */
void ozkPendingLink(OZK_POD_MANAGER_CTRL *ctrl, CACHE_POD_EVENT_ENTRY *entry)
{
    (void)semTake(ctrl->semPodWorkerTask, WAIT_FOREVER);
    sllPutAtTail(&ctrl->cachedPodEventList, &entry->cacheNode);
    (void)semGive(ctrl->semPodWorkerTask);
}

void ozkPendingUnlink(OZK_POD_MANAGER_CTRL *ctrl, SL_NODE *node, SL_NODE *prev)
{
    (void)semTake(ctrl->semPodWorkerTask, WAIT_FOREVER);
    sllRemove(&ctrl->cachedPodEventList, node, prev);
    (void)semGive(ctrl->semPodWorkerTask);
    free(node);
}

/* Looks a pod up by uid under semCached and copies it. *found tells a pod
 * that is not cached from one whose copy failed. */
v1_pod_t *ozkPodCopyByUid(OZK_POD_MANAGER_CTRL *ctrl, const char *podUid, bool *found)
{
    *found = false;
    if (podUid == nullptr) {
        OZK_ERR("invalid eventId!");
        return nullptr;
    }
    if (semTake(ctrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached pod list fail!");
        ozkForceShutDown();
    }
    v1_pod_t *copy = nullptr;
    auto *entry = ozk::listFind<CACHE_POD_ENTRY>(&ctrl->cachedPodList, [podUid](const CACHE_POD_ENTRY &e) {
        return ozk::textEquals(podUidOf(e.podItem), podUid);
    });
    if (entry != nullptr) {
        OZK_DEBUG("find pod uid:%s", podUid);
        *found = true;
        copy = ozkPodDeepCopy(entry->podItem);
    }
    if (semGive(ctrl->semCached) != OK) {
        OZK_ERR("semGive cached pod list fail!");
        v1_pod_free(copy);
        return nullptr;
    }
    return copy;
}

} // namespace

/* ------------------------------------------------------------------------
 * Start
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodManagerInit(OZK_POD_MANAGER_CTRL *ctrl)
{
    ctrl->podEventMqId = msgQCreate(OZK_POD_EVENT_QUEUE_DEPTH, sizeof(POD_EVENT), MSG_Q_PRIORITY);
    if (ctrl->podEventMqId == nullptr) {
        OZK_ERR("creating msgQ failed errno %x", errnoGet());
        return ERROR;
    }
    ctrl->semCached = semMCreate(kMutexOptions);
    if (ctrl->semCached == nullptr) {
        OZK_ERR("failed to create cached podlist sem!");
        return ERROR;
    }
    ctrl->semContainerCached = semMCreate(kMutexOptions);
    if (ctrl->semContainerCached == nullptr) {
        OZK_ERR("failed to create cached container list semaphore!");
        return ERROR;
    }
    ctrl->semSyncLoop = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (ctrl->semSyncLoop == nullptr) {
        OZK_ERR("failed to create syncLoop semaphore!");
        return ERROR;
    }
    ctrl->semImagePull = semMCreate(kMutexOptions);
    if (ctrl->semImagePull == nullptr) {
        OZK_ERR("failed to create image pull mutex semaphore!");
        return ERROR;
    }
    ctrl->semPodWorkerTask = semMCreate(kMutexOptions);
    if (ctrl->semPodWorkerTask == nullptr) {
        OZK_ERR("failed to create pod work task list mutex semaphore!");
        return ERROR;
    }
    return OK;
}

static STATUS ozkPodMonitorTaskStart(OZK_POD_MANAGER_CTRL *ctrl)
{
    ctrl->podMonitorTaskId =
        taskSpawn("podMonitor", OZK_POD_TASK_PRIORITY, 0, OZK_POD_TASK_STACK, ozkPodMonitorLoop, ctrl);
    if (ctrl->podMonitorTaskId == TASK_ID_NULL) {
        OZK_ERR("failed to create pod monitor task!");
        return ERROR;
    }
    return OK;
}

static STATUS ozkPodManagerTaskStart(OZK_POD_MANAGER_CTRL *ctrl)
{
    ctrl->podManagerTaskId =
        taskSpawn("podManager", OZK_POD_TASK_PRIORITY, 0, OZK_POD_TASK_STACK, ozkPodManagerLoop, ctrl);
    if (ctrl->podManagerTaskId == TASK_ID_NULL) {
        OZK_ERR("failed to create pod manager task!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkPodManagerStart(OZK_CTRL *ctrl)
{
    if (ctrl == nullptr) {
        OZK_ERR("pod manager start fail by invalid param!");
        return ERROR;
    }
    OZK_POD_MANAGER_CTRL *podCtrl = &ctrl->podManagerCtrl;
    ctrl->nodeManagerCtrl.podManagerCtrlPtr = podCtrl;
    podCtrl->clientCtrl = &ctrl->clientCtrl;
    podCtrl->kubeConf = &ctrl->ozkCnf;
    sllInit(&podCtrl->cachedPodList);
    sllInit(&podCtrl->cachedContainerList);
    sllInit(&podCtrl->cachedPodEventList);
    sllInit(&podCtrl->cachedPodWorkerTaskList);
    if (ozkPodManagerInit(podCtrl) != OK) {
        OZK_ERR("pod manager init fail!");
        return ERROR;
    }
    /* before any pod starts: what a run that was killed left behind */
    (void)ozkContainerLeftoversRemove(podCtrl);
    if (ozkPodMonitorTaskStart(podCtrl) != OK) {
        return ERROR;
    }
    return ozkPodManagerTaskStart(podCtrl);
}

/* ------------------------------------------------------------------------
 * Caches
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodCacheNumberGet(OZK_POD_MANAGER_CTRL *podManagerCtrl, uint32_t *podNum)
{
    if (podManagerCtrl == nullptr) {
        OZK_ERR("podManagerCtrl is null when get pod num!");
        return ERROR;
    }
    /* Holding the guard, semCached is either live or already null (the
     * platform refuses a null handle); it cannot be deleted in between. */
    SEM_ID guard = ozkPodCacheHandleGuard();
    if (semTake(guard, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cache podlist sem fail!");
        return ERROR;
    }
    STATUS result = OK;
    uint32_t count = 0;
    if (semTake(podManagerCtrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cache podlist sem fail!");
        result = ERROR;
    } else {
        count = static_cast<uint32_t>(sllCount(&podManagerCtrl->cachedPodList));
        if (semGive(podManagerCtrl->semCached) != OK) {
            OZK_ERR("semGive cache podlist sem fail!");
            result = ERROR;
        }
    }
    (void)semGive(guard);
    if (result == OK && podNum != nullptr) {
        *podNum = count;
    }
    return result;
}

extern "C" STATUS ozkContainerLocalGetByName(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *containerName,
                                             CONTAINER_INFO_LOCAL *containerLocal)
{
    if (podManagerCtrl == nullptr || containerName == nullptr || containerLocal == nullptr) {
        return ERROR;
    }
    if (semTake(podManagerCtrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semtake cached container fail!");
        return ERROR;
    }
    auto *entry = ozk::listFind<CACHE_CONTAINER_ENTRY>(
        &podManagerCtrl->cachedContainerList, [containerName](const CACHE_CONTAINER_ENTRY &e) {
            return strcmp(e.containerItem.containerName, containerName) == 0;
        });
    bool found = entry != nullptr;
    if (found) {
        *containerLocal = entry->containerItem;
    }
    if (semGive(podManagerCtrl->semContainerCached) != OK) {
        OZK_ERR("semGive container cache fail!");
        return ERROR;
    }
    return found ? OK : ERROR;
}

extern "C" v1_pod_t *ozkPodGetByUid(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podUid)
{
    bool found = false;
    return ozkPodCopyByUid(podManagerCtrl, podUid, &found);
}

extern "C" BOOL ozkPodWorkOutstanding(OZK_POD_MANAGER_CTRL *podManagerCtrl)
{
    if (semTake(podManagerCtrl->semPodWorkerTask, WAIT_FOREVER) != OK) {
        return FALSE;
    }
    BOOL outstanding = sllFirst(&podManagerCtrl->cachedPodEventList) != nullptr ||
                       sllFirst(&podManagerCtrl->cachedPodWorkerTaskList) != nullptr;
    (void)semGive(podManagerCtrl->semPodWorkerTask);
    return outstanding;
}

/* ------------------------------------------------------------------------
 * The pod manager task
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodEventHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const POD_EVENT *podEvent,
                                    const v1_pod_t *podItem)
{
    OZK_DEBUG("pod add to event list, name:%s, type:%s", podNameOf(podItem),
              ozkPodEventTypeStrGet(podEvent->eventType));
    auto *entry = static_cast<CACHE_POD_EVENT_ENTRY *>(calloc(1, sizeof(CACHE_POD_EVENT_ENTRY)));
    if (entry == nullptr) {
        OZK_ERR("calloc cache entry fail!");
        return ERROR;
    }
    entry->podEvent = *podEvent;
    ozkPendingLink(podManagerCtrl, entry);
    return OK;
}

extern "C" STATUS ozkPodRestartEventPost(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podUid)
{
    for (SL_NODE *node = sllFirst(&podManagerCtrl->cachedPodEventList); node != nullptr; node = sllNext(node)) {
        const POD_EVENT &event = reinterpret_cast<CACHE_POD_EVENT_ENTRY *>(node)->podEvent;
        if (event.eventType == POD_RESTART && ozk::textEquals(event.podUID, podUid)) {
            return OK;
        }
    }
    POD_EVENT event{};
    if (!ozk::fieldCopy(event.podUID, podUid)) {
        OZK_ERR("pod uid %s is too long for an event!", podUid != nullptr ? podUid : "(null)");
        return ERROR;
    }
    event.eventType = POD_RESTART;
    Pod pod(ozkPodGetByUid(podManagerCtrl, podUid));
    if (!pod) {
        OZK_DEBUG("pod of a restart not cached, uid:%s", podUid);
        return OK;
    }
    return ozkPodEventHandle(podManagerCtrl, &event, pod.get());
}

extern "C" STATUS ozkPodEventExistCheck(OZK_POD_MANAGER_CTRL *podManagerCtrl, int eventIndex, const char *podUid)
{
    int position = 1;
    for (SL_NODE *node = sllFirst(&podManagerCtrl->cachedPodEventList); node != nullptr && position < eventIndex;
         node = sllNext(node), position++) {
        const POD_EVENT &event = reinterpret_cast<CACHE_POD_EVENT_ENTRY *>(node)->podEvent;
        if (event.podUID[0] == '\0') {
            continue;
        }
        if (ozk::textEquals(event.podUID, podUid)) {
            OZK_DEBUG("pod event earlier exists!");
            return ERROR;
        }
    }
    return OK;
}

extern "C" void ozkCachedPodEventHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl)
{
    SL_NODE *prev = nullptr;
    int position = 1;
    SL_NODE *node = sllFirst(&podManagerCtrl->cachedPodEventList);
    while (node != nullptr) {
        SL_NODE *next = sllNext(node);
        const POD_EVENT &event = reinterpret_cast<CACHE_POD_EVENT_ENTRY *>(node)->podEvent;
        if (event.podUID[0] == '\0') {
            prev = node;
            position++;
            node = next;
            continue;
        }
        bool found = false;
        Pod pod(ozkPodCopyByUid(podManagerCtrl, event.podUID, &found));
        if (!found) {
            /* the pod left the cache after its event came: nothing will ever
             * start a worker for it */
            OZK_ERR("drop pending pod event, pod not cached, uid:%s, type:%s", event.podUID,
                    ozkPodEventTypeStrGet(event.eventType));
            ozkPendingUnlink(podManagerCtrl, node, prev);
            node = next;
            continue;
        }
        if (pod) {
            OZK_DEBUG("handle event, pod name:%s,type:%s", podNameOf(pod.get()),
                      ozkPodEventTypeStrGet(event.eventType));
            if (ozkPodWorkerTaskStart(podManagerCtrl, &event, pod.get(), position) == OK) {
                (void)pod.release(); /* the worker's now */
                ozkPendingUnlink(podManagerCtrl, node, prev);
                node = next;
                continue;
            }
        }
        prev = node;
        position++;
        node = next;
    }
}

extern "C" int ozkPodManagerLoop(void *arg)
{
    auto *ctrl = static_cast<OZK_POD_MANAGER_CTRL *>(arg);
    for (;;) {
        ozkCachedPodEventHandle(ctrl);
        /* exited containers that their pods' policy restarts */
        int restartWait = ozkContainerRestartScan(ctrl);
        if (restartWait == 0) {
            continue; /* a restart event to hand out */
        }
        int timeout = ozkPodWorkOutstanding(ctrl) ? sysClkRateGet() * OZK_POD_MANAGER_RETRY : WAIT_FOREVER;
        if (restartWait != WAIT_FOREVER && (timeout == WAIT_FOREVER || restartWait < timeout)) {
            timeout = restartWait;
        }
        POD_EVENT event{};
        ssize_t got = msgQReceive(ctrl->podEventMqId, reinterpret_cast<char *>(&event), sizeof(event), timeout);
        if (got >= 0) {
            event.podUID[sizeof(event.podUID) - 1] = '\0';
            Pod pod(ozkPodGetByUid(ctrl, event.podUID));
            if (!pod) {
                OZK_ERR("podManager task can't get pod by pod uid");
                continue;
            }
            if (ozkPodEventHandle(ctrl, &event, pod.get()) != OK) {
                OZK_ERR("handle pod event fail!");
                ozkForceShutDown();
            }
        } else if (errnoGet() != S_objLib_OBJ_TIMEOUT) {
            OZK_ERR("msgQReceive wasn't caused by timeout!");
            ozkForceShutDown();
        }
    }
}

/* ------------------------------------------------------------------------
 * Worker start and admission
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodWorkerTaskPreHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, const POD_EVENT *podEvent)
{
    if (semTake(podManagerCtrl->semPodWorkerTask, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake podWorker fail!");
        ozkForceShutDown();
    }
    int count = 0;
    bool running = false;
    for (SL_NODE *node = sllFirst(&podManagerCtrl->cachedPodWorkerTaskList); node != nullptr; node = sllNext(node)) {
        count++;
        const POD_WORKER_TASK_INFO &info = reinterpret_cast<CACHE_WORKER_TASK_ENTRY *>(node)->workerTaskItem;
        running = running || strcmp(info.podUID, podEvent->podUID) == 0;
    }
    STATUS result = OK;
    if (running) {
        OZK_WARN("pod uid in process, UID:%s", podEvent->podUID);
        result = ERROR;
    } else if (count >= OZK_POD_WORKER_MAX) {
        OZK_WARN("work task num exceed, num:%d", count);
        result = ERROR;
    }
    if (semGive(podManagerCtrl->semPodWorkerTask) != OK) {
        OZK_ERR("semGive podWorker task sem fail!");
        result = ERROR;
    }
    return result;
}

extern "C" STATUS ozkCacheWorkerTaskInfo(OZK_POD_MANAGER_CTRL *podManagerCtrl, TASK_ID taskId, const char *podUid)
{
    oz::MallocPtr<CACHE_WORKER_TASK_ENTRY> entry(
        static_cast<CACHE_WORKER_TASK_ENTRY *>(calloc(1, sizeof(CACHE_WORKER_TASK_ENTRY))));
    if (!entry) {
        OZK_ERR("calloc pod sync task entry fail!");
        return ERROR;
    }
    if (!ozk::fieldCopy(entry->workerTaskItem.podUID, podUid)) {
        OZK_ERR("pod uid %s is too long to cache its worker!", podUid != nullptr ? podUid : "(null)");
        return ERROR;
    }
    entry->workerTaskItem.podWorkerTaskId = taskId;
    if (semTake(podManagerCtrl->semPodWorkerTask, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake podWoker task fail!");
        return ERROR;
    }
    sllPutAtTail(&podManagerCtrl->cachedPodWorkerTaskList, &entry.release()->cacheNode);
    if (semGive(podManagerCtrl->semPodWorkerTask) != OK) {
        OZK_ERR("semGive pod worker task fail!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkPodWorkerTaskStart(OZK_POD_MANAGER_CTRL *podManagerCtrl, const POD_EVENT *podEvent,
                                        v1_pod_t *podItem, int eventIndex)
{
    if (ozkPodWorkerTaskPreHandle(podManagerCtrl, podEvent) != OK) {
        return ERROR;
    }
    if (ozkPodEventExistCheck(podManagerCtrl, eventIndex, podUidOf(podItem)) != OK) {
        return ERROR;
    }
    char taskName[OZK_TASK_NAME_LEN];
    if (!ozk::formatInto(taskName, sizeof(taskName), "%s_%s", "podWorker", podEvent->podUID)) {
        OZK_ERR("generate task name fail!");
        return ERROR;
    }
    /* the handle is the worker's once it runs */
    oz::MallocPtr<POD_EVENT_HANDLE> handle(static_cast<POD_EVENT_HANDLE *>(calloc(1, sizeof(POD_EVENT_HANDLE))));
    if (!handle) {
        OZK_ERR("calloc pod event handle fail!");
        ozkForceShutDown();
    }
    handle->podManagerCtrl = podManagerCtrl;
    handle->podItem = podItem;
    handle->eventType = podEvent->eventType;
    TASK_ID taskId =
        taskCreate(taskName, OZK_POD_TASK_PRIORITY, 0, OZK_POD_TASK_STACK, ozkPodWorkerHandle, handle.get());
    if (taskId == TASK_ID_NULL) {
        OZK_ERR("failed to create pod sync event task!");
        return ERROR;
    }
    if (ozkCacheWorkerTaskInfo(podManagerCtrl, taskId, podEvent->podUID) != OK) {
        OZK_ERR("cache pod worker task info fail!");
        if (taskDelete(taskId) != OK) {
            OZK_ERR("delete pod worker task fail!");
        }
        return ERROR;
    }
    if (taskActivate(taskId) != OK) {
        if (ozkPodWorkerTaskRemove(podManagerCtrl, podEvent->podUID) != OK) {
            OZK_ERR("remove podWorker task from cached list fail!");
        }
        OZK_ERR("activate pod worker task fail!");
        if (taskDelete(taskId) != OK) {
            OZK_ERR("delete pod worker task fail!");
        }
        return ERROR;
    }
    (void)handle.release();
    return OK;
}

/* ------------------------------------------------------------------------
 * Destroy
 * ------------------------------------------------------------------------ */
static STATUS ozkPodManagerTaskDestroy(OZK_POD_MANAGER_CTRL *ctrl)
{
    STATUS result = OK;
    if (ctrl->semSyncLoop != nullptr) {
        if (semGive(ctrl->semSyncLoop) != OK) {
            OZK_ERR("semGive semSyncLoop failed! errno=%d", errnoGet());
            result = ERROR;
        }
        if (ctrl->podMonitorTaskId != 0) {
            if (taskWait(ctrl->podMonitorTaskId, sysClkRateGet() * OZK_POD_TASK_EXIT_WAIT, nullptr) != OK) {
                OZK_WARN("pod sync loop task cannot exit normally and it has to be forcedly killed! errno: %d",
                         errnoGet());
                if (taskDelete(ctrl->podMonitorTaskId) != OK) {
                    OZK_ERR("taskDelete for pod sync loop failed! errno=%d", errnoGet());
                    result = ERROR;
                }
            }
            ctrl->podMonitorTaskId = 0;
        }
    }
    if (ctrl->podManagerTaskId != 0) {
        if (taskDelete(ctrl->podManagerTaskId) != OK) {
            OZK_ERR("taskDelete managerTask failed! errno=%d", errnoGet());
            result = ERROR;
        }
        ctrl->podManagerTaskId = 0;
    }
    return result;
}

/* Every cached pod goes through the deletion of its containers and of the
 * pod at the API server. Workers may still run and forget pods meanwhile:
 * the walk goes over copies taken under the pod cache's lock. */
static STATUS ozkPodDeleteAll(OZK_POD_MANAGER_CTRL *ctrl)
{
    std::vector<Pod> pods;
    if (ctrl->semCached != nullptr && semTake(ctrl->semCached, WAIT_FOREVER) == OK) {
        for (SL_NODE *node = sllFirst(&ctrl->cachedPodList); node != nullptr; node = sllNext(node)) {
            pods.emplace_back(ozkPodDeepCopy(reinterpret_cast<CACHE_POD_ENTRY *>(node)->podItem));
        }
        (void)semGive(ctrl->semCached);
    }
    STATUS result = OK;
    for (Pod &pod : pods) {
        if (!pod || ozkPodDeletePreHandle(ctrl, pod.get()) != OK) {
            OZK_ERR("delete container error!");
            result = ERROR;
        }
    }
    return result;
}

static void ozkCachePodEventFree(OZK_POD_MANAGER_CTRL *ctrl)
{
    ozkListRelease<CACHE_POD_EVENT_ENTRY>(&ctrl->cachedPodEventList, [](CACHE_POD_EVENT_ENTRY *entry) { free(entry); });
}

static STATUS ozkCacheWorkerTaskFree(OZK_POD_MANAGER_CTRL *ctrl)
{
    if (semTake(ctrl->semPodWorkerTask, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake podWorker task fail!");
        return ERROR;
    }
    /* a worker waiting for this lock to remove its own entry ends in that
     * wait; one that holds another mutex ends once it gives it */
    ozkListRelease<CACHE_WORKER_TASK_ENTRY>(&ctrl->cachedPodWorkerTaskList, [](CACHE_WORKER_TASK_ENTRY *entry) {
        if (taskDelete(entry->workerTaskItem.podWorkerTaskId) != OK) {
            OZK_ERR("task delete pod sync task fail!");
        }
        free(entry);
    });
    if (semGive(ctrl->semPodWorkerTask) != OK) {
        OZK_ERR("semGive pod worker task fail!");
        return ERROR;
    }
    return OK;
}

static STATUS ozkCachePodListFree(OZK_POD_MANAGER_CTRL *ctrl)
{
    if (semTake(ctrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake semCached fail!");
        return ERROR;
    }
    ozkListRelease<CACHE_POD_ENTRY>(&ctrl->cachedPodList, [](CACHE_POD_ENTRY *entry) {
        v1_pod_free(entry->podItem);
        free(entry);
    });
    if (semGive(ctrl->semCached) != OK) {
        OZK_ERR("semGive semCached fail!");
        return ERROR;
    }
    return OK;
}

static STATUS ozkCacheContainerListFree(OZK_POD_MANAGER_CTRL *ctrl)
{
    if (semTake(ctrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake for semContainerCached fail!");
        return ERROR;
    }
    /* a worker that ran while the pods were deleted may have started a
     * container since: no worker runs any more, none is left behind */
    ozkListRelease<CACHE_CONTAINER_ENTRY>(&ctrl->cachedContainerList, [ctrl](CACHE_CONTAINER_ENTRY *entry) {
        const CONTAINER_INFO_LOCAL &item = entry->containerItem;
        if (item.containerId[0] != '\0') {
            (void)ozkContainerDelete(ctrl, item.containerId, item.bundlePath);
        }
        free(entry);
    });
    if (semGive(ctrl->semContainerCached) != OK) {
        OZK_ERR("semGive semContainerCached fail!");
        return ERROR;
    }
    return OK;
}

static STATUS ozkCachedListFree(OZK_POD_MANAGER_CTRL *ctrl)
{
    STATUS result = OK;
    ozkCachePodEventFree(ctrl);
    if (ozkCacheWorkerTaskFree(ctrl) != OK) {
        OZK_ERR("cache sync task free fail!");
        result = ERROR;
    }
    if (ozkCachePodListFree(ctrl) != OK) {
        OZK_ERR("cached pod list free fail!");
        result = ERROR;
    }
    if (ozkCacheContainerListFree(ctrl) != OK) {
        OZK_ERR("cache container list free fail!");
        result = ERROR;
    }
    return result;
}

static STATUS ozkSemDeleteChecked(SEM_ID *sem, const char *what)
{
    STATUS status = semDelete(*sem);
    if (status != OK) {
        OZK_ERR("%s failed! errno=%d", what, errnoGet());
    }
    *sem = nullptr;
    return status;
}

extern "C" STATUS ozkPodManagerDestroy(OZK_POD_MANAGER_CTRL *podManagerCtrl)
{
    STATUS result = OK;

    if (podManagerCtrl == nullptr) {
        return ERROR;
    }
    if (ozkPodManagerTaskDestroy(podManagerCtrl) != OK) {
        result = ERROR;
    }
    if (ozkPodDeleteAll(podManagerCtrl) != OK) {
        result = ERROR;
    }
    if (ozkCachedListFree(podManagerCtrl) != OK) {
        result = ERROR;
    }
    if (ozkSemDeleteChecked(&podManagerCtrl->semPodWorkerTask, "semDelete podworker task") != OK) {
        result = ERROR;
    }
    if (ozkSemDeleteChecked(&podManagerCtrl->semImagePull, "semDelete image pull") != OK) {
        result = ERROR;
    }
    if (ozkSemDeleteChecked(&podManagerCtrl->semSyncLoop, "semDelete for semSyncLoop") != OK) {
        result = ERROR;
    }
    if (ozkSemDeleteChecked(&podManagerCtrl->semContainerCached, "semDelete for cached container list") != OK) {
        result = ERROR;
    }
    /* a node manager cycle may still be counting the cache (see
     * ozkPodCacheNumberGet); without the guard nothing counts at all */
    SEM_ID guard = ozkPodCacheHandleGuard();
    bool guarded = semTake(guard, WAIT_FOREVER) == OK;
    if (ozkSemDeleteChecked(&podManagerCtrl->semCached, "semDelete for cached pod list") != OK) {
        result = ERROR;
    }
    if (guarded) {
        (void)semGive(guard);
    }
    if (podManagerCtrl->podEventMqId != nullptr) {
        if (msgQDelete(podManagerCtrl->podEventMqId) != OK) {
            OZK_ERR("delete pod event msgQ fail!");
            result = ERROR;
        }
        podManagerCtrl->podEventMqId = nullptr;
    }
    return result;
}
