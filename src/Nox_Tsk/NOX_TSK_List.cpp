#include "Nox_Tsk/NOX_TSK_List.h"

#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

namespace {
const char c_szSourceFile[] = "src\\Nox_Tsk\\NOX_TSK_List";
} // namespace

namespace NOX {
namespace TSK {

NodeC::~NodeC()
{
    NodeC::removeFromList();
    m_pNext = nullptr;
    m_pPrev = nullptr;
}

void NodeC::insertInto(ListC* pList, void*)
{
    if (pList != nullptr) {
        pList->pushBack(this);
    }
}

void NodeC::removeFromList()
{
    ListC* pOwner = m_pOwner;
    if (pOwner != nullptr) {
        pOwner->remove(this);
    }
}

ListC::ListC() : m_lCount(0)
{
    m_Sentinel.m_pNext = &m_Sentinel;
    m_Sentinel.m_pPrev = &m_Sentinel;
}

ListC::~ListC()
{
    GuardC guard(getWriteLock());
    // The nodes stay linked to each other but no longer belong to a list.
    for (NodeC* pNode = m_Sentinel.m_pNext; pNode != &m_Sentinel; pNode = pNode->m_pNext) {
        pNode->m_pOwner = nullptr;
    }
}

bool ListC::beginInsert(NodeC* pNode)
{
    writeLock();
    if (pNode->m_pOwner == this) {
        writeUnlock();
        return false;
    }
    if (pNode->m_pOwner != nullptr) {
        NOX_PANIC("W: ~ListC(this = 0x%lx, newnode = 0x%lx): node in two lists?\r\n",
                  ERR::c_ulFoundationPanic, reinterpret_cast<uintptr_t>(this),
                  reinterpret_cast<uintptr_t>(pNode));
    }
    return true;
}

void ListC::link(NodeC* pBefore, NodeC* pNode)
{
    NodeC* pAfter = pBefore->m_pNext;
    pNode->m_pPrev = pBefore;
    pNode->m_pNext = pAfter;
    pBefore->m_pNext = pNode;
    pAfter->m_pPrev = pNode;
    pNode->m_pOwner = this;
    ++m_lCount;
    writeUnlock();
}

void ListC::pushBack(NodeC* pNode)
{
    if (beginInsert(pNode)) {
        link(m_Sentinel.m_pPrev, pNode);
    }
}

void ListC::insertBefore(NodeC* pPosition, NodeC* pNode)
{
    if (beginInsert(pNode)) {
        link(pPosition->m_pPrev, pNode);
    }
}

void ListC::insertAfter(NodeC* pPosition, NodeC* pNode)
{
    if (beginInsert(pNode)) {
        link(pPosition, pNode);
    }
}

void ListC::unlink(NodeC* pNode)
{
    if (pNode->m_pPrev != nullptr && pNode->m_pPrev->m_pNext == pNode) {
        pNode->m_pPrev->m_pNext = pNode->m_pNext;
    }
    if (pNode->m_pNext != nullptr && pNode->m_pNext->m_pPrev == pNode) {
        pNode->m_pNext->m_pPrev = pNode->m_pPrev;
    }
    pNode->m_pNext = nullptr;
    pNode->m_pPrev = nullptr;
    pNode->m_pOwner = nullptr;
}

void ListC::remove(NodeC* pNode)
{
    if (pNode == nullptr) {
        return;
    }
    GuardC guard(getWriteLock());
    if (m_lCount > 0 && pNode->m_pOwner == this) {
        --m_lCount;
        unlink(pNode);
    }
}

void ListC::removeWhileReading(NodeC* pNode)
{
    waitOrThrow(m_hGuard, INFINITE);
    bool bOnlyReader = (--m_lReaders == 0);
    if (!bOnlyReader) {
        // Wait until the other readers have left.
        ReleaseSemaphore(m_hGuard, 1, nullptr);
        waitOrThrow(m_hResource, INFINITE);
    }
    if (pNode->m_pOwner == this) {
        --m_lCount;
        unlink(pNode);
    }
    if (!bOnlyReader) {
        ReleaseSemaphore(m_hResource, 1, nullptr);
        waitOrThrow(m_hGuard, INFINITE);
        if (++m_lReaders == 1) {
            waitOrThrow(m_hResource, INFINITE);
        }
    } else {
        ++m_lReaders;
    }
    ReleaseSemaphore(m_hGuard, 1, nullptr);
}

NodeC* ListC::first() const
{
    return m_Sentinel.m_pNext != &m_Sentinel ? m_Sentinel.m_pNext : nullptr;
}

NodeC* ListC::last() const
{
    return m_Sentinel.m_pPrev != &m_Sentinel ? m_Sentinel.m_pPrev : nullptr;
}

NodeC* ListC::next(const NodeC* pNode) const
{
    return (pNode->m_pNext != nullptr && pNode->m_pNext != &m_Sentinel) ? pNode->m_pNext : nullptr;
}

NodeC* ListC::prev(const NodeC* pNode) const
{
    return (pNode->m_pPrev != nullptr && pNode->m_pPrev != &m_Sentinel) ? pNode->m_pPrev : nullptr;
}

LONG ListC::count() const
{
    return m_lCount;
}

} // namespace TSK
} // namespace NOX
