/* ozcMgrAwsEcrLib.h - Amazon ECR authorization tokens of the image manager.
 *
 * An ECR registry does not take the AWS access key itself: the image manager
 * first calls the ECR API action GetAuthorizationToken, signed with AWS
 * Signature Version 4, and gets back a base64 token that holds the registry
 * user name "AWS" and a password. The registry authentication creates one
 * client per authentication, asks for the password, copies it into its
 * transfer context with "AWS" as the user name and deletes the client, which
 * wipes the access key, the secret and the password from memory.
 *
 * The ECR API host of a region is "api.ecr.<region>.amazonaws.com"
 * (".amazonaws.com.cn" for regions beginning with "cn-"). The operator may
 * replace the whole endpoint with the OS-wide environment variable
 * OZC_AWS_ECR_ENDPOINT ("https://host[:port][/]"), for a private or FIPS
 * endpoint. The signed host header is always the host the request goes to.
 */
#ifndef OZC_MGR_AWS_ECR_LIB_H
#define OZC_MGR_AWS_ECR_LIB_H

#include <stddef.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Transfer context of the HTTP transfer layer (ozcMgrCurlLib.h). */
struct CurlCtxSt;

#define AWS_ECR_REGISTRY_ID_SIZE       16
#define AWS_ECR_REGION_SIZE            16
#define AWS_ECR_ACCESS_KEY_ID_SIZE     256
#define AWS_ECR_SECRET_ACCESS_KEY_SIZE 256
#define AWS_ECR_TOKEN_SIZE             4096

/* Public AWS domain suffix whose presence in a registry host selects ECR. */
#define AWS_ECR_DOMAIN_SUFFIX          "amazonaws.com"
/* Operator override of the ECR API endpoint. */
#define AWS_ECR_ENDPOINT_ENV           "OZC_AWS_ECR_ENDPOINT"

/* One ECR client: lives for one registry authentication. */
typedef struct AwsEcrClientSt {
    char registry_id[AWS_ECR_REGISTRY_ID_SIZE];             /* AWS account id */
    char region[AWS_ECR_REGION_SIZE];                       /* AWS region */
    char access_key_id[AWS_ECR_ACCESS_KEY_ID_SIZE];
    char secret_access_key[AWS_ECR_SECRET_ACCESS_KEY_SIZE];
    char token[AWS_ECR_TOKEN_SIZE];   /* registry password after an exchange */
    struct CurlCtxSt *curl_ctx;       /* borrowed transfer context */
} AwsEcrClientSt, AWS_ECR_CLIENT;

/* ---- Exported operations ---------------------------------------------- */

/* New client, or null (errno 0xE00008 for a null or too long argument,
 * 12 when out of memory). The transfer context is borrowed. */
AWS_ECR_CLIENT *ozcMgrAwsEcrClientCreate(const char *registry_id,
                                         const char *region,
                                         const char *access_key_id,
                                         const char *secret_access_key,
                                         struct CurlCtxSt *curl_ctx);

/* Overwrites the whole record with zeros and frees it; null is accepted. */
void ozcMgrAwsEcrClientDelete(AWS_ECR_CLIENT *client);

/* Runs the exchange; on success returns the client's `token` (the decoded
 * registry password, to be copied before the client is deleted), else null
 * with errno set by the exchange. */
char *ozcMgrAwsEcrPasswordGet(AWS_ECR_CLIENT *client);

/* ---- Internal to the image manager (declared for its units and tests) -- */

/* The signed GetAuthorizationToken call; 0 with `token` filled, or -1 with
 * errno 0xE00001 (transport), 0xE00002 (status not 200), 0xE00003 (token
 * reply unusable) or 0xE00008 (bad endpoint). */
int ozcMgrAwsEcrAuthTokenGet(AWS_ECR_CLIENT *client);

/* Password from a GetAuthorizationToken reply body: 0 with the text after
 * "AWS:" of the decoded token copied into out, or -1. */
int ozcMgrAwsEcrTokenFromJson(const char *user_token, char *out, size_t out_size);

/* ECR API host of a region into host (at least 256 bytes is plenty):
 * "api.ecr.<region>.amazonaws.com", ".amazonaws.com.cn" for "cn-" regions.
 * 0 / -1 (null argument, empty region or no room). */
int ozcMgrAwsEcrApiHostGet(const char *region, char *host, size_t host_size);

/* Endpoint URL ("https://<host>/", 256 bytes suffice) and the host the
 * request goes to (also the signed host header) for a region, honouring
 * OZC_AWS_ECR_ENDPOINT. 0 / -1 (errno 0xE00008 for a malformed override). */
int ozcMgrAwsEcrEndpointGet(const char *region, char *endpoint, size_t endpoint_size,
                            char *host, size_t host_size);

/* Steps of the signed call up to its headers: for the UTC time `utc` and the
 * host the request goes to, writes the request time ("%Y%m%dT%H%M%SZ",
 * at least 17 bytes) and the Authorization value (at least 1024 bytes is
 * plenty) of the GetAuthorizationToken request. 0 / -1. */
int ozcMgrAwsEcrRequestSign(const AWS_ECR_CLIENT *client, const char *host,
                            const struct tm *utc, char *request_time,
                            size_t request_time_size, char *authorization,
                            size_t authorization_size);

/* Clock of the request time; null restores time(). Test seam. */
typedef time_t (*AWS_ECR_CLOCK_FUNC)(time_t *);
void ozcMgrAwsEcrClockSet(AWS_ECR_CLOCK_FUNC clock_func);

/* Release of a deleted client's record, called after the record has been
 * wiped; null restores free(). Test seam (lets a test see the wiped record). */
typedef void (*AWS_ECR_RELEASE_FUNC)(void *record, size_t size);
void ozcMgrAwsEcrReleaseSet(AWS_ECR_RELEASE_FUNC release_func);

/* ---- Signature Version 4 building blocks ------------------------------ */

/* Lower-case hex SHA-256 of data into out (out_size >= 65). 0 / -1. */
int sha256HexGet(const void *data, size_t len, char *out, size_t out_size);
/* HMAC-SHA256 of data under key into out (32 bytes); *out_len gets the
 * length written. 0 / -1. */
int hmacSha256Get(const void *key, size_t key_len, const void *data, size_t len,
                  unsigned char *out, unsigned int *out_len);
/* "%02x" of every byte into out (out_size >= 2 * count + 1). 0 / -1. */
int bin2hex(const unsigned char *bytes, size_t count, char *out, size_t out_size);
/* Signing key: HMAC chain "AWS4"+secret -> date -> region -> service ->
 * "aws4_request" into out (32 bytes); *out_len gets 32. 0 / -1. */
int signingKeyDerive(const char *secret, const char *date_stamp, const char *region,
                     const char *service, unsigned char *out, unsigned int *out_len);

/* Canonical request "method\npath\nquery\nheaders\nsigned\npayload_hash"
 * (canonical_headers end in '\n'). 0 / -1 when it does not fit. */
int ozcMgrAwsEcrCanonicalRequestBuild(const char *method, const char *path,
                                      const char *query, const char *canonical_headers,
                                      const char *signed_headers,
                                      const char *payload_hash,
                                      char *out, size_t out_size);
/* String to sign "AWS4-HMAC-SHA256\ntime\nscope\nhex(sha256(canonical))". */
int ozcMgrAwsEcrStringToSignBuild(const char *request_time, const char *scope,
                                  const char *canonical_request,
                                  char *out, size_t out_size);
/* 64 lower-case hex digits of HMAC-SHA256(signing key, string to sign). */
int ozcMgrAwsEcrSignatureGet(const unsigned char *signing_key, size_t key_len,
                             const char *string_to_sign, char *out, size_t out_size);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_AWS_ECR_LIB_H */
