/*
 * ozkPodWorker.cpp - the pod worker task: carries out one pod event on the
 * worker's own copy of the pod. ADDED starts the pod's containers, UPDATE
 * re-creates them, DELETE removes them and asks the API server to delete the
 * pod (with preconditions on its uid and resource version, re-reading the
 * pod on a conflict), DELETED removes what is left and forgets the pod and
 * its cached containers.
 */
#define OZK_LOG_UNIT "ozkPodWorker"
#include "ozkClient.h"
#include "ozkContainer.h"
#include "ozkLog.h"
#include "ozkPodMonitor.h"
#include "ozkPodWorker.h"
#include "ozkPodInt.h"

#include <cstdlib>

using ozk::CStr;
using ozk::DeleteOptions;
using ozk::Json;
using ozk::Pod;

namespace {

struct HandleDeleter {
    void operator()(POD_EVENT_HANDLE *handle) const
    {
        if (handle != nullptr) {
            v1_pod_free(handle->podItem);
            free(handle);
        }
    }
};
using HandlePtr = std::unique_ptr<POD_EVENT_HANDLE, HandleDeleter>;

bool podHasContainersAndUid(const v1_pod_t *pod)
{
    return pod != nullptr && pod->spec != nullptr && pod->spec->containers != nullptr && pod->metadata != nullptr &&
           pod->metadata->uid != nullptr;
}

/* Delete options with the preconditions and a grace period of 0: the pod's
 * containers are gone, and an API server leaves a pod that already carries a
 * deletion timestamp as it is when a deletion comes without one. A zero
 * travels only when the options carry it as a member, so the options are
 * made from their JSON. */
v1_delete_options_t *deleteOptionsCreate(const char *resourceVersion, const char *uid)
{
    CStr version = ozk::strDup(resourceVersion);
    CStr uidCopy = ozk::strDup(uid);
    if (!version || !uidCopy) {
        OZK_ERR("strdup for uid abd resource version fail!");
        return nullptr;
    }
    ozk::Preconditions pre(v1_preconditions_create(version.get(), uidCopy.get()));
    if (!pre) {
        OZK_ERR("create pod delete option fail!");
        return nullptr;
    }
    (void)version.release();
    (void)uidCopy.release();
    DeleteOptions options(v1_delete_options_create(nullptr, nullptr, 0, nullptr, 0, pre.get(), nullptr));
    if (!options) {
        OZK_ERR("create pod delete option fail!");
        return nullptr;
    }
    (void)pre.release();
    Json json(v1_delete_options_convertToJSON(options.get()));
    if (!json || cJSON_AddNumberToObject(json.get(), "gracePeriodSeconds", OZK_POD_DELETE_GRACE) == nullptr) {
        OZK_ERR("create pod delete option fail!");
        return nullptr;
    }
    v1_delete_options_t *graced = v1_delete_options_parseFromJSON(json.get());
    if (graced == nullptr) {
        OZK_ERR("create pod delete option fail!");
    }
    return graced;
}

/* Keeps a resource version in the cached pod of a uid as well, so that a
 * later deletion of that pod starts from it. */
void cachedResourceVersionSet(OZK_POD_MANAGER_CTRL *ctrl, const char *uid, const char *version)
{
    if (semTake(ctrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached pod list fail!");
        return;
    }
    auto *entry = ozk::listFind<CACHE_POD_ENTRY>(&ctrl->cachedPodList, [uid](const CACHE_POD_ENTRY &e) {
        return ozk::textEquals(ozk::podUidOf(e.podItem), uid);
    });
    char *copy = entry != nullptr ? strdup(version) : nullptr;
    if (copy != nullptr) {
        free(entry->podItem->metadata->resource_version);
        entry->podItem->metadata->resource_version = copy;
    }
    if (semGive(ctrl->semCached) != OK) {
        OZK_ERR("semGive cached pod list fail!");
    }
}

} // namespace

/* ------------------------------------------------------------------------
 * Caches
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodWorkerTaskRemove(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podUid)
{
    if (podManagerCtrl == nullptr || podUid == nullptr) {
        OZK_ERR("invalid podManagerCtrl=%p or podUid=%p!", static_cast<void *>(podManagerCtrl),
                static_cast<const void *>(podUid));
        return ERROR;
    }
    if (semTake(podManagerCtrl->semPodWorkerTask, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake podWorker task fail!");
        return ERROR;
    }
    free(ozk::listUnlink<CACHE_WORKER_TASK_ENTRY>(&podManagerCtrl->cachedPodWorkerTaskList,
                                                  [podUid](const CACHE_WORKER_TASK_ENTRY &entry) {
                                                      const char *uid = entry.workerTaskItem.podUID;
                                                      return uid[0] != '\0' && strcmp(uid, podUid) == 0;
                                                  }));
    if (semGive(podManagerCtrl->semPodWorkerTask) != OK) {
        OZK_ERR("semGive podWorker task fail!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkCachedContainerDelete(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *containerName)
{
    if (semTake(podManagerCtrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached container fail!");
        return ERROR;
    }
    free(ozk::listUnlink<CACHE_CONTAINER_ENTRY>(
        &podManagerCtrl->cachedContainerList, [containerName](const CACHE_CONTAINER_ENTRY &entry) {
            return strcmp(entry.containerItem.containerName, containerName) == 0;
        }));
    if (semGive(podManagerCtrl->semContainerCached) != OK) {
        OZK_ERR("semGive cached container list fail!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkCachedPodDelete(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    if (!podHasContainersAndUid(podItem)) {
        OZK_ERR("invalid param for pod delete!");
        return ERROR;
    }
    STATUS result = OK;
    listEntry_t *item = nullptr;
    list_ForEach(item, podItem->spec->containers)
    {
        auto *container = static_cast<v1_container_t *>(item->data);
        if (container == nullptr || container->name == nullptr) {
            OZK_ERR("name in container item is null!");
            result = ERROR;
            continue;
        }
        char key[OZK_CONTAINER_KEY_LEN];
        if (!ozk::containerKeyGet(key, sizeof(key), podItem->metadata->uid, container->name) ||
            ozkCachedContainerDelete(podManagerCtrl, key) != OK) {
            OZK_ERR("delete container:%s fail!", container->name);
            result = ERROR;
        }
    }
    if (result != OK) {
        return result;
    }
    if (semTake(podManagerCtrl->semCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached pod list fail!");
        return ERROR;
    }
    const char *uid = podItem->metadata->uid;
    auto *entry = ozk::listUnlink<CACHE_POD_ENTRY>(&podManagerCtrl->cachedPodList, [uid](const CACHE_POD_ENTRY &e) {
        return ozk::textEquals(ozk::podUidOf(e.podItem), uid);
    });
    if (entry != nullptr) {
        v1_pod_free(entry->podItem);
        free(entry);
    }
    if (semGive(podManagerCtrl->semCached) != OK) {
        OZK_ERR("semGive cached pod list fail!");
        return ERROR;
    }
    return OK;
}

/* ------------------------------------------------------------------------
 * Containers of a pod
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodDeletedHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    if (!podHasContainersAndUid(podItem)) {
        OZK_ERR("invalid spec info in podItem!");
        return ERROR;
    }
    STATUS result = OK;
    listEntry_t *item = nullptr;
    list_ForEach(item, podItem->spec->containers)
    {
        auto *container = static_cast<v1_container_t *>(item->data);
        if (container == nullptr || container->name == nullptr) {
            OZK_ERR("invalid containerName!");
            continue;
        }
        char key[OZK_CONTAINER_KEY_LEN];
        if (!ozk::containerKeyGet(key, sizeof(key), podItem->metadata->uid, container->name)) {
            OZK_ERR("gen containerName fail!");
            result = ERROR;
            continue;
        }
        CONTAINER_INFO_LOCAL local{};
        if (ozkContainerLocalGetByName(podManagerCtrl, key, &local) != OK) {
            OZK_WARN("get containerLocalInfo by Name fail!");
            continue;
        }
        if (local.containerId[0] == '\0') {
            OZK_WARN("can't get containerId for container name:%s", container->name);
            continue;
        }
        if (ozkContainerDelete(podManagerCtrl, local.containerId, local.bundlePath) != OK) {
            OZK_ERR("delete container:%s fail!", local.containerId);
            result = ERROR;
        } else {
            OZK_DEBUG("delete container:%s success!", local.containerId);
        }
    }
    return result;
}

/* ------------------------------------------------------------------------
 * Deletion at the API server
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkPodDeleteRequestSend(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem, uint32_t *rspCode)
{
    if (podItem->metadata == nullptr || podItem->metadata->uid == nullptr ||
        podItem->metadata->resource_version == nullptr) {
        OZK_ERR("pod delete invalid uid and resource version!");
        return ERROR;
    }
    DeleteOptions options(deleteOptionsCreate(podItem->metadata->resource_version, podItem->metadata->uid));
    if (!options) {
        return ERROR;
    }
    *rspCode = 0;
    Pod answer(ozkClientPodDelete(podManagerCtrl->clientCtrl, podItem, options.get(), rspCode));
    /* a conflict or a pod already gone is an answer too: the client hands
     * back no object for it, only its status */
    if (!answer && *rspCode != 404 && *rspCode != 409) {
        OZK_ERR("send request for delete pod fail!");
        return ERROR;
    }
    if (*rspCode == 409) {
        OZK_WARN("pod deletion return 409");
    }
    return OK;
}

extern "C" STATUS ozkPodDeleteRequestWithRetry(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    uint32_t rspCode = 0;
    if (ozkPodDeleteRequestSend(podManagerCtrl, podItem, &rspCode) != OK) {
        OZK_ERR("pod delete api send fail!");
        return ERROR;
    }
    int retryCnt = OZK_POD_DELETE_RETRY;
    while (rspCode == 409 && retryCnt > 0) {
        Pod fresh(ozkClientPodRead(podManagerCtrl->clientCtrl, podItem->metadata->name, podItem->metadata->_namespace));
        if (fresh && fresh->metadata != nullptr && fresh->metadata->resource_version != nullptr) {
            char *version = strdup(fresh->metadata->resource_version);
            if (version == nullptr) {
                OZK_ERR("ozkPodDeletePreHandle fail!");
                return ERROR;
            }
            free(podItem->metadata->resource_version);
            podItem->metadata->resource_version = version;
            cachedResourceVersionSet(podManagerCtrl, podItem->metadata->uid, version);
            if (ozkPodDeleteRequestSend(podManagerCtrl, podItem, &rspCode) != OK) {
                OZK_ERR("pod delete api send fail!");
                return ERROR;
            }
        }
        fresh.reset();
        OZK_DEBUG("pod delete again, retryCnt:%d", retryCnt);
        int before = retryCnt--;
        if (rspCode == 409 && before != 1) {
            if (taskDelay(sysClkRateGet() * OZK_POD_DELETE_RETRY_WAIT) != OK) {
                OZK_ERR("taskDelay fail, retryTime=%u, errno=%d", OZK_POD_DELETE_RETRY_WAIT, errnoGet());
                return ERROR;
            }
        }
    }
    if (rspCode == 200 || rspCode == 404) {
        return OK;
    }
    OZK_ERR("delete pod error, code:%d", static_cast<int>(rspCode));
    return ERROR;
}

/* ------------------------------------------------------------------------
 * The actions
 * ------------------------------------------------------------------------ */
namespace {

/* An action that first removes the pod's containers, then takes its own
 * step. A failed removal is logged at `removalLevel` and ends the action
 * only when `removalRequired`; the log lines name the action's function. */
struct PodAction {
    const char *func;
    int removalLevel;
    const char *removalFailed;
    bool removalRequired;
    STATUS (*step)(OZK_POD_MANAGER_CTRL *, v1_pod_t *);
    const char *stepFailed;
    const char *done; /* debug line on success, or null */
};

STATUS podActionRun(const PodAction &action, OZK_POD_MANAGER_CTRL *ctrl, v1_pod_t *pod)
{
    if (ozkPodDeletedHandle(ctrl, pod) != OK) {
        ozkLogPrint(action.removalLevel, OZK_LOG_UNIT, action.func, __LINE__, "%s", action.removalFailed);
        if (action.removalRequired) {
            return ERROR;
        }
    }
    if (action.step(ctrl, pod) != OK) {
        ozkLogPrint(OZK_LOG_ERROR, OZK_LOG_UNIT, action.func, __LINE__, "%s", action.stepFailed);
        return ERROR;
    }
    if (action.done != nullptr) {
        ozkLogPrint(OZK_LOG_DEBUG, OZK_LOG_UNIT, action.func, __LINE__, "%s", action.done);
    }
    return OK;
}

} // namespace

extern "C" STATUS ozkPodDeletePreHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    static constexpr PodAction kAction{__func__,
                                       OZK_LOG_ERROR,
                                       "delete oz container fail!",
                                       false,
                                       ozkPodDeleteRequestWithRetry,
                                       "pod delete api send fail!",
                                       "pod deletion request sent ok"};
    return podActionRun(kAction, podManagerCtrl, podItem);
}

extern "C" STATUS ozkPodDeletePostHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    static constexpr PodAction kAction{__func__,
                                       OZK_LOG_WARNING,
                                       "delete oz container fail!",
                                       false,
                                       ozkCachedPodDelete,
                                       "delete cached pod and container fail!",
                                       "pod deletion complete ok!"};
    return podActionRun(kAction, podManagerCtrl, podItem);
}

extern "C" STATUS ozkPodUpdateHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    static constexpr PodAction kAction{
        __func__, OZK_LOG_ERROR, "container delete fail!", true, ozkPodAddHandle, "container restart fail!", nullptr};
    return podActionRun(kAction, podManagerCtrl, podItem);
}

extern "C" int ozkPodWorkerHandle(void *arg)
{
    HandlePtr handle(static_cast<POD_EVENT_HANDLE *>(arg));
    STATUS result = ERROR;
    CStr podUid;
    if (!handle || handle->podManagerCtrl == nullptr || handle->podItem == nullptr || handle->eventType == 0) {
        OZK_ERR("invalid parameter!");
    } else {
        OZK_DEBUG("handle event type:%s", ozkPodEventTypeStrGet(handle->eventType));
        OZK_POD_MANAGER_CTRL *ctrl = handle->podManagerCtrl;
        v1_pod_t *pod = handle->podItem;
        if (pod->metadata == nullptr || pod->metadata->uid == nullptr) {
            OZK_ERR("invalid podItem!");
        } else {
            podUid = ozk::strDup(pod->metadata->uid);
            if (!podUid) {
                OZK_ERR("strdup pod uid fail!");
                ozkForceShutDown();
            }
            switch (handle->eventType) {
            case POD_ADDED:
                result = ozkPodAddHandle(ctrl, pod);
                if (result != OK) {
                    OZK_ERR("pod add handle fail!");
                }
                break;
            case POD_DELETE:
                result = ozkPodDeletePreHandle(ctrl, pod);
                if (result != OK) {
                    OZK_ERR("pod pre delete handle fail!");
                }
                break;
            case POD_DELETED:
                result = ozkPodDeletePostHandle(ctrl, pod);
                if (result != OK) {
                    OZK_ERR("pod post delete handle fail!");
                }
                break;
            case POD_UPDATE:
                result = ozkPodUpdateHandle(ctrl, pod);
                if (result != OK) {
                    OZK_ERR("pod update handle fail!");
                }
                break;
            case POD_RESTART:
                result = ozkPodRestartHandle(ctrl, pod);
                if (result != OK) {
                    OZK_ERR("pod restart handle fail!");
                }
                break;
            default:
                OZK_ERR("can't handle pod event, type:%s, uid:%s", ozkPodEventTypeStrGet(handle->eventType),
                        podUid.get());
                break;
            }
        }
    }
    if (ozkPodWorkerTaskRemove(handle ? handle->podManagerCtrl : nullptr, podUid.get()) != OK) {
        OZK_ERR("remove podWorker task from cached list fail!");
    }
    handle.reset();
    podUid.reset();
    OZK_DEBUG("pod event sync handle finish, ret:%d", result);
    return result;
}
