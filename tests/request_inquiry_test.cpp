// The device inquiry and its chain of result requests.
#include "request_test_support.h"

#include "TRC_CFG_InquiryRequest.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using namespace TRC::CFG;
using namespace quenta_test;

namespace {

const std::string c_echo = "AT*AGI=2,10,15\r";

std::string deviceLine(int nIndex)
{
    return "*AGI:0012F30000" + std::to_string(10 + nIndex) + "," + std::to_string(7978 + nIndex) +
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
    std::string strText;
    for (int i = 0; i < nCount; ++i) {
        strText += " | 2000006";
    }
    return strText;
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

TEST(DeviceInquiry, LineOfTheSearchAndShapeOfItsLinks)
{
    DeviceInquiryRequestC inquiry("AGI", 10, 2, 15, 15000);
    EXPECT_STREQ("AT*AGI=2,10,15\r", inquiry.getRequest());
    EXPECT_TRUE(inquiry.isComplete());

    InquiryResultRequestC link(2, 0);
    EXPECT_STREQ("", link.getRequest());
    EXPECT_STREQ("*AGI:", link.getResponsePrefix());
    EXPECT_STREQ("\r\n", link.getResponseTerminator());
    EXPECT_TRUE(link.isUnsolicited());
    EXPECT_EQ(2u, link.getResponseParams().size());
    EXPECT_EQ(5u, InquiryResultRequestC(3, 0).getResponseParams().size());
}

TEST(DeviceInquiry, ChainOutcomeIsTheSameHoweverFragmented)
{
    const std::string strThree =
        "0 | 0:0012F3000010,7978 | 0:0012F3000011,7979 | 0:0012F3000012,7980 | 2000003 | 2000003" +
        untouched(10) + " | links 15";
    const struct
    {
        const char* szName;
        std::string strAnswer;
        std::string strWalk; // empty: only compared across deliveries
    } cases[] = {
        {"no device", answerWith(0, true), ""},
        {"three devices with echo", answerWith(3, true), strThree},
        {"three devices without echo", answerWith(3, false), strThree},
        {"fifteen devices", answerWith(15, true), ""},
        {"quoted address with comma", c_echo + "\r\n*AGI:\"00:12,F3\",7978\r\n\r\nOK\r\n",
         "0 | 0:00:12,F3,7978 | 2000003 | 2000003" + untouched(12) + " | links 15"},
        {"malformed line in the middle",
         c_echo + "\r\n" + deviceLine(0) + "*AGI:0012F3000099\r\n" + deviceLine(1) + "\r\nOK\r\n",
         "0 | 0:0012F3000010,7978 | 2000003 | 0:0012F3000011,7979 | 2000003 | 2000003" +
             untouched(10) + " | links 15"},
        {"line of another command", "\r\n*AGND:\"x\"\r\n" + deviceLine(4) + "\r\nOK\r\n", ""},
        {"ERROR", c_echo + "\r\nERROR\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const std::string strWhole = expectSameOutcomeInPieces(c.strAnswer, [](const DeliveryF& f) {
            DeviceInquiryRequestC inquiry("AGI", 10, 2, 15, 15000);
            f(inquiry);
            const bool bOnce = inquiry.wait(0) == RC_OK && inquiry.wait(0) == RC_TIMEOUT;
            return walk(inquiry) + (bOnce ? "" : " (not released exactly once)");
        });
        if (!c.strWalk.empty()) {
            EXPECT_EQ(c.strWalk, strWhole);
        }
    }
}

TEST(DeviceInquiry, ErrorReleasesAtOnceWithoutFeedingTheChain)
{
    DeviceInquiryRequestC inquiry("AGI", 10, 2, 15, 15000);
    deliver(inquiry, "\r\nERROR\r\n");
    EXPECT_EQ(RC_FAILED, inquiry.getReturnCode());
    EXPECT_EQ(RC_OK, inquiry.wait(0));
    // A late OK neither changes the verdict nor releases again.
    deliver(inquiry, "\r\nOK\r\n");
    EXPECT_EQ(RC_FAILED, inquiry.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, inquiry.wait(0));
    EXPECT_EQ(RC_TIMEOUT, inquiry.getSiblingRequest()->getReturnCode());
}

TEST(DeviceInquiry, TextAfterTheFinalOk)
{
    const std::string strAnswer = answerWith(1, true) + "X";
    // In one delivery the OK is not the last thing: not recognised.
    DeviceInquiryRequestC whole("AGI", 10, 2, 15, 15000);
    deliver(whole, strAnswer);
    EXPECT_EQ(RC_TIMEOUT, whole.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, whole.wait(0));

    DeviceInquiryRequestC split("AGI", 10, 2, 15, 15000);
    deliverSplit(split, strAnswer, strAnswer.size() - 1);
    EXPECT_EQ(RC_OK, split.getReturnCode());
    EXPECT_EQ(RC_OK, split.wait(0));
    EXPECT_EQ(RC_TIMEOUT, split.wait(0));
    EXPECT_EQ("0 | 0:0012F3000010,7978 | 2000003 | 2000003" + untouched(12) + " | links 15",
              walk(split));
}

TEST(DeviceInquiry, MoreLinesThanLinksStayWithTheLast)
{
    DeviceInquiryRequestC inquiry("AGI", 10, 2, 2, 15000);
    deliver(inquiry, "\r\n" + deviceLine(0) + deviceLine(1) + deviceLine(2) + "\r\nOK\r\n");
    EXPECT_EQ(RC_OK, inquiry.wait(0));
    EXPECT_EQ("0 | 0:0012F3000010,7978 | 0:0012F3000011,7979 | links 2", walk(inquiry));
    TaviDeviceProcC* pLast = inquiry.getSiblingRequest()->getSiblingRequest();
    EXPECT_EQ(deviceLine(2) + "\r\nOK\r\n", std::string(pLast->getUnconsumed()));
}

TEST(DeviceInquiry, AnswerBeyondTheBufferNeverCompletes)
{
    DeviceInquiryRequestC inquiry("AGI", 10, 2, 15, 15000);
    std::string strAnswer = "\r\n";
    while (strAnswer.size() < 2100) {
        strAnswer += deviceLine(1);
    }
    deliver(inquiry, strAnswer + "\r\nOK\r\n");
    EXPECT_EQ(RC_TIMEOUT, inquiry.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, inquiry.wait(0));
}

TEST(DeviceInquiry, TypeThreeFillsFiveSlots)
{
    DeviceInquiryRequestC inquiry("AGI", 10, 3, 1, 15000);
    deliver(inquiry, "\r\n*AGI:0012F3000001,7978,1,\"Name, long\",-60\r\n\r\nOK\r\n");
    auto pLink = dynamic_cast<InquiryResultRequestC*>(inquiry.getSiblingRequest());
    ASSERT_NE(nullptr, pLink);
    EXPECT_EQ(nullptr, pLink->getSiblingRequest());
    EXPECT_EQ(RC_OK, pLink->getReturnCode());
    EXPECT_EQ("0012F3000001", pLink->m_address.getValue());
    EXPECT_EQ(7978, pLink->m_deviceClass.getValue());
    EXPECT_TRUE(pLink->m_flag.getValue());
    EXPECT_EQ("Name, long", pLink->m_text.getValue());
    EXPECT_EQ(-60, pLink->m_number.getValue());
}

TEST(DeviceInquiry, InvalidArgumentsAreReported)
{
    AssertRecorderC recorder;
    DeviceInquiryRequestC noDevices("AGI", 10, 2, 0, 15000);
    EXPECT_EQ(nullptr, noDevices.getSiblingRequest());
    DeviceInquiryRequestC noType("AGI", 10, 0, 1, 15000);
    EXPECT_NE(nullptr, noType.getSiblingRequest());
    EXPECT_EQ(nullptr, noType.getSiblingRequest()->getSiblingRequest());
    EXPECT_EQ((std::vector<std::string>{"m_unMaxDevices > 0", "m_unInquiryType > IT_INVALID",
                                        "unInquiryType > IT_INVALID"}),
              recorder.m_vecConditions);
}
