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
        localNodeEnv(base_, images_, env_);
        daemon_ = std::make_unique<rtfix::Daemon>(rtfix::uniqueQueue("ozkps"));
        ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log"));
        rig_ = std::make_unique<Rig>(sim_, kNode, "127.0.0.1");
        ASSERT_TRUE(rig_->ok());
    }
    void TearDown() override
    {
        rig_.reset();
        if (daemon_ && daemon_->pid() > 0) {
            deleteAllContainers();
            daemon_->stop();
        }
    }

    void localImage(const std::string &name, const std::string &tag, const std::string &ref,
                    const std::string &args = "")
    {
        ASSERT_TRUE(podtest::localImage(images_, name, tag, ref, args)) << name;
    }

    /* Creates the pod, starts it as a worker would, and returns it as the
     * API server has it afterwards. */
    Json start(const std::string &name, const std::string &containers, const std::string &more = "", STATUS want = OK)
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
    EnvScopes env_;
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
        return {"-C", sim_.caPath(),
                "-c", sim_.certPath(),
                "-k", sim_.keyPath(),
                "-n", node_,
                "-u", sim_.url(),
                "-i", "127.0.0.1",
                "-v", "3"};
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
