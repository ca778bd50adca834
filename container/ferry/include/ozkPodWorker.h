/*
 * ozkPodWorker.h - the pod worker: one task per pod event that creates,
 * re-creates or deletes the pod's containers, asks the API server to delete
 * the pod, and forgets a deleted pod with its cached containers.
 */
#ifndef OZK_POD_WORKER_H
#define OZK_POD_WORKER_H

#include <ozPlatform.h>
#include <stdint.h>

#include "kubeModels.h"
#include "ozkPodManager.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OZK_POD_DELETE_RETRY      4 /* re-reads and resends after a conflict */
#define OZK_POD_DELETE_RETRY_WAIT 5 /* seconds between them */
#define OZK_POD_DELETE_GRACE      0 /* the pod's containers are gone when it is sent */

/* The worker task's entry; its argument is a POD_EVENT_HANDLE. */
int ozkPodWorkerHandle(void *podEventHandle);
/* Removes the worker record of a pod uid (a missing one is no error). */
STATUS ozkPodWorkerTaskRemove(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podUid);
/* Removes the pod's containers, then asks the API server to delete it. */
STATUS ozkPodDeletePreHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
/* Forgets the pod's cached containers and the cached pod. */
STATUS ozkCachedPodDelete(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);

/* Steps of the actions, exported for the tests. */
STATUS ozkPodDeletedHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
STATUS ozkPodDeletePostHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
STATUS ozkPodUpdateHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
STATUS ozkPodDeleteRequestWithRetry(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
/* One deletion request; the HTTP status of its answer goes to *rspCode. */
STATUS ozkPodDeleteRequestSend(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem, uint32_t *rspCode);
STATUS ozkCachedContainerDelete(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *containerName);

#ifdef __cplusplus
}
#endif

#endif /* OZK_POD_WORKER_H */
