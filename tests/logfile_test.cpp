// Log files on real directories: names and paths, the file set with its
// restart rule, rotation by size and age, day-numbered NMEA files, failures;
// and the debug-output line end.
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace NOX::DBG;

namespace {

void setModificationTime(const fs::path& path, time_t tSeconds)
{
    struct timespec aTimes[2] = {{tSeconds, 0}, {tSeconds, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), aTimes, 0)) << path;
}

using LogFileTest = StorageRootTest;

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
        {m_root.string() + "/abs/given.log", 2, m_root / "abs" / "given_01.log"},
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
        setModificationTime(path, aMtimes[i]);
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

    ::testing::internal::CaptureStderr();
    DbgLogOutputDebugStringConsumerC(HDR_NONE).logWrite(szRecord);
    EXPECT_EQ("100% done %s %d %n %%\r\n", ::testing::internal::GetCapturedStderr());
}

TEST_F(LogFileTest, AnUncreatableDirectoryLeavesTheConsumerClosedAndSilent)
{
    writeFile(m_root / "blocker", "a file where a directory should be\n");
    ::testing::internal::CaptureStdout();
    {
        DbgLogFileConsumerC consumer(m_root.string() + "/blocker/sub/x.log", 2, 0, 0, HDR_NONE,
                                     false);
        EXPECT_EQ("", consumer.getPath());
        consumer.logWrite("nowhere\n");
    }
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("a file where a directory should be\n", readFile(m_root / "blocker"));
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

TEST(DebugOutputTest, LineEndRuleByLength)
{
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
        {"caf\xc3\xa9", L"caf\u00e9\r\n"},
    };
    for (const CaseS& c : aCases) {
        WCHAR aBuffer[DbgLogOutputDebugStringConsumerC::c_nBufferSize];
        int nLength = DbgLogOutputDebugStringConsumerC::convert(c.strIn.c_str(), aBuffer);
        EXPECT_EQ(c.strOut.size(), static_cast<size_t>(nLength)) << c.strIn.size() << " bytes in";
        EXPECT_EQ(c.strOut, std::wstring(aBuffer)) << c.strIn.size() << " bytes in";
    }
}
