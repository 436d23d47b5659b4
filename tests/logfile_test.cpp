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

} // namespace

TEST_F(LogFileTest, NamesSplitTheExtensionAndLandUnderTheLogDirectory)
{
    const std::tuple<std::string, int32_t, fs::path> aCases[] = {
        {"trace.log", 3, m_logDir / "trace_01.log"},
        {"single.log", 1, m_logDir / "single.log"},
        {"archive.tar.gz", 2, m_logDir / "archive.tar_01.gz"},
        {"noext", 2, m_logDir / "noext_01"},
        {"my.dir\\plain", 2, m_logDir / "my.dir" / "plain_01"},
        {"sub\\deep\\nested.log", 1, m_logDir / "sub" / "deep" / "nested.log"},
        {testenv::utf8(m_root) + "/abs/given.log", 2, m_root / "abs" / "given_01.log"},
    };
    // Percent signs are text, never a format.
    for (const auto& [strName, nFiles, expected] : aCases) {
        DbgLogFileConsumerC(strName, nFiles, 0, 0, HDR_NONE, false).logWrite("100% %s %n\n");
        EXPECT_EQ("100% %s %n\n", readFile(expected)) << strName;
    }
}

TEST_F(LogFileTest, RestartContinuesInTheMostRecentFileThenGoesRoundTheSet)
{
    // The second file was written last.
    for (int i : {1, 2, 3}) {
        const fs::path path = m_logDir / ("trace_0" + std::to_string(i) + ".log");
        writeFile(path, "old" + std::to_string(i) + "\n");
        fs::last_write_time(path, fs::file_time_type::clock::now() -
                                      std::chrono::seconds(i == 2 ? 100 : 500 - 100 * i));
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
    pLog->logText(LVL_ERROR, strMessage.c_str(), strMessage.size());
    EXPECT_EQ('[', readFile(m_logDir / "ErrorLog_01.txt").at(0)) << "a dated header";
    // Logs until a record does not grow the file, which then holds one record.
    for (int i : {1, 2}) {
        const fs::path current = m_logDir / ("ErrorLog_0" + std::to_string(i) + ".txt");
        const fs::path next = m_logDir / ("ErrorLog_0" + std::to_string(3 - i) + ".txt");
        uintmax_t unBefore = 0;
        for (int nRecords = 0; nRecords < 200 && fs::file_size(current) > unBefore; ++nRecords) {
            unBefore = fs::file_size(current);
            pLog->logText(LVL_ERROR, strMessage.c_str(), strMessage.size());
        }
        EXPECT_TRUE(unBefore >= 51200u && unBefore < 51200u + 1100u) << unBefore;
        const std::string strNext = readFile(next);
        EXPECT_EQ(strNext.size(), strNext.find('\n') + 1) << next;
    }
}

TEST_F(LogFileTest, AgeRotatesASetPastItsLimitButASingleFileOnlyBySize)
{
    const struct
    {
        const char* szName;
        int32_t nFiles;
        uint32_t unMaxAgeDays, unMaxBytes;
        DWORD dwLater;
        const char *szFile, *szText;
    } aCases[] = {
        // Exactly one day is not older; a thousandth of a day more is.
        {"day.log", 3, 1, 0, 86400000, "day_01.log", "old\nnew\n"},
        {"older.log", 3, 1, 0, 86490000, "older_02.log", "new\n"},
        // As from "LOGT * WARN aged.txt 1 7": one file has nothing to move on to.
        {"aged.txt", 1, 7, 0, 8 * 86400000, "aged.txt", "old\nnew\n"},
        {"sized.txt", 1, 0, 4, 0, "sized.txt", "new\n"},
        {"both.txt", 1, 7, 4, 8 * 86400000, "both.txt", "new\n"},
    };
    for (const auto& c : aCases) {
        FakeClockS::install(2024, 3, 1);
        DbgLogFileConsumerC consumer(c.szName, c.nFiles, c.unMaxAgeDays, c.unMaxBytes, HDR_NONE,
                                     false);
        consumer.logWrite("old\n");
        FakeClockS::s_dwTicks += c.dwLater;
        consumer.logWrite("new\n");
        EXPECT_EQ(c.szText, readFile(m_logDir / c.szFile)) << c.szName;
    }
}

TEST_F(LogFileTest, NmeaNamesCarryTheDayOfTheYearAndTheNextFreeNumber)
{
    const std::tuple<WORD, WORD, WORD, const char*> aCases[] = {{2023, 12, 31, "gps365_1.txt"},
                                                                {2024, 3, 1, "gps061_1.txt"}};
    for (const auto& [wYear, wMonth, wDay, szFirst] : aCases) {
        FakeClockS::install(wYear, wMonth, wDay);
        DbgLogFileConsumerC("gps.txt", 1, 0, 0, HDR_NONE, true).logWrite("$GPGGA\n");
        EXPECT_EQ("$GPGGA\n", readFile(m_logDir / szFirst)) << szFirst;
    }
    // The key "nmea" asks for day-numbered files.
    ASSERT_TRUE(mgr().addRoute("nmea", LVL_ALL, "gps.txt"));
    childConsumer("gps.txt")->logWrite("again\n");
    EXPECT_EQ("again\n", readFile(m_logDir / "gps061_2.txt"));
}

#if !defined(_WIN32)
// FIFOs, device nodes, a directory in place of an open file and a full disk:
// POSIX only.
TEST_F(LogFileTest, AnEntryThatIsNoRegularFileIsNeverOpened)
{
    // Opening a FIFO for writing waits for a reader, and writing to one waits
    // for it to read: every file consumer, the error log's own set included,
    // must leave it alone and stay closed.
    fs::create_directories(m_logDir);
    const std::pair<std::string, std::string> aCases[] = {{"ErrorLog_01.txt", "SystemErrorLogger"},
                                                          {"ErrorLog_02.txt", "SystemErrorLogger"},
                                                          {"pipe.log", "pipe.log"},
                                                          {"no.fifo", "/dev/null"}};
    for (const auto& [strFifo, strConsumer] : aCases) {
        SCOPED_TRACE(strConsumer + " " + strFifo);
        const fs::path fifo = m_logDir / strFifo;
        ASSERT_TRUE(strConsumer[0] == '/' || ::mkfifo(fifo.c_str(), 0600) == 0);
        // A reader for the consumer's own FIFO, which sees whatever is written.
        const int nReader =
            strFifo == strConsumer ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        EXPECT_TRUE(returnsWithoutBlocking(
            fifo, [&] { mgr().addRoute("key", LVL_ALL, strConsumer, 1, 0, 0, HDR_NONE); }));
        auto* pConsumer = dynamic_cast<DbgLogFileConsumerC*>(childConsumer(strConsumer));
        ASSERT_NE(nullptr, pConsumer);
        ASSERT_EQ("", pConsumer->getPath());
        DbgLogFileC("key").logText(LVL_ERROR, "lost\n", 5);
        if (nReader >= 0) {
            char aBuffer[8];
            EXPECT_LE(::read(nReader, aBuffer, sizeof(aBuffer)), 0) << "nothing was written";
            ::close(nReader);
        }
        mgr().removeAll();
        fs::remove(fifo);
    }
}

TEST_F(LogFileTest, AFailureIsReportedOncePerEpisodeAndTheNextRecordTriesAgain)
{
    LogCaptureC errors;
    errors.route("SystemErrorLogger", LVL_ERROR);
    const fs::path file = m_logDir / "blocked.log";
    DbgLogFileConsumerC consumer("blocked.log", 1, 0, 4, HDR_NONE, false);
    consumer.logWrite("one\n");
    // A directory where the file should start again: the rotation cannot open it.
    auto blockRotation = [&] {
        fs::remove(file);
        fs::create_directory(file);
    };
    blockRotation();
    ::testing::internal::CaptureStderr();
    consumer.logWrite("two\n");
    consumer.logWrite("three\n");
    EXPECT_EQ(std::vector<std::string>{writeFailureReport("blocked.log")}, errors.records());
    EXPECT_EQ("", consumer.getPath());

    fs::remove(file);
    consumer.logWrite("four\n");
    EXPECT_EQ("four\n", readFile(file));
    EXPECT_NE("", consumer.getPath());
    EXPECT_EQ(1u, errors.records().size());
    EXPECT_EQ(writeFailureReport("blocked.log", "\r\n"), ::testing::internal::GetCapturedStderr());

    blockRotation();
    consumer.logWrite("five\n");
    EXPECT_EQ(2u, errors.records().size()) << "a failure after a success is a new episode";
}

namespace {

// A record of 100 bytes; 100 does not divide a page, so a full disk cuts one.
std::string record(int nNumber)
{
    const std::string strHead = "record " + std::to_string(10000 + nNumber) + " ";
    return strHead + std::string(99 - strHead.size(), 'x') + "\n";
}

// The numbers of the records in the file, in order; every line must be one
// whole record.
std::vector<int> wholeRecords(const fs::path& path)
{
    std::vector<int> vecNumbers;
    std::istringstream lines(readFile(path));
    for (std::string strLine; std::getline(lines, strLine);) {
        const int nNumber = strLine.size() > 12 ? std::atoi(strLine.c_str() + 7) - 10000 : -1;
        EXPECT_EQ(record(nNumber), strLine + (lines.eof() ? "" : "\n"));
        vecNumbers.push_back(nNumber);
    }
    return vecNumbers;
}

} // namespace

TEST_F(LogFileTest, AFullDiskIsReportedOncePerEpisodeAndLeavesOnlyWholeRecords)
{
    // A 64 KiB file system of the test's own, which it can fill and free.
    const fs::path mount = m_root / "small";
    fs::create_directory(mount);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs to fill (" << std::strerror(errno)
                     << "): the full-disk case needs root with CAP_SYS_ADMIN";
    }
    struct UnmountS
    {
        fs::path path;
        ~UnmountS() { EXPECT_EQ(0, ::umount2(path.c_str(), MNT_DETACH)) << std::strerror(errno); }
    } unmount{mount};
    // Fills a quarter of the disk, so that freeing it gives room again.
    writeFile(mount / "ballast", std::string(16 * 1024, 'b'));
    LogCaptureC errors;
    errors.route("SystemErrorLogger", LVL_ERROR);
    const fs::path file = mount / "full.log";
    DbgLogFileConsumerC consumer(file.string(), 1, 0, 0, HDR_NONE, false);
    std::vector<int> vecExpected;
    // Logs records nFirst on and expects the first nKept of them in the file.
    auto logRecords = [&](int nFirst, int nCount, int nKept) {
        for (int n = nFirst; n < nFirst + nCount; ++n) {
            consumer.logWrite(record(n).c_str());
            if (n < nFirst + nKept) {
                vecExpected.push_back(n);
            }
        }
    };
    const std::string strReport = writeFailureReport(file.string());

    ::testing::internal::CaptureStderr();
    logRecords(0, 10, 10);
    // Another writer's line, which the consumer does not count: taking back
    // the cut record must not take that with it.
    DbgLogFileConsumerC(file.string(), 1, 0, 0, HDR_NONE, false).logWrite(record(900).c_str());
    vecExpected.push_back(900);
    // 48 KiB hold 491 records and part of the next.
    logRecords(10, 990, 480);
    EXPECT_EQ(vecExpected, wholeRecords(file)) << "records before the disk filled are all kept";
    EXPECT_EQ(std::vector<std::string>{strReport}, errors.records()) << "once, not per record";

    fs::remove(mount / "ballast");
    logRecords(1000, 10, 10);
    EXPECT_EQ(vecExpected, wholeRecords(file)) << "the next record starts on a line of its own";
    EXPECT_EQ(1u, errors.records().size());
    EXPECT_EQ(writeFailureReport(file.string(), "\r\n"), ::testing::internal::GetCapturedStderr());
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
    const std::pair<std::string, std::wstring> aCases[] = {
        {"ab", L"ab"},
        {"abc", L"abc\r\n"},
        {"ab\n", L"ab\r\n"},
        // Only the final line feed is looked at, so CR LF gains a second CR.
        {"ab\r\n", L"ab\r\r\n"},
        {std::string(1021, 'x'), std::wstring(1021, L'x') + L"\r\n"},
        {std::string(1022, 'x'), std::wstring(1022, L'x')},
        {std::string(1021, 'x') + "\n", std::wstring(1021, L'x') + L"\n"},
        {std::string(5000, 'x') + "\n", std::wstring(1023, L'x')},
        {strCafe, L"caf\u00e9\r\n"},
        {"100% %s %n", L"100% %s %n\r\n"},
    };
    for (const auto& [strIn, strOut] : aCases) {
        WCHAR aBuffer[DbgLogOutputDebugStringConsumerC::c_nBufferSize];
        const int nLength = DbgLogOutputDebugStringConsumerC::convert(strIn.c_str(), aBuffer);
        EXPECT_EQ(strOut, std::wstring(aBuffer, nLength)) << strIn.size() << " bytes in";
        EXPECT_EQ(L'\0', aBuffer[nLength]) << strIn.size() << " bytes in";
    }
}
