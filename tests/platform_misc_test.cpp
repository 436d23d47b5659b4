// Time, text conversion, debug output, the registry, priorities and process
// termination of the POSIX platform layer.
#include "Platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
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
    // time() reads a coarser clock that may still show the previous second.
    struct timespec tsBefore, tsAfter;
    clock_gettime(CLOCK_REALTIME, &tsBefore);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    clock_gettime(CLOCK_REALTIME, &tsAfter);
    const time_t before = tsBefore.tv_sec;
    const time_t after = tsAfter.tv_sec;
    struct tm fields = {};
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

std::string fieldsOf(const SYSTEMTIME& time)
{
    return std::to_string(time.wYear) + "-" + std::to_string(time.wMonth) + "-" +
           std::to_string(time.wDay) + " day " + std::to_string(time.wDayOfWeek) + " " +
           std::to_string(time.wHour) + ":" + std::to_string(time.wMinute) + ":" +
           std::to_string(time.wSecond) + "." + std::to_string(time.wMilliseconds);
}

TEST(PlatformTime, FileTimeToSystemTime)
{
    const std::pair<uint64_t, SYSTEMTIME> aCases[] = {
        // year, month, day of week, day, h, m, s, ms
        {0ull, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {94405824000000000ull, {1900, 3, 4, 1, 0, 0, 0, 0}},
        {116444736000000000ull, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {125963012967890000ull, {2000, 2, 2, 29, 12, 34, 56, 789}},
        {133801631999990000ull, {2024, 12, 2, 31, 23, 59, 59, 999}},
        {157520380280090000ull, {2100, 3, 1, 1, 6, 7, 8, 9}},
        {0x7FFFFFFFFFFFFFFFull, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const auto& row : aCases) {
        FILETIME fileTime{static_cast<DWORD>(row.first), static_cast<DWORD>(row.first >> 32)};
        SYSTEMTIME result{};
        ASSERT_TRUE(FileTimeToSystemTime(&fileTime, &result)) << row.first;
        EXPECT_EQ(fieldsOf(row.second), fieldsOf(result)) << row.first;
    }
    FILETIME tooLarge{0, 0x80000000u};
    SYSTEMTIME result{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &result));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

// ------------------------------------------------------------ text

std::wstring toWide(const std::string& strText)
{
    const int nLength = static_cast<int>(strText.size());
    int nSize = MultiByteToWideChar(CP_UTF8, 0, strText.data(), nLength, nullptr, 0);
    std::wstring strOut(static_cast<size_t>(nSize), L'\0');
    EXPECT_EQ(nSize, MultiByteToWideChar(CP_UTF8, 0, strText.data(), nLength, &strOut[0], nSize));
    return strOut;
}

std::string toUtf8(const std::wstring& strText, BOOL* pbUsedDefault)
{
    const int nLength = static_cast<int>(strText.size());
    int nSize =
        WideCharToMultiByte(CP_ACP, 0, strText.data(), nLength, nullptr, 0, nullptr, nullptr);
    std::string strOut(static_cast<size_t>(nSize), '\0');
    EXPECT_EQ(nSize, WideCharToMultiByte(CP_ACP, 0, strText.data(), nLength, &strOut[0], nSize,
                                         nullptr, pbUsedDefault));
    return strOut;
}

TEST(PlatformText, RoundTripKeepsEveryCharacter)
{
    const std::pair<std::string, std::wstring> aCases[] = {
        {"COM8:", L"COM8:"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         L"Gr\u00FC\u00DFe"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", L"\u65E5\u672C"},
        {"\xF0\x9F\x98\x80!", L"\U0001F600!"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& text : aCases) {
        EXPECT_EQ(text.second, toWide(text.first)) << text.first;
        BOOL bUsedDefault = TRUE;
        EXPECT_EQ(text.first, toUtf8(text.second, &bUsedDefault)) << text.first;
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
    const std::tuple<const char*, std::function<int()>, DWORD> aCases[] = {
        {"wide output too small",
         [&] { return MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, szWide, 4); },
         ERROR_INSUFFICIENT_BUFFER},
        {"narrow output too small",
         [&] {
             return WideCharToMultiByte(CP_UTF8, 0, L"\u00FC\u00FC", -1, szNarrow, 4, nullptr,
                                        nullptr);
         },
         ERROR_INSUFFICIENT_BUFFER},
        {"zero-length input", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, szWide, 4); },
         ERROR_INVALID_PARAMETER},
        {"null input",
         [&] {
             return WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, szNarrow, 4, nullptr, nullptr);
         },
         ERROR_INVALID_PARAMETER},
        {"unsupported code page",
         [&] { return MultiByteToWideChar(1252, 0, "abc", -1, szWide, 4); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& call : aCases) {
        SCOPED_TRACE(std::get<0>(call));
        SetLastError(0);
        EXPECT_EQ(0, std::get<1>(call)());
        EXPECT_EQ(std::get<2>(call), GetLastError());
    }
}

TEST(PlatformText, IllFormedInputBecomesReplacementCharacters)
{
    const std::pair<std::string, std::wstring> aToWide[] = {
        {"\xFF", L"\uFFFD"},
        {"a\xE2\x82", L"a\uFFFD"}, // truncated at the end
        {"\xE2\x82"
         "b",
         L"\uFFFDb"},                                      // truncated in the middle
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                     // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\x80x", L"\uFFFDx"},                             // stray continuation byte
    };
    for (const auto& text : aToWide)
        EXPECT_EQ(text.second, toWide(text.first));

    const std::tuple<std::wstring, std::string, BOOL> aToUtf8[] = {
        {{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xF0\x9F\x98\x80", FALSE}, // surrogate pair
        {{wchar_t(0xD800), L'a'},
         "\xEF\xBF\xBD"
         "a",
         TRUE},                                      // lone surrogate
        {{wchar_t(0x110000)}, "\xEF\xBF\xBD", TRUE}, // out of range
    };
    for (const auto& text : aToUtf8) {
        SCOPED_TRACE(std::get<1>(text));
        BOOL bUsedDefault = !std::get<2>(text);
        EXPECT_EQ(std::get<1>(text), toUtf8(std::get<0>(text), &bUsedDefault));
        EXPECT_EQ(std::get<2>(text), bUsedDefault);
    }
}

// ------------------------------------------------------------ registry

const wchar_t c_szConfiguration[] = L"SOFTWARE\\Halvern\\Configuration";

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

    static HKEY createKey(HKEY hRoot, LPCWSTR pszPath, DWORD* pdwDisposition = nullptr)
    {
        HKEY hKey = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(hRoot, pszPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &hKey, pdwDisposition));
        return hKey;
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

TEST_F(PlatformRegistry, DwordRoundTripPersistsAcrossReopen)
{
    HKEY hKey = nullptr, hParent = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, KEY_READ, &hKey));
    EXPECT_EQ(nullptr, hKey);
    EXPECT_FALSE(std::filesystem::exists(m_file));

    DWORD dwDisposition = 0;
    hKey = createKey(HKEY_LOCAL_MACHINE, c_szConfiguration, &dwDisposition);
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
    int nLocal = 0;
    const HKEY hMadeUp = reinterpret_cast<HKEY>(&nLocal);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(hMadeUp, L"A", 0, KEY_READ, &hParent));
    EXPECT_EQ(ERROR_INVALID_HANDLE, setDword(hMadeUp, L"x", 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szConfiguration, 0, KEY_READ, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, queryDword(hKey, L"Missing", dwValue));
    RegCloseKey(hKey);
    // Each root has keys of its own.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_CURRENT_USER, c_szConfiguration, 0, KEY_READ, &hKey));

    RegCloseKey(createKey(HKEY_LOCAL_MACHINE, c_szConfiguration, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), dwDisposition);

    // The keys above the created one exist too, and can be opened relatively.
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvern", 0, KEY_READ, &hParent));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(hParent, L"Configuration", 0, KEY_READ, &hKey));
    EXPECT_EQ(ERROR_SUCCESS, queryDword(hKey, L"ASSERTEnabled", dwValue));
    RegCloseKey(hKey);
    RegCloseKey(hParent);

    // Written atomically: nothing but the file is left beside it.
    std::vector<std::string> vecEntries;
    for (const auto& rEntry : std::filesystem::directory_iterator(m_file.parent_path()))
        vecEntries.push_back(rEntry.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"registry"}, vecEntries);
}

TEST_F(PlatformRegistry, ChangesByOthersAreSeenByOpenKeys)
{
    HKEY hKey = createKey(HKEY_LOCAL_MACHINE, c_szConfiguration);
    ASSERT_EQ(ERROR_SUCCESS, setDword(hKey, L"ASSERTEnabled", 1));
    std::ofstream(m_file, std::ios::trunc)
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Configuration]\n"
        << "\"ASSERTEnabled\"=dword:00000000\n"
        << "garbage line\n"
        << "\"Broken\"=dword:zz\n";
    DWORD dwValue = 7;
    EXPECT_EQ(ERROR_SUCCESS, queryDword(hKey, L"ASSERTEnabled", dwValue));
    EXPECT_EQ(0u, dwValue);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, queryDword(hKey, L"Broken", dwValue));
    RegCloseKey(hKey);
}

TEST_F(PlatformRegistry, DefaultLocationFollowsTheConfigurationHome)
{
    unsetenv("QUENTA_REGISTRY_FILE");
    const char* pszOld = getenv("XDG_CONFIG_HOME");
    const std::string strOld = pszOld != nullptr ? pszOld : "";
    setenv("XDG_CONFIG_HOME", m_directory.c_str(), 1);
    RegCloseKey(createKey(HKEY_LOCAL_MACHINE, c_szConfiguration));
    EXPECT_TRUE(std::filesystem::exists(m_directory / "quenta" / "registry"));
    if (pszOld != nullptr)
        setenv("XDG_CONFIG_HOME", strOld.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
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
    // Only the current process can be terminated.
    int nLocal = 0;
    EXPECT_FALSE(TerminateProcess(&nLocal, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_NE(0u, GetCurrentProcessId());
}

} // namespace
