// The serial port's open attempts, which wait on real time.
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
        long lMinMs;
        long lMaxMs;
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
        const long lElapsed = msSince(start);
        EXPECT_GE(lElapsed, c.lMinMs);
        EXPECT_LT(lElapsed, c.lMaxMs);
        EXPECT_EQ(c.unAttempts, countOf(capture.joined(), c.szTrace)) << capture.joined();
    }
}

} // namespace
