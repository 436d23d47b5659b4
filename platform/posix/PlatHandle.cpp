// The handle table: every kernel object handed out, CloseHandle and
// WaitForSingleObject.
#include "PlatInternal.h"

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

struct HandleTableS
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    uintptr_t uNextHandle = c_uFirstHandle;
    std::unordered_map<HANDLE, HandleEntryS> mapEntries;
    std::unordered_map<std::wstring, HANDLE> mapNames;
};

// Never destroyed: detached threads and static destructors of other modules
// may still close handles while the process exits.
HandleTableS& handleTable()
{
    static HandleTableS* s_pTable = new HandleTableS;
    return *s_pTable;
}

class TableLockC
{
public:
    TableLockC() : m_rTable(handleTable()) { pthread_mutex_lock(&m_rTable.mutex); }
    ~TableLockC() { pthread_mutex_unlock(&m_rTable.mutex); }
    TableLockC(const TableLockC&) = delete;
    TableLockC& operator=(const TableLockC&) = delete;

    HandleTableS& table() { return m_rTable; }

private:
    HandleTableS& m_rTable;
};

HANDLE openExisting(HandleTableS& rTable, HANDLE h, ObjectKindE eKind)
{
    HandleEntryS& rEntry = rTable.mapEntries.at(h);
    if (rEntry.pObject->kind() != eKind) {
        failWith(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++rEntry.unHandles;
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
    TableLockC lock;
    HandleTableS& rTable = lock.table();
    if (!strName.empty()) {
        auto itName = rTable.mapNames.find(strName);
        if (itName != rTable.mapNames.end()) {
            return openExisting(rTable, itName->second, eKind);
        }
    }
    ObjectPtrT pObject = fnMake();
    if (!pObject) {
        return nullptr;
    }
    HANDLE h = reinterpret_cast<HANDLE>(rTable.uNextHandle);
    rTable.uNextHandle += c_uHandleStep;
    rTable.mapEntries[h] = HandleEntryS{pObject, 1, strName};
    if (!strName.empty()) {
        rTable.mapNames[strName] = h;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

ObjectPtrT lookupObject(HANDLE h)
{
    TableLockC lock;
    auto it = lock.table().mapEntries.find(h);
    return it != lock.table().mapEntries.end() ? it->second.pObject : nullptr;
}

} // namespace plat

BOOL CloseHandle(HANDLE hObject)
{
    if (hObject == plat::currentThreadHandle()) {
        return TRUE;
    }
    // Destroyed after the table lock is released: a thread object's last
    // reference may be dropped here.
    plat::ObjectPtrT pClosed;
    {
        plat::TableLockC lock;
        plat::HandleTableS& rTable = lock.table();
        auto it = rTable.mapEntries.find(hObject);
        if (it != rTable.mapEntries.end()) {
            if (--it->second.unHandles == 0) {
                pClosed = std::move(it->second.pObject);
                if (!it->second.strName.empty()) {
                    rTable.mapNames.erase(it->second.strName);
                }
                rTable.mapEntries.erase(it);
            }
            return TRUE;
        }
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
    if (pObject->tryAcquireFast()) {
        return WAIT_OBJECT_0;
    }
    plat::ObjectLockC lock(*pObject);
    if (pObject->tryAcquire()) {
        return WAIT_OBJECT_0;
    }
    if (dwMilliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    struct timespec deadline = plat::deadlineAfter(dwMilliseconds);
    const struct timespec* pDeadline = dwMilliseconds == INFINITE ? nullptr : &deadline;
    pObject->beginWait();
    DWORD dwResult = WAIT_TIMEOUT;
    for (;;) {
        if (pObject->tryAcquire()) {
            dwResult = WAIT_OBJECT_0;
            break;
        }
        if (!pObject->waitUntil(pDeadline) && !pObject->tryAcquire()) {
            break;
        }
    }
    pObject->endWait();
    return dwResult;
}
