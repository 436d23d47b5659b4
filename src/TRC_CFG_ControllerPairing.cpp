// The controller's device search and pairing.
#include "TRC_CFG_TaviDeviceControllerImpl.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "TRC_CFG_ControllerFields.h"
#include "TRC_CFG_InquiryRequest.h"

#include <cstring>

using NOX::DBG::g_TaviDeviceControllerImplCLog;
using NOX::DBG::PerformanceLogC;
using NOX::TSK::GuardC;

namespace {
const char c_szInquiryCommand[] = "AGI";
const uint8_t c_unInquiryType = 2;
const uint8_t c_unInquirySecondArgument = 10;
const uint8_t c_unMaxDevices = 15;
const uint32_t c_unInquiryTimeoutMs = 15000;
const long c_lRequiredDeviceClass = 7978;
const uint32_t c_unNameQueryTimeoutMs = 4000;
const int c_nNameQueryAttempts = 2;
const uint32_t c_unReadBackTimeoutMs = 1000;
const uint32_t c_unWritePeerTimeoutMs = 5000;
const uint32_t c_unClearPeersTimeoutMs = 1000;
const uint8_t c_unPairingPeerIndex = 0;
const uint32_t c_ulPairingField3 = 130;
const uint8_t c_unPairingField4 = 0;
} // namespace

namespace TRC {
namespace CFG {

namespace {

// The name of the device at szAddress, or false when the module gives none.
bool queryName(TaviDeviceControllerImplC& controller, const std::string& strAddress,
               std::string& strName)
{
    for (int nAttempt = 0; nAttempt < c_nNameQueryAttempts; ++nAttempt) {
        TaviDeviceRequestC req("AGND", RT_WRITE, c_unNameQueryTimeoutMs);
        addFields(req, BareS{strAddress.c_str()});
        BasicStringResponseParamC name;
        req.addResponseParam(&name);
        if (controller.request(&req) == RC_OK && req.getReturnCode() == RC_OK) {
            strName = name.getValue();
            return true;
        }
    }
    return false;
}

} // namespace

uint32_t TaviDeviceControllerImplC::searchDevices(std::vector<DeviceInfoS>& devices)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::searchDevices");
    GuardC guard(m_Lock);
    const size_t unKnown = devices.size();
    DeviceInquiryRequestC inquiry(c_szInquiryCommand, c_unInquirySecondArgument, c_unInquiryType,
                                  c_unMaxDevices, c_unInquiryTimeoutMs);
    request(&inquiry);
    m_bInquiryAnswered = inquiry.getReturnCode() == RC_OK;
    m_unUnreadNames = 0;
    if (m_bInquiryAnswered) {
        TaviDeviceRequestC* pLink = inquiry.getSiblingRequest();
        for (auto* pResult = dynamic_cast<InquiryResultRequestC*>(pLink); pResult != nullptr;
             pResult = dynamic_cast<InquiryResultRequestC*>(pResult->getSiblingRequest())) {
            if (pResult->getReturnCode() != RC_OK ||
                pResult->m_deviceClass.getValue() != c_lRequiredDeviceClass) {
                continue;
            }
            std::string strAddress = pResult->m_address.getValue();
            std::string strName;
            // An address that does not fit the record could not be paired
            // with; such a device is left out. A long name is cut.
            if (strAddress.size() > DeviceInfoS::c_unMaxAddress) {
                continue;
            }
            if (!queryName(*this, strAddress, strName)) {
                ++m_unUnreadNames;
                continue;
            }
            DeviceInfoS device;
            copyField(device.szAddress, DeviceInfoS::c_unMaxAddress, strAddress.c_str());
            copyField(device.szName, DeviceInfoS::c_unMaxName, strName.c_str());
            devices.push_back(device);
            if (m_fnDeviceFound) {
                m_fnDeviceFound(device, static_cast<uint32_t>(pResult->m_deviceClass.getValue()));
            }
        }
    }
    if (isDeviceLost()) {
        // The names not asked for would pass for devices out of range.
        devices.resize(unKnown);
        m_bInquiryAnswered = false;
        return RC_FAILED;
    }
    return devices.empty() ? RC_FAILED : RC_OK;
}

uint32_t TaviDeviceControllerImplC::getPairedDevice(DeviceInfoS& device)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::getPairedDevice");
    GuardC guard(m_Lock);
    TaviDeviceRequestC req("ADRDRP", RT_WRITE, c_unReadBackTimeoutMs);
    addFields(req, c_unPairingPeerIndex);
    BasicStringResponseParamC address;
    BasicStringResponseParamC name;
    req.addResponseParam(&address);
    req.addResponseParam(&ignoredResponseParam);
    req.addResponseParam(&ignoredResponseParam);
    req.addResponseParam(&name);
    uint32_t unOutcome = runRequest(req);
    if (unOutcome == RC_OK) {
        copyField(device.szAddress, DeviceInfoS::c_unMaxAddress, address.getValue().c_str());
        copyField(device.szName, DeviceInfoS::c_unMaxName, name.getValue().c_str());
    }
    return unOutcome;
}

uint32_t TaviDeviceControllerImplC::pairDevice(const DeviceInfoS& device, bool bPeerField6)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog, "TaviDeviceControllerImplC::pairDevice");
    GuardC guard(m_Lock);
    return configureDefaultRemotePeer(c_unPairingPeerIndex, device, c_ulPairingField3,
                                      c_unPairingField4, bPeerField6);
}

uint32_t TaviDeviceControllerImplC::configureDefaultRemotePeer(uint8_t unPeerIndex,
                                                               DeviceInfoS device,
                                                               uint32_t ulPeerField3,
                                                               uint8_t unPeerField4,
                                                               bool bPeerField6)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::configureDefaultRemotePeer");
    GuardC guard(m_Lock);
    if (!device.isValid() || !isConnected()) {
        return RC_FAILED;
    }
    // A line that would pass 64 characters stays unfinished and is refused.
    TaviDeviceRequestC req("ADWDRP", RT_WRITE, c_unWritePeerTimeoutMs);
    addFields(req, unPeerIndex, BareS{device.szAddress}, ulPeerField3, unPeerField4,
              QuotedS{device.szName}, bPeerField6);
    return runRequest(req);
}

uint32_t TaviDeviceControllerImplC::configureNoRemotePeers(uint8_t unNumberOfPeers, bool bFlag)
{
    PerformanceLogC log(&g_TaviDeviceControllerImplCLog,
                        "TaviDeviceControllerImplC::configureNoRemotePeers");
    GuardC guard(m_Lock);
    if (!isConnected()) {
        return RC_FAILED;
    }
    TaviDeviceRequestC req("ADNRP", RT_WRITE, c_unClearPeersTimeoutMs);
    addFields(req, unNumberOfPeers, bFlag);
    return runRequest(req);
}

} // namespace CFG
} // namespace TRC
