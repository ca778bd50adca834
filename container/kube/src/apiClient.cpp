// Connection side of the Kubernetes API client: TLS configuration, client
// records and the HTTPS request layer (libcurl, one easy handle per request,
// client certificate and key, the server verified against the configured CA).
#include "kubeHttp.h"

#include <curl/curl.h>

#include <cerrno>
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

struct CurlDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

// Connection set-up time, and the longest a plain request may take.
constexpr long connectTimeoutSeconds = 30;
constexpr long requestTimeoutSeconds = 120;
// Extra time granted to a watch beyond the time-out the server was given.
constexpr long watchGraceSeconds = 30;

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

extern "C" sslConfig_t *sslConfig_create(const char *clientCertFile, const char *clientKeyFile,
                                         const char *CACertFile, int insecureSkipTlsVerify)
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
        errno = ENOMEM;
        return nullptr;
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

extern "C" apiClient_t *apiClient_create_with_base_path(const char *basePath,
                                                        sslConfig_t *sslConfig,
                                                        list_t *apiKeys_BearerToken)
{
    if (basePath == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *client = static_cast<apiClient_t *>(calloc(1, sizeof(apiClient_t)));
    if (client == nullptr) {
        return nullptr;
    }
    client->basePath = strdup(basePath);
    if (client->basePath == nullptr) {
        free(client);
        return nullptr;
    }
    client->sslConfig = sslConfig;
    client->apiKeys_BearerToken = apiKeys_BearerToken;
    return client;
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
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
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
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        errno = ENOMEM;
        return;
    }
    CURL *h = curl.get();
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
        errno = ENOMEM;
        return;
    }

    Body body;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
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

    // TLS: the server is always checked against the CA (and its name against
    // the URL); the client proves itself with its certificate and key.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const sslConfig_t *tls = client->sslConfig; tls != nullptr) {
        if (tls->CACertFile != nullptr) {
            curl_easy_setopt(h, CURLOPT_CAINFO, tls->CACertFile);
        }
        if (tls->clientCertFile != nullptr) {
            curl_easy_setopt(h, CURLOPT_SSLCERT, tls->clientCertFile);
        }
        if (tls->clientKeyFile != nullptr) {
            curl_easy_setopt(h, CURLOPT_SSLKEY, tls->clientKeyFile);
        }
    }

    CURLcode rc = curl_easy_perform(h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK && !req.watch) {
        // A plain answer that broke off is no answer: callers retry it.
        code = 0;
    }
    if (rc != CURLE_OK) {
        errno = body.overflow ? ENOMEM : EIO;
    }
    client->response_code = code;
    client->dataReceived = body.data;
    client->dataReceivedLen = static_cast<long>(body.len);
}

} // namespace kube
