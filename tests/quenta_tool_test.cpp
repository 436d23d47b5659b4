// The quenta binary without a module: usage errors, help, version, the port
// listing, and the devices that cannot be opened (exit 3 before the library
// is asked anything).
#include "SIM_Pty.h"
#include "ToolTestSupport.h"
#include "quenta.h"

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using proctest::RunS;
using tooltest::contains;
using tooltest::runTool;
using tooltest::TempDirC;

TEST(QuentaToolUsage, UsageErrorsExitTwoWithAMessageAndUnderJsonTheFailureObject)
{
    const struct
    {
        std::vector<std::string> m_vecArgs;
        const char* m_szMessage;
    } c_aCases[] = {
        {{"bogus"}, "unknown command 'bogus'"},
        {{"--bogus", "search"}, "unknown option '--bogus'"},
        {{"search", "-x"}, "unknown option '-x'"},
        {{"pair"}, "'pair' needs NAME"},
        {{"pair", "a", "b"}, "takes no argument 'b'"},
        {{"search", "extra"}, "takes no argument 'extra'"},
        {{"pair", ""}, "non-empty NAME"},
        {{"search", "--port"}, "'--port' needs a DEVICE"},
        {{"search", "--port="}, "non-empty DEVICE"},
        {{"--json=yes", "search"}, "'--json' takes no value"},
        {{"shell", "paired"}, "'shell' runs alone"},
        {{"open", "paired"}, "'open' must be the last command"},
        {{"search", "pair"}, "'pair' needs NAME"},
        {{"at", std::string(64, 'A')}, "at most 63 characters"},
        {{"at", "AT\r"}, "no control characters"},
        {{"at", "at*addm"}, "hands the line over to data mode"},
        {{"at", "AT*AMWS=12,1,1,1,0,0"}, "restarts the module"},
        {{"at", "ATP"}, "production mode"},
        {{"at", "AT&F"}, "factory settings"},
        {{"at", "///"}, "escape sequence"},
        {{"paired", "--probe"}, "'--probe' goes with 'ports' alone"},
        {{"--list", "paired"}, "'--list' goes with 'at' alone"},
        {{"at", "--list", "AT"}, "'at --list' takes no LINE"},
    };
    for (const auto& testCase : c_aCases) {
        const RunS run = runTool(testCase.m_vecArgs);
        SCOPED_TRACE(testCase.m_szMessage);
        EXPECT_EQ(2, run.m_nExit);
        EXPECT_TRUE(run.m_strOut.empty()) << run.m_strOut;
        EXPECT_TRUE(contains(run.m_strErr, testCase.m_szMessage)) << run.m_strErr;
        EXPECT_TRUE(contains(run.m_strErr, "Try 'quenta --help'")) << run.m_strErr;

        std::vector<std::string> vecJson = testCase.m_vecArgs;
        vecJson.insert(vecJson.begin(), "--json");
        const RunS json = runTool(vecJson);
        EXPECT_EQ(2, json.m_nExit);
        EXPECT_EQ(0u, json.m_strOut.find("{\"ok\":false,\"exit\":2,\"error\":\"quenta: "))
            << json.m_strOut;
        EXPECT_TRUE(contains(json.m_strOut, testCase.m_szMessage)) << json.m_strOut;
        EXPECT_EQ(1, std::count(json.m_strOut.begin(), json.m_strOut.end(), '\n'));
    }
}

TEST(QuentaToolUsage, HelpListsEveryCommandAndTheExitCodes)
{
    for (const char* szHelp : {"--help", "-h"}) {
        const RunS run = runTool({szHelp});
        EXPECT_EQ(0, run.m_nExit);
        for (const char* szPart :
             {"search", "pair NAME", "unpair", "paired", "data-mode", "open", "ports",
              "--port DEVICE", "--json", "--version", "3  the serial device cannot be opened",
              "4  the module did not answer or refused"}) {
            EXPECT_TRUE(contains(run.m_strOut, szPart)) << szPart;
        }
    }
}

TEST(QuentaToolUsage, WithoutACommandTheUsageGoesToStandardErrorWithExitTwo)
{
    RunS run = runTool({});
    EXPECT_EQ(2, run.m_nExit);
    EXPECT_EQ("", run.m_strOut);
    EXPECT_EQ(0u, run.m_strErr.find("Usage: quenta [OPTIONS] COMMAND")) << run.m_strErr;
    EXPECT_TRUE(contains(run.m_strErr, "\nExit codes:\n")) << run.m_strErr;

    run = runTool({"--json"});
    EXPECT_EQ(2, run.m_nExit);
    EXPECT_EQ("{\"ok\":false,\"exit\":2,\"error\":\"quenta: no command given\"}\n", run.m_strOut);
}

// A command's own options appear in its help alone; no help touches a device.
TEST(QuentaToolUsage, CommandHelpShowsItsOwnOptionsAndTouchesNoDevice)
{
    const struct
    {
        std::vector<std::string> m_vecArgs;
        std::vector<const char*> m_vecShown;
        std::vector<const char*> m_vecNotShown;
    } c_aCases[] = {
        {{"--help"}, {"Usage: quenta [OPTIONS] COMMAND"}, {"--probe", "--list"}},
        {{"pair", "--help"}, {"Usage: quenta [OPTIONS] pair NAME"}, {"--probe", "--list"}},
        {{"ports", "--help"}, {"--probe"}, {"--list"}},
        {{"at", "--help"}, {"--list", "case-sensitive"}, {"--probe"}},
    };
    for (const auto& testCase : c_aCases) {
        SCOPED_TRACE(testCase.m_vecArgs[0]);
        std::vector<std::string> vecArgs = testCase.m_vecArgs;
        vecArgs.insert(vecArgs.end(), {"--port", "/nonexistent/tty"});
        const RunS run = runTool(vecArgs);
        EXPECT_EQ(0, run.m_nExit);
        EXPECT_TRUE(run.m_strErr.empty()) << run.m_strErr;
        for (const char* szShown : testCase.m_vecShown) {
            EXPECT_TRUE(contains(run.m_strOut, szShown)) << szShown;
        }
        for (const char* szNotShown : testCase.m_vecNotShown) {
            EXPECT_FALSE(contains(run.m_strOut, szNotShown)) << szNotShown;
        }
    }
}

// The reference of the library's command lines needs no device, and the
// manual page gives every line of it.
TEST(QuentaToolUsage, AtListsTheLibrarysCommandsAsTheManualPageDoes)
{
    const RunS run = runTool({"at", "--list", "--port", "/nonexistent/tty"});
    EXPECT_EQ(0, run.m_nExit) << run.m_strErr;
    const RunS json = runTool({"--json", "at", "--list"});
    EXPECT_EQ(0u, json.m_strOut.find("{\"commands\":[{\"form\":\"AT\",\"does\":")) << json.m_strOut;

    std::ifstream pageFile(std::string(QUENTA_SOURCE_DIR) + "/man/quenta.1");
    const std::string strPage((std::istreambuf_iterator<char>(pageFile)),
                              std::istreambuf_iterator<char>());
    size_t unForms = 0;
    for (const std::string& strLine : proctest::splitLines(run.m_strOut)) {
        // "  FORM  what it does", or a long form alone on its line.
        if (strLine.size() < 3 || strLine[2] == ' ' || strLine.rfind("  ", 0) != 0) {
            continue;
        }
        const std::string strForm = strLine.substr(2, strLine.find(' ', 2) - 2);
        ++unForms;
        EXPECT_TRUE(contains(strPage, "\n.B " + strForm + "\n") ||
                    contains(strPage, "\n\\fB" + strForm + "\\fR\n"))
            << strForm;
        std::string strJsonForm;
        for (const char cByte : strForm) {
            strJsonForm += cByte == '"' ? std::string("\\\"") : std::string(1, cByte);
        }
        EXPECT_TRUE(contains(json.m_strOut, "{\"form\":\"" + strJsonForm + "\"")) << strForm;
    }
    for (const char* szForm : {"AT*AGI=2,10,15", "AT*ADRDRP=0", "AT*ADNRP=0,1", "AT*ADDM"}) {
        EXPECT_TRUE(contains(run.m_strOut, std::string("  ") + szForm + " ")) << szForm;
    }
    EXPECT_GT(unForms, 20u);
}

TEST(QuentaToolUsage, VersionNamesTheToolAndTheLibraryItUses)
{
    const std::string strVersion = std::to_string(QUENTA_VERSION_MAJOR) + "." +
                                   std::to_string(QUENTA_VERSION_MINOR) + "." +
                                   std::to_string(QUENTA_VERSION_PATCH);
    EXPECT_EQ("quenta " + strVersion + "\nlibquenta " + strVersion + " (linked in)\n",
              runTool({"--version"}).m_strOut);
    EXPECT_EQ("{\"version\":\"" + strVersion + "\",\"library\":\"" + strVersion +
                  " (linked in)\"}\n",
              runTool({"--json", "--version"}).m_strOut);
}

TEST(QuentaToolDebugDef, ADefinitionFileThatCannotBeReadExitsTwoWithTheReason)
{
    TempDirC dir;
    ASSERT_EQ(0, ::mkfifo((dir / "fifo.def").c_str(), 0600));
    std::vector<std::pair<std::string, std::string>> vecCases = {
        {dir / "", "Is a directory"},
        {dir / "fifo.def", "Is a FIFO, not a regular file"},
        {dir / "missing.def", "No such file or directory"},
    };
    if (::geteuid() != 0) {
        std::ofstream(dir / "locked.def") << "LOG * ALL printf\n";
        ::chmod((dir / "locked.def").c_str(), 0);
        vecCases.emplace_back(dir / "locked.def", "Permission denied");
    }
    for (const auto& testCase : vecCases) {
        SCOPED_TRACE(testCase.first);
        const RunS run = runTool({"--debug-def", testCase.first, "ports"});
        EXPECT_EQ(2, run.m_nExit);
        EXPECT_TRUE(run.m_strOut.empty()) << run.m_strOut;
        EXPECT_EQ("quenta: cannot read the debug definition file " + testCase.first + ": " +
                      testCase.second + "\n",
                  run.m_strErr);
    }
}

TEST(QuentaToolDebugDef, AFifoConsumerIsRefusedAndTheCommandRuns)
{
    TempDirC dir;
    ASSERT_EQ(0, ::mkfifo((dir / "consumer").c_str(), 0600));
    std::ofstream(dir / "fifo.def") << "# no reader comes\nLOG * ALL " << dir / "consumer"
                                    << "\n";
    const RunS run = runTool({"--debug-def", dir / "fifo.def", "ports"},
                             {{"QUENTA_STORAGE_ROOT", dir / "root"}});
    EXPECT_EQ(0, run.m_nExit) << "-1 is a tool blocked in opening the FIFO";
    EXPECT_EQ(dir / "fifo.def:2: log route refused: " + dir / "consumer" +
                  ": Is a FIFO, not a regular file\n",
              run.m_strErr);
}

TEST(QuentaToolPorts, NamesTheDeviceThatCom8StandsForAndWhy)
{
    QUENTA::SIM::PtyC pty;
    ASSERT_TRUE(pty.open());
    const std::string strSlave = pty.slavePath();

    RunS run = runTool({"ports", "--port", strSlave});
    EXPECT_EQ(0, run.m_nExit);
    EXPECT_TRUE(contains(run.m_strOut, "COM8: " + strSlave + " (--port)\n")) << run.m_strOut;

    run = runTool({"ports", "--json"}, {{"QUENTA_PORT_COM8", strSlave}});
    EXPECT_EQ(0, run.m_nExit);
    EXPECT_TRUE(contains(run.m_strOut, "\"COM8:\":{\"path\":\"" + strSlave +
                                           "\",\"source\":\"QUENTA_PORT_COM8\",\"exists\":true}"))
        << run.m_strOut;

    run = runTool({"ports"}, {{"QUENTA_PORT_COM8", "/nonexistent/tty"}});
    EXPECT_TRUE(contains(run.m_strOut, "COM8: /nonexistent/tty (QUENTA_PORT_COM8; does not exist)"))
        << run.m_strOut;
}

TEST(QuentaToolPort, MissingDeviceExitsThreeForEveryModuleCommand)
{
    const std::vector<std::vector<std::string>> c_vecCommands = {
        {"search"}, {"pair", "X"}, {"unpair"}, {"paired"}, {"data-mode"}, {"open"}};
    for (std::vector<std::string> vecArgs : c_vecCommands) {
        SCOPED_TRACE(vecArgs[0]);
        vecArgs.insert(vecArgs.end(), {"--port", "/nonexistent/tty"});
        const RunS run = runTool(vecArgs);
        EXPECT_EQ(3, run.m_nExit);
        EXPECT_TRUE(run.m_strOut.empty()) << run.m_strOut;
        EXPECT_TRUE(contains(run.m_strErr, "quenta: cannot open /nonexistent/tty (COM8:): No "
                                           "such file or directory"))
            << run.m_strErr;
        EXPECT_TRUE(contains(run.m_strErr, "use --port DEVICE or set QUENTA_PORT_COM8"));
    }
}

TEST(QuentaToolMessages, OutsideTextIsShownWithVisibleControlsAndCut)
{
    const std::string strLong = "/nonexistent/" + std::string(131000, 'x');
    const struct
    {
        std::vector<std::string> m_vecArgs;
        int m_nExit;
        const char* m_szShown;
    } c_aCases[] = {
        {{"bad\x1b[2Jcmd"}, 2, "unknown command 'bad\\x1b[2Jcmd'"},
        {{"--x\r\n"}, 2, "unknown option '--x\\x0d\\x0a'"},
        {{"search", "extra\x07"}, 2, "takes no argument 'extra\\x07'"},
        {{"paired", "--port", "/nonexistent/a\rb"}, 3, "cannot open /nonexistent/a\\x0db (COM8:)"},
        {{"paired", "--debug-def", "/nonexistent/d\x1b.def"}, 2, "file /nonexistent/d\\x1b.def:"},
        {{"paired", "--port", strLong}, 3, "cannot open /nonexistent/xxx"},
    };
    for (const auto& testCase : c_aCases) {
        SCOPED_TRACE(testCase.m_szShown);
        const RunS run = runTool(testCase.m_vecArgs);
        EXPECT_EQ(testCase.m_nExit, run.m_nExit);
        EXPECT_TRUE(contains(run.m_strErr, testCase.m_szShown)) << run.m_strErr;
        EXPECT_EQ(std::string::npos, run.m_strErr.find_first_of("\r\x1b\x07")) << run.m_strErr;
        // A screenful at most, whatever came in.
        EXPECT_LT(run.m_strErr.size(), 1000u);
    }
}

TEST(QuentaToolPort, TheVariableAndJsonReportTheSameFailure)
{
    const RunS run = runTool({"--json", "paired"}, {{"QUENTA_PORT_COM8", "/nonexistent/com8"}});
    EXPECT_EQ(3, run.m_nExit);
    EXPECT_TRUE(contains(run.m_strErr, "cannot open /nonexistent/com8 (COM8:)")) << run.m_strErr;
    EXPECT_EQ(0u, run.m_strOut.rfind("{\"ok\":false,\"exit\":3,\"error\":\"quenta: cannot open "
                                     "/nonexistent/com8 (COM8:)",
                                     0))
        << run.m_strOut;
}

TEST(QuentaToolPort, ADeviceThatIsNoSerialLineOrIsInUseExitsThree)
{
    RunS run = runTool({"paired", "--port", "/dev/null"});
    EXPECT_EQ(3, run.m_nExit);
    EXPECT_TRUE(contains(run.m_strErr, "it is not a serial device")) << run.m_strErr;

    QUENTA::SIM::PtyC pty;
    ASSERT_TRUE(pty.open());
    const int nHolder = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nHolder, 0);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    run = runTool({"paired", "--port", pty.slavePath()});
    EXPECT_EQ(3, run.m_nExit);
    EXPECT_TRUE(contains(run.m_strErr, "cannot open " + pty.slavePath() + " (COM8:): in use"))
        << run.m_strErr;
    EXPECT_TRUE(contains(run.m_strErr, "is another program using it?"));
    close(nHolder);
}

// A user who may not open the device learns its owner, group and mode, and
// is pointed at a group only where the group may read and write.
TEST(QuentaToolPort, APermissionRefusalNamesOwnerGroupAndMode)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as a user without access";
    }
    TempDirC dir;
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::copy_file(proctest::binaryDir() + "/tools/quenta", dir / "quenta");
    QUENTA::SIM::PtyC pty;
    ASSERT_TRUE(pty.open());
    const std::string strDevice = pty.slavePath();
    gid_t gidFree = 61999;
    while (::getgrgid(gidFree) != nullptr) {
        ++gidFree;
    }
    const std::string strFree = std::to_string(gidFree);
    const struct
    {
        mode_t m_mode;
        gid_t m_gid;
        std::string m_strHint;
        bool m_bGroupSuggested;
    } c_aCases[] = {
        {0600, 0, "it is root:root 0600, which only root may open; ask for access", false},
        {0660, gidFree,
         "it is root:" + strFree + " 0660; ask for access or run as a user in group " + strFree,
         true},
        {0640, gidFree, "it is root:" + strFree + " 0640, which only root may open", false},
    };
    for (const auto& testCase : c_aCases) {
        SCOPED_TRACE(testCase.m_strHint);
        ASSERT_EQ(0, ::chown(strDevice.c_str(), 0, testCase.m_gid));
        ASSERT_EQ(0, ::chmod(strDevice.c_str(), testCase.m_mode));
        const RunS run = proctest::runProcess({"/usr/bin/setpriv", "--reuid=61998", "--regid=61998",
                                               "--clear-groups", "--", dir / "quenta", "--port",
                                               strDevice, "paired"},
                                              {{"HOME", dir.path()}}, 30000);
        EXPECT_EQ(3, run.m_nExit);
        EXPECT_TRUE(contains(run.m_strErr, "Permission denied \xe2\x80\x94 " + testCase.m_strHint))
            << run.m_strErr;
        EXPECT_EQ(testCase.m_bGroupSuggested, contains(run.m_strErr, "usermod")) << run.m_strErr;
        EXPECT_FALSE(contains(run.m_strErr, "dialout")) << run.m_strErr;
    }
}

} // namespace
