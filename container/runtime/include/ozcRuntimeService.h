/*
 * ozcRuntimeService.h - the runtime daemon: owns the container list and
 * serves requests on its public request queue.
 */
#ifndef OZC_RUNTIME_SERVICE_H
#define OZC_RUNTIME_SERVICE_H

#include "ozcRuntimeCSLib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The daemon's entry: serves the request queue (ozcDaemonQueueName()) until
 * a receive fails or ozcDaemonStop() is called; deletes the queue and
 * returns -1 (EEXIST when the queue is already served). */
STATUS ozcDaemonTask(void);
/* Asks a running daemon task of this process to end its loop. */
STATUS ozcDaemonStop(void);
STATUS ozcReplyMessage(char *name, int cmdId, cJSON *body, int errCode);

#ifdef __cplusplus
}
#endif

#endif /* OZC_RUNTIME_SERVICE_H */
