/*
 * podspec_test.cpp - pods run what their spec says: the command, args,
 * environment (literal, $(VAR) references, the pod's fields, secrets and
 * config maps) and working directory of a container, each as the process
 * really saw it inside the container; references that cannot be resolved;
 * and the restart policy with its back-off, restart count and last state
 * as the API server and kubectl show them. With the real runtime daemon
 * and the API server emulator; the last test drives the ferryService
 * program with the real kubectl.
 */
#include "podStartFixture.h"

#include "ozkContainerSpec.h"

#include <sstream>

using namespace ferrytest;
using namespace podtest;

namespace {

class PodSpec : public PodStartFixture {
protected:
    void SetUp() override
    {
        PodStartFixture::SetUp();
        if (!HasFatalFailure()) {
            localImage("spec", "v1", kImage,
                       "--env FOO=image --env KEEP=image --cmd '[\"sh\",\"-c\",\"echo image-cmd > /out\"]'");
        }
    }

    /* A container of the test image, never pulled, with more members. */
    static std::string container(const std::string &name, const std::string &more)
    {
        return R"({"name":")" + name + R"(","image":")" + kImage + R"(","imagePullPolicy":"Never")" +
               (more.empty() ? "" : "," + more) + "}";
    }

    CONTAINER_INFO_LOCAL cached(const std::string &uid, const std::string &name)
    {
        CONTAINER_INFO_LOCAL local{};
        EXPECT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":" + name).c_str(), &local), OK) << name;
        return local;
    }

    /* What the container's process wrote into /out, once it ended. */
    std::string outOf(const std::string &uid, const std::string &name)
    {
        CONTAINER_INFO_LOCAL local = cached(uid, name);
        EXPECT_TRUE(waitFor([&] { return ozcStatusGet(local.containerId) == STATE_STOPPED; })) << name;
        return oztest::readFile(std::string(local.bundlePath) + "/rootfs/out");
    }

    /* One pass of the pod manager task and the workers it starts, at real
     * speed (the runtime's replies have their time-outs): a faster clock
     * only runs between passes. */
    void managerPass()
    {
        unsigned speedup = ozClockSpeedupGet();
        ozClockSpeedupSet(1);
        (void)ozkContainerRestartScan(rig_->pm());
        ozkCachedPodEventHandle(rig_->pm());
        EXPECT_TRUE(rig_->waitIdle());
        ozClockSpeedupSet(speedup);
    }

    static constexpr const char *kImage = "127.0.0.1:1/t/spec:v1";
};

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

bool hasLine(const std::string &text, const std::string &line)
{
    for (const std::string &l : lines(text)) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(PodSpecExpand, ReferencesEscapesAndUnknownNames)
{
    const char *env[] = {"A=alpha", "B=$(A)", "EMPTY=", "A=again"};
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"$(A)", "again"},               /* a name given twice: the last wins */
        {"x$(A)y$(B)z", "xagainy$(A)z"}, /* values are not expanded again */
        {"$$(A)", "$(A)"},
        {"$$$(A)", "$again"},
        {"$$", "$"},
        {"$(NOPE)", "$(NOPE)"},
        {"$(EMPTY)|", "|"},
        {"$(A", "$(A"},
        {"$()", "$()"},
        {"a$b$", "a$b$"},
        {"", ""},
    };
    for (const Case &c : cases) {
        std::unique_ptr<char, decltype(&free)> got(ozkEnvRefExpand(c.in, env, 4), free);
        ASSERT_TRUE(got) << c.in;
        EXPECT_STREQ(got.get(), c.out) << c.in;
    }
}

TEST(PodSpecRestart, BackOffDoublesToItsCapAndPhaseFollowsThePolicy)
{
    const uint32_t waits[] = {0, 10, 20, 40, 80, 160, 300, 300};
    for (uint32_t steps = 0; steps < sizeof(waits) / sizeof(waits[0]); steps++) {
        EXPECT_EQ(ozkBackOffSecondsGet(steps), waits[steps]) << steps;
    }
    EXPECT_EQ(ozkBackOffSecondsGet(1000), 300u);

    /* states: "running", "waiting", "ended:<code>" (terminated), "backoff:<code>"
     * (waiting, last state terminated) */
    struct Case {
        std::vector<std::string> states;
        const char *policy, *phase;
    } cases[] = {
        {{"backoff:1"}, "Always", "Running"},
        {{"backoff:1"}, nullptr, "Running"},
        {{"ended:0"}, "Always", "Running"},
        {{"ended:0"}, "OnFailure", "Succeeded"},
        {{"backoff:2"}, "OnFailure", "Running"},
        {{"ended:0", "ended:2"}, "OnFailure", "Running"},
        {{"ended:0"}, "Never", "Succeeded"},
        {{"ended:3"}, "Never", "Failed"},
        {{"backoff:1", "waiting"}, "Always", "Pending"},
        {{"backoff:1", "running"}, "Always", "Running"},
    };
    for (const Case &c : cases) {
        list_t *list = list_createList();
        for (const std::string &s : c.states) {
            size_t colon = s.find(':');
            std::string kind = s.substr(0, colon);
            std::string code = colon == std::string::npos ? "0" : s.substr(colon + 1);
            std::string state = kind == "running"   ? R"("state":{"running":{}})"
                                : kind == "waiting" ? R"("state":{"waiting":{"reason":"r"}})"
                                : kind == "ended"   ? R"("state":{"terminated":{"exitCode":)" + code + "}}"
                                                    : R"("state":{"waiting":{"reason":"CrashLoopBackOff"}},)"
                                                      R"("lastState":{"terminated":{"exitCode":)" +
                                                        code + "}}";
            Json json = parse(R"({"name":"c","image":"i","imageID":"x","ready":false,"restartCount":1,)" + state + "}");
            list_addElement(list, v1_container_status_parseFromJSON(json.get()));
        }
        EXPECT_STREQ(ozkPodPhaseOfPolicyGet(list, c.policy), c.phase)
            << (c.policy != nullptr ? c.policy : "null") << " " << c.states[0];
        ozkContainerStatusListFree(list);
    }
}

/* The command line, environment and working directory the process saw. */
TEST_F(PodSpec, TheProcessIsTheOneThePodSpecAsksFor)
{
    struct Case {
        const char *name;
        std::string more;
        std::vector<std::string> want; /* lines of /out */
    } cases[] = {
        {"neither", "", {"image-cmd"}},
        {"args", R"("args":["sh","-c","echo args-only > /out"])", {"args-only"}},
        {"command", R"("command":["/bin/sh","-c","echo command-only > /out"])", {"command-only"}},
        {"both", R"("command":["sh","-c"],"args":["echo both $0 > /out"])", {"both /bin/sh"}},
        {"expand",
         R"J("env":[{"name":"A","value":"alpha"}],"command":["/bin/sh","-c","printf '%s\\n' \"$@\" > /out","x",)J"
         R"J("$(A)","$$(A)","$(NOPE)","$$$(A)","a$b"])J",
         {"alpha", "$(A)", "$(NOPE)", "$alpha", "a$b"}},
        {"workdir", R"("workingDir":"/work/here","command":["/bin/sh","-c","pwd > /out"])", {"/work/here"}},
        {"imagedir", R"("workingDir":"/bin","args":["sh","-c","pwd > /out"])", {"/bin"}},
    };
    for (const Case &c : cases) {
        std::string podName = std::string("p-") + c.name;
        Json pod = start(podName, "[" + container("main", c.more) + "]", R"(,"restartPolicy":"Never")");
        std::string uid = str(pod.get(), "metadata.uid");
        EXPECT_EQ(lines(outOf(uid, "main")), c.want) << c.name;
        removeContainers(podName);
    }
}

/* The pod's variables over the image's, in order; references see only the
 * variables before them; values from the pod's fields, a secret and a
 * config map; an optional reference to nothing leaves its variable out. */
TEST_F(PodSpec, EnvironmentFromLiteralsFieldsSecretsAndConfigMaps)
{
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets",
                           R"({"metadata":{"name":"s1"},"data":{"token":")" + b64("s3cr=t value") + R"("}})"),
              201);
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/configmaps",
                           R"J({"metadata":{"name":"m1"},"data":{"mode":"fast $(A)"}})J"),
              201);
    std::string env = R"J("env":[{"name":"FOO","value":"pod"},{"name":"B","value":"$(FOO)-b"},)J"
                      R"J({"name":"C","value":"$(LATER)"},{"name":"LATER","value":"l"},)J"
                      R"({"name":"N","valueFrom":{"fieldRef":{"fieldPath":"metadata.name"}}},)"
                      R"({"name":"NS","valueFrom":{"fieldRef":{"fieldPath":"metadata.namespace"}}},)"
                      R"({"name":"ID","valueFrom":{"fieldRef":{"fieldPath":"metadata.uid"}}},)"
                      R"({"name":"NODE","valueFrom":{"fieldRef":{"fieldPath":"spec.nodeName"}}},)"
                      R"({"name":"IP","valueFrom":{"fieldRef":{"fieldPath":"status.podIP"}}},)"
                      R"({"name":"HOST","valueFrom":{"fieldRef":{"fieldPath":"status.hostIP"}}},)"
                      R"({"name":"S","valueFrom":{"secretKeyRef":{"name":"s1","key":"token"}}},)"
                      R"({"name":"M","valueFrom":{"configMapKeyRef":{"name":"m1","key":"mode"}}},)"
                      R"({"name":"OPT1","valueFrom":{"secretKeyRef":{"name":"none","key":"k","optional":true}}},)"
                      R"({"name":"OPT2","valueFrom":{"configMapKeyRef":{"name":"m1","key":"no","optional":true}}}])";
    Json pod = start("envs", "[" + container("main", env + R"(,"command":["/bin/sh","-c","env > /out"])") + "]",
                     R"(,"restartPolicy":"Never")");
    std::string uid = str(pod.get(), "metadata.uid");
    std::string out = outOf(uid, "main");
    for (const std::string &line : std::vector<std::string>{
             "FOO=pod", "KEEP=image", "B=pod-b", "C=$(LATER)", "LATER=l", "N=envs", "NS=default", "ID=" + uid,
             "NODE=ps-node", "IP=127.0.0.1", "HOST=127.0.0.1", "S=s3cr=t value", "M=fast $(A)"}) {
        EXPECT_TRUE(hasLine(out, line)) << line << " in:\n" << out;
    }
    EXPECT_EQ(out.find("OPT1="), std::string::npos) << out;
    EXPECT_EQ(out.find("OPT2="), std::string::npos) << out;
    EXPECT_EQ(out.find("FOO=image"), std::string::npos) << out;
    removeContainers("envs");
}

/* A reference that cannot be resolved, or a program that is not there,
 * leaves its container waiting with a message that names it; the pod's
 * other container starts all the same. */
TEST_F(PodSpec, WhatCannotBeResolvedWaitsWithItsReasonAndTheOthersStart)
{
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets",
                           R"({"metadata":{"name":"s1"},"data":{"token":")" + b64("x") + R"("}})"),
              201);
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/configmaps",
                           R"({"metadata":{"name":"m1"},"data":{"mode":"fast"}})"),
              201);
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets",
                           R"({"metadata":{"name":"s2"},"data":{"nul":")" + b64(std::string("a\0b", 3)) + R"("}})"),
              201);
    auto ref = [](const char *kind, const char *name, const char *key) {
        return R"("env":[{"name":"X","valueFrom":{")" + std::string(kind) + R"(":{"name":")" + name + R"(","key":")" +
               key + R"("}}}])";
    };
    struct Case {
        std::string more;
        const char *reason, *message;
    } cases[] = {
        {ref("secretKeyRef", "nosuch", "token"), "CreateContainerConfigError", "secret \"nosuch\" not found"},
        {ref("secretKeyRef", "s1", "nokey"), "CreateContainerConfigError",
         "couldn't find key nokey in Secret default/s1"},
        {ref("configMapKeyRef", "nosuch", "mode"), "CreateContainerConfigError", "configmap \"nosuch\" not found"},
        {ref("configMapKeyRef", "m1", "nokey"), "CreateContainerConfigError",
         "couldn't find key nokey in ConfigMap default/m1"},
        {ref("secretKeyRef", "s2", "nul"), "CreateContainerConfigError",
         "key nul of Secret default/s2 does not hold a text an environment variable can carry"},
        {R"("command":["nosuchprogram"])", "container startup fail",
         "exec: \"nosuchprogram\": executable file not found in $PATH"},
    };
    int round = 0;
    for (const Case &c : cases) {
        std::string name = "bad" + std::to_string(round++);
        Json pod =
            start(name, "[" + container("bad", c.more) + "," + container("good", R"("command":["sleep","1000"])") + "]",
                  R"(,"restartPolicy":"Never")");
        EXPECT_EQ(str(pod.get(), "status.containerStatuses.0.state.waiting.reason"), c.reason) << c.message;
        EXPECT_EQ(str(pod.get(), "status.containerStatuses.0.state.waiting.message"), c.message);
        EXPECT_EQ(str(pod.get(), "status.containerStatuses.1.state.running.startedAt").size(), 27u) << c.message;
        EXPECT_EQ(str(pod.get(), "status.phase"), "Running");
        removeContainers(name);
    }
    for (const std::string &entry : dirEntries(base_)) {
        EXPECT_EQ(entry.find("_bundle_"), std::string::npos) << entry;
    }
}

/* Which exits a policy restarts. */
TEST_F(PodSpec, ThePolicyDecidesWhichExitsRestart)
{
    struct Case {
        const char *policy;
        int exitCode;
        bool restarted;
    } cases[] = {
        {"Always", 0, true}, {"Always", 1, true}, {"OnFailure", 0, false}, {"OnFailure", 1, true}, {"Never", 1, false},
    };
    int round = 0;
    for (const Case &c : cases) {
        std::string what = std::string(c.policy) + " exit " + std::to_string(c.exitCode);
        std::string name = "policy" + std::to_string(round++);
        std::string cmd = "sleep 0.2; exit " + std::to_string(c.exitCode);
        Json pod = start(name, "[" + container("main", R"("command":["/bin/sh","-c",")" + cmd + R"("])") + "]",
                         std::string(R"(,"restartPolicy":")") + c.policy + "\"");
        std::string uid = str(pod.get(), "metadata.uid");
        rig_->cache(podRecord(sim_, name).get());
        CONTAINER_INFO_LOCAL first = cached(uid, "main");
        ASSERT_TRUE(waitFor([&] { return ozcStatusGet(first.containerId) == STATE_STOPPED; })) << what;
        managerPass();
        CONTAINER_INFO_LOCAL after = cached(uid, "main");
        EXPECT_EQ(after.restartCnt, c.restarted ? 1 : 0) << what;
        EXPECT_EQ(std::string(after.containerId) != first.containerId, c.restarted) << what;
        EXPECT_EQ(rig_->pending(), 0u) << what;
        Json now = readPod(sim_, name);
        EXPECT_EQ(str(now.get(), "status.containerStatuses.0.restartCount"), c.restarted ? "1" : "0") << what;
        if (c.restarted) {
            EXPECT_EQ(ozcStatusGet(first.containerId), STATE_UNKNOWN) << what << ": the old container is gone";
            EXPECT_EQ(str(now.get(), "status.containerStatuses.0.lastState.terminated.exitCode"),
                      std::to_string(c.exitCode))
                << what;
            EXPECT_EQ(str(now.get(), "status.containerStatuses.0.lastState.terminated.containerID"),
                      std::string("ozc://") + first.containerId)
                << what;
            EXPECT_EQ(str(now.get(), "status.phase"), "Running") << what;
        }
        removeContainers(name);
    }
}

/* A container that keeps failing: restarted at once, then after 10 s, 20 s
 * and 40 s of platform time, reported CrashLoopBackOff in between, its
 * restart count and last state as kubectl shows them. */
TEST_F(PodSpec, ACrashingContainerBacksOffAndCountsItsRestarts)
{
    Json pod = start("crash", "[" + container("main", R"("command":["/bin/sh","-c","exit 7"])") + "]");
    std::string uid = str(pod.get(), "metadata.uid");
    rig_->cache(podRecord(sim_, "crash").get());
    std::vector<uint32_t> waits;       /* the back-off before each restart */
    std::vector<std::string> backOffs; /* the messages reported in between */
    int restarts = 0;
    ScopedSpeedup fast(200);
    ASSERT_TRUE(waitFor(
        [&] {
            managerPass();
            CONTAINER_INFO_LOCAL local = cached(uid, "main");
            if (local.restartCnt > restarts) {
                restarts = local.restartCnt;
                waits.push_back(local.backOffSeconds);
            }
            Json now = readPod(sim_, "crash");
            std::string message = str(now.get(), "status.containerStatuses.0.state.waiting.message");
            if (str(now.get(), "status.containerStatuses.0.state.waiting.reason") == "CrashLoopBackOff" &&
                (backOffs.empty() || backOffs.back() != message)) {
                backOffs.push_back(message);
                EXPECT_EQ(str(now.get(), "status.phase"), "Running");
                EXPECT_EQ(str(now.get(), "status.containerStatuses.0.lastState.terminated.exitCode"), "7");
                EXPECT_EQ(str(now.get(), "status.containerStatuses.0.lastState.terminated.reason"), "Error");
                EXPECT_EQ(str(now.get(), "status.containerStatuses.0.ready"), "false");
            }
            return restarts >= 4;
        },
        120s));
    EXPECT_EQ(waits, (std::vector<uint32_t>{0, 10, 20, 40}));
    std::string tail = " restarting failed container=main pod=crash_default(" + uid + ")";
    EXPECT_EQ(backOffs,
              (std::vector<std::string>{"back-off 10s" + tail, "back-off 20s" + tail, "back-off 40s" + tail}));

    /* as kubectl shows it */
    Json shown = podJsonNow(sim_, "crash");
    const cJSON *status = at(shown.get(), "status.containerStatuses.0");
    EXPECT_GE(std::atoi(str(status, "restartCount").c_str()), 4);
    EXPECT_EQ(str(status, "lastState.terminated.exitCode"), "7");
    EXPECT_EQ(str(status, "lastState.terminated.startedAt").size(), 27u);
    EXPECT_EQ(str(status, "lastState.terminated.finishedAt").size(), 27u);
    EXPECT_LE(str(status, "lastState.terminated.startedAt"), str(status, "lastState.terminated.finishedAt"));

    /* at real speed the next back-off (80 s) lasts long enough to be seen
     * by kubectl's own columns */
    ozClockSpeedupSet(1);
    ASSERT_TRUE(waitFor(
        [&] {
            managerPass();
            return str(readPod(sim_, "crash").get(), "status.containerStatuses.0.state.waiting.message") ==
                   "back-off 1m20s" + tail;
        },
        30s));
    std::istringstream row(kubectl(sim_, "get pod crash --no-headers"));
    std::string name, ready, state, restartCount;
    row >> name >> ready >> state >> restartCount;
    EXPECT_EQ(ready, "0/1");
    EXPECT_EQ(state, "CrashLoopBackOff");
    EXPECT_EQ(restartCount, "4");
    removeContainers("crash");
}

/* Through the program with the real kubectl: "kubectl run" with args and
 * an env value, and a crashing container that kubectl shows in
 * CrashLoopBackOff with its restarts; deleted, both go and leave nothing
 * behind, the bundles of the restarted runs included. */
TEST(PodSpecRoad, KubectlRunWithEnvAndACrashLoopThroughTheProgram)
{
    RTFIX_REQUIRE_ROOT();
    const char *node = "spec-node";
    ProgramRig rig(node, "ozkspec");
    ASSERT_EQ(rig.start(), "");
    regfix::Registries &reg = rig.reg();
    const KubesimProcess &sim = rig.sim();
    const rtfix::TempDir &tmp = rig.tmp();
    std::string image = reg["OZ_REG_TLS"] + "/spec" + std::to_string(getpid()) + "/busy:v1";
    ASSERT_TRUE(rtfix::mkimage(tmp / "layout", "--tag v1"));
    ASSERT_EQ(oztest::sh("skopeo copy -q --dest-tls-verify=false oci:" + tmp / "layout" + ":v1 docker://" + image), 0);

    RunOptions opt;
    opt.sendTerm = true;
    opt.readyText = "ferryService is ready.";
    opt.timeoutSec = 240;
    opt.env = {"OZ_CLOCK_SPEEDUP=10"};
    opt.beforeTerm = [&](pid_t) {
        std::string out = kubectl(sim, "run box --image=" + image +
                                           " --restart=Never --env=X=hello-from-env --overrides="
                                           "'{\"spec\":{\"nodeName\":\"" +
                                           node + "\"}}'" + " -- sh -c 'echo $X > /tmp/f; sleep 1000'");
        EXPECT_NE(out.find("created"), std::string::npos) << out;
        EXPECT_TRUE(
            waitFor([&] { return kubectl(sim, "get pod box --no-headers").find("Running") != std::string::npos; }, 90s))
            << kubectl(sim, "get pod box -o yaml");
        std::string id = str(podJsonNow(sim, "box").get(), "status.containerStatuses.0.containerID");
        std::unique_ptr<char, decltype(&free)> state(ozcState(id.substr(6).c_str()), free);
        ASSERT_TRUE(state) << id;
        std::string bundle = str(parse(state.get()).get(), "bundle");
        EXPECT_TRUE(waitFor([&] { return oztest::readFile(bundle + "/rootfs/tmp/f") == "hello-from-env\n"; }))
            << bundle;

        out = kubectl(sim, "run crash --image=" + image + " --overrides='{\"spec\":{\"nodeName\":\"" + node +
                               "\"}}' -- sh -c 'exit 2'");
        EXPECT_NE(out.find("created"), std::string::npos) << out;
        EXPECT_TRUE(waitFor(
            [&] {
                std::istringstream row(kubectl(sim, "get pod crash --no-headers"));
                std::string name, ready, status, restarts;
                row >> name >> ready >> status >> restarts;
                return status == "CrashLoopBackOff" && std::atoi(restarts.c_str()) >= 2;
            },
            120s))
            << kubectl(sim, "get pod crash -o yaml");
        Json crash = podJsonNow(sim, "crash");
        EXPECT_EQ(str(crash.get(), "status.phase"), "Running");
        EXPECT_EQ(str(crash.get(), "status.containerStatuses.0.lastState.terminated.exitCode"), "2");

        /* a pod in its crash loop goes when deleted, and is not restarted
         * on its way out */
        out = kubectl(sim, "delete pod crash box --timeout=90s");
        EXPECT_NE(out.find("\"crash\" deleted"), std::string::npos) << out;
        EXPECT_NE(out.find("\"box\" deleted"), std::string::npos) << out;
        EXPECT_TRUE(waitFor(
            [&] { return kubectl(sim, "get pods --no-headers") == "No resources found in default namespace.\n"; }, 90s))
            << kubectl(sim, "get pods -o yaml");
    };
    RunResult r = runFerry(rig.args(), opt);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(kubectl(sim, "get pods --no-headers"), "No resources found in default namespace.\n");
    std::unique_ptr<char, decltype(&free)> list(ozcList(), free);
    EXPECT_EQ(cJSON_GetArraySize(parse(list ? list.get() : "[]").get()), 0) << (list ? list.get() : "");
    for (const std::string &entry : dirEntries(rig.base())) {
        EXPECT_EQ(entry.find("_bundle_"), std::string::npos) << entry;
    }
}
