// The serial read time-out of the platform on real pseudo-terminals, and the
// cost of an idle event wait: these cases wait on real time.
#include "PtyPair.h"

#include <time.h>

namespace {

using namespace ptytest;

using SerialPlatformSlowTest = PtyPairFixture;

TEST_F(SerialPlatformSlowTest, ReadTimeOutEndsAReadWithWhatHasArrived)
{
    setTimeouts({0, 0, 200, 0, 0});
    for (const char* pszQueued : {"", "12345"}) {
        SCOPED_TRACE(pszQueued);
        peerWrite(pszQueued);
        char szBuffer[100];
        DWORD dwRead = 0;
        const auto start = ClockT::now();
        EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
        const long nMs = msSince(start);
        EXPECT_EQ(pszQueued, std::string(szBuffer, dwRead));
        EXPECT_GE(nMs, 195);
        EXPECT_LT(nMs, 600);
    }
}

TEST_F(SerialPlatformSlowTest, AnIdleEventWaitCostsNoProcessorTime)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    auto waiter = startBlocked([hPort = m_hPort] {
        timespec before = {}, after = {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
        DWORD dwEvents = 0;
        WaitCommEvent(hPort, &dwEvents, nullptr);
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
        return (after.tv_sec - before.tv_sec) * 1000000L + (after.tv_nsec - before.tv_nsec) / 1000;
    });
    // The idle period being measured.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    closePort();
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(c_bound));
    EXPECT_LT(waiter.get(), 20000) << "microseconds of processor time while idle";
}

} // namespace
