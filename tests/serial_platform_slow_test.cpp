// The serial time-outs of the platform on real pseudo-terminals, and the cost
// of an idle event wait: these cases wait on real time.
#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <pty.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

using ClockT = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD c_dwMaxDword = 0xFFFFFFFFu;
constexpr auto c_bound = std::chrono::seconds(5);

long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(ClockT::now() - start).count());
}

pid_t currentTid()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool waitUntilInPoll(const std::atomic<pid_t>& tid)
{
    const auto start = ClockT::now();
    while (tid == 0 && ClockT::now() - start < c_bound)
        std::this_thread::yield();
    const std::string strFile = "/proc/self/task/" + std::to_string(tid) + "/syscall";
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

class SerialPlatformSlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szName[128] = {};
        ASSERT_EQ(0, ::openpty(&m_nMaster, &m_nSlave, szName, nullptr, nullptr));
        const std::string strPath = szName;
        const std::wstring strWide(strPath.begin(), strPath.end());
        m_hPort = CreateFileW(strWide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
    }

    void TearDown() override
    {
        if (m_hPort != INVALID_HANDLE_VALUE)
            CloseHandle(m_hPort);
        ::close(m_nMaster);
        ::close(m_nSlave);
    }

    void setTimeouts(const COMMTIMEOUTS& timeouts)
    {
        COMMTIMEOUTS copy = timeouts;
        ASSERT_TRUE(SetCommTimeouts(m_hPort, &copy));
    }

    void peerWrite(const std::string& strData)
    {
        ASSERT_EQ(static_cast<ssize_t>(strData.size()),
                  ::write(m_nMaster, strData.data(), strData.size()));
    }

    // Reads 100 bytes at most; returns what came and how long it took.
    std::pair<std::string, long> timedRead()
    {
        char szBuffer[100];
        DWORD dwRead = 0;
        const auto start = ClockT::now();
        EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
        return {std::string(szBuffer, dwRead), msSince(start)};
    }

    int m_nMaster = -1;
    int m_nSlave = -1;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

TEST_F(SerialPlatformSlowTest, TotalTimeOutEndsAReadWithWhatHasArrived)
{
    setTimeouts({0, 0, 200, 0, 0});
    const auto nothing = timedRead();
    EXPECT_EQ("", nothing.first);
    EXPECT_GE(nothing.second, 195);
    EXPECT_LT(nothing.second, 600);

    peerWrite("12345");
    const auto some = timedRead();
    EXPECT_EQ("12345", some.first);
    EXPECT_GE(some.second, 195);
    EXPECT_LT(some.second, 600);
}

TEST_F(SerialPlatformSlowTest, IntervalTimeOutEndsAReadAfterAPauseBetweenBytes)
{
    setTimeouts({50, 0, 3000, 0, 0});
    peerWrite("abc");
    const auto result = timedRead();
    EXPECT_EQ("abc", result.first);
    EXPECT_GE(result.second, 45);
    EXPECT_LT(result.second, 1000);
}

TEST_F(SerialPlatformSlowTest, ReadReturnsOnTheFirstBytesWhenAskedTo)
{
    setTimeouts({c_dwMaxDword, c_dwMaxDword, 3000, 0, 0});
    std::atomic<pid_t> tid{0};
    auto reader = std::async(std::launch::async, [&] {
        tid = currentTid();
        return timedRead();
    });
    ASSERT_TRUE(waitUntilInPoll(tid));
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
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        tid = currentTid();
        timespec before = {}, after = {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
        DWORD dwEvents = 0;
        WaitCommEvent(m_hPort, &dwEvents, nullptr);
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
        return (after.tv_sec - before.tv_sec) * 1000000L + (after.tv_nsec - before.tv_nsec) / 1000;
    });
    ASSERT_TRUE(waitUntilInPoll(tid));
    // The idle period being measured.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(c_bound));
    EXPECT_LT(waiter.get(), 20000) << "microseconds of processor time while idle";
}

} // namespace
