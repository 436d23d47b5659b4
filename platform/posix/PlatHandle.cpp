// The handle table: every kernel object handed out, CloseHandle and
// WaitForSingleObject.
#include "PlatInternal.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>
#include <unordered_map>

namespace plat {

namespace {

struct HandleEntryS
{
    ObjectPtrT pObject;
    unsigned unHandles;
    std::wstring strName;
};

// Handle values are drawn from a counter above every file descriptor and are
// never reused, so a stale handle can only fail, never reach a newer object
// (as an object's address could once its memory is reused).
const uintptr_t c_uFirstHandle = uintptr_t(1) << 32;
const uintptr_t c_uHandleStep = 8;
// Lookups of different handles take different locks, so the two sides of a
// hand-over do not queue for one.
const size_t c_unShards = 16;

struct ShardS
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::unordered_map<HANDLE, HandleEntryS> mapEntries;
};

struct HandleTableS
{
    std::atomic<uintptr_t> uNextHandle{c_uFirstHandle};
    ShardS aShards[c_unShards];
    // Guards the names; taken before a shard's lock.
    pthread_mutex_t namesMutex = PTHREAD_MUTEX_INITIALIZER;
    std::unordered_map<std::wstring, HANDLE> mapNames;
};

// Never destroyed: detached threads and static destructors of other modules
// may still close handles while the process exits.
HandleTableS& handleTable()
{
    static HandleTableS* s_pTable = new HandleTableS;
    return *s_pTable;
}

ShardS& shardOf(HANDLE h)
{
    return handleTable().aShards[(reinterpret_cast<uintptr_t>(h) / c_uHandleStep) % c_unShards];
}

class MutexLockC
{
public:
    explicit MutexLockC(pthread_mutex_t& rMutex) : m_rMutex(rMutex)
    {
        pthread_mutex_lock(&m_rMutex);
    }
    ~MutexLockC() { pthread_mutex_unlock(&m_rMutex); }
    MutexLockC(const MutexLockC&) = delete;
    MutexLockC& operator=(const MutexLockC&) = delete;

private:
    pthread_mutex_t& m_rMutex;
};

HANDLE openExisting(HANDLE h, ObjectKindE eKind)
{
    ShardS& rShard = shardOf(h);
    MutexLockC lock(rShard.mutex);
    auto it = rShard.mapEntries.find(h);
    if (it == rShard.mapEntries.end() || it->second.pObject->kind() != eKind) {
        failWith(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++it->second.unHandles;
    SetLastError(ERROR_ALREADY_EXISTS);
    return h;
}

} // namespace

KernelObjectC::KernelObjectC()
{
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &attr);
    pthread_condattr_destroy(&attr);
}

KernelObjectC::~KernelObjectC()
{
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

bool KernelObjectC::waitUntil(const struct timespec* pDeadline)
{
    if (pDeadline == nullptr) {
        pthread_cond_wait(&m_cond, &m_mutex);
        return true;
    }
    return pthread_cond_timedwait(&m_cond, &m_mutex, pDeadline) != ETIMEDOUT;
}

DWORD KernelObjectC::wait(DWORD dwMilliseconds)
{
    ObjectLockC lock(*this);
    if (tryAcquire()) {
        return WAIT_OBJECT_0;
    }
    if (dwMilliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    struct timespec deadline = deadlineAfter(dwMilliseconds);
    const struct timespec* pDeadline = dwMilliseconds == INFINITE ? nullptr : &deadline;
    for (;;) {
        bool bInTime = waitUntil(pDeadline);
        if (tryAcquire()) {
            return WAIT_OBJECT_0;
        }
        if (!bInTime) {
            return WAIT_TIMEOUT;
        }
    }
}

struct timespec deadlineAfter(DWORD dwMilliseconds)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += dwMilliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

HANDLE createObject(ObjectKindE eKind, LPCWSTR pszName, const std::function<ObjectPtrT()>& fnMake)
{
    std::wstring strName = pszName != nullptr ? pszName : L"";
    HandleTableS& rTable = handleTable();
    MutexLockC namesLock(rTable.namesMutex);
    if (!strName.empty()) {
        auto itName = rTable.mapNames.find(strName);
        if (itName != rTable.mapNames.end()) {
            return openExisting(itName->second, eKind);
        }
    }
    ObjectPtrT pObject = fnMake();
    if (!pObject) {
        return nullptr;
    }
    HANDLE h = reinterpret_cast<HANDLE>(rTable.uNextHandle.fetch_add(c_uHandleStep));
    {
        ShardS& rShard = shardOf(h);
        MutexLockC lock(rShard.mutex);
        rShard.mapEntries[h] = HandleEntryS{pObject, 1, strName};
    }
    if (!strName.empty()) {
        rTable.mapNames[strName] = h;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

ObjectPtrT lookupObject(HANDLE h)
{
    ShardS& rShard = shardOf(h);
    MutexLockC lock(rShard.mutex);
    auto it = rShard.mapEntries.find(h);
    return it != rShard.mapEntries.end() ? it->second.pObject : nullptr;
}

} // namespace plat

BOOL CloseHandle(HANDLE hObject)
{
    if (hObject == plat::currentThreadHandle()) {
        return TRUE;
    }
    // Destroyed after the locks are released: a thread object's last
    // reference may be dropped here. The names' lock comes first, as in
    // createObject, so a name never outlives its handle.
    plat::ObjectPtrT pClosed;
    bool bFound = false;
    {
        plat::HandleTableS& rTable = plat::handleTable();
        plat::MutexLockC namesLock(rTable.namesMutex);
        plat::ShardS& rShard = plat::shardOf(hObject);
        plat::MutexLockC lock(rShard.mutex);
        auto it = rShard.mapEntries.find(hObject);
        if (it != rShard.mapEntries.end()) {
            bFound = true;
            if (--it->second.unHandles == 0) {
                pClosed = std::move(it->second.pObject);
                if (!it->second.strName.empty()) {
                    rTable.mapNames.erase(it->second.strName);
                }
                rShard.mapEntries.erase(it);
            }
        }
    }
    if (bFound) {
        return TRUE;
    }
    if (plat::isSerialHandle(hObject)) {
        return plat::closeSerialHandle(hObject);
    }
    return plat::failWith(ERROR_INVALID_HANDLE);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    // The reference keeps the object alive should another thread close the
    // handle while this one waits.
    plat::ObjectPtrT pObject = plat::lookupObject(hHandle);
    if (!pObject) {
        plat::failWith(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return pObject->wait(dwMilliseconds);
}
