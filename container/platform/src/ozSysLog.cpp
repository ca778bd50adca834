/*
 * ozSysLog.cpp - the system log calls, with a test seam that sends the
 * records to a datagram socket named by "OZ_SYSLOG_SOCKET" instead of the
 * system's log socket. The seam keeps the behaviour of the C library's
 * syslog: the mask filters by priority, LOG_PID adds the process id, and a
 * record written after closelog() carries the program name as identity.
 */
#include "ozPlatform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

struct SysLogSeam {
    std::mutex lock;
    bool checked = false;
    std::string path;  /* empty: the system log is used */
    std::string ident; /* empty: the program name */
    int option = 0;
    int facility = LOG_USER;
    int mask = 0xff;
    int fd = -1;
};

SysLogSeam &seam()
{
    static SysLogSeam s;
    return s;
}

/* Returns true when records go to the test socket; call with the lock held. */
bool seamActive(SysLogSeam &s)
{
    if (!s.checked) {
        const char *p = getenv("OZ_SYSLOG_SOCKET");
        if (p != nullptr && p[0] != '\0') {
            s.path = p;
        }
        s.checked = true;
    }
    return !s.path.empty();
}

void seamConnect(SysLogSeam &s)
{
    if (s.fd >= 0) {
        return;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (s.path.size() >= sizeof(addr.sun_path)) {
        close(fd);
        return;
    }
    memcpy(addr.sun_path, s.path.c_str(), s.path.size() + 1);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return;
    }
    s.fd = fd;
}

} // namespace

extern "C" void ozSysLogOpen(const char *ident, int option, int facility)
{
    SysLogSeam &s = seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!seamActive(s)) {
        openlog(ident, option, facility);
        return;
    }
    s.ident = ident != nullptr ? ident : "";
    s.option = option;
    if (facility != 0 && (facility & ~LOG_FACMASK) == 0) {
        s.facility = facility;
    }
    if ((option & LOG_NDELAY) != 0) {
        seamConnect(s);
    }
}

extern "C" int ozSysLogMaskSet(int mask)
{
    SysLogSeam &s = seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!seamActive(s)) {
        return setlogmask(mask);
    }
    int old = s.mask;
    if (mask != 0) {
        s.mask = mask;
    }
    return old;
}

extern "C" void ozSysLog(int priority, const char *text)
{
    SysLogSeam &s = seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!seamActive(s)) {
        syslog(priority, "%s", text != nullptr ? text : "");
        return;
    }
    if ((LOG_MASK(LOG_PRI(priority)) & s.mask) == 0) {
        return;
    }
    int pri = priority;
    if ((pri & LOG_FACMASK) == 0) {
        pri |= s.facility;
    }
    char stamp[32] = "";
    time_t now = time(nullptr);
    struct tm tmNow {};
    if (localtime_r(&now, &tmNow) != nullptr) {
        strftime(stamp, sizeof(stamp), "%h %e %T", &tmNow);
    }
    std::string record = "<" + std::to_string(pri) + ">" + stamp + " ";
    record += s.ident.empty() ? program_invocation_short_name : s.ident;
    if ((s.option & LOG_PID) != 0) {
        record += "[" + std::to_string(getpid()) + "]";
    }
    record += ": ";
    record += text != nullptr ? text : "";
    seamConnect(s);
    if (s.fd >= 0) {
        (void)send(s.fd, record.data(), record.size(), MSG_NOSIGNAL);
    }
}

extern "C" void ozSysLogClose(void)
{
    SysLogSeam &s = seam();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!seamActive(s)) {
        closelog();
        return;
    }
    if (s.fd >= 0) {
        close(s.fd);
        s.fd = -1;
    }
    s.ident.clear();
}
