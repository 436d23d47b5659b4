// The device inquiry and its chain of result requests.
#include "request_test_support.h"

#include "TRC_CFG_InquiryRequest.h"

#include <sstream>

using namespace TRC::CFG;
using namespace quenta_test;

namespace {

const std::string c_echo = "AT*AGI=2,10,15\r";

std::string deviceLine(int nIndex)
{
    return "*AGI:02A0C70000" + std::to_string(10 + nIndex) + "," + std::to_string(7978 + nIndex) +
           "\r\n";
}

std::string answerWith(int nDevices, bool bEcho)
{
    std::string strAnswer = (bEcho ? c_echo : "") + "\r\n";
    for (int i = 0; i < nDevices; ++i) {
        strAnswer += deviceLine(i);
    }
    return strAnswer + "\r\nOK\r\n";
}

// " | 2000006" nCount times: links no line reached.
std::string untouched(int nCount)
{
    return nCount == 0 ? "" : " | 2000006" + untouched(nCount - 1);
}

// The inquiry's code, then each link as the device search walks it.
std::string walk(DeviceInquiryRequestC& inquiry)
{
    std::ostringstream out;
    out << std::hex << inquiry.getReturnCode();
    int nLinks = 0;
    for (TaviDeviceRequestC* p = inquiry.getSiblingRequest(); p != nullptr;
         p = p->getSiblingRequest()) {
        auto pLink = dynamic_cast<InquiryResultRequestC*>(p);
        if (pLink == nullptr) {
            return "not a result link";
        }
        ++nLinks;
        out << " | " << pLink->getReturnCode();
        if (pLink->getReturnCode() == RC_OK) {
            out << ":" << pLink->m_address.getValue() << "," << std::dec
                << pLink->m_deviceClass.getValue() << std::hex;
        }
    }
    out << " | links " << std::dec << nLinks;
    return out.str();
}

} // namespace

TEST(DeviceInquiry, ChainOutcomeIsTheSameHoweverFragmented)
{
    const std::string strThree =
        "0 | 0:02A0C7000010,7978 | 0:02A0C7000011,7979 | 0:02A0C7000012,7980 | 2000003 | 2000003" +
        untouched(10) + " | links 15";
    // An empty walk is only compared across deliveries.
    const std::pair<std::string, std::string> cases[] = {
        {answerWith(0, true), ""},
        {answerWith(3, true), strThree},
        {answerWith(3, false), strThree},
        {answerWith(15, true), ""},
        {c_echo + "\r\n*AGI:\"00:12,F3\",7978\r\n\r\nOK\r\n",
         "0 | 0:00:12,F3,7978 | 2000003 | 2000003" + untouched(12) + " | links 15"},
        {c_echo + "\r\n" + deviceLine(0) + "*AGI:02A0C7000099\r\n" + deviceLine(1) + "\r\nOK\r\n",
         "0 | 0:02A0C7000010,7978 | 2000003 | 0:02A0C7000011,7979 | 2000003 | 2000003" +
             untouched(10) + " | links 15"},
        {c_echo + "\r\nERROR\r\n", ""},
    };
    for (const auto& [strAnswer, strWalk] : cases) {
        SCOPED_TRACE(strAnswer);
        const std::string strWhole = expectSameOutcomeInPieces(strAnswer, [](const DeliveryF& f) {
            DeviceInquiryRequestC inquiry("AGI", 10, 2, 15, 15000);
            f(inquiry);
            const bool bOnce = inquiry.wait(0) == RC_OK && inquiry.wait(0) == RC_TIMEOUT;
            return walk(inquiry) + (bOnce ? "" : " (not released exactly once)");
        });
        EXPECT_EQ(strWalk.empty() ? strWhole : strWalk, strWhole);
    }
}

TEST(DeviceInquiry, MoreLinesThanLinksStayWithTheLast)
{
    DeviceInquiryRequestC inquiry("AGI", 10, 2, 2, 15000);
    deliver(inquiry, "\r\n" + deviceLine(0) + deviceLine(1) + deviceLine(2) + "\r\nOK\r\n");
    EXPECT_EQ(RC_OK, inquiry.wait(0));
    EXPECT_EQ("0 | 0:02A0C7000010,7978 | 0:02A0C7000011,7979 | links 2", walk(inquiry));
    TaviDeviceProcC* pLast = inquiry.getSiblingRequest()->getSiblingRequest();
    EXPECT_EQ(deviceLine(2) + "\r\nOK\r\n", std::string(pLast->getUnconsumed()));
}
