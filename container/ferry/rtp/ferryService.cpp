/*
 * ferryService.cpp - program entry of the node agent: block SIGTERM, build
 * and start the service, wait for SIGTERM, then tear the service down in
 * order. Any failure before the wait ends the process through the fatal exit
 * path with status 1.
 */
#define OZK_LOG_UNIT "ozkService"
#include "ozkLib.h"

#include <cerrno>
#include <csignal>

/* The fatal exit path, logged from main itself. */
#define OZK_FATAL_EXIT()                 \
    do {                                 \
        OZK_ERR("Bye ferryService!");    \
        ozkForceShutDown();              \
    } while (0)

namespace {

/* Wait for a signal of the set. A wait interrupted by job control (a stop
 * and continue) is not a signal of the set and is waited out again. */
int ozkSignalWait(const sigset_t *set)
{
    int sig;
    do {
        sig = sigtimedwait(set, nullptr, nullptr);
    } while (sig < 0 && errno == EINTR);
    return sig;
}

} // namespace

int main(int argc, char *argv[])
{
    sigset_t set;
    int status = 0;

    if (sigemptyset(&set) != 0) {
        return 1;
    }
    if (sigaddset(&set, SIGTERM) != 0) {
        OZK_ERR("failed to add SIGTERM to the monitor list. errno: %d", errno);
        OZK_FATAL_EXIT();
    }
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        OZK_ERR("failed to set signal mask. errno: %d", errno);
        OZK_FATAL_EXIT();
    }

    OZK_CTRL *ctrl = ozkServiceInit(argc, argv);
    if (ctrl == nullptr) {
        OZK_ERR("failed to create OZK_CTRL!");
        OZK_FATAL_EXIT();
    }
    if (ozkServiceStart(ctrl) != OK) {
        OZK_ERR("failed to start ferry!");
        OZK_FATAL_EXIT();
    }
    OZK_DEBUG("ferryService is ready.");

    int sig = ozkSignalWait(&set);
    if (sig != SIGTERM) {
        OZK_ERR("get unexpected signal: %d", sig);
        OZK_FATAL_EXIT();
    }

    OZK_DEBUG("Graceful shutdown begin");
    if (ozkServiceDestroy(ctrl) != OK) {
        OZK_ERR("ferry service destroy fail!");
        status = 1;
    }
    if (ozkSysLogOn) {
        ozSysLogClose();
    }
    OZK_DEBUG("Bye ferryService!");
    return status;
}
