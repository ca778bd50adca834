/*
 * ozkNodeManager.cpp - the node manager: builds this target's Node object,
 * registers it with the API server (adopting a Node of the same name), keeps
 * the node's lease in "kube-node-lease", and runs the task "nodeManager"
 * that at every update interval checks that the Node still exists, renews
 * the lease and patches the Node's status.
 *
 * What the Node tells of the target (operating system and architecture,
 * memory and storage, boot and machine identity) comes from the platform.
 *
 * Builders hand back records that the caller owns. While a builder works,
 * what it has made so far sits in owners that free it on every early
 * return; ownership passes into the record only once the record exists.
 */
#define OZK_LOG_UNIT "ozkNodeManager"
#include "ozkNodeManager.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozOwners.h"
#include "ozcUtil.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

constexpr const char *kNodeNamespace = "default";
constexpr uint64_t kCountedCpuMask = 0xF; /* only CPUs 0 to 3 are announced */

/* The fixed system information of the Node. */
constexpr const char *kSysRuntimeVersion = "ozc://1.0.1.8";
constexpr const char *kSysKernelVersion = "26.03";
constexpr const char *kSysAgentVersion = "1.0.1.8";
constexpr const char *kSysOperatingSystem = "Orrery";
constexpr const char *kSysOsImage = "SMP 64-bit";

using CStr = oz::MallocPtr<char>;
using oz::Owner;

void ozkOwnerRefListDestroy(list_t *list)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, list)
    {
        v1_owner_reference_free(static_cast<v1_owner_reference_t *>(entry->data));
    }
    list_freeList(list);
}

using KvList = Owner<list_t, ozkKvPairListDestroy>;
using AddrList = Owner<list_t, ozkAddrListDestroy>;
using CondList = Owner<list_t, ozkCondListDestroy>;
using OwnerRefList = Owner<list_t, ozkOwnerRefListDestroy>;
using NodeAddress = Owner<v1_node_address_t, v1_node_address_free>;
using NodeCondition = Owner<v1_node_condition_t, v1_node_condition_free>;
using SysInfo = Owner<v1_node_system_info_t, v1_node_system_info_free>;
using ObjectMeta = Owner<v1_object_meta_t, v1_object_meta_free>;
using NodeSpec = Owner<v1_node_spec_t, v1_node_spec_free>;
using NodeStatus = Owner<v1_node_status_t, v1_node_status_free>;
using Node = Owner<v1_node_t, v1_node_free>;
using OwnerRef = Owner<v1_owner_reference_t, v1_owner_reference_free>;
using LeaseSpec = Owner<v1_lease_spec_t, v1_lease_spec_free>;
using Lease = Owner<v1_lease_t, v1_lease_free>;
using Json = Owner<cJSON, cJSON_Delete>;
using Body = Owner<object_t, object_free>;

CStr ozkStrDup(const char *text)
{
    return CStr(text != nullptr ? strdup(text) : nullptr);
}

/* Appends an element; false (the element not taken) when no entry could be
 * allocated, which the list tells only by its unchanged count. */
bool ozkListAppend(list_t *list, void *element)
{
    long before = list->count;
    list_addElement(list, element);
    return list->count == before + 1;
}

/* Appends key = value to a key-value list, which then owns both strings. */
bool ozkKvPairAppend(list_t *list, CStr &key, CStr &value)
{
    keyValuePair_t *pair = keyValuePair_create(key.get(), value.get());
    if (pair == nullptr) {
        return false;
    }
    if (!ozkListAppend(list, pair)) {
        keyValuePair_free(pair);
        return false;
    }
    (void)key.release();
    (void)value.release();
    return true;
}

/* Appends an owned record to a list, which then owns it. */
template <typename T, void (*Release)(T *)>
bool ozkRecordAppend(list_t *list, Owner<T, Release> &record)
{
    if (!ozkListAppend(list, record.get())) {
        return false;
    }
    (void)record.release();
    return true;
}

/* A size in bytes as a Kubernetes quantity in KiB ("16318412Ki"). */
CStr ozkQuantityKi(uint64_t bytes)
{
    CStr text(static_cast<char *>(calloc(1, OZK_NUM_STR_LEN)));
    if (text && snprintf_s(text.get(), OZK_NUM_STR_LEN, "%lluKi", static_cast<unsigned long long>(bytes / 1024)) <= 0) {
        text.reset();
    }
    return text;
}

/* The directory that holds the containers' files: "OZC_BASE" when it is an
 * absolute path, else the runtime's default. */
std::string ozkRuntimeBaseGet(void)
{
    char base[OZC_PATH_MAX] = "";
    if (ozEnvGet(OZC_BASE_ENV, base, sizeof(base)) != OK || base[0] != '/') {
        return OZC_BASE_PATH_DEFAULT;
    }
    return base;
}

/* Appends key = the size in KiB; a size the platform cannot tell is left
 * out (the Node then announces none). */
bool ozkSizePairAppend(list_t *list, const char *key, STATUS got, uint64_t bytes)
{
    if (got != OK) {
        OZK_DEBUG("the target does not tell its %s", key);
        return true;
    }
    CStr keyText = ozkStrDup(key);
    CStr value = ozkQuantityKi(bytes);
    return keyText && value && ozkKvPairAppend(list, keyText, value);
}

/* Keeps a record newly returned by the API server in *slot, freeing the one
 * it replaces. */
template <typename T>
void ozkObjReplace(T **slot, T *fresh, void (*release)(T *))
{
    release(*slot);
    *slot = fresh;
}

} // namespace

/* ------------------------------------------------------------------------
 * Small builders
 * ------------------------------------------------------------------------ */

extern "C" char *ozkHostNameGet(void)
{
    CStr name(static_cast<char *>(calloc(1, OZK_HOST_NAME_LEN)));
    if (!name) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    /* a name that fills the whole buffer would have no terminator */
    if (gethostname(name.get(), OZK_HOST_NAME_LEN) != 0 || name.get()[OZK_HOST_NAME_LEN - 1] != '\0') {
        OZK_ERR("failed to get host name!");
        return nullptr;
    }
    return name.release();
}

extern "C" char *ozkNumToString(uint32_t num)
{
    CStr text(static_cast<char *>(calloc(1, OZK_NUM_STR_LEN)));
    if (!text) {
        OZK_ERR("failed to allocate memory for CPU string!");
        return nullptr;
    }
    if (snprintf_s(text.get(), OZK_NUM_STR_LEN, "%u", num) <= 0) {
        OZK_ERR("failed to convert number: %u to string!", num);
        return nullptr;
    }
    return text.release();
}

extern "C" uint32_t ozkEnabledCPUNumGet(void)
{
    return static_cast<uint32_t>(__builtin_popcountll(ozCpuEnabledSetGet() & kCountedCpuMask));
}

/* The current time as "%FT%TZ", or "%FT%T.000000Z" with microseconds. The
 * designator "Z" says UTC, so the text is formatted from the UTC
 * conversion: a target whose local zone is not UTC would otherwise report
 * heartbeats and lease renewals hours off. */
extern "C" char *ozkCurrentTimeUsStr(BOOL withMicroseconds)
{
    time_t now = time(nullptr);
    CStr text(static_cast<char *>(calloc(1, OZK_TIME_STR_LEN)));
    if (!text) {
        OZK_ERR("failed to allocate memory for time string!");
        return nullptr;
    }
    struct tm utc {};
    if (now == static_cast<time_t>(-1) || gmtime_s(&now, &utc) == nullptr) {
        OZK_ERR("failed to call gmtime_s!");
        return nullptr;
    }
    size_t length = withMicroseconds ? strftime(text.get(), OZK_TIME_STR_LEN, "%FT%T.000000Z", &utc)
                                     : strftime(text.get(), OZK_TIME_STR_LEN, "%FT%TZ", &utc);
    if (length == 0) {
        OZK_ERR("failed to call strftime!");
        return nullptr;
    }
    return text.release();
}

extern "C" void ozkKvPairListDestroy(list_t *list)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, list)
    {
        auto *pair = static_cast<keyValuePair_t *>(entry->data);
        if (pair != nullptr) {
            free(pair->key);
            free(pair->value);
            keyValuePair_free(pair);
        }
    }
    list_freeList(list);
}

extern "C" void ozkAddrListDestroy(list_t *list)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, list)
    {
        v1_node_address_free(static_cast<v1_node_address_t *>(entry->data));
    }
    list_freeList(list);
}

extern "C" void ozkCondListDestroy(list_t *list)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, list)
    {
        v1_node_condition_free(static_cast<v1_node_condition_t *>(entry->data));
    }
    list_freeList(list);
}

extern "C" list_t *ozkLabelListCreate(OZK_CONF *conf)
{
    if (conf == nullptr) {
        OZK_ERR("failed to create label list!");
        return nullptr;
    }
    CStr hostKey = ozkStrDup("kubernetes.io/hostname");
    CStr typeKey = ozkStrDup("type");
    CStr hostName(ozkHostNameGet());
    CStr typeValue = ozkStrDup("ozferry");
    if (!hostKey || !typeKey || !hostName || !typeValue) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    KvList list(list_createList());
    if (!list) {
        OZK_ERR("failed to create label list!");
        return nullptr;
    }
    if (!ozkKvPairAppend(list.get(), hostKey, hostName)) {
        OZK_ERR("failed to create hostname pair!");
        return nullptr;
    }
    if (!ozkKvPairAppend(list.get(), typeKey, typeValue)) {
        OZK_ERR("failed to create type pair!");
        return nullptr;
    }
    /* the platform's names, as schedulers match them; a configured label of
     * the same key takes their place */
    const std::pair<const char *, const char *> platformLabels[] = {{"kubernetes.io/os", ozSysOsNameGet()},
                                                                    {"kubernetes.io/arch", ozSysArchNameGet()}};
    for (const auto &[key, value] : platformLabels) {
        if (strncmp(conf->nodeLabelKey, key, OZK_NODE_LABEL_LEN) == 0 &&
            strnlen(conf->nodeLabelValue, OZK_NODE_LABEL_LEN) > 0) {
            continue;
        }
        CStr keyText = ozkStrDup(key);
        CStr valueText = ozkStrDup(value);
        if (!keyText || !valueText || !ozkKvPairAppend(list.get(), keyText, valueText)) {
            OZK_ERR("failed to create %s pair!", key);
            return nullptr;
        }
    }
    if (strnlen(conf->nodeLabelKey, OZK_NODE_LABEL_LEN) > 0 && strnlen(conf->nodeLabelValue, OZK_NODE_LABEL_LEN) > 0) {
        CStr labelKey(strndup(conf->nodeLabelKey, OZK_NODE_LABEL_LEN));
        CStr labelValue(strndup(conf->nodeLabelValue, OZK_NODE_LABEL_LEN));
        if (!labelKey || !labelValue) {
            OZK_ERR("failed to create second node label!");
            return nullptr;
        }
        if (!ozkKvPairAppend(list.get(), labelKey, labelValue)) {
            OZK_ERR("failed to create node label pair!");
            return nullptr;
        }
    }
    return list.release();
}

extern "C" list_t *ozkAddrListCreate(const char *nodeIP)
{
    CStr hostName(ozkHostNameGet());
    CStr hostType = ozkStrDup("Hostname");
    if (!hostName || !hostType) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    AddrList list(list_createList());
    if (!list) {
        OZK_ERR("failed to allocate address list!");
        return nullptr;
    }
    CStr ip = ozkStrDup(nodeIP != nullptr ? nodeIP : "");
    CStr ipType = ozkStrDup("InternalIP");
    if (!ip || !ipType) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    NodeAddress internal(v1_node_address_create(ip.get(), ipType.get()));
    if (!internal) {
        OZK_ERR("failed to create InternalIP element!");
        return nullptr;
    }
    (void)ip.release();
    (void)ipType.release();
    if (!ozkRecordAppend(list.get(), internal)) {
        OZK_ERR("failed to create InternalIP element!");
        return nullptr;
    }
    NodeAddress host(v1_node_address_create(hostName.get(), hostType.get()));
    if (!host) {
        OZK_ERR("failed to create Hostname element!");
        return nullptr;
    }
    (void)hostName.release();
    (void)hostType.release();
    if (!ozkRecordAppend(list.get(), host)) {
        OZK_ERR("failed to create Hostname element!");
        return nullptr;
    }
    return list.release();
}

extern "C" list_t *ozkNodeCapListCreate(uint32_t podNum)
{
    CStr cpuKey = ozkStrDup("cpu");
    CStr podsKey = ozkStrDup("pods");
    if (!cpuKey || !podsKey) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    KvList list(list_createList());
    if (!list) {
        OZK_ERR("failed to allocate node capability list!");
        return nullptr;
    }
    uint32_t cpuNum = ozkEnabledCPUNumGet();
    CStr cpuText(ozkNumToString(cpuNum));
    if (!cpuText) {
        OZK_ERR("failed to format Enabled CPU number: %u!", cpuNum);
        return nullptr;
    }
    if (!ozkKvPairAppend(list.get(), cpuKey, cpuText)) {
        OZK_ERR("failed to create CPU pair!");
        return nullptr;
    }
    CStr podsText(ozkNumToString(podNum));
    if (!podsText) {
        OZK_ERR("failed to format Pod number: %u!", podNum);
        return nullptr;
    }
    if (!ozkKvPairAppend(list.get(), podsKey, podsText)) {
        OZK_ERR("failed to create pods pair!");
        return nullptr;
    }
    uint64_t memory = 0;
    STATUS memoryKnown = ozSysMemSizeGet(&memory);
    if (!ozkSizePairAppend(list.get(), "memory", memoryKnown, memory)) {
        OZK_ERR("failed to create memory pair!");
        return nullptr;
    }
    uint64_t storage = 0;
    STATUS storageKnown = ozSysStorageSizeGet(ozkRuntimeBaseGet().c_str(), &storage);
    if (!ozkSizePairAppend(list.get(), "ephemeral-storage", storageKnown, storage)) {
        OZK_ERR("failed to create ephemeral-storage pair!");
        return nullptr;
    }
    return list.release();
}

extern "C" list_t *ozkCondListCreate(BOOL transitionTimeSet)
{
    CStr type = ozkStrDup("Ready");
    CStr status = ozkStrDup("True");
    CStr reason = ozkStrDup("FerryReady");
    CStr message = ozkStrDup("ferry is posting ready status");
    if (!type || !status || !reason || !message) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    CondList list(list_createList());
    if (!list) {
        OZK_ERR("failed to allocate conditions list!");
        return nullptr;
    }
    CStr heartbeat(ozkCurrentTimeUsStr(FALSE));
    if (!heartbeat) {
        OZK_ERR("failed to get current time!");
        return nullptr;
    }
    CStr transition;
    if (transitionTimeSet) {
        transition = ozkStrDup(heartbeat.get());
        if (!transition) {
            OZK_ERR("not enough memory!");
            return nullptr;
        }
    }
    NodeCondition ready(v1_node_condition_create(heartbeat.get(), transition.get(), message.get(), reason.get(),
                                                 status.get(), type.get()));
    if (!ready) {
        OZK_ERR("failed to create ready condition!");
        return nullptr;
    }
    for (CStr *taken : {&heartbeat, &transition, &message, &reason, &status, &type}) {
        (void)taken->release();
    }
    if (!ozkRecordAppend(list.get(), ready)) {
        OZK_ERR("failed to create ready condition!");
        return nullptr;
    }
    return list.release();
}

extern "C" v1_node_system_info_t *ozkSysInfoCreate(void)
{
    CStr architecture = ozkStrDup(ozSysArchNameGet());
    CStr runtimeVersion = ozkStrDup(kSysRuntimeVersion);
    CStr kernelVersion = ozkStrDup(kSysKernelVersion);
    CStr proxyVersion = ozkStrDup(kSysAgentVersion);
    CStr agentVersion = ozkStrDup(kSysAgentVersion);
    CStr operatingSystem = ozkStrDup(kSysOperatingSystem);
    CStr osImage = ozkStrDup(kSysOsImage);
    if (!architecture || !runtimeVersion || !kernelVersion || !proxyVersion || !agentVersion || !operatingSystem ||
        !osImage) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    /* an identity the platform does not keep stays empty */
    char id[OZK_SYS_ID_LEN] = "";
    (void)ozSysBootIdGet(id, sizeof(id));
    CStr bootId = ozkStrDup(id);
    if (!bootId) {
        OZK_ERR("failed to generate boot ID!");
        return nullptr;
    }
    id[0] = '\0';
    (void)ozSysMachineIdGet(id, sizeof(id));
    CStr machineId = ozkStrDup(id);
    if (!machineId) {
        OZK_ERR("failed to generate machine ID!");
        return nullptr;
    }
    CStr systemUuid = ozkStrDup("");
    if (!systemUuid) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    v1_node_system_info_t *info = v1_node_system_info_create(
        architecture.get(), bootId.get(), runtimeVersion.get(), kernelVersion.get(), proxyVersion.get(),
        agentVersion.get(), machineId.get(), operatingSystem.get(), osImage.get(), systemUuid.get());
    if (info == nullptr) {
        OZK_ERR("failed to create system info!");
        return nullptr;
    }
    for (CStr *taken : {&architecture, &bootId, &runtimeVersion, &kernelVersion, &proxyVersion, &agentVersion,
                        &machineId, &operatingSystem, &osImage, &systemUuid}) {
        (void)taken->release();
    }
    return info;
}

/* ------------------------------------------------------------------------
 * The Node object and its registration
 * ------------------------------------------------------------------------ */

extern "C" v1_object_meta_t *ozkNodeMetaCreate(OZK_CONF *conf)
{
    if (conf == nullptr || conf->nodeName == nullptr) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    CStr name = ozkStrDup(conf->nodeName);
    CStr nameSpace = ozkStrDup(kNodeNamespace);
    if (!name || !nameSpace) {
        OZK_ERR("not enough memory!");
        return nullptr;
    }
    KvList labels(ozkLabelListCreate(conf));
    if (!labels) {
        OZK_ERR("failed to create label list!");
        return nullptr;
    }
    v1_object_meta_t *meta =
        v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, labels.get(), nullptr, name.get(),
                              nameSpace.get(), nullptr, nullptr, nullptr, nullptr);
    if (meta == nullptr) {
        OZK_ERR("v1_object_meta_create failed: node name=%s, namespace=%s!", conf->nodeName, kNodeNamespace);
        return nullptr;
    }
    (void)labels.release();
    (void)name.release();
    (void)nameSpace.release();
    return meta;
}

extern "C" v1_node_spec_t *ozkNodeSpecCreate(void)
{
    v1_node_spec_t *spec = v1_node_spec_create(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    if (spec == nullptr) {
        OZK_ERR("v1_node_spec_create failed!");
    }
    return spec;
}

extern "C" v1_node_status_t *ozkNodeStatusCreate(OZK_CONF *conf)
{
    if (conf == nullptr) {
        OZK_ERR("failed to create node status!");
        return nullptr;
    }
    AddrList addresses(ozkAddrListCreate(conf->nodeIP));
    if (!addresses) {
        OZK_ERR("failed to create address list!");
        return nullptr;
    }
    KvList allocatable(ozkNodeCapListCreate(conf->podMax));
    if (!allocatable) {
        OZK_ERR("failed to create allocable list!");
        return nullptr;
    }
    KvList capacity(ozkNodeCapListCreate(conf->podMax));
    if (!capacity) {
        OZK_ERR("failed to create capacity list!");
        return nullptr;
    }
    CondList conditions(ozkCondListCreate(TRUE));
    if (!conditions) {
        OZK_ERR("failed to create conditions list!");
        return nullptr;
    }
    SysInfo nodeInfo(ozkSysInfoCreate());
    if (!nodeInfo) {
        OZK_ERR("failed to create system info!");
        return nullptr;
    }
    CStr phase = ozkStrDup("Running");
    if (!phase) {
        OZK_ERR("not enough memory");
        return nullptr;
    }
    v1_node_status_t *status =
        v1_node_status_create(addresses.get(), allocatable.get(), capacity.get(), conditions.get(), nullptr, nullptr,
                              nullptr, nodeInfo.get(), phase.get(), nullptr, nullptr);
    if (status == nullptr) {
        OZK_ERR("failed to create node status!");
        return nullptr;
    }
    (void)addresses.release();
    (void)allocatable.release();
    (void)capacity.release();
    (void)conditions.release();
    (void)nodeInfo.release();
    (void)phase.release();
    return status;
}

namespace {

/* TRUE once the node agent stops, or the calling task is being deleted: a
 * step that failed then failed because of it, and says nothing. */
bool ozkNodeMgrStopping(const OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    return ozkClientStopped(nodeMgrCtrl->clientCtrl) || taskDeletePending();
}

/* Reads the Node; a Node with a uid replaces nodeObj. The HTTP status of
 * the read goes to *rspCode (0 without an answer). */
bool ozkNodeRead(OZK_NODE_MGR_CTRL *nodeMgrCtrl, uint32_t *rspCode)
{
    *rspCode = 0;
    Node node(ozkClientNodeReadRsp(nodeMgrCtrl->clientCtrl, nodeMgrCtrl->ozkCnf->nodeName, rspCode));
    if (!node || node->metadata == nullptr || node->metadata->uid == nullptr || node->metadata->uid[0] == '\0') {
        return false;
    }
    ozkObjReplace(&nodeMgrCtrl->nodeObj, node.release(), v1_node_free);
    return true;
}

} // namespace

extern "C" BOOL ozkNodeIsPresent(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    if (nodeMgrCtrl == nullptr || nodeMgrCtrl->ozkCnf == nullptr) {
        return FALSE;
    }
    uint32_t rspCode = 0;
    return ozkNodeRead(nodeMgrCtrl, &rspCode) ? TRUE : FALSE;
}

extern "C" STATUS ozkNodeCreate(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    if (nodeMgrCtrl == nullptr || nodeMgrCtrl->ozkCnf == nullptr) {
        return ERROR;
    }
    OZK_CONF *conf = nodeMgrCtrl->ozkCnf;
    if (ozkNodeIsPresent(nodeMgrCtrl)) {
        OZK_DEBUG("%s already exists!", conf->nodeName);
        return OK;
    }
    if (ozkNodeMgrStopping(nodeMgrCtrl)) {
        return ERROR;
    }
    ObjectMeta meta(ozkNodeMetaCreate(conf));
    if (!meta) {
        OZK_ERR("failed to create node Meta!");
        return ERROR;
    }
    NodeSpec spec(ozkNodeSpecCreate());
    if (!spec) {
        OZK_ERR("failed to create node spec!");
        return ERROR;
    }
    NodeStatus status(ozkNodeStatusCreate(conf));
    if (!status) {
        OZK_ERR("node status creation failed!");
        return ERROR;
    }
    CStr apiVersion = ozkStrDup("v1");
    CStr kind = ozkStrDup("Node");
    if (!apiVersion || !kind) {
        OZK_ERR("not enough memory!");
        return ERROR;
    }
    Node local(v1_node_create(apiVersion.get(), kind.get(), meta.get(), spec.get(), status.get()));
    if (!local) {
        OZK_ERR("node obj creation failed!");
        return ERROR;
    }
    (void)apiVersion.release();
    (void)kind.release();
    (void)meta.release();
    (void)spec.release();
    (void)status.release();

    uint32_t rspCode = 0;
    ozkObjReplace(&nodeMgrCtrl->nodeObj, ozkClientNodeCreateRsp(nodeMgrCtrl->clientCtrl, local.get(), &rspCode),
                  v1_node_free);
    if (nodeMgrCtrl->nodeObj != nullptr) {
        OZK_DEBUG("%s created successfully.", conf->nodeName);
        return OK;
    }
    /* 409: the Node exists, made by an earlier attempt whose answer was lost
     * or by someone else in between: it is adopted like one found at first */
    if (rspCode == 409 && ozkNodeIsPresent(nodeMgrCtrl)) {
        OZK_DEBUG("%s already exists!", conf->nodeName);
        return OK;
    }
    if (!ozkNodeMgrStopping(nodeMgrCtrl)) {
        OZK_ERR("failed to create node obj on cluster!");
    }
    return ERROR;
}

/* ------------------------------------------------------------------------
 * The lease
 * ------------------------------------------------------------------------ */

extern "C" v1_lease_t *ozkLeaseObjectGenerate(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    if (nodeMgrCtrl == nullptr || nodeMgrCtrl->ozkCnf == nullptr || nodeMgrCtrl->ozkCnf->nodeName == nullptr) {
        OZK_ERR("generate lease item fail!");
        return nullptr;
    }
    const char *nodeName = nodeMgrCtrl->ozkCnf->nodeName;
    const v1_node_t *node = nodeMgrCtrl->nodeObj;
    CStr uid;
    if (node != nullptr && node->metadata != nullptr) {
        uid = ozkStrDup(node->metadata->uid);
    }
    if (!uid) {
        OZK_ERR("generate uuid fail!");
        return nullptr;
    }
    CStr refApiVersion = ozkStrDup("v1");
    CStr refKind = ozkStrDup("Node");
    if (!refApiVersion || !refKind) {
        OZK_ERR("generate reference kind fail!");
        return nullptr;
    }
    CStr refName = ozkStrDup(nodeName);
    if (!refName) {
        OZK_ERR("generate node name for lease fail!");
        return nullptr;
    }
    OwnerRef ownerRef(v1_owner_reference_create(refApiVersion.get(), 0, 0, refKind.get(), refName.get(), uid.get()));
    if (!ownerRef) {
        OZK_ERR("generate lease reference fail!");
        return nullptr;
    }
    (void)refApiVersion.release();
    (void)refKind.release();
    (void)refName.release();
    (void)uid.release();
    OwnerRefList ownerRefs(list_createList());
    if (!ownerRefs || !ozkRecordAppend(ownerRefs.get(), ownerRef)) {
        OZK_ERR("generate lease own reference fail!");
        return nullptr;
    }
    CStr metaName = ozkStrDup(nodeName);
    if (!metaName) {
        OZK_ERR("generate lease meta node name fail!");
        return nullptr;
    }
    ObjectMeta meta(v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          metaName.get(), nullptr, ownerRefs.get(), nullptr, nullptr, nullptr));
    if (!meta) {
        OZK_ERR("generate lease meta fail!");
        return nullptr;
    }
    (void)metaName.release();
    (void)ownerRefs.release();
    CStr renewTime(ozkCurrentTimeUsStr(TRUE));
    if (!renewTime) {
        OZK_ERR("generate lease renew time fail!");
        return nullptr;
    }
    CStr holder = ozkStrDup(nodeName);
    if (!holder) {
        OZK_ERR("generate lease holdIdentity fail!");
        return nullptr;
    }
    LeaseSpec spec(v1_lease_spec_create(nullptr, holder.get(), OZK_LEASE_DURATION, 0, renewTime.get()));
    if (!spec) {
        OZK_ERR("generate lease spec fail!");
        return nullptr;
    }
    (void)holder.release();
    (void)renewTime.release();
    CStr apiVersion = ozkStrDup("coordination.k8s.io/v1");
    if (!apiVersion) {
        OZK_ERR("generate lease api version fail!");
        return nullptr;
    }
    CStr kind = ozkStrDup("Lease");
    if (!kind) {
        OZK_ERR("generate lease api kind fail!");
        return nullptr;
    }
    v1_lease_t *lease = v1_lease_create(apiVersion.get(), kind.get(), meta.get(), spec.get());
    if (lease == nullptr) {
        OZK_ERR("generate lease item fail!");
        return nullptr;
    }
    (void)apiVersion.release();
    (void)kind.release();
    (void)meta.release();
    (void)spec.release();
    return lease;
}

extern "C" STATUS ozkLeaseGet(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    if (nodeMgrCtrl == nullptr || nodeMgrCtrl->ozkCnf == nullptr) {
        return ERROR;
    }
    return ozkClientLeaseGet(nodeMgrCtrl->clientCtrl, nodeMgrCtrl->ozkCnf->nodeName, OZK_LEASE_NAMESPACE);
}

extern "C" STATUS ozkLeaseCreate(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    Lease lease(ozkLeaseObjectGenerate(nodeMgrCtrl));
    if (!lease) {
        OZK_ERR("generate lease item error!");
        return ERROR;
    }
    uint32_t rspCode = 0;
    v1_lease_t *created = ozkClientLeaseCreateRsp(nodeMgrCtrl->clientCtrl, OZK_LEASE_NAMESPACE, lease.get(), &rspCode);
    if (created == nullptr) {
        /* 409: the lease exists (an earlier attempt's answer was lost):
         * adopted like one found at start; the next renewal makes it ours */
        if (rspCode == 409 && ozkLeaseGet(nodeMgrCtrl) == OK) {
            OZK_DEBUG("lease %s already exists!", nodeMgrCtrl->ozkCnf->nodeName);
            return OK;
        }
        if (!ozkNodeMgrStopping(nodeMgrCtrl)) {
            OZK_ERR("create lease fail!");
        }
        return ERROR;
    }
    ozkObjReplace(&nodeMgrCtrl->leaseObj, created, v1_lease_free);
    OZK_DEBUG("create lease success!");
    return OK;
}

extern "C" STATUS ozkLeasePatch(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    Lease lease(ozkLeaseObjectGenerate(nodeMgrCtrl));
    if (!lease) {
        OZK_ERR("generate lease item fail!");
        return ERROR;
    }
    Json json(v1_lease_convertToJSON(lease.get()));
    if (!json) {
        OZK_ERR("lease convert to json fail, no need patch lease");
        return ERROR;
    }
    /* The owner reference replaces whatever the lease had: a lease left by
     * an earlier Node of this name would otherwise keep that Node's reference
     * beside the current one (owner references merge by uid). */
    cJSON *ownerRefs =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(json.get(), "metadata"), "ownerReferences");
    cJSON *replace = cJSON_CreateObject();
    if (!cJSON_IsArray(ownerRefs) || replace == nullptr ||
        cJSON_AddStringToObject(replace, "$patch", "replace") == nullptr || !cJSON_AddItemToArray(ownerRefs, replace)) {
        cJSON_Delete(replace);
        OZK_ERR("lease convert to json fail, no need patch lease");
        return ERROR;
    }
    Body body(object_create());
    if (body) {
        body->temporary = cJSON_PrintUnformatted(json.get());
    }
    if (!body || body->temporary == nullptr) {
        OZK_ERR("malloc object fail, no need patch lease");
        return ERROR;
    }
    uint32_t rspCode = 0;
    v1_lease_t *patched = ozkClientLeasePatchRsp(nodeMgrCtrl->clientCtrl, OZK_LEASE_NAMESPACE,
                                                 nodeMgrCtrl->ozkCnf->nodeName, body.get(), &rspCode);
    if (patched == nullptr) {
        /* someone deleted the lease: it is made again, owned by this Node */
        if (rspCode == 404) {
            OZK_WARN("lease %s has been deleted, creating it again", nodeMgrCtrl->ozkCnf->nodeName);
            return ozkLeaseCreate(nodeMgrCtrl);
        }
        if (!ozkNodeMgrStopping(nodeMgrCtrl)) {
            OZK_ERR("patch lease fail!");
        }
        return ERROR;
    }
    ozkObjReplace(&nodeMgrCtrl->leaseObj, patched, v1_lease_free);
    return OK;
}

/* An existing lease is left as it is; the first update cycle renews it. */
extern "C" STATUS ozkLeaseManagerStart(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    STATUS status = ozkLeaseGet(nodeMgrCtrl);
    if (status != OK) {
        status = ozkLeaseCreate(nodeMgrCtrl);
    }
    OZK_DEBUG("lease manager start return code:%d.", status);
    return status;
}

/* ------------------------------------------------------------------------
 * Node status update
 * ------------------------------------------------------------------------ */

namespace {

/* TRUE when posting Ready "True" changes the condition's status on the
 * known Node (a Node read from the API server whose Ready condition is
 * missing or not "True", as the node lifecycle controller leaves it when
 * heartbeats stopped): only then does the transition time move. */
BOOL ozkNodeReadyChanges(const v1_node_t *node)
{
    if (node == nullptr) {
        return FALSE;
    }
    listEntry_t *entry = nullptr;
    list_ForEach(entry, node->status != nullptr ? node->status->conditions : nullptr)
    {
        auto *cond = static_cast<const v1_node_condition_t *>(entry->data);
        if (cond != nullptr && cond->type != nullptr && strcmp(cond->type, "Ready") == 0) {
            return cond->status == nullptr || strcmp(cond->status, "True") != 0 ? TRUE : FALSE;
        }
    }
    return TRUE;
}

} // namespace

extern "C" object_t *ozkNodeStatusUpdateGet(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    if (nodeMgrCtrl == nullptr || nodeMgrCtrl->ozkCnf == nullptr) {
        return nullptr;
    }
    OZK_CONF *conf = nodeMgrCtrl->ozkCnf;
    AddrList addresses(ozkAddrListCreate(conf->nodeIP));
    if (!addresses) {
        OZK_ERR("failed to create address list!");
        return nullptr;
    }
    CondList conditions(ozkCondListCreate(ozkNodeReadyChanges(nodeMgrCtrl->nodeObj)));
    if (!conditions) {
        OZK_ERR("failed to create conditions list!");
        return nullptr;
    }
    /* Until the pod manager runs the pod count is unknown, and the patch
     * leaves the allocatable resources as they are. */
    KvList allocatable;
    OZK_POD_MANAGER_CTRL *podManagerCtrl = nodeMgrCtrl->podManagerCtrlPtr;
    uint32_t podCount = 0;
    if (podManagerCtrl != nullptr && ozkPodCacheNumberGet(podManagerCtrl, &podCount) == OK) {
        uint32_t freeSlots = podCount > conf->podMax ? 0 : conf->podMax - podCount;
        allocatable.reset(ozkNodeCapListCreate(freeSlots));
        if (!allocatable) {
            OZK_ERR("failed to create allocable list!");
            return nullptr;
        }
    }
    NodeStatus status(v1_node_status_create(addresses.get(), allocatable.get(), nullptr, conditions.get(), nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!status) {
        OZK_ERR("failed to create node status!");
        return nullptr;
    }
    (void)addresses.release();
    (void)allocatable.release();
    (void)conditions.release();
    Node node(v1_node_create(nullptr, nullptr, nullptr, nullptr, status.get()));
    if (!node) {
        OZK_ERR("failed to create status update node!");
        return nullptr;
    }
    (void)status.release();
    Json json(v1_node_convertToJSON(node.get()));
    node.reset();
    if (!json) {
        OZK_ERR("failed to convert node status to JSON!");
        return nullptr;
    }
    Body body(object_create());
    if (!body) {
        OZK_ERR("failed to create body object!");
        return nullptr;
    }
    body->temporary = cJSON_Print(json.get());
    if (body->temporary == nullptr) {
        OZK_ERR("failed to generate JSON string for node status!");
        return nullptr;
    }
    return body.release();
}

/* Every interval one cycle: the Node must still exist, then the lease is
 * renewed and the status patched, in this order. A failed cycle ends the
 * node agent, unless the agent is stopping: then the step was cut short on
 * purpose, and the task ends as on its stop signal. */
extern "C" int ozkNodeUpdateTask(void *arg)
{
    auto *ctrl = static_cast<OZK_CTRL *>(arg);
    OZK_NODE_MGR_CTRL *nodeMgrCtrl = &ctrl->nodeManagerCtrl;
    const char *nodeName = nodeMgrCtrl->ozkCnf->nodeName;
    int waitTicks = sysClkRateGet() * static_cast<int>(nodeMgrCtrl->ozkCnf->nodeUpdateInterval);

    for (;;) {
        STATUS taken = semTake(nodeMgrCtrl->semRunning, waitTicks);
        int err = errnoGet();
        if (taken == OK || ozkNodeMgrStopping(nodeMgrCtrl)) {
            break;
        }
        if (err != S_objLib_OBJ_TIMEOUT) {
            goto failure;
        }
        uint32_t rspCode = 0;
        if (!ozkNodeRead(nodeMgrCtrl, &rspCode)) {
            if (ozkNodeMgrStopping(nodeMgrCtrl)) {
                break;
            }
            if (rspCode == 404) {
                OZK_ERR("node %s has been deleted!", nodeName);
            } else if (rspCode == 0) {
                OZK_ERR("failed to read node %s: no answer from the API server!", nodeName);
            } else if (rspCode < 400 || rspCode > 599) {
                OZK_ERR("failed to read node %s: the answer (HTTP %u) holds no Node!", nodeName, rspCode);
            } else {
                OZK_ERR("failed to read node %s: HTTP error %u!", nodeName, rspCode);
            }
            goto failure;
        }
        Body body(ozkNodeStatusUpdateGet(nodeMgrCtrl));
        if (!body) {
            OZK_ERR("failed to get node status update object!");
            goto failure;
        }
        if (ozkLeasePatch(nodeMgrCtrl) != OK) {
            if (ozkNodeMgrStopping(nodeMgrCtrl)) {
                break;
            }
            OZK_ERR("failed to patch lease!");
            goto failure;
        }
        v1_node_t *patched = ozkClientNodeStatusPatch(nodeMgrCtrl->clientCtrl, nodeName, body.get());
        if (patched == nullptr) {
            if (ozkNodeMgrStopping(nodeMgrCtrl)) {
                break;
            }
            OZK_ERR("failed to patch node status!");
            goto failure;
        }
        OZK_DEBUG("%s status updated successfully.", nodeName);
        ozkObjReplace(&nodeMgrCtrl->nodeObj, patched, v1_node_free);
    }
    OZK_DEBUG("ozkNodeUpdateTask exits successfully");
    return 0;

failure:
    OZK_ERR("ozkNodeUpdateTask exits with ERROR!");
    ozkForceShutDown();
}

/* ------------------------------------------------------------------------
 * Start and destroy
 * ------------------------------------------------------------------------ */

extern "C" STATUS ozkNodeManagerStart(OZK_CTRL *ctrl)
{
    if (ctrl == nullptr) {
        return ERROR;
    }
    OZK_NODE_MGR_CTRL *nodeMgrCtrl = &ctrl->nodeManagerCtrl;

    nodeMgrCtrl->clientCtrl = &ctrl->clientCtrl;
    nodeMgrCtrl->ozkCnf = &ctrl->ozkCnf;

    /* a stop during the registration cuts it short: no error to report */
    if (ozkNodeCreate(nodeMgrCtrl) != OK) {
        if (!ozkNodeMgrStopping(nodeMgrCtrl)) {
            OZK_ERR("failed to create/get this node in the control plane!");
        }
        (void)ozkNodeManagerDestroy(nodeMgrCtrl);
        return ERROR;
    }
    if (ozkLeaseManagerStart(nodeMgrCtrl) != OK) {
        if (!ozkNodeMgrStopping(nodeMgrCtrl)) {
            OZK_ERR("failed to start lease manager!");
        }
        (void)ozkNodeManagerDestroy(nodeMgrCtrl);
        return ERROR;
    }
    OZK_DEBUG("start lease manager success!");

    nodeMgrCtrl->semRunning = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (nodeMgrCtrl->semRunning == nullptr) {
        OZK_ERR("failed to create Node manager running semaphore!");
        (void)ozkNodeManagerDestroy(nodeMgrCtrl);
        return ERROR;
    }
    nodeMgrCtrl->updateTaskId = 0;
    TASK_ID tid =
        taskSpawn(OZK_NODE_TASK_NAME, OZK_NODE_TASK_PRIORITY, 0, OZK_NODE_TASK_STACK, ozkNodeUpdateTask, ctrl);
    if (tid == TASK_ID_NULL) {
        OZK_ERR("failed to create Node manager status update task!");
        (void)ozkNodeManagerDestroy(nodeMgrCtrl);
        return ERROR;
    }
    nodeMgrCtrl->updateTaskId = tid;
    OZK_DEBUG("node manager started!");
    return OK;
}

extern "C" STATUS ozkNodeManagerDestroy(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    STATUS result = OK;

    if (nodeMgrCtrl == nullptr) {
        return OK;
    }
    if (nodeMgrCtrl->semRunning != nullptr) {
        if (nodeMgrCtrl->updateTaskId != 0) {
            if (semGive(nodeMgrCtrl->semRunning) != OK) {
                OZK_ERR("semGive failed! errno=%d", errnoGet());
                result = ERROR;
            }
            if (taskWait(nodeMgrCtrl->updateTaskId, sysClkRateGet() * OZK_NODE_TASK_EXIT_WAIT, nullptr) != OK) {
                OZK_ERR("node update task cannot exit normally and has to be forcedly killed! ErrorNo: %d", errnoGet());
                if (taskDelete(nodeMgrCtrl->updateTaskId) != OK) {
                    OZK_ERR("taskDelete failed! errno=%d", errnoGet());
                    result = ERROR;
                }
            }
            nodeMgrCtrl->updateTaskId = 0;
        }
        if (semDelete(nodeMgrCtrl->semRunning) != OK) {
            OZK_ERR("semDelete failed! errno=%d", errnoGet());
        }
        nodeMgrCtrl->semRunning = nullptr;
    }
    v1_node_free(nodeMgrCtrl->nodeObj);
    nodeMgrCtrl->nodeObj = nullptr;
    v1_lease_free(nodeMgrCtrl->leaseObj);
    nodeMgrCtrl->leaseObj = nullptr;
    OZK_DEBUG("nodeManager has been destroyed");
    return result;
}
