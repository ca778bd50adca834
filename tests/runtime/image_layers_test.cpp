/*
 * image_layers_test.cpp - image layers as real images carry them: a corpus
 * of layered images (python tarfile, GNU tar in pax and gnu format, umoci,
 * zstd) unpacked on every road and compared entry by entry with umoci's
 * unpack of the same image; an image that names another image's diff ids
 * cannot get its layers into that image's root file systems (nor borrow
 * them); a zero-filled bomb stops at the disk reserve and leaves nothing.
 */
#include <sys/statvfs.h>

#include "archive_fixture.h"
#include "ozcImageLib.h"
#include "ozcOverlayLib.h"
#include "ozcRuntimeApi.h"
#include "ozcTarLib.h"
#include "ozcUtil.h"
#include "runtime/runtime_fixture.h"

using namespace rtfix;
using oztest::entriesDiff;
using oztest::listDir;
using oztest::rootfsEntries;

namespace {

constexpr time_t kCorpusTime = 1600000000; /* every archived time of the corpus */

enum Road { RAW, LAYERED, FLATTENED };
const char *const kRoadNames[] = {"without overlays", "layer store", "flattened"};

/* Unpacks on the roads with a base directory and an overlay device
 * directory of the test's own (root: overlays are real mounts). */
class ImageLayersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OZTEST_REQUIRE_ROOT("owners, device nodes, overlay mounts");
        devDir_ = tmp_ / "overlay";
        ASSERT_EQ(0, mkdir(devDir_.c_str(), 0755));
    }
    void TearDown() override
    {
        dropDevices();
        unsetenv("OZC_BASE");
        unsetenv(OZC_DISK_RESERVE_ENV);
        ozOvlDevDirSet(nullptr);
    }
    /* Unpacks layout on a road into bundle with base as the runtime's base
     * directory; the root file system's path, or "" with errno set. */
    std::string unpack(const std::string &layout, Road road, const std::string &bundle, const std::string &base)
    {
        setenv("OZC_BASE", base.c_str(), 1);
        ozOvlDevDirSet(road == RAW ? "" : devDir_.c_str());
        if (road != RAW && !ozOvlAvailable())
            return "";
        OZC_BUNDLE_ATTR attr{"linux", ozSysArchNameGet()};
        errno = 0;
        if (ozcUnpack(bundle.c_str(), layout.c_str(), nullptr, road == FLATTENED ? OZC_UNPACK_FLATTEN : 0, &attr) != OK)
            return "";
        Json cfg = readJson(bundle + "/config.json");
        std::string path = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "root"), "path")->valuestring;
        return path[0] == '/' ? path : bundle + "/" + path;
    }
    std::string bundle() { return tmp_ / ("b" + std::to_string(bundles_++)); }
    /* Removes the overlay devices the test made (through the test's device
     * directory, whatever road ran last). */
    void dropDevices()
    {
        ozOvlDevDirSet(devDir_.c_str());
        for (const auto &dev : listDir(devDir_))
            ozOvlDevRemove((devDir_ + "/" + dev).c_str());
    }

    TempDir tmp_;
    std::string devDir_;
    int bundles_ = 0;
};

/* The corpus (built once per program). */
const std::string &corpus()
{
    static TempDir dir("ozccorpus");
    static std::string path = dir / "corpus";
    static bool made = sh(sourceDir() + "/tests/fixtures/mkcorpus.py --arch " + ozSysArchNameGet() + " " + quote(path) +
                          " >/dev/null") == 0;
    EXPECT_TRUE(made);
    return path;
}

TEST_F(ImageLayersTest, CorpusUnpacksLikeUmociOnEveryRoad)
{
    if (sh("command -v umoci >/dev/null") != 0)
        GTEST_SKIP() << "umoci is not installed";
    Json cases = readJson(corpus() + "/cases.json");
    ASSERT_GE(cJSON_GetArraySize(cases.get()), 6);
    const cJSON *c;
    cJSON_ArrayForEach(c, cases.get())
    {
        std::string name = cJSON_GetObjectItem(c, "name")->valuestring;
        std::string layout = cJSON_GetObjectItem(c, "layout")->valuestring;
        std::string peer = cJSON_GetObjectItem(c, "peer")->valuestring;
        SCOPED_TRACE(name);
        std::string ref = tmp_ / ("umoci-" + name);
        ASSERT_EQ(0,
                  sh("umask 022; umoci unpack --image " + quote(peer) + ":latest " + quote(ref) + " >/dev/null 2>&1"));
        auto want = rootfsEntries(ref + "/rootfs", kCorpusTime);
        ASSERT_GT(want.size(), 5u);
        for (Road road : {RAW, LAYERED, FLATTENED}) {
            SCOPED_TRACE(kRoadNames[road]);
            /* Modes come from the layers, never from the caller's umask. */
            mode_t old = umask(077);
            std::string root = unpack(layout, road, bundle(), tmp_ / ("base-" + name + std::to_string(road)));
            umask(old);
            ASSERT_FALSE(root.empty()) << std::hex << "0x" << errno;
            std::string diff = entriesDiff(want, rootfsEntries(root, kCorpusTime));
            EXPECT_TRUE(diff.empty()) << "differences from umoci's tree:\n" << diff;
        }
    }
}

/* Whoever can place an image cannot make it stand for another: an image
 * whose config names the diff ids of a victim's image, over layers of its
 * own, gets its layers into no root file system of the victim, and cannot
 * borrow the victim's layers either. */
TEST_F(ImageLayersTest, ForgedDiffIdsReachNoOtherImage)
{
    std::string victim = tmp_ / "victim", attacker = tmp_ / "attacker";
    std::string evil = tmp_ / "evil-busybox";
    ASSERT_TRUE(writeFile(evil, "#!/bin/sh\necho owned\n"));
    ASSERT_TRUE(mkimage(victim, std::string("--os linux --arch ") + ozSysArchNameGet()));
    ASSERT_TRUE(mkimage(attacker, std::string("--os linux --arch ") + ozSysArchNameGet() + " --busybox " + evil));
    Layout v(victim), a(attacker);
    Json vcfg = readJson(v.blob(v.configDigest()));
    a.editConfig([&](cJSON *cfg) {
        cJSON_ReplaceItemInObject(cfg, "rootfs", cJSON_Duplicate(cJSON_GetObjectItem(vcfg.get(), "rootfs"), 1));
    });
    ASSERT_EQ(v.chainId(2), a.chainId(2));
    const std::string victimBusybox = readFile("/bin/busybox");

    for (Road road : {LAYERED, FLATTENED, RAW}) {
        SCOPED_TRACE(kRoadNames[road]);
        std::string base = tmp_ / ("base" + std::to_string(road));
        /* First on the node: refused, and nothing shared is left behind. */
        std::string b = bundle();
        EXPECT_EQ("", unpack(attacker, road, b, base));
        EXPECT_EQ(OZC_ERR_IMAGE_CONFIG_INVALID, errno) << std::hex << errno;
        EXPECT_FALSE(exists(b));
        for (const auto &kind : {"layers", "flattened"})
            for (const auto &name : listDir(base + "/" + kind))
                EXPECT_TRUE(name == ".verified" && listDir(base + "/layers/.verified").empty()) << kind << "/" << name;
        EXPECT_TRUE(listDir(devDir_).empty());

        /* The victim's image gets its own files... */
        std::string root = unpack(victim, road, bundle(), base);
        ASSERT_NE("", root) << std::hex << errno;
        EXPECT_EQ(victimBusybox, readFile(root + "/bin/busybox"));
        /* ...and the attacker, coming after, neither its files nor a
         * change to the victim's. */
        EXPECT_EQ("", unpack(attacker, road, bundle(), base));
        EXPECT_EQ(OZC_ERR_IMAGE_CONFIG_INVALID, errno) << std::hex << errno;
        EXPECT_EQ(victimBusybox, readFile(root + "/bin/busybox"));
        std::string again = unpack(victim, road, bundle(), base);
        ASSERT_NE("", again) << std::hex << errno;
        EXPECT_EQ(victimBusybox, readFile(again + "/bin/busybox"));
        dropDevices();
    }
}

/* A layer of a few hundred KiB that holds 256 MiB of zeros, unpacked on a
 * 64 MiB file system: every road stops with ENOSPC before the free space
 * falls below the reserve, and what it wrote is gone. */
TEST_F(ImageLayersTest, ZeroFilledBombStopsAtTheReserveAndLeavesNothing)
{
    std::string bomb = tmp_ / "bomb";
    ASSERT_EQ(0, sh(sourceDir() + "/tests/fixtures/mkcorpus.py --arch " + ozSysArchNameGet() + " --bomb 256 " +
                    quote(bomb) + " >/dev/null"));
    std::string fs = tmp_ / "fs";
    ASSERT_EQ(0, mkdir(fs.c_str(), 0755));
    ASSERT_EQ(0, sh("mount -t tmpfs -o size=64m tmpfs " + quote(fs)));
    struct Unmount {
        std::string dir;
        ~Unmount() { sh("umount -l " + quote(dir)); }
    } unmount{fs};
    auto freeBytes = [&] {
        struct statvfs sv;
        return statvfs(fs.c_str(), &sv) == 0 ? (uint64_t)sv.f_bavail * sv.f_frsize : 0;
    };
    std::string base = fs + "/base";
    for (const char *reserve : {"", "8M"}) {
        if (*reserve != '\0')
            setenv(OZC_DISK_RESERVE_ENV, reserve, 1);
        for (Road road : {RAW, LAYERED, FLATTENED}) {
            SCOPED_TRACE(std::string(kRoadNames[road]) + ", reserve " + (*reserve ? reserve : "default"));
            for (const char *dir : {"/layers", "/flattened"})
                ASSERT_EQ(OK, ozMkdirP((base + dir).c_str(), 0700));
            uint64_t before = freeBytes();
            std::string b = fs + "/bundle";
            EXPECT_EQ("", unpack(bomb, road, b, base));
            EXPECT_EQ(ENOSPC, errno) << strerror(errno);
            EXPECT_FALSE(exists(b));
            EXPECT_EQ(before, freeBytes());
            for (const char *dir : {"/layers", "/flattened"})
                for (const auto &name : listDir(base + dir))
                    EXPECT_EQ(".verified", name) << dir;
            EXPECT_TRUE(listDir(devDir_).empty());
        }
    }
    /* A bundle directory that existed before keeps an empty root file
     * system. */
    std::string b = fs + "/kept";
    ASSERT_EQ(0, mkdir(b.c_str(), 0755));
    EXPECT_EQ("", unpack(bomb, RAW, b, base));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_TRUE(listDir(b + "/rootfs").empty());
}

} // namespace
