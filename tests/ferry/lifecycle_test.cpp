/*
 * lifecycle_test.cpp - start, wait and shutdown of ferryService as a process
 * against the API server emulator: the graceful path on SIGTERM, the fatal
 * exit path of every failing step (faults injected by the preloaded shim),
 * a failing teardown step, and the service destroy in this process.
 */
#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"

#include "ozkClient.h"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkPodManager.h"

using namespace ferrytest;

namespace {

const char *kNode = "life-node";

std::string fatalTail(const std::string &after)
{
    return byeLine(after) +
           errLine("ozkLib", "ozkForceShutDown", "a fatal error has occurred that caused an immediate exit!");
}

class FerryLifecycle : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.start(kNode)) << sim_.lastError(); }

    std::vector<std::string> args(const std::vector<std::string> &more = {}) const
    {
        std::vector<std::string> a = {"-C", sim_.caPath(), "-c", sim_.certPath(), "-k", sim_.keyPath(),
                                      "-n", kNode,         "-u", sim_.url()};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }

    /* Runs to the ready line, then SIGTERM. */
    RunResult runToTerm(const std::vector<std::string> &more, std::vector<std::string> env = {})
    {
        RunOptions opt;
        opt.sendTerm = true;
        opt.readyText =
            more.empty() || std::find(more.begin(), more.end(), "3") == more.end() ? "" : "ferryService is ready.";
        opt.env = std::move(env);
        return runFerry(args(more), opt);
    }

    KubesimProcess sim_;
};

} // namespace

TEST_F(FerryLifecycle, SigtermAfterGoodStartEndsWithStatusZero)
{
    RunResult r = runToTerm({"-v", "3"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(
        linesInOrder(r.out, {"ferry: DEBUG: apiClient is ready", "ferry: DEBUG: node manager started!",
                             "ferry: DEBUG: ferryService is ready.", "ferry: DEBUG: Graceful shutdown begin",
                             "ferry: DEBUG: nodeManager has been destroyed", "ferry: DEBUG: ozkConf has been destroyed",
                             "ferry: DEBUG: ferry Controller has been destroyed", "ferry: DEBUG: Bye ferryService!"}));
    /* the last line is the goodbye */
    const std::string bye = "ferry: DEBUG: Bye ferryService!\n";
    ASSERT_GE(r.out.size(), bye.size());
    EXPECT_EQ(r.out.substr(r.out.size() - bye.size()), bye);

    /* at the default verbosity a clean run prints nothing */
    r = runToTerm({});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(FerryLifecycle, StopAndContinueDoNotEndTheWait)
{
    /* a stop and continue interrupts the wait; it is not a signal of the set */
    RunOptions opt;
    opt.sendTerm = true;
    opt.readyText = "ferryService is ready.";
    opt.beforeTerm = [](pid_t pid) {
        kill(pid, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(pid, SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    RunResult r = runFerry(args({"-v", "3"}), opt);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(linesInOrder(r.out, {"ferry: DEBUG: Graceful shutdown begin", "ferry: DEBUG: Bye ferryService!"}));
}

TEST_F(FerryLifecycle, FailingNodeManagerStartTakesTheFatalPath)
{
    RunResult r = runFerry(args(), withEnv(faultEnv("taskSpawn:nodeManager")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(withoutManagerErrors(r.err), errLine("ozkLib", "ozkServiceStart", "failed to start node manager!") +
                                               errLine("ozkService", "main", "failed to start ferry!") +
                                               fatalTail("failed to start ferry!"));

    /* -v 0 without syslog: nothing at all */
    r = runFerry(args({"-v", "0"}), withEnv(faultEnv("taskSpawn:nodeManager")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(FerryLifecycle, FailingPodManagerStartTakesTheFatalPath)
{
    RunResult r = runFerry(args(), withEnv(faultEnv("msgQCreate")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(withoutManagerErrors(r.err), errLine("ozkLib", "ozkServiceStart", "failed to start pod manager!") +
                                               errLine("ozkService", "main", "failed to start ferry!") +
                                               fatalTail("failed to start ferry!"));
}

TEST_F(FerryLifecycle, FailingClientSetupDestroysThePartialState)
{
    RunResult r = runFerry(args({"-v", "3"}), withEnv(faultEnv("sslConfig_create")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(withoutManagerErrors(r.err), errLine("ozkClient", "ozkClientSetup", "sslConfig_create failed!") +
                                               errLine("ozkLib", "ozkServiceDestroy", "pod manager destroy fail!") +
                                               errLine("ozkService", "main", "failed to create OZK_CTRL!") +
                                               fatalTail("failed to create OZK_CTRL!"));
    EXPECT_TRUE(
        linesInOrder(r.out, {"ferry: DEBUG: apiClient has been destroyed", "ferry: DEBUG: ozkConf has been destroyed",
                             "ferry: DEBUG: ferry Controller has been destroyed"}));
    EXPECT_EQ(r.out.find("SSL Configuration is created"), std::string::npos);
}

TEST_F(FerryLifecycle, SignalSetFailures)
{
    /* the set cannot be emptied: status 1 without a word */
    RunResult r = runFerry(args(), withEnv(faultEnv("sigemptyset")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    r = runFerry(args(), withEnv(faultEnv("sigaddset")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, errLine("ozkService", "main", "failed to add SIGTERM to the monitor list. errno: 22",
                             "failed to add SIGTERM") +
                         fatalTail("failed to add SIGTERM"));

    r = runFerry(args(), withEnv(faultEnv("sigprocmask")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              errLine("ozkService", "main", "failed to set signal mask. errno: 22", "failed to set signal mask") +
                  fatalTail("failed to set signal mask"));
    EXPECT_EQ(r.out, "");
}

TEST_F(FerryLifecycle, FailedWaitTakesTheFatalPathWithoutTeardown)
{
    RunResult r = runFerry(args({"-v", "3"}), withEnv(faultEnv("sigtimedwait")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(withoutManagerErrors(r.err),
              errLine("ozkService", "main", "get unexpected signal: -1", "get unexpected signal: %d") +
                  fatalTail("get unexpected signal: %d"));
    EXPECT_TRUE(linesInOrder(r.out, {"ferry: DEBUG: ferryService is ready."}));
    /* no teardown on the fatal path */
    EXPECT_EQ(r.out.find("Graceful shutdown begin"), std::string::npos);
    EXPECT_EQ(r.out.find("ferry Controller has been destroyed"), std::string::npos);
}

TEST_F(FerryLifecycle, DestroyFailureRunsTheLaterStepsAndGivesStatusOne)
{
    RunResult r = runToTerm({"-v", "3"}, faultEnv("msgQDelete"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(withoutManagerErrors(r.err), errLine("ozkLib", "ozkServiceDestroy", "pod manager destroy fail!") +
                                               errLine("ozkService", "main", "ferry service destroy fail!"));
    EXPECT_TRUE(
        linesInOrder(r.out, {"ferry: DEBUG: Graceful shutdown begin", "ferry: DEBUG: nodeManager has been destroyed",
                             "ferry: DEBUG: ozkConf has been destroyed",
                             "ferry: DEBUG: ferry Controller has been destroyed", "ferry: DEBUG: Bye ferryService!"}));
}

/* The service destroy on blocks that never started, in this process. */
TEST(FerryServiceDestroy, NeverStartedManagersAndDoubleConfigDestroy)
{
    ozkVerboseLevel = 3;
    ozkSysLogOn = FALSE;
    std::vector<std::string> args = {"ferryService", "-C", "a", "-c", "b", "-k", "c", "-n", "d", "-x"};
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    auto *ctrl = static_cast<OZK_CTRL *>(calloc(1, sizeof(OZK_CTRL)));
    ASSERT_NE(ctrl, nullptr);
    ConsoleCapture console;
    /* the failed parse destroys the configuration once ... */
    EXPECT_EQ(ozkConfInit(static_cast<int>(args.size()), argv.data(), &ctrl->ozkCnf), ERROR);
    EXPECT_EQ(ctrl->ozkCnf.caPath, nullptr);
    EXPECT_EQ(ctrl->ozkCnf.nodeName, nullptr);
    /* ... and the service destroy runs it again: nothing is released twice
     * (the sanitizer build checks), and the pod manager that never started
     * fails its destroy without stopping the later steps */
    EXPECT_EQ(ozkServiceDestroy(ctrl), ERROR);
    EXPECT_EQ(ozkServiceDestroy(nullptr), OK);
    std::string out = console.out();
    std::string err = console.err();
    EXPECT_TRUE(linesInOrder(err, {"ferry: ERROR: ozkLib:ozkServiceDestroy:" +
                                   std::to_string(sourceLine(unitFile("ozkLib"), "\"pod manager destroy fail!")) +
                                   " pod manager destroy fail!"}));
    EXPECT_EQ(err.find("node manager destroy fail!"), std::string::npos) << err;
    EXPECT_TRUE(linesInOrder(
        out, {"ferry: DEBUG: ozkConf has been destroyed", "ferry: DEBUG: nodeManager has been destroyed",
              "ferry: DEBUG: ozkConf has been destroyed", "ferry: DEBUG: ferry Controller has been destroyed"}));
}

namespace {

struct PodCounter {
    OZK_POD_MANAGER_CTRL *pod = nullptr;
    std::atomic<bool> counting{false};
};

/* Counts like a node manager cycle until a count fails; ends with the value
 * a failed count left in its result (it must leave it untouched), or -1 when
 * a count gave a wrong number. */
int podCountUntilRefused(void *arg)
{
    auto *counter = static_cast<PodCounter *>(arg);
    for (;;) {
        uint32_t pods = 99;
        STATUS status = ozkPodCacheNumberGet(counter->pod, &pods);
        counter->counting = true;
        if (status != OK) {
            return static_cast<int>(pods);
        }
        if (pods != 0) {
            return -1;
        }
    }
}

}

/* At shutdown the pod manager is destroyed before the node manager, whose
 * cycle may be counting the pod cache at that moment: every count gives the
 * number or fails cleanly, the destroy succeeds, and the count never works on
 * a semaphore the destroy is deleting (the thread sanitizer build checks). */
TEST(FerryServiceDestroy, PodCountWhileThePodManagerIsDestroyed)
{
    /* the pod monitor lists the node's pods as soon as it runs */
    KubesimProcess sim;
    ASSERT_TRUE(sim.start(kNode)) << sim.lastError();
    ozkVerboseLevel = 3;
    ozkSysLogOn = FALSE;
    ConsoleCapture console;
    for (int round = 0; round < 20; ++round) {
        auto *ctrl = static_cast<OZK_CTRL *>(calloc(1, sizeof(OZK_CTRL)));
        ASSERT_NE(ctrl, nullptr);
        ctrl->ozkCnf.serverURL = strdup(sim.url().c_str());
        ctrl->ozkCnf.caPath = strdup(sim.caPath().c_str());
        ctrl->ozkCnf.certPath = strdup(sim.certPath().c_str());
        ctrl->ozkCnf.keyPath = strdup(sim.keyPath().c_str());
        ctrl->ozkCnf.nodeName = strdup(kNode);
        ASSERT_EQ(ozkClientSetup(ctrl), OK);
        ASSERT_EQ(ozkPodManagerStart(ctrl), OK);
        PodCounter counter;
        counter.pod = &ctrl->podManagerCtrl;
        TASK_ID task = taskSpawn("tPodCount", 100, 0, 0, podCountUntilRefused, &counter);
        ASSERT_NE(task, TASK_ID_NULL);
        while (!counter.counting) {
            taskDelay(0);
        }
        EXPECT_EQ(ozkPodManagerDestroy(&ctrl->podManagerCtrl), OK);
        EXPECT_EQ(ctrl->podManagerCtrl.semCached, nullptr);
        int left = 0;
        ASSERT_EQ(taskWait(task, sysClkRateGet() * 10, &left), OK);
        EXPECT_EQ(left, 99) << "round " << round;
        ozkClientDestroy(&ctrl->clientCtrl);
        ozkConfDestroy(&ctrl->ozkCnf);
        free(ctrl);
    }
    console.stop();
    std::string err = console.err();
    EXPECT_NE(err.find("ozkPodCacheNumberGet:"), std::string::npos) << err;
    for (const char *unexpected : {"semGive cache podlist sem fail!", "semDelete", "semCached fail!"}) {
        EXPECT_EQ(err.find(unexpected), std::string::npos) << unexpected << "\n" << err;
    }
}
