// The quenta binary against the shared table of faults: its exit code and the
// cause in its failure object are the session's, fault by fault. Faults wait
// out the module's real time-outs.
#include "CauseTable.h"
#include "ProcessRunner.h"

#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

using causetest::CauseRowS;

namespace {

namespace fs = std::filesystem;

// Another user, for the permission case: root opens any device.
class SomeoneElseC
{
public:
    SomeoneElseC()
    {
        char szTemplate[] = "/tmp/quenta-causes-XXXXXX";
        m_dir = ::mkdtemp(szTemplate);
        fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
    }
    ~SomeoneElseC() { fs::remove_all(m_dir); }
    SomeoneElseC(const SomeoneElseC&) = delete;
    SomeoneElseC& operator=(const SomeoneElseC&) = delete;

    // The prefix that runs the tool (copied where that user may run it) as
    // someone without rights on the device; empty when there is no way.
    std::vector<std::string> prefix(std::string& strTool) const
    {
        if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
            return {};
        }
        uid_t uid = 61000;
        while (::getpwuid(uid) != nullptr) {
            ++uid;
        }
        const fs::path copy = m_dir / "quenta";
        fs::copy_file(strTool, copy);
        strTool = copy.string();
        return {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                "--regid=" + std::to_string(uid), "--clear-groups", "--"};
    }

    std::string file() const
    {
        const std::string strPath = (m_dir / "not-a-tty").string();
        std::ofstream(strPath) << "plain text\n";
        return strPath;
    }

private:
    fs::path m_dir;
};

class ToolCauseTableTest : public ::testing::TestWithParam<CauseRowS>
{};

TEST_P(ToolCauseTableTest, ExitCodeAndCauseAreTheSessions)
{
    const CauseRowS& row = GetParam();
    causetest::RowModuleC module(row);
    SomeoneElseC someoneElse;
    std::string strTool = proctest::binaryDir() + "/tools/quenta";
    causetest::RowPortC port(row, module.module().slavePath(), someoneElse.file());
    const std::string strPort = port.path();
    std::vector<std::string> vecArgv;
    if (row.m_strSetup == "port:permission") {
        vecArgv = someoneElse.prefix(strTool);
        if (vecArgv.empty()) {
            GTEST_SKIP() << "needs root and setpriv (util-linux) to run as another user";
        }
    }
    vecArgv.insert(vecArgv.end(), {strTool, "--json", "--port", strPort, row.m_strOperation});
    if (!row.m_strArgument.empty()) {
        vecArgv.insert(vecArgv.end(), {"--", row.m_strArgument});
    }

    const proctest::RunS run = proctest::runProcess(vecArgv, {{"QUENTA_PORT_COM8", ""}}, 60000);
    port.release();
    EXPECT_EQ(row.m_nExit, run.m_nExit) << run.m_strErr;
    if (row.m_nExit != 0) {
        EXPECT_NE(std::string::npos, run.m_strOut.find("\"cause\":\"" + row.m_strCause + "\""))
            << run.m_strOut;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ToolCauseTableTest, ::testing::ValuesIn(causetest::causeTable()));

} // namespace
