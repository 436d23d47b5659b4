// The lock vocabulary of the foundation library: an abstract lock, the
// re-entrant critical section used almost everywhere, a scope guard, a
// reader-writer lock whose two sides are locks themselves, a mutex with
// time-outs, a binary semaphore and an event.
#pragma once

#include "Platform.h"

#include <boost/noncopyable.hpp>

namespace NOX {
namespace TSK {

class LockC : private boost::noncopyable
{
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual ~LockC() = default;
};

class CriticalSectionC : public LockC, private CRITICAL_SECTION
{
public:
    CriticalSectionC() { InitializeCriticalSection(this); }
    void lock() override { EnterCriticalSection(this); }
    void unlock() override { LeaveCriticalSection(this); }
    ~CriticalSectionC() override { DeleteCriticalSection(this); }
};

class GuardC : private boost::noncopyable
{
public:
    explicit GuardC(LockC& lock) : m_pLock(&lock) { m_pLock->lock(); }
    virtual ~GuardC() { m_pLock->unlock(); }

private:
    LockC* m_pLock;
};

class TimeoutableLockC : public LockC
{
public:
    void lock() override { lock(INFINITE); }
    // Throws LockingExceptionC when the wait fails or times out.
    virtual void lock(DWORD dwTimeoutMs) = 0;
};

class ReaderWriterLockC;

class ReadLockC : public LockC
{
public:
    explicit ReadLockC(ReaderWriterLockC& owner) : m_pOwner(&owner) {}
    void lock() override;
    void unlock() override;

private:
    ReaderWriterLockC* m_pOwner;
};

class WriteLockC : public LockC
{
public:
    explicit WriteLockC(ReaderWriterLockC& owner) : m_pOwner(&owner) {}
    void lock() override;
    void unlock() override;

private:
    ReaderWriterLockC* m_pOwner;
};

// Readers have priority: a writer waits while any reader holds the lock, so
// continuous reading can starve writers.
class ReaderWriterLockC : private boost::noncopyable
{
public:
    ReaderWriterLockC();
    virtual ~ReaderWriterLockC();

    LockC& getReadLock() { return m_ReadLock; }
    LockC& getWriteLock() { return m_WriteLock; }

    void readLock();
    void readUnlock();
    void writeLock();
    void writeUnlock();

protected:
    HANDLE m_hGuard;
    HANDLE m_hResource;
    LONG m_lReaders;

private:
    ReadLockC m_ReadLock;
    WriteLockC m_WriteLock;
};

class SlowMutexC : public TimeoutableLockC
{
public:
    SlowMutexC();
    ~SlowMutexC() override;

    using TimeoutableLockC::lock;
    void lock(DWORD dwTimeoutMs) override;
    void unlock() override;
    bool tryLock();
    // Takes the mutex lCount times, for handing a recursively held mutex back.
    void lockN(LONG lCount, DWORD dwTimeoutMs);
    // Releases every recursion and returns how many there were.
    LONG releaseAll();
    LONG getCount() const { return m_lCount; }

private:
    HANDLE m_hMutex;
    LONG m_lCount;
};

// A binary signal: initial count 0, maximum 1.
class SemaphoreC : private boost::noncopyable
{
public:
    SemaphoreC();
    virtual ~SemaphoreC();

    // Throws LockingExceptionC on time-out (0x03101002) or failure (0x03101001).
    DWORD wait(DWORD dwTimeoutMs);
    void signal();

private:
    HANDLE m_hSemaphore;
};

class EventC : private boost::noncopyable
{
public:
    // An unnamed auto-reset event.
    EventC();
    // A named auto-reset event.
    explicit EventC(LPCWSTR szName);
    explicit EventC(bool bManualReset);
    virtual ~EventC();

    BOOL set();
    BOOL reset();
    HANDLE getHandle() const { return m_hEvent; }

private:
    HANDLE m_hEvent;
};

// Waits on a handle and maps the outcome: signalled or abandoned returns, a
// time-out throws 0x03101002, a missing handle or failed wait 0x03101001.
void waitOrThrow(HANDLE hObject, DWORD dwTimeoutMs);

} // namespace TSK
} // namespace NOX
