/*
 * ozkClient.cpp - the node agent's road to the Kubernetes API server.
 *
 * Setup builds the TLS configuration once; every request then creates its
 * own library API client, runs one operation through the retry engine and
 * frees the client. The pod watch makes one long request without retry and
 * turns the streamed body into a list of watch events.
 *
 * Every API client asks the client record, while its request runs, whether
 * to go on: after the stop of the node agent (and in a task that is being
 * deleted) requests are aborted and retry waits end, so that the agent ends
 * in time whatever the API server does.
 */
#define OZK_LOG_UNIT "ozkClient"
#include "ozkClient.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkText.h"
#include "ozOwners.h"

#include "CoordinationV1API.h"
#include "CoreV1API.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

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

    clientCtrl->semStop = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (clientCtrl->semStop == nullptr) {
        OZK_ERR("failed to create the client stop semaphore! errno=%d", errnoGet());
        ozkClientDestroy(clientCtrl);
        return ERROR;
    }

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
    if (clientCtrl->semStop != nullptr) {
        (void)semDelete(clientCtrl->semStop);
        clientCtrl->semStop = nullptr;
    }
    OZK_DEBUG("apiClient has been destroyed");
}

/* ------------------------------------------------------------------------
 * TLS material
 * ------------------------------------------------------------------------ */
namespace {

using oz::FilePtr;
using X509Ptr = oz::Owner<X509, X509_free>;
using KeyPtr = oz::Owner<EVP_PKEY, EVP_PKEY_free>;
using StorePtr = oz::Owner<X509_STORE, X509_STORE_free>;

/* The reason OpenSSL gives for the last failure (its queue is emptied). */
std::string ozkTlsReason(const char *fallback)
{
    unsigned long err = ERR_peek_last_error();
    const char *reason = err != 0 ? ERR_reason_error_string(err) : nullptr;
    std::string text = reason != nullptr ? reason : fallback;
    ERR_clear_error();
    return text;
}

/* A key that is protected by a passphrase is refused: there is nobody to ask. */
int ozkTlsNoPassphrase(char *, int, int, void *)
{
    return -1;
}

std::string ozkAsn1TimeText(const ASN1_TIME *t)
{
    struct tm tm {};
    char text[32] = "?";
    if (t != nullptr && ASN1_TIME_to_tm(t, &tm) == 1) {
        (void)strftime(text, sizeof(text), "%FT%TZ", &tm);
    }
    return text;
}

/* Opens a TLS file; an ERROR naming it and the reason when it cannot. */
FilePtr ozkTlsFileOpen(const char *what, const char *path)
{
    FilePtr file(fopen(path, "r"));
    if (!file) {
        OZK_ERR("%s %s cannot be read: %s", what, path, strerror(errno));
    }
    return file;
}

STATUS ozkTlsCaCheck(const char *path)
{
    const char *what = "server CA certificate file";
    FilePtr file = ozkTlsFileOpen(what, path);
    if (!file) {
        return ERROR;
    }
    StorePtr store(X509_STORE_new());
    int certs = 0;
    while (X509Ptr cert{PEM_read_X509(file.get(), nullptr, ozkTlsNoPassphrase, nullptr)}) {
        if (!store || X509_STORE_add_cert(store.get(), cert.get()) != 1) {
            OZK_ERR("%s %s cannot be loaded: %s", what, path, ozkTlsReason("out of memory").c_str());
            return ERROR;
        }
        certs++;
    }
    ERR_clear_error(); /* the end of the file reads as a failure */
    if (certs == 0) {
        OZK_ERR("%s %s holds no PEM certificate", what, path);
        return ERROR;
    }
    return OK;
}

} // namespace

extern "C" STATUS ozkClientTlsFilesCheck(const OZK_CONF *conf)
{
    if (conf == nullptr || conf->caPath == nullptr || conf->certPath == nullptr || conf->keyPath == nullptr) {
        return ERROR;
    }
    if (ozkTlsCaCheck(conf->caPath) != OK) {
        return ERROR;
    }
    const char *certWhat = "client certificate file";
    FilePtr certFile = ozkTlsFileOpen(certWhat, conf->certPath);
    if (!certFile) {
        return ERROR;
    }
    X509Ptr cert(PEM_read_X509(certFile.get(), nullptr, ozkTlsNoPassphrase, nullptr));
    if (!cert) {
        OZK_ERR("%s %s holds no PEM certificate: %s", certWhat, conf->certPath, ozkTlsReason("no certificate").c_str());
        return ERROR;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(cert.get())) > 0) {
        OZK_ERR("%s %s is not valid before %s", certWhat, conf->certPath,
                ozkAsn1TimeText(X509_get0_notBefore(cert.get())).c_str());
        return ERROR;
    }
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) < 0) {
        OZK_ERR("%s %s expired at %s", certWhat, conf->certPath,
                ozkAsn1TimeText(X509_get0_notAfter(cert.get())).c_str());
        return ERROR;
    }
    const char *keyWhat = "client key file";
    FilePtr keyFile = ozkTlsFileOpen(keyWhat, conf->keyPath);
    if (!keyFile) {
        return ERROR;
    }
    KeyPtr key(PEM_read_PrivateKey(keyFile.get(), nullptr, ozkTlsNoPassphrase, nullptr));
    if (!key) {
        OZK_ERR("%s %s holds no usable PEM private key: %s", keyWhat, conf->keyPath, ozkTlsReason("no key").c_str());
        return ERROR;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        OZK_ERR("%s %s does not match the client certificate %s", keyWhat, conf->keyPath, conf->certPath);
        return ERROR;
    }
    return OK;
}

/* ------------------------------------------------------------------------
 * Stop
 * ------------------------------------------------------------------------ */
extern "C" void ozkClientStop(OZK_CLIENT_CTRL *clientCtrl)
{
    if (clientCtrl == nullptr || __atomic_exchange_n(&clientCtrl->stopped, 1, __ATOMIC_SEQ_CST) != 0) {
        return;
    }
    if (clientCtrl->semStop != nullptr) {
        (void)semGive(clientCtrl->semStop);
    }
}

extern "C" BOOL ozkClientStopped(const OZK_CLIENT_CTRL *clientCtrl)
{
    return clientCtrl != nullptr && __atomic_load_n(&clientCtrl->stopped, __ATOMIC_SEQ_CST) != 0;
}

extern "C" void ozkClientTeardownBegin(OZK_CLIENT_CTRL *clientCtrl)
{
    if (clientCtrl == nullptr) {
        return;
    }
    /* The window is real time: a clock sped up for tests runs its ticks
     * faster, and the clean-up's requests do not. */
    uint64_t end = tickGet() + static_cast<uint64_t>(sysClkRateGet()) * OZK_CLIENT_TEARDOWN_TIME * ozClockSpeedupGet();
    __atomic_store_n(&clientCtrl->teardownEnd, end, __ATOMIC_SEQ_CST);
    __atomic_store_n(&clientCtrl->teardownTask, taskIdSelf(), __ATOMIC_SEQ_CST);
}

extern "C" BOOL ozkClientRequestAborted(OZK_CLIENT_CTRL *clientCtrl)
{
    if (taskDeletePending()) {
        return TRUE;
    }
    if (!ozkClientStopped(clientCtrl)) {
        return FALSE;
    }
    if (__atomic_load_n(&clientCtrl->teardownTask, __ATOMIC_SEQ_CST) == taskIdSelf() &&
        tickGet() < __atomic_load_n(&clientCtrl->teardownEnd, __ATOMIC_SEQ_CST)) {
        return FALSE;
    }
    return TRUE;
}

namespace {

/* The API client's question, asked while its request runs. */
int ozkClientProgress(void *data, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return ozkClientRequestAborted(static_cast<OZK_CLIENT_CTRL *>(data)) ? 1 : 0;
}

} // namespace

extern "C" apiClient_t *ozkApiClientCreate(OZK_CLIENT_CTRL *clientCtrl)
{
    if (clientCtrl == nullptr || clientCtrl->kubeConf == nullptr) {
        return nullptr;
    }
    apiClient_t *client =
        apiClient_create_with_base_path(clientCtrl->kubeConf->serverURL, clientCtrl->sslConf, nullptr);
    if (client != nullptr) {
        client->progress_func = ozkClientProgress;
        client->progress_data = clientCtrl;
    }
    return client;
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

namespace {

/* Transfer failures that depend on this side's TLS material or on the
 * server's identity: trying again cannot change them. */
bool ozkTlsTrustFailure(CURLcode code)
{
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return true;
    default:
        return false;
    }
}

/* Longest piece of a server's text that goes into a log line. */
constexpr size_t kDetailMax = 300;

/* Text from the server or the transfer library, fit for one log line:
 * control characters become blanks, and it is cut at kDetailMax. */
std::string ozkLogText(const char *text)
{
    std::string out;
    for (const char *c = text; c != nullptr && *c != '\0' && out.size() < kDetailMax; c++) {
        out += static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f ? ' ' : *c;
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

/* What went wrong with a failed attempt beyond its code: the transfer
 * error for an attempt without an answer, the message of the Status that
 * the server sent with an HTTP error. Empty when there is nothing more. */
std::string ozkHttpFailureDetail(const apiClient_t *client)
{
    if (client->response_code == 0) {
        return ozkLogText(client->curl_error);
    }
    if (client->dataReceived == nullptr || client->dataReceivedLen <= 0) {
        return {};
    }
    oz::JsonPtr body(cJSON_ParseWithLength(static_cast<const char *>(client->dataReceived),
                                           static_cast<size_t>(client->dataReceivedLen)));
    const cJSON *message = cJSON_GetObjectItemCaseSensitive(body.get(), "message");
    return cJSON_IsString(message) ? ozkLogText(message->valuestring) : std::string();
}

/* The error text of a failed attempt followed by its detail, if any. */
std::string ozkHttpFailureText(const char *errInfo, const apiClient_t *client)
{
    std::string text = errInfo;
    if (std::string detail = ozkHttpFailureDetail(client); !detail.empty()) {
        text += " (" + detail + ")";
    }
    return text;
}

enum class RetryWait { Waited, Stopped, Failed };

/* The wait before the next attempt, ended early by the stop. */
RetryWait ozkHttpRetryWait(OZK_CLIENT_CTRL *clientCtrl, int ticks)
{
    if (clientCtrl->semStop == nullptr) {
        return taskDelay(ticks) == OK ? RetryWait::Waited : RetryWait::Failed;
    }
    if (semTake(clientCtrl->semStop, ticks) == OK) {
        /* the stop stays visible to every other waiter */
        (void)semGive(clientCtrl->semStop);
        return RetryWait::Stopped;
    }
    return errnoGet() == S_objLib_OBJ_TIMEOUT ? RetryWait::Waited : RetryWait::Failed;
}

} // namespace

extern "C" STATUS ozkHttpWithRetry(OZK_CLIENT_CTRL *clientCtrl, OZK_HTTP_FUNC_HANDLE *funcHandle, intptr_t ozkParam1,
                                   intptr_t ozkParam2, intptr_t ozkParam3, uint32_t *ozkRspCode, intptr_t *ozkRspObject)
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
        if (client->curl_code == CURLE_ABORTED_BY_CALLBACK) {
            /* the node agent is stopping (or this task is being deleted) */
            OZK_DEBUG("http request aborted, funcName:%s", funcHandle->ozkFuncName);
            result = ERROR;
            break;
        }
        const char *errInfo = "";
        BOOL fatal = TRUE;
        if (ozkHttpRspCodeCheck(client->response_code, &errInfo, &fatal) == OK) {
            break;
        }
        std::string err = ozkHttpFailureText(errInfo, client);
        if (client->response_code == 404) {
            OZK_WARN("http request fail, funcName:%s, err: %s,retrycnt:%d!", funcHandle->ozkFuncName, err.c_str(),
                     retryCnt);
        } else {
            OZK_ERR("http request fail, funcName:%s, err: %s,retrycnt:%d!", funcHandle->ozkFuncName, err.c_str(),
                    retryCnt);
        }
        retryCnt--;
        if (fatal || retryCnt == 0 || (client->response_code == 0 && ozkTlsTrustFailure(client->curl_code))) {
            result = ERROR;
            break;
        }
        RetryWait waited = ozkHttpRetryWait(clientCtrl, sysClkRateGet() * static_cast<int>(retryTime));
        if (waited == RetryWait::Stopped) {
            OZK_DEBUG("http request not retried, funcName:%s: the node agent is stopping", funcHandle->ozkFuncName);
            result = ERROR;
            break;
        }
        if (waited == RetryWait::Failed) {
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

extern "C" STATUS ozkHttpNodeStatusPatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                         intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpNodeStatusPatch!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_node_free,
                          CoreV1API_patchNodeStatus(apiClient, ozkParam<char>(ozkParam1), ozkParam<object_t>(ozkParam2),
                                                    nullptr, nullptr, nullptr, nullptr, 0));
}

extern "C" STATUS ozkHttpLeaseCreate(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                     intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpLeaseCreate!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_lease_free,
                          CoordinationV1API_createNamespacedLease(apiClient, ozkParam<char>(ozkParam1),
                                                                  ozkParam<v1_lease_t>(ozkParam2), nullptr, nullptr,
                                                                  nullptr, nullptr));
}

extern "C" STATUS ozkHttpLeasePatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t ozkParam3,
                                    intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0 || ozkParam3 == 0) {
        OZK_ERR("invalid param for ozkHttpLeasePatch!");
        return ERROR;
    }
    return ozkSlotReplace(
        ozkRspObject, v1_lease_free,
        CoordinationV1API_patchNamespacedLease(apiClient, ozkParam<char>(ozkParam2), ozkParam<char>(ozkParam1),
                                               ozkParam<object_t>(ozkParam3), nullptr, nullptr, nullptr, nullptr, 0));
}

extern "C" STATUS ozkHttpLeaseGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                  intptr_t *ozkRspObject)
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
                          CoreV1API_listPodForAllNamespaces(apiClient, 0, nullptr, ozkParam<char>(ozkParam1), nullptr,
                                                            0, nullptr, nullptr, nullptr, 0, 0));
}

extern "C" STATUS ozkHttpSecretGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                   intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        return ERROR;
    }
    return ozkSlotReplace(
        ozkRspObject, v1_secret_free,
        CoreV1API_readNamespacedSecret(apiClient, ozkParam<char>(ozkParam2), ozkParam<char>(ozkParam1), nullptr));
}

extern "C" STATUS ozkHttpConfigMapGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                      intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        return ERROR;
    }
    return ozkSlotReplace(
        ozkRspObject, v1_config_map_free,
        CoreV1API_readNamespacedConfigMap(apiClient, ozkParam<char>(ozkParam2), ozkParam<char>(ozkParam1), nullptr));
}

extern "C" STATUS ozkHttpPodStatusPatch(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2,
                                        intptr_t ozkParam3, intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0 || ozkParam3 == 0) {
        OZK_ERR("invalid param for ozkHttpPodStatusPatch!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_pod_free,
                          CoreV1API_patchNamespacedPodStatus(apiClient, ozkParam<char>(ozkParam2),
                                                             ozkParam<char>(ozkParam3), ozkParam<object_t>(ozkParam1),
                                                             nullptr, nullptr, nullptr, nullptr, 0));
}

extern "C" STATUS ozkHttpPodGet(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                intptr_t *ozkRspObject)
{
    if (ozkParam1 == 0 || ozkParam2 == 0) {
        OZK_ERR("invalid param for ozkHttpPodGet!");
        return ERROR;
    }
    return ozkSlotReplace(
        ozkRspObject, v1_pod_free,
        CoreV1API_readNamespacedPod(apiClient, ozkParam<char>(ozkParam1), ozkParam<char>(ozkParam2), nullptr));
}

extern "C" STATUS ozkHttpPodDelete(apiClient_t *apiClient, intptr_t ozkParam1, intptr_t ozkParam2, intptr_t,
                                   intptr_t *ozkRspObject)
{
    v1_pod_t *pod = ozkParam<v1_pod_t>(ozkParam1);
    /* the pod's name and namespace come from its metadata, which must be there */
    if (pod == nullptr || ozkParam2 == 0 || pod->metadata == nullptr || pod->metadata->name == nullptr ||
        pod->metadata->_namespace == nullptr) {
        OZK_ERR("invalid param for ozkHttpPodDelete!");
        return ERROR;
    }
    return ozkSlotReplace(ozkRspObject, v1_pod_free,
                          CoreV1API_deleteNamespacedPod(apiClient, pod->metadata->name, pod->metadata->_namespace,
                                                        nullptr, nullptr, 0, 0, nullptr,
                                                        ozkParam<v1_delete_options_t>(ozkParam2)));
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
T *ozkRequestRun(OZK_CLIENT_CTRL *clientCtrl, OZK_HTTP_FUNC func, const char *funcName, void (*freeFn)(T *),
                 intptr_t p1, intptr_t p2, intptr_t p3, uint32_t *rspCode = nullptr, STATUS *status = nullptr)
{
    OZK_HTTP_FUNC_HANDLE handle{};
    handle.ozkHttpFunc = func;
    (void)ozk::fieldCopy(handle.ozkFuncName, funcName); /* a label for the log only */
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

extern "C" v1_node_t *ozkClientNodeReadRsp(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName, uint32_t *rspCode)
{
    if (clientCtrl == nullptr || nodeName == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpNodeRead, "ozkClientNodeRead", v1_node_free, ozkArg(nodeName), 0, 0,
                         rspCode);
}

extern "C" v1_node_t *ozkClientNodeRead(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName)
{
    return ozkClientNodeReadRsp(clientCtrl, nodeName, nullptr);
}

extern "C" v1_node_t *ozkClientNodeCreateRsp(OZK_CLIENT_CTRL *clientCtrl, v1_node_t *nodeInfo, uint32_t *rspCode)
{
    if (clientCtrl == nullptr || nodeInfo == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpNodeCreate, "ozkClientNodeCreate", v1_node_free, ozkArg(nodeInfo), 0, 0,
                         rspCode);
}

extern "C" v1_node_t *ozkClientNodeCreate(OZK_CLIENT_CTRL *clientCtrl, v1_node_t *nodeInfo)
{
    return ozkClientNodeCreateRsp(clientCtrl, nodeInfo, nullptr);
}

extern "C" v1_node_t *ozkClientNodeStatusPatch(OZK_CLIENT_CTRL *clientCtrl, const char *nodeName, object_t *body)
{
    if (clientCtrl == nullptr || nodeName == nullptr || body == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpNodeStatusPatch, __func__, v1_node_free, ozkArg(nodeName), ozkArg(body), 0);
}

extern "C" v1_lease_t *ozkClientLeaseCreateRsp(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease,
                                               v1_lease_t *leaseItem, uint32_t *rspCode)
{
    if (clientCtrl == nullptr || namespaceLease == nullptr || leaseItem == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpLeaseCreate, "ozkClientLeaseCreate", v1_lease_free, ozkArg(namespaceLease),
                         ozkArg(leaseItem), 0, rspCode);
}

extern "C" v1_lease_t *ozkClientLeaseCreate(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease,
                                            v1_lease_t *leaseItem)
{
    return ozkClientLeaseCreateRsp(clientCtrl, namespaceLease, leaseItem, nullptr);
}

extern "C" v1_lease_t *ozkClientLeasePatchRsp(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease,
                                              const char *nodeName, object_t *leaseObject, uint32_t *rspCode)
{
    if (clientCtrl == nullptr || namespaceLease == nullptr || nodeName == nullptr || leaseObject == nullptr) {
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpLeasePatch, "ozkClientLeasePatch", v1_lease_free, ozkArg(namespaceLease),
                         ozkArg(nodeName), ozkArg(leaseObject), rspCode);
}

extern "C" v1_lease_t *ozkClientLeasePatch(OZK_CLIENT_CTRL *clientCtrl, const char *namespaceLease,
                                           const char *nodeName, object_t *leaseObject)
{
    return ozkClientLeasePatchRsp(clientCtrl, namespaceLease, nodeName, leaseObject, nullptr);
}

extern "C" STATUS ozkClientLeaseGet(OZK_CLIENT_CTRL *clientCtrl, const char *nodeNameLease, const char *nameSpaceLease)
{
    if (clientCtrl == nullptr || nodeNameLease == nullptr || nameSpaceLease == nullptr) {
        return ERROR;
    }
    v1_lease_t *lease = ozkRequestRun(clientCtrl, ozkHttpLeaseGet, __func__, v1_lease_free, ozkArg(nodeNameLease),
                                      ozkArg(nameSpaceLease), 0);
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
    v1_pod_list_t *list = ozkRequestRun(clientCtrl, ozkHttpPodsList, __func__, v1_pod_list_free, ozkArg(fieldSelect), 0,
                                        0, nullptr, &status);
    if (status != OK && !ozkClientStopped(clientCtrl)) {
        OZK_ERR("ozk client pod list fail!");
    }
    return list;
}

extern "C" v1_secret_t *ozkClientSecretGetRsp(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace, const char *ozName,
                                              uint32_t *rspCode)
{
    if (clientCtrl == nullptr || ozkNamespace == nullptr || ozName == nullptr) {
        OZK_ERR("invalid param for ozkClientSecretGetRsp!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpSecretGet, "ozkClientSecretGet", v1_secret_free, ozkArg(ozkNamespace),
                         ozkArg(ozName), 0, rspCode);
}

extern "C" v1_secret_t *ozkClientSecretGet(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace, const char *ozName)
{
    if (clientCtrl == nullptr || ozkNamespace == nullptr || ozName == nullptr) {
        OZK_ERR("invalid param for ozkClientSecretGet!");
        return nullptr;
    }
    return ozkClientSecretGetRsp(clientCtrl, ozkNamespace, ozName, nullptr);
}

extern "C" v1_config_map_t *ozkClientConfigMapGet(OZK_CLIENT_CTRL *clientCtrl, const char *ozkNamespace,
                                                  const char *ozName, uint32_t *rspCode)
{
    if (clientCtrl == nullptr || ozkNamespace == nullptr || ozName == nullptr) {
        OZK_ERR("invalid param for ozkClientConfigMapGet!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpConfigMapGet, __func__, v1_config_map_free, ozkArg(ozkNamespace),
                         ozkArg(ozName), 0, rspCode);
}

extern "C" v1_pod_t *ozkClientPodStatusPatch(OZK_CLIENT_CTRL *clientCtrl, object_t *podObject, const char *podName,
                                             const char *podNameSpace, uint32_t *plegRspCode)
{
    if (clientCtrl == nullptr || podObject == nullptr || podName == nullptr || podNameSpace == nullptr) {
        OZK_ERR("ozkClientPodStatusPatch invalid param!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpPodStatusPatch, __func__, v1_pod_free, ozkArg(podObject), ozkArg(podName),
                         ozkArg(podNameSpace), plegRspCode);
}

extern "C" v1_pod_t *ozkClientPodRead(OZK_CLIENT_CTRL *clientCtrl, const char *podName, const char *podNameSpace)
{
    if (clientCtrl == nullptr || podName == nullptr || podNameSpace == nullptr) {
        OZK_ERR("ferry ozkClientPodRead invalid param!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpPodGet, __func__, v1_pod_free, ozkArg(podName), ozkArg(podNameSpace), 0);
}

extern "C" v1_pod_t *ozkClientPodDelete(OZK_CLIENT_CTRL *clientCtrl, v1_pod_t *podItem,
                                        v1_delete_options_t *deleteOption, uint32_t *deleteRspCode)
{
    if (clientCtrl == nullptr || podItem == nullptr || deleteOption == nullptr) {
        OZK_ERR("ozkClientPodDelete invalid param!");
        return nullptr;
    }
    return ozkRequestRun(clientCtrl, ozkHttpPodDelete, __func__, v1_pod_free, ozkArg(podItem), ozkArg(deleteOption), 0,
                         deleteRspCode);
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
    } else if (cJSON_IsString(kind) && kind->valuestring != nullptr && strcmp(kind->valuestring, "Status") == 0) {
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
    /* a type too long for the field is no type we know: it is left empty */
    (void)ozk::fieldCopy(watchInfo->eventType, type->valuestring);
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
    size_t bodyLen =
        body != nullptr && apiClient->dataReceivedLen > 0 ? static_cast<size_t>(apiClient->dataReceivedLen) : 0;
    const char *bodyEnd = body + bodyLen;
    const char *lineStart = body;

    cJSON *json = bodyLen > 0 ? cJSON_ParseWithLengthOpts(lineStart, bodyLen, nullptr, 0) : nullptr;
    while (json != nullptr) {
        POD_WATCH_INFO info{};
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
                                  ? static_cast<const char *>(memchr(from, '\n', static_cast<size_t>(bodyEnd - from)))
                                  : nullptr;
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

extern "C" SL_LIST *ozkClientPodsWatch(OZK_CLIENT_CTRL *clientCtrl, const char *resoureVersion, const char *fieldSelect,
                                       uint32_t watchTs)
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
    v1_pod_list_t *unused =
        CoreV1API_listPodForAllNamespaces(client, 1, nullptr, const_cast<char *>(fieldSelect), nullptr, 0, nullptr,
                                          const_cast<char *>(resoureVersion), nullptr, static_cast<int>(watchTs), 1);
    const char *errInfo = "";
    if (client->curl_code == CURLE_ABORTED_BY_CALLBACK) {
        OZK_DEBUG("pod watch aborted: the node agent is stopping");
    } else if (ozkHttpRspCodeCheck(client->response_code, &errInfo, nullptr) != OK) {
        OZK_ERR("ozkClientPodsWatch err:%s!", ozkHttpFailureText(errInfo, client).c_str());
    }
    v1_pod_list_free(unused);
    SL_LIST *events = ozkParsePodWatchRspFromWatchReq(client);
    ozkApiClientDestroy(client);
    return events;
}
