// The serial port on real pseudo-terminals: the master side is the peer, and
// tcgetattr on it shows the line the port applied. A pseudo-terminal keeps no
// data bits or parity in termios, so those are read back from the device
// control block of the port's own handle.
#include "LogCapture.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "PortTestSupport.h"
#include "TRC_PRT_SerialPort.h"
#include "request_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <thread>

namespace {

using namespace porttest;
using TRC::PRT::Rs232SettingsS;
using TRC::PRT::SerialPortC;

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
        m_port.SetPortName(m_pty.name());
    }

    DCB portState()
    {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        EXPECT_TRUE(GetCommState(m_pty.portHandle(), &dcb)) << GetLastError();
        return dcb;
    }

    speed_t lineSpeed() const
    {
        const termios tio = m_pty.line();
        return cfgetospeed(&tio);
    }

    // A consumer registered with the port; it outlives the port's reader.
    RecordingConsumerC& reading(size_t nExpected, std::function<void()> fnBefore = nullptr)
    {
        m_vecConsumers.push_back(std::make_unique<RecordingConsumerC>(nExpected));
        m_vecConsumers.back()->m_fnBefore = std::move(fnBefore);
        m_port.ConnectReadConsumer(m_vecConsumers.back().get());
        return *m_vecConsumers.back();
    }

    LogCaptureC m_capture;
    PseudoTerminalC m_pty;
    std::vector<std::unique_ptr<RecordingConsumerC>> m_vecConsumers;
    SerialPortC m_port;
};

TEST(Rs232SettingsTest, BitRatesAndCodesConvertBothWaysAndDefaultTo115200)
{
    const std::pair<uint32_t, uint32_t> aRows[] = {{4800, 4},  {9600, 5},   {19200, 6},
                                                   {57600, 8}, {115200, 9}, {921600, 12}};
    for (const auto& row : aRows) {
        EXPECT_EQ(row.second, Rs232SettingsS::baudRateToCode(row.first)) << row.first;
        EXPECT_EQ(row.first, Rs232SettingsS::codeToBaudRate(row.second)) << row.second;
    }
    for (uint32_t ulRate : {0u, 1200u, 38400u, 230400u, 460800u, 115201u}) {
        EXPECT_EQ(0u, Rs232SettingsS::baudRateToCode(ulRate)) << ulRate;
    }
    for (uint32_t unCode : {0u, 1u, 3u, 7u, 10u, 11u, 13u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0u, Rs232SettingsS::codeToBaudRate(unCode)) << unCode;
    }
    // 115200 8N1 without handshake, in the record and in a new port.
    const Rs232SettingsS settings;
    EXPECT_EQ((std::vector<uint32_t>{9, 1, 1, 1, 2}),
              (std::vector<uint32_t>{settings.unBaudRate, settings.unDataBits, settings.unStopBits,
                                     settings.unParity, settings.unFlowControl}));
    EXPECT_FALSE(settings.bDtrDsr);
    SerialPortC port;
    Rs232SettingsS portSettings;
    portSettings.unBaudRate = 0;
    port.GetRs232Settings(&portSettings);
    EXPECT_EQ(9u, portSettings.unBaudRate);
    EXPECT_EQ(2u, portSettings.unFlowControl);
}

// Setters on a closed port only store; Connect applies the stored record.
TEST_F(SerialPortTest, ConnectAppliesWhatTheSettersStored)
{
    Rs232SettingsS settings;
    settings.unFlowControl = 1;
    m_port.SetRs232Settings(settings);
    const auto start = ClockT::now();
    m_port.SetBaudrate(921600);
    m_port.EnableDtrDsr(true);
    EXPECT_LT(msSince(start), 90) << "no reconfiguration pause without a device";
    EXPECT_FALSE(m_port.IsConnected());
    m_port.GetRs232Settings(&settings);
    EXPECT_EQ(12u, settings.unBaudRate);
    EXPECT_EQ(1u, settings.unFlowControl);
    EXPECT_TRUE(settings.bDtrDsr);

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
    EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), dcb.fDtrControl);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(0u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);
}

// Each row reconfigures the open port; the line is read back from both sides.
TEST_F(SerialPortTest, SettersReconfigureAnOpenPort)
{
    ASSERT_TRUE(m_port.Connect());
    const std::pair<uint32_t, speed_t> aRates[] = {{4800, B4800},     {9600, B9600},
                                                   {19200, B19200},   {57600, B57600},
                                                   {921600, B921600}, {115200, B115200}};
    for (const auto& rate : aRates) {
        m_port.SetBaudrate(rate.first);
        EXPECT_EQ(rate.second, lineSpeed()) << rate.first;
        EXPECT_EQ(rate.first, portState().BaudRate);
    }
    struct RowS
    {
        const char* szName;
        std::function<void(SerialPortC&)> fnSet;
        tcflag_t flagsOn;
        tcflag_t flagsOff;
        std::function<void(const DCB&)> fnCheck;
    };
    const auto record = [](uint32_t unDataBits, uint32_t unParity, uint32_t unStopBits) {
        return [=](SerialPortC& port) {
            Rs232SettingsS settings;
            settings.unDataBits = unDataBits;
            settings.unParity = unParity;
            settings.unStopBits = unStopBits;
            port.SetRs232Settings(settings);
        };
    };
    const RowS aRows[] = {
        {"rts/cts on", [](SerialPortC& p) { p.EnableRtsCts(true); }, CRTSCTS, 0,
         [](const DCB& d) {
             EXPECT_EQ(1u, d.fOutxCtsFlow);
             EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_HANDSHAKE), d.fRtsControl);
         }},
        {"rts/cts off", [](SerialPortC& p) { p.EnableRtsCts(false); }, 0, CRTSCTS,
         [](const DCB& d) {
             EXPECT_EQ(0u, d.fOutxCtsFlow);
             EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_ENABLE), d.fRtsControl);
         }},
        {"even parity, two stop bits", record(1, 3, 2), CSTOPB, PARODD,
         [](const DCB& d) {
             EXPECT_EQ(EVENPARITY, d.Parity);
             EXPECT_EQ(1u, d.fParity);
             EXPECT_EQ(TWOSTOPBITS, d.StopBits);
         }},
        {"odd parity, seven bits", record(2, 2, 1), PARODD, CSTOPB,
         [](const DCB& d) {
             EXPECT_EQ(ODDPARITY, d.Parity);
             EXPECT_EQ(1u, d.fParity);
             EXPECT_EQ(7, d.ByteSize);
             EXPECT_EQ(ONESTOPBIT, d.StopBits);
         }},
        {"five bits, no parity", record(4, 1, 1), 0, PARODD | CSTOPB,
         [](const DCB& d) {
             EXPECT_EQ(5, d.ByteSize);
             EXPECT_EQ(NOPARITY, d.Parity);
             EXPECT_EQ(0u, d.fParity);
         }},
        {"dtr on", [](SerialPortC& p) { p.EnableDtrDsr(true); }, 0, 0,
         [](const DCB& d) { EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), d.fDtrControl); }},
        {"dtr off", [](SerialPortC& p) { p.EnableDtrDsr(false); }, 0, 0,
         [](const DCB& d) { EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_DISABLE), d.fDtrControl); }},
    };
    for (const RowS& row : aRows) {
        SCOPED_TRACE(row.szName);
        row.fnSet(m_port);
        const termios tio = m_pty.line();
        EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
        EXPECT_EQ(row.flagsOn, tio.c_cflag & row.flagsOn);
        EXPECT_EQ(0u, tio.c_cflag & row.flagsOff);
        row.fnCheck(portState());
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
    EXPECT_EQ(static_cast<speed_t>(B115200), lineSpeed());
}

// An invalid bit-rate code fails the configuration; the handle stays open
// until the next Connect, which closes it before opening again. On an open
// port it leaves the line as it was.
TEST_F(SerialPortTest, InvalidBitRateCodeFailsConnectAndLeavesAnOpenLineAlone)
{
    Rs232SettingsS settings;
    settings.unBaudRate = 7;
    m_port.SetRs232Settings(settings);
    EXPECT_FALSE(m_port.Connect());
    EXPECT_FALSE(m_port.IsConnected());
    EXPECT_NE(INVALID_HANDLE_VALUE, m_pty.portHandle()) << "handle stays open";

    settings.unBaudRate = 6;
    m_port.SetRs232Settings(settings);
    ASSERT_TRUE(m_port.Connect());
    EXPECT_EQ(static_cast<speed_t>(B19200), lineSpeed());

    settings.unBaudRate = 13;
    settings.unFlowControl = 1;
    m_port.SetRs232Settings(settings);
    EXPECT_EQ(static_cast<speed_t>(B19200), lineSpeed());
    EXPECT_EQ(0u, m_pty.line().c_cflag & CRTSCTS);
    EXPECT_TRUE(m_port.IsConnected());
    EXPECT_TRUE(m_port.Disconnect());
    EXPECT_EQ(INVALID_HANDLE_VALUE, m_pty.portHandle()) << "no handle left behind";
}

// Unknown framing codes are reported and fall back to 8 bits, no parity
// value, one stop bit; the port stays usable.
TEST_F(SerialPortTest, UnknownFramingCodesAreReportedAndFallBack)
{
    ASSERT_TRUE(m_port.Connect());
    {
        quenta_test::AssertRecorderC asserts;
        Rs232SettingsS settings;
        settings.unDataBits = 5;
        settings.unParity = 4;
        settings.unStopBits = 3;
        m_port.SetRs232Settings(settings);
        EXPECT_EQ(std::vector<std::string>(3, "false"), asserts.m_vecConditions);
        EXPECT_EQ(std::vector<std::string>(3, "src\\TRC_PRT_SerialPort"), asserts.m_vecFiles);
    }
    const DCB dcb = portState();
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(1u, dcb.fParity) << "any parity code but 1 asks for parity";
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_TRUE(m_port.IsConnected());
}

TEST_F(SerialPortTest, WriteReachesThePeerAndFailsOnAClosedPort)
{
    m_capture.route("SerialPortC", 3);
    EXPECT_FALSE(m_port.Write("AT\r", 3));
    ASSERT_TRUE(m_port.Connect());
    EXPECT_TRUE(m_port.Write("AT\r", 3));
    EXPECT_EQ("AT\r", m_pty.read(3));
    const std::string strLong = pattern(3000, 5);
    EXPECT_TRUE(m_port.Write(strLong.data(), static_cast<uint32_t>(strLong.size())));
    EXPECT_EQ(strLong, m_pty.read(strLong.size()));
    ASSERT_TRUE(m_port.Disconnect());
    EXPECT_FALSE(m_port.Write("AT\r", 3));
    const std::string strLog = m_capture.joined();
    for (const char* szTrace :
         {"writing 3 bytes\n", "START WriteFile", "START SerialPortC::ConfigureComPort"}) {
        EXPECT_NE(std::string::npos, strLog.find(szTrace)) << szTrace;
    }
}

// Input queued before Connect is dropped; everything after it arrives.
TEST_F(SerialPortTest, EveryByteAfterConnectReachesTheConsumerInOrder)
{
    m_capture.route("SerialPortC", 3);
    const std::string strSent = pattern(20000, 3);
    RecordingConsumerC& consumer = reading(strSent.size());
    m_pty.write("stale");
    ASSERT_TRUE(waitFor([&] { return m_pty.queuedForDevice() == 5; }));
    ASSERT_TRUE(m_port.Connect());
    for (size_t nDone = 0; nDone < strSent.size(); nDone += 1000) {
        m_pty.write(strSent.substr(nDone, 1000));
    }
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ(strSent, consumer.data());
    const std::string strLog = m_capture.joined();
    EXPECT_NE(std::string::npos, strLog.find("START ReadFile"));
    EXPECT_NE(std::string::npos, strLog.find("START SerialPortC::Read\n"));
}

// The reader is held in the delivery of a first byte while 3000 more are
// queued; its next read then finds all of them waiting.
TEST_F(SerialPortTest, ThreeThousandQueuedBytesComeInOneDelivery)
{
    const std::string strBlock = pattern(3000, 11);
    std::atomic<bool> bRelease(false);
    std::atomic<int> nCalls(0);
    RecordingConsumerC& consumer = reading(1 + strBlock.size(), [&] {
        if (nCalls++ == 0) {
            waitFor([&] { return bRelease.load(); });
        }
    });
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
}

// The peer streams without pause; once ConnectReadConsumer(nullptr) has
// returned, the old consumer must see nothing more, while a new one does. A
// Disconnect from another thread then ends the deliveries.
TEST_F(SerialPortTest, ConsumersChangeAndTheReaderStopsWhileThePeerStreams)
{
    PeerStreamC peer(m_pty.m_nMaster, 64);
    ASSERT_TRUE(m_port.Connect());
    for (int nRound = 0; nRound < 20; ++nRound) {
        std::atomic<bool> bGone(false);
        std::atomic<int> nLate(0);
        RecordingConsumerC& oldConsumer = reading(1000, [&] {
            nLate += bGone ? 1 : 0;
            std::this_thread::yield();
        });
        ASSERT_EQ(NOX::RC_OK, oldConsumer.wait(c_lBoundMs));
        m_port.ConnectReadConsumer(nullptr);
        bGone = true;
        ASSERT_EQ(NOX::RC_OK, reading(1000).wait(c_lBoundMs));
        EXPECT_EQ(0, nLate.load()) << "round " << nRound;
    }
    RecordingConsumerC& consumer = *m_vecConsumers.back();
    bool bDisconnected = false;
    std::thread closer([&] { bDisconnected = m_port.Disconnect(); });
    closer.join();
    EXPECT_TRUE(bDisconnected);
    EXPECT_FALSE(m_port.IsConnected());
    const size_t nAfter = consumer.data().size();
    // The reader is gone: what the peer still sends stays queued.
    ASSERT_TRUE(waitFor([&] { return m_pty.queuedForDevice() > 0; }));
    EXPECT_EQ(nAfter, consumer.data().size());
}

// The reader sits in its event wait; closing the handle ends that wait, and
// nothing else may hold the stop up (median of several rounds, as a loaded
// machine may delay one of them).
TEST_F(SerialPortTest, DisconnectWhileTheReaderWaitsReturnsAtOnce)
{
    RecordingConsumerC& consumer = reading(2);
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
    std::sort(vecMicros.begin(), vecMicros.end());
    EXPECT_LT(vecMicros[2], 10000) << "median Disconnect in microseconds";
    EXPECT_LT(vecMicros.back(), 1000000) << "far inside the 2000 ms stop bound";
}

// Closing the master mid-stream is a removed device: the reader closes the
// port itself. Connect on a new device the moment the port reports itself
// closed, and deleting the port right then, must not meet that reader still
// on its way out.
TEST(SerialPortRemovalTest, RemovedDeviceStopsTheReaderAndThePortGoesOn)
{
    LogCaptureC capture;
    capture.route("SerialPortC", 3);
    const auto waitClosed = [](SerialPortC& port) {
        const auto start = ClockT::now();
        while (port.IsConnected() && msSince(start) < c_lBoundMs) {
        }
        return !port.IsConnected();
    };
    for (int nRound = 0; nRound < 20; ++nRound) {
        SCOPED_TRACE(nRound);
        PseudoTerminalC pty;
        PseudoTerminalC next;
        RecordingConsumerC consumer(500);
        RecordingConsumerC nextConsumer(2);
        auto pPort = std::make_unique<SerialPortC>();
        pPort->SetPortName(pty.name());
        pPort->ConnectReadConsumer(&consumer);
        ASSERT_TRUE(pPort->Connect());
        pty.write(pattern(500));
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        pty.write(pattern(100));
        pty.closeMaster();
        ASSERT_TRUE(waitClosed(*pPort));
        pPort->SetPortName(next.name());
        pPort->ConnectReadConsumer(&nextConsumer);
        ASSERT_TRUE(pPort->Connect());
        ASSERT_TRUE(waitFor([&] { return pty.portHandle() == INVALID_HANDLE_VALUE; }));
        EXPECT_NE(std::string::npos, capture.joined().find("WaitCommEvent error = 651\n"));
        capture.consumer().clear();
        next.write("up");
        ASSERT_EQ(NOX::RC_OK, nextConsumer.wait(c_lBoundMs));
        EXPECT_EQ("up", nextConsumer.data());
        next.closeMaster();
        ASSERT_TRUE(waitClosed(*pPort));
        pPort.reset();
    }
}

TEST_F(SerialPortTest, ChangedQueueSizesReopenAnOpenPort)
{
    m_capture.route("SerialPortC", 4);
    m_port.ConfigureReadWriteBuffers(4096, 4096);
    EXPECT_EQ(std::string::npos, m_capture.joined().find("SerialPortC::Connect"))
        << "the sizes it has already: nothing happens";
    EXPECT_FALSE(m_port.IsConnected());

    RecordingConsumerC& consumer = reading(4);
    ASSERT_TRUE(m_port.Connect());
    m_capture.consumer().clear();
    m_port.ConfigureReadWriteBuffers(8192, 4096);
    const std::string strLog = m_capture.joined();
    const size_t nDisconnect = strLog.find("START SerialPortC::Disconnect");
    const size_t nConnect = strLog.find("START SerialPortC::Connect");
    EXPECT_NE(std::string::npos, nDisconnect);
    EXPECT_NE(std::string::npos, nConnect);
    EXPECT_LT(nDisconnect, nConnect);
    EXPECT_TRUE(m_port.IsConnected());
    m_pty.write("more");
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ("more", consumer.data());

    m_capture.consumer().clear();
    m_port.ConfigureReadWriteBuffers(8192, 4096);
    EXPECT_EQ(std::string::npos, m_capture.joined().find("START SerialPortC::Connect"));
}

TEST_F(SerialPortTest, FlushBuffersTracesARefusedPurge)
{
    m_capture.route("SerialPortC", 3);
    m_port.FlushBuffers(PURGE_TXCLEAR);
    EXPECT_EQ(std::string::npos, m_capture.joined().find("error")) << "closed: nothing to do";
    ASSERT_TRUE(m_port.Connect());
    m_port.FlushBuffers(PURGE_TXCLEAR);
    EXPECT_EQ(std::string::npos, m_capture.joined().find("error in"));
    m_port.FlushBuffers(0x100);
    EXPECT_NE(
        std::string::npos,
        m_capture.joined().find("TRC::PRT::SerialPortC::FlushBuffers: error in PurgeComm: 57\n"));
    EXPECT_TRUE(m_port.IsConnected());
}

} // namespace
