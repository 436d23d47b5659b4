// Command lines: formats by request type, parameters, the 64-character limit.
#include "request_test_support.h"

#include "TRC_CFG_SpecialRequests.h"
#include "TRC_CFG_TaviRequest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace TRC::CFG;
using quenta_test::AssertRecorderC;

namespace {

struct FormatCaseS
{
    const char* szCommand;
    uint32_t unType;
    const char* szLine;
    bool bComplete;
    const char* szPrefix; // null: none
    const char* szCommandWord;
};

std::string repeat(char c, size_t unCount)
{
    return std::string(unCount, c);
}

const std::string c_str63 = repeat('x', 63);
const std::string c_str64 = repeat('y', 64);

const FormatCaseS c_formatCases[] = {
    {"ADDM", RT_EXECUTE, "AT*ADDM\r", true, "*ADDM:", "ADDM"},
    {"AGLN", RT_READ, "AT*AGLN?\r", true, "*AGLN:", "AGLN"},
    {"AT", RT_PLAIN, "AT\r", true, "*AT:", "AT"},
    {"AGI", RT_LISTEN, "", false, "*AGI:", "AGI"},
    {"AGSSID", RT_WRITE, "AT*AGSSID=", false, "*AGSSID:", "AGSSID"},
    {"AT&F", RT_PLAIN_PREFIXED, "AT&F\r", true, "AT&F:", "AT&F"},
    {"ATSWFR=1", RT_PLAIN_PREFIXED, "ATSWFR=1\r", true, "ATSWFR=1:", "ATSWF"},
    {"AGSSIDX", RT_WRITE, "", false, nullptr, ""},
    {"ABCDEFG", RT_READ, "", false, nullptr, ""},
    {nullptr, RT_EXECUTE, "", false, nullptr, ""},
    {nullptr, RT_PLAIN_PREFIXED, "", false, nullptr, ""},
};

} // namespace

TEST(RequestFormat, LineCompletionAndPrefixFollowTheType)
{
    for (const FormatCaseS& c : c_formatCases) {
        SCOPED_TRACE(c.szCommand != nullptr ? c.szCommand : "(null)");
        TaviDeviceRequestC req(c.szCommand, c.unType, 1000);
        EXPECT_STREQ(c.szLine, req.getRequest());
        EXPECT_EQ(c.bComplete, req.isComplete());
        if (c.szPrefix == nullptr) {
            EXPECT_EQ(nullptr, req.getResponsePrefix());
        } else {
            EXPECT_STREQ(c.szPrefix, req.getResponsePrefix());
        }
        EXPECT_STREQ(c.szCommandWord, req.getCommand());
        EXPECT_EQ(RC_TIMEOUT, req.getReturnCode());
        EXPECT_EQ(c.unType == RT_PLAIN, req.isPing());
        EXPECT_EQ(nullptr, req.getSiblingRequest());
        EXPECT_STREQ("\r\nOK\r\n", req.getResponseTerminator());
    }
}

TEST(RequestFormat, PrefixedTextFitsTheLineUpTo63Characters)
{
    TaviDeviceRequestC accepted(c_str63.c_str(), RT_PLAIN_PREFIXED, 1000);
    EXPECT_TRUE(accepted.isComplete());
    EXPECT_EQ(c_str63 + "\r", accepted.getRequest());
    EXPECT_EQ(c_str63 + ":", accepted.getResponsePrefix());
    EXPECT_STREQ("xxxxx", accepted.getCommand());

    TransparentRequestC refused(c_str64.c_str());
    EXPECT_FALSE(refused.isComplete());
    EXPECT_STREQ("", refused.getRequest());
    EXPECT_EQ(nullptr, refused.getResponsePrefix());
}

TEST(RequestFormat, UnknownTypeIsRefusedWithAssertion)
{
    for (uint32_t unType : {0u, 7u, 0xFFFFFFFFu}) {
        AssertRecorderC recorder;
        TaviDeviceRequestC req("ADDM", unType, 1000);
        EXPECT_FALSE(req.isComplete());
        EXPECT_STREQ("", req.getRequest());
        ASSERT_EQ(1u, recorder.m_vecConditions.size());
        EXPECT_EQ("false", recorder.m_vecConditions[0]);
        EXPECT_EQ("src\\TRC_CFG_TaviRequest", recorder.m_vecFiles[0]);
    }
}

TEST(RequestFormat, SpecialRequestsUseTheirFixedTexts)
{
    PingRequestC ping(200);
    EXPECT_STREQ("AT\r", ping.getRequest());
    EXPECT_TRUE(ping.isPing());
    EXPECT_EQ(200u, ping.getTimeout());

    FactorySettingsRequestC factory;
    EXPECT_STREQ("AT&F\r", factory.getRequest());
    EXPECT_FALSE(factory.isPing());
    EXPECT_EQ(1000u, factory.getTimeout());

    TransparentRequestC transparent("ATP");
    EXPECT_STREQ("ATP\r", transparent.getRequest());
    EXPECT_STREQ("ATP:", transparent.getResponsePrefix());
    EXPECT_EQ(1000u, transparent.getTimeout());
}

TEST(RequestParameters, EachOverloadAppendsItsFormat)
{
    TaviDeviceRequestC req("AGSSID", RT_WRITE, 1000);
    req.addParameter("net,1", true);
    req.addParameter(false);
    req.addParameter("plain", false);
    req.addParameter(int32_t(-5));
    req.addParameter(uint32_t(0xFFFFFFFF));
    req.addParameter(uint8_t(255));
    req.addParameter(true);
    EXPECT_FALSE(req.isComplete());
    req.finishParameters();
    EXPECT_TRUE(req.isComplete());
    EXPECT_STREQ("AT*AGSSID=\"net,1\",0,plain,-5,-1,255,1\r", req.getRequest());
}

TEST(RequestParameters, MisuseIsRefusedWithAssertionAndChangesNothing)
{
    AssertRecorderC recorder;

    TaviDeviceRequestC read("AGLN", RT_READ, 1000);
    read.addParameter(1);
    read.finishParameters();
    EXPECT_STREQ("AT*AGLN?\r", read.getRequest());

    TaviDeviceRequestC empty("AGLN", RT_WRITE, 1000);
    empty.finishParameters();
    EXPECT_FALSE(empty.isComplete());
    EXPECT_STREQ("AT*AGLN=", empty.getRequest());

    TaviDeviceRequestC finished("AGLN", RT_WRITE, 1000);
    finished.addParameter(1);
    finished.finishParameters();
    finished.addParameter(2);
    finished.finishParameters();
    EXPECT_STREQ("AT*AGLN=1\r", finished.getRequest());

    // A refused command word cannot be rescued by parameters.
    TaviDeviceRequestC longWord("AGSSIDX", RT_WRITE, 1000);
    longWord.addParameter(1);
    longWord.finishParameters();
    EXPECT_FALSE(longWord.isComplete());
    EXPECT_STREQ("", longWord.getRequest());

    EXPECT_EQ(std::vector<std::string>(7, "false"), recorder.m_vecConditions);
}

TEST(RequestParameters, LineNeverExceeds64Characters)
{
    // "AT*AGSSID=" is 10 characters: a 51-character quoted value and its
    // comma make exactly 64.
    TaviDeviceRequestC fits("AGSSID", RT_WRITE, 1000);
    fits.addParameter(std::string(51, 'a').c_str(), true);
    fits.finishParameters();
    EXPECT_TRUE(fits.isComplete());
    EXPECT_EQ(64u, std::strlen(fits.getRequest()));

    AssertRecorderC recorder;
    TaviDeviceRequestC tooLong("AGSSID", RT_WRITE, 1000);
    tooLong.addParameter(std::string(52, 'a').c_str(), true);
    tooLong.addParameter(1);
    tooLong.finishParameters();
    EXPECT_FALSE(tooLong.isComplete());
    EXPECT_STREQ("AGSSID", tooLong.getCommand());
    EXPECT_STREQ("*AGSSID:", tooLong.getResponsePrefix());
    EXPECT_FALSE(recorder.m_vecConditions.empty());
}

TEST(RequestParameters, ManySmallParametersStopAtTheLimit)
{
    AssertRecorderC recorder;
    TaviDeviceRequestC req("AMWS", RT_WRITE, 1000);
    size_t unLongest = 0;
    for (int i = 0; i < 40; ++i) {
        req.addParameter(uint32_t(1234567));
        unLongest = std::max(unLongest, std::strlen(req.getRequest()));
    }
    req.finishParameters();
    EXPECT_LE(unLongest, 64u);
    EXPECT_FALSE(req.isComplete());
    EXPECT_STREQ("AMWS", req.getCommand());
    EXPECT_STREQ("*AMWS:", req.getResponsePrefix());
}
