// Ping, factory settings and transparent requests.
#include "request_test_support.h"

#include "TRC_CFG_PlainRequests.h"

#include <memory>
#include <tuple>

using namespace TRC::CFG;
using namespace quenta_test;

// Ping and factory settings: OK and ERROR both release the caller at once,
// and the first result stands; a part of an answer releases nobody.
TEST(PlainRequest, PingAndFactoryResultsReleaseOnce)
{
    // Ping or factory settings, the answer, the result.
    const std::tuple<bool, const char*, uint32_t> cases[] = {
        {true, "AT\r\r\nOK\r\n", RC_OK},
        {true, "\r\nERROR\r\n", RC_FAILED},
        {false, "AT&F\r\r\nOK\r\n", RC_OK},
        {false, "AT&F\r\r\nERROR\r\n", RC_FAILED},
        {false, "AT&F\r\r\nO", RC_TIMEOUT}};
    for (const auto& [bPing, szAnswer, unCode] : cases) {
        SCOPED_TRACE(szAnswer);
        std::unique_ptr<TaviDeviceRequestC> pReq(
            bPing ? static_cast<TaviDeviceRequestC*>(new PingRequestC(200))
                  : new FactorySettingsRequestC);
        EXPECT_EQ(RC_TIMEOUT, pReq->wait(0));
        deliverBytes(*pReq, szAnswer);
        EXPECT_EQ(unCode, pReq->getReturnCode());
        const bool bDone = unCode != RC_TIMEOUT;
        EXPECT_EQ(bDone, pReq->isHandled());
        EXPECT_EQ(bDone ? RC_OK : RC_TIMEOUT, pReq->wait(0));
        EXPECT_EQ(RC_TIMEOUT, pReq->wait(0));
        EXPECT_STREQ(szAnswer, pReq->getResponse());
        if (bDone) {
            deliver(*pReq, "\r\nOK\r\n");
            EXPECT_EQ(unCode, pReq->getReturnCode());
            EXPECT_EQ(RC_TIMEOUT, pReq->wait(0));
        }
    }
}

TEST(TransparentRequest, AnyByteCountsOnlyOkEndsIt)
{
    TransparentRequestC req("ATI");
    EXPECT_EQ(RC_TIMEOUT, req.getReturnCode());
    deliver(req, "ATI\r\r\nQUENTA 1.0");
    EXPECT_EQ(RC_OK, req.getReturnCode());
    EXPECT_FALSE(req.isHandled());
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));
    deliver(req, "\r\nOK\r\n");
    EXPECT_EQ(RC_OK, req.wait(0));
    EXPECT_STREQ("ATI\r\r\nQUENTA 1.0\r\nOK\r\n", req.getResponse());
    // Late bytes are kept too, without a second release.
    deliver(req, "\r\nOK\r\n");
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));

    TransparentRequestC error("ATX");
    deliver(error, "\r\nERROR\r\n");
    EXPECT_EQ(RC_OK, error.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, error.wait(0)) << "ERROR is just text";
    EXPECT_STREQ("\r\nERROR\r\n", error.getResponse());
}
