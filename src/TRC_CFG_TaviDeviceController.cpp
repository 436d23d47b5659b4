#include "TRC_CFG_TaviDeviceController.h"

namespace TRC {
namespace CFG {

TaviDeviceControllerC::TaviDeviceControllerC()
    : m_pImpl(new TaviDeviceControllerImplC()), m_pPort(nullptr)
{}

TaviDeviceControllerC::TaviDeviceControllerC(TaviDeviceControllerImplC* pImpl)
    : m_pImpl(pImpl), m_pPort(nullptr)
{}

TaviDeviceControllerC::~TaviDeviceControllerC()
{
    delete m_pImpl;
    delete m_pPort;
}

uint32_t TaviDeviceControllerC::setPort(const std::wstring& strPortName, Rs232SettingsS settings)
{
    if (m_pPort != nullptr) {
        if (m_pImpl != nullptr) {
            m_pImpl->setPort(nullptr);
        }
        delete m_pPort;
        m_pPort = nullptr;
    }
    if (m_pImpl == nullptr) {
        return RC_WAIT_FAILED;
    }
    m_pPort = new TRC::PRT::SerialPortC();
    m_pPort->SetPortName(strPortName);
    m_pPort->SetRs232Settings(settings);
    return m_pImpl->setPort(m_pPort);
}

uint32_t TaviDeviceControllerC::switchToCommandMode()
{
    return m_pImpl != nullptr ? m_pImpl->switchToCommandMode() : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::switchToProductionMode()
{
    return m_pImpl != nullptr ? m_pImpl->switchToProductionMode() : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::openPort()
{
    return m_pImpl != nullptr ? m_pImpl->openPort() : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::closePort()
{
    return m_pImpl != nullptr ? m_pImpl->closePort() : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::changePortSettings(const Rs232SettingsS& settings)
{
    return m_pImpl != nullptr ? m_pImpl->changePortSettings(settings) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::switchToDataMode()
{
    return m_pImpl != nullptr ? m_pImpl->switchToDataMode() : RC_WAIT_FAILED;
}

bool TaviDeviceControllerC::isCommandMode()
{
    return m_pImpl != nullptr ? m_pImpl->isCommandMode() : false;
}

uint32_t TaviDeviceControllerC::searchDevices(std::vector<DeviceInfoS>& devices)
{
    return m_pImpl != nullptr ? m_pImpl->searchDevices(devices) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::pairDevice(const DeviceInfoS& device, bool bPeerField6)
{
    return m_pImpl != nullptr ? m_pImpl->pairDevice(device, bPeerField6) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::getPairedDevice(DeviceInfoS& device)
{
    return m_pImpl != nullptr ? m_pImpl->getPairedDevice(device) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::getDeviceNameAndAddress(char* pInfo)
{
    return m_pImpl != nullptr ? m_pImpl->getDeviceNameAndAddress(pInfo) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::getDeviceNameAndAddress(DeviceInfoS& device)
{
    return m_pImpl != nullptr ? m_pImpl->getDeviceNameAndAddress(device) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::getDefaultClientProfile(uint32_t* pProfile)
{
    return m_pImpl != nullptr ? m_pImpl->getDefaultClientProfile(pProfile) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::getDefaultServerProfile(uint32_t* pProfile)
{
    return m_pImpl != nullptr ? m_pImpl->getDefaultServerProfile(pProfile) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setDeviceName(const char* szName, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->setDeviceName(szName, bFlag) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setServiceName(uint32_t unNumber, const char* szName, bool bRestart)
{
    return m_pImpl != nullptr ? m_pImpl->setServiceName(unNumber, szName, bRestart)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setClassOfDevice(uint32_t unClass, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->setClassOfDevice(unClass, bFlag) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureConnectabilityMode(uint32_t unMode, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureConnectabilityMode(unMode, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureDiscoverabilityMode(uint32_t unMode, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureDiscoverabilityMode(unMode, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureWirelessMultidrop(uint8_t unSetting, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureWirelessMultidrop(unSetting, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureDefaultClientProfile(uint32_t unProfile, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureDefaultClientProfile(unProfile, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureDefaultServerProfile(uint32_t unProfile, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureDefaultServerProfile(unProfile, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureNoRemotePeers(uint8_t unNumberOfPeers, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureNoRemotePeers(unNumberOfPeers, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureFeatureMask(uint8_t unValue, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureFeatureMask(unValue, bFlag) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureDefaultRemotePeer(uint8_t unPeerIndex, DeviceInfoS device,
                                                           uint32_t ulPeerField3,
                                                           uint8_t unPeerField4, bool bPeerField6)
{
    return m_pImpl != nullptr ? m_pImpl->configureDefaultRemotePeer(
                                    unPeerIndex, device, ulPeerField3, unPeerField4, bPeerField6)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureDtrDsrSettings(uint32_t unFirst, uint32_t unSecond,
                                                        bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureDtrDsrSettings(unFirst, unSecond, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configurePowerSaveMode(uint32_t unMode, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configurePowerSaveMode(unMode, bFlag) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureSecurityMode(uint32_t unMode, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureSecurityMode(unMode, bFlag) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setFixedPin(const char* szPin, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->setFixedPin(szPin, bFlag) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setBaudRate(uint32_t ulBaudRate, bool bPersistent, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->setBaudRate(ulBaudRate, bPersistent, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setFlowControl(bool bEnable, bool bPersistent, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->setFlowControl(bEnable, bPersistent, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::getRS232Settings(Rs232SettingsS* pSettings)
{
    return m_pImpl != nullptr ? m_pImpl->getRS232Settings(pSettings) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::setRS232Settings(Rs232SettingsS settings, bool bPersistent,
                                                 bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->setRS232Settings(settings, bPersistent, bFlag)
                              : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::resetModule()
{
    return m_pImpl != nullptr ? m_pImpl->resetModule() : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::restoreFactoryDefaults()
{
    return m_pImpl != nullptr ? m_pImpl->restoreFactoryDefaults() : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::transparentCommand(const char* szCommand, char* pResponse)
{
    return m_pImpl != nullptr ? m_pImpl->transparentCommand(szCommand, pResponse) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::writeIoPin(uint8_t unPin, uint8_t unValue)
{
    return m_pImpl != nullptr ? m_pImpl->writeIoPin(unPin, unValue) : RC_WAIT_FAILED;
}

uint32_t TaviDeviceControllerC::configureSSID(const char* szSsid, bool bFlag)
{
    return m_pImpl != nullptr ? m_pImpl->configureSSID(szSsid, bFlag) : RC_WAIT_FAILED;
}

} // namespace CFG
} // namespace TRC
