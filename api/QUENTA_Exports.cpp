// The plain exported functions: buffer conventions over one process-wide
// configurator that lives until the process ends.
#include "QUENTA_QuentaConfiguratorImpl.h"
#include "quenta.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

NOX::TSK::CriticalSectionC& exportsLock()
{
    // Never destroyed: a call may still come while statics go away.
    static NOX::TSK::CriticalSectionC* s_pLock = new NOX::TSK::CriticalSectionC();
    return *s_pLock;
}

// The five functions take turns, whichever thread calls them: the port
// handle's own session with the module must not run in the middle of a call
// of the process-wide configurator, nor one of its calls in the handle's.
template <class T, class F> T serialised(T failure, F&& call)
{
    return QUENTA::guarded(failure, [&]() {
        NOX::TSK::GuardC guard(exportsLock());
        return call();
    });
}

QUENTA::QuentaConfiguratorImplC* getInstance()
{
    return &QUENTA::QuentaConfiguratorImplC::processInstance();
}

uint32_t requiredListSize(const std::vector<std::string>& vecNames)
{
    if (vecNames.empty()) {
        return 0;
    }
    uint32_t unSize = 2;
    for (const std::string& strName : vecNames) {
        unSize += static_cast<uint32_t>(strName.size()) + 1;
    }
    return unSize;
}

} // namespace

extern "C" {

QUENTA_API bool QUENTA_CALL QUENTA_searchDevices(char* pBuffer, uint32_t* pSize)
{
    return serialised(false, [&]() {
        std::vector<std::string> vecNames;
        if (!getInstance()->searchDevices(vecNames)) {
            return false;
        }
        uint32_t unRequired = requiredListSize(vecNames);
        if (pBuffer == nullptr) {
            *pSize = unRequired;
            return true;
        }
        if (*pSize < unRequired) {
            return false;
        }
        if (vecNames.empty()) {
            return true;
        }
        char* pWrite = pBuffer;
        for (const std::string& strName : vecNames) {
            std::memcpy(pWrite, strName.data(), strName.size());
            pWrite += strName.size();
            *pWrite++ = '\t';
        }
        // The counted byte after the final tab terminates the list.
        *pWrite++ = '\t';
        *pWrite = '\0';
        return true;
    });
}

QUENTA_API bool QUENTA_CALL QUENTA_pairDevice(const char* szDevice)
{
    return serialised(false, [&]() {
        if (szDevice == nullptr) {
            return false;
        }
        return getInstance()->pairDevice(std::string(szDevice));
    });
}

QUENTA_API bool QUENTA_CALL QUENTA_getPairedDevice(char* pBuffer, uint32_t* pSize)
{
    return serialised(false, [&]() {
        std::string strName;
        if (!getInstance()->getPairedDevice(strName)) {
            return false;
        }
        if (pBuffer == nullptr) {
            *pSize = static_cast<uint32_t>(strName.size()) + 1;
            return true;
        }
        if (*pSize <= strName.size()) {
            return false;
        }
        std::memcpy(pBuffer, strName.c_str(), strName.size() + 1);
        return true;
    });
}

QUENTA_API bool QUENTA_CALL QUENTA_switchToDataMode(void)
{
    return serialised(false, [&]() { return getInstance()->switchToDataMode(); });
}

QUENTA_API void* QUENTA_CALL QUENTA_createPortHandle(void)
{
    return serialised(static_cast<void*>(INVALID_HANDLE_VALUE),
                      [&]() { return QUENTA::QuentaConfiguratorImplC::createPortHandle(); });
}

} // extern "C"
