/* The ozcmgr program as a person runs it: pull with per-layer progress,
 * manifest and tag queries, credentials on standard input, exit codes and
 * messages, against the local registries. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

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

    /* Runs ozcmgr with args (shell words), input on standard input. */
    Result run(const std::string &args, const std::string &input = "")
    {
        std::string in = tmp.path() + "/in", out = tmp.path() + "/out", err = tmp.path() + "/err";
        FILE *f = fopen(in.c_str(), "w");
        if (f != nullptr) {
            fputs(input.c_str(), f);
            fclose(f);
        }
        std::string cmd = "env OZC_IMAGE_PATH='" + tmp.path() + "/images' OZC_TLS_CA_CERT_FILE='" +
                          reg["OZ_REG_CA"] + "' '" + program + "' " + args + " < '" + in +
                          "' > '" + out + "' 2> '" + err + "'";
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
    EXPECT_NE(std::string::npos,
              r.out.find("Pulled app:oci into " + tmp.path() + "/images/app\n"));
    EXPECT_TRUE(regfix::exists(tmp.path() + "/images/app/index.json"));
}

TEST_F(Ozcmgr, PullFailuresExitNonZeroWithTheErrorText)
{
    Result r = run("pull " + reg["OZ_REG_TLS"] + "/team/nomatch");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("ozcmgr: pull of " + reg["OZ_REG_TLS"] +
                         "/team/nomatch failed: Orrery OS or specified architecture not found "
                         "in manifest list\n"))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("no image found for os orrery and arch amd64\n"));
    EXPECT_FALSE(regfix::exists(tmp.path() + "/images/nomatch"));

    r = run("pull " + reg["OZ_REG_TLS"] + "/team/corrupt");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("failed: File integrity check failed\n")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("integrity check failed for file ")) << r.out;
}

TEST_F(Ozcmgr, CredentialsFromStandardInput)
{
    std::string ref = reg["OZ_REG_BASIC"] + "/orrery/app:v2s2";
    Result r = run("pull " + ref + " --user " + reg["OZ_REG_USER"] + " --password-stdin",
                   reg["OZ_REG_PASSWORD"] + "\n");
    EXPECT_EQ(0, r.status) << r.out << r.err;

    r = run("pull " + ref + " -u " + reg["OZ_REG_USER"] + " -p", "not-the-password\n");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("failed: HTTP response code is not OK\n")) << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("Unauthorized access to https://" + reg["OZ_REG_BASIC"] + "/v2/\n"));

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
    std::string cmd = "env OZC_TLS_CA_CERT_FILE='" + reg["OZ_REG_CA"] + "' python3 '" +
                      regfix::sourceDir() + "/tests/manager/ptyrun.py' 'Password: ' '" + password +
                      "' '" + program + "' tags " + reg["OZ_REG_BASIC"] + "/orrery/app --user " +
                      reg["OZ_REG_USER"] + " > '" + log + "' 2>&1";
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
    /* The pull takes the target's platform; the runtime's default is the
     * host's. */
    std::string cmd = "env OZC_BASE='" + tmp.path() + "/base' OZ_OVERLAY_DEV_DIR= '" + ozc +
                      "' unpack --os orrery '" + layout + "' '" + bundle + "' > '" + tmp.path() +
                      "/unpack.log' 2>&1";
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

} /* namespace */
