/* CoreV1API.h - the core ("/api/v1") operations the node agent makes.
 *
 * Every operation runs one HTTPS request with the client's TLS material and
 * leaves the HTTP status in apiClient->response_code (0 when no HTTP answer
 * came: connection or TLS failure) and the body in apiClient->dataReceived.
 * It returns the record parsed from the JSON body, whatever the status: an
 * error answer's Status body parsed as the requested kind gives a record whose
 * fields are mostly empty. No body, or a body that is not JSON, gives null
 * (errno EIO when no answer came, EBADMSG for a body that is not JSON or not
 * an object of the kind asked for).
 * Null strings and zero integers leave the matching query parameter out;
 * non-zero booleans are sent as "true". Request bodies stay the caller's. */
#ifndef KUBE_CORE_V1_API_H
#define KUBE_CORE_V1_API_H

#include "apiClient.h"
#include "kubeModels.h"

#ifdef __cplusplus
extern "C" {
#endif

/* GET /api/v1/nodes/{name} */
v1_node_t *CoreV1API_readNode(apiClient_t *apiClient, char *name, char *pretty);

/* POST /api/v1/nodes */
v1_node_t *CoreV1API_createNode(apiClient_t *apiClient, v1_node_t *body, char *pretty, char *dryRun, char *fieldManager,
                                char *fieldValidation);

/* PATCH /api/v1/nodes/{name}/status, body sent as a strategic merge patch
 * (the object's text unchanged). */
v1_node_t *CoreV1API_patchNodeStatus(apiClient_t *apiClient, char *name, object_t *body, char *pretty, char *dryRun,
                                     char *fieldManager, char *fieldValidation, int force);

/* GET /api/v1/pods. With watch set the server streams one JSON event per
 * line until it ends the stream (after timeoutSeconds); the whole stream is
 * then in dataReceived, and the record returned is whatever the first line
 * parses to as a pod list (callers free it and read the stream). */
v1_pod_list_t *CoreV1API_listPodForAllNamespaces(apiClient_t *apiClient, int allowWatchBookmarks, char *_continue,
                                                 char *fieldSelector, char *labelSelector, int limit, char *pretty,
                                                 char *resourceVersion, char *resourceVersionMatch, int timeoutSeconds,
                                                 int watch);

/* GET /api/v1/namespaces/{namespace}/secrets/{name} */
v1_secret_t *CoreV1API_readNamespacedSecret(apiClient_t *apiClient, char *name, char *_namespace, char *pretty);

/* GET /api/v1/namespaces/{namespace}/configmaps/{name} */
v1_config_map_t *CoreV1API_readNamespacedConfigMap(apiClient_t *apiClient, char *name, char *_namespace, char *pretty);

/* GET /api/v1/namespaces/{namespace}/pods/{name} */
v1_pod_t *CoreV1API_readNamespacedPod(apiClient_t *apiClient, char *name, char *_namespace, char *pretty);

/* PATCH /api/v1/namespaces/{namespace}/pods/{name}/status, strategic merge. */
v1_pod_t *CoreV1API_patchNamespacedPodStatus(apiClient_t *apiClient, char *name, char *_namespace, object_t *body,
                                             char *pretty, char *dryRun, char *fieldManager, char *fieldValidation,
                                             int force);

/* DELETE /api/v1/namespaces/{namespace}/pods/{name} with the delete options
 * (preconditions, ...) as JSON body. */
v1_pod_t *CoreV1API_deleteNamespacedPod(apiClient_t *apiClient, char *name, char *_namespace, char *pretty,
                                        char *dryRun, int gracePeriodSeconds, int orphanDependents,
                                        char *propagationPolicy, v1_delete_options_t *body);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_CORE_V1_API_H */
