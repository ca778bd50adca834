/*
 * podstart_test.cpp - the pod start and the pod status in this process,
 * with the real runtime daemon, Debian's docker-registry (basic and token
 * authentication) and the API server emulator: credentials chosen per
 * registry (the registries' own logs tell what reached them), secret
 * errors, pull policies and the wanted tag, bundles and restarts, exit
 * codes, readiness, phases and conditions, failed starts, and the batch
 * status sync.
 */
#include "podStartFixture.h"

#include <set>

using namespace ferrytest;
using namespace podtest;

namespace {

using PodStart = PodStartFixture;

} // namespace

TEST(PodSecrets, AnAuthsKeyNamesTheRegistryHost)
{
    struct Case {
        const char *key, *registry;
        BOOL match;
    } cases[] = {
        {"reg.example:5000", "reg.example:5000", TRUE},
        {"https://reg.example:5000/v2/", "reg.example:5000", TRUE},
        {"http://REG.example:5000", "reg.example:5000", TRUE},
        {"reg.example", "reg.example:5000", FALSE},
        {"reg.example:5001", "reg.example:5000", FALSE},
        {"other.example", "reg.example", FALSE},
        {"https://index.docker.io/v1/", "registry-1.docker.io", TRUE},
        {"docker.io", "registry-1.docker.io", TRUE},
        {"docker.io", "quay.io", FALSE},
        {"", "reg.example", FALSE},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ozkRegistryKeyMatch(c.key, c.registry), c.match) << c.key << " / " << c.registry;
    }
}

TEST(PodStatus, PhaseConditionsAndAddressesFollowTheContainers)
{
    struct Case {
        std::vector<std::string> states; /* "running", "waiting", "terminated:<code>" */
        const char *phase;
        const char *conditions; /* PodScheduled, ContainersReady, Ready, Initialized */
        const char *nodeIP;
    } cases[] = {
        {{"running", "waiting"}, "Running", "TFFT", "10.0.0.7"},
        {{"running", "running"}, "Running", "TTTT", "10.0.0.7"},
        {{"running", "terminated:2"}, "Running", "TFFT", nullptr},
        {{"terminated:0"}, "Succeeded", "FFFF", nullptr},
        {{"terminated:3"}, "Failed", "FFFF", "10.0.0.7"},
        {{"terminated:0", "terminated:1"}, "Failed", "FFFF", nullptr},
        {{"terminated:0", "waiting"}, "Pending", "TFFF", nullptr},
        {{"waiting"}, "Pending", "TFFF", nullptr},
    };
    for (const Case &c : cases) {
        list_t *list = list_createList();
        for (const std::string &s : c.states) {
            std::string state = s == "running"   ? R"({"running":{}})"
                                : s == "waiting" ? R"({"waiting":{"reason":"r"}})"
                                                 : R"({"terminated":{"exitCode":)" + s.substr(11) + "}}";
            Json json =
                parse(R"({"name":"c","image":"i","imageID":"x","ready":false,"restartCount":0,"state":)" + state + "}");
            list_addElement(list, v1_container_status_parseFromJSON(json.get()));
        }
        std::string what = c.phase + std::string(" ") + c.conditions;
        EXPECT_STREQ(ozkPodPhaseGet(list), c.phase) << what;
        OZK_CONF conf{};
        conf.nodeIP = const_cast<char *>(c.nodeIP);
        OZK_POD_MANAGER_CTRL pm{};
        pm.kubeConf = &conf;
        v1_pod_status_t *status = ozkPatchPodStatusGenerate(&pm, list, ozkPodPhaseGet(list));
        ASSERT_NE(status, nullptr) << what;
        Json json(v1_pod_status_convertToJSON(status));
        v1_pod_status_free(status); /* and the list with it */
        const char *types[] = {"PodScheduled", "ContainersReady", "Ready", "Initialized"};
        for (int i = 0; i < 4; i++) {
            const cJSON *cond = at(json.get(), "conditions." + std::to_string(i));
            EXPECT_EQ(str(cond, "type"), types[i]) << what;
            EXPECT_EQ(str(cond, "status"), c.conditions[i] == 'T' ? "True" : "False") << what << " " << types[i];
        }
        EXPECT_EQ(str(json.get(), "qosClass"), "BestEffort");
        EXPECT_EQ(str(json.get(), "hostIP"), c.nodeIP != nullptr ? c.nodeIP : "<absent>") << what;
        EXPECT_EQ(str(json.get(), "podIP"), c.nodeIP != nullptr ? c.nodeIP : "<absent>") << what;
        EXPECT_EQ(str(json.get(), "podIPs.0.ip"), c.nodeIP != nullptr ? c.nodeIP : "<absent>") << what;
    }
}

TEST(PodStatus, OnlyARunningContainerIsReadyAndTimesAreUtc)
{
    setenv("TZ", "KIT-14", 1); /* far from UTC; no zone database needed */
    tzset();
    v1_container_t *container = v1_container_create(nullptr, nullptr, strdup("c"));
    CONTAINER_INFO_LOCAL local{};
    snprintf(local.containerId, sizeof local.containerId, "app_1");
    snprintf(local.imagePath, sizeof local.imagePath, "reg/app:v1");
    local.restartCnt = 2;
    list_t *list = list_createList();
    time_t before = time(nullptr);
    ASSERT_EQ(ozkGenerateContainerStatus(list, "Running", container, &local, nullptr), OK);
    ASSERT_EQ(ozkGenerateContainerStatus(list, "Waiting", container, &local, nullptr), OK);
    ASSERT_EQ(ozkGenerateContainerStatus(list, "Waiting", container, &local, "pulling image"), OK);
    EXPECT_EQ(ozkGenerateContainerStatus(list, "unknown", container, &local, nullptr), ERROR);
    time_t after = time(nullptr);
    unsetenv("TZ");
    tzset();
    std::vector<Json> statuses;
    listEntry_t *e = nullptr;
    list_ForEach(e, list)
        statuses.emplace_back(v1_container_status_convertToJSON(static_cast<v1_container_status_t *>(e->data)));
    ozkContainerStatusListFree(list);
    v1_container_free(container);
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(str(statuses[0].get(), "ready"), "true");
    EXPECT_EQ(str(statuses[0].get(), "started"), "true");
    EXPECT_EQ(str(statuses[0].get(), "containerID"), "ozc://app_1");
    EXPECT_EQ(str(statuses[0].get(), "restartCount"), "2");
    std::string started = str(statuses[0].get(), "state.running.startedAt");
    struct tm tm {};
    ASSERT_NE(strptime(started.c_str(), "%Y-%m-%dT%H:%M:%S.000000Z", &tm), nullptr) << started;
    EXPECT_GE(timegm(&tm), before) << started;
    EXPECT_LE(timegm(&tm), after) << started;
    for (int i : {1, 2}) {
        EXPECT_EQ(str(statuses[i].get(), "ready"), "false");
        EXPECT_NE(str(statuses[i].get(), "started"), "true");
    }
    EXPECT_EQ(str(statuses[1].get(), "state.waiting.reason"), "null");
    EXPECT_EQ(str(statuses[1].get(), "state.waiting.message"), "null");
    EXPECT_EQ(str(statuses[2].get(), "state.waiting.reason"), "pulling image");
}

/* One secret names two registries, an earlier one names the first without
 * credentials, a third registry is named by none: each registry gets its
 * own credentials and the third none, as their logs show. */
TEST_F(PodStart, EachRegistryGetsItsOwnCredentialsAndAnUnnamedOneNone)
{
    ASSERT_TRUE(reg_.ok()) << reg_.error();
    std::string repo = "ferry" + std::to_string(getpid()) + "/creds";
    std::string layout = tmp_ / "creds";
    ASSERT_TRUE(rtfix::mkimage(layout, "--tag v1 --cmd '[\"sh\",\"-c\",\"sleep 1000\"]'"));
    /* One image under a last name per registry: images of one last name
     * from two registries cannot share the local store. */
    for (const char *suffix : {"", "2"})
        ASSERT_EQ(oztest::sh("skopeo copy -q --dest-tls-verify=false oci:" + layout + ":v1 docker://" +
                             reg_["OZ_REG_TLS"] + "/" + repo + suffix + ":v1"),
                  0);
    std::string basic = reg_["OZ_REG_BASIC"], oauth = reg_["OZ_REG_OAUTH"];
    std::string basicPort = basic.substr(basic.find(':') + 1);
    std::string unnamed = "localhost:" + basicPort; /* the same registry, under a name no secret uses */
    secret("empty", R"({".dockerconfigjson":")" +
                        b64(R"({"auths":{")" + basic + R"(":{"username":"","password":""}}})") + "\"}");
    secret("regs",
           R"({".dockerconfigjson":")" +
               b64(R"({"auths":{"https://)" + basic + R"(":{"username":")" + reg_["OZ_REG_USER"] + R"(","password":")" +
                   reg_["OZ_REG_PASSWORD"] + R"("},")" + oauth + R"(/v2/":{"username":")" + reg_["OZ_REG_OAUTH_USER"] +
                   R"(","password":")" + reg_["OZ_REG_OAUTH_PASSWORD"] + R"("}}})") +
               "\"}");
    std::string containers = R"([{"name":"basic","image":")" + basic + "/" + repo + R"(:v1"},)" +
                             R"({"name":"oauth","image":")" + oauth + "/" + repo + R"(2:v1"},)" +
                             R"({"name":"unnamed","image":")" + unnamed + "/" + repo + R"(3:v1"}])";
    Json pod = start("creds", containers, R"(,"imagePullSecrets":[{"name":"empty"},{"name":"regs"}])", ERROR);
    EXPECT_EQ(stateOf(pod.get(), 0), "running");
    EXPECT_EQ(stateOf(pod.get(), 1), "running");
    EXPECT_EQ(stateOf(pod.get(), 2), "waiting:pulling image fail");
    removeContainers("creds");

    /* The basic registry (whose one user is the puller) let the requests
     * for the image in under its own name, and heard no credentials at all
     * under the other name; the token registry let them in with the token
     * its issuer gives only for the issuer's own credentials. */
    std::string basicLog = oztest::readFile(reg_["OZ_REG_DIR"] + "/basic.log");
    std::string oauthLog = oztest::readFile(reg_["OZ_REG_DIR"] + "/oauth.log");
    auto admitted = [&](const std::string &log, const std::string &host) {
        int n = 0;
        for (const std::string &line : splitLines(log)) {
            n += line.find("http.request.host=\"" + host + "\"") != std::string::npos &&
                 line.find("vars.name=" + repo) != std::string::npos &&
                 line.find("msg=\"authorized request\"") != std::string::npos;
        }
        return n;
    };
    EXPECT_GT(admitted(basicLog, basic), 0) << basicLog;
    EXPECT_GT(admitted(oauthLog, oauth), 0) << oauthLog;
    int anonymous = 0;
    for (const std::string &line : splitLines(basicLog)) {
        if (line.find("http.request.host=\"" + unnamed + "\"") != std::string::npos) {
            EXPECT_EQ(line.find("authorized request"), std::string::npos) << line;
            EXPECT_EQ(line.find("error authenticating user"), std::string::npos) << line;
            anonymous += line.find("invalid authorization credential") != std::string::npos;
        }
    }
    EXPECT_GT(anonymous, 0) << basicLog;
    EXPECT_EQ(oauthLog.find("error authenticating user"), std::string::npos);
}

TEST_F(PodStart, BadOrMissingSecretsFailThePodBeforeAnyContainerIsTouched)
{
    std::string image = R"([{"name":"main","image":"127.0.0.1:1/team/app:v1","imagePullPolicy":"Never"}])";
    auto config = [](const std::string &json) { return R"({".dockerconfigjson":")" + b64(json) + "\"}"; };
    struct Case {
        const char *name;
        std::string data; /* empty: no such secret */
        const char *error;
    } cases[] = {
        {"missing", "", "secret item is NULL!"},
        {"nokey", R"({"other":"e30="})", "get docker config json key fail!"},
        {"notjson", config("{not json"), "parse secret data from json object fail!"},
        {"noauths", config(R"({"x":1})"), "parse auth item from secret item fail!"},
        {"emptyauths", config(R"({"auths":{}})"), "parse registry auth info fail!"},
        {"nouser", config(R"({"auths":{"127.0.0.1:1":{"password":"p"}}})"), "get username json fail!"},
        {"nopassword", config(R"({"auths":{"127.0.0.1:1":{"username":"u"}}})"), "get pwd json fail!"},
    };
    for (const Case &c : cases) {
        if (!c.data.empty()) {
            secret(c.name, c.data);
        }
        sim_.requests(true);
        ConsoleCapture console;
        Json pod = start(std::string("s-") + c.name, image,
                         R"(,"imagePullSecrets":[{"name":")" + std::string(c.name) + "\"}]", ERROR);
        console.stop();
        EXPECT_NE(console.err().find(std::string(" ") + c.error + "\n"), std::string::npos) << c.name << "\n"
                                                                                            << console.err();
        EXPECT_NE(console.err().find(" set username and pwd error!\n"), std::string::npos) << c.name;
        for (const ApiRequest &r : sim_.requests()) {
            EXPECT_NE(r.method, "PATCH") << c.name << ": a status was reported";
        }
    }
    /* the API server keeps only valid base64; a secret that comes with
     * other is refused all the same */
    for (const char *data : {"!!!!", "e30=x", "e", ""}) {
        Json json = parse(std::string(R"({"data":{".dockerconfigjson":")") + data + "\"}}");
        v1_secret_t *bad = v1_secret_parseFromJSON(json.get());
        cJSON *auths = nullptr;
        ConsoleCapture console;
        EXPECT_EQ(ozkSecretParseToAuthConfig(bad, &auths), ERROR) << data;
        console.stop();
        EXPECT_NE(console.err().find(" decode secret data fail!\n"), std::string::npos) << data;
        v1_secret_free(bad);
    }
    /* a member for another registry without a user name is not this
     * image's: the pod goes on (and finds no image) */
    secret("other", config(R"({"auths":{"elsewhere.example":{"auth":"dTpw"}}})"));
    Json pod = start("s-other", image, R"(,"imagePullSecrets":[{"name":"other"}])", ERROR);
    EXPECT_EQ(stateOf(pod.get(), 0), "waiting:container startup fail");
}

TEST_F(PodStart, PullPoliciesAndTheWantedTag)
{
    /* the layout holds team/app:v1 of a registry that answers nothing, so
     * every pull fails and a running container proves there was none */
    const std::string ref = "127.0.0.1:1/team/app";
    localImage("app", "v1", ref + ":v1", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'");
    struct Case {
        const char *image, *policy;
        bool imagePathSet;
        const char *want;
    } cases[] = {
        {"127.0.0.1:1/team/app:v1", "IfNotPresent", true, "running"},
        {"127.0.0.1:1/team/app:v1", "Never", true, "running"},
        {"127.0.0.1:1/team/app:v2", "IfNotPresent", true, "waiting:pulling image fail"},  /* another tag */
        {"127.0.0.1:1/other/app:v1", "IfNotPresent", true, "waiting:pulling image fail"}, /* another image */
        {"127.0.0.1:1/team/app:v2", "Never", true, "waiting:container startup fail"},
        {"127.0.0.1:1/team/app:v1", "Always", true, "waiting:pulling image fail"},
        /* the API server gives a tagged image without a policy "IfNotPresent" */
        {"127.0.0.1:1/team/app:v1", nullptr, true, "running"},
        {"127.0.0.1:1/team/app:v1", "IfNotPresent", false, "waiting:pulling image fail"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::unique_ptr<regfix::EnvScope> unset;
        if (!c.imagePathSet) {
            unset = std::make_unique<regfix::EnvScope>("OZC_IMAGE_PATH", nullptr);
        }
        std::string container = R"([{"name":"main","image":")" + std::string(c.image) + "\"" +
                                (c.policy != nullptr ? R"(,"imagePullPolicy":")" + std::string(c.policy) + "\"" : "") +
                                "}]";
        std::string name = "pol" + std::to_string(n++);
        Json pod = start(name, container, "", strcmp(c.want, "running") == 0 ? OK : ERROR);
        EXPECT_EQ(stateOf(pod.get(), 0), c.want) << c.image << " " << (c.policy ? c.policy : "(none)");
        if (strcmp(c.want, "running") == 0) {
            EXPECT_EQ(str(pod.get(), "status.containerStatuses.0.image"), c.image);
            EXPECT_EQ(
                str(pod.get(), "status.containerStatuses.0.imageID").rfind("docker-pullable://" + ref + "@sha256:", 0),
                0u)
                << str(pod.get(), "status.containerStatuses.0.imageID");
        }
        removeContainers(name);
    }
}

TEST_F(PodStart, OneImageTwiceAndARestart)
{
    localImage("app", "v1", "127.0.0.1:1/team/app:v1", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'");
    std::string image = R"("image":"127.0.0.1:1/team/app:v1","imagePullPolicy":"IfNotPresent")";
    Json pod = start("twice", R"([{"name":"a",)" + image + R"(},{"name":"b",)" + image + "}]");
    std::string uid = str(pod.get(), "metadata.uid");
    CONTAINER_INFO_LOCAL a{}, b{};
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":a").c_str(), &a), OK);
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":b").c_str(), &b), OK);
    EXPECT_STRNE(a.containerId, b.containerId);
    EXPECT_STRNE(a.bundlePath, b.bundlePath);
    EXPECT_EQ(std::string(a.bundlePath).rfind(base_ + "/app_bundle_", 0), 0u) << a.bundlePath;
    EXPECT_EQ(a.restartCnt, 0);

    /* an update re-creates both: new containers, the same first start */
    Pod record = podRecord(sim_, "twice");
    ASSERT_EQ(ozkPodUpdateHandle(rig_->pm(), record.get()), OK);
    CONTAINER_INFO_LOCAL again{};
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":a").c_str(), &again), OK);
    EXPECT_STRNE(again.containerId, a.containerId);
    EXPECT_STREQ(again.startAt, a.startAt);
    EXPECT_EQ(again.restartCnt, 1);
    EXPECT_EQ(ozcStatusGet(a.containerId), STATE_UNKNOWN) << "the old container is gone";
    EXPECT_FALSE(rtfix::exists(a.bundlePath));
    pod = readPod(sim_, "twice");
    EXPECT_EQ(str(pod.get(), "status.containerStatuses.0.restartCount"), "1");
    removeContainers("twice");
}

/* Processes that end: the real exit status, "Completed" or "Error", and
 * the phase Failed when one ended non-zero; then the batch sync patches
 * only what changed, and no more once the change came back. */
TEST_F(PodStart, ExitCodesPhasesAndTheBatchSync)
{
    localImage("zero", "v1", "127.0.0.1:1/t/zero:v1", "--cmd '[\"sh\",\"-c\",\"exit 0\"]'");
    localImage("three", "v1", "127.0.0.1:1/t/three:v1", "--cmd '[\"sh\",\"-c\",\"sleep 0.5; exit 3\"]'");
    localImage("sleeper", "v1", "127.0.0.1:1/t/sleeper:v1", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'");
    auto c = [](const char *name, const char *image) {
        return R"({"name":")" + std::string(name) + R"(","image":"127.0.0.1:1/t/)" + image +
               R"(:v1","imagePullPolicy":"Never"})";
    };
    Json pod = start("ends", "[" + c("zero", "zero") + "," + c("three", "three") + "," + c("sleeper", "sleeper") + "]",
                     R"(,"restartPolicy":"Never")");
    EXPECT_EQ(str(pod.get(), "status.phase"), "Running");
    EXPECT_EQ(stateOf(pod.get(), 2), "running");
    EXPECT_EQ(str(pod.get(), "status.containerStatuses.2.ready"), "true");
    std::string uid = str(pod.get(), "metadata.uid");
    rig_->cache(podRecord(sim_, "ends").get()); /* as the watch brought it */

    CONTAINER_INFO_LOCAL sleeper{}, three{};
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":sleeper").c_str(), &sleeper), OK);
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":three").c_str(), &three), OK);
    ASSERT_TRUE(waitFor([&] { return ozcStatusGet(three.containerId) == STATE_STOPPED; }));
    ASSERT_EQ(ozcKill(sleeper.containerId, SIGKILL, 0), OK);
    ASSERT_TRUE(waitFor([&] { return ozcStatusGet(sleeper.containerId) == STATE_STOPPED; }));

    auto patches = [&] {
        int n = 0;
        for (const ApiRequest &r : sim_.requests()) {
            n += r.method == "PATCH" && r.path == podPath("ends") + "/status";
        }
        return n;
    };
    auto sync = [&] {
        Pod cached(ozkPodGetByUid(rig_->pm(), uid.c_str()));
        return ozkPodStatusSync(rig_->pm(), cached.get());
    };
    int before = patches();
    ASSERT_EQ(sync(), OK);
    EXPECT_EQ(patches(), before + 1);
    pod = readPod(sim_, "ends");
    EXPECT_EQ(stateOf(pod.get(), 0), "terminated:0:Completed");
    EXPECT_EQ(stateOf(pod.get(), 1), "terminated:3:Error");
    EXPECT_EQ(stateOf(pod.get(), 2), "terminated:137:Error");
    EXPECT_EQ(str(pod.get(), "status.containerStatuses.2.ready"), "false");
    EXPECT_EQ(str(pod.get(), "status.phase"), "Failed");
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(str(pod.get(), "status.conditions." + std::to_string(i) + ".status"), "False") << i;
    }

    /* until the patched status comes back the difference stays; then none */
    ASSERT_EQ(sync(), OK);
    EXPECT_EQ(patches(), before + 2);
    OZK_POD_UPDATE_FLAG flags{};
    ASSERT_EQ(ozkPodWatchPodHandle(rig_->pm(), podRecord(sim_, "ends").release(), &flags), OK);
    ConsoleCapture console;
    ASSERT_EQ(sync(), OK);
    console.stop();
    EXPECT_EQ(patches(), before + 2);
    EXPECT_NE(console.out().find("ferry: DEBUG: no need sync pod status!"), std::string::npos);
    removeContainers("ends");
}

TEST_F(PodStart, AFailedStartLeavesNoBundleAndNoContainer)
{
    localImage("broken", "v1", "127.0.0.1:1/t/broken:v1", "--entrypoint '[\"/bin/missing\"]'");
    for (int round = 0; round < 3; round++) {
        Json pod = start("broken" + std::to_string(round),
                         R"([{"name":"main","image":"127.0.0.1:1/t/broken:v1","imagePullPolicy":"Never"}])", "", ERROR);
        EXPECT_EQ(stateOf(pod.get(), 0), "waiting:container startup fail");
        EXPECT_EQ(str(pod.get(), "status.containerStatuses.0.ready"), "false");
        EXPECT_EQ(str(pod.get(), "status.phase"), "Pending");
    }
    for (const std::string &entry : dirEntries(base_)) {
        EXPECT_EQ(entry.find("_bundle_"), std::string::npos) << entry;
    }
    std::unique_ptr<char, decltype(&free)> list(ozcList(), free);
    Json containers(list ? cJSON_Parse(list.get()) : nullptr);
    EXPECT_EQ(cJSON_GetArraySize(containers.get()), 0) << (list ? list.get() : "");
}

/* A worker that was still starting containers while the stop walked the
 * cached pods leaves them in the container cache: the stop removes them. */
TEST_F(PodStart, AtStopNoStartedContainerIsLeftBehind)
{
    localImage("app", "v1", "127.0.0.1:1/team/app:v1", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'");
    Json pod = start("late", R"([{"name":"main","image":"127.0.0.1:1/team/app:v1","imagePullPolicy":"Never"}])");
    CONTAINER_INFO_LOCAL local{};
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (str(pod.get(), "metadata.uid") + ":main").c_str(), &local), OK);
    ASSERT_EQ(ozcStatusGet(local.containerId), STATE_RUNNING);
    EXPECT_EQ(ozkPodManagerDestroy(rig_->pm()), OK);
    rig_->destroyed();
    EXPECT_EQ(ozcStatusGet(local.containerId), STATE_UNKNOWN);
    EXPECT_FALSE(rtfix::exists(local.bundlePath));
}

/* The batch sync after the runtime lost a running container (its daemon
 * started again without it): the container is reported not ready with the
 * reason "ContainerStatusUnknown", not a terminal state; a container that
 * stays waiting keeps the reason it was reported with. */
TEST_F(PodStart, TheSyncSaysWhenTheRuntimeLostAContainerAndKeepsWaitingReasons)
{
    localImage("app", "v1", "127.0.0.1:1/team/app:v1", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'");
    Json pod = start("lost",
                     R"([{"name":"main","image":"127.0.0.1:1/team/app:v1","imagePullPolicy":"Never"},)"
                     R"({"name":"absent","image":"127.0.0.1:1/team/none:v1","imagePullPolicy":"Never"}])",
                     "", ERROR);
    ASSERT_EQ(stateOf(pod.get(), 0), "running");
    ASSERT_EQ(stateOf(pod.get(), 1), "waiting:container startup fail");
    std::string uid = str(pod.get(), "metadata.uid");
    rig_->cache(podRecord(sim_, "lost").get());
    CONTAINER_INFO_LOCAL local{};
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (uid + ":main").c_str(), &local), OK);
    ASSERT_EQ(ozcDelete(local.containerId, 2), OK); /* behind the agent's back */

    Pod cached(ozkPodGetByUid(rig_->pm(), uid.c_str()));
    ASSERT_EQ(ozkPodStatusSync(rig_->pm(), cached.get()), OK);
    pod = readPod(sim_, "lost");
    EXPECT_EQ(stateOf(pod.get(), 0), "waiting:ContainerStatusUnknown");
    EXPECT_EQ(stateOf(pod.get(), 1), "waiting:container startup fail");
    EXPECT_EQ(str(pod.get(), "status.phase"), "Pending");
    EXPECT_EQ(str(pod.get(), "status.containerStatuses.0.ready"), "false");
    removeContainers("lost");
}

/* At start the agent removes what a run of it that was killed left: the
 * containers and bundles under its base directory that carry its owner
 * record. Containers of anyone else, in the base directory or not, and
 * bundles without the record stay. */
TEST_F(PodStart, AtStartLeftoversOfAnEarlierRunGoAndNothingElse)
{
    localImage("app", "v1", "127.0.0.1:1/team/app:v1", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'");
    Json pod = start("old", R"([{"name":"main","image":"127.0.0.1:1/team/app:v1","imagePullPolicy":"Never"}])");
    CONTAINER_INFO_LOCAL left{};
    ASSERT_EQ(ozkContainerLocalGetByName(rig_->pm(), (str(pod.get(), "metadata.uid") + ":main").c_str(), &left), OK);
    ASSERT_TRUE(rtfix::exists(left.bundlePath + std::string("/") + OZK_BUNDLE_OWNER_FILE));
    /* a marked bundle whose container was never created */
    std::string orphan = base_ + "/app_bundle_0RPHAN";
    ASSERT_EQ(oztest::sh("cp -a " + oztest::quote(left.bundlePath) + " " + oztest::quote(orphan)), 0);
    /* foreign containers: a bundle in the base directory without the
     * record, one elsewhere with a copied record, and an unmarked bundle */
    struct Foreign {
        std::string id, bundle;
        bool marked;
    } foreign[] = {{"user_in_base", base_ + "/user_bundle_1", false},
                   {"user_elsewhere", tmp_ / "elsewhere/app_bundle_2", true}};
    for (const Foreign &f : foreign) {
        ASSERT_EQ(oztest::sh("mkdir -p " + oztest::quote(f.bundle.substr(0, f.bundle.rfind('/')))), 0);
        ASSERT_EQ(ozcUnpack(f.bundle.c_str(), (images_ + "/app").c_str(), "v1", 0, nullptr), OK) << f.bundle;
        if (f.marked) {
            oztest::writeFile(f.bundle + "/" + OZK_BUNDLE_OWNER_FILE, R"({"owner":"ferryService"})");
        }
        ASSERT_EQ(ozcCreate(f.id.c_str(), f.bundle.c_str(), 0, nullptr), OK) << f.id;
    }
    std::string unmarked = base_ + "/other_bundle_3";
    ASSERT_EQ(oztest::sh("mkdir -p " + oztest::quote(unmarked)), 0);

    EXPECT_EQ(ozkContainerLeftoversRemove(rig_->pm()), OK);
    EXPECT_EQ(ozcStatusGet(left.containerId), STATE_UNKNOWN);
    EXPECT_FALSE(rtfix::exists(left.bundlePath));
    EXPECT_FALSE(rtfix::exists(orphan));
    for (const Foreign &f : foreign) {
        EXPECT_EQ(ozcStatusGet(f.id.c_str()), STATE_CREATED) << f.id;
        EXPECT_TRUE(rtfix::exists(f.bundle + "/config.json")) << f.bundle;
    }
    EXPECT_TRUE(rtfix::exists(unmarked));
    /* the container cache still names the removed one: forget the pod */
    removeContainers("old");
}
