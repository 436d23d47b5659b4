#include "QuentaCliTrace.h"

#include "Nox_Dbg/NOX_DBG_LogConsumer.h"
#include "QuentaCliOutput.h"

#include <boost/make_shared.hpp>

#include <cstring>

namespace QUENTA {
namespace CLI {

namespace {

// A silence this long before an event is worth a line of its own: the guard
// periods of an escape sequence show up, ordinary turn-arounds do not.
const std::chrono::milliseconds c_tNotableSilence(500);
const char c_szInquiry[] = "AT*AGI=";
const char* const c_apszInquiryEnds[] = {"\r\nOK\r\n", "\r\nERROR\r\n"};
const size_t c_unTailKept = 16;

std::string quoted(const char* pData, uint32_t unCount)
{
    std::string strText = "\"";
    for (uint32_t i = 0; i < unCount; ++i) {
        strText += pData[i] == '\r'   ? std::string("\\r")
                   : pData[i] == '\n' ? std::string("\\n")
                   : pData[i] == '"'  ? std::string("\\\"")
                                      : shownByte(pData[i]);
    }
    return strText + "\"";
}

// "START name" and "1.234 ms name" (or "1.234" alone) of a call's trace
// scope, indented by depth.
bool isCallTrace(const std::string& strRecord)
{
    const size_t unText = strRecord.find_first_not_of(' ');
    if (unText == std::string::npos) {
        return false;
    }
    if (strRecord.compare(unText, 6, "START ") == 0) {
        return true;
    }
    const size_t unEnd = strRecord.find_first_not_of("0123456789.", unText);
    return unEnd != unText &&
           (unEnd == std::string::npos || strRecord.compare(unEnd, 4, " ms ") == 0 ||
            strRecord.compare(unEnd, std::string::npos, "\n") == 0);
}

// One consumer a log, so that each record says whose it is.
class LibraryRecordsC : public NOX::DBG::DbgLogConsumerC
{
public:
    LibraryRecordsC(WireTraceC& trace, const char* szLog, bool bEveryCall)
        : DbgLogConsumerC(NOX::DBG::HDR_NONE), m_trace(trace), m_strLog(szLog),
          m_bEveryCall(bEveryCall)
    {}
    void logWrite(const char* szRecord) override
    {
        std::string strRecord = szRecord;
        if (!m_bEveryCall && isCallTrace(strRecord)) {
            return;
        }
        while (!strRecord.empty() && strRecord.back() == '\n') {
            strRecord.pop_back();
        }
        m_trace.libraryRecord(m_strLog, strRecord);
    }
    std::string getName() const override { return "quenta-" + m_strLog; }

private:
    WireTraceC& m_trace;
    const std::string m_strLog;
    const bool m_bEveryCall;
};

} // namespace

WireTraceC::WireTraceC(std::FILE* pErr, bool bPrint)
    : m_pErr(pErr), m_bPrint(bPrint), m_tStart(ClockT::now()), m_tLast(m_tStart)
{
    TRC::PRT::setWireTap(this);
}

void WireTraceC::configured(uint32_t ulBaudRate, bool bRtsCts)
{
    if (m_bPrint) {
        print("line " + std::to_string(ulBaudRate) + " bit/s 8N1, " +
              (bRtsCts ? "RTS/CTS" : "no handshake"));
    }
}

void WireTraceC::sent(const char* pData, uint32_t unCount)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t unInquiry = sizeof(c_szInquiry) - 1;
        if (unCount >= unInquiry && std::memcmp(pData, c_szInquiry, unInquiry) == 0) {
            m_bInquiry = true;
            m_strInquiryTail.clear();
        }
    }
    if (m_bPrint) {
        print("-> " + quoted(pData, unCount));
    }
}

void WireTraceC::received(const char* pData, uint32_t unCount)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bInquiry) {
            m_strInquiryTail.append(pData, unCount);
            for (const char* pszEnd : c_apszInquiryEnds) {
                m_bInquiry = m_bInquiry && m_strInquiryTail.find(pszEnd) == std::string::npos;
            }
            if (m_strInquiryTail.size() > c_unTailKept) {
                m_strInquiryTail.erase(0, m_strInquiryTail.size() - c_unTailKept);
            }
        }
    }
    if (m_bPrint) {
        print("<- " + quoted(pData, unCount));
    }
}

void WireTraceC::closed()
{
    {
        // Whatever the module still sends now reaches nobody.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bInquiry = false;
    }
    if (m_bPrint) {
        print("closed");
    }
}

bool WireTraceC::inquiryUnderWay()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bInquiry;
}

void WireTraceC::print(const std::string& strEvent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const ClockT::time_point tNow = ClockT::now();
    const auto seconds = [this](ClockT::time_point t) {
        return std::chrono::duration<double>(t - m_tStart).count();
    };
    if (tNow - m_tLast >= c_tNotableSilence) {
        std::fprintf(m_pErr, "quenta: %8.3f .. %.2f s silent\n", seconds(tNow),
                     std::chrono::duration<double>(tNow - m_tLast).count());
    }
    std::fprintf(m_pErr, "quenta: %8.3f %s\n", seconds(tNow), strEvent.c_str());
    std::fflush(m_pErr);
    m_tLast = tNow;
}

void WireTraceC::showLibraryRecords(bool bEveryCall)
{
    NOX::DBG::DbgLogMgrC* pManager = NOX::DBG::DbgLogMgrC::getInstance();
    for (const char* szLog : {"TaviDeviceControllerImplC", "TaviDeviceRequestC", "SerialPortC",
                              "PortBaseC", "SystemErrorLogger"}) {
        const auto pConsumer = boost::make_shared<LibraryRecordsC>(*this, szLog, bEveryCall);
        pManager->addConsumer(pConsumer);
        pManager->addRoute(szLog, bEveryCall ? NOX::DBG::LVL_ALL : NOX::DBG::LVL_INFO,
                           pConsumer->getName());
    }
}

void WireTraceC::libraryRecord(const std::string& strLog, const std::string& strRecord)
{
    print("[" + strLog + "] " + strRecord);
}

} // namespace CLI
} // namespace QUENTA
