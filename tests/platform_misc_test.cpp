// Time, text conversion, debug output, the registry, priorities and process
// termination of the POSIX platform layer.
#include "Platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ------------------------------------------------------------ time

TEST(PlatformTime, TickCountAdvancesWithSleep)
{
    DWORD dwStart = GetTickCount();
    Sleep(100);
    DWORD dwElapsed = GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 99u);
    EXPECT_LT(dwElapsed, 2000u);
}

TEST(PlatformTime, SystemTimeIsUtcNow)
{
    time_t before = time(nullptr);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    time_t after = time(nullptr);

    struct tm fields
    {};
    fields.tm_year = now.wYear - 1900;
    fields.tm_mon = now.wMonth - 1;
    fields.tm_mday = now.wDay;
    fields.tm_hour = now.wHour;
    fields.tm_min = now.wMinute;
    fields.tm_sec = now.wSecond;
    time_t stamped = timegm(&fields);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
    EXPECT_EQ(fields.tm_wday, now.wDayOfWeek);
    EXPECT_LT(now.wMilliseconds, 1000);
}

TEST(PlatformTime, FileTimeToSystemTime)
{
    struct CaseS
    {
        uint64_t ullTicks;
        SYSTEMTIME expected; // year, month, day of week, day, h, m, s, ms
    };
    const CaseS aCases[] = {
        {0ull, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {94405824000000000ull, {1900, 3, 4, 1, 0, 0, 0, 0}},
        {116444736000000000ull, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {125963012967890000ull, {2000, 2, 2, 29, 12, 34, 56, 789}},
        {133801631999990000ull, {2024, 12, 2, 31, 23, 59, 59, 999}},
        {157520380280090000ull, {2100, 3, 1, 1, 6, 7, 8, 9}},
        {0x7FFFFFFFFFFFFFFFull, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const CaseS& rCase : aCases) {
        FILETIME fileTime{static_cast<DWORD>(rCase.ullTicks),
                          static_cast<DWORD>(rCase.ullTicks >> 32)};
        SYSTEMTIME result{};
        ASSERT_TRUE(FileTimeToSystemTime(&fileTime, &result)) << rCase.ullTicks;
        const SYSTEMTIME& rWant = rCase.expected;
        EXPECT_EQ(rWant.wYear, result.wYear) << rCase.ullTicks;
        EXPECT_EQ(rWant.wMonth, result.wMonth) << rCase.ullTicks;
        EXPECT_EQ(rWant.wDay, result.wDay) << rCase.ullTicks;
        EXPECT_EQ(rWant.wDayOfWeek, result.wDayOfWeek) << rCase.ullTicks;
        EXPECT_EQ(rWant.wHour, result.wHour) << rCase.ullTicks;
        EXPECT_EQ(rWant.wMinute, result.wMinute) << rCase.ullTicks;
        EXPECT_EQ(rWant.wSecond, result.wSecond) << rCase.ullTicks;
        EXPECT_EQ(rWant.wMilliseconds, result.wMilliseconds) << rCase.ullTicks;
    }
    FILETIME tooLarge{0, 0x80000000u};
    SYSTEMTIME result{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &result));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

// ------------------------------------------------------------ text

std::wstring toWide(const std::string& strText)
{
    int nSize = MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()),
                                    nullptr, 0);
    std::wstring strOut(static_cast<size_t>(nSize), L'\0');
    EXPECT_EQ(nSize, MultiByteToWideChar(CP_UTF8, 0, strText.data(),
                                         static_cast<int>(strText.size()), &strOut[0], nSize));
    return strOut;
}

std::string toUtf8(const std::wstring& strText, BOOL* pbUsedDefault = nullptr)
{
    int nSize = WideCharToMultiByte(CP_ACP, 0, strText.data(), static_cast<int>(strText.size()),
                                    nullptr, 0, nullptr, nullptr);
    std::string strOut(static_cast<size_t>(nSize), '\0');
    EXPECT_EQ(nSize,
              WideCharToMultiByte(CP_ACP, 0, strText.data(), static_cast<int>(strText.size()),
                                  &strOut[0], nSize, nullptr, pbUsedDefault));
    return strOut;
}

TEST(PlatformText, RoundTripKeepsEveryCharacter)
{
    struct CaseS
    {
        std::string strUtf8;
        std::wstring strWide;
    };
    const CaseS aCases[] = {
        {"COM8:", L"COM8:"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         L"Gr\u00FC\u00DFe"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", L"\u65E5\u672C"},
        {"\xF0\x9F\x98\x80!", L"\U0001F600!"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const CaseS& rCase : aCases) {
        EXPECT_EQ(rCase.strWide, toWide(rCase.strUtf8)) << rCase.strUtf8;
        BOOL bUsedDefault = TRUE;
        EXPECT_EQ(rCase.strUtf8, toUtf8(rCase.strWide, &bUsedDefault)) << rCase.strUtf8;
        EXPECT_FALSE(bUsedDefault);
    }
}

TEST(PlatformText, TerminatedInputCountsItsNul)
{
    const char* pszText = "Gr\xC3\xBC\xC3\x9F"
                          "e";
    EXPECT_EQ(6, MultiByteToWideChar(CP_ACP, 0, pszText, -1, nullptr, 0));
    wchar_t szWide[6];
    EXPECT_EQ(6, MultiByteToWideChar(CP_ACP, 0, pszText, -1, szWide, 6));
    EXPECT_STREQ(L"Gr\u00FC\u00DFe", szWide);

    EXPECT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, szWide, -1, nullptr, 0, nullptr, nullptr));
    char szNarrow[8];
    EXPECT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, szWide, -1, szNarrow, 8, nullptr, nullptr));
    EXPECT_STREQ(pszText, szNarrow);
}

TEST(PlatformText, TooSmallOrInvalidArgumentsFail)
{
    wchar_t szWide[4];
    char szNarrow[4];
    struct CaseS
    {
        const char* pszWhat;
        int (*pfnCall)(wchar_t*, char*);
        DWORD dwError;
    };
    const CaseS aCases[] = {
        {"wide output too small",
         [](wchar_t* pWide, char*) {
             return MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, pWide, 4);
         },
         ERROR_INSUFFICIENT_BUFFER},
        {"narrow output too small",
         [](wchar_t*, char* pNarrow) {
             return WideCharToMultiByte(CP_UTF8, 0, L"\u00FC\u00FC", -1, pNarrow, 4, nullptr,
                                        nullptr);
         },
         ERROR_INSUFFICIENT_BUFFER},
        {"zero-length input",
         [](wchar_t* pWide, char*) { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, pWide, 4); },
         ERROR_INVALID_PARAMETER},
        {"null input",
         [](wchar_t*, char* pNarrow) {
             return WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, pNarrow, 4, nullptr, nullptr);
         },
         ERROR_INVALID_PARAMETER},
        {"unsupported code page",
         [](wchar_t* pWide, char*) { return MultiByteToWideChar(1252, 0, "abc", -1, pWide, 4); },
         ERROR_INVALID_PARAMETER},
    };
    for (const CaseS& rCase : aCases) {
        SetLastError(0);
        EXPECT_EQ(0, rCase.pfnCall(szWide, szNarrow)) << rCase.pszWhat;
        EXPECT_EQ(rCase.dwError, GetLastError()) << rCase.pszWhat;
    }
}

TEST(PlatformText, IllFormedInputBecomesReplacementCharacters)
{
    struct CaseS
    {
        std::string strUtf8;
        std::wstring strWide;
    };
    const CaseS aCases[] = {
        {"\xFF", L"\uFFFD"},
        {"a\xE2\x82", L"a\uFFFD"}, // truncated at the end
        {"\xE2\x82"
         "b",
         L"\uFFFD"
         L"b"},                                            // truncated in the middle
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                     // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\x80x", L"\uFFFDx"},                             // stray continuation byte
    };
    for (const CaseS& rCase : aCases) {
        EXPECT_EQ(rCase.strWide, toWide(rCase.strUtf8));
    }
}

TEST(PlatformText, WideSurrogatesAndOutOfRangeValues)
{
    BOOL bUsedDefault = FALSE;
    EXPECT_EQ("\xF0\x9F\x98\x80",
              toUtf8(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, &bUsedDefault));
    EXPECT_FALSE(bUsedDefault);
    EXPECT_EQ("\xEF\xBF\xBD"
              "a",
              toUtf8(std::wstring{wchar_t(0xD800), L'a'}, &bUsedDefault));
    EXPECT_TRUE(bUsedDefault);
    EXPECT_EQ("\xEF\xBF\xBD", toUtf8(std::wstring{wchar_t(0x110000)}, &bUsedDefault));
    EXPECT_TRUE(bUsedDefault);
}

TEST(PlatformText, DebugOutputGoesToStandardErrorVerbatim)
{
    ::testing::internal::CaptureStderr();
    OutputDebugStringW(L"Port \u00D6ffnen\r\n");
    OutputDebugStringW(L"no line end");
    OutputDebugStringW(nullptr);
    EXPECT_EQ("Port \xC3\x96"
              "ffnen\r\nno line end",
              ::testing::internal::GetCapturedStderr());
}

// ------------------------------------------------------------ registry

class PlatformRegistry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_directory = std::filesystem::temp_directory_path() /
                      ("quenta-registry-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::remove_all(m_directory);
        // A directory that does not exist yet: the first change creates it.
        m_file = m_directory / "nested" / "registry";
        setenv("QUENTA_REGISTRY_FILE", m_file.c_str(), 1);
    }

    void TearDown() override
    {
        unsetenv("QUENTA_REGISTRY_FILE");
        std::filesystem::remove_all(m_directory);
    }

    static LONG setDword(HKEY hKey, LPCWSTR pszName, DWORD dwValue)
    {
        return RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                              sizeof dwValue);
    }

    static LONG queryDword(HKEY hKey, LPCWSTR pszName, DWORD& rValue)
    {
        DWORD dwType = REG_NONE;
        DWORD dwSize = sizeof rValue;
        LONG lResult = RegQueryValueExW(hKey, pszName, nullptr, &dwType,
                                        reinterpret_cast<BYTE*>(&rValue), &dwSize);
        if (lResult == ERROR_SUCCESS) {
            EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
            EXPECT_EQ(sizeof rValue, dwSize);
        }
        return lResult;
    }

    std::filesystem::path m_directory;
    std::filesystem::path m_file;
};

const wchar_t c_szConfiguration[] = L"SOFTWARE\\Halvern\\Configuration";

TEST_F(PlatformRegistry, MissingKeyIsNotFound)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, KEY_READ, &hKey));
    EXPECT_EQ(nullptr, hKey);
    EXPECT_FALSE(std::filesystem::exists(m_file));
}

TEST_F(PlatformRegistry, DwordRoundTripPersistsAcrossReopen)
{
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                             &hKey, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), dwDisposition);
    EXPECT_EQ(ERROR_SUCCESS, setDword(hKey, L"ASSERTEnabled", 1));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(hKey));
    HKEY hClosed = hKey;

    // Names compare without regard to case, as on the target.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\HALVERN\\configuration",
                                           0, KEY_READ, &hKey));
    DWORD dwSize = 0;
    DWORD dwType = REG_NONE;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(hKey, L"assertenabled", nullptr, &dwType, nullptr, &dwSize));
    EXPECT_EQ(sizeof(DWORD), dwSize);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
    DWORD dwValue = 0;
    EXPECT_EQ(ERROR_SUCCESS, queryDword(hKey, L"ASSERTEnabled", dwValue));
    EXPECT_EQ(1u, dwValue);
    // A closed key stays closed, whatever has been opened since.
    EXPECT_EQ(ERROR_INVALID_HANDLE, queryDword(hClosed, L"ASSERTEnabled", dwValue));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(hClosed));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, queryDword(hKey, L"Missing", dwValue));
    RegCloseKey(hKey);

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                             &hKey, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), dwDisposition);
    RegCloseKey(hKey);

    // The keys above the created one exist too, and can be opened relatively.
    HKEY hParent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvern", 0, KEY_READ, &hParent));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(hParent, L"Configuration", 0, KEY_READ, &hKey));
    EXPECT_EQ(ERROR_SUCCESS, queryDword(hKey, L"ASSERTEnabled", dwValue));
    RegCloseKey(hKey);
    RegCloseKey(hParent);

    // Written atomically: nothing but the file is left beside it.
    std::vector<std::string> vecEntries;
    for (const auto& rEntry : std::filesystem::directory_iterator(m_file.parent_path())) {
        vecEntries.push_back(rEntry.path().filename().string());
    }
    EXPECT_EQ(std::vector<std::string>{"registry"}, vecEntries);
}

TEST_F(PlatformRegistry, ChangesByOthersAreSeenByOpenKeys)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, setDword(hKey, L"ASSERTEnabled", 1));
    {
        std::ofstream file(m_file, std::ios::trunc);
        file << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Configuration]\n"
             << "\"ASSERTEnabled\"=dword:00000000\n"
             << "garbage line\n"
             << "\"Broken\"=dword:zz\n";
    }
    DWORD dwValue = 7;
    EXPECT_EQ(ERROR_SUCCESS, queryDword(hKey, L"ASSERTEnabled", dwValue));
    EXPECT_EQ(0u, dwValue);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, queryDword(hKey, L"Broken", dwValue));
    RegCloseKey(hKey);
}

TEST_F(PlatformRegistry, OtherTypesAndSmallBuffers)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quenta Test", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    const std::wstring strText = L"K\u00F6ln \"quoted\" \\ back";
    const DWORD dwTextSize = static_cast<DWORD>((strText.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(hKey, L"Na=me \"x\"", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(strText.c_str()), dwTextSize));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(hKey, nullptr, 0, REG_BINARY, nullptr, 0));

    HKEY hReopened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quenta Test", 0, KEY_READ, &hReopened));
    std::vector<wchar_t> vecText(strText.size() + 1);
    DWORD dwType = REG_NONE;
    DWORD dwSize = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(hReopened, L"na=me \"X\"", nullptr, &dwType,
                                                reinterpret_cast<BYTE*>(vecText.data()), &dwSize));
    EXPECT_EQ(dwTextSize, dwSize);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(hReopened, L"na=me \"X\"", nullptr, &dwType,
                                              reinterpret_cast<BYTE*>(vecText.data()), &dwSize));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
    EXPECT_EQ(strText, std::wstring(vecText.data()));

    dwSize = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(hReopened, L"", nullptr, &dwType, nullptr, &dwSize));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), dwType);
    EXPECT_EQ(0u, dwSize);
    RegCloseKey(hReopened);
    RegCloseKey(hKey);

    // Each root has keys of its own.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quenta Test", 0, KEY_READ, &hKey));
}

TEST_F(PlatformRegistry, BadHandlesAndArguments)
{
    HKEY hKey = nullptr;
    int nLocal = 0;
    HKEY hMadeUp = reinterpret_cast<HKEY>(&nLocal);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(hMadeUp, L"A", 0, KEY_READ, &hKey));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(hMadeUp));
    EXPECT_EQ(ERROR_INVALID_HANDLE, setDword(hMadeUp, L"x", 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, KEY_READ, nullptr));
}

TEST_F(PlatformRegistry, DefaultLocationFollowsTheConfigurationHome)
{
    unsetenv("QUENTA_REGISTRY_FILE");
    const char* pszOld = getenv("XDG_CONFIG_HOME");
    std::string strOld = pszOld != nullptr ? pszOld : "";
    setenv("XDG_CONFIG_HOME", m_directory.c_str(), 1);
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    RegCloseKey(hKey);
    EXPECT_TRUE(std::filesystem::exists(m_directory / "quenta" / "registry"));
    if (pszOld != nullptr) {
        setenv("XDG_CONFIG_HOME", strOld.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

// ------------------------------------------------------------ threads and process

TEST(PlatformPriority, NormalThreadReports251)
{
    EXPECT_EQ(251, CeGetThreadPriority(GetCurrentThread()));
    HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](LPVOID pGo) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(pGo), INFINITE); },
        hGo, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    EXPECT_EQ(251, CeGetThreadPriority(hThread));
    SetEvent(hGo);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 5000));
    EXPECT_EQ(251, CeGetThreadPriority(hThread));
    CloseHandle(hThread);
    CloseHandle(hGo);
    EXPECT_NE(251, CeGetThreadPriority(hThread));
}

TEST(PlatformProcessDeathTest, TerminateEndsAtOnceWithTheCode)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1)),
                ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(TerminateProcess(GetCurrentProcess(), 3), ::testing::ExitedWithCode(3), "");
    // No exit handlers run.
    EXPECT_EXIT(
        {
            std::atexit([] { OutputDebugStringW(L"exit handler ran"); });
            TerminateProcess(GetCurrentProcess(), 0);
        },
        ::testing::ExitedWithCode(0), ::testing::Not(::testing::HasSubstr("exit handler ran")));
}

TEST(PlatformProcess, OnlyTheCurrentProcessCanBeTerminated)
{
    int nLocal = 0;
    EXPECT_FALSE(TerminateProcess(&nLocal, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_NE(0u, GetCurrentProcessId());
}

} // namespace
