/*
 * ozkLib.cpp - service control of the node agent: command line and
 * configuration, service initialisation, start and destroy, the forced
 * shutdown and the logging convention.
 */
#define OZK_LOG_UNIT "ozkLib"
#include "ozkLib.h"
#include "ozkLog.h"
#include "ozkText.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

/* ------------------------------------------------------------------------
 * Logging
 * ------------------------------------------------------------------------ */
int ozkVerboseLevel = 1;
BOOL ozkSysLogOn = FALSE;
int ozkSysLogLevel = 3;

/* Test mode switch: option -t never leaves it on. */
static int ozkTestMode = 0;

namespace {

std::string ozkFormat(const char *format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (n < 0) {
        return std::string();
    }
    if (static_cast<size_t>(n) < sizeof(small)) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    (void)vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

} // namespace

extern "C" void ozkLogPrint(int level, const char *unit, const char *func, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = ozkFormat(format, args);
    va_end(args);

    std::string location;
    if (level == OZK_LOG_ERROR) {
        location = std::string(unit) + ":" + func + ":" + std::to_string(line) + " ";
    }
    const char *name = level == OZK_LOG_ERROR ? "ERROR" : level == OZK_LOG_WARNING ? "WARNING" : "DEBUG";
    int threshold = level == OZK_LOG_ERROR ? 1 : level == OZK_LOG_WARNING ? 2 : 3;

    if (ozkVerboseLevel >= threshold) {
        if (level == OZK_LOG_ERROR) {
            (void)fprintf_s(stderr, "ferry: %s: %s%s\n", name, location.c_str(), text.c_str());
        } else {
            (void)printf_s("ferry: %s: %s\n", name, text.c_str());
            /* lines must reach a pipe or a log file at once */
            (void)fflush(stdout);
        }
    }
    if (ozkSysLogOn) {
        std::string record = std::string(name) + ": " + location + text;
        ozSysLog(level, record.c_str());
    }
}

/* ------------------------------------------------------------------------
 * Configuration
 * ------------------------------------------------------------------------ */
namespace {

/* Replace *field by a heap copy of arg; false when out of memory. */
bool ozkStrReplace(char **field, const char *arg)
{
    char *copy = strdup(arg);
    if (copy == nullptr) {
        return false;
    }
    free(*field);
    *field = copy;
    return true;
}

/* Unsigned decimal number kept in 32 bits; text without digits gives 0. */
uint32_t ozkArgNumber(const char *arg)
{
    return static_cast<uint32_t>(strtoul(arg, nullptr, 10));
}

/* The options of the command line; every one takes an argument. The leading
 * "+" ends the options at the first operand, as a POSIX getopt does. */
constexpr const char *kOptions = "+:C:c:k:n:u:i:N:p:v:l:L:t:";

/* Restarts the C library's option scanner. */
void ozkOptionScanReset(void)
{
#ifdef __GLIBC__
    optind = 0; /* full restart, the scanner's inner state included */
#else
    optind = 1;
#endif
}

} // namespace

/* -h among the options (not as an option's argument): the caller prints the
 * usage and ends, whatever else the line holds. */
extern "C" BOOL ozkHelpAsked(int argc, char *argv[])
{
    std::string options = std::string(kOptions) + "h";
    BOOL asked = FALSE;
    int opt;
    ozkOptionScanReset();
    while ((opt = getopt(argc, argv, options.c_str())) != -1) {
        asked = asked || opt == 'h';
    }
    ozkOptionScanReset();
    return asked;
}

/* Every message of the parse is logged from here, so that its ERROR lines
 * name ozkArgParse as their function. */
extern "C" STATUS ozkArgParse(OZK_CONF *conf, int argc, char *argv[])
{
    STATUS status = OK;
    int opt;

    ozkOptionScanReset();
    while (status == OK && (opt = getopt(argc, argv, kOptions)) != -1) {
        char **field = nullptr;
        switch (opt) {
        case 'C':
            field = &conf->caPath;
            break;
        case 'c':
            field = &conf->certPath;
            break;
        case 'k':
            field = &conf->keyPath;
            break;
        case 'n':
            field = &conf->nodeName;
            break;
        case 'u':
            field = &conf->serverURL;
            break;
        case 'i':
            field = &conf->nodeIP;
            break;
        case 'N':
            conf->nodeUpdateInterval = ozkArgNumber(optarg);
            break;
        case 'p':
            conf->podMax = ozkArgNumber(optarg);
            break;
        case 'v':
            /* stored first: the check's own message already follows it */
            ozkVerboseLevel = static_cast<int>(ozkArgNumber(optarg));
            if (ozkVerboseLevel < OZK_VERBOSE_LEVEL_MIN || ozkVerboseLevel > OZK_VERBOSE_LEVEL_MAX) {
                OZK_ERR("invalid verbose level: %d. valid verbose level should be in the range [%d, %d]",
                        ozkVerboseLevel, OZK_VERBOSE_LEVEL_MIN, OZK_VERBOSE_LEVEL_MAX);
                status = ERROR;
            }
            break;
        case 'l':
            ozkSysLogOn = TRUE;
            ozkSysLogLevel = static_cast<int>(ozkArgNumber(optarg));
            if (ozkSysLogLevel < OZK_SYSLOG_LEVEL_MIN || ozkSysLogLevel > OZK_SYSLOG_LEVEL_MAX) {
                OZK_ERR("invalid syslog level: %d. valid syslog level should be in the range [%d, %d]", ozkSysLogLevel,
                        OZK_SYSLOG_LEVEL_MIN, OZK_SYSLOG_LEVEL_MAX);
                status = ERROR;
            }
            break;
        case 'L': {
            /* strtok works in place: split a copy, argv stays as given */
            std::string text(optarg);
            char *save = nullptr;
            char *key = strtok_r(text.data(), "=", &save);
            char *value = key != nullptr ? strtok_r(nullptr, "=", &save) : nullptr;
            if (key == nullptr || value == nullptr) {
                OZK_ERR("invalid label format, valid format should be key=value");
                status = ERROR;
                break;
            }
            /* a key or value too long for its field is refused, not cut: the
             * node goes without the label, and the log says so */
            bool keyFits = ozk::fieldCopy(conf->nodeLabelKey, key);
            bool valueFits = ozk::fieldCopy(conf->nodeLabelValue, value);
            if (!keyFits || !valueFits) {
                OZK_ERR("label %s is not set: a key or value is at most %d characters", optarg, OZK_NODE_LABEL_LEN - 1);
            }
            break;
        }
        case 't':
            ozkTestMode = static_cast<int>(ozkArgNumber(optarg));
            if (ozkTestMode == 1) {
                OZK_WARN("Test Mode requires the legacy memory allocator");
            } else {
                OZK_WARN("invalid test mode value, test mode stops");
            }
            ozkTestMode = 0;
            break;
        case ':':
            OZK_ERR("provide the argument for option -%c!", optopt);
            status = ERROR;
            break;
        case '?':
            OZK_ERR("unknown option -%c!", optopt);
            status = ERROR;
            break;
        default:
            OZK_ERR("unknown getopt ERROR!");
            status = ERROR;
            break;
        }
        if (field != nullptr && !ozkStrReplace(field, optarg)) {
            OZK_ERR("not enough memory");
            status = ERROR;
        }
    }

    if (status == OK) {
        if (conf->caPath == nullptr) {
            OZK_ERR("option -C is required!");
            status = ERROR;
        } else if (conf->certPath == nullptr) {
            OZK_ERR("option -c is required!");
            status = ERROR;
        } else if (conf->keyPath == nullptr) {
            OZK_ERR("option -k is required!");
            status = ERROR;
        } else if (conf->nodeName == nullptr) {
            OZK_ERR("option -n is required!");
            status = ERROR;
        } else if (conf->serverURL == nullptr) {
            OZK_ERR("option -u is required!");
            status = ERROR;
        } else if (conf->nodeIP != nullptr && ozkNodeIpCheck(conf->nodeIP) != OK) {
            status = ERROR;
        }
    }
    if (status == OK) {
        if (conf->nodeUpdateInterval == 0) {
            conf->nodeUpdateInterval = OZK_NODE_UPDATE_INTERVAL_DEFAULT;
        } else if (conf->nodeUpdateInterval > OZK_NODE_UPDATE_INTERVAL_MAX) {
            OZK_WARN("the node update interval %u exceeds the max value %u! fallback to the default value: %u",
                     conf->nodeUpdateInterval, OZK_NODE_UPDATE_INTERVAL_MAX, OZK_NODE_UPDATE_INTERVAL_DEFAULT);
            conf->nodeUpdateInterval = OZK_NODE_UPDATE_INTERVAL_DEFAULT;
        }
        if (conf->podMax == 0) {
            conf->podMax = OZK_POD_MAX_DEFAULT;
        } else if (conf->podMax > OZK_POD_MAX_MAX) {
            OZK_WARN("the pod number %u exceeds the max value %u! fallback to the default value: %u", conf->podMax,
                     OZK_POD_MAX_MAX, OZK_POD_MAX_DEFAULT);
            conf->podMax = OZK_POD_MAX_DEFAULT;
        }
    }
    if (status != OK) {
        ozkUsagePrint();
    }
    return status;
}

extern "C" STATUS ozkNodeIpCheck(const char *ip)
{
    if (ip == nullptr) {
        OZK_DEBUG("node IP is not set");
        return OK;
    }
    struct in_addr addr4 {};
    struct in6_addr addr6 {};
    int family = AF_INET;
    if (inet_pton(AF_INET, ip, &addr4) != 1) {
        family = AF_INET6;
        if (inet_pton(AF_INET6, ip, &addr6) != 1) {
            OZK_ERR("invalid IPv4/IPv6 address!");
            return ERROR;
        }
    }
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        OZK_WARN("getifaddrs failed!");
        return OK;
    }
    std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs *)> owner(list, freeifaddrs);
    for (struct ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != family) {
            continue;
        }
        if (family == AF_INET) {
            const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ifa->ifa_addr);
            if (memcmp(&sin->sin_addr, &addr4, sizeof(addr4)) == 0) {
                return OK;
            }
        } else {
            const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ifa->ifa_addr);
            if (memcmp(&sin6->sin6_addr, &addr6, sizeof(addr6)) == 0) {
                return OK;
            }
        }
    }
    OZK_WARN("the IP address: %s has been not configured on the target", ip);
    return OK;
}

extern "C" void ozkConfDump(const OZK_CONF *conf)
{
    if (conf == nullptr || ozkVerboseLevel != OZK_VERBOSE_LEVEL_MAX) {
        return;
    }
    if (conf->caPath != nullptr) {
        OZK_DEBUG("server CA certificate path: %s", conf->caPath);
    }
    if (conf->certPath != nullptr) {
        OZK_DEBUG("client Cert path: %s", conf->certPath);
    }
    if (conf->keyPath != nullptr) {
        OZK_DEBUG("client Key path: %s", conf->keyPath);
    }
    if (conf->nodeName != nullptr) {
        OZK_DEBUG("node name: %s", conf->nodeName);
    }
    if (conf->serverURL != nullptr) {
        OZK_DEBUG("API Server URL: %s", conf->serverURL);
    }
    if (conf->nodeIP != nullptr) {
        OZK_DEBUG("node IP: %s", conf->nodeIP);
    }
    OZK_DEBUG("node status update interval: %u", conf->nodeUpdateInterval);
    OZK_DEBUG("max POD number: %u", conf->podMax);
}

extern "C" void ozkUsagePrint(void)
{
    printf_s("Usage:\n\n");
    printf_s("ferryService -C Server CA Certificate -c Client Certificate -k Client Key -n Node Name "
             "-u API Server URL [-i Node IP address] [-N interval in seconds] [-p max pod number] "
             "[-v verbose mode]\n\n");
    printf_s("Options:\n");
    printf_s("\t-C\n");
    printf_s("\t\tThe server CA certificate file path\n\n");
    printf_s("\t-c\n");
    printf_s("\t\tThe client Certificate file path\n\n");
    printf_s("\t-k\n");
    printf_s("\t\tThe client Key file path\n\n");
    printf_s("\t-n\n");
    printf_s("\t\tThe name of the node in Kubernetes\n\n");
    printf_s("\t-u\n");
    printf_s("\t\tThe URL of the API server like https://<server>:<port>\n"
             "\t\twhere server is the name or IP address of the server.\n\n");
    printf_s("\t-i\n");
    printf_s("\t\tOptional. The IP address of the Kubernetes' node\n");
    printf_s("\t-N\n");
    printf_s("\t\tOptional. Node status update interval in seconds. The max value is %d\n",
             static_cast<int>(OZK_NODE_UPDATE_INTERVAL_MAX));
    printf_s("\t-p\n");
    printf_s("\t\tOptional. Max Pod number. The max value is %d\n", static_cast<int>(OZK_POD_MAX_MAX));
    printf_s("\t-v\n");
    printf_s("\t\tOptional. Verbose mode. Displays information with different levels. Valid value: 0~3:\n"
             "\t\t0: No messages\n"
             "\t\t1: Error messages\n"
             "\t\t2: Error + Warning messages\n"
             "\t\t3: Error + Warning + Verbose messages\n"
             "\t\tIf this option is not set, Error messages will be displayed by default.\n");
    printf_s("\t-l\n");
    printf_s("\t\tOptional. Enable syslog. Set log priority level between 0 and 7:\n"
             "\t\t0: Up to LOG_EMERG\n"
             "\t\t1: Up to LOG_ALERT\n"
             "\t\t2: Up to LOG_CRIT\n"
             "\t\t3: Up to LOG_ERR\n"
             "\t\t4: Up to LOG_WARNING\n"
             "\t\t5: Up to LOG_NOTICE\n"
             "\t\t6: Up to LOG_INFO\n"
             "\t\t7: Up to LOG_DEBUG\n"
             "\t\tIf this option is not set, syslog will be disabled.\n");
    printf_s("\t-L\n");
    printf_s("\t\tOptional. set label for node. The format is key=value\n");
    printf_s("\tExample:\n");
    printf_s("\t\t./ferryService.oze -c cert/client.crt -k cert/client.key -C cert/ca.crt -n ozferry "
             "-u https://192.168.49.2:8443\n");
    (void)fflush(stdout);
}

extern "C" STATUS ozkConfInit(int argc, char *argv[], OZK_CONF *conf)
{
    if (ozkArgParse(conf, argc, argv) != OK) {
        OZK_ERR("failed to parse arguments");
        ozkConfDestroy(conf);
        return ERROR;
    }
    ozkConfDump(conf);
    return OK;
}

extern "C" void ozkConfDestroy(OZK_CONF *conf)
{
    if (conf == nullptr) {
        return;
    }
    for (char **field :
         {&conf->caPath, &conf->certPath, &conf->keyPath, &conf->nodeName, &conf->serverURL, &conf->nodeIP}) {
        free(*field);
        *field = nullptr;
    }
    OZK_DEBUG("ozkConf has been destroyed");
}

/* ------------------------------------------------------------------------
 * Service lifecycle
 * ------------------------------------------------------------------------ */
namespace {

void ozkSysLogSetup(void)
{
    if (!ozkSysLogOn) {
        return;
    }
    ozSysLogOpen("ferry", LOG_PID, LOG_USER);
    (void)ozSysLogMaskSet((1 << (ozkSysLogLevel + 1)) - 1);
}

} // namespace

extern "C" OZK_CTRL *ozkServiceInit(int argc, char *argv[])
{
    auto *ctrl = static_cast<OZK_CTRL *>(calloc(1, sizeof(OZK_CTRL)));
    if (ctrl == nullptr) {
        OZK_ERR("failed to allocate OZK_CTRL!");
        return nullptr;
    }
    if (ozkConfInit(argc, argv, &ctrl->ozkCnf) != OK) {
        (void)ozkServiceDestroy(ctrl);
        return nullptr;
    }
    ozkSysLogSetup();
    /* TLS files that cannot work stop the start at once, named */
    if (ozkClientSetup(ctrl) != OK || ozkClientTlsFilesCheck(&ctrl->ozkCnf) != OK) {
        (void)ozkServiceDestroy(ctrl);
        return nullptr;
    }
    return ctrl;
}

/* A stop during the start (ozkClientStop) makes it fail without an error
 * line; the caller then tears down what was started. */
extern "C" STATUS ozkServiceStart(OZK_CTRL *ctrl)
{
    if (ozkNodeManagerStart(ctrl) != OK) {
        if (!ozkClientStopped(&ctrl->clientCtrl)) {
            OZK_ERR("failed to start node manager!");
        }
        return ERROR;
    }
    if (ozkClientStopped(&ctrl->clientCtrl)) {
        return ERROR;
    }
    ctrl->podManagerStarted = TRUE;
    if (ozkPodManagerStart(ctrl) != OK) {
        OZK_ERR("failed to start pod manager!");
        return ERROR;
    }
    return OK;
}

extern "C" STATUS ozkServiceDestroy(OZK_CTRL *ctrl)
{
    STATUS result = OK;

    if (ctrl == nullptr) {
        return OK;
    }
    /* after a stop, this task's requests (the pod manager's clean-up at the
     * API server) may still run for a short while; every other task's end */
    ozkClientTeardownBegin(&ctrl->clientCtrl);
    /* a service stopped before its pod manager started has none to destroy */
    if (ctrl->podManagerStarted || !ozkClientStopped(&ctrl->clientCtrl)) {
        if (ozkPodManagerDestroy(&ctrl->podManagerCtrl) != OK) {
            OZK_ERR("pod manager destroy fail!");
            result = ERROR;
        }
    }
    if (ozkNodeManagerDestroy(&ctrl->nodeManagerCtrl) != OK) {
        OZK_ERR("node manager destroy fail!");
        result = ERROR;
    }
    /* no task uses the API client any more: release its TLS configuration
     * and the client library's environment (a no-op after a failed setup,
     * which has released them already) */
    ozkClientDestroy(&ctrl->clientCtrl);
    ozkConfDestroy(&ctrl->ozkCnf);
    free(ctrl);
    OZK_DEBUG("ferry Controller has been destroyed");
    return result;
}

extern "C" void ozkForceShutDown(void)
{
    OZK_ERR("a fatal error has occurred that caused an immediate exit!");
    /* at once: the other tasks still run (a pod monitor in the middle of a
     * request), so the process's global state is not torn down under them */
    fflush(nullptr);
    _exit(1);
}
