#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include "Nox_Err/NOX_ERR_Error.h"

namespace NOX {
namespace TSK {

namespace {

bool isSignalled(DWORD dwResult)
{
    return dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED;
}

HANDLE createBinarySemaphore(LONG lInitial)
{
    return CreateSemaphoreW(nullptr, lInitial, 1, nullptr);
}

} // namespace

void waitOrThrow(HANDLE hObject, DWORD dwTimeoutMs)
{
    if (hObject == nullptr) {
        throw LockingExceptionC(LockingExceptionC::c_unUnusable);
    }
    DWORD dwResult = WaitForSingleObject(hObject, dwTimeoutMs);
    if (isSignalled(dwResult)) {
        return;
    }
    if (dwResult == WAIT_TIMEOUT) {
        throw LockingExceptionC(LockingExceptionC::c_unTimeout);
    }
    throw LockingExceptionC(LockingExceptionC::c_unUnusable);
}

// ------------------------------------------------------------ reader-writer

void ReadLockC::lock()
{
    m_pOwner->readLock();
}

void ReadLockC::unlock()
{
    m_pOwner->readUnlock();
}

void WriteLockC::lock()
{
    m_pOwner->writeLock();
}

void WriteLockC::unlock()
{
    m_pOwner->writeUnlock();
}

ReaderWriterLockC::ReaderWriterLockC()
    : m_hGuard(createBinarySemaphore(1)), m_hResource(createBinarySemaphore(1)), m_lReaders(0),
      m_ReadLock(*this), m_WriteLock(*this)
{
    if (m_hGuard == nullptr || m_hResource == nullptr) {
        if (m_hGuard != nullptr) {
            CloseHandle(m_hGuard);
        }
        if (m_hResource != nullptr) {
            CloseHandle(m_hResource);
        }
        throw LockingExceptionC(LockingExceptionC::c_unUnusable);
    }
}

ReaderWriterLockC::~ReaderWriterLockC()
{
    CloseHandle(m_hResource);
    CloseHandle(m_hGuard);
}

void ReaderWriterLockC::readLock()
{
    waitOrThrow(m_hGuard, INFINITE);
    if (++m_lReaders == 1) {
        waitOrThrow(m_hResource, INFINITE);
    }
    ReleaseSemaphore(m_hGuard, 1, nullptr);
}

void ReaderWriterLockC::readUnlock()
{
    waitOrThrow(m_hGuard, INFINITE);
    if (--m_lReaders == 0) {
        ReleaseSemaphore(m_hResource, 1, nullptr);
    }
    ReleaseSemaphore(m_hGuard, 1, nullptr);
}

void ReaderWriterLockC::writeLock()
{
    waitOrThrow(m_hResource, INFINITE);
}

void ReaderWriterLockC::writeUnlock()
{
    ReleaseSemaphore(m_hResource, 1, nullptr);
}

// ------------------------------------------------------------ slow mutex

SlowMutexC::SlowMutexC() : m_hMutex(CreateMutexW(nullptr, FALSE, nullptr)), m_lCount(0)
{
    if (m_hMutex == nullptr) {
        throw LockingExceptionC(LockingExceptionC::c_unUnusable);
    }
}

SlowMutexC::~SlowMutexC()
{
    CloseHandle(m_hMutex);
}

void SlowMutexC::lock(DWORD dwTimeoutMs)
{
    waitOrThrow(m_hMutex, dwTimeoutMs);
    ++m_lCount;
}

void SlowMutexC::unlock()
{
    --m_lCount;
    ReleaseMutex(m_hMutex);
}

bool SlowMutexC::tryLock()
{
    try {
        lock(0);
    } catch (const LockingExceptionC& e) {
        if (e.getCode() == LockingExceptionC::c_unTimeout) {
            return false;
        }
        throw;
    }
    return true;
}

void SlowMutexC::lockN(LONG lCount, DWORD dwTimeoutMs)
{
    for (LONG i = 0; i < lCount; ++i) {
        try {
            lock(dwTimeoutMs);
        } catch (const LockingExceptionC&) {
            throw LockingExceptionC(LockingExceptionC::c_unUnusable);
        }
    }
}

LONG SlowMutexC::releaseAll()
{
    LONG lCount = m_lCount;
    while (m_lCount > 0) {
        unlock();
    }
    return lCount;
}

// ------------------------------------------------------------ semaphore

SemaphoreC::SemaphoreC() : m_hSemaphore(CreateSemaphoreW(nullptr, 0, 1, nullptr))
{
    if (m_hSemaphore == nullptr) {
        throw LockingExceptionC(LockingExceptionC::c_unUnusable);
    }
}

SemaphoreC::~SemaphoreC()
{
    CloseHandle(m_hSemaphore);
}

DWORD SemaphoreC::wait(DWORD dwTimeoutMs)
{
    waitOrThrow(m_hSemaphore, dwTimeoutMs);
    return WAIT_OBJECT_0;
}

void SemaphoreC::signal()
{
    if (m_hSemaphore != nullptr) {
        ReleaseSemaphore(m_hSemaphore, 1, nullptr);
    }
}

// ------------------------------------------------------------ event

EventC::EventC() : m_hEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

EventC::EventC(LPCWSTR szName) : m_hEvent(CreateEventW(nullptr, FALSE, FALSE, szName)) {}

EventC::EventC(bool bManualReset)
    : m_hEvent(CreateEventW(nullptr, bManualReset ? TRUE : FALSE, FALSE, nullptr))
{}

EventC::~EventC()
{
    if (m_hEvent != nullptr) {
        CloseHandle(m_hEvent);
    }
    m_hEvent = INVALID_HANDLE_VALUE;
}

BOOL EventC::set()
{
    return SetEvent(m_hEvent);
}

BOOL EventC::reset()
{
    return ResetEvent(m_hEvent);
}

} // namespace TSK
} // namespace NOX
