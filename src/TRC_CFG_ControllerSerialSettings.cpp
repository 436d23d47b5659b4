// The module's own serial settings, its reset and its factory defaults.
#include "TRC_CFG_TaviDeviceControllerImpl.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "TRC_CFG_ControllerFields.h"
#include "TRC_CFG_PlainRequests.h"

using NOX::DBG::g_TaviDeviceControllerImplCLog;
using NOX::DBG::PerformanceLogC;
using NOX::TSK::GuardC;

namespace {
const uint32_t c_unCommandTimeoutMs = 1000;
const size_t c_unSettingsFields = 5;
const uint32_t c_unFlowRtsCts = 1;
const uint32_t c_unFlowNone = 2;
} // namespace

namespace TRC {
namespace CFG {

uint32_t TaviDeviceControllerImplC::getRS232Settings(Rs232SettingsS* pSettings)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::getRS232Settings");
    GuardC guard(m_Lock);
    TaviDeviceRequestC req("AMRS", RT_READ, c_unCommandTimeoutMs);
    NumberResponseParamC aFields[c_unSettingsFields];
    for (NumberResponseParamC& field : aFields) {
        req.addResponseParam(&field);
    }
    uint32_t unOutcome = runRequest(req);
    if (!req.areResponseParamsSet() || pSettings == nullptr) {
        return RC_FAILED;
    }
    pSettings->unBaudRate = static_cast<uint32_t>(aFields[0].getValue());
    pSettings->unDataBits = static_cast<uint32_t>(aFields[1].getValue());
    pSettings->unStopBits = static_cast<uint32_t>(aFields[2].getValue());
    pSettings->unParity = static_cast<uint32_t>(aFields[3].getValue());
    pSettings->unFlowControl = static_cast<uint32_t>(aFields[4].getValue());
    return unOutcome;
}

uint32_t TaviDeviceControllerImplC::setRS232Settings(Rs232SettingsS settings, bool bPersistent,
                                                     bool bFlag)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::setRS232Settings");
    GuardC guard(m_Lock);
    TaviDeviceRequestC req("AMRS", RT_WRITE, c_unCommandTimeoutMs);
    addFields(req, settings.unBaudRate, settings.unDataBits, settings.unStopBits, settings.unParity,
              settings.unFlowControl, bPersistent, bFlag);
    uint32_t unOutcome = runRequest(req);
    if (unOutcome == RC_OK && bPersistent && m_pPort != nullptr) {
        // The host follows the module at once.
        m_pPort->SetRs232Settings(settings);
    }
    return unOutcome;
}

uint32_t TaviDeviceControllerImplC::updateSerialSettings(uint32_t unBaudCode,
                                                         uint32_t unFlowControl, bool bPersistent,
                                                         bool bFlag)
{
    // The module does not report DTR, so a following host port ends with it
    // off, as in the default record.
    Rs232SettingsS settings;
    uint32_t unResult = getRS232Settings(&settings);
    if (unResult != RC_OK) {
        return unResult;
    }
    if (unBaudCode != 0) {
        settings.unBaudRate = unBaudCode;
    }
    if (unFlowControl != 0) {
        settings.unFlowControl = unFlowControl;
    }
    return setRS232Settings(settings, bPersistent, bFlag);
}

uint32_t TaviDeviceControllerImplC::setBaudRate(uint32_t ulBaudRate, bool bPersistent, bool bFlag)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::setBaudRate(uint32_t ulBaudRate, bool "
                        "bPersistent)");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    uint32_t unCode = Rs232SettingsS::baudRateToCode(ulBaudRate);
    if (unCode == 0) {
        return RC_FAILED;
    }
    return updateSerialSettings(unCode, 0, bPersistent, bFlag);
}

uint32_t TaviDeviceControllerImplC::setFlowControl(bool bEnable, bool bPersistent, bool bFlag)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::setFlowControl");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    return updateSerialSettings(0, bEnable ? c_unFlowRtsCts : c_unFlowNone, bPersistent, bFlag);
}

uint32_t TaviDeviceControllerImplC::resetModule()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::resetModule");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req("AMWS", RT_WRITE, c_unCommandTimeoutMs);
    addFields(req, uint8_t{0}, uint8_t{0}, uint8_t{0}, uint8_t{0}, uint8_t{1}, uint8_t{0});
    // The module restarts; whether it answered first does not matter.
    request(&req);
    return RC_OK;
}

uint32_t TaviDeviceControllerImplC::restoreFactoryDefaults()
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::restoreFactoryDefaults");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    FactorySettingsRequestC req;
    request(&req);
    resetModule();
    return RC_OK;
}

} // namespace CFG
} // namespace TRC
