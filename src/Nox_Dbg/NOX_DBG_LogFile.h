// Log files: a numbered set used round-robin with rotation by size or age,
// or day-numbered files for NMEA logs. Every record is committed to the
// medium before logWrite returns, so a power loss loses at most the record
// being written. A record that cannot be written whole (a full disk) is
// reported, once per run of failures, through the error log and the debug
// output; what it left of a line is cut off, so the next record starts on a
// line of its own, and the consumer tries again with the next record.
#pragma once

#include "Nox_Dbg/NOX_DBG_LogConsumer.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace NOX {
namespace DBG {

class DbgLogFileConsumerC : public DbgLogConsumerC
{
public:
    static constexpr size_t c_unMaxPath = 261;
    static constexpr size_t c_unMaxExtension = 15;
    static constexpr int32_t c_nMaxFiles = 20;
    static constexpr uint32_t c_unMaxAgeDays = 2000000;
    static constexpr int c_nRotateAttempts = 3;

    // strName is the name the consumer is found by; it is also the file name
    // unless strFileName is given (the error log: "SystemErrorLogger" writes
    // "ErrorLog.txt"). A relative file name lands in "dbg\log\" under the
    // storage-card root.
    DbgLogFileConsumerC(const std::string& strName, int32_t nFiles, uint32_t unMaxAgeDays,
                        uint32_t unMaxBytes, uint32_t unHeaderMode, bool bNmeaNaming,
                        const std::string& strFileName = std::string());
    ~DbgLogFileConsumerC() override;

    void logWrite(const char* szRecord) override;
    std::string getName() const override { return m_strName; }

    // The file being written now; empty while none is open.
    std::string getPath();
    int32_t getCurrentIndex();
    int32_t getNumberOfFiles() const { return m_nFiles; }
    uint32_t getMaxAge() const { return m_unMaxAge; }

    // Whether each record is committed to the medium (on by default). Off
    // only for experiments on fast media.
    static void setCommitEachRecord(bool bCommit);

private:
    void chooseFileSetPath();
    void chooseNmeaPath();
    bool needsRotation();
    void rotate();
    bool openFile(const char* szMode);
    void closeFile();
    // True when this record starts a run of failures, which the caller
    // reports once the lock is released.
    bool writeLocked(const char* szRecord);
    bool reopenAfterFailure();
    bool reopenForPosition();
    bool appendRecord(const char* szRecord);
    bool commit();
    bool cutPartialLine();
    bool beginFailure();
    // The file's length after the last whole record, negative when the
    // stream cannot tell it.
    long position();

    std::string m_strName;
    std::string m_strPath;
    // The path without extension and set suffix.
    std::string m_strBase;
    std::string m_strExtension;
    int32_t m_nCurrentIndex;
    int32_t m_nFiles;
    uint32_t m_unMaxAge;
    std::FILE* m_pFile;
    double m_dOpenTime;
    bool m_bNmeaNaming;
    uint32_t m_unMaxBytes;
    uint32_t m_unCurrentSize;
    long m_lPosition;
    // How the file is opened again by the next record after a failed write
    // or rotation; null while the consumer is open or closed for good.
    const char* m_szReopenMode;
    // A failure has been reported and no record has been written since.
    bool m_bFailing;
};

} // namespace DBG
} // namespace NOX
