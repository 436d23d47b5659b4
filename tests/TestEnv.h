// What the tests need of the host, the same on POSIX and Windows: a private
// temporary directory, environment variables the core sees, paths as the
// UTF-8 text the core takes, a process's exit code as its parent sees it;
// and on POSIX the debug output.
#pragma once

#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
    // create_directory tells a name taken by another run from a new one.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    const std::string strStem = strPrefix + std::to_string(GetCurrentProcessId()) + "-";
    for (DWORD dwTry = 0; !error && dwTry < 1000; ++dwTry) {
        const auto candidate = base / (strStem + std::to_string(GetTickCount() + dwTry));
        if (std::filesystem::create_directory(candidate, error)) {
            return candidate;
        }
    }
    return std::filesystem::path();
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

#if !defined(_WIN32)
// What the core writes with OutputDebugStringW, which the POSIX platform
// sends to standard error. (On Windows it goes to a debugger; the cases that
// read it run on POSIX.)
inline void captureDebugOutput()
{
    ::testing::internal::CaptureStderr();
}

// What was written since captureDebugOutput; ends the capture.
inline std::string capturedDebugOutput()
{
    return ::testing::internal::GetCapturedStderr();
}
#endif

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
