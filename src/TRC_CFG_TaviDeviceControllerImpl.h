// The only way the library talks to the radio module: one serial port, all
// work on the module serialised by one lock, every command run through
// request(), and one operation per module function.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "TRC_CFG_DeviceInfo.h"
#include "TRC_CFG_TaviRequest.h"
#include "TRC_PRT_SerialPort.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace TRC {
namespace CFG {

using TRC::PRT::Rs232SettingsS;

// A load of the debug definition file at szPath: RC_FAILED when it cannot be
// opened.
uint32_t loadDebugConfiguration(const char* szPath);

// The last exchange of a command other than a ping: its word, whether its
// line went out (a module that left command mode is not sent it), the wait's
// result and the request's own code.
struct ExchangeS
{
    std::string m_strCommand;
    bool m_bSent = false;
    uint32_t m_unWait = RC_FAILED;
    uint32_t m_unReturnCode = RC_TIMEOUT;
};

class TaviDeviceControllerImplC
{
public:
    // Told of each device a search lists, as it is added, with the device
    // class the inquiry gave for it.
    typedef std::function<void(const DeviceInfoS&, uint32_t unClass)> DeviceFoundT;

    // The module information buffer of the first getDeviceNameAndAddress.
    static constexpr size_t c_unInfoSlots = 5;
    static constexpr size_t c_unInfoSlotSize = 2000;
    // The response buffer of transparentCommand.
    static constexpr size_t c_unTransparentSize = 2000;

    TaviDeviceControllerImplC();
    TaviDeviceControllerImplC(const TaviDeviceControllerImplC&) = delete;
    TaviDeviceControllerImplC& operator=(const TaviDeviceControllerImplC&) = delete;
    // Neither closes nor deletes the port.
    virtual ~TaviDeviceControllerImplC();

    // The port is not owned; null detaches it.
    virtual uint32_t setPort(TRC::PRT::SerialPortC* pPort);
    virtual uint32_t changePortSettings(const Rs232SettingsS& settings);
    virtual uint32_t openPort();
    virtual uint32_t closePort();
    virtual uint32_t switchToDataMode();
    virtual bool isCommandMode();
    virtual uint32_t searchDevices(std::vector<DeviceInfoS>& devices);
    virtual uint32_t pairDevice(const DeviceInfoS& device, bool bPeerField6);
    virtual uint32_t getPairedDevice(DeviceInfoS& device);
    // pInfo: five slots of 2000 bytes.
    virtual uint32_t getDeviceNameAndAddress(char* pInfo);
    virtual uint32_t getDeviceNameAndAddress(DeviceInfoS& device);
    virtual uint32_t getDefaultClientProfile(uint32_t* pProfile);
    virtual uint32_t getDefaultServerProfile(uint32_t* pProfile);
    virtual uint32_t setDeviceName(const char* szName, bool bFlag);
    virtual uint32_t setServiceName(uint32_t unNumber, const char* szName, bool bRestart);
    virtual uint32_t setClassOfDevice(uint32_t unClass, bool bFlag);
    virtual uint32_t configureConnectabilityMode(uint32_t unMode, bool bFlag);
    virtual uint32_t configureDiscoverabilityMode(uint32_t unMode, bool bFlag);
    virtual uint32_t configureWirelessMultidrop(uint8_t unSetting, bool bFlag);
    virtual uint32_t configureDefaultClientProfile(uint32_t unProfile, bool bFlag);
    virtual uint32_t configureDefaultServerProfile(uint32_t unProfile, bool bFlag);
    virtual uint32_t configureNoRemotePeers(uint8_t unNumberOfPeers, bool bFlag);
    virtual uint32_t configureFeatureMask(uint8_t unValue, bool bFlag);
    virtual uint32_t configureDefaultRemotePeer(uint8_t unPeerIndex, DeviceInfoS device,
                                                uint32_t ulPeerField3, uint8_t unPeerField4,
                                                bool bPeerField6);
    virtual uint32_t configureDtrDsrSettings(uint32_t unFirst, uint32_t unSecond, bool bFlag);
    virtual uint32_t configurePowerSaveMode(uint32_t unMode, bool bFlag);
    virtual uint32_t configureSecurityMode(uint32_t unMode, bool bFlag);
    virtual uint32_t setFixedPin(const char* szPin, bool bFlag);
    virtual uint32_t setBaudRate(uint32_t ulBaudRate, bool bPersistent, bool bFlag);
    virtual uint32_t setFlowControl(bool bEnable, bool bPersistent, bool bFlag);
    virtual uint32_t resetModule();
    virtual uint32_t restoreFactoryDefaults();
    virtual uint32_t getRS232Settings(Rs232SettingsS* pSettings);
    virtual uint32_t setRS232Settings(Rs232SettingsS settings, bool bPersistent, bool bFlag);
    // pResponse: at least 2000 bytes.
    virtual uint32_t transparentCommand(const char* szCommand, char* pResponse);
    virtual uint32_t writeIoPin(uint8_t unPin, uint8_t unValue);
    virtual uint32_t configureSSID(const char* szSsid, bool bFlag);
    // One exchange: the wait result, not whether the module accepted it.
    virtual uint32_t request(TaviDeviceRequestC* pRequest);

    bool isConnected();
    // The port's device went away and has not been opened again since.
    bool isDeviceLost();
    uint32_t switchToCommandMode();
    uint32_t switchToProductionMode();
    // Whether the last searchDevices got the module's whole inquiry answer,
    // so that a search without devices can be told from a silent module.
    bool lastInquiryAnswered() const { return m_bInquiryAnswered; }
    // Devices of the last searchDevices left out because no name came for them.
    uint32_t lastUnreadNames() const { return m_unUnreadNames; }
    ExchangeS lastExchange();
    void setDeviceFoundHook(const DeviceFoundT& fnFound);

private:
    // The result of request() when it failed, else the request's own code.
    uint32_t runRequest(TaviDeviceRequestC& req);
    template <class... FieldsT>
    uint32_t writeSetting(const char* szScope, bool bArgumentsOk, const char* szCommand,
                          FieldsT... fields);
    uint32_t readNumber(const char* szCommand, uint32_t* pValue);
    uint32_t readText(const char* szCommand, char* szField, size_t unMax);
    uint32_t updateSerialSettings(uint32_t unBaudCode, uint32_t unFlowControl, bool bPersistent,
                                  bool bFlag);

    NOX::TSK::CriticalSectionC m_Lock;
    bool m_bInquiryAnswered = false;
    uint32_t m_unUnreadNames = 0;
    ExchangeS m_lastExchange;
    DeviceFoundT m_fnDeviceFound;
    TRC::PRT::SerialPortC* m_pPort;
};

} // namespace CFG
} // namespace TRC
