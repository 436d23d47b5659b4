// The serial port on real pseudo-terminals, the master side as the peer: what
// the port adds to the platform's serial functions (its setting codes, the
// reconfiguration, the reader thread, the reopen).
#include "LogCapture.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "PortTestSupport.h"
#include "TRC_PRT_SerialPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using namespace porttest;
using TRC::PRT::Rs232SettingsS;
using TRC::PRT::SerialPortC;

class SerialPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_pty.m_strPath.empty());
        m_port.SetPortName(m_pty.name());
    }

    // The line as the port's own handle reads it back.
    DCB portState()
    {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        EXPECT_TRUE(GetCommState(m_pty.portHandle(), &dcb)) << GetLastError();
        return dcb;
    }

    // A consumer registered with the port; it outlives the port's reader.
    RecordingConsumerC& reading(size_t nExpected)
    {
        m_pConsumer = std::make_unique<RecordingConsumerC>(nExpected);
        m_port.ConnectReadConsumer(m_pConsumer.get());
        return *m_pConsumer;
    }

    LogCaptureC m_capture;
    PseudoTerminalC m_pty;
    std::unique_ptr<RecordingConsumerC> m_pConsumer;
    SerialPortC m_port;
};

// Connect applies the stored record; each row then reconfigures the open port
// from the module's setting codes, and so does a bit rate without a code.
TEST_F(SerialPortTest, SettingCodesReachTheLineAtConnectAndOnChange)
{
    m_port.SetBaudrate(921600);
    m_port.EnableRtsCts(true);
    ASSERT_TRUE(m_port.Connect());
    EXPECT_EQ(921600u, portState().BaudRate);
    EXPECT_EQ(1u, portState().fOutxCtsFlow);

    // Codes: bit rate, data bits, stop bits, parity, flow; the line: bit rate,
    // data bits, parity, stop bits, CTS flow.
    const std::pair<Rs232SettingsS, std::vector<DWORD>> aRows[] = {
        {{9, 1, 2, 3, 2}, {115200, 8, EVENPARITY, TWOSTOPBITS, 0}},
        {{9, 2, 1, 2, 1}, {115200, 7, ODDPARITY, ONESTOPBIT, 1}},
        {{9, 4, 1, 1, 2}, {115200, 5, NOPARITY, ONESTOPBIT, 0}},
    };
    for (const auto& [codes, vecLine] : aRows) {
        SCOPED_TRACE(vecLine[1]);
        m_port.SetRs232Settings(codes);
        const DCB dcb = portState();
        EXPECT_EQ(vecLine, (std::vector<DWORD>{dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits,
                                               dcb.fOutxCtsFlow}));
    }

    // An unknown bit rate keeps the code but still reconfigures: the line,
    // changed behind the port's back, is back at 115200.
    termios tio = m_pty.line();
    cfsetspeed(&tio, B9600);
    ASSERT_EQ(0, ::tcsetattr(m_pty.m_nMaster, TCSANOW, &tio));
    const auto start = ClockT::now();
    m_port.SetBaudrate(38400);
    EXPECT_GE(msSince(start), 90) << "a reconfiguration ends with its pause";
    Rs232SettingsS settings;
    m_port.GetRs232Settings(&settings);
    EXPECT_EQ(9u, settings.unBaudRate);
    EXPECT_EQ(115200u, portState().BaudRate);
}

// The reader is held in the delivery of a first byte while 3000 more are
// queued; its next read then finds all of them waiting.
TEST_F(SerialPortTest, ThreeThousandQueuedBytesComeInOneDelivery)
{
    const std::string strBlock = pattern(3000, 11);
    std::atomic<bool> bRelease(false);
    std::atomic<int> nCalls(0);
    RecordingConsumerC& consumer = reading(1 + strBlock.size());
    consumer.m_fnBefore = [&] { nCalls++ == 0 && waitFor([&] { return bRelease.load(); }); };
    ASSERT_TRUE(m_port.Connect());
    m_pty.write("x");
    ASSERT_TRUE(waitFor([&] { return nCalls.load() == 1; }));
    m_pty.write(strBlock);
    int nQueued = 0; // on the device side, not yet taken by the port
    const bool bQueued = waitFor(
        [&] { return ::ioctl(m_pty.m_nSlave, FIONREAD, &nQueued) == 0 && nQueued == 3000; });
    bRelease = true;
    ASSERT_TRUE(bQueued) << nQueued;
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ((std::vector<uint16_t>{1, 3000}), consumer.sizes());
    EXPECT_EQ("x" + strBlock, consumer.data());
}

// Between deliveries the reader sleeps in poll without a time-out, so an idle
// port neither spins nor wakes up periodically. Closing the handle ends that
// wait, and nothing else may hold the stop up: no error pause (100 ms), no stop
// time-out (2 s). The quickest of the rounds is judged, as a loaded machine
// may delay any one of them.
TEST_F(SerialPortTest, TheIdleReaderSleepsUntilDisconnectEndsItsWaitAtOnce)
{
    RecordingConsumerC& consumer = reading(2);
    std::atomic<pid_t> reader{0}; // deliveries run on the reader thread
    consumer.m_fnBefore = [&] { reader = static_cast<pid_t>(::syscall(SYS_gettid)); };
    long lQuickest = c_lBoundMs;
    for (int nRound = 0; nRound < 5; ++nRound) {
        ASSERT_TRUE(m_port.Connect());
        m_pty.write("hi");
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        ASSERT_TRUE(waitUntilInPoll(reader)) << "reader " << reader.load();
        const auto start = ClockT::now();
        EXPECT_TRUE(m_port.Disconnect());
        lQuickest = std::min(lQuickest, msSince(start));
        EXPECT_EQ(INVALID_HANDLE_VALUE, m_pty.portHandle());
    }
    EXPECT_LT(lQuickest, 50) << "quickest Disconnect in ms";
}

// Closing the master mid-stream is a removed device: the reader closes the
// port itself. Connect on a new device the moment the port reports itself
// closed, and deleting the port right then, must not meet that reader still
// on its way out.
TEST(SerialPortRemovalTest, RemovedDeviceStopsTheReaderAndThePortGoesOn)
{
    LogCaptureC capture;
    capture.route("SerialPortC", 3);
    // Polled without a pause, to meet the reader on its way out.
    const auto waitClosed = [](SerialPortC& port) {
        const auto start = ClockT::now();
        while (port.IsConnected() && msSince(start) < c_lBoundMs) {
        }
        return !port.IsConnected();
    };
    for (int nRound = 0; nRound < 10; ++nRound) {
        SCOPED_TRACE(nRound);
        PseudoTerminalC pty, next;
        RecordingConsumerC consumer(500), nextConsumer(2);
        auto pPort = std::make_unique<SerialPortC>();
        pPort->SetPortName(pty.name());
        pPort->ConnectReadConsumer(&consumer);
        ASSERT_TRUE(pPort->Connect());
        pty.write(pattern(600));
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
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
    RecordingConsumerC& consumer = reading(4);
    ASSERT_TRUE(m_port.Connect());
    m_capture.consumer().clear();
    m_port.ConfigureReadWriteBuffers(8192, 4096);
    const std::string strLog = m_capture.joined();
    EXPECT_LT(strLog.find("START SerialPortC::Disconnect"),
              strLog.find("START SerialPortC::Connect"));
    m_pty.write("more");
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_EQ("more", consumer.data());
}

} // namespace
