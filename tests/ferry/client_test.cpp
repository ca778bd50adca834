/*
 * client_test.cpp - the node agent's API client: the response-code
 * classification, the retry engine (attempts, waits on the tick clock, log
 * lines, result slots), and every resource operation against the API server
 * emulator over TLS with client certificates: the request it sends, its
 * result, its argument checks, retries on injected faults, and TLS failures.
 */
#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"

#include "CoreV1API.h"
#include "ozkClient.h"
#include "ozkLib.h"
#include "ozkLog.h"

#include <cjson/cJSON.h>
#include <dlfcn.h>

using namespace ferrytest;

namespace {

/* ------------------------------------------------------------------------
 * Helpers
 * ------------------------------------------------------------------------ */

/* A node-agent control block whose configuration points at `url` with the
 * given TLS files; the client is set up. */
struct ClientBlock {
    ClientBlock(const std::string &url, const std::string &ca, const std::string &cert, const std::string &key)
    {
        ctrl = static_cast<OZK_CTRL *>(calloc(1, sizeof(OZK_CTRL)));
        ctrl->ozkCnf.serverURL = strdup(url.c_str());
        ctrl->ozkCnf.caPath = strdup(ca.c_str());
        ctrl->ozkCnf.certPath = strdup(cert.c_str());
        ctrl->ozkCnf.keyPath = strdup(key.c_str());
        ctrl->ozkCnf.nodeName = strdup("cl-node");
        setupStatus = ozkClientSetup(ctrl);
    }
    ~ClientBlock()
    {
        ozkClientDestroy(&ctrl->clientCtrl);
        ozkConfDestroy(&ctrl->ozkCnf);
        free(ctrl);
    }
    OZK_CLIENT_CTRL *client() { return &ctrl->clientCtrl; }
    OZK_CTRL *ctrl = nullptr;
    STATUS setupStatus = ERROR;
};

std::string errAt(const std::string &func, const std::string &text, const std::string &needle = "")
{
    return errLine("ozkClient", func, text, needle);
}

/* The scripted request function: answers the next code of the script,
 * records the tick of each attempt and leaves the attempt number in the
 * result slot. */
std::vector<long> gScript;
std::vector<uint64_t> gTicks;
STATUS gScriptReturn = OK;

STATUS scriptedRequest(apiClient_t *client, intptr_t, intptr_t, intptr_t, intptr_t *slot)
{
    size_t n = gTicks.size();
    gTicks.push_back(tickGet());
    if (gScriptReturn != OK) {
        return gScriptReturn;
    }
    client->response_code = n < gScript.size() ? gScript[n] : gScript.back();
    *slot = static_cast<intptr_t>(n + 1);
    return OK;
}

/* The platform's timed semaphore take (the retry wait), interposed: fails
 * while gDelayFails is set. */
bool gDelayFails = false;

} // namespace

extern "C" STATUS semTake(SEM_ID sem, int ticks)
{
    if (gDelayFails && ticks != WAIT_FOREVER && ticks != NO_WAIT) {
        errno = EINTR;
        return ERROR;
    }
    static auto real = reinterpret_cast<STATUS (*)(SEM_ID, int)>(dlsym(RTLD_NEXT, "semTake"));
    return real(sem, ticks);
}

namespace {

struct RetryOutcome {
    STATUS status;
    uint32_t code;
    intptr_t object;
    std::string out, err;
};

RetryOutcome runScript(OZK_CLIENT_CTRL *client, std::vector<long> script, unsigned speedup, STATUS ret = OK)
{
    gScript = std::move(script);
    gTicks.clear();
    gScriptReturn = ret;
    ozClockSpeedupSet(speedup);
    OZK_HTTP_FUNC_HANDLE handle{};
    handle.ozkHttpFunc = scriptedRequest;
    strcpy(handle.ozkFuncName, "ozkClientScripted");
    RetryOutcome r{};
    r.code = 777;
    ConsoleCapture console;
    r.status = ozkHttpWithRetry(client, &handle, 1, 2, 3, &r.code, &r.object);
    r.out = console.out();
    r.err = console.err();
    ozClockSpeedupSet(1);
    return r;
}

std::string retryLine(const std::string &text, int cnt)
{
    return "http request fail, funcName:ozkClientScripted, err: " + text + ",retrycnt:" + std::to_string(cnt) + "!";
}

template <typename T>
T *parsed(T *(*parse)(cJSON *), const std::string &json)
{
    cJSON *tree = cJSON_Parse(json.c_str());
    T *rec = parse(tree);
    cJSON_Delete(tree);
    return rec;
}

object_t *patchObject(const std::string &json)
{
    return parsed(object_parseFromJSON, json);
}

/* A JSON value at a dotted path of a JSON text, printed unformatted. */
std::string jsonAt(const std::string &json, const std::string &dotted)
{
    cJSON *root = cJSON_Parse(json.c_str());
    const cJSON *at = root;
    std::stringstream path(dotted);
    std::string key;
    while (at != nullptr && std::getline(path, key, '.')) {
        at = cJSON_GetObjectItemCaseSensitive(at, key.c_str());
    }
    std::string out;
    if (at != nullptr) {
        char *text = cJSON_PrintUnformatted(at);
        out = text;
        cJSON_free(text);
    }
    cJSON_Delete(root);
    return out;
}

} // namespace

/* ------------------------------------------------------------------------
 * Response-code classification
 * ------------------------------------------------------------------------ */
TEST(FerryRspCode, ClassificationTable)
{
    struct Row {
        long code;
        STATUS status;
        const char *text; /* null: success, the text slot is left alone */
        BOOL fatal;
    };
    const Row rows[] = {
        {0, ERROR, "SSL connection failed", FALSE},
        {401, ERROR, "HTTP Error: Unauthorized!", TRUE},
        {429, ERROR, "HTTP Error: too many request!", FALSE},
        {500, ERROR, "HTTP Error: internal server error!", FALSE},
        {503, ERROR, "HTTP Error: service available!", FALSE},
        {504, ERROR, "HTTP Error: service timeout!", FALSE},
        {400, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {404, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {409, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {418, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {501, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {502, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {599, ERROR, "HTTP ERROR: errorRspCode", TRUE},
        {1, OK, nullptr, TRUE},
        {200, OK, nullptr, TRUE},
        {201, OK, nullptr, TRUE},
        {204, OK, nullptr, TRUE},
        {304, OK, nullptr, TRUE},
        {399, OK, nullptr, TRUE},
        {600, OK, nullptr, TRUE},
        {-1, OK, nullptr, TRUE},
    };
    ozkVerboseLevel = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.code);
        const char *text = "untouched";
        BOOL fatal = row.fatal ? FALSE : TRUE; /* the opposite, so the write shows */
        EXPECT_EQ(ozkHttpRspCodeCheck(row.code, &text, &fatal), row.status);
        EXPECT_STREQ(text, row.text != nullptr ? row.text : "untouched");
        EXPECT_EQ(fatal, row.fatal);
        /* the text slot is optional */
        EXPECT_EQ(ozkHttpRspCodeCheck(row.code, nullptr, &fatal), row.status);
    }
}

TEST(FerryRspCode, LogLines)
{
    ozkVerboseLevel = 3;
    auto lines = [](long code) {
        BOOL fatal;
        ConsoleCapture console;
        (void)ozkHttpRspCodeCheck(code, nullptr, &fatal);
        return console.out() + console.err();
    };
    /* listed codes: no DEBUG line; 4xx and 5xx: a WARNING */
    EXPECT_EQ(lines(0), "");
    EXPECT_EQ(lines(503), "ferry: WARNING: http error rspcode:503\n");
    EXPECT_EQ(lines(401), "ferry: WARNING: http error rspcode:401\n");
    EXPECT_EQ(lines(404), "ferry: DEBUG: HTTP: rsp code :404!\nferry: WARNING: http error rspcode:404\n");
    EXPECT_EQ(lines(200), "ferry: DEBUG: HTTP: rsp code :200!\n");
    EXPECT_EQ(lines(600), "ferry: DEBUG: HTTP: rsp code :600!\n");
}

/* ------------------------------------------------------------------------
 * Retry engine (scripted request function, no server needed)
 * ------------------------------------------------------------------------ */
class FerryRetry : public ::testing::Test {
protected:
    void SetUp() override { ozkVerboseLevel = 2; }
    ClientBlock block_{"https://127.0.0.1:9", "ca", "cert", "key"};
};

TEST_F(FerryRetry, FourAttemptsWithWaitsOfFiveTwentyFiveAndOneTwentyFiveSeconds)
{
    /* 50 times faster: 155 s of waits take about 3 s */
    RetryOutcome r = runScript(block_.client(), {503}, 50);
    EXPECT_EQ(r.status, ERROR);
    EXPECT_EQ(r.code, 503u);
    EXPECT_EQ(r.object, 4); /* the last attempt's object */
    ASSERT_EQ(gTicks.size(), 4u);
    const uint64_t rate = static_cast<uint64_t>(sysClkRateGet());
    const uint64_t waits[] = {5 * rate, 25 * rate, 125 * rate};
    for (size_t i = 0; i < 3; i++) {
        uint64_t gap = gTicks[i + 1] - gTicks[i];
        EXPECT_GE(gap, waits[i]) << "wait " << i;
        /* scheduling may add to a wait, but never makes it the next one */
        EXPECT_LT(gap, 2 * waits[i]) << "wait " << i;
    }
    std::string expected;
    for (int cnt = 4; cnt >= 1; cnt--) {
        expected +=
            errAt("ozkHttpWithRetry", retryLine("HTTP Error: service available!", cnt), "OZK_ERR(\"http request fail");
    }
    EXPECT_EQ(r.err, expected);
}

TEST_F(FerryRetry, RetriedCodesAndTheirEnd)
{
    for (long code : {0L, 429L, 500L, 504L}) {
        SCOPED_TRACE(code);
        RetryOutcome r = runScript(block_.client(), {code}, 100000);
        EXPECT_EQ(r.status, ERROR);
        EXPECT_EQ(gTicks.size(), 4u);
        EXPECT_EQ(r.code, static_cast<uint32_t>(code));
    }
    /* a failure then a success: two attempts, one wait, status 0 */
    RetryOutcome r = runScript(block_.client(), {503, 200}, 200);
    EXPECT_EQ(r.status, OK);
    EXPECT_EQ(r.code, 200u);
    EXPECT_EQ(r.object, 2);
    ASSERT_EQ(gTicks.size(), 2u);
    EXPECT_GE(gTicks[1] - gTicks[0], 5u * static_cast<uint64_t>(sysClkRateGet()));
    EXPECT_EQ(r.err,
              errAt("ozkHttpWithRetry", retryLine("HTTP Error: service available!", 4), "OZK_ERR(\"http request fail"));
}

TEST_F(FerryRetry, FatalCodesEndAfterOneAttempt)
{
    /* 404: one attempt, a WARNING and no ERROR */
    RetryOutcome r = runScript(block_.client(), {404}, 1);
    EXPECT_EQ(r.status, ERROR);
    EXPECT_EQ(gTicks.size(), 1u);
    EXPECT_EQ(r.code, 404u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "ferry: WARNING: http error rspcode:404\nferry: WARNING: " +
                         retryLine("HTTP ERROR: errorRspCode", 4) + "\n");

    r = runScript(block_.client(), {401}, 1);
    EXPECT_EQ(gTicks.size(), 1u);
    EXPECT_EQ(r.err,
              errAt("ozkHttpWithRetry", retryLine("HTTP Error: Unauthorized!", 4), "OZK_ERR(\"http request fail"));
    r = runScript(block_.client(), {418}, 1);
    EXPECT_EQ(gTicks.size(), 1u);
    EXPECT_EQ(r.code, 418u);
    EXPECT_EQ(r.err,
              errAt("ozkHttpWithRetry", retryLine("HTTP ERROR: errorRspCode", 4), "OZK_ERR(\"http request fail"));
    /* success codes other than 200 */
    for (long code : {204L, 304L}) {
        r = runScript(block_.client(), {code}, 1);
        EXPECT_EQ(r.status, OK);
        EXPECT_EQ(gTicks.size(), 1u);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(FerryRetry, FailedDelayEndsTheRetries)
{
    gDelayFails = true;
    RetryOutcome r = runScript(block_.client(), {503}, 1);
    gDelayFails = false;
    EXPECT_EQ(r.status, ERROR);
    EXPECT_EQ(gTicks.size(), 1u);
    EXPECT_EQ(r.code, 503u);
    EXPECT_EQ(r.err,
              errAt("ozkHttpWithRetry", retryLine("HTTP Error: service available!", 4), "OZK_ERR(\"http request fail") +
                  errAt("ozkHttpWithRetry", "taskDelay fail, retryTime=5, errno=4", "taskDelay fail"));
}

TEST_F(FerryRetry, RefusedParametersAreNotRetried)
{
    RetryOutcome r = runScript(block_.client(), {0}, 1, ERROR);
    EXPECT_EQ(r.status, ERROR);
    EXPECT_EQ(gTicks.size(), 1u);
    EXPECT_EQ(r.err, "");
}

TEST_F(FerryRetry, NoApiClientLeavesTheCodeSlotAlone)
{
    free(block_.ctrl->ozkCnf.serverURL);
    block_.ctrl->ozkCnf.serverURL = nullptr; /* no client can be made */
    RetryOutcome r = runScript(block_.client(), {200}, 1);
    EXPECT_EQ(r.status, ERROR);
    EXPECT_EQ(r.code, 777u);
    EXPECT_EQ(r.object, 0);
    EXPECT_TRUE(gTicks.empty());
    EXPECT_EQ(r.err, errAt("ozkHttpWithRetry", "ozkHttpWithRetry create api client fail!"));
    /* the watch has its own message */
    ConsoleCapture console;
    EXPECT_EQ(ozkClientPodsWatch(block_.client(), "1", "spec.nodeName=x", 1), nullptr);
    EXPECT_EQ(console.err(), errAt("ozkClientPodsWatch", "ozkClientPodsWatch create api client fail!"));
}

TEST(FerryClientSetup, SetupAndDestroy)
{
    ozkVerboseLevel = 3;
    EXPECT_EQ(ozkClientSetup(nullptr), ERROR);
    ConsoleCapture console;
    {
        ClientBlock block("https://h:1", "ca.crt", "client.crt", "client.key");
        EXPECT_EQ(block.setupStatus, OK);
        EXPECT_TRUE(block.client()->isSetGlobalEnv);
        ASSERT_NE(block.client()->sslConf, nullptr);
        EXPECT_STREQ(block.client()->sslConf->CACertFile, "ca.crt");
        EXPECT_STREQ(block.client()->sslConf->clientCertFile, "client.crt");
        EXPECT_STREQ(block.client()->sslConf->clientKeyFile, "client.key");
        EXPECT_EQ(block.client()->sslConf->insecureSkipTlsVerify, 0);
        EXPECT_EQ(block.client()->kubeConf, &block.ctrl->ozkCnf);
        /* the API client takes the URL exactly as given */
        apiClient_t *api = ozkApiClientCreate(block.client());
        ASSERT_NE(api, nullptr);
        EXPECT_STREQ(api->basePath, "https://h:1");
        ozkApiClientDestroy(api);
        ozkClientDestroy(block.client());
        EXPECT_EQ(block.client()->sslConf, nullptr);
        EXPECT_FALSE(block.client()->isSetGlobalEnv);
    }
    ozkClientDestroy(nullptr);
    EXPECT_TRUE(
        linesInOrder(console.out(), {"ferry: DEBUG: SSL Configuration is created", "ferry: DEBUG: apiClient is ready",
                                     "ferry: DEBUG: apiClient has been destroyed"}));
}

/* ------------------------------------------------------------------------
 * Resource operations against the emulator
 * ------------------------------------------------------------------------ */
class FerryApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ozkVerboseLevel = 1;
        ASSERT_TRUE(sim_.start("cl-node")) << sim_.lastError();
        block_ = std::make_unique<ClientBlock>(sim_.url(), sim_.caPath(), sim_.certPath(), sim_.keyPath());
        ASSERT_EQ(block_->setupStatus, OK);
    }
    void TearDown() override { ozClockSpeedupSet(1); }
    OZK_CLIENT_CTRL *client() { return block_->client(); }
    void createPod(const std::string &name, const std::string &node)
    {
        std::string pod = R"({"apiVersion":"v1","kind":"Pod","metadata":{"name":")" + name +
                          R"(","namespace":"default"},"spec":{"nodeName":")" + node +
                          R"(","containers":[{"name":"c","image":"busybox"}]}})";
        ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/pods", pod), 201);
    }
    KubesimProcess sim_;
    std::unique_ptr<ClientBlock> block_;
};

TEST_F(FerryApi, NodeOperations)
{
    v1_node_t *info = parsed(v1_node_parseFromJSON,
                             R"({"apiVersion":"v1","kind":"Node","metadata":{"name":"cl-node","labels":{"a":"b"}}})");
    v1_node_t *created = ozkClientNodeCreate(client(), info);
    ASSERT_NE(created, nullptr);
    ASSERT_NE(created->metadata, nullptr);
    EXPECT_STREQ(created->metadata->name, "cl-node");
    EXPECT_NE(created->metadata->uid, nullptr);
    v1_node_free(created);
    v1_node_free(info);

    v1_node_t *read = ozkClientNodeRead(client(), "cl-node");
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read->metadata->name, "cl-node");
    v1_node_free(read);

    object_t *patch = patchObject(R"({"status":{"capacity":{"pods":"20"}}})");
    v1_node_t *patched = ozkClientNodeStatusPatch(client(), "cl-node", patch);
    EXPECT_NE(patched, nullptr);
    v1_node_free(patched);

    std::vector<KubesimRequest> seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/api/v1/nodes");
    EXPECT_TRUE(seen[0].query.empty());
    EXPECT_EQ(jsonAt(seen[0].body, "metadata.labels"), R"({"a":"b"})");
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].path, "/api/v1/nodes/cl-node");
    EXPECT_TRUE(seen[1].query.empty());
    EXPECT_EQ(seen[2].method, "PATCH");
    EXPECT_EQ(seen[2].path, "/api/v1/nodes/cl-node/status");
    EXPECT_TRUE(seen[2].query.empty());
    EXPECT_EQ(seen[2].contentType, "application/strategic-merge-patch+json");
    EXPECT_EQ(jsonAt(seen[2].body, "status.capacity.pods"), "\"20\"");
    /* the request body stays the caller's */
    EXPECT_NE(patch->temporary, nullptr);
    object_free(patch);

    /* a missing node: one attempt, null */
    EXPECT_EQ(ozkClientNodeRead(client(), "nowhere"), nullptr);
    seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].status, 404);
}

TEST_F(FerryApi, LeaseOperationsAndTheUidRule)
{
    EXPECT_EQ(ozkClientLeaseGet(client(), "cl-node", OZK_LEASE_NAMESPACE), ERROR);
    v1_lease_t *lease =
        parsed(v1_lease_parseFromJSON, R"({"apiVersion":"coordination.k8s.io/v1","kind":"Lease",)"
                                       R"("metadata":{"name":"cl-node","namespace":"kube-node-lease"},)"
                                       R"("spec":{"holderIdentity":"cl-node","leaseDurationSeconds":40}})");
    v1_lease_t *created = ozkClientLeaseCreate(client(), OZK_LEASE_NAMESPACE, lease);
    ASSERT_NE(created, nullptr);
    EXPECT_STREQ(created->metadata->name, "cl-node");
    v1_lease_free(created);
    v1_lease_free(lease);
    EXPECT_EQ(ozkClientLeaseGet(client(), "cl-node", OZK_LEASE_NAMESPACE), OK);

    object_t *patch = patchObject(R"({"spec":{"renewTime":"2026-12-08T01:02:03.000000Z"}})");
    v1_lease_t *patched = ozkClientLeasePatch(client(), OZK_LEASE_NAMESPACE, "cl-node", patch);
    ASSERT_NE(patched, nullptr);
    ASSERT_NE(patched->spec, nullptr);
    EXPECT_STREQ(patched->spec->renew_time, "2026-12-08T01:02:03.000000Z");
    v1_lease_free(patched);
    object_free(patch);

    std::vector<KubesimRequest> seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 4u);
    const std::string base = "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases";
    EXPECT_EQ(seen[0].method + " " + seen[0].path, "GET " + base + "/cl-node");
    EXPECT_EQ(seen[0].status, 404);
    EXPECT_EQ(seen[1].method + " " + seen[1].path, "POST " + base);
    EXPECT_EQ(jsonAt(seen[1].body, "spec.holderIdentity"), "\"cl-node\"");
    EXPECT_EQ(seen[2].method + " " + seen[2].path, "GET " + base + "/cl-node");
    EXPECT_EQ(seen[3].method + " " + seen[3].path, "PATCH " + base + "/cl-node");
    EXPECT_EQ(seen[3].contentType, "application/strategic-merge-patch+json");
    for (const auto &r : seen) {
        EXPECT_TRUE(r.query.empty()) << r.path;
    }
}

/* A scripted TLS peer: serves the files under a directory, the request path
 * naming the file, with the emulator's server certificate, and asks for a
 * client certificate of its CA. */
class FilePeer {
public:
    bool start(const KubesimProcess &sim)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
            close(fd);
            return false;
        }
        port_ = ntohs(sa.sin_port);
        close(fd);
        std::string certs = sim.dir() + "/certs/";
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir_.path().c_str()) != 0) {
                _exit(127);
            }
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            std::string accept = "127.0.0.1:" + std::to_string(port_);
            execlp("openssl", "openssl", "s_server", "-WWW", "-quiet", "-accept", accept.c_str(), "-cert",
                   (certs + "server.crt").c_str(), "-key", (certs + "server.key").c_str(), "-CAfile",
                   (certs + "ca.crt").c_str(), "-Verify", "1", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500; i++) {
            int c = socket(AF_INET, SOCK_STREAM, 0);
            sa.sin_port = htons(static_cast<uint16_t>(port_));
            bool up = connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
            close(c);
            if (up) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    ~FilePeer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    void put(const std::string &path, const std::string &content)
    {
        std::string full = dir_.path() + "/" + path;
        std::string cmd = "mkdir -p '" + full.substr(0, full.rfind('/')) + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
        std::ofstream(full) << content;
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST(FerryLeaseUid, LeaseWithoutUidCountsAsMissing)
{
    /* the emulator always stores a uid: a scripted peer answers instead */
    KubesimProcess sim;
    ASSERT_TRUE(sim.start("cl-node")) << sim.lastError();
    FilePeer peer;
    const std::string dir = "apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases/";
    peer.put(dir + "nouid", R"({"kind":"Lease","metadata":{"name":"nouid"}})");
    peer.put(dir + "emptyuid", R"({"kind":"Lease","metadata":{"name":"emptyuid","uid":""}})");
    peer.put(dir + "good", R"({"kind":"Lease","metadata":{"name":"good","uid":"u-1"}})");
    ASSERT_TRUE(peer.start(sim));
    ClientBlock block(peer.url(), sim.caPath(), sim.certPath(), sim.keyPath());
    ozkVerboseLevel = 1;
    EXPECT_EQ(ozkClientLeaseGet(block.client(), "good", OZK_LEASE_NAMESPACE), OK);
    EXPECT_EQ(ozkClientLeaseGet(block.client(), "nouid", OZK_LEASE_NAMESPACE), ERROR);
    EXPECT_EQ(ozkClientLeaseGet(block.client(), "emptyuid", OZK_LEASE_NAMESPACE), ERROR);
}

TEST_F(FerryApi, PodListReadStatusPatchAndSecret)
{
    createPod("p1", "cl-node");
    createPod("p2", "cl-node");
    createPod("other", "elsewhere");
    ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets",
                           R"({"metadata":{"name":"pull"},"type":"kubernetes.io/dockerconfigjson",)"
                           R"("data":{".dockerconfigjson":"e30="}})"),
              201);
    sim_.requests(true); /* forget the set-up */

    v1_pod_list_t *list = ozkClientPodsList(client(), "spec.nodeName=cl-node");
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->items, nullptr);
    EXPECT_EQ(list->items->count, 2);
    v1_pod_list_free(list);

    v1_pod_t *pod = ozkClientPodRead(client(), "p1", "default");
    ASSERT_NE(pod, nullptr);
    EXPECT_STREQ(pod->metadata->name, "p1");
    v1_pod_free(pod);

    object_t *status = patchObject(R"({"status":{"phase":"Running"}})");
    uint32_t code = 0;
    pod = ozkClientPodStatusPatch(client(), status, "p1", "default", &code);
    ASSERT_NE(pod, nullptr);
    EXPECT_EQ(code, 200u);
    ASSERT_NE(pod->status, nullptr);
    EXPECT_STREQ(pod->status->phase, "Running");
    v1_pod_free(pod);
    /* the code slot may be left out */
    pod = ozkClientPodStatusPatch(client(), status, "p1", "default", nullptr);
    EXPECT_NE(pod, nullptr);
    v1_pod_free(pod);
    /* a vanished pod: one attempt, 404 handed back */
    code = 0;
    EXPECT_EQ(ozkClientPodStatusPatch(client(), status, "gone", "default", &code), nullptr);
    EXPECT_EQ(code, 404u);
    object_free(status);

    v1_secret_t *secret = ozkClientSecretGet(client(), "default", "pull");
    ASSERT_NE(secret, nullptr);
    EXPECT_STREQ(secret->type, "kubernetes.io/dockerconfigjson");
    v1_secret_free(secret);

    std::vector<KubesimRequest> seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].method + " " + seen[0].path, "GET /api/v1/pods");
    EXPECT_EQ(seen[0].query, (std::map<std::string, std::string>{{"fieldSelector", "spec.nodeName=cl-node"}}));
    EXPECT_EQ(seen[1].method + " " + seen[1].path, "GET /api/v1/namespaces/default/pods/p1");
    EXPECT_EQ(seen[2].method + " " + seen[2].path, "PATCH /api/v1/namespaces/default/pods/p1/status");
    EXPECT_EQ(seen[2].contentType, "application/strategic-merge-patch+json");
    EXPECT_EQ(jsonAt(seen[2].body, "status.phase"), "\"Running\"");
    EXPECT_EQ(seen[4].method + " " + seen[4].path, "PATCH /api/v1/namespaces/default/pods/gone/status");
    EXPECT_EQ(seen[4].status, 404);
    EXPECT_EQ(seen[5].method + " " + seen[5].path, "GET /api/v1/namespaces/default/secrets/pull");
    for (size_t i = 1; i < seen.size(); i++) {
        EXPECT_TRUE(seen[i].query.empty()) << seen[i].path;
    }
}

TEST_F(FerryApi, PodDeleteWithPreconditions)
{
    createPod("p1", "cl-node");
    v1_pod_t *pod = ozkClientPodRead(client(), "p1", "default");
    ASSERT_NE(pod, nullptr);
    std::string uid = pod->metadata->uid;
    sim_.requests(true);

    /* a wrong uid: 409, not retried */
    v1_delete_options_t *wrong =
        parsed(v1_delete_options_parseFromJSON, R"({"preconditions":{"uid":"00000000-0000-0000-0000-000000000000"}})");
    uint32_t code = 0;
    EXPECT_EQ(ozkClientPodDelete(client(), pod, wrong, &code), nullptr);
    EXPECT_EQ(code, 409u);
    v1_delete_options_free(wrong);

    v1_delete_options_t *opts =
        parsed(v1_delete_options_parseFromJSON, R"({"preconditions":{"uid":")" + uid + R"("}})");
    v1_pod_t *deleted = ozkClientPodDelete(client(), pod, opts, &code);
    ASSERT_NE(deleted, nullptr);
    EXPECT_EQ(code, 200u);
    /* bound to a node: deleted gracefully */
    EXPECT_NE(deleted->metadata->deletion_timestamp, nullptr);
    v1_pod_free(deleted);

    std::vector<KubesimRequest> seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].method + " " + seen[1].path, "DELETE /api/v1/namespaces/default/pods/p1");
    EXPECT_TRUE(seen[1].query.empty());
    EXPECT_EQ(seen[1].contentType, "application/json");
    EXPECT_EQ(jsonAt(seen[1].body, "preconditions.uid"), "\"" + uid + "\"");

    /* a pod that is gone: one attempt, 404 */
    free(pod->metadata->name);
    pod->metadata->name = strdup("gone");
    EXPECT_EQ(ozkClientPodDelete(client(), pod, opts, &code), nullptr);
    EXPECT_EQ(code, 404u);
    EXPECT_EQ(sim_.requests(true).size(), 1u);
    v1_delete_options_free(opts);
    v1_pod_free(pod);
}

TEST_F(FerryApi, ArgumentChecks)
{
    ConsoleCapture console;
    object_t *body = patchObject("{}");
    v1_node_t *node = parsed(v1_node_parseFromJSON, R"({"metadata":{"name":"x"}})");
    v1_lease_t *lease = parsed(v1_lease_parseFromJSON, R"({"metadata":{"name":"x"}})");
    v1_pod_t *pod = parsed(v1_pod_parseFromJSON, R"({"metadata":{"name":"x","namespace":"default"}})");
    v1_delete_options_t *opts = parsed(v1_delete_options_parseFromJSON, "{}");
    uint32_t code = 5;

    /* quiet refusals */
    EXPECT_EQ(ozkClientNodeRead(nullptr, "x"), nullptr);
    EXPECT_EQ(ozkClientNodeRead(client(), nullptr), nullptr);
    EXPECT_EQ(ozkClientNodeCreate(client(), nullptr), nullptr);
    EXPECT_EQ(ozkClientNodeCreate(nullptr, node), nullptr);
    EXPECT_EQ(ozkClientNodeStatusPatch(client(), nullptr, body), nullptr);
    EXPECT_EQ(ozkClientNodeStatusPatch(client(), "x", nullptr), nullptr);
    EXPECT_EQ(ozkClientLeaseCreate(client(), nullptr, lease), nullptr);
    EXPECT_EQ(ozkClientLeaseCreate(client(), "ns", nullptr), nullptr);
    EXPECT_EQ(ozkClientLeasePatch(client(), "ns", nullptr, body), nullptr);
    EXPECT_EQ(ozkClientLeasePatch(client(), nullptr, "x", body), nullptr);
    EXPECT_EQ(ozkClientLeasePatch(client(), "ns", "x", nullptr), nullptr);
    EXPECT_EQ(ozkClientLeaseGet(client(), nullptr, "ns"), ERROR);
    EXPECT_EQ(ozkClientLeaseGet(client(), "x", nullptr), ERROR);
    EXPECT_EQ(ozkClientLeaseGet(nullptr, "x", "ns"), ERROR);
    std::string quiet = console.err();
    EXPECT_EQ(quiet, "");

    ConsoleCapture loud;
    EXPECT_EQ(ozkClientPodsList(client(), nullptr), nullptr);
    EXPECT_EQ(ozkClientPodsList(nullptr, "f"), nullptr);
    EXPECT_EQ(ozkClientPodsWatch(client(), nullptr, "f", 1), nullptr);
    EXPECT_EQ(ozkClientPodsWatch(client(), "1", nullptr, 1), nullptr);
    EXPECT_EQ(ozkClientSecretGet(client(), nullptr, "s"), nullptr);
    EXPECT_EQ(ozkClientSecretGet(client(), "ns", nullptr), nullptr);
    EXPECT_EQ(ozkClientPodStatusPatch(client(), nullptr, "p", "ns", &code), nullptr);
    EXPECT_EQ(ozkClientPodStatusPatch(client(), body, nullptr, "ns", &code), nullptr);
    EXPECT_EQ(ozkClientPodStatusPatch(client(), body, "p", nullptr, &code), nullptr);
    EXPECT_EQ(ozkClientPodRead(client(), nullptr, "ns"), nullptr);
    EXPECT_EQ(ozkClientPodRead(client(), "p", nullptr), nullptr);
    EXPECT_EQ(ozkClientPodDelete(client(), nullptr, opts, &code), nullptr);
    EXPECT_EQ(ozkClientPodDelete(client(), pod, nullptr, &code), nullptr);
    EXPECT_EQ(code, 5u);
    std::string err = loud.err();
    auto twice = [](const std::string &line) { return line + line; };
    EXPECT_EQ(err, twice(errAt("ozkClientPodsList", "invalid param for ozkClientPodsList!")) +
                       twice(errAt("ozkClientPodsWatch", "ozkClientPodsWatch invalid param!")) +
                       twice(errAt("ozkClientSecretGet", "invalid param for ozkClientSecretGet!")) +
                       twice(errAt("ozkClientPodStatusPatch", "ozkClientPodStatusPatch invalid param!")) +
                       errAt("ozkClientPodStatusPatch", "ozkClientPodStatusPatch invalid param!") +
                       twice(errAt("ozkClientPodRead", "ferry ozkClientPodRead invalid param!")) +
                       twice(errAt("ozkClientPodDelete", "ozkClientPodDelete invalid param!")));
    /* nothing reached the server */
    EXPECT_TRUE(sim_.requests(true).empty());

    /* the request functions check again */
    ConsoleCapture direct;
    apiClient_t *api = ozkApiClientCreate(client());
    intptr_t slot = 0;
    intptr_t p = reinterpret_cast<intptr_t>("x");
    EXPECT_EQ(ozkHttpNodeRead(api, 0, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpNodeCreate(api, 0, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpNodeStatusPatch(api, p, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpLeaseCreate(api, p, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpLeasePatch(api, p, p, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpLeaseGet(api, 0, p, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpPodsList(api, 0, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpSecretGet(api, p, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpPodStatusPatch(api, p, p, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpPodGet(api, p, 0, 0, &slot), ERROR);
    EXPECT_EQ(ozkHttpPodDelete(api, reinterpret_cast<intptr_t>(pod), 0, 0, &slot), ERROR);
    /* a pod without name and namespace cannot be deleted */
    v1_pod_t *bare = parsed(v1_pod_parseFromJSON, "{}");
    EXPECT_EQ(ozkHttpPodDelete(api, reinterpret_cast<intptr_t>(bare), reinterpret_cast<intptr_t>(opts), 0, &slot),
              ERROR);
    EXPECT_EQ(slot, 0);
    ozkApiClientDestroy(api);
    EXPECT_EQ(direct.err(), errAt("ozkHttpNodeRead", "invalid param for ozkHttpNodeRead!") +
                                errAt("ozkHttpNodeCreate", "invalid param for ozkHttpNodeCreate!") +
                                errAt("ozkHttpNodeStatusPatch", "invalid param for ozkHttpNodeStatusPatch!") +
                                errAt("ozkHttpLeaseCreate", "invalid param for ozkHttpLeaseCreate!") +
                                errAt("ozkHttpLeasePatch", "invalid param for ozkHttpLeasePatch!") +
                                errAt("ozkHttpLeaseGet", "invalid param for ozkHttpLeaseGet!") +
                                errAt("ozkHttpPodsList", "invalid param for list podlist") +
                                errAt("ozkHttpPodStatusPatch", "invalid param for ozkHttpPodStatusPatch!") +
                                errAt("ozkHttpPodGet", "invalid param for ozkHttpPodGet!") +
                                errAt("ozkHttpPodDelete", "invalid param for ozkHttpPodDelete!") +
                                errAt("ozkHttpPodDelete", "invalid param for ozkHttpPodDelete!"));
    /* a pod delete refused by its request function is not retried */
    ConsoleCapture refused;
    EXPECT_EQ(ozkClientPodDelete(client(), bare, opts, &code), nullptr);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(refused.err(), errAt("ozkHttpPodDelete", "invalid param for ozkHttpPodDelete!"));
    EXPECT_TRUE(sim_.requests(true).empty());

    v1_pod_free(bare);
    object_free(body);
    v1_node_free(node);
    v1_lease_free(lease);
    v1_pod_free(pod);
    v1_delete_options_free(opts);
}

TEST_F(FerryApi, InjectedFaultsAreRetriedByTheRule)
{
    ozClockSpeedupSet(100000);
    ozkVerboseLevel = 0;
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/cl-node", 503, 4));
    EXPECT_EQ(ozkClientNodeRead(client(), "cl-node"), nullptr);
    std::vector<KubesimRequest> seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 4u);
    for (const auto &r : seen) {
        EXPECT_EQ(r.status, 503);
    }
    /* a pod list that fails for good says so and hands back nothing */
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/pods", 500, 4));
    ozkVerboseLevel = 1;
    ConsoleCapture console;
    EXPECT_EQ(ozkClientPodsList(client(), "spec.nodeName=cl-node"), nullptr);
    EXPECT_NE(console.err().find(errAt("ozkClientPodsList", "ozk client pod list fail!")), std::string::npos)
        << console.err();
    EXPECT_EQ(sim_.requests(true).size(), 4u);
    /* 401 and 404 are not retried */
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/namespaces/default/pods/p", 401, 4));
    EXPECT_EQ(ozkClientPodRead(client(), "p", "default"), nullptr);
    EXPECT_EQ(sim_.requests(true).size(), 1u);
    ASSERT_TRUE(sim_.clearFaults());
    /* a lost connection counts as no answer and is retried */
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/cl-node", 0, 2, 0.0, true));
    v1_node_t *info = parsed(v1_node_parseFromJSON, R"({"metadata":{"name":"cl-node"}})");
    v1_node_free(ozkClientNodeCreate(client(), info));
    v1_node_free(info);
    sim_.requests(true);
    v1_node_t *node = ozkClientNodeRead(client(), "cl-node");
    EXPECT_NE(node, nullptr);
    v1_node_free(node);
}

/* The one real-time retry: 503, a wait of 5 s, then 200. */
TEST_F(FerryApi, RealTimeRetryAfterServiceUnavailable)
{
    v1_node_t *info = parsed(v1_node_parseFromJSON, R"({"metadata":{"name":"cl-node"}})");
    v1_node_free(ozkClientNodeCreate(client(), info));
    v1_node_free(info);
    sim_.requests(true);
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/nodes/cl-node", 503, 1));
    auto start = std::chrono::steady_clock::now();
    v1_node_t *node = ozkClientNodeRead(client(), "cl-node");
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_NE(node, nullptr);
    EXPECT_STREQ(node->metadata->name, "cl-node");
    v1_node_free(node);
    EXPECT_GE(elapsed, std::chrono::seconds(5));
    EXPECT_LT(elapsed, std::chrono::seconds(15));
    std::vector<KubesimRequest> seen = sim_.requests(true);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].status, 503);
    EXPECT_EQ(seen[1].status, 200);
}

/* ------------------------------------------------------------------------
 * Transport failures: named by libcurl's text, and those of TLS trust not
 * retried
 * ------------------------------------------------------------------------ */
TEST_F(FerryApi, TransportFailuresAreNamedAndTrustFailuresEndAtOnce)
{
    /* TLS material of another CA */
    TempDir other;
    std::string cmd = "python3 '" + sourceDir() + "/tests/kubesim/kubesim.py' mkcerts '" + other.path() +
                      "' --node cl-node > /dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0);
    /* a port that nothing listens on */
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len), 0);
    std::string closedUrl = "https://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    close(fd);

    struct Case {
        const char *name;
        std::string url, ca, cert, key;
        int attempts;
        const char *detail; /* in libcurl's words (the parentheses hold some in every case) */
    } cases[] = {
        {"server certificate from another CA", sim_.url(), other.path() + "/ca.crt", sim_.certPath(), sim_.keyPath(), 1,
         "SSL certificate problem: "},
        /* the server ends the handshake: what the client sees then varies */
        {"client certificate refused by the server", sim_.url(), sim_.caPath(), other.path() + "/client.crt",
         other.path() + "/client.key", 4, ""},
        {"connection refused", closedUrl, sim_.caPath(), sim_.certPath(), sim_.keyPath(), 4, "Couldn't connect"},
    };
    ozClockSpeedupSet(100000);
    ozkVerboseLevel = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClientBlock block(c.url, c.ca, c.cert, c.key);
        OZK_HTTP_FUNC_HANDLE handle{};
        handle.ozkHttpFunc = ozkHttpNodeRead;
        strcpy(handle.ozkFuncName, "ozkClientNodeRead");
        uint32_t code = 999;
        intptr_t object = 0;
        ConsoleCapture console;
        STATUS status =
            ozkHttpWithRetry(block.client(), &handle, reinterpret_cast<intptr_t>("cl-node"), 0, 0, &code, &object);
        std::string err = console.err();
        EXPECT_EQ(status, ERROR);
        EXPECT_EQ(code, 0u);
        v1_node_free(reinterpret_cast<v1_node_t *>(object));
        std::vector<std::string> lines = splitLines(err);
        ASSERT_EQ(lines.size(), static_cast<size_t>(c.attempts)) << err;
        for (int i = 0; i < c.attempts; i++) {
            std::string head =
                errAt("ozkHttpWithRetry", "http request fail, funcName:ozkClientNodeRead, err: SSL connection failed (",
                      "OZK_ERR(\"http request fail");
            head.pop_back(); /* the newline */
            EXPECT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
            EXPECT_NE(lines[i].find(c.detail), std::string::npos) << lines[i];
            EXPECT_NE(lines[i].find("),retrycnt:" + std::to_string(4 - i) + "!"), std::string::npos) << lines[i];
        }
    }
    /* no request got through to the API */
    for (const auto &r : sim_.requests(true)) {
        EXPECT_NE(r.status, 200) << r.path;
    }
}

/* Only the configured CA vouches for the server: libcurl's own CA
 * directory is switched off (libcurl says so when it describes the
 * transfer). */
TEST_F(FerryApi, OnlyTheConfiguredCaIsTrusted)
{
    apiClient_t *api = ozkApiClientCreate(client());
    ASSERT_NE(api, nullptr);
    curlConfig_t verbose{1};
    api->curlConfig = &verbose;
    ConsoleCapture console;
    char name[] = "nobody";
    v1_node_free(CoreV1API_readNode(api, name, nullptr));
    std::string trace = console.err();
    ozkApiClientDestroy(api);
    EXPECT_NE(trace.find("CAfile: " + sim_.caPath()), std::string::npos) << trace;
    EXPECT_NE(trace.find("CApath: none"), std::string::npos) << trace;
}
