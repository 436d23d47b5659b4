// Intrusive doubly linked lists: an element carries its own links, so sitting
// in a list costs no allocation. A list is its own reader-writer lock.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include <boost/noncopyable.hpp>

namespace NOX {
namespace TSK {

class ListC;

class NodeC : private boost::noncopyable
{
public:
    NodeC() = default;
    // Leaves the list it is in.
    virtual ~NodeC();

    // Appends this node to pList; pArg is passed through for derived lists.
    virtual void insertInto(ListC* pList, void* pArg = nullptr);
    virtual void removeFromList();

    ListC* getOwner() const { return m_pOwner; }

private:
    friend class ListC;

    NodeC* m_pNext = nullptr;
    NodeC* m_pPrev = nullptr;
    ListC* m_pOwner = nullptr;
};

// Readers iterate with first/next under a guard on the read side; every
// structural change takes the write side inside the operation. A node in two
// lists at once ends the process.
class ListC : public ReaderWriterLockC
{
public:
    ListC();
    ~ListC() override;

    virtual void pushBack(NodeC* pNode);
    virtual void insertBefore(NodeC* pPosition, NodeC* pNode);
    virtual void insertAfter(NodeC* pPosition, NodeC* pNode);
    virtual void remove(NodeC* pNode);
    // For a caller that holds one read share, e.g. while iterating.
    virtual void removeWhileReading(NodeC* pNode);
    virtual NodeC* first() const;
    virtual NodeC* next(const NodeC* pNode) const;
    virtual NodeC* last() const;
    virtual NodeC* prev(const NodeC* pNode) const;
    virtual LONG count() const;

private:
    // Takes the write side; false when the node is already in this list.
    bool beginInsert(NodeC* pNode);
    void link(NodeC* pBefore, NodeC* pNode);
    static void unlink(NodeC* pNode);

    NodeC m_Sentinel;
    LONG m_lCount;
};

} // namespace TSK
} // namespace NOX
