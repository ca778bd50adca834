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

extern "C" v1_lease_t *CoordinationV1API_createNamespacedLease(apiClient_t *apiClient,
                                                               char *_namespace, v1_lease_t *body,
                                                               char *pretty, char *dryRun,
                                                               char *fieldManager,
                                                               char *fieldValidation)
{
    if (apiClient == nullptr || _namespace == nullptr || body == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.method = "POST";
    req.path = leasesPath(_namespace);
    req.query.str("pretty", pretty);
    req.query.str("dryRun", dryRun);
    req.query.str("fieldManager", fieldManager);
    req.query.str("fieldValidation", fieldValidation);
    req.contentType = kube::jsonType;
    req.body = kube::bodyOf(body, v1_lease_convertToJSON);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_lease_parseFromJSON);
}

extern "C" v1_lease_t *CoordinationV1API_patchNamespacedLease(apiClient_t *apiClient, char *name,
                                                              char *_namespace, object_t *body,
                                                              char *pretty, char *dryRun,
                                                              char *fieldManager,
                                                              char *fieldValidation, int force)
{
    if (apiClient == nullptr || name == nullptr || _namespace == nullptr || body == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.method = "PATCH";
    req.path = leasesPath(_namespace) + "/" + kube::escape(name);
    req.query.str("pretty", pretty);
    req.query.str("dryRun", dryRun);
    req.query.str("fieldManager", fieldManager);
    req.query.str("fieldValidation", fieldValidation);
    req.query.flag("force", force);
    req.contentType = kube::strategicMergePatchType;
    req.body = kube::patchBodyOf(body);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_lease_parseFromJSON);
}

extern "C" v1_lease_t *CoordinationV1API_readNamespacedLease(apiClient_t *apiClient, char *name,
                                                             char *_namespace, char *pretty)
{
    if (apiClient == nullptr || name == nullptr || _namespace == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.path = leasesPath(_namespace) + "/" + kube::escape(name);
    req.query.str("pretty", pretty);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_lease_parseFromJSON);
}
