// Command lines: formats by request type, parameters, the 64-character limit.
#include "PanicRecorder.h"
#include "TRC_CFG_PlainRequests.h"
#include "TRC_CFG_TaviRequest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

using namespace TRC::CFG;

TEST(RequestFormat, LineCompletionAndPrefixFollowTheType)
{
    // Command, type, the line, complete, the answer's prefix, the command word.
    const std::tuple<const char*, uint32_t, const char*, bool, const char*, const char*> cases[] = {
        {"ADDM", RT_EXECUTE, "AT*ADDM\r", true, "*ADDM:", "ADDM"},
        {"AGLN", RT_READ, "AT*AGLN?\r", true, "*AGLN:", "AGLN"},
        {"AT", RT_PLAIN, "AT\r", true, "*AT:", "AT"},
        {"AGI", RT_LISTEN, "", false, "*AGI:", "AGI"},
        {"AGSSID", RT_WRITE, "AT*AGSSID=", false, "*AGSSID:", "AGSSID"},
        {"AT&F", RT_PLAIN_PREFIXED, "AT&F\r", true, "AT&F:", "AT&F"},
        {"ATSWFR=1", RT_PLAIN_PREFIXED, "ATSWFR=1\r", true, "ATSWFR=1:", "ATSWF"},
        {"AGSSIDX", RT_WRITE, "", false, nullptr, ""},
        {nullptr, RT_EXECUTE, "", false, nullptr, ""},
    };
    for (const auto& [szCommand, unType, szLine, bComplete, szPrefix, szWord] : cases) {
        SCOPED_TRACE(szCommand != nullptr ? szCommand : "(null)");
        TaviDeviceRequestC req(szCommand, unType, 1000);
        EXPECT_STREQ(szLine, req.getRequest());
        EXPECT_EQ(bComplete, req.isComplete());
        EXPECT_STREQ(szPrefix, req.getResponsePrefix());
        EXPECT_STREQ(szWord, req.getCommand());
    }
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
    req.finishParameters();
    EXPECT_TRUE(req.isComplete());
    EXPECT_STREQ("AT*AGSSID=\"net,1\",0,plain,-5,-1,255,1\r", req.getRequest());
}

// 64 characters with the CR: prefixed text of 63, or "AT*AGSSID=" (10) with
// a 51-character quoted value and its comma.
TEST(RequestFormat, LineNeverExceeds64Characters)
{
    const std::string str63(63, 'x');
    EXPECT_EQ(str63 + "\r",
              TaviDeviceRequestC(str63.c_str(), RT_PLAIN_PREFIXED, 1000).getRequest());
    TransparentRequestC refused(std::string(64, 'y').c_str());
    EXPECT_FALSE(refused.isComplete());
    EXPECT_STREQ("", refused.getRequest());

    TaviDeviceRequestC fits("AGSSID", RT_WRITE, 1000);
    fits.addParameter(std::string(51, 'a').c_str(), true);
    fits.finishParameters();
    EXPECT_TRUE(fits.isComplete());
    EXPECT_EQ(64u, std::strlen(fits.getRequest()));

    RecordingHandlerC recorder;
    NOX::ERR::PanicHandlerRegistryC::getInstance().setHandler(&recorder, true);
    TaviDeviceRequestC tooLong("AGSSID", RT_WRITE, 1000);
    tooLong.addParameter(std::string(52, 'a').c_str(), true);
    tooLong.addParameter(1);
    tooLong.finishParameters();
    EXPECT_FALSE(tooLong.isComplete());
    NOX::ERR::PanicHandlerRegistryC::getInstance().removeHandler(&recorder);
    EXPECT_FALSE(recorder.m_vecCalls.empty());
}
