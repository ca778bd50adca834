// Semaphores: time-outs, no-wait misses, ownership, hand-over order and
// deletion of a semaphore with waiters.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace ozt;

namespace {

struct SpeedupGuard {
    explicit SpeedupGuard(unsigned f) { ozClockSpeedupSet(f); }
    ~SpeedupGuard() { ozClockSpeedupSet(1); }
};

TEST(SemTest, TimedTakeTimesOutAfterAboutTheAskedTime)
{
    EXPECT_EQ(sysClkRateGet(), 100);
    SEM_ID b = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    ASSERT_NE(b, nullptr);
    // Real time: 20 ticks are 200 ms.
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(semTake(b, 20), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_TIMEOUT);
    long ms = elapsedMs(start);
    EXPECT_GE(ms, 195);
    EXPECT_LT(ms, 1000);
    {
        // Sped up 100 times: 500 ticks (5 s of target time) take 50 ms,
        // and the tick count moves by about the same 500 ticks.
        SpeedupGuard fast(100);
        uint64_t t0 = tickGet();
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(semTake(b, 500), ERROR);
        EXPECT_EQ(errno, S_objLib_OBJ_TIMEOUT);
        ms = elapsedMs(start);
        uint64_t dt = tickGet() - t0;
        EXPECT_GE(ms, 45);
        EXPECT_LT(ms, 1000);
        EXPECT_GE(dt, 500u);
        EXPECT_LT(dt, 5000u);
    }
    EXPECT_EQ(semDelete(b), OK);
}

TEST(SemTest, NoWaitMissFailsAtOnceWithItsOwnErrno)
{
    SEM_ID b = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    SEM_ID held = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    SEM_ID release = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    // Another task owns the mutex.
    TASK_ID t = spawn("tOwner", [&] {
        semTake(m, WAIT_FOREVER);
        semGive(held);
        semTake(release, WAIT_FOREVER);
        semGive(m);
        return 0;
    });
    ASSERT_NE(t, TASK_ID_NULL);
    ASSERT_EQ(semTake(held, 500), OK);

    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(semTake(b, NO_WAIT), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_UNAVAILABLE);
    errno = 0;
    EXPECT_EQ(semTake(m, NO_WAIT), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_UNAVAILABLE);
    EXPECT_NE(S_objLib_OBJ_UNAVAILABLE, S_objLib_OBJ_TIMEOUT);
    EXPECT_LT(elapsedMs(start), 50);
    // Only the owner gives a mutex.
    EXPECT_EQ(semGive(m), ERROR);

    semGive(release);
    EXPECT_EQ(taskWait(t, 500, nullptr), OK);
    EXPECT_EQ(semTake(m, NO_WAIT), OK); // given back by its owner
    // A full binary semaphore is taken once.
    EXPECT_EQ(semGive(b), OK);
    EXPECT_EQ(semGive(b), OK);
    EXPECT_EQ(semTake(b, NO_WAIT), OK);
    EXPECT_EQ(semTake(b, NO_WAIT), ERROR);
    for (SEM_ID s : {b, m, held, release})
        EXPECT_EQ(semDelete(s), OK);
    errno = 0;
    EXPECT_EQ(semTake(nullptr, NO_WAIT), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_ID_ERROR);
}

TEST(SemTest, MutexIsOwnerRecursive)
{
    SEM_ID m = semMCreate(SEM_Q_FIFO | SEM_DELETE_SAFE);
    ASSERT_EQ(semTake(m, NO_WAIT), OK);
    ASSERT_EQ(semTake(m, NO_WAIT), OK);
    std::atomic<int> got{-2};
    TASK_ID t = spawn("tOther", [&] {
        got = semTake(m, NO_WAIT);
        return 0;
    });
    ASSERT_EQ(taskWait(t, 500, nullptr), OK);
    EXPECT_EQ(got.load(), ERROR);
    EXPECT_EQ(semGive(m), OK);
    // Still held once: another task cannot take it yet.
    t = spawn("tOther2", [&] {
        got = semTake(m, NO_WAIT);
        if (got == OK)
            semGive(m);
        return 0;
    });
    ASSERT_EQ(taskWait(t, 500, nullptr), OK);
    EXPECT_EQ(got.load(), ERROR);
    EXPECT_EQ(semGive(m), OK);
    t = spawn("tOther3", [&] {
        got = semTake(m, NO_WAIT);
        if (got == OK)
            semGive(m);
        return 0;
    });
    ASSERT_EQ(taskWait(t, 500, nullptr), OK);
    EXPECT_EQ(got.load(), OK);
    EXPECT_EQ(semGive(m), ERROR); // not held any more
    semDelete(m);
}

// Waiters are served in FIFO order, or by priority with SEM_Q_PRIORITY.
void checkOrder(int options, const std::vector<int> &priorities, const std::vector<int> &expected)
{
    SEM_ID s = semBCreate(options, SEM_EMPTY);
    std::mutex lock;
    std::vector<int> order;
    std::vector<TASK_ID> tasks;
    for (size_t i = 0; i < priorities.size(); i++) {
        // Each one blocks before the next one comes.
        tasks.push_back(spawnBlocked(
            "tWaiter",
            [&, i] {
                if (semTake(s, WAIT_FOREVER) != OK)
                    return 1;
                std::lock_guard<std::mutex> g(lock);
                order.push_back(static_cast<int>(i));
                return 0;
            },
            priorities[i]));
    }
    for (size_t i = 0; i < priorities.size(); i++) {
        semGive(s);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> g(lock);
            return order.size() == i + 1;
        }));
    }
    EXPECT_EQ(order, expected);
    for (TASK_ID t : tasks)
        EXPECT_EQ(taskWait(t, 500, nullptr), OK);
    semDelete(s);
}

TEST(SemTest, WaitersAreServedInQueueOrder)
{
    checkOrder(SEM_Q_FIFO, {100, 50, 150, 10}, {0, 1, 2, 3});
    checkOrder(SEM_Q_PRIORITY, {100, 50, 150, 50}, {1, 3, 0, 2});
}

TEST(SemTest, DeleteWakesWaitersWithDeletedErrno)
{
    SEM_ID b = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    std::atomic<int> woke{0};
    std::vector<TASK_ID> tasks;
    for (int i = 0; i < 3; i++)
        tasks.push_back(spawn("tDelWait", [&] {
            if (semTake(b, WAIT_FOREVER) == ERROR && errno == S_objLib_OBJ_DELETED)
                woke++;
            return 0;
        }));
    taskDelay(5);
    EXPECT_EQ(semDelete(b), OK);
    for (TASK_ID t : tasks)
        EXPECT_EQ(taskWait(t, 500, nullptr), OK);
    EXPECT_EQ(woke.load(), 3);
    errno = 0;
    EXPECT_EQ(semDelete(b), ERROR); // stale handle
    EXPECT_EQ(errno, S_objLib_OBJ_ID_ERROR);
}

} // namespace
