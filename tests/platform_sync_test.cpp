// Threads, waitable objects, handles, critical sections and thread-local
// storage of the POSIX platform layer, exercised across real threads.
#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

namespace {

using ClockT = std::chrono::steady_clock;

const DWORD c_dwBound = 5000; // generous bound for events that must happen

long long millisecondsSince(ClockT::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(ClockT::now() - start).count();
}

// A platform thread running a lambda, waited for and closed on scope end.
class ThreadC
{
public:
    explicit ThreadC(std::function<DWORD()> fnBody) : m_fnBody(std::move(fnBody))
    {
        m_hThread = CreateThread(nullptr, 0, &ThreadC::run, this, 0, &m_dwThreadId);
        EXPECT_NE(nullptr, m_hThread);
    }
    ~ThreadC()
    {
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
    }
    ThreadC(const ThreadC&) = delete;
    ThreadC& operator=(const ThreadC&) = delete;

    DWORD join()
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hThread, c_dwBound));
        DWORD dwExitCode = 0;
        EXPECT_TRUE(GetExitCodeThread(m_hThread, &dwExitCode));
        return dwExitCode;
    }

    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;

private:
    static DWORD WINAPI run(LPVOID pSelf) { return static_cast<ThreadC*>(pSelf)->m_fnBody(); }

    std::function<DWORD()> m_fnBody;
};

// ------------------------------------------------------------ semaphores

TEST(PlatformSemaphore, CountNeverExceedsTheMaximum)
{
    HANDLE hSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    ASSERT_NE(nullptr, hSemaphore);
    EXPECT_FALSE(ReleaseSemaphore(hSemaphore, 2, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    LONG lPrevious = -1;
    EXPECT_TRUE(ReleaseSemaphore(hSemaphore, 1, &lPrevious));
    EXPECT_EQ(0, lPrevious);
    EXPECT_FALSE(ReleaseSemaphore(hSemaphore, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSemaphore, 0));
    auto start = ClockT::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSemaphore, 0));
    EXPECT_LT(millisecondsSince(start), 50);
    start = ClockT::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSemaphore, 60));
    EXPECT_GE(millisecondsSince(start), 60);
    EXPECT_LT(millisecondsSince(start), 2000);
    EXPECT_FALSE(ReleaseSemaphore(hSemaphore, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(CloseHandle(hSemaphore));
}

TEST(PlatformSemaphore, InvalidCountsAreRefused)
{
    const std::pair<LONG, LONG> aCases[] = {{0, 0}, {2, 1}, {-1, 1}, {0, -5}};
    for (const auto& counts : aCases) {
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, counts.first, counts.second, nullptr))
            << counts.first << "/" << counts.second;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
}

TEST(PlatformSemaphore, ReleaseWakesAWaiterInAnotherThread)
{
    HANDLE hSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    ThreadC waiter([&] { return WaitForSingleObject(hSemaphore, INFINITE); });
    EXPECT_TRUE(ReleaseSemaphore(hSemaphore, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, waiter.join());
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
    ThreadC first(fnWaiter), second(fnWaiter);
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hWoken, c_dwBound));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hWoken, 100));
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hWoken, c_dwBound));
    EXPECT_EQ(WAIT_OBJECT_0, first.join());
    EXPECT_EQ(WAIT_OBJECT_0, second.join());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
    CloseHandle(hWoken);
    CloseHandle(hEvent);

    HANDLE hInitiallySet = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hInitiallySet, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hInitiallySet, 0));
    CloseHandle(hInitiallySet);
}

TEST(PlatformEvent, ManualResetReleasesAllWaitersAndStaysSet)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto fnWaiter = [&] { return WaitForSingleObject(hEvent, INFINITE); };
    ThreadC first(fnWaiter), second(fnWaiter);
    EXPECT_TRUE(SetEvent(hEvent));
    EXPECT_EQ(WAIT_OBJECT_0, first.join());
    EXPECT_EQ(WAIT_OBJECT_0, second.join());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
    EXPECT_TRUE(ResetEvent(hEvent));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
    CloseHandle(hEvent);
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
    ThreadC other([&]() -> DWORD {
        if (WaitForSingleObject(hMutex, 0) != WAIT_TIMEOUT)
            return 1;
        return ReleaseMutex(hMutex) || GetLastError() != ERROR_NOT_OWNER ? 2 : 0;
    });
    EXPECT_EQ(0u, other.join());

    EXPECT_TRUE(ReleaseMutex(hMutex));
    // Still owned once more: the waiter gets it only with the last release.
    ThreadC waiter([&] {
        DWORD dwResult = WaitForSingleObject(hMutex, c_dwBound);
        ReleaseMutex(hMutex);
        return dwResult;
    });
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_EQ(WAIT_OBJECT_0, waiter.join());
    EXPECT_FALSE(ReleaseMutex(hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
    CloseHandle(hMutex);
}

// ------------------------------------------------------------ threads

TEST(PlatformThread, HandleIsSignalledWhenTheThreadEndsWithItsExitCode)
{
    HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> dwInside{0};
    ThreadC thread([&] {
        WaitForSingleObject(hGo, INFINITE);
        dwInside = GetCurrentThreadId();
        return DWORD(42);
    });
    DWORD dwExitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.m_hThread, &dwExitCode));
    EXPECT_EQ(STILL_ACTIVE, dwExitCode);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.m_hThread, 0));

    SetEvent(hGo);
    EXPECT_EQ(42u, thread.join());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.m_hThread, 0));
    EXPECT_EQ(thread.m_dwThreadId, dwInside.load());
    EXPECT_NE(GetCurrentThreadId(), dwInside.load());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    CloseHandle(hGo);

    EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &dwExitCode));
    EXPECT_EQ(STILL_ACTIVE, dwExitCode);
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(PlatformThread, ClosingTheHandleOfARunningThreadDetachesIt)
{
    HANDLE aShared[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                         CreateSemaphoreW(nullptr, 0, 1, nullptr)};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](LPVOID pShared) -> DWORD {
            WaitForSingleObject(static_cast<HANDLE*>(pShared)[0], INFINITE);
            ReleaseSemaphore(static_cast<HANDLE*>(pShared)[1], 1, nullptr);
            return 0;
        },
        aShared, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    EXPECT_TRUE(CloseHandle(hThread));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(hThread, 0));
    SetEvent(aShared[0]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(aShared[1], c_dwBound));
    CloseHandle(aShared[1]);
    CloseHandle(aShared[0]);
}

// ------------------------------------------------------------ handles

TEST(PlatformHandle, ClosingOneHandleDoesNotDisturbAWaiterOnAnother)
{
    HANDLE hWaited = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    HANDLE hStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ThreadC waiter([&] {
        SetEvent(hStarted);
        return WaitForSingleObject(hWaited, c_dwBound);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hStarted, c_dwBound));
    for (int nRound = 0; nRound < 20; ++nRound)
        EXPECT_TRUE(CloseHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr)));
    EXPECT_TRUE(CloseHandle(hStarted));
    EXPECT_TRUE(ReleaseSemaphore(hWaited, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, waiter.join());
    CloseHandle(hWaited);
}

TEST(PlatformHandle, ClosedAndUnknownHandlesFail)
{
    HANDLE hClosedEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(hClosedEvent));
    int nLocal = 0;
    const std::pair<const char*, HANDLE> aCases[] = {
        {"closed", hClosedEvent},
        {"null", nullptr},
        {"made up", &nLocal},
        {"invalid value", INVALID_HANDLE_VALUE},
    };
    for (const auto& handle : aCases) {
        SCOPED_TRACE(handle.first);
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(handle.second, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(handle.second));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_FALSE(SetEvent(handle.second));
    }
    // The right handle used as the wrong kind of object.
    HANDLE hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
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
    ThreadC other([&] {
        bTryFailed = !TryEnterCriticalSection(&section);
        EnterCriticalSection(&section);
        SetEvent(hEntered);
        LeaveCriticalSection(&section);
        return DWORD(0);
    });
    LeaveCriticalSection(&section);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEntered, 100));
    LeaveCriticalSection(&section);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEntered, c_dwBound));
    other.join();
    EXPECT_TRUE(bTryFailed);
    CloseHandle(hEntered);
    DeleteCriticalSection(&section);
}

// ------------------------------------------------------------ thread-local storage

TEST(PlatformTls, ValuesArePerThread)
{
    DWORD dwIndex = TlsAlloc();
    ASSERT_NE(TLS_OUT_OF_INDEXES, dwIndex);
    int nMine = 1, nTheirs = 2;
    EXPECT_TRUE(TlsSetValue(dwIndex, &nMine));
    ThreadC other([&]() -> DWORD {
        if (TlsGetValue(dwIndex) != nullptr || GetLastError() != ERROR_SUCCESS)
            return 1;
        TlsSetValue(dwIndex, &nTheirs);
        return TlsGetValue(dwIndex) == &nTheirs ? 0 : 2;
    });
    EXPECT_EQ(0u, other.join());
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
    DWORD dwIndex = 0;
    while (vecIndexes.size() < 5000 && (dwIndex = TlsAlloc()) != TLS_OUT_OF_INDEXES)
        vecIndexes.push_back(dwIndex);
    EXPECT_LT(vecIndexes.size(), 5000u);
    for (DWORD dwFree : vecIndexes)
        EXPECT_TRUE(TlsFree(dwFree));
    dwIndex = TlsAlloc();
    EXPECT_NE(TLS_OUT_OF_INDEXES, dwIndex);
    TlsFree(dwIndex);
}

// ------------------------------------------------------------ interlocked

TEST(PlatformInterlocked, CountsAtomicallyAndReturnsTheNewValue)
{
    LONG volatile lCounter = 0;
    EXPECT_EQ(1, InterlockedIncrement(&lCounter));
    EXPECT_EQ(0, InterlockedDecrement(&lCounter));
    EXPECT_EQ(-1, InterlockedDecrement(&lCounter));
    auto fnWork = [&] {
        for (int nRound = 0; nRound < 20000; ++nRound)
            InterlockedIncrement(&lCounter);
        return DWORD(0);
    };
    {
        ThreadC first(fnWork), second(fnWork);
    }
    EXPECT_EQ(39999, lCounter);
}

} // namespace
