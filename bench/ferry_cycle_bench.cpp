/* ferry_cycle_bench - what one node update cycle of the node agent costs:
 * the Node read, the lease patch and the Node status patch against the API
 * server emulator over TLS with client certificates, as the update task
 * makes them. Prints requests per second, the node agent's CPU time per
 * cycle (user + system of this process, which makes the requests) and the
 * TCP connections the cycles left in TIME-WAIT.
 *
 *   ferry_cycle_bench [CYCLES]          (default 200)
 */
#include "kubesim/kubesim_fixture.h"
#include "ozkLib.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double cpuSeconds()
{
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* Sockets towards the emulator's port in TIME-WAIT (closed by this side). */
long timeWaitSockets(int port)
{
    std::string cmd = "ss -Htan state time-wait '( dport = :" + std::to_string(port) + " )' 2>/dev/null | wc -l";
    FILE *p = popen(cmd.c_str(), "r");
    long n = -1;
    if (p != nullptr) {
        if (fscanf(p, "%ld", &n) != 1) {
            n = -1;
        }
        pclose(p);
    }
    return n;
}

bool cycle(OZK_NODE_MGR_CTRL *mgr)
{
    if (!ozkNodeIsPresent(mgr)) {
        return false;
    }
    object_t *body = ozkNodeStatusUpdateGet(mgr);
    if (body == nullptr || ozkLeasePatch(mgr) != OK) {
        object_free(body);
        return false;
    }
    v1_node_t *patched = ozkClientNodeStatusPatch(mgr->clientCtrl, mgr->ozkCnf->nodeName, body);
    object_free(body);
    if (patched == nullptr) {
        return false;
    }
    v1_node_free(mgr->nodeObj);
    mgr->nodeObj = patched;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    long cycles = argc > 1 ? atol(argv[1]) : 200;
    if (cycles <= 0) {
        fprintf(stderr, "usage: ferry_cycle_bench [CYCLES]\n");
        return 2;
    }
    setenv("OZ_TEST_SOURCE_DIR", OZ_SOURCE_DIR, 0);
    KubesimProcess sim;
    if (!sim.start("bench-node")) {
        fprintf(stderr, "emulator: %s\n", sim.lastError().c_str());
        return 1;
    }
    std::vector<std::string> args = {"ferryService", "-C",          sim.caPath(), "-c",         sim.certPath(),
                                     "-k",           sim.keyPath(), "-n",         "bench-node", "-u",
                                     sim.url(),      "-v",          "0"};
    std::vector<char *> argv2;
    for (auto &a : args) {
        argv2.push_back(a.data());
    }
    argv2.push_back(nullptr);
    OZK_CTRL *ctrl = ozkServiceInit(static_cast<int>(args.size()), argv2.data());
    if (ctrl == nullptr) {
        fprintf(stderr, "cannot set up the node agent\n");
        return 1;
    }
    OZK_NODE_MGR_CTRL *mgr = &ctrl->nodeManagerCtrl;
    mgr->clientCtrl = &ctrl->clientCtrl;
    mgr->ozkCnf = &ctrl->ozkCnf;
    if (ozkNodeCreate(mgr) != OK || ozkLeaseManagerStart(mgr) != OK) {
        fprintf(stderr, "cannot register the node\n");
        return 1;
    }
    for (int i = 0; i < 5; i++) {
        (void)cycle(mgr);
    }
    long waitingBefore = timeWaitSockets(sim.port());
    double cpu0 = cpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    long failed = 0;
    for (long i = 0; i < cycles; i++) {
        failed += cycle(mgr) ? 0 : 1;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = cpuSeconds() - cpu0;
    long waitingAfter = timeWaitSockets(sim.port());

    printf("node cycles: %ld (%ld failed), 3 requests each\n", cycles, failed);
    printf("requests per second: %.1f\n", 3.0 * static_cast<double>(cycles) / wall);
    printf("wall time per cycle: %.2f ms\n", wall * 1000 / static_cast<double>(cycles));
    printf("node agent CPU per cycle: %.2f ms\n", cpu * 1000 / static_cast<double>(cycles));
    if (waitingBefore >= 0 && waitingAfter >= 0) {
        printf("new TIME-WAIT connections: %ld\n", waitingAfter - waitingBefore);
    }
    (void)ozkNodeManagerDestroy(mgr);
    (void)ozkServiceDestroy(ctrl);
    return failed == 0 ? 0 : 1;
}
