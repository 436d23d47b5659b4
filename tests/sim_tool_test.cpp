// The quenta-sim tool as people and scripts run it: the device path on the
// first line, a link that lives as long as the tool, a clean stop on signals.
#include "SIM_RawHost.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace QUENTA::SIM;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

std::string tempPath(const std::string& strName)
{
    return "/tmp/quenta-sim-test-" + std::to_string(getpid()) + "-" + strName;
}

// The tool as a child process with its standard output on a pipe and its
// standard input closed, as in scripts.
class ToolProcessC
{
public:
    explicit ToolProcessC(std::vector<std::string> vecArgs)
    {
        const char* pszDir = std::getenv("QUENTA_TEST_BINARY_DIR");
        vecArgs.insert(vecArgs.begin(), std::string(pszDir ? pszDir : ".") + "/tools/quenta-sim");
        std::vector<char*> vecArgv;
        for (std::string& strArg : vecArgs) {
            vecArgv.push_back(&strArg[0]);
        }
        vecArgv.push_back(nullptr);
        int hPipe[2] = {-1, -1};
        if (pipe(hPipe) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(hPipe[1], STDOUT_FILENO);
            close(hPipe[0]);
            close(hPipe[1]);
            close(STDIN_FILENO);
            execv(vecArgv[0], vecArgv.data());
            _exit(127);
        }
        close(hPipe[1]);
        m_hOut = hPipe[0];
    }
    ~ToolProcessC()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_hOut);
    }

    bool started() const { return m_pid > 0; }

    // Standard output up to the first line end, at most ulTimeoutMs.
    std::string firstLine(uint32_t ulTimeoutMs)
    {
        const auto tEnd = steady_clock::now() + milliseconds(ulTimeoutMs);
        while (m_strOut.find('\n') == std::string::npos && steady_clock::now() < tEnd) {
            readSome(10);
        }
        return m_strOut.substr(0, m_strOut.find('\n'));
    }

    // Reads everything printed until the tool exits; the exit status, or -1.
    int waitExit(uint32_t ulTimeoutMs)
    {
        const auto tEnd = steady_clock::now() + milliseconds(ulTimeoutMs);
        int iStatus = 0;
        while (steady_clock::now() < tEnd) {
            readSome(10);
            if (waitpid(m_pid, &iStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                while (readSome(0)) {
                }
                return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
            }
        }
        return -1;
    }

    void signal(int iSignal) { kill(m_pid, iSignal); }
    const std::string& output() const { return m_strOut; }

private:
    bool readSome(int iTimeoutMs)
    {
        pollfd fd = {m_hOut, POLLIN, 0};
        char szBuffer[4096];
        const ssize_t nRead =
            poll(&fd, 1, iTimeoutMs) > 0 ? read(m_hOut, szBuffer, sizeof(szBuffer)) : 0;
        if (nRead > 0) {
            m_strOut.append(szBuffer, static_cast<size_t>(nRead));
        }
        return nRead > 0;
    }

    pid_t m_pid = -1;
    int m_hOut = -1;
    std::string m_strOut;
};

TEST(SimToolTest, PrintsThePathAtOnceServesTheLinkAndStopsCleanly)
{
    const std::string strLink = tempPath("COM8");
    const auto tStart = steady_clock::now();
    ToolProcessC tool({"--link", strLink, "--mode", "command", "--scan-ms", "100"});
    ASSERT_TRUE(tool.started());
    const std::string strPath = tool.firstLine(1000);
    EXPECT_LT(steady_clock::now() - tStart, milliseconds(1000));
    ASSERT_EQ(0u, strPath.find("/dev/pts/")) << strPath;

    char szTarget[256] = {0};
    ASSERT_GT(readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1), 0);
    EXPECT_EQ(strPath, szTarget);

    RawHostC host;
    ASSERT_TRUE(host.open(strLink));
    EXPECT_EQ("AT\r\r\nOK\r\n", host.command("AT"));
    host.close();

    tool.signal(SIGTERM);
    EXPECT_EQ(0, tool.waitExit(2000));
    struct stat info
    {};
    EXPECT_NE(0, lstat(strLink.c_str(), &info)) << "the link must be gone";
    EXPECT_NE(std::string::npos, tool.output().find("RX   host 115200 no-hs  AT<CR>"))
        << tool.output();
    EXPECT_NE(std::string::npos, tool.output().find("TX   host 115200 no-hs  <CR><LF>OK<CR><LF>"));
}

TEST(SimToolTest, ServesTheDevicesOfAFile)
{
    const std::string strDevices = tempPath("devices.txt");
    std::ofstream(strDevices)
        << "# address class name\n\n0012f3000010r 7978 Left Sensor\n0012f3000011r 99 X\n";
    ToolProcessC tool({"--devices", strDevices, "--mode", "command", "--scan-ms", "10", "--quiet"});
    const std::string strPath = tool.firstLine(1000);
    RawHostC host;
    ASSERT_TRUE(host.open(strPath));
    EXPECT_EQ("AT*AGI=2,10,15\r\r\n*AGI:0012f3000010r,7978\r\n*AGI:0012f3000011r,99\r\n\r\nOK\r\n",
              host.command("AT*AGI=2,10,15"));
    EXPECT_EQ("AT*AGND=0012f3000010r\r\r\n*AGND:\"Left Sensor\"\r\nOK\r\n",
              host.command("AT*AGND=0012f3000010r"));
    tool.signal(SIGINT);
    EXPECT_EQ(0, tool.waitExit(2000));
    EXPECT_EQ(strPath + "\n", tool.output()) << "--quiet prints the path only";
    std::remove(strDevices.c_str());
}

TEST(SimToolTest, ExplainsItselfAndRefusesBadOptions)
{
    const struct
    {
        std::vector<std::string> m_vecArgs;
        int m_iExit;
        const char* m_szOutput;
    } cases[] = {
        {{"--help"}, 0, "--devices FILE"},
        {{"--baud", "38400"}, 2, ""},
        {{"--mode", "sleepy"}, 2, ""},
        {{"--scan-ms", "soon"}, 2, ""},
        {{"--devices", "/nonexistent/devices"}, 2, ""},
        {{"--frobnicate"}, 2, ""},
    };
    for (const auto& c : cases) {
        ToolProcessC tool(c.m_vecArgs);
        EXPECT_EQ(c.m_iExit, tool.waitExit(2000)) << c.m_vecArgs[0];
        EXPECT_NE(std::string::npos, tool.output().find(c.m_szOutput)) << c.m_vecArgs[0];
    }
}

} // namespace
