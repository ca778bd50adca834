/* ozcmgr - the image manager from a shell.
 *
 *   ozcmgr pull REF [--user U] [--password-stdin] [--insecure] [--verbose]
 *   ozcmgr manifest REF [options]
 *   ozcmgr tags REF [options]
 *
 * The pull goes through the library's function table, prints its progress
 * (one line per layer with its size and digest) and leaves the image as an
 * OCI layout under OZC_IMAGE_PATH. Without --password-stdin a password is
 * prompted for (echo off) when --user is given.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <string>

#include "ozPlatform.h"
#include "ozcMgr.h"

namespace {

constexpr size_t kPasswordSize = 4096;
/* A manifest of the 4 MiB a registry may send, printed indented. */
constexpr size_t kReplySize = 12u * 1024 * 1024;

void usage(FILE *out)
{
    fprintf(out, "Usage: ozcmgr COMMAND REF [options]\n"
                 "Commands:\n"
                 "  pull REF       pull the image into the local OCI layout store\n"
                 "  manifest REF   print the manifest or manifest list of REF\n"
                 "  tags REF       print the tags of REF's repository\n"
                 "Options:\n"
                 "  -u, --user USER        registry user name\n"
                 "  -p, --password-stdin   read the password from the first line of standard input\n"
                 "                         (else it is prompted for when --user is given)\n"
                 "  -k, --insecure         do not verify TLS certificates; fall back to plain HTTP\n"
                 "  -v, --verbose          show the transfers in detail\n"
                 "  -h, --help             this text\n"
                 "REF: [host[:port]/]path/name[:tag][@sha256:<hex>]; with a digest the pull takes\n"
                 "     that manifest and records the tag (or the digest) as its name\n"
                 "Images go to $OZC_IMAGE_PATH/<name> (default /ram0/ozc/images/<name>), one\n"
                 "OCI layout per name with its tags side by side; a name without registry\n"
                 "comes from $OZC_DEFAULT_REGISTRY (default registry-1.docker.io).\n"
                 "Environment: OZC_IMAGE_PATH, OZC_DEFAULT_REGISTRY, OZC_TLS_CA_CERT_FILE,\n"
                 "OZC_TLS_CA_CERT_PATH, OZC_PULL_PARALLEL (3), OZC_HTTP_CONNECT_TIMEOUT (30 s),\n"
                 "OZC_HTTP_LOW_SPEED_LIMIT (1024 bytes/s) for OZC_HTTP_LOW_SPEED_TIME (60 s),\n"
                 "OZC_HTTP_RETRIES (3), OZC_HTTP_RETRY_WAIT_MAX (30 s).\n");
}

std::string errnoText(int err)
{
    char text[256] = {0};
    ozcErrnoStrGet(err, text, sizeof(text));
    return text;
}

/* The password buffer is wiped whatever happens. */
struct Secret {
    char text[kPasswordSize] = {0};
    ~Secret() { explicit_bzero(text, sizeof(text)); }
};

bool passwordRead(bool fromStdin, Secret &secret)
{
    if (fromStdin) {
        if (fgets(secret.text, sizeof(secret.text), stdin) == nullptr) {
            fprintf(stderr, "ozcmgr: no password on standard input\n");
            return false;
        }
        size_t len = strlen(secret.text);
        while (len > 0 && (secret.text[len - 1] == '\n' || secret.text[len - 1] == '\r'))
            secret.text[--len] = '\0';
        return true;
    }
    if (ozcMgrCredGetFromStdin(secret.text, sizeof(secret.text), "Password: ") != 0) {
        fprintf(stderr, "ozcmgr: cannot read the password from the terminal "
                        "(use --password-stdin)\n");
        return false;
    }
    return true;
}

struct CtxDeleter {
    void operator()(REGISTRY_CTX *c) const { ozcRegistryCtxDelete(c); }
};

int queryRun(const std::string &command, const char *ref, const char *user, const char *password, bool insecure,
             bool verbose)
{
    std::unique_ptr<REGISTRY_CTX, CtxDeleter> ctx(ozcRegistryCtxCreate());
    if (!ctx) {
        fprintf(stderr, "ozcmgr: %s\n", errnoText(errno).c_str());
        return 1;
    }
    if (ozcRegistryCtxImageSet(ctx.get(), ref) != 0 ||
        (user != nullptr && ozcRegistryCtxUserNameSet(ctx.get(), user) != 0) ||
        (password != nullptr && ozcRegistryCtxUserPwdSet(ctx.get(), password) != 0)) {
        fprintf(stderr, "ozcmgr: %s: %s\n", ref, errnoText(errno).c_str());
        return 1;
    }
    ozcRegistryCtxSecureSet(ctx.get(), insecure ? 0 : 1);
    ozcRegistryCtxVerboseSet(ctx.get(), verbose ? 1 : 0);
    _ozcMgrVerboseFlag = verbose ? 1 : 0;
    std::unique_ptr<char[]> reply(new char[kReplySize]);
    int rc = command == "manifest" ? ozcManifestListGet(ctx.get(), reply.get(), kReplySize)
                                   : ozcImageTagsGet(ctx.get(), reply.get(), kReplySize);
    int err = errno;
    _ozcMgrVerboseFlag = 0;
    if (rc != 0) {
        char detail[1024] = {0};
        ozcRegistryCtxErrorStrGet(ctx.get(), detail, sizeof(detail));
        fprintf(stderr, "ozcmgr: %s of %s failed: %s%s\n", command.c_str(), ref, errnoText(err).c_str(), detail);
        return 1;
    }
    printf("%s\n", reply.get());
    return 0;
}

} /* namespace */

int main(int argc, char *argv[])
{
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        usage(stdout);
        return 0;
    }
    if (command != "pull" && command != "manifest" && command != "tags") {
        fprintf(stderr, "ozcmgr: unknown command '%s'\n", command.c_str());
        usage(stderr);
        return 2;
    }

    static const struct option options[] = {
        {"user", required_argument, nullptr, 'u'}, {"password-stdin", no_argument, nullptr, 'p'},
        {"insecure", no_argument, nullptr, 'k'},   {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0},
    };
    const char *user = nullptr;
    bool passwordStdin = false;
    bool insecure = false;
    bool verbose = false;
    optind = 1;
    int opt;
    while ((opt = getopt_long(argc - 1, argv + 1, "u:pkvh", options, nullptr)) != -1) {
        switch (opt) {
        case 'u':
            user = optarg;
            break;
        case 'p':
            passwordStdin = true;
            break;
        case 'k':
            insecure = true;
            break;
        case 'v':
            verbose = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind != argc - 2) {
        fprintf(stderr, "ozcmgr: %s needs exactly one image reference\n", command.c_str());
        usage(stderr);
        return 2;
    }
    const char *ref = argv[optind + 1];
    if (passwordStdin && user == nullptr) {
        fprintf(stderr, "ozcmgr: --password-stdin needs --user\n");
        return 2;
    }

    Secret secret;
    const char *password = nullptr;
    if (user != nullptr) {
        if (!passwordRead(passwordStdin, secret))
            return 1;
        password = secret.text;
    }

    if (command != "pull")
        return queryRun(command, ref, user, password, insecure, verbose);

    ozcMgrEnable();
    if (ozcMgrLibFuncs == nullptr || ozcMgrLibFuncs->imagePull == nullptr) {
        fprintf(stderr, "ozcmgr: the image manager library is not initialised\n");
        return 1;
    }
    IMAGE_INFO info;
    memset(&info, 0, sizeof(info));
    if (ozcMgrLibFuncs->imagePull(ref, user, password, insecure ? 1 : 0, verbose ? 1 : 0, &info) != 0) {
        int err = errno;
        fprintf(stderr, "ozcmgr: pull of %s failed: %s\n", ref, errnoText(err).c_str());
        return 1;
    }
    printf("Pulled %s:%s into %s\n", info.image_name, info.image_tag, info.image_path);
    return 0;
}
