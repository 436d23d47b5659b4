// The exported functions as a C application meets them: a separate process
// that loads libquenta with dlopen and uses only the C header, against the
// simulated module. Each scenario is a fresh process, so each starts with a
// fresh process-wide configurator.
#include "SIM_SimulatedModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace QUENTA::SIM;

namespace {

const int c_nClientTimeoutMs = 60000;

struct ClientRunS
{
    bool bFinished = false;
    int nExitCode = -1;
    std::vector<std::string> vecLines;
};

std::vector<std::string> splitLines(const std::string& strText)
{
    std::vector<std::string> vecLines;
    size_t unStart = 0;
    for (size_t unEnd = strText.find('\n'); unEnd != std::string::npos;
         unEnd = strText.find('\n', unStart)) {
        vecLines.push_back(strText.substr(unStart, unEnd - unStart));
        unStart = unEnd + 1;
    }
    return vecLines;
}

// Reads the child's standard output until it closes it or the time is up.
bool readUntilEnd(int hPipe, std::string& strOut, int nTimeoutMs)
{
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        const auto nLeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 tDeadline - std::chrono::steady_clock::now())
                                 .count();
        if (nLeftMs <= 0) {
            return false;
        }
        pollfd fd = {hPipe, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(nLeftMs)) <= 0) {
            continue;
        }
        char szChunk[512];
        const ssize_t nRead = read(hPipe, szChunk, sizeof(szChunk));
        if (nRead <= 0) {
            return true;
        }
        strOut.append(szChunk, static_cast<size_t>(nRead));
    }
}

ClientRunS runClient(const std::string& strPort, const std::vector<std::string>& vecArgs)
{
    ClientRunS run;
    setenv("QUENTA_PORT_COM8", strPort.c_str(), 1);
    // The process-wide configurator and its reader thread live until the
    // process ends. LeakSanitizer's exit scan of a live thread that used
    // thread-local storage of a dlopen'ed library crashes the scanner itself
    // (GCC 12 with glibc 2.36), so sanitized clients skip the leak scan;
    // every other check of the sanitizers stays on.
    const char* szAsan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           (std::string(szAsan != nullptr ? szAsan : "") + ":detect_leaks=0").c_str(), 1);
    int ahPipe[2];
    if (pipe(ahPipe) != 0) {
        return run;
    }
    std::vector<std::string> vecArgv = {QUENTA_C_CLIENT_PATH, QUENTA_LIBRARY_PATH};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    std::vector<char*> vecPointers;
    for (std::string& strArg : vecArgv) {
        vecPointers.push_back(&strArg[0]);
    }
    vecPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ahPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ahPipe[0]);
    pid_t pid = -1;
    const int nSpawn =
        posix_spawn(&pid, QUENTA_C_CLIENT_PATH, &actions, nullptr, vecPointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ahPipe[1]);
    if (nSpawn != 0) {
        close(ahPipe[0]);
        return run;
    }
    std::string strOut;
    run.bFinished = readUntilEnd(ahPipe[0], strOut, c_nClientTimeoutMs);
    close(ahPipe[0]);
    if (!run.bFinished) {
        kill(pid, SIGKILL);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    run.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    run.vecLines = splitLines(strOut);
    return run;
}

size_t countLinesStartingWith(const std::vector<std::string>& vecLines, const std::string& strHead)
{
    return static_cast<size_t>(
        std::count_if(vecLines.begin(), vecLines.end(), [&](const std::string& strLine) {
            return strLine.compare(0, strHead.size(), strHead) == 0;
        }));
}

class ApiCClientTest : public ::testing::Test
{
protected:
    // A module already configured and in command mode, so that each process
    // reaches it at once and the scenario itself is what takes time.
    void startModule(const std::vector<SimDeviceS>& vecDevices)
    {
        SimConfigS config;
        config.m_vecDevices = vecDevices;
        config.m_ulScanMs = 200;
        config.m_eInitialMode = SM_COMMAND;
        config.m_lineSettings.m_unBaudRate = 12;
        config.m_lineSettings.m_unFlowControl = 1;
        m_pModule.reset(new SimulatedModuleC(config));
        ASSERT_TRUE(m_pModule->start());
    }

    ClientRunS run(const std::vector<std::string>& vecArgs)
    {
        ClientRunS result = runClient(m_pModule->slavePath(), vecArgs);
        EXPECT_TRUE(result.bFinished) << "the client did not end in time";
        EXPECT_EQ(0, result.nExitCode);
        return result;
    }

    std::vector<std::string> received() const { return m_pModule->transcript().receivedLines(); }

    std::unique_ptr<SimulatedModuleC> m_pModule;
};

TEST_F(ApiCClientTest, DeviceListSizeProtocol)
{
    startModule({{"0012f3a1b201r", 7978, "ab"},
                 {"0012f3a1b202r", 1234, "Headset"},
                 {"0012f3a1b203r", 7978, "cde"}});
    const ClientRunS result = run({"size-protocol"});
    const std::vector<std::string> vecExpected = {
        "search-query ok=1 size=9",
        "search-short ok=0 size=8 untouched=1",
        "search-full ok=1 size=9 text=ab<9>cde<9><9><0>",
    };
    EXPECT_EQ(vecExpected, result.vecLines);
    // The size query and each buffered call are whole searches of their own.
    EXPECT_EQ(3u, countLinesStartingWith(received(), "AT*AGI=2,10,15\r"));
}

TEST_F(ApiCClientTest, SearchFindingNoDeviceFailsAndLeavesTheSize)
{
    startModule({});
    const ClientRunS result = run({"empty-search"});
    EXPECT_EQ(std::vector<std::string>{"search-query ok=0 size=777"}, result.vecLines);
    EXPECT_EQ(1u, countLinesStartingWith(received(), "AT*AGI="));
}

TEST_F(ApiCClientTest, PairingAnUnknownNameSearchesButSendsNoPairing)
{
    startModule(defaultDevices());
    const ClientRunS result = run({"pair-unknown", "QUENTA-ALPH"});
    EXPECT_EQ(std::vector<std::string>{"pair ok=0"}, result.vecLines);
    const std::vector<std::string> vecLines = received();
    EXPECT_EQ(1u, countLinesStartingWith(vecLines, "AT*AGI="));
    EXPECT_EQ(0u, countLinesStartingWith(vecLines, "AT*ADWDRP"));
    EXPECT_TRUE(m_pModule->state().m_mapPeers.empty());
}

TEST_F(ApiCClientTest, PairingAnEmptyNameRemovesThePairing)
{
    startModule(defaultDevices());
    const ClientRunS result = run({"unpair"});
    EXPECT_EQ(std::vector<std::string>{"pair ok=1"}, result.vecLines);
    const std::vector<std::string> vecLines = received();
    EXPECT_EQ(1u, countLinesStartingWith(vecLines, "AT*ADNRP=0,1\r"));
    EXPECT_EQ(0u, countLinesStartingWith(vecLines, "AT*AGI="));
    EXPECT_EQ(0u, countLinesStartingWith(vecLines, "AT*ADWDRP"));
}

TEST_F(ApiCClientTest, NullNameIsRefusedWithoutTraffic)
{
    startModule(defaultDevices());
    const ClientRunS result = run({"null"});
    EXPECT_EQ(std::vector<std::string>{"pair ok=0"}, result.vecLines);
    for (const SimTranscriptEntryS& entry : m_pModule->transcript().entries()) {
        EXPECT_TRUE(entry.m_eKind != EK_RECEIVED_LINE && entry.m_eKind != EK_DATA &&
                    entry.m_eKind != EK_NOISE)
            << formatEntry(entry, m_pModule->transcript().startTime());
    }
}

TEST_F(ApiCClientTest, PairedNameReadBackWithItsSizeProtocol)
{
    std::vector<SimDeviceS> vecDevices = defaultDevices();
    vecDevices.push_back({"0012f3a1b2d1r", 7978, "QUENTA-DEV12"});
    startModule(vecDevices);
    const ClientRunS result = run({"paired", "QUENTA-DEV12"});
    const std::vector<std::string> vecExpected = {
        "pair ok=1",
        "paired-query ok=1 size=13",
        "paired-short ok=0 size=12 untouched=1",
        "paired-full ok=1 size=13 text=QUENTA-DEV12<0>",
        "data-mode ok=1",
    };
    EXPECT_EQ(vecExpected, result.vecLines);
    const std::vector<std::string> vecLines = received();
    EXPECT_EQ(1u, countLinesStartingWith(vecLines,
                                         "AT*ADWDRP=0,0012f3a1b2d1r,130,0,\"QUENTA-DEV12\",1\r"));
    EXPECT_EQ(3u, countLinesStartingWith(vecLines, "AT*ADRDRP=0\r"));
    // The hand-over restarts the module, which comes up in data mode.
    EXPECT_TRUE(m_pModule->waitForState(
        [](const SimStateS& state) { return state.m_unRestarts == 1 && !state.m_bRestarting; },
        5000));
    EXPECT_EQ(SM_DATA, m_pModule->mode());
    EXPECT_EQ("QUENTA-DEV12", m_pModule->state().m_mapPeers[0].m_strName);
}

TEST_F(ApiCClientTest, PortHandleCarriesTheApplicationsData)
{
    startModule(defaultDevices());
    const ClientRunS result = run({"handle"});
    const std::vector<std::string> vecExpected = {"handle valid=1", "handle written=12 closed=1"};
    EXPECT_EQ(vecExpected, result.vecLines);
    const std::vector<std::string> vecLines = received();
    EXPECT_EQ(1u, countLinesStartingWith(vecLines, "AT*ADNRP=1,0\r"));
    EXPECT_EQ(1u, countLinesStartingWith(vecLines, "AT*ADDM\r"));
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "hello from C", 2000));
}

} // namespace
