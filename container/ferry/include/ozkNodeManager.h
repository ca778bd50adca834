/*
 * ozkNodeManager.h - the node manager: the Node object of this target, its
 * registration, the lease in "kube-node-lease" and the periodic update task
 * "nodeManager".
 */
#ifndef OZK_NODE_MANAGER_H
#define OZK_NODE_MANAGER_H

#include <ozPlatform.h>
#include <stdint.h>

#include "keyValuePair.h"
#include "kubeModels.h"
#include "list.h"
#include "object.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ozkConf OZK_CONF;
typedef struct ozkCtrl OZK_CTRL;
typedef struct ozkClientCtrl OZK_CLIENT_CTRL;
typedef struct ozkPodManagerCtrl OZK_POD_MANAGER_CTRL;

#define OZK_NODE_TASK_NAME      "nodeManager"
#define OZK_NODE_TASK_PRIORITY  150
#define OZK_NODE_TASK_STACK     (64 * 1024)
#define OZK_NODE_TASK_EXIT_WAIT 3 /* seconds before the task is deleted */
#define OZK_LEASE_DURATION      300
#define OZK_TIME_STR_LEN        48
#define OZK_HOST_NAME_LEN       256
#define OZK_NUM_STR_LEN         48
#define OZK_SYS_ID_LEN          64 /* boot and machine identities */

typedef struct ozkNodeMgrCtrl {
    v1_node_t *nodeObj;                      /* last Node from the API server, owned */
    SEM_ID semRunning;                       /* stop signal of the update task */
    OZK_CONF *ozkCnf;                        /* configuration (not owned) */
    OZK_CLIENT_CTRL *clientCtrl;             /* API client (not owned) */
    TASK_ID updateTaskId;                    /* update task; 0 when none */
    v1_lease_t *leaseObj;                    /* last lease from the API server, owned */
    OZK_POD_MANAGER_CTRL *podManagerCtrlPtr; /* set by the pod manager start */
} OZK_NODE_MGR_CTRL;

/* Node object */
STATUS ozkNodeCreate(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
BOOL ozkNodeIsPresent(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
v1_object_meta_t *ozkNodeMetaCreate(OZK_CONF *conf);
v1_node_spec_t *ozkNodeSpecCreate(void);
v1_node_status_t *ozkNodeStatusCreate(OZK_CONF *conf);
list_t *ozkLabelListCreate(OZK_CONF *conf);
list_t *ozkAddrListCreate(const char *nodeIP);
list_t *ozkNodeCapListCreate(uint32_t podNum);
list_t *ozkCondListCreate(BOOL transitionTimeSet);
v1_node_system_info_t *ozkSysInfoCreate(void);
void ozkKvPairListDestroy(list_t *list);
void ozkAddrListDestroy(list_t *list);
void ozkCondListDestroy(list_t *list);
char *ozkHostNameGet(void);
char *ozkNumToString(uint32_t num);
uint32_t ozkEnabledCPUNumGet(void);
char *ozkCurrentTimeUsStr(BOOL withMicroseconds);

/* Node status and lease */
STATUS ozkNodeManagerStart(OZK_CTRL *ctrl);
STATUS ozkNodeManagerDestroy(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
STATUS ozkLeaseManagerStart(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
STATUS ozkLeaseGet(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
STATUS ozkLeaseCreate(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
STATUS ozkLeasePatch(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
v1_lease_t *ozkLeaseObjectGenerate(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
object_t *ozkNodeStatusUpdateGet(OZK_NODE_MGR_CTRL *nodeMgrCtrl);
int ozkNodeUpdateTask(void *arg);

#ifdef __cplusplus
}
#endif

#endif /* OZK_NODE_MANAGER_H */
