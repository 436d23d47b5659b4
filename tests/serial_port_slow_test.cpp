// Serial port cases that wait on real time: the open attempts of a missing
// device, and an idle port measured over seconds.
#include "LogCapture.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "PortTestSupport.h"
#include "TRC_PRT_SerialPort.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <sys/resource.h>

namespace {

using namespace porttest;
using std::chrono::milliseconds;
using TRC::PRT::SerialPortC;

// A busy port gets three attempts, each traced and followed by 200 ms; a
// device that is not there (or no serial device) gets one, without a wait.
TEST(SerialPortSlowTest, OpenAttemptsDependOnWhetherTheDeviceCanComeBack)
{
    PseudoTerminalC pty;
    SerialPortC holder;
    holder.SetPortName(pty.name());
    ASSERT_TRUE(holder.Connect());
    const struct
    {
        std::wstring strPath;
        const char* szTrace;
        size_t unAttempts;
        long lMinMs;
        long lMaxMs;
    } aCases[] = {
        {pty.name(), "Open port failed: 20\n", 3, 590, 1500},
        {L"/dev/quenta-no-such-device", "Open port failed: 2\n", 1, 0, 150},
        {L"/dev/null", "Open port failed: 32\n", 1, 0, 150},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(std::string(c.strPath.begin(), c.strPath.end()));
        LogCaptureC capture;
        capture.route("SerialPortC", 3);
        SerialPortC port;
        port.SetPortName(c.strPath);
        const auto start = ClockT::now();
        EXPECT_FALSE(port.Connect());
        const long lElapsed = msSince(start);
        EXPECT_GE(lElapsed, c.lMinMs);
        EXPECT_LT(lElapsed, c.lMaxMs);
        EXPECT_EQ(c.unAttempts, countOf(capture.joined(), c.szTrace)) << capture.joined();
    }
}

std::set<std::string> taskIds()
{
    std::set<std::string> setIds;
    DIR* pDir = ::opendir("/proc/self/task");
    for (dirent* pEntry = ::readdir(pDir); pEntry != nullptr; pEntry = ::readdir(pDir)) {
        if (pEntry->d_name[0] != '.') {
            setIds.insert(pEntry->d_name);
        }
    }
    ::closedir(pDir);
    return setIds;
}

// CPU ticks (user + system) of a thread, from its stat line.
long threadTicks(const std::string& strTid)
{
    std::ifstream file("/proc/self/task/" + strTid + "/stat");
    std::string strLine;
    std::getline(file, strLine);
    std::istringstream fields(strLine.substr(strLine.rfind(')') + 2));
    std::string strField;
    // Fields 3 onwards; user time is field 14, system time field 15.
    for (int nField = 3; nField < 14; ++nField) {
        fields >> strField;
    }
    long lUser = 0;
    long lSystem = 0;
    fields >> lUser >> lSystem;
    return lUser + lSystem;
}

long threadWakeUps(const std::string& strTid)
{
    std::ifstream file("/proc/self/task/" + strTid + "/status");
    std::string strLine;
    long lCount = -1;
    while (std::getline(file, strLine)) {
        if (strLine.rfind("voluntary_ctxt_switches:", 0) == 0) {
            lCount = std::stol(strLine.substr(strLine.find(':') + 1));
        }
    }
    return lCount;
}

double processCpuMs()
{
    rusage usage = {};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// An open port without traffic: its reader sleeps in the kernel and wakes
// up for nothing.
TEST(SerialPortSlowTest, IdlePortCostsNoCpu)
{
    PseudoTerminalC pty;
    SerialPortC port;
    port.SetPortName(pty.name());
    const std::set<std::string> setBefore = taskIds();
    ASSERT_TRUE(port.Connect());
    std::string strReader;
    for (const std::string& strTid : taskIds()) {
        if (setBefore.count(strTid) == 0) {
            strReader = strTid;
        }
    }
    ASSERT_FALSE(strReader.empty());
    const std::atomic<pid_t> tidReader(std::stoi(strReader));
    ASSERT_TRUE(ptytest::waitUntilInPoll(tidReader));

    const long lTicksBefore = threadTicks(strReader);
    const long lWakeUpsBefore = threadWakeUps(strReader);
    const double dProcessBefore = processCpuMs();
    std::this_thread::sleep_for(milliseconds(2000));
    const long lTicks = threadTicks(strReader) - lTicksBefore;
    const long lWakeUps = threadWakeUps(strReader) - lWakeUpsBefore;
    const double dProcessMs = processCpuMs() - dProcessBefore;
    const double dTickMs = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    EXPECT_LE(lTicks * dTickMs, 20.0);
    EXPECT_LE(lWakeUps, 1) << "the reader woke up while nothing arrived";
    EXPECT_LT(dProcessMs, 100.0);
}

} // namespace
