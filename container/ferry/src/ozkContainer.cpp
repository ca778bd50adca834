/*
 * ozkContainer.cpp - container integration: turns a pod into local
 * containers and reports their state.
 *
 * Pod start: the credentials of the pod's pull secrets are chosen per
 * container by the registry of its image; every container is reported
 * waiting; then for each container its image is pulled when its policy asks
 * for it (one pull at a time), unpacked into a fresh bundle, created and
 * started through the runtime, recorded in the container cache, and its
 * status built; the pod's status is patched with all of them.
 *
 * Pod status: container statuses from the cache and the runtime (the exit
 * status of a stopped container's process included), the phase, the
 * conditions and addresses, the status patch, and the batch sync that
 * patches a pod only when one of its containers changed.
 */
#define OZK_LOG_UNIT "ozkContainer"
#include "ozkClient.h"
#include "ozkContainer.h"
#include "ozkContainerSpec.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkNodeManager.h"
#include "ozkPodInt.h"

#include "ozcMgr.h"
#include "ozcontainer.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using ozk::CStr;
using ozk::Json;
using ozk::JsonText;
using ozk::PodStatus;

namespace {

using RegistryCtx = oz::Owner<REGISTRY_CTX, ozcRegistryCtxDelete>;
using StatusList = oz::Owner<list_t, ozkContainerStatusListFree>;
using CondList = oz::Owner<list_t, ozkPodConditionListFree>;
using ContainerState = oz::Owner<v1_container_state_t, v1_container_state_free>;
using ContainerStatus = oz::Owner<v1_container_status_t, v1_container_status_free>;
using Running = oz::Owner<v1_container_state_running_t, v1_container_state_running_free>;
using Terminated = oz::Owner<v1_container_state_terminated_t, v1_container_state_terminated_free>;
using Waiting = oz::Owner<v1_container_state_waiting_t, v1_container_state_waiting_free>;
using Condition = oz::Owner<v1_pod_condition_t, v1_pod_condition_free>;
using PodIp = oz::Owner<v1_pod_ip_t, v1_pod_ip_free>;
using KubeList = oz::Owner<list_t, list_freeList>;

constexpr unsigned kDeleteForce = 2; /* ozcDelete: also a running container */
constexpr int kNoSuchContainer = 19; /* ozcDelete's errno for an unknown id */
constexpr int kNoSuchPath = 2;       /* ozcImageBundleDelete's for a missing path */

/* Milliseconds since `since`, for the debug lines that time the steps of a
 * container start (real time, whatever the pace of the task clock). */
long long msSince(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

/* The last start stamp handed out: stamps are the wall clock in
 * milliseconds, each greater than the one before, so that no two starts of
 * one run, nor a run and the one killed just before it, share a container
 * id or a bundle. */
std::atomic<unsigned long long> lastStamp{0};

/* The names under which the default registry is known. */
constexpr std::string_view kDefaultRegistryNames[] = {"docker.io", "index.docker.io", "registry-1.docker.io",
                                                      "registry.hub.docker.com"};

/* Credentials are wiped when they go. */
struct AuthConfigs {
    std::vector<REGISTRY_AUTH_CONFIG> records;
    ~AuthConfigs()
    {
        if (!records.empty()) {
            explicit_bzero(records.data(), records.size() * sizeof(REGISTRY_AUTH_CONFIG));
        }
    }
};

/* Host (and port) of a registry name or an "auths" key, lower case: no
 * scheme, nothing from the first '/'. */
std::string registryHostOf(std::string_view name)
{
    for (std::string_view scheme : {"https://", "http://"}) {
        if (name.size() >= scheme.size()) {
            std::string head(name.substr(0, scheme.size()));
            for (char &c : head) {
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            }
            if (head == scheme) {
                name.remove_prefix(scheme.size());
                break;
            }
        }
    }
    name = name.substr(0, name.find('/'));
    std::string host(name);
    for (char &c : host) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return host;
}

bool defaultRegistryName(const std::string &host)
{
    for (std::string_view known : kDefaultRegistryNames) {
        if (host == known) {
            return true;
        }
    }
    return false;
}

const cJSON *jsonMember(const cJSON *object, const char *name)
{
    return cJSON_GetObjectItemCaseSensitive(object, name);
}

/* The registry part of an image reference (the default registry when the
 * reference names none); false when the reference does not parse. */
bool imageRegistryGet(const char *image, char (&registry)[OZK_REGISTRY_INFO_LEN])
{
    RegistryCtx ctx(ozcRegistryCtxCreate());
    return ctx && image != nullptr && ozcRegistryCtxImageSet(ctx.get(), image) == 0 &&
           ozcImageRegistryInfoGet(ctx.get(), registry, sizeof(registry), nullptr, 0, nullptr, 0, nullptr, 0) == 0;
}

struct ImageParts {
    char registry[OZK_REGISTRY_INFO_LEN];
    char repository[OZK_REGISTRY_INFO_LEN];
    char image[OZK_REGISTRY_INFO_LEN];
    char tag[OZK_REGISTRY_INFO_LEN];
};

bool imagePartsGet(REGISTRY_CTX *ctx, ImageParts *parts)
{
    return ozcImageRegistryInfoGet(ctx, parts->registry, sizeof(parts->registry), parts->repository,
                                   sizeof(parts->repository), parts->image, sizeof(parts->image), parts->tag,
                                   sizeof(parts->tag)) == 0;
}

/* The image's repository path: the repository as parsed holds the image's
 * own name as its last element already. */
std::string repositoryPath(const ImageParts &parts)
{
    std::string_view repository(parts.repository);
    std::string_view image(parts.image);
    bool ends = repository == image ||
                (repository.size() > image.size() && repository.substr(repository.size() - image.size()) == image &&
                 repository[repository.size() - image.size() - 1] == '/');
    if (repository.empty()) {
        return std::string(image);
    }
    return ends ? std::string(repository) : std::string(repository) + "/" + std::string(image);
}

/* The image ID of the layout entry that carries an image; *annotated tells
 * whether any entry carries a ref name at all. ERROR, without a word of its
 * own, when no entry matches. */
STATUS imageEntryFind(const char *imagePath, const char *refName, const char *imageName, char *imageId,
                      size_t imageIdSize, bool *annotated)
{
    *annotated = false;
    imageId[0] = '\0';
    CStr text(ozcImageInfoGet(imagePath));
    if (!text) {
        OZK_WARN("ozkImageIdGet ozc image inspect fail!");
        return ERROR;
    }
    Json images(cJSON_Parse(text.get()));
    if (!cJSON_IsArray(images.get())) {
        OZK_ERR("parse json from image json string fail!");
        return ERROR;
    }
    const cJSON *image = nullptr;
    cJSON_ArrayForEach(image, images.get())
    {
        const cJSON *annotations = jsonMember(image, "annotations");
        const cJSON *ref = jsonMember(annotations, OZK_ANNOTATION_REF_NAME);
        const cJSON *name = jsonMember(annotations, OZK_ANNOTATION_IMAGE_NAME);
        *annotated = *annotated || cJSON_IsString(ref);
        const cJSON *id = jsonMember(image, "Id");
        if (!cJSON_IsString(id)) {
            OZK_ERR("get id from image json fail!");
            continue;
        }
        if (refName != nullptr && !(cJSON_IsString(ref) && strcmp(ref->valuestring, refName) == 0)) {
            continue;
        }
        if (imageName != nullptr && name != nullptr &&
            !(cJSON_IsString(name) && strcmp(name->valuestring, imageName) == 0)) {
            continue;
        }
        if (id->valuestring[0] != '\0') {
            if (!ozk::fieldCopy(imageId, imageIdSize, id->valuestring)) {
                OZK_ERR("image id %s is too long!", id->valuestring);
            }
            break;
        }
    }
    OZK_DEBUG("image jsonBody:%s", text.get());
    return imageId[0] != '\0' ? OK : ERROR;
}

/* The configuration ("Entrypoint", "Cmd", ...) of the layout entry with an
 * image ID, or null. */
Json imageConfigGet(const char *imagePath, const char *imageId)
{
    CStr text(ozcImageInfoGet(imagePath));
    Json images(text ? cJSON_Parse(text.get()) : nullptr);
    const cJSON *image = nullptr;
    cJSON_ArrayForEach(image, images.get())
    {
        const cJSON *id = jsonMember(image, "Id");
        if (cJSON_IsString(id) && strcmp(id->valuestring, imageId) == 0) {
            return Json(cJSON_Duplicate(jsonMember(image, "Config"), 1));
        }
    }
    return nullptr;
}

} // namespace

/* Strict standard base64 (padding optional, no other characters) into a
 * new NUL-terminated text; *length (may be null) gets the decoded size,
 * which a NUL byte inside makes larger than the text's length. */
ozk::CStr ozk::base64Decode(const char *in, size_t *length)
{
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    size_t len = strlen(in);
    while (len > 0 && in[len - 1] == '=') {
        len--;
    }
    if (len == 0 || len % 4 == 1 || strlen(in) - len > 2) {
        return nullptr;
    }
    CStr out(static_cast<char *>(malloc(len / 4 * 3 + 3)));
    if (!out) {
        return nullptr;
    }
    size_t n = 0;
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < len; i++) {
        int v = value(in[i]);
        if (v < 0) {
            explicit_bzero(out.get(), len / 4 * 3 + 3);
            return nullptr;
        }
        bits = (bits << 6) | static_cast<uint32_t>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.get()[n++] = static_cast<char>((bits >> held) & 0xff);
        }
    }
    out.get()[n] = '\0';
    if (length != nullptr) {
        *length = n;
    }
    return out;
}

/* ========================================================================
 * Pull secrets
 * ======================================================================== */
extern "C" BOOL ozkRegistryKeyMatch(const char *authKey, const char *registry)
{
    if (authKey == nullptr || registry == nullptr) {
        return FALSE;
    }
    std::string key = registryHostOf(authKey);
    std::string host = registryHostOf(registry);
    if (key.empty() || host.empty()) {
        return FALSE;
    }
    return key == host || (defaultRegistryName(key) && defaultRegistryName(host));
}

extern "C" STATUS ozkSecretParseToAuthConfig(v1_secret_t *secret, cJSON **auths)
{
    if (secret->data == nullptr) {
        OZK_ERR("invalid secret data");
        return ERROR;
    }
    const char *encoded = nullptr;
    listEntry_t *entry = nullptr;
    list_ForEach(entry, secret->data)
    {
        auto *pair = static_cast<keyValuePair_t *>(entry->data);
        if (pair != nullptr && ozk::textEquals(pair->key, OZK_DOCKER_CONFIG_KEY)) {
            encoded = static_cast<const char *>(pair->value);
            break;
        }
    }
    if (encoded == nullptr) {
        OZK_ERR("get docker config json key fail!");
        return ERROR;
    }
    CStr decoded = ozk::base64Decode(encoded, nullptr);
    if (!decoded) {
        OZK_ERR("decode secret data fail!");
        return ERROR;
    }
    Json config(cJSON_Parse(decoded.get()));
    explicit_bzero(decoded.get(), strlen(decoded.get()));
    if (!config) {
        OZK_ERR("parse secret data from json object fail!");
        return ERROR;
    }
    Json authsItem(cJSON_DetachItemFromObjectCaseSensitive(config.get(), "auths"));
    if (!cJSON_IsObject(authsItem.get())) {
        OZK_ERR("parse auth item from secret item fail!");
        return ERROR;
    }
    if (authsItem->child == nullptr) {
        OZK_ERR("parse registry auth info fail!");
        return ERROR;
    }
    *auths = authsItem.release();
    return OK;
}

extern "C" STATUS ozkDockerNamePwdGet(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podNamespace,
                                      const char *secretName, cJSON **auths)
{
    ozk::Secret secret(ozkClientSecretGet(podManagerCtrl->clientCtrl, podNamespace, secretName));
    if (!secret) {
        OZK_ERR("secret item is NULL!");
        return ERROR;
    }
    if (ozkSecretParseToAuthConfig(secret.get(), auths) != OK) {
        OZK_ERR("parse auth config fail!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkRegistryAuthGet(cJSON *authsList, const char *registry, REGISTRY_AUTH_CONFIG *authConfig)
{
    explicit_bzero(authConfig, sizeof(*authConfig));
    const cJSON *auths = nullptr;
    cJSON_ArrayForEach(auths, authsList)
    {
        const cJSON *member = nullptr;
        cJSON_ArrayForEach(member, auths)
        {
            if (!ozkRegistryKeyMatch(member->string, registry)) {
                continue;
            }
            const cJSON *user = jsonMember(member, "username");
            if (user == nullptr) {
                OZK_ERR("get username json fail!");
                return ERROR;
            }
            const cJSON *password = jsonMember(member, "password");
            if (password == nullptr) {
                OZK_ERR("get pwd json fail!");
                return ERROR;
            }
            if (cJSON_IsString(user) && !ozk::fieldCopy(authConfig->username, user->valuestring)) {
                OZK_ERR("registry username is longer than %d characters!", OZK_AUTH_FIELD_LEN - 1);
            }
            if (cJSON_IsString(password) && !ozk::fieldCopy(authConfig->password, password->valuestring)) {
                OZK_ERR("registry password is longer than %d characters!", OZK_AUTH_FIELD_LEN - 1);
            }
            if (authConfig->username[0] != '\0' && authConfig->password[0] != '\0') {
                return OK;
            }
            explicit_bzero(authConfig, sizeof(*authConfig));
            break; /* this secret names the registry without credentials */
        }
    }
    return OK;
}

extern "C" STATUS ozkRegistryUserPwdSet(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem,
                                        REGISTRY_AUTH_CONFIG *authConfigs, size_t count)
{
    explicit_bzero(authConfigs, count * sizeof(REGISTRY_AUTH_CONFIG));
    if (podItem->spec->image_pull_secrets == nullptr) {
        OZK_DEBUG("pod without secret!");
        return OK;
    }
    if (podItem->metadata->_namespace == nullptr) {
        OZK_ERR("invalid pod namespace for secret get!");
        return ERROR;
    }
    /* the "auths" of every secret, in the pod's order; their passwords are
     * wiped with them */
    struct AuthsList {
        Json list{cJSON_CreateArray()};
        ~AuthsList()
        {
            cJSON *auths = nullptr;
            cJSON_ArrayForEach(auths, list.get())
            {
                cJSON *member = nullptr;
                cJSON_ArrayForEach(member, auths)
                {
                    cJSON *password = cJSON_GetObjectItemCaseSensitive(member, "password");
                    if (cJSON_IsString(password)) {
                        explicit_bzero(password->valuestring, strlen(password->valuestring));
                    }
                }
            }
        }
    } secrets;
    if (!secrets.list) {
        OZK_ERR("get username and pwd fail!");
        return ERROR;
    }
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->spec->image_pull_secrets)
    {
        auto *ref = static_cast<v1_local_object_reference_t *>(entry->data);
        if (ref == nullptr) {
            continue;
        }
        cJSON *auths = nullptr;
        if (ozkDockerNamePwdGet(podManagerCtrl, podItem->metadata->_namespace, ref->name, &auths) != OK) {
            OZK_ERR("get username and pwd fail!");
            return ERROR;
        }
        cJSON_AddItemToArray(secrets.list.get(), auths);
    }
    size_t index = 0;
    list_ForEach(entry, podItem->spec->containers)
    {
        if (index >= count) {
            break;
        }
        auto *container = static_cast<v1_container_t *>(entry->data);
        char registry[OZK_REGISTRY_INFO_LEN];
        /* an image that does not parse fails its own pull later */
        if (container != nullptr && imageRegistryGet(container->image, registry) &&
            ozkRegistryAuthGet(secrets.list.get(), registry, &authConfigs[index]) != OK) {
            OZK_ERR("get username and pwd fail!");
            return ERROR;
        }
        index++;
    }
    return OK;
}

/* ========================================================================
 * Container records and the runtime
 * ======================================================================== */
extern "C" char *ozkMsTimeStampGet(void)
{
    auto *text = static_cast<char *>(calloc(1, OZK_STAMP_LEN));
    if (text == nullptr) {
        return nullptr;
    }
    auto now = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    unsigned long long last = lastStamp.load();
    unsigned long long stamp = 0;
    do {
        stamp = now > last ? now : last + 1;
    } while (!lastStamp.compare_exchange_weak(last, stamp));
    (void)snprintf_s(text, OZK_STAMP_LEN, "%llX", stamp);
    return text;
}

/* Removes a bundle directory; one that is not there is gone already. */
static STATUS ozkBundleRemove(const char *bundlePath)
{
    if (bundlePath == nullptr || strnlen(bundlePath, OZK_IMAGE_ID_LEN) == 0) {
        return OK;
    }
    if (ozcImageBundleDelete(bundlePath) != OK && errnoGet() != kNoSuchPath) {
        OZK_ERR("delete bundle path fail, bundlePath:%s,errcode:%d", bundlePath, errnoGet());
        return ERROR;
    }
    return OK;
}

/* The owner record in a bundle the agent made: the agent removes at its
 * start what an earlier run of it left behind, and only what carries it. */
static std::string ozkBundleOwnerPath(const std::string &bundlePath)
{
    return bundlePath + "/" + OZK_BUNDLE_OWNER_FILE;
}

static STATUS ozkBundleOwnerMark(const char *bundlePath, const char *containerKey)
{
    Json record(cJSON_CreateObject());
    if (!record || cJSON_AddStringToObject(record.get(), "owner", "ferryService") == nullptr ||
        cJSON_AddStringToObject(record.get(), "container", containerKey) == nullptr) {
        OZK_ERR("create bundle owner record fail!");
        return ERROR;
    }
    JsonText text(cJSON_PrintUnformatted(record.get()));
    std::string path = ozkBundleOwnerPath(bundlePath);
    FILE *file = text ? fopen(path.c_str(), "wex") : nullptr;
    bool written = file != nullptr && fputs(text.get(), file) >= 0;
    if (file != nullptr && fclose(file) != 0) {
        written = false;
    }
    if (!written) {
        OZK_ERR("write bundle owner record %s fail!", path.c_str());
        return ERROR;
    }
    return OK;
}

static bool ozkBundleOwned(const std::string &bundlePath)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(ozkBundleOwnerPath(bundlePath), ec);
}

extern "C" STATUS ozkContainerLeftoversRemove(OZK_POD_MANAGER_CTRL *podManagerCtrl)
{
    namespace fs = std::filesystem;
    char baseText[OZK_PATH_LEN] = "";
    if (ozEnvGet(OZK_ENV_BASE, baseText, sizeof(baseText)) != OK) {
        baseText[0] = '\0';
    }
    /* bundles are "<base>/<name>": compared as normal paths, "" is "/" */
    const fs::path base = (fs::path(baseText[0] != '\0' ? baseText : "/") / "x").lexically_normal().parent_path();
    auto inBase = [&](const std::string &bundle) { return fs::path(bundle).lexically_normal().parent_path() == base; };
    CStr listText(ozcList());
    Json list(listText ? cJSON_Parse(listText.get()) : nullptr);
    if (!cJSON_IsArray(list.get())) {
        OZK_WARN("the runtime's container list cannot be had: containers of an earlier run stay");
        return ERROR;
    }
    STATUS result = OK;
    std::set<std::string> kept; /* bundles of containers that stay */
    const cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, list.get())
    {
        const cJSON *id = jsonMember(entry, "id");
        const cJSON *bundle = jsonMember(entry, "bundle");
        if (!cJSON_IsString(id) || !cJSON_IsString(bundle)) {
            continue;
        }
        if (!inBase(bundle->valuestring) || !ozkBundleOwned(bundle->valuestring)) {
            kept.insert(fs::path(bundle->valuestring).lexically_normal().string());
            continue;
        }
        OZK_WARN("removing container %s left by an earlier run", id->valuestring);
        if (ozkContainerDelete(podManagerCtrl, id->valuestring, bundle->valuestring) != OK) {
            result = ERROR;
        }
    }
    /* bundles made by an earlier run whose container was never created */
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &path = it->path();
        if (path.filename().string().find("_bundle_") == std::string::npos || kept.count(path.string()) != 0 ||
            !ozkBundleOwned(path.string())) {
            continue;
        }
        OZK_WARN("removing bundle %s left by an earlier run", path.c_str());
        if (ozkBundleRemove(path.c_str()) != OK) {
            result = ERROR;
        }
    }
    return result;
}

extern "C" STATUS ozkContainerDelete(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *containerId,
                                     const char *bundlePath)
{
    (void)podManagerCtrl;
    if (ozcDelete(containerId, kDeleteForce) != OK && errnoGet() != kNoSuchContainer) {
        OZK_ERR("delete container:%s fail, errCode:%d.!", containerId, errnoGet());
        return ERROR;
    }
    return ozkBundleRemove(bundlePath);
}

extern "C" const char *ozkContainerStateLocalStrGet(const char *containerId)
{
    switch (ozcStatusGet(containerId)) {
    case STATE_RUNNING:
        return "Running";
    case STATE_STOPPED:
        return "Terminated";
    default:
        return "Waiting";
    }
}

extern "C" STATUS ozkContainerExitCodeGet(const char *containerId, int *exitCode)
{
    CStr text(ozcState(containerId));
    Json state(text ? cJSON_Parse(text.get()) : nullptr);
    const cJSON *pid = jsonMember(state.get(), "pid");
    if (!cJSON_IsNumber(pid) || pid->valuedouble < 1) {
        return ERROR;
    }
    return ozProcExitStatusGet(static_cast<pid_t>(pid->valuedouble), exitCode);
}

extern "C" STATUS ozkCachedContainerUpdate(OZK_POD_MANAGER_CTRL *podManagerCtrl, CONTAINER_INFO_LOCAL *containerLocal)
{
    if (semTake(podManagerCtrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached container fail!");
        return ERROR;
    }
    const char *name = containerLocal->containerName;
    auto *found = ozk::listFind<CACHE_CONTAINER_ENTRY>(
        &podManagerCtrl->cachedContainerList,
        [name](const CACHE_CONTAINER_ENTRY &e) { return strcmp(e.containerItem.containerName, name) == 0; });
    if (found == nullptr) {
        found = static_cast<CACHE_CONTAINER_ENTRY *>(calloc(1, sizeof(CACHE_CONTAINER_ENTRY)));
        if (found == nullptr) {
            OZK_ERR("calloc cache entry for container fail!");
            if (semGive(podManagerCtrl->semContainerCached) != OK) {
                OZK_ERR("semGive cached fail!");
            }
            return ERROR;
        }
        sllPutAtTail(&podManagerCtrl->cachedContainerList, &found->cacheNode);
        found->containerItem.restartCnt = 0;
        ozk::fieldCopy(found->containerItem.containerName, containerLocal->containerName);
        CStr now(ozkCurrentTimeUsStr(TRUE));
        if (!now) {
            OZK_ERR("get current us str fail!");
            if (semGive(podManagerCtrl->semContainerCached) != OK) {
                OZK_ERR("semGive cached fail!");
            }
            return ERROR;
        }
        (void)ozk::fieldCopy(found->containerItem.startAt, now.get()); /* a time stamp fits */
    } else {
        OZK_DEBUG("container info already exist!");
        found->containerItem.restartCnt++;
        /* a start by the restart policy begins a new run; a re-creation for
         * a changed spec keeps the first start */
        CStr now(found->containerItem.restartState == OZK_RESTART_DUE ? ozkCurrentTimeUsStr(TRUE) : nullptr);
        if (now) {
            (void)ozk::fieldCopy(found->containerItem.startAt, now.get()); /* a time stamp fits */
        }
    }
    CONTAINER_INFO_LOCAL &item = found->containerItem;
    ozk::fieldCopy(item.containerId, containerLocal->containerId);
    ozk::fieldCopy(item.imageId, containerLocal->imageId);
    ozk::fieldCopy(item.imagePath, containerLocal->imagePath);
    ozk::fieldCopy(item.bundlePath, containerLocal->bundlePath);
    if (containerLocal->restartPolicy[0] != '\0') {
        ozk::fieldCopy(item.restartPolicy, containerLocal->restartPolicy);
    }
    item.restartState = item.restartPolicy[0] == '\0' || strcmp(item.restartPolicy, "Never") == 0 ? OZK_RESTART_NONE
                                                                                                  : OZK_RESTART_WATCH;
    item.runStartTick = tickGet();
    *containerLocal = item; /* start time, restart count and last state */
    if (semGive(podManagerCtrl->semContainerCached) != OK) {
        OZK_ERR("semGive cached container fail!");
        return ERROR;
    }
    return OK;
}

/* ========================================================================
 * Images
 * ======================================================================== */
extern "C" STATUS ozkImageWantedGet(REGISTRY_CTX *registryCtx, char *refName, size_t refNameSize, char *imageName,
                                    size_t imageNameSize)
{
    ImageParts parts{};
    if (!imagePartsGet(registryCtx, &parts)) {
        return ERROR;
    }
    /* the tag as pulled: "latest" when none, the digest text for a pull by
     * digest only, the tag of "name:tag@digest" */
    std::string_view tag(parts.tag);
    size_t at = tag.find('@');
    if (at != std::string_view::npos) {
        tag = at > 0 ? tag.substr(0, at) : tag.substr(at + 1);
    }
    std::string ref = tag.empty() ? std::string("latest") : std::string(tag);
    bool named = ozk::formatInto(imageName, imageNameSize, "%s/%s", parts.registry, repositoryPath(parts).c_str());
    return named && ozk::formatInto(refName, refNameSize, "%s", ref.c_str()) ? OK : ERROR;
}

extern "C" STATUS ozkImageIdGet(const char *imagePath, const char *refName, const char *imageName, char *imageId,
                                size_t imageIdSize)
{
    bool annotated = false;
    if (imageEntryFind(imagePath, refName, imageName, imageId, imageIdSize, &annotated) != OK) {
        OZK_ERR("ozkImageIdGet get image id from image json string fail!");
        return ERROR;
    }
    return OK;
}

extern "C" BOOL ozkImageExist(REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo)
{
    char root[OZK_PATH_LEN];
    if (ozEnvGet(OZK_ENV_IMAGE_PATH, root, sizeof(root)) != OK) {
        OZK_ERR("get env for image path error!");
        return FALSE;
    }
    char path[OZK_PATH_LEN];
    if (!ozk::formatInto(path, sizeof(path), "%s/%s", root, imageInfo->image_name)) {
        OZK_ERR("gen image path with image name fail!");
        return FALSE;
    }
    ozk::fieldCopy(imageInfo->image_path, path);
    char ref[OZK_REGISTRY_INFO_LEN];
    char name[OZK_PATH_LEN];
    char id[OZK_IMAGE_ID_LEN];
    /* present: the layout holds the very tag (or digest) of this image */
    if (ozkImageWantedGet(registryCtx, ref, sizeof(ref), name, sizeof(name)) != OK ||
        ozkImageIdGet(path, ref, name, id, sizeof(id)) != OK) {
        OZK_WARN("get imageid by imagePath fail!");
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL ozkImagePullNeed(v1_container_t *containerItem, REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo)
{
    const char *policy = containerItem->image_pull_policy;
    if (policy == nullptr || strcmp(policy, "Always") == 0) {
        OZK_DEBUG("image pull policy is always!");
        return TRUE;
    }
    char image[OZK_REGISTRY_INFO_LEN];
    char tag[OZK_REGISTRY_INFO_LEN];
    if (ozcImageRegistryInfoGet(registryCtx, nullptr, 0, nullptr, 0, image, sizeof(image), tag, sizeof(tag)) != 0) {
        OZK_ERR("get image name fail!");
        return TRUE;
    }
    /* a name or tag too long for the image record is no image held here */
    BOOL present = FALSE;
    if (ozk::fieldCopy(imageInfo->image_name, +image) && ozk::fieldCopy(imageInfo->image_tag, +tag)) {
        present = ozkImageExist(registryCtx, imageInfo);
    } else {
        OZK_ERR("image name %s:%s is too long to look up!", image, tag);
    }
    if ((strcmp(policy, "IfNotPresent") == 0 && present) || strcmp(policy, "Never") == 0) {
        OZK_DEBUG("don't need pull image!");
        return FALSE;
    }
    return TRUE;
}

extern "C" STATUS ozkImagePull(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_container_t *containerItem,
                               REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo, BOOL *pulled)
{
    *pulled = FALSE;
    if (containerItem->image == nullptr) {
        OZK_ERR("invalid image name!");
        return ERROR;
    }
    (void)ozcRegistryCtxSecureSet(registryCtx, 1);
    if (ozcRegistryCtxImageSet(registryCtx, containerItem->image) != 0) {
        OZK_ERR("registry ctx img set fail!");
        return ERROR;
    }
    if (!ozkImagePullNeed(containerItem, registryCtx, imageInfo)) {
        OZK_DEBUG("image don't need pull!");
        return OK;
    }
    if (semTake(podManagerCtrl->semImagePull, WAIT_FOREVER) != OK) {
        OZK_ERR("semtake imagepull sem fail!");
        return ERROR;
    }
    STATUS result = ozcImagePull(registryCtx, imageInfo) == 0 ? OK : ERROR;
    if (result != OK) {
        char text[OZK_AUTH_FIELD_LEN] = "";
        if (ozcErrnoStrGet(errnoGet(), text, sizeof(text)) == 0 && text[0] != '\0') {
            OZK_ERR("image pull error,image:%s, errorno:%s", containerItem->image, text);
        } else {
            OZK_ERR("image pull error,image:%s", containerItem->image);
        }
    }
    if (semGive(podManagerCtrl->semImagePull) != OK) {
        OZK_ERR("semGive image pull fail!");
        return ERROR;
    }
    *pulled = result == OK ? TRUE : FALSE;
    return result;
}

extern "C" STATUS ozkContainerStart(REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo, char *imageId,
                                    CONTAINER_INFO_LOCAL *containerLocal, BOOL pulled)
{
    return ozkContainerSpecStart(registryCtx, imageInfo, imageId, containerLocal, pulled, nullptr, nullptr, 0);
}

extern "C" STATUS ozkContainerSpecStart(REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo, char *imageId,
                                        CONTAINER_INFO_LOCAL *containerLocal, BOOL pulled, const OZK_PROCESS_SPEC *spec,
                                        char *message, size_t messageSize)
{
    CStr stamp(ozkMsTimeStampGet());
    if (!stamp) {
        OZK_ERR("calloc for runtime para error!");
        return ERROR;
    }
    /* the entry of the wanted tag; a layout just pulled by an image manager
     * that writes no ref names holds only what it pulled */
    char ref[OZK_REGISTRY_INFO_LEN];
    char name[OZK_PATH_LEN];
    const char *unpackTag = ref;
    bool annotated = false;
    if (ozkImageWantedGet(registryCtx, ref, sizeof(ref), name, sizeof(name)) != OK ||
        imageEntryFind(imageInfo->image_path, ref, name, imageId, OZK_IMAGE_ID_LEN, &annotated) != OK) {
        if (!pulled || annotated ||
            imageEntryFind(imageInfo->image_path, nullptr, nullptr, imageId, OZK_IMAGE_ID_LEN, &annotated) != OK) {
            OZK_ERR("ozkImageIdGet get image id from image json string fail!");
            OZK_ERR("get imageid fail!");
            return ERROR;
        }
        unpackTag = nullptr;
    }
    char base[OZK_PATH_LEN] = "";
    if (ozEnvGet(OZK_ENV_BASE, base, sizeof(base)) != OK) {
        base[0] = '\0';
    }
    if (!ozk::formatInto(containerLocal->bundlePath, sizeof(containerLocal->bundlePath), "%s/%s_bundle_%s", base,
                         imageInfo->image_name, stamp.get())) {
        OZK_ERR("gen bundle path fail!");
        return ERROR;
    }
    /* bundles go into the base directory, which the first one makes */
    if (base[0] != '\0' && ozMkdirP(base, 0755) != OK) {
        OZK_ERR("ozc unpack image to bundle fail!");
        return ERROR;
    }
    auto unpackStart = std::chrono::steady_clock::now();
    if (ozcUnpack(containerLocal->bundlePath, imageInfo->image_path, unpackTag, 0, nullptr) != OK) {
        OZK_ERR("ozc unpack image to bundle fail!");
        (void)ozkBundleRemove(containerLocal->bundlePath);
        return ERROR;
    }
    /* The bundle is complete here: it is marked as the container's, and
     * its process becomes the one the pod spec asks for before the
     * container is created from it. */
    if (ozkBundleOwnerMark(containerLocal->bundlePath, containerLocal->containerName) != OK) {
        (void)ozkBundleRemove(containerLocal->bundlePath);
        return ERROR;
    }
    if (spec != nullptr) {
        Json imageConfig = imageConfigGet(imageInfo->image_path, imageId);
        if (ozkProcessSpecApply(spec, containerLocal->bundlePath, imageConfig.get(), message, messageSize) != OK) {
            OZK_ERR("container process from pod spec fail: %s", message != nullptr ? message : "");
            (void)ozkBundleRemove(containerLocal->bundlePath);
            return ERROR;
        }
    }
    if (!ozk::formatInto(containerLocal->containerId, sizeof(containerLocal->containerId), "%s_%s",
                         imageInfo->image_name, stamp.get())) {
        OZK_ERR("gen containerId fail!");
        (void)ozkBundleRemove(containerLocal->bundlePath);
        return ERROR;
    }
    long long unpackMs = msSince(unpackStart);
    auto createStart = std::chrono::steady_clock::now();
    if (ozcCreate(containerLocal->containerId, containerLocal->bundlePath, 0, nullptr) != OK) {
        OZK_ERR("ozc create container fail!");
        (void)ozkContainerDelete(nullptr, containerLocal->containerId, containerLocal->bundlePath);
        return ERROR;
    }
    if (ozcStart(containerLocal->containerId, OZC_START_DETACH) != OK) {
        OZK_ERR("start containerId fail!");
        (void)ozkContainerDelete(nullptr, containerLocal->containerId, containerLocal->bundlePath);
        return ERROR;
    }
    OZK_DEBUG("create and start contianer:%s success!", containerLocal->containerId);
    OZK_DEBUG("container %s of %s: unpacked in %lld ms, created and started in %lld ms", containerLocal->containerId,
              containerLocal->containerName, unpackMs, msSince(createStart));
    return OK;
}

extern "C" STATUS ozkContainerStatusImageGet(REGISTRY_CTX *registryCtx, const char *imageId,
                                             CONTAINER_INFO_LOCAL *containerLocal)
{
    ImageParts parts{};
    if (!imagePartsGet(registryCtx, &parts)) {
        OZK_ERR("registry info get fail!");
        return ERROR;
    }
    /* the image as the pod names it: a digest follows an '@' */
    std::string repository = repositoryPath(parts);
    const char *separator = strncmp(parts.tag, "sha256:", 7) == 0 ? "@" : ":";
    char image[OZK_IMAGE_ID_LEN];
    if (!ozk::formatInto(image, sizeof(image), "%s/%s%s%s", parts.registry, repository.c_str(), separator, parts.tag)) {
        OZK_ERR("generate image info in containerstatus fail!");
        return ERROR;
    }
    char id[OZK_IMAGE_ID_LEN];
    bool formed = parts.repository[0] != '\0'
                      ? ozk::formatInto(id, sizeof(id), "%s%s/%s@%s", OZK_IMAGE_ID_PREFIX, parts.registry,
                                        repository.c_str(), imageId)
                      : ozk::formatInto(id, sizeof(id), "%s/%s@%s", parts.registry, parts.image, imageId);
    if (!formed) {
        OZK_ERR("generate image id info in containerstatus fail!");
        return ERROR;
    }
    ozk::fieldCopy(containerLocal->imagePath, image);
    ozk::fieldCopy(containerLocal->imageId, id);
    return OK;
}

/* ========================================================================
 * Pod start
 * ======================================================================== */
/* A container the runtime does not know: its image and id are reported as
 * "unknown". */
static void localUnknownSet(CONTAINER_INFO_LOCAL &local)
{
    ozk::fieldCopy(local.imageId, "unknown");
    ozk::fieldCopy(local.containerId, "unknown");
    ozk::fieldCopy(local.imagePath, "unknown");
}

/* A pod the start and the restart can walk: a spec with containers and a
 * uid; anything else is logged as an invalid spec. */
static bool podItemValid(const v1_pod_t *podItem)
{
    if (podItem == nullptr || podItem->spec == nullptr || podItem->spec->containers == nullptr ||
        podItem->metadata == nullptr || podItem->metadata->uid == nullptr) {
        OZK_ERR("invalid pod spec!");
        return false;
    }
    return true;
}

/* The registry credentials of each container of the pod, in the order of
 * its spec; a failure is logged as `func`'s. */
static STATUS podAuthsRead(OZK_POD_MANAGER_CTRL *ctrl, v1_pod_t *pod, AuthConfigs &auths, const char *func)
{
    auths.records.resize(static_cast<size_t>(pod->spec->containers->count));
    if (ozkRegistryUserPwdSet(ctrl, pod, auths.records.data(), auths.records.size()) != OK) {
        ozkLogPrint(OZK_LOG_ERROR, OZK_LOG_UNIT, func, __LINE__, "set username and pwd error!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkPodWaitingStatusPatch(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    StatusList list(list_createList());
    if (!list) {
        OZK_ERR("create container list fail!");
        return ERROR;
    }
    CONTAINER_INFO_LOCAL local{};
    localUnknownSet(local);
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->spec->containers)
    {
        auto *container = static_cast<v1_container_t *>(entry->data);
        if (container == nullptr || container->name == nullptr) {
            continue;
        }
        if (ozkGenerateContainerStatus(list.get(), "Waiting", container, &local, "pulling image") != OK) {
            OZK_ERR("gernerate container status fail!");
        }
    }
    if (ozkPlegUpdate(podManagerCtrl, podItem, list.release(), nullptr) != OK) {
        OZK_ERR("pleg update fow waiting fail!");
        return ERROR;
    }
    return OK;
}

/* The registry context of one container's image, with the credentials
 * chosen for its registry. Each container has its own, so that neither
 * credentials nor tokens of one registry reach another. */
static REGISTRY_CTX *ozkContainerRegistryCtxCreate(const REGISTRY_AUTH_CONFIG *auth)
{
    RegistryCtx ctx(ozcRegistryCtxCreate());
    if (!ctx) {
        OZK_ERR("registry ctx create fail!");
        return nullptr;
    }
    if (auth->username[0] == '\0') {
        return ctx.release();
    }
    if (ozcRegistryCtxUserNameSet(ctx.get(), auth->username) != 0) {
        OZK_ERR("set uername fail!");
        return nullptr;
    }
    if (ozcRegistryCtxUserPwdSet(ctx.get(), auth->password) != 0) {
        OZK_ERR("set pwd fail!");
        return nullptr;
    }
    OZK_DEBUG("set username and pwd success forozc registry context");
    return ctx.release();
}

namespace {
using ProcessSpec = oz::Owner<OZK_PROCESS_SPEC, ozkProcessSpecFree>;
} // namespace

static STATUS ozkContainerStatusAppend(list_t *list, const char *status, v1_container_t *container,
                                       CONTAINER_INFO_LOCAL *local, const char *reason, const char *message);

/* One container: its process from the pod spec, pull, start, record,
 * status. A failure leaves the container reported waiting with its reason
 * (and what is wrong as the message when known), and nothing of it behind. */
static STATUS ozkPodOzcCRIProcess(OZK_POD_MANAGER_CTRL *ctrl, v1_pod_t *pod, v1_container_t *container,
                                  const REGISTRY_AUTH_CONFIG *auth, IMAGE_INFO *imageInfo, char *imageId,
                                  CONTAINER_INFO_LOCAL *local, list_t *statusList)
{
    const char *reason = "pulling image fail";
    char message[OZK_SPEC_MESSAGE_LEN] = "";
    ProcessSpec spec(ozkProcessSpecCreate(ctrl, pod, container, message, sizeof(message)));
    RegistryCtx ctx(spec ? ozkContainerRegistryCtxCreate(auth) : nullptr);
    BOOL pulled = FALSE;
    auto pullStart = std::chrono::steady_clock::now();
    STATUS pull = spec && ctx ? ozkImagePull(ctrl, container, ctx.get(), imageInfo, &pulled) : ERROR;
    if (pulled) {
        OZK_DEBUG("image %s for %s pulled in %lld ms (waits for other pulls included)", container->image,
                  local->containerName, msSince(pullStart));
    }
    if (!spec) {
        OZK_ERR("container %s config error: %s", container->name, message);
        reason = OZK_REASON_CONFIG_ERROR;
    } else if (ctx && pull != OK) {
        char name[128];
        const char *shown = imageInfo->image_name[0] != '\0' ? imageInfo->image_name
                            : container->name != nullptr     ? container->name
                                                             : "null";
        if (!ozk::formatInto(name, sizeof(name), "%s", shown)) {
            name[0] = '\0';
        }
        OZK_ERR("image pull error,image name:%s", name);
    } else if (ctx && ozkContainerSpecStart(ctx.get(), imageInfo, imageId, local, pulled, spec.get(), message,
                                            sizeof(message)) != OK) {
        OZK_ERR("container start error, imageName:%s", imageInfo->image_name);
        reason = "container startup fail";
    } else if (ctx) {
        if (ozkContainerStatusImageGet(ctx.get(), imageId, local) != OK) {
            OZK_ERR("containerStatusImageGet fail, imageName:%s", imageInfo->image_name);
            reason = "generate container info fail";
        } else if (ozkCachedContainerUpdate(ctrl, local) != OK) {
            OZK_ERR("add cached container local info fail!");
            reason = "cache container local fail";
        } else {
            STATUS result = ozkGenerateContainerStatus(statusList, ozkContainerStateLocalStrGet(local->containerId),
                                                       container, local, nullptr);
            if (result != OK) {
                OZK_ERR("generate containerStatus fail!");
            }
            return result;
        }
        /* started but not cached: nothing else would ever remove it */
        (void)ozkContainerDelete(ctrl, local->containerId, local->bundlePath);
    }
    if (container->name != nullptr) {
        local->imageId[0] = '\0';
        local->containerId[0] = '\0';
        local->imagePath[0] = '\0';
        if (ozkContainerStatusAppend(statusList, "Waiting", container, local, reason,
                                     message[0] != '\0' ? message : reason) != OK) {
            OZK_ERR("generate terminated container status fail!");
        }
    }
    return ERROR;
}

/* The pod's restart policy, "Always" when it names none. */
static const char *ozkPodRestartPolicyOf(const v1_pod_t *pod)
{
    const char *policy = pod->spec != nullptr ? pod->spec->restart_policy : nullptr;
    return policy != nullptr && policy[0] != '\0' ? policy : "Always";
}

extern "C" STATUS ozkPodAddHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    if (!podItemValid(podItem)) {
        return ERROR;
    }
    AuthConfigs auths;
    if (podAuthsRead(podManagerCtrl, podItem, auths, __func__) != OK) {
        return ERROR;
    }
    if (ozkPodWaitingStatusPatch(podManagerCtrl, podItem) != OK) {
        OZK_ERR("patch pod container waiting status fail!");
    }
    StatusList list(list_createList());
    if (!list) {
        OZK_ERR("create containerStatus list fail!");
        return ERROR;
    }
    STATUS result = OK;
    size_t index = 0;
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->spec->containers)
    {
        auto *container = static_cast<v1_container_t *>(entry->data);
        const REGISTRY_AUTH_CONFIG &auth = auths.records[index++];
        if (container == nullptr) {
            continue;
        }
        IMAGE_INFO imageInfo{};
        char imageId[OZK_IMAGE_ID_LEN] = "";
        CONTAINER_INFO_LOCAL local{};
        if (container->name == nullptr) {
            OZK_ERR("container name string null!");
            continue;
        }
        if (!ozk::containerKeyGet(local.containerName, sizeof(local.containerName), podItem->metadata->uid,
                                  container->name)) {
            OZK_ERR("ozc cri process container fail!");
            result = ERROR;
            continue;
        }
        /* one of the short policy names; an unknown long one is left empty, as none */
        (void)ozk::fieldCopy(local.restartPolicy, ozkPodRestartPolicyOf(podItem));
        result =
            ozkPodOzcCRIProcess(podManagerCtrl, podItem, container, &auth, &imageInfo, imageId, &local, list.get());
        if (result != OK) {
            OZK_ERR("ozc cri process container fail!");
        }
    }
    if (list->count > 0) {
        if (ozkPlegUpdate(podManagerCtrl, podItem, list.release(), nullptr) != OK) {
            OZK_ERR("pod status patch for pod add event fail");
        }
    } else {
        OZK_ERR("without container deployed!");
    }
    return result;
}

/* ========================================================================
 * Container statuses
 * ======================================================================== */
extern "C" void ozkContainerStatusListFree(list_t *containerStatusList)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, containerStatusList)
    {
        v1_container_status_free(static_cast<v1_container_status_t *>(entry->data));
    }
    list_freeList(containerStatusList);
}

extern "C" void ozkPodConditionListFree(list_t *conditionList)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, conditionList)
    {
        v1_pod_condition_free(static_cast<v1_pod_condition_t *>(entry->data));
    }
    list_freeList(conditionList);
}

/* The terminated part of a stopped container: its process's real exit
 * status, "Completed" for 0 and "Error" otherwise. */
static v1_container_state_terminated_t *ozkTerminateContainerStateGenerate(const CONTAINER_INFO_LOCAL *local,
                                                                           CStr startedAt)
{
    CStr containerId = ozk::strDup(local->containerId);
    if (!containerId) {
        OZK_ERR("generate containerId in terminate state fail!");
        return nullptr;
    }
    CStr finishedAt(ozkCurrentTimeUsStr(TRUE));
    if (!finishedAt) {
        OZK_ERR("get finish time stamp fail!");
        return nullptr;
    }
    int exitCode = 0;
    CStr reason;
    CStr message;
    if (ozkContainerExitCodeGet(local->containerId, &exitCode) == OK) {
        reason = ozk::strDup(exitCode == 0 ? "Completed" : "Error");
    } else {
        exitCode = OZK_EXIT_CODE_UNKNOWN;
        reason = ozk::strDup("ContainerStatusUnknown");
        message = ozk::strDup("the exit status of the container's process is not known");
        if (!message) {
            OZK_ERR("create terminated state fail!");
            return nullptr;
        }
    }
    if (!reason) {
        OZK_ERR("create terminated state fail!");
        return nullptr;
    }
    v1_container_state_terminated_t *terminated = v1_container_state_terminated_create(
        containerId.get(), exitCode, finishedAt.get(), message.get(), reason.get(), 0, startedAt.get());
    if (terminated == nullptr) {
        OZK_ERR("create terminated state fail!");
        return nullptr;
    }
    (void)containerId.release();
    (void)finishedAt.release();
    (void)message.release();
    (void)reason.release();
    (void)startedAt.release();
    return terminated;
}

/* The previous run of a restarted container, as its last state. */
static v1_container_state_t *ozkLastStateGenerate(const CONTAINER_INFO_LOCAL *local)
{
    char id[OZK_IMAGE_ID_LEN];
    if (!ozk::formatInto(id, sizeof(id), "%s://%s", OZK_CONTAINER_ID_PREFIX, local->lastContainerId)) {
        return nullptr;
    }
    CStr containerId = ozk::strDup(id);
    CStr finishedAt = ozk::strDup(local->lastFinishedAt);
    CStr startedAt = ozk::strDup(local->lastStartedAt);
    CStr reason = ozk::strDup(local->lastReason);
    if (!containerId || !finishedAt || !startedAt || !reason) {
        return nullptr;
    }
    Terminated terminated(v1_container_state_terminated_create(containerId.get(), local->lastExitCode, finishedAt.get(),
                                                               nullptr, reason.get(), 0, startedAt.get()));
    if (!terminated) {
        return nullptr;
    }
    (void)containerId.release();
    (void)finishedAt.release();
    (void)startedAt.release();
    (void)reason.release();
    v1_container_state_t *state = v1_container_state_create(nullptr, terminated.get(), nullptr);
    if (state != nullptr) {
        (void)terminated.release();
    }
    return state;
}

/* The container status record; takes the state over in every case. Ready
 * and started only for a running container. */
static v1_container_status_t *ozkContainerStatusObjectCreate(v1_container_t *container,
                                                             const CONTAINER_INFO_LOCAL *local,
                                                             v1_container_state_t *stateItem)
{
    ContainerState state(stateItem);
    CStr containerId(static_cast<char *>(calloc(1, OZK_IMAGE_ID_LEN)));
    if (!containerId) {
        OZK_ERR("calloc containerId patch fail!");
        return nullptr;
    }
    if (!ozk::formatInto(containerId.get(), OZK_IMAGE_ID_LEN, "%s://%s", OZK_CONTAINER_ID_PREFIX, local->containerId)) {
        OZK_ERR("gen container in patch fail!");
        return nullptr;
    }
    CStr image = ozk::strDup(local->imagePath);
    CStr imageId = ozk::strDup(local->imageId);
    CStr name = ozk::strDup(container->name);
    if (!image || !imageId || !name) {
        OZK_ERR("generate state create param fail!");
        return nullptr;
    }
    ContainerState lastState;
    if (local->lastFinishedAt[0] != '\0') {
        lastState.reset(ozkLastStateGenerate(local));
        if (!lastState) {
            OZK_ERR("generate state create param fail!");
            return nullptr;
        }
    }
    int running = state->running != nullptr ? 1 : 0;
    v1_container_status_t *status =
        v1_container_status_create(containerId.get(), image.get(), imageId.get(), lastState.get(), name.get(), running,
                                   local->restartCnt, running, state.get());
    if (status == nullptr) {
        OZK_ERR("create container status fail!");
        return nullptr;
    }
    (void)lastState.release();
    (void)containerId.release();
    (void)image.release();
    (void)imageId.release();
    (void)name.release();
    (void)state.release();
    return status;
}

extern "C" STATUS ozkGenerateContainerStatus(list_t *containerStatusList, const char *status,
                                             v1_container_t *containerItem, CONTAINER_INFO_LOCAL *containerLocalTmp,
                                             const char *waitingReason)
{
    return ozkContainerStatusAppend(containerStatusList, status, containerItem, containerLocalTmp, waitingReason,
                                    waitingReason);
}

/* ozkGenerateContainerStatus with a waiting message of its own (null: the
 * reason). */
static STATUS ozkContainerStatusAppend(list_t *containerStatusList, const char *status, v1_container_t *containerItem,
                                       CONTAINER_INFO_LOCAL *containerLocalTmp, const char *waitingReason,
                                       const char *waitingMessage)
{
    CStr startedAt = containerLocalTmp->startAt[0] != '\0' ? ozk::strDup(containerLocalTmp->startAt)
                                                           : CStr(ozkCurrentTimeUsStr(TRUE));
    if (!startedAt) {
        OZK_ERR("get current time or calloc containerId fail!");
        return ERROR;
    }
    Running running;
    Terminated terminated;
    Waiting waiting;
    if (ozk::textEquals(status, "Waiting")) {
        const char *text = waitingReason != nullptr ? waitingReason : "null";
        CStr message = ozk::strDup(waitingMessage != nullptr ? waitingMessage : text);
        CStr reason = ozk::strDup(text);
        if (!message || !reason) {
            OZK_ERR("create waiting msg and reason fail!");
            return ERROR;
        }
        waiting.reset(v1_container_state_waiting_create(message.get(), reason.get()));
        if (!waiting) {
            OZK_ERR("create waiting state fail!");
            return ERROR;
        }
        (void)message.release();
        (void)reason.release();
    } else if (ozk::textEquals(status, "Running")) {
        running.reset(v1_container_state_running_create(startedAt.get()));
        if (!running) {
            OZK_ERR("create running state fail!");
            return ERROR;
        }
        (void)startedAt.release();
    } else if (ozk::textEquals(status, "Terminated")) {
        terminated.reset(ozkTerminateContainerStateGenerate(containerLocalTmp, std::move(startedAt)));
        if (!terminated) {
            OZK_ERR("create terminated state fail!");
            return ERROR;
        }
    } else {
        OZK_ERR("invalid container state!");
        return ERROR;
    }
    v1_container_state_t *state = v1_container_state_create(running.get(), terminated.get(), waiting.get());
    if (state == nullptr) {
        OZK_ERR("create container state fail!");
        return ERROR;
    }
    (void)running.release();
    (void)terminated.release();
    (void)waiting.release();
    ContainerStatus record(ozkContainerStatusObjectCreate(containerItem, containerLocalTmp, state));
    if (!record) {
        OZK_ERR("create container status fail!");
        return ERROR;
    }
    long before = containerStatusList->count;
    list_addElement(containerStatusList, record.get());
    if (containerStatusList->count == before) {
        OZK_ERR("create container status fail!");
        return ERROR;
    }
    (void)record.release();
    return OK;
}

/* ========================================================================
 * Phase, conditions, pod status
 * ======================================================================== */
namespace {

struct StateCount {
    int running = 0;
    int terminated = 0;
    int failed = 0; /* terminated with a non-zero exit code */
    int waiting = 0;
    int total = 0;
};

StateCount stateCount(list_t *containerStatusList)
{
    StateCount count;
    listEntry_t *entry = nullptr;
    list_ForEach(entry, containerStatusList)
    {
        auto *status = static_cast<v1_container_status_t *>(entry->data);
        count.total++;
        const v1_container_state_t *state = status != nullptr ? status->state : nullptr;
        if (state != nullptr && state->running != nullptr) {
            count.running++;
        } else if (state != nullptr && state->terminated != nullptr) {
            count.terminated++;
            count.failed += state->terminated->exit_code != 0 ? 1 : 0;
        } else if (state != nullptr && state->waiting != nullptr && status->last_state != nullptr &&
                   status->last_state->terminated != nullptr) {
            /* waiting for its restart: it ended */
            count.terminated++;
            count.failed += status->last_state->terminated->exit_code != 0 ? 1 : 0;
        } else if (state != nullptr && state->waiting != nullptr) {
            count.waiting++;
        } else {
            OZK_DEBUG("unknown state!");
        }
    }
    return count;
}

} // namespace

extern "C" const char *ozkPodPhaseGet(list_t *containerStatusList)
{
    return ozkPodPhaseOfPolicyGet(containerStatusList, "Never");
}

extern "C" const char *ozkPodPhaseOfPolicyGet(list_t *containerStatusList, const char *restartPolicy)
{
    StateCount count = stateCount(containerStatusList);
    if (count.running == 0 && count.terminated > 0 && count.waiting == 0) {
        bool never = ozk::textEquals(restartPolicy, "Never");
        bool onFailure = ozk::textEquals(restartPolicy, "OnFailure");
        if (!never && !onFailure) {
            return "Running"; /* all of them are being restarted */
        }
        if (count.failed == 0) {
            return "Succeeded";
        }
        return never ? "Failed" : "Running";
    }
    return count.running > 0 ? "Running" : "Pending";
}

static v1_pod_condition_t *ozkPodConditionGenerate(const char *type, const char *status)
{
    CStr now(ozkCurrentTimeUsStr(TRUE));
    CStr typeCopy = ozk::strDup(type);
    CStr statusCopy = ozk::strDup(status);
    if (!now || !typeCopy || !statusCopy) {
        OZK_ERR("generate condition param fail!");
        return nullptr;
    }
    v1_pod_condition_t *condition =
        v1_pod_condition_create(nullptr, now.get(), nullptr, nullptr, statusCopy.get(), typeCopy.get());
    if (condition == nullptr) {
        OZK_ERR("creae pod condition fail!");
        return nullptr;
    }
    (void)now.release();
    (void)typeCopy.release();
    (void)statusCopy.release();
    return condition;
}

/* PodScheduled, ContainersReady, Ready, Initialized. A running pod is ready
 * only when every container runs. */
static STATUS ozkPodConditionsFullfill(list_t *conditions, const char *phase, bool allRunning)
{
    struct Row {
        const char *type;
        const char *failure;
    };
    static constexpr Row rows[] = {
        {"PodScheduled", "generate scheduled pod condition fail!"},
        {"ContainersReady", "generate container ready pod condition fail!"},
        {"Ready", "generate ready pod condition fail!"},
        {"Initialized", "generate ready pod condition fail!"},
    };
    bool pending = strcmp(phase, "Pending") == 0;
    bool running = strcmp(phase, "Running") == 0;
    const char *status[] = {
        pending || running ? "True" : "False",
        running && allRunning ? "True" : "False",
        running && allRunning ? "True" : "False",
        running ? "True" : "False",
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); i++) {
        Condition condition(ozkPodConditionGenerate(rows[i].type, status[i]));
        long before = conditions->count;
        if (condition) {
            list_addElement(conditions, condition.get());
        }
        if (!condition || conditions->count == before) {
            OZK_ERR("%s", rows[i].failure);
            return ERROR;
        }
        (void)condition.release();
    }
    return OK;
}

extern "C" v1_pod_status_t *ozkPatchPodStatusGenerate(OZK_POD_MANAGER_CTRL *podManagerCtrl, list_t *containerStatusList,
                                                      const char *phase)
{
    CondList conditions(list_createList());
    if (!conditions) {
        OZK_ERR("create condition list fail!");
        return nullptr;
    }
    StateCount count = stateCount(containerStatusList);
    if (ozkPodConditionsFullfill(conditions.get(), phase, count.running == count.total) != OK) {
        OZK_ERR("generate pod conditions fail!");
        return nullptr;
    }
    CStr phaseCopy = ozk::strDup(phase);
    CStr qos = ozk::strDup("BestEffort");
    if (!phaseCopy || !qos) {
        OZK_ERR("alloc phase or qos fail!");
        return nullptr;
    }
    CStr hostIp;
    CStr podIp;
    KubeList podIps;
    PodIp onlyIp;
    const char *nodeIP = podManagerCtrl->kubeConf != nullptr ? podManagerCtrl->kubeConf->nodeIP : nullptr;
    if (nodeIP != nullptr) {
        hostIp = ozk::strDup(nodeIP);
        podIp = ozk::strDup(nodeIP);
        if (!hostIp || !podIp) {
            OZK_ERR("gen hostip and pod ip fail!");
            return nullptr;
        }
        podIps.reset(list_createList());
        CStr ip = ozk::strDup(nodeIP);
        if (podIps && ip) {
            onlyIp.reset(v1_pod_ip_create(ip.get()));
            if (onlyIp) {
                (void)ip.release();
                list_addElement(podIps.get(), onlyIp.get());
            }
        }
        if (!podIps || !onlyIp || podIps->count != 1) {
            OZK_ERR("gen pod ip list fail!");
            return nullptr;
        }
    }
    v1_pod_status_t *status =
        v1_pod_status_create(conditions.get(), containerStatusList, nullptr, hostIp.get(), nullptr, nullptr, nullptr,
                             phaseCopy.get(), podIp.get(), podIps.get(), qos.get(), nullptr, nullptr);
    if (status == nullptr) {
        OZK_ERR("genertate pod status fail!");
        return nullptr;
    }
    (void)conditions.release();
    (void)phaseCopy.release();
    (void)qos.release();
    (void)hostIp.release();
    (void)podIp.release();
    (void)podIps.release();
    (void)onlyIp.release();
    return status;
}

extern "C" STATUS ozkPlegUpdate(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem, list_t *containerStatusList,
                                uint32_t *plegRspCode)
{
    StatusList list(containerStatusList);
    const char *policy = podItem->spec != nullptr ? podItem->spec->restart_policy : nullptr;
    PodStatus status(ozkPatchPodStatusGenerate(podManagerCtrl, list.get(), ozkPodPhaseOfPolicyGet(list.get(), policy)));
    if (!status) {
        OZK_ERR("ozkPlegUpdate genertate pod status fail!");
        return ERROR;
    }
    (void)list.release(); /* the status holds it now */
    CStr uid = ozk::strDup(podItem->metadata != nullptr ? podItem->metadata->uid : nullptr);
    if (!uid) {
        OZK_ERR("ozkPlegUpdate get pod uid fail!");
        return ERROR;
    }
    ozk::ObjectMeta meta(v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                               nullptr, nullptr, nullptr, nullptr, nullptr, uid.get()));
    if (!meta) {
        OZK_ERR("ozkPlegUpdate generate meta patch fail!");
        return ERROR;
    }
    (void)uid.release();
    ozk::Pod patch(v1_pod_create(nullptr, nullptr, meta.get(), nullptr, status.get()));
    if (!patch) {
        OZK_ERR("ozkPlegUpdate create patch pod fail!");
        return ERROR;
    }
    (void)meta.release();
    (void)status.release();
    Json json(v1_pod_convertToJSON(patch.get()));
    if (!json) {
        OZK_ERR("ozkPlegUpdate pod convert to json fail!");
        return ERROR;
    }
    char *text = cJSON_PrintUnformatted(json.get());
    if (text == nullptr) {
        OZK_ERR("ozkPlegUpdate pod json convert to string fail!");
        return ERROR;
    }
    ozk::Body body(object_create());
    if (!body) {
        cJSON_free(text);
        OZK_ERR("ozkPlegUpdate create object fail!");
        return ERROR;
    }
    body->temporary = text;
    ozk::Pod answer(ozkClientPodStatusPatch(podManagerCtrl->clientCtrl, body.get(), podItem->metadata->name,
                                            podItem->metadata->_namespace, plegRspCode));
    return OK;
}

/* ========================================================================
 * Batch status sync
 * ======================================================================== */
extern "C" const char *ozkContainerCachedStateGet(v1_pod_t *podItem, const char *containerName)
{
    if (podItem == nullptr || podItem->status == nullptr || podItem->status->container_statuses == nullptr) {
        OZK_ERR("get container status from podItem fail!");
        return "unknown";
    }
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->status->container_statuses)
    {
        auto *status = static_cast<v1_container_status_t *>(entry->data);
        if (status == nullptr || !ozk::textEquals(status->name, containerName) || status->state == nullptr) {
            continue;
        }
        if (status->state->running != nullptr) {
            return "Running";
        }
        if (status->state->waiting != nullptr) {
            return "Waiting";
        }
        return status->state->terminated != nullptr ? "Terminated" : "unknown";
    }
    return "unknown";
}

/* The waiting reason the API server last heard for a container, or null. */
static const char *ozkContainerCachedWaitingReasonGet(v1_pod_t *podItem, const char *containerName)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->status->container_statuses)
    {
        auto *status = static_cast<v1_container_status_t *>(entry->data);
        if (status != nullptr && ozk::textEquals(status->name, containerName) && status->state != nullptr) {
            return status->state->waiting != nullptr ? status->state->waiting->reason : nullptr;
        }
    }
    return nullptr;
}

/* The runtime state of a cached container; 4 (unknown) when not cached. */
static int ozkContainerLocalStateGet(OZK_POD_MANAGER_CTRL *ctrl, const char *key, CONTAINER_INFO_LOCAL *local)
{
    if (ozkContainerLocalGetByName(ctrl, key, local) == OK) {
        return static_cast<int>(ozcStatusGet(local->containerId));
    }
    OZK_DEBUG("can't get container info by name:%s", key);
    localUnknownSet(*local);
    return STATE_UNKNOWN;
}

namespace {
bool restartPending(const CONTAINER_INFO_LOCAL &local);
std::string backOffMessage(const v1_pod_t *pod, const v1_container_t *container, const CONTAINER_INFO_LOCAL &local);
} // namespace

static STATUS ozkContainerItemStatusUpdate(OZK_POD_MANAGER_CTRL *ctrl, v1_pod_t *pod, v1_container_t *container,
                                           CONTAINER_INFO_LOCAL *local, list_t *list, bool *changed)
{
    if (container->name == nullptr || pod->metadata == nullptr || pod->metadata->uid == nullptr) {
        OZK_ERR("container status sync invalid container name or podstatus item!");
        return OK;
    }
    char key[OZK_CONTAINER_KEY_LEN];
    if (!ozk::containerKeyGet(key, sizeof(key), pod->metadata->uid, container->name)) {
        OZK_ERR("gen container str fail!");
        return ERROR;
    }
    int localState = ozkContainerLocalStateGet(ctrl, key, local);
    const char *reported = ozkContainerCachedStateGet(pod, container->name);
    const char *state = reported;
    /* a container that stays waiting keeps the reason it was reported with */
    const char *reason =
        strcmp(reported, "Waiting") == 0 ? ozkContainerCachedWaitingReasonGet(pod, container->name) : nullptr;
    bool wasRunning = strcmp(reported, "Running") == 0;
    if (!wasRunning && localState == STATE_RUNNING) {
        state = "Running";
        *changed = true;
    } else if (wasRunning && localState == STATE_UNKNOWN) {
        /* the runtime no longer knows it (its daemon started again without
         * its records, or the agent's own run did not make it): not ready,
         * and said so, not a terminal state */
        state = "Waiting";
        reason = OZK_REASON_STATUS_UNKNOWN;
        *changed = true;
    } else if (wasRunning && localState == STATE_STOPPED && !restartPending(*local)) {
        state = "Terminated";
        *changed = true;
    }
    STATUS result = OK;
    if (localState != STATE_RUNNING && restartPending(*local)) {
        /* waiting out its back-off, as its worker reported it */
        *changed = *changed || strcmp(reported, "Waiting") != 0;
        std::string message = backOffMessage(pod, container, *local);
        result = ozkContainerStatusAppend(list, "Waiting", container, local, OZK_REASON_BACKOFF, message.c_str());
    } else {
        result = ozkGenerateContainerStatus(list, state, container, local, reason);
    }
    if (result != OK) {
        OZK_ERR("generate containerstatus fail!");
    }
    return result;
}

extern "C" STATUS ozkPodStatusSync(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    StatusList list(list_createList());
    if (!list) {
        OZK_ERR("container status sync create list fail!");
        return ERROR;
    }
    if (podItem->spec == nullptr || podItem->status == nullptr || podItem->status->container_statuses == nullptr) {
        OZK_DEBUG("invalid podItem!");
        return OK;
    }
    bool changed = false;
    STATUS result = OK;
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->spec->containers)
    {
        auto *container = static_cast<v1_container_t *>(entry->data);
        if (container == nullptr) {
            continue;
        }
        CONTAINER_INFO_LOCAL local{};
        result = ozkContainerItemStatusUpdate(podManagerCtrl, podItem, container, &local, list.get(), &changed);
    }
    if (list->count > 0 && changed) {
        uint32_t rspCode = 0;
        result = ozkPlegUpdate(podManagerCtrl, podItem, list.release(), &rspCode);
        if (result != OK) {
            OZK_ERR("sync pod status to api server fail!");
        } else if (rspCode == 404) {
            OZK_WARN("patch pod status return with 404!");
        }
        return result;
    }
    OZK_DEBUG("no need sync pod status!");
    return result;
}

/* ========================================================================
 * Restarts by the pod's restart policy
 * ======================================================================== */
extern "C" uint32_t ozkBackOffSecondsGet(uint32_t steps)
{
    if (steps == 0) {
        return 0;
    }
    uint32_t seconds = OZK_BACKOFF_INITIAL;
    for (uint32_t i = 1; i < steps && seconds < OZK_BACKOFF_MAX; i++) {
        seconds *= 2;
    }
    return seconds < OZK_BACKOFF_MAX ? seconds : OZK_BACKOFF_MAX;
}

namespace {

/* Applies `change` to the cached record of a key while it still belongs to
 * the container `containerId` (a worker may have started a new one since
 * it was read). */
template <typename Change>
bool cachedContainerChange(OZK_POD_MANAGER_CTRL *ctrl, const char *key, const char *containerId, Change change)
{
    if (semTake(ctrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached container fail!");
        return false;
    }
    auto *entry = ozk::listFind<CACHE_CONTAINER_ENTRY>(&ctrl->cachedContainerList, [&](const CACHE_CONTAINER_ENTRY &e) {
        return strcmp(e.containerItem.containerName, key) == 0 && strcmp(e.containerItem.containerId, containerId) == 0;
    });
    if (entry != nullptr) {
        change(entry->containerItem);
    }
    if (semGive(ctrl->semContainerCached) != OK) {
        OZK_ERR("semGive cached container fail!");
    }
    return entry != nullptr;
}

/* The next start of a container waits `steps` back-off steps from now. */
void backOffSet(CONTAINER_INFO_LOCAL &item, uint32_t steps, uint64_t now)
{
    uint32_t seconds = ozkBackOffSecondsGet(steps);
    item.backOffSteps = steps + 1;
    item.backOffSeconds = seconds;
    item.restartDueTick = now + static_cast<uint64_t>(seconds) * static_cast<uint64_t>(sysClkRateGet());
    item.restartState = seconds == 0 ? OZK_RESTART_DUE : OZK_RESTART_BACKOFF;
}

/* The pod uid of a container key "<pod uid>:<container name>". */
std::string podUidOfKey(const char *key)
{
    std::string_view text(key);
    return std::string(text.substr(0, text.find(':')));
}

/* An exit of a watched container: its last state and its back-off. */
bool exitRecord(OZK_POD_MANAGER_CTRL *ctrl, const CONTAINER_INFO_LOCAL &seen, uint64_t now)
{
    int exitCode = 0;
    const char *reason = nullptr;
    if (ozkContainerExitCodeGet(seen.containerId, &exitCode) == OK) {
        reason = exitCode == 0 ? "Completed" : "Error";
    } else {
        exitCode = OZK_EXIT_CODE_UNKNOWN;
        reason = "ContainerStatusUnknown";
    }
    CStr finished(ozkCurrentTimeUsStr(TRUE));
    bool restart = !(exitCode == 0 && strcmp(seen.restartPolicy, "OnFailure") == 0);
    uint64_t ran = now - seen.runStartTick;
    bool longRun = ran >= static_cast<uint64_t>(OZK_BACKOFF_RESET) * static_cast<uint64_t>(sysClkRateGet());
    OZK_DEBUG("container %s exited with %d, restart:%d", seen.containerName, exitCode, restart ? 1 : 0);
    return cachedContainerChange(ctrl, seen.containerName, seen.containerId,
                                 [&](CONTAINER_INFO_LOCAL &item) {
                                     if (item.restartState != OZK_RESTART_WATCH) {
                                         return;
                                     }
                                     if (!restart) {
                                         item.restartState = OZK_RESTART_NONE;
                                         return;
                                     }
                                     ozk::fieldCopy(item.lastContainerId, item.containerId);
                                     /* time stamps and reason words fit their fields */
                                     (void)ozk::fieldCopy(item.lastStartedAt, +item.startAt);
                                     (void)ozk::fieldCopy(item.lastFinishedAt,
                                                          finished ? finished.get() : item.startAt);
                                     (void)ozk::fieldCopy(item.lastReason, reason);
                                     item.lastExitCode = exitCode;
                                     backOffSet(item, longRun ? 0 : item.backOffSteps, now);
                                 }) &&
           restart;
}

/* Back-off texts as users know them: "40s", "2m40s", "5m0s". */
std::string backOffText(uint32_t seconds)
{
    return seconds < 60 ? std::to_string(seconds) + "s"
                        : std::to_string(seconds / 60) + "m" + std::to_string(seconds % 60) + "s";
}

std::string backOffMessage(const v1_pod_t *pod, const v1_container_t *container, const CONTAINER_INFO_LOCAL &local)
{
    const v1_object_meta_t *meta = pod->metadata;
    return "back-off " + backOffText(local.backOffSeconds) + " restarting failed container=" + container->name +
           " pod=" + (meta->name != nullptr ? meta->name : "") + "_" +
           (meta->_namespace != nullptr ? meta->_namespace : "") + "(" + meta->uid + ")";
}

bool restartPending(const CONTAINER_INFO_LOCAL &local)
{
    return local.restartState == OZK_RESTART_BACKOFF || local.restartState == OZK_RESTART_DUE;
}

/* The status a pod last reported for a container, copied; null when none. */
v1_container_status_t *reportedStatusCopy(const v1_pod_t *pod, const char *name)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, pod->status != nullptr ? pod->status->container_statuses : nullptr)
    {
        auto *status = static_cast<v1_container_status_t *>(entry->data);
        if (status != nullptr && ozk::textEquals(status->name, name)) {
            Json json(v1_container_status_convertToJSON(status));
            return json ? v1_container_status_parseFromJSON(json.get()) : nullptr;
        }
    }
    return nullptr;
}

} // namespace

extern "C" int ozkContainerRestartScan(OZK_POD_MANAGER_CTRL *podManagerCtrl)
{
    std::vector<CONTAINER_INFO_LOCAL> watched;
    if (semTake(podManagerCtrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached container fail!");
        return WAIT_FOREVER;
    }
    for (SL_NODE *node = sllFirst(&podManagerCtrl->cachedContainerList); node != nullptr; node = sllNext(node)) {
        const CONTAINER_INFO_LOCAL &item = reinterpret_cast<CACHE_CONTAINER_ENTRY *>(node)->containerItem;
        if (item.restartState == OZK_RESTART_WATCH || item.restartState == OZK_RESTART_BACKOFF) {
            watched.push_back(item);
        }
    }
    if (semGive(podManagerCtrl->semContainerCached) != OK) {
        OZK_ERR("semGive cached container fail!");
    }
    /* the runtime is asked outside the lock */
    uint64_t now = tickGet();
    int64_t wait = -1;
    auto waitAtMost = [&wait](int64_t ticks) { wait = wait < 0 || ticks < wait ? ticks : wait; };
    std::vector<std::string> due;
    for (const CONTAINER_INFO_LOCAL &item : watched) {
        if (item.restartState == OZK_RESTART_BACKOFF) {
            if (now < item.restartDueTick) {
                waitAtMost(static_cast<int64_t>(item.restartDueTick - now));
            } else if (cachedContainerChange(podManagerCtrl, item.containerName, item.containerId,
                                             [](CONTAINER_INFO_LOCAL &entry) {
                                                 if (entry.restartState == OZK_RESTART_BACKOFF) {
                                                     entry.restartState = OZK_RESTART_DUE;
                                                 }
                                             })) {
                due.push_back(podUidOfKey(item.containerName));
            }
            continue;
        }
        waitAtMost(static_cast<int64_t>(OZK_RESTART_SCAN) * sysClkRateGet());
        if (ozcStatusGet(item.containerId) == STATE_STOPPED && exitRecord(podManagerCtrl, item, now)) {
            due.push_back(podUidOfKey(item.containerName)); /* restarted now, or reported waiting */
        }
    }
    for (size_t i = 0; i < due.size(); i++) {
        bool posted = false;
        for (size_t j = 0; j < i; j++) {
            posted = posted || due[j] == due[i];
        }
        if (!posted && ozkPodRestartEventPost(podManagerCtrl, due[i].c_str()) != OK) {
            OZK_ERR("post restart event fail, uid:%s", due[i].c_str());
        }
    }
    if (!due.empty()) {
        waitAtMost(0);
    }
    return wait < 0 ? WAIT_FOREVER : static_cast<int>(std::min<int64_t>(wait, INT32_MAX));
}

extern "C" STATUS ozkPodRestartHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    if (!podItemValid(podItem)) {
        return ERROR;
    }
    if (podItem->metadata->deletion_timestamp != nullptr) {
        OZK_DEBUG("pod %s is being deleted: no restart", podItem->metadata->uid);
        return OK;
    }
    AuthConfigs auths;
    bool authsRead = false;
    StatusList list(list_createList());
    if (!list) {
        OZK_ERR("create containerStatus list fail!");
        return ERROR;
    }
    STATUS result = OK;
    size_t index = 0;
    listEntry_t *entry = nullptr;
    list_ForEach(entry, podItem->spec->containers)
    {
        auto *container = static_cast<v1_container_t *>(entry->data);
        size_t position = index++;
        CONTAINER_INFO_LOCAL local{};
        if (container == nullptr || container->name == nullptr ||
            !ozk::containerKeyGet(local.containerName, sizeof(local.containerName), podItem->metadata->uid,
                                  container->name)) {
            continue;
        }
        if (ozkContainerLocalGetByName(podManagerCtrl, local.containerName, &local) != OK) {
            /* never started here: its status stays what was reported */
            if (v1_container_status_t *copy = reportedStatusCopy(podItem, container->name)) {
                list_addElement(list.get(), copy);
            }
            continue;
        }
        bool stopped = local.containerId[0] == '\0' || ozcStatusGet(local.containerId) == STATE_STOPPED;
        if (local.restartState == OZK_RESTART_DUE && stopped) {
            if (!authsRead) {
                if (podAuthsRead(podManagerCtrl, podItem, auths, __func__) != OK) {
                    return ERROR;
                }
                authsRead = true;
            }
            OZK_DEBUG("restart container %s, restarts so far:%d", local.containerName, local.restartCnt);
            std::string oldId = local.containerId;
            if (ozkContainerDelete(podManagerCtrl, local.containerId, local.bundlePath) != OK) {
                OZK_ERR("delete container:%s fail!", local.containerId);
            }
            IMAGE_INFO imageInfo{};
            char imageId[OZK_IMAGE_ID_LEN] = "";
            CONTAINER_INFO_LOCAL fresh = local;
            fresh.containerId[0] = '\0';
            fresh.bundlePath[0] = '\0';
            if (ozkPodOzcCRIProcess(podManagerCtrl, podItem, container, &auths.records[position], &imageInfo, imageId,
                                    &fresh, list.get()) != OK) {
                /* the next try waits out a longer back-off */
                OZK_ERR("container restart fail, name:%s", local.containerName);
                (void)cachedContainerChange(
                    podManagerCtrl, local.containerName, oldId.c_str(), [](CONTAINER_INFO_LOCAL &item) {
                        item.containerId[0] = '\0';
                        item.bundlePath[0] = '\0';
                        backOffSet(item, item.backOffSteps > 0 ? item.backOffSteps : 1, tickGet());
                    });
                result = ERROR;
            }
            continue;
        }
        if (restartPending(local)) {
            std::string message = backOffMessage(podItem, container, local);
            if (ozkContainerStatusAppend(list.get(), "Waiting", container, &local, OZK_REASON_BACKOFF,
                                         message.c_str()) != OK) {
                OZK_ERR("generate containerStatus fail!");
            }
            continue;
        }
        if (ozkGenerateContainerStatus(list.get(), ozkContainerStateLocalStrGet(local.containerId), container, &local,
                                       nullptr) != OK) {
            OZK_ERR("generate containerStatus fail!");
        }
    }
    if (list->count > 0 && ozkPlegUpdate(podManagerCtrl, podItem, list.release(), nullptr) != OK) {
        OZK_ERR("pod status patch for pod restart fail");
    }
    return result;
}
