/* Transfer layer without a network: the transfer context's setters and their
 * limits, the scheme dispatch, request header lists, the response header
 * value and challenge parsers, and the reason phrases. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "manager/regfixture.h"
#include "ozcMgr.h"
#include "ozcMgrInt.h"

namespace {

struct Ctx {
    CURL_CTX *c = curlCtxCreate();
    ~Ctx() { curlCtxDelete(c); }
};

TEST(TransferContext, CreatedZeroedAndSettersRefuseWhatDoesNotFit)
{
    Ctx ctx;
    ASSERT_NE(nullptr, ctx.c);
    EXPECT_EQ(HTTP_AUTH_METHOD_BASIC, ctx.c->http_auth_method);
    EXPECT_EQ(0, ctx.c->secure);
    EXPECT_EQ(0, ctx.c->save_to_file);
    EXPECT_STREQ("", curlCtxUserNameGet(ctx.c));

    std::string longest(255, 'u');
    EXPECT_EQ(0, curlCtxUserNameSet(ctx.c, longest.c_str(), longest.size()));
    EXPECT_EQ(longest, curlCtxUserNameGet(ctx.c));
    std::string tooLong(256, 'u');
    errno = 0;
    EXPECT_EQ(-1, curlCtxUserNameSet(ctx.c, tooLong.c_str(), tooLong.size()));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
    EXPECT_EQ(longest, curlCtxUserNameGet(ctx.c)) << "a refused value changes nothing";
    errno = 0;
    EXPECT_EQ(-1, curlCtxUserNameSet(ctx.c, "x", 0));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);
    EXPECT_EQ(-1, curlCtxUserNameSet(ctx.c, nullptr, 3));

    std::string pwd(4095, 'p');
    EXPECT_EQ(0, curlCtxUserPwdSet(ctx.c, pwd.c_str(), pwd.size()));
    std::string pwdLong(4096, 'p');
    errno = 0;
    EXPECT_EQ(-1, curlCtxUserPwdSet(ctx.c, pwdLong.c_str(), pwdLong.size()));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errno);

    /* The token setter leaves errno alone. */
    errno = 1234;
    EXPECT_EQ(-1, curlCtxBearerTokenSet(ctx.c, pwdLong.c_str(), pwdLong.size()));
    EXPECT_EQ(-1, curlCtxBearerTokenSet(ctx.c, "t", 0));
    EXPECT_EQ(1234, errno);
    EXPECT_EQ(0, curlCtxBearerTokenSet(ctx.c, "tok", 3));
    EXPECT_STREQ("tok", ctx.c->bearer_token);

    std::string file(1023, 'f');
    EXPECT_EQ(0, curlCtxFileNameSet(ctx.c, file.c_str(), file.size()));
    EXPECT_EQ(1, ctx.c->save_to_file);
    ctx.c->save_to_file = 0;
    std::string fileLong(1024, 'f');
    EXPECT_EQ(-1, curlCtxFileNameSet(ctx.c, fileLong.c_str(), fileLong.size()));
    EXPECT_EQ(0, ctx.c->save_to_file);

    EXPECT_EQ(0, curlCtxSecureSet(ctx.c, 1));
    EXPECT_EQ(1, curlCtxSecureGet(ctx.c));
    EXPECT_EQ(0, curlCtxAuthMethodSet(ctx.c, HTTP_AUTH_METHOD_BEARER));
    EXPECT_EQ(HTTP_AUTH_METHOD_BEARER, ctx.c->http_auth_method);
    EXPECT_EQ(ctx.c->response_header.str, curlCtxRespHeaderGet(ctx.c)->str);
    curlCtxDelete(nullptr);
}

TEST(TransferContext, UrlsThatAreRefusedBeforeAnyTransfer)
{
    Ctx ctx;
    struct Case {
        const char *url;
    } cases[] = {{"no-scheme-here"},
                 {"abcdefghijklmnopqrstuvwxyzabcdef://host/"}, /* 32 characters */
                 {"ftp://127.0.0.1/file"},
                 {"HTTPS://127.0.0.1/"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        ctx.c->curl_errno = CURLE_OK;
        EXPECT_EQ(-1, ozcMgrCurlGet(c.url, ctx.c, nullptr));
        EXPECT_EQ(CURLE_OK, curlCtxErrnoGet(ctx.c)) << "nothing was sent";
        EXPECT_EQ(HTTP_REQUEST_METHOD_GET, ctx.c->http_request_method);
    }
    EXPECT_EQ(-1, ozcMgrCurlHead("ftp://x/", ctx.c, nullptr));
    EXPECT_EQ(HTTP_REQUEST_METHOD_HEAD, ctx.c->http_request_method);

    /* The messages, under the verbose flag. */
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ozcMgrCurlGet("abcdefghijklmnopqrstuvwxyzabcdef://host/", ctx.c, nullptr);
    ozcMgrCurlGet("ftp://host/", ctx.c, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ("Requesting abcdefghijklmnopqrstuvwxyzabcdef://host/\nRequesting ftp://host/\n", out);
    EXPECT_EQ("transfer_protocol length is too long\nunknown transfer transport protocol ftp\n", err);

    /* A 31-character scheme is not "too long", only unknown. */
    EXPECT_EQ(-1, ozcMgrCurlGet("abcdefghijklmnopqrstuvwxyzabcde://h/", ctx.c, nullptr));

    /* The map: HTTP, HTTPS, then the end record. */
    EXPECT_EQ(TRANSFER_PROTOCOL_HTTP, transferProtocolHandlerMap[0].protocol);
    EXPECT_EQ(&ozcMgrCurlMethodByHTTP, transferProtocolHandlerMap[0].handler);
    EXPECT_EQ(TRANSFER_PROTOCOL_HTTPS, transferProtocolHandlerMap[1].protocol);
    EXPECT_EQ(&ozcMgrCurlMethodByHTTPS, transferProtocolHandlerMap[1].handler);
    EXPECT_EQ(nullptr, transferProtocolHandlerMap[2].handler);
}

TEST(TransferContext, ConnectionRefusedIsATransportFailure)
{
    Ctx ctx;
    /* Port 1 on loopback: nothing listens there. */
    EXPECT_EQ(-1, ozcMgrCurlGet("http://127.0.0.1:1/v2/", ctx.c, nullptr));
    EXPECT_EQ(CURLE_COULDNT_CONNECT, curlCtxErrnoGet(ctx.c));
    EXPECT_EQ(0, curlCtxHttpRespCodeGet(ctx.c));
    /* An output file that cannot be opened: not sent, and the flag cleared. */
    const char *bad = "/nonexistent-dir/out";
    ASSERT_EQ(0, curlCtxFileNameSet(ctx.c, bad, strlen(bad)));
    EXPECT_EQ(-1, ozcMgrCurlGet("http://127.0.0.1:1/v2/", ctx.c, nullptr));
    EXPECT_EQ(0, ctx.c->save_to_file);
    EXPECT_STREQ(bad, ctx.c->file_name) << "the name stays";
}

/* Transfer settings of the environment that are not numbers in range fail
 * the request before anything is sent, naming the setting; the request's
 * own sink and bound end with it even then. */
TEST(TransferContext, RefusedSettingsFailTheRequest)
{
    struct Case {
        const char *var, *value;
    } cases[] = {
        {"OZC_HTTP_CONNECT_TIMEOUT", "0"}, {"OZC_HTTP_LOW_SPEED_LIMIT", "-1"}, {"OZC_HTTP_LOW_SPEED_TIME", "6O"},
        {"OZC_HTTP_RETRIES", "11"},        {"OZC_HTTP_RETRY_WAIT_MAX", "1e3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.var);
        regfix::EnvScope setting(c.var, c.value);
        Ctx ctx;
        ASSERT_EQ(0, curlCtxBodyLimitSet(ctx.c, 10));
        ASSERT_EQ(0, curlCtxBodySinkSet(
                         ctx.c, [](const char *, size_t n, void *) { return n; }, nullptr));
        _ozcMgrVerboseFlag = 1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(-1, ozcMgrCurlGet("http://127.0.0.1:1/v2/", ctx.c, nullptr));
        testing::internal::GetCapturedStdout();
        std::string msg = testing::internal::GetCapturedStderr();
        _ozcMgrVerboseFlag = 0;
        EXPECT_EQ(CURLE_BAD_FUNCTION_ARGUMENT, curlCtxErrnoGet(ctx.c));
        EXPECT_NE(std::string::npos, msg.find(std::string(c.var) + "=" + c.value + " is not a whole number from "))
            << msg;
        EXPECT_EQ(nullptr, ctx.c->body_sink);
        EXPECT_EQ(0, ctx.c->body_limited);
    }
}

TEST(HeaderList, AppendAndFree)
{
    HTTP_HEADER *h = httpHeaderCreate();
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(nullptr, h->list);
    EXPECT_EQ(0, httpHeaderAppend(h, "Accept: a"));
    EXPECT_EQ(0, httpHeaderAppend(h, "X-Two: b"));
    EXPECT_EQ(-1, httpHeaderAppend(h, nullptr));
    EXPECT_EQ(-1, httpHeaderAppend(nullptr, "x: y"));
    ASSERT_NE(nullptr, h->list);
    EXPECT_STREQ("Accept: a", h->list->data);
    EXPECT_STREQ("X-Two: b", h->list->next->data);
    EXPECT_EQ(nullptr, h->list->next->next);
    httpHeaderFree(h);
    httpHeaderFree(nullptr);
}

TEST(HeaderValue, FieldsAreFoundCaseInsensitivelyWithOneSecondLook)
{
    char out[64];
    const char *text = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                       "Docker-Content-Digest: sha256:abc\r\n\r\n";
    ASSERT_EQ(0, httpHeaderValGet(text, "content-type", out, sizeof(out)));
    EXPECT_STREQ("application/json", out);
    ASSERT_EQ(0, httpHeaderValGet(text, "DOCKER-CONTENT-DIGEST", out, sizeof(out)));
    EXPECT_STREQ("sha256:abc", out);

    /* A longer name that begins with the field name comes first. */
    const char *prefixed = "content-typex: wrong\r\ncontent-type: right\r\n";
    ASSERT_EQ(0, httpHeaderValGet(prefixed, "content-type", out, sizeof(out)));
    EXPECT_STREQ("right", out);
    /* Only one second look is made. */
    const char *twice = "content-typex: a\r\ncontent-typey: b\r\ncontent-type: c\r\n";
    EXPECT_EQ(-1, httpHeaderValGet(twice, "content-type", out, sizeof(out)));

    /* No space, or more white space, after the colon. */
    ASSERT_EQ(0, httpHeaderValGet("a: 1\r\nlocation:/v2/x\r\n", "location", out, sizeof(out)));
    EXPECT_STREQ("/v2/x", out);
    ASSERT_EQ(0, httpHeaderValGet("etag: \t \"v\"\r\n", "etag", out, sizeof(out)));
    EXPECT_STREQ("\"v\"", out);
    ASSERT_EQ(0, httpHeaderValGet("empty: \r\n", "empty", out, sizeof(out)));
    EXPECT_STREQ("", out);

    EXPECT_EQ(-1, httpHeaderValGet(text, "content-length", out, sizeof(out)));
    EXPECT_EQ(-1, httpHeaderValGet("content-type: no line end", "content-type", out, sizeof(out)));
    EXPECT_EQ(-1, httpHeaderValGet("content-type", "content-type", out, sizeof(out)));
    /* The value must be shorter than the output. */
    char small[5];
    EXPECT_EQ(-1, httpHeaderValGet("x: 12345\r\n", "x", small, sizeof(small)));
    EXPECT_EQ(0, httpHeaderValGet("x: 1234\r\n", "x", small, sizeof(small)));
    EXPECT_STREQ("1234", small);

    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStderr();
    httpHeaderValGet(text, "content-length", out, sizeof(out));
    httpHeaderValGet("content-type: x", "content-type", out, sizeof(out));
    httpHeaderValGet("x: 12345\r\n", "x", small, sizeof(small));
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ("no content-length field found in the HTTP response\n"
              "content-type field value format error in the HTTP response\n"
              "The value's length for field x is too long in the HTTP response\n",
              err);
}

TEST(Challenge, BearerAndBasicChallengesAndTheirFaults)
{
    char method[32], realm[2048], service[32];
    auto parse = [&](const char *text) {
        method[0] = realm[0] = service[0] = '\0';
        return httpHeaderAuthGet(text, method, sizeof(method), realm, sizeof(realm), service, sizeof(service));
    };
    ASSERT_EQ(0, parse("HTTP/2 401\r\nwww-authenticate: Bearer realm=\"https://auth/token\","
                       "service=\"registry\",scope=\"repository:a:pull\"\r\n\r\n"));
    EXPECT_STREQ("Bearer", method);
    EXPECT_STREQ("https://auth/token", realm);
    EXPECT_STREQ("registry", service);
    ASSERT_EQ(0, parse("WWW-Authenticate: Bearer realm=\"r\",service=\"s\"\r\n"));
    EXPECT_STREQ("r", realm);

    /* The first challenge wins. */
    ASSERT_EQ(0, parse("www-authenticate: Bearer realm=\"one\",service=\"s1\"\r\n"
                       "www-authenticate: Bearer realm=\"two\",service=\"s2\"\r\n"));
    EXPECT_STREQ("one", realm);
    EXPECT_STREQ("s1", service);

    EXPECT_EQ(-1, parse("www-authenticate: Bearer service=\"s\",realm=\"r\"\r\n"));
    EXPECT_EQ(-1, parse("www-authenticate: Basic realm=\"basic\"\r\n"));
    EXPECT_STREQ("Basic", method);
    EXPECT_EQ(-1, parse("content-type: text/plain\r\n"));
    EXPECT_EQ(-1, parse("www-authenticate: Bearer\r\n"));
    EXPECT_EQ(-1, parse("www-authenticate: Bearer service=\"s\"\r\n"));
    EXPECT_EQ(-1, parse("www-authenticate: Bearer realm=\"open ended"));
    EXPECT_EQ(-1, parse("www-authenticate: Bearer realm=\"r\",service=\"open"));
    EXPECT_EQ(-1, parse(("www-authenticate: " + std::string(32, 'M') + " realm=\"r\",service=\"s\"\r\n").c_str()));
    EXPECT_EQ(0, parse(("www-authenticate: " + std::string(31, 'M') + " realm=\"r\",service=\"s\"\r\n").c_str()));
    EXPECT_EQ(-1,
              parse(("www-authenticate: Bearer realm=\"" + std::string(2048, 'r') + "\",service=\"s\"\r\n").c_str()));
    EXPECT_EQ(-1, parse(("www-authenticate: Bearer realm=\"r\",service=\"" + std::string(32, 's') + "\"\r\n").c_str()));

    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStderr();
    parse("www-authenticate: Bearer service=\"s\",realm=\"r\"\r\n");
    parse("x: y\r\n");
    parse("www-authenticate: Bearer\r\n");
    parse("www-authenticate: Bearer service=\"s\"\r\n");
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ("no service found in the HTTP response\n"
              "no www-authenticate field found in the HTTP response\n"
              "www-authenticate field value format error in the HTTP response\n"
              "no realm found in the HTTP response\n",
              err);
}

TEST(ReasonPhrase, TableOfSixtyOneCodes)
{
    EXPECT_EQ(61, HTTP_RESPONSE_CODE_COUNT);
    for (int i = 1; i < HTTP_RESPONSE_CODE_COUNT; ++i)
        EXPECT_LT(response_code_table[i - 1].code_id, response_code_table[i].code_id);
    EXPECT_STREQ("Continue", httpResponseCodeStrGet(100));
    EXPECT_STREQ("OK", httpResponseCodeStrGet(200));
    EXPECT_STREQ("Unauthorized", httpResponseCodeStrGet(401));
    EXPECT_STREQ("Payload Too Large", httpResponseCodeStrGet(413));
    EXPECT_STREQ("Network Authentication Required", httpResponseCodeStrGet(511));
    EXPECT_STREQ("Unknown response code", httpResponseCodeStrGet(418));
    EXPECT_STREQ("Unknown response code", httpResponseCodeStrGet(0));
    EXPECT_STREQ("Unknown response code", httpResponseCodeStrGet(306));
}

} /* namespace */
