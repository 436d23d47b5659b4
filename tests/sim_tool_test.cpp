// The quenta-sim tool as scripts run it: the device path on the first line,
// a link that lives as long as the tool, a clean stop on signals; and as a
// test instrument, what needs the process: faults, steps and statements on
// the command line, in a scenario and on the control socket, and vanishing
// behind the link. What the module does with a fault is the in-process
// tests' business; the JSON Lines transcript is read by the Python package's.
#include "ProcessRunner.h"
#include "SIM_RawHost.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

using namespace QUENTA::SIM;

namespace {

const std::string c_strTool = proctest::binaryDir() + "/tools/quenta-sim";

bool gone(const std::string& strPath)
{
    struct stat info
    {};
    return lstat(strPath.c_str(), &info) != 0;
}

TEST(SimToolTest, PrintsThePathFirstServesTheLinkAndStopsCleanlyOnSignals)
{
    for (int nSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(nSignal);
        const std::string strLink = "/tmp/quenta-sim-test-" + std::to_string(getpid()) + "-COM8";
        proctest::ProcessC tool(
            {c_strTool, "--link", strLink, "--mode", "command", "--seed", "4294967295"});
        ASSERT_TRUE(tool.waitForOutput("\n", 1000));
        const std::string strPath = tool.out().substr(0, tool.out().find('\n'));
        ASSERT_EQ(0u, strPath.find("/dev/pts/")) << strPath;
        char szTarget[256] = {0};
        ASSERT_GT(readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1), 0);
        EXPECT_EQ(strPath, szTarget);

        RawHostC host;
        ASSERT_TRUE(host.open(strLink));
        EXPECT_EQ("AT\r\r\nOK\r\n", host.command("AT"));
        host.close();

        tool.signal(nSignal);
        EXPECT_EQ(0, tool.finish(2000));
        EXPECT_TRUE(gone(strLink)) << "the link must be gone";
    }
}

// ---------------------------------------------------------------- the test instrument

// Where a tool instance keeps its socket, transcript and link.
std::string scratch(const std::string& strName)
{
    return "/tmp/quenta-sim-tt-" + std::to_string(getpid()) + "-" + strName;
}

// Sends the lines on one connection and returns the answer lines.
std::vector<std::string> askControl(const std::string& strSocket,
                                    const std::vector<std::string>& vecLines)
{
    const int hFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", strSocket.c_str());
    std::string strText, strAnswers;
    for (const std::string& strLine : vecLines) {
        strText += strLine + "\n";
    }
    if (connect(hFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        write(hFd, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size())) {
        shutdown(hFd, SHUT_WR);
        pollfd fd = {hFd, POLLIN, 0};
        char aBuffer[4096];
        for (ssize_t nRead;
             poll(&fd, 1, 5000) > 0 && (nRead = read(hFd, aBuffer, sizeof(aBuffer))) > 0;) {
            strAnswers.append(aBuffer, static_cast<size_t>(nRead));
        }
    } else {
        ADD_FAILURE() << "cannot ask " << strSocket;
    }
    close(hFd);
    return proctest::splitLines(strAnswers);
}

class SimInstrumentTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_host.close();
        if (m_pTool) {
            m_pTool->signal(SIGTERM);
            EXPECT_EQ(0, m_pTool->finish(3000)) << m_pTool->err();
        }
        EXPECT_TRUE(gone(m_strSocket)) << "the socket must be gone";
        unlink(m_strTranscript.c_str());
        unlink(m_strScenario.c_str());
    }

    void startTool(const std::vector<std::string>& vecExtra)
    {
        std::vector<std::string> vecArgv = {
            c_strTool, "--mode",  "command",   "--scan-ms", "50",           "--name-ms",
            "10",      "--quiet", "--control", m_strSocket, "--transcript", m_strTranscript,
            "--link",  m_strLink};
        vecArgv.insert(vecArgv.end(), vecExtra.begin(), vecExtra.end());
        m_pTool.reset(new proctest::ProcessC(vecArgv));
        ASSERT_TRUE(m_pTool->waitForOutput("\n", 3000)) << m_pTool->err();
        ASSERT_TRUE(m_host.open(m_strLink));
    }

    std::string ask(const std::string& strLine) { return askControl(m_strSocket, {strLine}).at(0); }

    std::string state() { return ask("state"); }

    // The transcript's lines of one kind.
    std::vector<std::string> transcriptLines(const std::string& strKind)
    {
        std::vector<std::string> vecLines;
        std::ifstream file(m_strTranscript, std::ios::binary);
        const std::string strText{std::istreambuf_iterator<char>(file), {}};
        for (const std::string& strLine : proctest::splitLines(strText)) {
            if (strLine.find("\"kind\":\"" + strKind + "\"") != std::string::npos) {
                vecLines.push_back(strLine);
            }
        }
        return vecLines;
    }

    const std::string m_strSocket = scratch("ctl");
    const std::string m_strTranscript = scratch("transcript.jsonl");
    const std::string m_strLink = scratch("com8");
    const std::string m_strScenario = scratch("scenario");
    std::unique_ptr<proctest::ProcessC> m_pTool;
    RawHostC m_host;
};

TEST_F(SimInstrumentTest, VanishesAndReturnsBehindTheSameLink)
{
    startTool({"--fault", "AGI=vanish@2"});
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));
    EXPECT_NE(std::string::npos, m_host.command("AT*AGI=2,10,15").find("OK"));
    ASSERT_TRUE(m_host.write("AT*AGI=2,10,15\r"));
    EXPECT_TRUE(m_host.waitForHangup(2000)) << "the second inquiry ends in a vanished module";
    EXPECT_NE(std::string::npos, state().find("\"vanished\":true"));

    EXPECT_EQ("ok", ask("return"));
    EXPECT_EQ("error: line 1: the module has not vanished", ask("return"));
    m_host.close();
    ASSERT_TRUE(m_host.open(m_strLink)) << "the link names the fresh pseudo-terminal";
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));

    // Noise by statement (the peer's data and a vanish by statement are the
    // Python package's and the session's cases).
    EXPECT_EQ("ok", ask("garbage"));
    EXPECT_EQ(16u, m_host.readFor(200).size()) << "sixteen random bytes";
}

TEST_F(SimInstrumentTest, BadStatementsAreAnsweredAndChangeNothing)
{
    startTool({});
    ASSERT_EQ("ok", ask("fault AGI=error*2"));
    const std::string strBefore = state();
    const std::vector<std::string> vecAnswers =
        askControl(m_strSocket, {"# a comment", "", "fault AGI=silent:3",
                                 "device remove 02a0c7a1b2c9r", "return", "state"});
    const std::vector<std::string> vecExpected = {
        "ok",
        "ok",
        "error: line 3: silent takes no :ARG",
        "error: line 4: no device 02a0c7a1b2c9r nearby",
        "error: line 5: the module has not vanished",
        strBefore,
    };
    EXPECT_EQ(vecExpected, vecAnswers);
    EXPECT_EQ("AT*AGI=2,10,15\r\r\nERROR\r\n", m_host.command("AT*AGI=2,10,15"));
    EXPECT_EQ("ok", ask("clear all"));
    EXPECT_NE(std::string::npos, m_host.command("AT*AGI=2,10,15").find("OK")) << "cleared";

    // A line without its line feed at the end still counts; an overlong one is refused.
    EXPECT_EQ((std::vector<std::string>{"error: line 1: longer than 65536 bytes", "ok"}),
              askControl(m_strSocket, {std::string(70000, 'x'), "set echo off"}));
    EXPECT_NE(std::string::npos, state().find("\"echo\":false"));
}

TEST_F(SimInstrumentTest, AScenarioRunsStepsOnCommandsSeenOnTheWire)
{
    {
        std::ofstream scenario(m_strScenario);
        scenario << "# a pairing that fails on the second try\n"
                    "devices clear\n"
                    "device add 02a0c7a1b2c9r 7978 ONLY-ONE\n"
                    "set answer-noise on\n"
                    "on AGI: fault AGND=silent*1\n"
                    "on AT#2: mode data\n";
    }
    startTool({"--scenario", m_strScenario});
    EXPECT_EQ("AT*AGI=2,10,15\r\r\n*AGI:02a0c7a1b2c9r,7978\r\n\r\nOK\r\n",
              m_host.command("AT*AGI=2,10,15"));
    EXPECT_EQ("AT*AGND=02a0c7a1b2c9r\r", m_host.command("AT*AGND=02a0c7a1b2c9r", 300));
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT"));
    EXPECT_EQ("", m_host.command("AT", 300)) << "the step put the module in data mode first";
    EXPECT_NE(std::string::npos, state().find("\"mode\":\"data\""));
    EXPECT_TRUE(transcriptLines("data").empty()) << "the line is dropped, not passed on";

    // Line noise (another bit rate) is answered with garbage now.
    ASSERT_TRUE(m_host.setLine(921600, false));
    ASSERT_TRUE(m_host.write("AT\r"));
    EXPECT_FALSE(m_host.readFor(300).empty());
    EXPECT_FALSE(transcriptLines("noise").empty());
}

// A bad scenario line is the Python package's case, which names its line.
TEST(SimToolStartTest, BadStatementsStopTheStartWithTheirLine)
{
    const std::pair<std::vector<std::string>, std::string> c_aCases[] = {
        {{"--fault", "AGI=sometimes"}, "--fault AGI=sometimes: unknown fault kind \"sometimes\""},
        {{"--statement", "device remove 02a0c7a1b2c9r"},
         "--statement device remove 02a0c7a1b2c9r: no device 02a0c7a1b2c9r nearby"},
        {{"--scenario", scratch("missing")}, "cannot read " + scratch("missing")},
        {{"--seed", "4294967296"}, "bad option or value: --seed"},
        {{"--seed", "-1"}, "bad option or value: --seed"},
    };
    for (const auto& [vecArgs, strMessage] : c_aCases) {
        std::vector<std::string> vecArgv = {c_strTool};
        vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
        const proctest::RunS result = proctest::runProcess(vecArgv, {}, 5000);
        EXPECT_EQ(2, result.m_nExit) << strMessage;
        EXPECT_EQ(0u, result.m_strErr.find("quenta-sim: " + strMessage)) << result.m_strErr;
        EXPECT_EQ("", result.m_strOut) << "no device path: it did not start";
    }
    const proctest::RunS version = proctest::runProcess({c_strTool, "--version"});
    EXPECT_EQ(0, version.m_nExit);
    EXPECT_EQ("quenta-sim " QUENTA_SIM_VERSION "\n", version.m_strOut);
}

} // namespace
