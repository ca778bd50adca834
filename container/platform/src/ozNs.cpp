/*
 * ozNs.cpp - container namespaces on Linux.
 *
 * A container namespace is a set of new mount, PID, IPC and UTS namespaces
 * (the network stays the host's). Its first process, the holder, is PID 1
 * of the new PID namespace: it ignores SIGCHLD, so the kernel reaps every
 * orphan of the container at once, and otherwise sleeps. It is forked by
 * the creating thread after that thread unshared its PID namespace for its
 * children; before it unshares the other namespaces it mounts a proc file
 * system of its PID namespace on the pin directory "<id>" in the pin
 * directory (itself a private mount, so pins never propagate anywhere).
 * That proc is the namespace's handle for every process of the machine:
 * its entries are exactly the container's processes, "1" is the holder,
 * and "1/ns/..." open the namespaces to enter. The holder is the creating
 * process's child, handed to the platform's reaper.
 *
 * Signalling every member with SIGKILL kills the holder: the kernel then
 * kills every process of the PID namespace, also those that made their own
 * namespaces inside it, and the namespaces end. Other signals reach every
 * process but the holder, through their proc directories, so a recycled
 * process id is never signalled.
 *
 * Operations inside the namespace (root set-up, mounts) run in a helper
 * thread that takes a file-system context of its own, enters the
 * namespace and ends with the operation, so no other work of the process
 * ever runs there (the process as a whole cannot enter a mount namespace
 * while it has threads). A thread is far cheaper to start and end than a
 * forked process. Only a proc must be mounted by a process of the
 * container's PID namespace: that helper is forked into it. Setting up the
 * root file system bind-mounts the root directory inside the namespace
 * (nodev, so device nodes of the image open nothing) and pivots to it; the
 * old root is detached, so a process of the namespace cannot reach a host
 * file by any path or link. Additional mounts of host directories are
 * cloned on the host side (open_tree) and attached inside (move_mount).
 *
 * Records beside the pin: "<id>.root" (the root file system path),
 * "<id>.user" (credentials of spawned processes), "<id>.holder" (the
 * holder's process id). Each is written whole under a temporary name and
 * renamed into place.
 *
 * The helpers may run after fork() in a multi-threaded process: they use
 * system calls only, never the allocator.
 */
#include "ozPlatformInt.h"

/* glibc 2.36 declares the pid descriptor calls without C linkage. */
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/nsfs.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sched.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char *kPinDir = "/run/orrery/ns";
constexpr unsigned long kProcMagic = 0x9fa0; /* PROC_SUPER_MAGIC */
constexpr int kKillRounds = 64;
constexpr int kNsDepthMax = 32; /* PID namespaces nest at most 32 deep */
constexpr int kHolderEndWaitMs = 2000;

using Fd = oz::UniqueFd;

int pivotRoot(const char *newRoot, const char *putOld)
{
    return (int)syscall(SYS_pivot_root, newRoot, putOld);
}

std::string pinPath(int nsId)
{
    return std::string(kPinDir) + "/" + std::to_string(nsId);
}
std::string recordPath(int nsId, const char *kind)
{
    return pinPath(nsId) + "." + kind;
}

STATUS fail(int err)
{
    errno = err;
    return ERROR;
}

/* The pin directory exists and is a private mount of its own, so that a
 * namespace pinned in it never appears inside another namespace. */
STATUS pinDirEnsure()
{
    static std::mutex m;
    static bool ready = false;
    std::lock_guard<std::mutex> g(m);
    if (ready)
        return OK;
    if (ozMkdirP(kPinDir, 0700) != OK)
        return ERROR;
    /* Serialise with other processes doing the same. */
    Fd lock(open((std::string(kPinDir) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0)
        return ERROR;
    if (!oz::isMountPoint(kPinDir) && mount(kPinDir, kPinDir, nullptr, MS_BIND, nullptr) != 0)
        return ERROR;
    if (mount(nullptr, kPinDir, nullptr, MS_PRIVATE, nullptr) != 0)
        return ERROR;
    ready = true;
    return OK;
}

/* The pin of `nsId`: its proc directory, or -1 with EINVAL when the id
 * names no namespace. */
int pinOpen(int nsId)
{
    if (nsId < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(pinPath(nsId).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        errno = EINVAL;
        return -1;
    }
    struct statfs sfs;
    if (fstatfs(fd, &sfs) != 0 || (unsigned long)sfs.f_type != kProcMagic) {
        close(fd);
        errno = EINVAL; /* a directory without its proc on it */
        return -1;
    }
    return fd;
}

/* True while the namespace lives: its holder has its namespaces. */
bool nsAlive(int pin)
{
    Fd mnt(openat(pin, "1/ns/mnt", O_RDONLY | O_CLOEXEC));
    return mnt.fd >= 0;
}

/* A small record written whole: a temporary name, then a rename. */
STATUS recordWrite(const std::string &path, const std::string &text)
{
    const std::string tmp = path + ".new";
    Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.fd < 0)
        return ERROR;
    if (write(fd.fd, text.data(), text.size()) != (ssize_t)text.size()) {
        int e = errno != 0 ? errno : EIO;
        unlink(tmp.c_str());
        return fail(e);
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return fail(e);
    }
    return OK;
}

std::string recordRead(const std::string &path)
{
    std::string text;
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd < 0)
        return text;
    char buf[PATH_MAX + 64];
    ssize_t n = oz::readRetry(fd.fd, buf, sizeof buf);
    if (n > 0)
        text.assign(buf, (size_t)n);
    return text;
}

pid_t holderPid(int nsId)
{
    return (pid_t)atol(recordRead(recordPath(nsId, "holder")).c_str());
}

/* Run fn() in a helper that has entered the namespace `nsId`: a thread
 * of its own that ends with fn, or, with `inPidNs`, a process forked into
 * the namespace's PID namespace. Returns fn's result: 0 or an errno
 * value. */
template <class Fn>
int runInNs(int nsId, bool inPidNs, Fn &&fn)
{
    oz::NsFds ns;
    int rc = oz::nsFdsOpen(nsId, &ns);
    if (rc != 0)
        return rc;
    if (!inPidNs) {
        try {
            std::thread helper([&] {
                rc = oz::nsEnter(ns);
                if (rc == 0)
                    rc = fn();
            });
            helper.join();
        } catch (const std::system_error &e) {
            return e.code().value() != 0 ? e.code().value() : EAGAIN;
        }
        return rc;
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return errno;
    Fd rd(p[0]), wr(p[1]);
    pid_t pid = oz::forkIntoPidNs(inPidNs ? ns.pid.fd : -1);
    if (pid < 0)
        return errno;
    if (pid == 0) {
        rc = oz::nsEnter(ns);
        if (rc == 0)
            rc = fn();
        if (write(wr.fd, &rc, sizeof rc) < 0)
            _exit(1);
        _exit(0);
    }
    close(wr.release());
    rc = 0;
    ssize_t n = oz::readRetry(rd.fd, &rc, sizeof rc);
    oz::childWait(pid, nullptr, 0);
    if (n != (ssize_t)sizeof rc)
        return EIO;
    return rc;
}

/* mkdir -p for the helpers (no allocation). */
int mkdirPRaw(const char *path, mode_t mode)
{
    char buf[PATH_MAX];
    size_t len = strlen(path);
    if (len == 0 || len >= sizeof buf)
        return ENAMETOOLONG;
    memcpy(buf, path, len + 1);
    for (size_t i = 1; i <= len; i++) {
        if (buf[i] != '/' && buf[i] != '\0')
            continue;
        char c = buf[i];
        buf[i] = '\0';
        if (mkdir(buf, mode) != 0 && errno != EEXIST)
            return errno;
        buf[i] = c;
    }
    return 0;
}

/* Make sure a mount point exists at `dst`: a directory, or an empty file
 * when a file is to be mounted on it. */
int mountPointMake(const char *dst, bool isFile)
{
    if (!isFile)
        return mkdirPRaw(dst, 0755);
    struct stat st;
    if (stat(dst, &st) == 0)
        return 0;
    char dir[PATH_MAX];
    size_t len = strlen(dst);
    if (len >= sizeof dir)
        return ENAMETOOLONG;
    memcpy(dir, dst, len + 1);
    char *slash = strrchr(dir, '/');
    if (slash != nullptr && slash != dir) {
        *slash = '\0';
        int rc = mkdirPRaw(dir, 0755);
        if (rc != 0)
            return rc;
    }
    int fd = open(dst, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

/* ------------------------------------------------------------------------
 * The container's /dev and the masked views of /proc and /sys
 * ------------------------------------------------------------------------ */
struct DevNode {
    const char *path;
    unsigned major, minor;
};
constexpr DevNode kDevNodes[] = {
    {"/dev/null", 1, 3},   {"/dev/zero", 1, 5},    {"/dev/full", 1, 7},
    {"/dev/random", 1, 8}, {"/dev/urandom", 1, 9}, {"/dev/tty", 5, 0},
};
constexpr struct {
    const char *path;
    const char *target;
} kDevLinks[] = {
    {"/dev/ptmx", "pts/ptmx"},          {"/dev/fd", "/proc/self/fd"},       {"/dev/stdin", "/proc/self/fd/0"},
    {"/dev/stdout", "/proc/self/fd/1"}, {"/dev/stderr", "/proc/self/fd/2"},
};

/* A tmpfs on /dev with the device nodes a program expects, a devpts of
 * its own and a /dev/shm (inside the namespace, after the pivot). */
int devSetup()
{
    struct stat st;
    if (lstat("/dev", &st) != 0) {
        if (mkdir("/dev", 0755) != 0)
            return errno;
    } else if (!S_ISDIR(st.st_mode)) {
        return ENOTDIR;
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_STRICTATIME, "mode=755,size=65536k") != 0)
        return errno;
    for (const DevNode &n : kDevNodes)
        if (mknod(n.path, S_IFCHR | 0666, makedev(n.major, n.minor)) != 0 || chmod(n.path, 0666) != 0)
            return errno;
    if (mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620,gid=5") != 0)
        return errno;
    if (mkdir("/dev/shm", 01777) != 0 ||
        mount("shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=1777,size=65536k") != 0)
        return errno;
    for (const auto &l : kDevLinks)
        if (symlink(l.target, l.path) != 0)
            return errno;
    return 0;
}

/* Paths under a proc or sysfs mount that a container must not read or
 * change: masked ones are hidden (an empty read-only tmpfs on a directory,
 * the container's /dev/null on a file), read-only ones are bound onto
 * themselves read-only. */
constexpr const char *kProcMasked[] = {"acpi",       "asound",      "kcore",       "keys", "latency_stats",
                                       "timer_list", "timer_stats", "sched_debug", "scsi"};
constexpr const char *kProcReadOnly[] = {"bus", "fs", "irq", "sys", "sysrq-trigger"};
constexpr const char *kSysMasked[] = {"firmware"};

int pathJoin(char *out, size_t size, const char *dir, const char *name)
{
    int n = snprintf(out, size, "%s/%s", strcmp(dir, "/") == 0 ? "" : dir, name);
    return n < 0 || (size_t)n >= size ? ENAMETOOLONG : 0;
}

/* Hide `name` under `dir`, or (readOnly) bind it onto itself read-only.
 * What does not exist is left alone. */
int viewPathRestrict(const char *dir, const char *name, bool readOnly)
{
    char path[PATH_MAX];
    int rc = pathJoin(path, sizeof path, dir, name);
    if (rc != 0)
        return rc;
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;
    if (readOnly) {
        if (mount(path, path, nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  nullptr) != 0)
            return errno;
        return 0;
    }
    if (S_ISDIR(st.st_mode))
        return mount("tmpfs", path, "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=0") == 0 ? 0 : errno;
    return mount("/dev/null", path, nullptr, MS_BIND, nullptr) == 0 ? 0 : errno;
}

/* The masks of a proc or sysfs just mounted at `dst`. */
int viewMask(const char *type, const char *dst)
{
    int rc = 0;
    if (strcmp(type, "proc") == 0) {
        for (const char *n : kProcMasked)
            if (rc == 0)
                rc = viewPathRestrict(dst, n, false);
        for (const char *n : kProcReadOnly)
            if (rc == 0)
                rc = viewPathRestrict(dst, n, true);
    } else if (strcmp(type, "sysfs") == 0) {
        for (const char *n : kSysMasked)
            if (rc == 0)
                rc = viewPathRestrict(dst, n, false);
    }
    return rc;
}

/* ------------------------------------------------------------------------
 * Mount options
 * ------------------------------------------------------------------------ */
/* Mount options: flags we know, the rest joined as file-system data. */
struct MountOpts {
    unsigned long flags = 0;
    unsigned long propagation = 0;
    bool bind = false;
    bool recursive = false;
    std::string data;
};

struct OptFlag {
    const char *name;
    unsigned long set;
    unsigned long clear;
};

constexpr OptFlag kOptFlags[] = {
    {"ro", MS_RDONLY, 0},
    {"rw", 0, MS_RDONLY},
    {"nosuid", MS_NOSUID, 0},
    {"suid", 0, MS_NOSUID},
    {"nodev", MS_NODEV, 0},
    {"dev", 0, MS_NODEV},
    {"noexec", MS_NOEXEC, 0},
    {"exec", 0, MS_NOEXEC},
    {"sync", MS_SYNCHRONOUS, 0},
    {"async", 0, MS_SYNCHRONOUS},
    {"dirsync", MS_DIRSYNC, 0},
    {"noatime", MS_NOATIME, 0},
    {"atime", 0, MS_NOATIME},
    {"nodiratime", MS_NODIRATIME, 0},
    {"diratime", 0, MS_NODIRATIME},
    {"relatime", MS_RELATIME, 0},
    {"norelatime", 0, MS_RELATIME},
    {"strictatime", MS_STRICTATIME, 0},
    {"mand", MS_MANDLOCK, 0},
    {"nomand", 0, MS_MANDLOCK},
    {"defaults", 0, 0},
};

constexpr struct {
    const char *name;
    unsigned long flag;
} kOptPropagation[] = {
    {"private", MS_PRIVATE},       {"rprivate", MS_PRIVATE | MS_REC},
    {"shared", MS_SHARED},         {"rshared", MS_SHARED | MS_REC},
    {"slave", MS_SLAVE},           {"rslave", MS_SLAVE | MS_REC},
    {"unbindable", MS_UNBINDABLE}, {"runbindable", MS_UNBINDABLE | MS_REC},
};

MountOpts mountOptsParse(const char *type, const char *const *options, int count)
{
    MountOpts o;
    if (type != nullptr && strcmp(type, "bind") == 0)
        o.bind = true;
    for (int i = 0; i < count && options != nullptr; i++) {
        const char *opt = options[i];
        if (opt == nullptr || *opt == '\0')
            continue;
        if (strcmp(opt, "bind") == 0) {
            o.bind = true;
            continue;
        }
        if (strcmp(opt, "rbind") == 0) {
            o.bind = o.recursive = true;
            continue;
        }
        bool known = false;
        for (const OptFlag &f : kOptFlags)
            if (strcmp(opt, f.name) == 0) {
                o.flags = (o.flags | f.set) & ~f.clear;
                known = true;
            }
        for (const auto &p : kOptPropagation)
            if (strcmp(opt, p.name) == 0) {
                o.propagation = p.flag;
                known = true;
            }
        if (!known) {
            if (!o.data.empty())
                o.data += ",";
            o.data += opt;
        }
    }
    /* A sysfs shows the host's devices: never writable from a container. */
    if (type != nullptr && strcmp(type, "sysfs") == 0)
        o.flags |= MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC;
    return o;
}

/* ------------------------------------------------------------------------
 * Ids, the holder, membership
 * ------------------------------------------------------------------------ */
/* The highest id pinned now, or -1. */
int nsHighestId()
{
    int best = -1;
    DIR *d = opendir(kPinDir);
    if (d == nullptr)
        return best;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long v = strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && v >= 0 && v < INT_MAX && v > best)
            best = (int)v;
    }
    closedir(d);
    return best;
}

/* A fresh id: its pin directory is created exclusively. Ids count upwards
 * across processes (the counter file beside the pins), so an id just
 * deleted is not handed out again while someone may still hold it. */
int nsIdAllocate()
{
    const std::string base = kPinDir;
    Fd lock(open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0)
        return -1;
    long next = 0;
    const std::string counter = base + ".next";
    if (FILE *f = fopen(counter.c_str(), "re")) {
        if (fscanf(f, "%ld", &next) != 1 || next < 0 || next >= INT_MAX)
            next = 0;
        fclose(f);
    }
    int id = std::max((int)next, nsHighestId() + 1);
    for (; id >= 0 && id < INT_MAX; id++) {
        if (mkdir(pinPath(id).c_str(), 0500) == 0)
            break;
        if (errno != EEXIST)
            return -1;
    }
    if (id < 0 || id == INT_MAX) {
        errno = ENOSPC;
        return -1;
    }
    if (FILE *f = fopen(counter.c_str(), "we")) {
        fprintf(f, "%d\n", id == INT_MAX - 1 ? 0 : id + 1);
        fclose(f);
    }
    return id;
}

/* Removes what ozNsCreate made for an id. */
void nsPinRemove(int nsId)
{
    const std::string pin = pinPath(nsId);
    if (oz::isMountPoint(pin.c_str()))
        umount2(pin.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
    rmdir(pin.c_str());
    for (const char *kind : {"root", "user", "holder"})
        unlink(recordPath(nsId, kind).c_str());
}

/* The holder's name and command line say what it is: the container sees
 * nothing of the process it was forked from, and a search for that
 * process's command line does not find (and kill) holders. The command
 * line is rewritten in place over the inherited argument and environment
 * strings. System calls only. */
void holderTitle()
{
    static const char title[] = "ozc-holder";
    prctl(PR_SET_NAME, title, 0, 0, 0);
    char stat[1024];
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0)
        return;
    stat[n] = '\0';
    /* Fields 48 to 51 (arg_start, arg_end, env_start, env_end); the ones
     * after the command name in parentheses begin at field 3. */
    const char *p = strrchr(stat, ')');
    unsigned long v[52] = {};
    for (int field = 3; p != nullptr && field <= 51; field++) {
        p = strchr(p + 1, ' ');
        if (p != nullptr)
            v[field] = strtoul(p + 1, nullptr, 10);
    }
    char *argStart = (char *)v[48], *argEnd = (char *)v[49];
    char *envStart = (char *)v[50], *envEnd = (char *)v[51];
    if (argStart == nullptr || argEnd <= argStart || (size_t)(argEnd - argStart) < sizeof title)
        return;
    memset(argStart, 0, (size_t)(argEnd - argStart));
    memcpy(argStart, title, sizeof title);
    if (envStart != nullptr && envEnd > envStart)
        memset(envStart, 0, (size_t)(envEnd - envStart));
}

/* The holder: PID 1 of the new PID namespace, still in the creator's mount
 * namespace. It mounts the proc of its PID namespace on the pin, takes
 * namespaces of its own, reports, lets go of every descriptor and sleeps.
 * System calls only. */
[[noreturn]] void holderRun(const char *pin, int report)
{
    int rc = 0;
    if (mount("proc", pin, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 ||
        unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWUTS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || chdir("/") != 0)
        rc = errno;
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ign, nullptr); /* orphans of the container are reaped at once */
    holderTitle();
    if (write(report, &rc, sizeof rc) < 0 || rc != 0)
        _exit(1);
    syscall(SYS_close_range, 0U, ~0U, 0U);
    for (;;)
        pause();
}

/* The PID namespace open at `pidNsFd` is the one identified by `target`
 * (device and inode of its namespace file) or lies below it. */
bool pidNsWithin(int pidNsFd, const struct stat &target)
{
    Fd cur(dup(pidNsFd));
    for (int depth = 0; cur.fd >= 0 && depth <= kNsDepthMax; depth++) {
        struct stat st;
        if (fstat(cur.fd, &st) != 0)
            return false;
        if (st.st_dev == target.st_dev && st.st_ino == target.st_ino)
            return true;
        int parent = ioctl(cur.fd, NS_GET_PARENT);
        if (parent < 0)
            return false; /* the top, or beyond what the caller may see */
        close(cur.release());
        cur.fd = parent;
    }
    return false;
}

/* OK, and a pid descriptor in *pfd, when `pid` lives in the namespace of
 * `pin` (or below) and is not its holder. */
STATUS procMemberOpen(int nsId, int pin, pid_t pid, Fd *pfd)
{
    if (pid <= 0 || !nsAlive(pin) || pid == holderPid(nsId))
        return fail(ESRCH);
    /* Hold the process first: whatever /proc says afterwards is about it
     * or about a process that reused the id while it was gone, which the
     * descriptor then never reaches. */
    Fd fd(pidfd_open(pid, 0));
    if (fd.fd < 0)
        return fail(ESRCH);
    struct stat target;
    Fd mine(openat(pin, "1/ns/pid", O_RDONLY | O_CLOEXEC));
    if (mine.fd < 0 || fstat(mine.fd, &target) != 0)
        return fail(ESRCH);
    Fd theirs(open(("/proc/" + std::to_string(pid) + "/ns/pid").c_str(), O_RDONLY | O_CLOEXEC));
    if (theirs.fd < 0 || !pidNsWithin(theirs.fd, target))
        return fail(ESRCH);
    pfd->fd = fd.release();
    return OK;
}

/* The state letter of a process seen through the namespace's proc. */
char procState(int pin, const char *name)
{
    char path[64];
    snprintf(path, sizeof path, "%s/stat", name);
    Fd fd(openat(pin, path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return 'X';
    char buf[512];
    ssize_t n = oz::readRetry(fd.fd, buf, sizeof buf - 1);
    if (n <= 0)
        return 'X';
    buf[n] = '\0';
    const char *close = strrchr(buf, ')');
    return close != nullptr && close[1] == ' ' ? close[2] : 'X';
}

/* The process entries of the namespace's proc, but the holder's. */
std::vector<std::string> nsMembers(int pin)
{
    std::vector<std::string> names;
    int dfd = dup(pin);
    if (dfd < 0)
        return names;
    DIR *d = fdopendir(dfd);
    if (d == nullptr) {
        close(dfd);
        return names;
    }
    rewinddir(d);
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long v = strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && v > 1)
            names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

/* Some process other than the holder lives in the namespace; one that has
 * ended but was not reaped yet does not count. */
bool nsHasLiveMember(int pin)
{
    for (const std::string &m : nsMembers(pin)) {
        char state = procState(pin, m.c_str());
        if (state != 'Z' && state != 'X')
            return true;
    }
    return false;
}

/* Signal the process `name` of the namespace's proc through its proc
 * directory (no recycled id can be reached). 0, or an errno value. */
int nsSignal(int pin, const char *name, int signo)
{
    Fd dir(openat(pin, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return 0; /* gone meanwhile */
    if (pidfd_send_signal(dir.fd, signo, nullptr, 0) != 0 && errno != ESRCH)
        return errno;
    return 0;
}

/* The holder ends; wait (bounded) until the namespace is gone. The
 * holder's exit, seen through a pid descriptor, comes after it let go of
 * its namespaces and after every other process of them ended. */
void holderEnd(int nsId, int pin)
{
    Fd holder(pidfd_open(holderPid(nsId), 0));
    /* The descriptor is the holder's when the namespace still lives once
     * it is taken: a live holder keeps its id. */
    const bool watched = holder.fd >= 0 && nsAlive(pin);
    nsSignal(pin, "1", SIGKILL);
    if (watched) {
        pollfd p{holder.fd, POLLIN, 0};
        int rc;
        do
            rc = poll(&p, 1, kHolderEndWaitMs);
        while (rc < 0 && errno == EINTR);
        return;
    }
    for (int waited = 0; waited < kHolderEndWaitMs && nsAlive(pin); waited++)
        usleep(1000);
}

std::string bootId()
{
    std::string id = recordRead("/proc/sys/kernel/random/boot_id");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    return id;
}

} // namespace

namespace oz {

int nsFdsOpen(int nsId, NsFds *fds)
{
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return errno;
    fds->pid.fd = openat(pin.fd, "1/ns/pid", O_RDONLY | O_CLOEXEC);
    fds->mnt.fd = openat(pin.fd, "1/ns/mnt", O_RDONLY | O_CLOEXEC);
    fds->ipc.fd = openat(pin.fd, "1/ns/ipc", O_RDONLY | O_CLOEXEC);
    fds->uts.fd = openat(pin.fd, "1/ns/uts", O_RDONLY | O_CLOEXEC);
    if (fds->pid.fd < 0 || fds->mnt.fd < 0 || fds->ipc.fd < 0 || fds->uts.fd < 0)
        return ENOENT; /* the holder is gone: nothing can run there */
    return 0;
}

pid_t forkIntoPidNs(int pidNsFd)
{
    if (pidNsFd < 0)
        return fork();
    Fd own(open("/proc/thread-self/ns/pid", O_RDONLY | O_CLOEXEC));
    if (own.fd < 0 || setns(pidNsFd, CLONE_NEWPID) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0)
        return 0;
    int e = errno;
    /* Back to our own: the threads this thread starts must stay here. */
    if (setns(own.fd, CLONE_NEWPID) != 0)
        abort();
    errno = e;
    return pid;
}

int nsEnter(const NsFds &fds)
{
    /* Entering a mount namespace needs a file-system context of our own:
     * a helper thread shares the process's, and a sanitizer runtime may
     * have added a thread to a forked child. */
    if (unshare(CLONE_FS) != 0 || setns(fds.mnt.fd, CLONE_NEWNS) != 0 || setns(fds.ipc.fd, CLONE_NEWIPC) != 0 ||
        setns(fds.uts.fd, CLONE_NEWUTS) != 0)
        return errno;
    return 0;
}

std::string nsRootGet(int nsId)
{
    return recordRead(recordPath(nsId, "root"));
}

NsCred nsCredGet(int nsId)
{
    NsCred c;
    std::string text = recordRead(recordPath(nsId, "user"));
    const char *p = text.c_str();
    char *end = nullptr;
    unsigned long uid = strtoul(p, &end, 10);
    if (end == p)
        return c;
    unsigned long gid = strtoul(end, &end, 10);
    NsCred r;
    r.uid = (uid_t)uid;
    r.gid = (gid_t)gid;
    for (;;) {
        char *at = end;
        unsigned long g = strtoul(at, &end, 10);
        if (end == at || r.groupCount == kNsMaxGroups)
            break;
        r.groups[r.groupCount++] = (gid_t)g;
    }
    return r;
}

UniqueFd::~UniqueFd()
{
    if (fd >= 0)
        close(fd);
}

ssize_t readRetry(int fd, void *buf, size_t len)
{
    ssize_t n;
    do
        n = read(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

bool isMountPoint(const char *path)
{
    struct statx stx {};
    if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0)
        return false;
    return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

pid_t childWait(pid_t pid, int *status, int options)
{
    pid_t r;
    do
        r = waitpid(pid, status, options);
    while (r < 0 && errno == EINTR);
    return r;
}

} // namespace oz

int ozNsCreate(unsigned flags)
{
    (void)flags; /* every namespace here has all four kinds */
    if (pinDirEnsure() != OK)
        return -1;
    int nsId = nsIdAllocate();
    if (nsId < 0)
        return -1;
    const std::string pin = pinPath(nsId);
    int up[2];
    if (pipe2(up, O_CLOEXEC) != 0) {
        int e = errno;
        nsPinRemove(nsId);
        errno = e;
        return -1;
    }
    Fd upRd(up[0]), upWr(up[1]);
    /* The calling thread's next child starts a PID namespace of its own. */
    Fd own(open("/proc/thread-self/ns/pid", O_RDONLY | O_CLOEXEC));
    if (own.fd < 0 || unshare(CLONE_NEWPID) != 0) {
        int e = errno;
        nsPinRemove(nsId);
        errno = e;
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0)
        holderRun(pin.c_str(), upWr.fd);
    int e = errno;
    if (setns(own.fd, CLONE_NEWPID) != 0)
        abort(); /* this thread would start its threads in the container */
    if (pid < 0) {
        nsPinRemove(nsId);
        errno = e;
        return -1;
    }
    close(upWr.release());
    int rc = 0;
    if (oz::readRetry(upRd.fd, &rc, sizeof rc) != (ssize_t)sizeof rc)
        rc = EIO;
    if (rc == 0 && recordWrite(recordPath(nsId, "holder"), std::to_string(pid)) != OK)
        rc = errno;
    if (rc != 0) {
        kill(pid, SIGKILL);
        oz::childWait(pid, nullptr, 0);
        nsPinRemove(nsId);
        errno = rc;
        return -1;
    }
    /* The holder ends with the namespace; the platform reaps it then. */
    if (ozProcDetach(pid) != OK) {
        int err = errno;
        kill(pid, SIGKILL);
        oz::childWait(pid, nullptr, 0);
        nsPinRemove(nsId);
        errno = err;
        return -1;
    }
    return nsId;
}

STATUS ozNsDelete(int nsId)
{
    {
        Fd pin(pinOpen(nsId));
        if (pin.fd < 0)
            return ERROR;
        if (nsAlive(pin.fd))
            nsSignal(pin.fd, "1", SIGKILL);
    }
    nsPinRemove(nsId);
    return OK;
}

STATUS ozNsRootfsSetup(int nsId, const char *rootfsPath, const char *name)
{
    (void)name;
    if (rootfsPath == nullptr || rootfsPath[0] != '/')
        return fail(EINVAL);
    std::string root = rootfsPath;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    struct stat st;
    if (stat(root.c_str(), &st) != 0)
        return ERROR;
    if (!S_ISDIR(st.st_mode))
        return fail(ENOTDIR);
    {
        Fd pin(pinOpen(nsId));
        if (pin.fd < 0)
            return ERROR;
    }
    /* Once pivoted, host paths mean nothing inside the namespace. */
    if (!oz::nsRootGet(nsId).empty())
        return fail(EBUSY);
    /* Clone the root on the host side: whatever is mounted there now. */
    Fd tree(open_tree(AT_FDCWD, root.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE));
    if (tree.fd < 0)
        return ERROR;
    /* Device nodes an image carries open nothing: the clone and every
     * mount below it are nodev. Only the /dev made below gives devices. */
    struct mount_attr nodev {};
    nodev.attr_set = MOUNT_ATTR_NODEV;
    if (mount_setattr(tree.fd, "", AT_EMPTY_PATH | AT_RECURSIVE, &nodev, sizeof nodev) != 0)
        return ERROR;
    const char *where = root.c_str();
    int rc = runInNs(nsId, false, [&]() -> int {
        /* The root's path inside the namespace is only a place to attach
         * the clone before pivoting to it. */
        int r = mkdirPRaw(where, 0755);
        if (r != 0)
            return r;
        if (move_mount(tree.fd, "", AT_FDCWD, where, MOVE_MOUNT_F_EMPTY_PATH) != 0)
            return errno;
        if (chdir(where) != 0)
            return errno;
        if (pivotRoot(".", ".") != 0)
            return errno;
        if (umount2(".", MNT_DETACH) != 0)
            return errno;
        if (chdir("/") != 0)
            return errno;
        return devSetup();
    });
    if (rc != 0)
        return fail(rc);
    return recordWrite(recordPath(nsId, "root"), root);
}

STATUS ozNsRootfsTeardown(int nsId, const char *rootfsPath, const char *name)
{
    (void)rootfsPath;
    (void)name;
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return ERROR;
    if (nsAlive(pin.fd)) {
        if (!nsHasLiveMember(pin.fd)) {
            /* Nothing runs there: the namespace ends with its holder, and
             * every mount in it with the namespace. */
            holderEnd(nsId, pin.fd);
        } else {
            /* Detach the root and everything below it, so the namespace
             * no longer holds the container's file systems busy. */
            int rc = runInNs(nsId, false, []() -> int { return umount2("/", MNT_DETACH) == 0 ? 0 : errno; });
            if (rc != 0)
                return fail(rc);
        }
    }
    unlink(recordPath(nsId, "root").c_str());
    return OK;
}

STATUS ozNsMount(int nsId, const char *rootfsPath, const char *src, const char *dst, const char *type,
                 const char *const *options, int optionCount)
{
    (void)rootfsPath; /* inside the namespace the root file system is "/" */
    if (dst == nullptr || dst[0] != '/' || optionCount < 0)
        return fail(EINVAL);
    {
        Fd pin(pinOpen(nsId));
        if (pin.fd < 0)
            return ERROR;
    }
    MountOpts o = mountOptsParse(type, options, optionCount);
    int rc;
    if (o.bind) {
        if (src == nullptr || src[0] != '/')
            return fail(EINVAL);
        struct stat st;
        if (stat(src, &st) != 0)
            return ERROR;
        bool isFile = !S_ISDIR(st.st_mode);
        Fd tree(open_tree(AT_FDCWD, src, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | (o.recursive ? AT_RECURSIVE : 0)));
        if (tree.fd < 0)
            return ERROR;
        rc = runInNs(nsId, false, [&]() -> int {
            int r = mountPointMake(dst, isFile);
            if (r != 0)
                return r;
            if (move_mount(tree.fd, "", AT_FDCWD, dst, MOVE_MOUNT_F_EMPTY_PATH) != 0)
                return errno;
            /* Bind mounts take their flags by a remount. */
            unsigned long remount = o.flags & (MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME |
                                               MS_NODIRATIME | MS_RELATIME | MS_STRICTATIME);
            if (remount != 0 && mount(nullptr, dst, nullptr, MS_REMOUNT | MS_BIND | remount, nullptr) != 0)
                return errno;
            if (o.propagation != 0 && mount(nullptr, dst, nullptr, o.propagation, nullptr) != 0)
                return errno;
            return 0;
        });
    } else {
        if (type == nullptr || *type == '\0')
            return fail(EINVAL);
        const char *source = src != nullptr && *src != '\0' ? src : type;
        const char *data = o.data.empty() ? nullptr : o.data.c_str();
        /* A proc shows the processes of the mounting process's PID
         * namespace: its helper runs in the container's. */
        bool inPidNs = strcmp(type, "proc") == 0;
        rc = runInNs(nsId, inPidNs, [&]() -> int {
            int r = mkdirPRaw(dst, 0755);
            if (r != 0)
                return r;
            if (mount(source, dst, type, o.flags, data) != 0)
                return errno;
            r = viewMask(type, dst);
            if (r != 0) {
                umount2(dst, MNT_DETACH);
                return r;
            }
            if (o.propagation != 0 && mount(nullptr, dst, nullptr, o.propagation, nullptr) != 0)
                return errno;
            return 0;
        });
    }
    return rc == 0 ? OK : fail(rc);
}

STATUS ozNsUnmount(int nsId, const char *rootfsPath, const char *dst)
{
    (void)rootfsPath;
    if (dst == nullptr || dst[0] != '/')
        return fail(EINVAL);
    {
        Fd pin(pinOpen(nsId));
        if (pin.fd < 0)
            return ERROR;
        if (!nsAlive(pin.fd))
            return OK; /* the namespace ended, and its mounts with it */
    }
    int rc = runInNs(nsId, false, [&]() -> int {
        /* A file still open in it must not keep the container alive. */
        if (umount2(dst, MNT_DETACH) != 0)
            return errno;
        return 0;
    });
    return rc == 0 ? OK : fail(rc);
}

STATUS ozNsInUse(int nsId, BOOL *inUse)
{
    if (inUse == nullptr)
        return fail(EINVAL);
    *inUse = FALSE;
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return ERROR;
    *inUse = nsHasLiveMember(pin.fd) ? TRUE : FALSE;
    return OK;
}

STATUS ozNsKillAll(int nsId, int signo)
{
    if (signo < 0 || signo >= NSIG)
        return fail(EINVAL);
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return ERROR;
    int err = 0;
    /* The holder's end takes every process of the namespace with it, also
     * those in namespaces made inside. */
    if (signo == SIGKILL)
        err = nsSignal(pin.fd, "1", SIGKILL);
    /* Repeat until a scan finds no member not yet signalled, so that a
     * process forked meanwhile is reached too. */
    std::set<std::string> signalled;
    for (int round = 0; round < kKillRounds; round++) {
        bool fresh = false;
        for (const std::string &m : nsMembers(pin.fd)) {
            if (!signalled.insert(m).second)
                continue;
            if (int rc = nsSignal(pin.fd, m.c_str(), signo); rc != 0)
                err = rc;
            fresh = true;
        }
        if (!fresh)
            break;
    }
    return err == 0 ? OK : fail(err);
}

STATUS ozNsHostnameSet(int nsId, const char *name)
{
    if (name == nullptr || strlen(name) > 64)
        return fail(EINVAL);
    oz::NsFds ns;
    if (int rc = oz::nsFdsOpen(nsId, &ns); rc != 0)
        return fail(rc);
    /* A thread may enter a UTS namespace of its own and come back. */
    Fd own(open("/proc/thread-self/ns/uts", O_RDONLY | O_CLOEXEC));
    if (own.fd < 0 || setns(ns.uts.fd, CLONE_NEWUTS) != 0)
        return ERROR;
    int rc = sethostname(name, strlen(name)) == 0 ? 0 : errno;
    if (setns(own.fd, CLONE_NEWUTS) != 0)
        abort(); /* this thread would name the container from now on */
    return rc == 0 ? OK : fail(rc);
}

STATUS ozNsUserSet(int nsId, uid_t uid, gid_t gid, const gid_t *groups, int count)
{
    if (count < 0 || count > oz::kNsMaxGroups || (count > 0 && groups == nullptr) || uid == (uid_t)-1 ||
        gid == (gid_t)-1)
        return fail(EINVAL);
    {
        Fd pin(pinOpen(nsId));
        if (pin.fd < 0)
            return ERROR;
    }
    std::string text = std::to_string(uid) + " " + std::to_string(gid);
    for (int i = 0; i < count; i++)
        text += " " + std::to_string(groups[i]);
    return recordWrite(recordPath(nsId, "user"), text + "\n");
}

ssize_t ozNsFileRead(int nsId, const char *path, char *buf, size_t size)
{
    if (path == nullptr || buf == nullptr || size == 0)
        return fail(EINVAL);
    {
        Fd pin(pinOpen(nsId));
        if (pin.fd < 0)
            return ERROR;
    }
    std::string root = oz::nsRootGet(nsId);
    if (root.empty())
        return fail(ENOENT);
    Fd rootFd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.fd < 0)
        return ERROR;
    /* The container's own view: ".." and absolute links stop at its root. */
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    while (*path == '/')
        path++;
    Fd fd((int)syscall(SYS_openat2, rootFd.fd, *path != '\0' ? path : ".", &how, sizeof how));
    if (fd.fd < 0)
        return ERROR;
    struct stat st;
    if (fstat(fd.fd, &st) != 0)
        return ERROR;
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    size_t have = 0;
    for (;;) {
        ssize_t n = oz::readRetry(fd.fd, buf + have, size - have);
        if (n < 0)
            return ERROR;
        if (n == 0)
            break;
        have += (size_t)n;
        if (have == size) {
            buf[0] = '\0';
            return fail(EFBIG);
        }
    }
    buf[have] = '\0';
    return (ssize_t)have;
}

STATUS ozNsProcCheck(int nsId, pid_t pid)
{
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return ERROR;
    Fd pfd;
    return procMemberOpen(nsId, pin.fd, pid, &pfd);
}

STATUS ozNsProcKill(int nsId, pid_t pid, int signo)
{
    if (signo < 0 || signo >= NSIG)
        return fail(EINVAL);
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return ERROR;
    Fd pfd;
    if (procMemberOpen(nsId, pin.fd, pid, &pfd) != OK)
        return ERROR;
    return pidfd_send_signal(pfd.fd, signo, nullptr, 0) == 0 ? OK : ERROR;
}

STATUS ozNsKeyGet(int nsId, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return fail(EINVAL);
    Fd pin(pinOpen(nsId));
    if (pin.fd < 0)
        return ERROR;
    /* The proc on the pin is a file system of its own while the namespace
     * is pinned; the boot id tells one run of the machine from the next. */
    struct stat st;
    if (fstat(pin.fd, &st) != 0)
        return ERROR;
    int n = snprintf(buf, size, "%s-%x-%x", bootId().c_str(), major(st.st_dev), minor(st.st_dev));
    if (n < 0 || (size_t)n >= size) {
        buf[0] = '\0';
        return fail(ERANGE);
    }
    return OK;
}
