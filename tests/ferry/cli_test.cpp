/*
 * cli_test.cpp - the command line of ferryService, run as a process: the
 * exact bytes of standard output and standard error and the exit status of
 * every edge case, and the configuration the parse leaves behind.
 */
#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"

#include "ozkLib.h"
#include "ozkLog.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

using namespace ferrytest;

namespace {

const char *kNode = "cli-node";

/* The ERROR lines that end every failed parse at the default verbosity,
 * after the parse's own ERROR line. */
std::string failedParseTail()
{
    return errLine("ozkLib", "ozkConfInit", "failed to parse arguments") +
           errLine("ozkLib", "ozkServiceDestroy", "pod manager destroy fail!") +
           errLine("ozkService", "main", "failed to create OZK_CTRL!") + byeLine("failed to create OZK_CTRL!") +
           errLine("ozkLib", "ozkForceShutDown", "a fatal error has occurred that caused an immediate exit!");
}

/* A failed parse: the usage text alone on standard output, the parse's
 * ERROR line (empty: none) and the fatal tail on standard error, status 1. */
void expectParseFailure(const std::vector<std::string> &args, const std::string &parseError)
{
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult r = runFerry(args);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, usageText());
    EXPECT_EQ(withoutManagerErrors(r.err), parseError + failedParseTail());
}

std::vector<std::string> requiredArgs(const KubesimProcess &sim)
{
    return {"-C", sim.caPath(), "-c", sim.certPath(), "-k", sim.keyPath(), "-n", kNode, "-u", sim.url()};
}

std::vector<std::string> plus(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

/* Runs the service to its ready line, stops it with SIGTERM, expects exit 0. */
RunResult runGood(const std::vector<std::string> &args)
{
    RunOptions opt;
    opt.sendTerm = true;
    opt.readyText = "ferryService is ready.";
    RunResult r = runFerry(plus(args, {"-v", "3"}), opt);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r;
}

} // namespace

TEST(FerryCli, NoArgumentsNeedsTheCaOption)
{
    RunResult r = runFerry({});
    EXPECT_EQ(r.exitStatus, 1);
    /* the usage text, byte for byte, and nothing else */
    EXPECT_EQ(r.out, usageText());
    EXPECT_EQ(withoutManagerErrors(r.err),
              errLine("ozkLib", "ozkArgParse", "option -C is required!") + failedParseTail());
    /* the never-started pod manager's destroy reports its missing parts */
    EXPECT_NE(r.err.find("ferry: ERROR: ozkPodManager:"), std::string::npos);
}

TEST(FerryCli, EachRequiredOptionInItsOrder)
{
    const std::vector<std::string> all = {"-C", "ca", "-c", "cert", "-k", "key", "-n", "node", "-u", "https://h:1"};
    const char *opts[] = {"-C", "-c", "-k", "-n", "-u"};
    for (size_t missing = 0; missing < 5; missing++) {
        std::vector<std::string> args;
        for (size_t i = 0; i < all.size(); i += 2) {
            if (i / 2 != missing) {
                args.push_back(all[i]);
                args.push_back(all[i + 1]);
            }
        }
        std::string text = std::string("option ") + opts[missing] + " is required!";
        expectParseFailure(args, errLine("ozkLib", "ozkArgParse", text));
    }
    /* with several missing, the first in the order -C -c -k -n -u is named */
    expectParseFailure({"-u", "https://h:1", "-n", "node"}, errLine("ozkLib", "ozkArgParse", "option -C is required!"));
}

TEST(FerryCli, OptionErrorsEndTheLoop)
{
    expectParseFailure({"-x"}, errLine("ozkLib", "ozkArgParse", "unknown option -x!", "unknown option -%c!"));
    expectParseFailure({"-C"}, errLine("ozkLib", "ozkArgParse", "provide the argument for option -C!",
                                       "provide the argument for option -%c!"));
    /* -t takes an argument too */
    expectParseFailure({"-C", "a", "-t"}, errLine("ozkLib", "ozkArgParse", "provide the argument for option -t!",
                                                  "provide the argument for option -%c!"));
    /* nothing after the first failing option is examined */
    expectParseFailure({"-x", "-v", "9", "-l", "99"},
                       errLine("ozkLib", "ozkArgParse", "unknown option -x!", "unknown option -%c!"));
    /* options end at the first operand */
    expectParseFailure({"-C", "a", "operand", "-c", "b", "-k", "c", "-n", "d", "-u", "e"},
                       errLine("ozkLib", "ozkArgParse", "option -c is required!"));
}

TEST(FerryCli, VerboseLevelBounds)
{
    const std::string fmt = "invalid verbose level: %d";
    /* the level is stored before the check: 9 is printed, and stays the
     * console level for the rest of the run, DEBUG lines included */
    for (int level : {9, 4}) {
        RunResult r = runFerry({"-v", std::to_string(level)});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out.substr(0, usageText().size()), usageText());
        EXPECT_TRUE(
            linesInOrder(r.out.substr(usageText().size()), {"ferry: DEBUG: ozkConf has been destroyed",
                                                            "ferry: DEBUG: ferry Controller has been destroyed"}));
        std::string text =
            "invalid verbose level: " + std::to_string(level) + ". valid verbose level should be in the range [0, 3]";
        EXPECT_EQ(withoutManagerErrors(r.err), errLine("ozkLib", "ozkArgParse", text, fmt) + failedParseTail());
    }
    /* -v -1 stores a negative level: only the usage text reaches the console */
    RunResult r = runFerry({"-v", "-1"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, usageText());
    EXPECT_EQ(r.err, "");
    /* -v 0: silent console apart from the usage text */
    r = runFerry({"-v", "0"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, usageText());
    EXPECT_EQ(r.err, "");
}

TEST(FerryCli, SyslogLevelBounds)
{
    const std::string fmt = "invalid syslog level: %d";
    expectParseFailure({"-l", "8"},
                       errLine("ozkLib", "ozkArgParse",
                               "invalid syslog level: 8. valid syslog level should be in the range [0, 7]", fmt));
    expectParseFailure({"-l", "-1"},
                       errLine("ozkLib", "ozkArgParse",
                               "invalid syslog level: -1. valid syslog level should be in the range [0, 7]", fmt));
}

TEST(FerryCli, LabelFormats)
{
    const std::string bad = errLine("ozkLib", "ozkArgParse", "invalid label format, valid format should be key=value");
    for (const char *label : {"k", "=v", "k=", "=", ""}) {
        expectParseFailure({"-L", label}, bad);
    }
}

TEST(FerryCli, NodeAddressCheck)
{
    const std::string bad = errLine("ozkLib", "ozkNodeIpCheck", "invalid IPv4/IPv6 address!");
    for (const char *ip : {"300.1.1.1", "10.0.0", "fe80:::1", "host.example", ""}) {
        expectParseFailure({"-C", "a", "-c", "b", "-k", "c", "-n", "d", "-u", "e", "-i", ip}, bad);
    }
    /* the address is checked only once every required option is there */
    expectParseFailure({"-i", "300.1.1.1"}, errLine("ozkLib", "ozkArgParse", "option -C is required!"));
}

class FerryCliService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.start(kNode)) << sim_.lastError(); }
    KubesimProcess sim_;
};

TEST_F(FerryCliService, ConfigurationDumpListsGivenFields)
{
    RunResult r = runGood(requiredArgs(sim_));
    std::string dump = "ferry: DEBUG: server CA certificate path: " + sim_.caPath() + "\n" +
                       "ferry: DEBUG: client Cert path: " + sim_.certPath() + "\n" +
                       "ferry: DEBUG: client Key path: " + sim_.keyPath() + "\n" + "ferry: DEBUG: node name: " + kNode +
                       "\n" + "ferry: DEBUG: API Server URL: " + sim_.url() + "\n";
    std::string fallback = "ferry: DEBUG: node status update interval: 30\n"
                           "ferry: DEBUG: max POD number: 20\n";
    std::string client = "ferry: DEBUG: SSL Configuration is created\n"
                         "ferry: DEBUG: apiClient is ready\n";
    EXPECT_EQ(r.out.substr(0, (dump + fallback + client).size()), dump + fallback + client) << r.out;

    /* with -i the address follows the URL; repeated options keep the last */
    r = runGood(plus(requiredArgs(sim_), {"-i", "127.0.0.2", "-i", "127.0.0.1", "-N", "600", "-p", "110"}));
    std::string withIp = dump + "ferry: DEBUG: node IP: 127.0.0.1\n" +
                         "ferry: DEBUG: node status update interval: 600\n"
                         "ferry: DEBUG: max POD number: 110\n" +
                         client;
    EXPECT_EQ(r.out.substr(0, withIp.size()), withIp) << r.out;
}

TEST_F(FerryCliService, IntervalAndPodFallbacks)
{
    /* 0 and text without digits fall back silently */
    RunResult r = runGood(plus(requiredArgs(sim_), {"-N", "0", "-p", "abc"}));
    EXPECT_TRUE(
        linesInOrder(r.out, {"ferry: DEBUG: node status update interval: 30", "ferry: DEBUG: max POD number: 20"}));
    /* no warning from the parse (later lines belong to the node manager) */
    EXPECT_EQ(r.out.substr(0, r.out.find("SSL Configuration is created")).find("WARNING"), std::string::npos) << r.out;

    /* above the maximum: the warning names the value, the maximum and the default */
    RunOptions opt;
    opt.sendTerm = true;
    opt.readyText = "";
    r = runFerry(plus(requiredArgs(sim_), {"-N", "601", "-p", "111", "-v", "2"}), opt);
    EXPECT_EQ(r.exitStatus, 0);
    std::string warnings =
        "ferry: WARNING: the node update interval 601 exceeds the max value 600! fallback to the default value: 30\n"
        "ferry: WARNING: the pod number 111 exceeds the max value 110! fallback to the default value: 20\n";
    EXPECT_EQ(r.out.substr(0, warnings.size()), warnings) << r.out;
    EXPECT_EQ(r.err, "");

    /* the number is kept in 32 bits: 2^32 + 5 is 5, accepted without a warning */
    r = runGood(plus(requiredArgs(sim_), {"-N", "4294967301"}));
    EXPECT_TRUE(linesInOrder(r.out, {"ferry: DEBUG: node status update interval: 5"}));
}

TEST_F(FerryCliService, NodeAddressWarningsAndTestMode)
{
    RunOptions opt;
    opt.sendTerm = true;
    /* an address no interface carries is a warning, not a failure */
    RunResult r = runFerry(plus(requiredArgs(sim_), {"-v", "2", "-i", "192.0.2.55", "-t", "1", "-t", "7"}), opt);
    EXPECT_EQ(r.exitStatus, 0);
    std::string warnings = "ferry: WARNING: Test Mode requires the legacy memory allocator\n"
                           "ferry: WARNING: invalid test mode value, test mode stops\n"
                           "ferry: WARNING: the IP address: 192.0.2.55 has been not configured on the target\n";
    EXPECT_EQ(r.out.substr(0, warnings.size()), warnings) << r.out;
    EXPECT_EQ(r.err, "");

    /* a configured address gives no warning; -v 3 adds nothing before the dump */
    r = runGood(plus(requiredArgs(sim_), {"-i", "127.0.0.1"}));
    EXPECT_EQ(r.out.rfind("ferry: DEBUG: server CA certificate path: ", 0), 0u) << r.out;
}

/* The configuration itself, parsed in this process. */
class FerryConfParse : public ::testing::Test {
protected:
    void SetUp() override { ozkVerboseLevel = 1; }
    void TearDown() override { ozkConfDestroy(&conf_); }
    STATUS parse(std::vector<std::string> args)
    {
        args.insert(args.begin(), "ferryService");
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ConsoleCapture console;
        STATUS status = ozkArgParse(&conf_, static_cast<int>(args.size()), argv.data());
        out_ = console.out();
        err_ = console.err();
        return status;
    }
    OZK_CONF conf_{};
    std::string out_, err_;
};

TEST_F(FerryConfParse, LabelSplitAndBoundedFields)
{
    const std::vector<std::string> base = {"-C", "a", "-c", "b", "-k", "c", "-n", "d", "-u", "e"};
    ASSERT_EQ(parse(plus(base, {"-L", "a=b=c"})), OK);
    EXPECT_STREQ(conf_.nodeLabelKey, "a");
    EXPECT_STREQ(conf_.nodeLabelValue, "b");
    EXPECT_STREQ(conf_.caPath, "a");
    EXPECT_EQ(conf_.nodeIP, nullptr);
    EXPECT_EQ(out_, "");

    /* 127 characters fit; 128 leave the field empty, the parse succeeds and
     * the log says the label is not set */
    std::string k127(127, 'k'), v128(128, 'v');
    const std::string notSet = "is not set: a key or value is at most 127 characters";
    ASSERT_EQ(parse(plus(base, {"-L", k127 + "=" + v128})), OK);
    EXPECT_EQ(std::string(conf_.nodeLabelKey), k127);
    EXPECT_STREQ(conf_.nodeLabelValue, "");
    EXPECT_NE((out_ + err_).find(notSet), std::string::npos) << out_ << err_;
    ASSERT_EQ(parse(plus(base, {"-L", std::string(128, 'k') + "=v"})), OK);
    EXPECT_STREQ(conf_.nodeLabelKey, "");
    EXPECT_STREQ(conf_.nodeLabelValue, "v");
    EXPECT_NE((out_ + err_).find(notSet), std::string::npos) << out_ << err_;
    ASSERT_EQ(parse(plus(base, {"-L", k127 + "=" + std::string(127, 'v')})), OK);
    EXPECT_EQ((out_ + err_).find(notSet), std::string::npos) << out_ << err_;
}

TEST_F(FerryConfParse, NumbersAndRepeats)
{
    const std::vector<std::string> base = {"-C", "a", "-c", "b", "-k", "c", "-n", "d", "-u", "e"};
    ASSERT_EQ(parse(plus(base, {"-N", "12abc", "-p", "7", "-p", "110", "-n", "second"})), OK);
    EXPECT_EQ(conf_.nodeUpdateInterval, 12u);
    EXPECT_EQ(conf_.podMax, 110u);
    EXPECT_STREQ(conf_.nodeName, "second");
    /* a failed parse keeps what it copied until the destroy */
    ASSERT_EQ(parse({"-C", "x", "-n", "y", "-q"}), ERROR);
    EXPECT_STREQ(conf_.caPath, "x");
    EXPECT_EQ(out_, usageText());
    EXPECT_EQ(err_, errLine("ozkLib", "ozkArgParse", "unknown option -q!", "unknown option -%c!"));
}

/* True when an interface of this machine carries the IPv6 address. */
static bool carriesIpv6(const char *text)
{
    struct in6_addr want {};
    if (inet_pton(AF_INET6, text, &want) != 1) {
        return false;
    }
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (struct ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET6) {
            const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ifa->ifa_addr);
            found = found || memcmp(&sin6->sin6_addr, &want, sizeof(want)) == 0;
        }
    }
    freeifaddrs(list);
    return found;
}

TEST(FerryNodeIp, FamiliesAndInterfaces)
{
    ozkVerboseLevel = 3;
    auto check = [](const char *ip, STATUS *status) {
        ConsoleCapture console;
        *status = ozkNodeIpCheck(ip);
        return console.out() + console.err();
    };
    STATUS status;
    EXPECT_EQ(check(nullptr, &status), "ferry: DEBUG: node IP is not set\n");
    EXPECT_EQ(status, OK);
    EXPECT_EQ(check("127.0.0.1", &status), "");
    EXPECT_EQ(status, OK);
    /* an IPv6 address nobody carries: a warning naming it, still OK */
    EXPECT_EQ(check("2001:db8::55", &status),
              "ferry: WARNING: the IP address: 2001:db8::55 has been not configured on the target\n");
    EXPECT_EQ(status, OK);
    /* the same bytes in another family do not match: ::ffff:127.0.0.1 is IPv6 */
    EXPECT_EQ(check("::ffff:127.0.0.1", &status),
              "ferry: WARNING: the IP address: ::ffff:127.0.0.1 has been not configured on the target\n");
    EXPECT_EQ(status, OK);
    EXPECT_EQ(check("::1", &status), carriesIpv6("::1") ? ""
                                                        : "ferry: WARNING: the IP address: ::1 has been not "
                                                          "configured on the target\n");
    EXPECT_EQ(status, OK);
    EXPECT_EQ(check(" 127.0.0.1", &status), errLine("ozkLib", "ozkNodeIpCheck", "invalid IPv4/IPv6 address!"));
    EXPECT_EQ(status, ERROR);
}
