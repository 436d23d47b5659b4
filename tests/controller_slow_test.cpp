// The controller's real time-outs and guard periods against the simulated
// module: a module that never answers, the escape into command mode with its
// silent periods, the data-mode switch on a module that is already there, and
// name queries that go unanswered.
#include "ControllerFixture.h"
#include "TRC_CFG_PlainRequests.h"

#include <functional>

using namespace ctrltest;

namespace {

using LinesT = std::vector<std::string>;

// How late a time-out or a pause may end on a loaded machine.
const int64_t c_llLateMs = 250;
// How early a pause may seem to end, measured across two clocks and threads.
const int64_t c_llEarlyMs = 15;

// Trusts that the module takes commands, so that a command is sent without
// the ping and its own time-out can be seen.
class TrustingControllerC : public TaviDeviceControllerImplC
{
public:
    bool isCommandMode() override { return true; }
};

void expectDuration(int64_t llMs, int64_t llExpectedMs)
{
    EXPECT_GE(llMs, llExpectedMs - c_llEarlyMs);
    EXPECT_LE(llMs, llExpectedMs + c_llLateMs);
}

using ControllerSlowTest = ControllerFixture;

TEST_F(ControllerSlowTest, UnansweredRequestTimesOutAfterItsTimeAndPurges)
{
    module().setMode(SM_DATA);
    PingRequestC ping(1000);
    auto tStart = SteadyT::now();
    EXPECT_EQ(RC_TIMEOUT, m_controller.request(&ping));
    expectDuration(msSince(tStart), 1000);
    EXPECT_EQ(RC_TIMEOUT, ping.getReturnCode());
    EXPECT_EQ(1u, m_port.m_unFlushCount.load());
    EXPECT_EQ(PURGE_TXCLEAR, m_port.m_unLastFlushFlags.load());
    EXPECT_EQ(c_szPing, module().transcript().joined(EK_DATA));
}

TEST_F(ControllerSlowTest, UnansweredCommandsGiveEachOperationsOutcome)
{
    TrustingControllerC trusting;
    trusting.setPort(&m_port);
    uint32_t ulProfile = 77;
    Rs232SettingsS settings;
    settings.unBaudRate = 4;
    char szResponse[TaviDeviceControllerImplC::c_unTransparentSize];
    struct CaseS
    {
        const char* szName;
        std::function<uint32_t()> fnCall;
        uint32_t unResult;
    };
    const std::vector<CaseS> vecCases = {
        {"read", [&] { return trusting.getDefaultServerProfile(&ulProfile); }, RC_TIMEOUT},
        {"setting", [&] { return trusting.configureSSID("net", true); }, RC_TIMEOUT},
        {"io pin", [&] { return trusting.writeIoPin(1, 1); }, RC_TIMEOUT},
        // Fields that never came count as a failure, not as a time-out.
        {"serial read", [&] { return trusting.getRS232Settings(&settings); }, RC_FAILED},
        {"serial write", [&] { return trusting.setRS232Settings(settings, true, true); },
         RC_TIMEOUT},
        {"transparent", [&] { return trusting.transparentCommand("AT", szResponse); }, RC_FAILED},
        // Last: the module restarts after it.
        {"reset", [&] { return trusting.resetModule(); }, RC_OK},
    };
    Rs232SettingsS before;
    m_port.GetRs232Settings(&before);
    for (const CaseS& item : vecCases) {
        SCOPED_TRACE(item.szName);
        module().dropNextAnswers(1);
        size_t unMark = mark();
        auto tStart = SteadyT::now();
        EXPECT_EQ(item.unResult, item.fnCall());
        expectDuration(msSince(tStart), 1000);
        EXPECT_EQ(1u, linesSince(unMark).size());
    }
    EXPECT_EQ(77u, ulProfile);
    EXPECT_EQ(4u, settings.unBaudRate);
    Rs232SettingsS after;
    m_port.GetRs232Settings(&after);
    EXPECT_EQ(before.unBaudRate, after.unBaudRate) << "a write without answer moves nothing";
    trusting.setPort(nullptr);
}

TEST_F(ControllerSlowTest, TransparentTextWithoutOkIsCollectedForTheFullSecond)
{
    char szResponse[TaviDeviceControllerImplC::c_unTransparentSize];
    auto tStart = SteadyT::now();
    ASSERT_EQ(RC_OK, m_controller.transparentCommand("AT*NOPE", szResponse));
    expectDuration(msSince(tStart), 1000);
    EXPECT_STREQ("AT*NOPE\r\r\nERROR\r\n", szResponse);
}

TEST_F(ControllerSlowTest, TransparentAnswerIsCutAt1999Characters)
{
    module().modifyState(
        [](SimStateS& state) { state.m_vecInfo.assign(5, std::string(450, 'i')); });
    std::vector<char> vecResponse(TaviDeviceControllerImplC::c_unTransparentSize, 'x');
    ASSERT_EQ(RC_OK, m_controller.transparentCommand("AT*AILVI?", vecResponse.data()));
    EXPECT_EQ('\0', vecResponse[1999]);
    EXPECT_EQ(1999u, std::string(vecResponse.data()).size());
    EXPECT_EQ(0, std::string(vecResponse.data()).compare(0, 10, "AT*AILVI?\r"));
}

TEST_F(ControllerSlowTest, EscapeFromDataModeKeepsBothGuardPeriods)
{
    // The module accepts the escape only after 1090 ms of silence on each
    // side, so a short guard period would fail the switch.
    module().setGuardMs(1090);
    module().setMode(SM_DATA);
    size_t unMark = mark();
    auto tStart = SteadyT::now();
    ASSERT_EQ(RC_OK, m_controller.switchToCommandMode());
    int64_t llTotal = msSince(tStart);
    EXPECT_EQ(LinesT{c_szPing}, linesSince(unMark)) << "one ping after the escape";
    EXPECT_EQ(c_szPing, module().transcript().joined(EK_DATA)) << "one ping before it";

    // First ping, 200 ms without answer, 1100 ms, "///", 1100 ms, ping.
    const auto vecData = entriesOf(module(), EK_DATA);
    const auto vecLines = entriesOf(module(), EK_RECEIVED_LINE);
    const auto vecModes = entriesOf(module(), EK_MODE);
    ASSERT_EQ(1u, vecData.size());
    ASSERT_FALSE(vecLines.empty());
    ASSERT_NE(std::string::npos, vecModes.back().m_strBytes.find("escape"));
    // The module marks the mode its guard time after the last slash.
    const auto tSlashes = vecModes.back().m_tTime - std::chrono::milliseconds(1090);
    int64_t llBefore = msBetween(vecData[0].m_tTime, tSlashes);
    int64_t llAfter = msBetween(tSlashes, vecLines.back().m_tTime);
    EXPECT_GE(llBefore, 200 + 1100 - c_llEarlyMs);
    EXPECT_LE(llBefore, 200 + 1100 + c_llLateMs);
    EXPECT_GE(llAfter, 1100 - c_llEarlyMs);
    EXPECT_LE(llAfter, 1100 + c_llLateMs);
    expectDuration(llTotal, 200 + 1100 + 1100);
}

TEST_F(ControllerSlowTest, RefusedEscapeFailsAfterBothGuardsAndTwoPings)
{
    // Never silent long enough for this module.
    module().setGuardMs(5000);
    module().setMode(SM_DATA);
    auto tStart = SteadyT::now();
    EXPECT_EQ(RC_FAILED, m_controller.switchToCommandMode());
    expectDuration(msSince(tStart), 200 + 1100 + 1100 + 200);
    EXPECT_EQ("AT\r///AT\r", module().transcript().joined(EK_DATA));
}

TEST_F(ControllerSlowTest, DataModeSwitchOnAModuleInDataModeSendsTwoPingsOnly)
{
    module().setMode(SM_DATA);
    auto tStart = SteadyT::now();
    EXPECT_EQ(RC_FAILED, m_controller.switchToDataMode());
    expectDuration(msSince(tStart), 400);
    EXPECT_EQ("AT\rAT\r", module().transcript().joined(EK_DATA)) << "no ADDM";
    const auto vecData = entriesOf(module(), EK_DATA);
    ASSERT_EQ(2u, vecData.size());
    EXPECT_GE(msBetween(vecData[0].m_tTime, vecData[1].m_tTime), 200 - c_llEarlyMs);
}

TEST_F(ControllerSlowTest, UnansweredNameQueryIsRetriedOnce)
{
    module().setDevices(
        {{"0012f3a1b2c3r", 7978, "QUENTA-ALPHA"}, {"0012f3a1b2c5r", 7978, "QUENTA-BRAVO"}});
    module().failNameQuery("0012f3a1b2c3r", NF_ONCE, true);
    module().failNameQuery("0012f3a1b2c5r", NF_ALWAYS, true);
    size_t unMark = mark();
    std::vector<DeviceInfoS> devices;
    auto tStart = SteadyT::now();
    ASSERT_EQ(RC_OK, m_controller.searchDevices(devices));
    // Three name queries go unanswered, 4000 ms each.
    EXPECT_GE(msSince(tStart), 3 * 4000 - c_llEarlyMs);
    ASSERT_EQ(1u, devices.size());
    EXPECT_STREQ("QUENTA-ALPHA", devices[0].szName);
    EXPECT_EQ(searchLines({"0012f3a1b2c3r", "0012f3a1b2c3r", "0012f3a1b2c5r", "0012f3a1b2c5r"}),
              linesSince(unMark));
}

} // namespace
