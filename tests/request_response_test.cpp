// Answer recognition: outcomes by answer shape, fragmentation, overflow,
// completion signalling, forwarding and the traces.
#include "request_test_support.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "TRC_CFG_ResponseParam.h"
#include "TRC_CFG_TaviRequest.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace TRC::CFG;
using namespace quenta_test;

namespace {

// A request with slots of the kinds named in a string: s string, n number,
// b boolean, i the placeholder.
class ProbeC
{
public:
    ProbeC(const char* szCommand, uint32_t unType, const std::string& strKinds)
        : m_request(szCommand, unType, 1000)
    {
        if (unType == RT_WRITE) {
            m_request.addParameter(0);
            m_request.finishParameters();
        }
        for (char c : strKinds) {
            ResponseParamI* pParam = &ignoredResponseParam;
            if (c == 's') {
                m_vecSlots.emplace_back(new BasicStringResponseParamC);
            } else if (c == 'n') {
                m_vecSlots.emplace_back(new NumberResponseParamC);
            } else if (c == 'b') {
                m_vecSlots.emplace_back(new BoolResponseParamC);
            }
            if (c != 'i') {
                pParam = m_vecSlots.back().get();
            }
            m_vecParams.push_back(pParam);
            m_request.addResponseParam(pParam);
        }
    }

    // Return code and every slot's validity and value, comparable as text.
    std::string outcome() const
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
        return out.str();
    }

    // The waiting caller must be released exactly once.
    std::string release()
    {
        const bool bOnce =
            m_request.isHandled() && m_request.wait(0) == RC_OK && m_request.wait(0) == RC_TIMEOUT;
        return bOnce ? "" : " (not released exactly once)";
    }

    TaviDeviceRequestC m_request;
    std::vector<std::unique_ptr<ResponseParamI>> m_vecSlots;
    std::vector<ResponseParamI*> m_vecParams;
};

struct AnswerCaseS
{
    const char* szName;
    const char* szCommand;
    uint32_t unType;
    const char* szKinds;
    std::string strAnswer;
    std::string strOutcome;
};

const std::string c_ok = "\r\nOK\r\n";

// Each answer ends with its final result and holds no second one.
const std::vector<AnswerCaseS> c_answers = {
    {"echoed quoted name", "AGLN", RT_READ, "s", "AT*AGLN?\r\r\n*AGLN:\"My Device\"" + c_ok,
     "0 | 1:My Device"},
    {"unquoted name", "AGLN", RT_READ, "s", "\r\n*AGLN:Name" + c_ok, "0 | 1:Name"},
    {"quoted comma, string slot", "AGLN", RT_READ, "s", "\r\n*AGLN:\"a,b\"" + c_ok, "0 | 1:a,b"},
    {"quoted comma, number slot", "AMRS", RT_READ, "n", "\r\n*AMRS:\"1,2\"" + c_ok,
     "2000003 | 1:0"},
    {"quoted comma before a number", "ADRDRP", RT_WRITE, "sn",
     "AT*ADRDRP=0\r\r\n*ADRDRP:\"00:12,34\",7978" + c_ok, "0 | 1:00:12,34 | 1:7978"},
    {"placeholders skip fields", "ADRDRP", RT_WRITE, "siis",
     "AT*ADRDRP=0\r\r\n*ADRDRP:0012F3000001,1,0,\"Peer\"" + c_ok,
     "0 | 1:0012F3000001 | 0: | 0: | 1:Peer"},
    {"number and booleans", "AMRS", RT_READ, "nbbb", "\r\n*AMRS:12,0,2,\"1\"" + c_ok,
     "0 | 1:12 | 1:0 | 1:1 | 1:0"},
    {"empty middle field", "AMRS", RT_READ, "nnn", "\r\n*AMRS:4,,6" + c_ok, "0 | 1:4 | 1:0 | 1:6"},
    {"no slots, anything before OK", "ADDM", RT_EXECUTE, "", "AT*ADDM\rjunk\r\nmore" + c_ok, "0"},
    {"unrelated line before the result", "AGLN", RT_READ, "s", "\r\n*OTHER:1\r\n*AGLN:\"x\"" + c_ok,
     "0 | 1:x"},
    {"echo not at the start", "AGLN", RT_READ, "s", "\r\nAT*AGLN?\r\r\n*AGLN:\"y\"" + c_ok,
     "0 | 1:y"},
    {"ERROR", "AGLN", RT_READ, "s", "AT*AGLN?\r\r\nERROR\r\n", "200001a | 0:"},
    {"ERROR without echo, no slots", "ADDM", RT_EXECUTE, "", "\r\nERROR\r\n", "200001a"},
    {"slots but only OK", "AGLN", RT_READ, "s", c_ok, "2000003 | 0:"},
    {"prefix missing", "AGLN", RT_READ, "s", "\r\n*AGLX:\"x\"" + c_ok, "2000003 | 0:"},
    {"separator missing", "ADRDRP", RT_WRITE, "sn", "\r\n*ADRDRP:\"x\"" + c_ok,
     "2000003 | 0: | 0:-1"},
    {"one field too few", "AMRS", RT_READ, "snn", "\r\n*AMRS:\"x\",5" + c_ok,
     "2000003 | 1:x | 0:-1 | 0:-1"},
    {"one field too many", "AMRS", RT_READ, "sn", "\r\n*AMRS:\"x\",5,6" + c_ok,
     "2000003 | 1:x | 1:5"},
    {"text before the terminator", "AGLN", RT_READ, "s", "\r\n*AGLN:name,junk" + c_ok,
     "2000003 | 1:name"},
    {"empty result line", "AGLN", RT_READ, "s", "\r\n*AGLN:" + c_ok, "2000003 | 0:"},
    {"long field", "AGLN", RT_READ, "s", "\r\n*AGLN:" + std::string(1900, 'z') + c_ok,
     "0 | 1:" + std::string(1900, 'z')},
    {"placeholder only", "AGLN", RT_READ, "i", "\r\n*AGLN:whatever" + c_ok, "0 | 0:"},
};

} // namespace

TEST(RequestResponse, AnswerShapesGiveTheSameOutcomeHoweverFragmented)
{
    for (const AnswerCaseS& c : c_answers) {
        SCOPED_TRACE(c.szName);
        const std::string strWhole =
            expectSameOutcomeInPieces(c.strAnswer, [&](const DeliveryF& f) {
                ProbeC probe(c.szCommand, c.unType, c.szKinds);
                f(probe.m_request);
                const bool bKept = c.strAnswer == probe.m_request.getResponse();
                return probe.outcome() + probe.release() + (bKept ? "" : " (response changed)");
            });
        EXPECT_EQ(c.strOutcome, strWhole);
    }
}

// Where the bytes after a final result, or a result inside another, arrive
// in a later delivery, the outcome differs.
TEST(RequestResponse, DeliveryMattersAroundTheFinalResult)
{
    const size_t c_whole = std::string::npos;
    const struct
    {
        const char* szName;
        const char* szCommand;
        uint32_t unType;
        const char* szKinds;
        std::string strAnswer;
        size_t unSplit;
        const char* szOutcome;
        const char* szUnconsumed;
        const char* szResponse;
    } cases[] = {
        {"late bytes, whole", "AGLN", RT_READ, "s", "\r\n*AGLN:\"x\"\r\nOK\r\nlate", c_whole,
         "0 | 1:x", "late", "\r\n*AGLN:\"x\"\r\nOK\r\nlate"},
        {"late bytes, split", "AGLN", RT_READ, "s", "\r\n*AGLN:\"x\"\r\nOK\r\nlate", 17, "0 | 1:x",
         "", "\r\n*AGLN:\"x\"\r\nOK\r\n"},
        {"prefix after terminator, whole", "AGLN", RT_READ, "s", "\r\nOK\r\n*AGLN:\"x\"", c_whole,
         "2000003 | 0:", "*AGLN:\"x\"", "\r\nOK\r\n*AGLN:\"x\""},
        {"prefix after terminator, split", "AGLN", RT_READ, "s", "\r\nOK\r\n*AGLN:\"x\"", 6,
         "2000003 | 0:", "", "\r\nOK\r\n"},
        // Whole, the terminator is seen first.
        {"ERROR before OK, whole", "ADDM", RT_EXECUTE, "", "\r\nERROR\r\n\r\nOK\r\n", c_whole, "0",
         "", "\r\nERROR\r\n\r\nOK\r\n"},
        {"ERROR before OK, split", "ADDM", RT_EXECUTE, "", "\r\nERROR\r\n\r\nOK\r\n", 9, "200001a",
         "", "\r\nERROR\r\n"},
        {"bytes after ERROR", "AGLN", RT_READ, "s", "\r\nERROR\r\n*AGLN:\"x\"", c_whole,
         "200001a | 0:", "*AGLN:\"x\"", "\r\nERROR\r\n*AGLN:\"x\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        ProbeC probe(c.szCommand, c.unType, c.szKinds);
        if (c.unSplit == c_whole) {
            deliver(probe.m_request, c.strAnswer);
        } else {
            deliverSplit(probe.m_request, c.strAnswer, c.unSplit);
        }
        EXPECT_EQ(c.szOutcome, probe.outcome() + probe.release());
        EXPECT_EQ(c.szUnconsumed, std::string(probe.m_request.getUnconsumed()));
        EXPECT_EQ(c.szResponse, std::string(probe.m_request.getResponse()));
    }
}

TEST(RequestResponse, ReaderThreadReleasesTheWaitingCaller)
{
    ProbeC probe("AGLN", RT_READ, "s");
    std::thread reader(
        [&probe] { deliverBytes(probe.m_request, "AT*AGLN?\r\r\n*AGLN:\"far away\"\r\nOK\r\n"); });
    uint32_t unWait = probe.m_request.wait(5000);
    reader.join();
    EXPECT_EQ(RC_OK, unWait);
    EXPECT_EQ("0 | 1:far away", probe.outcome());
}

TEST(RequestResponse, WaitsQuietlyUntilTheFinalResult)
{
    ProbeC probe("AGLN", RT_READ, "s");
    deliver(probe.m_request, "AT*AGLN?\r\r\n*AGLN:\"x\"\r\nO");
    EXPECT_FALSE(probe.m_request.isHandled());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
    // The echo is gone already.
    EXPECT_EQ("\r\n*AGLN:\"x\"\r\nO", std::string(probe.m_request.getUnconsumed()));
}

TEST(RequestResponse, FullBufferWithoutResultIsBadButReleasesNobody)
{
    ProbeC probe("AGLN", RT_READ, "s");
    deliver(probe.m_request, std::string(1999, 'a'));
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.getReturnCode()) << "1999 bytes";
    deliver(probe.m_request, "a\r\nOK\r\n");
    EXPECT_EQ(2000, probe.m_request.getFillCount());
    EXPECT_EQ(RC_BAD_RESPONSE, probe.m_request.getReturnCode());
    EXPECT_FALSE(probe.m_request.isHandled());
    deliver(probe.m_request, "\r\nOK\r\n");
    EXPECT_EQ(RC_BAD_RESPONSE, probe.m_request.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
    EXPECT_EQ(2000u, std::string(probe.m_request.getResponse()).size());

    // A consumed echo leaves less room, and no verdict when it fills.
    ProbeC echoed("AGLN", RT_READ, "s");
    deliver(echoed.m_request, "AT*AGLN?\r");
    deliver(echoed.m_request, std::string(2000, 'b'));
    EXPECT_EQ(2000 - 9, echoed.m_request.getFillCount());
    EXPECT_EQ(RC_TIMEOUT, echoed.m_request.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, echoed.m_request.wait(0));
}

TEST(RequestResponse, ProcessorWithoutRequestReportsAndIgnores)
{
    class BareProcC : public TaviDeviceProcC
    {};
    AssertRecorderC recorder;
    BareProcC proc;
    deliver(proc, "\r\nOK\r\n");
    int32_t nStart = 0;
    int32_t nEnd = 0;
    EXPECT_EQ(RC_BAD_RESPONSE, proc.findResponse(nStart, nEnd));
    EXPECT_EQ(0, proc.getFillCount());
    EXPECT_EQ(std::vector<std::string>(2, "0 != m_pRequest"), recorder.m_vecConditions);
}

TEST(RequestResponse, SurplusAndLateBytesGoToTheSibling)
{
    // Takes every delivery as a sibling would, keeping the bytes.
    class SiblingProbeC : public TaviDeviceRequestC
    {
    public:
        SiblingProbeC() : TaviDeviceRequestC("AGI", RT_LISTEN, 1000) {}
        void procReadData(const char* pData, uint16_t unCount) override
        {
            m_strReceived.append(pData, unCount);
            ++m_nDeliveries;
        }
        std::string m_strReceived;
        int m_nDeliveries = 0;
    };
    class ChainedRequestC : public TaviDeviceRequestC
    {
    public:
        ChainedRequestC() : TaviDeviceRequestC("ADDM", RT_EXECUTE, 1000) {}
        TaviDeviceRequestC* getSiblingRequest() override { return &m_sibling; }
        SiblingProbeC m_sibling;
    };
    ChainedRequestC req;
    deliver(req, "\r\nOK\r\nnext line\r\n");
    EXPECT_EQ(RC_OK, req.getReturnCode());
    deliver(req, "late");
    EXPECT_EQ("next line\r\nlate", req.m_sibling.m_strReceived);
    EXPECT_EQ(2, req.m_sibling.m_nDeliveries);
    // The sibling, a listener never handled, holds back the release.
    EXPECT_EQ(RC_TIMEOUT, req.wait(0));
}

TEST(RequestResponse, ParamsSetOnlyWhenEveryRealSlotGotAField)
{
    ProbeC served("ADRDRP", RT_WRITE, "sn");
    deliver(served.m_request, "\r\n*ADRDRP:a,1\r\nOK\r\n");
    EXPECT_TRUE(served.m_request.areResponseParamsSet());

    ProbeC placeholder("ADRDRP", RT_WRITE, "si");
    deliver(placeholder.m_request, "\r\n*ADRDRP:a,1\r\nOK\r\n");
    EXPECT_EQ(RC_OK, placeholder.m_request.getReturnCode());
    EXPECT_FALSE(placeholder.m_request.areResponseParamsSet());
}

namespace {

std::string traceOf(const std::vector<std::string>& vecDeliveries, bool bRouted = true)
{
    if (bRouted) {
        NOX::DBG::DbgLogMgrC::getInstance()->addRoute("TaviDeviceRequestC", 0, "printf");
    }
    testing::internal::CaptureStdout();
    {
        ProbeC probe("AGLN", RT_READ, "s");
        for (const std::string& strData : vecDeliveries) {
            deliver(probe.m_request, strData);
        }
    }
    const std::string strOut = testing::internal::GetCapturedStdout();
    NOX::DBG::DbgLogMgrC::getInstance()->removeAll();
    return strOut;
}

} // namespace

TEST(RequestTrace, CollectingDetailedAndFailureDumps)
{
    const std::string strOut = traceOf({"AT*AGLN?\r\r\n*AG", "LN:\"x\"\r\nOK\r\n", "late"});
    for (const char* szLine :
         {"START TaviDeviceProcC::procReadData\n", "waiting for more data...\n",
          "request: AT*AGLN?<CR>\n", "command: AGLN\n", "buffer: AT*AGLN?<CR><CR><LF>*AG\n",
          "remaining: \n", "return code: 0\n", "request already handled!\n",
          "TaviDeviceRequestC::setHandled"}) {
        EXPECT_NE(std::string::npos, strOut.find(szLine)) << szLine << " in\n" << strOut;
    }
    const std::string strFailed = traceOf({"\r\nOK\r\n"});
    for (const char* szLine : {"findResponse returned: 2000003\n", "return code: 2000003\n"}) {
        EXPECT_NE(std::string::npos, strFailed.find(szLine)) << szLine << " in\n" << strFailed;
    }
    EXPECT_EQ("", traceOf({"\r\n*AGLN:\"x\"\r\nOK\r\n"}, false)) << "silent without a route";
    EXPECT_EQ("", makePrintable(nullptr));
}
