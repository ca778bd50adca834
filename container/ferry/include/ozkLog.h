/*
 * ozkLog.h - logging convention of the node agent: one console line and one
 * syslog record per message, levels ERROR, WARNING and DEBUG, and the fatal
 * stop used when the agent cannot go on.
 */
#ifndef OZK_LOG_H
#define OZK_LOG_H

#include <ozPlatform.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Console verbosity: 0 nothing, 1 ERROR, 2 + WARNING, 3 + DEBUG. */
extern int ozkVerboseLevel;
/* Every message also goes to syslog when true. */
extern BOOL ozkSysLogOn;
/* Highest syslog priority let through the syslog mask. */
extern int ozkSysLogLevel;

#define OZK_LOG_ERROR   3 /* syslog priority of each level */
#define OZK_LOG_WARNING 4
#define OZK_LOG_DEBUG   7

/* One logging step: at most one console line, then at most one syslog
 * record. The location is printed for ERROR messages only. */
void ozkLogPrint(int level, const char *unit, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

/* Every unit defines OZK_LOG_UNIT (its own name) before using these. */
#define OZK_ERR(...)   ozkLogPrint(OZK_LOG_ERROR, OZK_LOG_UNIT, __func__, __LINE__, __VA_ARGS__)
#define OZK_WARN(...)  ozkLogPrint(OZK_LOG_WARNING, OZK_LOG_UNIT, __func__, __LINE__, __VA_ARGS__)
#define OZK_DEBUG(...) ozkLogPrint(OZK_LOG_DEBUG, OZK_LOG_UNIT, __func__, __LINE__, __VA_ARGS__)

/* Log the fatal error and end the process with status 1, without teardown. */
void ozkForceShutDown(void) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif /* OZK_LOG_H */
