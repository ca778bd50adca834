/*
 * faultshim.cpp - fault injection for the node agent's process tests,
 * loaded into ferryService with LD_PRELOAD.
 *
 * FERRY_FAULT names the call that fails, for taskSpawn with the task name:
 *   sigemptyset, sigaddset, sigprocmask, sigtimedwait,
 *   taskSpawn:<task name>, msgQCreate, msgQDelete, sslConfig_create
 * The failing call of sigaddset, sigprocmask and sigtimedwait returns -1 with
 * errno EINVAL. msgQDelete releases the queue first and then reports a
 * failure, so the failing teardown step leaks nothing.
 */
#include <ozPlatform.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

/* True when FERRY_FAULT names `call` (and, when given, this `detail`). */
bool faultOn(const char *call, const char *detail = nullptr)
{
    const char *spec = getenv("FERRY_FAULT");
    if (spec == nullptr) {
        return false;
    }
    std::string text(spec);
    std::string name = text.substr(0, text.find(':'));
    if (name != call) {
        return false;
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos || detail == nullptr) {
        return true;
    }
    return text.substr(colon + 1) == detail;
}

template <typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int sigemptyset(sigset_t *set)
{
    if (faultOn("sigemptyset")) {
        errno = EINVAL;
        return -1;
    }
    return next<int (*)(sigset_t *)>("sigemptyset")(set);
}

int sigaddset(sigset_t *set, int sig)
{
    if (faultOn("sigaddset")) {
        errno = EINVAL;
        return -1;
    }
    return next<int (*)(sigset_t *, int)>("sigaddset")(set, sig);
}

int sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
    if (faultOn("sigprocmask")) {
        errno = EINVAL;
        return -1;
    }
    return next<int (*)(int, const sigset_t *, sigset_t *)>("sigprocmask")(how, set, old);
}

int sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *timeout)
{
    if (faultOn("sigtimedwait")) {
        errno = EINVAL;
        return -1;
    }
    return next<int (*)(const sigset_t *, siginfo_t *, const struct timespec *)>("sigtimedwait")(set, info, timeout);
}

TASK_ID taskSpawn(const char *name, int priority, int options, size_t stackSize, OZ_TASK_ENTRY entry, void *arg)
{
    if (name != nullptr && faultOn("taskSpawn", name)) {
        errno = ENOMEM;
        return TASK_ID_NULL;
    }
    return next<TASK_ID (*)(const char *, int, int, size_t, OZ_TASK_ENTRY, void *)>("taskSpawn")(
        name, priority, options, stackSize, entry, arg);
}

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options)
{
    if (faultOn("msgQCreate")) {
        errno = ENOMEM;
        return nullptr;
    }
    return next<MSG_Q_ID (*)(int, int, int)>("msgQCreate")(maxMsgs, maxMsgLength, options);
}

STATUS msgQDelete(MSG_Q_ID id)
{
    STATUS status = next<STATUS (*)(MSG_Q_ID)>("msgQDelete")(id);
    if (faultOn("msgQDelete")) {
        errno = EINVAL;
        return ERROR;
    }
    return status;
}

/* The client library's TLS configuration (as if out of memory). */
struct sslConfig_t;
sslConfig_t *sslConfig_create(const char *cert, const char *key, const char *ca, int insecure)
{
    if (faultOn("sslConfig_create")) {
        errno = ENOMEM;
        return nullptr;
    }
    return next<sslConfig_t *(*)(const char *, const char *, const char *, int)>("sslConfig_create")(cert, key, ca,
                                                                                                     insecure);
}

} // extern "C"
