#include "QUENTA_QuentaConfiguratorImpl.h"

#include "Nox_Err/NOX_ERR_Codes.h"

#include <cstring>

using NOX::RC_OK;
using TRC::CFG::DeviceInfoS;
using TRC::PRT::Rs232SettingsS;

namespace {
// Created at load; every configurator object reads and writes it, under
// defaultsLock() when objects run in several threads.
Rs232SettingsS s_Rs232Defaults;
// Whether the last preparation of a handle reached the module's command mode.
std::atomic<bool> s_bHandleFoundCommandMode{false};

NOX::TSK::CriticalSectionC& defaultsLock()
{
    // Never destroyed: an object may still be made while statics go away.
    static NOX::TSK::CriticalSectionC* s_pLock = new NOX::TSK::CriticalSectionC();
    return *s_pLock;
}

const uint32_t c_unFlowRtsCts = 1;
const uint32_t c_unFlowNone = 2;
const DWORD c_dwHandleTimeoutMs = 200;
const DWORD c_dwHandleSettleMs = 100;
const DWORD c_dwHandleEventMask = EV_RXCHAR | EV_RLSD | EV_ERR | EV_EVENT1;
} // namespace

namespace QUENTA {

const wchar_t QuentaConfiguratorImplC::c_szPortName[] = L"COM8:";

QuentaConfiguratorImplC::QuentaConfiguratorImplC()
    : m_pController(new TRC::CFG::TaviDeviceControllerImplC()),
      m_pPort(new TRC::PRT::SerialPortC()), m_bConfigured(false), m_lReferences(1)
{
    Rs232SettingsS settings;
    {
        NOX::TSK::GuardC guard(defaultsLock());
        s_Rs232Defaults.bDtrDsr = true;
        s_Rs232Defaults.unBaudRate = c_unSlowBaudCode;
        s_Rs232Defaults.unFlowControl = c_unFlowRtsCts;
        settings = s_Rs232Defaults;
    }
    m_pPort->SetRs232Settings(settings);
    m_pPort->SetPortName(c_szPortName);
    m_pController->setPort(m_pPort);
}

QuentaConfiguratorImplC::QuentaConfiguratorImplC(const std::wstring& strPortName)
    : m_pController(new TRC::CFG::TaviDeviceControllerImplC()),
      m_pPort(new TRC::PRT::SerialPortC()), m_bConfigured(false),
      m_pOwnDefaults(new Rs232SettingsS()), m_lReferences(1)
{
    m_pOwnDefaults->bDtrDsr = true;
    m_pOwnDefaults->unBaudRate = c_unSlowBaudCode;
    m_pOwnDefaults->unFlowControl = c_unFlowRtsCts;
    m_pPort->SetRs232Settings(*m_pOwnDefaults);
    m_pPort->SetPortName(strPortName);
    m_pController->setPort(m_pPort);
}

QuentaConfiguratorImplC::~QuentaConfiguratorImplC()
{
    guarded(false, [this] { return switchToDataMode(); });
    delete m_pController;
    if (m_pPort != nullptr) {
        m_pPort->Disconnect();
        delete m_pPort;
    }
}

void QuentaConfiguratorImplC::makeSettings(Rs232SettingsS& settingA, Rs232SettingsS& settingB)
{
    // The second setting stays in the template, so a later search starts
    // from the flow control it left there.
    auto fnMake = [&](Rs232SettingsS& defaults) {
        defaults.unBaudRate = c_unFastBaudCode;
        settingA = defaults;
        defaults.unBaudRate = c_unSlowBaudCode;
        defaults.unFlowControl = c_unFlowNone;
        settingB = defaults;
    };
    if (m_pOwnDefaults) {
        fnMake(*m_pOwnDefaults);
        return;
    }
    NOX::TSK::GuardC guard(defaultsLock());
    fnMake(s_Rs232Defaults);
}

bool QuentaConfiguratorImplC::ensureCommandMode()
{
    m_eStage = ST_NONE;
    m_bLostAtStart = m_pPort->IsDeviceLost();
    m_bReopened = false;
    if (m_pController->isCommandMode()) {
        return true;
    }
    Rs232SettingsS settingA;
    Rs232SettingsS settingB;
    makeSettings(settingA, settingB);
    const Rs232SettingsS* apSettings[] = {&settingA, &settingB};

    for (int nPass = 0; nPass < c_nCommandModePasses; ++nPass) {
        for (const Rs232SettingsS* pSettings : apSettings) {
            m_pPort->SetRs232Settings(*pSettings);
            if (!m_pPort->IsConnected()) {
                m_bReopened = m_pController->openPort() == RC_OK || m_bReopened;
            }
            if (m_pController->switchToCommandMode() == RC_OK) {
                const bool bReady = m_bConfigured || configureModule();
                m_eStage = bReady ? ST_NONE : ST_CONFIGURATION;
                return bReady;
            }
            // Other line settings cannot bring back a device that went away.
            if (m_pPort->IsDeviceLost()) {
                return commandModeFailed();
            }
        }
    }
    return commandModeFailed();
}

bool QuentaConfiguratorImplC::commandModeFailed()
{
    m_eStage = m_pPort->IsConnected() ? ST_COMMAND_MODE : ST_PORT;
    return false;
}

bool QuentaConfiguratorImplC::configureModule()
{
    if (m_bConfigured) {
        return true;
    }
    TRC::CFG::TaviDeviceControllerImplC& ctrl = *m_pController;
    m_bConfigured = ctrl.configureConnectabilityMode(1, true) == RC_OK &&
                    ctrl.configureDiscoverabilityMode(1, true) == RC_OK &&
                    ctrl.configureDefaultServerProfile(255, true) == RC_OK &&
                    ctrl.configureDefaultClientProfile(0, true) == RC_OK &&
                    ctrl.configureFeatureMask(1, true) == RC_OK &&
                    ctrl.configureDtrDsrSettings(2, 1, true) == RC_OK &&
                    ctrl.configurePowerSaveMode(3, true) == RC_OK &&
                    ctrl.setBaudRate(c_ulFastBaudRate, false, true) == RC_OK &&
                    ctrl.setFlowControl(true, false, true) == RC_OK;
    return m_bConfigured;
}

bool QuentaConfiguratorImplC::searchDevices(std::vector<std::string>& vecDevices)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (!ensureCommandMode()) {
        return false;
    }
    m_vecDevices.clear();
    m_bSearchFoundNothing = false;
    if (m_pController->searchDevices(m_vecDevices) != RC_OK) {
        m_bSearchFoundNothing = m_pController->lastInquiryAnswered();
        return false;
    }
    for (const DeviceInfoS& device : m_vecDevices) {
        vecDevices.emplace_back(device.szName);
    }
    return true;
}

bool QuentaConfiguratorImplC::pairDevice(std::string strDevice)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (!ensureCommandMode()) {
        return false;
    }
    if (strDevice.empty()) {
        return m_pController->configureNoRemotePeers(0, true) == RC_OK;
    }
    if (m_vecDevices.empty()) {
        m_pController->searchDevices(m_vecDevices);
    }
    for (const DeviceInfoS& device : m_vecDevices) {
        if (strDevice == device.szName) {
            return m_pController->pairDevice(device, true) == RC_OK;
        }
    }
    m_eStage = ST_LOOKUP;
    return false;
}

bool QuentaConfiguratorImplC::getPairedDevice(std::string& strDevice)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (!ensureCommandMode()) {
        return false;
    }
    DeviceInfoS device;
    if (m_pController->getPairedDevice(device) == RC_OK) {
        strDevice = device.szName;
        return true;
    }
    // A module that names no peer is an answer; one that went away is not.
    return !m_pPort->IsDeviceLost();
}

bool QuentaConfiguratorImplC::switchToDataMode()
{
    NOX::TSK::GuardC guard(m_Lock);
    HandOverS steps;
    return handOverFromCommandMode(steps);
}

bool QuentaConfiguratorImplC::handOverFromCommandMode(HandOverS& steps)
{
    steps.m_bCommandMode = m_pController->isCommandMode();
    if (steps.m_bCommandMode) {
        m_pController->configureNoRemotePeers(0, true);
        steps.m_clear = m_pController->lastExchange();
        m_pController->resetModule();
        steps.m_reset = m_pController->lastExchange();
    }
    steps.m_bClosed = m_pController->closePort() == RC_OK;
    return steps.m_bClosed;
}

bool QuentaConfiguratorImplC::handOver(HandOverS& steps, const std::function<bool()>& fnWithhold)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (!ensureCommandMode()) {
        return false;
    }
    steps.m_bWithheld = fnWithhold && fnWithhold();
    if (!steps.m_bWithheld) {
        handOverFromCommandMode(steps);
    }
    return true;
}

uint32_t QuentaConfiguratorImplC::readPairedDevice(DeviceInfoS& device)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (!ensureCommandMode()) {
        return NOX::RC_FAILED;
    }
    return m_pController->getPairedDevice(device);
}

void QuentaConfiguratorImplC::releasePort()
{
    NOX::TSK::GuardC guard(m_Lock);
    m_pController->closePort();
}

bool QuentaConfiguratorImplC::deviceLostInLastCall() const
{
    return m_pPort->IsDeviceLost() && (!m_bLostAtStart || m_bReopened);
}

void QuentaConfiguratorImplC::prepareModuleForHandle()
{
    TRC::PRT::SerialPortC port;
    port.SetPortName(c_szPortName);
    port.SetBaudrate(c_ulFastBaudRate);
    port.EnableRtsCts(true);
    port.EnableDtrDsr(true);
    TRC::CFG::TaviDeviceControllerImplC controller;
    controller.setPort(&port);
    controller.openPort();
    const bool bReached = controller.switchToCommandMode() == RC_OK;
    if (bReached) {
        controller.configureNoRemotePeers(1, false);
    }
    s_bHandleFoundCommandMode.store(bReached);
    controller.switchToDataMode();
    // The controller goes first, then the port, which closes it.
}

QuentaConfiguratorImplC& QuentaConfiguratorImplC::processInstance()
{
    // Created once, even when two threads race to it.
    static QuentaConfiguratorImplC* s_pInstance = new QuentaConfiguratorImplC();
    return *s_pInstance;
}

bool QuentaConfiguratorImplC::sendLine(const std::string& strLine, std::string& strAnswer)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (strLine.size() > c_unMaxLineLength || !ensureCommandMode()) {
        return false;
    }
    std::vector<char> vecAnswer(TRC::CFG::TaviDeviceControllerImplC::c_unTransparentSize, '\0');
    if (m_pController->transparentCommand(strLine.c_str(), vecAnswer.data()) != RC_OK) {
        return false;
    }
    strAnswer = vecAnswer.data();
    return true;
}

bool QuentaConfiguratorImplC::lastHandleFoundCommandMode()
{
    return s_bHandleFoundCommandMode.load();
}

bool QuentaConfiguratorImplC::readyForHandle()
{
    NOX::TSK::GuardC guard(m_Lock);
    // The line settings configured take effect when the module restarts; it
    // comes back in data mode, where the handle's preparation finds it.
    const bool bReady = ensureCommandMode() && m_pController->resetModule() == RC_OK;
    m_pController->closePort();
    return bReady;
}

HANDLE QuentaConfiguratorImplC::openConfiguredHandle()
{
    HANDLE hPort = CreateFileW(c_szPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    bool bOk = GetCommState(hPort, &dcb) != FALSE;
    if (bOk) {
        dcb.BaudRate = c_ulFastBaudRate;
        dcb.fBinary = 1;
        dcb.fParity = 1;
        dcb.Parity = NOPARITY;
        dcb.fOutxCtsFlow = 1;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = 0;
        dcb.fTXContinueOnXoff = 1;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fErrorChar = 0;
        dcb.fNull = 0;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fAbortOnError = 0;
        dcb.ByteSize = 8;
        dcb.StopBits = ONESTOPBIT;
        bOk = SetCommState(hPort, &dcb) != FALSE &&
              SetupComm(hPort, c_unHandleQueueSize, c_unHandleQueueSize) != FALSE &&
              SetCommMask(hPort, c_dwHandleEventMask) != FALSE;
    }
    if (!bOk) {
        CloseHandle(hPort);
        return INVALID_HANDLE_VALUE;
    }
    TRC::PRT::setTransferTimeouts(hPort, c_dwHandleTimeoutMs);
    Sleep(c_dwHandleSettleMs);
    return hPort;
}

void* QuentaConfiguratorImplC::createPortHandle()
{
    prepareModuleForHandle();
    return openConfiguredHandle();
}

} // namespace QUENTA
