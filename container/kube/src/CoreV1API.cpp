// Core ("/api/v1") operations of the Kubernetes API client: nodes, pods,
// secrets and config maps, as the node agent uses them.
#include "CoreV1API.h"
#include "kubeHttp.h"

using kube::escape;

namespace {

std::string nodePath(const char *name)
{
    return "/api/v1/nodes/" + escape(name);
}

std::string namespacedPath(const char *ns, const char *resource, const char *name)
{
    return "/api/v1/namespaces/" + escape(ns) + "/" + resource + "/" + escape(name);
}

} // namespace

extern "C" v1_node_t *CoreV1API_readNode(apiClient_t *apiClient, char *name, char *pretty)
{
    if (kube::refused(apiClient, name)) {
        return nullptr;
    }
    return kube::call(apiClient, kube::readRequest(nodePath(name), pretty), v1_node_parseFromJSON);
}

extern "C" v1_node_t *CoreV1API_createNode(apiClient_t *apiClient, v1_node_t *body, char *pretty, char *dryRun,
                                           char *fieldManager, char *fieldValidation)
{
    if (kube::refused(apiClient, body)) {
        return nullptr;
    }
    return kube::call(apiClient,
                      kube::createRequest("/api/v1/nodes", body, v1_node_convertToJSON, pretty, dryRun, fieldManager,
                                          fieldValidation),
                      v1_node_parseFromJSON);
}

extern "C" v1_node_t *CoreV1API_patchNodeStatus(apiClient_t *apiClient, char *name, object_t *body, char *pretty,
                                                char *dryRun, char *fieldManager, char *fieldValidation, int force)
{
    if (kube::refused(apiClient, name, body)) {
        return nullptr;
    }
    return kube::call(
        apiClient,
        kube::patchRequest(nodePath(name) + "/status", body, pretty, dryRun, fieldManager, fieldValidation, force),
        v1_node_parseFromJSON);
}

extern "C" v1_pod_list_t *CoreV1API_listPodForAllNamespaces(apiClient_t *apiClient, int allowWatchBookmarks,
                                                            char *_continue, char *fieldSelector, char *labelSelector,
                                                            int limit, char *pretty, char *resourceVersion,
                                                            char *resourceVersionMatch, int timeoutSeconds, int watch)
{
    if (kube::refused(apiClient)) {
        return nullptr;
    }
    kube::Request req;
    req.path = "/api/v1/pods";
    req.query.flag("allowWatchBookmarks", allowWatchBookmarks);
    req.query.str("continue", _continue);
    req.query.str("fieldSelector", fieldSelector);
    req.query.str("labelSelector", labelSelector);
    req.query.num("limit", limit);
    req.query.str("pretty", pretty);
    req.query.str("resourceVersion", resourceVersion);
    req.query.str("resourceVersionMatch", resourceVersionMatch);
    req.query.num("timeoutSeconds", timeoutSeconds);
    req.query.flag("watch", watch);
    req.watch = watch != 0;
    req.watchSeconds = timeoutSeconds;
    return kube::call(apiClient, req, v1_pod_list_parseFromJSON);
}

extern "C" v1_secret_t *CoreV1API_readNamespacedSecret(apiClient_t *apiClient, char *name, char *_namespace,
                                                       char *pretty)
{
    if (kube::refused(apiClient, name, _namespace)) {
        return nullptr;
    }
    return kube::call(apiClient, kube::readRequest(namespacedPath(_namespace, "secrets", name), pretty),
                      v1_secret_parseFromJSON);
}

extern "C" v1_config_map_t *CoreV1API_readNamespacedConfigMap(apiClient_t *apiClient, char *name, char *_namespace,
                                                              char *pretty)
{
    if (kube::refused(apiClient, name, _namespace)) {
        return nullptr;
    }
    return kube::call(apiClient, kube::readRequest(namespacedPath(_namespace, "configmaps", name), pretty),
                      v1_config_map_parseFromJSON);
}

extern "C" v1_pod_t *CoreV1API_readNamespacedPod(apiClient_t *apiClient, char *name, char *_namespace, char *pretty)
{
    if (kube::refused(apiClient, name, _namespace)) {
        return nullptr;
    }
    return kube::call(apiClient, kube::readRequest(namespacedPath(_namespace, "pods", name), pretty),
                      v1_pod_parseFromJSON);
}

extern "C" v1_pod_t *CoreV1API_patchNamespacedPodStatus(apiClient_t *apiClient, char *name, char *_namespace,
                                                        object_t *body, char *pretty, char *dryRun, char *fieldManager,
                                                        char *fieldValidation, int force)
{
    if (kube::refused(apiClient, name, _namespace, body)) {
        return nullptr;
    }
    return kube::call(apiClient,
                      kube::patchRequest(namespacedPath(_namespace, "pods", name) + "/status", body, pretty, dryRun,
                                         fieldManager, fieldValidation, force),
                      v1_pod_parseFromJSON);
}

extern "C" v1_pod_t *CoreV1API_deleteNamespacedPod(apiClient_t *apiClient, char *name, char *_namespace, char *pretty,
                                                   char *dryRun, int gracePeriodSeconds, int orphanDependents,
                                                   char *propagationPolicy, v1_delete_options_t *body)
{
    if (kube::refused(apiClient, name, _namespace)) {
        return nullptr;
    }
    kube::Request req = kube::readRequest(namespacedPath(_namespace, "pods", name), pretty);
    req.method = "DELETE";
    req.query.str("dryRun", dryRun);
    req.query.num("gracePeriodSeconds", gracePeriodSeconds);
    req.query.flag("orphanDependents", orphanDependents);
    req.query.str("propagationPolicy", propagationPolicy);
    if (body != nullptr) {
        req.contentType = kube::jsonType;
        req.body = kube::bodyOf(body, v1_delete_options_convertToJSON);
    }
    return kube::call(apiClient, req, v1_pod_parseFromJSON);
}
