// A record is in the file when the log call returns: a process killed right
// after it leaves the record behind.
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace NOX::DBG;

namespace {

class LogFileDurabilityTest : public StorageRootTest
{
protected:
    // Runs fnLog in a child that is killed by SIGKILL as soon as it returns.
    template <class F> void runAndKill(F&& fnLog)
    {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            fnLog();
            ::kill(::getpid(), SIGKILL);
            ::_exit(3);
        }
        int nStatus = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &nStatus, 0));
        ASSERT_TRUE(WIFSIGNALED(nStatus)) << "status " << nStatus;
        EXPECT_EQ(SIGKILL, WTERMSIG(nStatus));
    }
};

} // namespace

TEST_F(LogFileDurabilityTest, RecordsSurviveAKillRightAfterTheCall)
{
    runAndKill([] {
        DbgLogFileC log("DurableLog");
        mgr().addRoute("DurableLog", LVL_ALL, "durable.log", 2, 0, 0, HDR_TICKS);
        mgr().addRoute("SystemErrorLogger", LVL_ALL, "SystemErrorLogger");
        log.log(LVL_ERROR, "record before the kill %d\r\n", 42);
        for (int i = 0; i < 100; ++i) {
            mgr().getSystemErrorLogger()->log(LVL_FATAL, "panic record %d\r\n", i);
        }
    });
    std::string strText = readFile(m_logDir / "durable_01.log");
    EXPECT_NE(std::string::npos, strText.find("record before the kill 42\r\n")) << strText;
    strText = readFile(m_logDir / "ErrorLog_01.txt");
    EXPECT_NE(std::string::npos, strText.find("panic record 0\r\n"));
    EXPECT_NE(std::string::npos, strText.find("panic record 99\r\n")) << "the last one too";
}
