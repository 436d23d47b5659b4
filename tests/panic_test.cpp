// Assertions, panics, their handlers and the assertion switch.
#include "LogCapture.h"

#include "PanicRecorder.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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
    LogCaptureC capture;
    capture.route("SystemErrorLogger", 0);
    NOX_ASSERT_ARGS(1 + 1 == 3 && "%ld of %ld", 4, 9);
    const int nLine = __LINE__ - 1;
    EXPECT_EQ(std::vector<std::string>{"<<ASSERT at demo(" + std::to_string(nLine) +
                                       "): 1 + 1 == 3 && \"4 of 9\">>\n"},
              capture.records());
    ASSERT_EQ(1u, m_Handler.m_vecCalls.size());
    const PanicCallS& call = m_Handler.m_vecCalls[0];
    EXPECT_EQ(std::make_tuple("assert", "1 + 1 == 3 && \"%ld of %ld\"", 4L, 9L, nLine),
              std::tie(call.strKind, call.strText, call.lArg1, call.lArg2, call.nLine));
}

TEST(PanicDeathTest, PanicWritesItsRecordAndEndsTheProcessWithMinusOne)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    auto panicNow = [] {
        NOX::DBG::DbgLogMgrC* pMgr = NOX::DBG::DbgLogMgrC::getInstance();
        pMgr->addConsumer(NOX::DBG::DbgLogConsumerPtrT(new StderrConsumerC));
        pMgr->addRoute("SystemErrorLogger", 0, "stderr");
        panic("nIndex < GetLength():%lx, %lx", 0x01200001, 5, 3, "file", 7);
    };
    EXPECT_EXIT(panicNow(), ::testing::ExitedWithCode(testenv::exitCodeSeen(-1)),
                "<<PANIC at file\\(7\\): nIndex < GetLength\\(\\):5, 3 - type 0x1200001>>\n");
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
    registry.setHandler(&other, true);
    EXPECT_EQ(&other, registry.getHandler());
    registry.removeHandler(&other);
    EXPECT_FALSE(registry.hasHandler());
}

#if !defined(_WIN32)
namespace {

const wchar_t c_szSwitchKey[] = L"SOFTWARE\\Halvern\\Configuration";
const wchar_t c_szSwitchValue[] = L"ASSERTEnabled";

// The switch's number when it is stored as a DWORD, as the core writes it.
std::optional<DWORD> storedSwitch()
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szSwitchKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD dwValue = 0, dwType = REG_NONE, dwSize = sizeof(dwValue);
    const LONG lResult = RegQueryValueExW(hKey, c_szSwitchValue, nullptr, &dwType,
                                          reinterpret_cast<BYTE*>(&dwValue), &dwSize);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS || dwType != REG_DWORD || dwSize != sizeof(dwValue)) {
        return std::nullopt;
    }
    return dwValue;
}

// Writes the switch as another program (or a person) would.
bool storeSwitch(DWORD dwValue)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szSwitchKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG lResult = RegSetValueExW(hKey, c_szSwitchValue, 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

// The switch in a registry file of the test's own, without the switch at the
// start. (On Windows the switch lives in the machine's registry, which a
// test does not change.)
class AssertSwitchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testenv::makeTempDir("quenta-registry-");
        ASSERT_FALSE(m_dir.empty());
        testenv::setEnv("QUENTA_REGISTRY_FILE", testenv::utf8(m_dir / "registry"));
    }
    void TearDown() override
    {
        ::unsetenv("QUENTA_REGISTRY_FILE");
        std::filesystem::remove_all(m_dir);
    }
    std::filesystem::path m_dir;
};

} // namespace

TEST_F(AssertSwitchTest, IsADwordInTheRegistryAndAnyNumberButZeroIsOn)
{
    EXPECT_FALSE(PanicHandlerRegistryC::isAssertEnabled()) << "a missing value reads as off";
    EXPECT_EQ(0u, PanicHandlerRegistryC::setAssertEnabled(true));
    EXPECT_TRUE(PanicHandlerRegistryC::isAssertEnabled());
    EXPECT_EQ(std::optional<DWORD>(1), storedSwitch());
    EXPECT_EQ(0u, PanicHandlerRegistryC::setAssertEnabled(false));
    EXPECT_FALSE(PanicHandlerRegistryC::isAssertEnabled());
    EXPECT_EQ(std::optional<DWORD>(0), storedSwitch()) << "cleared, not removed";

    ASSERT_TRUE(storeSwitch(7));
    EXPECT_TRUE(PanicHandlerRegistryC::isAssertEnabled()) << "any number but 0 is on";
}
#endif
