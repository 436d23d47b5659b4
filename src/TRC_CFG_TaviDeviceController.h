// A thin facade over the controller implementation that can also create and
// own the serial port it drives.
#pragma once

#include "TRC_CFG_TaviDeviceControllerImpl.h"

#include <string>

namespace TRC {
namespace CFG {

class TaviDeviceControllerC
{
public:
    TaviDeviceControllerC();
    TaviDeviceControllerC(const TaviDeviceControllerC&) = delete;
    TaviDeviceControllerC& operator=(const TaviDeviceControllerC&) = delete;
    virtual ~TaviDeviceControllerC();

    // Creates a port of its own with the name and settings; does not open it.
    virtual uint32_t setPort(const std::wstring& strPortName, Rs232SettingsS settings);
    virtual uint32_t openPort();
    virtual uint32_t closePort();
    virtual uint32_t changePortSettings(const Rs232SettingsS& settings);
    virtual uint32_t switchToDataMode();
    virtual bool isCommandMode();
    virtual uint32_t searchDevices(std::vector<DeviceInfoS>& devices);
    virtual uint32_t pairDevice(const DeviceInfoS& device, bool bPeerField6);
    virtual uint32_t getPairedDevice(DeviceInfoS& device);
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
    virtual uint32_t getRS232Settings(Rs232SettingsS* pSettings);
    virtual uint32_t setRS232Settings(Rs232SettingsS settings, bool bPersistent, bool bFlag);
    virtual uint32_t resetModule();
    virtual uint32_t restoreFactoryDefaults();
    virtual uint32_t transparentCommand(const char* szCommand, char* pResponse);
    virtual uint32_t writeIoPin(uint8_t unPin, uint8_t unValue);
    virtual uint32_t configureSSID(const char* szSsid, bool bFlag);

    uint32_t switchToCommandMode();
    uint32_t switchToProductionMode();

protected:
    // For a facade over another implementation; the facade takes ownership.
    explicit TaviDeviceControllerC(TaviDeviceControllerImplC* pImpl);

private:
    TaviDeviceControllerImplC* m_pImpl;
    TRC::PRT::SerialPortC* m_pPort;
};

} // namespace CFG
} // namespace TRC
