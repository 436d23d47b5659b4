// Shared plumbing of the POSIX platform layer. Not seen above platform/.
#pragma once

#include "Platform.h"

#include <pthread.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace plat {

// The Win32 error code that stands for an errno value.
DWORD errorFromErrno(int nErrno);

// Sets the calling thread's last error from errno and returns FALSE, for the
// common failure path of a call.
BOOL failWithErrno();
BOOL failWith(DWORD dwError);

// Handles of serial devices are file descriptors; every other handle names
// a kernel object in the handle table (values from 2^32 up). These tell them apart and close a
// serial handle.
bool isSerialHandle(HANDLE h);
BOOL closeSerialHandle(HANDLE h);

// Text between the wide strings of the interface and UTF-8. Invalid input
// (bad UTF-8, lone surrogates, values past U+10FFFF) becomes U+FFFD.
std::wstring wideFromUtf8(const char* pText, size_t unLength);
std::string utf8FromWide(const wchar_t* pText, size_t unLength, bool* pbReplaced = nullptr);

// ------------------------------------------------------------ kernel objects

// Named objects of different kinds share one namespace, as on the target.
enum class ObjectKindE
{
    Thread,
    Semaphore,
    Mutex,
    Event
};

// A waitable object. Its state is guarded by its own lock; waiters sleep on
// its condition (monotonic clock) until tryAcquire succeeds.
class KernelObjectC
{
public:
    KernelObjectC();
    virtual ~KernelObjectC();
    KernelObjectC(const KernelObjectC&) = delete;
    KernelObjectC& operator=(const KernelObjectC&) = delete;

    virtual ObjectKindE kind() const = 0;

    // Called with the lock held: true when the object is signalled, taking
    // what a satisfied wait takes (a count, the ownership, an auto reset).
    virtual bool tryAcquire() = 0;
    // A wait of WaitForSingleObject: WAIT_OBJECT_0 or WAIT_TIMEOUT. The
    // default sleeps on the object's condition until tryAcquire succeeds;
    // a kind with a faster way of its own overrides it.
    virtual DWORD wait(DWORD dwMilliseconds);

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    void wakeAll() { pthread_cond_broadcast(&m_cond); }
    // Waits on the condition with the lock held; false once the monotonic
    // deadline has passed. A null deadline waits without limit.
    bool waitUntil(const struct timespec* pDeadline);

    // Set when the last owner let go; the memory is freed once no thread
    // still uses the object through a handle it looked up.
    void markRetired() { m_bRetired.store(true); }
    bool isRetired() const { return m_bRetired.load(); }

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    std::atomic<bool> m_bRetired{false};
};

// Holds a kernel object's lock for one scope.
class ObjectLockC
{
public:
    explicit ObjectLockC(KernelObjectC& rObject) : m_rObject(rObject) { m_rObject.lock(); }
    ~ObjectLockC() { m_rObject.unlock(); }
    ObjectLockC(const ObjectLockC&) = delete;
    ObjectLockC& operator=(const ObjectLockC&) = delete;

private:
    KernelObjectC& m_rObject;
};

typedef std::shared_ptr<KernelObjectC> ObjectPtrT;

// Hands a kernel object whose last owner let go to the handle table, which
// frees it once no lookup uses it any more.
void retireObject(KernelObjectC* pObject);

// A new kernel object; its owners share it, and it is freed through the
// handle table, never while a lookup still uses it.
template <class T, class... A> std::shared_ptr<T> makeObject(A&&... args)
{
    return std::shared_ptr<T>(new T(std::forward<A>(args)...), &retireObject);
}

// Enters a new object in the handle table and returns its handle. With a name
// that is already taken, the existing object's handle is returned instead
// (another reference to it) and the last error is ERROR_ALREADY_EXISTS, or,
// when that object is of another kind, null with ERROR_INVALID_HANDLE.
// fnMake is called only when a new object is needed.
HANDLE createObject(ObjectKindE eKind, LPCWSTR pszName, const std::function<ObjectPtrT()>& fnMake);

// The calling thread's claim on one looked-up object: while it lasts, the
// object is not freed, even if another thread closes its last handle.
// Lookups take no lock and write only the calling thread's own record, so the
// two sides of a hand-over do not slow each other down. A thread holds one at
// a time.
class ObjectUseC
{
public:
    ObjectUseC() = default;
    ~ObjectUseC();
    ObjectUseC(ObjectUseC&& rOther) noexcept : m_pObject(rOther.m_pObject)
    {
        rOther.m_pObject = nullptr;
    }
    ObjectUseC(const ObjectUseC&) = delete;
    ObjectUseC& operator=(const ObjectUseC&) = delete;
    ObjectUseC& operator=(ObjectUseC&&) = delete;

    KernelObjectC* get() const { return m_pObject; }
    explicit operator bool() const { return m_pObject != nullptr; }

private:
    friend ObjectUseC lookupObject(HANDLE h);
    explicit ObjectUseC(KernelObjectC* pObject) : m_pObject(pObject) {}

    KernelObjectC* m_pObject = nullptr;
};

// The live object behind a handle, or an empty use (handle unknown or closed).
ObjectUseC lookupObject(HANDLE h);

// A use of an object of a known kind.
template <class T> class TypedUseC
{
public:
    explicit TypedUseC(ObjectUseC use) : m_use(std::move(use)) {}
    T* operator->() const { return static_cast<T*>(m_use.get()); }
    explicit operator bool() const { return static_cast<bool>(m_use); }

private:
    ObjectUseC m_use;
};

// The live object behind a handle when it is of the given kind; otherwise
// an empty use with the last error set to ERROR_INVALID_HANDLE.
template <class T> TypedUseC<T> lookupObjectAs(HANDLE h, ObjectKindE eKind)
{
    ObjectUseC use = lookupObject(h);
    if (!use || use.get()->kind() != eKind) {
        failWith(ERROR_INVALID_HANDLE);
        return TypedUseC<T>(ObjectUseC());
    }
    return TypedUseC<T>(std::move(use));
}

// The monotonic clock point dwMilliseconds from now.
struct timespec deadlineAfter(DWORD dwMilliseconds);

// The pseudo handle of the calling thread, as GetCurrentThread returns it. A
// function rather than a constant: it may be asked for during static
// initialisation.
inline HANDLE currentThreadHandle()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

// The priority of a running thread on the target's 0..255 scale.
int targetPriorityOf(pthread_t thread);

} // namespace plat
