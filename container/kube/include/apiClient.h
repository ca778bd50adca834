/* apiClient.h - the connection side of the Kubernetes API client: the TLS
 * configuration and the per-request client record.
 *
 * A client is meant for one task at a time; tasks that run requests at the
 * same time each create their own client (they may share one sslConfig_t,
 * which the client only reads). apiClient_setupGlobalEnv must have been called
 * once before clients are used from several tasks. */
#ifndef KUBE_API_CLIENT_H
#define KUBE_API_CLIENT_H

#include "list.h"
#include "keyValuePair.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sslConfig_t {
    char *clientCertFile;      /* client certificate (PEM) */
    char *clientKeyFile;       /* client private key (PEM) */
    char *CACertFile;          /* CA certificate(s) the server is checked against (PEM) */
    int insecureSkipTlsVerify; /* recorded only: the server is always verified */
} sslConfig_t;

typedef struct apiClient_t {
    char *basePath;             /* API server URL, used exactly as given */
    sslConfig_t *sslConfig;     /* not owned */
    void *dataReceived;         /* body of the last answer, NUL-terminated, malloc'ed; the
                                 * caller may take it over (free it and clear both fields) */
    long dataReceivedLen;       /* its length without the terminating NUL */
    long response_code;         /* HTTP status of the last answer; 0 when none arrived */
    list_t *apiKeys_BearerToken; /* optional keyValuePair_t list; an "Authorization"
                                  * pair's value is sent as the Authorization header */
} apiClient_t;

/* A new client for the server at basePath (copied). sslConfig and
 * apiKeys_BearerToken stay the caller's and must outlive the client.
 * Null when basePath is null or out of memory. */
apiClient_t *apiClient_create_with_base_path(const char *basePath, sslConfig_t *sslConfig,
                                             list_t *apiKeys_BearerToken);

/* Frees the client and its received data; null is allowed. */
void apiClient_free(apiClient_t *apiClient);

/* Copies of the three paths (each may be null). Null when out of memory. */
sslConfig_t *sslConfig_create(const char *clientCertFile, const char *clientKeyFile,
                              const char *CACertFile, int insecureSkipTlsVerify);

/* Frees the record and its strings; null is allowed. */
void sslConfig_free(sslConfig_t *sslConfig);

/* Process-wide set-up of the transfer library, before any task uses a client;
 * apiClient_unsetupGlobalEnv undoes it after the last request has ended. */
void apiClient_setupGlobalEnv(void);
void apiClient_unsetupGlobalEnv(void);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_API_CLIENT_H */
