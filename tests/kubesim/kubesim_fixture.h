/*
 * kubesim_fixture.h - start and stop the Kubernetes API server emulator
 * (tests/kubesim/kubesim.py) from a C++ test.
 *
 *   KubesimProcess sim;
 *   ASSERT_TRUE(sim.start("node1")) << sim.lastError();
 *   // HTTPS API with client certificates:
 *   //   sim.url(), sim.caPath(), sim.certPath(), sim.keyPath()
 *   // plain-HTTP side door to the same API (no certificate) and test controls:
 *   sim.request("POST", "/api/v1/namespaces/default/pods", podJson);
 *   sim.addFault("GET", "/api/v1/nodes/node1", 503, 2);   // next 2 reads answer 503
 *   sim.compact();                                        // older watch versions answer 410
 *   sim.restart();         // stop and start again: same ports, same objects and resourceVersions
 *   sim.halt(); ... sim.resume();                         // an outage of the API server
 *
 * Every instance has its own temporary directory (certificates, ready file,
 * request log, server output), its own free ports, and removes everything in
 * stop() or the destructor.  The server also exits by itself when the test
 * process dies.  Test code only: not for product code.
 */
#ifndef KUBESIM_FIXTURE_H
#define KUBESIM_FIXTURE_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <map>
#include <vector>

#include "testutil/testjson.h"
#include "testutil/testutil.h"

extern char **environ;

/* One request the emulator's HTTPS port (the client under test) received. */
struct KubesimRequest {
    double time = 0; /* seconds since the epoch, when the emulator took it */
    std::string method, path, contentType, body;
    std::string user; /* the client certificate's user, "<absent>" without one */
    std::map<std::string, std::string> query;
    int status = 0;
    bool faulted = false; /* answered by an injected fault */
};

class KubesimProcess {
public:
    KubesimProcess() = default;
    KubesimProcess(const KubesimProcess &) = delete;
    KubesimProcess &operator=(const KubesimProcess &) = delete;
    ~KubesimProcess() { stop(); }

    /* Starts the server with TLS material for node `nodeName` (client
     * certificate CN=system:node:<nodeName>, O=system:nodes) and waits until
     * it listens.  `extraArgs` go to kubesim.py (e.g. "--scheduler",
     * "--bookmark-interval", "1", "--history", "10").  The objects are kept
     * in statePath(), so that halt() and resume() lose nothing. */
    bool start(const std::string &nodeName = "ozk-node", const std::vector<std::string> &extraArgs = {})
    {
        stop();
        char tmpl[] = "/tmp/kubesim.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return fail("mkdtemp failed");
        }
        dir_ = tmpl;
        nodeName_ = nodeName;
        extraArgs_ = extraArgs;
        return launch();
    }

    /* Ends the server process but keeps its directory (certificates, state
     * file) and its ports: clients find nothing listening until resume().
     * kill=true ends it with SIGKILL, as a crash would. */
    bool halt(bool kill = false)
    {
        if (pid_ <= 0) {
            return false;
        }
        endProcess(kill ? SIGKILL : SIGTERM);
        return true;
    }

    /* Starts the server again after halt(), on the same ports with the same
     * certificates: it serves the objects and resourceVersions it had, and
     * watches from versions before the restart get 410 Gone.  Injected faults
     * and the request log start empty. */
    bool resume()
    {
        if (dir_.empty() || pid_ > 0) {
            return fail("resume() needs a halted server");
        }
        return launch();
    }

    bool restart(bool kill = false) { return halt(kill) && resume(); }

    /* Stops the server (SIGTERM, then SIGKILL after 5 s) and removes the directory. */
    void stop()
    {
        endProcess(SIGTERM);
        if (!dir_.empty() && std::getenv("KUBESIM_KEEP") == nullptr) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
        dir_.clear();
        port_ = adminPort_ = 0;
    }

    bool running() const { return pid_ > 0; }
    const std::string &lastError() const { return error_; }

    /* "https://127.0.0.1:<port>": the base path for the API client. */
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    int adminPort() const { return adminPort_; }
    const std::string &dir() const { return dir_; }
    std::string caPath() const { return dir_ + "/certs/ca.crt"; }
    std::string certPath() const { return dir_ + "/certs/client.crt"; } /* the node's certificate */
    std::string keyPath() const { return dir_ + "/certs/client.key"; }
    std::string adminCertPath() const { return dir_ + "/certs/admin.crt"; }
    std::string adminKeyPath() const { return dir_ + "/certs/admin.key"; }
    std::string kubeconfigPath() const { return dir_ + "/certs/kubeconfig"; }
    std::string requestLogPath() const { return dir_ + "/requests.log"; }
    /* Every object and the resourceVersion, rewritten after each change. */
    std::string statePath() const { return dir_ + "/state.json"; }

    /* One request over the plain-HTTP admin port (no TLS, no certificate, no
     * injected faults): the same API as the HTTPS port plus /_kubesim/.
     * Returns the HTTP status (0 when no answer) and the body in *body. */
    int request(const std::string &method, const std::string &path, const std::string &payload = "",
                std::string *body = nullptr, const std::string &contentType = "application/json") const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            return 0;
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(adminPort_));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(fd);
            return 0;
        }
        std::ostringstream req;
        req << method << " " << path << " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            << "Content-Type: " << contentType << "\r\nContent-Length: " << payload.size() << "\r\n\r\n"
            << payload;
        std::string text = req.str();
        size_t sent = 0;
        while (sent < text.size()) {
            ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                close(fd);
                return 0;
            }
            sent += static_cast<size_t>(n);
        }
        std::string reply;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
            reply.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        int code = 0;
        if (std::sscanf(reply.c_str(), "HTTP/1.%*d %d", &code) != 1) {
            return 0;
        }
        size_t split = reply.find("\r\n\r\n");
        if (body != nullptr) {
            *body = split == std::string::npos ? std::string() : reply.substr(split + 4);
        }
        return code;
    }

    /* The next `count` requests on the HTTPS port whose method equals `method`
     * ("*" for any) and whose path (without query) fully matches the regular
     * expression `pathRegex` answer `status` (0: normal answer) after
     * `delaySeconds`, or lose their connection when `drop` is set. */
    bool addFault(const std::string &method, const std::string &pathRegex, int status, int count = 1,
                  double delaySeconds = 0, bool drop = false) const
    {
        std::ostringstream js;
        js << "{\"method\":\"" << method << "\",\"path\":\"" << jsonEscape(pathRegex) << "\",\"status\":" << status
           << ",\"count\":" << count << ",\"delay\":" << delaySeconds << ",\"drop\":" << (drop ? "true" : "false")
           << "}";
        return request("POST", "/_kubesim/faults", js.str()) == 200;
    }
    bool clearFaults() const { return request("DELETE", "/_kubesim/faults") == 200; }
    /* Drops the watch history: a watch from any older resourceVersion gets an ERROR event with a 410 Status. */
    bool compact() const { return request("POST", "/_kubesim/compact") == 200; }
    bool setScheduler(bool on) const
    {
        return request("POST", "/_kubesim/scheduler", on ? "{\"enabled\":true}" : "{\"enabled\":false}") == 200;
    }
    /* JSON {"requests":[{method,path,query,contentType,body,status,user,...}]} of the HTTPS port's requests. */
    std::string requestsJson(bool clear = false) const
    {
        std::string body;
        request(clear ? "DELETE" : "GET", "/_kubesim/requests", "", &body);
        return body;
    }
    /* The HTTPS port's requests, oldest first (those of the admin port left
     * out); with clear, the log starts again empty. */
    std::vector<KubesimRequest> requests(bool clear = false) const
    {
        std::vector<KubesimRequest> out;
        oztest::JsonPtr log = oztest::parseJson(requestsJson(clear));
        const cJSON *entry = nullptr;
        cJSON_ArrayForEach(entry, oztest::at(log.get(), "requests"))
        {
            if (cJSON_IsTrue(oztest::at(entry, "admin"))) {
                continue;
            }
            KubesimRequest r;
            const cJSON *time = oztest::at(entry, "time");
            r.time = cJSON_IsNumber(time) ? time->valuedouble : 0;
            r.method = oztest::str(entry, "method");
            r.path = oztest::str(entry, "path");
            r.contentType = oztest::str(entry, "contentType");
            r.body = oztest::str(entry, "body");
            r.user = oztest::str(entry, "user");
            const cJSON *q = nullptr;
            cJSON_ArrayForEach(q, oztest::at(entry, "query"))
            {
                r.query[q->string] = cJSON_IsString(q) ? q->valuestring : "?";
            }
            const cJSON *status = oztest::at(entry, "status");
            r.status = cJSON_IsNumber(status) ? status->valueint : 0;
            r.faulted = oztest::at(entry, "fault") != nullptr;
            out.push_back(std::move(r));
        }
        return out;
    }

private:
    bool launch()
    {
        std::string script = scriptPath();
        std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::vector<std::string> args = {python,         script,
                                         "--port",       std::to_string(port_),
                                         "--admin-port", std::to_string(adminPort_),
                                         "--certs",      dir_ + "/certs",
                                         "--node",       nodeName_,
                                         "--ready-file", dir_ + "/ready.json",
                                         "--log",        dir_ + "/requests.log",
                                         "--state",      statePath(),
                                         "--parent-pid", std::to_string(getpid())};
        args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
        bool again = port_ > 0;
        std::remove((dir_ + "/ready.json").c_str());
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::string out = dir_ + "/kubesim.out";
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        if (!spawn(argv, out)) {
            return fail("cannot spawn " + python);
        }
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                // A restart on the old ports may find one still taken for a moment.
                bool portBusy = WIFEXITED(status) && WEXITSTATUS(status) == 3;
                if (!again || !portBusy) {
                    return fail("kubesim exited early: " + oztest::readFile(out));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (!spawn(argv, out)) {
                    return fail("cannot spawn " + python);
                }
                continue;
            }
            std::string ready = oztest::readFile(dir_ + "/ready.json");
            if (!ready.empty()) {
                port_ = jsonInt(ready, "port");
                adminPort_ = jsonInt(ready, "adminPort");
                if (port_ > 0 && adminPort_ > 0) {
                    return true;
                }
                return fail("bad ready file: " + ready);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return fail("kubesim did not become ready: " + oztest::readFile(dir_ + "/kubesim.out"));
    }

    bool spawn(std::vector<char *> &argv, const std::string &out)
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        return true;
    }

    /* Ends the process: `sig`, then SIGKILL after 5 s. */
    void endProcess(int sig)
    {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, sig);
        int status = 0;
        bool gone = false;
        for (int i = 0; i < 500 && !gone; i++) {
            gone = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!gone) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (!gone) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    bool fail(const std::string &why)
    {
        error_ = why;
        stop();
        return false;
    }

    static std::string scriptPath()
    {
        if (const char *src = std::getenv("OZ_TEST_SOURCE_DIR")) {
            std::string p = std::string(src) + "/tests/kubesim/kubesim.py";
            if (access(p.c_str(), R_OK) == 0) {
                return p;
            }
        }
        return (std::filesystem::path(__FILE__).parent_path() / "kubesim.py").string();
    }

    static int jsonInt(const std::string &text, const std::string &key)
    {
        size_t at = text.find("\"" + key + "\":");
        if (at == std::string::npos) {
            return 0;
        }
        return std::atoi(text.c_str() + at + key.size() + 3);
    }

    static std::string jsonEscape(const std::string &s)
    {
        std::string out;
        for (char c : s) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        return out;
    }

    pid_t pid_ = -1;
    std::string nodeName_;
    std::vector<std::string> extraArgs_;
    int port_ = 0;
    int adminPort_ = 0;
    std::string dir_;
    std::string error_;
};

#endif /* KUBESIM_FIXTURE_H */
