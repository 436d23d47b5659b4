#include "TRC_CFG_InquiryRequest.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "Nox_Dbg/nox_dbg_perflog.h"
#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace {
const char c_szSourceFile[] = "src\\TRC_CFG_TaviRequest";

const char c_szOkTerminator[] = "\r\nOK\r\n";
const size_t c_unOkTerminatorLength = sizeof(c_szOkTerminator) - 1;
const char c_szLineTerminator[] = "\r\n";
const char c_szErrorMarker[] = "\r\nERROR\r\n";
const char c_szInquiryCommand[] = "AGI";
const uint32_t c_unResultTimeout = 1000;

// A link that cannot be made (no memory, no semaphore) ends the chain.
TRC::CFG::InquiryResultRequestC* createLink(uint8_t unInquiryType, uint8_t unCount)
{
    try {
        return new TRC::CFG::InquiryResultRequestC(unInquiryType, unCount);
    } catch (const std::exception&) {
        return nullptr;
    }
}
} // namespace

using NOX::DBG::g_TaviDeviceRequestCLog;
using NOX::DBG::PerformanceLogC;

namespace TRC {
namespace CFG {

// ------------------------------------------------------------------ InquiryResultRequestC

InquiryResultRequestC::InquiryResultRequestC(uint8_t unInquiryType, uint8_t unCount)
    : TaviDeviceRequestC(c_szInquiryCommand, RT_LISTEN, c_unResultTimeout), m_pSibling(nullptr),
      m_unInquiryType(unInquiryType), m_unCount(unCount)
{
    NOX_ASSERT(unInquiryType > IT_INVALID);
    m_vecResponseParams.reserve(unInquiryType >= 3 ? 5 : 2);
    if (unInquiryType >= 1) {
        addResponseParam(&m_address);
        addResponseParam(&m_deviceClass);
    }
    if (unInquiryType >= 3) {
        addResponseParam(&m_flag);
        addResponseParam(&m_text);
        addResponseParam(&m_number);
    }
}

InquiryResultRequestC::~InquiryResultRequestC()
{
    delete m_pSibling;
    m_pSibling = nullptr;
}

const char* InquiryResultRequestC::getResponseTerminator() const
{
    return c_szLineTerminator;
}

TaviDeviceRequestC* InquiryResultRequestC::getSiblingRequest()
{
    if (m_pSibling == nullptr && m_unCount != 0) {
        m_pSibling = createLink(m_unInquiryType, static_cast<uint8_t>(m_unCount - 1));
    }
    return m_pSibling;
}

bool InquiryResultRequestC::isUnsolicited() const
{
    return true;
}

// ------------------------------------------------------------------ DeviceInquiryRequestC

DeviceInquiryRequestC::DeviceInquiryRequestC(const char* szCommand, uint8_t unSecondArgument,
                                             uint8_t unInquiryType, uint8_t unMaxDevices,
                                             uint32_t unTimeout)
    : TaviDeviceRequestC(szCommand, RT_WRITE, unTimeout), m_pSibling(nullptr),
      m_unInquiryType(unInquiryType), m_unMaxDevices(unMaxDevices), m_bReleaseEnabled(false)
{
    NOX_ASSERT(m_unMaxDevices > 0);
    NOX_ASSERT(m_unInquiryType > IT_INVALID);
    addParameter(m_unInquiryType);
    addParameter(unSecondArgument);
    addParameter(m_unMaxDevices);
    finishParameters();
}

DeviceInquiryRequestC::~DeviceInquiryRequestC()
{
    delete m_pSibling;
    m_pSibling = nullptr;
}

const char* DeviceInquiryRequestC::getResponseTerminator() const
{
    return c_szOkTerminator;
}

TaviDeviceRequestC* DeviceInquiryRequestC::getSiblingRequest()
{
    // A maximum of 0 allows no link at all.
    if (m_pSibling == nullptr && m_unMaxDevices > 0) {
        m_pSibling = createLink(m_unInquiryType, static_cast<uint8_t>(m_unMaxDevices - 1));
    }
    return m_pSibling;
}

void DeviceInquiryRequestC::setHandled(bool bHandled)
{
    m_bHandled = bHandled;
    if (bHandled && m_bReleaseEnabled && m_unReturnCode != RC_TIMEOUT) {
        signal();
    }
}

void DeviceInquiryRequestC::procReadData(const char* pData, uint16_t unCount)
{
    PerformanceLogC scope(&g_TaviDeviceRequestCLog, "DeviceInquiryRequestC::procReadData");
    NOX_ASSERT(0 != getSiblingRequest());
    // The outcome is decided once; a late byte must neither change it nor
    // release the caller a second time.
    if (m_bHandled) {
        scope << "request already handled!" << NOX::DBG::endl;
        return;
    }
    const uint16_t unOldCount = m_unFillCount;
    appendData(pData, unCount);

    if (endsWithOk() &&
        static_cast<size_t>(find(c_szOkTerminator, false)) + c_unOkTerminatorLength ==
            m_unFillCount) {
        completeAnswer();
    } else if (containsFrom(c_szErrorMarker, unOldCount)) {
        // Released at once: waiting out the time-out would change nothing.
        m_unReturnCode = RC_FAILED;
        m_bReleaseEnabled = true;
        setHandled(true);
    }
}

bool DeviceInquiryRequestC::endsWithOk() const
{
    return m_unFillCount >= c_unOkTerminatorLength &&
           std::memcmp(m_pszResponse + m_unFillCount - c_unOkTerminatorLength, c_szOkTerminator,
                       c_unOkTerminatorLength) == 0;
}

// The data before this delivery held no marker, or the inquiry would be
// handled: only a marker that reaches into the new bytes can be there.
bool DeviceInquiryRequestC::containsFrom(const char* szNeedle, uint16_t unOldCount) const
{
    const size_t unLength = std::strlen(szNeedle);
    const size_t unFrom = unOldCount >= unLength ? unOldCount - (unLength - 1) : 0;
    const char* pEnd = m_pszResponse + m_unFillCount;
    const char* pFrom = m_pszResponse + unFrom;
    return std::search(pFrom, pEnd, szNeedle, szNeedle + unLength) != pEnd;
}

void DeviceInquiryRequestC::completeAnswer()
{
    const char* szLine = getRequest();
    size_t unLineLength = std::strlen(szLine);
    if (unLineLength > 0 && find(szLine, false) == 0) {
        consume(static_cast<uint32_t>(unLineLength));
    }
    if (find(c_szLineTerminator, false) == 0) {
        consume(2);
    }
    m_unReturnCode = RC_OK;
    m_bReleaseEnabled = false;
    setHandled(true);
    // Handled already, so the processing passes the text on to the chain.
    TaviDeviceProcC::procReadData(m_pszResponse, m_unFillCount);
    m_bReleaseEnabled = true;
    setHandled(true);
}

} // namespace CFG
} // namespace TRC
