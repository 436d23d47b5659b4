#include "Nox_Dbg/NOX_DBG_LogFile.h"

#include "Nox_Hal/NOX_HAL_Path.h"
#include "Nox_Tim/NOX_TIM.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {

std::atomic<bool> s_bCommitEachRecord{true};

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

// Where the file should end: after the last line end that follows unGood,
// the length after the last whole record. A record is shorter than
// TEMP_BUFF_LEN, so what a failed write left lies in that many last bytes;
// whole lines that another writer appended meanwhile are kept.
uintmax_t lengthWithoutPartialLine(const fs::path& path, uintmax_t unLength, uintmax_t unGood)
{
    const uintmax_t unWindow = NOX::DBG::TEMP_BUFF_LEN;
    const uintmax_t unStart = std::max(unGood, unLength > unWindow ? unLength - unWindow : 0);
    std::string strTail(static_cast<size_t>(unLength - unStart), '\0');
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(unStart));
    if (!file.read(&strTail[0], static_cast<std::streamsize>(strTail.size()))) {
        return unStart;
    }
    std::string::size_type nLineEnd = strTail.rfind('\n');
    return nLineEnd == std::string::npos ? unStart : unStart + nLineEnd + 1;
}

// Outside every consumer lock: the error log's routes may lead back to the
// consumer that failed. The debug output gets it too, because the error log
// may live on the medium that just failed.
void reportWriteFailure(const std::string& strName)
{
    char szText[NOX::DBG::DbgLogFileConsumerC::c_unMaxPath + 80];
    std::snprintf(szText, sizeof(szText),
                  "NOX::DBG::DbgLogMgrC::logWrite ERROR while writing to log (%s)!\n",
                  strName.c_str());
    WCHAR aText[NOX::DBG::DbgLogOutputDebugStringConsumerC::c_nBufferSize + 1];
    NOX::DBG::DbgLogOutputDebugStringConsumerC::convert(szText, aText);
    OutputDebugStringW(aText);
    if (NOX::DBG::DbgLogMgrC* pMgr = NOX::DBG::DbgLogMgrC::peekInstance()) {
        if (NOX::DBG::DbgLogFileC* pLog = pMgr->peekSystemErrorLogger()) {
            pLog->logText(NOX::DBG::LVL_ERROR, szText, std::strlen(szText));
        }
    }
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
      m_dOpenTime(now()), m_bNmeaNaming(bNmeaNaming), m_unMaxBytes(unMaxBytes), m_unCurrentSize(0),
      m_lPosition(-1), m_szReopenMode(nullptr), m_bFailing(false)
{
    const std::string strFile = strFileName.empty() ? m_strName : strFileName;
    m_strPath = HAL::logFilePath(strFile).substr(0, c_unMaxPath);
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
    closeFile();
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
    // Binary: a record reaches the file byte for byte, as counted; a text
    // stream on Windows would turn each line feed into CR LF.
    std::wstring strMode = HAL::widePath(std::string(szMode) + "cb");
    m_pFile = _wfopen(HAL::widePath(m_strPath).c_str(), strMode.c_str());
    if (m_pFile == nullptr) {
        return false;
    }
    std::fseek(m_pFile, 0, SEEK_END);
    long lLength = std::ftell(m_pFile);
    m_lPosition = lLength;
    m_unCurrentSize = lLength > 0 ? static_cast<uint32_t>(lLength) : 0;
    return true;
}

void DbgLogFileConsumerC::closeFile()
{
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

bool DbgLogFileConsumerC::needsRotation()
{
    if (m_unMaxBytes != 0 && m_unCurrentSize >= m_unMaxBytes) {
        return true;
    }
    // A single file has no other file to move on to by age: starting it
    // again would throw its whole history away every period.
    const bool bAgeRotates = m_nFiles > 1 || m_bNmeaNaming;
    return bAgeRotates && m_unMaxAge != 0 &&
           static_cast<uint32_t>((now() - m_dOpenTime) * 1000.0) > m_unMaxAge;
}

void DbgLogFileConsumerC::rotate()
{
    m_unCurrentSize = 0;
    m_lPosition = -1;
    m_dOpenTime = now();
    closeFile();
    if (m_bNmeaNaming) {
        // A day-numbered log goes on in the next free file of the day.
        chooseNmeaPath();
        openFile("w");
        return;
    }
    if (m_nFiles < 2) {
        // Full by size, a single file starts again: keeping its newest part
        // would mean rewriting it in place, which a crash could leave empty.
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

void DbgLogFileConsumerC::logWrite(const char* szRecord)
{
    if (writeLocked(szRecord)) {
        reportWriteFailure(m_strName);
    }
}

bool DbgLogFileConsumerC::writeLocked(const char* szRecord)
{
    NOX::TSK::GuardC guard(m_Lock);
    if (m_pFile == nullptr && !reopenAfterFailure()) {
        return false;
    }
    if (needsRotation()) {
        rotate();
        if (m_pFile == nullptr) {
            m_szReopenMode = "w";
            return beginFailure();
        }
    }
    if (position() < 0 && !reopenForPosition()) {
        return beginFailure();
    }
    if (!appendRecord(szRecord)) {
        closeFile();
        cutPartialLine();
        m_szReopenMode = "a";
        return beginFailure();
    }
    if (!commit()) {
        return beginFailure();
    }
    m_bFailing = false;
    return false;
}

bool DbgLogFileConsumerC::reopenAfterFailure()
{
    // Nothing may be appended to the rest of a record that did not fit.
    if (m_szReopenMode == nullptr || !cutPartialLine() || !openFile(m_szReopenMode)) {
        return false;
    }
    m_szReopenMode = nullptr;
    return true;
}

// A stream that cannot tell its position is opened once more; if that does
// not help, the consumer stays closed.
bool DbgLogFileConsumerC::reopenForPosition()
{
    closeFile();
    if (openFile("a") && position() >= 0) {
        return true;
    }
    closeFile();
    return false;
}

bool DbgLogFileConsumerC::appendRecord(const char* szRecord)
{
    size_t unLength = std::strlen(szRecord);
    if (std::fwrite(szRecord, 1, unLength, m_pFile) != unLength || std::fflush(m_pFile) != 0) {
        return false;
    }
    m_lPosition += static_cast<long>(unLength);
    m_unCurrentSize += static_cast<uint32_t>(unLength);
    return true;
}

bool DbgLogFileConsumerC::commit()
{
    return !s_bCommitEachRecord.load(std::memory_order_relaxed) || _commit(_fileno(m_pFile)) == 0;
}

// True when the file ends after a whole line, or is gone and will be made
// anew by the next open, or is not one whose length was known (a rotation
// that failed opens it new).
bool DbgLogFileConsumerC::cutPartialLine()
{
    if (m_lPosition < 0) {
        return true;
    }
    const fs::path path = fs::u8path(HAL::hostPath(m_strPath));
    std::error_code error;
    uintmax_t unLength = fs::file_size(path, error);
    if (error) {
        return error == std::errc::no_such_file_or_directory;
    }
    const uintmax_t unGood = static_cast<uintmax_t>(m_lPosition);
    if (unLength <= unGood) {
        return true;
    }
    fs::resize_file(path, lengthWithoutPartialLine(path, unLength, unGood), error);
    return !error;
}

bool DbgLogFileConsumerC::beginFailure()
{
    const bool bFirst = !m_bFailing;
    m_bFailing = true;
    return bFirst;
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
