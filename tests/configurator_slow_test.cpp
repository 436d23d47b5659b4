// The configurator's policy seen from the line: where it looks for the
// module, how it enters command mode, the one-time configuration, the
// hand-over, objects and copies of the exported class sharing or not sharing
// an implementation, and the port handle for the application. Against the
// simulated module, or against a bare pseudo-terminal where no module answers.
#include "ControllerFixture.h"
#include "PortTestSupport.h"
#include "QuentaConfigurator.h"
#include "quenta.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

using namespace QUENTA::SIM;
using ctrltest::c_szPing;
using ctrltest::countOf;
using ctrltest::msSince;
using QUENTA::QuentaConfiguratorC;

namespace {

const char c_szReset[] = "AT*AMWS=0,0,0,0,1,0\r";
const char c_szConnectability[] = "AT*AGCM=1,1\r";

// What an unconfigured module receives at its first search: a ping, then the
// nine configuration commands and the inquiry, each after its ping.
std::vector<std::string> configuringSearch()
{
    std::istringstream stream(
        "AT*AGCM=1,1\rAT*AGDM=1,1\rAT*ADDSP=255,1\rAT*ADDCP=0,1\rAT*AMWFM=1,1,1\r"
        "AT*AMDS=2,1,1\rAT*AMPM=3,1\rAT*AMRS?\rAT*AMRS=12,1,1,1,2,0,1\r"
        "AT*AMRS?\rAT*AMRS=12,1,1,1,1,0,1\rAT*AGI=2,10,15\r");
    std::vector<std::string> vecLines = {c_szPing};
    for (std::string strLine; std::getline(stream, strLine, '\r');) {
        vecLines.insert(vecLines.end(), {c_szPing, strLine + "\r"});
    }
    return vecLines;
}

int closeHandle(void* hPort)
{
    return close(static_cast<int>(reinterpret_cast<intptr_t>(hPort)));
}

class ConfiguratorTest : public ::testing::Test
{
protected:
    void startModule(SimModeE eMode, uint32_t unBaudCode, bool bRtsCts)
    {
        SimConfigS config;
        config.m_eInitialMode = eMode;
        config.m_ulScanMs = 200;
        config.m_lineSettings.m_unBaudRate = unBaudCode;
        config.m_lineSettings.m_unFlowControl = bRtsCts ? 1 : 2;
        m_pModule.reset(new SimulatedModuleC(config));
        ASSERT_TRUE(m_pModule->start());
        setenv("QUENTA_PORT_COM8", m_pModule->slavePath().c_str(), 1);
    }

    std::vector<std::string> received() const { return m_pModule->transcript().receivedLines(); }
    size_t received(const std::string& strLine) const { return countOf(received(), strLine); }
    std::vector<SimTranscriptEntryS> entriesOf(SimEntryKindE eKind) const
    {
        return ctrltest::entriesOf(*m_pModule, eKind);
    }
    // Descriptors of this process on the device: whether the library holds it.
    size_t held() const { return porttest::descriptorsOn(m_pModule->slavePath()).size(); }

    // A hand-over ends in a restart; the module then comes up in data mode.
    bool waitForRestart() const
    {
        return m_pModule->waitForState(
            [](const SimStateS& s) { return s.m_unRestarts == 1 && !s.m_bRestarting; }, 5000);
    }

    std::unique_ptr<SimulatedModuleC> m_pModule;
};

// A bare raw pseudo-terminal: nobody answers, and the master shows the line
// settings the library put on the slave, which stays open here too.
class SilentLineTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("QUENTA_PORT_COM8", m_pty.m_strPath.c_str(), 1); }

    std::string readMaster(int nQuietMs)
    {
        std::string strBytes;
        pollfd fd = {m_pty.m_nMaster, POLLIN, 0};
        char szChunk[256];
        for (ssize_t nRead; poll(&fd, 1, nQuietMs) > 0 &&
                            (nRead = read(m_pty.m_nMaster, szChunk, sizeof(szChunk))) > 0;) {
            strBytes.append(szChunk, static_cast<size_t>(nRead));
        }
        return strBytes;
    }

    porttest::PseudoTerminalC m_pty;
};

TEST_F(ConfiguratorTest, UnconfiguredModuleIsFoundOnTheSecondSettingAndConfiguredOnce)
{
    startModule(SM_DATA, 9, false);
    QuentaConfiguratorC configurator;
    std::vector<std::string> vecNames;
    ASSERT_TRUE(configurator.searchDevices(vecNames));
    EXPECT_EQ(3u, vecNames.size());
    const std::vector<std::string> vecExpected = configuringSearch();
    std::vector<std::string> vecLines = received();
    vecLines.resize(std::min(vecLines.size(), vecExpected.size()));
    EXPECT_EQ(vecExpected, vecLines);

    // The first setting reached the module as noise only; every command came
    // at the second.
    const std::vector<SimTranscriptEntryS> vecNoise = entriesOf(EK_NOISE);
    ASSERT_FALSE(vecNoise.empty());
    EXPECT_EQ(921600u, vecNoise.front().m_host.m_ulBaudRate);
    EXPECT_TRUE(vecNoise.front().m_host.m_bRtsCts);
    for (const SimTranscriptEntryS& entry : entriesOf(EK_RECEIVED_LINE)) {
        EXPECT_EQ(115200u, entry.m_host.m_ulBaudRate);
        EXPECT_FALSE(entry.m_host.m_bRtsCts);
        EXPECT_LT(vecNoise.back().m_tTime, entry.m_tTime);
    }
    ASSERT_TRUE(configurator.searchDevices(vecNames));
    EXPECT_EQ(1u, received(c_szConnectability));
    EXPECT_EQ(2u, received("AT*AGI=2,10,15\r"));
}

TEST_F(ConfiguratorTest, HandOverClosesThePortAndTheNextOperationEscapesBack)
{
    startModule(SM_COMMAND, 12, true);
    QuentaConfiguratorC configurator;
    ASSERT_TRUE(configurator.pairDevice("QUENTA-BRAVO"));
    ASSERT_TRUE(configurator.switchToDataMode());
    EXPECT_EQ(0, held());
    const std::vector<std::string> vecHandOver = received();
    ASSERT_GE(vecHandOver.size(), 4u);
    EXPECT_EQ((std::vector<std::string>{c_szPing, "AT*ADNRP=0,1\r", c_szPing, c_szReset}),
              std::vector<std::string>(vecHandOver.end() - 4, vecHandOver.end()));
    ASSERT_TRUE(waitForRestart());
    const size_t unLinesBefore = received().size();
    const size_t unModesBefore = entriesOf(EK_MODE).size();

    std::string strName;
    ASSERT_TRUE(configurator.getPairedDevice(strName));
    EXPECT_EQ("QUENTA-BRAVO", strName);
    EXPECT_EQ(1, held());
    const std::vector<std::string> vecLines = received();
    EXPECT_EQ((std::vector<std::string>{c_szPing, c_szPing, "AT*ADRDRP=0\r"}),
              std::vector<std::string>(vecLines.begin() + unLinesBefore, vecLines.end()))
        << "no second configuration";
    const std::vector<SimTranscriptEntryS> vecModes = entriesOf(EK_MODE);
    ASSERT_EQ(unModesBefore + 1, vecModes.size());
    EXPECT_EQ("command (escape sequence)", vecModes.back().m_strBytes);
}

// Copies and assigned objects share one implementation, released by the last
// of them; an assignment's target first gives up its own.
TEST_F(ConfiguratorTest, CopiesAndAssignedObjectsShareOneImplementationReleasedByTheLast)
{
    startModule(SM_COMMAND, 12, true);
    auto pTarget = std::make_unique<QuentaConfiguratorC>();
    std::string strName;
    ASSERT_TRUE(pTarget->getPairedDevice(strName));
    auto pSource = std::make_unique<QuentaConfiguratorC>();
    *pTarget = *pSource;
    EXPECT_EQ(1u, received(c_szReset)) << "the implementation the target held is gone";
    EXPECT_EQ(0, held());
    ASSERT_TRUE(waitForRestart());
    std::vector<std::string> vecNames;
    ASSERT_TRUE(pSource->searchDevices(vecNames));
    auto pCopy = std::make_unique<QuentaConfiguratorC>(*pSource);
    pSource.reset();
    // The copy pairs from the devices its source found.
    ASSERT_TRUE(pCopy->pairDevice("QUENTA-ALPHA"));
    pCopy.reset();
    ASSERT_TRUE(pTarget->getPairedDevice(strName));
    EXPECT_EQ("QUENTA-ALPHA", strName);
    EXPECT_EQ(1u, received(c_szReset)) << "the shared implementation outlives source and copy";
    EXPECT_EQ(2u, received(c_szConnectability)) << "configured once by each implementation";
    pTarget.reset();
    EXPECT_EQ(2u, received(c_szReset));
    EXPECT_EQ(0, held());
}

TEST_F(SilentLineTest, NoModuleCostsFourAttemptsAndLeavesTheSecondSetting)
{
    QuentaConfiguratorC configurator;
    std::vector<std::string> vecNames = {"kept"};
    const auto tStart = ctrltest::SteadyT::now();
    EXPECT_FALSE(configurator.searchDevices(vecNames));
    const long lElapsedMs = msSince(tStart);
    // Each attempt: a 200 ms ping, two 1100 ms guard periods, another ping.
    EXPECT_GE(lElapsedMs, 4 * 2600 - 100);
    EXPECT_LT(lElapsedMs, 4 * 2600 + 3000);
    EXPECT_EQ(std::vector<std::string>{"kept"}, vecNames);

    const std::string strLine = readMaster(100);
    EXPECT_EQ(4u, porttest::countOf(strLine, "///"));
    EXPECT_EQ(8u, porttest::countOf(strLine, c_szPing));
    EXPECT_EQ(strLine.size(), 4 * 3 + 8 * 3) << "nothing but pings and escapes";
    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
    EXPECT_EQ(0u, tio.c_cflag & CRTSCTS);
}

TEST_F(SilentLineTest, PortHandleHasItsLineSettingsEvenWithoutModule)
{
    void* hPort = QuentaConfiguratorC::createPortHandle();
    ASSERT_NE(INVALID_HANDLE_VALUE, hPort);
    // One try at command mode, then two unanswered pings instead of the
    // data-mode command.
    const std::string strLine = readMaster(100);
    EXPECT_EQ(1u, porttest::countOf(strLine, "///"));
    EXPECT_EQ(4u, porttest::countOf(strLine, c_szPing));
    EXPECT_EQ(std::string::npos, strLine.find("ADDM"));
    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B921600), cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & (CSIZE | PARENB | CSTOPB));

    ASSERT_EQ(4, write(static_cast<int>(reinterpret_cast<intptr_t>(hPort)), "ping", 4));
    EXPECT_EQ("ping", readMaster(200));
    EXPECT_EQ(0, closeHandle(hPort));
}

// The five functions take turns: no call fails because it ran in the middle of
// another, the handle's own session with the module included. The handle is
// refused while the process's configurator holds the port, as for another
// program, so it is asked for right after a hand-over.
TEST_F(ConfiguratorTest, CFunctionsFromSeveralThreadsServeOneCallerAtATime)
{
    startModule(SM_COMMAND, 12, true);
    std::vector<std::thread> vecThreads;
    for (int nThread = 0; nThread < 4; ++nThread) {
        vecThreads.emplace_back([nThread] {
            for (int nRound = 0; nRound < 3; ++nRound) {
                SCOPED_TRACE(std::to_string(nThread) + "/" + std::to_string(nRound));
                char szText[256] = {};
                uint32_t unSize = sizeof(szText);
                if (nThread % 2 == 0) {
                    EXPECT_TRUE(QUENTA_searchDevices(szText, &unSize));
                    EXPECT_STREQ("QUENTA-ALPHA\tQUENTA-BRAVO\tQUENTA-CHARLIE\t\t", szText);
                } else if (nThread == 1) {
                    EXPECT_TRUE(QUENTA_pairDevice("QUENTA-BRAVO"));
                    EXPECT_TRUE(QUENTA_getPairedDevice(szText, &unSize));
                } else {
                    EXPECT_TRUE(nRound > 0 || QUENTA_switchToDataMode());
                    if (void* hPort = QUENTA_createPortHandle(); hPort != INVALID_HANDLE_VALUE) {
                        EXPECT_EQ(0, closeHandle(hPort));
                    }
                }
            }
        });
    }
    for (std::thread& thread : vecThreads) {
        thread.join();
    }
    EXPECT_EQ(1u, received(c_szConnectability));
}

// ------------------------------------------------------------ a module that goes away

// The module vanishes instead of answering the n-th such command, once these
// bytes reached it as data, or once it entered this mode.
constexpr SimEntryKindE TR_COMMAND = EK_RECEIVED_LINE, TR_DATA = EK_DATA, TR_MODE = EK_MODE;

// An operation reports its result, or that it changed its output though it
// failed. The C functions ignore the object.
struct OpsS
{
    using CfgT = QuentaConfiguratorC;
    static bool search(CfgT& c)
    {
        std::vector<std::string> vecNames = {"kept"};
        return c.searchDevices(vecNames) || vecNames.size() != 1;
    }
    static bool searchC(CfgT&)
    {
        char szList[256] = "kept";
        uint32_t unSize = sizeof(szList);
        return QUENTA_searchDevices(szList, &unSize) || std::string(szList) != "kept";
    }
    static bool pair(CfgT& c) { return c.pairDevice("QUENTA-ALPHA"); }
    static bool readBack(CfgT& c)
    {
        std::string strName;
        return c.getPairedDevice(strName) || !strName.empty();
    }
    static bool readBackC(CfgT&)
    {
        uint32_t unSize = 0;
        return QUENTA_getPairedDevice(nullptr, &unSize);
    }
    static bool handOver(CfgT& c) { return readBack(c) && c.switchToDataMode(); }
    static bool handOverC(CfgT& c) { return readBackC(c) && QUENTA_switchToDataMode(); }
    static bool portHandle(CfgT&)
    {
        void* hPort = CfgT::createPortHandle();
        return hPort != INVALID_HANDLE_VALUE && closeHandle(hPort) == 0;
    }
};

struct LossCaseS
{
    const char* szPhase;
    SimModeE eStartMode;
    SimEntryKindE eTrigger;
    const char* szTrigger;
    uint32_t unOccurrence;
    bool (*pfnOperation)(QuentaConfiguratorC&);
    bool bResult;
    // The operation runs once before the trigger is armed, as in a process
    // that lives on between calls.
    bool bAfterACall = false;
};

class DeviceLossTest : public ConfiguratorTest, public ::testing::WithParamInterface<LossCaseS>
{
protected:
    // Vanishes the module once the trigger shows in its transcript, unless
    // the operation ends first.
    void watchForTrigger(SimEntryKindE eKind, const std::string& strTrigger)
    {
        m_watcher = std::thread([this, strTrigger, eKind] {
            const auto fnSeen = [&](const std::vector<SimTranscriptEntryS>& vecEntries) {
                return std::any_of(vecEntries.begin(), vecEntries.end(), [&](const auto& entry) {
                    return entry.m_eKind == eKind && entry.m_strBytes == strTrigger;
                });
            };
            while (!m_bDone) {
                if (m_pModule->waitForTranscript(fnSeen, 50)) {
                    return m_pModule->vanish();
                }
            }
        });
    }

    std::thread m_watcher;
    std::atomic<bool> m_bDone{false};
};

TEST_P(DeviceLossTest, OperationFailsWithinHalfASecondOfTheUnplug)
{
    const int64_t c_nLossBoundMs = 500;
    const LossCaseS& lossCase = GetParam();
    startModule(lossCase.eStartMode, 12, true);
    QuentaConfiguratorC configurator;
    if (lossCase.bAfterACall) {
        ASSERT_TRUE(lossCase.pfnOperation(configurator));
    }
    if (lossCase.eTrigger == TR_COMMAND) {
        m_pModule->vanishOnCommand(lossCase.szTrigger, lossCase.unOccurrence);
    } else {
        watchForTrigger(lossCase.eTrigger, lossCase.szTrigger);
    }
    const bool bResult = lossCase.pfnOperation(configurator);
    const SimClockT::time_point tReturned = SimClockT::now();
    m_bDone = true;
    if (m_watcher.joinable()) {
        m_watcher.join();
    }

    const std::vector<SimTranscriptEntryS> vecModes = entriesOf(EK_MODE);
    const auto itVanished = std::find_if(vecModes.begin(), vecModes.end(), [](const auto& entry) {
        return entry.m_strBytes == "vanished";
    });
    ASSERT_NE(vecModes.end(), itVanished) << "the operation ended before the unplug";
    EXPECT_EQ(lossCase.bResult, bResult);
    EXPECT_LT(ctrltest::msBetween(itVanished->m_tTime, tReturned), c_nLossBoundMs);
    // Again, the device node gone as after an unplug (not the old path:
    // another test may own that number by now): a missing node is not tried
    // again, neither 200 ms later nor with another line setting.
    setenv("QUENTA_PORT_COM8", "/dev/quenta-unplugged", 1);
    const auto tNext = ctrltest::SteadyT::now();
    EXPECT_FALSE(lossCase.pfnOperation(configurator));
    EXPECT_LT(msSince(tNext), c_nLossBoundMs) << "one open try, no wait";
}

// Every phase of every operation; the hand-over reports only that the port
// was closed, which it was.
const LossCaseS c_aLossCases[] = {
    {"inquiry", SM_COMMAND, TR_COMMAND, "AGI", 1, &OpsS::search, false},
    {"second_name_query_C", SM_COMMAND, TR_COMMAND, "AGND", 2, &OpsS::searchC, false},
    {"pairing_write", SM_COMMAND, TR_COMMAND, "ADWDRP", 1, &OpsS::pair, false},
    {"read_back", SM_COMMAND, TR_COMMAND, "ADRDRP", 1, &OpsS::readBack, false},
    {"first_ping_in_data_mode", SM_DATA, TR_DATA, "AT\r", 1, &OpsS::readBack, false},
    {"ping_of_a_later_call_C", SM_COMMAND, TR_COMMAND, "AT", 1, &OpsS::readBackC, false, true},
    {"guard_after_escape", SM_DATA, TR_MODE, "command (escape sequence)", 1, &OpsS::readBack,
     false},
    {"ping_after_the_escape_sequence", SM_DATA, TR_COMMAND, "AT", 1, &OpsS::readBack, false},
    {"configuration", SM_DATA, TR_COMMAND, "AMDS", 1, &OpsS::readBack, false},
    {"hand_over", SM_COMMAND, TR_COMMAND, "ADNRP", 1, &OpsS::handOver, true},
    {"hand_over_restart_C", SM_COMMAND, TR_COMMAND, "AMWS", 1, &OpsS::handOverC, true},
    {"port_handle_preparation", SM_COMMAND, TR_COMMAND, "ADNRP", 1, &OpsS::portHandle, false},
};

INSTANTIATE_TEST_SUITE_P(EveryPhase, DeviceLossTest, ::testing::ValuesIn(c_aLossCases),
                         [](const auto& info) { return std::string(info.param.szPhase); });

} // namespace
