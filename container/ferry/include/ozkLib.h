/*
 * ozkLib.h - service control of the node agent: the control block, the
 * configuration taken from the command line and the service lifecycle. The
 * control block embeds the client, node manager and pod manager records, so
 * this header brings their declarations; logging is in ozkLog.h.
 */
#ifndef OZK_LIB_H
#define OZK_LIB_H

#include <ozPlatform.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Limits and defaults of the command line. */
#define OZK_NODE_UPDATE_INTERVAL_DEFAULT 30U /* seconds */
#define OZK_NODE_UPDATE_INTERVAL_MAX     600U
#define OZK_POD_MAX_DEFAULT              20U
#define OZK_POD_MAX_MAX                  110U
#define OZK_VERBOSE_LEVEL_MIN            0
#define OZK_VERBOSE_LEVEL_MAX            3
#define OZK_SYSLOG_LEVEL_MIN             0
#define OZK_SYSLOG_LEVEL_MAX             7
#define OZK_NODE_LABEL_LEN               128

/* Configuration of the node agent, filled once from the command line. */
typedef struct ozkConf {
    char *caPath;                          /* -C, required */
    char *certPath;                        /* -c, required */
    char *keyPath;                         /* -k, required */
    char *nodeName;                        /* -n, required */
    char *serverURL;                       /* -u, required */
    char *nodeIP;                          /* -i, null when not given */
    uint32_t nodeUpdateInterval;           /* -N, seconds */
    uint32_t podMax;                       /* -p */
    char nodeLabelKey[OZK_NODE_LABEL_LEN]; /* -L key=value */
    char nodeLabelValue[OZK_NODE_LABEL_LEN];
} OZK_CONF;

#ifdef __cplusplus
}
#endif

/* The records embedded in the control block. */
#include "ozkClient.h"
#include "ozkNodeManager.h"
#include "ozkPodManager.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The node agent's control block, one per process. The configuration comes
 * first, so that operations needing only the configuration may be handed
 * the control block itself. */
typedef struct ozkCtrl {
    OZK_CONF ozkCnf;
    OZK_CLIENT_CTRL clientCtrl;
    OZK_NODE_MGR_CTRL nodeManagerCtrl;
    OZK_POD_MANAGER_CTRL podManagerCtrl;
    BOOL podManagerStarted; /* the service start reached the pod manager */
} OZK_CTRL;

/* ------------------------------------------------------------------------
 * Configuration
 * ------------------------------------------------------------------------ */
/* TRUE when the command line asks for the usage text (option -h). */
BOOL ozkHelpAsked(int argc, char *argv[]);
STATUS ozkConfInit(int argc, char *argv[], OZK_CONF *conf);
STATUS ozkArgParse(OZK_CONF *conf, int argc, char *argv[]);
STATUS ozkNodeIpCheck(const char *ip);
void ozkConfDump(const OZK_CONF *conf);
void ozkUsagePrint(void);
void ozkConfDestroy(OZK_CONF *conf);

/* ------------------------------------------------------------------------
 * Service lifecycle
 * ------------------------------------------------------------------------ */
OZK_CTRL *ozkServiceInit(int argc, char *argv[]);
STATUS ozkServiceStart(OZK_CTRL *ctrl);
STATUS ozkServiceDestroy(OZK_CTRL *ctrl);

#ifdef __cplusplus
}
#endif

#endif /* OZK_LIB_H */
