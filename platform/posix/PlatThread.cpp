// Threads, their ids and priorities, thread-local storage and Sleep.
#include "PlatInternal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace plat {

namespace {

const DWORD c_dwCreateSuspended = 0x00000004u;

// The target's scale: 248 is the highest ordinary priority, 251 normal,
// 255 idle; real-time threads rank above the ordinary ones.
const int c_nPriorityHighestOrdinary = 248;
const int c_nPriorityNormal = 251;
const int c_nPriorityBelowNormal = 252;
const int c_nPriorityIdle = 255;

// Signalled when the thread function has returned. The running thread holds
// a reference of its own, so closing the last handle detaches it.
class ThreadC : public KernelObjectC
{
public:
    ThreadC(LPTHREAD_START_ROUTINE pfnStart, LPVOID pParameter)
        : m_pfnStart(pfnStart), m_pParameter(pParameter)
    {}

    ObjectKindE kind() const override { return ObjectKindE::Thread; }
    bool tryAcquire() override { return m_bEnded; }

    bool start(SIZE_T unStackSize, std::shared_ptr<ThreadC> pSelf);

    DWORD threadId()
    {
        ObjectLockC lock(*this);
        return m_dwThreadId;
    }

    DWORD exitCode()
    {
        ObjectLockC lock(*this);
        return m_bEnded ? m_dwExitCode : STILL_ACTIVE;
    }

    int priority()
    {
        // While the thread has not recorded its end it cannot have exited,
        // since recording the end needs this lock.
        ObjectLockC lock(*this);
        return m_bEnded ? m_nEndPriority : targetPriorityOf(m_thread);
    }

private:
    static void* run(void* pStart);

    LPTHREAD_START_ROUTINE m_pfnStart;
    LPVOID m_pParameter;
    pthread_t m_thread{};
    DWORD m_dwThreadId = 0;
    bool m_bStarted = false;
    bool m_bEnded = false;
    DWORD m_dwExitCode = STILL_ACTIVE;
    int m_nEndPriority = c_nPriorityNormal;
};

void* ThreadC::run(void* pStart)
{
    std::shared_ptr<ThreadC> pSelf = std::move(*static_cast<std::shared_ptr<ThreadC>*>(pStart));
    delete static_cast<std::shared_ptr<ThreadC>*>(pStart);
    {
        ObjectLockC lock(*pSelf);
        pSelf->m_dwThreadId = GetCurrentThreadId();
        pSelf->m_bStarted = true;
        pSelf->wakeAll();
    }
    DWORD dwExitCode = pSelf->m_pfnStart(pSelf->m_pParameter);
    int nPriority = targetPriorityOf(pthread_self());
    ObjectLockC lock(*pSelf);
    pSelf->m_dwExitCode = dwExitCode;
    pSelf->m_nEndPriority = nPriority;
    pSelf->m_bEnded = true;
    pSelf->wakeAll();
    return nullptr;
}

bool ThreadC::start(SIZE_T unStackSize, std::shared_ptr<ThreadC> pSelf)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (unStackSize != 0) {
        SIZE_T unMinimum = PTHREAD_STACK_MIN;
        pthread_attr_setstacksize(&attr, unStackSize < unMinimum ? unMinimum : unStackSize);
    }
    auto* pStart = new std::shared_ptr<ThreadC>(std::move(pSelf));
    ObjectLockC lock(*this);
    int nResult = pthread_create(&m_thread, &attr, &ThreadC::run, pStart);
    pthread_attr_destroy(&attr);
    if (nResult != 0) {
        delete pStart;
        failWith(nResult == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : errorFromErrno(nResult));
        return false;
    }
    // The id is known once the thread has run its first lines.
    while (!m_bStarted) {
        waitUntil(nullptr);
    }
    return true;
}

// Cached per thread: the id is asked for by every log record.
thread_local DWORD t_dwThreadId = 0;

void forgetThreadIdInChild()
{
    t_dwThreadId = 0;
}

// Allocated thread-local storage indexes, so that a freed or made-up index is
// refused instead of reaching pthread_getspecific.
std::atomic<bool> s_abTlsAllocated[PTHREAD_KEYS_MAX];

bool isTlsIndex(DWORD dwIndex)
{
    return dwIndex < PTHREAD_KEYS_MAX && s_abTlsAllocated[dwIndex].load(std::memory_order_acquire);
}

} // namespace

int targetPriorityOf(pthread_t thread)
{
    int nPolicy = SCHED_OTHER;
    struct sched_param param
    {};
    if (pthread_getschedparam(thread, &nPolicy, &param) != 0) {
        return c_nPriorityNormal;
    }
    switch (nPolicy) {
    case SCHED_FIFO:
    case SCHED_RR: {
        int nPriority = c_nPriorityHighestOrdinary - param.sched_priority;
        return nPriority < 0 ? 0 : nPriority;
    }
    case SCHED_BATCH:
        return c_nPriorityBelowNormal;
    case SCHED_IDLE:
        return c_nPriorityIdle;
    default:
        return c_nPriorityNormal;
    }
}

} // namespace plat

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (lpStartAddress == nullptr) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((dwCreationFlags & plat::c_dwCreateSuspended) != 0) {
        plat::failWith(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto pThread = plat::makeObject<plat::ThreadC>(lpStartAddress, lpParameter);
    HANDLE hThread =
        plat::createObject(plat::ObjectKindE::Thread, nullptr, [&] { return pThread; });
    if (!pThread->start(dwStackSize, pThread)) {
        DWORD dwError = GetLastError();
        CloseHandle(hThread);
        plat::failWith(dwError);
        return nullptr;
    }
    if (lpThreadId != nullptr) {
        *lpThreadId = pThread->threadId();
    }
    SetLastError(ERROR_SUCCESS);
    return hThread;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    if (lpExitCode == nullptr) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    if (hThread == plat::currentThreadHandle()) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto pThread = plat::lookupObjectAs<plat::ThreadC>(hThread, plat::ObjectKindE::Thread);
    if (!pThread) {
        return FALSE;
    }
    *lpExitCode = pThread->exitCode();
    return TRUE;
}

HANDLE GetCurrentThread()
{
    return plat::currentThreadHandle();
}

DWORD GetCurrentThreadId()
{
    if (plat::t_dwThreadId == 0) {
        static pthread_once_t s_once = PTHREAD_ONCE_INIT;
        pthread_once(&s_once,
                     [] { pthread_atfork(nullptr, nullptr, &plat::forgetThreadIdInChild); });
        plat::t_dwThreadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return plat::t_dwThreadId;
}

int CeGetThreadPriority(HANDLE hThread)
{
    if (hThread == plat::currentThreadHandle()) {
        return plat::targetPriorityOf(pthread_self());
    }
    auto pThread = plat::lookupObjectAs<plat::ThreadC>(hThread, plat::ObjectKindE::Thread);
    // The target's error result, THREAD_PRIORITY_ERROR_RETURN.
    return pThread ? pThread->priority() : INT_MAX;
}

void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    struct timespec deadline = plat::deadlineAfter(dwMilliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// ------------------------------------------------------------ thread-local storage

DWORD TlsAlloc()
{
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0) {
        plat::failWith(ERROR_NOT_ENOUGH_MEMORY);
        return TLS_OUT_OF_INDEXES;
    }
    if (key >= PTHREAD_KEYS_MAX) {
        pthread_key_delete(key);
        plat::failWith(ERROR_NOT_ENOUGH_MEMORY);
        return TLS_OUT_OF_INDEXES;
    }
    plat::s_abTlsAllocated[key].store(true, std::memory_order_release);
    return static_cast<DWORD>(key);
}

BOOL TlsFree(DWORD dwTlsIndex)
{
    if (!plat::isTlsIndex(dwTlsIndex)) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    plat::s_abTlsAllocated[dwTlsIndex].store(false, std::memory_order_release);
    pthread_key_delete(static_cast<pthread_key_t>(dwTlsIndex));
    return TRUE;
}

LPVOID TlsGetValue(DWORD dwTlsIndex)
{
    if (!plat::isTlsIndex(dwTlsIndex)) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A stored null and a failure are told apart by the last error.
    SetLastError(ERROR_SUCCESS);
    return pthread_getspecific(static_cast<pthread_key_t>(dwTlsIndex));
}

BOOL TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue)
{
    if (!plat::isTlsIndex(dwTlsIndex)) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    if (pthread_setspecific(static_cast<pthread_key_t>(dwTlsIndex), lpTlsValue) != 0) {
        return plat::failWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}
