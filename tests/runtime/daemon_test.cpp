/*
 * daemon_test.cpp - the runtime daemon (ozcd) in a process of its own and
 * the runtime API in this one: container lifecycle with real namespaces and
 * busybox processes, every error code reaching the client, list order and
 * inspect, and the daemon's robustness against malformed requests, many
 * clients at once, clients that go away and replies of many pieces.
 */
#include <atomic>
#include <functional>
#include <set>

#include <sys/resource.h>

#include "ozcContainerLib.h"
#include "ozcRuntimeApi.h"
#include "ozcRuntimeClient.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"
#include "runtime/runtime_fixture.h"

using namespace rtfix;

namespace {

/* One extracted busybox root file system shared by the bundles of this
 * program: bundles name it by absolute path, so many containers can use it
 * without overlays. */
const std::string &sharedRootfs()
{
    static TempDir dir("ozcroot");
    static std::string root;
    if (root.empty()) {
        std::string img = dir / "img";
        std::string bundle = dir / "bundle";
        ozOvlDevDirSet("");
        if (mkimage(img, "--layers 2 --no-volumes") &&
            ozcUnpack(bundle.c_str(), img.c_str(), nullptr, 0, nullptr) == OK)
            root = bundle + "/rootfs";
        ozOvlDevDirSet(nullptr);
    }
    return root;
}

/* Writes a bundle whose process runs `script` with busybox sh. */
std::string makeBundle(const std::string &dir, const std::string &script, const std::string &root = sharedRootfs())
{
    mkdir(dir.c_str(), 0755);
    Json cfg(cJSON_CreateObject());
    cJSON_AddStringToObject(cfg.get(), "ociVersion", "1.0.2");
    cJSON *proc = cJSON_AddObjectToObject(cfg.get(), "process");
    const char *args[] = {"/bin/busybox", "sh", "-c", script.c_str()};
    cJSON_AddItemToObject(proc, "args", cJSON_CreateStringArray(args, 4));
    const char *env[] = {"PATH=/bin"};
    cJSON_AddItemToObject(proc, "env", cJSON_CreateStringArray(env, 1));
    cJSON_AddStringToObject(proc, "cwd", "/");
    cJSON *r = cJSON_AddObjectToObject(cfg.get(), "root");
    cJSON_AddStringToObject(r, "path", root.c_str());
    cJSON_AddStringToObject(cfg.get(), "hostname", "box");
    cJSON_AddItemToObject(cfg.get(), "mounts", cJSON_CreateArray());
    cJSON *ann = cJSON_AddObjectToObject(cfg.get(), "annotations");
    cJSON_AddStringToObject(ann, "team", "infra");
    writeJson(dir + "/config.json", cfg.get());
    return dir;
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        ASSERT_FALSE(sharedRootfs().empty());
        setenv("OZC_BASE", (tmp_ / "base").c_str(), 1);
        setenv("OZ_OVERLAY_DEV_DIR", "", 1);
        unsetenv("OZC_VERBOSE");
        daemon_ = std::make_unique<Daemon>(uniqueQueue("ozct"));
        ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log")) << readFile(tmp_ / "ozcd.log");
    }
    void TearDown() override
    {
        if (!daemon_)
            return;
        /* Whatever the test did, the daemon is still serving, ends cleanly
         * on SIGTERM and leaves no queue behind. */
        if (daemon_->pid() > 0) {
            EXPECT_TRUE(ozcDaemonIsAlive());
            char *list = ozcList();
            Json doc(list != nullptr ? cJSON_Parse(list) : nullptr);
            free(list);
            cJSON *e;
            cJSON_ArrayForEach(e, doc.get()) ozcDelete(cJSON_GetObjectItem(e, "id")->valuestring, OZC_DELETE_FORCE);
            EXPECT_EQ(0, daemon_->stop()) << readFile(tmp_ / "ozcd.log");
        }
        EXPECT_FALSE(daemon_->queueExists());
        unsetenv("OZ_OVERLAY_DEV_DIR");
        unsetenv("OZC_BASE");
    }

    std::string bundle(const std::string &name, const std::string &script) { return makeBundle(tmp_ / name, script); }
    static int statusOf(const char *id) { return ozcStatusGet(id); }

    TempDir tmp_;
    std::unique_ptr<Daemon> daemon_;
};

int fail(STATUS rc)
{
    return rc == OK ? 0 : errno;
}

/* ------------------------------------------------------------------------ */

TEST(DaemonAbsentTest, EveryCallSaysTheDaemonIsNotRunning)
{
    setenv("OZC_DAEMON_QUEUE", uniqueQueue("ozcnone").c_str(), 1);
    EXPECT_FALSE(ozcDaemonIsAlive());
    errno = 0;
    EXPECT_EQ(ERROR, ozcCreate("c1", "/tmp", 0, nullptr));
    EXPECT_EQ(OZC_ERR_DAEMON_NOT_RUNNING, errno);
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusGet("c1"));
    errno = 0;
    EXPECT_EQ(nullptr, ozcList());
    EXPECT_EQ(OZC_ERR_DAEMON_NOT_RUNNING, errno);
    EXPECT_EQ(ERROR, ozcStart("c1", 0));
    EXPECT_EQ(OZC_ERR_DAEMON_NOT_RUNNING, errno);
    /* Arguments are checked before anything is sent. */
    EXPECT_EQ(ERROR, ozcCreate(nullptr, "/tmp", 0, nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozcKill(nullptr, 9, 0));
    EXPECT_EQ(EINVAL, errno);
    unsetenv("OZC_DAEMON_QUEUE");
}

TEST_F(DaemonTest, LifecycleOfABusyboxContainer)
{
    std::string b = bundle("b1", "echo started > /started-c1; ls / > /seen-c1; exec sleep 30");
    std::string started = sharedRootfs() + "/started-c1";
    unlink(started.c_str());
    ASSERT_EQ(OK, ozcCreate("c1", b.c_str(), 0, nullptr)) << std::hex << errno;
    EXPECT_EQ(STATE_CREATED, statusOf("c1"));
    CText state(ozcState("c1"));
    ASSERT_TRUE(state);
    EXPECT_EQ("{\"ociVersion\":\"1.0.2\",\"id\":\"c1\",\"status\":1,\"bundle\":\"" + b + "\"}",
              std::string(state.get()));

    EXPECT_EQ(OZC_ERR_CONTAINER_EXISTS, fail(ozcCreate("c1", b.c_str(), 0, nullptr)));

    ASSERT_EQ(OK, ozcStart("c1", OZC_START_DETACH)) << std::hex << errno;
    EXPECT_TRUE(waitFor([&] { return exists(started); })) << "the process did not write its file";
    EXPECT_FALSE(leakedToHost("started-c1") | leakedToHost("seen-c1")) << "the process wrote into the host's root";
    EXPECT_EQ(STATE_RUNNING, statusOf("c1"));
    EXPECT_EQ(EBUSY, fail(ozcStart("c1", 0)));
    EXPECT_EQ(EBUSY, fail(ozcDelete("c1", 0))) << "running needs force";

    /* The process sees only its root: the top level is the image's. */
    ASSERT_TRUE(waitFor([&] { return readFile(sharedRootfs() + "/seen-c1").find("bin") != std::string::npos; }));
    std::string seen = readFile(sharedRootfs() + "/seen-c1");
    std::string expected;
    sh("ls " + quote(sharedRootfs()), &expected);
    EXPECT_EQ(expected.find("seen-c1") != std::string::npos, seen.find("seen-c1") != std::string::npos);
    EXPECT_EQ(std::string::npos, seen.find("work\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("started-c1")) << seen;

    /* SIGTERM to the stored process: the namespace empties. */
    ASSERT_EQ(OK, ozcKill("c1", 15, 0));
    EXPECT_TRUE(waitFor([&] { return statusOf("c1") == STATE_STOPPED; }));
    /* The state names the process the starter spawned, and the starter
     * keeps how it ended. */
    CText stopped(ozcState("c1"));
    Json stoppedState(stopped ? cJSON_Parse(stopped.get()) : nullptr);
    cJSON *pid = cJSON_GetObjectItem(stoppedState.get(), "pid");
    ASSERT_TRUE(cJSON_IsNumber(pid)) << (stopped ? stopped.get() : "no state");
    int exitCode = -1;
    EXPECT_TRUE(waitFor([&] { return ozProcExitStatusGet((pid_t)pid->valuedouble, &exitCode) == OK; }));
    EXPECT_EQ(128 + SIGTERM, exitCode);
    EXPECT_EQ(OK, ozcKill("c1", 9, 0)) << "a stopped container is not signalled";
    EXPECT_EQ(EBUSY, fail(ozcStart("c1", 0))) << "no way back from stopped";
    EXPECT_EQ(OK, ozcDelete("c1", 0));
    EXPECT_EQ(ENODEV, fail(ozcDelete("c1", 0)));
    EXPECT_EQ(nullptr, ozcState("c1"));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(STATE_UNKNOWN, statusOf("c1"));
}

TEST_F(DaemonTest, KillAllForceDeleteAndWaitingStart)
{
    /* Two processes: the kill of the namespace reaches both. */
    std::string b2 = bundle("b2", "sleep 30 & echo $! > /bg-c2; exec sleep 31");
    unlink((sharedRootfs() + "/bg-c2").c_str());
    ASSERT_EQ(OK, ozcCreate("c2", b2.c_str(), 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozcStart("c2", OZC_START_DETACH));
    ASSERT_TRUE(waitFor([&] { return exists(sharedRootfs() + "/bg-c2"); })) << leakedToHost("bg-c2");
    EXPECT_EQ(OK, ozcKill("c2", 9, OZC_KILL_ALL));
    EXPECT_TRUE(waitFor([&] { return statusOf("c2") == STATE_STOPPED; }));
    EXPECT_EQ(OK, ozcDelete("c2", 0));

    /* Forced delete of a running container. */
    std::string b3 = bundle("b3", "exec sleep 30");
    ASSERT_EQ(OK, ozcCreate("c3", b3.c_str(), 0, nullptr));
    ASSERT_EQ(OK, ozcStart("c3", OZC_START_DETACH));
    EXPECT_EQ(STATE_RUNNING, statusOf("c3"));
    EXPECT_EQ(OK, ozcDelete("c3", OZC_DELETE_FORCE));
    EXPECT_EQ(STATE_UNKNOWN, statusOf("c3"));

    /* Without detach, start returns when the process has ended. */
    std::string done = sharedRootfs() + "/done-c4";
    unlink(done.c_str());
    std::string b4 = bundle("b4", "sleep 0.2; echo done > /done-c4");
    ASSERT_EQ(OK, ozcCreate("c4", b4.c_str(), 0, nullptr));
    int pid = ozcStart("c4", 0);
    EXPECT_GT(pid, 0) << std::hex << errno;
    EXPECT_EQ("done\n", readFile(done)) << leakedToHost("done-c4");
    EXPECT_TRUE(waitFor([&] { return statusOf("c4") == STATE_STOPPED; }));
    EXPECT_EQ(OK, ozcDelete("c4", 0));

    /* A program that is not in the container root fails the spawn; the
     * container is not left running. */
    std::string b5 = makeBundle(tmp_ / "b5", "true");
    Json cfg = readJson(b5 + "/config.json");
    cJSON *args = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "args");
    cJSON_ReplaceItemInArray(args, 0, cJSON_CreateString("/bin/no-such-program"));
    writeJson(b5 + "/config.json", cfg.get());
    ASSERT_EQ(OK, ozcCreate("c5", b5.c_str(), 0, nullptr));
    EXPECT_EQ(OZC_ERR_RTP_SPAWN_FAILED, fail(ozcStart("c5", OZC_START_DETACH)));
    EXPECT_EQ(OK, ozcDelete("c5", OZC_DELETE_FORCE));
}

TEST_F(DaemonTest, ErrorsReachTheClient)
{
    EXPECT_EQ(ENODEV, fail(ozcStart("nope", 0)));
    EXPECT_EQ(ENODEV, fail(ozcKill("nope", 15, 0)));
    EXPECT_EQ(ENODEV, fail(ozcDelete("nope", 0)));
    EXPECT_EQ(ENODEV, fail(ozcContextObjHandleStore("nope", 1)));
    EXPECT_EQ(nullptr, ozcContainerInfoGet("nope"));
    EXPECT_EQ(ENODEV, errno);
    for (const char *bad : {".", "..", "a/b", "a\\b", ""})
        EXPECT_EQ(EINVAL, fail(ozcCreate(bad, "/tmp", 0, nullptr))) << bad;
    std::string longId(256, 'x');
    EXPECT_EQ(EINVAL, fail(ozcCreate(longId.c_str(), "/tmp", 0, nullptr)));

    /* No config.json; not JSON; relative cwd; empty first argument. */
    std::string empty = tmp_ / "empty";
    mkdir(empty.c_str(), 0755);
    EXPECT_EQ(OZC_ERR_BUNDLE_CONFIG_NOT_EXISTS, fail(ozcCreate("e1", empty.c_str(), 0, nullptr)));
    writeFile(empty + "/config.json", "{not json");
    EXPECT_EQ(OZC_ERR_RUNTIME_CONFIG_LOAD_FAILED, fail(ozcCreate("e1", empty.c_str(), 0, nullptr)));
    std::string b = bundle("bcwd", "true");
    Json cfg = readJson(b + "/config.json");
    cJSON *proc = cJSON_GetObjectItem(cfg.get(), "process");
    cJSON_ReplaceItemInObject(proc, "cwd", cJSON_CreateString("rel"));
    writeJson(b + "/config.json", cfg.get());
    EXPECT_EQ(OZC_ERR_OCI_CWD_INVALID, fail(ozcCreate("e1", b.c_str(), 0, nullptr)));
    cJSON_ReplaceItemInObject(proc, "cwd", cJSON_CreateString("/"));
    cJSON_ReplaceItemInArray(cJSON_GetObjectItem(proc, "args"), 0, cJSON_CreateString(""));
    writeJson(b + "/config.json", cfg.get());
    EXPECT_EQ(OZC_ERR_OCI_ARG_INVALID, fail(ozcCreate("e1", b.c_str(), 0, nullptr)));
    cJSON_DeleteItemFromObject(cfg.get(), "ociVersion");
    writeJson(b + "/config.json", cfg.get());
    EXPECT_EQ(OZC_ERR_OCI_VERSION_INVALID, fail(ozcCreate("e1", b.c_str(), 0, nullptr)));

    /* Without overlays one bundle serves one container. */
    std::string shared = bundle("bshared", "sleep 1");
    ASSERT_EQ(OK, ozcCreate("s1", shared.c_str(), 0, nullptr));
    EXPECT_EQ(OZC_ERR_BUNDLE_IN_USE, fail(ozcCreate("s2", shared.c_str(), 0, nullptr)));

    /* A relative bundle path is sent as an absolute one. */
    std::string rel = bundle("brel", "true");
    char cwd[1024];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    ASSERT_EQ(0, chdir(tmp_.path().c_str()));
    STATUS rc = ozcCreate("r1", "brel", 0, nullptr);
    ASSERT_EQ(0, chdir(cwd));
    ASSERT_EQ(OK, rc) << std::hex << errno;
    CText st(ozcState("r1"));
    Json doc(cJSON_Parse(st.get()));
    EXPECT_EQ(rel, cJSON_GetObjectItem(doc.get(), "bundle")->valuestring);
    EXPECT_EQ(ENOENT, fail(ozcCreate("r2", "no-such-relative-dir", 0, nullptr)));

    /* The record keeps 254 characters of an id: a 255-character id is
     * refused rather than kept cut (it would be found under no name its
     * creator knows); one of 254 is found under itself. */
    std::string b255 = bundle("b255", "true");
    std::string id255(255, 'k');
    EXPECT_EQ(EINVAL, fail(ozcCreate(id255.c_str(), b255.c_str(), 0, nullptr)));
    EXPECT_EQ(ENODEV, fail(ozcDelete(id255.substr(0, 254).c_str(), 0)));
    ASSERT_EQ(OK, ozcCreate(id255.substr(0, 254).c_str(), b255.c_str(), 0, nullptr));
    EXPECT_EQ(STATE_CREATED, statusOf(id255.substr(0, 254).c_str()));
}

TEST_F(DaemonTest, ListOrderAndInspect)
{
    for (const char *id : {"b", "a", "c"})
        ASSERT_EQ(OK, ozcCreate(id, bundle(std::string("bl-") + id, "exec sleep 30").c_str(), 0, nullptr));
    ASSERT_EQ(OK, ozcStart("c", OZC_START_DETACH));
    CText list(ozcList());
    ASSERT_TRUE(list);
    Json arr(cJSON_Parse(list.get()));
    std::vector<std::string> ids;
    std::vector<int> st;
    cJSON *e;
    cJSON_ArrayForEach(e, arr.get())
    {
        ids.push_back(cJSON_GetObjectItem(e, "id")->valuestring);
        st.push_back(cJSON_GetObjectItem(e, "status")->valueint);
    }
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), ids);
    EXPECT_EQ((std::vector<int>{1, 1, 2}), st);

    CText info(ozcContainerInfoGet("c"));
    ASSERT_TRUE(info);
    Json doc(cJSON_Parse(info.get()));
    cJSON *o = cJSON_GetArrayItem(doc.get(), 0);
    ASSERT_TRUE(cJSON_IsObject(o)) << info.get();
    std::vector<std::string> keys;
    cJSON_ArrayForEach(e, o) keys.push_back(e->string);
    EXPECT_EQ((std::vector<std::string>{"Id", "Created", "Path", "args", "State", "Platform", "Name", "HostConfig",
                                        "Config"}),
              keys);
    EXPECT_STREQ("/bin/busybox", cJSON_GetObjectItem(o, "Path")->valuestring);
    EXPECT_EQ("[\"sh\",\"-c\",\"exec sleep 30\"]", jsonText(cJSON_GetObjectItem(o, "args")));
    EXPECT_EQ("{\"Running\":true,\"Stopped\":false,\"Created\":false}", jsonText(cJSON_GetObjectItem(o, "State")));
    EXPECT_STREQ("orrery", cJSON_GetObjectItem(o, "Platform")->valuestring);
    EXPECT_EQ("{\"option\":0,\"priority\":100,\"taskOption\":0,\"stackSize\":8192}",
              jsonText(cJSON_GetObjectItem(o, "HostConfig")));
    cJSON *config = cJSON_GetObjectItem(o, "Config");
    EXPECT_STREQ("box", cJSON_GetObjectItem(config, "Hostname")->valuestring);
    EXPECT_EQ("[\"PATH=/bin\"]", jsonText(cJSON_GetObjectItem(config, "Env")));
    EXPECT_EQ("{\"team\":\"infra\"}", jsonText(cJSON_GetObjectItem(config, "Labels")));
    /* Created is the local time of creation. */
    std::string created = cJSON_GetObjectItem(o, "Created")->valuestring;
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char year[16];
    snprintf(year, sizeof(year), "%d-", tmv.tm_year + 1900);
    EXPECT_EQ(0u, created.find(year)) << created;
    EXPECT_EQ(19u, created.size());

    CText info2(ozcContainerInfoGet("a"));
    Json doc2(cJSON_Parse(info2.get()));
    EXPECT_EQ("{\"Created\":true,\"Running\":false,\"Stopped\":false}",
              jsonText(cJSON_GetObjectItem(cJSON_GetArrayItem(doc2.get(), 0), "State")));
}

TEST_F(DaemonTest, OverlayRootsLetBundlesServeManyContainers)
{
    /* A daemon with overlays over an unpacked (layered) image bundle. */
    ASSERT_EQ(0, daemon_->stop());
    std::string dev = tmp_ / "overlay";
    mkdir(dev.c_str(), 0755);
    setenv("OZ_OVERLAY_DEV_DIR", dev.c_str(), 1);
    ozOvlDevDirSet(nullptr);
    if (!ozOvlAvailable())
        GTEST_SKIP() << "overlay devices are not available";
    daemon_ = std::make_unique<Daemon>(uniqueQueue("ozct"));
    ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log"));
    std::string img = tmp_ / "img";
    ASSERT_TRUE(
        mkimage(img, "--layers 2 --no-volumes --cmd '[\"sh\",\"-c\",\"echo $HOSTNAME > /mine; exec sleep 30\"]'"));
    std::string b = tmp_ / "ovb";
    ASSERT_EQ(OK, ozcUnpack(b.c_str(), img.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozcCreate("o1", b.c_str(), 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozcCreate("o2", b.c_str(), 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozcStart("o1", OZC_START_DETACH));
    /* o1 writes into its own upper layer only. */
    std::string upper1 = tmp_ / "base/containers/o1/upper";
    EXPECT_TRUE(waitFor([&] { return exists(upper1 + "/mine"); })) << upper1;
    EXPECT_FALSE(exists(tmp_ / "base/containers/o2/upper/mine"));
    EXPECT_FALSE(leakedToHost("mine"));
    EXPECT_EQ(OK, ozcDelete("o1", OZC_DELETE_FORCE));
    EXPECT_FALSE(exists(tmp_ / "base/containers/o1")) << "the container's directory goes with it";
    EXPECT_EQ(OK, ozcDelete("o2", 0));
    daemon_->stop();
    sh("umount -l " + quote(dev) + "/* 2>/dev/null; true");
    unsetenv("OZ_OVERLAY_DEV_DIR");
    ozOvlDevDirSet(nullptr);
}

/* ------------------------------------------------------------------------
 * Robustness.
 * ------------------------------------------------------------------------ */

/* A raw client: sends a 2048-byte request of its own making and reads the
 * reply on its own reply queue. */
class RawClient {
public:
    explicit RawClient(const std::string &daemonQueue) : reqName_(daemonQueue)
    {
        static std::atomic<int> n{0};
        replyName_ = daemonQueue + "-raw-" + std::to_string(getpid()) + "-" + std::to_string(n++);
        msgQUnlink(replyName_.c_str());
        reply_ = msgQOpen(replyName_.c_str(), 1, 2048, MSG_Q_FIFO, OM_CREATE | OM_EXCL);
        req_ = msgQOpen(reqName_.c_str(), 32, 2048, MSG_Q_PRIORITY, 0);
    }
    ~RawClient()
    {
        if (reply_ != nullptr) {
            msgQClose(reply_);
            msgQUnlink(replyName_.c_str());
        }
        if (req_ != nullptr)
            msgQClose(req_);
    }
    bool ok() const { return reply_ != nullptr && req_ != nullptr; }
    /* A request with this header and data; the message is 2048 bytes
     * unless `size` says otherwise. */
    bool send(int cmd, const std::string &data, uint32_t dataLen, size_t size = 2048)
    {
        std::vector<char> msg(2048, 0);
        auto *h = reinterpret_cast<OZC_MESSAGE *>(msg.data());
        snprintf(h->name, sizeof(h->name), "%s", replyName_.c_str());
        h->msgLvl = 2;
        h->cmdId = cmd;
        h->dataLen = dataLen;
        memcpy(h->data, data.data(), std::min(data.size(), (size_t)(2048 - 204)));
        return msgQSend(req_, msg.data(), size, sysClkRateGet(), MSG_PRI_NORMAL) == OK;
    }
    bool sendBytes(const std::vector<char> &bytes)
    {
        return msgQSend(req_, bytes.data(), bytes.size(), sysClkRateGet(), MSG_PRI_NORMAL) == OK;
    }
    /* The reply's JSON text, or "" when none came within `sec`. */
    std::string reply(int sec = 2)
    {
        std::vector<char> buf(2048);
        ssize_t n = msgQReceive(reply_, buf.data(), buf.size(), sec * sysClkRateGet());
        if (n < 204)
            return "";
        auto *h = reinterpret_cast<OZC_MESSAGE *>(buf.data());
        return std::string(h->data, std::min<size_t>(h->dataLen, (size_t)n - 204));
    }
    const std::string &replyName() const { return replyName_; }

private:
    std::string reqName_, replyName_;
    MSG_Q_ID req_ = nullptr, reply_ = nullptr;
};

TEST_F(DaemonTest, MalformedRequestsAreAnsweredOrDroppedAndServingGoesOn)
{
    RawClient c(daemon_->queue());
    ASSERT_TRUE(c.ok());
    /* Unparsable JSON: nothing done, code 0. */
    ASSERT_TRUE(c.send(OZC_CREATE, "{\"containerId\":", 15));
    EXPECT_EQ("{\"errno\":0,\"body\":[]}", c.reply());
    /* Unknown command and the commands that do nothing at the daemon. */
    for (int cmd : {42, -1, (int)OZC_UNPACK, (int)OZC_ALIVE}) {
        ASSERT_TRUE(c.send(cmd, "{}", 2));
        EXPECT_EQ("{\"errno\":0,\"body\":[]}", c.reply()) << cmd;
    }
    /* Members of the wrong type. */
    ASSERT_TRUE(c.send(OZC_START, "{\"containerId\":7}", 17));
    EXPECT_EQ("{\"errno\":22,\"body\":[]}", c.reply());
    ASSERT_TRUE(c.send(OZC_STATE, "{}", 2));
    EXPECT_EQ("{\"errno\":22,\"body\":[]}", c.reply()) << "no id";
    /* A data length over the limit, and one beyond what arrived: dropped. */
    ASSERT_TRUE(c.send(OZC_LIST, "{}", 1844));
    EXPECT_EQ("", c.reply(1));
    ASSERT_TRUE(c.send(OZC_LIST, "{}", 100, 220));
    EXPECT_EQ("", c.reply(1));
    ASSERT_TRUE(c.send(OZC_LIST, "{}", 0xffffffffu));
    EXPECT_EQ("", c.reply(1));
    /* Short messages and random bytes. */
    ASSERT_TRUE(c.sendBytes(std::vector<char>(10, 'x')));
    srand(7);
    for (int i = 0; i < 20; i++) {
        std::vector<char> junk(1 + rand() % 2048);
        for (char &ch : junk)
            ch = (char)rand();
        ASSERT_TRUE(c.sendBytes(junk));
    }
    /* A header naming the daemon's own queue as the reply queue. */
    std::vector<char> self(2048, 0);
    auto *h = reinterpret_cast<OZC_MESSAGE *>(self.data());
    snprintf(h->name, sizeof(h->name), "%s", daemon_->queue().c_str());
    h->cmdId = OZC_LIST;
    h->dataLen = 2;
    memcpy(h->data, "{}", 2);
    ASSERT_TRUE(c.sendBytes(self));
    /* Still serving, in order. */
    ASSERT_TRUE(c.send(OZC_LIST, "{}", 2));
    EXPECT_EQ("{\"errno\":0,\"body\":[]}", c.reply());
    EXPECT_TRUE(ozcDaemonIsAlive());
}

TEST_F(DaemonTest, ManyClientsAtOnceAndLargeReplies)
{
    /* 200 containers: the list reply is many 2048-byte pieces. */
    std::string b = tmp_ / "many";
    constexpr int kContainers = 200;
    for (int i = 0; i < kContainers; i++) {
        char id[32];
        snprintf(id, sizeof(id), "m%03d", i);
        ASSERT_EQ(OK, ozcCreate(id, makeBundle(b + id, "true").c_str(), 0, nullptr)) << id << std::hex << errno;
    }
    CText list(ozcList());
    ASSERT_TRUE(list);
    EXPECT_GT(strlen(list.get()), 4u * 2048);
    Json arr(cJSON_Parse(list.get()));
    ASSERT_EQ(kContainers, cJSON_GetArraySize(arr.get()));
    EXPECT_STREQ("m000", cJSON_GetObjectItem(cJSON_GetArrayItem(arr.get(), 0), "id")->valuestring);
    EXPECT_STREQ("m199", cJSON_GetObjectItem(cJSON_GetArrayItem(arr.get(), 199), "id")->valuestring);

    /* 64 client processes at once, each listing and asking for a state.
     * Their queues count against the user's message-queue budget, which
     * other test programs running beside this one share: the children get
     * a larger one. */
    struct rlimit mqLimit;
    if (getrlimit(RLIMIT_MSGQUEUE, &mqLimit) == 0 && mqLimit.rlim_cur < 8u << 20) {
        mqLimit.rlim_cur = mqLimit.rlim_max = 8u << 20;
        setrlimit(RLIMIT_MSGQUEUE, &mqLimit);
    }
    std::vector<pid_t> kids;
    std::string ozc = ozcPath();
    for (int i = 0; i < 64; i++) {
        pid_t pid;
        std::string id = "m" + std::to_string(100 + i);
        char *argv[] = {const_cast<char *>(ozc.c_str()), const_cast<char *>("list"), const_cast<char *>("--quiet"),
                        nullptr};
        char *argv2[] = {const_cast<char *>(ozc.c_str()), const_cast<char *>("state"), const_cast<char *>(id.c_str()),
                         nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        ASSERT_EQ(0, posix_spawn(&pid, ozc.c_str(), &fa, nullptr, i % 2 ? argv : argv2, environ));
        posix_spawn_file_actions_destroy(&fa);
        kids.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : kids) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(0, failed) << "clients that got no answer";

    /* A client that goes away before taking its (large) reply: the daemon
     * gives up on it and serves the next one. */
    {
        RawClient gone(daemon_->queue());
        ASSERT_TRUE(gone.ok());
        ASSERT_TRUE(gone.send(OZC_LIST, "{}", 2));
    }
    RawClient slow(daemon_->queue());
    ASSERT_TRUE(slow.send(OZC_LIST, "{}", 2));
    std::string first = slow.reply(3);
    EXPECT_EQ(0u, first.find("{\"errno\":0,\"body\":[{")) << first.substr(0, 64);
    /* ... and this one takes only its first piece, then goes away too. */
    EXPECT_TRUE(waitFor([] { return ozcDaemonIsAlive() == TRUE; }, 8000));
    CText again(ozcList());
    ASSERT_TRUE(again);
    EXPECT_EQ(std::string(list.get()), std::string(again.get()));
}

TEST_F(DaemonTest, AClientKilledBeforeItsReplyLeavesNoQueueBehind)
{
    /* The system's queues, seen through a private mount of their file system. */
    std::string mq = tmp_ / "mq";
    mkdir(mq.c_str(), 0755);
    if (sh("mount -t mqueue none " + quote(mq) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount the message-queue file system";
    /* Enough containers for a list reply of two pieces. */
    for (int i = 0; i < 30; i++) {
        std::string id = "q" + std::to_string(i);
        ASSERT_EQ(OK, ozcCreate(id.c_str(), makeBundle(tmp_ / ("qb" + std::to_string(i)), "true").c_str(), 0, nullptr));
    }
    /* A client that takes no piece keeps the daemon busy for a second ... */
    RawClient slow(daemon_->queue());
    ASSERT_TRUE(slow.send(OZC_LIST, "{}", 2));
    /* ... while an ozc process sends its request and is killed waiting. */
    std::string ozc = ozcPath();
    char *argv[] = {const_cast<char *>(ozc.c_str()), const_cast<char *>("list"), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, ozc.c_str(), &fa, nullptr, argv, environ));
    posix_spawn_file_actions_destroy(&fa);
    std::string stem = daemon_->queue().substr(1) + "-u-" + std::to_string(pid) + "-";
    std::string listing;
    EXPECT_TRUE(waitFor(
        [&] {
            sh("ls " + quote(mq), &listing);
            return listing.find(stem) != std::string::npos;
        },
        3000))
        << "the client's queues did not appear";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    sh("ls " + quote(mq), &listing);
    EXPECT_NE(std::string::npos, listing.find(stem)) << "killed: its queues stay for now";
    /* The daemon answers it into the void, then clears its queues. */
    EXPECT_TRUE(waitFor([] { return ozcDaemonIsAlive() == TRUE; }, 8000));
    EXPECT_TRUE(waitFor(
        [&] {
            sh("ls " + quote(mq), &listing);
            return listing.find(stem) == std::string::npos;
        },
        3000))
        << listing;
    sh("umount " + quote(mq));
}

TEST_F(DaemonTest, ImageVolumesBecomeMountsOfTheirOwnOnly)
{
    /* A Docker-style volume, a host bind and a tmpfs: the container is
     * created, sees its tmpfs, and no host directory. */
    std::string img = tmp_ / "volimg";
    ASSERT_TRUE(mkimage(img, "--layers 2 --volume /data --volume '/:/host:rw:bind' "
                             "--volume 'tmpfs:/scratch:size=1m:tmpfs' "
                             "--cmd '[\"sh\",\"-c\",\"echo x > /scratch/f; ls /scratch /host > /seen-vol 2>&1\"]'"));
    std::string b = tmp_ / "volb";
    ASSERT_EQ(OK, ozcUnpack(b.c_str(), img.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozcCreate("v1", b.c_str(), 0, nullptr)) << std::hex << errno;
    EXPECT_GT(ozcStart("v1", 0), 0) << std::hex << errno;
    std::string seen = readFile(b + "/rootfs/seen-vol");
    EXPECT_NE(std::string::npos, seen.find("f\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("/host")) << "no such directory: " << seen;
    EXPECT_FALSE(exists(b + "/rootfs/scratch/f")) << "written to the tmpfs, not the image's root";
    EXPECT_FALSE(leakedToHost("seen-vol"));
    EXPECT_EQ(OK, ozcDelete("v1", 0));
}

} // namespace
