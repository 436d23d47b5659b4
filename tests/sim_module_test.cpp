// The simulated module on its line: the escape sequence (with a short guard
// period; the controller's slow test meets the real one), line settings and
// faults, all seen from a raw host; the transcript's window. What the
// transcript records, the controller's tests read line by line; a bit rate
// taken at the restart, the controller's serial settings and the tool's
// hand-over.
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"
#include "SIM_Statements.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <tuple>

using namespace QUENTA::SIM;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

const uint32_t c_ulGuardMs = 100;

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

    std::unique_ptr<SimulatedModuleC> m_pModule;
    RawHostC m_host;
};

// Data right before "///", or a byte right after it in the same read or the
// next one, breaks the silence; the mode changes a whole guard period after
// the slashes, never sooner.
TEST_F(SimModuleTest, EscapeNeedsSilenceOnBothSides)
{
    startModule(fastConfig(SM_DATA));
    // Silence before, the bytes, the next read's bytes.
    const std::tuple<bool, const char*, const char*> refused[] = {
        {false, "x///", nullptr}, {true, "///y", nullptr}, {true, "///", "y"}};
    for (const auto& [bSilenceBefore, szSlashes, szRightAfter] : refused) {
        SCOPED_TRACE(szSlashes);
        if (bSilenceBefore) {
            m_host.readFor(c_ulGuardMs + 20);
        }
        ASSERT_TRUE(m_host.write(szSlashes));
        if (szRightAfter != nullptr) {
            m_host.readFor(c_ulGuardMs / 10);
            ASSERT_TRUE(m_host.write(szRightAfter));
        }
        EXPECT_FALSE(m_pModule->waitForMode(SM_COMMAND, 2 * c_ulGuardMs));
    }
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "x//////y///y", 1000));

    m_host.readFor(c_ulGuardMs + 20);
    const auto tSlashes = steady_clock::now();
    ASSERT_TRUE(m_host.write("///"));
    ASSERT_TRUE(m_pModule->waitForMode(SM_COMMAND, 2000));
    const std::vector<SimTranscriptEntryS> vecEntries = m_pModule->transcript().entries();
    const auto itMode = std::find_if(vecEntries.rbegin(), vecEntries.rend(),
                                     [](const auto& entry) { return entry.m_eKind == EK_MODE; });
    ASSERT_NE(vecEntries.rend(), itMode);
    EXPECT_GE(itMode->m_tTime - tSlashes, milliseconds(c_ulGuardMs));
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));
}

// The module hears a host at its own bit rate; RTS/CTS must match too only
// when it is strict. What it does not hear is noise, left unanswered.
TEST_F(SimModuleTest, HearsOnlyAHostAtItsLineSettings)
{
    startModule(fastConfig(SM_COMMAND));
    // The host's bit rate and RTS/CTS, the module's strictness, the answer.
    const std::tuple<uint32_t, bool, bool, const char*> cases[] = {
        {921600, false, false, ""},
        {115200, true, false, "AT\r\r\nOK\r\n"},
        {115200, true, true, ""}};
    for (const auto& [ulBaudRate, bRtsCts, bStrict, szAnswer] : cases) {
        SCOPED_TRACE(std::to_string(ulBaudRate) + (bRtsCts ? " rts/cts" : "") +
                     (bStrict ? " strict" : ""));
        m_pModule->setStrictFlowControl(bStrict);
        ASSERT_TRUE(m_host.setLine(ulBaudRate, bRtsCts));
        EXPECT_EQ(szAnswer, m_host.command("AT", 100));
    }
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_NOISE, "AT\rAT\r", 1000));
}

// Each fault as its statement sets it: the first and the second answer to
// the command, and the local name after the first (was it applied?).
TEST_F(SimModuleTest, AnswerFaultsDoWhatTheySay)
{
    startModule(fastConfig(SM_COMMAND));
    const std::string strQuery = "AT*AGND=02a0c7a1b2c3r";
    const std::string strQueryOk = strQuery + "\r\r\n*AGND:\"QUENTA-ALPHA\"\r\nOK\r\n";
    const std::string strQueryError = strQuery + "\r\r\nERROR\r\n";
    const std::string strGarbage = "five random bytes";
    const std::tuple<const char*, std::string, std::string, std::string, const char*> cases[] = {
        {"AGLN=error", "AT*AGLN=\"E\",1", "AT*AGLN=\"E\",1\r\r\nERROR\r\n",
         "AT*AGLN=\"E\",1\r\r\nERROR\r\n", "QUENTA-SIM"},
        {"AGLN=silent*1", "AT*AGLN=\"S\",1", "AT*AGLN=\"S\",1\r", "AT*AGLN=\"S\",1\r\r\nOK\r\n",
         "S"},
        {"*=drop*1", "AT*AGLN=\"D\",1", "", "AT*AGLN=\"D\",1\r\r\nOK\r\n", "D"},
        {"AGLN=garbage:5*1", "AT*AGLN=\"G\",1", strGarbage, "AT*AGLN=\"G\",1\r\r\nOK\r\n", "G"},
        {"name:02a0c7a1b2c3r=error*1", strQuery, strQueryError, strQueryOk, "G"},
        {"name:02a0c7a1b2c3r=error", strQuery, strQueryError, strQueryError, "G"},
        {"name:02a0c7a1b2c3r=silent*1", strQuery, strQuery + "\r", strQueryOk, "G"},
    };
    for (const auto& [szFault, strCommand, strFirst, strSecond, szNameAfter] : cases) {
        SCOPED_TRACE(szFault);
        SimStatementS statement;
        std::string strError;
        ASSERT_TRUE(parseStatement(std::string("fault ") + szFault, statement, strError));
        m_pModule->clearFaults();
        m_pModule->setFault(statement.m_fault);
        const std::string strAnswer = m_host.command(strCommand, 200);
        if (strFirst == strGarbage) {
            EXPECT_EQ(strCommand + "\r", strAnswer.substr(0, strCommand.size() + 1));
            EXPECT_EQ(strCommand.size() + 1 + 5, strAnswer.size());
        } else {
            EXPECT_EQ(strFirst, strAnswer);
        }
        EXPECT_EQ(szNameAfter, m_pModule->state().m_strLocalName);
        EXPECT_EQ(strSecond, m_host.command(strCommand));
    }
    m_pModule->clearFaults();

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
    EXPECT_EQ(1000u, transcript.size()) << "indices count the dropped entries too";
    EXPECT_LE(transcript.entries().size(), 100u);
    EXPECT_GE(transcript.entries().size(), 75u);
    EXPECT_EQ("990", transcript.entriesFrom(990).at(0).m_strBytes);
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
