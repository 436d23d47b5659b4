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

std::string runWhole(const AnswerCaseS& c)
{
    ProbeC probe(c.szCommand, c.unType, c.szKinds);
    deliver(probe.m_request, c.strAnswer);
    return probe.outcome();
}

} // namespace

TEST(RequestResponse, AnswerShapesGiveTheirCodesAndValues)
{
    for (const AnswerCaseS& c : c_answers) {
        SCOPED_TRACE(c.szName);
        ProbeC probe(c.szCommand, c.unType, c.szKinds);
        deliver(probe.m_request, c.strAnswer);
        EXPECT_EQ(c.strOutcome, probe.outcome());
        EXPECT_TRUE(probe.m_request.isHandled());
        EXPECT_EQ(RC_OK, probe.m_request.wait(0));
        EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
        EXPECT_EQ(c.strAnswer, std::string(probe.m_request.getResponse()));
    }
}

TEST(RequestResponse, FragmentationNeverChangesTheOutcome)
{
    std::mt19937 rng(20240531);
    for (const AnswerCaseS& c : c_answers) {
        SCOPED_TRACE(c.szName);
        const std::string strWhole = runWhole(c);
        {
            ProbeC probe(c.szCommand, c.unType, c.szKinds);
            deliverBytes(probe.m_request, c.strAnswer);
            EXPECT_EQ(strWhole, probe.outcome()) << "byte by byte";
            EXPECT_EQ(RC_OK, probe.m_request.wait(0));
            EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
        }
        for (size_t unSplit = 0; unSplit <= c.strAnswer.size(); ++unSplit) {
            ProbeC probe(c.szCommand, c.unType, c.szKinds);
            deliverCut(probe.m_request, c.strAnswer, {unSplit});
            ASSERT_EQ(strWhole, probe.outcome()) << "split at " << unSplit;
            ASSERT_EQ(RC_OK, probe.m_request.wait(0)) << "split at " << unSplit;
        }
        for (int nRound = 0; nRound < 20; ++nRound) {
            ProbeC probe(c.szCommand, c.unType, c.szKinds);
            deliverCut(probe.m_request, c.strAnswer, randomCuts(rng, c.strAnswer.size()));
            ASSERT_EQ(strWhole, probe.outcome()) << "random round " << nRound;
        }
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

TEST(RequestResponse, BytesAfterTheFinalResultStayOrAreDropped)
{
    const std::string strAnswer = "\r\n*AGLN:\"x\"\r\nOK\r\nlate";
    {
        ProbeC probe("AGLN", RT_READ, "s");
        deliver(probe.m_request, strAnswer);
        EXPECT_EQ("0 | 1:x", probe.outcome());
        EXPECT_EQ("late", std::string(probe.m_request.getUnconsumed()));
    }
    {
        ProbeC probe("AGLN", RT_READ, "s");
        deliverCut(probe.m_request, strAnswer, {strAnswer.size() - 4});
        EXPECT_EQ("0 | 1:x", probe.outcome());
        EXPECT_EQ("", std::string(probe.m_request.getUnconsumed()));
        EXPECT_EQ(strAnswer.substr(0, strAnswer.size() - 4),
                  std::string(probe.m_request.getResponse()));
    }
}

TEST(RequestResponse, PrefixAfterTheTerminatorIsBadEitherWay)
{
    const std::string strAnswer = "\r\nOK\r\n*AGLN:\"x\"";
    for (size_t unSplit : {strAnswer.size(), size_t(6)}) {
        ProbeC probe("AGLN", RT_READ, "s");
        deliverCut(probe.m_request, strAnswer, {unSplit});
        EXPECT_EQ("2000003 | 0:", probe.outcome()) << "split at " << unSplit;
        EXPECT_EQ(RC_OK, probe.m_request.wait(0));
    }
}

TEST(RequestResponse, ErrorMarkerBeforeOkDependsOnDelivery)
{
    const std::string strAnswer = "\r\nERROR\r\n\r\nOK\r\n";
    {
        // Whole: the terminator is seen first.
        ProbeC probe("ADDM", RT_EXECUTE, "");
        deliver(probe.m_request, strAnswer);
        EXPECT_EQ(RC_OK, probe.m_request.getReturnCode());
    }
    {
        ProbeC probe("ADDM", RT_EXECUTE, "");
        deliverCut(probe.m_request, strAnswer, {9});
        EXPECT_EQ(RC_FAILED, probe.m_request.getReturnCode());
        EXPECT_EQ(RC_OK, probe.m_request.wait(0));
        EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
    }
}

TEST(RequestResponse, ErrorLeavesTheBytesAfterItUnparsed)
{
    ProbeC probe("AGLN", RT_READ, "s");
    deliver(probe.m_request, "\r\nERROR\r\n*AGLN:\"x\"");
    EXPECT_EQ("200001a | 0:", probe.outcome());
    EXPECT_EQ("*AGLN:\"x\"", std::string(probe.m_request.getUnconsumed()));
}

TEST(RequestResponse, FullBufferWithoutResultIsBadButReleasesNobody)
{
    ProbeC probe("AGLN", RT_READ, "s");
    const std::string strChunk(999, 'a');
    deliver(probe.m_request, strChunk);
    deliver(probe.m_request, strChunk);
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.getReturnCode()) << "1998 bytes";
    deliver(probe.m_request, "a");
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.getReturnCode()) << "1999 bytes";
    deliver(probe.m_request, "a\r\nOK\r\n");
    EXPECT_EQ(2000, probe.m_request.getFillCount());
    EXPECT_EQ(RC_BAD_RESPONSE, probe.m_request.getReturnCode());
    EXPECT_FALSE(probe.m_request.isHandled());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
    deliver(probe.m_request, "\r\nOK\r\n");
    EXPECT_EQ(RC_BAD_RESPONSE, probe.m_request.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
    EXPECT_EQ(2000u, std::string(probe.m_request.getResponse()).size());
}

TEST(RequestResponse, ConsumedEchoLeavesLessRoomAndNoVerdict)
{
    ProbeC probe("AGLN", RT_READ, "s");
    deliver(probe.m_request, "AT*AGLN?\r");
    deliver(probe.m_request, std::string(2000, 'b'));
    EXPECT_EQ(2000 - 9, probe.m_request.getFillCount());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.getReturnCode());
    EXPECT_EQ(RC_TIMEOUT, probe.m_request.wait(0));
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

namespace {

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

} // namespace

TEST(RequestResponse, SurplusAndLateBytesGoToTheSibling)
{
    ChainedRequestC req;
    deliver(req, "\r\nOK\r\nnext line\r\n");
    EXPECT_EQ(RC_OK, req.getReturnCode());
    EXPECT_EQ("next line\r\n", req.m_sibling.m_strReceived);
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

TEST(RequestResponse, PrintableRenderingMarksLineEnds)
{
    EXPECT_EQ("AT*AGLN?<CR><CR><LF>OK<CR><LF>", makePrintable("AT*AGLN?\r\r\nOK\r\n"));
    EXPECT_EQ("", makePrintable(nullptr));
}

namespace {

class TraceCaptureC
{
public:
    TraceCaptureC()
    {
        NOX::DBG::DbgLogMgrC::getInstance()->addRoute("TaviDeviceRequestC", 0, "printf");
        testing::internal::CaptureStdout();
    }
    ~TraceCaptureC() { NOX::DBG::DbgLogMgrC::getInstance()->removeAll(); }
    std::string take() { return testing::internal::GetCapturedStdout(); }
};

bool contains(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}

} // namespace

TEST(RequestTrace, CollectingAndDetailedDumps)
{
    std::string strOut;
    {
        TraceCaptureC capture;
        ProbeC probe("AGLN", RT_READ, "s");
        deliver(probe.m_request, "AT*AGLN?\r\r\n*AG");
        deliver(probe.m_request, "LN:\"x\"\r\nOK\r\n");
        deliver(probe.m_request, "late");
        strOut = capture.take();
    }
    EXPECT_TRUE(contains(strOut, "START TaviDeviceProcC::procReadData\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "waiting for more data...\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "request: AT*AGLN?<CR>\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "command: AGLN\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "buffer: AT*AGLN?<CR><CR><LF>*AG\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "remaining: \n")) << strOut;
    EXPECT_TRUE(contains(strOut, "return code: 0\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "request already handled!\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "TaviDeviceRequestC::setHandled")) << strOut;
}

TEST(RequestTrace, FindResponseFailureIsTracedInHex)
{
    std::string strOut;
    {
        TraceCaptureC capture;
        ProbeC probe("AGLN", RT_READ, "s");
        deliver(probe.m_request, "\r\nOK\r\n");
        strOut = capture.take();
    }
    EXPECT_TRUE(contains(strOut, "findResponse returned: 2000003\n")) << strOut;
    EXPECT_TRUE(contains(strOut, "return code: 2000003\n")) << strOut;
}

TEST(RequestTrace, SilentWithoutRoute)
{
    testing::internal::CaptureStdout();
    ProbeC probe("AGLN", RT_READ, "s");
    deliver(probe.m_request, "\r\n*AGLN:\"x\"\r\nOK\r\n");
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(RC_OK, probe.m_request.getReturnCode());
}
