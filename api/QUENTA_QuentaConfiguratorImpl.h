// The library's one piece of policy: which port the module hangs on, at
// which line settings it may be found, how to bring it into command mode,
// which configuration it must carry and how to hand the line back.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "TRC_CFG_DeviceInfo.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"
#include "TRC_PRT_SerialPort.h"

#include <atomic>
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

    // Shared ownership among copies of the exported class.
    void addReference() { m_lReferences.fetch_add(1, std::memory_order_relaxed); }
    // True when the last reference went.
    bool releaseReference() { return m_lReferences.fetch_sub(1, std::memory_order_acq_rel) == 1; }

private:
    bool ensureCommandMode();
    bool configureModule();
    static HANDLE openConfiguredHandle();
    static void prepareModuleForHandle();

    TRC::CFG::TaviDeviceControllerImplC* m_pController;
    TRC::PRT::SerialPortC* m_pPort;
    bool m_bConfigured;
    std::vector<TRC::CFG::DeviceInfoS> m_vecDevices;
    bool m_bSearchFoundNothing = false;
    std::atomic<long> m_lReferences;
    // One operation at a time, whichever thread or copy calls it.
    NOX::TSK::CriticalSectionC m_Lock;
};

} // namespace QUENTA
