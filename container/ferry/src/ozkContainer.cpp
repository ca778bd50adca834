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
#include "ozkLib.h"
#include "ozkContainer.h"
#include "ozkPodInt.h"

#include "ozcMgr.h"
#include "ozcontainer.h"

#include <cctype>
#include <cstdlib>
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

constexpr unsigned kDeleteForce = 2;        /* ozcDelete: also a running container */
constexpr int kNoSuchContainer = 19;        /* ozcDelete's errno for an unknown id */
constexpr int kNoSuchPath = 2;              /* ozcImageBundleDelete's for a missing path */

/* Start stamps: process-wide, incremented atomically. */
int64_t stampCounter = 0;

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

/* Strict standard base64 (padding optional, no other characters) into a
 * new NUL-terminated text. */
CStr base64Decode(const char *in)
{
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
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
    return out;
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
            (void)strncpy_s(imageId, imageIdSize, id->valuestring, strlen(id->valuestring));
            break;
        }
    }
    OZK_DEBUG("image jsonBody:%s", text.get());
    return imageId[0] != '\0' ? OK : ERROR;
}


} // namespace

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
    CStr decoded = base64Decode(encoded);
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
    cJSON *authsItem = cJSON_DetachItemFromObjectCaseSensitive(config.get(), "auths");
    if (!cJSON_IsObject(authsItem)) {
        cJSON_Delete(authsItem);
        OZK_ERR("parse auth item from secret item fail!");
        return ERROR;
    }
    if (authsItem->child == nullptr) {
        cJSON_Delete(authsItem);
        OZK_ERR("parse registry auth info fail!");
        return ERROR;
    }
    *auths = authsItem;
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
            if (cJSON_IsString(user)) {
                (void)ozk::fieldCopy(authConfig->username, user->valuestring);
            }
            if (cJSON_IsString(password)) {
                (void)ozk::fieldCopy(authConfig->password, password->valuestring);
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
    auto count = static_cast<unsigned long long>(ozAtomic64Inc(&stampCounter));
    unsigned long long stamp = static_cast<unsigned long long>(time(nullptr)) * 1000ULL + count % 1000ULL;
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

extern "C" STATUS ozkCachedContainerUpdate(OZK_POD_MANAGER_CTRL *podManagerCtrl,
                                           CONTAINER_INFO_LOCAL *containerLocal)
{
    if (semTake(podManagerCtrl->semContainerCached, WAIT_FOREVER) != OK) {
        OZK_ERR("semTake cached container fail!");
        return ERROR;
    }
    const char *name = containerLocal->containerName;
    auto *found = ozk::listFind<CACHE_CONTAINER_ENTRY>(&podManagerCtrl->cachedContainerList,
                                                       [name](const CACHE_CONTAINER_ENTRY &e) {
        return strcmp(e.containerItem.containerName, name) == 0;
    });
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
        (void)ozk::fieldCopy(found->containerItem.containerName, containerLocal->containerName);
        CStr now(ozkCurrentTimeUsStr(TRUE));
        if (!now) {
            OZK_ERR("get current us str fail!");
            if (semGive(podManagerCtrl->semContainerCached) != OK) {
                OZK_ERR("semGive cached fail!");
            }
            return ERROR;
        }
        (void)ozk::fieldCopy(found->containerItem.startAt, now.get());
    } else {
        OZK_DEBUG("container info already exist!");
        found->containerItem.restartCnt++;
    }
    CONTAINER_INFO_LOCAL &item = found->containerItem;
    (void)ozk::fieldCopy(item.containerId, containerLocal->containerId);
    (void)ozk::fieldCopy(item.imageId, containerLocal->imageId);
    (void)ozk::fieldCopy(item.imagePath, containerLocal->imagePath);
    (void)ozk::fieldCopy(item.bundlePath, containerLocal->bundlePath);
    (void)ozk::fieldCopy(containerLocal->startAt, item.startAt);
    containerLocal->restartCnt = item.restartCnt;
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
    (void)ozk::fieldCopy(imageInfo->image_path, path);
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
    (void)ozk::fieldCopy(imageInfo->image_name, image);
    (void)ozk::fieldCopy(imageInfo->image_tag, tag);
    BOOL present = ozkImageExist(registryCtx, imageInfo);
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
    if (ozcUnpack(containerLocal->bundlePath, imageInfo->image_path, unpackTag, 0, nullptr) != OK) {
        OZK_ERR("ozc unpack image to bundle fail!");
        (void)ozkBundleRemove(containerLocal->bundlePath);
        return ERROR;
    }
    /* The bundle is complete here: its config.json may be rewritten before
     * the container is created from it. */
    if (!ozk::formatInto(containerLocal->containerId, sizeof(containerLocal->containerId), "%s_%s",
                         imageInfo->image_name, stamp.get())) {
        OZK_ERR("gen containerId fail!");
        (void)ozkBundleRemove(containerLocal->bundlePath);
        return ERROR;
    }
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
    if (!ozk::formatInto(image, sizeof(image), "%s/%s%s%s", parts.registry, repository.c_str(), separator,
                         parts.tag)) {
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
    (void)ozk::fieldCopy(containerLocal->imagePath, image);
    (void)ozk::fieldCopy(containerLocal->imageId, id);
    return OK;
}

/* ========================================================================
 * Pod start
 * ======================================================================== */
extern "C" STATUS ozkPodWaitingStatusPatch(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    StatusList list(list_createList());
    if (!list) {
        OZK_ERR("create container list fail!");
        return ERROR;
    }
    CONTAINER_INFO_LOCAL local{};
    (void)ozk::fieldCopy(local.imageId, "unknown");
    (void)ozk::fieldCopy(local.containerId, "unknown");
    (void)ozk::fieldCopy(local.imagePath, "unknown");
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

/* One container: pull, start, record, status. A failure leaves the
 * container reported waiting with its reason, and nothing of it behind. */
static STATUS ozkPodOzcCRIProcess(OZK_POD_MANAGER_CTRL *ctrl, v1_container_t *container,
                                  const REGISTRY_AUTH_CONFIG *auth, IMAGE_INFO *imageInfo, char *imageId,
                                  CONTAINER_INFO_LOCAL *local, list_t *statusList)
{
    const char *reason = "pulling image fail";
    RegistryCtx ctx(ozkContainerRegistryCtxCreate(auth));
    BOOL pulled = FALSE;
    if (ctx && ozkImagePull(ctrl, container, ctx.get(), imageInfo, &pulled) != OK) {
        char name[128];
        const char *shown = imageInfo->image_name[0] != '\0' ? imageInfo->image_name
                            : container->name != nullptr      ? container->name
                                                              : "null";
        if (!ozk::formatInto(name, sizeof(name), "%s", shown)) {
            name[0] = '\0';
        }
        OZK_ERR("image pull error,image name:%s", name);
    } else if (ctx && ozkContainerStart(ctx.get(), imageInfo, imageId, local, pulled) != OK) {
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
        if (ozkGenerateContainerStatus(statusList, "Waiting", container, local, reason) != OK) {
            OZK_ERR("generate terminated container status fail!");
        }
    }
    return ERROR;
}

extern "C" STATUS ozkPodAddHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem)
{
    if (podItem == nullptr || podItem->spec == nullptr || podItem->spec->containers == nullptr ||
        podItem->metadata == nullptr || podItem->metadata->uid == nullptr) {
        OZK_ERR("invalid pod spec!");
        return ERROR;
    }
    AuthConfigs auths;
    auths.records.resize(static_cast<size_t>(podItem->spec->containers->count));
    if (ozkRegistryUserPwdSet(podManagerCtrl, podItem, auths.records.data(), auths.records.size()) != OK) {
        OZK_ERR("set username and pwd error!");
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
        result = ozkPodOzcCRIProcess(podManagerCtrl, container, &auth, &imageInfo, imageId, &local, list.get());
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
    if (!ozk::formatInto(containerId.get(), OZK_IMAGE_ID_LEN, "%s://%s", OZK_CONTAINER_ID_PREFIX,
                         local->containerId)) {
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
    int running = state->running != nullptr ? 1 : 0;
    v1_container_status_t *status = v1_container_status_create(containerId.get(), image.get(), imageId.get(), nullptr,
                                                               name.get(), running, local->restartCnt, running,
                                                               state.get());
    if (status == nullptr) {
        OZK_ERR("create container status fail!");
        return nullptr;
    }
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
        CStr message = ozk::strDup(text);
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
    StateCount count = stateCount(containerStatusList);
    if (count.running == 0 && count.terminated > 0 && count.waiting == 0) {
        return count.failed > 0 ? "Failed" : "Succeeded";
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

extern "C" v1_pod_status_t *ozkPatchPodStatusGenerate(OZK_POD_MANAGER_CTRL *podManagerCtrl,
                                                      list_t *containerStatusList, const char *phase)
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
    PodStatus status(ozkPatchPodStatusGenerate(podManagerCtrl, list.get(), ozkPodPhaseGet(list.get())));
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

/* The runtime state of a cached container; 4 (unknown) when not cached. */
static int ozkContainerLocalStateGet(OZK_POD_MANAGER_CTRL *ctrl, const char *key, CONTAINER_INFO_LOCAL *local)
{
    if (ozkContainerLocalGetByName(ctrl, key, local) == OK) {
        return static_cast<int>(ozcStatusGet(local->containerId));
    }
    OZK_DEBUG("can't get container info by name:%s", key);
    (void)ozk::fieldCopy(local->imageId, "unknown");
    (void)ozk::fieldCopy(local->containerId, "unknown");
    (void)ozk::fieldCopy(local->imagePath, "unknown");
    return STATE_UNKNOWN;
}

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
    bool wasRunning = strcmp(reported, "Running") == 0;
    if (!wasRunning && localState == STATE_RUNNING) {
        state = "Running";
        *changed = true;
    } else if (wasRunning && localState == STATE_UNKNOWN) {
        state = "Waiting";
        *changed = true;
    } else if (wasRunning && localState == STATE_STOPPED) {
        state = "Terminated";
        *changed = true;
    }
    STATUS result = ozkGenerateContainerStatus(list, state, container, local, nullptr);
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
