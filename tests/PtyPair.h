// A raw pseudo-terminal whose master side plays the far end of a serial line,
// and a way to tell when a thread sleeps in poll.
#pragma once

#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
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

// True once the thread sleeps in poll without a time-out, where the waits
// under test happen: only an event wakes it then, never a period.
inline bool waitUntilInPoll(const std::atomic<pid_t>& tid)
{
    const auto start = ClockT::now();
    while (tid == 0 && ClockT::now() - start < c_bound)
        std::this_thread::yield();
    const std::string strFile = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    while (ClockT::now() - start < c_bound) {
        std::ifstream file(strFile);
        long nSyscall = -1;
        std::string strFds, strCount, strTimeout = "0x1";
        file >> nSyscall >> strFds >> strCount >> strTimeout;
        // poll takes milliseconds, -1 for none; ppoll a pointer, null for none.
        const auto ullTimeout = std::stoull(strTimeout, nullptr, 16);
#ifdef SYS_poll
        if (nSyscall == SYS_poll && static_cast<uint32_t>(ullTimeout) == UINT32_MAX)
            return true;
#endif
        if (nSyscall == SYS_ppoll && ullTimeout == 0)
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

// Descriptors of this process open on the device.
inline std::vector<int> descriptorsOn(const std::string& strPath)
{
    std::vector<int> vecFds;
    DIR* pDir = ::opendir("/proc/self/fd");
    for (dirent* pEntry = ::readdir(pDir); pEntry != nullptr; pEntry = ::readdir(pDir)) {
        char szTarget[256] = {};
        const std::string strLink = std::string("/proc/self/fd/") + pEntry->d_name;
        if (pEntry->d_name[0] != '.' &&
            ::readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1) > 0 &&
            strPath == szTarget) {
            vecFds.push_back(std::atoi(pEntry->d_name));
        }
    }
    ::closedir(pDir);
    return vecFds;
}

// Raw from the start, as a serial line is: nothing waits for a line end.
class PseudoTerminalC
{
public:
    PseudoTerminalC()
    {
        char szName[128] = {};
        termios tio = {};
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        if (::openpty(&m_nMaster, &m_nSlave, szName, &tio, nullptr) == 0) {
            m_strPath = szName;
        }
    }
    ~PseudoTerminalC()
    {
        closeMaster();
        ::close(m_nSlave);
    }
    PseudoTerminalC(const PseudoTerminalC&) = delete;
    PseudoTerminalC& operator=(const PseudoTerminalC&) = delete;

    std::wstring name() const { return std::wstring(m_strPath.begin(), m_strPath.end()); }

    // The device goes away, as a pulled adapter does.
    void closeMaster()
    {
        if (m_nMaster >= 0) {
            ::close(m_nMaster);
        }
        m_nMaster = -1;
    }

    termios line() const
    {
        termios tio = {};
        EXPECT_EQ(0, ::tcgetattr(m_nMaster, &tio));
        return tio;
    }

    void write(const std::string& str) const
    {
        ASSERT_EQ(static_cast<ssize_t>(str.size()), ::write(m_nMaster, str.data(), str.size()));
    }

    // Bytes waiting on the device side, not yet taken by the port.
    int queuedForDevice() const
    {
        int nQueued = -1;
        ::ioctl(m_nSlave, FIONREAD, &nQueued);
        return nQueued;
    }

    // The handle a port opened on this device: the descriptor other than ours
    // that names the device.
    HANDLE portHandle() const
    {
        for (int nFd : descriptorsOn(m_strPath)) {
            if (nFd != m_nSlave) {
                return reinterpret_cast<HANDLE>(static_cast<intptr_t>(nFd));
            }
        }
        return INVALID_HANDLE_VALUE;
    }

    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strPath;
};

} // namespace ptytest
