// The port's open attempts and its stop time-out, which wait on real time.
#include "LogCapture.h"
#include "PortTestSupport.h"
#include "TRC_PRT_SerialPort.h"

#include <gtest/gtest.h>

namespace {

using namespace porttest;
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
        long lMinMs, lMaxMs;
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
        EXPECT_GE(msSince(start), c.lMinMs);
        EXPECT_LT(msSince(start), c.lMaxMs);
        EXPECT_EQ(c.unAttempts, countOf(capture.joined(), c.szTrace)) << capture.joined();
    }
}

// A stop waits for the reader to end, but no longer than 2 s; a reader that
// does not end in time is left behind, and the port can start again.
TEST(PortBaseSlowTest, AStopGivesUpOnAReaderAfterTwoSeconds)
{
    std::atomic<bool> bRelease(false);
    TestPortC port([&](TestPortC& p, int nRun) {
        nRun == 0 ? void(waitFor([&] { return bRelease.load(); }, 10000)) : p.idle();
    });
    LogCaptureC capture;
    capture.route("PortBaseC", 3);
    ASSERT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 1; }));
    const auto start = ClockT::now();
    EXPECT_FALSE(port.StopReading());
    EXPECT_GE(msSince(start), 1990);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_NE(std::string::npos, capture.joined().find("Error terminating read thread: "));
    EXPECT_EQ(0, port.m_nEnded.load());

    EXPECT_TRUE(port.StartReading()) << "the handle was forgotten";
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 2; }));
    bRelease = true;
    ASSERT_TRUE(waitFor([&] { return port.m_nEnded.load() == 1; }));
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(2, port.m_nEnded.load()) << "StopReading waited for the end";
}

} // namespace
