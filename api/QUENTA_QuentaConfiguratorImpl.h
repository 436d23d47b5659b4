// The library's one piece of policy: which port the module hangs on, at
// which line settings it may be found, how to bring it into command mode,
// which configuration it must carry and how to hand the line back.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "TRC_CFG_DeviceInfo.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"
#include "TRC_PRT_SerialPort.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace QUENTA {

// No exception may cross the exported boundary: a failure below (no memory, a
// lock that cannot be created) reaches the caller as the call's failure value.
template <class T, class F> T guarded(T failure, F&& call)
{
    try {
        return call();
    } catch (...) {
        return failure;
    }
}

class QuentaConfiguratorImplC
{
public:
    static const wchar_t c_szPortName[];
    static constexpr uint32_t c_ulFastBaudRate = 921600;
    static constexpr uint32_t c_unFastBaudCode = 12;
    static constexpr uint32_t c_unSlowBaudCode = 9;
    static constexpr int c_nCommandModePasses = 2;
    static constexpr uint32_t c_unHandleQueueSize = 4096;

    QuentaConfiguratorImplC();
    // On a port of its own (a device path or "COM<n>:"), for a session. It
    // keeps a line-settings template of its own, so the shared one, and with
    // it the exported functions' traffic, is left as it is.
    explicit QuentaConfiguratorImplC(const std::wstring& strPortName);
    QuentaConfiguratorImplC(const QuentaConfiguratorImplC&) = delete;
    QuentaConfiguratorImplC& operator=(const QuentaConfiguratorImplC&) = delete;
    // Hands the module over to data mode and releases the port.
    virtual ~QuentaConfiguratorImplC();

    bool searchDevices(std::vector<std::string>& vecDevices);
    bool pairDevice(std::string strDevice);
    bool getPairedDevice(std::string& strDevice);
    bool switchToDataMode();
    static void* createPortHandle();

    // For the tools, which link the core: whether the last createPortHandle
    // found the module in command mode (the handle comes back either way);
    // and bringing the module to the handle's line settings the way every
    // operation does (command mode, configured, restarted), port closed.
    static bool lastHandleFoundCommandMode();
    bool readyForHandle();
    // The one configurator behind the exported functions, created on first
    // use and never destroyed: its port is released only by the process
    // ending or by a hand-over.
    static QuentaConfiguratorImplC& processInstance();
    // One command line as typed (at most c_unMaxLineLength characters, no CR)
    // sent in command mode; false when nothing came back. strAnswer holds all
    // bytes received for it, echo included.
    bool sendLine(const std::string& strLine, std::string& strAnswer);
    // After a failed searchDevices: the module answered the inquiry but no
    // device it can pair with did (as opposed to a module that was silent).
    bool lastSearchFoundNothing() const { return m_bSearchFoundNothing; }
    static constexpr size_t c_unMaxLineLength = 63;

    // What the session asks after an operation, to name the cause of its
    // result. The stage where the last operation stopped short, when it did
    // so before its own command: the port, command mode, the configuration,
    // or (pairing) the name not among the devices found.
    enum StageE
    {
        ST_NONE,
        ST_PORT,
        ST_COMMAND_MODE,
        ST_CONFIGURATION,
        ST_LOOKUP
    };
    StageE lastStage() const { return m_eStage; }
    // The device went away during the last operation (not before it).
    bool deviceLostInLastCall() const;
    TRC::CFG::ExchangeS lastExchange() { return m_pController->lastExchange(); }
    bool lastInquiryAnswered() const { return m_pController->lastInquiryAnswered(); }
    uint32_t lastUnreadNames() const { return m_pController->lastUnreadNames(); }
    void setDeviceFoundHook(const TRC::CFG::TaviDeviceControllerImplC::DeviceFoundT& fnFound)
    {
        m_pController->setDeviceFoundHook(fnFound);
    }
    // Closes the port without a hand-over; the destructor then sends nothing.
    void releasePort();
    // The read-back's own outcome, after command mode (RC_FAILED with
    // lastStage() when that was not reached).
    uint32_t readPairedDevice(TRC::CFG::DeviceInfoS& device);

    // Each step of a hand-over as switchToDataMode makes it.
    struct HandOverS
    {
        bool m_bCommandMode = false; // the ping before it was answered
        TRC::CFG::ExchangeS m_clear; // the peer count cleared
        TRC::CFG::ExchangeS m_reset; // the restart into data mode
        bool m_bClosed = false;
        bool m_bWithheld = false; // fnWithhold said no: nothing sent, port open
    };
    // Brings the module to command mode first (false: not reached, see
    // lastStage(); nothing else done), then hands over unless fnWithhold,
    // asked then (the line settings tried on the way are known), says not to.
    bool handOver(HandOverS& steps, const std::function<bool()>& fnWithhold);

    // Shared ownership among copies of the exported class.
    void addReference() { m_lReferences.fetch_add(1, std::memory_order_relaxed); }
    // True when the last reference went.
    bool releaseReference() { return m_lReferences.fetch_sub(1, std::memory_order_acq_rel) == 1; }

private:
    bool ensureCommandMode();
    // Records where command mode failed; false.
    bool commandModeFailed();
    void makeSettings(TRC::PRT::Rs232SettingsS& settingA, TRC::PRT::Rs232SettingsS& settingB);
    bool handOverFromCommandMode(HandOverS& steps);
    bool configureModule();
    static HANDLE openConfiguredHandle();
    static void prepareModuleForHandle();

    TRC::CFG::TaviDeviceControllerImplC* m_pController;
    TRC::PRT::SerialPortC* m_pPort;
    bool m_bConfigured;
    std::vector<TRC::CFG::DeviceInfoS> m_vecDevices;
    bool m_bSearchFoundNothing = false;
    // Null: the shared template of the exported functions.
    std::unique_ptr<TRC::PRT::Rs232SettingsS> m_pOwnDefaults;
    StageE m_eStage = ST_NONE;
    bool m_bLostAtStart = false;
    bool m_bReopened = false;
    std::atomic<long> m_lReferences;
    // One operation at a time, whichever thread or copy calls it.
    NOX::TSK::CriticalSectionC m_Lock;
};

} // namespace QUENTA
