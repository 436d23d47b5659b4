#include "Nox_Dbg/NOX_DBG_LogFile.h"

#include "Nox_Hal/NOX_HAL_Path.h"
#include "Nox_Tim/NOX_TIM.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace {

std::atomic<bool> s_bCommitEachRecord{true};

const char c_szLogDirectory[] = "\\dbg\\log\\";

double now()
{
    return NOX::TIM::getCurrentDayCount(NOX::TIM::TS_UTC).m_dDays;
}

int32_t clampFiles(int32_t nFiles)
{
    if (nFiles < 1) {
        return 1;
    }
    return nFiles > NOX::DBG::DbgLogFileConsumerC::c_nMaxFiles
               ? NOX::DBG::DbgLogFileConsumerC::c_nMaxFiles
               : nFiles;
}

// In thousandths of a day.
uint32_t clampAge(uint32_t unDays)
{
    if (unDays > NOX::DBG::DbgLogFileConsumerC::c_unMaxAgeDays) {
        return 2000000000u;
    }
    return unDays * 1000u;
}

long dayOfYear()
{
    NOX::TIM::CalendarTimeC today = NOX::TIM::getCurrentTime(NOX::TIM::TS_UTC);
    NOX::TIM::CalendarTimeC newYear(today.m_unYear, 1, 1, 0, 0, 0, 0, NOX::TIM::TS_UTC);
    return static_cast<long>(today.toDayCount().m_dDays - newYear.toDayCount().m_dDays) + 1;
}

bool isLaterThan(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return std::tie(a.wYear, a.wMonth, a.wDay, a.wHour, a.wMinute, a.wSecond) >
           std::tie(b.wYear, b.wMonth, b.wDay, b.wHour, b.wMinute, b.wSecond);
}

// The index in a name such as trace_02.log, or 0 without both marks.
int32_t indexInName(const std::string& strName)
{
    std::string::size_type nUnderscore = strName.rfind('_');
    std::string::size_type nDot = strName.rfind('.');
    if (nUnderscore == std::string::npos || nDot == std::string::npos || nDot <= nUnderscore) {
        return 0;
    }
    std::string strDigits =
        strName.substr(nUnderscore + 1, std::min<size_t>(2, nDot - nUnderscore - 1));
    return static_cast<int32_t>(std::atol(strDigits.c_str()));
}

std::string indexSuffix(int32_t nIndex, const std::string& strExtension)
{
    char szSuffix[32];
    std::snprintf(szSuffix, sizeof(szSuffix), "_%02ld%s", static_cast<long>(nIndex),
                  strExtension.c_str());
    return szSuffix;
}

} // namespace

namespace NOX {
namespace DBG {

void DbgLogFileConsumerC::setCommitEachRecord(bool bCommit)
{
    s_bCommitEachRecord.store(bCommit);
}

DbgLogFileConsumerC::DbgLogFileConsumerC(const std::string& strName, int32_t nFiles,
                                         uint32_t unMaxAgeDays, uint32_t unMaxBytes,
                                         uint32_t unHeaderMode, bool bNmeaNaming,
                                         const std::string& strFileName)
    : DbgLogConsumerC(unHeaderMode), m_strName(strName.substr(0, c_unMaxPath)), m_nCurrentIndex(1),
      m_nFiles(clampFiles(nFiles)), m_unMaxAge(clampAge(unMaxAgeDays)), m_pFile(nullptr),
      m_dOpenTime(0.0), m_bNmeaNaming(bNmeaNaming), m_unMaxBytes(unMaxBytes), m_unCurrentSize(0),
      m_lPosition(-1)
{
    const std::string strFile = strFileName.empty() ? m_strName : strFileName;
    m_strPath = HAL::isAbsolutePath(strFile)
                    ? strFile
                    : HAL::getStorageCardRoot() + c_szLogDirectory + strFile;
    m_strPath = m_strPath.substr(0, c_unMaxPath);
    HAL::createDirectoryOf(m_strPath);

    std::string::size_type nDot = m_strPath.rfind('.');
    std::string::size_type nSeparator = m_strPath.find_last_of("\\/");
    if (nDot != std::string::npos && (nSeparator == std::string::npos || nDot > nSeparator)) {
        m_strExtension = m_strPath.substr(nDot, c_unMaxExtension);
        m_strPath.erase(nDot);
    }
    m_strBase = m_strPath;
    if (m_bNmeaNaming) {
        chooseNmeaPath();
    } else {
        chooseFileSetPath();
    }
    openFile("a");
}

DbgLogFileConsumerC::~DbgLogFileConsumerC()
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

void DbgLogFileConsumerC::chooseFileSetPath()
{
    if (m_nFiles < 2) {
        m_strPath = m_strBase + m_strExtension;
        return;
    }
    // After a restart writing continues in the most recent file of the set.
    std::vector<HAL::FileEntryS> vecFiles = HAL::listFiles(m_strBase + "*");
    const HAL::FileEntryS* pLatest = nullptr;
    for (const HAL::FileEntryS& entry : vecFiles) {
        if (pLatest == nullptr || isLaterThan(entry.lastWrite, pLatest->lastWrite)) {
            pLatest = &entry;
        }
    }
    if (pLatest != nullptr) {
        int32_t nIndex = indexInName(pLatest->strName);
        if (nIndex >= 1 && nIndex <= m_nFiles) {
            m_nCurrentIndex = nIndex;
        }
    }
    m_strPath = m_strBase + indexSuffix(m_nCurrentIndex, m_strExtension);
}

void DbgLogFileConsumerC::chooseNmeaPath()
{
    char szDay[32];
    std::snprintf(szDay, sizeof(szDay), "%03ld_", dayOfYear());
    std::string strBase = m_strBase + szDay;
    for (long n = 1;; ++n) {
        std::string strCandidate = strBase + std::to_string(n) + m_strExtension;
        if (!HAL::fileExists(strCandidate)) {
            m_strPath = strCandidate;
            return;
        }
    }
}

bool DbgLogFileConsumerC::openFile(const char* szMode)
{
    std::wstring strMode = HAL::widePath(std::string(szMode) + "c");
    m_pFile = _wfopen(HAL::widePath(m_strPath).c_str(), strMode.c_str());
    if (m_pFile == nullptr) {
        return false;
    }
    std::fseek(m_pFile, 0, SEEK_END);
    long lLength = std::ftell(m_pFile);
    m_lPosition = lLength;
    m_unCurrentSize = lLength > 0 ? static_cast<uint32_t>(lLength) : 0;
    m_dOpenTime = now();
    return true;
}

bool DbgLogFileConsumerC::needsRotation()
{
    if (m_unMaxBytes != 0 && m_unCurrentSize >= m_unMaxBytes) {
        return true;
    }
    return m_unMaxAge != 0 && static_cast<uint32_t>((now() - m_dOpenTime) * 1000.0) > m_unMaxAge;
}

void DbgLogFileConsumerC::rotate()
{
    m_unCurrentSize = 0;
    m_dOpenTime = now();
    std::fclose(m_pFile);
    m_pFile = nullptr;
    if (m_bNmeaNaming) {
        // A day-numbered log goes on in the next free file of the day.
        chooseNmeaPath();
        openFile("w");
        return;
    }
    if (m_nFiles < 2) {
        // A single file has no set to move on to: it starts again.
        openFile("w");
        return;
    }
    for (int nAttempt = 0; nAttempt < c_nRotateAttempts && m_pFile == nullptr; ++nAttempt) {
        m_nCurrentIndex = (m_nCurrentIndex + 1) % (m_nFiles + 1);
        if (m_nCurrentIndex == 0) {
            m_nCurrentIndex = 1;
        }
        m_strPath = m_strBase + indexSuffix(m_nCurrentIndex, m_strExtension);
        openFile("w");
    }
}

void DbgLogFileConsumerC::writeRecord(const char* szRecord)
{
    size_t unLength = std::strlen(szRecord);
    bool bWritten = std::fwrite(szRecord, 1, unLength, m_pFile) == unLength;
    bWritten = std::fflush(m_pFile) == 0 && bWritten;
    m_lPosition = bWritten && m_lPosition >= 0 ? m_lPosition + static_cast<long>(unLength) : -1;
    if (s_bCommitEachRecord.load(std::memory_order_relaxed)) {
        _commit(_fileno(m_pFile));
    }
    m_unCurrentSize += static_cast<uint32_t>(unLength);
}

void DbgLogFileConsumerC::logWrite(const char* szRecord)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pFile == nullptr) {
        return;
    }
    if (needsRotation()) {
        rotate();
    }
    if (m_pFile == nullptr) {
        return;
    }
    if (position() < 0) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
        if (!openFile("a") || position() < 0) {
            if (m_pFile != nullptr) {
                std::fclose(m_pFile);
                m_pFile = nullptr;
            }
            std::printf("NOX::DBG::DbgLogMgrC::logWrite ERROR while writing to log (%s)!\n",
                        m_strName.c_str());
            std::fflush(stdout);
            return;
        }
    }
    writeRecord(szRecord);
}

long DbgLogFileConsumerC::position()
{
    // Known from the last successful operation; the stream is asked only when
    // that failed, which saves a system call per record on hosts where ftell
    // always asks the kernel.
    if (m_lPosition < 0) {
        m_lPosition = std::ftell(m_pFile);
    }
    return m_lPosition;
}

std::string DbgLogFileConsumerC::getPath()
{
    NOX::TSK::GuardC guard(m_Lock);
    return m_pFile != nullptr ? m_strPath : std::string();
}

int32_t DbgLogFileConsumerC::getCurrentIndex()
{
    NOX::TSK::GuardC guard(m_Lock);
    return m_nCurrentIndex;
}

} // namespace DBG
} // namespace NOX
