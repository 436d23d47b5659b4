// Shared by the request engine's tests: deliveries in pieces.
#pragma once

#include "TRC_CFG_TaviRequest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace quenta_test {

inline void deliver(NOX::BIO::ReadConsumerC& consumer, const std::string& strData)
{
    consumer.procReadData(strData.data(), static_cast<uint16_t>(strData.size()));
}

inline void deliverSplit(NOX::BIO::ReadConsumerC& consumer, const std::string& strData,
                         size_t unSplit)
{
    deliver(consumer, strData.substr(0, unSplit));
    deliver(consumer, strData.substr(unSplit));
}

inline void deliverBytes(NOX::BIO::ReadConsumerC& consumer, const std::string& strData)
{
    for (char c : strData) {
        consumer.procReadData(&c, 1);
    }
}

using DeliveryF = std::function<void(NOX::BIO::ReadConsumerC&)>;

// run builds a fresh receiver, feeds it through the delivery it is given and
// describes the outcome. The answer whole, byte by byte and split at every
// point must give the same description, which is returned.
inline std::string
expectSameOutcomeInPieces(const std::string& strAnswer,
                          const std::function<std::string(const DeliveryF&)>& run)
{
    const std::string strWhole =
        run([&](NOX::BIO::ReadConsumerC& consumer) { deliver(consumer, strAnswer); });
    EXPECT_EQ(strWhole,
              run([&](NOX::BIO::ReadConsumerC& consumer) { deliverBytes(consumer, strAnswer); }))
        << "byte by byte";
    for (size_t unSplit = 0; unSplit <= strAnswer.size(); ++unSplit) {
        EXPECT_EQ(strWhole, run([&](NOX::BIO::ReadConsumerC& consumer) {
                      deliverSplit(consumer, strAnswer, unSplit);
                  }))
            << "split at " << unSplit;
    }
    return strWhole;
}

} // namespace quenta_test
