// logcheck end to end: the tool run under Wine on written configuration
// files, its answers held against what the log manager then really writes.
#include "ConditionGrammar.h"
#include "DefaultLogManager.h"
#include "LogConfiguration.h"
#include "LogSettings.h"
#include "Process.h"
#include "UdpCollector.h"

#include <winsock2.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace output_test;

namespace {

struct ToolRun {
    DWORD code = 0xFFFFFFFF;
    std::string out;
    bool has(const std::string& line) const
    {
        return out.find(line + "\r\n") != std::string::npos ||
               out.find(line + "\n") != std::string::npos;
    }
};

ToolRun logcheck(const std::wstring& arguments)
{
    const testsupport::ProcessResult result = testsupport::runProcess(
        testsupport::quoted(binaryDir().wstring() + L"\\tools\\logcheck\\logcheck.exe") + L" " + arguments);
    return ToolRun{result.exitCode, result.output};
}

// The line the trace printed for a section ("    line: ...").
std::string tracedLine(const ToolRun& run, const std::string& section)
{
    const size_t at = run.out.find("    line: ", run.out.find("[" + section + "] "));
    if (at == std::string::npos)
        return "(none)";
    const size_t begin = at + 10;
    return run.out.substr(begin, run.out.find_first_of("\r\n", begin) - begin);
}

// logcheck reads the Log key and "logCfg.Ini" as the manager does, with
// debugging on.
class LogCheckTest : public LogSettingsTest {
protected:
    void SetUp() override
    {
        LogSettingsTest::SetUp();
        setDebug(1);
    }
    std::string logFile(const wchar_t* name) { return readFile(logFolder() + L"\\" + name); }
    bool logExists(const wchar_t* name) { return exists(logFolder() + L"\\" + name); }
    std::string logPath(const char* name) { return narrow(logFolder()) + "\\" + name; }
};

const char routingIni[] =
    "[Main]\r\ntype=file\r\nfilename=LogCheckMain.log\r\nfilter=*.Info ~kwAgent.Info\r\nformat=%l "
    "%f %m\r\n"
    "[Kw]\r\ntype=File\r\nfilename=LogCheckKw.<activity>.log\r\nfilter=kwAgent.Debug\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[Install]\r\ntype=file\r\nfilename=LogCheckInstall.log\r\n"
    "condition=<activity>==\"zuInstall\" or <activity>==\"zuUninstall\"\r\n"
    "[Off]\r\ntype=file\r\nenabled=False\r\nfilename=LogCheckOff.log\r\n"
    "[Nameless]\r\ntype=file\r\n"
    "[Broken]\r\ntype=file\r\nfilename=LogCheckBroken.log\r\ncondition=<activity>=\"zuAgent\"\r\n"
    "[Small]\r\ntype=file\r\nfilename=LogCheckSmall.log\r\nmaxsize=5\r\nfilter=kw."
    "Warning\r\nformat=%m\r\n"
    "[Burst]\r\ntype=file\r\nfilename=LogCheckBurst.log\r\nwritedelay=5000\r\nfilter=kwAgent."
    "Debug\r\nformat=%m\r\n";

TEST_F(LogCheckTest, CleanFileLintsWithoutProblems)
{
    // The file the manager reads is the default.
    writeIni("[Main]\r\ntype=file\r\nfilename=LogCheckMain.log\r\nfilter=*.Info ~kwAgent.Info\r\n"
             "[Collector]\r\ntype=syslog\r\nserver=127.0.0.1\r\nport=5514\r\n"
             "condition=<activity>==\"zuAgent\"\r\n[Debugger]\r\ntype=outputdebugstring\r\n"
             "[Default]\r\ntype=syslog\r\nserver=127.0.0.2\r\n"
             "[Six]\r\ntype=syslog\r\nserver=::1\r\n[Named]\r\ntype=syslog\r\nserver=loghost\r\n"
             "[Relp]\r\ntype=syslog\r\nserver=loghost\r\ntransport=RELP\r\nmessage=rfc5424\r\n"
             "queue=64\r\n[Burst]\r\ntype=file\r\nfilename=LogCheckBurst.log\r\nwritedelay= 200\r\n");
    const ToolRun run = logcheck(L"lint");
    EXPECT_EQ(0u, run.code) << run.out;
    EXPECT_TRUE(
        run.has("[Main] file \"LogCheckMain.log\" (now " + logPath("LogCheckMain.log") +
                "), rotated above 2097152 bytes; every component up to Info, except components "
                "beginning \"kwAgent\" up to Info"))
        << run.out;
    EXPECT_TRUE(run.has(
        "[Collector] syslog to 127.0.0.1:5514; when <activity>==\"zuAgent\"; every record"));
    EXPECT_TRUE(run.has("[Debugger] debugger output; every record"));
    EXPECT_TRUE(run.has("[Default] syslog to 127.0.0.2:514; every record"));
    EXPECT_TRUE(run.has("[Six] syslog to ::1:514; every record"));
    // A name is looked up by a sender, off the caller's thread.
    EXPECT_TRUE(run.has("[Named] syslog to loghost:514, queued (bound 262144 bytes); every record"))
        << run.out;
    EXPECT_TRUE(run.has(
        "[Relp] syslog relp rfc5424 to loghost:2514, queued (bound 65536 bytes); every record"))
        << run.out;
    EXPECT_TRUE(run.has("[Burst] file \"LogCheckBurst.log\" (now " + logPath("LogCheckBurst.log") +
                        "), rotated above 2097152 bytes, written in the background within 200 ms; every "
                        "record"))
        << run.out;
    EXPECT_TRUE(run.has("no problems"));
}

TEST_F(LogCheckTest, LintNamesEveryProblem)
{
    const std::wstring path = freshFolder(L"logcheck") + L"\\problems.ini";
    ASSERT_TRUE(writeFile(
        path,
        "[Broken]\r\ntype=file\r\nfilename=a.log\r\nFileName=b.log\r\n"
        "condition=<activity>==\"zuAgent\" and <actvity>=\"x\"\r\nfilter=Info zu.Verbose\r\n"
        "maxsize=12abc\r\ncolour=red\r\n"
        "[Net]\r\ntype=syslog\r\nserver=\r\nport=70000\r\n"
        "[Quiet]\r\ntype=outputdebugstring\r\nenabled=FALSE\r\nfilter=~*.Debug\r\n"
        "[Never]\r\ntype=outputdebugstring\r\ncondition=<level>==\"x\"\r\n"
        "[Loud]\r\ntype=outputdebugstring\r\nenabled=no\r\n"
        "[Typo]\r\ntyp=file\r\n[Other]\r\ntype=files\r\n[Nameless]\r\ntype=file\r\n"
        "[Outside]\r\ntype=file\r\nfilename=..\\x.log\r\n"
        "[Stream]\r\ntype=syslog\r\nserver=loghost\r\ntransport=sctp\r\n"
        "[Tls]\r\ntype=syslog\r\nserver=loghost\r\ntransport=tcp\r\nca=ca.pem\r\n"
        "[Form]\r\ntype=syslog\r\nserver=::1\r\ntransport=tcp\r\nmessage=json\r\n"
        "servername=x\r\n"
        "[Slow]\r\ntype=file\r\nfilename=s.log\r\nwritedelay=2s\r\n"
        "[Long]\r\ntype=file\r\nfilename=l.log\r\nwritedelay=4294967496\r\n"));
    const ToolRun run = logcheck(L"lint \"" + path + L"\"");
    EXPECT_EQ(1u, run.code) << run.out;
    const std::string file = narrow(path);
    for (const char* expected :
         {"Broken: key \"FileName\" is given twice: the first (\"a.log\") wins",
          "Broken: key \"colour\" is read by no section type",
          "Broken: \"maxsize\" value \"12abc\" is not a number: it counts as 12",
          "Broken: condition does not parse (it stops at column 37, at \"x\"): it is false, the "
          "section takes no record",
          "Broken: filter token \"Info\" has no dot: it matches nothing",
          "Broken: filter token \"zu.Verbose\": \"Verbose\" is no level name, so it counts as "
          "Debug",
          "Net: \"port\" value \"70000\" is cut to 4464",
          "Net: server \"\" names no collector: nothing is sent",
          "Quiet: disabled by \"enabled=FALSE\"",
          "Quiet: filter \"~*.Debug\" has no pattern that admits a record: the section takes no "
          "record",
          "Never: condition refers to <level>, which the log properties never hold (activity, "
          "debugEnable, dt, logdir): it equals nothing",
          "Never: condition is always false: the section takes no record",
          "Loud: \"enabled=no\" leaves the section enabled: only 0 and false disable it",
          "Typo: key \"typ\" is read by no section type",
          "Typo: no \"type\": the section is skipped",
          "Other: unknown type \"files\": the section writes nothing",
          "Nameless: file section without \"filename\": it writes nothing",
          "Outside: file name \"..\\x.log\" climbs out of the log folder: it writes nothing, "
          "the log files stay in the log folder",
          "Stream: transport \"sctp\" is none of udp, tcp, tls, relp, relp-tls: the section sends "
          "nothing",
          "Tls: key \"ca\" is read only by the tls and relp-tls transports",
          "Form: message \"json\" is neither bsd nor rfc5424: the section sends nothing",
          "Slow: writedelay \"2s\" is not from 0 to 10000 (milliseconds): the section writes "
          "nothing",
          "Long: writedelay \"4294967496\" is not from 0 to 10000 (milliseconds): the section "
          "writes nothing"})
        EXPECT_TRUE(run.has(file + ":" + expected)) << expected << "\n" << run.out;
    EXPECT_TRUE(run.has("23 problem(s)"));

    const ToolRun json = logcheck(L"lint --json \"" + path + L"\"");
    EXPECT_EQ(1u, json.code);
    EXPECT_NE(std::string::npos, json.out.find("{\"section\":\"Net\",\"message\":\"\\\"port\\\" "
                                               "value \\\"70000\\\" is cut to 4464\"}"))
        << json.out;

    EXPECT_EQ(2u, logcheck(L"lint \"" + path + L".missing\"").code);
}

// Each traced decision against what --write then leaves in the log folder.
TEST_F(LogCheckTest, TraceAgreesWithTheManager)
{
    writeIni(routingIni);
    ToolRun run =
        logcheck(L"trace --component kwAgentUpdate --level Info --message \"one two\" --write");
    EXPECT_EQ(0u, run.code) << run.out;
    EXPECT_TRUE(run.has("configuration: " + narrow(iniPath_)));
    EXPECT_TRUE(run.has(
        "[Main] leaves it: filter \"*.Info ~kwAgent.Info\" excludes it by \"~kwAgent.Info\""))
        << run.out;
    EXPECT_TRUE(run.has("[Kw] takes it: filter \"kwAgent.Debug\" admits it by \"kwAgent.Debug\""));
    EXPECT_TRUE(run.has("    to:   file " + logPath("LogCheckKw.zuAgent.log") +
                        " (0 bytes, limit 2097152; no rotation)"));
    EXPECT_TRUE(run.has(
        "[Install] leaves it: condition false: <activity> (\"zuAgent\") == \"zuInstall\" is "
        "false, <activity> (\"zuAgent\") == \"zuUninstall\" is false"));
    EXPECT_TRUE(run.has("[Off] leaves it: disabled by \"enabled=False\""));
    EXPECT_TRUE(run.has("[Nameless] takes it, writes nothing: no filter"));
    EXPECT_TRUE(run.has("    to:   no file: \"filename\" or \"logdir\" is missing or too long, "
                        "or \"writedelay\" is refused"));
    // Queued for longer than the program runs: its exit writes the line.
    EXPECT_TRUE(run.has("    to:   file " + logPath("LogCheckBurst.log") +
                        " (0 bytes, limit 2097152; no rotation), written by a background writer "
                        "within 5000 ms"))
        << run.out;
    EXPECT_EQ("one two\r\n", logFile(L"LogCheckBurst.log"));
    EXPECT_TRUE(
        run.has("[Broken] leaves it: condition false: does not parse (it stops at column 12, at "
                "\"zuAgent\")"));
    EXPECT_TRUE(run.has("[Small] leaves it: filter \"kw.Warning\": no pattern admits it"));
    const std::string line = tracedLine(run, "Kw");
    EXPECT_NE(std::string::npos, line.find(" logcheck:")) << line;
    EXPECT_EQ(line + "\r\n", logFile(L"LogCheckKw.zuAgent.log"));
    for (const wchar_t* untouched :
         {L"LogCheckMain.log", L"LogCheckInstall.log", L"LogCheckOff.log", L"LogCheckBroken.log",
          L"LogCheckSmall.log"})
        EXPECT_FALSE(logExists(untouched)) << narrow(untouched);

    run = logcheck(L"trace --component OrnShExt --level warn --message two --write");
    EXPECT_TRUE(
        run.has("[Main] takes it: filter \"*.Info ~kwAgent.Info\" admits it by \"*.Info\""));
    EXPECT_EQ("Warning OrnShExt two", tracedLine(run, "Main"));
    EXPECT_EQ("Warning OrnShExt two\r\n", logFile(L"LogCheckMain.log"));

    // Without --write nothing is written; with it, the line that crosses the
    // limit rotates the file away.
    run = logcheck(L"trace --component kwAgent --level 3 --message rotated");
    EXPECT_TRUE(run.has("    to:   file " + logPath("LogCheckSmall.log") +
                        " (0 bytes, limit 5; this line makes it rotate)"))
        << run.out;
    EXPECT_FALSE(logExists(L"LogCheckSmall.log"));
    logcheck(L"trace --component kwAgent --level 3 --message rotated --write");
    EXPECT_FALSE(logExists(L"LogCheckSmall.log"));
    EXPECT_EQ(1u, listFolder(logFolder(), L"LogCheckSmall.*.cab").size());
}

TEST_F(LogCheckTest, TraceFollowsTheDebugSwitch)
{
    writeIni(routingIni);
    setDebug(0);
    ToolRun run = logcheck(L"trace --component OrnShExt --level Debug");
    EXPECT_EQ(1u, run.code);
    EXPECT_TRUE(run.has(
        "dropped: the manager drops Debug records while debugEnable is 0; no section sees it"));

    // The file is ignored while debugging is off: the built-in table routes.
    run = logcheck(L"trace --component OrnShExt --level Notice --message builtin --write --json");
    EXPECT_EQ(0u, run.code) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\"configuration\":\"built-in table\"")) << run.out;
    EXPECT_NE(std::string::npos,
              run.out.find("{\"name\":\"2\",\"taken\":true,\"decision\":\"filter "
                           "\\\"*.Notice\\\" admits it by \\\"*.Notice\\\"\""));
    const std::string notices = logFile(L"zuNotices.log");
    EXPECT_NE(std::string::npos, notices.find(" builtin\r\n")) << notices;
    EXPECT_FALSE(logExists(L"LogCheckMain.log"));

    // Named configuration and properties; --write refuses them.
    run = logcheck(L"trace --component OrnShExt --level Info --ini \"" + iniPath_ +
                   L"\" --property ACTIVITY=zuUninstall");
    EXPECT_TRUE(run.has(
        "[Install] takes it: condition true: <activity> (\"zuUninstall\") == \"zuInstall\" is "
        "false, <activity> (\"zuUninstall\") == \"zuUninstall\" is true; no filter"))
        << run.out;
    EXPECT_EQ(2u, logcheck(L"trace --component a --level 1 --builtin --write").code);
    for (const wchar_t* level : {L"Verbose", L"8"})
        EXPECT_EQ(2u, logcheck(std::wstring(L"trace --component a --level ") + level).code);
}

TEST_F(LogCheckTest, TracedSyslogLineIsTheDatagramsText)
{
    Collector collector;
    ASSERT_TRUE(collector.bound());
    const std::string port = std::to_string(collector.port());
    writeIni("[Collector]\r\ntype=syslog\r\nserver=127.0.0.1\r\nport=" + port +
             "\r\nformat=%f %l %m\r\n[Named]\r\ntype=syslog\r\nserver=localhost\r\nport=9\r\n");

    const ToolRun run = logcheck(L"trace --component zuCpLib --level 4 --message datagram --write");
    EXPECT_TRUE(run.has("    to:   syslog 127.0.0.1:" + port)) << run.out;
    EXPECT_TRUE(run.has("    to:   syslog udp localhost:9, queued (bound 262144 bytes) and sent by "
                        "a background sender"))
        << run.out;
    const std::string datagram = collector.receive();
    ASSERT_GE(datagram.size(), 25u) << datagram;
    EXPECT_EQ("zuCpLib Warning datagram", tracedLine(run, "Collector"));
    EXPECT_EQ(" zuCpLib Warning datagram", datagram.substr(datagram.size() - 25)) << datagram;
}

TEST(LogCheckFormat, PrintsTheFormattersLine)
{
    const ToolRun run = logcheck(L"format \"%l|%f|%m|%P\" --component abc --level 3 --message hi");
    EXPECT_EQ(0u, run.code);
    EXPECT_TRUE(run.has("Error|abc|hi|logcheck")) << run.out;
}

// The analysis parses with the same rules: it answers as the evaluator does
// and says where a parse stopped.
TEST(ConditionAnalysis, AgreesWithTheEvaluator)
{
    LogUtils::PropertyMap map{{L"activity", L"zuAgent"}, {L"dt", L"1"}};
    LogUtils::LogPropertiesOnMapImpl properties(&map);
    const struct {
        const wchar_t* condition;
        bool parsed;
        size_t stop;
    } cases[] = {
        {L"<activity>==\"zuAgent\"", true, 0},
        {L"not (<activity>==\"zuInstall\" or <dt>==\"1\")", true, 0},
        {L"\"x\"==\"x\"or\"y\"==\"z\"", true, 0},
        {L"<nothing>==<nothing>", true, 0},
        {L"true xyz", false, 5},
        {L"true and", false, 8},
        {L"<activity>=\"zuAgent\"", false, 11},
        {L"not not true", false, 4},
        {L"TRUE", false, 0},
        {L"", false, 0},
        {L"\"a\"==\"a\"==\"a\"", false, 8},
        {L"(true", false, 5},
    };
    for (const auto& c : cases) {
        const ConditionAnalysis analysis = analyzeConditionText(c.condition, &properties);
        EXPECT_EQ(evaluateConditionText(c.condition, &properties), analysis.value)
            << narrow(c.condition);
        EXPECT_EQ(c.parsed, analysis.parsed) << narrow(c.condition);
        if (!c.parsed) {
            EXPECT_EQ(c.stop, analysis.stop) << narrow(c.condition);
        }
    }

    const ConditionAnalysis analysis = analyzeConditionText(
        L"<dt>==\"1\" and (<Activity>==<nothing> or \"a\"==<dt>)", &properties);
    EXPECT_EQ((std::vector<std::wstring>{L"dt", L"Activity", L"nothing"}), analysis.propertyNames);
    ASSERT_EQ(3u, analysis.comparisons.size());
    const ConditionComparison& second = analysis.comparisons[1];
    EXPECT_EQ(L"Activity", second.left.property);
    EXPECT_EQ(L"zuAgent", second.left.value);
    EXPECT_EQ(L"nothing", second.right.property);
    EXPECT_FALSE(second.right.isSet);
    const ConditionComparison& third = analysis.comparisons[2];
    EXPECT_EQ(L"", third.left.property);
    EXPECT_EQ(L"a", third.left.value);
    EXPECT_EQ(L"dt", third.right.property);
    EXPECT_FALSE(third.equal);
    EXPECT_TRUE(analyzeConditionText(nullptr, &properties).value);
}

}  // namespace
