/*
 * archive_fixture.h - helpers of the archive tests: a scratch directory
 * with an extraction target and a sentinel file outside it, and a builder
 * of ustar archives with arbitrary (also hostile) headers.
 */
#ifndef OZ_TEST_ARCHIVE_FIXTURE_H
#define OZ_TEST_ARCHIVE_FIXTURE_H

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "ozPlatform.h"
#include "testutil/testutil.h"

namespace oztest {

inline std::set<std::string> listDir(const std::string &path)
{
    std::set<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, ".."))
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

inline bool isSymlink(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

inline bool isRegular(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

inline bool isDir(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline time_t mtimeOf(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mtime : (time_t)-1;
}

/* base/target: extraction target; base/outside/sentinel: must never change;
 * base/work: archives. */
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/oz-rt-XXXXXX";
        char *p = mkdtemp(tmpl);
        base = p != nullptr ? p : "";
        target = base + "/target";
        outside = base + "/outside";
        work = base + "/work";
        sentinel = outside + "/sentinel";
        mkdir(target.c_str(), 0755);
        mkdir(outside.c_str(), 0755);
        mkdir(work.c_str(), 0755);
        writeFile(sentinel, kSentinelText);
        struct timespec t[2] = {{kSentinelTime, 0}, {kSentinelTime, 0}};
        utimensat(AT_FDCWD, sentinel.c_str(), t, 0);
        utimensat(AT_FDCWD, outside.c_str(), t, 0);
    }
    ~ScratchDir()
    {
        if (!base.empty())
            ozRmTree(base.c_str());
    }
    /* Nothing outside the target changed. */
    void expectOutsideUntouched() const
    {
        EXPECT_EQ(readFile(sentinel), kSentinelText);
        EXPECT_EQ(mtimeOf(sentinel), kSentinelTime);
        EXPECT_EQ(listDir(outside), std::set<std::string>{"sentinel"});
        EXPECT_EQ(mtimeOf(outside), kSentinelTime);
    }
    static constexpr const char *kSentinelText = "sentinel: must stay as it is\n";
    static constexpr time_t kSentinelTime = 1000000000;
    std::string base, target, outside, work, sentinel;
};

struct TarEntry {
    std::string name;
    char type = '0';
    std::string data;
    std::string linkname;
    std::string prefix;
    unsigned mode = 0644;
    uint64_t mtime = 1500000000;
    unsigned uid = 0, gid = 0;
    unsigned devMajor = 0, devMinor = 0;
    uint64_t size = UINT64_MAX; /* UINT64_MAX: data.size() */
    std::string rawSize;        /* when set: the 12 bytes of the size field */
    bool gnuMagic = false;      /* "ustar  " instead of "ustar\0" "00" */
    bool badChecksum = false;
};

inline std::string tarHeader(const TarEntry &e)
{
    char h[512];
    memset(h, 0, sizeof(h));
    memcpy(h, e.name.data(), std::min<size_t>(e.name.size(), 100));
    snprintf(h + 100, 8, "%07o", e.mode);
    snprintf(h + 108, 8, "%07o", e.uid);
    snprintf(h + 116, 8, "%07o", e.gid);
    snprintf(h + 329, 8, "%07o", e.devMajor);
    snprintf(h + 337, 8, "%07o", e.devMinor);
    uint64_t size = e.size == UINT64_MAX ? e.data.size() : e.size;
    char tmp[32];
    snprintf(tmp, sizeof(tmp), "%011llo", (unsigned long long)size);
    memcpy(h + 124, tmp, 12);
    if (!e.rawSize.empty())
        memcpy(h + 124, e.rawSize.data(), std::min<size_t>(e.rawSize.size(), 12));
    snprintf(tmp, sizeof(tmp), "%011llo", (unsigned long long)e.mtime);
    memcpy(h + 136, tmp, 12);
    h[156] = e.type;
    memcpy(h + 157, e.linkname.data(), std::min<size_t>(e.linkname.size(), 100));
    if (e.gnuMagic)
        memcpy(h + 257, "ustar  ", 8);
    else
        memcpy(h + 257,
               "ustar\0"
               "00",
               8);
    memcpy(h + 345, e.prefix.data(), std::min<size_t>(e.prefix.size(), 155));
    memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : std::string(h, 512))
        sum += c;
    if (e.badChecksum)
        sum += 1;
    snprintf(h + 148, 8, "%06o", sum);
    h[155] = ' ';
    return std::string(h, 512);
}

inline std::string tarPad(const std::string &data)
{
    std::string s = data;
    s.append((512 - data.size() % 512) % 512, '\0');
    return s;
}

/* A whole archive: the entries, then two zero blocks unless endBlocks is
 * false. */
inline std::string tarBuild(const std::vector<TarEntry> &entries, bool endBlocks = true)
{
    std::string out;
    for (const auto &e : entries) {
        out += tarHeader(e);
        out += tarPad(e.data);
    }
    if (endBlocks)
        out.append(1024, '\0');
    return out;
}

/* Runs a shell command with its output hidden; the exit status. */
inline int shQuiet(const std::string &cmd)
{
    return sh("(" + cmd + ") >/dev/null 2>&1");
}

/* gzip -n of a file into file.gz; the name of the result. */
inline std::string gzipFile(const std::string &path)
{
    std::string out = path + ".gz";
    EXPECT_EQ(shQuiet("gzip -n -c '" + path + "' > '" + out + "'"), 0);
    return out;
}

/* Every object under root as "relative path" -> description (type, mode,
 * content or link target, and the modification time of files and
 * directories). */
inline void treeWalk(const std::string &root, const std::string &rel, std::map<std::string, std::string> &out,
                     bool withTimes)
{
    for (const auto &name : listDir(root + "/" + rel)) {
        std::string r = rel.empty() ? name : rel + "/" + name;
        std::string p = root + "/" + r;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            continue;
        std::string d;
        std::string t = withTimes ? " t=" + std::to_string(st.st_mtime) : "";
        char modeText[16];
        snprintf(modeText, sizeof(modeText), "%o", (unsigned)(st.st_mode & 07777));
        if (S_ISLNK(st.st_mode)) {
            char buf[1024];
            ssize_t n = readlink(p.c_str(), buf, sizeof(buf));
            d = "link->" + std::string(buf, n > 0 ? (size_t)n : 0);
        } else if (S_ISDIR(st.st_mode)) {
            d = std::string("dir ") + modeText + t;
            treeWalk(root, r, out, withTimes);
        } else if (S_ISREG(st.st_mode)) {
            d = std::string("file ") + modeText + t + " " + std::to_string(st.st_size) + " " +
                std::to_string(std::hash<std::string>{}(readFile(p)));
        } else {
            d = "other";
        }
        out[r] = d;
    }
}

inline std::map<std::string, std::string> tree(const std::string &root, bool withTimes = true)
{
    std::map<std::string, std::string> out;
    treeWalk(root, "", out, withTimes);
    return out;
}

/* A root file system as two unpackers must agree on it: every entry ("."
 * the root) by type, permission bits, owner, size and SHA-256 of regular
 * files, link target, device number, extended attributes, and the other
 * names of the same file (hard links) in the tree. Modification times of
 * non-directories count where they are the archived time `archived`;
 * unpackers differ in the times of directories that later layers write
 * into. */
inline std::map<std::string, std::string> rootfsEntries(const std::string &root, time_t archived)
{
    std::map<std::string, std::string> out;
    std::map<std::pair<dev_t, ino_t>, std::set<std::string>> inodes;
    std::map<std::string, std::pair<dev_t, ino_t>> linked;
    std::function<void(const std::string &)> walk = [&](const std::string &rel) {
        std::string p = rel == "." ? root : root + "/" + rel;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) {
            out[rel] = "unreadable";
            return;
        }
        char head[96];
        snprintf(head, sizeof(head), "%c %04o %u:%u",
                 S_ISDIR(st.st_mode)    ? 'd'
                 : S_ISREG(st.st_mode)  ? 'f'
                 : S_ISLNK(st.st_mode)  ? 'l'
                 : S_ISCHR(st.st_mode)  ? 'c'
                 : S_ISBLK(st.st_mode)  ? 'b'
                 : S_ISFIFO(st.st_mode) ? 'p'
                                        : '?',
                 (unsigned)(st.st_mode & 07777), (unsigned)st.st_uid, (unsigned)st.st_gid);
        std::string d = head;
        if (st.st_mtime == archived && !S_ISDIR(st.st_mode))
            d += " archived-time";
        if (S_ISREG(st.st_mode)) {
            std::string data = readFile(p);
            unsigned char sum[SHA256_DIGEST_LENGTH];
            SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), sum);
            d += " " + std::to_string(st.st_size) + " sha256:";
            for (unsigned char c : sum) {
                char two[3];
                snprintf(two, sizeof(two), "%02x", c);
                d += two;
            }
        } else if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t n = readlink(p.c_str(), buf, sizeof(buf));
            d += " -> " + std::string(buf, n > 0 ? (size_t)n : 0);
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            d += " " + std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
        }
        char names[8192];
        ssize_t len = llistxattr(p.c_str(), names, sizeof(names));
        std::set<std::string> xattrs;
        for (ssize_t i = 0; len > 0 && i < len; i += (ssize_t)strlen(names + i) + 1) {
            char value[4096];
            ssize_t v = lgetxattr(p.c_str(), names + i, value, sizeof(value));
            std::string hex;
            for (ssize_t k = 0; k < v; k++) {
                char two[3];
                snprintf(two, sizeof(two), "%02x", (unsigned char)value[k]);
                hex += two;
            }
            xattrs.insert(std::string(names + i) + "=" + hex);
        }
        for (const auto &x : xattrs)
            d += " " + x;
        out[rel] = d;
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
            inodes[{st.st_dev, st.st_ino}].insert(rel);
            linked[rel] = {st.st_dev, st.st_ino};
        }
        if (S_ISDIR(st.st_mode))
            for (const auto &name : listDir(p))
                walk(rel == "." ? name : rel + "/" + name);
    };
    walk(".");
    for (const auto &[rel, ino] : linked) {
        std::string others;
        for (const auto &other : inodes[ino])
            if (other != rel)
                others += " " + other;
        if (!others.empty())
            out[rel] += " hard-linked with" + others;
    }
    return out;
}

/* The entries in which two listings differ, one line each. */
inline std::string entriesDiff(const std::map<std::string, std::string> &want,
                               const std::map<std::string, std::string> &got)
{
    std::string diff;
    for (const auto &[rel, d] : want) {
        auto it = got.find(rel);
        if (it == got.end())
            diff += "  missing  " + rel + ": " + d + "\n";
        else if (it->second != d)
            diff += "  differs  " + rel + ": want " + d + "\n                 got  " + it->second + "\n";
    }
    for (const auto &[rel, d] : got)
        if (want.find(rel) == want.end())
            diff += "  extra    " + rel + ": " + d + "\n";
    return diff;
}

} // namespace oztest

#endif
