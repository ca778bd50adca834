/* ozc - the container runtime from a shell.
 *
 *   ozc create [--bundle DIR] ID          ozc start [--detach] ID
 *   ozc kill [--all] ID [SIGNAL]          ozc delete [--force] ID
 *   ozc state ID    ozc list [--quiet]    ozc inspect ID    ozc prune
 *   ozc unpack [--flatten] [--os OS] [--arch ARCH] [--tag TAG] LAYOUT BUNDLE
 *   ozc images LAYOUT
 *
 * Container commands are requests to the runtime daemon; unpack and images
 * work on the image layout directly. Failures print the runtime's error
 * message and exit with status 1; a wrong command line exits with 2. A
 * start that waits exits with the container process's status (128 plus
 * the signal that ended it).
 */
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "ozOwners.h"
#include "ozcontainer.h"

namespace {

constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;

using Text = oz::MallocPtr<char>;
using Json = oz::JsonPtr;

struct Command {
    const char *name;
    const char *synopsis;
    const char *help;
    int (*run)(int argc, char *argv[]);
};

extern const Command kCommands[];
extern const size_t kCommandCount;

void usage(FILE *out)
{
    fprintf(out, "Usage: ozc COMMAND [options] ARGS\n"
                 "Manage containers through the runtime daemon and unpack OCI image layouts.\n"
                 "Commands:\n");
    for (size_t i = 0; i < kCommandCount; i++)
        fprintf(out, "  %-9s %s\n", kCommands[i].name, kCommands[i].synopsis);
    fprintf(out, "Run 'ozc COMMAND --help' for the options of a command.\n"
                 "Environment: OZC_VERBOSE (0..2, daemon info lines), OZC_DAEMON_QUEUE,\n"
                 "OZC_BASE, OZC_IMAGE_PATH, OZC_PLATFORM_OS, OZC_PLATFORM_ARCH.\n");
}

const Command *findCommand(const char *name)
{
    for (size_t i = 0; i < kCommandCount; i++)
        if (strcmp(kCommands[i].name, name) == 0)
            return &kCommands[i];
    return nullptr;
}

int commandUsage(const char *name, FILE *out)
{
    const Command *c = findCommand(name);
    fprintf(out, "Usage: ozc %s\n%s", c->synopsis, c->help);
    return out == stdout ? 0 : kExitUsage;
}

/* The error of the last failed call, through the runtime's message table.
 * A failure without a code (the daemon did not answer) says so. */
int fail(const char *what)
{
    int err = errno;
    if (err == 0)
        printf("Error: %s: no answer from the runtime daemon.\n", what);
    else
        ozcUtilShowErr(err);
    fflush(stdout);
    return kExitFail;
}

/* Parses the options of a command; returns -1 to go on, else the exit
 * status. `handle` takes each option; '?' and --help are handled here. */
template <typename Handle>
int parseOptions(const char *cmd, int argc, char *argv[], const char *shortOpts, const option *longOpts, Handle handle)
{
    optind = 1;
    opterr = 1;
    int c;
    while ((c = getopt_long(argc, argv, shortOpts, longOpts, nullptr)) != -1) {
        if (c == 'h')
            return commandUsage(cmd, stdout);
        if (c == '?' || !handle(c, optarg))
            return commandUsage(cmd, stderr);
    }
    return -1;
}

/* Options of a command whose only option (besides --help) is one flag: its
 * bit goes into *bits. As parseOptions, -1 to go on. */
int parseFlag(const char *cmd, int argc, char *argv[], const char *flag, char letter, unsigned bit, unsigned *bits)
{
    const option o[] = {
        {flag, no_argument, nullptr, letter}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    const char shortOpts[] = {'+', letter, 'h', '\0'};
    return parseOptions(cmd, argc, argv, shortOpts, o, [&](int c, const char *) {
        if (c != letter)
            return false;
        *bits |= bit;
        return true;
    });
}

bool expectArgs(int argc, int min, int max)
{
    int n = argc - optind;
    return n >= min && n <= max;
}

void printPretty(const char *text)
{
    Json doc(cJSON_Parse(text));
    Text pretty(doc ? cJSON_Print(doc.get()) : nullptr);
    printf("%s\n", pretty ? pretty.get() : text);
}

/* ------------------------------------------------------------------------ */

int cmdCreate(int argc, char *argv[])
{
    static const option o[] = {
        {"bundle", required_argument, nullptr, 'b'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    const char *bundle = ".";
    int rc = parseOptions("create", argc, argv, "+b:h", o, [&](int c, const char *arg) {
        if (c != 'b')
            return false;
        bundle = arg;
        return true;
    });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 1))
        return commandUsage("create", stderr);
    if (ozcCreate(argv[optind], bundle, 0, nullptr) != OK)
        return fail("create");
    return 0;
}

int cmdStart(int argc, char *argv[])
{
    unsigned option = 0;
    int rc = parseFlag("start", argc, argv, "detach", 'd', OZC_START_DETACH, &option);
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 1))
        return commandUsage("start", stderr);
    fflush(stdout);
    if (option & OZC_START_DETACH)
        return ozcStart(argv[optind], option) == ERROR ? fail("start") : 0;
    int status = 0;
    if (ozcStartWait(argv[optind], &status) == ERROR)
        return fail("start");
    /* The container's own exit status, as a shell gives it. */
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kExitFail;
}

/* "TERM", "SIGTERM", "term" or a number from 1 to 64. */
int signalParse(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (end != text && *end == '\0')
        return errno == 0 && n > 0 && n <= 64 ? (int)n : -1;
    std::string name(text);
    for (char &ch : name)
        ch = (char)toupper((unsigned char)ch);
    if (name.rfind("SIG", 0) == 0)
        name.erase(0, 3);
    return ozcUtilSignalNo(name.c_str());
}

int cmdKill(int argc, char *argv[])
{
    unsigned option = 0;
    int rc = parseFlag("kill", argc, argv, "all", 'a', OZC_KILL_ALL, &option);
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 2))
        return commandUsage("kill", stderr);
    int signo = 15;
    if (argc - optind == 2) {
        signo = signalParse(argv[optind + 1]);
        if (signo < 0) {
            fprintf(stderr, "ozc kill: unknown signal '%s'\n", argv[optind + 1]);
            return kExitUsage;
        }
    }
    if (ozcKill(argv[optind], signo, option) != OK)
        return fail("kill");
    return 0;
}

int cmdDelete(int argc, char *argv[])
{
    unsigned option = 0;
    int rc = parseFlag("delete", argc, argv, "force", 'f', OZC_DELETE_FORCE, &option);
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 1))
        return commandUsage("delete", stderr);
    if (ozcDelete(argv[optind], option) != OK)
        return fail("delete");
    return 0;
}

int cmdState(int argc, char *argv[])
{
    static const option o[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int rc = parseOptions("state", argc, argv, "+h", o, [](int, const char *) { return false; });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 1))
        return commandUsage("state", stderr);
    Text text(ozcState(argv[optind]));
    if (!text)
        return fail("state");
    printPretty(text.get());
    return 0;
}

/* The "Created" text of a container's inspect object, or "-". */
std::string createdOf(const char *id)
{
    Text info(ozcContainerInfoGet(id));
    Json doc(info ? cJSON_Parse(info.get()) : nullptr);
    cJSON *created = cJSON_GetObjectItem(cJSON_GetArrayItem(doc.get(), 0), "Created");
    return cJSON_IsString(created) ? created->valuestring : "-";
}

int cmdList(int argc, char *argv[])
{
    static const option o[] = {
        {"quiet", no_argument, nullptr, 'q'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    bool quiet = false;
    int rc = parseOptions("list", argc, argv, "+qh", o, [&](int c, const char *) {
        if (c != 'q')
            return false;
        quiet = true;
        return true;
    });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 0, 0))
        return commandUsage("list", stderr);
    Text text(ozcList());
    if (!text)
        return fail("list");
    Json doc(cJSON_Parse(text.get()));
    if (!cJSON_IsArray(doc.get())) {
        errno = EBADMSG;
        return fail("list");
    }
    struct Row {
        std::string id, status, bundle, created;
    };
    std::vector<Row> rows;
    size_t wId = 2, wStatus = 6;
    cJSON *e;
    cJSON_ArrayForEach(e, doc.get())
    {
        cJSON *id = cJSON_GetObjectItem(e, "id");
        cJSON *st = cJSON_GetObjectItem(e, "status");
        cJSON *bundle = cJSON_GetObjectItem(e, "bundle");
        if (!cJSON_IsString(id))
            continue;
        Row r{id->valuestring, ozcUtilStateIdToString(cJSON_IsNumber(st) ? st->valueint : STATE_UNKNOWN),
              cJSON_IsString(bundle) ? bundle->valuestring : "", ""};
        if (!quiet)
            r.created = createdOf(id->valuestring);
        wId = std::max(wId, r.id.size());
        wStatus = std::max(wStatus, r.status.size());
        rows.push_back(std::move(r));
    }
    if (quiet) {
        for (const Row &r : rows)
            printf("%s\n", r.id.c_str());
        return 0;
    }
    size_t wBundle = 6;
    for (const Row &r : rows)
        wBundle = std::max(wBundle, r.bundle.size());
    printf("%-*s  %-*s  %-*s  %s\n", (int)wId, "ID", (int)wStatus, "STATUS", (int)wBundle, "BUNDLE", "CREATED");
    for (const Row &r : rows)
        printf("%-*s  %-*s  %-*s  %s\n", (int)wId, r.id.c_str(), (int)wStatus, r.status.c_str(), (int)wBundle,
               r.bundle.c_str(), r.created.c_str());
    return 0;
}

int cmdInspect(int argc, char *argv[])
{
    static const option o[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int rc = parseOptions("inspect", argc, argv, "+h", o, [](int, const char *) { return false; });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 1))
        return commandUsage("inspect", stderr);
    Text text(ozcContainerInfoGet(argv[optind]));
    if (!text)
        return fail("inspect");
    printf("%s\n", text.get());
    return 0;
}

int cmdUnpack(int argc, char *argv[])
{
    static const option o[] = {{"flatten", no_argument, nullptr, 'F'},    {"os", required_argument, nullptr, 'o'},
                               {"arch", required_argument, nullptr, 'a'}, {"tag", required_argument, nullptr, 't'},
                               {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0}};
    unsigned option = 0;
    const char *tag = nullptr;
    OZC_BUNDLE_ATTR attr{nullptr, nullptr};
    int rc = parseOptions("unpack", argc, argv, "+Fo:a:t:h", o, [&](int c, const char *arg) {
        switch (c) {
        case 'F':
            option |= OZC_UNPACK_FLATTEN;
            return true;
        case 'o':
            attr.platform = arg;
            return true;
        case 'a':
            attr.arch = arg;
            return true;
        case 't':
            tag = arg;
            return true;
        default:
            return false;
        }
    });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 2, 2))
        return commandUsage("unpack", stderr);
    if (ozcUnpack(argv[optind + 1], argv[optind], tag, option, &attr) != OK)
        return fail("unpack");
    return 0;
}

int cmdPrune(int argc, char *argv[])
{
    static const option o[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int rc = parseOptions("prune", argc, argv, "+h", o, [](int, const char *) { return false; });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 0, 0))
        return commandUsage("prune", stderr);
    Text text(ozcPrune());
    Json doc(text ? cJSON_Parse(text.get()) : nullptr);
    if (!text)
        return fail("prune");
    cJSON *e;
    cJSON_ArrayForEach(e, doc.get())
    {
        if (cJSON_IsString(e))
            printf("removed %s\n", e->valuestring);
    }
    return 0;
}

int cmdImages(int argc, char *argv[])
{
    static const option o[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int rc = parseOptions("images", argc, argv, "+h", o, [](int, const char *) { return false; });
    if (rc >= 0)
        return rc;
    if (!expectArgs(argc, 1, 1))
        return commandUsage("images", stderr);
    Text text(ozcImageInfoGet(argv[optind]));
    if (!text)
        return fail("images");
    printf("%s\n", text.get());
    return 0;
}

const Command kCommands[] = {
    {"create", "create [--bundle DIR] ID",
     "Creates container ID from the OCI bundle DIR (default: the current directory).\n"
     "  -b, --bundle DIR   the bundle directory (config.json and the root file system)\n",
     cmdCreate},
    {"start", "start [--detach] ID",
     "Starts the process of a created container and waits for it to end; exits\n"
     "with its exit status (128 + the signal that ended it).\n"
     "  -d, --detach   return as soon as the process is started\n",
     cmdStart},
    {"kill", "kill [--all] ID [SIGNAL]",
     "Sends SIGNAL (a name such as TERM or SIGKILL, or a number; default TERM)\n"
     "to the container's process.\n"
     "  -a, --all   signal every process of the container\n",
     cmdKill},
    {"delete", "delete [--force] ID",
     "Deletes a container that is not running.\n"
     "  -f, --force   also a running one: its processes are killed first\n",
     cmdDelete},
    {"state", "state ID", "Prints the state of a container as JSON.\n", cmdState},
    {"list", "list [--quiet]",
     "Lists the containers: id, status, bundle and creation time.\n"
     "  -q, --quiet   print the ids only\n",
     cmdList},
    {"inspect", "inspect ID", "Prints the detailed description of a container as JSON.\n", cmdInspect},
    {"prune", "prune",
     "Removes the shared root file systems that no container of the daemon and no\n"
     "bundle directly under OZC_BASE uses (layer-chain overlays, flattened trees),\n"
     "and what failed creations left. Run it while no image is being unpacked.\n",
     cmdPrune},
    {"unpack", "unpack [--flatten] [--os OS] [--arch ARCH] [--tag TAG] LAYOUT BUNDLE",
     "Makes the OCI bundle BUNDLE (config.json and root file system) from the image\n"
     "of the OCI image layout directory LAYOUT.\n"
     "  -F, --flatten     one shared flattened root file system (needs overlays)\n"
     "  -o, --os OS       the image's operating system (default: this host's, or\n"
     "                    OZC_PLATFORM_OS)\n"
     "  -a, --arch ARCH   the image's architecture (default: this host's, or\n"
     "                    OZC_PLATFORM_ARCH)\n"
     "  -t, --tag TAG     the image's tag (default latest)\n",
     cmdUnpack},
    {"images", "images LAYOUT", "Prints the description of every image of the OCI image layout LAYOUT as JSON.\n",
     cmdImages},
};
const size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        usage(stderr);
        return kExitUsage;
    }
    const char *name = argv[1];
    if (strcmp(name, "-h") == 0 || strcmp(name, "--help") == 0 || strcmp(name, "help") == 0) {
        if (argc > 2 && findCommand(argv[2]) != nullptr)
            return commandUsage(argv[2], stdout);
        usage(stdout);
        return 0;
    }
    const Command *c = findCommand(name);
    if (c == nullptr) {
        fprintf(stderr, "ozc: unknown command '%s'\n", name);
        usage(stderr);
        return kExitUsage;
    }
    int rc = c->run(argc - 1, argv + 1);
    fflush(stdout);
    return rc;
}
