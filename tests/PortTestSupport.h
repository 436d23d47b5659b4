// What the port tests share: a bounded wait, test data, and a consumer that
// records each delivery.
#pragma once

#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace porttest {

using ptytest::ClockT;
using ptytest::descriptorsOn;
using ptytest::msSince;
using ptytest::PseudoTerminalC;
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

inline size_t countOf(const std::string& strText, const std::string& strPart)
{
    size_t nCount = 0;
    for (size_t nAt = strText.find(strPart); nAt != std::string::npos;
         nAt = strText.find(strPart, nAt + 1)) {
        ++nCount;
    }
    return nCount;
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

} // namespace porttest
