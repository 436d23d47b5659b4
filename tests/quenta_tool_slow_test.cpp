// The quenta binary against the simulated module: each case pays for real
// command-mode entries (guard periods of 1.1 s), so they wait on real time.
#include "ProcessRunner.h"
#include "SIM_SimulatedModule.h"

#include <stdlib.h>

using namespace QUENTA::SIM;
using Clock = std::chrono::steady_clock;
using ToolProcessC = proctest::ProcessC;

namespace {

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
        vecArgs.insert(vecArgs.begin(),
                       {proctest::binaryDir() + "/tools/quenta", "--port", m_pModule->slavePath()});
        return vecArgs;
    }

    // Runs the tool to its end; the exit code, standard output and error.
    int run(const std::vector<std::string>& vecArgs, std::string& strOut, std::string& strErr)
    {
        const proctest::RunS result = proctest::runProcess(args(vecArgs), {}, c_ulRunMs);
        strOut = result.m_strOut;
        strErr = result.m_strErr;
        return result.m_nExit;
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
    ToolProcessC tool(args({"search"}), {}, nTerminal);
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
