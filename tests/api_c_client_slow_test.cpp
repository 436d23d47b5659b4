// The exported functions as a C application meets them: a separate process
// that loads libquenta with dlopen and uses only the C header, against the
// simulated module. Each scenario is a fresh process, so each starts with a
// fresh process-wide configurator.
#include "ProcessRunner.h"
#include "SIM_SimulatedModule.h"
#include "quenta.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

using namespace QUENTA::SIM;

namespace {

// Each scenario's output, and how many lines starting with each head the
// module received. A size query and each buffered call are whole operations.
// Each module is already configured and in command mode, so that each process
// reaches it at once and the scenario itself is what takes time.
TEST(ApiCClientTest, Scenarios)
{
    std::vector<SimDeviceS> vecDevices = defaultDevices();
    vecDevices.push_back({"02a0c7a1b2d1r", 7978, "QUENTA-DEV12"});
    const struct
    {
        std::vector<std::string> vecArgs;
        std::vector<SimDeviceS> vecDevices;
        std::vector<std::string> vecOutput;
        std::vector<std::pair<std::string, std::ptrdiff_t>> vecCounts;
    } c_aScenarios[] = {
        {{"size-protocol"},
         {{"02a0c7a1b201r", 7978, "ab"},
          {"02a0c7a1b202r", 1234, "Headset"},
          {"02a0c7a1b203r", 7978, "cde"}},
         {"search-query ok=1 size=9", "search-short ok=0 size=8 untouched=1",
          "search-full ok=1 size=9 text=ab<9>cde<9><9><0>"},
         {{"AT*AGI=2,10,15\r", 3}}},
        // Nothing found: a failure, and the size stays as it was.
        {{"empty-search"}, {}, {"search-query ok=0 size=777"}, {{"AT*AGI=", 1}}},
        // A name not found: a search, but no pairing.
        {{"pair-unknown", "QUENTA-ALPH"},
         vecDevices,
         {"pair ok=0"},
         {{"AT*AGI=", 1}, {"AT*ADWDRP", 0}}},
        // The empty name removes the pairing without a search.
        {{"unpair"},
         vecDevices,
         {"pair ok=1"},
         {{"AT*ADNRP=0,1\r", 1}, {"AT*AGI=", 0}, {"AT*ADWDRP", 0}}},
        // A null name is refused before the port is touched.
        {{"null"}, vecDevices, {"pair ok=0"}, {{"", 0}}},
        // Pairing searches first; the read-back's size protocol; the hand-over.
        {{"paired", "QUENTA-DEV12"},
         vecDevices,
         {"pair ok=1", "paired-query ok=1 size=13", "paired-short ok=0 size=12 untouched=1",
          "paired-full ok=1 size=13 text=QUENTA-DEV12<0>", "data-mode ok=1"},
         {{"AT*AGI=", 1},
          {"AT*ADWDRP=0,02a0c7a1b2d1r,130,0,\"QUENTA-DEV12\",1\r", 1},
          {"AT*ADRDRP=0\r", 3},
          {"AT*AMWS=0,0,0,0,1,0\r", 1}}},
    };
    for (const auto& scenario : c_aScenarios) {
        SCOPED_TRACE(scenario.vecArgs[0]);
        SimConfigS config;
        config.m_vecDevices = scenario.vecDevices;
        config.m_ulScanMs = 200;
        config.m_eInitialMode = SM_COMMAND;
        config.m_lineSettings.m_unBaudRate = 12;
        config.m_lineSettings.m_unFlowControl = 1;
        SimulatedModuleC module(config);
        ASSERT_TRUE(module.start());
        // The process-wide configurator and its reader thread live until the
        // process ends. LeakSanitizer's exit scan of a live thread that used
        // thread-local storage of a dlopen'ed library crashes the scanner itself
        // (GCC 12 with glibc 2.36), so sanitized clients skip the leak scan;
        // every other check of the sanitizers stays on.
        std::vector<std::string> vecArgv = {QUENTA_C_CLIENT_PATH, QUENTA_LIBRARY_PATH};
        vecArgv.insert(vecArgv.end(), scenario.vecArgs.begin(), scenario.vecArgs.end());
        const char* szAsan = std::getenv("ASAN_OPTIONS");
        const proctest::RunS result = proctest::runProcess(
            vecArgv, {{"QUENTA_PORT_COM8", module.slavePath()},
                      {"ASAN_OPTIONS", std::string(szAsan ? szAsan : "") + ":detect_leaks=0"}});
        EXPECT_EQ(0, result.m_nExit) << result.m_strErr;
        EXPECT_EQ(scenario.vecOutput, proctest::splitLines(result.m_strOut));
        const std::vector<std::string> vecLines = module.transcript().receivedLines();
        for (const auto& count : scenario.vecCounts) {
            EXPECT_EQ(count.second, std::count_if(vecLines.begin(), vecLines.end(),
                                                  [&](const std::string& strLine) {
                                                      return strLine.rfind(count.first, 0) == 0;
                                                  }))
                << count.first;
        }
    }
}

// A second entry into command mode in one process starts from the line
// settings the first left in the process-wide template: 921600 bit/s without
// RTS/CTS, so a module that insists on RTS/CTS is reached once per process.
TEST(ApiCClientTest, ASecondEntryInOneProcessSendsNoHandshake)
{
    SimConfigS config;
    config.m_eInitialMode = SM_COMMAND;
    config.m_lineSettings.m_unBaudRate = 12;
    config.m_lineSettings.m_unFlowControl = 1;
    SimulatedModuleC module(config);
    ASSERT_TRUE(module.start());
    ::setenv("QUENTA_PORT_COM8", module.slavePath().c_str(), 1);
    uint32_t unSize = 0;
    ASSERT_TRUE(QUENTA_getPairedDevice(nullptr, &unSize));
    ASSERT_TRUE(QUENTA_switchToDataMode());
    ASSERT_TRUE(module.waitForState(
        [](const SimStateS& state) { return state.m_unRestarts == 1 && !state.m_bRestarting; },
        5000));
    const size_t unBefore = module.transcript().size();
    EXPECT_TRUE(QUENTA_getPairedDevice(nullptr, &unSize));
    std::set<std::pair<uint32_t, bool>> setSent;
    for (const SimTranscriptEntryS& entry : module.transcript().entriesFrom(unBefore)) {
        if (entry.m_eKind == EK_RECEIVED_LINE || entry.m_eKind == EK_NOISE) {
            setSent.insert({entry.m_host.m_ulBaudRate, entry.m_host.m_bRtsCts});
        }
    }
    EXPECT_EQ((std::set<std::pair<uint32_t, bool>>{{921600, false}}), setSent);
}

} // namespace
