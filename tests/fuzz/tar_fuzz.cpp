/*
 * tar_fuzz.cpp - libFuzzer harness of the tar extractor over the gzip
 * reader.
 *
 * The first input byte chooses how the rest reaches the extractor: as a
 * plain archive, gzip-compressed by the harness (so the tar parser sees
 * the fuzzed bytes through a valid stream), behind a bare gzip header (so
 * the inflater sees them), or zstd-compressed by the harness; the block
 * factor; and the layer form: whiteouts applied to an empty target,
 * applied to a target that holds an earlier layer, or written in the
 * overlay form above a lower layer directory (where hard links may name
 * files below). The digest of the archive is always computed. The archive
 * is extracted into a fresh target beside a sentinel directory; anything
 * appearing or changing outside the target, the lower layer included,
 * aborts the run. Run it as an unprivileged user so that a found escape
 * cannot harm the machine.
 */
#define gzFile_s zlibGzFile_s
#define gzFile   zlibGzFile
#include <zlib.h>
#undef gzFile
#undef gzFile_s

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <zstd.h>

#include "ozcTarLib.h"

namespace {

std::string gWork, gTarget, gOutside, gSentinel, gArchive, gLower;
constexpr char kSentinelText[] = "sentinel\n";
/* The lower layer and what an earlier layer left in the target: a file,
 * a directory with a file, a link. */
const char *const kLowerFiles[] = {"/file", "/dir/x"};

void removeTree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700); /* archives may make directories without access */
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                removeTree(path + "/" + e->d_name);
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

bool writeFile(const std::string &path, const void *data, size_t len)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = len == 0 || fwrite(data, 1, len, f) == len;
    return fclose(f) == 0 && ok;
}

/* A file, a directory holding one and a link under dir, fresh. */
void populate(const std::string &dir)
{
    removeTree(dir);
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/dir").c_str(), 0755);
    for (const char *f : kLowerFiles)
        writeFile(dir + f, f, strlen(f));
    symlink("file", (dir + "/link").c_str());
}

bool zstdTo(const std::string &path, const uint8_t *data, size_t len)
{
    std::string out(ZSTD_compressBound(len), '\0');
    size_t n = ZSTD_compress(out.data(), out.size(), data, len, 1);
    return !ZSTD_isError(n) && writeFile(path, out.data(), n);
}

bool gzipTo(const std::string &path, const uint8_t *data, size_t len)
{
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::string out(deflateBound(&z, (uLong)len) + 64, '\0');
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = (uInt)len;
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = (uInt)out.size();
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END && writeFile(path, out.data(), out.size());
}

/* Only the sentinel, unchanged, lives outside the target. */
void checkOutside()
{
    int entries = 0;
    if (DIR *d = opendir(gOutside.c_str())) {
        while (struct dirent *e = readdir(d))
            entries += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
        closedir(d);
    }
    char buf[64] = {0};
    FILE *f = fopen(gSentinel.c_str(), "rb");
    size_t n = f != nullptr ? fread(buf, 1, sizeof(buf) - 1, f) : 0;
    if (f != nullptr)
        fclose(f);
    if (entries != 1 || n != strlen(kSentinelText) || memcmp(buf, kSentinelText, n) != 0) {
        fprintf(stderr, "extraction changed %s\n", gOutside.c_str());
        abort();
    }
    /* The lower layer is read, never written. */
    for (const char *name : kLowerFiles) {
        char text[16] = {0};
        FILE *lf = fopen((gLower + name).c_str(), "rb");
        size_t got = lf != nullptr ? fread(text, 1, sizeof(text) - 1, lf) : 0;
        if (lf != nullptr)
            fclose(lf);
        if (got != strlen(name) || memcmp(text, name, got) != 0) {
            fprintf(stderr, "extraction changed the lower layer %s\n", gLower.c_str());
            abort();
        }
    }
    /* Nothing new beside the target either. */
    int top = 0;
    if (DIR *d = opendir(gWork.c_str())) {
        while (struct dirent *e = readdir(d))
            top += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
        closedir(d);
    }
    if (top != 4) { /* target, outside, the lower layer, the archive */
        fprintf(stderr, "extraction wrote beside %s\n", gTarget.c_str());
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *parent = getenv("OZ_FUZZ_DIR");
    std::string tmpl = std::string(parent != nullptr ? parent : "/tmp") + "/oz-fuzz-tar-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    gWork = tmpl;
    gTarget = gWork + "/target";
    gOutside = gWork + "/outside";
    gSentinel = gOutside + "/sentinel";
    gArchive = gWork + "/archive";
    gLower = gWork + "/lower";
    populate(gLower);
    mkdir(gOutside.c_str(), 0755);
    writeFile(gSentinel, kSentinelText, strlen(kSentinelText));
    atexit([] { removeTree(gWork); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1 << 20))
        return 0;
    uint8_t mode = data[0];
    const uint8_t *payload = data + 1;
    size_t len = size - 1;
    bool ok;
    switch (mode % 4) {
    case 0:
        ok = writeFile(gArchive, payload, len);
        break;
    case 1:
        ok = gzipTo(gArchive, payload, len);
        break;
    case 2: {
        std::string s("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
        s.append(reinterpret_cast<const char *>(payload), len);
        ok = writeFile(gArchive, s.data(), s.size());
        break;
    }
    default:
        ok = zstdTo(gArchive, payload, len);
        break;
    }
    if (!ok)
        return 0;
    unsigned form = (mode / 16) % 3;
    if (form == 1) {
        populate(gTarget);
    } else {
        removeTree(gTarget);
        mkdir(gTarget.c_str(), 0755);
    }
    OZC_TAR_OPTS opts{};
    opts.bFactor = (mode / 4) % 4; /* 0 (20), 1, 2 or 3 */
    opts.digestAlg = "sha256";
    const char *lowers[] = {gLower.c_str()};
    if (form == 2) {
        opts.whiteouts = OZC_TAR_WHITEOUT_OVERLAY;
        opts.lowerDirs = lowers;
        opts.lowerNum = 1;
    }
    (void)ozcTarExtractEx(gArchive.c_str(), gTarget.c_str(), &opts);
    checkOutside();
    removeTree(gTarget);
    return 0;
}
