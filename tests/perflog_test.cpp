// Trace scopes: their lines by level, indentation and streamed messages.
#include "LogCapture.h"

#include "Nox_Dbg/nox_dbg_perflog.h"

#include <gtest/gtest.h>

#include <regex>

using namespace NOX::DBG;

namespace {

class PerfLogTest : public ::testing::Test
{
protected:
    PerfLogTest() : m_Loggable("Traced") {}
    void routeAt(int32_t nLevel) { m_Capture.route("Traced", nLevel); }
    // The records with the elapsed milliseconds, which vary, as "N".
    std::vector<std::string> records()
    {
        static const std::regex elapsed(R"(\d+\.000)");
        std::vector<std::string> vecOut;
        for (const std::string& strRecord : m_Capture.records()) {
            vecOut.push_back(std::regex_replace(strRecord, elapsed, "N"));
        }
        return vecOut;
    }

    PerformanceLoggableC m_Loggable;
    LogCaptureC m_Capture;
};

} // namespace

TEST_F(PerfLogTest, TheLevelDecidesWhatAScopeWrites)
{
    const std::pair<int32_t, std::vector<std::string>> aCases[] = {
        {LVL_WARN, {}},
        {LVL_INFO, {"START op\n", "N ms op\n", "N\n"}},
        {LVL_FINE, {"START op\n", "  message 42\n", "N ms op\n", "N\n"}},
    };
    for (const auto& [nLevel, vecRecords] : aCases) {
        routeAt(nLevel);
        {
            PerformanceLogC scope(&m_Loggable, "op");
            EXPECT_EQ(nLevel <= LVL_INFO, scope.isActive());
            scope << "message " << 42 << endl;
        }
        // A compact scope writes only the elapsed time.
        PerformanceLogC(&m_Loggable, "c", true);
        EXPECT_EQ(vecRecords, records()) << nLevel;
        m_Capture.consumer().clear();
    }
    EXPECT_FALSE(PerformanceLogC(nullptr, "none").isActive());
}

TEST_F(PerfLogTest, NestedScopesAreIndentedAndMessagesFollowTheirScope)
{
    routeAt(LVL_FINE);
    {
        PerformanceLogC outer(&m_Loggable, "a");
        outer << "Open port failed: " << std::hex << 1617 << endl;
        {
            PerformanceLogC inner(&m_Loggable, "b");
            inner << "read " << 3000 << " bytes." << endl;
            inner << true << std::string(" and ") << L"wide" << endl;
            inner << "part one, ";
            inner.flush();
            inner << "part two" << endl;
            inner << "lost with the scope";
        }
        outer << "after " << 10 << endl;
    }
    EXPECT_EQ((std::vector<std::string>{"START a\n", "  Open port failed: 651\n", "  START b\n",
                                        "    read 3000 bytes.\n", "    1 and wide\n",
                                        "    part one, part two\n", "  N ms b\n", "  after 10\n",
                                        "N ms a\n"}),
              records());
}
