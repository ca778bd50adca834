/*
 * ozcRuntimeSpec.h - the in-memory model of a bundle's config.json (OCI
 * runtime keys used by the runtime plus the OS section "orrery").
 *
 * Every text pointer of the model points into the parsed JSON document that
 * the top record owns (tree); the pointer arrays and the records are
 * allocated separately. ozcDestroyRuntimeSpec() frees everything.
 */
#ifndef OZC_RUNTIME_SPEC_H
#define OZC_RUNTIME_SPEC_H

#include <stddef.h>

#include <cjson/cJSON.h>

#include "ozPlatform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Hook kinds, index of runtimeSpecConfig.hooks and runtimeHookName. */
enum runtimeHookType {
    PRESTART = 0,
    CREATE_RUNTIME = 1,
    CREATE_CONTAINER = 2,
    START_CONTAINER = 3,
    POSTSTART = 4,
    POSTSTOP = 5,
    MAX_HOOK = 6
};

/* "prestart", "createRuntime", "createContainer", "startContainer",
 * "poststart", "poststop" */
extern const char *const runtimeHookName[MAX_HOOK];

/* Defaults of the OS section. */
#define OZC_SPEC_DEFAULT_OPTION     0
#define OZC_SPEC_DEFAULT_PRIORITY   100
#define OZC_SPEC_DEFAULT_STACK_SIZE 8192
#define OZC_SPEC_DEFAULT_TASK_OPT   0

/* The user a container's processes run as: from "usr" (written by the
 * image unpacker: "user", the image's User text, and its "uid" and "gid"
 * numbers), else from the OCI "user" ("uid", "gid", "additionalGids").
 * Numbers are kept as read; the container registry checks their range. */
typedef struct runtimeSpecConfigUser {
    char *user;    /* "usr"."user": name or number, optionally ":group" */
    BOOL idsGiven; /* uid, gid and gids below apply */
    double uid;    /* "uid" */
    double gid;    /* "gid", 0 when absent */
    double *gids;  /* "additionalGids" of the OCI "user", or NULL */
    int gidCount;
    BOOL invalid; /* a member of the wrong type */
    cJSON *tree;  /* the "usr" or "user" object */
} runtimeSpecConfigUser, RUNTIME_SPEC_CONFIG_USER;

typedef struct runtimeSpecConfigProcess {
    char **args;  /* NULL-terminated, from "args" (required) */
    int argCount; /* elements of "args" */
    char **env;   /* NULL-terminated, from "env", or NULL */
    int envCount;
    char *cwd;                   /* "cwd", or NULL */
    BOOL terminal;               /* "terminal" is JSON true */
    runtimeSpecConfigUser *user; /* NULL: root */
    cJSON *tree;
} runtimeSpecConfigProcess, RUNTIME_SPEC_CONFIG_PROCESS;

typedef struct runtimeSpecConfigOrrery {
    int option;     /* "rtp"."rtpOptions", default 0 */
    int priority;   /* "rtp"."rtpPriority", default 100 */
    int stackSize;  /* "rtp"."rtpStackSize", default 8192 */
    int taskOption; /* "rtp"."rtpTaskOptions", default 0 */
    cJSON *tree;    /* the "orrery" object, or NULL */
} runtimeSpecConfigOrrery, RUNTIME_SPEC_CONFIG_ORRERY;

typedef struct runtimeSpecConfigAnnotations {
    char **k; /* member names, document order */
    char **v; /* member values (NULL when not a string) */
    int count;
    cJSON *tree;
} runtimeSpecConfigAnnotations, RUNTIME_SPEC_CONFIG_ANNOTATIONS;

typedef struct runtimeSpecConfigMount {
    char *src;     /* "source", or NULL */
    char *dst;     /* "destination", or NULL */
    char **opt;    /* NULL-terminated "options", NULL when missing or empty */
    size_t optLen; /* reserved, not filled */
    char *type;    /* "type", or NULL */
} runtimeSpecConfigMount, RUNTIME_SPEC_CONFIG_MOUNT;

typedef struct runtimeSpecConfigMounts {
    int count;                      /* elements of "mounts" */
    runtimeSpecConfigMount **mount; /* count readable entries */
    cJSON *tree;
} runtimeSpecConfigMounts, RUNTIME_SPEC_CONFIG_MOUNTS;

typedef struct runtimeSpecConfigRoot {
    char *path; /* "path" (required) */
    BOOL ro;    /* "readonly" is JSON true */
    cJSON *tree;
} runtimeSpecConfigRoot, RUNTIME_SPEC_CONFIG_ROOT;

typedef struct runtimeHookNode {
    char *rtpPath; /* "path" (required) */
    char **args;   /* NULL-terminated, or NULL */
    int argsCnt;
    char **env; /* NULL-terminated, or NULL */
    int envCnt;
} runtimeHookNode, runtimeHookNodeFunc, RUNTIME_HOOK_NODE;

typedef struct runtimeSpecConfigHook {
    int nodeCnt;
    runtimeHookNode **hookNode; /* nodeCnt entries; an entry without "path" is NULL */
    cJSON *tree;                /* the "hooks" object */
} runtimeSpecConfigHook, RUNTIME_SPEC_CONFIG_HOOK;

typedef struct runtimeSpecConfig {
    char *version;                             /* "ociVersion" */
    char *hostName;                            /* "hostname" */
    runtimeSpecConfigAnnotations *annotations; /* NULL when missing or empty */
    runtimeSpecConfigProcess *process;         /* always set after a load */
    runtimeSpecConfigHook *hooks[MAX_HOOK];    /* each may be NULL */
    runtimeSpecConfigRoot *root;               /* NULL when missing or without path */
    runtimeSpecConfigOrrery *orrery;           /* always set after a load */
    runtimeSpecConfigMounts *mounts;           /* NULL when missing */
    cJSON *tree;                               /* the whole parsed file */
} runtimeSpecConfig, RUNTIME_SPEC_CONFIG;

/* Reads the file at path (the full name of config.json). NULL on failure:
 * errno ENOENT for a missing file, otherwise the cause of the failure. */
struct runtimeSpecConfig *ozcInitializeRuntimeSpec(const char *path);

/* Frees the model; NULL is accepted. */
void ozcDestroyRuntimeSpec(struct runtimeSpecConfig *config);

#ifdef __cplusplus
}
#endif

#endif /* OZC_RUNTIME_SPEC_H */
