/*
 * ozSys.cpp - the OS-wide environment, enabled CPUs, errno, directory trees,
 * extended attributes, file system space, console echo, the atomic 64-bit
 * increment, and what the system tells about itself (OS and architecture
 * names, memory and storage sizes, boot and machine identities).
 *
 * The OS-wide environment is the process environment here; reads and writes
 * through this unit are serialised so a set never races a get.
 */
#include "ozPlatformInt.h"

#include <cctype>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::mutex &envMutex()
{
    static auto *m = new std::mutex;
    return *m;
}

bool validEnvName(const char *name)
{
    return name != nullptr && *name != '\0' && std::strchr(name, '=') == nullptr;
}

} // namespace

STATUS ozEnvGet(const char *name, char *buf, size_t size)
{
    if (!validEnvName(name) || buf == nullptr || size == 0) {
        errno = EINVAL;
        return ERROR;
    }
    std::lock_guard<std::mutex> g(envMutex());
    const char *v = std::getenv(name);
    if (v == nullptr) {
        buf[0] = '\0';
        errno = ENOENT;
        return ERROR;
    }
    size_t len = std::strlen(v);
    if (len >= size) {
        buf[0] = '\0';
        errno = ERANGE;
        return ERROR;
    }
    std::memcpy(buf, v, len + 1);
    return OK;
}

STATUS ozEnvSet(const char *name, const char *value)
{
    if (!validEnvName(name)) {
        errno = EINVAL;
        return ERROR;
    }
    std::lock_guard<std::mutex> g(envMutex());
    int rc = value == nullptr ? unsetenv(name) : setenv(name, value, 1);
    return rc == 0 ? OK : ERROR;
}

uint64_t ozCpuEnabledSetGet(void)
{
    /* Test seam: "OZ_CPU_ENABLED_SET" (a number, 0x for hex) stands for the
     * enabled-CPU set of a larger target. */
    {
        std::lock_guard<std::mutex> g(envMutex());
        if (const char *env = std::getenv("OZ_CPU_ENABLED_SET")) {
            int savedErrno = errno;
            char *end = nullptr;
            errno = 0;
            unsigned long long mask = std::strtoull(env, &end, 0);
            bool valid = errno == 0 && end != env && *end == '\0';
            errno = savedErrno;
            if (valid)
                return mask;
        }
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1; /* at least the CPU we run on */
    uint64_t bits = 0;
    for (int i = 0; i < 64; i++)
        if (CPU_ISSET(i, &set))
            bits |= uint64_t{1} << i;
    return bits;
}

int errnoGet(void)
{
    return errno;
}

STATUS errnoSet(int err)
{
    errno = err;
    return OK;
}

STATUS ozMkdirP(const char *path, mode_t mode)
{
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return ERROR;
    }
    std::string p(path);
    size_t pos = 0;
    for (;;) {
        pos = p.find('/', pos + 1);
        std::string part = p.substr(0, pos);
        if (!part.empty() && part != "/" && mkdir(part.c_str(), mode) != 0) {
            int err = errno;
            struct stat st;
            if (err != EEXIST || stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                errno = err == EEXIST ? ENOTDIR : err;
                return ERROR;
            }
        }
        if (pos == std::string::npos)
            return OK;
    }
}

namespace {

/* The first error of the current removal (nftw has no user argument). */
thread_local int tlsRmError = 0;

int rmTreeVisit(const char *path, const struct stat *, int type, struct FTW *)
{
    int rc = 0;
    if (type == FTW_NS)
        rc = -1;
    else
        rc = (type == FTW_DP || type == FTW_DNR) ? rmdir(path) : unlink(path);
    if (rc != 0 && errno != ENOENT && tlsRmError == 0)
        tlsRmError = errno;
    return 0; /* go on with the rest */
}

} // namespace

STATUS ozRmTree(const char *path)
{
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return ERROR;
    }
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? OK : ERROR;
    if (!S_ISDIR(st.st_mode))
        return (unlink(path) == 0 || errno == ENOENT) ? OK : ERROR;
    /* Depth first, never through symbolic links, never into another file
     * system: a mount left inside the tree keeps its contents and makes the
     * removal fail instead. */
    tlsRmError = 0;
    int rc = nftw(path, rmTreeVisit, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    int err = rc != 0 ? errno : tlsRmError;
    if (err != 0 && err != ENOENT) {
        errno = err;
        return ERROR;
    }
    return OK;
}

STATUS ozFileXattrSet(int fd, const char *path, const char *name, const void *value, size_t size)
{
    if (name == nullptr || (value == nullptr && size > 0) || (fd < 0 && path == nullptr)) {
        errno = EINVAL;
        return ERROR;
    }
    int rc = fd >= 0 ? fsetxattr(fd, name, value, size, 0) : lsetxattr(path, name, value, size, 0);
    return rc == 0 ? OK : ERROR;
}

ssize_t ozFileXattrList(const char *path, char *buf, size_t size)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return llistxattr(path, buf, size);
}

ssize_t ozFileXattrGet(const char *path, const char *name, void *buf, size_t size)
{
    if (path == nullptr || name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return lgetxattr(path, name, buf, size);
}

STATUS ozFileXattrRemove(const char *path, const char *name)
{
    if (path == nullptr || name == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    return lremovexattr(path, name) == 0 ? OK : ERROR;
}

STATUS ozFsSpaceGet(const char *path, uint64_t *total, uint64_t *avail)
{
    struct statvfs sv;
    if (path == nullptr || total == nullptr || avail == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    if (statvfs(path, &sv) != 0)
        return ERROR;
    *total = (uint64_t)sv.f_blocks * sv.f_frsize;
    *avail = (uint64_t)sv.f_bavail * sv.f_frsize;
    return OK;
}

STATUS ozConsoleEchoGet(int fd, BOOL *echoOn)
{
    if (echoOn == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return ERROR;
    *echoOn = (t.c_lflag & ECHO) ? TRUE : FALSE;
    return OK;
}

STATUS ozConsoleEchoSet(int fd, BOOL echoOn)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return ERROR;
    if (echoOn)
        t.c_lflag |= ECHO;
    else
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    return tcsetattr(fd, TCSAFLUSH, &t) == 0 ? OK : ERROR;
}

int64_t ozAtomic64Inc(int64_t *target)
{
    return __atomic_fetch_add(target, 1, __ATOMIC_SEQ_CST);
}

const char *ozSysOsNameGet(void)
{
    return "linux";
}

/* The kernel's machine name in the architecture names of OCI image
 * platforms; an unknown machine keeps the kernel's name. */
const char *ozSysArchNameGet(void)
{
    static const std::string arch = [] {
        struct utsname u {};
        if (uname(&u) != 0)
            return std::string("amd64");
        static constexpr struct {
            const char *machine;
            const char *arch;
        } kArchNames[] = {
            {"x86_64", "amd64"}, {"aarch64", "arm64"},   {"armv7l", "arm"},  {"armv6l", "arm"},      {"i686", "386"},
            {"i386", "386"},     {"ppc64le", "ppc64le"}, {"s390x", "s390x"}, {"riscv64", "riscv64"},
        };
        for (const auto &a : kArchNames)
            if (std::strcmp(u.machine, a.machine) == 0)
                return std::string(a.arch);
        return std::string(u.machine);
    }();
    return arch.c_str();
}

/* The target's signal names and what this OS calls them; a name the OS
 * has no signal for is not listed. */
int ozSysSignalNoGet(const char *name)
{
    if (name == nullptr)
        return -1;
    static const struct {
        const char *name;
        int signo;
    } kSignals[] = {
        {"HUP", SIGHUP},       {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},   {"TRAP", SIGTRAP},
        {"ABRT", SIGABRT},     {"FPE", SIGFPE},   {"KILL", SIGKILL}, {"BUS", SIGBUS},   {"SEGV", SIGSEGV},
        {"PIPE", SIGPIPE},     {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"STOP", SIGSTOP}, {"TSTP", SIGTSTP},
        {"CONT", SIGCONT},     {"CHLD", SIGCHLD}, {"TTIN", SIGTTIN}, {"TTOU", SIGTTOU}, {"USR1", SIGUSR1},
        {"USR2", SIGUSR2},     {"POLL", SIGPOLL}, {"PROF", SIGPROF}, {"SYS", SIGSYS},   {"URG", SIGURG},
        {"VTALRM", SIGVTALRM}, {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ},
    };
    for (const auto &s : kSignals)
        if (std::strcmp(s.name, name) == 0)
            return s.signo;
    /* The real-time range as this C library leaves it to programs. */
    if (std::strcmp(name, "RTMIN") == 0)
        return SIGRTMIN;
    if (std::strcmp(name, "RTMAX") == 0)
        return SIGRTMAX;
    return -1;
}

STATUS ozSysMemSizeGet(uint64_t *bytes)
{
    if (bytes == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    /* "MemTotal:       16318412 kB" */
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    unsigned long long kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemTotal:" && unit == "kB") {
            *bytes = static_cast<uint64_t>(kib) * 1024;
            return OK;
        }
        meminfo.ignore(1024, '\n');
    }
    errno = ENOENT;
    return ERROR;
}

STATUS ozSysStorageSizeGet(const char *path, uint64_t *bytes)
{
    if (path == nullptr || *path == '\0' || bytes == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    std::string at(path);
    for (;;) {
        struct statvfs vfs {};
        if (statvfs(at.c_str(), &vfs) == 0) {
            *bytes = static_cast<uint64_t>(vfs.f_blocks) * static_cast<uint64_t>(vfs.f_frsize);
            return OK;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return ERROR;
        /* not there yet: the parent's file system will hold it */
        while (at.size() > 1 && at.back() == '/')
            at.pop_back();
        size_t slash = at.rfind('/');
        if (slash == std::string::npos) {
            errno = ENOENT;
            return ERROR;
        }
        at = slash == 0 ? std::string("/") : at.substr(0, slash);
    }
}

namespace {

/* The first line of an identity file, checked to be hexadecimal digits and
 * dashes (a corrupt file gives nothing rather than garbage). */
STATUS sysIdRead(const char *file, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        errno = EINVAL;
        return ERROR;
    }
    buf[0] = '\0';
    std::ifstream in(file);
    std::string id;
    if (!in || !std::getline(in, id) || id.empty()) {
        errno = ENOENT;
        return ERROR;
    }
    for (char c : id) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '-') {
            errno = ENOENT;
            return ERROR;
        }
    }
    if (id.size() >= size) {
        errno = ERANGE;
        return ERROR;
    }
    std::memcpy(buf, id.c_str(), id.size() + 1);
    return OK;
}

} // namespace

STATUS ozSysBootIdGet(char *buf, size_t size)
{
    return sysIdRead("/proc/sys/kernel/random/boot_id", buf, size);
}

STATUS ozSysMachineIdGet(char *buf, size_t size)
{
    return sysIdRead("/etc/machine-id", buf, size);
}
