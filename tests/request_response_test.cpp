// Answer recognition: outcomes by answer shape, fragmentation, overflow and
// the trace.
#include "request_test_support.h"

#include "LogCapture.h"
#include "TRC_CFG_ResponseParam.h"

#include <memory>
#include <sstream>
#include <tuple>
#include <vector>

using namespace TRC::CFG;
using namespace quenta_test;

namespace {

// A read of AMRS with slots of the kinds named in a string (s string,
// n number, b boolean, i the placeholder); with no slots, an ADDM execute.
class ProbeC
{
public:
    explicit ProbeC(const std::string& strKinds)
        : m_request(strKinds.empty() ? "ADDM" : "AMRS", strKinds.empty() ? RT_EXECUTE : RT_READ,
                    1000)
    {
        for (char c : strKinds) {
            ResponseParamI* pParam = c == 's' ? new BasicStringResponseParamC
                                     : c == 'n'
                                         ? static_cast<ResponseParamI*>(new NumberResponseParamC)
                                     : c == 'b' ? new BoolResponseParamC
                                                : nullptr;
            if (pParam != nullptr) {
                m_vecSlots.emplace_back(pParam);
            }
            m_vecParams.push_back(pParam != nullptr ? pParam : &ignoredResponseParam);
            m_request.addResponseParam(m_vecParams.back());
        }
    }

    // Return code and every slot's validity and value, comparable as text.
    std::string outcome()
    {
        std::ostringstream out;
        out << std::hex << m_request.getReturnCode() << std::dec;
        for (const ResponseParamI* pParam : m_vecParams) {
            out << " | " << pParam->m_bValid << ":";
            if (auto p = dynamic_cast<const BasicStringResponseParamC*>(pParam)) {
                out << p->getValue();
            } else if (auto p = dynamic_cast<const NumberResponseParamC*>(pParam)) {
                out << p->getValue();
            } else if (auto p = dynamic_cast<const BoolResponseParamC*>(pParam)) {
                out << p->getValue();
            }
        }
        // The waiting caller must be released exactly once.
        const bool bOnce =
            m_request.isHandled() && m_request.wait(0) == RC_OK && m_request.wait(0) == RC_TIMEOUT;
        return out.str() + (bOnce ? "" : " (not released exactly once)");
    }

    TaviDeviceRequestC m_request;
    std::vector<std::unique_ptr<ResponseParamI>> m_vecSlots;
    std::vector<ResponseParamI*> m_vecParams;
};

const std::string c_ok = "\r\nOK\r\n";
const std::string c_long(1900, 'z');

} // namespace

// Each answer ends with its final result and holds no second one.
TEST(RequestResponse, AnswerShapesGiveTheSameOutcomeHoweverFragmented)
{
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"s", "AT*AMRS?\r\r\n*AMRS:\"My Device\"" + c_ok, "0 | 1:My Device"},
        {"s", "\r\n*AMRS:\"a,b\"" + c_ok, "0 | 1:a,b"},
        {"n", "\r\n*AMRS:\"1,2\"" + c_ok, "2000003 | 1:0"},
        {"siis", "\r\n*AMRS:02A0C7000001,1,0,\"Peer\"" + c_ok,
         "0 | 1:02A0C7000001 | 0: | 0: | 1:Peer"},
        {"nbbb", "\r\n*AMRS:12,0,2,\"1\"" + c_ok, "0 | 1:12 | 1:0 | 1:1 | 1:0"},
        {"", "AT*ADDM\rjunk\r\nmore" + c_ok, "0"},
        {"s", "AT*AMRS?\r\r\nERROR\r\n", "200001a | 0:"},
        {"s", "\r\n*AMRX:\"x\"" + c_ok, "2000003 | 0:"},
        {"sn", "\r\n*AMRS:\"x\"" + c_ok, "2000003 | 0: | 0:-1"},
        {"snn", "\r\n*AMRS:\"x\",5" + c_ok, "2000003 | 1:x | 0:-1 | 0:-1"},
        {"sn", "\r\n*AMRS:\"x\",5,6" + c_ok, "2000003 | 1:x | 1:5"},
        {"s", "\r\n*AMRS:name,junk" + c_ok, "2000003 | 1:name"},
        {"s", "\r\n*AMRS:" + c_long + c_ok, "0 | 1:" + c_long},
    };
    for (const auto& [szKinds, strAnswer, strOutcome] : cases) {
        SCOPED_TRACE(strAnswer.substr(0, 40));
        EXPECT_EQ(strOutcome, expectSameOutcomeInPieces(strAnswer, [&](const DeliveryF& f) {
                      ProbeC probe(szKinds);
                      f(probe.m_request);
                      const bool bKept = strAnswer == probe.m_request.getResponse();
                      return probe.outcome() + (bKept ? "" : " (response changed)");
                  }));
    }
}

// Where the bytes after a final result, or a result inside another, arrive
// in a later delivery, the outcome differs.
TEST(RequestResponse, DeliveryMattersAroundTheFinalResult)
{
    const size_t c_whole = std::string::npos;
    const std::string strLate = "\r\n*AMRS:\"x\"" + c_ok + "late";
    const std::string strPrefixAfter = c_ok + "*AMRS:\"x\"";
    const std::string strErrorOk = "\r\nERROR\r\n" + c_ok;
    const std::tuple<const char*, std::string, size_t, const char*, const char*> cases[] = {
        {"s", strLate, c_whole, "0 | 1:x", "late"},
        {"s", strLate, 17, "0 | 1:x", ""},
        {"s", strPrefixAfter, c_whole, "2000003 | 0:", "*AMRS:\"x\""},
        {"s", strPrefixAfter, 6, "2000003 | 0:", ""},
        {"", strErrorOk, c_whole, "0", ""}, // whole, the terminator is seen first
        {"", strErrorOk, 9, "200001a", ""},
        {"s", "\r\nERROR\r\n*AMRS:\"x\"", c_whole, "200001a | 0:", "*AMRS:\"x\""},
    };
    for (const auto& [szKinds, strAnswer, unSplit, szOutcome, szUnconsumed] : cases) {
        SCOPED_TRACE(strAnswer + " split at " + std::to_string(unSplit));
        ProbeC probe(szKinds);
        deliverSplit(probe.m_request, strAnswer, std::min(unSplit, strAnswer.size()));
        EXPECT_EQ(szOutcome, probe.outcome());
        EXPECT_STREQ(szUnconsumed, probe.m_request.getUnconsumed());
        EXPECT_EQ(strAnswer.substr(0, unSplit), probe.m_request.getResponse());
    }
}

TEST(RequestResponse, FullBufferWithoutResultIsBadButReleasesNobody)
{
    ProbeC probe("s");
    deliver(probe.m_request, std::string(1999, 'a'));
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.getReturnCode()) << "1999 bytes";
    deliver(probe.m_request, "a\r\nOK\r\n");
    EXPECT_EQ(2000, probe.m_request.getFillCount());
    EXPECT_EQ(RC_BAD_RESPONSE, probe.m_request.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
}

TEST(RequestTrace, DetailedTraceOfARoutedRequest)
{
    LogCaptureC capture;
    capture.route("TaviDeviceRequestC", 0);
    ProbeC probe("s");
    deliverSplit(probe.m_request, "AT*AMRS?\r\r\n*AMRS:\"x\"\r\nOK\r\n", 14);
    for (const char* szLine : {"waiting for more data...\n", "request: AT*AMRS?<CR>\n",
                               "buffer: AT*AMRS?<CR><CR><LF>*AM\n", "return code: 0\n"}) {
        EXPECT_NE(std::string::npos, capture.joined().find(szLine)) << szLine << " in\n"
                                                                    << capture.joined();
    }
}
