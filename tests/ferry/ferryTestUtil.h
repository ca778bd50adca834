/*
 * ferryTestUtil.h - helpers of the node agent tests: run ferryService as a
 * process and capture its output, capture the console of the test process,
 * and receive syslog records on a private datagram socket.
 */
#ifndef FERRY_TEST_UTIL_H
#define FERRY_TEST_UTIL_H

#include <gtest/gtest.h>

#include "kubesim/kubesim_fixture.h"
#include "testutil/testutil.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ferrytest {

inline std::string binaryDir()
{
    const char *dir = getenv("OZ_TEST_BINARY_DIR");
    return dir != nullptr ? dir : ".";
}

inline std::string sourceDir()
{
    const char *dir = getenv("OZ_TEST_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

inline std::string ferryServicePath()
{
    const char *p = getenv("OZ_FERRY_SERVICE");
    return p != nullptr ? p : binaryDir() + "/container/ferry/ferryService";
}

inline std::string readAll(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

using oztest::readFile;
using oztest::TempDir;

struct RunResult {
    std::string out;
    std::string err;
    int exitStatus = -1; /* exit status, or -1 when ended by a signal */
    int termSignal = 0;
};

/* True once the process blocks SIGTERM (read from its status file). The C
 * library and a sanitizer runtime block every signal for a moment while they
 * start a thread, before main has run: a mask that holds SIGUSR1 as well
 * (which the program never blocks) is one of those, not the program's own. */
inline bool sigtermBlocked(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) {
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask & (1ULL << (SIGTERM - 1))) != 0 && (mask & (1ULL << (SIGUSR1 - 1))) == 0;
        }
    }
    return false;
}

struct RunOptions {
    std::vector<std::string> env; /* extra environment, "NAME=value" */
    bool sendTerm = false;        /* send SIGTERM once the process blocks it */
    /* with sendTerm: first wait for this text on standard output, then call
     * beforeTerm with the process id */
    std::string readyText;
    /* with sendTerm: instead of readyText, wait until this says ready */
    std::function<bool()> ready;
    std::function<void(pid_t)> beforeTerm;
    int timeoutSec = 60;
};

inline RunOptions withEnv(std::vector<std::string> env)
{
    RunOptions opt;
    opt.env = std::move(env);
    return opt;
}

/* Runs ferryService with args. Output goes through files so that nothing
 * blocks. */
inline RunResult runFerry(const std::vector<std::string> &args, const RunOptions &opt = {})
{
    RunResult result;
    TempDir dir;
    std::string outPath = dir.path() + "/out";
    std::string errPath = dir.path() + "/err";
    std::string bin = ferryServicePath();

    pid_t pid = fork();
    if (pid == 0) {
        int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(outFd, 1);
        dup2(errFd, 2);
        for (const auto &e : opt.env) {
            putenv(strdup(e.c_str()));
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(bin.c_str()));
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeoutSec);
    bool termSent = false;
    bool blockedSeen = false;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            break;
        }
        /* main blocks SIGTERM first thing; while it waits in sigtimedwait the
         * kernel shows the signal unblocked, so a blocked state seen once, or
         * the ready text, tells that SIGTERM is safe to send */
        blockedSeen = blockedSeen || sigtermBlocked(pid);
        bool ready = opt.ready               ? opt.ready()
                     : opt.readyText.empty() ? blockedSeen
                                             : readFile(outPath).find(opt.readyText) != std::string::npos;
        if (opt.sendTerm && !termSent && ready) {
            if (opt.beforeTerm) {
                opt.beforeTerm(pid);
            }
            kill(pid, SIGTERM);
            termSent = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "ferryService did not end in time";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

/* Captures what the test process writes to its standard output and error
 * (the node agent's console) while it lives. */
class ConsoleCapture {
public:
    ConsoleCapture()
    {
        fflush(stdout);
        fflush(stderr);
        outFile_ = tmpfile();
        errFile_ = tmpfile();
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        dup2(fileno(outFile_), 1);
        dup2(fileno(errFile_), 2);
    }
    ~ConsoleCapture() { stop(); }
    void stop()
    {
        if (savedOut_ < 0) {
            return;
        }
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        savedOut_ = savedErr_ = -1;
        out_ = slurp(outFile_);
        err_ = slurp(errFile_);
        fclose(outFile_);
        fclose(errFile_);
    }
    const std::string &out()
    {
        stop();
        return out_;
    }
    const std::string &err()
    {
        stop();
        return err_;
    }

private:
    static std::string slurp(FILE *f)
    {
        rewind(f);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
            s.append(buf, n);
        }
        return s;
    }
    FILE *outFile_ = nullptr;
    FILE *errFile_ = nullptr;
    int savedOut_ = -1;
    int savedErr_ = -1;
    std::string out_, err_;
};

/* A syslog receiver: a datagram socket in a private directory, drained by
 * its own thread so that a sender never blocks on a full socket queue. */
class SyslogReceiver {
public:
    SyslogReceiver()
    {
        path_ = dir_.path() + "/log";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
            ADD_FAILURE() << "cannot bind the syslog socket: " << strerror(errno);
        }
        reader_ = std::thread([this] { drain(); });
    }
    ~SyslogReceiver()
    {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    const std::string &path() const { return path_; }
    std::string envEntry() const { return "OZ_SYSLOG_SOCKET=" + path_; }

    /* True once a record holding text has arrived (the records stay). */
    bool seen(const std::string &text)
    {
        std::lock_guard<std::mutex> g(lock_);
        for (const auto &r : got_) {
            if (r.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    /* The records received so far, once none has arrived for quietMs; they
     * are handed out once. */
    std::vector<std::string> records(int quietMs = 200)
    {
        size_t seen = SIZE_MAX;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
            std::lock_guard<std::mutex> g(lock_);
            if (got_.size() == seen) {
                std::vector<std::string> out;
                out.swap(got_);
                return out;
            }
            seen = got_.size();
        }
    }

    /* A record without its "<pri>" and time stamp: "<pri>|ident: text". */
    static std::string strip(const std::string &record)
    {
        size_t close = record.find('>');
        std::string pri = record.substr(0, close + 1);
        /* "Mmm dd hh:mm:ss " is 16 characters */
        return pri + "|" + record.substr(close + 1 + 16);
    }

private:
    void drain()
    {
        while (!stop_) {
            struct pollfd p {
                fd_, POLLIN, 0
            };
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            char buf[8192];
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n > 0) {
                std::lock_guard<std::mutex> g(lock_);
                got_.emplace_back(buf, static_cast<size_t>(n));
            }
        }
    }
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> got_;
    std::thread reader_;
};

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        lines.push_back(line);
    }
    return lines;
}

/* The usage text, byte for byte. */
inline const std::string &usageText()
{
    static const std::string text =
        "Usage:\n\n"
        "ferryService -C Server CA Certificate -c Client Certificate -k Client Key -n Node Name -u API Server URL "
        "[-i Node IP address] [-N interval in seconds] [-p max pod number] [-v verbose mode]\n\n"
        "Options:\n"
        "\t-C\n\t\tThe server CA certificate file path\n\n"
        "\t-c\n\t\tThe client Certificate file path\n\n"
        "\t-k\n\t\tThe client Key file path\n\n"
        "\t-n\n\t\tThe name of the node in Kubernetes\n\n"
        "\t-u\n\t\tThe URL of the API server like https://<server>:<port>\n"
        "\t\twhere server is the name or IP address of the server.\n\n"
        "\t-i\n\t\tOptional. The IP address of the Kubernetes' node\n"
        "\t-N\n\t\tOptional. Node status update interval in seconds. The max value is 600\n"
        "\t-p\n\t\tOptional. Max Pod number. The max value is 110\n"
        "\t-v\n\t\tOptional. Verbose mode. Displays information with different levels. Valid value: 0~3:\n"
        "\t\t0: No messages\n\t\t1: Error messages\n\t\t2: Error + Warning messages\n"
        "\t\t3: Error + Warning + Verbose messages\n"
        "\t\tIf this option is not set, Error messages will be displayed by default.\n"
        "\t-l\n\t\tOptional. Enable syslog. Set log priority level between 0 and 7:\n"
        "\t\t0: Up to LOG_EMERG\n\t\t1: Up to LOG_ALERT\n\t\t2: Up to LOG_CRIT\n\t\t3: Up to LOG_ERR\n"
        "\t\t4: Up to LOG_WARNING\n\t\t5: Up to LOG_NOTICE\n\t\t6: Up to LOG_INFO\n\t\t7: Up to LOG_DEBUG\n"
        "\t\tIf this option is not set, syslog will be disabled.\n"
        "\t-L\n\t\tOptional. set label for node. The format is key=value\n"
        "\tExample:\n"
        "\t\t./ferryService.oze -c cert/client.crt -k cert/client.key -C cert/ca.crt -n ozferry "
        "-u https://192.168.49.2:8443\n";
    return text;
}

/* The text with the source line of every ERROR location replaced by "L":
 * "ferry: ERROR: ozkLib:ozkArgParse:L ..." (and in syslog records). */
inline std::string noLines(const std::string &text)
{
    static const std::regex location("(ERROR: [A-Za-z]+:[A-Za-z_]+):[0-9]+ ");
    return std::regex_replace(text, location, "$1:L ");
}

inline std::string faultShimPath()
{
    return binaryDir() + "/tests/ferry/libferry_faultshim.so";
}

/* Environment entries that load the fault shim with FERRY_FAULT=fault. The
 * sanitizer runtime tolerates a library loaded in front of it. */
inline std::vector<std::string> faultEnv(const std::string &fault)
{
    return {"LD_PRELOAD=" + faultShimPath(), "FERRY_FAULT=" + fault,
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

/* Line number (1-based) of the first line of a source file (relative to the
 * source tree) that contains needle; 0 when none does. */
inline int sourceLine(const std::string &file, const std::string &needle)
{
    std::ifstream f(sourceDir() + "/" + file);
    std::string line;
    int n = 0;
    while (std::getline(f, line)) {
        n++;
        if (line.find(needle) != std::string::npos) {
            return n;
        }
    }
    return 0;
}

/* Where each unit's source lives. */
inline std::string unitFile(const std::string &unit)
{
    if (unit == "ozkService") {
        return "container/ferry/rtp/ferryService.cpp";
    }
    return "container/ferry/src/" + unit + ".cpp";
}

/* The console ERROR line of a message logged by unit:func, the source line
 * found by the message's format text (or `needle` when given). */
inline std::string errLine(const std::string &unit, const std::string &func, const std::string &text,
                           const std::string &needle = "")
{
    /* a needle that starts with the macro name is taken as it is */
    std::string find = needle.rfind("OZK_", 0) == 0 ? needle : "\"" + (needle.empty() ? text : needle);
    int line = sourceLine(unitFile(unit), find);
    return "ferry: ERROR: " + unit + ":" + func + ":" + std::to_string(line) + " " + text + "\n";
}

/* The fatal exit path's "Bye ferryService!" line, logged by main from the
 * line right after the ERROR that chose the path (`after`, its format text). */
inline std::string byeLine(const std::string &after)
{
    int line = sourceLine(unitFile("ozkService"), "\"" + after) + 1;
    return "ferry: ERROR: ozkService:main:" + std::to_string(line) + " Bye ferryService!\n";
}

/* The text without the lines that `drop` accepts. */
inline std::string dropLines(const std::string &text, const std::function<bool(const std::string &)> &drop)
{
    std::string out;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        if (!drop(line)) {
            out += line + "\n";
        }
    }
    return out;
}

/* The text without the ERROR lines of the node and pod managers, whose own
 * steps are not what the service-control tests are about. */
inline std::string withoutManagerErrors(const std::string &text)
{
    return dropLines(text, [](const std::string &line) {
        return line.rfind("ferry: ERROR: ozkPodManager:", 0) == 0 ||
               line.rfind("ferry: ERROR: ozkNodeManager:", 0) == 0;
    });
}

/* True when every line of `lines` occurs as a whole line of text, in this
 * order. */
inline ::testing::AssertionResult linesInOrder(const std::string &text, const std::vector<std::string> &lines)
{
    std::vector<std::string> all = {};
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        all.push_back(line);
    }
    size_t at = 0;
    for (const auto &want : lines) {
        while (at < all.size() && all[at] != want) {
            at++;
        }
        if (at == all.size()) {
            return ::testing::AssertionFailure() << "missing, or out of order: \"" << want << "\" in:\n" << text;
        }
        at++;
    }
    return ::testing::AssertionSuccess();
}

/* Polls done every 10 ms until it holds or the limit passes. */
inline bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

/* ferryService as a process running beside the test, its output in files. */
class FerryProcess {
public:
    ~FerryProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    /* Starts it against the emulator with the node's TLS material, the
     * given node name, -v 3 and the extra options and environment. */
    bool start(const KubesimProcess &sim, const std::string &nodeName, const std::vector<std::string> &extra,
               const std::vector<std::string> &env)
    {
        std::vector<std::string> args = {"-C", sim.caPath(), "-c", sim.certPath(), "-k", sim.keyPath(),
                                         "-n", nodeName,     "-u", sim.url(),      "-v", "3"};
        args.insert(args.end(), extra.begin(), extra.end());
        return startWith(args, env);
    }

    /* Starts it with exactly these options (and the extra environment). */
    bool startWith(const std::vector<std::string> &options, const std::vector<std::string> &env)
    {
        std::string bin = ferryServicePath();
        std::vector<std::string> args = {bin};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<std::string> envs;
        for (char **e = environ; *e != nullptr; e++) {
            envs.emplace_back(*e);
        }
        envs.insert(envs.end(), env.begin(), env.end());
        std::vector<char *> argv, envp;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (auto &e : envs) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir_.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, (dir_.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
        }
        return rc == 0;
    }

    std::string out() const { return readFile(dir_.path() + "/out"); }
    std::string err() const { return readFile(dir_.path() + "/err"); }
    bool waitReady(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        return waitFor([&] { return out().find("ferryService is ready.") != std::string::npos || exited(); }, limit) &&
               !exited();
    }
    /* True while the process has not ended. */
    bool running() { return pid_ > 0 && !exited(); }
    pid_t pid() const { return pid_; }
    void terminate() const { signal(SIGTERM); }
    void signal(int sig) const
    {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }
    /* Waits for the end; the exit status, or -1 when it was killed or did
     * not end in time. */
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        waitFor([&] { return exited(); }, limit);
        if (!exited()) {
            return -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

private:
    bool exited()
    {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) {
            pid_ = -1;
            ended_ = true;
        }
        return ended_;
    }
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
    TempDir dir_;
};

/* The TLS proxy of tests/ferry/tlsproxy.py in front of an API server (the
 * emulator), with its own free port: clients that trust the emulator's CA
 * reach it at url(). Rules (a JSON list, see the script) drop, delay or
 * garble answers; stats() is what it saw. */
class TlsProxy {
public:
    TlsProxy() = default;
    TlsProxy(const TlsProxy &) = delete;
    TlsProxy &operator=(const TlsProxy &) = delete;
    ~TlsProxy() { stop(); }

    bool start(const std::string &upstreamUrl, const std::string &certDir)
    {
        std::string script = sourceDir() + "/tests/ferry/tlsproxy.py";
        std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::string parent = std::to_string(getpid());
        pid_ = fork();
        if (pid_ == 0) {
            int out = open((dir_.path() + "/proxy.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            execlp(python.c_str(), python.c_str(), script.c_str(), "--upstream", upstreamUrl.c_str(), "--certs",
                   certDir.c_str(), "--dir", dir_.path().c_str(), "--parent-pid", parent.c_str(), nullptr);
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string ready = readFile(dir_.path() + "/ready.json");
            size_t at = ready.find("\"port\": ");
            if (at != std::string::npos) {
                port_ = atoi(ready.c_str() + at + 8);
                return port_ > 0;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
    /* Replaces the rules (atomically, as the proxy reads them). */
    void rules(const std::string &json) const
    {
        std::string tmp = dir_.path() + "/rules.json.tmp";
        std::ofstream(tmp) << json;
        rename(tmp.c_str(), (dir_.path() + "/rules.json").c_str());
    }
    /* {"connections": N, "requests": M, "log": [...]} */
    std::string stats() const { return readFile(dir_.path() + "/stats.json"); }
    const std::string &dir() const { return dir_.path(); }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace ferrytest

#endif /* FERRY_TEST_UTIL_H */
