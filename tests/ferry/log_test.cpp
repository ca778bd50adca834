/*
 * log_test.cpp - the node agent's logging convention: the console framing
 * of each level with unit, function and line, the verbosity thresholds, and
 * the syslog records, mask, identity and closelog of ferryService, captured
 * on a private syslog socket.
 */
#include "ferryTestUtil.h"
#include "kubesim/kubesim_fixture.h"

#define OZK_LOG_UNIT "logTest"
#include "ozkLib.h"
#include "ozkLog.h"

#include <algorithm>

using namespace ferrytest;

namespace {

struct Emitted {
    std::string out, err;
    int errLine = 0;
};

/* One message of each level at verbosity `level`, console captured. */
Emitted emitAll(int level)
{
    ozkVerboseLevel = level;
    ozkSysLogOn = FALSE;
    Emitted e;
    ConsoleCapture console;
    e.errLine = __LINE__ + 1; /* the line of the message below */
    OZK_ERR("disk %s is %d%% full", "ram0", 93);
    OZK_WARN("pod %s restarted %u times", "web", 3U);
    OZK_DEBUG("tick");
    e.out = console.out();
    e.err = console.err();
    return e;
}

} // namespace

TEST(FerryLog, FramingOfEachLevel)
{
    Emitted e = emitAll(3);
    EXPECT_EQ(e.err, "ferry: ERROR: logTest:emitAll:" + std::to_string(e.errLine) + " disk ram0 is 93% full\n");
    EXPECT_EQ(e.out, "ferry: WARNING: pod web restarted 3 times\nferry: DEBUG: tick\n");

    /* a long text is not cut */
    ozkVerboseLevel = 3;
    std::string big(5000, 'x');
    ConsoleCapture console;
    OZK_DEBUG("%s|", big.c_str());
    EXPECT_EQ(console.out(), "ferry: DEBUG: " + big + "|\n");
}

TEST(FerryLog, VerbosityThresholds)
{
    Emitted e = emitAll(0);
    EXPECT_EQ(e.out, "");
    EXPECT_EQ(e.err, "");
    e = emitAll(1);
    EXPECT_EQ(e.out, "");
    EXPECT_NE(e.err, "");
    e = emitAll(2);
    EXPECT_EQ(e.out, "ferry: WARNING: pod web restarted 3 times\n");
    EXPECT_NE(e.err, "");
    e = emitAll(-1);
    EXPECT_EQ(e.out + e.err, "");
}

/* ferryService against the emulator with syslog records on a private socket. */
class FerrySyslog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.start("log-node")) << sim_.lastError(); }
    std::vector<std::string> args(const std::vector<std::string> &more) const
    {
        std::vector<std::string> a = {"-C", sim_.caPath(), "-c", sim_.certPath(), "-k", sim_.keyPath(),
                                      "-n", "log-node",    "-u", sim_.url()};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    /* The records without time stamps: "<pri>|ident[pid]: text". */
    std::vector<std::string> records()
    {
        std::vector<std::string> out;
        for (const auto &r : syslog_.records()) {
            out.push_back(SyslogReceiver::strip(r));
        }
        return out;
    }
    /* Runs until the service is ready, as its syslog record says (when
     * DEBUG records pass the mask), or else until it blocks the stop
     * signals; then stops it. */
    RunResult runToTerm(const std::vector<std::string> &more, bool readyRecord = true)
    {
        RunOptions opt;
        opt.env = {syslog_.envEntry()};
        opt.sendTerm = true;
        if (readyRecord) {
            opt.ready = [this] { return syslog_.seen("ferryService is ready."); };
        }
        return runFerry(args(more), opt);
    }
    static bool has(const std::vector<std::string> &recs, const std::string &want)
    {
        return std::find(recs.begin(), recs.end(), want) != recs.end();
    }
    KubesimProcess sim_;
    SyslogReceiver syslog_;
};

TEST_F(FerrySyslog, DebugRecordsAndCloselogAtGracefulShutdown)
{
    RunResult r = runToTerm({"-v", "0", "-l", "7", "-t", "7"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out + r.err, "");
    std::vector<std::string> recs = records();
    ASSERT_FALSE(recs.empty());
    /* parsed before openlog: the program name, no pid */
    EXPECT_EQ(recs.front(), "<12>|ferryService: WARNING: invalid test mode value, test mode stops");
    /* after openlog: identity "ferry" with the pid, facility user */
    std::string pid;
    for (const auto &rec : recs) {
        if (rec.find("ferry[") != std::string::npos) {
            pid = rec.substr(rec.find('[') + 1, rec.find(']') - rec.find('[') - 1);
            break;
        }
    }
    ASSERT_FALSE(pid.empty());
    std::string ident = "ferry[" + pid + "]: ";
    EXPECT_TRUE(has(recs, "<15>|" + ident + "DEBUG: ferryService is ready."));
    EXPECT_TRUE(has(recs, "<15>|" + ident + "DEBUG: Graceful shutdown begin"));
    EXPECT_TRUE(has(recs, "<15>|" + ident + "DEBUG: ferry Controller has been destroyed"));
    /* the goodbye comes after closelog: the identity is the program's again
     * (the pid option stays, as with the C library) */
    EXPECT_EQ(recs.back(), "<15>|ferryService[" + pid + "]: DEBUG: Bye ferryService!");
    EXPECT_FALSE(has(recs, "<15>|" + ident + "DEBUG: Bye ferryService!"));
}

TEST_F(FerrySyslog, MaskLetsThroughUpToTheLevel)
{
    /* -l 4: WARNING passes, DEBUG is masked */
    RunResult r = runToTerm({"-v", "0", "-t", "1", "-l", "4", "-t", "7"}, false);
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<std::string> recs = records();
    EXPECT_TRUE(has(recs, "<12>|ferryService: WARNING: invalid test mode value, test mode stops"));
    /* -t 1 came before -l: syslog was still off */
    EXPECT_FALSE(has(recs, "<12>|ferryService: WARNING: Test Mode requires the legacy memory allocator"));
    bool sawOpened = false;
    for (const auto &rec : recs) {
        EXPECT_EQ(rec.find("DEBUG"), std::string::npos) << rec;
        sawOpened = sawOpened || rec.find("|ferry[") != std::string::npos;
    }
    EXPECT_TRUE(sawOpened || recs.size() == 1) << ::testing::PrintToString(recs);
}

TEST_F(FerrySyslog, ErrorsReachSyslogWhileTheConsoleIsSilent)
{
    /* -l 3 -v 0 and a failing start: ERROR records only */
    RunOptions opt;
    opt.env = faultEnv("taskSpawn:nodeManager");
    opt.env.push_back(syslog_.envEntry());
    RunResult r = runFerry(args({"-l", "3", "-v", "0"}), opt);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out + r.err, "");
    std::vector<std::string> texts;
    for (const auto &rec : records()) {
        EXPECT_EQ(rec.rfind("<11>|ferry[", 0), 0u) << rec;
        texts.push_back(rec.substr(rec.find("]: ") + 3));
    }
    auto located = [](const std::string &unit, const std::string &func, const std::string &text,
                      const std::string &needle) {
        return "ERROR: " + unit + ":" + func + ":" + std::to_string(sourceLine(unitFile(unit), "\"" + needle)) + " " +
               text;
    };
    EXPECT_TRUE(has(
        texts, located("ozkLib", "ozkServiceStart", "failed to start node manager!", "failed to start node manager!")))
        << ::testing::PrintToString(texts);
    EXPECT_TRUE(has(texts, located("ozkService", "main", "failed to start ferry!", "failed to start ferry!")));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(),
              located("ozkLib", "ozkForceShutDown", "a fatal error has occurred that caused an immediate exit!",
                      "a fatal error has occurred"));
}

TEST_F(FerrySyslog, ParseErrorsBeforeOpenlog)
{
    /* -l 8 switches syslog on before its own check fails */
    RunOptions opt;
    opt.env = {syslog_.envEntry()};
    RunResult r = runFerry({"-l", "8"}, opt);
    EXPECT_EQ(r.exitStatus, 1);
    std::string text = "invalid syslog level: 8. valid syslog level should be in the range [0, 7]";
    int line = sourceLine(unitFile("ozkLib"), "\"invalid syslog level: %d");
    EXPECT_EQ(r.err.rfind("ferry: ERROR: ozkLib:ozkArgParse:" + std::to_string(line) + " " + text + "\n", 0), 0u)
        << r.err;
    std::vector<std::string> recs = records();
    ASSERT_FALSE(recs.empty());
    /* openlog never ran: the program name is the identity */
    EXPECT_EQ(recs.front(), "<11>|ferryService: ERROR: ozkLib:ozkArgParse:" + std::to_string(line) + " " + text);

    /* -v -1 after -l: the ERROR reaches only syslog */
    r = runFerry({"-l", "3", "-v", "-1"}, opt);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, usageText());
    EXPECT_EQ(r.err, "");
    recs = records();
    ASSERT_FALSE(recs.empty());
    line = sourceLine(unitFile("ozkLib"), "\"invalid verbose level: %d");
    EXPECT_EQ(recs.front(), "<11>|ferryService: ERROR: ozkLib:ozkArgParse:" + std::to_string(line) +
                                " invalid verbose level: -1. valid verbose level should be in the range [0, 3]");
    EXPECT_TRUE(has(recs, "<11>|ferryService: ERROR: ozkLib:ozkConfInit:" +
                              std::to_string(sourceLine(unitFile("ozkLib"), "\"failed to parse arguments")) +
                              " failed to parse arguments"));
}
