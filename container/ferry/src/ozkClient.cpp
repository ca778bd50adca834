/*
 * ozkClient.cpp - the node agent's road to the Kubernetes API server.
 *
 * Setup builds the TLS configuration once; every request then creates its
 * own library API client, runs one operation through the retry engine and
 * frees the client. The pod watch makes one long request without retry and
 * turns the streamed body into a list of watch events.
 */
#define OZK_LOG_UNIT "ozkClient"
#include "ozkLib.h"

#include "CoordinationV1API.h"
#include "CoreV1API.h"

#include <cstdlib>
#include <cstring>

/* ------------------------------------------------------------------------
 * Setup and API clients
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkClientSetup(OZK_CTRL *kubeCtrl)
{
    if (kubeCtrl == nullptr) {
        return ERROR;
    }
    OZK_CLIENT_CTRL *clientCtrl = &kubeCtrl->clientCtrl;
    OZK_CONF *conf = &kubeCtrl->ozkCnf;

    clientCtrl->isSetGlobalEnv = FALSE;
    clientCtrl->kubeConf = conf;
    apiClient_setupGlobalEnv();
    clientCtrl->isSetGlobalEnv = TRUE;

    sslConfig_t *sslConf = sslConfig_create(conf->certPath, conf->keyPath, conf->caPath, 0);
    if (sslConf == nullptr) {
        OZK_ERR("sslConfig_create failed!");
        ozkClientDestroy(clientCtrl);
        return ERROR;
    }
    clientCtrl->sslConf = sslConf;
    OZK_DEBUG("SSL Configuration is created");
    OZK_DEBUG("apiClient is ready");
    return OK;
}

extern "C" void ozkClientDestroy(OZK_CLIENT_CTRL *clientCtrl)
{
    if (clientCtrl == nullptr) {
        return;
    }
    if (clientCtrl->sslConf != nullptr) {
        sslConfig_free(clientCtrl->sslConf);
        clientCtrl->sslConf = nullptr;
    }
    if (clientCtrl->isSetGlobalEnv) {
        apiClient_unsetupGlobalEnv();
        clientCtrl->isSetGlobalEnv = FALSE;
    }
    OZK_DEBUG("apiClient has been destroyed");
}

extern "C" apiClient_t *ozkApiClientCreate(OZK_CLIENT_CTRL *clientCtrl)
{
    if (clientCtrl == nullptr || clientCtrl->kubeConf == nullptr) {
        return nullptr;
    }
    return apiClient_create_with_base_path(clientCtrl->kubeConf->serverURL, clientCtrl->sslConf,
                                           nullptr);
}

extern "C" void ozkApiClientDestroy(apiClient_t *client)
{
    apiClient_free(client);
}

/* ------------------------------------------------------------------------
 * Response codes and the retry engine
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkHttpRspCodeCheck(long rspCode, const char **errInfo, BOOL *ozkErrFatal)
{
    const char *text = nullptr;
    BOOL fatal = TRUE;
    STATUS status = ERROR;

    switch (rspCode) {
    case 0: /* no HTTP answer: connection or TLS failure */
        text = "SSL connection failed";
        fatal = FALSE;
        break;
    case 401:
        text = "HTTP Error: Unauthorized!";
        break;
    case 429:
        text = "HTTP Error: too many request!";
        fatal = FALSE;
        break;
    case 500:
        text = "HTTP Error: internal server error!";
        fatal = FALSE;
        break;
    case 503:
        text = "HTTP Error: service available!";
        fatal = FALSE;
        break;
    case 504:
        text = "HTTP Error: service timeout!";
        fatal = FALSE;
        break;
    default:
        OZK_DEBUG("HTTP: rsp code :%d!", static_cast<int>(rspCode));
        if (rspCode >= 400 && rspCode <= 599) {
            text = "HTTP ERROR: errorRspCode";
        } else {
            status = OK;
        }
        break;
    }
    if (rspCode >= 400 && rspCode <= 599) {
        OZK_WARN("http error rspcode:%d", static_cast<int>(rspCode));
    }
    if (ozkErrFatal != nullptr) {
        *ozkErrFatal = fatal;
    }
    if (errInfo != nullptr && status != OK) {
        *errInfo = text;
    }
    return status;
}

extern "C" STATUS ozkHttpWithRetry(OZK_CLIENT_CTRL *clientCtrl, OZK_HTTP_FUNC_HANDLE *funcHandle,
                                   intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                                   uint32_t *ozkRspCode, intptr_t *ozkRspObject)
{
    apiClient_t *client = ozkApiClientCreate(clientCtrl);
    if (client == nullptr) {
        OZK_ERR("ozkHttpWithRetry create api client fail!");
        return ERROR;
    }

    int retryCnt = OZK_HTTP_RETRY_MAX;
    uint32_t retryTime = OZK_HTTP_RETRY_FIRST_WAIT;
    STATUS result = OK;

    while (retryCnt > 0) {
        client->response_code = 0;
        result = funcHandle->ozkHttpFunc(client, ozkParam1, ozkParam2, ozkParam3, ozkRspObject);
        if (result != OK) {
            /* the request function refused its parameters and sent nothing:
             * trying again cannot change that */
            break;
        }
        const char *errInfo = "";
        BOOL fatal = TRUE;
        if (ozkHttpRspCodeCheck(client->response_code, &errInfo, &fatal) == OK) {
            break;
        }
        if (client->response_code == 404) {
            OZK_WARN("http request fail, funcName:%s, err: %s,retrycnt:%d!", funcHandle->ozkFuncName,
                     errInfo, retryCnt);
        } else {
            OZK_ERR("http request fail, funcName:%s, err: %s,retrycnt:%d!", funcHandle->ozkFuncName,
                    errInfo, retryCnt);
        }
        retryCnt--;
        if (fatal || retryCnt == 0) {
            result = ERROR;
            break;
        }
        if (taskDelay(sysClkRateGet() * static_cast<int>(retryTime)) != OK) {
            OZK_ERR("taskDelay fail, retryTime=%u, errno=%d", retryTime, errnoGet());
            result = ERROR;
            break;
        }
        retryTime *= OZK_HTTP_RETRY_FACTOR;
    }

    if (ozkRspCode != nullptr) {
        *ozkRspCode = static_cast<uint32_t>(client->response_code);
    }
    ozkApiClientDestroy(client);
    return result;
}

/* ------------------------------------------------------------------------
 * Request functions: each checks its parameters, makes its one library call
 * and replaces the object a failed earlier attempt left in the slot.
 * ------------------------------------------------------------------------ */
namespace {

template <typename T>
T *ozkParam(intptr_t param)
{
    return reinterpret_cast<T *>(param);
}

/* Put the answer of this attempt in the slot, freeing what an earlier
 * attempt left there. */
template <typename T>
STATUS ozkSlotReplace(intptr_t *slot, void (*freeFn)(T *), T *object)
{
    freeFn(reinterpret_cast<T *>(*slot));
    *slot = reinterpret_cast<intptr_t>(object);
    return OK;
}

} // namespace

extern "C" STATUS ozkHttpNodeRead(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t, intptr_t,
                                  intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0) {
        OZK_ERR("invalid param for ozkHttpNodeRead!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_node_free,
                          CoreV1API_readNode(apiClient, ozkParam<char>(ozkParam1), nullptr));
}

extern "C" STATUS ozkHttpNodeCreate(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t, intptr_t,
                                    intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0) {
        OZK_ERR("invalid param for ozkHttpNodeCreate!");
        return ERROR;
    }
    return ozkSlotReplace(
        ozkRspObject, v1_node_free,
        CoreV1API_createNode(apiClient, ozkParam<v1_node_t>(ozkParam1), nullptr, nullptr, nullptr, nullptr));
}

extern "C" STATUS ozkHttpNodeStatusPatch(apiClient_t *apiClient, intptr_t ozkParam1,
                                         intptr_t ozkParam2, intptr_t, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpNodeStatusPatch!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_node_free,
                          CoreV1API_patchNodeStatus(apiClient, ozkParam<char>(ozkParam1),
                                                    ozkParam<object_t>(ozkParam2), nullptr, nullptr, nullptr,
                                                    nullptr, 0));
}

extern "C" STATUS ozkHttpLeaseCreate(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                     intptr_t, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpLeaseCreate!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_lease_free,
                          CoordinationV1API_createNamespacedLease(apiClient, ozkParam<char>(ozkParam1),
                                                                  ozkParam<v1_lease_t>(ozkParam2), nullptr,
                                                                  nullptr, nullptr, nullptr));
}

extern "C" STATUS ozkHttpLeasePatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                    intptr_t ozkParam3, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0 || ozkParam3 == 0) {
        OZK_ERR("invalid param for ozkHttpLeasePatch!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_lease_free,
                          CoordinationV1API_patchNamespacedLease(
                              apiClient, ozkParam<char>(ozkParam2), ozkParam<char>(ozkParam1),
                              ozkParam<object_t>(ozkParam3), nullptr, nullptr, nullptr, nullptr, 0));
}

extern "C" STATUS ozkHttpLeaseGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                  intptr_t, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpLeaseGet!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_lease_free,
                          CoordinationV1API_readNamespacedLease(apiClient, ozkParam<char>(ozkParam1),
                                                                ozkParam<char>(ozkParam2), nullptr));
}

extern "C" STATUS ozkHttpPodsList(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t, intptr_t,
                                  intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0) {
        OZK_ERR("invalid param for list podlist");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_pod_list_free,
                          CoreV1API_listPodForAllNamespaces(apiClient, 0, nullptr, ozkParam<char>(ozkParam1),
                                                            nullptr, 0, nullptr, nullptr, nullptr, 0, 0));
}

extern "C" STATUS ozkHttpSecretGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                   intptr_t, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_secret_free,
                          CoreV1API_readNamespacedSecret(apiClient, ozkParam<char>(ozkParam2),
                                                         ozkParam<char>(ozkParam1), nullptr));
}

extern "C" STATUS ozkHttpPodStatusPatch(apiClient_t *apiClient, intptr_t ozkParam1,
                                        intptr_t ozkParam2, intptr_t ozkParam3, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0 || ozkParam3 == 0) {
        OZK_ERR("invalid param for ozkHttpPodStatusPatch!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_pod_free,
                          CoreV1API_patchNamespacedPodStatus(
                              apiClient, ozkParam<char>(ozkParam2), ozkParam<char>(ozkParam3),
                              ozkParam<object_t>(ozkParam1), nullptr, nullptr, nullptr, nullptr, 0));
}

extern "C" STATUS ozkHttpPodGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                intptr_t, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpPodGet!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_pod_free,
                          CoreV1API_readNamespacedPod(apiClient, ozkParam<char>(ozkParam1),
                                                      ozkParam<char>(ozkParam2), nullptr));
}

extern "C" STATUS ozkHttpPodDelete(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                   intptr_t, intptr_t *ozkRspObject)
{
    v1_pod_t *pod = ozkParam<v1_pod_t>(ozkParam1);
    /* the pod's name and namespace come from its metadata, which must be there */
    if (pod == nullptr || ozkParam2 == 0 || pod->metadata == nullptr || pod->metadata->name == nullptr ||
        pod->metadata->_namespace == nullptr) {
        OZK_ERR("invalid param for ozkHttpPodDelete!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_pod_free,
                          CoreV1API_deleteNamespacedPod(apiClient, pod->metadata->name,
                                                        pod->metadata->_namespace, nullptr, nullptr, 0, 0,
                                                        nullptr, ozkParam<v1_delete_options_t>(ozkParam2)));
}

/* ------------------------------------------------------------------------
 * Public operations
 * ------------------------------------------------------------------------ */
namespace {

/* Run one operation through the retry engine. The object is handed to the
 * caller only when the request succeeded: what a failed attempt left (an
 * error answer parsed as the requested kind) is freed, so null always means
 * failure. */
template <typename T>
T *ozkRequestRun(OZK_CLIENT_CTRL *clientCtrl, OZK_HTTP_FUNC func, const char *funcName,
                 void (*freeFn)(T *), intptr_t p1, intptr_t p2, intptr_t p3,
                 uint32_t *rspCode = nullptr, STATUS *status = nullptr)
{
    OZK_HTTP_FUNC_HANDLE handle {};
    handle.ozkHttpFunc = func;
    (void)strncpy_s(handle.ozkFuncName, sizeof(handle.ozkFuncName), funcName, strlen(funcName));
    intptr_t object = 0;
    STATUS result = ozkHttpWithRetry(clientCtrl, &handle, p1, p2, p3, rspCode, &object);
    if (status != nullptr) {
        *status = result;
    }
    T *record = reinterpret_cast<T *>(object);
    if (result != OK) {
        freeFn(record);
        return nullptr;
    }
    return record;
}

intptr_t ozkArg(const void *pointer)
{
    return reinterpret_cast<intptr_t>(pointer);
}

} // namespace

extern "C" v1_node_t *ozkClientNodeRead(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName)
{
    if (clientCtrl == nullptr || nodeName == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpNodeRead, __func__, v1_node_free, ozkArg(nodeName), 0, 0);
}

extern "C" v1_node_t *ozkClientNodeCreate(OZK_CLIENT_CTRL *clientCtrl, v1_node_t *nodeInfo)
{
    if (clientCtrl == nullptr || nodeInfo == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpNodeCreate, __func__, v1_node_free, ozkArg(nodeInfo), 0, 0);
}

extern "C" v1_node_t *ozkClientNodeStatusPatch(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName,
                                               object_t *body)
{
    if (clientCtrl == nullptr || nodeName == nullptr || body == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpNodeStatusPatch, __func__, v1_node_free, ozkArg(nodeName),
                         ozkArg(body), 0);
}

extern "C" v1_lease_t *ozkClientLeaseCreate(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease,
                                            v1_lease_t *leaseItem)
{
    if (clientCtrl == nullptr || namespaceLease == nullptr || leaseItem == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpLeaseCreate, __func__, v1_lease_free, ozkArg(namespaceLease),
                         ozkArg(leaseItem), 0);
}

extern "C" v1_lease_t *ozkClientLeasePatch(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease,
                                           const char *nodeName, object_t *leaseObject)
{
    if (clientCtrl == nullptr || namespaceLease == nullptr || nodeName == nullptr || leaseObject == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpLeasePatch, __func__, v1_lease_free, ozkArg(namespaceLease),
                         ozkArg(nodeName), ozkArg(leaseObject));
}

extern "C" STATUS ozkClientLeaseGet(OZK_CLIENT_CTRL *clientCtrl, const char *nodeNameLease,
                                    const char *nameSpaceLease)
{
    if (clientCtrl == nullptr || nodeNameLease == nullptr || nameSpaceLease == nullptr) {
        return ERROR;
    }
    v1_lease_t *lease = ozkRequestRun(clientCtrl, ozkHttpLeaseGet, __func__, v1_lease_free,
                                      ozkArg(nodeNameLease), ozkArg(nameSpaceLease), 0);
    STATUS status = ERROR;
    if (lease != nullptr && lease->metadata != nullptr && lease->metadata->uid != nullptr &&
        lease->metadata->uid[0] != '\0') {
        status = OK;
    }
    v1_lease_free(lease);
    return status;
}

extern "C" v1_pod_list_t *ozkClientPodsList(OZK_CLIENT_CTRL *clientCtrl, const char *fieldSelect)
{
    if (clientCtrl == nullptr || fieldSelect == nullptr) {
        OZK_ERR("invalid param for ozkClientPodsList!");
        return nullptr;
    }
    STATUS status = OK;
    v1_pod_list_t *list = ozkRequestRun(clientCtrl, ozkHttpPodsList, __func__, v1_pod_list_free,
                                        ozkArg(fieldSelect), 0, 0, nullptr, &status);
    if (status != OK) {
        OZK_ERR("ozk client pod list fail!");
    }
    return list;
}

extern "C" v1_secret_t *ozkClientSecretGet(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace,
                                           const char *ozName)
{
    if (clientCtrl == nullptr || ozkNamespace == nullptr || ozName == nullptr) {
        OZK_ERR("invalid param for ozkClientSecretGet!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpSecretGet, __func__, v1_secret_free, ozkArg(ozkNamespace),
                         ozkArg(ozName), 0);
}

extern "C" v1_pod_t *ozkClientPodStatusPatch(OZK_CLIENT_CTRL *clientCtrl, object_t *podObject,
                                             const char *podName, const char *podNameSpace,
                                             uint32_t *plegRspCode)
{
    if (clientCtrl == nullptr || podObject == nullptr || podName == nullptr || podNameSpace == nullptr) {
        OZK_ERR("ozkClientPodStatusPatch invalid param!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpPodStatusPatch, __func__, v1_pod_free, ozkArg(podObject),
                         ozkArg(podName), ozkArg(podNameSpace), plegRspCode);
}

extern "C" v1_pod_t *ozkClientPodRead(OZK_CLIENT_CTRL *clientCtrl, const char *podName,
                                      const char *podNameSpace)
{
    if (clientCtrl == nullptr || podName == nullptr || podNameSpace == nullptr) {
        OZK_ERR("ferry ozkClientPodRead invalid param!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpPodGet, __func__, v1_pod_free, ozkArg(podName),
                         ozkArg(podNameSpace), 0);
}

extern "C" v1_pod_t *ozkClientPodDelete(OZK_CLIENT_CTRL *clientCtrl, v1_pod_t *podItem,
                                        v1_delete_options_t *deleteOption, uint32_t *deleteRspCode)
{
    if (clientCtrl == nullptr || podItem == nullptr || deleteOption == nullptr) {
        OZK_ERR("ozkClientPodDelete invalid param!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpPodDelete, __func__, v1_pod_free, ozkArg(podItem),
                         ozkArg(deleteOption), 0, deleteRspCode);
}

/* ------------------------------------------------------------------------
 * Pod watch
 * ------------------------------------------------------------------------ */
extern "C" STATUS ozkParseWatchInfoFromJson(cJSON *json, POD_WATCH_INFO *watchInfo)
{
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(json, "type");
    if (!cJSON_IsString(type) || type->valuestring == nullptr) {
        return ERROR;
    }
    cJSON *object = cJSON_GetObjectItemCaseSensitive(json, "object");
    if (object == nullptr) {
        OZK_ERR("watch rsp without object!");
        return ERROR;
    }
    const cJSON *kind = cJSON_GetObjectItemCaseSensitive(object, "kind");
    v1_pod_t *pod = nullptr;
    v1_status_t *status = nullptr;
    if (cJSON_IsString(kind) && kind->valuestring != nullptr && strcmp(kind->valuestring, "Pod") == 0) {
        pod = v1_pod_parseFromJSON(object);
    } else if (cJSON_IsString(kind) && kind->valuestring != nullptr &&
               strcmp(kind->valuestring, "Status") == 0) {
        status = v1_status_parseFromJSON(object);
    } else {
        OZK_ERR("watch object with out kind!");
        return ERROR;
    }
    if (pod == nullptr) {
        OZK_WARN("parse watch rsp info without pod!");
        if (status != nullptr) {
            watchInfo->statusCode = static_cast<uint32_t>(status->code);
            v1_status_free(status);
        }
    }
    watchInfo->pod = pod;
    /* a type too long for the field leaves it empty */
    (void)strncpy_s(watchInfo->eventType, sizeof(watchInfo->eventType), type->valuestring,
                    strlen(type->valuestring));
    return OK;
}

extern "C" SL_LIST *ozkParsePodWatchRspFromWatchReq(apiClient_t *apiClient)
{
    auto *list = static_cast<SL_LIST *>(calloc(1, sizeof(SL_LIST)));
    if (list == nullptr) {
        OZK_ERR("create pod watch list fail!");
        ozkForceShutDown();
    }
    const char *body = static_cast<const char *>(apiClient->dataReceived);
    size_t bodyLen = body != nullptr && apiClient->dataReceivedLen > 0
                         ? static_cast<size_t>(apiClient->dataReceivedLen) : 0;
    const char *bodyEnd = body + bodyLen;
    const char *lineStart = body;

    cJSON *json = bodyLen > 0 ? cJSON_ParseWithLengthOpts(lineStart, bodyLen, nullptr, 0) : nullptr;
    while (json != nullptr) {
        POD_WATCH_INFO info {};
        STATUS status = ozkParseWatchInfoFromJson(json, &info);
        cJSON_Delete(json);
        json = nullptr;
        if (status != OK) {
            OZK_ERR("parse watch info fail!");
            break;
        }
        auto *entry = static_cast<CACHE_WATCH_INFO_ENTRY *>(calloc(1, sizeof(CACHE_WATCH_INFO_ENTRY)));
        if (entry == nullptr) {
            OZK_ERR("calloc cache entry for pod watch rsp fail!");
            v1_pod_free(info.pod);
            ozkForceShutDown();
        }
        entry->watchInfoItem = info;
        sllPutAtTail(list, &entry->cacheNode);

        /* the next line starts after the next newline and must open an object */
        const char *from = lineStart + 1;
        const char *newline = from < bodyEnd
            ? static_cast<const char *>(memchr(from, '\n', static_cast<size_t>(bodyEnd - from))) : nullptr;
        if (newline == nullptr || newline + 1 >= bodyEnd || newline[1] != '{') {
            break;
        }
        lineStart = newline + 1;
        json = cJSON_ParseWithLengthOpts(lineStart, static_cast<size_t>(bodyEnd - lineStart), nullptr, 0);
    }

    free(apiClient->dataReceived);
    apiClient->dataReceived = nullptr;
    apiClient->dataReceivedLen = 0;
    return list;
}

extern "C" void ozkPodWatchListFree(SL_LIST *list)
{
    if (list == nullptr) {
        return;
    }
    while (SL_NODE *node = sllGet(list)) {
        auto *entry = reinterpret_cast<CACHE_WATCH_INFO_ENTRY *>(node);
        v1_pod_free(entry->watchInfoItem.pod);
        free(entry);
    }
    free(list);
}

extern "C" SL_LIST *ozkClientPodsWatch(OZK_CLIENT_CTRL *clientCtrl, const char *resoureVersion,
                                       const char *fieldSelect, uint32_t watchTs)
{
    if (clientCtrl == nullptr || resoureVersion == nullptr || fieldSelect == nullptr) {
        OZK_ERR("ozkClientPodsWatch invalid param!");
        return nullptr;
    }
    apiClient_t *client = ozkApiClientCreate(clientCtrl);
    if (client == nullptr) {
        OZK_ERR("ozkClientPodsWatch create api client fail!");
        return nullptr;
    }
    client->response_code = 0;
    v1_pod_list_t *unused = CoreV1API_listPodForAllNamespaces(
        client, 1, nullptr, const_cast<char *>(fieldSelect), nullptr, 0, nullptr,
        const_cast<char *>(resoureVersion), nullptr, static_cast<int>(watchTs), 1);
    const char *errInfo = "";
    if (ozkHttpRspCodeCheck(client->response_code, &errInfo, nullptr) != OK) {
        OZK_ERR("ozkClientPodsWatch err:%s!", errInfo);
    }
    v1_pod_list_free(unused);
    SL_LIST *events = ozkParsePodWatchRspFromWatchReq(client);
    ozkApiClientDestroy(client);
    return events;
}
