// Shared by the request engine's tests: deliveries in pieces, outcomes that
// can be compared, and a recorder of assertion records.
#pragma once

#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"
#include "TRC_CFG_TaviRequest.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quenta_test {

// Records the conditions of the assertions raised while it lives.
class AssertRecorderC : public NOX::ERR::SysPanicHandlerI
{
public:
    AssertRecorderC() { NOX::ERR::PanicHandlerRegistryC::getInstance().setHandler(this, true); }
    ~AssertRecorderC() override
    {
        NOX::ERR::PanicHandlerRegistryC::getInstance().removeHandler(this);
    }

    void panic(const char*, unsigned long, long, long, const char*, int) override {}
    void assertFailed(const char* szCondition, long, long, const char* szFile, int) override
    {
        m_vecConditions.emplace_back(szCondition);
        m_vecFiles.emplace_back(szFile);
    }

    std::vector<std::string> m_vecConditions;
    std::vector<std::string> m_vecFiles;
};

inline void deliver(NOX::BIO::ReadConsumerC& consumer, const std::string& strData)
{
    consumer.procReadData(strData.data(), static_cast<uint16_t>(strData.size()));
}

// Consecutive pieces of strData that end at the given cut positions.
inline void deliverCut(NOX::BIO::ReadConsumerC& consumer, const std::string& strData,
                       const std::vector<size_t>& vecCuts)
{
    size_t unStart = 0;
    for (size_t unCut : vecCuts) {
        deliver(consumer, strData.substr(unStart, unCut - unStart));
        unStart = unCut;
    }
    deliver(consumer, strData.substr(unStart));
}

inline void deliverBytes(NOX::BIO::ReadConsumerC& consumer, const std::string& strData)
{
    for (char c : strData) {
        consumer.procReadData(&c, 1);
    }
}

// Sorted random cut positions inside strData.
inline std::vector<size_t> randomCuts(std::mt19937& rng, size_t unLength)
{
    std::vector<size_t> vecCuts;
    if (unLength < 2) {
        return vecCuts;
    }
    std::uniform_int_distribution<size_t> count(1, std::min<size_t>(unLength - 1, 8));
    std::uniform_int_distribution<size_t> position(1, unLength - 1);
    size_t unCuts = count(rng);
    for (size_t i = 0; i < unCuts; ++i) {
        vecCuts.push_back(position(rng));
    }
    std::sort(vecCuts.begin(), vecCuts.end());
    vecCuts.erase(std::unique(vecCuts.begin(), vecCuts.end()), vecCuts.end());
    return vecCuts;
}

} // namespace quenta_test
