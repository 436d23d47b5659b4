// The quenta binary against the simulated module: each case pays for real
// command-mode entries (guard periods of 1.1 s), so they wait on real time.
#include "SIM_SimulatedModule.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace QUENTA::SIM;
using Clock = std::chrono::steady_clock;

namespace {

// The tool as a child process with its standard streams on pipes (standard
// error optionally on a given descriptor, such as a terminal).
class ToolProcessC
{
public:
    ToolProcessC(const std::vector<std::string>& vecArgs, int nErrFd = -1)
    {
        const char* pszDir = std::getenv("QUENTA_TEST_BINARY_DIR");
        std::vector<std::string> vecArgv = {std::string(pszDir != nullptr ? pszDir : ".") +
                                            "/tools/quenta"};
        vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
        std::vector<char*> vecPtrs;
        for (std::string& str : vecArgv) {
            vecPtrs.push_back(&str[0]);
        }
        vecPtrs.push_back(nullptr);
        int aIn[2], aOut[2], aErr[2];
        if (pipe2(aIn, O_CLOEXEC) != 0 || pipe2(aOut, O_CLOEXEC) != 0 ||
            pipe2(aErr, O_CLOEXEC) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(aIn[0], STDIN_FILENO);
            dup2(aOut[1], STDOUT_FILENO);
            dup2(nErrFd >= 0 ? nErrFd : aErr[1], STDERR_FILENO);
            execv(vecPtrs[0], vecPtrs.data());
            _exit(127);
        }
        close(aIn[0]);
        close(aOut[1]);
        close(aErr[1]);
        m_nIn = aIn[1];
        m_aFds[0] = aOut[0];
        m_aFds[1] = aErr[0];
    }

    ~ToolProcessC()
    {
        closeInput();
        finish(0);
    }

    void writeInput(const std::string& strBytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(strBytes.size()),
                  write(m_nIn, strBytes.data(), strBytes.size()));
    }

    void closeInput()
    {
        if (m_nIn >= 0) {
            close(m_nIn);
            m_nIn = -1;
        }
    }

    bool waitForOutput(const std::string& strNeedle, uint32_t ulTimeoutMs)
    {
        const auto tDeadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (m_strOut.find(strNeedle) == std::string::npos) {
            if (Clock::now() >= tDeadline || !pump(tDeadline)) {
                return false;
            }
        }
        return true;
    }

    // Collects the output until the child closes it, then its exit code; -1
    // when it had to be killed after ulTimeoutMs.
    int finish(uint32_t ulTimeoutMs)
    {
        if (m_pid <= 0) {
            return m_nExit;
        }
        const auto tDeadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (Clock::now() < tDeadline && pump(tDeadline)) {
        }
        const bool bClosed = m_aFds[0] < 0 && m_aFds[1] < 0;
        if (!bClosed) {
            kill(m_pid, SIGKILL);
        }
        int nStatus = 0;
        waitpid(m_pid, &nStatus, 0);
        m_pid = -1;
        m_nExit = bClosed && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        for (int& nFd : m_aFds) {
            if (nFd >= 0) {
                close(nFd);
                nFd = -1;
            }
        }
        return m_nExit;
    }

    const std::string& out() const { return m_strOut; }
    const std::string& err() const { return m_strErr; }

private:
    // One round of reading; false once both streams are closed.
    bool pump(Clock::time_point tDeadline)
    {
        if (m_aFds[0] < 0 && m_aFds[1] < 0) {
            return false;
        }
        pollfd aPoll[2] = {{m_aFds[0], POLLIN, 0}, {m_aFds[1], POLLIN, 0}};
        const auto tLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline - Clock::now());
        if (poll(aPoll, 2, static_cast<int>(std::max<long>(0, tLeft.count()))) <= 0) {
            return true;
        }
        std::string* apTargets[2] = {&m_strOut, &m_strErr};
        for (int i = 0; i < 2; ++i) {
            char aBuffer[4096];
            if (aPoll[i].fd >= 0 && aPoll[i].revents != 0) {
                const ssize_t nRead = read(m_aFds[i], aBuffer, sizeof(aBuffer));
                if (nRead > 0) {
                    apTargets[i]->append(aBuffer, static_cast<size_t>(nRead));
                } else {
                    close(m_aFds[i]);
                    m_aFds[i] = -1;
                }
            }
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_nIn = -1;
    int m_aFds[2] = {-1, -1};
    int m_nExit = -1;
    std::string m_strOut;
    std::string m_strErr;
};

const uint32_t c_ulRunMs = 60000;

class QuentaToolSlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SimConfigS config;
        config.m_ulScanMs = 200;
        m_pModule.reset(new SimulatedModuleC(config));
        ASSERT_TRUE(m_pModule->start());
    }

    std::vector<std::string> args(std::vector<std::string> vecArgs)
    {
        vecArgs.insert(vecArgs.begin(), {"--port", m_pModule->slavePath()});
        return vecArgs;
    }

    // Runs the tool to its end; the exit code, standard output and error.
    int run(const std::vector<std::string>& vecArgs, std::string& strOut, std::string& strErr)
    {
        ToolProcessC tool(args(vecArgs));
        tool.closeInput();
        const int nExit = tool.finish(c_ulRunMs);
        strOut = tool.out();
        strErr = tool.err();
        return nExit;
    }

    // Whether a command line starting with strPrefix arrived at or after
    // transcript entry unFirst.
    bool sawCommand(const std::string& strPrefix, size_t unFirst = 0) const
    {
        for (const SimTranscriptEntryS& entry : m_pModule->transcript().entriesFrom(unFirst)) {
            if (entry.m_eKind == EK_RECEIVED_LINE && entry.m_strBytes.rfind(strPrefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<SimulatedModuleC> m_pModule;
    std::string m_strOut;
    std::string m_strErr;
};

TEST_F(QuentaToolSlowTest, SearchListsTheDevicesOfClass7978AsTextAndJson)
{
    EXPECT_EQ(0, run({"search"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("QUENTA-ALPHA\nQUENTA-BRAVO\nQUENTA-CHARLIE\n", m_strOut);
    EXPECT_EQ("", m_strErr); // not a terminal: no progress

    EXPECT_EQ(0, run({"--json", "search"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("{\"devices\":[\"QUENTA-ALPHA\",\"QUENTA-BRAVO\",\"QUENTA-CHARLIE\"]}\n", m_strOut);
}

TEST_F(QuentaToolSlowTest, JsonEscapesWhatTheModuleReports)
{
    m_pModule->setDevices({{"0012f3a1b2c3r", 7978, "Q\"uote\\back", -40},
                           {"0012f3a1b2c5r", 7978, "caf\xc3\xa9 \xe9t\xe9", -50},
                           {"0012f3a1b2c6r", 1234, "other", -60}});
    EXPECT_EQ(0, run({"--json", "search"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("{\"devices\":[\"Q\\\"uote\\\\back\",\"caf\xc3\xa9 \\u00e9t\\u00e9\"]}\n", m_strOut);
}

TEST_F(QuentaToolSlowTest, PairReadBackAndUnpairRoundTrip)
{
    EXPECT_EQ(0, run({"pair", "QUENTA-BRAVO"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("paired with QUENTA-BRAVO\n", m_strOut);
    SimStateS state = m_pModule->state();
    ASSERT_EQ(1u, state.m_mapPeers.count(0));
    EXPECT_EQ("QUENTA-BRAVO", state.m_mapPeers[0].m_strName);

    EXPECT_EQ(0, run({"paired"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("QUENTA-BRAVO\n", m_strOut);
    EXPECT_EQ(0, run({"paired", "--json"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("{\"paired\":\"QUENTA-BRAVO\"}\n", m_strOut);

    m_pModule->modifyState([](SimStateS& simState) { simState.m_unNumberOfPeers = 1; });
    const size_t unMark = m_pModule->transcript().size();
    EXPECT_EQ(0, run({"unpair", "--json"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("{\"ok\":true}\n", m_strOut);
    EXPECT_TRUE(sawCommand("AT*ADNRP=0,", unMark));
    EXPECT_EQ(0u, m_pModule->state().m_unNumberOfPeers);
}

TEST_F(QuentaToolSlowTest, ANameNotFoundExitsFourAndSendsNoPairing)
{
    EXPECT_EQ(4, run({"pair", "NOBODY"}, m_strOut, m_strErr));
    EXPECT_EQ("", m_strOut);
    EXPECT_NE(std::string::npos,
              m_strErr.find("pairing with \"NOBODY\" on " + m_pModule->slavePath() + " (COM8:)"))
        << m_strErr;
    EXPECT_NE(std::string::npos, m_strErr.find("is NOBODY among the devices of `quenta search`?"));
    EXPECT_TRUE(sawCommand("AT*AGI")); // it searched first
    EXPECT_FALSE(sawCommand("AT*ADWDRP"));
}

TEST_F(QuentaToolSlowTest, DataModeHandsOverAndTheNextReadBackEscapesBack)
{
    ASSERT_EQ(0, run({"pair", "QUENTA-ALPHA"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ(0, run({"data-mode"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_TRUE(m_pModule->waitForMode(SM_DATA, 5000));
    const size_t unMark = m_pModule->transcript().size();

    EXPECT_EQ(0, run({"paired"}, m_strOut, m_strErr)) << m_strErr;
    EXPECT_EQ("QUENTA-ALPHA\n", m_strOut);
    bool bEscaped = false;
    for (const SimTranscriptEntryS& entry : m_pModule->transcript().entriesFrom(unMark)) {
        bEscaped |= entry.m_eKind == EK_MODE &&
                    entry.m_strBytes.find("escape sequence") != std::string::npos;
    }
    EXPECT_TRUE(bEscaped);
}

TEST_F(QuentaToolSlowTest, AModuleThatNeverAnswersExitsFourAfterTheAttempts)
{
    m_pModule->setLineSettings(9600, false);
    const auto tStart = Clock::now();
    EXPECT_EQ(4, run({"search"}, m_strOut, m_strErr));
    const auto tTaken = Clock::now() - tStart;
    EXPECT_GE(tTaken, std::chrono::milliseconds(4 * 2400));
    EXPECT_EQ("", m_strOut);
    EXPECT_NE(std::string::npos, m_strErr.find("search on " + m_pModule->slavePath() +
                                               " (COM8:): the module did not answer or refused"))
        << m_strErr;
    EXPECT_NE(std::string::npos, m_strErr.find("powered"));
}

TEST_F(QuentaToolSlowTest, OpenBridgesTheLineBothWaysUntilTheInputEnds)
{
    m_pModule->setLineSettings(921600, true);
    ToolProcessC tool(args({"open"}));
    // The module is put into data mode before the handle comes back.
    ASSERT_TRUE(m_pModule->waitForTranscript(
        [](const std::vector<SimTranscriptEntryS>& vecEntries) {
            for (const SimTranscriptEntryS& entry : vecEntries) {
                if (entry.m_eKind == EK_RECEIVED_LINE && entry.m_strBytes == "AT*ADDM\r") {
                    return true;
                }
            }
            return false;
        },
        20000));
    ASSERT_TRUE(m_pModule->waitForMode(SM_DATA, 5000));
    tool.writeInput("hello module\n");
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "hello module\n", 10000));
    m_pModule->sendFromRemotePeer("hello host");
    EXPECT_TRUE(tool.waitForOutput("hello host", 10000)) << tool.out();
    tool.closeInput();
    EXPECT_EQ(0, tool.finish(10000)) << tool.err();
}

TEST_F(QuentaToolSlowTest, OpenEndsWithAMessageWhenTheDeviceGoesAway)
{
    m_pModule->setLineSettings(921600, true);
    ToolProcessC tool(args({"open"}));
    tool.writeInput("ping\n");
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "ping\n", 20000));
    m_pModule->vanish();
    EXPECT_EQ(1, tool.finish(10000));
    EXPECT_NE(std::string::npos, tool.err().find("went away")) << tool.err();
}

TEST_F(QuentaToolSlowTest, SearchShowsProgressOnATerminalAndClearsIt)
{
    const int nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nMaster, 0);
    ASSERT_EQ(0, grantpt(nMaster));
    ASSERT_EQ(0, unlockpt(nMaster));
    const int nTerminal = open(ptsname(nMaster), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nTerminal, 0);
    ToolProcessC tool(args({"search"}), nTerminal);
    close(nTerminal);
    tool.closeInput();
    EXPECT_EQ(0, tool.finish(c_ulRunMs));
    EXPECT_EQ("QUENTA-ALPHA\nQUENTA-BRAVO\nQUENTA-CHARLIE\n", tool.out());

    std::string strScreen;
    char aBuffer[4096];
    pollfd pollMaster = {nMaster, POLLIN, 0};
    while (poll(&pollMaster, 1, 200) > 0) {
        const ssize_t nRead = read(nMaster, aBuffer, sizeof(aBuffer));
        if (nRead <= 0) {
            break;
        }
        strScreen.append(aBuffer, static_cast<size_t>(nRead));
    }
    close(nMaster);
    EXPECT_NE(std::string::npos,
              strScreen.find("\r\033[Kquenta: searching on " + m_pModule->slavePath() + ": 0 s " +
                             "of about 20 s"))
        << strScreen;
    EXPECT_NE(std::string::npos, strScreen.find(": 2 s of about 20 s")) << strScreen;
    EXPECT_EQ(strScreen.size() - 4, strScreen.rfind("\r\033[K")) << strScreen;
}

} // namespace
