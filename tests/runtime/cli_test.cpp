/*
 * cli_test.cpp - the programs ozcd and ozc as people use them: help texts,
 * command-line mistakes, error messages and exit status, the daemon's
 * refusals (queue already served, message-queue limits too small, a queue
 * left behind), and the daemon's info lines filtered by OZC_VERBOSE.
 */
#include "ozcRuntimeApi.h"
#include "ozcUtil.h"
#include "runtime/runtime_fixture.h"

using namespace rtfix;

namespace {

/* Runs ozc with the arguments (shell words); exit status, output in *out
 * (standard output and error together). */
int ozc(const std::string &args, std::string *out, const std::string &env = "")
{
    return sh(env + " " + quote(ozcPath()) + " " + args + " 2>&1", out);
}

TEST(OzcHelpTest, HelpForEveryCommandAndUsageErrors)
{
    std::string out;
    EXPECT_EQ(0, ozc("--help", &out));
    for (const char *cmd :
         {"create", "start", "kill", "delete", "state", "list", "inspect", "prune", "unpack", "images"}) {
        SCOPED_TRACE(cmd);
        EXPECT_NE(std::string::npos, out.find(std::string("  ") + cmd + " ")) << out;
        std::string help;
        EXPECT_EQ(0, ozc(std::string(cmd) + " --help", &help));
        EXPECT_EQ(0u, help.find(std::string("Usage: ozc ") + cmd)) << help;
        EXPECT_EQ(0, ozc(std::string("help ") + cmd, &help));
    }
    EXPECT_EQ(2, ozc("", &out));
    EXPECT_EQ(2, ozc("frobnicate", &out));
    EXPECT_NE(std::string::npos, out.find("unknown command 'frobnicate'"));
    EXPECT_EQ(2, ozc("create", &out)) << "id missing";
    EXPECT_EQ(2, ozc("create a b", &out)) << "one id only";
    EXPECT_EQ(2, ozc("kill c1 NOSUCHSIG", &out));
    EXPECT_NE(std::string::npos, out.find("unknown signal 'NOSUCHSIG'"));
    EXPECT_EQ(2, ozc("kill c1 0", &out));
    EXPECT_EQ(2, ozc("kill c1 65", &out));
    EXPECT_EQ(2, ozc("delete --bogus c1", &out));
    EXPECT_EQ(2, ozc("unpack onlyone", &out));
    EXPECT_EQ(0, sh(quote(ozcdPath()) + " --help >/dev/null"));
    EXPECT_EQ(2, sh(quote(ozcdPath()) + " --bogus 2>/dev/null"));
}

TEST(OzcNoDaemonTest, FailuresPrintTheRuntimeMessage)
{
    std::string env = "OZC_DAEMON_QUEUE=" + uniqueQueue("ozcclinone");
    std::string out;
    EXPECT_EQ(1, ozc("list", &out, env));
    EXPECT_EQ("Error: The daemon is not running.\n", out);
    EXPECT_EQ(1, ozc("create --bundle /tmp c1", &out, env));
    EXPECT_EQ("Error: The daemon is not running.\n", out);
    /* Image commands need no daemon. */
    EXPECT_EQ(1, ozc("images /no/such/layout", &out, env));
    EXPECT_EQ("Error: File oci-layout not found.\n", out);
}

class OzcDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        setenv("OZC_BASE", (tmp_ / "base").c_str(), 1);
        setenv("OZ_OVERLAY_DEV_DIR", "", 1);
        unsetenv("OZC_VERBOSE");
        daemon_ = std::make_unique<Daemon>(uniqueQueue("ozccli"));
        ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log"));
        ASSERT_TRUE(mkimage(tmp_ / "img", "--layers 2 --tag v1 --no-volumes "
                                          "--cmd '[\"sh\",\"-c\",\"echo hi > /hi; exec sleep 30\"]'"));
    }
    void TearDown() override
    {
        if (!daemon_)
            return;
        ozcDelete("k1", OZC_DELETE_FORCE);
        EXPECT_EQ(0, daemon_->stop()) << readFile(tmp_ / "ozcd.log");
        EXPECT_FALSE(daemon_->queueExists());
        unsetenv("OZ_OVERLAY_DEV_DIR");
        unsetenv("OZC_BASE");
    }
    TempDir tmp_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(OzcDaemonTest, UnpackCreateStartKillDeleteFromTheShell)
{
    std::string out;
    std::string img = tmp_ / "img";
    std::string b = tmp_ / "bundle";
    EXPECT_EQ(1, ozc("unpack " + img + " " + b, &out)) << "no latest in the layout";
    EXPECT_EQ("Error: File index.json invalid.\n", out);
    EXPECT_EQ(1, ozc("unpack --tag v1 --os orrery " + img + " " + b, &out));
    ASSERT_EQ(0, ozc("unpack --tag v1 " + img + " " + b, &out)) << out;
    EXPECT_TRUE(exists(b + "/config.json"));
    EXPECT_EQ(1, ozc("unpack -t v1 " + img + " " + b, &out));
    EXPECT_EQ("Error: OCI bundle rootfs already exists.\n", out);
    EXPECT_EQ(1, ozc("unpack --flatten -t v1 " + img + " " + b + "2", &out));
    EXPECT_EQ("Error: Invalid parameter.\n", out) << "no flattened roots without overlays";

    ASSERT_EQ(0, ozc("images " + img, &out));
    Json images(cJSON_Parse(out.c_str()));
    EXPECT_EQ(1, cJSON_GetArraySize(images.get())) << out;

    /* Relative bundle path from the bundle's parent. */
    ASSERT_EQ(0, sh("cd " + quote(tmp_.path()) + " && " + quote(ozcPath()) + " create --bundle bundle k1"));
    EXPECT_EQ(1, ozc("create -b " + b + " k1", &out));
    EXPECT_EQ("Error: Container already exists.\n", out);
    ASSERT_EQ(0, ozc("state k1", &out));
    Json st(cJSON_Parse(out.c_str()));
    EXPECT_EQ(1, cJSON_GetObjectItem(st.get(), "status")->valueint) << out;
    EXPECT_STREQ(b.c_str(), cJSON_GetObjectItem(st.get(), "bundle")->valuestring);

    /* The detached process keeps the caller's standard output open: it
     * goes to a file here, or reading the output would wait for its end. */
    std::string startOut = tmp_ / "start.out";
    ASSERT_EQ(0, ozc("start --detach k1 >" + startOut, &out)) << readFile(startOut);
    /* The file appears before the shell's echo has written into it. */
    for (int i = 0; i < 500 && readFile(b + "/rootfs/hi") != "hi\n"; i++)
        usleep(10000);
    EXPECT_EQ("hi\n", readFile(b + "/rootfs/hi"));
    EXPECT_FALSE(leakedToHost("hi")) << "the process wrote into the host's root";
    EXPECT_EQ(1, ozc("start k1", &out));
    EXPECT_EQ("Error: Container in use.\n", out);

    ASSERT_EQ(0, ozc("list", &out));
    std::string pad(b.size() - 6, ' ');
    EXPECT_EQ(0u, out.find("ID  STATUS   BUNDLE" + pad + "  CREATED\nk1  running  " + b + "  20")) << out;
    ASSERT_EQ(0, ozc("list -q", &out));
    EXPECT_EQ("k1\n", out);
    ASSERT_EQ(0, ozc("inspect k1", &out));
    Json info(cJSON_Parse(out.c_str()));
    EXPECT_STREQ("k1", cJSON_GetObjectItem(cJSON_GetArrayItem(info.get(), 0), "Id")->valuestring) << out;

    EXPECT_EQ(1, ozc("delete k1", &out));
    EXPECT_EQ("Error: Container in use.\n", out);
    EXPECT_EQ(0, ozc("kill k1 sigterm", &out)) << out;
    for (int i = 0; i < 500 && ozcStatusGet("k1") == STATE_RUNNING; i++)
        usleep(10000);
    ASSERT_EQ(0, ozc("state k1", &out));
    EXPECT_NE(std::string::npos, out.find("\"status\":\t3")) << out;
    EXPECT_EQ(0, ozc("kill --all k1 9", &out)) << "stopped: nothing to signal";
    EXPECT_EQ(0, ozc("delete k1", &out)) << out;
    EXPECT_EQ(1, ozc("delete k1", &out));
    EXPECT_EQ(1, ozc("inspect k1", &out));

    /* start without --detach waits for the process. */
    std::string b2 = tmp_ / "b2";
    ASSERT_EQ(0, ozc("unpack -t v1 " + img + " " + b2, &out));
    Json cfg = readJson(b2 + "/config.json");
    cJSON *args = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "args");
    cJSON_ReplaceItemInArray(args, 3, cJSON_CreateString("sleep 0.2; echo waited > /w"));
    writeJson(b2 + "/config.json", cfg.get());
    ASSERT_EQ(0, ozc("create -b " + b2 + " k2", &out));
    ASSERT_EQ(0, ozc("start k2", &out)) << out;
    EXPECT_EQ("waited\n", readFile(b2 + "/rootfs/w")) << leakedToHost("w");
    EXPECT_EQ(0, ozc("delete --force k2", &out)) << out;
}

TEST_F(OzcDaemonTest, StartExitsWithTheContainersStatusAndSignalNamesAreTheHosts)
{
    std::string out;
    struct Case {
        const char *id;
        const char *script;
        int status;
    };
    /* A start that waits ends as the container's process did. */
    for (const Case &c : {Case{"x7", "exit 7", 7}, Case{"xterm", "kill -TERM $$", 128 + SIGTERM}}) {
        std::string b = tmp_ / c.id;
        ASSERT_EQ(0, ozc("unpack -t v1 " + tmp_ / "img" + " " + b, &out)) << out;
        Json cfg = readJson(b + "/config.json");
        cJSON *args = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "args");
        cJSON_ReplaceItemInArray(args, 3, cJSON_CreateString(c.script));
        writeJson(b + "/config.json", cfg.get());
        ASSERT_EQ(0, ozc("create -b " + b + " " + c.id, &out)) << out;
        EXPECT_EQ(c.status, ozc(std::string("start ") + c.id, &out)) << c.script << ": " << out;
        EXPECT_EQ(0, ozc(std::string("delete ") + c.id, &out)) << out;
    }
    /* USR1 by name is this host's USR1: the trap runs. */
    std::string b = tmp_ / "usr1";
    ASSERT_EQ(0, ozc("unpack -t v1 " + tmp_ / "img" + " " + b, &out)) << out;
    Json cfg = readJson(b + "/config.json");
    cJSON *args = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "args");
    cJSON_ReplaceItemInArray(args, 3,
                             cJSON_CreateString("trap 'echo usr1 > /usr1; exit 0' USR1; touch /ready; "
                                                "while :; do sleep 0.05; done"));
    writeJson(b + "/config.json", cfg.get());
    ASSERT_EQ(0, ozc("create -b " + b + " k1", &out)) << out;
    ASSERT_EQ(0, ozc("start --detach k1 >/dev/null", &out)) << out;
    for (int i = 0; i < 500 && !exists(b + "/rootfs/ready"); i++)
        usleep(10000);
    ASSERT_EQ(0, ozc("kill k1 USR1", &out)) << out;
    for (int i = 0; i < 500 && !exists(b + "/rootfs/usr1"); i++)
        usleep(10000);
    EXPECT_EQ("usr1\n", readFile(b + "/rootfs/usr1"));
}

TEST_F(OzcDaemonTest, InfoLinesFollowTheClientsVerbosity)
{
    std::string none = tmp_ / "nobundle";
    mkdir(none.c_str(), 0755);
    const std::string info = "OCI bundle config.json not exists in " + none + ".\n";
    const std::string err = "Error: OCI bundle config.json not exists.\n";
    std::string out;
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out));
    EXPECT_EQ(info + err, out) << "unset: level 2";
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out, "OZC_VERBOSE=0"));
    EXPECT_EQ(err, out);
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out, "OZC_VERBOSE=1"));
    EXPECT_EQ(info + err, out);
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out, "OZC_VERBOSE=loud"));
    EXPECT_EQ(err, out) << "not a number counts as 0";
    /* Level 3 or more leaves the level of the previous request (0). */
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out, "OZC_VERBOSE=7"));
    EXPECT_EQ(err, out);
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out, "OZC_VERBOSE=2"));
    EXPECT_EQ(info + err, out);
    EXPECT_EQ(1, ozc("create -b " + none + " v1", &out, "OZC_VERBOSE=9"));
    EXPECT_EQ(info + err, out) << "kept at 2";
}

TEST_F(OzcDaemonTest, SecondDaemonAndSmallLimitsAreRefused)
{
    std::string out;
    EXPECT_EQ(1, sh(quote(ozcdPath()) + " 2>&1", &out));
    EXPECT_NE(std::string::npos, out.find(daemon_->queue() + " is already served by a running daemon")) << out;
    EXPECT_TRUE(ozcDaemonIsAlive()) << "the first daemon is untouched";

    /* A fresh IPC namespace has the kernel's default limit of 10 messages. */
    if (sh("unshare --ipc true 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot make an IPC namespace here";
    EXPECT_EQ(1, sh("unshare --ipc " + quote(ozcdPath()) + " 2>&1", &out));
    EXPECT_NE(std::string::npos, out.find("message-queue limits are too small")) << out;
}

TEST(OzcdStaleQueueTest, AQueueLeftBehindIsReplaced)
{
    RTFIX_REQUIRE_ROOT();
    TempDir tmp;
    Daemon d(uniqueQueue("ozcstale"));
    MSG_Q_ID q = msgQOpen(d.queue().c_str(), 32, 2048, MSG_Q_PRIORITY, OM_CREATE | OM_EXCL);
    ASSERT_NE(nullptr, q);
    msgQClose(q);
    /* Whatever happens, the test leaves no queue of its own behind. */
    struct Unlink {
        std::string name;
        ~Unlink() { msgQUnlink(name.c_str()); }
    } unlinkAtEnd{d.queue()};
    ASSERT_TRUE(d.start(tmp / "ozcd.log"));
    /* Serving once the stale queue has been probed and replaced. */
    for (int i = 0; i < 1000 && readFile(tmp / "ozcd.log").find("serving") == std::string::npos; i++)
        usleep(10000);
    EXPECT_TRUE(ozcDaemonIsAlive()) << readFile(tmp / "ozcd.log");
    EXPECT_NE(std::string::npos, readFile(tmp / "ozcd.log").find("left by a daemon that is gone"));
    EXPECT_EQ(0, d.stop());
    EXPECT_FALSE(d.queueExists());
    unsetenv("OZC_DAEMON_QUEUE");
}

} // namespace
