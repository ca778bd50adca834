/* Image pull against Debian's docker-registry on loopback: anonymous HTTPS
 * with our CA, plain HTTP through the insecure fall-back, htpasswd basic
 * authentication, bearer tokens from the test token issuer; OCI manifests,
 * Docker schema 2 manifests, OCI indexes and Docker manifest lists pushed
 * with skopeo; verified digests and the layout the runtime reads; tags side
 * by side as skopeo and umoci find them; failed and concurrent pulls that
 * leave the earlier image as it was. */
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <openssl/sha.h>

#include "manager/regfixture.h"
#include "ozcMgr.h"

namespace {

using regfix::CtxPtr;

using regfix::JsonPtr;

/* The entry of team/multi this build's platform pulls, and its layers. */
bool hostIsOrrery()
{
    return strcmp(ozSysOsNameGet(), "orrery") == 0;
}

std::string sha256Hex(const std::string &data)
{
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), md);
    char hex[65];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i)
        snprintf(hex + 2 * i, 3, "%02x", md[i]);
    return hex;
}

int countFiles(const std::string &dir)
{
    std::string cmd = "ls -1 '" + dir + "' 2>/dev/null | wc -l";
    FILE *p = popen(cmd.c_str(), "r");
    int n = -1;
    if (p != nullptr) {
        if (fscanf(p, "%d", &n) != 1)
            n = -1;
        pclose(p);
    }
    return n;
}

class RegistryPull : public regfix::PullTest {
protected:
    static CtxPtr context(const std::string &ref, const char *user = nullptr, const char *password = nullptr,
                          int secure = 1)
    {
        CtxPtr ctx(ozcRegistryCtxCreate());
        EXPECT_NE(nullptr, ctx);
        EXPECT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), ref.c_str()));
        if (user != nullptr) {
            EXPECT_EQ(0, ozcRegistryCtxUserNameSet(ctx.get(), user));
        }
        if (password != nullptr) {
            EXPECT_EQ(0, ozcRegistryCtxUserPwdSet(ctx.get(), password));
        }
        EXPECT_EQ(0, ozcRegistryCtxSecureSet(ctx.get(), secure));
        return ctx;
    }

    /* Pulls ref; the errno of a failure in *err. */
    int pull(REGISTRY_CTX *ctx, int *err, IMAGE_INFO *info = nullptr)
    {
        errno = 0;
        int rc = ozcImagePull(ctx, info);
        *err = errno;
        return rc;
    }

    /* The digest the registry names for a manifest (HEAD, its Accept line). */
    std::string registryDigest(const std::string &hostRepo, const std::string &ref)
    {
        CtxPtr ctx = context(hostRepo + ":" + ref);
        std::string url = "https://" + std::string(ctx->registry) + "/v2/" + ctx->repository + "/manifests/" + ref;
        EXPECT_EQ(0, ozcMgrCurlHead(url.c_str(), ctx->curl_ctx, ctx->extra_http_header));
        char digest[256] = {0};
        EXPECT_EQ(0, httpHeaderValGet(curlCtxRespHeaderGet(ctx->curl_ctx)->str, "docker-content-digest", digest,
                                      sizeof(digest)));
        return digest;
    }

    /* A Docker schema 2 manifest: the layout's manifest restates it in OCI
     * media types with the same config and layers; the served bytes stay
     * under the digest the registry named. */
    void checkDockerRestated(const std::string &dir, const cJSON *oci, const std::string &served)
    {
        std::string text = regfix::readFile(dir + "/blobs/sha256/" + served.substr(7));
        ASSERT_EQ(served.substr(7), sha256Hex(text));
        JsonPtr docker(cJSON_Parse(text.c_str()));
        ASSERT_NE(nullptr, docker);
        EXPECT_STREQ(MEDIA_TYPE_DOCKER_MANIFEST_V2S2, cJSON_GetObjectItem(docker.get(), "mediaType")->valuestring);
        EXPECT_STREQ(MEDIA_TYPE_OCI_IMAGE_MANIFEST, cJSON_GetObjectItem(oci, "mediaType")->valuestring);
        const cJSON *ociConfig = cJSON_GetObjectItem(oci, "config");
        const cJSON *dockerConfig = cJSON_GetObjectItem(docker.get(), "config");
        EXPECT_STREQ("application/vnd.oci.image.config.v1+json",
                     cJSON_GetObjectItem(ociConfig, "mediaType")->valuestring);
        EXPECT_STREQ(cJSON_GetObjectItem(dockerConfig, "digest")->valuestring,
                     cJSON_GetObjectItem(ociConfig, "digest")->valuestring);
        const cJSON *ociLayers = cJSON_GetObjectItem(oci, "layers");
        const cJSON *dockerLayers = cJSON_GetObjectItem(docker.get(), "layers");
        ASSERT_EQ(cJSON_GetArraySize(dockerLayers), cJSON_GetArraySize(ociLayers));
        for (int i = 0; i < cJSON_GetArraySize(ociLayers); ++i) {
            const cJSON *o = cJSON_GetArrayItem(ociLayers, i);
            const cJSON *d = cJSON_GetArrayItem(dockerLayers, i);
            EXPECT_STREQ("application/vnd.oci.image.layer.v1.tar+gzip",
                         cJSON_GetObjectItem(o, "mediaType")->valuestring);
            EXPECT_STREQ(cJSON_GetObjectItem(d, "digest")->valuestring, cJSON_GetObjectItem(o, "digest")->valuestring);
            EXPECT_EQ(cJSON_GetObjectItem(d, "size")->valuedouble, cJSON_GetObjectItem(o, "size")->valuedouble);
        }
    }

    /* Checks the layout of a successful pull, its entry for ref (of the
     * image hostRepo, the only entry unless entries says otherwise), and
     * returns the manifest of that entry. */
    JsonPtr checkLayout(const std::string &dir, int expectedLayers, const std::string &ref, const std::string &hostRepo,
                        int entries = 1)
    {
        /* "<registry>/<repository>": the name the node agent looks for. */
        const std::string &fullName = hostRepo;
        EXPECT_EQ("{\n\t\"imageLayoutVersion\":\t\"1.0.0\"\n}", regfix::readFile(dir + "/oci-layout").substr(0, 34));
        JsonPtr index = regfix::indexOf(dir);
        EXPECT_NE(nullptr, index);
        if (!index)
            return nullptr;
        EXPECT_EQ(2, cJSON_GetObjectItem(index.get(), "schemaVersion")->valueint);
        EXPECT_EQ(entries, cJSON_GetArraySize(cJSON_GetObjectItem(index.get(), "manifests")));
        const cJSON *entry = regfix::indexEntry(index.get(), ref);
        EXPECT_NE(nullptr, entry) << ref;
        if (entry == nullptr)
            return nullptr;
        EXPECT_STREQ(MEDIA_TYPE_OCI_IMAGE_MANIFEST, cJSON_GetObjectItem(entry, "mediaType")->valuestring);
        std::string digest = cJSON_GetObjectItem(entry, "digest")->valuestring;
        EXPECT_EQ(nullptr, cJSON_GetObjectItem(entry, "platform"));
        EXPECT_STREQ(
            fullName.c_str(),
            cJSON_GetObjectItem(cJSON_GetObjectItem(entry, "annotations"), "org.orrery.image.name")->valuestring);
        std::string manifestText = regfix::readFile(dir + "/blobs/sha256/" + digest.substr(7));
        EXPECT_EQ("sha256:" + sha256Hex(manifestText), digest);
        EXPECT_EQ(static_cast<double>(manifestText.size()), cJSON_GetObjectItem(entry, "size")->valuedouble);
        EXPECT_FALSE(regfix::exists(dir + "/manifest.json"));
        JsonPtr manifest(cJSON_Parse(manifestText.c_str()));
        EXPECT_NE(nullptr, manifest);
        if (!manifest)
            return nullptr;
        const cJSON *layers = cJSON_GetObjectItem(manifest.get(), "layers");
        EXPECT_EQ(expectedLayers, cJSON_GetArraySize(layers));
        /* Every blob named is there under its digest, with those bytes. */
        const cJSON *layer = nullptr;
        cJSON_ArrayForEach(layer, layers)
        {
            std::string d = cJSON_GetObjectItem(layer, "digest")->valuestring;
            EXPECT_EQ(d.substr(7), sha256Hex(regfix::readFile(dir + "/blobs/sha256/" + d.substr(7))));
        }
        std::string c = cJSON_GetObjectItem(cJSON_GetObjectItem(manifest.get(), "config"), "digest")->valuestring;
        EXPECT_EQ(c.substr(7), sha256Hex(regfix::readFile(dir + "/blobs/sha256/" + c.substr(7))));
        /* Nothing temporary is left. */
        for (const auto &f : regfix::snapshot(dir))
            EXPECT_EQ(std::string::npos, f.first.find(".partial-")) << f.first;
        return manifest;
    }
};

TEST_F(RegistryPull, AnonymousHttpsOciManifestGivesAValidLayout)
{
    CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/orrery/app:oci");
    IMAGE_INFO info;
    memset(&info, 0, sizeof(info));
    int err = 0;
    ASSERT_EQ(0, pull(ctx.get(), &err, &info)) << std::hex << err;
    std::string dir = images + "/app";
    EXPECT_STREQ("app", info.image_name);
    EXPECT_STREQ("oci", info.image_tag);
    EXPECT_EQ(dir, info.image_path);
    EXPECT_EQ(OCI_IMAGE_MANIFEST_V1, ctx->image_config.manifest_type);
    JsonPtr manifest = checkLayout(dir, 2, "oci", reg["OZ_REG_TLS"] + "/orrery/app");
    /* manifest, config, two layers */
    EXPECT_EQ(4, countFiles(dir + "/blobs/sha256"));
    std::string digest = registryDigest(reg["OZ_REG_TLS"] + "/orrery/app", "oci");
    EXPECT_TRUE(regfix::exists(dir + "/blobs/sha256/" + digest.substr(7)));
    EXPECT_EQ(0, system(("oci-image-tool validate --type image '" + dir + "' >/dev/null 2>&1").c_str()));
}

/* Without the Docker schema 2 type in the Accept line the registry rewrites a
 * schema 2 image into schema 1, which the pull refuses. */
TEST_F(RegistryPull, DockerSchema2ManifestIsAcceptedAndStoredAsServed)
{
    CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/orrery/app:v2s2");
    const char *accept = ctx->extra_http_header->list->data;
    EXPECT_NE(nullptr, strstr(accept, MEDIA_TYPE_DOCKER_MANIFEST_V2S2)) << accept;
    EXPECT_EQ(0, strncmp(accept,
                         "Accept: " MEDIA_TYPE_DOCKER_MANIFEST_LIST "," MEDIA_TYPE_OCI_IMAGE_INDEX
                         "," MEDIA_TYPE_OCI_IMAGE_MANIFEST,
                         strlen("Accept: " MEDIA_TYPE_DOCKER_MANIFEST_LIST "," MEDIA_TYPE_OCI_IMAGE_INDEX
                                "," MEDIA_TYPE_OCI_IMAGE_MANIFEST)));
    int err = 0;
    ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
    EXPECT_EQ(DOCKER_MANIFEST_V2S2, ctx->image_config.manifest_type);
    JsonPtr manifest = checkLayout(images + "/app", 2, "v2s2", reg["OZ_REG_TLS"] + "/orrery/app");
    ASSERT_NE(nullptr, manifest);
    checkDockerRestated(images + "/app", manifest.get(), registryDigest(reg["OZ_REG_TLS"] + "/orrery/app", "v2s2"));
    /* served and restated manifest, config, two layers */
    EXPECT_EQ(5, countFiles(images + "/app/blobs/sha256"));
    EXPECT_EQ(0, system(("oci-image-tool validate --type image '" + images + "/app' >/dev/null 2>&1").c_str()));

    /* What the registry does with the older line. */
    HTTP_HEADER *old = httpHeaderCreate();
    ASSERT_EQ(0, httpHeaderAppend(old, "Accept: " MEDIA_TYPE_DOCKER_MANIFEST_LIST "," MEDIA_TYPE_OCI_IMAGE_INDEX
                                       "," MEDIA_TYPE_OCI_IMAGE_MANIFEST));
    std::string url = "https://" + reg["OZ_REG_TLS"] + "/v2/orrery/app/manifests/v2s2";
    ASSERT_EQ(0, ozcMgrCurlHead(url.c_str(), ctx->curl_ctx, old));
    char type[256] = {0};
    EXPECT_EQ(0, httpHeaderValGet(curlCtxRespHeaderGet(ctx->curl_ctx)->str, "content-type", type, sizeof(type)));
    EXPECT_STREQ(MEDIA_TYPE_DOCKER_MANIFEST_V2S1_SIGNED, type);
    httpHeaderFree(old);
}

/* The entry of this build's platform: orrery/amd64 on the target, the
 * host's (linux/amd64, one layer) here. */
TEST_F(RegistryPull, IndexAndManifestListPickThisPlatformsEntry)
{
    std::string multi = reg["OZ_REG_TLS"] + "/team/multi";
    bool orrery = hostIsOrrery();
    struct Case {
        const char *tag, *entryTag;
        bool docker;
    } cases[] = {{"oci", orrery ? "orrery-amd64" : "linux-amd64", false},
                 {"docker", orrery ? "d-orrery-amd64" : "d-linux-amd64", true}};
    int entries = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tag);
        CtxPtr ctx = context(multi + ":" + c.tag);
        int err = 0;
        ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
        JsonPtr manifest = checkLayout(images + "/multi", orrery ? 2 : 1, c.tag, multi, ++entries);
        ASSERT_NE(nullptr, manifest);
        JsonPtr index = regfix::indexOf(images + "/multi");
        std::string got = cJSON_GetObjectItem(regfix::indexEntry(index.get(), c.tag), "digest")->valuestring;
        if (c.docker) {
            checkDockerRestated(images + "/multi", manifest.get(), registryDigest(multi, c.entryTag));
        } else {
            EXPECT_EQ(registryDigest(multi, c.entryTag), got);
        }
    }
    EXPECT_TRUE(regfix::layoutValid(images + "/multi"));
}

TEST_F(RegistryPull, ListWithoutThisPlatformOrWithoutPlatformFailsAndLeavesNothing)
{
    struct Case {
        const char *repo;
        int err;
    } cases[] = {{"/team/nomatch", OZC_MGR_ERR_PLATFORM_NOT_FOUND}, {"/team/noplat", OZC_MGR_ERR_MANIFEST_PARSE}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.repo);
        CtxPtr ctx = context(reg["OZ_REG_TLS"] + c.repo);
        int err = 0;
        EXPECT_EQ(-1, pull(ctx.get(), &err));
        EXPECT_EQ(c.err, err);
        std::string name = strrchr(c.repo, '/') + 1;
        EXPECT_FALSE(regfix::exists(images + "/" + name));
    }
}

TEST_F(RegistryPull, CorruptedLayerFailsTheIntegrityCheckAndRemovesTheLayout)
{
    CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/team/corrupt");
    int err = 0;
    EXPECT_EQ(-1, pull(ctx.get(), &err));
    EXPECT_EQ(OZC_MGR_ERR_INTEGRITY, err);
    EXPECT_FALSE(regfix::exists(images + "/corrupt"));
    EXPECT_TRUE(regfix::isDir(images));
}

/* A failed pull of an image name that holds an image leaves that image
 * byte for byte; the failure is reported, never a success. */
TEST_F(RegistryPull, FailedPullsKeepTheEarlierImageByteForByte)
{
    std::string repo = reg["OZ_REG_TLS"] + "/orrery/app";
    std::string digest = registryDigest(repo, "oci");
    ASSERT_EQ(71u, digest.size());
    CtxPtr ctx = context(repo + "@" + digest);
    EXPECT_STREQ(digest.c_str(), ctx->tag);
    int err = 0;
    ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
    checkLayout(images + "/app", 2, digest, repo);
    auto before = regfix::snapshot(images + "/app");

    std::string badCa = tmp.path() + "/bad-ca.pem";
    ASSERT_TRUE(oztest::writeFile(badCa, "-----BEGIN CERTIFICATE-----\nnot base64\n"));
    struct Case {
        std::string ref;
        const char *caFile; /* null: the fixture's */
        int err;
    } cases[] = {
        {repo + ":no-such-tag", nullptr, OZC_MGR_ERR_HTTP_NOT_OK},
        /* A digest of the right form that the registry does not have. */
        {repo + "@sha256:" + std::string(64, '0'), nullptr, OZC_MGR_ERR_HTTP_NOT_OK},
        /* A registry that cannot be reached as configured. */
        {repo + ":oci", "/nonexistent/ca.crt", OZC_MGR_ERR_INVALID_ARG},
        {repo + ":oci", badCa.c_str(), OZC_MGR_ERR_INVALID_ARG},
        /* Another repository of the same last name. */
        {reg["OZ_REG_TLS"] + "/other/app:oci", nullptr, OZC_MGR_ERR_NAME_TAKEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ref);
        std::unique_ptr<regfix::EnvScope> ca;
        if (c.caFile != nullptr)
            ca = std::make_unique<regfix::EnvScope>("OZC_TLS_CA_CERT_FILE", c.caFile);
        CtxPtr failing = context(c.ref);
        EXPECT_EQ(-1, pull(failing.get(), &err));
        EXPECT_EQ(c.err, err);
        EXPECT_TRUE(before == regfix::snapshot(images + "/app"));
        EXPECT_TRUE(regfix::layoutValid(images + "/app"));
    }
}

/* name:tag@digest pulls the digest and records the tag. */
TEST_F(RegistryPull, TagAndDigestPullTheDigestUnderTheTag)
{
    std::string repo = reg["OZ_REG_TLS"] + "/orrery/app";
    std::string digest = registryDigest(repo, "oci");
    CtxPtr ctx = context(repo + ":pinned@" + digest);
    EXPECT_STREQ("pinned", ctx->tag);
    EXPECT_STREQ(digest.c_str(), ctx->digest);
    IMAGE_INFO info;
    int err = 0;
    ASSERT_EQ(0, pull(ctx.get(), &err, &info)) << std::hex << err;
    EXPECT_STREQ("pinned", info.image_tag);
    checkLayout(images + "/app", 2, "pinned", repo);
    JsonPtr index = regfix::indexOf(images + "/app");
    EXPECT_STREQ(digest.c_str(), cJSON_GetObjectItem(regfix::indexEntry(index.get(), "pinned"), "digest")->valuestring);
    /* The tag only names the entry: the digest is what is pulled. */
    CtxPtr other = context(repo + ":v2s2@sha256:" + std::string(64, 'a'));
    EXPECT_EQ(-1, pull(other.get(), &err));
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, err);
}

/* Tags of one image side by side, as other tools read them; another
 * repository of the same last name is refused with both names. */
TEST_F(RegistryPull, TagsSideBySideAreFoundBySkopeoAndUmoci)
{
    std::string repo = reg["OZ_REG_TLS"] + "/orrery/app";
    int err = 0;
    for (const char *tag : {"oci", "v2s2", "oci"}) {
        CtxPtr ctx = context(repo + ":" + tag);
        ASSERT_EQ(0, pull(ctx.get(), &err)) << tag << std::hex << err;
    }
    std::string dir = images + "/app";
    checkLayout(dir, 2, "oci", repo, 2);
    checkLayout(dir, 2, "v2s2", repo, 2);
    EXPECT_TRUE(regfix::layoutValid(dir));
    for (const char *tag : {"oci", "v2s2"}) {
        std::string out;
        EXPECT_EQ(0, oztest::sh("skopeo inspect --raw oci:" + dir + ":" + tag, &out)) << tag;
        EXPECT_NE(std::string::npos, out.find(MEDIA_TYPE_OCI_IMAGE_MANIFEST)) << out;
    }
    std::string listed;
    ASSERT_EQ(0, oztest::sh("umoci ls --layout " + dir, &listed));
    EXPECT_NE(std::string::npos, listed.find("oci\n")) << listed;
    EXPECT_NE(std::string::npos, listed.find("v2s2\n")) << listed;

    auto before = regfix::snapshot(dir);
    CtxPtr other = context(reg["OZ_REG_TLS"] + "/other/app:oci");
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, pull(other.get(), &err));
    testing::internal::GetCapturedStdout();
    std::string msg = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ(OZC_MGR_ERR_NAME_TAKEN, err);
    EXPECT_NE(std::string::npos, msg.find(repo)) << msg;
    EXPECT_NE(std::string::npos, msg.find(reg["OZ_REG_TLS"] + "/other/app")) << msg;
    EXPECT_TRUE(before == regfix::snapshot(dir));
}

/* Pulls of one layout from several tasks at once: each waits for the
 * layout's lock, none reports a success that is not on disk. */
TEST_F(RegistryPull, ConcurrentPullsInOneProcessEachLeaveTheirTag)
{
    std::string repo = reg["OZ_REG_TLS"] + "/orrery/app";
    const char *tags[] = {"oci", "v2s2", "oci", "v2s2"};
    std::atomic<int> ok{0};
    std::vector<TASK_ID> tasks;
    struct Arg {
        std::string ref;
        std::atomic<int> *ok;
    };
    std::vector<std::unique_ptr<Arg>> args;
    for (const char *tag : tags)
        args.push_back(std::make_unique<Arg>(Arg{repo + ":" + tag, &ok}));
    for (auto &a : args) {
        TASK_ID tid = taskSpawn(
            "tPull", 150, 0, 256 * 1024,
            [](void *p) {
                auto *arg = static_cast<Arg *>(p);
                CtxPtr ctx(ozcRegistryCtxCreate());
                if (ozcRegistryCtxImageSet(ctx.get(), arg->ref.c_str()) == 0 && ozcImagePull(ctx.get(), nullptr) == 0)
                    ++*arg->ok;
                return 0;
            },
            a.get());
        ASSERT_NE(TASK_ID_NULL, tid);
        tasks.push_back(tid);
    }
    for (TASK_ID tid : tasks)
        EXPECT_EQ(OK, taskWait(tid, WAIT_FOREVER, nullptr));
    EXPECT_EQ(4, ok.load());
    checkLayout(images + "/app", 2, "oci", repo, 2);
    checkLayout(images + "/app", 2, "v2s2", repo, 2);
    EXPECT_TRUE(regfix::layoutValid(images + "/app"));
}

TEST_F(RegistryPull, TlsIsVerifiedUnlessInsecure)
{
    std::string ref = reg["OZ_REG_TLS"] + "/orrery/app:oci";
    int err = 0;
    {
        /* No CA: the server's certificate is refused. */
        regfix::EnvScope noCa("OZC_TLS_CA_CERT_FILE", nullptr);
        CtxPtr ctx = context(ref);
        EXPECT_EQ(-1, pull(ctx.get(), &err));
        EXPECT_EQ(OZC_MGR_ERR_CURL_FAILED, err);
        EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, curlCtxErrnoGet(ctx->curl_ctx));
        EXPECT_EQ(0, curlCtxHttpRespCodeGet(ctx->curl_ctx));
        EXPECT_STREQ("https", ctx->transfer_protocol);
    }
    {
        /* CA settings that name nothing usable are errors naming them, not a
         * silent fall-back to another trust. */
        std::string garbage = tmp.path() + "/garbage.pem", dir = tmp.path() + "/no-such-dir";
        ASSERT_TRUE(oztest::writeFile(garbage, "this is not a certificate\n"));
        struct Case {
            const char *var;
            std::string value, message;
        } cases[] = {
            {"OZC_TLS_CA_CERT_FILE", "/nonexistent/ca.crt",
             "OZC_TLS_CA_CERT_FILE names /nonexistent/ca.crt, which is not a readable file\n"},
            {"OZC_TLS_CA_CERT_FILE", garbage,
             "OZC_TLS_CA_CERT_FILE names " + garbage + ", which holds no usable CA certificate\n"},
            {"OZC_TLS_CA_CERT_PATH", dir,
             "OZC_TLS_CA_CERT_PATH names " + dir + ", which is not a readable directory\n"},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.value);
            regfix::EnvScope ca(c.var, c.value.c_str());
            CtxPtr ctx = context(ref);
            _ozcMgrVerboseFlag = 1;
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            EXPECT_EQ(-1, pull(ctx.get(), &err));
            testing::internal::GetCapturedStdout();
            std::string msg = testing::internal::GetCapturedStderr();
            _ozcMgrVerboseFlag = 0;
            EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, err);
            EXPECT_EQ(CURLE_SSL_CACERT_BADFILE, curlCtxErrnoGet(ctx->curl_ctx));
            EXPECT_NE(std::string::npos, msg.find(c.message)) << msg;
        }
    }
    {
        /* Insecure: neither peer nor host verified, the CA not needed. */
        regfix::EnvScope noCa("OZC_TLS_CA_CERT_FILE", nullptr);
        CtxPtr ctx = context(ref, nullptr, nullptr, 0);
        EXPECT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
        EXPECT_STREQ("https", ctx->transfer_protocol);
    }
}

TEST_F(RegistryPull, PlainHttpRegistryNeedsTheInsecureFallBack)
{
    std::string ref = reg["OZ_REG_HTTP"] + "/team/multi:oci";
    int err = 0;
    CtxPtr secure = context(ref);
    EXPECT_EQ(-1, pull(secure.get(), &err));
    EXPECT_EQ(OZC_MGR_ERR_CURL_FAILED, err);
    EXPECT_STREQ("https", secure->transfer_protocol);

    CtxPtr insecure = context(ref, nullptr, nullptr, 0);
    ASSERT_EQ(0, pull(insecure.get(), &err)) << std::hex << err;
    EXPECT_STREQ("http", insecure->transfer_protocol);
    checkLayout(images + "/multi", hostIsOrrery() ? 2 : 1, "oci", reg["OZ_REG_HTTP"] + "/team/multi");
    /* The fall-back stays for the context's life. */
    char tags[1024];
    EXPECT_EQ(0, ozcImageTagsGet(insecure.get(), tags, sizeof(tags)));
    EXPECT_STREQ("http", insecure->transfer_protocol);
}

TEST_F(RegistryPull, HtpasswdBasicAuthentication)
{
    std::string ref = reg["OZ_REG_BASIC"] + "/orrery/app:oci";
    std::string user = reg["OZ_REG_USER"], password = reg["OZ_REG_PASSWORD"];
    int err = 0;
    {
        CtxPtr ctx = context(ref, user.c_str(), password.c_str());
        ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
        EXPECT_EQ(HTTP_AUTH_METHOD_BASIC, ctx->curl_ctx->http_auth_method);
        checkLayout(images + "/app", 2, "oci", reg["OZ_REG_BASIC"] + "/orrery/app");
    }
    {
        /* A wrong password: refused at once, the image pulled before stays,
         * the context stays usable. */
        auto before = regfix::snapshot(images + "/app");
        CtxPtr ctx = context(ref, user.c_str(), "wrong-password");
        EXPECT_EQ(-1, pull(ctx.get(), &err));
        EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, err);
        EXPECT_EQ(401, curlCtxHttpRespCodeGet(ctx->curl_ctx));
        EXPECT_TRUE(before == regfix::snapshot(images + "/app"));
        ASSERT_EQ(0, ozcRegistryCtxUserPwdSet(ctx.get(), password.c_str()));
        EXPECT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
    }
    {
        /* No credentials at all, or a user name without password. */
        CtxPtr none = context(ref);
        EXPECT_EQ(-1, pull(none.get(), &err));
        EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, err);
        CtxPtr userOnly = context(ref, user.c_str());
        EXPECT_EQ(-1, pull(userOnly.get(), &err));
        EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, err);
    }
}

TEST_F(RegistryPull, BearerTokensFromTheIssuer)
{
    int err = 0;
    {
        /* Anonymous token ("token" member), registry in token mode. */
        CtxPtr ctx = context(reg["OZ_REG_TOKEN"] + "/team/multi:docker");
        ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
        EXPECT_EQ(HTTP_AUTH_METHOD_BEARER, ctx->curl_ctx->http_auth_method);
        EXPECT_EQ(0, strncmp("eyJ", ctx->curl_ctx->bearer_token, 3));
        checkLayout(images + "/multi", hostIsOrrery() ? 2 : 1, "docker", reg["OZ_REG_TOKEN"] + "/team/multi");
    }
    {
        /* "access_token" only, the issuer wants basic credentials. */
        CtxPtr ctx = context(reg["OZ_REG_OAUTH"] + "/orrery/app:v2s2", reg["OZ_REG_OAUTH_USER"].c_str(),
                             reg["OZ_REG_OAUTH_PASSWORD"].c_str());
        ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
        EXPECT_EQ(HTTP_AUTH_METHOD_BEARER, ctx->curl_ctx->http_auth_method);
    }
    {
        /* The issuer refuses: 401 at the token URL. */
        CtxPtr ctx = context(reg["OZ_REG_OAUTH"] + "/orrery/app:v2s2", "oauth-user", "nope");
        EXPECT_EQ(-1, pull(ctx.get(), &err));
        EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, err);
    }
}

TEST_F(RegistryPull, ManifestAndTagQueries)
{
    char buf[8192];
    {
        CtxPtr ctx = context(reg["OZ_REG_TOKEN"] + "/orrery/app");
        ASSERT_EQ(0, ozcImageTagsGet(ctx.get(), buf, sizeof(buf)));
        JsonPtr tags(cJSON_Parse(buf));
        ASSERT_NE(nullptr, tags);
        EXPECT_STREQ("orrery/app", cJSON_GetObjectItem(tags.get(), "name")->valuestring);
        EXPECT_EQ(2, cJSON_GetArraySize(cJSON_GetObjectItem(tags.get(), "tags")));
        EXPECT_NE(nullptr, strchr(buf, '\n')) << "indented";
    }
    {
        CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/team/multi:oci");
        ASSERT_EQ(0, ozcManifestListGet(ctx.get(), buf, sizeof(buf)));
        JsonPtr list(cJSON_Parse(buf));
        ASSERT_NE(nullptr, list);
        EXPECT_EQ(3, cJSON_GetArraySize(cJSON_GetObjectItem(list.get(), "manifests")));
        /* Cut to the buffer. */
        char small[16];
        ASSERT_EQ(0, ozcManifestListGet(ctx.get(), small, sizeof(small)));
        EXPECT_EQ(15u, strlen(small));
        EXPECT_EQ(0, strncmp(buf, small, 15));
    }
    {
        CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/orrery/app:v2s2");
        ASSERT_EQ(0, ozcManifestListGet(ctx.get(), buf, sizeof(buf)));
        EXPECT_NE(nullptr, strstr(buf, MEDIA_TYPE_DOCKER_MANIFEST_V2S2));
    }
    {
        CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/orrery/app:missing");
        errno = 0;
        EXPECT_EQ(-1, ozcManifestListGet(ctx.get(), buf, sizeof(buf)));
        EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, errno);
        CtxPtr nobody = context(reg["OZ_REG_TLS"] + "/no/such");
        errno = 0;
        EXPECT_EQ(-1, ozcImageTagsGet(nobody.get(), buf, sizeof(buf)));
        EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, errno);
        char errText[256];
        ASSERT_EQ(0, ozcRegistryCtxErrorStrGet(nobody.get(), errText, sizeof(errText)));
        EXPECT_STREQ("\nlibcurl error 0 : No error\nHTTP response 404 : Not Found", errText);
        errno = 0;
        EXPECT_EQ(-1, ozcImageTagsGet(nobody.get(), buf, 1));
        EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
        EXPECT_EQ(-1, ozcManifestListGet(nullptr, buf, sizeof(buf)));
    }
}

TEST_F(RegistryPull, ImagePathEndingInSlashGetsNoSecondSlash)
{
    std::string withSlash = images + "/";
    regfix::EnvScope path("OZC_IMAGE_PATH", withSlash.c_str());
    CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/orrery/app:oci");
    int err = 0;
    ASSERT_EQ(0, pull(ctx.get(), &err)) << std::hex << err;
    EXPECT_EQ(images + "/app", ctx->image_local_path);
}

TEST_F(RegistryPull, MessagesOnlyUnderTheVerboseFlag)
{
    CtxPtr ctx = context(reg["OZ_REG_TLS"] + "/team/nomatch");
    int err = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, pull(ctx.get(), &err));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, pull(ctx.get(), &err));
    std::string out = testing::internal::GetCapturedStdout();
    std::string errText = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_NE(std::string::npos, out.find("Trying to pull team/nomatch from https://" + reg["OZ_REG_TLS"] + "/v2/\n"));
    EXPECT_NE(std::string::npos, out.find("integrity check passed for file "));
    EXPECT_NE(std::string::npos, errText.find(std::string("no image found for os ") + ozSysOsNameGet() + " and arch " +
                                              ozSysArchNameGet() + "\n"));
    EXPECT_NE(std::string::npos, errText.find("manifest processing error\n"));
}

} /* namespace */
