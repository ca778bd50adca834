/*
 * ozkContainer.h - container integration of the node agent: the pod start
 * (pull secrets, image pull, bundle, create and start through the runtime,
 * the container cache), the container delete, and the pod status reported
 * to the API server (container statuses, phase, conditions, the status
 * patch and the batch sync).
 */
#ifndef OZK_CONTAINER_H
#define OZK_CONTAINER_H

#include <ozPlatform.h>
#include <stdint.h>

#include <cjson/cJSON.h>

#include "kubeModels.h"
#include "ozcMgrLib.h"
#include "ozkPodManager.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OZK_AUTH_FIELD_LEN      256
#define OZK_IMAGE_ID_LEN        256
#define OZK_PATH_LEN            1024
#define OZK_STAMP_LEN           256
#define OZK_REGISTRY_INFO_LEN   256
#define OZK_DOCKER_CONFIG_KEY   ".dockerconfigjson"
#define OZK_CONTAINER_ID_PREFIX "ozc"
#define OZK_IMAGE_ID_PREFIX     "docker-pullable://"
#define OZK_ENV_BASE            "OZC_BASE"
#define OZK_ENV_IMAGE_PATH      "OZC_IMAGE_PATH"
/* The record in each bundle the agent makes: who made it, for which
 * container key. */
#define OZK_BUNDLE_OWNER_FILE "ferry-owner.json"
/* Annotations of an image's entry in its layout's index.json. */
#define OZK_ANNOTATION_REF_NAME   "org.opencontainers.image.ref.name"
#define OZK_ANNOTATION_IMAGE_NAME "org.orrery.image.name"
/* Exit code reported when the exit status of a stopped container's process
 * cannot be had, with the reason "ContainerStatusUnknown". */
#define OZK_EXIT_CODE_UNKNOWN 137
/* Waiting reason of a container that ran and that the runtime no longer
 * knows. */
#define OZK_REASON_STATUS_UNKNOWN "ContainerStatusUnknown"

/* Restarts by the pod's restart policy: a container that exits again soon
 * waits 10 s before its next start, twice as long after each further exit,
 * 300 s at most; a run of 10 minutes forgets the earlier exits. The first
 * exit after such a run restarts the container at once. */
#define OZK_BACKOFF_INITIAL 10
#define OZK_BACKOFF_MAX     300
#define OZK_BACKOFF_RESET   600
#define OZK_RESTART_SCAN    1 /* seconds between looks for exited containers */
#define OZK_REASON_BACKOFF  "CrashLoopBackOff"

/* Credentials of one registry. */
typedef struct RegistryAuthConfig {
    char username[OZK_AUTH_FIELD_LEN];
    char password[OZK_AUTH_FIELD_LEN];
    char auth[OZK_AUTH_FIELD_LEN];
    char email[OZK_AUTH_FIELD_LEN];
    char serverAddress[OZK_AUTH_FIELD_LEN];
    char IdentityToken[OZK_AUTH_FIELD_LEN];
    char registryToken[OZK_AUTH_FIELD_LEN];
} REGISTRY_AUTH_CONFIG;

/* ---- Pod start -------------------------------------------------------------- */
/* Starts the pod's containers and patches its status; the pod stays the
 * caller's. */
STATUS ozkPodAddHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
/* Force-deletes one local container and removes its bundle; the cache is
 * not touched. */
STATUS ozkContainerDelete(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *containerId, const char *bundlePath);
/* At start: removes the containers and bundles under OZC_BASE that carry
 * the agent's owner record, left by an earlier run that did not end in
 * order; containers of anyone else stay untouched. */
STATUS ozkContainerLeftoversRemove(OZK_POD_MANAGER_CTRL *podManagerCtrl);
/* A new start stamp text (upper-case hex), freed by the caller. */
char *ozkMsTimeStampGet(void);

/* Credentials from the pod's pull secrets, one record per entry of
 * spec.containers (count of them), each for the registry of that
 * container's image; empty records pull anonymously. ERROR when a secret is
 * missing or malformed. */
STATUS ozkRegistryUserPwdSet(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem, REGISTRY_AUTH_CONFIG *authConfigs,
                             size_t count);
/* The "auths" object of one secret of a namespace. */
STATUS ozkDockerNamePwdGet(OZK_POD_MANAGER_CTRL *podManagerCtrl, const char *podNamespace, const char *secretName,
                           cJSON **auths);
STATUS ozkSecretParseToAuthConfig(v1_secret_t *secret, cJSON **auths);
/* The credentials for a registry host: from the first secret, in order,
 * whose "auths" member for that registry holds a user name and a password;
 * none (empty fields) when no secret names the registry. ERROR for a
 * chosen member without "username" or "password". */
STATUS ozkRegistryAuthGet(cJSON *authsList, const char *registry, REGISTRY_AUTH_CONFIG *authConfig);
/* True when an "auths" key names the registry host: scheme, path and case
 * do not count, the port does; the default registry's names are one. */
BOOL ozkRegistryKeyMatch(const char *authKey, const char *registry);
/* Reports every container of the pod as waiting for its image. */
STATUS ozkPodWaitingStatusPatch(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
/* "Running", "Terminated" or "Waiting" for the runtime state of a container. */
const char *ozkContainerStateLocalStrGet(const char *containerId);

/* Image presence and identity. refName (the tag, or the digest text) and
 * imageName (the image's full name) select the layout's entry; null for
 * either accepts any. ERROR when no entry matches. */
STATUS ozkImageIdGet(const char *imagePath, const char *refName, const char *imageName, char *imageId,
                     size_t imageIdSize);
/* The ref name and full name a layout entry of the context's image carries. */
STATUS ozkImageWantedGet(REGISTRY_CTX *registryCtx, char *refName, size_t refNameSize, char *imageName,
                         size_t imageNameSize);
BOOL ozkImagePullNeed(v1_container_t *containerItem, REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo);
BOOL ozkImageExist(REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo);
/* Pulls the container's image when its pull policy asks for it; *pulled
 * tells whether it did. */
STATUS ozkImagePull(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_container_t *containerItem, REGISTRY_CTX *registryCtx,
                    IMAGE_INFO *imageInfo, BOOL *pulled);
/* Unpacks the layout into a fresh bundle, creates and starts the container;
 * what a failing step leaves is removed. A layout just pulled by an image
 * manager that does not annotate its entries is taken as it is. */
STATUS ozkContainerStart(REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo, char *imageId,
                         CONTAINER_INFO_LOCAL *containerLocal, BOOL pulled);
STATUS ozkContainerStatusImageGet(REGISTRY_CTX *registryCtx, const char *imageId, CONTAINER_INFO_LOCAL *containerLocal);
STATUS ozkCachedContainerUpdate(OZK_POD_MANAGER_CTRL *podManagerCtrl, CONTAINER_INFO_LOCAL *containerLocal);
/* The start of a container with the process its pod spec asks for:
 * ozkContainerStart with the spec written into the bundle between the
 * unpack and the create. A process that cannot be made fills message
 * (messageSize bytes) with what is wrong. */
typedef struct ozkProcessSpec OZK_PROCESS_SPEC;
STATUS ozkContainerSpecStart(REGISTRY_CTX *registryCtx, IMAGE_INFO *imageInfo, char *imageId,
                             CONTAINER_INFO_LOCAL *containerLocal, BOOL pulled, const OZK_PROCESS_SPEC *spec,
                             char *message, size_t messageSize);

/* ---- Restarts ----------------------------------------------------------------- */
/* The wait in seconds before a start after `steps` exits in a row. */
uint32_t ozkBackOffSecondsGet(uint32_t steps);
/* One look at the cached containers whose pod's policy restarts them, in the
 * pod manager task: an exit just noticed is recorded (last state, back-off)
 * and a container whose back-off is over is marked due; a RESTART event is
 * posted for each pod concerned. Returns the ticks until the next look is
 * needed, or WAIT_FOREVER when no container is watched. */
int ozkContainerRestartScan(OZK_POD_MANAGER_CTRL *podManagerCtrl);
/* The RESTART event of a pod, in its worker: starts the containers that
 * are due again, and patches the pod's status (a container still waiting
 * out its back-off is reported waiting with reason "CrashLoopBackOff"). */
STATUS ozkPodRestartHandle(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
/* The phase of a container status list under a pod's restart policy (null
 * counts as "Always"): containers that wait to be restarted count as
 * ended; with "Always", and with "OnFailure" after a failure, a pod whose
 * containers all ended is still "Running". */
const char *ozkPodPhaseOfPolicyGet(list_t *containerStatusList, const char *restartPolicy);

/* How the process of a stopped container ended (0..255, 128 + signal). */
STATUS ozkContainerExitCodeGet(const char *containerId, int *exitCode);

/* ---- Pod status ------------------------------------------------------------- */
STATUS ozkPodStatusSync(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem);
/* Appends one container status in the state "Running", "Waiting" or
 * "Terminated". */
STATUS ozkGenerateContainerStatus(list_t *containerStatusList, const char *status, v1_container_t *containerItem,
                                  CONTAINER_INFO_LOCAL *containerLocalTmp, const char *waitingReason);
/* Builds the pod status from the list (which it takes over) and patches it;
 * *plegRspCode (may be null) gets the HTTP status of the patch. */
STATUS ozkPlegUpdate(OZK_POD_MANAGER_CTRL *podManagerCtrl, v1_pod_t *podItem, list_t *containerStatusList,
                     uint32_t *plegRspCode);
void ozkContainerStatusListFree(list_t *containerStatusList);
void ozkPodConditionListFree(list_t *conditionList);
/* "Pending", "Running", "Succeeded" or "Failed" for a container status list. */
const char *ozkPodPhaseGet(list_t *containerStatusList);
/* The pod status of a list (null on failure; the list stays the caller's). */
v1_pod_status_t *ozkPatchPodStatusGenerate(OZK_POD_MANAGER_CTRL *podManagerCtrl, list_t *containerStatusList,
                                           const char *phase);
/* Reported state of a container in the pod's status: "Running", "Waiting",
 * "Terminated" or "unknown". */
const char *ozkContainerCachedStateGet(v1_pod_t *podItem, const char *containerName);

#ifdef __cplusplus
}
#endif

#endif /* OZK_CONTAINER_H */
