/* kubeModels.h - the Kubernetes API records used by the node agent.
 *
 * Every record X has:
 *   X_create(...)          a new record holding the given values; it takes
 *                          ownership of every pointer passed (strings, lists,
 *                          sub-records); null when out of memory.
 *   X_free(X *)            frees the record and everything it owns; null is
 *                          allowed.
 *   X_parseFromJSON(json)  a new record from a JSON object with the API's own
 *                          member names; null when json is not an object or a
 *                          member has the wrong JSON type (the error is not
 *                          fatal for the caller: nothing is leaked).
 *   X_convertToJSON(X *)   a new JSON tree (cJSON_Delete it); null for a null
 *                          record or out of memory.
 *
 * Conventions, as in the generated client these records mirror:
 *   - strings and date-times are heap strings, null when absent;
 *   - numbers and booleans are plain ints/longs, 0 meaning "not set": a zero
 *     is written only when the member came with the parsed JSON or the field is
 *     required by the API (marked "required" below);
 *   - string maps are list_t of keyValuePair_t whose key and value are heap
 *     strings; lists of strings are list_t of heap strings; lists of records
 *     are list_t of record pointers.
 *
 * Round trip: a record parsed from JSON keeps, in _origJson, every member it
 * came with that has no field here, at its original position; converting it
 * back writes the members in their original order with the fields' current
 * values. So parse + convert loses nothing, and a change of any member, read
 * or not, shows in the converted JSON. Records built with X_create have no
 * _origJson; callers never touch it.
 *
 * Fields whose type is only declared here (struct pointers such as
 * v1_node_config_source_t) are members the node agent never builds: pass null
 * for them; when they come from the server they travel in _origJson. */
#ifndef KUBE_MODELS_H
#define KUBE_MODELS_H

#include <cjson/cJSON.h>
#include "list.h"
#include "keyValuePair.h"
#include "object.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KUBE_MODEL_FUNCS(T)                                                                                            \
    void T##_free(T##_t *T);                                                                                           \
    T##_t *T##_parseFromJSON(cJSON *T##JSON);                                                                          \
    cJSON *T##_convertToJSON(T##_t *T);

/* Members the node agent never builds (always null in the records). */
typedef struct v1_node_config_source_t v1_node_config_source_t;
typedef struct v1_node_config_status_t v1_node_config_status_t;
typedef struct v1_node_daemon_endpoints_t v1_node_daemon_endpoints_t;
typedef struct v1_status_details_t v1_status_details_t;

/* ---- metadata ---------------------------------------------------------- */

typedef struct v1_owner_reference_t {
    char *api_version;        /* required */
    int block_owner_deletion; /* boolean */
    int controller;           /* boolean */
    char *kind;               /* required */
    char *name;               /* required */
    char *uid;                /* required */
    cJSON *_origJson;
} v1_owner_reference_t;
v1_owner_reference_t *v1_owner_reference_create(char *api_version, int block_owner_deletion, int controller, char *kind,
                                                char *name, char *uid);
KUBE_MODEL_FUNCS(v1_owner_reference)

typedef struct v1_object_meta_t {
    list_t *annotations;      /* map of strings */
    char *creation_timestamp; /* date-time */
    long deletion_grace_period_seconds;
    char *deletion_timestamp; /* date-time */
    list_t *finalizers;       /* strings */
    char *generate_name;
    long generation;
    list_t *labels;         /* map of strings */
    list_t *managed_fields; /* pass null; kept in _origJson */
    char *name;
    char *_namespace;
    list_t *owner_references; /* v1_owner_reference_t */
    char *resource_version;
    char *self_link;
    char *uid;
    cJSON *_origJson;
} v1_object_meta_t;
v1_object_meta_t *v1_object_meta_create(list_t *annotations, char *creation_timestamp,
                                        long deletion_grace_period_seconds, char *deletion_timestamp,
                                        list_t *finalizers, char *generate_name, long generation, list_t *labels,
                                        list_t *managed_fields, char *name, char *_namespace, list_t *owner_references,
                                        char *resource_version, char *self_link, char *uid);
KUBE_MODEL_FUNCS(v1_object_meta)

typedef struct v1_list_meta_t {
    char *_continue;
    long remaining_item_count;
    char *resource_version;
    char *self_link;
    cJSON *_origJson;
} v1_list_meta_t;
v1_list_meta_t *v1_list_meta_create(char *_continue, long remaining_item_count, char *resource_version,
                                    char *self_link);
KUBE_MODEL_FUNCS(v1_list_meta)

/* ---- Node -------------------------------------------------------------- */

typedef struct v1_node_address_t {
    char *address; /* required */
    char *type;    /* required */
    cJSON *_origJson;
} v1_node_address_t;
v1_node_address_t *v1_node_address_create(char *address, char *type);
KUBE_MODEL_FUNCS(v1_node_address)

typedef struct v1_node_condition_t {
    char *last_heartbeat_time;  /* date-time */
    char *last_transition_time; /* date-time */
    char *message;
    char *reason;
    char *status; /* required */
    char *type;   /* required */
    cJSON *_origJson;
} v1_node_condition_t;
v1_node_condition_t *v1_node_condition_create(char *last_heartbeat_time, char *last_transition_time, char *message,
                                              char *reason, char *status, char *type);
KUBE_MODEL_FUNCS(v1_node_condition)

typedef struct v1_node_system_info_t {
    char *architecture; /* all required */
    char *boot_id;
    char *container_runtime_version;
    char *kernel_version;
    char *kube_proxy_version;
    char *kubelet_version;
    char *machine_id;
    char *operating_system;
    char *os_image;
    char *system_uuid;
    cJSON *_origJson;
} v1_node_system_info_t;
v1_node_system_info_t *v1_node_system_info_create(char *architecture, char *boot_id, char *container_runtime_version,
                                                  char *kernel_version, char *kube_proxy_version, char *kubelet_version,
                                                  char *machine_id, char *operating_system, char *os_image,
                                                  char *system_uuid);
KUBE_MODEL_FUNCS(v1_node_system_info)

typedef struct v1_node_spec_t {
    v1_node_config_source_t *config_source; /* pass null */
    char *external_id;
    char *pod_cidr;
    list_t *pod_cidrs; /* strings */
    char *provider_id;
    list_t *taints;    /* pass null; kept in _origJson */
    int unschedulable; /* boolean */
    cJSON *_origJson;
} v1_node_spec_t;
v1_node_spec_t *v1_node_spec_create(v1_node_config_source_t *config_source, char *external_id, char *pod_cidr,
                                    list_t *pod_cidrs, char *provider_id, list_t *taints, int unschedulable);
KUBE_MODEL_FUNCS(v1_node_spec)

typedef struct v1_node_status_t {
    list_t *addresses;                            /* v1_node_address_t */
    list_t *allocatable;                          /* map of quantity strings */
    list_t *capacity;                             /* map of quantity strings */
    list_t *conditions;                           /* v1_node_condition_t */
    v1_node_config_status_t *config;              /* pass null */
    v1_node_daemon_endpoints_t *daemon_endpoints; /* pass null */
    list_t *images;                               /* pass null; kept in _origJson */
    struct v1_node_system_info_t *node_info;
    char *phase;
    list_t *volumes_attached; /* pass null; kept in _origJson */
    list_t *volumes_in_use;   /* strings */
    cJSON *_origJson;
} v1_node_status_t;
v1_node_status_t *v1_node_status_create(list_t *addresses, list_t *allocatable, list_t *capacity, list_t *conditions,
                                        v1_node_config_status_t *config, v1_node_daemon_endpoints_t *daemon_endpoints,
                                        list_t *images, v1_node_system_info_t *node_info, char *phase,
                                        list_t *volumes_attached, list_t *volumes_in_use);
KUBE_MODEL_FUNCS(v1_node_status)

typedef struct v1_node_t {
    char *api_version;
    char *kind;
    struct v1_object_meta_t *metadata;
    struct v1_node_spec_t *spec;
    struct v1_node_status_t *status;
    cJSON *_origJson;
} v1_node_t;
v1_node_t *v1_node_create(char *api_version, char *kind, v1_object_meta_t *metadata, v1_node_spec_t *spec,
                          v1_node_status_t *status);
KUBE_MODEL_FUNCS(v1_node)

/* ---- Lease ------------------------------------------------------------- */

typedef struct v1_lease_spec_t {
    char *acquire_time; /* date-time with microseconds */
    char *holder_identity;
    int lease_duration_seconds;
    int lease_transitions;
    char *renew_time; /* date-time with microseconds */
    cJSON *_origJson;
} v1_lease_spec_t;
v1_lease_spec_t *v1_lease_spec_create(char *acquire_time, char *holder_identity, int lease_duration_seconds,
                                      int lease_transitions, char *renew_time);
KUBE_MODEL_FUNCS(v1_lease_spec)

typedef struct v1_lease_t {
    char *api_version;
    char *kind;
    struct v1_object_meta_t *metadata;
    struct v1_lease_spec_t *spec;
    cJSON *_origJson;
} v1_lease_t;
v1_lease_t *v1_lease_create(char *api_version, char *kind, v1_object_meta_t *metadata, v1_lease_spec_t *spec);
KUBE_MODEL_FUNCS(v1_lease)

/* ---- Pod --------------------------------------------------------------- */

typedef struct v1_local_object_reference_t {
    char *name;
    cJSON *_origJson;
} v1_local_object_reference_t;
v1_local_object_reference_t *v1_local_object_reference_create(char *name);
KUBE_MODEL_FUNCS(v1_local_object_reference)

/* Selects a field of the pod ("metadata.name", "status.podIP", ...). */
typedef struct v1_object_field_selector_t {
    char *api_version;
    char *field_path; /* required */
    cJSON *_origJson;
} v1_object_field_selector_t;
v1_object_field_selector_t *v1_object_field_selector_create(char *api_version, char *field_path);
KUBE_MODEL_FUNCS(v1_object_field_selector)

/* A key of a config map of the pod's namespace. */
typedef struct v1_config_map_key_selector_t {
    char *key; /* required */
    char *name;
    int optional; /* boolean */
    cJSON *_origJson;
} v1_config_map_key_selector_t;
v1_config_map_key_selector_t *v1_config_map_key_selector_create(char *key, char *name, int optional);
KUBE_MODEL_FUNCS(v1_config_map_key_selector)

/* A key of a secret of the pod's namespace. */
typedef struct v1_secret_key_selector_t {
    char *key; /* required */
    char *name;
    int optional; /* boolean */
    cJSON *_origJson;
} v1_secret_key_selector_t;
v1_secret_key_selector_t *v1_secret_key_selector_create(char *key, char *name, int optional);
KUBE_MODEL_FUNCS(v1_secret_key_selector)

/* Where an environment variable's value comes from. Other sources
 * (resourceFieldRef, ...) travel in _origJson. */
typedef struct v1_env_var_source_t {
    struct v1_config_map_key_selector_t *config_map_key_ref;
    struct v1_object_field_selector_t *field_ref;
    struct v1_secret_key_selector_t *secret_key_ref;
    cJSON *_origJson;
} v1_env_var_source_t;
v1_env_var_source_t *v1_env_var_source_create(v1_config_map_key_selector_t *config_map_key_ref,
                                              v1_object_field_selector_t *field_ref,
                                              v1_secret_key_selector_t *secret_key_ref);
KUBE_MODEL_FUNCS(v1_env_var_source)

typedef struct v1_env_var_t {
    char *name; /* required */
    char *value;
    struct v1_env_var_source_t *value_from;
    cJSON *_origJson;
} v1_env_var_t;
v1_env_var_t *v1_env_var_create(char *name, char *value, v1_env_var_source_t *value_from);
KUBE_MODEL_FUNCS(v1_env_var)

/* A container of a pod spec. Only the members the node agent reads are
 * fields; all others (ports, resources, ...) travel in _origJson. The
 * create function sets the image, pull policy and name; the other fields
 * are set on the record afterwards. */
typedef struct v1_container_t {
    list_t *args;    /* strings */
    list_t *command; /* strings */
    list_t *env;     /* v1_env_var_t */
    char *image;
    char *image_pull_policy;
    char *name; /* required */
    char *working_dir;
    cJSON *_origJson;
} v1_container_t;
v1_container_t *v1_container_create(char *image, char *image_pull_policy, char *name);
KUBE_MODEL_FUNCS(v1_container)

/* A pod spec. Only the members the node agent reads are fields; all others
 * (volumes, tolerations, ...) travel in _origJson. The create function sets
 * the containers, pull secrets and node name; the restart policy is set on
 * the record afterwards. */
typedef struct v1_pod_spec_t {
    list_t *containers;         /* v1_container_t; required */
    list_t *image_pull_secrets; /* v1_local_object_reference_t */
    char *node_name;
    char *restart_policy; /* "Always", "OnFailure", "Never" */
    cJSON *_origJson;
} v1_pod_spec_t;
v1_pod_spec_t *v1_pod_spec_create(list_t *containers, list_t *image_pull_secrets, char *node_name);
KUBE_MODEL_FUNCS(v1_pod_spec)

typedef struct v1_container_state_running_t {
    char *started_at; /* date-time */
    cJSON *_origJson;
} v1_container_state_running_t;
v1_container_state_running_t *v1_container_state_running_create(char *started_at);
KUBE_MODEL_FUNCS(v1_container_state_running)

typedef struct v1_container_state_terminated_t {
    char *container_id;
    int exit_code; /* required */
    char *finished_at;
    char *message;
    char *reason;
    int signal;
    char *started_at;
    cJSON *_origJson;
} v1_container_state_terminated_t;
v1_container_state_terminated_t *v1_container_state_terminated_create(char *container_id, int exit_code,
                                                                      char *finished_at, char *message, char *reason,
                                                                      int signal, char *started_at);
KUBE_MODEL_FUNCS(v1_container_state_terminated)

typedef struct v1_container_state_waiting_t {
    char *message;
    char *reason;
    cJSON *_origJson;
} v1_container_state_waiting_t;
v1_container_state_waiting_t *v1_container_state_waiting_create(char *message, char *reason);
KUBE_MODEL_FUNCS(v1_container_state_waiting)

typedef struct v1_container_state_t {
    struct v1_container_state_running_t *running;
    struct v1_container_state_terminated_t *terminated;
    struct v1_container_state_waiting_t *waiting;
    cJSON *_origJson;
} v1_container_state_t;
v1_container_state_t *v1_container_state_create(v1_container_state_running_t *running,
                                                v1_container_state_terminated_t *terminated,
                                                v1_container_state_waiting_t *waiting);
KUBE_MODEL_FUNCS(v1_container_state)

typedef struct v1_container_status_t {
    char *container_id;
    char *image;    /* required */
    char *image_id; /* required */
    struct v1_container_state_t *last_state;
    char *name;        /* required */
    int ready;         /* boolean, required */
    int restart_count; /* required */
    int started;       /* boolean */
    struct v1_container_state_t *state;
    cJSON *_origJson;
} v1_container_status_t;
v1_container_status_t *v1_container_status_create(char *container_id, char *image, char *image_id,
                                                  v1_container_state_t *last_state, char *name, int ready,
                                                  int restart_count, int started, v1_container_state_t *state);
KUBE_MODEL_FUNCS(v1_container_status)

typedef struct v1_pod_condition_t {
    char *last_probe_time;      /* date-time */
    char *last_transition_time; /* date-time */
    char *message;
    char *reason;
    char *status; /* required */
    char *type;   /* required */
    cJSON *_origJson;
} v1_pod_condition_t;
v1_pod_condition_t *v1_pod_condition_create(char *last_probe_time, char *last_transition_time, char *message,
                                            char *reason, char *status, char *type);
KUBE_MODEL_FUNCS(v1_pod_condition)

typedef struct v1_pod_ip_t {
    char *ip;
    cJSON *_origJson;
} v1_pod_ip_t;
v1_pod_ip_t *v1_pod_ip_create(char *ip);
KUBE_MODEL_FUNCS(v1_pod_ip)

typedef struct v1_pod_status_t {
    list_t *conditions;                   /* v1_pod_condition_t */
    list_t *container_statuses;           /* v1_container_status_t */
    list_t *ephemeral_container_statuses; /* v1_container_status_t */
    char *host_ip;
    list_t *init_container_statuses; /* v1_container_status_t */
    char *message;
    char *nominated_node_name;
    char *phase;
    char *pod_ip;
    list_t *pod_ips; /* v1_pod_ip_t */
    char *qos_class;
    char *reason;
    char *start_time; /* date-time */
    cJSON *_origJson;
} v1_pod_status_t;
v1_pod_status_t *v1_pod_status_create(list_t *conditions, list_t *container_statuses,
                                      list_t *ephemeral_container_statuses, char *host_ip,
                                      list_t *init_container_statuses, char *message, char *nominated_node_name,
                                      char *phase, char *pod_ip, list_t *pod_ips, char *qos_class, char *reason,
                                      char *start_time);
KUBE_MODEL_FUNCS(v1_pod_status)

typedef struct v1_pod_t {
    char *api_version;
    char *kind;
    struct v1_object_meta_t *metadata;
    struct v1_pod_spec_t *spec;
    struct v1_pod_status_t *status;
    cJSON *_origJson;
} v1_pod_t;
v1_pod_t *v1_pod_create(char *api_version, char *kind, v1_object_meta_t *metadata, v1_pod_spec_t *spec,
                        v1_pod_status_t *status);
KUBE_MODEL_FUNCS(v1_pod)

typedef struct v1_pod_list_t {
    char *api_version;
    list_t *items; /* v1_pod_t; required */
    char *kind;
    struct v1_list_meta_t *metadata;
    cJSON *_origJson;
} v1_pod_list_t;
v1_pod_list_t *v1_pod_list_create(char *api_version, list_t *items, char *kind, v1_list_meta_t *metadata);
KUBE_MODEL_FUNCS(v1_pod_list)

/* ---- Secret, ConfigMap, Status, deletion -------------------------------- */

typedef struct v1_secret_t {
    char *api_version;
    list_t *data;  /* map: key -> base64 text as sent by the server */
    int immutable; /* boolean */
    char *kind;
    struct v1_object_meta_t *metadata;
    list_t *string_data; /* map of strings */
    char *type;
    cJSON *_origJson;
} v1_secret_t;
v1_secret_t *v1_secret_create(char *api_version, list_t *data, int immutable, char *kind, v1_object_meta_t *metadata,
                              list_t *string_data, char *type);
KUBE_MODEL_FUNCS(v1_secret)

typedef struct v1_config_map_t {
    char *api_version;
    list_t *binary_data; /* map: key -> base64 text as sent by the server */
    list_t *data;        /* map of strings */
    int immutable;       /* boolean */
    char *kind;
    struct v1_object_meta_t *metadata;
    cJSON *_origJson;
} v1_config_map_t;
v1_config_map_t *v1_config_map_create(char *api_version, list_t *binary_data, list_t *data, int immutable, char *kind,
                                      v1_object_meta_t *metadata);
KUBE_MODEL_FUNCS(v1_config_map)

typedef struct v1_status_t {
    char *api_version;
    int code;
    v1_status_details_t *details; /* pass null; kept in _origJson */
    char *kind;
    char *message;
    struct v1_list_meta_t *metadata;
    char *reason;
    char *status;
    cJSON *_origJson;
} v1_status_t;
v1_status_t *v1_status_create(char *api_version, int code, v1_status_details_t *details, char *kind, char *message,
                              v1_list_meta_t *metadata, char *reason, char *status);
KUBE_MODEL_FUNCS(v1_status)

typedef struct v1_preconditions_t {
    char *resource_version;
    char *uid;
    cJSON *_origJson;
} v1_preconditions_t;
v1_preconditions_t *v1_preconditions_create(char *resource_version, char *uid);
KUBE_MODEL_FUNCS(v1_preconditions)

typedef struct v1_delete_options_t {
    char *api_version;
    list_t *dry_run; /* strings */
    long grace_period_seconds;
    char *kind;
    int orphan_dependents; /* boolean */
    struct v1_preconditions_t *preconditions;
    char *propagation_policy;
    cJSON *_origJson;
} v1_delete_options_t;
v1_delete_options_t *v1_delete_options_create(char *api_version, list_t *dry_run, long grace_period_seconds, char *kind,
                                              int orphan_dependents, v1_preconditions_t *preconditions,
                                              char *propagation_policy);
KUBE_MODEL_FUNCS(v1_delete_options)

#undef KUBE_MODEL_FUNCS

#ifdef __cplusplus
}
#endif

#endif /* KUBE_MODELS_H */
