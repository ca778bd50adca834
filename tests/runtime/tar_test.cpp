/*
 * tar_test.cpp - extraction of archives made by GNU tar in its three
 * formats (plain and gzip'd), directory times, path handling, and hostile
 * archives that must never touch anything outside the target.
 */
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "ozcTarLib.h"
#include "ozcUtil.h"

using namespace oztest;

/* Entries are written with designated initializers naming only what
 * differs from the defaults. */
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

constexpr time_t kFileTime = 1400000000;
constexpr time_t kDirTime = 1300000000;

const std::string kLongDir1(60, 'p');
const std::string kLongDir2(60, 'q');
const std::string kLongName(90, 'n');

class TarTest : public ::testing::Test {
protected:
    ScratchDir s;

    /* A source tree under work/src/top: nested directories, an empty file,
     * a file of exactly one block, random data, an executable, a relative
     * link, and (withLong) a path longer than 100 characters. Files and
     * directories get distinct fixed times. */
    std::string makeSourceTree(bool withLong)
    {
        std::string src = s.work + "/src";
        std::string top = src + "/top";
        std::string cmd = "mkdir -p '" + top + "/a/b/c' '" + top + "/d' && cd '" + top + "' && " +
                          "printf 'alpha\\n' > a/f1 && printf 'beta' > a/b/f2 && "
                          ": > a/b/c/empty && head -c 512 /dev/urandom > d/block && "
                          "head -c 300000 /dev/urandom > d/rand && chmod 600 d/rand && "
                          "printf '#!/bin/sh\\n' > d/run.sh && chmod 755 d/run.sh && "
                          "ln -s a/b link && ln -s /nonexistent/abs dangling";
        if (withLong)
            cmd += " && mkdir -p " + kLongDir1 + "/" + kLongDir2 + " && printf long > " + kLongDir1 + "/" + kLongDir2 +
                   "/" + kLongName;
        EXPECT_EQ(shQuiet(cmd), 0);
        EXPECT_EQ(shQuiet("cd '" + src + "' && find top ! -type d -exec touch -h -d @" + std::to_string(kFileTime) +
                          " {} + && find top -depth -type d -exec touch -d @" + std::to_string(kDirTime) + " {} +"),
                  0);
        return src;
    }

    std::string gnuTar(const std::string &format, const std::string &src, const std::string &what, bool gz)
    {
        std::string out = s.work + "/" + format + ".tar";
        EXPECT_EQ(shQuiet("tar --format=" + format + " -cf '" + out + "' -C '" + src + "' " + what), 0);
        return gz ? gzipFile(out) : out;
    }

    std::string writeArchive(const std::string &bytes, bool gz = false)
    {
        std::string path = s.work + "/crafted.tar";
        writeFile(path, bytes);
        return gz ? gzipFile(path) : path;
    }

    /* Extracts the entries into a fresh target (after prepare, when given):
     * OK when err is 0, else ERROR with errno err. */
    void expectExtraction(const std::vector<TarEntry> &entries, int err, const std::function<void()> &prepare = nullptr)
    {
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        if (prepare)
            prepare();
        int got = 0;
        EXPECT_EQ(extract(writeArchive(tarBuild(entries)), &got), err == 0 ? OK : ERROR) << strerror(got);
        if (err != 0) {
            EXPECT_EQ(got, err) << strerror(got);
        }
    }

    /* Extracts into the target: the result, with errno in *err. */
    int extract(const std::string &archive, int *err = nullptr, size_t bfactor = 0)
    {
        errno = 0;
        int rc = ozcTarExtract(archive.c_str(), s.target.c_str(), bfactor, FALSE);
        if (err != nullptr)
            *err = errno;
        return rc;
    }
};

/* ---------------------------------------------------------------------
 * Archives made by GNU tar
 * --------------------------------------------------------------------- */
TEST_F(TarTest, UstarPlainAndGzipExtractTheWholeTreeWithTimes)
{
    std::string src = makeSourceTree(true);
    auto want = tree(src);
    ASSERT_TRUE(want.count("top/" + kLongDir1 + "/" + kLongDir2 + "/" + kLongName));
    for (bool gz : {false, true}) {
        for (size_t bf : {size_t(0), size_t(1), size_t(200)}) {
            SCOPED_TRACE(std::string(gz ? "gzip" : "plain") + " bfactor " + std::to_string(bf));
            ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
            ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
            std::string archive = gnuTar("ustar", src, "top", gz);
            int err = 0;
            EXPECT_EQ(extract(archive, &err, bf), OK) << strerror(err);
            /* Every directory has its archived time although files were
             * written into it afterwards, the first directory included. */
            EXPECT_EQ(tree(s.target), want);
            EXPECT_EQ(mtimeOf(s.target + "/top"), kDirTime);
            s.expectOutsideUntouched();
        }
    }
}

TEST_F(TarTest, UtilUntarExtractsAGzipLayerAndDotEntriesStayInside)
{
    std::string src = makeSourceTree(false);
    /* "./" names the target itself and is passed over; "./a/./b" lands
     * at a/b. */
    std::string archive = gnuTar("ustar", src + "/top", ".", true);
    ASSERT_EQ(ozcUtilUntar(archive.c_str(), s.target.c_str()), OK);
    EXPECT_EQ(tree(s.target), tree(src + "/top"));
    s.expectOutsideUntouched();
}

TEST_F(TarTest, GnuFormatWithShortNamesExtracts)
{
    std::string src = makeSourceTree(false);
    for (bool gz : {false, true}) {
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        EXPECT_EQ(extract(gnuTar("gnu", src, "top", gz)), OK);
        EXPECT_EQ(tree(s.target), tree(src));
    }
}

TEST_F(TarTest, PaxAndGnuFormatsExtractLongNamesLikeUstar)
{
    std::string src = makeSourceTree(true);
    for (const char *format : {"gnu", "pax"}) {
        for (bool gz : {false, true}) {
            SCOPED_TRACE(std::string(format) + (gz ? " gzip" : " plain"));
            ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
            ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
            int err = 0;
            EXPECT_EQ(extract(gnuTar(format, src, "top", gz), &err), OK) << strerror(err);
            EXPECT_EQ(tree(s.target), tree(src));
            s.expectOutsideUntouched();
        }
    }
}

/* Extended headers made by hand: what each one does to the entry after
 * it, and the malformed ones that end the extraction. */
TEST_F(TarTest, ExtendedHeadersApplyToTheNextEntry)
{
    auto pax = [](const std::string &key, const std::string &value) {
        std::string rec = " " + key + "=" + value + "\n";
        size_t len = rec.size() + 1;
        while (std::to_string(len).size() + rec.size() != len)
            len++;
        return std::to_string(len) + rec;
    };
    const std::string longName = std::string(150, 'l') + "/" + std::string(120, 'm');
    const std::string longLink = std::string(300, 't');
    struct Case {
        const char *what;
        std::vector<TarEntry> entries;
        int err; /* 0: extracts */
        std::function<void()> check;
    } cases[] = {
        {"pax path, size, mtime and ids",
         {{.name = "d/", .type = '5'},
          {.name = "hdr",
           .type = 'x',
           .data = pax("path", "d/" + std::string(200, 'p')) + pax("mtime", "1234567890.5") + pax("size", "3")},
          {.name = "short", .data = "abc", .size = 99}},
         0,
         [&] {
             std::string p = s.target + "/d/" + std::string(200, 'p');
             EXPECT_EQ(readFile(p), "abc");
             EXPECT_EQ(mtimeOf(p), 1234567890);
         }},
        {"global header: times of all following entries, until overridden",
         {{.name = "g", .type = 'g', .data = pax("mtime", "1111111111") + pax("comment", "x")},
          {.name = "a", .data = "1"},
          {.name = "hdr", .type = 'x', .data = pax("mtime", "1222222222")},
          {.name = "b", .data = "2"},
          {.name = "c", .data = "3"}},
         0,
         [&] {
             EXPECT_EQ(mtimeOf(s.target + "/a"), 1111111111);
             EXPECT_EQ(mtimeOf(s.target + "/b"), 1222222222);
             EXPECT_EQ(mtimeOf(s.target + "/c"), 1111111111);
         }},
        {"GNU long name and long link name",
         {{.name = "././@LongLink", .type = 'L', .data = longName + std::string(1, '\0')},
          {.name = "cut", .data = "long"},
          {.name = "././@LongLink", .type = 'K', .data = longLink},
          {.name = "sym", .type = '2', .linkname = "cut"}},
         0,
         [&] {
             EXPECT_EQ(readFile(s.target + "/" + longName), "long");
             char buf[512];
             ssize_t n = readlink((s.target + "/sym").c_str(), buf, sizeof(buf));
             EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), longLink);
         }},
        {"pax path with a .. component",
         {{.name = "hdr", .type = 'x', .data = pax("path", "a/../../x")}, {.name = "f", .data = "x"}},
         EPERM,
         nullptr},
        {"GNU long name with a .. component",
         {{.name = "L", .type = 'L', .data = "../x"}, {.name = "f", .data = "x"}},
         EPERM,
         nullptr},
        {"pax record of a wrong length",
         {{.name = "hdr", .type = 'x', .data = "30 path=" + std::string(20, 'z') + "\n"}, {.name = "f", .data = "x"}},
         EBADMSG,
         nullptr},
        {"pax record without =",
         {{.name = "hdr", .type = 'g', .data = "9 mtime\n"}, {.name = "f", .data = "x"}},
         EBADMSG,
         nullptr},
        {"pax size that is no number",
         {{.name = "hdr", .type = 'x', .data = pax("size", "1e3")}, {.name = "f", .data = "x"}},
         EBADMSG,
         nullptr},
        {"pax size of 4 GiB",
         {{.name = "hdr", .type = 'x', .data = pax("size", "4294967296")}, {.name = "f"}},
         EFBIG,
         nullptr},
        {"GNU sparse file",
         {{.name = "hdr", .type = 'x', .data = pax("GNU.sparse.major", "1")}, {.name = "f"}},
         ENOTSUP,
         nullptr},
        {"oversized GNU long name",
         {{.name = "L", .type = 'L', .data = std::string(5000, 'n')}, {.name = "f"}},
         EFBIG,
         nullptr},
        {"unknown entry type", {{.name = "f", .type = 'Q'}}, ENOTSUP, nullptr},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        expectExtraction(c.entries, c.err);
        if (c.check)
            c.check();
        s.expectOutsideUntouched();
    }
}

/* ---------------------------------------------------------------------
 * Paths, directories and archive framing
 * --------------------------------------------------------------------- */
TEST_F(TarTest, PathsAreCondensedAndDirectoriesMayExist)
{
    mkdir((s.target + "/pre").c_str(), 0700);
    std::string tar = tarBuild({{.name = "pre/", .type = '5'},
                                {.name = "./a/", .type = '5', .mode = 0750},
                                {.name = "./a/./b//", .type = '5'},
                                {.name = "a//b/./f", .data = "x"},
                                {.name = "\\a\\g", .data = "y"},
                                {.name = "./", .type = '5'}});
    ASSERT_EQ(extract(writeArchive(tar)), OK);
    EXPECT_EQ(readFile(s.target + "/a/b/f"), "x");
    EXPECT_EQ(readFile(s.target + "/a/g"), "y");
    struct stat st;
    ASSERT_EQ(stat((s.target + "/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_TRUE(isDir(s.target + "/pre"));
}

TEST_F(TarTest, MissingParentsAreMadeWithMode0755WhateverTheUmask)
{
    mode_t old = umask(077);
    EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "nodir/deeper/f", .data = "x", .mode = 0640}}))), OK);
    umask(old);
    EXPECT_EQ(readFile(s.target + "/nodir/deeper/f"), "x");
    for (const char *d : {"/nodir", "/nodir/deeper"}) {
        struct stat st;
        ASSERT_EQ(lstat((s.target + d).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
    }
}

TEST_F(TarTest, ZeroBlockEndsTheArchiveAndTrailingBlocksAreIgnored)
{
    /* One zero block, then junk that would fail as a header. */
    std::string tar = tarBuild({{.name = "f", .data = "data"}}, false);
    tar.append(512, '\0');
    tar += tarHeader({.name = "junk", .badChecksum = true});
    tar.append(512 * 30 + 100, 'z'); /* not even whole blocks */
    ASSERT_EQ(extract(writeArchive(tar)), OK);
    ASSERT_EQ(extract(writeArchive(tar, true)), OK);
    EXPECT_EQ(listDir(s.target), std::set<std::string>{"f"});
    EXPECT_EQ(mtimeOf(s.target + "/f"), 1500000000);
}

/* Modes exactly as archived under any umask, owners as archived when
 * running as root, device nodes, FIFOs and hard links. */
TEST_F(TarTest, ModesOwnersNodesAndHardLinks)
{
    OZTEST_REQUIRE_ROOT("owners and device nodes");
    std::string tar = tarBuild({{.name = "f", .data = "x", .mode = 04755, .uid = 1234, .gid = 5678},
                                {.name = "g", .data = "y", .mode = 02711},
                                {.name = "tmp/", .type = '5', .mode = 01777},
                                {.name = "dev", .type = '3', .mode = 0620, .devMajor = 1, .devMinor = 3},
                                {.name = "blk", .type = '4', .mode = 0600, .devMajor = 7, .devMinor = 0},
                                {.name = "fifo", .type = '6', .mode = 0640},
                                {.name = "hard", .type = '1', .linkname = "f"},
                                {.name = "tmp/hard", .type = '1', .linkname = "./g"}});
    mode_t old = umask(077);
    int err = 0;
    EXPECT_EQ(extract(writeArchive(tar), &err), OK) << strerror(err);
    umask(old);
    struct Want {
        const char *name;
        mode_t type;
        unsigned mode, uid, gid, nlink;
    } wants[] = {{"f", S_IFREG, 04755, 1234, 5678, 2}, {"g", S_IFREG, 02711, 0, 0, 2},
                 {"tmp", S_IFDIR, 01777, 0, 0, 2},     {"dev", S_IFCHR, 0620, 0, 0, 1},
                 {"blk", S_IFBLK, 0600, 0, 0, 1},      {"fifo", S_IFIFO, 0640, 0, 0, 1}};
    for (const Want &w : wants) {
        SCOPED_TRACE(w.name);
        struct stat st;
        ASSERT_EQ(lstat((s.target + "/" + w.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, w.type);
        EXPECT_EQ(st.st_mode & 07777, w.mode);
        EXPECT_EQ(st.st_uid, w.uid);
        EXPECT_EQ(st.st_gid, w.gid);
        EXPECT_EQ(st.st_nlink, w.nlink);
    }
    struct stat a, b;
    ASSERT_EQ(lstat((s.target + "/f").c_str(), &a), 0);
    ASSERT_EQ(lstat((s.target + "/hard").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    ASSERT_EQ(lstat((s.target + "/dev").c_str(), &a), 0);
    EXPECT_EQ(a.st_rdev, makedev(1, 3));
}

/* Without privilege: owners stay the caller's and device nodes are left
 * out with a warning; everything else is made. */
TEST_F(TarTest, UnprivilegedExtractionLeavesOutDeviceNodes)
{
    OZTEST_REQUIRE_ROOT("to drop to another user");
    std::string archive = writeArchive(tarBuild({{.name = "f", .data = "x", .mode = 0751, .uid = 1234},
                                                 {.name = "dev", .type = '3', .devMajor = 1, .devMinor = 3},
                                                 {.name = "fifo", .type = '6', .mode = 0600}}));
    ASSERT_EQ(chown(s.target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(s.base.c_str(), 0755), 0);
    std::string errFile = s.work + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        _exit(ozcTarExtract(archive.c_str(), s.target.c_str(), 0, FALSE) == OK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st;
    ASSERT_EQ(lstat((s.target + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_FALSE(isRegular(s.target + "/dev") || isDir(s.target + "/dev"));
    EXPECT_EQ(lstat((s.target + "/dev").c_str(), &st), -1);
    ASSERT_EQ(lstat((s.target + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_NE(readFile(errFile).find("1 device node(s) left out"), std::string::npos) << readFile(errFile);
}

/* zstd layers extract as their plain form does, checked to the end of
 * their last frame. */
TEST_F(TarTest, ZstdArchivesExtractAndCorruptOnesFail)
{
    std::string src = makeSourceTree(true);
    std::string plain = gnuTar("pax", src, "top", false);
    std::string zst = plain + ".zst";
    ASSERT_EQ(shQuiet("zstd -q -19 -c " + quote(plain) + " > " + quote(zst)), 0);
    int err = 0;
    ASSERT_EQ(extract(zst, &err), OK) << strerror(err);
    EXPECT_EQ(tree(s.target), tree(src));
    /* Two frames one after the other are one stream. */
    std::string twoFrames = s.work + "/two.zst";
    std::string bytes = readFile(plain);
    writeFile(s.work + "/a", bytes.substr(0, 4096));
    writeFile(s.work + "/b", bytes.substr(4096));
    ASSERT_EQ(shQuiet("zstd -q -c " + s.work + "/a > " + twoFrames + " && zstd -q -c " + s.work + "/b >> " + twoFrames),
              0);
    ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
    ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
    EXPECT_EQ(extract(twoFrames, &err), OK) << strerror(err);
    EXPECT_EQ(tree(s.target), tree(src));

    std::string z = readFile(zst);
    std::string flipped = z, cut = z.substr(0, z.size() - 7), huge = s.work + "/huge.zst";
    flipped[z.size() / 2] ^= 0x20;
    ASSERT_EQ(shQuiet("head -c 1000 /dev/zero | zstd -q --long=28 -c > " + huge), 0);
    struct Case {
        std::string path;
        int err;
    } cases[] = {{writeArchive(flipped), EBADMSG}, {s.work + "/cut.zst", EBADMSG}, {huge, ENOMEM}};
    writeFile(cases[1].path, cut);
    for (const auto &c : cases) {
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        EXPECT_EQ(extract(c.path, &err), ERROR);
        EXPECT_EQ(err, c.err) << strerror(err);
    }
    s.expectOutsideUntouched();
}

/* The disk reserve: a size, a share of the file system, or none; a value
 * that is none of these is refused before anything is written. */
TEST_F(TarTest, DiskReserveFromTheEnvironment)
{
    std::string archive = writeArchive(tarBuild({{.name = "f", .data = std::string(100000, 'x')}}));
    struct Case {
        const char *value;
        int err; /* 0: extracts */
    } cases[] = {{"0", 0},        {"1M", 0},        {"64k", 0},
                 {"1%", 0},       {"100%", ENOSPC}, {"1048576T", ENOSPC},
                 {"x", EINVAL},   {"5%%", EINVAL},  {"101%", EINVAL},
                 {"1MB", EINVAL}, {"-1", EINVAL},   {"99999999999999999999", EINVAL}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        setenv(OZC_DISK_RESERVE_ENV, c.value, 1);
        int err = 0;
        EXPECT_EQ(extract(archive, &err), c.err == 0 ? OK : ERROR);
        if (c.err != 0) {
            EXPECT_EQ(err, c.err) << strerror(err);
            EXPECT_TRUE(listDir(s.target).empty());
        }
    }
    unsetenv(OZC_DISK_RESERVE_ENV);
}

TEST_F(TarTest, BadArguments)
{
    EXPECT_EQ(ozcTarExtract(nullptr, s.target.c_str(), 0, FALSE), ERROR);
    EXPECT_EQ(errno, EINVAL);
    std::string a = writeArchive(tarBuild({{.name = "f", .data = "x"}}));
    EXPECT_EQ(ozcTarExtract(a.c_str(), nullptr, 0, FALSE), ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ozcTarExtract(a.c_str(), s.sentinel.c_str(), 0, FALSE), ERROR);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(ozcTarExtract(a.c_str(), (s.base + "/missing").c_str(), 0, FALSE), ERROR);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ozcTarExtract((s.work + "/missing.tar").c_str(), s.target.c_str(), 0, FALSE), ERROR);
    EXPECT_EQ(errno, ENOENT);
    s.expectOutsideUntouched();
}

/* ---------------------------------------------------------------------
 * Hostile archives: each fails or succeeds as stated and nothing outside
 * the target changes.
 * --------------------------------------------------------------------- */
class HostileTarTest : public TarTest {
protected:
    void TearDown() override { s.expectOutsideUntouched(); }
};

TEST_F(HostileTarTest, DotDotComponentsAreRefused)
{
    for (const char *name : {"../outside/sentinel", "a/../../outside/sentinel", ".."}) {
        SCOPED_TRACE(name);
        int err = 0;
        std::string tar = tarBuild({{.name = "a/", .type = '5'}, {.name = name, .data = "evil"}});
        EXPECT_EQ(extract(writeArchive(tar), &err), ERROR);
        EXPECT_EQ(err, EPERM);
    }
    /* Through the ustar prefix as well, and as a link name's path. */
    int err = 0;
    EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "sentinel", .data = "evil", .prefix = "../outside"}})), &err),
              ERROR);
    EXPECT_EQ(err, EPERM);
    EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "../l", .type = '2', .linkname = "x"}})), &err), ERROR);
    EXPECT_EQ(err, EPERM);
    EXPECT_FALSE(isSymlink(s.base + "/l"));
}

TEST_F(HostileTarTest, AbsolutePathsStayInsideTheTarget)
{
    std::string abs = s.sentinel; /* an absolute path to the host file */
    std::string dirs = s.outside;
    std::vector<TarEntry> entries;
    /* Every directory of the absolute path, then the file. */
    size_t pos = 1;
    while ((pos = dirs.find('/', pos)) != std::string::npos) {
        entries.push_back({.name = dirs.substr(0, pos) + "/", .type = '5'});
        pos++;
    }
    entries.push_back({.name = dirs + "/", .type = '5'});
    entries.push_back({.name = abs, .data = "evil"});
    ASSERT_EQ(extract(writeArchive(tarBuild(entries))), OK);
    EXPECT_EQ(readFile(s.target + abs), "evil");
}

TEST_F(HostileTarTest, ParentThatIsALinkIsRefused)
{
    for (const std::string &link : {s.outside, std::string("../outside")}) {
        SCOPED_TRACE(link);
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        int err = 0;
        EXPECT_EQ(extract(writeArchive(tarBuild(
                              {{.name = "l", .type = '2', .linkname = link}, {.name = "l/sentinel", .data = "evil"}})),
                          &err),
                  ERROR);
        EXPECT_EQ(err, ENOTDIR);
        EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "l/new/", .type = '5'}})), &err), ERROR);
        EXPECT_EQ(err, ENOTDIR);
        /* A directory entry at the link's own path replaces the link; its
         * time is set on the new directory, not through the link. */
        EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "l/", .type = '5', .mtime = 42}}))), OK);
        EXPECT_TRUE(isDir(s.target + "/l"));
        EXPECT_EQ(mtimeOf(s.target + "/l"), 42);
        ASSERT_EQ(rmdir((s.target + "/l").c_str()), 0);
        ASSERT_EQ(symlink(link.c_str(), (s.target + "/l").c_str()), 0);
        /* Deeper: a real directory whose child is the link. */
        EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "d/", .type = '5'},
                                                 {.name = "d/l", .type = '2', .linkname = link},
                                                 {.name = "d/l/x", .data = "evil"}})),
                          &err),
                  ERROR);
        EXPECT_EQ(err, ENOTDIR);
    }
}

TEST_F(HostileTarTest, FileAtALinksOwnPathReplacesTheLink)
{
    for (const std::string &link : {s.sentinel, std::string("../outside/sentinel")}) {
        SCOPED_TRACE(link);
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        std::string tar = tarBuild(
            {{.name = "x", .type = '2', .linkname = link}, {.name = "x", .data = "replaced", .mtime = 1234567890}});
        for (bool gz : {false, true}) {
            ASSERT_EQ(extract(writeArchive(tar, gz)), OK);
            EXPECT_TRUE(isRegular(s.target + "/x"));
            EXPECT_EQ(readFile(s.target + "/x"), "replaced");
            EXPECT_EQ(mtimeOf(s.target + "/x"), 1234567890);
        }
    }
}

TEST_F(HostileTarTest, PlantedLinksAndHardLinksAreReplacedNotWrittenThrough)
{
    /* What an earlier layer left in the directory: a link to the host file
     * and a hard link to it. */
    ASSERT_EQ(symlink(s.sentinel.c_str(), (s.target + "/sym").c_str()), 0);
    ASSERT_EQ(link(s.sentinel.c_str(), (s.target + "/hard").c_str()), 0);
    std::string tar = tarBuild({{.name = "sym", .data = "a"}, {.name = "hard", .data = "b"}});
    ASSERT_EQ(extract(writeArchive(tar)), OK);
    EXPECT_EQ(readFile(s.target + "/sym"), "a");
    EXPECT_EQ(readFile(s.target + "/hard"), "b");
    EXPECT_TRUE(isRegular(s.target + "/sym"));
    struct stat st;
    ASSERT_EQ(stat(s.sentinel.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
}

/* A hard link names a file inside the target, reached through real
 * directories: never the host's file of that name, never through a link. */
TEST_F(HostileTarTest, HardLinksNeverReachOutside)
{
    struct Case {
        std::vector<TarEntry> entries;
        int err;
    } cases[] = {
        {{{.name = "h", .type = '1', .linkname = s.sentinel}}, ENOENT},
        {{{.name = "h", .type = '1', .linkname = "../outside/sentinel"}}, EPERM},
        {{{.name = "l", .type = '2', .linkname = s.outside}, {.name = "h", .type = '1', .linkname = "l/sentinel"}},
         ENOENT},
        {{{.name = "l", .type = '2', .linkname = "../outside"}, {.name = "h", .type = '1', .linkname = "/l/sentinel"}},
         ENOENT},
        {{{.name = "d/", .type = '5'}, {.name = "h", .type = '1', .linkname = "d"}}, EPERM},
        {{{.name = "h", .type = '1', .linkname = "."}}, EPERM},
        /* A link to a link that leads out links the link itself. */
        {{{.name = "l", .type = '2', .linkname = s.sentinel}, {.name = "h", .type = '1', .linkname = "l"}}, 0},
    };
    for (auto &c : cases) {
        expectExtraction(c.entries, c.err);
        struct stat st;
        ASSERT_EQ(stat(s.sentinel.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 1u);
    }
    EXPECT_TRUE(isSymlink(s.target + "/h"));
}

/* Whiteouts never reach through links, and a directory that a later entry
 * replaces by a link gets its recorded attributes nowhere. The target
 * holds a file of an earlier layer, so whiteouts have something below. */
TEST_F(HostileTarTest, WhiteoutsAndReplacedDirectoriesStayInside)
{
    struct Case {
        const char *what;
        std::vector<TarEntry> entries;
        int err;
    } cases[] = {
        {"whiteout behind a link", {{.name = "l", .type = '2', .linkname = s.outside}, {.name = "l/.wh.sentinel"}}, 0},
        {"opaque marker behind a link",
         {{.name = "l", .type = '2', .linkname = "../outside"}, {.name = "l/.wh..wh..opq"}},
         0},
        {"whiteout of the directory itself", {{.name = "d/.wh.."}}, EPERM},
        {"whiteout of the parent", {{.name = "d/.wh..."}}, EPERM},
        {"directory replaced by a link, then written through",
         {{.name = "d/", .type = '5'},
          {.name = "d", .type = '2', .linkname = s.outside},
          {.name = "d/sentinel", .data = "evil"}},
         ENOTDIR},
        {"directory attributes recorded, then the directory replaced by a link",
         {{.name = "d/", .type = '5'},
          {.name = "d/outside/", .type = '5', .mode = 0700, .mtime = 42},
          {.name = "d", .type = '2', .linkname = s.base}},
         0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        expectExtraction(c.entries, c.err, [&] { writeFile(s.target + "/below", "from an earlier layer"); });
        EXPECT_EQ(readFile(s.target + "/below"), "from an earlier layer");
        struct stat st;
        ASSERT_EQ(stat(s.outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
    }
}

TEST_F(HostileTarTest, LinkLoopIsNeitherFollowedNorWrittenThrough)
{
    int err = 0;
    std::string tar = tarBuild({{.name = "a", .type = '2', .linkname = "b"},
                                {.name = "b", .type = '2', .linkname = "a"},
                                {.name = "a/x", .data = "evil"}});
    EXPECT_EQ(extract(writeArchive(tar), &err), ERROR);
    EXPECT_EQ(err, ENOTDIR);
    tar = tarBuild({{.name = "self", .type = '2', .linkname = "self"}, {.name = "self", .data = "plain"}});
    ASSERT_EQ(extract(writeArchive(tar)), OK);
    EXPECT_EQ(readFile(s.target + "/self"), "plain");
}

TEST_F(HostileTarTest, PathsFillingThe1024BytePathBuffer)
{
    /* A target deep enough that an archive path reaches the limit. */
    std::string deep = s.target;
    while (deep.size() < 800)
        deep += "/" + std::string(std::min<size_t>(200, 800 - deep.size()), 'd');
    ASSERT_EQ(ozMkdirP(deep.c_str(), 0755), OK);
    size_t room = 1023 - deep.size(); /* longest path that fits: 1023 characters */
    ASSERT_GT(room, 101u);
    std::string dir(room - 101, 'e');
    std::string fits(99, 'f');
    ASSERT_EQ(mkdir((deep + "/" + dir).c_str(), 0755), 0);
    std::vector<TarEntry> ok = {{.name = fits, .data = "x", .prefix = dir}};
    ASSERT_EQ(ozcTarExtract(writeArchive(tarBuild(ok)).c_str(), deep.c_str(), 0, FALSE), OK);
    EXPECT_EQ((deep + "/" + dir + "/" + fits).size(), 1023u);
    EXPECT_EQ(readFile(deep + "/" + dir + "/" + fits), "x");

    std::vector<TarEntry> tooLong = {{.name = fits + "g", .data = "y", .prefix = dir}};
    errno = 0;
    EXPECT_EQ(ozcTarExtract(writeArchive(tarBuild(tooLong)).c_str(), deep.c_str(), 0, FALSE), ERROR);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(listDir(deep + "/" + dir), std::set<std::string>{fits});

    /* A target directory of 1024 characters or more. */
    std::string huge = deep + "/" + dir + "/" + std::string(1024 + 100 - deep.size() - dir.size(), 'h');
    ASSERT_EQ(ozMkdirP(huge.c_str(), 0755), OK);
    errno = 0;
    EXPECT_EQ(ozcTarExtract(writeArchive(tarBuild(ok)).c_str(), huge.c_str(), 0, FALSE), ERROR);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(HostileTarTest, EntriesOf4GiBOrMoreAreRefused)
{
    /* The headers claim the size; no data follows. */
    for (const std::string &raw : {std::string("40000000000\0", 12), std::string("77777777777\0", 12),
                                   std::string("\x80\0\0\0\0\0\0\x01\0\0\0\0", 12)}) {
        int err = 0;
        EXPECT_EQ(extract(writeArchive(tarBuild({{.name = "big", .rawSize = raw}}, false)), &err), ERROR);
        EXPECT_EQ(err, EFBIG);
        EXPECT_FALSE(isRegular(s.target + "/big"));
    }
}

TEST_F(HostileTarTest, TruncatedArchivesFail)
{
    std::string src = makeSourceTree(false);
    std::string full = readFile(gnuTar("ustar", src, "top", false));
    std::string gz = readFile(gnuTar("ustar", src, "top", true));
    /* Inside a header, inside file data, at a block boundary before the
     * end-of-archive block, and a gzip stream cut short. */
    size_t dataEnd = full.find_last_not_of('\0') + 1;
    size_t blockEnd = (dataEnd + 511) / 512 * 512;
    struct Cut {
        std::string bytes;
        bool gz;
    } cuts[] = {{full.substr(0, 700), false},
                {full.substr(0, blockEnd - 512), false},
                {full.substr(0, blockEnd), false},
                {gz.substr(0, gz.size() / 2), false},
                {gz.substr(0, gz.size() - 5), false}};
    for (auto &c : cuts) {
        SCOPED_TRACE(c.bytes.size());
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        int err = 0;
        EXPECT_EQ(extract(writeArchive(c.bytes, c.gz), &err), ERROR);
        EXPECT_NE(err, 0);
    }
}

TEST_F(HostileTarTest, CorruptGzipStreamsFail)
{
    std::string src = makeSourceTree(false);
    std::string gz = readFile(gnuTar("ustar", src, "top", true));
    ASSERT_GT(gz.size(), 1000u);
    std::string flipped = gz;
    flipped[gz.size() / 2] ^= 0x55;
    std::string badCrc = gz;
    badCrc[gz.size() - 8] ^= 0x01;
    std::string badLen = gz;
    badLen[gz.size() - 4] ^= 0x01;
    for (const auto *bytes : {&flipped, &badCrc, &badLen}) {
        ASSERT_EQ(ozRmTree(s.target.c_str()), OK);
        ASSERT_EQ(mkdir(s.target.c_str(), 0755), 0);
        int err = 0;
        EXPECT_EQ(extract(writeArchive(*bytes), &err), ERROR);
        EXPECT_EQ(err, EBADMSG);
    }
}

TEST_F(HostileTarTest, TinyEmptyAndRandomFilesFail)
{
    int err = 0;
    EXPECT_EQ(extract(writeArchive("abc"), &err), ERROR); /* 3 bytes: neither gzip nor tar */
    EXPECT_EQ(err, EBADMSG);
    EXPECT_EQ(extract(writeArchive("\x1f\x8b\x08"), &err), ERROR);
    EXPECT_EQ(extract(writeArchive(""), &err), ERROR); /* an empty archive */
    EXPECT_NE(err, 0);
    ASSERT_EQ(shQuiet("head -c 65536 /dev/urandom > '" + s.work + "/random'"), 0);
    EXPECT_EQ(extract(s.work + "/random", &err), ERROR);
    EXPECT_EQ(err, EBADMSG);
    /* Random bytes behind a gzip header. */
    std::string fake = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + readFile(s.work + "/random");
    EXPECT_EQ(extract(writeArchive(fake), &err), ERROR);
    EXPECT_NE(err, 0);
    EXPECT_TRUE(listDir(s.target).empty());
}

TEST_F(HostileTarTest, BadHeaderChecksumFails)
{
    int err = 0;
    std::string tar = tarBuild({{.name = "ok", .data = "1"}, {.name = "bad", .badChecksum = true}});
    EXPECT_EQ(extract(writeArchive(tar), &err), ERROR);
    EXPECT_EQ(err, EBADMSG);
    EXPECT_EQ(listDir(s.target), std::set<std::string>{"ok"});
}

TEST_F(HostileTarTest, FailureStillRestoresRecordedDirectoryTimes)
{
    std::string tar = tarBuild({{.name = "d/", .type = '5', .mtime = 1111111111},
                                {.name = "d/f", .data = "x"},
                                {.name = "d/../../x", .data = "y"}});
    EXPECT_EQ(extract(writeArchive(tar)), ERROR);
    EXPECT_EQ(mtimeOf(s.target + "/d"), 1111111111);
    /* No record file is left behind. */
    EXPECT_EQ(listDir(s.target), std::set<std::string>{"d"});
}

} // namespace
