/*
 * testutil.h - helpers every test area needs: the source tree, whole-file
 * reads and writes, shell commands and temporary directories.
 */
#ifndef OZ_TESTS_TESTUTIL_H
#define OZ_TESTS_TESTUTIL_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "ozPlatform.h"

/* Skips the running GoogleTest test unless it runs as root; `why` (a string
 * literal) says what needs the privilege. */
#define OZTEST_REQUIRE_ROOT(why)                                                                                       \
    do {                                                                                                               \
        if (geteuid() != 0)                                                                                            \
            GTEST_SKIP() << "needs root (" why ")";                                                                    \
    } while (0)

namespace oztest {

/* The source tree: from ctest's environment, else (a test program run by
 * hand) from this file's location. */
inline std::string sourceDir()
{
    const char *s = getenv("OZ_TEST_SOURCE_DIR");
    if (s != nullptr)
        return s;
    std::string f = __FILE__;
    return f.substr(0, f.rfind("/tests/testutil/"));
}

inline std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool writeFile(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return static_cast<bool>(f);
}

/* Runs a shell command; its exit status, or -1. Output goes to `out`
 * when given, else to the test's own output. */
inline int sh(const std::string &cmd, std::string *out = nullptr)
{
    if (out == nullptr) {
        int rc = system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    out->clear();
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out->append(buf, n);
    int rc = pclose(p);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

/* The text as one single-quoted shell word. */
inline std::string quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

/* A fresh directory /tmp/<stem>.XXXXXX, removed with everything below it. */
class TempDir {
public:
    explicit TempDir(const char *stem = "oztest")
    {
        std::string t = std::string("/tmp/") + stem + ".XXXXXX";
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            path_ = buf.data();
    }
    ~TempDir()
    {
        if (!path_.empty())
            ozRmTree(path_.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

} // namespace oztest

#endif /* OZ_TESTS_TESTUTIL_H */
