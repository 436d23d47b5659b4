// Sessions against the simulated module: the cause of each fault in the table
// that the tool's and the Python package's tests share, two modules driven at
// once, one port held once. Faults wait out the module's real time-outs.
#include "CauseTable.h"
#include "QUENTA_Session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace QUENTA;
using namespace QUENTA::SIM;
using causetest::CauseRowS;

namespace {

ResultS runOperation(SessionC& session, const CauseRowS& row)
{
    if (row.m_strOperation == "search") {
        return session.search();
    }
    if (row.m_strOperation == "pair") {
        return session.pair(row.m_strArgument);
    }
    if (row.m_strOperation == "unpair") {
        return session.unpair();
    }
    if (row.m_strOperation == "paired") {
        return session.paired();
    }
    if (row.m_strOperation == "data-mode") {
        return session.dataMode();
    }
    EXPECT_EQ("at", row.m_strOperation);
    return session.sendLine(row.m_strArgument);
}

// A scratch file, removed at the end.
class ScratchFileC
{
public:
    ScratchFileC()
    {
        char szTemplate[] = "/tmp/quenta-session-XXXXXX";
        const int nFd = ::mkstemp(szTemplate);
        EXPECT_LE(0, nFd);
        ::close(nFd);
        m_strPath = szTemplate;
    }
    ~ScratchFileC() { std::filesystem::remove(m_strPath); }
    ScratchFileC(const ScratchFileC&) = delete;
    ScratchFileC& operator=(const ScratchFileC&) = delete;

    const std::string& path() const { return m_strPath; }

private:
    std::string m_strPath;
};

class CauseTableTest : public ::testing::TestWithParam<CauseRowS>
{};

TEST_P(CauseTableTest, EachFaultHasItsCauseAndExitCode)
{
    const CauseRowS& row = GetParam();
    causetest::RowModuleC module(row);
    ScratchFileC file;
    causetest::RowPortC port(row, module.module().slavePath(), file.path());
    if (row.m_strSetup == "port:permission") {
        if (::geteuid() == 0) {
            GTEST_SKIP() << "root opens any device; the tool's table runs this as another user";
        }
        ASSERT_EQ(0, ::chmod(file.path().c_str(), 0));
        port.setPath(file.path());
    }
    const std::string strPort = port.path();

    SessionC session(strPort);
    const ResultS result =
        causetest::isPortSetup(row) ? session.opened() : runOperation(session, row);
    port.release();
    EXPECT_EQ(row.m_strCause, causeName(result.m_eCause)) << describeFailure(result).m_strMessage;
    EXPECT_EQ(row.m_nExit, describeFailure(result).m_nExitCode);
    EXPECT_EQ(strPort, result.m_strPort);
    EXPECT_EQ(result.ok(), describeFailure(result).m_strMessage.empty());
    if (row.m_strSetup == "port:permission") {
        EXPECT_NE(std::string::npos, result.m_strDetail.find(" 0000, which only "))
            << result.m_strDetail;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CauseTableTest, ::testing::ValuesIn(causetest::causeTable()));

class SessionTest : public ::testing::Test
{
protected:
    static std::unique_ptr<SimulatedModuleC> startModule(const std::vector<SimDeviceS>& vecDevices)
    {
        SimConfigS config;
        config.m_eInitialMode = SM_COMMAND;
        config.m_ulScanMs = 300;
        config.m_vecDevices = vecDevices;
        std::unique_ptr<SimulatedModuleC> pModule(new SimulatedModuleC(config));
        EXPECT_TRUE(pModule->start());
        return pModule;
    }

    static SimClockT::time_point inquiryTime(const SimulatedModuleC& module)
    {
        for (const SimTranscriptEntryS& entry : module.transcript().entries()) {
            if (entry.m_eKind == EK_RECEIVED_LINE && entry.m_strBytes.rfind("AT*AGI=", 0) == 0) {
                return entry.m_tTime;
            }
        }
        ADD_FAILURE() << "no inquiry";
        return SimClockT::time_point();
    }
};

// Each session has its own port, controller and pairing: both searches run
// at the same time, and a pairing on one leaves the other untouched.
TEST_F(SessionTest, TwoSessionsOnTwoPortsWorkAtOnceAndApart)
{
    auto pFirst = startModule({{"02a0c7000001r", 7978, "NORTH-ONE", -40}});
    auto pSecond = startModule(
        {{"02a0c7000002r", 7978, "SOUTH-TWO", -50}, {"02a0c7000003r", 524, "SOUTH-PHONE", -60}});
    SessionC first(pFirst->slavePath());
    SessionC second(pSecond->slavePath());
    ASSERT_TRUE(first.opened().ok());
    ASSERT_TRUE(second.opened().ok());

    SearchResultS firstFound;
    std::thread worker([&] { firstFound = first.search(); });
    const SearchResultS secondFound = second.search();
    worker.join();
    ASSERT_TRUE(firstFound.ok());
    ASSERT_TRUE(secondFound.ok());
    ASSERT_EQ(1u, firstFound.m_vecDevices.size());
    ASSERT_EQ(1u, secondFound.m_vecDevices.size());
    EXPECT_EQ("NORTH-ONE", firstFound.m_vecDevices[0].m_strName);
    EXPECT_EQ("02a0c7000002r", secondFound.m_vecDevices[0].m_strAddress);
    EXPECT_EQ(7978u, secondFound.m_vecDevices[0].m_unClass);
    // One after the other, the second inquiry would start a whole scan later.
    const auto tApart = inquiryTime(*pFirst) - inquiryTime(*pSecond);
    EXPECT_LT(std::chrono::abs(tApart), std::chrono::milliseconds(300));

    ASSERT_TRUE(first.pair("NORTH-ONE").ok());
    const PairedResultS firstPaired = first.paired();
    const PairedResultS secondPaired = second.paired();
    ASSERT_TRUE(firstPaired.ok());
    ASSERT_TRUE(secondPaired.ok());
    EXPECT_TRUE(firstPaired.m_bPaired);
    EXPECT_EQ("02a0c7000001r", firstPaired.m_device.m_strAddress);
    EXPECT_FALSE(secondPaired.m_bPaired);
}

TEST_F(SessionTest, APortIsHeldByOneSessionUntilItCloses)
{
    auto pModule = startModule(defaultDevices());
    SessionC first(pModule->slavePath());
    ASSERT_TRUE(first.opened().ok());
    {
        SessionC second(pModule->slavePath());
        EXPECT_EQ(CauseE::PortInUse, second.opened().m_eCause);
        EXPECT_EQ(CauseE::PortInUse, second.paired().m_eCause);
    }
    EXPECT_TRUE(first.paired().ok()) << "the refused session took nothing from the first";
    first.close();
    EXPECT_EQ(CauseE::Closed, first.paired().m_eCause);
    SessionC third(pModule->slavePath());
    EXPECT_TRUE(third.opened().ok());
}

// One of three names unread: the others are listed, each as it is read, and
// the one missing is counted.
TEST_F(SessionTest, ASearchCountsTheNamesItCouldNotRead)
{
    auto pModule = startModule(defaultDevices());
    pModule->failNameQuery("02a0c7a1b2c5r", NF_ALWAYS);
    SessionC session(pModule->slavePath());
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
    auto pModule = startModule(defaultDevices());
    ::setenv("QUENTA_PORT_COM8", pModule->slavePath().c_str(), 1);
    SessionC session;
    ::setenv("QUENTA_PORT_COM8", "/nonexistent/elsewhere", 1);
    const PairedResultS result = session.paired();
    ::unsetenv("QUENTA_PORT_COM8");
    EXPECT_TRUE(result.ok()) << describeFailure(result).m_strMessage;
    EXPECT_EQ(pModule->slavePath(), session.port());
    EXPECT_TRUE(result.m_bCom8);
}

} // namespace
