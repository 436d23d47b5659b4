// The quenta binary against the simulated module: what only the tool shows
// (its output, exit codes, shell, progress, interruption, the bridge of
// open) and one run of each module operation. Each case pays for real
// command-mode entries (guard periods of 1.1 s), so they wait on real time.
#include "SIM_SimulatedModule.h"
#include "ToolTestSupport.h"

#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <stdlib.h>
#include <thread>

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

    // Where a previous hand-over left it: the tool's first try reaches it.
    void reachable()
    {
        m_pModule->setLineSettings(921600, true);
        m_pModule->setMode(SM_COMMAND);
    }

    std::vector<std::string> args(std::vector<std::string> vecArgs)
    {
        vecArgs.insert(vecArgs.begin(),
                       {proctest::binaryDir() + "/tools/quenta", "--port", m_pModule->slavePath()});
        return vecArgs;
    }

    // Runs the tool to its end; its exit code, with its output in m_strOut and m_strErr.
    int run(const std::vector<std::string>& vecArgs)
    {
        const proctest::RunS result = proctest::runProcess(args(vecArgs), {}, c_ulRunMs);
        m_strOut = result.m_strOut;
        m_strErr = result.m_strErr;
        return result.m_nExit;
    }

    // Transcript entries of one kind holding the bytes (at the start, for
    // received lines), from entry unFirst on.
    size_t count(SimEntryKindE eKind, const std::string& strBytes, size_t unFirst = 0) const
    {
        size_t unCount = 0;
        for (const SimTranscriptEntryS& entry : m_pModule->transcript().entriesFrom(unFirst)) {
            const size_t unAt = entry.m_strBytes.find(strBytes);
            unCount += entry.m_eKind == eKind && unAt != std::string::npos &&
                       (eKind != EK_RECEIVED_LINE || unAt == 0);
        }
        return unCount;
    }

    bool sawCommand(const std::string& strPrefix, size_t unFirst = 0) const
    {
        return count(EK_RECEIVED_LINE, strPrefix, unFirst) != 0;
    }

    std::unique_ptr<SimulatedModuleC> m_pModule;
    std::string m_strOut;
    std::string m_strErr;
};

// Names as modules report them: cut by the library inside a UTF-8 character,
// not UTF-8 at all, with a backslash, an escape, a comma, a dash first; a
// device of another class is left out. Each printed name pairs with its
// device, from the command line and from a shell line.
TEST_F(QuentaToolSlowTest, SearchPrintsEachNameSoThatItPairsWithItsDevice)
{
    reachable();
    m_pModule->setDevices({{"02a0c7a1b2c3r", 7978, "ABCDEFGHIJKLMNO\xc3\xa9xyz", -40},
                           {"02a0c7a1b2c4r", 7978, "bad\xff\\b\x1b[2J", -45},
                           {"02a0c7a1b2c5r", 7978, "-dash caf\xc3\xa9", -50},
                           {"02a0c7a1b2c7r", 7978, "a, b", -55},
                           {"02a0c7a1b2c6r", 1234, "other", -60}});
    const std::string strPrinted =
        "ABCDEFGHIJKLMNO\\xc3\nbad\\xff\\x5cb\\x1b[2J\n-dash caf\xc3\xa9\na, b\n";
    ASSERT_EQ(0, run({"search"})) << m_strErr;
    EXPECT_EQ(strPrinted, m_strOut);
    EXPECT_EQ("", m_strErr); // not a terminal: no progress
    EXPECT_EQ(0, run({"--json", "search"})) << m_strErr;
    EXPECT_EQ("{\"devices\":[\"ABCDEFGHIJKLMNO\\\\xc3\",\"bad\\\\xff\\\\x5cb\\\\x1b[2J\","
              "\"-dash caf\xc3\xa9\",\"a, b\"],\"unread_names\":0}\n",
              m_strOut);
    for (const std::string& strName : proctest::splitLines(strPrinted)) {
        SCOPED_TRACE(strName);
        EXPECT_EQ(0, run({"pair", "--", strName, "paired"})) << m_strErr;
        EXPECT_EQ("paired with " + strName + "\n" + strName + "\n", m_strOut);
        ToolProcessC shell(args({"shell"}));
        shell.writeInput("unpair\npair " + strName + "\npaired\n");
        EXPECT_EQ(0, shell.finish(c_ulRunMs)) << shell.err();
        EXPECT_EQ("pairing removed\npaired with " + strName + "\n" + strName + "\n", shell.out());
    }

    m_pModule->setDevices({{"02a0c7a1b2c8r", 7978, "say \"hi\"", -40}});
    EXPECT_EQ(0, run({"--json", "search"})) << m_strErr;
    EXPECT_EQ("{\"devices\":[\"say \\\"hi\\\"\"],\"unread_names\":0}\n", m_strOut);

    m_pModule->setDevices({{"02a0c7a1b2c6r", 1234, "other", -60}});
    EXPECT_EQ(0, run({"search"})) << m_strErr;
    EXPECT_EQ("", m_strOut);
    EXPECT_EQ("quenta: no device found\n", m_strErr);
    EXPECT_EQ(0, run({"--json", "search"})) << m_strErr;
    EXPECT_EQ("{\"devices\":[],\"unread_names\":0}\n", m_strOut);
}

// Pairing, reading back, the hand-over, the read-back that escapes from data
// mode, and removing the pairing, as a user runs them one after another.
TEST_F(QuentaToolSlowTest, EachModuleOperationRunsEndToEnd)
{
    reachable();
    EXPECT_EQ(0, run({"pair", "QUENTA-BRAVO"})) << m_strErr;
    EXPECT_EQ("paired with QUENTA-BRAVO\n", m_strOut);
    EXPECT_EQ("QUENTA-BRAVO", m_pModule->state().m_mapPeers[0].m_strName);

    EXPECT_EQ(0, run({"data-mode"})) << m_strErr;
    EXPECT_TRUE(m_pModule->waitForMode(SM_DATA, 5000));
    size_t unMark = m_pModule->transcript().size();
    EXPECT_EQ(0, run({"paired"})) << m_strErr;
    EXPECT_EQ("QUENTA-BRAVO\n", m_strOut);
    EXPECT_EQ(1u, count(EK_MODE, "escape sequence", unMark));
    EXPECT_EQ(0, run({"paired", "--json"})) << m_strErr;
    EXPECT_EQ("{\"paired\":\"QUENTA-BRAVO\"}\n", m_strOut);

    m_pModule->modifyState([](SimStateS& simState) { simState.m_unNumberOfPeers = 1; });
    unMark = m_pModule->transcript().size();
    EXPECT_EQ(0, run({"unpair", "--json"})) << m_strErr;
    EXPECT_EQ("{\"ok\":true}\n", m_strOut);
    EXPECT_TRUE(sawCommand("AT*ADNRP=0,", unMark));
    EXPECT_EQ(0u, m_pModule->state().m_unNumberOfPeers);
}

// A module left in command mode at 115200: each run first tries 921600 with
// an escape sequence (about 2.8 s); the commands of one run share that entry.
TEST_F(QuentaToolSlowTest, SeveralCommandsShareOneSessionAndStopAtTheFirstFailure)
{
    m_pModule->setMode(SM_COMMAND);
    auto tStart = Clock::now();
    EXPECT_EQ(0, run({"paired"})) << m_strErr;
    const auto tOneRun = Clock::now() - tStart;

    size_t unMark = m_pModule->transcript().size();
    tStart = Clock::now();
    EXPECT_EQ(0, run({"--json", "search", "pair", "QUENTA-BRAVO", "paired"})) << m_strErr;
    const auto tThreeCommands = Clock::now() - tStart;
    EXPECT_EQ("{\"devices\":[\"QUENTA-ALPHA\",\"QUENTA-BRAVO\",\"QUENTA-CHARLIE\"],"
              "\"unread_names\":0}\n{\"ok\":true,\"paired\":\"QUENTA-BRAVO\"}\n{\"paired\":"
              "\"QUENTA-BRAVO\"}\n",
              m_strOut);
    EXPECT_EQ(1u, count(EK_NOISE, "///", unMark)) << "one command-mode entry";
    // The search (200 ms) and the pairing are the commands' own work.
    EXPECT_LT(tThreeCommands, tOneRun + std::chrono::milliseconds(1500));

    unMark = m_pModule->transcript().size();
    EXPECT_EQ(4, run({"pair", "NOBODY", "unpair"}));
    EXPECT_EQ("", m_strOut);
    EXPECT_NE(std::string::npos,
              m_strErr.find("pairing with \"NOBODY\" on " + m_pModule->slavePath() + " (COM8:)"))
        << m_strErr;
    EXPECT_NE(std::string::npos, m_strErr.find("is NOBODY among the devices of `quenta search`?"));
    EXPECT_FALSE(sawCommand("AT*ADWDRP", unMark)) << "no pairing with a name not found";
    EXPECT_FALSE(sawCommand("AT*ADNRP", unMark)) << "nothing after the failure";
}

// Each JSON line says which input line and command it answers.
TEST_F(QuentaToolSlowTest, ShellRunsOneLineAtATimeAndGoesOnAfterAFailure)
{
    m_pModule->setMode(SM_COMMAND);
    ToolProcessC shell(args({"--json", "shell"}));
    shell.writeInput(
        "search\n\n# a comment\nbogus x\npair NOBODY\npair QUENTA-ALPHA\npaired\nhelp\n");
    EXPECT_EQ(4, shell.finish(c_ulRunMs)) << "the last failure's code";
    const std::vector<std::string> vecLines = proctest::splitLines(shell.out());
    ASSERT_EQ(6u, vecLines.size()) << shell.out();
    EXPECT_EQ(0u,
              vecLines[0].find("{\"line\":1,\"command\":\"search\",\"devices\":[\"QUENTA-ALPHA\""));
    EXPECT_EQ("{\"line\":4,\"command\":\"bogus\",\"ok\":false,\"exit\":2,\"error\":\"quenta: "
              "unknown command 'bogus'\"}",
              vecLines[1]);
    EXPECT_EQ(0u, vecLines[2].find("{\"line\":5,\"command\":\"pair\",\"ok\":false,\"exit\":4,"));
    EXPECT_EQ("{\"line\":6,\"command\":\"pair\",\"ok\":true,\"paired\":\"QUENTA-ALPHA\"}",
              vecLines[3]);
    EXPECT_EQ("{\"line\":7,\"command\":\"paired\",\"paired\":\"QUENTA-ALPHA\"}", vecLines[4]);
    EXPECT_EQ(0u, vecLines[5].find("{\"line\":8,\"command\":\"help\",\"commands\":[{\"form\":"
                                   "\"search\",\"does\":"));
    EXPECT_EQ(1u, count(EK_NOISE, "///"));
}

TEST_F(QuentaToolSlowTest, AtShowsTheWholeAnswerAndItsEnd)
{
    reachable();
    EXPECT_EQ(0, run({"--json", "at", "AT*AGLN?"})) << m_strErr;
    EXPECT_EQ(
        "{\"ok\":true,\"answer\":\"AT*AGLN?\\r\\r\\n*AGLN:\\\"QUENTA-SIM\\\"\\r\\nOK\\r\\n\"}\n",
        m_strOut);
    EXPECT_EQ(0, run({"at", "AT*AGLN?"})) << m_strErr;
    EXPECT_EQ("AT*AGLN?\\r\\r\\n\n*AGLN:\"QUENTA-SIM\"\\r\\n\nOK\\r\\n\n", m_strOut);

    EXPECT_EQ(4, run({"--json", "at", "AT*NOSUCH"}));
    EXPECT_EQ("{\"ok\":false,\"exit\":4,\"error\":\"quenta: " + m_pModule->slavePath() +
                  " (COM8:): the module answered ERROR to 'AT*NOSUCH' \xe2\x80\x94 commands are "
                  "case-sensitive; 'quenta at --list' shows the library's own\",\"answer\":\"AT*"
                  "NOSUCH\\r\\r\\nERROR\\r\\n\",\"cause\":\"module_refused\"}\n",
              m_strOut);
}

// What the trace shows as received, joined: the kernel hands the module's
// bytes over in reads of its own choosing, one event each.
std::string receivedText(const std::string& strTrace)
{
    std::string strReceived;
    for (const std::string& strLine : proctest::splitLines(strTrace)) {
        const size_t unAt = strLine.find(" <- \"");
        if (strLine.rfind("quenta: ", 0) == 0 && unAt != std::string::npos &&
            strLine.back() == '"') {
            strReceived += strLine.substr(unAt + 5, strLine.size() - unAt - 6);
        }
    }
    return strReceived;
}

// Whatever a definition file routes to standard output, --json keeps it for
// the results; -v shows the exchanges on standard error, -vv adds the
// library's records but not its traces of every call, which -vvv adds.
TEST_F(QuentaToolSlowTest, VerboseShowsTheWireAndJsonOutputStaysClean)
{
    char szDir[] = "/tmp/quenta-verbose-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    const std::string strDefinition = std::string(szDir) + "/wire.def";
    std::ofstream(strDefinition) << "LOG * ALL printf\n";
    EXPECT_EQ(0, run({"--json", "-v", "--debug-def", strDefinition, "paired"})) << m_strErr;
    std::filesystem::remove_all(szDir);
    EXPECT_EQ("{\"paired\":\"\"}\n", m_strOut);
    for (const char* szSeen :
         {"line 921600 bit/s 8N1, RTS/CTS", "line 115200 bit/s 8N1, no handshake", "-> \"///\"",
          "1.10 s silent", "-> \"AT*ADRDRP=", "TaviDeviceControllerImplC::getPairedDevice"}) {
        EXPECT_NE(std::string::npos, m_strErr.find(szSeen)) << szSeen;
    }
    EXPECT_NE(std::string::npos, receivedText(m_strErr).find("AT\\r\\r\\nOK\\r\\n")) << m_strErr;

    reachable();
    EXPECT_EQ(0, run({"-vv", "paired"})) << m_strErr;
    EXPECT_NE(std::string::npos, m_strErr.find("-> \"AT*ADRDRP=")) << m_strErr;
    EXPECT_EQ(std::string::npos, m_strErr.find("START ")) << m_strErr;
    EXPECT_EQ(std::string::npos, m_strErr.find(" ms TaviDeviceControllerImplC::")) << m_strErr;
    EXPECT_EQ(0, run({"-vvv", "paired"})) << m_strErr;
    EXPECT_NE(std::string::npos, m_strErr.find("[TaviDeviceControllerImplC] START "
                                               "TaviDeviceControllerImplC::getPairedDevice"))
        << m_strErr;
    EXPECT_NE(std::string::npos, m_strErr.find(" ms TaviDeviceControllerImplC::getPairedDevice"));
}

TEST_F(QuentaToolSlowTest, InterruptedSearchLetsTheModuleEndItsInquiryFirst)
{
    reachable();
    m_pModule->setScanMs(2000);
    ToolProcessC search(args({"search"}));
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_RECEIVED_LINE, "AT*AGI=", c_ulRunMs));
    const size_t unMark = m_pModule->transcript().size();
    search.signal(SIGINT);
    EXPECT_EQ(130, search.finish(c_ulRunMs));
    EXPECT_NE(std::string::npos, search.err().find("waiting for the module to end its inquiry"))
        << search.err();
    EXPECT_EQ("", search.out());
    EXPECT_EQ(1u, count(EK_SENT, "\r\nOK\r\n", unMark)) << "the inquiry ended";
    EXPECT_FALSE(sawCommand("AT*AGND", unMark)) << "nothing sent after the interruption";
    EXPECT_EQ(0, run({"paired"})) << m_strErr;

    // A second signal does not wait.
    ToolProcessC impatient(args({"search"}));
    ASSERT_TRUE(m_pModule->waitForTranscript(
        [](const std::vector<SimTranscriptEntryS>& vecEntries) {
            return std::count_if(vecEntries.begin(), vecEntries.end(), [](const auto& entry) {
                       return entry.m_eKind == EK_RECEIVED_LINE &&
                              entry.m_strBytes.rfind("AT*AGI=", 0) == 0;
                   }) == 2;
        },
        c_ulRunMs));
    impatient.signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto tSecond = Clock::now();
    impatient.signal(SIGINT);
    EXPECT_EQ(130, impatient.finish(c_ulRunMs));
    EXPECT_LT(Clock::now() - tSecond, std::chrono::milliseconds(1000));
}

// A module as it leaves the factory (115200 bit/s, no handshake, data mode)
// is brought to the handle's 921600 bit/s with RTS/CTS before any input goes
// out; with --json too, standard output carries the module's data alone.
TEST_F(QuentaToolSlowTest, OpenBridgesTheLineBothWaysUntilTheInputEnds)
{
    ToolProcessC tool(args({"--json", "open"}));
    tool.writeInput("hello module\n");
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "hello module\n", 30000));
    EXPECT_EQ(SM_DATA, m_pModule->mode());
    EXPECT_EQ(0u, count(EK_NOISE, "hello"));
    EXPECT_EQ(12u, m_pModule->state().m_active.m_unBaudRate); // the module's code for 921600
    EXPECT_EQ(1u, m_pModule->state().m_active.m_unFlowControl);
    m_pModule->sendFromRemotePeer("hello host");
    EXPECT_TRUE(tool.waitForOutput("hello host", 10000)) << tool.out();
    EXPECT_EQ(0, tool.finish(10000)) << tool.err();
    EXPECT_EQ("hello host", tool.out());
}

// The attempts themselves are the configurator's; here the exit code and the
// message, and no input sent on a line that never answered.
TEST_F(QuentaToolSlowTest, OpenFailsFourBeforeTheInputWhenTheModuleNeverAnswers)
{
    m_pModule->setLineSettings(9600, false);
    ToolProcessC tool(args({"open"}));
    tool.writeInput("into the void\n");
    EXPECT_EQ(4, tool.finish(c_ulRunMs));
    EXPECT_NE(std::string::npos,
              tool.err().find("preparing the module for data on " + m_pModule->slavePath() +
                              " (COM8:): the module did not answer"))
        << tool.err();
    EXPECT_NE(std::string::npos, tool.err().find("powered")) << tool.err();
    for (const SimTranscriptEntryS& entry : m_pModule->transcript().entriesFrom(0)) {
        EXPECT_FALSE(entry.m_eKind != EK_SENT &&
                     entry.m_strBytes.find("void") != std::string::npos);
    }
}

TEST_F(QuentaToolSlowTest, OpenEndsWithAMessageWhenTheDeviceGoesAway)
{
    m_pModule->setLineSettings(921600, true);
    ToolProcessC tool(args({"open"}));
    tool.writeInput("ping\n");
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "ping\n", 20000));
    m_pModule->vanish();
    EXPECT_EQ(4, tool.finish(10000));
    EXPECT_NE(std::string::npos, tool.err().find("the module went away")) << tool.err();
}

// ------------------------------------------------------------ a module that goes away

struct ToolLossCaseS
{
    const char* szCommand;
    const char* szVanishWord; // the module vanishes instead of answering...
    uint32_t unOccurrence;    // ...the n-th such command
    const char* szWhat;       // what the message says was going on
};

class ToolDeviceLossTest : public QuentaToolSlowTest,
                           public ::testing::WithParamInterface<ToolLossCaseS>
{};

TEST_P(ToolDeviceLossTest, ExitsFourWithinHalfASecondSayingTheModuleWentAway)
{
    const ToolLossCaseS& lossCase = GetParam();
    m_pModule->setLineSettings(921600, true);
    m_pModule->vanishOnCommand(lossCase.szVanishWord, lossCase.unOccurrence);
    ToolProcessC tool(args({"--json", lossCase.szCommand}));
    // The failure is reported when its line comes; leaving the process may take longer.
    EXPECT_TRUE(tool.waitForOutput("{\"ok\":false,\"exit\":4,", c_ulRunMs)) << tool.err();
    const SimClockT::time_point tReported = SimClockT::now();
    EXPECT_EQ(4, tool.finish(c_ulRunMs));

    ASSERT_TRUE(m_pModule->isVanished());
    for (const SimTranscriptEntryS& entry : m_pModule->transcript().entries()) {
        if (entry.m_eKind == EK_MODE && entry.m_strBytes == "vanished") {
            EXPECT_LT(tReported - entry.m_tTime, std::chrono::milliseconds(500));
        }
    }
    EXPECT_EQ(std::string::npos, tool.out().find("\"ok\":true")) << tool.out();
    EXPECT_NE(
        std::string::npos,
        tool.err().find(std::string(lossCase.szWhat) + " on " + m_pModule->slavePath() +
                        " (COM8:): the module went away \xe2\x80\x94 is it still plugged in?"))
        << tool.err();
}

// The session's table has each operation's cause of a loss; here no "in data
// mode" for a module that went away during the hand-over, and no bridge for
// one lost while the handle was prepared.
const ToolLossCaseS c_aToolLossCases[] = {
    {"data-mode", "AMWS", 1, "handing over to data mode"},
    {"open", "ADNRP", 1, "preparing the module for data"},
};

INSTANTIATE_TEST_SUITE_P(EveryCommand, ToolDeviceLossTest, ::testing::ValuesIn(c_aToolLossCases),
                         [](const ::testing::TestParamInfo<ToolLossCaseS>& info) {
                             std::string strName = info.param.szCommand;
                             std::replace(strName.begin(), strName.end(), '-', '_');
                             return strName;
                         });

// The library's own object keeps its port open to the end of the process,
// and here the module keeps sending while every trace goes to a file: the
// reader must be gone before the logs are (the sanitizer builds see it).
TEST_F(QuentaToolSlowTest, ExitsCleanlyWhileTheModuleKeepsSending)
{
    char szRoot[] = "/tmp/quenta-exit-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szRoot));
    const std::string strDefinition = std::string(szRoot) + "/all.def";
    std::ofstream(strDefinition) << "LOGT * ALL trace.txt\n";
    // In command mode the run is a ping and one command without result
    // fields; the module's blocks go out whole, so the stream between them
    // leaves both answers readable.
    reachable();
    std::atomic<bool> bEnded{false};
    std::thread sender([&] {
        while (!bEnded) {
            // Slow enough that an answer's 2000-byte buffer never fills.
            m_pModule->sendFromRemotePeer(std::string(8, 'x'));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ToolProcessC tool(args({"--debug-def", strDefinition, "unpair"}),
                      {{"QUENTA_STORAGE_ROOT", szRoot}});
    const int nExit = tool.finish(c_ulRunMs);
    bEnded = true;
    sender.join();
    EXPECT_EQ(0, nExit) << tool.err();
    EXPECT_EQ(std::string::npos, tool.err().find("Sanitizer")) << tool.err();
    std::filesystem::remove_all(szRoot);
}

TEST_F(QuentaToolSlowTest, SearchShowsProgressOnATerminalAndClearsIt)
{
    reachable();
    m_pModule->setScanMs(3000); // long enough for the "2 s" step, even under load
    const int nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nMaster, 0);
    ASSERT_EQ(0, grantpt(nMaster));
    ASSERT_EQ(0, unlockpt(nMaster));
    const int nTerminal = open(ptsname(nMaster), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nTerminal, 0);
    ToolProcessC tool(args({"search"}), {}, nTerminal);
    close(nTerminal);
    EXPECT_EQ(0, tool.finish(c_ulRunMs));
    EXPECT_EQ("QUENTA-ALPHA\nQUENTA-BRAVO\nQUENTA-CHARLIE\n", tool.out());

    std::string strScreen;
    char aBuffer[4096];
    pollfd pollMaster = {nMaster, POLLIN, 0};
    ssize_t nRead = 0;
    while (poll(&pollMaster, 1, 200) > 0 && (nRead = read(nMaster, aBuffer, sizeof(aBuffer))) > 0) {
        strScreen.append(aBuffer, static_cast<size_t>(nRead));
    }
    close(nMaster);
    EXPECT_NE(std::string::npos, strScreen.find("\r\033[Kquenta: searching on " +
                                                m_pModule->slavePath() + ": 0 s of about 20 s"))
        << strScreen;
    EXPECT_NE(std::string::npos, strScreen.find(": 2 s of about 20 s")) << strScreen;
    EXPECT_EQ(strScreen.size() - 4, strScreen.rfind("\r\033[K")) << strScreen;
}

// ------------------------------------------------------------ run after run, as another user

// The tool and the plain C application run as an unprivileged user: the
// caller itself when it is not root, else a uid without an account (through
// setpriv), with the programs copied to where that user can reach them. That
// one process at a time holds the port is the session's and the serial
// open's to show.
TEST_F(QuentaToolSlowTest, RunAfterRunAsAnotherUserFindsThePortFree)
{
    namespace fs = std::filesystem;
    m_pModule->setLineSettings(921600, true);
    const tooltest::TempDirC dir;
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    std::string strTool = proctest::binaryDir() + "/tools/quenta";
    std::string strClient = proctest::binaryDir() + "/tests/c_api/quenta_c_client";
    std::string strLibrary = proctest::binaryDir() + "/libquenta.so.1";
    std::vector<std::string> vecAsUser;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "running as root without setpriv (util-linux): no way to run the "
                            "programs as another user here";
        }
        uid_t uid = 61000;
        while (getpwuid(uid) != nullptr) {
            ++uid;
        }
        for (std::string* pPath : {&strTool, &strClient, &strLibrary}) {
            const std::string strCopy = dir / fs::path(*pPath).filename().string();
            fs::copy_file(*pPath, strCopy);
            fs::permissions(strCopy, fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
            *pPath = strCopy;
        }
        ASSERT_EQ(0, chown(dir.path().c_str(), uid, uid));
        ASSERT_EQ(0, chown(m_pModule->slavePath().c_str(), uid, uid));
        vecAsUser = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                     "--regid=" + std::to_string(uid), "--clear-groups", "--"};
    }
    const auto runAsUser = [&](std::vector<std::string> vecArgv, const proctest::EnvT& vecEnv) {
        vecArgv.insert(vecArgv.begin(), vecAsUser.begin(), vecAsUser.end());
        return proctest::runProcess(vecArgv, vecEnv, c_ulRunMs);
    };
    const proctest::EnvT vecToolEnv = {{"HOME", dir.path()},
                                       {"QUENTA_STORAGE_ROOT", dir / "root"},
                                       {"QUENTA_REGISTRY_FILE", dir / "registry"},
                                       {"XDG_CONFIG_HOME", ""},
                                       {"XDG_DATA_HOME", ""}};
    for (const char* szCommand : {"paired", "paired", "paired", "unpair"}) {
        const proctest::RunS run =
            runAsUser({strTool, "--port", m_pModule->slavePath(), szCommand}, vecToolEnv);
        EXPECT_EQ(0, run.m_nExit) << szCommand << ": " << run.m_strErr;
    }
    // The C application in the caller's environment (as root, a HOME the
    // other user cannot write). The library's own object keeps the port open
    // to the end; the handle for the application is closed with close().
    const proctest::EnvT vecClientEnv = {{"QUENTA_PORT_COM8", m_pModule->slavePath()}};
    EXPECT_EQ("pair ok=1\n", runAsUser({strClient, strLibrary, "unpair"}, vecClientEnv).m_strOut);
    EXPECT_EQ("handle valid=1\nhandle written=12 closed=1\n",
              runAsUser({strClient, strLibrary, "handle"}, vecClientEnv).m_strOut);
}

} // namespace
