/*
 * boundary_test.cpp - the container boundary as an attacker tries it, with
 * real images, namespaces and the daemon in a process of its own: host
 * files through /proc, the daemon's queue from inside, foreign process
 * handles, processes in namespaces of their own, the image's user, /dev and
 * the capabilities; and the daemon that is killed and started again, the
 * prune of shared roots, replies that cannot fit, and an idle daemon.
 */
#include <dirent.h>
#include <map>
#include <set>

#include "ozcContainerLib.h"
#include "ozcRuntimeApi.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"
#include "runtime/runtime_fixture.h"

using namespace rtfix;

namespace {

/* The default capability set of OCI runtimes: kill, net_bind_service,
 * audit_write. */
constexpr const char *kDefaultCaps = "0000000020000420";

/* Host processes whose command line holds `word`, as "pid:cmdline". */
std::vector<std::string> hostProcesses(const std::string &word)
{
    std::vector<std::string> found;
    DIR *d = opendir("/proc");
    while (d != nullptr) {
        struct dirent *e = readdir(d);
        if (e == nullptr)
            break;
        if (atoi(e->d_name) <= 0)
            continue;
        std::string cmd = readFile(std::string("/proc/") + e->d_name + "/cmdline");
        for (char &c : cmd)
            c = c == '\0' ? ' ' : c;
        if (cmd.find(word) != std::string::npos && cmd.find("sh -c") == std::string::npos)
            found.push_back(std::string(e->d_name) + ":" + cmd);
    }
    if (d != nullptr)
        closedir(d);
    return found;
}

/* The "Cap..." and "NoNewPrivs" lines of a status file, without spaces. */
std::string capLines(const std::string &status)
{
    std::string out;
    std::istringstream in(status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Cap", 0) == 0 || line.rfind("NoNewPrivs", 0) == 0) {
            line.erase(std::remove(line.begin(), line.end(), '\t'), line.end());
            out += line + "\n";
        }
    return out;
}

class BoundaryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        setenv("OZC_BASE", (tmp_ / "base").c_str(), 1);
        setenv("OZ_OVERLAY_DEV_DIR", overlayDir().c_str(), 1);
        unsetenv("OZC_VERBOSE");
        daemon_ = std::make_unique<Daemon>(uniqueQueue("ozcbnd"));
        ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log")) << readFile(tmp_ / "ozcd.log");
    }
    void TearDown() override
    {
        if (!daemon_)
            return;
        /* A daemon a test killed: one started again adopts what is left. */
        if (daemon_->pid() <= 0) {
            msgQUnlink(daemon_->queue().c_str());
            EXPECT_TRUE(daemon_->start(tmp_ / "ozcd.log"));
        }
        if (daemon_->pid() > 0) {
            CText list(ozcList());
            Json doc(list ? cJSON_Parse(list.get()) : nullptr);
            cJSON *e;
            cJSON_ArrayForEach(e, doc.get()) ozcDelete(cJSON_GetObjectItem(e, "id")->valuestring, OZC_DELETE_FORCE);
            EXPECT_EQ(0, daemon_->stop()) << readFile(tmp_ / "ozcd.log");
        }
        unsetenv("OZ_OVERLAY_DEV_DIR");
        unsetenv("OZC_BASE");
    }
    /* Empty: no overlays (each bundle has its own extracted root). */
    virtual std::string overlayDir() { return ""; }

    /* An image of the fixture script (made once per test and arguments)
     * unpacked into a bundle of its own. */
    std::string bundleOf(const std::string &name, const std::string &mkimageArgs, const char *dir = nullptr,
                         unsigned option = 0)
    {
        std::string &img = images_[mkimageArgs];
        if (img.empty()) {
            img = tmp_ / ("img" + std::to_string(images_.size()));
            EXPECT_TRUE(mkimage(img, "--no-volumes " + mkimageArgs));
        }
        std::string b = dir != nullptr ? std::string(dir) + "/" + name : tmp_ / name;
        EXPECT_EQ(OK, ozcUnpack(b.c_str(), img.c_str(), nullptr, option, nullptr)) << std::hex << errno;
        return b;
    }
    /* A bundle whose process runs `script` with busybox's shell. */
    std::string shellBundle(const std::string &name, const std::string &script, const std::string &more = "")
    {
        std::string b = bundleOf(name, more);
        configEdit(b, [&](cJSON *cfg) {
            const char *args[] = {"/bin/busybox", "sh", "-c", script.c_str()};
            cJSON_ReplaceItemInObject(cJSON_GetObjectItem(cfg, "process"), "args", cJSON_CreateStringArray(args, 4));
        });
        return b;
    }
    static void configEdit(const std::string &bundle, const std::function<void(cJSON *)> &edit)
    {
        Json cfg = readJson(bundle + "/config.json");
        edit(cfg.get());
        writeJson(bundle + "/config.json", cfg.get());
    }
    static void mountAdd(const std::string &bundle, const char *type, const char *dst)
    {
        configEdit(bundle, [&](cJSON *cfg) {
            cJSON *m = cJSON_CreateObject();
            cJSON_AddStringToObject(m, "destination", dst);
            cJSON_AddStringToObject(m, "type", type);
            cJSON_AddStringToObject(m, "source", type);
            cJSON_AddItemToArray(cJSON_GetObjectItem(cfg, "mounts"), m);
        });
    }
    /* Create, start and wait; the exit status (128 + signal), or -1. */
    static int runToEnd(const char *id, const std::string &bundle)
    {
        if (ozcCreate(id, bundle.c_str(), 0, nullptr) != OK)
            return -1;
        int status = 0;
        int rc =
            ozcStartWait(id, &status) > 0 ? (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) : -1;
        ozcDelete(id, OZC_DELETE_FORCE);
        return rc;
    }
    static int fail(STATUS rc) { return rc == OK ? 0 : errno; }
    /* Runs an image that carries the host's null and zero devices as nodes
     * of its own; the exit status says what could be opened: 1 the image's
     * null written, 2 the image's zero read, 4 the runtime's /dev failed,
     * 8 the image's nodes are missing. */
    int imageDevicesOpened(const char *id)
    {
        std::string b =
            shellBundle(id,
                        "r=0; [ -c /root/null ] && [ -c /root/zero ] || r=8;"
                        "(echo x > /root/null) 2>/dev/null && r=$((r|1));"
                        "[ $(busybox head -c 4 /root/zero 2>/dev/null | busybox wc -c) -eq 4 ] && r=$((r|2));"
                        "echo x > /dev/null && [ $(busybox head -c 4 /dev/zero | busybox wc -c) -eq 4 ] || r=$((r|4));"
                        "exit $r",
                        "--node root/null:1:3 --node root/zero:1:5");
        return runToEnd(id, b);
    }

    TempDir tmp_;
    std::unique_ptr<Daemon> daemon_;
    std::map<std::string, std::string> images_;
};

/* ------------------------------------------------------------------------
 * Escapes
 * ------------------------------------------------------------------------ */
TEST_F(BoundaryTest, ProcLeadsToNoHostFile)
{
    /* The image mounts a proc of its own and writes through the root of
     * every process it finds there, the host's init among them. */
    const std::string marker = "ozc-escape-" + std::to_string(getpid());
    const std::string escape = "busybox mkdir -p /proc; busybox mount -t proc proc /proc 2>/dev/null; "
                               "for r in /proc/[0-9]*/root; do "
                               "echo escaped > $r/tmp/" +
                               marker + " 2>/dev/null; done; true";
    std::string b1 = shellBundle("procown", escape);
    EXPECT_EQ(0, runToEnd("p1", b1));
    EXPECT_FALSE(leakedToHost("tmp/" + marker)) << "a host file was written through /proc";

    /* The same with the proc a bundle may ask for: it shows the
     * container's own processes only, hides the kernel's memory and keeps
     * the kernel's tunables read-only. */
    std::string b2 =
        shellBundle("procgiven", escape + "; ls /proc | grep -c '^[0-9]' > /pids;"
                                          "head -c 1 /proc/kcore | wc -c > /kcore;"
                                          "(cat /proc/sys/kernel/printk_ratelimit > /proc/sys/kernel/printk_ratelimit)"
                                          " 2>/dev/null; echo $? > /sysctl");
    mountAdd(b2, "proc", "/proc");
    EXPECT_EQ(0, runToEnd("p2", b2));
    EXPECT_FALSE(leakedToHost("tmp/" + marker)) << "a host file was written through /proc";
    EXPECT_EQ("escaped\n", readFile(b2 + "/rootfs/tmp/" + marker)) << "the holder's root is the container's";
    EXPECT_LT(std::stoi("0" + readFile(b2 + "/rootfs/pids")), 10) << "host processes are visible";
    EXPECT_EQ("0\n", readFile(b2 + "/rootfs/kcore"));
    EXPECT_NE("0\n", readFile(b2 + "/rootfs/sysctl")) << "a kernel tunable was writable";
}

TEST_F(BoundaryTest, DaemonQueueIsOutOfReachFromInside)
{
    /* A container that carries a copy of ozc and its libraries tries to
     * delete its sibling through the daemon's queue. */
    std::string victim = shellBundle("victim", "sleep 1");
    ASSERT_EQ(OK, ozcCreate("victim", victim.c_str(), 0, nullptr)) << std::hex << errno;
    std::string b = shellBundle("attacker", "/ozc-copy delete --force victim > /ozc-out 2>&1; echo $? > /ozc-rc;"
                                            "ls /dev/mqueue > /mq-list");
    std::string root = b + "/rootfs";
    ASSERT_EQ(0, sh("cp " + quote(ozcPath()) + " " + quote(root + "/ozc-copy") + " && for f in $(ldd " +
                    quote(ozcPath()) + " | grep -o '/[^ ]*'); do mkdir -p " + quote(root) +
                    "$(dirname $f) && cp -L $f " + quote(root) + "$f; done"));
    mountAdd(b, "proc", "/proc"); /* sanitizer runtimes read /proc */
    mountAdd(b, "mqueue", "/dev/mqueue");
    configEdit(b, [&](cJSON *cfg) {
        cJSON *env = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg, "process"), "env");
        cJSON_AddItemToArray(env, cJSON_CreateString(("OZC_DAEMON_QUEUE=" + daemon_->queue()).c_str()));
    });
    EXPECT_EQ(0, runToEnd("attacker", b));
    EXPECT_EQ("1\n", readFile(root + "/ozc-rc")) << readFile(root + "/ozc-out");
    EXPECT_NE(std::string::npos, readFile(root + "/ozc-out").find("The daemon is not running"))
        << readFile(root + "/ozc-out");
    EXPECT_EQ(STATE_CREATED, ozcStatusGet("victim")) << "the sibling was deleted from inside";
    EXPECT_EQ(std::string::npos, readFile(root + "/mq-list").find(daemon_->queue().substr(1)));
}

TEST_F(BoundaryTest, StoredHandlesMustBeTheContainersOwn)
{
    std::string ba = shellBundle("ha", "exec sleep 6060");
    std::string bb = shellBundle("hb", "exec sleep 6061");
    ASSERT_EQ(OK, ozcCreate("ha", ba.c_str(), 0, nullptr));
    ASSERT_EQ(OK, ozcCreate("hb", bb.c_str(), 0, nullptr));
    EXPECT_EQ(ESRCH, fail(ozcContextObjHandleStore("ha", getpid()))) << "not started: nothing is its own";
    ASSERT_EQ(OK, ozcStart("ha", OZC_START_DETACH));
    ASSERT_EQ(OK, ozcStart("hb", OZC_START_DETACH));
    ASSERT_TRUE(waitFor([] { return hostProcesses("sleep 6061").size() == 1; }));
    pid_t sibling = (pid_t)std::stoi(hostProcesses("sleep 6061")[0]);

    pid_t host = 0;
    char prog[] = "/bin/sleep", arg[] = "60";
    char *argv[] = {prog, arg, nullptr};
    ASSERT_EQ(0, posix_spawn(&host, prog, nullptr, nullptr, argv, environ));
    /* A host process and a sibling's are refused; the kill of the handle
     * the container keeps reaches its own process only. */
    EXPECT_EQ(ESRCH, fail(ozcContextObjHandleStore("ha", host)));
    EXPECT_EQ(ESRCH, fail(ozcContextObjHandleStore("ha", sibling)));
    EXPECT_EQ(OK, ozcKill("ha", SIGTERM, 0));
    EXPECT_TRUE(waitFor([] { return ozcStatusGet("ha") == STATE_STOPPED; }));
    EXPECT_EQ(0, waitpid(host, nullptr, WNOHANG)) << "the host process was killed";
    EXPECT_EQ(STATE_RUNNING, ozcStatusGet("hb"));
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
}

TEST_F(BoundaryTest, NothingEscapesAForcedDelete)
{
    /* A process that makes namespaces of its own (where it may), or a plain
     * one where it may not. */
    std::string b = shellBundle("nest", "busybox unshare -m -p -f sleep 6070 || busybox unshare -m sleep 6071 || "
                                        "exec sleep 6073");
    ASSERT_EQ(OK, ozcCreate("nest", b.c_str(), 0, nullptr));
    ASSERT_EQ(OK, ozcStart("nest", OZC_START_DETACH));
    ASSERT_TRUE(waitFor([] {
        return !hostProcesses("sleep 6070").empty() || !hostProcesses("sleep 6071").empty() ||
               !hostProcesses("sleep 6073").empty();
    }));
    EXPECT_EQ(OK, ozcDelete("nest", OZC_DELETE_FORCE));
    for (const char *word : {"sleep 6070", "sleep 6071", "sleep 6073"})
        EXPECT_TRUE(waitFor([&] { return hostProcesses(word).empty(); }, 2000)) << word << " survived";
}

TEST_F(BoundaryTest, ProcessesRunAsTheImagesUser)
{
    const std::string script = "id -u > /tmp/uid; id -g > /tmp/gid; id -G > /tmp/groups";
    struct Case {
        const char *user;
        const char *uid, *gid, *groups;
    };
    /* Numbers as they are; names from the image's own files, with the
     * groups that list the user unless a group is named. */
    const Case cases[] = {
        {"1000:1000", "1000", "1000", "1000"},
        {"app", "1234", "2345", "2345 3456"},
        {"app:extra", "1234", "3456", "3456"},
        {"1234", "1234", "0", "0"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.user);
        std::string b = shellBundle("u" + std::to_string(n), script, std::string("--user ") + c.user);
        ASSERT_EQ(0, sh("echo 'app:x:1234:2345::/:/bin/sh' >> " + quote(b + "/rootfs/etc/passwd") +
                        " && printf 'staff:x:2345:\\nextra:x:3456:root,app\\n' >> " + quote(b + "/rootfs/etc/group") +
                        " && chmod 1777 " + quote(b + "/rootfs/tmp")));
        std::string id = "u" + std::to_string(n++);
        ASSERT_EQ(0, runToEnd(id.c_str(), b)) << std::hex << errno;
        EXPECT_EQ(std::string(c.uid) + "\n", readFile(b + "/rootfs/tmp/uid"));
        EXPECT_EQ(std::string(c.gid) + "\n", readFile(b + "/rootfs/tmp/gid"));
        EXPECT_EQ(std::string(c.groups) + "\n", readFile(b + "/rootfs/tmp/groups"));
    }
    /* An unknown name fails the create; so does a name found only in a
     * host file that the image's /etc/passwd links to. */
    std::string unknown = shellBundle("unknown", script, "--user nosuch");
    EXPECT_EQ(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID, fail(ozcCreate("nosuch", unknown.c_str(), 0, nullptr)));
    std::string hostFile = tmp_ / "hostpasswd";
    writeFile(hostFile, "evil:x:4321:4321::/:/bin/sh\n");
    std::string linked = shellBundle("linked", script, "--user evil");
    ASSERT_EQ(0, sh("ln -sf " + quote(hostFile) + " " + quote(linked + "/rootfs/etc/passwd")));
    EXPECT_EQ(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID, fail(ozcCreate("evil", linked.c_str(), 0, nullptr)));
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusGet("evil"));
}

/* The capability lines crun gives a process of its default specification
 * around `rootfs` as `user`; empty when crun cannot run here. */
std::string crunCaps(const TempDir &tmp, const std::string &rootfs, const char *user)
{
    if (sh("command -v crun >/dev/null") != 0)
        return "";
    std::string dir = tmp / ("crun-" + std::string(user));
    std::string out;
    if (sh("mkdir -p " + quote(dir) + " && cd " + quote(dir) +
           " && crun spec >/dev/null && python3 - <<'EOF'\n"
           "import json\n"
           "c = json.load(open('config.json'))\n"
           "c['process']['terminal'] = False\n"
           "c['process']['user'] = {'uid': " +
           std::string(user) + ", 'gid': " + user +
           "}\n"
           "c['process']['args'] = ['/bin/busybox', 'cat', '/proc/self/status']\n"
           "c['root'] = {'path': '" +
           rootfs +
           "', 'readonly': True}\n"
           "json.dump(c, open('config.json', 'w'))\n"
           "EOF") != 0 ||
        sh("unshare -m sh -c 'umount /sys/fs/cgroup/unified 2>/dev/null; crun run --bundle " + quote(dir) + " ozcbnd-" +
               std::to_string(getpid()) + "' 2>/dev/null",
           &out) != 0)
        return "";
    return capLines(out);
}

TEST_F(BoundaryTest, DefaultCapabilitiesDevicesAndHostName)
{
    std::string b = shellBundle("caps", "cat /proc/self/status > /status; echo x > /dev/null && head -c 4 /dev/zero "
                                        "| wc -c > /zero; ls /dev > /devs; hostname > /hostname; "
                                        "touch /dev/shm/s && ls /dev/pts/ptmx > /pts");
    mountAdd(b, "proc", "/proc");
    configEdit(b, [](cJSON *cfg) { cJSON_ReplaceItemInObject(cfg, "hostname", cJSON_CreateString("boxed")); });
    ASSERT_EQ(0, runToEnd("caps", b));
    std::string caps = capLines(readFile(b + "/rootfs/status"));
    EXPECT_EQ(std::string("CapInh:0000000000000000\nCapPrm:") + kDefaultCaps + "\nCapEff:" + kDefaultCaps +
                  "\nCapBnd:" + kDefaultCaps + "\nCapAmb:0000000000000000\nNoNewPrivs:1\n",
              caps);
    std::string peer = crunCaps(tmp_, b + "/rootfs", "0");
    if (!peer.empty()) {
        EXPECT_EQ(peer, caps) << "crun gives its default specification other capabilities";
    }
    EXPECT_EQ("4\n", readFile(b + "/rootfs/zero"));
    EXPECT_EQ("boxed\n", readFile(b + "/rootfs/hostname"));
    EXPECT_EQ("/dev/pts/ptmx\n", readFile(b + "/rootfs/pts"));
    std::string devs = readFile(b + "/rootfs/devs");
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty", "pts", "shm", "ptmx"})
        EXPECT_NE(std::string::npos, devs.find(std::string(node) + "\n")) << node << " missing: " << devs;

    /* Another user keeps nothing but the bounding set. */
    std::string u = shellBundle("capsuser", "cat /proc/self/status > /tmp/status", "--user 1000:1000");
    mountAdd(u, "proc", "/proc");
    ASSERT_EQ(0, sh("chmod 1777 " + quote(u + "/rootfs/tmp")));
    ASSERT_EQ(0, runToEnd("capsuser", u));
    std::string userCaps = capLines(readFile(u + "/rootfs/tmp/status"));
    EXPECT_EQ(std::string("CapInh:0000000000000000\nCapPrm:0000000000000000\nCapEff:0000000000000000\nCapBnd:") +
                  kDefaultCaps + "\nCapAmb:0000000000000000\nNoNewPrivs:1\n",
              userCaps);
    peer = crunCaps(tmp_, u + "/rootfs", "1000");
    if (!peer.empty()) {
        EXPECT_EQ(peer, userCaps);
    }
}

TEST_F(BoundaryTest, DeviceNodesOfTheImageOpenNothing)
{
    EXPECT_EQ(0, imageDevicesOpened("nodes"));
}

TEST_F(BoundaryTest, OnlyFileSystemsOfTheirOwnAreMounted)
{
    std::string b = shellBundle("binds", "true");
    configEdit(b, [](cJSON *cfg) {
        cJSON *m = cJSON_CreateObject();
        cJSON_AddStringToObject(m, "destination", "/host");
        cJSON_AddStringToObject(m, "type", "bind");
        cJSON_AddStringToObject(m, "source", "/");
        cJSON_AddItemToArray(cJSON_GetObjectItem(cfg, "mounts"), m);
    });
    EXPECT_EQ(OZC_ERR_ADDITIONAL_MOUNT_FAILED, fail(ozcCreate("binds", b.c_str(), 0, nullptr)));
    for (const char *type : {"tmpfs", "devpts", "mqueue", "sysfs"}) {
        SCOPED_TRACE(type);
        std::string ok = shellBundle(std::string("m") + type, "touch /sys/x 2>/dev/null; echo $? > /sysw");
        mountAdd(ok, type, type == std::string("sysfs") ? "/sys" : "/mnt/fs");
        ASSERT_EQ(0, runToEnd("own", ok)) << std::hex << errno;
        if (type == std::string("sysfs")) {
            EXPECT_NE("0\n", readFile(ok + "/rootfs/sysw")) << "sysfs is writable";
        }
    }
}

/* ------------------------------------------------------------------------
 * The daemon
 * ------------------------------------------------------------------------ */
TEST_F(BoundaryTest, ContainersAreAdoptedAfterTheDaemonIsKilled)
{
    ASSERT_EQ(OK, ozcCreate("run", shellBundle("run", "exec sleep 6080").c_str(), 0, nullptr));
    ASSERT_EQ(OK, ozcStart("run", OZC_START_DETACH));
    ASSERT_EQ(OK, ozcCreate("made", shellBundle("made", "exec sleep 6081").c_str(), 0, nullptr));
    ASSERT_EQ(0, runToEnd("gone", shellBundle("gone", "true")));
    ASSERT_EQ(OK, ozcCreate("done", shellBundle("done", "true").c_str(), 0, nullptr));
    int status = 0;
    ASSERT_GT(ozcStartWait("done", &status), 0);
    std::string state = tmp_ / "base/run/state";
    Json runRecord = readJson(state + "/run");
    ASSERT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(runRecord.get(), "nsId"))) << readFile(state + "/run");
    std::string pin = "/run/orrery/ns/" + std::to_string(cJSON_GetObjectItem(runRecord.get(), "nsId")->valueint);

    daemon_->crash();
    msgQUnlink(daemon_->queue().c_str());
    /* A record whose namespace is gone, with what its container left. */
    writeFile(state + "/ghost", "{\"id\":\"ghost\",\"bundle\":\"/nowhere\",\"status\":2,\"created\":1,"
                                "\"nsId\":2147483000,\"nsKey\":\"x\",\"pid\":0,\"mountCount\":0,"
                                "\"overlay\":false,\"rootfs\":\"/nowhere\"}");
    ASSERT_EQ(OK, ozMkdirP((tmp_ / "base/containers/ghost").c_str(), 0700));
    ASSERT_TRUE(daemon_->start(tmp_ / "ozcd.log")) << readFile(tmp_ / "ozcd.log");

    EXPECT_EQ(STATE_RUNNING, ozcStatusGet("run"));
    EXPECT_EQ(STATE_CREATED, ozcStatusGet("made"));
    EXPECT_EQ(STATE_STOPPED, ozcStatusGet("done"));
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusGet("ghost"));
    EXPECT_FALSE(exists(state + "/ghost"));
    EXPECT_FALSE(exists(tmp_ / "base/containers/ghost"));
    /* The stored handle still reaches the process; start and delete work. */
    EXPECT_EQ(OK, ozcKill("run", SIGTERM, 0));
    EXPECT_TRUE(waitFor([] { return ozcStatusGet("run") == STATE_STOPPED; }));
    EXPECT_EQ(OK, ozcStart("made", OZC_START_DETACH));
    EXPECT_EQ(STATE_RUNNING, ozcStatusGet("made"));
    for (const char *id : {"run", "made", "done"})
        EXPECT_EQ(OK, ozcDelete(id, OZC_DELETE_FORCE)) << id;
    EXPECT_TRUE(hostProcesses("sleep 6081").empty());
    /* Nothing is left: records, namespace pins. */
    EXPECT_FALSE(exists(pin));
    std::string left;
    sh("ls " + quote(state), &left);
    EXPECT_EQ("", left);
}

class BoundaryOverlayTest : public BoundaryTest {
protected:
    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        ovl_ = tmp_ / "ovl";
        mkdir(ovl_.c_str(), 0755);
        ozOvlDevDirSet(ovl_.c_str());
        bool available = ozOvlAvailable();
        ozOvlDevDirSet(nullptr);
        if (!available)
            GTEST_SKIP() << "overlay devices are not available";
        BoundaryTest::SetUp();
    }
    void TearDown() override
    {
        BoundaryTest::TearDown();
        sh("for d in " + quote(ovl_) + "/*; do umount -l \"$d\" 2>/dev/null; done");
    }
    std::string overlayDir() override { return ovl_; }
    std::string ovl_;
};

TEST_F(BoundaryOverlayTest, PruneKeepsWhatIsInUse)
{
    setenv("OZ_OVERLAY_DEV_DIR", ovl_.c_str(), 1);
    /* In use: a container's layered root and flattened root, and a bundle
     * under the base directory not created yet. Unused: a layered and a
     * flattened root of bundles elsewhere, and a failed creation's rest. */
    std::string used = shellBundle("used", "cat /etc/layer3 > /seen", "--layers 3");
    std::string usedFlat = bundleOf("usedflat", "--layers 4", nullptr, OZC_UNPACK_FLATTEN);
    std::string waiting = bundleOf("waiting", "--layers 5", (tmp_ / "base").c_str());
    std::string unused = bundleOf("unused", "--layers 6");
    std::string unusedFlat = bundleOf("unusedflat", "--layers 7", nullptr, OZC_UNPACK_FLATTEN);
    ASSERT_EQ(OK, ozcCreate("used", used.c_str(), 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozcCreate("usedflat", usedFlat.c_str(), 0, nullptr)) << std::hex << errno;
    ASSERT_EQ(OK, ozMkdirP((tmp_ / "base/containers/leftover").c_str(), 0700));
    auto rootOf = [](const std::string &bundle) {
        Json cfg = readJson(bundle + "/config.json");
        return std::string(cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "root"), "path")->valuestring);
    };

    CText text(ozcPrune());
    ASSERT_TRUE(text) << std::hex << errno;
    std::set<std::string> removed;
    Json arr(cJSON_Parse(text.get()));
    cJSON *e;
    cJSON_ArrayForEach(e, arr.get()) removed.insert(e->valuestring);
    EXPECT_EQ((std::set<std::string>{rootOf(unused), rootOf(unusedFlat), tmp_ / "base/containers/leftover"}), removed)
        << text.get();
    for (const std::string &b : {used, usedFlat, waiting})
        EXPECT_TRUE(exists(rootOf(b) + "/bin/busybox")) << rootOf(b);
    EXPECT_FALSE(exists(rootOf(unused) + "/bin/busybox"));
    EXPECT_FALSE(exists(rootOf(unusedFlat)));
    int status = 0;
    ASSERT_GT(ozcStartWait("used", &status), 0);
    EXPECT_EQ(0, status);
    CText again(ozcPrune());
    EXPECT_STREQ("[]", again.get()) << "a second prune finds nothing";
}

TEST_F(BoundaryOverlayTest, DeviceNodesOfTheImageOpenNothing)
{
    EXPECT_EQ(0, imageDevicesOpened("ovlnodes"));
}

TEST_F(BoundaryTest, RepliesThatCannotFit)
{
    /* Start parameters larger than any reply: refused at create. */
    std::string big = shellBundle("bigenv", "true");
    configEdit(big, [](cJSON *cfg) {
        cJSON *env = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg, "process"), "env");
        for (int i = 0; i < 800; i++)
            cJSON_AddItemToArray(env,
                                 cJSON_CreateString(("V" + std::to_string(i) + "=" + std::string(90, 'v')).c_str()));
    });
    EXPECT_EQ(E2BIG, fail(ozcCreate("bigenv", big.c_str(), 0, nullptr)));
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusGet("bigenv")) << "left created but unstartable";

    /* Hundreds of containers with long ids and bundle paths: one list. */
    std::string root = shellBundle("shared", "true") + "/rootfs";
    std::string deep = tmp_ / std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(200, 'f');
    ASSERT_EQ(OK, ozMkdirP(deep.c_str(), 0755));
    constexpr int kContainers = 300;
    for (int i = 0; i < kContainers; i++) {
        char suffix[16];
        snprintf(suffix, sizeof(suffix), "%04d", i);
        std::string b = deep + "/" + std::string(250, 'b') + suffix;
        mkdir(b.c_str(), 0755);
        writeFile(b + "/config.json", "{\"ociVersion\":\"1.0.2\",\"process\":{\"args\":[\"/bin/true\"],\"cwd\":\"/\"},"
                                      "\"root\":{\"path\":\"" +
                                          root + "\"},\"mounts\":[]}");
        std::string id = std::string(200, 'i') + suffix;
        ASSERT_EQ(OK, ozcCreate(id.c_str(), b.c_str(), 0, nullptr)) << i << " " << std::hex << errno;
    }
    CText list(ozcList());
    ASSERT_TRUE(list) << std::hex << errno;
    EXPECT_GT(strlen(list.get()), (size_t)OZC_REPLY_TEXT_MAX * 4);
    Json arr(cJSON_Parse(list.get()));
    ASSERT_EQ(kContainers, cJSON_GetArraySize(arr.get()));
    EXPECT_EQ(std::string(200, 'i') + "0299",
              cJSON_GetObjectItem(cJSON_GetArrayItem(arr.get(), kContainers - 1), "id")->valuestring);
    std::string out;
    ASSERT_EQ(0, sh(quote(ozcPath()) + " list --quiet | wc -l", &out));
    EXPECT_EQ(std::to_string(kContainers) + "\n", out);
}

TEST_F(BoundaryTest, AnIdleDaemonDoesNotWake)
{
    ASSERT_EQ(OK, ozcCreate("idle", shellBundle("idle", "exec sleep 60").c_str(), 0, nullptr));
    ASSERT_EQ(OK, ozcStart("idle", OZC_START_DETACH));
    /* The daemon's own threads: its main thread and its named tasks (a
     * sanitizer runtime's threads carry the program's name and wake on
     * their own schedule). */
    auto switches = [this] {
        long sum = 0;
        std::string task = "/proc/" + std::to_string(daemon_->pid()) + "/task/";
        std::string mainName = readFile(task + std::to_string(daemon_->pid()) + "/comm");
        DIR *d = opendir(task.c_str());
        while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
            if (atoi(e->d_name) <= 0)
                continue;
            std::string dir = task + e->d_name;
            if (atoi(e->d_name) != daemon_->pid() && readFile(dir + "/comm") == mainName)
                continue;
            std::istringstream in(readFile(dir + "/status"));
            for (std::string line; std::getline(in, line);)
                if (line.find("ctxt_switches:") != std::string::npos)
                    sum += atol(line.substr(line.find(':') + 1).c_str());
        }
        if (d != nullptr)
            closedir(d);
        return sum;
    };
    long before = switches();
    sleep(10); /* the one real-time wait of this behaviour */
    long woke = switches() - before;
    EXPECT_LE(woke, 10) << "context switches of the idle daemon in 10 s";
}

} // namespace
