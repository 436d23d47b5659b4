// Assertions, panics, their handlers and the assertion switch.
#include "LogCapture.h"

#include "PanicRecorder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace NOX::ERR;

namespace {

const char c_szSourceFile[] = "demo";

// Writes records to standard error, where a death test can read them.
class StderrConsumerC : public NOX::DBG::DbgLogConsumerC
{
public:
    StderrConsumerC() : NOX::DBG::DbgLogConsumerC(NOX::DBG::HDR_NONE) {}
    void logWrite(const char* szRecord) override
    {
        std::fputs(szRecord, stderr);
        std::fflush(stderr);
    }
    std::string getName() const override { return "stderr"; }
};

class PanicTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        PanicHandlerRegistryC::getInstance().removeHandler(&m_Handler);
        NOX::DBG::DbgLogMgrC::getInstance()->removeAll();
    }
    RecordingHandlerC m_Handler;
};

} // namespace

TEST_F(PanicTest, AssertionWritesItsRecordCallsTheHandlerAndReturns)
{
    PanicHandlerRegistryC::getInstance().setHandler(&m_Handler, true);
    ::testing::internal::CaptureStdout();
    NOX_ASSERT(false);
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout()) << "no route, no record";
    EXPECT_EQ(1u, m_Handler.m_vecCalls.size()) << "but the handler is called";

    NOX::DBG::DbgLogMgrC::getInstance()->addRoute("SystemErrorLogger", 0, "printf");
    ::testing::internal::CaptureStdout();
    assertFailed("false", 0, 0, "demo", 12);
    NOX_ASSERT_ARGS(1 + 1 == 3 && "%ld of %ld", 4, 9);
    std::string strOut = ::testing::internal::GetCapturedStdout();

    int nLine = __LINE__ - 3;
    EXPECT_EQ("<<ASSERT at demo(12): false>>\n<<ASSERT at demo(" + std::to_string(nLine) +
                  "): 1 + 1 == 3 && \"4 of 9\">>\n",
              strOut);
    ASSERT_EQ(3u, m_Handler.m_vecCalls.size());
    const PanicCallS& call = m_Handler.m_vecCalls[2];
    EXPECT_EQ("assert", call.strKind);
    EXPECT_EQ("1 + 1 == 3 && \"%ld of %ld\"", call.strText);
    EXPECT_EQ(4, call.lArg1);
    EXPECT_EQ(9, call.lArg2);
    EXPECT_EQ(nLine, call.nLine);
}

TEST(PanicDeathTest, PanicWritesItsRecordAndEndsTheProcessWithMinusOne)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    auto panicNow = [](const char* szMessage) {
        NOX::DBG::DbgLogMgrC* pMgr = NOX::DBG::DbgLogMgrC::getInstance();
        pMgr->addConsumer(NOX::DBG::DbgLogConsumerPtrT(new StderrConsumerC));
        pMgr->addRoute("SystemErrorLogger", 0, "stderr");
        panic(szMessage, 0x01200001, 5, 3, "file", 7);
    };
    EXPECT_EXIT(panicNow("nIndex < GetLength():%lx, %lx"), ::testing::ExitedWithCode(255),
                "<<PANIC at file\\(7\\): nIndex < GetLength\\(\\):5, 3 - type 0x1200001>>\n");
    EXPECT_EXIT(panicNow("plain"), ::testing::ExitedWithCode(255),
                "<<PANIC at file\\(7\\): plain - type 0x1200001>>\n");
}

TEST_F(PanicTest, RegistryKeepsTheFirstHandlerUnlessReplacingAndRemovesOnlyItsOwn)
{
    PanicHandlerRegistryC& registry = PanicHandlerRegistryC::getInstance();
    RecordingHandlerC other;
    registry.setHandler(&m_Handler, true);
    registry.setHandler(&other, false);
    EXPECT_EQ(&m_Handler, registry.getHandler());
    registry.removeHandler(&other);
    EXPECT_TRUE(registry.hasHandler());

    registry.setEnabled(true);
    EXPECT_TRUE(m_Handler.isEnabled()) << "the registry passes its flag on";
    registry.setHandler(&other, true);
    EXPECT_TRUE(other.isEnabled()) << "a new handler takes the registry's flag";
    registry.setEnabled(false);
    registry.removeHandler(&other);
    EXPECT_FALSE(registry.hasHandler());
}

TEST_F(PanicTest, CompositeForwardsToEveryHandlerInOrder)
{
    CompositePanicHandlerC composite;
    RecordingHandlerC second;
    composite.addHandler(&m_Handler);
    composite.addHandler(nullptr);
    composite.addHandler(&second);
    composite.addHandler(&m_Handler);
    composite.setEnabled(true);
    EXPECT_TRUE(second.isEnabled());

    composite.assertFailed("x > 0", 1, 2, "f", 3);
    EXPECT_EQ(2u, m_Handler.m_vecCalls.size());
    EXPECT_EQ(1u, second.m_vecCalls.size());

    EXPECT_TRUE(composite.removeHandler(&m_Handler));
    EXPECT_FALSE(composite.removeHandler(&m_Handler));
    composite.assertFailed("y", 0, 0, "f", 4);
    EXPECT_EQ(2u, m_Handler.m_vecCalls.size()) << "every occurrence was removed";
    EXPECT_EQ(2u, second.m_vecCalls.size());
}

TEST(AssertSwitch, IsReadFromAndWrittenToTheRegistry)
{
    char szDir[] = "/tmp/quenta-registry-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    std::string strFile = std::string(szDir) + "/registry";
    setenv("QUENTA_REGISTRY_FILE", strFile.c_str(), 1);

    EXPECT_FALSE(PanicHandlerRegistryC::isAssertEnabled()) << "a missing value reads as off";
    EXPECT_EQ(0u, PanicHandlerRegistryC::setAssertEnabled(true));
    EXPECT_TRUE(PanicHandlerRegistryC::isAssertEnabled());
    EXPECT_EQ(0u, PanicHandlerRegistryC::setAssertEnabled(false));
    EXPECT_FALSE(PanicHandlerRegistryC::isAssertEnabled());

    unsetenv("QUENTA_REGISTRY_FILE");
    std::remove(strFile.c_str());
    rmdir(szDir);
}
