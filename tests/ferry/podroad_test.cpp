/*
 * podroad_test.cpp - the road of pods through the ferryService program:
 * the API server emulator over TLS driven with the real kubectl, the real
 * runtime daemon, the image pulled with its pull secret from Debian's
 * docker-registry. A pod bound to the node runs inside the runtime's
 * namespaces and shows Running; one whose process exits 3 shows exit code 3
 * and phase Failed; a deleted pod takes its containers and bundles along and
 * really goes; at stop the agent deletes what is left.
 */
#include "podStartFixture.h"

#include <dirent.h>
#include <sys/stat.h>

using namespace ferrytest;
using namespace podtest;

namespace {

const char *kNode = "road-node";

std::vector<std::string> bundlesIn(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (strstr(e->d_name, "_bundle_") != nullptr) {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    return names;
}

std::string nsOf(const std::string &pid, const char *ns)
{
    char link[256] = "";
    ssize_t n = readlink(("/proc/" + pid + "/ns/" + ns).c_str(), link, sizeof(link) - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
}

} // namespace

TEST(PodRoad, PodsRunFailAndGoThroughTheProgram)
{
    RTFIX_REQUIRE_ROOT();
    ProgramRig rig(kNode, "ozkroad");
    ASSERT_EQ(rig.start(), "");
    regfix::Registries &reg = rig.reg();
    const KubesimProcess &sim = rig.sim();
    const rtfix::TempDir &tmp = rig.tmp();
    const std::string &base = rig.base();

    /* the images, in the basic registry, and the pod's pull secret */
    std::string repo = reg["OZ_REG_BASIC"] + "/road" + std::to_string(getpid());
    for (const auto &[name, cmd] :
         {std::pair<std::string, std::string>{"sleeper", "sleep 1000"}, {"three", "exit 3"}}) {
        std::string layout = tmp / name;
        ASSERT_TRUE(rtfix::mkimage(layout, "--tag v1 --cmd '[\"sh\",\"-c\",\"" + cmd + "\"]'"));
        ASSERT_EQ(oztest::sh("skopeo copy -q --dest-tls-verify=false oci:" + layout + ":v1 docker://" +
                             reg["OZ_REG_TLS"] + "/road" + std::to_string(getpid()) + "/" + name + ":v1"),
                  0);
    }
    std::string config = R"({"auths":{")" + reg["OZ_REG_BASIC"] + R"(":{"username":")" + reg["OZ_REG_USER"] +
                         R"(","password":")" + reg["OZ_REG_PASSWORD"] + R"("}}})";
    std::string encoded;
    oztest::writeFile(tmp / "config.json", config);
    ASSERT_EQ(oztest::sh("base64 -w0 " + tmp / "config.json", &encoded), 0);
    oztest::writeFile(tmp / "secret.json", R"({"apiVersion":"v1","kind":"Secret","metadata":{"name":"pull"},)"
                                           R"("type":"kubernetes.io/dockerconfigjson","data":{".dockerconfigjson":")" +
                                               encoded + "\"}}");
    ASSERT_NE(kubectl(sim, "create -f " + tmp / "secret.json").find("created"), std::string::npos);
    auto manifest = [&](const std::string &name, const std::string &image) {
        std::string path = tmp / (name + ".json");
        oztest::writeFile(path, podJson(name, kNode, R"([{"name":"main","image":")" + repo + "/" + image + R"(:v1"}])",
                                        R"(,"imagePullSecrets":[{"name":"pull"}],"restartPolicy":"Never")"));
        return path;
    };

    RunOptions opt;
    opt.sendTerm = true;
    opt.readyText = "ferryService is ready.";
    opt.timeoutSec = 180;
    opt.env = {"OZ_CLOCK_SPEEDUP=10"};
    std::string webBundle;
    opt.beforeTerm = [&](pid_t) {
        /* a pod bound to the node runs, inside the runtime's namespaces */
        EXPECT_NE(kubectl(sim, "apply -f " + manifest("web", "sleeper")).find("created"), std::string::npos);
        EXPECT_TRUE(waitFor(
            [&] {
                std::string row = kubectl(sim, "get pod web --no-headers");
                return row.find(" 1/1 ") != std::string::npos && row.find(" Running ") != std::string::npos;
            },
            60s))
            << kubectl(sim, "get pod web -o yaml");
        Json web = podJsonNow(sim, "web");
        EXPECT_EQ(str(web.get(), "status.containerStatuses.0.state.running.startedAt").size(), 27u);
        EXPECT_EQ(str(web.get(), "status.containerStatuses.0.image"), repo + "/sleeper:v1");
        EXPECT_EQ(str(web.get(), "status.podIP"), "127.0.0.1");
        std::string id = str(web.get(), "status.containerStatuses.0.containerID");
        ASSERT_EQ(id.rfind("ozc://", 0), 0u) << id;
        std::unique_ptr<char, decltype(&free)> state(ozcState(id.substr(6).c_str()), free);
        ASSERT_TRUE(state) << id;
        Json st = parse(state.get());
        std::string pid = str(st.get(), "pid");
        webBundle = str(st.get(), "bundle");
        EXPECT_NE(nsOf(pid, "mnt"), nsOf("self", "mnt"));
        struct stat inRoot {
        }, bundleRoot{};
        EXPECT_EQ(stat(("/proc/" + pid + "/root/etc/motd").c_str(), &inRoot), 0);
        EXPECT_EQ(stat((webBundle + "/rootfs/etc/motd").c_str(), &bundleRoot), 0);
        EXPECT_EQ(inRoot.st_ino, bundleRoot.st_ino) << "the process's root is the bundle's";

        /* a process that exits 3 */
        kubectl(sim, "apply -f " + manifest("three", "three"));
        EXPECT_TRUE(waitFor([&] { return str(podJsonNow(sim, "three").get(), "status.phase") == "Failed"; }, 60s))
            << kubectl(sim, "get pod three -o yaml");
        Json three = podJsonNow(sim, "three");
        EXPECT_EQ(str(three.get(), "status.containerStatuses.0.state.terminated.exitCode"), "3");
        EXPECT_EQ(str(three.get(), "status.containerStatuses.0.state.terminated.reason"), "Error");
        EXPECT_NE(kubectl(sim, "get pod three --no-headers").find("Error"), std::string::npos);

        /* a deleted pod goes, and so do its container and bundle */
        EXPECT_NE(kubectl(sim, "delete pod web --timeout=60s").find("deleted"), std::string::npos);
        EXPECT_NE(kubectl(sim, "get pod web").find("NotFound"), std::string::npos);
        EXPECT_TRUE(waitFor([&] { return ozcStatusGet(id.substr(6).c_str()) == STATE_UNKNOWN; }));
        EXPECT_FALSE(rtfix::exists(webBundle));

        /* one more running when the agent stops */
        kubectl(sim, "apply -f " + manifest("last", "sleeper"));
        EXPECT_TRUE(waitFor(
            [&] { return kubectl(sim, "get pod last --no-headers").find("Running") != std::string::npos; }, 60s));
    };
    RunResult r = runFerry(rig.args(), opt);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    /* at stop every pod went: its containers, bundles and the pod itself */
    EXPECT_EQ(kubectl(sim, "get pods --no-headers"), "No resources found in default namespace.\n");
    std::unique_ptr<char, decltype(&free)> list(ozcList(), free);
    EXPECT_EQ(cJSON_GetArraySize(parse(list ? list.get() : "[]").get()), 0) << (list ? list.get() : "");
    EXPECT_EQ(bundlesIn(base), std::vector<std::string>{}) << base;
    EXPECT_EQ(r.out.find("Bye ferryService!") != std::string::npos, true);
}
