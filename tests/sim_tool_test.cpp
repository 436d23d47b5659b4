// The quenta-sim tool as scripts run it: the device path on the first line,
// a link that lives as long as the tool, a clean stop on signals; and as a
// test instrument, what needs the process: faults, steps and statements on
// the command line, in a scenario and on the control socket, vanishing
// behind the link, and the JSON Lines transcript. What the module does with
// a fault is the in-process tests' business.
#include "ProcessRunner.h"
#include "SIM_RawHost.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace QUENTA::SIM;

TEST(SimToolTest, PrintsThePathFirstServesTheLinkAndStopsCleanlyOnSignals)
{
    for (int nSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(nSignal);
        const std::string strLink = "/tmp/quenta-sim-test-" + std::to_string(getpid()) + "-COM8";
        proctest::ProcessC tool({proctest::binaryDir() + "/tools/quenta-sim", "--link", strLink,
                                 "--mode", "command", "--seed", "4294967295"});
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
        struct stat info
        {};
        EXPECT_NE(0, lstat(strLink.c_str(), &info)) << "the link must be gone";
    }
}

// ---------------------------------------------------------------- the test instrument

namespace {

// Where a tool instance keeps its socket, transcript and link.
std::string scratch(const std::string& strName)
{
    return "/tmp/quenta-sim-tt-" + std::to_string(getpid()) + "-" + strName;
}

std::string readFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Sends the lines on one connection and returns the answer lines.
std::vector<std::string> askControl(const std::string& strSocket,
                                    const std::vector<std::string>& vecLines)
{
    const int hFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", strSocket.c_str());
    if (connect(hFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ADD_FAILURE() << "cannot connect to " << strSocket;
        close(hFd);
        return {};
    }
    std::string strText;
    for (const std::string& strLine : vecLines) {
        strText += strLine + "\n";
    }
    EXPECT_EQ(static_cast<ssize_t>(strText.size()), write(hFd, strText.data(), strText.size()));
    shutdown(hFd, SHUT_WR);
    std::string strAnswers;
    pollfd fd = {hFd, POLLIN, 0};
    char aBuffer[4096];
    while (poll(&fd, 1, 5000) > 0) {
        const ssize_t nRead = read(hFd, aBuffer, sizeof(aBuffer));
        if (nRead <= 0) {
            break;
        }
        strAnswers.append(aBuffer, static_cast<size_t>(nRead));
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
        struct stat info
        {};
        EXPECT_NE(0, lstat(m_strSocket.c_str(), &info)) << "the socket must be gone";
        unlink(m_strTranscript.c_str());
        unlink(m_strScenario.c_str());
    }

    void startTool(const std::vector<std::string>& vecExtra)
    {
        const std::string strTool = proctest::binaryDir() + "/tools/quenta-sim";
        std::vector<std::string> vecArgv = {
            strTool,  "--mode",  "command",   "--scan-ms", "50",           "--name-ms",
            "10",     "--quiet", "--control", m_strSocket, "--transcript", m_strTranscript,
            "--link", m_strLink};
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
        for (const std::string& strLine : proctest::splitLines(readFile(m_strTranscript))) {
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

    // The unplugged cable by statement; the peer's data and noise by statement.
    EXPECT_EQ("ok", ask("vanish"));
    EXPECT_TRUE(m_host.waitForHangup(2000));
    EXPECT_EQ("ok", ask("return"));
    ASSERT_TRUE(m_host.open(m_strLink));
    EXPECT_EQ("ok", ask("peer hello\\r\\n\\xff"));
    EXPECT_EQ("hello\r\n\xff", m_host.readUntil("\xff", 2000));
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

TEST_F(SimInstrumentTest, SeveralClientsAtOnceEachGetTheirAnswers)
{
    startTool({});
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ("ok", askControl(m_strSocket, {"set name-ms 10"}).at(0));
        }
    });
    for (int i = 0; i < 20; ++i) {
        const std::vector<std::string> vecAnswers =
            askControl(m_strSocket, {"device add 02a0c7a1b2d" + std::to_string(i) + "r 7978 N",
                                     "bogus", "state"});
        ASSERT_EQ(3u, vecAnswers.size());
        EXPECT_EQ("ok", vecAnswers[0]);
        EXPECT_EQ(0u, vecAnswers[1].find("error: line 2: "));
        EXPECT_EQ(0u, vecAnswers[2].find("ok {\"mode\":\"command\""));
    }
    other.join();
    EXPECT_NE(std::string::npos, state().find("02a0c7a1b2d19r"));
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

// What is recorded is the in-process tests' business; here, its JSON form.
TEST_F(SimInstrumentTest, TheTranscriptHoldsTheExactBytesWithModeAndHost)
{
    startTool({"--statement", "set echo off"});
    EXPECT_EQ("\r\nOK\r\n", m_host.command("AT*AGLN=\"caf\xe9\",1"));
    EXPECT_EQ("ok", ask("mode data"));

    const std::vector<std::string> vecReceived = transcriptLines("received");
    ASSERT_EQ(1u, vecReceived.size());
    const std::string& strReceived = vecReceived[0];
    EXPECT_EQ(0u, strReceived.find("{\"t\":")) << strReceived;
    EXPECT_GT(std::strtod(strReceived.c_str() + 5, nullptr), 0.0) << strReceived;
    const std::string strRest =
        R"(,"kind":"received","bytes":"AT*AGLN=\"caf\u00e9\",1\u000d","mode":"command",)"
        R"("host":{"baud":115200,"bits":8,"parity":"none","stop":1,"rtscts":false}})";
    EXPECT_EQ(strRest, strReceived.substr(strReceived.find(",\"kind\""))) << strReceived;
    const std::vector<std::string> vecModes = transcriptLines("mode");
    ASSERT_EQ(2u, vecModes.size());
    EXPECT_NE(std::string::npos, vecModes[0].find("\"host\":null")) << "no host seen yet";
    EXPECT_NE(std::string::npos, vecModes[1].find("\"mode\":\"data\",")) << vecModes[1];
    EXPECT_NE(std::string::npos, vecModes[1].find("\"note\":\"data (set)\"")) << vecModes[1];
}

TEST(SimToolStartTest, BadStatementsStopTheStartWithTheirLine)
{
    const std::string strScenario = scratch("bad-scenario");
    {
        std::ofstream scenario(strScenario);
        scenario << "fault AGI=error\n# fine so far\nfault AGND=vanish:2\n";
    }
    const std::string strTool = proctest::binaryDir() + "/tools/quenta-sim";
    const struct
    {
        std::vector<std::string> vecArgs;
        std::string strMessage;
    } c_aCases[] = {
        {{"--fault", "AGI=sometimes"},
         "quenta-sim: --fault AGI=sometimes: unknown fault kind \"sometimes\""},
        {{"--fault", "AGI=error", "--scenario", strScenario},
         "quenta-sim: " + strScenario + ":3: vanish takes no :ARG"},
        {{"--statement", "device remove 02a0c7a1b2c9r"},
         "quenta-sim: --statement device remove 02a0c7a1b2c9r: no device 02a0c7a1b2c9r nearby"},
        {{"--scenario", scratch("missing")}, "quenta-sim: cannot read " + scratch("missing")},
        {{"--seed", "4294967296"}, "quenta-sim: bad option or value: --seed"},
        {{"--seed", "-1"}, "quenta-sim: bad option or value: --seed"},
    };
    for (const auto& testCase : c_aCases) {
        std::vector<std::string> vecArgv = {strTool};
        vecArgv.insert(vecArgv.end(), testCase.vecArgs.begin(), testCase.vecArgs.end());
        const proctest::RunS result = proctest::runProcess(vecArgv, {}, 5000);
        EXPECT_EQ(2, result.m_nExit) << testCase.strMessage;
        EXPECT_EQ(0u, result.m_strErr.find(testCase.strMessage)) << result.m_strErr;
        EXPECT_EQ("", result.m_strOut) << "no device path: it did not start";
    }
    unlink(strScenario.c_str());

    const proctest::RunS version = proctest::runProcess({strTool, "--version"});
    EXPECT_EQ(0, version.m_nExit);
    EXPECT_EQ("quenta-sim " QUENTA_SIM_VERSION "\n", version.m_strOut);
}

} // namespace
