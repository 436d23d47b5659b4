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

class StandardErrorConsumerC : public NOX::DBG::DbgLogConsumerC
{
public:
    StandardErrorConsumerC() : DbgLogConsumerC(NOX::DBG::HDR_NONE) {}
    void logWrite(const char* szRecord) override
    {
        std::fputs(szRecord, stderr);
        std::fflush(stderr);
    }
    std::string getName() const override { return "quenta-stderr"; }
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

void traceLibraryToStandardError()
{
    NOX::DBG::DbgLogMgrC* pManager = NOX::DBG::DbgLogMgrC::getInstance();
    pManager->addConsumer(boost::make_shared<StandardErrorConsumerC>());
    for (const char* szLog :
         {"TaviDeviceControllerImplC", "TaviDeviceRequestC", "SerialPortC", "PortBaseC"}) {
        pManager->addRoute(szLog, NOX::DBG::LVL_ALL, "quenta-stderr");
    }
}

} // namespace CLI
} // namespace QUENTA
