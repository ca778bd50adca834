/*
 * nodemgr_test.cpp - the node manager: the Node object and its builders,
 * registration and adoption, the lease, the update cycle and its failure
 * rules, the orderly stop. Against the API server emulator over TLS, both
 * in this process and through the ferryService program.
 */
#include <gtest/gtest.h>

#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"
#include "ozkLib.h"
#include "ozkNodeManager.h"
#include "ozkPodManager.h"
#include "ozOwners.h"
#include "testutil/testjson.h"

#include <cjson/cJSON.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/* Time text shapes: 'd' stands for a digit, everything else for itself. */
const std::string kSecondsTime = "dddd-dd-ddTdd:dd:ddZ";
const std::string kMicroTime = "dddd-dd-ddTdd:dd:dd.000000Z";

bool hasShape(const std::string &text, const std::string &shape)
{
    if (text.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i++) {
        bool ok = shape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}
const char *kLeasePath = "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases/";

/* ---- small owners and JSON helpers --------------------------------------- */

using oz::JsonPtr;
using CStrPtr = oz::MallocPtr<char>;

using oztest::at;
using oztest::parseJson;
using oztest::str;

std::vector<std::string> keysOf(const cJSON *object)
{
    std::vector<std::string> keys;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, object)
    {
        keys.emplace_back(item->string);
    }
    return keys;
}

std::string print(const cJSON *json)
{
    oz::JsonText text(cJSON_Print(json));
    return text ? text.get() : "<null>";
}

time_t utcTextToTime(const std::string &text)
{
    struct tm tm {};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm) == nullptr) {
        return 0;
    }
    return timegm(&tm);
}

std::string hostName()
{
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

/* The pairs of a key-value list, in order. */
using Pairs = std::vector<std::pair<std::string, std::string>>;
Pairs pairsOf(list_t *list)
{
    Pairs pairs;
    listEntry_t *e = nullptr;
    list_ForEach(e, list)
    {
        auto *pair = static_cast<keyValuePair_t *>(e->data);
        pairs.emplace_back(pair->key, static_cast<char *>(pair->value));
    }
    return pairs;
}

/* A file's first line ("" when it cannot be read). */
std::string firstLine(const std::string &path)
{
    std::string line;
    std::ifstream f(path);
    std::getline(f, line);
    return line;
}

/* The memory and storage quantities the node announces, found the kernel's
 * way: MemTotal, and the size of the file system of the runtime's base
 * directory (OZC_BASE). */
std::string memoryQuantity()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    unsigned long long kib = 0;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemTotal:") {
            return std::to_string(kib) + "Ki";
        }
    }
    return "<unknown>";
}

std::string storageQuantity(const std::string &dir)
{
    struct statvfs vfs {};
    if (statvfs(dir.c_str(), &vfs) != 0) {
        return "<unknown>";
    }
    return std::to_string(static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize / 1024) + "Ki";
}

/* Sets an environment variable for the scope of a test. */
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = getenv(name)) {
            old_ = old;
            had_ = true;
        }
        setenv(name, value, 1);
        tzset();
    }
    ~ScopedEnv()
    {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
        tzset();
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

/* ---- the emulator's request log ------------------------------------------- */

using ApiRequest = KubesimRequest;

std::string describe(const std::vector<ApiRequest> &requests)
{
    std::string text;
    for (const auto &r : requests) {
        text += r.method + " " + r.path + " -> " + std::to_string(r.status) + "\n";
    }
    return text;
}

JsonPtr readObject(const KubesimProcess &sim, const std::string &path)
{
    std::string body;
    if (sim.request("GET", path, "", &body) != 200) {
        return nullptr;
    }
    return parseJson(body);
}

size_t countRequests(const KubesimProcess &sim, const std::string &path)
{
    size_t n = 0;
    for (const auto &r : sim.requests()) {
        n += r.path == path;
    }
    return n;
}

/* ---- the node agent in this process ---------------------------------------- */

/* A control block set up from a command line, as the service does it;
 * released with the service destroy. */
class Agent {
public:
    Agent(const KubesimProcess &sim, const std::string &nodeName, const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"ferryService", "-C",          sim.caPath(), "-c",     sim.certPath(),
                                         "-k",           sim.keyPath(), "-n",         nodeName, "-u",
                                         sim.url(),      "-v",          "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ctrl_ = ozkServiceInit(static_cast<int>(args.size()), argv.data());
    }
    ~Agent() { (void)ozkServiceDestroy(ctrl_); }
    OZK_CTRL *ctrl() const { return ctrl_; }
    OZK_CONF *conf() const { return &ctrl_->ozkCnf; }
    OZK_NODE_MGR_CTRL *nodeMgr() const { return &ctrl_->nodeManagerCtrl; }
    /* what the node manager's start sets before registering */
    void bind() const
    {
        nodeMgr()->clientCtrl = &ctrl_->clientCtrl;
        nodeMgr()->ozkCnf = &ctrl_->ozkCnf;
    }

private:
    OZK_CTRL *ctrl_ = nullptr;
};

using ferrytest::FerryProcess;
using ferrytest::waitFor;

/* Runs the tick clock faster for the scope of a test. */
class ScopedSpeedup {
public:
    explicit ScopedSpeedup(unsigned factor) { ozClockSpeedupSet(factor); }
    ~ScopedSpeedup() { ozClockSpeedupSet(1); }
};

/* ========================================================================
 * Builders
 * ======================================================================== */

TEST(NodeBuilders, TimeTextsAreUtcWhateverTheLocalZone)
{
    /* far from UTC on both sides; POSIX zone texts need no zone database */
    for (const char *zone : {"KIT-14", "BIT+12", "UTC0"}) {
        ScopedEnv tz("TZ", zone);
        time_t before = time(nullptr);
        CStrPtr seconds(ozkCurrentTimeUsStr(FALSE));
        CStrPtr micro(ozkCurrentTimeUsStr(TRUE));
        time_t after = time(nullptr);
        ASSERT_TRUE(seconds && micro) << zone;
        EXPECT_TRUE(hasShape(seconds.get(), kSecondsTime)) << seconds.get();
        EXPECT_TRUE(hasShape(micro.get(), kMicroTime)) << micro.get();
        for (const char *text : {seconds.get(), micro.get()}) {
            time_t parsed = utcTextToTime(text);
            EXPECT_GE(parsed, before) << zone << " " << text;
            EXPECT_LE(parsed, after) << zone << " " << text;
        }
    }
}

TEST(NodeBuilders, LabelsHostnameTypeOsArchThenTheConfiguredPairWhenBothPartsAreGiven)
{
    struct Case {
        std::string key, value;
        bool third;
    } cases[] = {
        {"", "", false},
        {"zone", "lab-3", true},
        {"zone", "", false},
        {"", "lab-3", false},
        {std::string(127, 'k'), std::string(127, 'v'), true}, /* longest the command line keeps */
        {"kubernetes.io/arch", "riscv64", true},              /* the operator's word wins */
    };
    for (const auto &c : cases) {
        OZK_CONF conf{};
        strcpy(conf.nodeLabelKey, c.key.c_str());
        strcpy(conf.nodeLabelValue, c.value.c_str());
        list_t *labels = ozkLabelListCreate(&conf);
        ASSERT_NE(labels, nullptr);
        Pairs got = pairsOf(labels);
        Pairs want = {{"kubernetes.io/hostname", hostName()}, {"type", "ozferry"}, {"kubernetes.io/os", "linux"}};
        if (c.key != "kubernetes.io/arch") {
            want.emplace_back("kubernetes.io/arch", ozSysArchNameGet());
        }
        if (c.third) {
            want.emplace_back(c.key, c.value);
        }
        EXPECT_EQ(got, want) << "label '" << c.key << "'='" << c.value << "'";
        ozkKvPairListDestroy(labels);
    }
}

TEST(NodeBuilders, AddressesInternalIpFirstEvenWhenEmptyThenHostname)
{
    for (const char *ip : {static_cast<const char *>(nullptr), "10.1.2.3", "fd00::7"}) {
        list_t *addresses = ozkAddrListCreate(ip);
        ASSERT_NE(addresses, nullptr);
        ASSERT_EQ(addresses->count, 2);
        auto *first = static_cast<v1_node_address_t *>(list_getElementAt(addresses, 0)->data);
        auto *second = static_cast<v1_node_address_t *>(list_getElementAt(addresses, 1)->data);
        EXPECT_STREQ(first->type, "InternalIP");
        EXPECT_STREQ(first->address, ip != nullptr ? ip : "");
        EXPECT_STREQ(second->type, "Hostname");
        EXPECT_EQ(second->address, hostName());
        ozkAddrListDestroy(addresses);
    }
}

TEST(NodeBuilders, CapacityCpuAmongTheFirstFourThenPodsMemoryAndStorage)
{
    struct Case {
        const char *set;
        const char *cpu;
    } cases[] = {{"0xffff", "4"}, {"0x5", "2"}, {"0x1", "1"}, {"0xf0", "0"}, {"0x100000000000000f", "4"}};
    /* the storage is that of the runtime's base directory, made or not */
    ferrytest::TempDir base;
    ScopedEnv baseDir("OZC_BASE", (base.path() + "/not/made/yet").c_str());
    for (const auto &c : cases) {
        ScopedEnv cpus("OZ_CPU_ENABLED_SET", c.set);
        EXPECT_EQ(std::to_string(ozkEnabledCPUNumGet()), c.cpu) << c.set;
        for (uint32_t pods : {0u, 20u, 110u, 4294967295u}) {
            list_t *cap = ozkNodeCapListCreate(pods);
            ASSERT_NE(cap, nullptr);
            Pairs got = pairsOf(cap);
            Pairs want = {{"cpu", c.cpu},
                          {"pods", std::to_string(pods)},
                          {"memory", memoryQuantity()},
                          {"ephemeral-storage", storageQuantity(base.path())}};
            EXPECT_EQ(got, want);
            ozkKvPairListDestroy(cap);
        }
    }
    /* without the stand-in: the machine's own CPUs, at most four */
    uint32_t real = ozkEnabledCPUNumGet();
    EXPECT_GE(real, 1u);
    EXPECT_LE(real, 4u);
}

TEST(NodeBuilders, ReadyConditionHasTransitionTimeOnlyWhenAskedAsASeparateCopy)
{
    list_t *withTransition = ozkCondListCreate(TRUE);
    list_t *heartbeatOnly = ozkCondListCreate(FALSE);
    ASSERT_NE(withTransition, nullptr);
    ASSERT_NE(heartbeatOnly, nullptr);
    ASSERT_EQ(withTransition->count, 1);
    ASSERT_EQ(heartbeatOnly->count, 1);
    auto *c = static_cast<v1_node_condition_t *>(withTransition->firstEntry->data);
    EXPECT_STREQ(c->type, "Ready");
    EXPECT_STREQ(c->status, "True");
    EXPECT_STREQ(c->reason, "FerryReady");
    EXPECT_STREQ(c->message, "ferry is posting ready status");
    ASSERT_NE(c->last_heartbeat_time, nullptr);
    ASSERT_NE(c->last_transition_time, nullptr);
    EXPECT_TRUE(hasShape(c->last_heartbeat_time, kSecondsTime)) << c->last_heartbeat_time;
    EXPECT_STREQ(c->last_transition_time, c->last_heartbeat_time);
    EXPECT_NE(c->last_transition_time, c->last_heartbeat_time); /* two heap strings */
    auto *h = static_cast<v1_node_condition_t *>(heartbeatOnly->firstEntry->data);
    EXPECT_NE(h->last_heartbeat_time, nullptr);
    EXPECT_EQ(h->last_transition_time, nullptr);
    ozkCondListDestroy(withTransition);
    ozkCondListDestroy(heartbeatOnly);
    /* the destroyers accept null */
    ozkCondListDestroy(nullptr);
    ozkAddrListDestroy(nullptr);
    ozkKvPairListDestroy(nullptr);
}

TEST(NodeBuilders, NumberStringsAndSystemInformation)
{
    for (uint32_t n : {0u, 7u, 4294967295u}) {
        CStrPtr text(ozkNumToString(n));
        ASSERT_TRUE(text);
        EXPECT_EQ(text.get(), std::to_string(n));
    }
    v1_node_system_info_t *info = ozkSysInfoCreate();
    ASSERT_NE(info, nullptr);
    JsonPtr json(v1_node_system_info_convertToJSON(info));
    JsonPtr want(parseJson(R"({"architecture":"","bootID":"","containerRuntimeVersion":"ozc://1.0.1.8",
        "kernelVersion":"26.03","kubeProxyVersion":"1.0.1.8","kubeletVersion":"1.0.1.8","machineID":"",
        "operatingSystem":"Orrery","osImage":"SMP 64-bit","systemUUID":""})"));
    /* the machine's own architecture and identities */
    cJSON_SetValuestring(cJSON_GetObjectItem(want.get(), "architecture"), ozSysArchNameGet());
    cJSON_SetValuestring(cJSON_GetObjectItem(want.get(), "bootID"),
                         firstLine("/proc/sys/kernel/random/boot_id").c_str());
    cJSON_SetValuestring(cJSON_GetObjectItem(want.get(), "machineID"), firstLine("/etc/machine-id").c_str());
    EXPECT_TRUE(cJSON_Compare(json.get(), want.get(), 1)) << print(json.get());
    v1_node_system_info_free(info);
}

/* A pod manager record that holds `pods` cached pods (entries only). */
class PodCacheStandIn {
public:
    explicit PodCacheStandIn(int pods)
    {
        ctrl_.semCached = semMCreate(SEM_Q_PRIORITY | SEM_DELETE_SAFE | SEM_INVERSION_SAFE);
        sllInit(&ctrl_.cachedPodList);
        entries_.resize(static_cast<size_t>(pods));
        for (auto &e : entries_) {
            sllPutAtTail(&ctrl_.cachedPodList, &e.cacheNode);
        }
    }
    ~PodCacheStandIn() { semDelete(ctrl_.semCached); }
    OZK_POD_MANAGER_CTRL *ctrl() { return &ctrl_; }

private:
    OZK_POD_MANAGER_CTRL ctrl_{};
    std::vector<CACHE_POD_ENTRY> entries_;
};

TEST(NodeStatusBody, HoldsOnlyAddressesHeartbeatAndFreePodSlots)
{
    ScopedEnv cpus("OZ_CPU_ENABLED_SET", "0x3f");
    OZK_CONF conf{};
    char name[] = "n1", ip[] = "10.0.0.9";
    conf.nodeName = name;
    conf.nodeIP = ip;
    conf.podMax = 20;
    OZK_NODE_MGR_CTRL mgr{};
    mgr.ozkCnf = &conf;

    struct Case {
        int cachedPods; /* -1: no pod manager */
        const char *freeSlots;
    } cases[] = {{-1, nullptr}, {0, "20"}, {3, "17"}, {20, "0"}, {25, "0"}};
    for (const auto &c : cases) {
        std::unique_ptr<PodCacheStandIn> cache;
        if (c.cachedPods >= 0) {
            cache = std::make_unique<PodCacheStandIn>(c.cachedPods);
        }
        mgr.podManagerCtrlPtr = cache ? cache->ctrl() : nullptr;
        object_t *body = ozkNodeStatusUpdateGet(&mgr);
        ASSERT_NE(body, nullptr);
        std::string text = static_cast<char *>(body->temporary);
        object_free(body);
        EXPECT_NE(text.find('\n'), std::string::npos) << "formatted JSON expected";
        JsonPtr json = parseJson(text);
        ASSERT_TRUE(json) << text;
        EXPECT_EQ(keysOf(json.get()), std::vector<std::string>{"status"}) << text;
        std::vector<std::string> want = {"addresses", "conditions"};
        if (c.freeSlots != nullptr) {
            want = {"addresses", "allocatable", "conditions"};
            EXPECT_EQ(str(json.get(), "status.allocatable.pods"), c.freeSlots) << c.cachedPods;
            EXPECT_EQ(str(json.get(), "status.allocatable.cpu"), "4");
        }
        EXPECT_EQ(keysOf(at(json.get(), "status")), want) << text;
        const cJSON *addresses = at(json.get(), "status.addresses");
        ASSERT_EQ(cJSON_GetArraySize(addresses), 2);
        EXPECT_EQ(str(cJSON_GetArrayItem(addresses, 0), "address"), "10.0.0.9");
        const cJSON *cond = cJSON_GetArrayItem(at(json.get(), "status.conditions"), 0);
        EXPECT_TRUE(hasShape(str(cond, "lastHeartbeatTime"), kSecondsTime));
        EXPECT_EQ(at(cond, "lastTransitionTime"), nullptr);
        EXPECT_EQ(str(cond, "type"), "Ready");
    }
}

TEST(LeaseObject, OwnedByTheNodeUidWithFixedDurationAndMicrosecondRenewTime)
{
    OZK_CONF conf{};
    char name[] = "lease-node";
    conf.nodeName = name;
    conf.nodeUpdateInterval = 600; /* longer than the lease: it still says 300 */
    OZK_NODE_MGR_CTRL mgr{};
    mgr.ozkCnf = &conf;

    EXPECT_EQ(ozkLeaseObjectGenerate(&mgr), nullptr); /* no Node yet */
    JsonPtr noUid = parseJson(R"({"apiVersion":"v1","kind":"Node","metadata":{"name":"lease-node"}})");
    mgr.nodeObj = v1_node_parseFromJSON(noUid.get());
    EXPECT_EQ(ozkLeaseObjectGenerate(&mgr), nullptr);
    v1_node_free(mgr.nodeObj);

    JsonPtr node = parseJson(R"({"metadata":{"name":"lease-node","uid":"1234-abcd"}})");
    mgr.nodeObj = v1_node_parseFromJSON(node.get());
    v1_lease_t *lease = ozkLeaseObjectGenerate(&mgr);
    ASSERT_NE(lease, nullptr);
    JsonPtr json(v1_lease_convertToJSON(lease));
    v1_lease_free(lease);
    v1_node_free(mgr.nodeObj);
    std::string renew = str(json.get(), "spec.renewTime");
    EXPECT_TRUE(hasShape(renew, kMicroTime)) << renew;
    JsonPtr want = parseJson(R"({"apiVersion":"coordination.k8s.io/v1","kind":"Lease",
        "metadata":{"name":"lease-node","ownerReferences":[{"apiVersion":"v1","kind":"Node",
        "name":"lease-node","uid":"1234-abcd"}]},
        "spec":{"holderIdentity":"lease-node","leaseDurationSeconds":300,"renewTime":")" +
                             renew + R"("}})");
    EXPECT_TRUE(cJSON_Compare(json.get(), want.get(), 1)) << print(json.get());
}

/* ========================================================================
 * Against the emulator, in this process
 * ======================================================================== */

class NodeManagerSim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.start("ozk-node")) << sim_.lastError(); }
    KubesimProcess sim_;
};

/* The Node the first start sends, for a configuration, with the time of
 * the given heartbeat. */
JsonPtr expectedNode(const std::string &name, const std::string &ip, const std::string &labelKey,
                     const std::string &labelValue, const std::string &cpu, const std::string &pods,
                     const std::string &time, const std::string &storageDir)
{
    JsonPtr node = parseJson(R"({"apiVersion":"v1","kind":"Node","metadata":{"labels":{},
        "name":"","namespace":"default"},"spec":{},"status":{"addresses":[{"address":"","type":"InternalIP"},
        {"address":"","type":"Hostname"}],
        "allocatable":{"cpu":"","pods":"","memory":"","ephemeral-storage":""},
        "capacity":{"cpu":"","pods":"","memory":"","ephemeral-storage":""},
        "conditions":[{"lastHeartbeatTime":"","lastTransitionTime":"",
        "message":"ferry is posting ready status","reason":"FerryReady","status":"True","type":"Ready"}],
        "nodeInfo":{"architecture":"","bootID":"","containerRuntimeVersion":"ozc://1.0.1.8",
        "kernelVersion":"26.03","kubeProxyVersion":"1.0.1.8","kubeletVersion":"1.0.1.8","machineID":"",
        "operatingSystem":"Orrery","osImage":"SMP 64-bit","systemUUID":""},"phase":"Running"}})");
    cJSON *root = node.get();
    cJSON *labels = cJSON_GetObjectItem(at(root, "metadata"), "labels");
    cJSON_AddStringToObject(labels, "kubernetes.io/hostname", hostName().c_str());
    cJSON_AddStringToObject(labels, "type", "ozferry");
    cJSON_AddStringToObject(labels, "kubernetes.io/os", "linux");
    cJSON_AddStringToObject(labels, "kubernetes.io/arch", ozSysArchNameGet());
    cJSON *info = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "status"), "nodeInfo");
    cJSON_SetValuestring(cJSON_GetObjectItem(info, "architecture"), ozSysArchNameGet());
    cJSON_SetValuestring(cJSON_GetObjectItem(info, "bootID"), firstLine("/proc/sys/kernel/random/boot_id").c_str());
    cJSON_SetValuestring(cJSON_GetObjectItem(info, "machineID"), firstLine("/etc/machine-id").c_str());
    if (!labelKey.empty() && !labelValue.empty()) {
        cJSON_AddStringToObject(labels, labelKey.c_str(), labelValue.c_str());
    }
    cJSON_SetValuestring(cJSON_GetObjectItem(at(root, "metadata"), "name"), name.c_str());
    cJSON *status = cJSON_GetObjectItem(root, "status");
    cJSON *addresses = cJSON_GetObjectItem(status, "addresses");
    cJSON_SetValuestring(cJSON_GetObjectItem(cJSON_GetArrayItem(addresses, 0), "address"), ip.c_str());
    cJSON_SetValuestring(cJSON_GetObjectItem(cJSON_GetArrayItem(addresses, 1), "address"), hostName().c_str());
    for (const char *list : {"allocatable", "capacity"}) {
        cJSON *quantities = cJSON_GetObjectItem(status, list);
        cJSON_SetValuestring(cJSON_GetObjectItem(quantities, "cpu"), cpu.c_str());
        cJSON_SetValuestring(cJSON_GetObjectItem(quantities, "pods"), pods.c_str());
        cJSON_SetValuestring(cJSON_GetObjectItem(quantities, "memory"), memoryQuantity().c_str());
        cJSON_SetValuestring(cJSON_GetObjectItem(quantities, "ephemeral-storage"), storageQuantity(storageDir).c_str());
    }
    cJSON *cond = cJSON_GetArrayItem(cJSON_GetObjectItem(status, "conditions"), 0);
    cJSON_SetValuestring(cJSON_GetObjectItem(cond, "lastHeartbeatTime"), time.c_str());
    cJSON_SetValuestring(cJSON_GetObjectItem(cond, "lastTransitionTime"), time.c_str());
    return node;
}

TEST_F(NodeManagerSim, FirstStartCreatesTheNodeWithExactlyTheAnnouncedFields)
{
    const std::string longKey = "example.org/" + std::string(63, 'k');
    const std::string longValue(63, 'v');
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string ip, key, value; /* as configured */
        const char *cpuSet;
        std::string cpu, pods;
    } cases[] = {
        {"plain", {}, "", "", "", "0x1", "1", "20"},
        {"with-ip", {"-i", "127.0.0.1", "-p", "110"}, "127.0.0.1", "", "", "0xff", "4", "110"},
        {"with-label", {"-L", "zone=lab-3", "-p", "7"}, "", "zone", "lab-3", "0x3", "2", "7"},
        {"empty-value", {}, "", "zone", "", "0xf", "4", "20"},
        {"long-label", {"-L", longKey + "=" + longValue}, "", longKey, longValue, "0xf00", "0", "20"},
    };
    ferrytest::TempDir base;
    ScopedEnv baseDir("OZC_BASE", base.path().c_str());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv cpus("OZ_CPU_ENABLED_SET", c.cpuSet);
        Agent agent(sim_, c.name, c.args);
        ASSERT_NE(agent.ctrl(), nullptr);
        if (c.name == "empty-value") { /* the command line refuses "zone=", a caller may not */
            strcpy(agent.conf()->nodeLabelKey, "zone");
        }
        agent.bind();
        sim_.requests(true);
        ASSERT_EQ(ozkNodeCreate(agent.nodeMgr()), OK);

        auto requests = sim_.requests();
        ASSERT_EQ(requests.size(), 2u) << describe(requests);
        EXPECT_EQ(requests[0].method + " " + requests[0].path, "GET /api/v1/nodes/" + c.name);
        EXPECT_EQ(requests[0].status, 404);
        EXPECT_EQ(requests[1].method + " " + requests[1].path, "POST /api/v1/nodes");
        EXPECT_EQ(requests[1].status, 201);
        JsonPtr sent = parseJson(requests[1].body);
        ASSERT_TRUE(sent) << requests[1].body;
        std::string heartbeat = str(cJSON_GetArrayItem(at(sent.get(), "status.conditions"), 0), "lastHeartbeatTime");
        EXPECT_TRUE(hasShape(heartbeat, kSecondsTime)) << heartbeat;
        JsonPtr want = expectedNode(c.name, c.ip, c.key, c.value, c.cpu, c.pods, heartbeat, base.path());
        EXPECT_TRUE(cJSON_Compare(sent.get(), want.get(), 1)) << "sent:\n"
                                                              << print(sent.get()) << "\nexpected:\n"
                                                              << print(want.get());
        std::vector<std::string> labelOrder = {"kubernetes.io/hostname", "type", "kubernetes.io/os",
                                               "kubernetes.io/arch"};
        if (!c.value.empty()) {
            labelOrder.push_back(c.key);
        }
        EXPECT_EQ(keysOf(at(sent.get(), "metadata.labels")), labelOrder);

        /* nodeObj is the Node as the server created it */
        JsonPtr stored = readObject(sim_, "/api/v1/nodes/" + c.name);
        ASSERT_TRUE(stored);
        ASSERT_NE(agent.nodeMgr()->nodeObj, nullptr);
        EXPECT_EQ(agent.nodeMgr()->nodeObj->metadata->uid, str(stored.get(), "metadata.uid"));
        EXPECT_EQ(str(stored.get(), "status.nodeInfo.operatingSystem"), "Orrery");
    }
}

TEST_F(NodeManagerSim, SecondStartAdoptsTheExistingNodeUnchanged)
{
    /* a Node of that name made by someone else, with other labels and status */
    ASSERT_EQ(sim_.request("POST", "/api/v1/nodes",
                           R"({"apiVersion":"v1","kind":"Node","metadata":{"name":"taken",
                              "labels":{"team":"infra"}},"spec":{"unschedulable":true}})"),
              201);
    JsonPtr before = readObject(sim_, "/api/v1/nodes/taken");
    ASSERT_TRUE(before);
    {
        Agent agent(sim_, "taken", {"-L", "zone=lab-3"});
        ASSERT_NE(agent.ctrl(), nullptr);
        agent.bind();
        sim_.requests(true);
        ASSERT_EQ(ozkNodeCreate(agent.nodeMgr()), OK);
        auto requests = sim_.requests();
        ASSERT_EQ(requests.size(), 1u) << describe(requests);
        EXPECT_EQ(requests[0].method, "GET");
        ASSERT_NE(agent.nodeMgr()->nodeObj, nullptr);
        EXPECT_EQ(agent.nodeMgr()->nodeObj->metadata->uid, str(before.get(), "metadata.uid"));
    }
    JsonPtr after = readObject(sim_, "/api/v1/nodes/taken");
    EXPECT_TRUE(cJSON_Compare(before.get(), after.get(), 1)) << print(after.get());
}

TEST_F(NodeManagerSim, ANodeReadWithoutUidCountsAsAbsent)
{
    /* the read is answered 200 with a Status body: a Node record without uid */
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/ozk-node", 200, 1));
    Agent agent(sim_, "ozk-node");
    ASSERT_NE(agent.ctrl(), nullptr);
    agent.bind();
    EXPECT_FALSE(ozkNodeIsPresent(agent.nodeMgr()));
    EXPECT_EQ(agent.nodeMgr()->nodeObj, nullptr);
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/ozk-node", 200, 1));
    ASSERT_EQ(ozkNodeCreate(agent.nodeMgr()), OK);
    auto requests = sim_.requests();
    ASSERT_EQ(requests.size(), 3u) << describe(requests);
    EXPECT_EQ(requests[2].method + " " + requests[2].path, "POST /api/v1/nodes");
    ASSERT_NE(agent.nodeMgr()->nodeObj, nullptr);
    EXPECT_TRUE(ozkNodeIsPresent(agent.nodeMgr()));
}

TEST_F(NodeManagerSim, LeaseIsCreatedOnceOwnedByTheNodeAndAnExistingOneIsLeftAlone)
{
    Agent agent(sim_, "ozk-node");
    ASSERT_NE(agent.ctrl(), nullptr);
    agent.bind();
    ASSERT_EQ(ozkNodeCreate(agent.nodeMgr()), OK);
    sim_.requests(true);
    ASSERT_EQ(ozkLeaseManagerStart(agent.nodeMgr()), OK);
    auto requests = sim_.requests(true);
    ASSERT_EQ(requests.size(), 2u) << describe(requests);
    EXPECT_EQ(requests[0].method + " " + requests[0].path, std::string("GET ") + kLeasePath + "ozk-node");
    EXPECT_EQ(requests[0].status, 404);
    EXPECT_EQ(requests[1].method + " " + requests[1].path,
              "POST /apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases");
    EXPECT_EQ(requests[1].status, 201);
    ASSERT_NE(agent.nodeMgr()->leaseObj, nullptr);

    JsonPtr lease = readObject(sim_, std::string(kLeasePath) + "ozk-node");
    JsonPtr node = readObject(sim_, "/api/v1/nodes/ozk-node");
    ASSERT_TRUE(lease && node);
    const cJSON *refs = at(lease.get(), "metadata.ownerReferences");
    ASSERT_EQ(cJSON_GetArraySize(refs), 1) << print(lease.get());
    JsonPtr wantRef = parseJson(R"({"apiVersion":"v1","kind":"Node","name":"ozk-node","uid":")" +
                                str(node.get(), "metadata.uid") + "\"}");
    EXPECT_TRUE(cJSON_Compare(cJSON_GetArrayItem(refs, 0), wantRef.get(), 1)) << print(refs);
    EXPECT_EQ(str(lease.get(), "spec.holderIdentity"), "ozk-node");
    EXPECT_EQ(cJSON_GetNumberValue(at(lease.get(), "spec.leaseDurationSeconds")), 300);
    EXPECT_TRUE(hasShape(str(lease.get(), "spec.renewTime"), kMicroTime)) << print(lease.get());
    EXPECT_EQ(at(lease.get(), "spec.acquireTime"), nullptr);
    EXPECT_EQ(at(lease.get(), "spec.leaseTransitions"), nullptr);
    /* the namespace travels in the path only */
    EXPECT_EQ(at(parseJson(requests[1].body).get(), "metadata.namespace"), nullptr);

    /* a second start finds it: no create, nothing kept */
    Agent again(sim_, "ozk-node");
    ASSERT_NE(again.ctrl(), nullptr);
    again.bind();
    ASSERT_EQ(ozkNodeCreate(again.nodeMgr()), OK);
    sim_.requests(true);
    ASSERT_EQ(ozkLeaseManagerStart(again.nodeMgr()), OK);
    requests = sim_.requests();
    ASSERT_EQ(requests.size(), 1u) << describe(requests);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(again.nodeMgr()->leaseObj, nullptr);
}

TEST_F(NodeManagerSim, EachCycleReadsTheNodeThenPatchesLeaseThenStatus)
{
    ScopedSpeedup fast(10); /* -N 1: a cycle every 100 ms */
    Agent agent(sim_, "ozk-node", {"-N", "1", "-p", "12", "-i", "127.0.0.1"});
    ASSERT_NE(agent.ctrl(), nullptr);
    ASSERT_EQ(ozkServiceStart(agent.ctrl()), OK);
    ASSERT_NE(agent.nodeMgr()->updateTaskId, 0);
    ASSERT_TRUE(waitFor([&] { return countRequests(sim_, "/api/v1/nodes/ozk-node/status") >= 3; }, 20s));
    EXPECT_EQ(ozkNodeManagerDestroy(agent.nodeMgr()), OK);
    EXPECT_EQ(agent.nodeMgr()->updateTaskId, 0);
    EXPECT_EQ(agent.nodeMgr()->semRunning, nullptr);
    EXPECT_EQ(agent.nodeMgr()->nodeObj, nullptr);
    EXPECT_EQ(agent.nodeMgr()->leaseObj, nullptr);

    auto requests = sim_.requests();
    /* the pod monitor's list and watches are its own */
    std::erase_if(requests, [](const ApiRequest &r) { return r.path == "/api/v1/pods"; });
    /* start: node read, node create, lease read, lease create */
    ASSERT_GE(requests.size(), 4u + 9u) << describe(requests);
    const std::string expect[3] = {"GET /api/v1/nodes/ozk-node", std::string("PATCH ") + kLeasePath + "ozk-node",
                                   "PATCH /api/v1/nodes/ozk-node/status"};
    size_t cycles = (requests.size() - 4) / 3;
    EXPECT_EQ(requests.size(), 4 + 3 * cycles) << describe(requests);
    std::string nodeUid = str(readObject(sim_, "/api/v1/nodes/ozk-node").get(), "metadata.uid");
    for (size_t i = 4; i < requests.size(); i++) {
        const auto &r = requests[i];
        EXPECT_EQ(r.method + " " + r.path, expect[(i - 4) % 3]) << describe(requests);
        EXPECT_EQ(r.status, 200) << r.path;
        if (r.method != "PATCH") {
            continue;
        }
        JsonPtr body = parseJson(r.body);
        ASSERT_TRUE(body) << r.body;
        if (r.path.find("/leases/") != std::string::npos) {
            EXPECT_EQ(r.body.find('\n'), std::string::npos) << "unformatted JSON expected";
            EXPECT_TRUE(hasShape(str(body.get(), "spec.renewTime"), kMicroTime)) << r.body;
            EXPECT_EQ(cJSON_GetNumberValue(at(body.get(), "spec.leaseDurationSeconds")), 300);
            EXPECT_EQ(str(cJSON_GetArrayItem(at(body.get(), "metadata.ownerReferences"), 0), "uid"), nodeUid);
        } else {
            EXPECT_EQ(keysOf(at(body.get(), "status")),
                      (std::vector<std::string>{"addresses", "allocatable", "conditions"}))
                << r.body;
            EXPECT_EQ(str(body.get(), "status.allocatable.pods"), "12"); /* no pod cached */
            EXPECT_EQ(str(cJSON_GetArrayItem(at(body.get(), "status.addresses"), 0), "address"), "127.0.0.1");
        }
    }
    /* the heartbeat reached the Node, the transition time stayed */
    JsonPtr node = readObject(sim_, "/api/v1/nodes/ozk-node");
    const cJSON *cond = cJSON_GetArrayItem(at(node.get(), "status.conditions"), 0);
    EXPECT_TRUE(hasShape(str(cond, "lastHeartbeatTime"), kSecondsTime));
    EXPECT_TRUE(hasShape(str(cond, "lastTransitionTime"), kSecondsTime));
}

TEST_F(NodeManagerSim, BeforeThePodManagerRunsTheStatusPatchLeavesAllocatableAlone)
{
    ScopedSpeedup fast(10);
    Agent agent(sim_, "ozk-node", {"-N", "1", "-p", "9"});
    ASSERT_NE(agent.ctrl(), nullptr);
    ASSERT_EQ(ozkNodeManagerStart(agent.ctrl()), OK); /* no pod manager */
    std::string patch;
    ASSERT_TRUE(waitFor(
        [&] {
            for (const auto &r : sim_.requests()) {
                if (r.path == "/api/v1/nodes/ozk-node/status") {
                    patch = r.body;
                    return true;
                }
            }
            return false;
        },
        20s));
    EXPECT_EQ(ozkNodeManagerDestroy(agent.nodeMgr()), OK);
    JsonPtr body = parseJson(patch);
    EXPECT_EQ(keysOf(at(body.get(), "status")), (std::vector<std::string>{"addresses", "conditions"})) << patch;
    /* the registered allocatable list is still there */
    JsonPtr node = readObject(sim_, "/api/v1/nodes/ozk-node");
    EXPECT_EQ(str(node.get(), "status.allocatable.pods"), "9");
}

TEST_F(NodeManagerSim, FailedRegistrationFailsTheStartAndLeavesNothingBehind)
{
    /* the create is refused for good (403 is not retried) */
    ASSERT_TRUE(sim_.addFault("POST", "/api/v1/nodes", 403, 1));
    Agent agent(sim_, "ozk-node");
    ASSERT_NE(agent.ctrl(), nullptr);
    EXPECT_EQ(ozkNodeManagerStart(agent.ctrl()), ERROR);
    EXPECT_EQ(agent.nodeMgr()->nodeObj, nullptr);
    EXPECT_EQ(agent.nodeMgr()->semRunning, nullptr);
    EXPECT_EQ(agent.nodeMgr()->updateTaskId, 0);
    /* a lease that cannot be created fails it too */
    ASSERT_TRUE(sim_.addFault("POST", "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases", 403, 1));
    EXPECT_EQ(ozkNodeManagerStart(agent.ctrl()), ERROR);
    EXPECT_EQ(agent.nodeMgr()->nodeObj, nullptr);
    EXPECT_EQ(agent.nodeMgr()->leaseObj, nullptr);
    EXPECT_EQ(agent.nodeMgr()->semRunning, nullptr);
    /* destroy of a never-started or already destroyed manager */
    EXPECT_EQ(ozkNodeManagerDestroy(agent.nodeMgr()), OK);
    EXPECT_EQ(ozkNodeManagerDestroy(nullptr), OK);
}

/* ========================================================================
 * The program: forced shutdown, stop, time zone
 * ======================================================================== */

TEST_F(NodeManagerSim, DeletedNodeEndsTheProcessWithStatus1)
{
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "ozk-node", {"-N", "1"}, {"OZ_CLOCK_SPEEDUP=10"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    ASSERT_EQ(sim_.request("DELETE", "/api/v1/nodes/ozk-node"), 200);
    EXPECT_EQ(ferry.wait(), 1) << ferry.err();
    std::string err = ferry.err();
    size_t deleted = err.find(" node ozk-node has been deleted!\n");
    size_t exitError = err.find(" ozkNodeUpdateTask exits with ERROR!\n");
    size_t fatal = err.find(" a fatal error has occurred that caused an immediate exit!\n");
    ASSERT_NE(deleted, std::string::npos) << err;
    EXPECT_NE(err.find("ferry: ERROR: ozkNodeManager:ozkNodeUpdateTask:"), std::string::npos) << err;
    EXPECT_LT(deleted, exitError);
    EXPECT_LT(exitError, fatal);
    EXPECT_NE(fatal, std::string::npos);
    EXPECT_EQ(ferry.out().find("Graceful shutdown begin"), std::string::npos);
    /* no re-registration, no lease renewal after the failed read (the pod
     * monitor's list and watches are its own) */
    auto requests = sim_.requests();
    std::erase_if(requests, [](const ApiRequest &r) { return r.path == "/api/v1/pods"; });
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().method + " " + requests.back().path, "GET /api/v1/nodes/ozk-node");
    EXPECT_EQ(requests.back().status, 404);
}

TEST_F(NodeManagerSim, LeasePatchAnswered500FourTimesEndsTheProcessThreeTimesDoesNot)
{
    const std::string leasePath = std::string(kLeasePath) + "ozk-node";
    for (int failures : {3, 4}) {
        SCOPED_TRACE(failures);
        FerryProcess ferry;
        /* retry waits of 5, 25 and 125 s pass 100 times faster */
        ASSERT_TRUE(ferry.start(sim_, "ozk-node", {"-N", "30"}, {"OZ_CLOCK_SPEEDUP=100"}));
        ASSERT_TRUE(ferry.waitReady()) << ferry.err();
        sim_.requests(true);
        ASSERT_TRUE(sim_.addFault("PATCH", leasePath, 500, failures));
        auto leasePatches = [&] {
            std::vector<ApiRequest> out;
            for (const auto &r : sim_.requests()) {
                if (r.path == leasePath) {
                    out.push_back(r);
                }
            }
            return out;
        };
        if (failures == 4) {
            EXPECT_EQ(ferry.wait(), 1) << ferry.err();
            std::string err = ferry.err();
            EXPECT_NE(err.find(" failed to patch lease!\n"), std::string::npos) << err;
            EXPECT_NE(err.find("retrycnt:1!"), std::string::npos) << err;
            size_t failed = 0;
            for (const auto &p : leasePatches()) {
                failed += p.faulted;
                EXPECT_EQ(p.status, p.faulted ? 500 : 200);
            }
            EXPECT_EQ(failed, 4u) << describe(sim_.requests());
            /* the failed cycle never patched the status (the pod monitor's
             * list and watches are its own) */
            auto requests = sim_.requests();
            std::erase_if(requests, [](const ApiRequest &r) { return r.path == "/api/v1/pods"; });
            ASSERT_FALSE(requests.empty());
            EXPECT_EQ(requests.back().path, leasePath);
        } else {
            /* the fourth attempt succeeds and the next cycles go on */
            ASSERT_TRUE(waitFor([&] { return leasePatches().size() >= 5; }, 20s)) << ferry.err();
            ferry.terminate();
            EXPECT_EQ(ferry.wait(), 0) << ferry.err();
            EXPECT_EQ(ferry.err().find("failed to patch lease!"), std::string::npos);
        }
    }
}

TEST_F(NodeManagerSim, SigtermStopsTheWaitingTaskAtOnce)
{
    FerryProcess ferry;
    /* a ten-minute interval in real time: only the stop signal ends the wait */
    ASSERT_TRUE(ferry.start(sim_, "ozk-node", {"-N", "600"}, {}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    auto sent = Clock::now();
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
    EXPECT_LT(Clock::now() - sent, 2500ms);
    std::string out = ferry.out();
    EXPECT_NE(out.find("ferry: DEBUG: ozkNodeUpdateTask exits successfully\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ferry: DEBUG: nodeManager has been destroyed\n"), std::string::npos) << out;
    EXPECT_EQ(ferry.err().find("forcedly killed"), std::string::npos) << ferry.err();
}

TEST_F(NodeManagerSim, SigtermDuringAHangingCycleAbortsTheRequestAndEndsAtOnce)
{
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "ozk-node", {"-N", "1"}, {"OZ_CLOCK_SPEEDUP=10"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    /* every node read from now on hangs for 30 s; the next cycle's read
     * starts within 100 ms of the interval */
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/ozk-node", 0, -1, 30.0));
    std::this_thread::sleep_for(500ms);
    auto sent = Clock::now();
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
    auto took = Clock::now() - sent;
    EXPECT_EQ(ferry.err(), "");
    EXPECT_NE(ferry.out().find("ferry: DEBUG: ozkNodeUpdateTask exits successfully\n"), std::string::npos);
    EXPECT_NE(ferry.out().find("ferry: DEBUG: nodeManager has been destroyed\n"), std::string::npos);
    /* the hanging read was given up: the stop did not wait for it */
    EXPECT_LT(took, 3s);
}

TEST_F(NodeManagerSim, TimeTextsAreUtcWhenTheTargetZoneIsFarFromUtc)
{
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "ozk-node", {"-N", "1"}, {"OZ_CLOCK_SPEEDUP=10", "TZ=KIT-14"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    ASSERT_TRUE(waitFor([&] { return countRequests(sim_, "/api/v1/nodes/ozk-node/status") >= 2; }, 20s));
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
    time_t now = time(nullptr);
    JsonPtr node = readObject(sim_, "/api/v1/nodes/ozk-node");
    JsonPtr lease = readObject(sim_, std::string(kLeasePath) + "ozk-node");
    ASSERT_TRUE(node && lease);
    const cJSON *cond = cJSON_GetArrayItem(at(node.get(), "status.conditions"), 0);
    for (const std::string &text :
         {str(cond, "lastHeartbeatTime"), str(cond, "lastTransitionTime"), str(lease.get(), "spec.renewTime")}) {
        time_t t = utcTextToTime(text);
        EXPECT_LE(std::labs(static_cast<long>(now - t)), 30L) << text << " is not the current UTC time";
    }
}

/* ========================================================================
 * Seen through a real client
 * ======================================================================== */

std::string run(const std::string &command)
{
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

TEST_F(NodeManagerSim, KubectlShowsTheNodeReadyWithItsLabelsAndTheLeaseRenewed)
{
    if (access("/usr/bin/kubectl", X_OK) != 0) {
        GTEST_SKIP() << "kubectl is not installed";
    }
    const std::string kubectl = "/usr/bin/kubectl --kubeconfig " + sim_.kubeconfigPath() + " ";
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "ozk-node", {"-N", "1", "-L", "zone=lab-3"}, {"OZ_CLOCK_SPEEDUP=10"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();

    /* NAME STATUS ROLES AGE VERSION LABELS */
    std::string nodes = run(kubectl + "get nodes --show-labels");
    std::vector<std::string> row;
    std::istringstream lines(nodes);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> cells;
        for (std::string cell; fields >> cell;) {
            cells.push_back(cell);
        }
        if (!cells.empty() && cells[0] == "ozk-node") {
            row = cells;
        }
    }
    ASSERT_EQ(row.size(), 6u) << nodes;
    EXPECT_EQ(row[1], "Ready") << nodes;
    EXPECT_EQ(row[5], "kubernetes.io/arch=" + std::string(ozSysArchNameGet()) +
                          ",kubernetes.io/hostname=" + hostName() + ",kubernetes.io/os=linux,type=ozferry,zone=lab-3")
        << nodes;

    const std::string renewTime =
        kubectl + "get lease -n kube-node-lease ozk-node -o jsonpath='{.spec.holderIdentity} {.spec.renewTime}'";
    std::string first = run(renewTime);
    EXPECT_EQ(first.substr(0, 9), "ozk-node ") << first;
    EXPECT_TRUE(hasShape(first.substr(first.find(' ') + 1), kMicroTime)) << first;
    /* renewal times have whole seconds: the next distinct one is at most
     * a second and a cycle away */
    std::string later;
    EXPECT_TRUE(waitFor(
        [&] {
            later = run(renewTime);
            return later > first;
        },
        10s))
        << first << " then " << later;
    std::string leases = run(kubectl + "get lease -n kube-node-lease");
    EXPECT_NE(leases.find("ozk-node"), std::string::npos) << leases;
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
}

} // namespace
