#include "Nox_Dbg/NOX_DBG_Log.h"

#include "Nox_Dbg/NOX_DBG_LogConsumer.h"
#include "Nox_Dbg/NOX_DBG_LogFile.h"
#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"
#include "Nox_Tim/NOX_TIM.h"
#include "Nox_Tsk/NOX_TSK_TskMgr.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {
const char c_szSourceFile[] = "src\\Nox_Dbg\\NOX_DBG_Log";

std::atomic<NOX::DBG::DbgLogMgrC*> s_pInstance{nullptr};

// The error log that assertions and panics are routed to.
const char c_szErrorLogFile[] = "ErrorLog.txt";
const int32_t c_nErrorLogFiles = 2;
const uint32_t c_unErrorLogBytes = 50 * 1024;

// Writes the header of a record for one consumer; returns its length.
size_t writeHeader(char* szBuffer, uint32_t unHeaderMode, int32_t nLevel, const std::string& strLog)
{
    using namespace NOX;
    int nLength = 0;
    if (unHeaderMode == DBG::HDR_DATE_TIME) {
        TIM::CalendarTimeC now = TIM::getCurrentTime(TIM::TS_UTC);
        int nPriority = CeGetThreadPriority(GetCurrentThread());
        const char* szTag = DBG::levelTag(nLevel);
        // A thread that runs no task is named by its id, in the same 20 columns.
        char szTaskField[TSK::SysTaskC::c_unMaxName + 1];
        TSK::SysTaskC* pTask = TSK::TskMgrC::getInstance().getCurrentTask();
        if (pTask != nullptr) {
            std::snprintf(szTaskField, sizeof(szTaskField), "%s", pTask->getName());
        } else {
            std::snprintf(szTaskField, sizeof(szTaskField), "0x%08x",
                          static_cast<unsigned>(GetCurrentThreadId()));
        }
        nLength = std::snprintf(
            szBuffer, DBG::TEMP_BUFF_LEN,
            "[%02hu/%02hu/%04u %02hu:%02hu:%02hu.%03hu UTC] %-20s/%4d %3s %s ",
            static_cast<unsigned short>(now.m_unDay), static_cast<unsigned short>(now.m_unMonth),
            static_cast<unsigned>(now.m_unYear), static_cast<unsigned short>(now.m_unHour),
            static_cast<unsigned short>(now.m_unMinute),
            static_cast<unsigned short>(now.m_unSecond),
            static_cast<unsigned short>(now.m_unHundredths * 10), szTaskField, nPriority, szTag,
            strLog.c_str());
    } else if (unHeaderMode == DBG::HDR_TICKS) {
        nLength = std::snprintf(szBuffer, DBG::TEMP_BUFF_LEN, "%u ",
                                static_cast<unsigned>(GetTickCount()));
    } else {
        szBuffer[0] = '\0';
    }
    if (nLength < 0) {
        szBuffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(nLength) < DBG::TEMP_BUFF_LEN ? static_cast<size_t>(nLength)
                                                             : DBG::TEMP_BUFF_LEN - 1;
}

// Appends at most the room left; reports a record that would not fit.
void checkRecordLength(bool bFits)
{
    if (!bFits) {
        NOX::ERR::assertFailed("strlen(szTemp) < TEMP_BUFF_LEN", 0, 0, c_szSourceFile, __LINE__);
    }
}

bool keyMatches(const std::string& strKey, const std::string& strName)
{
    std::string::size_type nStar = strKey.find('*');
    if (nStar == std::string::npos) {
        return strKey == strName;
    }
    return strName.compare(0, nStar, strKey, 0, nStar) == 0;
}
} // namespace

namespace NOX {
namespace DBG {

const char* levelTag(int32_t nLevel)
{
    static const char* const c_aszTags[] = {"", "FST", "FER", "FNE", "INF", "WRN", "ERR", "FAT"};
    if (nLevel <= LVL_ALL) {
        return c_aszTags[0];
    }
    return nLevel >= LVL_FATAL ? c_aszTags[LVL_FATAL] : c_aszTags[nLevel];
}

void mergeConsumer(DbgConsumerTableT& table, int32_t nLevel, const DbgLogConsumerPtrT& pConsumer)
{
    for (auto it = table.begin(); it != table.end(); ++it) {
        if (it->second == pConsumer) {
            if (it->first <= nLevel) {
                return;
            }
            table.erase(it);
            break;
        }
    }
    table.emplace(nLevel, pConsumer);
}

// ------------------------------------------------------------ component log

DbgLogFileC::DbgLogFileC(const char* szName)
    : m_strName(szName != nullptr ? szName : ""), m_nThreshold(c_nUnresolved)
{
    DbgLogMgrC::getInstance()->registerLog(this);
}

DbgLogFileC::~DbgLogFileC()
{
    if (DbgLogMgrC* pMgr = DbgLogMgrC::peekInstance()) {
        pMgr->unregisterLog(this);
    }
}

bool DbgLogFileC::resolveAndTest(int32_t nLevel)
{
    while (m_nThreshold.load(std::memory_order_relaxed) == c_nUnresolved) {
        NOX::TSK::GuardC guard(m_Lock);
        if (m_nThreshold.load(std::memory_order_relaxed) != c_nUnresolved) {
            break;
        }
        DbgLogMgrC* pMgr = DbgLogMgrC::peekInstance();
        if (pMgr == nullptr) {
            m_Consumers.clear();
            m_nThreshold.store(LVL_NONE, std::memory_order_relaxed);
            break;
        }
        pMgr->resolveLevel(*this, m_Consumers, m_nThreshold);
    }
    return nLevel >= m_nThreshold.load(std::memory_order_relaxed);
}

template <class WriteMessageT>
void DbgLogFileC::deliver(int32_t nLevel, WriteMessageT&& writeMessage)
{
    NOX::TSK::GuardC guard(m_Lock);
    char szTemp[TEMP_BUFF_LEN];
    for (const auto& entry : m_Consumers) {
        if (entry.first > nLevel) {
            break;
        }
        size_t unHeader = writeHeader(szTemp, entry.second->getHeaderMode(), nLevel, m_strName);
        bool bFits = writeMessage(szTemp + unHeader, TEMP_BUFF_LEN - unHeader);
        entry.second->logWrite(szTemp);
        checkRecordLength(bFits);
    }
}

void DbgLogFileC::vlog(int32_t nLevel, const char* szFormat, va_list args)
{
    if (!isEnabled(nLevel)) {
        return;
    }
    deliver(nLevel, [&](char* szOut, size_t unRoom) {
        va_list argsCopy;
        va_copy(argsCopy, args);
        int nLength = std::vsnprintf(szOut, unRoom, szFormat, argsCopy);
        va_end(argsCopy);
        if (nLength < 0) {
            szOut[0] = '\0';
            return true;
        }
        return static_cast<size_t>(nLength) < unRoom;
    });
}

void DbgLogFileC::log(int32_t nLevel, const char* szFormat, ...)
{
    if (!isEnabled(nLevel)) {
        return;
    }
    va_list args;
    va_start(args, szFormat);
    vlog(nLevel, szFormat, args);
    va_end(args);
}

void DbgLogFileC::log(const char* szFormat, ...)
{
    if (!isEnabled(LVL_ALL)) {
        return;
    }
    va_list args;
    va_start(args, szFormat);
    vlog(LVL_ALL, szFormat, args);
    va_end(args);
}

void DbgLogFileC::logText(int32_t nLevel, const char* szText, size_t unLength)
{
    if (!isEnabled(nLevel)) {
        return;
    }
    deliver(nLevel, [&](char* szOut, size_t unRoom) {
        size_t unCopy = unLength < unRoom ? unLength : unRoom - 1;
        std::memcpy(szOut, szText, unCopy);
        szOut[unCopy] = '\0';
        return unLength < unRoom;
    });
}

void DbgLogFileC::logBinary(int32_t nLevel, const char* szText, const void* pData,
                            uint16_t unLength)
{
    if (!isEnabled(nLevel)) {
        return;
    }
    NOX::TSK::GuardC guard(m_Lock);

    const size_t unDumpSize = 3 * static_cast<size_t>(unLength) + 2;
    std::unique_ptr<char[]> szDump(new char[unDumpSize]);
    size_t unDumpLength = 0;
    const unsigned char* pBytes = static_cast<const unsigned char*>(pData);
    for (uint16_t i = 0; i < unLength; ++i) {
        unDumpLength += static_cast<size_t>(std::snprintf(szDump.get() + unDumpLength,
                                                          unDumpSize - unDumpLength, "%x,",
                                                          static_cast<unsigned>(pBytes[i])));
    }
    szDump[unDumpLength++] = '\n';
    szDump[unDumpLength] = '\0';

    // Cut into parts of at most TEMP_BUFF_LEN characters, each ending before
    // a comma, so no byte is split across two records.
    const size_t nbOfParts = unDumpSize / TEMP_BUFF_LEN + 2;
    std::vector<std::string> vecParts;
    size_t unStart = 0;
    size_t indexPart = 0;
    while (unStart < unDumpLength) {
        size_t unEnd = unDumpLength;
        size_t unNext = unDumpLength;
        if (unDumpLength - unStart > TEMP_BUFF_LEN) {
            unEnd = unStart + TEMP_BUFF_LEN - 1;
            while (unEnd > unStart && szDump[unEnd] != ',') {
                --unEnd;
            }
            unNext = unEnd + 1;
        }
        if (!(indexPart < nbOfParts)) {
            NOX::ERR::assertFailed("indexPart < nbOfParts", 0, 0, c_szSourceFile, __LINE__);
            break;
        }
        vecParts.emplace_back(szDump.get() + unStart, unEnd - unStart);
        ++indexPart;
        unStart = unNext;
    }

    char szTemp[TEMP_BUFF_LEN];
    const char* szMessage = szText != nullptr ? szText : "";
    for (const auto& entry : m_Consumers) {
        if (entry.first > nLevel) {
            break;
        }
        size_t iEndpos = writeHeader(szTemp, entry.second->getHeaderMode(), nLevel, m_strName);
        if (!(iEndpos < TEMP_BUFF_LEN - 1)) {
            NOX::ERR::assertFailed("iEndpos < TEMP_BUFF_LEN", 0, 0, c_szSourceFile, __LINE__);
        }
        std::snprintf(szTemp + iEndpos, TEMP_BUFF_LEN - iEndpos, "%s", szMessage);
        entry.second->logWrite(szTemp);
        for (const std::string& strPart : vecParts) {
            entry.second->logWrite(strPart.c_str());
        }
    }
}

// ------------------------------------------------------------ manager

DbgLogMgrC* DbgLogMgrC::getInstance()
{
    DbgLogMgrC* pMgr = s_pInstance.load(std::memory_order_acquire);
    if (pMgr != nullptr) {
        return pMgr;
    }
    static NOX::TSK::CriticalSectionC s_CreateLock;
    NOX::TSK::GuardC guard(s_CreateLock);
    pMgr = s_pInstance.load(std::memory_order_acquire);
    if (pMgr == nullptr) {
        pMgr = new DbgLogMgrC();
        // Published first: the log's constructor registers with the manager.
        s_pInstance.store(pMgr, std::memory_order_release);
        pMgr->m_pSystemErrorLogger = new DbgLogFileC("SystemErrorLogger");
    }
    return pMgr;
}

DbgLogMgrC* DbgLogMgrC::peekInstance()
{
    return s_pInstance.load(std::memory_order_acquire);
}

void DbgLogMgrC::destroyInstance()
{
    DbgLogMgrC* pMgr = s_pInstance.load(std::memory_order_acquire);
    if (pMgr != nullptr) {
        delete pMgr;
        s_pInstance.store(nullptr, std::memory_order_release);
    }
}

DbgLogMgrC::~DbgLogMgrC()
{
    removeAll();
    delete m_pSystemErrorLogger;
    m_pSystemErrorLogger = nullptr;
}

void DbgLogMgrC::registerLog(DbgLogFileC* pLog)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_setLogs.insert(pLog);
}

void DbgLogMgrC::unregisterLog(DbgLogFileC* pLog)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_setLogs.erase(pLog);
}

void DbgLogMgrC::resolveLevel(DbgLogFileC& log, DbgConsumerTableT& consumers,
                              std::atomic<int32_t>& nThreshold)
{
    NOX::TSK::GuardC guard(m_Lock);
    consumers.clear();
    for (const auto& route : m_mapRoutes) {
        if (!keyMatches(route.first, log.getName())) {
            continue;
        }
        for (const auto& entry : route.second) {
            mergeConsumer(consumers, entry.first, entry.second);
        }
    }
    nThreshold.store(consumers.empty() ? LVL_NONE : consumers.begin()->first,
                     std::memory_order_relaxed);
}

DbgLogConsumerPtrT DbgLogMgrC::findConsumer(const std::string& strConsumer) const
{
    for (const DbgLogConsumerPtrT& pConsumer : m_lstConsumers) {
        if (pConsumer->getName() == strConsumer) {
            return pConsumer;
        }
    }
    return DbgLogConsumerPtrT();
}

DbgLogConsumerPtrT DbgLogMgrC::createConsumer(const std::string& strKey,
                                              const std::string& strConsumer, int32_t nFiles,
                                              uint32_t unMaxAgeDays, uint32_t unMaxBytes,
                                              uint32_t unHeaderMode)
{
    if (strConsumer == "printf") {
        return DbgLogConsumerPtrT(new DbgLogPrintfConsumerC(unHeaderMode));
    }
    if (strConsumer == "OutputDebugString") {
        return DbgLogConsumerPtrT(new DbgLogOutputDebugStringConsumerC(unHeaderMode));
    }
    if (strConsumer == "SystemErrorLogger") {
        return DbgLogConsumerPtrT(new DbgLogFileConsumerC(strConsumer, c_nErrorLogFiles, 0,
                                                          c_unErrorLogBytes, HDR_DATE_TIME, false,
                                                          c_szErrorLogFile));
    }
    return DbgLogConsumerPtrT(new DbgLogFileConsumerC(strConsumer, nFiles, unMaxAgeDays, unMaxBytes,
                                                      unHeaderMode, strKey == "nmea"));
}

bool DbgLogMgrC::addRoute(const std::string& strKey, int32_t nLevel, const std::string& strConsumer,
                          int32_t nFiles, uint32_t unMaxAgeDays, uint32_t unMaxBytes,
                          uint32_t unHeaderMode)
{
    if (strConsumer == "/sensorboard/") {
        return false;
    }
    DbgLogConsumerPtrT pNew;
    {
        NOX::TSK::GuardC guard(m_Lock);
        DbgLogConsumerPtrT pConsumer = findConsumer(strConsumer);
        if (!pConsumer) {
            pConsumer =
                createConsumer(strKey, strConsumer, nFiles, unMaxAgeDays, unMaxBytes, unHeaderMode);
            if (!pConsumer) {
                return false;
            }
            m_lstConsumers.push_back(pConsumer);
            pNew = pConsumer;
        }
        auto itRoute = m_mapRoutes.find(strKey);
        if (itRoute == m_mapRoutes.end()) {
            m_mapRoutes[strKey].emplace(nLevel, pConsumer);
        } else {
            mergeConsumer(itRoute->second, nLevel, pConsumer);
        }
        invalidateLevels();
    }
    // Outside the manager's lock: a container operation takes its own lock
    // first and may log, which resolves levels under the manager's lock.
    if (pNew) {
        addComponent(pNew.get());
    }
    return true;
}

bool DbgLogMgrC::addRoute(const std::string& strKey, const std::string& strConsumer)
{
    return addRoute(strKey, LVL_ALL, strConsumer, 1, 0, 0, HDR_NONE);
}

bool DbgLogMgrC::addRoute(const std::string& strKey, int32_t nLevel, const std::string& strConsumer)
{
    return addRoute(strKey, nLevel, strConsumer, 1, 0, 0, HDR_NONE);
}

void DbgLogMgrC::addConsumer(const DbgLogConsumerPtrT& pConsumer)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_lstConsumers.push_back(pConsumer);
}

void DbgLogMgrC::removeRoute(const std::string& strKey)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_mapRoutes.erase(strKey);
    invalidateLevels();
}

void DbgLogMgrC::removeConsumer(const std::string& strConsumer)
{
    DbgLogConsumerPtrT pConsumer;
    {
        NOX::TSK::GuardC guard(m_Lock);
        pConsumer = findConsumer(strConsumer);
        if (!pConsumer) {
            return;
        }
        m_lstConsumers.remove(pConsumer);
        for (auto itRoute = m_mapRoutes.begin(); itRoute != m_mapRoutes.end();) {
            DbgConsumerTableT& table = itRoute->second;
            for (auto it = table.begin(); it != table.end();) {
                it = (it->second == pConsumer) ? table.erase(it) : std::next(it);
            }
            itRoute = table.empty() ? m_mapRoutes.erase(itRoute) : std::next(itRoute);
        }
        invalidateLevels();
    }
    if (pConsumer->getParent() == this) {
        removeComponent(pConsumer.get());
    }
}

void DbgLogMgrC::removeAll()
{
    std::list<DbgLogConsumerPtrT> lstConsumers;
    {
        NOX::TSK::GuardC guard(m_Lock);
        lstConsumers.swap(m_lstConsumers);
        m_mapRoutes.clear();
        // Logs still hold the consumers until they resolve again.
        invalidateLevels();
    }
    for (const DbgLogConsumerPtrT& pConsumer : lstConsumers) {
        if (pConsumer->getParent() == this) {
            removeComponent(pConsumer.get());
        }
    }
}

void DbgLogMgrC::invalidateLevels()
{
    NOX::TSK::GuardC guard(m_Lock);
    for (DbgLogFileC* pLog : m_setLogs) {
        pLog->resetThreshold();
    }
}

DbgLogFileC* DbgLogMgrC::getSystemErrorLogger()
{
    NOX_ASSERT(m_pSystemErrorLogger);
    return m_pSystemErrorLogger;
}

} // namespace DBG
} // namespace NOX
