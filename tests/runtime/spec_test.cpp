/*
 * spec_test.cpp - loading a bundle's config.json into the runtime
 * specification model: required and optional sections, the OS section's
 * number texts, letter case of keys, and files that are missing,
 * malformed, of the wrong shape or very large.
 */
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "ozcRuntimeSpec.h"

using namespace oztest;

namespace {

struct SpecDeleter {
    void operator()(runtimeSpecConfig *c) const { ozcDestroyRuntimeSpec(c); }
};
using SpecPtr = std::unique_ptr<runtimeSpecConfig, SpecDeleter>;

class SpecTest : public ::testing::Test {
protected:
    ScratchDir s;
    std::string path = s.work + "/config.json";

    SpecPtr load(const std::string &json)
    {
        writeFile(path, json);
        errno = 0;
        return SpecPtr(ozcInitializeRuntimeSpec(path.c_str()));
    }
};

constexpr const char *kFull = R"({
  "ociVersion": "1.0.2",
  "hostname": "box",
  "process": {
    "terminal": true,
    "args": ["/bin/sh", "-c", "echo hi"],
    "env": ["PATH=/bin", "HOME=/"],
    "cwd": "/work"
  },
  "root": {"path": "rootfs", "readonly": true},
  "mounts": [
    {"destination": "/proc", "type": "proc", "source": "proc", "options": ["nosuid", "noexec"]},
    {"destination": "/tmp", "type": "tmpfs", "source": "tmpfs", "options": []}
  ],
  "annotations": {"a": "1", "b": 2, "c": "3"},
  "hooks": {
    "poststop": [{"path": "/bin/cleanup", "args": ["cleanup", "-f"], "env": ["X=1"]}]
  },
  "orrery": {"rtp": {"rtpOptions": "0x10", "rtpPriority": "0x40", "rtpStackSize": "65536",
                     "rtpTaskOptions": "010"}}
})";

TEST_F(SpecTest, FullConfigurationIsRead)
{
    SpecPtr c = load(kFull);
    ASSERT_TRUE(c);
    EXPECT_STREQ(c->version, "1.0.2");
    EXPECT_STREQ(c->hostName, "box");
    ASSERT_NE(c->process, nullptr);
    EXPECT_EQ(c->process->argCount, 3);
    EXPECT_STREQ(c->process->args[0], "/bin/sh");
    EXPECT_STREQ(c->process->args[2], "echo hi");
    EXPECT_EQ(c->process->args[3], nullptr);
    EXPECT_EQ(c->process->envCount, 2);
    EXPECT_STREQ(c->process->env[1], "HOME=/");
    EXPECT_EQ(c->process->env[2], nullptr);
    EXPECT_STREQ(c->process->cwd, "/work");
    EXPECT_EQ(c->process->terminal, TRUE);
    ASSERT_NE(c->root, nullptr);
    EXPECT_STREQ(c->root->path, "rootfs");
    EXPECT_EQ(c->root->ro, TRUE);
    ASSERT_NE(c->mounts, nullptr);
    ASSERT_EQ(c->mounts->count, 2);
    EXPECT_STREQ(c->mounts->mount[0]->src, "proc");
    EXPECT_STREQ(c->mounts->mount[0]->dst, "/proc");
    EXPECT_STREQ(c->mounts->mount[0]->type, "proc");
    ASSERT_NE(c->mounts->mount[0]->opt, nullptr);
    EXPECT_STREQ(c->mounts->mount[0]->opt[1], "noexec");
    EXPECT_EQ(c->mounts->mount[0]->opt[2], nullptr);
    EXPECT_EQ(c->mounts->mount[1]->opt, nullptr); /* empty options */
    ASSERT_NE(c->annotations, nullptr);
    ASSERT_EQ(c->annotations->count, 3);
    EXPECT_STREQ(c->annotations->k[1], "b");
    EXPECT_EQ(c->annotations->v[1], nullptr); /* not a string */
    EXPECT_STREQ(c->annotations->v[2], "3");
    for (int k = 0; k < MAX_HOOK; k++) {
        if (k != POSTSTOP) {
            EXPECT_EQ(c->hooks[k], nullptr) << runtimeHookName[k];
        }
    }
    ASSERT_NE(c->hooks[POSTSTOP], nullptr);
    ASSERT_EQ(c->hooks[POSTSTOP]->nodeCnt, 1);
    runtimeHookNode *n = c->hooks[POSTSTOP]->hookNode[0];
    EXPECT_STREQ(n->rtpPath, "/bin/cleanup");
    EXPECT_EQ(n->argsCnt, 2);
    EXPECT_STREQ(n->args[1], "-f");
    EXPECT_EQ(n->envCnt, 1);
    ASSERT_NE(c->orrery, nullptr);
    EXPECT_EQ(c->orrery->option, 0x10);
    EXPECT_EQ(c->orrery->priority, 64);
    EXPECT_EQ(c->orrery->stackSize, 65536);
    EXPECT_EQ(c->orrery->taskOption, 8); /* octal after a leading 0 */
    EXPECT_NE(c->orrery->tree, nullptr);
}

TEST_F(SpecTest, ProcessAndItsArgsAreRequired)
{
    EXPECT_FALSE(load(R"({"ociVersion": "1.0.2"})"));
    EXPECT_FALSE(load(R"({"process": {"cwd": "/"}})"));
    EXPECT_FALSE(load(R"({"process": "sh"})"));
    EXPECT_FALSE(load(R"({"process": {"args": "sh"}})"));

    /* Empty args load (the container layer refuses them later). */
    SpecPtr c = load(R"({"process": {"args": []}})");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->process->argCount, 0);
    ASSERT_NE(c->process->args, nullptr);
    EXPECT_EQ(c->process->args[0], nullptr);
    EXPECT_EQ(c->process->env, nullptr);
    EXPECT_EQ(c->process->cwd, nullptr);
    EXPECT_EQ(c->version, nullptr);
    EXPECT_EQ(c->root, nullptr);
    EXPECT_EQ(c->mounts, nullptr);
    EXPECT_EQ(c->annotations, nullptr);
    /* No OS section: the defaults. */
    ASSERT_NE(c->orrery, nullptr);
    EXPECT_EQ(c->orrery->option, 0);
    EXPECT_EQ(c->orrery->priority, 100);
    EXPECT_EQ(c->orrery->stackSize, 8192);
    EXPECT_EQ(c->orrery->taskOption, 0);
    EXPECT_EQ(c->orrery->tree, nullptr);
}

TEST_F(SpecTest, WrongTypesLeaveValuesAbsentOrDefault)
{
    SpecPtr c = load(R"({"ociVersion": 1, "hostname": ["h"],
        "process": {"args": ["a", 5, null, "b"], "terminal": "true", "cwd": 7, "env": {}},
        "root": {"path": 3, "readonly": true},
        "orrery": {"rtp": {"rtpPriority": 200, "rtpStackSize": "16384"}},
        "mounts": {"destination": "/x"}, "annotations": [], "hooks": []})");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->version, nullptr);
    EXPECT_EQ(c->hostName, nullptr);
    EXPECT_EQ(c->process->argCount, 4);
    EXPECT_STREQ(c->process->args[0], "a");
    EXPECT_EQ(c->process->args[1], nullptr);
    EXPECT_EQ(c->process->args[2], nullptr);
    EXPECT_STREQ(c->process->args[3], "b");
    EXPECT_EQ(c->process->terminal, FALSE);
    EXPECT_EQ(c->process->cwd, nullptr);
    EXPECT_EQ(c->process->env, nullptr);
    EXPECT_EQ(c->root, nullptr);
    EXPECT_EQ(c->orrery->priority, 100); /* a JSON number is ignored */
    EXPECT_EQ(c->orrery->stackSize, 16384);
    EXPECT_EQ(c->mounts, nullptr);
    EXPECT_EQ(c->annotations, nullptr);
    for (auto *h : c->hooks)
        EXPECT_EQ(h, nullptr);
}

TEST_F(SpecTest, KeysIgnoreLetterCaseAndTakeTheFirstMatch)
{
    SpecPtr c = load(R"({"PROCESS": {"ARGS": ["x"]}, "process": {"args": ["y", "z"]},
                         "Hostname": "first", "hostname": "second"})");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->process->argCount, 1);
    EXPECT_STREQ(c->process->args[0], "x");
    EXPECT_STREQ(c->hostName, "first");
}

TEST_F(SpecTest, PartialMountsHooksAndAnnotations)
{
    SpecPtr c = load(R"({"process": {"args": ["x"]},
        "mounts": [{"destination": "/only"}, 5],
        "hooks": {"prestart": [{"path": "/p"}, {"args": ["a"]}], "poststart": []},
        "annotations": {}})");
    ASSERT_TRUE(c);
    ASSERT_NE(c->mounts, nullptr);
    ASSERT_EQ(c->mounts->count, 2);
    for (int i = 0; i < 2; i++) {
        runtimeSpecConfigMount *m = c->mounts->mount[i];
        ASSERT_NE(m, nullptr); /* every entry up to count is readable */
        EXPECT_EQ(m->src, nullptr);
        EXPECT_EQ(m->type, nullptr);
        EXPECT_EQ(m->opt, nullptr);
    }
    EXPECT_STREQ(c->mounts->mount[0]->dst, "/only");
    ASSERT_NE(c->hooks[PRESTART], nullptr);
    ASSERT_EQ(c->hooks[PRESTART]->nodeCnt, 2);
    EXPECT_STREQ(c->hooks[PRESTART]->hookNode[0]->rtpPath, "/p");
    EXPECT_EQ(c->hooks[PRESTART]->hookNode[0]->args, nullptr);
    EXPECT_EQ(c->hooks[PRESTART]->hookNode[1], nullptr);
    for (int k = 1; k < MAX_HOOK; k++)
        EXPECT_EQ(c->hooks[k], nullptr);
    EXPECT_EQ(c->annotations, nullptr);
    EXPECT_STREQ(runtimeHookName[CREATE_RUNTIME], "createRuntime");
    EXPECT_STREQ(runtimeHookName[START_CONTAINER], "startContainer");
}

TEST_F(SpecTest, MissingMalformedAndOversizedFiles)
{
    errno = 0;
    EXPECT_EQ(ozcInitializeRuntimeSpec((s.work + "/absent.json").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ozcInitializeRuntimeSpec(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ozcInitializeRuntimeSpec(s.work.c_str()), nullptr); /* a directory */
    EXPECT_NE(errno, ENOENT);

    for (const char *bad :
         {"", "{", "{\"process\": {\"args\": [\"x\"]}", "[1, 2]", "null", "{\"process\": {\"args\": [\"x\"]}} trailing",
          "{\"process\": {\"args\": [\"x\",]}}", "\xff\xfe{}"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(load(bad));
        EXPECT_NE(errno, ENOENT); /* never mistaken for a missing file */
        EXPECT_NE(errno, 0);
    }

    /* Larger than any configuration file: refused without parsing. */
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    ASSERT_EQ(truncate(path.c_str(), 65 * 1024 * 1024), 0);
    errno = 0;
    EXPECT_EQ(ozcInitializeRuntimeSpec(path.c_str()), nullptr);
    EXPECT_EQ(errno, EFBIG);
}

TEST_F(SpecTest, HugeArraysAndDeepNesting)
{
    std::string args = "[";
    for (int i = 0; i < 100000; i++)
        args += (i ? ",\"a" : "\"a") + std::to_string(i) + "\"";
    args += "]";
    std::string mounts = "[";
    for (int i = 0; i < 5000; i++)
        mounts += std::string(i ? "," : "") + "{\"destination\":\"/m" + std::to_string(i) +
                  "\",\"options\":[\"ro\",\"bind\"]}";
    mounts += "]";
    SpecPtr c = load("{\"process\": {\"args\": " + args + ", \"env\": " + args + "}, \"mounts\": " + mounts + "}");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->process->argCount, 100000);
    EXPECT_STREQ(c->process->args[99999], "a99999");
    EXPECT_EQ(c->process->args[100000], nullptr);
    EXPECT_EQ(c->process->envCount, 100000);
    ASSERT_EQ(c->mounts->count, 5000);
    EXPECT_STREQ(c->mounts->mount[4999]->dst, "/m4999");
    EXPECT_STREQ(c->mounts->mount[4999]->opt[1], "bind");

    /* Nesting deeper than the parser allows fails cleanly. */
    std::string deep = "{\"process\": {\"args\": [\"x\"]}, \"annotations\": ";
    deep += std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_FALSE(load(deep));
}

} // namespace
