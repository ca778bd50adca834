/*
 * client_test.cpp - the client side of the daemon protocol against a
 * scripted daemon task in this process: the request on the wire, replies in
 * several pieces, replies that lie about their length or carry no errno or
 * no JSON, info lines, the start parameters and the parameter objects.
 */
#include <functional>

#include "ozcContainerLib.h"
#include "ozcRuntimeApi.h"
#include "ozcRuntimeClient.h"
#include "ozcUtil.h"
#include "ozcUtilInternal.h"
#include "runtime/runtime_fixture.h"

using namespace rtfix;

namespace {

/* What the scripted daemon saw and how it answers one request. */
struct Script {
    std::string queue;
    /* Given the request header and data, sends pieces on the reply queue. */
    std::function<void(const OZC_MESSAGE *, const std::string &data, MSG_Q_ID reply, MSG_Q_ID info)> answer;
    std::string seenData;
    std::string seenName;
    int seenCmd = -1;
    int seenLvl = -1;
    ssize_t seenLen = 0;
};

int scriptedDaemon(void *arg)
{
    auto *s = static_cast<Script *>(arg);
    MSG_Q_ID q = msgQOpen(s->queue.c_str(), 32, 2048, MSG_Q_PRIORITY, 0);
    std::vector<char> buf(2048);
    ssize_t n = msgQReceive(q, buf.data(), buf.size(), 5 * sysClkRateGet());
    msgQClose(q);
    if (n < 204)
        return ERROR;
    auto *h = reinterpret_cast<OZC_MESSAGE *>(buf.data());
    s->seenLen = n;
    s->seenName.assign(h->name, strnlen(h->name, sizeof(h->name)));
    s->seenCmd = h->cmdId;
    s->seenLvl = h->msgLvl;
    s->seenData.assign(h->data, std::min<size_t>(h->dataLen, 2048 - 204));
    MSG_Q_ID reply = msgQOpen(h->name, 1, 2048, MSG_Q_FIFO, 0);
    std::string infoName = std::string(h->name) + "_info";
    MSG_Q_ID info = msgQOpen(infoName.c_str(), 20, 255, MSG_Q_FIFO, 0);
    s->answer(h, s->seenData, reply, info);
    if (reply != nullptr)
        msgQClose(reply);
    if (info != nullptr)
        msgQClose(info);
    return OK;
}

/* A reply of `text` with the header's dataLen = `claimed` (the text's own
 * length when negative), sent in pieces of at most 2048 bytes. */
void sendReply(const OZC_MESSAGE *req, MSG_Q_ID reply, const std::string &text, long claimed = -1, size_t extra = 0)
{
    std::vector<char> msg(204 + text.size() + extra, 'x');
    auto *h = reinterpret_cast<OZC_MESSAGE *>(msg.data());
    memcpy(h->name, req->name, sizeof(h->name));
    h->cmdId = req->cmdId;
    h->dataLen = claimed < 0 ? (uint32_t)text.size() : (uint32_t)claimed;
    memcpy(h->data, text.data(), text.size());
    for (size_t off = 0; off < msg.size(); off += 2048)
        msgQSend(reply, msg.data() + off, std::min<size_t>(2048, msg.size() - off), 2 * sysClkRateGet(),
                 MSG_PRI_NORMAL);
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RTFIX_REQUIRE_ROOT();
        script_.queue = uniqueQueue("ozcfake");
        setenv("OZC_DAEMON_QUEUE", script_.queue.c_str(), 1);
        unsetenv("OZC_VERBOSE");
        q_ = msgQOpen(script_.queue.c_str(), 32, 2048, MSG_Q_PRIORITY, OM_CREATE | OM_EXCL);
        ASSERT_NE(nullptr, q_);
    }
    void TearDown() override
    {
        if (task_ != TASK_ID_NULL)
            taskWait(task_, 10 * sysClkRateGet(), nullptr);
        if (q_ != nullptr) {
            msgQClose(q_);
            msgQUnlink(script_.queue.c_str());
        }
        unsetenv("OZC_DAEMON_QUEUE");
    }
    void serve(std::function<void(const OZC_MESSAGE *, const std::string &, MSG_Q_ID, MSG_Q_ID)> answer)
    {
        script_.answer = std::move(answer);
        task_ = taskSpawn("fakeDaemon", 100, 0, 256 * 1024, scriptedDaemon, &script_);
        ASSERT_NE(TASK_ID_NULL, task_);
    }
    void finish()
    {
        taskWait(task_, 10 * sysClkRateGet(), nullptr);
        task_ = TASK_ID_NULL;
    }
    Script script_;
    MSG_Q_ID q_ = nullptr;
    TASK_ID task_ = TASK_ID_NULL;
};

TEST_F(ClientTest, RequestOnTheWireAndAReplyOfManyPieces)
{
    std::string big = "{\"errno\":0,\"body\":[\"" + std::string(7000, 'z') + "\"]}";
    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) { sendReply(h, reply, big); });
    setenv("OZC_VERBOSE", "1", 1);
    char *resp = nullptr;
    ozcParam p[] = {
        {STRING, "containerId", OZC_DATA_PTR("c1"), 0}, {INTEGER, "signo", 9, 0}, {INTEGER, "option", 2, 0}};
    ASSERT_EQ(OK, ozcCall(OZC_KILL, p, 3, &resp));
    finish();
    CText owner(resp);
    EXPECT_EQ(big, std::string(resp));
    EXPECT_EQ(2048, script_.seenLen) << "a request is one 2048-byte message";
    EXPECT_EQ(OZC_KILL, script_.seenCmd);
    EXPECT_EQ(1, script_.seenLvl);
    EXPECT_EQ("{\"containerId\":\"c1\",\"signo\":9,\"option\":2}", script_.seenData);
    std::string name = script_.seenName;
    EXPECT_EQ(0u, name.find(script_.queue + "-u-" + std::to_string(getpid()) + "-")) << name;
    /* The client's queues are gone after the exchange. */
    MSG_Q_ID gone = msgQOpen(name.c_str(), 1, 2048, MSG_Q_FIFO, 0);
    EXPECT_EQ(nullptr, gone);
    unsetenv("OZC_VERBOSE");
}

TEST_F(ClientTest, AReplyLongerThanItsLengthIsRefused)
{
    /* Announces 3000 data bytes but sends two whole pieces: the second
     * runs 940 bytes past the announced end. */
    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, std::string(3000, ' '), 3000, 4096 - 3204);
    });
    EXPECT_EQ(ERROR, ozcCall(OZC_LIST, nullptr, 0, nullptr));
    finish();
}

TEST_F(ClientTest, ARepliedLengthOverTheLimitIsRefused)
{
    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, "{\"errno\":0,\"body\":[]}", 70000);
    });
    EXPECT_EQ(ERROR, ozcCall(OZC_LIST, nullptr, 0, nullptr));
    finish();
}

TEST_F(ClientTest, ReplyWithoutErrnoOrWithoutJson)
{
    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, "{\"body\":[]}");
    });
    errno = 0;
    EXPECT_EQ(ERROR, ozcDelete("c1", 0));
    EXPECT_EQ(-1, errno) << "a reply without errno fails with code -1";
    finish();

    serve(
        [&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) { sendReply(h, reply, "not json"); });
    EXPECT_EQ(nullptr, ozcContainerInfoGet("c1"));
    EXPECT_EQ(EBADMSG, errno);
    finish();

    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, "{\"errno\":0,\"body\":[{\"status\":\"2\"}]}");
    });
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusGet("c1")) << "a status that is not a number";
    finish();

    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, "{\"errno\":0,\"body\":[{\"Status\":2,\"status\":7}]}");
    });
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusGet("c1")) << "7 is no state";
    finish();

    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, "{\"errno\":0,\"body\":[]}");
    });
    EXPECT_EQ(ERROR, ozcStart("c1", 0));
    EXPECT_EQ(EBADMSG, errno) << "start without parameters";
    finish();
}

TEST_F(ClientTest, StartWithNothingToSpawnAndInfoLines)
{
    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID info) {
        const char line[] = "a line from the daemon";
        msgQSend(info, line, sizeof(line), NO_WAIT, MSG_PRI_NORMAL);
        sendReply(h, reply, "{\"errno\":0,\"body\":[{\"option\":0,\"nsId\":0}]}");
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(OK, ozcStart("c1", 0)) << "all ten zero or empty: nothing is spawned";
    std::string out = testing::internal::GetCapturedStdout();
    finish();
    EXPECT_EQ("{\"containerId\":\"c1\",\"option\":0}", script_.seenData);
    EXPECT_EQ("a line from the daemon.\n", out);

    serve([&](const OZC_MESSAGE *h, const std::string &, MSG_Q_ID reply, MSG_Q_ID) {
        sendReply(h, reply, "{\"errno\":14614551,\"body\":[]}");
    });
    EXPECT_EQ(ERROR, ozcCreate("c1", "/b", 0, nullptr));
    EXPECT_EQ(OZC_ERR_CONTAINER_EXISTS, errno);
    finish();
}

TEST_F(ClientTest, NoReplyMeansErrnoZeroAndTooLongRequestsAreNotSent)
{
    std::string id(1900, 'i');
    errno = 0;
    EXPECT_EQ(ERROR, ozcKill(id.c_str(), 9, 0));
    EXPECT_EQ(ENOMEM, errno) << "a request text of 1844 characters or more";
    EXPECT_EQ(0, msgQNumMsgs(q_));
}

TEST(ParamObjectTest, DescriptorsToJsonAndBack)
{
    char *arr[] = {const_cast<char *>("a"), const_cast<char *>("b"), nullptr};
    cJSON *obj = cJSON_CreateObject();
    cJSON_AddNumberToObject(obj, "n", 1);
    ozcParam in[] = {{INTEGER, "i", (ozcData)-5, 0},
                     {STRING, "s", OZC_DATA_PTR("text"), 0},
                     {STRING_ARRAY, "arr", OZC_DATA_PTR(arr), 2},
                     {STRING_ARRAY, "none", 0, 0},
                     {OBJECT, "o", OZC_DATA_PTR(obj), 0}};
    Json j(ozcParamObjInit(in, 5));
    ASSERT_TRUE(j);
    EXPECT_EQ("{\"i\":-5,\"s\":\"text\",\"arr\":[\"a\",\"b\"],\"o\":{\"n\":1}}", jsonText(j.get()));

    ozcParam out[] = {{INTEGER, "I", 77, 0}, {STRING, "S", 0, 0},         {STRING_ARRAY, "ARR", 0, 0},
                      {OBJECT, "o", 0, 0},   {INTEGER, "missing", 42, 0}, {STRING_ARRAY, "alsoMissing", 0, 0}};
    ASSERT_EQ(OK, ozcParamObjGet(j.get(), out, 6));
    EXPECT_EQ(-5, (int64_t)out[0].value) << "names are found whatever their letter case";
    EXPECT_STREQ("text", OZC_DATA_STR(out[1].value));
    ASSERT_EQ(2, out[2].number);
    EXPECT_STREQ("b", OZC_DATA_ARR(out[2].value)[1]);
    EXPECT_EQ(nullptr, OZC_DATA_ARR(out[2].value)[2]);
    EXPECT_EQ(42u, out[4].value) << "a missing member keeps the default";
    EXPECT_EQ(OZC_DATA_PTR(OZC_DATA_STR(out[1].value)), ozcParamValueGetByName(out, 6, "S"));
    EXPECT_EQ(0u, ozcParamValueGetByName(out, 6, "zzz"));
    ozcParamObjDestroy(out, 6);
    EXPECT_EQ(0u, out[2].value);
    cJSON_Delete(obj);

    /* A string member that is not a string, an array with a number. */
    Json bad(cJSON_Parse("{\"s\":5,\"arr\":[\"a\",1]}"));
    ozcParam s1[] = {{STRING, "s", 0, 0}};
    EXPECT_EQ(ERROR, ozcParamObjGet(bad.get(), s1, 1));
    ozcParam s2[] = {{STRING_ARRAY, "arr", 0, 0}};
    EXPECT_EQ(ERROR, ozcParamObjGet(bad.get(), s2, 1));
    EXPECT_EQ(0u, s2[0].value);
    EXPECT_EQ(ERROR, ozcParamObjGet(nullptr, s1, 1));
    EXPECT_EQ(EINVAL, errno);

    /* Replies. */
    int code = 0;
    cJSON *body = nullptr;
    Json ok(cJSON_Parse("{\"errno\":0,\"body\":[1]}"));
    EXPECT_EQ(OK, ozcResponseCheck(ok.get(), &code, &body));
    EXPECT_EQ(0, code);
    EXPECT_EQ(1, cJSON_GetArraySize(body));
    Json noErrno(cJSON_Parse("{\"body\":[]}"));
    EXPECT_EQ(ERROR, ozcResponseCheck(noErrno.get(), &code, &body));
    EXPECT_EQ(-1, code);
    EXPECT_EQ(ERROR, ozcResponseCheck(nullptr, &code, &body));
    EXPECT_EQ(EINVAL, code);
    EXPECT_EQ(nullptr, body);

    EXPECT_EQ(STATE_UNKNOWN, ozcStatusIntConvert(-1));
    EXPECT_EQ(STATE_STOPPED, ozcStatusIntConvert(3));
    EXPECT_EQ(STATE_UNKNOWN, ozcStatusIntConvert(4));

    Json src(cJSON_Parse("{\"a\":[1,2]}"));
    Json dst(cJSON_CreateObject());
    ozcJsonCopy(src.get(), const_cast<char *>("A"), dst.get(), const_cast<char *>("x"));
    ozcJsonCopy(src.get(), const_cast<char *>("b"), dst.get(), const_cast<char *>("y"));
    EXPECT_EQ("{\"x\":[1,2],\"y\":\"\"}", jsonText(dst.get()));
}

} // namespace
