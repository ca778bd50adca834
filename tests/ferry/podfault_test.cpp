/*
 * podfault_test.cpp - the node agent's pods through faults, with the
 * ferryService program, the real runtime daemon, the API server emulator
 * and Debian's docker-registry: the API server away for a minute of the
 * agent's time, the agent killed with SIGKILL and started again, the
 * runtime daemon started again under running pods, and pods that cannot
 * run (no such image, credentials refused, another architecture, no such
 * command, twenty containers, deleted while their image is pulled). The
 * agent runs its clock ten times faster, so its waits take a tenth.
 */
#include "podTestUtil.h"

#include "ozcontainer.h"

#include <csignal>
#include <map>
#include <set>
#include <sys/stat.h>

using namespace ferrytest;
using namespace podtest;

namespace {

const char *kNode = "fault-node";
const char *kSleeper = "127.0.0.1:1/faults/sleeper:v1";
constexpr unsigned kSpeedup = 10;

struct Container {
    std::string id, bundle;
    int status = 0;
    long pid = 0;
};

/* The runtime's containers by id. */
std::map<std::string, Container> runtimeContainers()
{
    std::unique_ptr<char, decltype(&free)> text(ozcList(), free);
    Json list(text ? cJSON_Parse(text.get()) : nullptr);
    std::map<std::string, Container> out;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, list.get())
    {
        Container c{str(e, "id"), str(e, "bundle"), std::atoi(str(e, "status").c_str()),
                    std::atol(str(e, "pid").c_str())};
        out[c.id] = c;
    }
    return out;
}

/* The mount namespace of a process ("mnt:[inode]"), "" when it is gone. */
std::string mntNsOf(long pid)
{
    char link[128] = "";
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), link, sizeof(link) - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
}

/* What still holds the namespace: a process that lives in it ("process
 * <pid>") or a namespace pin of the runtime ("pin <path>"); "" for nothing. */
/* What holds the mount namespace ns now: "/proc/<pid>" of each process in
 * it and the path of each pin file of it. */
std::set<std::string> nsHolders(const std::string &ns)
{
    std::set<std::string> holders;
    for (const std::string &entry : dirEntries("/proc")) {
        if (std::isdigit(static_cast<unsigned char>(entry[0])) && mntNsOf(std::atol(entry.c_str())) == ns) {
            holders.insert("/proc/" + entry);
        }
    }
    for (const std::string &pin : dirEntries("/run/orrery/ns")) {
        struct stat st {};
        std::string path = "/run/orrery/ns/" + pin;
        if (stat(path.c_str(), &st) == 0 && "mnt:[" + std::to_string(st.st_ino) + "]" == ns) {
            holders.insert(path);
        }
    }
    return holders;
}

/* True when the process ended (a zombie that nobody reaped counts). */
bool processGone(long pid)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    return status.empty() || status.find("State:\tZ") != std::string::npos;
}

/* Mounts of this machine whose line names `path`. */
int mountsNaming(const std::string &path)
{
    std::istringstream lines(readFile("/proc/self/mountinfo"));
    int n = 0;
    for (std::string line; std::getline(lines, line);) {
        n += line.find(path) != std::string::npos;
    }
    return n;
}

class PodFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        ASSERT_TRUE(sim_.start(kNode)) << sim_.lastError();
        base_ = tmp_ / "base";
        images_ = tmp_ / "images";
        localNodeEnv(base_, images_, env_);
        daemon_ = std::make_unique<rtfix::Daemon>(rtfix::uniqueQueue("ozkfault"));
        ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log"));
        ASSERT_TRUE(localImage(images_, "sleeper", "v1", kSleeper, "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'"));
    }
    void TearDown() override
    {
        if (ferry_ && ferry_->running()) {
            /* the stop deletes the pods left at the API server within its
             * own time limit, which a loaded machine may exceed: the tests
             * that care delete their pods first */
            ferry_->terminate();
            ferry_->wait();
        }
        ferry_.reset();
        if (daemon_ && daemon_->pid() > 0) {
            deleteAllContainers();
            daemon_->stop();
        }
        /* processes of containers that a daemon started again does not know */
        for (long pid : orphans_) {
            if (!mntNsOf(pid).empty() && mntNsOf(pid) != mntNsOf(getpid())) {
                kill(static_cast<pid_t>(pid), SIGKILL);
            }
        }
    }

    void startFerry()
    {
        ferry_ = std::make_unique<FerryProcess>();
        ASSERT_TRUE(ferry_->start(sim_, kNode, {"-i", "127.0.0.1", "-N", "5"},
                                  {"OZ_CLOCK_SPEEDUP=" + std::to_string(kSpeedup)}));
        ASSERT_TRUE(ferry_->waitReady()) << ferry_->out() << ferry_->err();
    }

    static std::string sleeper(const std::string &name = "main")
    {
        return R"({"name":")" + name + R"(","image":")" + kSleeper + R"(","imagePullPolicy":"Never"})";
    }
    void create(const std::string &name, const std::string &containers = "", const std::string &more = "")
    {
        ASSERT_FALSE(
            createPod(sim_, podJson(name, kNode, containers.empty() ? "[" + sleeper() + "]" : containers, more))
                .empty())
            << name;
    }
    bool remove(const std::string &name) { return sim_.request("DELETE", podPath(name)) == 200; }
    bool gone(const std::string &name) { return sim_.request("GET", podPath(name)) == 404; }

    /* Phase Running and every container running. */
    bool running(const std::string &name)
    {
        Json pod = readPod(sim_, name);
        int n = cJSON_GetArraySize(at(pod.get(), "spec.containers"));
        for (int i = 0; i < n; i++) {
            if (stateOf(pod.get(), i) != "running") {
                return false;
            }
        }
        return n > 0 && str(pod.get(), "status.phase") == "Running";
    }
    bool allRunning(const std::vector<std::string> &names, std::chrono::milliseconds limit = 120s)
    {
        return waitFor(
            [&] {
                for (const std::string &name : names) {
                    if (!running(name)) {
                        return false;
                    }
                }
                return true;
            },
            limit);
    }
    /* The runtime id the API server has for a container of the pod. */
    std::string idOf(const std::string &name, int index = 0)
    {
        std::string id =
            str(readPod(sim_, name).get(), "status.containerStatuses." + std::to_string(index) + ".containerID");
        return id.rfind("ozc://", 0) == 0 ? id.substr(6) : "";
    }
    std::vector<std::string> bundles()
    {
        std::vector<std::string> out;
        for (const std::string &e : dirEntries(base_)) {
            if (e.find("_bundle_") != std::string::npos) {
                out.push_back(e);
            }
        }
        return out;
    }
    std::string explain()
    {
        std::string out = ferry_ ? ferry_->out() : "";
        std::string saved = "/tmp/ozkfault-" + std::to_string(getpid()) + ".out";
        oztest::writeFile(saved, out);
        std::string text = "agent output (all of it in " + saved + "), its end:\n" +
                           out.substr(out.size() > 4000 ? out.size() - 4000 : 0) + (ferry_ ? ferry_->err() : "") +
                           "\npods:\n";
        std::string body;
        sim_.request("GET", "/api/v1/namespaces/default/pods", "", &body);
        return text + body;
    }

    KubesimProcess sim_;
    regfix::Registries &reg_ = regfix::Registries::get();
    rtfix::TempDir tmp_{"ozkfault"};
    std::string base_, images_;
    EnvScopes env_;
    std::unique_ptr<rtfix::Daemon> daemon_;
    std::unique_ptr<FerryProcess> ferry_;
    std::vector<long> orphans_;
};

} // namespace

/* The API server goes away for a minute (of the agent's clock) with its
 * objects kept, and comes back on the same port. Meanwhile one container's
 * process is killed. The agent stays up, starts nothing twice, reports the
 * ended container once the server is back, and serves new pods and
 * deletions again. */
TEST_F(PodFaults, ApiServerOutage)
{
    startFerry();
    std::vector<std::string> names = {"web0", "web1", "web2"};
    for (const std::string &name : names) {
        create(name, "", R"(,"restartPolicy":"Never")"); /* the killed one stays ended */
    }
    ASSERT_TRUE(allRunning(names)) << explain();
    std::map<std::string, Container> before = runtimeContainers();
    ASSERT_EQ(before.size(), 3u);
    Container victim = before.at(idOf("web0"));

    ASSERT_TRUE(sim_.halt());
    ASSERT_EQ(kill(static_cast<pid_t>(victim.pid), SIGKILL), 0);
    std::this_thread::sleep_for(std::chrono::seconds(60 / kSpeedup));
    ASSERT_TRUE(ferry_->running()) << explain();
    ASSERT_TRUE(sim_.resume()) << sim_.lastError();

    EXPECT_TRUE(waitFor([&] { return stateOf(readPod(sim_, "web0").get(), 0) == "terminated:137:Error"; }, 60s))
        << explain();
    EXPECT_EQ(str(readPod(sim_, "web0").get(), "status.phase"), "Failed");
    for (const char *name : {"web1", "web2"}) {
        EXPECT_TRUE(running(name)) << name;
        std::string id = idOf(name);
        ASSERT_EQ(before.count(id), 1u) << name << " runs container " << id;
        EXPECT_EQ(runtimeContainers()[id].pid, before[id].pid) << name;
    }
    std::set<std::string> ids, idsBefore;
    for (const auto &[id, c] : runtimeContainers()) {
        ids.insert(id);
    }
    for (const auto &[id, c] : before) {
        idsBefore.insert(id);
    }
    EXPECT_EQ(ids, idsBefore) << "no container is started twice";

    /* the agent watches again: a new pod runs, a deleted one goes */
    create("web3");
    EXPECT_TRUE(allRunning({"web3"}, 60s)) << explain();
    std::string web1 = idOf("web1");
    ASSERT_TRUE(remove("web1"));
    EXPECT_TRUE(waitFor([&] { return gone("web1"); }, 60s)) << explain();
    EXPECT_TRUE(waitFor([&] { return runtimeContainers().count(web1) == 0; }));
    EXPECT_TRUE(ferry_->running());
}

/* The agent is killed with SIGKILL while five pods run and is started
 * again: each pod ends with exactly one running container, made by the new
 * run; the earlier containers' processes, namespaces, bundles and mounts
 * are gone; a container that someone else made stays. */
TEST_F(PodFaults, AgentKilledAndStartedAgain)
{
    startFerry();
    std::vector<std::string> names;
    for (int i = 0; i < 5; i++) {
        names.push_back("pod" + std::to_string(i));
        create(names.back());
    }
    ASSERT_TRUE(allRunning(names)) << explain();
    std::map<std::string, Container> before = runtimeContainers();
    ASSERT_EQ(before.size(), 5u);
    /* What holds each container's namespace (its processes, its pin) is
     * taken now: once freed, a namespace number may be given again to a
     * container of a test running beside this one. */
    std::map<std::string, std::set<std::string>> holdersBefore;
    for (const auto &[id, c] : before) {
        std::string ns = mntNsOf(c.pid);
        ASSERT_NE(ns, mntNsOf(getpid())) << id;
        holdersBefore[id] = nsHolders(ns);
        ASSERT_FALSE(holdersBefore[id].empty()) << id;
    }
    std::string foreignBundle = tmp_ / "foreign/bundle";
    ASSERT_EQ(oztest::sh("mkdir -p " + oztest::quote(tmp_ / "foreign")), 0);
    ASSERT_EQ(ozcUnpack(foreignBundle.c_str(), (images_ + "/sleeper").c_str(), "v1", 0, nullptr), OK);
    std::string foreign = "foreign-" + std::to_string(getpid());
    ASSERT_EQ(ozcCreate(foreign.c_str(), foreignBundle.c_str(), 0, nullptr), OK);

    ferry_->signal(SIGKILL);
    EXPECT_EQ(ferry_->wait(), -1);
    startFerry();

    auto fresh = [&] {
        std::map<std::string, Container> now = runtimeContainers();
        for (const std::string &name : names) {
            std::string id = idOf(name);
            if (!running(name) || before.count(id) != 0 || now.count(id) == 0 || now[id].status != STATE_RUNNING) {
                return false;
            }
        }
        return now.size() == names.size() + 1;
    };
    ASSERT_TRUE(waitFor(fresh, 120s)) << explain();
    std::set<std::string> podIds;
    for (const std::string &name : names) {
        podIds.insert(idOf(name));
    }
    EXPECT_EQ(podIds.size(), names.size()) << "one container set per pod";
    for (const auto &[id, c] : before) {
        EXPECT_EQ(ozcStatusGet(id.c_str()), STATE_UNKNOWN) << id;
        EXPECT_FALSE(rtfix::exists(c.bundle)) << c.bundle;
        EXPECT_EQ(mountsNaming(c.bundle), 0) << c.bundle;
        EXPECT_TRUE(waitFor([&] { return processGone(c.pid); }, 10s)) << id << " " << c.pid;
        for (const std::string &holder : holdersBefore[id]) {
            auto released = [&] {
                return holder.starts_with("/proc/") ? processGone(std::atol(holder.c_str() + 6))
                                                    : !rtfix::exists(holder);
            };
            EXPECT_TRUE(waitFor(released, 10s)) << id << " still held by " << holder;
        }
    }
    EXPECT_EQ(bundles().size(), names.size());
    EXPECT_EQ(ozcStatusGet(foreign.c_str()), STATE_CREATED);
    EXPECT_TRUE(rtfix::exists(foreignBundle + "/config.json"));
    EXPECT_NE(ferry_->out().find("left by an earlier run"), std::string::npos);
}

/* The runtime daemon is stopped and started again under running pods: the
 * agent goes on (a new pod runs) and each earlier pod's status says what
 * the runtime knows of its container: running when the daemon still knows
 * it running, not ready ("ContainerStatusUnknown") when it lost it. */
TEST_F(PodFaults, RuntimeDaemonStartedAgain)
{
    startFerry();
    std::vector<std::string> names = {"old0", "old1"};
    for (const std::string &name : names) {
        create(name);
    }
    ASSERT_TRUE(allRunning(names)) << explain();
    for (const auto &[id, c] : runtimeContainers()) {
        orphans_.push_back(c.pid);
    }
    ASSERT_EQ(daemon_->stop(), 0);
    ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log"));

    create("new0");
    EXPECT_TRUE(allRunning({"new0"}, 60s)) << explain();
    auto truthful = [&](const std::string &name) {
        Json pod = readPod(sim_, name);
        std::string id = str(pod.get(), "status.containerStatuses.0.containerID").substr(6);
        std::string shown = stateOf(pod.get(), 0);
        switch (ozcStatusGet(id.c_str())) {
        case STATE_RUNNING:
            return shown == "running";
        case STATE_STOPPED:
            return shown.rfind("terminated:", 0) == 0;
        default:
            return shown == "waiting:ContainerStatusUnknown" && str(pod.get(), "status.phase") == "Pending";
        }
    };
    for (const std::string &name : names) {
        EXPECT_TRUE(waitFor([&] { return truthful(name); }, 60s)) << name << "\n" << explain();
    }
    EXPECT_TRUE(ferry_->running());
    /* the earlier pods still go when deleted */
    for (const std::string &name : names) {
        ASSERT_TRUE(remove(name));
    }
    for (const std::string &name : names) {
        EXPECT_TRUE(waitFor([&] { return gone(name); }, 60s)) << name << "\n" << explain();
    }
}

/* Pods that cannot run get their reason and leave nothing behind, while a
 * pod of twenty containers and a good pod created meanwhile run. */
TEST_F(PodFaults, BadPodsGetTheirReasonAndHoldNoOneUp)
{
    ASSERT_TRUE(reg_.ok()) << reg_.error();
    std::string repo = "faults" + std::to_string(getpid());
    for (const auto &[name, args] :
         {std::pair<std::string, std::string>{"good", "--cmd '[\"sh\",\"-c\",\"sleep 1000\"]'"},
          {"nocmd", "--entrypoint '[\"/bin/missing\"]'"}}) {
        std::string layout = tmp_ / name;
        ASSERT_TRUE(rtfix::mkimage(layout, "--tag v1 " + args));
        ASSERT_EQ(oztest::sh("skopeo copy -q --dest-tls-verify=false oci:" + layout + ":v1 docker://" +
                             reg_["OZ_REG_TLS"] + "/" + repo + "/" + name + ":v1"),
                  0);
    }
    std::string basic = reg_["OZ_REG_BASIC"];
    for (const auto &[secret, password] :
         {std::pair<std::string, std::string>{"right", reg_["OZ_REG_PASSWORD"]}, {"wrong", "not-the-password"}}) {
        std::string config = R"({"auths":{")" + basic + R"(":{"username":")" + reg_["OZ_REG_USER"] +
                             R"(","password":")" + password + R"("}}})";
        ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets",
                               R"({"metadata":{"name":")" + secret +
                                   R"("},"type":"kubernetes.io/dockerconfigjson","data":{".dockerconfigjson":")" +
                                   b64(config) + "\"}}"),
                  201);
    }
    auto one = [](const std::string &image, const std::string &policy = "Always") {
        return R"([{"name":"main","image":")" + image + R"(","imagePullPolicy":")" + policy + R"("}])";
    };
    auto secret = [](const std::string &name) { return R"(,"imagePullSecrets":[{"name":")" + name + R"("}])"; };
    startFerry();

    /* deleted while its image still comes in (4 MiB at about 300 KiB/s) */
    std::string slowRepo = "shop" + std::to_string(getpid()) + "gone/app";
    create("slow", one(reg_["OZ_BAD_OK"] + "/" + slowRepo + ":slow"));
    ASSERT_TRUE(waitFor(
        [&] {
            regfix::JsonPtr stats = regfix::badStats(reg_["OZ_BAD_OK"]);
            const cJSON *requests = cJSON_GetObjectItem(stats.get(), "requests");
            const cJSON *r = nullptr;
            cJSON_ArrayForEach(r, requests)
            {
                std::string key = r->string;
                if (key.find(slowRepo + "/blobs/") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        60s))
        << explain();
    ASSERT_TRUE(remove("slow"));

    struct Case {
        const char *pod;
        std::string containers, more, want;
    } cases[] = {
        {"absent", one(basic + "/" + repo + "/absent:v1"), secret("right"), "waiting:pulling image fail"},
        {"refused", one(basic + "/" + repo + "/good:v1"), secret("wrong"), "waiting:pulling image fail"},
        {"otherarch", one(reg_["OZ_REG_TLS"] + "/team/nomatch:latest"), "", "waiting:pulling image fail"},
        {"nocmd", one(basic + "/" + repo + "/nocmd:v1"), secret("right"), "waiting:container startup fail"},
    };
    for (const Case &c : cases) {
        create(c.pod, c.containers, c.more);
    }
    std::string wide = "[";
    for (int i = 0; i < 20; i++) {
        wide += std::string(i > 0 ? "," : "") + R"({"name":"c)" + std::to_string(i) + R"(","image":")" + basic + "/" +
                repo + R"(/good:v1","imagePullPolicy":"IfNotPresent"})";
    }
    create("wide", wide + "]", secret("right"));
    create("good", one(basic + "/" + repo + "/good:v1", "IfNotPresent"), secret("right"));

    EXPECT_TRUE(allRunning({"good", "wide"}, 180s)) << explain();
    for (const Case &c : cases) {
        EXPECT_TRUE(waitFor([&] { return stateOf(readPod(sim_, c.pod).get(), 0) == c.want; }, 60s))
            << c.pod << " is " << stateOf(readPod(sim_, c.pod).get(), 0);
        EXPECT_EQ(str(readPod(sim_, c.pod).get(), "status.phase"), "Pending") << c.pod;
    }
    EXPECT_TRUE(waitFor([&] { return gone("slow"); }, 120s)) << explain();

    /* only the running pods' containers and bundles are there */
    std::set<std::string> podIds;
    for (int i = 0; i < 20; i++) {
        podIds.insert(idOf("wide", i));
    }
    podIds.insert(idOf("good"));
    std::map<std::string, Container> now = runtimeContainers();
    EXPECT_EQ(now.size(), 21u);
    for (const auto &[id, c] : now) {
        EXPECT_EQ(podIds.count(id), 1u) << id;
        EXPECT_EQ(c.status, STATE_RUNNING) << id;
    }
    EXPECT_EQ(bundles().size(), 21u);

    /* deleted, every pod goes, and with it every container and bundle */
    std::vector<std::string> all = {"wide", "good"};
    for (const Case &c : cases) {
        all.push_back(c.pod);
    }
    for (const std::string &name : all) {
        EXPECT_TRUE(remove(name)) << name;
    }
    for (const std::string &name : all) {
        EXPECT_TRUE(waitFor([&] { return gone(name); }, 60s)) << name << "\n" << explain();
    }
    EXPECT_TRUE(waitFor([&] { return runtimeContainers().empty() && bundles().empty(); }));
    EXPECT_TRUE(ferry_->running());
}
