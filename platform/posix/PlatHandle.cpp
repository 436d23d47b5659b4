// The handle table: every kernel object handed out, CloseHandle and
// WaitForSingleObject.
//
// Creating and closing take the table's lock; a lookup takes none. It reads
// the handle's slot and announces the object it found in the calling
// thread's hazard record, and an object whose last owner let go is freed
// only when no record names it.
#include "PlatInternal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

// Handle values lie above every file descriptor. A handle is its slot's index
// and the slot's generation, which grows each time the slot is used again, so
// a stale handle can only fail, never reach a newer object.
const uintptr_t c_uFirstHandle = uintptr_t(1) << 32;
const uintptr_t c_uHandleStep = 8;
const unsigned c_unIndexBits = 24;
const uint32_t c_unMaxSlots = uint32_t(1) << c_unIndexBits;
const uint32_t c_unChunkBits = 10;
const uint32_t c_unChunkSlots = uint32_t(1) << c_unChunkBits;
const uint32_t c_unChunks = c_unMaxSlots / c_unChunkSlots;
// A closed slot waits behind this many others before it is used again, so a
// handle value would come back only after some 2^36 creations.
const size_t c_unReuseDistance = 256;

struct SlotS
{
    // Read by lookups without the lock.
    std::atomic<uintptr_t> uHandle{0};
    std::atomic<KernelObjectC*> pObject{nullptr};
    // Under the table's lock.
    ObjectPtrT pOwner;
    unsigned unHandles = 0;
    uint32_t unGeneration = 0;
    std::wstring strName;
};

// Slots live in chunks that are never freed, so a lookup may read a slot
// whatever happens to it meanwhile.
struct HandleTableS
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<SlotS*> apChunks[c_unChunks] = {};
    uint32_t unUsedSlots = 0;
    std::deque<uint32_t> queFree;
    std::unordered_map<std::wstring, HANDLE> mapNames;
};

// One per thread that has looked a handle up; records are reused by later
// threads, never freed.
struct HazardS
{
    std::atomic<KernelObjectC*> pInUse{nullptr};
    std::atomic<bool> bOwned{false};
    HazardS* pNext = nullptr;
};

struct RetiredS
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<KernelObjectC*> vecObjects;
};

// Never destroyed: detached threads and static destructors of other modules
// may still close handles while the process exits.
HandleTableS& handleTable()
{
    static HandleTableS* s_pTable = new HandleTableS;
    return *s_pTable;
}

RetiredS& retired()
{
    static RetiredS* s_pRetired = new RetiredS;
    return *s_pRetired;
}

std::atomic<HazardS*> g_pHazards{nullptr};
thread_local HazardS* t_pHazard = nullptr;

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

// ------------------------------------------------------------ hazard records

void releaseHazard(void* pHazard)
{
    static_cast<HazardS*>(pHazard)->bOwned.store(false);
    t_pHazard = nullptr;
}

// A key only for its destructor, which hands the record back at thread exit.
pthread_key_t hazardKey()
{
    static pthread_key_t s_key = [] {
        pthread_key_t key;
        pthread_key_create(&key, &releaseHazard);
        return key;
    }();
    return s_key;
}

HazardS* claimHazard()
{
    HazardS* pHazard = g_pHazards.load();
    for (; pHazard != nullptr; pHazard = pHazard->pNext) {
        bool bFree = false;
        if (pHazard->bOwned.compare_exchange_strong(bFree, true)) {
            break;
        }
    }
    if (pHazard == nullptr) {
        pHazard = new HazardS;
        pHazard->bOwned.store(true);
        pHazard->pNext = g_pHazards.load();
        while (!g_pHazards.compare_exchange_weak(pHazard->pNext, pHazard)) {
        }
    }
    pthread_setspecific(hazardKey(), pHazard);
    return pHazard;
}

HazardS& ownHazard()
{
    if (t_pHazard == nullptr) {
        t_pHazard = claimHazard();
    }
    return *t_pHazard;
}

// Frees the retired objects that no thread uses. Called with the retired
// list's lock held.
void reclaim(RetiredS& rRetired)
{
    std::vector<KernelObjectC*> vecInUse;
    for (HazardS* pHazard = g_pHazards.load(); pHazard != nullptr; pHazard = pHazard->pNext) {
        if (KernelObjectC* pObject = pHazard->pInUse.load()) {
            vecInUse.push_back(pObject);
        }
    }
    auto itKept = std::partition(
        rRetired.vecObjects.begin(), rRetired.vecObjects.end(), [&](KernelObjectC* pObject) {
            return std::find(vecInUse.begin(), vecInUse.end(), pObject) != vecInUse.end();
        });
    for (auto it = itKept; it != rRetired.vecObjects.end(); ++it) {
        delete *it;
    }
    rRetired.vecObjects.erase(itKept, rRetired.vecObjects.end());
}

// ------------------------------------------------------------ slots

SlotS* slotAt(const HandleTableS& rTable, uint32_t unIndex)
{
    SlotS* pChunk = rTable.apChunks[unIndex >> c_unChunkBits].load(std::memory_order_acquire);
    return pChunk != nullptr ? &pChunk[unIndex & (c_unChunkSlots - 1)] : nullptr;
}

// The slot index of a handle value, or UINT32_MAX for a value no handle has.
uint32_t indexOf(HANDLE h)
{
    const uintptr_t uValue = reinterpret_cast<uintptr_t>(h);
    if (uValue < c_uFirstHandle || (uValue - c_uFirstHandle) % c_uHandleStep != 0) {
        return UINT32_MAX;
    }
    const uintptr_t uNumber = (uValue - c_uFirstHandle) / c_uHandleStep;
    return static_cast<uint32_t>(uNumber & (c_unMaxSlots - 1));
}

// The slot a handle value points at, whether or not it still holds it.
SlotS* slotOf(HANDLE h)
{
    const uint32_t unIndex = indexOf(h);
    return unIndex != UINT32_MAX ? slotAt(handleTable(), unIndex) : nullptr;
}

HANDLE handleOf(uint32_t unIndex, uint32_t unGeneration)
{
    const uintptr_t uNumber = (uintptr_t(unGeneration) << c_unIndexBits) | unIndex;
    return reinterpret_cast<HANDLE>(c_uFirstHandle + uNumber * c_uHandleStep);
}

// A slot for a new handle, or UINT32_MAX when the table is full. Called with
// the table's lock held.
uint32_t takeSlot(HandleTableS& rTable)
{
    if (rTable.queFree.size() > c_unReuseDistance) {
        const uint32_t unIndex = rTable.queFree.front();
        rTable.queFree.pop_front();
        return unIndex;
    }
    if (rTable.unUsedSlots == c_unMaxSlots) {
        return UINT32_MAX;
    }
    const uint32_t unIndex = rTable.unUsedSlots++;
    std::atomic<SlotS*>& rChunk = rTable.apChunks[unIndex >> c_unChunkBits];
    if (rChunk.load() == nullptr) {
        rChunk.store(new SlotS[c_unChunkSlots], std::memory_order_release);
    }
    return unIndex;
}

// Called with the table's lock held.
SlotS* liveSlot(HANDLE h)
{
    SlotS* pSlot = slotOf(h);
    return pSlot != nullptr && pSlot->uHandle.load() == reinterpret_cast<uintptr_t>(h) ? pSlot
                                                                                       : nullptr;
}

HANDLE openExisting(HANDLE h, ObjectKindE eKind)
{
    SlotS* pSlot = liveSlot(h);
    if (pSlot == nullptr || pSlot->pOwner->kind() != eKind) {
        failWith(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++pSlot->unHandles;
    SetLastError(ERROR_ALREADY_EXISTS);
    return h;
}

// Takes the object out of a slot whose last handle is closed. Called with the
// table's lock held; the owner returned is let go of after it.
ObjectPtrT emptySlot(HandleTableS& rTable, SlotS& rSlot, uint32_t unIndex)
{
    rSlot.uHandle.store(0);
    rSlot.pObject.store(nullptr);
    if (!rSlot.strName.empty()) {
        rTable.mapNames.erase(rSlot.strName);
        rSlot.strName.clear();
    }
    rTable.queFree.push_back(unIndex);
    return std::move(rSlot.pOwner);
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

void retireObject(KernelObjectC* pObject)
{
    pObject->markRetired();
    RetiredS& rRetired = retired();
    MutexLockC lock(rRetired.mutex);
    rRetired.vecObjects.push_back(pObject);
    reclaim(rRetired);
}

HANDLE createObject(ObjectKindE eKind, LPCWSTR pszName, const std::function<ObjectPtrT()>& fnMake)
{
    std::wstring strName = pszName != nullptr ? pszName : L"";
    HandleTableS& rTable = handleTable();
    MutexLockC lock(rTable.mutex);
    if (!strName.empty()) {
        auto itName = rTable.mapNames.find(strName);
        if (itName != rTable.mapNames.end()) {
            return openExisting(itName->second, eKind);
        }
    }
    const uint32_t unIndex = takeSlot(rTable);
    if (unIndex == UINT32_MAX) {
        failWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ObjectPtrT pObject = fnMake();
    if (!pObject) {
        rTable.queFree.push_back(unIndex);
        return nullptr;
    }
    SlotS& rSlot = *slotAt(rTable, unIndex);
    const HANDLE h = handleOf(unIndex, ++rSlot.unGeneration);
    rSlot.pOwner = pObject;
    rSlot.unHandles = 1;
    rSlot.strName = strName;
    rSlot.pObject.store(pObject.get());
    rSlot.uHandle.store(reinterpret_cast<uintptr_t>(h));
    if (!strName.empty()) {
        rTable.mapNames[strName] = h;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

ObjectUseC lookupObject(HANDLE h)
{
    SlotS* pSlot = slotOf(h);
    if (pSlot == nullptr) {
        return ObjectUseC();
    }
    HazardS& rHazard = ownHazard();
    if (rHazard.pInUse.load(std::memory_order_relaxed) != nullptr) {
        // Nothing in this layer looks a handle up while it uses another.
        std::abort();
    }
    KernelObjectC* pObject = pSlot->pObject.load();
    while (pObject != nullptr) {
        rHazard.pInUse.store(pObject);
        // Still there once announced: whoever empties the slot from now on
        // sees the announcement before it frees the object.
        KernelObjectC* pAgain = pSlot->pObject.load();
        if (pAgain == pObject) {
            break;
        }
        pObject = pAgain;
    }
    if (pObject == nullptr || pSlot->uHandle.load() != reinterpret_cast<uintptr_t>(h)) {
        rHazard.pInUse.store(nullptr, std::memory_order_release);
        return ObjectUseC();
    }
    return ObjectUseC(pObject);
}

ObjectUseC::~ObjectUseC()
{
    if (m_pObject == nullptr) {
        return;
    }
    // Read while the object is still announced; a retirement that comes
    // later sees the announcement and leaves the freeing to the next one.
    const bool bRetired = m_pObject->isRetired();
    t_pHazard->pInUse.store(nullptr, std::memory_order_release);
    if (bRetired) {
        RetiredS& rRetired = retired();
        MutexLockC lock(rRetired.mutex);
        reclaim(rRetired);
    }
}

} // namespace plat

BOOL CloseHandle(HANDLE hObject)
{
    if (hObject == plat::currentThreadHandle()) {
        return TRUE;
    }
    // Let go of after the lock is released: a thread object's last
    // reference may be dropped here.
    plat::ObjectPtrT pClosed;
    bool bFound = false;
    {
        plat::HandleTableS& rTable = plat::handleTable();
        plat::MutexLockC lock(rTable.mutex);
        plat::SlotS* pSlot = plat::liveSlot(hObject);
        if (pSlot != nullptr) {
            bFound = true;
            if (--pSlot->unHandles == 0) {
                pClosed = plat::emptySlot(rTable, *pSlot, plat::indexOf(hObject));
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
    // The use keeps the object alive should another thread close the handle
    // while this one waits.
    plat::ObjectUseC use = plat::lookupObject(hHandle);
    if (!use) {
        plat::failWith(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return use.get()->wait(dwMilliseconds);
}
