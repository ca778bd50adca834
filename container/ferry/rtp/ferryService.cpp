/*
 * ferryService.cpp - program entry of the node agent: block the stop
 * signals, build and start the service, wait for a stop, then tear the
 * service down in order. Any failure before the wait ends the process
 * through the fatal exit path with status 1.
 *
 * SIGTERM, SIGINT and SIGHUP stop the agent. They are received by the task
 * "ferrySignal" from the moment the service is built, so that a stop also
 * ends a start that waits for the API server: the task stops the API client
 * (requests in flight are aborted, retry waits end), and the main task tears
 * down what was started. A stop ends with status 0 unless a teardown step
 * fails.
 */
#define OZK_LOG_UNIT "ozkService"
#include "ozkLib.h"
#include "ozkLog.h"

#include <cerrno>
#include <csignal>

/* The fatal exit path, logged from main itself. */
#define OZK_FATAL_EXIT()                                                                                               \
    do {                                                                                                               \
        OZK_ERR("Bye ferryService!");                                                                                  \
        ozkForceShutDown();                                                                                            \
    } while (0)

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalTaskPriority = 100;
constexpr size_t kSignalTaskStack = 16 * 1024;

/* What the signal task hands to the main task. */
struct SignalWatch {
    sigset_t set;
    OZK_CLIENT_CTRL *clientCtrl;
    SEM_ID semReceived; /* given once a signal (or a failed wait) is in `signal` */
    int signal;
};

bool ozkStopSignal(int sig)
{
    for (int stop : kStopSignals) {
        if (sig == stop) {
            return true;
        }
    }
    return false;
}

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

/* The task "ferrySignal": waits for one signal of the set, stops the API
 * client when it is a stop signal, and hands it to the main task. A failed
 * wait is handed over as -1. */
int ozkSignalTask(void *arg)
{
    auto *watch = static_cast<SignalWatch *>(arg);
    int sig = ozkSignalWait(&watch->set);
    watch->signal = sig;
    if (ozkStopSignal(sig)) {
        ozkClientStop(watch->clientCtrl);
    }
    (void)semGive(watch->semReceived);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    SignalWatch watch{};
    int status = 0;

    /* the usage asked for: nothing else is done */
    if (ozkHelpAsked(argc, argv)) {
        ozkUsagePrint();
        return 0;
    }
    if (sigemptyset(&watch.set) != 0) {
        return 1;
    }
    if (sigaddset(&watch.set, SIGTERM) != 0) {
        OZK_ERR("failed to add SIGTERM to the monitor list. errno: %d", errno);
        OZK_FATAL_EXIT();
    }
    for (int sig : kStopSignals) {
        if (sigaddset(&watch.set, sig) != 0) {
            OZK_ERR("failed to add signal %d to the monitor list. errno: %d", sig, errno);
            OZK_FATAL_EXIT();
        }
    }
    if (sigprocmask(SIG_BLOCK, &watch.set, nullptr) != 0) {
        OZK_ERR("failed to set signal mask. errno: %d", errno);
        OZK_FATAL_EXIT();
    }

    OZK_CTRL *ctrl = ozkServiceInit(argc, argv);
    if (ctrl == nullptr) {
        OZK_ERR("failed to create OZK_CTRL!");
        OZK_FATAL_EXIT();
    }
    watch.clientCtrl = &ctrl->clientCtrl;
    watch.semReceived = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    TASK_ID signalTask = watch.semReceived == nullptr ? TASK_ID_NULL
                                                      : taskSpawn("ferrySignal", kSignalTaskPriority, 0,
                                                                  kSignalTaskStack, ozkSignalTask, &watch);
    if (signalTask == TASK_ID_NULL) {
        OZK_ERR("failed to start the signal task! errno: %d", errno);
        OZK_FATAL_EXIT();
    }
    if (ozkServiceStart(ctrl) != OK) {
        if (!ozkClientStopped(&ctrl->clientCtrl)) {
            OZK_ERR("failed to start ferry!");
            OZK_FATAL_EXIT();
        }
    } else {
        OZK_DEBUG("ferryService is ready.");
    }

    (void)semTake(watch.semReceived, WAIT_FOREVER);
    (void)taskWait(signalTask, WAIT_FOREVER, nullptr);
    (void)semDelete(watch.semReceived);
    if (!ozkStopSignal(watch.signal)) {
        OZK_ERR("get unexpected signal: %d", watch.signal);
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
