/*
 * ozcRuntimeCSLib.h - the runtime daemon's message format and the parameter
 * descriptors that turn request and reply bodies into JSON objects and back.
 */
#ifndef OZC_RUNTIME_CS_LIB_H
#define OZC_RUNTIME_CS_LIB_H

#include <stdint.h>

#include <cjson/cJSON.h>

#include "ozPlatform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OZC_MSG_NAME_LEN   192                                  /* reply queue name field */
#define OZC_MSG_HDR_LEN    204                                  /* header bytes before the data */
#define OZC_MSG_SIZE       2048                                 /* request message and reply piece size */
#define OZC_MSG_DATA_MAX   (OZC_MSG_SIZE - OZC_MSG_HDR_LEN - 1) /* 1843 */
#define OZC_REQ_Q_DEPTH    32
#define OZC_REPLY_Q_DEPTH  1
#define OZC_REPLY_TEXT_MAX 65536 /* a reply text must stay below this */
#define OZC_DAEMON_Q_NAME  "/ozc"

/* Command of a request (ozcMessage.cmdId). */
typedef enum ozcCmdType {
    OZC_CREATE = 0,
    OZC_START = 1,
    OZC_KILL = 2,
    OZC_DELETE = 3,
    OZC_STATE = 4,
    OZC_LIST = 5,
    OZC_UNPACK = 6,
    OZC_INSPECT = 7,
    OZC_STORE_STATE = 8,
    OZC_ALIVE = 9,
    OZC_PRUNE = 10 /* remove shared root file systems no one uses */
} OZC_CMD_TYPE;

/* Wire header of requests and replies (native byte order). */
typedef struct ozcMessage {
    char name[OZC_MSG_NAME_LEN]; /* reply queue name, NUL-terminated */
    uint8_t msgLvl;              /* info verbosity of this request */
    uint8_t rsvd1;
    uint8_t rsvd2;
    uint8_t rsvd3;
    int32_t cmdId;    /* an ozcCmdType value */
    uint32_t dataLen; /* bytes of data */
    char data[];      /* unformatted JSON, no terminating NUL */
} OZC_MESSAGE;

/* Parameter descriptors. */
typedef enum paramType { INTEGER = 0, STRING = 1, STRING_ARRAY = 2, OBJECT = 3 } PARAM_TYPE;

/* One 64-bit word: an integer, a text pointer, a pointer to a
 * NULL-terminated text array, or a JSON item. */
typedef uint64_t ozcData;

#define OZC_DATA_PTR(p)  ((ozcData)(uintptr_t)(p))
#define OZC_DATA_STR(v)  ((char *)(uintptr_t)(v))
#define OZC_DATA_ARR(v)  ((char **)(uintptr_t)(v))
#define OZC_DATA_JSON(v) ((cJSON *)(uintptr_t)(v))

typedef struct ozcParam {
    PARAM_TYPE type;
    const char *name; /* JSON member name */
    ozcData value;
    int number; /* element count of a text array */
} OZC_PARAM;

cJSON *ozcParamObjInit(struct ozcParam *param, int count);
STATUS ozcParamObjGet(cJSON *pData, struct ozcParam *param, unsigned count);
STATUS ozcParamObjDestroy(struct ozcParam *param, unsigned count);
ozcData ozcParamValueGetByName(struct ozcParam *param, int count, const char *name);
cJSON *ozcConfigToArray(char **argument);
void ozcJsonCopy(cJSON *srcObj, char *srcName, cJSON *dstObj, char *dstName);
STATUS ozcResponseCheck(cJSON *root, int *errCode, cJSON **body);

/* Name of the daemon's request queue: "/ozc", or the value of the
 * environment variable "OZC_DAEMON_QUEUE" when it is set to a valid queue
 * name (begins with '/', no other '/', at most 63 characters). Lets tests
 * and side-by-side daemons use a queue of their own. */
const char *ozcDaemonQueueName(void);

#ifdef __cplusplus
}
#endif

#endif /* OZC_RUNTIME_CS_LIB_H */
