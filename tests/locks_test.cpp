// Locks, guards, semaphores and events across real threads.
#include "Nox_Err/NOX_ERR_Error.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include "WaitFor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace NOX::TSK;
using namespace std::chrono_literals;

namespace {

uint32_t lockErrorCode(const std::function<void()>& action)
{
    try {
        action();
    } catch (const LockingExceptionC& e) {
        return e.getCode();
    }
    return 0;
}

} // namespace

TEST(ReaderWriterLock, TwoReadersShareAndAWriterWaitsForBoth)
{
    ReaderWriterLockC rw;
    std::atomic<bool> bFirstIn{false}, bSecondIn{false}, bWriterIn{false};
    std::atomic<bool> bReleaseFirst{false}, bReleaseSecond{false};

    auto reader = [&rw](std::atomic<bool>& bIn, std::atomic<bool>& bRelease) {
        GuardC guard(rw.getReadLock());
        bIn = true;
        holdUntil(bRelease);
    };
    std::thread first(reader, std::ref(bFirstIn), std::ref(bReleaseFirst));
    std::thread second(reader, std::ref(bSecondIn), std::ref(bReleaseSecond));
    ASSERT_TRUE(waitFor(bFirstIn));
    ASSERT_TRUE(waitFor(bSecondIn));

    std::thread writer([&] {
        GuardC guard(rw.getWriteLock());
        bWriterIn = true;
    });
    EXPECT_TRUE(staysClear(bWriterIn));
    bReleaseFirst = true;
    first.join();
    EXPECT_TRUE(staysClear(bWriterIn)) << "a writer must wait for every reader";
    bReleaseSecond = true;
    second.join();
    EXPECT_TRUE(waitFor(bWriterIn));
    writer.join();
}

TEST(ReaderWriterLock, AWriterBlocksReaders)
{
    ReaderWriterLockC rw;
    std::atomic<bool> bReaderIn{false};
    std::thread reader;
    {
        GuardC guard(rw.getWriteLock());
        reader = std::thread([&] {
            GuardC readGuard(rw.getReadLock());
            bReaderIn = true;
        });
        EXPECT_TRUE(staysClear(bReaderIn));
    }
    EXPECT_TRUE(waitFor(bReaderIn));
    reader.join();
}

TEST(CriticalSection, IsReentrantAndHeldUntilReleasedAsOftenAsTaken)
{
    CriticalSectionC cs;
    std::atomic<bool> bOtherIn{false};
    cs.lock();
    cs.lock();
    std::thread other([&] {
        GuardC guard(cs);
        bOtherIn = true;
    });
    cs.unlock();
    EXPECT_TRUE(staysClear(bOtherIn)) << "one unlock of two must keep the section";
    cs.unlock();
    EXPECT_TRUE(waitFor(bOtherIn));
    other.join();
}

TEST(Semaphore, IsBinaryTimesOutWithItsCodeAndWakesAnotherThread)
{
    SemaphoreC sem;
    EXPECT_EQ(LockingExceptionC::c_unTimeout, lockErrorCode([&] { sem.wait(0); }));
    sem.signal();
    sem.signal();
    EXPECT_EQ(0u, lockErrorCode([&] { sem.wait(0); }));
    EXPECT_EQ(LockingExceptionC::c_unTimeout, lockErrorCode([&] { sem.wait(0); }))
        << "the second signal must be lost at maximum count 1";

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LockingExceptionC::c_unTimeout, lockErrorCode([&] { sem.wait(100); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);

    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        sem.signal();
    });
    EXPECT_EQ(0u, lockErrorCode([&] { sem.wait(2000); }));
    signaller.join();
}

TEST(SlowMutex, CountsRecursionAndHandsOver)
{
    SlowMutexC mutex;
    mutex.lock();
    mutex.lock(100);
    EXPECT_EQ(2, mutex.getCount());

    std::thread other([&] {
        EXPECT_FALSE(mutex.tryLock());
        EXPECT_EQ(LockingExceptionC::c_unTimeout, lockErrorCode([&] { mutex.lock(20); }));
        EXPECT_EQ(LockingExceptionC::c_unUnusable, lockErrorCode([&] { mutex.lockN(1, 20); }))
            << "any failed wait of lockN, a time-out included, is reported as unusable";
    });
    other.join();

    EXPECT_EQ(2, mutex.releaseAll());
    EXPECT_EQ(0, mutex.getCount());
    std::thread taker([&] {
        mutex.lockN(3, 100);
        EXPECT_EQ(3, mutex.getCount());
        EXPECT_EQ(3, mutex.releaseAll());
    });
    taker.join();
}

TEST(Event, AutoResetWakesOneWaitManualResetStaysSet)
{
    EventC autoEvent;
    EventC manualEvent(true);
    EXPECT_TRUE(autoEvent.set());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEvent.getHandle(), 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoEvent.getHandle(), 0));

    EXPECT_TRUE(manualEvent.set());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manualEvent.getHandle(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manualEvent.getHandle(), 0));
    EXPECT_TRUE(manualEvent.reset());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manualEvent.getHandle(), 0));
}

TEST(LockingException, CarriesItsCodeAndNoTextWhileTextsAreOff)
{
    ASSERT_FALSE(ERR::ErrorBaseC::isErrorTextEnabled());
    try {
        waitOrThrow(nullptr, 0);
        FAIL() << "a missing handle must throw";
    } catch (const NOX::SysServiceErrorC& e) {
        EXPECT_EQ(0x03101001u, e.getCode());
        EXPECT_STREQ("", e.what());
    }
}

TEST(ErrorBase, CollectsBoundedTextOnlyWhileTheSwitchIsOn)
{
    ERR::ErrorBaseC::setErrorTextEnabled(true);
    ERR::ErrorBaseC error(7, "lock ");
    error.append('#').append(12L).append(" at ").appendHex(0xbeefUL);
    EXPECT_STREQ("lock #12 at 0x0000beef", error.what());

    ERR::ErrorBaseC copy(error);
    EXPECT_STREQ(error.what(), copy.what());
    EXPECT_EQ(7u, copy.getCode());

    ERR::ErrorBaseC longError(1);
    for (int i = 0; i < 100; ++i) {
        longError.append("0123456789");
    }
    EXPECT_EQ(239u, std::strlen(longError.what()));
    ERR::ErrorBaseC::setErrorTextEnabled(false);

    ERR::ErrorBaseC silent(3, "text");
    silent.append("more");
    EXPECT_STREQ("", silent.what());
}
