/*
 * ozkContainerSpec.h - the process of a container as its pod spec asks for
 * it: the environment (literal values with $(VAR) references expanded,
 * values read from the pod's own fields, secrets and config maps), the
 * command and its arguments, and the working directory, written into the
 * bundle's config.json between the unpack and the create.
 *
 * The rules are the Kubernetes ones: "command" replaces the image's
 * entrypoint and drops its command, "args" replaces the image's command,
 * "$(VAR)" in both is expanded from the container's environment ("$$" is a
 * literal "$", a reference to an unknown variable stays as written), the
 * pod's variables win over the image's, "workingDir" replaces the image's.
 * A program named without a '/' is looked up in the PATH of the process's
 * environment inside the container's root file system.
 */
#ifndef OZK_CONTAINER_SPEC_H
#define OZK_CONTAINER_SPEC_H

#include <ozPlatform.h>
#include <stddef.h>

#include <cjson/cJSON.h>

#include "kubeModels.h"
#include "ozkPodManager.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Waiting reason of a container whose configuration cannot be made. */
#define OZK_REASON_CONFIG_ERROR "CreateContainerConfigError"
/* Room for the message that names what could not be resolved. */
#define OZK_SPEC_MESSAGE_LEN 1024
/* The search path of a process whose environment names none. */
#define OZK_DEFAULT_PATH "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

typedef struct ozkProcessSpec OZK_PROCESS_SPEC;

/* Resolves the environment of a container of a pod (through the API
 * client for secrets and config maps) and keeps it with the container's
 * command, args and working directory. Null when a reference cannot be
 * resolved: message then names it (the container waits with
 * OZK_REASON_CONFIG_ERROR); an empty message means out of memory. */
OZK_PROCESS_SPEC *ozkProcessSpecCreate(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem,
                                       v1_container_t *containerItem, char *message, size_t messageSize);
void ozkProcessSpecFree(OZK_PROCESS_SPEC *spec);

/* Rewrites the process of the bundle's config.json for the spec.
 * imageConfig is the image's configuration as the image inspection reports
 * it ("Entrypoint", "Cmd"); it is needed only when the spec gives args
 * without a command, and may be null otherwise. ERROR with message filled
 * for a process that cannot be made (no program, a relative or missing
 * working directory, a program not in PATH); ERROR with an empty message
 * when the bundle cannot be read or written. */
STATUS ozkProcessSpecApply(const OZK_PROCESS_SPEC *spec, const char *bundlePath, const cJSON *imageConfig,
                           char *message, size_t messageSize);

/* Expands the $(VAR) references of a text from env, an array of
 * "NAME=value" entries (for a name given twice the last wins). A new text
 * the caller frees; null when out of memory. */
char *ozkEnvRefExpand(const char *text, const char *const *env, size_t envCount);

#ifdef __cplusplus
}
#endif

#endif /* OZK_CONTAINER_SPEC_H */
