// Helpers shared by the platform tests.
#ifndef OZ_PLATFORM_TEST_UTIL_H
#define OZ_PLATFORM_TEST_UTIL_H

#include "ozPlatform.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace ozt {

using Ms = std::chrono::milliseconds;

inline long elapsedMs(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - since).count());
}

// Poll `cond` for up to `limitMs`.
inline bool waitFor(const std::function<bool()> &cond, int limitMs = 5000)
{
    auto start = std::chrono::steady_clock::now();
    while (!cond()) {
        if (elapsedMs(start) > limitMs)
            return false;
        usleep(1000);
    }
    return true;
}

// A task running a std::function (owned by the task).
inline int runFunction(void *arg)
{
    // Owned by the frame, so a deleted task frees it while unwinding.
    std::unique_ptr<std::function<int()>> fn(static_cast<std::function<int()> *>(arg));
    return (*fn)();
}

inline TASK_ID spawn(const char *name, std::function<int()> fn, int priority = 100)
{
    return taskSpawn(name, priority, 0, 64 * 1024, runFunction, new std::function<int()>(std::move(fn)));
}

// A name unique to this process and call, for named queues.
inline std::string uniqueName(const char *tag)
{
    static std::atomic<int> n{0};
    return "/oztest_" + std::string(tag) + "_" + std::to_string(getpid()) + "_" +
           std::to_string(n++);
}

} // namespace ozt

#endif
