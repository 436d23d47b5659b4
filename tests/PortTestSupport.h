// What the port tests share: a bounded wait, a consumer that records each
// delivery, and a raw pseudo-terminal whose master side plays the device.
#pragma once

#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <vector>

namespace porttest {

using ptytest::ClockT;
using ptytest::msSince;
constexpr long c_lBoundMs = 5000;

inline bool waitFor(const std::function<bool()>& fnDone, long lBoundMs = c_lBoundMs)
{
    const auto start = ClockT::now();
    while (!fnDone()) {
        if (msSince(start) > lBoundMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string pattern(size_t nCount, unsigned unSeed = 0)
{
    std::string str(nCount, '\0');
    for (size_t i = 0; i < nCount; ++i) {
        str[i] = static_cast<char>((i * 7 + i / 256 + unSeed) & 0xFF);
    }
    return str;
}

// Collects every delivery; signals once the expected number of bytes is in.
class RecordingConsumerC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    explicit RecordingConsumerC(size_t nExpected = 1) : m_nExpected(nExpected) {}

    void procReadData(const char* pData, uint16_t unCount) override
    {
        if (m_fnBefore) {
            m_fnBefore();
        }
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strData.append(pData, unCount);
        m_vecSizes.push_back(unCount);
        if (m_strData.size() >= m_nExpected) {
            signal();
        }
    }

    std::string data()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strData;
    }
    std::vector<uint16_t> sizes()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecSizes;
    }

    // Runs on the reader thread before each delivery is recorded.
    std::function<void()> m_fnBefore;

private:
    std::mutex m_mtx;
    size_t m_nExpected;
    std::string m_strData;
    std::vector<uint16_t> m_vecSizes;
};

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

    std::wstring name() const { return std::wstring(m_strPath.begin(), m_strPath.end()); }

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

    // The handle the port opened on this device: the descriptor other than
    // ours that names the device.
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

inline size_t countOf(const std::string& strText, const std::string& strPart)
{
    size_t nCount = 0;
    for (size_t nAt = strText.find(strPart); nAt != std::string::npos;
         nAt = strText.find(strPart, nAt + 1)) {
        ++nCount;
    }
    return nCount;
}

} // namespace porttest
