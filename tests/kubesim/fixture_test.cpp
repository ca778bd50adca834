// The C++ fixture of the API server emulator: start/stop, the TLS side with
// client certificates through libcurl (as the node agent's client talks to
// it), the admin side door and fault injection.
#include "kubesim/kubesim_fixture.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

size_t collect(char *data, size_t size, size_t n, void *user)
{
    static_cast<std::string *>(user)->append(data, size * n);
    return size * n;
}

// One HTTPS request; returns the HTTP code (0 when no answer arrived).
long httpsGet(const KubesimProcess &sim, const std::string &path, bool withCert, std::string *body)
{
    CURL *c = curl_easy_init();
    if (c == nullptr) {
        return -1;
    }
    std::string url = sim.url() + path;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CAINFO, sim.caPath().c_str());
    if (withCert) {
        curl_easy_setopt(c, CURLOPT_SSLCERT, sim.certPath().c_str());
        curl_easy_setopt(c, CURLOPT_SSLKEY, sim.keyPath().c_str());
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    long code = 0;
    if (curl_easy_perform(c) == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    }
    curl_easy_cleanup(c);
    return code;
}

class KubesimFixtureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        sim_ = new KubesimProcess();
        ASSERT_TRUE(sim_->start("fixture-node")) << sim_->lastError();
    }
    static void TearDownTestSuite()
    {
        delete sim_;
        sim_ = nullptr;
        curl_global_cleanup();
    }
    static KubesimProcess *sim_;
};
KubesimProcess *KubesimFixtureTest::sim_ = nullptr;

TEST_F(KubesimFixtureTest, TlsWithClientCertificateReadsWhatTheSideDoorCreated)
{
    const std::string node = R"({"apiVersion":"v1","kind":"Node","metadata":{"name":"fixture-node"}})";
    std::string created;
    ASSERT_EQ(201, sim_->request("POST", "/api/v1/nodes", node, &created)) << created;

    std::string body;
    EXPECT_EQ(200, httpsGet(*sim_, "/api/v1/nodes/fixture-node", true, &body));
    EXPECT_NE(std::string::npos, body.find("\"uid\"")) << body;

    body.clear();
    EXPECT_EQ(401, httpsGet(*sim_, "/api/v1/nodes/fixture-node", false, &body));
    EXPECT_NE(std::string::npos, body.find("\"Unauthorized\"")) << body;

    body.clear();
    EXPECT_EQ(404, httpsGet(*sim_, "/api/v1/nodes/absent", true, &body));
    EXPECT_NE(std::string::npos, body.find("nodes \\\"absent\\\" not found")) << body;

    // The request log names the node's certificate subject.
    EXPECT_NE(std::string::npos, sim_->requestsJson().find("system:node:fixture-node"));
}

TEST_F(KubesimFixtureTest, FaultsAnswerTheNextMatchingRequestsOnly)
{
    ASSERT_TRUE(sim_->addFault("GET", "/api/v1/namespaces/default", 503, 2));
    std::string body;
    EXPECT_EQ(503, httpsGet(*sim_, "/api/v1/namespaces/default", true, &body));
    EXPECT_EQ(200, httpsGet(*sim_, "/api/v1/namespaces/kube-system", true, &body)); // other path untouched
    EXPECT_EQ(503, httpsGet(*sim_, "/api/v1/namespaces/default", true, &body));
    EXPECT_EQ(200, httpsGet(*sim_, "/api/v1/namespaces/default", true, &body));

    ASSERT_TRUE(sim_->addFault("*", "/api/v1/namespaces/.*", 0, 1, 0, true));
    EXPECT_EQ(0, httpsGet(*sim_, "/api/v1/namespaces/default", true, &body)); // connection lost
    EXPECT_EQ(200, httpsGet(*sim_, "/api/v1/namespaces/default", true, &body));

    ASSERT_TRUE(sim_->addFault("GET", "/api/v1/namespaces/default", 429, 5));
    ASSERT_TRUE(sim_->clearFaults());
    EXPECT_EQ(200, httpsGet(*sim_, "/api/v1/namespaces/default", true, &body));
}

TEST(KubesimFixture, StopRemovesEverythingAndRestartGivesAFreshServer)
{
    KubesimProcess sim;
    ASSERT_TRUE(sim.start()) << sim.lastError();
    std::string dir = sim.dir();
    int port = sim.port();
    EXPECT_TRUE(std::filesystem::exists(sim.caPath()));
    EXPECT_TRUE(std::filesystem::exists(sim.kubeconfigPath()));
    sim.stop();
    EXPECT_FALSE(sim.running());
    EXPECT_FALSE(std::filesystem::exists(dir));
    ASSERT_TRUE(sim.start()) << sim.lastError();
    EXPECT_NE(dir, sim.dir());
    (void)port;
    std::string body;
    EXPECT_EQ(404, sim.request("GET", "/api/v1/nodes/fixture-node", "", &body)); // no state carried over
}

TEST(KubesimFixture, HaltAndResumeKeepPortsObjectsAndVersions)
{
    KubesimProcess sim;
    ASSERT_TRUE(sim.start("state-node")) << sim.lastError();
    std::string made;
    ASSERT_EQ(201, sim.request("POST", "/api/v1/namespaces/default/configmaps",
                               R"({"metadata":{"name":"kept"},"data":{"a":"1"}})", &made))
        << made;
    auto version = [](const std::string &json) {
        size_t at = json.find("\"resourceVersion\": \"");
        return at == std::string::npos ? std::string() : json.substr(at + 20, json.find('"', at + 20) - at - 20);
    };
    ASSERT_FALSE(version(made).empty()) << made;
    int port = sim.port();

    ASSERT_TRUE(sim.halt());
    std::string body;
    EXPECT_EQ(0, httpsGet(sim, "/api/v1/namespaces/default/configmaps/kept", true, &body)); // nothing listens
    ASSERT_TRUE(sim.resume()) << sim.lastError();
    EXPECT_EQ(port, sim.port());
    EXPECT_EQ(200, httpsGet(sim, "/api/v1/namespaces/default/configmaps/kept", true, &body)) << body;
    EXPECT_EQ(version(made), version(body)) << body;

    ASSERT_TRUE(sim.restart(/*kill=*/true)) << sim.lastError(); // as after a crash
    body.clear();
    EXPECT_EQ(200, httpsGet(sim, "/api/v1/namespaces/default/configmaps/kept", true, &body)) << body;
    EXPECT_EQ(version(made), version(body)) << body;
}

} // namespace
