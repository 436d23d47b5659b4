// The quenta binary without a module: usage errors, help, outside text shown
// visibly, and the devices that cannot be opened (exit 3 before the library
// is asked anything).
#include "SIM_Pty.h"
#include "SIM_SimulatedModule.h"
#include "ToolTestSupport.h"

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>

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
        // Outside text is shown with visible controls.
        {{"bad\x1b[2Jcmd"}, "unknown command 'bad\\x1b[2Jcmd'"},
        {{"--x\r\n"}, "unknown option '--x\\x0d\\x0a'"},
        {{"search", "extra\x07"}, "takes no argument 'extra\\x07'"},
    };
    for (const auto& testCase : c_aCases) {
        const RunS run = runTool(testCase.m_vecArgs);
        SCOPED_TRACE(testCase.m_szMessage);
        EXPECT_EQ(2, run.m_nExit);
        EXPECT_TRUE(run.m_strOut.empty()) << run.m_strOut;
        EXPECT_TRUE(contains(run.m_strErr, testCase.m_szMessage)) << run.m_strErr;
        EXPECT_TRUE(contains(run.m_strErr, "Try 'quenta --help'")) << run.m_strErr;
        EXPECT_EQ(std::string::npos, run.m_strErr.find_first_of("\r\x1b\x07")) << run.m_strErr;

        std::vector<std::string> vecJson = testCase.m_vecArgs;
        vecJson.insert(vecJson.begin(), "--json");
        const RunS json = runTool(vecJson);
        EXPECT_EQ(2, json.m_nExit);
        EXPECT_EQ(0u, json.m_strOut.find("{\"ok\":false,\"exit\":2,\"error\":\"quenta: "))
            << json.m_strOut;
        // JSON doubles each backslash.
        EXPECT_TRUE(contains(json.m_strOut,
                             std::regex_replace(testCase.m_szMessage, std::regex(R"(\\)"), "$&$&")))
            << json.m_strOut;
        EXPECT_EQ(1, std::count(json.m_strOut.begin(), json.m_strOut.end(), '\n'));
    }
}

TEST(QuentaToolUsage, WithoutACommandTheUsageGoesToStandardErrorWithExitTwo)
{
    RunS run = runTool({});
    EXPECT_EQ(2, run.m_nExit);
    EXPECT_EQ("", run.m_strOut);
    EXPECT_EQ(0u, run.m_strErr.find("Usage: quenta [OPTIONS] COMMAND")) << run.m_strErr;

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
        {{"-h"}, {"Usage: quenta [OPTIONS] COMMAND"}, {"--probe", "--list"}},
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

// What the log routes of a file are and how they are refused is the
// definition loader's; here the tool's exit code and its reason.
TEST(QuentaToolDebugDef, ADefinitionFileThatCannotBeReadExitsTwoWithTheReason)
{
    TempDirC dir;
    ASSERT_EQ(0, ::mkfifo((dir / "fifo.def").c_str(), 0600));
    const std::pair<std::string, std::string> c_aCases[] = {
        {dir / "", dir / ": Is a directory"},
        {dir / "fifo.def", dir / "fifo.def: Is a FIFO, not a regular file"},
        {dir / "d\x1b.def", dir / "d\\x1b.def: No such file or directory"},
    };
    for (const auto& testCase : c_aCases) {
        SCOPED_TRACE(testCase.first);
        const RunS run = runTool({"--debug-def", testCase.first, "ports"});
        EXPECT_EQ(2, run.m_nExit);
        EXPECT_EQ("", run.m_strOut);
        EXPECT_EQ("quenta: cannot read the debug definition file " + testCase.second + "\n",
                  run.m_strErr);
    }
}

// Every module command meets a device that cannot be opened with exit 3
// before the library is asked anything, and says what to do about it.
TEST(QuentaToolPort, ADeviceThatCannotBeOpenedExitsThreeWithWhatToDo)
{
    QUENTA::SIM::PtyC pty;
    ASSERT_TRUE(pty.open());
    const int nHolder = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nHolder, 0);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    const std::string c_strMissing = "quenta: cannot open /nonexistent/tty (COM8:): No such file";
    const std::string c_strWhat = "use --port DEVICE or set QUENTA_PORT_COM8";
    const proctest::EnvT c_vecNone = {{"QUENTA_PORT_COM8", "/nonexistent/tty"}};
    const struct
    {
        std::vector<std::string> m_vecArgs;
        proctest::EnvT m_vecEnv;
        std::vector<std::string> m_vecShown;
    } c_aCases[] = {
        {{"search"}, c_vecNone, {c_strMissing, c_strWhat}},
        {{"pair", "X"}, c_vecNone, {c_strMissing, c_strWhat}},
        {{"unpair"}, c_vecNone, {c_strMissing, c_strWhat}},
        {{"data-mode"}, c_vecNone, {c_strMissing, c_strWhat}},
        {{"open"}, c_vecNone, {c_strMissing, c_strWhat}},
        {{"paired", "--port", "/nonexistent/tty"}, {}, {c_strMissing, c_strWhat}},
        {{"paired", "--port", "/dev/null"}, {}, {"it is not a serial device"}},
        {{"paired", "--port", "/nonexistent/a\rb"},
         {},
         {"cannot open /nonexistent/a\\x0db (COM8:)"}},
        // A screenful at most, whatever came in.
        {{"paired", "--port", "/nonexistent/" + std::string(131000, 'x')},
         {},
         {"/nonexistent/xxx"}},
        {{"paired", "--port", pty.slavePath()},
         {},
         {"cannot open " + pty.slavePath() + " (COM8:): in use", "another program using it?"}},
    };
    for (const auto& testCase : c_aCases) {
        std::vector<std::string> vecArgs = testCase.m_vecArgs;
        SCOPED_TRACE(vecArgs[0] + " " + vecArgs.back().substr(0, 40));
        RunS run = runTool(vecArgs, testCase.m_vecEnv);
        EXPECT_EQ(3, run.m_nExit);
        EXPECT_EQ("", run.m_strOut);
        EXPECT_LT(run.m_strErr.size(), 1000u);
        EXPECT_EQ(std::string::npos, run.m_strErr.find_first_of("\r\x1b\x07")) << run.m_strErr;
        for (const std::string& strShown : testCase.m_vecShown) {
            EXPECT_TRUE(contains(run.m_strErr, strShown)) << run.m_strErr;
        }
        vecArgs.insert(vecArgs.begin(), "--json");
        run = runTool(vecArgs, testCase.m_vecEnv);
        EXPECT_EQ(3, run.m_nExit);
        EXPECT_EQ(0u, run.m_strOut.find("{\"ok\":false,\"exit\":3,\"error\":\"quenta: cannot "))
            << run.m_strOut;
    }
    close(nHolder);
}

// A user who may not open the device learns its owner, group and mode, and
// is pointed at a group only where the group may read and write; one who may
// runs as root would.
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
        std::string m_strHint; // a group is suggested where it may read and write
    } c_aCases[] = {
        {0600, 0, "it is root:root 0600, which only root may open; ask for access"},
        {0660, gidFree,
         "it is root:" + strFree + " 0660; ask for access or run as a user in group " + strFree},
        {0640, gidFree, "it is root:" + strFree + " 0640, which only root may open"},
    };
    const auto asUser = [&](const std::string& strPort) {
        return proctest::runProcess({"/usr/bin/setpriv", "--reuid=61998", "--regid=61998",
                                     "--clear-groups", "--", dir / "quenta", "--port", strPort,
                                     "paired"},
                                    {{"HOME", dir.path()}}, 30000);
    };
    for (const auto& testCase : c_aCases) {
        SCOPED_TRACE(testCase.m_strHint);
        ASSERT_EQ(0, ::chown(strDevice.c_str(), 0, testCase.m_gid));
        ASSERT_EQ(0, ::chmod(strDevice.c_str(), testCase.m_mode));
        const RunS run = asUser(strDevice);
        EXPECT_EQ(3, run.m_nExit);
        EXPECT_TRUE(contains(run.m_strErr, "Permission denied \xe2\x80\x94 " + testCase.m_strHint))
            << run.m_strErr;
        EXPECT_EQ(testCase.m_mode == 0660, contains(run.m_strErr, "usermod")) << run.m_strErr;
        EXPECT_FALSE(contains(run.m_strErr, "dialout")) << run.m_strErr;
    }
    // Given access, the same user runs as root would, with a home it cannot
    // write to.
    QUENTA::SIM::SimulatedModuleC module;
    ASSERT_TRUE(module.start());
    module.setLineSettings(921600, true);
    module.setMode(QUENTA::SIM::SM_COMMAND);
    ASSERT_EQ(0, ::chmod(module.slavePath().c_str(), 0666));
    const RunS run = asUser(module.slavePath());
    EXPECT_EQ(0, run.m_nExit) << run.m_strErr;
}

} // namespace
