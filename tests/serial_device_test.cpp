// The serial functions of the platform on the line under test: the device
// named in QUENTA_TEST_SERIAL_DEVICE (the real-driver lab runs this in its
// guest on a UART and on a USB adapter, with a simulated module on the far
// end), else a pseudo-terminal whose master side plays the far end; cases that
// need to send from the far end run on the pseudo-terminal only.
// What the real line does is told by the environment:
//   QUENTA_TEST_SERIAL_921600=0   the line refuses 921600 bit/s (a 16550)
//   QUENTA_TEST_SERIAL_CTS_LOW=1  CTS is held low: output with RTS/CTS stalls
//   QUENTA_TEST_SERIAL_UNPLUG=1   the lab pulls the device when "unplug-me" passes
#include "../platform/posix/PlatSerialLine.h"
#include "PortTestSupport.h"

#include <cstdlib>
#include <functional>

#include <sys/wait.h>

namespace {

using namespace porttest;

bool envFlag(const char* pszName, bool bDefault)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue == nullptr || *pszValue == 0 ? bDefault : *pszValue == '1';
}

class SerialDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* pszDevice = std::getenv("QUENTA_TEST_SERIAL_DEVICE");
        m_strPath = pszDevice != nullptr && *pszDevice != 0 ? pszDevice : m_pty.m_strPath;
        m_hPort = openPort(m_strPath);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << m_strPath << ": " << GetLastError();
    }

    void TearDown() override { closePort(); }

    bool onPseudoTerminal() const { return m_strPath == m_pty.m_strPath; }

    void closePort()
    {
        if (m_hPort != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(m_hPort));
        }
        m_hPort = INVALID_HANDLE_VALUE;
    }

    // Without handshake DTR follows the choice for RTS; m_dcb keeps what was set.
    bool setLine(DWORD dwRate, DWORD dwRts, BYTE byBits = 8, BYTE byParity = NOPARITY,
                 BYTE byStop = ONESTOPBIT)
    {
        const bool bHandshake = dwRts == RTS_CONTROL_HANDSHAKE;
        EXPECT_TRUE(GetCommState(m_hPort, &m_dcb));
        m_dcb.BaudRate = dwRate;
        m_dcb.ByteSize = byBits;
        m_dcb.Parity = byParity;
        m_dcb.fParity = byParity != NOPARITY;
        m_dcb.StopBits = byStop;
        m_dcb.fOutxCtsFlow = bHandshake;
        m_dcb.fRtsControl = dwRts;
        m_dcb.fDtrControl = bHandshake ? DTR_CONTROL_ENABLE : dwRts;
        return SetCommState(m_hPort, &m_dcb) != FALSE;
    }

    bool setTimeouts(DWORD dwReadConstant, DWORD dwWriteConstant, DWORD dwInterval = 0)
    {
        COMMTIMEOUTS timeouts = {dwInterval, 0, dwReadConstant, 0, dwWriteConstant};
        return SetCommTimeouts(m_hPort, &timeouts) != FALSE;
    }

    COMSTAT queues()
    {
        COMSTAT stat = {};
        EXPECT_TRUE(ClearCommError(m_hPort, nullptr, &stat)) << GetLastError();
        return stat;
    }

    // Waits for input to arrive; true when exactly dwCount bytes are queued.
    bool inputQueued(DWORD dwCount)
    {
        return waitFor([&] { return queues().cbInQue >= dwCount; }) && queues().cbInQue == dwCount;
    }

    PseudoTerminalC m_pty;
    std::string m_strPath;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    DCB m_dcb = {};
};

struct LineS
{
    DWORD dwRate, dwRts;
    speed_t speed;
    tcflag_t size, parity;
    BYTE byBits, byParity, byStop;
    bool bTaken;
};

// A UART may take a speed it cannot run and keep the old one; the set must
// then fail as it would on the target, and the line read back as it was. The
// line is read with tcgetattr on the handle, which is the descriptor. A
// pseudo-terminal pins 8 data bits without parity, so those two are also
// checked in the conversion to termios.
TEST_F(SerialDeviceTest, BitRatesAreTakenOrRefusedAsTheLineReadsBack)
{
    const bool b921600 = envFlag("QUENTA_TEST_SERIAL_921600", true);
    const LineS aCases[] = {
        {115200, RTS_CONTROL_ENABLE, B115200, CS8, 0, 8, NOPARITY, ONESTOPBIT, true},
        {921600, RTS_CONTROL_HANDSHAKE, B921600, CS8, 0, 8, NOPARITY, ONESTOPBIT, b921600},
        {0, RTS_CONTROL_ENABLE, B0, CS8, 0, 8, NOPARITY, ONESTOPBIT, false},
        {9600, RTS_CONTROL_DISABLE, B9600, CS7, PARENB | PARODD, 7, ODDPARITY, TWOSTOPBITS, true},
        {57600, RTS_CONTROL_HANDSHAKE, B57600, CS8, PARENB, 8, EVENPARITY, ONESTOPBIT, true},
    };
    const LineS* pCurrent = &aCases[0];
    for (const LineS& line : aCases) {
        SCOPED_TRACE(line.dwRate);
        EXPECT_EQ(line.bTaken,
                  setLine(line.dwRate, line.dwRts, line.byBits, line.byParity, line.byStop))
            << GetLastError();
        if (line.bTaken) {
            pCurrent = &line;
            termios converted = {};
            ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), plat::lineFromDcb(m_dcb, converted));
            EXPECT_EQ(line.size, converted.c_cflag & CSIZE);
            EXPECT_EQ(line.parity, converted.c_cflag & (PARENB | PARODD | CMSPAR));
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        }

        termios tio = {};
        ASSERT_EQ(0, ::tcgetattr(static_cast<int>(reinterpret_cast<intptr_t>(m_hPort)), &tio));
        EXPECT_EQ(pCurrent->speed, cfgetospeed(&tio));
        EXPECT_EQ(pCurrent->speed, cfgetispeed(&tio));
        EXPECT_EQ(pCurrent->byStop != ONESTOPBIT, (tio.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(pCurrent->dwRts == RTS_CONTROL_HANDSHAKE, (tio.c_cflag & CRTSCTS) != 0);
        EXPECT_EQ(0u, (tio.c_lflag & (ICANON | ECHO | ISIG)) | (tio.c_oflag & OPOST));
        DCB back = {};
        ASSERT_TRUE(GetCommState(m_hPort, &back));
        EXPECT_EQ(
            (std::vector<DWORD>{pCurrent->dwRate, pCurrent->byBits, pCurrent->byParity,
                                pCurrent->dwRts}),
            (std::vector<DWORD>{back.BaudRate, back.ByteSize, back.Parity, back.fRtsControl}));
    }
}

TEST_F(SerialDeviceTest, OpenFindsTheDeviceByPathOrComNameAndIsExclusive)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(m_strPath));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    closePort();
    for (const char* pszMissing : {"/tmp/quenta-no-such-tty", "COM977:"}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(pszMissing)) << pszMissing;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << pszMissing;
    }
    ::setenv("QUENTA_PORT_COM42", m_strPath.c_str(), 1);
    m_hPort = openPort("COM42:");
    ::unsetenv("QUENTA_PORT_COM42");
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
    EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(m_strPath)) << "the alias held another device";
}

TEST_F(SerialDeviceTest, InputQueuedBeforeTheOpenIsDropped)
{
    if (!onPseudoTerminal())
        GTEST_SKIP() << "only a pseudo-terminal's far end can be made to send";
    closePort();
    m_pty.write("stale");
    m_hPort = openPort(m_strPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort);
    ASSERT_TRUE(setTimeouts(0, 0, 0xFFFFFFFFu)); // a read returns at once with what is queued
    m_pty.write("fresh");
    ASSERT_TRUE(inputQueued(5));
    char szBuffer[16];
    DWORD dwRead = 0;
    EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
    EXPECT_EQ("fresh", std::string(szBuffer, dwRead));
}

TEST_F(SerialDeviceTest, AReadEndsByItsTimeOutWithWhatHasArrived)
{
    ASSERT_TRUE(setLine(115200, RTS_CONTROL_ENABLE));
    ASSERT_TRUE(setTimeouts(200, 200));
    for (const char* pszQueued : {"", "12345"}) {
        if (*pszQueued != 0 && !onPseudoTerminal())
            continue; // only a pseudo-terminal can send it
        SCOPED_TRACE(pszQueued);
        if (*pszQueued != 0)
            m_pty.write(pszQueued);
        char szBuffer[100];
        DWORD dwRead = 99;
        const auto start = ClockT::now();
        EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
        const long nMs = msSince(start);
        EXPECT_EQ(pszQueued, std::string(szBuffer, dwRead));
        EXPECT_GE(nMs, 195);
        EXPECT_LT(nMs, 1200);
    }
}

TEST_F(SerialDeviceTest, PurgeEmptiesBothQueues)
{
    // Something to purge: on a pseudo-terminal input from the far end; with
    // CTS held low output that cannot leave. The lab's emulated lines
    // otherwise send at once, whatever the bit rate.
    const bool bHeld = envFlag("QUENTA_TEST_SERIAL_CTS_LOW", false);
    ASSERT_TRUE(setLine(115200, bHeld ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE));
    ASSERT_TRUE(setTimeouts(200, 0));
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(m_hPort, "purge me", 8, &dwWritten, nullptr));
    if (onPseudoTerminal()) {
        m_pty.write("stale");
        ASSERT_TRUE(inputQueued(5));
    } else if (bHeld) {
        ASSERT_EQ(8u, queues().cbOutQue);
    }
    ASSERT_TRUE(PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR)) << GetLastError();
    EXPECT_EQ(0u, queues().cbInQue + queues().cbOutQue);
}

// With RTS/CTS and CTS held low nothing leaves a real line: the write ends by
// its time-out with what was not sent taken back, and neither the close nor
// the exit of a process that never closed waits for the line.
TEST_F(SerialDeviceTest, StalledOutputHoldsNeitherTheWriteNorTheCloseNorTheExit)
{
    const std::string strData(512, 'y');
    DWORD dwWritten = 0;
    const auto fnWrite = [&] {
        return setLine(115200, RTS_CONTROL_HANDSHAKE) && setTimeouts(200, 200) &&
               WriteFile(m_hPort, strData.data(), 512, &dwWritten, nullptr);
    };
    auto start = ClockT::now();
    EXPECT_TRUE(fnWrite());
    EXPECT_LT(msSince(start), 1200);
    EXPECT_EQ(envFlag("QUENTA_TEST_SERIAL_CTS_LOW", false), dwWritten < 512) << dwWritten;
    EXPECT_EQ(0u, queues().cbOutQue);

    start = ClockT::now();
    closePort();
    EXPECT_LT(msSince(start), 1000);

    start = ClockT::now();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        m_hPort = openPort(m_strPath);
        ::_exit(fnWrite() && !HasFailure() ? 0 : 1);
    }
    int nStatus = -1;
    ASSERT_EQ(child, ::waitpid(child, &nStatus, 0));
    EXPECT_EQ(0, nStatus);
    EXPECT_LT(msSince(start), 1200);
}

// Last: in the lab the device is gone afterwards. A pulled adapter reads end
// of file and fails writes with EIO; both are error 1617, and no call waits.
TEST_F(SerialDeviceTest, APulledDeviceFailsEveryCallWith1617)
{
    if (!onPseudoTerminal() && !envFlag("QUENTA_TEST_SERIAL_UNPLUG", false))
        GTEST_SKIP() << "the lab pulls only the USB adapter";
    ASSERT_TRUE(setLine(115200, RTS_CONTROL_ENABLE));
    ASSERT_TRUE(setTimeouts(0, 200)); // reads without limit: only the removal ends them
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    DWORD dwCount = 0;
    if (onPseudoTerminal())
        m_pty.closeMaster();
    else
        ASSERT_TRUE(WriteFile(m_hPort, "unplug-me\r\n", 11, &dwCount, nullptr));
    char szBuffer[8];
    const std::pair<const char*, std::function<BOOL()>> aCalls[] = {
        {"WaitCommEvent", [&] { return WaitCommEvent(m_hPort, &dwCount, nullptr); }},
        {"ReadFile", [&] { return ReadFile(m_hPort, szBuffer, 8, &dwCount, nullptr); }},
        {"WriteFile", [&] { return WriteFile(m_hPort, "x", 1, &dwCount, nullptr); }},
    };
    for (const auto& call : aCalls) {
        SCOPED_TRACE(call.first);
        const auto start = ClockT::now();
        EXPECT_FALSE(call.second());
        EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
        EXPECT_LT(msSince(start), 5000);
    }
}

} // namespace
