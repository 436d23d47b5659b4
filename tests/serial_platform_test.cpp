// The serial functions of the platform on real pseudo-terminals: the master
// side is the peer, and tcgetattr on it shows the line settings of the device.
// The kernel pins a pseudo-terminal to 8 data bits without parity, so those
// two reach termios only in the conversion itself, checked on termios records.
#include "../platform/posix/PlatSerialLine.h"
#include "PtyPair.h"

#include <cstdlib>
#include <functional>

#include <sys/stat.h>
#include <termios.h>

namespace {

using namespace ptytest;

class SerialPlatformTest : public PtyPairFixture
{
protected:
    termios peerLine() const
    {
        termios tio = {};
        EXPECT_EQ(0, ::tcgetattr(m_nMaster, &tio));
        return tio;
    }

    std::string readPort(DWORD dwMax)
    {
        std::string strData(dwMax, '\0');
        DWORD dwRead = 0;
        EXPECT_TRUE(ReadFile(m_hPort, &strData[0], dwMax, &dwRead, nullptr)) << GetLastError();
        return strData.substr(0, dwRead);
    }

    DWORD queuedIn()
    {
        COMSTAT stat = {};
        DWORD dwErrors = 1;
        EXPECT_TRUE(ClearCommError(m_hPort, &dwErrors, &stat));
        EXPECT_EQ(0u, dwErrors);
        return stat.cbInQue;
    }

    bool waitForQueued(DWORD dwCount)
    {
        const auto start = ClockT::now();
        while (queuedIn() < dwCount && ClockT::now() - start < c_bound)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const DWORD dwQueued = queuedIn();
        EXPECT_EQ(dwCount, dwQueued);
        return dwQueued == dwCount;
    }
};

struct LineS
{
    DWORD dwRate;
    speed_t speed;
    BYTE bySize;
    tcflag_t size;
    BYTE byParity;
    tcflag_t parity;
    BYTE byStop;
    DWORD dwRts; // without handshake DTR follows the same choice
};

TEST_F(SerialPlatformTest, LineSettingsReachTheDevice)
{
    const LineS aCases[] = {
        {115200, B115200, 8, CS8, NOPARITY, 0, ONESTOPBIT, RTS_CONTROL_ENABLE},
        {921600, B921600, 8, CS8, NOPARITY, 0, ONESTOPBIT, RTS_CONTROL_HANDSHAKE},
        {9600, B9600, 7, CS7, ODDPARITY, PARENB | PARODD, TWOSTOPBITS, RTS_CONTROL_DISABLE},
    };
    for (const LineS& line : aCases) {
        SCOPED_TRACE(line.dwRate);
        const bool bHandshake = line.dwRts == RTS_CONTROL_HANDSHAKE;
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(m_hPort, &dcb));
        dcb.BaudRate = line.dwRate;
        dcb.ByteSize = line.bySize;
        dcb.Parity = line.byParity;
        dcb.fParity = line.byParity != NOPARITY;
        dcb.StopBits = line.byStop;
        dcb.fOutxCtsFlow = bHandshake;
        dcb.fRtsControl = line.dwRts;
        dcb.fDtrControl = bHandshake ? DTR_CONTROL_ENABLE : line.dwRts;
        ASSERT_TRUE(SetCommState(m_hPort, &dcb)) << GetLastError();

        const termios tio = peerLine();
        EXPECT_EQ(line.speed, cfgetospeed(&tio));
        EXPECT_EQ(line.speed, cfgetispeed(&tio));
        EXPECT_EQ(line.parity & PARODD, tio.c_cflag & PARODD);
        EXPECT_EQ(line.byStop != ONESTOPBIT, (tio.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(bHandshake, (tio.c_cflag & CRTSCTS) != 0);
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, tio.c_oflag & OPOST);

        DCB back = {};
        ASSERT_TRUE(GetCommState(m_hPort, &back));
        EXPECT_EQ(line.dwRate, back.BaudRate);
        EXPECT_EQ(line.dwRts, back.fRtsControl);

        termios converted = {};
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), plat::lineFromDcb(dcb, converted));
        EXPECT_EQ(line.size, converted.c_cflag & CSIZE);
        EXPECT_EQ(line.parity, converted.c_cflag & (PARENB | PARODD | CMSPAR));
    }
}

TEST_F(SerialPlatformTest, BitRateZeroIsRefusedAndLeavesTheLineAsItWas)
{
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(m_hPort, &dcb));
    dcb.BaudRate = 57600;
    ASSERT_TRUE(SetCommState(m_hPort, &dcb));
    dcb.BaudRate = 0;
    EXPECT_FALSE(SetCommState(m_hPort, &dcb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    const termios tio = peerLine();
    EXPECT_EQ(static_cast<speed_t>(B57600), cfgetospeed(&tio));
}

TEST_F(SerialPlatformTest, OpenIsExclusiveUntilTheHandleIsClosed)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(m_strPath));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    closePort();
    m_hPort = openPort(m_strPath);
    EXPECT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
}

TEST_F(SerialPlatformTest, AMissingDeviceIsNotFound)
{
    for (const char* pszPath : {"/tmp/quenta-no-such-tty", "COM977:"}) {
        SCOPED_TRACE(pszPath);
        EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(pszPath));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    }
}

TEST_F(SerialPlatformTest, ComNameMapsToTheDeviceInTheEnvironment)
{
    closePort();
    ::setenv("QUENTA_PORT_COM42", m_strPath.c_str(), 1);
    m_hPort = openPort("COM42:");
    ::unsetenv("QUENTA_PORT_COM42");
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
    // The handle is the descriptor, which callers rely on.
    struct stat port, slave;
    ASSERT_EQ(0, ::fstat(static_cast<int>(reinterpret_cast<intptr_t>(m_hPort)), &port));
    ASSERT_EQ(0, ::fstat(m_nSlave, &slave));
    EXPECT_EQ(slave.st_rdev, port.st_rdev);
}

TEST_F(SerialPlatformTest, InputQueuedBeforeTheOpenIsDropped)
{
    closePort();
    peerWrite("stale");
    m_hPort = openPort(m_strPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort);
    EXPECT_EQ(0u, queuedIn());
    setTimeouts({0xFFFFFFFFu, 0, 0, 0, 0}); // a read returns at once with what is queued
    peerWrite("fresh");
    ASSERT_TRUE(waitForQueued(5));
    EXPECT_EQ("fresh", readPort(16));
}

TEST_F(SerialPlatformTest, WaitCommEventReportsArrivingBytes)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    auto waiter = startBlocked([hPort = m_hPort] {
        DWORD dwEvents = 0;
        return WaitCommEvent(hPort, &dwEvents, nullptr) ? dwEvents : 0u;
    });
    peerWrite("A");
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(c_bound));
    EXPECT_EQ(EV_RXCHAR, waiter.get());
}

TEST_F(SerialPlatformTest, ARemovedDeviceFailsWith1617WithoutSpinning)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    setTimeouts({0, 0, 0, 0, 0}); // no limits: only the removal ends these calls
    closeMaster();
    char szBuffer[16];
    DWORD dwCount = 0;
    const std::pair<const char*, std::function<BOOL()>> aCalls[] = {
        {"WaitCommEvent", [&] { return WaitCommEvent(m_hPort, &dwCount, nullptr); }},
        {"ReadFile", [&] { return ReadFile(m_hPort, szBuffer, 16, &dwCount, nullptr); }},
        {"ReadFile again", [&] { return ReadFile(m_hPort, szBuffer, 16, &dwCount, nullptr); }},
    };
    for (const auto& call : aCalls) {
        SCOPED_TRACE(call.first);
        auto result = std::async(std::launch::async, [&] {
            const BOOL bOk = call.second();
            return std::make_pair(bOk, GetLastError());
        });
        ASSERT_EQ(std::future_status::ready, result.wait_for(c_bound));
        const auto outcome = result.get();
        EXPECT_FALSE(outcome.first);
        EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), outcome.second);
    }
}

} // namespace
