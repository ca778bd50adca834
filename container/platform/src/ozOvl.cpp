/*
 * ozOvl.cpp - the overlay file system driver on Linux.
 *
 * A device is an overlayfs mount at a path under the device directory
 * ("/overlay", or the test override). With an upper layer the mount is
 * writable and its work directory is "<upper>.work", beside the upper one on
 * the same file system; without, the device is a read-only overlay of the
 * lower layers (a single lower layer becomes a read-only bind mount, which
 * overlayfs does not offer). Creation is exclusive across processes: a lock
 * on the device directory orders it, and a device that is already a mount
 * point gives EEXIST. Devices are mounted without device access: device
 * nodes that came with an image's layers stay inert in its containers.
 *
 * Layer form: a whiteout is a character device 0/0, an opaque directory
 * carries the attribute "trusted.overlay.opaque" = "y"; attributes in the
 * "trusted.overlay." and "user.overlay." namespaces steer overlayfs and are
 * reserved to it.
 */
#include "ozPlatformInt.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr const char *kDefaultDevDir = "/overlay";
constexpr size_t kMountDataMax = 4095; /* one page, with its terminator */
constexpr const char kOpaqueXattr[] = "trusted.overlay.opaque";

struct DevDir {
    std::mutex m;
    bool set = false;
    /* Every value ever set stays alive, so a returned pointer never dangles. */
    std::deque<std::string> values;
};

DevDir &devDir()
{
    static auto *d = new DevDir;
    return *d;
}

/* The device directory: the override, else the environment, else "/overlay". */
std::string devDirCurrent()
{
    return ozOvlDevDirGet();
}

STATUS fail(int err)
{
    errno = err;
    return ERROR;
}

/* `devName` names a device under the device directory. */
STATUS devNameCheck(const char *devName)
{
    const std::string dir = devDirCurrent();
    if (dir.empty())
        return fail(ENODEV);
    if (devName == nullptr)
        return fail(EINVAL);
    size_t n = dir.size();
    while (n > 1 && dir[n - 1] == '/')
        n--;
    if (strncmp(devName, dir.c_str(), n) != 0 || devName[n] != '/' || devName[n + 1] == '\0')
        return fail(EINVAL);
    /* no way back out of the device directory */
    for (const char *p = devName + n; *p != '\0'; p++)
        if (p[0] == '/' && p[1] == '.' && p[2] == '.' && (p[3] == '/' || p[3] == '\0'))
            return fail(EINVAL);
    if (strlen(devName) >= 1024)
        return fail(ENAMETOOLONG);
    return OK;
}

bool isDir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* A layer path in overlayfs mount data: ':' separates layers and ','
 * options; '\' and ':' are escaped, ',' cannot be. */
bool layerAppend(std::string &data, const char *path)
{
    for (const char *p = path; *p != '\0'; p++) {
        if (*p == ',')
            return false;
        if (*p == ':' || *p == '\\')
            data += '\\';
        data += *p;
    }
    return true;
}

/* Cross-process lock of the device directory (released with the fd). */
oz::UniqueFd devDirLock(const std::string &dir)
{
    oz::UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd >= 0 && flock(fd.fd, LOCK_EX) != 0)
        return oz::UniqueFd();
    return fd;
}

} // namespace

const char *ozOvlDevDirGet(void)
{
    DevDir &d = devDir();
    std::lock_guard<std::mutex> g(d.m);
    if (!d.set) {
        /* No override: the environment as it is now, else the default. */
        char env[1024];
        const char *want = ozEnvGet("OZ_OVERLAY_DEV_DIR", env, sizeof env) == OK ? env : kDefaultDevDir;
        if (d.values.empty() || d.values.back() != want)
            d.values.emplace_back(want);
    }
    return d.values.back().c_str();
}

void ozOvlDevDirSet(const char *dir)
{
    DevDir &d = devDir();
    std::lock_guard<std::mutex> g(d.m);
    d.set = dir != nullptr; /* null drops the override */
    if (dir != nullptr)
        d.values.emplace_back(dir);
}

BOOL ozOvlAvailable(void)
{
    const std::string dir = devDirCurrent();
    if (dir.empty() || !isDir(dir.c_str()) || geteuid() != 0)
        return FALSE;
    FILE *f = fopen("/proc/filesystems", "re");
    if (f == nullptr)
        return FALSE;
    char line[256];
    BOOL found = FALSE;
    while (!found && fgets(line, sizeof line, f) != nullptr) {
        const char *tab = strrchr(line, '\t');
        found = tab != nullptr && strcmp(tab + 1, "overlay\n") == 0;
    }
    fclose(f);
    return found;
}

STATUS ozOvlDevCreate(const char *devName, const char *const *dirs, unsigned num, BOOL hasUpper)
{
    if (devNameCheck(devName) != OK)
        return ERROR;
    if (dirs == nullptr || num == 0 || (hasUpper && num < 2))
        return fail(EINVAL);
    for (unsigned i = 0; i < num; i++)
        if (dirs[i] == nullptr || dirs[i][0] != '/')
            return fail(EINVAL);
    for (unsigned i = 0; i < num; i++) {
        struct stat st;
        if (stat(dirs[i], &st) != 0)
            return ERROR;
        if (!S_ISDIR(st.st_mode))
            return fail(ENOTDIR);
    }

    std::string work;
    std::string data;
    unsigned firstLower = hasUpper ? 1 : 0;
    if (num - firstLower > 1 || hasUpper) {
        data = "lowerdir=";
        for (unsigned i = firstLower; i < num; i++) {
            if (i > firstLower)
                data += ':';
            if (!layerAppend(data, dirs[i]))
                return fail(EINVAL);
        }
        if (hasUpper) {
            std::string upper = dirs[0];
            while (upper.size() > 1 && upper.back() == '/')
                upper.pop_back();
            work = upper + ".work";
            data += ",upperdir=";
            if (!layerAppend(data, upper.c_str()))
                return fail(EINVAL);
            data += ",workdir=";
            if (!layerAppend(data, work.c_str()))
                return fail(EINVAL);
        }
        if (data.size() > kMountDataMax)
            return fail(E2BIG);
    }

    const std::string dir = devDirCurrent();
    oz::UniqueFd lock = devDirLock(dir);
    if (lock.fd < 0)
        return ERROR;
    if (oz::isMountPoint(devName))
        return fail(EEXIST);
    bool made = false;
    if (mkdir(devName, 0755) == 0)
        made = true;
    else if (errno != EEXIST)
        return ERROR;
    int rc = 0;
    if (!work.empty() && ozMkdirP(work.c_str(), 0700) != OK)
        rc = errno;
    if (rc == 0) {
        int m;
        if (data.empty()) { /* one read-only layer */
            m = mount(dirs[0], devName, nullptr, MS_BIND, nullptr);
            if (m == 0 &&
                (m = mount(nullptr, devName, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NODEV, nullptr)) != 0) {
                int e = errno;
                umount2(devName, MNT_DETACH);
                errno = e;
            }
        } else {
            m = mount("overlay", devName, "overlay", MS_NODEV | (hasUpper ? 0 : MS_RDONLY), data.c_str());
        }
        if (m != 0)
            rc = errno;
    }
    if (rc != 0) {
        if (made)
            rmdir(devName);
        return fail(rc);
    }
    return OK;
}

STATUS ozOvlDevRemove(const char *devName)
{
    if (devNameCheck(devName) != OK)
        return ERROR;
    const std::string dir = devDirCurrent();
    oz::UniqueFd lock = devDirLock(dir);
    if (lock.fd < 0)
        return ERROR;
    struct stat st;
    if (lstat(devName, &st) != 0)
        return ERROR; /* ENOENT: no such device */
    if (!oz::isMountPoint(devName))
        return fail(EINVAL);
    if (umount2(devName, UMOUNT_NOFOLLOW) != 0) {
        if (errno != EBUSY)
            return ERROR;
        /* Still in use: detach it; it goes when its last user does. */
        if (umount2(devName, MNT_DETACH | UMOUNT_NOFOLLOW) != 0)
            return ERROR;
    }
    rmdir(devName);
    return OK;
}

STATUS ozOvlWhiteoutCreate(const char *path)
{
    if (path == nullptr)
        return fail(EINVAL);
    return mknod(path, S_IFCHR | 0000, makedev(0, 0)) == 0 ? OK : ERROR;
}

BOOL ozOvlWhiteoutIs(mode_t mode, dev_t rdev)
{
    return S_ISCHR(mode) && major(rdev) == 0 && minor(rdev) == 0 ? TRUE : FALSE;
}

STATUS ozOvlOpaqueSet(const char *dirPath)
{
    if (dirPath == nullptr)
        return fail(EINVAL);
    return lsetxattr(dirPath, kOpaqueXattr, "y", 1, 0) == 0 ? OK : ERROR;
}

BOOL ozOvlOpaqueIs(const char *dirPath)
{
    char v[2];
    return dirPath != nullptr && lgetxattr(dirPath, kOpaqueXattr, v, sizeof v) == 1 && v[0] == 'y' ? TRUE : FALSE;
}

BOOL ozOvlXattrReserved(const char *name)
{
    return name != nullptr && (strncmp(name, "trusted.overlay.", 16) == 0 || strncmp(name, "user.overlay.", 13) == 0)
               ? TRUE
               : FALSE;
}
