// Component logs, routes and record lines.
#include "LogCapture.h"
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Tsk/NOX_TSK_TskMgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

using namespace NOX::DBG;

namespace {

class LogTest : public ::testing::Test
{
protected:
    void TearDown() override { mgr().removeAll(); }
};

// Keeps the records of several consumers in one sequence, to see their order.
class SequenceConsumerC : public DbgLogConsumerC
{
public:
    SequenceConsumerC(std::string strName, std::vector<std::string>& vecOut)
        : DbgLogConsumerC(HDR_NONE), m_strName(std::move(strName)), m_vecOut(vecOut)
    {}
    void logWrite(const char* szRecord) override { m_vecOut.push_back(m_strName + ":" + szRecord); }
    std::string getName() const override { return m_strName; }

private:
    std::string m_strName;
    std::vector<std::string>& m_vecOut;
};

} // namespace

TEST_F(LogTest, RoutesResolveByExactNameOrPrefixWithTheLowestLevelPerConsumer)
{
    struct RouteS
    {
        const char* szKey;
        int32_t nLevel;
        const char* szConsumer;
    };
    struct CaseS
    {
        std::vector<RouteS> vecRoutes;
        const char* szLog;
        int32_t nExpected;
    };
    const std::vector<CaseS> vecCases = {
        {{}, "SerialPortC", LVL_NONE},
        {{{"Serial*", 4, "a"}}, "SerialPortC", 4},
        {{{"Serial*", 4, "a"}}, "PortBaseC", LVL_NONE},
        {{{"Serial", 4, "a"}}, "SerialPortC", LVL_NONE},
        {{{"*", 2, "a"}}, "PortBaseC", 2},
        {{{"SerialPortC", 5, "a"}, {"Serial*", 3, "a"}}, "SerialPortC", 3},
        {{{"SerialPortC", 3, "a"}, {"Serial*", 5, "a"}}, "SerialPortC", 3},
        {{{"SerialPortC", 6, "a"}, {"S*", 5, "b"}}, "SerialPortC", 5},
    };
    for (const CaseS& testCase : vecCases) {
        LogCaptureC a("a");
        LogCaptureC b("b");
        for (const RouteS& route : testCase.vecRoutes) {
            mgr().addRoute(route.szKey, route.nLevel, route.szConsumer);
        }
        DbgLogFileC log(testCase.szLog);
        log.isEnabled(LVL_ALL);
        EXPECT_EQ(testCase.nExpected, log.getThreshold()) << testCase.szLog;
        mgr().removeAll();
    }
}

TEST_F(LogTest, ARouteChangeAfterResolutionIsSeenOnTheNextUse)
{
    DbgLogFileC log("Late");
    EXPECT_FALSE(log.isEnabled(LVL_FATAL));
    LogCaptureC capture;
    capture.route("Late", LVL_WARN);
    EXPECT_FALSE(log.isEnabled(LVL_INFO));
    EXPECT_TRUE(log.isEnabled(LVL_WARN));
    mgr().removeRoute("Late");
    EXPECT_FALSE(log.isEnabled(LVL_FATAL));
}

TEST_F(LogTest, RecordsReachConsumersAtOrBelowTheirLevelLowestLevelFirst)
{
    std::vector<std::string> vecSeen;
    mgr().addConsumer(DbgLogConsumerPtrT(new SequenceConsumerC("high", vecSeen)));
    mgr().addConsumer(DbgLogConsumerPtrT(new SequenceConsumerC("low", vecSeen)));
    mgr().addRoute("Two", 6, "high");
    mgr().addRoute("Two", 2, "low");
    DbgLogFileC log("Two");
    log.log(LVL_INFO, "info\n");
    log.log(LVL_ERROR, "error\n");
    EXPECT_EQ((std::vector<std::string>{"low:info\n", "low:error\n", "high:error\n"}), vecSeen);
}

TEST_F(LogTest, HeadersOfTheThreeModes)
{
    LogCaptureC none("none", HDR_NONE);
    LogCaptureC ticks("ticks", HDR_TICKS);
    LogCaptureC dated("dated", HDR_DATE_TIME);
    none.route("SerialPortC", 0);
    ticks.route("SerialPortC", 0);
    dated.route("SerialPortC", 0);

    DbgLogFileC log("SerialPortC");
    std::thread([&] { log.log(LVL_INFO, "100%% done\r\n"); }).join();
    log.log(LVL_ALL, "all\n");
    log.log(9, "beyond\n");

    EXPECT_EQ((std::vector<std::string>{"100% done\r\n", "all\n", "beyond\n"}), none.records());
    std::regex tickLine(R"(\d+ 100% done\r\n)");
    EXPECT_TRUE(std::regex_match(ticks.records().at(0), tickLine)) << ticks.records().at(0);

    std::vector<std::string> vecDated = dated.records();
    ASSERT_EQ(3u, vecDated.size());
    std::regex threadLine(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d\d0 UTC\] )"
                          R"(0x[0-9a-f]{8}          / 251 INF SerialPortC 100% done\r\n)");
    EXPECT_TRUE(std::regex_match(vecDated[0], threadLine)) << vecDated[0];
    EXPECT_NE(std::string::npos, vecDated[1].find("/ 251     SerialPortC all\n")) << vecDated[1];
    EXPECT_NE(std::string::npos, vecDated[2].find("/ 251 FAT SerialPortC beyond\n")) << vecDated[2];
}

TEST_F(LogTest, ATaskThreadIsNamedInTheHeader)
{
    LogCaptureC dated("dated", HDR_DATE_TIME);
    dated.route("Tasked", LVL_ALL);
    DbgLogFileC log("Tasked");
    std::thread([&] {
        NOX::TSK::SysTaskC task("ReaderTask");
        task.attachToCurrentThread();
        log.log(LVL_WARN, "x\n");
        task.detachFromCurrentThread();
    }).join();
    ASSERT_EQ(1u, dated.records().size());
    EXPECT_NE(std::string::npos,
              dated.records()[0].find("UTC] ReaderTask          / 251 WRN Tasked x\n"))
        << dated.records()[0];
}

TEST_F(LogTest, AnOverlongRecordIsCutAndAsserted)
{
    LogCaptureC capture;
    capture.route("Long", LVL_ALL);
    capture.route("SystemErrorLogger", LVL_ALL);
    DbgLogFileC log("Long");
    log.log(LVL_INFO, "%s", std::string(6000, 'x').c_str());

    std::vector<std::string> vecRecords = capture.records();
    ASSERT_EQ(2u, vecRecords.size());
    EXPECT_EQ(TEMP_BUFF_LEN - 1, vecRecords[0].size());
    std::regex assertLine(R"(<<ASSERT at src\\Nox_Dbg\\NOX_DBG_Log\(\d+\): )"
                          R"(strlen\(szTemp\) < TEMP_BUFF_LEN>>\n)");
    EXPECT_TRUE(std::regex_match(vecRecords[1], assertLine)) << vecRecords[1];
}

TEST_F(LogTest, BinaryDumpsAreLowerCaseHexSplitAtACommaBelowTheRecordBound)
{
    LogCaptureC capture;
    capture.route("Bin", LVL_ALL);
    DbgLogFileC log("Bin");
    std::vector<unsigned char> vecBytes(4000);
    std::string strExpected;
    char szByte[4];
    for (size_t i = 0; i < vecBytes.size(); ++i) {
        vecBytes[i] = static_cast<unsigned char>(i * 7);
        std::snprintf(szByte, sizeof(szByte), "%x,", vecBytes[i]);
        strExpected += szByte;
    }
    log.logBinary(LVL_INFO, "big", vecBytes.data(), static_cast<uint16_t>(vecBytes.size()));

    std::vector<std::string> vecRecords = capture.records();
    ASSERT_GE(vecRecords.size(), 3u);
    EXPECT_EQ("big", vecRecords[0]);
    std::string strRejoined;
    for (size_t i = 1; i < vecRecords.size(); ++i) {
        EXPECT_LT(vecRecords[i].size(), TEMP_BUFF_LEN);
        EXPECT_NE(',', vecRecords[i].front());
        strRejoined += vecRecords[i];
        if (i + 1 < vecRecords.size()) {
            EXPECT_NE(',', vecRecords[i].back()) << "the comma at the cut is dropped";
            strRejoined += ',';
        }
    }
    EXPECT_EQ(strExpected + "\n", strRejoined);
}

TEST_F(LogTest, ConcurrentLoggingAndRouteChangesAreSafe)
{
    LogCaptureC capture;
    DbgLogFileC log("Busy");
    std::atomic<bool> bStop{false};
    std::thread writer([&] {
        while (!bStop.load()) {
            log.log(LVL_WARN, "w\n");
        }
    });
    for (int i = 0; i < 200; ++i) {
        capture.route("Busy", i % 2 == 0 ? LVL_ALL : LVL_FATAL);
        mgr().removeRoute("Busy");
    }
    bStop = true;
    writer.join();
    for (const std::string& strRecord : capture.records()) {
        EXPECT_EQ("w\n", strRecord);
    }
}
