// JSON file and integer helpers.
#include "ozJson.h"
#include "testutil/testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class JsonFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path();
    }
    std::string path(const char *name) const { return dir + "/" + name; }
    void write(const std::string &p, const std::string &text) const { std::ofstream(p, std::ios::binary) << text; }
    int fileCount() const
    {
        int n = 0;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                n++;
        closedir(d);
        return n;
    }
    oztest::TempDir tmp{"ozjson"};
    std::string dir;
};

TEST_F(JsonFileTest, DumpThenLoadKeepsDocumentAndMode)
{
    cJSON *doc = cJSON_CreateObject();
    cJSON_AddNumberToObject(doc, "schemaVersion", 2);
    cJSON_AddStringToObject(doc, "name", "r\xc3\xa9sum\xc3\xa9 \"quoted\"");
    cJSON_AddItemToObject(doc, "size", cJSON_CreateInteger64(4503599627370497LL)); // 2^52+1
    umask(022);
    ASSERT_EQ(cJSON_dump_to_file(doc, path("a.json").c_str(), 0660), 0);

    struct stat st;
    ASSERT_EQ(stat(path("a.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u); // the argument, not the umask, decides
    EXPECT_EQ(fileCount(), 1) << "no temporary file is left behind";

    cJSON *back = cJSON_load_from_file(path("a.json").c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(cJSON_Compare(doc, back, 1));
    EXPECT_EQ(cJSON_integer64_value(cJSON_GetObjectItem(back, "size")), 4503599627370497LL);
    cJSON_Delete(back);

    // Replacing keeps one file and takes the new mode.
    cJSON_SetNumberValue(cJSON_GetObjectItem(doc, "schemaVersion"), 3);
    ASSERT_EQ(cJSON_dump_to_file(doc, path("a.json").c_str(), 0600), 0);
    ASSERT_EQ(stat(path("a.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    back = cJSON_load_from_file(path("a.json").c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(cJSON_integer32_value(cJSON_GetObjectItem(back, "schemaVersion")), 3);
    cJSON_Delete(back);
    cJSON_Delete(doc);
}

TEST_F(JsonFileTest, DumpFailureLeavesOldFileAndNoTemporary)
{
    write(path("keep.json"), "{\"v\":1}");
    cJSON *doc = cJSON_CreateObject();
    errno = 0;
    EXPECT_EQ(cJSON_dump_to_file(doc, (dir + "/missing/x.json").c_str(), 0644), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(cJSON_dump_to_file(nullptr, path("keep.json").c_str(), 0644), -1);
    EXPECT_EQ(errno, EINVAL);
    // A directory in the way of the rename: the temporary file is removed.
    mkdir(path("isdir").c_str(), 0755);
    mkdir(path("isdir/sub").c_str(), 0755);
    EXPECT_EQ(cJSON_dump_to_file(doc, path("isdir").c_str(), 0644), -1);
    EXPECT_EQ(fileCount(), 2);
    cJSON *back = cJSON_load_from_file(path("keep.json").c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(cJSON_integer32_value(cJSON_GetObjectItem(back, "v")), 1);
    cJSON_Delete(back);
    cJSON_Delete(doc);
}

TEST_F(JsonFileTest, LoadRefusesBadInputWithClearErrno)
{
    errno = 0;
    EXPECT_EQ(cJSON_load_from_file(path("none.json").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);

    const char *bad[] = {"", "{", "{\"a\":}", "[1,2", "{\"a\":1} trailing", "nul"};
    for (const char *text : bad) {
        write(path("bad.json"), text);
        errno = 0;
        EXPECT_EQ(cJSON_load_from_file(path("bad.json").c_str()), nullptr) << text;
        EXPECT_EQ(errno, EBADMSG) << text;
    }
    errno = 0;
    EXPECT_EQ(cJSON_load_from_file(dir.c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(cJSON_load_from_file(nullptr), nullptr);

    write(path("ok.json"), "  [1, {\"k\": \"v\"}]\n\n");
    cJSON *ok = cJSON_load_from_file(path("ok.json").c_str());
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(ok), 2);
    cJSON_Delete(ok);
}

TEST(JsonIntegerTest, AccessorsTruncateClampAndRefuseNonNumbers)
{
    cJSON *doc = cJSON_Parse("{\"small\":-7.9,\"big\":1e30,\"neg\":-1e30,\"mid\":3000000000,"
                             "\"int\":2,\"frac\":2.5,\"str\":\"5\",\"null\":null}");
    ASSERT_NE(doc, nullptr);
    auto get = [doc](const char *k) { return cJSON_GetObjectItem(doc, k); };
    EXPECT_EQ(cJSON_integer32_value(get("small")), -7);
    EXPECT_EQ(cJSON_integer64_value(get("small")), -7);
    EXPECT_EQ(cJSON_integer32_value(get("big")), INT32_MAX);
    EXPECT_EQ(cJSON_integer64_value(get("big")), INT64_MAX);
    EXPECT_EQ(cJSON_integer32_value(get("neg")), INT32_MIN);
    EXPECT_EQ(cJSON_integer64_value(get("neg")), INT64_MIN);
    EXPECT_EQ(cJSON_integer32_value(get("mid")), INT32_MAX);
    EXPECT_EQ(cJSON_integer64_value(get("mid")), 3000000000LL);
    errno = 0;
    EXPECT_EQ(cJSON_integer64_value(get("str")), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cJSON_integer32_value(get("null")), 0);
    EXPECT_EQ(cJSON_integer64_value(nullptr), 0);
    EXPECT_TRUE(cJSON_IsInteger(get("int")));
    EXPECT_FALSE(cJSON_IsInteger(get("frac")));
    EXPECT_FALSE(cJSON_IsInteger(get("str")));
    cJSON_Delete(doc);
}

} // namespace
