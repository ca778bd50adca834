// The Kubernetes API client against the API server emulator over TLS with
// client certificates: every operation the node agent makes, the answers'
// codes and bodies, list and watch (bookmarks, 410 Gone), status patches and
// deletion with preconditions.
#include "kube.h"
#include "ozOwners.h"
#include "kubesim/kubesim_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using oz::JsonPtr;

std::string print(const cJSON *json)
{
    char *text = cJSON_PrintUnformatted(json);
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

/* The string at a dotted path; null when absent or not a string. */
const char *str(const cJSON *obj, const char *dotted)
{
    return cJSON_GetStringValue(oztest::at(obj, dotted));
}

object_t *patchOf(const std::string &text)
{
    object_t *o = object_create();
    o->temporary = strdup(text.c_str());
    return o;
}

class KubeApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() { apiClient_setupGlobalEnv(); }
    static void TearDownTestSuite() { apiClient_unsetupGlobalEnv(); }

    void SetUp() override
    {
        ASSERT_TRUE(sim_.start("node1")) << sim_.lastError();
        tls_ = sslConfig_create(sim_.certPath().c_str(), sim_.keyPath().c_str(), sim_.caPath().c_str(), 0);
        client_ = apiClient_create_with_base_path(sim_.url().c_str(), tls_, nullptr);
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override
    {
        apiClient_free(client_);
        sslConfig_free(tls_);
        sim_.stop();
    }

    // The object as the server has it, read through the side door.
    JsonPtr serverObject(const std::string &path)
    {
        std::string body;
        int code = sim_.request("GET", path, "", &body);
        return JsonPtr(code == 200 ? cJSON_Parse(body.c_str()) : nullptr);
    }
    std::string createPod(const std::string &name, const std::string &node, const std::string &extra = "")
    {
        std::string pod = R"({"apiVersion":"v1","kind":"Pod","metadata":{"name":")" + name +
                          R"(","namespace":"default","labels":{"app":"web"}},"spec":{)" +
                          (node.empty() ? "" : R"("nodeName":")" + node + R"(",)") +
                          R"("containers":[{"name":"c1","image":"busybox:1.36","command":["sleep","1000"],)"
                          R"("env":[{"name":"A","value":"1"}]}],"restartPolicy":"Always")" +
                          extra + "}}";
        std::string body;
        EXPECT_EQ(sim_.request("POST", "/api/v1/namespaces/default/pods", pod, &body), 201) << body;
        JsonPtr j(cJSON_Parse(body.c_str()));
        const char *rv = str(j.get(), "metadata.resourceVersion");
        return rv ? rv : "";
    }
    std::string body() const { return client_->dataReceived ? static_cast<const char *>(client_->dataReceived) : ""; }

    KubesimProcess sim_;
    sslConfig_t *tls_ = nullptr;
    apiClient_t *client_ = nullptr;
};

v1_node_t *nodeRecord(const char *name)
{
    list_t *labels = list_createList();
    list_addElement(labels, keyValuePair_create(strdup("type"), strdup("ozferry")));
    list_t *conds = list_createList();
    list_addElement(conds, v1_node_condition_create(strdup("2026-12-07T08:45:46Z"), strdup("2026-12-07T08:45:46Z"),
                                                    strdup("starting"), strdup("FerryStarting"), strdup("False"),
                                                    strdup("Ready")));
    return v1_node_create(strdup("v1"), strdup("Node"),
                          v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, labels, nullptr,
                                                strdup(name), nullptr, nullptr, nullptr, nullptr, nullptr),
                          nullptr,
                          v1_node_status_create(nullptr, nullptr, nullptr, conds, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr));
}

TEST_F(KubeApi, NodeReadCreateAndStatusPatch)
{
    char name[] = "node1";
    // Absent: 404 with a Status body, parsed as a node without uid.
    v1_node_t *node = CoreV1API_readNode(client_, name, nullptr);
    EXPECT_EQ(client_->response_code, 404);
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(node->metadata == nullptr || node->metadata->uid == nullptr);
    EXPECT_NE(body().find(R"(nodes \"node1\" not found)"), std::string::npos) << body();
    v1_node_free(node);

    v1_node_t *rec = nodeRecord(name);
    node = CoreV1API_createNode(client_, rec, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(client_->response_code, 201) << body();
    ASSERT_NE(node, nullptr);
    ASSERT_NE(node->metadata->uid, nullptr);
    std::string uid = node->metadata->uid;
    v1_node_free(node);
    node = CoreV1API_createNode(client_, rec, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(client_->response_code, 409) << body();
    v1_node_free(node);
    v1_node_free(rec);

    node = CoreV1API_readNode(client_, name, nullptr);
    EXPECT_EQ(client_->response_code, 200);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(uid, node->metadata->uid);
    ASSERT_NE(node->metadata->labels, nullptr);
    auto *label = static_cast<keyValuePair_t *>(node->metadata->labels->firstEntry->data);
    EXPECT_STREQ(label->key, "type");
    EXPECT_STREQ(static_cast<char *>(label->value), "ozferry");
    v1_node_free(node);

    // The status patch merges conditions by type and addresses by type.
    object_t *p = patchOf(R"({"status":{"conditions":[{"type":"Ready","status":"True","reason":"FerryReady",)"
                          R"("lastHeartbeatTime":"2026-12-07T08:46:00Z","lastTransitionTime":"2026-12-07T08:46:00Z"},)"
                          R"({"type":"MemoryPressure","status":"False"}],)"
                          R"("addresses":[{"type":"InternalIP","address":"10.0.0.5"}],"capacity":{"pods":"9"}}})");
    node = CoreV1API_patchNodeStatus(client_, name, p, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(client_->response_code, 200) << body();
    ASSERT_NE(node, nullptr);
    ASSERT_NE(node->status, nullptr);
    ASSERT_EQ(node->status->conditions->count, 2);
    auto *ready = static_cast<v1_node_condition_t *>(node->status->conditions->firstEntry->data);
    EXPECT_STREQ(ready->type, "Ready");
    EXPECT_STREQ(ready->status, "True");
    v1_node_free(node);
    object_free(p);

    // A patch carrying another uid is refused as a conflict.
    p = patchOf(R"({"metadata":{"uid":"not-the-uid"},"status":{"phase":"Running"}})");
    node = CoreV1API_patchNodeStatus(client_, name, p, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(client_->response_code, 409) << body();
    v1_node_free(node);
    object_free(p);

    auto reqs = sim_.requests();
    ASSERT_GE(reqs.size(), 5u);
    const KubesimRequest &patchReq = reqs[4];
    EXPECT_EQ(patchReq.method, "PATCH");
    EXPECT_EQ(patchReq.path, "/api/v1/nodes/node1/status");
    EXPECT_EQ(patchReq.contentType, "application/strategic-merge-patch+json");
    EXPECT_EQ(patchReq.user, "system:node:node1"); // the client certificate was used
}

TEST_F(KubeApi, LeaseCreateReadAndRenew)
{
    char ns[] = "kube-node-lease", name[] = "node1";
    v1_lease_t *lease = CoordinationV1API_readNamespacedLease(client_, name, ns, nullptr);
    EXPECT_EQ(client_->response_code, 404);
    v1_lease_free(lease);

    list_t *owners = list_createList();
    list_addElement(
        owners, v1_owner_reference_create(strdup("v1"), 0, 0, strdup("Node"), strdup("node1"), strdup("uid-of-node1")));
    v1_lease_t *rec = v1_lease_create(
        strdup("coordination.k8s.io/v1"), strdup("Lease"),
        v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr, strdup("node1"),
                              strdup("kube-node-lease"), owners, nullptr, nullptr, nullptr),
        v1_lease_spec_create(nullptr, strdup("node1"), 40, 0, strdup("2026-12-07T08:45:46.000000Z")));
    lease = CoordinationV1API_createNamespacedLease(client_, ns, rec, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(client_->response_code, 201) << body();
    ASSERT_NE(lease, nullptr);
    EXPECT_STREQ(lease->spec->holder_identity, "node1");
    EXPECT_EQ(lease->spec->lease_duration_seconds, 40);
    ASSERT_NE(lease->metadata->resource_version, nullptr);
    std::string rv = lease->metadata->resource_version;
    v1_lease_free(lease);
    v1_lease_free(rec);

    object_t *p = patchOf(R"({"spec":{"renewTime":"2026-12-07T08:46:26.000000Z"}})");
    lease = CoordinationV1API_patchNamespacedLease(client_, name, ns, p, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(client_->response_code, 200) << body();
    ASSERT_NE(lease, nullptr);
    EXPECT_STREQ(lease->spec->renew_time, "2026-12-07T08:46:26.000000Z");
    EXPECT_STREQ(lease->spec->holder_identity, "node1"); // merged, not replaced
    EXPECT_NE(rv, lease->metadata->resource_version);
    v1_lease_free(lease);
    object_free(p);

    lease = CoordinationV1API_readNamespacedLease(client_, name, ns, nullptr);
    EXPECT_EQ(client_->response_code, 200);
    ASSERT_NE(lease, nullptr);
    EXPECT_STREQ(lease->spec->renew_time, "2026-12-07T08:46:26.000000Z");
    ASSERT_NE(lease->metadata->owner_references, nullptr);
    EXPECT_EQ(lease->metadata->owner_references->count, 1);
    v1_lease_free(lease);

    // A stale resourceVersion in the patch is a conflict.
    p = patchOf(R"({"metadata":{"resourceVersion":")" + rv + R"("},"spec":{"leaseTransitions":1}})");
    lease = CoordinationV1API_patchNamespacedLease(client_, name, ns, p, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(client_->response_code, 409) << body();
    v1_lease_free(lease);
    object_free(p);
}

TEST_F(KubeApi, PodReadKeepsEveryMemberAndStatusPatchMergesContainers)
{
    createPod("web", "node1", R"(,"tolerations":[{"key":"k","operator":"Exists"}])");
    char ns[] = "default", name[] = "web";
    v1_pod_t *pod = CoreV1API_readNamespacedPod(client_, name, ns, nullptr);
    EXPECT_EQ(client_->response_code, 200);
    ASSERT_NE(pod, nullptr);
    EXPECT_STREQ(pod->spec->node_name, "node1");
    // Parsed and converted back, the pod is the server's pod, member for member.
    JsonPtr back(v1_pod_convertToJSON(pod));
    JsonPtr server = serverObject("/api/v1/namespaces/default/pods/web");
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(cJSON_Compare(server.get(), back.get(), 1)) << print(back.get()) << "\n" << print(server.get());
    v1_pod_free(pod);

    object_t *p = patchOf(
        R"({"status":{"phase":"Running","conditions":[{"type":"Ready","status":"True"}],"containerStatuses":[)"
        R"({"name":"c1","ready":true,"restartCount":0,"image":"busybox:1.36","imageID":"sha256:ab",)"
        R"("containerID":"ozc://web_c1","started":true,"state":{"running":{"startedAt":"2026-12-07T08:46:00Z"}}}]}})");
    pod = CoreV1API_patchNamespacedPodStatus(client_, name, ns, p, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(client_->response_code, 200) << body();
    ASSERT_NE(pod, nullptr);
    EXPECT_STREQ(pod->status->phase, "Running");
    ASSERT_NE(pod->status->container_statuses, nullptr);
    auto *cs = static_cast<v1_container_status_t *>(pod->status->container_statuses->firstEntry->data);
    EXPECT_STREQ(cs->container_id, "ozc://web_c1");
    ASSERT_NE(cs->state->running, nullptr);
    // The spec is untouched by a status patch.
    auto *c = static_cast<v1_container_t *>(pod->spec->containers->firstEntry->data);
    EXPECT_STREQ(c->image, "busybox:1.36");
    v1_pod_free(pod);
    object_free(p);

    // Status patch of a pod that does not exist: 404, a record without uid.
    char missing[] = "missing";
    p = patchOf(R"({"status":{"phase":"Running"}})");
    pod = CoreV1API_patchNamespacedPodStatus(client_, missing, ns, p, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(client_->response_code, 404);
    ASSERT_NE(pod, nullptr);
    EXPECT_TRUE(pod->metadata == nullptr || pod->metadata->uid == nullptr);
    v1_pod_free(pod);
    object_free(p);
}

TEST_F(KubeApi, SecretRead)
{
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets",
                           R"({"apiVersion":"v1","kind":"Secret","metadata":{"name":"regcred"},)"
                           R"("type":"kubernetes.io/dockerconfigjson",)"
                           R"("data":{".dockerconfigjson":"eyJhdXRocyI6e319"}})"),
              201);
    char ns[] = "default", name[] = "regcred", other[] = "nope";
    v1_secret_t *s = CoreV1API_readNamespacedSecret(client_, name, ns, nullptr);
    EXPECT_EQ(client_->response_code, 200);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->type, "kubernetes.io/dockerconfigjson");
    ASSERT_NE(s->data, nullptr);
    auto *kv = static_cast<keyValuePair_t *>(s->data->firstEntry->data);
    EXPECT_STREQ(kv->key, ".dockerconfigjson");
    EXPECT_STREQ(static_cast<char *>(kv->value), "eyJhdXRocyI6e319");
    v1_secret_free(s);
    s = CoreV1API_readNamespacedSecret(client_, other, ns, nullptr);
    EXPECT_EQ(client_->response_code, 404);
    v1_secret_free(s);
}

TEST_F(KubeApi, ListByNodeThenWatchWithBookmarks)
{
    createPod("a", "node1");
    createPod("b", "node2");
    createPod("c", "node1");
    char sel[] = "spec.nodeName=node1";
    v1_pod_list_t *list =
        CoreV1API_listPodForAllNamespaces(client_, 0, nullptr, sel, nullptr, 0, nullptr, nullptr, nullptr, 0, 0);
    EXPECT_EQ(client_->response_code, 200);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->items, nullptr);
    ASSERT_EQ(list->items->count, 2);
    EXPECT_STREQ(static_cast<v1_pod_t *>(list->items->firstEntry->data)->metadata->name, "a");
    EXPECT_STREQ(static_cast<v1_pod_t *>(list->items->lastEntry->data)->metadata->name, "c");
    ASSERT_NE(list->metadata, nullptr);
    ASSERT_NE(list->metadata->resource_version, nullptr);
    std::string rv = list->metadata->resource_version;
    v1_pod_list_free(list);

    // Changes after the list: a new pod here, one elsewhere, a status change
    // and a removal here.
    createPod("d", "node1");
    createPod("e", "node2");
    ASSERT_EQ(sim_.request("PATCH", "/api/v1/namespaces/default/pods/a/status", R"({"status":{"phase":"Running"}})",
                           nullptr, "application/merge-patch+json"),
              200);
    ASSERT_EQ(sim_.request("DELETE", "/api/v1/namespaces/default/pods/c", R"({"gracePeriodSeconds":0})"), 200);

    std::vector<char> rvText(rv.begin(), rv.end());
    rvText.push_back('\0');
    list =
        CoreV1API_listPodForAllNamespaces(client_, 1, nullptr, sel, nullptr, 0, nullptr, rvText.data(), nullptr, 1, 1);
    EXPECT_EQ(client_->response_code, 200);
    v1_pod_list_free(list); // the first event read as a list: no items
    std::string stream = body();
    EXPECT_EQ(client_->dataReceivedLen, static_cast<long>(stream.size()));
    std::vector<std::string> seen;
    size_t start = 0;
    while (start < stream.size()) {
        size_t end = stream.find('\n', start);
        JsonPtr ev(cJSON_Parse(stream.substr(start, end - start).c_str()));
        ASSERT_NE(ev, nullptr) << stream;
        std::string type = str(ev.get(), "type");
        const char *n = str(ev.get(), "object.metadata.name");
        seen.push_back(type + (n ? std::string(" ") + n : ""));
        if (type != "BOOKMARK") {
            v1_pod_t *pod = v1_pod_parseFromJSON(cJSON_GetObjectItem(ev.get(), "object"));
            EXPECT_NE(pod, nullptr);
            v1_pod_free(pod);
        }
        start = end == std::string::npos ? stream.size() : end + 1;
    }
    std::vector<std::string> want = {"ADDED d", "MODIFIED a", "DELETED c", "BOOKMARK"};
    EXPECT_EQ(seen, want) << stream;

    // The caller may take the stream over; freeing the client then leaves it alone.
    char *taken = static_cast<char *>(client_->dataReceived);
    client_->dataReceived = nullptr;
    client_->dataReceivedLen = 0;
    free(taken);
}

TEST_F(KubeApi, WatchFromACompactedVersionGetsGone)
{
    std::string rv = createPod("a", "node1");
    createPod("b", "node1");
    ASSERT_TRUE(sim_.compact());
    char sel[] = "spec.nodeName=node1";
    std::vector<char> rvText(rv.begin(), rv.end());
    rvText.push_back('\0');
    v1_pod_list_t *list =
        CoreV1API_listPodForAllNamespaces(client_, 1, nullptr, sel, nullptr, 0, nullptr, rvText.data(), nullptr, 5, 1);
    EXPECT_EQ(client_->response_code, 200);
    v1_pod_list_free(list);
    JsonPtr ev(cJSON_Parse(body().c_str()));
    ASSERT_NE(ev, nullptr) << body();
    EXPECT_STREQ(str(ev.get(), "type"), "ERROR");
    cJSON *object = cJSON_GetObjectItem(ev.get(), "object");
    v1_status_t *st = v1_status_parseFromJSON(object);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->code, 410);
    EXPECT_STREQ(st->reason, "Expired");
    v1_status_free(st);
}

TEST_F(KubeApi, DeleteWithPreconditionsConflictAndGracefulRemoval)
{
    createPod("web", "node1");
    char ns[] = "default", name[] = "web";
    v1_pod_t *pod = CoreV1API_readNamespacedPod(client_, name, ns, nullptr);
    ASSERT_NE(pod, nullptr);
    std::string uid = pod->metadata->uid, rv = pod->metadata->resource_version;
    v1_pod_free(pod);

    auto deleteWith = [&](const std::string &pRv, const std::string &pUid, long grace) {
        v1_delete_options_t *opts =
            v1_delete_options_create(nullptr, nullptr, grace, nullptr, 0,
                                     v1_preconditions_create(strdup(pRv.c_str()), strdup(pUid.c_str())), nullptr);
        v1_pod_t *answer = CoreV1API_deleteNamespacedPod(client_, name, ns, nullptr, nullptr, 0, 0, nullptr, opts);
        v1_delete_options_free(opts);
        return answer;
    };

    // Wrong uid, then a stale resourceVersion: 409 with the Status body, which
    // comes back as a pod record without uid (the conflict retry reads it).
    pod = deleteWith(rv, "another-uid", 0);
    EXPECT_EQ(client_->response_code, 409);
    ASSERT_NE(pod, nullptr);
    EXPECT_TRUE(pod->metadata == nullptr || pod->metadata->uid == nullptr);
    EXPECT_NE(body().find("Precondition failed: UID in precondition"), std::string::npos) << body();
    v1_pod_free(pod);
    pod = deleteWith("1", uid, 0);
    EXPECT_EQ(client_->response_code, 409);
    v1_pod_free(pod);

    // Right preconditions on a bound pod: deleted gracefully, still there.
    pod = deleteWith(rv, uid, 0);
    EXPECT_EQ(client_->response_code, 200) << body();
    ASSERT_NE(pod, nullptr);
    EXPECT_EQ(uid, pod->metadata->uid);
    EXPECT_NE(pod->metadata->deletion_timestamp, nullptr);
    EXPECT_EQ(pod->metadata->deletion_grace_period_seconds, 30);
    std::string rv2 = pod->metadata->resource_version;
    v1_pod_free(pod);
    ASSERT_NE(serverObject("/api/v1/namespaces/default/pods/web"), nullptr);

    // The request carried the options as JSON.
    auto reqs = sim_.requests();
    ASSERT_FALSE(reqs.empty());
    const KubesimRequest &last = reqs.back();
    EXPECT_EQ(last.method, "DELETE");
    EXPECT_EQ(last.contentType, "application/json");
    EXPECT_EQ(last.body, R"({"preconditions":{"resourceVersion":")" + rv + R"(","uid":")" + uid + R"("}})");

    // A second delete while the deletion is pending changes nothing.
    pod = deleteWith(rv2, uid, 0);
    EXPECT_EQ(client_->response_code, 200);
    ASSERT_NE(pod, nullptr);
    EXPECT_EQ(rv2, pod->metadata->resource_version);
    v1_pod_free(pod);

    // Once the pod has finished, the delete removes it.
    object_t *p = patchOf(R"({"status":{"phase":"Succeeded"}})");
    pod = CoreV1API_patchNamespacedPodStatus(client_, name, ns, p, nullptr, nullptr, nullptr, nullptr, 0);
    object_free(p);
    ASSERT_NE(pod, nullptr);
    std::string rv3 = pod->metadata->resource_version;
    v1_pod_free(pod);
    pod = deleteWith(rv3, uid, 0);
    EXPECT_EQ(client_->response_code, 200) << body();
    v1_pod_free(pod);
    EXPECT_EQ(serverObject("/api/v1/namespaces/default/pods/web"), nullptr);
    pod = deleteWith(rv3, uid, 0);
    EXPECT_EQ(client_->response_code, 404);
    ASSERT_NE(pod, nullptr);
    v1_pod_free(pod);
}

TEST_F(KubeApi, FailureCodesAndTls)
{
    char name[] = "node1";
    // Injected server errors come back with their code and Status body.
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/node1", 503, 1));
    v1_node_t *node = CoreV1API_readNode(client_, name, nullptr);
    EXPECT_EQ(client_->response_code, 503);
    EXPECT_NE(body().find("\"code\": 503"), std::string::npos) << body();
    v1_node_free(node);
    // A dropped connection is no answer. The request went over the
    // connection the earlier one left open, and a kept connection that ends
    // without an answer may just have been closed by the server meanwhile:
    // the request is sent once more over a new one, which is dropped too.
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/node1", 0, 2, 0, true));
    node = CoreV1API_readNode(client_, name, nullptr);
    EXPECT_EQ(client_->response_code, 0);
    EXPECT_EQ(node, nullptr);
    // Faults are used up: the next read reaches the server.
    node = CoreV1API_readNode(client_, name, nullptr);
    EXPECT_EQ(client_->response_code, 404);
    v1_node_free(node);

    // No client certificate: the server answers 401.
    sslConfig_t *noCert = sslConfig_create(nullptr, nullptr, sim_.caPath().c_str(), 0);
    apiClient_t *anon = apiClient_create_with_base_path(sim_.url().c_str(), noCert, nullptr);
    node = CoreV1API_readNode(anon, name, nullptr);
    EXPECT_EQ(anon->response_code, 401);
    v1_node_free(node);
    apiClient_free(anon);
    sslConfig_free(noCert);

    // The server is always checked: against another CA it gives no answer,
    // whatever the skip flag says.
    sslConfig_t *wrongCa =
        sslConfig_create(sim_.certPath().c_str(), sim_.keyPath().c_str(), sim_.certPath().c_str(), 1);
    apiClient_t *c = apiClient_create_with_base_path(sim_.url().c_str(), wrongCa, nullptr);
    node = CoreV1API_readNode(c, name, nullptr);
    EXPECT_EQ(c->response_code, 0);
    EXPECT_EQ(node, nullptr);
    apiClient_free(c);
    sslConfig_free(wrongCa);
}

// Many tasks at once, each with its own client on one shared TLS set-up.
TEST_F(KubeApi, ConcurrentClientsShareOneTlsConfiguration)
{
    createPod("web", "node1");
    std::atomic<int> ok{0};
    std::vector<std::thread> tasks;
    for (int t = 0; t < 6; t++) {
        tasks.emplace_back([&] {
            apiClient_t *c = apiClient_create_with_base_path(sim_.url().c_str(), tls_, nullptr);
            char ns[] = "default", name[] = "web";
            for (int i = 0; i < 5; i++) {
                v1_pod_t *pod = CoreV1API_readNamespacedPod(c, name, ns, nullptr);
                if (pod != nullptr && c->response_code == 200 && pod->metadata && pod->metadata->uid) {
                    ok++;
                }
                v1_pod_free(pod);
            }
            apiClient_free(c);
        });
    }
    for (auto &t : tasks) {
        t.join();
    }
    EXPECT_EQ(ok.load(), 30);
}

} // namespace
