// Time, text conversion, the registry, priorities and process termination of
// the POSIX platform layer.
#include "Platform.h"
#include "TestEnv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The system clock itself, not a fake: the calendar fields are the C
// library's for the same second.
TEST(PlatformTime, SystemTimeIsTheCalendarOfTheRealClock)
{
    SYSTEMTIME now = {};
    std::time_t tBefore = 0;
    do { // until both readings fall in one second
        tBefore = std::time(nullptr);
        GetSystemTime(&now);
    } while (std::time(nullptr) != tBefore);
    const std::tm tm = *std::gmtime(&tBefore);
    EXPECT_EQ((std::vector<int>{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday,
                                tm.tm_hour, tm.tm_min, tm.tm_sec}),
              (std::vector<int>{now.wYear, now.wMonth, now.wDay, now.wDayOfWeek, now.wHour,
                                now.wMinute, now.wSecond}));
}

TEST(PlatformText, RoundTripKeepsEveryCharacter)
{
    // Two-, three- and four-byte sequences; the last lies beyond 16 bits.
    const std::string strUtf8 = "Gr\xC3\xBC\xC3\x9F"
                                "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80!";
    const std::wstring strWide = L"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600!";
    const int nBytes = static_cast<int>(strUtf8.size());
    const int nChars = static_cast<int>(strWide.size());
    std::wstring strToWide(strWide.size(), L'\0');
    std::string strBack(strUtf8.size(), '\0');
    BOOL bUsedDefault = TRUE;
    EXPECT_EQ(nChars, MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), nBytes, nullptr, 0));
    EXPECT_EQ(nChars,
              MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), nBytes, &strToWide[0], nChars));
    EXPECT_EQ(nBytes,
              WideCharToMultiByte(CP_ACP, 0, strWide.data(), nChars, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(nBytes, WideCharToMultiByte(CP_ACP, 0, strWide.data(), nChars, &strBack[0], nBytes,
                                          nullptr, &bUsedDefault));
    EXPECT_EQ(strWide, strToWide);
    EXPECT_EQ(strUtf8, strBack);
    EXPECT_FALSE(bUsedDefault);
}

const wchar_t c_szConfiguration[] = L"SOFTWARE\\Halvern\\Configuration";

class PlatformRegistry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_directory.empty());
        ::setenv("QUENTA_REGISTRY_FILE", m_file.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("QUENTA_REGISTRY_FILE");
        std::filesystem::remove_all(m_directory);
    }

    const std::filesystem::path m_directory = testenv::makeTempDir("quenta-registry-");
    // A directory that does not exist yet: the first change creates it.
    const std::filesystem::path m_file = m_directory / "nested" / "registry";
};

TEST_F(PlatformRegistry, DwordRoundTripPersistsAcrossReopen)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, KEY_READ, &hKey));
    DWORD dwDisposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), dwDisposition);
    DWORD dwValue = 1;
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(hKey, L"ASSERTEnabled", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(hKey));
    std::stringstream stored;
    stored << std::ifstream(m_file).rdbuf();
    EXPECT_THAT(stored.str(), ::testing::HasSubstr("ASSERTEnabled"));

    // Names compare without regard to case, as on the target.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\HALVERN\\configuration",
                                           0, KEY_READ, &hKey));
    DWORD dwType = REG_NONE, dwSize = sizeof dwValue;
    dwValue = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(hKey, L"assertenabled", nullptr, &dwType,
                                              reinterpret_cast<BYTE*>(&dwValue), &dwSize));
    EXPECT_EQ(1u, dwValue);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
    EXPECT_EQ(sizeof dwValue, dwSize);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(hKey, L"Missing", nullptr, &dwType,
                                                     reinterpret_cast<BYTE*>(&dwValue), &dwSize));
    RegCloseKey(hKey);
}

TEST(PlatformPriority, NormalThreadReports251)
{
    EXPECT_EQ(251, CeGetThreadPriority(GetCurrentThread()));
}

TEST(PlatformProcessDeathTest, TerminateEndsAtOnceWithTheCode)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The panic tests see the code of a panic; here: no exit handlers run.
    EXPECT_EXIT(
        {
            std::atexit([] { OutputDebugStringW(L"exit handler ran"); });
            TerminateProcess(GetCurrentProcess(), 0);
        },
        ::testing::ExitedWithCode(0), ::testing::Not(::testing::HasSubstr("exit handler ran")));
}

} // namespace
