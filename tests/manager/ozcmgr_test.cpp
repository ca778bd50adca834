/* The ozcmgr program as a person runs it: pull with per-layer progress,
 * manifest and tag queries, credentials on standard input, exit codes and
 * messages, against the local registries; several programs pulling into
 * one image store at once; a pull killed in the middle of a layer. */
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "manager/regfixture.h"

namespace {

using regfix::Registries;

struct Result {
    int status = -1;
    std::string out, err;
};

class Ozcmgr : public ::testing::Test {
protected:
    Registries &reg = Registries::get();
    regfix::TempDir tmp;
    std::string program;

    void SetUp() override
    {
        ASSERT_TRUE(reg.ok()) << reg.error();
        program = regfix::binaryDir() + "/container/manager/tools/ozcmgr";
        ASSERT_TRUE(regfix::exists(program)) << program;
    }

    /* The environment of a run: our image store, our CA. */
    std::string env()
    {
        return "env OZC_IMAGE_PATH='" + tmp.path() + "/images' OZC_TLS_CA_CERT_FILE='" + reg["OZ_REG_CA"] + "' ";
    }

    /* Runs ozcmgr with args (shell words), input on standard input. */
    Result run(const std::string &args, const std::string &input = "")
    {
        std::string in = tmp.path() + "/in", out = tmp.path() + "/out", err = tmp.path() + "/err";
        FILE *f = fopen(in.c_str(), "w");
        if (f != nullptr) {
            fputs(input.c_str(), f);
            fclose(f);
        }
        std::string cmd = env() + "'" + program + "' " + args + " < '" + in + "' > '" + out + "' 2> '" + err + "'";
        Result r;
        int rc = system(cmd.c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = regfix::readFile(out);
        r.err = regfix::readFile(err);
        return r;
    }
};

TEST_F(Ozcmgr, PullPrintsOneLinePerLayerAndSucceeds)
{
    Result r = run("pull " + reg["OZ_REG_TLS"] + "/orrery/app:oci");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Number of layers: 2\n"));
    /* One completion line per layer: index, bytes, digest. */
    size_t first = r.out.find("Layer 0 done: ");
    size_t second = r.out.find("Layer 1 done: ");
    ASSERT_NE(std::string::npos, first) << r.out;
    ASSERT_NE(std::string::npos, second) << r.out;
    EXPECT_LT(first, second);
    std::string line = r.out.substr(first, r.out.find('\n', first) - first);
    EXPECT_NE(std::string::npos, line.find(" bytes sha256:")) << line;
    long bytes = atol(line.c_str() + strlen("Layer 0 done: "));
    EXPECT_GT(bytes, 100000) << line;
    EXPECT_NE(std::string::npos, r.out.find("Pull Success: " + tmp.path() + "/images/app\n"));
    EXPECT_NE(std::string::npos, r.out.find("Pulled app:oci into " + tmp.path() + "/images/app\n"));
    EXPECT_TRUE(regfix::exists(tmp.path() + "/images/app/index.json"));
}

TEST_F(Ozcmgr, PullFailuresExitNonZeroWithTheErrorText)
{
    Result r = run("pull " + reg["OZ_REG_TLS"] + "/team/nomatch");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("ozcmgr: pull of " + reg["OZ_REG_TLS"] +
                                            "/team/nomatch failed: Orrery OS or specified architecture not found "
                                            "in manifest list\n"))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find(std::string("no image found for os ") + ozSysOsNameGet() + " and arch " +
                                            ozSysArchNameGet() + "\n"));
    EXPECT_FALSE(regfix::exists(tmp.path() + "/images/nomatch"));

    r = run("pull " + reg["OZ_REG_TLS"] + "/team/corrupt");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("failed: File integrity check failed\n")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("integrity check failed for file ")) << r.out;
}

TEST_F(Ozcmgr, CredentialsFromStandardInput)
{
    std::string ref = reg["OZ_REG_BASIC"] + "/orrery/app:v2s2";
    Result r =
        run("pull " + ref + " --user " + reg["OZ_REG_USER"] + " --password-stdin", reg["OZ_REG_PASSWORD"] + "\n");
    EXPECT_EQ(0, r.status) << r.out << r.err;

    r = run("pull " + ref + " -u " + reg["OZ_REG_USER"] + " -p", "not-the-password\n");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("failed: HTTP response code is not OK\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Unauthorized access to https://" + reg["OZ_REG_BASIC"] + "/v2/\n"));

    /* No terminal to prompt on and nothing on standard input. */
    r = run("pull " + ref + " --user " + reg["OZ_REG_USER"]);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot read the password")) << r.err;
}

TEST_F(Ozcmgr, InsecurePlainHttpAndQueries)
{
    Result r = run("pull --insecure " + reg["OZ_REG_HTTP"] + "/team/multi:docker");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("HTTPS connection failed and fallback to HTTP\n"));

    r = run("tags " + reg["OZ_REG_TOKEN"] + "/orrery/app");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"oci\"")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"v2s2\"")) << r.out;

    r = run("manifest " + reg["OZ_REG_TLS"] + "/team/multi:oci");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"os\":\t\"orrery\"")) << r.out;

    /* Manifests beyond the response text, up to the 4 MiB bound. */
    r = run("manifest " + reg["OZ_BAD_OK"] + "/shop-cli/app:wide");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_GT(r.out.size(), 20000u);
    EXPECT_NE(std::string::npos, r.out.find("\"org.example.note\":")) << r.out.substr(0, 200);
    r = run("manifest --verbose " + reg["OZ_BAD_OK"] + "/shop-cli/app:bigmanifest");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("failed: Manifest or manifest list parse failed")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("is larger than 4194304 bytes")) << r.err;

    r = run("manifest " + reg["OZ_REG_TLS"] + "/orrery/app:missing");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("HTTP response code is not OK")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("HTTP response 404 : Not Found")) << r.err;
}

/* Without --password-stdin the password is asked for on the terminal, which
 * does not show it. */
TEST_F(Ozcmgr, PasswordPromptOnATerminalDoesNotEcho)
{
    std::string password = reg["OZ_REG_PASSWORD"];
    std::string log = tmp.path() + "/pty.log";
    std::string cmd = "env OZC_TLS_CA_CERT_FILE='" + reg["OZ_REG_CA"] + "' python3 '" + regfix::sourceDir() +
                      "/tests/manager/ptyrun.py' 'Password: ' '" + password + "' '" + program + "' tags " +
                      reg["OZ_REG_BASIC"] + "/orrery/app --user " + reg["OZ_REG_USER"] + " > '" + log + "' 2>&1";
    int rc = system(cmd.c_str());
    std::string shown = regfix::readFile(log);
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << shown;
    EXPECT_EQ(0u, shown.find("Password: ")) << shown;
    EXPECT_EQ(std::string::npos, shown.find(password)) << shown;
    EXPECT_NE(std::string::npos, shown.find("\"v2s2\"")) << shown;
}

/* The layout a pull writes is what the runtime turns into a bundle. */
TEST_F(Ozcmgr, PulledLayoutUnpacksWithTheRuntime)
{
    std::string ozc = regfix::binaryDir() + "/container/runtime/tools/ozc";
    if (!regfix::exists(ozc))
        GTEST_SKIP() << "the runtime's ozc program is not built here";
    Result r = run("pull " + reg["OZ_REG_TLS"] + "/team/multi:docker");
    ASSERT_EQ(0, r.status) << r.err;
    std::string layout = tmp.path() + "/images/multi", bundle = tmp.path() + "/bundle";
    /* The entry of this build's platform, unpacked by its tag. */
    std::string cmd = "env OZC_BASE='" + tmp.path() + "/base' OZ_OVERLAY_DEV_DIR= '" + ozc + "' unpack --os " +
                      ozSysOsNameGet() + " --arch " + ozSysArchNameGet() + " --tag docker '" + layout + "' '" + bundle +
                      "' > '" + tmp.path() + "/unpack.log' 2>&1";
    EXPECT_EQ(0, system(cmd.c_str())) << regfix::readFile(tmp.path() + "/unpack.log");
    EXPECT_TRUE(regfix::exists(bundle + "/config.json"));
    EXPECT_TRUE(regfix::exists(bundle + "/rootfs/bin/busybox"));
}

TEST_F(Ozcmgr, CommandLineErrors)
{
    EXPECT_EQ(2, run("").status);
    EXPECT_EQ(2, run("fetch x").status);
    EXPECT_EQ(2, run("pull").status);
    EXPECT_EQ(2, run("pull a b").status);
    EXPECT_EQ(2, run("pull a --bogus").status);
    EXPECT_EQ(2, run("pull a --password-stdin").status);
    Result r = run("--help");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Usage: ozcmgr COMMAND REF"));
    /* A reference the parser refuses. */
    r = run("pull reg.example:5000/" + std::string(300, 'a'));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Invalid argument")) << r.err;
}

/* Five programs pulling into one store at once, of one image and of two
 * images with one last name: the layout stays valid and every success is
 * on disk; the losers of the name say why. */
TEST_F(Ozcmgr, ConcurrentPullsOfOneNameNeverReportAFalseSuccess)
{
    struct Case {
        std::vector<std::string> repos;
    } cases[] = {
        {{"orrery/app:oci", "orrery/app:oci", "orrery/app:v2s2", "orrery/app:oci", "orrery/app:v2s2"}},
        {{"orrery/app:oci", "other/app:oci", "orrery/app:oci", "other/app:oci", "orrery/app:v2s2"}},
    };
    int round = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(round);
        std::string dir = tmp.path() + "/round" + std::to_string(round++);
        std::string script;
        for (size_t i = 0; i < c.repos.size(); ++i) {
            script += "( " + env() + " OZC_IMAGE_PATH='" + dir + "' '" + program + "' pull " + reg["OZ_REG_TLS"] + "/" +
                      c.repos[i] + " > '" + dir + ".out" + std::to_string(i) + "' 2>&1; echo $? > '" + dir + ".rc" +
                      std::to_string(i) + "' ) & ";
        }
        ASSERT_EQ(0, oztest::sh("mkdir -p '" + dir + "'; " + script + "wait"));
        std::string layout = dir + "/app";
        regfix::JsonPtr index = regfix::indexOf(layout);
        ASSERT_NE(nullptr, index);
        EXPECT_TRUE(regfix::layoutValid(layout));
        std::string winner;
        for (size_t i = 0; i < c.repos.size(); ++i) {
            std::string rc = regfix::readFile(dir + ".rc" + std::to_string(i));
            std::string out = regfix::readFile(dir + ".out" + std::to_string(i));
            std::string repo = c.repos[i].substr(0, c.repos[i].find(':'));
            std::string tag = c.repos[i].substr(c.repos[i].find(':') + 1);
            const cJSON *entry = regfix::indexEntry(index.get(), tag);
            const char *name = entry == nullptr ? nullptr
                                                : cJSON_GetObjectItem(cJSON_GetObjectItem(entry, "annotations"),
                                                                      "org.orrery.image.name")
                                                      ->valuestring;
            if (rc == "0\n") {
                /* A success is what the layout holds. */
                ASSERT_NE(nullptr, name) << out;
                EXPECT_EQ(reg["OZ_REG_TLS"] + "/" + repo, name) << out;
                EXPECT_TRUE(winner.empty() || winner == repo) << "two repositories succeeded";
                winner = repo;
            } else {
                EXPECT_EQ("1\n", rc) << out;
                EXPECT_NE(std::string::npos, out.find("failed: Local image name is used by another repository")) << out;
            }
        }
        EXPECT_FALSE(winner.empty());
    }
}

/* A pull killed in the middle of a layer leaves the image before it valid
 * and unchanged; the next pull removes what the killed one left. */
TEST_F(Ozcmgr, PullKilledMidLayerLeavesTheEarlierImage)
{
    std::string repo = reg["OZ_BAD_OK"] + "/shop-killed/app";
    ASSERT_EQ(0, run("pull " + repo + ":v1").status);
    std::string layout = tmp.path() + "/images/app";
    std::string indexText = regfix::readFile(layout + "/index.json");
    auto before = regfix::snapshot(layout);

    pid_t pid = fork();
    if (pid == 0) {
        std::string images = tmp.path() + "/images";
        setenv("OZC_IMAGE_PATH", images.c_str(), 1);
        setenv("OZC_TLS_CA_CERT_FILE", reg["OZ_REG_CA"].c_str(), 1);
        if (freopen("/dev/null", "w", stdout) == nullptr || freopen("/dev/null", "w", stderr) == nullptr)
            _exit(126);
        execl(program.c_str(), program.c_str(), "pull", (repo + ":slow").c_str(), nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    /* The slow layer (4 MiB at about 300 KiB/s) is on its way. */
    std::string partial;
    for (int i = 0; i < 2000 && partial.empty(); ++i) {
        for (const auto &f : regfix::snapshot(layout)) {
            if (f.first.find("/.partial-") != std::string::npos && f.second.size() > 65536)
                partial = f.first;
        }
        usleep(10000);
    }
    ASSERT_FALSE(partial.empty());
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));

    /* The image before: same index, same files (a blob the killed pull had
     * finished may lie beside them), still valid. */
    EXPECT_EQ(indexText, regfix::readFile(layout + "/index.json"));
    auto after = regfix::snapshot(layout);
    for (const auto &f : before)
        EXPECT_EQ(f.second, after[f.first]) << f.first;
    EXPECT_TRUE(regfix::layoutValid(layout));

    Result r = run("pull " + repo + ":v1");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("left by an earlier pull")) << r.out;
    for (const auto &f : regfix::snapshot(layout))
        EXPECT_EQ(std::string::npos, f.first.find(".partial-")) << f.first;
}

} /* namespace */
