// The simulated module on its line: the escape sequence (with a short guard
// period; the real one is in the slow test), line settings, restarts, faults
// and the transcript, all seen from a raw host.
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

using namespace QUENTA::SIM;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

const uint32_t c_ulGuardMs = 60;

SimConfigS fastConfig(SimModeE eMode)
{
    SimConfigS config;
    config.m_eInitialMode = eMode;
    config.m_ulScanMs = 200;
    config.m_ulNameMs = 20;
    config.m_ulRestartMs = 150;
    config.m_ulGuardMs = c_ulGuardMs;
    return config;
}

class SimModuleTest : public ::testing::Test
{
protected:
    void startModule(const SimConfigS& config)
    {
        m_pModule.reset(new SimulatedModuleC(config));
        ASSERT_TRUE(m_pModule->start());
        ASSERT_TRUE(m_host.open(m_pModule->slavePath()));
    }

    // Silence, "///", silence, measured by the module's own transcript so that
    // no test relies on a bare sleep.
    void escape()
    {
        m_host.readFor(c_ulGuardMs + 20);
        ASSERT_TRUE(m_host.write("///"));
        ASSERT_TRUE(m_pModule->waitForMode(SM_COMMAND, 2000));
    }

    std::unique_ptr<SimulatedModuleC> m_pModule;
    RawHostC m_host;
};

TEST_F(SimModuleTest, EscapeNeedsSilenceOnBothSides)
{
    startModule(fastConfig(SM_DATA));
    // Data right before the slashes: no guard before.
    ASSERT_TRUE(m_host.write("x///"));
    EXPECT_FALSE(m_pModule->waitForMode(SM_COMMAND, 3 * c_ulGuardMs));
    // A byte right after the slashes breaks the guard after.
    m_host.readFor(c_ulGuardMs + 20);
    ASSERT_TRUE(m_host.write("///y"));
    EXPECT_FALSE(m_pModule->waitForMode(SM_COMMAND, 3 * c_ulGuardMs));
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "x//////y", 1000));

    escape();
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));
}

TEST_F(SimModuleTest, IgnoresCommandsAtAnotherBitRateButNotForRtsCtsAlone)
{
    startModule(fastConfig(SM_COMMAND));
    ASSERT_TRUE(m_host.setLine(921600, false));
    ASSERT_TRUE(m_host.write("AT\r"));
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_NOISE, "AT\r", 1000));
    EXPECT_EQ("", m_host.readFor(100));

    ASSERT_TRUE(m_host.setLine(115200, true));
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));
}

TEST_F(SimModuleTest, SerialSettingsTakeEffectOnlyAtRestart)
{
    startModule(fastConfig(SM_COMMAND));
    EXPECT_EQ("AT*AMRS=12,1,1,1,1,0,1\r\r\nOK\r\n", m_host.command("AT*AMRS=12,1,1,1,1,0,1"));
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT")) << "still 115200 before the restart";

    EXPECT_EQ("AT*AMWS=0,0,0,0,1,0\r\r\nOK\r\n", m_host.command("AT*AMWS=0,0,0,0,1,0"));
    ASSERT_TRUE(m_host.write("AT\r"));
    EXPECT_EQ("", m_host.readFor(50)) << "nothing is answered during the restart";
    ASSERT_TRUE(m_pModule->waitForState(
        [](const SimStateS& state) { return state.m_unRestarts == 1 && !state.m_bRestarting; },
        2000));
    EXPECT_EQ(12u, m_pModule->state().m_active.m_unBaudRate);
    ASSERT_TRUE(m_host.setLine(921600, false)); // RTS/CTS off on the host: still reached
    escape();
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));
}

TEST_F(SimModuleTest, InquiryAnswersAfterTheScanTime)
{
    startModule(fastConfig(SM_COMMAND));
    const auto tStart = steady_clock::now();
    const std::string strAnswer = m_host.command("AT*AGI=2,10,15", 3000);
    const auto elapsed = steady_clock::now() - tStart;
    EXPECT_GE(elapsed, milliseconds(200));
    std::string strExpected = "AT*AGI=2,10,15\r\r\n";
    for (const SimDeviceS& device : defaultDevices()) {
        strExpected +=
            "*AGI:" + device.m_strAddress + "," + std::to_string(device.m_ulClass) + "\r\n";
    }
    EXPECT_EQ(strExpected + "\r\nOK\r\n", strAnswer);
}

TEST_F(SimModuleTest, AnswerFaultsDoWhatTheySay)
{
    startModule(fastConfig(SM_COMMAND));
    m_pModule->dropNextAnswers(1);
    ASSERT_TRUE(m_host.write("AT*AGLN=\"Dropped\",1\r"));
    EXPECT_EQ("", m_host.readFor(100));
    EXPECT_EQ("Dropped", m_pModule->state().m_strLocalName) << "a dropped answer is still applied";

    m_pModule->failNextCommands(1);
    EXPECT_EQ("AT*AGLN=\"X\",1\r\r\nERROR\r\n", m_host.command("AT*AGLN=\"X\",1"));
    EXPECT_EQ("Dropped", m_pModule->state().m_strLocalName);

    m_pModule->setAnswerDelay(150);
    const auto tStart = steady_clock::now();
    ASSERT_TRUE(m_host.write("AT\r"));
    EXPECT_EQ("AT\r", m_host.readUntil("AT\r", 100)) << "the echo is not delayed";
    EXPECT_EQ("\r\nOK\r\n", m_host.readUntil("OK\r\n", 1000));
    EXPECT_GE(steady_clock::now() - tStart, milliseconds(150));

    m_pModule->setSplitAnswers(true, 5);
    const size_t unBefore = m_pModule->transcript().size();
    EXPECT_EQ("AT*AILVI?\r\r\n*AILVI:\"QUENTA\",\"SIM-1\",\"1.0.0\",\"1\",\"0001\"\r\nOK\r\n",
              m_host.command("AT*AILVI?"));
    const std::vector<SimTranscriptEntryS> vecSent = m_pModule->transcript().entriesFrom(unBefore);
    EXPECT_GT(std::count_if(vecSent.begin(), vecSent.end(),
                            [](const auto& entry) { return entry.m_eKind == EK_SENT; }),
              2);

    m_pModule->injectGarbage("\x01junk\xff");
    EXPECT_EQ("\x01junk\xff", m_host.readUntil("\xff", 1000));
}

TEST_F(SimModuleTest, NameQueryFaults)
{
    startModule(fastConfig(SM_COMMAND));
    const std::string strQuery = "AT*AGND=02a0c7a1b2c3r";
    const std::string strOk = strQuery + "\r\r\n*AGND:\"QUENTA-ALPHA\"\r\nOK\r\n";
    const std::string strError = strQuery + "\r\r\nERROR\r\n";
    m_pModule->failNameQuery("02a0c7a1b2c3r", NF_ONCE);
    EXPECT_EQ(strError, m_host.command(strQuery));
    EXPECT_EQ(strOk, m_host.command(strQuery));

    m_pModule->failNameQuery("02a0c7a1b2c3r", NF_ALWAYS);
    EXPECT_EQ(strError, m_host.command(strQuery));
    EXPECT_EQ(strError, m_host.command(strQuery));

    m_pModule->failNameQuery("02a0c7a1b2c3r", NF_ONCE, true);
    EXPECT_EQ(strQuery + "\r", m_host.command(strQuery, 300));
    EXPECT_EQ(strOk, m_host.command(strQuery));
}

TEST_F(SimModuleTest, TranscriptRecordsTheExactTraffic)
{
    SimConfigS config = fastConfig(SM_DATA);
    config.m_bEcho = false;
    startModule(config);
    ASSERT_TRUE(m_host.write("abc"));
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "abc", 1000));
    escape();
    EXPECT_EQ("\r\n*ADDCP:0\r\nOK\r\n", m_host.command("AT*ADDCP?"));
    EXPECT_EQ("\r\nOK\r\n", m_host.command("AT*ADDM"));
    ASSERT_TRUE(m_pModule->waitForMode(SM_DATA, 1000));

    std::vector<std::pair<SimEntryKindE, std::string>> vecSeen;
    for (const SimTranscriptEntryS& entry : m_pModule->transcript().entries()) {
        if (entry.m_eKind != EK_NOTE) {
            vecSeen.emplace_back(entry.m_eKind, entry.m_strBytes);
        }
        if (entry.m_eKind == EK_RECEIVED_LINE) {
            EXPECT_EQ(115200u, entry.m_host.m_ulBaudRate);
            EXPECT_FALSE(entry.m_host.m_bRtsCts);
        }
    }
    const std::vector<std::pair<SimEntryKindE, std::string>> vecExpected = {
        {EK_MODE, "data"},
        {EK_DATA, "abc"},
        {EK_MODE, "command (escape sequence)"},
        {EK_RECEIVED_LINE, "AT*ADDCP?\r"},
        {EK_SENT, "\r\n*ADDCP:0\r\nOK\r\n"},
        {EK_RECEIVED_LINE, "AT*ADDM\r"},
        {EK_SENT, "\r\nOK\r\n"},
        {EK_MODE, "data"},
    };
    EXPECT_EQ(vecExpected, vecSeen);
}

TEST(SimTranscriptTest, KeepsABoundedWindowAndCountsEveryEntry)
{
    SimTranscriptC transcript;
    std::vector<std::string> vecObserved;
    transcript.setObserver(
        [&](const SimTranscriptEntryS& entry) { vecObserved.push_back(entry.m_strBytes); });
    transcript.setLimits(100, 1 << 20);
    for (int i = 0; i < 1000; ++i) {
        transcript.add(EK_SENT, std::to_string(i), SimHostLineS());
    }
    EXPECT_EQ(1000u, vecObserved.size()) << "the observer sees every entry";
    EXPECT_EQ("999", vecObserved.back());
    EXPECT_EQ(1000u, transcript.size()) << "indices count the dropped entries too";
    EXPECT_LE(transcript.entries().size(), 100u);
    EXPECT_GE(transcript.entries().size(), 75u);
    const std::vector<SimTranscriptEntryS> vecTail = transcript.entriesFrom(990);
    ASSERT_EQ(10u, vecTail.size());
    EXPECT_EQ("990", vecTail.front().m_strBytes);
    size_t unFirst = 0;
    const std::vector<SimTranscriptEntryS> vecAll = transcript.entriesFrom(0, &unFirst);
    EXPECT_EQ(1000u, unFirst + vecAll.size());
    EXPECT_EQ(std::to_string(unFirst), vecAll.front().m_strBytes);
    EXPECT_TRUE(transcript.waitForSize(1000, 0));

    // Bytes bound the window too: big data entries do not pile up.
    transcript.setLimits(100, 4096);
    for (int i = 0; i < 50; ++i) {
        transcript.add(EK_DATA, std::string(1000, 'd'), SimHostLineS());
    }
    EXPECT_LE(transcript.joined(EK_DATA).size(), 4096u);
}

TEST_F(SimModuleTest, NeverStallsTheHost)
{
    startModule(fastConfig(SM_DATA));
    const std::string strBlock(1 << 20, 'd');
    const auto tStart = steady_clock::now();
    ASSERT_TRUE(m_host.write(strBlock)); // fails after 5 s if the module stopped draining
    EXPECT_LT(steady_clock::now() - tStart, milliseconds(5000));
    EXPECT_TRUE(m_pModule->transcript().waitFor(
        [&](const std::vector<SimTranscriptEntryS>& vecEntries) {
            size_t unData = 0;
            for (const SimTranscriptEntryS& entry : vecEntries) {
                unData += entry.m_eKind == EK_DATA ? entry.m_strBytes.size() : 0;
            }
            return unData == strBlock.size();
        },
        5000));
}

} // namespace
