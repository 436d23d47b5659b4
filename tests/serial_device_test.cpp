// The serial functions of the platform on the line under test: the device
// named in QUENTA_TEST_SERIAL_DEVICE (the real-driver lab runs this in its
// guest on a UART and on a USB adapter, with a simulated module on the far
// end), else a pseudo-terminal whose master side stands for the far end.
// What the real line does is told by the environment:
//   QUENTA_TEST_SERIAL_921600=0   the line refuses 921600 bit/s (a 16550)
//   QUENTA_TEST_SERIAL_CTS_LOW=1  CTS is held low: output with RTS/CTS stalls
//   QUENTA_TEST_SERIAL_UNPLUG=1   the lab pulls the device when "unplug-me" passes
#include "Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using ClockT = std::chrono::steady_clock;

long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(ClockT::now() - start).count());
}

bool envFlag(const char* pszName, bool bDefault)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue == nullptr || *pszValue == 0 ? bDefault : *pszValue == '1';
}

HANDLE openPort(const std::string& strPath)
{
    const std::wstring strWide(strPath.begin(), strPath.end());
    return CreateFileW(strWide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

class SerialDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* pszDevice = std::getenv("QUENTA_TEST_SERIAL_DEVICE");
        if (pszDevice != nullptr && *pszDevice != 0) {
            m_strPath = pszDevice;
        } else {
            char szName[256] = {};
            int nSlave = -1;
            ASSERT_EQ(0, ::openpty(&m_nMaster, &nSlave, szName, nullptr, nullptr));
            ::close(nSlave);
            m_strPath = szName;
        }
        m_hPort = openPort(m_strPath);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << m_strPath << ": " << GetLastError();
    }

    void TearDown() override
    {
        if (m_hPort != INVALID_HANDLE_VALUE)
            CloseHandle(m_hPort);
        if (m_nMaster >= 0)
            ::close(m_nMaster);
    }

    bool onPseudoTerminal() const { return m_nMaster >= 0; }

    void setLine(DWORD dwRate, bool bHandshake)
    {
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(m_hPort, &dcb));
        dcb.BaudRate = dwRate;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = bHandshake;
        dcb.fRtsControl = bHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(m_hPort, &dcb)) << GetLastError();
    }

    void setTimeouts(DWORD dwReadConstant, DWORD dwWriteConstant)
    {
        COMMTIMEOUTS timeouts = {0, 0, dwReadConstant, 0, dwWriteConstant};
        ASSERT_TRUE(SetCommTimeouts(m_hPort, &timeouts));
    }

    COMSTAT queues()
    {
        COMSTAT stat = {};
        EXPECT_TRUE(ClearCommError(m_hPort, nullptr, &stat)) << GetLastError();
        return stat;
    }

    std::string m_strPath;
    int m_nMaster = -1;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

struct RateS
{
    DWORD dwRate;
    bool bTaken;
};

// A UART may take a speed it cannot run and keep the old one; the set must
// then fail as it would on the target, and the line read back as it was.
TEST_F(SerialDeviceTest, BitRatesAreTakenOrRefusedAsTheLineReadsBack)
{
    setLine(115200, false);
    const RateS aCases[] = {
        {921600, envFlag("QUENTA_TEST_SERIAL_921600", true)},
        {57600, true},
        {115200, true},
    };
    DWORD dwCurrent = 115200;
    bool bHandshake = false;
    for (const RateS& rate : aCases) {
        SCOPED_TRACE(rate.dwRate);
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(m_hPort, &dcb));
        dcb.BaudRate = rate.dwRate;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        EXPECT_EQ(rate.bTaken, SetCommState(m_hPort, &dcb) != FALSE);
        if (rate.bTaken) {
            dwCurrent = rate.dwRate;
            bHandshake = true;
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        }
        DCB back = {};
        ASSERT_TRUE(GetCommState(m_hPort, &back));
        EXPECT_EQ(dwCurrent, back.BaudRate);
        EXPECT_EQ(bHandshake, back.fOutxCtsFlow != 0);
    }
}

TEST_F(SerialDeviceTest, AReadWithNothingArrivingEndsByItsTimeOut)
{
    setLine(115200, false);
    setTimeouts(300, 200);
    char szBuffer[16];
    DWORD dwRead = 99;
    const auto start = ClockT::now();
    EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
    const long nMs = msSince(start);
    EXPECT_EQ(0u, dwRead);
    EXPECT_GE(nMs, 295);
    EXPECT_LT(nMs, 1300);
}

TEST_F(SerialDeviceTest, PurgeEmptiesBothQueues)
{
    // Something to purge: on a pseudo-terminal input from the far end; with
    // CTS held low output that cannot leave. The lab's emulated lines
    // otherwise send at once, whatever the bit rate.
    const bool bHeld = envFlag("QUENTA_TEST_SERIAL_CTS_LOW", false);
    setLine(115200, bHeld);
    setTimeouts(200, 0);
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(m_hPort, "purge me", 8, &dwWritten, nullptr));
    if (onPseudoTerminal()) {
        ASSERT_EQ(5, ::write(m_nMaster, "stale", 5));
        const auto start = ClockT::now();
        while (queues().cbInQue < 5 && msSince(start) < 5000)
            ::usleep(1000);
        ASSERT_EQ(5u, queues().cbInQue);
    } else if (bHeld) {
        ASSERT_EQ(8u, queues().cbOutQue);
    }
    ASSERT_TRUE(PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR)) << GetLastError();
    const COMSTAT after = queues();
    EXPECT_EQ(0u, after.cbInQue);
    EXPECT_EQ(0u, after.cbOutQue);
}

// With RTS/CTS and CTS held low nothing leaves a real line: the write ends by
// its time-out with what was not sent taken back, and neither the close nor
// the exit of a process that never closed waits for the line.
TEST_F(SerialDeviceTest, StalledOutputHoldsNeitherTheWriteNorTheCloseNorTheExit)
{
    const bool bStalls = envFlag("QUENTA_TEST_SERIAL_CTS_LOW", false);
    setLine(115200, true);
    setTimeouts(200, 200);
    const std::string strData(512, 'y');
    DWORD dwWritten = 0;
    auto start = ClockT::now();
    EXPECT_TRUE(WriteFile(m_hPort, strData.data(), 512, &dwWritten, nullptr));
    EXPECT_LT(msSince(start), 1200);
    EXPECT_EQ(bStalls, dwWritten < 512) << dwWritten;
    EXPECT_EQ(0u, queues().cbOutQue);

    start = ClockT::now();
    EXPECT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    EXPECT_LT(msSince(start), 1000);

    start = ClockT::now();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const HANDLE hPort = openPort(m_strPath);
        DCB dcb = {};
        GetCommState(hPort, &dcb);
        dcb.BaudRate = 115200;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        COMMTIMEOUTS timeouts = {0, 0, 200, 0, 200};
        DWORD dwDone = 0;
        const bool bOk = SetCommState(hPort, &dcb) && SetCommTimeouts(hPort, &timeouts) &&
                         WriteFile(hPort, strData.data(), 512, &dwDone, nullptr);
        ::_exit(bOk ? 0 : 1);
    }
    int nStatus = -1;
    ASSERT_EQ(child, ::waitpid(child, &nStatus, 0));
    EXPECT_EQ(0, nStatus);
    EXPECT_LT(msSince(start), 1200);
}

// Last: in the lab the device is gone afterwards.
TEST_F(SerialDeviceTest, APulledDeviceFailsEveryCallWith1617)
{
    if (!onPseudoTerminal() && !envFlag("QUENTA_TEST_SERIAL_UNPLUG", false))
        GTEST_SKIP() << "the lab pulls only the USB adapter";
    setLine(115200, false);
    setTimeouts(0, 200);
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    if (onPseudoTerminal()) {
        ::close(m_nMaster);
        m_nMaster = -1;
    } else {
        DWORD dwWritten = 0;
        ASSERT_TRUE(WriteFile(m_hPort, "unplug-me\r\n", 11, &dwWritten, nullptr));
    }
    DWORD dwEvents = 0;
    const auto start = ClockT::now();
    EXPECT_FALSE(WaitCommEvent(m_hPort, &dwEvents, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
    EXPECT_LT(msSince(start), 5000);
    char szBuffer[8];
    DWORD dwCount = 0;
    EXPECT_FALSE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwCount, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
    EXPECT_FALSE(WriteFile(m_hPort, "x", 1, &dwCount, nullptr));
}

} // namespace
