/* CoordinationV1API.h - the lease operations ("/apis/coordination.k8s.io/v1")
 * the node agent makes. Same rules as CoreV1API.h: status in response_code,
 * body in dataReceived, the record parsed from whatever JSON came back. */
#ifndef KUBE_COORDINATION_V1_API_H
#define KUBE_COORDINATION_V1_API_H

#include "apiClient.h"
#include "kubeModels.h"

#ifdef __cplusplus
extern "C" {
#endif

/* POST .../namespaces/{namespace}/leases */
v1_lease_t *CoordinationV1API_createNamespacedLease(apiClient_t *apiClient, char *_namespace, v1_lease_t *body,
                                                    char *pretty, char *dryRun, char *fieldManager,
                                                    char *fieldValidation);

/* PATCH .../namespaces/{namespace}/leases/{name}, strategic merge. */
v1_lease_t *CoordinationV1API_patchNamespacedLease(apiClient_t *apiClient, char *name, char *_namespace, object_t *body,
                                                   char *pretty, char *dryRun, char *fieldManager,
                                                   char *fieldValidation, int force);

/* GET .../namespaces/{namespace}/leases/{name} */
v1_lease_t *CoordinationV1API_readNamespacedLease(apiClient_t *apiClient, char *name, char *_namespace, char *pretty);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_COORDINATION_V1_API_H */
