// The static component logs, created at load in this order and silent until
// a route names them: the logs of the traced classes, then the foundation's.
#pragma once

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Dbg/nox_dbg_perflog.h"

namespace NOX {
namespace DBG {

extern PerformanceLoggableC g_PortBaseCLog;
extern PerformanceLoggableC g_SerialPortCLog;
extern PerformanceLoggableC g_TaviDeviceControllerImplCLog;
extern PerformanceLoggableC g_TaviDeviceRequestCLog;
extern PerformanceLoggableC g_PerfLogTestLog;
extern DbgLogFileC g_TimeLog;
extern DbgLogFileC g_TaskLog;
extern DbgLogFileC g_ComponentLog;
extern DbgLogFileC g_SysComponentContainerLog;

} // namespace DBG
} // namespace NOX
