// Bounds-checking string and output functions.
#include "ozPlatform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(BoundedTest, StrncpySRefusesWhatDoesNotFitAndEmptiesDest)
{
    char field[128];
    std::string fits(127, 'a');
    std::string tooLong(128, 'b');
    ASSERT_EQ(strncpy_s(field, sizeof field, fits.c_str(), sizeof field), 0);
    EXPECT_EQ(std::string(field), fits);
    EXPECT_NE(strncpy_s(field, sizeof field, tooLong.c_str(), sizeof field), 0);
    EXPECT_STREQ(field, "") << "a refused copy leaves the field empty, not cut";
    EXPECT_NE(strncpy_s(field, sizeof field, tooLong.c_str(), 1000), 0);
    EXPECT_STREQ(field, "");
    // count limits the copy: fitting that many is fine.
    ASSERT_EQ(strncpy_s(field, sizeof field, tooLong.c_str(), 5), 0);
    EXPECT_STREQ(field, "bbbbb");
    char small[4] = "xyz";
    EXPECT_EQ(strncpy_s(small, sizeof small, "abcdef", 3), 0);
    EXPECT_STREQ(small, "abc");
    EXPECT_NE(strncpy_s(small, sizeof small, "abcd", 4), 0);
    EXPECT_STREQ(small, "");
    // Runtime-constraint violations.
    std::strcpy(small, "xyz");
    EXPECT_NE(strncpy_s(small, sizeof small, nullptr, 3), 0);
    EXPECT_STREQ(small, "");
    EXPECT_NE(strncpy_s(nullptr, 4, "a", 1), 0);
    std::strcpy(small, "xyz");
    EXPECT_NE(strncpy_s(small, 0, "a", 1), 0);
    EXPECT_STREQ(small, "xyz") << "a zero bound writes nothing";
    EXPECT_NE(strncpy_s(small, RSIZE_MAX + 1, "a", 1), 0);
    char overlap[16] = "abcdef";
    EXPECT_NE(strncpy_s(overlap, sizeof overlap, overlap + 2, 4), 0);
    EXPECT_STREQ(overlap, "");
    EXPECT_EQ(strncpy_s(small, sizeof small, "", 0), 0);
    EXPECT_STREQ(small, "");
}

TEST(BoundedTest, SnprintfSTruncatesAndRefusesPercentN)
{
    char buf[8];
    EXPECT_EQ(snprintf_s(buf, sizeof buf, "%s-%d", "ab", 12), 5);
    EXPECT_STREQ(buf, "ab-12");
    // Truncation: the would-be length tells the caller it did not fit.
    EXPECT_EQ(snprintf_s(buf, sizeof buf, "%s", "0123456789"), 10);
    EXPECT_STREQ(buf, "0123456");
    int n = 0;
    std::strcpy(buf, "old");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-security"
    EXPECT_LT(snprintf_s(buf, sizeof buf, "ab%n", &n), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(n, 0);
    EXPECT_LT(snprintf_s(buf, sizeof buf, "%5.2ln", reinterpret_cast<long *>(&n)), 0);
    EXPECT_LT(printf_s("x%n", &n), 0);
    EXPECT_LT(fprintf_s(stdout, "x%n", &n), 0);
    EXPECT_LT(snprintf_s(buf, sizeof buf, nullptr), 0);
    EXPECT_LT(fprintf_s(nullptr, "x"), 0);
#pragma GCC diagnostic pop
    EXPECT_EQ(snprintf_s(buf, sizeof buf, "100%%"), 4);
    EXPECT_STREQ(buf, "100%");
    EXPECT_LT(snprintf_s(buf, 0, "x"), 0);
    EXPECT_EQ(fprintf_s(stderr, "%s", ""), 0);
}

TEST(BoundedTest, StrerrorSAndTimeConversions)
{
    char buf[64];
    EXPECT_EQ(strerror_s(buf, sizeof buf, ENOENT), 0);
    EXPECT_STREQ(buf, std::strerror(ENOENT));
    char small[8];
    EXPECT_NE(strerror_s(small, sizeof small, ENOENT), 0);
    EXPECT_EQ(std::strlen(small), 7u);
    EXPECT_STREQ(small + 4, "...");
    EXPECT_NE(strerror_s(nullptr, 8, ENOENT), 0);
    EXPECT_NE(strerror_s(small, 0, ENOENT), 0);

    time_t t = 86400 + 3600 + 61; // 1970-01-02 01:01:01 UTC
    struct tm tm {};
    ASSERT_EQ(gmtime_s(&t, &tm), &tm);
    EXPECT_EQ(tm.tm_mday, 2);
    EXPECT_EQ(tm.tm_hour, 1);
    EXPECT_EQ(tm.tm_sec, 1);
    EXPECT_EQ(localtime_s(&t, &tm), &tm);
    EXPECT_EQ(localtime_s(nullptr, &tm), nullptr);
    EXPECT_EQ(gmtime_s(&t, nullptr), nullptr);
}

} // namespace
