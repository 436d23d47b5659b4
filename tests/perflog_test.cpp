// Trace scopes: their lines, indentation per thread and streamed messages.
#include "LogCapture.h"
#include "WaitFor.h"

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

    PerformanceLoggableC m_Loggable;
    LogCaptureC m_Capture;
};

// Replaces the elapsed milliseconds, which vary, by "N".
std::vector<std::string> normalised(const std::vector<std::string>& vecRecords)
{
    static const std::regex elapsed(R"(\d+\.000)");
    std::vector<std::string> vecOut;
    for (const std::string& strRecord : vecRecords) {
        vecOut.push_back(std::regex_replace(strRecord, elapsed, "N"));
    }
    return vecOut;
}

} // namespace

TEST_F(PerfLogTest, ASilentClassLogMakesTheScopeInactive)
{
    PerformanceLogC scope(&m_Loggable, "Traced::op");
    scope << "never" << 42 << endl;
    EXPECT_FALSE(scope.isActive());
    EXPECT_TRUE(m_Capture.records().empty());
    PerformanceLogC nullScope(nullptr, "Traced::none");
    EXPECT_FALSE(nullScope.isActive());
}

TEST_F(PerfLogTest, AtInfoScopesWriteStartAndEndButNoMessagesCompactOnlyTheTime)
{
    routeAt(LVL_INFO);
    {
        PerformanceLogC scope(&m_Loggable, "Traced::op");
        scope << "hidden" << endl;
    }
    {
        PerformanceLogC compact(&m_Loggable, "c", true);
    }
    std::vector<std::string> vecRecords = m_Capture.records();
    ASSERT_EQ(3u, vecRecords.size());
    EXPECT_EQ((std::vector<std::string>{"START Traced::op\n", "N ms Traced::op\n", "N\n"}),
              normalised(vecRecords));
    EXPECT_TRUE(std::regex_match(vecRecords[2], std::regex(R"(\d+\.000\n)")))
        << "a compact scope writes only the elapsed time: " << vecRecords[2];
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
        }
        outer << "after " << 10 << endl;
    }
    EXPECT_EQ((std::vector<std::string>{"START a\n", "  Open port failed: 651\n", "  START b\n",
                                        "    read 3000 bytes.\n", "    1 and wide\n", "  N ms b\n",
                                        "  after 10\n", "N ms a\n"}),
              normalised(m_Capture.records()));
}

TEST_F(PerfLogTest, TextWithoutEndOfLineWaitsAndIsLostWithTheScope)
{
    routeAt(LVL_FINE);
    {
        PerformanceLogC scope(&m_Loggable, "s");
        scope << "part one, ";
        scope.flush();
        EXPECT_EQ(1u, m_Capture.records().size()) << "only the START line so far";
        scope << "part two" << endl;
        scope << "dangling";
    }
    EXPECT_EQ((std::vector<std::string>{"START s\n", "  part one, part two\n", "N ms s\n"}),
              normalised(m_Capture.records()));
}

TEST_F(PerfLogTest, ThreadsNestIndependently)
{
    routeAt(LVL_INFO);
    std::atomic<bool> bOpened{false}, bDone{false};
    std::thread other;
    const int32_t nBase = currentDepth();
    {
        PerformanceLogC mine(&m_Loggable, "main");
        other = std::thread([&] {
            PerformanceLogC theirs(&m_Loggable, "other");
            EXPECT_EQ(1, currentDepth());
            bOpened = true;
            holdUntil(bDone);
        });
        EXPECT_TRUE(waitFor(bOpened));
        EXPECT_EQ(nBase + 1, currentDepth());
        bDone = true;
        other.join();
    }
    const std::string strIndent(static_cast<size_t>(nBase) * 2, ' ');
    for (const std::string& strRecord : normalised(m_Capture.records())) {
        if (strRecord.find("other") != std::string::npos) {
            EXPECT_NE(' ', strRecord[0]) << "another thread's scopes do not nest: " << strRecord;
        } else {
            EXPECT_EQ(strIndent, strRecord.substr(0, strIndent.size()));
        }
    }
    EXPECT_EQ(nBase, currentDepth());
}

TEST_F(PerfLogTest, ARouteRemovedInsideAScopeSuppressesItsEndAndLeavesTheDepth)
{
    routeAt(LVL_INFO);
    int32_t nBefore = currentDepth();
    {
        PerformanceLogC scope(&m_Loggable, "cut");
        DbgLogMgrC::getInstance()->removeRoute("Traced");
    }
    EXPECT_EQ((std::vector<std::string>{"START cut\n"}), m_Capture.records());
    EXPECT_EQ(nBefore + 1, currentDepth());
}
