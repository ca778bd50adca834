/* lifecycle_bench - create + start (waiting for the process) + delete of a
 * container whose process is "/bin/busybox true", through the runtime API
 * against ozcd, side by side with "crun run" and "runc run" of the
 * equivalent bundle in the same run.
 *
 *   lifecycle_bench [ITERATIONS]          (root; default 50)
 *
 * Besides wall times, the CPU time (user + system) each whole life costs:
 * for ozc the daemon's (with the holders it reaped), this process's and
 * the container process's; for a peer the tool's and the container's. On
 * a busy machine the wall times follow the load, the CPU times hardly.
 *
 * The peers run inside a private mount namespace (unshare -m) in which the
 * cgroup v2 hierarchy of this host's hybrid layout is unmounted, since
 * Debian's crun refuses hybrid layouts; the host's mounts are untouched.
 * Internal mode: lifecycle_bench --peer TOOL BUNDLE N  times N runs of TOOL.
 */
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/resource.h>

#include "runtime_bench_util.h"

using namespace rtbench;

namespace {

struct Figures {
    double median = 0, p90 = 0;
    double cpu = 0; /* mean CPU ms per run */
    int n = 0;
};

Figures figures(const std::vector<double> &v, double cpuTotal)
{
    return Figures{percentile(v, 50), percentile(v, 90), v.empty() ? 0 : cpuTotal / (double)v.size(), (int)v.size()};
}

double tvMs(const timeval &tv)
{
    return (double)tv.tv_sec * 1000.0 + (double)tv.tv_usec / 1000.0;
}

/* CPU ms of this process and of its children it has waited for. */
double selfCpuMs()
{
    rusage self{}, kids{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &kids);
    return tvMs(self.ru_utime) + tvMs(self.ru_stime) + tvMs(kids.ru_utime) + tvMs(kids.ru_stime);
}

/* CPU ms of another process and of its children it has waited for, from
 * its stat line (utime, stime, cutime, cstime: fields 14 to 17). */
double procCpuMs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(line.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int field = 3; field <= 17 && fields >> f; field++)
        if (field >= 14)
            ticks += atof(f.c_str());
    return ticks * 1000.0 / (double)sysconf(_SC_CLK_TCK);
}

/* Internal mode: N runs of `tool run --bundle B id`, one line per run:
 * wall ms and CPU ms (the tool's and the container's). */
int peerMode(const char *tool, const char *bundle, int n)
{
    std::string path = std::string("/usr/bin/") + tool;
    if (access(path.c_str(), X_OK) != 0)
        path = std::string("/usr/sbin/") + tool;
    for (int i = 0; i < n; i++) {
        std::string id = std::string("ozcbench-") + tool + "-" + std::to_string(getpid()) + "-" + std::to_string(i);
        char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>("run"),
                        const_cast<char *>("--bundle"),   const_cast<char *>(bundle),
                        const_cast<char *>(id.c_str()),   nullptr};
        double t0 = nowMs(), c0 = selfCpuMs();
        pid_t pid;
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
            return 1;
        int status = 0;
        waitpid(pid, &status, 0);
        double t1 = nowMs(), c1 = selfCpuMs();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
        printf("%.3f %.3f\n", t1 - t0, c1 - c0);
    }
    return 0;
}

Figures peer(const char *self, const char *tool, const std::string &bundle, int n)
{
    std::string cmd = std::string("unshare -m sh -c 'umount /sys/fs/cgroup/unified 2>/dev/null; exec ") + self +
                      " --peer " + tool + " " + bundle + " " + std::to_string(n) + "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    std::vector<double> v;
    double ms, cpu, cpuTotal = 0;
    while (p != nullptr && fscanf(p, "%lf %lf", &ms, &cpu) == 2) {
        v.push_back(ms);
        cpuTotal += cpu;
    }
    int rc = p != nullptr ? pclose(p) : -1;
    if (rc != 0 || (int)v.size() != n)
        return Figures{};
    return figures(v, cpuTotal);
}

/* The peers' bundle: their own default specification around our root. */
bool peerBundle(const std::string &dir, const std::string &rootfs)
{
    return sh("mkdir -p " + dir + " && cd " + dir +
              " && crun spec && python3 - <<'EOF'\n"
              "import json\n"
              "c = json.load(open('config.json'))\n"
              "c['process']['terminal'] = False\n"
              "c['process']['args'] = ['/bin/busybox', 'true']\n"
              "c['root'] = {'path': '" +
              rootfs +
              "', 'readonly': True}\n"
              "json.dump(c, open('config.json', 'w'))\n"
              "EOF") == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && strcmp(argv[1], "--peer") == 0)
        return peerMode(argv[2], argv[3], atoi(argv[4]));
    int n = argc > 1 ? atoi(argv[1]) : 50;
    if (n <= 0 || geteuid() != 0) {
        fprintf(stderr, "usage: lifecycle_bench [ITERATIONS]  (as root)\n");
        return 2;
    }
    Scratch tmp;
    setenv("OZC_BASE", (tmp / "base").c_str(), 1);
    setenv("OZ_OVERLAY_DEV_DIR", "", 1); /* the same extracted root for every runtime */
    std::string img = tmp / "img";
    std::string bundle = tmp / "bundle";
    if (!mkimage(img, "--layers 2 --no-volumes --entrypoint '[\"/bin/busybox\"]' --cmd '[\"true\"]'") ||
        ozcUnpack(bundle.c_str(), img.c_str(), nullptr, 0, nullptr) != OK) {
        fprintf(stderr, "lifecycle_bench: cannot make the bundle\n");
        return 1;
    }
    Daemon daemon;
    if (!daemon.start()) {
        fprintf(stderr, "lifecycle_bench: ozcd did not start\n");
        return 1;
    }
    /* Warm-up, then the measured runs. */
    std::vector<double> ours;
    double cpuStart = 0;
    for (int i = -3; i < n; i++) {
        std::string id = "lc" + std::to_string(i + 3);
        if (i == 0)
            cpuStart = selfCpuMs() + procCpuMs(daemon.pid);
        double t0 = nowMs();
        if (ozcCreate(id.c_str(), bundle.c_str(), 0, nullptr) != OK || ozcStart(id.c_str(), 0) <= 0 ||
            ozcDelete(id.c_str(), 0) != OK) {
            fprintf(stderr, "lifecycle_bench: run %d failed: 0x%x\n", i, errno);
            ozcUtilShowErr(errno);
            return 1;
        }
        if (i >= 0)
            ours.push_back(nowMs() - t0);
    }
    Figures o = figures(ours, selfCpuMs() + procCpuMs(daemon.pid) - cpuStart);

    std::string peerDir = tmp / "peer";
    bool peerOk = have("crun") && peerBundle(peerDir, bundle + "/rootfs");
    Figures c = peerOk ? peer(argv[0], "crun", peerDir, n) : Figures{};
    Figures r = peerOk && have("runc") ? peer(argv[0], "runc", peerDir, n) : Figures{};

    printf("container lifecycle: create + start (wait) + delete of /bin/busybox true, %d runs\n", n);
    printf("%-22s %10s %10s %8s %10s %8s\n", "runtime", "median ms", "p90 ms", "ratio", "CPU ms", "ratio");
    printf("%-22s %10.2f %10.2f %8s %10.2f %8s\n", "ozc (runtime API)", o.median, o.p90, "1.00", o.cpu, "1.00");
    auto row = [&](const char *name, const Figures &f) {
        if (f.n == 0)
            printf("%-22s %10s\n", name, "n/a");
        else
            printf("%-22s %10.2f %10.2f %8.2f %10.2f %8.2f\n", name, f.median, f.p90, f.median / o.median, f.cpu,
                   f.cpu / o.cpu);
    };
    row("crun run", c);
    row("runc run", r);
    printf("(ratios: peer / ozc; above 1 means ozc is faster or cheaper. CPU ms: mean per run, user + system)\n");
    return 0;
}
