// Semaphores, mutexes, events, critical sections and interlocked counters.
#include "PlatInternal.h"

#include <pthread.h>

#include <atomic>

namespace plat {

namespace {

// The count is atomic, so a release and a wait that finds a count need no
// lock; only a wait that has to sleep takes the object's lock.
class SemaphoreC : public KernelObjectC
{
public:
    SemaphoreC(LONG lInitial, LONG lMaximum) : m_lCount(lInitial), m_lMaximum(lMaximum) {}

    ObjectKindE kind() const override { return ObjectKindE::Semaphore; }

    bool tryAcquire() override { return tryAcquireFast(); }

    bool tryAcquireFast() override
    {
        LONG lCount = m_lCount.load();
        while (lCount > 0) {
            if (m_lCount.compare_exchange_weak(lCount, lCount - 1)) {
                return true;
            }
        }
        return false;
    }

    void beginWait() override { m_nWaiters.fetch_add(1); }
    void endWait() override { m_nWaiters.fetch_sub(1); }

    BOOL release(LONG lCount, LPLONG plPrevious)
    {
        LONG lPrevious = m_lCount.load();
        do {
            if (lCount > m_lMaximum - lPrevious) {
                return failWith(ERROR_TOO_MANY_POSTS);
            }
        } while (!m_lCount.compare_exchange_weak(lPrevious, lPrevious + lCount));
        if (plPrevious != nullptr) {
            *plPrevious = lPrevious;
        }
        if (m_nWaiters.load() > 0) {
            // A waiter that found no count holds the lock until it sleeps:
            // passing through the lock makes sure it hears the wake-up.
            lock();
            unlock();
            wakeAll();
        }
        return TRUE;
    }

private:
    std::atomic<LONG> m_lCount;
    const LONG m_lMaximum;
    std::atomic<int> m_nWaiters{0};
};

// Owned by a thread, re-entrant; ownership is counted per acquisition.
class MutexC : public KernelObjectC
{
public:
    explicit MutexC(bool bOwned)
        : m_dwOwner(bOwned ? GetCurrentThreadId() : 0), m_unDepth(bOwned ? 1 : 0)
    {}

    ObjectKindE kind() const override { return ObjectKindE::Mutex; }

    bool tryAcquire() override
    {
        DWORD dwSelf = GetCurrentThreadId();
        if (m_unDepth != 0 && m_dwOwner != dwSelf) {
            return false;
        }
        m_dwOwner = dwSelf;
        ++m_unDepth;
        return true;
    }

    BOOL release()
    {
        ObjectLockC lock(*this);
        if (m_unDepth == 0 || m_dwOwner != GetCurrentThreadId()) {
            return failWith(ERROR_NOT_OWNER);
        }
        if (--m_unDepth == 0) {
            m_dwOwner = 0;
            wakeAll();
        }
        return TRUE;
    }

private:
    DWORD m_dwOwner;
    unsigned m_unDepth;
};

class EventC : public KernelObjectC
{
public:
    EventC(bool bManualReset, bool bSignalled)
        : m_bManualReset(bManualReset), m_bSignalled(bSignalled)
    {}

    ObjectKindE kind() const override { return ObjectKindE::Event; }

    bool tryAcquire() override
    {
        if (!m_bSignalled) {
            return false;
        }
        if (!m_bManualReset) {
            m_bSignalled = false;
        }
        return true;
    }

    void set(bool bSignalled)
    {
        ObjectLockC lock(*this);
        m_bSignalled = bSignalled;
        if (bSignalled) {
            wakeAll();
        }
    }

private:
    const bool m_bManualReset;
    bool m_bSignalled;
};

pthread_mutex_t* nativeMutexOf(LPCRITICAL_SECTION pSection)
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
                  "a pthread mutex must fit in CRITICAL_SECTION");
    static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
                  "CRITICAL_SECTION must be aligned for a pthread mutex");
    return reinterpret_cast<pthread_mutex_t*>(pSection->opaque);
}

} // namespace

} // namespace plat

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount,
                        LPCWSTR lpName)
{
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return plat::createObject(plat::ObjectKindE::Semaphore, lpName, [&] {
        return std::make_shared<plat::SemaphoreC>(lInitialCount, lMaximumCount);
    });
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount)
{
    auto pSemaphore =
        plat::lookupObjectAs<plat::SemaphoreC>(hSemaphore, plat::ObjectKindE::Semaphore);
    if (!pSemaphore) {
        return FALSE;
    }
    if (lReleaseCount <= 0) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    return pSemaphore->release(lReleaseCount, lpPreviousCount);
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName)
{
    return plat::createObject(plat::ObjectKindE::Mutex, lpName, [&] {
        return std::make_shared<plat::MutexC>(bInitialOwner != FALSE);
    });
}

BOOL ReleaseMutex(HANDLE hMutex)
{
    auto pMutex = plat::lookupObjectAs<plat::MutexC>(hMutex, plat::ObjectKindE::Mutex);
    return pMutex ? pMutex->release() : FALSE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    return plat::createObject(plat::ObjectKindE::Event, lpName, [&] {
        return std::make_shared<plat::EventC>(bManualReset != FALSE, bInitialState != FALSE);
    });
}

BOOL SetEvent(HANDLE hEvent)
{
    auto pEvent = plat::lookupObjectAs<plat::EventC>(hEvent, plat::ObjectKindE::Event);
    if (!pEvent) {
        return FALSE;
    }
    pEvent->set(true);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    auto pEvent = plat::lookupObjectAs<plat::EventC>(hEvent, plat::ObjectKindE::Event);
    if (!pEvent) {
        return FALSE;
    }
    pEvent->set(false);
    return TRUE;
}

// ------------------------------------------------------------ critical sections

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(plat::nativeMutexOf(lpCriticalSection), &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_destroy(plat::nativeMutexOf(lpCriticalSection));
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_lock(plat::nativeMutexOf(lpCriticalSection));
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_unlock(plat::nativeMutexOf(lpCriticalSection));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return pthread_mutex_trylock(plat::nativeMutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

// ------------------------------------------------------------ interlocked

LONG InterlockedIncrement(LONG volatile* lpAddend)
{
    return __atomic_add_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* lpAddend)
{
    return __atomic_sub_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}
