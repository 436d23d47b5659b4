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
#include <functional>
#include <thread>

using namespace QUENTA::SIM;
using ctrltest::countOf;
using ctrltest::msSince;
using QUENTA::QuentaConfiguratorC;

namespace {

const char c_szPing[] = "AT\r";
const char c_szReset[] = "AT*AMWS=0,0,0,0,1,0\r";
const char c_szConnectability[] = "AT*AGCM=1,1\r";
void* const c_hInvalid = reinterpret_cast<void*>(static_cast<intptr_t>(-1));

// What the module receives: a ping, the nine configuration commands each after
// its ping (its stored flow control code being unFlowBefore), then strLast.
std::vector<std::string> configuredSession(uint32_t unFlowBefore, const std::string& strLast)
{
    const std::string strCommands =
        std::string(c_szConnectability) +
        "AT*AGDM=1,1\rAT*ADDSP=255,1\rAT*ADDCP=0,1\rAT*AMWFM=1,1,1\rAT*AMDS=2,1,1\rAT*AMPM=3,1\r"
        "AT*AMRS?\rAT*AMRS=12,1,1,1," +
        std::to_string(unFlowBefore) + ",0,1\rAT*AMRS?\rAT*AMRS=12,1,1,1,1,0,1\r" + strLast;
    std::vector<std::string> vecLines = {c_szPing};
    for (size_t unAt = 0, unEnd; (unEnd = strCommands.find('\r', unAt)) != std::string::npos;
         unAt = unEnd + 1) {
        vecLines.push_back(c_szPing);
        vecLines.push_back(strCommands.substr(unAt, unEnd + 1 - unAt));
    }
    return vecLines;
}

// Descriptors of this process open on the device: whether the library holds
// the port.
size_t openDescriptorsOn(const std::string& strPath)
{
    return porttest::descriptorsOn(strPath).size();
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

    // A hand-over ends in a restart; the module then comes up in data mode.
    bool waitForRestarts(uint32_t unCount) const
    {
        return m_pModule->waitForState(
            [unCount](const SimStateS& state) {
                return state.m_unRestarts == unCount && !state.m_bRestarting;
            },
            porttest::c_lBoundMs);
    }

    std::vector<SimTranscriptEntryS> entriesOf(SimEntryKindE eKind) const
    {
        return ctrltest::entriesOf(*m_pModule, eKind);
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
        ssize_t nRead = 0;
        while (poll(&fd, 1, nQuietMs) > 0 &&
               (nRead = read(m_pty.m_nMaster, szChunk, sizeof(szChunk))) > 0) {
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

    const std::vector<std::string> vecExpected = configuredSession(2, "AT*AGI=2,10,15\r");
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

TEST_F(ConfiguratorTest, ConfiguredModuleInDataModeIsFoundOnTheFirstSetting)
{
    startModule(SM_DATA, 12, true);
    QuentaConfiguratorC configurator;
    std::string strName;
    ASSERT_TRUE(configurator.getPairedDevice(strName));

    EXPECT_EQ(configuredSession(1, "AT*ADRDRP=0\r"), received());
    EXPECT_TRUE(entriesOf(EK_NOISE).empty());
    for (const SimTranscriptEntryS& entry : entriesOf(EK_RECEIVED_LINE)) {
        EXPECT_EQ(921600u, entry.m_host.m_ulBaudRate);
        EXPECT_TRUE(entry.m_host.m_bRtsCts);
    }
}

TEST_F(ConfiguratorTest, HandOverClosesThePortAndTheNextOperationEscapesBack)
{
    startModule(SM_COMMAND, 12, true);
    QuentaConfiguratorC configurator;
    ASSERT_TRUE(configurator.pairDevice("QUENTA-BRAVO"));
    ASSERT_TRUE(configurator.switchToDataMode());
    EXPECT_EQ(0, openDescriptorsOn(m_pModule->slavePath()));
    std::vector<std::string> vecLines = received();
    ASSERT_GE(vecLines.size(), 4u);
    EXPECT_EQ((std::vector<std::string>{c_szPing, "AT*ADNRP=0,1\r", c_szPing, c_szReset}),
              std::vector<std::string>(vecLines.end() - 4, vecLines.end()));
    ASSERT_TRUE(waitForRestarts(1));
    const size_t unLinesBefore = vecLines.size();
    const size_t unEntriesBefore = m_pModule->transcript().size();

    std::string strName;
    ASSERT_TRUE(configurator.getPairedDevice(strName));
    EXPECT_EQ("QUENTA-BRAVO", strName);
    EXPECT_EQ(1, openDescriptorsOn(m_pModule->slavePath()));

    vecLines = received();
    EXPECT_EQ((std::vector<std::string>{c_szPing, c_szPing, "AT*ADRDRP=0\r"}),
              std::vector<std::string>(vecLines.begin() + unLinesBefore, vecLines.end()))
        << "no second configuration";
    std::vector<std::string> vecModes;
    for (const SimTranscriptEntryS& entry : m_pModule->transcript().entriesFrom(unEntriesBefore)) {
        if (entry.m_eKind == EK_MODE) {
            vecModes.push_back(entry.m_strBytes);
        }
    }
    EXPECT_EQ(std::vector<std::string>{"command (escape sequence)"}, vecModes);
}

TEST_F(ConfiguratorTest, CopiesShareOneImplementationReleasedByTheLast)
{
    startModule(SM_COMMAND, 12, true);
    std::unique_ptr<QuentaConfiguratorC> pOriginal(new QuentaConfiguratorC());
    std::vector<std::string> vecNames;
    ASSERT_TRUE(pOriginal->searchDevices(vecNames));

    std::unique_ptr<QuentaConfiguratorC> pCopy(new QuentaConfiguratorC(*pOriginal));
    // The copy pairs from the devices its original found.
    ASSERT_TRUE(pCopy->pairDevice("QUENTA-ALPHA"));
    EXPECT_EQ(1u, received(c_szConnectability));

    pOriginal.reset();
    EXPECT_EQ(0u, received(c_szReset)) << "the implementation outlives the original";
    std::string strName;
    ASSERT_TRUE(pCopy->getPairedDevice(strName));
    EXPECT_EQ("QUENTA-ALPHA", strName);

    pCopy.reset();
    EXPECT_EQ(1u, received(c_szReset));
    EXPECT_EQ(0, openDescriptorsOn(m_pModule->slavePath()));
}

// The target gives up its own implementation and shares the source's, which
// outlives the source.
TEST_F(ConfiguratorTest, AssignmentReleasesThePreviousImplementationOnce)
{
    startModule(SM_COMMAND, 12, true);
    QuentaConfiguratorC target;
    std::string strName;
    ASSERT_TRUE(target.getPairedDevice(strName));
    {
        QuentaConfiguratorC source;
        target = source;
        EXPECT_EQ(1u, received(c_szReset)) << "the implementation target held is gone";
        EXPECT_EQ(0, openDescriptorsOn(m_pModule->slavePath()));
        ASSERT_TRUE(waitForRestarts(1));
        ASSERT_TRUE(source.getPairedDevice(strName));
    }
    ASSERT_EQ(1u, received(c_szReset)) << "the shared implementation went with the source";
    ASSERT_TRUE(target.getPairedDevice(strName));
    EXPECT_EQ(2u, received(c_szConnectability)) << "configured once by each implementation";
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
    ASSERT_NE(c_hInvalid, hPort);
    const int hFd = static_cast<int>(reinterpret_cast<intptr_t>(hPort));
    // One try at command mode, then two unanswered pings instead of the
    // data-mode command.
    const std::string strLine = readMaster(100);
    EXPECT_EQ(1u, porttest::countOf(strLine, "///"));
    EXPECT_EQ(4u, porttest::countOf(strLine, c_szPing));
    EXPECT_EQ(std::string::npos, strLine.find("ADDM"));

    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B921600), cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB));

    ASSERT_EQ(4, write(hFd, "ping", 4));
    EXPECT_EQ("ping", readMaster(200));
    EXPECT_EQ(0, close(hFd));
}

// ------------------------------------------------------------ several threads

const char c_szAllNames[] = "QUENTA-ALPHA\tQUENTA-BRAVO\tQUENTA-CHARLIE\t\t";

// Runs fnCall(thread, round) on four threads at once, three rounds each.
void onFourThreads(const std::function<void(int, int)>& fnCall)
{
    std::vector<std::thread> vecThreads;
    for (int nThread = 0; nThread < 4; ++nThread) {
        vecThreads.emplace_back([&fnCall, nThread] {
            for (int nRound = 0; nRound < 3; ++nRound) {
                fnCall(nThread, nRound);
            }
        });
    }
    for (std::thread& thread : vecThreads) {
        thread.join();
    }
}

// The five functions take turns: no call fails because it ran in the middle of
// another, the handle's own session with the module included. The handle is
// refused while the process's configurator holds the port, as for another
// program, so it is asked for right after a hand-over.
TEST_F(ConfiguratorTest, CFunctionsFromSeveralThreadsServeOneCallerAtATime)
{
    startModule(SM_COMMAND, 12, true);
    onFourThreads([](int nThread, int nRound) {
        char szText[256] = {};
        uint32_t unSize = sizeof(szText);
        if (nThread % 2 == 0) {
            EXPECT_TRUE(QUENTA_searchDevices(szText, &unSize)) << nThread << "/" << nRound;
            EXPECT_STREQ(c_szAllNames, szText) << nThread << "/" << nRound;
        } else if (nThread == 1) {
            EXPECT_TRUE(QUENTA_pairDevice("QUENTA-BRAVO")) << nRound;
            EXPECT_TRUE(QUENTA_getPairedDevice(szText, &unSize)) << nRound;
        } else {
            if (nRound == 0) {
                EXPECT_TRUE(QUENTA_switchToDataMode());
            }
            if (void* hPort = QUENTA_createPortHandle(); hPort != c_hInvalid) {
                EXPECT_EQ(0, close(static_cast<int>(reinterpret_cast<intptr_t>(hPort))));
            }
        }
    });
    EXPECT_EQ(1u, received(c_szConnectability));
}

TEST_F(ConfiguratorTest, OneObjectSharedByThreadsServesOneCallerAtATime)
{
    startModule(SM_COMMAND, 12, true);
    QuentaConfiguratorC configurator;
    QuentaConfiguratorC copy(configurator);
    onFourThreads([&](int nThread, int nRound) {
        QuentaConfiguratorC& target = nThread < 2 ? configurator : copy;
        std::vector<std::string> vecNames;
        EXPECT_TRUE(target.searchDevices(vecNames)) << nThread << "/" << nRound;
        EXPECT_EQ(3u, vecNames.size()) << nThread << "/" << nRound;
        std::string strName;
        EXPECT_TRUE(target.pairDevice("QUENTA-ALPHA")) << nThread << "/" << nRound;
        EXPECT_TRUE(target.getPairedDevice(strName)) << nThread << "/" << nRound;
        EXPECT_EQ("QUENTA-ALPHA", strName);
    });
}

// ------------------------------------------------------------ a module that goes away

using OperationT = bool (*)(QuentaConfiguratorC&);

const int64_t c_nLossBoundMs = 500;

// An operation reports its result, or that it changed its output.
bool searchObject(QuentaConfiguratorC& configurator)
{
    std::vector<std::string> vecNames = {"kept"};
    return configurator.searchDevices(vecNames) || vecNames.size() != 1;
}

bool searchExported(QuentaConfiguratorC&)
{
    char szList[256] = "kept";
    uint32_t unSize = sizeof(szList);
    return QUENTA_searchDevices(szList, &unSize) || std::string(szList) != "kept";
}

bool readBackObject(QuentaConfiguratorC& configurator)
{
    std::string strName;
    return configurator.getPairedDevice(strName) || !strName.empty();
}

bool portHandle(QuentaConfiguratorC&)
{
    void* hPort = QuentaConfiguratorC::createPortHandle();
    if (hPort != c_hInvalid) {
        close(static_cast<int>(reinterpret_cast<intptr_t>(hPort)));
    }
    return hPort != c_hInvalid;
}

enum TriggerE
{
    TR_COMMAND, // the module vanishes instead of answering the n-th such command
    TR_DATA,    // once these bytes reached it as data
    TR_MODE     // once it entered this mode
};

struct LossCaseS
{
    const char* szPhase;
    SimModeE eStartMode;
    TriggerE eTrigger;
    const char* szTrigger;
    uint32_t unOccurrence;
    OperationT pfnOperation;
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
    void watchForTrigger(const LossCaseS& lossCase)
    {
        const std::string strTrigger = lossCase.szTrigger;
        const SimEntryKindE eKind = lossCase.eTrigger == TR_DATA ? EK_DATA : EK_MODE;
        m_watcher = std::thread([this, strTrigger, eKind] {
            const auto fnSeen = [&](const std::vector<SimTranscriptEntryS>& vecEntries) {
                return std::any_of(vecEntries.begin(), vecEntries.end(), [&](const auto& entry) {
                    return entry.m_eKind == eKind && entry.m_strBytes == strTrigger;
                });
            };
            while (!m_bDone) {
                if (m_pModule->waitForTranscript(fnSeen, 50)) {
                    m_pModule->vanish();
                    return;
                }
            }
        });
    }

    // When the module's line closed, if it did.
    bool vanishedAt(SimClockT::time_point& tVanished) const
    {
        for (const SimTranscriptEntryS& entry : entriesOf(EK_MODE)) {
            if (entry.m_strBytes == "vanished") {
                tVanished = entry.m_tTime;
                return true;
            }
        }
        return false;
    }

    std::thread m_watcher;
    std::atomic<bool> m_bDone{false};
};

TEST_P(DeviceLossTest, OperationFailsWithinHalfASecondOfTheUnplug)
{
    const LossCaseS& lossCase = GetParam();
    startModule(lossCase.eStartMode, 12, true);
    QuentaConfiguratorC configurator;
    if (lossCase.bAfterACall) {
        ASSERT_TRUE(lossCase.pfnOperation(configurator));
    }
    if (lossCase.eTrigger == TR_COMMAND) {
        m_pModule->vanishOnCommand(lossCase.szTrigger, lossCase.unOccurrence);
    } else {
        watchForTrigger(lossCase);
    }
    const bool bResult = lossCase.pfnOperation(configurator);
    const SimClockT::time_point tReturned = SimClockT::now();
    m_bDone = true;
    if (m_watcher.joinable()) {
        m_watcher.join();
    }

    SimClockT::time_point tVanished;
    ASSERT_TRUE(vanishedAt(tVanished)) << "the operation ended before the unplug";
    EXPECT_EQ(lossCase.bResult, bResult);
    EXPECT_LT(ctrltest::msBetween(tVanished, tReturned), c_nLossBoundMs);
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
    {"inquiry", SM_COMMAND, TR_COMMAND, "AGI", 1, &searchObject, false},
    {"second name query, C function", SM_COMMAND, TR_COMMAND, "AGND", 2, &searchExported, false},
    {"pairing write", SM_COMMAND, TR_COMMAND, "ADWDRP", 1,
     [](QuentaConfiguratorC& configurator) { return configurator.pairDevice("QUENTA-ALPHA"); },
     false},
    {"read-back", SM_COMMAND, TR_COMMAND, "ADRDRP", 1, &readBackObject, false},
    {"first ping in data mode", SM_DATA, TR_DATA, "AT\r", 1, &readBackObject, false},
    {"first ping of a later call, C function", SM_COMMAND, TR_COMMAND, "AT", 1,
     [](QuentaConfiguratorC&) {
         uint32_t unSize = 0;
         return QUENTA_getPairedDevice(nullptr, &unSize);
     },
     false, true},
    {"second guard period", SM_DATA, TR_MODE, "command (escape sequence)", 1, &readBackObject,
     false},
    {"ping after the escape sequence", SM_DATA, TR_COMMAND, "AT", 1, &readBackObject, false},
    {"configuration", SM_DATA, TR_COMMAND, "AMDS", 1, &readBackObject, false},
    {"hand-over", SM_COMMAND, TR_COMMAND, "ADNRP", 1,
     [](QuentaConfiguratorC& configurator) {
         std::string strName;
         return configurator.getPairedDevice(strName) && configurator.switchToDataMode();
     },
     true},
    {"hand-over restart, C function", SM_COMMAND, TR_COMMAND, "AMWS", 1,
     [](QuentaConfiguratorC&) {
         uint32_t unSize = 0;
         return QUENTA_getPairedDevice(nullptr, &unSize) && QUENTA_switchToDataMode();
     },
     true},
    {"port handle preparation", SM_COMMAND, TR_COMMAND, "ADNRP", 1, &portHandle, false},
};

INSTANTIATE_TEST_SUITE_P(EveryPhase, DeviceLossTest, ::testing::ValuesIn(c_aLossCases),
                         [](const ::testing::TestParamInfo<LossCaseS>& info) {
                             std::string strName = info.param.szPhase;
                             for (char& c : strName) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return strName;
                         });

} // namespace
