#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Err/NOX_ERR_Codes.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
const char c_szSourceFile[] = "src\\Nox_Err\\NOX_ERR_PanicHandlerRegistry";
// The line the registry's exit check has always reported.
const int c_nExitCheckLine = 54;

const wchar_t c_szAssertKey[] = L"SOFTWARE\\Halvern\\Configuration";
const wchar_t c_szAssertValue[] = L"ASSERTEnabled";

NOX::DBG::DbgLogFileC* systemErrorLogger()
{
    NOX::DBG::DbgLogMgrC* pMgr = NOX::DBG::DbgLogMgrC::peekInstance();
    return pMgr != nullptr ? pMgr->peekSystemErrorLogger() : nullptr;
}
} // namespace

namespace NOX {
namespace ERR {

void SysPanicHandlerI::setEnabled(bool bEnabled)
{
    m_bEnabled = bEnabled;
    onEnabledChanged(bEnabled, m_bEnabled);
}

// ------------------------------------------------------------ registry

PanicHandlerRegistryC& PanicHandlerRegistryC::getInstance()
{
    static PanicHandlerRegistryC s_Registry;
    return s_Registry;
}

PanicHandlerRegistryC::~PanicHandlerRegistryC()
{
    if (m_pHandler != nullptr) {
        m_pHandler = nullptr;
        NOX::ERR::assertFailed("false", 0, 0, c_szSourceFile, c_nExitCheckLine);
    }
}

void PanicHandlerRegistryC::setHandler(SysPanicHandlerI* pHandler, bool bReplace)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (!bReplace && m_pHandler != nullptr) {
        return;
    }
    m_pHandler = pHandler;
    if (m_pHandler != nullptr) {
        m_pHandler->setEnabled(isEnabled());
    }
}

void PanicHandlerRegistryC::removeHandler(SysPanicHandlerI* pHandler)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pHandler == pHandler) {
        m_pHandler = nullptr;
    }
}

SysPanicHandlerI* PanicHandlerRegistryC::getHandler()
{
    NOX::TSK::GuardC guard(m_Lock);
    return m_pHandler;
}

bool PanicHandlerRegistryC::hasHandler()
{
    return getHandler() != nullptr;
}

void PanicHandlerRegistryC::panic(const char* szMessage, unsigned long ulType, long lArg1,
                                  long lArg2, const char* szFile, int nLine)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pHandler != nullptr) {
        m_pHandler->panic(szMessage, ulType, lArg1, lArg2, szFile, nLine);
    }
}

void PanicHandlerRegistryC::assertFailed(const char* szCondition, long lArg1, long lArg2,
                                         const char* szFile, int nLine)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pHandler != nullptr) {
        m_pHandler->assertFailed(szCondition, lArg1, lArg2, szFile, nLine);
    }
}

void PanicHandlerRegistryC::onEnabledChanged(bool bEnabled, bool&)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pHandler != nullptr) {
        m_pHandler->setEnabled(bEnabled);
    }
}

bool PanicHandlerRegistryC::isAssertEnabled()
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szAssertKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return false;
    }
    DWORD dwValue = 0;
    DWORD dwType = 0;
    DWORD dwSize = sizeof(dwValue);
    LONG lResult = RegQueryValueExW(hKey, c_szAssertValue, nullptr, &dwType,
                                    reinterpret_cast<LPBYTE>(&dwValue), &dwSize);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS && dwType == REG_DWORD && dwValue != 0;
}

uint32_t PanicHandlerRegistryC::setAssertEnabled(bool bEnabled)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szAssertKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
        return NOX::RC_FAILED;
    }
    DWORD dwValue = bEnabled ? 1 : 0;
    LONG lResult = RegSetValueExW(hKey, c_szAssertValue, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS ? NOX::RC_OK : NOX::RC_FAILED;
}

// ------------------------------------------------------------ composite

void CompositePanicHandlerC::addHandler(SysPanicHandlerI* pHandler)
{
    if (pHandler == nullptr) {
        return;
    }
    m_vecHandlers.push_back(pHandler);
    pHandler->setEnabled(isEnabled());
}

bool CompositePanicHandlerC::removeHandler(SysPanicHandlerI* pHandler)
{
    auto itEnd = std::remove(m_vecHandlers.begin(), m_vecHandlers.end(), pHandler);
    bool bFound = itEnd != m_vecHandlers.end();
    m_vecHandlers.erase(itEnd, m_vecHandlers.end());
    return bFound;
}

void CompositePanicHandlerC::panic(const char* szMessage, unsigned long ulType, long lArg1,
                                   long lArg2, const char* szFile, int nLine)
{
    for (SysPanicHandlerI* pHandler : m_vecHandlers) {
        pHandler->panic(szMessage, ulType, lArg1, lArg2, szFile, nLine);
    }
}

void CompositePanicHandlerC::assertFailed(const char* szCondition, long lArg1, long lArg2,
                                          const char* szFile, int nLine)
{
    for (SysPanicHandlerI* pHandler : m_vecHandlers) {
        pHandler->assertFailed(szCondition, lArg1, lArg2, szFile, nLine);
    }
}

void CompositePanicHandlerC::onEnabledChanged(bool bEnabled, bool&)
{
    for (SysPanicHandlerI* pHandler : m_vecHandlers) {
        pHandler->setEnabled(bEnabled);
    }
}

// ------------------------------------------------------------ the two routines

void assertFailed(const char* szCondition, long lArg1, long lArg2, const char* szFile, int nLine)
{
    if (NOX::DBG::DbgLogFileC* pLog = systemErrorLogger()) {
        if (pLog->isEnabled(NOX::DBG::LVL_ERROR)) {
            // The condition may carry up to two conversions for the arguments.
            std::string strFormat = std::string("<<ASSERT at %s(%d): ") + szCondition + ">>\n";
            pLog->log(NOX::DBG::LVL_ERROR, strFormat.c_str(), szFile, nLine, lArg1, lArg2);
        }
    }
    PanicHandlerRegistryC::getInstance().assertFailed(szCondition, lArg1, lArg2, szFile, nLine);
}

void panic(const char* szMessage, unsigned long ulType, long lArg1, long lArg2, const char* szFile,
           int nLine)
{
    if (NOX::DBG::DbgLogFileC* pLog = systemErrorLogger()) {
        if (pLog->isEnabled(NOX::DBG::LVL_FATAL)) {
            char szText[NOX::DBG::TEMP_BUFF_LEN];
            std::snprintf(szText, sizeof(szText), szMessage, lArg1, lArg2);
            pLog->log(NOX::DBG::LVL_FATAL, "<<PANIC at %s(%d): %s - type 0x%lx>>\n", szFile, nLine,
                      szText, ulType);
        }
    }
    PanicHandlerRegistryC::getInstance().panic(szMessage, ulType, lArg1, lArg2, szFile, nLine);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
    // TerminateProcess does not return on success; make sure nothing goes on.
    std::abort();
}

} // namespace ERR
} // namespace NOX
