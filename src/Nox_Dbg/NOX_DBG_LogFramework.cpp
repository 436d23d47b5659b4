#include "Nox_Dbg/NOX_DBG_LogFramework.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "Nox_Hal/NOX_HAL_Path.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<NOX::DBG::DbgConfiguratorRegistryC*> s_pRegistry{nullptr};

// Lines read in pieces of this many characters.
const size_t c_unLinePiece = 255;
const char c_szDefinitionFile[] = "\\Dbg\\debug.def";

struct LevelKeywordS
{
    const char* szKeyword;
    int32_t nLevel;
};
// Recognised by prefix, in this order: FINEST before FINER before FINE.
const LevelKeywordS c_aLevelKeywords[] = {{"FATAL", 7},  {"ERROR", 6}, {"WARN", 5}, {"INFO", 4},
                                          {"FINEST", 1}, {"FINER", 2}, {"FINE", 3}, {"ALL", 0}};

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool endsToken(char c)
{
    return c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const char* skipBlanks(const char* p)
{
    while (isBlank(*p)) {
        ++p;
    }
    return p;
}

// Nothing but blanks and line ends up to the end.
bool atLineEnd(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
        ++p;
    }
    return *p == '\0';
}

const char* tokenEnd(const char* p)
{
    while (!endsToken(*p)) {
        ++p;
    }
    return p;
}

bool isIgnoredLine(const char* szLine)
{
    return std::strchr("#;/\r\n\t ", szLine[0]) != nullptr;
}

bool levelOfToken(const char* pToken, int32_t& nLevel)
{
    for (const LevelKeywordS& keyword : c_aLevelKeywords) {
        if (std::strncmp(pToken, keyword.szKeyword, std::strlen(keyword.szKeyword)) == 0) {
            nLevel = keyword.nLevel;
            return true;
        }
    }
    return false;
}

// The consumer name at p; advances p behind it. False for an empty or
// unclosed quoted name.
bool consumerName(const char*& p, std::string& strName)
{
    if (*p != '"') {
        const char* pEnd = tokenEnd(p);
        strName.assign(p, pEnd);
        p = pEnd;
        return true;
    }
    const char* pClose = std::strchr(p + 1, '"');
    if (pClose == nullptr || pClose == p + 1) {
        return false;
    }
    strName.assign(p + 1, pClose);
    p = pClose + 1;
    while (!endsToken(*p)) {
        ++p;
    }
    return true;
}

} // namespace

namespace NOX {
namespace DBG {

bool forEachDefinitionLine(const std::string& strPath,
                           const std::function<void(const char*)>& fnLine)
{
    std::FILE* pFile = _wfopen(HAL::widePath(strPath).c_str(), L"r");
    if (pFile == nullptr) {
        return false;
    }
    char szLine[c_unLinePiece + 1];
    while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        if (!isIgnoredLine(szLine)) {
            fnLine(szLine);
        }
    }
    std::fclose(pFile);
    return true;
}

bool processRouteLine(const char* szLine)
{
    if (std::strncmp(szLine, "LOG", 3) != 0) {
        return false;
    }
    const char* p = szLine + 3;
    uint32_t unHeaderMode = HDR_NONE;
    if (*p == 'T') {
        unHeaderMode = HDR_DATE_TIME;
        ++p;
    } else if (*p == 'S') {
        unHeaderMode = HDR_TICKS;
        ++p;
    }
    if (!isBlank(*p)) {
        return false;
    }
    p = skipBlanks(p);
    const char* pKeyEnd = tokenEnd(p);
    std::string strKey(p, pKeyEnd);
    if (strKey.empty() || atLineEnd(pKeyEnd)) {
        return false;
    }
    p = skipBlanks(pKeyEnd);
    int32_t nLevel = LVL_ALL;
    if (levelOfToken(p, nLevel)) {
        p = skipBlanks(tokenEnd(p));
        if (atLineEnd(p)) {
            return false;
        }
    }
    std::string strName;
    if (!consumerName(p, strName)) {
        return false;
    }
    int32_t nFiles = 1;
    uint32_t unMaxAgeDays = 0;
    if (!atLineEnd(p)) {
        p = skipBlanks(p);
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        nFiles = std::atoi(p);
        p = skipBlanks(tokenEnd(p));
        if (!atLineEnd(p)) {
            unMaxAgeDays = static_cast<uint32_t>(std::strtoul(p, nullptr, 10));
        }
    }
    return DbgLogMgrC::getInstance()->addRoute(strKey, nLevel, strName, nFiles, unMaxAgeDays, 0,
                                               unHeaderMode);
}

uint32_t loadLogRoutes(const char* szPath)
{
    std::FILE* pFile = szPath != nullptr ? _wfopen(HAL::widePath(szPath).c_str(), L"r") : nullptr;
    if (pFile == nullptr) {
        return NOX::RC_FAILED;
    }
    std::fclose(pFile);
    DbgConfiguratorRegistryC::getInstance();
    forEachDefinitionLine(szPath, [](const char* szLine) { processRouteLine(szLine); });
    return NOX::RC_OK;
}

// ------------------------------------------------------------ registry

DbgConfiguratorRegistryC* DbgConfiguratorRegistryC::getInstance()
{
    DbgConfiguratorRegistryC* pRegistry = s_pRegistry.load(std::memory_order_acquire);
    if (pRegistry != nullptr) {
        return pRegistry;
    }
    static NOX::TSK::CriticalSectionC s_CreateLock;
    NOX::TSK::GuardC guard(s_CreateLock);
    pRegistry = s_pRegistry.load(std::memory_order_acquire);
    if (pRegistry == nullptr) {
        pRegistry = new DbgConfiguratorRegistryC();
        s_pRegistry.store(pRegistry, std::memory_order_release);
    }
    return pRegistry;
}

void DbgConfiguratorRegistryC::destroyInstance()
{
    delete s_pRegistry.exchange(nullptr);
}

DbgConfiguratorRegistryC::~DbgConfiguratorRegistryC() = default;

const std::string& DbgConfiguratorRegistryC::getDefaultFilePath()
{
    static const std::string s_strPath =
        (HAL::getStorageCardRoot() + c_szDefinitionFile).substr(0, 261);
    return s_strPath;
}

void DbgConfiguratorRegistryC::addHandler(DbgConfigI* pHandler)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_mapHandlers[pHandler] = 0;
}

void DbgConfiguratorRegistryC::removeHandler(DbgConfigI* pHandler)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_mapHandlers.erase(pHandler);
}

bool DbgConfiguratorRegistryC::configure(const char* szText, int32_t nLevel)
{
    NOX::TSK::GuardC guard(m_Lock);
    for (const auto& entry : m_mapHandlers) {
        if (entry.first->configure(szText, nLevel)) {
            return true;
        }
    }
    return false;
}

void DbgConfiguratorRegistryC::notify(uint32_t unValue)
{
    NOX::TSK::GuardC guard(m_Lock);
    for (const auto& entry : m_mapHandlers) {
        entry.first->notify(unValue);
    }
}

bool DbgConfiguratorRegistryC::handleKey(const std::wstring& strKey, int32_t nLevel,
                                         std::wstring& strReply)
{
    if (strKey.empty()) {
        return false;
    }
    NOX::TSK::GuardC guard(m_Lock);
    for (const auto& entry : m_mapHandlers) {
        std::wstring strHandlerReply;
        if (entry.first->handleKey(strKey, nLevel, strHandlerReply)) {
            strReply = strKey + L":" + strHandlerReply;
            return true;
        }
    }
    strReply = L"No handler found for debug key [" + strKey + L"]";
    return false;
}

void DbgConfiguratorRegistryC::configureFromFile(int32_t nLevel)
{
    NOX::TSK::GuardC guard(m_Lock);
    bool bRead = forEachDefinitionLine(getDefaultFilePath(), [&](const char* szLine) {
        std::string strLine(szLine);
        if (!strLine.empty() && strLine.back() == '\n') {
            strLine.pop_back();
        }
        for (const auto& entry : m_mapHandlers) {
            if (entry.second < nLevel && entry.first->configure(strLine.c_str(), nLevel)) {
                break;
            }
        }
    });
    if (!bRead) {
        return;
    }
    for (auto& entry : m_mapHandlers) {
        if (entry.second < nLevel) {
            entry.second = nLevel;
        }
    }
}

uint32_t DbgConfiguratorRegistryC::findLine(const char* szPrefix, std::string& strLine)
{
    bool bFound = false;
    size_t unPrefix = std::strlen(szPrefix);
    bool bRead = forEachDefinitionLine(getDefaultFilePath(), [&](const char* szLine) {
        if (!bFound && std::strncmp(szLine, szPrefix, unPrefix) == 0) {
            strLine = szLine;
            bFound = true;
        }
    });
    if (!bRead) {
        return NOX::RC_WAIT_FAILED;
    }
    return bFound ? NOX::RC_OK : NOX::RC_FAILED;
}

} // namespace DBG
} // namespace NOX
