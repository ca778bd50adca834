/*
 * extract_bench.cpp - layer extraction by ozcUtilUntar side by side with
 * GNU tar (tar -xzf) on the same gzip'd layer in the same run.
 *
 * The layer (default 64 MiB of content: half random bytes, half text, 200
 * files in nested directories) is built by the benchmark. Each extraction
 * runs in a child process, so that its wall time and its peak resident
 * memory (getrusage through wait4) are its own; the extractor's extra memory
 * is its child's peak minus that of a child that does nothing. A second,
 * smaller layer shows whether that memory grows with the layer.
 *
 * Usage: extract_bench [MiB] [runs]      (defaults: 64 5)
 * The work directory is made under $OZ_BENCH_DIR, else /dev/shm, else /tmp.
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ozPlatform.h"
#include "ozcUtil.h"

namespace {

constexpr int kFiles = 200;
constexpr double kGoalRatio = 1.5;

struct Run {
    double seconds = 0;
    double cpuSeconds = 0; /* user + system, the child's waited-for children included */
    long maxRssKiB = 0;
    int status = -1;
};

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

uint64_t rng(uint64_t &s)
{
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

bool writeAll(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

/* 200 files under 10 x 4 nested directories; even files random bytes, odd
 * files text. Returns the content size in bytes, 0 on failure. */
uint64_t buildTree(const std::string &root, uint64_t totalBytes)
{
    static const char *const kWords[] = {"container", "layer",    "image", "runtime", "node", "pod",   "status",
                                         "lease",     "bundle",   "mount", "overlay", "task", "queue", "digest",
                                         "manifest",  "registry", "the",   "of",      "and",  "a"};
    uint64_t seed = 0x9e3779b97f4a7c15ULL;
    uint64_t each = totalBytes / kFiles;
    uint64_t total = 0;
    for (int i = 0; i < kFiles; i++) {
        std::string dir = root + "/d" + std::to_string(i % 10) + "/e" + std::to_string(i / 10 % 4);
        if (ozMkdirP(dir.c_str(), 0755) != OK)
            return 0;
        std::string data;
        data.reserve(each + 64);
        if (i % 2 == 0) {
            while (data.size() < each) {
                uint64_t v = rng(seed);
                data.append(reinterpret_cast<const char *>(&v), sizeof(v));
            }
        } else {
            while (data.size() < each) {
                uint64_t v = rng(seed);
                data += kWords[v % 20];
                data += (v >> 20) % 12 == 0 ? '\n' : ' ';
            }
        }
        data.resize(each);
        if (!writeAll(dir + "/f" + std::to_string(i), data))
            return 0;
        total += data.size();
    }
    return total;
}

/* Runs fn in a child process; its wall time and peak memory. */
template <typename Fn>
Run inChild(Fn fn)
{
    fflush(nullptr);
    Run r;
    double t0 = now();
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    if (pid < 0)
        return r;
    struct rusage ru;
    int status = 0;
    if (wait4(pid, &status, 0, &ru) != pid)
        return r;
    r.seconds = now() - t0;
    r.cpuSeconds = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
                   (double)ru.ru_stime.tv_usec / 1e6;
    r.maxRssKiB = ru.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

Run runOzc(const std::string &layer, const std::string &dest)
{
    return inChild([&] { return ozcUtilUntar(layer.c_str(), dest.c_str()) == OK ? 0 : 1; });
}

Run runGnuTar(const std::string &layer, const std::string &dest)
{
    return inChild([&] {
        execlp("tar", "tar", "-xzf", layer.c_str(), "-C", dest.c_str(), (char *)nullptr);
        return 127;
    });
}

bool freshDir(const std::string &dir)
{
    ozRmTree(dir.c_str());
    return mkdir(dir.c_str(), 0755) == 0;
}

template <typename T>
T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Result {
    double ozcMBs, tarMBs;
    long ozcExtraKiB, tarRssKiB;
};

bool benchLayer(const std::string &work, int mib, int runs, long idleKiB, Result *out)
{
    std::string src = work + "/src" + std::to_string(mib);
    std::string layer = work + "/layer" + std::to_string(mib) + ".tar.gz";
    uint64_t bytes = buildTree(src, (uint64_t)mib << 20);
    if (bytes == 0)
        return false;
    std::string cmd = "tar --format=ustar -C '" + src + "' -czf '" + layer + "' .";
    if (system(cmd.c_str()) != 0)
        return false;
    ozRmTree(src.c_str());
    struct stat st;
    if (stat(layer.c_str(), &st) != 0)
        return false;
    printf("\nlayer: %d MiB of content (%.1f MB), %d files, gzip'd %.1f MB\n", mib, bytes / 1e6, kFiles,
           st.st_size / 1e6);
    printf("%-5s %-22s %10s %10s %10s %12s\n", "run", "extractor", "seconds", "MB/s", "cpu s", "peak KiB");

    std::vector<double> ozcT, tarT, ozcC, tarC;
    std::vector<long> ozcRss, tarRss;
    std::string dest = work + "/dest";
    for (int i = 0; i < runs; i++) {
        if (!freshDir(dest))
            return false;
        Run o = runOzc(layer, dest);
        if (!freshDir(dest))
            return false;
        Run t = runGnuTar(layer, dest);
        if (o.status != 0 || t.status != 0) {
            fprintf(stderr, "extraction failed (ozcUtilUntar %d, tar %d)\n", o.status, t.status);
            return false;
        }
        printf("%-5d %-22s %10.3f %10.1f %10.3f %12ld\n", i + 1, "ozcUtilUntar", o.seconds, bytes / 1e6 / o.seconds,
               o.cpuSeconds, o.maxRssKiB);
        printf("%-5d %-22s %10.3f %10.1f %10.3f %12ld\n", i + 1, "tar -xzf (GNU tar)", t.seconds,
               bytes / 1e6 / t.seconds, t.cpuSeconds, t.maxRssKiB);
        ozcC.push_back(o.cpuSeconds);
        tarC.push_back(t.cpuSeconds);
        ozcT.push_back(o.seconds);
        tarT.push_back(t.seconds);
        ozcRss.push_back(o.maxRssKiB);
        tarRss.push_back(t.maxRssKiB);
    }
    ozRmTree(dest.c_str());
    out->ozcMBs = bytes / 1e6 / median(ozcT);
    out->tarMBs = bytes / 1e6 / median(tarT);
    out->ozcExtraKiB = median(ozcRss) - idleKiB;
    out->tarRssKiB = median(tarRss);
    printf("median: ozcUtilUntar %.1f MB/s, tar -xzf %.1f MB/s, ratio %.2f (goal >= %.1f)\n", out->ozcMBs, out->tarMBs,
           out->ozcMBs / out->tarMBs, kGoalRatio);
    double ozcBest = *std::min_element(ozcT.begin(), ozcT.end());
    double tarBest = *std::min_element(tarT.begin(), tarT.end());
    printf("best:   ozcUtilUntar %.1f MB/s, tar -xzf %.1f MB/s, ratio %.2f\n", bytes / 1e6 / ozcBest,
           bytes / 1e6 / tarBest, tarBest / ozcBest);
    printf("median cpu: ozcUtilUntar %.3f s, tar -xzf with its gzip %.3f s, ratio %.2f\n", median(ozcC), median(tarC),
           median(tarC) / median(ozcC));
    printf("peak memory: ozcUtilUntar %ld KiB above an idle child (%ld KiB); "
           "tar -xzf %ld KiB (the larger of tar and its gzip)\n",
           out->ozcExtraKiB, idleKiB, out->tarRssKiB);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int mib = argc > 1 ? atoi(argv[1]) : 64;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (mib < 4 || runs < 1) {
        fprintf(stderr, "usage: %s [MiB >= 4] [runs >= 1]\n", argv[0]);
        return 2;
    }
    /* Layers are extracted into the runtime's RAM disk on the target: work
     * in memory too when the machine has one (OZ_BENCH_DIR overrides). */
    const char *parent = getenv("OZ_BENCH_DIR");
    struct stat pst;
    if (parent == nullptr)
        parent = stat("/dev/shm", &pst) == 0 && S_ISDIR(pst.st_mode) ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(parent) + "/oz-extract-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string work = tmpl;

    Run idle = inChild([] { return 0; });
    printf("extraction of a gzip'd layer: ozcUtilUntar vs GNU tar -xzf, %d run(s) each, in %s\n", runs, parent);
    Result big{}, small{};
    bool ok = benchLayer(work, mib, runs, idle.maxRssKiB, &big) &&
              benchLayer(work, std::max(4, mib / 4), runs, idle.maxRssKiB, &small);
    ozRmTree(work.c_str());
    if (!ok)
        return 1;
    printf("\nsummary: throughput ratio %.2f (goal >= %.1f: %s); extra memory %ld KiB at %d MiB "
           "vs %ld KiB at %d MiB (goal: does not grow with the layer)\n",
           big.ozcMBs / big.tarMBs, kGoalRatio, big.ozcMBs / big.tarMBs >= kGoalRatio ? "met" : "not met",
           big.ozcExtraKiB, mib, small.ozcExtraKiB, std::max(4, mib / 4));
    return 0;
}
