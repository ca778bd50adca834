/*
 * gz_test.cpp - the streaming gzip reader and the archive read function:
 * round trips with every read size, concatenated members (also across the
 * input buffer's edge), argument checks, and corrupt, truncated and
 * non-gzip files, which must fail instead of looking like an end.
 */
#include <errno.h>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "gzlib.h"
#include "ozcGzLib.h"

using namespace oztest;

namespace {

class GzTest : public ::testing::Test {
protected:
    ScratchDir s;

    /* Half text, half random bytes. */
    std::string sample(size_t bytes)
    {
        std::string path = s.work + "/sample";
        EXPECT_EQ(shQuiet("head -c " + std::to_string(bytes / 2) + " /dev/urandom > '" + path + "'"), 0);
        std::string text;
        for (int i = 0; text.size() < bytes - bytes / 2; i++)
            text += "line " + std::to_string(i) + " of the sample text\n";
        text.resize(bytes - bytes / 2);
        return readFile(path) + text;
    }

    std::string gzipBytes(const std::string &data, const std::string &name = "g")
    {
        std::string path = s.work + "/" + name;
        writeFile(path, data);
        return readFile(gzipFile(path));
    }

    std::string put(const std::string &bytes, const std::string &name = "in.gz")
    {
        std::string path = s.work + "/" + name;
        writeFile(path, bytes);
        return path;
    }

    /* Reads everything in pieces of len bytes: the data, or the error
     * result (-1) in *rc. */
    static std::string readAll(gzFile f, unsigned len, int *rc)
    {
        std::string out;
        std::vector<char> buf(len);
        for (;;) {
            int n = ugzread(f, buf.data(), len);
            if (n <= 0) {
                *rc = n;
                return out;
            }
            EXPECT_LE((unsigned)n, len);
            out.append(buf.data(), (size_t)n);
        }
    }
};

TEST_F(GzTest, RoundTripWithEveryReadSize)
{
    std::string data = sample(1536 * 1024 + 77);
    std::string path = put(gzipBytes(data));
    for (unsigned len : {1u, 511u, 4096u, 65536u, 3u * 1024 * 1024}) {
        SCOPED_TRACE(len);
        gzFile f = ugzopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        int rc = 99;
        std::string got = readAll(f, len, &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(got == data) << got.size() << " of " << data.size();
        char c;
        EXPECT_EQ(ugzread(f, &c, 1), 0); /* the end stays the end */
        EXPECT_EQ(ugzclose(f), 0);
    }
}

TEST_F(GzTest, EmptyPayloadEndsAtOnce)
{
    gzFile f = ugzopen(put(gzipBytes("")).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char c;
    EXPECT_EQ(ugzread(f, &c, 1), 0);
    ugzclose(f);
}

TEST_F(GzTest, ConcatenatedMembersAlsoAcrossTheInputBufferEdge)
{
    std::string a = gzipBytes("first member\n", "a");
    std::string b = gzipBytes("second member\n", "b");
    /* Grow the first member with an extra header field so that the next
     * member's magic bytes fall on either side of a 4096-byte boundary. */
    for (size_t total : {a.size(), size_t(4094), size_t(4095), size_t(4096), size_t(8191)}) {
        SCOPED_TRACE(total);
        std::string m = a;
        if (total != a.size()) {
            size_t xlen = total - a.size() - 2;
            m = a.substr(0, 10) + std::string(1, char(xlen & 0xff)) + std::string(1, char(xlen >> 8)) +
                std::string(xlen, 'X') + a.substr(10);
            m[3] = char(m[3] | 0x04); /* FEXTRA */
            ASSERT_EQ(m.size(), total);
        }
        gzFile f = ugzopen(put(m + b).c_str(), "rb");
        ASSERT_NE(f, nullptr);
        int rc = 99;
        EXPECT_EQ(readAll(f, 7, &rc), "first member\nsecond member\n");
        EXPECT_EQ(rc, 0);
        ugzclose(f);
    }
}

TEST_F(GzTest, ArgumentsAndFilesThatAreNotGzip)
{
    std::string good = put(gzipBytes("x"));
    errno = 0;
    EXPECT_EQ(ugzopen(nullptr, "rb"), nullptr);
    EXPECT_EQ(ugzopen(good.c_str(), nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    char buf[8];
    EXPECT_EQ(ugzread(nullptr, buf, sizeof(buf)), -1);
    gzFile f = ugzopen(good.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ugzread(f, nullptr, 1), -1);
    EXPECT_EQ(ugzread(f, buf, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ugzread(f, buf, sizeof(buf)), 1); /* the bad calls did no harm */
    EXPECT_EQ(ugzclose(f), 0);
    EXPECT_EQ(ugzclose(nullptr), -1);

    for (const std::string &bytes : {std::string(""), std::string("abc"), std::string("\x1f\x8b\x08", 3),
                                     std::string("\x1f\x8b\x08\0", 4), std::string("plain text, not compressed\n"),
                                     std::string("\x1f\x8b\x07\0\0\0\0\0\0\x03"
                                                 "abcdefgh",
                                                 18) /* unknown method */}) {
        SCOPED_TRACE(bytes.size());
        EXPECT_EQ(ugzopen(put(bytes, "bad").c_str(), "rb"), nullptr);
        EXPECT_EQ(ozcGzArchiveCreate((s.work + "/bad").c_str()), nullptr);
    }
    EXPECT_EQ(ugzopen(s.work.c_str(), "rb"), nullptr); /* a directory */
    EXPECT_EQ(ugzopen((s.work + "/missing").c_str(), "rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(GzTest, CorruptStreamsFailAndStayFailed)
{
    std::string data = sample(256 * 1024);
    std::string gz = gzipBytes(data);
    std::string flipped = gz;
    flipped[gz.size() / 3] ^= 0x20;
    std::string badCrc = gz;
    badCrc[gz.size() - 6] ^= 0x80;
    std::string badLen = gz;
    badLen[gz.size() - 3] ^= 0x01;
    struct Case {
        const char *what;
        std::string bytes;
    } cases[] = {{"flipped byte", flipped},
                 {"wrong crc", badCrc},
                 {"wrong length", badLen},
                 {"cut in the data", gz.substr(0, gz.size() / 2)},
                 {"cut in the trailer", gz.substr(0, gz.size() - 5)},
                 {"trailer only missing", gz.substr(0, gz.size() - 8) + "abcd"}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        gzFile f = ugzopen(put(c.bytes).c_str(), "rb");
        if (f == nullptr)
            continue; /* refused at open: also a failure */
        int rc = 99;
        errno = 0;
        std::string got = readAll(f, 4096, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_NE(errno, 0);
        EXPECT_LE(got.size(), data.size());
        char b;
        EXPECT_EQ(ugzread(f, &b, 1), -1); /* sticky: never turns into an end */
        ugzclose(f);
    }
}

TEST_F(GzTest, ArchiveReadFunction)
{
    std::string data = sample(100000);
    GZ_ARCHIVE *a = ozcGzArchiveCreate(put(gzipBytes(data)).c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->tc.read, ozcGzRead);
    std::string got(data.size() + 10, '\0');
    EXPECT_EQ(a->tc.read(a, got.data(), got.size()), (ssize_t)data.size());
    got.resize(data.size());
    EXPECT_TRUE(got == data);
    char b;
    EXPECT_EQ(ozcGzRead(a, &b, 1), 0);
    EXPECT_EQ(ozcGzRead(nullptr, &b, 1), 0);
    EXPECT_EQ(ozcGzRead(a, nullptr, 1), 0);
    ozcGzArchiveDelete(a);
    ozcGzArchiveDelete(nullptr);

    std::string gz = gzipBytes(data);
    gz[gz.size() - 7] ^= 1; /* CRC */
    a = ozcGzArchiveCreate(put(gz).c_str());
    ASSERT_NE(a, nullptr);
    std::string buf(data.size() * 2, '\0');
    errno = 0;
    EXPECT_EQ(ozcGzRead(a, buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, EBADMSG);
    ozcGzArchiveDelete(a);
}

} // namespace
