// Sessions against the simulated module: the cause and exit code of each fault
// in cause_table.txt (the Python package's tests hold their exceptions to the
// same table), one port held once, the COM8: mapping, and outside text as
// messages show it. Faults wait out the module's real time-outs.
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

class CauseTableTest : public ::testing::TestWithParam<CauseRowS>
{};

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

class SessionTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_module.start()); }

    SimulatedModuleC m_module{configuredModule()};
};

TEST_F(SessionTest, APortIsHeldByOneSessionUntilItCloses)
{
    SessionC first(m_module.slavePath());
    ASSERT_TRUE(first.opened().ok());
    {
        SessionC second(m_module.slavePath());
        EXPECT_EQ(CauseE::PortInUse, second.opened().m_eCause);
        EXPECT_EQ(CauseE::PortInUse, second.paired().m_eCause);
    }
    EXPECT_TRUE(first.paired().ok()) << "the refused session took nothing from the first";
    first.close();
    EXPECT_EQ(CauseE::Closed, first.paired().m_eCause);
    EXPECT_TRUE(SessionC(m_module.slavePath()).opened().ok());
}

// One of three names unread: the others are listed, each as it is read, and
// the one missing is counted.
TEST_F(SessionTest, ASearchCountsTheNamesItCouldNotRead)
{
    m_module.failNameQuery("02a0c7a1b2c5r", NF_ALWAYS);
    SessionC session(m_module.slavePath());
    std::vector<std::string> vecSeen;
    const SearchResultS result =
        session.search([&](const DeviceS& device) { vecSeen.push_back(device.m_strName); });
    ASSERT_TRUE(result.ok()) << describeFailure(result).m_strMessage;
    EXPECT_EQ(1u, result.m_unUnreadNames);
    EXPECT_EQ((std::vector<std::string>{"QUENTA-ALPHA", "QUENTA-CHARLIE"}), vecSeen);
    ASSERT_EQ(2u, result.m_vecDevices.size());
    EXPECT_EQ("02a0c7a1b2c7r", result.m_vecDevices[1].m_strAddress);
}

// A session on "COM8:" resolves the mapping once: a later change of the
// variable does not move it, and its results name where it really is.
TEST_F(SessionTest, TheCom8MappingIsResolvedOnceAndReported)
{
    ::setenv("QUENTA_PORT_COM8", m_module.slavePath().c_str(), 1);
    SessionC session;
    ::setenv("QUENTA_PORT_COM8", "/nonexistent/elsewhere", 1);
    const PairedResultS result = session.paired();
    ::unsetenv("QUENTA_PORT_COM8");
    EXPECT_TRUE(result.ok()) << describeFailure(result).m_strMessage;
    EXPECT_EQ(m_module.slavePath(), session.port());
    EXPECT_TRUE(result.m_bCom8);
}

} // namespace
