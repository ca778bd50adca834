/*
 * ozkNodeManager.cpp - the node manager.
 *
 * Minimal version: it runs the update task "nodeManager" with its stop
 * signal and bounded shutdown, so that the service starts, waits and stops
 * in order; the Node registration, the lease and the periodic status update
 * are not written yet (the records and names are in ozkNodeManager.h).
 */
#define OZK_LOG_UNIT "ozkNodeManager"
#include "ozkLib.h"

extern "C" int ozkNodeUpdateTask(void *arg)
{
    auto *ctrl = static_cast<OZK_CTRL *>(arg);
    OZK_NODE_MGR_CTRL *nodeMgrCtrl = &ctrl->nodeManagerCtrl;
    int waitTicks = sysClkRateGet() * static_cast<int>(nodeMgrCtrl->ozkCnf->nodeUpdateInterval);

    for (;;) {
        if (semTake(nodeMgrCtrl->semRunning, waitTicks) == OK) {
            OZK_DEBUG("ozkNodeUpdateTask exits successfully");
            return 0;
        }
        if (errnoGet() != S_objLib_OBJ_TIMEOUT) {
            break;
        }
        /* the update cycle (node check, lease renewal, status patch) goes here */
    }
    OZK_ERR("ozkNodeUpdateTask exits with ERROR!");
    ozkForceShutDown();
}

extern "C" STATUS ozkNodeManagerStart(OZK_CTRL *ctrl)
{
    OZK_NODE_MGR_CTRL *nodeMgrCtrl = &ctrl->nodeManagerCtrl;

    nodeMgrCtrl->clientCtrl = &ctrl->clientCtrl;
    nodeMgrCtrl->ozkCnf = &ctrl->ozkCnf;

    nodeMgrCtrl->semRunning = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (nodeMgrCtrl->semRunning == nullptr) {
        OZK_ERR("failed to create Node manager running semaphore!");
        (void)ozkNodeManagerDestroy(nodeMgrCtrl);
        return ERROR;
    }
    nodeMgrCtrl->updateTaskId = 0;
    TASK_ID tid = taskSpawn(OZK_NODE_TASK_NAME, OZK_NODE_TASK_PRIORITY, 0, OZK_NODE_TASK_STACK,
                            ozkNodeUpdateTask, ctrl);
    if (tid == TASK_ID_NULL) {
        OZK_ERR("failed to create Node manager status update task!");
        (void)ozkNodeManagerDestroy(nodeMgrCtrl);
        return ERROR;
    }
    nodeMgrCtrl->updateTaskId = tid;
    OZK_DEBUG("node manager started!");
    return OK;
}

extern "C" STATUS ozkNodeManagerDestroy(OZK_NODE_MGR_CTRL *nodeMgrCtrl)
{
    STATUS result = OK;

    if (nodeMgrCtrl == nullptr) {
        return OK;
    }
    if (nodeMgrCtrl->semRunning != nullptr) {
        if (nodeMgrCtrl->updateTaskId != 0) {
            if (semGive(nodeMgrCtrl->semRunning) != OK) {
                OZK_ERR("semGive failed! errno=%d", errnoGet());
                result = ERROR;
            }
            if (taskWait(nodeMgrCtrl->updateTaskId, sysClkRateGet() * OZK_NODE_TASK_EXIT_WAIT,
                         nullptr) != OK) {
                OZK_ERR("node update task cannot exit normally and has to be forcedly killed! ErrorNo: %d",
                        errnoGet());
                if (taskDelete(nodeMgrCtrl->updateTaskId) != OK) {
                    OZK_ERR("taskDelete failed! errno=%d", errnoGet());
                    result = ERROR;
                }
            }
            nodeMgrCtrl->updateTaskId = 0;
        }
        if (semDelete(nodeMgrCtrl->semRunning) != OK) {
            OZK_ERR("semDelete failed! errno=%d", errnoGet());
        }
        nodeMgrCtrl->semRunning = nullptr;
    }
    /* nodeObj and leaseObj stay null until registration is written */
    OZK_DEBUG("nodeManager has been destroyed");
    return result;
}
