/*
 * ozkPodManager.cpp - the pod manager.
 *
 * Minimal version: it creates and deletes the pod event queue and the
 * semaphores, counts the pod cache and frees the caches, so that the
 * service starts and stops in order; the tasks "podMonitor" and
 * "podManager", the event loop and the pod deletion at shutdown are not
 * written yet, so the caches stay empty.
 */
#define OZK_LOG_UNIT "ozkPodManager"
#include "ozkLib.h"

#include <cstdlib>

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

} // namespace

static STATUS ozkPodManagerInit(OZK_POD_MANAGER_CTRL *ctrl)
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
    /* the tasks "podMonitor" and "podManager" are started here once written */
    return OK;
}

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

static STATUS ozkCachedListFree(OZK_POD_MANAGER_CTRL *ctrl)
{
    STATUS result = OK;

    ozkListRelease<CACHE_POD_EVENT_ENTRY>(&ctrl->cachedPodEventList,
                                          [](CACHE_POD_EVENT_ENTRY *entry) { free(entry); });

    if (semTake(ctrl->semPodWorkerTask, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake podWorker task fail!");
        OZK_ERR("cache sync task free fail!");
        result = ERROR;
    } else {
        ozkListRelease<CACHE_WORKER_TASK_ENTRY>(&ctrl->cachedPodWorkerTaskList,
                                                [](CACHE_WORKER_TASK_ENTRY *entry) {
            if (taskDelete(entry->workerTaskItem.podWorkerTaskId) != OK) {
                OZK_ERR("task delete pod sync task fail!");
            }
            free(entry);
        });
        if (semGive(ctrl->semPodWorkerTask) != OK) {
            OZK_ERR("semGive pod worker task fail!");
            OZK_ERR("cache sync task free fail!");
            result = ERROR;
        }
    }

    if (semTake(ctrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake semCached fail!");
        OZK_ERR("cached pod list free fail!");
        result = ERROR;
    } else {
        /* the pod objects are freed here once the monitor fills the cache */
        ozkListRelease<CACHE_POD_ENTRY>(&ctrl->cachedPodList, [](CACHE_POD_ENTRY *entry) { free(entry); });
        if (semGive(ctrl->semCached) != OK) {
            OZK_ERR("semGive semCached fail!");
            OZK_ERR("cached pod list free fail!");
            result = ERROR;
        }
    }

    if (semTake(ctrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake for semContainerCached fail!");
        OZK_ERR("cache container list free fail!");
        result = ERROR;
    } else {
        ozkListRelease<CACHE_CONTAINER_ENTRY>(&ctrl->cachedContainerList,
                                              [](CACHE_CONTAINER_ENTRY *entry) { free(entry); });
        if (semGive(ctrl->semContainerCached) != OK) {
            OZK_ERR("semGive semContainerCached fail!");
            OZK_ERR("cache container list free fail!");
            result = ERROR;
        }
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
