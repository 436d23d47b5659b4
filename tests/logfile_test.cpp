// Log files on real directories: names and paths, the file set with its
// restart rule, rotation by size and age, day-numbered NMEA files, failures;
// and the debug-output line end.
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"
#include "Nox_Hal/NOX_HAL_Path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

using namespace NOX::DBG;

namespace {

void setModificationTime(const fs::path& path, time_t tSeconds)
{
    struct timespec aTimes[2] = {{tSeconds, 0}, {tSeconds, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), aTimes, 0)) << path;
}

std::vector<std::string> namesIn(const fs::path& directory)
{
    std::vector<std::string> vecNames;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        vecNames.push_back(entry.path().filename().string());
    }
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

const DWORD c_dwDayMs = 86400000u;

using LogFileTest = StorageRootTest;

} // namespace

// ------------------------------------------------------------ names and paths

TEST(LogPathTest, AbsoluteNamesAreRecognisedByTheirFirstCharacters)
{
    struct CaseS
    {
        const char* szPath;
        bool bAbsolute;
    } aCases[] = {
        {"\\Storage\\x.log", true}, {"C:\\x.log", true}, {"/tmp/x.log", true}, {"x.log", false},
        {"dbg\\x.log", false},      {"C:x.log", false},  {"", false}};
    for (const CaseS& c : aCases) {
        EXPECT_EQ(c.bAbsolute, NOX::HAL::isAbsolutePath(c.szPath)) << c.szPath;
    }
}

TEST_F(LogFileTest, NamesSplitTheExtensionAndLandUnderTheLogDirectory)
{
    const std::string strAbsolute = m_root.string() + "/abs/given.log";
    std::string strBackslashed = m_root.string() + "\\bs\\given.txt";
    for (char& c : strBackslashed) {
        c = c == '/' ? '\\' : c;
    }
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
        {"x.abcdefghijklmnopqrst", 2, m_logDir / "x_01.abcdefghijklmn"},
        {strAbsolute, 2, m_root / "abs" / "given_01.log"},
        {strBackslashed, 1, m_root / "bs" / "given.txt"},
    };
    for (const CaseS& c : aCases) {
        DbgLogFileConsumerC consumer(c.strName, c.nFiles, 0, 0, HDR_NONE, false);
        consumer.logWrite("line\n");
        EXPECT_EQ("line\n", readFile(c.expected)) << c.strName << " -> " << c.expected;
        EXPECT_EQ(c.strName, consumer.getName());
    }
}

TEST_F(LogFileTest, NumberOfFilesAndAgeAreClampedTwentyFiveFilesCycleThroughTwenty)
{
    struct CaseS
    {
        int32_t nFiles;
        uint32_t unAgeDays;
        int32_t nExpectedFiles;
        uint32_t unExpectedAge;
    } aCases[] = {{0, 0, 1, 0},
                  {-3, 1, 1, 1000},
                  {1, 2000000, 1, 2000000000u},
                  {20, 2000001, 20, 2000000000u},
                  {25, 0xFFFFFFFFu, 20, 2000000000u}};
    for (const CaseS& c : aCases) {
        DbgLogFileConsumerC consumer("clamp.log", c.nFiles, c.unAgeDays, 0, HDR_NONE, false);
        EXPECT_EQ(c.nExpectedFiles, consumer.getNumberOfFiles()) << c.nFiles;
        EXPECT_EQ(c.unExpectedAge, consumer.getMaxAge()) << c.unAgeDays;
    }
    // No files at all means one file under its own name.
    DbgLogFileConsumerC none("none.log", 0, 0, 0, HDR_NONE, false);
    none.logWrite("x\n");
    EXPECT_EQ("x\n", readFile(m_logDir / "none.log"));

    DbgLogFileConsumerC consumer("many\\many.log", 25, 0, 1, HDR_NONE, false);
    for (int i = 0; i < 22; ++i) {
        consumer.logWrite("r\n");
    }
    std::vector<std::string> vecNames = namesIn(m_logDir / "many");
    ASSERT_EQ(20u, vecNames.size());
    EXPECT_EQ("many_01.log", vecNames.front());
    EXPECT_EQ("many_20.log", vecNames.back());
    EXPECT_EQ(2, consumer.getCurrentIndex());
}

// ------------------------------------------------------------ the file set

TEST_F(LogFileTest, RestartContinuesInTheMostRecentFileANewSetStartsAtOne)
{
    writeFile(m_logDir / "trace_01.log", "old1\n");
    writeFile(m_logDir / "trace_02.log", "old2\n");
    writeFile(m_logDir / "trace_03.log", "old3\n");
    setModificationTime(m_logDir / "trace_01.log", 1700000000);
    setModificationTime(m_logDir / "trace_02.log", 1700000300);
    setModificationTime(m_logDir / "trace_03.log", 1700000100);

    // Ten bytes: the appended file already holds five.
    DbgLogFileConsumerC consumer("trace.log", 3, 0, 10, HDR_NONE, false);
    EXPECT_EQ(2, consumer.getCurrentIndex());
    consumer.logWrite("new-a\n");
    consumer.logWrite("new-b\n");
    EXPECT_EQ("old1\n", readFile(m_logDir / "trace_01.log"));
    EXPECT_EQ("old2\nnew-a\n", readFile(m_logDir / "trace_02.log"));
    EXPECT_EQ("new-b\n", readFile(m_logDir / "trace_03.log"));

    consumer.logWrite("new-c\n");
    consumer.logWrite("new-d\n");
    EXPECT_EQ("new-b\nnew-c\n", readFile(m_logDir / "trace_03.log"));
    EXPECT_EQ("new-d\n", readFile(m_logDir / "trace_01.log"));

    // Files of another set in the same directory are not taken for a new one.
    DbgLogFileConsumerC fresh("fresh.log", 3, 0, 0, HDR_NONE, false);
    EXPECT_EQ(1, fresh.getCurrentIndex());
    fresh.logWrite("a\n");
    EXPECT_EQ("a\n", readFile(m_logDir / "fresh_01.log"));
}

TEST_F(LogFileTest, ErrorLogRotatesAt51200BytesAlternatingBetweenTwoFiles)
{
    // Whatever the route asks for, the error log has its fixed shape.
    ASSERT_TRUE(
        mgr().addRoute("SystemErrorLogger", LVL_ALL, "SystemErrorLogger", 5, 7, 99, HDR_NONE));
    ASSERT_TRUE(mgr().addRoute("Other", LVL_ALL, "SystemErrorLogger"));
    auto* pConsumer = dynamic_cast<DbgLogFileConsumerC*>(childConsumer("SystemErrorLogger"));
    ASSERT_NE(nullptr, pConsumer);
    EXPECT_EQ(2, pConsumer->getNumberOfFiles());
    EXPECT_EQ(0u, pConsumer->getMaxAge());
    EXPECT_EQ(static_cast<uint32_t>(HDR_DATE_TIME), pConsumer->getHeaderMode());
    EXPECT_EQ(1, mgr().componentCount());

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
            ++nRecords;
        } while (fs::file_size(current) > unBefore && nRecords < 200);
        // The record that found the file full went elsewhere.
        EXPECT_GE(unBefore, 51200u);
        EXPECT_LT(unBefore, 51200u + 1100u);
        return nRecords;
    };

    pLog->logText(LVL_ERROR, strMessage.c_str(), strMessage.size());
    ASSERT_TRUE(fs::exists(first));
    EXPECT_EQ('[', readFile(first)[0]);
    EXPECT_FALSE(fs::exists(second));

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

    FakeClockS::s_dwTicks += c_dwDayMs;
    consumer.logWrite("day1\n");
    EXPECT_EQ("day0\nday1\n", readFile(m_logDir / "aged_01.log")) << "exactly one day is not older";

    // A thousandth of a day is the resolution of the limit.
    FakeClockS::s_dwTicks += 90000;
    consumer.logWrite("later\n");
    EXPECT_EQ("later\n", readFile(m_logDir / "aged_02.log"));
    EXPECT_EQ(2, consumer.getCurrentIndex());

    DbgLogFileConsumerC ageless("ageless.log", 3, 0, 0, HDR_NONE, false);
    ageless.logWrite("a\n");
    FakeClockS::s_dwTicks += 30u * c_dwDayMs;
    ageless.logWrite("b\n");
    EXPECT_EQ("a\nb\n", readFile(m_logDir / "ageless_01.log")) << "no limit, no ageing";
}

TEST_F(LogFileTest, SingleFileRotatesByStartingTheSameFileAgain)
{
    DbgLogFileConsumerC consumer("one.log", 1, 0, 4, HDR_NONE, false);
    consumer.logWrite("aaaa\n");
    consumer.logWrite("bb\n");
    EXPECT_EQ("bb\n", readFile(m_logDir / "one.log"));
    EXPECT_EQ(std::vector<std::string>{"one.log"}, namesIn(m_logDir));
}

// ------------------------------------------------------------ NMEA names

TEST_F(LogFileTest, NmeaNamesCarryTheDayOfTheYearAndTheNextFreeNumber)
{
    struct CaseS
    {
        WORD wYear, wMonth, wDay;
        const char* szFirst;
    } aCases[] = {{2024, 2, 3, "gps034_1.txt"},
                  {2023, 1, 1, "gps001_1.txt"},
                  {2024, 12, 31, "gps366_1.txt"},
                  {2023, 12, 31, "gps365_1.txt"}};
    for (const CaseS& c : aCases) {
        FakeClockS::install(c.wYear, c.wMonth, c.wDay);
        DbgLogFileConsumerC consumer("gps.txt", 1, 0, 0, HDR_NONE, true);
        consumer.logWrite("$GPGGA\n");
        EXPECT_EQ("$GPGGA\n", readFile(m_logDir / c.szFirst)) << c.szFirst;
    }

    FakeClockS::install(2024, 2, 3);
    DbgLogFileConsumerC second("gps.txt", 1, 0, 0, HDR_NONE, true);
    second.logWrite("again\n");
    EXPECT_EQ("again\n", readFile(m_logDir / "gps034_2.txt"));
    EXPECT_EQ("$GPGGA\n", readFile(m_logDir / "gps034_1.txt"));

    // Rotation goes on in the next free file of the day.
    DbgLogFileConsumerC rotating("gps.txt", 1, 0, 4, HDR_NONE, true);
    rotating.logWrite("first\n");
    rotating.logWrite("second\n");
    EXPECT_EQ("first\n", readFile(m_logDir / "gps034_3.txt"));
    EXPECT_EQ("second\n", readFile(m_logDir / "gps034_4.txt"));
}

TEST_F(LogFileTest, OnlyTheKeyNmeaGivesDayNumberedFiles)
{
    FakeClockS::install(2024, 2, 3);
    ASSERT_TRUE(mgr().addRoute("nmea", LVL_ALL, "gps.txt"));
    ASSERT_TRUE(mgr().addRoute("nmea2", LVL_ALL, "plain.txt"));
    childConsumer("gps.txt")->logWrite("n\n");
    childConsumer("plain.txt")->logWrite("p\n");
    EXPECT_EQ("n\n", readFile(m_logDir / "gps034_1.txt"));
    EXPECT_EQ("p\n", readFile(m_logDir / "plain.txt"));
}

// ------------------------------------------------------------ records

TEST_F(LogFileTest, PercentSignsAreWrittenVerbatimByAllThreeConsumers)
{
    const char szRecord[] = "100% done %s %d %n %%\n";

    DbgLogFileConsumerC file("percent.log", 1, 0, 0, HDR_NONE, false);
    file.logWrite(szRecord);
    EXPECT_EQ(szRecord, readFile(m_logDir / "percent.log"));

    DbgLogPrintfConsumerC printfConsumer(HDR_NONE);
    ::testing::internal::CaptureStdout();
    printfConsumer.logWrite(szRecord);
    EXPECT_EQ(szRecord, ::testing::internal::GetCapturedStdout());

    DbgLogOutputDebugStringConsumerC debugConsumer(HDR_NONE);
    ::testing::internal::CaptureStderr();
    debugConsumer.logWrite(szRecord);
    EXPECT_EQ("100% done %s %d %n %%\r\n", ::testing::internal::GetCapturedStderr());
}

// ------------------------------------------------------------ failures

TEST_F(LogFileTest, AnUncreatableDirectoryLeavesTheConsumerClosedAndSilent)
{
    writeFile(m_root / "blocker", "a file where a directory should be\n");
    ::testing::internal::CaptureStdout();
    {
        DbgLogFileConsumerC consumer(m_root.string() + "/blocker/sub/x.log", 2, 0, 0, HDR_NONE,
                                     false);
        EXPECT_EQ("", consumer.getPath());
        consumer.logWrite("nowhere\n");
        consumer.logWrite("nowhere\n");
    }
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("a file where a directory should be\n", readFile(m_root / "blocker"));
}

TEST_F(LogFileTest, AFullDeviceLosesTheRecordsButNothingElse)
{
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    DbgLogFileConsumerC consumer("/dev/full", 1, 0, 0, HDR_NONE, false);
    ASSERT_EQ("/dev/full", consumer.getPath());
    for (int i = 0; i < 3; ++i) {
        consumer.logWrite("lost\n");
    }
    EXPECT_EQ("/dev/full", consumer.getPath()) << "a full medium may empty again";
}

TEST_F(LogFileTest, AFileWithoutPositionIsReopenedOnceThenReportedAndClosed)
{
    // A pipe has no position: the consumer opens it, but every position query
    // fails.
    const fs::path fifo = m_logDir / "pipe.log";
    fs::create_directories(m_logDir);
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    int nReader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nReader, 0);

    DbgLogFileConsumerC consumer("pipe.log", 1, 0, 0, HDR_NONE, false);
    ::testing::internal::CaptureStdout();
    consumer.logWrite("first\n");
    consumer.logWrite("second\n");
    EXPECT_EQ("NOX::DBG::DbgLogMgrC::logWrite ERROR while writing to log (pipe.log)!\n",
              ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("", consumer.getPath());
    char aBuffer[64];
    EXPECT_LE(::read(nReader, aBuffer, sizeof(aBuffer)), 0) << "nothing was written";
    ::close(nReader);
}

// ------------------------------------------------------------ manager routes

TEST_F(LogFileTest, RoutesCreateEachConsumerOnceAsAChildOfTheManager)
{
    ASSERT_TRUE(mgr().addRoute("A", LVL_INFO, "printf", 1, 0, 0, HDR_TICKS));
    ASSERT_TRUE(mgr().addRoute("B", LVL_ALL, "printf", 1, 0, 0, HDR_NONE));
    ASSERT_TRUE(mgr().addRoute("C", LVL_ALL, "OutputDebugString", 1, 0, 0, HDR_DATE_TIME));
    ASSERT_TRUE(mgr().addRoute("D", LVL_ALL, "files.log", 4, 2, 0, HDR_NONE));
    EXPECT_FALSE(mgr().addRoute("E", LVL_ALL, "/sensorboard/"));

    EXPECT_EQ(3, mgr().componentCount());
    DbgLogConsumerC* pPrintf = childConsumer("printf");
    ASSERT_NE(nullptr, dynamic_cast<DbgLogPrintfConsumerC*>(pPrintf));
    EXPECT_EQ(static_cast<uint32_t>(HDR_TICKS), pPrintf->getHeaderMode()) << "the first route's";
    ASSERT_NE(nullptr,
              dynamic_cast<DbgLogOutputDebugStringConsumerC*>(childConsumer("OutputDebugString")));
    auto* pFile = dynamic_cast<DbgLogFileConsumerC*>(childConsumer("files.log"));
    ASSERT_NE(nullptr, pFile);
    EXPECT_EQ(4, pFile->getNumberOfFiles());
    EXPECT_EQ(2000u, pFile->getMaxAge());
    EXPECT_EQ(nullptr, childConsumer("/sensorboard/"));
    EXPECT_FALSE(fs::exists(m_root / "sensorboard"));

    DbgLogFileC log("E");
    EXPECT_FALSE(log.isEnabled(LVL_FATAL)) << "a refused route routes nothing";
}

// ------------------------------------------------------------ debug output

TEST(DebugOutputTest, LineEndRuleByLength)
{
    std::string strTwoByte;
    for (int i = 0; i < 700; ++i) {
        strTwoByte += "\xc3\xa9";
    }
    struct CaseS
    {
        std::string strIn;
        std::wstring strOut;
    } aCases[] = {
        {"", L""},
        {"a", L"a"},
        {"ab", L"ab"},
        {"\n", L"\n"},
        {"a\n", L"a\n"},
        {"abc", L"abc\r\n"},
        {"ab\n", L"ab\r\n"},
        {"ab\r", L"ab\r"},
        // Only the final line feed is looked at, so CR LF gains a second CR.
        {"ab\r\n", L"ab\r\r\n"},
        {"line\n\n", L"line\n\r\n"},
        {std::string(1021, 'x'), std::wstring(1021, L'x') + L"\r\n"},
        {std::string(1020, 'x') + "\n", std::wstring(1020, L'x') + L"\r\n"},
        {std::string(1022, 'x'), std::wstring(1022, L'x')},
        {std::string(1021, 'x') + "\n", std::wstring(1021, L'x') + L"\n"},
        {std::string(1023, 'x'), std::wstring(1023, L'x')},
        {std::string(5000, 'x') + "\n", std::wstring(1023, L'x')},
        {"caf\xc3\xa9", L"caf\u00e9\r\n"},
        // Two-byte characters: 1400 bytes are 700 characters and fit whole.
        {strTwoByte, std::wstring(700, L'\u00e9') + L"\r\n"},
        {strTwoByte + strTwoByte + strTwoByte, std::wstring(1023, L'\u00e9')},
    };

    for (const CaseS& c : aCases) {
        WCHAR aBuffer[DbgLogOutputDebugStringConsumerC::c_nBufferSize];
        int nLength = DbgLogOutputDebugStringConsumerC::convert(c.strIn.c_str(), aBuffer);
        EXPECT_EQ(c.strOut.size(), static_cast<size_t>(nLength)) << c.strIn.size();
        EXPECT_EQ(c.strOut, std::wstring(aBuffer)) << "input of " << c.strIn.size() << " bytes";
    }
}
