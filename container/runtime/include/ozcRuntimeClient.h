/*
 * ozcRuntimeClient.h - the client side of the runtime daemon protocol: one
 * request/reply exchange over named message queues.
 */
#ifndef OZC_RUNTIME_CLIENT_H
#define OZC_RUNTIME_CLIENT_H

#include "ozcRuntimeCSLib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OZC_REPLY_TIMEOUT_SEC 5 /* per receive */

/* One exchange with the daemon serving the request queue `msgQHandle`.
 * On success *ppResp (when not NULL) receives the reply text; caller frees. */
STATUS ozcCallQ(const char *msgQHandle, int cmdId, struct ozcParam *param, int count, char **ppResp);
/* ozcCallQ on the daemon's queue (ozcDaemonQueueName()). */
STATUS ozcCall(int cmdId, struct ozcParam *param, int count, char **ppResp);

#ifdef __cplusplus
}
#endif

#endif /* OZC_RUNTIME_CLIENT_H */
