/* ECR client: the signed GetAuthorizationToken exchange over real TLS against
 * a local endpoint (ecr_endpoint.py) that recomputes every signature from
 * the secret as the service does, and answers with tokens, errors or
 * malformed replies. Loopback only: the operator endpoint variable points at
 * a "*.localhost" name, which libcurl resolves to loopback by itself, so the
 * product code has no test-only redirection at all. */
#include <gtest/gtest.h>

#include "ozPlatform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ozPlatform.h"
#include "ozcMgrAwsEcrLib.h"
#include "ozcMgrCurlLib.h"
#include "ozcMgrUtil.h"
#include "ozcMgrInt.h"

extern char **environ;

namespace {

constexpr const char *kAccessKey = "AKIDEXAMPLE";
constexpr const char *kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
constexpr const char *kPassword = "eyJwYXlsb2FkIjoi-registry-password-AWS:colon";
constexpr const char *kRegion = "us-west-2";
constexpr const char *kApiName = "api.ecr.us-west-2.amazonaws.com.localhost";

std::string sourceDir()
{
    const char *s = getenv("OZ_TEST_SOURCE_DIR");
    if (s != nullptr) {
        return std::string(s) + "/tests/manager";
    }
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/'));
}

int run(const std::string &cmd)
{
    return system((cmd + " >/dev/null 2>&1").c_str());
}

/* A CA and one server certificate for the local names, in a temp dir. */
struct Certs {
    std::string dir, ca, cert, key;
    bool make(const std::vector<std::string> &names)
    {
        char tmpl[] = "/tmp/ozc-ecr-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return false;
        }
        dir = tmpl;
        ca = dir + "/ca.crt";
        cert = dir + "/server.crt";
        key = dir + "/server.key";
        std::string san = "subjectAltName=IP:127.0.0.1";
        for (const auto &n : names) {
            san += ",DNS:" + n;
        }
        std::ofstream(dir + "/ext.cnf") << san << "\n";
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        return run("openssl req -x509" + ec + " -keyout " + dir + "/ca.key -out " + ca +
                   " -days 2 -subj /CN=ozc-ecr-test-ca -addext basicConstraints=critical,CA:TRUE"
                   " -addext keyUsage=critical,keyCertSign") == 0 &&
               run("openssl req" + ec + " -keyout " + key + " -out " + dir + "/server.csr -subj /CN=ozc-ecr-test") ==
                   0 &&
               run("openssl x509 -req -in " + dir + "/server.csr -CA " + ca + " -CAkey " + dir +
                   "/ca.key -CAcreateserial -out " + cert + " -days 2 -extfile " + dir + "/ext.cnf") == 0;
    }
    ~Certs()
    {
        if (!dir.empty()) {
            ozRmTree(dir.c_str());
        }
    }
};

/* The local endpoint process. */
struct Endpoint {
    pid_t pid = -1;
    int port = 0;
    std::string log;
    bool start(const Certs &c)
    {
        log = c.dir + "/requests.log";
        std::string script = sourceDir() + "/ecr_endpoint.py";
        std::vector<std::string> args = {"python3",    script,         "--cert",   c.cert,     "--key",
                                         c.key,        "--access-key", kAccessKey, "--secret", kSecret,
                                         "--password", kPassword,      "--log",    log};
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0) {
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        int rc = posix_spawnp(&pid, "python3", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            pid = -1;
            return false;
        }
        /* The port line, read to its end before the pipe is closed. */
        std::string line;
        char ch = 0;
        while (line.size() < 16 && read(fds[0], &ch, 1) == 1 && ch != '\n') {
            line += ch;
        }
        close(fds[0]);
        port = atoi(line.c_str());
        return port > 0;
    }
    ~Endpoint()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    /* Requests received so far, one parsed JSON object each. */
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::ifstream f(log);
        for (std::string l; std::getline(f, l);) {
            out.push_back(l);
        }
        return out;
    }
};

std::string field(const std::string &json, const char *name)
{
    cJSON *j = cJSON_Parse(json.c_str());
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(j, name);
    std::string out;
    if (cJSON_IsString(v)) {
        out = v->valuestring;
    } else if (cJSON_IsBool(v)) {
        out = cJSON_IsTrue(v) ? "true" : "false";
    } else if (cJSON_IsArray(v)) {
        out = std::to_string(cJSON_GetArraySize(v));
    }
    cJSON_Delete(j);
    return out;
}

time_t fixedClock(time_t *t)
{
    time_t v = 1796634312; /* 2026-12-07T09:05:12Z */
    if (t != nullptr) {
        *t = v;
    }
    return v;
}

class EcrExchange : public ::testing::Test {
protected:
    static Certs *certs;
    static Endpoint *endpoint;

    static void SetUpTestSuite()
    {
        certs = new Certs;
        endpoint = new Endpoint;
        if (!certs->make({kApiName})) {
            return;
        }
        endpoint->start(*certs);
    }
    static void TearDownTestSuite()
    {
        delete endpoint;
        delete certs;
        endpoint = nullptr;
        certs = nullptr;
    }

    CURL_CTX *ctx = nullptr;

    void SetUp() override
    {
        if (endpoint->port == 0) {
            GTEST_SKIP() << "local endpoint did not start (python3 and openssl needed)";
        }
        ozEnvSet("OZC_TLS_CA_CERT_FILE", certs->ca.c_str());
        setEndpoint(kApiName, endpoint->port);
        ctx = curlCtxCreate();
        ASSERT_NE(nullptr, ctx);
        curlCtxSecureSet(ctx, 1);
        /* As the registry authentication leaves them: the AWS keys are the
         * context's basic credentials; they must not go out as such. */
        curlCtxUserNameSet(ctx, kAccessKey, strlen(kAccessKey));
        curlCtxUserPwdSet(ctx, kSecret, strlen(kSecret));
    }
    void TearDown() override
    {
        curlCtxDelete(ctx);
        ozcMgrAwsEcrClockSet(nullptr);
        ozEnvSet(AWS_ECR_ENDPOINT_ENV, nullptr);
        ozEnvSet("OZC_TLS_CA_CERT_FILE", nullptr);
        _ozcMgrVerboseFlag = 0;
    }
    static void setEndpoint(const char *name, int port)
    {
        std::string url = "https://" + std::string(name) + ":" + std::to_string(port) + "/";
        ozEnvSet(AWS_ECR_ENDPOINT_ENV, url.c_str());
    }
    AWS_ECR_CLIENT *client(const char *registry_id, const char *secret = kSecret)
    {
        return ozcMgrAwsEcrClientCreate(registry_id, kRegion, kAccessKey, secret, ctx);
    }
    std::string lastRequest() const
    {
        auto l = endpoint->lines();
        return l.empty() ? "" : l.back();
    }
};
Certs *EcrExchange::certs = nullptr;
Endpoint *EcrExchange::endpoint = nullptr;

TEST_F(EcrExchange, SignedCallYieldsRegistryPassword)
{
    AWS_ECR_CLIENT *c = client("123456789012");
    ASSERT_NE(nullptr, c);
    const char *pw = ozcMgrAwsEcrPasswordGet(c);
    ASSERT_NE(nullptr, pw);
    EXPECT_STREQ(kPassword, pw);
    EXPECT_EQ(c->token, pw);

    std::string req = lastRequest();
    EXPECT_EQ("true", field(req, "verified")) << req;
    /* The host connected to is the host signed (the endpoint verified the
     * signature over the Host header it received). */
    EXPECT_EQ(std::string(kApiName) + ":" + std::to_string(endpoint->port), field(req, "host"));
    EXPECT_EQ(kRegion, field(req, "region"));
    EXPECT_EQ("/", field(req, "path"));
    EXPECT_EQ("1", field(req, "authorization")) << "exactly one Authorization header";
    EXPECT_EQ("{\"Action\": \"GetAuthorizationToken\", \"Version\": \"2015-09-21\", "
              "\"registryIds\": [\"123456789012\"]}",
              field(req, "body"));
    /* The reply held the password in base64; it is not left in the context. */
    EXPECT_EQ(nullptr, strstr(curlCtxRespBodyGet(ctx)->str, "authorizationToken"));
    ozcMgrAwsEcrClientDelete(c);
}

TEST_F(EcrExchange, FixedClockDatesTheRequest)
{
    ozcMgrAwsEcrClockSet(fixedClock);
    AWS_ECR_CLIENT *c = client("123456789012");
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(0, ozcMgrAwsEcrAuthTokenGet(c));
    std::string req = lastRequest();
    EXPECT_EQ("20261207T090512Z", field(req, "amz_date"));
    EXPECT_EQ("true", field(req, "verified"));
    EXPECT_NE(std::string::npos, req.find("Credential=AKIDEXAMPLE/20261207/us-west-2/ecr/aws4_request"));
    ozcMgrAwsEcrClientDelete(c);
}

TEST_F(EcrExchange, RefusedAndErrorAnswers)
{
    /* Wrong secret: the endpoint's signature check fails (403). */
    AWS_ECR_CLIENT *c = client("123456789012", "not-the-secret");
    ASSERT_NE(nullptr, c);
    errnoSet(0);
    EXPECT_EQ(nullptr, ozcMgrAwsEcrPasswordGet(c));
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, errnoGet());
    EXPECT_EQ("false", field(lastRequest(), "verified"));
    ozcMgrAwsEcrClientDelete(c);

    /* 400 with an error body: the body is in the message. */
    c = client("400000000000");
    ASSERT_NE(nullptr, c);
    _ozcMgrVerboseFlag = 1;
    testing::internal::CaptureStderr();
    errnoSet(0);
    EXPECT_EQ(-1, ozcMgrAwsEcrAuthTokenGet(c));
    std::string err = testing::internal::GetCapturedStderr();
    _ozcMgrVerboseFlag = 0;
    EXPECT_EQ(OZC_MGR_ERR_HTTP_NOT_OK, errnoGet());
    EXPECT_NE(std::string::npos, err.find("ozcMgrAwsEcrAuthTokenGet error : "
                                          "{\"__type\": \"InvalidParameterException\""))
        << err;
    EXPECT_STREQ("", c->token);
    ozcMgrAwsEcrClientDelete(c);
}

TEST_F(EcrExchange, MalformedRepliesFailTheTokenFetch)
{
    const char *ids[] = {"200000000001", "200000000002", "200000000003", "200000000004", "200000000005",
                         "200000000006", "200000000007", "200000000008", "200000000009", "200000000010"};
    for (const char *id : ids) {
        AWS_ECR_CLIENT *c = client(id);
        ASSERT_NE(nullptr, c);
        errnoSet(0);
        EXPECT_EQ(nullptr, ozcMgrAwsEcrPasswordGet(c)) << id;
        EXPECT_EQ(OZC_MGR_ERR_TOKEN_FETCH, errnoGet()) << id;
        EXPECT_EQ("true", field(lastRequest(), "verified")) << id;
        EXPECT_STREQ("", c->token) << id;
        ozcMgrAwsEcrClientDelete(c);
    }
}

TEST_F(EcrExchange, TransportAndEndpointFailures)
{
    /* Nothing listens on port 1 of loopback. */
    setEndpoint(kApiName, 1);
    AWS_ECR_CLIENT *c = client("123456789012");
    ASSERT_NE(nullptr, c);
    errnoSet(0);
    EXPECT_EQ(-1, ozcMgrAwsEcrAuthTokenGet(c));
    EXPECT_EQ(OZC_MGR_ERR_CURL_FAILED, errnoGet());

    /* A certificate that does not name the host: TLS fails, nothing sent. */
    size_t before = endpoint->lines().size();
    setEndpoint("other.localhost", endpoint->port);
    errnoSet(0);
    EXPECT_EQ(-1, ozcMgrAwsEcrAuthTokenGet(c));
    EXPECT_EQ(OZC_MGR_ERR_CURL_FAILED, errnoGet());

    /* A malformed operator endpoint: refused before any request. */
    ozEnvSet(AWS_ECR_ENDPOINT_ENV, "http://127.0.0.1:1/");
    errnoSet(0);
    EXPECT_EQ(-1, ozcMgrAwsEcrAuthTokenGet(c));
    EXPECT_EQ(OZC_MGR_ERR_INVALID_ARG, errnoGet());
    EXPECT_EQ(before, endpoint->lines().size());
    ozcMgrAwsEcrClientDelete(c);
}

} // namespace
