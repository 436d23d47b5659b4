// The device inquiry: one command whose answer holds a line per device found.
// The inquiry collects the whole answer and, once the final OK closes it,
// hands it to a chain of result requests that take one line each.
#pragma once

#include "TRC_CFG_ResponseParam.h"
#include "TRC_CFG_TaviRequest.h"

#include <cstdint>

namespace TRC {
namespace CFG {

constexpr uint8_t IT_INVALID = 0;

// One line of the inquiry answer. Never sent and never waited on.
class InquiryResultRequestC : public TaviDeviceRequestC
{
public:
    // unCount: how many further links may follow this one.
    InquiryResultRequestC(uint8_t unInquiryType, uint8_t unCount);
    ~InquiryResultRequestC() override;

    const char* getResponseTerminator() const override;
    // Creates the next link on first use while the count allows one.
    TaviDeviceRequestC* getSiblingRequest() override;
    bool isUnsolicited() const override;

    uint8_t getInquiryType() const { return m_unInquiryType; }
    uint8_t getCount() const { return m_unCount; }

private:
    TaviDeviceRequestC* m_pSibling;
    uint8_t m_unInquiryType;
    uint8_t m_unCount;

public:
    // The device's fields; types 1 and 2 fill the first two.
    BasicStringResponseParamC m_address;
    NumberResponseParamC m_deviceClass;
    BoolResponseParamC m_flag;
    BasicStringResponseParamC m_text;
    NumberResponseParamC m_number;
};

class DeviceInquiryRequestC : public TaviDeviceRequestC
{
public:
    DeviceInquiryRequestC(const char* szCommand, uint8_t unSecondArgument, uint8_t unInquiryType,
                          uint8_t unMaxDevices, uint32_t unTimeout);
    ~DeviceInquiryRequestC() override;

    void procReadData(const char* pData, uint16_t unCount) override;
    const char* getResponseTerminator() const override;
    // The first link of the chain, created on first use.
    TaviDeviceRequestC* getSiblingRequest() override;
    void setHandled(bool bHandled) override;

private:
    bool endsWithOk() const;
    bool containsFrom(const char* szNeedle, uint16_t unOldCount) const;
    void completeAnswer();

    TaviDeviceRequestC* m_pSibling;
    uint8_t m_unInquiryType;
    uint8_t m_unMaxDevices;
    bool m_bReleaseEnabled;
};

} // namespace CFG
} // namespace TRC
