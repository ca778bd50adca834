/* unpack_bench - image layout to bundle: the 64 MiB fixture image unpacked
 * by ozcUnpack with overlays (layer store cold, then warm), without
 * overlays (layers extracted into the bundle), and by "umoci unpack" of the
 * same image's linux variant (umoci refuses the os "orrery"). A small image
 * shows that a warm unpack does not grow with the image.
 *
 *   unpack_bench [RUNS]          (root for the overlay devices; default 5)
 */
#include <cstring>
#include <fstream>
#include <iterator>

#include "runtime_bench_util.h"

using namespace rtbench;

namespace {

std::string rootPathOf(const std::string &bundle)
{
    std::ifstream f(bundle + "/config.json");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    cJSON *cfg = cJSON_Parse(text.c_str());
    cJSON *path = cJSON_GetObjectItem(cJSON_GetObjectItem(cfg, "root"), "path");
    std::string s = cJSON_IsString(path) ? path->valuestring : "";
    cJSON_Delete(cfg);
    return s;
}

/* Removes a bundle and the overlay device its root names, if any. */
void dropBundle(const std::string &bundle)
{
    std::string root = rootPathOf(bundle);
    if (root.rfind(ozOvlDevDirGet(), 0) == 0)
        ozOvlDevRemove(root.c_str());
    ozRmTree(bundle.c_str());
}

/* One ozcUnpack of `layout`; ms, or -1. `cold` empties the layer store first. */
double ourUnpack(const Scratch &tmp, const std::string &layout, bool cold, unsigned option, int run)
{
    if (cold) {
        ozRmTree((tmp / "base/layers").c_str());
        ozRmTree((tmp / "base/flattened").c_str());
    }
    std::string bundle = tmp / ("b" + std::to_string(run));
    double t0 = nowMs();
    STATUS rc = ozcUnpack(bundle.c_str(), layout.c_str(), nullptr, option, nullptr);
    double t = nowMs() - t0;
    if (rc != OK) {
        fprintf(stderr, "unpack_bench: ozcUnpack failed: ");
        fflush(stderr);
        ozcUtilShowErr(errno);
        return -1;
    }
    dropBundle(bundle);
    return t;
}

double umociUnpack(const Scratch &tmp, const std::string &layout, int run)
{
    std::string bundle = tmp / ("u" + std::to_string(run));
    double t0 = nowMs();
    int rc = sh("umoci unpack --image " + layout + ":latest " + bundle + " >/dev/null 2>&1");
    double t = nowMs() - t0;
    ozRmTree(bundle.c_str());
    return rc == 0 ? t : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    if (runs <= 0 || geteuid() != 0) {
        fprintf(stderr, "usage: unpack_bench [RUNS]  (as root)\n");
        return 2;
    }
    Scratch tmp;
    setenv("OZC_BASE", (tmp / "base").c_str(), 1);
    std::string big = tmp / "big", bigLinux = tmp / "biglinux", small = tmp / "small";
    if (!mkimage(big, "--large --no-volumes") || !mkimage(bigLinux, "--large --no-volumes --os linux") ||
        !mkimage(small, "--layers 2 --no-volumes")) {
        fprintf(stderr, "unpack_bench: cannot make the images\n");
        return 1;
    }
    std::string dev = tmp / "overlay";
    sh("mkdir -p " + dev);
    ozOvlDevDirSet(dev.c_str());
    bool ovl = ozOvlAvailable();

    std::vector<double> cold, warm, flatCold, raw, smallWarm, umoci;
    for (int i = 0; i < runs; i++) {
        if (ovl) {
            cold.push_back(ourUnpack(tmp, big, true, 0, i));
            warm.push_back(ourUnpack(tmp, big, false, 0, i));
            flatCold.push_back(ourUnpack(tmp, big, true, OZC_UNPACK_FLATTEN, i));
            ourUnpack(tmp, small, false, 0, i);
            smallWarm.push_back(ourUnpack(tmp, small, false, 0, i));
        }
        if (have("umoci"))
            umoci.push_back(umociUnpack(tmp, bigLinux, i));
    }
    ozOvlDevDirSet("");
    for (int i = 0; i < runs; i++)
        raw.push_back(ourUnpack(tmp, big, true, 0, 100 + i));
    ozOvlDevDirSet(nullptr);

    auto bad = [](const std::vector<double> &v) {
        return std::any_of(v.begin(), v.end(), [](double x) { return x < 0; });
    };
    if (bad(cold) || bad(warm) || bad(flatCold) || bad(raw) || bad(smallWarm)) {
        fprintf(stderr, "unpack_bench: an unpack failed\n");
        return 1;
    }
    double u = umoci.empty() || bad(umoci) ? 0 : percentile(umoci, 50);
    printf("unpack of the 64 MiB fixture image into a bundle, median of %d runs\n", runs);
    printf("%-44s %10s %12s\n", "road", "median ms", "vs umoci");
    auto row = [&](const char *name, const std::vector<double> &v) {
        if (v.empty()) {
            printf("%-44s %10s\n", name, "n/a");
            return;
        }
        double m = percentile(v, 50);
        if (u > 0)
            printf("%-44s %10.1f %11.2fx\n", name, m, m / u);
        else
            printf("%-44s %10.1f %12s\n", name, m, "n/a");
    };
    row("ozcUnpack layered, layer store cold", cold);
    row("ozcUnpack layered, layer store warm", warm);
    row("ozcUnpack flattened, store cold", flatCold);
    row("ozcUnpack without overlays (into bundle)", raw);
    row("ozcUnpack layered warm, small 2-layer image", smallWarm);
    if (u > 0)
        printf("%-44s %10.1f %11.2fx\n", "umoci unpack (linux variant)", u, 1.0);
    else
        printf("%-44s %10s\n", "umoci unpack (linux variant)", "n/a");
    if (!ovl)
        printf("(overlay devices unavailable: layered and flattened roads not measured)\n");
    return 0;
}
