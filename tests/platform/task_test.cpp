// Tasks: creation, activation, waiting for the end, and safe deletion.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

using namespace ozt;

namespace {

TEST(TaskTest, SpawnRunsAndWaitReturnsExitCode)
{
    std::atomic<int> ran{0};
    TASK_ID t = spawn("tWorker", [&] {
        ran = 1;
        taskDelay(5);
        return 42;
    });
    ASSERT_NE(t, TASK_ID_NULL);
    EXPECT_STREQ(taskName(t), "tWorker");
    errno = 0;
    EXPECT_EQ(taskWait(t, NO_WAIT, nullptr), ERROR);
    EXPECT_EQ(errno, ETIMEDOUT);
    int code = 0;
    EXPECT_EQ(taskWait(t, 200, &code), OK);
    EXPECT_EQ(code, 42);
    EXPECT_EQ(ran.load(), 1);
    // Reclaimed: the id is no longer known.
    EXPECT_EQ(taskName(t), nullptr);
    EXPECT_EQ(taskWait(t, NO_WAIT, nullptr), ERROR);
    EXPECT_EQ(taskWait(taskIdSelf(), NO_WAIT, nullptr), ERROR);
    EXPECT_EQ(errno, EDEADLK);
    // Refused arguments.
    EXPECT_EQ(taskSpawn("x", 300, 0, 0, runFunction, nullptr), TASK_ID_NULL);
    EXPECT_EQ(taskSpawn("x", 100, 0, 0, nullptr, nullptr), TASK_ID_NULL);
    EXPECT_EQ(errno, EINVAL);
}

TEST(TaskTest, CreatedTaskRunsOnlyAfterActivate)
{
    std::atomic<TASK_ID> seenSelf{TASK_ID_NULL};
    TASK_ID t = taskCreate("tSuspended", 120, 0, 0, runFunction, new std::function<int()>([&] {
                               seenSelf = taskIdSelf();
                               return 7;
                           }));
    ASSERT_NE(t, TASK_ID_NULL);
    taskDelay(5);
    EXPECT_EQ(seenSelf.load(), TASK_ID_NULL);
    EXPECT_EQ(taskActivate(t), OK);
    int code = 0;
    EXPECT_EQ(taskWait(t, 200, &code), OK);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(seenSelf.load(), t);

    // A created task deleted before activation never runs.
    std::atomic<int> ran{0};
    auto *neverRun = new std::function<int()>([&] {
        ran = 1;
        return 0;
    });
    t = taskCreate("tNever", 120, 0, 0, runFunction, neverRun);
    EXPECT_EQ(taskDelete(t), OK);
    EXPECT_EQ(taskWait(t, 200, nullptr), OK);
    EXPECT_EQ(ran.load(), 0);
    if (ran.load() == 0)
        delete neverRun; // the entry that would have owned it never ran
}

// A task blocked in each kind of platform wait ends when deleted, and the
// mutex it holds is released.
TEST(TaskTest, DeletingABlockedTaskEndsItAndReleasesItsMutex)
{
    SEM_ID m = semMCreate(SEM_Q_FIFO);
    SEM_ID never = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    MSG_Q_ID q = msgQCreate(4, 16, MSG_Q_FIFO);
    enum Where { SEM, QUEUE, DELAY, TASKWAIT };
    for (Where where : {SEM, QUEUE, DELAY, TASKWAIT}) {
        SCOPED_TRACE(where);
        std::atomic<int> reached{0};
        std::atomic<int> after{0};
        TASK_ID other = spawn("tLong", [] { return taskDelay(WAIT_FOREVER); });
        TASK_ID t = spawn("tBlocked", [&] {
            semTake(m, WAIT_FOREVER);
            semTake(m, WAIT_FOREVER); // held twice
            reached = 1;
            char buf[16];
            switch (where) {
            case SEM:
                semTake(never, WAIT_FOREVER);
                break;
            case QUEUE:
                msgQReceive(q, buf, sizeof buf, WAIT_FOREVER);
                break;
            case DELAY:
                taskDelay(WAIT_FOREVER);
                break;
            case TASKWAIT:
                taskWait(other, WAIT_FOREVER, nullptr);
                break;
            }
            after = 1;
            return 0;
        });
        ASSERT_TRUE(waitFor([&] { return reached.load() == 1; }));
        taskDelay(2);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(taskDelete(t), OK);
        EXPECT_LT(elapsedMs(start), 1000);
        // Ended by the time taskDelete returns.
        int code = 0;
        EXPECT_EQ(taskWait(t, NO_WAIT, &code), OK);
        EXPECT_EQ(code, ERROR);
        EXPECT_EQ(after.load(), 0);
        EXPECT_EQ(semTake(m, NO_WAIT), OK) << "the deleted task's mutex is free";
        EXPECT_EQ(semGive(m), OK);
        EXPECT_EQ(taskDelete(other), OK);
        EXPECT_EQ(taskWait(other, 100, nullptr), OK);
    }
    // The queue and semaphore still work for others.
    EXPECT_EQ(msgQSend(q, "x", 1, NO_WAIT, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(msgQNumMsgs(q), 1);
    msgQDelete(q);
    semDelete(never);
    semDelete(m);
}

// A task running outside platform waits (as inside a library call) is not
// stopped there: it ends at its next wait.
TEST(TaskTest, RunningTaskEndsOnlyAtItsNextWait)
{
    std::atomic<int> stage{0};
    std::atomic<bool> go{false};
    TASK_ID t = spawn("tBusy", [&] {
        stage = 1;
        while (!go.load())
            ; // busy, no platform call
        stage = 2;
        taskDelay(1);
        stage = 3;
        return 0;
    });
    ASSERT_TRUE(waitFor([&] { return stage.load() == 1; }));
    std::atomic<bool> deleted{false};
    TASK_ID deleter = spawn("tDeleter", [&] {
        taskDelete(t);
        deleted = true;
        return 0;
    });
    usleep(30000);
    EXPECT_FALSE(deleted.load()) << "the deleter waits for the end";
    EXPECT_EQ(stage.load(), 1);
    go = true;
    ASSERT_TRUE(waitFor([&] { return deleted.load(); }));
    EXPECT_EQ(stage.load(), 2);
    EXPECT_EQ(taskWait(deleter, 100, nullptr), OK);
    EXPECT_EQ(taskWait(t, 100, nullptr), OK);
}

// Work outside the platform's waits (a network transfer) can ask whether a
// deletion is pending and give up early; the task then ends at its wait.
TEST(TaskTest, ABusyTaskSeesItsPendingDeletion)
{
    std::atomic<int> stage{0};
    std::atomic<int> pendingBefore{-1};
    TASK_ID t = spawn("tBusyAsk", [&] {
        pendingBefore = taskDeletePending();
        stage = 1;
        while (!taskDeletePending())
            ; // busy, no platform wait
        stage = 2;
        taskDelay(WAIT_FOREVER); // ends here
        stage = 3;
        return 0;
    });
    ASSERT_TRUE(waitFor([&] { return stage.load() == 1; }));
    EXPECT_EQ(pendingBefore.load(), FALSE);
    EXPECT_EQ(taskDeletePending(), FALSE); // the caller's own state
    EXPECT_EQ(taskDelete(t), OK);
    EXPECT_EQ(stage.load(), 2);
    EXPECT_EQ(taskWait(t, 100, nullptr), OK);
}

// While the task holds a deletion-safe mutex (or is taskSafe), deletion
// waits; once released, the task ends at its next wait.
TEST(TaskTest, DeletionWaitsWhileProtected)
{
    for (bool useTaskSafe : {false, true}) {
        SCOPED_TRACE(useTaskSafe ? "taskSafe" : "delete-safe mutex");
        SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_DELETE_SAFE | SEM_INVERSION_SAFE);
        SEM_ID go = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        std::atomic<int> stage{0};
        TASK_ID t = spawn("tSafe", [&] {
            if (useTaskSafe)
                taskSafe();
            else
                semTake(m, WAIT_FOREVER);
            stage = 1;
            semTake(go, WAIT_FOREVER); // protected: deletion does not end it here
            stage = 2;
            if (useTaskSafe)
                taskUnsafe();
            else
                semGive(m);
            stage = 3;
            taskDelay(WAIT_FOREVER); // ends here
            stage = 4;
            return 0;
        });
        ASSERT_TRUE(waitFor([&] { return stage.load() == 1; }));
        std::atomic<bool> deleted{false};
        TASK_ID deleter = spawn("tDeleter", [&] {
            taskDelete(t);
            deleted = true;
            return 0;
        });
        taskDelay(5);
        EXPECT_FALSE(deleted.load());
        EXPECT_EQ(stage.load(), 1);
        EXPECT_EQ(semGive(go), OK);
        ASSERT_TRUE(waitFor([&] { return deleted.load(); }));
        EXPECT_EQ(stage.load(), 3);
        EXPECT_EQ(taskWait(deleter, 100, nullptr), OK);
        EXPECT_EQ(taskWait(t, 100, nullptr), OK);
        EXPECT_EQ(semTake(m, NO_WAIT), OK);
        semGive(m);
        semDelete(go);
        semDelete(m);
    }
}

TEST(TaskTest, SelfDeletionEndsTheCaller)
{
    std::atomic<int> after{0};
    TASK_ID t = spawn("tSelf", [&] {
        taskDelete(taskIdSelf());
        after = 1;
        return 0;
    });
    int code = 0;
    EXPECT_EQ(taskWait(t, 200, &code), OK);
    EXPECT_EQ(after.load(), 0);
    EXPECT_EQ(code, ERROR);
    EXPECT_EQ(taskUnsafe(), ERROR); // not protected: nothing to undo
}

} // namespace
