// The quenta binary without a module: usage errors, help, version, the port
// listing, and the devices that cannot be opened (exit 3 before the library
// is asked anything).
#include "SIM_Pty.h"
#include "quenta.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct RunS
{
    int m_nExit = -1; // -1: killed after the time-out
    std::string m_strOut;
    std::string m_strErr;
};

std::string toolPath()
{
    const char* pszDir = std::getenv("QUENTA_TEST_BINARY_DIR");
    return std::string(pszDir != nullptr ? pszDir : ".") + "/tools/quenta";
}

// Runs the tool with standard input from /dev/null and the given variables
// added to (or, with an empty value, removed from) the environment.
RunS runTool(const std::vector<std::string>& vecArgs,
             const std::vector<std::pair<std::string, std::string>>& vecEnv = {})
{
    std::vector<std::string> vecEnvStrings;
    for (char** ppszVar = environ; *ppszVar != nullptr; ++ppszVar) {
        const std::string strVar = *ppszVar;
        if (strVar.rfind("QUENTA_PORT_COM8=", 0) != 0) {
            vecEnvStrings.push_back(strVar);
        }
    }
    for (const auto& var : vecEnv) {
        if (!var.second.empty()) {
            vecEnvStrings.push_back(var.first + "=" + var.second);
        }
    }
    std::vector<std::string> vecArgv = {toolPath()};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    std::vector<char*> vecArgvPtrs, vecEnvPtrs;
    for (std::string& str : vecArgv) {
        vecArgvPtrs.push_back(&str[0]);
    }
    for (std::string& str : vecEnvStrings) {
        vecEnvPtrs.push_back(&str[0]);
    }
    vecArgvPtrs.push_back(nullptr);
    vecEnvPtrs.push_back(nullptr);

    int aOut[2], aErr[2];
    EXPECT_EQ(0, pipe2(aOut, O_CLOEXEC));
    EXPECT_EQ(0, pipe2(aErr, O_CLOEXEC));
    const pid_t pid = fork();
    if (pid == 0) {
        const int nNull = open("/dev/null", O_RDONLY);
        dup2(nNull, STDIN_FILENO);
        dup2(aOut[1], STDOUT_FILENO);
        dup2(aErr[1], STDERR_FILENO);
        execve(vecArgvPtrs[0], vecArgvPtrs.data(), vecEnvPtrs.data());
        _exit(127);
    }
    close(aOut[1]);
    close(aErr[1]);
    RunS run;
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd aFds[2] = {{aOut[0], POLLIN, 0}, {aErr[0], POLLIN, 0}};
    std::string* apTargets[2] = {&run.m_strOut, &run.m_strErr};
    int nOpen = 2;
    while (nOpen > 0 && std::chrono::steady_clock::now() < tDeadline) {
        if (poll(aFds, 2, 100) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            char aBuffer[4096];
            if (aFds[i].fd >= 0 && aFds[i].revents != 0) {
                const ssize_t nRead = read(aFds[i].fd, aBuffer, sizeof(aBuffer));
                if (nRead > 0) {
                    apTargets[i]->append(aBuffer, static_cast<size_t>(nRead));
                } else {
                    close(aFds[i].fd);
                    aFds[i].fd = -1;
                    --nOpen;
                }
            }
        }
    }
    for (pollfd& fd : aFds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    if (nOpen > 0) {
        kill(pid, SIGKILL);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    run.m_nExit = nOpen == 0 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return run;
}

bool contains(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}

TEST(QuentaToolUsage, UsageErrorsExitTwoWithAMessageAndNoResult)
{
    const struct
    {
        std::vector<std::string> m_vecArgs;
        const char* m_szMessage;
    } c_aCases[] = {
        {{}, "no command given"},
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
    };
    for (const auto& testCase : c_aCases) {
        const RunS run = runTool(testCase.m_vecArgs);
        SCOPED_TRACE(testCase.m_szMessage);
        EXPECT_EQ(2, run.m_nExit);
        EXPECT_TRUE(run.m_strOut.empty()) << run.m_strOut;
        EXPECT_TRUE(contains(run.m_strErr, testCase.m_szMessage)) << run.m_strErr;
        EXPECT_TRUE(contains(run.m_strErr, "Try 'quenta --help'")) << run.m_strErr;
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

TEST(QuentaToolUsage, CommandHelpNeedsNoArgumentsAndTouchesNoDevice)
{
    const RunS run = runTool({"pair", "--help", "--port", "/nonexistent/tty"});
    EXPECT_EQ(0, run.m_nExit);
    EXPECT_TRUE(contains(run.m_strOut, "Usage: quenta [OPTIONS] pair NAME")) << run.m_strOut;
    EXPECT_TRUE(run.m_strErr.empty()) << run.m_strErr;
}

TEST(QuentaToolUsage, VersionComesFromTheLibraryHeader)
{
    const std::string strVersion = std::to_string(QUENTA_VERSION_MAJOR) + "." +
                                   std::to_string(QUENTA_VERSION_MINOR) + "." +
                                   std::to_string(QUENTA_VERSION_PATCH);
    EXPECT_EQ("quenta " + strVersion + "\n", runTool({"--version"}).m_strOut);
    EXPECT_EQ("{\"version\":\"" + strVersion + "\"}\n", runTool({"--json", "--version"}).m_strOut);
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

} // namespace
