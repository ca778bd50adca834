/* ozcd - the runtime daemon.
 *
 *   ozcd [--help]
 *
 * Runs ozcDaemonTask(): owns the container list and serves the public
 * request queue "/ozc" (or the queue named by OZC_DAEMON_QUEUE) until
 * SIGTERM or SIGINT, then deletes the queue and exits with 0. Refuses to
 * start, with exit status 1, when the queue is already served by a live
 * daemon or the system's message-queue limits cannot hold the protocol's
 * queues. A queue left behind by a daemon that died is removed first.
 */
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "ozcontainer.h"

namespace {

/* Depth of the request queue and of a client's info queue: the largest
 * depth that any queue of the protocol asks for. */
constexpr int kNeededDepth = OZC_REQ_Q_DEPTH;
constexpr int kNeededSize = OZC_MSG_SIZE;

void usage(FILE *out)
{
    fprintf(out, "Usage: ozcd [options]\n"
                 "Runs the container runtime daemon in the foreground: it owns the\n"
                 "containers and serves the request queue until SIGTERM or SIGINT.\n"
                 "Options:\n"
                 "  -h, --help   this text\n"
                 "Environment: OZC_DAEMON_QUEUE (request queue name, default /ozc),\n"
                 "OZC_BASE (runtime base directory), OZ_OVERLAY_DEV_DIR.\n");
}

struct SignalWaiter {
    sigset_t set;
    /* A copy: the name the daemon's lookups return lives in a buffer of the
     * calling thread, which the daemon task rewrites while this task reads.
     * A plain array, so nothing is freed at exit while this task may read. */
    char queue[64] = {};
    std::atomic<bool> daemonEnded{false};
    std::atomic<int> signo{0};
};

int pollTicks()
{
    return sysClkRateGet() / 100 > 0 ? sysClkRateGet() / 100 : 1;
}

/* Announces the daemon once its queue exists, then waits for SIGTERM or
 * SIGINT (kept pending meanwhile) and stops the daemon loop. The stop is
 * repeated until it is accepted, so a signal that arrives while the daemon
 * is still starting is not lost. */
int signalTask(void *arg)
{
    auto *w = static_cast<SignalWaiter *>(arg);
    while (!w->daemonEnded) {
        MSG_Q_ID q = msgQOpen(w->queue, OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, 0);
        if (q != nullptr) {
            msgQClose(q);
            printf("ozcd: serving %s (pid %d)\n", w->queue, (int)getpid());
            fflush(stdout);
            break;
        }
        taskDelay(pollTicks());
    }
    int sig = 0;
    if (sigwait(&w->set, &sig) != 0)
        return ERROR;
    w->signo = sig;
    while (!w->daemonEnded && ozcDaemonStop() != OK)
        taskDelay(pollTicks());
    return OK;
}

bool limitsSufficient(const char *queue)
{
    int maxMsgs = 0;
    int maxLen = 0;
    if (msgQSystemLimitsGet(&maxMsgs, &maxLen) != OK) {
        fprintf(stderr, "ozcd: cannot read the system's message-queue limits: %s\n", strerror(errno));
        return false;
    }
    if (maxMsgs < kNeededDepth || maxLen < kNeededSize) {
        fprintf(stderr,
                "ozcd: the system's message-queue limits are too small for %s: "
                "at most %d messages of %d bytes per queue, the daemon needs %d messages "
                "of %d bytes (raise fs.mqueue.msg_max and fs.mqueue.msgsize_max)\n",
                queue, maxMsgs, maxLen, kNeededDepth, kNeededSize);
        return false;
    }
    return true;
}

/* True when nobody serves the queue: it is absent, or left behind by a
 * daemon that is gone (then it is removed). */
bool queueFree(const char *queue)
{
    MSG_Q_ID q = msgQOpen(queue, OZC_REQ_Q_DEPTH, OZC_MSG_SIZE, MSG_Q_PRIORITY, 0);
    if (q == nullptr)
        return true;
    msgQClose(q);
    if (ozcDaemonIsAlive()) {
        fprintf(stderr, "ozcd: %s is already served by a running daemon\n", queue);
        return false;
    }
    if (msgQUnlink(queue) != OK && errno != ENOENT) {
        fprintf(stderr, "ozcd: cannot remove the stale queue %s: %s\n", queue, strerror(errno));
        return false;
    }
    fprintf(stderr, "ozcd: removed the queue %s left by a daemon that is gone\n", queue);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    static const option longOpts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "h", longOpts, nullptr)) != -1) {
        if (c == 'h') {
            usage(stdout);
            return 0;
        }
        usage(stderr);
        return 2;
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }

    /* Blocked before any task starts, so every task inherits the mask and
     * only the signal task takes them. */
    static SignalWaiter waiter;
    sigemptyset(&waiter.set);
    sigaddset(&waiter.set, SIGTERM);
    sigaddset(&waiter.set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &waiter.set, nullptr) != 0) {
        fprintf(stderr, "ozcd: cannot block SIGTERM: %s\n", strerror(errno));
        return 1;
    }

    const char *queue = ozcDaemonQueueName();
    if (!limitsSufficient(queue) || !queueFree(queue))
        return 1;

    if (snprintf(waiter.queue, sizeof(waiter.queue), "%s", queue) >= (int)sizeof(waiter.queue)) {
        fprintf(stderr, "ozcd: the queue name %s is too long\n", queue);
        return 1;
    }
    TASK_ID sigTask = taskSpawn("ozcdSignal", 100, 0, 64 * 1024, signalTask, &waiter);
    if (sigTask == TASK_ID_NULL) {
        fprintf(stderr, "ozcd: cannot start the signal task: %s\n", strerror(errno));
        return 1;
    }

    ozcDaemonTask();
    int err = errno;
    waiter.daemonEnded = true;
    if (waiter.signo == 0) {
        if (err == EEXIST)
            fprintf(stderr, "ozcd: %s is already served by a running daemon\n", queue);
        else
            fprintf(stderr, "ozcd: the daemon ended: %s\n", strerror(err));
        return 1;
    }
    taskWait(sigTask, sysClkRateGet(), nullptr);
    printf("ozcd: stopped by signal %d, %s removed\n", waiter.signo.load(), queue);
    return 0;
}
