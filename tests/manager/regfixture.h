/* regfixture.h - the local registries of regfixture.sh for the image manager
 * tests.
 *
 * Under ctest the fixture test "manager_registry_up" starts them once and
 * leaves the directory's name in <build>/tests/manager/registry.dir; a test
 * program run by hand starts its own set and stops it when it exits.
 * Variables of the fixture (OZ_REG_*, OZ_BAD_*) come from its env file.
 */
#ifndef OZ_TESTS_MANAGER_REGFIXTURE_H
#define OZ_TESTS_MANAGER_REGFIXTURE_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <gtest/gtest.h>

#include "ozOwners.h"
#include "ozPlatform.h"
#include "ozcMgr.h"
#include "testutil/testutil.h"

namespace regfix {

using oztest::readFile;
using oztest::sourceDir;

inline std::string binaryDir()
{
    const char *b = getenv("OZ_TEST_BINARY_DIR");
    return b != nullptr ? b : "";
}

inline bool isDir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

/* The running registries: their variables, or an error text. */
class Registries {
public:
    static Registries &get()
    {
        static Registries r;
        return r;
    }
    bool ok() const { return !vars_.empty(); }
    const std::string &error() const { return error_; }
    std::string operator[](const std::string &key) const
    {
        auto it = vars_.find(key);
        return it == vars_.end() ? std::string() : it->second;
    }

private:
    Registries()
    {
        std::string ptr = binaryDir() + "/tests/manager/registry.dir";
        std::string dir;
        if (!binaryDir().empty() && exists(ptr)) {
            dir = readFile(ptr);
            while (!dir.empty() && (dir.back() == '\n' || dir.back() == ' '))
                dir.pop_back();
        } else {
            char tmpl[] = "/tmp/ozreg.XXXXXX";
            if (mkdtemp(tmpl) == nullptr) {
                error_ = "mkdtemp failed";
                return;
            }
            dir = tmpl;
            owned_ = dir;
            std::string cmd =
                "bash '" + sourceDir() + "/tests/manager/regfixture.sh' up '" + dir + "' > '" + dir + ".up.log' 2>&1";
            if (system(cmd.c_str()) != 0) {
                error_ = "regfixture.sh up failed, see " + dir + ".up.log";
                return;
            }
        }
        std::ifstream env(dir + "/env");
        for (std::string line; std::getline(env, line);) {
            size_t eq = line.find('=');
            if (eq != std::string::npos)
                vars_[line.substr(0, eq)] = line.substr(eq + 1);
        }
        if (vars_.empty())
            error_ = "no registry environment in " + dir;
    }
    ~Registries()
    {
        if (!owned_.empty()) {
            std::string cmd = "bash '" + sourceDir() + "/tests/manager/regfixture.sh' down '" + owned_ +
                              "' >/dev/null 2>&1; rm -f '" + owned_ + ".up.log'";
            if (system(cmd.c_str()) != 0) {
                /* nothing more to do at exit */
            }
        }
    }
    std::map<std::string, std::string> vars_;
    std::string error_;
    std::string owned_;
};

/* A fresh temporary directory, removed with its contents. */
class TempDir : public oztest::TempDir {
public:
    TempDir() : oztest::TempDir("ozmgr-test") {}
};

/* Sets an OS-wide environment variable for one scope (null: unset). */
class EnvScope {
public:
    EnvScope(const char *name, const char *value) : name_(name)
    {
        char old[4096] = {0};
        if (ozEnvGet(name, old, sizeof(old)) == 0) {
            had_ = true;
            old_ = old;
        }
        ozEnvSet(name, value);
    }
    ~EnvScope() { ozEnvSet(name_.c_str(), had_ ? old_.c_str() : nullptr); }
    EnvScope(const EnvScope &) = delete;
    EnvScope &operator=(const EnvScope &) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

struct CtxDeleter {
    void operator()(REGISTRY_CTX *c) const { ozcRegistryCtxDelete(c); }
};
using CtxPtr = std::unique_ptr<REGISTRY_CTX, CtxDeleter>;

/* Tests that pull from the registries: our CA trusted, images into a fresh
 * OZC_IMAGE_PATH of their own. */
class PullTest : public ::testing::Test {
protected:
    Registries &reg = Registries::get();
    TempDir tmp;
    std::string images;
    std::unique_ptr<EnvScope> caEnv, pathEnv;

    void SetUp() override
    {
        ASSERT_TRUE(reg.ok()) << reg.error();
        images = tmp.path() + "/images";
        caEnv = std::make_unique<EnvScope>("OZC_TLS_CA_CERT_FILE", reg["OZ_REG_CA"].c_str());
        pathEnv = std::make_unique<EnvScope>("OZC_IMAGE_PATH", images.c_str());
        _ozcMgrVerboseFlag = 0;
    }
};

using oz::JsonPtr;

/* Every file under dir (relative path -> bytes): what "exactly as it was"
 * compares. */
inline std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file())
            files[std::filesystem::relative(it->path(), dir).string()] = readFile(it->path().string());
    }
    return files;
}

/* True when oci-image-tool accepts the layout. */
inline bool layoutValid(const std::string &dir)
{
    return oztest::sh("oci-image-tool validate --type image " + oztest::quote(dir) + " >/dev/null 2>&1") == 0;
}

/* The layout's index.json, parsed (null when missing or broken). */
inline JsonPtr indexOf(const std::string &dir)
{
    return JsonPtr(cJSON_Parse(readFile(dir + "/index.json").c_str()));
}

/* The index entry of a ref name, or null. */
inline const cJSON *indexEntry(const cJSON *index, const std::string &ref)
{
    const cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, cJSON_GetObjectItem(index, "manifests"))
    {
        const cJSON *name =
            cJSON_GetObjectItem(cJSON_GetObjectItem(entry, "annotations"), "org.opencontainers.image.ref.name");
        if (cJSON_IsString(name) && ref == name->valuestring)
            return entry;
    }
    return nullptr;
}

/* What the misbehaving registry saw (its /_stats), parsed. */
inline JsonPtr badStats(const std::string &hostPort)
{
    std::string out;
    oztest::sh("curl -sk https://" + hostPort + "/_stats", &out);
    return JsonPtr(cJSON_Parse(out.c_str()));
}

/* Requests "METHOD /path" the misbehaving registry has seen. */
inline int badRequests(const std::string &hostPort, const std::string &key)
{
    JsonPtr stats = badStats(hostPort);
    const cJSON *n = cJSON_GetObjectItem(cJSON_GetObjectItem(stats.get(), "requests"), key.c_str());
    return cJSON_IsNumber(n) ? n->valueint : 0;
}

} /* namespace regfix */

#endif /* OZ_TESTS_MANAGER_REGFIXTURE_H */
