// Semaphores, mutexes, events, critical sections and interlocked counters.
#include "PlatInternal.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace plat {

namespace {

// One 64-bit word: the tokens free in the low half, the threads asleep
// waiting for one in the high half. Sleepers wait on the low half in the
// kernel; a release calls the kernel only when the word counts a sleeper, so a
// release or a wait that finds a token is one atomic operation.
class SemaphoreC : public KernelObjectC
{
public:
    SemaphoreC(LONG lInitial, LONG lMaximum)
        : m_uState(static_cast<uint32_t>(lInitial)), m_lMaximum(lMaximum)
    {}

    ObjectKindE kind() const override { return ObjectKindE::Semaphore; }

    bool tryAcquire() override
    {
        uint64_t uState = m_uState.load();
        while (tokens(uState) > 0) {
            if (m_uState.compare_exchange_weak(uState, uState - 1)) {
                return true;
            }
        }
        return false;
    }

    DWORD wait(DWORD dwMilliseconds) override
    {
        if (tryAcquire()) {
            return WAIT_OBJECT_0;
        }
        if (dwMilliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        struct timespec deadline = {};
        if (dwMilliseconds != INFINITE) {
            deadline = deadlineAfter(dwMilliseconds);
        }
        const struct timespec* pDeadline = dwMilliseconds != INFINITE ? &deadline : nullptr;
        m_uState.fetch_add(c_uSleeper);
        for (;;) {
            if (leaveWithToken()) {
                return WAIT_OBJECT_0;
            }
            const long lResult =
                syscall(SYS_futex, tokenWord(), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0,
                        pDeadline, nullptr, FUTEX_BITSET_MATCH_ANY);
            if (lResult != 0 && errno == ETIMEDOUT) {
                return leaveWithout() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
            }
        }
    }

    BOOL release(LONG lCount, LPLONG plPrevious)
    {
        uint64_t uState = m_uState.load();
        do {
            if (lCount > m_lMaximum - static_cast<LONG>(tokens(uState))) {
                return failWith(ERROR_TOO_MANY_POSTS);
            }
        } while (!m_uState.compare_exchange_weak(uState, uState + static_cast<uint64_t>(lCount)));
        if (plPrevious != nullptr) {
            *plPrevious = static_cast<LONG>(tokens(uState));
        }
        if (uState >= c_uSleeper) {
            syscall(SYS_futex, tokenWord(), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, lCount, nullptr,
                    nullptr, 0);
        }
        return TRUE;
    }

private:
    static const uint64_t c_uSleeper = uint64_t(1) << 32;

    static uint32_t tokens(uint64_t uState) { return static_cast<uint32_t>(uState); }

    // The low half, where the kernel sleeps a waiter while it holds 0.
    uint32_t* tokenWord()
    {
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the low half comes first");
        static_assert(sizeof(m_uState) == sizeof(uint64_t), "one plain 64-bit word");
        return reinterpret_cast<uint32_t*>(&m_uState);
    }

    // A sleeper takes a token and stops counting itself, in one step.
    bool leaveWithToken()
    {
        uint64_t uState = m_uState.load();
        while (tokens(uState) > 0) {
            if (m_uState.compare_exchange_weak(uState, uState - 1 - c_uSleeper)) {
                return true;
            }
        }
        return false;
    }

    // A sleeper whose time ran out stops counting itself; false once it did.
    // True instead when a token arrived meanwhile and was taken.
    bool leaveWithout()
    {
        uint64_t uState = m_uState.load();
        for (;;) {
            if (tokens(uState) > 0) {
                if (m_uState.compare_exchange_weak(uState, uState - 1 - c_uSleeper)) {
                    return true;
                }
            } else if (m_uState.compare_exchange_weak(uState, uState - c_uSleeper)) {
                return false;
            }
        }
    }

    std::atomic<uint64_t> m_uState;
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
