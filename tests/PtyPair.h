// A serial handle opened on the slave side of a real pseudo-terminal, with the
// master side as the peer, and a way to tell when a thread blocks in poll.
#pragma once

#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <pty.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ptytest {

using ClockT = std::chrono::steady_clock;
constexpr auto c_bound = std::chrono::seconds(5);

inline long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(ClockT::now() - start).count());
}

inline HANDLE openPort(const std::string& strPath)
{
    const std::wstring strWide(strPath.begin(), strPath.end());
    return CreateFileW(strWide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// True once the thread sleeps in poll, where the waits under test happen.
inline bool waitUntilInPoll(const std::atomic<pid_t>& tid)
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
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Runs the call on a thread of its own and returns once that thread blocks.
template <class FunctionT> auto startBlocked(FunctionT fnCall)
{
    auto pTid = std::make_shared<std::atomic<pid_t>>(0);
    auto result = std::async(std::launch::async, [pTid, fnCall] {
        *pTid = static_cast<pid_t>(::syscall(SYS_gettid));
        return fnCall();
    });
    EXPECT_TRUE(waitUntilInPoll(*pTid)) << "the call never blocked";
    return result;
}

class PtyPairFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szName[128] = {};
        ASSERT_EQ(0, ::openpty(&m_nMaster, &m_nSlave, szName, nullptr, nullptr));
        m_strPath = szName;
        m_hPort = openPort(m_strPath);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_hPort) << GetLastError();
    }

    void TearDown() override
    {
        closePort();
        closeMaster();
        ::close(m_nSlave);
    }

    void closePort()
    {
        if (m_hPort != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(m_hPort));
        }
        m_hPort = INVALID_HANDLE_VALUE;
    }

    void closeMaster()
    {
        if (m_nMaster >= 0)
            ::close(m_nMaster);
        m_nMaster = -1;
    }

    void setTimeouts(COMMTIMEOUTS timeouts) { ASSERT_TRUE(SetCommTimeouts(m_hPort, &timeouts)); }

    void peerWrite(const std::string& strData)
    {
        ASSERT_EQ(static_cast<ssize_t>(strData.size()),
                  ::write(m_nMaster, strData.data(), strData.size()));
    }

    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strPath;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

} // namespace ptytest
