// The controller's single-setting operations: each sets or reads one
// setting of the module with one command.
#include "TRC_CFG_TaviDeviceControllerImpl.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "TRC_CFG_ControllerFields.h"

#include <cstring>

using NOX::DBG::g_TaviDeviceControllerImplCLog;
using NOX::DBG::PerformanceLogC;
using NOX::TSK::GuardC;

namespace {
const uint32_t c_unCommandTimeoutMs = 1000;
const size_t c_unMaxNameLength = 15;
const size_t c_unMaxSsidLength = 32;
// The record form keeps at most this much of the module's address.
const size_t c_unRecordAddressLength = 17;

bool isShortText(const char* szText, size_t unMax)
{
    return szText != nullptr && std::strlen(szText) <= unMax;
}
} // namespace

namespace TRC {
namespace CFG {

// The shape every single-setting write shares: its trace scope, the
// controller lock, the argument and connection checks, then the request
// outcome of one write line.
template <class... FieldsT>
uint32_t TaviDeviceControllerImplC::writeSetting(const char* szScope, bool bArgumentsOk,
                                                 const char* szCommand, FieldsT... fields)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, szScope);
    GuardC guard(m_Lock);
    if (!bArgumentsOk || !isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req(szCommand, RT_WRITE, c_unCommandTimeoutMs);
    addFields(req, fields...);
    return runRequest(req);
}

uint32_t TaviDeviceControllerImplC::readNumber(const char* szCommand, uint32_t* pValue)
{
    if (!isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req(szCommand, RT_READ, c_unCommandTimeoutMs);
    NumberResponseParamC number;
    req.addResponseParam(&number);
    uint32_t unOutcome = runRequest(req);
    if (unOutcome == RC_OK && pValue != nullptr) {
        *pValue = static_cast<uint32_t>(number.getValue());
    }
    return unOutcome;
}

uint32_t TaviDeviceControllerImplC::readText(const char* szCommand, char* szField, size_t unMax)
{
    TaviDeviceRequestC req(szCommand, RT_READ, c_unCommandTimeoutMs);
    BasicStringResponseParamC text;
    req.addResponseParam(&text);
    uint32_t unResult = request(&req);
    if (unResult != RC_OK) {
        return unResult;
    }
    // An ERROR answer leaves the slot empty; the empty text is stored.
    copyField(szField, unMax, text.getValue().c_str());
    return RC_OK;
}

uint32_t TaviDeviceControllerImplC::getDeviceNameAndAddress(char* pInfo)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::getDeviceNameAndAddress");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req("AILVI", RT_READ, c_unCommandTimeoutMs);
    BasicStringResponseParamC aFields[c_unInfoSlots];
    for (BasicStringResponseParamC& field : aFields) {
        req.addResponseParam(&field);
    }
    uint32_t unResult = request(&req);
    if (unResult != RC_OK) {
        return unResult;
    }
    if (!req.areResponseParamsSet() || pInfo == nullptr) {
        return RC_FAILED;
    }
    for (size_t i = 0; i < c_unInfoSlots; ++i) {
        char* pSlot = pInfo + i * c_unInfoSlotSize;
        std::strncpy(pSlot, aFields[i].getValue().c_str(), c_unInfoSlotSize);
        pSlot[c_unInfoSlotSize - 1] = '\0';
    }
    return RC_OK;
}

uint32_t TaviDeviceControllerImplC::getDeviceNameAndAddress(DeviceInfoS& device)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::getDeviceNameAndAddress");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    uint32_t unResult = readText("AGLN", device.szName, DeviceInfoS::c_unMaxName);
    if (unResult != RC_OK) {
        return unResult;
    }
    return readText("AILBA", device.szAddress, c_unRecordAddressLength);
}

uint32_t TaviDeviceControllerImplC::getDefaultClientProfile(uint32_t* pProfile)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::getDefaultClientProfile");
    GuardC guard(m_Lock);
    return readNumber("ADDCP", pProfile);
}

uint32_t TaviDeviceControllerImplC::getDefaultServerProfile(uint32_t* pProfile)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::getDefaultServerProfile");
    GuardC guard(m_Lock);
    return readNumber("ADDSP", pProfile);
}

uint32_t TaviDeviceControllerImplC::setDeviceName(const char* szName, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::setDeviceName",
                        isShortText(szName, c_unMaxNameLength), "AGLN", QuotedS{szName}, bFlag);
}

uint32_t TaviDeviceControllerImplC::setServiceName(uint32_t unNumber, const char* szName,
                                                   bool bRestart)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::setServiceName");
    GuardC guard(m_Lock);
    if (!isShortText(szName, c_unMaxNameLength) || !isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req("ADWSN", RT_WRITE, c_unCommandTimeoutMs);
    addFields(req, unNumber, QuotedS{szName}, uint32_t{1});
    uint32_t unOutcome = runRequest(req);
    if (unOutcome == RC_OK && bRestart) {
        unOutcome = resetModule();
    }
    return unOutcome;
}

uint32_t TaviDeviceControllerImplC::setClassOfDevice(uint32_t unClass, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::setClassOfDevice", true, "AGLC", unClass,
                        bFlag);
}

uint32_t TaviDeviceControllerImplC::configureConnectabilityMode(uint32_t unMode, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureConnectabilityMode", unMode != 0,
                        "AGCM", unMode, bFlag);
}

uint32_t TaviDeviceControllerImplC::configureDiscoverabilityMode(uint32_t unMode, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureDiscoverabilityMode", unMode != 0,
                        "AGDM", unMode, bFlag);
}

uint32_t TaviDeviceControllerImplC::configureWirelessMultidrop(uint8_t unSetting, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureWirelessMultidrop", true, "ADWM",
                        unSetting, uint8_t{0}, bFlag);
}

uint32_t TaviDeviceControllerImplC::configureDefaultClientProfile(uint32_t unProfile, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureDefaultClientProfile", true, "ADDCP",
                        unProfile, bFlag);
}

uint32_t TaviDeviceControllerImplC::configureDefaultServerProfile(uint32_t unProfile, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureDefaultServerProfile", true, "ADDSP",
                        unProfile, bFlag);
}

uint32_t TaviDeviceControllerImplC::configureFeatureMask(uint8_t unValue, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureFeatureMask", true, "AMWFM",
                        uint8_t{1}, unValue, bFlag);
}

uint32_t TaviDeviceControllerImplC::configureDtrDsrSettings(uint32_t unFirst, uint32_t unSecond,
                                                            bool bFlag)
{
    return writeSetting("TaviDeviceControllerC::configureDtrDsrSettings", true, "AMDS", unFirst,
                        unSecond, bFlag);
}

uint32_t TaviDeviceControllerImplC::configurePowerSaveMode(uint32_t unMode, bool bFlag)
{
    return writeSetting("TaviDeviceControllerC::configurePowerSaveMode", true, "AMPM", unMode,
                        bFlag);
}

uint32_t TaviDeviceControllerImplC::configureSecurityMode(uint32_t unMode, bool bFlag)
{
    return writeSetting("TaviDeviceControllerC::configureSecurityMode", true, "AGSM", unMode,
                        bFlag);
}

uint32_t TaviDeviceControllerImplC::setFixedPin(const char* szPin, bool bFlag)
{
    // No length check of its own: a PIN that does not fit the line leaves
    // the request unfinished, and request() refuses it.
    return writeSetting("TaviDeviceControllerC::setFixedPin", szPin != nullptr, "AGFP",
                        QuotedS{szPin}, bFlag);
}

uint32_t TaviDeviceControllerImplC::writeIoPin(uint8_t unPin, uint8_t unValue)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::writeIoPin");
    GuardC guard(m_Lock);
    TaviDeviceRequestC req("AMWIO", RT_WRITE, c_unCommandTimeoutMs);
    addFields(req, unPin, unValue);
    // Only a missing answer or an unsendable request counts as failure.
    return request(&req);
}

uint32_t TaviDeviceControllerImplC::configureSSID(const char* szSsid, bool bFlag)
{
    return writeSetting("TaviDeviceControllerImplC::configureSSID",
                        isShortText(szSsid, c_unMaxSsidLength), "AGSSID", QuotedS{szSsid}, bFlag);
}

} // namespace CFG
} // namespace TRC
