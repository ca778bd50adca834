/* Pulls, queries and authentication against a registry that misbehaves
 * (badregistry.py): dropped connections, missing headers, digests that climb
 * out of the layout, malformed manifests and token replies, challenges that
 * cannot be parsed, replies larger than the response text; blobs longer than
 * declared, stalls, redirect loops, busy answers, expiring tokens; every
 * failure leaves the image pulled before byte for byte, a re-pull fetches
 * only what changed. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "manager/regfixture.h"
#include "ozcMgr.h"

namespace {

using regfix::CtxPtr;

class BadRegistry : public regfix::PullTest {
protected:
    /* The shop repository of this test: its requests are its own. */
    std::string shopRepo()
    {
        return std::string("shop-") + testing::UnitTest::GetInstance()->current_test_info()->name() + "/app";
    }
    std::string shop() { return reg["OZ_BAD_OK"] + "/" + shopRepo(); }

    /* Pulls ref; its errno, 0 on success. */
    int pullRef(const std::string &ref)
    {
        CtxPtr ctx(ozcRegistryCtxCreate());
        EXPECT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), ref.c_str()));
        errno = 0;
        int rc = ozcImagePull(ctx.get(), nullptr);
        return rc == 0 ? 0 : (errno != 0 ? errno : -1);
    }

    /* Requests of the shop repository the registry saw ("GET", "blobs/..."). */
    int seen(const char *method, const std::string &path)
    {
        return regfix::badRequests(reg["OZ_BAD_OK"], std::string(method) + " /v2/" + shopRepo() + "/" + path);
    }

    /* The digest of a layer of a shop tag, as the registry serves it. */
    std::string shopLayer(const std::string &tag, int layer = 0)
    {
        std::string out;
        oztest::sh("curl -sk https://" + shop().insert(shop().find('/'), "/v2") + "/manifests/" + tag, &out);
        regfix::JsonPtr manifest(cJSON_Parse(out.c_str()));
        const cJSON *d =
            cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(manifest.get(), "layers"), layer), "digest");
        return cJSON_IsString(d) ? d->valuestring : "";
    }

    /* The digest of a layer of a shop tag, from the pulled index. */
    std::string layerOf(const std::string &tag, int layer = 0)
    {
        regfix::JsonPtr index = regfix::indexOf(images + "/app");
        const cJSON *entry = regfix::indexEntry(index.get(), tag);
        if (entry == nullptr)
            return "";
        std::string m = cJSON_GetObjectItem(entry, "digest")->valuestring;
        regfix::JsonPtr manifest(cJSON_Parse(regfix::readFile(images + "/app/blobs/sha256/" + m.substr(7)).c_str()));
        return cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(manifest.get(), "layers"), layer), "digest")
            ->valuestring;
    }

    CtxPtr context(const std::string &mode, const std::string &repo)
    {
        CtxPtr ctx(ozcRegistryCtxCreate());
        EXPECT_NE(nullptr, ctx);
        EXPECT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), (reg["OZ_BAD_" + mode] + "/" + repo).c_str()));
        return ctx;
    }

    int pullErr(const std::string &repo)
    {
        CtxPtr ctx = context("OK", repo);
        errno = 0;
        EXPECT_EQ(-1, ozcImagePull(ctx.get(), nullptr));
        int err = errno;
        EXPECT_FALSE(regfix::exists(images + "/app")) << repo;
        return err;
    }

    int authErr(const std::string &mode)
    {
        CtxPtr ctx = context(mode, "good/app");
        errno = 0;
        EXPECT_EQ(-1, ozcMgrRegistryAuthenticate(ctx.get()));
        return errno;
    }
};

TEST_F(BadRegistry, GoodImageFromTheSameServerPulls)
{
    CtxPtr ctx = context("OK", "good/app");
    errno = 0;
    ASSERT_EQ(0, ozcImagePull(ctx.get(), nullptr)) << std::hex << errno;
    EXPECT_TRUE(regfix::exists(images + "/app/index.json"));
}

TEST_F(BadRegistry, BrokenTransfersAndHeadersFailThePull)
{
    /* The layer's connection is dropped half-way. */
    EXPECT_EQ(OZC_MGR_ERR_CURL_FAILED, pullErr("drop/app"));
    /* No docker-content-digest: fails after the HEAD. */
    EXPECT_EQ(OZC_MGR_ERR_MANIFEST_PARSE, pullErr("nodigest/app"));
    /* A layer the registry does not have. */
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, pullErr("blob404/app"));
    /* A manifest whose bytes are not those of the digest it came with. */
    EXPECT_EQ(OZC_MGR_ERR_INTEGRITY, pullErr("wrongdig/app"));
    /* A pull by digest takes no other manifest, even one consistent with
     * the digest header the registry sends along. */
    EXPECT_EQ(OZC_MGR_ERR_INTEGRITY, pullErr("good/app@sha256:" + std::string(64, 'a')));
    /* A repository the registry does not know. */
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, pullErr("nothing/app"));
}

TEST_F(BadRegistry, MalformedManifestsAreRefused)
{
    EXPECT_EQ(OZC_MGR_ERR_MANIFEST_PARSE, pullErr("plainjson/app"));
    /* Also on a context whose earlier pull classified another manifest. */
    CtxPtr reused = context("OK", "good/app");
    ASSERT_EQ(0, ozcImagePull(reused.get(), nullptr));
    ASSERT_EQ(OK, ozRmTree((images + "/app").c_str())) << "another repository of that name";
    ASSERT_EQ(0, ozcRegistryCtxImageSet(reused.get(), (reg["OZ_BAD_OK"] + "/plainjson/app").c_str()));
    errno = 0;
    EXPECT_EQ(-1, ozcImagePull(reused.get(), nullptr));
    EXPECT_EQ(OZC_MGR_ERR_MANIFEST_PARSE, errno);

    EXPECT_EQ(OZC_MGR_ERR_JSON_LOAD, pullErr("badjson/app"));
    EXPECT_EQ(OZC_MGR_ERR_MANIFEST_PARSE, pullErr("schema1/app"));

    /* The manifest query reports the type it cannot show. */
    CtxPtr ctx = context("OK", "schema1/app");
    char buf[512];
    ASSERT_EQ(0, ozcManifestListGet(ctx.get(), buf, sizeof(buf)));
    EXPECT_STREQ("application/vnd.docker.distribution.manifest.v1+prettyjws is not a valid "
                 "manifest list, OCI image index type or single mainfest type\n",
                 buf);
}

TEST_F(BadRegistry, DigestsThatClimbOutOfTheLayoutWriteNothing)
{
    EXPECT_EQ(OZC_MGR_ERR_MANIFEST_PARSE, pullErr("evil/app"));
    EXPECT_EQ(OZC_MGR_ERR_MANIFEST_PARSE, pullErr("evillayer/app"));
    EXPECT_FALSE(regfix::exists(images + "/escape"));
    EXPECT_FALSE(regfix::exists(tmp.path() + "/escape"));
    EXPECT_FALSE(regfix::exists("/tmp/escape"));
}

TEST_F(BadRegistry, ReplyBodyOverTheResponseTextSize)
{
    /* The tag list (over 8 KiB) does not fit the response text: the query
     * fails on it instead of reading what an earlier request left. */
    CtxPtr ctx = context("OK", "bigtags/app");
    char buf[16384];
    errno = 0;
    EXPECT_EQ(-1, ozcImageTagsGet(ctx.get(), buf, sizeof(buf)));
    EXPECT_EQ(OZC_MGR_ERR_JSON_LOAD, errno);

    CURL_CTX *curl = ctx->curl_ctx;
    std::string base = "https://" + reg["OZ_BAD_OK"];
    ASSERT_EQ(0, ozcMgrCurlGet((base + "/v2/").c_str(), curl, nullptr));
    EXPECT_STREQ("{}", curlCtxRespBodyGet(curl)->str);
    EXPECT_EQ(0u, curlCtxRespBodyGet(curl)->size);
    ASSERT_EQ(0, ozcMgrCurlGet((base + "/v2/bigtags/app/tags/list").c_str(), curl, nullptr));
    EXPECT_EQ(200, curlCtxHttpRespCodeGet(curl));
    const char *text = curlCtxRespBodyGet(curl)->str;
    EXPECT_LT(strlen(text), static_cast<size_t>(HTTP_RESPONSE_SIZE));
    EXPECT_STRNE("{}", text);
    if (text[0] != '\0') {
        EXPECT_EQ(0, strncmp(text, "{\"name\": \"bigtags/app\"", 22)) << text;
    }

    /* A 404 answer is a completed transfer. */
    ASSERT_EQ(0, ozcMgrCurlGet((base + "/v2/none/app/manifests/x").c_str(), curl, nullptr));
    EXPECT_EQ(404, curlCtxHttpRespCodeGet(curl));
    EXPECT_EQ(CURLE_OK, curlCtxErrnoGet(curl));
}

TEST_F(BadRegistry, ChallengesAndTokenRepliesThatCannotBeUsed)
{
    EXPECT_EQ(OZC_MGR_ERR_AUTH_HEADER, authErr("SVCFIRST"));
    EXPECT_EQ(OZC_MGR_ERR_AUTH_HEADER, authErr("UNKNOWNAUTH"));
    EXPECT_EQ(OZC_MGR_ERR_AUTH_HEADER, authErr("NOCHALLENGE"));
    EXPECT_EQ(OZC_MGR_ERR_JSON_LOAD, authErr("TOKENBROKEN"));
    EXPECT_EQ(OZC_MGR_ERR_TOKEN_FETCH, authErr("TOKENARRAY"));
    EXPECT_EQ(OZC_MGR_ERR_TOKEN_FETCH, authErr("NOTOKEN"));
    EXPECT_EQ(OZC_MGR_ERR_TOKEN_FETCH, authErr("TOKENLONG"));
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, authErr("ISSUER401"));
    /* The token URL would not fit 2048 bytes: refused, not cut. */
    EXPECT_EQ(OZC_MGR_ERR_AUTH_HEADER, authErr("LONGREALM"));

    /* The messages of the parse failures, under the verbose flag. */
    CtxPtr ctx = context("SVCFIRST", "good/app");
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ozcMgrRegistryAuthenticate(ctx.get()));
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_NE(std::string::npos, err.find("no service found in the HTTP response\n")) << err;
    EXPECT_NE(std::string::npos, err.find("Unauthorized access to https://" + reg["OZ_BAD_SVCFIRST"] +
                                          "/v2/, but get www-authenticate field failed.\n"))
        << err;
}

/* Every failure after an image was pulled leaves it as it was, byte for
 * byte, and says what happened. */
TEST_F(BadRegistry, FailedPullsKeepTheEarlierImageByteForByte)
{
    ASSERT_EQ(0, pullRef(shop() + ":v1"));
    auto before = regfix::snapshot(images + "/app");
    ASSERT_TRUE(regfix::layoutValid(images + "/app"));
    regfix::EnvScope retries("OZC_HTTP_RETRIES", "1");
    struct Case {
        const char *tag;
        int err;
    } cases[] = {
        {"no-such-tag", OZC_MGR_ERR_HTTP_NOT_OK},    /* a typo: 404 */
        {"drop", OZC_MGR_ERR_CURL_FAILED},           /* the registry goes away */
        {"unavailable", OZC_MGR_ERR_HTTP_NOT_OK},    /* 503 after its retry */
        {"big", OZC_MGR_ERR_INTEGRITY},              /* a layer longer than declared */
        {"foreign", OZC_MGR_ERR_LAYER_TYPE},         /* a layer the runtime cannot unpack */
        {"list404", OZC_MGR_ERR_HTTP_NOT_OK},        /* the platform's manifest is missing */
        {"bigmanifest", OZC_MGR_ERR_MANIFEST_PARSE}, /* a manifest over 4 MiB */
        {"redirloop", OZC_MGR_ERR_CURL_FAILED},      /* redirects without end */
        {"tohttp", OZC_MGR_ERR_CURL_FAILED},         /* a redirect from HTTPS to HTTP */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tag);
        EXPECT_EQ(c.err, pullRef(shop() + ":" + c.tag));
        EXPECT_TRUE(before == regfix::snapshot(images + "/app"));
        EXPECT_TRUE(regfix::layoutValid(images + "/app"));
    }
    /* Each fault stopped where it should (this test's repository counts
     * only its own requests): one retry of the 503 as configured, the
     * request and ten redirects, nothing sent in clear, the over-long layer
     * cut off long before the 200 MiB offered. */
    EXPECT_EQ(2, seen("HEAD", "manifests/unavailable"));
    EXPECT_EQ(11, seen("GET", "blobs/" + shopLayer("redirloop")));
    EXPECT_EQ(0,
              regfix::badRequests(reg["OZ_BAD_OK"], "PLAIN GET /v2/" + shopRepo() + "/blobs/" + shopLayer("tohttp")));
    regfix::JsonPtr stats = regfix::badStats(reg["OZ_BAD_OK"]);
    const cJSON *sent = cJSON_GetObjectItem(cJSON_GetObjectItem(stats.get(), "sent"), shopRepo().c_str());
    ASSERT_TRUE(cJSON_IsNumber(sent));
    EXPECT_LT(sent->valuedouble, 64.0 * 1024 * 1024);
}

/* A transfer that stalls, or a server that never answers the handshake,
 * ends after the configured time with a time-out. */
TEST_F(BadRegistry, StallsAndSilentServersTimeOut)
{
    {
        regfix::EnvScope speed("OZC_HTTP_LOW_SPEED_TIME", "1");
        CtxPtr ctx = context("OK", shopRepo() + ":stall");
        errno = 0;
        EXPECT_EQ(-1, ozcImagePull(ctx.get(), nullptr));
        EXPECT_EQ(OZC_MGR_ERR_CURL_FAILED, errno);
    }
    {
        regfix::EnvScope connect("OZC_HTTP_CONNECT_TIMEOUT", "1");
        CtxPtr ctx = context("OK", "good/app");
        std::string url = "https://" + reg["OZ_BAD_MUTE"] + "/v2/";
        EXPECT_EQ(-1, ozcMgrCurlGet(url.c_str(), ctx->curl_ctx, nullptr));
        EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, curlCtxErrnoGet(ctx->curl_ctx));
    }
}

/* 429 with Retry-After (an HTTP date, then seconds) is asked again after
 * the wait it names, and the pull succeeds. */
TEST_F(BadRegistry, BusyRegistryIsAskedAgainAfterRetryAfter)
{
    int before = seen("HEAD", "manifests/busy");
    ASSERT_EQ(0, pullRef(shop() + ":busy"));
    EXPECT_EQ(3, seen("HEAD", "manifests/busy") - before);
    regfix::JsonPtr stats = regfix::badStats(reg["OZ_BAD_OK"]);
    const cJSON *times = cJSON_GetObjectItem(cJSON_GetObjectItem(stats.get(), "times"),
                                             ("HEAD /v2/" + shopRepo() + "/manifests/busy").c_str());
    int n = cJSON_GetArraySize(times);
    ASSERT_GE(n, 3);
    double second = cJSON_GetArrayItem(times, n - 2)->valuedouble;
    double third = cJSON_GetArrayItem(times, n - 1)->valuedouble;
    EXPECT_GE(third - second, 0.9) << "Retry-After: 1 was honoured";
}

/* A token that expires during the pull is renewed, once per request. */
TEST_F(BadRegistry, ExpiredTokensAreRenewedOnce)
{
    std::string host = reg["OZ_BAD_EXPIRING"];
    auto tokens = [&] {
        regfix::JsonPtr stats = regfix::badStats(host);
        return cJSON_GetObjectItem(stats.get(), "tokens")->valueint;
    };
    int before = tokens();
    ASSERT_EQ(0, pullRef(host + "/" + shopRepo() + ":v2"));
    EXPECT_GE(tokens() - before, 2) << "the first token ran out during the pull";
    EXPECT_TRUE(regfix::layoutValid(images + "/app"));

    /* Refused whatever the token: the pull fails after one renewal per
     * blob request, it does not go round. */
    ASSERT_EQ(OK, ozRmTree((images + "/app").c_str()));
    before = tokens();
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, pullRef(host + "/revoked/app:v2"));
    int renewed = tokens() - before - 1;
    EXPECT_GE(renewed, 1);
    EXPECT_LE(renewed, 3) << "config and two layers, one renewal each";
}

/* A re-pull of an unchanged image fetches the manifest only; a new tag
 * fetches only the blobs it does not share; a damaged blob is fetched
 * again; layers come several at once. */
TEST_F(BadRegistry, RepullsFetchOnlyWhatChanged)
{
    ASSERT_EQ(0, pullRef(shop() + ":v1"));
    std::string base = layerOf("v1");
    ASSERT_FALSE(base.empty());
    int baseGets = seen("GET", "blobs/" + base), manifestGets = seen("GET", "manifests/v1");
    ASSERT_EQ(0, pullRef(shop() + ":v1"));
    EXPECT_EQ(0, seen("GET", "blobs/" + base) - baseGets);
    EXPECT_EQ(0, seen("GET", "manifests/v1") - manifestGets);

    ASSERT_EQ(0, pullRef(shop() + ":v2"));
    EXPECT_EQ(base, layerOf("v2", 1));
    EXPECT_EQ(0, seen("GET", "blobs/" + base) - baseGets) << "shared with v1";
    EXPECT_EQ(1, seen("GET", "blobs/" + layerOf("v2", 0)));

    /* A present blob whose bytes no longer match is fetched again. */
    std::string path = images + "/app/blobs/sha256/" + base.substr(7);
    std::string bytes = regfix::readFile(path);
    bytes[100] ^= 0x5a;
    ASSERT_TRUE(oztest::writeFile(path, bytes));
    ASSERT_EQ(0, pullRef(shop() + ":v1"));
    EXPECT_EQ(1, seen("GET", "blobs/" + base) - baseGets);
    EXPECT_TRUE(regfix::layoutValid(images + "/app"));

    /* The three layers of "par" are held until all three are asked for. */
    ASSERT_EQ(0, pullRef(shop() + ":par"));
    regfix::JsonPtr stats = regfix::badStats(reg["OZ_BAD_OK"]);
    EXPECT_EQ(3, cJSON_GetObjectItem(cJSON_GetObjectItem(stats.get(), "concurrent"), shopRepo().c_str())->valueint);
    regfix::JsonPtr index = regfix::indexOf(images + "/app");
    EXPECT_EQ(3, cJSON_GetArraySize(cJSON_GetObjectItem(index.get(), "manifests")));
}

/* Layer types are checked before any download: zstd is pulled, a type the
 * runtime cannot unpack is refused by name. */
TEST_F(BadRegistry, LayerMediaTypesAreCheckedAtPullTime)
{
    EXPECT_EQ(0, pullRef(shop() + ":zstd"));
    ASSERT_EQ(OK, ozRmTree((images + "/app").c_str()));
    std::string foreign = shopLayer("foreign", 1);
    int gets = seen("GET", "blobs/" + foreign);
    CtxPtr ctx = context("OK", shopRepo() + ":foreign");
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(-1, ozcImagePull(ctx.get(), nullptr));
    int err = errno;
    testing::internal::GetCapturedStdout();
    std::string msg = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ(OZC_MGR_ERR_LAYER_TYPE, err);
    EXPECT_NE(std::string::npos, msg.find("layer 1 has media type "
                                          "\"application/vnd.docker.image.rootfs.foreign.diff.tar.gzip\", which the "
                                          "runtime cannot unpack\n"))
        << msg;
    EXPECT_EQ(0, seen("GET", "blobs/" + foreign) - gets);
    EXPECT_FALSE(regfix::exists(images + "/app"));
}

} /* namespace */
