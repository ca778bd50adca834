/*
 * operator_test.cpp - ferryService as an operator meets it, as a process
 * against the API server emulator (and the TLS proxy in front of it): a
 * stop at any moment ends it in time with status 0 and no request after
 * it; failures are named for what they are; unusable TLS files stop the
 * start at once; a create whose answer was lost, a deleted lease and a
 * Ready condition set back by someone else are recovered; connections are
 * kept; -h prints the usage.
 */
#include "ferryTestUtil.h"
#include "ozOwners.h"

#include <cjson/cJSON.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

using namespace ferrytest;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
const char *kLeases = "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases/";

using oz::JsonPtr;

std::string text(const cJSON *item)
{
    return cJSON_IsString(item) ? item->valuestring : "<absent>";
}

bool seenAnswered(const KubesimProcess &sim, const std::string &method, const std::string &path, int status)
{
    for (const KubesimRequest &r : sim.requests()) {
        if (r.method == method && r.path == path && r.status == status) {
            return true;
        }
    }
    return false;
}

double wallNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

JsonPtr readObject(const KubesimProcess &sim, const std::string &path)
{
    std::string body;
    return JsonPtr(sim.request("GET", path, "", &body) == 200 ? cJSON_Parse(body.c_str()) : nullptr);
}

/* The ERROR and fatal lines a stop must not produce. */
void expectCleanStop(FerryProcess &ferry)
{
    std::string err = ferry.err();
    for (const char *bad : {"fatal error", "forcedly killed", "Bye ferryService!", "destroy fail", "failed to start"}) {
        EXPECT_EQ(err.find(bad), std::string::npos) << bad << " in:\n" << err;
    }
    EXPECT_TRUE(linesInOrder(ferry.out(),
                             {"ferry: DEBUG: Graceful shutdown begin",
                              "ferry: DEBUG: ferry Controller has been destroyed", "ferry: DEBUG: Bye ferryService!"}))
        << ferry.out();
}

class Operator : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.start("op-node")) << sim_.lastError(); }
    KubesimProcess sim_;
};

} // namespace

/* ========================================================================
 * Stop
 * ======================================================================== */

TEST_F(Operator, AStopAtAnyMomentEndsWithinTheBoundWithStatusZeroAndNoLaterRequest)
{
    struct Case {
        const char *name;
        int signal;
        std::vector<std::string> extra, env;
        bool untilReady;                                 /* let the start finish first */
        std::function<bool(const std::string &)> fault;  /* node name: set the fault up */
        std::function<bool(const std::string &)> inside; /* true once the moment has come */
    } cases[] = {
        {"start-up, hung node read",
         SIGTERM,
         {},
         {},
         false,
         [&](const std::string &n) { return sim_.addFault("GET", "/api/v1/nodes/" + n, 0, -1, 30.0); },
         [&](const std::string &) {
             std::this_thread::sleep_for(1500ms);
             return true;
         }},
        {"start-up, retry wait",
         SIGINT,
         {},
         {},
         false,
         [&](const std::string &n) { return sim_.addFault("GET", "/api/v1/nodes/" + n, 503, -1); },
         [&](const std::string &n) { return seenAnswered(sim_, "GET", "/api/v1/nodes/" + n, 503); }},
        {"running, hung node read",
         SIGHUP,
         {"-N", "1"},
         {"OZ_CLOCK_SPEEDUP=10"},
         true,
         [&](const std::string &n) { return sim_.addFault("GET", "/api/v1/nodes/" + n, 0, -1, 30.0); },
         [&](const std::string &) {
             std::this_thread::sleep_for(1000ms);
             return true;
         }},
        {"running, retry wait of the lease renewal",
         SIGTERM,
         {"-N", "1"},
         {},
         true,
         [&](const std::string &n) { return sim_.addFault("PATCH", kLeases + n, 503, -1); },
         [&](const std::string &n) { return seenAnswered(sim_, "PATCH", kLeases + n, 503); }},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string node = "stop-" + std::to_string(index++);
        FerryProcess ferry;
        if (!c.untilReady) {
            ASSERT_TRUE(c.fault(node));
        }
        ASSERT_TRUE(ferry.start(sim_, node, c.extra, c.env));
        if (c.untilReady) {
            ASSERT_TRUE(ferry.waitReady()) << ferry.err();
            ASSERT_TRUE(c.fault(node));
        }
        ASSERT_TRUE(waitFor([&] { return c.inside(node); }, 20s)) << ferry.err();
        double stopAt = wallNow();
        auto sent = Clock::now();
        ferry.signal(c.signal);
        EXPECT_EQ(ferry.wait(), 0) << ferry.err();
        EXPECT_LT(Clock::now() - sent, 3s);
        expectCleanStop(ferry);
        for (const KubesimRequest &r : sim_.requests()) {
            EXPECT_LE(r.time, stopAt) << r.method << " " << r.path << " after the stop";
        }
        ASSERT_TRUE(sim_.clearFaults());
    }
}

/* ========================================================================
 * Failures named for what they are
 * ======================================================================== */

/* Whatever keeps the update cycle from reading the Node ends the agent, but
 * only a 404 says that the Node was deleted. */
TEST_F(Operator, AFailedNodeReadSaysWhatHappened)
{
    TlsProxy proxy;
    ASSERT_TRUE(proxy.start(sim_.url(), sim_.dir() + "/certs"));
    const std::string path = "/api/v1/nodes/op-node";
    struct Case {
        const char *name;
        bool viaProxy;
        std::function<void()> fault;
        std::string says;
    } cases[] = {
        {"503 on every attempt", false, [&] { sim_.addFault("GET", path, 503, -1); },
         "failed to read node op-node: HTTP error 503!"},
        {"a Status without uid", false, [&] { sim_.addFault("GET", path, 200, -1); },
         "failed to read node op-node: the answer (HTTP 200) holds no Node!"},
        {"a redirect", false, [&] { sim_.addFault("GET", path, 302, -1); },
         "failed to read node op-node: the answer (HTTP 302) holds no Node!"},
        {"a garbled body", true,
         [&] { proxy.rules(R"([{"method":"GET","path":"/api/v1/nodes/op-node","action":"garble","count":-1}])"); },
         "failed to read node op-node: the answer (HTTP 200) holds no Node!"},
        {"no answer", false, [&] { sim_.addFault("GET", path, 0, -1, 0, true); },
         "failed to read node op-node: no answer from the API server!"},
        {"the Node deleted", false, [&] { sim_.request("DELETE", path); }, "node op-node has been deleted!"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FerryProcess ferry;
        std::vector<std::string> options = {"-C", sim_.caPath(),
                                            "-c", sim_.certPath(),
                                            "-k", sim_.keyPath(),
                                            "-n", "op-node",
                                            "-u", c.viaProxy ? proxy.url() : sim_.url(),
                                            "-v", "3",
                                            "-N", "1"};
        /* the retry waits (155 s in all) pass 100 times faster */
        ASSERT_TRUE(ferry.startWith(options, {"OZ_CLOCK_SPEEDUP=100"}));
        ASSERT_TRUE(ferry.waitReady()) << ferry.err();
        c.fault();
        EXPECT_EQ(ferry.wait(), 1) << ferry.err();
        std::string err = ferry.err();
        EXPECT_NE(err.find("ozkNodeManager:ozkNodeUpdateTask:"), std::string::npos) << err;
        EXPECT_NE(err.find(" " + c.says + "\n"), std::string::npos) << err;
        if (c.says.find("deleted") == std::string::npos) {
            EXPECT_EQ(err.find("has been deleted"), std::string::npos) << err;
        }
        sim_.clearFaults();
        proxy.rules("[]");
    }
}

/* An answer the start cannot use names the server's reason. */
TEST_F(Operator, ARefusedRegistrationShowsTheServersMessage)
{
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "Bad_Name", {}, {}));
    EXPECT_EQ(ferry.wait(), 1);
    std::string err = ferry.err();
    EXPECT_NE(err.find("funcName:ozkClientNodeCreate, err: HTTP ERROR: errorRspCode (Node \"Bad_Name\" is invalid: "
                       "metadata.name: Invalid value: \"Bad_Name\""),
              std::string::npos)
        << err;
}

/* ========================================================================
 * TLS files
 * ======================================================================== */

TEST_F(Operator, UnusableTlsFilesStopTheStartAtOnceNamingTheFileAndTheReason)
{
    TempDir dir;
    const std::string d = dir.path();
    const std::string certs = sim_.dir() + "/certs";
    /* an expired client certificate of the right CA, another CA's material */
    std::string cmd = "cd '" + d + "' && openssl req -new -key '" + certs +
                      "/client.key' -subj /CN=system:node:op-node -out c.csr 2>/dev/null && "
                      "openssl x509 -req -in c.csr -CA '" +
                      certs + "/ca.crt' -CAkey '" + certs +
                      "/ca.key' -days -1 -out expired.crt 2>/dev/null && "
                      "python3 '" +
                      sourceDir() +
                      "/tests/kubesim/kubesim.py' mkcerts other --node op-node >/dev/null 2>&1"
                      " && echo 'not a certificate' > text.pem";
    ASSERT_EQ(system(cmd.c_str()), 0);
    struct Case {
        const char *name;
        std::string ca, cert, key;
        std::string says;
    } cases[] = {
        {"missing CA file", d + "/none.crt", sim_.certPath(), sim_.keyPath(),
         "server CA certificate file " + d + "/none.crt cannot be read: No such file or directory"},
        {"CA file without certificate", d + "/text.pem", sim_.certPath(), sim_.keyPath(),
         "server CA certificate file " + d + "/text.pem holds no PEM certificate"},
        {"missing client certificate", sim_.caPath(), d + "/none.crt", sim_.keyPath(),
         "client certificate file " + d + "/none.crt cannot be read: No such file or directory"},
        {"client certificate file without certificate", sim_.caPath(), sim_.keyPath(), sim_.keyPath(),
         "client certificate file " + sim_.keyPath() + " holds no PEM certificate: "},
        {"expired client certificate", sim_.caPath(), d + "/expired.crt", sim_.keyPath(),
         "client certificate file " + d + "/expired.crt expired at "},
        {"missing key", sim_.caPath(), sim_.certPath(), d + "/none.key",
         "client key file " + d + "/none.key cannot be read: No such file or directory"},
        {"key of another certificate", sim_.caPath(), sim_.certPath(), certs + "/admin.key",
         "client key file " + certs + "/admin.key does not match the client certificate " + sim_.certPath()},
        {"key file without key", sim_.caPath(), sim_.certPath(), sim_.certPath(),
         "client key file " + sim_.certPath() + " holds no usable PEM private key: "},
    };
    sim_.requestsJson(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FerryProcess ferry;
        auto started = Clock::now();
        ASSERT_TRUE(ferry.startWith({"-C", c.ca, "-c", c.cert, "-k", c.key, "-n", "op-node", "-u", sim_.url()}, {}));
        EXPECT_EQ(ferry.wait(), 1);
        std::string err = ferry.err();
        EXPECT_NE(err.find("ferry: ERROR: ozkClient:"), std::string::npos) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_NE(err.find(byeLine("failed to create OZK_CTRL!")), std::string::npos) << err;
        EXPECT_LT(Clock::now() - started, 10s);
    }
    /* nothing was sent */
    EXPECT_TRUE(sim_.requests().empty());

    /* a CA that did not sign the server's certificate is found at the first
     * request, named, and not tried again (retrying cannot change it) */
    FerryProcess ferry;
    auto started = Clock::now();
    ASSERT_TRUE(ferry.startWith(
        {"-C", d + "/other/ca.crt", "-c", sim_.certPath(), "-k", sim_.keyPath(), "-n", "op-node", "-u", sim_.url()},
        {}));
    EXPECT_EQ(ferry.wait(), 1);
    std::string err = ferry.err();
    EXPECT_NE(err.find("err: SSL connection failed (SSL certificate problem: "), std::string::npos) << err;
    EXPECT_EQ(err.find("retrycnt:3"), std::string::npos) << err;
    /* the retry waits alone would take 5 s per request */
    EXPECT_LT(Clock::now() - started, 5s);
}

/* ========================================================================
 * Recovery
 * ======================================================================== */

/* The answer to the Node's (or the lease's) create is lost on the way
 * back: the retry finds the object made, and the agent adopts it. */
TEST_F(Operator, ACreateWhoseAnswerWasLostIsAdopted)
{
    TlsProxy proxy;
    ASSERT_TRUE(proxy.start(sim_.url(), sim_.dir() + "/certs"));
    for (const char *what : {"/api/v1/nodes", "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases"}) {
        SCOPED_TRACE(what);
        sim_.request("DELETE", "/api/v1/nodes/op-node");
        sim_.request("DELETE", std::string(kLeases) + "op-node");
        proxy.rules(std::string(R"([{"method":"POST","path":")") + what + R"(","action":"drop","count":1}])");
        FerryProcess ferry;
        ASSERT_TRUE(ferry.startWith({"-C", sim_.caPath(), "-c", sim_.certPath(), "-k", sim_.keyPath(), "-n", "op-node",
                                     "-u", proxy.url(), "-v", "3"},
                                    {"OZ_CLOCK_SPEEDUP=100"}));
        ASSERT_TRUE(ferry.waitReady()) << ferry.err();
        /* the create reached the server and its answer was dropped */
        JsonPtr stats(cJSON_Parse(proxy.stats().c_str()));
        int dropped = 0;
        const cJSON *e = nullptr;
        cJSON_ArrayForEach(e, cJSON_GetObjectItem(stats.get(), "log"))
        {
            dropped += text(cJSON_GetObjectItem(e, "action")) == "drop" && text(cJSON_GetObjectItem(e, "path")) == what;
        }
        EXPECT_EQ(dropped, 1);
        JsonPtr node = readObject(sim_, "/api/v1/nodes/op-node");
        JsonPtr lease = readObject(sim_, std::string(kLeases) + "op-node");
        ASSERT_TRUE(node && lease);
        ferry.terminate();
        EXPECT_EQ(ferry.wait(), 0) << ferry.err();
    }
}

/* A lease deleted under the running agent is made again at the next
 * renewal, owned by the current Node only; a lease left by an earlier Node
 * of the same name is taken over with one owner reference, not two. */
TEST_F(Operator, TheLeaseIsMadeAgainAndKeepsOneOwnerReference)
{
    auto ownerUids = [&] {
        std::vector<std::string> uids;
        JsonPtr lease = readObject(sim_, std::string(kLeases) + "op-node");
        const cJSON *ref = nullptr;
        cJSON_ArrayForEach(ref, cJSON_GetObjectItem(cJSON_GetObjectItem(lease.get(), "metadata"), "ownerReferences"))
        {
            uids.push_back(text(cJSON_GetObjectItem(ref, "uid")));
        }
        return uids;
    };
    /* the lease of a Node that is gone: its owner is an old uid */
    ASSERT_EQ(sim_.request("POST", "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases",
                           R"({"apiVersion":"coordination.k8s.io/v1","kind":"Lease","metadata":{"name":"op-node",
                              "ownerReferences":[{"apiVersion":"v1","kind":"Node","name":"op-node","uid":"old-uid"}]},
                              "spec":{"holderIdentity":"op-node","leaseDurationSeconds":300}})"),
              201);
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "op-node", {"-N", "1"}, {"OZ_CLOCK_SPEEDUP=10"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    std::string uid = text(
        cJSON_GetObjectItem(cJSON_GetObjectItem(readObject(sim_, "/api/v1/nodes/op-node").get(), "metadata"), "uid"));
    const std::vector<std::string> current = {uid};
    EXPECT_TRUE(waitFor([&] { return ownerUids() == current; }, 10s)) << ::testing::PrintToString(ownerUids());

    ASSERT_EQ(sim_.request("DELETE", std::string(kLeases) + "op-node"), 200);
    EXPECT_TRUE(waitFor([&] { return ownerUids() == current; }, 10s)) << ::testing::PrintToString(ownerUids());
    EXPECT_NE(ferry.out().find("ferry: WARNING: lease op-node has been deleted, creating it again\n"),
              std::string::npos);
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
    EXPECT_EQ(ferry.err(), "");
}

/* The node lifecycle controller sets Ready to Unknown when heartbeats stop;
 * the next post of Ready "True" moves the transition time, the ones after
 * it leave it. */
TEST_F(Operator, TheTransitionTimeMovesExactlyOnce)
{
    FerryProcess ferry;
    ASSERT_TRUE(ferry.start(sim_, "op-node", {"-N", "1"}, {"OZ_CLOCK_SPEEDUP=10"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    auto ready = [&] {
        JsonPtr node = readObject(sim_, "/api/v1/nodes/op-node");
        const cJSON *cond = nullptr;
        cJSON_ArrayForEach(cond, cJSON_GetObjectItem(cJSON_GetObjectItem(node.get(), "status"), "conditions"))
        {
            if (text(cJSON_GetObjectItem(cond, "type")) == "Ready") {
                return std::vector<std::string>{text(cJSON_GetObjectItem(cond, "status")),
                                                text(cJSON_GetObjectItem(cond, "lastTransitionTime")),
                                                text(cJSON_GetObjectItem(cond, "lastHeartbeatTime"))};
            }
        }
        return std::vector<std::string>{};
    };
    const std::string registered = ready().at(1);
    /* heartbeats go on, the transition stays */
    std::string beat = ready().at(2);
    ASSERT_TRUE(waitFor([&] { return ready().at(2) > beat; }, 10s));
    EXPECT_EQ(ready().at(1), registered);

    const std::string stale = "2020-01-01T00:00:00Z";
    ASSERT_EQ(sim_.request("PATCH", "/api/v1/nodes/op-node/status",
                           R"({"status":{"conditions":[{"type":"Ready","status":"Unknown","reason":"NodeStatusUnknown",
                              "lastHeartbeatTime":")" +
                               stale + R"(","lastTransitionTime":")" + stale + R"("}]}})",
                           nullptr, "application/strategic-merge-patch+json"),
              200);
    ASSERT_TRUE(waitFor([&] { return ready().at(0) == "True"; }, 10s));
    std::string moved = ready().at(1);
    EXPECT_GT(moved, stale);
    EXPECT_GE(moved, registered);
    /* two seconds of cycles later: the same transition, newer heartbeats */
    beat = ready().at(2);
    ASSERT_TRUE(waitFor([&] { return ready().at(2) > beat; }, 10s));
    std::this_thread::sleep_for(1100ms);
    ASSERT_TRUE(waitFor([&] { return ready().at(2) > beat; }, 10s));
    EXPECT_EQ(ready().at(1), moved);
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
}

/* ========================================================================
 * Connections
 * ======================================================================== */

/* The requests of a task go over the connection it opened: a handful of
 * connections carry dozens of cycles. */
TEST_F(Operator, ConnectionsAreKeptFromOneRequestToTheNext)
{
    TlsProxy proxy;
    ASSERT_TRUE(proxy.start(sim_.url(), sim_.dir() + "/certs"));
    FerryProcess ferry;
    ASSERT_TRUE(ferry.startWith({"-C", sim_.caPath(), "-c", sim_.certPath(), "-k", sim_.keyPath(), "-n", "op-node",
                                 "-u", proxy.url(), "-v", "3", "-N", "1"},
                                {"OZ_CLOCK_SPEEDUP=20"}));
    ASSERT_TRUE(ferry.waitReady()) << ferry.err();
    auto stat = [&](const char *key) {
        JsonPtr stats(cJSON_Parse(proxy.stats().c_str()));
        return static_cast<int>(cJSON_GetNumberValue(cJSON_GetObjectItem(stats.get(), key)));
    };
    ASSERT_TRUE(waitFor([&] { return stat("requests") >= 60; }, 60s)) << proxy.stats();
    ferry.terminate();
    EXPECT_EQ(ferry.wait(), 0) << ferry.err();
    /* the start's task, the update task and the pod monitor's lists and
     * watches: one connection each */
    EXPECT_LE(stat("connections"), 3) << stat("requests") << " requests";
}

/* ========================================================================
 * Usage
 * ======================================================================== */

TEST(OperatorCli, HelpPrintsTheUsageAndEndsWithStatusZero)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"-h"}, {"-n", "x", "-h"}, {"-x", "-h"}, {"-h", "-v", "9"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = runFerry(args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, usageText());
        EXPECT_EQ(r.err, "");
    }
    /* as an option's argument it is no option */
    RunResult r = runFerry({"-n", "-h"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("option -C is required!"), std::string::npos) << r.err;
}
