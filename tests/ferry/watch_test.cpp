/*
 * watch_test.cpp - the pod watch: the watch request and the events it
 * yields from the emulator's streams (added pods, changes, a 410 Status, a
 * lost connection, an error answer), and the stream parser's edge cases on
 * bodies made of the emulator's pod objects.
 */
#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"

#include "ozkClient.h"
#include "ozkLib.h"
#include "ozkLog.h"

#include <cjson/cJSON.h>
#include <dirent.h>

using namespace ferrytest;

namespace {

struct Event {
    std::string type;
    std::string podName; /* empty: no pod */
    uint32_t statusCode;
};

/* The events of a list, which is freed. */
std::vector<Event> drain(SL_LIST *list)
{
    std::vector<Event> out;
    for (SL_NODE *node = sllFirst(list); node != nullptr; node = sllNext(node)) {
        auto *entry = reinterpret_cast<CACHE_WATCH_INFO_ENTRY *>(node);
        const POD_WATCH_INFO &info = entry->watchInfoItem;
        std::string name;
        if (info.pod != nullptr && info.pod->metadata != nullptr && info.pod->metadata->name != nullptr) {
            name = info.pod->metadata->name;
        } else if (info.pod != nullptr) {
            name = "<pod>";
        }
        out.push_back({info.eventType, name, info.statusCode});
    }
    ozkPodWatchListFree(list);
    return out;
}

std::string describe(const std::vector<Event> &events)
{
    std::string s;
    for (const auto &e : events) {
        s += e.type + "/" + e.podName + "/" + std::to_string(e.statusCode) + " ";
    }
    return s;
}

struct Parsed {
    std::vector<Event> events;
    bool bodyReleased;
    std::string out, err;
};

/* Runs the stream parser on `body` as if it had arrived. */
Parsed parseBody(const std::string &body, bool present = true)
{
    apiClient_t *api = apiClient_create_with_base_path("https://127.0.0.1:1", nullptr, nullptr);
    if (present) {
        char *copy = static_cast<char *>(malloc(body.size() + 1));
        memcpy(copy, body.data(), body.size());
        copy[body.size()] = '\0';
        api->dataReceived = copy;
        api->dataReceivedLen = static_cast<long>(body.size());
    }
    Parsed p;
    ConsoleCapture console;
    SL_LIST *list = ozkParsePodWatchRspFromWatchReq(api);
    p.out = console.out();
    p.err = console.err();
    p.bodyReleased = api->dataReceived == nullptr && api->dataReceivedLen == 0;
    EXPECT_NE(list, nullptr);
    p.events = drain(list);
    apiClient_free(api);
    return p;
}

std::string errAt(const std::string &func, const std::string &text, const std::string &needle = "")
{
    return errLine("ozkClient", func, text, needle);
}

class FerryWatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ozkVerboseLevel = 2;
        ASSERT_TRUE(sim_.start("w-node")) << sim_.lastError();
        ctrl_ = static_cast<OZK_CTRL *>(calloc(1, sizeof(OZK_CTRL)));
        ctrl_->ozkCnf.serverURL = strdup(sim_.url().c_str());
        ctrl_->ozkCnf.caPath = strdup(sim_.caPath().c_str());
        ctrl_->ozkCnf.certPath = strdup(sim_.certPath().c_str());
        ctrl_->ozkCnf.keyPath = strdup(sim_.keyPath().c_str());
        ASSERT_EQ(ozkClientSetup(ctrl_), OK);
    }
    void TearDown() override
    {
        ozkClientDestroy(&ctrl_->clientCtrl);
        ozkConfDestroy(&ctrl_->ozkCnf);
        free(ctrl_);
    }
    void createPod(const std::string &name, const std::string &node = "w-node")
    {
        ASSERT_EQ(sim_.request("POST", "/api/v1/namespaces/default/pods", podJson(name, node)), 201);
    }
    static std::string podJson(const std::string &name, const std::string &node)
    {
        return R"({"apiVersion":"v1","kind":"Pod","metadata":{"name":")" + name +
               R"(","namespace":"default"},"spec":{"nodeName":")" + node +
               R"(","containers":[{"name":"c","image":"busybox"}]}})";
    }
    /* The resource version of the node's pods now. */
    std::string listVersion()
    {
        std::string body;
        sim_.request("GET", "/api/v1/pods?fieldSelector=spec.nodeName%3Dw-node", "", &body);
        cJSON *root = cJSON_Parse(body.c_str());
        std::string rv =
            cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root, "metadata"), "resourceVersion")
                ->valuestring;
        cJSON_Delete(root);
        return rv;
    }
    /* The emulator's pod object, unformatted, as it sends it. */
    std::string podObject(const std::string &name)
    {
        std::string body;
        sim_.request("GET", "/api/v1/namespaces/default/pods/" + name, "", &body);
        cJSON *root = cJSON_Parse(body.c_str());
        char *text = cJSON_PrintUnformatted(root);
        std::string out = text;
        cJSON_free(text);
        cJSON_Delete(root);
        return out;
    }
    std::vector<Event> watch(const std::string &rv, std::string *err = nullptr, std::string *out = nullptr)
    {
        ConsoleCapture console;
        SL_LIST *list = ozkClientPodsWatch(client(), rv.c_str(), "spec.nodeName=w-node", 1);
        if (err != nullptr) {
            *err = console.err();
        }
        if (out != nullptr) {
            *out = console.out();
        }
        EXPECT_NE(list, nullptr);
        return list != nullptr ? drain(list) : std::vector<Event>{};
    }
    OZK_CLIENT_CTRL *client() { return &ctrl_->clientCtrl; }
    KubesimProcess sim_;
    OZK_CTRL *ctrl_ = nullptr;
};

} // namespace

TEST_F(FerryWatch, AddedPodsInStreamOrderAndTheRequest)
{
    createPod("p-a");
    createPod("p-b");
    createPod("p-c");
    createPod("elsewhere", "other-node");
    sim_.requestsJson(true);
    std::vector<Event> events = watch("0");
    ASSERT_GE(events.size(), 3u) << describe(events);
    EXPECT_EQ(events[0].type, "ADDED");
    EXPECT_EQ(events[0].podName, "p-a");
    EXPECT_EQ(events[1].podName, "p-b");
    EXPECT_EQ(events[2].podName, "p-c");
    /* the time-out ends with a bookmark; nothing of the other node */
    for (size_t i = 3; i < events.size(); i++) {
        EXPECT_EQ(events[i].type, "BOOKMARK");
    }

    /* the request: one list call with watch on */
    std::string requests = sim_.requestsJson(true);
    cJSON *root = cJSON_Parse(requests.c_str());
    const cJSON *first = nullptr;
    const cJSON *item = nullptr;
    int https = 0;
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(root, "requests"))
    {
        if (!cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(item, "admin"))) {
            first = first != nullptr ? first : item;
            https++;
        }
    }
    EXPECT_EQ(https, 1);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(first, "method")->valuestring, "GET");
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(first, "path")->valuestring, "/api/v1/pods");
    char *query = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(first, "query"));
    EXPECT_STREQ(query, R"({"allowWatchBookmarks":"true","fieldSelector":"spec.nodeName=w-node",)"
                        R"("resourceVersion":"0","timeoutSeconds":"1","watch":"true"})");
    cJSON_free(query);
    cJSON_Delete(root);
}

TEST_F(FerryWatch, ChangesAfterAVersion)
{
    createPod("p-a");
    std::string rv = listVersion();
    createPod("p-b");
    ASSERT_EQ(sim_.request("DELETE", "/api/v1/namespaces/default/pods/p-a?gracePeriodSeconds=0"), 200);
    std::vector<Event> events = watch(rv);
    ASSERT_GE(events.size(), 2u) << describe(events);
    EXPECT_EQ(events[0].type + " " + events[0].podName, "ADDED p-b");
    EXPECT_EQ(events[1].type + " " + events[1].podName, "DELETED p-a");
}

TEST_F(FerryWatch, ExpiredVersionGivesA410StatusEvent)
{
    createPod("p-a");
    std::string rv = listVersion();
    createPod("p-b");
    ASSERT_TRUE(sim_.compact());
    std::string out;
    std::vector<Event> events = watch(rv, nullptr, &out);
    ASSERT_EQ(events.size(), 1u) << describe(events);
    EXPECT_EQ(events[0].type, "ERROR");
    EXPECT_EQ(events[0].podName, "");
    EXPECT_EQ(events[0].statusCode, 410u);
    EXPECT_NE(out.find("ferry: WARNING: parse watch rsp info without pod!\n"), std::string::npos) << out;
}

TEST_F(FerryWatch, LostConnectionGivesAnEmptyListWithoutRetry)
{
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/pods", 0, 1, 0.0, true));
    std::string err;
    std::vector<Event> events = watch("0", &err);
    EXPECT_TRUE(events.empty());
    /* named in libcurl's words */
    std::string lost =
        errAt("ozkClientPodsWatch", "ozkClientPodsWatch err:SSL connection failed (", "ozkClientPodsWatch err:%s!");
    lost.pop_back();
    EXPECT_EQ(err.rfind(lost, 0), 0u) << err;
    EXPECT_NE(err.find("Empty reply from server"), std::string::npos) << err;

    /* an error answer: logged, its Status body parsed as far as it goes,
     * one request only */
    ASSERT_TRUE(sim_.addFault("GET", "/api/v1/pods", 500, 4));
    sim_.requestsJson(true);
    events = watch("0", &err);
    EXPECT_TRUE(events.empty());
    /* with the message of the server's Status */
    EXPECT_EQ(err,
              errAt("ozkClientPodsWatch", "ozkClientPodsWatch err:HTTP Error: internal server error! (injected fault)!",
                    "ozkClientPodsWatch err:%s!") +
                  errAt("ozkParsePodWatchRspFromWatchReq", "parse watch info fail!"));
    std::string requests = sim_.requestsJson(true);
    cJSON *root = cJSON_Parse(requests.c_str());
    int https = 0;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(root, "requests"))
    {
        https += cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(item, "admin")) ? 0 : 1;
    }
    cJSON_Delete(root);
    EXPECT_EQ(https, 1);
}

TEST_F(FerryWatch, StreamParserEdgeCases)
{
    createPod("p-a");
    createPod("p-b");
    createPod("p-c");
    const std::string a = podObject("p-a"), b = podObject("p-b"), c = podObject("p-c");
    auto line = [](const std::string &type, const std::string &object) {
        return R"({"type":")" + type + R"(","object":)" + object + "}\n";
    };

    /* three events, in order */
    Parsed p = parseBody(line("ADDED", a) + line("MODIFIED", b) + line("DELETED", c));
    ASSERT_EQ(p.events.size(), 3u);
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 MODIFIED/p-b/0 DELETED/p-c/0 ");
    EXPECT_TRUE(p.bodyReleased);
    EXPECT_EQ(p.err, "");

    /* a second line that is no event (no type): only the first, and the rest is dropped */
    p = parseBody(line("ADDED", a) + R"({"object":)" + b + "}\n" + line("ADDED", c));
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 ");
    EXPECT_EQ(p.err, errAt("ozkParsePodWatchRspFromWatchReq", "parse watch info fail!"));
    EXPECT_TRUE(p.bodyReleased);

    /* a type that is not a string counts as missing */
    p = parseBody(R"({"type":5,"object":)" + a + "}\n");
    EXPECT_TRUE(p.events.empty());

    /* no object, and an object without a usable kind */
    p = parseBody(line("ADDED", a) + R"({"type":"ADDED"})" + "\n");
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 ");
    EXPECT_EQ(p.err, errAt("ozkParseWatchInfoFromJson", "watch rsp without object!") +
                         errAt("ozkParsePodWatchRspFromWatchReq", "parse watch info fail!"));
    for (const char *object :
         {R"({"metadata":{}})", R"({"kind":"pod"})", R"({"kind":7})", R"({"kind":"Node"})", "null", "[]"}) {
        p = parseBody(line("ADDED", object));
        EXPECT_TRUE(p.events.empty()) << object;
        EXPECT_EQ(p.err, errAt("ozkParseWatchInfoFromJson", "watch object with out kind!") +
                             errAt("ozkParsePodWatchRspFromWatchReq", "parse watch info fail!"))
            << object;
    }

    /* a Status line: no pod, its code, a WARNING */
    p = parseBody(line("ERROR", R"({"kind":"Status","apiVersion":"v1","status":"Failure",)"
                                R"("message":"too old resource version","reason":"Expired","code":410})"));
    ASSERT_EQ(p.events.size(), 1u);
    EXPECT_EQ(describe(p.events), "ERROR//410 ");
    EXPECT_EQ(p.out, "ferry: WARNING: parse watch rsp info without pod!\n");
    /* a bookmark carries a pod with only its version */
    p = parseBody(line("BOOKMARK", R"({"kind":"Pod","apiVersion":"v1","metadata":{"resourceVersion":"12"}})"));
    ASSERT_EQ(p.events.size(), 1u);
    EXPECT_EQ(p.events[0].type, "BOOKMARK");
    EXPECT_EQ(p.events[0].podName, "<pod>");

    /* a line that begins with a blank or a carriage return ends the parse */
    p = parseBody(line("ADDED", a) + " " + line("ADDED", b));
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 ");
    EXPECT_EQ(p.err, "");
    p = parseBody(line("ADDED", a) + "\r" + line("ADDED", b));
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 ");
    /* lines ended by CR LF go on */
    p = parseBody(R"({"type":"ADDED","object":)" + a + "}\r\n" + line("ADDED", b));
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 ADDED/p-b/0 ");
    /* a body without a final newline still gives its last event */
    std::string noFinal = line("ADDED", a) + line("ADDED", b);
    noFinal.pop_back();
    EXPECT_EQ(parseBody(noFinal).events.size(), 2u);
    /* a pretty-printed object spans lines: it parses, but the next line
     * searched from its start is inside it, so the parse ends there */
    p = parseBody("{\n" + std::string(R"("type":"ADDED","object":)") + a + "}\n" + line("ADDED", b));
    EXPECT_EQ(describe(p.events), "ADDED/p-a/0 ");

    /* empty bodies: an empty list, not null */
    p = parseBody("");
    EXPECT_TRUE(p.events.empty());
    p = parseBody("", false);
    EXPECT_TRUE(p.events.empty());
    EXPECT_TRUE(p.bodyReleased);
    p = parseBody("not json\n" + line("ADDED", a));
    EXPECT_TRUE(p.events.empty());
    EXPECT_EQ(p.err, "");

    /* event types of 47 characters are kept, of 48 left empty */
    std::string t47(47, 'T'), t48(48, 'T');
    p = parseBody(line(t47, a) + line(t48, b) + line(std::string(300, 'U'), c));
    ASSERT_EQ(p.events.size(), 3u);
    EXPECT_EQ(p.events[0].type, t47);
    EXPECT_EQ(p.events[1].type, "");
    EXPECT_EQ(p.events[1].podName, "p-b");
    EXPECT_EQ(p.events[2].type, "");
}

/* The stream parser on every input the fuzzer kept (tests/ferry/fuzz/corpus):
 * no crash, no leak (sanitizer build), a list whatever comes. */
TEST(FerryWatchCorpus, ParserSurvivesTheCorpus)
{
    ozkVerboseLevel = 0;
    std::string dirPath = sourceDir() + "/tests/ferry/fuzz/corpus";
    DIR *dir = opendir(dirPath.c_str());
    ASSERT_NE(dir, nullptr) << dirPath;
    int files = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string body = readFile(dirPath + "/" + entry->d_name);
        Parsed p = parseBody(body);
        EXPECT_TRUE(p.bodyReleased) << entry->d_name;
        files++;
    }
    closedir(dir);
    EXPECT_GT(files, 0);
}
