// Components with a uniform life cycle (initialise, start, stop, wait for
// stop, kill, clean up) arranged in a tree: a container drives its children
// through the same steps, forwards when coming up and backwards when going
// down, and brings a child that joins or leaves to the right state.
#pragma once

#include "Nox_Tsk/NOX_TSK_List.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include <cstdint>
#include <string>

namespace NOX {
namespace TSK {

class SysComponentC;
class SysComponentContainerC;

class SysComponentVisitorI
{
public:
    virtual ~SysComponentVisitorI() = default;
    virtual void visitComponent(SysComponentC* pComponent) = 0;
    virtual void enterContainer(SysComponentContainerC* pContainer) = 0;
    virtual void leaveContainer(SysComponentContainerC* pContainer) = 0;
};

class SysComponentC : public NodeC
{
public:
    enum StateE : int32_t
    {
        STATE_NONE = 0,
        STATE_INITIALISED = 1,
        STATE_STARTED = 2
    };
    static constexpr DWORD c_dwStopBudgetMs = 3000;

    SysComponentC() = default;

    virtual void init(uint32_t unArg);
    virtual void start(uint32_t unArg);
    virtual void stop(uint32_t unArg);
    virtual bool waitForStop(DWORD dwTimeoutMs);
    virtual void kill(uint32_t unArg);
    virtual void cleanup(uint32_t unArg);
    virtual void accept(SysComponentVisitorI& visitor);

    int32_t getState() const { return m_nState; }
    int32_t getTargetState() const { return m_nTargetState; }
    SysComponentContainerC* getParent() const { return m_pParent; }

    // Brings the component down to the target, or up to the lower of the
    // target and its parent's state.
    void setTargetState(int32_t nTarget);
    void bringUp(int32_t nLevel);
    void bringDown(int32_t nLevel);

    // The implementation type's name, for log lines.
    std::string getDisplayName() const;

protected:
    int32_t m_nState = STATE_NONE;
    int32_t m_nTargetState = STATE_STARTED;

private:
    friend class SysComponentContainerC;
    SysComponentContainerC* m_pParent = nullptr;
};

// Children are not owned. Every operation holds the container's lock for its
// whole run, calls into the children included.
class SysComponentContainerC : public SysComponentC
{
public:
    SysComponentContainerC() = default;

    void init(uint32_t unArg) override;
    void start(uint32_t unArg) override;
    void stop(uint32_t unArg) override;
    bool waitForStop(DWORD dwTimeoutMs) override;
    void kill(uint32_t unArg) override;
    void cleanup(uint32_t unArg) override;
    void accept(SysComponentVisitorI& visitor) override;

    virtual void insertBefore(SysComponentC* pPosition, SysComponentC* pComponent);
    virtual void insertAfter(SysComponentC* pPosition, SysComponentC* pComponent);
    virtual SysComponentC* firstComponent() const;
    virtual SysComponentC* nextComponent(const SysComponentC* pComponent) const;
    virtual SysComponentC* lastComponent() const;
    virtual SysComponentC* prevComponent(const SysComponentC* pComponent) const;
    virtual LONG componentCount() const;

    void addComponent(SysComponentC* pComponent);
    void removeComponent(SysComponentC* pComponent);
    void setAutoSync(bool bAutoSync) { m_bAutoSync = bAutoSync; }
    bool isAutoSync() const { return m_bAutoSync; }

private:
    enum InsertE
    {
        INSERT_BACK,
        INSERT_BEFORE,
        INSERT_AFTER
    };
    void insert(InsertE eWhere, SysComponentC* pPosition, SysComponentC* pComponent);
    bool isTraversing() const;
    template <class F> void forward(F&& visit);
    template <class F> void backward(F&& visit);

    ListC m_Children;
    LONG volatile m_lTraversal = 0;
    CriticalSectionC m_Lock;
    bool m_bAutoSync = true;
};

} // namespace TSK
} // namespace NOX
