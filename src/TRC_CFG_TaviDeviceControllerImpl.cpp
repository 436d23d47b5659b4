// The controller's core: port handling, the request exchange, the
// transparent command and mode switching.
#include "TRC_CFG_TaviDeviceControllerImpl.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "Nox_Dbg/NOX_DBG_LogFramework.h"
#include "TRC_CFG_PlainRequests.h"

#include <cstring>
#include <ios>

using NOX::DBG::endl;
using NOX::DBG::g_TaviDeviceControllerImplCLog;
using NOX::DBG::PerformanceLogC;
using NOX::TSK::GuardC;

namespace {
const uint32_t c_unPingTimeoutMs = 200;
const uint32_t c_unDataModeTimeoutMs = 100;
const int c_nDataModeAttempts = 2;
const uint32_t c_unProductionTimeoutMs = 1000;
// The line must stay silent this long on each side of the escape sequence.
const DWORD c_dwGuardPeriodMs = static_cast<DWORD>(1000 * 1.1);
const char c_szEscapeSequence[] = "///";
} // namespace

namespace TRC {
namespace CFG {

uint32_t loadDebugConfiguration(const char* szPath)
{
    return NOX::DBG::loadLogRoutes(szPath) == NOX::RC_OK ? RC_OK : RC_FAILED;
}

TaviDeviceControllerImplC::TaviDeviceControllerImplC() : m_pPort(nullptr) {}

TaviDeviceControllerImplC::~TaviDeviceControllerImplC()
{
    m_pPort = nullptr;
}

uint32_t TaviDeviceControllerImplC::setPort(TRC::PRT::SerialPortC* pPort)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::setPort");
    GuardC guard(m_Lock);
    m_pPort = pPort;
    return RC_OK;
}

uint32_t TaviDeviceControllerImplC::changePortSettings(const Rs232SettingsS& settings)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::changePortSettings");
    GuardC guard(m_Lock);
    if (m_pPort == nullptr) {
        return RC_FAILED;
    }
    m_pPort->SetRs232Settings(settings);
    return RC_OK;
}

uint32_t TaviDeviceControllerImplC::openPort()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::openPort");
    GuardC guard(m_Lock);
    if (m_pPort == nullptr) {
        return RC_FAILED;
    }
    return m_pPort->Connect() ? RC_OK : RC_FAILED;
}

uint32_t TaviDeviceControllerImplC::closePort()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::closePort");
    GuardC guard(m_Lock);
    if (m_pPort == nullptr) {
        return RC_FAILED;
    }
    return m_pPort->Disconnect() ? RC_OK : RC_FAILED;
}

bool TaviDeviceControllerImplC::isConnected()
{
    GuardC guard(m_Lock);
    return m_pPort != nullptr && m_pPort->IsConnected();
}

bool TaviDeviceControllerImplC::isDeviceLost()
{
    GuardC guard(m_Lock);
    return m_pPort != nullptr && m_pPort->IsDeviceLost();
}

uint32_t TaviDeviceControllerImplC::runRequest(TaviDeviceRequestC& req)
{
    uint32_t unResult = request(&req);
    return unResult != RC_OK ? unResult : req.getReturnCode();
}

uint32_t TaviDeviceControllerImplC::request(TaviDeviceRequestC* pRequest)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::request");
    if (pRequest == nullptr) {
        return RC_FAILED;
    }
    if (g_TaviDeviceControllerImplCLog.isEnabled(NOX::DBG::LVL_ALL)) {
        log << "command: " << makePrintable(pRequest->getCommand()) << endl;
    }
    GuardC guard(m_Lock);
    const bool bRecorded = !pRequest->isPing();
    if (bRecorded) {
        m_lastExchange = ExchangeS();
        m_lastExchange.m_strCommand = pRequest->getCommand();
    }
    if (!pRequest->isComplete()) {
        return RC_FAILED;
    }
    uint32_t unResult = RC_TIMEOUT;
    if (!isConnected()) {
        return RC_FAILED;
    }
    GuardC portGuard(m_pPort->getPortLock());
    // The ping is how command mode is detected, so it cannot wait for it.
    if (!pRequest->isPing() && !isCommandMode()) {
        return RC_FAILED;
    }
    log << "handling request " << pRequest->getCommand() << endl;
    m_pPort->ConnectReadConsumer(pRequest);
    const char* szLine = pRequest->getRequest();
    // A device lost before the request was registered never wakes its wait.
    if (!isDeviceLost() && m_pPort->Write(szLine, static_cast<uint32_t>(std::strlen(szLine)))) {
        m_lastExchange.m_bSent = bRecorded;
        unResult = pRequest->wait(pRequest->getTimeout());
    }
    m_pPort->ConnectReadConsumer(nullptr);
    if (isDeviceLost()) {
        // Whatever woke the wait, the answer can no longer be trusted or come.
        unResult = RC_FAILED;
    }
    log << "wait returned: " << std::hex << unResult << ", request return code: " << std::hex
        << pRequest->getReturnCode() << endl;
    if (unResult != RC_OK) {
        m_pPort->FlushBuffers(PURGE_TXCLEAR);
    }
    if (bRecorded) {
        m_lastExchange.m_unWait = unResult;
        m_lastExchange.m_unReturnCode = pRequest->getReturnCode();
    }
    return unResult;
}

ExchangeS TaviDeviceControllerImplC::lastExchange()
{
    GuardC guard(m_Lock);
    return m_lastExchange;
}

void TaviDeviceControllerImplC::setDeviceFoundHook(const DeviceFoundT& fnFound)
{
    GuardC guard(m_Lock);
    m_fnDeviceFound = fnFound;
}

uint32_t TaviDeviceControllerImplC::transparentCommand(const char* szCommand, char* pResponse)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::transparentCommand");
    GuardC guard(m_Lock);
    if (szCommand == nullptr || pResponse == nullptr || std::strlen(szCommand) > 64) {
        return RC_FAILED;
    }
    TransparentRequestC req(szCommand);
    request(&req);
    if (req.getReturnCode() != RC_OK) {
        return RC_FAILED;
    }
    std::strncpy(pResponse, req.getResponse(), c_unTransparentSize);
    pResponse[c_unTransparentSize - 1] = '\0';
    return RC_OK;
}

// ------------------------------------------------------------ mode switching

bool TaviDeviceControllerImplC::isCommandMode()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::isCommandMode");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return false;
    }
    PingRequestC ping(c_unPingTimeoutMs);
    // Any complete answer in time counts, an ERROR included.
    return request(&ping) == RC_OK;
}

uint32_t TaviDeviceControllerImplC::switchToDataMode()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::switchToDataMode");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req("ADDM", RT_EXECUTE, c_unDataModeTimeoutMs);
    uint32_t unResult = request(&req);
    for (int nAttempt = 1; unResult != RC_OK && nAttempt < c_nDataModeAttempts; ++nAttempt) {
        unResult = request(&req);
    }
    return unResult;
}

uint32_t TaviDeviceControllerImplC::switchToCommandMode()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::switchToCommandMode");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    if (isCommandMode()) {
        return RC_OK;
    }
    // A device that goes away ends a guard period at once.
    if (!m_pPort->WaitUnlessLost(c_dwGuardPeriodMs)) {
        return RC_FAILED;
    }
    log << "START write escape sequence" << endl;
    // Written directly, not as a request: nobody listens to the answer.
    bool bWritten = m_pPort->Write(c_szEscapeSequence, sizeof(c_szEscapeSequence) - 1);
    log << "END write escape sequence" << endl;
    if (!m_pPort->WaitUnlessLost(c_dwGuardPeriodMs) || !bWritten) {
        return RC_FAILED;
    }
    return isCommandMode() ? RC_OK : RC_FAILED;
}

uint32_t TaviDeviceControllerImplC::switchToProductionMode()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::switchToProductionMode");
    GuardC guard(m_Lock);
    if (!isConnected() || !isCommandMode()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req("ATP", RT_PLAIN_PREFIXED, c_unProductionTimeoutMs);
    return request(&req);
}

} // namespace CFG
} // namespace TRC
