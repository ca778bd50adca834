/*
 * podtrack_test.cpp - pod tracking against the API server emulator over
 * TLS, in this process: the monitor's list, watch and relist with its
 * dispatch table, the pending events and their workers (one per pod, nine
 * at a time, in arrival order), the pod deletion with its preconditions,
 * grace period and conflict retry, and the pod manager's destroy while
 * workers run.
 */
#include "podTestUtil.h"

#include <algorithm>
#include <atomic>

using namespace ferrytest;
using namespace podtest;

namespace {

const char *kNode = "pt-node";

class PodTrack : public ::testing::Test {
protected:
    void SetUp() override
    {
        ozkVerboseLevel = 3;
        ozkSysLogOn = FALSE;
        ASSERT_TRUE(sim_.start(kNode)) << sim_.lastError();
    }
    std::string listVersion() const
    {
        std::string body;
        sim_.request("GET", "/api/v1/pods", "", &body);
        return str(parse(body).get(), "metadata.resourceVersion");
    }
    KubesimProcess sim_;
};

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST_F(PodTrack, ListWatchAndRelistFollowTheDispatchTable)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    std::string listed = createPod(sim_, podJson("listed", kNode));
    std::string terminating = createPod(sim_, podJson("terminating", kNode));
    ASSERT_FALSE(createPod(sim_, podJson("elsewhere", "other-node")).empty());
    ASSERT_EQ(sim_.request("DELETE", podPath("terminating")), 200); /* graceful: a deletion timestamp */
    ConsoleCapture console;

    ASSERT_EQ(ozkPodListHandle(rig.pm(), rig.selector().c_str()), OK);
    EXPECT_EQ(rig.events(), (std::vector<std::string>{"ADDED " + listed, "DELETE " + terminating}));
    EXPECT_EQ(rig.cached(), 2u);
    EXPECT_EQ(std::string(rig.pm()->resourceVersion), listVersion());

    const char *merge = "application/merge-patch+json";
    std::string added, doomed, late;
    struct Step {
        const char *what;
        std::function<void()> act;
        std::function<std::vector<std::string>()> want;
    } steps[] = {
        {"status only: no event, the cache keeps the status",
         [&] {
             sim_.request("PATCH", podPath("listed") + "/status", R"({"status":{"message":"seen"}})", nullptr, merge);
         },
         [] { return std::vector<std::string>{}; }},
        {"spec change: UPDATE",
         [&] {
             sim_.request("PATCH", podPath("listed"),
                          R"({"spec":{"containers":[{"name":"main","image":"busybox:2"}]}})", nullptr,
                          "application/strategic-merge-patch+json");
         },
         [&] { return std::vector<std::string>{"UPDATE " + listed}; }},
        {"first deletion timestamp: DELETE", [&] { sim_.request("DELETE", podPath("listed")); },
         [&] { return std::vector<std::string>{"DELETE " + listed}; }},
        {"a later one: nothing", [&] { sim_.request("DELETE", podPath("listed") + "?gracePeriodSeconds=5"); },
         [] { return std::vector<std::string>{}; }},
        {"ADDED",
         [&] {
             added = createPod(sim_, podJson("added", kNode));
             doomed = createPod(sim_, podJson("doomed", kNode));
         },
         [&] {
             return std::vector<std::string>{"ADDED " + added, "ADDED " + doomed};
         }},
        {"DELETED", [&] { sim_.request("DELETE", podPath("terminating") + "?gracePeriodSeconds=0"); },
         [&] { return std::vector<std::string>{"DELETED " + terminating}; }},
        {"BOOKMARK only: the version moves, nothing else",
         [&] {
             sim_.request("POST", "/api/v1/namespaces/default/configmaps",
                          R"({"metadata":{"name":"cm"},"data":{"a":"b"}})");
         },
         [] { return std::vector<std::string>{}; }},
        {"410: relist; a pod gone meanwhile is DELETED, one whose deletion began meanwhile is DELETE",
         [&] {
             sim_.request("DELETE", podPath("added") + "?gracePeriodSeconds=0");
             sim_.request("DELETE", podPath("doomed"));
             late = createPod(sim_, podJson("late", kNode));
             sim_.compact();
         },
         /* the emulator removed "terminating" before; this cache never forgot it */
         [&] {
             return sorted({"DELETE " + doomed, "ADDED " + late, "DELETED " + added, "DELETED " + terminating});
         }},
    };
    for (Step &step : steps) {
        step.act();
        uint32_t wait = 0;
        ASSERT_EQ(ozkPodWatchHandle(rig.pm(), rig.selector().c_str(), 1, &wait), OK) << step.what;
        EXPECT_EQ(wait, 5u) << step.what;
        std::vector<std::string> got = rig.events();
        EXPECT_EQ(std::string(step.what).rfind("410", 0) == 0 ? sorted(got) : got, step.want()) << step.what;
        if (std::string(step.what).rfind("status only", 0) == 0) {
            EXPECT_EQ(str(rig.cachedPod(listed).get(), "status.message"), "seen");
        } else if (std::string(step.what).rfind("spec change", 0) == 0) {
            EXPECT_EQ(str(rig.cachedPod(listed).get(), "spec.containers.0.image"), "busybox:2");
        } else if (std::string(step.what).rfind("BOOKMARK", 0) == 0) {
            EXPECT_EQ(std::string(rig.pm()->resourceVersion), listVersion());
        }
    }
    console.stop();
    EXPECT_NE(console.out().find("ferry: WARNING: watch rsp with 410 gone!"), std::string::npos) << console.out();
    EXPECT_NE(
        console.out().find("ferry: WARNING: cached pod added is no longer listed, handle it as deleted, uid:" + added),
        std::string::npos)
        << console.out();
}

TEST_F(PodTrack, PendingEventsReachWorkersOnePerPodNineAtATime)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    std::vector<std::string> uids;
    for (int i = 0; i < 10; i++) {
        std::string name = "p" + std::to_string(i);
        uids.push_back(createPod(sim_, podJson(name, kNode)));
        rig.cache(podRecord(sim_, name).get());
    }
    /* each worker's deletion request takes a second */
    ASSERT_TRUE(sim_.addFault("DELETE", "/api/v1/namespaces/default/pods/p[0-9]", 0, 10, 1.0));
    for (const std::string &uid : uids) {
        rig.pend(uid, POD_DELETE);
    }
    rig.pend(uids[0], POD_ERROR); /* a second event of the first pod */
    ConsoleCapture console;

    ozkCachedPodEventHandle(rig.pm());
    EXPECT_EQ(rig.workers(), 9u);
    EXPECT_EQ(rig.pending(), 2u);
    ASSERT_TRUE(rig.waitIdle());
    ozkCachedPodEventHandle(rig.pm());
    EXPECT_EQ(rig.pending(), 0u);
    ASSERT_TRUE(rig.waitIdle());
    console.stop();

    std::string out = console.out();
    EXPECT_NE(out.find("ferry: WARNING: work task num exceed, num:9\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ferry: WARNING: pod uid in process, UID:" + uids[0] + "\n"), std::string::npos) << out;
    EXPECT_NE(console.err().find(" can't handle pod event, type:ERROR, uid:" + uids[0] + "\n"), std::string::npos);
    /* every pod went, each with one request carrying its preconditions and
     * a grace period of 0 */
    int deletes = 0;
    for (const ApiRequest &r : sim_.requests()) {
        if (r.method != "DELETE") {
            continue;
        }
        deletes++;
        Json body = parse(r.body);
        EXPECT_EQ(str(body.get(), "gracePeriodSeconds"), "0") << r.body;
        EXPECT_NE(str(body.get(), "preconditions.uid"), "<absent>") << r.body;
        EXPECT_NE(str(body.get(), "preconditions.resourceVersion"), "<absent>") << r.body;
    }
    EXPECT_EQ(deletes, 10);
    for (int i = 0; i < 10; i++) {
        EXPECT_FALSE(readPod(sim_, "p" + std::to_string(i))) << i;
    }
}

TEST_F(PodTrack, AUidTooLongForItsRecordsIsRefusedNotEmptied)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    /* a uid fills at most 47 characters of a worker or event record */
    for (size_t length : {size_t{47}, size_t{48}, size_t{300}}) {
        std::string uid(length, 'u');
        bool fits = length < OZK_POD_UID_LEN;
        EXPECT_EQ(ozkCacheWorkerTaskInfo(rig.pm(), 1, uid.c_str()), fits ? OK : ERROR) << length;
        EXPECT_EQ(rig.workers(), fits ? 1u : 0u) << length;
        if (fits) {
            ASSERT_EQ(ozkPodWorkerTaskRemove(rig.pm(), uid.c_str()), OK);
        } else {
            EXPECT_EQ(ozkPodRestartEventPost(rig.pm(), uid.c_str()), ERROR) << length;
            EXPECT_EQ(rig.pending(), 0u) << length;
        }
    }
}

TEST_F(PodTrack, AdmissionAndTheEarlierEventCheck)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    /* workers recorded as running: none may join a pod's own, nine at most */
    struct Admission {
        int others;
        bool samePod;
        STATUS want;
    } admissions[] = {{0, false, OK}, {8, false, OK}, {9, false, ERROR}, {1, true, ERROR}};
    for (const Admission &a : admissions) {
        std::vector<std::string> recorded;
        for (int i = 0; i < a.others; i++) {
            recorded.push_back("other-" + std::to_string(i));
        }
        if (a.samePod) {
            recorded.push_back("uid-a");
        }
        for (const std::string &uid : recorded) {
            ASSERT_EQ(ozkCacheWorkerTaskInfo(rig.pm(), 1, uid.c_str()), OK);
        }
        POD_EVENT event{"uid-a", POD_ADDED};
        EXPECT_EQ(ozkPodWorkerTaskPreHandle(rig.pm(), &event), a.want) << a.others << " " << a.samePod;
        for (const std::string &uid : recorded) {
            ASSERT_EQ(ozkPodWorkerTaskRemove(rig.pm(), uid.c_str()), OK);
        }
    }
    /* pending: a, (no uid), b, a */
    for (const char *uid : {"uid-a", "", "uid-b", "uid-a"}) {
        rig.pend(uid, POD_ADDED);
    }
    struct Earlier {
        int index;
        const char *uid;
        STATUS want;
    } earlier[] = {{1, "uid-a", OK}, {2, "uid-a", ERROR}, {4, "uid-a", ERROR}, {3, "uid-b", OK}, {4, "uid-c", OK}};
    for (const Earlier &e : earlier) {
        EXPECT_EQ(ozkPodEventExistCheck(rig.pm(), e.index, e.uid), e.want) << e.index << " " << e.uid;
    }
    /* none of these pods is cached: the next pass drops their events (the
     * one without a uid is left alone) and says so */
    ConsoleCapture console;
    ozkCachedPodEventHandle(rig.pm());
    console.stop();
    EXPECT_EQ(rig.pending(), 1u);
    EXPECT_EQ(rig.workers(), 0u);
    for (const char *uid : {"uid-a", "uid-b"}) {
        EXPECT_NE(
            console.err().find(" drop pending pod event, pod not cached, uid:" + std::string(uid) + ", type:ADDED\n"),
            std::string::npos)
            << console.err();
    }
}

TEST_F(PodTrack, DeletionConflictsAreRetriedAndAGonePodIsDeleted)
{
    ScopedSpeedup fast(100);
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    std::string uid = createPod(sim_, podJson("p", kNode));
    rig.cache(podRecord(sim_, "p").get());
    /* the pod changes after it was cached: the conflict's re-read brings the
     * new version into the cached pod as well */
    sim_.request("PATCH", podPath("p"), R"({"metadata":{"labels":{"x":"y"}}})", nullptr,
                 "application/merge-patch+json");
    std::string current = str(readPod(sim_, "p").get(), "metadata.resourceVersion");
    ASSERT_TRUE(sim_.addFault("DELETE", podPath("p"), 409, 5));
    sim_.requests(true);
    ConsoleCapture console;
    Pod copy(ozkPodGetByUid(rig.pm(), uid.c_str()));
    uint64_t before = tickGet();
    EXPECT_EQ(ozkPodDeleteRequestWithRetry(rig.pm(), copy.get()), ERROR);
    uint64_t ticks = tickGet() - before;
    console.stop();
    const std::string del = "DELETE " + podPath("p"), get = "GET " + podPath("p");
    EXPECT_EQ(requestLines(sim_, podPath("p")),
              (std::vector<std::string>{del, get, del, get, del, get, del, get, del}));
    EXPECT_GE(ticks, static_cast<uint64_t>(3 * 5 * sysClkRateGet())) << "three 5 s delays";
    EXPECT_TRUE(linesInOrder(
        console.out(), {"ferry: DEBUG: pod delete again, retryCnt:4", "ferry: DEBUG: pod delete again, retryCnt:3",
                        "ferry: DEBUG: pod delete again, retryCnt:2", "ferry: DEBUG: pod delete again, retryCnt:1"}));
    EXPECT_NE(console.err().find(" delete pod error, code:409\n"), std::string::npos) << console.err();
    EXPECT_EQ(str(rig.cachedPod(uid).get(), "metadata.resourceVersion"), current);

    /* answered 404: the pod is gone already, one request */
    sim_.requests(true);
    ASSERT_EQ(sim_.request("DELETE", podPath("p") + "?gracePeriodSeconds=0"), 200);
    EXPECT_EQ(ozkPodDeleteRequestWithRetry(rig.pm(), copy.get()), OK);
    EXPECT_EQ(requestLines(sim_, podPath("p")), std::vector<std::string>{del});
}

TEST_F(PodTrack, AGracefullyDeletedPodReallyGoesOnceItsContainersAreRemoved)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    std::string uid = createPod(sim_, podJson("term", kNode));
    ASSERT_EQ(sim_.request("DELETE", podPath("term")), 200); /* a user's delete: Terminating */
    Pod pod = podRecord(sim_, "term");
    ASSERT_TRUE(pod && pod->metadata->deletion_timestamp != nullptr);
    sim_.requests(true);
    EXPECT_EQ(ozkPodDeletePreHandle(rig.pm(), pod.get()), OK);
    EXPECT_FALSE(readPod(sim_, "term")) << "still Terminating";
    auto requests = sim_.requests();
    ASSERT_EQ(requests.size(), 1u);
    Json body = parse(requests[0].body);
    EXPECT_EQ(str(body.get(), "gracePeriodSeconds"), "0");
    EXPECT_EQ(str(body.get(), "preconditions.uid"), uid);
    EXPECT_EQ(str(body.get(), "preconditions.resourceVersion"), pod->metadata->resource_version);
}

/* The monitor replaces a cached pod's spec and status while a worker runs on
 * that pod: the worker works on its own copy (the thread and address
 * sanitizer builds check). */
TEST_F(PodTrack, AWorkerKeepsItsPodWhileTheMonitorMergesChanges)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    std::string uid = createPod(sim_, podJson("busy", kNode));
    Pod pod = podRecord(sim_, "busy");
    rig.cache(pod.get());
    std::string version = pod->metadata->resource_version;
    ASSERT_TRUE(sim_.addFault("DELETE", podPath("busy"), 0, 1, 0.5));
    POD_EVENT event{};
    snprintf(event.podUID, sizeof(event.podUID), "%s", uid.c_str());
    event.eventType = POD_DELETE;
    Pod copy(ozkPodGetByUid(rig.pm(), uid.c_str()));
    ASSERT_EQ(ozkPodWorkerTaskStart(rig.pm(), &event, copy.get(), 1), OK);
    (void)copy.release();
    for (int i = 0; rig.workers() > 0 && i < 2000; i++) {
        Pod change(ozkPodDeepCopy(pod.get()));
        auto *container = static_cast<v1_container_t *>(change->spec->containers->firstEntry->data);
        free(container->image);
        container->image = strdup(i % 2 == 0 ? "busybox:a" : "busybox:b");
        free(change->metadata->resource_version);
        change->metadata->resource_version = strdup(std::to_string(100000 + i).c_str());
        OZK_POD_UPDATE_FLAG flags{};
        ASSERT_EQ(ozkPodWatchPodHandle(rig.pm(), change.release(), &flags), OK);
    }
    ASSERT_TRUE(rig.waitIdle());
    /* the deletion went with the version the worker started from */
    bool sent = false;
    for (const ApiRequest &r : sim_.requests()) {
        if (r.method == "DELETE") {
            sent = true;
            EXPECT_EQ(str(parse(r.body).get(), "preconditions.resourceVersion"), version);
        }
    }
    EXPECT_TRUE(sent);
}

/* At stop every cached pod goes through DELETE, also while workers that
 * forget pods still run: the walk is not upset by them (the sanitizer
 * builds check), and nothing is left. */
TEST_F(PodTrack, DestroyDeletesEveryCachedPodWhileWorkersForgetPods)
{
    Rig rig(sim_, kNode);
    ASSERT_TRUE(rig.ok());
    std::vector<std::string> uids;
    for (int i = 0; i < 6; i++) {
        std::string name = "d" + std::to_string(i);
        uids.push_back(createPod(sim_, podJson(name, kNode)));
        rig.cache(podRecord(sim_, name).get());
        rig.pend(uids.back(), POD_DELETED);
    }
    /* the workers wait for the container cache, and so will the destroy */
    ASSERT_EQ(semTake(rig.pm()->semContainerCached, WAIT_FOREVER), OK);
    ozkCachedPodEventHandle(rig.pm());
    EXPECT_EQ(rig.workers(), 6u);
    std::atomic<STATUS> destroyed{-2};
    std::thread destroyer([&] { destroyed = ozkPodManagerDestroy(rig.pm()); });
    std::this_thread::sleep_for(100ms);
    semGive(rig.pm()->semContainerCached);
    destroyer.join();
    rig.destroyed();
    EXPECT_EQ(destroyed.load(), OK);
    for (int i = 0; i < 6; i++) {
        EXPECT_FALSE(readPod(sim_, "d" + std::to_string(i))) << i;
    }
    EXPECT_EQ(rig.pm()->semCached, nullptr);
    EXPECT_EQ(sllFirst(&rig.pm()->cachedPodList), nullptr);
    EXPECT_EQ(sllFirst(&rig.pm()->cachedPodWorkerTaskList), nullptr);
}
