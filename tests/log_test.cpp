// Component logs: routes and levels, record headers, long records and dumps.
#include "LogCapture.h"
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Tsk/NOX_TSK_TskMgr.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace NOX::DBG;

namespace {

class LogTest : public ::testing::Test
{
protected:
    void TearDown() override { mgr().removeAll(); }
};

using RecordsT = std::vector<std::string>;

} // namespace

TEST_F(LogTest, RoutesResolveByExactNameOrPrefixWithTheLowestLevelPerConsumer)
{
    // Key, level and consumer.
    using RouteS = std::tuple<const char*, int32_t, const char*>;
    const struct
    {
        std::vector<RouteS> vecRoutes;
        const char* szLog;
        int32_t nExpected;
    } aCases[] = {
        {{}, "SerialPortC", LVL_NONE},
        {{{"Serial*", 4, "a"}}, "SerialPortC", 4},
        {{{"Serial*", 4, "a"}}, "PortBaseC", LVL_NONE},
        {{{"Serial", 4, "a"}}, "SerialPortC", LVL_NONE},
        {{{"*", 2, "a"}}, "PortBaseC", 2},
        {{{"SerialPortC", 5, "a"}, {"Serial*", 3, "a"}}, "SerialPortC", 3},
        {{{"SerialPortC", 3, "a"}, {"Serial*", 5, "a"}}, "SerialPortC", 3},
        {{{"SerialPortC", 6, "a"}, {"S*", 5, "b"}}, "SerialPortC", 5},
    };
    for (const auto& c : aCases) {
        LogCaptureC a("a"), b("b");
        for (const auto& [szKey, nLevel, szConsumer] : c.vecRoutes) {
            mgr().addRoute(szKey, nLevel, szConsumer);
        }
        DbgLogFileC log(c.szLog);
        log.isEnabled(LVL_ALL);
        EXPECT_EQ(c.nExpected, log.getThreshold()) << c.szLog;
    }
}

TEST_F(LogTest, RecordsReachEveryConsumerAtOrBelowItsLevelAsRoutesChange)
{
    DbgLogFileC log("Two");
    EXPECT_FALSE(log.isEnabled(LVL_FATAL)) << "resolved before any route";
    LogCaptureC high("high"), low("low");
    high.route("Two", LVL_ERROR);
    low.route("Two", LVL_FINER);
    log.log(LVL_INFO, "info\n");
    log.log(LVL_ERROR, "error\n");
    EXPECT_EQ((RecordsT{"info\n", "error\n"}), low.records());
    EXPECT_EQ(RecordsT{"error\n"}, high.records());
    mgr().removeRoute("Two");
    EXPECT_FALSE(log.isEnabled(LVL_FATAL));
}

TEST_F(LogTest, HeadersOfTheThreeModesNameTheThreadOrItsTask)
{
    LogCaptureC none("none", HDR_NONE), ticks("ticks", HDR_TICKS), dated("dated", HDR_DATE_TIME);
    for (LogCaptureC* pCapture : {&none, &ticks, &dated}) {
        pCapture->route("SerialPortC", LVL_ALL);
    }
    DbgLogFileC log("SerialPortC");
    std::thread([&] { log.log(LVL_INFO, "100%% done\r\n"); }).join();
    std::thread([&] {
        NOX::TSK::SysTaskC task("ReaderTask");
        task.attachToCurrentThread();
        log.log(LVL_ALL, "all\n");
        task.detachFromCurrentThread();
    }).join();
    log.log(9, "beyond\n");

    EXPECT_EQ((RecordsT{"100% done\r\n", "all\n", "beyond\n"}), none.records());
    const std::string strTick = ticks.records().at(0);
    EXPECT_TRUE(std::regex_match(strTick, std::regex(R"(\d+ 100% done\r\n)"))) << strTick;
    const RecordsT vecDated = dated.records();
    ASSERT_EQ(3u, vecDated.size());
    const std::regex threadLine(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d\d0 UTC\] )"
                                R"(0x[0-9a-f]{8}          / 251 INF SerialPortC 100% done\r\n)");
    EXPECT_TRUE(std::regex_match(vecDated[0], threadLine)) << vecDated[0];
    EXPECT_NE(std::string::npos,
              vecDated[1].find("UTC] ReaderTask          / 251     SerialPortC all\n"))
        << vecDated[1];
    EXPECT_NE(std::string::npos, vecDated[2].find("/ 251 FAT SerialPortC beyond\n")) << vecDated[2];
}

TEST_F(LogTest, BinaryDumpsAreLowerCaseHexSplitAtACommaBelowTheRecordBound)
{
    LogCaptureC capture;
    capture.route("Bin", LVL_ALL);
    std::vector<unsigned char> vecBytes(4000);
    std::string strExpected;
    for (size_t i = 0; i < vecBytes.size(); ++i) {
        vecBytes[i] = static_cast<unsigned char>(i * 7);
        strExpected += (std::ostringstream() << std::hex << +vecBytes[i] << ",").str();
    }
    DbgLogFileC("Bin").logBinary(LVL_INFO, "big", vecBytes.data(), 4000);

    const RecordsT vecRecords = capture.records();
    ASSERT_GE(vecRecords.size(), 3u);
    EXPECT_EQ("big", vecRecords[0]);
    // The comma at each cut is dropped.
    std::string strRejoined;
    for (size_t i = 1; i < vecRecords.size(); ++i) {
        EXPECT_LT(vecRecords[i].size(), TEMP_BUFF_LEN);
        EXPECT_NE(',', vecRecords[i].front());
        strRejoined += (i > 1 ? "," : "") + vecRecords[i];
    }
    EXPECT_EQ(strExpected + "\n", strRejoined);
}
