// A record is in the file when the log call returns: a process killed right
// after it leaves the record behind.
#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Dbg/NOX_DBG_LogFile.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace NOX::DBG;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class LogFileDurabilityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/quenta-durable-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(szTemplate));
        m_root = szTemplate;
        ::setenv("QUENTA_STORAGE_ROOT", szTemplate, 1);
    }
    void TearDown() override
    {
        DbgLogMgrC::getInstance()->removeAll();
        std::error_code error;
        fs::remove_all(m_root, error);
    }

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

    fs::path m_root;
};

} // namespace

TEST_F(LogFileDurabilityTest, RecordOfAComponentLogSurvivesAKillRightAfterTheCall)
{
    runAndKill([] {
        DbgLogFileC log("DurableLog");
        DbgLogMgrC::getInstance()->addRoute("DurableLog", LVL_ALL, "durable.log", 2, 0, 0,
                                            HDR_TICKS);
        log.log(LVL_ERROR, "record before the kill %d\r\n", 42);
    });
    std::string strText = readFile(m_root / "dbg" / "log" / "durable_01.log");
    EXPECT_NE(std::string::npos, strText.find("record before the kill 42\r\n")) << strText;
}

TEST_F(LogFileDurabilityTest, ErrorLogRecordSurvivesAKillRightAfterTheCall)
{
    runAndKill([] {
        DbgLogMgrC* pMgr = DbgLogMgrC::getInstance();
        pMgr->addRoute("SystemErrorLogger", LVL_ALL, "SystemErrorLogger");
        for (int i = 0; i < 100; ++i) {
            pMgr->getSystemErrorLogger()->log(LVL_FATAL, "panic record %d\r\n", i);
        }
    });
    std::string strText = readFile(m_root / "dbg" / "log" / "ErrorLog_01.txt");
    EXPECT_NE(std::string::npos, strText.find("panic record 0\r\n"));
    EXPECT_NE(std::string::npos, strText.find("panic record 99\r\n")) << "the last one too";
}
