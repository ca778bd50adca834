/*
 * ozPlatform.h - the Orrery operating-system services used by the node agent,
 * the container runtime and the image manager.
 *
 * This is the only interface through which the rest of the system reaches the
 * operating system's own facilities (tasks, semaphores, message queues,
 * container namespaces, process spawn into a namespace, the overlay driver,
 * the OS-wide environment, console options). The Linux implementation lives
 * in container/platform/src; a port to the target replaces that directory.
 *
 * Conventions: functions that can fail return OK (0) or ERROR (-1), or a null
 * handle, and leave the cause in errno. Time-outs are in clock ticks;
 * WAIT_FOREVER waits without limit and NO_WAIT does not wait at all.
 */
#ifndef OZ_PLATFORM_H
#define OZ_PLATFORM_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Basic types
 * ------------------------------------------------------------------------ */
typedef int STATUS;
typedef int BOOL;
#ifndef OK
#define OK 0
#endif
#ifndef ERROR
#define ERROR (-1)
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WAIT_FOREVER (-1)
#define NO_WAIT      0

/* errno values of the kernel objects. A take that times out and a take that
 * finds the object unavailable without waiting are told apart. */
#define S_objLib_OBJ_TIMEOUT     ETIMEDOUT /* timed take/receive ran out  */
#define S_objLib_OBJ_UNAVAILABLE EAGAIN    /* NO_WAIT found nothing       */
#define S_objLib_OBJ_DELETED     EIDRM     /* object deleted while waiting */
#define S_objLib_OBJ_ID_ERROR    EINVAL    /* null or stale handle        */

/* ------------------------------------------------------------------------
 * Clock
 * ------------------------------------------------------------------------ */
/* Ticks per second of the system clock. */
int sysClkRateGet(void);
/* Ticks since the platform started (monotonic). */
uint64_t tickGet(void);
/* Test seam: run the tick clock `factor` times faster than real time
 * (1 = real time). Every tick-based wait (delays, semaphore and queue
 * time-outs, task waits) follows it. The environment variable
 * "OZ_CLOCK_SPEEDUP" sets the initial factor of a process. */
void ozClockSpeedupSet(unsigned factor);
unsigned ozClockSpeedupGet(void);

/* ------------------------------------------------------------------------
 * Tasks
 * ------------------------------------------------------------------------ */
typedef intptr_t TASK_ID; /* 0 is never a valid task */
#define TASK_ID_NULL ((TASK_ID)0)
typedef int (*OZ_TASK_ENTRY)(void *arg);

/* Spawn a named task that runs entry(arg) at once. Returns TASK_ID_NULL and
 * sets errno on failure. Priority 0 (highest) .. 255 (lowest). */
TASK_ID taskSpawn(const char *name, int priority, int options, size_t stackSize, OZ_TASK_ENTRY entry, void *arg);
/* Create a task suspended; it runs after taskActivate(). */
TASK_ID taskCreate(const char *name, int priority, int options, size_t stackSize, OZ_TASK_ENTRY entry, void *arg);
STATUS taskActivate(TASK_ID tid);
/* Delete a task. A task blocked in a platform wait (semaphore take, queue
 * receive, delay) ends at once; a running task ends at its next platform
 * wait. Deletion is deferred while the task holds a deletion-safe mutex or
 * is protected by taskSafe(). Deleting oneself ends the caller. */
STATUS taskDelete(TASK_ID tid);
/* Wait up to `timeoutTicks` for the task's end and reclaim it. The entry's
 * return value goes to *exitCode when not null. ETIMEDOUT when it still runs. */
STATUS taskWait(TASK_ID tid, int timeoutTicks, int *exitCode);
STATUS taskDelay(int ticks);
TASK_ID taskIdSelf(void);
const char *taskName(TASK_ID tid); /* null for an unknown task */
/* Protect the calling task from deletion; nests. */
STATUS taskSafe(void);
STATUS taskUnsafe(void);
/* TRUE when a deletion of the calling task is pending: the task ends at its
 * next platform wait. Work that blocks outside the platform (a network
 * transfer) asks this to give up early. */
BOOL taskDeletePending(void);

/* ------------------------------------------------------------------------
 * Semaphores
 * ------------------------------------------------------------------------ */
typedef struct ozSemaphore *SEM_ID;

/* option bits */
#define SEM_Q_FIFO         0x0
#define SEM_Q_PRIORITY     0x1
#define SEM_DELETE_SAFE    0x4
#define SEM_INVERSION_SAFE 0x8

typedef enum { SEM_EMPTY = 0, SEM_FULL = 1 } SEM_B_STATE;

/* Mutual-exclusion semaphore: owner-recursive; with SEM_DELETE_SAFE its
 * owner cannot be deleted while it holds it. */
SEM_ID semMCreate(int options);
/* Binary semaphore, created empty or full. */
SEM_ID semBCreate(int options, SEM_B_STATE initialState);
/* Take with a time-out in ticks, WAIT_FOREVER or NO_WAIT.
 * errno: S_objLib_OBJ_TIMEOUT, S_objLib_OBJ_UNAVAILABLE, S_objLib_OBJ_DELETED,
 * S_objLib_OBJ_ID_ERROR. */
STATUS semTake(SEM_ID sem, int timeoutTicks);
STATUS semGive(SEM_ID sem);
/* Delete; tasks waiting on it wake with S_objLib_OBJ_DELETED. */
STATUS semDelete(SEM_ID sem);

/* ------------------------------------------------------------------------
 * Message queues: anonymous (in-process) and named public (between processes)
 * ------------------------------------------------------------------------ */
typedef struct ozMsgQ *MSG_Q_ID;

/* options */
#define MSG_Q_FIFO     0x0
#define MSG_Q_PRIORITY 0x1
/* send priorities */
#define MSG_PRI_NORMAL 0
#define MSG_PRI_URGENT 1

/* open modes of named queues */
#define OM_CREATE 0x1 /* create when it does not exist           */
#define OM_EXCL   0x2 /* with OM_CREATE: fail with EEXIST if it does */

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options);
STATUS msgQDelete(MSG_Q_ID q);
/* Named public queue: name begins with '/' and holds no other '/'. */
MSG_Q_ID msgQOpen(const char *name, int maxMsgs, int maxMsgLength, int options, int mode);
STATUS msgQClose(MSG_Q_ID q);
STATUS msgQUnlink(const char *name);
/* Send/receive on either kind. Receive returns the message length or ERROR. */
STATUS msgQSend(MSG_Q_ID q, const char *buffer, size_t nBytes, int timeoutTicks, int priority);
ssize_t msgQReceive(MSG_Q_ID q, char *buffer, size_t maxNBytes, int timeoutTicks);
int msgQNumMsgs(MSG_Q_ID q);
/* Largest message size and depth that named queues may have on this system. */
STATUS msgQSystemLimitsGet(int *maxMsgs, int *maxMsgLength);

/* ------------------------------------------------------------------------
 * Container namespaces
 *
 * A container namespace isolates its processes: its own mount, process id,
 * IPC and UTS namespaces (the network is the host's). Its first process, a
 * holder that only reaps, keeps it alive; signalling every member with
 * SIGKILL ends the holder and with it every process of the namespace,
 * including those in namespaces made inside it. The root file system gets a
 * minimal /dev (null, zero, full, random, urandom, tty, a devpts and
 * /dev/shm).
 * ------------------------------------------------------------------------ */
/* Create a namespace; returns its id (>= 0, valid in every process) or -1. */
int ozNsCreate(unsigned flags);
STATUS ozNsDelete(int nsId);
/* Make `rootfsPath` the root file system of the namespace (name: the
 * container's id, for diagnostics). */
STATUS ozNsRootfsSetup(int nsId, const char *rootfsPath, const char *name);
STATUS ozNsRootfsTeardown(int nsId, const char *rootfsPath, const char *name);
/* Mount `src` at `dst` (a path inside the container root) of type `type`
 * with the given options ("bind", "rbind", "ro", "nosuid", ...). A "proc"
 * shows the namespace's own processes, with the kernel's sensitive files
 * masked and its tunables read-only; a "sysfs" is always read-only with its
 * firmware tree masked; an "mqueue" holds the namespace's own queues. */
STATUS ozNsMount(int nsId, const char *rootfsPath, const char *src, const char *dst, const char *type,
                 const char *const *options, int optionCount);
STATUS ozNsUnmount(int nsId, const char *rootfsPath, const char *dst);
/* *inUse = TRUE when some process lives in the namespace. */
STATUS ozNsInUse(int nsId, BOOL *inUse);
/* Send signo to every process of the namespace. */
STATUS ozNsKillAll(int nsId, int signo);
/* The host name of the namespace. */
STATUS ozNsHostnameSet(int nsId, const char *name);
/* Credentials of the processes spawned into the namespace from now on:
 * user, group and at most 256 supplementary groups. Until set they are
 * root's without supplementary groups. */
STATUS ozNsUserSet(int nsId, uid_t uid, gid_t gid, const gid_t *groups, int count);
/* Read the file `path` of the namespace's root file system into buf (NUL
 * terminated); the path and every link on it are resolved inside the root.
 * Returns the length, or ERROR (EFBIG when it does not fit in size - 1). */
ssize_t ozNsFileRead(int nsId, const char *path, char *buf, size_t size);
/* OK when `pid` (a process id of the caller's view) is a live process of
 * the namespace, or of one made inside it, other than its holder; ERROR
 * with ESRCH otherwise. */
STATUS ozNsProcCheck(int nsId, pid_t pid);
/* Send signo to `pid` when ozNsProcCheck accepts it; a process id reused
 * meanwhile by another process is never signalled. */
STATUS ozNsProcKill(int nsId, pid_t pid, int signo);
/* A text that tells this namespace from every other one, also across
 * restarts of the machine (at most 64 bytes with the NUL). */
STATUS ozNsKeyGet(int nsId, char *buf, size_t size);

/* ------------------------------------------------------------------------
 * Process spawn into a namespace
 * ------------------------------------------------------------------------ */
typedef struct ozSpawnAttr {
    int priority;
    size_t stackSize;
    int options;
    int taskOptions;
    int nsId; /* -1: the caller's namespace */
    char cwd[1024];
    short flags;
} OZ_SPAWN_ATTR;

int ozSpawnAttrInit(OZ_SPAWN_ATTR *attr);
int ozSpawnAttrDestroy(OZ_SPAWN_ATTR *attr);
int ozSpawnAttrPrioritySet(OZ_SPAWN_ATTR *attr, int priority);
int ozSpawnAttrStackSizeSet(OZ_SPAWN_ATTR *attr, size_t stackSize);
int ozSpawnAttrOptionsSet(OZ_SPAWN_ATTR *attr, int options);
int ozSpawnAttrTaskOptionsSet(OZ_SPAWN_ATTR *attr, int taskOptions);
int ozSpawnAttrNsSet(OZ_SPAWN_ATTR *attr, int nsId);
int ozSpawnAttrCwdSet(OZ_SPAWN_ATTR *attr, const char *cwd);
int ozSpawnAttrFlagsSet(OZ_SPAWN_ATTR *attr, short flags);
/* Spawn `path` (resolved inside the namespace's root; a path under the root
 * file system path the namespace was set up from is taken relative to that
 * root) with argv and envp (null: the caller's environment). A process of a
 * namespace runs with the namespace's credentials (ozNsUserSet), no new
 * privileges, the default capability set of OCI runtimes (kill, binding
 * low ports, audit writes; none for a user other than root) and only its
 * standard descriptors; it is the caller's child either way.
 * Returns 0 and the process id, or an errno value (posix_spawn style).
 * The caller reaps the process with ozProcWait or hands it to ozProcDetach. */
int ozSpawn(pid_t *pid, const char *path, const OZ_SPAWN_ATTR *attr, char *const argv[], char *const envp[]);
/* Wait for a spawned process (waitpid semantics). */
pid_t ozProcWait(pid_t pid, int *status, int options);
/* Hand a spawned process over to the platform, which reaps it when it
 * ends, so that a caller that does not wait leaves no zombie behind. */
STATUS ozProcDetach(pid_t pid);
/* How a process handed to ozProcDetach ended: *exitCode is its exit status
 * (0..255), or 128 + the signal number when a signal ended it. The platform
 * keeps the last OZ_PROC_EXIT_KEPT such results, by process id. ERROR with
 * errno EBUSY while the process still runs, ESRCH when the platform holds
 * nothing for that id (never detached, or its result was dropped). */
#define OZ_PROC_EXIT_KEPT 1024
STATUS ozProcExitStatusGet(pid_t pid, int *exitCode);

/* ------------------------------------------------------------------------
 * Overlay file system driver
 * ------------------------------------------------------------------------ */
/* The device directory, "/overlay" unless overridden (tests) by
 * ozOvlDevDirSet() or the environment variable "OZ_OVERLAY_DEV_DIR"
 * (ozOvlDevDirSet(NULL) drops the override and follows the environment
 * again). An empty override string disables overlays. */
const char *ozOvlDevDirGet(void);
void ozOvlDevDirSet(const char *dir);
/* TRUE when the device directory exists and overlays can be made. */
BOOL ozOvlAvailable(void);
/* Create the device `devName` (a path under the device directory) over
 * dirs[0..num-1], topmost first. With hasUpper, dirs[0] is the writable
 * upper layer and the rest are lower layers; without, all are read-only
 * lower layers. Exclusive: EEXIST when the device exists. */
STATUS ozOvlDevCreate(const char *devName, const char *const *dirs, unsigned num, BOOL hasUpper);
STATUS ozOvlDevRemove(const char *devName);
/* The driver's own form of a layer directory. A whiteout says that the
 * entry of the same name in the layers below is deleted; an opaque
 * directory hides the content of the same directory in the layers below.
 * ozOvlWhiteoutCreate makes a whiteout at path (needs the privilege to
 * make device nodes); ozOvlWhiteoutIs tells one from its lstat() mode and
 * device number. ozOvlOpaqueSet marks a directory opaque (privileged);
 * ozOvlOpaqueIs asks whether it is. ozOvlXattrReserved is TRUE for the
 * extended attribute names the driver interprets itself: a layer from an
 * image never sets those. */
STATUS ozOvlWhiteoutCreate(const char *path);
BOOL ozOvlWhiteoutIs(mode_t mode, dev_t rdev);
STATUS ozOvlOpaqueSet(const char *dirPath);
BOOL ozOvlOpaqueIs(const char *dirPath);
BOOL ozOvlXattrReserved(const char *name);

/* ------------------------------------------------------------------------
 * Environment, CPUs, files, console, atomics
 * ------------------------------------------------------------------------ */
/* Read an OS-wide environment variable into buf. ENOENT when unset,
 * ERANGE (buf emptied) when it does not fit. */
STATUS ozEnvGet(const char *name, char *buf, size_t size);
STATUS ozEnvSet(const char *name, const char *value); /* value null: unset */
/* Bit i set when CPU i is enabled (first 64 CPUs). Test seam: the
 * environment variable "OZ_CPU_ENABLED_SET" (e.g. 0xff) replaces the set. */
uint64_t ozCpuEnabledSetGet(void);
int errnoGet(void);
STATUS errnoSet(int err);
/* mkdir -p with the given mode for the directories it creates. */
STATUS ozMkdirP(const char *path, mode_t mode);
/* Remove a tree silently: never follows symbolic links, ignores what is
 * missing. Returns ERROR when something could not be removed. */
STATUS ozRmTree(const char *path);
/* Console echo of a terminal descriptor. */
STATUS ozConsoleEchoGet(int fd, BOOL *echoOn);
STATUS ozConsoleEchoSet(int fd, BOOL echoOn);
/* Extended attributes of a file, through the open descriptor fd, or (fd
 * negative) of path itself, never following a symbolic link. Set: 0 or
 * ERROR (ENOTSUP where the file system takes none). List: the names, each
 * NUL-terminated, into buf; the length, or -1 (ERANGE when buf is too
 * small). Get: the value's length, or -1 (ENODATA when absent). Remove:
 * 0 or ERROR (ENODATA when absent). */
STATUS ozFileXattrSet(int fd, const char *path, const char *name, const void *value, size_t size);
ssize_t ozFileXattrList(const char *path, char *buf, size_t size);
ssize_t ozFileXattrGet(const char *path, const char *name, void *buf, size_t size);
STATUS ozFileXattrRemove(const char *path, const char *name);
/* Size of the file system holding path and the bytes its unprivileged
 * users may still write. */
STATUS ozFsSpaceGet(const char *path, uint64_t *total, uint64_t *avail);
/* Atomically add one; returns the value before the increment. */
int64_t ozAtomic64Inc(int64_t *target);
/* The platform this build runs on, in the names OCI images and Kubernetes
 * use: the OS ("linux" on this build; the target's build says "orrery")
 * and the CPU architecture ("amd64", "arm64", ...). Static texts. */
const char *ozSysOsNameGet(void);
const char *ozSysArchNameGet(void);
/* The number this OS gives the signal that the target calls `name`
 * ("TERM", "STOP", "USR1", "RTMIN", ...: the name without "SIG"), or -1
 * when this OS has no such signal. */
int ozSysSignalNoGet(const char *name);
/* Size in bytes of the memory the system manages. */
STATUS ozSysMemSizeGet(uint64_t *bytes);
/* Size in bytes of the file system that holds `path`; a path that does not
 * exist yet counts as the file system of its nearest existing parent. */
STATUS ozSysStorageSizeGet(const char *path, uint64_t *bytes);
/* Identity of the current boot of the system, and of the machine, as text
 * (lower-case hexadecimal digits and dashes). ENOENT when the system keeps
 * none; ERANGE (buf emptied) when it does not fit. */
STATUS ozSysBootIdGet(char *buf, size_t size);
STATUS ozSysMachineIdGet(char *buf, size_t size);

/* ------------------------------------------------------------------------
 * File locks
 * ------------------------------------------------------------------------ */
/* Exclusive lock on the file at `path` (created with mode 0600 when missing,
 * never through a symbolic link), shared by every task and process of the
 * system: two takes exclude each other even inside one process. Waits up to
 * `timeoutTicks` (WAIT_FOREVER, NO_WAIT) in platform delays, so a waiting
 * task can be deleted. Returns a lock id (>= 0), or -1 with errno:
 * S_objLib_OBJ_UNAVAILABLE (NO_WAIT) or S_objLib_OBJ_TIMEOUT when another
 * holder keeps it, or the error of opening the file. The lock goes with
 * ozFileLockGive, or when the holding process ends. */
int ozFileLockTake(const char *path, int timeoutTicks);
STATUS ozFileLockGive(int lockId);

/* ------------------------------------------------------------------------
 * System log (the syslog calls: openlog, setlogmask, syslog, closelog)
 * ------------------------------------------------------------------------ */
/* Test seam: when the environment variable "OZ_SYSLOG_SOCKET" names a
 * datagram socket, records go there instead of the system log socket, in the
 * system's own form "<facility|priority>Mmm dd hh:mm:ss ident[pid]: text",
 * with the same mask, options and reopen-after-close behaviour. */
void ozSysLogOpen(const char *ident, int option, int facility);
/* Returns the previous mask; a mask of 0 leaves it unchanged. */
int ozSysLogMaskSet(int mask);
void ozSysLog(int priority, const char *text);
void ozSysLogClose(void);

/* ------------------------------------------------------------------------
 * Bounds-checking functions (standard semantics of the bounds-checking
 * interfaces). A copy that does not fit fails and leaves dest empty.
 * ------------------------------------------------------------------------ */
typedef int errno_t;
typedef size_t rsize_t;
#define RSIZE_MAX (SIZE_MAX >> 1)

errno_t strncpy_s(char *dest, rsize_t destsz, const char *src, rsize_t count);
int snprintf_s(char *s, rsize_t n, const char *format, ...) __attribute__((format(printf, 3, 4)));
int printf_s(const char *format, ...) __attribute__((format(printf, 1, 2)));
int fprintf_s(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
errno_t strerror_s(char *s, rsize_t maxsize, errno_t errnum);
struct tm *localtime_s(const time_t *timer, struct tm *result);
struct tm *gmtime_s(const time_t *timer, struct tm *result);

#ifdef __cplusplus
}
#endif

#endif /* OZ_PLATFORM_H */
