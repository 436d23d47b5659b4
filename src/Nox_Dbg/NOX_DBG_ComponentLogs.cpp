#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"

#include "Nox_Dbg/NOX_DBG_LogFramework.h"

namespace {
// Defined before the logs, so it is destroyed after them: the manager and
// the debug-configuration registry go last, at unload.
struct ManagerReleaseC
{
    ~ManagerReleaseC()
    {
        NOX::DBG::DbgLogMgrC::destroyInstance();
        NOX::DBG::DbgConfiguratorRegistryC::destroyInstance();
    }
} s_ManagerRelease;
} // namespace

namespace NOX {
namespace DBG {

// One translation unit, so the logs come into existence in this order.
PerformanceLoggableC g_PortBaseCLog("PortBaseC");
PerformanceLoggableC g_SerialPortCLog("SerialPortC");
PerformanceLoggableC g_TaviDeviceControllerImplCLog("TaviDeviceControllerImplC");
PerformanceLoggableC g_TaviDeviceRequestCLog("TaviDeviceRequestC");
PerformanceLoggableC g_PerfLogTestLog("PerfLogTest");
DbgLogFileC g_TimeLog("Time");
DbgLogFileC g_TaskLog("Task");
DbgLogFileC g_ComponentLog("Component");
DbgLogFileC g_SysComponentContainerLog("SysComponentContainer");

} // namespace DBG
} // namespace NOX
