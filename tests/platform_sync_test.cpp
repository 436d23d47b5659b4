// Threads, waitable objects, handles, critical sections and thread-local
// storage of the POSIX platform layer, exercised across real threads.
#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace {

using ClockT = std::chrono::steady_clock;

const DWORD c_dwBound = 5000; // generous bound for events that must happen

long long millisecondsSince(ClockT::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(ClockT::now() - start).count();
}

// Runs a thread function given as a lambda; the handle is closed on scope end.
template <class FunctionT> class ThreadT
{
public:
    explicit ThreadT(FunctionT fnBody) : m_fnBody(fnBody)
    {
        m_hThread = CreateThread(nullptr, 0, &ThreadT::run, this, 0, &m_dwThreadId);
    }
    ~ThreadT()
    {
        if (m_hThread != nullptr) {
            WaitForSingleObject(m_hThread, INFINITE);
            CloseHandle(m_hThread);
        }
    }
    ThreadT(const ThreadT&) = delete;
    ThreadT& operator=(const ThreadT&) = delete;

    HANDLE handle() const { return m_hThread; }
    DWORD threadId() const { return m_dwThreadId; }

    DWORD join()
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hThread, c_dwBound));
        DWORD dwExitCode = 0;
        EXPECT_TRUE(GetExitCodeThread(m_hThread, &dwExitCode));
        return dwExitCode;
    }

private:
    static DWORD WINAPI run(LPVOID pSelf) { return static_cast<ThreadT*>(pSelf)->m_fnBody(); }

    FunctionT m_fnBody;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
};

template <class FunctionT> std::unique_ptr<ThreadT<FunctionT>> startThread(FunctionT fnBody)
{
    auto pThread = std::make_unique<ThreadT<FunctionT>>(fnBody);
    EXPECT_NE(nullptr, pThread->handle());
    return pThread;
}

// ------------------------------------------------------------ semaphores

TEST(PlatformSemaphore, CountNeverExceedsTheMaximum)
{
    HANDLE hSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    ASSERT_NE(nullptr, hSemaphore);
    LONG lPrevious = -1;
    EXPECT_TRUE(ReleaseSemaphore(hSemaphore, 1, &lPrevious));
    EXPECT_EQ(0, lPrevious);
    EXPECT_FALSE(ReleaseSemaphore(hSemaphore, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSemaphore, 0));
    auto start = ClockT::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSemaphore, 0));
    EXPECT_LT(millisecondsSince(start), 50);
    EXPECT_TRUE(CloseHandle(hSemaphore));
}

TEST(PlatformSemaphore, RefusedReleaseLeavesTheCount)
{
    HANDLE hSemaphore = CreateSemaphoreW(nullptr, 2, 3, nullptr);
    ASSERT_NE(nullptr, hSemaphore);
    EXPECT_FALSE(ReleaseSemaphore(hSemaphore, 2, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    LONG lPrevious = -1;
    EXPECT_TRUE(ReleaseSemaphore(hSemaphore, 1, &lPrevious));
    EXPECT_EQ(2, lPrevious);
    for (int nTake = 0; nTake < 3; ++nTake) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSemaphore, 0));
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSemaphore, 0));
    EXPECT_FALSE(ReleaseSemaphore(hSemaphore, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    CloseHandle(hSemaphore);
}

TEST(PlatformSemaphore, InvalidCountsAreRefused)
{
    struct CaseS
    {
        LONG lInitial;
        LONG lMaximum;
    };
    const CaseS aCases[] = {{0, 0}, {2, 1}, {-1, 1}, {0, -5}};
    for (const CaseS& rCase : aCases) {
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, rCase.lInitial, rCase.lMaximum, nullptr))
            << rCase.lInitial << "/" << rCase.lMaximum;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
}

TEST(PlatformSemaphore, TimedWaitLastsItsTimeOut)
{
    HANDLE hSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    auto start = ClockT::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSemaphore, 60));
    long long llElapsed = millisecondsSince(start);
    EXPECT_GE(llElapsed, 60);
    EXPECT_LT(llElapsed, 2000);
    CloseHandle(hSemaphore);
}

TEST(PlatformSemaphore, ReleaseWakesAWaiterInAnotherThread)
{
    HANDLE hSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    auto pWaiter =
        startThread([&]() -> DWORD { return WaitForSingleObject(hSemaphore, INFINITE); });
    EXPECT_TRUE(ReleaseSemaphore(hSemaphore, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, pWaiter->join());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSemaphore, 0));
    CloseHandle(hSemaphore);
}

// ------------------------------------------------------------ events

TEST(PlatformEvent, AutoResetReleasesOneWaiterPerSet)
{
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hWoken = CreateSemaphoreW(nullptr, 0, 2, nullptr);
    auto fnWaiter = [&]() -> DWORD {
        DWORD dwResult = WaitForSingleObject(hEvent, INFINITE);
        ReleaseSemaphore(hWoken, 1, nullptr);
        return dwResult;
    };
    auto pFirst = startThread(fnWaiter);
    auto pSecond = startThread(fnWaiter);
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hWoken, c_dwBound));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hWoken, 100));
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hWoken, c_dwBound));
    EXPECT_EQ(WAIT_OBJECT_0, pFirst->join());
    EXPECT_EQ(WAIT_OBJECT_0, pSecond->join());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
    CloseHandle(hWoken);
    CloseHandle(hEvent);
}

TEST(PlatformEvent, ManualResetReleasesAllWaitersAndStaysSet)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto fnWaiter = [&]() -> DWORD { return WaitForSingleObject(hEvent, INFINITE); };
    auto pFirst = startThread(fnWaiter);
    auto pSecond = startThread(fnWaiter);
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, pFirst->join());
    EXPECT_EQ(WAIT_OBJECT_0, pSecond->join());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
    EXPECT_TRUE(ResetEvent(hEvent));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
    CloseHandle(hEvent);
}

TEST(PlatformEvent, InitialStateIsHonoured)
{
    HANDLE hAuto = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hAuto, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hAuto, 0));
    CloseHandle(hAuto);
}

TEST(PlatformEvent, NamedObjectsAreShared)
{
    HANDLE hFirst = CreateEventW(nullptr, TRUE, FALSE, L"PlatformTestEvent");
    ASSERT_NE(nullptr, hFirst);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    HANDLE hSecond = CreateEventW(nullptr, TRUE, FALSE, L"PlatformTestEvent");
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(hFirst, hSecond);

    EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, L"PlatformTestEvent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // Each create is a reference of its own: the object outlives one close.
    EXPECT_TRUE(CloseHandle(hFirst));
    EXPECT_TRUE(SetEvent(hSecond));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0));
    EXPECT_TRUE(CloseHandle(hSecond));

    HANDLE hFresh = CreateEventW(nullptr, TRUE, FALSE, L"PlatformTestEvent");
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hFresh, 0));
    CloseHandle(hFresh);
}

// ------------------------------------------------------------ mutexes

TEST(PlatformMutex, OwnershipIsRecursiveAndPerThread)
{
    HANDLE hMutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, hMutex);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hMutex, 0));

    auto pOther = startThread([&]() -> DWORD {
        if (WaitForSingleObject(hMutex, 0) != WAIT_TIMEOUT) {
            return 1;
        }
        if (ReleaseMutex(hMutex) || GetLastError() != ERROR_NOT_OWNER) {
            return 2;
        }
        return 0;
    });
    EXPECT_EQ(0u, pOther->join());

    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_FALSE(ReleaseMutex(hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());

    auto pTaker = startThread([&]() -> DWORD {
        DWORD dwResult = WaitForSingleObject(hMutex, 0);
        ReleaseMutex(hMutex);
        return dwResult;
    });
    EXPECT_EQ(WAIT_OBJECT_0, pTaker->join());
    CloseHandle(hMutex);
}

TEST(PlatformMutex, ReleaseHandsItToAWaitingThread)
{
    HANDLE hMutex = CreateMutexW(nullptr, TRUE, nullptr);
    auto pWaiter = startThread([&]() -> DWORD {
        DWORD dwResult = WaitForSingleObject(hMutex, c_dwBound);
        ReleaseMutex(hMutex);
        return dwResult;
    });
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_EQ(WAIT_OBJECT_0, pWaiter->join());
    CloseHandle(hMutex);
}

// ------------------------------------------------------------ threads

DWORD WINAPI waitForEventThenReturn42(LPVOID pEvent)
{
    WaitForSingleObject(static_cast<HANDLE>(pEvent), INFINITE);
    return 42;
}

TEST(PlatformThread, HandleIsSignalledWhenTheThreadEnds)
{
    HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD dwThreadId = 0;
    HANDLE hThread = CreateThread(nullptr, 0, &waitForEventThenReturn42, hGo, 0, &dwThreadId);
    ASSERT_NE(nullptr, hThread);
    EXPECT_NE(0u, dwThreadId);
    EXPECT_NE(GetCurrentThreadId(), dwThreadId);

    DWORD dwExitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(hThread, &dwExitCode));
    EXPECT_EQ(STILL_ACTIVE, dwExitCode);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hThread, 0));

    SetEvent(hGo);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, c_dwBound));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 0));
    EXPECT_TRUE(GetExitCodeThread(hThread, &dwExitCode));
    EXPECT_EQ(42u, dwExitCode);
    CloseHandle(hThread);
    CloseHandle(hGo);
}

TEST(PlatformThread, IdIsStablePerThreadAndReportedToTheCreator)
{
    DWORD dwFirst = GetCurrentThreadId();
    EXPECT_EQ(dwFirst, GetCurrentThreadId());
    std::atomic<DWORD> dwInside{0};
    auto pThread = startThread([&]() -> DWORD {
        dwInside = GetCurrentThreadId();
        return 0;
    });
    pThread->join();
    EXPECT_EQ(pThread->threadId(), dwInside.load());
    EXPECT_NE(dwFirst, dwInside.load());
}

TEST(PlatformThread, ClosingTheHandleOfARunningThreadDetachesIt)
{
    HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hDone = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    struct ContextS
    {
        HANDLE hGo;
        HANDLE hDone;
    } context{hGo, hDone};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](LPVOID pContext) -> DWORD {
            auto* pShared = static_cast<ContextS*>(pContext);
            WaitForSingleObject(pShared->hGo, INFINITE);
            ReleaseSemaphore(pShared->hDone, 1, nullptr);
            return 0;
        },
        &context, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    EXPECT_TRUE(CloseHandle(hThread));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(hThread, 0));
    SetEvent(hGo);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hDone, c_dwBound));
    CloseHandle(hDone);
    CloseHandle(hGo);
}

TEST(PlatformThread, MissingStartRoutineIsRefused)
{
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(PlatformThread, CurrentThreadPseudoHandle)
{
    DWORD dwExitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &dwExitCode));
    EXPECT_EQ(STILL_ACTIVE, dwExitCode);
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
}

// ------------------------------------------------------------ handles

TEST(PlatformHandle, ClosingOneHandleDoesNotDisturbAWaiterOnAnother)
{
    HANDLE hWaited = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    HANDLE hStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto pWaiter = startThread([&]() -> DWORD {
        SetEvent(hStarted);
        return WaitForSingleObject(hWaited, c_dwBound);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hStarted, c_dwBound));
    for (int nRound = 0; nRound < 20; ++nRound) {
        HANDLE hOther = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_TRUE(CloseHandle(hOther));
    }
    EXPECT_TRUE(CloseHandle(hStarted));
    EXPECT_TRUE(ReleaseSemaphore(hWaited, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, pWaiter->join());
    CloseHandle(hWaited);
}

TEST(PlatformHandle, ClosedAndUnknownHandlesFail)
{
    HANDLE hClosedEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(hClosedEvent));
    HANDLE hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    int nLocal = 0;
    struct CaseS
    {
        const char* pszWhat;
        HANDLE hHandle;
    };
    const CaseS aCases[] = {
        {"closed", hClosedEvent},
        {"null", nullptr},
        {"made up", &nLocal},
        {"invalid value", INVALID_HANDLE_VALUE},
    };
    for (const CaseS& rCase : aCases) {
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(rCase.hHandle, 0)) << rCase.pszWhat;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << rCase.pszWhat;
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(rCase.hHandle)) << rCase.pszWhat;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << rCase.pszWhat;
        EXPECT_FALSE(SetEvent(rCase.hHandle)) << rCase.pszWhat;
    }
    // The right handle used as the wrong kind of object.
    EXPECT_FALSE(ReleaseSemaphore(hEvent, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(ReleaseMutex(hEvent));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_TRUE(CloseHandle(hEvent));
}

// ------------------------------------------------------------ critical sections

TEST(PlatformCriticalSection, SecondThreadWaitsUntilTheOwnerHasLeftAsOftenAsItEntered)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);

    HANDLE hEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> bTryFailed{false};
    auto pOther = startThread([&]() -> DWORD {
        bTryFailed = !TryEnterCriticalSection(&section);
        EnterCriticalSection(&section);
        SetEvent(hEntered);
        LeaveCriticalSection(&section);
        return 0;
    });
    LeaveCriticalSection(&section);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEntered, 100));
    LeaveCriticalSection(&section);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEntered, c_dwBound));
    pOther->join();
    EXPECT_TRUE(bTryFailed);
    CloseHandle(hEntered);
    DeleteCriticalSection(&section);
}

// ------------------------------------------------------------ thread-local storage

TEST(PlatformTls, ValuesArePerThread)
{
    DWORD dwIndex = TlsAlloc();
    ASSERT_NE(TLS_OUT_OF_INDEXES, dwIndex);
    int nMine = 1;
    int nTheirs = 2;
    EXPECT_TRUE(TlsSetValue(dwIndex, &nMine));
    auto pOther = startThread([&]() -> DWORD {
        if (TlsGetValue(dwIndex) != nullptr || GetLastError() != ERROR_SUCCESS) {
            return 1;
        }
        TlsSetValue(dwIndex, &nTheirs);
        return TlsGetValue(dwIndex) == &nTheirs ? 0 : 2;
    });
    EXPECT_EQ(0u, pOther->join());
    EXPECT_EQ(&nMine, TlsGetValue(dwIndex));
    EXPECT_TRUE(TlsFree(dwIndex));

    SetLastError(0);
    EXPECT_EQ(nullptr, TlsGetValue(dwIndex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(TlsSetValue(dwIndex, &nMine));
    EXPECT_FALSE(TlsFree(TLS_OUT_OF_INDEXES));
}

TEST(PlatformTls, ExhaustionReportsOutOfIndexes)
{
    std::vector<DWORD> vecIndexes;
    for (int nTry = 0; nTry < 5000; ++nTry) {
        DWORD dwIndex = TlsAlloc();
        if (dwIndex == TLS_OUT_OF_INDEXES) {
            break;
        }
        vecIndexes.push_back(dwIndex);
    }
    EXPECT_LT(vecIndexes.size(), 5000u);
    for (DWORD dwIndex : vecIndexes) {
        EXPECT_TRUE(TlsFree(dwIndex));
    }
    DWORD dwAgain = TlsAlloc();
    EXPECT_NE(TLS_OUT_OF_INDEXES, dwAgain);
    TlsFree(dwAgain);
}

// ------------------------------------------------------------ interlocked

TEST(PlatformInterlocked, CountsAtomicallyAndReturnsTheNewValue)
{
    LONG volatile lCounter = 0;
    EXPECT_EQ(1, InterlockedIncrement(&lCounter));
    EXPECT_EQ(0, InterlockedDecrement(&lCounter));
    EXPECT_EQ(-1, InterlockedDecrement(&lCounter));
    auto fnWork = [&]() -> DWORD {
        for (int nRound = 0; nRound < 20000; ++nRound) {
            InterlockedIncrement(&lCounter);
        }
        return 0;
    };
    {
        auto pFirst = startThread(fnWork);
        auto pSecond = startThread(fnWork);
        pFirst->join();
        pSecond->join();
    }
    EXPECT_EQ(39999, lCounter);
}

} // namespace
