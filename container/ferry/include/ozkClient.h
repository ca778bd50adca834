/*
 * ozkClient.h - the node agent's client of the Kubernetes API server: TLS
 * set-up, the request retry engine, the response-code classification, the
 * node, lease, pod and secret operations and the pod watch.
 */
#ifndef OZK_CLIENT_H
#define OZK_CLIENT_H

#include <ozPlatform.h>
#include <stdint.h>

#include "apiClient.h"
#include "kubeModels.h"
#include "object.h"
#include "ozkList.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ozkConf OZK_CONF;
typedef struct ozkCtrl OZK_CTRL;

/* Client record: built once at service initialisation, read afterwards,
 * except for the stop state, which every task reads and the stop sets once. */
typedef struct ozkClientCtrl {
    BOOL isSetGlobalEnv;  /* global environment set up here, undone by destroy */
    sslConfig_t *sslConf; /* TLS configuration, owned */
    OZK_CONF *kubeConf;   /* configuration (not owned): URL and the three paths */
    int stopped;          /* set by ozkClientStop, never cleared (atomic) */
    SEM_ID semStop;       /* given by the stop: retry waits end at once */
    TASK_ID teardownTask; /* after a stop, the task whose requests may still run (atomic) */
    uint64_t teardownEnd; /* ... until this tick (atomic) */
} OZK_CLIENT_CTRL;

#define OZK_FUNC_NAME_LEN 128

/* One request function: a single call of the client library. The result
 * object goes to *ozkRspObject. 0 after the call, -1 without calling when a
 * parameter it needs is null. */
typedef STATUS (*OZK_HTTP_FUNC)(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                                intptr_t *ozkRspObject);

/* A request for the retry engine. */
typedef struct ozkHttpFuncHandle {
    OZK_HTTP_FUNC ozkHttpFunc;
    char ozkFuncName[OZK_FUNC_NAME_LEN];
} OZK_HTTP_FUNC_HANDLE;

/* Retry rule: at most this many attempts, the first wait and its factor. */
#define OZK_HTTP_RETRY_MAX        4
#define OZK_HTTP_RETRY_FIRST_WAIT 5U /* seconds */
#define OZK_HTTP_RETRY_FACTOR     5U

/* Seconds that the task tearing the node agent down after a stop may still
 * spend on requests (one attempt each, no retry wait). */
#define OZK_CLIENT_TEARDOWN_TIME 2

STATUS ozkClientSetup(OZK_CTRL *kubeCtrl);
void ozkClientDestroy(OZK_CLIENT_CTRL *clientCtrl);
/* Checks the TLS material that the configuration names: the CA file holds
 * certificates that load, the client certificate parses and is valid now,
 * the key parses and belongs to the certificate. A failure logs one ERROR
 * naming the file and the reason. */
STATUS ozkClientTlsFilesCheck(const OZK_CONF *conf);

/* The stop of the node agent, as the client sees it: from the stop on, a
 * request of any task is aborted within 100 ms and none is sent any more,
 * and retry waits end at once. Only the task that then tears the agent down
 * (ozkClientTeardownBegin) may still make requests, for
 * OZK_CLIENT_TEARDOWN_TIME seconds. A request of a task that is being
 * deleted is aborted as well. */
void ozkClientStop(OZK_CLIENT_CTRL *clientCtrl);
BOOL ozkClientStopped(const OZK_CLIENT_CTRL *clientCtrl);
void ozkClientTeardownBegin(OZK_CLIENT_CTRL *clientCtrl);
/* TRUE when a request of the calling task must not start or go on. */
BOOL ozkClientRequestAborted(OZK_CLIENT_CTRL *clientCtrl);
apiClient_t *ozkApiClientCreate(OZK_CLIENT_CTRL *clientCtrl);
void ozkApiClientDestroy(apiClient_t *client);
STATUS ozkHttpWithRetry(OZK_CLIENT_CTRL *clientCtrl, OZK_HTTP_FUNC_HANDLE *funcHandle, intptr_t ozkParam1,
                        intptr_t ozkParam2, intptr_t ozkParam3, uint32_t *ozkRspCode, intptr_t *ozkRspObject);
STATUS ozkHttpRspCodeCheck(long rspCode, const char **errInfo, BOOL *ozkErrFatal);

/* ------------------------------------------------------------------------
 * Resource operations
 * ------------------------------------------------------------------------ */
#define OZK_LEASE_NAMESPACE "kube-node-lease"
#define OZK_EVENT_TYPE_LEN  48

/* One event of the pod watch stream. */
typedef struct podWatchInfo {
    char eventType[OZK_EVENT_TYPE_LEN]; /* "ADDED", "MODIFIED", ...; empty when too long */
    v1_pod_t *pod;                      /* the event's pod, owned; null unless kind "Pod" */
    uint32_t statusCode;                /* code of a "Status" object, else 0 */
} POD_WATCH_INFO;

typedef struct cacheWatchInfoEntry {
    SL_NODE cacheNode;
    POD_WATCH_INFO watchInfoItem;
} CACHE_WATCH_INFO_ENTRY;

/* The node and lease operations with a response-code slot (may be null)
 * that receives the HTTP status of the last attempt, 0 when no answer came:
 * for callers that act on particular answers (404, 409). */
v1_node_t *ozkClientNodeReadRsp(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName, uint32_t *rspCode);
v1_node_t *ozkClientNodeCreateRsp(OZK_CLIENT_CTRL *clientCtrl, v1_node_t *nodeInfo, uint32_t *rspCode);
v1_lease_t *ozkClientLeaseCreateRsp(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease, v1_lease_t *leaseItem,
                                    uint32_t *rspCode);
v1_lease_t *ozkClientLeasePatchRsp(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease, const char *nodeName,
                                   object_t *leaseObject, uint32_t *rspCode);

v1_node_t *ozkClientNodeRead(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName);
v1_node_t *ozkClientNodeCreate(OZK_CLIENT_CTRL *clientCtrl, v1_node_t *nodeInfo);
v1_node_t *ozkClientNodeStatusPatch(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName, object_t *body);
v1_lease_t *ozkClientLeaseCreate(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease, v1_lease_t *leaseItem);
v1_lease_t *ozkClientLeasePatch(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease, const char *nodeName,
                                object_t *leaseObject);
STATUS ozkClientLeaseGet(OZK_CLIENT_CTRL *clientCtrl, const char *nodeNameLease, const char *nameSpaceLease);
v1_pod_list_t *ozkClientPodsList(OZK_CLIENT_CTRL *clientCtrl, const char *fieldSelect);
/* The event list (SL_LIST of CACHE_WATCH_INFO_ENTRY), owned by the caller:
 * free each pod, each element, then the list; see ozkPodWatchListFree. */
SL_LIST *ozkClientPodsWatch(OZK_CLIENT_CTRL *clientCtrl, const char *resoureVersion, const char *fieldSelect,
                            uint32_t watchTs);
v1_secret_t *ozkClientSecretGet(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace, const char *ozName);
/* The secret and config map reads with a response-code slot (may be null)
 * that receives the HTTP status of the last attempt, 0 when no answer came:
 * a 404 tells a missing object from a failed read. */
v1_secret_t *ozkClientSecretGetRsp(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace, const char *ozName,
                                   uint32_t *rspCode);
v1_config_map_t *ozkClientConfigMapGet(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace, const char *ozName,
                                       uint32_t *rspCode);
v1_pod_t *ozkClientPodStatusPatch(OZK_CLIENT_CTRL *clientCtrl, object_t *podObject, const char *podName,
                                  const char *podNameSpace, uint32_t *plegRspCode);
v1_pod_t *ozkClientPodRead(OZK_CLIENT_CTRL *clientCtrl, const char *podName, const char *podNameSpace);
v1_pod_t *ozkClientPodDelete(OZK_CLIENT_CTRL *clientCtrl, v1_pod_t *podItem, v1_delete_options_t *deleteOption,
                             uint32_t *deleteRspCode);

/* Request functions: one library call each (parameters as described at
 * each public operation). */
STATUS ozkHttpNodeRead(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                       intptr_t *ozkRspObject);
STATUS ozkHttpNodeCreate(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                         intptr_t *ozkRspObject);
STATUS ozkHttpNodeStatusPatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                              intptr_t *ozkRspObject);
STATUS ozkHttpLeaseCreate(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                          intptr_t *ozkRspObject);
STATUS ozkHttpLeasePatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                         intptr_t *ozkRspObject);
STATUS ozkHttpLeaseGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                       intptr_t *ozkRspObject);
STATUS ozkHttpPodsList(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                       intptr_t *ozkRspObject);
STATUS ozkHttpSecretGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                        intptr_t *ozkRspObject);
STATUS ozkHttpConfigMapGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                           intptr_t *ozkRspObject);
STATUS ozkHttpPodStatusPatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                             intptr_t *ozkRspObject);
STATUS ozkHttpPodGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                     intptr_t *ozkRspObject);
STATUS ozkHttpPodDelete(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                        intptr_t *ozkRspObject);

/* Watch stream parsing (exported for the pod monitor's tests and fuzzing). */
SL_LIST *ozkParsePodWatchRspFromWatchReq(apiClient_t *apiClient);
STATUS ozkParseWatchInfoFromJson(cJSON *json, POD_WATCH_INFO *watchInfo);
/* Frees every event's pod, every element and the list; null is allowed. */
void ozkPodWatchListFree(SL_LIST *list);

#ifdef __cplusplus
}
#endif

#endif /* OZK_CLIENT_H */
