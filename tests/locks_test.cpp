// What the foundation's locks add over the platform's objects: the
// reader-writer lock, recursion counting and hand-over, their error codes and
// texts. Wake-ups and time-outs themselves are the platform's.
#include "Nox_Err/NOX_ERR_Error.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include "WaitFor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

using namespace NOX::TSK;

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

// Takes the lock on a thread of its own and sets the flag once inside.
std::thread enter(LockC& lock, std::atomic<bool>& bIn)
{
    bIn = false;
    return std::thread([&lock, &bIn] {
        GuardC guard(lock);
        bIn = true;
    });
}

} // namespace

TEST(ReaderWriterLock, ReadersShareAndAWriterExcludesEveryone)
{
    ReaderWriterLockC rw;
    std::atomic<bool> bIn{false};
    rw.getReadLock().lock();
    std::thread(enter(rw.getReadLock(), bIn)).join();
    EXPECT_TRUE(bIn) << "a second reader shares the lock";
    rw.getReadLock().unlock();
    // A writer waits for the reader in, a reader for the writer in.
    for (LockC* pFirst : {&rw.getReadLock(), &rw.getWriteLock()}) {
        pFirst->lock();
        std::thread other =
            enter(pFirst == &rw.getReadLock() ? rw.getWriteLock() : rw.getReadLock(), bIn);
        EXPECT_TRUE(staysClear(bIn));
        pFirst->unlock();
        EXPECT_TRUE(waitFor(bIn));
        other.join();
    }
}

TEST(Semaphore, KeepsOneSignalAndThrowsItsTimeOutCode)
{
    SemaphoreC sem;
    sem.signal();
    sem.signal();
    EXPECT_EQ(0u, lockErrorCode([&] { sem.wait(0); }));
    EXPECT_EQ(LockingExceptionC::c_unTimeout, lockErrorCode([&] { sem.wait(0); }));
}

TEST(SlowMutex, CountsRecursionAndHandsOver)
{
    SlowMutexC mutex;
    mutex.lock();
    mutex.lock(100);
    std::thread([&] {
        EXPECT_FALSE(mutex.tryLock());
        EXPECT_EQ(LockingExceptionC::c_unTimeout, lockErrorCode([&] { mutex.lock(0); }));
        EXPECT_EQ(LockingExceptionC::c_unUnusable, lockErrorCode([&] { mutex.lockN(1, 0); }))
            << "lockN reports any failed wait, a time-out included, as unusable";
    }).join();

    EXPECT_EQ(2, mutex.releaseAll());
    EXPECT_EQ(0, mutex.getCount());
    std::thread([&] {
        EXPECT_EQ(0u, lockErrorCode([&] { mutex.lockN(3, 100); }));
        EXPECT_EQ(3, mutex.releaseAll());
    }).join();
}

TEST(ErrorBase, CollectsBoundedTextOnlyWhileTheSwitchIsOn)
{
    using ERR::ErrorBaseC;
    ErrorBaseC::setErrorTextEnabled(true);
    ErrorBaseC error(7, "lock ");
    error.append('#').append(12L).append(" at ").appendHex(0xbeefUL);
    EXPECT_STREQ("lock #12 at 0x0000beef", ErrorBaseC(error).what());

    ErrorBaseC longError(1, std::string(1000, 'x').c_str());
    EXPECT_EQ(239u, std::strlen(longError.append("more").what()));
    ErrorBaseC::setErrorTextEnabled(false);

    EXPECT_STREQ("", ErrorBaseC(3, "text").append("more").what());
}
