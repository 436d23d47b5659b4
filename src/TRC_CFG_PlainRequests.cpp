#include "TRC_CFG_PlainRequests.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "Nox_Dbg/nox_dbg_perflog.h"

namespace {
const char c_szOkTerminator[] = "\r\nOK\r\n";
const char c_szErrorMarker[] = "\r\nERROR\r\n";
const uint32_t c_unPlainTimeout = 1000;
} // namespace

using NOX::DBG::g_TaviDeviceRequestCLog;
using NOX::DBG::PerformanceLogC;

namespace TRC {
namespace CFG {

PingRequestC::PingRequestC(uint32_t unTimeout) : TaviDeviceRequestC("AT", RT_PLAIN, unTimeout) {}

PingRequestC::~PingRequestC() = default;

FactorySettingsRequestC::FactorySettingsRequestC()
    : TaviDeviceRequestC("AT&F", RT_PLAIN_PREFIXED, c_unPlainTimeout)
{}

FactorySettingsRequestC::~FactorySettingsRequestC() = default;

void FactorySettingsRequestC::procReadData(const char* pData, uint16_t unCount)
{
    PerformanceLogC scope(&g_TaviDeviceRequestCLog, "FactorySettingsRequestC::procReadData");
    if (m_bHandled) {
        scope << "request already handled!" << NOX::DBG::endl;
        return;
    }
    appendData(pData, unCount);
    // The reset's result is worth knowing, and worth not waiting for.
    if (find(c_szOkTerminator, false) != c_nNotFound) {
        m_unReturnCode = RC_OK;
        setHandled(true);
    } else if (find(c_szErrorMarker, false) != c_nNotFound) {
        m_unReturnCode = RC_FAILED;
        setHandled(true);
    } else {
        setHandled(false);
    }
}

TransparentRequestC::TransparentRequestC(const char* szText)
    : TaviDeviceRequestC(szText, RT_PLAIN_PREFIXED, c_unPlainTimeout)
{}

TransparentRequestC::~TransparentRequestC() = default;

void TransparentRequestC::procReadData(const char* pData, uint16_t unCount)
{
    m_unReturnCode = RC_OK;
    appendData(pData, unCount);
    setHandled(find(c_szOkTerminator, false) != c_nNotFound);
}

} // namespace CFG
} // namespace TRC
