#include "Nox_Dbg/NOX_DBG_LogFramework.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "Nox_Hal/NOX_HAL_Path.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

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

// Consumer names that are not files.
const char* const c_aszNotFiles[] = {"printf", "OutputDebugString", "SystemErrorLogger",
                                     "/sensorboard/"};

struct RouteS
{
    std::string strKey;
    int32_t nLevel = NOX::DBG::LVL_ALL;
    std::string strConsumer;
    int32_t nFiles = 1;
    uint32_t unMaxAgeDays = 0;
    uint32_t unHeaderMode = NOX::DBG::HDR_NONE;
};

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

bool parseRouteLine(const char* szLine, RouteS& route)
{
    if (std::strncmp(szLine, "LOG", 3) != 0) {
        return false;
    }
    const char* p = szLine + 3;
    if (*p == 'T') {
        route.unHeaderMode = NOX::DBG::HDR_DATE_TIME;
        ++p;
    } else if (*p == 'S') {
        route.unHeaderMode = NOX::DBG::HDR_TICKS;
        ++p;
    }
    if (!isBlank(*p)) {
        return false;
    }
    p = skipBlanks(p);
    const char* pKeyEnd = tokenEnd(p);
    route.strKey.assign(p, pKeyEnd);
    if (route.strKey.empty() || atLineEnd(pKeyEnd)) {
        return false;
    }
    p = skipBlanks(pKeyEnd);
    if (levelOfToken(p, route.nLevel)) {
        p = skipBlanks(tokenEnd(p));
        if (atLineEnd(p)) {
            return false;
        }
    }
    if (!consumerName(p, route.strConsumer)) {
        return false;
    }
    if (!atLineEnd(p)) {
        p = skipBlanks(p);
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        route.nFiles = std::atoi(p);
        p = skipBlanks(tokenEnd(p));
        if (!atLineEnd(p)) {
            route.unMaxAgeDays = static_cast<uint32_t>(std::strtoul(p, nullptr, 10));
        }
    }
    return true;
}

void printDebug(const std::string& strText)
{
    OutputDebugStringW(NOX::HAL::widePath(strText).c_str());
}

// Once for each root, as logs may be routed there many times over.
void warnIfStorageRootUnwritable()
{
    static NOX::TSK::CriticalSectionC s_Lock;
    static std::set<std::string> s_setChecked;
    const std::string strRoot = NOX::HAL::getStorageCardRoot();
    NOX::TSK::GuardC guard(s_Lock);
    if (!s_setChecked.insert(strRoot).second) {
        return;
    }
    const std::string strReason = NOX::HAL::whyNotWritableDirectory(strRoot);
    if (!strReason.empty()) {
        printDebug("storage root " + NOX::HAL::hostPath(strRoot) + " cannot be written (" +
                   strReason + "); no log file goes there\n");
    }
}

// Why the file set of a consumer at strPath cannot be written; strCulprit is
// the file at fault. Its rotated and day-numbered files share the stem and
// the extension, and an existing one is opened as it stands.
std::string whyNotWritableLogFile(const std::string& strPath, std::string& strCulprit)
{
    strCulprit = strPath;
    std::string strReason = NOX::HAL::whyNotWritable(strPath);
    if (!strReason.empty()) {
        return strReason;
    }
    const std::string::size_type nNameStart = strPath.find_last_of("\\/") + 1;
    std::string::size_type nDot = strPath.rfind('.');
    if (nDot == std::string::npos || nDot < nNameStart) {
        nDot = strPath.size();
    }
    const std::string strPattern = strPath.substr(0, nDot) + "*" + strPath.substr(nDot);
    for (const NOX::HAL::FileEntryS& entry : NOX::HAL::listFiles(strPattern)) {
        strCulprit = strPath.substr(0, nNameStart) + entry.strName;
        strReason = NOX::HAL::whyNotWritable(strCulprit);
        if (!strReason.empty()) {
            return strReason;
        }
    }
    return std::string();
}

bool isFileConsumer(const std::string& strConsumer)
{
    for (const char* szNotFile : c_aszNotFiles) {
        if (strConsumer == szNotFile) {
            return false;
        }
    }
    return true;
}

// False, with a message after strWhere, when the consumer is a file that
// cannot be written: its route would lose every record, and opening a FIFO or
// device in its place could block for ever.
bool isWritableConsumer(const std::string& strConsumer, const std::string& strWhere)
{
    const bool bFile = isFileConsumer(strConsumer);
    if (strConsumer == "SystemErrorLogger" || (bFile && !NOX::HAL::isAbsolutePath(strConsumer))) {
        warnIfStorageRootUnwritable();
    }
    if (!bFile) {
        return true;
    }
    std::string strCulprit;
    const std::string strReason =
        whyNotWritableLogFile(NOX::HAL::logFilePath(strConsumer), strCulprit);
    if (strReason.empty()) {
        return true;
    }
    printDebug((strWhere.empty() ? std::string() : strWhere + ": ") +
               "log route refused: " + NOX::HAL::hostPath(strCulprit) + ": " + strReason + "\n");
    return false;
}

} // namespace

namespace NOX {
namespace DBG {

bool forEachDefinitionLine(const std::string& strPath,
                           const std::function<void(const char*, uint32_t)>& fnLine)
{
    std::string strReason;
    std::FILE* pFile = HAL::openRegularFile(strPath, strReason);
    if (pFile == nullptr) {
        return false;
    }
    char szLine[c_unLinePiece + 1];
    uint32_t unLine = 1;
    while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        if (!isIgnoredLine(szLine)) {
            fnLine(szLine, unLine);
        }
        if (std::strchr(szLine, '\n') != nullptr) {
            ++unLine;
        }
    }
    std::fclose(pFile);
    return true;
}

bool processRouteLine(const char* szLine, const std::string& strWhere)
{
    RouteS route;
    if (!parseRouteLine(szLine, route) || !isWritableConsumer(route.strConsumer, strWhere)) {
        return false;
    }
    return DbgLogMgrC::getInstance()->addRoute(route.strKey, route.nLevel, route.strConsumer,
                                               route.nFiles, route.unMaxAgeDays, 0,
                                               route.unHeaderMode);
}

uint32_t loadLogRoutes(const char* szPath)
{
    if (szPath == nullptr || !HAL::whyNotReadable(szPath).empty()) {
        return NOX::RC_FAILED;
    }
    DbgConfiguratorRegistryC::getInstance();
    const std::string strPath(szPath);
    forEachDefinitionLine(strPath, [&](const char* szLine, uint32_t unLine) {
        processRouteLine(szLine, strPath + ":" + std::to_string(unLine));
    });
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
    bool bRead = forEachDefinitionLine(getDefaultFilePath(), [&](const char* szLine, uint32_t) {
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
    bool bRead = forEachDefinitionLine(getDefaultFilePath(), [&](const char* szLine, uint32_t) {
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
