/* apiClient.h - the connection side of the Kubernetes API client: the TLS
 * configuration and the per-request client record.
 *
 * A client is meant for one task at a time; tasks that run requests at the
 * same time each create their own client (they may share one sslConfig_t,
 * which the client only reads). apiClient_setupGlobalEnv must have been called
 * once before clients are used from several tasks.
 *
 * Connections are kept open per task: the requests that one task makes go
 * over the connections its earlier requests opened, whichever client record
 * they use, when the server and the whole TLS configuration are the same.
 * They are closed when the task ends. A request whose kept connection ends
 * before any answer (the server may have closed it just then) is sent once
 * more over a new connection, so the server may see such a request twice. */
#ifndef KUBE_API_CLIENT_H
#define KUBE_API_CLIENT_H

#include "list.h"
#include "keyValuePair.h"

#include <curl/curl.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sslConfig_t {
    char *clientCertFile;      /* client certificate (PEM) */
    char *clientKeyFile;       /* client private key (PEM) */
    char *CACertFile;          /* CA certificate(s) the server is checked against (PEM); when
                                * set, they alone: the system's CA store is not consulted */
    int insecureSkipTlsVerify; /* recorded only: the server is always verified */
} sslConfig_t;

/* Transfer settings of a client. */
typedef struct curlConfig_t {
    long verbose; /* 1: libcurl describes each transfer on standard error */
} curlConfig_t;

/* Asked before a request is sent and then at least every 100 ms while it
 * runs, with the bytes expected and moved so far (0 when unknown); a
 * non-zero return aborts the request, which then ends without an answer
 * (response_code 0, curl_code CURLE_ABORTED_BY_CALLBACK). */
typedef int (*apiClient_progress_func)(void *progress_data, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                                       curl_off_t ulnow);

typedef struct apiClient_t {
    char *basePath;                        /* API server URL, used exactly as given */
    sslConfig_t *sslConfig;                /* not owned */
    curlConfig_t *curlConfig;              /* not owned; null: the defaults */
    void *dataReceived;                    /* body of the last answer, NUL-terminated, malloc'ed; the
                                 * caller may take it over (free it and clear both fields) */
    long dataReceivedLen;                  /* its length without the terminating NUL */
    apiClient_progress_func progress_func; /* optional, see above */
    void *progress_data;
    long response_code;               /* HTTP status of the last answer; 0 when none arrived */
    CURLcode curl_code;               /* transfer result of the last request: CURLE_OK when its
                                 * answer arrived whole (or it was refused before sending) */
    char curl_error[CURL_ERROR_SIZE]; /* libcurl's description of a failed transfer */
    list_t *apiKeys_BearerToken;      /* optional keyValuePair_t list; an "Authorization"
                                  * pair's value is sent as the Authorization header */
} apiClient_t;

/* A new client for the server at basePath (copied). sslConfig and
 * apiKeys_BearerToken stay the caller's and must outlive the client.
 * Null when basePath is null or out of memory. */
apiClient_t *apiClient_create_with_base_path(const char *basePath, sslConfig_t *sslConfig, list_t *apiKeys_BearerToken);

/* Frees the client and its received data; null is allowed. */
void apiClient_free(apiClient_t *apiClient);

/* Copies of the three paths (each may be null). Null when out of memory. */
sslConfig_t *sslConfig_create(const char *clientCertFile, const char *clientKeyFile, const char *CACertFile,
                              int insecureSkipTlsVerify);

/* Frees the record and its strings; null is allowed. */
void sslConfig_free(sslConfig_t *sslConfig);

/* Process-wide set-up of the transfer library, before any task uses a client;
 * apiClient_unsetupGlobalEnv undoes it after the last request has ended (and
 * closes the calling task's connections). */
void apiClient_setupGlobalEnv(void);
void apiClient_unsetupGlobalEnv(void);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_API_CLIENT_H */
