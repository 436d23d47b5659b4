// Components and containers: fan-out order, state sync, stop budgets, misuse.
#include "Nox_Tsk/NOX_TSK_SysComponent.h"
#include "PanicRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace NOX::TSK;

namespace {

using CallsT = std::vector<std::string>;
CallsT g_vecCalls;

class RecordingC : public SysComponentC
{
public:
    explicit RecordingC(std::string strName, DWORD dwStopMs = 0)
        : m_strName(std::move(strName)), m_dwStopMs(dwStopMs)
    {}
    // Each step is noted, then done as a plain component does it.
    void init(uint32_t u) override { note("init"), m_fnOnInit(), SysComponentC::init(u); }
    void start(uint32_t u) override { note("start"), SysComponentC::start(u); }
    void stop(uint32_t u) override { note("stop"), SysComponentC::stop(u); }
    void kill(uint32_t u) override { note("kill"), SysComponentC::kill(u); }
    void cleanup(uint32_t u) override { note("cleanup"), SysComponentC::cleanup(u); }
    // Stops in m_dwStopMs, or fails at once when that is past the time-out.
    bool waitForStop(DWORD dwTimeoutMs) override
    {
        m_vecBudgets.push_back(dwTimeoutMs);
        note("waitForStop");
        const bool bInTime = m_dwStopMs <= dwTimeoutMs;
        std::this_thread::sleep_for(std::chrono::milliseconds(bInTime ? m_dwStopMs : 0));
        return bInTime;
    }

    std::string m_strName;
    DWORD m_dwStopMs;
    std::vector<DWORD> m_vecBudgets;
    std::function<void()> m_fnOnInit = [] {};

private:
    void note(const char* szStep) { g_vecCalls.push_back(std::string(szStep) + " " + m_strName); }
};

class ComponentTest : public ::testing::Test
{
protected:
    void SetUp() override { g_vecCalls.clear(); }
};

} // namespace

TEST_F(ComponentTest, ContainersComeUpForwardsAndGoDownBackwards)
{
    SysComponentContainerC container;
    RecordingC a("a"), b("b"), c("c");
    for (RecordingC* p : {&a, &b, &c}) {
        container.addComponent(p);
    }
    EXPECT_TRUE(g_vecCalls.empty()) << "a container in state 0 brings nobody up";

    b.setTargetState(SysComponentC::STATE_INITIALISED);
    container.init(0);
    container.start(0);
    container.stop(0);
    EXPECT_TRUE(container.waitForStop(INFINITE));
    container.kill(0);
    container.cleanup(0);
    EXPECT_EQ((CallsT{"init a", "init b", "init c", "start a", "start c", "stop c", "stop b",
                      "stop a", "waitForStop c", "waitForStop b", "waitForStop a", "kill c",
                      "kill b", "kill a", "cleanup c", "cleanup b", "cleanup a"}),
              g_vecCalls);
    EXPECT_EQ(SysComponentC::STATE_NONE, container.getState());
}

TEST_F(ComponentTest, AChildJoiningOrLeavingARunningContainerIsSynced)
{
    SysComponentContainerC container;
    container.init(0);
    container.start(0);
    RecordingC late("late");
    container.addComponent(&late);
    container.removeComponent(&late);
    EXPECT_EQ((CallsT{"init late", "start late", "stop late", "waitForStop late", "cleanup late"}),
              g_vecCalls);
    EXPECT_EQ(nullptr, late.getParent());
}

TEST_F(ComponentTest, StopBudgetsAreSharedAndASlowComponentIsKilled)
{
    SysComponentContainerC container;
    RecordingC first("first"), second("second", 200), third("third", 80);
    for (RecordingC* p : {&first, &second, &third}) {
        container.addComponent(p);
    }
    // Children are asked last to first: third takes 80 ms of the 100, and
    // the first failure ends the wait.
    EXPECT_FALSE(container.waitForStop(100));
    ASSERT_EQ(1u, second.m_vecBudgets.size());
    EXPECT_LE(second.m_vecBudgets[0], 20u);
    EXPECT_TRUE(first.m_vecBudgets.empty());

    RecordingC slow("slow", SysComponentC::c_dwStopBudgetMs + 1);
    slow.init(0);
    slow.start(0);
    g_vecCalls.clear();
    slow.bringDown(SysComponentC::STATE_NONE);
    EXPECT_EQ((CallsT{"stop slow", "waitForStop slow", "kill slow", "cleanup slow"}), g_vecCalls);
    EXPECT_EQ(SysComponentC::c_dwStopBudgetMs, slow.m_vecBudgets.back());
}

TEST_F(ComponentTest, MisuseAndAddingDuringAFanOutRaiseTheirAssertionsAndChangeNothing)
{
    RecordingHandlerC asserts;
    NOX::ERR::PanicHandlerRegistryC::getInstance().setHandler(&asserts, true);
    SysComponentContainerC mine, theirs;
    RecordingC child("child"), stranger("stranger"), intruder("intruder");
    theirs.addComponent(&child);

    mine.removeComponent(&child);
    mine.addComponent(nullptr);
    mine.removeComponent(nullptr);
    mine.insertBefore(nullptr, &stranger);
    intruder.m_fnOnInit = [&] { mine.addComponent(&stranger); };
    mine.addComponent(&intruder);
    mine.init(0);
    const std::string strNull = "!\"component pointer is null\"";
    EXPECT_EQ((CallsT{"!\"Not a child of this container: Wrong container\"", strNull, strNull,
                      strNull, "!\"Container is traversing at the moment, add\""}),
              asserts.conditions());
    EXPECT_EQ(&theirs, child.getParent());
    EXPECT_EQ(nullptr, stranger.getParent());
    EXPECT_EQ(1, mine.componentCount());
    theirs.removeComponent(&child);
    mine.removeComponent(&intruder);
    NOX::ERR::PanicHandlerRegistryC::getInstance().removeHandler(&asserts);
}
