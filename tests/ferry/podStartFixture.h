/*
 * podStartFixture.h - the pod start in this process against the real
 * runtime daemon and the API server emulator: private base and image
 * directories, local image layouts, pods started as a worker starts them,
 * and the states the API server then holds.
 */
#ifndef FERRY_POD_START_FIXTURE_H
#define FERRY_POD_START_FIXTURE_H

#include "podTestUtil.h"

#include "manager/regfixture.h"
#include "runtime/runtime_fixture.h"

#include "ozcontainer.h"

#include <dirent.h>

namespace podtest {

using namespace ferrytest;

std::string b64(const std::string &in)
{
    static const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        v |= i + 1 < in.size() ? static_cast<uint8_t>(in[i + 1]) << 8 : 0;
        v |= i + 2 < in.size() ? static_cast<uint8_t>(in[i + 2]) : 0;
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
    }
    return out;
}

/* "running", "waiting:<reason>" or "terminated:<exit code>:<reason>" of a
 * container status of the pod as the API server has it. */
std::string stateOf(const cJSON *pod, int index)
{
    const cJSON *status = at(pod, "status.containerStatuses." + std::to_string(index));
    if (at(status, "state.running") != nullptr) {
        return "running";
    }
    if (at(status, "state.waiting") != nullptr) {
        return "waiting:" + str(status, "state.waiting.reason");
    }
    if (at(status, "state.terminated") != nullptr) {
        return "terminated:" + str(status, "state.terminated.exitCode") + ":" + str(status, "state.terminated.reason");
    }
    return "<none>";
}

std::vector<std::string> dirEntries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    return names;
}

class PodStartFixture : public ::testing::Test {
protected:
    static constexpr const char *kNode = "ps-node";

    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        ozkVerboseLevel = 3;
        ozkSysLogOn = FALSE;
        ASSERT_TRUE(sim_.start(kNode)) << sim_.lastError();
        base_ = tmp_ / "base";
        images_ = tmp_ / "images";
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_BASE", base_.c_str()));
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_IMAGE_PATH", images_.c_str()));
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZ_OVERLAY_DEV_DIR", ""));
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_VERBOSE", nullptr));
        if (reg_.ok()) {
            env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_TLS_CA_CERT_FILE", reg_["OZ_REG_CA"].c_str()));
        }
        daemon_ = std::make_unique<rtfix::Daemon>(rtfix::uniqueQueue("ozkps"));
        ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log"));
        rig_ = std::make_unique<Rig>(sim_, kNode, "127.0.0.1");
        ASSERT_TRUE(rig_->ok());
    }
    void TearDown() override
    {
        rig_.reset();
        if (daemon_ && daemon_->pid() > 0) {
            char *list = ozcList();
            Json doc(list != nullptr ? cJSON_Parse(list) : nullptr);
            free(list);
            cJSON *e = nullptr;
            cJSON_ArrayForEach(e, doc.get()) ozcDelete(cJSON_GetObjectItem(e, "id")->valuestring, 2);
            daemon_->stop();
        }
    }

    /* A local image layout of `name` holding `tag`, annotated with the
     * image's full name as the image manager writes it for `ref`. */
    void localImage(const std::string &name, const std::string &tag, const std::string &ref,
                    const std::string &args = "")
    {
        std::string layout = images_ + "/" + name;
        ASSERT_TRUE(rtfix::mkimage(layout, "--tag " + tag + " " + args));
        regfix::CtxPtr ctx(ozcRegistryCtxCreate());
        char registry[256], repository[256];
        ASSERT_EQ(ozcRegistryCtxImageSet(ctx.get(), ref.c_str()), 0);
        ASSERT_EQ(ozcImageRegistryInfoGet(ctx.get(), registry, sizeof registry, repository, sizeof repository,
                                          nullptr, 0, nullptr, 0),
                  0);
        rtfix::Json index = rtfix::readJson(layout + "/index.json");
        cJSON *annotations = cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(index.get(), "manifests"), 0),
                                                 "annotations");
        std::string full = std::string(registry) + "/" + repository;
        cJSON_AddStringToObject(annotations, "org.orrery.image.name", full.c_str());
        ASSERT_TRUE(rtfix::writeJson(layout + "/index.json", index.get()));
    }

    /* Creates the pod, starts it as a worker would, and returns it as the
     * API server has it afterwards. */
    Json start(const std::string &name, const std::string &containers, const std::string &more = "",
               STATUS want = OK)
    {
        std::string uid = createPod(sim_, podJson(name, kNode, containers, more));
        EXPECT_FALSE(uid.empty()) << name;
        Pod pod = podRecord(sim_, name);
        EXPECT_EQ(ozkPodAddHandle(rig_->pm(), pod.get()), want) << name;
        return readPod(sim_, name);
    }

    void removeContainers(const std::string &name)
    {
        Pod pod = podRecord(sim_, name);
        EXPECT_EQ(ozkPodDeletedHandle(rig_->pm(), pod.get()), OK);
        EXPECT_EQ(ozkCachedPodDelete(rig_->pm(), pod.get()), OK);
    }

    /* An opaque secret (the API server checks what a dockerconfigjson one
     * holds; the agent reads the key whatever the type). */
    std::string secret(const std::string &name, const std::string &data)
    {
        std::string json = R"({"metadata":{"name":")" + name + R"("},"type":"Opaque","data":)" + data + "}";
        EXPECT_EQ(sim_.request("POST", "/api/v1/namespaces/default/secrets", json), 201) << json;
        return name;
    }

    KubesimProcess sim_;
    regfix::Registries &reg_ = regfix::Registries::get();
    rtfix::TempDir tmp_{"ozkps"};
    std::string base_, images_;
    std::vector<std::unique_ptr<regfix::EnvScope>> env_;
    std::unique_ptr<rtfix::Daemon> daemon_;
    std::unique_ptr<Rig> rig_;
};

/* What a ferryService program under test runs against: the emulator over
 * TLS for its node, a private base and image directory, a private runtime
 * daemon, and the local registries' CA. */
class ProgramRig {
public:
    ProgramRig(const char *node, const char *stem) : node_(node), tmp_(stem) {}

    /* "" when everything runs, else what did not. */
    std::string start()
    {
        if (!reg_.ok()) {
            return "registries: " + reg_.error();
        }
        if (!sim_.start(node_)) {
            return "emulator: " + sim_.lastError();
        }
        base_ = tmp_ / "base";
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_BASE", base_.c_str()));
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_IMAGE_PATH", (tmp_ / "images").c_str()));
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZ_OVERLAY_DEV_DIR", ""));
        env_.emplace_back(std::make_unique<regfix::EnvScope>("OZC_TLS_CA_CERT_FILE", reg_["OZ_REG_CA"].c_str()));
        daemon_ = std::make_unique<rtfix::Daemon>(rtfix::uniqueQueue(node_));
        return daemon_->start(tmp_ / "ozcd.log") ? "" : "the runtime daemon does not start";
    }

    /* The program's command line against the emulator. */
    std::vector<std::string> args() const
    {
        return {"-C", sim_.caPath(), "-c", sim_.certPath(), "-k", sim_.keyPath(), "-n", node_, "-u", sim_.url(),
                "-i", "127.0.0.1", "-v", "3"};
    }

    regfix::Registries &reg() const { return reg_; }
    const KubesimProcess &sim() const { return sim_; }
    const rtfix::TempDir &tmp() const { return tmp_; }
    const std::string &base() const { return base_; }

private:
    const char *node_;
    regfix::Registries &reg_ = regfix::Registries::get();
    KubesimProcess sim_;
    rtfix::TempDir tmp_;
    std::string base_;
    std::vector<std::unique_ptr<regfix::EnvScope>> env_;
    std::unique_ptr<rtfix::Daemon> daemon_;
};

} // namespace podtest

#endif /* FERRY_POD_START_FIXTURE_H */
