// The controller's real time-outs and guard periods against the simulated
// module: a transparent answer collected for its whole second, the escape
// into command mode with its silent periods, and a module in data mode that
// answers no ping.
#include "ControllerFixture.h"

#include "TRC_CFG_PlainRequests.h"

using namespace ctrltest;

namespace {

// How late a time-out or a pause may end on a loaded machine.
const int64_t c_llLateMs = 250;
// How early a pause may seem to end, measured across two clocks and threads.
const int64_t c_llEarlyMs = 15;

void expectDuration(int64_t llMs, int64_t llExpectedMs)
{
    EXPECT_GE(llMs, llExpectedMs - c_llEarlyMs);
    EXPECT_LE(llMs, llExpectedMs + c_llLateMs);
}

using ControllerSlowTest = ControllerFixture;

// Without an OK the answer is collected for the whole second; the copy keeps
// 1999 characters and a NUL, never more.
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
    expectDuration(msSince(tStart), 200 + 1100 + 1100);
    ASSERT_EQ(std::vector<std::string>{c_szPing}, linesSince(unMark)) << "one ping after";
    ASSERT_EQ(c_szPing, module().transcript().joined(EK_DATA)) << "one ping before";

    // First ping, 200 ms without answer, 1100 ms, "///", 1100 ms, ping.
    const auto vecData = entriesOf(module(), EK_DATA);
    const auto vecModes = entriesOf(module(), EK_MODE);
    ASSERT_NE(std::string::npos, vecModes.back().m_strBytes.find("escape"));
    // The module marks the mode its guard time after the last slash.
    const auto tSlashes = vecModes.back().m_tTime - std::chrono::milliseconds(1090);
    expectDuration(msBetween(vecData[0].m_tTime, tSlashes), 200 + 1100);
    expectDuration(msBetween(tSlashes, entriesOf(module(), EK_RECEIVED_LINE).back().m_tTime), 1100);
}

// An unanswered request ends after its own time with RC_TIMEOUT and the
// unsent bytes purged; a command goes no further than its unanswered ping,
// and the switch to data mode gives up after two.
TEST_F(ControllerSlowTest, ModuleInDataModeLeavesPingsUnansweredAndGetsNoCommand)
{
    module().setMode(SM_DATA);
    PingRequestC ping(300);
    auto tStart = SteadyT::now();
    EXPECT_EQ(RC_TIMEOUT, m_controller.request(&ping));
    expectDuration(msSince(tStart), 300);
    EXPECT_EQ(RC_TIMEOUT, ping.getReturnCode());
    EXPECT_EQ(PURGE_TXCLEAR, m_port.m_unLastFlushFlags.load());

    tStart = SteadyT::now();
    EXPECT_EQ(RC_FAILED, m_controller.switchToDataMode());
    expectDuration(msSince(tStart), 400);
    EXPECT_EQ("AT\rAT\rAT\r", module().transcript().joined(EK_DATA)) << "only the pings went out";
}

} // namespace
