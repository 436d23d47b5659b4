// The quenta-sim tool as scripts run it: the device path on the first line,
// a link that lives as long as the tool, a clean stop on signals.
#include "ProcessRunner.h"
#include "SIM_RawHost.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace QUENTA::SIM;

TEST(SimToolTest, PrintsThePathFirstServesTheLinkAndStopsCleanlyOnSignals)
{
    for (int nSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(nSignal);
        const std::string strLink = "/tmp/quenta-sim-test-" + std::to_string(getpid()) + "-COM8";
        proctest::ProcessC tool(
            {proctest::binaryDir() + "/tools/quenta-sim", "--link", strLink, "--mode", "command"});
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
