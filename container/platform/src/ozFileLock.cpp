/*
 * ozFileLock.cpp - exclusive file locks shared by tasks and processes.
 *
 * A lock is an open file description with flock(2) on it: locks of two
 * descriptions exclude each other even within one process (unlike record
 * locks), and the kernel drops the lock when its holder dies, so a killed
 * process never leaves a lock behind. The take polls with platform delays
 * instead of blocking in the kernel, which keeps a waiting task deletable.
 */
#include "ozPlatformInt.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

/* First and longest pause between two tries, in milliseconds. */
constexpr int kFirstPauseMs = 2;
constexpr int kLongestPauseMs = 50;

int msToTicks(int ms)
{
    int ticks = ms * sysClkRateGet() / 1000;
    return ticks > 0 ? ticks : 1;
}

} // namespace

int ozFileLockTake(const char *path, int timeoutTicks)
{
    if (path == nullptr || *path == '\0' || (timeoutTicks < 0 && timeoutTicks != WAIT_FOREVER)) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    uint64_t start = tickGet();
    int pauseMs = kFirstPauseMs;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        int err = errno;
        if (err != EWOULDBLOCK && err != EINTR) {
            close(fd);
            errno = err;
            return -1;
        }
        if (timeoutTicks == NO_WAIT) {
            close(fd);
            errno = S_objLib_OBJ_UNAVAILABLE;
            return -1;
        }
        int pause = msToTicks(pauseMs);
        if (timeoutTicks != WAIT_FOREVER) {
            uint64_t waited = tickGet() - start;
            if (waited >= static_cast<uint64_t>(timeoutTicks)) {
                close(fd);
                errno = S_objLib_OBJ_TIMEOUT;
                return -1;
            }
            pause = std::min<int>(pause, static_cast<int>(timeoutTicks - waited));
        }
        /* A deletion ends the task in this delay: the descriptor is closed
         * as the stack unwinds. */
        struct Closer {
            int fd;
            bool armed = true;
            ~Closer()
            {
                if (armed)
                    close(fd);
            }
        } closer{fd};
        taskDelay(pause);
        closer.armed = false;
        pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
    }
}

STATUS ozFileLockGive(int lockId)
{
    if (lockId < 0) {
        errno = EINVAL;
        return ERROR;
    }
    /* Closing the only descriptor of the description releases the lock. */
    return close(lockId) == 0 ? OK : ERROR;
}
