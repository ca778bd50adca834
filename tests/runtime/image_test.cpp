/*
 * image_test.cpp - image layouts to bundles: layout validation and its
 * codes, manifest selection by tag and platform, the generated config.json
 * read back by the runtime specification loader, both root file system
 * roads (extracted into the bundle; layer store with overlays), layouts made
 * by skopeo and umoci, and image inspection.
 */
#include <functional>
#include <set>

#include <openssl/sha.h>

#include "ozcImageLib.h"
#include "ozcRuntimeApi.h"
#include "ozcRuntimeSpec.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"
#include "runtime/runtime_fixture.h"

using namespace rtfix;

namespace {

std::string sha512Hex(const std::string &data)
{
    unsigned char out[64];
    SHA512(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out);
    return hexOf(out, sizeof(out));
}

/* Every test gets its own base directory (layer store, overlays) and runs
 * without overlays unless it asks for them. */
class ImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("OZC_BASE", (tmp_ / "base").c_str(), 1);
        ozOvlDevDirSet("");
    }
    void TearDown() override
    {
        unsetenv("OZC_BASE");
        ozOvlDevDirSet(nullptr);
    }
    /* A shared read-only fixture layout (built once per program). */
    static const std::string &stockLayout()
    {
        static TempDir dir("ozcimg");
        static bool made = mkimage(dir / "img", "--layers 3");
        EXPECT_TRUE(made);
        static std::string path = dir / "img";
        return path;
    }
    /* A private copy of the stock layout that the test may corrupt. */
    Layout copyOfStock(const std::string &name = "copy")
    {
        std::string dst = tmp_ / name;
        EXPECT_EQ(0, sh("cp -a " + quote(stockLayout()) + " " + quote(dst)));
        return Layout(dst);
    }
    int unpackCode(const std::string &layout, const char *tag = nullptr, const OZC_BUNDLE_ATTR *attr = nullptr,
                   unsigned option = 0)
    {
        std::string bundle = tmp_ / ("b" + std::to_string(bundles_++));
        errno = 0;
        if (ozcUnpack(bundle.c_str(), layout.c_str(), tag, option, attr) == OK)
            return 0;
        return errno;
    }
    std::string newBundle() { return tmp_ / ("b" + std::to_string(bundles_++)); }

    TempDir tmp_;
    int bundles_ = 0;
};

/* ------------------------------------------------------------------------
 * Layout validation: each corruption gives its code.
 * ------------------------------------------------------------------------ */
TEST_F(ImageTest, LayoutCorruptionsGiveTheirCodes)
{
    struct Case {
        const char *what;
        std::function<void(const Layout &)> corrupt;
        int code;
    };
    const Case cases[] = {
        {"oci-layout missing", [](const Layout &l) { unlink((l.dir() + "/oci-layout").c_str()); },
         OZC_ERR_OCI_LAYOUT_NOT_FOUND},
        {"layout version 1.0.1",
         [](const Layout &l) { writeFile(l.dir() + "/oci-layout", "{\"imageLayoutVersion\":\"1.0.1\"}"); },
         OZC_ERR_OCI_LAYOUT_INVALID},
        {"oci-layout not JSON", [](const Layout &l) { writeFile(l.dir() + "/oci-layout", "{\"imageLayoutVersion\":"); },
         OZC_ERR_OCI_LAYOUT_INVALID},
        {"index.json missing", [](const Layout &l) { unlink((l.dir() + "/index.json").c_str()); },
         OZC_ERR_INDEX_NOT_FOUND},
        {"index schemaVersion 1",
         [](const Layout &l) {
             Json idx = l.index();
             cJSON_ReplaceItemInObject(idx.get(), "schemaVersion", cJSON_CreateNumber(1));
             writeJson(l.dir() + "/index.json", idx.get());
         },
         OZC_ERR_INDEX_INVALID},
        {"index without manifests",
         [](const Layout &l) { writeFile(l.dir() + "/index.json", "{\"schemaVersion\":2,\"manifests\":[]}"); },
         OZC_ERR_INDEX_INVALID},
        {"manifest blob one byte short",
         [](const Layout &l) {
             std::string b = l.blob(l.manifestDigest());
             std::string d = readFile(b);
             writeFile(b, d.substr(0, d.size() - 1));
         },
         OZC_ERR_INDEX_INVALID},
        {"manifest blob missing", [](const Layout &l) { unlink(l.blob(l.manifestDigest()).c_str()); },
         OZC_ERR_INDEX_INVALID},
        {"index entry digest leading out of the layout",
         [](const Layout &l) {
             l.editIndexEntry([](cJSON *e) {
                 cJSON_ReplaceItemInObject(e, "digest", cJSON_CreateString("sha256:../../../../etc/passwd"));
             });
         },
         OZC_ERR_INDEX_INVALID},
        {"index entry digest in upper-case hex",
         [&](const Layout &l) {
             std::string d = l.manifestDigest();
             for (size_t i = 7; i < d.size(); i++)
                 d[i] = (char)toupper((unsigned char)d[i]);
             l.editIndexEntry([&](cJSON *e) { cJSON_ReplaceItemInObject(e, "digest", cJSON_CreateString(d.c_str())); });
         },
         OZC_ERR_INDEX_INVALID},
        {"layer digest of an unknown algorithm",
         [](const Layout &l) {
             l.editManifest([](cJSON *m) {
                 cJSON *layer = cJSON_GetArrayItem(cJSON_GetObjectItem(m, "layers"), 0);
                 std::string d = cJSON_GetObjectItem(layer, "digest")->valuestring;
                 cJSON_ReplaceItemInObject(layer, "digest", cJSON_CreateString(("md5" + d.substr(6)).c_str()));
             });
         },
         OZC_ERR_MANIFEST_INVALID},
        {"index entry of an unknown media type",
         [](const Layout &l) {
             l.editIndexEntry(
                 [](cJSON *e) { cJSON_ReplaceItemInObject(e, "mediaType", cJSON_CreateString("application/json")); });
         },
         OZC_ERR_INDEX_INVALID},
        {"config blob missing", [](const Layout &l) { unlink(l.blob(l.configDigest()).c_str()); },
         OZC_ERR_MANIFEST_INVALID},
        {"config of a Docker media type",
         [](const Layout &l) {
             l.editManifest([](cJSON *m) {
                 cJSON_ReplaceItemInObject(cJSON_GetObjectItem(m, "config"), "mediaType",
                                           cJSON_CreateString("application/vnd.docker.container.image.v1+json"));
             });
         },
         OZC_ERR_MANIFEST_INVALID},
        {"layer byte changed",
         [](const Layout &l) {
             std::string b = l.blob(l.layerDigest(1));
             std::string d = readFile(b);
             d[d.size() / 2] ^= 0x55;
             writeFile(b, d);
         },
         OZC_ERR_MANIFEST_INVALID},
        {"layer blob one byte short",
         [](const Layout &l) {
             std::string b = l.blob(l.layerDigest(0));
             std::string d = readFile(b);
             writeFile(b, d.substr(0, d.size() - 1));
         },
         OZC_ERR_MANIFEST_INVALID},
        {"layer of a media type the extractor does not take",
         [](const Layout &l) {
             l.editManifest([](cJSON *m) {
                 cJSON_ReplaceItemInObject(
                     cJSON_GetArrayItem(cJSON_GetObjectItem(m, "layers"), 0), "mediaType",
                     cJSON_CreateString("application/vnd.docker.image.rootfs.foreign.diff.tar.gzip"));
             });
         },
         OZC_ERR_MANIFEST_INVALID},
        {"fewer diff ids than layers",
         [](const Layout &l) {
             l.editConfig([](cJSON *c) {
                 cJSON_DeleteItemFromArray(cJSON_GetObjectItem(cJSON_GetObjectItem(c, "rootfs"), "diff_ids"), 2);
             });
         },
         OZC_ERR_IMAGE_CONFIG_INVALID},
        {"no layers",
         [](const Layout &l) {
             l.editManifest([](cJSON *m) { cJSON_ReplaceItemInObject(m, "layers", cJSON_CreateArray()); });
         },
         OZC_ERR_MANIFEST_INVALID},
        {"manifest schemaVersion 1",
         [](const Layout &l) {
             l.editManifest([](cJSON *m) { cJSON_ReplaceItemInObject(m, "schemaVersion", cJSON_CreateNumber(1)); });
         },
         OZC_ERR_MANIFEST_INVALID},
        {"diff id with 63 hexadecimal characters",
         [](const Layout &l) {
             l.editConfig([](cJSON *c) {
                 cJSON *ids = cJSON_GetObjectItem(cJSON_GetObjectItem(c, "rootfs"), "diff_ids");
                 std::string id = cJSON_GetArrayItem(ids, 0)->valuestring;
                 cJSON_ReplaceItemInArray(ids, 0, cJSON_CreateString(id.substr(0, id.size() - 1).c_str()));
             });
         },
         OZC_ERR_IMAGE_CONFIG_INVALID},
        {"diff id of algorithm sha384",
         [](const Layout &l) {
             l.editConfig([](cJSON *c) {
                 cJSON *ids = cJSON_GetObjectItem(cJSON_GetObjectItem(c, "rootfs"), "diff_ids");
                 std::string id = cJSON_GetArrayItem(ids, 0)->valuestring;
                 cJSON_ReplaceItemInArray(ids, 0, cJSON_CreateString(("sha384" + id.substr(6)).c_str()));
             });
         },
         OZC_ERR_IMAGE_CONFIG_INVALID},
        {"image config without rootfs",
         [](const Layout &l) { l.editConfig([](cJSON *c) { cJSON_DeleteItemFromObject(c, "rootfs"); }); },
         OZC_ERR_IMAGE_CONFIG_INVALID},
        {"image config without os",
         [](const Layout &l) { l.editConfig([](cJSON *c) { cJSON_DeleteItemFromObject(c, "os"); }); },
         OZC_ERR_IMAGE_CONFIG_INVALID},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Layout l = copyOfStock("c" + std::to_string(n++));
        c.corrupt(l);
        std::string bundle = newBundle();
        errno = 0;
        EXPECT_EQ(ERROR, ozcUnpack(bundle.c_str(), l.dir().c_str(), nullptr, 0, nullptr));
        EXPECT_EQ(c.code, errno) << std::hex << "got 0x" << errno;
        EXPECT_FALSE(exists(bundle)) << "a failed unpack leaves the bundle it created";
        /* Inspection reads the same layout and fails the same way. */
        cJSON *arr = cJSON_CreateArray();
        EXPECT_EQ(c.code, ozcImageInspect(l.dir().c_str(), arr));
        EXPECT_EQ(0, cJSON_GetArraySize(arr));
        cJSON_Delete(arr);
    }
}

/* A blob may be named by a SHA-512 digest; its content is checked as
 * strictly as that of a SHA-256 one. */
TEST_F(ImageTest, Sha512BlobsAreCheckedLikeSha256Ones)
{
    Layout l = copyOfStock("sha512");
    std::string config = readFile(l.blob(l.configDigest()));
    std::string digest = "sha512:" + sha512Hex(config);
    ASSERT_EQ(0, mkdir((l.dir() + "/blobs/sha512").c_str(), 0755));
    ASSERT_TRUE(writeFile(l.blob(digest), config));
    l.editManifest([&](cJSON *m) {
        cJSON_ReplaceItemInObject(cJSON_GetObjectItem(m, "config"), "digest", cJSON_CreateString(digest.c_str()));
    });
    EXPECT_EQ(0, unpackCode(l.dir()));

    /* Same size, one byte changed: refused. */
    std::string changed = config;
    changed[changed.size() / 2] ^= 0x01;
    ASSERT_TRUE(writeFile(l.blob(digest), changed));
    EXPECT_EQ(OZC_ERR_MANIFEST_INVALID, unpackCode(l.dir()));
}

TEST_F(ImageTest, DockerMediaTypesAreRefused)
{
    std::string docker = tmp_ / "docker";
    ASSERT_TRUE(mkimage(docker, "--docker"));
    /* The index names a Docker manifest: refused at the index. */
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(docker));
    /* An index entry that claims OCI over a Docker manifest: the manifest
     * is refused. */
    Layout l(docker);
    l.editIndexEntry([](cJSON *e) {
        cJSON_ReplaceItemInObject(e, "mediaType", cJSON_CreateString("application/vnd.oci.image.manifest.v1+json"));
    });
    EXPECT_EQ(OZC_ERR_MANIFEST_INVALID, unpackCode(docker));
}

TEST_F(ImageTest, NullArgumentsAndExistingBundleParts)
{
    EXPECT_EQ(ERROR, ozcUnpack(nullptr, stockLayout().c_str(), nullptr, 0, nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(ERROR, ozcUnpack("/tmp/x", nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(EINVAL, errno);
    /* Without overlays a flattened root file system is refused. */
    EXPECT_EQ(EINVAL, unpackCode(stockLayout(), nullptr, nullptr, OZC_UNPACK_FLATTEN));
    EXPECT_EQ(-1, ozcImageRootfsTypeVerify(OZC_UNPACK_FLATTEN));
    EXPECT_EQ(RAW_ROOTFS, ozcImageRootfsTypeVerify(0));

    /* A bundle whose rootfs exists is refused and left as it was. */
    std::string bundle = newBundle();
    ASSERT_EQ(0, mkdir(bundle.c_str(), 0755));
    ASSERT_EQ(0, mkdir((bundle + "/rootfs").c_str(), 0755));
    ASSERT_TRUE(writeFile(bundle + "/rootfs/keep", "x"));
    EXPECT_EQ(ERROR, ozcUnpack(bundle.c_str(), stockLayout().c_str(), nullptr, 0, nullptr));
    EXPECT_EQ(OZC_ERR_BUNDLE_ROOTFS_EXISTS, errno);
    EXPECT_EQ("x", readFile(bundle + "/rootfs/keep"));
    EXPECT_FALSE(exists(bundle + "/config.json"));

    /* A bundle with a config.json: refused; the bundle directory existed
     * before, so it stays, with the rootfs the attempt made. */
    std::string b2 = newBundle();
    ASSERT_EQ(0, mkdir(b2.c_str(), 0755));
    ASSERT_TRUE(writeFile(b2 + "/config.json", "{}"));
    EXPECT_EQ(ERROR, ozcUnpack(b2.c_str(), stockLayout().c_str(), nullptr, 0, nullptr));
    EXPECT_EQ(OZC_ERR_BUNDLE_CONFIG_EXISTS, errno);
    EXPECT_EQ("{}", readFile(b2 + "/config.json"));

    /* A bundle whose parent is missing. */
    EXPECT_EQ(ERROR, ozcUnpack((tmp_ / "no/such/parent").c_str(), stockLayout().c_str(), nullptr, 0, nullptr));
    EXPECT_FALSE(exists(tmp_ / "no"));

    /* Deleting bundles. */
    EXPECT_EQ(OK, ozcImageBundleDelete(bundle.c_str()));
    EXPECT_FALSE(exists(bundle));
    EXPECT_EQ(ERROR, ozcImageBundleDelete(bundle.c_str()));
    EXPECT_EQ(ERROR, ozcImageBundleDelete(nullptr));
}

/* ------------------------------------------------------------------------
 * Selection by tag and platform.
 * ------------------------------------------------------------------------ */
TEST_F(ImageTest, TagsAndPlatformsSelect)
{
    std::string multi = tmp_ / "multi";
    ASSERT_TRUE(mkimage(multi, "--tag v1 --layers 1"));
    ASSERT_TRUE(mkimage(multi, "--append --tag v2 --os orrery --index-platform --layers 1 --cmd '[\"v2\"]'"));
    ASSERT_TRUE(mkimage(multi, "--append --tag v3 --arch arm64 --layers 1"));

    OZC_BUNDLE_ATTR orrery{"orrery", nullptr};
    OZC_BUNDLE_ATTR arm{nullptr, "arm64"};
    /* Both entries carry a ref name other than latest. */
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(multi));
    EXPECT_EQ(0, unpackCode(multi, "v1"));
    /* v2 is an image of the target OS: not for this host's default OS,
     * selected with it. */
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(multi, "v2"));
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(multi, "v1", &orrery));
    std::string b = newBundle();
    ASSERT_EQ(OK, ozcUnpack(b.c_str(), multi.c_str(), "v2", 0, &orrery));
    Json cfg = readJson(b + "/config.json");
    EXPECT_EQ("[\"/bin/busybox\",\"v2\"]",
              jsonText(cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "args")));
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(multi, "v3"));
    EXPECT_EQ(0, unpackCode(multi, "v3", &arm));
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(multi, "v4"));

    /* An entry without a ref name is taken for latest only. */
    std::string plain = tmp_ / "plain";
    ASSERT_TRUE(mkimage(plain, "--no-ref-name --layers 1"));
    EXPECT_EQ(0, unpackCode(plain));
    EXPECT_EQ(0, unpackCode(plain, "latest"));
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(plain, "v1"));

    /* An index platform that differs from the image config's: the index
     * entry's own platform decides first. */
    Layout l(plain);
    l.editIndexEntry([](cJSON *e) {
        cJSON *p = cJSON_AddObjectToObject(e, "platform");
        cJSON_AddStringToObject(p, "os", "orrery");
        cJSON_AddStringToObject(p, "architecture", "amd64");
    });
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(plain));
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(plain, nullptr, &orrery)) << "the image config still says linux";
}

/* ------------------------------------------------------------------------
 * The generated config.json.
 * ------------------------------------------------------------------------ */
/* An image whose config names no working directory (or an empty one) runs
 * in "/": a bundle without "cwd" could not be created. */
TEST_F(ImageTest, GeneratedConfigWithoutWorkdirStartsInRoot)
{
    for (const char *workdir : {"--no-workdir", "--workdir ''"}) {
        std::string img = tmp_ / (std::string("img") + (workdir[2] == 'n' ? "-none" : "-empty"));
        ASSERT_TRUE(mkimage(img, std::string("--layers 1 --entrypoint '[\"/app.oze\"]' ") + workdir)) << workdir;
        std::string bundle = newBundle();
        ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), img.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
        Json cfg = readJson(bundle + "/config.json");
        ASSERT_TRUE(cfg);
        cJSON *cwd = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "cwd");
        ASSERT_TRUE(cJSON_IsString(cwd)) << workdir;
        EXPECT_STREQ("/", cwd->valuestring) << workdir;
    }
}

TEST_F(ImageTest, GeneratedConfigFromImageConfig)
{
    std::string img = tmp_ / "img";
    ASSERT_TRUE(mkimage(img, "--layers 1 --entrypoint '[\"/app.oze\"]' --cmd '[\"-v\"]' --user 1000:100 "
                             "--workdir /opt --env A=1 --env B=two --volume /data "
                             "--volume 'src:/mnt/dst:ro,nosuid:bind' --volume 'a:/b' --volume 'c:/d:rw' "
                             "--volume 'tmpfs:/run/cache:size=1m,mode=1777:tmpfs' --volume '/:/host:rw:bind' "
                             "--volume 'none:/ov:lowerdir=/etc:overlay' --volume 'x:/q::proc' "
                             "--volume 'tmpfs:/t:bind:tmpfs' --volume 'tmpfs:rel:size=1m:tmpfs' "
                             "--label com.tidemark.orrery.rtp.rtpPriority=120 "
                             "--label com.tidemark.orrery.rtp.rtpStackSize=0x10000 "
                             "--label com.tidemark.orrery.rtpx.odd=1 --label team=infra"));
    std::string bundle = newBundle();
    ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), img.c_str(), nullptr, 0, nullptr)) << std::hex << errno;

    struct stat st;
    ASSERT_EQ(0, stat((bundle + "/config.json").c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 0777);
    Json cfg = readJson(bundle + "/config.json");
    ASSERT_TRUE(cfg);
    /* Member order and values. */
    std::vector<std::string> keys;
    cJSON *k;
    cJSON_ArrayForEach(k, cfg.get()) keys.push_back(k->string);
    EXPECT_EQ(
        (std::vector<std::string>{"ociVersion", "process", "root", "hostname", "mounts", "annotations", "orrery"}),
        keys);
    EXPECT_STREQ("1.0.0", cJSON_GetObjectItem(cfg.get(), "ociVersion")->valuestring);
    cJSON *proc = cJSON_GetObjectItem(cfg.get(), "process");
    EXPECT_EQ("{\"env\":[\"A=1\",\"B=two\"],\"cwd\":\"/opt\",\"args\":[\"/app.oze\",\"-v\"],"
              "\"usr\":{\"uid\":1000,\"gid\":100}}",
              jsonText(proc));
    EXPECT_EQ("{\"path\":\"rootfs\",\"readonly\":false}", jsonText(cJSON_GetObjectItem(cfg.get(), "root")));
    EXPECT_STREQ("Orrery", cJSON_GetObjectItem(cfg.get(), "hostname")->valuestring);
    /* Of the image's volumes only the file system of its own becomes a
     * mount: no host path, no bind, nothing that cannot be mounted. */
    EXPECT_EQ("[{\"destination\":\"/run/cache\",\"source\":\"tmpfs\",\"type\":\"tmpfs\","
              "\"options\":[\"size=1m\",\"mode=1777\"]}]",
              jsonText(cJSON_GetObjectItem(cfg.get(), "mounts")));
    cJSON *ann = cJSON_GetObjectItem(cfg.get(), "annotations");
    EXPECT_STREQ("8080/tcp", cJSON_GetObjectItem(ann, "org.opencontainers.image.exposedPorts")->valuestring);
    EXPECT_STREQ("infra", cJSON_GetObjectItem(ann, "team")->valuestring);
    EXPECT_STREQ("tidemark fixtures", cJSON_GetObjectItem(ann, "org.opencontainers.image.author")->valuestring);
    EXPECT_STREQ("2026-01-01T00:00:00Z", cJSON_GetObjectItem(ann, "org.opencontainers.image.created")->valuestring);
    EXPECT_STREQ("SIGTERM", cJSON_GetObjectItem(ann, "org.opencontainers.image.stopSignal")->valuestring);
    EXPECT_EQ(nullptr, cJSON_GetObjectItem(ann, "com.tidemark.orrery.rtp.rtpPriority"));
    cJSON *rtp = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "orrery"), "rtp");
    EXPECT_STREQ("120", cJSON_GetObjectItem(rtp, "rtpPriority")->valuestring);
    EXPECT_STREQ("0x10000", cJSON_GetObjectItem(rtp, "rtpStackSize")->valuestring);
    /* The prefix and one more character are cut, whatever that character is. */
    EXPECT_EQ("\"1\"", jsonText(cJSON_GetObjectItem(rtp, ".odd"))) << jsonText(rtp);
    EXPECT_TRUE(cJSON_IsObject(cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "orrery"), "resources")));

    /* The runtime specification loader reads what was written. */
    runtimeSpecConfig *spec = ozcInitializeRuntimeSpec((bundle + "/config.json").c_str());
    ASSERT_NE(nullptr, spec) << errno;
    EXPECT_STREQ("1.0.0", spec->version);
    EXPECT_STREQ("Orrery", spec->hostName);
    ASSERT_EQ(2, spec->process->argCount);
    EXPECT_STREQ("/app.oze", spec->process->args[0]);
    EXPECT_STREQ("-v", spec->process->args[1]);
    EXPECT_STREQ("/opt", spec->process->cwd);
    EXPECT_EQ(2, spec->process->envCount);
    ASSERT_NE(nullptr, spec->root);
    EXPECT_STREQ("rootfs", spec->root->path);
    EXPECT_EQ(120, spec->orrery->priority);
    EXPECT_EQ(0x10000, spec->orrery->stackSize);
    ASSERT_NE(nullptr, spec->mounts);
    EXPECT_EQ(1, spec->mounts->count);
    ozcDestroyRuntimeSpec(spec);
}

TEST(ImageMountInfoTest, VolumeNamesParse)
{
    struct Case {
        const char *volume;
        const char *mount;
    };
    const Case cases[] = {
        {"/data", "{\"destination\":\"\",\"source\":\"/data\",\"type\":\"unknown\",\"options\":[]}"},
        {"src:/mnt/dst:ro,nosuid:bind",
         "{\"destination\":\"/mnt/dst\",\"source\":\"src\",\"type\":\"bind\",\"options\":[\"ro\",\"nosuid\"]}"},
        {"a:/b", "{\"destination\":\"/b\",\"source\":\"a\",\"type\":\"unknown\",\"options\":[]}"},
        {"c:/d:rw", "{\"destination\":\"/d\",\"source\":\"c\",\"type\":\"\",\"options\":[\"rw\"]}"},
        {"t:/e:a,b:x:y", "{\"destination\":\"/e\",\"source\":\"t\",\"type\":\"x:y\",\"options\":[\"a\",\"b\"]}"},
    };
    for (const Case &c : cases) {
        Json m(cJSON_CreateObject());
        ASSERT_EQ(OK, ozcImageGetMountInfo(c.volume, m.get())) << c.volume;
        EXPECT_EQ(c.mount, jsonText(m.get())) << c.volume;
    }
    EXPECT_EQ(ERROR, ozcImageGetMountInfo(nullptr, nullptr));
}

TEST_F(ImageTest, UsersAndEntrypointVariants)
{
    struct Case {
        const char *args;
        const char *usr;
        const char *procArgs;
    };
    const Case cases[] = {
        {"--user 1000", "{\"uid\":1000,\"gid\":0}", "[\"/bin/busybox\",\"sh\",\"-c\",\"echo hello\"]"},
        /* Names travel as the text too: the runtime looks them up in the
         * image (as numbers they would all be root). */
        {"--user root", "{\"uid\":0,\"gid\":0,\"user\":\"root\"}", nullptr},
        {"--user 1000:staff", "{\"uid\":1000,\"gid\":0,\"user\":\"1000:staff\"}", nullptr},
        {"--user 0x10:010", "{\"uid\":16,\"gid\":8}", nullptr},
        {"--user '' --no-entrypoint --cmd '[\"/bin/true\"]'", "{\"uid\":0,\"gid\":0}", "[\"/bin/true\"]"},
        {"--user :7", "{\"uid\":0,\"gid\":7}", nullptr},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        std::string img = tmp_ / ("u" + std::to_string(n++));
        ASSERT_TRUE(mkimage(img, std::string("--layers 1 --no-volumes ") + c.args));
        std::string bundle = newBundle();
        ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), img.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
        Json cfg = readJson(bundle + "/config.json");
        cJSON *proc = cJSON_GetObjectItem(cfg.get(), "process");
        EXPECT_EQ(c.usr, jsonText(cJSON_GetObjectItem(proc, "usr")));
        if (c.procArgs != nullptr) {
            EXPECT_EQ(c.procArgs, jsonText(cJSON_GetObjectItem(proc, "args")));
        }
        EXPECT_EQ("[]", jsonText(cJSON_GetObjectItem(cfg.get(), "mounts")));
    }
    /* No User at all: an empty object. */
    Layout l = copyOfStock();
    l.editConfig([](cJSON *c) { cJSON_DeleteItemFromObject(cJSON_GetObjectItem(c, "config"), "User"); });
    std::string bundle = newBundle();
    ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), l.dir().c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    Json cfg = readJson(bundle + "/config.json");
    EXPECT_EQ("{}", jsonText(cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "usr")));
    /* No config object at all: no bundle. */
    Layout l2 = copyOfStock("noconfig");
    l2.editConfig([](cJSON *c) { cJSON_DeleteItemFromObject(c, "config"); });
    EXPECT_EQ(OZC_ERR_BUNDLE_CONFIG_PARAM_INVALID, unpackCode(l2.dir()));
}

/* ------------------------------------------------------------------------
 * Root file systems.
 * ------------------------------------------------------------------------ */
TEST_F(ImageTest, RawRootfsEqualsTarOfTheLayers)
{
    std::string bundle = newBundle();
    ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), stockLayout().c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    std::string ref = tmp_ / "ref";
    ASSERT_TRUE(tarLayers(stockLayout(), ref));
    std::string ours = treeListing(bundle + "/rootfs");
    EXPECT_FALSE(ours.empty());
    EXPECT_EQ(treeListing(ref), ours);
    EXPECT_EQ("layer 3\n", readFile(bundle + "/rootfs/etc/motd"));
    /* Nothing went to the layer store. */
    EXPECT_FALSE(exists(tmp_ / "base/layers"));
}

TEST_F(ImageTest, FixtureAndSkopeoLayoutsPassTheValidator)
{
    if (sh("command -v oci-image-tool >/dev/null") != 0)
        GTEST_SKIP() << "oci-image-tool is not installed";
    EXPECT_EQ(0, sh("oci-image-tool validate --type image " + quote(stockLayout()) + " >/dev/null 2>&1"));
    std::string multi = tmp_ / "multi";
    ASSERT_TRUE(mkimage(multi, "--tag v1 --index-platform --no-gzip"));
    ASSERT_TRUE(mkimage(multi, "--append --tag v2 --os orrery --layers 4"));
    EXPECT_EQ(0, sh("oci-image-tool validate --type image " + quote(multi) + " >/dev/null 2>&1"));
    /* And it is not a rubber stamp: a layout with a broken blob fails. */
    Layout l(multi);
    std::string b = l.blob(l.layerDigest(0));
    std::string d = readFile(b);
    writeFile(b, d.substr(0, d.size() - 1));
    EXPECT_NE(0, sh("oci-image-tool validate --type image " + quote(multi) + " >/dev/null 2>&1"));
}

TEST_F(ImageTest, SkopeoCopiedLayoutUnpacksLikeTar)
{
    if (sh("command -v skopeo >/dev/null") != 0)
        GTEST_SKIP() << "skopeo is not installed";
    std::string copy = tmp_ / "skopeo";
    ASSERT_EQ(0, sh("skopeo --insecure-policy copy -q oci:" + stockLayout() + ":latest oci:" + copy +
                    ":latest >/dev/null 2>&1"));
    std::string bundle = newBundle();
    ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), copy.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    std::string ref = tmp_ / "ref";
    ASSERT_TRUE(tarLayers(copy, ref));
    EXPECT_EQ(treeListing(ref), treeListing(bundle + "/rootfs"));
    EXPECT_EQ(treeListing(ref), treeListing(tmp_ / "ref"));
}

TEST_F(ImageTest, UmociLayoutUnpacksLikeTar)
{
    if (sh("command -v umoci >/dev/null") != 0)
        GTEST_SKIP() << "umoci is not installed";
    RTFIX_REQUIRE_ROOT();
    std::string layout = tmp_ / "umoci";
    std::string work = tmp_ / "work";
    /* A linux image made by umoci: busybox and a few files, repacked. */
    ASSERT_EQ(0, sh("umoci init --layout " + layout + " && umoci new --image " + layout +
                    ":latest && "
                    "umoci unpack --image " +
                    layout + ":latest " + work +
                    " >/dev/null && "
                    "mkdir -p " +
                    work + "/rootfs/bin " + work +
                    "/rootfs/etc && "
                    "cp /bin/busybox " +
                    work + "/rootfs/bin/ && ln -s busybox " + work +
                    "/rootfs/bin/sh && "
                    "echo umoci > " +
                    work +
                    "/rootfs/etc/motd && "
                    "umoci repack --image " +
                    layout + ":latest " + work +
                    " >/dev/null && "
                    "umoci config --image " +
                    layout + ":latest --config.entrypoint /bin/sh >/dev/null"));
    /* umoci writes this host's platform, the default one here; the
     * target's is not in the layout. */
    OZC_BUNDLE_ATTR orrery{"orrery", "amd64"};
    EXPECT_EQ(OZC_ERR_INDEX_INVALID, unpackCode(layout, nullptr, &orrery));
    std::string bundle = newBundle();
    ASSERT_EQ(OK, ozcUnpack(bundle.c_str(), layout.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    std::string ref = tmp_ / "ref";
    ASSERT_TRUE(tarLayers(layout, ref));
    EXPECT_EQ(treeListing(ref), treeListing(bundle + "/rootfs"));
    EXPECT_EQ("umoci\n", readFile(bundle + "/rootfs/etc/motd"));
    Json cfg = readJson(bundle + "/config.json");
    EXPECT_EQ("[\"/bin/sh\"]", jsonText(cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "process"), "args")));
}

/* The layer store road needs the overlay driver; the device directory is
 * a private one. */
class ImageOverlayTest : public ImageTest {
protected:
    void SetUp() override
    {
        ImageTest::SetUp();
        OZTEST_REQUIRE_ROOT("overlay mounts");
        mkdir((tmp_ / "overlay").c_str(), 0755);
        ozOvlDevDirSet((tmp_ / "overlay").c_str());
        if (!ozOvlAvailable())
            GTEST_SKIP() << "overlay devices are not available here";
    }
    void TearDown() override
    {
        /* Devices made by the test go before the directory does. */
        sh("for d in " + quote(tmp_ / "overlay") + "/*; do [ -e \"$d\" ] && umount -l \"$d\" 2>/dev/null; done; true");
        ImageTest::TearDown();
    }
    /* The layer store directory of layer i of a layout's first image:
     * named by the chain id of the layers up to it. */
    std::string storeDir(const Layout &l, int layer) { return tmp_ / ("base/layers/" + l.chainId(layer + 1)); }
};

TEST_F(ImageOverlayTest, LayeredRootfsStacksTheLayerStoreAndReusesIt)
{
    Layout l(stockLayout());
    EXPECT_EQ(LAYERED_ROOTFS, ozcImageRootfsTypeVerify(0));
    std::string b1 = newBundle();
    ASSERT_EQ(OK, ozcUnpack(b1.c_str(), l.dir().c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    EXPECT_TRUE(exists(storeDir(l, 0) + "/bin/busybox"));
    EXPECT_TRUE(exists(storeDir(l, 1) + "/bin/sh"));
    EXPECT_TRUE(exists(storeDir(l, 2) + "/etc/layer3"));
    Json cfg = readJson(b1 + "/config.json");
    std::string root = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "root"), "path")->valuestring;
    EXPECT_EQ(0u, root.find(tmp_ / "overlay/")) << root;
    /* The rootfs directory of the bundle is made but stays empty. */
    EXPECT_TRUE(exists(b1 + "/rootfs"));
    std::string ref = tmp_ / "ref";
    ASSERT_TRUE(tarLayers(l.dir(), ref));
    EXPECT_EQ(treeListing(ref), treeListing(root));

    /* A second bundle reuses the store without extracting: a file removed
     * from a store directory stays removed. */
    std::string marker = storeDir(l, 2) + "/etc/layer3";
    ASSERT_TRUE(exists(marker));
    ASSERT_EQ(0, unlink(marker.c_str()));
    std::string b2 = newBundle();
    /* Same chain: the device exists already; the platform decides whether
     * that is an error, so only the store is checked. */
    ozcUnpack(b2.c_str(), l.dir().c_str(), nullptr, 0, nullptr);
    EXPECT_FALSE(exists(marker)) << "the layer was extracted again";
}

TEST_F(ImageOverlayTest, SingleLayerAndFlattenedRoots)
{
    std::string one = tmp_ / "one";
    ASSERT_TRUE(mkimage(one, "--layers 1"));
    Layout l1(one);
    std::string b1 = newBundle();
    ASSERT_EQ(OK, ozcUnpack(b1.c_str(), one.c_str(), nullptr, 0, nullptr)) << std::hex << errno;
    Json cfg = readJson(b1 + "/config.json");
    EXPECT_STREQ(storeDir(l1, 0).c_str(),
                 cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "root"), "path")->valuestring);

    /* Flattened: one directory per chain holding every layer. */
    std::string b2 = newBundle();
    ASSERT_EQ(OK, ozcUnpack(b2.c_str(), stockLayout().c_str(), nullptr, OZC_UNPACK_FLATTEN, nullptr))
        << std::hex << errno;
    Json cfg2 = readJson(b2 + "/config.json");
    std::string root = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg2.get(), "root"), "path")->valuestring;
    EXPECT_EQ(0u, root.find(tmp_ / "base/flattened/")) << root;
    EXPECT_EQ(64u, root.size() - (tmp_ / "base/flattened/").size());
    std::string ref = tmp_ / "ref";
    ASSERT_TRUE(tarLayers(stockLayout(), ref));
    EXPECT_EQ(treeListing(ref), treeListing(root));
}

/* ------------------------------------------------------------------------
 * Image inspection.
 * ------------------------------------------------------------------------ */
TEST_F(ImageTest, InspectDescribesEveryManifest)
{
    std::string multi = tmp_ / "multi";
    ASSERT_TRUE(mkimage(multi, "--tag v1 --layers 2"));
    ASSERT_TRUE(mkimage(multi, "--append --tag v2 --os orrery --layers 1"));
    CText text(ozcImageInfoGet(multi.c_str()));
    ASSERT_TRUE(text) << errno;
    Json arr(cJSON_Parse(text.get()));
    ASSERT_EQ(2, cJSON_GetArraySize(arr.get()));
    Layout l(multi);
    cJSON *first = cJSON_GetArrayItem(arr.get(), 0);
    std::vector<std::string> keys;
    cJSON *k;
    cJSON_ArrayForEach(k, first) keys.push_back(k->string);
    EXPECT_EQ(
        (std::vector<std::string>{"Id", "RepoTags", "Created", "Container", "ContainerConfig", "ozcVersion", "Author",
                                  "Config", "Architecture", "Os", "Size", "VirtualSize", "RootFS", "annotations"}),
        keys);
    EXPECT_EQ(l.configDigest(0), cJSON_GetObjectItem(first, "Id")->valuestring);
    EXPECT_STREQ("1.0.1.8", cJSON_GetObjectItem(first, "ozcVersion")->valuestring);
    EXPECT_STREQ("linux", cJSON_GetObjectItem(first, "Os")->valuestring);
    EXPECT_STREQ("orrery", cJSON_GetObjectItem(cJSON_GetArrayItem(arr.get(), 1), "Os")->valuestring);
    Json m = l.manifest(0);
    double sum = 0;
    cJSON *layer;
    cJSON_ArrayForEach(layer, cJSON_GetObjectItem(m.get(), "layers")) sum +=
        cJSON_GetObjectItem(layer, "size")->valuedouble;
    EXPECT_EQ(sum, cJSON_GetObjectItem(first, "Size")->valuedouble);
    EXPECT_EQ(sum, cJSON_GetObjectItem(first, "VirtualSize")->valuedouble);
    cJSON *config = cJSON_GetObjectItem(first, "Config");
    EXPECT_STREQ("Orrery", cJSON_GetObjectItem(config, "Hostname")->valuestring);
    EXPECT_STREQ("", cJSON_GetObjectItem(config, "Domainname")->valuestring);
    EXPECT_STREQ("", cJSON_GetObjectItem(config, "OnBuild")->valuestring) << "missing members copy as empty";
    EXPECT_STREQ("v1",
                 cJSON_GetObjectItem(cJSON_GetObjectItem(first, "annotations"), "org.opencontainers.image.ref.name")
                     ->valuestring);

    errno = 0;
    EXPECT_EQ(nullptr, ozcImageInfoGet(nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(nullptr, ozcImageInfoGet((tmp_ / "none").c_str()));
    EXPECT_EQ(OZC_ERR_OCI_LAYOUT_NOT_FOUND, errno);
}

} // namespace
