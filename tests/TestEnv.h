// What the tests need of the host, the same on POSIX and Windows: a private
// temporary directory, environment variables the core sees, paths as the
// UTF-8 text the core takes, file times, the debug output, a process's exit
// code as its parent sees it.
#pragma once

#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <cstdint>
#include <cwchar>
#include <mutex>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testenv {

// The path as UTF-8, the form of every path the core takes.
inline std::string utf8(const std::filesystem::path& path)
{
    const auto strText = path.u8string();
    return std::string(strText.begin(), strText.end());
}

// A new, empty directory of the test's own under the host's temporary
// directory, its name starting with strPrefix; empty when none can be made.
inline std::filesystem::path makeTempDir(const std::string& strPrefix)
{
#if defined(_WIN32)
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) {
        return fs::path();
    }
    // create_directory tells a name taken by another run from a new one.
    const std::string strStem = strPrefix + std::to_string(GetCurrentProcessId()) + "-";
    for (DWORD dwTry = 0; dwTry < 1000; ++dwTry) {
        const fs::path candidate = base / (strStem + std::to_string(GetTickCount() + dwTry));
        if (fs::create_directory(candidate, error)) {
            return candidate;
        }
        if (error) {
            return fs::path();
        }
    }
    return fs::path();
#else
    std::string strTemplate = "/tmp/" + strPrefix + "XXXXXX";
    if (::mkdtemp(&strTemplate[0]) == nullptr) {
        return std::filesystem::path();
    }
    return strTemplate;
#endif
}

// Sets the variable for this process, both where the core reads it
// (GetEnvironmentVariableW on Windows) and for getenv.
inline void setEnv(const char* szName, const std::string& strValue)
{
#if defined(_WIN32)
    const std::wstring strName = NOX::HAL::widePath(szName);
    const std::wstring strWide = NOX::HAL::widePath(strValue);
    ::_wputenv_s(strName.c_str(), strWide.c_str());
    SetEnvironmentVariableW(strName.c_str(), strWide.c_str());
#else
    ::setenv(szName, strValue.c_str(), 1);
#endif
}

inline void unsetEnv(const char* szName)
{
#if defined(_WIN32)
    const std::wstring strName = NOX::HAL::widePath(szName);
    // An empty value removes the variable from the C run-time's copy.
    ::_wputenv_s(strName.c_str(), L"");
    SetEnvironmentVariableW(strName.c_str(), nullptr);
#else
    ::unsetenv(szName);
#endif
}

// Sets the file's last access and modification to the second since 1970.
inline bool setModificationTime(const std::filesystem::path& path, time_t tSeconds)
{
#if defined(_WIN32)
    HANDLE hFile = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    // File times count 100 ns from 1601.
    const uint64_t ulTicks = (static_cast<uint64_t>(tSeconds) + 11644473600ull) * 10000000ull;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ulTicks);
    time.dwHighDateTime = static_cast<DWORD>(ulTicks >> 32);
    const BOOL bSet = SetFileTime(hFile, nullptr, &time, &time);
    CloseHandle(hFile);
    return bSet != FALSE;
#else
    struct timespec aTimes[2] = {{tSeconds, 0}, {tSeconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), aTimes, 0) == 0;
#endif
}

// Capturing what the core writes with OutputDebugStringW, as UTF-8. On POSIX
// the platform writes it to standard error; on Windows it is an exception a
// debugger would see, which a vectored handler sees first when none is
// attached.
#if defined(_WIN32)
struct DebugOutputS
{
    std::mutex lock;
    std::string strText;
    PVOID pHandler = nullptr;
};

inline DebugOutputS& debugOutput()
{
    static DebugOutputS s_output;
    return s_output;
}

inline LONG CALLBACK onDebugOutput(EXCEPTION_POINTERS* pException)
{
    const EXCEPTION_RECORD& record = *pException->ExceptionRecord;
    // The first argument counts the characters with the final NUL.
    const bool bWide = record.ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C;
    if ((!bWide && record.ExceptionCode != DBG_PRINTEXCEPTION_C) || record.NumberParameters < 2 ||
        record.ExceptionInformation[0] == 0) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const size_t unLength = static_cast<size_t>(record.ExceptionInformation[0]) - 1;
    std::string strText;
    if (bWide) {
        const auto* szText = reinterpret_cast<const wchar_t*>(record.ExceptionInformation[1]);
        const int nLength = static_cast<int>(wcsnlen(szText, unLength));
        const int nSize =
            WideCharToMultiByte(CP_UTF8, 0, szText, nLength, nullptr, 0, nullptr, nullptr);
        strText.resize(static_cast<size_t>(nSize > 0 ? nSize : 0));
        if (nSize > 0) {
            WideCharToMultiByte(CP_UTF8, 0, szText, nLength, &strText[0], nSize, nullptr, nullptr);
        }
    } else {
        const auto* szText = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        strText.assign(szText, strnlen(szText, unLength));
    }
    DebugOutputS& output = debugOutput();
    std::lock_guard<std::mutex> guard(output.lock);
    output.strText += strText;
    // Taken: OutputDebugStringW then neither repeats it narrow nor passes it on.
    return EXCEPTION_CONTINUE_EXECUTION;
}
#endif

inline void captureDebugOutput()
{
#if defined(_WIN32)
    DebugOutputS& output = debugOutput();
    std::lock_guard<std::mutex> guard(output.lock);
    output.strText.clear();
    if (output.pHandler == nullptr) {
        output.pHandler = AddVectoredExceptionHandler(1, onDebugOutput);
    }
#else
    ::testing::internal::CaptureStderr();
#endif
}

// What was written since captureDebugOutput; ends the capture.
inline std::string capturedDebugOutput()
{
#if defined(_WIN32)
    DebugOutputS& output = debugOutput();
    PVOID pHandler = nullptr;
    {
        std::lock_guard<std::mutex> guard(output.lock);
        pHandler = output.pHandler;
        output.pHandler = nullptr;
    }
    if (pHandler != nullptr) {
        RemoveVectoredExceptionHandler(pHandler);
    }
    std::lock_guard<std::mutex> guard(output.lock);
    return output.strText;
#else
    return ::testing::internal::GetCapturedStderr();
#endif
}

// The code a parent sees when the process ends with nCode: Windows keeps all
// 32 bits, a POSIX exit status only the low eight.
inline int exitCodeSeen(int nCode)
{
#if defined(_WIN32)
    return nCode;
#else
    return nCode & 0xFF;
#endif
}

} // namespace testenv
