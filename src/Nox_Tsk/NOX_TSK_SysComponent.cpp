#include "Nox_Tsk/NOX_TSK_SysComponent.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"
#include "Nox_Tsk/NOX_TSK_TskMgr.h"

#include <algorithm>
#include <typeinfo>

#if defined(__GNUC__)
#include <cstdlib>
#include <cxxabi.h>
#endif

namespace {
const char c_szSourceFile[] = "src\\Nox_Tsk\\NOX_TSK_SysComponent";

using NOX::DBG::g_ComponentLog;
using NOX::DBG::g_SysComponentContainerLog;

std::string demangle(const char* szName)
{
#if defined(__GNUC__)
    int nStatus = 0;
    char* szDemangled = abi::__cxa_demangle(szName, nullptr, nullptr, &nStatus);
    if (nStatus == 0 && szDemangled != nullptr) {
        std::string strName(szDemangled);
        std::free(szDemangled);
        return strName;
    }
#endif
    return szName;
}

// The task name when the calling thread runs a task other than the main one.
const char* otherTaskName()
{
    NOX::TSK::TskMgrC& mgr = NOX::TSK::TskMgrC::getInstance();
    NOX::TSK::SysTaskC* pTask = mgr.getCurrentTask();
    return (pTask != nullptr && pTask != mgr.getMainTask()) ? pTask->getName() : nullptr;
}

// Raises the traversal count for the life of a fan-out.
class TraversalC
{
public:
    explicit TraversalC(LONG volatile& lCount) : m_lCount(lCount)
    {
        InterlockedIncrement(&m_lCount);
    }
    ~TraversalC() { InterlockedDecrement(&m_lCount); }

private:
    LONG volatile& m_lCount;
};
} // namespace

namespace NOX {
namespace TSK {

// ------------------------------------------------------------ component

void SysComponentC::init(uint32_t)
{
    m_nState = STATE_INITIALISED;
}

void SysComponentC::start(uint32_t)
{
    m_nState = STATE_STARTED;
}

void SysComponentC::stop(uint32_t)
{
    m_nState = STATE_INITIALISED;
}

bool SysComponentC::waitForStop(DWORD)
{
    return true;
}

void SysComponentC::kill(uint32_t)
{
    m_nState = STATE_INITIALISED;
}

void SysComponentC::cleanup(uint32_t)
{
    m_nState = STATE_NONE;
}

void SysComponentC::accept(SysComponentVisitorI& visitor)
{
    visitor.visitComponent(this);
}

void SysComponentC::setTargetState(int32_t nTarget)
{
    m_nTargetState = nTarget;
    if (m_nState > nTarget) {
        bringDown(nTarget);
    } else if (m_nState < nTarget && m_pParent != nullptr && m_pParent->getState() > m_nState) {
        bringUp(std::min(nTarget, m_pParent->getState()));
    }
}

void SysComponentC::bringUp(int32_t nLevel)
{
    int32_t nTo = std::min(m_nTargetState, nLevel);
    if (nTo >= STATE_INITIALISED && m_nState < STATE_INITIALISED) {
        init(0);
    }
    if (nTo >= STATE_STARTED && m_nState < STATE_STARTED) {
        start(0);
    }
}

void SysComponentC::bringDown(int32_t nLevel)
{
    if (m_nState >= STATE_STARTED && nLevel < STATE_STARTED) {
        stop(0);
    }
    if (m_nState >= STATE_INITIALISED && nLevel < STATE_INITIALISED) {
        if (!waitForStop(c_dwStopBudgetMs)) {
            kill(0);
        }
        cleanup(0);
    }
}

std::string SysComponentC::getDisplayName() const
{
    static CriticalSectionC s_NameLock;
    GuardC guard(s_NameLock);
    return demangle(typeid(*this).name());
}

// ------------------------------------------------------------ container

template <class F> void SysComponentContainerC::forward(F&& visit)
{
    TraversalC traversal(m_lTraversal);
    for (NodeC* pNode = m_Children.first(); pNode != nullptr;) {
        NodeC* pNext = m_Children.next(pNode);
        visit(static_cast<SysComponentC*>(pNode));
        pNode = pNext;
    }
}

template <class F> void SysComponentContainerC::backward(F&& visit)
{
    TraversalC traversal(m_lTraversal);
    for (NodeC* pNode = m_Children.last(); pNode != nullptr;) {
        NodeC* pPrev = m_Children.prev(pNode);
        if (!visit(static_cast<SysComponentC*>(pNode))) {
            return;
        }
        pNode = pPrev;
    }
}

namespace {
void logContainer(const char* szFormat, const SysComponentC* pComponent)
{
    if (g_ComponentLog.isEnabled(NOX::DBG::LVL_FINE)) {
        g_ComponentLog.log(NOX::DBG::LVL_FINE, szFormat, pComponent->getDisplayName().c_str());
    }
}

void logChild(const char* szFormat, const SysComponentC* pComponent)
{
    if (g_ComponentLog.isEnabled(NOX::DBG::LVL_INFO)) {
        g_ComponentLog.log(NOX::DBG::LVL_INFO, szFormat, pComponent->getDisplayName().c_str());
    }
}
} // namespace

void SysComponentContainerC::init(uint32_t unArg)
{
    GuardC guard(m_Lock);
    logContainer("SysComponentContainerC::init() begin %s\r\n", this);
    forward([&](SysComponentC* pChild) {
        if (pChild->getTargetState() >= STATE_INITIALISED) {
            logChild("SysComponentContainerC::init() init component %s\r\n", pChild);
            pChild->init(unArg);
        }
    });
    m_nState = STATE_INITIALISED;
    logContainer("SysComponentContainerC::init() end %s\r\n", this);
}

void SysComponentContainerC::start(uint32_t unArg)
{
    GuardC guard(m_Lock);
    logContainer("SysComponentContainerC::start() begin %s\r\n", this);
    forward([&](SysComponentC* pChild) {
        if (pChild->getTargetState() >= STATE_STARTED) {
            logChild("SysComponentContainerC::start() start component %s\r\n", pChild);
            pChild->start(unArg);
        }
    });
    m_nState = STATE_STARTED;
    logContainer("SysComponentContainerC::start() end %s\r\n", this);
}

void SysComponentContainerC::stop(uint32_t unArg)
{
    GuardC guard(m_Lock);
    logContainer("SysComponentContainerC::stop() begin %s\r\n", this);
    m_nState = STATE_INITIALISED;
    backward([&](SysComponentC* pChild) {
        logChild("SysComponentContainerC::stop() stop component %s\r\n", pChild);
        pChild->stop(unArg);
        return true;
    });
    logContainer("SysComponentContainerC::stop() end %s\r\n", this);
}

bool SysComponentContainerC::waitForStop(DWORD dwTimeoutMs)
{
    GuardC guard(m_Lock);
    logContainer("SysComponentContainerC::waitForStop() begin %s\r\n", this);
    const bool bBudgeted = dwTimeoutMs != 0 && dwTimeoutMs != INFINITE;
    const DWORD dwStart = GetTickCount();
    bool bStopped = true;
    backward([&](SysComponentC* pChild) {
        DWORD dwBudget = dwTimeoutMs;
        if (bBudgeted) {
            long ulUsedTime = static_cast<long>(static_cast<DWORD>(GetTickCount() - dwStart));
            NOX_ASSERT(ulUsedTime >= 0);
            dwBudget = ulUsedTime >= static_cast<long>(dwTimeoutMs)
                           ? 0
                           : dwTimeoutMs - static_cast<DWORD>(ulUsedTime);
        }
        logChild("SysComponentContainerC::waitForStop() waitForStop component %s\r\n", pChild);
        if (pChild->waitForStop(dwBudget)) {
            return true;
        }
        if (g_ComponentLog.isEnabled(NOX::DBG::LVL_ERROR)) {
            g_ComponentLog.log(NOX::DBG::LVL_ERROR,
                               "SysComponentContainerC::waitForStop() waitForStop-timeout (%ld) "
                               "for component %s\r\n",
                               static_cast<long>(dwTimeoutMs), pChild->getDisplayName().c_str());
        }
        bStopped = false;
        return false;
    });
    if (bStopped) {
        logContainer("SysComponentContainerC::waitForStop() end %s\r\n", this);
    }
    return bStopped;
}

void SysComponentContainerC::kill(uint32_t unArg)
{
    GuardC guard(m_Lock);
    logContainer("SysComponentContainerC::kill() begin %s\r\n", this);
    backward([&](SysComponentC* pChild) {
        logChild("SysComponentContainerC::kill() kill component %s\r\n", pChild);
        pChild->kill(unArg);
        return true;
    });
    m_nState = STATE_INITIALISED;
    logContainer("SysComponentContainerC::kill() end %s\r\n", this);
}

void SysComponentContainerC::cleanup(uint32_t unArg)
{
    GuardC guard(m_Lock);
    logContainer("SysComponentContainerC::cleanup() begin %s\r\n", this);
    m_nState = STATE_NONE;
    backward([&](SysComponentC* pChild) {
        logChild("SysComponentContainerC::cleanup() cleanup component %s\r\n", pChild);
        pChild->cleanup(unArg);
        return true;
    });
    logContainer("SysComponentContainerC::cleanup() end %s\r\n", this);
}

void SysComponentContainerC::accept(SysComponentVisitorI& visitor)
{
    GuardC guard(m_Lock);
    visitor.enterContainer(this);
    forward([&](SysComponentC* pChild) { pChild->accept(visitor); });
    visitor.leaveContainer(this);
}

bool SysComponentContainerC::isTraversing() const
{
    return m_lTraversal != 0;
}

void SysComponentContainerC::insert(InsertE eWhere, SysComponentC* pPosition,
                                    SysComponentC* pComponent)
{
    GuardC guard(m_Lock);
    if (isTraversing()) {
        NOX_ASSERT(!"Container is traversing at the moment, add");
        return;
    }
    if (pComponent == nullptr || (eWhere != INSERT_BACK && pPosition == nullptr)) {
        NOX_ASSERT(!"component pointer is null");
        return;
    }
    switch (eWhere) {
    case INSERT_BACK:
        m_Children.pushBack(pComponent);
        break;
    case INSERT_BEFORE:
        m_Children.insertBefore(pPosition, pComponent);
        break;
    case INSERT_AFTER:
        m_Children.insertAfter(pPosition, pComponent);
        break;
    }
    pComponent->m_pParent = this;
    if (g_SysComponentContainerLog.isEnabled(NOX::DBG::LVL_FINE)) {
        if (const char* szTask = otherTaskName()) {
            g_SysComponentContainerLog.log(
                NOX::DBG::LVL_FINE, "Task %s is adding component with address 0x%x.\n", szTask,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(pComponent)));
        }
    }
    if (m_bAutoSync) {
        pComponent->bringUp(m_nState);
    }
}

void SysComponentContainerC::addComponent(SysComponentC* pComponent)
{
    insert(INSERT_BACK, nullptr, pComponent);
}

void SysComponentContainerC::insertBefore(SysComponentC* pPosition, SysComponentC* pComponent)
{
    insert(INSERT_BEFORE, pPosition, pComponent);
}

void SysComponentContainerC::insertAfter(SysComponentC* pPosition, SysComponentC* pComponent)
{
    insert(INSERT_AFTER, pPosition, pComponent);
}

void SysComponentContainerC::removeComponent(SysComponentC* pComponent)
{
    GuardC guard(m_Lock);
    if (isTraversing()) {
        NOX_ASSERT(!"Container is traversing at the moment");
        return;
    }
    if (pComponent == nullptr) {
        NOX_ASSERT(!"component pointer is null");
        return;
    }
    if (pComponent->m_pParent != nullptr && pComponent->m_pParent != this) {
        NOX_ASSERT(!"Not a child of this container: Wrong container");
        return;
    }
    if (pComponent->m_pParent == this && pComponent->getOwner() != &m_Children) {
        NOX_ASSERT(!"Not a child of this container: Not in Components of Container");
        return;
    }
    if (g_SysComponentContainerLog.isEnabled(NOX::DBG::LVL_FINE)) {
        if (const char* szTask = otherTaskName()) {
            g_SysComponentContainerLog.log(
                NOX::DBG::LVL_ALL, "Task %s is removing component with address 0x%x.\n", szTask,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(pComponent)));
        }
    }
    if (m_bAutoSync) {
        pComponent->bringDown(STATE_NONE);
    }
    if (pComponent->m_pParent == this) {
        pComponent->m_pParent = nullptr;
        m_Children.remove(pComponent);
    }
}

SysComponentC* SysComponentContainerC::firstComponent() const
{
    return static_cast<SysComponentC*>(m_Children.first());
}

SysComponentC* SysComponentContainerC::nextComponent(const SysComponentC* pComponent) const
{
    return static_cast<SysComponentC*>(m_Children.next(pComponent));
}

SysComponentC* SysComponentContainerC::lastComponent() const
{
    return static_cast<SysComponentC*>(m_Children.last());
}

SysComponentC* SysComponentContainerC::prevComponent(const SysComponentC* pComponent) const
{
    return static_cast<SysComponentC*>(m_Children.prev(pComponent));
}

LONG SysComponentContainerC::componentCount() const
{
    return m_Children.count();
}

} // namespace TSK
} // namespace NOX
