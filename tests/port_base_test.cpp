// The reader thread and the consumer registration of the port base, through a
// port whose reader body each test chooses (the stop time-out is in the slow
// tests).
#include "Nox_Err/NOX_ERR_Codes.h"
#include "PortTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace porttest;

// An unregistration waits for a delivery under way, so a consumer never sees
// itself gone inside one: the fifth delivery holds on (up to 20 ms) until the
// consumer is gone.
TEST(PortBaseTest, NothingReachesAConsumerAfterUnregistrationReturned)
{
    TestPortC port([](TestPortC& p, int) {
        const char szChunk[16] = "0123456789abcde";
        while (p.isReading())
            p.deliver(szChunk, sizeof(szChunk));
    });
    ASSERT_TRUE(port.StartReading());
    EXPECT_FALSE(port.StartReading()) << "one reader at a time";
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
