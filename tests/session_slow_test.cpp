// Sessions against the simulated module: the cause and exit code of each fault
// in cause_table.txt (the Python package's tests hold their exceptions to the
// same table, and show a port held once, the COM8: mapping and the names a
// search could not read), and outside text as messages show it. Faults wait
// out the module's real time-outs.
#include "QUENTA_Session.h"
#include "SIM_SimulatedModule.h"
#include "SIM_StatementRunner.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <map>
#include <regex>
#include <sys/file.h>

using namespace QUENTA;
using namespace QUENTA::SIM;

namespace {

struct CauseRowS
{
    std::string m_strOperation; // search, pair, unpair, paired, data-mode, at
    std::string m_strArgument;  // the name or the line, for pair and at
    std::string m_strSetup;     // statements, or a port:... setup
    std::string m_strCause;
    int m_nExit = -1;
};

std::ostream& operator<<(std::ostream& out, const CauseRowS& row)
{
    return out << row.m_strOperation << " " << row.m_strArgument << " | " << row.m_strSetup;
}

// cause_table.txt, one row a case: operation (search, pair NAME, unpair,
// paired, data-mode, at LINE) | setup (simulator statements between ';', or
// port:missing, port:busy, port:file, port:permission: a device this user may
// not open) | cause (as causeName() gives it) | the quenta tool's exit code.
// The session's first operation pings and configures the module: eleven
// commands each after a ping, so the ping before a hand-over is the
// module's thirteenth.
std::vector<CauseRowS> causeTable()
{
    const std::regex c_row(R"((\S+) ?(.*?)\s*\|\s*(.*?)\s*\|\s*(\S+)\s*\|\s*(\d+)\s*)");
    std::vector<CauseRowS> vecRows;
    std::ifstream file(std::string(QUENTA_SOURCE_DIR) + "/tests/cause_table.txt");
    std::smatch match;
    for (std::string strLine; std::getline(file, strLine);) {
        if (std::regex_match(strLine, match, c_row) && strLine[0] != '#') {
            vecRows.push_back({match[1], match[2], match[3], match[4], std::stoi(match[5])});
        } else if (!strLine.empty() && strLine[0] != '#') {
            ADD_FAILURE() << "a row of cause_table.txt without four columns: " << strLine;
        }
    }
    return vecRows;
}

SimConfigS configuredModule()
{
    SimConfigS config;
    config.m_eInitialMode = SM_COMMAND;
    config.m_ulScanMs = 200;
    config.m_lineSettings.m_unBaudRate = 12;
    config.m_lineSettings.m_unFlowControl = 1;
    return config;
}

// Each row starts from a fresh module, configured and in command mode, so
// that only the fault's own time-outs take time. The module stops before its
// statement runner goes, as its "on" actions call the runner.
struct RowModuleS
{
    ~RowModuleS() { m_module.stop(); }

    SimulatedModuleC m_module{configuredModule()};
    SimStatementRunnerC m_runner{m_module};
};

using CauseTableTest = ::testing::TestWithParam<CauseRowS>;

TEST_P(CauseTableTest, EachFaultHasItsCauseAndExitCode)
{
    const CauseRowS& row = GetParam();
    if (row.m_strSetup == "port:permission") {
        GTEST_SKIP() << "the Python package's table runs this row as another user";
    }
    RowModuleS rowModule;
    ASSERT_TRUE(rowModule.m_module.start());
    const std::regex c_separator(R"(\s*;\s*)");
    const bool bPortSetup = row.m_strSetup.rfind("port:", 0) == 0;
    const std::string& strSetup = bPortSetup ? std::string() : row.m_strSetup;
    for (std::sregex_token_iterator it(strSetup.begin(), strSetup.end(), c_separator, -1);
         !strSetup.empty() && it != std::sregex_token_iterator(); ++it) {
        ASSERT_EQ("ok", rowModule.m_runner.answer(*it, 1)) << *it;
    }

    std::string strPort = rowModule.m_module.slavePath();
    tooltest::TempDirC dir;
    int nHolder = -1;
    if (row.m_strSetup == "port:missing") {
        strPort = dir / "missing";
    } else if (row.m_strSetup == "port:file") {
        dir.file("port", "not a device\n");
        strPort = dir / "port";
    } else if (row.m_strSetup == "port:busy") {
        nHolder = ::open(strPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(0, ::flock(nHolder, LOCK_EX | LOCK_NB));
    }
    ResultS result;
    {
        SessionC session(strPort);
        const std::string& strArgument = row.m_strArgument;
        const std::map<std::string, std::function<ResultS()>> c_mapOperations = {
            {"search", [&] { return ResultS(session.search()); }},
            {"pair", [&] { return session.pair(strArgument); }},
            {"unpair", [&] { return session.unpair(); }},
            {"paired", [&] { return ResultS(session.paired()); }},
            {"data-mode", [&] { return session.dataMode(); }},
            {"at", [&] { return session.sendLine(strArgument); }}};
        result = bPortSetup ? session.opened() : c_mapOperations.at(row.m_strOperation)();
    }
    ::close(nHolder);
    const FailureTextS text = describeFailure(result);
    EXPECT_EQ(row.m_strCause, causeName(result.m_eCause)) << text.m_strMessage;
    EXPECT_EQ(row.m_nExit, text.m_nExitCode);
    EXPECT_EQ(strPort, result.m_strPort);
    EXPECT_EQ(result.ok(), text.m_strMessage.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, CauseTableTest, ::testing::ValuesIn(causeTable()));

// Whatever a module, a user or a file system hands in is shown as visible
// characters and cut at 160 bytes, never inside a UTF-8 character.
TEST(ShownTextTest, ControlsAreVisibleAndLongTextIsCutAtACharacter)
{
    const std::string strX160(160, 'x');
    const std::pair<std::string, std::string> c_aCases[] = {
        {"a\rb\x1b[2J\x7f", "a\\x0db\\x1b[2J\\x7f"},
        {strX160, strX160},
        {strX160 + "x", strX160 + "..."},
        {std::string(159, 'x') + "\xc3\xa9", std::string(159, 'x') + "..."},
        {std::string(5000, 'x'), strX160 + "..."},
    };
    for (const auto& testCase : c_aCases) {
        EXPECT_EQ(testCase.second, shownText(testCase.first));
    }
}

} // namespace
