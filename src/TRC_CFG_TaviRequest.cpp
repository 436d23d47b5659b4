#include "TRC_CFG_TaviRequest.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "Nox_Dbg/nox_dbg_perflog.h"
#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// The field scratch buffer must not sit in the frames of procReadData, which
// recurse once per link of an inquiry chain.
#if defined(__GNUC__)
#define TRC_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define TRC_NOINLINE __declspec(noinline)
#else
#define TRC_NOINLINE
#endif

namespace {
const char c_szSourceFile[] = "src\\TRC_CFG_TaviRequest";

const char c_szOkTerminator[] = "\r\nOK\r\n";
const char c_szLineTerminator[] = "\r\n";
const char c_szErrorMarker[] = "\r\nERROR\r\n";
const size_t c_unErrorMarkerLength = sizeof(c_szErrorMarker) - 1;
const size_t c_unMaxCommandLength = 6;
// The text, CR and NUL must fit the line.
const size_t c_unMaxPrefixedLength = 63;
const size_t c_unPrefixedCommandLength = 5;
} // namespace

using NOX::DBG::g_TaviDeviceRequestCLog;
using NOX::DBG::PerformanceLogC;

namespace TRC {
namespace CFG {

std::string makePrintable(const char* szText)
{
    std::string strText;
    if (szText == nullptr) {
        return strText;
    }
    for (const char* p = szText; *p != '\0'; ++p) {
        if (*p == '\r') {
            strText += "<CR>";
        } else if (*p == '\n') {
            strText += "<LF>";
        } else {
            strText += *p;
        }
    }
    return strText;
}

// ------------------------------------------------------------------ TaviDeviceProcC

TaviDeviceProcC::TaviDeviceProcC()
    : m_pRequest(nullptr), m_unReturnCode(RC_TIMEOUT), m_unFillCount(0), m_pszResponse(m_szBuffer)
{
    std::memset(m_szBuffer, 0, sizeof(m_szBuffer));
}

TaviDeviceProcC::~TaviDeviceProcC()
{
    m_pszResponse = nullptr;
    m_pRequest = nullptr;
}

void TaviDeviceProcC::appendData(const char* pData, uint16_t unCount)
{
    NOX_ASSERT((m_szBuffer + MAX_RESPONSE) >= (m_pszResponse + m_unFillCount));
    char* pEnd = m_pszResponse + m_unFillCount;
    if (pEnd > m_szBuffer + MAX_RESPONSE) {
        return;
    }
    size_t unRoom = static_cast<size_t>((m_szBuffer + MAX_RESPONSE) - pEnd);
    uint16_t unCpyLen = static_cast<uint16_t>(std::min<size_t>(unCount, unRoom));
    if (pData == nullptr) {
        unCpyLen = 0;
    }
    NOX_ASSERT(m_pszResponse + unCpyLen <= (m_szBuffer + MAX_RESPONSE));
    if (unCpyLen > 0) {
        std::memmove(pEnd, pData, unCpyLen);
    }
    m_unFillCount = static_cast<uint16_t>(m_unFillCount + unCpyLen);
    m_pszResponse[m_unFillCount] = '\0';
}

void TaviDeviceProcC::consume(uint32_t unCount)
{
    if (unCount > m_unFillCount) {
        NOX_ASSERT(false);
        return;
    }
    m_pszResponse += unCount;
    m_unFillCount = static_cast<uint16_t>(m_unFillCount - unCount);
    NOX_ASSERT((m_szBuffer + MAX_RESPONSE) >= (m_pszResponse + m_unFillCount));
}

int32_t TaviDeviceProcC::find(const char* szNeedle, bool bQuoteAware, const char* pLimit) const
{
    if (szNeedle == nullptr || szNeedle[0] == '\0') {
        return c_nNotFound;
    }
    const char* pEnd = getDataEnd();
    if (pLimit != nullptr && pLimit < pEnd) {
        pEnd = pLimit;
    }
    const size_t unLength = std::strlen(szNeedle);
    const char* pPos = m_pszResponse;
    // The quotes are searched again only once the position has passed the
    // opening quote: until then the first quote at or after it is the same.
    const char* pOpen = nullptr;
    const char* pClose = nullptr;
    bool bQuotesKnown = false;
    while (pPos < pEnd) {
        if (bQuoteAware && (!bQuotesKnown || (pOpen != nullptr && pOpen < pPos))) {
            pOpen = static_cast<const char*>(std::memchr(pPos, '"', pEnd - pPos));
            pClose =
                pOpen == nullptr
                    ? nullptr
                    : static_cast<const char*>(std::memchr(pOpen + 1, '"', pEnd - (pOpen + 1)));
            bQuotesKnown = true;
        }
        const char* pCandidate =
            static_cast<const char*>(std::memchr(pPos, szNeedle[0], pEnd - pPos));
        if (pCandidate == nullptr || static_cast<size_t>(pEnd - pCandidate) < unLength) {
            return c_nNotFound;
        }
        if (std::memcmp(pCandidate, szNeedle, unLength) == 0) {
            bool bQuoted = bQuoteAware && pOpen != nullptr && pOpen <= pCandidate &&
                           pClose != nullptr && pClose >= pCandidate;
            if (!bQuoted) {
                return static_cast<int32_t>(pCandidate - m_pszResponse);
            }
            pPos = pClose + 1;
        } else {
            pPos = pCandidate + 1;
        }
    }
    return c_nNotFound;
}

void TaviDeviceProcC::removeEcho()
{
    const char* szLine = m_pRequest->getRequest();
    size_t unLength = szLine == nullptr ? 0 : std::strlen(szLine);
    if (unLength > 0 && unLength <= m_unFillCount &&
        std::memcmp(m_pszResponse, szLine, unLength) == 0) {
        consume(static_cast<uint32_t>(unLength));
    }
}

void TaviDeviceProcC::procReadData(const char* pData, uint16_t unCount)
{
    PerformanceLogC scope(&g_TaviDeviceRequestCLog, "TaviDeviceProcC::procReadData");
    NOX_ASSERT(0 != m_pRequest);
    if (m_pRequest == nullptr) {
        return;
    }
    if (m_pRequest->isHandled()) {
        scope << "request already handled!" << NOX::DBG::endl;
        TaviDeviceRequestC* pSibling = m_pRequest->getSiblingRequest();
        if (pSibling != nullptr) {
            scope << "forwarding to sibling!" << NOX::DBG::endl;
            pSibling->procReadData(pData, unCount);
        }
        return;
    }

    appendData(pData, unCount);
    const bool bDetailed = g_TaviDeviceRequestCLog.isEnabled(NOX::DBG::LVL_ALL);
    if (bDetailed) {
        scope << "request: " << makePrintable(m_pRequest->getRequest()) << NOX::DBG::endl;
        scope << "command: " << makePrintable(m_pRequest->getCommand()) << NOX::DBG::endl;
        scope << "buffer: " << makePrintable(m_pszResponse) << NOX::DBG::endl;
    }
    removeEcho();

    if (find(m_pRequest->getResponseTerminator(), false) != c_nNotFound) {
        completeResponse(scope);
    } else {
        int32_t nError = find(c_szErrorMarker, false);
        if (nError != c_nNotFound) {
            consume(static_cast<uint32_t>(nError + c_unErrorMarkerLength));
            m_unReturnCode = RC_FAILED;
            m_pRequest->setHandled(true);
        } else if (m_unFillCount < MAX_RESPONSE) {
            scope << "waiting for more data..." << NOX::DBG::endl;
            return;
        } else {
            // Full without a final result: the verdict is kept but nobody is
            // woken, so the caller's wait ends by its time-out.
            m_unReturnCode = RC_BAD_RESPONSE;
        }
    }

    if (bDetailed) {
        scope << "remaining: " << makePrintable(m_pszResponse) << NOX::DBG::endl;
        scope << "return code: " << std::hex << m_unReturnCode << NOX::DBG::endl;
    }
}

void TaviDeviceProcC::completeResponse(PerformanceLogC& scope)
{
    m_unReturnCode = RC_OK;
    if (!m_pRequest->getResponseParams().empty()) {
        int32_t nParamStart = 0;
        int32_t nTerminator = 0;
        uint32_t unResult = findResponse(nParamStart, nTerminator);
        if (unResult != RC_OK) {
            m_unReturnCode = unResult;
            scope << "findResponse returned: " << std::hex << unResult << NOX::DBG::endl;
        } else {
            extractParameters(nParamStart, nTerminator);
        }
    }

    const char* szTerminator = m_pRequest->getResponseTerminator();
    int32_t nTerminator = find(szTerminator, false);
    if (nTerminator != c_nNotFound) {
        consume(static_cast<uint32_t>(nTerminator + std::strlen(szTerminator)));
    }
    m_pRequest->setHandled(true);
    if (m_unFillCount > 0) {
        forwardRemaining(scope);
    }
}

void TaviDeviceProcC::forwardRemaining(PerformanceLogC& scope)
{
    TaviDeviceRequestC* pSibling = m_pRequest->getSiblingRequest();
    if (pSibling != nullptr) {
        scope << "forwarding to sibling!" << NOX::DBG::endl;
        pSibling->procReadData(m_pszResponse, m_unFillCount);
    } else {
        // Handled by now: this only traces and keeps the bytes.
        TaviDeviceProcC::procReadData(m_pszResponse, m_unFillCount);
    }
}

uint32_t TaviDeviceProcC::findResponse(int32_t& nParamStart, int32_t& nTerminator)
{
    PerformanceLogC scope(&g_TaviDeviceRequestCLog, "TaviDeviceProcC::findResponse");
    NOX_ASSERT(0 != m_pRequest);
    if (m_pRequest == nullptr) {
        return RC_BAD_RESPONSE;
    }
    const char* szPrefix = m_pRequest->getResponsePrefix();
    const char* szTerminator = m_pRequest->getResponseTerminator();
    if (szPrefix == nullptr || szTerminator == nullptr || szTerminator[0] == '\0') {
        return RC_BAD_RESPONSE;
    }
    int32_t nPrefix = find(szPrefix, false);
    if (nPrefix == c_nNotFound) {
        return RC_BAD_RESPONSE;
    }
    int32_t nStart = nPrefix + static_cast<int32_t>(std::strlen(szPrefix));
    int32_t nEnd = find(szTerminator, false);
    if (nEnd == c_nNotFound || nEnd <= nStart) {
        return RC_BAD_RESPONSE;
    }
    nParamStart = nStart;
    nTerminator = nEnd;
    return RC_OK;
}

// Fields are searched within the result line only, so a line short of a
// field fails on its own and leaves the lines after it intact. Every field,
// the last included, ends at a comma (outside quotes for strings).
TRC_NOINLINE void TaviDeviceProcC::extractParameters(int32_t nParamStart, int32_t nTerminator)
{
    const char* szTerminator = m_pRequest->getResponseTerminator();
    const char* pEnd = m_pszResponse + nTerminator;
    const char* pLineEnd = pEnd + std::strlen(szTerminator);
    consume(static_cast<uint32_t>(nParamStart));

    const ResponseParamVectorT& vecParams = m_pRequest->getResponseParams();
    size_t unServed = 0;
    while (unServed < vecParams.size() && m_pszResponse <= pEnd) {
        ResponseParamI* pParam = vecParams[unServed];
        const bool bLast = unServed + 1 == vecParams.size();
        const bool bQuoteAware = dynamic_cast<BasicStringResponseParamC*>(pParam) != nullptr;
        int32_t nSeparator = find(",", bQuoteAware, pLineEnd);
        if (bLast) {
            // A comma before the terminator leaves a field over: it stays
            // unconsumed, and the line is refused below.
            int32_t nTerminatorAt = find(szTerminator, bQuoteAware, pLineEnd);
            if (nSeparator == c_nNotFound || nTerminatorAt < nSeparator) {
                nSeparator = nTerminatorAt;
            }
        }
        if (nSeparator == c_nNotFound) {
            break;
        }
        char szField[MAX_RESPONSE + 1];
        size_t unLength = std::min<size_t>(static_cast<size_t>(nSeparator), MAX_RESPONSE);
        std::memcpy(szField, m_pszResponse, unLength);
        szField[unLength] = '\0';
        consume(static_cast<uint32_t>(bLast ? nSeparator : nSeparator + 1));
        pParam->setValue(szField);
        ++unServed;
    }
    if (unServed < vecParams.size() || m_pszResponse != pEnd) {
        m_unReturnCode = RC_BAD_RESPONSE;
    }
}

// ------------------------------------------------------------------ TaviDeviceRequestC

TaviDeviceRequestC::TaviDeviceRequestC(const char* szCommand, uint32_t unRequestType,
                                       uint32_t unTimeout)
    : m_unRequestType(unRequestType), m_bComplete(false), m_bHandled(false), m_unTimeout(unTimeout)
{
    m_pRequest = this;
    std::memset(m_szCommand, 0, sizeof(m_szCommand));
    std::memset(m_szRequest, 0, sizeof(m_szRequest));
    std::memset(m_szResponsePrefix, 0, sizeof(m_szResponsePrefix));
    formatCommand(szCommand);
}

TaviDeviceRequestC::~TaviDeviceRequestC() = default;

void TaviDeviceRequestC::formatCommand(const char* szCommand)
{
    if (m_unRequestType == RT_PLAIN_PREFIXED) {
        formatPrefixedCommand(szCommand);
        return;
    }
    if (szCommand == nullptr ||
        ::strnlen(szCommand, c_unMaxCommandLength + 1) > c_unMaxCommandLength) {
        return;
    }
    std::snprintf(m_szCommand, sizeof(m_szCommand), "%s", szCommand);
    std::snprintf(m_szResponsePrefix, sizeof(m_szResponsePrefix), "*%s:", szCommand);
    switch (m_unRequestType) {
    case RT_LISTEN:
        break;
    case RT_PLAIN:
        std::snprintf(m_szRequest, sizeof(m_szRequest), "%s\r", szCommand);
        m_bComplete = true;
        break;
    case RT_READ:
        std::snprintf(m_szRequest, sizeof(m_szRequest), "AT*%s?\r", szCommand);
        m_bComplete = true;
        break;
    case RT_WRITE:
        std::snprintf(m_szRequest, sizeof(m_szRequest), "AT*%s=", szCommand);
        break;
    case RT_EXECUTE:
        std::snprintf(m_szRequest, sizeof(m_szRequest), "AT*%s\r", szCommand);
        m_bComplete = true;
        break;
    default:
        NOX_ASSERT(false);
        break;
    }
}

void TaviDeviceRequestC::formatPrefixedCommand(const char* szCommand)
{
    if (szCommand == nullptr ||
        ::strnlen(szCommand, c_unMaxPrefixedLength + 1) > c_unMaxPrefixedLength) {
        return;
    }
    std::snprintf(m_szCommand, sizeof(m_szCommand), "%.*s",
                  static_cast<int>(c_unPrefixedCommandLength), szCommand);
    std::snprintf(m_szRequest, sizeof(m_szRequest), "%s\r", szCommand);
    std::snprintf(m_szResponsePrefix, sizeof(m_szResponsePrefix), "%s:", szCommand);
    m_bComplete = true;
}

const char* TaviDeviceRequestC::getRequest() const
{
    return m_szRequest;
}

const char* TaviDeviceRequestC::getCommand() const
{
    return m_szCommand;
}

const char* TaviDeviceRequestC::getResponse() const
{
    return m_szBuffer;
}

const char* TaviDeviceRequestC::getResponsePrefix() const
{
    return m_szResponsePrefix[0] == '\0' ? nullptr : m_szResponsePrefix;
}

const char* TaviDeviceRequestC::getResponseTerminator() const
{
    return isUnsolicited() ? c_szLineTerminator : c_szOkTerminator;
}

const ResponseParamVectorT& TaviDeviceRequestC::getResponseParams() const
{
    return m_vecResponseParams;
}

TaviDeviceRequestC* TaviDeviceRequestC::getSiblingRequest()
{
    return nullptr;
}

bool TaviDeviceRequestC::isUnsolicited() const
{
    return false;
}

uint32_t TaviDeviceRequestC::getTimeout() const
{
    return m_unTimeout;
}

void TaviDeviceRequestC::setHandled(bool bHandled)
{
    PerformanceLogC scope(&g_TaviDeviceRequestCLog, "TaviDeviceRequestC::setHandled");
    if (bHandled == m_bHandled) {
        return;
    }
    m_bHandled = bHandled;
    if (m_bHandled && m_unReturnCode != RC_TIMEOUT && isHandledWithSiblings()) {
        signal();
    }
}

bool TaviDeviceRequestC::isHandledWithSiblings()
{
    TaviDeviceRequestC* pSibling = getSiblingRequest();
    if (pSibling == nullptr) {
        return m_bHandled;
    }
    return m_bHandled && pSibling->isHandledWithSiblings();
}

bool TaviDeviceRequestC::areResponseParamsSet() const
{
    for (const ResponseParamI* pParam : m_vecResponseParams) {
        if (!pParam->m_bValid) {
            return false;
        }
    }
    return true;
}

bool TaviDeviceRequestC::acceptsParameter()
{
    // An empty write line means the command word was refused, or a
    // parameter was: the line must never be finished.
    if (m_unRequestType != RT_WRITE || m_bComplete || m_szRequest[0] == '\0') {
        NOX_ASSERT(false);
        return false;
    }
    return true;
}

void TaviDeviceRequestC::appendToLine(const char* szOpen, const char* szValue, const char* szClose)
{
    size_t unUsed = std::strlen(m_szRequest);
    size_t unRoom = sizeof(m_szRequest) - unUsed;
    int nWritten = std::snprintf(m_szRequest + unUsed, unRoom, "%s%s%s", szOpen, szValue, szClose);
    if (nWritten < 0 || static_cast<size_t>(nWritten) >= unRoom) {
        NOX_ASSERT(false);
        m_szRequest[0] = '\0';
    }
}

void TaviDeviceRequestC::addParameter(const char* szValue, bool bQuoted)
{
    if (!acceptsParameter()) {
        return;
    }
    const char* szSafeValue = szValue != nullptr ? szValue : "";
    if (bQuoted) {
        appendToLine("\"", szSafeValue, "\",");
    } else {
        appendToLine("", szSafeValue, ",");
    }
}

void TaviDeviceRequestC::addParameter(int32_t nValue)
{
    if (!acceptsParameter()) {
        return;
    }
    char szNumber[16];
    std::snprintf(szNumber, sizeof(szNumber), "%d", static_cast<int>(nValue));
    appendToLine("", szNumber, ",");
}

void TaviDeviceRequestC::addParameter(uint32_t unValue)
{
    addParameter(static_cast<int32_t>(unValue));
}

void TaviDeviceRequestC::addParameter(uint8_t unValue)
{
    addParameter(static_cast<int32_t>(unValue));
}

void TaviDeviceRequestC::finishParameters()
{
    if (!acceptsParameter()) {
        return;
    }
    size_t unLength = std::strlen(m_szRequest);
    if (m_szRequest[unLength - 1] != ',') {
        NOX_ASSERT(false);
        return;
    }
    m_szRequest[unLength - 1] = '\r';
    m_bComplete = true;
}

void TaviDeviceRequestC::addResponseParam(ResponseParamI* pParam)
{
    NOX_ASSERT(0 != pParam);
    if (pParam != nullptr) {
        m_vecResponseParams.push_back(pParam);
    }
}

} // namespace CFG
} // namespace TRC
