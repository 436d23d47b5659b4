#include "Nox_Tsk/NOX_TSK_TskMgr.h"

#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

#include <cstring>

namespace {
const char c_szSourceFile[] = "src\\Nox_Tsk\\NOX_TSK_TskMgr";
} // namespace

namespace NOX {
namespace TSK {

SysTaskC::SysTaskC(const char* szName)
{
    std::strncpy(m_szName, szName != nullptr ? szName : "", c_unMaxName);
    m_szName[c_unMaxName] = '\0';
}

SysTaskC::~SysTaskC()
{
    if (TskMgrC::getInstance().getCurrentTask() == this) {
        TskMgrC::getInstance().setCurrentTask(nullptr);
    }
}

void SysTaskC::attachToCurrentThread()
{
    m_dwThreadId = GetCurrentThreadId();
    TskMgrC::getInstance().setCurrentTask(this);
}

void SysTaskC::detachFromCurrentThread()
{
    if (TskMgrC::getInstance().getCurrentTask() == this) {
        TskMgrC::getInstance().setCurrentTask(nullptr);
    }
}

TskMgrC& TskMgrC::getInstance()
{
    static TskMgrC s_Manager;
    return s_Manager;
}

TskMgrC::TskMgrC() : m_dwTlsIndex(TlsAlloc())
{
    if (m_dwTlsIndex == TLS_OUT_OF_INDEXES) {
        NOX_PANIC("TlsAlloc() failed", ERR::c_ulFoundationPanic, 0, 0);
    }
}

TskMgrC::~TskMgrC()
{
    if (!TlsFree(m_dwTlsIndex)) {
        NOX_PANIC("TlsFree() failed", ERR::c_ulFoundationPanic, 0, 0);
    }
}

SysTaskC* TskMgrC::getCurrentTask() const
{
    SysTaskC* pTask = static_cast<SysTaskC*>(TlsGetValue(m_dwTlsIndex));
    if (pTask != nullptr && pTask->getThreadId() == GetCurrentThreadId()) {
        return pTask;
    }
    return nullptr;
}

void TskMgrC::setCurrentTask(SysTaskC* pTask)
{
    TlsSetValue(m_dwTlsIndex, pTask);
}

} // namespace TSK
} // namespace NOX
