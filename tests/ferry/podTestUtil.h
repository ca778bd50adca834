/*
 * podTestUtil.h - helpers of the pod tests: pods in the emulator, the pod
 * manager's control block in this process without its tasks (the tests run
 * its steps), the emulator's request log, and test images in the local
 * registries.
 */
#ifndef FERRY_POD_TEST_UTIL_H
#define FERRY_POD_TEST_UTIL_H

#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"
#include "manager/regfixture.h"
#include "runtime/runtime_fixture.h"
#include "testutil/testjson.h"
#include "testutil/testutil.h"

#include "ozcontainer.h"
#include "ozkContainer.h"
#include "ozkClient.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkPodManager.h"
#include "ozkPodMonitor.h"
#include "ozkPodWorker.h"
#include "ozOwners.h"

#include <cjson/cJSON.h>
#include <dirent.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace podtest {

using namespace std::chrono_literals;

using Json = oz::JsonPtr;
struct PodDeleter {
    void operator()(v1_pod_t *p) const { v1_pod_free(p); }
};
using Pod = std::unique_ptr<v1_pod_t, PodDeleter>;

inline Json parse(const std::string &text)
{
    return oztest::parseJson(text);
}

using oztest::at;
using oztest::str;

using ferrytest::waitFor;

inline std::string b64(const std::string &in)
{
    static const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        v |= i + 1 < in.size() ? static_cast<uint8_t>(in[i + 1]) << 8 : 0;
        v |= i + 2 < in.size() ? static_cast<uint8_t>(in[i + 2]) : 0;
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
    }
    return out;
}

/* "running", "waiting:<reason>" or "terminated:<exit code>:<reason>" of a
 * container status of the pod as the API server has it. */
inline std::string stateOf(const cJSON *pod, int index)
{
    const cJSON *status = at(pod, "status.containerStatuses." + std::to_string(index));
    if (at(status, "state.running") != nullptr) {
        return "running";
    }
    if (at(status, "state.waiting") != nullptr) {
        return "waiting:" + str(status, "state.waiting.reason");
    }
    if (at(status, "state.terminated") != nullptr) {
        return "terminated:" + str(status, "state.terminated.exitCode") + ":" + str(status, "state.terminated.reason");
    }
    return "<none>";
}

inline std::vector<std::string> dirEntries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    return names;
}

using EnvScopes = std::vector<std::unique_ptr<regfix::EnvScope>>;

/* The environment of the node's local side in a pod test, held by `scopes`:
 * the base directory and the image store, overlays off, the daemon's lines
 * at their default, and the registries' CA when they run. */
inline void localNodeEnv(const std::string &base, const std::string &images, EnvScopes &scopes)
{
    regfix::Registries &reg = regfix::Registries::get();
    scopes.emplace_back(std::make_unique<regfix::EnvScope>("OZC_BASE", base.c_str()));
    scopes.emplace_back(std::make_unique<regfix::EnvScope>("OZC_IMAGE_PATH", images.c_str()));
    scopes.emplace_back(std::make_unique<regfix::EnvScope>("OZ_OVERLAY_DEV_DIR", ""));
    scopes.emplace_back(std::make_unique<regfix::EnvScope>("OZC_VERBOSE", nullptr));
    if (reg.ok()) {
        scopes.emplace_back(std::make_unique<regfix::EnvScope>("OZC_TLS_CA_CERT_FILE", reg["OZ_REG_CA"].c_str()));
    }
}

/* Deletes every container of the runtime daemon, running or not. */
inline void deleteAllContainers()
{
    std::unique_ptr<char, decltype(&free)> text(ozcList(), free);
    Json list(text ? cJSON_Parse(text.get()) : nullptr);
    cJSON *e = nullptr;
    cJSON_ArrayForEach(e, list.get())
    {
        const cJSON *id = cJSON_GetObjectItem(e, "id");
        if (cJSON_IsString(id)) {
            (void)ozcDelete(id->valuestring, 2);
        }
    }
}

/* A local image layout `images`/`name` holding `tag`, annotated with the
 * image's full name as the image manager writes it for `ref`. */
inline bool localImage(const std::string &images, const std::string &name, const std::string &tag,
                       const std::string &ref, const std::string &args = "")
{
    std::string layout = images + "/" + name;
    if (!rtfix::mkimage(layout, "--tag " + tag + " " + args)) {
        return false;
    }
    regfix::CtxPtr ctx(ozcRegistryCtxCreate());
    char registry[256], repository[256];
    if (ozcRegistryCtxImageSet(ctx.get(), ref.c_str()) != 0 ||
        ozcImageRegistryInfoGet(ctx.get(), registry, sizeof registry, repository, sizeof repository, nullptr, 0,
                                nullptr, 0) != 0) {
        return false;
    }
    rtfix::Json index = rtfix::readJson(layout + "/index.json");
    cJSON *annotations =
        cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(index.get(), "manifests"), 0), "annotations");
    std::string full = std::string(registry) + "/" + repository;
    return annotations != nullptr &&
           cJSON_AddStringToObject(annotations, "org.orrery.image.name", full.c_str()) != nullptr &&
           rtfix::writeJson(layout + "/index.json", index.get());
}

/* A pod bound to `node`; `containers` is the JSON array of its containers,
 * `more` further members of its spec (",\"imagePullSecrets\":[...]"). */
inline std::string podJson(const std::string &name, const std::string &node,
                           const std::string &containers = R"([{"name":"main","image":"busybox"}])",
                           const std::string &more = "")
{
    return R"({"apiVersion":"v1","kind":"Pod","metadata":{"name":")" + name +
           R"(","namespace":"default"},"spec":{"nodeName":")" + node + R"(","containers":)" + containers + more + "}}";
}

inline std::string podPath(const std::string &name)
{
    return "/api/v1/namespaces/default/pods/" + name;
}

/* Creates a pod in the emulator; its uid, or "" on failure. */
inline std::string createPod(const KubesimProcess &sim, const std::string &json)
{
    std::string body;
    if (sim.request("POST", "/api/v1/namespaces/default/pods", json, &body) != 201) {
        return "";
    }
    return str(parse(body).get(), "metadata.uid");
}

inline Json readPod(const KubesimProcess &sim, const std::string &name)
{
    std::string body;
    if (sim.request("GET", podPath(name), "", &body) != 200) {
        return nullptr;
    }
    return parse(body);
}

/* The pod as the API server has it, as a model record. */
inline Pod podRecord(const KubesimProcess &sim, const std::string &name)
{
    Json json = readPod(sim, name);
    return Pod(json ? v1_pod_parseFromJSON(json.get()) : nullptr);
}

using ApiRequest = KubesimRequest;

/* "METHOD path" of each request whose path starts with `prefix`. */
inline std::vector<std::string> requestLines(const KubesimProcess &sim, const std::string &prefix)
{
    std::vector<std::string> lines;
    for (const ApiRequest &r : sim.requests()) {
        if (r.path.rfind(prefix, 0) == 0) {
            lines.push_back(r.method + " " + r.path);
        }
    }
    return lines;
}

/* The pod manager's control block against the emulator, without its tasks.
 * At the end every worker has ended, the cached pods are forgotten (so that
 * the destroy deletes nothing at the API server) and everything is freed. */
class Rig {
public:
    Rig(const KubesimProcess &sim, const std::string &node, const char *nodeIP = nullptr) : node_(node)
    {
        ctrl_ = static_cast<OZK_CTRL *>(calloc(1, sizeof(OZK_CTRL)));
        OZK_CONF &conf = ctrl_->ozkCnf;
        conf.serverURL = strdup(sim.url().c_str());
        conf.caPath = strdup(sim.caPath().c_str());
        conf.certPath = strdup(sim.certPath().c_str());
        conf.keyPath = strdup(sim.keyPath().c_str());
        conf.nodeName = strdup(node.c_str());
        conf.nodeIP = nodeIP != nullptr ? strdup(nodeIP) : nullptr;
        ok_ = ozkClientSetup(ctrl_) == OK;
        OZK_POD_MANAGER_CTRL *p = pm();
        p->clientCtrl = &ctrl_->clientCtrl;
        p->kubeConf = &ctrl_->ozkCnf;
        sllInit(&p->cachedPodList);
        sllInit(&p->cachedContainerList);
        sllInit(&p->cachedPodEventList);
        sllInit(&p->cachedPodWorkerTaskList);
        ok_ = ok_ && ozkPodManagerInit(p) == OK;
    }
    ~Rig()
    {
        if (!destroyed_) {
            (void)waitIdle();
            if (semTake(pm()->semCached, WAIT_FOREVER) == OK) {
                while (SL_NODE *node = sllGet(&pm()->cachedPodList)) {
                    v1_pod_free(reinterpret_cast<CACHE_POD_ENTRY *>(node)->podItem);
                    free(node);
                }
                semGive(pm()->semCached);
            }
            (void)ozkPodManagerDestroy(pm());
        }
        ozkClientDestroy(&ctrl_->clientCtrl);
        ozkConfDestroy(&ctrl_->ozkCnf);
        free(ctrl_);
    }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    bool ok() const { return ok_; }
    OZK_POD_MANAGER_CTRL *pm() const { return &ctrl_->podManagerCtrl; }
    std::string selector() const { return "spec.nodeName=" + node_; }
    /* The caller destroyed the pod manager itself. */
    void destroyed() { destroyed_ = true; }

    /* Caches a copy of a pod as the monitor would. */
    void cache(v1_pod_t *pod) const
    {
        auto *entry = static_cast<CACHE_POD_ENTRY *>(calloc(1, sizeof(CACHE_POD_ENTRY)));
        entry->podItem = ozkPodDeepCopy(pod);
        semTake(pm()->semCached, WAIT_FOREVER);
        sllPutAtTail(&pm()->cachedPodList, &entry->cacheNode);
        semGive(pm()->semCached);
    }
    /* Appends a pending event as the pod manager task would. */
    void pend(const std::string &uid, uint32_t type) const
    {
        POD_EVENT event{};
        snprintf(event.podUID, sizeof(event.podUID), "%s", uid.c_str());
        event.eventType = type;
        Pod pod(ozkPodGetByUid(pm(), uid.c_str()));
        ozkPodEventHandle(pm(), &event, pod.get());
    }
    /* The events sent to the pod manager so far: "<type name> <uid>". */
    std::vector<std::string> events() const
    {
        std::vector<std::string> out;
        POD_EVENT event{};
        while (msgQReceive(pm()->podEventMqId, reinterpret_cast<char *>(&event), sizeof(event), NO_WAIT) > 0) {
            out.push_back(std::string(ozkPodEventTypeStrGet(event.eventType)) + " " + event.podUID);
        }
        return out;
    }
    size_t count(SL_LIST *list, SEM_ID sem) const
    {
        semTake(sem, WAIT_FOREVER);
        size_t n = sllCount(list);
        semGive(sem);
        return n;
    }
    size_t cached() const { return count(&pm()->cachedPodList, pm()->semCached); }
    size_t workers() const { return count(&pm()->cachedPodWorkerTaskList, pm()->semPodWorkerTask); }
    size_t pending() const { return count(&pm()->cachedPodEventList, pm()->semPodWorkerTask); }
    /* The cached copy of a pod, as JSON. */
    Json cachedPod(const std::string &uid) const
    {
        Pod pod(ozkPodGetByUid(pm(), uid.c_str()));
        return Json(pod ? v1_pod_convertToJSON(pod.get()) : nullptr);
    }
    bool waitIdle(std::chrono::milliseconds limit = 60s) const
    {
        return waitFor([&] { return workers() == 0; }, limit);
    }

private:
    OZK_CTRL *ctrl_ = nullptr;
    std::string node_;
    bool ok_ = false;
    bool destroyed_ = false;
};

/* The real kubectl against the emulator: its output and error text. */
inline std::string kubectl(const KubesimProcess &sim, const std::string &args)
{
    std::string out;
    oztest::sh("KUBECONFIG=" + oztest::quote(sim.kubeconfigPath()) + " kubectl " + args + " 2>&1", &out);
    return out;
}

/* The pod as "kubectl get pod -o json" shows it. */
inline Json podJsonNow(const KubesimProcess &sim, const std::string &name)
{
    return parse(kubectl(sim, "get pod " + name + " -o json"));
}

/* Runs the tick clock faster for a scope. */
class ScopedSpeedup {
public:
    explicit ScopedSpeedup(unsigned factor) { ozClockSpeedupSet(factor); }
    ~ScopedSpeedup() { ozClockSpeedupSet(1); }
};

} // namespace podtest

#endif /* FERRY_POD_TEST_UTIL_H */
