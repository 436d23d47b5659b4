// The serial functions of the platform on real pseudo-terminals: the master
// side is the peer, and tcgetattr on it shows the line settings of the device.
// The kernel pins a pseudo-terminal to 8 data bits without parity, so those
// two reach termios only in the conversion itself, checked on termios records.
#include "../platform/posix/PlatSerialLine.h"
#include "PtyPair.h"

#include <cstdlib>
#include <functional>
#include <vector>

#include <sys/stat.h>
#include <termios.h>

namespace {

using namespace ptytest;

constexpr DWORD c_dwMaxDword = 0xFFFFFFFFu;
constexpr DWORD c_dwCreateAlways = 2;

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

// ---------------------------------------------------------------- line settings

struct LineCaseS
{
    DWORD dwBitRate;
    speed_t speed;
    BYTE byByteSize;
    tcflag_t size;
    BYTE byParity;
    tcflag_t parity;
    BYTE byStopBits;
    DWORD dwRts; // without handshake DTR follows the same choice
};

TEST_F(SerialPlatformTest, LineSettingsReachTheDeviceAndReadBack)
{
    const LineCaseS aCases[] = {
        {115200, B115200, 8, CS8, NOPARITY, 0, ONESTOPBIT, RTS_CONTROL_ENABLE},
        {921600, B921600, 8, CS8, NOPARITY, 0, ONESTOPBIT, RTS_CONTROL_HANDSHAKE},
        {9600, B9600, 7, CS7, EVENPARITY, PARENB, TWOSTOPBITS, RTS_CONTROL_DISABLE},
        {4800, B4800, 5, CS5, ODDPARITY, PARENB | PARODD, ONE5STOPBITS, RTS_CONTROL_HANDSHAKE},
        {19200, B19200, 6, CS6, MARKPARITY, PARENB | PARODD | CMSPAR, ONESTOPBIT,
         RTS_CONTROL_ENABLE},
        {460800, B460800, 8, CS8, SPACEPARITY, PARENB | CMSPAR, TWOSTOPBITS, RTS_CONTROL_DISABLE},
    };
    for (const LineCaseS& line : aCases) {
        SCOPED_TRACE(line.dwBitRate);
        const bool bHandshake = line.dwRts == RTS_CONTROL_HANDSHAKE;
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(m_hPort, &dcb));
        dcb.BaudRate = line.dwBitRate;
        dcb.ByteSize = line.byByteSize;
        dcb.Parity = line.byParity;
        dcb.fParity = line.byParity != NOPARITY;
        dcb.StopBits = line.byStopBits;
        dcb.fOutxCtsFlow = bHandshake;
        dcb.fRtsControl = line.dwRts;
        dcb.fDtrControl = bHandshake ? DTR_CONTROL_ENABLE : line.dwRts;
        ASSERT_TRUE(SetCommState(m_hPort, &dcb)) << GetLastError();

        const termios tio = peerLine();
        EXPECT_EQ(line.speed, cfgetospeed(&tio));
        EXPECT_EQ(line.speed, cfgetispeed(&tio));
        EXPECT_EQ(line.parity & (PARODD | CMSPAR), tio.c_cflag & (PARODD | CMSPAR));
        EXPECT_EQ(line.byStopBits != ONESTOPBIT, (tio.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(bHandshake, (tio.c_cflag & CRTSCTS) != 0);
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, tio.c_oflag & OPOST);

        DCB back = {};
        ASSERT_TRUE(GetCommState(m_hPort, &back));
        EXPECT_EQ(line.dwBitRate, back.BaudRate);
        EXPECT_EQ(line.byByteSize, back.ByteSize);
        EXPECT_EQ(line.byParity, back.Parity);
        EXPECT_EQ(line.byParity != NOPARITY, back.fParity != 0);
        EXPECT_EQ(line.byStopBits, back.StopBits);
        EXPECT_EQ(bHandshake, back.fOutxCtsFlow != 0);
        EXPECT_EQ(line.dwRts, back.fRtsControl);
        EXPECT_EQ(dcb.fDtrControl, back.fDtrControl);

        termios converted = {};
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), plat::lineFromDcb(dcb, converted));
        EXPECT_EQ(line.size, converted.c_cflag & CSIZE);
        EXPECT_EQ(line.parity, converted.c_cflag & (PARENB | PARODD | CMSPAR));
        DCB fromRecord = {};
        plat::dcbFromLine(converted, fromRecord);
        EXPECT_EQ(line.byByteSize, fromRecord.ByteSize);
        EXPECT_EQ(line.byParity, fromRecord.Parity);
        EXPECT_EQ(line.byStopBits, fromRecord.StopBits);
    }
}

TEST_F(SerialPlatformTest, RefusedSettingsLeaveTheLineAsItWas)
{
    const std::pair<const char*, std::function<void(DCB&)>> aCases[] = {
        {"bit rate 0", [](DCB& dcb) { dcb.BaudRate = 0; }},
        {"bit rate unknown to termios", [](DCB& dcb) { dcb.BaudRate = 12345; }},
        {"4 data bits", [](DCB& dcb) { dcb.ByteSize = 4; }},
        {"9 data bits", [](DCB& dcb) { dcb.ByteSize = 9; }},
        {"parity code 5", [](DCB& dcb) { dcb.Parity = 5; }},
        {"stop bits code 3", [](DCB& dcb) { dcb.StopBits = 3; }},
        {"1.5 stop bits with 8 data bits", [](DCB& dcb) { dcb.StopBits = ONE5STOPBITS; }},
        {"2 stop bits with 5 data bits", [](DCB& dcb) { dcb.ByteSize = 5, dcb.StopBits = 2; }},
        {"RTS toggle", [](DCB& dcb) { dcb.fRtsControl = RTS_CONTROL_TOGGLE; }},
        {"DSR flow control", [](DCB& dcb) { dcb.fOutxDsrFlow = 1; }},
    };
    DCB base = {};
    ASSERT_TRUE(GetCommState(m_hPort, &base));
    base.BaudRate = 57600;
    base.ByteSize = 8;
    base.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(m_hPort, &base));
    for (const auto& refused : aCases) {
        SCOPED_TRACE(refused.first);
        DCB dcb = base;
        refused.second(dcb);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetCommState(m_hPort, &dcb));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        const termios tio = peerLine();
        EXPECT_EQ(static_cast<speed_t>(B57600), cfgetospeed(&tio));
        EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
        EXPECT_EQ(0u, tio.c_cflag & CSTOPB);
    }
}

// ---------------------------------------------------------------- opening

TEST_F(SerialPlatformTest, OpenIsExclusiveUntilTheHandleIsClosed)
{
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(m_strPath));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    closePort();
    m_hPort = openPort(m_strPath);
    EXPECT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
}

TEST_F(SerialPlatformTest, OpenFailsClearlyOnWhatIsNotAnExistingDevice)
{
    char szDir[] = "/tmp/serial_platform_XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(szDir));
    const std::string strMissing = std::string(szDir) + "/ttyMissing";
    const std::string strFile = std::string(szDir) + "/plain";
    std::ofstream(strFile) << "not a terminal";
    const std::tuple<std::string, DWORD, DWORD> aCases[] = {
        {strMissing, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"COM977:", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {strFile, OPEN_EXISTING, ERROR_NOT_SUPPORTED},
        {strMissing, c_dwCreateAlways, ERROR_NOT_SUPPORTED},
        {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& open : aCases) {
        SCOPED_TRACE(std::get<0>(open));
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(std::get<0>(open), std::get<1>(open)));
        EXPECT_EQ(std::get<2>(open), GetLastError());
    }
    struct stat st;
    EXPECT_NE(0, ::stat(strMissing.c_str(), &st)) << "open created a file";
    ::unlink(strFile.c_str());
    ::rmdir(szDir);
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
    // Interval MAXDWORD: a read returns at once with what is queued, even nothing.
    setTimeouts({c_dwMaxDword, 0, 0, 0, 0});
    const auto start = ClockT::now();
    EXPECT_EQ("", readPort(16));
    EXPECT_LT(msSince(start), 50);
    peerWrite("fresh");
    ASSERT_TRUE(waitForQueued(5));
    EXPECT_EQ("fresh", readPort(16));
}

TEST_F(SerialPlatformTest, EveryCallRefusesWhatIsNotAnOpenSerialHandle)
{
    const HANDLE hStale = m_hPort;
    closePort();
    const HANDLE hOtherFd = reinterpret_cast<HANDLE>(static_cast<intptr_t>(m_nMaster));
    DCB dcb = {};
    COMMTIMEOUTS timeouts = {};
    COMSTAT stat = {};
    DWORD dwValue = 0;
    char szBuffer[4] = {};
    const std::pair<const char*, std::function<BOOL(HANDLE)>> aCalls[] = {
        {"GetCommState", [&](HANDLE h) { return GetCommState(h, &dcb); }},
        {"SetCommState", [&](HANDLE h) { return SetCommState(h, &dcb); }},
        {"SetupComm", [&](HANDLE h) { return SetupComm(h, 4096, 4096); }},
        {"SetCommMask", [&](HANDLE h) { return SetCommMask(h, EV_RXCHAR); }},
        {"GetCommMask", [&](HANDLE h) { return GetCommMask(h, &dwValue); }},
        {"GetCommTimeouts", [&](HANDLE h) { return GetCommTimeouts(h, &timeouts); }},
        {"SetCommTimeouts", [&](HANDLE h) { return SetCommTimeouts(h, &timeouts); }},
        {"WaitCommEvent", [&](HANDLE h) { return WaitCommEvent(h, &dwValue, nullptr); }},
        {"ClearCommError", [&](HANDLE h) { return ClearCommError(h, &dwValue, &stat); }},
        {"ReadFile", [&](HANDLE h) { return ReadFile(h, szBuffer, 4, &dwValue, nullptr); }},
        {"WriteFile", [&](HANDLE h) { return WriteFile(h, "abcd", 4, &dwValue, nullptr); }},
        {"PurgeComm", [&](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
        {"CloseHandle", [&](HANDLE h) { return CloseHandle(h); }},
    };
    for (const HANDLE h : {hStale, INVALID_HANDLE_VALUE, hOtherFd}) {
        for (const auto& call : aCalls) {
            SCOPED_TRACE(call.first);
            SetLastError(ERROR_SUCCESS);
            EXPECT_FALSE(call.second(h));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        }
    }
}

// ---------------------------------------------------------------- events and transfers

TEST_F(SerialPlatformTest, WaitCommEventReportsArrivingBytes)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    auto waiter = startBlocked([&] {
        DWORD dwEvents = 0;
        return WaitCommEvent(m_hPort, &dwEvents, nullptr) ? dwEvents : 0u;
    });
    peerWrite("A");
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(c_bound));
    EXPECT_EQ(EV_RXCHAR, waiter.get());
}

TEST_F(SerialPlatformTest, ClosingTheHandleEndsEveryBlockedCallAtOnce)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    setTimeouts({0, 0, 0, 0, 0}); // no limits: only the close ends these calls
    const std::vector<char> vecBig(1 << 20, 'x');
    char szBuffer[16];
    DWORD dwWait = 0, dwRead = 0, dwWritten = 0;
    const std::pair<const char*, std::function<BOOL()>> aCalls[] = {
        {"WaitCommEvent", [&] { return WaitCommEvent(m_hPort, &dwWait, nullptr); }},
        {"ReadFile", [&] { return ReadFile(m_hPort, szBuffer, 16, &dwRead, nullptr); }},
        {"WriteFile",
         [&] { return WriteFile(m_hPort, vecBig.data(), 1 << 20, &dwWritten, nullptr); }},
    };
    std::vector<std::future<std::pair<BOOL, DWORD>>> vecResults;
    for (const auto& call : aCalls)
        vecResults.push_back(startBlocked([&call] {
            const BOOL bOk = call.second();
            return std::make_pair(bOk, GetLastError());
        }));
    const auto start = ClockT::now();
    closePort();
    for (size_t i = 0; i < vecResults.size(); ++i) {
        SCOPED_TRACE(aCalls[i].first);
        ASSERT_EQ(std::future_status::ready, vecResults[i].wait_for(c_bound));
        EXPECT_LT(msSince(start), 100);
        const auto result = vecResults[i].get();
        EXPECT_FALSE(result.first);
        EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), result.second);
    }
}

TEST_F(SerialPlatformTest, ARemovedDeviceFailsWith1617WithoutSpinning)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    setTimeouts({0, 0, 0, 0, 0});
    closeMaster();
    char szBuffer[16];
    DWORD dwCount = 0;
    COMSTAT stat = {};
    const std::pair<const char*, std::function<BOOL()>> aCalls[] = {
        {"WaitCommEvent", [&] { return WaitCommEvent(m_hPort, &dwCount, nullptr); }},
        {"ReadFile", [&] { return ReadFile(m_hPort, szBuffer, 16, &dwCount, nullptr); }},
        {"ReadFile again", [&] { return ReadFile(m_hPort, szBuffer, 16, &dwCount, nullptr); }},
        {"ClearCommError", [&] { return ClearCommError(m_hPort, nullptr, &stat); }},
        {"WriteFile", [&] { return WriteFile(m_hPort, "ab", 2, &dwCount, nullptr); }},
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

TEST_F(SerialPlatformTest, ThreeThousandQueuedBytesAreReadInOneCall)
{
    setTimeouts({0, 0, 200, 0, 0});
    std::string strData(3000, '\0');
    for (size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>(i * 7);
    peerWrite(strData);
    ASSERT_TRUE(waitForQueued(3000));
    EXPECT_EQ(strData, readPort(3000));
}

TEST_F(SerialPlatformTest, WriteFileDeliversEveryByteToThePeer)
{
    setTimeouts({0, 0, 200, 0, 200});
    const std::string strData(2000, 'q');
    auto reader = std::async(std::launch::async, [&] {
        std::string strPeer;
        char szBuffer[256];
        ssize_t n = 0;
        while (strPeer.size() < strData.size() &&
               (n = ::read(m_nMaster, szBuffer, sizeof(szBuffer))) > 0)
            strPeer.append(szBuffer, static_cast<size_t>(n));
        return strPeer;
    });
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(m_hPort, strData.data(), static_cast<DWORD>(strData.size()), &dwWritten,
                          nullptr));
    EXPECT_EQ(strData.size(), dwWritten);
    ASSERT_EQ(std::future_status::ready, reader.wait_for(c_bound));
    EXPECT_EQ(strData, reader.get());
}

TEST_F(SerialPlatformTest, PurgeDropsQueuedInput)
{
    peerWrite("junk");
    ASSERT_TRUE(waitForQueued(4));
    ASSERT_TRUE(PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_RXABORT));
    EXPECT_EQ(0u, queuedIn());
    EXPECT_TRUE(PurgeComm(m_hPort, PURGE_TXCLEAR));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PurgeComm(m_hPort, 0x100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

} // namespace
