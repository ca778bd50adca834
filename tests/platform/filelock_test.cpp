// File locks: exclusion between tasks of one process and between processes,
// time-outs, release when the holder dies, deletion of a waiting task.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace ozt;

namespace {

class FileLockTest : public ::testing::Test {
protected:
    oztest::TempDir tmp{"ozlock"};
    std::string path = tmp.path() + "/image.lock";
};

TEST_F(FileLockTest, TasksOfOneProcessExcludeEachOther)
{
    int held = ozFileLockTake(path.c_str(), WAIT_FOREVER);
    ASSERT_GE(held, 0);
    errno = 0;
    EXPECT_EQ(-1, ozFileLockTake(path.c_str(), NO_WAIT));
    EXPECT_EQ(S_objLib_OBJ_UNAVAILABLE, errno);
    EXPECT_EQ(-1, ozFileLockTake(path.c_str(), 2));
    EXPECT_EQ(S_objLib_OBJ_TIMEOUT, errno);

    /* A waiter gets the lock once it is given back, not before. */
    std::atomic<int> got{0};
    TASK_ID waiter = spawn("tLockWait", [&] {
        int id = ozFileLockTake(path.c_str(), WAIT_FOREVER);
        got = 1;
        return ozFileLockGive(id);
    });
    ASSERT_NE(TASK_ID_NULL, waiter);
    taskDelay(sysClkRateGet() / 10);
    EXPECT_EQ(0, got.load());
    EXPECT_EQ(OK, ozFileLockGive(held));
    int code = -1;
    ASSERT_EQ(OK, taskWait(waiter, 10 * sysClkRateGet(), &code));
    EXPECT_EQ(OK, code);
    EXPECT_EQ(1, got.load());

    /* Refused arguments; a link is never followed. */
    EXPECT_EQ(-1, ozFileLockTake(nullptr, NO_WAIT));
    EXPECT_EQ(-1, ozFileLockTake(path.c_str(), -5));
    EXPECT_EQ(ERROR, ozFileLockGive(-1));
    std::string link = tmp.path() + "/link.lock";
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
    EXPECT_EQ(-1, ozFileLockTake(link.c_str(), NO_WAIT));
}

TEST_F(FileLockTest, AProcessThatDiesLeavesNoLockAndADeletedWaiterNoDescriptor)
{
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        if (ozFileLockTake(path.c_str(), NO_WAIT) < 0)
            _exit(1);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    close(ready[1]);
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    EXPECT_EQ(-1, ozFileLockTake(path.c_str(), NO_WAIT)) << "held by the other process";

    /* A task waiting for it is deleted in its wait. */
    TASK_ID waiter = spawn("tLockDel", [&] { return ozFileLockTake(path.c_str(), WAIT_FOREVER); });
    ASSERT_NE(TASK_ID_NULL, waiter);
    taskDelay(sysClkRateGet() / 20);
    EXPECT_EQ(OK, taskDelete(waiter));

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    int id = ozFileLockTake(path.c_str(), 5 * sysClkRateGet());
    EXPECT_GE(id, 0) << "the dead holder's lock is gone";
    EXPECT_EQ(OK, ozFileLockGive(id));
}

} // namespace
