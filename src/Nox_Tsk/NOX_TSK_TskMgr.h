// The thread-to-task lookup: a thread that runs a task stores the task in a
// thread-local slot, which is how log headers name the task of the calling
// thread.
#pragma once

#include "Platform.h"

#include <boost/noncopyable.hpp>

namespace NOX {
namespace TSK {

// What the lookup knows of a task: its name and the thread that runs it.
class SysTaskC : private boost::noncopyable
{
public:
    static constexpr unsigned c_unMaxName = 20;

    explicit SysTaskC(const char* szName);
    virtual ~SysTaskC();

    const char* getName() const { return m_szName; }
    DWORD getThreadId() const { return m_dwThreadId; }

    // Makes this the task of the calling thread.
    void attachToCurrentThread();
    void detachFromCurrentThread();

private:
    char m_szName[c_unMaxName + 1];
    DWORD m_dwThreadId = 0;
};

class TskMgrC : private boost::noncopyable
{
public:
    static TskMgrC& getInstance();
    ~TskMgrC();

    // The task the calling thread runs, or null.
    SysTaskC* getCurrentTask() const;
    void setCurrentTask(SysTaskC* pTask);

    // The task of the process's main thread, if one was registered.
    SysTaskC* getMainTask() const { return m_pMainTask; }
    void setMainTask(SysTaskC* pTask) { m_pMainTask = pTask; }

private:
    TskMgrC();

    DWORD m_dwTlsIndex;
    SysTaskC* m_pMainTask = nullptr;
};

} // namespace TSK
} // namespace NOX
