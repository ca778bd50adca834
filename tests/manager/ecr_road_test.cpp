/* The Amazon ECR road end to end: a registry host of the ECR form sends the
 * registry authentication through the signed GetAuthorizationToken exchange
 * (local endpoint checking the signature from the secret, reached through the
 * operator endpoint variable), and the pull then logs in as "AWS" with the
 * decoded password at a local htpasswd registry.
 *
 * Both names end in ".localhost", which libcurl itself resolves to loopback:
 * the library has no redirection of its own that production requests could
 * fall into, and the test sets nothing but the documented variables. */
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

using regfix::CtxPtr;

class EcrRoad : public regfix::PullTest {
protected:
    std::unique_ptr<regfix::EnvScope> endpointEnv;

    void SetUp() override
    {
        regfix::PullTest::SetUp();
        if (HasFatalFailure())
            return;
        endpointEnv = std::make_unique<regfix::EnvScope>("OZC_AWS_ECR_ENDPOINT", reg["OZ_REG_ECR_ENDPOINT"].c_str());
    }

    CtxPtr context(const std::string &ref, const std::string &accessKey, const std::string &secret)
    {
        CtxPtr ctx(ozcRegistryCtxCreate());
        EXPECT_NE(nullptr, ctx);
        EXPECT_EQ(0, ozcRegistryCtxImageSet(ctx.get(), ref.c_str()));
        EXPECT_EQ(0, ozcRegistryCtxUserNameSet(ctx.get(), accessKey.c_str()));
        EXPECT_EQ(0, ozcRegistryCtxUserPwdSet(ctx.get(), secret.c_str()));
        return ctx;
    }

    /* Number of exchange requests whose signature the endpoint accepted. */
    int verifiedExchanges()
    {
        int n = 0;
        std::string log = regfix::readFile(reg["OZ_REG_ECR_LOG"]);
        for (size_t pos = 0; (pos = log.find("\"verified\": true", pos)) != std::string::npos; ++pos)
            ++n;
        return n;
    }
};

TEST_F(EcrRoad, PullAuthenticatesAsAwsWithTheExchangedPassword)
{
    int before = verifiedExchanges();
    CtxPtr ctx = context(reg["OZ_REG_ECR"] + "/orrery/app:oci", reg["OZ_REG_ECR_ACCESS_KEY"], reg["OZ_REG_ECR_SECRET"]);
    IMAGE_INFO info;
    memset(&info, 0, sizeof(info));
    errno = 0;
    ASSERT_EQ(0, ozcImagePull(ctx.get(), &info)) << std::hex << errno;
    EXPECT_EQ(before + 1, verifiedExchanges());
    /* The registry saw user AWS with the decoded password, by basic auth. */
    EXPECT_STREQ("AWS", curlCtxUserNameGet(ctx->curl_ctx));
    EXPECT_STREQ("ecr-registry-password-0123456789", curlCtxUserPwdGet(ctx->curl_ctx));
    EXPECT_EQ(HTTP_AUTH_METHOD_BASIC, ctx->curl_ctx->http_auth_method);
    EXPECT_TRUE(regfix::exists(images + "/app/index.json"));
    EXPECT_STREQ("app", info.image_name);

    /* The request carried the registry id and region of the host name. Other
     * tests may use the endpoint at the same time: look at the last request
     * whose signature the endpoint accepted (theirs use a wrong secret). */
    std::string log = regfix::readFile(reg["OZ_REG_ECR_LOG"]);
    cJSON *entry = nullptr;
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find('\n', start);
        std::string line = log.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? log.size() : end + 1;
        cJSON *e = cJSON_Parse(line.c_str());
        if (e != nullptr && cJSON_IsTrue(cJSON_GetObjectItem(e, "verified"))) {
            cJSON_Delete(entry);
            entry = e;
        } else {
            cJSON_Delete(e);
        }
    }
    ASSERT_NE(nullptr, entry) << log;
    const cJSON *region = cJSON_GetObjectItem(entry, "region");
    const cJSON *body = cJSON_GetObjectItem(entry, "body");
    const cJSON *hostItem = cJSON_GetObjectItem(entry, "host");
    ASSERT_TRUE(cJSON_IsString(region) && cJSON_IsString(body) && cJSON_IsString(hostItem)) << log;
    EXPECT_STREQ("us-west-2", region->valuestring);
    EXPECT_NE(nullptr, strstr(body->valuestring, "\"123456789012\""));
    std::string host = reg["OZ_REG_ECR_ENDPOINT"].substr(strlen("https://"));
    EXPECT_STREQ(host.c_str(), hostItem->valuestring);
    cJSON_Delete(entry);
}

TEST_F(EcrRoad, WrongSecretStopsBeforeTheRegistry)
{
    CtxPtr ctx = context(reg["OZ_REG_ECR"] + "/orrery/app:oci", reg["OZ_REG_ECR_ACCESS_KEY"], "not/the+secret");
    errno = 0;
    EXPECT_EQ(-1, ozcImagePull(ctx.get(), nullptr));
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, errno);
    /* The refusal came from the exchange, not from the registry. */
    EXPECT_EQ(403, curlCtxHttpRespCodeGet(ctx->curl_ctx));
    EXPECT_STRNE("AWS", curlCtxUserNameGet(ctx->curl_ctx));
    EXPECT_FALSE(regfix::exists(images + "/app"));
}

TEST_F(EcrRoad, RegistryHostOfTheWrongFormIsRefused)
{
    /* Holds the AWS domain but not ".dkr.ecr.<region>.". */
    CtxPtr ctx = context("registry.amazonaws.com.localhost:1/orrery/app", "AKID", "secret");
    errno = 0;
    EXPECT_EQ(-1, ozcMgrRegistryAuthenticate(ctx.get()));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
}

TEST_F(EcrRoad, EcrHostParse)
{
    char id[16], region[16];
    EXPECT_EQ(0, ozcMgrAwsEcrRegistryParse("123456789012.dkr.ecr.eu-central-1.amazonaws.com", id, sizeof(id), region,
                                           sizeof(region)));
    EXPECT_STREQ("123456789012", id);
    EXPECT_STREQ("eu-central-1", region);
    EXPECT_EQ(0, ozcMgrAwsEcrRegistryParse("1.dkr.ecr.cn-north-1.amazonaws.com.cn:443", id, sizeof(id), region,
                                           sizeof(region)));
    EXPECT_STREQ("cn-north-1", region);
    EXPECT_EQ(-1, ozcMgrAwsEcrRegistryParse("1234567890123456.dkr.ecr.us-east-1.amazonaws.com", id, sizeof(id), region,
                                            sizeof(region)));
    EXPECT_EQ(-1, ozcMgrAwsEcrRegistryParse("1.dkr.ecr.a-very-long-region-name.amazonaws.com", id, sizeof(id), region,
                                            sizeof(region)));
    EXPECT_EQ(-1, ozcMgrAwsEcrRegistryParse("1.dkr.ecr.us-east-1", id, sizeof(id), region, sizeof(region)));
    EXPECT_EQ(-1, ozcMgrAwsEcrRegistryParse("ecr.amazonaws.com", id, sizeof(id), region, sizeof(region)));
}

} /* namespace */
