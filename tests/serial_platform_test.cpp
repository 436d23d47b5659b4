// The serial functions of the platform on real pseudo-terminals: the master
// side is the peer, and tcgetattr on it shows the line settings of the device.
// The kernel pins a pseudo-terminal to 8 data bits without parity, so those
// two reach termios only in the conversion itself, checked on termios records.
#include "../platform/posix/PlatSerialLine.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace {

using ClockT = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD c_dwReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD c_dwCreateAlways = 2;
constexpr auto c_bound = std::chrono::seconds(5);

long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(ClockT::now() - start).count());
}

HANDLE openPort(const std::string& strPath, DWORD dwDisposition = OPEN_EXISTING)
{
    const std::wstring strWide(strPath.begin(), strPath.end());
    return CreateFileW(strWide.c_str(), c_dwReadWrite, 0, nullptr, dwDisposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int fdOf(HANDLE h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

// True once the thread sleeps in poll, where the wait under test happens.
bool waitUntilInPoll(pid_t tid)
{
    const std::string strFile = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto start = ClockT::now();
    while (ClockT::now() - start < c_bound) {
        std::ifstream file(strFile);
        long nSyscall = -1;
        file >> nSyscall;
#ifdef SYS_poll
        if (nSyscall == SYS_poll)
            return true;
#endif
        if (nSyscall == SYS_ppoll)
            return true;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
}

pid_t currentTid()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

class SerialPlatformTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szName[128] = {};
        ASSERT_EQ(0, ::openpty(&m_nMaster, &m_nSlave, szName, nullptr, nullptr));
        m_strPath = szName;
        m_hPort = openPort(m_strPath);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
    }

    void TearDown() override
    {
        if (m_hPort != INVALID_HANDLE_VALUE)
            CloseHandle(m_hPort);
        closeMaster();
        ::close(m_nSlave);
    }

    void closeMaster()
    {
        if (m_nMaster >= 0)
            ::close(m_nMaster);
        m_nMaster = -1;
    }

    termios peerLine() const
    {
        termios tio = {};
        EXPECT_EQ(0, ::tcgetattr(m_nMaster, &tio));
        return tio;
    }

    void setTimeouts(DWORD dwInterval, DWORD dwMultiplier, DWORD dwConstant)
    {
        COMMTIMEOUTS timeouts = {dwInterval, dwMultiplier, dwConstant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(m_hPort, &timeouts));
    }

    void peerWrite(const std::string& strData)
    {
        ASSERT_EQ(static_cast<ssize_t>(strData.size()),
                  ::write(m_nMaster, strData.data(), strData.size()));
    }

    std::string peerRead(size_t nCount)
    {
        std::string strData;
        char szBuffer[256];
        while (strData.size() < nCount) {
            const ssize_t n = ::read(m_nMaster, szBuffer, sizeof(szBuffer));
            if (n <= 0)
                break;
            strData.append(szBuffer, static_cast<size_t>(n));
        }
        return strData;
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
            std::this_thread::sleep_for(milliseconds(1));
        const DWORD dwQueued = queuedIn();
        EXPECT_EQ(dwCount, dwQueued);
        return dwQueued == dwCount;
    }

    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strPath;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
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
    bool bHandshake;
};

TEST_F(SerialPlatformTest, LineSettingsReachTheDeviceAndReadBack)
{
    const LineCaseS aCases[] = {
        {115200, B115200, 8, CS8, NOPARITY, 0, ONESTOPBIT, false},
        {921600, B921600, 8, CS8, NOPARITY, 0, ONESTOPBIT, true},
        {9600, B9600, 7, CS7, EVENPARITY, PARENB, TWOSTOPBITS, false},
        {4800, B4800, 5, CS5, ODDPARITY, PARENB | PARODD, ONE5STOPBITS, true},
        {19200, B19200, 6, CS6, MARKPARITY, PARENB | PARODD | CMSPAR, ONESTOPBIT, false},
        {460800, B460800, 8, CS8, SPACEPARITY, PARENB | CMSPAR, TWOSTOPBITS, false},
        {57600, B57600, 8, CS8, EVENPARITY, PARENB, ONESTOPBIT, true},
    };
    for (const LineCaseS& line : aCases) {
        SCOPED_TRACE(line.dwBitRate);
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(m_hPort, &dcb));
        dcb.BaudRate = line.dwBitRate;
        dcb.ByteSize = line.byByteSize;
        dcb.Parity = line.byParity;
        dcb.fParity = line.byParity != NOPARITY;
        dcb.StopBits = line.byStopBits;
        dcb.fOutxCtsFlow = line.bHandshake;
        dcb.fRtsControl = line.bHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(m_hPort, &dcb)) << GetLastError();

        const termios tio = peerLine();
        EXPECT_EQ(line.speed, cfgetospeed(&tio));
        EXPECT_EQ(line.speed, cfgetispeed(&tio));
        EXPECT_EQ(line.parity & (PARODD | CMSPAR), tio.c_cflag & (PARODD | CMSPAR));
        EXPECT_EQ(line.byStopBits != ONESTOPBIT, (tio.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(line.bHandshake, (tio.c_cflag & CRTSCTS) != 0);
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, tio.c_oflag & OPOST);

        DCB back = {};
        ASSERT_TRUE(GetCommState(m_hPort, &back));
        EXPECT_EQ(line.dwBitRate, back.BaudRate);
        EXPECT_EQ(line.byByteSize, back.ByteSize);
        EXPECT_EQ(line.byParity, back.Parity);
        EXPECT_EQ(line.byParity != NOPARITY, back.fParity != 0);
        EXPECT_EQ(line.byStopBits, back.StopBits);
        EXPECT_EQ(line.bHandshake, back.fOutxCtsFlow != 0);
        EXPECT_EQ(line.bHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE, back.fRtsControl);

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
        {"2 stop bits with 5 data bits",
         [](DCB& dcb) {
             dcb.ByteSize = 5;
             dcb.StopBits = TWOSTOPBITS;
         }},
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

TEST_F(SerialPlatformTest, ModemLineChoicesAreKeptOnADeviceWithoutModemLines)
{
    for (const DWORD dwControl : {DWORD(DTR_CONTROL_DISABLE), DWORD(DTR_CONTROL_ENABLE)}) {
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(m_hPort, &dcb));
        dcb.BaudRate = 115200;
        dcb.fOutxCtsFlow = 0;
        dcb.fDtrControl = dwControl;
        dcb.fRtsControl = dwControl;
        ASSERT_TRUE(SetCommState(m_hPort, &dcb)) << GetLastError();
        DCB back = {};
        ASSERT_TRUE(GetCommState(m_hPort, &back));
        EXPECT_EQ(dwControl, back.fDtrControl);
        EXPECT_EQ(dwControl, back.fRtsControl);
    }
}

// ---------------------------------------------------------------- opening

TEST_F(SerialPlatformTest, OpenIsExclusiveUntilTheHandleIsClosed)
{
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(m_strPath));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

    ASSERT_TRUE(CloseHandle(m_hPort));
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
    struct CaseS
    {
        std::string strPath;
        DWORD dwDisposition;
        DWORD dwError;
    };
    const CaseS aCases[] = {
        {strMissing, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"COM977:", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {strFile, OPEN_EXISTING, ERROR_NOT_SUPPORTED},
        {strMissing, c_dwCreateAlways, ERROR_NOT_SUPPORTED},
        {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
    };
    for (const CaseS& open : aCases) {
        SCOPED_TRACE(open.strPath);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(INVALID_HANDLE_VALUE, openPort(open.strPath, open.dwDisposition));
        EXPECT_EQ(open.dwError, GetLastError());
    }
    struct stat st;
    EXPECT_NE(0, ::stat(strMissing.c_str(), &st)) << "open created a file";
    ::unlink(strFile.c_str());
    ::rmdir(szDir);
}

TEST_F(SerialPlatformTest, ComNameMapsToTheDeviceInTheEnvironment)
{
    ASSERT_TRUE(CloseHandle(m_hPort));
    ::setenv("QUENTA_PORT_COM42", m_strPath.c_str(), 1);
    m_hPort = CreateFileW(L"COM42:", c_dwReadWrite, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    ::unsetenv("QUENTA_PORT_COM42");
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
    struct stat port, slave;
    ASSERT_EQ(0, ::fstat(fdOf(m_hPort), &port));
    ASSERT_EQ(0, ::fstat(m_nSlave, &slave));
    EXPECT_EQ(slave.st_rdev, port.st_rdev);
}

TEST_F(SerialPlatformTest, InputQueuedBeforeTheOpenIsDropped)
{
    ASSERT_TRUE(CloseHandle(m_hPort));
    peerWrite("stale");
    m_hPort = openPort(m_strPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort);
    EXPECT_EQ(0u, queuedIn());
    peerWrite("fresh");
    ASSERT_TRUE(waitForQueued(5));
    setTimeouts(0xFFFFFFFFu, 0, 0);
    char szBuffer[16] = {};
    DWORD dwRead = 0;
    ASSERT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
    EXPECT_EQ("fresh", std::string(szBuffer, dwRead));
}

TEST_F(SerialPlatformTest, TheHandleIsTheDescriptor)
{
    const int nFd = fdOf(m_hPort);
    ASSERT_EQ(3, ::write(nFd, "abc", 3));
    EXPECT_EQ("abc", peerRead(3));
    peerWrite("xyz");
    char szBuffer[8] = {};
    ASSERT_EQ(3, ::read(nFd, szBuffer, sizeof(szBuffer)));
    EXPECT_EQ("xyz", std::string(szBuffer, 3));
}

TEST_F(SerialPlatformTest, EveryCallRefusesWhatIsNotAnOpenSerialHandle)
{
    ASSERT_TRUE(CloseHandle(m_hPort));
    const HANDLE hStale = m_hPort;
    m_hPort = INVALID_HANDLE_VALUE;
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
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        tid = currentTid();
        DWORD dwEvents = 0;
        const BOOL bOk = WaitCommEvent(m_hPort, &dwEvents, nullptr);
        return bOk ? dwEvents : 0u;
    });
    while (tid == 0)
        std::this_thread::yield();
    ASSERT_TRUE(waitUntilInPoll(tid));
    peerWrite("A");
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(c_bound));
    EXPECT_EQ(EV_RXCHAR, waiter.get());
}

TEST_F(SerialPlatformTest, ClosingTheHandleWakesABlockedWaitAtOnce)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        tid = currentTid();
        DWORD dwEvents = 0;
        const BOOL bOk = WaitCommEvent(m_hPort, &dwEvents, nullptr);
        return std::make_pair(bOk, GetLastError());
    });
    while (tid == 0)
        std::this_thread::yield();
    ASSERT_TRUE(waitUntilInPoll(tid));
    const auto start = ClockT::now();
    ASSERT_TRUE(CloseHandle(m_hPort));
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(c_bound));
    const long nMs = msSince(start);
    m_hPort = INVALID_HANDLE_VALUE;
    const auto result = waiter.get();
    EXPECT_FALSE(result.first);
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), result.second);
    EXPECT_LT(nMs, 100);
}

TEST_F(SerialPlatformTest, ClosingTheHandleEndsEveryBlockedCall)
{
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    setTimeouts(0, 0, 0); // no limits: only the close ends these calls
    const std::vector<char> vecBig(1 << 20, 'x');
    std::vector<std::function<BOOL()>> vecCalls = {
        [&] {
            DWORD dwEvents = 0;
            return WaitCommEvent(m_hPort, &dwEvents, nullptr);
        },
        [&] {
            char szBuffer[16];
            DWORD dwRead = 0;
            return ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr);
        },
        [&] {
            DWORD dwWritten = 0;
            return WriteFile(m_hPort, vecBig.data(), static_cast<DWORD>(vecBig.size()), &dwWritten,
                             nullptr);
        },
    };
    std::vector<std::atomic<pid_t>> vecTids(vecCalls.size());
    std::vector<std::future<BOOL>> vecResults;
    for (size_t i = 0; i < vecCalls.size(); ++i) {
        vecTids[i] = 0;
        vecResults.push_back(std::async(std::launch::async, [&, i] {
            vecTids[i] = currentTid();
            return vecCalls[i]();
        }));
    }
    for (auto& tid : vecTids) {
        while (tid == 0)
            std::this_thread::yield();
        ASSERT_TRUE(waitUntilInPoll(tid));
    }
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    for (auto& result : vecResults) {
        ASSERT_EQ(std::future_status::ready, result.wait_for(c_bound));
        EXPECT_FALSE(result.get());
    }
}

TEST_F(SerialPlatformTest, ARemovedDeviceFailsWith1617WithoutSpinning)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    setTimeouts(0, 0, 0);
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
    setTimeouts(0, 0, 200);
    std::string strData(3000, '\0');
    for (size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>(i * 7);
    peerWrite(strData);
    ASSERT_TRUE(waitForQueued(3000));
    std::string strRead(3000, '\0');
    DWORD dwRead = 0;
    ASSERT_TRUE(ReadFile(m_hPort, &strRead[0], 3000, &dwRead, nullptr));
    EXPECT_EQ(3000u, dwRead);
    EXPECT_EQ(strData, strRead);
}

TEST_F(SerialPlatformTest, ReadWithIntervalMaxdwordReturnsAtOnceWithWhatIsQueued)
{
    setTimeouts(0xFFFFFFFFu, 0, 0);
    char szBuffer[16] = {};
    DWORD dwRead = 99;
    const auto start = ClockT::now();
    ASSERT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
    EXPECT_EQ(0u, dwRead);
    EXPECT_LT(msSince(start), 50);

    peerWrite("hello");
    ASSERT_TRUE(waitForQueued(5));
    ASSERT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
    EXPECT_EQ("hello", std::string(szBuffer, dwRead));
}

TEST_F(SerialPlatformTest, WriteFileDeliversEveryByteToThePeer)
{
    COMMTIMEOUTS timeouts = {0, 0, 200, 0, 200};
    ASSERT_TRUE(SetCommTimeouts(m_hPort, &timeouts));
    COMMTIMEOUTS back = {};
    ASSERT_TRUE(GetCommTimeouts(m_hPort, &back));
    EXPECT_EQ(200u, back.WriteTotalTimeoutConstant);
    const std::string strData(2000, 'q');
    auto reader = std::async(std::launch::async, [&] { return peerRead(strData.size()); });
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
