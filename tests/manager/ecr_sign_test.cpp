/* ECR client: Signature Version 4 pieces against the worked examples that AWS
 * publishes, our own GetAuthorizationToken request under a fixed clock, the
 * regional API host and the operator endpoint, client limits and wiping, and
 * the password extraction from token replies. No network. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrCurlLib.h"
#include "ozcMgrUtil.h"
#include "ozcMgrInt.h"

namespace {

std::string keyHex(const char *secret, const char *date, const char *region, const char *svc)
{
    unsigned char key[64];
    unsigned int len = 0;
    if (signingKeyDerive(secret, date, region, svc, key, &len) != 0 || len != 32) {
        return "derive failed";
    }
    char hex[65];
    EXPECT_EQ(0, bin2hex(key, len, hex, sizeof(hex)));
    return hex;
}

/* Canonical request, string to sign and signature of one published example. */
struct Published {
    const char *method, *path, *query, *headers, *signedHeaders, *payloadHash;
    const char *canonical; /* the published canonical request */
    const char *time, *scope;
    const char *canonicalHash; /* last line of the published string to sign */
    const char *secret, *date, *region, *service;
    const char *signature;
};

void checkPublished(const Published &p)
{
    char creq[1024];
    ASSERT_EQ(0, ozcMgrAwsEcrCanonicalRequestBuild(p.method, p.path, p.query, p.headers, p.signedHeaders, p.payloadHash,
                                                   creq, sizeof(creq)));
    EXPECT_STREQ(p.canonical, creq);
    char sts[1024];
    ASSERT_EQ(0, ozcMgrAwsEcrStringToSignBuild(p.time, p.scope, creq, sts, sizeof(sts)));
    std::string want = std::string("AWS4-HMAC-SHA256\n") + p.time + "\n" + p.scope + "\n" + p.canonicalHash;
    EXPECT_EQ(want, sts);
    unsigned char key[64];
    unsigned int len = 0;
    ASSERT_EQ(0, signingKeyDerive(p.secret, p.date, p.region, p.service, key, &len));
    char sig[65];
    ASSERT_EQ(0, ozcMgrAwsEcrSignatureGet(key, len, sts, sig, sizeof(sig)));
    EXPECT_STREQ(p.signature, sig);
}

} // namespace

/* Signing keys. Source: AWS General Reference, "Examples of how to derive a
 * signing key for Signature Version 4" (2012-02-15 example, with the
 * intermediate kDate value), and the signing-key steps of "Create a
 * signature for Signature Version 4" (2015-08-30 example) and of its earlier
 * 2011-09-09 edition ("Task 3: Calculate the signature"). */
TEST(EcrSignature, SigningKeyMatchesPublishedExamples)
{
    const char *secret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    EXPECT_EQ("f4780e2d9f65fa895f9c67b32ce1baf0b0d8a43505a000a1a9e090d414db404d",
              keyHex(secret, "20120215", "us-east-1", "iam"));
    EXPECT_EQ("c4afb1cc5771d871763a393e44b703571b55cc28424d1a5e86da6ed3c154a4b9",
              keyHex(secret, "20150830", "us-east-1", "iam"));
    EXPECT_EQ("98f1d889fec4f4421adc522bab0ce1f82e6929c262ed15e5a94c90efd1e3b0e7",
              keyHex(secret, "20110909", "us-east-1", "iam"));

    /* kDate of the 2012 example: the first link of the chain on its own. */
    unsigned char mac[64];
    unsigned int len = 0;
    const char *keyText = "AWS4wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    ASSERT_EQ(0, hmacSha256Get(keyText, strlen(keyText), "20120215", 8, mac, &len));
    char hex[65];
    ASSERT_EQ(0, bin2hex(mac, len, hex, sizeof(hex)));
    EXPECT_STREQ("969fbb94feb542b71ede6f87fe4d5fa29c789342b0f407474670f0c2489e0a0d", hex);
}

/* Source: AWS General Reference, "Create a canonical request" / "Create a
 * string to sign" / "Calculate the signature" for Signature Version 4,
 * 2011-09-09 edition: POST https://iam.amazonaws.com/ with the body
 * Action=ListUsers&Version=2010-05-08 (payload hash b6359072...). */
TEST(EcrSignature, PublishedIamPostExample)
{
    checkPublished({"POST", "/", "",
                    "content-type:application/x-www-form-urlencoded; charset=utf-8\n"
                    "host:iam.amazonaws.com\nx-amz-date:20110909T233600Z\n",
                    "content-type;host;x-amz-date", "b6359072c78d70ebee1e81adcbab4f01bf2c23245fa365ef83fe8f1f955085e2",
                    "POST\n/\n\n"
                    "content-type:application/x-www-form-urlencoded; charset=utf-8\n"
                    "host:iam.amazonaws.com\nx-amz-date:20110909T233600Z\n\n"
                    "content-type;host;x-amz-date\n"
                    "b6359072c78d70ebee1e81adcbab4f01bf2c23245fa365ef83fe8f1f955085e2",
                    "20110909T233600Z", "20110909/us-east-1/iam/aws4_request",
                    "3511de7e95d28ecd39e9513b642aee07e54f4941150d8df8bf94b328ef7e55e2",
                    "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "20110909", "us-east-1", "iam",
                    "ced6826de92d2bdeed8f846f0bf508e8559e98e4b0199114b84c54174deb456c"});
    /* The published payload hash is the SHA-256 of the published body. */
    char hash[65];
    const char *body = "Action=ListUsers&Version=2010-05-08";
    ASSERT_EQ(0, sha256HexGet(body, strlen(body), hash, sizeof(hash)));
    EXPECT_STREQ("b6359072c78d70ebee1e81adcbab4f01bf2c23245fa365ef83fe8f1f955085e2", hash);
}

/* Source: AWS General Reference, "Create a canonical request for Signature
 * Version 4" and "Calculate the signature", 2015-08-30 edition:
 * GET https://iam.amazonaws.com/?Action=ListUsers&Version=2010-05-08. */
TEST(EcrSignature, PublishedIamGetExample)
{
    checkPublished({"GET", "/", "Action=ListUsers&Version=2010-05-08",
                    "content-type:application/x-www-form-urlencoded; charset=utf-8\n"
                    "host:iam.amazonaws.com\nx-amz-date:20150830T123600Z\n",
                    "content-type;host;x-amz-date", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                    "GET\n/\nAction=ListUsers&Version=2010-05-08\n"
                    "content-type:application/x-www-form-urlencoded; charset=utf-8\n"
                    "host:iam.amazonaws.com\nx-amz-date:20150830T123600Z\n\n"
                    "content-type;host;x-amz-date\n"
                    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                    "20150830T123600Z", "20150830/us-east-1/iam/aws4_request",
                    "f536975d06c0309214f805bb90ccff089219ecd68b2577efef23edd43b7e1a59",
                    "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "20150830", "us-east-1", "iam",
                    "5d672d79c15b13162d9279b0855cfba6789a8edb4c82c400e06b5924a6f2b5d7"});
    /* The published hash of the empty payload. */
    char hash[65];
    ASSERT_EQ(0, sha256HexGet("", 0, hash, sizeof(hash)));
    EXPECT_STREQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hash);
}

/* Source: Amazon S3 API Reference, "Signature Calculations for the
 * Authorization Header: Transferring Payload in a Single Chunk", Example:
 * GET Object (first 10 bytes of test.txt in examplebucket). */
TEST(EcrSignature, PublishedS3GetObjectExample)
{
    const char *empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    std::string headers = std::string("host:examplebucket.s3.amazonaws.com\nrange:bytes=0-9\n") +
                          "x-amz-content-sha256:" + empty + "\nx-amz-date:20130524T000000Z\n";
    std::string canonical = "GET\n/test.txt\n\n" + headers + "\nhost;range;x-amz-content-sha256;x-amz-date\n" + empty;
    checkPublished({"GET", "/test.txt", "", headers.c_str(), "host;range;x-amz-content-sha256;x-amz-date", empty,
                    canonical.c_str(), "20130524T000000Z", "20130524/us-east-1/s3/aws4_request",
                    "7344ae5b7ee6c3e7e6b0fe0640412a37625d1fbfff95c48bbb2dc43964946972",
                    "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY", "20130524", "us-east-1", "s3",
                    "f0e8bdb87c964420e857bd35b5d6ed310bd44f0170aba48dd91039c6036bdb41"});
}

TEST(EcrSignature, BuffersThatDoNotFitAreRefused)
{
    char hex[65];
    EXPECT_EQ(-1, sha256HexGet("a", 1, hex, 64));
    unsigned char bytes[4] = {0xde, 0xad, 0xbe, 0xef};
    EXPECT_EQ(-1, bin2hex(bytes, 4, hex, 8));
    ASSERT_EQ(0, bin2hex(bytes, 4, hex, 9));
    EXPECT_STREQ("deadbeef", hex);

    /* "AWS4" + secret must fit its 128 bytes: a cut key would sign wrongly. */
    std::string secret(123, 's');
    unsigned char key[64];
    unsigned int len = 0;
    EXPECT_EQ(0, signingKeyDerive(secret.c_str(), "20261207", "us-west-2", "ecr", key, &len));
    secret += 's';
    EXPECT_EQ(-1, signingKeyDerive(secret.c_str(), "20261207", "us-west-2", "ecr", key, &len));

    char small[32];
    EXPECT_EQ(-1, ozcMgrAwsEcrCanonicalRequestBuild("POST", "/", "", "host:h\n", "host", std::string(64, 'a').c_str(),
                                                    small, sizeof(small)));
}

/* Our own request under a fixed clock. The expected Authorization values were
 * computed independently with Python's hmac and hashlib from the same inputs
 * (time 2026-12-07T09:05:12Z, access key AKIDEXAMPLE, the example secret). */
TEST(EcrSignature, OwnRequestUnderFixedClock)
{
    CURL_CTX *ctx = curlCtxCreate();
    ASSERT_NE(nullptr, ctx);
    struct tm utc = {};
    utc.tm_year = 2026 - 1900;
    utc.tm_mon = 11;
    utc.tm_mday = 7;
    utc.tm_hour = 9;
    utc.tm_min = 5;
    utc.tm_sec = 12;
    struct Case {
        const char *region, *host, *signature;
    } cases[] = {
        {"us-west-2", "api.ecr.us-west-2.amazonaws.com",
         "5e767dfe6ecc6232a2c848ced744f963dc908e8f94ef93280a8061a4a0a5a01e"},
        {"cn-north-1", "api.ecr.cn-north-1.amazonaws.com.cn",
         "46169a3aec348a6b061d391e3a6b2249320a6c9722b40888c9a3ffca53dc5b6d"},
    };
    for (const Case &c : cases) {
        AWS_ECR_CLIENT *client = ozcMgrAwsEcrClientCreate("123456789012", c.region, "AKIDEXAMPLE",
                                                          "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", ctx);
        ASSERT_NE(nullptr, client);
        char host[256];
        ASSERT_EQ(0, ozcMgrAwsEcrApiHostGet(c.region, host, sizeof(host)));
        EXPECT_STREQ(c.host, host);
        char rt[32];
        char auth[1024];
        ASSERT_EQ(0, ozcMgrAwsEcrRequestSign(client, host, &utc, rt, sizeof(rt), auth, sizeof(auth)));
        EXPECT_STREQ("20261207T090512Z", rt);
        std::string want = std::string("AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20261207/") + c.region +
                           "/ecr/aws4_request, SignedHeaders=content-type;host;" +
                           "x-amz-date;x-amz-target, Signature=" + c.signature;
        EXPECT_EQ(want, auth);
        ozcMgrAwsEcrClientDelete(client);
    }
    curlCtxDelete(ctx);
}

class EcrEndpoint : public ::testing::Test {
protected:
    void SetUp() override { ozEnvSet(AWS_ECR_ENDPOINT_ENV, nullptr); }
    void TearDown() override { ozEnvSet(AWS_ECR_ENDPOINT_ENV, nullptr); }
    /* Endpoint and host for region us-east-1 under an override, or "ERR". */
    std::string get(const char *override_value, std::string *host_out = nullptr)
    {
        ozEnvSet(AWS_ECR_ENDPOINT_ENV, override_value);
        char endpoint[256];
        char host[256];
        if (ozcMgrAwsEcrEndpointGet("us-east-1", endpoint, sizeof(endpoint), host, sizeof(host)) != 0) {
            EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errnoGet());
            return "ERR";
        }
        if (host_out != nullptr) {
            *host_out = host;
        }
        /* The host signed is the host of the URL the request goes to. */
        EXPECT_EQ(std::string("https://") + host + "/", endpoint);
        return endpoint;
    }
};

TEST_F(EcrEndpoint, RegionalHostIsConnectedToAndSigned)
{
    char endpoint[256];
    char host[256];
    ASSERT_EQ(0, ozcMgrAwsEcrEndpointGet("eu-central-1", endpoint, sizeof(endpoint), host, sizeof(host)));
    EXPECT_STREQ("https://api.ecr.eu-central-1.amazonaws.com/", endpoint);
    EXPECT_STREQ("api.ecr.eu-central-1.amazonaws.com", host);
    ASSERT_EQ(0, ozcMgrAwsEcrEndpointGet("cn-northwest-1", endpoint, sizeof(endpoint), host, sizeof(host)));
    EXPECT_STREQ("https://api.ecr.cn-northwest-1.amazonaws.com.cn/", endpoint);

    /* A region can never move the request to another host. */
    for (const char *bad : {"", "us-west-2/x", "a@evil", "x#", "x?y", "US-EAST-1", "-a", "a b"}) {
        EXPECT_EQ(-1, ozcMgrAwsEcrApiHostGet(bad, host, sizeof(host))) << bad;
    }
    EXPECT_EQ(-1, ozcMgrAwsEcrApiHostGet("us-east-1", host, 20));
}

TEST_F(EcrEndpoint, OperatorOverride)
{
    std::string host;
    EXPECT_EQ("https://api.ecr.us-east-1.amazonaws.com/", get(""));
    EXPECT_EQ("https://ecr-fips.us-east-1.example.test/", get("https://ecr-fips.us-east-1.example.test", &host));
    EXPECT_EQ("ecr-fips.us-east-1.example.test", host);
    EXPECT_EQ("https://vpce.local:8443/", get("https://vpce.local:8443/", &host));
    EXPECT_EQ("vpce.local:8443", host);
    /* The default port is left out, as the transport leaves it out of Host. */
    EXPECT_EQ("https://vpce.local/", get("https://vpce.local:443/"));
    EXPECT_EQ("https://[::1]:9/", get("https://[::1]:9/"));
    for (const char *bad : {"http://plain.example/", "https://", "https:///", "ftp://h/", "https://user:pw@h/",
                            "https://h/path", "https://h/?q=1", "https://h#frag", "https://h /", "api.ecr.example"}) {
        EXPECT_EQ("ERR", get(bad)) << bad;
    }
    std::string tooLong = "https://" + std::string(300, 'a') + "/";
    EXPECT_EQ("ERR", get(tooLong.c_str()));
}

TEST(EcrClient, CreationLimitsAndArguments)
{
    CURL_CTX *ctx = curlCtxCreate();
    ASSERT_NE(nullptr, ctx);
    const char *id = "123456789012";
    const char *rg = "us-west-2";
    const char *ak = "AKIDEXAMPLE";
    const char *sk = "secret";
    auto refused = [&](const char *i, const char *r, const char *a, const char *s, CURL_CTX *c) {
        errnoSet(0);
        AWS_ECR_CLIENT *cl = ozcMgrAwsEcrClientCreate(i, r, a, s, c);
        bool ok = cl == nullptr && errnoGet() == OZC_MGR_ERR_INVALID_ARG;
        ozcMgrAwsEcrClientDelete(cl);
        return ok;
    };
    EXPECT_TRUE(refused(nullptr, rg, ak, sk, ctx));
    EXPECT_TRUE(refused(id, nullptr, ak, sk, ctx));
    EXPECT_TRUE(refused(id, rg, nullptr, sk, ctx));
    EXPECT_TRUE(refused(id, rg, ak, nullptr, ctx));
    EXPECT_TRUE(refused(id, rg, ak, sk, nullptr));
    std::string s15(15, '1'), s16(16, '1');
    std::string k255(255, 'A'), k256(256, 'A');
    EXPECT_TRUE(refused(s16.c_str(), rg, ak, sk, ctx));
    EXPECT_TRUE(refused(id, "ap-southeast-12x", ak, sk, ctx)); /* 16 characters */
    EXPECT_TRUE(refused(id, rg, k256.c_str(), sk, ctx));
    EXPECT_TRUE(refused(id, rg, ak, k256.c_str(), ctx));
    /* Values that would break the JSON body, the host or the header. */
    EXPECT_TRUE(refused("12\"]}", rg, ak, sk, ctx));
    EXPECT_TRUE(refused(id, "x/evil", ak, sk, ctx));
    EXPECT_TRUE(refused(id, rg, "AKID\r\nX-Evil: 1", sk, ctx));
    EXPECT_TRUE(refused(id, rg, "", sk, ctx));

    AWS_ECR_CLIENT *c = ozcMgrAwsEcrClientCreate(s15.c_str(), "ap-southeast-1", k255.c_str(), k255.c_str(), ctx);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(s15, c->registry_id);
    EXPECT_STREQ("ap-southeast-1", c->region);
    EXPECT_EQ(k255, c->access_key_id);
    EXPECT_EQ(k255, c->secret_access_key);
    EXPECT_EQ(ctx, c->curl_ctx);
    EXPECT_STREQ("", c->token);
    ozcMgrAwsEcrClientDelete(c);
    ozcMgrAwsEcrClientDelete(nullptr);
    errnoSet(0);
    EXPECT_EQ(nullptr, ozcMgrAwsEcrPasswordGet(nullptr));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errnoGet());
    curlCtxDelete(ctx);
}

namespace {
int gReleased = 0;
bool gAllZero = false;
void checkWiped(void *record, size_t size)
{
    const auto *b = static_cast<const unsigned char *>(record);
    gAllZero = size == sizeof(AWS_ECR_CLIENT);
    for (size_t i = 0; i < size; i++) {
        gAllZero = gAllZero && b[i] == 0;
    }
    gReleased++;
    free(record);
}
} // namespace

TEST(EcrClient, DeletedRecordIsZero)
{
    CURL_CTX *ctx = curlCtxCreate();
    ASSERT_NE(nullptr, ctx);
    AWS_ECR_CLIENT *c = ozcMgrAwsEcrClientCreate("123456789012", "us-west-2", "AKIDEXAMPLE",
                                                 "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", ctx);
    ASSERT_NE(nullptr, c);
    strcpy(c->token, "registry-password");
    ozcMgrAwsEcrReleaseSet(checkWiped);
    ozcMgrAwsEcrClientDelete(c);
    ozcMgrAwsEcrReleaseSet(nullptr);
    EXPECT_EQ(1, gReleased);
    EXPECT_TRUE(gAllZero);
    curlCtxDelete(ctx);
}

namespace {
/* base64 of a text, for building replies. */
std::string b64(const std::string &in)
{
    static const char *t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return out;
}
std::string reply(const std::string &token)
{
    return "{\"authorizationData\":[{\"authorizationToken\":\"" + token +
           "\",\"expiresAt\":1.8E9,\"proxyEndpoint\":\"https://r.example\"}]}";
}
} // namespace

TEST(EcrToken, PasswordFromReply)
{
    char out[4096];
    ASSERT_EQ(0, ozcMgrAwsEcrTokenFromJson(reply(b64("AWS:pa:ss=AWS/word")).c_str(), out, sizeof(out)));
    EXPECT_STREQ("pa:ss=AWS/word", out);

    /* Exactly out_size - 1 characters fit; one more does not. */
    std::string pw(15, 'p');
    ASSERT_EQ(0, ozcMgrAwsEcrTokenFromJson(reply(b64("AWS:" + pw)).c_str(), out, 16));
    EXPECT_EQ(pw, out);
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson(reply(b64("AWS:" + pw + "p")).c_str(), out, 16));
    std::string big(4096, 'x');
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson(reply(b64("AWS:" + big)).c_str(), out, sizeof(out)));
}

TEST(EcrToken, UnusableRepliesAreRefused)
{
    char out[64];
    const std::string cases[] = {
        "",
        "not json",
        "[1,2]",
        "{}",
        "{\"authorizationData\":{}}",
        "{\"authorizationData\":[]}",
        "{\"authorizationData\":[{\"expiresAt\":1}]}",
        "{\"authorizationData\":[{\"authorizationToken\":42}]}",
        reply("!!!not*base64!!!"),
        reply(b64("user:password")),   /* no AWS user */
        reply(b64("NOTAWS:password")), /* AWS only inside another user name */
        reply(b64("xAWS")),            /* AWS at the very end, no colon */
        reply(b64("AWS")),
        reply(b64("AWS:")), /* empty password */
        reply(b64(std::string("AWS:pw\0hidden", 13))),
    };
    for (const std::string &c : cases) {
        strcpy(out, "untouched");
        EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson(c.c_str(), out, sizeof(out))) << c;
    }
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson(nullptr, out, sizeof(out)));
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson(reply(b64("AWS:pw")).c_str(), nullptr, 10));
}

TEST(EcrToken, MessagesUnderVerbosity)
{
    char out[64];
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson("{\"authorizationData\":[]}", out, sizeof(out)));
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson(reply(b64("user:pw")).c_str(), out, sizeof(out)));
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson("{}", out, sizeof(out)));
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ("authorizationToken not found\n"
              "no user name AWS found in user_token_str\n"
              "authorizationData is not an array\n",
              err);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ozcMgrAwsEcrTokenFromJson("{}", out, sizeof(out)));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}
