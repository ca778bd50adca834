/*
 * ozNs.cpp - container namespaces on Linux.
 *
 * A namespace is a persistent mount namespace. It is created by a short-lived
 * helper process that unshares its mount namespace and makes every mount in
 * it private; the namespace outlives the helper because its namespace file
 * is bind-mounted onto a pin file "<id>" in the pin directory (which is
 * itself a private mount, so pins never propagate into namespaces). The id
 * is the pin's name, so every process of the machine can use it.
 *
 * Every operation inside a namespace runs in a forked helper that enters it
 * with setns() (a multi-threaded process cannot enter a mount namespace
 * itself). Setting up the root file system bind-mounts the root directory
 * inside the namespace and pivots to it; the old root is detached, so a
 * process of the namespace cannot reach a host file by any path or link.
 * Additional mounts of host directories are cloned on the host side
 * (open_tree) and attached inside the namespace (move_mount).
 *
 * A namespace is in use while some process lives in it: /proc is scanned for
 * processes whose mount namespace has the pin's inode. Signal-all reaches
 * exactly those processes through pid descriptors, so a recycled process id
 * is never signalled.
 *
 * The helpers run after fork() in a possibly multi-threaded process: they
 * use system calls only, never the allocator.
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
#include <sched.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *kPinDir = "/run/orrery/ns";
constexpr unsigned long kNsfsMagic = 0x6e736673; /* NSFS_MAGIC */
constexpr int kKillRounds = 64;

using Fd = oz::UniqueFd;

int pivotRoot(const char *newRoot, const char *putOld)
{
    return (int)syscall(SYS_pivot_root, newRoot, putOld);
}

std::string pinPath(int nsId) { return std::string(kPinDir) + "/" + std::to_string(nsId); }
std::string rootRecordPath(int nsId) { return pinPath(nsId) + ".root"; }

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

/* Run fn() in a forked helper that has entered the namespace of `nsFd`
 * (the caller's own when -1). Returns fn's result: 0 or an errno value. */
template <class Fn> int runInNs(int nsFd, Fn &&fn)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return errno;
    Fd rd(p[0]), wr(p[1]);
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        int rc = 0;
        /* A sanitizer runtime may add a thread to the child: entering a
         * mount namespace needs a file-system context of our own. */
        if (nsFd >= 0 && (unshare(CLONE_FS) != 0 || setns(nsFd, CLONE_NEWNS) != 0))
            rc = errno;
        else
            rc = fn();
        if (write(wr.fd, &rc, sizeof rc) < 0)
            _exit(1);
        _exit(0);
    }
    close(wr.release());
    int rc = 0;
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
    {"ro", MS_RDONLY, 0},         {"rw", 0, MS_RDONLY},
    {"nosuid", MS_NOSUID, 0},     {"suid", 0, MS_NOSUID},
    {"nodev", MS_NODEV, 0},       {"dev", 0, MS_NODEV},
    {"noexec", MS_NOEXEC, 0},     {"exec", 0, MS_NOEXEC},
    {"sync", MS_SYNCHRONOUS, 0},  {"async", 0, MS_SYNCHRONOUS},
    {"dirsync", MS_DIRSYNC, 0},   {"noatime", MS_NOATIME, 0},
    {"atime", 0, MS_NOATIME},     {"nodiratime", MS_NODIRATIME, 0},
    {"diratime", 0, MS_NODIRATIME}, {"relatime", MS_RELATIME, 0},
    {"norelatime", 0, MS_RELATIME}, {"strictatime", MS_STRICTATIME, 0},
    {"mand", MS_MANDLOCK, 0},     {"nomand", 0, MS_MANDLOCK},
    {"defaults", 0, 0},
};

constexpr struct {
    const char *name;
    unsigned long flag;
} kOptPropagation[] = {
    {"private", MS_PRIVATE},  {"rprivate", MS_PRIVATE | MS_REC},
    {"shared", MS_SHARED},    {"rshared", MS_SHARED | MS_REC},
    {"slave", MS_SLAVE},      {"rslave", MS_SLAVE | MS_REC},
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
    return o;
}

/* (device, inode) of a namespace file. */
struct NsKey {
    dev_t dev = 0;
    ino_t ino = 0;
};

bool procInNs(pid_t pid, const NsKey &key)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/ns/mnt", (int)pid);
    struct stat st;
    return stat(path, &st) == 0 && st.st_ino == key.ino && st.st_dev == key.dev;
}

/* The process ids listed in /proc. */
std::vector<pid_t> procList()
{
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return pids;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long v = strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && v > 0)
            pids.push_back((pid_t)v);
    }
    closedir(d);
    return pids;
}

STATUS nsKeyGet(int nsId, NsKey *key)
{
    Fd fd(oz::nsPinOpen(nsId));
    if (fd.fd < 0)
        return ERROR;
    struct stat st;
    if (fstat(fd.fd, &st) != 0)
        return ERROR;
    key->dev = st.st_dev;
    key->ino = st.st_ino;
    return OK;
}

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

/* A fresh id: its pin file is created exclusively. Ids count upwards
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
        int fd = open(pinPath(id).c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0400);
        if (fd >= 0) {
            close(fd);
            break;
        }
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

} // namespace

namespace oz {

int nsPinOpen(int nsId)
{
    if (nsId < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(pinPath(nsId).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        errno = EINVAL;
        return -1;
    }
    struct statfs sfs;
    if (fstatfs(fd, &sfs) != 0 || (unsigned long)sfs.f_type != kNsfsMagic) {
        close(fd);
        errno = EINVAL; /* a pin without a namespace on it */
        return -1;
    }
    return fd;
}

std::string nsRootGet(int nsId)
{
    std::string root;
    FILE *f = fopen(rootRecordPath(nsId).c_str(), "re");
    if (f == nullptr)
        return root;
    char buf[PATH_MAX];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    root.assign(buf, n);
    return root;
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
    return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
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
    (void)flags; /* every namespace here is a mount namespace */
    if (pinDirEnsure() != OK)
        return -1;
    int nsId = nsIdAllocate();
    if (nsId < 0)
        return -1;
    const std::string pin = pinPath(nsId);
    /* The helper unshares, reports, and lives until the pin is made. */
    int up[2], down[2];
    if (pipe2(up, O_CLOEXEC) != 0) {
        int e = errno;
        unlink(pin.c_str());
        errno = e;
        return -1;
    }
    Fd upRd(up[0]), upWr(up[1]);
    if (pipe2(down, O_CLOEXEC) != 0) {
        int e = errno;
        unlink(pin.c_str());
        errno = e;
        return -1;
    }
    Fd downRd(down[0]), downWr(down[1]);
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        unlink(pin.c_str());
        errno = e;
        return -1;
    }
    if (pid == 0) {
        int rc = 0;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            rc = errno;
        if (write(upWr.fd, &rc, sizeof rc) < 0)
            _exit(1);
        char c;
        close(downWr.fd);
        (void)!read(downRd.fd, &c, 1);
        _exit(0);
    }
    close(upWr.release());
    close(downRd.release());
    int rc = 0;
    if (oz::readRetry(upRd.fd, &rc, sizeof rc) != (ssize_t)sizeof rc)
        rc = EIO;
    if (rc == 0) {
        std::string nsFile = "/proc/" + std::to_string(pid) + "/ns/mnt";
        if (mount(nsFile.c_str(), pin.c_str(), nullptr, MS_BIND, nullptr) != 0)
            rc = errno;
    }
    close(downWr.release());
    oz::childWait(pid, nullptr, 0);
    if (rc != 0) {
        unlink(pin.c_str());
        errno = rc;
        return -1;
    }
    return nsId;
}

STATUS ozNsDelete(int nsId)
{
    {
        Fd fd(oz::nsPinOpen(nsId));
        if (fd.fd < 0)
            return ERROR;
    }
    const std::string pin = pinPath(nsId);
    /* The namespace itself ends with its last process. */
    if (umount2(pin.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0)
        return ERROR;
    unlink(rootRecordPath(nsId).c_str());
    unlink(pin.c_str());
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
    Fd ns(oz::nsPinOpen(nsId));
    if (ns.fd < 0)
        return ERROR;
    /* Once pivoted, host paths mean nothing inside the namespace. */
    if (!oz::nsRootGet(nsId).empty())
        return fail(EBUSY);
    /* Clone the root on the host side: whatever is mounted there now. */
    Fd tree(open_tree(AT_FDCWD, root.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE));
    if (tree.fd < 0)
        return ERROR;
    const char *where = root.c_str();
    int rc = runInNs(ns.fd, [&]() -> int {
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
        return 0;
    });
    if (rc != 0)
        return fail(rc);
    FILE *f = fopen(rootRecordPath(nsId).c_str(), "we");
    if (f == nullptr)
        return ERROR;
    bool ok = fwrite(root.data(), 1, root.size(), f) == root.size();
    if (fclose(f) != 0 || !ok)
        return ERROR;
    return OK;
}

STATUS ozNsRootfsTeardown(int nsId, const char *rootfsPath, const char *name)
{
    (void)rootfsPath;
    (void)name;
    Fd ns(oz::nsPinOpen(nsId));
    if (ns.fd < 0)
        return ERROR;
    /* Detach the root and everything below it, so the namespace no longer
     * holds the container's file systems busy. */
    int rc = runInNs(ns.fd, []() -> int {
        if (umount2("/", MNT_DETACH) != 0)
            return errno;
        return 0;
    });
    if (rc != 0)
        return fail(rc);
    unlink(rootRecordPath(nsId).c_str());
    return OK;
}

STATUS ozNsMount(int nsId, const char *rootfsPath, const char *src, const char *dst,
                 const char *type, const char *const *options, int optionCount)
{
    (void)rootfsPath; /* inside the namespace the root file system is "/" */
    if (dst == nullptr || dst[0] != '/' || optionCount < 0)
        return fail(EINVAL);
    Fd ns(oz::nsPinOpen(nsId));
    if (ns.fd < 0)
        return ERROR;
    MountOpts o = mountOptsParse(type, options, optionCount);
    int rc;
    if (o.bind) {
        if (src == nullptr || src[0] != '/')
            return fail(EINVAL);
        struct stat st;
        if (stat(src, &st) != 0)
            return ERROR;
        bool isFile = !S_ISDIR(st.st_mode);
        Fd tree(open_tree(AT_FDCWD, src,
                          OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | (o.recursive ? AT_RECURSIVE : 0)));
        if (tree.fd < 0)
            return ERROR;
        rc = runInNs(ns.fd, [&]() -> int {
            int r = mountPointMake(dst, isFile);
            if (r != 0)
                return r;
            if (move_mount(tree.fd, "", AT_FDCWD, dst, MOVE_MOUNT_F_EMPTY_PATH) != 0)
                return errno;
            /* Bind mounts take their flags by a remount. */
            unsigned long remount = o.flags & (MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC |
                                               MS_NOATIME | MS_NODIRATIME | MS_RELATIME |
                                               MS_STRICTATIME);
            if (remount != 0 &&
                mount(nullptr, dst, nullptr, MS_REMOUNT | MS_BIND | remount, nullptr) != 0)
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
        rc = runInNs(ns.fd, [&]() -> int {
            int r = mkdirPRaw(dst, 0755);
            if (r != 0)
                return r;
            if (mount(source, dst, type, o.flags, data) != 0)
                return errno;
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
    Fd ns(oz::nsPinOpen(nsId));
    if (ns.fd < 0)
        return ERROR;
    int rc = runInNs(ns.fd, [&]() -> int {
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
    NsKey key;
    if (nsKeyGet(nsId, &key) != OK)
        return ERROR;
    for (pid_t pid : procList())
        if (procInNs(pid, key)) {
            *inUse = TRUE;
            break;
        }
    return OK;
}

STATUS ozNsKillAll(int nsId, int signo)
{
    if (signo < 0 || signo >= NSIG)
        return fail(EINVAL);
    NsKey key;
    if (nsKeyGet(nsId, &key) != OK)
        return ERROR;
    /* Repeat until a scan finds no member not yet signalled, so that a
     * process forked meanwhile is reached too. */
    std::set<pid_t> signalled;
    int err = 0;
    const pid_t self = getpid();
    for (int round = 0; round < kKillRounds; round++) {
        bool fresh = false;
        for (pid_t pid : procList()) {
            if (pid == self || signalled.count(pid) != 0)
                continue;
            /* Hold the process by a descriptor before checking it, so the
             * signal cannot reach a process that reused the id. */
            Fd pfd(pidfd_open(pid, 0));
            if (pfd.fd < 0 || !procInNs(pid, key))
                continue;
            if (pidfd_send_signal(pfd.fd, signo, nullptr, 0) != 0 && errno != ESRCH)
                err = errno;
            signalled.insert(pid);
            fresh = true;
        }
        if (!fresh)
            break;
    }
    return err == 0 ? OK : fail(err);
}
