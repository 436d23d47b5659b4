// Semaphores, mutexes, events, critical sections and interlocked counters.
#include "PlatInternal.h"

#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace plat {

namespace {

// A counter in front of a POSIX semaphore: the count is the tokens free, less
// the threads asleep waiting for one. A release or a wait that finds a token
// is one atomic operation; only a sleeper and its waker meet in the kernel.
class SemaphoreC : public KernelObjectC
{
public:
    SemaphoreC(LONG lInitial, LONG lMaximum) : m_lCount(lInitial), m_lMaximum(lMaximum)
    {
        sem_init(&m_sem, 0, 0);
    }
    ~SemaphoreC() override { sem_destroy(&m_sem); }

    ObjectKindE kind() const override { return ObjectKindE::Semaphore; }

    bool tryAcquire() override
    {
        LONG lCount = m_lCount.load();
        while (lCount > 0) {
            if (m_lCount.compare_exchange_weak(lCount, lCount - 1)) {
                return true;
            }
        }
        return false;
    }

    DWORD wait(DWORD dwMilliseconds) override
    {
        if (dwMilliseconds == 0) {
            return tryAcquire() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
        if (m_lCount.fetch_sub(1) > 0) {
            return WAIT_OBJECT_0;
        }
        if (sleep(dwMilliseconds)) {
            return WAIT_OBJECT_0;
        }
        // Timed out: leave the queue, unless a release counted this thread
        // in already; then its token is on the way and is taken.
        LONG lCount = m_lCount.load();
        while (lCount < 0) {
            if (m_lCount.compare_exchange_weak(lCount, lCount + 1)) {
                return WAIT_TIMEOUT;
            }
        }
        sleep(INFINITE);
        return WAIT_OBJECT_0;
    }

    BOOL release(LONG lCount, LPLONG plPrevious)
    {
        LONG lBefore = m_lCount.load();
        do {
            if (lCount > m_lMaximum - std::max<LONG>(lBefore, 0)) {
                return failWith(ERROR_TOO_MANY_POSTS);
            }
        } while (!m_lCount.compare_exchange_weak(lBefore, lBefore + lCount));
        if (plPrevious != nullptr) {
            *plPrevious = std::max<LONG>(lBefore, 0);
        }
        for (LONG lWake = std::min<LONG>(lCount, -std::min<LONG>(lBefore, 0)); lWake > 0; --lWake) {
            sem_post(&m_sem);
        }
        return TRUE;
    }

private:
    // True once a token arrived; false when the time ran out.
    bool sleep(DWORD dwMilliseconds)
    {
        struct timespec deadline = {};
        if (dwMilliseconds != INFINITE) {
            deadline = deadlineAfter(dwMilliseconds);
        }
        for (;;) {
            int nResult = dwMilliseconds == INFINITE
                              ? sem_wait(&m_sem)
                              : sem_clockwait(&m_sem, CLOCK_MONOTONIC, &deadline);
            if (nResult == 0) {
                return true;
            }
            if (errno != EINTR) {
                return false;
            }
        }
    }

    sem_t m_sem;
    std::atomic<LONG> m_lCount;
    const LONG m_lMaximum;
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
        return plat::makeObject<plat::SemaphoreC>(lInitialCount, lMaximumCount);
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
        return plat::makeObject<plat::MutexC>(bInitialOwner != FALSE);
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
        return plat::makeObject<plat::EventC>(bManualReset != FALSE, bInitialState != FALSE);
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
