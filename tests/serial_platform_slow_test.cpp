// The serial time-outs of the platform on real pseudo-terminals, and the cost
// of an idle event wait: these cases wait on real time.
#include "PtyPair.h"

#include <vector>

#include <time.h>

namespace {

using namespace ptytest;

constexpr DWORD c_dwMaxDword = 0xFFFFFFFFu;

class SerialPlatformSlowTest : public PtyPairFixture
{
protected:
    // Reads 100 bytes at most; returns what came and how long it took.
    std::pair<std::string, long> timedRead()
    {
        char szBuffer[100];
        DWORD dwRead = 0;
        const auto start = ClockT::now();
        EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
        return {std::string(szBuffer, dwRead), msSince(start)};
    }
};

TEST_F(SerialPlatformSlowTest, ReadTimeOutsEndAReadWithWhatHasArrived)
{
    struct CaseS
    {
        const char* pszWhat;
        COMMTIMEOUTS timeouts;
        const char* pszQueued;
        long nMinMs;
        long nMaxMs;
    };
    const CaseS aCases[] = {
        {"total, nothing arrives", {0, 0, 200, 0, 0}, "", 195, 600},
        {"total, some arrives", {0, 0, 200, 0, 0}, "12345", 195, 600},
        {"interval after the last byte", {50, 0, 3000, 0, 0}, "abc", 45, 1000},
    };
    for (const CaseS& rCase : aCases) {
        SCOPED_TRACE(rCase.pszWhat);
        setTimeouts(rCase.timeouts);
        peerWrite(rCase.pszQueued);
        const auto result = timedRead();
        EXPECT_EQ(rCase.pszQueued, result.first);
        EXPECT_GE(result.second, rCase.nMinMs);
        EXPECT_LT(result.second, rCase.nMaxMs);
    }
}

TEST_F(SerialPlatformSlowTest, ReadReturnsOnTheFirstBytesWhenAskedTo)
{
    setTimeouts({c_dwMaxDword, c_dwMaxDword, 3000, 0, 0});
    auto reader = startBlocked([&] { return timedRead(); });
    peerWrite("xy");
    ASSERT_EQ(std::future_status::ready, reader.wait_for(c_bound));
    const auto result = reader.get();
    EXPECT_EQ("xy", result.first);
    EXPECT_LT(result.second, 1000);
}

TEST_F(SerialPlatformSlowTest, WriteTimeOutReportsThePartWritten)
{
    // The peer never reads, so the pseudo-terminal's queue fills up.
    setTimeouts({0, 0, 0, 0, 200});
    const std::vector<char> vecData(4 << 20, 'w');
    DWORD dwWritten = 0;
    const auto start = ClockT::now();
    ASSERT_TRUE(WriteFile(m_hPort, vecData.data(), static_cast<DWORD>(vecData.size()), &dwWritten,
                          nullptr));
    const long nMs = msSince(start);
    EXPECT_GT(dwWritten, 0u);
    EXPECT_LT(dwWritten, vecData.size());
    EXPECT_GE(nMs, 195);
    EXPECT_LT(nMs, 1000);
}

TEST_F(SerialPlatformSlowTest, AnIdleEventWaitCostsNoProcessorTime)
{
    ASSERT_TRUE(SetCommMask(m_hPort, 0x08A1));
    auto waiter = startBlocked([&] {
        timespec before = {}, after = {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
        DWORD dwEvents = 0;
        WaitCommEvent(m_hPort, &dwEvents, nullptr);
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
