// Model records of the Kubernetes API client: JSON round trip, building the
// records the node agent sends, and refusal of malformed input.
#include "kube.h"
#include "ozOwners.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using oz::JsonPtr;

std::string print(cJSON *json)
{
    char *text = cJSON_PrintUnformatted(json);
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

// A pod as the API server returns it (shape of the public API reference's
// examples), with many members the node agent never reads.
const char *kPodJson = R"({
 "kind": "Pod", "apiVersion": "v1",
 "metadata": {
  "name": "nginx-7c5ddbdf54-x2x7k", "generateName": "nginx-7c5ddbdf54-", "namespace": "default",
  "uid": "0f3a7c7e-2a4b-4f5e-9a1c-5c0f6f0d8e21", "resourceVersion": "104233", "generation": 0,
  "creationTimestamp": "2026-12-07T08:45:46Z",
  "deletionTimestamp": "2026-12-07T09:00:00Z", "deletionGracePeriodSeconds": 30,
  "labels": {"app": "nginx", "pod-template-hash": "7c5ddbdf54"},
  "annotations": {"kubernetes.io/psp": "eks.privileged"},
  "ownerReferences": [{"apiVersion": "apps/v1", "kind": "ReplicaSet", "name": "nginx-7c5ddbdf54",
    "uid": "5b9a1a8e-1c11-4d53-8a3f-2d6ad1cf0a77", "controller": true, "blockOwnerDeletion": true}],
  "finalizers": ["example.com/keep"],
  "managedFields": [{"manager": "kube-controller-manager", "operation": "Update", "apiVersion": "v1",
    "time": "2026-12-07T08:45:46Z", "fieldsType": "FieldsV1",
    "fieldsV1": {"f:metadata": {"f:generateName": {}, "f:labels": {".": {}, "f:app": {}}}}}]
 },
 "spec": {
  "volumes": [{"name": "kube-api-access-9xz2k", "projected": {"sources": [{"serviceAccountToken":
    {"expirationSeconds": 3607, "path": "token"}}], "defaultMode": 420}}],
  "containers": [{"name": "nginx", "image": "nginx:1.25", "command": ["nginx", "-g", "daemon off;"],
    "ports": [{"containerPort": 80, "protocol": "TCP"}],
    "env": [{"name": "MODE", "value": "prod"}],
    "resources": {"limits": {"cpu": "500m"}}, "terminationMessagePath": "/dev/termination-log",
    "imagePullPolicy": "IfNotPresent", "stdin": false}],
  "restartPolicy": "Always", "terminationGracePeriodSeconds": 30, "dnsPolicy": "ClusterFirst",
  "nodeName": "node1", "hostNetwork": false, "imagePullSecrets": [{"name": "regcred"}],
  "tolerations": [{"key": "node.kubernetes.io/not-ready", "operator": "Exists",
    "effect": "NoExecute", "tolerationSeconds": 300}],
  "priority": 0, "enableServiceLinks": true, "preemptionPolicy": "PreemptLowerPriority"
 },
 "status": {
  "phase": "Running",
  "conditions": [{"type": "Initialized", "status": "True", "lastProbeTime": null,
    "lastTransitionTime": "2026-12-07T08:45:46Z"}],
  "hostIP": "192.168.1.20", "podIP": "192.168.1.20", "podIPs": [{"ip": "192.168.1.20"}],
  "startTime": "2026-12-07T08:45:46Z",
  "containerStatuses": [{"name": "nginx", "state": {"running": {"startedAt": "2026-12-07T08:45:50Z"}},
    "lastState": {}, "ready": false, "restartCount": 0, "image": "docker.io/library/nginx:1.25",
    "imageID": "docker.io/library/nginx@sha256:aaaa", "containerID": "ozc://nginx_1", "started": true}],
  "qosClass": "BestEffort"
 }
})";

const char *kNodeJson = R"({
 "kind": "Node", "apiVersion": "v1",
 "metadata": {"name": "node1", "uid": "d8f3e1b0-0000-4000-8000-000000000001", "resourceVersion": "12",
  "labels": {"kubernetes.io/hostname": "node1", "type": "ozferry"},
  "annotations": {"node.alpha.kubernetes.io/ttl": "0"}},
 "spec": {"podCIDR": "10.244.0.0/24", "podCIDRs": ["10.244.0.0/24"],
  "taints": [{"key": "node-role.kubernetes.io/control-plane", "effect": "NoSchedule"}]},
 "status": {
  "capacity": {"cpu": "4", "pods": "110", "memory": "8029892Ki"},
  "allocatable": {"cpu": "4", "pods": "110"},
  "conditions": [{"type": "Ready", "status": "True", "lastHeartbeatTime": "2026-12-07T08:45:46Z",
    "lastTransitionTime": "2026-12-07T08:00:00Z", "reason": "FerryReady",
    "message": "ferry is posting ready status"}],
  "addresses": [{"type": "InternalIP", "address": "192.168.1.20"}, {"type": "Hostname", "address": "node1"}],
  "daemonEndpoints": {"kubeletEndpoint": {"Port": 10250}},
  "nodeInfo": {"machineID": "", "systemUUID": "", "bootID": "", "kernelVersion": "26.03",
   "osImage": "SMP 64-bit", "containerRuntimeVersion": "ozc://1.0.1.8", "kubeletVersion": "1.0.1.8",
   "kubeProxyVersion": "1.0.1.8", "operatingSystem": "Orrery", "architecture": "amd64"},
  "images": [{"names": ["nginx:1.25"], "sizeBytes": 187000000}],
  "phase": "Running"
 }
})";

const char *kLeaseJson = R"({
 "kind": "Lease", "apiVersion": "coordination.k8s.io/v1",
 "metadata": {"name": "node1", "namespace": "kube-node-lease", "uid": "a1b2", "resourceVersion": "77",
  "ownerReferences": [{"apiVersion": "v1", "kind": "Node", "name": "node1", "uid": "d8f3"}]},
 "spec": {"holderIdentity": "node1", "leaseDurationSeconds": 40, "leaseTransitions": 0,
  "renewTime": "2026-12-07T08:45:46.000000Z"}
})";

template <typename T, typename Parse, typename Convert>
std::string roundTrip(const char *text, Parse parse, Convert convert, void (*release)(T *))
{
    JsonPtr in(cJSON_Parse(text));
    EXPECT_NE(in, nullptr);
    T *rec = parse(in.get());
    EXPECT_NE(rec, nullptr);
    JsonPtr out(convert(rec));
    release(rec);
    EXPECT_NE(out, nullptr);
    EXPECT_TRUE(cJSON_Compare(in.get(), out.get(), 1)) << print(out.get());
    return print(out.get());
}

TEST(KubeModel, RoundTripKeepsEveryMemberInOrder)
{
    std::string pod = roundTrip<v1_pod_t>(kPodJson, v1_pod_parseFromJSON, v1_pod_convertToJSON, v1_pod_free);
    JsonPtr orig(cJSON_Parse(kPodJson));
    // Same member order too, so printed texts compare equal.
    EXPECT_EQ(pod, print(orig.get()));
    roundTrip<v1_node_t>(kNodeJson, v1_node_parseFromJSON, v1_node_convertToJSON, v1_node_free);
    roundTrip<v1_lease_t>(kLeaseJson, v1_lease_parseFromJSON, v1_lease_convertToJSON, v1_lease_free);
}

TEST(KubeModel, ParsedFieldsCarryTheValues)
{
    JsonPtr in(cJSON_Parse(kPodJson));
    v1_pod_t *pod = v1_pod_parseFromJSON(in.get());
    ASSERT_NE(pod, nullptr);
    ASSERT_NE(pod->metadata, nullptr);
    EXPECT_STREQ(pod->metadata->name, "nginx-7c5ddbdf54-x2x7k");
    EXPECT_STREQ(pod->metadata->_namespace, "default");
    EXPECT_STREQ(pod->metadata->uid, "0f3a7c7e-2a4b-4f5e-9a1c-5c0f6f0d8e21");
    EXPECT_STREQ(pod->metadata->resource_version, "104233");
    EXPECT_STREQ(pod->metadata->deletion_timestamp, "2026-12-07T09:00:00Z");
    EXPECT_EQ(pod->metadata->deletion_grace_period_seconds, 30);
    ASSERT_NE(pod->metadata->labels, nullptr);
    EXPECT_EQ(pod->metadata->labels->count, 2);
    auto *label = static_cast<keyValuePair_t *>(pod->metadata->labels->firstEntry->data);
    EXPECT_STREQ(label->key, "app");
    EXPECT_STREQ(static_cast<char *>(label->value), "nginx");
    ASSERT_NE(pod->spec, nullptr);
    EXPECT_STREQ(pod->spec->node_name, "node1");
    ASSERT_EQ(pod->spec->containers->count, 1);
    auto *c = static_cast<v1_container_t *>(pod->spec->containers->firstEntry->data);
    EXPECT_STREQ(c->name, "nginx");
    EXPECT_STREQ(c->image, "nginx:1.25");
    EXPECT_STREQ(c->image_pull_policy, "IfNotPresent");
    auto *secret = static_cast<v1_local_object_reference_t *>(pod->spec->image_pull_secrets->firstEntry->data);
    EXPECT_STREQ(secret->name, "regcred");
    ASSERT_NE(pod->status, nullptr);
    auto *cs = static_cast<v1_container_status_t *>(pod->status->container_statuses->firstEntry->data);
    ASSERT_NE(cs->state, nullptr);
    ASSERT_NE(cs->state->running, nullptr);
    EXPECT_EQ(cs->state->waiting, nullptr);
    EXPECT_STREQ(cs->state->running->started_at, "2026-12-07T08:45:50Z");
    EXPECT_TRUE(cs->started);
    EXPECT_FALSE(cs->ready);
    v1_pod_free(pod);
}

// The pod monitor compares printed specs: a change in a member it never
// reads must show, and an unchanged spec must print the same.
TEST(KubeModel, SpecChangeInUnreadMemberIsSeen)
{
    JsonPtr a(cJSON_Parse(kPodJson));
    JsonPtr b(cJSON_Parse(kPodJson));
    cJSON *env = cJSON_GetArrayItem(
        cJSON_GetObjectItem(
            cJSON_GetArrayItem(cJSON_GetObjectItem(cJSON_GetObjectItem(b.get(), "spec"), "containers"), 0), "env"),
        0);
    cJSON_ReplaceItemInObject(env, "value", cJSON_CreateString("debug"));

    auto specText = [](cJSON *pod) {
        v1_pod_spec_t *spec = v1_pod_spec_parseFromJSON(cJSON_GetObjectItem(pod, "spec"));
        EXPECT_NE(spec, nullptr);
        JsonPtr out(v1_pod_spec_convertToJSON(spec));
        v1_pod_spec_free(spec);
        return print(out.get());
    };
    JsonPtr a2(cJSON_Parse(kPodJson));
    EXPECT_EQ(specText(a.get()), specText(a2.get()));
    EXPECT_NE(specText(a.get()), specText(b.get()));
    EXPECT_NE(specText(b.get()).find("\"debug\""), std::string::npos);
}

TEST(KubeModel, EditedFieldsWinAndClearedFieldsGo)
{
    JsonPtr in(cJSON_Parse(kPodJson));
    v1_pod_t *pod = v1_pod_parseFromJSON(in.get());
    ASSERT_NE(pod, nullptr);
    free(pod->metadata->resource_version);
    pod->metadata->resource_version = strdup("200000");
    free(pod->metadata->deletion_timestamp);
    pod->metadata->deletion_timestamp = nullptr;
    pod->metadata->deletion_grace_period_seconds = 0; // came with the JSON: a zero is still written
    v1_pod_status_free(pod->status);
    pod->status = nullptr;
    JsonPtr out(v1_pod_convertToJSON(pod));
    v1_pod_free(pod);
    cJSON *meta = cJSON_GetObjectItem(out.get(), "metadata");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(meta, "resourceVersion")), "200000");
    EXPECT_EQ(cJSON_GetObjectItem(meta, "deletionTimestamp"), nullptr);
    ASSERT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(meta, "deletionGracePeriodSeconds")));
    EXPECT_EQ(cJSON_GetObjectItem(meta, "deletionGracePeriodSeconds")->valueint, 0);
    EXPECT_EQ(cJSON_GetObjectItem(out.get(), "status"), nullptr);
    EXPECT_NE(cJSON_GetObjectItem(meta, "managedFields"), nullptr);
}

TEST(KubeModel, MalformedInputIsRefused)
{
    EXPECT_EQ(v1_pod_parseFromJSON(nullptr), nullptr);
    JsonPtr arr(cJSON_Parse("[1,2]"));
    EXPECT_EQ(v1_pod_parseFromJSON(arr.get()), nullptr);
    // Wrong JSON types in members with a field, at several depths; every one
    // is refused without leaks (checked under the address sanitizer).
    const char *bad[] = {
        R"({"metadata": {"name": 5}})",
        R"({"metadata": {"labels": {"a": 1}}})",
        R"({"metadata": {"labels": ["a"]}})",
        R"({"metadata": {"finalizers": ["a", 2]}})",
        R"({"metadata": {"generation": "1"}})",
        R"({"metadata": {"generation": 1e300}})", // no integer would hold it
        R"({"metadata": {"deletionGracePeriodSeconds": 1.5}})",
        R"({"status": {"containerStatuses": [{"name": "a", "restartCount": 4294967296}]}})",
        R"({"spec": {"containers": [{"name": "a"}, "b"]}})",
        R"({"spec": {"containers": {"name": "a"}}})",
        R"({"status": {"containerStatuses": [{"name": "a", "ready": "yes"}]}})",
        R"({"status": {"containerStatuses": [{"name": "a", "state": {"running": {"startedAt": 1}}}]}})",
        R"({"spec": "none"})",
    };
    for (const char *text : bad) {
        JsonPtr j(cJSON_Parse(text));
        ASSERT_NE(j, nullptr) << text;
        EXPECT_EQ(v1_pod_parseFromJSON(j.get()), nullptr) << text;
    }
    // A Status body parsed as a pod gives a pod without metadata: callers
    // tell it from a real pod by the missing uid.
    JsonPtr status(cJSON_Parse(R"({"kind":"Status","apiVersion":"v1","metadata":{},"status":"Failure",
        "message":"pods \"x\" not found","reason":"NotFound","details":{"name":"x","kind":"pods"},"code":404})"));
    v1_pod_t *pod = v1_pod_parseFromJSON(status.get());
    ASSERT_NE(pod, nullptr);
    ASSERT_NE(pod->metadata, nullptr);
    EXPECT_EQ(pod->metadata->uid, nullptr);
    EXPECT_EQ(pod->spec, nullptr);
    EXPECT_EQ(pod->status, nullptr); // the Status's "status" text is no pod status
    {
        // Converted back, the answer is unchanged; a status set later takes
        // the place of the text instead of doubling the member.
        JsonPtr again(v1_pod_convertToJSON(pod));
        EXPECT_TRUE(cJSON_Compare(status.get(), again.get(), 1)) << print(again.get());
        pod->status = v1_pod_status_create(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           strdup("Running"), nullptr, nullptr, nullptr, nullptr, nullptr);
        JsonPtr edited(v1_pod_convertToJSON(pod));
        std::string text = print(edited.get());
        EXPECT_NE(text.find(R"("status":{"phase":"Running"})"), std::string::npos) << text;
        EXPECT_EQ(text.find("Failure"), std::string::npos) << text;
    }
    v1_pod_free(pod);
    // The same leniency holds for every kind asked for, and only for a Status.
    v1_node_t *node = v1_node_parseFromJSON(status.get());
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->metadata->uid, nullptr);
    v1_node_free(node);
    v1_pod_list_t *podList = v1_pod_list_parseFromJSON(status.get());
    ASSERT_NE(podList, nullptr);
    EXPECT_EQ(podList->items, nullptr);
    v1_pod_list_free(podList);
    JsonPtr notStatus(cJSON_Parse(R"({"kind":"Pod","status":"Failure"})"));
    EXPECT_EQ(v1_pod_parseFromJSON(notStatus.get()), nullptr);
    v1_status_t *st = v1_status_parseFromJSON(status.get());
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->code, 404);
    EXPECT_STREQ(st->reason, "NotFound");
    JsonPtr back(v1_status_convertToJSON(st));
    EXPECT_TRUE(cJSON_Compare(status.get(), back.get(), 1));
    v1_status_free(st);
}

// Every item of a JSON tree with its parent, depth first.
void collect(cJSON *parent, cJSON *item, std::vector<std::pair<cJSON *, cJSON *>> &out)
{
    out.emplace_back(parent, item);
    cJSON *child = nullptr;
    cJSON_ArrayForEach(child, item)
    {
        collect(item, child, out);
    }
}

// Every member of a document, at every depth, replaced in turn by a value of
// every JSON type: the parser either refuses the object or keeps it exactly
// (and, under the address sanitizer, touches no memory it should not).
// Counts the refused and the kept variants.
template <typename T>
void mutateEveryMember(const char *text, T *(*parse)(cJSON *), cJSON *(*convert)(T *), void (*release)(T *),
                       int &refused, int &kept)
{
    JsonPtr base(cJSON_Parse(text));
    std::vector<std::pair<cJSON *, cJSON *>> items;
    collect(nullptr, base.get(), items);
    const char *variants[] = {"null", "true", "7", "\"text\"", "[1,{\"a\":null}]", "{\"x\":[]}"};
    for (size_t i = 1; i < items.size(); i++) {
        for (const char *v : variants) {
            JsonPtr doc(cJSON_Duplicate(base.get(), 1));
            std::vector<std::pair<cJSON *, cJSON *>> mine;
            collect(nullptr, doc.get(), mine);
            ASSERT_EQ(mine.size(), items.size());
            auto [parent, item] = mine[i];
            ASSERT_TRUE(cJSON_IsObject(parent)
                            ? cJSON_ReplaceItemInObjectCaseSensitive(parent, item->string, cJSON_Parse(v))
                            : cJSON_ReplaceItemViaPointer(parent, item, cJSON_Parse(v)));
            T *rec = parse(doc.get());
            if (rec == nullptr) {
                refused++;
                continue;
            }
            kept++;
            JsonPtr out(convert(rec));
            release(rec);
            EXPECT_TRUE(cJSON_Compare(doc.get(), out.get(), 1)) << print(doc.get()) << "\n" << print(out.get());
        }
    }
}

TEST(KubeModel, EveryMemberWithEveryTypeIsRefusedOrKept)
{
    int refused = 0, kept = 0;
    mutateEveryMember<v1_pod_t>(kPodJson, v1_pod_parseFromJSON, v1_pod_convertToJSON, v1_pod_free, refused, kept);
    // Both outcomes occur: unknown members take any value, typed ones refuse.
    EXPECT_GT(refused, 100);
    EXPECT_GT(kept, 100);
    mutateEveryMember<v1_node_t>(kNodeJson, v1_node_parseFromJSON, v1_node_convertToJSON, v1_node_free, refused, kept);
    mutateEveryMember<v1_lease_t>(kLeaseJson, v1_lease_parseFromJSON, v1_lease_convertToJSON, v1_lease_free, refused,
                                  kept);
}

TEST(KubeModel, ExplicitNullsAndRepeatedMembers)
{
    JsonPtr in(cJSON_Parse(R"({"metadata":{"name":"a","uid":null,"name":"b"}})"));
    v1_pod_t *pod = v1_pod_parseFromJSON(in.get());
    ASSERT_NE(pod, nullptr);
    EXPECT_STREQ(pod->metadata->name, "b"); // the last repeated member counts
    EXPECT_EQ(pod->metadata->uid, nullptr);
    JsonPtr out(v1_pod_convertToJSON(pod));
    cJSON *meta = cJSON_GetObjectItem(out.get(), "metadata");
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(meta, "uid")));
    pod->metadata->uid = strdup("set-later");
    JsonPtr out2(v1_pod_convertToJSON(pod));
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(cJSON_GetObjectItem(out2.get(), "metadata"), "uid")),
                 "set-later");
    v1_pod_free(pod);
}

list_t *pairs(std::initializer_list<std::pair<const char *, const char *>> kv)
{
    list_t *l = list_createList();
    for (auto &[k, v] : kv) {
        list_addElement(l, keyValuePair_create(strdup(k), strdup(v)));
    }
    return l;
}

// The node status patch body: a Node record holding nothing but a status.
TEST(KubeModel, BuiltNodeStatusHasOnlyWhatWasSet)
{
    list_t *addrs = list_createList();
    list_addElement(addrs, v1_node_address_create(strdup(""), strdup("InternalIP")));
    list_addElement(addrs, v1_node_address_create(strdup("host"), strdup("Hostname")));
    list_t *conds = list_createList();
    list_addElement(conds, v1_node_condition_create(strdup("2026-12-07T08:45:46Z"), nullptr,
                                                    strdup("ferry is posting ready status"), strdup("FerryReady"),
                                                    strdup("True"), strdup("Ready")));
    v1_node_status_t *st = v1_node_status_create(addrs, pairs({{"cpu", "4"}, {"pods", "3"}}), nullptr, conds, nullptr,
                                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    v1_node_t *node = v1_node_create(nullptr, nullptr, nullptr, nullptr, st);
    JsonPtr out(v1_node_convertToJSON(node));
    v1_node_free(node);
    EXPECT_EQ(print(out.get()),
              R"({"status":{"addresses":[{"address":"","type":"InternalIP"},{"address":"host","type":"Hostname"}],)"
              R"("allocatable":{"cpu":"4","pods":"3"},"conditions":[{"lastHeartbeatTime":"2026-12-07T08:45:46Z",)"
              R"("message":"ferry is posting ready status","reason":"FerryReady","status":"True","type":"Ready"}]}})");
}

TEST(KubeModel, BuiltLeaseContainerStatusAndDeleteOptions)
{
    list_t *owners = list_createList();
    list_addElement(owners, v1_owner_reference_create(strdup("v1"), 0, 0, strdup("Node"), strdup("n1"), strdup("u1")));
    v1_object_meta_t *meta = v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                   strdup("n1"), nullptr, owners, nullptr, nullptr, nullptr);
    v1_lease_t *lease =
        v1_lease_create(strdup("coordination.k8s.io/v1"), strdup("Lease"), meta,
                        v1_lease_spec_create(nullptr, strdup("n1"), 300, 0, strdup("2026-12-07T08:45:46.000000Z")));
    JsonPtr out(v1_lease_convertToJSON(lease));
    v1_lease_free(lease);
    EXPECT_EQ(print(out.get()),
              R"({"apiVersion":"coordination.k8s.io/v1","kind":"Lease","metadata":{"name":"n1","ownerReferences":)"
              R"([{"apiVersion":"v1","kind":"Node","name":"n1","uid":"u1"}]},"spec":{"holderIdentity":"n1",)"
              R"("leaseDurationSeconds":300,"renewTime":"2026-12-07T08:45:46.000000Z"}})");

    // Required members are written even when zero or false.
    v1_container_status_t *cs = v1_container_status_create(
        strdup("ozc://c1"), strdup("img"), strdup("imgid"), nullptr, strdup("c"), 0, 0, 0,
        v1_container_state_create(
            nullptr,
            v1_container_state_terminated_create(strdup("c1"), 0, strdup("f"), nullptr, nullptr, 0, strdup("s")),
            nullptr));
    JsonPtr csOut(v1_container_status_convertToJSON(cs));
    v1_container_status_free(cs);
    EXPECT_EQ(print(csOut.get()),
              R"({"containerID":"ozc://c1","image":"img","imageID":"imgid","name":"c","ready":false,"restartCount":0,)"
              R"("state":{"terminated":{"containerID":"c1","exitCode":0,"finishedAt":"f","startedAt":"s"}}})");

    v1_delete_options_t *opts = v1_delete_options_create(
        nullptr, nullptr, 0, nullptr, 0, v1_preconditions_create(strdup("42"), strdup("uid-1")), nullptr);
    JsonPtr optOut(v1_delete_options_convertToJSON(opts));
    v1_delete_options_free(opts);
    EXPECT_EQ(print(optOut.get()), R"({"preconditions":{"resourceVersion":"42","uid":"uid-1"}})");
}

TEST(KubeModel, ListsPairsAndObjects)
{
    list_t *l = list_createList();
    int a = 1, b = 2, c = 3;
    list_addElement(l, &a);
    list_addElement(l, &b);
    list_addElement(l, &c);
    ASSERT_EQ(l->count, 3);
    EXPECT_EQ(list_getElementAt(l, 1)->data, &b);
    EXPECT_EQ(list_getElementAt(l, 3), nullptr);
    list_removeElement(l, list_getElementAt(l, 1));
    list_removeElement(l, list_getElementAt(l, 1)); // the former third
    EXPECT_EQ(l->count, 1);
    EXPECT_EQ(l->firstEntry, l->lastEntry);
    EXPECT_EQ(l->firstEntry->data, &a);
    list_t *other = list_createList();
    list_addElement(other, &a);
    list_removeElement(l, other->firstEntry); // not an entry of l: ignored
    EXPECT_EQ(l->count, 1);
    list_freeList(other);
    int n = 0;
    listEntry_t *e = nullptr;
    list_ForEach(e, l)
    {
        n++;
    }
    EXPECT_EQ(n, 1);
    list_freeList(l);
    list_t *none = nullptr;
    list_ForEach(e, none)
    {
        n++;
    }
    EXPECT_EQ(n, 1);

    object_t *obj = object_create();
    obj->temporary = strdup(R"({"a":[1,2]})");
    JsonPtr j(object_convertToJSON(obj));
    ASSERT_NE(j, nullptr);
    object_t *copy = object_parseFromJSON(j.get());
    EXPECT_STREQ(static_cast<char *>(copy->temporary), R"({"a":[1,2]})");
    object_free(copy);
    free(obj->temporary);
    obj->temporary = strdup("{not json");
    EXPECT_EQ(object_convertToJSON(obj), nullptr);
    object_free(obj);
}

} // namespace
