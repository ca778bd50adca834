/* rpc_bench - the runtime API's round trip to the daemon: ozcStatusGet of
 * one created container against ozcd, median and p99 latency with one
 * client task, and requests per second with 1 and 8 client tasks.
 *
 *   rpc_bench [SECONDS_PER_CASE]          (root; default 3)
 */
#include <atomic>
#include <cstring>

#include "runtime_bench_util.h"

using namespace rtbench;

namespace {

struct Load {
    double endMs = 0;
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
};

int client(void *arg)
{
    auto *l = static_cast<Load *>(arg);
    while (nowMs() < l->endMs) {
        if (ozcStatusGet("rpc") == STATE_CREATED)
            l->done++;
        else
            l->failed++;
    }
    return 0;
}

/* Requests per second with `tasks` client tasks for `sec` seconds. */
double throughput(int tasks, double sec, long *failed)
{
    Load load;
    load.endMs = nowMs() + sec * 1000;
    std::vector<TASK_ID> ids;
    for (int i = 0; i < tasks; i++)
        ids.push_back(taskSpawn("rpcClient", 100, 0, 256 * 1024, client, &load));
    for (TASK_ID t : ids)
        taskWait(t, WAIT_FOREVER, nullptr);
    *failed += load.failed;
    return (double)load.done / sec;
}

} // namespace

int main(int argc, char *argv[])
{
    double sec = argc > 1 ? atof(argv[1]) : 3;
    if (sec <= 0 || geteuid() != 0) {
        fprintf(stderr, "usage: rpc_bench [SECONDS_PER_CASE]  (as root)\n");
        return 2;
    }
    Scratch tmp;
    setenv("OZC_BASE", (tmp / "base").c_str(), 1);
    setenv("OZ_OVERLAY_DEV_DIR", "", 1);
    std::string img = tmp / "img", bundle = tmp / "bundle";
    if (!mkimage(img, "--layers 1 --no-volumes") || ozcUnpack(bundle.c_str(), img.c_str(), nullptr, 0, nullptr) != OK) {
        fprintf(stderr, "rpc_bench: cannot make the bundle\n");
        return 1;
    }
    Daemon daemon;
    if (!daemon.start() || ozcCreate("rpc", bundle.c_str(), 0, nullptr) != OK) {
        fprintf(stderr, "rpc_bench: ozcd did not start or the container was not created\n");
        return 1;
    }
    std::vector<double> us;
    double end = nowMs() + sec * 1000;
    while (nowMs() < end) {
        double t0 = nowMs();
        if (ozcStatusGet("rpc") != STATE_CREATED) {
            fprintf(stderr, "rpc_bench: a status request failed\n");
            return 1;
        }
        us.push_back((nowMs() - t0) * 1000);
    }
    long failed = 0;
    double one = throughput(1, sec, &failed);
    double eight = throughput(8, sec, &failed);
    ozcDelete("rpc", 0);
    printf("runtime API round trip: ozcStatusGet against ozcd (%zu samples)\n", us.size());
    printf("  median %.1f us, p99 %.1f us\n", percentile(us, 50), percentile(us, 99));
    printf("  1 client task : %.0f requests/s\n", one);
    printf("  8 client tasks: %.0f requests/s\n", eight);
    if (failed != 0)
        printf("  failed requests: %ld\n", failed);
    return failed == 0 ? 0 : 1;
}
