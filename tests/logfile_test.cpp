// Log files on real directories: names and paths, the file set with its
// restart rule, rotation by size and age, day-numbered NMEA files, failures
// (a full disk among them); and the debug-output line end.
#include "LogCapture.h"
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

using namespace NOX::DBG;

namespace {

using LogFileTest = StorageRootTest;

// The report as the error log receives it; the debug output ends it in CR LF.
std::string writeFailureReport(const std::string& strName, const char* szLineEnd = "\n")
{
    return "NOX::DBG::DbgLogMgrC::logWrite ERROR while writing to log (" + strName + ")!" +
           szLineEnd;
}

#if defined(_WIN32)
// A view of a file mapped by a reader, as a viewer program would hold it.
class MappedViewC
{
public:
    explicit MappedViewC(const fs::path& path)
    {
        m_hFile = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        if (m_hFile != INVALID_HANDLE_VALUE) {
            m_hMapping = CreateFileMappingW(m_hFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
        }
        if (m_hMapping != nullptr) {
            m_pView = MapViewOfFile(m_hMapping, FILE_MAP_READ, 0, 0, 0);
        }
    }
    ~MappedViewC() { unmap(); }
    MappedViewC(const MappedViewC&) = delete;
    MappedViewC& operator=(const MappedViewC&) = delete;

    bool isMapped() const { return m_pView != nullptr; }
    void unmap()
    {
        if (m_pView != nullptr) {
            UnmapViewOfFile(m_pView);
            m_pView = nullptr;
        }
        if (m_hMapping != nullptr) {
            CloseHandle(m_hMapping);
            m_hMapping = nullptr;
        }
        if (m_hFile != INVALID_HANDLE_VALUE) {
            CloseHandle(m_hFile);
            m_hFile = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    HANDLE m_hMapping = nullptr;
    void* m_pView = nullptr;
};
#endif

#if !defined(_WIN32)
// The full-disk case needs a file system of its own to fill: Linux only.

// A record of 100 bytes; 100 does not divide a page, so a full disk cuts one.
std::string record(int nNumber)
{
    char szHead[32];
    std::snprintf(szHead, sizeof(szHead), "record %05d ", nNumber);
    std::string strRecord = szHead;
    strRecord.resize(99, 'x');
    return strRecord + "\n";
}

// The numbers of the records in the file, in order; every line must be one
// whole record.
std::vector<int> wholeRecords(const fs::path& path)
{
    const std::string strText = readFile(path);
    EXPECT_TRUE(strText.empty() || strText.back() == '\n') << "the file ends inside a line";
    std::vector<int> vecNumbers;
    std::istringstream lines(strText);
    for (std::string strLine; std::getline(lines, strLine);) {
        int nNumber = strLine.size() > 12 ? std::atoi(strLine.c_str() + 7) : -1;
        EXPECT_EQ(record(nNumber), strLine + "\n") << "line " << vecNumbers.size() + 1;
        vecNumbers.push_back(nNumber);
    }
    return vecNumbers;
}

void appendNumbers(std::vector<int>& vecNumbers, int nFirst, int nCount)
{
    for (int n = nFirst; n < nFirst + nCount; ++n) {
        vecNumbers.push_back(n);
    }
}

// A 64 KiB tmpfs of the test's own, which it can fill and free.
class LogFileFullDiskTest : public StorageRootTest
{
protected:
    void SetUp() override
    {
        StorageRootTest::SetUp();
        m_mount = m_root / "small";
        fs::create_directory(m_mount);
        if (::mount("tmpfs", m_mount.c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs to fill (" << std::strerror(errno)
                         << "): the full-disk case needs root with CAP_SYS_ADMIN";
        }
        m_bMounted = true;
    }
    void TearDown() override
    {
        if (m_bMounted) {
            EXPECT_EQ(0, ::umount2(m_mount.c_str(), MNT_DETACH)) << std::strerror(errno);
        }
        StorageRootTest::TearDown();
    }

    fs::path m_mount;
    bool m_bMounted = false;
};
#endif

} // namespace

TEST_F(LogFileTest, NamesSplitTheExtensionAndLandUnderTheLogDirectory)
{
    struct CaseS
    {
        std::string strName;
        int32_t nFiles;
        fs::path expected;
    } aCases[] = {
        {"trace.log", 3, m_logDir / "trace_01.log"},
        {"single.log", 1, m_logDir / "single.log"},
        {"archive.tar.gz", 2, m_logDir / "archive.tar_01.gz"},
        {"noext", 2, m_logDir / "noext_01"},
        {"my.dir\\plain", 2, m_logDir / "my.dir" / "plain_01"},
        {"sub\\deep\\nested.log", 1, m_logDir / "sub" / "deep" / "nested.log"},
        {testenv::utf8(m_root) + "/abs/given.log", 2, m_root / "abs" / "given_01.log"},
    };
    for (const CaseS& c : aCases) {
        DbgLogFileConsumerC consumer(c.strName, c.nFiles, 0, 0, HDR_NONE, false);
        consumer.logWrite("line\n");
        EXPECT_EQ("line\n", readFile(c.expected)) << c.strName;
    }
}

TEST_F(LogFileTest, RestartContinuesInTheMostRecentFileThenGoesRoundTheSet)
{
    const time_t aMtimes[] = {1700000000, 1700000300, 1700000100};
    for (int i = 0; i < 3; ++i) {
        const fs::path path = m_logDir / ("trace_0" + std::to_string(i + 1) + ".log");
        writeFile(path, "old" + std::to_string(i + 1) + "\n");
        ASSERT_TRUE(testenv::setModificationTime(path, aMtimes[i])) << path;
    }

    // Ten bytes: the appended file already holds five.
    DbgLogFileConsumerC consumer("trace.log", 3, 0, 10, HDR_NONE, false);
    for (const char* szRecord : {"new-a\n", "new-b\n", "new-c\n", "new-d\n"}) {
        consumer.logWrite(szRecord);
    }
    EXPECT_EQ("old2\nnew-a\n", readFile(m_logDir / "trace_02.log"));
    EXPECT_EQ("new-b\nnew-c\n", readFile(m_logDir / "trace_03.log"));
    EXPECT_EQ("new-d\n", readFile(m_logDir / "trace_01.log"));
}

TEST_F(LogFileTest, ErrorLogRotatesAt51200BytesAlternatingBetweenTwoFiles)
{
    // Whatever the route asks for, the error log has its fixed shape.
    ASSERT_TRUE(
        mgr().addRoute("SystemErrorLogger", LVL_ALL, "SystemErrorLogger", 5, 7, 99, HDR_NONE));
    DbgLogFileC* pLog = mgr().getSystemErrorLogger();
    const std::string strMessage = std::string(999, 'e') + "\n";
    const fs::path first = m_logDir / "ErrorLog_01.txt";
    const fs::path second = m_logDir / "ErrorLog_02.txt";
    auto logUntilRotation = [&](const fs::path& current) {
        int nRecords = 0;
        uintmax_t unBefore = 0;
        do {
            unBefore = fs::file_size(current);
            pLog->logText(LVL_ERROR, strMessage.c_str(), strMessage.size());
        } while (fs::file_size(current) > unBefore && ++nRecords < 200);
        // The record that found the file full went elsewhere.
        EXPECT_GE(unBefore, 51200u);
        EXPECT_LT(unBefore, 51200u + 1100u);
    };

    pLog->logText(LVL_ERROR, strMessage.c_str(), strMessage.size());
    EXPECT_EQ('[', readFile(first).at(0));
    logUntilRotation(first);
    std::string strSecond = readFile(second);
    EXPECT_EQ(strSecond.size(), strSecond.find('\n') + 1) << "one record in the new file";
    logUntilRotation(second);
    std::string strFirst = readFile(first);
    EXPECT_EQ(strFirst.size(), strFirst.find('\n') + 1) << "the first file starts again";
}

TEST_F(LogFileTest, AgeRotationMovesOnOnlyWhenTheFileIsOlderThanTheLimit)
{
    FakeClockS::install(2024, 3, 1);
    DbgLogFileConsumerC consumer("aged.log", 3, 1, 0, HDR_NONE, false);
    consumer.logWrite("day0\n");
    FakeClockS::s_dwTicks += 86400000u;
    consumer.logWrite("day1\n");
    EXPECT_EQ("day0\nday1\n", readFile(m_logDir / "aged_01.log")) << "exactly one day is not older";

    // A thousandth of a day is the resolution of the limit.
    FakeClockS::s_dwTicks += 90000;
    consumer.logWrite("later\n");
    EXPECT_EQ("later\n", readFile(m_logDir / "aged_02.log"));
}

TEST_F(LogFileTest, ASingleFileKeepsItsHistoryOnAgeAndStartsAgainOnSize)
{
    struct CaseS
    {
        const char* szName;
        uint32_t unMaxAgeDays;
        uint32_t unMaxBytes;
        const char* szAfter;
    } aCases[] = {
        // As from "LOGT * WARN aged.txt 1 7": one file has nothing to move on to.
        {"aged.txt", 7, 0, "old\nnew\n"},
        {"sized.txt", 0, 4, "new\n"},
        {"both.txt", 7, 4, "new\n"},
    };
    for (const CaseS& c : aCases) {
        FakeClockS::install(2024, 3, 1);
        DbgLogFileConsumerC consumer(c.szName, 1, c.unMaxAgeDays, c.unMaxBytes, HDR_NONE, false);
        consumer.logWrite("old\n");
        FakeClockS::s_dwTicks += 8u * 86400000u;
        consumer.logWrite("new\n");
        EXPECT_EQ(c.szAfter, readFile(m_logDir / c.szName)) << c.szName;
    }
}

TEST_F(LogFileTest, NmeaNamesCarryTheDayOfTheYearAndTheNextFreeNumber)
{
    struct CaseS
    {
        WORD wYear, wMonth, wDay;
        const char* szFirst;
    } aCases[] = {{2023, 12, 31, "gps365_1.txt"},
                  {2024, 12, 31, "gps366_1.txt"},
                  {2024, 2, 3, "gps034_1.txt"}};
    for (const CaseS& c : aCases) {
        FakeClockS::install(c.wYear, c.wMonth, c.wDay);
        DbgLogFileConsumerC consumer("gps.txt", 1, 0, 0, HDR_NONE, true);
        consumer.logWrite("$GPGGA\n");
        EXPECT_EQ("$GPGGA\n", readFile(m_logDir / c.szFirst)) << c.szFirst;
    }
    // The key "nmea" asks for day-numbered files.
    ASSERT_TRUE(mgr().addRoute("nmea", LVL_ALL, "gps.txt"));
    childConsumer("gps.txt")->logWrite("again\n");
    EXPECT_EQ("again\n", readFile(m_logDir / "gps034_2.txt"));
}

TEST_F(LogFileTest, PercentSignsAreWrittenVerbatimByAllThreeConsumers)
{
    const char szRecord[] = "100% done %s %d %n %%\n";
    DbgLogFileConsumerC file("percent.log", 1, 0, 0, HDR_NONE, false);
    file.logWrite(szRecord);
    EXPECT_EQ(szRecord, readFile(m_logDir / "percent.log"));

    ::testing::internal::CaptureStdout();
    DbgLogPrintfConsumerC(HDR_NONE).logWrite(szRecord);
    EXPECT_EQ(szRecord, ::testing::internal::GetCapturedStdout());

    testenv::captureDebugOutput();
    DbgLogOutputDebugStringConsumerC(HDR_NONE).logWrite(szRecord);
    EXPECT_EQ("100% done %s %d %n %%\r\n", testenv::capturedDebugOutput());
}

TEST_F(LogFileTest, AnUncreatableDirectoryLeavesTheConsumerClosedAndSilent)
{
    writeFile(m_root / "blocker", "a file where a directory should be\n");
    ::testing::internal::CaptureStdout();
    {
        DbgLogFileConsumerC consumer(testenv::utf8(m_root) + "/blocker/sub/x.log", 2, 0, 0,
                                     HDR_NONE, false);
        EXPECT_EQ("", consumer.getPath());
        consumer.logWrite("nowhere\n");
    }
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("a file where a directory should be\n", readFile(m_root / "blocker"));
}

#if !defined(_WIN32)
// FIFOs and device nodes: POSIX only.
TEST_F(LogFileTest, AnEntryThatIsNoRegularFileIsNeverOpened)
{
    // Opening a FIFO for writing waits for a reader, and writing to one waits
    // for it to read: every file consumer, the error log's own set included,
    // must leave it alone and stay closed.
    fs::create_directories(m_logDir);
    const struct
    {
        const char* szFifo;
        bool bReader;
        std::string strConsumer;
    } aCases[] = {
        {"ErrorLog_01.txt", false, "SystemErrorLogger"},
        {"ErrorLog_02.txt", false, "SystemErrorLogger"},
        {"pipe.log", true, "pipe.log"},
        {"", false, "/dev/null"},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.strConsumer + " " + c.szFifo);
        const bool bFifo = *c.szFifo != '\0';
        const fs::path fifo = m_logDir / (bFifo ? c.szFifo : "no.fifo");
        if (bFifo) {
            ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
        }
        const int nReader = c.bReader ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        EXPECT_TRUE(returnsWithoutBlocking(
            fifo, [&] { mgr().addRoute("key", LVL_ALL, c.strConsumer, 1, 0, 0, HDR_NONE); }));
        auto* pConsumer = dynamic_cast<DbgLogFileConsumerC*>(childConsumer(c.strConsumer));
        ASSERT_NE(nullptr, pConsumer);
        ASSERT_EQ("", pConsumer->getPath());
        DbgLogFileC("key").logText(LVL_ERROR, "lost\n", 5);
        if (nReader >= 0) {
            char aBuffer[8];
            EXPECT_LE(::read(nReader, aBuffer, sizeof(aBuffer)), 0) << "nothing was written";
            ::close(nReader);
        }
        mgr().removeAll();
        std::error_code error;
        fs::remove(fifo, error);
    }
}
#endif

TEST_F(LogFileTest, AFailedRotationIsReportedOnceAndTriedAgainByTheNextRecord)
{
    LogCaptureC errors;
    errors.route("SystemErrorLogger", LVL_ERROR);
    const fs::path file = m_logDir / "blocked.log";
    DbgLogFileConsumerC consumer("blocked.log", 1, 0, 4, HDR_NONE, false);
    consumer.logWrite("one\n");
    // A directory where the file should start again: the rotation cannot open
    // it. Windows keeps an open file from being replaced; another reader's
    // view of it keeps it from being started again instead.
#if defined(_WIN32)
    MappedViewC view(file);
    ASSERT_TRUE(view.isMapped());
#else
    fs::remove(file);
    fs::create_directory(file);
#endif
    testenv::captureDebugOutput();
    consumer.logWrite("two\n");
    consumer.logWrite("three\n");
    EXPECT_EQ(std::vector<std::string>{writeFailureReport("blocked.log")}, errors.records());
    EXPECT_EQ("", consumer.getPath());

#if defined(_WIN32)
    view.unmap();
#endif
    fs::remove(file);
    consumer.logWrite("four\n");
    EXPECT_EQ("four\n", readFile(file));
    EXPECT_NE("", consumer.getPath());
    EXPECT_EQ(1u, errors.records().size());
    EXPECT_EQ(writeFailureReport("blocked.log", "\r\n"), testenv::capturedDebugOutput());
}

#if !defined(_WIN32)
TEST_F(LogFileFullDiskTest, AFullDiskIsReportedOncePerEpisodeAndLeavesOnlyWholeRecords)
{
    // Fills a quarter of the disk, so that freeing it gives room again.
    writeFile(m_mount / "ballast", std::string(16 * 1024, 'b'));
    LogCaptureC errors;
    errors.route("SystemErrorLogger", LVL_ERROR);
    const fs::path file = m_mount / "full.log";
    DbgLogFileConsumerC consumer(file.string(), 1, 0, 0, HDR_NONE, false);
    auto logRecords = [&](int nFirst, int nCount) {
        for (int n = nFirst; n < nFirst + nCount; ++n) {
            consumer.logWrite(record(n).c_str());
        }
    };
    const std::string strReport = writeFailureReport(file.string());

    testenv::captureDebugOutput();
    logRecords(0, 10);
    {
        // Another writer's line, which the consumer does not count: taking
        // back the cut record must not take that with it.
        DbgLogFileConsumerC other(file.string(), 1, 0, 0, HDR_NONE, false);
        other.logWrite(record(900).c_str());
    }
    // 48 KiB hold 491 records and part of the next.
    logRecords(10, 990);
    std::vector<int> vecExpected;
    appendNumbers(vecExpected, 0, 10);
    appendNumbers(vecExpected, 900, 1);
    appendNumbers(vecExpected, 10, 480);
    EXPECT_EQ(vecExpected, wholeRecords(file)) << "records before the disk filled are all kept";
    EXPECT_EQ(std::vector<std::string>{strReport}, errors.records()) << "once, not per record";

    fs::remove(m_mount / "ballast");
    logRecords(1000, 10);
    appendNumbers(vecExpected, 1000, 10);
    EXPECT_EQ(vecExpected, wholeRecords(file)) << "the next record starts on a line of its own";
    EXPECT_EQ(1u, errors.records().size());

    // The freed 16 KiB fill up again (64 KiB hold 655 records): a new
    // episode, reported again.
    logRecords(2000, 1000);
    appendNumbers(vecExpected, 2000, 655 - 501);
    EXPECT_EQ(vecExpected, wholeRecords(file));
    EXPECT_EQ(std::vector<std::string>(2, strReport), errors.records());
    const std::string strCrLf = writeFailureReport(file.string(), "\r\n");
    EXPECT_EQ(strCrLf + strCrLf, testenv::capturedDebugOutput());
}
#endif

TEST(DebugOutputTest, LineEndRuleByLength)
{
#if defined(_WIN32)
    // One byte in Windows-1252, Windows' default code page under Wine.
    const std::string strCafe = "caf\xe9";
#else
    // Two bytes in UTF-8, the POSIX platform's default code page.
    const std::string strCafe = "caf\xc3\xa9";
#endif
    struct CaseS
    {
        std::string strIn;
        std::wstring strOut;
    } aCases[] = {
        {"ab", L"ab"},
        {"a\n", L"a\n"},
        {"abc", L"abc\r\n"},
        {"ab\n", L"ab\r\n"},
        // Only the final line feed is looked at, so CR LF gains a second CR.
        {"ab\r\n", L"ab\r\r\n"},
        {std::string(1021, 'x'), std::wstring(1021, L'x') + L"\r\n"},
        {std::string(1022, 'x'), std::wstring(1022, L'x')},
        {std::string(1021, 'x') + "\n", std::wstring(1021, L'x') + L"\n"},
        {std::string(5000, 'x') + "\n", std::wstring(1023, L'x')},
        {strCafe, L"caf\u00e9\r\n"},
    };
    for (const CaseS& c : aCases) {
        WCHAR aBuffer[DbgLogOutputDebugStringConsumerC::c_nBufferSize];
        int nLength = DbgLogOutputDebugStringConsumerC::convert(c.strIn.c_str(), aBuffer);
        EXPECT_EQ(c.strOut.size(), static_cast<size_t>(nLength)) << c.strIn.size() << " bytes in";
        EXPECT_EQ(c.strOut, std::wstring(aBuffer)) << c.strIn.size() << " bytes in";
    }
}
