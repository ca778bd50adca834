/*
 * runtime_fixture.h - helpers of the container, image, daemon and command
 * line tests: temporary directories, fixture image layouts, shell commands,
 * JSON files, and a runtime daemon (ozcd) in a process of its own.
 */
#ifndef OZ_TESTS_RUNTIME_FIXTURE_H
#define OZ_TESTS_RUNTIME_FIXTURE_H

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>
#include <openssl/sha.h>

#include "ozOwners.h"
#include "ozPlatform.h"
#include "testutil/testutil.h"

extern char **environ;

namespace rtfix {

using oztest::quote;
using oztest::readFile;
using oztest::sh;
using oztest::sourceDir;
using oztest::writeFile;

/* The build tree: from ctest's environment, else (a test program run by
 * hand) from the program's own location. */
inline std::string binaryDir()
{
    const char *s = getenv("OZ_TEST_BINARY_DIR");
    if (s != nullptr)
        return s;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    std::string e = n > 0 ? std::string(exe, (size_t)n) : std::string("./x");
    size_t at = e.rfind("/tests/runtime/");
    return at == std::string::npos ? "." : e.substr(0, at);
}

inline std::string ozcdPath()
{
    return binaryDir() + "/container/runtime/tools/ozcd";
}
inline std::string ozcPath()
{
    return binaryDir() + "/container/runtime/tools/ozc";
}

/* Tests that make namespaces, mounts or overlays need root. */
#define RTFIX_REQUIRE_ROOT() OZTEST_REQUIRE_ROOT("namespaces, mounts, message queues")

using oztest::TempDir;

/* Builds an image layout with the fixture script; true on success. */
inline bool mkimage(const std::string &layout, const std::string &args = "")
{
    std::string cmd = sourceDir() + "/tests/fixtures/mkimage.sh " + args + " " + quote(layout) + " >/dev/null";
    return sh(cmd) == 0;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

using Json = oz::JsonPtr;
using CText = oz::MallocPtr<char>;

inline Json readJson(const std::string &path)
{
    return Json(cJSON_Parse(readFile(path).c_str()));
}

inline bool writeJson(const std::string &path, const cJSON *doc)
{
    CText text(cJSON_PrintUnformatted(doc));
    return text && writeFile(path, text.get());
}

inline std::string jsonText(const cJSON *item)
{
    CText text(item != nullptr ? cJSON_PrintUnformatted(item) : nullptr);
    return text ? text.get() : "<null>";
}

/* A listing of a tree that two equal root file systems share: one line per
 * entry with its type, permission bits, size of regular files, link
 * target and a content hash of regular files. */
inline std::string treeListing(const std::string &root)
{
    std::string out;
    sh("cd " + quote(root) +
           " && find . -mindepth 1 \\( -type f -printf '%p f %m %s ' -exec sh -c "
           "'md5sum < \"$1\" | cut -c1-32' _ {} \\; \\) -o \\( ! -type f -printf '%p %y %m %l\\n' \\)"
           " | sort",
       &out);
    return out;
}

/* Extracts the layer blobs of the first manifest of a layout with GNU tar,
 * in order, into dir. */
inline bool tarLayers(const std::string &layout, const std::string &dir)
{
    Json index = readJson(layout + "/index.json");
    cJSON *m = cJSON_GetArrayItem(cJSON_GetObjectItem(index.get(), "manifests"), 0);
    cJSON *digest = cJSON_GetObjectItem(m, "digest");
    if (!cJSON_IsString(digest))
        return false;
    auto blob = [&](const char *d) {
        std::string s(d);
        return layout + "/blobs/" + s.replace(s.find(':'), 1, "/");
    };
    Json manifest = readJson(blob(digest->valuestring));
    cJSON *layer;
    mkdir(dir.c_str(), 0755);
    cJSON_ArrayForEach(layer, cJSON_GetObjectItem(manifest.get(), "layers"))
    {
        cJSON *ld = cJSON_GetObjectItem(layer, "digest");
        if (!cJSON_IsString(ld) || sh("tar -xf " + quote(blob(ld->valuestring)) + " -C " + quote(dir)) != 0)
            return false;
    }
    return true;
}

inline std::string hexOf(const unsigned char *bytes, size_t size)
{
    static const char *hex = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < size; i++) {
        s += hex[bytes[i] >> 4];
        s += hex[bytes[i] & 15];
    }
    return s;
}

inline std::string sha256Hex(const std::string &data)
{
    unsigned char out[32];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out);
    return hexOf(out, sizeof(out));
}

/* An image layout on disk that a test can take apart and put back together
 * with consistent digests and sizes. */
class Layout {
public:
    explicit Layout(std::string dir) : dir_(std::move(dir)) {}
    const std::string &dir() const { return dir_; }

    std::string blob(const std::string &digest) const
    {
        std::string d = digest;
        return dir_ + "/blobs/" + d.replace(d.find(':'), 1, "/");
    }
    /* Writes a blob; its "sha256:<hex>" digest. */
    std::string put(const std::string &data) const
    {
        std::string digest = "sha256:" + sha256Hex(data);
        writeFile(blob(digest), data);
        return digest;
    }
    Json index() const { return readJson(dir_ + "/index.json"); }
    std::string manifestDigest(int i = 0) const
    {
        Json idx = index();
        cJSON *e = cJSON_GetArrayItem(cJSON_GetObjectItem(idx.get(), "manifests"), i);
        return cJSON_GetObjectItem(e, "digest")->valuestring;
    }
    Json manifest(int i = 0) const { return readJson(blob(manifestDigest(i))); }
    std::string configDigest(int i = 0) const
    {
        Json m = manifest(i);
        return cJSON_GetObjectItem(cJSON_GetObjectItem(m.get(), "config"), "digest")->valuestring;
    }
    std::string layerDigest(int layer, int i = 0) const
    {
        Json m = manifest(i);
        cJSON *l = cJSON_GetArrayItem(cJSON_GetObjectItem(m.get(), "layers"), layer);
        return cJSON_GetObjectItem(l, "digest")->valuestring;
    }

    /* The chain id of the first `layers` layers of image i as the runtime
     * names shared directories by it: c0 = SHA-256 of the hex text of diff
     * id 0, then SHA-256 of the previous 32 bytes and the next hex text. */
    std::string chainId(int layers, int i = 0) const
    {
        Json cfg = readJson(blob(configDigest(i)));
        cJSON *ids = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg.get(), "rootfs"), "diff_ids");
        std::string chain;
        for (int k = 0; k < layers; k++) {
            std::string in = chain + (strchr(cJSON_GetArrayItem(ids, k)->valuestring, ':') + 1);
            unsigned char out[32];
            SHA256(reinterpret_cast<const unsigned char *>(in.data()), in.size(), out);
            chain.assign(reinterpret_cast<char *>(out), sizeof(out));
        }
        return hexOf(reinterpret_cast<const unsigned char *>(chain.data()), chain.size());
    }

    /* Edits index entry i in place. */
    void editIndexEntry(const std::function<void(cJSON *)> &fn, int i = 0) const
    {
        Json idx = index();
        fn(cJSON_GetArrayItem(cJSON_GetObjectItem(idx.get(), "manifests"), i));
        writeJson(dir_ + "/index.json", idx.get());
    }
    /* Edits manifest i and writes it back as a new blob referred to by
     * the index with its new digest and size. */
    void editManifest(const std::function<void(cJSON *)> &fn, int i = 0) const
    {
        Json m = manifest(i);
        fn(m.get());
        CText text(cJSON_PrintUnformatted(m.get()));
        std::string data = text.get();
        std::string digest = put(data);
        editIndexEntry(
            [&](cJSON *e) {
                cJSON_ReplaceItemInObject(e, "digest", cJSON_CreateString(digest.c_str()));
                cJSON_ReplaceItemInObject(e, "size", cJSON_CreateNumber((double)data.size()));
            },
            i);
    }
    /* Edits the image config of manifest i, then the manifest and index. */
    void editConfig(const std::function<void(cJSON *)> &fn, int i = 0) const
    {
        Json c = readJson(blob(configDigest(i)));
        fn(c.get());
        CText text(cJSON_PrintUnformatted(c.get()));
        std::string data = text.get();
        std::string digest = put(data);
        editManifest(
            [&](cJSON *m) {
                cJSON *cfg = cJSON_GetObjectItem(m, "config");
                cJSON_ReplaceItemInObject(cfg, "digest", cJSON_CreateString(digest.c_str()));
                cJSON_ReplaceItemInObject(cfg, "size", cJSON_CreateNumber((double)data.size()));
            },
            i);
    }

private:
    std::string dir_;
};

/* The runtime daemon in a process of its own, serving a queue private to
 * this test program (OZC_DAEMON_QUEUE is set for the clients too). */
class Daemon {
public:
    explicit Daemon(const std::string &queue) : queue_(queue) { setenv("OZC_DAEMON_QUEUE", queue_.c_str(), 1); }
    ~Daemon() { stop(); }

    /* Starts ozcd and waits until it answers; false when it does not. */
    bool start(const std::string &logFile = "/dev/null");
    /* SIGTERM and wait; the exit status, or -1. */
    int stop();
    /* SIGKILL, as a crash would end it; its request queue stays behind. */
    void crash()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    const std::string &queue() const { return queue_; }
    /* True when the request queue exists in the system. */
    bool queueExists() const { return exists("/dev/mqueue" + queue_) || queueOpens(); }

private:
    bool queueOpens() const
    {
        MSG_Q_ID q = msgQOpen(queue_.c_str(), 32, 2048, MSG_Q_PRIORITY, 0);
        if (q == nullptr)
            return false;
        msgQClose(q);
        return true;
    }
    std::string queue_;
    pid_t pid_ = -1;
};

inline bool Daemon::start(const std::string &logFile)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::string path = ozcdPath();
    char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
    int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    for (int i = 0; i < 500; i++) {
        if (queueOpens())
            return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        usleep(10000);
    }
    return false;
}

inline int Daemon::stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    pid_t r = -1;
    for (int i = 0; i < 500; i++) {
        r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        usleep(10000);
    }
    if (r != pid_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* True when a file that a container process wrote at `name` in its root
 * appeared in the host's root instead (it is removed again). */
inline bool leakedToHost(const std::string &name)
{
    std::string host = "/" + name;
    if (!exists(host))
        return false;
    unlink(host.c_str());
    return true;
}

/* Checks `cond` every 10 ms for up to `ms`; its last answer. */
inline bool waitFor(const std::function<bool()> &cond, int ms = 5000)
{
    for (int i = 0; i < ms / 10; i++) {
        if (cond())
            return true;
        usleep(10000);
    }
    return cond();
}

/* A queue name private to this process and test. */
inline std::string uniqueQueue(const char *stem)
{
    static int n = 0;
    return std::string("/") + stem + "-" + std::to_string(getpid()) + "-" + std::to_string(n++);
}

} // namespace rtfix

#endif /* OZ_TESTS_RUNTIME_FIXTURE_H */
