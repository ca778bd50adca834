/* Registry context without a network: defaults, image references, endpoints,
 * error texts, registry information, digests and manifest lists, the local
 * layout path and the library's function table. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <cjson/cJSON.h>

#include "manager/regfixture.h"
#include "ozcMgr.h"
#include "ozcMgrInt.h"

namespace {

struct CtxDeleter {
    void operator()(REGISTRY_CTX *c) const { ozcRegistryCtxDelete(c); }
};
using CtxPtr = std::unique_ptr<REGISTRY_CTX, CtxDeleter>;

CtxPtr fresh()
{
    CtxPtr ctx(ozcRegistryCtxCreate());
    EXPECT_NE(nullptr, ctx);
    return ctx;
}

TEST(RegistryContext, Defaults)
{
    {
        regfix::EnvScope none("OZC_DEFAULT_REGISTRY", nullptr);
        CtxPtr ctx = fresh();
        EXPECT_STREQ("registry-1.docker.io", ctx->registry);
        EXPECT_STREQ("latest", ctx->tag);
        EXPECT_STREQ("https", ctx->transfer_protocol);
        EXPECT_EQ(1, curlCtxSecureGet(ctx->curl_ctx));
        EXPECT_EQ(MANIFEST_TYPE_UNKNOWN, ctx->image_config.manifest_type);
        ASSERT_NE(nullptr, ctx->extra_http_header->list);
        EXPECT_STREQ("Accept: application/vnd.docker.distribution.manifest.list.v2+json,"
                     "application/vnd.oci.image.index.v1+json,"
                     "application/vnd.oci.image.manifest.v1+json,"
                     "application/vnd.docker.distribution.manifest.v2+json",
                     ctx->extra_http_header->list->data);
        EXPECT_EQ(nullptr, ctx->extra_http_header->list->next);
    }
    regfix::EnvScope mirror("OZC_DEFAULT_REGISTRY", "mirror.local:5000");
    CtxPtr ctx = fresh();
    EXPECT_STREQ("mirror.local:5000", ctx->registry);
    ASSERT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), "nginx"));
    EXPECT_STREQ("mirror.local:5000", ctx->registry);
    ozcRegistryCtxDelete(nullptr);
}

TEST(RegistryContext, ImageReferences)
{
    const std::string hexA(64, 'a'), hex0 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    struct Case {
        std::string ref;
        const char *registry, *repository, *image;
        std::string tag, digest;
    } cases[] = {
        {"nginx", "registry-1.docker.io", "nginx", "nginx", "latest", ""},
        {"localhost/app", "registry-1.docker.io", "localhost/app", "app", "latest", ""},
        {"reghost:5000/a/b/c:1.0", "reghost:5000", "a/b/c", "c", "1.0", ""},
        {"host:5000/team/app:1.2", "host:5000", "team/app", "app", "1.2", ""},
        {"quay.io/team/app", "quay.io", "team/app", "app", "latest", ""},
        {"team/app:v1", "registry-1.docker.io", "team/app", "app", "v1", ""},
        {"app@sha256:" + hex0, "registry-1.docker.io", "app", "app", "sha256:" + hex0, "sha256:" + hex0},
        {"127.0.0.1:5000/t/app@sha256:" + hexA, "127.0.0.1:5000", "t/app", "app", "sha256:" + hexA, "sha256:" + hexA},
        /* A tag and a digest: the digest is pulled, the tag recorded. */
        {"127.0.0.1:5000/t/app:v1.2_x-y@sha256:" + hexA, "127.0.0.1:5000", "t/app", "app", "v1.2_x-y",
         "sha256:" + hexA},
    };
    regfix::EnvScope none("OZC_DEFAULT_REGISTRY", nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ref);
        CtxPtr ctx = fresh();
        ASSERT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), c.ref.c_str()));
        EXPECT_STREQ(c.registry, ctx->registry);
        EXPECT_STREQ(c.repository, ctx->repository);
        EXPECT_STREQ(c.image, ctx->image);
        EXPECT_EQ(c.tag, ctx->tag);
        EXPECT_EQ(c.digest, ctx->digest);
    }
    /* A context given another reference forgets the tag and digest of the
     * one before. */
    CtxPtr reused = fresh();
    ASSERT_EQ(0, ozcRegistryCtxImageSet(reused.get(), ("team/app:v1@sha256:" + hexA).c_str()));
    ASSERT_EQ(0, ozcRegistryCtxImageSet(reused.get(), "team/app"));
    EXPECT_STREQ("latest", reused->tag);
    EXPECT_STREQ("", reused->digest);

    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStdout();
    CtxPtr ctx = fresh();
    ozcRegistryCtxImageSet(ctx.get(), "reghost:5000/a/b/c:1.0");
    std::string out = testing::internal::GetCapturedStdout();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ("registry:reghost:5000, repository:a/b/c, image:c, tag:1.0\n", out);
}

TEST(RegistryContext, MalformedReferencesAreRefused)
{
    struct Case {
        std::string ref;
        std::string message;
    } cases[] = {
        {std::string(256, 'r') + ".io/app", "registry length is too long\n"},
        {"h.io/" + std::string(256, 'p') + ":1", "repository length is too long\n"},
        {"h.io/" + std::string(256, 'p'), "repository length is too long\n"},
        {"h.io/app:" + std::string(128, 't'), "tag length is too long\n"},
        {"h.io/team/" + std::string(128, 'i'), "image length is too long\n"},
        {std::string(128, 'i'), "repository/image length is too long\n"},
        {"h.io/team/..", "invalid image name ..\n"},
        {"h.io/..:1", "invalid image name ..\n"},
        {"h.io/team/.", "invalid image name .\n"},
        {"h.io/team/", "invalid image name \n"},
        /* Digests that cannot be verified, tags that are no tags. */
        {"h.io/app@sha256:" + std::string(63, 'a'),
         "invalid digest sha256:" + std::string(63, 'a') + ": sha256 and 64 lower-case hex digits expected\n"},
        {"h.io/app@sha512:" + std::string(128, 'a'),
         "invalid digest sha512:" + std::string(128, 'a') + ": sha256 and 64 lower-case hex digits expected\n"},
        {"h.io/app:v1@latest", "invalid digest latest: sha256 and 64 lower-case hex digits expected\n"},
        {"h.io/app:", "invalid tag \n"},
        {"h.io/app:v1?x=1", "invalid tag v1?x=1\n"},
        {"h.io/app:-v1", "invalid tag -v1\n"},
        {"h.io/app:a/b", "invalid tag a/b\n"},
        {"", "Invalid argument\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ref.substr(0, 40));
        CtxPtr ctx = fresh();
        _ozcMgrVerboseFlag = 1;
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(-1, ozcRegistryCtxImageSet(ctx.get(), c.ref.c_str()));
        int err = errno;
        std::string msg = testing::internal::GetCapturedStderr();
        _ozcMgrVerboseFlag = 0;
        EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, err);
        EXPECT_EQ(c.message, msg);
    }
    EXPECT_EQ(-1, ozcRegistryCtxImageSet(nullptr, "app"));
    CtxPtr ctx = fresh();
    EXPECT_EQ(-1, ozcRegistryCtxImageSet(ctx.get(), nullptr));
    /* The longest values that fit. */
    std::string ref = std::string(255, 'r') + "/" + std::string(127, 'i') + ":" + std::string(127, 't');
    ref[3] = '.';
    EXPECT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), ref.c_str()));
}

TEST(RegistryContext, SettersAndEndpoints)
{
    CtxPtr ctx = fresh();
    errno = 0;
    EXPECT_EQ(-1, ozcRegistryCtxUserNameSet(nullptr, "u"));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
    EXPECT_EQ(-1, ozcRegistryCtxUserNameSet(ctx.get(), nullptr));
    EXPECT_EQ(-1, ozcRegistryCtxUserPwdSet(ctx.get(), nullptr));
    EXPECT_EQ(-1, ozcRegistryCtxSecureSet(nullptr, 0));
    EXPECT_EQ(-1, ozcRegistryCtxVerboseSet(nullptr, 1));
    EXPECT_EQ(0, ozcRegistryCtxUserNameSet(ctx.get(), "user"));
    EXPECT_EQ(0, ozcRegistryCtxUserPwdSet(ctx.get(), "pw"));
    EXPECT_STREQ("user", curlCtxUserNameGet(ctx->curl_ctx));
    EXPECT_STREQ("pw", curlCtxUserPwdGet(ctx->curl_ctx));
    EXPECT_EQ(-1, ozcRegistryCtxUserNameSet(ctx.get(), std::string(300, 'u').c_str()));
    EXPECT_EQ(0, ozcRegistryCtxVerboseSet(ctx.get(), 7));
    EXPECT_EQ(1, ctx->curl_ctx->verbose);
    EXPECT_EQ(0, ozcRegistryCtxSecureSet(ctx.get(), 0));
    EXPECT_EQ(0, curlCtxSecureGet(ctx->curl_ctx));

    ASSERT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), "reg.io:443/team/app:v1"));
    char url[2048];
    ASSERT_EQ(0, ozcMgrEndpointBaseUrlGet(ctx.get(), url, sizeof(url)));
    EXPECT_STREQ("https://reg.io:443/v2/", url);
    ASSERT_EQ(0, ozcMgrEndpointManifestUrlGet(ctx.get(), ctx->tag, url, sizeof(url)));
    EXPECT_STREQ("https://reg.io:443/v2/team/app/manifests/v1", url);
    ASSERT_EQ(0, ozcMgrEndpointBlobUrlGet(ctx.get(), "sha256:ab", url, sizeof(url)));
    EXPECT_STREQ("https://reg.io:443/v2/team/app/blobs/sha256:ab", url);
    ASSERT_EQ(0, ozcMgrEndpointTagsUrlGet(ctx.get(), url, sizeof(url)));
    EXPECT_STREQ("https://reg.io:443/v2/team/app/tags/list", url);
    char small[10];
    EXPECT_EQ(-1, ozcMgrEndpointTagsUrlGet(ctx.get(), small, sizeof(small)));
}

TEST(RegistryContext, ErrorTexts)
{
    char buf[64];
    ASSERT_EQ(0, ozcErrnoStrGet(0, buf, sizeof(buf)));
    EXPECT_STREQ("No error", buf);
    ASSERT_EQ(0, ozcErrnoStrGet(OZC_MGR_ERR_INTEGRITY, buf, sizeof(buf)));
    EXPECT_STREQ("File integrity check failed", buf);
    ASSERT_EQ(0, ozcErrnoStrGet(OZC_MGR_ERR_SIGNATURE_VERIFY, buf, sizeof(buf)));
    EXPECT_STREQ("signature verify failed", buf);
    ASSERT_EQ(0, ozcErrnoStrGet(12, buf, sizeof(buf)));
    EXPECT_STREQ("No memory", buf);
    char sixteen[16];
    ASSERT_EQ(0, ozcErrnoStrGet(OZC_MGR_ERR_PLATFORM_NOT_FOUND, sixteen, sizeof(sixteen)));
    EXPECT_STREQ("Orrery OS or sp", sixteen);
    ASSERT_EQ(0, ozcErrnoStrGet(ENOENT, buf, sizeof(buf)));
    EXPECT_STREQ(strerror(ENOENT), buf);
    EXPECT_EQ(-1, ozcErrnoStrGet(0, buf, 1));
    EXPECT_EQ(-1, ozcErrnoStrGet(0, nullptr, 10));
    EXPECT_EQ(17, OZC_MGR_UTIL_ERROR_COUNT);
    EXPECT_EQ(0xE0000D, ozcMgrUtilErrorTable[13].errCode);
    EXPECT_EQ(12, ozcMgrUtilErrorTable[14].errCode);
    ASSERT_EQ(0, ozcErrnoStrGet(OZC_MGR_ERR_NAME_TAKEN, buf, sizeof(buf)));
    EXPECT_STREQ("Local image name is used by another repository", buf);
    ASSERT_EQ(0, ozcErrnoStrGet(OZC_MGR_ERR_LAYER_TYPE, buf, sizeof(buf)));
    EXPECT_STREQ("Unsupported layer media type", buf);

    CtxPtr ctx = fresh();
    char text[128];
    ASSERT_EQ(0, ozcRegistryCtxErrorStrGet(ctx.get(), text, sizeof(text)));
    EXPECT_STREQ("\nlibcurl error 0 : No error", text);
    ctx->curl_ctx->curl_errno = CURLE_COULDNT_CONNECT;
    ctx->curl_ctx->http_response_code = 418;
    ASSERT_EQ(0, ozcRegistryCtxErrorStrGet(ctx.get(), text, sizeof(text)));
    EXPECT_STREQ("\nlibcurl error 7 : Couldn't connect to server\nHTTP response 418 : Unknown "
                 "response code",
                 text);
    /* The libcurl line fills the buffer: no room for the HTTP line. */
    char tiny[8];
    EXPECT_EQ(-1, ozcRegistryCtxErrorStrGet(ctx.get(), tiny, sizeof(tiny)));
    EXPECT_STREQ("\nlibcur", tiny);
    char cut[60];
    ASSERT_EQ(0, ozcRegistryCtxErrorStrGet(ctx.get(), cut, sizeof(cut)));
    EXPECT_EQ(59u, strlen(cut));
    EXPECT_EQ(0, strncmp(cut + 45, "\nHTTP response", 14));
    EXPECT_EQ(-1, ozcRegistryCtxErrorStrGet(nullptr, text, sizeof(text)));
    EXPECT_EQ(-1, ozcRegistryCtxErrorStrGet(ctx.get(), text, 1));
}

TEST(RegistryContext, RegistryInformation)
{
    CtxPtr ctx = fresh();
    ASSERT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), "reg.io/team/app:v1"));
    char r[64], rep[64], img[64], tag[64];
    ASSERT_EQ(0,
              ozcImageRegistryInfoGet(ctx.get(), r, sizeof(r), rep, sizeof(rep), img, sizeof(img), tag, sizeof(tag)));
    EXPECT_STREQ("reg.io", r);
    EXPECT_STREQ("team/app", rep);
    EXPECT_STREQ("app", img);
    EXPECT_STREQ("v1", tag);
    /* Skipped pairs; a buffer one short of the value. */
    char t2[3] = "xx";
    ASSERT_EQ(0, ozcImageRegistryInfoGet(ctx.get(), nullptr, 0, nullptr, 5, img, 0, t2, sizeof(t2)));
    EXPECT_STREQ("v1", t2);
    memset(img, 0, sizeof(img));
    char rep2[8];
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(-1, ozcImageRegistryInfoGet(ctx.get(), r, sizeof(r), rep2, sizeof(rep2), img, sizeof(img), nullptr, 0));
    std::string msg = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
    EXPECT_EQ("buffer is too small for repository!", msg);
    EXPECT_STREQ("reg.io", r) << "values before the failing one stay";
    EXPECT_STREQ("", img);
}

TEST(Digests, FormAndFileVerification)
{
    std::string hex(64, 'a');
    EXPECT_EQ(1, ozcMgrDigestIsValid(("sha256:" + hex).c_str()));
    EXPECT_EQ(0, ozcMgrDigestIsValid(("sha256:" + hex + "a").c_str()));
    EXPECT_EQ(0, ozcMgrDigestIsValid(("sha256:" + hex.substr(1)).c_str()));
    EXPECT_EQ(0, ozcMgrDigestIsValid(("sha256:" + std::string(64, 'A')).c_str()));
    EXPECT_EQ(0, ozcMgrDigestIsValid(("sha512:" + hex).c_str()));
    EXPECT_EQ(0, ozcMgrDigestIsValid("sha256:../../x"));
    EXPECT_EQ(0, ozcMgrDigestIsValid(nullptr));

    regfix::TempDir tmp;
    std::string file = tmp.path() + "/blob";
    FILE *f = fopen(file.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("hello\n", f);
    fclose(f);
    const char *helloHex = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
    char hash[65];
    ASSERT_EQ(0, ozcMgrFileSha256HexGet(file.c_str(), hash, sizeof(hash)));
    EXPECT_STREQ(helloHex, hash);
    char shortHash[64];
    EXPECT_EQ(-1, ozcMgrFileSha256HexGet(file.c_str(), shortHash, sizeof(shortHash)));
    EXPECT_EQ(0, ozcMgrFileDigestVerify(file.c_str(), (std::string("sha256:") + helloHex).c_str()));
    EXPECT_EQ(-1, ozcMgrFileDigestVerify(file.c_str(), ("sha256:" + hex).c_str()));
    EXPECT_EQ(-1, ozcMgrFileDigestVerify(file.c_str(), (std::string("sha512:") + helloHex).c_str()));
    EXPECT_EQ(-1, ozcMgrFileDigestVerify(file.c_str(), helloHex));
    EXPECT_EQ(-1, ozcMgrFileDigestVerify((tmp.path() + "/none").c_str(), (std::string("sha256:") + helloHex).c_str()));

    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ozcMgrFileDigestVerify(file.c_str(), ("sha256:" + hex).c_str());
    ozcMgrFileDigestVerify(file.c_str(), "md5:00");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ("integrity check failed for file " + file + ", expected hash: " + hex + ", calculated hash: " + helloHex +
                  "\n",
              out);
    EXPECT_EQ("Not support md5 digest verification\n", err);
}

/* The entry of this build's platform (HOST below; OTHER is another OS). */
TEST(ManifestList, EntrySelection)
{
    struct Case {
        const char *json;
        int err; /* 0: an entry is selected */
        const char *digest;
    } cases[] = {
        {R"({"manifests":[{"digest":"d1","platform":{"os":"OTHER","architecture":"ARCH"}},
                          {"digest":"d2","platform":{"os":"HOST","architecture":"s390x"}},
                          {"digest":"d3","platform":{"os":"HOST","architecture":"ARCH"}},
                          {"digest":"d4","platform":{"os":"HOST","architecture":"ARCH"}}]})",
         0, "d3"},
        {R"({"manifests":[{"digest":"d1","platform":{"os":"OTHER","architecture":"ARCH"}}]})",
         OZC_MGR_ERR_PLATFORM_NOT_FOUND, nullptr},
        /* An entry without platform before the match ends the selection. */
        {R"({"manifests":[{"digest":"d1"},
                          {"digest":"d2","platform":{"os":"HOST","architecture":"ARCH"}}]})",
         OZC_MGR_ERR_MANIFEST_PARSE, nullptr},
        {R"({"manifests":[{"digest":"d1","platform":{"architecture":"ARCH"}}]})", OZC_MGR_ERR_MANIFEST_PARSE, nullptr},
        {R"({"manifests":[{"digest":"d1","platform":{"os":"HOST","architecture":5}}]})", OZC_MGR_ERR_MANIFEST_PARSE,
         nullptr},
        {R"({"manifests":[]})", OZC_MGR_ERR_MANIFEST_PARSE, nullptr},
        {R"({"manifests":{}})", OZC_MGR_ERR_MANIFEST_PARSE, nullptr},
        {R"({"schemaVersion":2})", OZC_MGR_ERR_MANIFEST_PARSE, nullptr},
        {R"({"manifests":[{"digest":"d1","platform":{"os":"UPPERHOST","architecture":"ARCH"}}]})",
         OZC_MGR_ERR_PLATFORM_NOT_FOUND, nullptr},
    };
    std::string host = ozSysOsNameGet(), arch = ozSysArchNameGet();
    std::string other = host == "orrery" ? "linux" : "orrery";
    std::string upper = host;
    upper[0] = static_cast<char>(toupper(upper[0]));
    auto fill = [&](std::string text) {
        for (auto [word, value] : {std::pair<std::string, std::string>{"UPPERHOST", upper},
                                   {"HOST", host},
                                   {"OTHER", other},
                                   {"ARCH", arch}}) {
            for (size_t at; (at = text.find('"' + word + '"')) != std::string::npos;)
                text.replace(at + 1, word.size(), value);
        }
        return text;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        cJSON *list = cJSON_Parse(fill(c.json).c_str());
        ASSERT_NE(nullptr, list);
        errno = 0;
        cJSON *entry = ozcMgrManifestExtract(list);
        if (c.err == 0) {
            ASSERT_NE(nullptr, entry);
            EXPECT_STREQ(c.digest, cJSON_GetObjectItem(entry, "digest")->valuestring);
        } else {
            EXPECT_EQ(nullptr, entry);
            EXPECT_EQ(c.err, errno);
        }
        cJSON_Delete(list);
    }
}

TEST(Pull, ArgumentsAndLocalPath)
{
    errno = 0;
    EXPECT_EQ(-1, ozcImagePull(nullptr, nullptr));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
    EXPECT_EQ(-1, ozcMgrImageLocalPathInit(nullptr, nullptr));

    regfix::TempDir tmp;
    CtxPtr ctx = fresh();
    ASSERT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), "a/app"));
    {
        regfix::EnvScope path("OZC_IMAGE_PATH", (tmp.path() + "/base/").c_str());
        ASSERT_EQ(0, ozcMgrImageLocalPathInit(ctx.get(), nullptr));
        EXPECT_EQ(tmp.path() + "/base/app", ctx->image_local_path);
        EXPECT_TRUE(regfix::isDir(ctx->image_local_path));
        ASSERT_EQ(0, ozcMgrImageLocalPathInit(ctx.get(), "other"));
        EXPECT_EQ(tmp.path() + "/base/other", ctx->image_local_path);
        EXPECT_EQ(-1, ozcMgrImageLocalPathInit(ctx.get(), ".."));
    }
    {
        /* 45 bytes of the 1024 must stay free after the directory name
         * ("/app" here): a base of 975 characters fits, 976 does not. */
        auto baseOf = [&](size_t len) {
            std::string b = tmp.path() + "/";
            while (b.size() < len)
                b += (b.size() % 100 == 0) ? '/' : 'd';
            return b;
        };
        std::string tooLong = baseOf(976);
        regfix::EnvScope path("OZC_IMAGE_PATH", tooLong.c_str());
        errno = 0;
        EXPECT_EQ(-1, ozcMgrImageLocalPathInit(ctx.get(), nullptr));
        EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
        std::string fits = baseOf(975);
        ASSERT_NE('/', fits.back());
        regfix::EnvScope path2("OZC_IMAGE_PATH", fits.c_str());
        EXPECT_EQ(0, ozcMgrImageLocalPathInit(ctx.get(), nullptr));
        EXPECT_EQ(979u, strlen(ctx->image_local_path));
    }
    {
        /* A base below a regular file cannot be made. */
        std::string file = tmp.path() + "/file";
        fclose(fopen(file.c_str(), "w"));
        regfix::EnvScope path("OZC_IMAGE_PATH", (file + "/images").c_str());
        errno = 0;
        EXPECT_EQ(-1, ozcImagePull(ctx.get(), nullptr));
        EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
    }
}

TEST(Library, FunctionTableIsSetAtLoad)
{
    ASSERT_NE(nullptr, ozcMgrLibFuncs);
    EXPECT_EQ(&ozcImagePullCmd, ozcMgrLibFuncs->imagePull);
    ozcMgrEnable();
    EXPECT_EQ(0, _ozcMgrVerboseFlag);
    /* The pull command leaves the verbosity flag as it found it (0) and
     * reports a refused reference. */
    regfix::TempDir tmp;
    regfix::EnvScope path("OZC_IMAGE_PATH", tmp.path().c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ozcMgrLibFuncs->imagePull("h.io/team/..", nullptr, nullptr, 0, 0, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, _ozcMgrVerboseFlag);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ozcMgrLibFuncs->imagePull("127.0.0.1:1/team/app", "u", "p", 1, 0, nullptr));
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, _ozcMgrVerboseFlag);
    EXPECT_NE(std::string::npos, out.find("Trying to pull team/app from https://127.0.0.1:1/v2/\n"));
    EXPECT_FALSE(regfix::exists(tmp.path() + "/app"));
}

} /* namespace */
