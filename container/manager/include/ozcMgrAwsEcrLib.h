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
#define AWS_ECR_DOMAIN_SUFFIX "amazonaws.com"
/* Operator override of the ECR API endpoint. */
#define AWS_ECR_ENDPOINT_ENV "OZC_AWS_ECR_ENDPOINT"

/* One ECR client: lives for one registry authentication. */
typedef struct AwsEcrClientSt {
    char registry_id[AWS_ECR_REGISTRY_ID_SIZE]; /* AWS account id */
    char region[AWS_ECR_REGION_SIZE];           /* AWS region */
    char access_key_id[AWS_ECR_ACCESS_KEY_ID_SIZE];
    char secret_access_key[AWS_ECR_SECRET_ACCESS_KEY_SIZE];
    char token[AWS_ECR_TOKEN_SIZE]; /* registry password after an exchange */
    struct CurlCtxSt *curl_ctx;     /* borrowed transfer context */
} AwsEcrClientSt, AWS_ECR_CLIENT;

/* ---- Exported operations ---------------------------------------------- */

/* New client, or null (errno 0xE00008 for a null or too long argument,
 * 12 when out of memory). The transfer context is borrowed. */
AWS_ECR_CLIENT *ozcMgrAwsEcrClientCreate(const char *registry_id, const char *region, const char *access_key_id,
                                         const char *secret_access_key, struct CurlCtxSt *curl_ctx);

/* Overwrites the whole record with zeros and frees it; null is accepted. */
void ozcMgrAwsEcrClientDelete(AWS_ECR_CLIENT *client);

/* Runs the exchange; on success returns the client's `token` (the decoded
 * registry password, to be copied before the client is deleted), else null
 * with errno set by the exchange. */
char *ozcMgrAwsEcrPasswordGet(AWS_ECR_CLIENT *client);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_AWS_ECR_LIB_H */
