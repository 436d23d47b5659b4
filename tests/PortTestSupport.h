// What the port tests share: a raw pseudo-terminal whose master side plays
// the far end of the line, a bounded wait, a way to tell that a thread sleeps
// in poll, test data, a consumer that records each delivery of a port, and a
// port base whose reader body each test chooses.
#pragma once

#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Platform.h"
#include "TRC_PRT_PortBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace porttest {

using ClockT = std::chrono::steady_clock;
constexpr long c_lBoundMs = 5000;
constexpr std::chrono::milliseconds c_tick(1);

inline long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(ClockT::now() - start).count());
}

inline bool waitFor(const std::function<bool()>& fnDone, long lBoundMs = c_lBoundMs)
{
    for (const auto start = ClockT::now(); !fnDone(); std::this_thread::sleep_for(c_tick)) {
        if (msSince(start) > lBoundMs)
            return false;
    }
    return true;
}

inline HANDLE openPort(const std::string& strPath)
{
    return CreateFileW(std::wstring(strPath.begin(), strPath.end()).c_str(),
                       GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// True once the thread sleeps in poll without a time-out: only an event wakes
// it then, never a period.
inline bool waitUntilInPoll(pid_t tid)
{
    return waitFor([&] {
        std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long nSyscall = -1;
        std::string strFds, strCount, strTimeout = "0x1";
        file >> nSyscall >> strFds >> strCount >> strTimeout;
        // poll takes milliseconds, -1 for none; ppoll a pointer, null for none.
        const auto ullTimeout = std::stoull(strTimeout, nullptr, 16);
#ifdef SYS_poll
        if (nSyscall == SYS_poll && static_cast<uint32_t>(ullTimeout) == UINT32_MAX)
            return true;
#endif
        return nSyscall == SYS_ppoll && ullTimeout == 0;
    });
}

// Descriptors of this process open on the device.
inline std::vector<int> descriptorsOn(const std::string& strPath)
{
    std::vector<int> vecFds;
    std::error_code error; // the listing's own descriptor is gone when read
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        if (std::filesystem::read_symlink(entry.path(), error) == strPath)
            vecFds.push_back(std::stoi(entry.path().filename().string()));
    }
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
        if (::openpty(&m_nMaster, &m_nSlave, szName, &tio, nullptr) == 0)
            m_strPath = szName;
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
        if (m_nMaster >= 0)
            ::close(m_nMaster);
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

    // The handle a port opened on this device: the descriptor other than ours
    // that names the device.
    HANDLE portHandle() const
    {
        for (int nFd : descriptorsOn(m_strPath)) {
            if (nFd != m_nSlave)
                return reinterpret_cast<HANDLE>(static_cast<intptr_t>(nFd));
        }
        return INVALID_HANDLE_VALUE;
    }

    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strPath;
};

inline std::string pattern(size_t nCount, unsigned unSeed = 0)
{
    std::string str(nCount, '\0');
    for (size_t i = 0; i < nCount; ++i)
        str[i] = static_cast<char>((i * 7 + i / 256 + unSeed) & 0xFF);
    return str;
}

inline size_t countOf(const std::string& strText, const std::string& strPart)
{
    size_t nCount = 0;
    for (size_t nAt = strText.find(strPart); nAt != std::string::npos;
         nAt = strText.find(strPart, nAt + 1))
        ++nCount;
    return nCount;
}

// Collects every delivery; signals once the expected number of bytes is in.
class RecordingConsumerC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    explicit RecordingConsumerC(size_t nExpected = 1) : m_nExpected(nExpected) {}

    void procReadData(const char* pData, uint16_t unCount) override
    {
        if (m_fnBefore)
            m_fnBefore();
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strData.append(pData, unCount);
        m_vecSizes.push_back(unCount);
        if (m_strData.size() >= m_nExpected)
            signal();
    }

    std::string data() { return copy(m_strData); }
    std::vector<uint16_t> sizes() { return copy(m_vecSizes); }

    // Runs on the reader thread before each delivery is recorded.
    std::function<void()> m_fnBefore;

private:
    template <class T> T copy(const T& rRecorded)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return rRecorded;
    }

    std::mutex m_mtx;
    size_t m_nExpected;
    std::string m_strData;
    std::vector<uint16_t> m_vecSizes;
};

class TestPortC : public TRC::PRT::PortBaseC
{
public:
    explicit TestPortC(std::function<void(TestPortC&, int nRun)> fnBody)
        : m_fnBody(std::move(fnBody))
    {}
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
        while (isReading())
            std::this_thread::sleep_for(c_tick);
    }

    using PortBaseC::deliver;
    using PortBaseC::isReading;

    std::atomic<int> m_nRuns{0}, m_nEnded{0};

private:
    std::function<void(TestPortC&, int nRun)> m_fnBody;
};

} // namespace porttest
