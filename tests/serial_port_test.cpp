// The serial port on real pseudo-terminals: the master side is the peer, and
// tcgetattr on it shows the line the port applied. A pseudo-terminal keeps no
// data bits or parity in termios, so those are read back from the device
// control block of the port's own handle.
#include "LogCapture.h"
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"
#include "TRC_PRT_SerialPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ClockT = std::chrono::steady_clock;
using std::chrono::milliseconds;
using TRC::PRT::Rs232SettingsS;
using TRC::PRT::SerialPortC;

constexpr long c_lBoundMs = 5000;

long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(ClockT::now() - start).count());
}

bool waitFor(const std::function<bool()>& fnDone, long lBoundMs = c_lBoundMs)
{
    const auto start = ClockT::now();
    while (!fnDone()) {
        if (msSince(start) > lBoundMs) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

std::wstring widen(const std::string& str)
{
    return std::wstring(str.begin(), str.end());
}

std::string pattern(size_t nCount, unsigned unSeed = 0)
{
    std::string str(nCount, '\0');
    for (size_t i = 0; i < nCount; ++i) {
        str[i] = static_cast<char>((i * 7 + unSeed) & 0xFF);
    }
    return str;
}

// Collects every delivery; signals once the expected number of bytes is in.
class RecordingConsumerC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    explicit RecordingConsumerC(size_t nExpected = 1) : m_nExpected(nExpected) {}

    void procReadData(const char* pData, uint16_t unCount) override
    {
        if (m_fnBefore) {
            m_fnBefore();
        }
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strData.append(pData, unCount);
        m_vecSizes.push_back(unCount);
        if (m_strData.size() >= m_nExpected) {
            signal();
        }
    }

    std::string data()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strData;
    }
    std::vector<uint16_t> sizes()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecSizes;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strData.size();
    }

    // Runs on the reader thread before each delivery is recorded.
    std::function<void()> m_fnBefore;

private:
    std::mutex m_mtx;
    size_t m_nExpected;
    std::string m_strData;
    std::vector<uint16_t> m_vecSizes;
};

class PseudoTerminalC
{
public:
    PseudoTerminalC()
    {
        char szName[128] = {};
        // Raw from the start, as a serial line is: nothing waits for a line end.
        termios tio = {};
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        if (::openpty(&m_nMaster, &m_nSlave, szName, &tio, nullptr) == 0) {
            m_strPath = szName;
        }
    }
    ~PseudoTerminalC()
    {
        closeMaster();
        if (m_nSlave >= 0) {
            ::close(m_nSlave);
        }
    }

    void closeMaster()
    {
        if (m_nMaster >= 0) {
            ::close(m_nMaster);
        }
        m_nMaster = -1;
    }

    termios line() const
    {
        termios tio = {};
        EXPECT_EQ(0, ::tcgetattr(m_nMaster, &tio));
        return tio;
    }

    void write(const std::string& str) const
    {
        ASSERT_EQ(static_cast<ssize_t>(str.size()), ::write(m_nMaster, str.data(), str.size()));
    }

    std::string read(size_t nCount, long lBoundMs = c_lBoundMs) const
    {
        std::string str;
        const auto start = ClockT::now();
        while (str.size() < nCount && msSince(start) < lBoundMs) {
            pollfd fd = {m_nMaster, POLLIN, 0};
            if (::poll(&fd, 1, 10) <= 0) {
                continue;
            }
            char szBuffer[512];
            const ssize_t n = ::read(m_nMaster, szBuffer, sizeof(szBuffer));
            if (n <= 0) {
                break;
            }
            str.append(szBuffer, static_cast<size_t>(n));
        }
        return str;
    }

    // Bytes waiting on the device side, not yet taken by the port.
    int queuedForDevice() const
    {
        int nQueued = -1;
        ::ioctl(m_nSlave, FIONREAD, &nQueued);
        return nQueued;
    }

    // The handle the port opened on this device: the descriptor other than
    // ours that names the device.
    HANDLE portHandle() const
    {
        DIR* pDir = ::opendir("/proc/self/fd");
        HANDLE hFound = INVALID_HANDLE_VALUE;
        for (dirent* pEntry = ::readdir(pDir); pEntry != nullptr; pEntry = ::readdir(pDir)) {
            const int nFd = std::atoi(pEntry->d_name);
            char szTarget[256] = {};
            const std::string strLink = std::string("/proc/self/fd/") + pEntry->d_name;
            if (nFd != m_nSlave && pEntry->d_name[0] != '.' &&
                ::readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1) > 0 &&
                m_strPath == szTarget) {
                hFound = reinterpret_cast<HANDLE>(static_cast<intptr_t>(nFd));
            }
        }
        ::closedir(pDir);
        return hFound;
    }

    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strPath;
};

// The peer sends without pause until it is destroyed. The master is made
// non-blocking, so that a queue nobody drains never holds the peer up.
class PeerStreamC
{
public:
    PeerStreamC(int nMaster, size_t nChunk) : m_nMaster(nMaster), m_strChunk(pattern(nChunk))
    {
        ::fcntl(m_nMaster, F_SETFL, ::fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this] { run(); });
    }
    ~PeerStreamC()
    {
        m_bStop = true;
        m_thread.join();
    }

private:
    void run()
    {
        while (!m_bStop) {
            pollfd fd = {m_nMaster, POLLOUT, 0};
            if (::poll(&fd, 1, 10) > 0) {
                (void)!::write(m_nMaster, m_strChunk.data(), m_strChunk.size());
            }
        }
    }

    int m_nMaster;
    std::string m_strChunk;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

class SerialPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_pty.m_strPath.empty());
        m_port.SetPortName(widen(m_pty.m_strPath));
    }
    void TearDown() override { NOX::DBG::DbgLogMgrC::getInstance()->removeAll(); }

    DCB portState()
    {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        EXPECT_TRUE(GetCommState(m_pty.portHandle(), &dcb)) << GetLastError();
        return dcb;
    }

    PseudoTerminalC m_pty;
    SerialPortC m_port;
};

TEST(Rs232SettingsTest, BitRatesAndCodesConvertBothWays)
{
    struct RowS
    {
        uint32_t ulBaudRate;
        uint32_t unCode;
    };
    const RowS aRows[] = {{4800, 4}, {9600, 5}, {19200, 6}, {57600, 8}, {115200, 9}, {921600, 12}};
    for (const RowS& row : aRows) {
        EXPECT_EQ(row.unCode, Rs232SettingsS::baudRateToCode(row.ulBaudRate)) << row.ulBaudRate;
        EXPECT_EQ(row.ulBaudRate, Rs232SettingsS::codeToBaudRate(row.unCode)) << row.unCode;
    }
    for (uint32_t ulRate : {0u, 1200u, 38400u, 230400u, 460800u, 115201u}) {
        EXPECT_EQ(0u, Rs232SettingsS::baudRateToCode(ulRate)) << ulRate;
    }
    for (uint32_t unCode : {0u, 1u, 3u, 7u, 10u, 11u, 13u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0u, Rs232SettingsS::codeToBaudRate(unCode)) << unCode;
    }
}

TEST(Rs232SettingsTest, DefaultIs115200EightNoneOneWithoutHandshake)
{
    const Rs232SettingsS settings;
    EXPECT_EQ(9u, settings.unBaudRate);
    EXPECT_EQ(1u, settings.unDataBits);
    EXPECT_EQ(1u, settings.unStopBits);
    EXPECT_EQ(1u, settings.unParity);
    EXPECT_EQ(2u, settings.unFlowControl);
    EXPECT_FALSE(settings.bDtrDsr);

    SerialPortC port;
    Rs232SettingsS portSettings;
    portSettings.unBaudRate = 0;
    port.GetRs232Settings(&portSettings);
    EXPECT_EQ(9u, portSettings.unBaudRate);
    EXPECT_EQ(2u, portSettings.unFlowControl);
}

TEST_F(SerialPortTest, ConnectAppliesTheSettingsRecordToTheLine)
{
    Rs232SettingsS settings;
    settings.unBaudRate = 12;
    settings.unFlowControl = 1;
    m_port.SetRs232Settings(settings);
    ASSERT_TRUE(m_port.Connect());
    EXPECT_TRUE(m_port.IsConnected());

    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B921600), cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
    EXPECT_EQ(0u, tio.c_cflag & CSTOPB);
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO)) << "raw line";

    const DCB dcb = portState();
    EXPECT_EQ(921600u, dcb.BaudRate);
    EXPECT_EQ(1u, dcb.fOutxCtsFlow);
    EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_HANDSHAKE), dcb.fRtsControl);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(0u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);
}

// Each row reconfigures the open port; the line is read back from both sides.
TEST_F(SerialPortTest, SettersReconfigureAnOpenPort)
{
    struct RowS
    {
        const char* szName;
        std::function<void(SerialPortC&)> fnSet;
        speed_t speed;
        tcflag_t flagsOn;
        tcflag_t flagsOff;
        std::function<void(const DCB&)> fnCheck;
    };
    const RowS aRows[] = {
        {"4800", [](SerialPortC& p) { p.SetBaudrate(4800); }, B4800, 0, CRTSCTS,
         [](const DCB& d) { EXPECT_EQ(4800u, d.BaudRate); }},
        {"9600", [](SerialPortC& p) { p.SetBaudrate(9600); }, B9600, 0, 0, nullptr},
        {"19200", [](SerialPortC& p) { p.SetBaudrate(19200); }, B19200, 0, 0, nullptr},
        {"57600", [](SerialPortC& p) { p.SetBaudrate(57600); }, B57600, 0, 0, nullptr},
        {"921600", [](SerialPortC& p) { p.SetBaudrate(921600); }, B921600, 0, 0,
         [](const DCB& d) { EXPECT_EQ(921600u, d.BaudRate); }},
        {"115200", [](SerialPortC& p) { p.SetBaudrate(115200); }, B115200, 0, 0, nullptr},
        {"rts/cts on", [](SerialPortC& p) { p.EnableRtsCts(true); }, B115200, CRTSCTS, 0,
         [](const DCB& d) {
             EXPECT_EQ(1u, d.fOutxCtsFlow);
             EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_HANDSHAKE), d.fRtsControl);
         }},
        {"rts/cts off", [](SerialPortC& p) { p.EnableRtsCts(false); }, B115200, 0, CRTSCTS,
         [](const DCB& d) {
             EXPECT_EQ(0u, d.fOutxCtsFlow);
             EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_ENABLE), d.fRtsControl);
         }},
        {"even parity, two stop bits",
         [](SerialPortC& p) {
             Rs232SettingsS s;
             s.unParity = 3;
             s.unStopBits = 2;
             p.SetRs232Settings(s);
         },
         B115200, CSTOPB, PARODD,
         [](const DCB& d) {
             EXPECT_EQ(EVENPARITY, d.Parity);
             EXPECT_EQ(1u, d.fParity);
             EXPECT_EQ(TWOSTOPBITS, d.StopBits);
         }},
        {"odd parity, seven bits",
         [](SerialPortC& p) {
             Rs232SettingsS s;
             s.unParity = 2;
             s.unDataBits = 2;
             p.SetRs232Settings(s);
         },
         B115200, PARODD, CSTOPB,
         [](const DCB& d) {
             EXPECT_EQ(ODDPARITY, d.Parity);
             EXPECT_EQ(1u, d.fParity);
             EXPECT_EQ(7, d.ByteSize);
             EXPECT_EQ(ONESTOPBIT, d.StopBits);
         }},
        {"five bits, no parity",
         [](SerialPortC& p) {
             Rs232SettingsS s;
             s.unDataBits = 4;
             p.SetRs232Settings(s);
         },
         B115200, 0, PARODD | CSTOPB,
         [](const DCB& d) {
             EXPECT_EQ(5, d.ByteSize);
             EXPECT_EQ(NOPARITY, d.Parity);
             EXPECT_EQ(0u, d.fParity);
         }},
        {"dtr on", [](SerialPortC& p) { p.EnableDtrDsr(true); }, B115200, 0, 0,
         [](const DCB& d) { EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), d.fDtrControl); }},
        {"dtr off", [](SerialPortC& p) { p.EnableDtrDsr(false); }, B115200, 0, 0,
         [](const DCB& d) { EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_DISABLE), d.fDtrControl); }},
    };
    ASSERT_TRUE(m_port.Connect());
    for (const RowS& row : aRows) {
        SCOPED_TRACE(row.szName);
        row.fnSet(m_port);
        const termios tio = m_pty.line();
        EXPECT_EQ(row.speed, cfgetospeed(&tio));
        EXPECT_EQ(row.flagsOn, tio.c_cflag & row.flagsOn);
        EXPECT_EQ(0u, tio.c_cflag & row.flagsOff);
        if (row.fnCheck) {
            row.fnCheck(portState());
        }
        EXPECT_TRUE(m_port.IsConnected());
    }
}

TEST_F(SerialPortTest, UnknownBitRateKeepsTheCodeButStillReconfigures)
{
    ASSERT_TRUE(m_port.Connect());
    // Changed behind the port's back: only a reconfiguration puts 115200 back.
    termios tio = m_pty.line();
    cfsetspeed(&tio, B9600);
    ASSERT_EQ(0, ::tcsetattr(m_pty.m_nMaster, TCSANOW, &tio));

    const auto start = ClockT::now();
    m_port.SetBaudrate(38400);
    EXPECT_GE(msSince(start), 90) << "a reconfiguration ends with its pause";
    Rs232SettingsS settings;
    m_port.GetRs232Settings(&settings);
    EXPECT_EQ(9u, settings.unBaudRate);
    tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
}

TEST_F(SerialPortTest, SettersOnAClosedPortOnlyStore)
{
    const auto start = ClockT::now();
    m_port.SetBaudrate(57600);
    m_port.EnableRtsCts(true);
    m_port.EnableDtrDsr(true);
    EXPECT_LT(msSince(start), 90) << "no reconfiguration pause without a device";
    EXPECT_FALSE(m_port.IsConnected());
    Rs232SettingsS settings;
    m_port.GetRs232Settings(&settings);
    EXPECT_EQ(8u, settings.unBaudRate);
    EXPECT_EQ(1u, settings.unFlowControl);
    EXPECT_TRUE(settings.bDtrDsr);

    ASSERT_TRUE(m_port.Connect());
    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B57600), cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
}

// An invalid bit-rate code fails the configuration; the handle stays open
// until the next Connect, which closes it before opening again.
TEST_F(SerialPortTest, InvalidBitRateCodeFailsConnectAndTheNextConnectRecovers)
{
    Rs232SettingsS settings;
    settings.unBaudRate = 7;
    m_port.SetRs232Settings(settings);
    EXPECT_FALSE(m_port.Connect());
    EXPECT_FALSE(m_port.IsConnected());
    EXPECT_NE(INVALID_HANDLE_VALUE, m_pty.portHandle()) << "handle stays open";

    settings.unBaudRate = 5;
    m_port.SetRs232Settings(settings);
    ASSERT_TRUE(m_port.Connect());
    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));
    EXPECT_TRUE(m_port.Disconnect());
    EXPECT_EQ(INVALID_HANDLE_VALUE, m_pty.portHandle()) << "no handle left behind";
}

TEST_F(SerialPortTest, InvalidCodeOnAnOpenPortLeavesTheLineAsItWas)
{
    ASSERT_TRUE(m_port.Connect());
    m_port.SetBaudrate(19200);
    Rs232SettingsS settings;
    settings.unBaudRate = 13;
    settings.unFlowControl = 1;
    m_port.SetRs232Settings(settings);
    const termios tio = m_pty.line();
    EXPECT_EQ(static_cast<speed_t>(B19200), cfgetospeed(&tio));
    EXPECT_EQ(0u, tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(m_port.IsConnected());
}

class AssertCollectorC : public NOX::ERR::SysPanicHandlerI
{
public:
    void panic(const char*, unsigned long, long, long, const char*, int) override {}
    void assertFailed(const char* szCondition, long, long, const char* szFile, int) override
    {
        m_vecReports.push_back(std::string(szFile) + ": " + szCondition);
    }
    std::vector<std::string> m_vecReports;
};

// Unknown framing codes are reported and fall back to 8 bits, no parity
// value, one stop bit; the port stays usable.
TEST_F(SerialPortTest, UnknownFramingCodesAreReportedAndFallBack)
{
    AssertCollectorC asserts;
    NOX::ERR::PanicHandlerRegistryC::getInstance().setHandler(&asserts, true);
    ASSERT_TRUE(m_port.Connect());
    Rs232SettingsS settings;
    settings.unDataBits = 5;
    settings.unParity = 4;
    settings.unStopBits = 3;
    m_port.SetRs232Settings(settings);
    NOX::ERR::PanicHandlerRegistryC::getInstance().removeHandler(&asserts);

    const std::string strReport = "src\\TRC_PRT_SerialPort: false";
    EXPECT_EQ((std::vector<std::string>{strReport, strReport, strReport}), asserts.m_vecReports);
    const DCB dcb = portState();
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(1u, dcb.fParity) << "any parity code but 1 asks for parity";
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_TRUE(m_port.IsConnected());
}

TEST_F(SerialPortTest, WriteReachesThePeerAndFailsOnAClosedPort)
{
    EXPECT_FALSE(m_port.Write("AT\r", 3));
    ASSERT_TRUE(m_port.Connect());
    EXPECT_TRUE(m_port.Write("AT\r", 3));
    EXPECT_EQ("AT\r", m_pty.read(3));
    const std::string strLong = pattern(3000, 5);
    EXPECT_TRUE(m_port.Write(strLong.data(), static_cast<uint32_t>(strLong.size())));
    EXPECT_EQ(strLong, m_pty.read(strLong.size()));
    ASSERT_TRUE(m_port.Disconnect());
    EXPECT_FALSE(m_port.Write("AT\r", 3));
}

TEST_F(SerialPortTest, EveryByteReachesTheConsumerInOrder)
{
    const std::string strSent = pattern(20000, 3);
    RecordingConsumerC consumer(strSent.size());
    m_port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(m_port.Connect());
    for (size_t nDone = 0; nDone < strSent.size(); nDone += 1000) {
        m_pty.write(strSent.substr(nDone, 1000));
    }
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ(strSent, consumer.data());
    m_port.ConnectReadConsumer(nullptr);
}

TEST_F(SerialPortTest, InputQueuedBeforeConnectIsDropped)
{
    RecordingConsumerC consumer(2);
    m_port.ConnectReadConsumer(&consumer);
    m_pty.write("stale");
    ASSERT_TRUE(waitFor([&] { return m_pty.queuedForDevice() == 5; }));
    ASSERT_TRUE(m_port.Connect());
    m_pty.write("ok");
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ("ok", consumer.data());
    m_port.ConnectReadConsumer(nullptr);
}

// The reader is held in the delivery of a first byte while 3000 more are
// queued; its next read then finds all of them waiting.
TEST_F(SerialPortTest, ThreeThousandQueuedBytesComeInOneDelivery)
{
    const std::string strBlock = pattern(3000, 11);
    RecordingConsumerC consumer(1 + strBlock.size());
    std::atomic<bool> bRelease(false);
    std::atomic<int> nCalls(0);
    consumer.m_fnBefore = [&] {
        if (nCalls++ == 0) {
            waitFor([&] { return bRelease.load(); });
        }
    };
    m_port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(m_port.Connect());
    m_pty.write("x");
    ASSERT_TRUE(waitFor([&] { return nCalls.load() == 1; }));
    m_pty.write(strBlock);
    const bool bQueued = waitFor([&] { return m_pty.queuedForDevice() == 3000; });
    bRelease = true;
    ASSERT_TRUE(bQueued) << m_pty.queuedForDevice();
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ((std::vector<uint16_t>{1, 3000}), consumer.sizes());
    EXPECT_EQ("x" + strBlock, consumer.data());
    m_port.ConnectReadConsumer(nullptr);
}

// The peer streams without pause; once ConnectReadConsumer(nullptr) has
// returned, the old consumer must see nothing more, while a new one does.
TEST_F(SerialPortTest, NothingReachesAConsumerAfterItWasUnregistered)
{
    PeerStreamC peer(m_pty.m_nMaster, 64);
    ASSERT_TRUE(m_port.Connect());
    for (int nRound = 0; nRound < 20; ++nRound) {
        std::atomic<bool> bGone(false);
        std::atomic<int> nLate(0);
        RecordingConsumerC oldConsumer(1000);
        oldConsumer.m_fnBefore = [&] {
            if (bGone) {
                ++nLate;
            }
            std::this_thread::yield();
        };
        m_port.ConnectReadConsumer(&oldConsumer);
        ASSERT_EQ(NOX::RC_OK, oldConsumer.wait(c_lBoundMs));
        m_port.ConnectReadConsumer(nullptr);
        bGone = true;
        RecordingConsumerC newConsumer(1000);
        m_port.ConnectReadConsumer(&newConsumer);
        ASSERT_EQ(NOX::RC_OK, newConsumer.wait(c_lBoundMs));
        m_port.ConnectReadConsumer(nullptr);
        EXPECT_EQ(0, nLate.load()) << "round " << nRound;
    }
    EXPECT_TRUE(m_port.Disconnect());
}

// The reader sits in its event wait; closing the handle ends that wait, and
// nothing else may hold the stop up (median of several rounds, as a loaded
// machine may delay one of them).
TEST_F(SerialPortTest, DisconnectWhileTheReaderWaitsReturnsAtOnce)
{
    RecordingConsumerC consumer(2);
    m_port.ConnectReadConsumer(&consumer);
    std::vector<long> vecMicros;
    for (int nRound = 0; nRound < 5; ++nRound) {
        ASSERT_TRUE(m_port.Connect());
        m_pty.write("hi");
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        const auto start = ClockT::now();
        EXPECT_TRUE(m_port.Disconnect());
        vecMicros.push_back(static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(ClockT::now() - start).count()));
        EXPECT_FALSE(m_port.IsConnected());
        EXPECT_EQ(INVALID_HANDLE_VALUE, m_pty.portHandle());
        EXPECT_TRUE(m_port.Disconnect()) << "a closed port disconnects again";
    }
    m_port.ConnectReadConsumer(nullptr);
    std::sort(vecMicros.begin(), vecMicros.end());
    EXPECT_LT(vecMicros[2], 10000) << "median Disconnect in microseconds";
    EXPECT_LT(vecMicros.back(), 1000000) << "far inside the 2000 ms stop bound";
}

TEST_F(SerialPortTest, DisconnectFromAnotherThreadWhileDelivering)
{
    PeerStreamC peer(m_pty.m_nMaster, 128);
    RecordingConsumerC consumer(4096);
    m_port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(m_port.Connect());
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    bool bDisconnected = false;
    std::thread closer([&] { bDisconnected = m_port.Disconnect(); });
    closer.join();
    EXPECT_TRUE(bDisconnected);
    const size_t nAfter = consumer.size();
    EXPECT_FALSE(m_port.IsConnected());
    // The reader is gone: what the peer still sends stays queued.
    ASSERT_TRUE(waitFor([&] { return m_pty.queuedForDevice() > 0; }));
    EXPECT_EQ(nAfter, consumer.size());
    m_port.ConnectReadConsumer(nullptr);
}

// Closing the master is a removed device: the reader disconnects the port
// itself, and the port works again on a new device right away.
TEST_F(SerialPortTest, RemovedDeviceStopsTheReaderAndANewDeviceWorks)
{
    LogCaptureC capture;
    capture.route("SerialPortC", 3);
    for (int nRound = 0; nRound < 5; ++nRound) {
        SCOPED_TRACE(nRound);
        PseudoTerminalC pty;
        m_port.SetPortName(widen(pty.m_strPath));
        RecordingConsumerC consumer(500);
        m_port.ConnectReadConsumer(&consumer);
        ASSERT_TRUE(m_port.Connect());
        for (int i = 0; i < 5; ++i) {
            pty.write(pattern(100));
        }
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        pty.write(pattern(100));
        pty.closeMaster();
        ASSERT_TRUE(waitFor([&] { return !m_port.IsConnected(); }));
        ASSERT_TRUE(waitFor([&] { return pty.portHandle() == INVALID_HANDLE_VALUE; }));
        EXPECT_NE(std::string::npos, capture.joined().find("WaitCommEvent error = 651\n"));
        capture.consumer().clear();
        m_port.ConnectReadConsumer(nullptr);
    }
    PseudoTerminalC pty;
    m_port.SetPortName(widen(pty.m_strPath));
    RecordingConsumerC consumer(5);
    m_port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(m_port.Connect());
    pty.write("again");
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ("again", consumer.data());
    m_port.ConnectReadConsumer(nullptr);
    EXPECT_TRUE(m_port.Disconnect());
}

// A port destroyed right after its reader stopped itself must not leave that
// reader running on freed memory.
TEST(SerialPortRemovalTest, PortDestroyedRightAfterTheDeviceVanished)
{
    for (int nRound = 0; nRound < 20; ++nRound) {
        PseudoTerminalC pty;
        auto* pPort = new SerialPortC;
        pPort->SetPortName(widen(pty.m_strPath));
        ASSERT_TRUE(pPort->Connect());
        pty.closeMaster();
        ASSERT_TRUE(waitFor([&] { return !pPort->IsConnected(); }));
        delete pPort;
    }
}

// Connect is called the moment the port reports itself closed, while the
// reader that closed it may still be on its way out.
TEST(SerialPortRemovalTest, ConnectRightAfterTheDeviceVanished)
{
    SerialPortC port;
    for (int nRound = 0; nRound < 20; ++nRound) {
        SCOPED_TRACE(nRound);
        PseudoTerminalC pty;
        port.SetPortName(widen(pty.m_strPath));
        ASSERT_TRUE(port.Connect());
        pty.closeMaster();
        const auto start = ClockT::now();
        while (port.IsConnected() && msSince(start) < c_lBoundMs) {
        }
        PseudoTerminalC next;
        port.SetPortName(widen(next.m_strPath));
        ASSERT_TRUE(port.Connect());
        RecordingConsumerC consumer(2);
        port.ConnectReadConsumer(&consumer);
        next.write("up");
        EXPECT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        port.ConnectReadConsumer(nullptr);
        EXPECT_TRUE(port.Disconnect());
    }
}

TEST_F(SerialPortTest, ChangedQueueSizesReopenAnOpenPort)
{
    LogCaptureC capture;
    capture.route("SerialPortC", 4);
    m_port.ConfigureReadWriteBuffers(4096, 4096);
    EXPECT_EQ(std::string::npos, capture.joined().find("SerialPortC::Connect"))
        << "the sizes it has already: nothing happens";
    EXPECT_FALSE(m_port.IsConnected());

    ASSERT_TRUE(m_port.Connect());
    m_port.ConfigureReadWriteBuffers(4096, 4096);
    capture.consumer().clear();
    m_port.ConfigureReadWriteBuffers(8192, 4096);
    const std::string strLog = capture.joined();
    const size_t nDisconnect = strLog.find("START SerialPortC::Disconnect");
    const size_t nConnect = strLog.find("START SerialPortC::Connect");
    EXPECT_NE(std::string::npos, nDisconnect);
    EXPECT_NE(std::string::npos, nConnect);
    EXPECT_LT(nDisconnect, nConnect);
    EXPECT_TRUE(m_port.IsConnected());

    RecordingConsumerC consumer(4);
    m_port.ConnectReadConsumer(&consumer);
    m_pty.write("more");
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ("more", consumer.data());
    m_port.ConnectReadConsumer(nullptr);

    capture.consumer().clear();
    m_port.ConfigureReadWriteBuffers(8192, 4096);
    EXPECT_EQ(std::string::npos, capture.joined().find("START SerialPortC::Connect"));
}

TEST_F(SerialPortTest, FlushBuffersTracesARefusedPurge)
{
    LogCaptureC capture;
    capture.route("SerialPortC", 3);
    m_port.FlushBuffers(PURGE_TXCLEAR);
    EXPECT_EQ(std::string::npos, capture.joined().find("error")) << "closed: nothing to do";

    ASSERT_TRUE(m_port.Connect());
    m_port.FlushBuffers(PURGE_TXCLEAR);
    EXPECT_EQ(std::string::npos, capture.joined().find("error in"));
    m_port.FlushBuffers(0x100);
    EXPECT_NE(
        std::string::npos,
        capture.joined().find("TRC::PRT::SerialPortC::FlushBuffers: error in PurgeComm: 57\n"));
    EXPECT_TRUE(m_port.IsConnected());
}

TEST_F(SerialPortTest, TransfersAreTracedWithTheirCounts)
{
    LogCaptureC capture;
    capture.route("SerialPortC", 3);
    RecordingConsumerC consumer(3);
    m_port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(m_port.Connect());
    ASSERT_TRUE(m_port.Write("AT\r", 3));
    m_pty.write("abc");
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    m_port.ConnectReadConsumer(nullptr);
    ASSERT_TRUE(m_port.Disconnect());
    const std::string strLog = capture.joined();
    EXPECT_NE(std::string::npos, strLog.find("writing 3 bytes\n"));
    EXPECT_NE(std::string::npos, strLog.find("START WriteFile"));
    EXPECT_NE(std::string::npos, strLog.find("START ReadFile"));
    EXPECT_NE(std::string::npos, strLog.find("START SerialPortC::Read\n"));
    EXPECT_NE(std::string::npos, strLog.find("START SerialPortC::ConfigureComPort"));
}

} // namespace
