/*
 * util_test.cpp - the runtime library's utilities: base directories, the
 * error table and its display, signal and state names, hexadecimal
 * conversion, digest validation, the recursive delete (never following
 * links) and the credential prompt on a real pseudo-terminal.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"

using namespace oztest;

namespace {

/* Sets an OS-wide variable for the scope and restores it afterwards. */
class EnvScope {
public:
    EnvScope(const char *name, const char *value) : name_(name)
    {
        char buf[4096];
        had_ = ozEnvGet(name, buf, sizeof(buf)) == OK;
        if (had_)
            old_ = buf;
        ozEnvSet(name, value);
    }
    ~EnvScope() { ozEnvSet(name_, had_ ? old_.c_str() : nullptr); }

private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

std::string basePath(uint32_t kind, size_t bufLen = OZC_PATH_MAX, size_t *len = nullptr)
{
    std::string buf(bufLen, '\0');
    errno = 0;
    size_t n = ozcBasePathGet(buf.data(), bufLen, kind);
    if (len != nullptr)
        *len = n;
    return n == 0 ? std::string() : std::string(buf.c_str());
}

TEST(UtilBasePath, KindsDefaultsAndOverrides)
{
    ScratchDir s;
    {
        EnvScope env(OZC_BASE_ENV, (s.base + "/rt//").c_str());
        size_t n = 0;
        EXPECT_EQ(basePath(OZC_CONTAINERS_PATH, OZC_PATH_MAX, &n), s.base + "/rt/containers/");
        EXPECT_EQ(n, (s.base + "/rt/containers/").size());
        EXPECT_EQ(basePath(OZC_LAYER_PATH), s.base + "/rt/layers");
        EXPECT_EQ(basePath(OZC_FLATTENED_PATH), s.base + "/rt/flattened/");
        for (const char *d : {"/rt/layers", "/rt/flattened", "/rt/containers"}) {
            struct stat st;
            ASSERT_EQ(stat((s.base + d).c_str(), &st), 0) << d;
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
        /* Kind 3 is not served. */
        EXPECT_EQ(basePath(OZC_VFSDEV_PATH), "");
        EXPECT_EQ(errno, ENOTSUP);
        EXPECT_EQ(basePath(99), "");
        /* A buffer one byte short: refused, not cut. */
        std::string want = s.base + "/rt/layers";
        EXPECT_EQ(basePath(OZC_LAYER_PATH, want.size()), "");
        EXPECT_EQ(errno, ENAMETOOLONG);
        EXPECT_EQ(basePath(OZC_LAYER_PATH, want.size() + 1), want);
    }
    {
        /* A base that cannot be created: no path. */
        EnvScope env(OZC_BASE_ENV, (s.sentinel + "/rt").c_str());
        EXPECT_EQ(basePath(OZC_LAYER_PATH), "");
        EXPECT_EQ(errno, ENOTDIR);
    }
    {
        /* Relative, or not fitting: the default base. */
        EnvScope env(OZC_BASE_ENV, "relative/dir");
        EXPECT_EQ(basePath(OZC_CONTAINERS_PATH), "/ram0/ozc/containers/");
    }
    {
        EnvScope env(OZC_BASE_ENV, ("/" + std::string(2000, 'x')).c_str());
        EXPECT_EQ(basePath(OZC_LAYER_PATH), "/ram0/ozc/layers");
    }
    {
        EnvScope env(OZC_BASE_ENV, nullptr);
        EXPECT_EQ(basePath(OZC_CONTAINERS_PATH), "/ram0/ozc/containers/");
        EXPECT_EQ(basePath(OZC_LAYER_PATH), "/ram0/ozc/layers");
    }
    EXPECT_EQ(ozcBasePathGet(nullptr, 10, OZC_LAYER_PATH), 0u);
}

TEST(UtilErrors, TableAndDisplay)
{
    /* Order and a sample of the texts, exactly. */
    EXPECT_EQ(ozcUtilErrorMap[0].errCode, 0xDF0001);
    EXPECT_STREQ(ozcUtilErrorMap[0].errMsg, "File oci-layout not found");
    EXPECT_EQ(ozcUtilErrorMap[21].errCode, ENODEV);
    EXPECT_STREQ(ozcUtilErrorMap[21].errMsg, "Container does not exist");
    EXPECT_EQ(ozcUtilErrorMap[33].errCode, 0xB20004);
    EXPECT_EQ(ozcUtilErrorMap[39].errCode, 0xDF0021);
    EXPECT_STREQ(ozcUtilErrorMap[39].errMsg, "signature verify failed");
    std::set<int> codes;
    for (const auto &e : ozcUtilErrorMap) {
        EXPECT_NE(e.errMsg, nullptr);
        codes.insert(e.errCode);
    }
    EXPECT_EQ(codes.size(), 40u); /* no code twice */
    for (int c = 0xDF0001; c <= 0xDF0021; c++) {
        if (c == 0xDF001C || c == 0xDF001D)
            continue;
        EXPECT_TRUE(codes.count(c)) << std::hex << c;
    }

    struct Case {
        int code;
        std::string out;
    } cases[] = {{0xDF0017, "Error: Container already exists.\n"},
                 {0xDF0014, "Error: OCI runtime config.json not found or load failed.\n"},
                 {0xDF001E, "Error: invalid format option.\n"},
                 {EINVAL, "Error: Invalid parameter.\n"},
                 {ESRCH, "Error: The process is not running.\n"},
                 {EACCES, std::string("Error: ") + strerror(EACCES) + ".\n"},
                 {0, ""}};
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        ozcUtilShowErr(c.code);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    }
    /* An unknown code still prints one line in the same frame. */
    testing::internal::CaptureStdout();
    ozcUtilShowErr(0x7654321);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Error: ", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - 2), ".\n");
}

TEST(UtilNames, SignalsAndStates)
{
    /* The names mean this host's signals: CONT is not STOP here. Names the
     * host has no signal for are unknown. */
    const std::pair<const char *, int> all[] = {
        {"HUP", SIGHUP},       {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},     {"TRAP", SIGTRAP},
        {"ABRT", SIGABRT},     {"FPE", SIGFPE},   {"KILL", SIGKILL}, {"BUS", SIGBUS},     {"SEGV", SIGSEGV},
        {"PIPE", SIGPIPE},     {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"STOP", SIGSTOP},   {"TSTP", SIGTSTP},
        {"CONT", SIGCONT},     {"CHLD", SIGCHLD}, {"TTIN", SIGTTIN}, {"TTOU", SIGTTOU},   {"USR1", SIGUSR1},
        {"USR2", SIGUSR2},     {"POLL", SIGPOLL}, {"PROF", SIGPROF}, {"SYS", SIGSYS},     {"URG", SIGURG},
        {"VTALRM", SIGVTALRM}, {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ}, {"RTMIN", SIGRTMIN}, {"RTMAX", SIGRTMAX},
        {"EMT", -1},           {"FMT", -1},       {"CNCL", -1},      {"RES1", -1},        {"RES7", -1},
        {"EVTS", -1},          {"EVTD", -1}};
    for (const auto &[name, no] : all)
        EXPECT_EQ(ozcUtilSignalNo(name), no) << name;
    for (const signalmap &s : signalList)
        EXPECT_EQ(ozcUtilSignalNo(s.sigstr), s.signo) << s.sigstr;
    for (const char *bad : {"SIGTERM", "term", "TER", "TERMX", "", "VTALRMVTALRM"})
        EXPECT_EQ(ozcUtilSignalNo(bad), -1) << bad;
    EXPECT_EQ(ozcUtilSignalNo(nullptr), -1);

    const char *states[] = {"creating", "created", "running", "stopped", "unknown"};
    for (int i = 0; i < 5; i++)
        EXPECT_STREQ(ozcUtilStateIdToString(i), states[i]);
    EXPECT_STREQ(ozcUtilStateIdToString(-1), "unknown");
    EXPECT_STREQ(ozcUtilStateIdToString(5), "unknown");
    EXPECT_STREQ(ozcUtilStateIdToString(1 << 30), "unknown");
}

TEST(UtilConversions, BinToHexAndDigests)
{
    uint8_t in[] = {0x00, 0xAB, 0xFF};
    char out[16];
    memset(out, '#', sizeof(out));
    ASSERT_EQ(ozcUtilBinToHex(out, 7, in, 3), OK);
    EXPECT_STREQ(out, "00abff");
    errno = 0;
    EXPECT_EQ(ozcUtilBinToHex(out, 6, in, 3), ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ozcUtilBinToHex(nullptr, 7, in, 3), ERROR);
    EXPECT_EQ(ozcUtilBinToHex(out, 7, nullptr, 3), ERROR);
    EXPECT_EQ(ozcUtilBinToHex(out, 7, in, 0), ERROR);
    EXPECT_EQ(ozcUtilBinToHex(out, 0, in, 3), ERROR);
    EXPECT_EQ(ozcUtilBinToHex(out, sizeof(out), in, SIZE_MAX / 2 + 1), ERROR);

    std::string h64(64, 'a'), h128(128, '0');
    EXPECT_EQ(ozcUtilDigestValidate(("sha256:" + h64).c_str()), OK);
    EXPECT_EQ(ozcUtilDigestValidate(("sha512:" + h128).c_str()), OK);
    for (const std::string &bad : {"sha256:" + h64.substr(1), "sha256:" + h64 + "0", "sha256:" + h128, "sha512:" + h64,
                                   "sha256:" + std::string(63, 'a') + "A", "SHA256:" + h64, "md5:" + h64,
                                   "sha256" + h64, "sha256:../../../etc/" + std::string(50, 'a'),
                                   "sha256:" + std::string(62, 'a') + "/x", std::string(""), std::string("sha256:")}) {
        errno = 0;
        EXPECT_EQ(ozcUtilDigestValidate(bad.c_str()), ERROR) << bad;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(ozcUtilDigestValidate(nullptr), ERROR);
}

TEST(UtilDelete, TreesLinksAndFiles)
{
    ScratchDir s;
    std::string top = s.work + "/top";
    ASSERT_EQ(shQuiet("mkdir -p '" + top + "/a/b/c' '" + top + "/a/d' '" + top + "/e' && cd '" + top +
                      "' && echo 1 > f && echo 2 > a/f && echo 3 > a/b/f && echo 4 > a/b/c/f && "
                      ": > a/d/empty && ln -s '" +
                      s.outside + "' a/b/out && ln -s '" + s.sentinel +
                      "' e/sen && ln -s ../.. a/d/up && ln -s /nonexistent dangling"),
              0);
    EXPECT_TRUE(ozcUtilNameIsDir((top + "/a/b/out").c_str(), FALSE));
    EXPECT_FALSE(ozcUtilNameIsDir((top + "/a/b/out").c_str(), TRUE));
    EXPECT_FALSE(ozcUtilNameIsDir("", FALSE));
    EXPECT_FALSE(ozcUtilNameIsDir(nullptr, FALSE));
    EXPECT_FALSE(ozcUtilNameIsDir((top + "/f").c_str(), FALSE));

    /* Sub-directory search: links are not sub-directories; without clean
     * nothing is removed. */
    char sub[OZC_PATH_MAX];
    ASSERT_EQ(ozcUtilFindSubDirAndClean((top + "/a/b").c_str(), sub, sizeof(sub), FALSE), OK);
    EXPECT_EQ(std::string(sub), top + "/a/b/c");
    EXPECT_EQ(ozcUtilFindSubDirAndClean((top + "/e").c_str(), sub, sizeof(sub), FALSE), ERROR);
    EXPECT_TRUE(isSymlink(top + "/e/sen"));
    EXPECT_EQ(ozcUtilFindSubDirAndClean((top + "/a/b").c_str(), sub, 5, FALSE), ERROR);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(ozcUtilFindSubDirAndClean((top + "/e/").c_str(), nullptr, 0, TRUE), ERROR);
    EXPECT_TRUE(listDir(top + "/e").empty()); /* cleaned: the link went, not its target */

    /* A link to a directory given as the top is removed itself. */
    ASSERT_EQ(symlink(s.outside.c_str(), (s.work + "/tolink").c_str()), 0);
    EXPECT_EQ(ozcUtilXdelete((s.work + "/tolink").c_str()), OK);
    EXPECT_FALSE(isSymlink(s.work + "/tolink"));

    EXPECT_EQ(ozcUtilXdelete(top.c_str()), OK);
    EXPECT_FALSE(isDir(top));
    EXPECT_EQ(listDir(s.work), std::set<std::string>{});
    s.expectOutsideUntouched();

    /* A single file; NULL; a missing name. */
    writeFile(s.work + "/single", "x");
    EXPECT_EQ(ozcUtilXdelete((s.work + "/single").c_str()), OK);
    EXPECT_FALSE(isRegular(s.work + "/single"));
    errno = 0;
    EXPECT_EQ(ozcUtilXdelete(nullptr), ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ozcUtilXdelete((s.work + "/missing").c_str()), ERROR);
}

TEST(UtilDelete, WideAndDeepTrees)
{
    ScratchDir s;
    std::string top = s.work + "/wide";
    ASSERT_EQ(shQuiet("mkdir -p '" + top + "' && cd '" + top +
                      "' && for i in $(seq 1 30); do mkdir -p d$i/x/y/z && echo $i > d$i/x/y/z/f && "
                      "echo $i > d$i/g; done && mkdir -p " +
                      std::string(40, 'p') + "/" + std::string(40, 'p') + "/" + std::string(40, 'p')),
              0);
    EXPECT_EQ(ozcUtilXdelete(top.c_str()), OK);
    EXPECT_FALSE(isDir(top));
}

/* The prompt on a pseudo-terminal: echo is off while the line is read and
 * back on afterwards; nothing typed is echoed. */
TEST(UtilCred, PromptReadsOneLineWithoutEcho)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    BOOL echo = FALSE;
    ASSERT_EQ(ozConsoleEchoGet(slave, &echo), OK);
    ASSERT_EQ(echo, TRUE);

    int savedIn = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
    std::atomic<bool> done{false};
    std::thread typist([&] {
        /* Type once the prompt has switched echo off. */
        for (int i = 0; i < 5000 && !done; i++) {
            BOOL on = TRUE;
            if (ozConsoleEchoGet(slave, &on) == OK && !on) {
                (void)!write(master, "s3cret\n", 7);
                return;
            }
            usleep(1000);
        }
    });
    char cred[64];
    testing::internal::CaptureStdout();
    STATUS rc = ozcUtilCredGetFromStdin(cred, sizeof(cred), "Password: ");
    fflush(stdout);
    std::string shown = testing::internal::GetCapturedStdout();
    done = true;
    typist.join();
    dup2(savedIn, STDIN_FILENO);
    close(savedIn);
    clearerr(stdin);

    EXPECT_EQ(rc, OK);
    EXPECT_STREQ(cred, "s3cret");
    EXPECT_EQ(shown, "Password: \n");
    ASSERT_EQ(ozConsoleEchoGet(slave, &echo), OK);
    EXPECT_EQ(echo, TRUE);
    /* The terminal echoed nothing. */
    char buf[64];
    struct pollfd p = {master, POLLIN, 0};
    std::string echoed;
    while (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
        ssize_t n = read(master, buf, sizeof(buf));
        if (n <= 0)
            break;
        echoed.append(buf, (size_t)n);
    }
    EXPECT_EQ(echoed.find("s3cret"), std::string::npos);
    close(slave);
    close(master);
}

TEST(UtilCred, NoConsoleFails)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    (void)!write(fds[1], "pw\n", 3);
    int savedIn = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    char cred[16] = "old";
    testing::internal::CaptureStdout();
    STATUS rc = ozcUtilCredGetFromStdin(cred, sizeof(cred), "Token: ");
    fflush(stdout);
    std::string shown = testing::internal::GetCapturedStdout();
    dup2(savedIn, STDIN_FILENO);
    close(savedIn);
    close(fds[0]);
    close(fds[1]);
    clearerr(stdin);
    EXPECT_EQ(rc, ERROR);
    EXPECT_EQ(shown.rfind("Token: ", 0), 0u);
    EXPECT_EQ(ozcUtilCredGetFromStdin(nullptr, 4, "x"), ERROR);
}

} // namespace
