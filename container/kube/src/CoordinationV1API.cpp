// Lease operations ("/apis/coordination.k8s.io/v1") of the Kubernetes API
// client, as the node agent uses them for its heartbeat.
#include "CoordinationV1API.h"
#include "kubeHttp.h"

namespace {

std::string leasesPath(const char *ns)
{
    return "/apis/coordination.k8s.io/v1/namespaces/" + kube::escape(ns) + "/leases";
}

} // namespace

extern "C" v1_lease_t *CoordinationV1API_createNamespacedLease(apiClient_t *apiClient, char *_namespace,
                                                               v1_lease_t *body, char *pretty, char *dryRun,
                                                               char *fieldManager, char *fieldValidation)
{
    if (kube::refused(apiClient, _namespace, body)) {
        return nullptr;
    }
    return kube::call(apiClient,
                      kube::createRequest(leasesPath(_namespace), body, v1_lease_convertToJSON, pretty, dryRun,
                                          fieldManager, fieldValidation),
                      v1_lease_parseFromJSON);
}

extern "C" v1_lease_t *CoordinationV1API_patchNamespacedLease(apiClient_t *apiClient, char *name, char *_namespace,
                                                              object_t *body, char *pretty, char *dryRun,
                                                              char *fieldManager, char *fieldValidation, int force)
{
    if (kube::refused(apiClient, name, _namespace, body)) {
        return nullptr;
    }
    return kube::call(apiClient,
                      kube::patchRequest(leasesPath(_namespace) + "/" + kube::escape(name), body, pretty, dryRun,
                                         fieldManager, fieldValidation, force),
                      v1_lease_parseFromJSON);
}

extern "C" v1_lease_t *CoordinationV1API_readNamespacedLease(apiClient_t *apiClient, char *name, char *_namespace,
                                                             char *pretty)
{
    if (kube::refused(apiClient, name, _namespace)) {
        return nullptr;
    }
    return kube::call(apiClient, kube::readRequest(leasesPath(_namespace) + "/" + kube::escape(name), pretty),
                      v1_lease_parseFromJSON);
}
