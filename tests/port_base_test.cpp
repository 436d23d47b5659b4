// The reader thread and the consumer registration of the port base, through a
// port whose reader body each test chooses.
#include "LogCapture.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "PortTestSupport.h"
#include "TRC_PRT_PortBase.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace porttest;
using std::chrono::milliseconds;

class TestPortC : public TRC::PRT::PortBaseC
{
public:
    using Body = std::function<void(TestPortC&, int nRun)>;

    explicit TestPortC(Body fnBody) : m_fnBody(std::move(fnBody)) {}
    // The body lives in this class: stop the reader before it goes.
    ~TestPortC() override { StopReading(); }

    bool Connect() override { return StartReading(); }
    bool Disconnect() override { return StopReading(); }
    bool IsConnected() override { return isReading(); }
    bool Write(const char*, uint32_t) override { return false; }
    void Read() override
    {
        m_fnBody(*this, m_nRuns++);
        ++m_nEnded;
    }

    // Keeps the reader alive, without spinning, until it is told to stop.
    void idle()
    {
        while (isReading()) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }

    using PortBaseC::deliver;
    using PortBaseC::isReading;

    std::atomic<int> m_nRuns{0};
    std::atomic<int> m_nEnded{0};

private:
    Body m_fnBody;
};

// One reader at a time: a second start is refused while one runs, and a stop
// waits for the reader to end, but no longer than 2 s; a reader that does not
// end in time is left behind, and the port can start again.
TEST(PortBaseTest, StartAndStopKeepOneReaderAtATime)
{
    std::atomic<bool> bRelease(false);
    TestPortC port([&](TestPortC& p, int nRun) {
        if (nRun == 0) {
            waitFor([&] { return bRelease.load(); }, 10000);
        } else {
            p.idle();
        }
    });
    LogCaptureC capture;
    capture.route("PortBaseC", 3);
    ASSERT_TRUE(port.StartReading());
    EXPECT_FALSE(port.StartReading());
    EXPECT_TRUE(port.IsConnected()) << "the running reader is left alone";
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 1; }));

    const auto start = ClockT::now();
    EXPECT_FALSE(port.StopReading());
    const long lElapsed = msSince(start);
    EXPECT_GE(lElapsed, 1990);
    EXPECT_LT(lElapsed, 3000);
    EXPECT_NE(std::string::npos, capture.joined().find("Error terminating read thread: "));
    EXPECT_EQ(0, port.m_nEnded.load());

    EXPECT_TRUE(port.StartReading()) << "the handle was forgotten";
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 2; }));
    bRelease = true;
    ASSERT_TRUE(waitFor([&] { return port.m_nEnded.load() == 1; }));
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(2, port.m_nEnded.load()) << "StopReading waited for the end";
}

// An unregistration waits for a delivery under way, so a consumer never sees
// itself gone inside one: the fifth delivery holds on (up to 20 ms) until the
// consumer is gone.
TEST(PortBaseTest, NothingReachesAConsumerAfterUnregistrationReturned)
{
    TestPortC port([](TestPortC& p, int) {
        const char szChunk[16] = "0123456789abcde";
        while (p.isReading()) {
            p.deliver(szChunk, sizeof(szChunk));
        }
    });
    ASSERT_TRUE(port.StartReading());
    for (int nRound = 0; nRound < 5; ++nRound) {
        std::atomic<bool> bHeld(false), bGone(false);
        std::atomic<int> nCalls(0), nLate(0);
        RecordingConsumerC oldConsumer(64);
        oldConsumer.m_fnBefore = [&] {
            if (++nCalls == 5) {
                bHeld = true;
                waitFor([&] { return bGone.load(); }, 20);
            }
            nLate += bGone ? 1 : 0;
        };
        port.ConnectReadConsumer(&oldConsumer);
        ASSERT_TRUE(waitFor([&] { return bHeld.load(); }));
        port.ConnectReadConsumer(nullptr);
        bGone = true;
        RecordingConsumerC newConsumer(64);
        port.ConnectReadConsumer(&newConsumer);
        ASSERT_EQ(NOX::RC_OK, newConsumer.wait(c_lBoundMs));
        port.ConnectReadConsumer(nullptr);
        ASSERT_EQ(0, nLate.load()) << "round " << nRound;
    }
    EXPECT_TRUE(port.StopReading());
}

// The consumer's count is 16 bits: larger chunks go out in pieces, all bytes
// in order, none lost.
TEST(PortBaseTest, LargeChunksAreDeliveredInPieces)
{
    const std::vector<std::pair<uint32_t, std::vector<uint16_t>>> vecRows = {
        {65535, {65535}}, {65536, {65535, 1}}, {200000, {65535, 65535, 65535, 3395}}};
    for (const auto& row : vecRows) {
        SCOPED_TRACE(row.first);
        const std::string strChunk = pattern(row.first);
        RecordingConsumerC consumer(row.first);
        TestPortC port([&](TestPortC& p, int) {
            p.deliver(strChunk.data(), row.first);
            p.idle();
        });
        port.ConnectReadConsumer(&consumer);
        ASSERT_TRUE(port.StartReading());
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        EXPECT_TRUE(port.StopReading());
        EXPECT_EQ(row.second, consumer.sizes());
        EXPECT_TRUE(strChunk == consumer.data());
    }
}

} // namespace
