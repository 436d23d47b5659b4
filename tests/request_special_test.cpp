// Ping, factory settings and transparent requests.
#include "request_test_support.h"

#include "TRC_CFG_SpecialRequests.h"

#include <gtest/gtest.h>

#include <string>

using namespace TRC::CFG;
using namespace quenta_test;

TEST(PingRequest, OkAndErrorBothReleaseTheCaller)
{
    const struct
    {
        const char* szAnswer;
        uint32_t unCode;
    } cases[] = {{"AT\r\r\nOK\r\n", RC_OK}, {"\r\nERROR\r\n", RC_FAILED}};
    for (const auto& c : cases) {
        PingRequestC ping(200);
        deliverBytes(ping, c.szAnswer);
        EXPECT_EQ(c.unCode, ping.getReturnCode()) << c.szAnswer;
        EXPECT_EQ(RC_OK, ping.wait(0));
        EXPECT_EQ(RC_TIMEOUT, ping.wait(0));
    }
    PingRequestC silent(200);
    EXPECT_EQ(RC_TIMEOUT, silent.wait(0));
}

TEST(TransparentRequest, AnyByteCountsAndOkEndsIt)
{
    TransparentRequestC req("ATI");
    deliver(req, "ATI\r\r\nQUENTA 1.0");
    EXPECT_EQ(RC_OK, req.getReturnCode());
    EXPECT_FALSE(req.isHandled());
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));

    deliver(req, "\r\nOK\r\n");
    EXPECT_EQ(RC_OK, req.wait(0));
    EXPECT_EQ("ATI\r\r\nQUENTA 1.0\r\nOK\r\n", std::string(req.getResponse()));
    // Late bytes are kept too, without a second release.
    deliver(req, "\r\nOK\r\n");
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));
}

TEST(TransparentRequest, ErrorIsJustText)
{
    TransparentRequestC req("ATX");
    deliver(req, "\r\nERROR\r\n");
    EXPECT_EQ(RC_OK, req.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));
    EXPECT_EQ("\r\nERROR\r\n", std::string(req.getResponse()));

    TransparentRequestC unanswered("ATX");
    EXPECT_EQ(RC_TIMEOUT, unanswered.getReturnCode());
}

TEST(FactorySettingsRequest, ResultIsKnownAndReleasesAtOnce)
{
    const struct
    {
        const char* szAnswer;
        uint32_t unCode;
    } cases[] = {{"AT&F\r\r\nOK\r\n", RC_OK}, {"AT&F\r\r\nERROR\r\n", RC_FAILED}};
    for (const auto& c : cases) {
        FactorySettingsRequestC req;
        deliverBytes(req, c.szAnswer);
        EXPECT_EQ(c.unCode, req.getReturnCode()) << c.szAnswer;
        EXPECT_EQ(RC_OK, req.wait(0));
        EXPECT_EQ(RC_TIMEOUT, req.wait(0));
        EXPECT_EQ(c.szAnswer, std::string(req.getResponse()));
        // The first result stands.
        deliver(req, "\r\nOK\r\n");
        EXPECT_EQ(c.unCode, req.getReturnCode());
        EXPECT_EQ(RC_TIMEOUT, req.wait(0));
    }
}

TEST(FactorySettingsRequest, PartialAnswerKeepsWaiting)
{
    FactorySettingsRequestC req;
    deliver(req, "AT&F\r\r\nO");
    EXPECT_EQ(RC_TIMEOUT, req.getReturnCode());
    EXPECT_FALSE(req.isHandled());
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));
}
