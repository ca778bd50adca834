/* Pulls, queries and authentication against a registry that misbehaves
 * (badregistry.py): dropped connections, missing headers, digests that climb
 * out of the layout, malformed manifests and token replies, challenges that
 * cannot be parsed, replies larger than the response text. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "manager/regfixture.h"
#include "ozcMgr.h"

namespace {

using regfix::CtxPtr;

class BadRegistry : public regfix::PullTest {
protected:
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
    EXPECT_NE(std::string::npos,
              err.find("Unauthorized access to https://" + reg["OZ_BAD_SVCFIRST"] +
                       "/v2/, but get www-authenticate field failed.\n"))
        << err;
}

} /* namespace */
