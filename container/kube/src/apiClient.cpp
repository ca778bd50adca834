// Connection side of the Kubernetes API client: TLS configuration, client
// records and the HTTPS request layer (libcurl; client certificate and key,
// the server verified against the configured CA alone). Each task keeps its
// own transfer handles, so its connections stay open from one request to the
// next; a request runs in slices so that the caller's progress function can
// abort it promptly.
#include "kubeHttp.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

char *dupOrNull(const char *s)
{
    return s == nullptr ? nullptr : strdup(s);
}

// Received body, grown as the answer arrives; kept NUL-terminated so that
// callers may treat it as text.
struct Body {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool overflow = false;
};

size_t bodyWrite(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    auto *body = static_cast<Body *>(userdata);
    size_t n = size * nmemb;
    if (body->len + n + 1 > body->cap) {
        size_t cap = body->cap ? body->cap : 4096;
        while (cap < body->len + n + 1) {
            cap *= 2;
        }
        auto *grown = static_cast<char *>(realloc(body->data, cap));
        if (grown == nullptr) {
            body->overflow = true;
            return 0; // ends the transfer with a write error
        }
        body->data = grown;
        body->cap = cap;
    }
    memcpy(body->data + body->len, ptr, n);
    body->len += n;
    body->data[body->len] = '\0';
    return n;
}

struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

// Connection set-up time, and the longest a plain request may take.
constexpr long connectTimeoutSeconds = 30;
constexpr long requestTimeoutSeconds = 120;
// Extra time granted to a watch beyond the time-out the server was given.
constexpr long watchGraceSeconds = 30;
// Longest a running request goes without asking the progress function.
constexpr int progressSliceMs = 100;

// The transfer handles of one task. The multi handle holds the task's open
// connections between requests (and its DNS cache); the easy handle keeps the
// TLS session cache. Both go when the task ends, or when the task tears the
// transfer library down.
struct TaskTransfer {
    CURLM *multi = nullptr;
    CURL *easy = nullptr;

    ~TaskTransfer() { release(); }
    bool ready()
    {
        if (multi == nullptr) {
            multi = curl_multi_init();
        }
        if (easy == nullptr) {
            easy = curl_easy_init();
        }
        return multi != nullptr && easy != nullptr;
    }
    void release()
    {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
            easy = nullptr;
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
            multi = nullptr;
        }
    }
};

thread_local TaskTransfer taskTransfer;

// The caller's answer whether to go on, with the transfer's progress.
bool progressAborts(apiClient_t *client, CURL *h)
{
    if (client->progress_func == nullptr) {
        return false;
    }
    curl_off_t dltotal = 0, dlnow = 0, ultotal = 0, ulnow = 0;
    if (h != nullptr) {
        curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &dltotal);
        curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &dlnow);
        curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_UPLOAD_T, &ultotal);
        curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &ulnow);
    }
    return client->progress_func(client->progress_data, dltotal < 0 ? 0 : dltotal, dlnow, ultotal < 0 ? 0 : ultotal,
                                 ulnow) != 0;
}

int transferProgress(void *clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow)
{
    auto *client = static_cast<apiClient_t *>(clientp);
    return client->progress_func(client->progress_data, dltotal, dlnow, ultotal, ulnow);
}

// Runs the transfer set up on the task's easy handle to its end, asking the
// progress function between slices; the transfer's result.
CURLcode runTransfer(apiClient_t *client, CURLM *multi, CURL *h)
{
    if (curl_multi_add_handle(multi, h) != CURLM_OK) {
        return CURLE_OUT_OF_MEMORY;
    }
    CURLcode rc = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            rc = CURLE_OUT_OF_MEMORY;
            break;
        }
        bool done = false;
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
                rc = msg->data.result;
                done = true;
            }
        }
        if (done) {
            break;
        }
        if (progressAborts(client, h)) {
            rc = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, progressSliceMs, nullptr) != CURLM_OK) {
            rc = CURLE_OUT_OF_MEMORY;
            break;
        }
    }
    // an unfinished transfer's connection is closed here, a finished one's
    // stays with the task for the next request
    curl_multi_remove_handle(multi, h);
    return rc;
}

// Records the end of a transfer that brought no whole answer.
void transferFailed(apiClient_t *client, CURLcode rc)
{
    client->curl_code = rc;
    if (client->curl_error[0] == '\0') {
        (void)snprintf(client->curl_error, sizeof(client->curl_error), "%s", curl_easy_strerror(rc));
    }
}

const char *bearerTokenOf(const apiClient_t *client)
{
    listEntry_t *e = nullptr;
    list_ForEach(e, client->apiKeys_BearerToken)
    {
        auto *pair = static_cast<keyValuePair_t *>(e->data);
        if (pair != nullptr && pair->key != nullptr && pair->value != nullptr &&
            strcmp(pair->key, "Authorization") == 0) {
            return static_cast<const char *>(pair->value);
        }
    }
    return nullptr;
}

} // namespace

extern "C" sslConfig_t *sslConfig_create(const char *clientCertFile, const char *clientKeyFile, const char *CACertFile,
                                         int insecureSkipTlsVerify)
{
    auto *conf = static_cast<sslConfig_t *>(calloc(1, sizeof(sslConfig_t)));
    if (conf == nullptr) {
        return nullptr;
    }
    conf->clientCertFile = dupOrNull(clientCertFile);
    conf->clientKeyFile = dupOrNull(clientKeyFile);
    conf->CACertFile = dupOrNull(CACertFile);
    conf->insecureSkipTlsVerify = insecureSkipTlsVerify;
    if ((clientCertFile && !conf->clientCertFile) || (clientKeyFile && !conf->clientKeyFile) ||
        (CACertFile && !conf->CACertFile)) {
        sslConfig_free(conf);
        return kube::failNull(ENOMEM);
    }
    return conf;
}

extern "C" void sslConfig_free(sslConfig_t *sslConfig)
{
    if (sslConfig == nullptr) {
        return;
    }
    free(sslConfig->clientCertFile);
    free(sslConfig->clientKeyFile);
    free(sslConfig->CACertFile);
    free(sslConfig);
}

extern "C" apiClient_t *apiClient_create_with_base_path(const char *basePath, sslConfig_t *sslConfig,
                                                        list_t *apiKeys_BearerToken)
{
    if (basePath == nullptr) {
        return kube::failNull(EINVAL);
    }
    oz::MallocPtr<apiClient_t> client(static_cast<apiClient_t *>(calloc(1, sizeof(apiClient_t))));
    oz::MallocPtr<char> path(strdup(basePath));
    if (!client || !path) {
        return kube::failNull(ENOMEM);
    }
    client->basePath = path.release();
    client->sslConfig = sslConfig;
    client->apiKeys_BearerToken = apiKeys_BearerToken;
    return client.release();
}

extern "C" void apiClient_free(apiClient_t *apiClient)
{
    if (apiClient == nullptr) {
        return;
    }
    free(apiClient->basePath);
    free(apiClient->dataReceived);
    free(apiClient);
}

extern "C" void apiClient_setupGlobalEnv(void)
{
    curl_global_init(CURL_GLOBAL_ALL);
}

extern "C" void apiClient_unsetupGlobalEnv(void)
{
    taskTransfer.release();
    curl_global_cleanup();
}

namespace kube {

void Query::str(const char *name, const char *value)
{
    if (value == nullptr) {
        return;
    }
    text_ += text_.empty() ? '?' : '&';
    text_ += name;
    text_ += '=';
    text_ += escape(value);
}

void Query::num(const char *name, long value)
{
    if (value != 0) {
        str(name, std::to_string(value).c_str());
    }
}

void Query::flag(const char *name, int value)
{
    if (value != 0) {
        str(name, "true");
    }
}

std::string escape(std::string_view raw)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(raw.size());
    for (unsigned char c : raw) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

void refuse(apiClient_t *client)
{
    errno = EINVAL;
    if (client == nullptr) {
        return;
    }
    free(client->dataReceived);
    client->dataReceived = nullptr;
    client->dataReceivedLen = 0;
    client->response_code = 0;
    client->curl_code = CURLE_OK;
    client->curl_error[0] = '\0';
}

std::string patchBodyOf(const object_t *body)
{
    if (body == nullptr || body->temporary == nullptr) {
        return {};
    }
    return static_cast<const char *>(body->temporary);
}

void perform(apiClient_t *client, const Request &req)
{
    refuse(client);
    if (client == nullptr) {
        return;
    }
    errno = 0;
    if (progressAborts(client, nullptr)) {
        // asked to stop before anything was sent
        transferFailed(client, CURLE_ABORTED_BY_CALLBACK);
        errno = ECANCELED;
        return;
    }
    if (!taskTransfer.ready()) {
        transferFailed(client, CURLE_OUT_OF_MEMORY);
        errno = ENOMEM;
        return;
    }
    CURL *h = taskTransfer.easy;
    // options of an earlier request go; its connections and sessions stay
    curl_easy_reset(h);
    std::string url = std::string(client->basePath) + req.path + req.query.text();

    // The list's head stays the same once it exists; the owner frees it.
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    auto header = [&headers](const std::string &line) {
        curl_slist *head = curl_slist_append(headers.get(), line.c_str());
        if (head != nullptr && head != headers.get()) {
            headers.reset(head);
        }
        return head != nullptr;
    };
    bool headersOk = header("Accept: application/json");
    if (req.contentType != nullptr) {
        headersOk = headersOk && header(std::string("Content-Type: ") + req.contentType);
        // Send the body at once instead of waiting for "100 Continue".
        headersOk = headersOk && header("Expect:");
    }
    if (const char *token = bearerTokenOf(client); token != nullptr) {
        headersOk = headersOk && header(std::string("Authorization: ") + token);
    }
    if (!headersOk) {
        transferFailed(client, CURLE_OUT_OF_MEMORY);
        errno = ENOMEM;
        return;
    }

    Body body;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, client->curl_error);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, bodyWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds);
    if (!req.watch) {
        curl_easy_setopt(h, CURLOPT_TIMEOUT, requestTimeoutSeconds);
    } else if (req.watchSeconds > 0) {
        curl_easy_setopt(h, CURLOPT_TIMEOUT, req.watchSeconds + watchGraceSeconds);
    }
    if (strcmp(req.method, "GET") != 0) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, req.method);
    }
    if (req.contentType != nullptr) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, req.body.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body.size()));
    }
    if (client->progress_func != nullptr) {
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, transferProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, client);
    }
    if (client->curlConfig != nullptr && client->curlConfig->verbose != 0) {
        curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    }

    // TLS: the server is always checked against the CA (and its name against
    // the URL); the client proves itself with its certificate and key. A
    // configured CA file is the only trust: libcurl's built-in CA directory
    // is switched off with it.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const sslConfig_t *tls = client->sslConfig; tls != nullptr) {
        if (tls->CACertFile != nullptr) {
            curl_easy_setopt(h, CURLOPT_CAINFO, tls->CACertFile);
            curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
        }
        if (tls->clientCertFile != nullptr) {
            curl_easy_setopt(h, CURLOPT_SSLCERT, tls->clientCertFile);
        }
        if (tls->clientKeyFile != nullptr) {
            curl_easy_setopt(h, CURLOPT_SSLKEY, tls->clientKeyFile);
        }
    }

    CURLcode rc = runTransfer(client, taskTransfer.multi, h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    // the handle stays with the task: it must not point at this request's
    // buffers any more
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, nullptr);
    if (rc != CURLE_OK && !req.watch) {
        // A plain answer that broke off is no answer: callers retry it.
        code = 0;
    }
    if (rc != CURLE_OK) {
        transferFailed(client, rc);
        errno = body.overflow ? ENOMEM : rc == CURLE_ABORTED_BY_CALLBACK ? ECANCELED : EIO;
    }
    client->response_code = code;
    client->dataReceived = body.data;
    client->dataReceivedLen = static_cast<long>(body.len);
}

} // namespace kube
