// Serial port cases that wait on real time: the open attempts of a missing or
// busy device, and an idle port measured over seconds.
#include "LogCapture.h"
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "TRC_PRT_SerialPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <pty.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using ClockT = std::chrono::steady_clock;
using std::chrono::milliseconds;
using TRC::PRT::SerialPortC;

long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(ClockT::now() - start).count());
}

std::wstring widen(const std::string& str)
{
    return std::wstring(str.begin(), str.end());
}

size_t countOf(const std::string& strText, const std::string& strPart)
{
    size_t nCount = 0;
    for (size_t nAt = strText.find(strPart); nAt != std::string::npos;
         nAt = strText.find(strPart, nAt + 1)) {
        ++nCount;
    }
    return nCount;
}

class ConsumerC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    void procReadData(const char* pData, uint16_t unCount) override
    {
        m_strData.append(pData, unCount);
        signal();
    }
    std::string m_strData;
};

class PseudoTerminalC
{
public:
    PseudoTerminalC()
    {
        char szName[128] = {};
        termios tio = {};
        cfmakeraw(&tio);
        if (::openpty(&m_nMaster, &m_nSlave, szName, &tio, nullptr) == 0) {
            m_strPath = szName;
        }
    }
    ~PseudoTerminalC()
    {
        ::close(m_nMaster);
        ::close(m_nSlave);
    }
    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strPath;
};

class SerialPortSlowTest : public ::testing::Test
{
protected:
    void TearDown() override { ::unsetenv("QUENTA_PORT_COM8"); }
    LogCaptureC m_capture;
};

// Every failed open is traced and followed by 200 ms, the third one too.
TEST_F(SerialPortSlowTest, MissingDeviceCostsThreeAttempts200MsApart)
{
    struct RowS
    {
        const char* szName;
        std::wstring strPort;
        const char* szMapped;
        const char* szLine;
    };
    const RowS aRows[] = {
        {"COM8: mapped to a missing path", L"COM8:", "/dev/quenta-no-such-device",
         "Open port failed: 2\n"},
        {"missing path", L"/dev/quenta-no-such-device", nullptr, "Open port failed: 2\n"},
        {"no name", L"", nullptr, "Open port failed: 3\n"},
    };
    m_capture.route("SerialPortC", 3);
    for (const RowS& row : aRows) {
        SCOPED_TRACE(row.szName);
        if (row.szMapped != nullptr) {
            ::setenv("QUENTA_PORT_COM8", row.szMapped, 1);
        }
        m_capture.consumer().clear();
        SerialPortC port;
        port.SetPortName(row.strPort);
        const auto start = ClockT::now();
        EXPECT_FALSE(port.Connect());
        const long lElapsed = msSince(start);
        EXPECT_GE(lElapsed, 590);
        EXPECT_LT(lElapsed, 1500);
        EXPECT_EQ(3u, countOf(m_capture.joined(), row.szLine)) << m_capture.joined();
        EXPECT_FALSE(port.IsConnected());
        ::unsetenv("QUENTA_PORT_COM8");
    }
}

TEST_F(SerialPortSlowTest, COM8MapsToTheDeviceInTheEnvironment)
{
    PseudoTerminalC pty;
    ::setenv("QUENTA_PORT_COM8", pty.m_strPath.c_str(), 1);
    SerialPortC port;
    port.SetPortName(L"COM8:");
    ConsumerC consumer;
    port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(port.Connect());
    ASSERT_EQ(2, ::write(pty.m_nMaster, "ok", 2));
    ASSERT_EQ(NOX::RC_OK, consumer.wait(5000));
    port.ConnectReadConsumer(nullptr);
    EXPECT_EQ('o', consumer.m_strData.at(0));
}

TEST_F(SerialPortSlowTest, SecondOpenOfTheSameDeviceIsRefused)
{
    PseudoTerminalC pty;
    SerialPortC first;
    first.SetPortName(widen(pty.m_strPath));
    ASSERT_TRUE(first.Connect());

    m_capture.route("SerialPortC", 3);
    SerialPortC second;
    second.SetPortName(widen(pty.m_strPath));
    EXPECT_FALSE(second.Connect());
    EXPECT_EQ(3u, countOf(m_capture.joined(), "Open port failed: 20\n")) << m_capture.joined();
    EXPECT_FALSE(second.IsConnected());

    ConsumerC consumer;
    first.ConnectReadConsumer(&consumer);
    ASSERT_EQ(1, ::write(pty.m_nMaster, "z", 1));
    EXPECT_EQ(NOX::RC_OK, consumer.wait(5000)) << "the first port still reads";
    first.ConnectReadConsumer(nullptr);

    ASSERT_TRUE(first.Disconnect());
    EXPECT_TRUE(second.Connect()) << "free again once the first closed it";
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
    long lUser = 0;
    long lSystem = 0;
    // Fields 3 onwards; user time is field 14, system time field 15.
    for (int nField = 3; nField <= 15 && fields >> strField; ++nField) {
        if (nField == 14) {
            lUser = std::stol(strField);
        } else if (nField == 15) {
            lSystem = std::stol(strField);
        }
    }
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

bool inPoll(const std::string& strTid)
{
    std::ifstream file("/proc/self/task/" + strTid + "/syscall");
    long lSyscall = -1;
    file >> lSyscall;
#ifdef SYS_poll
    if (lSyscall == SYS_poll) {
        return true;
    }
#endif
    return lSyscall == SYS_ppoll;
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
TEST_F(SerialPortSlowTest, IdlePortCostsNoCpu)
{
    PseudoTerminalC pty;
    SerialPortC port;
    port.SetPortName(widen(pty.m_strPath));
    const std::set<std::string> setBefore = taskIds();
    ASSERT_TRUE(port.Connect());
    std::string strReader;
    for (const std::string& strTid : taskIds()) {
        if (setBefore.count(strTid) == 0) {
            strReader = strTid;
        }
    }
    ASSERT_FALSE(strReader.empty());
    const auto start = ClockT::now();
    while (!inPoll(strReader) && msSince(start) < 5000) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_TRUE(inPoll(strReader));

    const long lTicksBefore = threadTicks(strReader);
    const long lWakeUpsBefore = threadWakeUps(strReader);
    const double dProcessBefore = processCpuMs();
    std::this_thread::sleep_for(milliseconds(2000));
    const long lTicks = threadTicks(strReader) - lTicksBefore;
    const long lWakeUps = threadWakeUps(strReader) - lWakeUpsBefore;
    const double dProcessMs = processCpuMs() - dProcessBefore;
    const double dTickMs = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::cout << "idle 2000 ms: reader cpu " << lTicks * dTickMs << " ms, reader wake-ups "
              << lWakeUps << ", process cpu " << dProcessMs << " ms\n";
    EXPECT_LE(lTicks * dTickMs, 20.0);
    EXPECT_LE(lWakeUps, 1) << "the reader woke up while nothing arrived";
    EXPECT_LT(dProcessMs, 100.0);
    EXPECT_TRUE(port.IsConnected());
}

} // namespace
