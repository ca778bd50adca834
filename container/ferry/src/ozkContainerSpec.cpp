/*
 * ozkContainerSpec.cpp - the process of a container as its pod spec asks
 * for it. The environment is resolved first (literal values with $(VAR)
 * references, the pod's own fields, keys of secrets and config maps read
 * through the API client); then, between the unpack and the create, the
 * process of the bundle's config.json is rewritten: the environment over
 * the image's, the command and its arguments, the working directory.
 *
 * A program named without a '/' is looked up in the PATH of the process's
 * environment inside the bundle's root file system, following symbolic
 * links the way the container will see them: inside that root, never out
 * of it.
 */
#define OZK_LOG_UNIT "ozkContainerSpec"
#include "ozkClient.h"
#include "ozkContainerSpec.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkPodInt.h"

#include "ozJson.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using ozk::CStr;
using ozk::Json;

struct ozkProcessSpec {
    std::vector<std::pair<std::string, std::string>> env; /* the pod's, resolved, one per name */
    std::vector<std::string> command;
    std::vector<std::string> args;
    std::string workingDir;
};

namespace {

using ConfigMap = oz::Owner<v1_config_map_t, v1_config_map_free>;
using EnvList = std::vector<std::pair<std::string, std::string>>;

constexpr int kMaxLinks = 40; /* symbolic links followed in one lookup */

/* Fills the caller's message buffer (bounded, cut when too long: a message
 * is for people). */
void messageSet(char *message, size_t size, const std::string &text)
{
    if (message != nullptr && size > 0) {
        (void)snprintf(message, size, "%s", text.c_str());
    }
}

const std::string *envFind(const EnvList &env, const std::string &name)
{
    for (const auto &[key, value] : env) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

/* Sets a variable: a name already there keeps its place and takes the new
 * value, a new one goes to the end. */
void envSet(EnvList &env, const std::string &name, std::string value)
{
    for (auto &[key, old] : env) {
        if (key == name) {
            old = std::move(value);
            return;
        }
    }
    env.emplace_back(name, std::move(value));
}

/* $(VAR) expansion: "$$" is one "$", a reference to a variable that the
 * lookup does not know stays as written, as does an unclosed "$(". */
template <typename Lookup>
std::string expand(std::string_view text, Lookup lookup)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '$' || i + 1 >= text.size()) {
            out += text[i++];
            continue;
        }
        char next = text[i + 1];
        if (next == '$') {
            out += '$';
            i += 2;
        } else if (next == '(') {
            size_t close = text.find(')', i + 2);
            if (close == std::string_view::npos) {
                out += "$(";
                i += 2;
                continue;
            }
            std::string name(text.substr(i + 2, close - i - 2));
            const std::string *value = lookup(name);
            out += value != nullptr ? *value : "$(" + name + ")";
            i = close + 1;
        } else {
            out += '$';
            out += next;
            i += 2;
        }
    }
    return out;
}

std::string expandFrom(std::string_view text, const EnvList &env)
{
    return expand(text, [&env](const std::string &name) { return envFind(env, name); });
}

const char *mapValue(list_t *map, const char *key)
{
    listEntry_t *entry = nullptr;
    list_ForEach(entry, map)
    {
        auto *pair = static_cast<keyValuePair_t *>(entry->data);
        if (pair != nullptr && ozk::textEquals(pair->key, key)) {
            return static_cast<const char *>(pair->value);
        }
    }
    return nullptr;
}

/* A label or annotation selector "metadata.labels['key']". */
bool mapSelector(std::string_view path, std::string_view prefix, std::string *key)
{
    if (path.size() < prefix.size() + 4 || path.substr(0, prefix.size()) != prefix ||
        path.substr(prefix.size(), 2) != "['" || path.substr(path.size() - 2) != "']") {
        return false;
    }
    *key = std::string(path.substr(prefix.size() + 2, path.size() - prefix.size() - 4));
    return true;
}

/* A field of the pod. The pod's addresses are the node's. */
bool fieldRefResolve(OZK_POD_MANAGER_CTRL *ctrl, const v1_pod_t *pod, const char *fieldPath, std::string *value,
                     std::string *error)
{
    const char *nodeIP = ctrl->kubeConf != nullptr ? ctrl->kubeConf->nodeIP : nullptr;
    const v1_object_meta_t *meta = pod->metadata;
    std::string_view path = fieldPath != nullptr ? fieldPath : "";
    std::string key;
    const char *found = nullptr;
    bool known = true;
    if (path == "metadata.name") {
        found = meta->name;
    } else if (path == "metadata.namespace") {
        found = meta->_namespace;
    } else if (path == "metadata.uid") {
        found = meta->uid;
    } else if (path == "spec.nodeName") {
        found = pod->spec->node_name != nullptr ? pod->spec->node_name
                                                : (ctrl->kubeConf != nullptr ? ctrl->kubeConf->nodeName : nullptr);
    } else if (path == "status.podIP" || path == "status.hostIP") {
        found = nodeIP;
    } else if (mapSelector(path, "metadata.labels", &key)) {
        found = mapValue(meta->labels, key.c_str());
    } else if (mapSelector(path, "metadata.annotations", &key)) {
        found = mapValue(meta->annotations, key.c_str());
    } else {
        known = false;
    }
    if (!known) {
        *error = "unsupported fieldPath: " + std::string(path);
        return false;
    }
    *value = found != nullptr ? found : "";
    return true;
}

enum class Lookup { Found, Skipped, Failed };

/* A key of a secret or config map of the pod's namespace. A missing object
 * or key is skipped when the reference is optional. */
Lookup keyRefResolve(OZK_POD_MANAGER_CTRL *ctrl, const char *ns, bool secret, const char *name, const char *key,
                     bool optional, std::string *value, std::string *error)
{
    const char *kind = secret ? "secret" : "configmap";
    const char *Kind = secret ? "Secret" : "ConfigMap";
    if (name == nullptr || name[0] == '\0' || key == nullptr) {
        *error = std::string("a reference to a ") + kind + " names no object or no key";
        return Lookup::Failed;
    }
    uint32_t rspCode = 0;
    ozk::Secret secretItem;
    ConfigMap mapItem;
    list_t *data = nullptr;
    if (secret) {
        secretItem.reset(ozkClientSecretGetRsp(ctrl->clientCtrl, ns, name, &rspCode));
        data = secretItem ? secretItem->data : nullptr;
    } else {
        mapItem.reset(ozkClientConfigMapGet(ctrl->clientCtrl, ns, name, &rspCode));
        data = mapItem ? mapItem->data : nullptr;
    }
    if (!secretItem && !mapItem) {
        if (rspCode == 404) {
            if (optional) {
                return Lookup::Skipped;
            }
            *error = std::string(kind) + " \"" + name + "\" not found";
        } else {
            *error =
                std::string("cannot read ") + kind + " \"" + name + "\" (HTTP status " + std::to_string(rspCode) + ")";
        }
        return Lookup::Failed;
    }
    const char *raw = mapValue(data, key);
    if (raw == nullptr) {
        if (optional) {
            return Lookup::Skipped;
        }
        *error = std::string("couldn't find key ") + key + " in " + Kind + " " + ns + "/" + name;
        return Lookup::Failed;
    }
    if (!secret) {
        *value = raw;
        return Lookup::Found;
    }
    /* secret data travels base64-encoded; an empty value is empty */
    if (raw[0] == '\0') {
        value->clear();
        return Lookup::Found;
    }
    size_t length = 0;
    CStr decoded = ozk::base64Decode(raw, &length);
    if (!decoded || length != strlen(decoded.get())) {
        if (decoded) {
            explicit_bzero(decoded.get(), length);
        }
        *error = std::string("key ") + key + " of Secret " + ns + "/" + name +
                 " does not hold a text an environment variable can carry";
        return Lookup::Failed;
    }
    value->assign(decoded.get(), length);
    explicit_bzero(decoded.get(), length);
    return Lookup::Found;
}

/* The value of one env entry of the container, with references to the
 * entries before it expanded. */
Lookup envVarResolve(OZK_POD_MANAGER_CTRL *ctrl, const v1_pod_t *pod, const v1_env_var_t *var, const EnvList &before,
                     std::string *value, std::string *error)
{
    if (var->value != nullptr && var->value[0] != '\0') {
        *value = expandFrom(var->value, before);
        return Lookup::Found;
    }
    const v1_env_var_source_t *from = var->value_from;
    if (from == nullptr) {
        value->clear();
        return Lookup::Found;
    }
    const char *ns = pod->metadata->_namespace != nullptr ? pod->metadata->_namespace : "default";
    if (from->field_ref != nullptr) {
        return fieldRefResolve(ctrl, pod, from->field_ref->field_path, value, error) ? Lookup::Found : Lookup::Failed;
    }
    if (from->secret_key_ref != nullptr) {
        const v1_secret_key_selector_t *ref = from->secret_key_ref;
        return keyRefResolve(ctrl, ns, true, ref->name, ref->key, ref->optional != 0, value, error);
    }
    if (from->config_map_key_ref != nullptr) {
        const v1_config_map_key_selector_t *ref = from->config_map_key_ref;
        return keyRefResolve(ctrl, ns, false, ref->name, ref->key, ref->optional != 0, value, error);
    }
    *error = "unsupported valueFrom source";
    return Lookup::Failed;
}

std::vector<std::string> stringsOf(list_t *list)
{
    std::vector<std::string> out;
    listEntry_t *entry = nullptr;
    list_ForEach(entry, list)
    {
        out.emplace_back(entry->data != nullptr ? static_cast<const char *>(entry->data) : "");
    }
    return out;
}

std::vector<std::string> pathParts(std::string_view path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string_view part =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return parts;
}

/* Where an absolute path of the container lies under its root directory
 * on this host, symbolic links followed inside the root and ".." stopping
 * at it. *exists is false when a component is missing: *host then ends
 * with the missing components as written (a ".." among them makes the
 * lookup fail). False for a loop of links or a link that cannot be read. */
bool inRootResolve(const std::string &root, std::string_view path, std::string *host, bool *exists)
{
    std::deque<std::string> todo;
    for (std::string &part : pathParts(path)) {
        todo.push_back(std::move(part));
    }
    std::vector<std::string> done;
    auto joined = [&root](const std::vector<std::string> &parts) {
        std::string out = root;
        for (const std::string &part : parts) {
            out += "/" + part;
        }
        return out;
    };
    int links = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == "..") {
            if (!done.empty()) {
                done.pop_back();
            }
            continue;
        }
        done.push_back(part);
        std::string candidate = joined(done);
        struct stat st {};
        if (lstat(candidate.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                return false;
            }
            for (const std::string &rest : todo) {
                if (rest == "..") {
                    return false;
                }
                candidate += "/" + rest;
            }
            *host = candidate;
            *exists = false;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            continue;
        }
        if (++links > kMaxLinks) {
            return false;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(candidate.c_str(), target, sizeof(target) - 1);
        if (n < 0) {
            return false;
        }
        target[n] = '\0';
        done.pop_back();
        if (target[0] == '/') {
            done.clear();
        }
        std::vector<std::string> parts = pathParts(target);
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
            todo.push_front(*it);
        }
    }
    *host = joined(done);
    *exists = true;
    return true;
}

/* The bundle's root directory on this host. */
std::string bundleRootOf(const char *bundlePath, const cJSON *config)
{
    const cJSON *root = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(config, "root"), "path");
    std::string path = cJSON_IsString(root) && root->valuestring[0] != '\0' ? root->valuestring : "rootfs";
    return path[0] == '/' ? path : std::string(bundlePath) + "/" + path;
}

/* The program's path inside the container: a name without a '/' is looked
 * up in PATH; empty when not found. */
std::string programFind(const std::string &root, const std::string &program, const std::string &searchPath)
{
    if (program.find('/') != std::string::npos) {
        return program;
    }
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t colon = searchPath.find(':', start);
        std::string dir = searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        start = colon == std::string::npos ? searchPath.size() + 1 : colon + 1;
        if (dir.empty() || dir[0] != '/') {
            continue; /* only absolute entries mean the same inside the container */
        }
        std::string inside = dir + "/" + program;
        std::string host;
        bool exists = false;
        struct stat st {};
        if (inRootResolve(root, inside, &host, &exists) && exists && stat(host.c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
            return inside;
        }
    }
    return "";
}

cJSON *stringArray(const std::vector<std::string> &items)
{
    cJSON *array = cJSON_CreateArray();
    for (const std::string &item : items) {
        if (array != nullptr && !cJSON_AddItemToArray(array, cJSON_CreateString(item.c_str()))) {
            cJSON_Delete(array);
            return nullptr;
        }
    }
    return array;
}

bool objectReplace(cJSON *object, const char *name, cJSON *item)
{
    if (item == nullptr) {
        return false;
    }
    cJSON_DeleteItemFromObjectCaseSensitive(object, name);
    return cJSON_AddItemToObject(object, name, item) != 0;
}

} // namespace

extern "C" char *ozkEnvRefExpand(const char *text, const char *const *env, size_t envCount)
{
    if (text == nullptr) {
        return nullptr;
    }
    EnvList list;
    for (size_t i = 0; i < envCount; i++) {
        std::string_view entry = env[i] != nullptr ? env[i] : "";
        size_t eq = entry.find('=');
        if (eq != std::string_view::npos) {
            envSet(list, std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
        }
    }
    return strdup(expandFrom(text, list).c_str());
}

extern "C" OZK_PROCESS_SPEC *ozkProcessSpecCreate(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem,
                                                  v1_container_t *containerItem, char *message, size_t messageSize)
{
    messageSet(message, messageSize, "");
    if (podManagerCtrl == nullptr || podItem == nullptr || podItem->metadata == nullptr || podItem->spec == nullptr ||
        containerItem == nullptr) {
        messageSet(message, messageSize, "invalid pod or container");
        return nullptr;
    }
    auto spec = std::make_unique<OZK_PROCESS_SPEC>();
    listEntry_t *entry = nullptr;
    list_ForEach(entry, containerItem->env)
    {
        auto *var = static_cast<v1_env_var_t *>(entry->data);
        if (var == nullptr || var->name == nullptr) {
            continue;
        }
        std::string value;
        std::string error;
        switch (envVarResolve(podManagerCtrl, podItem, var, spec->env, &value, &error)) {
        case Lookup::Found:
            envSet(spec->env, var->name, std::move(value));
            break;
        case Lookup::Skipped:
            break;
        case Lookup::Failed:
            OZK_ERR("container %s: env %s: %s", containerItem->name != nullptr ? containerItem->name : "null",
                    var->name, error.c_str());
            messageSet(message, messageSize, error);
            return nullptr;
        }
    }
    for (std::string &word : stringsOf(containerItem->command)) {
        spec->command.push_back(expandFrom(word, spec->env));
    }
    for (std::string &word : stringsOf(containerItem->args)) {
        spec->args.push_back(expandFrom(word, spec->env));
    }
    if (containerItem->working_dir != nullptr) {
        spec->workingDir = containerItem->working_dir;
    }
    return spec.release();
}

extern "C" void ozkProcessSpecFree(OZK_PROCESS_SPEC *spec)
{
    if (spec != nullptr) {
        for (auto &[name, value] : spec->env) {
            explicit_bzero(value.data(), value.size());
        }
        delete spec;
    }
}

extern "C" STATUS ozkProcessSpecApply(const OZK_PROCESS_SPEC *spec, const char *bundlePath, const cJSON *imageConfig,
                                      char *message, size_t messageSize)
{
    messageSet(message, messageSize, "");
    if (spec == nullptr || bundlePath == nullptr) {
        return ERROR;
    }
    std::string configPath = std::string(bundlePath) + "/config.json";
    Json config(cJSON_load_from_file(configPath.c_str()));
    cJSON *process = cJSON_GetObjectItemCaseSensitive(config.get(), "process");
    if (!cJSON_IsObject(process)) {
        OZK_ERR("bundle config %s has no process", configPath.c_str());
        return ERROR;
    }
    /* the environment: the image's, the pod's over it */
    EnvList env;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(process, "env"))
    {
        if (cJSON_IsString(item)) {
            std::string_view text = item->valuestring;
            size_t eq = text.find('=');
            envSet(env, std::string(text.substr(0, eq)),
                   eq == std::string_view::npos ? "" : std::string(text.substr(eq + 1)));
        }
    }
    for (const auto &[name, value] : spec->env) {
        envSet(env, name, value);
    }
    std::vector<std::string> envText;
    for (const auto &[name, value] : env) {
        envText.push_back(name + "=" + value);
    }
    /* the command line: the pod's command replaces the image's entrypoint
     * and drops its command; args alone replace the image's command */
    bool changed = !spec->command.empty() || !spec->args.empty();
    std::vector<std::string> argv;
    if (!spec->command.empty()) {
        argv = spec->command;
    } else if (!spec->args.empty()) {
        cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(imageConfig, "Entrypoint"))
        {
            if (cJSON_IsString(item)) {
                argv.emplace_back(item->valuestring);
            }
        }
    }
    argv.insert(argv.end(), spec->args.begin(), spec->args.end());
    std::string root = bundleRootOf(bundlePath, config.get());
    if (changed) {
        if (argv.empty() || argv[0].empty()) {
            messageSet(message, messageSize, "no command specified");
            return ERROR;
        }
        const std::string *searchPath = envFind(env, "PATH");
        std::string program = programFind(root, argv[0], searchPath != nullptr ? *searchPath : OZK_DEFAULT_PATH);
        if (program.empty()) {
            messageSet(message, messageSize, "exec: \"" + argv[0] + "\": executable file not found in $PATH");
            return ERROR;
        }
        argv[0] = program;
    }
    /* the working directory, made when the image has none there */
    if (!spec->workingDir.empty()) {
        if (spec->workingDir[0] != '/') {
            messageSet(message, messageSize, "working directory \"" + spec->workingDir + "\" is not absolute");
            return ERROR;
        }
        std::string host;
        bool exists = false;
        struct stat st {};
        if (!inRootResolve(root, spec->workingDir, &host, &exists) || (!exists && ozMkdirP(host.c_str(), 0755) != OK) ||
            stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            messageSet(message, messageSize, "working directory \"" + spec->workingDir + "\" cannot be made");
            return ERROR;
        }
    }
    if (!objectReplace(process, "env", stringArray(envText)) ||
        (changed && !objectReplace(process, "args", stringArray(argv))) ||
        (!spec->workingDir.empty() && !objectReplace(process, "cwd", cJSON_CreateString(spec->workingDir.c_str())))) {
        OZK_ERR("rewrite process of %s fail!", configPath.c_str());
        return ERROR;
    }
    if (cJSON_dump_to_file(config.get(), configPath.c_str(), 0660) != 0) {
        OZK_ERR("write %s fail, errno:%d", configPath.c_str(), errno);
        return ERROR;
    }
    return OK;
}
