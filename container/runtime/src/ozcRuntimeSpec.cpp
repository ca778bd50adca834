/*
 * ozcRuntimeSpec.cpp - reads a bundle's config.json into the runtime
 * specification model (runtimeSpecConfig).
 *
 * Key lookup ignores letter case and takes the first match. Texts are taken
 * only from JSON strings and booleans are true only for JSON true; every
 * text of the model points into the parsed document, which the top record
 * owns and frees last.
 */
#include "ozcRuntimeSpec.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ozJson.h"
#include "ozcUtilInternal.h"

using ozc::failNull;

const char *const runtimeHookName[MAX_HOOK] = {"prestart",       "createRuntime", "createContainer",
                                               "startContainer", "poststart",     "poststop"};

/* ------------------------------------------------------------------------
 * Readers of single values
 * ------------------------------------------------------------------------ */
static cJSON *loadRuntimeSpec(const char *path)
{
    cJSON *tree = cJSON_load_from_file(path);
    if (tree == nullptr && errno == ENOENT)
        errno = EBADMSG; /* the file existed a moment ago: not a missing file */
    return tree;
}

static char *runtimeSpecGetString(const cJSON *obj, const char *key)
{
    cJSON *item = cJSON_GetObjectItem(obj, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

static cJSON *runtimeSpecGetObject(const cJSON *obj, const char *key)
{
    cJSON *item = cJSON_GetObjectItem(obj, key);
    return cJSON_IsObject(item) ? item : nullptr;
}

static BOOL runtimeSpecGetBoolean(const cJSON *obj, const char *key)
{
    cJSON *item = cJSON_GetObjectItem(obj, key);
    return cJSON_IsBool(item) && cJSON_IsTrue(item) ? TRUE : FALSE;
}

/* A NULL-terminated array of the string elements of arr (a non-string
 * element gives a NULL entry); *count gets the number of elements. NULL
 * with ENOMEM when it cannot be allocated. */
static char **runtimeSpecGetStringArray(const cJSON *arr, int *count)
{
    int n = cJSON_GetArraySize(arr);
    auto **out = static_cast<char **>(calloc((size_t)n + 1, sizeof(char *)));
    if (out == nullptr) {
        return failNull(ENOMEM);
    }
    int i = 0;
    const cJSON *el;
    cJSON_ArrayForEach(el, arr)
    {
        if (i >= n)
            break;
        out[i++] = cJSON_GetStringValue(el);
    }
    *count = n;
    return out;
}

/* ------------------------------------------------------------------------
 * Process
 * ------------------------------------------------------------------------ */
static void destroyRuntimeSpecUser(runtimeSpecConfigUser *user)
{
    if (user == nullptr)
        return;
    free(user->gids);
    free(user);
}

/* "uid", "gid" and (OCI only) "additionalGids" of a user object. */
static void runtimeSpecUserIds(runtimeSpecConfigUser *user, const cJSON *obj, BOOL withGids)
{
    const cJSON *uid = cJSON_GetObjectItem(obj, "uid");
    const cJSON *gid = cJSON_GetObjectItem(obj, "gid");
    const cJSON *gids = withGids ? cJSON_GetObjectItem(obj, "additionalGids") : nullptr;
    if (uid == nullptr && gid == nullptr && gids == nullptr)
        return;
    user->idsGiven = TRUE;
    if ((uid != nullptr && !cJSON_IsNumber(uid)) || (gid != nullptr && !cJSON_IsNumber(gid)) ||
        (gids != nullptr && !cJSON_IsArray(gids))) {
        user->invalid = TRUE;
        return;
    }
    user->uid = uid != nullptr ? uid->valuedouble : 0;
    user->gid = gid != nullptr ? gid->valuedouble : 0;
    int n = gids != nullptr ? cJSON_GetArraySize(gids) : 0;
    if (n <= 0)
        return;
    user->gids = static_cast<double *>(calloc((size_t)n, sizeof(double)));
    if (user->gids == nullptr) {
        user->invalid = TRUE;
        return;
    }
    const cJSON *e;
    cJSON_ArrayForEach(e, gids)
    {
        if (!cJSON_IsNumber(e)) {
            user->invalid = TRUE;
            return;
        }
        user->gids[user->gidCount++] = e->valuedouble;
    }
}

/* The user record, or NULL when the process names no user (root) or, with
 * *err set, when memory is short. */
static runtimeSpecConfigUser *initializeRuntimeSpecUser(cJSON *process, int *err)
{
    cJSON *usr = runtimeSpecGetObject(process, "usr");
    cJSON *oci = usr == nullptr ? runtimeSpecGetObject(process, "user") : nullptr;
    cJSON *obj = usr != nullptr ? usr : oci;
    if (obj == nullptr)
        return nullptr;
    auto *user = static_cast<runtimeSpecConfigUser *>(calloc(1, sizeof(runtimeSpecConfigUser)));
    if (user == nullptr) {
        *err = ENOMEM;
        return nullptr;
    }
    user->tree = obj;
    if (usr != nullptr) {
        char *text = runtimeSpecGetString(usr, "user");
        if (text != nullptr && text[0] != '\0')
            user->user = text;
        else
            runtimeSpecUserIds(user, usr, FALSE);
    } else {
        runtimeSpecUserIds(user, oci, TRUE);
    }
    if (user->user == nullptr && !user->idsGiven) {
        destroyRuntimeSpecUser(user); /* an empty object: root */
        return nullptr;
    }
    return user;
}

static void destroyRuntimeSpecProcess(runtimeSpecConfigProcess *process)
{
    if (process == nullptr)
        return;
    destroyRuntimeSpecUser(process->user);
    free(process->args);
    free(process->env);
    free(process);
}

static runtimeSpecConfigProcess *initializeRuntimeSpecProcess(cJSON *tree)
{
    cJSON *obj = runtimeSpecGetObject(tree, "process");
    if (obj == nullptr) {
        return failNull(EINVAL);
    }
    cJSON *args = cJSON_GetObjectItem(obj, "args");
    if (!cJSON_IsArray(args)) {
        return failNull(EINVAL);
    }
    auto *process = static_cast<runtimeSpecConfigProcess *>(calloc(1, sizeof(runtimeSpecConfigProcess)));
    if (process == nullptr) {
        return failNull(ENOMEM);
    }
    process->tree = obj;
    process->args = runtimeSpecGetStringArray(args, &process->argCount);
    if (process->args == nullptr) {
        destroyRuntimeSpecProcess(process);
        return nullptr;
    }
    cJSON *env = cJSON_GetObjectItem(obj, "env");
    if (cJSON_IsArray(env)) {
        process->env = runtimeSpecGetStringArray(env, &process->envCount);
        if (process->env == nullptr) {
            destroyRuntimeSpecProcess(process);
            return nullptr;
        }
    }
    process->cwd = runtimeSpecGetString(obj, "cwd");
    process->terminal = runtimeSpecGetBoolean(obj, "terminal");
    int err = 0;
    process->user = initializeRuntimeSpecUser(obj, &err);
    if (err != 0) {
        destroyRuntimeSpecProcess(process);
        return failNull(err);
    }
    return process;
}

/* ------------------------------------------------------------------------
 * OS section
 * ------------------------------------------------------------------------ */
static void destroyRuntimeSpecOrrery(runtimeSpecConfigOrrery *orrery)
{
    free(orrery);
}

static runtimeSpecConfigOrrery *initializeRuntimeSpecOrrery(cJSON *tree)
{
    auto *orrery = static_cast<runtimeSpecConfigOrrery *>(calloc(1, sizeof(runtimeSpecConfigOrrery)));
    if (orrery == nullptr) {
        return failNull(ENOMEM);
    }
    orrery->option = OZC_SPEC_DEFAULT_OPTION;
    orrery->priority = OZC_SPEC_DEFAULT_PRIORITY;
    orrery->stackSize = OZC_SPEC_DEFAULT_STACK_SIZE;
    orrery->taskOption = OZC_SPEC_DEFAULT_TASK_OPT;
    orrery->tree = runtimeSpecGetObject(tree, "orrery");
    cJSON *rtp = orrery->tree != nullptr ? runtimeSpecGetObject(orrery->tree, "rtp") : nullptr;
    if (rtp == nullptr)
        return orrery;
    struct {
        const char *key;
        int *value;
    } const fields[] = {{"rtpOptions", &orrery->option},
                        {"rtpPriority", &orrery->priority},
                        {"rtpStackSize", &orrery->stackSize},
                        {"rtpTaskOptions", &orrery->taskOption}};
    for (const auto &f : fields) {
        const char *text = runtimeSpecGetString(rtp, f.key);
        if (text != nullptr)
            *f.value = (int)strtoul(text, nullptr, 0);
    }
    return orrery;
}

/* ------------------------------------------------------------------------
 * Annotations
 * ------------------------------------------------------------------------ */
static void destroyRuntimeSpecAnnotations(runtimeSpecConfigAnnotations *annotations)
{
    if (annotations == nullptr)
        return;
    free(annotations->v);
    free(annotations->k);
    free(annotations);
}

static runtimeSpecConfigAnnotations *initializeRuntimeSpecAnnotations(cJSON *tree)
{
    cJSON *obj = runtimeSpecGetObject(tree, "annotations");
    int count = cJSON_GetArraySize(obj);
    if (obj == nullptr || count == 0)
        return nullptr;
    auto *annotations = static_cast<runtimeSpecConfigAnnotations *>(calloc(1, sizeof(runtimeSpecConfigAnnotations)));
    if (annotations == nullptr)
        return nullptr;
    annotations->tree = obj;
    annotations->k = static_cast<char **>(calloc((size_t)count + 1, sizeof(char *)));
    annotations->v = static_cast<char **>(calloc((size_t)count + 1, sizeof(char *)));
    if (annotations->k == nullptr || annotations->v == nullptr) {
        destroyRuntimeSpecAnnotations(annotations);
        return nullptr;
    }
    int i = 0;
    const cJSON *member;
    cJSON_ArrayForEach(member, obj)
    {
        if (i >= count)
            break;
        annotations->k[i] = member->string;
        annotations->v[i] = cJSON_GetStringValue(member);
        i++;
    }
    annotations->count = count;
    return annotations;
}

/* ------------------------------------------------------------------------
 * Mounts
 * ------------------------------------------------------------------------ */
static char **getMountsOption(const cJSON *mount)
{
    cJSON *opts = cJSON_GetObjectItem(mount, "options");
    if (!cJSON_IsArray(opts) || cJSON_GetArraySize(opts) == 0)
        return nullptr;
    int n = 0;
    return runtimeSpecGetStringArray(opts, &n);
}

static void destroyRuntimeSpecMounts(runtimeSpecConfigMounts *mounts)
{
    if (mounts == nullptr)
        return;
    if (mounts->mount != nullptr) {
        for (int i = 0; i < mounts->count; i++) {
            if (mounts->mount[i] != nullptr)
                free(mounts->mount[i]->opt);
            free(mounts->mount[i]);
        }
        free(mounts->mount);
    }
    free(mounts);
}

/* NULL with errno 0 when "mounts" is missing or not an array; NULL with
 * ENOMEM when an entry cannot be allocated: every entry up to count is
 * readable, or there is no mount list at all. */
static runtimeSpecConfigMounts *initializeRuntimeSpecMounts(cJSON *tree, int *err)
{
    *err = 0;
    cJSON *arr = cJSON_GetObjectItem(tree, "mounts");
    if (!cJSON_IsArray(arr))
        return nullptr;
    auto *mounts = static_cast<runtimeSpecConfigMounts *>(calloc(1, sizeof(runtimeSpecConfigMounts)));
    if (mounts == nullptr) {
        *err = ENOMEM;
        return nullptr;
    }
    mounts->tree = arr;
    int count = cJSON_GetArraySize(arr);
    mounts->mount = static_cast<runtimeSpecConfigMount **>(calloc((size_t)count + 1, sizeof(void *)));
    if (mounts->mount == nullptr) {
        free(mounts);
        *err = ENOMEM;
        return nullptr;
    }
    mounts->count = count;
    int i = 0;
    const cJSON *el;
    cJSON_ArrayForEach(el, arr)
    {
        if (i >= count)
            break;
        auto *m = static_cast<runtimeSpecConfigMount *>(calloc(1, sizeof(runtimeSpecConfigMount)));
        if (m == nullptr) {
            destroyRuntimeSpecMounts(mounts);
            *err = ENOMEM;
            return nullptr;
        }
        mounts->mount[i++] = m;
        m->src = runtimeSpecGetString(el, "source");
        m->dst = runtimeSpecGetString(el, "destination");
        m->type = runtimeSpecGetString(el, "type");
        cJSON *opts = cJSON_GetObjectItem(el, "options");
        m->opt = getMountsOption(el);
        if (m->opt == nullptr && cJSON_IsArray(opts) && cJSON_GetArraySize(opts) > 0) {
            destroyRuntimeSpecMounts(mounts);
            *err = ENOMEM;
            return nullptr;
        }
    }
    return mounts;
}

/* ------------------------------------------------------------------------
 * Hooks
 * ------------------------------------------------------------------------ */
static void destroyRuntimeHookNode(runtimeHookNode *node)
{
    if (node == nullptr)
        return;
    free(node->args);
    free(node->env);
    free(node);
}

static void destroyRuntimeSpecHook(runtimeSpecConfigHook *hook)
{
    if (hook == nullptr)
        return;
    if (hook->hookNode != nullptr) {
        for (int i = 0; i < hook->nodeCnt; i++)
            destroyRuntimeHookNode(hook->hookNode[i]);
        free(hook->hookNode);
    }
    free(hook);
}

static runtimeHookNode *initializeRuntimeHookNode(const cJSON *obj)
{
    char *path = runtimeSpecGetString(obj, "path");
    if (path == nullptr)
        return nullptr;
    auto *node = static_cast<runtimeHookNode *>(calloc(1, sizeof(runtimeHookNode)));
    if (node == nullptr)
        return nullptr;
    node->rtpPath = path;
    cJSON *args = cJSON_GetObjectItem(obj, "args");
    if (cJSON_IsArray(args) && (node->args = runtimeSpecGetStringArray(args, &node->argsCnt)) == nullptr) {
        destroyRuntimeHookNode(node);
        return nullptr;
    }
    cJSON *env = cJSON_GetObjectItem(obj, "env");
    if (cJSON_IsArray(env) && (node->env = runtimeSpecGetStringArray(env, &node->envCnt)) == nullptr) {
        destroyRuntimeHookNode(node);
        return nullptr;
    }
    return node;
}

static runtimeSpecConfigHook *initializeRuntimeSpecHook(cJSON *hooks, const char *name)
{
    cJSON *arr = cJSON_GetObjectItem(hooks, name);
    int count = cJSON_GetArraySize(arr);
    if (!cJSON_IsArray(arr) || count == 0)
        return nullptr;
    auto *hook = static_cast<runtimeSpecConfigHook *>(calloc(1, sizeof(runtimeSpecConfigHook)));
    if (hook == nullptr)
        return nullptr;
    hook->tree = hooks;
    hook->hookNode = static_cast<runtimeHookNode **>(calloc((size_t)count, sizeof(void *)));
    if (hook->hookNode == nullptr) {
        free(hook);
        return nullptr;
    }
    hook->nodeCnt = count;
    int i = 0;
    const cJSON *el;
    cJSON_ArrayForEach(el, arr)
    {
        if (i >= count)
            break;
        hook->hookNode[i++] = initializeRuntimeHookNode(el);
    }
    return hook;
}

static void initializeRuntimeSpecHooks(runtimeSpecConfig *config)
{
    for (auto &h : config->hooks)
        h = nullptr;
    cJSON *hooks = runtimeSpecGetObject(config->tree, "hooks");
    if (hooks == nullptr)
        return;
    for (int kind = 0; kind < MAX_HOOK; kind++)
        config->hooks[kind] = initializeRuntimeSpecHook(hooks, runtimeHookName[kind]);
}

/* ------------------------------------------------------------------------
 * Root
 * ------------------------------------------------------------------------ */
static void destroyRuntimeSpecRoot(runtimeSpecConfigRoot *root)
{
    free(root);
}

static runtimeSpecConfigRoot *initializeRuntimeSpecRoot(cJSON *tree)
{
    cJSON *obj = runtimeSpecGetObject(tree, "root");
    char *path = obj != nullptr ? runtimeSpecGetString(obj, "path") : nullptr;
    if (path == nullptr)
        return nullptr;
    auto *root = static_cast<runtimeSpecConfigRoot *>(calloc(1, sizeof(runtimeSpecConfigRoot)));
    if (root == nullptr)
        return nullptr;
    root->path = path;
    root->ro = runtimeSpecGetBoolean(obj, "readonly");
    root->tree = obj;
    return root;
}

/* ------------------------------------------------------------------------
 * Load and destroy
 * ------------------------------------------------------------------------ */
void ozcDestroyRuntimeSpec(struct runtimeSpecConfig *config)
{
    if (config == nullptr)
        return;
    destroyRuntimeSpecOrrery(config->orrery);
    destroyRuntimeSpecProcess(config->process);
    destroyRuntimeSpecMounts(config->mounts);
    destroyRuntimeSpecAnnotations(config->annotations);
    destroyRuntimeSpecRoot(config->root);
    for (auto *h : config->hooks)
        destroyRuntimeSpecHook(h);
    cJSON_Delete(config->tree);
    free(config);
}

struct runtimeSpecConfig *ozcInitializeRuntimeSpec(const char *path)
{
    if (path == nullptr) {
        return failNull(EINVAL);
    }
    if (access(path, F_OK) != 0)
        return nullptr; /* ENOENT for a missing file */
    auto *config = static_cast<runtimeSpecConfig *>(calloc(1, sizeof(runtimeSpecConfig)));
    if (config == nullptr) {
        return failNull(ENOMEM);
    }
    config->tree = loadRuntimeSpec(path);
    if (config->tree == nullptr) {
        int e = errno;
        free(config);
        return failNull(e);
    }
    config->version = runtimeSpecGetString(config->tree, "ociVersion");
    config->hostName = runtimeSpecGetString(config->tree, "hostname");

    int err = 0;
    config->process = initializeRuntimeSpecProcess(config->tree);
    if (config->process == nullptr)
        err = errno;
    if (err == 0 && (config->orrery = initializeRuntimeSpecOrrery(config->tree)) == nullptr)
        err = ENOMEM;
    if (err == 0) {
        config->annotations = initializeRuntimeSpecAnnotations(config->tree);
        config->mounts = initializeRuntimeSpecMounts(config->tree, &err);
    }
    if (err != 0) {
        ozcDestroyRuntimeSpec(config);
        return failNull(err);
    }
    initializeRuntimeSpecHooks(config);
    config->root = initializeRuntimeSpecRoot(config->tree);
    return config;
}
