// Core ("/api/v1") operations of the Kubernetes API client: nodes, pods and
// secrets, as the node agent uses them.
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

// The write options shared by create and patch.
void writeOptions(kube::Query &q, const char *pretty, const char *dryRun, const char *fieldManager,
                  const char *fieldValidation)
{
    q.str("pretty", pretty);
    q.str("dryRun", dryRun);
    q.str("fieldManager", fieldManager);
    q.str("fieldValidation", fieldValidation);
}

} // namespace

extern "C" v1_node_t *CoreV1API_readNode(apiClient_t *apiClient, char *name, char *pretty)
{
    if (apiClient == nullptr || name == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.path = nodePath(name);
    req.query.str("pretty", pretty);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_node_parseFromJSON);
}

extern "C" v1_node_t *CoreV1API_createNode(apiClient_t *apiClient, v1_node_t *body, char *pretty,
                                           char *dryRun, char *fieldManager,
                                           char *fieldValidation)
{
    if (apiClient == nullptr || body == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.method = "POST";
    req.path = "/api/v1/nodes";
    writeOptions(req.query, pretty, dryRun, fieldManager, fieldValidation);
    req.contentType = kube::jsonType;
    req.body = kube::bodyOf(body, v1_node_convertToJSON);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_node_parseFromJSON);
}

extern "C" v1_node_t *CoreV1API_patchNodeStatus(apiClient_t *apiClient, char *name,
                                                object_t *body, char *pretty, char *dryRun,
                                                char *fieldManager, char *fieldValidation,
                                                int force)
{
    if (apiClient == nullptr || name == nullptr || body == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.method = "PATCH";
    req.path = nodePath(name) + "/status";
    writeOptions(req.query, pretty, dryRun, fieldManager, fieldValidation);
    req.query.flag("force", force);
    req.contentType = kube::strategicMergePatchType;
    req.body = kube::patchBodyOf(body);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_node_parseFromJSON);
}

extern "C" v1_pod_list_t *CoreV1API_listPodForAllNamespaces(
    apiClient_t *apiClient, int allowWatchBookmarks, char *_continue, char *fieldSelector,
    char *labelSelector, int limit, char *pretty, char *resourceVersion,
    char *resourceVersionMatch, int timeoutSeconds, int watch)
{
    if (apiClient == nullptr) {
        kube::refuse(apiClient);
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
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_pod_list_parseFromJSON);
}

extern "C" v1_secret_t *CoreV1API_readNamespacedSecret(apiClient_t *apiClient, char *name,
                                                       char *_namespace, char *pretty)
{
    if (apiClient == nullptr || name == nullptr || _namespace == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.path = namespacedPath(_namespace, "secrets", name);
    req.query.str("pretty", pretty);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_secret_parseFromJSON);
}

extern "C" v1_pod_t *CoreV1API_readNamespacedPod(apiClient_t *apiClient, char *name,
                                                 char *_namespace, char *pretty)
{
    if (apiClient == nullptr || name == nullptr || _namespace == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.path = namespacedPath(_namespace, "pods", name);
    req.query.str("pretty", pretty);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_pod_parseFromJSON);
}

extern "C" v1_pod_t *CoreV1API_patchNamespacedPodStatus(apiClient_t *apiClient, char *name,
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
    req.path = namespacedPath(_namespace, "pods", name) + "/status";
    writeOptions(req.query, pretty, dryRun, fieldManager, fieldValidation);
    req.query.flag("force", force);
    req.contentType = kube::strategicMergePatchType;
    req.body = kube::patchBodyOf(body);
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_pod_parseFromJSON);
}

extern "C" v1_pod_t *CoreV1API_deleteNamespacedPod(apiClient_t *apiClient, char *name,
                                                   char *_namespace, char *pretty, char *dryRun,
                                                   int gracePeriodSeconds, int orphanDependents,
                                                   char *propagationPolicy,
                                                   v1_delete_options_t *body)
{
    if (apiClient == nullptr || name == nullptr || _namespace == nullptr) {
        kube::refuse(apiClient);
        return nullptr;
    }
    kube::Request req;
    req.method = "DELETE";
    req.path = namespacedPath(_namespace, "pods", name);
    req.query.str("pretty", pretty);
    req.query.str("dryRun", dryRun);
    req.query.num("gracePeriodSeconds", gracePeriodSeconds);
    req.query.flag("orphanDependents", orphanDependents);
    req.query.str("propagationPolicy", propagationPolicy);
    if (body != nullptr) {
        req.contentType = kube::jsonType;
        req.body = kube::bodyOf(body, v1_delete_options_convertToJSON);
    }
    kube::perform(apiClient, req);
    return kube::parseBody(apiClient, v1_pod_parseFromJSON);
}
