// Message queues: anonymous queues in one process, named public queues
// between processes.
#include "platformTestUtil.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

using namespace ozt;

namespace {

// Child role, run when this program is started with OZ_MSGQ_CHILD set:
// receive one request on the named queue and answer it, upper-cased, on
// the reply queue. Both queues exist already.
int childEcho(const char *reqName, const char *replyName)
{
    MSG_Q_ID req = msgQOpen(reqName, 0, 0, MSG_Q_FIFO, 0);
    MSG_Q_ID rep = msgQOpen(replyName, 0, 0, MSG_Q_FIFO, 0);
    if (req == nullptr || rep == nullptr)
        return 10;
    char buf[64];
    ssize_t n = msgQReceive(req, buf, sizeof buf, 5 * sysClkRateGet());
    if (n < 0)
        return 11;
    for (ssize_t i = 0; i < n; i++)
        buf[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(buf[i])));
    if (msgQSend(rep, buf, static_cast<size_t>(n), 5 * sysClkRateGet(), MSG_PRI_NORMAL) != OK)
        return 12;
    msgQClose(req);
    msgQClose(rep);
    return 0;
}

struct ChildRole {
    ChildRole()
    {
        const char *role = std::getenv("OZ_MSGQ_CHILD");
        if (role != nullptr && std::strcmp(role, "echo") == 0)
            std::exit(childEcho(std::getenv("OZ_MSGQ_REQ"), std::getenv("OZ_MSGQ_REPLY")));
    }
} childRole;

TEST(MsgQTest, AnonymousQueueOrderLimitsAndTimeOuts)
{
    MSG_Q_ID q = msgQCreate(2, 8, MSG_Q_FIFO);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(msgQSend(q, "one", 3, NO_WAIT, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(msgQSend(q, "urgent", 6, NO_WAIT, MSG_PRI_URGENT), OK);
    errno = 0;
    EXPECT_EQ(msgQSend(q, "full", 4, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_UNAVAILABLE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(msgQSend(q, "full", 4, 5, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_TIMEOUT);
    EXPECT_GE(elapsedMs(start), 45);
    EXPECT_EQ(msgQSend(q, "123456789", 9, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(msgQNumMsgs(q), 2);

    char buf[16] = {};
    EXPECT_EQ(msgQReceive(q, buf, sizeof buf, NO_WAIT), 6);
    EXPECT_EQ(std::string(buf, 6), "urgent");
    // A short buffer gets the head of the message.
    EXPECT_EQ(msgQReceive(q, buf, 2, NO_WAIT), 2);
    EXPECT_EQ(std::string(buf, 2), "on");
    errno = 0;
    EXPECT_EQ(msgQReceive(q, buf, sizeof buf, NO_WAIT), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_UNAVAILABLE);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(msgQReceive(q, buf, sizeof buf, 5), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_TIMEOUT);
    EXPECT_GE(elapsedMs(start), 45);
    EXPECT_EQ(msgQDelete(q), OK);
    EXPECT_EQ(msgQNumMsgs(q), ERROR);
    EXPECT_EQ(msgQCreate(0, 8, MSG_Q_FIFO), nullptr);
}

TEST(MsgQTest, BlockedSendersAndReceiversAreServedInOrder)
{
    MSG_Q_ID q = msgQCreate(1, 4, MSG_Q_FIFO);
    // A blocked sender's message enters the queue as soon as there is room.
    ASSERT_EQ(msgQSend(q, "a", 1, NO_WAIT, MSG_PRI_NORMAL), OK);
    TASK_ID sender = spawn("tSender", [&] { return msgQSend(q, "b", 1, WAIT_FOREVER, MSG_PRI_NORMAL); });
    taskDelay(3);
    char c = 0;
    EXPECT_EQ(msgQReceive(q, &c, 1, NO_WAIT), 1);
    EXPECT_EQ(c, 'a');
    int code = -5;
    EXPECT_EQ(taskWait(sender, 100, &code), OK);
    EXPECT_EQ(code, OK);
    EXPECT_EQ(msgQReceive(q, &c, 1, NO_WAIT), 1);
    EXPECT_EQ(c, 'b');

    // Receivers blocked in turn get the messages in turn.
    std::vector<char> got(3, 0);
    std::vector<TASK_ID> rx;
    for (int i = 0; i < 3; i++)
        rx.push_back(spawnBlocked(
            "tRx", [&, i] { return msgQReceive(q, &got[static_cast<size_t>(i)], 1, WAIT_FOREVER) == 1 ? 0 : 1; }));
    for (char m : {'x', 'y', 'z'})
        EXPECT_EQ(msgQSend(q, &m, 1, 100, MSG_PRI_NORMAL), OK);
    for (TASK_ID t : rx) {
        EXPECT_EQ(taskWait(t, 200, &code), OK);
        EXPECT_EQ(code, 0);
    }
    EXPECT_EQ(std::string(got.begin(), got.end()), "xyz");

    // Deleting the queue wakes its receivers with the deleted errno.
    std::atomic<int> err{0};
    TASK_ID r = spawnBlocked("tRxDel", [&] {
        char b;
        if (msgQReceive(q, &b, 1, WAIT_FOREVER) == ERROR)
            err = errno;
        return 0;
    });
    EXPECT_EQ(msgQDelete(q), OK);
    EXPECT_EQ(taskWait(r, 200, nullptr), OK);
    EXPECT_EQ(err.load(), S_objLib_OBJ_DELETED);
}

TEST(MsgQTest, NamedQueueCarriesMessagesBetweenProcesses)
{
    std::string req = uniqueName("req");
    std::string rep = uniqueName("rep");
    MSG_Q_ID rq = msgQOpen(req.c_str(), 4, 32, MSG_Q_FIFO, OM_CREATE | OM_EXCL);
    ASSERT_NE(rq, nullptr) << strerror(errno);
    MSG_Q_ID pq = msgQOpen(rep.c_str(), 4, 32, MSG_Q_FIFO, OM_CREATE | OM_EXCL);
    ASSERT_NE(pq, nullptr) << strerror(errno);

    // A second exclusive create is refused; a plain open finds it.
    errno = 0;
    EXPECT_EQ(msgQOpen(req.c_str(), 4, 32, MSG_Q_FIFO, OM_CREATE | OM_EXCL), nullptr);
    EXPECT_EQ(errno, EEXIST);
    MSG_Q_ID again = msgQOpen(req.c_str(), 1, 1, MSG_Q_FIFO, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(msgQClose(again), OK);
    errno = 0;
    EXPECT_EQ(msgQOpen((req + "x").c_str(), 4, 32, MSG_Q_FIFO, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(msgQOpen("noslash", 4, 32, MSG_Q_FIFO, OM_CREATE), nullptr);
    EXPECT_EQ(msgQOpen("/a/b", 4, 32, MSG_Q_FIFO, OM_CREATE), nullptr);

    std::string envRole = "OZ_MSGQ_CHILD=echo", envReq = "OZ_MSGQ_REQ=" + req, envRep = "OZ_MSGQ_REPLY=" + rep;
    std::vector<char *> envp{envRole.data(), envReq.data(), envRep.data(), nullptr};
    char self[] = "/proc/self/exe";
    char *argv[] = {self, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()), 0);

    EXPECT_EQ(msgQSend(rq, "hello", 5, 100, MSG_PRI_NORMAL), OK);
    char buf[64] = {};
    ssize_t n = msgQReceive(pq, buf, sizeof buf, 5 * sysClkRateGet());
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "HELLO");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Limits and time-outs of named queues.
    errno = 0;
    EXPECT_EQ(msgQReceive(pq, buf, sizeof buf, NO_WAIT), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_UNAVAILABLE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(msgQReceive(pq, buf, sizeof buf, 5), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_TIMEOUT);
    EXPECT_GE(elapsedMs(start), 45);
    std::string big(33, 'b');
    EXPECT_EQ(msgQSend(pq, big.data(), big.size(), NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, EMSGSIZE);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(msgQSend(pq, "m", 1, NO_WAIT, i == 3 ? MSG_PRI_URGENT : MSG_PRI_NORMAL), OK);
    EXPECT_EQ(msgQNumMsgs(pq), 4);
    EXPECT_EQ(msgQSend(pq, "m", 1, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(errno, S_objLib_OBJ_UNAVAILABLE);

    int maxMsgs = 0, maxLen = 0;
    EXPECT_EQ(msgQSystemLimitsGet(&maxMsgs, &maxLen), OK);
    EXPECT_GE(maxMsgs, 4);
    EXPECT_GE(maxLen, 32);

    EXPECT_EQ(msgQClose(rq), OK);
    EXPECT_EQ(msgQClose(pq), OK);
    EXPECT_EQ(msgQUnlink(req.c_str()), OK);
    EXPECT_EQ(msgQUnlink(rep.c_str()), OK);
    EXPECT_EQ(msgQUnlink(rep.c_str()), ERROR);
    EXPECT_EQ(errno, ENOENT);
}

TEST(MsgQTest, DeletingATaskBlockedOnANamedQueueEndsIt)
{
    std::string name = uniqueName("del");
    MSG_Q_ID q = msgQOpen(name.c_str(), 2, 8, MSG_Q_FIFO, OM_CREATE | OM_EXCL);
    ASSERT_NE(q, nullptr);
    std::atomic<int> after{0};
    TASK_ID t = spawn("tNamedRx", [&] {
        char b[8];
        msgQReceive(q, b, sizeof b, WAIT_FOREVER);
        after = 1;
        return 0;
    });
    taskDelay(3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(taskDelete(t), OK);
    EXPECT_LT(elapsedMs(start), 1000);
    EXPECT_EQ(taskWait(t, NO_WAIT, nullptr), OK);
    EXPECT_EQ(after.load(), 0);
    msgQClose(q);
    msgQUnlink(name.c_str());
}

} // namespace
