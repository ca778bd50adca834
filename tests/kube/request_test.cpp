// The request layer of the Kubernetes API client against a scripted local
// HTTP peer: the exact method, path, query, headers and body of every
// operation, and what the caller gets for replies that are not JSON, cut
// short, or missing.
#include "kube.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Answers each connection with the next scripted reply (raw bytes, sent as
// they are, then the connection is closed) and records the request it read.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<std::string> replies) : replies_(std::move(replies))
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
            return;
        }
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Waits until every scripted reply has gone out.
    void join()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // The requests received; read after join().
    const std::vector<std::string> &requests() const { return requests_; }

private:
    void serve()
    {
        for (const std::string &reply : replies_) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) {
                return;
            }
            requests_.push_back(readRequest(c));
            size_t sent = 0;
            while (sent < reply.size()) {
                ssize_t n = send(c, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<size_t>(n);
            }
            shutdown(c, SHUT_WR);
            // Read what the client still sends until it closes; a client
            // that keeps its connection for the next request is given up on
            // after a moment.
            char drain[256];
            pollfd p{c, POLLIN, 0};
            while (poll(&p, 1, 200) > 0 && recv(c, drain, sizeof drain, 0) > 0) {
            }
            close(c);
        }
    }
    static std::string readRequest(int c)
    {
        std::string text;
        char buf[4096];
        size_t need = std::string::npos;
        while (need == std::string::npos || text.size() < need) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            text.append(buf, static_cast<size_t>(n));
            size_t head = text.find("\r\n\r\n");
            if (need == std::string::npos && head != std::string::npos) {
                size_t cl = text.find("Content-Length: ");
                size_t length =
                    (cl != std::string::npos && cl < head) ? std::strtoul(text.c_str() + cl + 16, nullptr, 10) : 0;
                need = head + 4 + length;
            }
        }
        return text;
    }

    std::vector<std::string> replies_;
    std::vector<std::string> requests_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

std::string reply(int code, const std::string &body, const char *reason = "OK")
{
    return "HTTP/1.1 " + std::to_string(code) + " " + reason +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

const std::string kPod = R"({"kind":"Pod","apiVersion":"v1","metadata":{"name":"p","namespace":"ns","uid":"u1"}})";

std::string requestLine(const std::string &req)
{
    return req.substr(0, req.find("\r\n"));
}

std::string header(const std::string &req, const std::string &name)
{
    size_t at = req.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return "<none>";
    }
    at += name.size() + 4;
    return req.substr(at, req.find("\r\n", at) - at);
}

std::string bodyOf(const std::string &req)
{
    size_t at = req.find("\r\n\r\n");
    return at == std::string::npos ? "" : req.substr(at + 4);
}

object_t *patch(const char *text)
{
    object_t *o = object_create();
    o->temporary = strdup(text);
    return o;
}

class KubeRequest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { apiClient_setupGlobalEnv(); }
    static void TearDownTestSuite() { apiClient_unsetupGlobalEnv(); }
};

TEST_F(KubeRequest, EveryOperationSendsItsMethodPathQueryAndBody)
{
    std::vector<std::string> replies(11, reply(200, kPod));
    ScriptedPeer peer(replies);
    apiClient_t *c = apiClient_create_with_base_path(peer.base().c_str(), nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    char ns[] = "ns", name[] = "p", odd[] = "n 1/x", tru[] = "true", all[] = "All", mgr[] = "ferry";

    v1_node_free(CoreV1API_readNode(c, odd, tru));
    v1_node_t *node =
        v1_node_create(strdup("v1"), strdup("Node"),
                       v1_object_meta_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                             strdup("n1"), nullptr, nullptr, nullptr, nullptr, nullptr),
                       nullptr, nullptr);
    v1_node_free(CoreV1API_createNode(c, node, nullptr, all, mgr, nullptr));
    object_t *nodePatch = patch(R"({"status":{"phase":"Running"}})");
    v1_node_free(CoreV1API_patchNodeStatus(c, odd, nodePatch, nullptr, nullptr, nullptr, nullptr, 1));
    char sel[] = "spec.nodeName=n1", rv[] = "42";
    v1_pod_list_free(CoreV1API_listPodForAllNamespaces(c, 1, nullptr, sel, nullptr, 0, nullptr, rv, nullptr, 5, 1));
    v1_pod_list_free(
        CoreV1API_listPodForAllNamespaces(c, 0, nullptr, sel, nullptr, 10, nullptr, nullptr, nullptr, 0, 0));
    v1_secret_free(CoreV1API_readNamespacedSecret(c, name, ns, nullptr));
    v1_pod_free(CoreV1API_readNamespacedPod(c, name, ns, nullptr));
    v1_pod_free(CoreV1API_patchNamespacedPodStatus(c, name, ns, nodePatch, nullptr, nullptr, nullptr, nullptr, 0));
    v1_delete_options_t *opts = v1_delete_options_create(nullptr, nullptr, 0, nullptr, 0,
                                                         v1_preconditions_create(strdup("7"), strdup("u1")), nullptr);
    v1_pod_free(CoreV1API_deleteNamespacedPod(c, name, ns, nullptr, nullptr, 0, 0, nullptr, opts));
    char lease[] = "kube-node-lease";
    v1_lease_t *l =
        v1_lease_create(nullptr, nullptr, nullptr, v1_lease_spec_create(nullptr, strdup("n1"), 40, 0, nullptr));
    v1_lease_free(CoordinationV1API_createNamespacedLease(c, lease, l, nullptr, nullptr, nullptr, nullptr));
    v1_lease_free(CoordinationV1API_readNamespacedLease(c, odd, lease, nullptr));
    apiClient_free(c);

    peer.join();
    ASSERT_EQ(peer.requests().size(), 11u);
    const auto &r = peer.requests();
    EXPECT_EQ(requestLine(r[0]), "GET /api/v1/nodes/n%201%2Fx?pretty=true HTTP/1.1");
    EXPECT_EQ(header(r[0], "Accept"), "application/json");
    EXPECT_EQ(header(r[0], "Content-Type"), "<none>");
    EXPECT_EQ(requestLine(r[1]), "POST /api/v1/nodes?dryRun=All&fieldManager=ferry HTTP/1.1");
    EXPECT_EQ(header(r[1], "Content-Type"), "application/json");
    EXPECT_EQ(bodyOf(r[1]), R"({"apiVersion":"v1","kind":"Node","metadata":{"name":"n1"}})");
    EXPECT_EQ(requestLine(r[2]), "PATCH /api/v1/nodes/n%201%2Fx/status?force=true HTTP/1.1");
    EXPECT_EQ(header(r[2], "Content-Type"), "application/strategic-merge-patch+json");
    EXPECT_EQ(bodyOf(r[2]), R"({"status":{"phase":"Running"}})");
    EXPECT_EQ(requestLine(r[3]), "GET /api/v1/pods?allowWatchBookmarks=true&fieldSelector=spec.nodeName%3Dn1"
                                 "&resourceVersion=42&timeoutSeconds=5&watch=true HTTP/1.1");
    EXPECT_EQ(requestLine(r[4]), "GET /api/v1/pods?fieldSelector=spec.nodeName%3Dn1&limit=10 HTTP/1.1");
    EXPECT_EQ(requestLine(r[5]), "GET /api/v1/namespaces/ns/secrets/p HTTP/1.1");
    EXPECT_EQ(requestLine(r[6]), "GET /api/v1/namespaces/ns/pods/p HTTP/1.1");
    EXPECT_EQ(requestLine(r[7]), "PATCH /api/v1/namespaces/ns/pods/p/status HTTP/1.1");
    EXPECT_EQ(header(r[7], "Content-Type"), "application/strategic-merge-patch+json");
    EXPECT_EQ(requestLine(r[8]), "DELETE /api/v1/namespaces/ns/pods/p HTTP/1.1");
    EXPECT_EQ(header(r[8], "Content-Type"), "application/json");
    EXPECT_EQ(bodyOf(r[8]), R"({"preconditions":{"resourceVersion":"7","uid":"u1"}})");
    EXPECT_EQ(requestLine(r[9]), "POST /apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases HTTP/1.1");
    EXPECT_EQ(bodyOf(r[9]), R"({"spec":{"holderIdentity":"n1","leaseDurationSeconds":40}})");
    EXPECT_EQ(requestLine(r[10]),
              "GET /apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases/n%201%2Fx HTTP/1.1");

    // Request bodies stay the caller's.
    EXPECT_STREQ(static_cast<char *>(nodePatch->temporary), R"({"status":{"phase":"Running"}})");
    object_free(nodePatch);
    v1_node_free(node);
    v1_delete_options_free(opts);
    v1_lease_free(l);
}

TEST_F(KubeRequest, LeasePatchIsAStrategicMergePatchAndTheBasePathIsKeptAsGiven)
{
    ScriptedPeer peer({reply(200, R"({"kind":"Lease","metadata":{"name":"n1"}})")});
    // A base path with a prefix (a proxy in front of the server) is used as given.
    std::string base = peer.base() + "/k8s";
    apiClient_t *c = apiClient_create_with_base_path(base.c_str(), nullptr, nullptr);
    char ns[] = "kube-node-lease", name[] = "n1";
    object_t *body = patch(R"({"spec":{"renewTime":"2026-12-07T08:45:46.000000Z"}})");
    v1_lease_t *lease =
        CoordinationV1API_patchNamespacedLease(c, name, ns, body, nullptr, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(lease, nullptr);
    EXPECT_STREQ(lease->metadata->name, "n1");
    EXPECT_EQ(c->response_code, 200);
    v1_lease_free(lease);
    object_free(body);
    apiClient_free(c);
    peer.join();
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(requestLine(peer.requests()[0]),
              "PATCH /k8s/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases/n1 HTTP/1.1");
    EXPECT_EQ(header(peer.requests()[0], "Content-Type"), "application/strategic-merge-patch+json");
}

// Replies that are no usable JSON give null with the HTTP code and the body
// kept for the caller; replies cut short or missing give code 0.
TEST_F(KubeRequest, MalformedAndBrokenRepliesGiveNullAndTheRightCode)
{
    // Cut short where the text happens to be a whole object: still no answer.
    const std::string truncated = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 400\r\n\r\n"
                                  "{\"kind\":\"Pod\",\"metadata\":{\"uid\":\"u1\"}}";
    ScriptedPeer peer({
        reply(200, "{not json"), reply(200, ""), reply(502, "<html>bad gateway</html>", "Bad Gateway"),
        reply(200, "[1,2]"), reply(200, R"({"kind":"Pod","metadata":{"name":7}})"), truncated,
        "",                                               // closed without a reply
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", // a minimal object is a record
    });
    apiClient_t *c = apiClient_create_with_base_path(peer.base().c_str(), nullptr, nullptr);
    char ns[] = "ns", name[] = "p";
    struct Expect {
        long code;
        const char *data; // null: no body kept
        int err;
    } expected[] = {
        {200, "{not json", EBADMSG},
        {200, nullptr, 0},
        {502, "<html>bad gateway</html>", EBADMSG},
        {200, "[1,2]", EBADMSG},
        {200, R"({"kind":"Pod","metadata":{"name":7}})", EBADMSG},
        {0, nullptr, EIO},
        {0, nullptr, EIO},
    };
    for (const Expect &e : expected) {
        errno = 0;
        v1_pod_t *pod = CoreV1API_readNamespacedPod(c, name, ns, nullptr);
        EXPECT_EQ(pod, nullptr);
        EXPECT_EQ(errno, e.err) << e.code << " " << (e.data ? e.data : "");
        v1_pod_free(pod);
        EXPECT_EQ(c->response_code, e.code);
        if (e.data != nullptr) {
            ASSERT_NE(c->dataReceived, nullptr);
            EXPECT_STREQ(static_cast<char *>(c->dataReceived), e.data);
            EXPECT_EQ(c->dataReceivedLen, static_cast<long>(strlen(e.data)));
        } else if (e.code != 0) {
            EXPECT_EQ(c->dataReceivedLen, 0);
        }
    }
    v1_pod_t *pod = CoreV1API_readNamespacedPod(c, name, ns, nullptr);
    ASSERT_NE(pod, nullptr);
    EXPECT_EQ(pod->metadata, nullptr);
    v1_pod_free(pod);
    apiClient_free(c);
}

TEST_F(KubeRequest, RefusedArgumentsAndUnreachableServer)
{
    char ns[] = "ns", name[] = "p";
    EXPECT_EQ(apiClient_create_with_base_path(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CoreV1API_readNode(nullptr, name, nullptr), nullptr);

    // Nothing listens on the port any more: no HTTP answer, code 0, and the
    // previous answer's data is gone.
    int port;
    {
        ScriptedPeer peer({reply(200, kPod)});
        port = std::stoi(peer.base().substr(peer.base().rfind(':') + 1));
        apiClient_t *c = apiClient_create_with_base_path(peer.base().c_str(), nullptr, nullptr);
        v1_pod_free(CoreV1API_readNamespacedPod(c, name, ns, nullptr));
        apiClient_free(c);
    }
    std::string gone = "http://127.0.0.1:" + std::to_string(port);
    apiClient_t *c = apiClient_create_with_base_path(gone.c_str(), nullptr, nullptr);
    c->response_code = 999;
    c->dataReceived = strdup("stale");
    c->dataReceivedLen = 5;
    EXPECT_EQ(CoreV1API_readNamespacedPod(c, name, ns, nullptr), nullptr);
    EXPECT_EQ(c->response_code, 0);
    EXPECT_EQ(c->dataReceived, nullptr);
    EXPECT_EQ(c->dataReceivedLen, 0);

    // Missing arguments are refused before sending, with EINVAL.
    c->response_code = 999;
    errno = 0;
    EXPECT_EQ(CoreV1API_readNamespacedPod(c, nullptr, ns, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(c->response_code, 0);
    EXPECT_EQ(CoreV1API_patchNodeStatus(c, name, nullptr, nullptr, nullptr, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(CoordinationV1API_createNamespacedLease(c, ns, nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
    apiClient_free(c);

    sslConfig_t *tls = sslConfig_create("/c.crt", nullptr, "/ca.crt", 1);
    ASSERT_NE(tls, nullptr);
    EXPECT_STREQ(tls->clientCertFile, "/c.crt");
    EXPECT_EQ(tls->clientKeyFile, nullptr);
    EXPECT_STREQ(tls->CACertFile, "/ca.crt");
    sslConfig_free(tls);
    sslConfig_free(nullptr);
    apiClient_free(nullptr);
}

} // namespace
