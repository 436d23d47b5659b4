// The quenta binary against the simulated module: what only the tool shows
// (its output, exit codes, shell, progress, interruption, the bridge of
// open); the guides' examples run each module operation once more. Each case
// pays for real command-mode entries (guard periods of 1.1 s).
#include "SIM_SimulatedModule.h"
#include "ToolTestSupport.h"

#include <pty.h>
#include <regex>
#include <thread>

using namespace QUENTA::SIM;
using Clock = std::chrono::steady_clock;
using proctest::ProcessC;
using tooltest::contains;

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
    int run(const std::vector<std::string>& vecArgs, const proctest::EnvT& vecEnv = {})
    {
        proctest::RunS result = proctest::runProcess(args(vecArgs), vecEnv, c_ulRunMs);
        m_strOut.swap(result.m_strOut);
        m_strErr.swap(result.m_strErr);
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

    // A definition file with one line, in the case's scratch folder.
    std::string definition(const std::string& strLine)
    {
        m_dir.file("def", strLine + "\n");
        return m_dir / "def";
    }

    const tooltest::TempDirC m_dir;
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
        ProcessC shell(args({"shell"}));
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
}

// Where a hand-over left the module (the guides run pair, data-mode and
// paired): the read-back escapes from data mode once, and the pairing is
// removed.
TEST_F(QuentaToolSlowTest, ReadBackEscapesFromDataModeAndUnpairRemovesThePairing)
{
    m_pModule->setLineSettings(921600, true);
    m_pModule->modifyState([](SimStateS& state) {
        state.m_mapPeers[0] = {"02a0c7a1b2e2r", 130, 0, "QUENTA-BRAVO", true};
        state.m_unNumberOfPeers = 1;
    });
    EXPECT_EQ(0, run({"paired"})) << m_strErr;
    EXPECT_EQ("QUENTA-BRAVO\n", m_strOut);
    EXPECT_EQ(1u, count(EK_MODE, "escape sequence"));
    const size_t unMark = m_pModule->transcript().size();
    EXPECT_EQ(0, run({"unpair", "--json"})) << m_strErr;
    EXPECT_EQ("{\"ok\":true}\n", m_strOut);
    EXPECT_EQ(1u, count(EK_RECEIVED_LINE, "AT*ADNRP=0,", unMark));
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
    EXPECT_TRUE(
        contains(m_strErr, "pairing with \"NOBODY\" on " + m_pModule->slavePath() + " (COM8:)"))
        << m_strErr;
    EXPECT_TRUE(contains(m_strErr, "is NOBODY among the devices of `quenta search`?"));
    // No pairing with a name not found, nothing after the failure.
    EXPECT_EQ(0u, count(EK_RECEIVED_LINE, "AT*ADWDRP", unMark) +
                      count(EK_RECEIVED_LINE, "AT*ADNRP", unMark));
}

// Each JSON line says which input line and command it answers.
TEST_F(QuentaToolSlowTest, ShellRunsOneLineAtATimeAndGoesOnAfterAFailure)
{
    m_pModule->setMode(SM_COMMAND);
    ProcessC shell(args({"--json", "shell"}));
    shell.writeInput(
        "search\n\n# a comment\nbogus x\npair NOBODY\npair QUENTA-ALPHA\npaired\nhelp\n");
    EXPECT_EQ(4, shell.finish(c_ulRunMs)) << "the last failure's code";
    // Whole objects, or the start of one.
    const std::string c_aLines[] = {
        "{\"line\":1,\"command\":\"search\",\"devices\":[\"QUENTA-ALPHA\"",
        "{\"line\":4,\"command\":\"bogus\",\"ok\":false,\"exit\":2,\"error\":\"quenta: unknown "
        "command 'bogus'\"}",
        "{\"line\":5,\"command\":\"pair\",\"ok\":false,\"exit\":4,",
        "{\"line\":6,\"command\":\"pair\",\"ok\":true,\"paired\":\"QUENTA-ALPHA\"}",
        "{\"line\":7,\"command\":\"paired\",\"paired\":\"QUENTA-ALPHA\"}",
        "{\"line\":8,\"command\":\"help\",\"commands\":[{\"form\":\"search\",\"does\":"};
    const std::vector<std::string> vecLines = proctest::splitLines(shell.out());
    ASSERT_EQ(std::size(c_aLines), vecLines.size()) << shell.out();
    for (size_t i = 0; i < vecLines.size(); ++i) {
        EXPECT_EQ(c_aLines[i], c_aLines[i].back() == '}'
                                   ? vecLines[i]
                                   : vecLines[i].substr(0, c_aLines[i].size()));
    }
    EXPECT_EQ(1u, count(EK_NOISE, "///"));
}

// The answer as the tool guide shows it in plain text; here a refusal's, in JSON.
TEST_F(QuentaToolSlowTest, AtShowsTheWholeAnswerAndItsEnd)
{
    reachable();
    EXPECT_EQ(4, run({"--json", "at", "AT*NOSUCH"}));
    EXPECT_EQ("{\"ok\":false,\"exit\":4,\"error\":\"quenta: " + m_pModule->slavePath() +
                  " (COM8:): the module answered ERROR to 'AT*NOSUCH' \xe2\x80\x94 commands are "
                  "case-sensitive; 'quenta at --list' shows the library's own\",\"answer\":\"AT*"
                  "NOSUCH\\r\\r\\nERROR\\r\\n\",\"cause\":\"module_refused\"}\n",
              m_strOut);
}

// Whatever a definition file routes to standard output, --json keeps it for
// the results; -v shows the exchanges on standard error, -vv adds the
// library's records but not its traces of every call, which -vvv adds.
TEST_F(QuentaToolSlowTest, VerboseShowsTheWireAndJsonOutputStaysClean)
{
    EXPECT_EQ(0, run({"--json", "-v", "--debug-def", definition("LOG * ALL printf"), "paired"}))
        << m_strErr;
    EXPECT_EQ("{\"paired\":\"\"}\n", m_strOut);
    for (const char* szSeen :
         {"line 921600 bit/s 8N1, RTS/CTS", "line 115200 bit/s 8N1, no handshake", "-> \"///\"",
          "1.10 s silent", "-> \"AT*ADRDRP=", "TaviDeviceControllerImplC::getPairedDevice"}) {
        EXPECT_TRUE(contains(m_strErr, szSeen)) << szSeen;
    }
    // What the module sent, in reads of the kernel's choosing, one event each.
    std::string strReceived;
    const std::regex c_received(R"re(\nquenta: [^\n]* <- "([^\n]*)"(?=\n))re");
    for (std::sregex_iterator it(m_strErr.begin(), m_strErr.end(), c_received), end; it != end;
         ++it) {
        strReceived += (*it)[1];
    }
    EXPECT_TRUE(contains(strReceived, "AT\\r\\r\\nOK\\r\\n")) << m_strErr;

    reachable();
    EXPECT_EQ(0, run({"-vv", "paired"})) << m_strErr;
    EXPECT_TRUE(contains(m_strErr, "-> \"AT*ADRDRP=")) << m_strErr;
    EXPECT_FALSE(contains(m_strErr, "START ") || contains(m_strErr, " ms TaviDevice")) << m_strErr;
    EXPECT_EQ(0, run({"-vvv", "paired"})) << m_strErr;
    EXPECT_TRUE(contains(m_strErr, "[TaviDeviceControllerImplC] START "
                                   "TaviDeviceControllerImplC::getPairedDevice"))
        << m_strErr;
    EXPECT_TRUE(contains(m_strErr, " ms TaviDeviceControllerImplC::getPairedDevice"));
}

TEST_F(QuentaToolSlowTest, InterruptedSearchLetsTheModuleEndItsInquiryFirst)
{
    reachable();
    m_pModule->setScanMs(2000);
    ProcessC search(args({"search"}));
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_RECEIVED_LINE, "AT*AGI=", c_ulRunMs));
    const size_t unMark = m_pModule->transcript().size();
    search.signal(SIGINT);
    EXPECT_EQ(130, search.finish(c_ulRunMs));
    EXPECT_TRUE(contains(search.err(), "waiting for the module to end its inquiry"))
        << search.err();
    EXPECT_EQ("", search.out());
    EXPECT_EQ(1u, count(EK_SENT, "\r\nOK\r\n", unMark)) << "the inquiry ended";
    EXPECT_EQ(0u, count(EK_RECEIVED_LINE, "AT*AGND", unMark)) << "nothing sent after it";
    EXPECT_EQ(0, run({"paired"})) << m_strErr;

    // A second signal does not wait (a fresh module, for a fresh transcript).
    SetUp();
    reachable();
    m_pModule->setScanMs(2000);
    ProcessC impatient(args({"search"}));
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_RECEIVED_LINE, "AT*AGI=", c_ulRunMs));
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
    ProcessC tool(args({"--json", "open"}));
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
    ProcessC tool(args({"open"}));
    tool.writeInput("into the void\n");
    EXPECT_EQ(4, tool.finish(c_ulRunMs));
    EXPECT_TRUE(contains(tool.err(), "preparing the module for data on " + m_pModule->slavePath() +
                                         " (COM8:): the module did not answer"))
        << tool.err();
    EXPECT_TRUE(contains(tool.err(), "powered")) << tool.err();
    const char* const c_szInput = "into the void";
    EXPECT_EQ(0u, count(EK_DATA, c_szInput) + count(EK_NOISE, c_szInput) +
                      count(EK_RECEIVED_LINE, c_szInput));
}

TEST_F(QuentaToolSlowTest, OpenEndsWithAMessageWhenTheDeviceGoesAway)
{
    m_pModule->setLineSettings(921600, true);
    ProcessC tool(args({"open"}));
    tool.writeInput("ping\n");
    ASSERT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "ping\n", 20000));
    m_pModule->vanish();
    EXPECT_EQ(4, tool.finish(10000));
    EXPECT_TRUE(contains(tool.err(), "the module went away")) << tool.err();
}

// ------------------------------------------------------------ a module that goes away

struct ToolLossCaseS
{
    const char* szCommand;
    const char* szVanishWord; // the module vanishes instead of answering it
    const char* szWhat;       // what the message says was going on
};

class ToolDeviceLossTest : public QuentaToolSlowTest,
                           public ::testing::WithParamInterface<ToolLossCaseS>
{};

TEST_P(ToolDeviceLossTest, ExitsFourWithinHalfASecondSayingTheModuleWentAway)
{
    const ToolLossCaseS& lossCase = GetParam();
    m_pModule->setLineSettings(921600, true);
    m_pModule->vanishOnCommand(lossCase.szVanishWord);
    ProcessC tool(args({"--json", lossCase.szCommand}));
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
    EXPECT_FALSE(contains(tool.out(), "\"ok\":true")) << tool.out();
    EXPECT_TRUE(contains(tool.err(), lossCase.szWhat + (" on " + m_pModule->slavePath()) +
                                         " (COM8:): the module went away \xe2\x80\x94 is it "
                                         "still plugged in?"))
        << tool.err();
}

// The session's table has each operation's cause of a loss; here no "in data
// mode" for a module that went away during the hand-over, and no bridge for
// one lost while the handle was prepared.
const ToolLossCaseS c_aToolLossCases[] = {
    {"data-mode", "AMWS", "handing over to data mode"},
    {"open", "ADNRP", "preparing the module for data"},
};

INSTANTIATE_TEST_SUITE_P(EveryCommand, ToolDeviceLossTest, ::testing::ValuesIn(c_aToolLossCases),
                         [](const auto& info) { return std::string(info.param.szCommand, 4); });

// The library's own object keeps its port open to the end of the process,
// and here the module keeps sending while every trace goes to a file: the
// reader must be gone before the logs are (the sanitizer builds see it).
TEST_F(QuentaToolSlowTest, ExitsCleanlyWhileTheModuleKeepsSending)
{
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
    const int nExit = run({"--debug-def", definition("LOGT * ALL trace.txt"), "unpair"},
                          {{"QUENTA_STORAGE_ROOT", m_dir.path()}});
    bEnded = true;
    sender.join();
    EXPECT_EQ(0, nExit) << m_strErr;
    EXPECT_FALSE(contains(m_strErr, "Sanitizer")) << m_strErr;
}

TEST_F(QuentaToolSlowTest, SearchShowsProgressOnATerminalAndClearsIt)
{
    reachable();
    m_pModule->setScanMs(3000); // long enough for the "2 s" step, even under load
    int nMaster = -1, nTerminal = -1;
    ASSERT_EQ(0, openpty(&nMaster, &nTerminal, nullptr, nullptr, nullptr));
    ProcessC tool(args({"search"}), {}, nTerminal);
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
    EXPECT_TRUE(contains(strScreen, "\r\033[Kquenta: searching on " + m_pModule->slavePath() +
                                        ": 0 s of about 20 s"))
        << strScreen;
    EXPECT_TRUE(contains(strScreen, ": 2 s of about 20 s")) << strScreen;
    EXPECT_EQ(strScreen.size() - 4, strScreen.rfind("\r\033[K")) << strScreen;
}

} // namespace
